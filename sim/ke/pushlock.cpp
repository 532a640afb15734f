// Push locks and critical regions: FltInitializePushLock, FltDeletePushLock,
// FltAcquirePushLockShared, FltAcquirePushLockExclusive, FltReleasePushLock,
// KeEnterCriticalRegion and KeLeaveCriticalRegion.
//
// A push lock is one pointer-sized word of the driver's memory, opaque to the
// driver. The model keeps the whole lock in that word: the low half is the
// state (held exclusively, sleepers waiting, the number of shared holders),
// the high half a mark that FltInitializePushLock writes and FltDeletePushLock
// changes, so a lock that was never initialised, or was deleted, is known.
// Waiters sleep on the low half with a futex. The rules:
// - IRQL at most APC_LEVEL, and normal kernel APCs disabled at the acquire
//   (the thread inside a critical region, or at APC_LEVEL). The executive's
//   push-lock routines require the caller to disable them; the model holds
//   the Filter Manager's routines to the same rule, the stricter reading, so
//   a driver that passes here is right either way.
// - Not recursive, in either mode: a holder that acquires again can deadlock
//   behind a waiting exclusive request, so it stops the run at once.
// - Released only by a holder; initialised again or deleted only when free.
// - No push lock held, and the critical region left, when a driver callback
//   returns (CheckCallbackReturn: APC_INDEX_MISMATCH).
// - The lock-order checker of the fast mutexes extends to push locks: a pair
//   of locks of either kind taken in both orders stops the run.
// Every acquisition counts under its routine's name, and one that had to wait
// also under "<routine>:contended".
#include "sim/ke/sync.h"

#include "sim/ke/core.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace sim::sync {

namespace {

constexpr uint64_t kExclusive = 1;
constexpr uint64_t kWaiters = 2;
constexpr uint64_t kSharedOne = 4;
constexpr uint64_t kSharedMask = 0xFFFFFFFCull;
constexpr uint64_t kMarkLive = 0x50754C6Bull << 32;  // "PuLk"
constexpr uint64_t kMarkDeleted = 0x44656164ull << 32;
constexpr uint64_t kMarkMask = 0xFFFFFFFFull << 32;

struct HeldPushLock {
    const EX_PUSH_LOCK* lock;
    bool exclusive;
};
constexpr int kMaxHeld = 16;
struct HeldPushLocks {
    HeldPushLock items[kMaxHeld];
    int count;
};
thread_local HeldPushLocks tPushHeld;

// Order edges in which a push lock takes part (fast mutex pairs stay with the
// fast mutexes' own checker): first held while second acquired. Each thread
// remembers the edges it has recorded since the last reset or forgetting: an
// edge once recorded needs no second look (the reverse order, whenever it
// comes, finds it), so a nesting repeated on a hot path costs no shared lock.
std::mutex gOrderLock;
std::atomic<uint64_t> gOrderGeneration{1};
struct KnownEdges {
    uint64_t generation = 0;
    std::vector<std::pair<const void*, const void*>> edges;
};
thread_local KnownEdges tKnown;
std::set<std::pair<const void*, const void*>>& OrderEdges() {
    static auto* edges = new std::set<std::pair<const void*, const void*>>();
    return *edges;
}

std::string Hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

inline std::atomic_ref<uint64_t> Word(PEX_PUSH_LOCK lock) { return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(lock)); }

int HeldIndex(const EX_PUSH_LOCK* lock) {
    for (int i = 0; i < tPushHeld.count; ++i) {
        if (tPushHeld.items[i].lock == lock) {
            return i;
        }
    }
    return -1;
}

[[noreturn, gnu::noinline, gnu::cold]] void Violation(const std::string& detail, const void* lock, ULONG_PTR p2 = 0) {
    BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION", detail,
             reinterpret_cast<ULONG_PTR>(lock), p2);
}

void CheckMark(PEX_PUSH_LOCK lock, uint64_t value, const char* routine) {
    const uint64_t mark = value & kMarkMask;
    if (mark == kMarkDeleted) {
        Violation(std::string(routine) + ": push lock " + Hex(lock) + " was deleted with FltDeletePushLock", lock);
    }
    if (mark != kMarkLive) {
        Violation(std::string(routine) + ": push lock " + Hex(lock) + " was never initialised with FltInitializePushLock", lock);
    }
}

