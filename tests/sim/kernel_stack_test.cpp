// Kernel stacks: the model runs a driver's routines on a stack of the
// kernel's size below the share the layers above have used, a nested call
// goes on down the same stack, and past its end the run stops with the bug
// check a kernel stack overflow gives.
#include <gtest/gtest.h>

#include "sim/ke/stack.h"
#include "tests/support/fixture.h"

namespace {

// levels + 1 frames of a 512-byte buffer each.
__attribute__((noinline)) uint64_t Recurse(size_t levels) {
    volatile uint8_t buffer[512];
    for (size_t i = 0; i < sizeof(buffer); ++i) {
        buffer[i] = static_cast<uint8_t>(levels);
    }
    if (levels == 0) {
        return buffer[0];
    }
    return Recurse(levels - 1) + buffer[sizeof(buffer) - 1];
}

using KernelStackTest = vtest::SimTest;

TEST_F(KernelStackTest, ARoutineStartsBelowTheShareOfTheLayersAboveIt) {
    EXPECT_FALSE(sim::OnKernelStackNow());
    EXPECT_EQ(sim::KernelStackRemaining(), 0u);
    for (const auto entry : {sim::StackEntry::SystemCall, sim::StackEntry::SystemThread}) {
        size_t remaining = 0;
        bool on = false;
        sim::OnKernelStack("test", entry, [&] {
            on = sim::OnKernelStackNow();
            remaining = sim::KernelStackRemaining();
        });
        EXPECT_TRUE(on);
        const size_t below = sim::kKernelStackSize - sim::StackShareAbove(entry);
        EXPECT_LE(remaining, below);
        EXPECT_GT(remaining, below - 1024) << "only the call's own frames lie between";
    }
    EXPECT_GT(sim::StackShareAbove(sim::StackEntry::SystemCall), sim::StackShareAbove(sim::StackEntry::SystemThread));
}

TEST_F(KernelStackTest, ANestedCallAndARequestFromARoutineGoOnDownTheSameStack) {
    size_t outer = 0, nested = 0, charged = 0;
    sim::OnKernelStack("outer", sim::StackEntry::SystemCall, [&] {
        outer = sim::KernelStackRemaining();
        sim::OnKernelStack("nested", sim::StackEntry::SystemThread, [&] {
            nested = sim::KernelStackRemaining();
            sim::WithStackCharge(sim::StackShareAbove(sim::StackEntry::NestedRequest),
                                 [&] { charged = sim::KernelStackRemaining(); });
        });
    });
    EXPECT_GT(nested, 0u);
    EXPECT_LT(nested, outer);
    EXPECT_LE(charged, nested - sim::StackShareAbove(sim::StackEntry::NestedRequest));
    // Outside any call the charge takes nothing.
    size_t plain = 1;
    sim::WithStackCharge(0x1000, [&] { plain = sim::KernelStackRemaining(); });
    EXPECT_EQ(plain, 0u);
}

TEST_F(KernelStackTest, TheDeepestUsePerKindIsMeasuredWhenAsked) {
    sim::ResetKernelStackHighWater();
    sim::SetKernelStackMeasuring(true);
    uint64_t sum = 0;
    sim::OnKernelStack("shallow", sim::StackEntry::SystemThread, [&] { sum += Recurse(1); });
    sim::OnKernelStack("deep", sim::StackEntry::SystemThread, [&] { sum += Recurse(8); });
    sim::OnKernelStack("deep", sim::StackEntry::SystemThread, [&] { sum += Recurse(2); });
    sim::SetKernelStackMeasuring(false);
    EXPECT_EQ(sum, 1u + 36 + 3);
    const auto high = sim::KernelStackHighWater();
    ASSERT_EQ(high.size(), 2u);
    const size_t share = sim::StackShareAbove(sim::StackEntry::SystemThread);
    EXPECT_GE(high.at("shallow"), share + 2 * 512);
    EXPECT_GE(high.at("deep"), share + 9 * 512) << "the deepest call of the kind, not the last";
    EXPECT_GT(high.at("deep"), high.at("shallow") + 6 * 512);
    EXPECT_LT(high.at("deep"), sim::kKernelStackSize);
    sim::ResetKernelStackHighWater();
    EXPECT_TRUE(sim::KernelStackHighWater().empty());
}

TEST_F(KernelStackTest, PastTheEndOfTheStackTheRunStopsWithTheKernelsBugCheck) {
    // Half the stack is room enough in every build.
    uint64_t fits = 0;
    const size_t levels = sim::kKernelStackSize / 2 / 1024;
    sim::OnKernelStack("fits", sim::StackEntry::SystemCall, [&] { fits = Recurse(levels); });
    EXPECT_EQ(fits, levels * (levels + 1) / 2);
    // Twice the stack's size in frames of 512 bytes and more.
    EXPECT_DEATH(sim::OnKernelStack("too deep", sim::StackEntry::SystemCall,
                                    [&] { fits = Recurse(2 * sim::kKernelStackSize / 512); }),
                 "STOP: 0x0000007F \\(0x0000000000000008,.*\n.*UNEXPECTED_KERNEL_MODE_TRAP\n.*kernel stack overflow");
}

}  // namespace
