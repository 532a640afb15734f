// Start-up and teardown: what a load builds, what a stop removes, the pool
// type by system version, the fallbacks for missing exports, and the unwinding
// of every start-up step that can fail.
#include <string>
#include <thread>

#include "driver/driver_data.h"
#include "driver/control.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "procmon/procmon.h"
#include "regmon/regmon.h"
#include "sim/cm/cm.h"
#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/rtl/settings.h"
#include "tests/support/fixture.h"

namespace {

using vtest::DriverTest;

bool HasLink() {
    void* body = nullptr;
    return NT_SUCCESS(sim::ob::LookupObject(u"\\GLOBAL??\\Vetrona", sim::ob::ObjectType::Other, &body)) ||
           !sim::io::SymbolicLinks().empty();
}

bool HasDevice() {
    for (PDEVICE_OBJECT device : sim::io::Devices()) {
        if (sim::io::DeviceName(device) == u"\\Device\\Vetrona") {
            return true;
        }
    }
    return false;
}

bool HasPort() {
    return !sim::ob::FindObjects(sim::ob::ObjectType::Port).empty();
}

class EntryTest : public DriverTest {};

TEST_F(EntryTest, LoadBuildsDeviceLinkFilterPortAndRegistrations) {
    ASSERT_TRUE(loaded());
    PDEVICE_OBJECT device = driver()->DeviceObject;
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(DriverData.ControlDevice, device);
    EXPECT_EQ(sim::io::DeviceName(device), u"\\Device\\Vetrona");
    EXPECT_EQ(device->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(device->Characteristics & FILE_DEVICE_SECURE_OPEN, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(device->DeviceExtension, nullptr);
    EXPECT_NE(device->Flags & DO_DIRECT_IO, 0u);
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);

    std::u16string target;
    ASSERT_EQ(sim::ob::QuerySymbolicLink(u"\\GLOBAL??\\Vetrona", &target), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ob::NamesEqual(target, u"\\Device\\Vetrona"));

    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        PDRIVER_DISPATCH expected = DispatchDefault;
        if (major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE) {
            expected = DispatchCreateClose;
        } else if (major == IRP_MJ_DEVICE_CONTROL) {
            expected = DispatchDeviceControl;
        }
        EXPECT_EQ(driver()->MajorFunction[major], expected) << "major function " << major;
    }
    EXPECT_EQ(driver()->DriverUnload, DriverUnload);
    EXPECT_EQ(driver()->DriverStartIo, nullptr);

    EXPECT_NE(DriverData.Filter, nullptr);
    EXPECT_EQ(sim::flt::FindFilter(driver()), reinterpret_cast<_FLT_FILTER*>(DriverData.Filter));
    EXPECT_NE(DriverData.ServerPort, nullptr);
    EXPECT_TRUE(HasPort());

    EXPECT_TRUE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotifyEx)));
    EXPECT_FALSE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotify)));
    auto callbacks = sim::cm::Callbacks();
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_EQ(callbacks[0].function, RegMonCallback);
    EXPECT_EQ(callbacks[0].altitude, u"380010");
    EXPECT_EQ(callbacks[0].cookie.QuadPart, DriverData.RegistryCookie.QuadPart);
    EXPECT_EQ(sim::CallCount("CmRegisterCallbackEx"), 1u);
    EXPECT_EQ(sim::CallCount("CmRegisterCallback"), 0u);

    EXPECT_NE(DriverData.GetKeyObjectID, nullptr);
    EXPECT_NE(DriverData.GetKeyObjectIDEx, nullptr);
    EXPECT_NE(DriverData.ReleaseKeyObjectIDEx, nullptr);

    EXPECT_EQ(DriverData.FileMonEnabled, 0);
    EXPECT_EQ(DriverData.ProcMonEnabled, 0);
    EXPECT_EQ(DriverData.Switch2, 0);
    EXPECT_EQ(DriverData.RegMonEnabled, 0);
    EXPECT_EQ(DriverData.BackupDir, nullptr);
    EXPECT_EQ(DriverData.ClientPort, nullptr);
    EXPECT_TRUE(IdListIsEmpty(&DriverData.ProcessList));
    EXPECT_TRUE(IdListIsEmpty(&DriverData.FileIdList));

    // The security descriptor built for the device went back to the pool.
    EXPECT_EQ(sim::pool::LiveByTag()[TagSecurity].count, 0u);
}

