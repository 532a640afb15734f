// Work items queued from many threads at once, re-queued from their own
// routine, and the worker threads' shutdown at kernel reset.
#include "sim/io/io.h"
#include "sim/ps/ps.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

PDEVICE_OBJECT gDevice = nullptr;

NTSTATUS NTAPI WorkEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverUnload = [](PDRIVER_OBJECT d) NTAPI { IoDeleteDevice(d->DeviceObject); };
    return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gDevice);
}

struct Counter {
    std::atomic<int> runs{0};
    std::atomic<int> wrongContext{0};
    std::atomic<int> requeuesLeft{0};
};

VOID NTAPI CountingWork(PDEVICE_OBJECT device, PVOID context) {
    auto* counter = static_cast<Counter*>(context);
    if (device != gDevice || PsGetCurrentProcessId() != reinterpret_cast<HANDLE>(4) || KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ++counter->wrongContext;
    }
    ++counter->runs;
}

struct Requeue {
    PIO_WORKITEM item;
    Counter counter;
};

VOID NTAPI RequeueingWork(PDEVICE_OBJECT device, PVOID context) {
    auto* requeue = static_cast<Requeue*>(context);
    ++requeue->counter.runs;
    if (--requeue->counter.requeuesLeft > 0) {
        // Legal: the item left the queue before its routine was called.
        IoQueueWorkItem(requeue->item, RequeueingWork, DelayedWorkQueue, requeue);
    } else {
        // The last run gives the item back: a driver unloads with none left.
        IoFreeWorkItem(requeue->item);
    }
}

class WorkItemThreads : public ::testing::Test {
protected:
    void SetUp() override { sim::ResetKernel(); }
    void TearDown() override { sim::ResetKernel(); }
};

TEST_F(WorkItemThreads, ItemsQueuedFromManyThreadsAllRunOnceInTheSystemProcess) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(WorkEntry, u"WorkTest", &driver), STATUS_SUCCESS);
    constexpr int kThreads = 4;
    constexpr int kItemsPerThread = 200;
    Counter counter;
    std::vector<std::thread> threads;
    std::vector<std::vector<PIO_WORKITEM>> items(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kItemsPerThread; ++i) {
                PIO_WORKITEM item = IoAllocateWorkItem(gDevice);
                ASSERT_NE(item, nullptr);
                items[t].push_back(item);
                IoQueueWorkItem(item, CountingWork, static_cast<WORK_QUEUE_TYPE>(i % 4), &counter);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    sim::DrainWorkItems();
    EXPECT_EQ(counter.runs.load(), kThreads * kItemsPerThread);
    EXPECT_EQ(counter.wrongContext.load(), 0);
    EXPECT_EQ(sim::io::PendingWorkItems(driver), 0u);
    for (auto& list : items) {
        for (PIO_WORKITEM item : list) {
            IoFreeWorkItem(item);
        }
    }
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);
    EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
}

TEST_F(WorkItemThreads, AnItemMayRequeueItselfAndStopWaitsForTheChain) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(WorkEntry, u"WorkTest", &driver), STATUS_SUCCESS);
    Requeue requeue;
    requeue.item = IoAllocateWorkItem(gDevice);
    requeue.counter.requeuesLeft = 50;
    IoQueueWorkItem(requeue.item, RequeueingWork, DelayedWorkQueue, &requeue);
    // The unload deletes the device while items may still be queued; the
    // references the queue holds keep it valid until the chain ends.
    EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(requeue.counter.runs.load(), 50);
}

TEST_F(WorkItemThreads, ResetJoinsTheWorkersAfterRunningWhatIsQueued) {
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(sim::LoadDriver(WorkEntry, u"WorkTest", &driver), STATUS_SUCCESS);
    Counter counter;
    std::vector<PIO_WORKITEM> items;
    for (int i = 0; i < 32; ++i) {
        items.push_back(IoAllocateWorkItem(gDevice));
        IoQueueWorkItem(items.back(), CountingWork, CriticalWorkQueue, &counter);
    }
    sim::ResetKernel();
    EXPECT_EQ(counter.runs.load(), 32);
    for (PIO_WORKITEM item : items) {
        IoFreeWorkItem(item);
    }
}

}  // namespace
