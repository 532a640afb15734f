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

// The switch bytes and the client's process are read by the gates without
// Lock, so every access is one atomic load or store: the switches are written
// under Lock by the port's set commands and start-up, the client's identity by
// the connect and disconnect notifications (before the port on connect, after
// it on disconnect).
inline UCHAR DriverSwitch(const UCHAR* Switch) {
    return ReadUCharAcquire(Switch);
}

inline VOID DriverSetSwitch(UCHAR* Switch, UCHAR Value) {
    WriteUCharRelease(Switch, Value);
}

inline PEPROCESS DriverClientProcess() {
    return static_cast<PEPROCESS>(ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&DriverData.ClientProcess)));
}

inline HANDLE DriverClientProcessId() {
    return static_cast<HANDLE>(ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&DriverData.ClientProcessId)));
}

inline VOID DriverSetClientProcess(PEPROCESS Process, HANDLE ProcessId) {
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&DriverData.ClientProcess), Process);
    WritePointerRelease(reinterpret_cast<PVOID volatile*>(&DriverData.ClientProcessId), ProcessId);
}

// Gates. None takes Lock or any other exclusive lock: each reads its switch
// and the client's identity atomically, and the process-list membership tests
// behind them take the list's lock shared.
// They are inline: on the host a call into the driver's own code from a
// callback makes the callback save the registers the Windows convention
// preserves, which is most of what an unwatched request costs, and an open of
// a program with monitoring off should read one byte and return. A client
// seen in the middle of connecting or disconnecting is the client or no
// client: a requester that is the client is at worst reported once, as
// before the connection.
inline BOOLEAN IsClientProcess(PEPROCESS Process) {
    return (DriverClientPort() != nullptr && Process == DriverClientProcess()) ? TRUE : FALSE;
}

inline BOOLEAN IsClientProcessId(HANDLE ProcessId) {
    return (DriverClientPort() != nullptr && ProcessId == DriverClientProcessId()) ? TRUE : FALSE;
}

// The requester's process is looked up only once file monitoring is on.
inline BOOLEAN FilterIsWatchedRequest(PETHREAD Thread, PFILE_OBJECT FileObject) {
    return (DriverSwitch(&DriverData.FileMonEnabled) != 0 && FileObject != nullptr && !IsClientProcess(IoThreadToProcess(Thread)))
               ? TRUE
               : FALSE;
}

inline BOOLEAN ProcMonIsWanted(HANDLE ProcessId) {
    return (DriverSwitch(&DriverData.ProcMonEnabled) != 0 && !IsClientProcessId(ProcessId)) ? TRUE : FALSE;
}

inline BOOLEAN RegMonIsWanted(HANDLE ProcessId) {
    return (DriverSwitch(&DriverData.RegMonEnabled) != 0 && !IsClientProcessId(ProcessId)) ? TRUE : FALSE;
}
