// Receive lanes over the socket: against a server of protocol 3 a lane is a
// connection of its own attached with the token of the client's connection,
// and receives and replies on it; against an older one the client receives
// on its one connection.
#include "tests/client/socket/fake_server.h"

#include "client/lib/transport.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

namespace vtest {
namespace {

namespace vc = vetrona::client;

constexpr uint64_t kToken = 0x1122334455667788ull;

std::vector<uint8_t> ErrorFrame() {
    std::vector<uint8_t> body;
    proto::Put32(&body, 0x8007000Du);
    proto::Put32(&body, 0);
    return proto::Frame(proto::kError, body);
}

TEST(SocketLanes, AnOlderServerGivesOneLaneAndStillReceives) {
    FakeServer server([](int, uint32_t kind, const std::vector<uint8_t>&) -> std::optional<std::vector<uint8_t>> {
        if (kind == proto::kOpenPort) return ResponseFrame(kind, 0, 0);
        if (kind == proto::kGetMessage) {
            std::vector<uint8_t> message(16 + 8, 0);
            message[16] = 8;  // the event's size
            return ResponseFrame(kind, 0, static_cast<uint32_t>(message.size()), message);
        }
        return ErrorFrame();  // Hello and Attach are unknown to it
    });
    vc::Transport transport(const_cast<char*>(server.path().c_str()));
    ASSERT_EQ(transport.OpenPort(u"\\VetronaFlt_Com"), vc::kOk);
    int granted = 0;
    EXPECT_EQ(transport.OpenLanes(4, &granted), vc::kOk);
    EXPECT_EQ(granted, 1);
    std::vector<uint8_t> buffer(64);
    EXPECT_EQ(transport.ReceiveMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), 100, 0), vc::kOk)
        << "the client's own connection was not spoiled by the question";
    EXPECT_EQ(transport.ReceiveMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), 100, 1), vc::kHrInvalidArgument);
}

TEST(SocketLanes, EachLaneIsAConnectionAttachedWithTheClientsToken) {
    std::mutex lock;
    std::map<int, std::string> roles;  // connection -> what it became
    std::map<int, int> replies;        // connection -> replies taken
    int badTokens = 0;
    FakeServer server([&](int connection, uint32_t kind, const std::vector<uint8_t>& payload) -> std::optional<std::vector<uint8_t>> {
        std::lock_guard<std::mutex> guard(lock);
        std::string& role = roles[connection];
        if (kind == proto::kOpenPort) {
            role = "client";
            return ResponseFrame(kind, 0, 0);
        }
        if (kind == proto::kHello) {
            if (role != "client") return ResponseFrame(kind, 0, 3);  // a side connection: no token
            std::vector<uint8_t> token;
            proto::Put64(&token, kToken);
            return ResponseFrame(kind, 0, 3, token);
        }
        if (kind == proto::kAttach) {
            if (payload.size() != 8 || proto::Get64(payload.data()) != kToken) ++badTokens;
            role = "lane";
            return ResponseFrame(kind, 0, 0);
        }
        if (kind == proto::kGetMessage && role == "lane") {
            std::vector<uint8_t> message(16 + 8, 0);
            message[8] = static_cast<uint8_t>(connection);  // the message id names the connection
            message[16] = 8;
            return ResponseFrame(kind, 0, static_cast<uint32_t>(message.size()), message);
        }
        if (kind == proto::kReply) {
            ++replies[connection];
            return ResponseFrame(kind, 0, 0);
        }
        return std::nullopt;
    });
    vc::Transport transport(const_cast<char*>(server.path().c_str()));
    ASSERT_EQ(transport.OpenPort(u"\\VetronaFlt_Com"), vc::kOk);
    int granted = 0;
    ASSERT_EQ(transport.OpenLanes(4, &granted), vc::kOk);
    EXPECT_EQ(granted, 4);
    EXPECT_EQ(badTokens, 0);
    std::map<int, int> laneOf;  // connection -> lane that received on it
    for (int lane = 1; lane < 4; ++lane) {
        std::vector<uint8_t> buffer(64);
        ASSERT_EQ(transport.ReceiveMessage(buffer.data(), static_cast<uint32_t>(buffer.size()), 100, lane), vc::kOk);
        laneOf[buffer[8]] = lane;
        uint8_t reply[20] = {};
        EXPECT_EQ(transport.ReplyMessage(reply, sizeof(reply), lane), vc::kOk);
    }
    EXPECT_EQ(laneOf.size(), 3u) << "three lanes, three connections";
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& [connection, lane] : laneOf) {
        EXPECT_EQ(roles[connection], "lane");
        EXPECT_EQ(replies[connection], 1) << "lane " << lane << " replies on its own connection";
    }
}

}  // namespace
}  // namespace vtest
