// The event message builders: layout, clipping of long texts, reply cells.
#include "channel/message.h"

#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

// A text as the builders see it: present only with a buffer and a length.
struct MessageText {
    const VOID* Buffer;
    ULONG Length;   // bytes the system gave
    ULONG Clipped;  // bytes the message carries
};

MessageText MessagepText(const VOID* Buffer, ULONG Length) {
    MessageText text = {};
    if (Buffer != nullptr && Length != 0) {
        text.Buffer = Buffer;
        text.Length = Length;
    }
    return text;
}

MessageText MessagepString(PCUNICODE_STRING String) {
    if (String == nullptr) {
        return MessageText{};
    }
    return MessagepText(String->Buffer, String->Length);
}

UCHAR MessagepTruncated(const MessageText& Text) {
    return Text.Clipped < Text.Length ? 1 : 0;
}

// Allocates the message and, when asked, the reply cell set to VerdictNone.
// The texts are TextBytes bytes from TextOffset on, one after another, and the
// builder writes every one of them; everything else is zeroed here, so the
// message's bytes are those of a zero-filled block without paying to zero the
// texts twice. A reply cell that cannot be had fails the whole build: the send
// functions would otherwise have nowhere to receive the verdict.
NTSTATUS MessagepAllocate(ULONG Size, ULONG Class, ULONG TextOffset, ULONG TextBytes, PVOID* Message,
                          PLONG* ReplyCell) {
    *Message = nullptr;
    if (ReplyCell != nullptr) {
        *ReplyCell = nullptr;
    }
    PVOID block = ExAllocatePoolWithTag(DriverPoolType, Size, TagMessage);
    if (block == nullptr) {
        return STATUS_NO_MEMORY;
    }
    const ULONG textEnd = TextOffset + TextBytes;
    RtlZeroMemory(block, TextOffset);
    RtlZeroMemory(static_cast<PUCHAR>(block) + textEnd, Size - textEnd);
    if (ReplyCell != nullptr) {
        PLONG cell = static_cast<PLONG>(ExAllocatePoolWithTag(DriverPoolType, sizeof(LONG), TagMessage));
        if (cell == nullptr) {
            ExFreePoolWithTag(block, TagHeader);
            return STATUS_NO_MEMORY;
        }
        *cell = VerdictNone;
        *ReplyCell = cell;
    }
    EventHeader* header = static_cast<EventHeader*>(block);
    header->Size = Size;
    header->Class = Class;
    *Message = block;
    return STATUS_SUCCESS;
}

// Copies a clipped text to Offset of the message; absent texts copy nothing.
VOID MessagepPlace(PVOID Message, ULONG Offset, const MessageText& Text) {
    if (Text.Clipped != 0) {
        RtlCopyMemory(static_cast<PUCHAR>(Message) + Offset, Text.Buffer, Text.Clipped);
    }
}

// Distance of a name component from the start of the name, cut to 32 bits.
// A component the name information leaves empty gets 0.
ULONG MessagepComponentOffset(PCUNICODE_STRING Name, PCUNICODE_STRING Component) {
    if (Component->Length == 0 || Component->Buffer == nullptr) {
        return 0;
    }
    ULONG_PTR distance = reinterpret_cast<ULONG_PTR>(Component->Buffer) - reinterpret_cast<ULONG_PTR>(Name->Buffer);
    return static_cast<ULONG>(distance);
}

ULONG MessagepProcessId(HANDLE ProcessId) {
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(ProcessId));
}

}  // namespace

ULONG MessageClipText(ULONG Length, ULONG* Budget) {
    ULONG clipped = Length < *Budget ? Length : *Budget;
    *Budget -= clipped;
    return clipped;
}

VOID MessageFree(PVOID Block) {
    if (Block != nullptr) {
        ExFreePoolWithTag(Block, TagHeader);
    }
}

