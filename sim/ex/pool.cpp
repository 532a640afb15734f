// The pool: ExAllocatePoolWithTag / ExFreePoolWithTag / ExFreePool with a
// record per block, accounting by tag, the real pool's bugchecks on misuse and
// allocation fault injection.
//
// Zero-byte requests: the real pool hands out a small valid block for them and
// so does this one (it counts as a live block of 0 bytes and must be freed).
//
// Bookkeeping is constant-time and mostly unshared: each block carries its
// record in a header just before it (with a check word tying the header to
// its address, so a pointer that is not a block start is recognised), the
// live blocks hang on one of many short lists chosen by address (each with
// its own spin lock, held for a link or an unlink), and usage by tag lives in
// a lock-free table of atomic counts. A freed block stays in its freeing
// thread's quarantine for a while, marked freed, filled with the free pattern
// (and poisoned under AddressSanitizer), so a second free of it is named as
// such; when it leaves the quarantine (and at a reset, and when its thread
// ends) the pattern is checked, so a write into freed pool stops the run.
// After that the host gets the memory back. Behind every block lie guard
// bytes, checked when the block is freed: a write past the block's end stops
// the run too.
#include "sim/ex/pool.h"

#include "sim/ke/core.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define VETRONA_POOL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VETRONA_POOL_ASAN 1
#endif
#endif
#if defined(VETRONA_POOL_ASAN)
#include <sanitizer/asan_interface.h>
#define POOL_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define POOL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define POOL_POISON(p, n) ((void)(p), (void)(n))
#define POOL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace sim::pool {

