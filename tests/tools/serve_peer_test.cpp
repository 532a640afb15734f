// The server's side of a socket peer: requests answered as the peer's
// simulated process, and requests that do not add up refused with an error
// frame that ends the connection, never a crash.
#include "tests/support/fixture.h"

#include "client/lib/socket/protocol.h"
#include "sim/fs/fs.h"
#include "sim/user/file.h"
#include "sim/user/fltuser.h"
#include "tools/serve.h"

#include <cstring>
#include <filesystem>

namespace vtest {
namespace {

namespace proto = vetrona::client::socket;

struct Answer {
    bool keep = false;
    uint32_t kind = 0;
    int32_t hr = 0;
    uint32_t returned = 0;
    std::vector<uint8_t> data;
};

class ServePeerTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        peer_ = std::make_unique<vsim::PeerSession>(Client(), nullptr);
    }
    void TearDown() override {
        peer_.reset();
        DriverTest::TearDown();
    }

    Answer Ask(uint32_t kind, const std::vector<uint8_t>& payload) {
        std::vector<uint8_t> response;
        Answer a;
        a.keep = peer_->Handle(kind, payload, &response);
        EXPECT_GE(response.size(), proto::kHeaderSize + 8);
        EXPECT_EQ(proto::Get32(response.data()), proto::kMagic);
        a.kind = proto::Get32(response.data() + 4);
        EXPECT_EQ(proto::Get32(response.data() + 8), response.size() - proto::kHeaderSize);
        a.hr = static_cast<int32_t>(proto::Get32(response.data() + 12));
        a.returned = proto::Get32(response.data() + 16);
        a.data.assign(response.begin() + 20, response.end());
        return a;
    }

    static std::vector<uint8_t> Name(std::u16string_view name) {
        std::vector<uint8_t> out;
        for (char16_t c : name) {
            out.push_back(static_cast<uint8_t>(c));
            out.push_back(static_cast<uint8_t>(c >> 8));
        }
        return out;
    }

    static std::vector<uint8_t> ReadRequest(uint64_t offset, uint32_t maxBytes, std::u16string_view path) {
        std::vector<uint8_t> out;
        proto::Put64(&out, offset);
        proto::Put32(&out, maxBytes);
        const std::vector<uint8_t> name = Name(path);
        out.insert(out.end(), name.begin(), name.end());
        return out;
    }

    std::unique_ptr<vsim::PeerSession> peer_;
};

TEST_F(ServePeerTest, ConfiguresTheDriverThroughBothRoads) {
    Answer a = Ask(proto::kOpenPort, Name(u"\\VetronaFlt_Com"));
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.kind, proto::kOpenPort | proto::kResponseFlag);
    EXPECT_EQ(a.hr, 0);
    a = Ask(proto::kOpenDevice, Name(u"\\\\.\\Vetrona"));
    EXPECT_EQ(a.hr, 0);

    std::vector<uint8_t> version;
    proto::Put32(&version, IOCTL_GET_VERSION);
    proto::Put32(&version, 8);
    a = Ask(proto::kDeviceControl, version);
    EXPECT_EQ(a.hr, 0);
    EXPECT_EQ(a.returned, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.data.data())), "0.9.1.0");

    std::vector<uint8_t> set;
    proto::Put32(&set, 0);  // no output
    const uint8_t command[9] = {CMD_SET_FILE_MON, 0, 0, 0, 0, 0, 0, 0, 7};
    set.insert(set.end(), command, command + 9);
    EXPECT_EQ(Ask(proto::kPortCommand, set).hr, 0);
    std::vector<uint8_t> get;
    proto::Put32(&get, 8);
    const uint8_t query[9] = {CMD_GET_FILE_MON};
    get.insert(get.end(), query, query + 9);
    a = Ask(proto::kPortCommand, get);
    EXPECT_EQ(a.hr, 0);
    ASSERT_EQ(a.data.size(), 8u);
    EXPECT_EQ(a.data[4], 7);

    // A short device-control output: the driver's own refusal, as DeviceIoControl gives it.
    std::vector<uint8_t> shortVersion;
    proto::Put32(&shortVersion, IOCTL_GET_VERSION);
    proto::Put32(&shortVersion, 4);
    a = Ask(proto::kDeviceControl, shortVersion);
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.hr, static_cast<int32_t>(0x800700EA));  // ERROR_MORE_DATA from STATUS_BUFFER_OVERFLOW
    EXPECT_EQ(a.returned, 0u);

    // A control code of another transfer type is refused without reaching the machine.
    std::vector<uint8_t> neither;
    proto::Put32(&neither, IOCTL_GET_VERSION | 3);
    proto::Put32(&neither, 8);
    a = Ask(proto::kDeviceControl, neither);
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.hr, static_cast<int32_t>(0x80070032));

    // Nothing waits: a receive runs out.
    std::vector<uint8_t> receive;
    proto::Put32(&receive, 16 + EVENT_MAX_SIZE);
    proto::Put32(&receive, 20);
    a = Ask(proto::kGetMessage, receive);
    EXPECT_EQ(a.hr, static_cast<int32_t>(0x800705B4));
    EXPECT_TRUE(peer_->receivedOnce());
}

