// The client program's read of a whole file on the driver's machine (the
// image facts of detection rules come from it): chunked, bounded by the
// caller's limit, and refusing a reader that hands back more than it was
// asked for.
#include "tests/support/fixture.h"

#include <filesystem>

#include "client/lib/client.h"
#include "client/lib/read_file.h"
#include "sim/fs/fs.h"
#include "sim/user/file.h"
#include "sim/user/fltuser.h"

namespace vtest {
namespace {

namespace vc = vetrona::client;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

class MachineFileTest : public DriverTest {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vetrona-machine-file-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        DriverTest::SetUp();
        sim::fs::MountVolume((root_ / "C").string(), u'C');
    }
    void TearDown() override {
        DriverTest::TearDown();
        std::filesystem::remove_all(root_);
    }

    void Put(std::u16string_view path, const std::string& bytes) {
        HANDLE file = nullptr;
        ASSERT_EQ(sim::user::CreateFile(Client(), path, FILE_GENERIC_WRITE, 0, FILE_OVERWRITE_IF,
                                        FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &file),
                  STATUS_SUCCESS);
        if (!bytes.empty()) {
            ULONG written = 0;
            ASSERT_EQ(sim::user::WriteFile(Client(), file, 0, bytes.data(), static_cast<ULONG>(bytes.size()), &written),
                      STATUS_SUCCESS);
            ASSERT_EQ(written, bytes.size());
        }
        sim::user::CloseHandle(Client(), file);
    }

    std::filesystem::path root_;
};

// Sizes around the 64 KiB chunk and around the limit: the bytes come back
// whole, a file one byte over the limit is refused without bytes.
TEST_F(MachineFileTest, AWholeFileWithinTheLimitAndNoByteMore) {
    vc::Client client(Client());
    for (const size_t size : {size_t{0}, size_t{1}, size_t{0x10000}, size_t{0x10001}, size_t{200000}}) {
        SCOPED_TRACE(size);
        const std::string bytes = Pattern(size);
        Put(u"C:\\blob.bin", bytes);
        std::string got = "stale";
        ASSERT_EQ(client.ReadMachineFile(u"C:\\blob.bin", size, &got), vc::kOk);
        EXPECT_TRUE(got == bytes);
        got = "stale";
        if (size != 0) {
            EXPECT_EQ(client.ReadMachineFile(u"C:\\blob.bin", size - 1, &got), vc::kHrFileTooLarge);
            EXPECT_TRUE(got.empty());
        }
    }
    std::string got;
    EXPECT_EQ(client.ReadMachineFile(u"C:\\missing.bin", 100, &got), static_cast<vc::HResult>(0x80070002));
    EXPECT_EQ(client.ReadMachineFile(u"C:\\", 100, &got), sim::user::HResultFromNtStatus(STATUS_FILE_IS_A_DIRECTORY));
    EXPECT_EQ(client.ReadMachineFile(u"", 100, &got), vc::kHrInvalidArgument);
}

// A back end that answers with more than it was asked for (a hostile
// server) gets no bytes through; a failure half-way gives none either.
TEST(ReadWholeFile, AReaderThatOverrunsOrFailsHalfWayGivesNothing) {
    std::string got = "stale";
    auto overrun = [](uint64_t, uint32_t length, std::string* out) {
        out->append(length + 1, 'x');
        return vc::kOk;
    };
    EXPECT_EQ(vc::ReadWholeFile(overrun, 1000, 64, &got), vc::kHrInvalidData);
    EXPECT_TRUE(got.empty());
    int calls = 0;
    auto failsSecond = [&](uint64_t offset, uint32_t length, std::string* out) {
        EXPECT_EQ(offset, static_cast<uint64_t>(calls) * 64);
        if (++calls == 2) return vc::kHrNotConnected;
        out->append(length, 'y');
        return vc::kOk;
    };
    got = "stale";
    EXPECT_EQ(vc::ReadWholeFile(failsSecond, 1000, 64, &got), vc::kHrNotConnected);
    EXPECT_TRUE(got.empty());
}

}  // namespace
}  // namespace vtest
