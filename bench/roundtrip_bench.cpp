// Events per second through the port: a reporting thread sends process events
// and an in-process client receives and answers each. The simulated kernel's
// counters are reported beside the time.
#include "channel/send.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/private/core.h"
#include "sim/private/io.h"
#include "sim/user/process.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>

namespace {

void EventRoundTrip(benchmark::State& state) {
    sim::ResetKernel();
    PDRIVER_OBJECT driver = nullptr;
    if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
        state.SkipWithError("driver did not load");
        return;
    }
    _EPROCESS* clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    _EPROCESS* app = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe");
    vetrona::client::Client client(clientProcess);
    if (client.Connect() != vetrona::client::kOk) {
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
    std::u16string image = u"\\Device\\HarddiskVolume1\\app.exe";
    UNICODE_STRING imageUs{static_cast<USHORT>(image.size() * 2), static_cast<USHORT>(image.size() * 2), image.data()};
    const uint64_t sendsBefore = sim::CallCount("FltSendMessage");
    const uint64_t allocsBefore = sim::CallCount("ExAllocatePoolWithTag");
    int64_t wrong = 0;
    {
        sim::ThreadScope scope(app);
        for (auto _ : state) {
            if (ProcMonSendEvent(&imageUs, nullptr, nullptr, reinterpret_cast<HANDLE>(uintptr_t{12}), TRUE) != 0) {
                ++wrong;
            }
        }
    }
    state.SetItemsProcessed(state.iterations());
    const double n = static_cast<double>(state.iterations());
    state.counters["events_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
    state.counters["FltSendMessage_per_event"] = static_cast<double>(sim::CallCount("FltSendMessage") - sendsBefore) / n;
    state.counters["allocs_per_event"] = static_cast<double>(sim::CallCount("ExAllocatePoolWithTag") - allocsBefore) / n;
    state.counters["missed_verdicts"] = static_cast<double>(wrong);
    stop.store(true);
    responder.join();
    client.Disconnect();
    sim::StopDriver(driver);
    sim::user::EndProcess(app);
    sim::user::EndProcess(clientProcess);
}

BENCHMARK(EventRoundTrip)->UseRealTime();

}  // namespace