long Futex(PEX_PUSH_LOCK lock, int op, uint32_t value) {
    // The state is the word's low half (x86-64 is little-endian).
    return syscall(SYS_futex, reinterpret_cast<uint32_t*>(lock), op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

void Acquire(PEX_PUSH_LOCK lock, bool exclusive, const char* routine, const char* contended) {
    Count(routine);
    RequireIrqlAtMost(APC_LEVEL, routine);
    ThreadState& thread = CurrentThreadState();
    if (thread.criticalRegion == 0 && thread.irql < APC_LEVEL) {
        Violation(std::string(routine) + ": push lock " + Hex(lock) +
                      " acquired with normal kernel APCs enabled (no KeEnterCriticalRegion before it)",
                  lock);
    }
    std::atomic_ref<uint64_t> word = Word(lock);
    uint64_t value = word.load(std::memory_order_acquire);
    CheckMark(lock, value, routine);
    if (HeldIndex(lock) >= 0) {
        Violation(std::string(routine) + ": push lock " + Hex(lock) +
                      " acquired again by a thread that holds it (push locks are not recursive; this deadlocks)",
                  lock);
    }
    if (tPushHeld.count == kMaxHeld) {
        Violation("more than " + std::to_string(kMaxHeld) + " push locks held by one thread", lock);
    }
    if (thread.fastMutexesHeld > 0 || thread.pushLocksHeld > 0) {
        CheckOrderAcrossKinds(lock);
    }
    bool waited = false;
    for (;;) {
        const bool free = exclusive ? (value & (kExclusive | kSharedMask)) == 0 : (value & kExclusive) == 0;
        if (free) {
            const uint64_t next = exclusive ? (value | kExclusive) : (value + kSharedOne);
            if (word.compare_exchange_weak(value, next, std::memory_order_acquire, std::memory_order_relaxed)) {
                break;
            }
            continue;
        }
        waited = true;
        if ((value & kWaiters) == 0) {
            if (!word.compare_exchange_weak(value, value | kWaiters, std::memory_order_relaxed, std::memory_order_relaxed)) {
                continue;
            }
            value |= kWaiters;
        }
        Futex(lock, FUTEX_WAIT, static_cast<uint32_t>(value));
        value = word.load(std::memory_order_relaxed);
    }
    if (waited) {
        Count(contended);
    }
    tPushHeld.items[tPushHeld.count++] = {lock, exclusive};
    ++thread.pushLocksHeld;
}

void ForgetEdges(const void* lock) {
    gOrderGeneration.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard<std::mutex> guard(gOrderLock);
    auto& edges = OrderEdges();
    for (auto it = edges.begin(); it != edges.end();) {
        it = (it->first == lock || it->second == lock) ? edges.erase(it) : std::next(it);
    }
}

void ResetPushLocks() {
    tPushHeld.count = 0;
    gOrderGeneration.fetch_add(1, std::memory_order_acq_rel);
    std::lock_guard<std::mutex> guard(gOrderLock);
    OrderEdges().clear();
}

const bool kRegistered = [] {
    RegisterResetHook("push locks", ResetPushLocks);
    return true;
}();

}  // namespace

void CheckOrderAcrossKinds(const void* lock) {
    std::vector<const void*> held = HeldFastMutexes();
    for (int i = 0; i < tPushHeld.count; ++i) {
        held.push_back(tPushHeld.items[i].lock);
    }
    const uint64_t generation = gOrderGeneration.load(std::memory_order_acquire);
    if (tKnown.generation != generation) {
        tKnown.generation = generation;
        tKnown.edges.clear();
    }
    bool allKnown = true;
    for (const void* first : held) {
        allKnown = allKnown && std::find(tKnown.edges.begin(), tKnown.edges.end(), std::make_pair(first, lock)) != tKnown.edges.end();
    }
    if (allKnown) {
        return;
    }
    for (const void* first : held) {
        tKnown.edges.emplace_back(first, lock);
    }
    std::lock_guard<std::mutex> guard(gOrderLock);
    auto& edges = OrderEdges();
    for (const void* first : held) {
        if (edges.count({lock, first}) != 0) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     "lock order inversion between " + Hex(first) + " and " + Hex(lock) + ": " + Hex(lock) +
                         " was held earlier while " + Hex(first) + " was acquired, now the order is reversed",
                     reinterpret_cast<ULONG_PTR>(first), reinterpret_cast<ULONG_PTR>(lock));
        }
    }
    for (const void* first : held) {
        edges.emplace(first, lock);
    }
}

bool IsPushLockHeldByCurrentThread(const EX_PUSH_LOCK* lock, bool* exclusive) {
    const int i = HeldIndex(lock);
    if (i >= 0 && exclusive != nullptr) {
        *exclusive = tPushHeld.items[i].exclusive;
    }
    return i >= 0;
}

