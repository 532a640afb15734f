// Communication ports of the simulated Filter Manager against a small test
// filter: creation rules, connection (cookies, limits, security), message
// delivery and replies through FltSendMessage, user-mode commands through
// FilterSendMessage, and disconnection.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

#include "sim/flt/flt.h"
#include "sim/ob/ob.h"
#include "sim/ex/pool.h"
#include "sim/user/fltuser.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

constexpr char16_t kPortName[] = u"\\TestFlt_Port";
PVOID const kServerCookie = reinterpret_cast<PVOID>(0x5E5E);
PVOID const kConnectionCookie = reinterpret_cast<PVOID>(0xC0C0);

// What the test filter's port callbacks saw and how they answer.
struct PortState {
    PFLT_FILTER filter = nullptr;
    PFLT_PORT clientPort = nullptr;  // the driver's variable, as a real driver keeps it

    NTSTATUS connectResult = STATUS_SUCCESS;
    bool closeOnDisconnect = true;
    int connects = 0;
    PVOID serverCookieSeen = nullptr;
    std::vector<uint8_t> contextSeen;
    ULONG contextSizeSeen = 0;
    HANDLE connectPid = nullptr;
    KIRQL connectIrql = 0xFF;

    std::atomic<int> disconnects{0};
    PVOID disconnectCookie = nullptr;
    HANDLE disconnectPid = nullptr;

    int messages = 0;
    PVOID messageCookie = nullptr;
    PVOID messageIn = nullptr;
    PVOID messageOut = nullptr;
    ULONG messageInLength = 0;
    ULONG messageOutLength = 0;
    HANDLE messagePid = nullptr;
    NTSTATUS messageResult = STATUS_SUCCESS;
    ULONG messageReturned = 0;
    std::function<void()> duringMessage;
};
PortState* gPort = nullptr;

NTSTATUS FLTAPI TestConnect(PFLT_PORT ClientPort, PVOID ServerPortCookie, PVOID ConnectionContext, ULONG SizeOfContext,
                            PVOID* ConnectionPortCookie) {
    ++gPort->connects;
    gPort->serverCookieSeen = ServerPortCookie;
    gPort->contextSizeSeen = SizeOfContext;
    gPort->contextSeen.assign(static_cast<uint8_t*>(ConnectionContext),
                              static_cast<uint8_t*>(ConnectionContext) + (ConnectionContext ? SizeOfContext : 0));
    gPort->connectPid = PsGetCurrentProcessId();
    gPort->connectIrql = KeGetCurrentIrql();
    if (!NT_SUCCESS(gPort->connectResult)) {
        return gPort->connectResult;
    }
    gPort->clientPort = ClientPort;
    *ConnectionPortCookie = kConnectionCookie;
    return STATUS_SUCCESS;
}

VOID FLTAPI TestDisconnect(PVOID ConnectionCookie) {
    gPort->disconnectCookie = ConnectionCookie;
    gPort->disconnectPid = PsGetCurrentProcessId();
    if (gPort->closeOnDisconnect) {
        FltCloseClientPort(gPort->filter, &gPort->clientPort);
    }
    ++gPort->disconnects;
}

NTSTATUS FLTAPI TestMessage(PVOID PortCookie, PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                            ULONG OutputBufferLength, PULONG ReturnOutputBufferLength) {
    ++gPort->messages;
    gPort->messageCookie = PortCookie;
    gPort->messageIn = InputBuffer;
    gPort->messageOut = OutputBuffer;
    gPort->messageInLength = InputBufferLength;
    gPort->messageOutLength = OutputBufferLength;
    gPort->messagePid = PsGetCurrentProcessId();
    if (gPort->duringMessage) {
        gPort->duringMessage();
    }
    *ReturnOutputBufferLength = gPort->messageReturned;
    return gPort->messageResult;
}

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION_0200, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

class PortTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        gPort = &state_;
        ASSERT_EQ(FltRegisterFilter(&driverObject_, &kRegistration, &state_.filter), STATUS_SUCCESS);
        ASSERT_EQ(CreatePort(kPortName, 1, &server_), STATUS_SUCCESS);
        admin_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        user_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\user.exe", u"", false);
        ASSERT_NE(admin_, nullptr);
        ASSERT_NE(user_, nullptr);
    }

    void TearDown() override {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            sim::ob::CloseHandle(admin_, handle_);
        }
        if (server_ != nullptr) {
            FltCloseCommunicationPort(server_);
        }
        FltUnregisterFilter(state_.filter);
        gPort = nullptr;
        SimTest::TearDown();
    }

    NTSTATUS CreatePort(const char16_t* name, LONG maxConnections, PFLT_PORT* port,
                        ULONG attributes = OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE,
                        PFLT_MESSAGE_NOTIFY message = TestMessage) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        NTSTATUS status = FltBuildDefaultSecurityDescriptor(&sd, FLT_PORT_ALL_ACCESS);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        UNICODE_STRING portName;
        portName.Buffer = const_cast<PWSTR>(name);
        portName.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(name) * sizeof(WCHAR));
        portName.MaximumLength = portName.Length;
        OBJECT_ATTRIBUTES attributesRecord;
        InitializeObjectAttributes(&attributesRecord, &portName, attributes, nullptr, sd);
        status = FltCreateCommunicationPort(state_.filter, port, &attributesRecord, kServerCookie, TestConnect,
                                            TestDisconnect, message, maxConnections);
        FltFreeSecurityDescriptor(sd);
        return status;
    }

    HRESULT Connect(HANDLE* handle, _EPROCESS* process = nullptr, const void* context = nullptr, WORD contextSize = 0) {
        return FilterConnectCommunicationPort(process ? process : admin_, kPortName, 0, context, contextSize, handle);
    }

    // Sends from the kernel side in another thread (the driver's reporting thread).
    std::future<NTSTATUS> SendAsync(std::vector<uint8_t> message, ULONG replyCapacity, std::vector<uint8_t>* reply,
                                    ULONG* replyLength, LONGLONG timeout100ns, bool withTimeout = true) {
        return std::async(std::launch::async, [=, this]() {
            LARGE_INTEGER timeout;
            timeout.QuadPart = timeout100ns;
            std::vector<uint8_t> body = message;
            if (reply != nullptr) {
                reply->assign(replyCapacity, 0xEE);
                *replyLength = replyCapacity;
            }
            return FltSendMessage(state_.filter, &state_.clientPort, body.data(), static_cast<ULONG>(body.size()),
                                  reply ? reply->data() : nullptr, reply ? replyLength : nullptr,
                                  withTimeout ? &timeout : nullptr);
        });
    }

    PortState state_;
    DRIVER_OBJECT driverObject_{};
    PFLT_PORT server_ = nullptr;
    _EPROCESS* admin_ = nullptr;
    _EPROCESS* user_ = nullptr;
    HANDLE handle_ = nullptr;
};

// A message buffer as a client allocates it: header then room for the body.
struct MessageBuffer {
    FILTER_MESSAGE_HEADER header;
    uint8_t body[64];
};

// A reply as a client frames it: header then data, packed.
#pragma pack(push, 1)
struct ReplyBuffer {
    FILTER_REPLY_HEADER header;
    uint8_t data[32];
};
#pragma pack(pop)

constexpr LONGLONG kSeconds30 = -300000000LL;

}  // namespace

