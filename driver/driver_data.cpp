// The driver's global state record, its lock and the gates that every monitor
// asks before it reports anything.
#include "driver/driver_data.h"

#include "driver/tags.h"

// Constant-initialised: no constructor runs for either global.
DRIVER_DATA DriverData = {};
POOL_TYPE DriverPoolType = NonPagedPool;
BOOLEAN DriverSetValueDataIsCallerBuffer = TRUE;

VOID DriverDataInit(DRIVER_DATA* Data) {
    Data->Filter = nullptr;
    Data->ServerPort = nullptr;
    Data->FileMonEnabled = 0;
    Data->ProcMonEnabled = 0;
    Data->Switch2 = 0;
    Data->RegMonEnabled = 0;
    Data->BackupDir = nullptr;
    Data->BackupLimit = 0;
    Data->RegistryCookie.QuadPart = 0;
    Data->ControlDevice = nullptr;
    Data->GetKeyObjectID = nullptr;
    Data->GetKeyObjectIDEx = nullptr;
    Data->ReleaseKeyObjectIDEx = nullptr;

    IdListInit(&Data->ProcessList);
    IdListInit(&Data->FileIdList);

    ExInitializeFastMutex(&Data->Lock);
    ExInitializeRundownProtection(&Data->DeferredEvents);

    Data->ClientPort = nullptr;
    Data->ConnectionContext = nullptr;
    Data->ConnectionCookie = 0;
    Data->ClientProcess = nullptr;
    Data->ClientProcessId = nullptr;
    Data->ConnectionContextSize = 0;
}

// Releases what the record owns. Lock is held across both list clears: the
// one place where two of the driver's locks nest (Lock outside, list inside).
VOID DriverDataFree(DRIVER_DATA* Data) {
    ExAcquireFastMutex(&Data->Lock);
    if (Data->BackupDir != nullptr) {
        StrFree(Data->BackupDir, TagString);
        Data->BackupDir = nullptr;
    }
    IdListClearPids(&Data->ProcessList);
    IdListClearFileIds(&Data->FileIdList);
    ExReleaseFastMutex(&Data->Lock);
}

VOID DriverDataLock() {
    ExAcquireFastMutex(&DriverData.Lock);
}

VOID DriverDataUnlock() {
    ExReleaseFastMutex(&DriverData.Lock);
}

BOOLEAN IsClientProcess(PEPROCESS Process) {
    return DriverClientPort() != nullptr && Process == DriverData.ClientProcess;
}

BOOLEAN IsClientProcessId(HANDLE ProcessId) {
    return DriverClientPort() != nullptr && ProcessId == DriverData.ClientProcessId;
}

BOOLEAN FilterIsWatchedRequest(PETHREAD Thread, PFILE_OBJECT FileObject) {
    BOOLEAN watched = FALSE;
    DriverDataLock();
    // The requester's process is looked up only once file monitoring is on.
    if (DriverData.FileMonEnabled != 0 && !IsClientProcess(IoThreadToProcess(Thread)) && FileObject != nullptr) {
        watched = TRUE;
    }
    DriverDataUnlock();
    return watched;
}

BOOLEAN ProcMonIsWanted(HANDLE ProcessId) {
    DriverDataLock();
    BOOLEAN wanted = DriverData.ProcMonEnabled != 0 && !IsClientProcessId(ProcessId);
    DriverDataUnlock();
    return wanted;
}

BOOLEAN RegMonIsWanted(HANDLE ProcessId) {
    DriverDataLock();
    BOOLEAN wanted = DriverData.RegMonEnabled != 0 && !IsClientProcessId(ProcessId);
    DriverDataUnlock();
    return wanted;
}
