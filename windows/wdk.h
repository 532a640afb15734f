// The Windows build's view of the platform: the cross toolchain's driver-kit
// headers, our Filter Manager declarations, and the few kernel declarations the
// toolchain's headers lack. Included only through platform/kernel.h.
#pragma once

// What the toolchain's headers need to describe an x64 kernel-mode build for
// Windows 10 and later.
#ifndef _AMD64_
#define _AMD64_ 1
#endif
#ifndef _KERNEL_MODE
#define _KERNEL_MODE 1
#endif
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000000
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#endif
// In C++ two of the headers' intrinsic declarations clash with the compiler's own.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

// The toolchain's list routines trust the links they are given. The kit's own
// ones check them and stop the system on a corrupt list, which is what we want a
// double removal to do; theirs are renamed out of the way and ours follow below.
#define InsertHeadList VetronaUncheckedInsertHeadList
#define InsertTailList VetronaUncheckedInsertTailList
#define RemoveEntryList VetronaUncheckedRemoveEntryList
#define RemoveHeadList VetronaUncheckedRemoveHeadList
#define RemoveTailList VetronaUncheckedRemoveTailList

#include <stddef.h>
#include <ntifs.h>
#include <ntddscsi.h>

#undef InsertHeadList
#undef InsertTailList
#undef RemoveEntryList
#undef RemoveHeadList
#undef RemoveTailList

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif

typedef struct _KTRANSACTION* PKTRANSACTION;
typedef PVOID* PPVOID;

#include "windows/fltkernel.h"

// ---------------------------------------------------------------------------
// Fast-fail and the list routines with the kit's integrity checks.

#ifndef FAST_FAIL_CORRUPT_LIST_ENTRY
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#endif
#ifndef KERNEL_SECURITY_CHECK_FAILURE
#define KERNEL_SECURITY_CHECK_FAILURE 0x139
#endif

// __fastfail: the code goes in ecx and int 0x29 raises the security-check
// failure (bug check 0x139, parameter 1 = the code). It never returns.
[[noreturn]] inline VOID RtlFailFast(ULONG Code) {
    __asm__ __volatile__("int $0x29" : : "c"(Code) : "memory");
    __builtin_unreachable();
}

#include "windows/checked_lists.h"

// ---------------------------------------------------------------------------
// The kit's ordered pointer accesses (inline there; the toolchain has none).
// On x64 an aligned pointer load or store is one instruction; the builtins keep
// the compiler from tearing, merging or moving it.
inline PVOID ReadPointerAcquire(PVOID const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

inline VOID WritePointerRelease(PVOID volatile* Destination, PVOID Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// The same for a byte: the switches the gates read while a set command writes them.
inline UCHAR ReadUCharAcquire(UCHAR const volatile* Source) {
    return __atomic_load_n(Source, __ATOMIC_ACQUIRE);
}

inline VOID WriteUCharRelease(UCHAR volatile* Destination, UCHAR Value) {
    __atomic_store_n(Destination, Value, __ATOMIC_RELEASE);
}

// ---------------------------------------------------------------------------
// The safe-string limits (the kit's ntstrsafe; the toolchain has none).
#ifndef NTSTRSAFE_MAX_CCH
#define NTSTRSAFE_MAX_CCH 2147483647
#endif
#ifndef NTSTRSAFE_UNICODE_STRING_MAX_CCH
#define NTSTRSAFE_UNICODE_STRING_MAX_CCH 32767
#endif

// ---------------------------------------------------------------------------
// File-information structures newer than the toolchain's headers.

#include "windows/fileinfo_ex.h"

static_assert(sizeof(FILE_RENAME_INFORMATION) == 24, "FILE_RENAME_INFORMATION");
static_assert(offsetof(FILE_RENAME_INFORMATION, RootDirectory) == 8, "Rename.RootDirectory");
static_assert(offsetof(FILE_RENAME_INFORMATION, FileNameLength) == 16, "Rename.FileNameLength");
static_assert(offsetof(FILE_RENAME_INFORMATION, FileName) == 20, "Rename.FileName");
static_assert(sizeof(FILE_LINK_INFORMATION) == 24, "FILE_LINK_INFORMATION");
static_assert(offsetof(FILE_LINK_INFORMATION, FileNameLength) == 16, "Link.FileNameLength");
static_assert(offsetof(FILE_LINK_INFORMATION, FileName) == 20, "Link.FileName");
static_assert(sizeof(FILE_DISPOSITION_INFORMATION) == 1, "FILE_DISPOSITION_INFORMATION");
static_assert(sizeof(FILE_INTERNAL_INFORMATION) == 8, "FILE_INTERNAL_INFORMATION");

// Layouts the driver reads that come from the toolchain's headers.
static_assert(sizeof(UNICODE_STRING) == 16 && offsetof(UNICODE_STRING, Buffer) == 8, "UNICODE_STRING");
static_assert(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48, "OBJECT_ATTRIBUTES");
static_assert(sizeof(IO_SECURITY_CONTEXT) == 24, "IO_SECURITY_CONTEXT");
static_assert(sizeof(FAST_MUTEX) == 56, "FAST_MUTEX");
static_assert(sizeof(PS_CREATE_NOTIFY_INFO) == 72, "PS_CREATE_NOTIFY_INFO");
static_assert(offsetof(PS_CREATE_NOTIFY_INFO, ImageFileName) == 48, "CreateInfo.ImageFileName");
static_assert(offsetof(PS_CREATE_NOTIFY_INFO, CreationStatus) == 64, "CreateInfo.CreationStatus");
static_assert(sizeof(RTL_OSVERSIONINFOW) == 276, "RTL_OSVERSIONINFOW");

// ---------------------------------------------------------------------------
// Kernel routines newer than the toolchain's headers (their imports are in
// windows/ntoskrnl-extra.def).

#ifndef POOL_FLAG_NON_PAGED
#define POOL_FLAG_REQUIRED_START 0x0000000000000001ULL
#define POOL_FLAG_USE_QUOTA 0x0000000000000001ULL
#define POOL_FLAG_UNINITIALIZED 0x0000000000000002ULL
#define POOL_FLAG_SESSION 0x0000000000000004ULL
#define POOL_FLAG_CACHE_ALIGNED 0x0000000000000008ULL
#define POOL_FLAG_RAISE_ON_FAILURE 0x0000000000000020ULL
#define POOL_FLAG_NON_PAGED 0x0000000000000040ULL
#define POOL_FLAG_NON_PAGED_EXECUTE 0x0000000000000080ULL
#define POOL_FLAG_PAGED 0x0000000000000100ULL
#endif
typedef ULONG64 POOL_FLAGS;

#ifndef MM_COPY_MEMORY_PHYSICAL
#define MM_COPY_MEMORY_PHYSICAL 0x1
#define MM_COPY_MEMORY_VIRTUAL 0x2
#endif

typedef struct _MM_COPY_ADDRESS {
    union {
        PVOID VirtualAddress;
        PHYSICAL_ADDRESS PhysicalAddress;
    };
} MM_COPY_ADDRESS, *PMM_COPY_ADDRESS;

// ---------------------------------------------------------------------------
// Storage pass-through requests (the toolchain's ntddscsi.h lacks one flag).

#ifndef ATA_FLAGS_NO_MULTIPLE
#define ATA_FLAGS_NO_MULTIPLE 0x20
#endif

static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && offsetof(SCSI_PASS_THROUGH, Cdb) == 36, "SCSI_PASS_THROUGH");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "SCSI_PASS_THROUGH_DIRECT");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == 12, "SPTD.DataTransferLength");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24, "SPTD.DataBuffer");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36, "SPTD.Cdb");
static_assert(sizeof(ATA_PASS_THROUGH_EX) == 48, "ATA_PASS_THROUGH_EX");
static_assert(sizeof(ATA_PASS_THROUGH_DIRECT) == 48, "ATA_PASS_THROUGH_DIRECT");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, DataBuffer) == 24, "APTD.DataBuffer");
static_assert(offsetof(ATA_PASS_THROUGH_DIRECT, CurrentTaskFile) == 40, "APTD.CurrentTaskFile");
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004 && IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014, "SCSI pass-through codes");
static_assert(IOCTL_ATA_PASS_THROUGH == 0x4D02C && IOCTL_ATA_PASS_THROUGH_DIRECT == 0x4D030, "ATA pass-through codes");

