// The driver's single global state record and the gates every monitor asks
// before it reports anything.
#pragma once

#include "platform/kernel.h"
#include "driver/id_list.h"
#include "driver/counted_string.h"

struct DRIVER_DATA {
    PFLT_FILTER Filter;
    PFLT_PORT ServerPort;
    PFLT_PORT ClientPort;
    PVOID ConnectionContext;
    ULONG ConnectionContextSize;
    ULONG_PTR ConnectionCookie;
    PEPROCESS ClientProcess;
    HANDLE ClientProcessId;
    UCHAR FileMonEnabled;
    UCHAR ProcMonEnabled;
    UCHAR Switch2;
    UCHAR RegMonEnabled;
    PCOUNTED_STRING BackupDir;
    LockedIdList ProcessList;
    LockedIdList FileIdList;
    FAST_MUTEX Lock;
    LARGE_INTEGER RegistryCookie;
    PDEVICE_OBJECT ControlDevice;
    PVOID GetKeyObjectID;
    PVOID GetKeyObjectIDEx;
    PVOID ReleaseKeyObjectIDEx;
    // Deferred process events queued and not yet sent: teardown waits for
    // them before the port and the filter go (ProcMonStop).
    EX_RUNDOWN_REF DeferredEvents;
    // The largest file copied before a change (CMD_SET_BACKUP_LIMIT); 0 copies
    // nothing. Written and read under Lock, with BackupDir.
    ULONG64 BackupLimit;
};

extern DRIVER_DATA DriverData;
extern POOL_TYPE DriverPoolType;
// Before system version 6.2 a registry set-value notification carries the
// calling program's own data buffer, not a kernel copy: the message builder
// then reads it only through the guarded copy. Chosen at start-up.
extern BOOLEAN DriverSetValueDataIsCallerBuffer;

// Life cycle: the entry point, the driver object's unload routine, and the
// look-up of kernel routines that older systems lack (none when not exported).
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
PVOID DriverResolveRoutine(PCWSTR RoutineName);
// Removes the registry callback if it is registered, waiting for the calls in
// flight; called before the port and the filter go, and again (a no-op) at unload.
VOID DriverRemoveRegistryCallback();

VOID DriverDataInit(DRIVER_DATA* Data);
VOID DriverDataFree(DRIVER_DATA* Data);
VOID DriverDataLock();
VOID DriverDataUnlock();

// The recorded client port. The Filter Manager clears the variable through its
// address when the port is closed, outside Lock, so it is read and written only
// with these two, never as a plain field.
inline PFLT_PORT DriverClientPort() {
    return static_cast<PFLT_PORT>(ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&DriverData.ClientPort)));
}

inline VOID DriverSetClientPort(PFLT_PORT Port) {
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&DriverData.ClientPort), Port);
}

// Gates. The Is* tests expect the caller to hold Lock.
BOOLEAN IsClientProcess(PEPROCESS Process);
BOOLEAN IsClientProcessId(HANDLE ProcessId);
BOOLEAN FilterIsWatchedRequest(PETHREAD Thread, PFILE_OBJECT FileObject);
BOOLEAN ProcMonIsWanted(HANDLE ProcessId);
BOOLEAN RegMonIsWanted(HANDLE ProcessId);
