// A followed handle from its first write to its cleanup: writes, raw disk
// writes through a volume handle, the close of a modified file with its backup
// copy, and the end of the handle's record.
#include "filemon/filemon.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

ULONG WritepCurrentPid() { return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }

// The cleanup's look-up: the gate, then the
// handle's record with a reference the caller releases.
PHandleTrack WritepLookUp(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects) {
    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return nullptr;
    }
    PHandleTrack track = nullptr;
    if (!NT_SUCCESS(FilterGetHandleTrack(FltObjects->Instance, FltObjects->FileObject, &track))) {
        return nullptr;
    }
    return track;
}

template <typename T, ULONG N>
BOOLEAN WritepListed(const T (&list)[N], T value) {
    for (ULONG i = 0; i < N; ++i) {
        if (list[i] == value) {
            return TRUE;
        }
    }
    return FALSE;
}

FLT_PREOP_CALLBACK_STATUS WritepDeny(PFLT_CALLBACK_DATA Data) {
    Data->IoStatus.Status = STATUS_ACCESS_DENIED;
    Data->IoStatus.Information = 0;
    return FLT_PREOP_COMPLETE;
}

}  // namespace

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreWrite(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    // The gate first: with monitoring off a write costs one byte read.
    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return result;
    }
    const ULONG pid = WritepCurrentPid();
    // A write with no bytes marks and reports nothing: tell it before the
    // handle's record is looked up.
    const OpParams params = FilterGetParams(Data->Iopb);
    PFLT_PARAMETERS const write = params.Write;
    if (write == nullptr || write->Write.Length == 0 || (write->Write.WriteBuffer == nullptr && write->Write.MdlAddress == nullptr)) {
        return result;
    }
    PHandleTrack track = nullptr;
    if (!NT_SUCCESS(FilterGetHandleTrack(FltObjects->Instance, FltObjects->FileObject, &track)) || track == nullptr) {
        return result;
    }
    // Any process that passes the gate marks the handle, watched or not.
    track->Written = 1;
    if (IdListHasPid(&DriverData.ProcessList, pid)) {
        const Verdict verdict = FileMonSendEvent(track->NameInfo, nullptr, FltObjects, Data->Iopb, FileOpWrite, &params, track);
        if (verdict == VerdictDeny) {
            result = WritepDeny(Data);
        }
    }
    FilterReleaseContext(track);
    return result;
}

