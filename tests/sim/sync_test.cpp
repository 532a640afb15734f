// Fast mutexes of the simulated kernel: the IRQL they raise to, blocking
// between threads, the bugchecks of misuse and the lock-order checker.
#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/ke/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

class SimFastMutex : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetKernel();
        ExInitializeFastMutex(&a_);
        ExInitializeFastMutex(&b_);
    }
    void TearDown() override { sim::ResetKernel(); }

    FAST_MUTEX a_;
    FAST_MUTEX b_;
};

TEST_F(SimFastMutex, AcquireRaisesToApcAndReleaseRestoresTheSavedLevel) {
    ASSERT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    ExAcquireFastMutex(&a_);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    EXPECT_EQ(sim::CurrentThreadState().fastMutexesHeld, 1);
    EXPECT_TRUE(sim::sync::IsOwnedByCurrentThread(&a_));
    EXPECT_EQ(a_.Count, 0);
    ExAcquireFastMutex(&b_);
    EXPECT_EQ(sim::CurrentThreadState().fastMutexesHeld, 2);
    ExReleaseFastMutex(&b_);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    ExReleaseFastMutex(&a_);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::CurrentThreadState().fastMutexesHeld, 0);
    EXPECT_FALSE(sim::sync::IsHeld(&a_));
    EXPECT_EQ(a_.Count, 1);

    // Acquired at APC_LEVEL, released back to APC_LEVEL.
    KIRQL old = sim::RaiseIrql(APC_LEVEL);
    ExAcquireFastMutex(&a_);
    ExReleaseFastMutex(&a_);
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    sim::LowerIrql(old);
    EXPECT_EQ(sim::CallCount("ExAcquireFastMutex"), 3u);
}

TEST_F(SimFastMutex, MisuseStopsTheSystem) {
    EXPECT_DEATH(
        {
            sim::RaiseIrql(DISPATCH_LEVEL);
            ExAcquireFastMutex(&a_);
        },
        "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&a_);
            ExAcquireFastMutex(&a_);
        },
        "acquired again by the thread that holds it");
    EXPECT_DEATH(ExReleaseFastMutex(&a_), "released while not held");
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&a_);
            std::thread other([this] { ExReleaseFastMutex(&a_); });
            other.join();
        },
        "released by a thread that does not own it");
    EXPECT_DEATH(
        {
            FAST_MUTEX never;
            ExAcquireFastMutex(&never);
        },
        "never initialised");
    // A byte copy of an initialised mutex is not a mutex of its own.
    EXPECT_DEATH(
        {
            FAST_MUTEX copy;
            std::memcpy(&copy, &a_, sizeof(copy));
            ExAcquireFastMutex(&copy);
        },
        "never initialised");
    // Releasing out of order drops the IRQL below APC_LEVEL while the second
    // mutex is still held; its release then finds the wrong level.
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&a_);
            ExAcquireFastMutex(&b_);
            ExReleaseFastMutex(&a_);
            ExReleaseFastMutex(&b_);
        },
        "must be APC_LEVEL");
    EXPECT_DEATH(
        {
            void* block = ExAllocatePoolWithTag(PagedPool, sizeof(FAST_MUTEX), 'tseT');
            ExInitializeFastMutex(static_cast<PFAST_MUTEX>(block));
            ExAcquireFastMutex(static_cast<PFAST_MUTEX>(block));
        },
        "lies in paged pool");
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&a_);
            ExInitializeFastMutex(&a_);
            ExTryToAcquireFastMutex(&a_);
        },
        "re-initialised while held");
    // Memory that only looks like a mutex (never initialised) is refused.
    EXPECT_DEATH(
        {
            FAST_MUTEX copy;
            std::memset(&copy, 0xCD, sizeof(copy));
            ExAcquireFastMutex(&copy);
        },
        "was never initialised");
}

