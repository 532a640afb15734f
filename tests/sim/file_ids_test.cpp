// File ids as NTFS gives them: the record number in the low 48 bits, the
// record's sequence number in the high 16, a deleted file's record reused with
// the next sequence, and the same numbers for the same machine in every run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "sim/fs/fs.h"
#include "sim/ke/core.h"
#include "sim/user/device.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

using namespace sim::user;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t kRecord = (uint64_t{1} << 48) - 1;

class FileIdTest : public vtest::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        root_ = fs::temp_directory_path() / ("vetrona-ids-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(root_ / "b");
        std::ofstream(root_ / "b" / "two.txt") << "2";
        std::ofstream(root_ / "a.txt") << "1";
    }

    void TearDown() override {
        SimTest::TearDown();
        fs::remove_all(root_);
    }

    void Boot() {
        sim::fs::MountVolume(root_.string(), u'C');
        process_ = StartProcess(nullptr, vtest::kAppImage);
        ASSERT_NE(process_, nullptr);
    }

    // The id of `path`, through a handle opened (or made, with FILE_CREATE) for it.
    uint64_t IdOf(std::u16string_view path, ULONG disposition = FILE_OPEN, ULONG options = 0) {
        HANDLE h = nullptr;
        const ACCESS_MASK access = (options & FILE_DIRECTORY_FILE) != 0 ? GENERIC_READ : GENERIC_READ | DELETE;
        EXPECT_EQ(CreateFile(process_, path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                             options | FILE_SYNCHRONOUS_IO_NONALERT, &h),
                  STATUS_SUCCESS)
            << std::string(path.begin(), path.end());
        ULONG64 id = 0;
        EXPECT_EQ(QueryFileId(process_, h, &id), STATUS_SUCCESS);
        EXPECT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
        return id;
    }

    void Delete(std::u16string_view path) {
        HANDLE h = nullptr;
        ASSERT_EQ(CreateFile(process_, path, DELETE, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &h), STATUS_SUCCESS);
        ASSERT_EQ(SetDisposition(process_, h, true), STATUS_SUCCESS);
        ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    }

    static uint64_t Record(uint64_t id) { return id & kRecord; }
    static uint64_t Sequence(uint64_t id) { return id >> 48; }

    fs::path root_;
    _EPROCESS* process_ = nullptr;
};

TEST_F(FileIdTest, FilesAlreadyOnTheVolumeAreNumberedInNameOrderAndTheSameInEveryBoot) {
    Boot();
    const uint64_t root = IdOf(u"C:\\", FILE_OPEN, FILE_DIRECTORY_FILE);
    const uint64_t a = IdOf(u"C:\\a.txt");
    const uint64_t b = IdOf(u"C:\\b", FILE_OPEN, FILE_DIRECTORY_FILE);
    const uint64_t two = IdOf(u"C:\\b\\two.txt");
    EXPECT_EQ(root, 0x0005000000000005u) << "the root directory's record and sequence";
    // A walk sorted by name, each folder before what it holds, from the first
    // record after the file system's own; every record's first sequence is 1.
    EXPECT_EQ(a, 0x0001000000000040u);
    EXPECT_EQ(b, 0x0001000000000041u);
    EXPECT_EQ(two, 0x0001000000000042u);
    const uint64_t made = IdOf(u"C:\\new.txt", FILE_CREATE);
    EXPECT_EQ(made, 0x0001000000000043u);

    // The same machine again: the host gives other inodes, the ids stay.
    sim::ResetKernel();
    fs::remove(root_ / "new.txt");
    fs::create_directories(root_ / "pad");  // an inode taken between boots
    fs::remove(root_ / "pad");
    Boot();
    EXPECT_EQ(IdOf(u"C:\\a.txt"), a);
    EXPECT_EQ(IdOf(u"C:\\b\\two.txt"), two);
    EXPECT_EQ(IdOf(u"C:\\new.txt", FILE_CREATE), made);
}

TEST_F(FileIdTest, ADeletedFilesRecordGoesToTheNextNewFileWithTheNextSequence) {
    Boot();
    const uint64_t a = IdOf(u"C:\\a.txt");
    const uint64_t two = IdOf(u"C:\\b\\two.txt");
    Delete(u"C:\\b\\two.txt");
    Delete(u"C:\\a.txt");
    // The lowest free record first.
    const uint64_t first = IdOf(u"C:\\first.txt", FILE_CREATE);
    EXPECT_EQ(Record(first), Record(a));
    EXPECT_EQ(Sequence(first), Sequence(a) + 1);
    EXPECT_NE(first, a);
    const uint64_t second = IdOf(u"C:\\second.txt", FILE_CREATE);
    EXPECT_EQ(Record(second), Record(two));
    EXPECT_EQ(Sequence(second), 2u);
    // Deleted and made again: the sequence keeps counting.
    Delete(u"C:\\first.txt");
    const uint64_t third = IdOf(u"C:\\third.txt", FILE_CREATE);
    EXPECT_EQ(Record(third), Record(a));
    EXPECT_EQ(Sequence(third), 3u);
    // Nothing free: a new record.
    EXPECT_EQ(Record(IdOf(u"C:\\fourth.txt", FILE_CREATE)), 0x43u);
}

TEST_F(FileIdTest, AFileKeepsItsIdThroughARenameAndAFileRenamedOverGivesUpItsRecord) {
    Boot();
    const uint64_t a = IdOf(u"C:\\a.txt");
    const uint64_t two = IdOf(u"C:\\b\\two.txt");
    HANDLE h = nullptr;
    ASSERT_EQ(CreateFile(process_, u"C:\\a.txt", GENERIC_READ | DELETE, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(SetRenameInformation(process_, h, u"\\??\\C:\\b\\two.txt", true), STATUS_SUCCESS);
    ULONG64 id = 0;
    ASSERT_EQ(QueryFileId(process_, h, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, a);
    ASSERT_EQ(CloseHandle(process_, h), STATUS_SUCCESS);
    EXPECT_EQ(IdOf(u"C:\\b\\two.txt"), a);
    const uint64_t made = IdOf(u"C:\\made.txt", FILE_CREATE);
    EXPECT_EQ(Record(made), Record(two));
    EXPECT_EQ(Sequence(made), 2u);
}

}  // namespace
