// Process model, the parts process notifications lean on: ids reused after
// the object goes, each process's own thread, the exit in a terminating last
// thread, the image flag that the extended registration needs, sends from a
// terminating thread, rundown protection and the look-ups' fault injection.
#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"

#include <future>
#include <thread>

namespace {

using vtest::SimTest;

constexpr char16_t kImage[] = u"\\Device\\HarddiskVolume1\\a.exe";

class SimProcessTest : public SimTest {
protected:
    void TearDown() override {
        PsSetCreateProcessNotifyRoutineEx(RecordExit, TRUE);
        PsSetCreateProcessNotifyRoutineEx(RecordCreator, TRUE);
        SimTest::TearDown();
    }

    struct ExitSeen {
        ULONG_PTR pid = 0;
        ULONG_PTR currentPid = 0;
        ULONG_PTR currentTid = 0;
        bool terminating = false;
    };
    static inline std::vector<ExitSeen> gExits;

    static VOID NTAPI RecordCreator(PEPROCESS, HANDLE, PPS_CREATE_NOTIFY_INFO CreateInfo) {
        if (CreateInfo != nullptr) {
            gExits.push_back({0, reinterpret_cast<ULONG_PTR>(CreateInfo->CreatingThreadId.UniqueProcess),
                              reinterpret_cast<ULONG_PTR>(CreateInfo->CreatingThreadId.UniqueThread), false});
        }
    }

    static VOID NTAPI RecordExit(PEPROCESS, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
        if (CreateInfo == nullptr) {
            gExits.push_back({reinterpret_cast<ULONG_PTR>(ProcessId), reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()),
                              reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()),
                              PsIsThreadTerminating(PsGetCurrentThread()) != FALSE});
        }
    }
};

TEST_F(SimProcessTest, IdsComeBackWhenTheObjectGoesNotAtTheExit) {
    _EPROCESS* first = sim::user::StartProcess(nullptr, kImage);
    const ULONG_PTR pid = first->pid;
    PEPROCESS held = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(pid), &held), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::EndProcess(first), STATUS_SUCCESS);

    // Still referenced: still found, and its id is not handed out.
    PEPROCESS again = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(pid), &again), STATUS_SUCCESS);
    EXPECT_EQ(again, held);
    ObfDereferenceObject(again);
    _EPROCESS* second = sim::user::StartProcess(nullptr, kImage);
    EXPECT_NE(second->pid, pid);

    ObfDereferenceObject(held);
    EXPECT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(pid), &again), STATUS_INVALID_CID);
    _EPROCESS* third = sim::user::StartProcess(nullptr, kImage);
    EXPECT_EQ(third->pid, pid) << "the freed id is handed out again";
    EXPECT_EQ(third->pid % 4, 0u);
    sim::user::EndProcess(third);
    sim::user::EndProcess(second);
}

TEST_F(SimProcessTest, UserSideOperationsRunInTheProcesssOwnThread) {
    _EPROCESS* process = sim::user::StartProcess(nullptr, kImage);
    ASSERT_NE(process->mainThread, nullptr);
    HANDLE first, second;
    {
        sim::ThreadScope scope(process, sim::InThread::Main);
        first = PsGetCurrentThreadId();
    }
    {
        sim::ThreadScope scope(process, sim::InThread::Main);
        second = PsGetCurrentThreadId();
    }
    EXPECT_EQ(first, second);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(first), process->mainThread->tid);
    {
        sim::ThreadScope fresh(process);
        EXPECT_NE(PsGetCurrentThreadId(), first) << "kernel code acting as the process gets a thread of its own";
    }
    // A start by this process is made from that thread.
    ASSERT_EQ(PsSetCreateProcessNotifyRoutineEx(RecordCreator, FALSE), STATUS_SUCCESS);
    gExits.clear();
    _EPROCESS* child = sim::user::StartProcess(process, kImage);
    ASSERT_EQ(gExits.size(), 1u);
    EXPECT_EQ(gExits[0].currentPid, process->pid);
    EXPECT_EQ(gExits[0].currentTid, process->mainThread->tid);
    sim::user::EndProcess(child);
    sim::user::EndProcess(process);
}