TEST_F(SimFastMutex, TryAcquireNeverWaits) {
    EXPECT_TRUE(ExTryToAcquireFastMutex(&a_));
    EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
    // The owner trying again gets FALSE instead of a deadlock.
    EXPECT_FALSE(ExTryToAcquireFastMutex(&a_));
    std::atomic<int> result{-1};
    std::thread other([&] { result = ExTryToAcquireFastMutex(&a_); });
    other.join();
    EXPECT_EQ(result, FALSE);
    ExReleaseFastMutex(&a_);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    std::thread again([&] {
        result = ExTryToAcquireFastMutex(&a_);
        if (result) ExReleaseFastMutex(&a_);
    });
    again.join();
    EXPECT_EQ(result, TRUE);
}

TEST_F(SimFastMutex, AWaiterBlocksUntilTheOwnerReleases) {
    ExAcquireFastMutex(&a_);
    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        ExAcquireFastMutex(&a_);
        acquired = true;
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ExReleaseFastMutex(&a_);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(acquired);
    ExReleaseFastMutex(&a_);
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_EQ(sim::sync::ContendedCount(), 1u);
    EXPECT_EQ(a_.Contention, 1u);
}

TEST_F(SimFastMutex, ExcludesConcurrentUpdaters) {
    long counter = 0;  // deliberately unsynchronised except by the mutex
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ExAcquireFastMutex(&a_);
                long seen = counter;
                if (i % 64 == 0) std::this_thread::yield();
                counter = seen + 1;
                ExReleaseFastMutex(&a_);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(counter, 8000);
    EXPECT_EQ(sim::sync::AcquireCount(), 8000u);
}

TEST_F(SimFastMutex, LockOrderInversionIsNamed) {
    ExAcquireFastMutex(&a_);
    ExAcquireFastMutex(&b_);
    ExReleaseFastMutex(&b_);
    ExReleaseFastMutex(&a_);
    auto edges = sim::sync::LockOrderEdges();
    ASSERT_EQ(edges.size(), 1u);
    EXPECT_EQ(edges[0].first, &a_);
    EXPECT_EQ(edges[0].second, &b_);

    // The same order again is fine; the reverse order would deadlock with a thread using the first.
    ExAcquireFastMutex(&a_);
    ExAcquireFastMutex(&b_);
    ExReleaseFastMutex(&b_);
    ExReleaseFastMutex(&a_);
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&b_);
            ExAcquireFastMutex(&a_);
        },
        "lock order inversion between fast mutexes");

    // A try-acquire cannot deadlock and is not judged.
    ExAcquireFastMutex(&b_);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&a_));
    ExReleaseFastMutex(&a_);
    ExReleaseFastMutex(&b_);

    // After a reset of the order records, or a re-initialisation of one of the
    // pair (the memory may now be a different lock), the reverse order is new.
    sim::sync::ResetLockOrder();
    EXPECT_TRUE(sim::sync::LockOrderEdges().empty());
    ExAcquireFastMutex(&b_);
    ExAcquireFastMutex(&a_);
    ExReleaseFastMutex(&a_);
    ExReleaseFastMutex(&b_);
    ExInitializeFastMutex(&a_);
    ExAcquireFastMutex(&a_);
    EXPECT_TRUE(sim::sync::LockOrderEdges().empty());
    ExAcquireFastMutex(&b_);
    ExReleaseFastMutex(&b_);
    ExReleaseFastMutex(&a_);
}

TEST_F(SimFastMutex, ResetForgetsMutexesAndOrder) {
    ExAcquireFastMutex(&a_);
    ExAcquireFastMutex(&b_);
    sim::ResetKernel();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(sim::CurrentThreadState().fastMutexesHeld, 0);
    EXPECT_TRUE(sim::sync::LockOrderEdges().empty());
    EXPECT_FALSE(sim::sync::IsHeld(&a_));
    EXPECT_DEATH(ExAcquireFastMutex(&a_), "never initialised");
}

}  // namespace
