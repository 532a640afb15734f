// The simulated pool: accounting by tag, the real pool's bugchecks, no zeroing,
// and the fault-injection modes the sweep tests rely on.
#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/ex/pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr ULONG kTagA = 'QVCM';  // shown as "MCVQ"
constexpr ULONG kTagB = 'QVSG';  // shown as "GSVQ"

class SimPool : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetKernel();
    }
    void TearDown() override { sim::ResetKernel(); }
};

TEST_F(SimPool, AccountsLiveBlocksAndBytesByTag) {
    void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 10, kTagA);
    void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 20, kTagA);
    void* b1 = ExAllocatePoolWithTag(PagedPool, 100, kTagB);
    ASSERT_NE(a1, nullptr);
    ASSERT_NE(a2, nullptr);
    ASSERT_NE(b1, nullptr);

    EXPECT_EQ(sim::pool::LiveBlocks(), 3u);
    EXPECT_EQ(sim::pool::LiveBytes(), 130u);
    auto byTag = sim::pool::LiveByTag();
    ASSERT_EQ(byTag.size(), 2u);
    EXPECT_EQ(byTag[kTagA].count, 2u);
    EXPECT_EQ(byTag[kTagA].bytes, 30u);
    EXPECT_EQ(byTag[kTagB].count, 1u);
    EXPECT_EQ(byTag[kTagB].bytes, 100u);

    std::string report = sim::pool::Report();
    EXPECT_NE(report.find("MCVQ  2 blocks, 30 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("GSVQ  1 block, 100 bytes"), std::string::npos) << report;

    ExFreePoolWithTag(a1, kTagA);
    byTag = sim::pool::LiveByTag();
    EXPECT_EQ(byTag[kTagA].count, 1u);
    EXPECT_EQ(byTag[kTagA].bytes, 20u);

    // Tag 0 on free skips the check (header blocks are freed that way); ExFreePool never checks.
    ExFreePoolWithTag(a2, 0);
    ExFreePool(b1);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
    EXPECT_EQ(sim::pool::LiveBytes(), 0u);
    EXPECT_TRUE(sim::pool::LiveByTag().empty());
    EXPECT_EQ(sim::pool::Report(), "no live pool blocks\n");
}

TEST_F(SimPool, TagsReadInMemoryOrder) {
    EXPECT_EQ(sim::pool::TagToString('QVCM'), "MCVQ");
    EXPECT_EQ(sim::pool::TagToString('gaT1'), "1Tag");
    EXPECT_EQ(sim::pool::TagToString(0x00414243), "CBA.");
}

TEST_F(SimPool, BlocksAreNotZeroedAndRecordTheirType) {
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(PagedPool, 64, kTagA));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(block[i], sim::pool::kFillOnAllocate) << "byte " << i;
    }
    EXPECT_EQ(sim::pool::TypeOf(block), PagedPool);
    EXPECT_EQ(sim::pool::TypeOfContaining(block + 63), PagedPool);
    EXPECT_FALSE(sim::pool::TypeOf(block + 1).has_value());
    EXPECT_FALSE(sim::pool::TypeOfContaining(block + 64).has_value());
    auto info = sim::pool::Lookup(block);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->tag, kTagA);
    EXPECT_EQ(info->size, 64u);
    int onStack = 0;
    EXPECT_FALSE(sim::pool::TypeOfContaining(&onStack).has_value());
    ExFreePoolWithTag(block, kTagA);
    EXPECT_FALSE(sim::pool::TypeOf(block).has_value());
}

TEST_F(SimPool, ZeroByteRequestGivesALiveBlockToFree) {
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagA);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 1u);
    EXPECT_EQ(sim::pool::LiveBytes(), 0u);
    ExFreePoolWithTag(block, kTagA);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
}

TEST_F(SimPool, MisuseStopsTheSystem) {
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0), "pool tag 0 is not allowed");
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolMustSucceed, 8, kTagA), "BAD_POOL_CALLER");
    EXPECT_DEATH(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(3), 8, kTagA), "unknown pool type");
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
            ExFreePoolWithTag(p, kTagB);
        },
        "tag \"MCVQ\" but was freed with \"GSVQ\"");
    // BAD_POOL_CALLER with the real first parameter for a wrong tag.
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
            ExFreePoolWithTag(p, kTagB);
        },
        "STOP: 0x000000C2 \\(0x000000000000000A,");
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
            ExFreePoolWithTag(p, kTagA);
            ExFreePoolWithTag(p, kTagA);
        },
        "freed twice");
    EXPECT_DEATH(
        {
            auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA));
            ExFreePool(p + 4);
        },
        "not the start of a pool block");
    EXPECT_DEATH(ExFreePool(nullptr), "BAD_POOL_CALLER");
    // Freed by another thread first: the second free is still named.
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
            std::thread other([p] { ExFreePoolWithTag(p, kTagA); });
            other.join();
            ExFreePoolWithTag(p, kTagA);
        },
        "freed twice");
    // Memory that never came from the pool, on the stack or in the heap.
    EXPECT_DEATH(
        {
            alignas(16) unsigned char onStack[64] = {};
            ExFreePool(onStack + 48);
        },
        "not the start of a pool block");
    EXPECT_DEATH(
        {
            auto heap = std::make_unique<unsigned char[]>(64);
            ExFreePool(heap.get());
        },
        "not the start of a pool block");
    // A block live at a reset belongs to a kernel that is gone.
    EXPECT_DEATH(
        {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
            sim::ResetKernel();
            ExFreePoolWithTag(p, kTagA);
        },
        "not the start of a pool block");
}

