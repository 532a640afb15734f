// Between the pieces of the simulated file system (sim/fs_*.cpp): the
// open-file table and its lock, path helpers, and each area's entry for
// FileSystemDispatch. Only the file system's own sources include this.
#pragma once

#include "sim/private/fs.h"

#include <map>
#include <memory>
#include <mutex>
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

extern std::mutex gLock;  // volumes, the open-file table, every namespace change
extern std::vector<std::unique_ptr<Volume>> gVolumes;
extern std::map<std::pair<ULONG, uint64_t>, Fcb*> gFcbs;
extern std::unordered_map<const FILE_OBJECT*, FileObjectBody*> gFileObjects;
extern std::vector<PassThroughRecord> gPassThrough;

inline Fcb* FcbOf(const FILE_OBJECT* fo) { return static_cast<Fcb*>(fo->FsContext); }

// Paths (sim/fs_paths.cpp).
std::vector<std::u16string> SplitPath(std::u16string_view path);
std::u16string JoinPath(const std::vector<std::u16string>& parts, size_t count);
std::string HostPathOf(const Volume* volume, std::u16string_view relative);

struct Resolved {
    std::vector<std::u16string> onDisk;  // components of the parent, on-disk case
    std::u16string finalOnDisk;          // final component (caller's spelling when missing)
    bool exists = false;
    bool isRoot = false;
};

// Walks `path` on the volume: every parent must be an existing directory.
NTSTATUS ResolveLocked(const Volume* volume, std::u16string_view path, Resolved* out);
std::u16string FullPath(const Resolved& resolved);
bool DirectoryIsEmpty(const std::string& hostDir);
bool HasPrefixPath(std::u16string_view path, std::u16string_view dir);
// The volume-relative path a file object was opened with, normalised to
// single separators and a leading backslash.
std::u16string SpelledPath(std::u16string_view path);
Volume* VolumeOfDeviceLocked(const DEVICE_OBJECT* device);
NTSTATUS ResolveNtPathLocked(std::u16string_view ntPath, Volume** volume, std::u16string* rest);
NTSTATUS CreatePathOfLocked(const FileObjectBody* body, std::u16string* path);

// IRP_MJ_CREATE (sim/fs_create.cpp).
NTSTATUS CreateLocked(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition, ULONG options,
                      ULONG_PTR* information);
void RemoveShareAccess(Fcb* fcb, FileObjectBody* body);
// The same for a path the file system chose itself (the parent directory of
// a target-directory open), after the parameter checks.
NTSTATUS CreateAtPathLocked(FileObjectBody* body, std::u16string_view path, ACCESS_MASK desired, ULONG share,
                            ULONG disposition, ULONG options, ULONG_PTR* information);

// Opens the I/O manager makes for itself (sim/fs_opens.cpp): the parent of a
// rename or link target (SL_OPEN_TARGET_DIRECTORY), and where such a request
// points once the target's directory is open.
// A create operation flag the file system does not carry out stops the run.
void CheckCreateFlags(UCHAR flags);
NTSTATUS OpenTargetDirectoryLocked(FileObjectBody* body, ACCESS_MASK desired, ULONG share, ULONG disposition,
                                   ULONG options, ULONG_PTR* information);
NTSTATUS RenameTargetLocked(const Fcb* fcb, PFILE_OBJECT parentOfTarget, HANDLE rootDirectory, std::u16string_view name,
                            std::u16string* target);

// Reads, writes, queries and device control (sim/fs_rw.cpp).
NTSTATUS ReadWrite(PFLT_CALLBACK_DATA data, bool write, ULONG_PTR* information);
NTSTATUS QueryInformationLocked(PFLT_CALLBACK_DATA data, ULONG_PTR* information);
NTSTATUS DeviceControlLocked(PFLT_CALLBACK_DATA data, ULONG_PTR* information);

// IRP_MJ_SET_INFORMATION (sim/fs_setinfo.cpp).
NTSTATUS SetInformationLocked(PFLT_CALLBACK_DATA data);
NTSTATUS TargetPathLocked(const Fcb* fcb, HANDLE rootDirectory, std::u16string_view name, std::u16string* target);

// Cleanup and close (sim/fs_volume.cpp).
void DeleteHostName(Fcb* fcb);

}  // namespace sim::fs
