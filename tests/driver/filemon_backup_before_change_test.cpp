// The copy a backup verdict asks for before a watched program changes a file
// that was there before it: at an open for writing (before truncation or the
// first write), at a deletion, and at a rename over another file. The limit
// the client sets, the names taken, and what a client that never answers with
// the backup verdict sees (nothing new).
#include "tests/support/filemon_fixture.h"

#include "driver/driver_data.h"
#include "sim/ke/core.h"
#include "sim/fs/fs.h"
#include "sim/ob/ob.h"
#include "sim/user/file.h"
#include "tests/support/strings.h"

#include <cstring>

namespace {

using vtest::FileMonTest;

class BackupBeforeChangeTest : public FileMonTest {
protected:
    void SetUp() override {
        FileMonTest::SetUp();
        ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
        std::filesystem::create_directories(HostC("backup"));
        std::filesystem::create_directories(HostC("docs"));
        WriteHost(HostC("docs/report.docx"), "the original report");
        SetLimit(1024 * 1024);
    }

    void SetLimit(uint64_t bytes) {
        uint8_t command[PORT_LIMIT_SET_SIZE] = {};
        const ULONG code = CMD_SET_BACKUP_LIMIT;
        std::memcpy(command + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
        std::memcpy(command + PORT_COMMAND_VALUE_OFFSET, &bytes, sizeof(bytes));
        ASSERT_EQ(PortCommand(command, sizeof(command), nullptr, 0), sim::user::S_OK);
    }

    size_t Copies() {
        size_t files = 0;
        for (const auto& entry : std::filesystem::directory_iterator(HostC("backup"))) {
            (void)entry;
            ++files;
        }
        return files;
    }

    // Opens the report for writing with `disposition`, writes, closes.
    NTSTATUS Overwrite(ULONG disposition, ULONG share = FILE_SHARE_READ) {
        HANDLE handle = nullptr;
        // A supersede replaces the file, which takes DELETE access.
        const ACCESS_MASK access = FILE_GENERIC_READ | FILE_GENERIC_WRITE | (disposition == FILE_SUPERSEDE ? DELETE : 0);
        NTSTATUS status = Open(u"C:\\docs\\report.docx", access, disposition, &handle, 0, share);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = Write(handle, "ENCRYPTED!");
        Close(handle);
        return status;
    }
};

// Each disposition that keeps or truncates the file gets the copy before the
// open goes on; the handle is then followed as for an allowed open.
TEST_F(BackupBeforeChangeTest, AnOpenForWritingIsCopiedBeforeItGoesOn) {
    for (const ULONG disposition : {FILE_OPEN, FILE_OPEN_IF, FILE_OVERWRITE, FILE_OVERWRITE_IF, FILE_SUPERSEDE}) {
        SCOPED_TRACE(disposition);
        std::filesystem::remove_all(HostC("backup"));
        std::filesystem::create_directories(HostC("backup"));
        WriteHost(HostC("docs/report.docx"), "the original report");
        ClearEvents();
        Answer(FileOpWriteAccess, VerdictBackup);
        ASSERT_EQ(Overwrite(disposition), STATUS_SUCCESS);
        EXPECT_EQ(ReadHost(HostC("backup/report.docx")), "the original report");
        EXPECT_EQ(Copies(), 1u);
        EXPECT_EQ(Operations(2), (std::vector<int32_t>{FileOpWriteAccess, FileOpWrite}));
        EXPECT_NE(ReadHost(HostC("docs/report.docx")), "the original report");
    }
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 0u);
}

// A client that never answers with the backup verdict sees exactly what it
// saw before: no copy, the same events, the same handles followed.
TEST_F(BackupBeforeChangeTest, OtherVerdictsMakeNoCopy) {
    for (const int32_t verdict : {0, 2, VerdictNone}) {
        SCOPED_TRACE(verdict);
        ClearEvents();
        Answer(FileOpWriteAccess, verdict);
        ASSERT_EQ(Overwrite(FILE_OVERWRITE_IF), STATUS_SUCCESS);
        EXPECT_EQ(Copies(), 0u);
    }
}

// The limit: 0 copies nothing, a file past it is not copied (and the debugger
// says why), a file of exactly the limit is.
TEST_F(BackupBeforeChangeTest, TheLimitDecides) {
    Answer(FileOpWriteAccess, VerdictBackup);
    SetLimit(0);
    ASSERT_EQ(Overwrite(FILE_OPEN), STATUS_SUCCESS);
    EXPECT_EQ(Copies(), 0u);

    WriteHost(HostC("docs/report.docx"), "the original report");  // 19 bytes
    SetLimit(18);
    sim::ClearDebugOutput();
    ASSERT_EQ(Overwrite(FILE_OPEN), STATUS_SUCCESS);
    EXPECT_EQ(Copies(), 0u);
    const std::vector<std::string> lines = sim::DebugOutput();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("[FileMonCopyFileWithLock] Status: 0xc0000904"), std::string::npos) << lines[0];

