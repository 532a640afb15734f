// Renames and deletions by disposition: classified, reported with the source
// and destination names before they happen, and refused when the client says
// so. A destination that the Filter Manager refuses to name is tried once more
// through the object-namespace link it may be: a program can define a DOS
// device name of its own and rename onto it, which the I/O manager follows
// while the Filter Manager cannot name it.
#include "filemon/filemon.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

constexpr FLT_FILE_NAME_OPTIONS DestNameOptions = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP;
constexpr ULONG RenameNameOffset = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
// The largest even byte count a counted string can hold.
constexpr ULONG CountedStringMaxBytes = 0xFFFE;

int FilterCurrentPidp() {
    return static_cast<int>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()));
}

// The information buffer comes from another component: it is trusted only as
// far as the request's own length says.
BOOLEAN FilterBufferHoldsp(const FLT_PARAMETERS* SetInformation, ULONG Bytes) {
    const auto& info = SetInformation->SetFileInformation;
    return (info.InfoBuffer != nullptr && info.Length >= Bytes) ? TRUE : FALSE;
}

// A rename record whose name can be read: the fixed part and FileNameLength
// bytes after it lie inside the buffer, and the length is a whole number of
// characters that a counted string can carry.
BOOLEAN FilterRenameBufferValidp(const FLT_PARAMETERS* SetInformation) {
    if (!FilterBufferHoldsp(SetInformation, RenameNameOffset)) {
        return FALSE;
    }
    const auto& info = SetInformation->SetFileInformation;
    const ULONG nameLength = static_cast<const FILE_RENAME_INFORMATION*>(info.InfoBuffer)->FileNameLength;
    if ((nameLength & 1) != 0 || nameLength > CountedStringMaxBytes) {
        return FALSE;
    }
    return nameLength <= info.Length - RenameNameOffset ? TRUE : FALSE;
}

// The destination given as an object-namespace symbolic link: read its
// target and name that instead. One level only.
NTSTATUS FilterResolveDestLinkp(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, const FILE_RENAME_INFORMATION* RenameInfo,
                                PFLT_FILE_NAME_INFORMATION* NameInfo) {
    UNICODE_STRING linkName;
    linkName.Length = static_cast<USHORT>(RenameInfo->FileNameLength & 0xFFFF);
    linkName.MaximumLength = linkName.Length;
    linkName.Buffer = const_cast<PWSTR>(RenameInfo->FileName);

    // The rename's RootDirectory is not used: a link name is absolute.
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &linkName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE link = nullptr;
    NTSTATUS status = ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes);
    if (!NT_SUCCESS(status)) {
        return STATUS_OBJECT_NAME_INVALID;
    }

    UNICODE_STRING target;
    target.Length = 0;
    target.MaximumLength = 0;
    target.Buffer = nullptr;
    ULONG returned = 0;
    status = ZwQuerySymbolicLinkObject(link, &target, &returned);
    // The reported size counts the null the link is stored with; one that no
    // counted string can describe ends the attempt too.
    if (status != STATUS_BUFFER_TOO_SMALL || returned == 0 || returned > 0xFFFF) {
        ZwClose(link);
        return STATUS_OBJECT_NAME_INVALID;
    }
    target.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, returned, TagCopyBuffer));
    if (target.Buffer == nullptr) {
        ZwClose(link);
        return STATUS_OBJECT_NAME_INVALID;
    }
    target.Length = static_cast<USHORT>(returned);
    target.MaximumLength = static_cast<USHORT>(returned);
    status = ZwQuerySymbolicLinkObject(link, &target, &returned);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(target.Buffer, TagCopyBuffer);
        ZwClose(link);
        return STATUS_OBJECT_NAME_INVALID;
    }

    DbgPrint("[%d][FilterGetDestFileName] Symbolic link found: %wZ...\n", FilterCurrentPidp(), &target);

    // The target's own length: the returned length also counts the stored
    // null, which would end the name in a null character.
    status = FltGetDestinationFileNameInformation(Instance, FileObject, RenameInfo->RootDirectory, target.Buffer, target.Length,
                                                  DestNameOptions, NameInfo);
    ExFreePoolWithTag(target.Buffer, TagCopyBuffer);
    ZwClose(link);
    return status;
}

}  // namespace

