// The process monitor's creation and exit notifications.
//
// A start is of interest only when its creator or its parent is watched, an
// exit only when the exiting process is: each routine asks the watched set first and fetches
// the image name only for those, so the starts and exits of every other
// process on the machine cost the gate and one membership test.
#include "procmon/procmon.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

enum class ProcMonRegistration { None, Legacy, Extended };

// Which routine ProcMonStart registered; set and cleared in the loading and
// unloading threads only.
ProcMonRegistration ProcMonpRegistered = ProcMonRegistration::None;

ULONG ProcMonpPid(HANDLE ProcessId) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(ProcessId));
}

// The image name, or none when it cannot be had: the event then goes out
// without one.
PUNICODE_STRING ProcMonpImageName(HANDLE ProcessId) {
    PUNICODE_STRING imageName = nullptr;
    if (!NT_SUCCESS(ProcMonGetImageName(ProcessId, &imageName))) {
        return nullptr;
    }
    return imageName;
}

VOID ProcMonpFreeImageName(PUNICODE_STRING ImageName) {
    if (ImageName != nullptr) {
        ExFreePoolWithTag(ImageName, TagImageName);
    }
}

// The exit of a process: it leaves the watched set before its event is sent.
// Removing is the membership test: only a listed process is reported.
VOID ProcMonpExit(HANDLE ProcessId, HANDLE ReportedParentId) {
    if (IdListRemovePid(&DriverData.ProcessList, ProcMonpPid(ProcessId)) != STATUS_SUCCESS) {
        return;
    }
    PUNICODE_STRING imageName = ProcMonpImageName(ProcessId);
    // The verdict changes nothing: the process is gone. From the exiting
    // thread the send is usually deferred to a system worker thread.
    (VOID) ProcMonSendEvent(imageName, nullptr, ReportedParentId, ProcessId, FALSE);
    ProcMonpFreeImageName(imageName);
}

// Whether a start belongs to the watched tree. The reported parent is only
// what the creator claimed (the parent-process attribute lets a program name
// any process it can open, explorer.exe for one), so the creating process
// counts as much: a watched program cannot start an unwatched child by
// naming someone else as its parent.
BOOLEAN ProcMonpStartIsWatched(HANDLE ParentId, HANDLE CreatorId) {
    if (IdListHasPid(&DriverData.ProcessList, ProcMonpPid(ParentId))) {
        return TRUE;
    }
    return (CreatorId != ParentId && IdListHasPid(&DriverData.ProcessList, ProcMonpPid(CreatorId))) ? TRUE : FALSE;
}

}  // namespace

VOID NTAPI ProcMonNotifyEx(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
    UNREFERENCED_PARAMETER(Process);
    if (!ProcMonIsWanted(ProcessId)) {
        return;
    }
    if (CreateInfo == nullptr) {
        ProcMonpExit(ProcessId, nullptr);
        return;
    }

    HANDLE parentId = CreateInfo->ParentProcessId;
    if (!ProcMonpStartIsWatched(parentId, CreateInfo->CreatingThreadId.UniqueProcess)) {
        return;
    }
    PUNICODE_STRING imageName = ProcMonpImageName(ProcessId);
    PCOUNTED_STRING commandLine = nullptr;
    if (CreateInfo->CommandLine != nullptr && CreateInfo->CommandLine->Buffer != nullptr &&
        CreateInfo->CommandLine->Length != 0) {
        commandLine = StrDuplicate(CreateInfo->CommandLine, TagString);
    }

    // The verdict is known before the child joins the watched set.
    Verdict verdict = ProcMonSendEvent(imageName, commandLine, parentId, ProcessId, TRUE);
    if (verdict == VerdictDeny) {
        CreateInfo->CreationStatus = STATUS_ACCESS_DENIED;
    } else {
        // Already listed (a reused id) or no memory: the child stays as it was.
        (VOID) IdListAddPid(&DriverData.ProcessList, ProcMonpPid(ProcessId));
    }

    if (commandLine != nullptr) {
        StrFree(commandLine, TagString);
    }
    ProcMonpFreeImageName(imageName);
}

