// Process notifications: the watched set grows with the starts of watched
// processes' children and shrinks with their exits; starts and exits are
// reported, and a start can be refused through the extended notification.
#include "channel/send.h"
#include "client/lib/client.h"
#include "client/lib/decode.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "procmon/procmon.h"
#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/ex/pool.h"
#include "sim/user/process.h"
#include "tests/support/fixture.h"
#include "tests/support/procmon_reference.h"

#include <chrono>
#include <map>
#include <optional>
#include <thread>

namespace {

using vtest::DriverTest;

constexpr char16_t kShell[] = u"\\Device\\HarddiskVolume1\\Windows\\System32\\cmd.exe";
constexpr char16_t kTool[] = u"\\Device\\HarddiskVolume1\\Tools\\tool.exe";
constexpr char16_t kHelper[] = u"\\Device\\HarddiskVolume1\\Tools\\helper.exe";

// One process event as the client decoded it.
struct Event {
    uint32_t pid = 0;
    uint32_t parent = 0;
    bool create = false;
    std::u16string image;
    std::u16string commandLine;
    bool operator==(const Event&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
    std::string image(e.image.begin(), e.image.end()), command(e.commandLine.begin(), e.commandLine.end());
    return out << (e.create ? "start" : "exit") << " pid " << e.pid << " parent " << e.parent << " image \"" << image
               << "\" command \"" << command << "\"";
}

std::optional<Event> Decode(const std::vector<uint8_t>& body) {
    auto decoded = vetrona::client::DecodeEvent(body);
    if (decoded.error != vetrona::client::DecodeError::None) {
        return std::nullopt;
    }
    const auto* view = std::get_if<vetrona::client::ProcessEventView>(&decoded.event);
    if (view == nullptr) {
        return std::nullopt;
    }
    return Event{view->processId, view->parentProcessId, view->isCreate, view->imageName.Utf16(), view->commandLine.Utf16()};
}

// The verdict the responder gives to a start, per child image (else 0).
class ProcMonTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        if (HasFatalFailure() || !loaded()) {
            return;
        }
        StartResponder([this](const std::vector<uint8_t>& body) { return Answer(body); });
        SetProcMon(true);
    }

    virtual int32_t Answer(const std::vector<uint8_t>& body) {
        auto event = Decode(body);
        if (event && event->create && denyImage_ && event->image == *denyImage_) {
            return VerdictDeny;
        }
        return startVerdict_;
    }

    std::vector<Event> Events() {
        std::vector<Event> events;
        for (const auto& message : Messages()) {
            auto event = Decode(message.body);
            EXPECT_TRUE(event.has_value()) << "a message that is no process event";
            if (event) {
                events.push_back(*event);
            }
        }
        return events;
    }

    // Exits are sent from a system worker thread once the exiting thread is
    // gone: wait for the queue to drain, then for the client.
    std::vector<Event> EventsAfterWork(size_t expected) {
        sim::DrainWorkItems();
        EXPECT_TRUE(WaitForMessages(expected)) << "expected " << expected << " messages";
        return Events();
    }

    static bool Listed(ULONG pid) { return IdListHasPid(&DriverData.ProcessList, pid) != FALSE; }

    // A child start through the user side; the status the creator got.
    NTSTATUS Spawn(_EPROCESS* parent, std::u16string_view image, std::u16string_view commandLine, _EPROCESS** child) {
        NTSTATUS status = sim::user::StartProcess(parent, image, commandLine, false, child);
        if (*child != nullptr) {
            spawned_.push_back(*child);
        }
        return status;
    }

    void TearDown() override {
        for (auto it = spawned_.rbegin(); it != spawned_.rend(); ++it) {
            if (!(*it)->exited) {
                sim::user::EndProcess(*it);
            }
        }
        DriverTest::TearDown();
    }

    std::vector<_EPROCESS*> spawned_;
    std::optional<std::u16string> denyImage_;
    std::atomic<int32_t> startVerdict_{0};
};

