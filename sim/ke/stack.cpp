// Kernel stacks: see sim/ke/stack.h.
//
// Each host thread gets one mapping the first time it enters the kernel:
//
//   [ no-access (kGuardBytes) | stack (kKernelStackSize) | signal stack ]
//
// The signal stack lies above the kernel stack, so a handler that runs for a
// fault on the kernel stack never shares it. A fault in the no-access part is
// a stack overflow: the handler (installed with the first stack, and asked
// first by the loader's own) stops the run with the bug check Windows gives.
// Windows has one guard page; the model's no-access part is larger so that a
// frame that skips the first page below the stack still lands in it.
#include "sim/ke/stack.h"

#include "sim/ke/core.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <mutex>

#if defined(__SANITIZE_ADDRESS__)
#define VETRONA_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VETRONA_ASAN_FIBERS 1
#endif
#endif
#ifdef VETRONA_ASAN_FIBERS
#include <sanitizer/common_interface_defs.h>
#endif

extern "C" void sim_ke_call_on_stack(void (*routine)(void*), void* argument, void* top);

namespace sim {

namespace {

constexpr ULONG kBugUnexpectedKernelModeTrap = 0x7F;
constexpr ULONG_PTR kDoubleFault = 8;
constexpr size_t kGuardBytes = 0x10000;
constexpr size_t kSignalStackBytes = 0x10000;
// Above a callback in a program's thread: the trap frame and the system
// service (about 1 KB), the I/O manager's or configuration manager's path to
// the driver (about 2 KB), the Filter Manager's dispatch and callback loop
// (about 2 KB). Above a worker thread's routine: its start and the worker loop.
constexpr size_t kShareSystemCall = 0x1400;
constexpr size_t kShareSystemThread = 0x400;
// A request a driver makes from its routine: the I/O manager's and the
// object manager's frames (an open's parse), the Filter Manager's dispatch,
// and the file system's deepest path below the filters (about 4 KB in all).
constexpr size_t kShareNestedRequest = 0x1000;

// The current thread's stack: plain words, read by the signal handler.
struct StackRange {
    uintptr_t mapping = 0;  // start of the no-access part
    uintptr_t low = 0;      // lowest usable byte of the stack
    uintptr_t top = 0;      // one past the highest
    uintptr_t end = 0;      // end of the mapping (after the signal stack)
    int depth = 0;          // outermost calls running on it (0 or 1)
    bool dirty = false;     // written since it was last cleared for measuring
};
__thread StackRange tStack;

// Frees the thread's mapping when the thread ends.
struct StackOwner {
    ~StackOwner() {
        if (tStack.mapping != 0) {
            stack_t none{};
            none.ss_flags = SS_DISABLE;
            stack_t current{};
            if (sigaltstack(nullptr, &current) == 0 &&
                reinterpret_cast<uintptr_t>(current.ss_sp) == tStack.top) {
                sigaltstack(&none, nullptr);
            }
            munmap(reinterpret_cast<void*>(tStack.mapping), tStack.end - tStack.mapping);
            tStack = StackRange{};
        }
    }
};
thread_local StackOwner tOwner;

std::mutex gHighWaterLock;
std::map<std::string, size_t>& HighWater() {
    static auto* table = new std::map<std::string, size_t>();
    return *table;
}
std::atomic<bool> gMeasuring{false};
std::atomic<bool> gSwitching{true};

struct sigaction gPrevious;

void Forward(int signal, siginfo_t* info, void* context) {
    if ((gPrevious.sa_flags & SA_SIGINFO) != 0 && gPrevious.sa_sigaction != nullptr) {
        gPrevious.sa_sigaction(signal, info, context);
        return;
    }
    if (gPrevious.sa_handler != SIG_DFL && gPrevious.sa_handler != SIG_IGN && gPrevious.sa_handler != nullptr) {
        gPrevious.sa_handler(signal);
        return;
    }
    // The default action: put it back and return; the access faults again
    // and the process ends with the signal, as it would have.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

void OnFault(int signal, siginfo_t* info, void* raw) {
    uintptr_t instruction = 0;
#if defined(__x86_64__)
    instruction = static_cast<uintptr_t>(static_cast<ucontext_t*>(raw)->uc_mcontext.gregs[REG_RIP]);
#endif
    StopIfKernelStackOverflow(reinterpret_cast<uintptr_t>(info->si_addr), instruction);
    Forward(signal, info, raw);
}

void InstallHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &gPrevious);
    });
}

