// Process model: ids, notification routines and their context, look-ups,
// routine look-up by name, registry callback registration.
#include "sim/cm/cm.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/user/process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

class SimPs : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        gSeen.clear();
        gRefuseWith = STATUS_SUCCESS;
    }
    void TearDown() override {
        PsSetCreateProcessNotifyRoutine(LegacyNotify, TRUE);
        PsSetCreateProcessNotifyRoutineEx(ExNotify, TRUE);
        PsSetCreateProcessNotifyRoutineEx(SecondExNotify, TRUE);
        sim::ResetKernel();
    }

    struct Seen {
        std::string who;
        ULONG_PTR pid = 0;
        ULONG_PTR parent = 0;
        bool create = false;
        ULONG_PTR currentPid = 0;  // context the routine ran in
        ULONG_PTR creatorPid = 0;
        ULONG_PTR creatorTid = 0;
        std::u16string image;
        std::u16string commandLine;
        KIRQL irql = 0;
        bool foundByLookup = false;
    };
    static inline std::vector<Seen> gSeen;
    static inline NTSTATUS gRefuseWith = STATUS_SUCCESS;

    static VOID NTAPI LegacyNotify(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
        Seen seen;
        seen.who = "legacy";
        seen.pid = reinterpret_cast<ULONG_PTR>(ProcessId);
        seen.parent = reinterpret_cast<ULONG_PTR>(ParentId);
        seen.create = Create != FALSE;
        seen.currentPid = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
        seen.irql = KeGetCurrentIrql();
        gSeen.push_back(seen);
    }

    static VOID NTAPI ExNotify(PEPROCESS Process, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
        Seen seen;
        seen.who = "ex";
        seen.pid = reinterpret_cast<ULONG_PTR>(ProcessId);
        seen.create = CreateInfo != nullptr;
        seen.currentPid = reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId());
        seen.irql = KeGetCurrentIrql();
        EXPECT_EQ(PsGetProcessId(Process), ProcessId);
        PEPROCESS found = nullptr;
        if (NT_SUCCESS(PsLookupProcessByProcessId(ProcessId, &found))) {
            seen.foundByLookup = found == Process;
            ObfDereferenceObject(found);
        }
        if (CreateInfo != nullptr) {
            EXPECT_EQ(CreateInfo->Size, sizeof(PS_CREATE_NOTIFY_INFO));
            seen.parent = reinterpret_cast<ULONG_PTR>(CreateInfo->ParentProcessId);
            seen.creatorPid = reinterpret_cast<ULONG_PTR>(CreateInfo->CreatingThreadId.UniqueProcess);
            seen.creatorTid = reinterpret_cast<ULONG_PTR>(CreateInfo->CreatingThreadId.UniqueThread);
            seen.image.assign(CreateInfo->ImageFileName->Buffer, CreateInfo->ImageFileName->Length / 2);
            seen.commandLine.assign(CreateInfo->CommandLine->Buffer, CreateInfo->CommandLine->Length / 2);
            if (!NT_SUCCESS(gRefuseWith)) {
                CreateInfo->CreationStatus = gRefuseWith;
            }
        }
        gSeen.push_back(seen);
    }

    static VOID NTAPI SecondExNotify(PEPROCESS, HANDLE ProcessId, PPS_CREATE_NOTIFY_INFO CreateInfo) {
        Seen seen;
        seen.who = "second";
        seen.pid = reinterpret_cast<ULONG_PTR>(ProcessId);
        seen.create = CreateInfo != nullptr;
        gSeen.push_back(seen);
    }
};

TEST_F(SimPs, ProcessIdsAreMultiplesOfFourAndSystemIsFour) {
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()), 4u);
    EXPECT_EQ(IoGetCurrentProcess(), sim::SystemProcess());
    _EPROCESS* parent = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\Windows\\explorer.exe");
    _EPROCESS* child = sim::user::StartProcess(parent, u"\\Device\\HarddiskVolume1\\Windows\\notepad.exe");
    ASSERT_NE(parent, nullptr);
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(parent->pid % 4, 0u);
    EXPECT_EQ(child->pid % 4, 0u);
    EXPECT_NE(parent->pid, child->pid);
    EXPECT_NE(parent->pid, 4u);
    EXPECT_EQ(child->parentPid, parent->pid);
    {
        sim::ThreadScope scope(child);
        EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(child->pid));
        EXPECT_EQ(IoThreadToProcess(PsGetCurrentThread()), child);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(PsGetCurrentThreadId()) % 4, 0u);
        EXPECT_NE(PsGetCurrentThreadId(), reinterpret_cast<HANDLE>(child->pid));
    }
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()), 4u);
}