TEST_F(ProcMonTest, TheTreeGrowsOverThreeGenerationsAndShrinksAtEachExit) {
    _EPROCESS* shell = StartWatched(kShell);
    _EPROCESS *tool = nullptr, *helper = nullptr;
    ASSERT_EQ(Spawn(shell, kTool, u"tool.exe --all", &tool), STATUS_SUCCESS);
    ASSERT_EQ(Spawn(tool, kHelper, u"helper.exe -q", &helper), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(2));
    EXPECT_TRUE(Listed(Pid(tool)));
    EXPECT_TRUE(Listed(Pid(helper)));
    EXPECT_EQ(Events(), (std::vector<Event>{{Pid(tool), Pid(shell), true, kTool, u"tool.exe --all"},
                                            {Pid(helper), Pid(tool), true, kHelper, u"helper.exe -q"}}));

    ClearMessages();
    // Each exit's event is sent by a worker thread; one at a time keeps their order.
    ASSERT_EQ(sim::user::EndProcess(helper), STATUS_SUCCESS);
    EXPECT_FALSE(Listed(Pid(helper))) << "the exit leaves the set before its event is sent";
    sim::DrainWorkItems();
    ASSERT_EQ(sim::user::EndProcess(tool), STATUS_SUCCESS);
    sim::DrainWorkItems();
    EndProcess(shell);
    EXPECT_FALSE(Listed(Pid(tool)));
    EXPECT_FALSE(Listed(Pid(shell)));
    // The extended exit reports parent 0 and no command line.
    auto events = EventsAfterWork(3);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], (Event{Pid(helper), 0, false, kHelper, u""}));
    EXPECT_EQ(events[1], (Event{Pid(tool), 0, false, kTool, u""}));
    EXPECT_EQ(events[2], (Event{Pid(shell), 0, false, kShell, u""}));
}

// Every verdict at a start through the extended notification: 1 refuses it,
// anything else lets the child start and joins it to the set.
class ProcMonVerdictTest : public ProcMonTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(ProcMonVerdictTest, OnlyADenyRefusesTheStart) {
    startVerdict_ = GetParam();
    _EPROCESS* shell = StartWatched(kShell);
    _EPROCESS* child = nullptr;
    const NTSTATUS status = Spawn(shell, kTool, u"tool.exe", &child);
    ASSERT_TRUE(WaitForMessages(1));
    if (GetParam() == VerdictDeny) {
        EXPECT_EQ(status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(child, nullptr) << "the process never exists";
        const ULONG refusedPid = Events().at(0).pid;
        EXPECT_FALSE(Listed(refusedPid));
        PEPROCESS found = nullptr;
        EXPECT_EQ(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(uintptr_t{refusedPid}), &found), STATUS_INVALID_CID);
    } else {
        EXPECT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(child, nullptr);
        EXPECT_TRUE(Listed(Pid(child)));
    }
}

INSTANTIATE_TEST_SUITE_P(Verdicts, ProcMonVerdictTest, ::testing::Values(VerdictDeny, 0, 2, VerdictBackup, VerdictNone, 7),
                         [](const auto& info) { return "Reply" + std::to_string(info.param < 0 ? 100 - info.param : info.param); });

TEST_F(ProcMonTest, WithoutAClientAStartGoesAheadAndTheChildIsWatched) {
    StopResponder();
    Disconnect();
    _EPROCESS* shell = StartWatched(kShell);
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(shell, kTool, u"tool.exe", &child), STATUS_SUCCESS);
    EXPECT_TRUE(Listed(Pid(child)));
}

TEST_F(ProcMonTest, UnwatchedProcessesAreNeitherReportedNorAdded) {
    _EPROCESS* stranger = StartProcess(kShell);
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(stranger, kTool, u"tool.exe", &child), STATUS_SUCCESS);
    ASSERT_EQ(sim::user::EndProcess(child), STATUS_SUCCESS);
    EndProcess(stranger);
    sim::DrainWorkItems();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(Messages().empty());
    EXPECT_TRUE(IdListIsEmpty(&DriverData.ProcessList));
}

