// Fast mutexes and push locks of the simulated kernel: host-side state found
// from the lock's own memory (the driver owns it), real blocking between host
// threads, and a lock-order checker over both kinds. Host code only.
#pragma once

#include "sim/public/ex.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace sim::sync {

// Forgets every recorded "A held while B acquired" edge.
void ResetLockOrder();

// Recorded lock-order edges (first held while second acquired), for tests.
std::vector<std::pair<const FAST_MUTEX*, const FAST_MUTEX*>> LockOrderEdges();

// The host thread that owns the mutex is this one.
bool IsOwnedByCurrentThread(const FAST_MUTEX* mutex);
// Any thread owns it.
bool IsHeld(const FAST_MUTEX* mutex);

// Successful acquisitions (blocking and try) since boot, for benchmarks.
uint64_t AcquireCount();
// Acquisitions that had to wait for another thread.
uint64_t ContendedCount();

// The fast mutexes this host thread holds, in acquisition order.
std::vector<const void*> HeldFastMutexes();

// --- push locks (sim/ke/pushlock.cpp) ---------------------------------------
// The lock-order check for an acquire in which a push lock takes part: `lock`
// (a fast mutex or push lock) is about to be taken by a thread that holds
// others. Stops the run when the opposite order was seen before.
void CheckOrderAcrossKinds(const void* lock);
// The push lock is held by this host thread (and in which mode).
bool IsPushLockHeldByCurrentThread(const EX_PUSH_LOCK* lock, bool* exclusive = nullptr);
// Exclusive acquisitions since boot: fast mutexes (blocking and try) and push
// locks taken exclusively; shared ones: push locks taken shared; and push-lock
// acquisitions that had to wait for another thread.
uint64_t ExclusiveAcquireCount();
uint64_t SharedAcquireCount();
uint64_t PushLockContendedCount();

}  // namespace sim::sync
