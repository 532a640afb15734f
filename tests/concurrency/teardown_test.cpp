// The whole driver is unloaded while every kind of callback is busy: file
// operations blocked in sends to a slow client, process starts and exits,
// registry changes, a deferred process event and a backup copy. The unload
// completes, the blocked senders are cut off with STATUS_PORT_DISCONNECTED,
// no callback runs once the unload returned, nothing is left behind and no
// file the workload wrote is damaged. Run under ThreadSanitizer too.
#include "tests/support/filemon_fixture.h"

#include "channel/send.h"
#include "driver/driver_data.h"
#include "sim/flt/flt.h"
#include "sim/fs/fs.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace std::chrono_literals;

class TeardownTest : public vtest::FileMonTest {};

std::string Content(int worker, int round) {
    return "worker " + std::to_string(worker) + " round " + std::to_string(round) + " " +
           std::string(3000 + 700 * worker + 31 * round, static_cast<char>('a' + worker));
}

TEST_F(TeardownTest, UnloadWhileEveryCallbackIsInFlight) {
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    SetProcMon(true);
    SetRegMon(true);

    // A slow client: every answer takes a while, closes of modified files ask
    // for a backup copy.
    StopResponder();
    StartResponder([](const std::vector<uint8_t>& body) {
        std::this_thread::sleep_for(3ms);
        EventHeader header;
        std::memcpy(&header, body.data(), sizeof(header));
        if (header.Class == EVENT_CLASS_FILE) {
            FileEvent event;
            std::memcpy(&event, body.data(), sizeof(event));
            if (event.Operation == FileOpCloseModified) {
                return int32_t{VerdictBackup};
            }
        }
        return int32_t{0};
    });

    std::atomic<bool> stop{false};
    std::mutex writtenLock;
    std::map<std::string, std::string> written;  // host file -> content its writer saw accepted
    std::vector<std::thread> workers;

    // File writers: each round creates, writes and closes a file of its own.
    constexpr int kWriters = 3;
    for (int w = 0; w < kWriters; ++w) {
        workers.emplace_back([&, w] {
            for (int round = 0; !stop.load() && round < 2000; ++round) {
                const std::string name = "w" + std::to_string(w) + "_" + std::to_string(round) + ".txt";
                const std::string content = Content(w, round);
                if (CreateWriteClose(u"C:\\" + sim::fs::FromHost(name), content) == STATUS_SUCCESS) {
                    std::lock_guard<std::mutex> guard(writtenLock);
                    written[HostC(name).string()] = content;
                }
            }
        });
    }
    // Children of the watched program start and exit.
    std::atomic<int> children{0};
    workers.emplace_back([&] {
        for (int round = 0; !stop.load() && round < 100000; ++round) {
            _EPROCESS* child = sim::user::StartProcess(app_, u"\\Device\\HarddiskVolume1\\Apps\\child.exe");
            if (child != nullptr) {
                ++children;
                sim::user::EndProcess(child);
            }
        }
    });
    // Registry values change under a key of the watched program.
    std::atomic<int> values{0};
    workers.emplace_back([&] {
        HANDLE key = nullptr;
        if (sim::user::CreateKey(app_, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Teardown", KEY_ALL_ACCESS, &key) !=
            STATUS_SUCCESS) {
            ADD_FAILURE() << "the key could not be created";
            return;
        }
        for (ULONG round = 0; !stop.load() && round < 100000; ++round) {
            if (sim::user::SetValueKey(app_, key, u"Counter", REG_DWORD, &round, sizeof(round)) == STATUS_SUCCESS) {
                ++values;
            }
        }
        sim::user::CloseHandle(app_, key);
    });
    // A terminating thread's process events go to work items (one at a time
    // keeps the worker threads few).
    std::atomic<int> deferred{0};
    workers.emplace_back([&] {
        sim::ThreadScope scope(app_);
        sim::user::SetThreadTerminating(scope.thread(), true);
        std::u16string imageText = u"\\Device\\HarddiskVolume1\\Apps\\late.exe";
        UNICODE_STRING image{static_cast<USHORT>(imageText.size() * 2), static_cast<USHORT>(imageText.size() * 2),
                             imageText.data()};
        for (int round = 0; !stop.load() && round < 100000; ++round) {
            // This thread stands for a process notification, and the unload
            // waits for a notification in flight before the filter goes. The
            // thread gets the same from the deferred events' rundown, which the
            // unload runs down at that point; without it, a send that passed the
            // port check just before the unload could reach FltSendMessage after
            // FltUnregisterFilter returned (the model stopped with 0xF5 once).
            if (!ExAcquireRundownProtection(&DriverData.DeferredEvents)) {
                break;
            }
            const uint64_t queued = sim::CallCount("IoQueueWorkItem");
            (void)ProcMonSendEvent(&image, nullptr, reinterpret_cast<HANDLE>(uintptr_t{8}),
                                   reinterpret_cast<HANDLE>(uintptr_t{996}), TRUE);
            if (sim::CallCount("IoQueueWorkItem") != queued) {
                ++deferred;
            }
            ExReleaseRundownProtection(&DriverData.DeferredEvents);
            sim::DrainWorkItems();
        }
    });

    // Let every kind of event reach the client, then unload with the senders
    // still queued behind the slow client.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    auto busy = [&] {
        std::set<uint32_t> classes;
        for (const vtest::ReceivedMessage& message : Messages()) {
            EventHeader header;
            std::memcpy(&header, message.body.data(), sizeof(header));
            classes.insert(header.Class);
        }
        return classes.size() == 3 && sim::CallCount("FltWriteFile") > 0;
    };
    while (!busy() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(busy()) << "file, process and registry events and a backup copy before the unload";

    // The client's control handle would hold the unload back until it closes.
    CloseCachedControlHandles();
    EXPECT_EQ(StopWhileConnected(), STATUS_SUCCESS);
    EXPECT_TRUE(sim::LoadedDrivers().empty()) << "the unload completed";
    EXPECT_EQ(sim::DriverCallbacksRunning(), 0) << "a callback still ran after the unload returned";
    const uint64_t calledAtUnload = sim::DriverCallbacksCalled();
    const std::map<NTSTATUS, uint64_t> results = sim::flt::SendResults();

    // The workload goes on for a while with no driver.
    std::this_thread::sleep_for(30ms);
    stop.store(true);
    for (std::thread& worker : workers) {
        worker.join();
    }
    sim::DrainWorkItems();
    EXPECT_EQ(sim::DriverCallbacksCalled(), calledAtUnload) << "a callback ran after its registration was gone";

    auto count = [&](NTSTATUS status) {
        auto it = results.find(status);
        return it == results.end() ? uint64_t{0} : it->second;
    };
    EXPECT_GT(count(STATUS_PORT_DISCONNECTED), 0u) << "senders queued behind the slow client are cut off";
    for (const auto& [status, calls] : results) {
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_PORT_DISCONNECTED || status == STATUS_THREAD_IS_TERMINATING)
            << "FltSendMessage returned 0x" << std::hex << status << " " << std::dec << calls << " time(s)";
    }

    EXPECT_EQ(sim::pool::LiveBlocks(), 0u) << sim::pool::Report();
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);
    EXPECT_LE(sim::ob::CallerReferences(), 0);
    EXPECT_TRUE(sim::LastLeftoverReport().empty());

    // Every file a writer saw accepted holds what it wrote; every backup copy
    // is a whole copy of one of them.
    std::set<std::string> contents;
    for (const auto& [path, content] : written) {
        EXPECT_EQ(ReadHost(path), content) << path;
        contents.insert(content);
    }
    size_t backups = 0;
    for (const auto& entry : std::filesystem::directory_iterator(HostC("backup"))) {
        ++backups;
        EXPECT_EQ(contents.count(ReadHost(entry.path())), 1u) << "backup " << entry.path() << " is not a whole copy";
    }
    EXPECT_GT(written.size(), 0u);
    EXPECT_GT(children.load(), 0);
    EXPECT_GT(values.load(), 0);
    EXPECT_GT(deferred.load(), 0);
    std::printf("teardown: %zu files written, %zu backups, %d children, %d value changes, %d deferred events, "
                "%llu sends cut off, %llu answered\n",
                written.size(), backups, children.load(), values.load(), deferred.load(),
                static_cast<unsigned long long>(count(STATUS_PORT_DISCONNECTED)),
                static_cast<unsigned long long>(count(STATUS_SUCCESS)));
}

