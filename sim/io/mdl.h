// Memory descriptor lists: how a paging write hands the file system its data
// (no user buffer, an MDL describing locked pages). The model's pages are the
// host memory the MDL was built over, so the system address a routine maps is
// that memory itself. Host code only; drivers reach these routines through
// the platform header when they need them.
#pragma once

#include "sim/ke/core.h"

// The layout of the platform's MDL header (x64): the fields a driver may read.
typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_IO_SPACE 0x0800

typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
typedef enum _LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 } LOCK_OPERATION;

extern "C" {
// An MDL for Length bytes at VirtualAddress (not yet locked); null when the
// length does not fit an MDL or no memory is left. Secondary MDLs and IRPs
// are not modelled.
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, struct _IRP* Irp);
// Frees an MDL; its pages must have been unlocked (or never locked).
VOID NTAPI IoFreeMdl(PMDL Mdl);
// Locks the pages an MDL describes (they stay resident until MmUnlockPages).
VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID NTAPI MmUnlockPages(PMDL Mdl);
// Describes nonpaged memory: no locking needed, the address is its own system address.
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl);
// The system address of the MDL's memory, mapping it if need be; null when
// the mapping cannot be made (a fault the model can inject by this name).
// The pages must be locked or nonpaged. (On the platform a macro over
// MmMapLockedPagesSpecifyCache.)
PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
}

namespace sim::io {
// MDLs allocated and not yet freed.
size_t LiveMdlCount();
}  // namespace sim::io
