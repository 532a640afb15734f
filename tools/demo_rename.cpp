// The rename workload: a watched program defines a DOS device name of its own
// whose target is a document, and renames its scrambled copy onto that name,
// as the published bypass of file-protection filters does. The Filter Manager
// cannot name such a destination; the driver resolves the link, the client
// sees the document's real name as the destination and denies the rename, and
// the document stays as it was.
#include "tools/session.h"

#include "client/lib/client.h"
#include "sim/user/dosdevice.h"
#include "sim/user/file.h"

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

namespace vsim {

namespace {

constexpr char16_t kLinkName[] = u"VetronaDemoTarget";
constexpr char16_t kLinkTarget[] = u"\\??\\C:\\docs\\letter.txt";
constexpr char16_t kExpectedDest[] = u"\\Device\\HarddiskVolume1\\docs\\letter.txt";

std::string HostText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The client: denies every rename, lets everything else pass, and keeps what
// it saw of the renames.
class RenameGuard {
public:
    explicit RenameGuard(vetrona::client::Client& client) : client_(client), thread_([this] { Loop(); }) {}
    ~RenameGuard() {
        stop_ = true;
        thread_.join();
    }

    struct Seen {
        json event;
        std::string text;
        std::string dest;
    };

    std::vector<Seen> Take() {
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<Seen> out;
        out.swap(seen_);
        return out;
    }

private:
    void Loop() {
        using namespace vetrona::client;
        while (!stop_) {
            Message message;
            if (client_.Receive(&message, 50) != kOk) {
                continue;
            }
            const DecodeResult decoded = message.Decode();
            const auto* file = decoded.ok() ? std::get_if<FileEventView>(&decoded.event) : nullptr;
            const bool rename = file != nullptr && file->operation == FileOpRename;
            const int32_t verdict = rename ? VerdictDeny : 0;
            client_.Reply(message, verdict);
            if (!rename) {
                continue;
            }
            Seen seen;
            seen.dest = file->destName.Utf8();
            seen.event = {{"class", "file"}, {"operation", FileOpName(file->operation)}, {"pid", file->processId},
                          {"name", file->name.Utf8()}, {"dest_name", seen.dest},
                          {"replace_if_exists", file->params.Rename.ReplaceIfExists}, {"verdict", verdict}};
            seen.text = std::string("file ") + FileOpName(file->operation) + " pid " + std::to_string(file->processId) + " " +
                        file->name.Utf8() + " -> " + (seen.dest.empty() ? "(no destination)" : seen.dest) + ", answered " +
                        std::to_string(verdict);
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(std::move(seen));
        }
    }

    vetrona::client::Client& client_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<Seen> seen_;
    std::thread thread_;
};

}  // namespace

bool RenameWorkload(Session& s, _EPROCESS* watched) {
    Report& r = s.report();
    r.Heading("rename through a link the program defined (watched process pid " + std::to_string(watched->pid) + ")");

    const std::string document = "Dear committee, the figures are attached.";
    const std::string scrambled = "x9#Lq0!vR2@pZ7";
    std::filesystem::create_directories(s.hostPath(u"docs"));
    std::ofstream(s.hostPath(u"docs\\letter.txt"), std::ios::binary) << document;
    std::ofstream(s.hostPath(u"docs\\letter.tmp"), std::ios::binary) << scrambled;

    NTSTATUS status = sim::user::DefineDosDevice(watched, DDD_RAW_TARGET_PATH, kLinkName, kLinkTarget);
    if (!r.Step("define-dos-device", status == STATUS_SUCCESS,
                {{"name", Narrow(kLinkName)}, {"target", Narrow(kLinkTarget)}, {"status", StatusText(status)}},
                "the program links \\??\\" + Narrow(kLinkName) + " to " + Narrow(kLinkTarget) + " (" + StatusText(status) + ")")) {
        return false;
    }

    vetrona::client::Client client(s.client());
    const auto hr = client.Connect();
    bool ok = r.Step("client-connect", hr == vetrona::client::kOk, {{"hresult", StatusText(hr)}},
                     "client connected: " + StatusText(hr));
    if (ok) {
        ok = client.SetMonitor(vetrona::client::Monitor::File, 1) == vetrona::client::kOk;
        r.Step("file-monitoring-on", ok, {}, "file monitoring switched on");
    }
    if (ok) {
        RenameGuard guard(client);
        sim::ClearDebugOutput();

        HANDLE h = nullptr;
        status = sim::user::CreateFile(watched, u"C:\\docs\\letter.tmp", DELETE | FILE_READ_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                                       FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &h);
        NTSTATUS renamed = status;
        if (NT_SUCCESS(status)) {
            const std::u16string newName = std::u16string(u"\\??\\") + kLinkName;
            renamed = sim::user::SetRenameInformation(watched, h, newName, true);
            sim::user::CloseHandle(watched, h);
        }
        r.Step("rename-denied", renamed == STATUS_ACCESS_DENIED, {{"to", "\\??\\" + Narrow(kLinkName)}, {"status", StatusText(renamed)}},
               "letter.tmp -> \\??\\" + Narrow(kLinkName) + " with replace: " + StatusText(renamed));

        const auto seen = guard.Take();
        for (const auto& event : seen) {
            r.Raw({{"event", event.event}}, "  event " + event.text);
        }
        const bool resolved = seen.size() == 1 && seen[0].dest == Narrow(kExpectedDest);
        r.Step("destination-resolved", resolved, {{"messages", seen.size()}, {"expected_dest", Narrow(kExpectedDest)}},
               "the event names the link's real destination " + Narrow(kExpectedDest));

        const auto lines = sim::DebugOutput();
        for (const auto& line : lines) {
            std::string shown = line;
            if (!shown.empty() && shown.back() == '\n') {
                shown.pop_back();
            }
            r.Raw({{"debugger", shown}}, "  debugger " + shown);
        }
        r.Step("debugger-lines", lines.size() == 2, {{"lines", lines.size()}},
               "the destination query was refused, the link read: " + std::to_string(lines.size()) + " lines");

        const std::string kept = HostText(s.hostPath(u"docs\\letter.txt"));
        const std::string copy = HostText(s.hostPath(u"docs\\letter.tmp"));
        ok = r.Step("document-in-place", kept == document && copy == scrambled, {{"document", kept}},
                    "C:\\docs\\letter.txt still holds \"" + kept + "\"") &&
             resolved;
    }
    client.Disconnect();
    status = sim::user::DefineDosDevice(watched, DDD_REMOVE_DEFINITION, kLinkName, u"");
    r.Step("remove-dos-device", status == STATUS_SUCCESS, {{"status", StatusText(status)}},
           "definition removed (" + StatusText(status) + ")");
    return ok;
}

}  // namespace vsim