// The senders the Filter Manager does not drain (the registry callback, a
// process notification, a deferred process event's work item) are each
// paused inside FltSendMessage while the unload starts: the unload must wait
// for them before the filter is unregistered, or their send would run on a
// filter already gone.
class UnloadOrderTest : public vtest::FileMonTest {
protected:
    // Arms a pause at the `skip`+1-th FltSendMessage from now, runs `trigger`
    // and checks that the unload started during the pause had not reached
    // FltUnregisterFilter when the pause ended.
    void PauseASendAndUnload(int skip, const std::function<void()>& trigger) {
        CloseCachedControlHandles();
        std::atomic<bool> paused{false};
        std::atomic<bool> unregisteredDuringPause{true};
        std::thread unload;
        NTSTATUS unloadStatus = STATUS_UNSUCCESSFUL;
        const uint64_t unregistered = sim::CallCount("FltUnregisterFilter");
        std::function<void()> pause = [&] {
            unload = std::thread([&] { unloadStatus = StopWhileConnected(); });
            paused = true;
            // Long enough for an unload that does not wait to get past
            // FltUnregisterFilter.
            const auto until = std::chrono::steady_clock::now() + 300ms;
            while (std::chrono::steady_clock::now() < until &&
                   sim::CallCount("FltUnregisterFilter") == unregistered) {
                std::this_thread::sleep_for(2ms);
            }
            unregisteredDuringPause = sim::CallCount("FltUnregisterFilter") != unregistered;
        };
        std::atomic<int> toSkip{skip};
        std::function<void()> arm = [&] {
            if (toSkip.fetch_sub(1) > 0) {
                sim::OnNextCall("FltSendMessage", arm);
            } else {
                pause();
            }
        };
        sim::OnNextCall("FltSendMessage", arm);
        trigger();
        sim::DrainWorkItems();
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!paused.load() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_TRUE(paused.load()) << "no send reached FltSendMessage";
        unload.join();
        EXPECT_EQ(unloadStatus, STATUS_SUCCESS);
        EXPECT_FALSE(unregisteredDuringPause.load()) << "the filter was unregistered while a send was in flight";
        EXPECT_TRUE(sim::LoadedDrivers().empty());
    }
};

