// The simulated file system: volumes backed by host folders, and the Windows
// semantics the driver depends on kept in the file system's own open-file
// table (create dispositions, share access, delete-on-close and delete
// dispositions, rename, internal file ids, end-of-file reads, pass-through
// device controls on a volume). Requests reach it through the Filter Manager
// model (sim/flt/io.h), which calls FileSystemDispatch below the
// filters. Host code only.
#pragma once

#include "sim/ke/core.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct _EPROCESS;

namespace sim::fs {

struct Fcb;

// A mounted volume: \Device\HarddiskVolumeN over a host folder, with an
// optional drive letter \??\X: linked to the device.
// The volume's file table as the file system numbers it (sim/fs/records.cpp):
// each host file (by inode) has a record and the record's current sequence.
struct FileRecords {
    std::unordered_map<uint64_t, uint64_t> byInode;  // host inode -> file id
    std::unordered_map<uint64_t, uint16_t> sequence; // record -> sequence last handed out
    std::set<uint64_t> freed;                         // records free for reuse
    uint64_t next = 0;                                // the first record never used
};

struct Volume {
    ULONG number = 0;
    std::u16string deviceName;  // \Device\HarddiskVolumeN
    std::string hostRoot;       // host folder, no trailing slash
    char16_t driveLetter = 0;   // 0 when none
    DEVICE_OBJECT device{};
    FileRecords records;        // under gLock once mounted
};

// Mounts `hostFolder` (created if missing) as the next \Device\HarddiskVolumeN
// and links \??\<driveLetter>: to it (letter 0: no link). Started filters get
// an instance on the new volume. Returns the device name.
std::u16string MountVolume(const std::string& hostFolder, char16_t driveLetter);
std::vector<Volume*> Volumes();
Volume* VolumeOfDevice(const DEVICE_OBJECT* device);

// What the file system and the Filter Manager keep per file object. The
// FILE_OBJECT the driver sees is `fo`; FsContext is the Fcb once open.
struct FileObjectBody {
    FILE_OBJECT fo{};
    Volume* volume = nullptr;
    std::u16string fileName;    // storage behind fo.FileName (volume-relative, or relative to RelatedFileObject)
    std::u16string openedPath;  // volume-relative path as the caller spelled it, kept current across renames
    bool volumeOpen = false;    // \\.\C: opens the volume itself
    bool opened = false;        // the create succeeded
    bool cleanedUp = false;
    bool ignoreShareAccess = false;  // IO_IGNORE_SHARE_ACCESS_CHECK
    bool shareRecorded = false;
    bool caseSensitive = false;
    ACCESS_MASK grantedAccess = 0;
    ULONG shareAccess = 0;
    ULONG createOptions = 0;
    bool posixDelete = false;   // FILE_DISPOSITION_POSIX_SEMANTICS on this handle
    // Opened with SL_OPEN_TARGET_DIRECTORY: the parent directory of a rename or
    // link target is open, and fileName holds the target's final component.
    bool targetDirectory = false;
    bool pagingFile = false;    // opened with SL_OPEN_PAGING_FILE
    // Handles open on this file object: a duplicated or inherited handle
    // shares it, and cleanup goes down when the last of them closes.
    std::atomic<ULONG> handles{0};
};

// File objects: created for a create request, registered with the object
// manager with one reference; when the last reference goes the close runs
// (IRP_MJ_CLOSE through the filters, then the body is freed).
FileObjectBody* NewFileObject(Volume* volume, std::u16string_view fileName, PFILE_OBJECT related);
FileObjectBody* BodyOf(const FILE_OBJECT* fileObject);  // null when not a live file object
// Frees a file object whose create failed (no cleanup or close is sent for it).
void DiscardFileObject(FileObjectBody* body);
// A handle to the file object was made, or closed: DropFileHandle is true for
// the last one, whose close sends the cleanup.
void AddFileHandle(FileObjectBody* body);
bool DropFileHandle(FileObjectBody* body);

// Whether a cached write on a synchronous handle goes to the filters as fast
// I/O (FLTFL_CALLBACK_DATA_FAST_IO_OPERATION, no IRP) rather than as an IRP.
// On the platform the file system decides per write (the cache must be set
// up, no byte-range locks...); the model makes it a setting, off after a reset.
// A filter's FLT_PREOP_DISALLOW_FASTIO sends the write again as an IRP.
void SetCachedWritesUseFastIo(bool fastIo);
bool CachedWritesUseFastIo();

// The file system below the filters: carries out the request in `data`
// (parameters as the filters left them) and sets data->IoStatus.
void FileSystemDispatch(PFLT_CALLBACK_DATA data);

// Every byte of an open file, read below the filters (what the memory manager
// fills a new view with). STATUS_FILE_CLOSED when the file object is not open.
NTSTATUS ReadWholeFile(const FILE_OBJECT* fileObject, std::vector<uint8_t>* bytes);

// The name of an open file (on-disk case of every component), volume-relative
// ("\dir\file.txt", "\" for the root). False if the file object is not open.
bool CurrentPath(const FILE_OBJECT* fileObject, std::u16string* path);

// Whether an open file object is a directory's.
bool IsDirectoryFile(const FILE_OBJECT* fileObject);

// Resolves a volume-relative path as the file system would for an open of the
// final component: the on-disk case of each existing component, the caller's
// spelling of a missing final one. STATUS_OBJECT_PATH_NOT_FOUND if a parent is
// missing, STATUS_OBJECT_NAME_INVALID for a bad name.
NTSTATUS NormalizePath(Volume* volume, std::u16string_view path, std::u16string* normalized, bool* exists);

// The path a create request names, volume-relative: the file object's name,
// joined to its related file object's path when it has one.
NTSTATUS CreatePathOf(const FileObjectBody* body, std::u16string* path);

// Where a rename of the open file to `name` (relative to `rootDirectory`, a
// handle of the current process, when given) points, volume-relative.
NTSTATUS DestinationPath(const FILE_OBJECT* fileObject, HANDLE rootDirectory, std::u16string_view name,
                         std::u16string* path);

// The most characters a UNICODE_STRING holds (its 16-bit length counts bytes).
inline constexpr size_t kMaxNameCharacters = 0x7FFF;

// Splits an absolute NT path ("\??\C:\a\b", "\Device\HarddiskVolume1\a\b",
// "\DosDevices\C:\...") into a volume and the volume-relative rest.
NTSTATUS ResolveNtPath(std::u16string_view ntPath, Volume** volume, std::u16string* rest);
// The same for user-mode paths: "C:\a\b", "\\?\C:\a", "\\.\C:" (volume open:
// rest is empty and *volumeOpen true), or an NT path.
// STATUS_NAME_TOO_LONG when the native form of the path has more than
// kMaxNameCharacters characters.
NTSTATUS ResolveUserPath(std::u16string_view path, Volume** volume, std::u16string* rest, bool* volumeOpen);

// Pass-through requests the volume received (the model's disk records every
// request it accepted, whatever it did with it).
struct PassThroughRecord {
    ULONG ioControlCode = 0;
    std::vector<uint8_t> input;
};
std::vector<PassThroughRecord> PassThroughLog();

// Partition-table requests a program may send to a volume handle.
#define IOCTL_DISK_SET_DRIVE_LAYOUT_EX CTL_CODE(FILE_DEVICE_DISK, 0x0015, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_CREATE_DISK CTL_CODE(FILE_DEVICE_DISK, 0x0016, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_DISK_DELETE_DRIVE_LAYOUT CTL_CODE(FILE_DEVICE_DISK, 0x0040, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
static_assert(IOCTL_DISK_SET_DRIVE_LAYOUT_EX == 0x7C054, "IOCTL_DISK_SET_DRIVE_LAYOUT_EX");
static_assert(IOCTL_DISK_CREATE_DISK == 0x7C058, "IOCTL_DISK_CREATE_DISK");
static_assert(IOCTL_DISK_DELETE_DRIVE_LAYOUT == 0x7C100, "IOCTL_DISK_DELETE_DRIVE_LAYOUT");

// The disk behind each volume (sim/fs/disk.cpp): 512-byte sectors, as raw
// requests see them (pass-through commands, partition-table requests, reads
// and writes on a volume handle). A sector nobody wrote holds the volume's
// initial pattern, never all zeros, so a wipe with zeros is a visible change.
// The file system's files are not laid out on it: the two views of a volume
// are kept apart.
inline constexpr ULONG kSectorSize = 512;
inline constexpr uint64_t kDiskSectors = uint64_t{1} << 27;  // 64 GiB
inline constexpr ULONG kMaxTransferLength = 1024 * 1024;     // the adapter's largest transfer
// The byte a sector nobody wrote holds at `offset`.
uint8_t InitialSectorByte(ULONG volumeNumber, uint64_t lba, size_t offset);
// `count` sectors from `lba` of the disk behind the volume with that drive
// letter, as they read now. Empty when there is no such volume or the range
// runs past the disk.
std::vector<uint8_t> ReadDiskSectors(char16_t driveLetter, uint64_t lba, uint32_t count);
// Whether a write on a volume handle may touch sectors other than the boot
// sector (0) while the file system is mounted. Windows refuses such writes
// unless the volume is locked or dismounted, which the model does not carry
// out; off after a reset.
void SetVolumeWritesOutsideBootSector(bool allowed);

// Fault injection per operation.
// OplockBreak: a matching create with FILE_COMPLETE_IF_OPLOCKED opens the file
// and returns STATUS_OPLOCK_BREAK_IN_PROGRESS (a success: the caller holds a
// handle); the fault's status is not used.
enum class FaultOp { Create, Read, Write, QueryInformation, SetInformation, NameQueryNormalized, NameQueryOpened, OplockBreak };
struct Fault {
    FaultOp op = FaultOp::Create;
    std::u16string path{};  // user or device form; empty: any file
    int nth = 1;            // the nth matching operation from now fails...
    int count = 1;          // ...and so do the count-1 after it
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    int64_t minOffset = -1; // reads and writes: only those that start at or beyond this offset match
    // Runs when the fault fires, before the operation goes on (with status
    // STATUS_SUCCESS the operation is not failed): a way to change the disk
    // at an exact moment, as another program racing the operation would.
    // It runs with no lock of the file system's tables or of the fault list
    // held, so it may block, or make requests of its own, without stalling
    // work on other files; a create keeps its name held meanwhile, and a
    // read or write its file's I/O lock.
    std::function<void()> action{};
};
void InjectFault(const Fault& fault);
// How many fault actions have run since boot.
uint64_t FaultActionsRun();
// How many times an operation has waited for another's hold on a name it
// needs (a create, rename, delete... of the same name or of a directory above
// it) since boot: work on different files never waits.
uint64_t NameHoldWaits();
void ClearFaults();
// Called by the operation: the status to fail with, or STATUS_SUCCESS.
// `actionRan`, when given, tells whether a fault's action ran.
NTSTATUS TakeFault(FaultOp op, const Volume* volume, std::u16string_view path, int64_t offset = -1,
                   bool* actionRan = nullptr);

// GENERIC_READ/WRITE/EXECUTE/ALL mapped through the file object type's
// generic mapping, as the I/O manager does before a create reaches the
// filters. MAXIMUM_ALLOWED passes unmapped (the file system expands it).
ACCESS_MASK MapGenericFileAccess(ACCESS_MASK desired);

// UTF-16 <-> UTF-8 for host names.
std::string ToHost(std::u16string_view s);
std::u16string FromHost(std::string_view s);

}  // namespace sim::fs
