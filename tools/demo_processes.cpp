// The process workload: a client watches a shell and switches process
// monitoring on; the shell starts a tool, the tool a helper, and the helper
// tries to start a program the client refuses. Every start and exit in the
// tree reaches the client, the refused start fails in its creator with
// STATUS_ACCESS_DENIED, and the watched set follows the tree's life.
#include "tools/session.h"

#include "client/lib/client.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace vsim {

namespace {

constexpr char16_t kShellImage[] = u"\\Device\\HarddiskVolume1\\Windows\\System32\\cmd.exe";
constexpr char16_t kToolImage[] = u"\\Device\\HarddiskVolume1\\Tools\\tool.exe";
constexpr char16_t kHelperImage[] = u"\\Device\\HarddiskVolume1\\Tools\\helper.exe";
constexpr char16_t kBlockedImage[] = u"\\Device\\HarddiskVolume1\\Users\\Public\\dropper.exe";

struct ProcessSeen {
    bool start = false;
    uint32_t pid = 0;
    uint32_t parent = 0;
    std::string image;
    std::string commandLine;
    int32_t verdict = 0;
    std::vector<uint8_t> bytes;
};

// The client: answers every process event, refusing starts of the blocked image.
class ProcessResponder {
public:
    explicit ProcessResponder(vetrona::client::Client& client) : client_(client), thread_([this] { Loop(); }) {}
    ~ProcessResponder() {
        stop_ = true;
        thread_.join();
    }

    std::vector<ProcessSeen> Take(size_t count) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (seen_.size() >= count) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<ProcessSeen> out;
        out.swap(seen_);
        return out;
    }

private:
    void Loop() {
        while (!stop_) {
            vetrona::client::Message message;
            if (client_.Receive(&message, 50) != vetrona::client::kOk) {
                continue;
            }
            ProcessSeen seen;
            seen.bytes = message.bytes;
            const auto decoded = message.Decode();
            const auto* p = decoded.ok() ? std::get_if<vetrona::client::ProcessEventView>(&decoded.event) : nullptr;
            if (p != nullptr) {
                seen.start = p->isCreate;
                seen.pid = p->processId;
                seen.parent = p->parentProcessId;
                seen.image = p->imageName.Utf8();
                seen.commandLine = p->commandLine.Utf8();
                seen.verdict = seen.start && seen.image == Narrow(kBlockedImage) ? VerdictDeny : 0;
            } else {
                seen.verdict = VerdictNone;
            }
            client_.Reply(message, seen.verdict);
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(std::move(seen));
        }
    }

    vetrona::client::Client& client_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<ProcessSeen> seen_;
    std::thread thread_;
};

bool Listed(_EPROCESS* process) {
    return IdListHasPid(&DriverData.ProcessList, static_cast<ULONG>(process->pid)) != FALSE;
}

}  // namespace

bool ProcessWorkload(Session& s) {
    Report& r = s.report();
    r.Heading("processes (a watched shell, its tool and the tool's helper)");

    vetrona::client::Client client(s.client());
    auto hr = client.Connect();
    if (!r.Step("client-connect", hr == vetrona::client::kOk, {{"hresult", StatusText(hr)}},
                "client library connected: " + StatusText(hr))) {
        return false;
    }
    // A fresh start: ids listed earlier may belong to processes long gone
    // (ids are reused), so the client clears the set before adding its root.
    _EPROCESS* shell = sim::user::StartProcess(nullptr, kShellImage, u"cmd.exe");
    if (shell != nullptr) {
        s.Adopt(shell);
    }
    const auto watched = shell != nullptr ? client.WatchAfresh({static_cast<uint32_t>(shell->pid)}) : vetrona::client::kHrInvalidArgument;
    bool ok = r.Step("watch-shell", watched == vetrona::client::kOk,
                     {{"pid", shell != nullptr ? shell->pid : 0}, {"hresult", StatusText(watched)}},
                     "watched set cleared, shell pid " + std::to_string(shell != nullptr ? shell->pid : 0) +
                         " added, process monitoring on");
    if (!ok) {
        client.Disconnect();
        return false;
    }

    std::vector<ProcessSeen> seen;
    _EPROCESS* tool = nullptr;
    _EPROCESS* helper = nullptr;
    NTSTATUS refused = STATUS_SUCCESS;
    bool listed = false;
    {
        ProcessResponder responder(client);
        tool = sim::user::StartProcess(shell, kToolImage, u"tool.exe --scan C:\\");
        helper = tool != nullptr ? sim::user::StartProcess(tool, kHelperImage, u"helper.exe /quiet") : nullptr;
        _EPROCESS* blocked = nullptr;
        if (helper != nullptr) {
            refused = sim::user::StartProcess(helper, kBlockedImage, u"dropper.exe --install", false, &blocked);
        }
        listed = tool != nullptr && helper != nullptr && Listed(tool) && Listed(helper);
        r.Step("tree-started", listed && refused == STATUS_ACCESS_DENIED && blocked == nullptr,
               {{"tool_pid", tool != nullptr ? tool->pid : 0}, {"helper_pid", helper != nullptr ? helper->pid : 0},
                {"refused_start", StatusText(refused)}},
               "tool and helper started and watched; the helper's start of dropper.exe failed with " + StatusText(refused));

        // Exits run in each process's last thread, which is terminating: the
        // events reach the client from a system worker thread (one exit at a
        // time, so they are shown in order).
        for (_EPROCESS* process : {helper, tool, shell}) {
            if (process != nullptr) {
                sim::user::EndProcess(process);
                sim::DrainWorkItems();
            }
        }
        seen = responder.Take(6);
    }

    for (const auto& event : seen) {
        json line = {{"event", {{"class", "process"}, {"start", event.start}, {"pid", event.pid}, {"parent_pid", event.parent},
                                {"image", event.image}, {"command_line", event.commandLine}, {"verdict", event.verdict}}}};
        if (r.options().hex) {
            line["bytes_hex"] = Hex(event.bytes.data(), event.bytes.size());
        }
        r.Raw(line, std::string("  event process ") + (event.start ? "start" : "exit") + " pid " + std::to_string(event.pid) +
                        " parent " + std::to_string(event.parent) + " " + event.image +
                        (event.commandLine.empty() ? "" : " \"" + event.commandLine + "\"") + ", answered " +
                        std::to_string(event.verdict));
    }
    size_t starts = 0, exits = 0, denied = 0;
    for (const auto& event : seen) {
        (event.start ? starts : exits)++;
        denied += event.verdict == VerdictDeny ? 1 : 0;
    }
    const bool emptied = IdListIsEmpty(&DriverData.ProcessList) != FALSE;
    ok = r.Step("tree-reported", seen.size() == 6 && starts == 3 && exits == 3 && denied == 1 && emptied,
                {{"messages", seen.size()}, {"starts", starts}, {"exits", exits}, {"denied", denied}, {"set_empty", emptied}},
                std::to_string(starts) + " starts (" + std::to_string(denied) + " denied) and " + std::to_string(exits) +
                    " exits reported; the watched set is empty again");
    client.SetMonitor(vetrona::client::Monitor::Process, 0);
    client.Disconnect();
    return ok;
}

}  // namespace vsim
