// Events per second through the port: a reporting thread sends process events
// and an in-process client receives and answers each. The simulated kernel's
// counters are reported beside the time, and the CPU both threads spent per
// event.
//
// Beside it, the floor: two host threads handing a message of the same size
// back and forth, each blocking until the other answers, as the sender and the
// client of a port must. The round trip cannot beat it on the same machine.
#include "channel/send.h"
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/ke/core.h"
#include "sim/io/io.h"
#include "sim/user/process.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The size of a process event as the driver sends it for the image path below
// (header, ids, and the path), rounded up.
constexpr size_t kFloorMessageBytes = 256;

void Floor(benchmark::State& state) {
    std::mutex lock;
    std::condition_variable toClient;
    std::condition_variable toSender;
    unsigned char slot[kFloorMessageBytes];
    bool posted = false;
    bool answered = false;
    bool stop = false;
    std::atomic<double> clientCpu{0};
    std::thread client([&] {
        const double start = ThreadCpuSeconds();
        unsigned char received[kFloorMessageBytes];
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            toClient.wait(guard, [&] { return posted || stop; });
            if (stop) {
                break;
            }
            std::memcpy(received, slot, sizeof(received));
            benchmark::DoNotOptimize(received);
            posted = false;
            answered = true;
            toSender.notify_one();
        }
        clientCpu.store(ThreadCpuSeconds() - start);
    });
    unsigned char message[kFloorMessageBytes];
    std::memset(message, 0x5A, sizeof(message));
    const double senderStart = ThreadCpuSeconds();
    for (auto _ : state) {
        std::unique_lock<std::mutex> guard(lock);
        std::memcpy(slot, message, sizeof(message));
        posted = true;
        toClient.notify_one();
        toSender.wait(guard, [&] { return answered; });
        answered = false;
    }
    const double senderCpu = ThreadCpuSeconds() - senderStart;
    {
        std::lock_guard<std::mutex> guard(lock);
        stop = true;
        toClient.notify_one();
    }
    client.join();
    const double n = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["cpu_ns_per_event"] = (senderCpu + clientCpu.load()) * 1e9 / n;
}

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
    std::atomic<double> responderCpu{0};
    std::thread responder([&] {
        const double start = ThreadCpuSeconds();
        vetrona::client::Message m;
        while (!stop.load()) {
            if (client.Receive(&m, 100) == vetrona::client::kOk) {
                client.Reply(m, 0);
            }
        }
        responderCpu.store(ThreadCpuSeconds() - start);
    });
    std::u16string image = u"\\Device\\HarddiskVolume1\\app.exe";
    UNICODE_STRING imageUs{static_cast<USHORT>(image.size() * 2), static_cast<USHORT>(image.size() * 2), image.data()};
    const uint64_t sendsBefore = sim::CallCount("FltSendMessage");
    const uint64_t allocsBefore = sim::CallCount("ExAllocatePoolWithTag");
    int64_t wrong = 0;
    const double senderStart = ThreadCpuSeconds();
    {
        sim::ThreadScope scope(app);
        for (auto _ : state) {
            if (ProcMonSendEvent(&imageUs, nullptr, nullptr, reinterpret_cast<HANDLE>(uintptr_t{12}), TRUE) != 0) {
                ++wrong;
            }
        }
    }
    const double senderCpu = ThreadCpuSeconds() - senderStart;
    state.SetItemsProcessed(state.iterations());
    const double n = static_cast<double>(state.iterations());
    state.counters["events_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
    state.counters["FltSendMessage_per_event"] = static_cast<double>(sim::CallCount("FltSendMessage") - sendsBefore) / n;
    state.counters["allocs_per_event"] = static_cast<double>(sim::CallCount("ExAllocatePoolWithTag") - allocsBefore) / n;
    state.counters["missed_verdicts"] = static_cast<double>(wrong);
    stop.store(true);
    responder.join();
    // The responder's share includes its last wait for a message that does not
    // come (at most one receive timeout): small against a run of many events.
    state.counters["sender_cpu_ns_per_event"] = senderCpu * 1e9 / n;
    state.counters["cpu_ns_per_event"] = (senderCpu + responderCpu.load()) * 1e9 / n;
    client.Disconnect();
    sim::StopDriver(driver);
    sim::user::EndProcess(app);
    sim::user::EndProcess(clientProcess);
}

BENCHMARK(Floor)->Name("RoundTrip/floor")->UseRealTime();
BENCHMARK(EventRoundTrip)->Name("RoundTrip/event")->UseRealTime();

}  // namespace
