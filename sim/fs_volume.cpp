// The simulated file system: volumes over host folders, the file objects
// opened on them, the dispatch of each request below the filters, cleanup and
// close, and fault injection. Everything here runs below the filters: the
// Filter Manager model hands each request's callback data to
// FileSystemDispatch after the pre-operation callbacks.
#include "sim/private/fs_local.h"

#include "sim/private/flt_io.h"
#include "sim/private/ob.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

namespace sim::fs {

std::mutex gLock;
std::vector<std::unique_ptr<Volume>> gVolumes;
std::map<std::pair<ULONG, uint64_t>, Fcb*> gFcbs;
std::unordered_map<const FILE_OBJECT*, FileObjectBody*> gFileObjects;
std::vector<PassThroughRecord> gPassThrough;

namespace {

struct FaultState {
    Fault fault;
    int seen = 0;
};
std::mutex gFaultLock;
std::atomic<uint64_t> gActionsRun{0};
std::atomic<bool> gCachedWritesUseFastIo{false};
std::vector<FaultState> gFaults;

}  // namespace

void DeleteHostName(Fcb* fcb) {
    std::string host = HostPathOf(fcb->volume, fcb->path);
    int rc = fcb->directory ? ::rmdir(host.c_str()) : ::unlink(host.c_str());
    (void)rc;
    fcb->deleted = true;
    auto it = gFcbs.find({fcb->volume->number, fcb->fileId});
    if (it != gFcbs.end() && it->second == fcb) {
        gFcbs.erase(it);
    }
}

namespace {

void CleanupLocked(FileObjectBody* body) {
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
    RemoveShareAccess(fcb, body);
    fcb->handleCount--;
    if (body->fo.Flags & FO_DELETE_ON_CLOSE) {
        if (!fcb->directory || DirectoryIsEmpty(HostPathOf(fcb->volume, fcb->path))) {
            fcb->deletePending = true;
        }
    }
    if (fcb->deleted) {
        return;
    }
    if (fcb->deletePending && (fcb->handleCount == 0 || body->posixDelete)) {
        DeleteHostName(fcb);
    }
}

void CloseLocked(FileObjectBody* body) {
    if (body->volumeOpen || !body->opened) {
        return;
    }
    Fcb* fcb = FcbOf(&body->fo);
    if (--fcb->referenceCount == 0) {
        if (fcb->fd >= 0) {
            ::close(fcb->fd);
        }
        auto it = gFcbs.find({fcb->volume->number, fcb->fileId});
        if (it != gFcbs.end() && it->second == fcb) {
            gFcbs.erase(it);
        }
        delete fcb;
    }
    body->fo.FsContext = nullptr;
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
    Volume* volume;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto owned = std::make_unique<Volume>();
        volume = owned.get();
        volume->number = static_cast<ULONG>(gVolumes.size() + 1);
        volume->deviceName = u"\\Device\\HarddiskVolume" + FromHost(std::to_string(volume->number));
        volume->hostRoot = std::filesystem::absolute(hostFolder).lexically_normal().string();
        while (volume->hostRoot.size() > 1 && volume->hostRoot.back() == '/') {
            volume->hostRoot.pop_back();
        }
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
        std::lock_guard<std::mutex> guard(gLock);
        auto it = gFileObjects.find(fo);
        if (it == gFileObjects.end()) {
            sim::BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "create for an unknown file object",
                          reinterpret_cast<ULONG_PTR>(fo));
        }
        auto& create = data->Iopb->Parameters.Create;
        const UCHAR flags = data->Iopb->OperationFlags;
        CheckCreateFlags(flags);
        it->second->caseSensitive = (flags & SL_CASE_SENSITIVE) != 0;
        it->second->pagingFile = (flags & SL_OPEN_PAGING_FILE) != 0;
        if (flags & SL_OPEN_TARGET_DIRECTORY) {
            status = OpenTargetDirectoryLocked(it->second, create.SecurityContext->DesiredAccess, create.ShareAccess,
                                               create.Options >> 24, create.Options & FILE_VALID_OPTION_FLAGS, &information);
        } else {
            status = CreateLocked(it->second, create.SecurityContext->DesiredAccess, create.ShareAccess, create.Options >> 24,
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
    case IRP_MJ_SET_INFORMATION: {
        std::lock_guard<std::mutex> guard(gLock);
        status = SetInformationLocked(data);
        break;
    }
    case IRP_MJ_QUERY_INFORMATION: {
        std::lock_guard<std::mutex> guard(gLock);
        status = QueryInformationLocked(data, &information);
        break;
    }
    case IRP_MJ_DEVICE_CONTROL: {
        std::lock_guard<std::mutex> guard(gLock);
        status = DeviceControlLocked(data, &information);
        break;
    }
    case IRP_MJ_CLEANUP: {
        std::lock_guard<std::mutex> guard(gLock);
        CleanupLocked(gFileObjects.at(fo));
        break;
    }
    case IRP_MJ_CLOSE: {
        std::lock_guard<std::mutex> guard(gLock);
        CloseLocked(gFileObjects.at(fo));
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

void ClearFaults() {
    std::lock_guard<std::mutex> guard(gFaultLock);
    gFaults.clear();
}

NTSTATUS TakeFault(FaultOp op, const Volume* volume, std::u16string_view path, int64_t offset) {
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
        NTSTATUS status = f.status;
        std::function<void()> action = f.action;
        if (it->seen >= f.nth + f.count - 1) {
            gFaults.erase(it);
        }
        if (action) {
            action();
            gActionsRun.fetch_add(1);
        }
        return status;
    }
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
