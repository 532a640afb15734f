// Executive: pool, fast mutexes, IRQL, debug print, fast-fail.
#pragma once

#include "sim/public/ntdef.h"

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolNx = 512,
} POOL_TYPE;

// Same size as the real x64 FAST_MUTEX (56 bytes). The simulated kernel keeps
// its own state (owner, saved IRQL, host lock) behind Reserved.
typedef struct _FAST_MUTEX {
    LONG Count;
    PVOID Owner;
    ULONG Contention;
    PVOID Reserved[3];  // the event's place
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;
static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX is 56 bytes on x64");

// Rundown protection: a count of users that teardown can wait out. Count is
// twice the users, plus 1 once the rundown has begun (no new users then).
typedef struct _EX_RUNDOWN_REF {
    union {
        ULONG_PTR Count;
        PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;
static_assert(sizeof(EX_RUNDOWN_REF) == 8, "EX_RUNDOWN_REF is 8 bytes on x64");

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#define KERNEL_SECURITY_CHECK_FAILURE 0x139

extern "C" {

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

NTKERNELAPI VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);

// The system halts: on the host this ends the run with a named report.
[[noreturn]] NTKERNELAPI VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
[[noreturn]] VOID RtlFailFast(ULONG Code);

// Kernel format directives (%wZ, %ws, %I64x...), which the host compiler's printf
// checking does not know: no format attribute.
ULONG DbgPrint(PCSTR Format, ...);

}  // extern "C"