FILE_OPERATION FilterClassifySetInfo(PFLT_PARAMETERS SetInformation) {
    if (SetInformation == nullptr) {
        return FileOpNone;
    }
    switch (SetInformation->SetFileInformation.FileInformationClass) {
        case FileRenameInformation:
        case FileRenameInformationEx:
            return FileOpRename;
        // A second name planted by a link is as much a way into a folder as a
        // rename: reported with its new name, refusable.
        case FileLinkInformation:
        case FileLinkInformationEx:
            return FileOpLink;
        case FileDispositionInformation:
            if (!FilterBufferHoldsp(SetInformation, sizeof(BOOLEAN))) {
                return FileOpNone;
            }
            return static_cast<const FILE_DISPOSITION_INFORMATION*>(SetInformation->SetFileInformation.InfoBuffer)->DeleteFile != 0
                       ? FileOpDelete
                       : FileOpNone;
        case FileDispositionInformationEx:
            if (!FilterBufferHoldsp(SetInformation, sizeof(ULONG))) {
                return FileOpNone;
            }
            return (static_cast<const FILE_DISPOSITION_INFORMATION_EX*>(SetInformation->SetFileInformation.InfoBuffer)->Flags &
                    FILE_DISPOSITION_DELETE) != 0
                       ? FileOpDelete
                       : FileOpNone;
        default:
            return FileOpNone;
    }
}

NTSTATUS FilterGetDestFileName(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, const FILE_RENAME_INFORMATION* RenameInfo,
                               PFLT_FILE_NAME_INFORMATION* DestNameInfo) {
    if (Instance == nullptr || FileObject == nullptr || RenameInfo == nullptr || DestNameInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DestNameInfo = nullptr;

    PFLT_FILE_NAME_INFORMATION info = nullptr;
    NTSTATUS status = FltGetDestinationFileNameInformation(Instance, FileObject, RenameInfo->RootDirectory,
                                                           const_cast<PWSTR>(RenameInfo->FileName), RenameInfo->FileNameLength,
                                                           DestNameOptions, &info);
    if (status == STATUS_OBJECT_NAME_INVALID) {
        DbgPrint("[%d][FilterGetDestFileName] Possible RIPlace, resolving path...\n", FilterCurrentPidp());
        info = nullptr;
        status = FilterResolveDestLinkp(Instance, FileObject, RenameInfo, &info);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else if (!NT_SUCCESS(status)) {
        DbgPrint("[%d][FilterGetDestFileName] Failure: 0x%X\n", FilterCurrentPidp(), static_cast<ULONG>(status));
        return status;
    }

    status = FltParseFileNameInformation(info);
    if (!NT_SUCCESS(status)) {
        FltReleaseFileNameInformation(info);
        return status;
    }
    *DestNameInfo = info;
    return status;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreSetInformation(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                         PVOID* CompletionContext) {
    if (CompletionContext != nullptr) {
        *CompletionContext = nullptr;
    }
    const HANDLE processId = PsGetCurrentProcessId();
    FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_NO_CALLBACK;

    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return result;
    }
    // Classified before the name is asked for: most set-information requests
    // (positions, times, sizes) are of no interest and need no name query.
    OpParams params = FilterGetParams(Data->Iopb);
    const FILE_OPERATION operation = FilterClassifySetInfo(params.SetInformation);
    if (operation != FileOpRename && operation != FileOpLink && operation != FileOpDelete) {
        return result;
    }
    PFLT_FILE_NAME_INFORMATION nameInfo = nullptr;
    if (!NT_SUCCESS(FilterGetFileName(Data, &nameInfo))) {
        return result;
    }

    // The destination is named for every rename or link that passed the
    // gate, watched or not, so its log lines are written either way. A record
    // whose name cannot be read safely is reported without a destination. A
    // link record has the rename record's layout.
    PFLT_FILE_NAME_INFORMATION destNameInfo = nullptr;
    if ((operation == FileOpRename || operation == FileOpLink) && FilterRenameBufferValidp(params.SetInformation)) {
        (void)FilterGetDestFileName(FltObjects->Instance, Data->Iopb->TargetFileObject,
                                    static_cast<const FILE_RENAME_INFORMATION*>(params.SetInformation->SetFileInformation.InfoBuffer),
                                    &destNameInfo);
    }

    if (IdListHasPid(&DriverData.ProcessList, static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(processId)))) {
        const Verdict verdict = FileMonSendEvent(nameInfo, destNameInfo, FltObjects, Data->Iopb, operation, &params, nullptr);
        if (verdict == VerdictDeny) {
            Data->IoStatus.Status = STATUS_ACCESS_DENIED;
            Data->IoStatus.Information = 0;
            result = FLT_PREOP_COMPLETE;
        } else if (verdict == VerdictBackup) {
            // The file about to disappear is copied first: the one being
            // deleted, or the one a rename replaces. A failed copy lets the
            // request go on.
            if (operation == FileOpDelete) {
                (void)FileMonBackupBeforeChange(nameInfo, FltObjects);
            } else if (destNameInfo != nullptr && params.SetInformation->SetFileInformation.ReplaceIfExists) {
                (void)FileMonBackupBeforeChange(destNameInfo, FltObjects);
            }
        }
    }

    FilterReleaseName(destNameInfo);
    FilterReleaseName(nameInfo);
    return result;
}