TEST_F(PortTest, CreateRefusesBadArgumentsAndTakenNames) {
    PFLT_PORT port = reinterpret_cast<PFLT_PORT>(0x1);
    EXPECT_EQ(CreatePort(u"\\NoKernelHandle", 1, &port, OBJ_CASE_INSENSITIVE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port, nullptr);
    EXPECT_EQ(CreatePort(u"\\ZeroConnections", 0, &port), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CreatePort(u"\\NegativeConnections", -1, &port), STATUS_INVALID_PARAMETER);
    // Names are case-insensitive in the object namespace.
    EXPECT_EQ(CreatePort(u"\\testflt_port", 1, &port), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(port, nullptr);

    sim::InjectFailure("FltCreateCommunicationPort", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CreatePort(u"\\Injected", 1, &port), STATUS_INSUFFICIENT_RESOURCES);
    sim::InjectFailure("FltBuildDefaultSecurityDescriptor", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CreatePort(u"\\NoDescriptor", 1, &port), STATUS_INSUFFICIENT_RESOURCES);
    // Every descriptor above was freed again (the fixture checks the pool at tear-down).
}

TEST_F(PortTest, DefaultDescriptorIsPoolMemoryTheDriverMustFree) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(FltBuildDefaultSecurityDescriptor(&sd, FLT_PORT_ALL_ACCESS), STATUS_SUCCESS);
    auto block = sim::pool::Lookup(sd);
    ASSERT_TRUE(block.has_value());
    EXPECT_EQ(block->tag, sim::flt::kSecurityDescriptorTag);
    FltFreeSecurityDescriptor(sd);
    EXPECT_FALSE(sim::pool::Lookup(sd).has_value());
}

TEST_F(PortTest, ConnectHandsCookiesAndContextThrough) {
    const uint8_t context[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(Connect(&handle_, admin_, context, sizeof(context)), S_OK);
    EXPECT_EQ(state_.connects, 1);
    EXPECT_EQ(state_.serverCookieSeen, kServerCookie);
    EXPECT_EQ(state_.contextSizeSeen, sizeof(context));
    EXPECT_EQ(state_.contextSeen, std::vector<uint8_t>(context, context + sizeof(context)));
    // In the connecting thread, at passive level.
    EXPECT_EQ(state_.connectPid, reinterpret_cast<HANDLE>(admin_->pid));
    EXPECT_EQ(state_.connectIrql, PASSIVE_LEVEL);
    EXPECT_NE(state_.clientPort, nullptr);
    EXPECT_NE(reinterpret_cast<void*>(state_.clientPort), reinterpret_cast<void*>(server_));

    DWORD returned = 0;
    uint8_t in[4] = {};
    ASSERT_EQ(FilterSendMessage(admin_, handle_, in, sizeof(in), nullptr, 0, &returned), S_OK);
    EXPECT_EQ(state_.messageCookie, kConnectionCookie);

    ASSERT_EQ(sim::ob::CloseHandle(admin_, handle_), STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_EQ(state_.disconnects.load(), 1);
    EXPECT_EQ(state_.disconnectCookie, kConnectionCookie);
    EXPECT_EQ(state_.disconnectPid, reinterpret_cast<HANDLE>(admin_->pid));
    EXPECT_EQ(state_.clientPort, nullptr);  // FltCloseClientPort cleared the variable
}

TEST_F(PortTest, ConnectFailuresGiveTheLibrarysErrors) {
    HANDLE handle = nullptr;
    EXPECT_EQ(FilterConnectCommunicationPort(admin_, u"\\NoSuchPort", 0, nullptr, 0, &handle), kHrFileNotFound);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);

    // The default descriptor admits SYSTEM and Administrators only; the driver is not asked.
    EXPECT_EQ(Connect(&handle, user_), kHrAccessDenied);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(state_.connects, 0);

    // Context pointer and size go together.
    uint8_t context = 7;
    EXPECT_EQ(Connect(&handle, admin_, &context, 0), kHrInvalidParameter);
    EXPECT_EQ(Connect(&handle, admin_, nullptr, 4), kHrInvalidParameter);

    // The driver refusing the connection: its status as the HRESULT, slot freed.
    state_.connectResult = STATUS_ACCESS_DENIED;
    EXPECT_EQ(Connect(&handle), kHrAccessDenied);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::flt::ConnectionCount(kPortName), 0);
    state_.connectResult = STATUS_SUCCESS;
    EXPECT_EQ(Connect(&handle_), S_OK);
    EXPECT_EQ(state_.disconnects.load(), 0);  // a refused connection is never "disconnected"
}

TEST_F(PortTest, OneConnectionLimitHoldsUntilTheFirstClientLeaves) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    HANDLE second = nullptr;
    EXPECT_EQ(Connect(&second), kHrConnectionCountLimit);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(state_.connects, 1);

    ASSERT_EQ(sim::ob::CloseHandle(admin_, handle_), STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_EQ(Connect(&handle_), S_OK);
    EXPECT_EQ(state_.connects, 2);
}

TEST_F(PortTest, ClosedServerPortRefusesNewClientsButKeepsConnectedOnes) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    FltCloseCommunicationPort(server_);
    server_ = nullptr;

    _EPROCESS* other = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\other.exe", u"", true);
    HANDLE handle = nullptr;
    EXPECT_EQ(Connect(&handle, other), kHrFileNotFound);

    DWORD returned = 0;
    uint8_t in[4] = {};
    EXPECT_EQ(FilterSendMessage(admin_, handle_, in, sizeof(in), nullptr, 0, &returned), S_OK);
    EXPECT_EQ(state_.messages, 1);
}

