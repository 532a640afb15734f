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

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    BOOLEAN markOnly = FALSE;

    // The system buffer is kernel memory that the I/O manager owns; nothing
    // here touches client memory, so serving a request cannot fault.
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_GET_VERSION:
        status = CtlGetVersion(buffer, outputLength, &information);
        break;
    case IOCTL_CLEAR_PROCESSES:
        status = CtlClearProcesses(&information);
        markOnly = TRUE;
        break;
    case IOCTL_ADD_PROCESS:
        status = CtlAddProcess(buffer, inputLength, &information);
        markOnly = TRUE;
        break;
    case IOCTL_SET_BACKUP_DIR:
        status = CtlSetBackupDir(buffer, inputLength, &information);
        markOnly = TRUE;
        break;
    case IOCTL_CLEAR_FILE_IDS:
        status = CtlClearFileIds(&information);
        markOnly = TRUE;
        break;
    default:
        break;
    }

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
