// The pass-through path: a small create/write/close loop on a simulated volume,
// with the driver not loaded, loaded with file monitoring off, and loaded with
// monitoring on for a process that is not watched; then the watched paths:
// plain reads of a watched process (opens followed silently), and a watched
// process writing a followed file while the client answers each event. Each
// configuration reports its operations per second (main.cpp prints them as
// ratios against the unloaded run) and what one loop costs in platform calls.
#include "bench/scratch.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/ke/core.h"
#include "sim/fs/fs.h"
#include "sim/io/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

namespace {

enum class Setup { Unloaded, MonitoringOff, MonitoringOnUnwatched, WatchedReads, WatchedWritesAnswered };

std::filesystem::path ScratchFolder() { return vbench::ScratchFolder("passthrough"); }

// One create/write/close of a small file, as an application does it.
bool CreateWriteClose(_EPROCESS* app, const std::u16string& path) {
    HANDLE handle = nullptr;
    if (sim::user::CreateFile(app, path, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
        return false;
    }
    static const char kData[64] = "pass-through benchmark payload";
    ULONG written = 0;
    const bool wrote = sim::user::WriteFile(app, handle, 0, kData, sizeof(kData), &written) == STATUS_SUCCESS;
    return sim::user::CloseHandle(app, handle) == STATUS_SUCCESS && wrote;
}

// One open/read/close of an existing file.
bool OpenReadClose(_EPROCESS* app, const std::u16string& path) {
    HANDLE handle = nullptr;
    if (sim::user::CreateFile(app, path, FILE_GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
        return false;
    }
    char buffer[64];
    ULONG read = 0;
    const bool ok = sim::user::ReadFile(app, handle, 0, buffer, sizeof(buffer), &read) == STATUS_SUCCESS;
    return sim::user::CloseHandle(app, handle) == STATUS_SUCCESS && ok;
}

// The client answering every event with 0 on a thread of its own.
class Answerer {
public:
    explicit Answerer(vetrona::client::Client& client) : client_(client), thread_([this] { Loop(); }) {}
    ~Answerer() {
        stop_ = true;
        thread_.join();
    }

private:
    void Loop() {
        while (!stop_) {
            vetrona::client::Message message;
            if (client_.Receive(&message, 10) == vetrona::client::kOk) {
                client_.Reply(message, 0);
            }
        }
    }
    vetrona::client::Client& client_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void PassThrough(benchmark::State& state, Setup setup) {
    sim::ResetKernel();
    const std::filesystem::path folder = ScratchFolder();
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    sim::fs::MountVolume(folder.string(), u'C');

    PDRIVER_OBJECT driver = nullptr;
    _EPROCESS* clientProcess = nullptr;
    vetrona::client::Client* client = nullptr;
    if (setup != Setup::Unloaded) {
        if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
            state.SkipWithError("driver did not load");
            return;
        }
        clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        client = new vetrona::client::Client(clientProcess);
        if (client->Connect() != vetrona::client::kOk ||
            client->SetMonitor(vetrona::client::Monitor::File, setup == Setup::MonitoringOff ? 0 : 1) != vetrona::client::kOk) {
            state.SkipWithError("client could not configure the driver");
        }
    }
    _EPROCESS* app = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe");
    state.SetLabel("volume in " + folder.string());
    const std::u16string path = u"C:\\bench.bin";
    const bool watched = setup == Setup::WatchedReads || setup == Setup::WatchedWritesAnswered;
    if (watched && client->AddProcess(static_cast<uint32_t>(app->pid)) != vetrona::client::kOk) {
        state.SkipWithError("the process could not be watched");
    }
    Answerer* answerer = setup == Setup::WatchedWritesAnswered ? new Answerer(*client) : nullptr;
    // The file exists before the loop: the loop overwrites or reads it, so it
    // is never a creation and its close is never reported.
    _EPROCESS* setupProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\setup.exe");
    bool failed = !CreateWriteClose(setupProcess, path);
    sim::user::EndProcess(setupProcess);

    const auto before = sim::CallCounts();
    for (auto _ : state) {
        failed |= setup == Setup::WatchedReads ? !OpenReadClose(app, path) : !CreateWriteClose(app, path);
    }
    const auto after = sim::CallCounts();
    delete answerer;
    if (failed) {
        state.SkipWithError("a create, write or close failed");
    }

    state.SetItemsProcessed(state.iterations());
    const double n = static_cast<double>(state.iterations());
    auto perLoop = [&](const char* routine) {
        auto a = after.find(routine);
        auto b = before.find(routine);
        const double delta = static_cast<double>((a == after.end() ? 0 : a->second) - (b == before.end() ? 0 : b->second));
        return delta / n;
    };
    state.counters["allocs_per_loop"] = perLoop("ExAllocatePoolWithTag");
    state.counters["mutex_per_loop"] = perLoop("ExAcquireFastMutex");
    state.counters["name_queries_per_loop"] = perLoop("FltGetFileNameInformation");
    state.counters["messages_per_loop"] = perLoop("FltSendMessage");
    state.counters["contexts_per_loop"] = perLoop("FltAllocateContext");

    sim::user::EndProcess(app);
    if (client != nullptr) {
        client->Disconnect();
        delete client;
    }
    if (clientProcess != nullptr) {
        sim::user::EndProcess(clientProcess);
    }
    if (driver != nullptr) {
        sim::StopDriver(driver);
    }
    sim::ResetKernel();
    std::filesystem::remove_all(folder);
}

BENCHMARK_CAPTURE(PassThrough, unloaded, Setup::Unloaded)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(PassThrough, monitoring_off, Setup::MonitoringOff)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(PassThrough, monitoring_on_unwatched, Setup::MonitoringOnUnwatched)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(PassThrough, watched_plain_reads, Setup::WatchedReads)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(PassThrough, watched_writes_answered, Setup::WatchedWritesAnswered)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