TEST_F(SimProcessTest, TheExitRunsInTheLastThreadWhichIsTerminating) {
    ASSERT_EQ(PsSetCreateProcessNotifyRoutineEx(RecordExit, FALSE), STATUS_SUCCESS);
    gExits.clear();
    _EPROCESS* process = sim::user::StartProcess(nullptr, kImage);
    const ULONG_PTR mainTid = process->mainThread->tid;
    ASSERT_EQ(sim::user::EndProcess(process), STATUS_SUCCESS);
    ASSERT_EQ(gExits.size(), 1u);
    EXPECT_EQ(gExits[0].currentPid, gExits[0].pid);
    EXPECT_EQ(gExits[0].currentTid, mainTid);
    EXPECT_TRUE(gExits[0].terminating);
}

TEST_F(SimProcessTest, TheExtendedRegistrationNeedsTheImageFlagOfTheCallingDriver) {
    struct Loaded {
        static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
            driver->DriverUnload = [](PDRIVER_OBJECT) NTAPI { PsSetCreateProcessNotifyRoutineEx(RecordExit, TRUE); };
            return PsSetCreateProcessNotifyRoutineEx(RecordExit, FALSE);
        }
    };
    sim::SetImageForceIntegrity(u"unsigned", false);
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(sim::LoadDriver(Loaded::Entry, u"unsigned", &driver), STATUS_ACCESS_DENIED);
    ASSERT_EQ(sim::LoadDriver(Loaded::Entry, u"signed", &driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 1u);
    EXPECT_EQ(sim::StopDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 0u);
}

TEST_F(SimProcessTest, LookupsAndQueriesTakeInjectedFailures) {
    _EPROCESS* process = sim::user::StartProcess(nullptr, kImage);
    const HANDLE pid = reinterpret_cast<HANDLE>(process->pid);
    PEPROCESS found = nullptr;
    sim::InjectFailure("PsLookupProcessByProcessId", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsLookupProcessByProcessId(pid, &found), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(found, nullptr);
    ASSERT_EQ(PsLookupProcessByProcessId(pid, &found), STATUS_SUCCESS);

    HANDLE handle = reinterpret_cast<HANDLE>(1);
    sim::InjectFailure("ObOpenObjectByPointer", STATUS_NO_MEMORY);
    EXPECT_EQ(ObOpenObjectByPointer(found, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle), STATUS_NO_MEMORY);
    EXPECT_EQ(handle, nullptr);
    ASSERT_EQ(ObOpenObjectByPointer(found, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle), STATUS_SUCCESS);
    EXPECT_TRUE(sim::ob::IsKernelHandle(handle));

    ULONG needed = 1;
    sim::InjectFailure("ZwQueryInformationProcess", STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &needed), STATUS_ACCESS_DENIED);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(needed, sizeof(UNICODE_STRING) + sizeof(kImage) - sizeof(char16_t));
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ObfDereferenceObject(found);
    sim::user::EndProcess(process);
}

TEST_F(SimProcessTest, RundownRefusesNewUsersAndWaitsForTheOnesIn) {
    EX_RUNDOWN_REF rundown;
    ExInitializeRundownProtection(&rundown);
    ASSERT_TRUE(ExAcquireRundownProtection(&rundown));
    auto waiter = std::async(std::launch::async, [&] { ExWaitForRundownProtectionRelease(&rundown); });
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(30)), std::future_status::timeout);
    for (int i = 0; i < 100 && ExAcquireRundownProtection(&rundown); ++i) {
        ExReleaseRundownProtection(&rundown);  // the waiter may not have begun yet
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_FALSE(ExAcquireRundownProtection(&rundown)) << "no new users once the rundown has begun";
    ExReleaseRundownProtection(&rundown);
    waiter.get();
    ExWaitForRundownProtectionRelease(&rundown);  // a finished rundown returns at once
    ExReInitializeRundownProtection(&rundown);
    EXPECT_TRUE(ExAcquireRundownProtection(&rundown));
    ExReleaseRundownProtection(&rundown);
}

using SimProcessDeathTest = SimProcessTest;

TEST_F(SimProcessDeathTest, ReleasingARundownNotHeldStopsTheRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    checkPoolAtTearDown_ = false;
    EX_RUNDOWN_REF rundown;
    ExInitializeRundownProtection(&rundown);
    EXPECT_DEATH(ExReleaseRundownProtection(&rundown), "DRIVER_VERIFIER_DETECTED_VIOLATION");
}

}  // namespace
