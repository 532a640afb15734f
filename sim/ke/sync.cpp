// Fast mutexes: ExAcquireFastMutex / ExReleaseFastMutex / ExTryToAcquireFastMutex
// with real blocking between host threads, the IRQL rules of the real routines,
// and a lock-order checker; and KeInitializeEvent.
//
// The FAST_MUTEX memory belongs to the driver, and initialising it is inline,
// as in the driver kit for x64: the count, owner and contention are set and the
// mutex's event is initialised with KeInitializeEvent. The first acquire of a
// mutex in exactly that state gives it a host-side record and stores the
// record's address in the event's place (the event is the kernel's alone),
// together with a check word tied to the mutex's address, so later acquires and
// releases find it without a table and without a machine-wide lock. Memory that
// was never initialised (or was initialised before the last reset, or is a copy
// of a mutex) fails both the check and the fresh-state test. The record holds a
// futex word (free, held, held with waiters), its owner and the saved IRQL, and
// the mutexes that were acquired while it was held, for the order checker;
// Count, Owner and OldIrql are mirrored into the structure as the real routines
// do. Records are recycled at a reset, never returned to the host, so a stale
// pointer in old memory still reads a record (whose check then fails).
#include "sim/ke/sync.h"

#include "sim/ke/core.h"
#include "sim/ex/pool.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace sim::sync {

