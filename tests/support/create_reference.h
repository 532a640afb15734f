// The create path the long way round: pre-create asks for the file's name and
// classifies the open before it asks whether the process is watched, the order
// first written for it. Tests and benchmarks register it in place of the
// driver's own pre-create to show that asking the watched set first changes
// no event, verdict, status or tracked file, and what it saves.
#pragma once

#include "platform/kernel.h"

namespace vtest {

FLT_PREOP_CALLBACK_STATUS FLTAPI ReferenceFilterPreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects,
                                                          PVOID* CompletionContext);

// Puts `callback` in the place of the driver's registered pre-operation for
// `majorFunction` and returns the one it replaced (nullptr when the driver
// registered none). Only while no request of that kind is in flight.
PFLT_PRE_OPERATION_CALLBACK ReplacePreOperation(UCHAR majorFunction, PFLT_PRE_OPERATION_CALLBACK callback);

// Swaps the driver's pre-create for the reference one (or back).
void UseReferenceCreatePath(bool reference);

}  // namespace vtest
