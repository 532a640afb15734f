// Threads of their own processes each creating, writing and closing a file of
// their own on one volume, no driver loaded: what the file system model lets
// run side by side. main.cpp prints the two-thread throughput as a ratio
// against one thread in the same run; on a machine with two free cores, work
// on different files that shares no lock comes close to 2. Counters: the
// process's CPU time per loop (a thread that waits costs none), the process's
// voluntary context switches per loop (blocking) and involuntary ones (the
// machine's other work taking the core), how often a loop waited for
// another's hold on a name (never, for files of their own), and the loops
// each thread made.
#include "bench/scratch.h"
#include "sim/ke/core.h"
#include "sim/fs/fs.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::filesystem::path gFolder;
std::vector<_EPROCESS*> gApps;
std::atomic<bool> gFailed{false};
double gCpuBefore = 0;
rusage gUsageBefore{};
uint64_t gHoldWaitsBefore = 0;

double ProcessCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SetUpVolume(const benchmark::State& state) {
    sim::ResetKernel();
    gFolder = vbench::ScratchFolder("fsthreads");
    std::filesystem::remove_all(gFolder);
    std::filesystem::create_directories(gFolder);
    sim::fs::MountVolume(gFolder.string(), u'C');
    gApps.clear();
    for (int t = 0; t < state.threads(); ++t) {
        gApps.push_back(sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe"));
    }
    gFailed = false;
}

void TearDownVolume(const benchmark::State&) {
    for (_EPROCESS* app : gApps) {
        sim::user::EndProcess(app);
    }
    gApps.clear();
    sim::ResetKernel();
    std::filesystem::remove_all(gFolder);
}

void OwnFiles(benchmark::State& state) {
    _EPROCESS* app = gApps[static_cast<size_t>(state.thread_index())];
    const std::u16string path = u"C:\\own" + sim::fs::FromHost(std::to_string(state.thread_index())) + u".bin";
    static const char kData[64] = "file system threads benchmark payload";
    if (state.thread_index() == 0) {
        gCpuBefore = ProcessCpuSeconds();
        ::getrusage(RUSAGE_SELF, &gUsageBefore);
        gHoldWaitsBefore = sim::fs::NameHoldWaits();
    }
    for (auto _ : state) {
        HANDLE handle = nullptr;
        if (sim::user::CreateFile(app, path, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                                  FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
            gFailed = true;
            continue;
        }
        ULONG written = 0;
        if (sim::user::WriteFile(app, handle, 0, kData, sizeof(kData), &written) != STATUS_SUCCESS ||
            written != sizeof(kData)) {
            gFailed = true;
        }
        if (sim::user::CloseHandle(app, handle) != STATUS_SUCCESS) {
            gFailed = true;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["loops_per_thread"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kAvgThreads);
    if (state.thread_index() == 0) {
        // The loop's end is a barrier: every thread's loops are done here.
        const double loops = static_cast<double>(state.iterations()) * state.threads();
        state.counters["cpu_us_per_loop"] = (ProcessCpuSeconds() - gCpuBefore) * 1e6 / loops;
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        // A thread that blocks (a contended lock) switches out voluntarily; one
        // the machine's other work pushes off its core, involuntarily.
        state.counters["blocked_per_loop"] = static_cast<double>(usage.ru_nvcsw - gUsageBefore.ru_nvcsw) / loops;
        state.counters["preempted_per_loop"] = static_cast<double>(usage.ru_nivcsw - gUsageBefore.ru_nivcsw) / loops;
        state.counters["name_waits_per_loop"] = static_cast<double>(sim::fs::NameHoldWaits() - gHoldWaitsBefore) / loops;
        state.SetLabel("volume in " + gFolder.string());
        if (gFailed) {
            state.SkipWithError("a create, write or close failed");
        }
    }
}

BENCHMARK(OwnFiles)
    ->Setup(SetUpVolume)
    ->Teardown(TearDownVolume)
    ->Threads(1)
    ->Threads(2)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace
