// Machinery shared by every area of the simulated kernel: bugchecks, the
// "not implemented" stop, per-routine call counters, per-thread kernel state
// (IRQL, current simulated thread) and the reset of the whole kernel between
// tests. Host code only.
#pragma once

#include "sim/public/kernel.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct _EPROCESS;
struct _ETHREAD;

namespace sim {

// Bugcheck codes used by the model (the real codes).
constexpr ULONG kBugIrqlNotLessOrEqual = 0x0A;
constexpr ULONG kBugNoMoreIrpStackLocations = 0x35;
constexpr ULONG kBugMultipleIrpCompleteRequests = 0x44;
constexpr ULONG kBugBadPoolCaller = 0xC2;
constexpr ULONG kBugDriverCorruptedExpool = 0xC5;
constexpr ULONG kBugDriverUnloadedWithoutCancellingPending = 0xCE;
constexpr ULONG kBugDriverVerifierDetectedViolation = 0xC4;
constexpr ULONG kBugKernelSecurityCheckFailure = 0x139;
constexpr ULONG kBugFltmgrFileSystem = 0xF5;  // FLTMGR_FILE_SYSTEM: misuse of a Filter Manager object
constexpr ULONG kBugApcIndexMismatch = 0x01;
// DRIVER_VERIFIER_DETECTED_VIOLATION parameter 1 for "driver unloaded with pool still allocated".
constexpr ULONG_PTR kVerifierPoolLeakedAtUnload = 0x62;

// Stops the run as a real system would: prints a named report with the code and
// parameters to stderr and aborts the process. Tests check it with death tests.
[[noreturn]] void BugCheck(ULONG code, const std::string& name, const std::string& detail, ULONG_PTR p1 = 0,
                           ULONG_PTR p2 = 0, ULONG_PTR p3 = 0, ULONG_PTR p4 = 0);

// Guarded copies between the model's memory and a program's own buffers (host
// memory, outside the user window): a fault comes back as STATUS_ACCESS_VIOLATION.
NTSTATUS CopyFromProgram(void* destination, const void* programSource, size_t length);
NTSTATUS CopyToProgram(void* programDestination, const void* source, size_t length);

// A routine the model does not implement: stops the run with its name.
[[noreturn]] void NotImplemented(const char* routine);

// Per-routine call counters. Every platform routine calls Count with its own
// name on entry, so tests and benchmarks can state what an operation cost.
// Count takes no lock and costs a few nanoseconds. It remembers a call site
// by the address of the name, so the name must be a string literal (or
// otherwise live, unchanged, as long as the process); several addresses with
// the same text count as one routine. The readers below take locks.
void Count(const char* routine);
uint64_t CallCount(const std::string& routine);
std::map<std::string, uint64_t> CallCounts();
void ResetCounters();

// Per-routine fault injection: the next `count` calls of the named routine fail
// with the given status instead of doing their work (the routine decides what a
// failure leaves behind, as the real one would). Cleared by ResetKernel.
void InjectFailure(const std::string& routine, NTSTATUS status, int count = 1);
// Called by a routine on entry: STATUS_SUCCESS when no failure is pending for it.
NTSTATUS TakeInjectedFailure(const char* routine);
void ClearInjectedFailures();
// The next `count` calls of the named routine raise an exception with `code`
// at the point where they would take an injected failure (a routine that
// takes none never raises). Cleared with the failures.
void InjectRaise(const std::string& routine, NTSTATUS code, int count = 1);
// Runs `hook` once, in the caller's thread, when the named routine next
// reaches its injection point (before any failure or raise injected for that
// call is taken): a test's way to act at a chosen moment inside a flow.
void OnNextCall(const std::string& routine, std::function<void()> hook);

// Structured exceptions. RaiseStatus unwinds to the innermost guard of the
// current thread (PlatformCallGuarded) with the code; with no guard the run
// stops with KMODE_EXCEPTION_NOT_HANDLED. Frames in between are left without
// running anything, as a kernel unwind leaves frames without termination
// handlers: a lock or block they held stays held.
[[noreturn]] void RaiseStatus(NTSTATUS code);
// Guards entered on this thread and not yet left.
int GuardDepth();

// Fault sweep: while a hook is set, every fallible point (each call of
// TakeInjectedFailure: a fallible routine the driver called, or a pool
// allocation) is first handed to it, and a failure status it returns becomes
// the routine's result. Set and cleared by the caller only (ResetKernel leaves
// it, so a sweep can cover the driver's start-up).
using FaultPointHook = NTSTATUS (*)(const char* routine);
void SetFaultPointHook(FaultPointHook hook);

// Per host thread kernel state. A host thread that performs an operation is a
// simulated thread; CurrentThread() is null until it is attached to one (the
// ps area then treats it as a thread of the System process).
struct ThreadState {
    KIRQL irql = PASSIVE_LEVEL;
    _ETHREAD* thread = nullptr;
    int fastMutexesHeld = 0;
    // Push locks held, and the critical-region depth (KeEnterCriticalRegion
    // minus KeLeaveCriticalRegion): normal kernel APCs are off while it is
    // above zero.
    int pushLocksHeld = 0;
    int criticalRegion = 0;
};
ThreadState& CurrentThreadState();

// Raises or lowers the current thread's IRQL (tests use it to run a routine at
// APC_LEVEL). Lowering below the current level through Raise, or raising
// through Lower, is a bugcheck as on the real system.
KIRQL RaiseIrql(KIRQL newIrql);
void LowerIrql(KIRQL oldIrql);

// Asserts that the caller runs at or below the given IRQL; above it the run
// stops with IRQL_NOT_LESS_OR_EQUAL naming the routine.
void RequireIrqlAtMost(KIRQL maxIrql, const char* routine);

// The state a driver callback (operation callback, notification, port
// callback, dispatch routine) was called in; CheckCallbackReturn compares the
// state it returns in. Returning with a fast mutex still held stops the run
// with APC_INDEX_MISMATCH, at another IRQL with IRQL_UNEXPECTED_VALUE; the
// report names `kind` (a string literal).
struct CallbackEntry {
    KIRQL irql = PASSIVE_LEVEL;
    int fastMutexesHeld = 0;
    int pushLocksHeld = 0;
    int criticalRegion = 0;
};
CallbackEntry EnterDriverCallback();
void CheckCallbackReturn(const CallbackEntry& entry, const char* kind);
// Driver callbacks of every kind (those above, registry callbacks, work item
// routines) running now, and called since the process started.
int64_t DriverCallbacksRunning();
uint64_t DriverCallbacksCalled();

// Every area registers how it goes back to the state of a freshly booted
// machine. ResetKernel runs them all (areas in registration order).
void RegisterResetHook(const char* area, std::function<void()> hook);
void ResetKernel();

// Messages the driver printed through DbgPrint, captured for tests.
std::vector<std::string> DebugOutput();
void ClearDebugOutput();

}  // namespace sim
