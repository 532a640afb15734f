// Building the three event messages. Each builder makes one zero-filled pool
// block of exactly EventHeader.Size bytes (tag TagMessage) and, when asked, a
// 4-byte reply cell holding VerdictNone. Both belong to the caller, which frees
// them with tag 0 once the message has been sent.
#pragma once

#include "platform/kernel.h"
#include "channel/wire.h"
#include "driver/counted_string.h"
#include "filemon/filemon.h"

// One registry notification as the registry callback saw it. At most one of the
// information pointers is set; they point into the configuration manager's
// records and are valid only while the callback runs.
struct RegEventInfo {
    PCOUNTED_STRING KeyPath;
    REG_NOTIFY_CLASS NotifyClass;
    PREG_CREATE_KEY_INFORMATION CreateInfo;
    PREG_RENAME_KEY_INFORMATION RenameInfo;
    PREG_DELETE_KEY_INFORMATION DeleteKeyInfo;
    PREG_SET_VALUE_KEY_INFORMATION SetValueInfo;
    PREG_DELETE_VALUE_KEY_INFORMATION DeleteValueInfo;
};
typedef RegEventInfo* PRegEventInfo;

// A message carries its texts within 0xFFFF bytes: 104 bytes are set aside for
// the fixed part and the texts share what is left in the order they are placed.
// Returns how many of Length bytes fit and takes them from *Budget.
ULONG MessageClipText(ULONG Length, ULONG* Budget);

NTSTATUS FileMonBuildMessage(FileEvent** Message, PLONG* ReplyCell, PFLT_FILE_NAME_INFORMATION NameInfo,
                             PFLT_FILE_NAME_INFORMATION DestNameInfo, PCFLT_RELATED_OBJECTS FltObjects,
                             PFLT_IO_PARAMETER_BLOCK Iopb, FILE_OPERATION Operation, const OpParams* Params,
                             const HandleTrack* Track);

NTSTATUS RegMonBuildMessage(RegistryEvent** Message, PLONG* ReplyCell, HANDLE ProcessId, LONG Operation,
                            const RegEventInfo* Info);

NTSTATUS ProcMonBuildMessage(ProcessEvent** Message, PLONG* ReplyCell, PCUNICODE_STRING ImageName,
                             PCUNICODE_STRING CommandLine, HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);

// Frees a message or reply cell made by a builder; null is ignored.
VOID MessageFree(PVOID Block);