TEST_F(PortTest, UserSendReachesMessageNotifyWithTheClientsOwnBuffers) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    uint8_t in[12] = {1, 0, 0, 0};
    uint8_t out[8] = {};
    DWORD returned = 99;

    state_.messageReturned = 5;
    // The driver reads the program's bytes and writes its answer in place.
    uint8_t seenFirst = 0;
    state_.duringMessage = [&] {
        seenFirst = static_cast<uint8_t*>(state_.messageIn)[0];
        static_cast<uint8_t*>(state_.messageOut)[7] = 0xAB;
    };
    ASSERT_EQ(FilterSendMessage(admin_, handle_, in, sizeof(in), out, sizeof(out), &returned), S_OK);
    state_.duringMessage = nullptr;
    // The buffers reach it at user addresses (below MmUserProbeAddress), at
    // the same place in their pages as in the program.
    for (auto [seen, own] : {std::pair{state_.messageIn, static_cast<void*>(in)},
                             std::pair{state_.messageOut, static_cast<void*>(out)}}) {
        const auto at = reinterpret_cast<uintptr_t>(seen);
        EXPECT_LT(at + 12, MmUserProbeAddress);
        EXPECT_EQ(at & 0xFFF, reinterpret_cast<uintptr_t>(own) & 0xFFF);
    }
    EXPECT_EQ(seenFirst, 1);
    EXPECT_EQ(out[7], 0xAB);
    EXPECT_EQ(state_.messageInLength, sizeof(in));
    EXPECT_EQ(state_.messageOutLength, sizeof(out));
    EXPECT_EQ(state_.messagePid, reinterpret_cast<HANDLE>(admin_->pid));
    EXPECT_EQ(returned, 5u);

    // The driver's status comes back converted; the returned length still does.
    struct Case {
        NTSTATUS status;
        HRESULT expected;
    };
    const Case cases[] = {
        {STATUS_NOT_SUPPORTED, static_cast<HRESULT>(0x80070032)},
        {STATUS_INVALID_PARAMETER, kHrInvalidParameter},
        {STATUS_ACCESS_VIOLATION, static_cast<HRESULT>(0x800703E6)},
        {STATUS_BUFFER_OVERFLOW, kHrMoreData},
    };
    for (const Case& c : cases) {
        state_.messageResult = c.status;
        state_.messageReturned = 3;
        returned = 0;
        EXPECT_EQ(FilterSendMessage(admin_, handle_, in, sizeof(in), out, sizeof(out), &returned), c.expected)
            << std::hex << c.status;
        EXPECT_EQ(returned, 3u);
    }
}

