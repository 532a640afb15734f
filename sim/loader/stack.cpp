// Calls from the model into an image, and the stack the image's frames use.
//
// Each call into an image (DriverCall) is a level: the stack pointer where the
// model called in (the mark), the lowest stack pointer the image's import
// calls were made at, and the import calls still running (their records live
// in the stubs' frames, see boundary.S). Levels nest when a routine the image
// called calls into an image again. The depth of a level is the mark less the
// lowest stack pointer: the stack the image's own frames used, measured at the
// points where they call the model, where a call chain is deepest in practice.
// It is reported per kind of call and held to kImageStackBudget.
#include "sim/loader/internal.h"

#include "sim/ke/core.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

extern "C" {
// The current thread's innermost level, read by the import stubs.
__attribute__((tls_model("initial-exec"))) __thread sim::loader::detail::CallLevel* sim_loader_level = nullptr;
}

namespace sim::loader {

namespace {

constexpr ULONG kBugUnexpectedKernelModeTrap = 0x7F;
constexpr ULONG_PTR kDoubleFault = 8;
constexpr ULONG_PTR kFastFailGuardIcallCheckFailure = 10;
constexpr size_t kKernelStackSize = 0x6000;

std::mutex gHighWaterLock;
std::map<std::string, size_t> gHighWater;

}  // namespace

detail::CallLevel* CurrentLevel() { return sim_loader_level; }
void SetCurrentLevel(detail::CallLevel* level) { sim_loader_level = level; }

void EnterLevel(detail::CallLevel* level, const Image* image, const char* kind, uintptr_t mark, bool crossable) {
    level->top = nullptr;
    level->mark = mark;
    level->lowest = mark;
    level->imageBase = reinterpret_cast<uintptr_t>(image->base);
    level->imageSize = image->size;
    level->kind = kind;
    level->image = image;
    level->crossable = crossable;
    level->outer = sim_loader_level;
    sim_loader_level = level;
}

void LeaveLevel(detail::CallLevel* level) {
    sim_loader_level = level->outer;
    const size_t depth = level->mark - level->lowest;
    std::lock_guard<std::mutex> guard(gHighWaterLock);
    size_t& high = gHighWater[level->kind];
    if (depth > high) {
        high = depth;
    }
}

Context ContextFromRecord(const detail::ImportRecord& record) {
    Context context{};
    context.ContextFlags = kContextFull;
    context.MxCsr = 0x1F80;
    context.FxMxCsr = 0x1F80;
    context.EFlags = 0x202;
    context.Rip = *reinterpret_cast<const uint64_t*>(record.rsp);
    context.Rsp = record.rsp + 8;
    context.Rbx = record.rbx;
    context.Rbp = record.rbp;
    context.Rdi = record.rdi;
    context.Rsi = record.rsi;
    context.R12 = record.r12;
    context.R13 = record.r13;
    context.R14 = record.r14;
    context.R15 = record.r15;
    for (int i = 0; i < 10; ++i) {
        context.Xmm[6 + i] = record.xmm[i];
    }
    return context;
}

void PopRecordsBelow(detail::CallLevel* level, uintptr_t stackPointer) {
    while (level->top != nullptr && level->top->rsp < stackPointer) {
        level->top = level->top->prev;
    }
}

void GuardCheckFailure(uintptr_t target, const char* how) {
    BugCheck(kBugKernelSecurityCheckFailure, "KERNEL_SECURITY_CHECK_FAILURE",
             std::string(how) + " to " + DescribeAddress(target) +
                 ", which is not a valid call target (not in the image's control-flow guard table nor a kernel export)",
             kFastFailGuardIcallCheckFailure, target);
}

// The mark is the caller's stack pointer at its call of this constructor,
// which is where it calls the driver's routine next: the caller's frame is
// fixed by then.
__attribute__((noinline)) DriverCall::DriverCall(const void* target, const char* kind) {
    if (!AnyImageLoaded()) {
        return;
    }
    const Image* image = FindImage(target);
    if (image == nullptr) {
        return;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(target);
    if (!IsValidCallTarget(address)) {
        GuardCheckFailure(address, (std::string("the kernel's call of a ") + kind).c_str());
    }
    const uintptr_t mark = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) + 16;
    EnterLevel(&level_, image, kind, mark, true);
    active_ = true;
}

DriverCall::~DriverCall() {
    if (active_) {
        LeaveLevel(&level_);
    }
}

std::map<std::string, size_t> StackHighWater() {
    std::lock_guard<std::mutex> guard(gHighWaterLock);
    return gHighWater;
}

void ResetStackHighWater() {
    std::lock_guard<std::mutex> guard(gHighWaterLock);
    gHighWater.clear();
}

}  // namespace sim::loader

// --- called from boundary.S -----------------------------------------------------
using sim::loader::ImportSlot;
using sim::loader::detail::CallLevel;

extern "C" [[noreturn]] void sim_loader_over_budget(CallLevel* level, size_t depth, const ImportSlot* slot) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "kernel stack overflow: the image's own frames used %zu bytes in a %s call, past their budget of "
                  "%zu bytes of the %zu-byte kernel stack (at its call of %s!%s)",
                  depth, level->kind, sim::loader::kImageStackBudget, sim::loader::kKernelStackSize,
                  slot->module.c_str(), slot->name.c_str());
    sim::BugCheck(sim::loader::kBugUnexpectedKernelModeTrap, "UNEXPECTED_KERNEL_MODE_TRAP", text,
                  sim::loader::kDoubleFault, depth);
}

extern "C" [[noreturn]] void sim_loader_outside_call(const ImportSlot* slot, uintptr_t returnAddress) {
    std::fprintf(stderr,
                 "\n*** simulated kernel: %s called %s!%s outside any call from the model "
                 "(the model's call of this driver routine lacks a sim::loader::DriverCall)\n",
                 sim::loader::DescribeAddress(returnAddress).c_str(), slot->module.c_str(), slot->name.c_str());
    std::fflush(stderr);
    std::abort();
}

extern "C" __attribute__((ms_abi)) int sim_loader_guard_valid(uintptr_t target) {
    return sim::loader::IsValidCallTarget(target) ? 1 : 0;
}

extern "C" [[noreturn]] void sim_loader_guard_dispatch_failed(uintptr_t target) {
    sim::loader::GuardCheckFailure(target, "an indirect call");
}

extern "C" [[noreturn]] void sim_loader_guard_check_failed(uintptr_t target) {
    sim::loader::GuardCheckFailure(target, "an indirect call");
}
