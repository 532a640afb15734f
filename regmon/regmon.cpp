// The registry monitor's configuration-manager callback.
//
// For now it reports nothing: every notification returns STATUS_SUCCESS at once
// and the registry operation goes on unchanged.
#include "regmon/regmon.h"

NTSTATUS NTAPI RegMonCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2) {
    UNREFERENCED_PARAMETER(CallbackContext);
    UNREFERENCED_PARAMETER(Argument1);
    UNREFERENCED_PARAMETER(Argument2);
    return STATUS_SUCCESS;
}