namespace {

// BAD_POOL_CALLER first parameters, as the real pool reports them.
constexpr ULONG_PTR kBadPoolFreedTwice = 0x07;
constexpr ULONG_PTR kBadPoolWrongTag = 0x0A;
constexpr ULONG_PTR kBadPoolAllocateIrql = 0x08;
constexpr ULONG_PTR kBadPoolFreeIrql = 0x09;
constexpr ULONG_PTR kBadPoolInvalidAddress = 0x46;
constexpr ULONG_PTR kBadPoolZeroTag = 0x9B;
constexpr ULONG_PTR kBadPoolBadType = 0x0D;

// What the driver verifier's special pool reports: a write past a block's end
// found when the block is freed, and a freed block that was touched again.
constexpr ULONG kBugSpecialPoolDetectedMemoryCorruption = 0xC1;
constexpr ULONG kBugPageFaultInFreedSpecialPool = 0xCC;
// Guard bytes behind every block and the pattern they hold.
constexpr size_t kGuardBytes = 16;
constexpr UCHAR kGuardFill = 0xEB;

enum : uint32_t { kLive = 0x4C495645, kFreed = 0x46524545, kRetired = 0x52455449 };
constexpr uint64_t kCheckKey = 0x5645544F524E4150ull;

// The record in front of every block. 48 bytes keeps the block 16-aligned.
// The list links come first: the host allocator may write over the first
// words of memory it has taken back, and the check word and state are best
// kept clear of them.
struct Header {
    Header* prev;
    Header* next;
    uint64_t size;  // bytes requested
    uint32_t tag;
    uint32_t type;
    std::atomic<uint64_t> check;  // address of the header ^ kCheckKey
    std::atomic<uint32_t> state;
    uint16_t shard;
    uint16_t owner;  // BlockOwner: who alone may free the block
};
static_assert(sizeof(Header) == 48, "the pool header keeps blocks 16-aligned");

void* BlockOf(Header* header) { return reinterpret_cast<char*>(header) + sizeof(Header); }

std::string Hex(const void* p);

// The first byte of [start, start + length) that differs from `fill`, or -1.
// Not instrumented: the quarantine's blocks are poisoned under AddressSanitizer.
// Whole 32-byte runs are compared as four words; the run that differs, and
// the tail, byte by byte.
__attribute__((no_sanitize("address", "thread"))) long FirstDifferent(const UCHAR* start, size_t length, UCHAR fill) {
    // Plain loads (no library call a sanitizer would intercept), any alignment.
    typedef uint64_t __attribute__((may_alias, aligned(1))) Word;
    const uint64_t pattern = 0x0101010101010101ULL * fill;
    size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const Word* w = reinterpret_cast<const Word*>(start + i);
        if (((w[0] ^ pattern) | (w[1] ^ pattern) | (w[2] ^ pattern) | (w[3] ^ pattern)) != 0) {
            break;
        }
    }
    for (; i < length; ++i) {
        if (start[i] != fill) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

// Stops the run when a freed block no longer holds the free pattern.
void CheckFreedPattern(Header* header) {
    const size_t span = std::max<uint64_t>(header->size, 1);
    const long at = FirstDifferent(static_cast<const UCHAR*>(BlockOf(header)), span, kFillOnFree);
    if (at >= 0) {
        BugCheck(kBugPageFaultInFreedSpecialPool, "PAGE_FAULT_IN_FREED_SPECIAL_POOL",
                 "freed pool block " + Hex(BlockOf(header)) + " (" + std::to_string(header->size) + " bytes, tag \"" +
                     TagToString(header->tag) + "\") was written after it was freed, at byte " + std::to_string(at),
                 reinterpret_cast<ULONG_PTR>(BlockOf(header)) + static_cast<ULONG_PTR>(at), 1, 0, 0);
    }
}

// Stops the run when the guard bytes behind a live block were written.
void CheckGuard(Header* header) {
    const auto* end = static_cast<const UCHAR*>(BlockOf(header)) + header->size;
    const long at = FirstDifferent(end, kGuardBytes, kGuardFill);
    if (at >= 0) {
        BugCheck(kBugSpecialPoolDetectedMemoryCorruption, "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",
                 "write past the end of pool block " + Hex(BlockOf(header)) + " (" + std::to_string(header->size) +
                     " bytes, tag \"" + TagToString(header->tag) + "\"), " + std::to_string(at + 1) +
                     " byte(s) beyond it",
                 reinterpret_cast<ULONG_PTR>(BlockOf(header)), header->size, static_cast<ULONG_PTR>(at), 0x20);
    }
}

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

// Usage by tag of one shard's blocks, kept under the shard's lock.
constexpr size_t kShardTags = 32;
struct ShardTag {
    ULONG tag = 0;  // 0: free entry
    uint64_t count = 0;
    uint64_t bytes = 0;
};

constexpr size_t kShards = 64;
struct alignas(64) Shard {
    SpinLock lock;
    Header* head = nullptr;
    ShardTag tags[kShardTags];
};

constexpr size_t kTagSlots = 4096;  // power of two
struct alignas(64) TagSlot {
    std::atomic<ULONG> tag{0};  // 0: free slot (tag 0 is refused)
    std::atomic<uint64_t> count{0};
    std::atomic<uint64_t> bytes{0};
};

struct State {
    Shard shards[kShards];
    TagSlot tags[kTagSlots];
    std::mutex tagInsertLock;
    // Lowest and highest header addresses ever handed out: a pointer outside
    // is not a block, without reading memory in front of it.
    std::atomic<uintptr_t> lowest{UINTPTR_MAX};
    std::atomic<uintptr_t> highest{0};
    std::atomic<uint64_t> injected{0};
    // Fault injection: consulted under faultLock only while armed.
    std::atomic<bool> faultsArmed{false};
    std::mutex faultLock;
    uint64_t failAt = 0;  // absolute allocation number that fails; 0 = none
    std::set<ULONG> failTags;
    double failFraction = 0.0;
    std::mt19937_64 rng;
    // Blocks still live at a reset: kept reachable (never reused, never
    // reported by a leak checker) because the test that leaked them may have
    // left a thread holding a pointer.
    std::mutex retiredLock;
    std::vector<Header*> retired;
};

State& S() {
    static State* state = new State();
    return *state;
}

size_t ShardOf(const Header* header) {
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(header) >> 4) * 0x9E3779B97F4A7C15ull >> 58) % kShards;
}

TagSlot& TagEntry(ULONG tag) {
    State& s = S();
    size_t slot = (tag * 0x9E3779B1u) & (kTagSlots - 1);
    for (size_t probes = 0; probes < kTagSlots; ++probes, slot = (slot + 1) & (kTagSlots - 1)) {
        const ULONG seen = s.tags[slot].tag.load(std::memory_order_acquire);
        if (seen == tag) {
            return s.tags[slot];
        }
        if (seen == 0) {
            std::lock_guard<std::mutex> guard(s.tagInsertLock);
            ULONG again = s.tags[slot].tag.load(std::memory_order_acquire);
            if (again == 0) {
                s.tags[slot].tag.store(tag, std::memory_order_release);
                return s.tags[slot];
            }
            if (again == tag) {
                return s.tags[slot];
            }
        }
    }
    std::fprintf(stderr, "\n*** simulated kernel: more than %zu pool tags in use\n", kTagSlots);
    std::abort();
}

// Accounts `count` blocks of `bytes` to `tag` in the shard (its lock held);
// a shard out of entries for new tags passes them to the shared table.
void AccountLocked(Shard& shard, ULONG tag, int64_t count, int64_t bytes) {
    for (ShardTag& entry : shard.tags) {
        if (entry.tag == tag || (entry.tag == 0 && count > 0)) {
            entry.tag = tag;
            entry.count += static_cast<uint64_t>(count);
            entry.bytes += static_cast<uint64_t>(bytes);
            return;
        }
    }
    TagSlot& slot = TagEntry(tag);
    slot.count.fetch_add(static_cast<uint64_t>(count), std::memory_order_relaxed);
    slot.bytes.fetch_add(static_cast<uint64_t>(bytes), std::memory_order_relaxed);
}

// Freed blocks a thread holds back from the host allocator.
constexpr size_t kQuarantine = 256;
struct Quarantine {
    Header* ring[kQuarantine] = {};
    size_t next = 0;
    ~Quarantine() {
        for (Header*& header : ring) {
            if (header != nullptr) {
                CheckFreedPattern(header);
                POOL_UNPOISON(header, sizeof(Header) + std::max<uint64_t>(header->size, 1));
                std::free(header);
                header = nullptr;
            }
        }
    }
    void Hold(Header* header) {
        Header* old = ring[next];
        ring[next] = header;
        next = (next + 1) % kQuarantine;
        if (old != nullptr) {
            CheckFreedPattern(old);
            POOL_UNPOISON(BlockOf(old), std::max<uint64_t>(old->size, 1));
            std::free(old);
        }
    }
    void CheckAll() {
        for (Header* header : ring) {
            if (header != nullptr) {
                CheckFreedPattern(header);
            }
        }
    }
};
thread_local Quarantine tQuarantine;
thread_local ULONG tAllocatingTag = 0;  // see TagBeingAllocated

bool IsKnownType(ULONG type) {
    switch (type) {
        case NonPagedPool:
        case PagedPool:
        case NonPagedPoolCacheAligned:
        case PagedPoolCacheAligned:
        case NonPagedPoolSession:
        case PagedPoolSession:
        case NonPagedPoolNx:
        case NonPagedPoolNx | NonPagedPoolCacheAligned:  // NonPagedPoolNxCacheAligned
        case NonPagedPoolNx | NonPagedPoolSession:       // NonPagedPoolSessionNx
            return true;
        default:
            return false;
    }
}

std::string Hex(const void* p) {
    std::ostringstream out;
    out << p;
    return out.str();
}

