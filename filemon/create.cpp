// The create path: which opens are reported, which may go on, and which
// handles are followed for the rest of their lives.
#include "filemon/filemon.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

ULONG CreatepCurrentPid() { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }

// Opens the I/O manager makes for itself (a paging file, the parent of a
// rename's target) are never classified. Write-through is not one of them:
// any program may ask for it, and passing it over let such a handle write
// unreported.
BOOLEAN CreatepPassedOver(PFLT_CALLBACK_DATA Data) {
    const UCHAR flags = Data->Iopb->OperationFlags;
    return (flags & (SL_OPEN_PAGING_FILE | SL_OPEN_TARGET_DIRECTORY)) != 0 ? TRUE : FALSE;
}

// Hands the name to post-create in a completion cell. Without a cell the open
// still goes on, unfollowed.
FLT_PREOP_CALLBACK_STATUS CreatepHandOver(PFLT_FILE_NAME_INFORMATION NameInfo, PVOID* CompletionContext) {
    auto* cell = static_cast<CreateCompletion*>(ExAllocatePoolWithTag(PagedPool, sizeof(CreateCompletion), TagCreateCompletion));
    if (cell == nullptr) {
        FilterReleaseName(NameInfo);
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    }
    cell->NameInfo = NameInfo;
    *CompletionContext = cell;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

// Dispositions that open a file that exists, keeping or truncating it; only
// FILE_CREATE never touches an existing file.
BOOLEAN CreatepKeepsTheFile(PFLT_PARAMETERS Create) {
    const ULONG disposition = (Create->Create.Options >> 24) & 0xFF;
    return (disposition == FILE_SUPERSEDE || disposition == FILE_OPEN || disposition == FILE_OPEN_IF ||
            disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF)
               ? TRUE
               : FALSE;
}

}  // namespace

FILE_OPERATION FilterClassifyCreate(PFLT_PARAMETERS Create) {
    if (Create == nullptr || Create->Create.SecurityContext == nullptr) {
        return FileOpNone;
    }
    const ULONG options = Create->Create.Options;
    const ACCESS_MASK access = Create->Create.SecurityContext->DesiredAccess;
    if ((options & FILE_DELETE_ON_CLOSE) != 0) {
        return FileOpDelete;
    }
    // A handle that can change the file is followed whatever else it asks
    // for: DELETE beside write rights (FILE_ALL_ACCESS) or an execute-looking
    // mask with append rights must not hide its writes. MAXIMUM_ALLOWED may
    // be granted write access without naming it.
    const BOOLEAN canWrite = (access & FilterWriteRights) != 0 ? TRUE : FALSE;
    // FILE_EXECUTE and FILE_READ_ATTRIBUTES without FILE_WRITE_DATA or FILE_READ_EA.
    if (!canWrite && (access & 0xAA) == 0xA0) {
        return FileOpExecute;
    }
    if (canWrite) {
        return FileOpWriteAccess;
    }
    if ((access & DELETE) != 0) {
        return FileOpDeleteAccess;
    }
    // Every disposition but FILE_SUPERSEDE.
    if (((options >> 24) & 0x7) != 0) {
        return FileOpOpen;
    }
    return FileOpNone;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const ULONG pid = CreatepCurrentPid();
    if (CreatepPassedOver(Data)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    // The watched set is asked before the name: for a process outside it
    // every road below ends with the name released and no callback, so the
    // name query, the dearest step of an open, is skipped.
    if (!IdListHasPid(&DriverData.ProcessList, pid)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    PFLT_FILE_NAME_INFORMATION nameInfo = nullptr;
    if (!NT_SUCCESS(FilterGetFileName(Data, &nameInfo))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const OpParams params = FilterGetParams(Data->Iopb);
    const FILE_OPERATION operation = FilterClassifyCreate(params.Create);

    if (operation == FileOpWriteAccess || operation == FileOpDelete) {
        const Verdict verdict = FileMonSendEvent(nameInfo, nullptr, FltObjects, Data->Iopb, operation, &params, nullptr);
        if (verdict == VerdictDeny) {
            Data->IoStatus.Status = STATUS_ACCESS_DENIED;
            Data->IoStatus.Information = 0;
            FilterReleaseName(nameInfo);
            return FLT_PREOP_COMPLETE;
        }
        if (verdict == 0 || verdict == 2) {
            return CreatepHandOver(nameInfo, CompletionContext);
        }
        // The backup answer: what the file holds now is copied before the
        // open goes on, so neither a truncating disposition nor the first
        // write reaches the original first; then the handle is followed as
        // for an allowed open. A copy that fails lets the open go on.
        if (verdict == VerdictBackup && CreatepKeepsTheFile(params.Create)) {
            (void)FileMonBackupBeforeChange(nameInfo, FltObjects);
            if (operation == FileOpWriteAccess) {
                return CreatepHandOver(nameInfo, CompletionContext);
            }
        }
        // No answer, the backup answer to anything else and any other
        // value: the open goes on, unfollowed.
        FilterReleaseName(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (operation == FileOpOpen) {
        return CreatepHandOver(nameInfo, CompletionContext);
    }
    FilterReleaseName(nameInfo);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
                                                   FLT_POST_OPERATION_FLAGS Flags) {
    PFLT_FILE_NAME_INFORMATION nameInfo = nullptr;
    if (CompletionContext != nullptr) {
        auto* cell = static_cast<CreateCompletion*>(CompletionContext);
        nameInfo = cell->NameInfo;
        ExFreePoolWithTag(cell, TagCreateCompletion);
    }
    // The instance is going away: give back what the pre-operation handed over
    // and touch nothing of the request.
    if ((Flags & FLTFL_POST_OPERATION_DRAINING) != 0) {
        FilterReleaseName(nameInfo);
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if (Data->IoStatus.Status != STATUS_SUCCESS) {
        FilterReleaseName(nameInfo);
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    if (nameInfo == nullptr) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    PHandleTrack track = nullptr;
    const NTSTATUS status =
        FilterGetOrCreateHandleTrack(FltObjects->Instance, FltObjects->Filter, FltObjects->FileObject, sizeof(HandleTrack), &track);
    if (!NT_SUCCESS(status) || track == nullptr) {
        FilterReleaseName(nameInfo);
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    // A record found already attached (a file object reaches post-create once,
    // so only in theory) gives its old name back and takes this one.
    FilterHandleTrackReleaseName(track);
    track->NameInfo = nameInfo;
    track->Tracked = 0;
    track->Written = 0;
    track->FileId = 0;
    (void)FilterQueryFileId(FltObjects->Instance, FltObjects->FileObject, &track->FileId);
    if (IdListHasFileId(&DriverData.FileIdList, track->FileId)) {
        track->Tracked = 1;
    }
    if (Data->IoStatus.Information == FILE_CREATED) {
        track->Tracked = 1;
        if (track->FileId != 0) {
            (void)IdListAddFileId(&DriverData.FileIdList, track->FileId);
        }
        const OpParams params = FilterGetParams(Data->Iopb);
        (void)FileMonSendEvent(nameInfo, nullptr, FltObjects, Data->Iopb, FileOpCreated, &params, track);
    }
    FilterReleaseContext(track);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
