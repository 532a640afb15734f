// IRP_MJ_SET_INFORMATION on the simulated file system: rename and delete
// dispositions.
#include "sim/private/fs_local.h"

#include "sim/private/ob.h"
#include "sim/private/ps.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>

namespace sim::fs {

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

namespace {

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
