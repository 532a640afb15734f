// Many reporting threads at once, one client answering them all: each sender
// must get the verdict meant for its own message.
#include "tests/support/fixture.h"

#if VTEST_USER_SIDE
#include "channel/send.h"
#include "client/lib/client.h"
#include "driver/tags.h"
#include "sim/io/io.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

class SendManyTest : public vtest::DriverTest {};

TEST_F(SendManyTest, EverySenderGetsTheVerdictForItsOwnMessage) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 25;
    _EPROCESS* client = Client();
    std::vector<_EPROCESS*> apps;
    for (int i = 0; i < kThreads; ++i) {
        apps.push_back(StartProcess());
    }
    vetrona::client::Client library(client);
    ASSERT_EQ(library.Connect(), vetrona::client::kOk);

    // The client answers each message with a verdict derived from its process
    // id, so a verdict delivered to the wrong sender shows.
    std::atomic<int> answered{0};
    std::thread responder([&] {
        while (answered.load() < kThreads * kPerThread) {
            vetrona::client::Message m;
            if (library.Receive(&m, 2000) != vetrona::client::kOk) {
                break;
            }
            auto decoded = m.Decode();
            if (!decoded.ok()) {
                ADD_FAILURE() << "undecodable message";
                break;
            }
            const uint32_t pid = std::get<vetrona::client::ProcessEventView>(decoded.event).processId;
            library.Reply(m, static_cast<Verdict>((pid / 4) % 4));
            answered.fetch_add(1);
        }
    });

    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            sim::ThreadScope scope(apps[t]);
            for (int i = 0; i < kPerThread; ++i) {
                const uintptr_t pid = 4u * static_cast<uintptr_t>(1000 + t * kPerThread + i);
                Verdict v = ProcMonSendEvent(nullptr, nullptr, nullptr, reinterpret_cast<HANDLE>(pid), FALSE);
                if (v != static_cast<Verdict>((pid / 4) % 4)) {
                    wrong.fetch_add(1);
                }
            }
        });
    }
    for (auto& s : senders) {
        s.join();
    }
    responder.join();
    EXPECT_EQ(answered.load(), kThreads * kPerThread);
    EXPECT_EQ(wrong.load(), 0);
    library.Disconnect();
    EXPECT_EQ(sim::pool::LiveByTag().count(TagMessage), 0u);
}

}  // namespace
#endif