// Decides, under the fault lock, whether fault injection fails allocation
// number `n`.
bool ShouldFailLocked(State& s, uint64_t n, ULONG tag) {
    if (s.failAt != 0 && n == s.failAt) {
        s.failAt = 0;
        return true;
    }
    if (s.failTags.count(tag) != 0) {
        return true;
    }
    if (s.failFraction > 0.0) {
        std::uniform_real_distribution<double> dist(0.0, 1.0);
        return dist(s.rng) < s.failFraction;
    }
    return false;
}

void UpdateArmedLocked(State& s) {
    s.faultsArmed.store(s.failAt != 0 || !s.failTags.empty() || s.failFraction > 0.0, std::memory_order_release);
}

// The header of `block` when it is one the pool handed out (live, freed and
// still held back, or retired by a reset), else null. Reads the memory in
// front of the pointer only when it lies among the pool's addresses and is
// aligned as blocks are; the read is not instrumented, since in front of a
// non-block lies someone else's memory (or a sanitizer's red zone).
__attribute__((no_sanitize("address", "thread")))
Header* FindHeader(const void* block) {
    const auto at = reinterpret_cast<uintptr_t>(block);
    State& s = S();
    if (block == nullptr || at % 16 != 0 || at < sizeof(Header)) {
        return nullptr;
    }
    const uintptr_t header = at - sizeof(Header);
    if (header < s.lowest.load(std::memory_order_relaxed) || header > s.highest.load(std::memory_order_relaxed)) {
        return nullptr;
    }
    auto* h = reinterpret_cast<Header*>(header);
    const uint64_t check = *reinterpret_cast<const volatile uint64_t*>(&h->check);
    if (check != (header ^ kCheckKey)) {
        return nullptr;
    }
    return h;
}

__attribute__((no_sanitize("address", "thread")))
uint32_t StateOf(const Header* header) {
    // Not instrumented either: a block held back is poisoned under
    // AddressSanitizer except for its header, but a header can sit in memory
    // the host allocator took back long ago.
    return *reinterpret_cast<const volatile uint32_t*>(&header->state);
}

void Link(Header* header) {
    Shard& shard = S().shards[header->shard];
    std::lock_guard<SpinLock> guard(shard.lock);
    AccountLocked(shard, header->tag, 1, static_cast<int64_t>(header->size));
    header->prev = nullptr;
    header->next = shard.head;
    if (shard.head != nullptr) {
        shard.head->prev = header;
    }
    shard.head = header;
}

// Marks the block freed and takes it off its list; false when another free
// of it came first.
bool Unlink(Header* header) {
    Shard& shard = S().shards[header->shard];
    std::lock_guard<SpinLock> guard(shard.lock);
    if (header->state.load(std::memory_order_relaxed) != kLive) {
        return false;
    }
    header->state.store(kFreed, std::memory_order_relaxed);
    AccountLocked(shard, header->tag, -1, -static_cast<int64_t>(header->size));
    if (header->prev != nullptr) {
        header->prev->next = header->next;
    } else {
        shard.head = header->next;
    }
    if (header->next != nullptr) {
        header->next->prev = header->prev;
    }
    header->prev = header->next = nullptr;
    return true;
}

void ResetPool() {
    State& s = S();
    tQuarantine.CheckAll();
    std::vector<Header*> live;
    for (Shard& shard : s.shards) {
        std::lock_guard<SpinLock> guard(shard.lock);
        for (Header* h = shard.head; h != nullptr; h = h->next) {
            h->state.store(kRetired, std::memory_order_relaxed);
            live.push_back(h);
        }
        shard.head = nullptr;
        for (ShardTag& entry : shard.tags) {
            entry = ShardTag{};
        }
    }
    {
        std::lock_guard<std::mutex> guard(s.retiredLock);
        s.retired.insert(s.retired.end(), live.begin(), live.end());
    }
    for (TagSlot& slot : s.tags) {
        slot.count.store(0, std::memory_order_relaxed);
        slot.bytes.store(0, std::memory_order_relaxed);
    }
    s.injected.store(0);
    std::lock_guard<std::mutex> guard(s.faultLock);
    s.failAt = 0;
    s.failTags.clear();
    s.failFraction = 0.0;
    UpdateArmedLocked(s);
}