VOID NTAPI ProcMonNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
    if (!ProcMonIsWanted(ProcessId)) {
        return;
    }
    if (!Create) {
        // The legacy exit carries the parent id it was given.
        ProcMonpExit(ProcessId, ParentId);
        return;
    }
    // This routine runs in the creating thread too: the current process is
    // the creator.
    if (!ProcMonpStartIsWatched(ParentId, PsGetCurrentProcessId())) {
        return;
    }
    PUNICODE_STRING imageName = ProcMonpImageName(ProcessId);
    // This notification cannot refuse a start: the verdict changes nothing.
    (VOID) ProcMonSendEvent(imageName, nullptr, ParentId, ProcessId, Create);
    (VOID) IdListAddPid(&DriverData.ProcessList, ProcMonpPid(ProcessId));
    ProcMonpFreeImageName(imageName);
}

NTSTATUS ProcMonGetImageName(HANDLE ProcessId, PUNICODE_STRING* ImageName) {
    // A block already in the place would be lost.
    if (ImageName == nullptr || *ImageName != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    PEPROCESS process = nullptr;
    NTSTATUS status = PsLookupProcessByProcessId(ProcessId, &process);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A kernel handle: it never enters the table of the process whose
    // notification is running, where that process could close or replace it.
    HANDLE handle = nullptr;
    status = ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle);
    ObDereferenceObject(process);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    ULONG needed = 0;
    status = ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &needed);
    if (status != STATUS_INFO_LENGTH_MISMATCH || needed < sizeof(UNICODE_STRING)) {
        (VOID) ZwClose(handle);
        // A size query cannot succeed: there is no room even for the header.
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    }

    PUNICODE_STRING block = static_cast<PUNICODE_STRING>(ExAllocatePoolWithTag(DriverPoolType, needed, TagImageName));
    if (block == nullptr) {
        (VOID) ZwClose(handle);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = ZwQueryInformationProcess(handle, ProcessImageFileName, block, needed, &needed);
    (VOID) ZwClose(handle);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(block, TagImageName);
        return status;
    }
    *ImageName = block;
    return STATUS_SUCCESS;
}

VOID ProcMonStart() {
    auto setNotifyEx = reinterpret_cast<PPS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX>(
        DriverResolveRoutine(VETRONA_WIDE("PsSetCreateProcessNotifyRoutineEx")));
    if (setNotifyEx != nullptr) {
        if (NT_SUCCESS(setNotifyEx(ProcMonNotifyEx, FALSE))) {
            ProcMonpRegistered = ProcMonRegistration::Extended;
        }
    } else if (NT_SUCCESS(PsSetCreateProcessNotifyRoutine(ProcMonNotify, FALSE))) {
        ProcMonpRegistered = ProcMonRegistration::Legacy;
    }
}

VOID ProcMonStop() {
    if (ProcMonpRegistered == ProcMonRegistration::Extended) {
        auto setNotifyEx = reinterpret_cast<PPS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX>(
            DriverResolveRoutine(VETRONA_WIDE("PsSetCreateProcessNotifyRoutineEx")));
        if (setNotifyEx != nullptr) {
            (VOID) setNotifyEx(ProcMonNotifyEx, TRUE);
        }
    } else if (ProcMonpRegistered == ProcMonRegistration::Legacy) {
        (VOID) PsSetCreateProcessNotifyRoutine(ProcMonNotify, TRUE);
    }
    ProcMonpRegistered = ProcMonRegistration::None;
    // No notification runs any more, so no event is deferred from here on;
    // those already queued still need the port and the filter.
    ExWaitForRundownProtectionRelease(&DriverData.DeferredEvents);
}
