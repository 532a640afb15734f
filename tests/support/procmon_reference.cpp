// The image-name-first process notifications (see procmon_reference.h).
#include "tests/support/procmon_reference.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "procmon/procmon.h"

namespace vtest {

namespace {

ULONG Pidp(HANDLE id) { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(id)); }

}  // namespace

VOID NTAPI ReferenceProcMonNotifyEx(PEPROCESS, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
    if (!ProcMonIsWanted(ProcessId)) {
        return;
    }
    PUNICODE_STRING imageName = nullptr;
    (VOID) ProcMonGetImageName(ProcessId, &imageName);
    if (CreateInfo != nullptr) {
        if (IdListHasPid(&DriverData.ProcessList, Pidp(CreateInfo->ParentProcessId)) ||
            IdListHasPid(&DriverData.ProcessList, Pidp(CreateInfo->CreatingThreadId.UniqueProcess))) {
            PCOUNTED_STRING commandLine = nullptr;
            if (CreateInfo->CommandLine != nullptr && CreateInfo->CommandLine->Length != 0) {
                commandLine = StrDuplicate(CreateInfo->CommandLine, TagString);
            }
            Verdict verdict =
                ProcMonSendEvent(imageName, commandLine, CreateInfo->ParentProcessId, ProcessId, TRUE);
            if (verdict == VerdictDeny) {
                CreateInfo->CreationStatus = STATUS_ACCESS_DENIED;
            } else {
                (VOID) IdListAddPid(&DriverData.ProcessList, Pidp(ProcessId));
            }
            if (commandLine != nullptr) {
                StrFree(commandLine, TagString);
            }
        }
    } else if (IdListHasPid(&DriverData.ProcessList, Pidp(ProcessId))) {
        (VOID) IdListRemovePid(&DriverData.ProcessList, Pidp(ProcessId));
        (VOID) ProcMonSendEvent(imageName, nullptr, nullptr, ProcessId, FALSE);
    }
    if (imageName != nullptr) {
        ExFreePoolWithTag(imageName, TagImageName);
    }
}

VOID NTAPI ReferenceProcMonNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
    if (!ProcMonIsWanted(ProcessId)) {
        return;
    }
    PUNICODE_STRING imageName = nullptr;
    (VOID) ProcMonGetImageName(ProcessId, &imageName);
    if (Create) {
        if (IdListHasPid(&DriverData.ProcessList, Pidp(ParentId)) ||
            IdListHasPid(&DriverData.ProcessList, Pidp(PsGetCurrentProcessId()))) {
            (VOID) ProcMonSendEvent(imageName, nullptr, ParentId, ProcessId, Create);
            (VOID) IdListAddPid(&DriverData.ProcessList, Pidp(ProcessId));
        }
    } else if (IdListHasPid(&DriverData.ProcessList, Pidp(ProcessId))) {
        (VOID) IdListRemovePid(&DriverData.ProcessList, Pidp(ProcessId));
        (VOID) ProcMonSendEvent(imageName, nullptr, ParentId, ProcessId, FALSE);
    }
    if (imageName != nullptr) {
        ExFreePoolWithTag(imageName, TagImageName);
    }
}

void UseReferenceProcessNotification(bool reference) {
    PsSetCreateProcessNotifyRoutineEx(reference ? ProcMonNotifyEx : ReferenceProcMonNotifyEx, TRUE);
    PsSetCreateProcessNotifyRoutineEx(reference ? ReferenceProcMonNotifyEx : ProcMonNotifyEx, FALSE);
}

}  // namespace vtest
