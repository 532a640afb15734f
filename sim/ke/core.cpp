// Bugchecks, counters, per-thread IRQL and reset hooks (DbgPrint capture: sim/ke/dbg.cpp).
//
// Counters cost a few nanoseconds and take no lock: each routine name gets a
// small id the first time a call site passes it (a lock-free table keyed by
// the name's address finds it after that), and each host thread counts in
// its own row of cells, which only it writes. A reader adds the rows of the
// live threads and what exited threads left behind; a reset records the
// totals as the new zero instead of writing into rows it does not own.
#include "sim/ke/core.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <unistd.h>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace sim {

namespace {

// Routine ids. Names are interned once under gNamesLock; the address table
// then maps each call site's pointer to the id without a lock.
constexpr size_t kMaxRoutines = 2048;
constexpr size_t kAddressSlots = 8192;  // power of two, well above the call sites

std::mutex gNamesLock;
struct Names {
    std::unordered_map<std::string, uint32_t> ids;
    std::vector<std::string> byId;
};
Names& RoutineNames() {
    static Names* names = new Names();
    return *names;
}

struct AddressSlot {
    std::atomic<const char*> key{nullptr};
    std::atomic<uint32_t> id{0};
};
AddressSlot gAddressTable[kAddressSlots];

size_t AddressHash(const char* p) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(p) * 0x9E3779B97F4A7C15ull) >> 51) & (kAddressSlots - 1);
}

// One host thread's cells. Written by that thread only; read by anyone.
struct CounterRow {
    std::atomic<uint64_t> cells[kMaxRoutines];
    CounterRow() {
        for (auto& cell : cells) {
            cell.store(0, std::memory_order_relaxed);
        }
    }
};

std::mutex gRowsLock;
struct Rows {
    std::vector<CounterRow*> live;
    std::atomic<uint64_t> exited[kMaxRoutines];  // what threads that ended had counted
    std::atomic<uint64_t> zero[kMaxRoutines];    // totals at the last reset
    Rows() {
        for (size_t i = 0; i < kMaxRoutines; ++i) {
            exited[i].store(0, std::memory_order_relaxed);
            zero[i].store(0, std::memory_order_relaxed);
        }
    }
};
Rows& CounterRows() {
    static Rows* rows = new Rows();
    return *rows;
}

thread_local CounterRow* tRow = nullptr;

// Folds the thread's row into the totals of exited threads when it ends.
struct RowOwner {
    CounterRow* row = nullptr;
    ~RowOwner() {
        if (row == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> guard(gRowsLock);
        Rows& rows = CounterRows();
        for (size_t i = 0; i < kMaxRoutines; ++i) {
            const uint64_t v = row->cells[i].load(std::memory_order_relaxed);
            if (v != 0) {
                rows.exited[i].fetch_add(v, std::memory_order_relaxed);
            }
        }
        rows.live.erase(std::find(rows.live.begin(), rows.live.end(), row));
        tRow = nullptr;
        delete row;
    }
};
thread_local RowOwner tRowOwner;

[[gnu::noinline]] CounterRow* NewRow() {
    auto* row = new CounterRow();
    {
        std::lock_guard<std::mutex> guard(gRowsLock);
        CounterRows().live.push_back(row);
    }
    tRowOwner.row = row;
    tRow = row;
    return row;
}

// Called with gNamesLock held.
uint32_t InternNameLocked(const char* routine) {
    Names& names = RoutineNames();
    auto it = names.ids.find(routine);
    if (it != names.ids.end()) {
        return it->second;
    }
    if (names.byId.size() == kMaxRoutines) {
        std::fprintf(stderr, "\n*** simulated kernel: more than %zu counted routine names\n", kMaxRoutines);
        std::abort();
    }
    const auto id = static_cast<uint32_t>(names.byId.size());
    names.byId.emplace_back(routine);
    names.ids.emplace(routine, id);
    return id;
}

// The first call from a site interns the name and publishes the slot under
// gNamesLock (one writer at a time: the id is stored before the key, so a
// reader that sees the key sees the id).
[[gnu::noinline]] uint32_t PublishRoutineId(const char* routine, size_t start) {
    std::lock_guard<std::mutex> guard(gNamesLock);
    const uint32_t id = InternNameLocked(routine);
    size_t slot = start;
    for (size_t probes = 0; probes < kAddressSlots; ++probes, slot = (slot + 1) & (kAddressSlots - 1)) {
        const char* key = gAddressTable[slot].key.load(std::memory_order_relaxed);
        if (key == routine) {
            return id;
        }
        if (key == nullptr) {
            gAddressTable[slot].id.store(id, std::memory_order_relaxed);
            gAddressTable[slot].key.store(routine, std::memory_order_release);
            return id;
        }
    }
    return id;  // table full: this site keeps taking the lock, and is still counted
}

// The id for a call site's name pointer: a lock-free probe of the address table.
inline uint32_t RoutineId(const char* routine) {
    const size_t start = AddressHash(routine);
    size_t slot = start;
    for (;;) {
        const char* key = gAddressTable[slot].key.load(std::memory_order_acquire);
        if (key == routine) {
            return gAddressTable[slot].id.load(std::memory_order_relaxed);
        }
        if (key == nullptr) {
            return PublishRoutineId(routine, start);
        }
        slot = (slot + 1) & (kAddressSlots - 1);
        if (slot == start) {
            return PublishRoutineId(routine, start);
        }
    }
}

// Total of one routine since boot, before subtracting the reset mark.
// Called with gRowsLock held.
uint64_t RawTotalLocked(uint32_t id) {
    Rows& rows = CounterRows();
    uint64_t total = rows.exited[id].load(std::memory_order_relaxed);
    for (const CounterRow* row : rows.live) {
        total += row->cells[id].load(std::memory_order_relaxed);
    }
    return total;
}

std::mutex gHooksLock;
std::vector<std::pair<std::string, std::function<void()>>>& Hooks() {
    static std::vector<std::pair<std::string, std::function<void()>>> hooks;
    return hooks;
}

thread_local ThreadState tState;

std::mutex gFaultsLock;
// Armed entries in Faults(): routines check it without the lock.
std::atomic<int> gFaultsArmed{0};
std::atomic<FaultPointHook> gFaultPointHook{nullptr};
std::unordered_map<std::string, std::pair<NTSTATUS, int>>& Faults() {
    static std::unordered_map<std::string, std::pair<NTSTATUS, int>> faults;
    return faults;
}
// Routines whose next calls raise an exception instead of failing.
std::unordered_map<std::string, std::pair<NTSTATUS, int>>& Raises() {
    static std::unordered_map<std::string, std::pair<NTSTATUS, int>> raises;
    return raises;
}
// Code run once when a routine reaches its injection point.
std::unordered_map<std::string, std::function<void()>>& CallHooks() {
    static std::unordered_map<std::string, std::function<void()>> hooks;
    return hooks;
}
void UpdateFaultsArmedLocked() {
    gFaultsArmed.store(static_cast<int>(Faults().size() + Raises().size() + CallHooks().size()),
                       std::memory_order_release);
}

}  // namespace