TEST_F(ServePeerTest, CallsBeforeOpeningFailAsOnAClosedHandle) {
    std::vector<uint8_t> command;
    proto::Put32(&command, 0);
    command.resize(13, 0);
    Answer a = Ask(proto::kPortCommand, command);
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.hr, static_cast<int32_t>(0x80070006));
    std::vector<uint8_t> control;
    proto::Put32(&control, IOCTL_CLEAR_PROCESSES);
    proto::Put32(&control, 0);
    EXPECT_EQ(Ask(proto::kDeviceControl, control).hr, static_cast<int32_t>(0x80070006));
    // A port that does not exist.
    a = Ask(proto::kOpenPort, Name(u"\\NoSuchPort"));
    EXPECT_EQ(a.hr, static_cast<int32_t>(0x80070002));
}

TEST_F(ServePeerTest, MalformedRequestsEndTheConnection) {
    std::vector<uint8_t> huge;
    proto::Put32(&huge, proto::kMaxBuffer + 1);
    proto::Put32(&huge, 0);
    std::vector<uint8_t> receiveBad;
    proto::Put32(&receiveBad, 16);
    const std::vector<std::pair<uint32_t, std::vector<uint8_t>>> cases = {
        {99, {}},                              // unknown kind
        {proto::kOpenPort, {}},                // empty name
        {proto::kOpenPort, {0x41}},            // half a UTF-16 unit
        {proto::kOpenPort, std::vector<uint8_t>(proto::kMaxName + 2, 0x41)},
        {proto::kClose, {1}},                  // close takes nothing
        {proto::kPortCommand, {1, 2}},         // no output length
        {proto::kPortCommand, huge},           // output beyond the limit
        {proto::kGetMessage, receiveBad},      // 4 bytes instead of 8
        {proto::kGetMessage, huge},            // receive buffer beyond the limit
        {proto::kDeviceControl, {1, 2, 3}},    // no code and length
        {proto::kDeviceControl, [] { std::vector<uint8_t> v; proto::Put32(&v, IOCTL_GET_VERSION); proto::Put32(&v, 0xFFFFFFFF); return v; }()},
        {proto::kReply, std::vector<uint8_t>(proto::kMaxBuffer + 1, 0)},
        {proto::kHello, {}},                   // no version
        {proto::kReadFile, ReadRequest(0, 16, u"")},                       // no path
        {proto::kReadFile, [] { auto v = ReadRequest(0, 16, u"C:\\a"); v.pop_back(); return v; }()},  // half a unit
        {proto::kReadFile, ReadRequest(0, 0, u"C:\\a")},                  // nothing asked for
        {proto::kReadFile, ReadRequest(0, proto::kMaxFileChunk + 1, u"C:\\a")},
        {proto::kReadFile, ReadRequest(0, 16, std::u16string(proto::kMaxName / 2 + 1, u'a'))},
    };
    for (const auto& [kind, payload] : cases) {
        const Answer a = Ask(kind, payload);
        EXPECT_FALSE(a.keep) << "kind " << kind << ", " << payload.size() << " bytes";
        EXPECT_EQ(a.kind, proto::kError);
        EXPECT_EQ(a.hr, static_cast<int32_t>(0x8007000D));
    }
}

