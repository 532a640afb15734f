// Object manager of the simulated kernel: the object namespace (directories,
// symbolic links, devices, ports and whatever other areas insert), per-process
// handle tables plus the kernel handle table, and reference counts on the
// objects that drivers reference by pointer (processes, threads, devices,
// file objects...). Host code only.
//
// Names are case-insensitive, as with OBJ_CASE_INSENSITIVE on Windows (the
// only way drivers and Win32 open these objects). The namespace at boot:
//   \            root directory
//   \Device      directory
//   \GLOBAL??    directory of DOS device names
//   \??          the same directory as \GLOBAL?? (there are no logon sessions
//                here, so every caller's DOS-devices directory is the global one)
//   \DosDevices  symbolic link to \??
//   \KernelObjects, \Driver, \FileSystem, \BaseNamedObjects  directories
#pragma once

#include "sim/ke/core.h"

#include <string>
#include <string_view>
#include <vector>

struct _EPROCESS;

namespace sim::ob {

enum class ObjectType {
    Directory,
    SymbolicLink,
    Device,
    Driver,
    File,
    Port,        // Filter Manager server port
    ClientPort,  // Filter Manager client-side connection
    Process,
    Thread,
    Key,
    Other,
};
const char* TypeName(ObjectType type);

// ---------------------------------------------------------------------------
// Namespace. Paths are absolute NT paths ("\Device\Vetrona"). Links met on the
// way are followed; more than 32 links in one parse (a loop) gives
// STATUS_OBJECT_NAME_INVALID.

// Inserts `body` under `path`. The parent directory must exist
// (STATUS_OBJECT_PATH_NOT_FOUND); a taken name gives STATUS_OBJECT_NAME_COLLISION;
// an empty or relative path STATUS_OBJECT_PATH_SYNTAX_BAD. The parent part of the
// path may go through links ("\??\X" lands in \GLOBAL??).
NTSTATUS InsertObject(std::u16string_view path, ObjectType type, void* body);

// Removes the name `path` (the final component is not followed if it is a
// link). STATUS_OBJECT_NAME_NOT_FOUND / STATUS_OBJECT_PATH_NOT_FOUND.
// When `expectedBody` is given the entry must name that object (else
// STATUS_OBJECT_NAME_NOT_FOUND), so an area cannot remove another's object.
NTSTATUS RemoveObject(std::u16string_view path, const void* expectedBody = nullptr);

struct LookupResult {
    ObjectType type = ObjectType::Other;
    void* body = nullptr;
    // What is left of the path below a non-directory object: "\x\y" when
    // "\Device\Vetrona\x\y" was parsed; empty when the path named the object.
    std::u16string remainder;
    // The object's own full name after links were followed ("\Device\Vetrona").
    std::u16string objectPath;
};

// Parses `path` the way the object manager does: walks directories, follows
// symbolic links (also a final one), stops at the first object that is not a
// directory and hands back the rest of the path. A missing final component
// gives STATUS_OBJECT_NAME_NOT_FOUND, a missing intermediate one
// STATUS_OBJECT_PATH_NOT_FOUND.
NTSTATUS ParseName(std::u16string_view path, LookupResult* result);

// Looks up the object that `path` names exactly (links followed). A path that
// goes on below a non-directory object gives STATUS_OBJECT_PATH_NOT_FOUND.
// With an `expectedType` other than Other, another type gives
// STATUS_OBJECT_TYPE_MISMATCH.
NTSTATUS LookupObject(std::u16string_view path, ObjectType expectedType, void** body);

// Directories and links.
//
// Faults: the nth ZwQuerySymbolicLinkObject from now fails with `status`
// (the string and the returned length untouched), so a test can fail the
// second of a size query and a read. sim::InjectFailure by the routine's name
// fails the next one; ZwOpenSymbolicLinkObject honours it too.
void InjectLinkQueryFailure(int nth, NTSTATUS status);
NTSTATUS TakeLinkQueryFault();
NTSTATUS CreateDirectory(std::u16string_view path);
// Creates a symbolic-link object at `linkPath` pointing at `target` (any
// absolute path; not checked for existence, as on Windows).
NTSTATUS CreateSymbolicLink(std::u16string_view linkPath, std::u16string_view target);
// Deletes the link object itself (STATUS_OBJECT_NAME_NOT_FOUND if absent,
// STATUS_OBJECT_TYPE_MISMATCH if the name is not a link).
NTSTATUS DeleteSymbolicLink(std::u16string_view linkPath);
// The target of the link named by `linkPath` (the final link is not followed).
NTSTATUS QuerySymbolicLink(std::u16string_view linkPath, std::u16string* target);

// Names in a directory (as inserted, original case), sorted case-insensitively.
std::vector<std::u16string> ListDirectory(std::u16string_view path);
// Every name in the namespace below `path` that refers to an object of `type`.
std::vector<std::u16string> FindObjects(ObjectType type);

// Case-insensitive comparison as the object manager makes it.
bool NamesEqual(std::u16string_view a, std::u16string_view b);
std::u16string Upcase(std::u16string_view s);

// ---------------------------------------------------------------------------
// Handles. Values are multiples of 4, never 0. User handles are per process
// (small positive values); kernel handles (OBJ_KERNEL_HANDLE) live in the
// System process's table and have the sign bit set, as on x64 Windows, and are
// valid in any process context.

// What closing a handle (or a device control through it) does for an object.
// Areas that hand out handles to their objects pass a static instance; the one
// sim::user::CloseHandle (sim/user/device.h) and ZwClose then run `close`, so
// no area needs a CloseHandle of its own.
struct HandleProcedures {
    const char* name;
    // Runs after the handle has left its table, in the closing thread, outside
    // the object manager's lock. `process` is the table's owner (the System
    // process for kernel handles). May be null: nothing to do.
    void (*close)(_EPROCESS* process, void* object, ACCESS_MASK grantedAccess);
    // A user-mode device control through the handle (sim::user::DeviceIoControl).
    // Null: the I/O manager's own path is used for ObjectType::File handles and
    // other types are refused with STATUS_OBJECT_TYPE_MISMATCH.
    NTSTATUS (*deviceControl)(_EPROCESS* process, void* object, ACCESS_MASK grantedAccess, ULONG code,
                              const void* input, ULONG inputLength, void* output, ULONG outputLength, ULONG* returned);
};

struct HandleEntry {
    ObjectType type = ObjectType::Other;
    void* object = nullptr;
    ACCESS_MASK grantedAccess = 0;
    const HandleProcedures* procedures = nullptr;
    bool inheritable = false;  // OBJ_INHERIT: a child started with inheritance gets it
};

// Creates a handle in `process`'s table (null or kernel = true: the kernel table).
NTSTATUS CreateHandle(_EPROCESS* process, bool kernelHandle, ObjectType type, void* object, ACCESS_MASK grantedAccess,
                      const HandleProcedures* procedures, HANDLE* handle);
// Finds a handle: kernel handles in any context, user handles in `process`'s
// table. STATUS_INVALID_HANDLE when absent; with a type other than Other the
// entry must have that type (STATUS_OBJECT_TYPE_MISMATCH).
NTSTATUS LookupHandle(_EPROCESS* process, HANDLE handle, ObjectType expectedType, HandleEntry* entry);
// Removes the handle and runs its close procedure. STATUS_INVALID_HANDLE when absent.
NTSTATUS CloseHandle(_EPROCESS* process, HANDLE handle);
// Closes every handle of a process (process exit), newest first.
void CloseAllHandles(_EPROCESS* process);
size_t HandleCount(_EPROCESS* process, bool kernelHandles = false);
// Marks a user handle inheritable or not (SetHandleInformation with
// HANDLE_FLAG_INHERIT). STATUS_INVALID_HANDLE when absent.
NTSTATUS SetInheritable(_EPROCESS* process, HANDLE handle, bool inheritable);
// The process's inheritable user handles, lowest value first.
std::vector<std::pair<HANDLE, HandleEntry>> InheritableHandles(_EPROCESS* process);
// Enters `entry` in `process`'s user table under the given value, as process
// creation does for an inherited handle (the caller has taken the object's
// reference). STATUS_INVALID_HANDLE when the value is taken or is not a user
// handle value.
NTSTATUS CreateHandleAt(_EPROCESS* process, HANDLE handle, const HandleEntry& entry);
bool IsKernelHandle(HANDLE handle);

// ---------------------------------------------------------------------------
// Reference counts for objects that drivers pass to ObfReferenceObject /
// ObfDereferenceObject. An area registers an object with one reference (its
// own); when the count reaches 0 the object's delete procedure runs (outside
// the lock). Referencing an unregistered pointer, or dropping a reference that
// is not there, stops the run (REFERENCE_BY_POINTER, 0x18).
constexpr ULONG kBugReferenceByPointer = 0x18;
using DeleteProcedure = void (*)(void* object);
void RegisterObject(void* object, ObjectType type, DeleteProcedure deleteProcedure);
bool IsRegisteredObject(const void* object);
ObjectType TypeOfObject(const void* object);  // bugcheck if unregistered
void ReferenceObject(void* object);
// Takes a reference only while the object still has one (false once its last
// reference is gone and its deletion is under way).
bool TryReferenceObject(void* object);
void DereferenceObject(void* object);
LONG_PTR ReferenceCount(const void* object);  // 0 if unregistered
// Forgets an object without running its delete procedure (the owning area
// tears it down itself, for example at kernel reset).
void UnregisterObject(void* object);

// References driver code holds: taken through ObfReferenceObject,
// ObReferenceObjectByHandle or PsLookupProcessByProcessId, dropped through
// ObfDereferenceObject. One still held when a driver unloads is reported with
// its leftovers; a reset forgets them.
void NoteCallerReference(int delta);
int64_t CallerReferences();

// Kernel code that names a handle where only a kernel handle is right (its
// own handles, valid in every process context): a user handle stops the run
// with DRIVER_VERIFIER_DETECTED_VIOLATION (0xF6, a user-mode handle referenced
// as kernel mode).
void RequireKernelHandle(HANDLE handle, const char* routine);

// The type an object-type pointer (*PsProcessType...) stands for; Other for null.
ObjectType TypeFromObjectType(POBJECT_TYPE objectType);

// Back to the namespace of a freshly booted machine, no handles, no objects.
void ResetOb();

}  // namespace sim::ob
