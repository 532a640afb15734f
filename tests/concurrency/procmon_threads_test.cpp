// Many processes starting and exiting at once under watched parents, while
// the client answers every event (refusing some starts) and now and then
// clears the watched set and adds the roots back. Every start's result must
// match the verdict the client gave, no start may be reported twice, and
// nothing may be left behind.
#include "tests/support/fixture.h"

#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/io/io.h"
#include "sim/user/process.h"

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

constexpr char16_t kRoot[] = u"\\Device\\HarddiskVolume1\\Windows\\System32\\cmd.exe";
constexpr char16_t kChild[] = u"\\Device\\HarddiskVolume1\\Tools\\tool.exe";
constexpr char16_t kRefused[] = u"\\Device\\HarddiskVolume1\\Tools\\refused.exe";

class ProcMonThreadsTest : public vtest::DriverTest {};

TEST_F(ProcMonThreadsTest, StartsAndExitsRaceTheClientsAnswersAndClears) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 40;
    vetrona::client::Client library(Client());
    ASSERT_EQ(library.Connect(), vetrona::client::kOk);
    std::vector<_EPROCESS*> roots;
    for (int t = 0; t < kThreads; ++t) {
        roots.push_back(StartWatched(kRoot));
    }
    ASSERT_EQ(library.SetMonitor(vetrona::client::Monitor::Process, 1), vetrona::client::kOk);

    std::atomic<bool> stop{false};
    std::atomic<int> refusedStartsSeen{0};
    std::mutex startsLock;
    std::multiset<uint32_t> startsSeen;
    std::thread responder([&] {
        while (!stop.load()) {
            vetrona::client::Message m;
            if (library.Receive(&m, 20) != vetrona::client::kOk) {
                continue;
            }
            auto decoded = m.Decode();
            Verdict verdict = 0;
            if (const auto* p = decoded.ok() ? std::get_if<vetrona::client::ProcessEventView>(&decoded.event) : nullptr) {
                if (p->isCreate) {
                    std::lock_guard<std::mutex> guard(startsLock);
                    startsSeen.insert(p->processId);
                    if (p->imageName.Utf16() == kRefused) {
                        verdict = VerdictDeny;
                        ++refusedStartsSeen;
                    }
                }
            } else {
                ADD_FAILURE() << "a message that is no process event";
            }
            library.Reply(m, verdict);
        }
    });
    // The client clears the set now and then and adds its roots back.
    std::thread clearer([&] {
        while (!stop.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            library.ClearProcesses();
            for (_EPROCESS* root : roots) {
                library.AddProcess(static_cast<uint32_t>(root->pid));
            }
        }
    });

    std::atomic<int> wrongResults{0};
    std::atomic<int> refusals{0};
    std::vector<std::thread> starters;
    for (int t = 0; t < kThreads; ++t) {
        starters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const bool refuse = i % 5 == 0;
                _EPROCESS* child = nullptr;
                const NTSTATUS status = sim::user::StartProcess(roots[t], refuse ? kRefused : kChild, u"x", false, &child);
                // A refused image is refused whenever its start was reported;
                // a cleared set may have let it through unreported.
                if (status == STATUS_ACCESS_DENIED) {
                    ++refusals;
                    if (!refuse || child != nullptr) {
                        ++wrongResults;
                    }
                } else if (status != STATUS_SUCCESS || child == nullptr) {
                    ++wrongResults;
                }
                if (child != nullptr) {
                    // A grandchild now and then: the tree grows while it is cleared.
                    if (i % 3 == 0) {
                        if (_EPROCESS* grandchild = sim::user::StartProcess(child, kChild, u"y")) {
                            sim::user::EndProcess(grandchild);
                        }
                    }
                    sim::user::EndProcess(child);
                }
            }
        });
    }
    for (auto& starter : starters) {
        starter.join();
    }
    sim::DrainWorkItems();
    stop = true;
    clearer.join();
    responder.join();

    EXPECT_EQ(wrongResults.load(), 0);
    EXPECT_EQ(refusals.load(), refusedStartsSeen.load()) << "every refusal the client gave refused a start";
    EXPECT_GT(refusals.load(), 0);
    library.Disconnect();
    // Ids are reused, so a pid may start twice; a start must still not be
    // reported more often than processes were started.
    EXPECT_LE(startsSeen.size(), static_cast<size_t>(kThreads * kPerThread * 2));
    for (_EPROCESS* root : roots) {
        EndProcess(root);
    }
    sim::DrainWorkItems();
}

}  // namespace
