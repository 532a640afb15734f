// The simulated file system: volumes over host folders, the file objects
// opened on them, the dispatch of each request below the filters, cleanup and
// close, and fault injection. Everything here runs below the filters: the
// Filter Manager model hands each request's callback data to
// FileSystemDispatch after the pre-operation callbacks.
#include "sim/fs/local.h"

#include "sim/flt/io.h"
#include "sim/ob/ob.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>

namespace sim::fs {

std::mutex gLock;
std::vector<std::unique_ptr<Volume>> gVolumes;
std::map<FcbKey, Fcb*> gFcbs;
std::unordered_map<const FILE_OBJECT*, FileObjectBody*> gFileObjects;
std::vector<PassThroughRecord> gPassThrough;

namespace {

struct FaultState {
    Fault fault;
    int seen = 0;
};
std::mutex gFaultLock;
std::atomic<uint64_t> gActionsRun{0};
std::vector<const NameHold*> gHolds;  // under gLock
std::atomic<uint64_t> gHoldWaits{0};
std::condition_variable gHoldReleased;
std::atomic<bool> gCachedWritesUseFastIo{false};
std::vector<FaultState> gFaults;

}  // namespace

// The file's name leaves the table (the host name goes after, outside gLock).
void ForgetNameLocked(Fcb* fcb) {
    fcb->deleted = true;
    auto it = gFcbs.find(KeyOf(fcb));
    if (it != gFcbs.end() && it->second == fcb) {
        gFcbs.erase(it);
    }
}

namespace {

// The handle's share access goes, and a pending delete is carried out when
// this is the last handle (or the handle that asked for POSIX semantics). The
// file's name is held throughout, so no create, open or rename of it runs
// between the decision and the host's unlink.
void Cleanup(FileObjectBody* body) {
    NameHold hold;
    std::unique_lock<std::mutex> lock(gLock);
    if (body->cleanedUp) {
        sim::BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "cleanup sent twice for one file object",
                      reinterpret_cast<ULONG_PTR>(&body->fo));
    }
    body->cleanedUp = true;
    body->fo.Flags |= FO_CLEANUP_COMPLETE;
    if (body->volumeOpen) {
        return;
    }
    Fcb* fcb = FcbOf(&body->fo);
    HoldNames(lock, &hold, fcb->volume, [fcb](std::vector<std::u16string>* names) {
        names->push_back(fcb->path);
        return STATUS_SUCCESS;
    });
    bool empty = true;
    if ((body->fo.Flags & FO_DELETE_ON_CLOSE) && fcb->directory) {
        const std::string host = HostPathOf(fcb->volume, fcb->path);
        lock.unlock();
        empty = DirectoryIsEmpty(host);
        lock.lock();
    }
    RemoveShareAccess(fcb, body);
    fcb->handleCount--;
    if ((body->fo.Flags & FO_DELETE_ON_CLOSE) && empty) {
        fcb->deletePending = true;
    }
    if (fcb->deleted || !fcb->deletePending || (fcb->handleCount != 0 && !body->posixDelete)) {
        return;
    }
    if (!fcb->stream.empty()) {
        // A named stream goes; the file and its other streams stay.
        ForgetNameLocked(fcb);
        DeleteStream(fcb->volume, fcb->fileId, fcb->stream);
        return;
    }
    const std::string host = HostPathOf(fcb->volume, fcb->path);
    const bool directory = fcb->directory;
    ForgetNameLocked(fcb);
    lock.unlock();
    int rc = directory ? ::rmdir(host.c_str()) : ::unlink(host.c_str());
    // The file's streams go with its last name. The open descriptor keeps the
    // inode, so the id names no other file meanwhile.
    struct stat st;
    if (rc == 0 && (directory || (::fstat(fcb->fd, &st) == 0 && st.st_nlink == 0))) {
        lock.lock();
        ForgetFileLocked(fcb->volume, fcb->fileId);
    }
}

void Close(FileObjectBody* body) {
    Fcb* last = nullptr;
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (body->volumeOpen || !body->opened) {
            return;
        }
        Fcb* fcb = FcbOf(&body->fo);
        if (--fcb->referenceCount == 0) {
            auto it = gFcbs.find(KeyOf(fcb));
            if (it != gFcbs.end() && it->second == fcb) {
                gFcbs.erase(it);
            }
            last = fcb;
        }
        body->fo.FsContext = nullptr;
    }
    if (last != nullptr) {
        if (last->fd >= 0) {
            ::close(last->fd);
        }
        delete last;
    }
}

