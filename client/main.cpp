// vetrona-client: connects to the driver, names the processes to watch,
// switches the monitoring classes, sets the backup folder, answers each event
// by its policy and prints the events (readably or as JSON lines).
//
// On Windows it reaches the driver through the filter library and
// DeviceIoControl; on Linux through the socket that `vetrona-sim serve`
// listens on. The source is the same.
//
// Exit status:
//   0  stopped as asked: --count events handled, --timeout passed, or Ctrl-C
//   1  the driver could not be reached or configured
//   2  bad arguments or a policy file that cannot be read
//   3  the driver went away (the port closed under the client)
//   4  receiving failed otherwise
#include "client/lib/backup_folder.h"
#include "client/lib/client.h"
#include "client/lib/journal.h"
#include "client/lib/policy.h"
#include "client/lib/recorder.h"
#include "client/lib/restore.h"
#include "client/lib/session.h"
#include "client/lib/text.h"
#include "client/lib/workers.h"
#ifdef VETRONA_SIGMA
#include "client/lib/sigma/commands.h"
#include "client/lib/sigma/fields.h"
#include "client/lib/sigma/verdicts.h"
#endif

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using namespace vetrona::client;

std::atomic<bool> gStop{false};

#ifdef _WIN32
BOOL WINAPI OnConsoleEvent(DWORD) {
    gStop = true;
    return TRUE;
}
void CatchInterrupt() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }
#else
void OnSignal(int) { gStop = true; }
void CatchInterrupt() {
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
}
#endif

constexpr HResult kHrInvalidHandle = static_cast<HResult>(0x80070006);
constexpr HResult kHrPortDisconnected = static_cast<HResult>(0x801F0011);

std::string Hex32(HResult hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    return text;
}

