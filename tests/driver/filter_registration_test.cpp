// The registration record the Filter Manager reads when the driver registers:
// its version and size, the one stream-handle context, and the operation table
// with its callbacks in order.
#include "tests/support/fixture.h"

#include "filemon/filemon.h"
#include "driver/tags.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(FilterRegistration, RecordIsTheVersion0200LayoutWithOnlyAnUnloadCallback) {
    EXPECT_EQ(FilterRegistration.Size, 88u);
    EXPECT_EQ(FilterRegistration.Version, 0x0200u);
    EXPECT_EQ(FilterRegistration.Flags, 0u);
    EXPECT_EQ(FilterRegistration.FilterUnloadCallback, &FilterUnload);
    // No instance callbacks and no name provider.
    EXPECT_EQ(FilterRegistration.InstanceSetupCallback, nullptr);
    EXPECT_EQ(FilterRegistration.InstanceQueryTeardownCallback, nullptr);
    EXPECT_EQ(FilterRegistration.InstanceTeardownStartCallback, nullptr);
    EXPECT_EQ(FilterRegistration.InstanceTeardownCompleteCallback, nullptr);
    EXPECT_EQ(FilterRegistration.GenerateFileNameCallback, nullptr);
    EXPECT_EQ(FilterRegistration.NormalizeNameComponentCallback, nullptr);
    EXPECT_EQ(FilterRegistration.NormalizeContextCleanupCallback, nullptr);
}

TEST(FilterRegistration, OneStreamHandleContextOfHandleTrackSizeWithItsTag) {
    const FLT_CONTEXT_REGISTRATION* contexts = FilterRegistration.ContextRegistration;
    ASSERT_NE(contexts, nullptr);
    EXPECT_EQ(contexts[0].ContextType, FLT_STREAMHANDLE_CONTEXT);
    EXPECT_EQ(contexts[0].Flags, 0u);
    EXPECT_EQ(contexts[0].ContextCleanupCallback, &FilterHandleTrackCleanup);
    EXPECT_EQ(contexts[0].Size, 24u);
    EXPECT_EQ(contexts[0].Size, sizeof(HandleTrack));
    // The tag reads "CxHc" in memory order.
    char tag[4];
    std::memcpy(tag, &contexts[0].PoolTag, sizeof(tag));
    EXPECT_EQ(std::string(tag, 4), "CxHc");
    EXPECT_EQ(contexts[0].ContextAllocateCallback, nullptr);
    EXPECT_EQ(contexts[0].ContextFreeCallback, nullptr);
    EXPECT_EQ(contexts[1].ContextType, FLT_CONTEXT_END);
}

TEST(FilterRegistration, OperationTableInOrderWithoutSkipFlags) {
    struct Expected {
        UCHAR major;
        PFLT_PRE_OPERATION_CALLBACK pre;
        PFLT_POST_OPERATION_CALLBACK post;
    };
    const Expected expected[] = {
        {IRP_MJ_READ, nullptr, nullptr},
        {IRP_MJ_WRITE, &FilterPreWrite, nullptr},
        {IRP_MJ_SET_INFORMATION, &FilterPreSetInformation, nullptr},
        {IRP_MJ_CREATE, &FilterPreCreate, &FilterPostCreate},
        {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, nullptr, nullptr},
        {IRP_MJ_DEVICE_CONTROL, &FilterPreDeviceControl, nullptr},
        {IRP_MJ_CLEANUP, &FilterPreCleanup, &FilterPostCleanup},
    };
    const FLT_OPERATION_REGISTRATION* ops = FilterRegistration.OperationRegistration;
    ASSERT_NE(ops, nullptr);
    size_t i = 0;
    for (const Expected& e : expected) {
        SCOPED_TRACE(i);
        EXPECT_EQ(ops[i].MajorFunction, e.major);
        // Flags 0: paging and cached I/O are not skipped.
        EXPECT_EQ(ops[i].Flags, 0u);
        EXPECT_EQ(ops[i].PreOperation, e.pre);
        EXPECT_EQ(ops[i].PostOperation, e.post);
        ++i;
    }
    EXPECT_EQ(ops[i].MajorFunction, IRP_MJ_OPERATION_END);
}

}  // namespace

// ---------------------------------------------------------------------------
// The registered filter on a running system.

#if VTEST_USER_SIDE

#include <unistd.h>

#include <filesystem>

#include "driver/driver_data.h"
#include "sim/flt/flt.h"
#include "sim/flt/io.h"
#include "sim/fs/fs.h"
#include "sim/user/file.h"

namespace {

class FilterOnVolume : public vtest::DriverTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vetrona-reg-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        DriverTest::SetUp();
        sim::fs::MountVolume(folder_ + "/C", u'C');
    }
    void TearDown() override {
        DriverTest::TearDown();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    std::string folder_;
};

TEST_F(FilterOnVolume, FilterIsStartedAndAttachedToEveryVolume) {
    _FLT_FILTER* filter = sim::flt::FindFilter(driver());
    ASSERT_NE(filter, nullptr);
    EXPECT_EQ(static_cast<PFLT_FILTER>(filter), DriverData.Filter);
    EXPECT_TRUE(filter->started.load());
    const std::vector<sim::fs::Volume*> volumes = sim::fs::Volumes();
    ASSERT_FALSE(volumes.empty());
    for (sim::fs::Volume* volume : volumes) {
        EXPECT_NE(sim::flt::InstanceOf(DriverData.Filter, volume), nullptr) << sim::fs::ToHost(volume->deviceName);
    }
}

// With monitoring off every request passes through the filter unchanged.
TEST_F(FilterOnVolume, RequestsOfAWatchedProcessPassWhileMonitoringIsOff) {
    _EPROCESS* app = StartWatched();
    StartResponder();
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
    ASSERT_EQ(sim::user::CreateFile(app, u"C:\\notes.txt", FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE, 0, FILE_CREATE,
                                    FILE_NON_DIRECTORY_FILE, &handle, &information),
              STATUS_SUCCESS);
    EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_CREATED));
    const char text[] = "twelve bytes";
    ULONG written = 0;
    EXPECT_EQ(sim::user::WriteFile(app, handle, 0, text, 12, &written), STATUS_SUCCESS);
    EXPECT_EQ(written, 12u);
    EXPECT_EQ(sim::user::SetRenameInformation(app, handle, u"\\??\\C:\\renamed.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::SetDisposition(app, handle, true), STATUS_SUCCESS);
    EXPECT_EQ(sim::user::CloseHandle(app, handle), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/C/notes.txt"));
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/C/renamed.txt"));
    StopResponder();
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(sim::flt::LiveContextCount(), 0u);
}

// The filter's unload closes the port and unregisters the filter; a client
// still connected is disconnected by it.
TEST_F(FilterOnVolume, UnloadClosesThePortAndUnregistersTheFilter) {
    ASSERT_EQ(Connect(), sim::user::S_OK);
    EXPECT_EQ(sim::flt::ConnectionCount(u"\\VetronaFlt_Com"), 1);
    Stop();
    EXPECT_EQ(DriverData.ClientPort, nullptr);
    EXPECT_EQ(sim::flt::RegisteredFilters().size(), 0u);
    EXPECT_EQ(sim::flt::ConnectionCount(u"\\VetronaFlt_Com"), 0);
    HANDLE port = nullptr;
    EXPECT_EQ(sim::user::FilterConnectCommunicationPort(Client(), u"\\VetronaFlt_Com", 0, nullptr, 0, &port),
              sim::user::kHrFileNotFound);
}

}  // namespace

#endif  // VTEST_USER_SIDE