// The object manager drops the last reference: close, then free.
void DeleteFileObject(void* object) {
    auto* fo = static_cast<PFILE_OBJECT>(object);
    sim::flt::SendClose(fo);
    FileObjectBody* body;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gFileObjects.find(fo);
        body = it->second;
        gFileObjects.erase(it);
    }
    delete body;
}

void ResetFs() {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto& [key, fcb] : gFcbs) {
        if (fcb->fd >= 0) {
            ::close(fcb->fd);
        }
    }
    // Fcbs still referenced by leaked file objects are reached through them.
    std::vector<Fcb*> fcbs;
    for (auto& [fo, body] : gFileObjects) {
        if (body->fo.FsContext != nullptr) {
            fcbs.push_back(FcbOf(&body->fo));
        }
        sim::ob::UnregisterObject(&body->fo);
        delete body;
    }
    for (auto& [key, fcb] : gFcbs) {
        fcbs.push_back(fcb);
    }
    std::sort(fcbs.begin(), fcbs.end());
    fcbs.erase(std::unique(fcbs.begin(), fcbs.end()), fcbs.end());
    for (Fcb* fcb : fcbs) {
        delete fcb;
    }
    gFcbs.clear();
    gFileObjects.clear();
    gVolumes.clear();
    gPassThrough.clear();
    gHolds.clear();
    gHoldWaits.store(0);
    gHoldReleased.notify_all();
    gCachedWritesUseFastIo.store(false);
    std::lock_guard<std::mutex> faults(gFaultLock);
    gFaults.clear();
}

const bool gRegistered = [] {
    sim::RegisterResetHook("fs", ResetFs);
    return true;
}();

}  // namespace

// ---------------------------------------------------------------------------

std::u16string MountVolume(const std::string& hostFolder, char16_t driveLetter) {
    std::filesystem::create_directories(hostFolder);
    auto owned = std::make_unique<Volume>();
    Volume* volume = owned.get();
    volume->hostRoot = std::filesystem::absolute(hostFolder).lexically_normal().string();
    while (volume->hostRoot.size() > 1 && volume->hostRoot.back() == '/') {
        volume->hostRoot.pop_back();
    }
    NumberExistingFiles(volume);  // host calls: before the volume is published, without gLock
    {
        std::lock_guard<std::mutex> guard(gLock);
        volume->number = static_cast<ULONG>(gVolumes.size() + 1);
        volume->deviceName = u"\\Device\\HarddiskVolume" + FromHost(std::to_string(volume->number));
        volume->driveLetter = driveLetter >= u'a' && driveLetter <= u'z' ? static_cast<char16_t>(driveLetter - 32) : driveLetter;
        volume->device.Type = 3;
        volume->device.Size = sizeof(DEVICE_OBJECT);
        volume->device.DeviceType = FILE_DEVICE_DISK_FILE_SYSTEM;
        volume->device.StackSize = 1;
        gVolumes.push_back(std::move(owned));
    }
    NTSTATUS status = sim::ob::InsertObject(volume->deviceName, sim::ob::ObjectType::Device, &volume->device);
    if (!NT_SUCCESS(status)) {
        sim::BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "cannot name the volume device", status);
    }
    if (volume->driveLetter != 0) {
        std::u16string link = u"\\??\\";
        link += volume->driveLetter;
        link += u':';
        sim::ob::CreateSymbolicLink(link, volume->deviceName);
    }
    sim::flt::OnVolumeMounted(volume);
    return volume->deviceName;
}

std::vector<Volume*> Volumes() {
    std::lock_guard<std::mutex> guard(gLock);
    std::vector<Volume*> out;
    for (auto& v : gVolumes) {
        out.push_back(v.get());
    }
    return out;
}

Volume* VolumeOfDevice(const DEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto& v : gVolumes) {
        if (&v->device == device) {
            return v.get();
        }
    }
    return nullptr;
}

