// The pool: ExAllocatePoolWithTag / ExFreePoolWithTag / ExFreePool with a
// record per block, accounting by tag, the real pool's bugchecks on misuse and
// allocation fault injection.
//
// Zero-byte requests: the real pool hands out a small valid block for them and
// so does this one (it counts as a live block of 0 bytes and must be freed).
#include "sim/private/pool.h"

#include "sim/private/core.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <unordered_set>
#include <vector>

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

struct State {
    std::mutex lock;
    std::map<const void*, BlockInfo> blocks;  // ordered: TypeOfContaining searches by address
    std::unordered_set<const void*> freed;    // freed and not handed out again
    std::map<ULONG, TagUsage> byTag;
    uint64_t liveBytes = 0;
    uint64_t allocations = 0;
    uint64_t injected = 0;
    // Fault injection.
    uint64_t failAt = 0;  // absolute allocation number that fails; 0 = none
    std::set<ULONG> failTags;
    double failFraction = 0.0;
    std::mt19937_64 rng;
    // Blocks still live at a reset: kept reachable (never reused, never
    // reported by a leak checker) because the test that leaked them may have
    // left a thread holding a pointer.
    std::vector<void*> retired;
};

State& S() {
    static State* state = new State();
    return *state;
}

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

// Decides, under the lock, whether fault injection fails this allocation.
bool ShouldFailLocked(State& s, ULONG tag) {
    if (s.failAt != 0 && s.allocations == s.failAt) {
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

void ResetPool() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto& entry : s.blocks) {
        s.retired.push_back(const_cast<void*>(entry.first));
    }
    s.blocks.clear();
    s.freed.clear();
    s.byTag.clear();
    s.liveBytes = 0;
    s.allocations = 0;
    s.injected = 0;
    s.failAt = 0;
    s.failTags.clear();
    s.failFraction = 0.0;
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
    State& s = S();
    BlockInfo info;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        auto it = s.blocks.find(block);
        if (it == s.blocks.end()) {
            if (s.freed.count(block) != 0) {
                BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                         std::string(routine) + ": pool block " + Hex(block) + " freed twice", kBadPoolFreedTwice,
                         reinterpret_cast<ULONG_PTR>(block));
            }
            BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                     std::string(routine) + ": " + Hex(block) + " is not the start of a pool block",
                     kBadPoolInvalidAddress, reinterpret_cast<ULONG_PTR>(block));
        }
        info = it->second;
        if (checkTag && tag != info.tag) {
            BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                     std::string(routine) + ": block " + Hex(block) + " has tag \"" + TagToString(info.tag) +
                         "\" but was freed with \"" + TagToString(tag) + "\"",
                     kBadPoolWrongTag, reinterpret_cast<ULONG_PTR>(block), tag, info.tag);
        }
        KIRQL irql = CurrentThreadState().irql;
        KIRQL allowed = IsPagedType(info.type) ? APC_LEVEL : DISPATCH_LEVEL;
        if (irql > allowed) {
            BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                     std::string(routine) + ": " + (IsPagedType(info.type) ? "paged" : "non-paged") +
                         " block freed at IRQL " + std::to_string(irql),
                     kBadPoolFreeIrql, irql, info.type, reinterpret_cast<ULONG_PTR>(block));
        }
        s.blocks.erase(it);
        s.freed.insert(block);
        s.liveBytes -= info.size;
        auto usage = s.byTag.find(info.tag);
        if (--usage->second.count == 0) {
            s.byTag.erase(usage);
        } else {
            usage->second.bytes -= info.size;
        }
    }
    std::memset(block, kFillOnFree, info.size);
    std::free(block);
}

}  // namespace

uint64_t LiveBlocks() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().blocks.size();
}

uint64_t LiveBytes() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().liveBytes;
}

std::map<ULONG, TagUsage> LiveByTag() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().byTag;
}

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

uint64_t AllocationCount() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().allocations;
}

uint64_t InjectedFailureCount() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().injected;
}

std::optional<BlockInfo> Lookup(const void* block) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().blocks.find(block);
    if (it == S().blocks.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::optional<POOL_TYPE> TypeOf(const void* block) {
    std::optional<BlockInfo> info = Lookup(block);
    if (!info) {
        return std::nullopt;
    }
    return info->type;
}

std::optional<POOL_TYPE> TypeOfContaining(const void* address) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto& blocks = S().blocks;
    auto it = blocks.upper_bound(address);
    if (it == blocks.begin()) {
        return std::nullopt;
    }
    --it;
    auto start = reinterpret_cast<uintptr_t>(it->first);
    auto at = reinterpret_cast<uintptr_t>(address);
    if (at - start < it->second.size) {
        return it->second.type;
    }
    return std::nullopt;
}

bool IsPagedType(POOL_TYPE type) {
    return type == PagedPool || type == PagedPoolCacheAligned || type == PagedPoolSession;
}

void FailNth(uint64_t n) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().failAt = n == 0 ? 0 : S().allocations + n;
}

void FailTag(ULONG tag) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().failTags.insert(tag);
}

void FailFraction(double p, uint64_t seed) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().failFraction = p;
    S().rng.seed(seed);
}

void ClearFaults() {
    std::lock_guard<std::mutex> guard(S().lock);
    S().failAt = 0;
    S().failTags.clear();
    S().failFraction = 0.0;
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
    {
        std::lock_guard<std::mutex> guard(s.lock);
        ++s.allocations;
        if (ShouldFailLocked(s, Tag) || TakeInjectedFailure("ExAllocatePoolWithTag") != STATUS_SUCCESS) {
            ++s.injected;
            return nullptr;
        }
    }
    // A request this large fails on any real machine; so does a host that is
    // out of memory.
    if (NumberOfBytes > (SIZE_T{1} << 40)) {
        return nullptr;
    }
    void* block = std::malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, kFillOnAllocate, NumberOfBytes == 0 ? 1 : NumberOfBytes);
    std::lock_guard<std::mutex> guard(s.lock);
    s.freed.erase(block);
    s.blocks[block] = BlockInfo{PoolType, Tag, NumberOfBytes};
    s.liveBytes += NumberOfBytes;
    TagUsage& usage = s.byTag[Tag];
    ++usage.count;
    usage.bytes += NumberOfBytes;
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