TEST_F(UnloadOrderTest, TheRegistryCallbacksSendIsWaitedFor) {
    SetRegMon(true);
    HANDLE key = nullptr;
    PauseASendAndUnload(0, [&] {
        ASSERT_EQ(sim::user::CreateKey(app_, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\UnloadOrder", KEY_ALL_ACCESS, &key),
                  STATUS_SUCCESS);
        const ULONG value = 1;
        (void)sim::user::SetValueKey(app_, key, u"Counter", REG_DWORD, &value, sizeof(value));
    });
    if (key != nullptr) {
        sim::user::CloseHandle(app_, key);
    }
}

TEST_F(UnloadOrderTest, AProcessNotificationsSendIsWaitedFor) {
    SetProcMon(true);
    _EPROCESS* child = nullptr;
    PauseASendAndUnload(0, [&] { child = sim::user::StartProcess(app_, u"\\Device\\HarddiskVolume1\\Apps\\child.exe"); });
    if (child != nullptr) {
        sim::user::EndProcess(child);
    }
}

TEST_F(UnloadOrderTest, ADeferredProcessEventsSendIsWaitedFor) {
    SetProcMon(true);
    // The first send is refused on the terminating thread; the second is the
    // work item's.
    PauseASendAndUnload(1, [&] {
        sim::ThreadScope scope(app_);
        sim::user::SetThreadTerminating(scope.thread(), true);
        std::u16string imageText = u"\\Device\\HarddiskVolume1\\Apps\\late.exe";
        UNICODE_STRING image{static_cast<USHORT>(imageText.size() * 2), static_cast<USHORT>(imageText.size() * 2),
                             imageText.data()};
        ASSERT_TRUE(ExAcquireRundownProtection(&DriverData.DeferredEvents));
        (void)ProcMonSendEvent(&image, nullptr, reinterpret_cast<HANDLE>(uintptr_t{8}),
                               reinterpret_cast<HANDLE>(uintptr_t{996}), FALSE);
        ExReleaseRundownProtection(&DriverData.DeferredEvents);
    });
}

}  // namespace