// A client program reads a file of the served machine in parts, as the
// peer's process: the version it asks for first, the parts at their
// offsets, nothing past the end, and the open's failure for what is no file.
TEST_F(ServePeerTest, ReadsTheMachinesFilesInParts) {
    std::vector<uint8_t> hello;
    proto::Put32(&hello, proto::kProtocolVersion);
    Answer a = Ask(proto::kHello, hello);
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.kind, proto::kHello | proto::kResponseFlag);
    EXPECT_EQ(a.returned, proto::kProtocolVersion);

    char pattern[] = "/tmp/vetrona-serve-read-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    struct Remove {
        std::string path;
        ~Remove() { std::filesystem::remove_all(path); }
    } remove{root};
    sim::fs::MountVolume(root + "/C", u'C');
    std::string bytes(70000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 13 + i / 256);
    HANDLE file = nullptr;
    ASSERT_EQ(sim::user::CreateFile(Client(), u"C:\\blob.bin", FILE_GENERIC_WRITE, 0, FILE_CREATE,
                                    FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &file),
              STATUS_SUCCESS);
    ASSERT_EQ(sim::user::WriteFile(Client(), file, 0, bytes.data(), static_cast<ULONG>(bytes.size())), STATUS_SUCCESS);
    // A writer that shares nothing keeps the reader out, as on Windows.
    a = Ask(proto::kReadFile, ReadRequest(0, 16, u"C:\\blob.bin"));
    EXPECT_EQ(a.hr, sim::user::HResultFromNtStatus(STATUS_SHARING_VIOLATION));
    sim::user::CloseHandle(Client(), file);

    a = Ask(proto::kReadFile, ReadRequest(0, proto::kMaxFileChunk, u"C:\\blob.bin"));
    EXPECT_EQ(a.hr, 0);
    ASSERT_EQ(a.returned, proto::kMaxFileChunk);
    ASSERT_EQ(a.data.size(), proto::kMaxFileChunk);
    EXPECT_EQ(std::memcmp(a.data.data(), bytes.data(), a.data.size()), 0);
    a = Ask(proto::kReadFile, ReadRequest(proto::kMaxFileChunk + 5, proto::kMaxFileChunk, u"\\??\\C:\\blob.bin"));
    EXPECT_EQ(a.hr, 0);
    ASSERT_EQ(a.data.size(), bytes.size() - proto::kMaxFileChunk - 5);
    EXPECT_EQ(a.returned, a.data.size());
    EXPECT_EQ(std::memcmp(a.data.data(), bytes.data() + proto::kMaxFileChunk + 5, a.data.size()), 0);
    a = Ask(proto::kReadFile, ReadRequest(bytes.size(), 16, u"C:\\blob.bin"));
    EXPECT_EQ(a.hr, 0);
    EXPECT_EQ(a.returned, 0u);
    EXPECT_TRUE(a.data.empty());
    a = Ask(proto::kReadFile, ReadRequest(~uint64_t{0}, 16, u"C:\\blob.bin"));
    EXPECT_LT(a.hr, 0) << "an offset beyond any file";
    EXPECT_TRUE(a.keep);

    a = Ask(proto::kReadFile, ReadRequest(0, 16, u"C:\\missing.bin"));
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.hr, static_cast<int32_t>(0x80070002));
    a = Ask(proto::kReadFile, ReadRequest(0, 16, u"C:\\"));
    EXPECT_TRUE(a.keep);
    EXPECT_EQ(a.hr, sim::user::HResultFromNtStatus(STATUS_FILE_IS_A_DIRECTORY));
    EXPECT_TRUE(a.data.empty());
}

TEST_F(ServePeerTest, HostileRepliesAreRefusedByThePort) {
    ASSERT_EQ(Ask(proto::kOpenPort, Name(u"\\VetronaFlt_Com")).hr, 0);
    // A reply shorter than its header, and one for a message nobody sent.
    Answer a = Ask(proto::kReply, {1, 2, 3});
    EXPECT_TRUE(a.keep);
    EXPECT_LT(a.hr, 0);
    std::vector<uint8_t> stray(20, 0);
    stray[8] = 0x77;
    a = Ask(proto::kReply, stray);
    EXPECT_TRUE(a.keep);
    EXPECT_LT(a.hr, 0);
}

}  // namespace
}  // namespace vtest
