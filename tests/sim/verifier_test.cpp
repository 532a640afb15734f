// The verifier-grade checks of the simulated kernel: each one stops the run
// (or reports at unload) with a named report when driver code breaks the rule
// it guards, and lets correct code through.
#include "tests/support/filemon_fixture.h"
#include "tests/support/fixture.h"

#include "driver/control.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "sim/flt/flt.h"
#include "sim/flt/io.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/user/process.h"

#include <cstring>

namespace {

using vtest::DriverTest;
using vtest::SimTest;

// A fast mutex in non-paged memory (static storage), the kind a driver keeps.
FAST_MUTEX gStrayMutex;

void TakeStrayMutex() {
    ExInitializeFastMutex(&gStrayMutex);
    ExAcquireFastMutex(&gStrayMutex);
}

class VerifierTest : public SimTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        SimTest::SetUp();
    }
};

class VerifierDriverTest : public DriverTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        DriverTest::SetUp();
    }
};

class VerifierFileTest : public vtest::FileMonTest {
protected:
    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        vtest::FileMonTest::SetUp();
    }
};

// --- structured exceptions ---------------------------------------------------

constexpr NTSTATUS kIntegerDivideByZero = static_cast<NTSTATUS>(0xC0000094);

VOID RaiseAccessViolation(PVOID) { sim::RaiseStatus(STATUS_ACCESS_VIOLATION); }

VOID NestedGuard(PVOID context) {
    *static_cast<NTSTATUS*>(context) = PlatformCallGuarded(RaiseAccessViolation, nullptr);
    sim::RaiseStatus(kIntegerDivideByZero);
}

