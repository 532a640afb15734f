// The control device's dispatch routines and the handlers of its control codes.
#pragma once

#include "platform/kernel.h"

NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Each handler gets the system buffer, the length that matters to it and the
// cell for the request's information value.
NTSTATUS CtlGetVersion(PVOID Buffer, ULONG OutputLength, PULONG_PTR Information);
NTSTATUS CtlClearProcesses(PULONG_PTR Information);
NTSTATUS CtlAddProcess(PVOID Buffer, ULONG InputLength, PULONG_PTR Information);
NTSTATUS CtlSetBackupDir(PVOID Buffer, ULONG InputLength, PULONG_PTR Information);
NTSTATUS CtlClearFileIds(PULONG_PTR Information);