TEST_F(PortTest, UserSendWithoutMessageNotifyFails) {
    PFLT_PORT quiet = nullptr;
    ASSERT_EQ(CreatePort(u"\\QuietPort", 1, &quiet, OBJ_KERNEL_HANDLE, nullptr), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(FilterConnectCommunicationPort(admin_, u"\\QuietPort", 0, nullptr, 0, &handle), S_OK);
    DWORD returned = 0;
    uint8_t in[4] = {};
    EXPECT_LT(FilterSendMessage(admin_, handle, in, sizeof(in), nullptr, 0, &returned), 0);
    EXPECT_EQ(state_.messages, 0);
    sim::ob::CloseHandle(admin_, handle);
    FltCloseCommunicationPort(quiet);
}

TEST_F(PortTest, SendWithReplyDeliversHeaderAndBodyAndHandsOnlyReplyDataBack) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    std::vector<uint8_t> reply;
    ULONG replyLength = 0;
    auto sent = SendAsync({0xA1, 0xA2, 0xA3}, 4, &reply, &replyLength, kSeconds30);

    MessageBuffer received{};
    ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
    // The client is told the size of the whole reply: its header plus the driver's 4 bytes.
    EXPECT_EQ(received.header.ReplyLength, 16u + 4u);
    EXPECT_EQ(std::vector<uint8_t>(received.body, received.body + 3), (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));

    ReplyBuffer answer{};
    answer.header.Status = STATUS_ACCESS_DENIED;  // not what FltSendMessage returns
    answer.header.MessageId = received.header.MessageId;
    const uint8_t verdict[4] = {1, 0, 0, 0};
    std::memcpy(answer.data, verdict, sizeof(verdict));
    ASSERT_EQ(FilterReplyMessage(admin_, handle_, &answer.header, sizeof(FILTER_REPLY_HEADER) + 4), S_OK);

    ASSERT_EQ(sent.get(), STATUS_SUCCESS);
    EXPECT_EQ(replyLength, 4u);
    EXPECT_EQ(reply, (std::vector<uint8_t>{1, 0, 0, 0}));
    EXPECT_EQ(sim::flt::Stats().replies, 1u);

    // Replying a second time: nobody waits for that id any more.
    EXPECT_EQ(FilterReplyMessage(admin_, handle_, &answer.header, sizeof(FILTER_REPLY_HEADER) + 4), kHrNoWaiterForReply);
}

TEST_F(PortTest, ReplySizesAgainstTheDriversBuffer) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    struct Case {
        const char* what;
        ULONG driverCapacity;
        DWORD replyData;
        NTSTATUS status;
        ULONG replyLength;
    };
    // A reply larger than the driver's buffer is cut to it and reported as an
    // overflow (the padded-struct pitfall: 16 + sizeof(struct) > 16 + data).
    const Case cases[] = {
        {"exact", 4, 4, STATUS_SUCCESS, 4},
        {"shorter", 8, 4, STATUS_SUCCESS, 4},
        {"oversize", 4, 8, STATUS_BUFFER_OVERFLOW, 4},
        {"header only", 4, 0, STATUS_SUCCESS, 0},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> reply;
        ULONG replyLength = 0;
        auto sent = SendAsync({0x10}, c.driverCapacity, &reply, &replyLength, kSeconds30);
        MessageBuffer received{};
        ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK) << c.what;
        ReplyBuffer answer{};
        answer.header.MessageId = received.header.MessageId;
        for (int i = 0; i < 8; ++i) {
            answer.data[i] = static_cast<uint8_t>(0x30 + i);
        }
        ASSERT_EQ(FilterReplyMessage(admin_, handle_, &answer.header, sizeof(FILTER_REPLY_HEADER) + c.replyData), S_OK)
            << c.what;
        EXPECT_EQ(sent.get(), c.status) << c.what;
        EXPECT_EQ(replyLength, c.replyLength) << c.what;
        for (ULONG i = 0; i < c.driverCapacity; ++i) {
            EXPECT_EQ(reply[i], i < c.replyLength ? 0x30 + i : 0xEE) << c.what << " byte " << i;
        }
    }
}

TEST_F(PortTest, SendWithoutReplyReturnsOnceDelivered) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    auto sent = SendAsync({1, 2}, 0, nullptr, nullptr, 0, /*withTimeout=*/false);
    EXPECT_EQ(sent.wait_for(milliseconds(50)), std::future_status::timeout);  // waits for a getter

    MessageBuffer received{};
    ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
    EXPECT_EQ(received.header.ReplyLength, 0u);
    ASSERT_EQ(sent.get(), STATUS_SUCCESS);

    ReplyBuffer answer{};
    answer.header.MessageId = received.header.MessageId;
    EXPECT_EQ(FilterReplyMessage(admin_, handle_, &answer.header, sizeof(FILTER_REPLY_HEADER) + 4), kHrNoWaiterForReply);
}

TEST_F(PortTest, MessageIdsAreDistinctAndMessagesArriveInOrder) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    std::vector<ULONGLONG> ids;
    for (uint8_t i = 0; i < 3; ++i) {
        auto sent = SendAsync({i}, 0, nullptr, nullptr, 0, false);
        MessageBuffer received{};
        ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
        EXPECT_EQ(received.body[0], i);
        ASSERT_EQ(sent.get(), STATUS_SUCCESS);
        ids.push_back(received.header.MessageId);
    }
    EXPECT_LT(ids[0], ids[1]);
    EXPECT_LT(ids[1], ids[2]);
}

