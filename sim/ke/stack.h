// Kernel stacks. A thread in the kernel runs on a stack of the kernel's own
// size, with no-access pages below it: the model runs every routine a driver
// handed it (filter callbacks, dispatch routines, notification routines, work
// items, the registry callback, port notifications) on such a stack, so a
// driver that uses more stack than Windows gives it stops the run with the
// kernel's bug check, as the real machine would. Host code only.
#pragma once

#include "sim/public/kernel.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>

namespace sim {

// An x64 kernel thread's stack (KERNEL_STACK_SIZE). The sanitizer builds'
// code takes several times the stack per frame (red zones, unoptimised
// frames), so they give each thread a larger stack instead of dropping the
// check.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kKernelStackSize = 0x40000;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kKernelStackSize = 0x40000;
#else
constexpr size_t kKernelStackSize = 0x6000;
#endif
#else
constexpr size_t kKernelStackSize = 0x6000;
#endif

// What the layers above a driver's routine have used of the stack when the
// routine is called: a thread that came from user mode has its trap frame
// and the system service's, the I/O manager's or the configuration
// manager's, and the Filter Manager's frames above the callback; a system
// worker thread only its start and the worker loop.
enum class StackEntry {
    SystemCall,    // a program's thread in a system service
    SystemThread,  // a worker thread of the System process
    // Not an entry: a request a driver makes from its routine (an open, a
    // read) takes the I/O manager's, the object manager's and the Filter
    // Manager's frames again before the next filter or the file system runs.
    NestedRequest,
};
size_t StackShareAbove(StackEntry entry);

// Runs `routine(argument)` on the current thread's kernel stack, below the
// share `entry` says the layers above have used. A thread already on its
// kernel stack (a driver's routine that called the model, which calls a
// driver again) goes on where it is: the nested call uses the same stack.
// `kind` names the call for the deepest-use table ("pre-create"...).
void RunOnKernelStack(const char* kind, StackEntry entry, void (*routine)(void*), void* argument);

template <typename F>
void OnKernelStack(const char* kind, StackEntry entry, F&& body) {
    RunOnKernelStack(
        kind, entry, [](void* raw) { (*static_cast<std::remove_reference_t<F>*>(raw))(); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// TRUE while this thread runs on its kernel stack.
bool OnKernelStackNow();
// The bytes of this thread's kernel stack left below the caller's frame, or
// 0 when it is not on one (IoGetRemainingStackSize).
size_t KernelStackRemaining();

// The layers below a driver take stack too: the model's own frames are not
// theirs. Runs `body` `bytes` further down the current stack (touching the
// space, as the frames of those layers would), when on a kernel stack.
void ChargeKernelStack(size_t bytes, void (*routine)(void*), void* argument);
template <typename F>
void WithStackCharge(size_t bytes, F&& body) {
    ChargeKernelStack(
        bytes, [](void* raw) { (*static_cast<std::remove_reference_t<F>*>(raw))(); },
        const_cast<void*>(static_cast<const void*>(&body)));
}

// The deepest use of the kernel stack (bytes from its top, the share above
// included) per kind of outermost call, while measuring is on. Measuring
// costs a scan of the stack after each outermost call.
void SetKernelStackMeasuring(bool on);
// Switching to the kernel stack on (the default). The instruction-count tool
// turns it off for a loaded image: callgrind loses track of a signal the
// image's trap handler takes on a stack it did not see the program switch to
// (it stops with an assertion about the signal), so the image's loops run on
// the caller's stack there and no stack figures are taken for them.
void SetKernelStackSwitching(bool on);
std::map<std::string, size_t> KernelStackHighWater();
void ResetKernelStackHighWater();

// For the loader's signal handler: when `address` lies in the no-access pages
// below this thread's kernel stack, stops the run with the bug check a
// kernel stack overflow gives (0x7F, double fault); returns otherwise.
void StopIfKernelStackOverflow(uintptr_t address, uintptr_t instruction);

}  // namespace sim
