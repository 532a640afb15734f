// vetrona-sim sweep: the runner (what it checks is described in sweep.h).
#include "tools/sweep.h"

#include "sim/cm/cm.h"
#include "sim/ke/core.h"
#include "sim/flt/io.h"
#include "sim/fs/fs.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/ex/pool.h"
#include "tools/scenario_run.h"
#include "tools/sha256.h"
#include "tools/text.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

namespace vsim {

using json = nlohmann::ordered_json;
namespace fs = std::filesystem;

namespace {

// --- the points --------------------------------------------------------------

struct Failure {
    int32_t status;
    const char* name;
};
#define VETRONA_FAIL(routine, status) {routine, {status, #status}}

const std::map<std::string, Failure>& FailureTable() {
    static const std::map<std::string, Failure> table = {
        VETRONA_FAIL("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("IoAllocateWorkItem", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltAllocateContext", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltGetFileNameInformation", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltGetDestinationFileNameInformation", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltParseFileNameInformation", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltSendMessage", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltCreateFile", STATUS_SHARING_VIOLATION),
        VETRONA_FAIL("FltReadFile", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltWriteFile", STATUS_DISK_FULL),
        VETRONA_FAIL("FltQueryInformationFile", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltRegisterFilter", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltStartFiltering", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltCreateCommunicationPort", STATUS_OBJECT_NAME_COLLISION),
        VETRONA_FAIL("FltBuildDefaultSecurityDescriptor", STATUS_INSUFFICIENT_RESOURCES),
        // The stream is being torn down, or its instance detached.
        VETRONA_FAIL("FltSetStreamHandleContext", STATUS_FLT_DELETING_OBJECT),
        VETRONA_FAIL("FltGetVolumeFromName", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("FltGetVolumeInstanceFromName", STATUS_FLT_INSTANCE_NOT_FOUND),
        VETRONA_FAIL("IoCreateDevice", STATUS_OBJECT_NAME_COLLISION),
        VETRONA_FAIL("IoCreateSymbolicLink", STATUS_OBJECT_NAME_COLLISION),
        VETRONA_FAIL("ObSetSecurityObjectByPointer", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("CmRegisterCallback", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("CmRegisterCallbackEx", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("CmCallbackGetKeyObjectID", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("CmCallbackGetKeyObjectIDEx", STATUS_INSUFFICIENT_RESOURCES),
        // The table of notification routines is full.
        VETRONA_FAIL("PsSetCreateProcessNotifyRoutine", STATUS_INVALID_PARAMETER),
        VETRONA_FAIL("PsSetCreateProcessNotifyRoutineEx", STATUS_INVALID_PARAMETER),
        // The process has gone.
        VETRONA_FAIL("PsLookupProcessByProcessId", STATUS_INVALID_PARAMETER),
        VETRONA_FAIL("ObOpenObjectByPointer", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("ZwQueryInformationProcess", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("ObReferenceObjectByHandle", STATUS_INVALID_HANDLE),
        VETRONA_FAIL("ZwOpenSymbolicLinkObject", STATUS_OBJECT_NAME_NOT_FOUND),
        VETRONA_FAIL("ZwQuerySymbolicLinkObject", STATUS_INSUFFICIENT_RESOURCES),
        VETRONA_FAIL("ZwQueryValueKey", STATUS_OBJECT_NAME_NOT_FOUND),
    };
    return table;
}
#undef VETRONA_FAIL

// State of the run in this process (a forked child).
std::atomic<uint64_t> gPoints{0};
uint64_t gFailAt = 0;  // 0: count only
std::atomic<bool> gFired{false};
std::string gFiredRoutine;
std::string gFiredStatus;
std::string gFiredTag;  // the pool tag, when the failed point was an allocation
std::mutex gRoutinesLock;
std::map<std::string, uint64_t> gRoutines;
std::vector<std::string> gSequence;  // the routine of each point, in the counting run

NTSTATUS SweepHook(const char* routine) {
    const auto& table = FailureTable();
    const auto it = table.find(routine);
    if (it == table.end()) return STATUS_SUCCESS;
    const uint64_t n = gPoints.fetch_add(1) + 1;
    {
        std::lock_guard<std::mutex> guard(gRoutinesLock);
        ++gRoutines[routine];
        if (gFailAt == 0) gSequence.push_back(routine);
        if (n != gFailAt) return STATUS_SUCCESS;
        gFiredRoutine = routine;
        gFiredStatus = it->second.name;
        if (std::strcmp(routine, "ExAllocatePoolWithTag") == 0) gFiredTag = sim::pool::TagToString(sim::pool::TagBeingAllocated());
    }
    gFired = true;
    return it->second.status;
}

// --- what a run leaves behind -------------------------------------------------

std::vector<uint8_t> ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void KeysOfSteps(const std::vector<StepSpec>& steps, std::set<std::string>* keys) {
    for (const StepSpec& step : steps) {
        if (!step.keyPath.empty()) {
            const std::string& path = step.keyPath;
            keys->insert(path);
            auto to = step.args.find("to");
            if (step.kind == "rename-key" && to != step.args.end()) {
                keys->insert(path.substr(0, path.rfind('\\') + 1) + to->second);
            }
        }
        for (const auto& thread : step.threads) KeysOfSteps(thread, keys);
    }
}

// Every key and value the scenario names: seeded, written or expected.
json RegistrySnapshot(const Scenario& s) {
    std::set<std::string> keys;
    for (const auto& k : s.registry) keys.insert(k.path);
    for (const auto& r : s.registryAfter) keys.insert(r.path);
    KeysOfSteps(s.workload, &keys);
    json out = json::object();
    for (const std::string& key : keys) {
        const std::u16string path = sim::fs::FromHost(key);
        if (!sim::cm::KeyExists(path)) {
            out[key] = nullptr;
            continue;
        }
        json values = json::object();
        for (const std::u16string& name : sim::cm::ValueNames(path)) {
            ULONG type = 0;
            std::vector<uint8_t> data;
            if (sim::cm::QueryValue(path, name, &type, &data)) {
                values[sim::fs::ToHost(name)] = std::to_string(type) + ":" + HexOf(data);
            }
        }
        out[key] = values;
    }
    return out;
}

void BackupFoldersOfSteps(const std::vector<StepSpec>& steps, std::vector<std::string>* folders) {
    for (const StepSpec& step : steps) {
        auto folder = step.args.find("folder");
        if (step.kind == "set-backup" && folder != step.args.end() && !folder->second.empty()) {
            folders->push_back(Upper(folder->second));
        }
        for (const auto& thread : step.threads) BackupFoldersOfSteps(thread, folders);
    }
}

}  // namespace

std::vector<std::string> SweepBackupFolders(const Scenario& s) {
    std::vector<std::string> folders;
    if (s.client.backup && !s.client.backup->empty()) folders.push_back(Upper(*s.client.backup));
    BackupFoldersOfSteps(s.workload, &folders);
    for (std::string& folder : folders) {
        while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    }
    std::sort(folders.begin(), folders.end());
    folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
    return folders;
}

namespace {

// Files of every volume: a digest each, and the whole content of those in a
// backup folder (any the client names, at the start or by a later request).
void FileSnapshot(const Scenario& s, const std::vector<std::pair<char, std::string>>& roots, json* files, json* backups) {
    *files = json::object();
    *backups = json::object();
    const std::vector<std::string> backupFolders = SweepBackupFolders(s);
    auto inBackupFolder = [&](const std::string& name) {
        const std::string upper = Upper(name);
        for (const std::string& folder : backupFolders) {
            if (upper.size() > folder.size() && upper.compare(0, folder.size(), folder) == 0 && upper[folder.size()] == '\\') {
                return true;
            }
        }
        return false;
    };
    for (const auto& [drive, root] : roots) {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (!it->is_regular_file()) continue;
            std::string relative = fs::relative(it->path(), root).string();
            std::replace(relative.begin(), relative.end(), '/', '\\');
            const std::string name = std::string(1, drive) + ":\\" + relative;
            const std::vector<uint8_t> bytes = ReadAll(it->path());
            if (inBackupFolder(name)) {
                (*backups)[name] = HexOf(bytes);
            } else {
                (*files)[name] = Sha256Hex(bytes) + ":" + std::to_string(bytes.size());
            }
        }
    }
}

// The child: plays the scenario with point `failAt` failing (0: none) and
// writes the transcript, then one line of its own, to standard output.
// The driver image the children load (empty: the linked driver).
std::string gImage;

[[noreturn]] void ChildRun(const Scenario& scenario, uint64_t failAt) {
    gFailAt = failAt;
    sim::SetFaultPointHook(&SweepHook);
    RunOptions options;
    options.json = true;
    options.image = gImage;
    Transcript out(options);
    json last = {{"type", "sweep-child"}};
    {
        ScenarioRun run(scenario, out);
        run.KeepVolumes();
        if (run.Boot()) {
            bool ok = true;
            if (scenario.client.present) ok = run.StartClient();
            if (ok) run.RunWorkload();
        }
        run.Finish();
        sim::SetFaultPointHook(nullptr);
        // What the pool does not show: handles, work items and contexts left.
        last["kernelHandles"] = sim::ob::HandleCount(nullptr, true);
        last["workItems"] = sim::io::LiveWorkItems();
        last["contexts"] = sim::flt::LiveContextCount();
        json files, backups;
        FileSnapshot(scenario, run.VolumeRoots(), &files, &backups);
        last["points"] = gPoints.load();
        last["fired"] = gFired.load();
        if (gFired) {
            last["routine"] = gFiredRoutine;
            last["status"] = gFiredStatus;
            if (!gFiredTag.empty()) last["tag"] = gFiredTag;
        }
        {
            std::lock_guard<std::mutex> guard(gRoutinesLock);
            last["routines"] = gRoutines;
            if (gFailAt == 0) last["sequence"] = gSequence;
        }
        last["files"] = files;
        last["backups"] = backups;
        last["registry"] = RegistrySnapshot(scenario);
        std::error_code ec;
        if (!run.TempRoot().empty()) fs::remove_all(run.TempRoot(), ec);
    }
    // Names need not be valid UTF-8 (a scenario's bytes, a value name): such bytes go out as U+FFFD.
    std::cout << last.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    std::cout.flush();
    std::fflush(stderr);
    _exit(0);
}

// --- running children ---------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int outFd = -1, errFd = -1;
    std::chrono::steady_clock::time_point started;
    SweepRunResult result;
};

void ParseLines(SweepRunResult* r) {
    std::istringstream in(r->out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] != '{') continue;
        json parsed = json::parse(line, nullptr, false);
        if (parsed.is_discarded()) continue;
        if (parsed.value("type", "") == "sweep-child") r->last = parsed;
        else r->lines.push_back(std::move(parsed));
    }
}

// Runs the scenario once per point, `jobs` children at a time; results in
// the order of `points`.
std::vector<SweepRunResult> RunPoints(const Scenario& scenario, const std::vector<uint64_t>& points, int jobs, double timeout,
                                 const std::function<void(const SweepRunResult&)>& done) {
    std::vector<SweepRunResult> results(points.size());
    std::map<size_t, Child> active;
    size_t next = 0;
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    while (next < points.size() || !active.empty()) {
        while (next < points.size() && static_cast<int>(active.size()) < std::max(1, jobs)) {
            int out[2], err[2];
            if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
                std::perror("vetrona-sim sweep: pipe");
                std::exit(2);
            }
            const pid_t pid = fork();
            if (pid < 0) {
                std::perror("vetrona-sim sweep: fork");
                std::exit(2);
            }
            if (pid == 0) {
                dup2(out[1], 1);
                dup2(err[1], 2);
                ChildRun(scenario, points[next]);
            }
            close(out[1]);
            close(err[1]);
            Child c;
            c.pid = pid;
            c.outFd = out[0];
            c.errFd = err[0];
            c.started = std::chrono::steady_clock::now();
            c.result.point = points[next];
            active.emplace(next, std::move(c));
            ++next;
        }
        std::vector<pollfd> fds;
        std::vector<std::pair<size_t, bool>> owners;  // index, is stderr
        for (auto& [index, c] : active) {
            if (c.outFd >= 0) {
                fds.push_back({c.outFd, POLLIN, 0});
                owners.emplace_back(index, false);
            }
            if (c.errFd >= 0) {
                fds.push_back({c.errFd, POLLIN, 0});
                owners.emplace_back(index, true);
            }
        }
        if (!fds.empty()) poll(fds.data(), fds.size(), 100);
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Child& c = active[owners[i].first];
            int& fd = owners[i].second ? c.errFd : c.outFd;
            char buffer[65536];
            const ssize_t n = read(fd, buffer, sizeof(buffer));
            if (n > 0) {
                (owners[i].second ? c.result.err : c.result.out).append(buffer, static_cast<size_t>(n));
            } else {
                close(fd);
                fd = -1;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        for (auto it = active.begin(); it != active.end();) {
            Child& c = it->second;
            if (!c.result.timedOut && std::chrono::duration<double>(now - c.started).count() > timeout) {
                c.result.timedOut = true;
                kill(c.pid, SIGKILL);
            }
            if (c.outFd >= 0 || c.errFd >= 0) {
                ++it;
                continue;
            }
            int status = 0;
            waitpid(c.pid, &status, 0);
            if (WIFSIGNALED(status)) c.result.signal = WTERMSIG(status);
            if (WIFEXITED(status)) c.result.exitCode = WEXITSTATUS(status);
            ParseLines(&c.result);
            results[it->first] = std::move(c.result);
            done(results[it->first]);
            it = active.erase(it);
        }
    }
    return results;
}

// --- judging a run --------------------------------------------------------------

const char* KindName(SweepJudgement::Kind kind) {
    switch (kind) {
        case SweepJudgement::Survived: return "survived";
        case SweepJudgement::Diverged: return "diverged";
        case SweepJudgement::Refused: return "refused";
        case SweepJudgement::Unfired: return "unfired";
        case SweepJudgement::Failed: return "failed";
    }
    return "?";
}

// Steps by their line in the file (and the thread that ran them): the
// workload's order. Each step's outcomes: its status, then the status of
// each file a step over several files (encrypt) handled.
std::map<std::pair<int, std::string>, std::vector<std::string>> StepsOf(const SweepRunResult& r) {
    std::map<std::pair<int, std::string>, std::vector<std::string>> steps;
    for (const json& line : r.lines) {
        if (line.value("type", "") != "step") continue;
        std::vector<std::string>& outcomes = steps[{line.value("line", 0), line.value("thread", "")}];
        outcomes.push_back(line.value("status", ""));
        if (line.contains("files") && line["files"].is_array()) {
            for (const json& f : line["files"]) {
                if (f.is_object()) outcomes.push_back(f.value("file", "") + " " + f.value("status", ""));
            }
        }
    }
    return steps;
}

const json* LineOf(const SweepRunResult& r, const std::string& type) {
    for (const json& line : r.lines) {
        if (line.value("type", "") == type) return &line;
    }
    return nullptr;
}

std::string FirstLineWith(const std::string& text, const std::string& needle) {
    const size_t at = text.find(needle);
    if (at == std::string::npos) return "";
    const size_t end = text.find('\n', at);
    return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

// The problems of a run that can be judged without the fault-free run.
std::vector<std::string> HealthProblems(const SweepRunResult& r) {
    std::vector<std::string> problems;
    if (r.timedOut) {
        problems.push_back("hang: killed after the timeout");
        return problems;
    }
    if (r.signal != 0) {
        const size_t at = r.err.find("*** STOP");
        if (at != std::string::npos) {
            // The stop code line, then the name and the detail lines.
            std::istringstream in(r.err.substr(at + 4));
            std::string first, line, text;
            std::getline(in, first);
            while (std::getline(in, line) && line.rfind("***", 0) == 0) {
                const size_t start = line.find_first_not_of(" *");
                if (start != std::string::npos) text += " / " + line.substr(start);
            }
            problems.push_back("bugcheck: " + first + text);
        } else if (std::string ni = FirstLineWith(r.err, "routine not implemented"); !ni.empty()) {
            problems.push_back("stopped: " + ni);
        } else {
            problems.push_back("crash: signal " + std::to_string(r.signal) + " " + FirstLineWith(r.err, "ERROR"));
        }
        return problems;
    }
    if (r.last.is_null()) {
        problems.push_back("the run ended without its report (exit " + std::to_string(r.exitCode) + ")");
        return problems;
    }
    const json* summary = LineOf(r, "summary");
    if (summary == nullptr) {
        problems.push_back("no summary");
        return problems;
    }
    if (summary->value("driverStopped", "") != "STATUS_SUCCESS") {
        problems.push_back("the driver did not stop: " + summary->value("driverStopped", ""));
    }
    const json& pool = (*summary)["pool"];
    if (!pool.value("clean", false)) {
        std::string tags;
        for (const json& t : pool["leaks"]) {
            tags += " " + t.value("tag", "") + ":" + std::to_string(t.value("live", 0));
        }
        problems.push_back("leak:" + (tags.empty() ? std::string(" blocks outside any tag") : tags));
    }
    return problems;
}

bool IsPrefix(const std::string& shortHex, const std::string& longHex) {
    return shortHex.size() <= longHex.size() && longHex.compare(0, shortHex.size(), shortHex) == 0;
}

bool IsClientStep(const SweepRunResult& r, int line) {
    for (const json& l : r.lines) {
        if (l.value("type", "") == "step" && l.value("line", 0) == line) return l.value("process", "") == "client";
    }
    return false;
}

// Out of memory as the client hears it: the status, or the HRESULT the
// client library made of it.
bool IsResourceFailure(const std::string& status) {
    return status == "STATUS_NO_MEMORY" || status == "STATUS_INSUFFICIENT_RESOURCES" ||
           status == "0xC0000017" || status == "0xC000009A" ||
           status == "0x80070008" ||  // ERROR_NOT_ENOUGH_MEMORY
           status == "0x8007000E" ||  // E_OUTOFMEMORY
           status == "0x800705AA";    // ERROR_NO_SYSTEM_RESOURCES
}

// A failed name query or a failed event message leaves the operation as if
// its program were not watched: allowed, and nothing sent for it. Only these
// points are judged so: other failures (a context, a copy) may change later
// events. The kind of point, or null.
const char* UnwatchedRulePoint(const SweepRunResult& r) {
    const std::string routine = r.last.value("routine", "");
    if (routine == "FltGetFileNameInformation") return "name query";
    if (routine == "ExAllocatePoolWithTag" && r.last.value("tag", "") == "MCVQ") return "message build";
    return nullptr;
}

// An event as two runs can compare it: what happened, to what, by whom, and
// nothing that differs from run to run (ids, addresses, times, sequence
// numbers) or is the client's answer.
std::string EventKey(const json& event) {
    json key = json::object();
    for (const char* field : {"class", "operation", "major", "name", "nameTruncated", "destination", "destinationPath", "path",
                              "image", "commandLine", "key", "value", "data", "dataType", "dataTruncated", "processName",
                              "processImage"}) {
        if (event.contains(field)) key[field] = event[field];
    }
    return key.dump();
}

// A process exit is sent by a system worker thread whenever it gets to it:
// under which step it shows, and whether before the run ends, is timing.
bool IsDeferredEvent(const json& event) {
    return event.value("class", "") == "process" && event.value("operation", "") == "exit";
}

// The first event of the run, in a step up to `lastStep`, that the fault-free
// run did not send (each fault-free event matches once). The step an event
// shows under is not compared, and exits are left out (IsDeferredEvent).
std::optional<std::string> EventNotSentWithoutTheFault(const SweepRunResult& base, const SweepRunResult& r, int lastStep) {
    std::multiset<std::string> sent;
    for (const json& line : base.lines) {
        if (line.value("type", "") == "event" && !IsDeferredEvent(line)) sent.insert(EventKey(line));
    }
    for (const json& line : r.lines) {
        if (line.value("type", "") != "event" || IsDeferredEvent(line)) continue;
        const int step = line.value("step", 0);
        if (step > lastStep) continue;
        auto it = sent.find(EventKey(line));
        if (it == sent.end()) {
            return "step " + std::to_string(step) + " " + line.value("class", "") + " " + line.value("operation", "") + " " +
                   line.value("path", line.value("name", ""));
        }
        sent.erase(it);
    }
    return std::nullopt;
}

int StepIndexOfLine(const SweepRunResult& r, int line) {
    int index = std::numeric_limits<int>::max();
    for (const json& l : r.lines) {
        if (l.value("type", "") == "step" && l.value("line", 0) == line) index = std::min(index, l.value("step", 0));
    }
    return index;
}

}  // namespace

SweepJudgement JudgeSweepRun(const SweepRunResult& base, const SweepRunResult& r) {
    SweepJudgement j;
    j.problems = HealthProblems(r);
    if (!j.problems.empty()) {
        j.kind = SweepJudgement::Failed;
        return j;
    }
    const std::pair<const char*, const char*> leftovers[] = {
        {"kernelHandles", "kernel handles"}, {"workItems", "work items"}, {"contexts", "contexts"}};
    for (const auto& [field, what] : leftovers) {
        const uint64_t left = r.last.value(field, uint64_t{0});
        if (left > base.last.value(field, uint64_t{0})) {
            j.problems.push_back("leak: " + std::to_string(left) + " " + what + " left after the unload");
        }
    }
    if (!j.problems.empty()) {
        j.kind = SweepJudgement::Failed;
        return j;
    }
    if (!r.last.value("fired", false)) {
        j.kind = SweepJudgement::Unfired;
        j.note = "the run made only " + std::to_string(r.last.value("points", 0)) + " points";
        return j;
    }
    const auto baseSteps = StepsOf(base);
    const auto steps = StepsOf(r);
    if (steps.empty() && !baseSteps.empty()) {
        // The driver did not load, or refused the client's set-up: clean (the
        // health checks held), but the workload could not run.
        const json* error = LineOf(r, "error");
        j.kind = SweepJudgement::Refused;
        j.note = error != nullptr ? error->value("error", "") : "the workload did not run";
        return j;
    }
    bool diverged = false;
    int divergedLine = 0;
    for (const auto& [key, baseStatuses] : baseSteps) {
        auto it = steps.find(key);
        const std::vector<std::string> statuses = it == steps.end() ? std::vector<std::string>() : it->second;
        if (statuses == baseStatuses) continue;
        // An operation the fault-free run denied went through: allowed.
        bool passed = statuses.size() == baseStatuses.size();
        for (size_t i = 0; passed && i < statuses.size(); ++i) {
            const std::string& b = baseStatuses[i];
            const std::string& s = statuses[i];
            const std::string denied = "STATUS_ACCESS_DENIED", success = "STATUS_SUCCESS";
            passed = s == b || (b.size() >= denied.size() && b.compare(b.size() - denied.size(), denied.size(), denied) == 0 &&
                                s == b.substr(0, b.size() - denied.size()) + success);
        }
        if (diverged) continue;  // the workload went another way before this step
        std::string where = "step at line " + std::to_string(key.first) + (key.second.empty() ? "" : " (" + key.second + ")");
        if (passed) {
            diverged = true;
            divergedLine = key.first;
            j.note = where + " went through where the fault-free run denied it";
            continue;
        }
        // The client's own request (a control code, a port command, the
        // connection) may be refused for want of memory: the client is told.
        if (IsClientStep(r, key.first) && statuses.size() == 1 && IsResourceFailure(statuses[0])) {
            diverged = true;
            divergedLine = key.first;
            j.note = where + ": the driver refused the client's request (" + statuses[0] + ")";
            continue;
        }
        auto join = [](const std::vector<std::string>& v) {
            std::string out;
            for (const auto& s : v) out += (out.empty() ? "" : ",") + s;
            return out.empty() ? std::string("not run") : out;
        };
        j.problems.push_back(where + ": " + join(statuses) + " where the fault-free run had " + join(baseStatuses));
    }
    if (const char* point = UnwatchedRulePoint(r)) {
        // Up to the step that went another way: after it the workload differs.
        const int lastStep = diverged ? StepIndexOfLine(r, divergedLine) : std::numeric_limits<int>::max();
        if (auto event = EventNotSentWithoutTheFault(base, r, lastStep)) {
            j.problems.push_back(std::string("the failed ") + point +
                                 " did not leave the operation as if unwatched: it sent an event the fault-free run did not (" + *event +
                                 ")");
        }
    }
    // Restores from the client's journal. What a restore put back must be
    // what the fault-free run put back for that original: a copy holding
    // other bytes is never judged good. An original the fault-free run put
    // back and this run could not (its copy was not made under the fault,
    // and the request went on, as it must) makes the run go another way from
    // there: its files are not compared.
    std::map<std::string, std::string> baseRestored;
    for (const json& line : base.lines) {
        const std::string action = line.value("action", "");
        if (line.value("type", "") == "restore" && (action == "restored" || action == "already restored")) {
            baseRestored[line.value("original", "")] = line.value("sha256", "");
        }
    }
    std::set<std::string> restored;
    for (const json& line : r.lines) {
        if (line.value("type", "") != "restore") continue;
        const std::string action = line.value("action", "");
        const std::string original = line.value("original", "");
        auto it = baseRestored.find(original);
        if (action == "restored" || action == "already restored") {
            restored.insert(original);
            if (it == baseRestored.end() || it->second != line.value("sha256", "")) {
                j.problems.push_back("restore put back other bytes than the fault-free run for " + original);
            }
        }
    }
    // Not restored: no copy (it failed), or none asked for (the event was
    // never sent: the failed name query or message left the request as an
    // unwatched program's).
    for (const auto& [original, sha] : baseRestored) {
        if (restored.count(original) || diverged) continue;
        diverged = true;
        j.note = "no copy of " + original + " to restore: the request went on without one";
    }
    if (!diverged) {
        const json& files = r.last["files"];
        const json& baseFiles = base.last["files"];
        for (const auto& [name, digest] : baseFiles.items()) {
            if (!files.contains(name)) j.problems.push_back("lost data: " + name + " is gone");
            else if (files[name] != digest) j.problems.push_back("lost data: " + name + " holds other bytes");
        }
        for (const auto& [name, digest] : files.items()) {
            if (!baseFiles.contains(name)) j.problems.push_back("stray file: " + name);
        }
        const json& registry = r.last["registry"];
        for (const auto& [key, values] : base.last["registry"].items()) {
            if (registry[key] != values) j.problems.push_back("registry: " + key + " differs from the fault-free run");
        }
        for (const auto& [name, bytes] : r.last["backups"].items()) {
            bool fits = false;
            for (const auto& [baseName, baseBytes] : base.last["backups"].items()) {
                if (IsPrefix(bytes.get<std::string>(), baseBytes.get<std::string>())) {
                    fits = true;
                    break;
                }
            }
            if (!fits) j.problems.push_back("backup " + name + " is no copy the fault-free run made, nor a part of one");
        }
    }
    j.kind = !j.problems.empty() ? SweepJudgement::Failed : diverged ? SweepJudgement::Diverged : SweepJudgement::Survived;
    return j;
}

namespace {

// --- reporting ------------------------------------------------------------------

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}
std::string PadLeft(std::string text, size_t width) {
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

struct Row {
    std::string file, workload;
    uint64_t points = 0, runs = 0, survived = 0, diverged = 0, refused = 0, unfired = 0, failed = 0;
    uint64_t seed = 0;
    bool sampled = false;
    std::optional<uint64_t> firstPoint;
    std::string firstRoutine, firstProblem;
    bool baselineFailed = false;
};

json RowJson(const Row& row) {
    json line = {{"type", "sweep"},   {"file", row.file},         {"workload", row.workload}, {"points", row.points},
                 {"runs", row.runs},  {"survived", row.survived}, {"diverged", row.diverged}, {"refused", row.refused},
                 {"unfired", row.unfired}, {"failed", row.failed}, {"seed", row.seed},        {"sampled", row.sampled}};
    if (row.firstPoint) {
        line["firstFailure"] = {{"seed", row.seed}, {"point", *row.firstPoint}, {"routine", row.firstRoutine},
                                {"problem", row.firstProblem}};
    } else {
        line["firstFailure"] = nullptr;
    }
    line["ok"] = !row.baselineFailed && row.failed == 0;
    return line;
}

std::string Workload(const std::string& file) { return fs::path(file).stem().string(); }

void PrintTable(const std::vector<Row>& rows, bool jsonOut) {
    if (jsonOut) return;  // each row went out as it was finished
    std::cout << "\n" << Pad("workload", 28) << PadLeft("points", 7) << PadLeft("runs", 6) << PadLeft("survived", 10)
              << PadLeft("diverged", 10) << PadLeft("refused", 9) << PadLeft("failed", 8) << "  first failure (seed, point)\n";
    for (const Row& row : rows) {
        std::string first = row.baselineFailed ? "fault-free run failed"
                            : row.firstPoint   ? "seed " + std::to_string(row.seed) + ", point " + std::to_string(*row.firstPoint) +
                                                   " (" + row.firstRoutine + ")"
                                               : "-";
        std::cout << Pad(row.workload, 28) << PadLeft(std::to_string(row.points), 7) << PadLeft(std::to_string(row.runs), 6)
                  << PadLeft(std::to_string(row.survived), 10) << PadLeft(std::to_string(row.diverged), 10)
                  << PadLeft(std::to_string(row.refused), 9) << PadLeft(std::to_string(row.failed), 8) << "  " << first << "\n";
    }
    std::cout.flush();
}

std::vector<uint64_t> ChoosePoints(uint64_t total, uint64_t sample, uint64_t seed) {
    std::vector<uint64_t> all(total);
    for (uint64_t i = 0; i < total; ++i) all[i] = i + 1;
    if (sample == 0 || sample >= total) return all;
    std::mt19937_64 rng(seed);
    for (uint64_t i = 0; i < sample; ++i) {
        const uint64_t j = i + rng() % (total - i);
        std::swap(all[i], all[j]);
    }
    all.resize(sample);
    std::sort(all.begin(), all.end());
    return all;
}

}  // namespace

std::optional<int32_t> SweepFailureStatus(const std::string& routine) {
    const auto& table = FailureTable();
    const auto it = table.find(routine);
    if (it == table.end()) return std::nullopt;
    return it->second.status;
}

int RunSweep(const SweepOptions& options) {
    gImage = options.image;
    const uint64_t seed = options.seed ? *options.seed
                                       : static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007ull;
    std::vector<Row> rows;
    int worst = 0;
    auto put = [&](const json& line, const std::string& text) {
        if (options.json) std::cout << line.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
        else if (!text.empty()) std::cout << text << '\n';
        std::cout.flush();
    };
    for (const std::string& file : options.files) {
        Scenario scenario;
        try {
            scenario = LoadScenarioFile(file);
        } catch (const ScenarioError& e) {
            std::cerr << "vetrona-sim: " << e.Describe() << '\n';
            put({{"type", "error"}, {"file", e.file}, {"line", e.line}, {"field", e.field}, {"error", e.what()}}, "");
            worst = std::max(worst, 2);
            continue;
        }
        Row row;
        row.file = file;
        row.workload = Workload(file);
        row.seed = seed;

        // The fault-free run: the points and the reference outcome.
        const SweepRunResult base = RunPoints(scenario, {0}, 1, options.timeout, [](const SweepRunResult&) {})[0];
        std::vector<std::string> baseProblems = HealthProblems(base);
        const json* result = LineOf(base, "result");
        if (baseProblems.empty() && (result == nullptr || !result->value("passed", false))) {
            baseProblems.push_back("the scenario does not pass without faults");
        }
        row.points = base.last.is_null() ? 0 : base.last.value("points", uint64_t{0});
        std::string perRoutine;
        json routines = base.last.is_null() ? json::object() : base.last["routines"];
        for (const auto& [name, count] : routines.items()) perRoutine += " " + name + " " + std::to_string(count.get<uint64_t>()) + ",";
        if (!perRoutine.empty()) perRoutine.pop_back();
        put({{"type", "sweep-start"}, {"file", file}, {"workload", row.workload}, {"points", row.points}, {"seed", seed},
             {"routines", routines}},
            "sweep " + file + ": " + std::to_string(row.points) + " fallible points (" + perRoutine + "), seed " +
                std::to_string(seed));
        if (!baseProblems.empty()) {
            row.baselineFailed = true;
            for (const auto& p : baseProblems) put({{"type", "sweep-error"}, {"file", file}, {"problem", p}}, "  fault-free run: " + p);
            if (options.point || options.verbose) std::cout << base.out << base.err;
            rows.push_back(row);
            if (options.json) put(RowJson(row), "");
            worst = std::max(worst, 1);
            continue;
        }

        std::vector<uint64_t> points;
        if (options.point) {
            points = {*options.point};
        } else {
            points = ChoosePoints(row.points, options.sample, seed);
            row.sampled = options.sample != 0 && options.sample < row.points;
        }
        RunPoints(scenario, points, options.jobs, options.timeout, [&](const SweepRunResult& r) {
            const SweepJudgement j = JudgeSweepRun(base, r);
            ++row.runs;
            switch (j.kind) {
                case SweepJudgement::Survived: ++row.survived; break;
                case SweepJudgement::Diverged: ++row.survived; ++row.diverged; break;
                case SweepJudgement::Refused: ++row.survived; ++row.refused; break;
                case SweepJudgement::Unfired: ++row.survived; ++row.unfired; break;
                case SweepJudgement::Failed: ++row.failed; break;
            }
            std::string routine = r.last.is_null() ? "" : r.last.value("routine", "");
            if (routine.empty() && r.point >= 1 && r.point <= base.last["sequence"].size()) {
                // The run ended before it could say: the fault-free run's routine at that point.
                routine = base.last["sequence"][r.point - 1].get<std::string>() + "?";
            }
            const std::string status = r.last.is_null() ? "" : r.last.value("status", "");
            std::string problems;
            for (const auto& p : j.problems) problems += (problems.empty() ? "" : "; ") + p;
            if (j.kind == SweepJudgement::Failed && (!row.firstPoint || r.point < *row.firstPoint)) {
                row.firstPoint = r.point;
                row.firstRoutine = routine;
                row.firstProblem = problems;
            }
            if (j.kind == SweepJudgement::Failed || options.verbose || options.point) {
                put({{"type", "sweep-run"}, {"file", file}, {"point", r.point}, {"routine", routine}, {"status", status},
                     {"outcome", KindName(j.kind)}, {"problems", j.problems}, {"note", j.note}},
                    "  point " + PadLeft(std::to_string(r.point), 5) + "  " + Pad(routine.empty() ? "?" : routine, 36) + " " +
                        Pad(status, 30) + " " + (j.kind == SweepJudgement::Failed ? "FAILED " + problems : KindName(j.kind)) +
                        (j.note.empty() ? "" : "  (" + j.note + ")"));
            }
            if (options.point) std::cout << r.out << r.err;
        });
        if (row.failed != 0) worst = std::max(worst, 1);
        if (options.json) put(RowJson(row), "");
        rows.push_back(row);
    }
    PrintTable(rows, options.json);
    if (!options.json && !options.point) {
        std::cout << "(survived counts the diverged runs, where an operation went through that the fault-free run denied,\n"
                     " and the refused ones, where the driver did not load or refused the client's set-up and left nothing behind)\n"
                     "repeat one run: vetrona-sim sweep --point N FILE\n";
    }
    return worst;
}

}  // namespace vsim
