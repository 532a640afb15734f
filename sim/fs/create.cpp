// IRP_MJ_CREATE on the simulated volume: dispositions, options, share access,
// and the open-file table entry each open shares.
#include "sim/fs/local.h"

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

namespace {

// Under gLock: the open is recorded on the file and the file object.
void RecordOpen(FileObjectBody* body, Fcb* fcb, ACCESS_MASK granted, ULONG share, ULONG options, std::u16string_view path) {
    PFILE_OBJECT fo = &body->fo;
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
}

// Under gLock: an open recorded by RecordOpen is taken back (its overwrite
// failed). Returns the Fcb when this was its last reference: the caller closes
// its descriptor and frees it after releasing gLock.
Fcb* UndoOpenLocked(FileObjectBody* body, Fcb* fcb) {
    PFILE_OBJECT fo = &body->fo;
    RemoveShareAccess(fcb, body);
    fcb->handleCount--;
    fo->FsContext = nullptr;
    fo->FsContext2 = nullptr;
    fo->Flags &= ~static_cast<ULONG>(FO_SYNCHRONOUS_IO | FO_DELETE_ON_CLOSE);
    body->opened = false;
    if (--fcb->referenceCount != 0) {
        return nullptr;
    }
    auto it = gFcbs.find(KeyOf(fcb));
    if (it != gFcbs.end() && it->second == fcb) {
        gFcbs.erase(it);
    }
    return fcb;
}

// Under gLock: what an open of an existing file is refused with, before any
// change to it; `fcb` is the file's entry in the table, if it has one.
// An overwrite or supersede empties the file after its open is recorded; if
// that fails the open is undone (the table lock taken for it) and refused.
// Called with `lock` (the table lock) released.
NTSTATUS TruncateOrUndoOpen(std::unique_lock<std::mutex>& lock, FileObjectBody* body, Fcb* fcb) {
    int rc;
    {
        std::lock_guard<std::mutex> io(fcb->ioLock);
        rc = ::ftruncate(fcb->fd, 0);
    }
    if (rc == 0) {
        return STATUS_SUCCESS;
    }
    lock.lock();
    Fcb* last = UndoOpenLocked(body, fcb);
    lock.unlock();
    if (last != nullptr) {
        ::close(last->fd);
        delete last;
    }
    return STATUS_ACCESS_DENIED;
}

NTSTATUS CheckExistingOpen(const FileObjectBody* body, const Fcb* fcb, bool isDir, bool isRoot, bool trailingSlash,
                           ACCESS_MASK granted, ULONG share, ULONG disposition, ULONG options, ULONG_PTR* information) {
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
    if (isRoot && (options & FILE_DELETE_ON_CLOSE)) {
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
        return CheckShareAccess(fcb, granted, share, &counted);
    }
    return STATUS_SUCCESS;
}

// An open of a named stream: the stream is made when absent (and the file
// too, for a creating disposition); its Fcb has the file's id and share
// access of its own. The caller holds the file's name.
NTSTATUS CreateStream(FileObjectBody* body, std::u16string_view path, const Resolved& resolved, ACCESS_MASK granted,
                      ULONG share, ULONG disposition, ULONG options, ULONG_PTR* information) {
    Volume* volume = body->volume;
    const bool creates = disposition != FILE_OPEN && disposition != FILE_OVERWRITE;
    if (options & FILE_DIRECTORY_FILE) {
        return STATUS_NOT_A_DIRECTORY;
    }
    if (path.size() > 1 && path.back() == u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if ((!resolved.exists || !resolved.streamExists) && !creates) {
        *information = FILE_DOES_NOT_EXIST;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::u16string filePath = FullPath(resolved);
    const std::string host = HostPathOf(volume, filePath);
    struct stat st;
    if (!resolved.exists) {
        const int made = ::open(host.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
        if (made < 0) {
            return errno == EEXIST ? STATUS_OBJECT_NAME_COLLISION : STATUS_ACCESS_DENIED;
        }
        ::fstat(made, &st);
        ::close(made);
    } else if (::stat(host.c_str(), &st) != 0) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const uint64_t fileId = static_cast<uint64_t>(st.st_ino);
    const FcbKey key = KeyOf(volume, fileId, resolved.stream);
    ULONG_PTR result = FILE_OPENED;
    const bool replaces = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
    int fd = -1;
    std::unique_lock<std::mutex> lock(gLock);
    auto file = gFcbs.find(KeyOf(volume, fileId));
    if (file != gFcbs.end() && file->second->deletePending) {
        return STATUS_DELETE_PENDING;
    }
    auto it = gFcbs.find(key);
    Fcb* fcb = it == gFcbs.end() ? nullptr : it->second;
    std::u16string onDisk;
    const bool streamExists = FindStream(volume, fileId, resolved.stream, &onDisk);
    if (streamExists) {
        NTSTATUS status = CheckExistingOpen(body, fcb, false, false, false, granted, share, disposition, options,
                                            information);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (replaces) {
            result = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
    } else {
        onDisk = resolved.stream;
        result = FILE_CREATED;
    }
    if (fcb == nullptr) {
        fd = OpenStream(volume, fileId, onDisk, true);
        if (fd < 0) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        fcb = new Fcb;
        fcb->volume = volume;
        fcb->fileId = fileId;
        fcb->indexNumber = FileIdOfLocked(volume, fileId);
        fcb->path = filePath;
        fcb->stream = onDisk;
        fcb->fd = fd;
        gFcbs[key] = fcb;
    }
    RecordOpen(body, fcb, granted, share, options, path);
    lock.unlock();
    if (replaces && streamExists) {
        const NTSTATUS truncated = TruncateOrUndoOpen(lock, body, fcb);
        if (!NT_SUCCESS(truncated)) {
            return truncated;
        }
    }
    *information = result;
    return STATUS_SUCCESS;
}

}  // namespace

// The create holds its name from the look-up to the end, so no other create,
// rename or delete of that name (or of a directory above it) runs in between;
// the host calls run with gLock released, which is taken only to read and
// update the table.
NTSTATUS Create(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition, ULONG options,
                ULONG_PTR* information) {
    PFILE_OBJECT fo = &body->fo;
    ACCESS_MASK granted = MapFileAccess(desired);
    *information = 0;
    if (body->volumeOpen) {
        std::lock_guard<std::mutex> guard(gLock);
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
    NameHold hold;
    NTSTATUS status = HoldCreatePath(body, &hold, &path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateAtPath(body, path, desired, share, disposition, options, information);
}

NTSTATUS CreateAtPath(FileObjectBody* body, std::u16string_view path, ACCESS_MASK desired, ULONG share,
                      ULONG disposition, ULONG options, ULONG_PTR* information) {
    ACCESS_MASK granted = MapFileAccess(desired);
    *information = 0;
    Volume* volume = body->volume;
    std::unique_lock<std::mutex> lock(gLock, std::defer_lock);
    NTSTATUS status;
    bool trailingSlash = path.size() > 1 && path.back() == u'\\';
    Resolved resolved;
    status = ResolveOnDisk(volume, path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool actionRan = false;
    status = TakeFault(FaultOp::Create, volume, FullPath(resolved), -1, &actionRan);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A fault's action changed the disk: look again, as the file system's own
    // look-up would come after it.
    if (actionRan) {
        status = ResolveOnDisk(volume, path, &resolved);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }

    if (!resolved.stream.empty()) {
        return CreateStream(body, path, resolved, granted, share, disposition, options, information);
    }
    std::u16string fullPath = FullPath(resolved);
    std::string host = HostPathOf(volume, fullPath);
    Fcb* fcb = nullptr;
    ULONG_PTR result = FILE_OPENED;
    bool replaces = false;

    if (resolved.exists) {
        struct stat st;
        if (::stat(host.c_str(), &st) != 0) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        const bool isDir = S_ISDIR(st.st_mode);
        const FcbKey key = KeyOf(volume, static_cast<uint64_t>(st.st_ino));
        replaces = disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF;
        // A file nobody has open gets an Fcb with a descriptor of its own,
        // opened with gLock released; the table is looked at again after, and
        // an Fcb another open made meanwhile (through another of the file's
        // names) is used instead.
        int fd = -1;
        for (;;) {
            lock.lock();
            auto it = gFcbs.find(key);
            fcb = it == gFcbs.end() ? nullptr : it->second;
            status = CheckExistingOpen(body, fcb, isDir, resolved.isRoot, trailingSlash, granted, share, disposition,
                                       options, information);
            if (!NT_SUCCESS(status) || fcb != nullptr || isDir || fd >= 0) {
                break;
            }
            lock.unlock();
            fd = ::open(host.c_str(), O_RDWR | O_CLOEXEC);
            if (fd < 0) {
                return STATUS_ACCESS_DENIED;
            }
        }
        if (NT_SUCCESS(status) && fcb == nullptr) {
            fcb = new Fcb;
            fcb->volume = volume;
            fcb->fileId = std::get<1>(key);
            fcb->indexNumber = FileIdOfLocked(volume, fcb->fileId);
            fcb->path = fullPath;
            fcb->directory = isDir;
            fcb->fd = fd;
            fd = -1;
            gFcbs[key] = fcb;
        }
        if (NT_SUCCESS(status)) {
            RecordOpen(body, fcb, granted, share, options, path);
            fullPath = fcb->path;  // a file open through another of its names keeps that name
        }
        lock.unlock();
        if (fd >= 0) {
            ::close(fd);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (replaces) {
            // Cut under the file's I/O lock, so no write of another handle
            // lands halfway; if the cut fails the open is taken back.
            const NTSTATUS truncated = TruncateOrUndoOpen(lock, body, fcb);
            if (!NT_SUCCESS(truncated)) {
                return truncated;
            }
            result = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
    } else {
        if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
            *information = FILE_DOES_NOT_EXIST;
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        bool makeDir = (options & FILE_DIRECTORY_FILE) != 0;
        int fd = -1;
        struct stat st;
        if (makeDir) {
            if (::mkdir(host.c_str(), 0777) != 0) {
                return STATUS_ACCESS_DENIED;
            }
            ::stat(host.c_str(), &st);
        } else {
            if (trailingSlash) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            fd = ::open(host.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
            if (fd < 0) {
                return errno == EEXIST ? STATUS_OBJECT_NAME_COLLISION : STATUS_ACCESS_DENIED;
            }
            ::fstat(fd, &st);
        }
        fcb = new Fcb;
        fcb->volume = volume;
        fcb->fileId = static_cast<uint64_t>(st.st_ino);
        fcb->path = fullPath;
        fcb->directory = makeDir;
        fcb->fd = fd;
        result = FILE_CREATED;
        lock.lock();
        fcb->indexNumber = FileIdOfLocked(volume, fcb->fileId);
        gFcbs[KeyOf(fcb)] = fcb;
        RecordOpen(body, fcb, granted, share, options, path);
        lock.unlock();
    }

    *information = result;
    if ((options & FILE_COMPLETE_IF_OPLOCKED) && !NT_SUCCESS(TakeFault(FaultOp::OplockBreak, volume, fullPath))) {
        return STATUS_OPLOCK_BREAK_IN_PROGRESS;
    }
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
