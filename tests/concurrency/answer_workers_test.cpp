// Several answer workers on one port: every message decided once, each sender
// gets the verdict meant for its own message, and the messages of one sender
// are decided in the order it sent them.
#include "tests/support/fixture.h"

#if VTEST_USER_SIDE
#include "channel/send.h"
#include "client/lib/workers.h"
#include "driver/tags.h"
#include "sim/io/io.h"

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

class AnswerWorkersTest : public vtest::DriverTest {};

TEST_F(AnswerWorkersTest, EveryMessageIsDecidedOnceInEachSendersOrder) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    std::vector<_EPROCESS*> apps;
    for (int i = 0; i < kThreads; ++i) {
        apps.push_back(StartProcess());
    }
    vetrona::client::Client library(Client());
    ASSERT_EQ(library.Connect(), vetrona::client::kOk);

    // Decided under the workers' lock: plain containers, no atomics.
    int decided = 0;
    std::map<uint32_t, int> seen;       // pid -> times decided
    std::map<int, uint32_t> lastOfSender;  // sender -> last pid decided
    int outOfOrder = 0;
    int granted = 0;
    std::thread workers([&] {
        const vetrona::client::HResult hr = vetrona::client::AnswerWorkers::Run(
            library, 4,
            [&](const vetrona::client::Message& m) {
                auto decoded = m.Decode();
                if (!decoded.ok()) return static_cast<Verdict>(VerdictNone);
                const uint32_t pid = std::get<vetrona::client::ProcessEventView>(decoded.event).processId;
                ++decided;
                ++seen[pid];
                const int sender = static_cast<int>(pid / 4 - 1000) / kPerThread;
                auto last = lastOfSender.find(sender);
                if (last != lastOfSender.end() && last->second >= pid) ++outOfOrder;
                lastOfSender[sender] = pid;
                return static_cast<Verdict>((pid / 4) % 4);
            },
            [&](bool) { return decided >= kThreads * kPerThread; }, &granted, 50);
        EXPECT_EQ(hr, vetrona::client::kOk);
    });

    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            sim::ThreadScope scope(apps[t]);
            for (int i = 0; i < kPerThread; ++i) {
                const uintptr_t pid = 4u * static_cast<uintptr_t>(1000 + t * kPerThread + i);
                const Verdict v = ProcMonSendEvent(nullptr, nullptr, nullptr, reinterpret_cast<HANDLE>(pid), FALSE);
                if (v != static_cast<Verdict>((pid / 4) % 4)) wrong.fetch_add(1);
            }
        });
    }
    for (auto& s : senders) s.join();
    workers.join();
    EXPECT_EQ(granted, 4);
    EXPECT_EQ(decided, kThreads * kPerThread);
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kPerThread));
    for (const auto& [pid, times] : seen) EXPECT_EQ(times, 1) << "pid " << pid;
    EXPECT_EQ(outOfOrder, 0);
    EXPECT_EQ(wrong.load(), 0);
    library.Disconnect();
    EXPECT_EQ(sim::pool::LiveByTag().count(TagMessage), 0u);
}

}  // namespace
#endif
