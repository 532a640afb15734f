// The control device: opening and closing it, its five control codes, and the
// requests of every other major function.
#include "driver/control.h"

#include "channel/wire.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

static const char CtlpVersionText[] = VETRONA_VERSION_TEXT;
static_assert(sizeof(CtlpVersionText) == 8, "the version answer is eight bytes, terminator included");

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    // Who may open the device is decided by its security descriptor alone.
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS CtlGetVersion(PVOID Buffer, ULONG OutputLength, PULONG_PTR Information) {
    *Information = 0;
    if (Buffer == nullptr || OutputLength < sizeof(CtlpVersionText)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlCopyMemory(Buffer, CtlpVersionText, sizeof(CtlpVersionText));
    *Information = sizeof(CtlpVersionText);
    return STATUS_SUCCESS;
}

NTSTATUS CtlClearProcesses(PULONG_PTR Information) {
    *Information = 0;
    IdListClearPids(&DriverData.ProcessList);
    *Information = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CtlAddProcess(PVOID Buffer, ULONG InputLength, PULONG_PTR Information) {
    *Information = 0;
    if (Buffer == nullptr || InputLength < sizeof(ULONG)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    ULONG pid = 0;
    RtlCopyMemory(&pid, Buffer, sizeof(pid));
    NTSTATUS status = IdListAddPid(&DriverData.ProcessList, pid);
    if (status == STATUS_SUCCESS) {
        *Information = 1;
    }
    return status;
}

NTSTATUS CtlSetBackupDir(PVOID Buffer, ULONG InputLength, PULONG_PTR Information) {
    *Information = 0;
    if (Buffer == nullptr && InputLength != 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    // A UTF-16 path has an even length, and a counted string holds at most
    // StrMaxLength bytes: anything else is refused and the old folder stays.
    if ((InputLength & 1) != 0 || InputLength > StrMaxLength) {
        return STATUS_INVALID_PARAMETER;
    }

    // The copy is made before Lock is taken; it is none for an empty path or
    // an exhausted pool, and the folder is then simply unset.
    PCOUNTED_STRING folder = nullptr;
    if (Buffer != nullptr) {
        folder = StrFromBuffer(Buffer, InputLength, TagString);
    }

    DriverDataLock();
    StrFree(DriverData.BackupDir, TagString);
    DriverData.BackupDir = folder;
    DriverDataUnlock();

    *Information = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CtlClearFileIds(PULONG_PTR Information) {
    *Information = 0;
    IdListClearFileIds(&DriverData.FileIdList);
    *Information = 1;
    return STATUS_SUCCESS;
}

// One control request as its handler sees it, and what the handler answered.
struct CTLP_REQUEST {
    ULONG Code;
    PVOID Buffer;
    ULONG InputLength;
    ULONG OutputLength;
    ULONG_PTR Information;
    NTSTATUS Status;
    BOOLEAN MarkOnly;  // the information value is a success mark, not a byte count
};

// Chooses the handler by the control code; a code not in the table leaves
// the request's status and information as they are.
static VOID CtlpServe(PVOID Context) {
    CTLP_REQUEST* request = static_cast<CTLP_REQUEST*>(Context);
    switch (request->Code) {
    case IOCTL_GET_VERSION:
        request->Status = CtlGetVersion(request->Buffer, request->OutputLength, &request->Information);
        break;
    case IOCTL_CLEAR_PROCESSES:
        request->MarkOnly = TRUE;
        request->Status = CtlClearProcesses(&request->Information);
        break;
    case IOCTL_ADD_PROCESS:
        request->MarkOnly = TRUE;
        request->Status = CtlAddProcess(request->Buffer, request->InputLength, &request->Information);
        break;
    case IOCTL_SET_BACKUP_DIR:
        request->MarkOnly = TRUE;
        request->Status = CtlSetBackupDir(request->Buffer, request->InputLength, &request->Information);
        break;
    case IOCTL_CLEAR_FILE_IDS:
        request->MarkOnly = TRUE;
        request->Status = CtlClearFileIds(&request->Information);
        break;
    default:
        break;
    }
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    CTLP_REQUEST request;
    request.Code = stack->Parameters.DeviceIoControl.IoControlCode;
    request.Buffer = Irp->AssociatedIrp.SystemBuffer;
    request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    request.Information = 0;
    request.Status = STATUS_UNSUCCESSFUL;
    request.MarkOnly = FALSE;

    // The handlers run under an exception guard. None of today's can raise
    // (the system buffer is kernel memory the I/O manager owns), but a
    // handler that one day touches client memory or calls a routine that
    // raises must not take the system down. An exception fails the request;
    // it is still completed once, below, and carries no bytes out.
    if (PlatformCallGuarded(CtlpServe, &request) != STATUS_SUCCESS) {
        request.Status = STATUS_UNSUCCESSFUL;
        request.Information = 0;
    }
    PVOID buffer = request.Buffer;
    ULONG outputLength = request.OutputLength;
    ULONG_PTR information = request.Information;
    NTSTATUS status = request.Status;
    BOOLEAN markOnly = request.MarkOnly;

    // When the caller gave an output buffer, the I/O manager copies
    // `information` bytes of the system buffer back to it on any non-error
    // status: the value never runs past that buffer, and a success mark never
    // carries input or stale system-buffer bytes out. Without an output buffer
    // nothing is copied and the value is only reported.
    if (outputLength != 0) {
        if (information > outputLength) {
            information = outputLength;
        }
        if (markOnly && buffer != nullptr && information != 0) {
            RtlZeroMemory(buffer, information);
        }
    }

    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    // A device with an extension keeps its lower device in the extension's
    // second pointer-sized field; such a request goes down unchanged.
    if (DeviceObject != nullptr && DeviceObject->DeviceExtension != nullptr) {
        PDEVICE_OBJECT lower = static_cast<PDEVICE_OBJECT*>(DeviceObject->DeviceExtension)[1];
        if (lower != nullptr) {
            IoSkipCurrentIrpStackLocation(Irp);
            return IoCallDriver(lower, Irp);
        }
    }

    // The control device has no extension: no other major function is served.
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
