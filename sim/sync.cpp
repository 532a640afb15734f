// Fast mutexes: ExInitializeFastMutex / ExAcquireFastMutex / ExReleaseFastMutex
// / ExTryToAcquireFastMutex with real blocking between host threads, the IRQL
// rules of the real routines, and a lock-order checker.
//
// The FAST_MUTEX memory belongs to the driver; the model keeps its own state in
// a table keyed by the mutex's address and mirrors Count/Owner/OldIrql into the
// structure as the real routines do, so a debugger view of it makes sense.
#include "sim/private/sync.h"

#include "sim/private/core.h"
#include "sim/private/pool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unordered_map>

namespace sim::sync {

namespace {

struct MutexState {
    std::mutex lock;
    std::condition_variable released;
    bool held = false;
    std::thread::id owner;
    KIRQL savedIrql = PASSIVE_LEVEL;
};

struct Table {
    std::mutex lock;
    std::unordered_map<const FAST_MUTEX*, std::shared_ptr<MutexState>> mutexes;
    std::set<std::pair<const FAST_MUTEX*, const FAST_MUTEX*>> edges;  // first held while second acquired
    // Atomic: bumped under a mutex's own state lock, which must never be
    // held while the table lock is taken (ExInitializeFastMutex nests them the
    // other way).
    std::atomic<uint64_t> acquisitions{0};
    std::atomic<uint64_t> contended{0};
};

Table& T() {
    static Table* table = new Table();
    return *table;
}

// Mutexes this host thread holds, in acquisition order.
thread_local std::vector<const FAST_MUTEX*> tHeld;

std::string Hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

std::shared_ptr<MutexState> Find(const FAST_MUTEX* mutex, const char* routine) {
    {
        std::lock_guard<std::mutex> guard(T().lock);
        auto it = T().mutexes.find(mutex);
        if (it != T().mutexes.end()) {
            return it->second;
        }
    }
    BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             std::string(routine) + ": fast mutex " + Hex(mutex) + " was never initialised with ExInitializeFastMutex",
             reinterpret_cast<ULONG_PTR>(mutex));
}

// Records "held → mutex" for every mutex this thread holds, and stops the run
// when the opposite order was seen before: two threads taking the pair in
// opposite orders deadlock sooner or later.
void CheckLockOrder(const FAST_MUTEX* mutex) {
    if (tHeld.empty()) {
        return;
    }
    std::lock_guard<std::mutex> guard(T().lock);
    for (const FAST_MUTEX* held : tHeld) {
        if (T().edges.count({mutex, held}) != 0) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     "lock order inversion between fast mutexes " + Hex(held) + " and " + Hex(mutex) + ": " +
                         Hex(mutex) + " was held earlier while " + Hex(held) +
                         " was acquired, now the order is reversed",
                     reinterpret_cast<ULONG_PTR>(held), reinterpret_cast<ULONG_PTR>(mutex));
        }
    }
    for (const FAST_MUTEX* held : tHeld) {
        T().edges.insert({held, mutex});
    }
}

void TakeOwnership(PFAST_MUTEX mutex, MutexState& state, KIRQL oldIrql) {
    state.held = true;
    state.owner = std::this_thread::get_id();
    state.savedIrql = oldIrql;
    mutex->Count = 0;
    mutex->Owner = CurrentThreadState().thread;
    mutex->OldIrql = oldIrql;
    tHeld.push_back(mutex);
    ++CurrentThreadState().fastMutexesHeld;
    ++T().acquisitions;
}

void ResetSync() {
    {
        std::lock_guard<std::mutex> guard(T().lock);
        T().mutexes.clear();
        T().edges.clear();
        T().acquisitions = 0;
        T().contended = 0;
    }
    tHeld.clear();
}

const bool kRegistered = [] {
    RegisterResetHook("sync", ResetSync);
    return true;
}();

}  // namespace

void ResetLockOrder() {
    std::lock_guard<std::mutex> guard(T().lock);
    T().edges.clear();
}

std::vector<std::pair<const FAST_MUTEX*, const FAST_MUTEX*>> LockOrderEdges() {
    std::lock_guard<std::mutex> guard(T().lock);
    return {T().edges.begin(), T().edges.end()};
}

bool IsOwnedByCurrentThread(const FAST_MUTEX* mutex) {
    return std::find(tHeld.begin(), tHeld.end(), mutex) != tHeld.end();
}

