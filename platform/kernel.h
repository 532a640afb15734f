// The one header driver code includes. It selects the platform: the driver kit's
// headers (plus our Filter Manager declarations) for the Windows image, or the
// simulated kernel for the host build. Nothing else in the driver may test which
// platform it is built for.
#pragma once

#if defined(VETRONA_TARGET_WINDOWS)
#include "windows/wdk.h"
// UTF-16 literal: wchar_t is 16 bits on Windows.
#define VETRONA_WIDE(s) L##s
#else
#include "sim/public/kernel.h"
// UTF-16 literal: WCHAR is char16_t on the host, where wchar_t is 32 bits.
#define VETRONA_WIDE(s) u##s
#endif

// Client buffers (the port's message buffers) are touched only through these two
// routines. A fault in the client's range comes back as the exception's status
// (STATUS_ACCESS_VIOLATION) instead of stopping the system. A length of 0 copies
// nothing and succeeds.
extern "C" NTSTATUS PlatformCopyFromClient(PVOID KernelDestination, const VOID* ClientSource, SIZE_T Length);
extern "C" NTSTATUS PlatformCopyToClient(PVOID ClientDestination, const VOID* KernelSource, SIZE_T Length);

// Runs Routine(Context) under a structured exception guard. An exception raised
// while it runs ends it there and comes back as the exception's code (never
// STATUS_SUCCESS); what the routine did before the exception stays done, and
// nothing it held is released for it. Without an exception: STATUS_SUCCESS.
typedef VOID (*PLATFORM_GUARDED_ROUTINE)(PVOID Context);
extern "C" NTSTATUS PlatformCallGuarded(PLATFORM_GUARDED_ROUTINE Routine, PVOID Context);
