// Guarded copy on the host build. The Linux kernel checks the client range for
// us: process_vm_readv/process_vm_writev on our own process copy the bytes and
// fail with EFAULT on an unmapped or protected range, without raising a signal.
// This behaves the same under AddressSanitizer and ThreadSanitizer.
#include "platform/kernel.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace {

NTSTATUS CopyGuarded(void* destination, const void* source, SIZE_T length, bool toClient) {
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (destination == nullptr || source == nullptr) {
        return STATUS_ACCESS_VIOLATION;
    }
    const pid_t self = getpid();
    SIZE_T done = 0;
    while (done < length) {
        iovec local{};
        iovec remote{};
        if (toClient) {
            local.iov_base = const_cast<char*>(static_cast<const char*>(source)) + done;
            remote.iov_base = static_cast<char*>(destination) + done;
        } else {
            local.iov_base = static_cast<char*>(destination) + done;
            remote.iov_base = const_cast<char*>(static_cast<const char*>(source)) + done;
        }
        local.iov_len = length - done;
        remote.iov_len = length - done;
        const ssize_t n = toClient ? process_vm_writev(self, &local, 1, &remote, 1, 0)
                                   : process_vm_readv(self, &local, 1, &remote, 1, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return STATUS_ACCESS_VIOLATION;
        }
        if (n == 0) {
            return STATUS_ACCESS_VIOLATION;
        }
        // A partial transfer stops at the first bad page; the next round reports it.
        done += static_cast<SIZE_T>(n);
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS PlatformCopyFromClient(PVOID KernelDestination, const VOID* ClientSource, SIZE_T Length) {
    return CopyGuarded(KernelDestination, ClientSource, Length, false);
}

extern "C" NTSTATUS PlatformCopyToClient(PVOID ClientDestination, const VOID* KernelSource, SIZE_T Length) {
    return CopyGuarded(ClientDestination, KernelSource, Length, true);
}
