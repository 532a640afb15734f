// The user half of the model's address space. On Windows a client program's
// buffers lie below MmUserProbeAddress and the kernel's memory above it, and a
// driver checks a client's range against that boundary before it touches it.
// The model's programs are host code whose memory lies anywhere in the host
// process, so the buffers a program hands the kernel are presented to the
// driver through the user window: a region reserved at a fixed low address,
// with MmUserProbeAddress at its end, below everything the model allocates
// (pool, images, the host's heaps and stacks). A buffer's pages are mirrored
// into the window with their accessibility: a page the program cannot read is
// a page the driver faults on, a read-only page one it cannot write.
#pragma once

#include "sim/public/kernel.h"

#include <cstddef>
#include <cstdint>

namespace sim::user {

// Bounds of the window: [UserWindowStart(), MmUserProbeAddress).
uintptr_t UserWindowStart();
uintptr_t UserWindowEnd();

// Page-granular memory in the window for a program (or a test acting as one)
// that builds its buffers there directly; readable and writable, zero-filled.
void* AllocateUserMemory(size_t length);
void FreeUserMemory(void* address);
// Makes whole pages of window memory unreadable (PROT_NONE) or read-only, as a
// program's VirtualProtect would.
void ProtectUserMemory(void* address, size_t length, bool readable, bool writable);

// FALSE when [address, address + length) lies in a request's view of another
// process's buffer than the current thread's process. On Windows a user
// address means something only in its own process: a worker thread (the
// System process) or another process's thread that touches it reaches that
// process's memory, not the program's, and usually faults. The model gives
// each request's view the requesting process, and the host build's guarded
// copy (PlatformCopyFromClient/ToClient) fails such an access with
// STATUS_ACCESS_VIOLATION; each refusal counts as the call
// "UserBufferOutsideItsProcess". Memory a test builds in the window itself
// (AllocateUserMemory) belongs to no process and is reachable from all.
bool UserRangeInContext(const void* address, size_t length);

// A program's buffer as the kernel sees it for the length of one request: the
// buffer's bytes at a window address with the same offset in its page, each
// page as accessible as the program's. A buffer already in the window is used
// as it is. With `writable`, what the kernel wrote is copied back to the
// program's pages it could write when the view ends.
class UserView {
public:
    UserView(const void* buffer, size_t length, bool writable);
    ~UserView();
    UserView(const UserView&) = delete;
    UserView& operator=(const UserView&) = delete;
    void* address() const { return address_; }

private:
    const void* buffer_ = nullptr;
    size_t length_ = 0;
    bool writable_ = false;
    void* address_ = nullptr;
    void* block_ = nullptr;
    size_t blockLength_ = 0;
};

}  // namespace sim::user