TEST_F(SimPool, IrqlRulesFollowThePoolType) {
    // Non-paged pool is usable up to DISPATCH_LEVEL.
    KIRQL old = sim::RaiseIrql(DISPATCH_LEVEL);
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
    sim::LowerIrql(old);

    old = sim::RaiseIrql(APC_LEVEL);
    p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
    sim::LowerIrql(old);

    EXPECT_DEATH(
        {
            sim::RaiseIrql(DISPATCH_LEVEL);
            ExAllocatePoolWithTag(PagedPool, 8, kTagA);
        },
        "paged pool requested at IRQL 2");
    EXPECT_DEATH(
        {
            void* q = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
            sim::RaiseIrql(DISPATCH_LEVEL);
            ExFreePoolWithTag(q, kTagA);
        },
        "paged block freed at IRQL 2");
}

TEST_F(SimPool, FailNthFailsExactlyThatAllocationOnce) {
    uint64_t before = sim::pool::AllocationCount();
    sim::pool::FailNth(3);
    std::vector<void*> blocks;
    for (int i = 0; i < 5; ++i) {
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA));
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    // Failed attempts count too, so a sweep can number every allocation of a flow.
    EXPECT_EQ(sim::pool::AllocationCount() - before, 5u);
    EXPECT_EQ(sim::pool::InjectedFailureCount(), 1u);
    EXPECT_EQ(sim::pool::LiveBlocks(), 4u);
    for (void* b : blocks) {
        if (b != nullptr) ExFreePoolWithTag(b, kTagA);
    }
}

TEST_F(SimPool, FailTagFailsOnlyThatTagUntilCleared) {
    sim::pool::FailTag(kTagB);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagB), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagB), nullptr);
    void* a = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    EXPECT_NE(a, nullptr);
    sim::pool::ClearFaults();
    void* b = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    EXPECT_NE(b, nullptr);
    ExFreePoolWithTag(a, kTagA);
    ExFreePoolWithTag(b, kTagB);
}

TEST_F(SimPool, RoutineInjectionFailsTheNextAllocations) {
    sim::InjectFailure("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 2);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagA), nullptr);
    void* p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(sim::pool::InjectedFailureCount(), 2u);
    ExFreePoolWithTag(p, kTagA);
}

TEST_F(SimPool, FailFractionIsSeededAndRoughlyProportional) {
    auto pattern = [](uint64_t seed) {
        sim::pool::FailFraction(0.5, seed);
        std::vector<bool> failed;
        for (int i = 0; i < 200; ++i) {
            void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 4, kTagA);
            failed.push_back(p == nullptr);
            if (p) ExFreePoolWithTag(p, kTagA);
        }
        sim::pool::ClearFaults();
        return failed;
    };
    std::vector<bool> first = pattern(42);
    EXPECT_EQ(pattern(42), first);
    EXPECT_NE(pattern(43), first);
    long failures = std::count(first.begin(), first.end(), true);
    EXPECT_GT(failures, 60);
    EXPECT_LT(failures, 140);
}

TEST_F(SimPool, ResetForgetsBlocksAndFaults) {
    void* leaked = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    ASSERT_NE(leaked, nullptr);
    sim::pool::FailTag(kTagA);
    sim::pool::FailNth(1);
    sim::ResetKernel();
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
    EXPECT_EQ(sim::pool::AllocationCount(), 0u);
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    ASSERT_NE(p, nullptr);
    ExFreePoolWithTag(p, kTagA);
}

TEST_F(SimPool, ConcurrentAllocationsKeepTheBooksStraight) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            ULONG tag = t % 2 ? kTagA : kTagB;
            for (int i = 0; i < 500; ++i) {
                void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 32, tag);
                ASSERT_NE(p, nullptr);
                ExFreePoolWithTag(p, tag);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
    EXPECT_EQ(sim::pool::AllocationCount(), 2000u);
    EXPECT_EQ(sim::CallCount("ExFreePoolWithTag"), 2000u);
}

}  // namespace
