// User space as the images see it. On Windows x64 everything below
// MmUserProbeAddress belongs to the current process and everything the kernel
// allocates lies far above. The host puts its own memory (heap, thread stacks,
// the model's pool, the mapped images) near the top of its lower half, so the
// model reserves a region low in the address space, ends user space at its
// end, and hands out client buffers from it: a driver's range check against
// MmUserProbeAddress then accepts client buffers and refuses the model's own
// memory, as on Windows.
#include "sim/loader/internal.h"

#include "sim/private/core.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

namespace sim::loader {

namespace {

constexpr size_t kPage = 4096;
// Candidate places for the region (the first free one is taken) and its size.
constexpr uintptr_t kUserRegionBases[] = {0x10000000, 0x40000000, 0x4000000};
constexpr size_t kUserRegionSize = 0x20000000;  // 512 MB

struct UserSpace {
    std::mutex lock;
    uintptr_t begin = 0;
    uintptr_t end = 0;
    std::map<uintptr_t, size_t> free;  // start -> length, page-granular
};

UserSpace& Space() {
    static UserSpace* space = new UserSpace;
    return *space;
}

ULONG_PTR gProbeAddress = 0;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "\n*** simulated kernel: cannot lay out user space: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// Reserves the region once (inaccessible until pages are handed out).
UserSpace& Reserved() {
    UserSpace& s = Space();
    static std::once_flag once;
    std::call_once(once, [&] {
        for (uintptr_t base : kUserRegionBases) {
            void* at = mmap(reinterpret_cast<void*>(base), kUserRegionSize, PROT_NONE,
                            MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
            if (at == MAP_FAILED) {
                continue;
            }
            if (reinterpret_cast<uintptr_t>(at) != base) {  // an old kernel ignoring the flag
                munmap(at, kUserRegionSize);
                continue;
            }
            s.begin = base;
            s.end = base + kUserRegionSize;
            break;
        }
        if (s.begin == 0) {
            Fail("no free region low in the address space");
        }
        // Everything else of the host must lie above: check the kinds of memory there are.
        int onStack = 0;
        void* onHeap = std::malloc(1);
        const uintptr_t samples[] = {reinterpret_cast<uintptr_t>(&onStack), reinterpret_cast<uintptr_t>(onHeap),
                                     reinterpret_cast<uintptr_t>(&gProbeAddress),
                                     reinterpret_cast<uintptr_t>(&UserProbeAddress)};
        std::free(onHeap);
        for (uintptr_t sample : samples) {
            if (sample < s.end) {
                Fail("host memory lies below the end of the user region");
            }
        }
        s.free[s.begin] = kUserRegionSize;
        gProbeAddress = s.end;
    });
    return s;
}

}  // namespace

uintptr_t UserProbeAddress() { return Reserved().end; }

const ULONG_PTR* UserProbeAddressVariable() {
    Reserved();
    return &gProbeAddress;
}

void* AllocateUserPages(size_t bytes) {
    UserSpace& s = Reserved();
    const size_t length = (std::max<size_t>(bytes, 1) + kPage - 1) & ~(kPage - 1);
    std::lock_guard<std::mutex> guard(s.lock);
    for (auto it = s.free.begin(); it != s.free.end(); ++it) {
        if (it->second < length) {
            continue;
        }
        const uintptr_t at = it->first;
        const size_t rest = it->second - length;
        s.free.erase(it);
        if (rest != 0) {
            s.free[at + length] = rest;
        }
        void* pages = mmap(reinterpret_cast<void*>(at), length, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (pages == MAP_FAILED) {
            Fail("cannot commit user pages");
        }
        return pages;
    }
    return nullptr;
}

void FreeUserPages(void* address, size_t bytes) {
    if (address == nullptr) {
        return;
    }
    UserSpace& s = Reserved();
    const uintptr_t at = reinterpret_cast<uintptr_t>(address);
    const size_t length = (std::max<size_t>(bytes, 1) + kPage - 1) & ~(kPage - 1);
    if (at % kPage != 0 || at < s.begin || at + length > s.end) {
        Fail("FreeUserPages of a range that is not in user space");
    }
    // Back to reserved and inaccessible (fresh zero pages when handed out again).
    if (mmap(address, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == MAP_FAILED) {
        Fail("cannot release user pages");
    }
    std::lock_guard<std::mutex> guard(s.lock);
    auto next = s.free.lower_bound(at);
    uintptr_t start = at;
    size_t span = length;
    if (next != s.free.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second == at) {
            start = previous->first;
            span += previous->second;
            s.free.erase(previous);
        }
    }
    if (next != s.free.end() && next->first == at + length) {
        span += next->second;
        s.free.erase(next);
    }
    s.free[start] = span;
}

}  // namespace sim::loader