FILE_OPERATION FilterClassifyDeviceControl(ULONG IrpFlags, PFLT_PARAMETERS DeviceControl) {
    if (DeviceControl == nullptr) {
        return FileOpNone;
    }
    const ULONG code = DeviceControl->DeviceIoControl.Buffered.IoControlCode;
    // A partition-table change is known by its code alone (deleting the layout
    // carries no buffer at all).
    if (WritepListed(FilterPartitionTableCodes, code)) {
        return FileOpScsiWrite;
    }
    if ((IrpFlags & IRP_BUFFERED_IO) == 0) {
        return FileOpNone;
    }
    const ULONG inputLength = DeviceControl->DeviceIoControl.Buffered.InputBufferLength;
    const UCHAR* const buffer = static_cast<const UCHAR*>(DeviceControl->DeviceIoControl.Buffered.SystemBuffer);
    // The classifier reads fixed bytes of the system buffer: a request without
    // one, or whose input stops short of them, is not a write it can recognise.
    if (buffer == nullptr) {
        return FileOpNone;
    }
    // The buffered and direct records share their layout up to the CDB and
    // the task file.
    if (code == IOCTL_SCSI_PASS_THROUGH_DIRECT || code == IOCTL_SCSI_PASS_THROUGH) {
        if (inputLength <= FilterScsiOpCodeOffset) {
            return FileOpNone;
        }
        const UCHAR opCode = buffer[FilterScsiOpCodeOffset];
        if (WritepListed(FilterScsiDestroyOpCodes, opCode)) {
            return FileOpScsiWrite;
        }
        const UCHAR direction = buffer[FilterScsiDataInOffset];
        const BOOLEAN dataOut = (direction == SCSI_IOCTL_DATA_OUT || direction == SCSI_IOCTL_DATA_UNSPECIFIED) ? TRUE : FALSE;
        return (dataOut && WritepListed(FilterScsiWriteOpCodes, opCode)) ? FileOpScsiWrite : FileOpNone;
    }
    if (code == IOCTL_ATA_PASS_THROUGH_DIRECT || code == IOCTL_ATA_PASS_THROUGH) {
        if (inputLength <= FilterAtaCommandOffset) {
            return FileOpNone;
        }
        const USHORT ataFlags = static_cast<USHORT>(buffer[FilterAtaFlagsOffset] | (buffer[FilterAtaFlagsOffset + 1] << 8));
        const UCHAR command = buffer[FilterAtaCommandOffset];
        if (WritepListed(FilterAtaDestroyCommands, command)) {
            return FileOpAtaWrite;
        }
        if ((ataFlags & ATA_FLAGS_DATA_OUT) != 0 && WritepListed(FilterAtaWriteCommands, command)) {
            return FileOpAtaWrite;
        }
        return FileOpNone;
    }
    return FileOpNone;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreDeviceControl(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                        PVOID* CompletionContext) {
    const ULONG pid = WritepCurrentPid();
    *CompletionContext = nullptr;
    FLT_PREOP_CALLBACK_STATUS result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    // Only a raw write by a watched process is reported: the request is
    // classified, and the process asked for, before the handle's record is
    // looked up.
    const OpParams params = FilterGetParams(Data->Iopb);
    const FILE_OPERATION operation = FilterClassifyDeviceControl(Data->Iopb->IrpFlags, params.DeviceControl);
    if (operation != FileOpScsiWrite && operation != FileOpAtaWrite) {
        return result;
    }
    if (!FilterIsWatchedRequest(Data->Thread, FltObjects->FileObject) || !IdListHasPid(&DriverData.ProcessList, pid)) {
        return result;
    }
    PHandleTrack track = nullptr;
    if (!NT_SUCCESS(FilterGetHandleTrack(FltObjects->Instance, FltObjects->FileObject, &track)) || track == nullptr) {
        return result;
    }
    const Verdict verdict = FileMonSendEvent(track->NameInfo, nullptr, FltObjects, Data->Iopb, operation, &params, track);
    if (verdict == VerdictDeny) {
        result = WritepDeny(Data);
    }
    FilterReleaseContext(track);
    return result;
}

FLT_PREOP_CALLBACK_STATUS FLTAPI FilterPreCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    PHandleTrack track = WritepLookUp(Data, FltObjects);
    if (track == nullptr) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    const ULONG pid = WritepCurrentPid();
    const OpParams params = {nullptr, nullptr, nullptr, nullptr, nullptr};
    if (track->Tracked == 1 && track->Written == 1 && IdListHasPid(&DriverData.ProcessList, pid)) {
        const Verdict verdict =
            FileMonSendEvent(track->NameInfo, nullptr, FltObjects, Data->Iopb, FileOpCloseModified, &params, track);
        if (verdict == VerdictBackup) {
            PCOUNTED_STRING folder = nullptr;
            DriverDataLock();
            if (DriverData.BackupDir != nullptr && DriverData.BackupDir->Length != 0) {
                folder = StrDuplicate(DriverData.BackupDir, TagString);
            }
            DriverDataUnlock();
            if (folder != nullptr) {
                PCOUNTED_STRING target = nullptr;
                (void)FileMonBackupFile(track->NameInfo, FltObjects, folder, &target);
                StrFree(target, TagString);
                StrFree(folder, TagString);
            }
        }
    }
    FilterReleaseContext(track);
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

// The record is detached first; its name goes with its last reference (the
// context's cleanup routine), so a callback that looked the record up before
// the detach still reads a live name.
FLT_POSTOP_CALLBACK_STATUS FLTAPI FilterPostCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID CompletionContext,
                                                    FLT_POST_OPERATION_FLAGS Flags) {
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(CompletionContext);
    // The instance is going away: it deletes its records itself, and nothing
    // of the request may be relied on now.
    if ((Flags & FLTFL_POST_OPERATION_DRAINING) != 0) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    PHandleTrack track = nullptr;
    if (!NT_SUCCESS(FilterGetHandleTrack(FltObjects->Instance, FltObjects->FileObject, &track)) || track == nullptr) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }
    (void)FilterDeleteHandleTrack(FltObjects->Instance, FltObjects->FileObject);
    FilterReleaseContext(track);
    return FLT_POSTOP_FINISHED_PROCESSING;
}