namespace {

constexpr uintptr_t kCheckKey = 0x46415354'4D555458ull;

struct SpinLock {
    std::atomic<bool> taken{false};
    void lock() {
        while (taken.exchange(true, std::memory_order_acquire)) {
            while (taken.load(std::memory_order_relaxed)) {
                std::this_thread::yield();
            }
        }
    }
    void unlock() { taken.store(false, std::memory_order_release); }
};

struct MutexState {
    // 0 free, 1 held, 2 held and someone may be sleeping on it.
    std::atomic<int> word{0};
    std::atomic<const void*> owner{nullptr};  // the owning host thread's token
    KIRQL savedIrql = PASSIVE_LEVEL;
    std::atomic<const FAST_MUTEX*> self{nullptr};
    std::atomic<uint64_t> generation{0};
    // Mutexes acquired while this one was held (edges self -> successor).
    SpinLock orderLock;
    std::vector<const FAST_MUTEX*> successors;
};

// Every record ever made: live ones (this generation) and recycled ones.
struct Registry {
    std::mutex lock;  // initialisation, reset and the test readers only
    std::vector<MutexState*> live;
    std::vector<MutexState*> spare;
};

// Bumped by every reset: a record of an older generation belongs to a
// mutex of a kernel that is gone.
std::atomic<uint64_t> gGeneration{1};

Registry& R() {
    static Registry* registry = new Registry();
    return *registry;
}

// Mutexes this host thread holds, in acquisition order; its address is the
// thread's owner token. A plain array, so reaching it costs no
// initialisation check.
constexpr int kMaxHeld = 64;
struct HeldList {
    const FAST_MUTEX* items[kMaxHeld];
    int count;
    const FAST_MUTEX** begin() { return items; }
    const FAST_MUTEX** end() { return items + count; }
    bool empty() const { return count == 0; }
};
thread_local HeldList tHeld;

const void* ThreadToken() { return &tHeld; }

std::string Hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

// The record of an initialised mutex of this generation, or null.
// The record's words, kept in the event's place. Read and written atomically:
// the first acquire may store them while another thread looks.
inline void** Slots(const FAST_MUTEX* mutex) { return reinterpret_cast<void**>(const_cast<KEVENT*>(&mutex->Event)); }

inline MutexState* Lookup(const FAST_MUTEX* mutex) {
    void** slots = Slots(mutex);
    const auto check = reinterpret_cast<uintptr_t>(__atomic_load_n(&slots[1], __ATOMIC_ACQUIRE));
    auto* state = static_cast<MutexState*>(__atomic_load_n(&slots[0], __ATOMIC_RELAXED));
    if (state == nullptr ||
        check != (reinterpret_cast<uintptr_t>(state) ^ reinterpret_cast<uintptr_t>(mutex) ^ kCheckKey)) {
        return nullptr;
    }
    if (state->self.load(std::memory_order_acquire) != mutex ||
        state->generation.load(std::memory_order_relaxed) != gGeneration.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    return state;
}

[[noreturn, gnu::noinline, gnu::cold]] void NeverInitialised(const FAST_MUTEX* mutex, const char* routine) {
    BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
             std::string(routine) + ": fast mutex " + Hex(mutex) + " was never initialised with ExInitializeFastMutex",
             reinterpret_cast<ULONG_PTR>(mutex));
}

MutexState* Adopt(const FAST_MUTEX* mutex, const char* routine);

inline MutexState* Find(const FAST_MUTEX* mutex, const char* routine) {
    MutexState* state = Lookup(mutex);
    if (state == nullptr) {
        state = Adopt(mutex, routine);
    }
    return state;
}

[[noreturn, gnu::noinline, gnu::cold]] void Misuse(ULONG code, const char* name, const std::string& detail,
                                                  const FAST_MUTEX* mutex, ULONG_PTR p2 = 0) {
    BugCheck(code, name, detail, reinterpret_cast<ULONG_PTR>(mutex), p2);
}

[[noreturn, gnu::noinline, gnu::cold]] void MisuseAcquiredAgain(const FAST_MUTEX* mutex) {
    Misuse(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
           "ExAcquireFastMutex: fast mutex " + Hex(mutex) +
               " acquired again by the thread that holds it (fast mutexes are not recursive; this deadlocks)",
           mutex);
}

[[noreturn, gnu::noinline, gnu::cold]] void MisuseRelease(const FAST_MUTEX* mutex, const char* what) {
    Misuse(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
           std::string("ExReleaseFastMutex: fast mutex ") + Hex(mutex) + what, mutex);
}

[[noreturn, gnu::noinline, gnu::cold]] void MisuseReleaseIrql(KIRQL irql) {
    BugCheck(kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL",
             "ExReleaseFastMutex called at IRQL " + std::to_string(irql) +
                 ", must be APC_LEVEL (the level the acquire raised to)",
             irql, APC_LEVEL);
}

long Futex(std::atomic<int>* word, int op, int value) {
    return syscall(SYS_futex, reinterpret_cast<int*>(word), op | FUTEX_PRIVATE_FLAG, value, nullptr, nullptr, 0);
}

// Returns true when the lock had to be waited for.
bool LockWord(MutexState& state) {
    int c = 0;
    if (state.word.compare_exchange_strong(c, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return false;
    }
    if (c != 2) {
        c = state.word.exchange(2, std::memory_order_acquire);
    }
    while (c != 0) {
        Futex(&state.word, FUTEX_WAIT, 2);
        c = state.word.exchange(2, std::memory_order_acquire);
    }
    return true;
}

void UnlockWord(MutexState& state) {
    if (state.word.exchange(0, std::memory_order_release) == 2) {
        Futex(&state.word, FUTEX_WAKE, 1);
    }
}

bool HasEdge(MutexState& from, const FAST_MUTEX* to) {
    std::lock_guard<SpinLock> guard(from.orderLock);
    return std::find(from.successors.begin(), from.successors.end(), to) != from.successors.end();
}

// Records "held → mutex" for every mutex this thread holds, and stops the run
// when the opposite order was seen before: two threads taking the pair in
// opposite orders deadlock sooner or later. Only the records of the mutexes
// involved are locked.
void CheckLockOrder(const FAST_MUTEX* mutex, MutexState& state) {
    for (const FAST_MUTEX* held : tHeld) {
        if (HasEdge(state, held)) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     "lock order inversion between fast mutexes " + Hex(held) + " and " + Hex(mutex) + ": " +
                         Hex(mutex) + " was held earlier while " + Hex(held) +
                         " was acquired, now the order is reversed",
                     reinterpret_cast<ULONG_PTR>(held), reinterpret_cast<ULONG_PTR>(mutex));
        }
    }
    for (const FAST_MUTEX* held : tHeld) {
        MutexState* heldState = Lookup(held);
        if (heldState == nullptr) {
            continue;
        }
        std::lock_guard<SpinLock> guard(heldState->orderLock);
        auto& list = heldState->successors;
        if (std::find(list.begin(), list.end(), mutex) == list.end()) {
            list.push_back(mutex);
        }
    }
}

void TakeOwnership(PFAST_MUTEX mutex, MutexState& state, KIRQL oldIrql) {
    state.owner.store(ThreadToken(), std::memory_order_relaxed);
    state.savedIrql = oldIrql;
    mutex->Count = 0;
    mutex->Owner = CurrentThreadState().thread;
    mutex->OldIrql = oldIrql;
    if (tHeld.count == kMaxHeld) {
        Misuse(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
               "more than " + std::to_string(kMaxHeld) + " fast mutexes held by one thread", mutex);
    }
    tHeld.items[tHeld.count++] = mutex;
    ++CurrentThreadState().fastMutexesHeld;
}

