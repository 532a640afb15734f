// Many kernel senders on one connection at once: each waits on its own reply,
// matched by message id, and closing the client port under them releases
// every one of them cleanly.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/flt/flt.h"
#include "sim/ob/ob.h"
#include "sim/user/fltuser.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
using std::chrono::milliseconds;

namespace {

PFLT_FILTER gFilter = nullptr;
PFLT_PORT gClientPort = nullptr;

NTSTATUS FLTAPI RaceConnect(PFLT_PORT ClientPort, PVOID, PVOID, ULONG, PVOID* Cookie) {
    gClientPort = ClientPort;
    *Cookie = nullptr;
    return STATUS_SUCCESS;
}
VOID FLTAPI RaceDisconnect(PVOID) { FltCloseClientPort(gFilter, &gClientPort); }

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION_0200, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr, nullptr, nullptr, nullptr,
};

struct Request {
    uint32_t sender;
    uint32_t sequence;
};

class PortSendConcurrencyTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        ASSERT_EQ(FltRegisterFilter(&driverObject_, &kRegistration, &gFilter), STATUS_SUCCESS);
        UNICODE_STRING name;
        name.Buffer = const_cast<PWSTR>(u"\\RacePort");
        name.Length = name.MaximumLength = 18;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        ASSERT_EQ(FltCreateCommunicationPort(gFilter, &server_, &attributes, nullptr, RaceConnect, RaceDisconnect,
                                             nullptr, 1),
                  STATUS_SUCCESS);
        client_ = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        ASSERT_EQ(FilterConnectCommunicationPort(client_, u"\\RacePort", 0, nullptr, 0, &handle_), S_OK);
    }

    void TearDown() override {
        StopResponders();
        if (handle_ != nullptr) {
            sim::ob::CloseHandle(client_, handle_);
        }
        FltCloseCommunicationPort(server_);
        FltUnregisterFilter(gFilter);
        SimTest::TearDown();
    }

    // Client threads that answer each request with sender * 1000 + sequence.
    void StartResponders(int count) {
        for (int i = 0; i < count; ++i) {
            responders_.emplace_back([this] {
                while (!stop_) {
                    struct {
                        FILTER_MESSAGE_HEADER header;
                        Request request;
                    } message{};
                    HRESULT hr = FilterGetMessage(client_, handle_, &message.header, sizeof(message), milliseconds(10));
                    if (hr == kHrWaitTimeout) {
                        continue;
                    }
                    if (hr != S_OK) {
                        return;  // disconnected
                    }
                    if (message.header.ReplyLength == 0) {
                        continue;
                    }
#pragma pack(push, 1)
                    struct {
                        FILTER_REPLY_HEADER header;
                        uint32_t value;
                    } reply{};
#pragma pack(pop)
                    reply.header.MessageId = message.header.MessageId;
                    reply.value = message.request.sender * 1000 + message.request.sequence;
                    FilterReplyMessage(client_, handle_, &reply.header, sizeof(reply));
                }
            });
        }
    }

    void StopResponders() {
        stop_ = true;
        for (auto& thread : responders_) {
            thread.join();
        }
        responders_.clear();
    }

    DRIVER_OBJECT driverObject_{};
    PFLT_PORT server_ = nullptr;
    _EPROCESS* client_ = nullptr;
    HANDLE handle_ = nullptr;
    std::atomic<bool> stop_{false};
    std::vector<std::thread> responders_;
};

}  // namespace

TEST_F(PortSendConcurrencyTest, EachSenderGetsTheReplyToItsOwnMessage) {
    constexpr uint32_t kSenders = 6;
    constexpr uint32_t kMessagesEach = 40;
    StartResponders(2);
    std::atomic<int> mismatches{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> senders;
    for (uint32_t s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (uint32_t i = 0; i < kMessagesEach; ++i) {
                Request request{s, i};
                uint32_t value = 0;
                ULONG length = sizeof(value);
                LARGE_INTEGER timeout;
                timeout.QuadPart = -100000000LL;  // 10 s
                NTSTATUS status =
                    FltSendMessage(gFilter, &gClientPort, &request, sizeof(request), &value, &length, &timeout);
                if (status != STATUS_SUCCESS || length != sizeof(value)) {
                    ++failures;
                } else if (value != s * 1000 + i) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& thread : senders) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
    const auto stats = sim::flt::Stats();
    EXPECT_EQ(stats.messagesSent, kSenders * kMessagesEach);
    EXPECT_EQ(stats.replies, kSenders * kMessagesEach);
}

TEST_F(PortSendConcurrencyTest, ClosingTheClientPortUnderSendersReleasesThemAll) {
    StartResponders(1);
    std::atomic<bool> closed{false};
    std::atomic<int> unexpected{0};
    std::atomic<int> afterClose{0};
    std::vector<std::thread> senders;
    for (uint32_t s = 0; s < 4; ++s) {
        senders.emplace_back([&, s] {
            // Send until the close, then a few more that must all find it.
            int extra = 5;
            for (uint32_t i = 0; extra > 0; ++i) {
                const bool wasClosed = closed.load();
                if (wasClosed) {
                    --extra;
                }
                Request request{s, i};
                uint32_t value = 0;
                ULONG length = sizeof(value);
                // No timeout: only the close can end a wait that is not answered.
                NTSTATUS status = FltSendMessage(gFilter, &gClientPort, &request, sizeof(request), &value, &length, nullptr);
                if (status != STATUS_SUCCESS && status != STATUS_PORT_DISCONNECTED) {
                    ++unexpected;
                }
                if (wasClosed) {
                    if (status != STATUS_PORT_DISCONNECTED) {
                        ++unexpected;
                    }
                    ++afterClose;
                }
            }
        });
    }
    std::this_thread::sleep_for(milliseconds(20));
    FltCloseClientPort(gFilter, &gClientPort);
    closed = true;
    for (auto& thread : senders) {
        thread.join();
    }
    EXPECT_EQ(gClientPort, nullptr);
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(afterClose.load(), 4 * 5);
}