TEST_F(SimPs, CreationRoutinesRunInTheCreatorsContextAndExitRoutinesInTheExitingProcess) {
    ASSERT_EQ(PsSetCreateProcessNotifyRoutine(LegacyNotify, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(PsSetCreateProcessNotifyRoutineEx(ExNotify, FALSE), STATUS_SUCCESS);
    _EPROCESS* parent = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\shell.exe");
    gSeen.clear();
    _EPROCESS* child =
        sim::user::StartProcess(parent, u"\\Device\\HarddiskVolume1\\child.exe", u"child.exe --flag", false);
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(gSeen.size(), 2u);
    for (const auto& seen : gSeen) {
        EXPECT_TRUE(seen.create);
        EXPECT_EQ(seen.pid, child->pid);
        EXPECT_EQ(seen.parent, parent->pid);
        EXPECT_EQ(seen.currentPid, parent->pid) << seen.who << " ran outside the creator";
        EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    }
    const Seen& ex = gSeen[1];
    EXPECT_EQ(ex.creatorPid, parent->pid);
    EXPECT_NE(ex.creatorTid, 0u);
    EXPECT_EQ(ex.image, u"\\Device\\HarddiskVolume1\\child.exe");
    EXPECT_EQ(ex.commandLine, u"child.exe --flag");
    EXPECT_TRUE(ex.foundByLookup);

    gSeen.clear();
    ASSERT_EQ(sim::user::EndProcess(child), STATUS_SUCCESS);
    ASSERT_EQ(gSeen.size(), 2u);
    for (const auto& seen : gSeen) {
        EXPECT_FALSE(seen.create);
        EXPECT_EQ(seen.pid, child->pid);
        EXPECT_EQ(seen.currentPid, child->pid) << seen.who << " ran outside the exiting process";
    }
    EXPECT_EQ(gSeen[0].parent, parent->pid);
    EXPECT_EQ(sim::user::EndProcess(child), STATUS_PROCESS_IS_TERMINATING);
}

TEST_F(SimPs, AnExtendedRoutineCanRefuseTheStartAndLaterRoutinesAreNotTold) {
    ASSERT_EQ(PsSetCreateProcessNotifyRoutineEx(ExNotify, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(PsSetCreateProcessNotifyRoutineEx(SecondExNotify, FALSE), STATUS_SUCCESS);
    _EPROCESS* creator = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\shell.exe");
    gSeen.clear();
    gRefuseWith = STATUS_ACCESS_DENIED;
    // Whether the refused process's deletion notifies the routines is not
    // documented: both ways are modelled.
    for (bool exitNotified : {true, false}) {
        SCOPED_TRACE(exitNotified ? "exit notified" : "exit not notified");
        gSeen.clear();
        sim::SetExitNotifyAfterRefusedStart(exitNotified);
        _EPROCESS* process = reinterpret_cast<_EPROCESS*>(1);
        EXPECT_EQ(sim::user::StartProcess(creator, u"\\Device\\HarddiskVolume1\\bad.exe", u"", false, &process),
                  STATUS_ACCESS_DENIED);
        EXPECT_EQ(process, nullptr);
        ASSERT_EQ(gSeen.size(), exitNotified ? 3u : 1u) << "the second routine hears of the creation not at all";
        EXPECT_TRUE(gSeen[0].create);
        if (exitNotified) {
            for (size_t i = 1; i < 3; ++i) {
                EXPECT_FALSE(gSeen[i].create);
                EXPECT_EQ(gSeen[i].pid, gSeen[0].pid);
            }
            EXPECT_EQ(gSeen[1].currentPid, creator->pid) << "the process never ran: the creator's thread tells";
        }
        PEPROCESS found = nullptr;
        EXPECT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(gSeen[0].pid), &found), STATUS_INVALID_CID);
        EXPECT_EQ(found, nullptr);
    }
    sim::user::EndProcess(creator);
}

TEST_F(SimPs, RegistrationRules) {
    EXPECT_EQ(PsSetCreateProcessNotifyRoutineEx(ExNotify, TRUE), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(LegacyNotify, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(LegacyNotify, FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<void*>(LegacyNotify)));

    // Without FORCE_INTEGRITY only the extended registration is refused.
    sim::SetDriverImageForceIntegrity(false);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutineEx(ExNotify, FALSE), STATUS_ACCESS_DENIED);
    EXPECT_FALSE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<void*>(ExNotify)));
    sim::SetDriverImageForceIntegrity(true);

    sim::InjectFailure("PsSetCreateProcessNotifyRoutineEx", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutineEx(ExNotify, FALSE), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutineEx(ExNotify, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(LegacyNotify, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(LegacyNotify, TRUE), STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 1u);
}

// 64 distinct routines fill the table; the 65th is refused.
template <int N>
VOID NTAPI NumberedNotify(HANDLE, HANDLE, BOOLEAN) {}

template <int... I>
std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE> Routinesp(std::integer_sequence<int, I...>) {
    return {NumberedNotify<I>...};
}

TEST_F(SimPs, TheTableHoldsSixtyFourRoutines) {
    auto routines = Routinesp(std::make_integer_sequence<int, 65>());
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(PsSetCreateProcessNotifyRoutine(routines[i], FALSE), STATUS_SUCCESS) << i;
    }
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(routines[64], FALSE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(routines[0], TRUE), STATUS_SUCCESS);
    EXPECT_EQ(PsSetCreateProcessNotifyRoutine(routines[64], FALSE), STATUS_SUCCESS);
}

std::mutex gGateLock;
std::condition_variable gGate;
bool gInside = false;
bool gRelease = false;

VOID NTAPI BlockingNotify(PEPROCESS, HANDLE, PPS_CREATE_NOTIFY_INFO) {
    std::unique_lock<std::mutex> guard(gGateLock);
    gInside = true;
    gGate.notify_all();
    gGate.wait(guard, [] { return gRelease; });
}

TEST_F(SimPs, RemovingAnExtendedRoutineWaitsForCallsInFlight) {
    gInside = false;
    gRelease = false;
    ASSERT_EQ(PsSetCreateProcessNotifyRoutineEx(BlockingNotify, FALSE), STATUS_SUCCESS);
    std::thread creator([] { sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\slow.exe"); });
    {
        std::unique_lock<std::mutex> guard(gGateLock);
        gGate.wait(guard, [] { return gInside; });
    }
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        EXPECT_EQ(PsSetCreateProcessNotifyRoutineEx(BlockingNotify, TRUE), STATUS_SUCCESS);
        removed = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> guard(gGateLock);
        gRelease = true;
    }
    gGate.notify_all();
    remover.join();
    creator.join();
    EXPECT_TRUE(removed.load());
}

TEST_F(SimPs, LookupReferencesTheProcessAndFindsItWhileReferencedAfterExit) {
    PEPROCESS found = reinterpret_cast<PEPROCESS>(1);
    EXPECT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(4000), &found), STATUS_INVALID_CID);
    EXPECT_EQ(found, nullptr);
    _EPROCESS* process = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\a.exe");
    HANDLE pid = reinterpret_cast<HANDLE>(process->pid);
    ASSERT_EQ(PsLookupProcessByProcessId(pid, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, process);
    ASSERT_EQ(sim::user::EndProcess(process), STATUS_SUCCESS);
    PEPROCESS again = nullptr;
    ASSERT_EQ(PsLookupProcessByProcessId(pid, &again), STATUS_SUCCESS);
    ObfDereferenceObject(again);
    ObfDereferenceObject(found);  // the last reference
    EXPECT_EQ(PsLookupProcessByProcessId(pid, &again), STATUS_INVALID_CID);
}

TEST_F(SimPs, ImageFileNameQueryTellsTheSizeFirst) {
    _EPROCESS* process = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe");
    HANDLE handle = nullptr;
    ASSERT_EQ(ObOpenObjectByPointer(process, OBJ_KERNEL_HANDLE, nullptr, 0, nullptr, KernelMode, &handle), STATUS_SUCCESS);
    ULONG needed = 0;
    EXPECT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, nullptr, 0, &needed), STATUS_INFO_LENGTH_MISMATCH);
    std::u16string expected = u"\\Device\\HarddiskVolume3\\Windows\\System32\\notepad.exe";
    EXPECT_EQ(needed, sizeof(UNICODE_STRING) + expected.size() * 2);
    std::vector<uint8_t> buffer(needed);
    ASSERT_EQ(ZwQueryInformationProcess(handle, ProcessImageFileName, buffer.data(), needed, &needed), STATUS_SUCCESS);
    auto* name = reinterpret_cast<UNICODE_STRING*>(buffer.data());
    EXPECT_EQ(reinterpret_cast<uint8_t*>(name->Buffer), buffer.data() + sizeof(UNICODE_STRING));
    EXPECT_EQ(std::u16string(name->Buffer, name->Length / 2), expected);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
}

