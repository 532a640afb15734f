// Behaviours that every other test would let drift: the exception guard
// around control requests, what the start-up unwind frees, the exact send
// timeout and port variable, the deferred event's work item, and the
// information value of opens and closes of the control device.
#include "tests/support/fixture.h"
#include "tests/support/library_fixture.h"

#include "channel/send.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/user/device.h"
#include "sim/user/process.h"

#include <thread>

namespace {

using vtest::BackupDirText;

class PinnedTest : public vtest::LibraryTest {};

// An exception while a control request is served fails that request, which
// is still completed exactly once and carries nothing out; the device goes on
// serving.
TEST_F(PinnedTest, ControlRequestThatRaisesFailsAndIsCompletedOnce) {
    ASSERT_EQ(SetBackupDir(u"C:\\Old"), STATUS_SUCCESS);
    const uint64_t completedBefore = sim::CallCount("IofCompleteRequest");

    // The folder's copy is allocated before any lock is taken: the raise
    // leaves nothing held.
    sim::InjectRaise("ExAllocatePoolWithTag", STATUS_ACCESS_VIOLATION);
    const std::vector<uint8_t> folder = vtest::Utf16Bytes(u"C:\\New");
    IoctlResult result = Ioctl(IOCTL_SET_BACKUP_DIR, folder.data(), static_cast<ULONG>(folder.size()), 4);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.returned, 0u);
    EXPECT_EQ(result.output, std::vector<uint8_t>(4, 0xEE)) << "no bytes copied back";
    EXPECT_EQ(sim::CallCount("IofCompleteRequest"), completedBefore + 1);
    EXPECT_EQ(sim::GuardDepth(), 0);
    EXPECT_EQ(BackupDirText(), u"C:\\Old") << "the old folder stays";

    EXPECT_EQ(AddProcess(4242), STATUS_SUCCESS);
    EXPECT_TRUE(IdListHasPid(&DriverData.ProcessList, 4242));
}

class PinnedStartupTest : public PinnedTest {
protected:
    PinnedStartupTest() { loadAtSetUp_ = false; }
};

// Control requests served between the device's creation and a failed later
// step leave blocks in the state record; the unwind frees them.
TEST_F(PinnedStartupTest, UnwindFreesWhatControlRequestsStoredDuringStartUp) {
    _EPROCESS* client = Client();
    NTSTATUS stored[3] = {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL};
    sim::OnNextCall("FltStartFiltering", [&] {
        // The client acts from its own thread while the loader waits.
        std::thread user([&] {
            HANDLE handle = nullptr;
            if (sim::user::CreateFile(client, u"\\\\.\\Vetrona", GENERIC_READ | GENERIC_WRITE, &handle) != STATUS_SUCCESS) {
                return;
            }
            ULONG returned = 0;
            ULONG pids[2] = {111, 222};
            stored[0] = sim::user::DeviceIoControl(client, handle, IOCTL_ADD_PROCESS, &pids[0], 4, nullptr, 0, &returned);
            stored[1] = sim::user::DeviceIoControl(client, handle, IOCTL_ADD_PROCESS, &pids[1], 4, nullptr, 0, &returned);
            const std::vector<uint8_t> folder = vtest::Utf16Bytes(u"C:\\Backups");
            stored[2] = sim::user::DeviceIoControl(client, handle, IOCTL_SET_BACKUP_DIR, folder.data(),
                                                   static_cast<ULONG>(folder.size()), nullptr, 0, &returned);
            sim::user::CloseHandle(client, handle);
        });
        user.join();
    });
    sim::InjectFailure("FltStartFiltering", STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(Load(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(stored[0], STATUS_SUCCESS);
    EXPECT_EQ(stored[1], STATUS_SUCCESS);
    EXPECT_EQ(stored[2], STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << sim::pool::Report();
    EXPECT_EQ(DriverData.BackupDir, nullptr);
}

// The send waits exactly the 30 seconds of kernel time (a relative timeout in
// 100 ns units), whatever the clock's scale.
TEST_F(PinnedTest, SendWaitsExactlyThirtySecondsOfKernelTime) {
    _EPROCESS* app = StartProcess();
    Connected();
    sim::flt::SetKernelTimeScale(0.001);
    EXPECT_EQ(SendProcessEvent(app, 700), VerdictNone) << "nobody reads: the wait times out";
    sim::flt::SetKernelTimeScale(1.0);

    const std::vector<sim::flt::SendCall> calls = sim::flt::SendCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_TRUE(calls[0].hasTimeout);
    EXPECT_EQ(calls[0].timeout, -30LL * 1000 * 1000 * 10);
}

// The send names the driver's own client-port variable, not a copy of it:
// the Filter Manager reads it under its own lock, so a disconnect that clears
// it while a send starts is safe.
TEST_F(PinnedTest, SendHandsThePlatformTheRecordedClientPortVariable) {
    _EPROCESS* app = StartProcess();
    vetrona::client::Client& client = Connected();
    std::thread reader([&] {
        vetrona::client::Message m;
        if (client.Receive(&m, 5000) == vetrona::client::kOk) {
            client.Reply(m, 0);
        }
    });
    EXPECT_EQ(SendProcessEvent(app, 701), 0);
    reader.join();

    const std::vector<sim::flt::SendCall> calls = sim::flt::SendCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].clientPortVariable, &DriverData.ClientPort);
}

// A terminating thread's event goes out from a work item; once it ran, the
// item is freed (work items are not pool blocks: the model counts them).
TEST_F(PinnedTest, DeferredProcessEventFreesItsWorkItem) {
    _EPROCESS* app = StartProcess();
    vetrona::client::Client& client = Connected();
    EXPECT_EQ(SendProcessEvent(app, 800, /*terminating=*/true), VerdictNone);
    vetrona::client::Message m;
    ASSERT_EQ(client.Receive(&m, 5000), vetrona::client::kOk);
    EXPECT_EQ(client.Reply(m, 0), vetrona::client::kOk);
    sim::DrainWorkItems();
    EXPECT_EQ(sim::CallCount("IoAllocateWorkItem"), 1u);
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);
}

TEST_F(PinnedTest, ControlDeviceOpenAndCloseCompleteWithInformationZero) {
    HANDLE handle = nullptr;
    sim::io::ForgetCompletions();
    ASSERT_EQ(OpenControl(nullptr, GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
    std::optional<sim::io::Completion> open = sim::io::LastCompletion(IRP_MJ_CREATE);
    ASSERT_TRUE(open.has_value());
    EXPECT_EQ(open->status, STATUS_SUCCESS);
    EXPECT_EQ(open->information, 0u);

    ASSERT_EQ(CloseControl(nullptr, handle), STATUS_SUCCESS);
    std::optional<sim::io::Completion> close = sim::io::LastCompletion(IRP_MJ_CLOSE);
    ASSERT_TRUE(close.has_value());
    EXPECT_EQ(close->status, STATUS_SUCCESS);
    EXPECT_EQ(close->information, 0u);
}

}  // namespace