TEST_F(EntryTest, StopRemovesEverythingAndFreesTheState) {
    ASSERT_EQ(AddProcess(1234), STATUS_SUCCESS);
    ASSERT_EQ(AddProcess(5678), STATUS_SUCCESS);
    ASSERT_EQ(SetBackupDir(u"C:\\Backups"), STATUS_SUCCESS);
    ASSERT_EQ(IdListAddFileId(&DriverData.FileIdList, 0x1234), STATUS_SUCCESS);

    Stop();

    EXPECT_FALSE(HasDevice());
    EXPECT_FALSE(HasLink());
    EXPECT_FALSE(HasPort());
    EXPECT_TRUE(sim::flt::RegisteredFilters().empty());
    EXPECT_FALSE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotifyEx)));
    EXPECT_FALSE(sim::cm::IsRegistered(RegMonCallback));
    EXPECT_EQ(DriverData.BackupDir, nullptr);
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << sim::pool::Report();
}

TEST_F(EntryTest, DriverCanBeLoadedAgainAfterAStop) {
    ASSERT_EQ(AddProcess(40), STATUS_SUCCESS);
    Stop();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_FALSE(IdListHasPid(&DriverData.ProcessList, 40)) << "a new load starts with an empty watched set";
    EXPECT_TRUE(HasDevice());
    EXPECT_EQ(AddProcess(40), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// Pool type by system version.

struct VersionCase {
    ULONG major, minor;
    bool failQuery;
    POOL_TYPE expected;
};

void PrintTo(const VersionCase& c, std::ostream* out) {
    *out << c.major << "." << c.minor << (c.failQuery ? ", version query fails" : "");
}

class PoolTypeTest : public DriverTest, public ::testing::WithParamInterface<VersionCase> {
protected:
    PoolTypeTest() { loadAtSetUp_ = false; }
};

TEST_P(PoolTypeTest, ChosenOnceAtStartUp) {
    const VersionCase& c = GetParam();
    // A value left by an earlier load in this process must not carry over.
    DriverPoolType = c.expected == NonPagedPool ? NonPagedPoolNx : NonPagedPool;
    sim::SetSystemVersion(c.major, c.minor, 9600);
    if (c.failQuery) {
        sim::InjectFailure("RtlGetVersion", STATUS_INVALID_PARAMETER);
    }
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(DriverPoolType, c.expected);

    // Allocations of the driver use it.
    ASSERT_EQ(AddProcess(88), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::TypeOf(DriverData.ProcessList.Head.Flink), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Versions, PoolTypeTest,
                         ::testing::Values(VersionCase{6, 1, false, NonPagedPool}, VersionCase{6, 2, false, NonPagedPoolNx},
                                           VersionCase{6, 3, false, NonPagedPoolNx}, VersionCase{10, 0, false, NonPagedPoolNx},
                                           VersionCase{10, 0, true, NonPagedPool}, VersionCase{5, 2, false, NonPagedPool}));

// ---------------------------------------------------------------------------
// Routines older systems lack.

class FallbackTest : public DriverTest {
protected:
    FallbackTest() { loadAtSetUp_ = false; }
};

TEST_F(FallbackTest, LegacyProcessNotificationWhenTheExtendedOneIsNotExported) {
    sim::SetExportAvailable("PsSetCreateProcessNotifyRoutineEx", false);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotify)));
    EXPECT_FALSE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotifyEx)));
    Stop();
    EXPECT_FALSE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotify)));
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 0u);
}

TEST_F(FallbackTest, LegacyRegistryCallbackWhenTheExtendedOneIsNotExported) {
    sim::SetExportAvailable("CmRegisterCallbackEx", false);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(sim::CallCount("CmRegisterCallbackEx"), 0u);
    EXPECT_EQ(sim::CallCount("CmRegisterCallback"), 1u);
    auto callbacks = sim::cm::Callbacks();
    ASSERT_EQ(callbacks.size(), 1u);
    EXPECT_EQ(callbacks[0].function, RegMonCallback);
    EXPECT_EQ(callbacks[0].cookie.QuadPart, DriverData.RegistryCookie.QuadPart) << "the cookie lands in the same field";
    Stop();
    EXPECT_FALSE(sim::cm::IsRegistered(RegMonCallback));
}

