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

// Dispatcher objects: the header every waitable object starts with.
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE {
    NotificationEvent = 0,
    SynchronizationEvent = 1,
} EVENT_TYPE;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

// The real x64 FAST_MUTEX. Once a mutex is first acquired, the simulated kernel
// keeps its own state (owner, saved IRQL, host lock) in the event's place: the
// event is only the kernel's, and the driver never touches it after
// initialising it.
typedef struct _FAST_MUTEX {
    LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

#define FM_LOCK_BIT 0x1

// Rundown protection: a count of users that teardown can wait out. Count is
// twice the users, plus 1 once the rundown has begun (no new users then).
typedef struct _EX_RUNDOWN_REF {
    union {
        ULONG_PTR Count;
        PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;
static_assert(sizeof(EX_RUNDOWN_REF) == 8, "EX_RUNDOWN_REF is 8 bytes on x64");

// A push lock: one pointer-sized word, opaque to the driver, initialised and
// taken through the Filter Manager's push-lock routines (windows/fltkernel.h).
typedef ULONG_PTR EX_PUSH_LOCK, *PEX_PUSH_LOCK;

#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#define KERNEL_SECURITY_CHECK_FAILURE 0x139

extern "C" {

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(PVOID P);

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
NTKERNELAPI VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex);

NTKERNELAPI VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef);

NTKERNELAPI KIRQL NTAPI KeGetCurrentIrql(VOID);

// Critical regions: normal kernel APCs stay away from the thread between the
// two calls, which nest. Push locks need one around them.
NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID);

// The lowest address above user space. A driver checks a client's range against
// it before touching the client's memory.
extern ULONG_PTR MmUserProbeAddress;

// The system halts: on the host this ends the run with a named report.
[[noreturn]] NTKERNELAPI VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4);
[[noreturn]] VOID RtlFailFast(ULONG Code);

// Kernel format directives (%wZ, %ws, %I64x...), which the host compiler's printf
// checking does not know: no format attribute.
// A variadic routine of the Windows convention, as the kernel's is.
ULONG NTAPI DbgPrint(PCSTR Format, ...);

}  // extern "C"

// As in the driver kit for x64, initialising a fast mutex is inline: it sets the
// count, owner and contention and initialises the mutex's event. A driver image
// does exactly this, so the model's acquire accepts only a mutex in this state
// (or one it already knows).
inline VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = FM_LOCK_BIT;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}
