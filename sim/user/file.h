// User side of the simulated file system: what tests and vetrona-sim call to act
// as a process working with files, as the Win32/native calls reach the I/O
// manager. Every request runs in a thread of the given process and travels
// through the Filter Manager (pre-operation callbacks, the file system,
// post-operation callbacks). Close a handle with sim::user::CloseHandle
// (sim/user/device.h): cleanup, then close when the last reference goes; a
// device control on a volume handle (\\.\C:) goes through
// sim::user::DeviceIoControl.
#pragma once

#include "sim/fs/fs.h"
#include "sim/user/device.h"

#include <string>
#include <string_view>

struct _EPROCESS;

namespace sim::user {

// NtCreateFile: `path` is "C:\dir\file.txt", "\\?\C:\...", "\\.\C:" (the volume
// itself) or an NT path ("\??\C:\...", "\Device\HarddiskVolume1\..."). The
// handle is recorded with the granted access; `information` receives
// IoStatus.Information (FILE_CREATED, FILE_OPENED...) also on failure.
NTSTATUS CreateFile(_EPROCESS* process, std::u16string_view path, ACCESS_MASK desiredAccess, ULONG shareAccess,
                    ULONG disposition, ULONG createOptions, HANDLE* handle, ULONG_PTR* information = nullptr);

// Offset of the handle's current position (synchronous handles only).
inline constexpr int64_t kCurrentPosition = -2;
// Offset that appends at end of file.
inline constexpr int64_t kEndOfFile = -1;

// NtWriteFile / NtReadFile. The handle needs FILE_WRITE_DATA or
// FILE_APPEND_DATA / FILE_READ_DATA. A read at or past end of file fails with
// STATUS_END_OF_FILE.
NTSTATUS WriteFile(_EPROCESS* process, HANDLE handle, int64_t offset, const void* data, ULONG length, ULONG* written = nullptr);
NTSTATUS ReadFile(_EPROCESS* process, HANDLE handle, int64_t offset, void* buffer, ULONG length, ULONG* read = nullptr);

// NtSetInformationFile with FileRenameInformation (or FileRenameInformationEx
// when `exClass`, in which case `flags` are FILE_RENAME_* flags and
// replaceIfExists is ignored). `newName` is a simple name, a path relative to
// `rootDirectory`, or a full NT path ("\??\C:\dir\new.txt").
NTSTATUS SetRenameInformation(_EPROCESS* process, HANDLE handle, std::u16string_view newName, bool replaceIfExists,
                              HANDLE rootDirectory = nullptr, bool exClass = false, ULONG flags = 0);

// NtSetInformationFile with FileDispositionInformation (DeleteFile = `del`), or
// with FileDispositionInformationEx when `exClass` (then `flags` are the
// FILE_DISPOSITION_* flags and `del` is ignored).
NTSTATUS SetDisposition(_EPROCESS* process, HANDLE handle, bool del, bool exClass = false, ULONG flags = 0);

// NtSetInformationFile with any class and a raw buffer (malformed records).
NTSTATUS SetInformationFile(_EPROCESS* process, HANDLE handle, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                            ULONG length);

// NtQueryInformationFile, FileInternalInformation: the file's 64-bit id.
NTSTATUS QueryFileId(_EPROCESS* process, HANDLE handle, ULONG64* fileId);
// NtQueryInformationFile, FileStandardInformation: the file's length and
// whether it is a directory (GetFileSizeEx, GetFileAttributesEx).
NTSTATUS QueryStandardInformation(_EPROCESS* process, HANDLE handle, int64_t* endOfFile, bool* directory);

// NtDuplicateObject for a file handle: a new handle in `target` on the same
// file object (the driver's per-handle record is the file object's, so it
// follows the duplicate too). `access` 0 keeps the source handle's access
// (DUPLICATE_SAME_ACCESS); otherwise it must lie within it, as the model keeps
// no security descriptors on files to check a wider one against. Cleanup goes
// down when the last handle on the file object closes.
NTSTATUS DuplicateHandle(_EPROCESS* source, HANDLE handle, _EPROCESS* target, HANDLE* duplicate, ACCESS_MASK access = 0);
// SetHandleInformation(HANDLE_FLAG_INHERIT) on a file handle.
NTSTATUS SetHandleInheritable(_EPROCESS* process, HANDLE handle, bool inheritable);
// What process creation with handle inheritance does: every inheritable file
// handle of `parent` appears in `child` under the same value, on the same file
// object. Call it right after starting the child, before it opens anything.
NTSTATUS InheritHandles(_EPROCESS* parent, _EPROCESS* child);

// A read-write view of a file mapped into `process` (a section made from the
// handle's file object, then MapViewOfFile): `data` is the view's memory,
// `size` the file's length; the program changes the file by changing it. The
// handle needs read and write data access; an empty file cannot be mapped
// (STATUS_MAPPED_FILE_SIZE_ZERO). The section keeps the file object
// referenced while the view or its dirty pages live, after the handle is
// closed too. The pages come in at once, through paging reads in the
// program's thread (clusters of up to 16 whole pages, an MDL, no buffer); a
// read that fails fails the mapping with its status.
struct MappedView;
NTSTATUS MapViewOfFile(_EPROCESS* process, HANDLE handle, MappedView** view, uint8_t** data, size_t* size);
// FlushViewOfFile: the view's dirty pages written now, in the program's own
// thread, as paging writes (IRP_PAGING_IO, no buffer, an MDL over whole
// pages, the last one too: the file system cuts the write at the end of the
// file). A page whose write fails stays dirty and the first failure is returned.
NTSTATUS FlushViewOfFile(_EPROCESS* process, MappedView* view);
// UnmapViewOfFile: the view goes; its dirty pages wait for the page writer.
NTSTATUS UnmapViewOfFile(_EPROCESS* process, MappedView* view);
// The mapped page writer's pass: every view's dirty pages written from a
// thread of the System process. Returns how many views it wrote.
size_t RunMappedPageWriter();

}  // namespace sim::user
