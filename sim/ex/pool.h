// Pool of the simulated kernel: per-block records (tag, size, pool type),
// usage by tag, leak reports and allocation fault injection. Host code only;
// the driver sees ExAllocatePoolWithTag and friends (sim/public/ex.h).
#pragma once

#include "sim/public/ex.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace sim::pool {

// Byte written over every new block (the real pool does not zero) and over
// every block as it is freed, so code that relies on zeroed or freed memory
// shows up in tests.
constexpr UCHAR kFillOnAllocate = 0xCD;
constexpr UCHAR kFillOnFree = 0xDD;

struct TagUsage {
    uint64_t count = 0;  // live blocks
    uint64_t bytes = 0;  // bytes requested by those blocks
};

struct BlockInfo {
    POOL_TYPE type = NonPagedPoolNx;
    ULONG tag = 0;
    SIZE_T size = 0;  // bytes requested (0 for a zero-byte request)
};

// Live blocks and the bytes they were requested with.
uint64_t LiveBlocks();
uint64_t LiveBytes();
std::map<ULONG, TagUsage> LiveByTag();

// Tag as pool tools show it: the bytes in memory order, so 'QVCM' reads "MCVQ".
// Unprintable bytes are shown as '.'.
std::string TagToString(ULONG tag);
// The tag of the allocation whose fault point this thread is taking (the
// fault sweep's hook asks it); 0 outside one.
ULONG TagBeingAllocated();

// Human-readable report of live blocks by tag ("no live pool blocks" when empty).
std::string Report();

// ExAllocatePoolWithTag calls since boot, failed ones included (a sweep that
// fails each allocation of a flow in turn counts them with one clean run).
uint64_t AllocationCount();
// Allocations that fault injection made fail since boot.
uint64_t InjectedFailureCount();

// Who may free a block. A block the Filter Manager hands a driver (a file name
// record, a context) is freed through the Filter Manager's own routine;
// ExFreePool(WithTag) on it stops the run. The owning area sets the mark back
// to Caller just before it frees the block itself.
enum class BlockOwner : uint16_t { Caller = 0, FileNameRecord = 1, FilterContext = 2 };
void SetOwner(void* block, BlockOwner owner);

// Checks the free pattern of the blocks this thread freed that are still held
// back (a reset does it too): a write into freed pool stops the run.
void CheckQuarantine();

// What the pool knows of a live block (exact start address), or nothing.
std::optional<BlockInfo> Lookup(const void* block);
std::optional<POOL_TYPE> TypeOf(const void* block);
// The pool type of the live block that contains the address, or nothing when
// the address is not inside a pool block (stack, static or host memory).
std::optional<POOL_TYPE> TypeOfContaining(const void* address);
// PagedPool, PagedPoolCacheAligned, PagedPoolSession.
bool IsPagedType(POOL_TYPE type);

// Fault injection. Each mode stays until ClearFaults or ResetKernel.
// FailNth(1) makes the next allocation fail, FailNth(2) the one after, ...;
// FailNth(0) cancels it. It fires once.
void FailNth(uint64_t n);
// Every allocation with this tag fails (several tags may be set).
void FailTag(ULONG tag);
// Each allocation fails with probability p, from a generator seeded with seed.
void FailFraction(double p, uint64_t seed);
void ClearFaults();

}  // namespace sim::pool