// With process monitoring off neither routine touches the set: children are
// not added, and a watched process that exits stays listed. Ids are reused,
// so a later process with that id would be watched: the client clears the set
// (and adds its roots again) when it switches monitoring back on.
TEST_F(ProcMonTest, MonitoringOffLeavesTheSetAloneAndAReusedIdStaysWatchedUntilTheClientClears) {
    _EPROCESS* shell = StartWatched(kShell);
    SetProcMon(false);
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(shell, kTool, u"tool.exe", &child), STATUS_SUCCESS);
    EXPECT_FALSE(Listed(Pid(child)));
    const ULONG shellPid = Pid(shell);
    EndProcess(shell);
    EXPECT_TRUE(Listed(shellPid)) << "the missed exit leaves the id listed";

    SetProcMon(true);
    // The id goes back to the system once the process object is gone; the
    // next process may get it and then counts as watched.
    _EPROCESS* unrelated = StartProcess(kHelper);
    ASSERT_EQ(Pid(unrelated), shellPid) << "the model reuses the most recently freed id first";
    _EPROCESS* grandchild = nullptr;
    ASSERT_EQ(Spawn(unrelated, kTool, u"tool.exe", &grandchild), STATUS_SUCCESS);
    EXPECT_TRUE(Listed(Pid(grandchild)));

    // What the client library offers for it: clear, add the roots, switch on.
    StopResponder();
    Disconnect();
    {
        vetrona::client::Client library(Client());
        ASSERT_EQ(library.Connect(), vetrona::client::kOk);
        ASSERT_EQ(library.SetMonitor(vetrona::client::Monitor::Process, 0), vetrona::client::kOk);
        ASSERT_EQ(library.WatchAfresh({Pid(child)}), vetrona::client::kOk);
    }
    EXPECT_FALSE(Listed(Pid(grandchild)));
    EXPECT_TRUE(Listed(Pid(child)));
    EXPECT_EQ(DriverData.ProcMonEnabled, 1);
    StartResponder();
    _EPROCESS* after = nullptr;
    ClearMessages();
    ASSERT_EQ(Spawn(unrelated, kTool, u"tool.exe", &after), STATUS_SUCCESS);
    EXPECT_FALSE(Listed(Pid(after)));
    sim::DrainWorkItems();
    EXPECT_TRUE(Messages().empty());
}

TEST_F(ProcMonTest, TheClientsOwnChildrenAreReportedWhenItIsWatched) {
    ASSERT_EQ(AddProcess(Pid(Client())), STATUS_SUCCESS);
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(Client(), kTool, u"tool.exe", &child), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(Events().at(0), (Event{Pid(child), Pid(Client()), true, kTool, u"tool.exe"}));
    EXPECT_TRUE(Listed(Pid(child)));
}

TEST_F(ProcMonTest, AStartWithoutACommandLineCarriesNone) {
    _EPROCESS* shell = StartWatched(kShell);
    sim::user::ProcessStart start;
    start.parent = shell;
    start.imagePath = kTool;
    start.commandLine = std::nullopt;
    _EPROCESS* child = nullptr;
    ASSERT_EQ(sim::user::StartProcess(start, &child), STATUS_SUCCESS);
    spawned_.push_back(child);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(Events().at(0), (Event{Pid(child), Pid(shell), true, kTool, u""}));
}