FileObjectBody* NewFileObject(Volume* volume, std::u16string_view fileName, PFILE_OBJECT related) {
    if (fileName.size() > kMaxNameCharacters) {
        sim::BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "a file name longer than a UNICODE_STRING holds",
                      fileName.size());
    }
    auto* body = new FileObjectBody;
    body->volume = volume;
    body->fileName = std::u16string(fileName);
    body->fo.Type = 5;
    body->fo.Size = sizeof(FILE_OBJECT);
    body->fo.DeviceObject = &volume->device;
    body->fo.RelatedFileObject = related;
    body->fo.FileName.Buffer = body->fileName.empty() ? nullptr : body->fileName.data();
    body->fo.FileName.Length = static_cast<USHORT>(body->fileName.size() * sizeof(WCHAR));
    body->fo.FileName.MaximumLength = body->fo.FileName.Length;
    {
        std::lock_guard<std::mutex> guard(gLock);
        gFileObjects[&body->fo] = body;
    }
    sim::ob::RegisterObject(&body->fo, sim::ob::ObjectType::File, DeleteFileObject);
    return body;
}

void DiscardFileObject(FileObjectBody* body) {
    sim::ob::UnregisterObject(&body->fo);
    sim::flt::ForgetFileObject(&body->fo);
    {
        std::lock_guard<std::mutex> guard(gLock);
        gFileObjects.erase(&body->fo);
    }
    delete body;
}

void SetCachedWritesUseFastIo(bool fastIo) { gCachedWritesUseFastIo.store(fastIo); }
bool CachedWritesUseFastIo() { return gCachedWritesUseFastIo.load(); }

void AddFileHandle(FileObjectBody* body) { body->handles.fetch_add(1); }

bool DropFileHandle(FileObjectBody* body) {
    const ULONG before = body->handles.fetch_sub(1);
    if (before == 0) {
        sim::BugCheck(sim::ob::kBugReferenceByPointer, "REFERENCE_BY_POINTER", "a file handle closed that was never counted",
                      reinterpret_cast<ULONG_PTR>(&body->fo));
    }
    return before == 1;
}

FileObjectBody* BodyOf(const FILE_OBJECT* fileObject) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    return it == gFileObjects.end() ? nullptr : it->second;
}

void FileSystemDispatch(PFLT_CALLBACK_DATA data) {
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    switch (data->Iopb->MajorFunction) {
    case IRP_MJ_CREATE: {
        const UCHAR flags = data->Iopb->OperationFlags;
        CheckCreateFlags(flags);
        FileObjectBody* body;
        {
            std::lock_guard<std::mutex> guard(gLock);
            auto it = gFileObjects.find(fo);
            if (it == gFileObjects.end()) {
                sim::BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "create for an unknown file object",
                              reinterpret_cast<ULONG_PTR>(fo));
            }
            body = it->second;
            body->caseSensitive = (flags & SL_CASE_SENSITIVE) != 0;
            body->pagingFile = (flags & SL_OPEN_PAGING_FILE) != 0;
        }
        auto& create = data->Iopb->Parameters.Create;
        if (flags & SL_OPEN_TARGET_DIRECTORY) {
            status = OpenTargetDirectory(body, create.SecurityContext->DesiredAccess, create.ShareAccess,
                                         create.Options >> 24, create.Options & FILE_VALID_OPTION_FLAGS, &information);
        } else {
            status = Create(body, create.SecurityContext->DesiredAccess, create.ShareAccess, create.Options >> 24,
                            create.Options & FILE_VALID_OPTION_FLAGS, &information);
        }
        break;
    }
    case IRP_MJ_READ:
        status = ReadWrite(data, false, &information);
        break;
    case IRP_MJ_WRITE:
        status = ReadWrite(data, true, &information);
        break;
    case IRP_MJ_SET_INFORMATION:
        status = SetInformation(data);
        break;
    case IRP_MJ_QUERY_INFORMATION:
        status = QueryInformation(data, &information);
        break;
    case IRP_MJ_DEVICE_CONTROL: {
        std::lock_guard<std::mutex> guard(gLock);
        status = DeviceControlLocked(data, &information);
        break;
    }
    case IRP_MJ_CLEANUP: {
        FileObjectBody* body;
        {
            std::lock_guard<std::mutex> guard(gLock);
            body = gFileObjects.at(fo);
        }
        Cleanup(body);
        break;
    }
    case IRP_MJ_CLOSE: {
        FileObjectBody* body;
        {
            std::lock_guard<std::mutex> guard(gLock);
            body = gFileObjects.at(fo);
        }
        Close(body);
        break;
    }
    default:
        sim::NotImplemented("this major function on the simulated file system");
    }
    data->IoStatus.Status = status;
    data->IoStatus.Information = information;
}