TEST_F(PortTest, TimeoutsFollowTheScaledKernelClock) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    sim::SetKernelTimeScale(0.001);

    // Nobody reads: the message is never delivered and the sender gives up.
    std::vector<uint8_t> reply;
    ULONG replyLength = 0;
    auto start = steady_clock::now();
    auto sent = SendAsync({1}, 4, &reply, &replyLength, kSeconds30);
    NTSTATUS status = sent.get();
    auto elapsed = steady_clock::now() - start;
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_TRUE(NT_SUCCESS(status));  // success class: callers must compare with STATUS_SUCCESS
    EXPECT_GE(elapsed, milliseconds(25));
    EXPECT_LT(elapsed, milliseconds(2000));
    MessageBuffer received{};
    EXPECT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received), milliseconds(20)), kHrWaitTimeout);

    // Delivered but never answered: the late reply finds no waiter.
    sent = SendAsync({2}, 4, &reply, &replyLength, kSeconds30);
    ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
    EXPECT_EQ(sent.get(), STATUS_TIMEOUT);
    ReplyBuffer answer{};
    answer.header.MessageId = received.header.MessageId;
    EXPECT_EQ(FilterReplyMessage(admin_, handle_, &answer.header, sizeof(FILTER_REPLY_HEADER) + 4), kHrNoWaiterForReply);
    EXPECT_EQ(sim::flt::Stats().timeouts, 2u);
    EXPECT_EQ(sim::CallCount("FltSendMessage:timeout"), 2u);

    // A zero interval is a poll.
    EXPECT_EQ(SendAsync({3}, 0, nullptr, nullptr, 0).get(), STATUS_TIMEOUT);
}

TEST_F(PortTest, UnscaledTimeoutIsRealTime) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    auto start = steady_clock::now();
    EXPECT_EQ(SendAsync({1}, 0, nullptr, nullptr, -1000000 /* 100 ms */).get(), STATUS_TIMEOUT);
    EXPECT_GE(steady_clock::now() - start, milliseconds(95));
}

TEST_F(PortTest, NullTimeoutWaitsForTheReply) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    sim::flt::SetKernelTimeScale(0.0001);  // would end any finite wait at once
    std::vector<uint8_t> reply;
    ULONG replyLength = 0;
    auto sent = SendAsync({1}, 4, &reply, &replyLength, 0, /*withTimeout=*/false);
    MessageBuffer received{};
    ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
    EXPECT_EQ(sent.wait_for(milliseconds(100)), std::future_status::timeout);
    ReplyBuffer answer{};
    answer.header.MessageId = received.header.MessageId;
    answer.data[0] = 3;
    ASSERT_EQ(FilterReplyMessage(admin_, handle_, &answer.header, sizeof(FILTER_REPLY_HEADER) + 4), S_OK);
    EXPECT_EQ(sent.get(), STATUS_SUCCESS);
    EXPECT_EQ(reply[0], 3);
}

TEST_F(PortTest, SenderSeesDisconnectWhileWaiting) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    // Waiting for delivery, and waiting for the reply after delivery.
    for (bool delivered : {false, true}) {
        std::vector<uint8_t> reply;
        ULONG replyLength = 0;
        auto sent = SendAsync({1}, 4, &reply, &replyLength, 0, false);
        if (delivered) {
            MessageBuffer received{};
            ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
        }
        EXPECT_EQ(sent.wait_for(milliseconds(30)), std::future_status::timeout);
        ASSERT_EQ(sim::ob::CloseHandle(admin_, handle_), STATUS_SUCCESS);
        EXPECT_EQ(sent.get(), STATUS_PORT_DISCONNECTED);
        ASSERT_EQ(Connect(&handle_), S_OK);
    }
    // With no client the driver's variable is NULL.
    ASSERT_EQ(sim::ob::CloseHandle(admin_, handle_), STATUS_SUCCESS);
    handle_ = nullptr;
    ASSERT_EQ(state_.clientPort, nullptr);
    EXPECT_EQ(SendAsync({1}, 0, nullptr, nullptr, kSeconds30).get(), STATUS_PORT_DISCONNECTED);
}

