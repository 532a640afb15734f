// Guarded copy and guarded call on Windows. The client's range is checked
// against the highest user address first, so a kernel address is never touched on a client's behalf
// (a fault there could not be caught). Inside the range a page may still be
// missing or protected, or be unmapped by another of the client's threads while
// we copy: the copy runs under a structured exception handler and a fault comes
// back as its exception code, STATUS_ACCESS_VIOLATION for a bad page.
//
// PlatformCallGuarded runs a driver routine under the same kind of handler, so
// driver code, which the g++ build cannot give a __try of its own, still has
// its work guarded.
//
// This file is compiled with clang for the mingw target and -fms-extensions
// (the toolchain's g++ has no __try). The faulting instructions must sit in a
// routine called from the guarded block: a guarded block that makes no call gets
// no entry in the scope table, and its faults would not be caught.
#include "platform/kernel.h"

namespace {

// The byte copy. Kept out of line (see above); volatile so that the compiler
// neither merges it into a call we do not control nor reorders the accesses
// around the guard.
__attribute__((noinline)) void GuardedCopyBytesp(volatile UCHAR* Destination, const volatile UCHAR* Source,
                                                 SIZE_T Length) {
    for (SIZE_T i = 0; i < Length; ++i) {
        Destination[i] = Source[i];
    }
}

// TRUE if [Address, Address + Length) lies wholly in user space. Length is
// non-zero here.
BOOLEAN GuardedRangeIsUserp(const VOID* Address, SIZE_T Length) {
    const ULONG_PTR start = (ULONG_PTR)Address;
    const ULONG_PTR end = start + Length;
    if (start == 0 || end < start) {
        return FALSE;
    }
    return (BOOLEAN)(end <= (ULONG_PTR)MmUserProbeAddress);
}

NTSTATUS GuardedCopyp(PVOID Destination, const VOID* Source, SIZE_T Length) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        GuardedCopyBytesp((volatile UCHAR*)Destination, (const volatile UCHAR*)Source, Length);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}

}  // namespace

extern "C" NTSTATUS PlatformCopyFromClient(PVOID KernelDestination, const VOID* ClientSource, SIZE_T Length) {
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (KernelDestination == NULL || !GuardedRangeIsUserp(ClientSource, Length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    return GuardedCopyp(KernelDestination, ClientSource, Length);
}

extern "C" NTSTATUS PlatformCopyToClient(PVOID ClientDestination, const VOID* KernelSource, SIZE_T Length) {
    if (Length == 0) {
        return STATUS_SUCCESS;
    }
    if (KernelSource == NULL || !GuardedRangeIsUserp(ClientDestination, Length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    return GuardedCopyp(ClientDestination, KernelSource, Length);
}

extern "C" NTSTATUS PlatformCallGuarded(PLATFORM_GUARDED_ROUTINE Routine, PVOID Context) {
    NTSTATUS status = STATUS_SUCCESS;
    __try {
        Routine(Context);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        status = GetExceptionCode();
    }
    return status;
}