TEST_F(SimPs, RoutinesAreFoundByNameUnlessRemovedFromTheExports) {
    auto resolve = [](const char16_t* text) {
        std::u16string name(text);
        UNICODE_STRING s{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
        return MmGetSystemRoutineAddress(&s);
    };
    EXPECT_EQ(resolve(u"PsSetCreateProcessNotifyRoutineEx"), reinterpret_cast<void*>(&PsSetCreateProcessNotifyRoutineEx));
    EXPECT_EQ(resolve(u"CmRegisterCallbackEx"), reinterpret_cast<void*>(&CmRegisterCallbackEx));
    EXPECT_NE(resolve(u"CmCallbackGetKeyObjectIDEx"), nullptr);
    EXPECT_EQ(resolve(u"NoSuchRoutine"), nullptr);
    EXPECT_EQ(resolve(u"cmregistercallbackex"), nullptr);  // export names are case-sensitive
    sim::SetExportAvailable("CmRegisterCallbackEx", false);
    EXPECT_EQ(resolve(u"CmRegisterCallbackEx"), nullptr);
    sim::ResetKernel();
    EXPECT_NE(resolve(u"CmRegisterCallbackEx"), nullptr);
    EXPECT_DEATH(
        {
            sim::RaiseIrql(APC_LEVEL);
            resolve(u"CmRegisterCallbackEx");
        },
        "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(SimPs, TerminatingStateIsPerThread) {
    _EPROCESS* process = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\a.exe");
    sim::ThreadScope one(process);
    EXPECT_FALSE(PsIsThreadTerminating(PsGetCurrentThread()));
    sim::user::SetThreadTerminating(PsGetCurrentThread(), true);
    EXPECT_TRUE(PsIsThreadTerminating(PsGetCurrentThread()));
    sim::ThreadScope two(process);
    EXPECT_FALSE(PsIsThreadTerminating(PsGetCurrentThread()));
}

NTSTATUS NTAPI RegistryCallbackA(PVOID, PVOID, PVOID) { return STATUS_SUCCESS; }
NTSTATUS NTAPI RegistryCallbackB(PVOID, PVOID, PVOID) { return STATUS_SUCCESS; }
NTSTATUS NTAPI RegistryCallbackC(PVOID, PVOID, PVOID) { return STATUS_SUCCESS; }

TEST_F(SimPs, RegistryCallbacksCollideOnAltitudeAndAreOrderedByIt) {
    DRIVER_OBJECT driver{};
    std::u16string low = u"320000", high = u"380010";
    UNICODE_STRING lowAltitude{12, 12, low.data()}, highAltitude{12, 12, high.data()};
    LARGE_INTEGER a{}, b{}, c{}, d{};
    ASSERT_EQ(CmRegisterCallbackEx(RegistryCallbackA, &lowAltitude, &driver, nullptr, &a, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(CmRegisterCallbackEx(RegistryCallbackB, &highAltitude, &driver, nullptr, &b, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(CmRegisterCallbackEx(RegistryCallbackC, &highAltitude, &driver, nullptr, &d, nullptr),
              STATUS_FLT_INSTANCE_ALTITUDE_COLLISION);
    ASSERT_EQ(CmRegisterCallback(RegistryCallbackC, nullptr, &c), STATUS_SUCCESS);
    EXPECT_NE(a.QuadPart, b.QuadPart);
    EXPECT_NE(b.QuadPart, c.QuadPart);

    auto callbacks = sim::cm::Callbacks();
    ASSERT_EQ(callbacks.size(), 3u);
    EXPECT_EQ(callbacks[0].function, RegistryCallbackB);
    EXPECT_EQ(callbacks[1].function, RegistryCallbackA);
    EXPECT_TRUE(sim::cm::IsRegistered(RegistryCallbackC));

    EXPECT_EQ(CmUnRegisterCallback(b), STATUS_SUCCESS);
    EXPECT_EQ(CmUnRegisterCallback(b), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(sim::cm::IsRegistered(RegistryCallbackB));
    sim::InjectFailure("CmRegisterCallbackEx", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CmRegisterCallbackEx(RegistryCallbackB, &highAltitude, &driver, nullptr, &b, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(CmUnRegisterCallback(a), STATUS_SUCCESS);
    EXPECT_EQ(CmUnRegisterCallback(c), STATUS_SUCCESS);
}

}  // namespace
