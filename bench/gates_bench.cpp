// Unwatched I/O from many threads at once: 1, 2, 4 and 8 threads, each a
// process of its own creating, writing and closing a file of its own, with
// file monitoring on and no process watched. Two configurations in the same
// run: the driver's gates as shipped (atomic reads of the switch and the
// client, the watched set asked under its lock shared) and the gates as they
// were (this file's reference copy: the global Lock taken by each of the three
// gates, and the watched set asked under an exclusive lock of its own). Time
// on a shared two-core machine says little about eight threads; the counters
// say what queues: exclusive and shared acquisitions per loop and the
// acquisitions that had to wait for another thread (contended_per_loop).
#include "bench/scratch.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "filemon/filemon.h"
#include "sim/fs/fs.h"
#include "sim/io/io.h"
#include "sim/ke/core.h"
#include "sim/ke/sync.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "tests/support/create_reference.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace {

// --- the old gates (reference copy) -------------------------------------------

// The list's old fast mutex: every membership test held it exclusively.
FAST_MUTEX gOldListMutex;

BOOLEAN OldIsWatchedRequest(PETHREAD Thread, PFILE_OBJECT FileObject) {
    BOOLEAN watched = FALSE;
    DriverDataLock();
    if (DriverData.FileMonEnabled != 0 && !IsClientProcess(IoThreadToProcess(Thread)) && FileObject != nullptr) {
        watched = TRUE;
    }
    DriverDataUnlock();
    return watched;
}

BOOLEAN OldIsListed(ULONG Pid) {
    ExAcquireFastMutex(&gOldListMutex);
    const BOOLEAN listed = IdListHasPid(&DriverData.ProcessList, Pid);
    ExReleaseFastMutex(&gOldListMutex);
    return listed;
}

// Past the old gates a request goes on to the shipped callback, whose own
// gates then cost what they cost; an unwatched request never gets there but
// for the write and the cleanup, which look for the handle's record.
FLT_PREOP_CALLBACK_STATUS FLTAPI OldPreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    if (!OldIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if ((Data->Iopb->OperationFlags & (SL_OPEN_PAGING_FILE | SL_OPEN_TARGET_DIRECTORY)) != 0) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    if (!OldIsListed(static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())))) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    return FilterPreCreate(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FLTAPI OldPreWrite(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    if (!OldIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    return FilterPreWrite(Data, FltObjects, CompletionContext);
}

FLT_PREOP_CALLBACK_STATUS FLTAPI OldPreCleanup(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS FltObjects, PVOID* CompletionContext) {
    *CompletionContext = nullptr;
    if (!OldIsWatchedRequest(Data->Thread, FltObjects->FileObject)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    return FilterPreCleanup(Data, FltObjects, CompletionContext);
}

// --- the machine ------------------------------------------------------------------

struct Machine {
    std::filesystem::path folder;
    PDRIVER_OBJECT driver = nullptr;
    _EPROCESS* clientProcess = nullptr;
    vetrona::client::Client* client = nullptr;
    std::vector<_EPROCESS*> apps;
    std::atomic<bool> failed{false};
};
Machine gMachine;

void SetUp(const benchmark::State& state, bool oldGates) {
    Machine& m = gMachine;
    sim::ResetKernel();
    m.folder = vbench::ScratchFolder("gates");
    std::filesystem::remove_all(m.folder);
    std::filesystem::create_directories(m.folder);
    sim::fs::MountVolume(m.folder.string(), u'C');
    m.failed = sim::LoadDriver(DriverEntry, u"vetrona", &m.driver) != STATUS_SUCCESS;
    if (m.failed) {
        return;
    }
    m.clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    m.client = new vetrona::client::Client(m.clientProcess);
    m.failed = m.client->Connect() != vetrona::client::kOk ||
               m.client->SetMonitor(vetrona::client::Monitor::File, 1) != vetrona::client::kOk;
    if (oldGates) {
        ExInitializeFastMutex(&gOldListMutex);
        vtest::ReplacePreOperation(IRP_MJ_CREATE, OldPreCreate);
        vtest::ReplacePreOperation(IRP_MJ_WRITE, OldPreWrite);
        vtest::ReplacePreOperation(IRP_MJ_CLEANUP, OldPreCleanup);
    }
    m.apps.clear();
    for (int t = 0; t < state.threads(); ++t) {
        m.apps.push_back(sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe"));
    }
}

void SetUpOld(const benchmark::State& state) { SetUp(state, true); }
void SetUpNew(const benchmark::State& state) { SetUp(state, false); }

void TearDown(const benchmark::State&) {
    Machine& m = gMachine;
    for (_EPROCESS* app : m.apps) {
        sim::user::EndProcess(app);
    }
    m.apps.clear();
    if (m.client != nullptr) {
        m.client->Disconnect();
        delete m.client;
        m.client = nullptr;
    }
    if (m.clientProcess != nullptr) {
        sim::user::EndProcess(m.clientProcess);
        m.clientProcess = nullptr;
    }
    if (m.driver != nullptr) {
        sim::StopDriver(m.driver);
        m.driver = nullptr;
    }
    sim::ResetKernel();
    std::filesystem::remove_all(m.folder);
}

uint64_t Contended() { return sim::sync::ContendedCount() + sim::sync::PushLockContendedCount(); }

void UnwatchedLoops(benchmark::State& state) {
    Machine& m = gMachine;
    if (m.failed) {
        state.SkipWithError("the driver or the client did not start");
        return;
    }
    _EPROCESS* app = m.apps[static_cast<size_t>(state.thread_index())];
    const std::u16string path = u"C:\\own" + sim::fs::FromHost(std::to_string(state.thread_index())) + u".bin";
    static const char kData[64] = "unwatched gates benchmark payload";
    uint64_t exclusiveBefore = 0, sharedBefore = 0, contendedBefore = 0;
    if (state.thread_index() == 0) {
        exclusiveBefore = sim::sync::ExclusiveAcquireCount();
        sharedBefore = sim::sync::SharedAcquireCount();
        contendedBefore = Contended();
    }
    for (auto _ : state) {
        HANDLE handle = nullptr;
        if (sim::user::CreateFile(app, path, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                                  FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
            m.failed = true;
            continue;
        }
        ULONG written = 0;
        if (sim::user::WriteFile(app, handle, 0, kData, sizeof(kData), &written) != STATUS_SUCCESS || written != sizeof(kData)) {
            m.failed = true;
        }
        if (sim::user::CloseHandle(app, handle) != STATUS_SUCCESS) {
            m.failed = true;
        }
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        // The loop's end is a barrier: every thread's loops are done here.
        const double loops = static_cast<double>(state.iterations()) * state.threads();
        const uint64_t contended = Contended() - contendedBefore;
        state.counters["exclusive_per_loop"] = static_cast<double>(sim::sync::ExclusiveAcquireCount() - exclusiveBefore) / loops;
        state.counters["shared_per_loop"] = static_cast<double>(sim::sync::SharedAcquireCount() - sharedBefore) / loops;
        state.counters["contended"] = static_cast<double>(contended);
        state.counters["contended_per_loop"] = static_cast<double>(contended) / loops;
        if (m.failed) {
            state.SkipWithError("a create, write or close failed");
        }
    }
}

BENCHMARK(UnwatchedLoops)
    ->Name("UnwatchedGates/old")
    ->Setup(SetUpOld)
    ->Teardown(TearDown)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

BENCHMARK(UnwatchedLoops)
    ->Name("UnwatchedGates/new")
    ->Setup(SetUpNew)
    ->Teardown(TearDown)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