// ---------------------------------------------------------------------------
// Process access rights, notification routine types (the toolchain has only the
// pointer types).

#ifndef PROCESS_QUERY_INFORMATION
#define PROCESS_QUERY_INFORMATION 0x0400
#endif
#ifndef PROCESS_QUERY_LIMITED_INFORMATION
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif
typedef VOID NTAPI CREATE_PROCESS_NOTIFY_ROUTINE(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef VOID NTAPI CREATE_PROCESS_NOTIFY_ROUTINE_EX(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo);
static_assert(__is_same(CREATE_PROCESS_NOTIFY_ROUTINE*, PCREATE_PROCESS_NOTIFY_ROUTINE), "PCREATE_PROCESS_NOTIFY_ROUTINE");
static_assert(__is_same(CREATE_PROCESS_NOTIFY_ROUTINE_EX*, PCREATE_PROCESS_NOTIFY_ROUTINE_EX),
              "PCREATE_PROCESS_NOTIFY_ROUTINE_EX");

// Pointer types for routines the driver looks up with MmGetSystemRoutineAddress,
// so that it still loads on systems that lack them.
typedef NTSTATUS(NTAPI* PPS_SET_CREATE_PROCESS_NOTIFY_ROUTINE_EX)(PCREATE_PROCESS_NOTIFY_ROUTINE_EX NotifyRoutine,
                                                                   BOOLEAN Remove);
typedef NTSTATUS(NTAPI* PCM_REGISTER_CALLBACK_EX)(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver,
                                                   PVOID Context, PLARGE_INTEGER Cookie, PVOID Reserved);

extern "C" {

NTKERNELAPI PVOID NTAPI ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag);
NTKERNELAPI NTSTATUS NTAPI MmCopyMemory(PVOID TargetAddress, MM_COPY_ADDRESS SourceAddress, SIZE_T NumberOfBytes,
                                        ULONG Flags, PSIZE_T NumberOfBytesTransferred);
// Registry key names for callbacks (Windows 10 1703 and later; looked up at run time).
NTKERNELAPI NTSTATUS NTAPI CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                      PCUNICODE_STRING* ObjectName, ULONG Flags);
NTKERNELAPI VOID NTAPI CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName);
NTKERNELAPI NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                                        PSECURITY_DESCRIPTOR SecurityDescriptor);

}  // extern "C"

// Layouts shared with the simulated kernel, checked against the kit headers here.
#include "windows/layouts.h"