    WriteHost(HostC("docs/report.docx"), "the original report");
    SetLimit(19);
    ASSERT_EQ(Overwrite(FILE_OPEN), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/report.docx")), "the original report");
}

// A new file has nothing to keep; a create never touches an existing one.
TEST_F(BackupBeforeChangeTest, NothingToKeepForANewFile) {
    Answer(FileOpWriteAccess, VerdictBackup);
    sim::ClearDebugOutput();
    ASSERT_EQ(CreateWriteClose(u"C:\\docs\\new.docx", "fresh"), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\docs\\other.docx", FILE_GENERIC_WRITE, FILE_OPEN_IF, &handle), STATUS_SUCCESS);
    Close(handle);
    EXPECT_EQ(Copies(), 0u);
    EXPECT_TRUE(sim::DebugOutput().empty()) << "a file that is not there is not a failed copy";
}

// Deletion by disposition and by delete-on-close: the file about to go is
// copied first; the deletion goes on.
TEST_F(BackupBeforeChangeTest, ADeletionIsCopiedFirst) {
    Answer(FileOpDelete, VerdictBackup);
    HANDLE handle = nullptr;
    // The program holds the file without sharing: the copy ignores it.
    ASSERT_EQ(Open(u"C:\\docs\\report.docx", FILE_GENERIC_READ | DELETE, FILE_OPEN, &handle, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::SetDisposition(app_, handle, true), STATUS_SUCCESS);
    ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("docs/report.docx")));
    EXPECT_EQ(ReadHost(HostC("backup/report.docx")), "the original report");

    WriteHost(HostC("docs/notes.txt"), "notes");
    ASSERT_EQ(Open(u"C:\\docs\\notes.txt", FILE_GENERIC_READ | DELETE, FILE_OPEN, &handle, FILE_DELETE_ON_CLOSE), STATUS_SUCCESS);
    ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_FALSE(std::filesystem::exists(HostC("docs/notes.txt")));
    EXPECT_EQ(ReadHost(HostC("backup/notes.txt")), "notes");
}

// A rename over an existing file: the file it replaces is the one copied.
// Without replacing, or onto a free name, nothing is.
TEST_F(BackupBeforeChangeTest, ARenameOverAFileCopiesTheFileItReplaces) {
    Answer(FileOpRename, VerdictBackup);
    WriteHost(HostC("docs/report.docx.locked"), "ENCRYPTED!");
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"C:\\docs\\report.docx.locked", DELETE | SYNCHRONIZE, FILE_OPEN, &handle), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::SetRenameInformation(app_, handle, u"\\??\\C:\\docs\\report.docx", true), STATUS_SUCCESS);
    ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("docs/report.docx")), "ENCRYPTED!");
    EXPECT_EQ(ReadHost(HostC("backup/report.docx")), "the original report");
    EXPECT_EQ(Copies(), 1u);

    WriteHost(HostC("docs/a.txt"), "a");
    ASSERT_EQ(Open(u"C:\\docs\\a.txt", DELETE | SYNCHRONIZE, FILE_OPEN, &handle), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::SetRenameInformation(app_, handle, u"\\??\\C:\\docs\\b.txt", true), STATUS_SUCCESS);
    ASSERT_EQ(Close(handle), STATUS_SUCCESS);
    EXPECT_EQ(Copies(), 1u) << "a rename onto a free name replaces nothing";
}

// The size probe failing (its open, or its query) makes no copy, writes the
// copy's status line and lets the open go on; nothing is left open.
TEST_F(BackupBeforeChangeTest, AFailedSizeProbeMakesNoCopyAndTheOpenGoesOn) {
    Answer(FileOpWriteAccess, VerdictBackup);
    for (const sim::fs::FaultOp op : {sim::fs::FaultOp::Create, sim::fs::FaultOp::QueryInformation}) {
        SCOPED_TRACE(static_cast<int>(op));
        WriteHost(HostC("docs/report.docx"), "the original report");
        sim::fs::Fault fault;
        fault.op = op;
        fault.path = u"C:\\docs\\report.docx";
        fault.status = STATUS_ACCESS_DENIED;
        sim::fs::InjectFault(fault);
        sim::ClearDebugOutput();
        ASSERT_EQ(Overwrite(FILE_OVERWRITE), STATUS_SUCCESS);
        EXPECT_EQ(Copies(), 0u);
        EXPECT_EQ(ReadHost(HostC("docs/report.docx")), "ENCRYPTED!");
        const std::vector<std::string> lines = sim::DebugOutput();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("[FileMonCopyFileWithLock] Status: 0xc0000022"), std::string::npos) << lines[0];
        EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 0u);
    }
}

// All 21 names taken: no copy, and the open still goes on.
TEST_F(BackupBeforeChangeTest, AllNamesTakenMeansNoCopyAndTheOpenGoesOn) {
    for (int i = 0; i < 21; ++i) {
        WriteHost(HostC("backup/report.docx" + (i == 0 ? std::string() : "_" + std::to_string(i))), "older");
    }
    Answer(FileOpWriteAccess, VerdictBackup);
    ASSERT_EQ(Overwrite(FILE_OVERWRITE), STATUS_SUCCESS);
    EXPECT_EQ(Copies(), 21u);
    EXPECT_EQ(ReadHost(HostC("docs/report.docx")), "ENCRYPTED!");
}

}  // namespace