// The reports are written with one write(2): printing to the unbuffered
// standard error through stdio takes an 8 KB buffer on the stack, more than
// is left on a kernel stack deep in a driver's routine.
void BugCheck(ULONG code, const std::string& name, const std::string& detail, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR p3,
              ULONG_PTR p4) {
    char head[128];
    std::snprintf(head, sizeof(head), "\n*** STOP: 0x%08X (0x%016llX, 0x%016llX, 0x%016llX, 0x%016llX)\n*** ",
                  static_cast<unsigned>(code), static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
                  static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4));
    std::fflush(stderr);
    const std::string text = head + name + "\n*** " + detail + "\n";
    const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    (void)written;
    std::abort();
}

void NotImplemented(const char* routine) {
    std::fflush(stderr);
    const std::string text = std::string("\n*** simulated kernel: routine not implemented: ") + routine + "\n";
    const ssize_t written = write(STDERR_FILENO, text.data(), text.size());
    (void)written;
    std::abort();
}

void Count(const char* routine) {
    const uint32_t id = RoutineId(routine);
    CounterRow* row = tRow != nullptr ? tRow : NewRow();
    std::atomic<uint64_t>& cell = row->cells[id];
    cell.store(cell.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

uint64_t CallCount(const std::string& routine) {
    uint32_t id;
    {
        std::lock_guard<std::mutex> guard(gNamesLock);
        auto it = RoutineNames().ids.find(routine);
        if (it == RoutineNames().ids.end()) {
            return 0;
        }
        id = it->second;
    }
    std::lock_guard<std::mutex> guard(gRowsLock);
    return RawTotalLocked(id) - CounterRows().zero[id].load(std::memory_order_relaxed);
}

std::map<std::string, uint64_t> CallCounts() {
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> guard(gNamesLock);
        names = RoutineNames().byId;
    }
    std::map<std::string, uint64_t> counts;
    std::lock_guard<std::mutex> guard(gRowsLock);
    for (uint32_t id = 0; id < names.size(); ++id) {
        const uint64_t value = RawTotalLocked(id) - CounterRows().zero[id].load(std::memory_order_relaxed);
        if (value != 0) {
            counts.emplace(names[id], value);
        }
    }
    return counts;
}

void ResetCounters() {
    size_t known;
    {
        std::lock_guard<std::mutex> guard(gNamesLock);
        known = RoutineNames().byId.size();
    }
    std::lock_guard<std::mutex> guard(gRowsLock);
    for (uint32_t id = 0; id < known; ++id) {
        CounterRows().zero[id].store(RawTotalLocked(id), std::memory_order_relaxed);
    }
}

ThreadState& CurrentThreadState() { return tState; }

void InjectFailure(const std::string& routine, NTSTATUS status, int count) {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    if (count <= 0) {
        Faults().erase(routine);
    } else {
        Faults()[routine] = {status, count};
    }
    UpdateFaultsArmedLocked();
}

void OnNextCall(const std::string& routine, std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    CallHooks()[routine] = std::move(hook);
    UpdateFaultsArmedLocked();
}

void InjectRaise(const std::string& routine, NTSTATUS code, int count) {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    if (count <= 0) {
        Raises().erase(routine);
    } else {
        Raises()[routine] = {code, count};
    }
    UpdateFaultsArmedLocked();
}

void SetFaultPointHook(FaultPointHook hook) { gFaultPointHook.store(hook, std::memory_order_release); }

NTSTATUS TakeInjectedFailure(const char* routine) {
    if (FaultPointHook hook = gFaultPointHook.load(std::memory_order_acquire)) {
        const NTSTATUS swept = hook(routine);
        if (!NT_SUCCESS(swept)) {
            return swept;
        }
    }
    if (gFaultsArmed.load(std::memory_order_acquire) == 0) {
        return STATUS_SUCCESS;
    }
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(gFaultsLock);
        auto it = CallHooks().find(routine);
        if (it != CallHooks().end()) {
            hook = std::move(it->second);
            CallHooks().erase(it);
            UpdateFaultsArmedLocked();
        }
    }
    if (hook) {
        hook();
    }
    NTSTATUS raise = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> guard(gFaultsLock);
        auto raising = Raises().find(routine);
        if (raising != Raises().end() && raising->second.second > 0) {
            raise = raising->second.first;
            if (--raising->second.second == 0) {
                Raises().erase(raising);
                UpdateFaultsArmedLocked();
            }
        } else {
            auto it = Faults().find(routine);
            if (it == Faults().end() || it->second.second <= 0) {
                return STATUS_SUCCESS;
            }
            NTSTATUS status = it->second.first;
            if (--it->second.second == 0) {
                Faults().erase(it);
                UpdateFaultsArmedLocked();
            }
            return status;
        }
    }
    // No lock is held here: the raise leaves this frame for good.
    RaiseStatus(raise);
}

