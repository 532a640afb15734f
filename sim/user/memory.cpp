// The user window: see sim/user/memory.h.
#include "sim/user/memory.h"

#include "sim/ke/core.h"
#include "sim/ps/ps.h"

#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>
#include <algorithm>

// The window lies at 256 MB and ends at 1.25 GB: below every mapping the host
// makes for a position-independent program (its image, heap, libraries and
// stacks), and inside the application range of the sanitizers' layouts.
constexpr uintptr_t kWindowStart = 0x10000000;
constexpr uintptr_t kWindowLength = 0x40000000;

extern "C" ULONG_PTR MmUserProbeAddress = kWindowStart + kWindowLength;

namespace sim::user {

namespace {

struct Window {
    std::mutex lock;
    bool reserved = false;
    uintptr_t next = kWindowStart;
    std::multimap<size_t, uintptr_t> free;  // pages -> start
    std::map<uintptr_t, size_t> blocks;     // start -> pages
    // Blocks that hold a request's view of a program's buffer: the process
    // whose address space the buffer is in (see UserRangeInContext).
    std::map<uintptr_t, _EPROCESS*> owners;  // start -> process
};

Window& W() {
    static Window* window = new Window();
    return *window;
}

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

void ReserveLocked(Window& w) {
    if (w.reserved) {
        return;
    }
    void* at = mmap(reinterpret_cast<void*>(kWindowStart), kWindowLength, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (at != reinterpret_cast<void*>(kWindowStart)) {
        std::fprintf(stderr, "simulated kernel: cannot reserve the user window at %#lx (%s)\n",
                     static_cast<unsigned long>(kWindowStart), std::strerror(errno));
        std::abort();
    }
    w.reserved = true;
}

// True when the host lets this process read [address, address + length).
bool Readable(const void* address, size_t length, void* into) {
    iovec local{into, length};
    iovec remote{const_cast<void*>(address), length};
    return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(length);
}

bool Writable(void* address, const void* from, size_t length) {
    iovec local{const_cast<void*>(from), length};
    iovec remote{address, length};
    return process_vm_writev(getpid(), &local, 1, &remote, 1, 0) == static_cast<ssize_t>(length);
}

}  // namespace

uintptr_t UserWindowStart() { return kWindowStart; }
uintptr_t UserWindowEnd() { return kWindowStart + kWindowLength; }

void* AllocateUserMemory(size_t length) {
    const size_t page = PageSize();
    const size_t pages = (length == 0 ? 1 : (length + page - 1) / page);
    Window& w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    ReserveLocked(w);
    uintptr_t start = 0;
    auto it = w.free.lower_bound(pages);
    if (it != w.free.end() && it->first == pages) {
        start = it->second;
        w.free.erase(it);
    } else {
        if (w.next + pages * page > kWindowStart + kWindowLength) {
            BugCheck(0x7D, "INSTALL_MORE_MEMORY", "the model's user window is exhausted");
        }
        start = w.next;
        w.next += pages * page;
    }
    if (mprotect(reinterpret_cast<void*>(start), pages * page, PROT_READ | PROT_WRITE) != 0) {
        std::perror("simulated kernel: user window");
        std::abort();
    }
    std::memset(reinterpret_cast<void*>(start), 0, pages * page);
    w.blocks[start] = pages;
    return reinterpret_cast<void*>(start);
}

void FreeUserMemory(void* address) {
    if (address == nullptr) {
        return;
    }
    Window& w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.blocks.find(reinterpret_cast<uintptr_t>(address));
    if (it == w.blocks.end()) {
        std::fprintf(stderr, "simulated kernel: %p is not a block of the user window\n", address);
        std::abort();
    }
    const size_t bytes = it->second * PageSize();
    mprotect(address, bytes, PROT_NONE);
    madvise(address, bytes, MADV_DONTNEED);
    w.free.emplace(it->second, it->first);
    w.owners.erase(it->first);
    w.blocks.erase(it);
}

void ProtectUserMemory(void* address, size_t length, bool readable, bool writable) {
    const size_t page = PageSize();
    const uintptr_t start = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(address) + length + page - 1) & ~(page - 1);
    const int protection = !readable ? PROT_NONE : (writable ? PROT_READ | PROT_WRITE : PROT_READ);
    mprotect(reinterpret_cast<void*>(start), end - start, protection);
}

bool UserRangeInContext(const void* address, size_t length) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    if (at < kWindowStart || at >= kWindowStart + kWindowLength) {
        return true;
    }
    Window& w = W();
    std::lock_guard<std::mutex> guard(w.lock);
    auto it = w.owners.upper_bound(at);
    if (it == w.owners.begin()) {
        return true;
    }
    --it;
    const auto block = w.blocks.find(it->first);
    if (block == w.blocks.end() || at >= it->first + block->second * PageSize()) {
        return true;  // not in that block
    }
    (void)length;  // a view is one block: its start decides
    if (it->second == sim::CurrentProcess()) {
        return true;
    }
    sim::Count("UserBufferOutsideItsProcess");
    return false;
}

UserView::UserView(const void* buffer, size_t length, bool writable)
    : buffer_(buffer), length_(length), writable_(writable) {
    const auto at = reinterpret_cast<uintptr_t>(buffer);
    if (buffer == nullptr || length == 0 || (at >= kWindowStart && at + length <= kWindowStart + kWindowLength)) {
        address_ = const_cast<void*>(buffer);  // nothing to map, or already user memory
        return;
    }
    const size_t page = PageSize();
    const size_t offset = at & (page - 1);
    blockLength_ = offset + length;
    block_ = AllocateUserMemory(blockLength_);
    {
        Window& w = W();
        std::lock_guard<std::mutex> guard(w.lock);
        w.owners[reinterpret_cast<uintptr_t>(block_)] = sim::CurrentProcess();
    }
    auto* window = static_cast<uint8_t*>(block_);
    address_ = window + offset;
    // Page by page, as the program's pages are.
    for (uintptr_t pageStart = at - offset; pageStart < at + length; pageStart += page) {
        const uintptr_t from = std::max(pageStart, at);
        const uintptr_t to = std::min(pageStart + page, at + length);
        uint8_t* mirror = window + (from - (at - offset));
        const bool readable = Readable(reinterpret_cast<const void*>(from), to - from, mirror);
        bool canWrite = false;
        if (readable && writable) {
            canWrite = Writable(reinterpret_cast<void*>(from), mirror, to - from);
        }
        ProtectUserMemory(window + (pageStart - (at - offset)), page, readable, canWrite || !writable);
    }
}

UserView::~UserView() {
    if (block_ == nullptr) {
        return;
    }
    if (writable_) {
        const size_t page = PageSize();
        const auto at = reinterpret_cast<uintptr_t>(buffer_);
        const size_t offset = at & (page - 1);
        auto* window = static_cast<uint8_t*>(block_);
        for (uintptr_t pageStart = at - offset; pageStart < at + length_; pageStart += page) {
            const uintptr_t from = std::max(pageStart, at);
            const uintptr_t to = std::min(pageStart + page, at + length_);
            uint8_t* mirror = window + (from - (at - offset));
            // Pages the program could not write stay as they were; a page the
            // driver could not read was never written by it either.
            std::vector<uint8_t> bytes(to - from);
            if (Readable(mirror, to - from, bytes.data())) {
                Writable(reinterpret_cast<void*>(from), bytes.data(), to - from);
            }
        }
    }
    ProtectUserMemory(block_, blockLength_, true, true);
    FreeUserMemory(block_);
}

}  // namespace sim::user