TEST_F(PortTest, DriverClosingTheClientPortReleasesSendersAndGetters) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    std::vector<uint8_t> reply;
    ULONG replyLength = 0;
    auto sent = SendAsync({1}, 4, &reply, &replyLength, 0, false);
    MessageBuffer received{};
    ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
    auto getter = std::async(std::launch::async, [this] {
        MessageBuffer next{};
        return FilterGetMessage(admin_, handle_, &next.header, sizeof(next));
    });
    EXPECT_EQ(getter.wait_for(milliseconds(30)), std::future_status::timeout);

    FltCloseClientPort(state_.filter, &state_.clientPort);
    EXPECT_EQ(state_.clientPort, nullptr);
    EXPECT_EQ(sent.get(), STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(getter.get(), kHrInvalidHandle);
    DWORD returned = 0;
    uint8_t in[4] = {};
    EXPECT_EQ(FilterSendMessage(admin_, handle_, in, sizeof(in), nullptr, 0, &returned), kHrInvalidHandle);

    // The disconnect notification still comes when the client lets go.
    EXPECT_EQ(state_.disconnects.load(), 0);
    ASSERT_EQ(sim::ob::CloseHandle(admin_, handle_), STATUS_SUCCESS);
    handle_ = nullptr;
    EXPECT_EQ(state_.disconnects.load(), 1);
}

TEST_F(PortTest, TerminatingThreadCannotSend) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    // Marked before the call: nothing is delivered.
    auto before = std::async(std::launch::async, [this] {
        sim::ThreadScope scope(admin_);
        sim::user::SetThreadTerminating(scope.thread(), true);
        uint8_t body = 1;
        LARGE_INTEGER timeout;
        timeout.QuadPart = kSeconds30;
        return FltSendMessage(state_.filter, &state_.clientPort, &body, 1, nullptr, nullptr, &timeout);
    });
    EXPECT_EQ(before.get(), STATUS_THREAD_IS_TERMINATING);
    MessageBuffer received{};
    EXPECT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received), milliseconds(20)), kHrWaitTimeout);

    // Marked while it waits for the reply.
    std::atomic<_ETHREAD*> sender{nullptr};
    auto during = std::async(std::launch::async, [this, &sender] {
        sim::ThreadScope scope(admin_);
        sender = scope.thread();
        uint8_t body = 2;
        uint8_t reply[4];
        ULONG replyLength = sizeof(reply);
        return FltSendMessage(state_.filter, &state_.clientPort, &body, 1, reply, &replyLength, nullptr);
    });
    ASSERT_EQ(FilterGetMessage(admin_, handle_, &received.header, sizeof(received)), S_OK);
    EXPECT_EQ(received.body[0], 2);
    sim::user::SetThreadTerminating(sender.load(), true);
    EXPECT_EQ(during.get(), STATUS_THREAD_IS_TERMINATING);
}

// A terminating thread fails only where it would have to wait: a message
// that needs no reply still goes to a reader already waiting for one.
TEST_F(PortTest, TerminatingThreadStillHandsAMessageToAWaitingReader) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    MessageBuffer received{};
    auto reader = std::async(std::launch::async, [&] {
        return FilterGetMessage(admin_, handle_, &received.header, sizeof(received));
    });
    while (sim::flt::Stats().messagesSent == 0 && reader.wait_for(milliseconds(1)) == std::future_status::timeout) {
        sim::ThreadScope scope(admin_);
        sim::user::SetThreadTerminating(scope.thread(), true);
        uint8_t body = 3;
        LARGE_INTEGER timeout;
        timeout.QuadPart = kSeconds30;
        const NTSTATUS status = FltSendMessage(state_.filter, &state_.clientPort, &body, 1, nullptr, nullptr, &timeout);
        // Until the reader waits there is no one to take it.
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_THREAD_IS_TERMINATING) << std::hex << status;
    }
    ASSERT_EQ(reader.get(), S_OK);
    EXPECT_EQ(received.body[0], 3);

    // With a reply expected it fails even with a reader waiting, and the
    // reader never sees the message.
    auto second = std::async(std::launch::async, [&] {
        return FilterGetMessage(admin_, handle_, &received.header, sizeof(received), milliseconds(200));
    });
    std::this_thread::sleep_for(milliseconds(30));
    {
        sim::ThreadScope scope(admin_);
        sim::user::SetThreadTerminating(scope.thread(), true);
        uint8_t body = 4;
        uint8_t reply[4];
        ULONG replyLength = sizeof(reply);
        EXPECT_EQ(FltSendMessage(state_.filter, &state_.clientPort, &body, 1, reply, &replyLength, nullptr),
                  STATUS_THREAD_IS_TERMINATING);
    }
    EXPECT_EQ(second.get(), kHrWaitTimeout);
}