// Forgets every edge that names `mutex` (its memory is now another lock).
// Called with the registry lock held.
void ForgetEdgesLocked(const FAST_MUTEX* mutex) {
    for (MutexState* state : R().live) {
        std::lock_guard<SpinLock> guard(state->orderLock);
        auto& list = state->successors;
        list.erase(std::remove(list.begin(), list.end(), mutex), list.end());
    }
}

void ResetSync() {
    Registry& r = R();
    {
        std::lock_guard<std::mutex> guard(r.lock);
        gGeneration.fetch_add(1);
        for (MutexState* state : r.live) {
            state->self.store(nullptr, std::memory_order_relaxed);
            r.spare.push_back(state);
        }
        r.live.clear();
    }
    tHeld.count = 0;
}

const bool kRegistered = [] {
    RegisterResetHook("sync", ResetSync);
    return true;
}();

}  // namespace

void ResetLockOrder() {
    std::lock_guard<std::mutex> guard(R().lock);
    for (MutexState* state : R().live) {
        std::lock_guard<SpinLock> orderGuard(state->orderLock);
        state->successors.clear();
    }
}

std::vector<std::pair<const FAST_MUTEX*, const FAST_MUTEX*>> LockOrderEdges() {
    std::set<std::pair<const FAST_MUTEX*, const FAST_MUTEX*>> edges;
    std::lock_guard<std::mutex> guard(R().lock);
    for (MutexState* state : R().live) {
        std::lock_guard<SpinLock> orderGuard(state->orderLock);
        for (const FAST_MUTEX* successor : state->successors) {
            edges.emplace(state->self.load(std::memory_order_relaxed), successor);
        }
    }
    return {edges.begin(), edges.end()};
}

bool IsOwnedByCurrentThread(const FAST_MUTEX* mutex) {
    return std::find(tHeld.begin(), tHeld.end(), mutex) != tHeld.end();
}

bool IsHeld(const FAST_MUTEX* mutex) {
    MutexState* state = Lookup(mutex);
    return state != nullptr && state->word.load(std::memory_order_acquire) != 0;
}

// A blocking acquire always ends holding the mutex; a try only when it says so.
uint64_t AcquireCount() { return CallCount("ExAcquireFastMutex") + CallCount("ExTryToAcquireFastMutex:acquired"); }

uint64_t ContendedCount() { return CallCount("ExAcquireFastMutex:contended"); }

std::vector<const void*> HeldFastMutexes() { return std::vector<const void*>(tHeld.begin(), tHeld.end()); }

}  // namespace sim::sync

using namespace sim;
using namespace sim::sync;

namespace sim::sync {
namespace {

// TRUE when the mutex is exactly as the inline initialiser leaves it.
bool LooksFresh(const FAST_MUTEX* mutex) {
    const DISPATCHER_HEADER& header = mutex->Event.Header;
    return mutex->Count == FM_LOCK_BIT && mutex->Owner == nullptr && mutex->Contention == 0 &&
           header.Type == SynchronizationEvent && header.Size == sizeof(KEVENT) / sizeof(LONG) &&
           header.SignalState == 0 && header.WaitListHead.Flink == &header.WaitListHead &&
           header.WaitListHead.Blink == &header.WaitListHead;
}

// First use of a mutex since it was initialised: give it a record.
MutexState* Adopt(const FAST_MUTEX* constMutex, const char* routine) {
    auto* mutex = const_cast<FAST_MUTEX*>(constMutex);
    Registry& r = R();
    std::lock_guard<std::mutex> guard(r.lock);
    if (MutexState* state = Lookup(mutex)) {
        return state;  // another thread's first acquire got there first
    }
    if (!LooksFresh(mutex)) {
        NeverInitialised(mutex, routine);
    }
    // The dispatcher touches the mutex at DISPATCH_LEVEL: it must not be pageable.
    std::optional<POOL_TYPE> type = pool::TypeOfContaining(mutex);
    if (type && pool::IsPagedType(*type)) {
        BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 std::string(routine) + ": fast mutex " + Hex(mutex) + " lies in paged pool",
                 reinterpret_cast<ULONG_PTR>(mutex), *type);
    }
    // A record still naming this address belongs to the mutex's previous life:
    // initialising a mutex that is held loses its owner and its waiters.
    for (MutexState* old : r.live) {
        if (old->self.load(std::memory_order_relaxed) != mutex) {
            continue;
        }
        if (old->word.load(std::memory_order_acquire) != 0) {
            BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                     std::string(routine) + ": fast mutex " + Hex(mutex) + " was re-initialised while held",
                     reinterpret_cast<ULONG_PTR>(mutex));
        }
        old->self.store(nullptr, std::memory_order_relaxed);
        r.live.erase(std::remove(r.live.begin(), r.live.end(), old), r.live.end());
        r.spare.push_back(old);
        break;
    }
    // The address may be reused memory: what an earlier lock there taught the
    // order checker says nothing about this one.
    ForgetEdgesLocked(mutex);
    MutexState* state;
    if (!r.spare.empty()) {
        state = r.spare.back();
        r.spare.pop_back();
    } else {
        state = new MutexState();
    }
    state->word.store(0, std::memory_order_relaxed);
    state->owner.store(nullptr, std::memory_order_relaxed);
    state->savedIrql = PASSIVE_LEVEL;
    {
        std::lock_guard<SpinLock> orderGuard(state->orderLock);
        state->successors.clear();
    }
    state->generation.store(gGeneration.load(), std::memory_order_relaxed);
    state->self.store(mutex, std::memory_order_release);
    r.live.push_back(state);
    void** slots = Slots(mutex);
    __atomic_store_n(&slots[2], nullptr, __ATOMIC_RELAXED);
    __atomic_store_n(&slots[0], static_cast<void*>(state), __ATOMIC_RELAXED);
    __atomic_store_n(&slots[1],
                     reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(state) ^ reinterpret_cast<uintptr_t>(mutex) ^
                                             kCheckKey),
                     __ATOMIC_RELEASE);
    return state;
}

}  // namespace
}  // namespace sim::sync

extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Count("KeInitializeEvent");
    RequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeEvent");
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        NotImplemented("KeInitializeEvent (an event type other than notification or synchronization)");
    }
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Signalling = 0;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.Reserved1 = 0;
    Event->Header.SignalState = State != FALSE ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

extern "C" VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExAcquireFastMutex");
    RequireIrqlAtMost(APC_LEVEL, "ExAcquireFastMutex");
    MutexState* state = Find(FastMutex, "ExAcquireFastMutex");
    if (state->owner.load(std::memory_order_relaxed) == ThreadToken()) {
        MisuseAcquiredAgain(FastMutex);
    }
    if (!tHeld.empty()) {
        CheckLockOrder(FastMutex, *state);
    }
    if (CurrentThreadState().pushLocksHeld > 0) {
        CheckOrderAcrossKinds(FastMutex);
    }
    KIRQL old = RaiseIrql(APC_LEVEL);
    if (LockWord(*state)) {
        std::atomic_ref<ULONG>(FastMutex->Contention).fetch_add(1, std::memory_order_relaxed);
        Count("ExAcquireFastMutex:contended");
    }
    TakeOwnership(FastMutex, *state, old);
}

extern "C" BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExTryToAcquireFastMutex");
    RequireIrqlAtMost(APC_LEVEL, "ExTryToAcquireFastMutex");
    MutexState* state = Find(FastMutex, "ExTryToAcquireFastMutex");
    int expected = 0;
    if (!state->word.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return FALSE;
    }
    // A try cannot deadlock, so it teaches the order checker nothing.
    Count("ExTryToAcquireFastMutex:acquired");
    KIRQL old = RaiseIrql(APC_LEVEL);
    TakeOwnership(FastMutex, *state, old);
    return TRUE;
}

extern "C" VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    Count("ExReleaseFastMutex");
    MutexState* state = Find(FastMutex, "ExReleaseFastMutex");
    if (state->word.load(std::memory_order_relaxed) == 0) {
        MisuseRelease(FastMutex, " released while not held");
    }
    if (state->owner.load(std::memory_order_relaxed) != ThreadToken()) {
        MisuseRelease(FastMutex, " released by a thread that does not own it");
    }
    if (CurrentThreadState().irql != APC_LEVEL) {
        MisuseReleaseIrql(CurrentThreadState().irql);
    }
    const KIRQL saved = state->savedIrql;
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    // The most recent acquisition is the usual one to go.
    for (int i = tHeld.count - 1; i >= 0; --i) {
        if (tHeld.items[i] == FastMutex) {
            std::copy(tHeld.items + i + 1, tHeld.items + tHeld.count, tHeld.items + i);
            --tHeld.count;
            break;
        }
    }
    --CurrentThreadState().fastMutexesHeld;
    state->owner.store(nullptr, std::memory_order_relaxed);
    UnlockWord(*state);
    LowerIrql(saved);
}
