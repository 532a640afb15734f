// The gates every monitor asks before reporting: is the class switched on, and
// is the requester someone other than the connected client. Exercised through
// a real connection of the simulated port.
#include "driver/driver_data.h"
#include "tests/support/fixture.h"

namespace {

using vtest::DriverTest;

class GatesTest : public DriverTest {
protected:
    // A thread of the process, as the requesting thread of an operation.
    static bool FileGate(_EPROCESS* process, PFILE_OBJECT fileObject) {
        sim::ThreadScope scope(process);
        return FilterIsWatchedRequest(scope.thread(), fileObject) != FALSE;
    }
    static HANDLE Id(_EPROCESS* process) { return reinterpret_cast<HANDLE>(process->pid); }

    FILE_OBJECT file_ = {};
};

TEST_F(GatesTest, EverythingIsClosedAfterStartUp) {
    _EPROCESS* app = StartProcess();
    EXPECT_FALSE(FileGate(app, &file_));
    EXPECT_FALSE(ProcMonIsWanted(Id(app)));
    EXPECT_FALSE(RegMonIsWanted(Id(app)));
}

TEST_F(GatesTest, ConnectedClientIsNeverReported) {
    _EPROCESS* app = StartProcess();
    ASSERT_EQ(Connect(), vtest::S_OK);
    SetFileMon(true);
    SetProcMon(true);
    SetRegMon(true);

    EXPECT_TRUE(FileGate(app, &file_));
    EXPECT_TRUE(ProcMonIsWanted(Id(app)));
    EXPECT_TRUE(RegMonIsWanted(Id(app)));

    EXPECT_FALSE(FileGate(Client(), &file_));
    EXPECT_FALSE(ProcMonIsWanted(Id(Client())));
    EXPECT_FALSE(RegMonIsWanted(Id(Client())));

    // Another thread of the client's process is still the client.
    _EPROCESS* child = StartProcess(vtest::kAppImage, Client());
    EXPECT_TRUE(FileGate(child, &file_)) << "a child of the client is someone else";

    EXPECT_FALSE(FileGate(app, nullptr)) << "no file object";
}

TEST_F(GatesTest, EachSwitchOpensOnlyItsOwnGate) {
    _EPROCESS* app = StartProcess();
    ASSERT_EQ(Connect(), vtest::S_OK);

    SetProcMon(true);
    EXPECT_TRUE(ProcMonIsWanted(Id(app)));
    EXPECT_FALSE(RegMonIsWanted(Id(app)));
    EXPECT_FALSE(FileGate(app, &file_));

    SetProcMon(false);
    SetRegMon(true);
    EXPECT_FALSE(ProcMonIsWanted(Id(app)));
    EXPECT_TRUE(RegMonIsWanted(Id(app)));
    EXPECT_FALSE(FileGate(app, &file_));

    // Any non-zero byte counts as on; the switch keeps the raw value.
    ASSERT_EQ(SetSwitch(CMD_SET_FILE_MON, 0x80), vtest::S_OK);
    EXPECT_TRUE(FileGate(app, &file_));
    EXPECT_EQ(GetSwitch(CMD_GET_FILE_MON), 0x80);
}

TEST_F(GatesTest, ClosedFileGateDoesNotLookUpTheRequester) {
    _EPROCESS* app = StartProcess();
    uint64_t lookups = sim::CallCount("IoThreadToProcess");
    EXPECT_FALSE(FileGate(app, &file_));
    EXPECT_EQ(sim::CallCount("IoThreadToProcess"), lookups);

    ASSERT_EQ(Connect(), vtest::S_OK);
    SetFileMon(true);
    EXPECT_TRUE(FileGate(app, &file_));
    EXPECT_GT(sim::CallCount("IoThreadToProcess"), lookups);
}

TEST_F(GatesTest, AfterDisconnectTheFormerClientIsReportedAndSwitchesSurvive) {
    _EPROCESS* app = StartProcess();
    ASSERT_EQ(Connect(), vtest::S_OK);
    SetFileMon(true);
    SetProcMon(true);
    SetRegMon(true);
    _EPROCESS* formerClient = Client();
    Disconnect();

    EXPECT_EQ(DriverData.ClientPort, nullptr);
    DriverDataLock();
    EXPECT_FALSE(IsClientProcess(formerClient));
    EXPECT_FALSE(IsClientProcessId(Id(formerClient)));
    DriverDataUnlock();

    // With no client every requester passes once the class is on.
    EXPECT_TRUE(FileGate(formerClient, &file_));
    EXPECT_TRUE(ProcMonIsWanted(Id(formerClient)));
    EXPECT_TRUE(RegMonIsWanted(Id(formerClient)));
    EXPECT_TRUE(FileGate(app, &file_));

    // A new client (another admin process) is excluded in turn.
    _EPROCESS* second = StartProcess(vtest::kClientImage, nullptr, true);
    ASSERT_EQ(Connect(second), vtest::S_OK);
    EXPECT_FALSE(FileGate(second, &file_));
    EXPECT_FALSE(RegMonIsWanted(Id(second)));
    EXPECT_TRUE(FileGate(formerClient, &file_));
}

TEST_F(GatesTest, GatesWorkAtApcLevel) {
    _EPROCESS* app = StartProcess();
    ASSERT_EQ(Connect(), vtest::S_OK);
    SetRegMon(true);
    KIRQL old = sim::RaiseIrql(APC_LEVEL);
    BOOLEAN wanted = RegMonIsWanted(Id(app));
    sim::LowerIrql(old);
    EXPECT_TRUE(wanted);
}

}  // namespace
