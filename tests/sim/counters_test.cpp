// The routine counters: counted without a lock in per-thread cells, read out
// as totals that include threads that have ended, zeroed by a reset.
#include "sim/ke/core.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

class SimCounters : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override { sim::ResetKernel(); }
};

TEST_F(SimCounters, TotalsIncludeEveryThreadLiveOrEnded) {
    sim::Count("CounterTestRoutine");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 1000; ++i) {
                sim::Count("CounterTestRoutine");
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(sim::CallCount("CounterTestRoutine"), 4001u);
    EXPECT_EQ(sim::CallCounts()["CounterTestRoutine"], 4001u);
    EXPECT_EQ(sim::CallCount("CounterTestNeverCalled"), 0u);
    EXPECT_EQ(sim::CallCounts().count("CounterTestNeverCalled"), 0u);
}

TEST_F(SimCounters, OneRoutineWhateverTheAddressOfItsName) {
    // The same text at another address (a copy, as another file's literal
    // may be) is the same routine.
    static const std::string copy = "CounterTestShared";
    sim::Count("CounterTestShared");
    sim::Count(copy.c_str());
    EXPECT_EQ(sim::CallCount("CounterTestShared"), 2u);
}

TEST_F(SimCounters, ResetZeroesWhatEveryThreadCounted) {
    std::thread counter([] {
        for (int i = 0; i < 10; ++i) sim::Count("CounterTestReset");
    });
    counter.join();
    sim::Count("CounterTestReset");
    ASSERT_EQ(sim::CallCount("CounterTestReset"), 11u);
    sim::ResetKernel();
    EXPECT_EQ(sim::CallCount("CounterTestReset"), 0u);
    EXPECT_EQ(sim::CallCounts().count("CounterTestReset"), 0u);
    sim::Count("CounterTestReset");
    EXPECT_EQ(sim::CallCount("CounterTestReset"), 1u);
}

TEST_F(SimCounters, InjectedFailuresAreTakenOnceEach) {
    sim::InjectFailure("CounterTestInject", STATUS_INSUFFICIENT_RESOURCES, 2);
    EXPECT_EQ(sim::TakeInjectedFailure("CounterTestInject"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::TakeInjectedFailure("CounterTestOther"), STATUS_SUCCESS);
    EXPECT_EQ(sim::TakeInjectedFailure("CounterTestInject"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::TakeInjectedFailure("CounterTestInject"), STATUS_SUCCESS);
    sim::InjectFailure("CounterTestInject", STATUS_INSUFFICIENT_RESOURCES, 5);
    sim::ClearInjectedFailures();
    EXPECT_EQ(sim::TakeInjectedFailure("CounterTestInject"), STATUS_SUCCESS);
}

}  // namespace
