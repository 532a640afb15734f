// Helpers the operation callbacks share: the request's file name, its
// parameter record, the per-handle record and the file's 64-bit id.
#include "filemon/filemon.h"

#include "driver/driver_data.h"

NTSTATUS FilterGetFileName(PFLT_CALLBACK_DATA Data, PFLT_FILE_NAME_INFORMATION* NameInfo) {
    if (NameInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *NameInfo = nullptr;

    PFLT_FILE_NAME_INFORMATION info = nullptr;
    const NTSTATUS normalizedStatus =
        FltGetFileNameInformation(Data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info);
    if (!NT_SUCCESS(normalizedStatus)) {
        // The opened form still names the file when the normalized one cannot be
        // had (a missing intermediate directory, a name the cache alone holds).
        info = nullptr;
        const NTSTATUS openedStatus =
            FltGetFileNameInformation(Data, FLT_FILE_NAME_OPENED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP, &info);
        if (!NT_SUCCESS(openedStatus)) {
            return normalizedStatus;
        }
    }

    const NTSTATUS status = FltParseFileNameInformation(info);
    if (!NT_SUCCESS(status)) {
        FltReleaseFileNameInformation(info);
        return status;
    }
    *NameInfo = info;
    return status;
}

OpParams FilterGetParams(PFLT_IO_PARAMETER_BLOCK Iopb) {
    OpParams params = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (Iopb == nullptr) {
        return params;
    }
    PFLT_PARAMETERS const parameters = &Iopb->Parameters;
    switch (Iopb->MajorFunction) {
        case IRP_MJ_CREATE:
            params.Create = parameters;
            break;
        case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
            params.AcquireForSection = parameters;
            break;
        case IRP_MJ_SET_INFORMATION:
            params.SetInformation = parameters;
            break;
        case IRP_MJ_WRITE:
            params.Write = parameters;
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            params.DeviceControl = parameters;
            break;
        default:
            break;
    }
    return params;
}

NTSTATUS FilterGetHandleTrack(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PHandleTrack* Track) {
    if (Track == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Track = nullptr;

    PFLT_CONTEXT context = nullptr;
    const NTSTATUS status = FltGetStreamHandleContext(Instance, FileObject, &context);
    if (NT_SUCCESS(status)) {
        *Track = static_cast<PHandleTrack>(context);
    }
    return status;
}

// One rule on every success path: the caller receives a reference of its own
// and releases it with FilterReleaseContext, whether the record was found or
// made here.
NTSTATUS FilterGetOrCreateHandleTrack(PFLT_INSTANCE Instance, PFLT_FILTER Filter, PFILE_OBJECT FileObject, SIZE_T Size,
                                      PHandleTrack* Track) {
    if (Track == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Track = nullptr;

    PFLT_CONTEXT existing = nullptr;
    NTSTATUS status = FltGetStreamHandleContext(Instance, FileObject, &existing);
    if (status != STATUS_NOT_FOUND) {
        if (NT_SUCCESS(status)) {
            *Track = static_cast<PHandleTrack>(existing);  // the look-up's reference
        }
        return status;
    }

    if (Size > 0xFFFF) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PFLT_CONTEXT created = nullptr;
    status = FltAllocateContext(Filter, FLT_STREAMHANDLE_CONTEXT, Size, DriverPoolType, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The Filter Manager hands the memory over as it was.
    RtlZeroMemory(created, Size);

    PFLT_CONTEXT attached = nullptr;
    status = FltSetStreamHandleContext(Instance, FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, created, &attached);
    if (attached != nullptr) {
        // Another thread attached a record first; it stays, ours goes.
        FltReleaseContext(attached);
    }
    if (!NT_SUCCESS(status)) {
        FltReleaseContext(created);  // the allocation's reference: this frees it
        return status;
    }
    // The attachment holds its own reference; the allocation's becomes the
    // caller's.
    *Track = static_cast<PHandleTrack>(created);
    return status;
}

NTSTATUS FilterDeleteHandleTrack(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject) {
    PFLT_CONTEXT removed = nullptr;
    const NTSTATUS status = FltDeleteStreamHandleContext(Instance, FileObject, &removed);
    if (removed != nullptr) {
        FltReleaseContext(removed);  // the attachment's reference
    }
    return status;
}

NTSTATUS FilterQueryFileId(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PULONG64 FileId) {
    if (FileId == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *FileId = 0;
    // The query goes to the file system, which is only allowed at passive level.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_NOT_SUPPORTED;
    }
    FILE_INTERNAL_INFORMATION internal;
    internal.IndexNumber.QuadPart = 0;
    const NTSTATUS status =
        FltQueryInformationFile(Instance, FileObject, &internal, sizeof(internal), FileInternalInformation, nullptr);
    if (NT_SUCCESS(status)) {
        *FileId = static_cast<ULONG64>(internal.IndexNumber.QuadPart);
    }
    return status;
}

BOOLEAN FilterIsRename(PFLT_PARAMETERS SetInformation) {
    if (SetInformation == nullptr) {
        return FALSE;
    }
    const FILE_INFORMATION_CLASS infoClass = SetInformation->SetFileInformation.FileInformationClass;
    // A link record has the rename record's layout and names a new place too.
    return (infoClass == FileRenameInformation || infoClass == FileRenameInformationEx || infoClass == FileLinkInformation ||
            infoClass == FileLinkInformationEx)
               ? TRUE
               : FALSE;
}

// Releases the name a record holds and forgets it, so that whichever of
// post-cleanup and the context's cleanup comes first releases it, and only once.
VOID FilterHandleTrackReleaseName(PHandleTrack Track) {
    if (Track == nullptr) {
        return;
    }
    PFLT_FILE_NAME_INFORMATION const nameInfo = Track->NameInfo;
    Track->NameInfo = nullptr;
    FilterReleaseName(nameInfo);
}

// Runs when the last reference to a record goes, and gives its name back then:
// post-cleanup only detaches the record, so a callback still holding a
// reference keeps reading a live name.
VOID FLTAPI FilterHandleTrackCleanup(PFLT_CONTEXT Context, FLT_CONTEXT_TYPE ContextType) {
    if (ContextType != FLT_STREAMHANDLE_CONTEXT) {
        return;
    }
    FilterHandleTrackReleaseName(static_cast<PHandleTrack>(Context));
}

VOID FilterReleaseName(PFLT_FILE_NAME_INFORMATION NameInfo) {
    if (NameInfo != nullptr) {
        FltReleaseFileNameInformation(NameInfo);
    }
}

VOID FilterReleaseContext(PFLT_CONTEXT Context) {
    if (Context != nullptr) {
        FltReleaseContext(Context);
    }
}
