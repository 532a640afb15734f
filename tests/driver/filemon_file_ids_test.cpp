// File ids in the file monitor: an event carries the file's whole 64-bit id,
// and a file that took a deleted file's record (same record number, the next
// sequence number in the high bits) is not mistaken for the file that had it.
#include "tests/support/filemon_fixture.h"

#include "sim/user/device.h"
#include "sim/user/file.h"

#include <algorithm>

namespace {

using vtest::FileMonTest;

constexpr uint64_t kRecord = (uint64_t{1} << 48) - 1;

uint64_t IdThrough(_EPROCESS* process, HANDLE handle) {
    ULONG64 id = 0;
    EXPECT_EQ(sim::user::QueryFileId(process, handle, &id), STATUS_SUCCESS);
    return id;
}

TEST_F(FileMonTest, AnEventCarriesTheFilesWholeId) {
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\ids.txt", FILE_WRITE_DATA, FILE_CREATE, &h), STATUS_SUCCESS);
    const uint64_t id = IdThrough(app_, h);
    ASSERT_EQ(Close(h), STATUS_SUCCESS);
    ASSERT_GT(id >> 32, 0u) << "the sequence number lies in the high 16 bits";
    const auto events = Events(1);
    auto created = std::find_if(events.begin(), events.end(), [](const vtest::FileEventSeen& e) {
        return e.operation == FileOpCreated;
    });
    ASSERT_NE(created, events.end());
    EXPECT_EQ(created->fileId, id);
}

TEST_F(FileMonTest, AFileInTheRecordOfADeletedCreatedFileIsNotTakenForIt) {
    // The watched program makes a file: its id is remembered as one it created.
    ASSERT_EQ(CreateWriteClose(u"C:\\first.txt", "one"), STATUS_SUCCESS);
    // Its close is reported as the close of a file it made and changed.
    const std::vector<int32_t> made = Operations(3);
    ASSERT_EQ(std::count(made.begin(), made.end(), FileOpCloseModified), 1);
    // Someone else deletes it, and makes another file, which gets its record.
    _EPROCESS* other = StartProcess();
    HANDLE h = nullptr;
    ASSERT_EQ(Open(u"C:\\first.txt", DELETE, FILE_OPEN, &h, 0, 0, other), STATUS_SUCCESS);
    const uint64_t first = IdThrough(other, h);
    ASSERT_EQ(sim::user::SetDisposition(other, h, true), STATUS_SUCCESS);
    ASSERT_EQ(Close(h, other), STATUS_SUCCESS);
    ASSERT_EQ(Open(u"C:\\second.txt", FILE_WRITE_DATA, FILE_CREATE, &h, 0, FILE_SHARE_READ, other), STATUS_SUCCESS);
    const uint64_t second = IdThrough(other, h);
    ASSERT_EQ(Close(h, other), STATUS_SUCCESS);
    ASSERT_EQ(second & kRecord, first & kRecord) << "the record is reused";
    ASSERT_NE(second, first);
    ClearEvents();
    // The watched program changes that other file: a change of a file it did
    // not create, so no close of a modified file of its own is reported.
    ASSERT_EQ(Open(u"C:\\second.txt", FILE_WRITE_DATA, FILE_OPEN, &h), STATUS_SUCCESS);
    ASSERT_EQ(Write(h, "changed"), STATUS_SUCCESS);
    ASSERT_EQ(Close(h), STATUS_SUCCESS);
    const std::vector<int32_t> operations = Operations(2);
    EXPECT_EQ(std::count(operations.begin(), operations.end(), FileOpCloseModified), 0);
    EXPECT_EQ(operations, (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite}));
}

}  // namespace
