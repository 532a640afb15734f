// IRP_MJ_SET_INFORMATION on the simulated file system: rename, hard links,
// delete dispositions, end of file and allocation, position, basic
// information. Classes the file system does not carry out are refused with
// STATUS_INVALID_PARAMETER, as a file system without them refuses them.
#include "sim/fs/local.h"

#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace sim::fs {

namespace {
// FILE_BASIC_INFORMATION: four times and the attributes, padded.
constexpr ULONG kFileBasicInformationSize = 40;
}  // namespace

namespace {

NTSTATUS TargetPathLockedp(const Fcb* fcb, HANDLE rootDirectory, std::u16string_view name, std::u16string* target) {
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

}  // namespace

// Where a rename or link of the file `fcb` to `name` points, volume-relative:
// relative to the root directory handle, an absolute NT path on the same
// volume (the object manager follows the links on its way), or a simple name
// in the file's own directory.
NTSTATUS TargetPathLocked(const Fcb* fcb, HANDLE rootDirectory, std::u16string_view name, std::u16string* target) {
    NTSTATUS status = TargetPathLockedp(fcb, rootDirectory, name, target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A rename names a stream only by a name that starts with ':' (the file's
    // own stream, taken before this); a link never names one.
    if (target->find(u':') != std::u16string::npos) {
        target->clear();
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

namespace {

// An existing name at `newHost` that a rename or link with `replace` is to
// take over: refused (collision, a directory, a file still open unless
// `posix`); else its file id, for ForgetTakenOver once the name is gone.
// Called with the name held and gLock released.
NTSTATUS CheckTakeOver(Volume* volume, const std::string& newHost, bool replace, bool posix, uint64_t* targetId,
                       bool* lastName) {
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
    *targetId = static_cast<uint64_t>(st.st_ino);
    *lastName = st.st_nlink == 1;
    std::lock_guard<std::mutex> guard(gLock);
    // Open through its name or through one of its streams.
    for (auto it = gFcbs.lower_bound(KeyOf(volume, *targetId)); it != gFcbs.end(); ++it) {
        if (std::get<0>(it->first) != volume->number || std::get<1>(it->first) != *targetId) {
            break;
        }
        if (it->second->handleCount > 0 && !posix) {
            return STATUS_ACCESS_DENIED;
        }
    }
    return STATUS_SUCCESS;
}

// Under gLock: the file whose name a rename or link replaced leaves the table.
// Its host inode was freed by the rename or unlink unless the file is open, so
// the number may already belong to a file another thread created elsewhere:
// only the Fcb still at the replaced name (which stays held) is the old file.
void ForgetTakenOverLocked(Volume* volume, uint64_t targetId, std::u16string_view targetPath) {
    auto it = gFcbs.find(KeyOf(volume, targetId));
    if (it != gFcbs.end() && sim::ob::NamesEqual(it->second->path, targetPath)) {
        ForgetNameLocked(it->second);
    }
}

// The volume-relative path of a resolved target, and whether it names the
// file `fcb` itself (the same name, or a change of case).
std::u16string NewPathOf(const Resolved& resolved) {
    return resolved.onDisk.empty() ? u"\\" + resolved.finalOnDisk
                                   : JoinPath(resolved.onDisk, resolved.onDisk.size()) + u"\\" + resolved.finalOnDisk;
}

bool SameFile(const Fcb* fcb, const Resolved& resolved, const std::string& newHost) {
    struct stat st;
    return resolved.exists && ::stat(newHost.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_ino) == fcb->fileId;
}

// With `lock` held: holds the file's own name and, for a rename or link, the
// target's, computed again after every wait. A handle cleaned up meanwhile
// fails the request.
NTSTATUS HoldFileNames(std::unique_lock<std::mutex>& lock, NameHold* hold, FileObjectBody* body, Fcb* fcb,
                       const std::function<NTSTATUS(std::vector<std::u16string>*)>& more = nullptr) {
    return HoldNames(lock, hold, fcb->volume, [&](std::vector<std::u16string>* names) {
        if (body->cleanedUp) {
            return STATUS_FILE_CLOSED;
        }
        names->push_back(fcb->path);
        return more ? more(names) : STATUS_SUCCESS;
    });
}

// A named stream takes a new name within its file (a name that starts with
// ':'). The file's name is held throughout.
NTSTATUS RenameStreamp(FileObjectBody* body, Fcb* fcb, ULONG flags, std::u16string_view name) {
    std::u16string base;
    std::u16string newStream;
    NTSTATUS status = SplitStream(name, &base, &newStream);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (fcb->stream.empty()) {
        sim::NotImplemented("renaming a file's default stream to a named stream");
    }
    if (newStream.empty()) {
        sim::NotImplemented("renaming a named stream to the default stream");
    }
    Volume* volume = fcb->volume;
    NameHold hold;
    std::unique_lock<std::mutex> lock(gLock);
    status = HoldFileNames(lock, &hold, body, fcb);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (fcb->deleted) {
        return STATUS_FILE_DELETED;
    }
    if (!sim::ob::NamesEqual(newStream, fcb->stream) && FindStream(volume, fcb->fileId, newStream, nullptr)) {
        if (!(flags & FILE_RENAME_REPLACE_IF_EXISTS)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        auto it = gFcbs.find(KeyOf(volume, fcb->fileId, newStream));
        if (it != gFcbs.end()) {
            if (it->second->handleCount > 0) {
                return STATUS_ACCESS_DENIED;
            }
            ForgetNameLocked(it->second);
        }
    }
    RenameStream(volume, fcb->fileId, fcb->stream, newStream);
    auto it = gFcbs.find(KeyOf(fcb));
    if (it != gFcbs.end() && it->second == fcb) {
        gFcbs.erase(it);
    }
    fcb->stream = newStream;
    gFcbs[KeyOf(fcb)] = fcb;
    for (auto& [fo, other] : gFileObjects) {
        if (other->fo.FsContext == fcb) {
            other->openedPath = WithoutStream(other->openedPath) + std::u16string(name);
        }
    }
    return STATUS_SUCCESS;
}

// Both names are held from the look-up of the target to the end, so the move
// is atomic against creates, opens and renames of either name (and of files
// below a directory that moves).
NTSTATUS Rename(FileObjectBody* body, Fcb* fcb, ULONG flags, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory,
                std::u16string_view name) {
    Volume* volume = fcb->volume;
    if (!(body->grantedAccess & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    if (name.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (name[0] == u':' && parentOfTarget == nullptr && rootDirectory == nullptr) {
        return RenameStreamp(body, fcb, flags, name);
    }
    if (!fcb->stream.empty()) {
        sim::NotImplemented("renaming a named stream's file through the stream's handle");
    }
    std::u16string target;
    std::u16string oldPath;
    NameHold hold;
    std::unique_lock<std::mutex> lock(gLock);
    NTSTATUS status = HoldFileNames(lock, &hold, body, fcb, [&](std::vector<std::u16string>* names) {
        if (fcb->path == u"\\") {
            return STATUS_ACCESS_DENIED;
        }
        NTSTATUS targetStatus = RenameTargetLocked(fcb, parentOfTarget, rootDirectory, name, &target);
        names->push_back(target);
        return targetStatus;
    });
    oldPath = fcb->path;
    lock.unlock();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Resolved resolved;
    status = ResolveOnDisk(volume, target, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (resolved.isRoot) {
        return STATUS_ACCESS_DENIED;
    }
    std::u16string newPath = NewPathOf(resolved);
    std::string oldHost = HostPathOf(volume, oldPath);
    std::string newHost = HostPathOf(volume, newPath);
    const bool takesOver = resolved.exists && !SameFile(fcb, resolved, newHost);
    uint64_t targetId = 0;
    bool targetLastName = false;
    if (takesOver) {
        status = CheckTakeOver(volume, newHost, (flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0,
                               (flags & FILE_RENAME_POSIX_SEMANTICS) != 0, &targetId, &targetLastName);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (fcb->directory) {
        lock.lock();
        for (const auto& [key, other] : gFcbs) {
            if (other != fcb && other->volume == volume && HasPrefixPath(other->path, oldPath) && other->handleCount > 0) {
                return STATUS_ACCESS_DENIED;
            }
        }
        lock.unlock();
    }
    // The replaced file's streams go with its last name, before its inode can
    // be another file's.
    if (takesOver && targetLastName) {
        lock.lock();
        ForgetFileLocked(volume, targetId);
        lock.unlock();
    }
    if (::rename(oldHost.c_str(), newHost.c_str()) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    lock.lock();
    if (takesOver) {
        ForgetTakenOverLocked(volume, targetId, newPath);
    }
    // Files below a directory that moves, and the file's own open streams.
    std::vector<Fcb*> streams;
    for (auto& [key, other] : gFcbs) {
        if (other != fcb && other->volume == volume && HasPrefixPath(other->path, oldPath)) {
            other->path = newPath + other->path.substr(oldPath.size());
        } else if (other != fcb && other->volume == volume && other->fileId == fcb->fileId &&
                   !other->stream.empty() && sim::ob::NamesEqual(other->path, oldPath)) {
            other->path = newPath;
            streams.push_back(other);
        }
    }
    fcb->path = newPath;
    std::u16string spelled = SpelledPath(target);
    for (auto& [fo, other] : gFileObjects) {
        if (other->fo.FsContext == fcb) {
            other->openedPath = spelled;
        } else if (std::find(streams.begin(), streams.end(), FcbOf(&other->fo)) != streams.end()) {
            other->openedPath = spelled + other->openedPath.substr(WithoutStream(other->openedPath).size());
        }
    }
    return STATUS_SUCCESS;
}

// A second name for the file. Directories have one name only.
NTSTATUS Link(FileObjectBody* body, Fcb* fcb, ULONG flags, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory,
            std::u16string_view name) {
    Volume* volume = fcb->volume;
    if (fcb->directory) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (!fcb->stream.empty()) {
        sim::NotImplemented("a hard link made through a named stream's handle");
    }
    std::u16string target;
    std::u16string oldPath;
    NameHold hold;
    std::unique_lock<std::mutex> lock(gLock);
    NTSTATUS status = HoldFileNames(lock, &hold, body, fcb, [&](std::vector<std::u16string>* names) {
        NTSTATUS targetStatus = RenameTargetLocked(fcb, parentOfTarget, rootDirectory, name, &target);
        names->push_back(target);
        return targetStatus;
    });
    oldPath = fcb->path;
    lock.unlock();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Resolved resolved;
    status = ResolveOnDisk(volume, target, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (resolved.isRoot) {
        return STATUS_ACCESS_DENIED;
    }
    const std::u16string newPath = NewPathOf(resolved);
    std::string newHost = HostPathOf(volume, newPath);
    if (resolved.exists) {
        if (SameFile(fcb, resolved, newHost)) {
            return (flags & FILE_LINK_REPLACE_IF_EXISTS) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
        }
        uint64_t targetId = 0;
        bool targetLastName = false;
        status = CheckTakeOver(volume, newHost, (flags & FILE_LINK_REPLACE_IF_EXISTS) != 0,
                               (flags & FILE_LINK_POSIX_SEMANTICS) != 0, &targetId, &targetLastName);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (targetLastName) {
            lock.lock();
            ForgetFileLocked(volume, targetId);
            lock.unlock();
        }
        ::unlink(newHost.c_str());
        lock.lock();
        ForgetTakenOverLocked(volume, targetId, newPath);
        lock.unlock();
    }
    if (::link(HostPathOf(volume, oldPath).c_str(), newHost.c_str()) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

// End of file and allocation: the file is cut or extended to `size`; an
// allocation only ever cuts (it never holds less than the data).
NTSTATUS Size(FileObjectBody* body, Fcb* fcb, LONGLONG size, bool allocation) {
    if (fcb->directory || size < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NameHold hold;
    std::unique_lock<std::mutex> lock(gLock);
    NTSTATUS status = HoldFileNames(lock, &hold, body, fcb);
    std::string host = HostPathOf(fcb->volume, fcb->path);
    lock.unlock();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> io(fcb->ioLock);
    // A stream's data is only reached through its descriptor.
    const bool stream = !fcb->stream.empty();
    struct stat st;
    if ((stream ? ::fstat(fcb->fd, &st) : ::stat(host.c_str(), &st)) != 0) {
        return STATUS_FILE_DELETED;
    }
    if (allocation && size >= st.st_size) {
        return STATUS_SUCCESS;
    }
    if ((stream ? ::ftruncate(fcb->fd, size) : ::truncate(host.c_str(), size)) != 0) {
        return STATUS_DISK_FULL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Disposition(FileObjectBody* body, Fcb* fcb, ULONG flags) {
    if (!(body->grantedAccess & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    bool del = (flags & FILE_DISPOSITION_DELETE) != 0;
    NameHold hold;
    std::unique_lock<std::mutex> lock(gLock);
    NTSTATUS status = HoldFileNames(lock, &hold, body, fcb, [&](std::vector<std::u16string>*) {
        return del && fcb->path == u"\\" ? STATUS_CANNOT_DELETE : STATUS_SUCCESS;
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The directory's name is held, so nothing is created in it before the
    // pending delete is set.
    if (del && fcb->directory) {
        const std::string host = HostPathOf(fcb->volume, fcb->path);
        lock.unlock();
        const bool empty = DirectoryIsEmpty(host);
        lock.lock();
        if (!empty) {
            return STATUS_DIRECTORY_NOT_EMPTY;
        }
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

}  // namespace

NTSTATUS SetInformation(PFLT_CALLBACK_DATA data) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    FileObjectBody* body;
    Fcb* fcb;
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto found = gFileObjects.find(fo);
        body = found == gFileObjects.end() ? nullptr : found->second;
        if (body == nullptr || !body->opened) {
            return STATUS_INVALID_PARAMETER;
        }
        if (body->cleanedUp) {
            return STATUS_FILE_CLOSED;
        }
        if (body->volumeOpen) {
            return STATUS_INVALID_PARAMETER;
        }
        fcb = FcbOf(fo);
        path = NameOf(fcb);
    }
    auto& params = data->Iopb->Parameters.SetFileInformation;
    ULONG length = params.Length;
    NTSTATUS status = TakeFault(FaultOp::SetInformation, fcb->volume, path);
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
        return Rename(body, fcb, flags, params.ParentOfTarget, info->RootDirectory, name);
    }
    case FileDispositionInformation: {
        if (length < sizeof(FILE_DISPOSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        auto* info = static_cast<PFILE_DISPOSITION_INFORMATION>(params.InfoBuffer);
        return Disposition(body, fcb, info->DeleteFile ? FILE_DISPOSITION_DELETE : 0);
    }
    case FileDispositionInformationEx: {
        if (length < sizeof(FILE_DISPOSITION_INFORMATION_EX)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        auto* info = static_cast<PFILE_DISPOSITION_INFORMATION_EX>(params.InfoBuffer);
        return Disposition(body, fcb, info->Flags);
    }
    case FileLinkInformation:
    case FileLinkInformationEx: {
        if (length < sizeof(FILE_LINK_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        auto* info = static_cast<PFILE_LINK_INFORMATION_EX>(params.InfoBuffer);
        if ((info->FileNameLength & 1) != 0 ||
            static_cast<uint64_t>(offsetof(FILE_LINK_INFORMATION, FileName)) + info->FileNameLength > length) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG flags = params.FileInformationClass == FileLinkInformationEx
                          ? info->Flags
                          : (info->ReplaceIfExists ? FILE_LINK_REPLACE_IF_EXISTS : 0);
        std::u16string name(info->FileName, info->FileNameLength / sizeof(WCHAR));
        return Link(body, fcb, flags, params.ParentOfTarget, info->RootDirectory, name);
    }
    case FileEndOfFileInformation:
    case FileAllocationInformation: {
        if (length < sizeof(LARGE_INTEGER)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        LARGE_INTEGER size;
        std::memcpy(&size, params.InfoBuffer, sizeof(size));
        return Size(body, fcb, size.QuadPart, params.FileInformationClass == FileAllocationInformation);
    }
    case FilePositionInformation: {
        if (length < sizeof(LARGE_INTEGER)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        LARGE_INTEGER position;
        std::memcpy(&position, params.InfoBuffer, sizeof(position));
        if (position.QuadPart < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        fo->CurrentByteOffset = position;
        return STATUS_SUCCESS;
    }
    case FileBasicInformation:
        // Times and attributes: accepted, not kept (the model keeps neither).
        return length < kFileBasicInformationSize ? STATUS_INFO_LENGTH_MISMATCH : STATUS_SUCCESS;
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS DestinationPath(const FILE_OBJECT* fileObject, HANDLE rootDirectory, std::u16string_view name,
                         std::u16string* path) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    if (it == gFileObjects.end() || !it->second->opened || it->second->volumeOpen || fileObject->FsContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A stream's new name within its file.
    if (rootDirectory == nullptr && !name.empty() && name[0] == u':') {
        *path = FcbOf(fileObject)->path + std::u16string(name);
        return STATUS_SUCCESS;
    }
    return TargetPathLocked(FcbOf(fileObject), rootDirectory, name, path);
}

}  // namespace sim::fs