std::vector<PassThroughRecord> PassThroughLog() {
    std::lock_guard<std::mutex> guard(gLock);
    return gPassThrough;
}

void InjectFault(const Fault& fault) {
    std::lock_guard<std::mutex> guard(gFaultLock);
    gFaults.push_back({fault, 0});
}

uint64_t FaultActionsRun() { return gActionsRun.load(); }

uint64_t NameHoldWaits() { return gHoldWaits.load(); }

void ClearFaults() {
    std::lock_guard<std::mutex> guard(gFaultLock);
    gFaults.clear();
}

NTSTATUS TakeFault(FaultOp op, const Volume* volume, std::u16string_view path, int64_t offset, bool* actionRan) {
    if (actionRan != nullptr) {
        *actionRan = false;
    }
    NTSTATUS status = STATUS_SUCCESS;
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> guard(gFaultLock);
        for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
            const Fault& f = it->fault;
            if (f.op != op) {
                continue;
            }
            if (f.minOffset >= 0 && offset < f.minOffset) {
                continue;
            }
            if (!f.path.empty()) {
                std::u16string full = volume->deviceName + (path == u"\\" ? u"" : std::u16string(path));
                std::u16string wanted = f.path;
                std::u16string user;
                if (volume->driveLetter != 0) {
                    user = std::u16string(1, volume->driveLetter) + u":" + (path == u"\\" ? u"\\" : std::u16string(path));
                }
                if (!sim::ob::NamesEqual(wanted, full) && !sim::ob::NamesEqual(wanted, user)) {
                    continue;
                }
            }
            if (++it->seen < f.nth) {
                continue;
            }
            status = f.status;
            action = f.action;
            if (it->seen >= f.nth + f.count - 1) {
                gFaults.erase(it);
            }
            break;
        }
    }
    // The action may block or call the file system itself: no lock of the
    // fault list or the tables is held while it runs.
    if (action) {
        action();
        gActionsRun.fetch_add(1);
        if (actionRan != nullptr) {
            *actionRan = true;
        }
    }
    return status;
}

// ---------------------------------------------------------------------------
// Name holds.

bool NamesFree(const NameHold* self, const Volume* volume, const std::vector<std::u16string>& names) {
    auto conflict = [](const std::u16string& a, const std::u16string& b) {
        if (a == u"\\" || b == u"\\") {
            return a == b;
        }
        return sim::ob::NamesEqual(a, b) || HasPrefixPath(a, b) || HasPrefixPath(b, a);
    };
    for (const NameHold* other : gHolds) {
        if (other == self || other->volume_ != volume) {
            continue;
        }
        for (const auto& held : other->names_) {
            for (const auto& name : names) {
                if (conflict(held, name)) {
                    return false;
                }
            }
        }
    }
    return true;
}

NTSTATUS HoldNames(std::unique_lock<std::mutex>& lock, NameHold* hold, const Volume* volume,
                   const std::function<NTSTATUS(std::vector<std::u16string>*)>& names) {
    if (hold->held_) {
        sim::BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "a name hold taken twice", 0);
    }
    for (;;) {
        std::vector<std::u16string> wanted;
        NTSTATUS status = names(&wanted);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // A stream's name is held as its file's: work on a file and on its
        // streams never overlaps.
        for (auto& name : wanted) {
            name = SpelledPath(WithoutStream(name));
        }
        if (NamesFree(hold, volume, wanted)) {
            hold->volume_ = volume;
            hold->names_ = std::move(wanted);
            hold->held_ = true;
            gHolds.push_back(hold);
            return STATUS_SUCCESS;
        }
        gHoldWaits.fetch_add(1);
        gHoldReleased.wait(lock);
    }
}

NTSTATUS HoldCreatePath(const FileObjectBody* body, NameHold* hold, std::u16string* path) {
    std::unique_lock<std::mutex> lock(gLock);
    return HoldNames(lock, hold, body->volume, [&](std::vector<std::u16string>* names) {
        NTSTATUS status = CreatePathOfLocked(body, path);
        names->push_back(*path);
        return status;
    });
}

NameHold::~NameHold() {
    if (!held_) {
        return;
    }
    std::lock_guard<std::mutex> guard(gLock);
    auto it = std::find(gHolds.begin(), gHolds.end(), this);
    if (it != gHolds.end()) {
        gHolds.erase(it);
    }
    gHoldReleased.notify_all();
}

}  // namespace sim::fs
