// Value sets under the registry callback: a program sets one value again and
// again with the driver not loaded, loaded with registry monitoring on for a
// program that is not watched, and for a watched program whose events a client
// thread answers. main.cpp prints each as a ratio against the unloaded run; the
// counters say what one set costs in platform calls.
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/cm/cm.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

enum class Setup { Unloaded, Unwatched, Watched };

void ValueSets(benchmark::State& state, Setup setup) {
    sim::ResetKernel();
    PDRIVER_OBJECT driver = nullptr;
    _EPROCESS* clientProcess = nullptr;
    vetrona::client::Client* client = nullptr;
    std::atomic<bool> stop{false};
    std::thread answerer;
    _EPROCESS* app = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe");
    if (setup != Setup::Unloaded) {
        if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
            state.SkipWithError("driver did not load");
            return;
        }
        clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
        client = new vetrona::client::Client(clientProcess);
        if (client->Connect() != vetrona::client::kOk ||
            client->SetMonitor(vetrona::client::Monitor::Registry, 1) != vetrona::client::kOk ||
            (setup == Setup::Watched && client->AddProcess(static_cast<uint32_t>(app->pid)) != vetrona::client::kOk)) {
            state.SkipWithError("client could not configure the driver");
        }
        answerer = std::thread([&] {
            vetrona::client::Message message;
            while (!stop) {
                if (client->Receive(&message, 20) == vetrona::client::kOk) {
                    client->Reply(message, 0);
                }
            }
        });
    }

    HANDLE key = nullptr;
    sim::user::CreateKey(app, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Bench", KEY_ALL_ACCESS, &key);
    uint32_t value = 0;
    sim::user::SetValueKey(app, key, u"Counter", REG_DWORD, &value, sizeof(value));

    bool failed = false;
    {
        // The program's one thread, for the whole loop.
        sim::ThreadScope thread(app);
        const auto before = sim::CallCounts();
        for (auto _ : state) {
            ++value;
            failed |= sim::user::SetValueKey(app, key, u"Counter", REG_DWORD, &value, sizeof(value)) != STATUS_SUCCESS;
        }
        const auto after = sim::CallCounts();
        const double n = static_cast<double>(state.iterations());
        auto perSet = [&](const char* routine) {
            auto a = after.find(routine);
            auto b = before.find(routine);
            const double delta =
                static_cast<double>((a == after.end() ? 0 : a->second) - (b == before.end() ? 0 : b->second));
            return delta / n;
        };
        state.counters["mutex_per_set"] = perSet("ExAcquireFastMutex");
        state.counters["allocs_per_set"] = perSet("ExAllocatePoolWithTag");
        state.counters["name_lookups_per_set"] = perSet("CmCallbackGetKeyObjectIDEx");
        state.counters["value_queries_per_set"] = perSet("ZwQueryValueKey");
        state.counters["messages_per_set"] = perSet("FltSendMessage");
    }
    if (failed) {
        state.SkipWithError("a value set failed");
    }
    state.SetItemsProcessed(state.iterations());

    sim::user::CloseHandle(app, key);
    stop = true;
    if (answerer.joinable()) {
        answerer.join();
    }
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
}

BENCHMARK_CAPTURE(ValueSets, unloaded, Setup::Unloaded)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(ValueSets, unwatched, Setup::Unwatched)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK_CAPTURE(ValueSets, watched_answered, Setup::Watched)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
