// The simulated file system: volumes over host folders and the open-file table
// that gives them Windows semantics. Everything here runs below the filters:
// the Filter Manager model hands each request's callback data to
// FileSystemDispatch after the pre-operation callbacks.
#include "sim/private/fs.h"

#include "sim/private/flt_io.h"
#include "sim/private/ob.h"
#include "sim/private/ps.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <unordered_map>

namespace sim::fs {

// One open file or directory (what FsContext points at): shared by every
// file object open on it, identified by the host file's inode.
struct Fcb {
    Volume* volume = nullptr;
    uint64_t fileId = 0;
    std::u16string path;  // volume-relative, on-disk case ("\" for the root)
    bool directory = false;
    int fd = -1;
    // Share access as the I/O manager keeps it (only opens that asked for
    // read, write or delete access count).
    ULONG openCount = 0, readers = 0, writers = 0, deleters = 0;
    ULONG sharedRead = 0, sharedWrite = 0, sharedDelete = 0;
    ULONG handleCount = 0;     // file objects not yet cleaned up
    ULONG referenceCount = 0;  // file objects not yet closed
    bool deletePending = false;
    bool deleted = false;      // the name is gone from the host folder
    // Writes are serialised per file, as the file system holds the file's
    // resource exclusively while it extends it: an append computes the end
    // and writes there in one step.
    std::mutex ioLock;
};

namespace {

std::mutex gLock;  // volumes, the open-file table, every namespace change
std::vector<std::unique_ptr<Volume>> gVolumes;
std::map<std::pair<ULONG, uint64_t>, Fcb*> gFcbs;
std::unordered_map<const FILE_OBJECT*, FileObjectBody*> gFileObjects;
std::vector<PassThroughRecord> gPassThrough;

struct FaultState {
    Fault fault;
    int seen = 0;
};
std::mutex gFaultLock;
std::vector<FaultState> gFaults;

NTSTATUS ResolveNtPathLocked(std::u16string_view ntPath, Volume** volume, std::u16string* rest);
NTSTATUS CreatePathOfLocked(const FileObjectBody* body, std::u16string* path);

bool IsSeparator(char16_t c) { return c == u'\\'; }

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string current;
    for (char16_t c : path) {
        if (IsSeparator(c)) {
            if (!current.empty()) {
                parts.push_back(current);
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}

std::u16string JoinPath(const std::vector<std::u16string>& parts, size_t count) {
    if (count == 0) {
        return u"\\";
    }
    std::u16string path;
    for (size_t i = 0; i < count; ++i) {
        path += u'\\';
        path += parts[i];
    }
    return path;
}

// NTFS refuses these in a component; ':' would name a stream.
NTSTATUS ValidateComponent(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (name.size() > 255) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    for (char16_t c : name) {
        if (c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u'<' || c == u'>' || c == u'?' || c == u'|') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (c == u':') {
            sim::NotImplemented("named data streams on the simulated volume");
        }
    }
    return STATUS_SUCCESS;
}

std::string HostPathOf(const Volume* volume, std::u16string_view relative) {
    std::string host = volume->hostRoot;
    for (const auto& part : SplitPath(relative)) {
        host += '/';
        host += ToHost(part);
    }
    return host;
}

// Finds `name` in the host directory: the exact spelling first, else the one
// entry that matches case-insensitively (Windows names ignore case).
bool FindEntry(const std::string& hostDir, std::u16string_view name, std::u16string* onDisk) {
    std::string exact = hostDir + "/" + ToHost(name);
    struct stat st;
    if (::lstat(exact.c_str(), &st) == 0) {
        *onDisk = std::u16string(name);
        return true;
    }
    DIR* dir = ::opendir(hostDir.c_str());
    if (dir == nullptr) {
        return false;
    }
    std::vector<std::u16string> matches;
    while (dirent* entry = ::readdir(dir)) {
        std::u16string candidate = FromHost(entry->d_name);
        if (candidate != u"." && candidate != u".." && sim::ob::NamesEqual(candidate, name)) {
            matches.push_back(candidate);
        }
    }
    ::closedir(dir);
    if (matches.empty()) {
        return false;
    }
    std::sort(matches.begin(), matches.end());
    *onDisk = matches.front();
    return true;
}

struct Resolved {
    std::vector<std::u16string> onDisk;  // components of the parent, on-disk case
    std::u16string finalOnDisk;          // final component (caller's spelling when missing)
    bool exists = false;
    bool isRoot = false;
};

// Walks `path` on the volume: every parent must be an existing directory.
NTSTATUS ResolveLocked(const Volume* volume, std::u16string_view path, Resolved* out) {
    auto parts = SplitPath(path);
    *out = Resolved{};
    if (parts.empty()) {
        out->isRoot = true;
        out->exists = true;
        return STATUS_SUCCESS;
    }
    for (const auto& part : parts) {
        NTSTATUS status = ValidateComponent(part);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    std::string hostDir = volume->hostRoot;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::u16string found;
        if (!FindEntry(hostDir, parts[i], &found)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        hostDir += "/" + ToHost(found);
        struct stat st;
        if (::stat(hostDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        out->onDisk.push_back(found);
    }
    std::u16string found;
    if (FindEntry(hostDir, parts.back(), &found)) {
        out->finalOnDisk = found;
        out->exists = true;
    } else {
        out->finalOnDisk = parts.back();
    }
    return STATUS_SUCCESS;
}

std::u16string FullPath(const Resolved& resolved) {
    if (resolved.isRoot) {
        return u"\\";
    }
    auto parts = resolved.onDisk;
    parts.push_back(resolved.finalOnDisk);
    return JoinPath(parts, parts.size());
}

ACCESS_MASK MapFileAccess(ACCESS_MASK desired) {
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

// IoCheckShareAccess: the new open must allow what the existing opens do and
// the existing opens must allow what the new one asks for.
NTSTATUS CheckShareAccess(const Fcb* fcb, ACCESS_MASK granted, ULONG share, bool* counted) {
    bool read = (granted & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    bool write = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    bool del = (granted & DELETE) != 0;
    *counted = read || write || del;
    if (!*counted) {
        return STATUS_SUCCESS;
    }
    bool sharedRead = (share & FILE_SHARE_READ) != 0;
    bool sharedWrite = (share & FILE_SHARE_WRITE) != 0;
    bool sharedDelete = (share & FILE_SHARE_DELETE) != 0;
    if ((read && fcb->sharedRead < fcb->openCount) || (write && fcb->sharedWrite < fcb->openCount) ||
        (del && fcb->sharedDelete < fcb->openCount) || (fcb->readers != 0 && !sharedRead) ||
        (fcb->writers != 0 && !sharedWrite) || (fcb->deleters != 0 && !sharedDelete)) {
        return STATUS_SHARING_VIOLATION;
    }
    return STATUS_SUCCESS;
}

void UpdateShareAccess(Fcb* fcb, FileObjectBody* body) {
    PFILE_OBJECT fo = &body->fo;
    ACCESS_MASK granted = body->grantedAccess;
    fo->ReadAccess = (granted & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    fo->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    fo->DeleteAccess = (granted & DELETE) != 0;
    fo->SharedRead = (body->shareAccess & FILE_SHARE_READ) != 0;
    fo->SharedWrite = (body->shareAccess & FILE_SHARE_WRITE) != 0;
    fo->SharedDelete = (body->shareAccess & FILE_SHARE_DELETE) != 0;
    fcb->openCount++;
    fcb->readers += fo->ReadAccess;
    fcb->writers += fo->WriteAccess;
    fcb->deleters += fo->DeleteAccess;
    fcb->sharedRead += fo->SharedRead;
    fcb->sharedWrite += fo->SharedWrite;
    fcb->sharedDelete += fo->SharedDelete;
    body->shareRecorded = true;
}

void RemoveShareAccess(Fcb* fcb, FileObjectBody* body) {
    if (!body->shareRecorded) {
        return;
    }
    PFILE_OBJECT fo = &body->fo;
    fcb->openCount--;
    fcb->readers -= fo->ReadAccess;
    fcb->writers -= fo->WriteAccess;
    fcb->deleters -= fo->DeleteAccess;
    fcb->sharedRead -= fo->SharedRead;
    fcb->sharedWrite -= fo->SharedWrite;
    fcb->sharedDelete -= fo->SharedDelete;
    body->shareRecorded = false;
}

Fcb* FcbOf(const FILE_OBJECT* fo) { return static_cast<Fcb*>(fo->FsContext); }

bool DirectoryIsEmpty(const std::string& hostDir) {
    DIR* dir = ::opendir(hostDir.c_str());
    if (dir == nullptr) {
        return true;
    }
    bool empty = true;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

bool HasPrefixPath(std::u16string_view path, std::u16string_view dir) {
    if (dir == u"\\") {
        return path != u"\\";
    }
    return path.size() > dir.size() && sim::ob::NamesEqual(path.substr(0, dir.size()), dir) && path[dir.size()] == u'\\';
}

// The volume-relative path a file object was opened with, normalised to
// single separators and a leading backslash.
std::u16string SpelledPath(std::u16string_view path) { return JoinPath(SplitPath(path), SplitPath(path).size()); }

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

// ---------------------------------------------------------------------------
// IRP_MJ_CREATE

NTSTATUS CreateLocked(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition, ULONG options,
                      ULONG_PTR* information) {
    PFILE_OBJECT fo = &body->fo;
    ACCESS_MASK granted = MapFileAccess(desired);
    *information = 0;
    if (body->volumeOpen) {
        body->grantedAccess = granted;
        body->shareAccess = share;
        body->opened = true;
        fo->Flags |= FO_VOLUME_OPEN;
        *information = FILE_OPENED;
        return STATUS_SUCCESS;
    }
    if (disposition > FILE_MAXIMUM_DISPOSITION || (options & ~FILE_VALID_OPTION_FLAGS) != 0 ||
        (share & ~FILE_SHARE_VALID_FLAGS) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((options & FILE_DELETE_ON_CLOSE) && !(granted & DELETE)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (options & FILE_OPEN_BY_FILE_ID) {
        sim::NotImplemented("FILE_OPEN_BY_FILE_ID on the simulated volume");
    }

    std::u16string path;
    NTSTATUS status = CreatePathOfLocked(body, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool trailingSlash = path.size() > 1 && path.back() == u'\\';
    Volume* volume = body->volume;
    Resolved resolved;
    status = ResolveLocked(volume, path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = TakeFault(FaultOp::Create, volume, FullPath(resolved));
    if (!NT_SUCCESS(status)) {
        return status;
    }

    std::u16string fullPath = FullPath(resolved);
    std::string host = HostPathOf(volume, fullPath);
    Fcb* fcb = nullptr;
    bool created = false;
    ULONG_PTR result = FILE_OPENED;

    if (resolved.exists) {
        struct stat st;
        if (::stat(host.c_str(), &st) != 0) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        bool isDir = S_ISDIR(st.st_mode);
        auto it = gFcbs.find({volume->number, static_cast<uint64_t>(st.st_ino)});
        fcb = it == gFcbs.end() ? nullptr : it->second;
        if (fcb != nullptr && fcb->deletePending) {
            return STATUS_DELETE_PENDING;
        }
        if (disposition == FILE_CREATE) {
            *information = FILE_EXISTS;
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (isDir && (options & FILE_NON_DIRECTORY_FILE)) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (!isDir && (options & FILE_DIRECTORY_FILE)) {
            return STATUS_NOT_A_DIRECTORY;
        }
        if (!isDir && trailingSlash) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        bool replaces = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
        if (replaces && isDir) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (resolved.isRoot && (options & FILE_DELETE_ON_CLOSE)) {
            return STATUS_CANNOT_DELETE;
        }
        if (disposition == FILE_SUPERSEDE && !(granted & DELETE)) {
            return STATUS_ACCESS_DENIED;
        }
        if ((disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF) && !(granted & FILE_WRITE_DATA)) {
            return STATUS_ACCESS_DENIED;
        }
        if (fcb != nullptr && !body->ignoreShareAccess) {
            bool counted = false;
            status = CheckShareAccess(fcb, granted, share, &counted);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        if (replaces) {
            if (::truncate(host.c_str(), 0) != 0) {
                return STATUS_ACCESS_DENIED;
            }
            result = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
        if (fcb == nullptr) {
            fcb = new Fcb;
            fcb->volume = volume;
            fcb->fileId = static_cast<uint64_t>(st.st_ino);
            fcb->path = fullPath;
            fcb->directory = isDir;
            created = true;
        }
    } else {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            *information = FILE_DOES_NOT_EXIST;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        bool makeDir = (options & FILE_DIRECTORY_FILE) != 0;
        if (makeDir) {
            if (::mkdir(host.c_str(), 0777) != 0) {
                return STATUS_ACCESS_DENIED;
            }
        } else {
            if (trailingSlash) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            int fd = ::open(host.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
            if (fd < 0) {
                return errno == EEXIST ? STATUS_OBJECT_NAME_COLLISION : STATUS_ACCESS_DENIED;
            }
            ::close(fd);
        }
        struct stat st;
        ::stat(host.c_str(), &st);
        fcb = new Fcb;
        fcb->volume = volume;
        fcb->fileId = static_cast<uint64_t>(st.st_ino);
        fcb->path = fullPath;
        fcb->directory = makeDir;
        created = true;
        result = FILE_CREATED;
    }

    if (created) {
        if (!fcb->directory) {
            fcb->fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC);
            if (fcb->fd < 0) {
                delete fcb;
                return STATUS_ACCESS_DENIED;
            }
        }
        gFcbs[{volume->number, fcb->fileId}] = fcb;
    }
    body->grantedAccess = granted;
    body->shareAccess = share;
    body->createOptions = options;
    if (!body->ignoreShareAccess) {
        UpdateShareAccess(fcb, body);
    }
    fcb->handleCount++;
    fcb->referenceCount++;
    fo->FsContext = fcb;
    fo->FsContext2 = body;
    if (options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) {
        fo->Flags |= FO_SYNCHRONOUS_IO;
    }
    if (options & FILE_DELETE_ON_CLOSE) {
        fo->Flags |= FO_DELETE_ON_CLOSE;
    }
    body->openedPath = SpelledPath(path);
    body->opened = true;
    *information = result;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IRP_MJ_READ / IRP_MJ_WRITE

NTSTATUS ReadWrite(PFLT_CALLBACK_DATA data, bool write, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    *information = 0;
    int fd;
    std::u16string path;
    Volume* volume;
    Fcb* fcb;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto found = gFileObjects.find(fo);
        FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
        if (body == nullptr || !body->opened) {
            return STATUS_INVALID_PARAMETER;
        }
        if (body->cleanedUp) {
            return STATUS_FILE_CLOSED;
        }
        if (body->volumeOpen) {
            sim::NotImplemented("raw reads and writes on a volume handle");
        }
        fcb = FcbOf(fo);
        if (fcb->directory) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        fd = fcb->fd;
        path = fcb->path;
        volume = fcb->volume;
    }
    auto& params = data->Iopb->Parameters;
    ULONG length = write ? params.Write.Length : params.Read.Length;
    LARGE_INTEGER offset = write ? params.Write.ByteOffset : params.Read.ByteOffset;
    void* buffer = write ? params.Write.WriteBuffer : params.Read.ReadBuffer;
    bool synchronous = (fo->Flags & FO_SYNCHRONOUS_IO) != 0;
    std::unique_lock<std::mutex> serialised(fcb->ioLock, std::defer_lock);
    if (write) {
        serialised.lock();
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    int64_t position;
    if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION) {
        if (!synchronous) {
            return STATUS_INVALID_PARAMETER;
        }
        position = fo->CurrentByteOffset.QuadPart;
    } else if (write && offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE) {
        position = st.st_size;
    } else if (offset.QuadPart < 0) {
        return STATUS_INVALID_PARAMETER;
    } else {
        position = offset.QuadPart;
    }
    NTSTATUS status = TakeFault(write ? FaultOp::Write : FaultOp::Read, volume, path, position);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    ssize_t done;
    if (write) {
        done = ::pwrite(fd, buffer, length, position);
    } else {
        if (position >= st.st_size) {
            return STATUS_END_OF_FILE;
        }
        done = ::pread(fd, buffer, length, position);
    }
    if (done < 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (write) {
        fo->Flags |= FO_FILE_MODIFIED;
    }
    if (synchronous) {
        fo->CurrentByteOffset.QuadPart = position + done;
    }
    *information = static_cast<ULONG_PTR>(done);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// IRP_MJ_SET_INFORMATION: rename and delete dispositions.

// Where a rename or link of the file `fcb` to `name` points, volume-relative:
// relative to the root directory handle, an absolute NT path on the same
// volume, or a simple name in the file's own directory.
NTSTATUS TargetPathLocked(const Fcb* fcb, HANDLE rootDirectory, std::u16string_view name, std::u16string* target) {
    const Volume* volume = fcb->volume;
    if (name.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (rootDirectory != nullptr) {
        sim::ob::HandleEntry entry;
        NTSTATUS status = sim::ob::LookupHandle(sim::CurrentProcess(), rootDirectory, sim::ob::ObjectType::File, &entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        auto it = gFileObjects.find(static_cast<PFILE_OBJECT>(entry.object));
        if (it == gFileObjects.end() || !it->second->opened || it->second->volumeOpen || it->second->fo.FsContext == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        const Fcb* rootFcb = FcbOf(&it->second->fo);
        if (rootFcb->volume != volume) {
            return STATUS_NOT_SAME_DEVICE;
        }
        if (!rootFcb->directory) {
            return STATUS_INVALID_PARAMETER;
        }
        *target = rootFcb->path == u"\\" ? std::u16string(u"\\") + std::u16string(name)
                                         : rootFcb->path + u"\\" + std::u16string(name);
        return STATUS_SUCCESS;
    }
    if (name[0] == u'\\') {
        Volume* targetVolume = nullptr;
        NTSTATUS status = ResolveNtPathLocked(name, &targetVolume, target);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (targetVolume != volume) {
            return STATUS_NOT_SAME_DEVICE;
        }
        return STATUS_SUCCESS;
    }
    if (name.find(u'\\') != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    size_t cut = fcb->path.rfind(u'\\');
    *target = fcb->path.substr(0, cut + 1) + std::u16string(name);
    return STATUS_SUCCESS;
}

NTSTATUS RenameLocked(FileObjectBody* body, Fcb* fcb, ULONG flags, HANDLE rootDirectory, std::u16string_view name) {
    Volume* volume = fcb->volume;
    if (!(body->grantedAccess & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    if (name.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (fcb->path == u"\\") {
        return STATUS_ACCESS_DENIED;
    }
    std::u16string target;
    NTSTATUS targetStatus = TargetPathLocked(fcb, rootDirectory, name, &target);
    if (!NT_SUCCESS(targetStatus)) {
        return targetStatus;
    }
    Resolved resolved;
    NTSTATUS status = ResolveLocked(volume, target, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (resolved.isRoot) {
        return STATUS_ACCESS_DENIED;
    }
    std::u16string newPath = resolved.onDisk.empty() ? u"\\" + resolved.finalOnDisk
                                                     : JoinPath(resolved.onDisk, resolved.onDisk.size()) + u"\\" + resolved.finalOnDisk;
    std::string oldHost = HostPathOf(volume, fcb->path);
    std::string newHost = HostPathOf(volume, newPath);
    bool sameFile = false;
    if (resolved.exists) {
        struct stat st;
        if (::stat(newHost.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_ino) == fcb->fileId) {
            sameFile = true;  // a change of case, or the same name
        }
    }
    if (resolved.exists && !sameFile) {
        bool replace = (flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0;
        if (!replace) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        struct stat st;
        if (::stat(newHost.c_str(), &st) != 0) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        if (S_ISDIR(st.st_mode)) {
            return STATUS_ACCESS_DENIED;
        }
        auto it = gFcbs.find({volume->number, static_cast<uint64_t>(st.st_ino)});
        Fcb* targetFcb = it == gFcbs.end() ? nullptr : it->second;
        if (targetFcb != nullptr && targetFcb->handleCount > 0 && !(flags & FILE_RENAME_POSIX_SEMANTICS)) {
            return STATUS_ACCESS_DENIED;
        }
        if (targetFcb != nullptr) {
            targetFcb->deleted = true;
            gFcbs.erase(it);
        }
    }
    if (fcb->directory) {
        for (const auto& [key, other] : gFcbs) {
            if (other != fcb && other->volume == volume && HasPrefixPath(other->path, fcb->path) && other->handleCount > 0) {
                return STATUS_ACCESS_DENIED;
            }
        }
    }
    if (::rename(oldHost.c_str(), newHost.c_str()) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    std::u16string oldPath = fcb->path;
    for (auto& [key, other] : gFcbs) {
        if (other != fcb && other->volume == volume && HasPrefixPath(other->path, oldPath)) {
            other->path = newPath + other->path.substr(oldPath.size());
        }
    }
    fcb->path = newPath;
    std::u16string spelled = SpelledPath(target);
    for (auto& [fo, other] : gFileObjects) {
        if (other->fo.FsContext == fcb) {
            other->openedPath = spelled;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS DispositionLocked(FileObjectBody* body, Fcb* fcb, ULONG flags) {
    if (!(body->grantedAccess & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    bool del = (flags & FILE_DISPOSITION_DELETE) != 0;
    if (del && fcb->path == u"\\") {
        return STATUS_CANNOT_DELETE;
    }
    if (del && fcb->directory && !DirectoryIsEmpty(HostPathOf(fcb->volume, fcb->path))) {
        return STATUS_DIRECTORY_NOT_EMPTY;
    }
    if (flags & FILE_DISPOSITION_ON_CLOSE) {
        // Sets or clears this handle's delete-on-close instead of the file's pending delete.
        if (del) {
            body->fo.Flags |= FO_DELETE_ON_CLOSE;
        } else {
            body->fo.Flags &= ~static_cast<ULONG>(FO_DELETE_ON_CLOSE);
        }
        return STATUS_SUCCESS;
    }
    fcb->deletePending = del;
    body->fo.DeletePending = del;
    body->posixDelete = del && (flags & FILE_DISPOSITION_POSIX_SEMANTICS) != 0;
    return STATUS_SUCCESS;
}

NTSTATUS SetInformationLocked(PFLT_CALLBACK_DATA data) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    auto found = gFileObjects.find(fo);
    FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
    if (body == nullptr || !body->opened) {
        return STATUS_INVALID_PARAMETER;
    }
    if (body->cleanedUp) {
        return STATUS_FILE_CLOSED;
    }
    if (body->volumeOpen) {
        return STATUS_INVALID_PARAMETER;
    }
    Fcb* fcb = FcbOf(fo);
    auto& params = data->Iopb->Parameters.SetFileInformation;
    ULONG length = params.Length;
    NTSTATUS status = TakeFault(FaultOp::SetInformation, fcb->volume, fcb->path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    switch (params.FileInformationClass) {
    case FileRenameInformation:
    case FileRenameInformationEx: {
        if (length < sizeof(FILE_RENAME_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        auto* info = static_cast<PFILE_RENAME_INFORMATION_EX>(params.InfoBuffer);
        if ((info->FileNameLength & 1) != 0 ||
            static_cast<uint64_t>(offsetof(FILE_RENAME_INFORMATION, FileName)) + info->FileNameLength > length) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG flags = params.FileInformationClass == FileRenameInformationEx
                          ? info->Flags
                          : (info->ReplaceIfExists ? FILE_RENAME_REPLACE_IF_EXISTS : 0);
        std::u16string name(info->FileName, info->FileNameLength / sizeof(WCHAR));
        return RenameLocked(body, fcb, flags, info->RootDirectory, name);
    }
    case FileDispositionInformation: {
        if (length < sizeof(FILE_DISPOSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        auto* info = static_cast<PFILE_DISPOSITION_INFORMATION>(params.InfoBuffer);
        return DispositionLocked(body, fcb, info->DeleteFile ? FILE_DISPOSITION_DELETE : 0);
    }
    case FileDispositionInformationEx: {
        if (length < sizeof(FILE_DISPOSITION_INFORMATION_EX)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        auto* info = static_cast<PFILE_DISPOSITION_INFORMATION_EX>(params.InfoBuffer);
        return DispositionLocked(body, fcb, info->Flags);
    }
    default:
        sim::NotImplemented("this file information class on the simulated volume");
    }
}

NTSTATUS QueryInformationLocked(PFLT_CALLBACK_DATA data, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    auto found = gFileObjects.find(fo);
    FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
    *information = 0;
    if (body == nullptr || !body->opened || body->volumeOpen) {
        return STATUS_INVALID_PARAMETER;
    }
    Fcb* fcb = FcbOf(fo);
    auto& params = data->Iopb->Parameters.QueryFileInformation;
    NTSTATUS status = TakeFault(FaultOp::QueryInformation, fcb->volume, fcb->path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (params.FileInformationClass != FileInternalInformation) {
        sim::NotImplemented("this file information query on the simulated volume");
    }
    if (params.Length < sizeof(FILE_INTERNAL_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* info = static_cast<PFILE_INTERNAL_INFORMATION>(params.InfoBuffer);
    info->IndexNumber.QuadPart = static_cast<LONGLONG>(fcb->fileId);
    *information = sizeof(FILE_INTERNAL_INFORMATION);
    return STATUS_SUCCESS;
}

// The volume's disk accepts SCSI and ATA pass-through and records what came;
// the caller's structure comes back with a good status.
NTSTATUS DeviceControlLocked(PFLT_CALLBACK_DATA data, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    auto found = gFileObjects.find(fo);
    FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
    *information = 0;
    if (body == nullptr || !body->volumeOpen) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto& params = data->Iopb->Parameters.DeviceIoControl.Buffered;
    ULONG code = params.IoControlCode;
    ULONG needed;
    switch (code) {
    case IOCTL_SCSI_PASS_THROUGH:
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        needed = sizeof(SCSI_PASS_THROUGH_DIRECT);
        break;
    case IOCTL_ATA_PASS_THROUGH:
    case IOCTL_ATA_PASS_THROUGH_DIRECT:
        needed = sizeof(ATA_PASS_THROUGH_DIRECT);
        break;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (params.InputBufferLength < needed || params.SystemBuffer == nullptr ||
        *static_cast<const USHORT*>(params.SystemBuffer) != needed) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* bytes = static_cast<const uint8_t*>(params.SystemBuffer);
    gPassThrough.push_back({code, std::vector<uint8_t>(bytes, bytes + params.InputBufferLength)});
    if (code == IOCTL_SCSI_PASS_THROUGH || code == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
        static_cast<PSCSI_PASS_THROUGH_DIRECT>(params.SystemBuffer)->ScsiStatus = 0;
    }
    *information = std::min<ULONG>(params.OutputBufferLength, needed);
    return STATUS_SUCCESS;
}

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
    std::lock_guard<std::mutex> faults(gFaultLock);
    gFaults.clear();
}

const bool gRegistered = [] {
    sim::RegisterResetHook("fs", ResetFs);
    return true;
}();

}  // namespace

// ---------------------------------------------------------------------------

std::string ToHost(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromHost(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<uint8_t>(s[i]);
        uint32_t c;
        size_t n;
        if (b < 0x80) {
            c = b, n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, n = 3;
        } else {
            c = b & 0x07, n = 4;
        }
        for (size_t k = 1; k < n && i + k < s.size(); ++k) {
            c = (c << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

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

namespace {

Volume* VolumeOfDeviceLocked(const DEVICE_OBJECT* device) {
    for (auto& v : gVolumes) {
        if (&v->device == device) {
            return v.get();
        }
    }
    return nullptr;
}

NTSTATUS ResolveNtPathLocked(std::u16string_view ntPath, Volume** volume, std::u16string* rest) {
    *volume = nullptr;
    rest->clear();
    sim::ob::LookupResult result;
    NTSTATUS status = sim::ob::ParseName(ntPath, &result);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (result.type != sim::ob::ObjectType::Device) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    Volume* found = VolumeOfDeviceLocked(static_cast<const DEVICE_OBJECT*>(result.body));
    if (found == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *volume = found;
    *rest = result.remainder;
    return STATUS_SUCCESS;
}

NTSTATUS CreatePathOfLocked(const FileObjectBody* body, std::u16string* path) {
    const FILE_OBJECT* related = body->fo.RelatedFileObject;
    std::u16string name(body->fo.FileName.Buffer == nullptr ? u"" : std::u16string_view(body->fo.FileName.Buffer,
                                                                                          body->fo.FileName.Length / 2));
    if (related == nullptr) {
        if (name.empty() || name[0] != u'\\') {
            return name.empty() ? STATUS_SUCCESS : STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        *path = name;
        return STATUS_SUCCESS;
    }
    auto it = gFileObjects.find(related);
    if (it == gFileObjects.end() || !it->second->opened || related->FsContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const Fcb* fcb = FcbOf(related);
    if (!name.empty() && name[0] == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (!fcb->directory && !name.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *path = fcb->path == u"\\" ? u"\\" + name : fcb->path + (name.empty() ? u"" : u"\\" + name);
    return STATUS_SUCCESS;
}

}  // namespace

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

FileObjectBody* BodyOf(const FILE_OBJECT* fileObject) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    return it == gFileObjects.end() ? nullptr : it->second;
}

bool CurrentPath(const FILE_OBJECT* fileObject, std::u16string* path) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    if (it == gFileObjects.end() || !it->second->opened || it->second->volumeOpen || fileObject->FsContext == nullptr) {
        return false;
    }
    *path = FcbOf(fileObject)->path;
    return true;
}

NTSTATUS NormalizePath(Volume* volume, std::u16string_view path, std::u16string* normalized, bool* exists) {
    std::lock_guard<std::mutex> guard(gLock);
    Resolved resolved;
    NTSTATUS status = ResolveLocked(volume, path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *normalized = FullPath(resolved);
    *exists = resolved.exists;
    return STATUS_SUCCESS;
}

NTSTATUS CreatePathOf(const FileObjectBody* body, std::u16string* path) {
    std::lock_guard<std::mutex> guard(gLock);
    return CreatePathOfLocked(body, path);
}

NTSTATUS ResolveNtPath(std::u16string_view ntPath, Volume** volume, std::u16string* rest) {
    std::lock_guard<std::mutex> guard(gLock);
    return ResolveNtPathLocked(ntPath, volume, rest);
}

NTSTATUS ResolveUserPath(std::u16string_view path, Volume** volume, std::u16string* rest, bool* volumeOpen) {
    *volumeOpen = false;
    std::u16string p(path);
    for (auto& c : p) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    std::u16string nt;
    if (p.rfind(u"\\\\.\\", 0) == 0) {
        nt = u"\\??\\" + p.substr(4);
        *volumeOpen = p.size() == 6 && p[5] == u':';
    } else if (p.rfind(u"\\\\?\\", 0) == 0) {
        nt = u"\\??\\" + p.substr(4);
    } else if (p.size() >= 2 && p[1] == u':') {
        if (p.size() == 2 || p[2] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;  // drive-relative paths need a current directory
        }
        nt = u"\\??\\" + p;
    } else if (!p.empty() && p[0] == u'\\') {
        nt = p;
    } else {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    NTSTATUS status = ResolveNtPath(nt, volume, rest);
    if (NT_SUCCESS(status) && *volumeOpen && !rest->empty()) {
        *volumeOpen = false;
    }
    if (NT_SUCCESS(status) && !*volumeOpen && rest->empty()) {
        *rest = u"\\";
    }
    return status;
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
        it->second->caseSensitive = (data->Iopb->OperationFlags & SL_CASE_SENSITIVE) != 0;
        status = CreateLocked(it->second, create.SecurityContext->DesiredAccess, create.ShareAccess, create.Options >> 24,
                              create.Options & FILE_VALID_OPTION_FLAGS, &information);
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
        if (it->seen >= f.nth + f.count - 1) {
            gFaults.erase(it);
        }
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS DestinationPath(const FILE_OBJECT* fileObject, HANDLE rootDirectory, std::u16string_view name,
                         std::u16string* path) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    if (it == gFileObjects.end() || !it->second->opened || it->second->volumeOpen || fileObject->FsContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return TargetPathLocked(FcbOf(fileObject), rootDirectory, name, path);
}

}  // namespace sim::fs
