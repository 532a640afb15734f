// Round trips per second with a client of 1 and of 4 answer workers, 8 watched
// threads each creating, writing and closing a file of its own (every open,
// write and close is a message the client answers). "Workers/1" is the
// baseline main.cpp divides by. The client decides under one lock, as
// vetrona-client does; with one worker each watched thread also waits for the
// others' receive and reply, with four they overlap. Counters: round trips
// per second and per loop.
#include "bench/scratch.h"
#include "client/lib/workers.h"
#include "driver/driver_data.h"
#include "sim/fs/fs.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace vc = vetrona::client;

constexpr int kWriters = 8;
constexpr int kLoopsPerRound = 10;

void Workers(benchmark::State& state) {
    const int workers = static_cast<int>(state.range(0));
    sim::ResetKernel();
    const std::filesystem::path folder = vbench::ScratchFolder("workers");
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    sim::fs::MountVolume(folder.string(), u'C');
    PDRIVER_OBJECT driver = nullptr;
    if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
        state.SkipWithError("driver did not load");
        return;
    }
    _EPROCESS* clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    std::vector<_EPROCESS*> apps;
    vc::Client client(clientProcess);
    bool ready = client.Connect() == vc::kOk && client.SetMonitor(vc::Monitor::File, 1) == vc::kOk;
    for (int t = 0; t < kWriters && ready; ++t) {
        apps.push_back(sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe"));
        ready = client.AddProcess(static_cast<uint32_t>(apps.back()->pid)) == vc::kOk;
    }
    if (!ready) {
        state.SkipWithError("client did not connect and configure");
    } else {
        std::atomic<bool> done{false};
        uint64_t answered = 0;  // under the workers' lock
        int granted = 0;
        std::thread answering([&] {
            vc::AnswerWorkers::Run(
                client, workers,
                [&](const vc::Message& m) {
                    benchmark::DoNotOptimize(m.Decode().ok());
                    ++answered;
                    return static_cast<Verdict>(VerdictNone);
                },
                [&](bool) { return done.load(); }, &granted, 20);
        });
        std::atomic<bool> failed{false};
        static const char kData[64] = "answer workers benchmark payload";
        for (auto _ : state) {
            std::vector<std::thread> writers;
            for (int t = 0; t < kWriters; ++t) {
                writers.emplace_back([&, t] {
                    const std::u16string path = u"C:\\w" + sim::fs::FromHost(std::to_string(t)) + u".bin";
                    for (int i = 0; i < kLoopsPerRound; ++i) {
                        HANDLE handle = nullptr;
                        if (sim::user::CreateFile(apps[t], path, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                                                  FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
                            failed = true;
                            continue;
                        }
                        ULONG written = 0;
                        if (sim::user::WriteFile(apps[t], handle, 0, kData, sizeof(kData), &written) != STATUS_SUCCESS) failed = true;
                        sim::user::CloseHandle(apps[t], handle);
                    }
                });
            }
            for (std::thread& w : writers) w.join();
        }
        done = true;
        answering.join();
        if (failed) state.SkipWithError("a writer's file operation failed");
        const double loops = static_cast<double>(state.iterations()) * kWriters * kLoopsPerRound;
        state.SetItemsProcessed(static_cast<int64_t>(answered));
        state.counters["round_trips_per_s"] = benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kIsRate);
        state.counters["round_trips_per_loop"] = static_cast<double>(answered) / loops;
        state.counters["workers"] = granted;
    }
    client.Disconnect();
    sim::StopDriver(driver);
    for (_EPROCESS* app : apps) sim::user::EndProcess(app);
    sim::user::EndProcess(clientProcess);
    sim::ResetKernel();
    std::filesystem::remove_all(folder);
}

BENCHMARK(Workers)->Name("Workers/1")->Arg(1)->UseRealTime();
BENCHMARK(Workers)->Name("Workers/4")->Arg(4)->UseRealTime();

}  // namespace