TEST_F(PortTest, GetterBufferMustHoldHeaderAndMessage) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    auto sent = SendAsync(std::vector<uint8_t>(32, 0x5A), 0, nullptr, nullptr, 0, false);
    EXPECT_EQ(sent.wait_for(milliseconds(20)), std::future_status::timeout);
    MessageBuffer small{};
    EXPECT_EQ(FilterGetMessage(admin_, handle_, &small.header, 16 + 31), kHrInsufficientBuffer);
    EXPECT_EQ(FilterGetMessage(admin_, handle_, &small.header, 8), kHrInsufficientBuffer);
    // The message was kept for a buffer that fits.
    EXPECT_EQ(FilterGetMessage(admin_, handle_, &small.header, 16 + 32), S_OK);
    EXPECT_EQ(small.body[31], 0x5A);
    EXPECT_EQ(sent.get(), STATUS_SUCCESS);
}

TEST_F(PortTest, BadArgumentsToSend) {
    ASSERT_EQ(Connect(&handle_), S_OK);
    uint8_t body = 1;
    uint8_t reply[4];
    EXPECT_EQ(FltSendMessage(state_.filter, &state_.clientPort, &body, 1, reply, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    sim::InjectFailure("FltSendMessage", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(FltSendMessage(state_.filter, &state_.clientPort, &body, 1, nullptr, nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::flt::Stats().messagesSent, 0u);
}

TEST(PortDeathTest, SendAboveApcLevelStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            sim::ResetKernel();
            DRIVER_OBJECT driver{};
            PFLT_FILTER filter = nullptr;
            FltRegisterFilter(&driver, &kRegistration, &filter);
            PFLT_PORT port = nullptr;
            sim::RaiseIrql(DISPATCH_LEVEL);
            uint8_t body = 0;
            FltSendMessage(filter, &port, &body, 1, nullptr, nullptr, nullptr);
        },
        "IRQL_NOT_LESS_OR_EQUAL");
}

TEST(PortHResultTest, ConversionsOfTheUserLibrary) {
    struct Case {
        NTSTATUS status;
        uint32_t hresult;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_OBJECT_NAME_NOT_FOUND, 0x80070002},
        {STATUS_ACCESS_DENIED, 0x80070005},
        {STATUS_INVALID_HANDLE, 0x80070006},
        {STATUS_PORT_DISCONNECTED, 0x80070006},
        {STATUS_INVALID_PARAMETER, 0x80070057},
        {STATUS_BUFFER_TOO_SMALL, 0x8007007A},
        {STATUS_BUFFER_OVERFLOW, 0x800700EA},
        {STATUS_NOT_SUPPORTED, 0x80070032},
        {STATUS_INVALID_DEVICE_REQUEST, 0x80070001},
        {STATUS_INSUFFICIENT_RESOURCES, 0x800705AA},
        {STATUS_PENDING, 0x800703E5},
        {STATUS_CANCELLED, 0x800703E3},
        {STATUS_CONNECTION_COUNT_LIMIT, 0x800704D6},
        {STATUS_FLT_NO_WAITER_FOR_REPLY, 0x801F0020},
        {STATUS_FLT_CONTEXT_ALREADY_DEFINED, 0x801F0002},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<uint32_t>(HResultFromNtStatus(c.status)), c.hresult) << std::hex << c.status;
    }
}