uint64_t ExclusiveAcquireCount() { return AcquireCount() + CallCount("FltAcquirePushLockExclusive"); }

uint64_t SharedAcquireCount() { return CallCount("FltAcquirePushLockShared"); }

uint64_t PushLockContendedCount() {
    return CallCount("FltAcquirePushLockShared:contended") + CallCount("FltAcquirePushLockExclusive:contended");
}

}  // namespace sim::sync

using namespace sim;
using namespace sim::sync;

extern "C" VOID NTAPI KeEnterCriticalRegion(VOID) {
    Count("KeEnterCriticalRegion");
    RequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
    ++CurrentThreadState().criticalRegion;
}

extern "C" VOID NTAPI KeLeaveCriticalRegion(VOID) {
    Count("KeLeaveCriticalRegion");
    RequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
    ThreadState& thread = CurrentThreadState();
    if (thread.criticalRegion == 0) {
        BugCheck(kBugApcIndexMismatch, "APC_INDEX_MISMATCH", "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
    }
    --thread.criticalRegion;
}

extern "C" VOID FLTAPI FltInitializePushLock(PEX_PUSH_LOCK PushLock) {
    Count("FltInitializePushLock");
    std::atomic_ref<uint64_t> word = Word(PushLock);
    const uint64_t value = word.load(std::memory_order_acquire);
    if ((value & kMarkMask) == kMarkLive && (value & ~kMarkMask) != 0) {
        Violation("FltInitializePushLock: push lock " + Hex(PushLock) + " initialised again while held", PushLock);
    }
    // The address may be reused memory: what an earlier lock there taught the
    // order checker says nothing about this one.
    ForgetEdges(PushLock);
    word.store(kMarkLive, std::memory_order_release);
}

extern "C" VOID FLTAPI FltDeletePushLock(PEX_PUSH_LOCK PushLock) {
    Count("FltDeletePushLock");
    std::atomic_ref<uint64_t> word = Word(PushLock);
    const uint64_t value = word.load(std::memory_order_acquire);
    CheckMark(PushLock, value, "FltDeletePushLock");
    if ((value & ~kMarkMask) != 0) {
        Violation("FltDeletePushLock: push lock " + Hex(PushLock) + " deleted while held", PushLock);
    }
    word.store(kMarkDeleted, std::memory_order_release);
}

extern "C" VOID FLTAPI FltAcquirePushLockShared(PEX_PUSH_LOCK PushLock) {
    Acquire(PushLock, false, "FltAcquirePushLockShared", "FltAcquirePushLockShared:contended");
}

extern "C" VOID FLTAPI FltAcquirePushLockExclusive(PEX_PUSH_LOCK PushLock) {
    Acquire(PushLock, true, "FltAcquirePushLockExclusive", "FltAcquirePushLockExclusive:contended");
}

extern "C" VOID FLTAPI FltReleasePushLock(PEX_PUSH_LOCK PushLock) {
    Count("FltReleasePushLock");
    RequireIrqlAtMost(APC_LEVEL, "FltReleasePushLock");
    const int i = HeldIndex(PushLock);
    if (i < 0) {
        Violation("FltReleasePushLock: push lock " + Hex(PushLock) + " released by a thread that does not hold it", PushLock);
    }
    const bool exclusive = tPushHeld.items[i].exclusive;
    for (int j = i; j + 1 < tPushHeld.count; ++j) {
        tPushHeld.items[j] = tPushHeld.items[j + 1];
    }
    --tPushHeld.count;
    --CurrentThreadState().pushLocksHeld;
    std::atomic_ref<uint64_t> word = Word(PushLock);
    bool wake = false;
    if (exclusive) {
        wake = (word.fetch_and(~(kExclusive | kWaiters), std::memory_order_release) & kWaiters) != 0;
    } else {
        uint64_t value = word.load(std::memory_order_relaxed);
        for (;;) {
            uint64_t next = value - kSharedOne;
            // Only an exclusive request waits while the lock is shared, and it
            // can go only once the last shared holder has left.
            wake = (next & kSharedMask) == 0 && (next & kWaiters) != 0;
            if (wake) {
                next &= ~kWaiters;
            }
            if (word.compare_exchange_weak(value, next, std::memory_order_release, std::memory_order_relaxed)) {
                break;
            }
        }
    }
    if (wake) {
        Futex(PushLock, FUTEX_WAKE, INT_MAX);
    }
}
