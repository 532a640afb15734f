// I/O manager: IRPs with stack locations, sending a request down a device
// stack and waiting for it, and completion with its routines.
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/io/local.h"

#include "sim/ps/ps.h"

#include <map>
#include <optional>

namespace sim {
namespace {

// Freed IRPs are kept a while so a late completion is caught.
constexpr size_t kFreedIrpQuarantine = 256;

PIRP AllocateIrpp(CHAR stackSize) {
    auto state = std::make_unique<IrpState>();
    state->stack.resize(static_cast<size_t>(stackSize) + 1);  // one spare slot past the end for the pointer
    IRP& irp = state->irp;
    irp.Type = kIoTypeIrp;
    irp.Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp.StackCount = stackSize;
    irp.CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp.Tail.Overlay.CurrentStackLocation = state->stack.data() + stackSize;
    irp.Tail.Overlay.Thread = CurrentThread();
    irp.RequestorMode = UserMode;
    PIRP result = &state->irp;
    std::lock_guard<std::mutex> guard(S().lock);
    S().irps[result] = std::move(state);
    return result;
}

void FreeIrpp(PIRP irp) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().irps.find(irp);
    if (it == S().irps.end()) {
        return;
    }
    S().freedIrps.push_back(std::move(it->second));
    S().irps.erase(it);
    while (S().freedIrps.size() > kFreedIrpQuarantine) {
        S().freedIrps.pop_front();
    }
}

// Sends a request built by `setup` to the top of `file`'s device and waits
// for its completion. Returns the completed status and Information.
template <typename Setup>
NTSTATUS SendRequestp(PFILE_OBJECT file, UCHAR major, Setup&& setup, ULONG_PTR* information) {
    *information = 0;
    PDEVICE_OBJECT device = file->DeviceObject;
    PIRP irp = AllocateIrpp(device->StackSize);
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    setup(irp, next);

    NTSTATUS returned = IofCallDriver(device, irp);
    IrpState* state;
    {
        std::unique_lock<std::mutex> guard(S().lock);
        state = S().irps.at(irp).get();
        if (returned == STATUS_PENDING) {
            state->done.wait(guard, [&] { return state->completed; });
        } else if (!state->completed) {
            BugCheck(kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                     "dispatch routine returned without completing the request (major function " + std::to_string(major) +
                         ")",
                     reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG_PTR>(returned));
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (returned != STATUS_PENDING && returned != status) {
        BugCheck(kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "dispatch routine returned a status other than the one it completed the request with",
                 reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG_PTR>(returned), static_cast<ULONG_PTR>(status));
    }
    *information = irp->IoStatus.Information;
    FreeIrpp(irp);
    return status;
}

}  // namespace

namespace io {

namespace {
std::mutex gLastCompletionLock;
std::map<UCHAR, Completion> gLastCompletion;
}  // namespace

NTSTATUS SendRequest(PFILE_OBJECT file, UCHAR majorFunction, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                     ULONG_PTR* information) {
    NTSTATUS status = SendRequestp(file, majorFunction, setup, information);
    std::lock_guard<std::mutex> guard(gLastCompletionLock);
    gLastCompletion[majorFunction] = {status, *information};
    return status;
}

std::optional<Completion> LastCompletion(UCHAR majorFunction) {
    std::lock_guard<std::mutex> guard(gLastCompletionLock);
    auto it = gLastCompletion.find(majorFunction);
    if (it == gLastCompletion.end()) {
        return std::nullopt;
    }
    return it->second;
}

void ForgetCompletions() {
    std::lock_guard<std::mutex> guard(gLastCompletionLock);
    gLastCompletion.clear();
}

namespace {
const bool kCompletionsReset = (RegisterResetHook("io-completions", ForgetCompletions), true);
}  // namespace

}  // namespace io
}  // namespace sim

using sim::S;

// ---------------------------------------------------------------------------
// Driver-visible routines.

extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Count("IofCallDriver");
    --Irp->CurrentLocation;
    if (Irp->CurrentLocation <= 0) {
        sim::BugCheck(sim::kBugNoMoreIrpStackLocations, "NO_MORE_IRP_STACK_LOCATIONS",
                      "IofCallDriver with no stack location left for the lower device", reinterpret_cast<ULONG_PTR>(Irp));
    }
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    sim::DriverContextScope context(DeviceObject->DriverObject);
    const char* kind = sim::loader::DispatchKind(stack->MajorFunction);
    NTSTATUS status = STATUS_SUCCESS;
    sim::OnKernelStack(kind, sim::StackEntry::SystemCall, [&] {
        const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(dispatch), kind);
        const sim::CallbackEntry entry = sim::EnterDriverCallback();
        status = dispatch(DeviceObject, Irp);
        sim::CheckCallbackReturn(entry, "dispatch routine");
    });
    return status;
}

extern "C" VOID NTAPI IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
    sim::Count("IofCompleteRequest");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    sim::IrpState* state = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto it = S().irps.find(Irp);
        if (it != S().irps.end()) {
            state = it->second.get();
        }
    }
    if (state == nullptr || state->completed || Irp->CurrentLocation > Irp->StackCount) {
        sim::BugCheck(sim::kBugMultipleIrpCompleteRequests, "MULTIPLE_IRP_COMPLETE_REQUESTS",
                      "a request was completed that is already complete", reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        sim::BugCheck(sim::kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                      "IofCompleteRequest with STATUS_PENDING", reinterpret_cast<ULONG_PTR>(Irp));
    }
    // Walk up the stack running completion routines.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        ++Irp->CurrentLocation;
        ++Irp->Tail.Overlay.CurrentStackLocation;
        PDEVICE_OBJECT upper =
            Irp->CurrentLocation > Irp->StackCount ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        bool success = NT_SUCCESS(Irp->IoStatus.Status);
        bool invoke = routine != nullptr &&
                      ((success && (control & SL_INVOKE_ON_SUCCESS)) || (!success && (control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;  // the upper driver owns the request again
            }
        } else if (Irp->PendingReturned && upper != nullptr) {
            IoMarkIrpPending(Irp);
        }
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        state->completed = true;
    }
    state->done.notify_all();
}

