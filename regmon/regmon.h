// The registry monitor's configuration-manager callback.
#pragma once

#include "platform/kernel.h"

NTSTATUS NTAPI RegMonCallback(PVOID CallbackContext, PVOID Argument1, PVOID Argument2);
