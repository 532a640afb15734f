// Fast mutexes of the simulated kernel: host-side state kept in a table keyed
// by the FAST_MUTEX address (the driver owns that memory), real blocking
// between host threads, and a lock-order checker. Host code only.
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

}  // namespace sim::sync
