// The name-first create path (see create_reference.h): the driver's pre-create
// as it was before the watched set was asked first.
#include "tests/support/create_reference.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "sim/flt/flt.h"

namespace vtest {

namespace {

ULONG Pidp() { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }

BOOLEAN PassedOverp(PFLT_CALLBACK_DATA Data) {
    return (Data->Iopb->OperationFlags & (SL_OPEN_PAGING_FILE | SL_OPEN_TARGET_DIRECTORY)) != 0 ? TRUE : FALSE;
}

FLT_PREOP_CALLBACK_STATUS HandOverp(PFLT_FILE_NAME_INFORMATION NameInfo, PVOID* CompletionContext) {
    auto* cell = static_cast<CreateCompletion*>(ExAllocatePoolWithTag(PagedPool, sizeof(CreateCompletion), TagCreateCompletion));
    if (cell == nullptr) {
        FilterReleaseName(NameInfo);
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    }
    cell->NameInfo = NameInfo;
    *CompletionContext = cell;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

BOOLEAN KeepsTheFilep(PFLT_PARAMETERS Create) {
    const ULONG disposition = (Create->Create.Options >> 24) & 0xFF;
    return (disposition == FILE_SUPERSEDE || disposition == FILE_OPEN || disposition == FILE_OPEN_IF ||
            disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF)
               ? TRUE
               : FALSE;
}

BOOLEAN Listedp() { return IdListHasPid(&DriverData.ProcessList, Pidp()); }

}  // namespace

FLT_PREOP_CALLBACK_STATUS FLTAPI ReferenceFilterPreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                          PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject) || PassedOverp(Data)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    PFLT_FILE_NAME_INFORMATION nameInfo = nullptr;
    if (!NT_SUCCESS(FilterGetFileName(Data, &nameInfo))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const OpParams params = FilterGetParams(Data->Iopb);
    const FILE_OPERATION operation = FilterClassifyCreate(params.Create);
    if (operation == FileOpWriteAccess || operation == FileOpDelete) {
        if (!Listedp()) {
            FilterReleaseName(nameInfo);
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        const Verdict verdict = FileMonSendEvent(nameInfo, nullptr, FltObjects, Data->Iopb, operation, &params, nullptr);
        if (verdict == VerdictDeny) {
            Data->IoStatus.Status = STATUS_ACCESS_DENIED;
            Data->IoStatus.Information = 0;
            FilterReleaseName(nameInfo);
            return FLT_PREOP_COMPLETE;
        }
        if (verdict == 0 || verdict == 2) {
            return HandOverp(nameInfo, CompletionContext);
        }
        if (verdict == VerdictBackup && KeepsTheFilep(params.Create)) {
            (void)FileMonBackupBeforeChange(nameInfo, FltObjects);
            if (operation == FileOpWriteAccess) {
                return HandOverp(nameInfo, CompletionContext);
            }
        }
        FilterReleaseName(nameInfo);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (operation == FileOpOpen && Listedp()) {
        return HandOverp(nameInfo, CompletionContext);
    }
    FilterReleaseName(nameInfo);
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

PFLT_PRE_OPERATION_CALLBACK ReplacePreOperation(UCHAR majorFunction, PFLT_PRE_OPERATION_CALLBACK callback) {
    for (FLT_OPERATION_REGISTRATION& operation : DriverData.Filter->operations) {
        if (operation.MajorFunction == majorFunction) {
            const PFLT_PRE_OPERATION_CALLBACK old = operation.PreOperation;
            operation.PreOperation = callback;
            return old;
        }
    }
    return nullptr;
}

void UseReferenceCreatePath(bool reference) {
    ReplacePreOperation(IRP_MJ_CREATE, reference ? ReferenceFilterPreCreate : FilterPreCreate);
}

}  // namespace vtest