void Allocate() {
    const size_t total = kGuardBytes + kKernelStackSize + kSignalStackBytes;
    void* at = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) {
        std::fprintf(stderr, "simulated kernel: cannot map a kernel stack (%s)\n", std::strerror(errno));
        std::abort();
    }
    const uintptr_t base = reinterpret_cast<uintptr_t>(at);
    if (mprotect(at, kGuardBytes, PROT_NONE) != 0) {
        std::fprintf(stderr, "simulated kernel: cannot guard a kernel stack (%s)\n", std::strerror(errno));
        std::abort();
    }
    tStack.mapping = base;
    tStack.low = base + kGuardBytes;
    tStack.top = tStack.low + kKernelStackSize;
    tStack.end = base + total;
    tStack.dirty = true;  // not filled for measuring yet
    (void)&tOwner;  // constructed with the thread's first use, destroyed at its end
    // A thread that has a signal stack (the sanitizers give each thread one)
    // keeps it; one without gets the part above its kernel stack.
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) != 0) {
        stack_t alternate{};
        alternate.ss_sp = reinterpret_cast<void*>(tStack.top);
        alternate.ss_size = kSignalStackBytes;
        sigaltstack(&alternate, nullptr);
    }
    InstallHandler();
}

uintptr_t StackPointer() {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
}

struct Entry {
    void (*routine)(void*);
    void* argument;
#ifdef VETRONA_ASAN_FIBERS
    void* fakeStack = nullptr;
    const void* outerBottom = nullptr;
    size_t outerSize = 0;
#endif
};

void Enter(void* raw) {
    auto* entry = static_cast<Entry*>(raw);
#ifdef VETRONA_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(entry->fakeStack, &entry->outerBottom, &entry->outerSize);
#endif
    entry->routine(entry->argument);
#ifdef VETRONA_ASAN_FIBERS
    // Every frame this call made on the kernel stack is gone: no fake stack to keep.
    __sanitizer_start_switch_fiber(nullptr, entry->outerBottom, entry->outerSize);
#endif
}

// Unused stack holds this word while measuring; a frame that writes it
// exactly at its deepest point is not seen, so a figure may be a word short.
constexpr uint64_t kUnused = 0xC5C5C5C5C5C5C5C5ull;

__attribute__((no_sanitize("address", "thread"))) void Fill(uintptr_t from, uintptr_t to) {
    auto* words = reinterpret_cast<uint64_t*>(from);
    for (size_t i = 0; i < (to - from) / 8; ++i) {
        words[i] = kUnused;
    }
}

// The deepest word written below `start` since the stack was last filled.
__attribute__((no_sanitize("address", "thread"))) size_t MeasureAndClear(const char* kind, uintptr_t start) {
    const auto* words = reinterpret_cast<const uint64_t*>(tStack.low);
    const size_t count = (start - tStack.low) / 8;
    size_t i = 0;
    while (i < count && words[i] == kUnused) ++i;
    const uintptr_t deepest = tStack.low + i * 8;
    Fill(deepest, start);
    const size_t used = tStack.top - deepest;
    std::lock_guard<std::mutex> guard(gHighWaterLock);
    size_t& high = HighWater()[kind];
    high = std::max(high, used);
    return used;
}

}  // namespace