TEST_F(VerifierTest, ARaiseEndsAtTheInnermostGuardOrStopsTheRun) {
    EXPECT_EQ(PlatformCallGuarded([](PVOID) {}, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(PlatformCallGuarded(RaiseAccessViolation, nullptr), STATUS_ACCESS_VIOLATION);
    NTSTATUS inner = STATUS_SUCCESS;
    EXPECT_EQ(PlatformCallGuarded(NestedGuard, &inner), kIntegerDivideByZero);
    EXPECT_EQ(inner, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(sim::GuardDepth(), 0);

    EXPECT_DEATH(sim::RaiseStatus(STATUS_ACCESS_VIOLATION), "KMODE_EXCEPTION_NOT_HANDLED.*0xC0000005");
    // An injected raise comes out of the routine's injection point.
    sim::InjectRaise("ExAllocatePoolWithTag", STATUS_ACCESS_VIOLATION);
    EXPECT_DEATH(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 'tseT'), "KMODE_EXCEPTION_NOT_HANDLED");
}

// --- callbacks that return at a raised IRQL or holding a fast mutex ------------

NTSTATUS NTAPI DispatchKeepingAMutex(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    TakeStrayMutex();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchAtDispatchLevel(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    sim::RaiseIrql(DISPATCH_LEVEL);
    return STATUS_SUCCESS;
}

TEST_F(VerifierDriverTest, ADispatchRoutineMustReturnAsItWasCalled) {
    checkPoolAtTearDown_ = false;
    EXPECT_EQ(AddProcess(10), STATUS_SUCCESS) << "the driver's own routines pass";
    driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchKeepingAMutex;
    EXPECT_DEATH(AddProcess(11), "APC_INDEX_MISMATCH.*dispatch routine returned holding 1 fast mutex");
    driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchAtDispatchLevel;
    EXPECT_DEATH(AddProcess(12), "IRQL_UNEXPECTED_VALUE.*dispatch routine returned at IRQL 2 \\(called at 0\\)");
    driver()->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
}

VOID NTAPI NotifyKeepingAMutex(HANDLE, HANDLE, BOOLEAN) { TakeStrayMutex(); }
VOID NTAPI NotifyAtApcLevel(HANDLE, HANDLE, BOOLEAN) { sim::RaiseIrql(APC_LEVEL); }

TEST_F(VerifierTest, AProcessNotifyRoutineMustReturnAsItWasCalled) {
    EXPECT_DEATH(
        {
            PsSetCreateProcessNotifyRoutine(NotifyKeepingAMutex, FALSE);
            sim::user::StartProcess(nullptr, vtest::kAppImage);
        },
        "APC_INDEX_MISMATCH.*process notify routine");
    EXPECT_DEATH(
        {
            PsSetCreateProcessNotifyRoutine(NotifyAtApcLevel, FALSE);
            sim::user::StartProcess(nullptr, vtest::kAppImage);
        },
        "IRQL_UNEXPECTED_VALUE.*process notify routine");
}

NTSTATUS FLTAPI ConnectKeepingAMutex(PFLT_PORT, PVOID, PVOID, ULONG, PVOID*) {
    TakeStrayMutex();
    return STATUS_SUCCESS;
}
NTSTATUS FLTAPI MessageAtApcLevel(PVOID, PVOID, ULONG, PVOID, ULONG, PULONG Returned) {
    *Returned = 0;
    sim::RaiseIrql(APC_LEVEL);
    return STATUS_SUCCESS;
}
VOID FLTAPI DisconnectKeepingAMutex(PVOID) { TakeStrayMutex(); }

TEST_F(VerifierDriverTest, PortCallbacksMustReturnAsTheyWereCalled) {
    checkPoolAtTearDown_ = false;
    auto* server = reinterpret_cast<_FLT_PORT*>(DriverData.ServerPort);
    ASSERT_NE(server, nullptr);
    const PFLT_CONNECT_NOTIFY connect = server->connectNotify;
    server->connectNotify = ConnectKeepingAMutex;
    EXPECT_DEATH(Connect(), "APC_INDEX_MISMATCH.*port connect callback");
    server->connectNotify = connect;

    ASSERT_EQ(Connect(), vtest::S_OK);
    const PFLT_MESSAGE_NOTIFY message = server->messageNotify;
    server->messageNotify = MessageAtApcLevel;
    EXPECT_DEATH(GetSwitch(CMD_GET_FILE_MON), "IRQL_UNEXPECTED_VALUE.*port message callback");
    server->messageNotify = message;

    const PFLT_DISCONNECT_NOTIFY disconnect = server->disconnectNotify;
    server->disconnectNotify = DisconnectKeepingAMutex;
    EXPECT_DEATH(Disconnect(), "APC_INDEX_MISMATCH.*port disconnect callback");
    server->disconnectNotify = disconnect;
}

// The driver's own operation callbacks, made to leave a mutex held by a
// routine they call.
TEST_F(VerifierFileTest, OperationCallbacksMustReturnAsTheyWereCalled) {
    checkPoolAtTearDown_ = false;
    EXPECT_DEATH(
        {
            sim::OnNextCall("FltGetFileNameInformation", TakeStrayMutex);
            CreateWriteClose(u"\\??\\C:\\pre.txt", "x");
        },
        "APC_INDEX_MISMATCH.*pre-operation callback");
    EXPECT_DEATH(
        {
            sim::OnNextCall("FltAllocateContext", TakeStrayMutex);
            CreateWriteClose(u"\\??\\C:\\post.txt", "x");
        },
        "APC_INDEX_MISMATCH.*post-operation callback");
    // Untouched, the same flow passes every check.
    EXPECT_EQ(CreateWriteClose(u"\\??\\C:\\clean.txt", "x"), STATUS_SUCCESS);
}

// --- pool ------------------------------------------------------------------

TEST_F(VerifierTest, AWriteIntoFreedPoolStopsTheRun) {
    EXPECT_DEATH(
        {
            auto* block = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'tseT'));
            ExFreePoolWithTag(const_cast<UCHAR*>(block), 'tseT');
            block[5] = 0x41;
            sim::pool::CheckQuarantine();
        },
        // AddressSanitizer sees the store itself: the freed block is poisoned.
        "PAGE_FAULT_IN_FREED_SPECIAL_POOL.*written after it was freed, at byte 5|use-after-poison");
    // Past the first whole runs of the check, and in the tail behind them.
    for (size_t at : {size_t{77}, size_t{4098}}) {
        EXPECT_DEATH(
            {
                auto* block = static_cast<volatile UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 4099, 'tseT'));
                ExFreePoolWithTag(const_cast<UCHAR*>(block), 'tseT');
                block[at] = 0x41;
                sim::pool::CheckQuarantine();
            },
            "PAGE_FAULT_IN_FREED_SPECIAL_POOL.*written after it was freed, at byte " + std::to_string(at) +
                "|use-after-poison");
    }
    // Untouched freed blocks pass the same check.
    void* clean = ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'tseT');
    ExFreePoolWithTag(clean, 'tseT');
    sim::pool::CheckQuarantine();
}

TEST_F(VerifierTest, AWritePastABlocksEndStopsTheRunAtTheFree) {
    EXPECT_DEATH(
        {
            auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'tseT'));
            block[10] = 0;  // one past the end
            ExFreePoolWithTag(block, 'tseT');
        },
        "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION.*10 bytes, tag \"Test\"\\), 1 byte\\(s\\) beyond it");
    auto* exact = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'tseT'));
    std::memset(exact, 0x5A, 10);
    ExFreePoolWithTag(exact, 'tseT');
}

TEST_F(VerifierDriverTest, FilterManagerRecordsAreNotFreedWithExFreePool) {
    PFLT_FILE_NAME_INFORMATION name = sim::flt::NewFileNameInformation(u"\\Device\\HarddiskVolume1\\a.txt", 0);
    ASSERT_NE(name, nullptr);
    EXPECT_DEATH(ExFreePool(name), "DRIVER_VERIFIER_DETECTED_VIOLATION.*file name record.*FltReleaseFileNameInformation");
    EXPECT_DEATH(ExFreePoolWithTag(name, 0), "DRIVER_VERIFIER_DETECTED_VIOLATION.*file name record");
    FltReleaseFileNameInformation(name);

    PFLT_CONTEXT context = nullptr;
    ASSERT_EQ(FltAllocateContext(DriverData.Filter, FLT_STREAMHANDLE_CONTEXT, sizeof(HandleTrack), NonPagedPoolNx, &context),
              STATUS_SUCCESS);
    // Empty, as the driver's cleanup callback expects a record it filled.
    std::memset(context, 0, sizeof(HandleTrack));
    EXPECT_DEATH(ExFreePoolWithTag(context, TagHandleTrack), "DRIVER_VERIFIER_DETECTED_VIOLATION.*context.*FltReleaseContext");
    FltReleaseContext(context);
}

