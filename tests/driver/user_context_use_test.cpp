// The driver touches a client's buffers only in the client's own context: the
// port's message callback copies the command in and the answer out while
// the client's thread waits, never from a worker thread or another process.
#include "tests/support/filemon_fixture.h"

#include "sim/ke/core.h"

#include <filesystem>

namespace {

using vtest::FileMonTest;

TEST_F(FileMonTest, ClientBuffersAreTouchedOnlyInTheClientsContext) {
    // Set-up sent commands already (watch, monitors); more with buffers both ways.
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    Answer(FileOpCloseModified, VerdictBackup);
    ASSERT_EQ(CreateWriteClose(u"C:\\a.txt", "content"), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(HostC("backup/a.txt")), "content");
    ASSERT_EQ(GetSwitch(CMD_GET_FILE_MON), 1);
    EXPECT_EQ(sim::CallCount("UserBufferOutsideItsProcess"), 0u);
}

}  // namespace
