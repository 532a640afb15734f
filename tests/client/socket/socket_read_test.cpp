// The socket back end's read of a served machine's file, against stand-in
// servers: one that predates the request, one that serves a file, and ones
// that send more than was asked for.
#include "tests/client/socket/fake_server.h"

#include "client/lib/transport.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vtest {
namespace {

namespace vc = vetrona::client;

// A server of the first protocol answers what it does not know with an
// error frame and ends the connection.
std::optional<std::vector<uint8_t>> OldServer(int, uint32_t, const std::vector<uint8_t>&) {
    std::vector<uint8_t> body;
    proto::Put32(&body, 0x8007000Du);
    proto::Put32(&body, 0);
    return proto::Frame(proto::kError, body);
}

TEST(SocketFileRead, AServerThatPredatesItIsToldApartAtOnceAndNotAskedAgain) {
    FakeServer server(OldServer);
    ASSERT_TRUE(server.listening());
    vc::Transport transport(const_cast<char*>(server.path().c_str()));
    std::string bytes = "stale";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(transport.ReadMachineFile(u"C:\\tool.exe", 1000, &bytes), vc::kHrNotSupported);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "no wait on the old server";
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(transport.ReadMachineFile(u"C:\\other.exe", 1000, &bytes), vc::kHrNotSupported);
    EXPECT_EQ(server.connections(), 1) << "the answer is remembered";
}

// The file comes in parts of at most the chunk size at rising offsets, the
// path as sent, and whole; over the limit nothing comes back.
TEST(SocketFileRead, AFileComesWholeInBoundedParts) {
    std::string file(150000, '\0');
    for (size_t i = 0; i < file.size(); ++i) file[i] = static_cast<char>(i % 253);
    std::atomic<int> hellos{0}, badRequests{0};
    FakeServer server([&](int, uint32_t kind, const std::vector<uint8_t>& payload) -> std::optional<std::vector<uint8_t>> {
        if (kind == proto::kHello) {
            ++hellos;
            return ResponseFrame(kind, 0, proto::kProtocolVersion);
        }
        if (kind != proto::kReadFile || payload.size() < 14) return std::nullopt;
        const uint64_t offset = proto::Get64(payload.data());
        const uint32_t want = proto::Get32(payload.data() + 8);
        const std::u16string expected = u"C:\\Tools\\t\u00e9st.exe";
        std::u16string path;
        for (size_t i = 12; i + 1 < payload.size(); i += 2) path.push_back(static_cast<char16_t>(payload[i] | (payload[i + 1] << 8)));
        if (want == 0 || want > proto::kMaxFileChunk || path != expected) ++badRequests;
        const size_t from = std::min<size_t>(offset, file.size());
        const size_t n = std::min<size_t>(want, file.size() - from);
        return ResponseFrame(kind, 0, static_cast<uint32_t>(n), std::vector<uint8_t>(file.begin() + from, file.begin() + from + n));
    });
    vc::Transport transport(const_cast<char*>(server.path().c_str()));
    std::string bytes;
    ASSERT_EQ(transport.ReadMachineFile(u"C:\\Tools\\t\u00e9st.exe", file.size(), &bytes), vc::kOk);
    EXPECT_TRUE(bytes == file);
    EXPECT_EQ(badRequests, 0);
    EXPECT_EQ(transport.ReadMachineFile(u"C:\\Tools\\t\u00e9st.exe", file.size() - 1, &bytes), vc::kHrFileTooLarge);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(hellos, 2) << "each read on a side connection of its own";
}

// More bytes than asked for, or a count that disagrees with the bytes sent:
// the read fails and hands nothing on.
TEST(SocketFileRead, AServerThatSendsMoreThanAskedGetsNothingThrough) {
    for (const bool lieAboutCount : {false, true}) {
        SCOPED_TRACE(lieAboutCount);
        FakeServer server([&](int, uint32_t kind, const std::vector<uint8_t>& payload) -> std::optional<std::vector<uint8_t>> {
            if (kind == proto::kHello) return ResponseFrame(kind, 0, proto::kProtocolVersion);
            const uint32_t want = proto::Get32(payload.data() + 8);
            if (lieAboutCount) return ResponseFrame(kind, 0, want + 7, std::vector<uint8_t>(want / 2, 'x'));
            return ResponseFrame(kind, 0, want + 1, std::vector<uint8_t>(want + 1, 'x'));
        });
        vc::Transport transport(const_cast<char*>(server.path().c_str()));
        std::string bytes = "stale";
        EXPECT_EQ(transport.ReadMachineFile(u"C:\\a.exe", 1 << 20, &bytes), vc::kHrInvalidData);
        EXPECT_TRUE(bytes.empty());
    }
}

}  // namespace
}  // namespace vtest
