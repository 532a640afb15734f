// Structured exception guards on the host: PlatformCallGuarded runs a routine
// with a guard frame on the thread's chain, and RaiseStatus unwinds to the
// innermost frame with the exception's code. When the thread is inside a
// routine a loaded driver image called, and no guard frame lies closer, the
// exception goes to the image's own exception dispatch instead (sim/loader).
// Only exceptions the model raises are caught (an injected raise,
// sim::InjectRaise); a host fault such as a wild pointer still ends the run,
// as a fault on a kernel address ends a real system whether guarded or not.
#include "platform/kernel.h"
#include "sim/loader/loader.h"
#include "sim/ke/core.h"

#include <csetjmp>
#include <cstdio>

namespace sim {

namespace {

constexpr ULONG kBugKmodeExceptionNotHandled = 0x1E;

struct GuardFrame {
    sigjmp_buf jump;
    NTSTATUS code = STATUS_SUCCESS;
    GuardFrame* outer = nullptr;
    uintptr_t stack = 0;  // where on the stack the guard was set
};

thread_local GuardFrame* tInnermost = nullptr;
thread_local int tDepth = 0;

}  // namespace

void RaiseStatus(NTSTATUS code) {
    GuardFrame* frame = tInnermost;
    loader::RaiseIntoImage(code, frame == nullptr ? 0 : frame->stack);
    if (frame == nullptr) {
        char text[64];
        std::snprintf(text, sizeof(text), "exception 0x%08X raised with no handler",
                      static_cast<unsigned>(code));
        BugCheck(kBugKmodeExceptionNotHandled, "KMODE_EXCEPTION_NOT_HANDLED", text,
                 static_cast<ULONG_PTR>(static_cast<ULONG>(code)));
    }
    frame->code = code;
    tInnermost = frame->outer;
    --tDepth;
    siglongjmp(frame->jump, 1);
}

int GuardDepth() { return tDepth; }

}  // namespace sim

extern "C" NTSTATUS PlatformCallGuarded(PLATFORM_GUARDED_ROUTINE Routine, PVOID Context) {
    sim::GuardFrame frame;
    frame.outer = sim::tInnermost;
    frame.stack = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    if (sigsetjmp(frame.jump, 0) != 0) {
        // RaiseStatus took the frame off the chain.
        return frame.code;
    }
    sim::tInnermost = &frame;
    ++sim::tDepth;
    Routine(Context);
    sim::tInnermost = frame.outer;
    --sim::tDepth;
    return STATUS_SUCCESS;
}
