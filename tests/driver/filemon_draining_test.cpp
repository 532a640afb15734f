// The driver stopping while a create or a cleanup it asked to see the end of
// is still below it: the Filter Manager makes the owed post-operation call at
// once, with the draining flag, and the driver gives back what it holds
// without touching the request; the request's own completion then makes no
// second call.
#include "tests/support/filemon_fixture.h"
#include "tests/support/test_filter.h"

#include "sim/flt/io.h"
#include "sim/user/file.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace {

using vtest::FileMonTest;

// A filter below the driver that holds one request of the chosen major
// function in its pre-operation until the Filter Manager has drained.
std::atomic<int> gHoldMajor{-1};
std::atomic<bool> gHolding{false};

FLT_PREOP_CALLBACK_STATUS FLTAPI HoldUntilDrained(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS, PVOID* context) {
    *context = nullptr;
    int major = data->Iopb->MajorFunction;
    if (!gHoldMajor.compare_exchange_strong(major, -1)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    gHolding = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim::CallCount("FltMgr:DrainedPostOperationCallback") == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

const FLT_OPERATION_REGISTRATION kBelowOperations[] = {
    {IRP_MJ_CREATE, 0, HoldUntilDrained, nullptr, nullptr},
    {IRP_MJ_CLEANUP, 0, HoldUntilDrained, nullptr, nullptr},
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

class DrainingTest : public FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        // Started after the driver, so below it on every volume.
        below_.Start(kBelowOperations);
        sim::ResetCounters();
    }
    void TearDown() override {
        below_.Stop();
        gHoldMajor = -1;
        gHolding = false;
        FileMonTest::TearDown();
    }

    // Stops the driver once `request` (run in its own thread) is held below
    // it, then lets the request finish.
    void StopWhileHeld(UCHAR major, const std::function<void()>& request) {
        gHoldMajor = major;
        std::thread requester(request);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!gHolding && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(gHolding);
        allocations_ = sim::CallCount("FltAllocateContext");
        lookups_ = sim::CallCount("FltGetStreamHandleContext");
        Stop();
        requester.join();
    }

    vtest::TestFilter below_;
    uint64_t allocations_ = 0;
    uint64_t lookups_ = 0;
};

TEST_F(DrainingTest, PostCreateGivesBackTheNameAndFollowsNothing) {
    HANDLE handle = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    StopWhileHeld(IRP_MJ_CREATE, [&] { status = Open(u"C:\\drained.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle); });
    // The create itself went on to the file system.
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(HostC("drained.txt")));
    // One post-operation call, the draining one, and no record made for it.
    EXPECT_EQ(sim::CallCount("FltMgr:DrainedPostOperationCallback"), 1u);
    EXPECT_EQ(sim::CallCount("FltMgr:PostOperationCallback"), 0u);
    EXPECT_EQ(sim::CallCount("FltAllocateContext"), allocations_);
    EXPECT_EQ(sim::CallCount("FltGetStreamHandleContext"), lookups_);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
    EXPECT_EQ(Operations(), std::vector<int32_t>{FileOpWriteAccess});
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
}

TEST_F(DrainingTest, PostCleanupReturnsAtOnceAndTheInstanceEndsTheRecord) {
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\closing.txt", FILE_GENERIC_WRITE, FILE_CREATE, &handle), STATUS_SUCCESS);
    ASSERT_EQ(Write(handle, "data"), STATUS_SUCCESS);
    EXPECT_EQ(sim::flt::LiveContextCount(), 1u);
    const uint64_t posts = sim::CallCount("FltMgr:PostOperationCallback");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    StopWhileHeld(IRP_MJ_CLEANUP, [&] { status = Close(handle); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("FltMgr:DrainedPostOperationCallback"), 1u);
    EXPECT_EQ(sim::CallCount("FltMgr:PostOperationCallback"), posts);
    // The draining call looked nothing up; the instance's teardown deleted
    // the record, and its name went with it.
    EXPECT_EQ(sim::CallCount("FltGetStreamHandleContext"), lookups_);
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
    EXPECT_EQ(sim::flt::LiveFileNameCount(), 0u);
    EXPECT_EQ(ReadHost(HostC("closing.txt")), "data");
}

}  // namespace
