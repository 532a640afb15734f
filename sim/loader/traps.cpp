// What the processor does for an image's kernel-mode code that it refuses a
// user process: reading and writing CR8 (the IRQL), `int 0x29` (fast fail),
// and faults that the kernel turns into exceptions or bug checks.
//
// While an image is loaded a handler for SIGSEGV, SIGBUS, SIGILL and SIGFPE
// looks at every such signal. One whose instruction pointer lies outside every
// image goes to the handler that was there before. For one inside an image
// the handler only copies the thread's context into a record on the thread's
// own stack, below the faulting frame, and returns into
// sim_loader_trap_entry with that record; everything else (decoding the
// instruction, the model's IRQL, the bug checks, exception dispatch) happens
// there, outside the signal handler, on the faulting thread.
#include "sim/loader/internal.h"

#include "sim/ke/stack.h"

#include "sim/ke/core.h"
#include "sim/ps/ps.h"

#include <signal.h>
#include <ucontext.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace sim::loader {

namespace {

constexpr ULONG kBugPageFaultInNonpagedArea = 0x50;
constexpr ULONG kBugDriverIrqlNotLessOrEqual = 0xD1;
constexpr NTSTATUS kStatusIntegerOverflow = static_cast<NTSTATUS>(0xC0000095L);
// Room left below the faulting frame before the trap record: the restore of a
// context builds its block just below the resumed stack pointer.
constexpr uintptr_t kTrapGap = 512;

struct alignas(64) Trap {
    Context context;
    int signal;
    int code;
    uint64_t address;
    uint64_t errorCode;
};

struct sigaction gPrevious[NSIG];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};

void Forward(int signal, siginfo_t* info, void* context) {
    const struct sigaction& previous = gPrevious[signal];
    if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN && previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        return;
    }
    // The default action: put it back and return; the instruction traps again
    // and the process ends with the signal, as it would have.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
}

__attribute__((no_sanitize("address", "undefined"))) void OnTrap(int signal, siginfo_t* info, void* raw) {
    auto* uc = static_cast<ucontext_t*>(raw);
    greg_t* g = uc->uc_mcontext.gregs;
    // A fault below a kernel stack stops the run before anything is written
    // below the faulting frame (there is no room there).
    if (signal == SIGSEGV) {
        StopIfKernelStackOverflow(reinterpret_cast<uintptr_t>(info->si_addr), static_cast<uintptr_t>(g[REG_RIP]));
    }
    if (!AddressInImage(static_cast<uintptr_t>(g[REG_RIP]))) {
        Forward(signal, info, raw);
        return;
    }
    // Below the faulting frame; and when the handler runs on the same stack
    // (no alternate signal stack), below the handler's own frame and the
    // kernel's signal frame too, which it must not overwrite before it returns.
    const uintptr_t faulting = static_cast<uintptr_t>(g[REG_RSP]);
    uintptr_t top = faulting - kTrapGap;
    uintptr_t here;
    asm volatile("movq %%rsp, %0" : "=r"(here));
    if (here < faulting && faulting - here < (uintptr_t{1} << 20)) {
        top = std::min(top, here - 256);
    }
    const uintptr_t at = (top - sizeof(Trap)) & ~uintptr_t{63};
    Trap* trap = reinterpret_cast<Trap*>(at);
    auto* words = reinterpret_cast<volatile uint64_t*>(trap);
    for (size_t i = 0; i < sizeof(Trap) / 8; ++i) {
        words[i] = 0;
    }
    Context& c = trap->context;
    c.ContextFlags = kContextFull;
    c.SegCs = 0x10;
    c.SegSs = 0x18;
    c.Rax = g[REG_RAX];
    c.Rcx = g[REG_RCX];
    c.Rdx = g[REG_RDX];
    c.Rbx = g[REG_RBX];
    c.Rsp = g[REG_RSP];
    c.Rbp = g[REG_RBP];
    c.Rsi = g[REG_RSI];
    c.Rdi = g[REG_RDI];
    c.R8 = g[REG_R8];
    c.R9 = g[REG_R9];
    c.R10 = g[REG_R10];
    c.R11 = g[REG_R11];
    c.R12 = g[REG_R12];
    c.R13 = g[REG_R13];
    c.R14 = g[REG_R14];
    c.R15 = g[REG_R15];
    c.Rip = g[REG_RIP];
    c.EFlags = static_cast<uint32_t>(g[REG_EFL]);
    if (uc->uc_mcontext.fpregs != nullptr) {
        const auto* fp = uc->uc_mcontext.fpregs;
        c.MxCsr = fp->mxcsr;
        c.FxMxCsr = fp->mxcsr;
        c.ControlWord = fp->cwd;
        for (int i = 0; i < 16; ++i) {
            c.Xmm[i].low = fp->_xmm[i].element[0] | (uint64_t{fp->_xmm[i].element[1]} << 32);
            c.Xmm[i].high = fp->_xmm[i].element[2] | (uint64_t{fp->_xmm[i].element[3]} << 32);
        }
    } else {
        c.MxCsr = 0x1F80;
    }
    trap->signal = signal;
    trap->code = info->si_code;
    trap->address = reinterpret_cast<uint64_t>(info->si_addr);
    trap->errorCode = static_cast<uint64_t>(g[REG_ERR]);
    g[REG_RDI] = static_cast<greg_t>(at);
    g[REG_RSP] = static_cast<greg_t>(at - 16);
    g[REG_RIP] = reinterpret_cast<greg_t>(&sim_loader_trap_entry);
}

