// Opens the I/O manager makes for itself on the simulated volume.
//
// A rename or link whose target is a full path or lies below a root directory
// first opens the target's parent directory with SL_OPEN_TARGET_DIRECTORY. The
// file system opens that directory, tells in the information whether the
// final component exists (FILE_EXISTS / FILE_DOES_NOT_EXIST), and leaves only
// the final component in the file object's name; the set-information request
// then carries the open directory as ParentOfTarget and the file system takes
// the target from it rather than from the name in the record.
#include "sim/fs/local.h"

namespace sim::fs {

void CheckCreateFlags(UCHAR flags) {
    // SL_FORCE_ACCESS_CHECK asks for the access checks a user-mode caller
    // gets; the volumes keep no file security, so there is nothing more to check.
    constexpr UCHAR kImplemented = SL_FORCE_ACCESS_CHECK | SL_OPEN_PAGING_FILE | SL_OPEN_TARGET_DIRECTORY | SL_CASE_SENSITIVE;
    if ((flags & SL_STOP_ON_SYMLINK) != 0) {
        sim::NotImplemented("SL_STOP_ON_SYMLINK in a create on the simulated volume");
    }
    if ((flags & ~kImplemented) != 0) {
        sim::NotImplemented("this create operation flag (SL_*) on the simulated volume");
    }
}

// Holds the target's full name while the parent opens, so the directory is
// not renamed or deleted under the open and no create of the target runs
// between the look-up and the open.
NTSTATUS OpenTargetDirectory(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition,
                             ULONG options, ULONG_PTR* information) {
    *information = 0;
    if (body->volumeOpen) {
        return STATUS_INVALID_PARAMETER;
    }
    if (disposition != FILE_OPEN || (options & FILE_NON_DIRECTORY_FILE) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path;
    NameHold hold;
    NTSTATUS status = HoldCreatePath(body, &hold, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::vector<std::u16string> parts = SplitPath(path);
    // The root has no parent to open; a rename or link names a stream only
    // by a name that starts with ':' (the file's own), never by a path.
    if (parts.empty() || parts.back().find(u':') != std::u16string::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    Resolved resolved;
    status = ResolveOnDisk(body->volume, path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const std::u16string parent = JoinPath(resolved.onDisk, resolved.onDisk.size());
    ULONG_PTR opened = 0;
    status = CreateAtPath(body, parent, desired, share, FILE_OPEN, options | FILE_DIRECTORY_FILE, &opened);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(gLock);
        body->targetDirectory = true;
        body->fileName = parts.back();
        body->fo.FileName.Buffer = body->fileName.data();
        body->fo.FileName.Length = static_cast<USHORT>(body->fileName.size() * sizeof(WCHAR));
        body->fo.FileName.MaximumLength = body->fo.FileName.Length;
    }
    *information = resolved.exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    return status;
}

bool IsDirectoryFile(const FILE_OBJECT* fileObject) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    return it != gFileObjects.end() && it->second->opened && fileObject->FsContext != nullptr && FcbOf(fileObject)->directory;
}

NTSTATUS RenameTargetLocked(const Fcb* fcb, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory, std::u16string_view name,
                            std::u16string* target) {
    if (parentOfTarget == nullptr) {
        return TargetPathLocked(fcb, rootDirectory, name, target);
    }
    auto it = gFileObjects.find(parentOfTarget);
    if (it == gFileObjects.end() || !it->second->opened || !it->second->targetDirectory || it->second->cleanedUp) {
        return STATUS_INVALID_PARAMETER;
    }
    const FileObjectBody* parentBody = it->second;
    const Fcb* parentFcb = FcbOf(&parentBody->fo);
    if (parentFcb->volume != fcb->volume) {
        return STATUS_NOT_SAME_DEVICE;
    }
    *target = parentFcb->path == u"\\" ? u"\\" + parentBody->fileName : parentFcb->path + u"\\" + parentBody->fileName;
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
