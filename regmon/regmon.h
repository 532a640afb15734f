// The registry monitor's configuration-manager callback: it reports the key and
// value changes of watched processes and applies the client's verdict.
#pragma once

#include "platform/kernel.h"
#include "channel/message.h"

// Registry operation codes carried in a RegistryEvent; -1 is "nothing to report".
constexpr LONG RegOpNone = -1;

// The routine registered with the configuration manager.
NTSTATUS NTAPI RegMonCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);

// Fills *Info from one notification: clears it, stores the class, sets the
// class's information pointer and obtains the key path (owned by *Info, tag
// TagRegistryPath; the caller frees it).
VOID RegMonGetKeyInfo(REG_NOTIFY_CLASS NotifyClass, PVOID Argument2, RegEventInfo* Info);

// The registry operation code for a filled record, or RegOpNone.
LONG RegMonClassify(const RegEventInfo* Info);

// The key-name routines as resolved at start-up (DriverData fields).
typedef NTSTATUS(NTAPI* REG_MON_GET_KEY_OBJECT_ID)(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                   PCUNICODE_STRING* ObjectName);
typedef NTSTATUS(NTAPI* REG_MON_GET_KEY_OBJECT_ID_EX)(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                      PCUNICODE_STRING* ObjectName, ULONG Flags);
typedef VOID(NTAPI* REG_MON_RELEASE_KEY_OBJECT_ID_EX)(PCUNICODE_STRING ObjectName);