#ifdef VETRONA_SIGMA
// `vetrona-client sigma-replay --rules DIR CASE_DIR...`
int RunReplay(int argc, char** argv) {
    CLI::App app{"vetrona-client sigma-replay: replays logged events against detection rules", "vetrona-client sigma-replay"};
    std::vector<std::string> rules;
    std::vector<std::string> cases;
    bool json = false;
    app.add_option("--rules", rules, "folder of detection rules (repeatable)")->required()->check(CLI::ExistingDirectory);
    app.add_option("cases", cases, "case folders (info.yml and the logged events' .json), or folders holding them")
        ->required()
        ->check(CLI::ExistingDirectory);
    app.add_flag("--json", json, "one JSON object per case and a summary object");
    app.footer("Exit status: 0 every replayable case passed; 1 a case failed; 2 bad arguments or rules folder.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    return vetrona::client::sigma::ReplayCommand(rules, cases, json, stdout);
}
#endif

// `vetrona-client restore --journal FILE [--to FOLDER] [--dry-run] [--only GLOB] [--force]`
int RunRestore(int argc, char** argv) {
    CLI::App app{"vetrona-client restore: puts back the originals a session's journal has copies of", "vetrona-client restore"};
    std::string journalFile, socketPath;
    RestoreOptions options;
    bool json = false;
    app.add_option("--journal", journalFile, "the session's journal (vetrona-client --journal FILE)")->required()->check(CLI::ExistingFile);
    app.add_option("--to", options.to, "restore into this folder (C:\\Restored\\C\\Users\\...) instead of over the originals");
    app.add_flag("--dry-run", options.dryRun, "say what would be done, write nothing");
    app.add_option("--only", options.only, "only originals whose path matches this glob (case-insensitive, * and ?)");
    app.add_flag("--force", options.force, "overwrite a file that changed after the session ended");
    app.add_flag("--json", json, "one JSON object per original and a summary object");
#ifndef _WIN32
    app.add_option("--socket", socketPath, "socket of vetrona-sim serve (default $VETRONA_SOCKET or /tmp/vetrona-UID.sock)");
#endif
    app.footer(
        "For each original, the copy made before its first change in the session, checked against the SHA-256\n"
        "the journal recorded; a file that changed after the session is left alone unless --force.\n"
        "Exit status: 0 every original restored (or already as its copy); 1 an original could not be restored\n"
        "(no copy, refused, failed) or the files cannot be reached; 2 bad arguments or journal.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    std::ifstream in(journalFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<Json> lines;
    std::string error;
    if (!in || !ParseJournal(text.str(), &lines, &error)) {
        std::fprintf(stderr, "vetrona-client restore: %s: %s\n", journalFile.c_str(), error.empty() ? "cannot read it" : error.c_str());
        return 2;
    }
    Transport files(socketPath.empty() ? nullptr : const_cast<char*>(socketPath.c_str()));
    const std::vector<RestoreItem> items = Restore(files, lines, options);
    std::map<std::string, int> counts;
    for (const RestoreItem& item : items) {
        ++counts[item.action];
        const std::string line = json ? item.ToJson().dump(-1, ' ', false, Json::error_handler_t::replace) : item.Line();
        std::printf("%s\n", line.c_str());
    }
    int bad = 0;
    for (const RestoreItem& item : items) bad += item.ok() ? 0 : 1;
    if (json) {
        Json summary = {{"originals", items.size()}, {"dryRun", options.dryRun}};
        for (const auto& [action, n] : counts) summary[action] = n;
        std::printf("%s\n", Json{{"summary", summary}}.dump().c_str());
    } else {
        std::string text2 = "summary: " + std::to_string(items.size()) + " originals";
        for (const auto& [action, n] : counts) text2 += "; " + std::to_string(n) + " " + action;
        std::printf("%s\n", text2.c_str());
    }
    return bad == 0 ? 0 : 1;
}

int Run(int argc, char** argv) {
#ifdef VETRONA_SIGMA
    if (argc > 1 && std::string(argv[1]) == "sigma-replay") return RunReplay(argc - 1, argv + 1);
#endif
    if (argc > 1 && std::string(argv[1]) == "restore") return RunRestore(argc - 1, argv + 1);
    CLI::App app{"vetrona-client: the Vetrona driver's client", "vetrona-client"};
    std::vector<uint32_t> watch;
    std::vector<std::string> on, off;
    std::string backup, backupLimit, policyFile, defaultVerdict, outputFile, socketPath, reportFile, journalFile;
    bool clear = false, json = false, hex = false, clearBackup = false;
    long count = -1;
    int timeoutMs = -1;
    app.add_option("--watch", watch, "process id to watch (repeatable); its children are watched too");
    app.add_flag("--clear", clear, "clear the watched set and the tracked files first");
    app.add_option("--on", on, "switch monitoring on: file, process, registry (repeatable)")
        ->check(CLI::IsMember({"file", "process", "registry"}));
    app.add_option("--off", off, "switch monitoring off: file, process, registry (repeatable)")
        ->check(CLI::IsMember({"file", "process", "registry"}));
    app.add_option("--backup", backup, "backup folder for the backup verdict (C:\\Backup or an NT path); made when missing");
    app.add_flag("--no-backup", clearBackup, "clear the backup folder");
    app.add_option("--backup-limit", backupLimit,
                   "largest file copied before a watched program changes it (bytes, or 64MB, 512KB...; 0: no copy before "
                   "change; default 64MB)");
    app.add_option("--policy", policyFile, "policy file: ordered rules and a default, as in a scenario's client section")
        ->check(CLI::ExistingFile);
    app.add_option("--default", defaultVerdict, "verdict when no rule matches: allow, deny, backup, none or a number");
    app.add_flag("--json", json, "one JSON object per event (and a summary object at the end)");
    app.add_flag("--hex", hex, "add each message's raw bytes");
    app.add_option("--output", outputFile, "write the events to this file instead of standard output");
    app.add_option("--report", reportFile, "when the client stops, write a behaviour report of the session to this HTML file");
    app.add_option("--journal", journalFile,
                   "write the session's journal (events, and each copy the driver made with its SHA-256) to this file, for "
                   "`vetrona-client restore`; with --report and no --journal: beside the report, REPORT.journal.jsonl");
    app.add_option("--count", count, "stop after this many events");
    app.add_option("--timeout", timeoutMs, "stop after this many milliseconds without an event");
    int workers = DefaultWorkers();
    app.add_option("--workers", workers, "threads receiving and answering at once (default: one per processor)")
        ->check(CLI::Range(1, kMaxWorkers));
#ifdef VETRONA_SIGMA
    std::string sigmaDir;
    bool sigmaCheck = false;
    app.add_option("--sigma", sigmaDir, "folder of detection rules: a match is an alert (or the verdict the policy's sigma section gives)")
        ->check(CLI::ExistingDirectory);
    app.add_flag("--check", sigmaCheck, "with --sigma: load the rules, list those refused and exit");
#endif
#ifndef _WIN32
    app.add_option("--socket", socketPath, "socket of vetrona-sim serve (default $VETRONA_SOCKET or /tmp/vetrona-UID.sock)");
#endif
    app.footer(
        "Exit status: 0 stopped as asked (count, timeout, Ctrl-C); 1 the driver could not be reached or configured;\n"
        "2 bad arguments or policy file; 3 the driver went away; 4 receiving failed.\n"
        "Verdict deny refuses the reported change; a registry key creation is reported after the key exists\n"
        "and cannot be refused.");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }

#ifdef VETRONA_SIGMA
    if (sigmaCheck) {
        if (sigmaDir.empty()) {
            std::fprintf(stderr, "vetrona-client: --check needs --sigma DIR\n");
            return 2;
        }
        return vetrona::client::sigma::CheckCommand(sigmaDir, json, stdout);
    }
#endif
    Policy policy;
#ifdef VETRONA_SIGMA
    vetrona::client::sigma::SigmaPolicy sigmaPolicy;
#endif
    if (!policyFile.empty()) {
        std::ifstream in(policyFile, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        PolicyError error;
        std::vector<std::pair<std::string, std::string>> extra;
        if (!ParsePolicyText(text.str(), &policy, &error, &extra)) {
            std::fprintf(stderr, "vetrona-client: %s:%d: %s%s%s\n", policyFile.c_str(), error.line, error.field.c_str(),
                         error.field.empty() ? "" : ": ", error.message.c_str());
            return 2;
        }
        for (const auto& [key, value] : extra) {
            if (key == "backup" && backup.empty()) {
                backup = value;
            } else if (key == "backup-limit") {
                if (backupLimit.empty()) backupLimit = value;
            } else if (key == "monitors" && on.empty()) {
                std::stringstream list(value);
                for (std::string item; std::getline(list, item, ',');) on.push_back(item);
#ifdef VETRONA_SIGMA
            } else if (key == "sigma") {
                std::string error;
                if (!vetrona::client::sigma::ParseSigmaPolicyText(value, &sigmaPolicy, &error)) {
                    std::fprintf(stderr, "vetrona-client: %s: %s\n", policyFile.c_str(), error.c_str());
                    return 2;
                }
#endif
            } else if (key != "watch" && key != "monitors" && key != "backup") {
                std::fprintf(stderr, "vetrona-client: %s: unknown key '%s' (default, rules, monitors, backup, backup-limit)\n",
                             policyFile.c_str(), key.c_str());
                return 2;
            }
        }
    }
    if (!defaultVerdict.empty()) {
        auto verdict = ParseVerdictName(defaultVerdict);
        if (!verdict) {
            std::fprintf(stderr, "vetrona-client: --default: unknown verdict '%s'\n", defaultVerdict.c_str());
            return 2;
        }
        policy.fallback = *verdict;
    }
#ifdef VETRONA_SIGMA
    // Detection rules: --sigma adds its folder to the policy's.
    std::unique_ptr<vetrona::client::sigma::Detector> detector;
    if (!sigmaDir.empty()) sigmaPolicy.rules.push_back(sigmaDir);
    if (!sigmaPolicy.rules.empty()) {
        detector = std::make_unique<vetrona::client::sigma::Detector>();
        std::string error;
        if (!detector->Load(sigmaPolicy, &error)) {
            std::fprintf(stderr, "vetrona-client: detection rules: %s\n", error.c_str());
            return 2;
        }
        std::fprintf(stderr, "vetrona-client: %zu detection rules loaded, %zu refused (--check lists them)\n",
                     detector->rules().size(), detector->rules().refused().size());
    } else if (sigmaPolicy.present) {
        std::fprintf(stderr, "vetrona-client: %s: the sigma section names no rules folder (rules: or --sigma)\n",
                     policyFile.c_str());
        return 2;
    }
    vetrona::client::sigma::EventMapper sigmaMapper;
#endif
    uint64_t backupLimitBytes = kDefaultBackupLimit;
    if (!backupLimit.empty()) {
        const auto parsed = ParseByteSize(backupLimit);
        if (!parsed) {
            std::fprintf(stderr, "vetrona-client: --backup-limit: '%s' is not a size (bytes, or a number with K, M or G)\n",
                         backupLimit.c_str());
            return 2;
        }
        backupLimitBytes = *parsed;
    }
    std::u16string backupWide;
    if (!backup.empty() && !Utf8ToUtf16(backup, &backupWide)) {
        std::fprintf(stderr, "vetrona-client: --backup: not valid UTF-8\n");
        return 2;
    }

    // Opened now, so that a path that cannot be written stops the client before it starts.
    if (!reportFile.empty() && !std::ofstream(reportFile, std::ios::binary | std::ios::trunc)) {
        std::fprintf(stderr, "vetrona-client: --report: cannot write %s\n", reportFile.c_str());
        return 2;
    }

    if (journalFile.empty() && !reportFile.empty()) journalFile = reportFile + ".journal.jsonl";
    std::unique_ptr<std::ofstream> journalOut;
    if (!journalFile.empty()) {
        journalOut = std::make_unique<std::ofstream>(journalFile, std::ios::binary | std::ios::trunc);
        if (!*journalOut) {
            std::fprintf(stderr, "vetrona-client: --journal: cannot write %s\n", journalFile.c_str());
            return 2;
        }
    }

    FILE* out = stdout;
    if (!outputFile.empty()) {
        out = std::fopen(outputFile.c_str(), "wb");
        if (out == nullptr) {
            std::fprintf(stderr, "vetrona-client: cannot write %s\n", outputFile.c_str());
            return 2;
        }
    }

    Client client(socketPath.empty() ? nullptr : const_cast<char*>(socketPath.c_str()));
    HResult hr = client.Connect();
    if (!Succeeded(hr)) {
        std::fprintf(stderr, "vetrona-client: cannot reach the driver (%s)%s\n", Hex32(hr).c_str(),
#ifdef _WIN32
                     ": is it loaded (fltmc) and is this prompt elevated?"
#else
                     ": is `vetrona-sim serve` running?"
#endif
        );
        return 1;
    }
    auto fail = [&](const char* what, HResult result) {
        std::fprintf(stderr, "vetrona-client: %s failed: %s\n", what, Hex32(result).c_str());
        client.Disconnect();
        return 1;
    };
    std::string version;
    if (!Succeeded(hr = client.GetVersion(&version))) return fail("reading the driver's version", hr);
    if (!json) std::fprintf(stderr, "vetrona-client: driver version %s\n", version.c_str());
    if (clear) {
        if (!Succeeded(hr = client.ClearProcesses())) return fail("clearing the watched set", hr);
        if (!Succeeded(hr = client.ClearFileIds())) return fail("clearing the tracked files", hr);
    }
    for (uint32_t pid : watch) {
        if (!Succeeded(hr = client.AddProcess(pid))) return fail("adding a process", hr);
    }
    if (clearBackup && !Succeeded(hr = client.SetBackupDir(u""))) return fail("clearing the backup folder", hr);
    if (!backupWide.empty()) {
        std::string note;
        const bool ready = PrepareBackupFolder(client, backupWide, backup, &note);
        if (!note.empty()) std::fprintf(stderr, "vetrona-client: %s\n", note.c_str());
        if (!ready) {
            client.Disconnect();
            return 1;
        }
        if (!Succeeded(hr = client.SetBackupDir(NtFolderPath(backupWide)))) return fail("setting the backup folder", hr);
    }
    if (!Succeeded(hr = client.SetBackupLimit(backupLimitBytes))) return fail("setting the backup limit", hr);
    auto monitorOf = [](const std::string& name) {
        return name == "file" ? Monitor::File : name == "process" ? Monitor::Process : Monitor::Registry;
    };
    for (const std::string& m : off) {
        if (!Succeeded(hr = client.SetMonitor(monitorOf(m), 0))) return fail("switching a monitor off", hr);
    }
    for (const std::string& m : on) {
        if (m != "file" && m != "process" && m != "registry") {
            std::fprintf(stderr, "vetrona-client: unknown monitor '%s'\n", m.c_str());
            client.Disconnect();
            return 2;
        }
        if (!Succeeded(hr = client.SetMonitor(monitorOf(m), 1))) return fail("switching a monitor on", hr);
    }

    CatchInterrupt();
    RecorderOptions recorderOptions;
    recorderOptions.json = json;
    recorderOptions.hex = hex;
    recorderOptions.report = !reportFile.empty();
    recorderOptions.program = "vetrona-client (driver " + version + ")";
    Recorder recorder(recorderOptions);
    // Drive letters for the names the driver sends; without them the device paths are shown.
    VolumeNames volumes;
    if (Succeeded(client.QueryVolumeNames(&volumes))) {
        recorder.SetVolumes(volumes);
#ifdef VETRONA_SIGMA
        sigmaMapper.SetVolumes(volumes);
#endif
    }
#ifdef VETRONA_SIGMA
    // A started image's version resource and hashes come from its file on the
    // driver's machine, read by the client program; a server that cannot
    // read files is told about once, and those fields stay out.
    bool imageReadsNoted = false;
    sigmaMapper.SetImageReader([&](const std::string& path, std::string* bytes) {
        std::u16string wide;
        if (!Utf8ToUtf16(path, &wide)) return false;
        const HResult read = client.ReadMachineFile(wide, kMaxImageBytes, bytes);
        if (read == kHrNotSupported && !imageReadsNoted) {
            imageReadsNoted = true;
            std::fprintf(stderr,
                         "vetrona-client: the server cannot read the machine's files (it predates that request): "
                         "the images' version fields and hashes are left out\n");
        }
        return Succeeded(read);
    });
#endif
    // The journal reads files on the driver's machine through the client's own road.
    std::unique_ptr<Journal> journal;
    if (journalOut) {
        journal = std::make_unique<Journal>(client.transport(), [&journalOut, &recorder](const Json& line) {
            *journalOut << line.dump(-1, ' ', false, Json::error_handler_t::replace) << '\n';
            journalOut->flush();
            if (line.value("type", "") == "backup") {
                Json copy = line;
                copy["type"] = "journal-copy";
                recorder.AddToReport(copy);
            }
        });
        journal->Begin({{"watch", watch}, {"backup", backup}, {"rules", policy.rules.size()}, {"default", VerdictName(policy.fallback)}},
                       volumes, backup, backupLimitBytes);
    }
    {
        std::string pids;
        for (uint32_t pid : watch) pids += (pids.empty() ? "" : ", ") + std::to_string(pid);
        vetrona::client::Json monitors = on;
        recorder.Configure({{"watch", watch}, {"monitors", monitors}, {"backup", backup}, {"rules", policy.rules.size()},
                            {"default", VerdictName(policy.fallback)}, {"journal", journalFile}},
                           "watching " + (pids.empty() ? std::string("what the driver already watches") : "pids " + pids) +
                               (policyFile.empty() ? "" : "; policy " + policyFile));
    }
    int status = 0;
    std::string ending = "stopped";
    const auto started = std::chrono::steady_clock::now();
    auto lastEvent = started;
    // Workers receive and reply in parallel; each message is decided, recorded
    // and printed under the workers' lock, in the order they were decided.
    auto decide = [&](const Message& message) -> Verdict {
        lastEvent = std::chrono::steady_clock::now();
        const auto received = std::chrono::system_clock::now();
        DecodeResult decoded = message.Decode();
        if (!decoded.ok()) {
            std::fprintf(stderr, "vetrona-client: malformed message: %s\n", DecodeErrorName(decoded.error));
            return VerdictNone;
        }
        recorder.Received(decoded.event);
        int rule = -1;
        Verdict verdict = Decide(policy, decoded.event, recorder.context(), &rule);
#ifdef VETRONA_SIGMA
        // The client's own rules first; then the detection rules' verdict, if any.
        std::vector<std::string> alerts;
        nlohmann::json matched = nlohmann::json::array();
        if (detector) {
            if (auto event = sigmaMapper.Map(decoded.event)) {
                const auto outcome = detector->Evaluate(*event);
                if (rule < 0 && outcome.verdict != VerdictNone) verdict = outcome.verdict;
                for (size_t k = 0; k < outcome.matches.size(); ++k) {
                    const auto& info = detector->rules().info(outcome.matches[k]);
                    matched.push_back({{"id", info.id}, {"title", info.title}, {"level", info.level}, {"author", info.author}});
                    alerts.push_back(json ? vetrona::client::sigma::AlertJson(info, *event, outcome.verdicts[k])
                                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)
                                          : vetrona::client::sigma::AlertLine(info, *event, outcome.verdicts[k]));
                }
            }
        }
#endif
        if (journal) journal->BeforeReply(decoded.event, verdict);
        if (message.replyLength != 0) client.Reply(message, verdict);
#ifdef VETRONA_SIGMA
        for (const std::string& alert : alerts) std::fprintf(out, "%s\n", alert.c_str());
        const std::string line = recorder.Answered(message, decoded.event, verdict, rule, received, matched);
#else
        const std::string line = recorder.Answered(message, decoded.event, verdict, rule, received);
#endif
        if (journal) journal->Answered(recorder.lastRecord());
        std::fprintf(out, "%s\n", line.c_str());
        std::fflush(out);
        return verdict;
    };
    auto stop = [&](bool timedOut) {
        if (gStop || (count >= 0 && recorder.total() >= count)) return true;
        if (timedOut && timeoutMs >= 0 && std::chrono::steady_clock::now() - lastEvent >= std::chrono::milliseconds(timeoutMs)) {
            ending = "timed out";
            return true;
        }
        return false;
    };
    int lanes = 1;
    hr = count == 0 ? kOk : AnswerWorkers::Run(client, workers, decide, stop, &lanes);
    if (workers > 1 && lanes < workers && !json) {
        std::fprintf(stderr, "vetrona-client: %d of %d workers (%s)\n", lanes, workers,
                     lanes == 1 ? "the server predates parallel receives" : "the server took no more connections");
    }
    if (hr == kHrInvalidHandle || hr == kHrPortDisconnected || hr == kHrNotConnected) {
        ending = "the driver went away";
        status = 3;
    } else if (!Succeeded(hr)) {
        std::fprintf(stderr, "vetrona-client: receiving failed: %s\n", Hex32(hr).c_str());
        ending = "receiving failed";
        status = 4;
    }
    if (gStop) ending = "interrupted";
    if (journal) {
        journal->Finish();
        if (!json) std::fprintf(stderr, "vetrona-client: journal written to %s\n", journalFile.c_str());
    }
    client.Disconnect();

    std::fprintf(out, "%s\n", recorder.Summary(ending).c_str());
    if (!reportFile.empty()) {
        std::string error;
        if (!recorder.WriteReport(reportFile, &error)) {
            std::fprintf(stderr, "vetrona-client: --report: %s\n", error.c_str());
        } else if (!json) {
            std::fprintf(stderr, "vetrona-client: report written to %s\n", reportFile.c_str());
        }
    }
    std::fflush(out);
    if (out != stdout) std::fclose(out);
    return status;
}

}  // namespace

#ifdef _WIN32
// The wide command line, converted to UTF-8 for the parser and back to
// UTF-16 exactly where the driver takes text.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i) {
        std::string utf8;
        if (!Utf16ToUtf8(reinterpret_cast<const char16_t*>(wargv[i]), &utf8)) {
            std::fprintf(stderr, "vetrona-client: argument %d is not valid UTF-16\n", i);
            return 2;
        }
        args.push_back(utf8);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return Run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return Run(argc, argv); }
#endif
