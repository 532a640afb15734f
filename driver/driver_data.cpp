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
    DriverSetSwitch(&Data->FileMonEnabled, 0);
    DriverSetSwitch(&Data->ProcMonEnabled, 0);
    DriverSetSwitch(&Data->Switch2, 0);
    DriverSetSwitch(&Data->RegMonEnabled, 0);
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
    DriverSetClientProcess(nullptr, nullptr);
    Data->ConnectionContextSize = 0;
}

// Releases what the record owns. Lock is held across both list clears: the
// one place where two of the driver's locks nest (Lock outside, list inside).
// No callback runs any more, so the lists' locks go after.
VOID DriverDataFree(DRIVER_DATA* Data) {
    ExAcquireFastMutex(&Data->Lock);
    if (Data->BackupDir != nullptr) {
        StrFree(Data->BackupDir, TagString);
        Data->BackupDir = nullptr;
    }
    IdListClearPids(&Data->ProcessList);
    IdListClearFileIds(&Data->FileIdList);
    ExReleaseFastMutex(&Data->Lock);
    IdListDelete(&Data->ProcessList);
    IdListDelete(&Data->FileIdList);
}

VOID DriverDataLock() {
    ExAcquireFastMutex(&DriverData.Lock);
}

VOID DriverDataUnlock() {
    ExReleaseFastMutex(&DriverData.Lock);
}