TEST_F(FallbackTest, MissingKeyObjectRoutinesLeaveTheirFieldsEmpty) {
    sim::SetExportAvailable("CmCallbackGetKeyObjectIDEx", false);
    sim::SetExportAvailable("CmCallbackReleaseKeyObjectIDEx", false);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_NE(DriverData.GetKeyObjectID, nullptr);
    EXPECT_EQ(DriverData.GetKeyObjectIDEx, nullptr);
    EXPECT_EQ(DriverData.ReleaseKeyObjectIDEx, nullptr);
    EXPECT_EQ(DriverResolveRoutine(VETRONA_WIDE("CmCallbackGetKeyObjectIDEx")), nullptr);
    EXPECT_EQ(DriverResolveRoutine(VETRONA_WIDE("NoSuchRoutineAnywhere")), nullptr);
}

// A client may connect and switch monitoring on while DriverEntry still runs
// (the port exists before the notifications are registered): start-up ends
// with file and process monitoring off all the same.
TEST_F(FallbackTest, StartUpEndsWithFileAndProcessMonitoringOff) {
    Client();
    bool switchedOn = false;
    sim::OnNextCall("PsSetCreateProcessNotifyRoutineEx", [&] {
        std::thread client([&] {
            ASSERT_EQ(Connect(), vtest::S_OK);
            SetFileMon(true);
            SetProcMon(true);
        });
        client.join();
        switchedOn = DriverData.FileMonEnabled == 1 && DriverData.ProcMonEnabled == 1;
    });
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_TRUE(switchedOn) << "the client switched both on during start-up";
    EXPECT_EQ(GetSwitch(CMD_GET_FILE_MON), 0);
    EXPECT_EQ(GetSwitch(CMD_GET_PROC_MON), 0);
}


TEST_F(FallbackTest, FailedNotificationRegistrationsDoNotStopTheLoad) {
    // An image without the integrity flag is refused the extended notification.
    sim::SetDriverImageForceIntegrity(false);
    sim::InjectFailure("CmRegisterCallbackEx", STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 0u);
    EXPECT_FALSE(sim::cm::IsRegistered(RegMonCallback));
    // The unload removes both all the same and ignores the failures.
    Stop();
    EXPECT_FALSE(HasDevice());
}

// ---------------------------------------------------------------------------
// Start-up failures: the failing status reaches the loader and nothing is
// left behind.

struct FailureCase {
    const char* routine;
    NTSTATUS status;
};

// How test listings show a case.
void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.routine << " fails with 0x" << std::hex << static_cast<uint32_t>(c.status);
}

class StartupFailureTest : public DriverTest, public ::testing::WithParamInterface<FailureCase> {
protected:
    StartupFailureTest() { loadAtSetUp_ = false; }
};

TEST_P(StartupFailureTest, UnwindsEverythingBefore) {
    const FailureCase& c = GetParam();
    sim::InjectFailure(c.routine, c.status);
    EXPECT_EQ(Load(), c.status);
    EXPECT_FALSE(loaded());
    EXPECT_FALSE(HasDevice());
    EXPECT_FALSE(HasLink());
    EXPECT_FALSE(HasPort());
    EXPECT_TRUE(sim::flt::RegisteredFilters().empty());
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 0u);
    EXPECT_TRUE(sim::cm::Callbacks().empty());
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << sim::pool::Report();

    // The failure was transient: the next load succeeds.
    EXPECT_EQ(Load(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Steps, StartupFailureTest,
                         ::testing::Values(FailureCase{"IoCreateDevice", STATUS_OBJECT_NAME_COLLISION},
                                           FailureCase{"ObSetSecurityObjectByPointer", STATUS_INSUFFICIENT_RESOURCES},
                                           FailureCase{"IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION},
                                           FailureCase{"FltRegisterFilter", STATUS_INSUFFICIENT_RESOURCES},
                                           FailureCase{"FltCreateCommunicationPort", STATUS_OBJECT_NAME_COLLISION},
                                           FailureCase{"FltStartFiltering", STATUS_INSUFFICIENT_RESOURCES}),
                         [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.routine); });

TEST_F(StartupFailureTest, SecurityDescriptorAllocationFailureFailsTheLoad) {
    sim::pool::FailTag(TagSecurity);
    EXPECT_EQ(Load(), STATUS_NO_MEMORY);
    EXPECT_FALSE(HasDevice());
    EXPECT_EQ(sim::pool::LiveBlocks(), 0u);
}

}  // namespace
