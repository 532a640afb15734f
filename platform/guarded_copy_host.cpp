// Guarded copy on the host build, the way the kernel's exception handling
// guards a copy of client memory: the copy runs as plain loads and stores,
// and a fault on the client's range (unmapped page, read-only page for a
// write, non-canonical address) comes back as STATUS_ACCESS_VIOLATION.
//
// A SIGSEGV/SIGBUS handler is installed once. While a thread copies, a
// thread-local pointer names the jump buffer it set with sigsetjmp (without
// saving the signal mask: no system call on the path where the range is
// good); a fault on that thread jumps back and the copy reports the
// violation. The handler is installed with SA_NODEFER, so the signal is not
// left blocked after the jump (and the fault path unblocks it in case a
// sanitizer's wrapper registered it otherwise). A fault anywhere else goes to the handler that
// was there before (a sanitizer's, or the default one, which ends the
// process as before).
//
// The copy loop is not instrumented by AddressSanitizer or ThreadSanitizer:
// the client's range is untrusted memory that the loop itself probes, as the
// kernel's copy does, and a sanitizer's interceptor would touch it outside
// the guard. It is written so the compiler cannot turn it into a call to
// memcpy.
#include "platform/kernel.h"

#include <csetjmp>
#include <csignal>
#include <pthread.h>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace {

thread_local sigjmp_buf* tGuard = nullptr;

struct sigaction gPreviousSegv;
struct sigaction gPreviousBus;

void Forward(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = signal == SIGBUS ? gPreviousBus : gPreviousSegv;
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        return;
    }
    // Default action: restore it and return; the faulting instruction runs
    // again and the process ends with the signal, as it would have.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* context) {
    sigjmp_buf* guard = tGuard;
    if (guard != nullptr) {
        tGuard = nullptr;
        siglongjmp(*guard, 1);
    }
    Forward(signal, info, context);
}

void InstallHandler() {
    struct sigaction action {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_NODEFER | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousSegv);
    sigaction(SIGBUS, &action, &gPreviousBus);
}

std::once_flag gInstalled;

__attribute__((no_sanitize("address", "thread"), noinline)) void CopyBytes(unsigned char* destination,
                                                                          const unsigned char* source, SIZE_T length) {
    SIZE_T i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t word;
        __builtin_memcpy(&word, source + i, 8);
        __builtin_memcpy(destination + i, &word, 8);
        // Keeps the loop a loop (no memcpy call) and its accesses in order.
        asm volatile("" ::: "memory");
    }
    for (; i < length; ++i) {
        destination[i] = source[i];
        asm volatile("" ::: "memory");
    }
}

NTSTATUS CopyGuarded(void* destination, const void* source, SIZE_T length) {
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (destination == nullptr || source == nullptr) {
        return STATUS_ACCESS_VIOLATION;
    }
    std::call_once(gInstalled, InstallHandler);
    sigjmp_buf guard;
    if (sigsetjmp(guard, 0) != 0) {
        // The handler cleared tGuard before jumping back. A sanitizer may
        // have registered the handler without SA_NODEFER, leaving the signal
        // blocked after the jump; unblock it (a system call on this path
        // only), or the next fault would end the process.
        sigset_t faults;
        sigemptyset(&faults);
        sigaddset(&faults, SIGSEGV);
        sigaddset(&faults, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &faults, nullptr);
        return STATUS_ACCESS_VIOLATION;
    }
    tGuard = &guard;
    asm volatile("" ::: "memory");
    CopyBytes(static_cast<unsigned char*>(destination), static_cast<const unsigned char*>(source), length);
    asm volatile("" ::: "memory");
    tGuard = nullptr;
    return STATUS_SUCCESS;
}

}  // namespace

namespace {

}  // namespace

// The simulated kernel: FALSE when the range is a request's view of another
// process's buffer than the current thread's (sim/user/memory.h).
namespace sim::user {
bool UserRangeInContext(const void* address, size_t length);
}

namespace {

// TRUE if [Address, Address + Length) lies wholly in user space, as the
// Windows build checks it: a kernel address is never touched on a client's
// behalf. Length is non-zero here.
bool RangeIsUser(const void* address, SIZE_T length) {
    const auto start = reinterpret_cast<ULONG_PTR>(address);
    const ULONG_PTR end = start + length;
    return start != 0 && end >= start && end <= MmUserProbeAddress;
}

}  // namespace

extern "C" NTSTATUS PlatformCopyFromClient(PVOID KernelDestination, const VOID* ClientSource, SIZE_T Length) {
    if (Length != 0 && !RangeIsUser(ClientSource, Length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    if (Length != 0 && !sim::user::UserRangeInContext(ClientSource, Length)) {
        return STATUS_ACCESS_VIOLATION;  // unmapped in this process's address space
    }
    return CopyGuarded(KernelDestination, ClientSource, Length);
}

extern "C" NTSTATUS PlatformCopyToClient(PVOID ClientDestination, const VOID* KernelSource, SIZE_T Length) {
    if (Length != 0 && !RangeIsUser(ClientDestination, Length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    if (Length != 0 && !sim::user::UserRangeInContext(ClientDestination, Length)) {
        return STATUS_ACCESS_VIOLATION;
    }
    return CopyGuarded(ClientDestination, KernelSource, Length);
}

namespace sim {

// The model's own copies between its memory and a program's buffers (the
// Filter Manager's message framing, a connection's context): guarded the same
// way, without the user-range check, since the program's memory is host memory.
NTSTATUS CopyFromProgram(void* destination, const void* programSource, size_t length) {
    return CopyGuarded(destination, programSource, length);
}

NTSTATUS CopyToProgram(void* programDestination, const void* source, size_t length) {
    return CopyGuarded(programDestination, source, length);
}

}  // namespace sim