// The reported parent is only what the creator claimed: a start is the
// watched tree's when its parent or its creating process is watched. The
// message keeps the parent the notification gives.
TEST_F(ProcMonTest, TheParentOrTheCreatorBringsAStartIntoTheTree) {
    _EPROCESS* watched = StartWatched(kShell);
    _EPROCESS* broker = StartProcess(kHelper);
    sim::user::ProcessStart start;
    start.parent = watched;
    start.imagePath = kTool;
    start.creatingThread = broker->mainThread;
    _EPROCESS* child = nullptr;
    ASSERT_EQ(sim::user::StartProcess(start, &child), STATUS_SUCCESS);
    spawned_.push_back(child);
    EXPECT_TRUE(Listed(Pid(child)));
    // The responder records a message after answering it: wait for the
    // child's record before clearing the list.
    ASSERT_TRUE(WaitForMessages(1));

    // A watched program names an unwatched process as the parent.
    ClearMessages();
    start.parent = broker;
    start.creatingThread = watched->mainThread;
    _EPROCESS* spoofed = nullptr;
    ASSERT_EQ(sim::user::StartProcess(start, &spoofed), STATUS_SUCCESS);
    spawned_.push_back(spoofed);
    EXPECT_TRUE(Listed(Pid(spoofed)));
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(Events().at(0), (Event{Pid(spoofed), Pid(broker), true, kTool, u""}));

    // Neither watched: not the tree's.
    ClearMessages();
    start.parent = broker;
    start.creatingThread = broker->mainThread;
    _EPROCESS* other = nullptr;
    ASSERT_EQ(sim::user::StartProcess(start, &other), STATUS_SUCCESS);
    spawned_.push_back(other);
    EXPECT_FALSE(Listed(Pid(other)));
    EXPECT_TRUE(Events().empty());
}

TEST_F(ProcMonTest, AStartUnderAClaimedParentCanBeRefused) {
    _EPROCESS* watched = StartWatched(kShell);
    _EPROCESS* explorer = StartProcess(kHelper);
    StopResponder();
    StartResponder([](const std::vector<uint8_t>&) { return VerdictDeny; });
    sim::user::ProcessStart start;
    start.parent = explorer;
    start.imagePath = kTool;
    start.creatingThread = watched->mainThread;
    _EPROCESS* child = nullptr;
    EXPECT_EQ(sim::user::StartProcess(start, &child), STATUS_ACCESS_DENIED);
    EXPECT_EQ(child, nullptr);
}

// Any step of the image-name query that fails: the event goes out without an
// image name, everything else as usual, nothing leaks.
struct ImageNameFault {
    const char* name;
    std::function<void()> inject;
};

class ProcMonImageNameFaultTest : public ProcMonTest, public ::testing::WithParamInterface<ImageNameFault> {};

TEST_P(ProcMonImageNameFaultTest, TheEventGoesOutWithoutAnImageName) {
    _EPROCESS* shell = StartWatched(kShell);
    GetParam().inject();
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(shell, kTool, u"tool.exe", &child), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(Events().at(0), (Event{Pid(child), Pid(shell), true, u"", u"tool.exe"}));
    EXPECT_TRUE(Listed(Pid(child)));
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 0u) << "the process handle is closed";

    ClearMessages();
    GetParam().inject();
    ASSERT_EQ(sim::user::EndProcess(child), STATUS_SUCCESS);
    EXPECT_EQ(EventsAfterWork(1).at(0), (Event{Pid(child), 0, false, u"", u""}));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProcMonImageNameFaultTest,
    ::testing::Values(ImageNameFault{"Lookup", [] { sim::InjectFailure("PsLookupProcessByProcessId", STATUS_INVALID_CID); }},
                      ImageNameFault{"Open", [] { sim::InjectFailure("ObOpenObjectByPointer", STATUS_INSUFFICIENT_RESOURCES); }},
                      ImageNameFault{"SizeQuery", [] { sim::InjectFailure("ZwQueryInformationProcess", STATUS_ACCESS_DENIED); }},
                      ImageNameFault{"Allocation", [] { sim::pool::FailTag(TagImageName); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProcMonTest, ImageNameQueryKeepsToItsContract) {
    _EPROCESS* app = StartProcess(kTool);
    PUNICODE_STRING name = nullptr;
    EXPECT_EQ(ProcMonGetImageName(reinterpret_cast<HANDLE>(app->pid), nullptr), STATUS_INVALID_PARAMETER);
    PUNICODE_STRING occupied = reinterpret_cast<PUNICODE_STRING>(uintptr_t{0x1000});
    EXPECT_EQ(ProcMonGetImageName(reinterpret_cast<HANDLE>(app->pid), &occupied), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ProcMonGetImageName(reinterpret_cast<HANDLE>(uintptr_t{0x7FF0}), &name), STATUS_INVALID_CID);
    EXPECT_EQ(name, nullptr);

    // Asked from inside the process itself, as an exit notification is: the
    // handle is a kernel handle, never one of the process's own.
    {
        sim::ThreadScope scope(app, sim::InThread::Main);
        const uint64_t kernelOpens = sim::CallCount("ObOpenObjectByPointer:kernel-handle");
        ASSERT_EQ(ProcMonGetImageName(reinterpret_cast<HANDLE>(app->pid), &name), STATUS_SUCCESS);
        EXPECT_EQ(sim::CallCount("ObOpenObjectByPointer:kernel-handle"), kernelOpens + 1);
    }
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::u16string(name->Buffer, name->Length / 2), kTool);
    EXPECT_EQ(sim::pool::LiveByTag().count(TagImageName), 1u);
    ExFreePoolWithTag(name, TagImageName);
    EXPECT_EQ(sim::ob::HandleCount(app), 0u);
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 0u);
}

