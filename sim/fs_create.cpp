// IRP_MJ_CREATE on the simulated volume: dispositions, options, share access,
// and the open-file table entry each open shares.
#include "sim/private/fs_local.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sim::fs {

ACCESS_MASK MapGenericFileAccess(ACCESS_MASK desired) {
    ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (desired & GENERIC_READ) mapped |= FILE_GENERIC_READ;
    if (desired & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
    if (desired & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
    if (desired & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
    return mapped;
}

namespace {

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

}  // namespace

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
    return CreateAtPathLocked(body, path, desired, share, disposition, options, information);
}

NTSTATUS CreateAtPathLocked(FileObjectBody* body, std::u16string_view path, ACCESS_MASK desired, ULONG share,
                            ULONG disposition, ULONG options, ULONG_PTR* information) {
    PFILE_OBJECT fo = &body->fo;
    ACCESS_MASK granted = MapFileAccess(desired);
    *information = 0;
    NTSTATUS status;
    bool trailingSlash = path.size() > 1 && path.back() == u'\\';
    Volume* volume = body->volume;
    Resolved resolved;
    status = ResolveLocked(volume, path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const uint64_t actionsBefore = FaultActionsRun();
    status = TakeFault(FaultOp::Create, volume, FullPath(resolved));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A fault's action changed the disk: look again, as the file system's own
    // look-up would come after it.
    if (FaultActionsRun() != actionsBefore) {
        status = ResolveLocked(volume, path, &resolved);
        if (!NT_SUCCESS(status)) {
            return status;
        }
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
    if ((options & FILE_COMPLETE_IF_OPLOCKED) && !NT_SUCCESS(TakeFault(FaultOp::OplockBreak, volume, fcb->path))) {
        return STATUS_OPLOCK_BREAK_IN_PROGRESS;
    }
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