std::string Bytes(const uint8_t* code, size_t count) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < count; ++i) {
        std::snprintf(byte, sizeof(byte), "%s%02X", i == 0 ? "" : " ", code[i]);
        text += byte;
    }
    return text;
}

const char* FastFailName(uint64_t code) {
    switch (code) {
    case 2: return "a stack cookie check failed";
    case 3: return "a corrupted list entry";
    case 10: return "an invalid indirect call target";
    default: return "a security check failed";
    }
}

[[noreturn]] void Unsupported(const Context& c, const uint8_t* code, const char* what) {
    std::fprintf(stderr, "\n*** simulated kernel: the image at %s executed %s (bytes %s), which the model does not emulate\n",
                 DescribeAddress(c.Rip).c_str(), what, Bytes(code, 4).c_str());
    std::fflush(stderr);
    std::abort();
}

// An instruction the processor refuses in user mode and a kernel runs: the
// model answers CR8 (its IRQL of this thread) and fast fail, and stops on the
// rest by name. FALSE when it is none of these (a general-protection fault
// on a memory access).
// TRUE when the instruction's legacy prefixes name the GS segment.
bool UsesGs(const uint8_t* code) {
    for (size_t i = 0; i < 4; ++i) {
        switch (code[i]) {
        case 0x65:
            return true;
        case 0x26: case 0x2E: case 0x36: case 0x3E: case 0x64: case 0x66: case 0x67: case 0xF0: case 0xF2: case 0xF3:
            continue;
        default:
            return false;
        }
    }
    return false;
}

bool EmulatePrivileged(Context& c) {
    const uint8_t* code = reinterpret_cast<const uint8_t*>(c.Rip);
    size_t at = 0;
    uint8_t rex = 0;
    if ((code[0] & 0xF0) == 0x40) {
        rex = code[0];
        at = 1;
    }
    if (code[at] == 0x0F && (code[at + 1] == 0x20 || code[at + 1] == 0x22)) {
        const uint8_t modrm = code[at + 2];
        const unsigned cr = ((modrm >> 3) & 7) | ((rex & 4) != 0 ? 8 : 0);
        const unsigned reg = (modrm & 7) | ((rex & 1) != 0 ? 8 : 0);
        if (cr != 8 || (modrm >> 6) != 3) {
            Unsupported(c, code, "a move to or from a control register other than CR8");
        }
        ThreadState& state = CurrentThreadState();
        if (code[at + 1] == 0x20) {
            c.Reg(reg) = state.irql;
        } else {
            const KIRQL irql = static_cast<KIRQL>(c.Reg(reg) & 0xF);
            if (irql > state.irql) {
                RaiseIrql(irql);
            } else if (irql < state.irql) {
                LowerIrql(irql);
            }
        }
        c.Rip += at + 3;
        return true;
    }
    if (rex == 0 && code[0] == 0xCD && code[1] == 0x29) {
        const uint64_t failCode = static_cast<uint32_t>(c.Rcx);
        BugCheck(kBugKernelSecurityCheckFailure, "KERNEL_SECURITY_CHECK_FAILURE",
                 "fast fail with code " + std::to_string(failCode) + " (" + FastFailName(failCode) + ") at " +
                     DescribeAddress(c.Rip),
                 failCode, c.Rip);
    }
    const uint8_t op = code[at];
    const bool privileged =
        op == 0xF4 || op == 0xFA || op == 0xFB || op == 0xCD || (op >= 0xE4 && op <= 0xE7) || (op >= 0xEC && op <= 0xEF) ||
        (op >= 0x6C && op <= 0x6F) ||
        (op == 0x0F && (code[at + 1] <= 0x01 || code[at + 1] == 0x06 || code[at + 1] == 0x08 || code[at + 1] == 0x09 ||
                        code[at + 1] == 0x21 || code[at + 1] == 0x23 || code[at + 1] == 0x30 || code[at + 1] == 0x32));
    if (privileged) {
        Unsupported(c, code, "a privileged instruction");
    }
    return false;
}

}  // namespace

void InstallTrapHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_sigaction = OnTrap;
        action.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&action.sa_mask);
        for (int signal : kSignals) {
            sigaction(signal, &action, &gPrevious[signal]);
        }
    });
}

}  // namespace sim::loader

using sim::loader::Context;
using sim::loader::ExceptionRecord;

extern "C" [[noreturn]] void sim_loader_dispatch_trap(void* raw) {
    using namespace sim::loader;
    const Trap* trap = static_cast<const Trap*>(raw);
    Context context = trap->context;
    ExceptionRecord record{};
    record.ExceptionAddress = context.Rip;
    bool pageFault = false;
    uint64_t access = 0;  // 0 read, 1 write, 8 execute
    switch (trap->signal) {
    case SIGSEGV:
        // In a kernel GS holds the processor's control region (the current
        // thread, the IRQL's home, the processor number); the model keeps
        // those elsewhere and gives images no such region.
        if (UsesGs(reinterpret_cast<const uint8_t*>(context.Rip))) {
            Unsupported(context, reinterpret_cast<const uint8_t*>(context.Rip),
                        "an access through GS (the processor control region, read by the kit's inline "
                        "KeGetCurrentThread and PsGetCurrentThread)");
        }
        if (trap->code == SI_KERNEL) {
            // A general-protection fault: a privileged instruction, or a
            // memory access the processor refused without a page fault (a
            // non-canonical address), which reports no address.
            if (EmulatePrivileged(context)) {
                ResumeContext(context);
            }
            record.ExceptionCode = static_cast<uint32_t>(STATUS_ACCESS_VIOLATION);
            record.NumberParameters = 2;
            record.ExceptionInformation[0] = 0;
            record.ExceptionInformation[1] = ~uint64_t{0};
        } else {
            pageFault = true;
            record.ExceptionCode = static_cast<uint32_t>(STATUS_ACCESS_VIOLATION);
        }
        break;
    case SIGBUS:
        pageFault = true;
        record.ExceptionCode = static_cast<uint32_t>(STATUS_IN_PAGE_ERROR);
        break;
    case SIGILL: {
        // Run under an instruction-set emulator (callgrind, for the cost
        // tool's image figures) a control-register move arrives as an
        // illegal instruction where the processor raises a general-protection
        // fault: it is the same instruction, answered the same way.
        const uint8_t* code = reinterpret_cast<const uint8_t*>(context.Rip);
        const size_t at = (code[0] & 0xF0) == 0x40 ? 1 : 0;
        if (code[at] == 0x0F && (code[at + 1] == 0x20 || code[at + 1] == 0x22) && EmulatePrivileged(context)) {
            ResumeContext(context);
        }
        record.ExceptionCode = static_cast<uint32_t>(STATUS_ILLEGAL_INSTRUCTION);
        break;
    }
    case SIGFPE:
        record.ExceptionCode = static_cast<uint32_t>(trap->code == FPE_INTOVF ? kStatusIntegerOverflow
                                                                               : STATUS_INTEGER_DIVIDE_BY_ZERO);
        break;
    default:
        break;
    }
    if (pageFault) {
        const uint64_t address = trap->address;
        access = (trap->errorCode & 0x10) != 0 ? 8 : (trap->errorCode & 0x2) != 0 ? 1 : 0;
        record.NumberParameters = 3;
        record.ExceptionInformation[0] = access;
        record.ExceptionInformation[1] = address;
        record.ExceptionInformation[2] = static_cast<uint64_t>(record.ExceptionCode);
        const KIRQL irql = sim::CurrentThreadState().irql;
        const char* accessName = access == 8 ? "executing" : access == 1 ? "writing" : "reading";
        if (irql >= DISPATCH_LEVEL) {
            sim::BugCheck(kBugDriverIrqlNotLessOrEqual, "DRIVER_IRQL_NOT_LESS_OR_EQUAL",
                          std::string("page fault ") + accessName + " " + DescribeAddress(address) + " at IRQL " +
                              std::to_string(irql) + " from " + DescribeAddress(context.Rip),
                          address, irql, access, context.Rip);
        }
        if (address >= UserProbeAddress()) {
            // Only user addresses are the driver's to guard: a fault on any
            // other stops the system whatever handlers there are.
            sim::BugCheck(kBugPageFaultInNonpagedArea, "PAGE_FAULT_IN_NONPAGED_AREA",
                          std::string("page fault ") + accessName + " " + DescribeAddress(address) +
                              " (not a user address) from " + DescribeAddress(context.Rip),
                          address, access == 8 ? 0x10 : access == 1 ? 2 : 0, context.Rip, 0);
        }
    }
    DispatchException(record, context, CurrentLevel());
}
