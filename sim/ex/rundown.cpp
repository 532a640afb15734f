// Rundown protection: ExInitializeRundownProtection, ExAcquireRundownProtection,
// ExReleaseRundownProtection, ExWaitForRundownProtectionRelease and
// ExReInitializeRundownProtection. The count lives in the driver's
// EX_RUNDOWN_REF as on Windows (users times 2, bit 0 set once the rundown has
// begun); one host lock and condition stand for the kernel's interlocked
// updates and its wait block.
#include "sim/ke/core.h"

#include <condition_variable>
#include <mutex>

namespace {

constexpr ULONG_PTR kRundownActive = 1;

struct RundownState {
    std::mutex lock;
    std::condition_variable released;
};

RundownState& R() {
    static RundownState* state = new RundownState;  // never destroyed: worker threads may outlive static destruction
    return *state;
}

}  // namespace

extern "C" VOID NTAPI ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    sim::Count("ExInitializeRundownProtection");
    std::lock_guard<std::mutex> guard(R().lock);
    RunRef->Count = 0;
}

extern "C" VOID NTAPI ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef) {
    sim::Count("ExReInitializeRundownProtection");
    std::lock_guard<std::mutex> guard(R().lock);
    if (RunRef->Count != kRundownActive) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "ExReInitializeRundownProtection on a rundown that has not completed",
                      reinterpret_cast<ULONG_PTR>(RunRef), RunRef->Count);
    }
    RunRef->Count = 0;
}

extern "C" BOOLEAN NTAPI ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef) {
    sim::Count("ExAcquireRundownProtection");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "ExAcquireRundownProtection");
    std::lock_guard<std::mutex> guard(R().lock);
    if ((RunRef->Count & kRundownActive) != 0) {
        return FALSE;
    }
    RunRef->Count += 2;
    return TRUE;
}

extern "C" VOID NTAPI ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef) {
    sim::Count("ExReleaseRundownProtection");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "ExReleaseRundownProtection");
    {
        std::lock_guard<std::mutex> guard(R().lock);
        if (RunRef->Count < 2) {
            sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                          "ExReleaseRundownProtection without a matching acquisition", reinterpret_cast<ULONG_PTR>(RunRef),
                          RunRef->Count);
        }
        RunRef->Count -= 2;
    }
    R().released.notify_all();
}

extern "C" VOID NTAPI ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef) {
    sim::Count("ExWaitForRundownProtectionRelease");
    sim::RequireIrqlAtMost(APC_LEVEL, "ExWaitForRundownProtectionRelease");
    std::unique_lock<std::mutex> guard(R().lock);
    // From here on acquisitions fail; the users already in finish.
    RunRef->Count |= kRundownActive;
    R().released.wait(guard, [&] { return RunRef->Count == kRundownActive; });
}