const bool kRegistered = [] {
    RegisterResetHook("pool", ResetPool);
    return true;
}();

void FreeBlock(PVOID block, ULONG tag, bool checkTag, const char* routine) {
    if (block == nullptr) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER", std::string(routine) + ": attempt to free a NULL pointer",
                 kBadPoolInvalidAddress, 0);
    }
    Header* header = FindHeader(block);
    if (header != nullptr) {
        uint32_t state = StateOf(header);
        if (state == kFreed) {
            BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                     std::string(routine) + ": pool block " + Hex(block) + " freed twice", kBadPoolFreedTwice,
                     reinterpret_cast<ULONG_PTR>(block));
        }
        if (state != kLive) {
            header = nullptr;
        }
    }
    if (header == nullptr) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                 std::string(routine) + ": " + Hex(block) + " is not the start of a pool block",
                 kBadPoolInvalidAddress, reinterpret_cast<ULONG_PTR>(block));
    }
    const POOL_TYPE type = static_cast<POOL_TYPE>(header->type);
    if (header->owner != static_cast<uint16_t>(BlockOwner::Caller)) {
        const char* what = header->owner == static_cast<uint16_t>(BlockOwner::FileNameRecord)
                               ? "a Filter Manager file name record (release it with FltReleaseFileNameInformation)"
                               : "a Filter Manager context (release it with FltReleaseContext)";
        BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 std::string(routine) + ": " + Hex(block) + " is " + what, 0x1004, reinterpret_cast<ULONG_PTR>(block),
                 header->tag, header->owner);
    }
    if (checkTag && tag != header->tag) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                 std::string(routine) + ": block " + Hex(block) + " has tag \"" + TagToString(header->tag) +
                     "\" but was freed with \"" + TagToString(tag) + "\"",
                 kBadPoolWrongTag, reinterpret_cast<ULONG_PTR>(block), tag, header->tag);
    }
    KIRQL irql = CurrentThreadState().irql;
    KIRQL allowed = IsPagedType(type) ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql > allowed) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                 std::string(routine) + ": " + (IsPagedType(type) ? "paged" : "non-paged") + " block freed at IRQL " +
                     std::to_string(irql),
                 kBadPoolFreeIrql, irql, type, reinterpret_cast<ULONG_PTR>(block));
    }
    CheckGuard(header);
    // Two threads freeing the same block at once: one of them wins.
    if (!Unlink(header)) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                 std::string(routine) + ": pool block " + Hex(block) + " freed twice", kBadPoolFreedTwice,
                 reinterpret_cast<ULONG_PTR>(block));
    }
    const size_t span = std::max<uint64_t>(header->size, 1);
    std::memset(block, kFillOnFree, span);
    POOL_POISON(block, span);
    tQuarantine.Hold(header);
}

std::optional<BlockInfo> LiveInfo(const void* block) {
    Header* header = FindHeader(block);
    if (header == nullptr || StateOf(header) != kLive) {
        return std::nullopt;
    }
    return BlockInfo{static_cast<POOL_TYPE>(header->type), header->tag, header->size};
}

}  // namespace

std::map<ULONG, TagUsage> LiveByTag() {
    std::map<ULONG, TagUsage> byTag;
    for (const TagSlot& slot : S().tags) {
        const uint64_t count = slot.count.load(std::memory_order_relaxed);
        if (count != 0) {
            TagUsage& usage = byTag[slot.tag.load(std::memory_order_relaxed)];
            usage.count += count;
            usage.bytes += slot.bytes.load(std::memory_order_relaxed);
        }
    }
    for (Shard& shard : S().shards) {
        std::lock_guard<SpinLock> guard(shard.lock);
        for (const ShardTag& entry : shard.tags) {
            if (entry.count != 0) {
                TagUsage& usage = byTag[entry.tag];
                usage.count += entry.count;
                usage.bytes += entry.bytes;
            }
        }
    }
    // A tag whose blocks were counted in one place and freed in the other
    // nets out here.
    for (auto it = byTag.begin(); it != byTag.end();) {
        it = it->second.count == 0 ? byTag.erase(it) : std::next(it);
    }
    return byTag;
}

