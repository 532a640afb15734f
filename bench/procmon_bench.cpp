// Process start and exit with process monitoring on and a client answering:
// by an unwatched parent (nothing to report) and by a watched one (a start and
// an exit reported, the exit from a system worker thread). The "image-first"
// configurations register the notification in the order first written for it,
// which fetches the image name before asking whether the process is watched.
// Counters per start+exit pair: image-name look-ups, pool allocations, sends.
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "procmon/procmon.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/process.h"
#include "tests/support/procmon_reference.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

void ProcessStartExit(benchmark::State& state, bool watched, bool imageFirst) {
    sim::ResetKernel();
    PDRIVER_OBJECT driver = nullptr;
    if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
        state.SkipWithError("driver did not load");
        return;
    }
    _EPROCESS* clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    _EPROCESS* parent = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\shell.exe");
    vetrona::client::Client client(clientProcess);
    if (client.Connect() != vetrona::client::kOk ||
        client.WatchAfresh(watched ? std::vector<uint32_t>{static_cast<uint32_t>(parent->pid)} : std::vector<uint32_t>{}) !=
            vetrona::client::kOk) {
        state.SkipWithError("client did not connect");
        sim::StopDriver(driver);
        return;
    }
    std::atomic<bool> stop{false};
    std::thread responder([&] {
        vetrona::client::Message m;
        while (!stop.load()) {
            if (client.Receive(&m, 100) == vetrona::client::kOk) {
                client.Reply(m, 0);
            }
        }
    });
    if (imageFirst) {
        vtest::UseReferenceProcessNotification(true);
    }
    const char* counted[] = {"PsLookupProcessByProcessId", "ZwQueryInformationProcess", "ExAllocatePoolWithTag",
                             "FltSendMessage", "IoQueueWorkItem"};
    uint64_t before[5];
    for (int i = 0; i < 5; ++i) {
        before[i] = sim::CallCount(counted[i]);
    }
    int64_t failures = 0;
    for (auto _ : state) {
        _EPROCESS* child = sim::user::StartProcess(parent, u"\\Device\\HarddiskVolume1\\Tools\\tool.exe", u"tool.exe --x");
        if (child == nullptr || sim::user::EndProcess(child) != STATUS_SUCCESS) {
            ++failures;
        }
        // A watched exit is sent by a worker thread: it belongs to the cost.
        sim::DrainWorkItems();
    }
    const double n = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["lookups_per_pair"] = static_cast<double>(sim::CallCount(counted[0]) - before[0]) / n;
    state.counters["queries_per_pair"] = static_cast<double>(sim::CallCount(counted[1]) - before[1]) / n;
    state.counters["allocs_per_pair"] = static_cast<double>(sim::CallCount(counted[2]) - before[2]) / n;
    state.counters["sends_per_pair"] = static_cast<double>(sim::CallCount(counted[3]) - before[3]) / n;
    state.counters["deferred_per_pair"] = static_cast<double>(sim::CallCount(counted[4]) - before[4]) / n;
    state.counters["failed"] = static_cast<double>(failures);
    if (imageFirst) {
        vtest::UseReferenceProcessNotification(false);
    }
    stop.store(true);
    responder.join();
    client.Disconnect();
    sim::StopDriver(driver);
    sim::user::EndProcess(parent);
    sim::user::EndProcess(clientProcess);
}

BENCHMARK_CAPTURE(ProcessStartExit, unwatched, false, false)->Name("ProcessStartExit/unwatched")->UseRealTime();
BENCHMARK_CAPTURE(ProcessStartExit, unwatched_image_first, false, true)
    ->Name("ProcessStartExit/unwatched-image-first")
    ->UseRealTime();
BENCHMARK_CAPTURE(ProcessStartExit, watched, true, false)->Name("ProcessStartExit/watched")->UseRealTime();
BENCHMARK_CAPTURE(ProcessStartExit, watched_image_first, true, true)
    ->Name("ProcessStartExit/watched-image-first")
    ->UseRealTime();

}  // namespace
