// Sending events through the port: verdicts, no client, a stalled client, a
// disconnect while waiting, the terminating-thread deferral and allocation
// failures. The client side is the client library on its simulated back end.
#include "tests/support/fixture.h"
#include "tests/support/library_fixture.h"

#if VTEST_USER_SIDE
#include "channel/send.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/user/process.h"

#include <chrono>
#include <future>

namespace {

using Library = vetrona::client::Client;
using vetrona::client::Message;
using vetrona::client::ProcessEventView;


class ChannelSendTest : public vtest::LibraryTest {
protected:
    void TearDown() override {
        sim::flt::SetKernelTimeScale(1.0);
        vtest::LibraryTest::TearDown();
    }
};

TEST_F(ChannelSendTest, WithoutAClientNothingIsSentAndEverySendGivesNoVerdict) {
    _EPROCESS* app = StartProcess();
    ProcessEvent* message = nullptr;
    PLONG reply = nullptr;
    ASSERT_EQ(ProcMonBuildMessage(&message, &reply, nullptr, nullptr, nullptr, nullptr, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(PortSendMessage(message, reply), STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(PortSendMessage(nullptr, reply), STATUS_INVALID_PARAMETER);
    MessageFree(message);
    MessageFree(reply);

    EXPECT_EQ(SendProcessEvent(app, 100), VerdictNone);
    RegEventInfo info{};
    EXPECT_EQ(RegMonSendEvent(reinterpret_cast<HANDLE>(uintptr_t{100}), RegOpKeyCreated, &info), VerdictNone);
    EXPECT_EQ(sim::CallCount("FltSendMessage"), 0u);
}

TEST_F(ChannelSendTest, TheClientsReplyIsTheVerdict) {
    _EPROCESS* app = StartProcess();
    Library& client = Connected();
    // 0 and 2 pass, 1 denies, 3 asks for a copy; 7 and -5 mean nothing to the
    // driver and read as no verdict.
    struct Case {
        Verdict answer;
        Verdict expected;
    };
    for (Case c : {Case{0, 0}, Case{1, 1}, Case{2, 2}, Case{3, 3}, Case{7, VerdictNone}, Case{-5, VerdictNone}}) {
        const Verdict answer = c.answer;
        auto sent = std::async(std::launch::async, [&] { return SendProcessEvent(app, 200); });
        Message m;
        ASSERT_EQ(client.Receive(&m, 5000), vetrona::client::kOk);
        EXPECT_EQ(m.replyLength, 16u + 4u) << "reply header plus a 4-byte verdict";
        auto decoded = m.Decode();
        ASSERT_TRUE(decoded.ok());
        const auto& event = std::get<ProcessEventView>(decoded.event);
        EXPECT_EQ(event.processId, 200u);
        EXPECT_EQ(event.parentProcessId, 8u);
        EXPECT_EQ(event.imageName.Utf16(), image_);
        EXPECT_EQ(event.commandLine.Utf16(), commandLine_);
        ASSERT_EQ(client.Reply(m, answer), vetrona::client::kOk);
        EXPECT_EQ(sent.get(), c.expected) << "reply " << answer;
    }
    EXPECT_EQ(sim::pool::LiveByTag().count(TagMessage), 0u) << "messages and reply cells freed";
}

TEST_F(ChannelSendTest, AStalledClientCostsTheTimeoutAndGivesNoVerdict) {
    _EPROCESS* app = StartProcess();
    Connected();  // connected, never asks for a message
    sim::flt::SetKernelTimeScale(0.001);  // 30 s of kernel time in 30 ms
    ProcessEvent* message = nullptr;
    PLONG reply = nullptr;
    ASSERT_EQ(ProcMonBuildMessage(&message, &reply, nullptr, nullptr, nullptr, nullptr, FALSE), STATUS_SUCCESS);
    {
        sim::ThreadScope scope(app);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(PortSendMessage(message, reply), STATUS_TIMEOUT);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(25));
    }
    EXPECT_EQ(*reply, VerdictNone) << "a timeout leaves the cell as built";
    MessageFree(message);
    MessageFree(reply);

    // A client that takes the message but never replies: the same.
    auto sent = std::async(std::launch::async, [&] { return SendProcessEvent(app, 300); });
    Message m;
    ASSERT_EQ(library_->Receive(&m, 5000), vetrona::client::kOk);
    EXPECT_EQ(sent.get(), VerdictNone);
}

TEST_F(ChannelSendTest, ADisconnectWhileASenderWaitsGivesNoVerdict) {
    _EPROCESS* app = StartProcess();
    Library& client = Connected();
    auto sent = std::async(std::launch::async, [&] { return SendProcessEvent(app, 400); });
    Message m;
    ASSERT_EQ(client.Receive(&m, 5000), vetrona::client::kOk);
    client.Disconnect();
    EXPECT_EQ(sent.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(sent.get(), VerdictNone);
    EXPECT_EQ(DriverData.ClientPort, nullptr);
    EXPECT_EQ(SendProcessEvent(app, 401), VerdictNone);
}

TEST_F(ChannelSendTest, ATerminatingThreadsProcessEventIsSentAgainFromAWorker) {
    _EPROCESS* app = StartProcess();
    Library& client = Connected();
    EXPECT_EQ(SendProcessEvent(app, 500, /*terminating=*/true), VerdictNone) << "the notification gets -1 at once";

    // The same event arrives from the system worker thread; its reply changes nothing.
    Message m;
    ASSERT_EQ(client.Receive(&m, 5000), vetrona::client::kOk);
    auto decoded = m.Decode();
    ASSERT_TRUE(decoded.ok());
    const auto& event = std::get<ProcessEventView>(decoded.event);
    EXPECT_EQ(event.processId, 500u);
    EXPECT_TRUE(event.isCreate);
    EXPECT_EQ(event.imageName.Utf16(), image_);
    EXPECT_EQ(event.commandLine.Utf16(), commandLine_);
    EXPECT_EQ(client.Reply(m, VerdictDeny), vetrona::client::kOk);
    sim::DrainWorkItems();
    auto live = sim::pool::LiveByTag();
    EXPECT_EQ(live.count(TagDeferredEvent), 0u);
    EXPECT_EQ(live.count(TagString), 0u);
    EXPECT_EQ(live.count(TagMessage), 0u);
}

TEST_F(ChannelSendTest, ADeferralThatCannotBeMadeDropsTheEvent) {
    _EPROCESS* app = StartProcess();
    Connected();
    const uint64_t queuedBefore = sim::CallCount("IoQueueWorkItem");
    const uint64_t freedBefore = sim::CallCount("IoFreeWorkItem");

    PDEVICE_OBJECT device = DriverData.ControlDevice;
    DriverData.ControlDevice = nullptr;
    EXPECT_EQ(SendProcessEvent(app, 600, true), VerdictNone);
    DriverData.ControlDevice = device;

    sim::InjectFailure("IoAllocateWorkItem", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SendProcessEvent(app, 601, true), VerdictNone);

    sim::pool::FailTag(TagDeferredEvent);
    EXPECT_EQ(SendProcessEvent(app, 602, true), VerdictNone);
    sim::pool::ClearFaults();

    EXPECT_EQ(sim::CallCount("IoQueueWorkItem"), queuedBefore);
    EXPECT_EQ(sim::CallCount("IoFreeWorkItem"), freedBefore + 1) << "the work item goes back when the record cannot be had";
    Message m;
    EXPECT_EQ(library_->Receive(&m, 50), vetrona::client::kHrTimeout) << "nothing reaches the client";
}

TEST_F(ChannelSendTest, AllocationFailuresOfMessageOrReplyCellGiveNoVerdict) {
    _EPROCESS* app = StartProcess();
    Connected();
    for (uint64_t nth : {1, 2}) {
        sim::pool::FailNth(nth);  // the message, then the reply cell
        EXPECT_EQ(SendProcessEvent(app, 700), VerdictNone) << "allocation " << nth;
        EXPECT_EQ(sim::pool::LiveByTag().count(TagMessage), 0u) << "allocation " << nth;
    }
    EXPECT_EQ(sim::CallCount("FltSendMessage"), 0u);
}

}  // namespace
#endif