bool IsHeld(const FAST_MUTEX* mutex) {
    std::shared_ptr<MutexState> state;
    {
        std::lock_guard<std::mutex> guard(T().lock);
        auto it = T().mutexes.find(mutex);
        if (it == T().mutexes.end()) {
            return false;
        }
        state = it->second;
    }
    std::lock_guard<std::mutex> guard(state->lock);
    return state->held;
}

uint64_t AcquireCount() { return T().acquisitions; }

uint64_t ContendedCount() { return T().contended; }

}  // namespace sim::sync

using namespace sim;
using namespace sim::sync;

extern "C" VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExInitializeFastMutex");
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeFastMutex");
    // The dispatcher touches the mutex at DISPATCH_LEVEL: it must not be pageable.
    std::optional<POOL_TYPE> type = pool::TypeOfContaining(FastMutex);
    if (type && pool::IsPagedType(*type)) {
        BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "ExInitializeFastMutex: fast mutex " + Hex(FastMutex) + " lies in paged pool",
                 reinterpret_cast<ULONG_PTR>(FastMutex), *type);
    }
    std::lock_guard<std::mutex> guard(T().lock);
    auto it = T().mutexes.find(FastMutex);
    if (it != T().mutexes.end()) {
        std::lock_guard<std::mutex> stateGuard(it->second->lock);
        if (it->second->held) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     "ExInitializeFastMutex: fast mutex " + Hex(FastMutex) + " re-initialised while held",
                     reinterpret_cast<ULONG_PTR>(FastMutex));
        }
    }
    // The address may be reused memory: what an earlier lock there taught the
    // order checker says nothing about this one.
    for (auto edge = T().edges.begin(); edge != T().edges.end();) {
        if (edge->first == FastMutex || edge->second == FastMutex) {
            edge = T().edges.erase(edge);
        } else {
            ++edge;
        }
    }
    T().mutexes[FastMutex] = std::make_shared<MutexState>();
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->Reserved[0] = FastMutex->Reserved[1] = FastMutex->Reserved[2] = nullptr;
    FastMutex->OldIrql = 0;
}

extern "C" VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExAcquireFastMutex");
    RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    std::shared_ptr<MutexState> state = Find(FastMutex, "ExAcquireFastMutex");
    if (IsOwnedByCurrentThread(FastMutex)) {
        BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "ExAcquireFastMutex: fast mutex " + Hex(FastMutex) +
                     " acquired again by the thread that holds it (fast mutexes are not recursive; this deadlocks)",
                 reinterpret_cast<ULONG_PTR>(FastMutex));
    }
    CheckLockOrder(FastMutex);
    KIRQL old = RaiseIrql(APC_LEVEL);
    std::unique_lock<std::mutex> guard(state->lock);
    if (state->held) {
        ++FastMutex->Contention;
        ++T().contended;
        state->released.wait(guard, [&] { return !state->held; });
    }
    TakeOwnership(FastMutex, *state, old);
}

extern "C" BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExTryToAcquireFastMutex");
    RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    std::shared_ptr<MutexState> state = Find(FastMutex, "ExTryToAcquireFastMutex");
    std::unique_lock<std::mutex> guard(state->lock);
    if (state->held) {
        return FALSE;
    }
    // A try cannot deadlock, so it teaches the order checker nothing.
    KIRQL old = RaiseIrql(APC_LEVEL);
    TakeOwnership(FastMutex, *state, old);
    return TRUE;
}

extern "C" VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExReleaseFastMutex");
    std::shared_ptr<MutexState> state = Find(FastMutex, "ExReleaseFastMutex");
    KIRQL saved;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        if (!state->held) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     "ExReleaseFastMutex: fast mutex " + Hex(FastMutex) + " released while not held",
                     reinterpret_cast<ULONG_PTR>(FastMutex));
        }
        if (state->owner != std::this_thread::get_id()) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     "ExReleaseFastMutex: fast mutex " + Hex(FastMutex) + " released by a thread that does not own it",
                     reinterpret_cast<ULONG_PTR>(FastMutex));
        }
        if (CurrentThreadState().irql != APC_LEVEL) {
            BugCheck(kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
                     "ExReleaseFastMutex called at IRQL " + std::to_string(CurrentThreadState().irql) +
                         ", must be APC_LEVEL (the level the acquire raised to)",
                     CurrentThreadState().irql, APC_LEVEL);
        }
        saved = state->savedIrql;
        state->held = false;
        FastMutex->Count = 1;
        FastMutex->Owner = nullptr;
        tHeld.erase(std::find(tHeld.begin(), tHeld.end(), FastMutex));
        --CurrentThreadState().fastMutexesHeld;
    }
    state->released.notify_one();
    LowerIrql(saved);
}