// A watched process's exit runs in its last thread, which is terminating: the
// send there fails at once and the same event reaches the client later from a
// system worker thread. Unload waits for that worker.
TEST_F(ProcMonTest, AnExitFromTheTerminatingThreadIsDeliveredLaterAndUnloadWaitsForIt) {
    std::atomic<bool> release{false};
    std::atomic<int> exitsSeen{0};
    StartResponder([&](const std::vector<uint8_t>& body) {
        auto event = Decode(body);
        if (event && !event->create) {
            ++exitsSeen;
            while (!release.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
        return 0;
    });
    _EPROCESS* shell = StartWatched(kShell);
    const ULONG pid = Pid(shell);
    const uint64_t sendsBefore = sim::CallCount("FltSendMessage");
    const uint64_t queuedBefore = sim::CallCount("IoQueueWorkItem");
    EndProcess(shell);
    // The exit notification has returned; its send failed in the exiting
    // thread and the event went to a worker (which may already be sending).
    EXPECT_EQ(sim::CallCount("IoQueueWorkItem"), queuedBefore + 1);
    for (int i = 0; i < 5000 && exitsSeen.load() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(exitsSeen.load(), 1) << "the worker's send reached the client";
    EXPECT_EQ(sim::CallCount("FltSendMessage"), sendsBefore + 2) << "one send in the exiting thread, one by the worker";
    EXPECT_EQ(sim::pool::LiveByTag().count(TagDeferredEvent), 1u) << "the deferred record lives while it is sent";

    // Unload while the worker still waits for the reply: it returns only once
    // the event has been answered, and nothing is left behind.
    std::atomic<bool> stopped{false};
    std::thread unload([&] {
        EXPECT_EQ(StopWhileConnected(), STATUS_SUCCESS);
        stopped = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(stopped.load()) << "unload did not wait for the deferred event";
    const uint64_t repliesBefore = sim::flt::Stats().replies;
    release = true;
    unload.join();
    EXPECT_TRUE(stopped.load());
    // The port was still there for the answer: the worker's exchange completed.
    EXPECT_EQ(sim::flt::Stats().replies, repliesBefore + 1);
    // The responder notes a message just after its reply: wait for the note.
    ASSERT_TRUE(WaitForMessages(1));
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], (Event{pid, 0, false, kShell, u""}));
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);
}

// Unloading while watched processes start and exit in other threads: the
// routine's removal waits for the calls in flight, the deferred events are
// sent before the port and the filter go, and the machine stays sound.
TEST_F(ProcMonTest, UnloadWhileStartsAndExitsAreInFlight) {
    StartResponder([](const std::vector<uint8_t>&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 0;
    });
    _EPROCESS* root = StartWatched(kShell);
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            while (!stop.load()) {
                _EPROCESS* child = sim::user::StartProcess(root, kTool, u"tool.exe");
                if (child != nullptr) {
                    sim::user::EndProcess(child);
                }
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Stop();
    EXPECT_EQ(sim::ps::NotifyRoutineCount(), 0u);
    EXPECT_EQ(sim::io::LiveWorkItems(), 0u);
    stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_GT(Messages().size(), 0u);
}

// Testing membership before fetching the image name changes nothing a client
// or the watched set can see: the same workload through the driver's routine
// and through the image-name-first one gives the same events, verdicts, start
// results and set; only the cost of unwatched processes differs.
TEST_F(ProcMonTest, AskingFirstGivesTheSameResultsForLessWork) {
    denyImage_ = kHelper;
    struct Outcome {
        std::vector<Event> events;
        std::vector<NTSTATUS> starts;
        std::vector<bool> listed;
        uint64_t lookups = 0;
        uint64_t allocations = 0;
    };
    auto run = [&](bool reference) {
        vtest::UseReferenceProcessNotification(reference);
        ClearMessages();
        EXPECT_EQ(ClearProcesses(), STATUS_SUCCESS);
        Outcome outcome;
        const uint64_t lookups = sim::CallCount("PsLookupProcessByProcessId");
        const uint64_t allocations = sim::CallCount("ExAllocatePoolWithTag");
        _EPROCESS* shell = StartWatched(kShell);
        _EPROCESS* stranger = StartProcess(kShell);
        std::vector<_EPROCESS*> all;
        for (auto [parent, image] : {std::pair{shell, kTool}, {shell, kHelper}, {stranger, kTool}, {stranger, kHelper}}) {
            _EPROCESS* child = nullptr;
            outcome.starts.push_back(Spawn(parent, image, u"x.exe", &child));
            if (child != nullptr) {
                all.push_back(child);
            }
        }
        // One exit at a time: each one's event is sent by a worker thread.
        for (_EPROCESS* child : all) {
            outcome.listed.push_back(Listed(Pid(child)));
            sim::user::EndProcess(child);
            sim::DrainWorkItems();
        }
        EndProcess(stranger);
        EndProcess(shell);
        sim::DrainWorkItems();
        EXPECT_TRUE(WaitForMessages(4));
        outcome.lookups = sim::CallCount("PsLookupProcessByProcessId") - lookups;
        outcome.allocations = sim::CallCount("ExAllocatePoolWithTag") - allocations;
        // The runs may be handed different ids: compare them by order of appearance.
        std::map<uint32_t, uint32_t> ordinal{{0, 0}};
        auto rename = [&](uint32_t pid) { return ordinal.emplace(pid, static_cast<uint32_t>(ordinal.size())).first->second; };
        for (Event e : Events()) {
            e.pid = rename(e.pid);
            e.parent = rename(e.parent);
            outcome.events.push_back(e);
        }
        vtest::UseReferenceProcessNotification(false);
        return outcome;
    };
    Outcome first = run(true);
    Outcome asked = run(false);
    ASSERT_EQ(first.events.size(), 4u) << "two starts (one refused), the started child's exit, the shell's exit";
    EXPECT_EQ(asked.events, first.events);
    EXPECT_EQ(asked.starts, first.starts);
    EXPECT_EQ(asked.listed, first.listed);
    // Image names only for the four watched events, where the other order
    // fetched one for every start and exit.
    EXPECT_EQ(asked.lookups, 4u);
    EXPECT_GT(first.lookups, asked.lookups + 4);
    EXPECT_LT(asked.allocations, first.allocations);
}

// ---------------------------------------------------------------------------
// Failure paths by outcome.

// The command-line copy or the child's entry failing for want of memory: the
// start goes ahead and is reported; without a copy the event carries no
// command line, without an entry the child is not watched.
TEST_F(ProcMonTest, MemoryFailuresAtAStartNeitherRefuseItNorLoseTheEvent) {
    struct Case {
        const char* what;
        ULONG tag;
        std::u16string commandLine;  // as reported
        bool listed;
    };
    const Case cases[] = {
        {"command-line copy", TagString, u"", true},
        {"child entry", TagProcessEntry, u"tool.exe --all", false},
    };
    _EPROCESS* shell = StartWatched(kShell);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ClearMessages();
        sim::pool::FailTag(c.tag);
        _EPROCESS* child = nullptr;
        const NTSTATUS status = Spawn(shell, kTool, u"tool.exe --all", &child);
        sim::pool::ClearFaults();
        EXPECT_EQ(status, STATUS_SUCCESS);
        ASSERT_NE(child, nullptr);
        ASSERT_TRUE(WaitForMessages(1));
        EXPECT_EQ(Events(), (std::vector<Event>{{Pid(child), Pid(shell), true, kTool, c.commandLine}}));
        EXPECT_EQ(Listed(Pid(child)), c.listed);
    }
}

// An exit that passes the gate while the client clears the watched set: the
// gate takes no lock, so the exit and the clear meet at the list's lock (held
// shared here until both wait on it). Whichever goes first, the exit is
// reported at most once, and only if its removal found the process.
TEST_F(ProcMonTest, AnExitRacingAClearOfTheSetIsNotReported) {
    _EPROCESS* shell = StartWatched(kShell);
    const ULONG shellPid = Pid(shell);
    ClearMessages();
    const uint64_t sends = sim::CallCount("FltSendMessage");
    std::thread exiting, clearing;
    {
        sim::ThreadScope scope(Client());
        KeEnterCriticalRegion();
        FltAcquirePushLockShared(&DriverData.ProcessList.Lock);
        exiting = std::thread([&] { sim::user::EndProcess(shell); });
        clearing = std::thread([&] { IdListClearPids(&DriverData.ProcessList); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FltReleasePushLock(&DriverData.ProcessList.Lock);
        KeLeaveCriticalRegion();
    }
    exiting.join();
    clearing.join();
    sim::DrainWorkItems();
    EXPECT_TRUE(IdListIsEmpty(&DriverData.ProcessList));
    // A reported exit is one event (its send from the exiting thread is
    // refused and made again by a worker); an unreported one sends nothing.
    if (sim::CallCount("FltSendMessage") != sends) {
        ASSERT_TRUE(WaitForMessages(1));
        EXPECT_EQ(Events(), (std::vector<Event>{{shellPid, 0, false, kShell, u""}})) << "the exit was reported other than once";
    } else {
        EXPECT_TRUE(Messages().empty());
    }
}

// The client's own process is never reported, even when it is listed: its
// exit notification sends nothing and leaves the set as it was.
TEST_F(ProcMonTest, TheClientsOwnExitIsSkipped) {
    const ULONG client = Pid(Client());
    ASSERT_EQ(AddProcess(client), STATUS_SUCCESS);
    const uint64_t sends = sim::CallCount("FltSendMessage");
    {
        sim::ThreadScope scope(Client());
        ProcMonNotifyEx(Client(), reinterpret_cast<HANDLE>(uintptr_t{client}), nullptr);
    }
    sim::DrainWorkItems();
    EXPECT_EQ(sim::CallCount("FltSendMessage"), sends);
    EXPECT_TRUE(Listed(client));
}

// A command line longer than a message can carry is clipped to what fits and
// flagged; the start is reported and the child watched all the same.
TEST_F(ProcMonTest, AStartWithALongCommandLineIsClippedAndFlagged) {
    _EPROCESS* shell = StartWatched(kShell);
    const std::u16string commandLine(32766, u'x');  // the longest a program can be given: more than fits beside the image name
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(shell, kTool, commandLine, &child), STATUS_SUCCESS);
    ASSERT_TRUE(WaitForMessages(1));
    const std::vector<uint8_t> body = Messages().at(0).body;
    auto decoded = vetrona::client::DecodeEvent(body);
    ASSERT_EQ(decoded.error, vetrona::client::DecodeError::None);
    const auto* view = std::get_if<vetrona::client::ProcessEventView>(&decoded.event);
    ASSERT_NE(view, nullptr);
    ProcessEvent fixed;
    std::memcpy(&fixed, body.data(), sizeof(fixed));
    EXPECT_LE(fixed.Header.Size, 0xFFFFu);
    EXPECT_EQ(view->imageName.Utf16(), kTool);
    EXPECT_TRUE(view->commandLine.truncated);
    const std::u16string carried = view->commandLine.Utf16();
    EXPECT_GT(carried.size(), 1000u);
    EXPECT_LT(carried.size(), commandLine.size());
    EXPECT_EQ(carried, commandLine.substr(0, carried.size()));
    EXPECT_TRUE(Listed(Pid(child)));
}

// A size query that answers with less room than a string header needs ends
// the image-name query there: no block, no second query.
TEST_F(ProcMonTest, AnImageNameSizeBelowAStringHeaderEndsTheQuery) {
    _EPROCESS* app = StartProcess(kTool);
    PUNICODE_STRING name = nullptr;
    const uint64_t queries = sim::CallCount("ZwQueryInformationProcess");
    sim::InjectFailure("ZwQueryInformationProcess", STATUS_INFO_LENGTH_MISMATCH);  // the size it reports: 0
    EXPECT_TRUE(NT_ERROR(ProcMonGetImageName(reinterpret_cast<HANDLE>(app->pid), &name)));
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(sim::CallCount("ZwQueryInformationProcess"), queries + 1);
    EXPECT_EQ(sim::ob::HandleCount(nullptr, true), 0u);
}


// The legacy notification, where the extended one is not exported: starts
// are reported without a command line and cannot be refused; exits carry the
// parent's id.
class ProcMonLegacyTest : public ProcMonTest {
protected:
    ProcMonLegacyTest() {
        loadAtSetUp_ = false;
    }
    void SetUp() override {
        sim::ResetKernel();
        sim::SetExportAvailable("PsSetCreateProcessNotifyRoutineEx", false);
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        StartResponder([](const std::vector<uint8_t>&) { return VerdictDeny; });
        SetProcMon(true);
    }
};

TEST_F(ProcMonLegacyTest, ADenyCannotRefuseAndExitsCarryTheParent) {
    ASSERT_TRUE(sim::ps::IsNotifyRoutineRegistered(reinterpret_cast<const void*>(ProcMonNotify)));
    _EPROCESS* shell = StartWatched(kShell);
    _EPROCESS* child = nullptr;
    ASSERT_EQ(Spawn(shell, kTool, u"tool.exe --x", &child), STATUS_SUCCESS);
    ASSERT_NE(child, nullptr);
    EXPECT_TRUE(Listed(Pid(child)));
    ASSERT_EQ(sim::user::EndProcess(child), STATUS_SUCCESS);
    EXPECT_FALSE(Listed(Pid(child)));
    auto events = EventsAfterWork(2);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], (Event{Pid(child), Pid(shell), true, kTool, u""}));
    EXPECT_EQ(events[1], (Event{Pid(child), Pid(shell), false, kTool, u""}));
}

// The legacy routine runs in the creating thread too: a watched creator that
// claims an unwatched parent still brings the start into the tree.
TEST_F(ProcMonLegacyTest, TheCreatorIsTheCurrentProcess) {
    _EPROCESS* watched = StartWatched(kShell);
    _EPROCESS* explorer = StartProcess(kHelper);
    sim::user::ProcessStart start;
    start.parent = explorer;
    start.imagePath = kTool;
    start.creatingThread = watched->mainThread;
    _EPROCESS* child = nullptr;
    ASSERT_EQ(sim::user::StartProcess(start, &child), STATUS_SUCCESS);
    spawned_.push_back(child);
    EXPECT_TRUE(Listed(Pid(child)));
    ASSERT_TRUE(WaitForMessages(1));
    EXPECT_EQ(Events().at(0), (Event{Pid(child), Pid(explorer), true, kTool, u""}));
}

}  // namespace
