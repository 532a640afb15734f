// Bugchecks, counters, per-thread IRQL and reset hooks (DbgPrint capture: dbg.cpp).
#include "sim/private/core.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace sim {

namespace {

std::mutex gCountersLock;
std::unordered_map<std::string, uint64_t>& Counters() {
    static std::unordered_map<std::string, uint64_t> counters;
    return counters;
}

std::mutex gHooksLock;
std::vector<std::pair<std::string, std::function<void()>>>& Hooks() {
    static std::vector<std::pair<std::string, std::function<void()>>> hooks;
    return hooks;
}

thread_local ThreadState tState;

std::mutex gFaultsLock;
std::unordered_map<std::string, std::pair<NTSTATUS, int>>& Faults() {
    static std::unordered_map<std::string, std::pair<NTSTATUS, int>> faults;
    return faults;
}

}  // namespace

void BugCheck(ULONG code, const std::string& name, const std::string& detail, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
              ULONG_PTR p4) {
    std::fprintf(stderr,
                 "\n*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX)\n*** %s\n*** %s\n",
                 static_cast<unsigned>(code), static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                 static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4), name.c_str(), detail.c_str());
    std::fflush(stderr);
    std::abort();
}

void NotImplemented(const char* routine) {
    std::fprintf(stderr, "\n*** simulated kernel: routine not implemented: %s\n", routine);
    std::fflush(stderr);
    std::abort();
}

void Count(const char* routine) {
    std::lock_guard<std::mutex> guard(gCountersLock);
    ++Counters()[routine];
}

uint64_t CallCount(const std::string& routine) {
    std::lock_guard<std::mutex> guard(gCountersLock);
    auto it = Counters().find(routine);
    return it == Counters().end() ? 0 : it->second;
}

std::map<std::string, uint64_t> CallCounts() {
    std::lock_guard<std::mutex> guard(gCountersLock);
    return {Counters().begin(), Counters().end()};
}

void ResetCounters() {
    std::lock_guard<std::mutex> guard(gCountersLock);
    Counters().clear();
}

ThreadState& CurrentThreadState() { return tState; }

void InjectFailure(const std::string& routine, NTSTATUS status, int count) {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    Faults()[routine] = {status, count};
}

NTSTATUS TakeInjectedFailure(const char* routine) {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    auto it = Faults().find(routine);
    if (it == Faults().end() || it->second.second <= 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = it->second.first;
    if (--it->second.second == 0) {
        Faults().erase(it);
    }
    return status;
}

void ClearInjectedFailures() {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    Faults().clear();
}

KIRQL RaiseIrql(KIRQL newIrql) {
    KIRQL old = tState.irql;
    if (newIrql < old) {
        BugCheck(kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", "KeRaiseIrql to a lower IRQL", newIrql, old);
    }
    tState.irql = newIrql;
    return old;
}

void LowerIrql(KIRQL oldIrql) {
    if (oldIrql > tState.irql) {
        BugCheck(kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to a higher IRQL", oldIrql, tState.irql);
    }
    tState.irql = oldIrql;
}

void RequireIrqlAtMost(KIRQL maxIrql, const char* routine) {
    if (tState.irql > maxIrql) {
        BugCheck(kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
                 std::string(routine) + " called at IRQL " + std::to_string(tState.irql) + ", allowed at most " +
                     std::to_string(maxIrql),
                 tState.irql, maxIrql);
    }
}

void RegisterResetHook(const char* area, std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(gHooksLock);
    Hooks().emplace_back(area, std::move(hook));
}

void ResetKernel() {
    std::vector<std::pair<std::string, std::function<void()>>> hooks;
    {
        std::lock_guard<std::mutex> guard(gHooksLock);
        hooks = Hooks();
    }
    for (auto& entry : hooks) {
        entry.second();
    }
    ResetCounters();
    ClearInjectedFailures();
    ClearDebugOutput();
    tState = ThreadState{};
}

}  // namespace sim

extern "C" KIRQL NTAPI KeGetCurrentIrql(VOID) {
    return sim::CurrentThreadState().irql;
}

extern "C" VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    sim::BugCheck(BugCheckCode, "KeBugCheckEx", "driver called KeBugCheckEx", P1, P2, P3, P4);
}

extern "C" VOID RtlFailFast(ULONG Code) {
    sim::BugCheck(sim::kBugKernelSecurityCheckFailure, "KERNEL_SECURITY_CHECK_FAILURE",
                  Code == FAST_FAIL_CORRUPT_LIST_ENTRY ? "corrupt list entry (fast-fail code 3)" : "fast-fail", Code);
}
