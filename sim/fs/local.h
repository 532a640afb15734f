// Between the pieces of the simulated file system (sim/fs_*.cpp): the
// open-file table and its lock, path helpers, and each area's entry for
// FileSystemDispatch. Only the file system's own sources include this.
#pragma once

#include "sim/fs/fs.h"

#include <functional>
#include <map>
#include <memory>
#include <tuple>
#include <mutex>
#include <unordered_map>

namespace sim::fs {

// One open file or directory (what FsContext points at): shared by every
// file object open on it, identified by the host file's inode.
struct Fcb {
    Volume* volume = nullptr;
    uint64_t fileId = 0;       // the host file's inode: the key of the model's tables
    uint64_t indexNumber = 0;  // the file id the file system gives out (sim/fs/records.cpp)
    std::u16string path;  // volume-relative, on-disk case ("\" for the root)
    // A named data stream of the file: ":name" in its on-disk case; empty for
    // the file's default stream (or a directory). A stream's Fcb has the
    // file's id and path, and share access of its own.
    std::u16string stream;
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
    // and writes there in one step. Size changes and an overwrite's
    // truncation take it too.
    std::mutex ioLock;
};

// Locking. Host calls on one file never wait for work on another, so the
// table lock is never held across one. Lock order, outermost first:
//   1. Name holds (NameHold): an operation that looks up, makes, moves or
//      removes names (create, cleanup, rename, link, delete disposition, end
//      of file) holds the names it works on across its host calls. It takes
//      all of them in one step, waiting until none conflicts with another
//      operation's, so two holds never wait on each other. Two names conflict
//      when they are equal (case ignored) or one lies below the other: a
//      directory's rename waits for a create inside it, and the two names of
//      a rename are taken together, atomic against creates of either. The
//      root conflicts only with itself.
//   2. Fcb::ioLock: one file's data.
//   3. gLock: the volumes, the open-file table, the pass-through log, the
//      holds, and the bookkeeping fields of every Fcb and file object (path,
//      share access, counts, delete-pending). Held briefly; never across a
//      host call on a file, a fault's action, or a filter callback; a wait for
//      a hold releases it. Under it only the object manager is called.
// The fault list's lock (volume.cpp) is taken alone, and released before a
// fault's action runs: the action runs with only the operation's own name
// hold (create) or I/O lock (read, write).
extern std::mutex gLock;
extern std::vector<std::unique_ptr<Volume>> gVolumes;
// Open files by volume, file id and upcased stream name (empty: the default stream).
using FcbKey = std::tuple<ULONG, uint64_t, std::u16string>;
FcbKey KeyOf(const Volume* volume, uint64_t fileId, std::u16string_view stream = {});
FcbKey KeyOf(const Fcb* fcb);
extern std::map<FcbKey, Fcb*> gFcbs;
extern std::unordered_map<const FILE_OBJECT*, FileObjectBody*> gFileObjects;
extern std::vector<PassThroughRecord> gPassThrough;

inline Fcb* FcbOf(const FILE_OBJECT* fo) { return static_cast<Fcb*>(fo->FsContext); }
// The name of what the Fcb holds: the file's path, with ":stream" for a named stream.
inline std::u16string NameOf(const Fcb* fcb) { return fcb->path + fcb->stream; }

// Names one operation holds on a volume. Released when destroyed, which takes
// gLock: in a scope that also locks gLock, declare the hold first.
class NameHold {
public:
    NameHold() = default;
    NameHold(const NameHold&) = delete;
    NameHold& operator=(const NameHold&) = delete;
    ~NameHold();

private:
    friend NTSTATUS HoldNames(std::unique_lock<std::mutex>& lock, NameHold* hold, const Volume* volume,
                              const std::function<NTSTATUS(std::vector<std::u16string>*)>& names);
    friend bool NamesFree(const NameHold* self, const Volume* volume, const std::vector<std::u16string>& names);
    const Volume* volume_ = nullptr;
    std::vector<std::u16string> names_;  // volume-relative, single separators
    bool held_ = false;
};

// With `lock` (on gLock) held: asks `names` which names to hold (it runs under
// gLock, and again after every wait, as paths move while this thread waits;
// a failure status from it is returned), waits while any of them conflicts
// with another operation's hold, then holds them. `hold` must be empty.
NTSTATUS HoldNames(std::unique_lock<std::mutex>& lock, NameHold* hold, const Volume* volume,
                   const std::function<NTSTATUS(std::vector<std::u16string>*)>& names);
// Without gLock: holds the path a create names (its file object's name, or
// that name below its related file object's) and returns it in `path`.
NTSTATUS HoldCreatePath(const FileObjectBody* body, NameHold* hold, std::u16string* path);

// Paths (sim/fs/paths.cpp).
std::vector<std::u16string> SplitPath(std::u16string_view path);
std::u16string JoinPath(const std::vector<std::u16string>& parts, size_t count);
std::string HostPathOf(const Volume* volume, std::u16string_view relative);

struct Resolved {
    std::vector<std::u16string> onDisk;  // components of the parent, on-disk case
    std::u16string finalOnDisk;          // final component (caller's spelling when missing)
    bool exists = false;
    bool isRoot = false;
    // A named stream of the final component (":name" without the ":$DATA"
    // type; empty for the default stream): its on-disk case when it exists,
    // else the caller's spelling.
    std::u16string stream;
    bool streamExists = false;
};

// Walks `path` on the volume: every parent must be an existing directory.
// Host calls only: the caller holds the name, not gLock.
NTSTATUS ResolveOnDisk(const Volume* volume, std::u16string_view path, Resolved* out);
std::u16string FullPath(const Resolved& resolved);  // the file's path, without a stream
std::u16string FullName(const Resolved& resolved);  // with ":stream" when one is named
// Splits "name", "name:stream", "name:stream:$DATA" or "name::$DATA" into the
// file's name and the stream (":stream", empty for the default stream).
// STATUS_OBJECT_NAME_INVALID for an empty stream name or type, a type other
// than $DATA, or a character a stream name cannot hold.
NTSTATUS SplitStream(std::u16string_view component, std::u16string* name, std::u16string* stream);
// `path` with any stream part of its final component cut off.
std::u16string WithoutStream(std::u16string_view path);
bool DirectoryIsEmpty(const std::string& hostDir);
bool HasPrefixPath(std::u16string_view path, std::u16string_view dir);
// The volume-relative path a file object was opened with, normalised to
// single separators and a leading backslash.
std::u16string SpelledPath(std::u16string_view path);
Volume* VolumeOfDeviceLocked(const DEVICE_OBJECT* device);
NTSTATUS ResolveNtPathLocked(std::u16string_view ntPath, Volume** volume, std::u16string* rest);
NTSTATUS CreatePathOfLocked(const FileObjectBody* body, std::u16string* path);

// Named data streams (sim/fs/streams.cpp): kept in memory, per volume and
// file id, so they follow the file through renames and hard links; each is
// an anonymous memory file. `stream` is ":name" (any case). Every call takes
// the store's own lock, the innermost of all (it may be taken under gLock).
// The store's name of an existing stream, with its on-disk case.
bool FindStream(const Volume* volume, uint64_t fileId, std::u16string_view stream, std::u16string* onDisk);
// A descriptor of its own for the stream's data (the caller closes it), making
// the stream when `create`; -1 when absent (or the memory file cannot be made).
int OpenStream(const Volume* volume, uint64_t fileId, std::u16string_view stream, bool create);
void DeleteStream(const Volume* volume, uint64_t fileId, std::u16string_view stream);
// Renames an existing stream; an existing `to` of another name is replaced.
void RenameStream(const Volume* volume, uint64_t fileId, std::u16string_view from, std::u16string_view to);
// Under gLock: the file's last name is gone, so are its streams. Open stream
// Fcbs leave the table (their data lives on until they close).
void ForgetStreamsLocked(const Volume* volume, uint64_t fileId);

// File ids (sim/fs/records.cpp). Before the volume is published: numbers the
// files already in its host folder, in the order of a walk sorted by name.
void NumberExistingFiles(Volume* volume);
// Under gLock: the id of the host file `inode`, numbering it if the file
// system has not met it yet.
uint64_t FileIdOfLocked(Volume* volume, uint64_t inode);
// Under gLock: the file's last name is gone: its streams go, and its record
// is free for the next new file (with the next sequence number).
void ForgetFileLocked(Volume* volume, uint64_t inode);

// IRP_MJ_CREATE (sim/fs/create.cpp). Called without gLock.
NTSTATUS Create(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition, ULONG options,
                ULONG_PTR* information);
void RemoveShareAccess(Fcb* fcb, FileObjectBody* body);  // under gLock
// The same for a path the file system chose itself (the parent directory of
// a target-directory open), after the parameter checks. The caller holds a
// name at or below `path`, not gLock.
NTSTATUS CreateAtPath(FileObjectBody* body, std::u16string_view path, ACCESS_MASK desired, ULONG share,
                      ULONG disposition, ULONG options, ULONG_PTR* information);

// Opens the I/O manager makes for itself (sim/fs/opens.cpp): the parent of a
// rename or link target (SL_OPEN_TARGET_DIRECTORY), and where such a request
// points once the target's directory is open.
// A create operation flag the file system does not carry out stops the run.
void CheckCreateFlags(UCHAR flags);
// Called without gLock.
NTSTATUS OpenTargetDirectory(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition,
                             ULONG options, ULONG_PTR* information);
NTSTATUS RenameTargetLocked(const Fcb* fcb, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory, std::u16string_view name,
                            std::u16string* target);

// Under gLock: the file's name is gone (a delete, or a rename or link that
// replaced it); the host name is removed by the caller after (sim/fs/volume.cpp).
void ForgetNameLocked(Fcb* fcb);

// Reads, writes, queries and device control (sim/fs/rw.cpp). Only the device
// control is called with gLock held.
NTSTATUS ReadWrite(PFLT_CALLBACK_DATA data, bool write, ULONG_PTR* information);
NTSTATUS QueryInformation(PFLT_CALLBACK_DATA data, ULONG_PTR* information);
NTSTATUS DeviceControlLocked(PFLT_CALLBACK_DATA data, ULONG_PTR* information);

// The disk (sim/fs/disk.cpp), under its own lock, taken last (inside gLock
// for a device control). DiskControl carries out a pass-through or
// partition-table request whose record was checked already; DiskTransfer a
// read or write on a volume handle, whose alignment was checked.
NTSTATUS DiskControl(const Volume* volume, ULONG code, uint8_t* systemBuffer, ULONG inputLength, ULONG outputLength);
NTSTATUS DiskTransfer(const Volume* volume, bool write, uint64_t offset, void* buffer, ULONG length);
bool VolumeWritesOutsideBootSector();

// IRP_MJ_SET_INFORMATION (sim/fs/setinfo.cpp). Called without gLock.
NTSTATUS SetInformation(PFLT_CALLBACK_DATA data);
NTSTATUS TargetPathLocked(const Fcb* fcb, HANDLE rootDirectory, std::u16string_view name, std::u16string* target);

}  // namespace sim::fs
