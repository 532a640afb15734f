// Configuration manager of the simulated kernel: the registry (keys and values
// in memory under \REGISTRY\MACHINE and \REGISTRY\USER), key objects and their
// handles, registry callback registrations and the notifications they receive
// around every registry operation. Host code only.
//
// Areas of the configuration manager:
//   sim/cm/cm.cpp           callback registration, notification delivery, the
//                        key-object-id routines
//   sim/cm/registry.cpp  the key tree, key objects, the operations and the
//                        routines a driver calls on keys (ZwQueryValueKey)
//   sim/user/registry.cpp      the user-side calls (sim/user/registry.h)
#pragma once

#include "sim/ke/core.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sim::ob {
struct HandleProcedures;
}
struct _EPROCESS;

namespace sim::cm {

struct CallbackRegistration {
    PEX_CALLBACK_FUNCTION function = nullptr;
    PVOID context = nullptr;
    LARGE_INTEGER cookie{};
    std::u16string altitude;          // decimal string; empty for CmRegisterCallback (after all others)
    PDRIVER_OBJECT driver = nullptr;  // the driver charged with it (leftover checks)
};

// Registered callbacks ordered by altitude, highest first (the order a
// registry operation calls them in).
std::vector<CallbackRegistration> Callbacks();
bool IsRegistered(PEX_CALLBACK_FUNCTION function);
bool IsCookieRegistered(const LARGE_INTEGER& cookie);

// ---------------------------------------------------------------------------
// Notifications. Every registry operation calls the registered callbacks in
// the operation's own thread, highest altitude first, with the notify class as
// Argument1 and the class's record as Argument2.

// Pre-notification: the first callback that returns anything but a success
// status stops the delivery and its status comes back (STATUS_CALLBACK_BYPASS
// included: the caller then skips the operation and reports success). No
// post-notification follows a refused or bypassed pre-notification.
NTSTATUS NotifyPre(REG_NOTIFY_CLASS notifyClass, PVOID information);
// Post-notification: every callback is called. One that returns
// STATUS_CALLBACK_BYPASS replaces the result with post->ReturnStatus (and
// post->Status with it). Another error status is ignored unless
// SetPostErrorsChangeResult(true). Returns the operation's final result.
NTSTATUS NotifyPost(REG_NOTIFY_CLASS notifyClass, PREG_POST_OPERATION_INFORMATION post);

// What an error status (other than STATUS_CALLBACK_BYPASS) returned from a
// post-notification does. Undocumented on Windows: by default it is ignored
// and the caller gets the operation's own result; true makes it the caller's
// result (the operation itself is not undone either way).
void SetPostErrorsChangeResult(bool change);

// Callback removals that are waiting for calls in flight right now.
size_t UnregistrationsWaiting();

// Runs inside CmCallbackGetKeyObjectID(Ex), in the caller's thread, before the
// routine returns: tests park a callback there. Null removes it.
void SetNameLookupHook(std::function<void()> hook);

// Runs inside CmRegisterCallback(Ex), in the registering thread, right after a
// registration succeeded (the callback can be called from then on). Null removes it.
void SetRegistrationHook(std::function<void()> hook);

// Names handed out by CmCallbackGetKeyObjectIDEx and not given back yet.
size_t OutstandingKeyNames();

// ---------------------------------------------------------------------------
// The registry.

// Whether set-value notifications carry a kernel copy of the caller's data
// (system version 6.2 and later) or, before 6.2, the user-mode caller's own
// buffer. The value name is captured on every version.
bool CapturesSetValueData();

// Inspection for tests and tools (paths are full: \REGISTRY\MACHINE\...).
bool KeyExists(std::u16string_view path);
bool QueryValue(std::u16string_view path, std::u16string_view valueName, ULONG* type, std::vector<uint8_t>* data);
std::vector<std::u16string> ValueNames(std::u16string_view path);
// Key objects alive (each open of a key makes one; its handles and references keep it).
size_t LiveKeyObjects();
// A key object's full current name; empty for what is not a live key object.
std::u16string KeyObjectPath(PVOID object);

// The procedures of key handles (close: the handle-close notifications, then
// the handle's reference goes). ObOpenObjectByPointer gives key handles these.
const ob::HandleProcedures* KeyHandleProcedures();

// The operations behind the user-side calls and the driver's routines. Each
// runs in the current thread: pre-notification, the change, post-notification.
// `mode` is the caller's previous mode: UserMode checks the handle's granted
// access and (before 6.2) passes set-value data as the caller's buffer.
// `process` owns the handle table the handles are looked up in (and the new
// handle goes to, unless `kernelHandle`).
NTSTATUS CreateOrOpenKey(_EPROCESS* process, KPROCESSOR_MODE mode, bool kernelHandle, HANDLE root, std::u16string_view name,
                         ACCESS_MASK desiredAccess, bool create, HANDLE* key, ULONG* disposition);
NTSTATUS SetValueKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE key, std::u16string_view valueName, ULONG type,
                     const void* data, ULONG size);
NTSTATUS QueryValueKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE key, std::u16string_view valueName,
                       KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, ULONG length, ULONG* resultLength);
NTSTATUS DeleteValueKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE key, std::u16string_view valueName);
NTSTATUS DeleteKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE key);
NTSTATUS RenameKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE key, std::u16string_view newName);

// Internal: the store behind the routines (sim/cm/registry.cpp).
struct KeyNode;
struct KeyObject;
KeyObject* AsKeyObject(PVOID object);              // null when not a live key object
uintptr_t KeyObjectId(KeyObject* key);             // the same for every object of one key
std::u16string KeyObjectName(KeyObject* key);      // full current name
// The name the older lookup routine gives: taken once per key and kept by the
// system until the key's last object goes (it does not follow renames).
PCUNICODE_STRING KeyObjectLegacyName(KeyObject* key);

// Keys and values the registry holds without any program having made them:
// a key (`keyOnly`), or a value with its type and bytes, by full path.
struct SeedEntry {
    std::u16string key;
    std::u16string name;
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
    bool keyOnly = false;
};
// Every machine's system hives at boot (sim/cm/profile.cpp).
std::vector<SeedEntry> MachineSeed();
// A user's hive as a logon loads it, and the machine's record of the profile.
std::vector<SeedEntry> UserHiveSeed(std::u16string_view sid, std::u16string_view profilePath);

// The hive of a user who logs on: \REGISTRY\USER\<sid> with what a fresh
// profile holds, made without notifications (loading a hive changes no key a
// program opened). Loading a loaded hive again sets the profile's values
// again (the profile path is the one given), keeping everything else.
// The interactive user's (kInteractiveUserSid, profile C:\Users\alice) is
// loaded at boot. STATUS_INVALID_PARAMETER for a malformed SID.
NTSTATUS LoadUserHive(std::u16string_view sid, std::u16string_view profilePath);
// Whether \REGISTRY\USER\<sid> is loaded.
bool UserHiveLoaded(std::u16string_view sid);

// Back to a freshly booted registry with no callbacks.
void ResetCm();
void ResetRegistry();

}  // namespace sim::cm
