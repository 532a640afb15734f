// The process monitor: the creation and exit notifications that grow and
// shrink the watched set and report starts and exits, and their registration.
#pragma once

#include "platform/kernel.h"

VOID NTAPI ProcMonNotifyEx(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);
VOID NTAPI ProcMonNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);

// The image file's path in device form, as one pool block (tag TagImageName)
// holding a UNICODE_STRING header and then the text. *ImageName must be null
// on entry and receives the block only on success; the caller frees it.
NTSTATUS ProcMonGetImageName(HANDLE ProcessId, PUNICODE_STRING* ImageName);

// Registers the extended notification where the kernel exports it, else the
// legacy one. Only a registration that succeeded is remembered, so that
// ProcMonStop removes exactly what was registered; a failed one leaves the
// driver loaded without process notifications.
VOID ProcMonStart();
// Removes the registered notification, which waits for the calls in flight,
// then waits until the deferred process events queued so far have been sent.
// Runs before the port and the filter go; a second call does nothing.
VOID ProcMonStop();
