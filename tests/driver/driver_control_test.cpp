// The control device: who may open it, its five control codes, the
// information values it reports, and requests of other major functions.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/control.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "tests/support/fixture.h"
#include "sim/user/device.h"

namespace {

using vtest::DriverTest;

using vtest::BackupDirText;

class ControlTest : public DriverTest {};

TEST_F(ControlTest, OnlyAdministratorsAndSystemMayOpenTheDevice) {
    _EPROCESS* user = StartProcess(vtest::kAppImage, nullptr, false);
    HANDLE handle = nullptr;
    EXPECT_EQ(OpenControl(user, GENERIC_READ | GENERIC_WRITE, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(OpenControl(user, FILE_READ_DATA, &handle), STATUS_ACCESS_DENIED) << "not even for reading";

    _EPROCESS* admin = StartProcess(vtest::kAppImage, nullptr, true);
    ASSERT_EQ(OpenControl(admin, GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
    ULONG pid = 321;
    ULONG returned = 99;
    EXPECT_EQ(sim::user::DeviceIoControl(admin, handle, IOCTL_ADD_PROCESS, &pid, sizeof(pid), nullptr, 0, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 1u) << "the success mark, reported without an output buffer to copy into";
    EXPECT_TRUE(IdListHasPid(&DriverData.ProcessList, 321));
    EXPECT_EQ(CloseControl(admin, handle), STATUS_SUCCESS);

    // The System process's threads pass as well.
    {
        HANDLE systemHandle = nullptr;
        ASSERT_EQ(OpenControl(sim::SystemProcess(), GENERIC_READ | GENERIC_WRITE, &systemHandle), STATUS_SUCCESS);
        EXPECT_EQ(CloseControl(sim::SystemProcess(), systemHandle), STATUS_SUCCESS);
    }
}

TEST_F(ControlTest, OpenAndCloseSucceedWithoutInformation) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenControl(nullptr, GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
    EXPECT_NE(handle, nullptr);
    EXPECT_EQ(CloseControl(nullptr, handle), STATUS_SUCCESS);
    EXPECT_GE(sim::CallCount("IofCompleteRequest"), 2u);
}

TEST_F(ControlTest, VersionQueryWritesEightBytesOnly) {
    auto exact = Ioctl(IOCTL_GET_VERSION, nullptr, 0, 8);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.returned, 8u);
    EXPECT_EQ(std::memcmp(exact.output.data(), "0.9.1.0", 8), 0);

    auto larger = Ioctl(IOCTL_GET_VERSION, nullptr, 0, 16);
    EXPECT_EQ(larger.status, STATUS_SUCCESS);
    EXPECT_EQ(larger.returned, 8u);
    EXPECT_EQ(std::memcmp(larger.output.data(), "0.9.1.0", 8), 0);
    for (size_t i = 8; i < 16; i++) {
        EXPECT_EQ(larger.output[i], 0xEE) << "byte " << i << " of the caller's buffer was written";
    }

    for (ULONG shortLength : {0u, 1u, 7u}) {
        auto tooShort = Ioctl(IOCTL_GET_VERSION, nullptr, 0, shortLength);
        EXPECT_EQ(tooShort.status, STATUS_BUFFER_OVERFLOW) << shortLength;
        EXPECT_EQ(tooShort.returned, 0u) << "a failed version query reports nothing, output " << shortLength;
        for (uint8_t b : tooShort.output) {
            EXPECT_EQ(b, 0xEE);
        }
    }
}

TEST_F(ControlTest, AddProcessUsesTheFirstFourBytes) {
    uint8_t input[8] = {0x10, 0x02, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    auto added = Ioctl(IOCTL_ADD_PROCESS, input, sizeof(input), 1);
    EXPECT_EQ(added.status, STATUS_SUCCESS);
    EXPECT_EQ(added.returned, 1u);
    EXPECT_TRUE(IdListHasPid(&DriverData.ProcessList, 0x210));

    auto again = Ioctl(IOCTL_ADD_PROCESS, input, sizeof(input), 0);
    EXPECT_EQ(again.status, STATUS_ALREADY_REGISTERED);

    auto shortInput = Ioctl(IOCTL_ADD_PROCESS, input, 3, 0);
    EXPECT_EQ(shortInput.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(shortInput.returned, 0u);
    auto noInput = Ioctl(IOCTL_ADD_PROCESS, nullptr, 0, 0);
    EXPECT_EQ(noInput.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(noInput.returned, 0u);

    EXPECT_EQ(sim::pool::LiveByTag()[TagProcessEntry].count, 1u);

    sim::pool::FailTag(TagProcessEntry);
    ULONG pid = 0x400;
    auto exhausted = Ioctl(IOCTL_ADD_PROCESS, &pid, sizeof(pid), 0);
    EXPECT_EQ(exhausted.status, STATUS_NO_MEMORY);
    EXPECT_FALSE(IdListHasPid(&DriverData.ProcessList, 0x400));
    sim::pool::ClearFaults();
}

TEST_F(ControlTest, SuccessMarkNeverExceedsOrLeaksTheOutputBuffer) {
    // No output buffer: the mark is reported and nothing is copied back.
    ULONG first = 0x40;
    auto unreported = Ioctl(IOCTL_ADD_PROCESS, &first, sizeof(first), 0);
    EXPECT_EQ(unreported.status, STATUS_SUCCESS);
    EXPECT_EQ(unreported.returned, 1u);

    // With an output buffer the I/O manager copies the information value's
    // bytes back: they must not be the input or stale system-buffer bytes.
    ULONG pid = 0x1234ABCD;
    auto added = Ioctl(IOCTL_ADD_PROCESS, &pid, sizeof(pid), 4);
    EXPECT_EQ(added.status, STATUS_SUCCESS);
    EXPECT_EQ(added.returned, 1u);
    EXPECT_EQ(added.output[0], 0);
    EXPECT_EQ(added.output[1], 0xEE);

    auto cleared = Ioctl(IOCTL_CLEAR_PROCESSES, nullptr, 0, 16);
    EXPECT_EQ(cleared.status, STATUS_SUCCESS);
    EXPECT_EQ(cleared.returned, 1u);
    EXPECT_EQ(cleared.output[0], 0);
}

TEST_F(ControlTest, ClearProcessesEmptiesTheWatchedSet) {
    auto empty = Ioctl(IOCTL_CLEAR_PROCESSES, nullptr, 0, 1);
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.returned, 1u);

    for (ULONG pid : {8u, 12u, 16u}) {
        ASSERT_EQ(AddProcess(pid), STATUS_SUCCESS);
    }
    EXPECT_EQ(ClearProcesses(), STATUS_SUCCESS);
    EXPECT_TRUE(IdListIsEmpty(&DriverData.ProcessList));
    EXPECT_EQ(sim::pool::LiveByTag()[TagProcessEntry].count, 0u);
    EXPECT_EQ(AddProcess(8), STATUS_SUCCESS) << "a cleared pid can be added again";
}

TEST_F(ControlTest, ClearFileIdsEmptiesTheTrackedSet) {
    ASSERT_EQ(IdListAddFileId(&DriverData.FileIdList, 0x7000000000000001ull), STATUS_SUCCESS);
    ASSERT_EQ(IdListAddFileId(&DriverData.FileIdList, 2), STATUS_SUCCESS);
    auto cleared = Ioctl(IOCTL_CLEAR_FILE_IDS, nullptr, 0, 1);
    EXPECT_EQ(cleared.status, STATUS_SUCCESS);
    EXPECT_EQ(cleared.returned, 1u);
    EXPECT_TRUE(IdListIsEmpty(&DriverData.FileIdList));
    EXPECT_EQ(sim::pool::LiveByTag()[TagFileIdEntry].count, 0u);
}

TEST_F(ControlTest, BackupFolderIsSetReplacedAndCleared) {
    auto set = Ioctl(IOCTL_SET_BACKUP_DIR, u"C:\\First", 16, 1);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.returned, 1u);
    EXPECT_EQ(BackupDirText(), u"C:\\First");
    EXPECT_EQ(sim::pool::Lookup(DriverData.BackupDir->Buffer)->tag, TagString);

    ASSERT_EQ(SetBackupDir(u"D:\\Second\\Folder"), STATUS_SUCCESS);
    EXPECT_EQ(BackupDirText(), u"D:\\Second\\Folder");
    EXPECT_EQ(sim::pool::LiveByTag()[TagString].count, 2u) << "the first folder's string was freed";

    auto cleared = Ioctl(IOCTL_SET_BACKUP_DIR, nullptr, 0, 1);
    EXPECT_EQ(cleared.status, STATUS_SUCCESS);
    EXPECT_EQ(cleared.returned, 1u);
    EXPECT_EQ(DriverData.BackupDir, nullptr);
    EXPECT_EQ(sim::pool::LiveByTag()[TagString].count, 0u);
}

TEST_F(ControlTest, BackupFolderOfUnholdableLengthIsRefusedAndTheOldKept) {
    ASSERT_EQ(SetBackupDir(u"C:\\Keep"), STATUS_SUCCESS);

    auto odd = Ioctl(IOCTL_SET_BACKUP_DIR, u"C:\\Odd", 7, 0);
    EXPECT_EQ(odd.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(BackupDirText(), u"C:\\Keep");

    std::u16string tooLong(StrMaxLength / 2 + 1, u'x');
    auto huge = Ioctl(IOCTL_SET_BACKUP_DIR, tooLong.data(), static_cast<ULONG>(tooLong.size() * 2), 0);
    EXPECT_EQ(huge.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(BackupDirText(), u"C:\\Keep");

    std::u16string longest(StrMaxLength / 2, u'y');
    ASSERT_EQ(SetBackupDir(longest), STATUS_SUCCESS);
    ASSERT_NE(DriverData.BackupDir, nullptr);
    EXPECT_EQ(DriverData.BackupDir->Length, StrMaxLength);
    EXPECT_EQ(DriverData.BackupDir->MaximumLength, StrMaxLength + 2);
}

TEST_F(ControlTest, BackupFolderCopyThatCannotBeAllocatedLeavesItUnset) {
    ASSERT_EQ(SetBackupDir(u"C:\\Old"), STATUS_SUCCESS);
    sim::pool::FailTag(TagString);
    auto result = Ioctl(IOCTL_SET_BACKUP_DIR, u"C:\\New", 12, 1);
    sim::pool::ClearFaults();
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.returned, 1u);
    EXPECT_EQ(DriverData.BackupDir, nullptr);
}

TEST_F(ControlTest, HandlersWithoutASystemBuffer) {
    ULONG_PTR information = 77;
    EXPECT_EQ(CtlGetVersion(nullptr, 64, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 0u);

    ASSERT_EQ(SetBackupDir(u"C:\\Kept"), STATUS_SUCCESS);
    information = 77;
    EXPECT_EQ(CtlSetBackupDir(nullptr, 12, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(BackupDirText(), u"C:\\Kept");
    EXPECT_EQ(CtlSetBackupDir(nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 1u);
    EXPECT_EQ(DriverData.BackupDir, nullptr);

    information = 77;
    EXPECT_EQ(CtlAddProcess(nullptr, 4, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, 0u);
}

TEST_F(ControlTest, UnknownCodesFailWithoutInformation) {
    const ULONG unknown[] = {
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x701, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS),
        CTL_CODE(FILE_DEVICE_UNKNOWN, 0x700, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (ULONG code : unknown) {
        auto result = Ioctl(code, nullptr, 0, 8);
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << std::hex << code;
        for (uint8_t b : result.output) {
            EXPECT_EQ(b, 0xEE);
        }
    }
}

TEST_F(ControlTest, OtherMajorFunctionsAreCompletedAsInvalidRequests) {
    HANDLE handle = nullptr;
    ASSERT_EQ(OpenControl(nullptr, GENERIC_READ | GENERIC_WRITE, &handle), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SHUTDOWN}) {
        uint64_t completions = sim::CallCount("IofCompleteRequest");
        EXPECT_EQ(sim::user::SendIrp(Client(), handle, major), STATUS_INVALID_DEVICE_REQUEST) << int(major);
        EXPECT_EQ(sim::CallCount("IofCompleteRequest"), completions + 1) << "completed exactly once";
    }
    EXPECT_EQ(CloseControl(nullptr, handle), STATUS_SUCCESS);
}

// Readers duplicate the folder under Lock, as the pre-cleanup callback does,
// while another thread keeps replacing it: a reader sees an old or a new
// folder, never a freed one.
TEST_F(ControlTest, FolderReplacementIsSafeAgainstReadersUnderTheLock) {
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::thread reader([&] {
        while (!stop) {
            DriverDataLock();
            PCOUNTED_STRING copy = StrDuplicate(DriverData.BackupDir, TagString);
            DriverDataUnlock();
            if (copy != nullptr) {
                std::u16string text(copy->Buffer, copy->Length / 2);
                EXPECT_TRUE(text == u"C:\\A" || text == u"D:\\BB") << "torn or freed folder";
                seen++;
                StrFree(copy, TagString);
            }
        }
    });
    // Keep replacing until the reader has made a good number of copies.
    for (int i = 0; seen.load() < 200 && i < 1000000; i++) {
        ASSERT_EQ(SetBackupDir(i % 2 ? u"C:\\A" : u"D:\\BB"), STATUS_SUCCESS);
    }
    stop = true;
    reader.join();
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