uint64_t LiveBlocks() {
    uint64_t total = 0;
    for (const auto& [tag, usage] : LiveByTag()) {
        total += usage.count;
    }
    return total;
}

uint64_t LiveBytes() {
    uint64_t total = 0;
    for (const auto& [tag, usage] : LiveByTag()) {
        total += usage.bytes;
    }
    return total;
}

ULONG TagBeingAllocated() { return tAllocatingTag; }

std::string TagToString(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string Report() {
    std::map<ULONG, TagUsage> byTag = LiveByTag();
    if (byTag.empty()) {
        return "no live pool blocks\n";
    }
    std::ostringstream out;
    uint64_t blocks = 0;
    uint64_t bytes = 0;
    out << "live pool blocks by tag:\n";
    for (const auto& [tag, usage] : byTag) {
        out << "  " << TagToString(tag) << "  " << usage.count << (usage.count == 1 ? " block, " : " blocks, ")
            << usage.bytes << " bytes\n";
        blocks += usage.count;
        bytes += usage.bytes;
    }
    out << "  total " << blocks << (blocks == 1 ? " block, " : " blocks, ") << bytes << " bytes\n";
    return out.str();
}

// The routine's own counter: every call counts, failed ones included.
uint64_t AllocationCount() { return CallCount("ExAllocatePoolWithTag"); }

uint64_t InjectedFailureCount() { return S().injected.load(); }

std::optional<BlockInfo> Lookup(const void* block) { return LiveInfo(block); }

void SetOwner(void* block, BlockOwner owner) {
    Header* header = FindHeader(block);
    if (header == nullptr || StateOf(header) != kLive) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER", "pool owner set on " + Hex(block) + ", not a live block",
                 kBadPoolInvalidAddress, reinterpret_cast<ULONG_PTR>(block));
    }
    header->owner = static_cast<uint16_t>(owner);
}

void CheckQuarantine() { tQuarantine.CheckAll(); }

std::optional<POOL_TYPE> TypeOf(const void* block) {
    std::optional<BlockInfo> info = Lookup(block);
    if (!info) {
        return std::nullopt;
    }
    return info->type;
}

std::optional<POOL_TYPE> TypeOfContaining(const void* address) {
    // Rare (fast-mutex initialisation): a walk of every live block.
    const auto at = reinterpret_cast<uintptr_t>(address);
    for (Shard& shard : S().shards) {
        std::lock_guard<SpinLock> guard(shard.lock);
        for (Header* h = shard.head; h != nullptr; h = h->next) {
            const auto start = reinterpret_cast<uintptr_t>(BlockOf(h));
            if (at >= start && at - start < h->size) {
                return static_cast<POOL_TYPE>(h->type);
            }
        }
    }
    return std::nullopt;
}

bool IsPagedType(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned || type == PagedPoolSession;
}

void FailNth(uint64_t n) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.faultLock);
    s.failAt = n == 0 ? 0 : AllocationCount() + n;
    UpdateArmedLocked(s);
}

void FailTag(ULONG tag) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.faultLock);
    s.failTags.insert(tag);
    UpdateArmedLocked(s);
}

void FailFraction(double p, uint64_t seed) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.faultLock);
    s.failFraction = p;
    s.rng.seed(seed);
    UpdateArmedLocked(s);
}

void ClearFaults() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.faultLock);
    s.failAt = 0;
    s.failTags.clear();
    s.failFraction = 0.0;
    UpdateArmedLocked(s);
}

}  // namespace sim::pool

