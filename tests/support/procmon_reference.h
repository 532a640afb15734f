// The process notifications in the order first written for them: each routine
// fetches the image name before it asks whether the process concerned is
// watched. Tests and benchmarks register these in place of the driver's own
// routines to show that asking first changes no event, verdict or list
// change, and what it saves.
#pragma once

#include "platform/kernel.h"

namespace vtest {

VOID NTAPI ReferenceProcMonNotifyEx(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);
VOID NTAPI ReferenceProcMonNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);

// Swaps the driver's registered extended routine for the reference one (or
// back). The driver must have registered the extended routine.
void UseReferenceProcessNotification(bool reference);

}  // namespace vtest
