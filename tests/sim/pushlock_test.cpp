// Push locks and critical regions of the simulated kernel: shared holders side
// by side, exclusive holders alone, the rules whose breach stops the run (APCs
// on at the acquire, recursion, a release by another thread, a lock never
// initialised or deleted, a callback that returns holding one) and the lock-
// order checker across fast mutexes and push locks.
#include "platform/kernel.h"
#include "sim/ke/core.h"
#include "sim/ke/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

class SimPushLock : public ::testing::Test {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        sim::ResetKernel();
        FltInitializePushLock(&a_);
        FltInitializePushLock(&b_);
        ExInitializeFastMutex(&mutex_);
    }
    void TearDown() override { sim::ResetKernel(); }

    static void Shared(PEX_PUSH_LOCK lock) {
        KeEnterCriticalRegion();
        FltAcquirePushLockShared(lock);
    }
    static void Exclusive(PEX_PUSH_LOCK lock) {
        KeEnterCriticalRegion();
        FltAcquirePushLockExclusive(lock);
    }
    static void Release(PEX_PUSH_LOCK lock) {
        FltReleasePushLock(lock);
        KeLeaveCriticalRegion();
    }

    EX_PUSH_LOCK a_ = 0;
    EX_PUSH_LOCK b_ = 0;
    FAST_MUTEX mutex_;
};

TEST_F(SimPushLock, SharedHoldersRunSideBySideAndAnExclusiveOneWaitsForThemAll) {
    Shared(&a_);
    // A second thread takes it shared while this one holds it: no wait.
    std::async(std::launch::async, [&] {
        Shared(&a_);
        Release(&a_);
    }).get();
    EXPECT_EQ(sim::sync::PushLockContendedCount(), 0u);

    std::atomic<bool> taken{false};
    auto writer = std::async(std::launch::async, [&] {
        Exclusive(&a_);
        taken = true;
        Release(&a_);
    });
    EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout) << "an exclusive acquire went past a shared holder";
    EXPECT_FALSE(taken);
    Release(&a_);
    writer.get();
    EXPECT_TRUE(taken);
    EXPECT_EQ(sim::CallCount("FltAcquirePushLockExclusive:contended"), 1u);

    // And a shared acquire waits for an exclusive holder.
    Exclusive(&a_);
    auto reader = std::async(std::launch::async, [&] {
        Shared(&a_);
        Release(&a_);
    });
    EXPECT_EQ(reader.wait_for(100ms), std::future_status::timeout) << "a shared acquire went past an exclusive holder";
    Release(&a_);
    reader.get();
    EXPECT_EQ(sim::CallCount("FltAcquirePushLockShared:contended"), 1u);
    EXPECT_EQ(sim::sync::SharedAcquireCount(), 3u);
    EXPECT_EQ(sim::sync::ExclusiveAcquireCount(), 2u);
    EXPECT_EQ(sim::CurrentThreadState().pushLocksHeld, 0);
    EXPECT_EQ(sim::CurrentThreadState().criticalRegion, 0);
}

TEST_F(SimPushLock, ExclusiveHoldersExcludeConcurrentUpdaters) {
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                Exclusive(&a_);
                const long seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                Release(&a_);
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, 8000);
}

// At APC_LEVEL every APC is off already: no critical region is needed.
TEST_F(SimPushLock, ApcLevelStandsInForTheCriticalRegion) {
    ExAcquireFastMutex(&mutex_);
    FltAcquirePushLockShared(&a_);
    FltReleasePushLock(&a_);
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(sim::sync::SharedAcquireCount(), 1u);
}

TEST_F(SimPushLock, MisuseStopsTheSystem) {
    EXPECT_DEATH(FltAcquirePushLockShared(&a_), "normal kernel APCs enabled");
    EXPECT_DEATH(FltAcquirePushLockExclusive(&a_), "normal kernel APCs enabled");
    EXPECT_DEATH(
        {
            KeEnterCriticalRegion();
            sim::RaiseIrql(DISPATCH_LEVEL);
            FltAcquirePushLockShared(&a_);
        },
        "IRQL_NOT_LESS_OR_EQUAL");
    EXPECT_DEATH(
        {
            Shared(&a_);
            FltAcquirePushLockShared(&a_);
        },
        "not recursive");
    EXPECT_DEATH(
        {
            Exclusive(&a_);
            FltAcquirePushLockShared(&a_);
        },
        "not recursive");
    EXPECT_DEATH(FltReleasePushLock(&a_), "does not hold it");
    EXPECT_DEATH(
        {
            Shared(&a_);
            std::thread([&] { FltReleasePushLock(&a_); }).join();
        },
        "does not hold it");
    EXPECT_DEATH(KeLeaveCriticalRegion(), "APC_INDEX_MISMATCH");

    EX_PUSH_LOCK never = 0;
    EXPECT_DEATH(Shared(&never), "never initialised");
    EXPECT_DEATH(
        {
            FltDeletePushLock(&a_);
            Shared(&a_);
        },
        "was deleted");
    EXPECT_DEATH(
        {
            Shared(&a_);
            FltDeletePushLock(&a_);
        },
        "deleted while held");
    EXPECT_DEATH(
        {
            Exclusive(&a_);
            FltInitializePushLock(&a_);
        },
        "initialised again while held");
}

TEST_F(SimPushLock, ACallbackThatReturnsHoldingOneOrInsideItsRegionStopsTheSystem) {
    EXPECT_DEATH(
        {
            const sim::CallbackEntry entry = sim::EnterDriverCallback();
            Shared(&a_);
            sim::CheckCallbackReturn(entry, "pre-create");
        },
        "pre-create returned holding 1 push lock");
    EXPECT_DEATH(
        {
            const sim::CallbackEntry entry = sim::EnterDriverCallback();
            KeEnterCriticalRegion();
            sim::CheckCallbackReturn(entry, "pre-write");
        },
        "pre-write returned with its critical-region depth changed from 0 to 1");
    // Balanced: nothing to say.
    const sim::CallbackEntry entry = sim::EnterDriverCallback();
    Exclusive(&a_);
    Release(&a_);
    sim::CheckCallbackReturn(entry, "pre-cleanup");
}

// The order rule holds across kinds: a fast mutex outside a push lock once,
// the push lock outside the fast mutex later, is an inversion; and so are two
// push locks taken both ways.
TEST_F(SimPushLock, LockOrderInversionsAcrossKindsAreNamed) {
    ExAcquireFastMutex(&mutex_);
    FltAcquirePushLockExclusive(&a_);
    FltReleasePushLock(&a_);
    ExReleaseFastMutex(&mutex_);
    EXPECT_DEATH(
        {
            Shared(&a_);
            ExAcquireFastMutex(&mutex_);
        },
        "lock order inversion");

    Shared(&a_);
    Exclusive(&b_);
    Release(&b_);
    Release(&a_);
    EXPECT_DEATH(
        {
            Shared(&b_);
            Shared(&a_);
        },
        "lock order inversion");
    // The same order again is fine.
    Shared(&a_);
    Shared(&b_);
    Release(&b_);
    Release(&a_);
}

}  // namespace
