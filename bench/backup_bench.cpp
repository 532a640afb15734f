// What a copy before a change costs the watched program: the time of its open
// for writing answered "backup" on an existing file of 1, 16 and 64 MiB (the
// driver copies the file before the open goes on), against the same open
// answered "allow" in the same run. The model's time on a memory-backed
// folder, so the host disk's waits stay out; the copy is removed between
// iterations, outside the timing.
#include "bench/scratch.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/fs/fs.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

bool OpenForWriting(_EPROCESS* app, const std::u16string& path) {
    HANDLE handle = nullptr;
    if (sim::user::CreateFile(app, path, FILE_GENERIC_WRITE, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                              &handle) != STATUS_SUCCESS) {
        return false;
    }
    return sim::user::CloseHandle(app, handle) == STATUS_SUCCESS;
}

void CopyBeforeChange(benchmark::State& state, Verdict verdict) {
    const uint64_t bytes = static_cast<uint64_t>(state.range(0)) << 20;
    const fs::path folder = vbench::ScratchFolder("backup");
    fs::remove_all(folder);
    fs::create_directories(folder / "Docs");
    fs::create_directories(folder / "Backup");
    {
        std::ofstream file(folder / "Docs" / "big.bin", std::ios::binary);
        std::vector<char> block(1 << 20, 'v');
        for (uint64_t i = 0; i < (bytes >> 20); ++i) file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    sim::ResetKernel();
    sim::fs::MountVolume(folder.string(), u'C');
    PDRIVER_OBJECT driver = nullptr;
    if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
        state.SkipWithError("driver did not load");
        return;
    }
    _EPROCESS* clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    _EPROCESS* app = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe");
    vetrona::client::Client client(clientProcess);
    bool ok = client.Connect() == vetrona::client::kOk && client.AddProcess(static_cast<uint32_t>(app->pid)) == vetrona::client::kOk &&
              client.SetMonitor(vetrona::client::Monitor::File, 1) == vetrona::client::kOk &&
              client.SetBackupDir(u"\\??\\C:\\Backup") == vetrona::client::kOk &&
              client.SetBackupLimit(vetrona::client::kDefaultBackupLimit) == vetrona::client::kOk;
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        vetrona::client::Message m;
        while (!stop.load()) {
            if (client.Receive(&m, 50) == vetrona::client::kOk) client.Reply(m, verdict);
        }
    });
    const fs::path copy = folder / "Backup" / "big.bin";
    int64_t copies = 0;
    for (auto _ : state) {
        if (!ok || !OpenForWriting(app, u"C:\\Docs\\big.bin")) {
            state.SkipWithError("the open failed");
            break;
        }
        state.PauseTiming();
        std::error_code error;
        if (fs::file_size(copy, error) == bytes) ++copies;
        fs::remove(copy, error);
        state.ResumeTiming();
    }
    state.counters["copies"] = static_cast<double>(copies);
    state.counters["MiB"] = static_cast<double>(bytes >> 20);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
    state.SetLabel(folder.string());
    stop = true;
    responder.join();
    client.Disconnect();
    sim::user::EndProcess(app);
    sim::user::EndProcess(clientProcess);
    sim::StopDriver(driver);
    sim::ResetKernel();
    fs::remove_all(folder);
}

void Backup(benchmark::State& state) { CopyBeforeChange(state, VerdictBackup); }
void Allow(benchmark::State& state) { CopyBeforeChange(state, 0); }

}  // namespace

BENCHMARK(Backup)->Name("CopyBeforeChange/backup")->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(Allow)->Name("CopyBeforeChange/allow")->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();
