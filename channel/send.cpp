// Sending events through the port and reading the verdicts back.
#include "channel/send.h"

#include "driver/driver_data.h"
#include "driver/tags.h"

NTSTATUS PortSendMessage(PVOID Message, PLONG ReplyCell) {
    if (Message == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Read without the lock: FltSendMessage is handed the field itself, and
    // FltCloseClientPort clears it through the same address, so an empty port
    // seen here only saves building the wait; the platform answers the rest.
    if (DriverClientPort() == nullptr) {
        return STATUS_PORT_DISCONNECTED;
    }
    ULONG replyLength = ReplyCell != nullptr ? sizeof(LONG) : 0;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(PortSendTimeoutMs) * 10000;
    const ULONG length = static_cast<const EventHeader*>(Message)->Size;
    if (length == 0 || DriverData.Filter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return FltSendMessage(DriverData.Filter, &DriverData.ClientPort, Message, length, ReplyCell,
                          ReplyCell != nullptr ? &replyLength : nullptr, &timeout);
}

namespace {

// Sends a built message and frees it with its reply cell. Only STATUS_SUCCESS
// means the client answered; STATUS_TIMEOUT is a success-class status too but
// carries no reply.
Verdict SendpExchange(PVOID Message, PLONG ReplyCell, NTSTATUS* Status) {
    Verdict verdict = VerdictNone;
    *Status = PortSendMessage(Message, ReplyCell);
    if (*Status == STATUS_SUCCESS && ReplyCell != nullptr) {
        verdict = *ReplyCell;
    }
    // Only the values callers tell apart come back; any other reply reads as
    // no verdict, so no caller can mistake it for one.
    if (verdict < 0 || verdict > VerdictBackup) {
        verdict = VerdictNone;
    }
    MessageFree(Message);
    MessageFree(ReplyCell);
    return verdict;
}

PCOUNTED_STRING SendpCopyString(PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Buffer == nullptr || Source->Length == 0) {
        return nullptr;
    }
    return StrDuplicate(Source, TagString);
}

}  // namespace

Verdict FileMonSendEvent(PFLT_FILE_NAME_INFORMATION NameInfo, PFLT_FILE_NAME_INFORMATION DestNameInfo,
                         PCFLT_RELATED_OBJECTS FltObjects, PFLT_IO_PARAMETER_BLOCK Iopb, FILE_OPERATION Operation,
                         const OpParams* Params, const HandleTrack* Track) {
    FileEvent* message = nullptr;
    PLONG reply = nullptr;
    if (!NT_SUCCESS(FileMonBuildMessage(&message, &reply, NameInfo, DestNameInfo, FltObjects, Iopb, Operation, Params,
                                        Track))) {
        return VerdictNone;
    }
    NTSTATUS status;
    return SendpExchange(message, reply, &status);
}

Verdict RegMonSendEvent(HANDLE ProcessId, LONG Operation, const RegEventInfo* Info) {
    RegistryEvent* message = nullptr;
    PLONG reply = nullptr;
    if (!NT_SUCCESS(RegMonBuildMessage(&message, &reply, ProcessId, Operation, Info))) {
        return VerdictNone;
    }
    NTSTATUS status;
    return SendpExchange(message, reply, &status);
}

Verdict ProcMonSendEvent(PCUNICODE_STRING ImageName, PCUNICODE_STRING CommandLine, HANDLE ParentId, HANDLE ProcessId,
                         BOOLEAN Create) {
    ProcessEvent* message = nullptr;
    PLONG reply = nullptr;
    if (!NT_SUCCESS(ProcMonBuildMessage(&message, &reply, ImageName, CommandLine, ParentId, ProcessId, Create))) {
        return VerdictNone;
    }
    NTSTATUS status;
    Verdict verdict = SendpExchange(message, reply, &status);
    if (status == STATUS_THREAD_IS_TERMINATING) {
        // The thread is on its way out; a system worker thread sends the event
        // again from copies of the strings.
        verdict = ProcMonQueueEvent(ImageName, CommandLine, ParentId, ProcessId, Create);
    }
    return verdict;
}

Verdict ProcMonQueueEvent(PCUNICODE_STRING ImageName, PCUNICODE_STRING CommandLine, HANDLE ParentId, HANDLE ProcessId,
                          BOOLEAN Create) {
    if (DriverData.ControlDevice == nullptr) {
        return VerdictNone;
    }
    // Held until the worker has sent the event; once teardown has begun no
    // new event is deferred (it is dropped).
    if (!ExAcquireRundownProtection(&DriverData.DeferredEvents)) {
        return VerdictNone;
    }
    PIO_WORKITEM workItem = IoAllocateWorkItem(DriverData.ControlDevice);
    if (workItem == nullptr) {
        ExReleaseRundownProtection(&DriverData.DeferredEvents);
        return VerdictNone;
    }
    auto* record = static_cast<DeferredProcessEvent*>(
        ExAllocatePoolWithTag(DriverPoolType, sizeof(DeferredProcessEvent), TagDeferredEvent));
    if (record == nullptr) {
        IoFreeWorkItem(workItem);
        ExReleaseRundownProtection(&DriverData.DeferredEvents);
        return VerdictNone;
    }
    record->ProcessId = ProcessId;
    record->ParentId = ParentId;
    record->Create = Create;
    record->ImageName = SendpCopyString(ImageName);
    record->CommandLine = SendpCopyString(CommandLine);
    record->WorkItem = workItem;
    IoQueueWorkItem(workItem, ProcMonEventWorker, DelayedWorkQueue, record);
    return VerdictNone;
}

VOID NTAPI ProcMonEventWorker(PDEVICE_OBJECT DeviceObject, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    auto* record = static_cast<DeferredProcessEvent*>(Context);
    if (record == nullptr) {
        return;
    }
    // The process has already started or exited: the verdict changes nothing.
    (VOID) ProcMonSendEvent(record->ImageName, record->CommandLine, record->ParentId, record->ProcessId, record->Create);
    if (record->ImageName != nullptr) {
        StrFree(record->ImageName, TagString);
    }
    if (record->CommandLine != nullptr) {
        StrFree(record->CommandLine, TagString);
    }
    IoFreeWorkItem(record->WorkItem);
    ExFreePoolWithTag(record, TagHeader);
    // The work item keeps the driver loaded until this routine returns.
    ExReleaseRundownProtection(&DriverData.DeferredEvents);
}
