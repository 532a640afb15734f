// A watched program's work on a named stream of a file: the file monitor's
// reports name the stream, a deny keeps the stream from being made, and a
// stream's new name within its file is the rename's destination.
#include "tests/support/filemon_fixture.h"

#include "sim/fs/fs.h"
#include "sim/user/file.h"

#include <algorithm>

namespace {

namespace fs = std::filesystem;

using FileMonStreamsTest = vtest::FileMonTest;

constexpr char16_t kStream[] = u"\\Device\\HarddiskVolume1\\docs\\doc.txt:payload";

bool HasEvent(const std::vector<vtest::FileEventSeen>& events, int32_t operation, std::u16string_view name) {
    return std::any_of(events.begin(), events.end(),
                       [&](const vtest::FileEventSeen& e) { return e.operation == operation && e.name == name; });
}

TEST_F(FileMonStreamsTest, WriteAccessOpenOfAStreamIsReportedWithTheStreamAndDeniable) {
    WriteHost(HostC("docs/doc.txt"), "main");
    Answer(FileOpWriteAccess, VerdictDeny);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"C:\\docs\\doc.txt:payload", FILE_GENERIC_WRITE, FILE_OPEN_IF, &handle), STATUS_ACCESS_DENIED);
    auto events = Events(1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].operation, FileOpWriteAccess);
    EXPECT_EQ(events[0].name, kStream);
    EXPECT_EQ(events[0].processId, Pid(app_));
    // Refused before the file system: no stream was made.
    EXPECT_EQ(Open(u"C:\\docs\\doc.txt:payload", FILE_GENERIC_READ, FILE_OPEN, &handle), STATUS_OBJECT_NAME_NOT_FOUND);

    ClearEvents();
    Answer(FileOpWriteAccess, 0);
    ASSERT_EQ(Open(u"C:\\docs\\doc.txt:payload", FILE_GENERIC_WRITE, FILE_OPEN_IF, &handle), STATUS_SUCCESS);
    ULONG64 streamId = 0;
    ASSERT_EQ(sim::user::QueryFileId(app_, handle, &streamId), STATUS_SUCCESS);
    EXPECT_EQ(Write(handle, "hidden"), STATUS_SUCCESS);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    events = Events(2);
    EXPECT_TRUE(HasEvent(events, FileOpWriteAccess, kStream));
    EXPECT_TRUE(HasEvent(events, FileOpCreated, kStream));
    for (const auto& e : events) {
        if (e.operation == FileOpCreated) {
            EXPECT_EQ(e.fileId, streamId);
        }
    }
    EXPECT_EQ(ReadHost(HostC("docs/doc.txt")), "main");
    EXPECT_EQ(fs::file_size(HostC("docs/doc.txt")), 4u);
}

TEST_F(FileMonStreamsTest, StreamRenameIsReportedWithItsNewName) {
    WriteHost(HostC("docs/doc.txt"), "main");
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\docs\\doc.txt:payload", FILE_GENERIC_WRITE | DELETE, FILE_OPEN_IF, &handle, 0,
                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
              STATUS_SUCCESS);
    ClearEvents();
    Answer(FileOpRename, VerdictDeny);
    EXPECT_EQ(sim::user::SetRenameInformation(app_, handle, u":moved", false), STATUS_ACCESS_DENIED);
    auto events = Events(1);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].operation, FileOpRename);
    EXPECT_EQ(events[0].name, kStream);
    EXPECT_EQ(Close(handle), STATUS_SUCCESS);
    HANDLE again = nullptr;
    ASSERT_EQ(Open(u"C:\\docs\\doc.txt:payload", FILE_GENERIC_READ, FILE_OPEN, &again), STATUS_SUCCESS);
    EXPECT_EQ(Close(again), STATUS_SUCCESS);
}

}  // namespace
