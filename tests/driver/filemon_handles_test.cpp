// Handles that share a followed file object: duplicated into another process,
// or inherited by a child. The driver's record belongs to the file object, so
// whoever writes through such a handle marks it, and the cleanup comes with
// the last handle's close.
#include "tests/support/filemon_fixture.h"

#include "sim/ob/ob.h"
#include "sim/user/file.h"

namespace {

using vtest::FileMonTest;

class SharedHandleTest : public FileMonTest {
protected:
    // A file the watched program created, with its followed handle.
    HANDLE Created(std::u16string_view path) {
        HANDLE handle = nullptr;
        EXPECT_EQ(Open(path, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_CREATE, &handle, 0, FILE_SHARE_READ | FILE_SHARE_WRITE),
                  STATUS_SUCCESS);
        EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpCreated}));
        ClearEvents();
        return handle;
    }
};

TEST_F(SharedHandleTest, AnUnwatchedProcessWritingThroughADuplicateMarksTheHandleAndSendsNothing) {
    _EPROCESS* other = StartProcess();
    HANDLE mine = Created(u"C:\\dup.txt");
    HANDLE theirs = nullptr;
    ASSERT_EQ(sim::user::DuplicateHandle(app_, mine, other, &theirs), STATUS_SUCCESS);
    EXPECT_EQ(Write(theirs, "from the other", 0, other), STATUS_SUCCESS);
    // Closing one of two handles is no cleanup: the file object stays open.
    EXPECT_EQ(Close(theirs, other), STATUS_SUCCESS);
    EXPECT_TRUE(Operations().empty());
    EXPECT_EQ(ReadHost(HostC("dup.txt")), "from the other");
    // The watched program never wrote, yet its close is that of a written file.
    EXPECT_EQ(Close(mine), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCloseModified});

    // Without the other's write the same close sends nothing.
    ClearEvents();
    mine = Created(u"C:\\dup2.txt");
    ASSERT_EQ(sim::user::DuplicateHandle(app_, mine, other, &theirs), STATUS_SUCCESS);
    EXPECT_EQ(Close(theirs, other), STATUS_SUCCESS);
    EXPECT_EQ(Close(mine), STATUS_SUCCESS);
    EXPECT_TRUE(Operations().empty());
}

TEST_F(SharedHandleTest, TheLastHandleClosedSendsTheCleanupInItsOwnProcess) {
    // The duplicate outlives the watched program's handle: the cleanup runs in
    // the unwatched process, so no close is reported even though the file was
    // created and written by a watched program.
    _EPROCESS* other = StartProcess();
    HANDLE mine = Created(u"C:\\late.txt");
    ASSERT_EQ(Write(mine, "written"), STATUS_SUCCESS);
    HANDLE theirs = nullptr;
    ASSERT_EQ(sim::user::DuplicateHandle(app_, mine, other, &theirs, FILE_GENERIC_READ), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpWrite});
    ClearEvents();
    EXPECT_EQ(Close(mine), STATUS_SUCCESS);
    // A duplicate with less access is held to it.
    EXPECT_EQ(Write(theirs, "no", 0, other), STATUS_ACCESS_DENIED);
    char buffer[16] = {};
    ULONG read = 0;
    EXPECT_EQ(sim::user::ReadFile(other, theirs, 0, buffer, sizeof(buffer), &read), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, read), "written");
    EXPECT_EQ(Close(theirs, other), STATUS_SUCCESS);
    EXPECT_TRUE(Operations().empty());
    // The name is free for an exclusive open again: the cleanup did run.
    HANDLE again = nullptr;
    EXPECT_EQ(Open(u"C:\\late.txt", FILE_GENERIC_WRITE, FILE_OPEN, &again, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Close(again), STATUS_SUCCESS);
}

TEST_F(SharedHandleTest, AChildInheritsTheHandleUnderTheSameValue) {
    HANDLE mine = Created(u"C:\\inherited.txt");
    HANDLE kept = Created(u"C:\\kept.txt");
    ASSERT_EQ(sim::user::SetHandleInheritable(app_, mine, true), STATUS_SUCCESS);
    _EPROCESS* child = StartProcess(vtest::kAppImage, app_);
    ASSERT_EQ(sim::user::InheritHandles(app_, child), STATUS_SUCCESS);
    // Only the inheritable handle went across, under its own value.
    EXPECT_EQ(sim::ob::HandleCount(child), 1u);
    EXPECT_EQ(Write(kept, "x", 0, child), STATUS_INVALID_HANDLE);
    EXPECT_EQ(Write(mine, "from the child", 0, child), STATUS_SUCCESS);
    // The child's exit closes its copy; the parent's close reports the write.
    EndProcess(child);
    EXPECT_TRUE(Operations().empty());
    EXPECT_EQ(Close(mine), STATUS_SUCCESS);
    EXPECT_EQ(Close(kept), STATUS_SUCCESS);
    EXPECT_EQ(Operations(1), std::vector<int32_t>{FileOpCloseModified});
    EXPECT_EQ(ReadHost(HostC("inherited.txt")), "from the child");
}

}  // namespace