size_t StackShareAbove(StackEntry entry) {
    switch (entry) {
    case StackEntry::SystemThread: return kShareSystemThread;
    case StackEntry::NestedRequest: return kShareNestedRequest;
    case StackEntry::SystemCall: break;
    }
    return kShareSystemCall;
}

bool OnKernelStackNow() {
    const uintptr_t here = StackPointer();
    return tStack.depth > 0 && here >= tStack.low && here < tStack.top;
}

size_t KernelStackRemaining() {
    const uintptr_t here = StackPointer();
    return OnKernelStackNow() ? here - tStack.low : 0;
}

void RunOnKernelStack(const char* kind, StackEntry which, void (*routine)(void*), void* argument) {
    if (OnKernelStackNow() || !gSwitching.load(std::memory_order_relaxed)) {
        routine(argument);
        return;
    }
    if (tStack.mapping == 0) {
        Allocate();
    }
    const bool measuring = gMeasuring.load(std::memory_order_relaxed);
    if (measuring && tStack.dirty) {
        Fill(tStack.low, tStack.top);
        tStack.dirty = false;
    }
    const uintptr_t start = tStack.top - StackShareAbove(which);
    Entry entry{routine, argument};
    struct Depth {
        Depth() { ++tStack.depth; }
        ~Depth() { --tStack.depth; }
    };
    {
        const Depth depth;
#ifdef VETRONA_ASAN_FIBERS
        void* fake = nullptr;
        __sanitizer_start_switch_fiber(&fake, reinterpret_cast<const void*>(tStack.low), start - tStack.low);
        entry.fakeStack = nullptr;
#endif
        sim_ke_call_on_stack(&Enter, &entry, reinterpret_cast<void*>(start));
#ifdef VETRONA_ASAN_FIBERS
        __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    }
    if (measuring) {
        MeasureAndClear(kind, start);
    } else {
        tStack.dirty = true;
    }
}

void ChargeKernelStack(size_t bytes, void (*routine)(void*), void* argument) {
    if (!OnKernelStackNow() || bytes == 0) {
        routine(argument);
        return;
    }
    // The space is taken (and touched from the top down, as frames are) the
    // way a call chain of that depth takes it: past the end it faults in the
    // no-access part.
    volatile uint8_t* space = static_cast<volatile uint8_t*>(__builtin_alloca(bytes));
    for (size_t at = bytes; at > 0;) {
        at = at > 256 ? at - 256 : 0;
        space[at] = 1;
    }
    routine(argument);
    asm volatile("" ::"r"(space) : "memory");
}

void SetKernelStackMeasuring(bool on) { gMeasuring.store(on); }
void SetKernelStackSwitching(bool on) { gSwitching.store(on); }

std::map<std::string, size_t> KernelStackHighWater() {
    std::lock_guard<std::mutex> guard(gHighWaterLock);
    return HighWater();
}

void ResetKernelStackHighWater() {
    std::lock_guard<std::mutex> guard(gHighWaterLock);
    HighWater().clear();
}

void StopIfKernelStackOverflow(uintptr_t address, uintptr_t instruction) {
    if (tStack.mapping == 0 || address < tStack.mapping || address >= tStack.low) {
        return;
    }
    // In a signal handler on the signal stack: a fixed buffer, no allocation.
    char text[256];
    std::snprintf(text, sizeof(text),
                  "\n*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX)\n"
                  "*** UNEXPECTED_KERNEL_MODE_TRAP\n"
                  "*** kernel stack overflow: an access %zu bytes below the %zu-byte kernel stack, from %#llx\n",
                  static_cast<unsigned>(kBugUnexpectedKernelModeTrap), static_cast<unsigned long long>(kDoubleFault),
                  static_cast<unsigned long long>(address), static_cast<unsigned long long>(instruction), 0ull,
                  static_cast<size_t>(tStack.low - address), kKernelStackSize,
                  static_cast<unsigned long long>(instruction));
    const ssize_t written = write(STDERR_FILENO, text, std::strlen(text));
    (void)written;
    std::abort();
}

}  // namespace sim
