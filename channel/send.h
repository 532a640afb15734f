// Sending events to the client and turning its reply into a verdict.
#pragma once

#include "platform/kernel.h"
#include "channel/message.h"

// How long a reporting thread waits for the client: 30 seconds.
constexpr LONG PortSendTimeoutMs = 30000;

// A process event that a terminating thread could not send, on its way to a
// system worker thread. It owns its string copies and its work item.
struct DeferredProcessEvent {
    HANDLE ProcessId;
    HANDLE ParentId;
    BOOLEAN Create;
    PCOUNTED_STRING CommandLine;
    PCOUNTED_STRING ImageName;
    PIO_WORKITEM WorkItem;
};

NTSTATUS PortSendMessage(PVOID Message, PLONG ReplyCell);

// Each send function builds its message, sends it and returns the value the
// client put in the reply cell when the exchange completed with STATUS_SUCCESS,
// else VerdictNone. Only the values 0 to VerdictBackup come back as written;
// any other reply becomes VerdictNone, so a caller never meets a value it
// does not know.
Verdict FileMonSendEvent(PFLT_FILE_NAME_INFORMATION NameInfo, PFLT_FILE_NAME_INFORMATION DestNameInfo,
                         PCFLT_RELATED_OBJECTS FltObjects, PFLT_IO_PARAMETER_BLOCK Iopb, FILE_OPERATION Operation,
                         const OpParams* Params, const HandleTrack* Track);
Verdict RegMonSendEvent(HANDLE ProcessId, LONG Operation, const RegEventInfo* Info);
Verdict ProcMonSendEvent(PCUNICODE_STRING ImageName, PCUNICODE_STRING CommandLine, HANDLE ParentId, HANDLE ProcessId,
                         BOOLEAN Create);

// Hands a process event to a system worker thread; always VerdictNone.
Verdict ProcMonQueueEvent(PCUNICODE_STRING ImageName, PCUNICODE_STRING CommandLine, HANDLE ParentId, HANDLE ProcessId,
                          BOOLEAN Create);
VOID NTAPI ProcMonEventWorker(PDEVICE_OBJECT DeviceObject, PVOID Context);
