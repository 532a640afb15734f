// IRP_MJ_SET_INFORMATION on the simulated file system: rename, hard links,
// delete dispositions, end of file and allocation, position, basic
// information. Classes the file system does not carry out are refused with
// STATUS_INVALID_PARAMETER, as a file system without them refuses them.
#include "sim/private/fs_local.h"

#include "sim/private/ob.h"
#include "sim/private/ps.h"

#include <sys/stat.h>
#include <unistd.h>

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
    // The volumes keep no named streams: a stream name is refused as a file
    // system without them refuses it.
    if (target->find(u':') != std::u16string::npos) {
        target->clear();
        return STATUS_OBJECT_NAME_INVALID;
    }
    return STATUS_SUCCESS;
}

namespace {

// An existing name at `newHost` that a rename or link with `replace` is to
// take over: refused (collision, a directory, a file still open unless
// `posix`), or its file is forgotten by the open-file table.
NTSTATUS TakeOverTargetLocked(Volume* volume, const std::string& newHost, bool replace, bool posix) {
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
    if (targetFcb != nullptr && targetFcb->handleCount > 0 && !posix) {
        return STATUS_ACCESS_DENIED;
    }
    if (targetFcb != nullptr) {
        targetFcb->deleted = true;
        gFcbs.erase(it);
    }
    return STATUS_SUCCESS;
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

NTSTATUS RenameLocked(FileObjectBody* body, Fcb* fcb, ULONG flags, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory,
                      std::u16string_view name) {
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
    NTSTATUS targetStatus = RenameTargetLocked(fcb, parentOfTarget, rootDirectory, name, &target);
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
    std::u16string newPath = NewPathOf(resolved);
    std::string oldHost = HostPathOf(volume, fcb->path);
    std::string newHost = HostPathOf(volume, newPath);
    if (resolved.exists && !SameFile(fcb, resolved, newHost)) {
        status = TakeOverTargetLocked(volume, newHost, (flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0,
                                      (flags & FILE_RENAME_POSIX_SEMANTICS) != 0);
        if (!NT_SUCCESS(status)) {
            return status;
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

// A second name for the file. Directories have one name only.
NTSTATUS LinkLocked(Fcb* fcb, ULONG flags, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory, std::u16string_view name) {
    Volume* volume = fcb->volume;
    if (fcb->directory) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    std::u16string target;
    NTSTATUS status = RenameTargetLocked(fcb, parentOfTarget, rootDirectory, name, &target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    Resolved resolved;
    status = ResolveLocked(volume, target, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (resolved.isRoot) {
        return STATUS_ACCESS_DENIED;
    }
    std::string newHost = HostPathOf(volume, NewPathOf(resolved));
    if (resolved.exists) {
        if (SameFile(fcb, resolved, newHost)) {
            return (flags & FILE_LINK_REPLACE_IF_EXISTS) != 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
        }
        status = TakeOverTargetLocked(volume, newHost, (flags & FILE_LINK_REPLACE_IF_EXISTS) != 0,
                                      (flags & FILE_LINK_POSIX_SEMANTICS) != 0);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ::unlink(newHost.c_str());
    }
    if (::link(HostPathOf(volume, fcb->path).c_str(), newHost.c_str()) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

// End of file and allocation: the file is cut or extended to `size`; an
// allocation only ever cuts (it never holds less than the data).
NTSTATUS SizeLocked(Fcb* fcb, LONGLONG size, bool allocation) {
    if (fcb->directory || size < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> io(fcb->ioLock);
    std::string host = HostPathOf(fcb->volume, fcb->path);
    struct stat st;
    if (::stat(host.c_str(), &st) != 0) {
        return STATUS_FILE_DELETED;
    }
    if (allocation && size >= st.st_size) {
        return STATUS_SUCCESS;
    }
    if (::truncate(host.c_str(), size) != 0) {
        return STATUS_DISK_FULL;
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

}  // namespace

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
        return RenameLocked(body, fcb, flags, params.ParentOfTarget, info->RootDirectory, name);
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
        return LinkLocked(fcb, flags, params.ParentOfTarget, info->RootDirectory, name);
    }
    case FileEndOfFileInformation:
    case FileAllocationInformation: {
        if (length < sizeof(LARGE_INTEGER)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        LARGE_INTEGER size;
        std::memcpy(&size, params.InfoBuffer, sizeof(size));
        return SizeLocked(fcb, size.QuadPart, params.FileInformationClass == FileAllocationInformation);
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
    return TargetPathLocked(FcbOf(fileObject), rootDirectory, name, path);
}

}  // namespace sim::fs