// --- leaks reported at unload ----------------------------------------------------

PDEVICE_OBJECT gLeakDevice = nullptr;
PIO_WORKITEM gLeakedItem = nullptr;
PEPROCESS gLeakedProcess = nullptr;
bool gLeakWorkItem = false;
bool gLeakReference = false;

VOID NTAPI LeakyUnload(PDRIVER_OBJECT driver) {
    if (!gLeakWorkItem && gLeakedItem != nullptr) {
        IoFreeWorkItem(gLeakedItem);
    }
    if (!gLeakReference && gLeakedProcess != nullptr) {
        ObDereferenceObject(gLeakedProcess);
    }
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI LeakyEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &gLeakDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    gLeakedItem = IoAllocateWorkItem(gLeakDevice);
    (void)PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(uintptr_t{4}), &gLeakedProcess);
    driver->DriverUnload = LeakyUnload;
    return STATUS_SUCCESS;
}

class LeakReportTest : public VerifierTest {
protected:
    void SetUp() override {
        VerifierTest::SetUp();
        sim::SetLeftoverReportsAreFatal(false);
        gLeakedItem = nullptr;
        gLeakedProcess = nullptr;
    }
    void TearDown() override {
        sim::SetLeftoverReportsAreFatal(true);
        VerifierTest::TearDown();
    }

    std::string UnloadReport(bool leakWorkItem, bool leakReference) {
        gLeakWorkItem = leakWorkItem;
        gLeakReference = leakReference;
        PDRIVER_OBJECT driver = nullptr;
        EXPECT_EQ(sim::LoadDriver(LeakyEntry, u"leaky", &driver), STATUS_SUCCESS);
        EXPECT_NE(gLeakedItem, nullptr);
        EXPECT_NE(gLeakedProcess, nullptr);
        EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
        std::string text;
        for (const std::string& line : sim::LastLeftoverReport()) {
            text += line + "\n";
        }
        return text;
    }
};

TEST_F(LeakReportTest, ALeakedWorkItemOrObjectReferenceIsReportedAtUnload) {
    EXPECT_EQ(UnloadReport(false, false), "");

    EXPECT_EQ(UnloadReport(true, false), "1 work item(s) allocated and never freed (IoFreeWorkItem)\n");
    // What the unload left behind, given back so the next test starts clean.
    IoFreeWorkItem(gLeakedItem);

    EXPECT_EQ(UnloadReport(false, true), "1 object reference(s) taken and never dropped (ObDereferenceObject)\n");
    ObDereferenceObject(gLeakedProcess);
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);
    EXPECT_EQ(sim::ob::CallerReferences(), 0);
}

TEST_F(LeakReportTest, LeftoversAreFatalByDefault) {
    sim::SetLeftoverReportsAreFatal(true);
    EXPECT_DEATH(UnloadReport(true, false), "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS.*work item");
}

// --- handles -----------------------------------------------------------------------

TEST_F(VerifierTest, KernelCodeMayNotUseAUserHandle) {
    _EPROCESS* app = sim::user::StartProcess(nullptr, vtest::kAppImage);
    HANDLE user = nullptr;
    {
        sim::ThreadScope scope(app);
        ASSERT_EQ(ObOpenObjectByPointer(app, 0, nullptr, 0, nullptr, KernelMode, &user), STATUS_SUCCESS);
        ASSERT_FALSE(sim::ob::IsKernelHandle(user));
    }
    // From the System process's context, where the value names nothing (or
    // something else): closing it would close a stranger's handle.
    EXPECT_DEATH(ZwClose(user), "DRIVER_VERIFIER_DETECTED_VIOLATION.*ZwClose: user-mode handle");
    EXPECT_DEATH(
        {
            PVOID object = nullptr;
            ObReferenceObjectByHandle(user, 0, nullptr, KernelMode, &object, nullptr);
        },
        "DRIVER_VERIFIER_DETECTED_VIOLATION.*ObReferenceObjectByHandle: user-mode handle");
    {
        // Even in the process that holds it: kernel code's handles are kernel handles.
        sim::ThreadScope scope(app);
        EXPECT_DEATH(ZwClose(user), "DRIVER_VERIFIER_DETECTED_VIOLATION");
        EXPECT_EQ(sim::ob::CloseHandle(app, user), STATUS_SUCCESS);
    }
    sim::user::EndProcess(app);
}

}  // namespace