using namespace sim;
using namespace sim::pool;

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    Count("ExAllocatePoolWithTag");
    if (Tag == 0) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER", "ExAllocatePoolWithTag: pool tag 0 is not allowed",
                 kBadPoolZeroTag, PoolType, NumberOfBytes);
    }
    if (PoolType == NonPagedPoolMustSucceed) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER", "ExAllocatePoolWithTag: NonPagedPoolMustSucceed is not allowed",
                 kBadPoolBadType, PoolType, NumberOfBytes, Tag);
    }
    constexpr ULONG kPoolRaiseIfAllocationFailure = 16;
    if (static_cast<ULONG>(PoolType) & kPoolRaiseIfAllocationFailure) {
        // Raising needs structured exception handling around the caller.
        NotImplemented("ExAllocatePoolWithTag with POOL_RAISE_IF_ALLOCATION_FAILURE");
    }
    if (!IsKnownType(static_cast<ULONG>(PoolType))) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                 "ExAllocatePoolWithTag: unknown pool type " + std::to_string(static_cast<ULONG>(PoolType)),
                 kBadPoolBadType, PoolType, NumberOfBytes, Tag);
    }
    KIRQL irql = CurrentThreadState().irql;
    KIRQL allowed = IsPagedType(PoolType) ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql > allowed) {
        BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                 std::string("ExAllocatePoolWithTag: ") + (IsPagedType(PoolType) ? "paged" : "non-paged") +
                     " pool requested at IRQL " + std::to_string(irql),
                 kBadPoolAllocateIrql, irql, PoolType, NumberOfBytes);
    }

    State& s = S();
    bool fail = false;
    if (s.faultsArmed.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(s.faultLock);
        fail = ShouldFailLocked(s, AllocationCount(), Tag);
    }
    tAllocatingTag = Tag;
    const NTSTATUS injected = fail ? STATUS_INSUFFICIENT_RESOURCES : TakeInjectedFailure("ExAllocatePoolWithTag");
    tAllocatingTag = 0;
    if (injected != STATUS_SUCCESS) {
        s.injected.fetch_add(1, std::memory_order_relaxed);
        return nullptr;
    }
    // A request this large fails on any real machine; so does a host that is
    // out of memory.
    if (NumberOfBytes > (SIZE_T{1} << 40)) {
        return nullptr;
    }
    const size_t span = NumberOfBytes == 0 ? 1 : NumberOfBytes;
    auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + span + kGuardBytes));
    if (header == nullptr) {
        return nullptr;
    }
    const auto at = reinterpret_cast<uintptr_t>(header);
    header->size = NumberOfBytes;
    header->tag = Tag;
    header->type = static_cast<uint32_t>(PoolType);
    header->shard = static_cast<uint16_t>(ShardOf(header));
    header->owner = static_cast<uint16_t>(BlockOwner::Caller);
    header->state.store(kLive, std::memory_order_relaxed);
    header->check.store(at ^ kCheckKey, std::memory_order_relaxed);
    uintptr_t bound = s.lowest.load(std::memory_order_relaxed);
    while (at < bound && !s.lowest.compare_exchange_weak(bound, at, std::memory_order_relaxed)) {
    }
    bound = s.highest.load(std::memory_order_relaxed);
    while (at > bound && !s.highest.compare_exchange_weak(bound, at, std::memory_order_relaxed)) {
    }
    void* block = BlockOf(header);
    std::memset(block, kFillOnAllocate, span);
    std::memset(static_cast<UCHAR*>(block) + NumberOfBytes, kGuardFill, kGuardBytes);
    Link(header);
    return block;
}
extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Count("ExFreePoolWithTag");
    // Tag 0 asks for no check, as the driver does for blocks whose tag it does not track.
    FreeBlock(P, Tag, Tag != 0, "ExFreePoolWithTag");
}

extern "C" VOID NTAPI ExFreePool(PVOID P) {
    Count("ExFreePool");
    FreeBlock(P, 0, false, "ExFreePool");
}