void ClearInjectedFailures() {
    std::lock_guard<std::mutex> guard(gFaultsLock);
    Faults().clear();
    Raises().clear();
    CallHooks().clear();
    gFaultsArmed.store(0, std::memory_order_release);
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

namespace {
std::atomic<int64_t> gCallbacksRunning{0};
std::atomic<uint64_t> gCallbacksCalled{0};
}  // namespace

CallbackEntry EnterDriverCallback() {
    gCallbacksRunning.fetch_add(1);
    gCallbacksCalled.fetch_add(1);
    return {tState.irql, tState.fastMutexesHeld, tState.pushLocksHeld, tState.criticalRegion};
}

int64_t DriverCallbacksRunning() { return gCallbacksRunning.load(); }
uint64_t DriverCallbacksCalled() { return gCallbacksCalled.load(); }

void CheckCallbackReturn(const CallbackEntry& entry, const char* kind) {
    gCallbacksRunning.fetch_sub(1);
    constexpr ULONG kBugIrqlUnexpectedValue = 0xC8;
    if (tState.fastMutexesHeld != entry.fastMutexesHeld) {
        BugCheck(kBugApcIndexMismatch, "APC_INDEX_MISMATCH",
                 std::string(kind) + " returned holding " +
                     std::to_string(tState.fastMutexesHeld - entry.fastMutexesHeld) + " fast mutex(es)",
                 static_cast<ULONG_PTR>(tState.fastMutexesHeld), static_cast<ULONG_PTR>(entry.fastMutexesHeld));
    }
    if (tState.pushLocksHeld != entry.pushLocksHeld) {
        BugCheck(kBugApcIndexMismatch, "APC_INDEX_MISMATCH",
                 std::string(kind) + " returned holding " + std::to_string(tState.pushLocksHeld - entry.pushLocksHeld) +
                     " push lock(s)",
                 static_cast<ULONG_PTR>(tState.pushLocksHeld), static_cast<ULONG_PTR>(entry.pushLocksHeld));
    }
    // The kernel's own check at the return of a call: the thread's APC-disable
    // count must be what it was.
    if (tState.criticalRegion != entry.criticalRegion) {
        BugCheck(kBugApcIndexMismatch, "APC_INDEX_MISMATCH",
                 std::string(kind) + " returned with its critical-region depth changed from " +
                     std::to_string(entry.criticalRegion) + " to " + std::to_string(tState.criticalRegion),
                 static_cast<ULONG_PTR>(tState.criticalRegion), static_cast<ULONG_PTR>(entry.criticalRegion));
    }
    if (tState.irql != entry.irql) {
        BugCheck(kBugIrqlUnexpectedValue, "IRQL_UNEXPECTED_VALUE",
                 std::string(kind) + " returned at IRQL " + std::to_string(tState.irql) + " (called at " +
                     std::to_string(entry.irql) + ")",
                 tState.irql, entry.irql);
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