NTSTATUS FileMonBuildMessage(FileEvent** Message, PLONG* ReplyCell, PFLT_FILE_NAME_INFORMATION NameInfo,
                             PFLT_FILE_NAME_INFORMATION DestNameInfo, PCFLT_RELATED_OBJECTS FltObjects,
                             PFLT_IO_PARAMETER_BLOCK Iopb, FILE_OPERATION Operation, const OpParams* Params,
                             const HandleTrack* Track) {
    if (ReplyCell != nullptr) {
        *ReplyCell = nullptr;
    }
    if (Message == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Message = nullptr;
    if (NameInfo == nullptr || FltObjects == nullptr || FltObjects->FileObject == nullptr || Params == nullptr ||
        Iopb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    const BOOLEAN rename = Params->Create == nullptr && FilterIsRename(Params->SetInformation);
    ULONG budget = EVENT_TEXT_BUDGET;
    MessageText name = MessagepString(&NameInfo->Name);
    name.Clipped = MessageClipText(name.Length, &budget);
    MessageText dest = {};
    if (rename && DestNameInfo != nullptr) {
        dest = MessagepString(&DestNameInfo->Name);
        dest.Clipped = MessageClipText(dest.Length, &budget);
    }
    const ULONG size = EVENT_SIZE_ALLOWANCE + name.Clipped + dest.Clipped;

    PVOID block = nullptr;
    NTSTATUS status =
        MessagepAllocate(size, EVENT_CLASS_FILE, FILE_EVENT_NAME_OFFSET, name.Clipped + dest.Clipped, &block, ReplyCell);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FileEvent* event = static_cast<FileEvent*>(block);

    if (name.Clipped != 0) {
        PCUNICODE_STRING full = &NameInfo->Name;
        event->VolumeOffset = MessagepComponentOffset(full, &NameInfo->Volume);
        event->VolumeLength = NameInfo->Volume.Length;
        event->FinalComponentOffset = MessagepComponentOffset(full, &NameInfo->FinalComponent);
        event->FinalComponentLength = NameInfo->FinalComponent.Length;
        event->ExtensionOffset = MessagepComponentOffset(full, &NameInfo->Extension);
        event->ExtensionLength = NameInfo->Extension.Length;
        event->ParentDirOffset = MessagepComponentOffset(full, &NameInfo->ParentDir);
        event->ParentDirLength = NameInfo->ParentDir.Length;
        event->NameLength = name.Clipped;
        event->NameTruncated = MessagepTruncated(name);
        MessagepPlace(block, FILE_EVENT_NAME_OFFSET, name);
    }

    PFILE_OBJECT fileObject = FltObjects->FileObject;
    event->FileObjectFlags = fileObject->Flags;
    event->FileObject = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(fileObject));
    event->ProcessId = MessagepProcessId(PsGetCurrentProcessId());
    event->MajorFunction = Iopb->MajorFunction;
    event->Operation = Operation;
    event->FileId = Track != nullptr ? Track->FileId : 0;

    if (Params->Create != nullptr) {
        event->Params.Create.CreateOptions = Params->Create->Create.Options;
        event->Params.Create.FileAttributes = Params->Create->Create.FileAttributes;
        event->Params.Create.ShareAccess = Params->Create->Create.ShareAccess;
    } else if (Params->SetInformation != nullptr) {
        if (rename) {
            // The first byte is ReplaceIfExists of the classic record and the low
            // byte of Flags of the extended one; both sit at offset 0.
            const auto& info = Params->SetInformation->SetFileInformation;
            if (info.InfoBuffer != nullptr && info.Length != 0) {
                event->Params.Rename.ReplaceIfExists = *static_cast<const UCHAR*>(info.InfoBuffer);
            }
            if (dest.Clipped != 0) {
                event->Params.Rename.DestNameLength = dest.Clipped;
                event->Params.Rename.DestNameTruncated = MessagepTruncated(dest);
                event->Params.Rename.DestNameOffset = FILE_EVENT_NAME_OFFSET + name.Clipped - FILE_EVENT_DEST_BASE;
                MessagepPlace(block, FILE_EVENT_NAME_OFFSET + name.Clipped, dest);
            }
        }
    } else if (Params->Write != nullptr) {
        event->Params.Write.WriteLength = Params->Write->Write.Length;
        event->Params.Write.WriteOffset = Params->Write->Write.ByteOffset.QuadPart;
    }

    *Message = event;
    return STATUS_SUCCESS;
}

namespace {

// Builds the registry message; with WithData false the value's data is left
// out. Where the data is the caller's own buffer it is read only through the
// guarded copy: a fault there comes back as STATUS_ACCESS_VIOLATION, the
// message freed.
NTSTATUS RegMonpBuildMessage(RegistryEvent** Message, PLONG* ReplyCell, HANDLE ProcessId, LONG Operation,
                             const RegEventInfo* Info, BOOLEAN WithData) {
    MessageText keyPath = MessagepString(Info->KeyPath);
    MessageText name = {};
    MessageText data = {};
    ULONG dataType = 0;
    if (Info->RenameInfo != nullptr) {
        name = MessagepString(Info->RenameInfo->NewName);
    } else if (Info->SetValueInfo != nullptr) {
        name = MessagepString(Info->SetValueInfo->ValueName);
        if (WithData) {
            data = MessagepText(Info->SetValueInfo->Data, Info->SetValueInfo->DataSize);
        }
        dataType = Info->SetValueInfo->Type;
    } else if (Info->DeleteValueInfo != nullptr) {
        name = MessagepString(Info->DeleteValueInfo->ValueName);
    }

    ULONG budget = EVENT_TEXT_BUDGET;
    keyPath.Clipped = MessageClipText(keyPath.Length, &budget);
    name.Clipped = MessageClipText(name.Length, &budget);
    data.Clipped = MessageClipText(data.Length, &budget);
    const ULONG size = EVENT_SIZE_ALLOWANCE + keyPath.Clipped + name.Clipped + data.Clipped;

    PVOID block = nullptr;
    NTSTATUS status = MessagepAllocate(size, EVENT_CLASS_REGISTRY, REGISTRY_EVENT_TEXT_OFFSET,
                                       keyPath.Clipped + name.Clipped + data.Clipped, &block, ReplyCell);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RegistryEvent* event = static_cast<RegistryEvent*>(block);
    event->ProcessId = MessagepProcessId(ProcessId);
    event->Operation = Operation;

    // Texts follow one another in the text area: key path, name, data.
    ULONG offset = 0;
    if (keyPath.Clipped != 0) {
        event->KeyPathLength = keyPath.Clipped;
        event->KeyPathOffset = 0;
        event->KeyPathTruncated = MessagepTruncated(keyPath);
        MessagepPlace(block, REGISTRY_EVENT_TEXT_OFFSET + offset, keyPath);
        offset += keyPath.Clipped;
    }
    if (name.Clipped != 0) {
        event->NameLength = name.Clipped;
        event->NameOffset = offset;
        event->NameTruncated = MessagepTruncated(name);
        MessagepPlace(block, REGISTRY_EVENT_TEXT_OFFSET + offset, name);
        offset += name.Clipped;
    }
    if (data.Clipped != 0) {
        event->DataType = dataType;
        event->DataLength = data.Clipped;
        event->DataOffset = offset;
        event->DataTruncated = MessagepTruncated(data);
        if (DriverSetValueDataIsCallerBuffer) {
            status = PlatformCopyFromClient(static_cast<PUCHAR>(block) + REGISTRY_EVENT_TEXT_OFFSET + offset, data.Buffer,
                                            data.Clipped);
            if (!NT_SUCCESS(status)) {
                MessageFree(block);
                if (ReplyCell != nullptr) {
                    MessageFree(*ReplyCell);
                    *ReplyCell = nullptr;
                }
                return status;
            }
        } else {
            MessagepPlace(block, REGISTRY_EVENT_TEXT_OFFSET + offset, data);
        }
    }

    *Message = event;
    return STATUS_SUCCESS;
}

}  // namespace

// On systems that hand the callback the caller's own data buffer, a buffer that
// faults (the caller unmapped or protected it meanwhile) leaves the event
// without its data rather than failing it.
NTSTATUS RegMonBuildMessage(RegistryEvent** Message, PLONG* ReplyCell, HANDLE ProcessId, LONG Operation,
                            const RegEventInfo* Info) {
    if (ReplyCell != nullptr) {
        *ReplyCell = nullptr;
    }
    if (Message == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Message = nullptr;
    if (Info == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = RegMonpBuildMessage(Message, ReplyCell, ProcessId, Operation, Info, TRUE);
    if (status == STATUS_NO_MEMORY || NT_SUCCESS(status)) {
        return status;
    }
    return RegMonpBuildMessage(Message, ReplyCell, ProcessId, Operation, Info, FALSE);
}

NTSTATUS ProcMonBuildMessage(ProcessEvent** Message, PLONG* ReplyCell, PCUNICODE_STRING ImageName,
                             PCUNICODE_STRING CommandLine, HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
    if (ReplyCell != nullptr) {
        *ReplyCell = nullptr;
    }
    if (Message == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Message = nullptr;

    ULONG budget = EVENT_TEXT_BUDGET;
    MessageText image = MessagepString(ImageName);
    image.Clipped = MessageClipText(image.Length, &budget);
    MessageText commandLine = MessagepString(CommandLine);
    commandLine.Clipped = MessageClipText(commandLine.Length, &budget);
    const ULONG size = EVENT_SIZE_ALLOWANCE + image.Clipped + commandLine.Clipped;

    PVOID block = nullptr;
    NTSTATUS status = MessagepAllocate(size, EVENT_CLASS_PROCESS, PROCESS_EVENT_TEXT_OFFSET,
                                       image.Clipped + commandLine.Clipped, &block, ReplyCell);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ProcessEvent* event = static_cast<ProcessEvent*>(block);
    event->ProcessId = MessagepProcessId(ProcessId);
    event->ParentProcessId = MessagepProcessId(ParentId);
    event->IsCreate = Create ? 1 : 0;
    if (image.Clipped != 0) {
        event->ImageNameLength = image.Clipped;
        event->ImageNameOffset = 0;
        event->ImageNameTruncated = MessagepTruncated(image);
        MessagepPlace(block, PROCESS_EVENT_TEXT_OFFSET, image);
    }
    if (commandLine.Clipped != 0) {
        event->CommandLineLength = commandLine.Clipped;
        event->CommandLineOffset = image.Clipped;
        event->CommandLineTruncated = MessagepTruncated(commandLine);
        MessagepPlace(block, PROCESS_EVENT_TEXT_OFFSET + image.Clipped, commandLine);
    }

    *Message = event;
    return STATUS_SUCCESS;
}
