// User side of the simulated registry: what tests and vetrona-sim call to act
// as a program working with keys and values, as the native registry calls
// (NtCreateKey, NtSetValueKey...) reach the configuration manager. Every call
// runs in a thread of the given process, with user mode as the previous mode,
// and is reported to the registered registry callbacks around the change.
// Close a key handle with sim::user::CloseHandle (sim/user/device.h).
#pragma once

#include "sim/cm/cm.h"
#include "sim/user/device.h"

#include <string>
#include <string_view>

namespace sim::user {

// NtCreateKey / NtOpenKey. `name` is absolute ("\REGISTRY\MACHINE\SOFTWARE\X")
// with a null `root`, or relative to the key handle `root` ("Vendor\App"). A
// create makes the final component only; `disposition` receives
// REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
NTSTATUS CreateKey(_EPROCESS* process, HANDLE root, std::u16string_view name, ACCESS_MASK desiredAccess, HANDLE* key,
                   ULONG* disposition = nullptr);
NTSTATUS OpenKey(_EPROCESS* process, HANDLE root, std::u16string_view name, ACCESS_MASK desiredAccess, HANDLE* key);

// What HKEY_CURRENT_USER names for a program (RtlFormatCurrentUserKeyPath):
// \REGISTRY\USER\<the SID of the user its token holds>.
std::u16string CurrentUserKeyPath(const _EPROCESS* process);

// NtSetValueKey: an empty name is the key's default value. `data` is the
// caller's buffer (on systems before 6.2 the callbacks see this very buffer).
NTSTATUS SetValueKey(_EPROCESS* process, HANDLE key, std::u16string_view valueName, ULONG type, const void* data,
                     ULONG size);
// NtQueryValueKey (KeyValueBasicInformation or KeyValuePartialInformation).
NTSTATUS QueryValueKey(_EPROCESS* process, HANDLE key, std::u16string_view valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                       void* buffer, ULONG length, ULONG* resultLength);
NTSTATUS DeleteValueKey(_EPROCESS* process, HANDLE key, std::u16string_view valueName);
// NtDeleteKey: the key must have no subkeys; handles to it stay open.
NTSTATUS DeleteKey(_EPROCESS* process, HANDLE key);
// NtRenameKey: `newName` is the new final component.
NTSTATUS RenameKey(_EPROCESS* process, HANDLE key, std::u16string_view newName);

}  // namespace sim::user
