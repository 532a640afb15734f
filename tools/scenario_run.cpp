// Running scenarios: the machine, the in-process client, the workload's
// steps, the expectations and the summary.
#include "tools/scenario_run.h"

#include "channel/wire.h"
#include "client/lib/client.h"
#include "client/lib/journal.h"
#include "client/lib/paths.h"
#include "client/lib/report.h"
#include "client/lib/restore.h"
#include "client/lib/session.h"
#include "driver/driver_data.h"
#include "sim/loader/loader.h"
#include "sim/ke/core.h"
#include "sim/fs/fs.h"
#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/ex/pool.h"
#include "sim/user/device.h"
#include "sim/user/dosdevice.h"
#include "sim/user/file.h"
#include "sim/user/fltuser.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"
#include "tools/scenario_rawdisk.h"
#include "tools/sha256.h"
#include "client/lib/sigma/fields.h"
#include "tools/text.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <thread>

namespace vsim {

using json = nlohmann::ordered_json;
namespace fs = std::filesystem;
namespace vc = vetrona::client;

void Transcript::Put(const json& line, const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    if (sink_) sink_(line);
    if (options_.json) {
        // A scenario's names need not be valid UTF-8: such bytes print as U+FFFD.
        std::cout << line.dump(-1, ' ', false, json::error_handler_t::replace) << '\n';
    } else {
        std::cout << text << '\n';
    }
    std::cout.flush();
}

void Transcript::Text(const std::string& text) {
    if (options_.json) return;
    std::lock_guard<std::mutex> guard(lock_);
    std::cout << text << '\n';
    std::cout.flush();
}

namespace {

std::u16string Wide(std::string_view utf8) { return sim::fs::FromHost(utf8); }
std::string Narrow(std::u16string_view text) { return sim::fs::ToHost(text); }

std::vector<uint8_t> ReadHost(const fs::path& path, bool* exists) {
    std::ifstream in(path, std::ios::binary);
    *exists = static_cast<bool>(in) && fs::is_regular_file(path);
    if (!*exists) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ACCESS_MASK AccessOf(const std::vector<std::string>& names) {
    ACCESS_MASK access = SYNCHRONIZE;
    for (const std::string& n : names) {
        if (n == "read") access |= FILE_GENERIC_READ;
        else if (n == "write") access |= FILE_GENERIC_WRITE;
        else if (n == "append") access |= FILE_APPEND_DATA;
        else if (n == "delete") access |= DELETE;
        else if (n == "execute") access |= FILE_GENERIC_EXECUTE;
        else if (n == "all") access |= FILE_ALL_ACCESS;
    }
    return access;
}

ULONG ShareOf(const std::vector<std::string>& names) {
    ULONG share = 0;
    for (const std::string& n : names) {
        if (n == "read") share |= FILE_SHARE_READ;
        else if (n == "write") share |= FILE_SHARE_WRITE;
        else if (n == "delete") share |= FILE_SHARE_DELETE;
    }
    return share;
}

ULONG DispositionOf(const std::string& name) {
    if (name == "supersede") return FILE_SUPERSEDE;
    if (name == "create") return FILE_CREATE;
    if (name == "open-if") return FILE_OPEN_IF;
    if (name == "overwrite") return FILE_OVERWRITE;
    if (name == "overwrite-if") return FILE_OVERWRITE_IF;
    return FILE_OPEN;
}

ULONG OptionsOf(const std::vector<std::string>& names) {
    ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;
    for (const std::string& n : names) {
        if (n == "directory") options |= FILE_DIRECTORY_FILE;
        else if (n == "non-directory") options |= FILE_NON_DIRECTORY_FILE;
        else if (n == "delete-on-close") options |= FILE_DELETE_ON_CLOSE;
        else if (n == "write-through") options |= FILE_WRITE_THROUGH;
    }
    return options;
}

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

constexpr int32_t kAccessDenied = static_cast<int32_t>(0xC0000022);

ULONG RegistryType(const std::string& name) {
    if (name == "REG_NONE") return REG_NONE;
    if (name == "REG_SZ") return REG_SZ;
    if (name == "REG_EXPAND_SZ") return REG_EXPAND_SZ;
    if (name == "REG_DWORD") return REG_DWORD;
    if (name == "REG_MULTI_SZ") return REG_MULTI_SZ;
    if (name == "REG_QWORD") return REG_QWORD;
    return REG_BINARY;
}

}  // namespace

struct ScenarioRun::Impl {
    const Scenario& s;
    Transcript& out;
    vc::EventContext* context = nullptr;

    struct MountedVolume {
        char drive = 'C';
        std::string hostRoot;
        std::u16string device;
        bool owned = false;
    };
    std::string tempRoot;
    bool keepVolumes = false;
    std::vector<MountedVolume> volumes;
    vc::VolumeNames volumeNames;  // the volumes as a client learns them: device and drive root
    // client.sigma: the detection rules and the events as they see them.
    std::unique_ptr<vetrona::client::sigma::Detector> detector;
    vetrona::client::sigma::EventMapper sigmaMapper;
    PDRIVER_OBJECT driver = nullptr;
    DRIVER_DATA* observed = nullptr;  // see Observed()

    std::mutex lock;  // processes, handles, events
    std::map<std::string, _EPROCESS*> processes;
    std::map<uint32_t, std::string> pidNames;
    std::map<uint32_t, std::string> pidImages;
    // Every name an id was given, with its image, oldest first: ids are
    // reused, and a process event can come after its id has a new owner.
    std::map<uint32_t, std::vector<std::pair<std::string, std::string>>> pidHistory;
    std::vector<_EPROCESS*> started;
    std::set<std::string> everStarted;  // names of the processes that started
    std::map<std::string, std::pair<_EPROCESS*, HANDLE>> handles;
    std::map<std::string, std::string> handlePaths;  // handle name -> the file's path, upper case
    std::vector<std::u16string> links;

    // In-process client.
    _EPROCESS* clientProcess = nullptr;
    std::unique_ptr<vc::Client> client;
    std::thread responder;
    std::atomic<bool> stopResponder{false};
    std::mutex clientLock;  // the in-process client's steps against the responder's start and stop

    size_t debuggerSeen = 0;             // lines of the driver's debugger output already shown
    std::vector<std::string> debugger;   // every line the driver printed during the workload
    uint64_t messagesAtStart = 0;        // FltSendMessage calls when the workload began
    uint64_t messagesSent = 0;           // ... and during it

    std::vector<SeenEvent> events;
    std::atomic<int> currentStep{0};

    // Copies the client asked for (a backup verdict at a modified file's
    // close): what the file held when it was asked and which names the backup
    // folder had then, until the step's end shows the copy the driver made.
    struct PendingBackup {
        size_t seq = 0;
        int step = 0;
        std::string original;  // "C:\..."
        std::string hostName;  // the original as the model names it on the host: a lone surrogate kept, not U+FFFD
        std::string folder;    // "C:\Backup"; empty: none set
        std::vector<uint8_t> bytes;
        bool readable = false;
        std::set<std::string> before;  // upper-case names in the folder
    };
    std::mutex backupLock;
    std::vector<PendingBackup> pendingBackups;
    std::set<std::string> claimedCopies;  // host paths of copies already shown
    std::string backupFolder;             // as the scenario's client set it

    // The client's journal, kept when the workload restores from it: the
    // library's own, reading the machine's files as the client process.
    std::mutex journalLock;
    std::unique_ptr<vc::Transport> journalFiles;
    std::unique_ptr<vc::Journal> journal;
    size_t journalShown = 0;  // journal lines shown so far
    std::chrono::steady_clock::time_point lastEvent = std::chrono::steady_clock::now();

    int stepCount = 0;
    int stepFailures = 0;
    int64_t deniedOperations = 0;
    bool stoppedEarly = false;
    std::string stopReason;

    struct Expectation {
        int line;
        std::string what;
        bool ok;
        std::string detail;
    };
    std::vector<Expectation> expectations;
    int64_t filesProtected = 0;
    int64_t bytesRecovered = 0;
    // The first content seen of each file a backup expectation covers: the
    // original that must be recoverable (seeded, or as the workload first
    // wrote it).
    std::map<std::string, std::vector<uint8_t>> originals;
    std::vector<std::vector<uint8_t>> diskBefore;  // each disk expectation's sectors before the workload

    struct Outcome {
        int32_t status = 0;  // the first status that was not a success, else success
        std::string problem;  // what went wrong beside the status (wrong bytes read, a switch's value...)
        std::string detail;
        json fields = json::object();
    };

    static void Note(Outcome* o, NTSTATUS status) {
        if (o->status == 0 && !NT_SUCCESS(status)) o->status = status;
    }

    Impl(const Scenario& scenario, Transcript& transcript) : s(scenario), out(transcript) {}

    // --- paths ---------------------------------------------------------------

    MountedVolume* VolumeOf(char drive) {
        drive = static_cast<char>(std::toupper(static_cast<unsigned char>(drive)));
        for (auto& v : volumes) {
            if (v.drive == drive) return &v;
        }
        return nullptr;
    }

    // "C:\Windows\x.exe" -> "\Device\HarddiskVolume1\Windows\x.exe".
    std::u16string DevicePath(const std::string& path) {
        MountedVolume* v = VolumeOf(path[0]);
        return v->device + Wide(path.substr(2));
    }

    // The host file behind "C:\a\b", matching each component without regard
    // to case as the file system does.
    fs::path HostPath(const std::string& path) {
        MountedVolume* v = VolumeOf(path[0]);
        fs::path current = v->hostRoot;
        std::string rest = path.substr(3);
        size_t start = 0;
        while (start <= rest.size()) {
            size_t end = rest.find('\\', start);
            if (end == std::string::npos) end = rest.size();
            const std::string part = rest.substr(start, end - start);
            if (!part.empty()) {
                fs::path next = current / part;
                std::error_code ec;
                if (!fs::exists(next, ec) && fs::is_directory(current, ec)) {
                    for (const auto& entry : fs::directory_iterator(current, ec)) {
                        if (Upper(entry.path().filename().string()) == Upper(part)) {
                            next = entry.path();
                            break;
                        }
                    }
                }
                current = next;
            }
            if (end == rest.size()) break;
            start = end + 1;
        }
        return current;
    }

    std::string DrivePathOf(const std::string& name) { return vc::UserFilePath(name, volumeNames); }

    // --- output --------------------------------------------------------------

    void Error(const std::string& what, int line) {
        out.Put({{"type", "error"}, {"file", s.file}, {"line", line}, {"error", what}},
                "  ERROR " + s.file + (line > 0 ? ":" + std::to_string(line) : "") + ": " + what);
    }

    // --- registry ------------------------------------------------------------

    // Creates `path` (an absolute \REGISTRY path) a component at a time, as
    // RegCreateKeyEx does, and returns a handle to the last key.
    NTSTATUS CreateKeyPath(_EPROCESS* process, const std::u16string& path, ACCESS_MASK access, HANDLE* key) {
        *key = nullptr;
        std::u16string prefix;
        size_t start = 1;
        NTSTATUS status = STATUS_OBJECT_NAME_INVALID;
        while (start <= path.size()) {
            size_t end = path.find(u'\\', start);
            if (end == std::u16string::npos) end = path.size();
            prefix = path.substr(0, end);
            if (end > start && prefix.size() > 10) {  // past "\REGISTRY\X"
                HANDLE handle = nullptr;
                const bool last = end == path.size();
                status = sim::user::CreateKey(process, nullptr, prefix, last ? access : KEY_ALL_ACCESS, &handle);
                if (!NT_SUCCESS(status)) return status;
                if (last) {
                    *key = handle;
                } else {
                    sim::user::CloseHandle(process, handle);
                }
            }
            start = end + 1;
        }
        return *key != nullptr ? STATUS_SUCCESS : sim::user::OpenKey(process, nullptr, path, access, key);
    }

    bool SeedRegistry() {
        if (s.registry.empty()) return true;
        _EPROCESS* setup = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\Windows\\System32\\setup.exe",
                                                   u"", true);
        bool ok = setup != nullptr;
        for (const RegistryKeySpec& k : s.registry) {
            if (!ok) break;
            HANDLE key = nullptr;
            NTSTATUS status = CreateKeyPath(setup, Wide(k.path), KEY_ALL_ACCESS, &key);
            for (const RegistryValueSpec& v : k.values) {
                if (!NT_SUCCESS(status)) break;
                status = sim::user::SetValueKey(setup, key, Wide(v.name), RegistryType(v.type), v.data.data(),
                                                static_cast<ULONG>(v.data.size()));
            }
            if (key != nullptr) sim::user::CloseHandle(setup, key);
            if (!NT_SUCCESS(status)) {
                Error("registry key " + k.key + " could not be seeded: " + StatusName(status), k.line);
                ok = false;
            }
        }
        if (setup != nullptr) sim::user::EndProcess(setup);
        if (ok) {
            // The seeded values, so a report can show a change's old data.
            json values = json::array();
            for (const RegistryKeySpec& k : s.registry) {
                for (const RegistryValueSpec& v : k.values) {
                    if (v.data.size() > 4096) continue;
                    values.push_back({{"key", vc::UserRegistryPath(k.path)}, {"value", v.name},
                                      {"dataType", RegistryType(v.type)}, {"data", HexOf(v.data)}});
                }
            }
            out.Put({{"type", "registry"}, {"keys", s.registry.size()}, {"values", values}},
                    "  registry: " + std::to_string(s.registry.size()) + " keys seeded");
        }
        return ok;
    }

    // --- machine -------------------------------------------------------------

    bool Boot() {
        sim::loader::ResetStackHighWater();
        sim::ResetKernel();
        char pattern[] = "/tmp/vetrona-scenario-XXXXXX";
        const char* folder = mkdtemp(pattern);
        if (folder == nullptr) {
            Error("no temporary folder for the volumes", 0);
            return false;
        }
        tempRoot = folder;
        out.Put({{"type", "scenario"}, {"file", s.file}, {"title", s.title}, {"techniques", s.techniques}},
                "scenario: " + s.title + "  (" + s.file + ")" +
                    (s.techniques.empty() ? "" : "\n  techniques: " + Join(s.techniques, ", ")));
        if (!s.description.empty()) out.Text("  " + s.description);
        for (const ScenarioWarning& w : s.warnings) {
            out.Put({{"type", "warning"}, {"file", s.file}, {"line", w.line}, {"field", w.field}, {"warning", w.message}},
                    "  WARNING " + s.file + (w.line > 0 ? ":" + std::to_string(w.line) : "") + ": " + w.field + ": " + w.message);
        }
        out.Text("machine");
        for (const VolumeSpec& v : s.volumes) {
            MountedVolume m;
            m.drive = v.drive;
            m.owned = v.hostFolder.empty();
            m.hostRoot = m.owned ? tempRoot + "/" + std::string(1, v.drive) : v.hostFolder;
            std::error_code ec;
            if (!m.owned && !fs::is_directory(m.hostRoot, ec)) {
                Error("host folder " + m.hostRoot + " of volume " + std::string(1, v.drive) + ": does not exist", v.line);
                return false;
            }
            fs::create_directories(m.hostRoot, ec);
            if (m.owned && v.drive == 'C') {
                // The system drive of a Windows machine: its own folders and the users' profiles.
                for (const std::string& f : MachineFolders(s)) fs::create_directories(fs::path(m.hostRoot) / HostRelative(f), ec);
            }
            for (const std::string& f : v.folders) {
                fs::create_directories(fs::path(m.hostRoot) / HostRelative(f), ec);
            }
            uint64_t bytes = 0;
            for (const FileSeed& f : v.files) {
                const fs::path path = fs::path(m.hostRoot) / HostRelative(f.path);
                fs::create_directories(path.parent_path(), ec);
                std::ofstream o(path, std::ios::binary | std::ios::trunc);
                o.write(reinterpret_cast<const char*>(f.bytes.data()), static_cast<std::streamsize>(f.bytes.size()));
                if (!o) {
                    Error("cannot seed " + path.string(), f.line);
                    return false;
                }
                bytes += f.bytes.size();
            }
            m.device = sim::fs::MountVolume(m.hostRoot, static_cast<char16_t>(v.drive));
            context->drives.emplace_back(Narrow(m.device), std::string(1, v.drive) + ":");
            volumeNames.push_back({Narrow(m.device), {std::string(1, v.drive) + ":\\"}});
            out.Put({{"type", "volume"}, {"drive", std::string(1, v.drive) + ":"}, {"device", Narrow(m.device)},
                     {"files", v.files.size()}, {"bytes", bytes}},
                    "  volume " + std::string(1, v.drive) + ": = " + Narrow(m.device) + ", " + std::to_string(v.files.size()) +
                        " files seeded (" + std::to_string(bytes) + " bytes)");
            volumes.push_back(m);
        }
        for (const UserSpec& u : s.users) {
            // The user's logon loads their hive.
            const NTSTATUS loaded = sim::cm::LoadUserHive(Wide(u.sid), Wide("C:\\Users\\" + u.name));
            if (!NT_SUCCESS(loaded)) {
                Error("the hive of user " + u.name + " could not be loaded: " + StatusName(loaded), u.line);
                return false;
            }
            out.Put({{"type", "user"}, {"name", u.name}, {"sid", u.sid}, {"profile", "C:\\Users\\" + u.name}},
                    "  user " + Pad(u.name, 12) + " " + u.sid + "  profile C:\\Users\\" + u.name + ", hive \\REGISTRY\\USER\\" + u.sid);
        }
        if (!SeedRegistry()) return false;
        std::string loadError;
        const NTSTATUS loaded = LoadVetrona(out.options(), &driver, &loadError);
        if (!NT_SUCCESS(loaded)) {
            driver = nullptr;
            Error("the driver did not load: " + StatusName(loaded) + (loadError.empty() ? "" : " (" + loadError + ")"), 0);
            return false;
        }
        out.Put({{"type", "driver"}, {"status", StatusName(loaded)}}, "  driver loaded (" + StatusName(loaded) + ")");
        for (const ProcessSpec& p : s.processes) {
            _EPROCESS* parent = p.parent.empty() ? nullptr : processes[p.parent];
            _EPROCESS* process = nullptr;
            const std::u16string image = DevicePath(p.image), commandLine = Wide(p.commandLine);
            sim::user::ProcessStart start;
            start.parent = parent;
            start.imagePath = image;
            start.commandLine = std::u16string_view(commandLine);
            start.isAdmin = p.admin;
            start.userSid = p.userSid;
            const NTSTATUS status = sim::user::StartProcess(start, &process);
            if (!NT_SUCCESS(status) || process == nullptr) {
                Error("process " + p.name + " did not start: " + StatusName(status), p.line);
                return false;
            }
            Adopt(p.name, process, p.image);
            out.Put({{"type", "process"}, {"name", p.name}, {"pid", process->pid}, {"image", p.image},
                     {"parent", p.parent}, {"user", p.user}, {"admin", p.admin}},
                    "  process " + Pad(p.name, 12) + " pid " + Pad(std::to_string(process->pid), 5) + " " + p.image +
                        (p.parent.empty() ? "" : "  (child of " + p.parent + ")") + "  as " + p.user + (p.admin ? ", elevated" : ""));
        }
        return true;
    }

    static std::string Join(const std::vector<std::string>& parts, const std::string& sep) {
        std::string out;
        for (const auto& p : parts) out += (out.empty() ? "" : sep) + p;
        return out;
    }

    static std::string HostRelative(std::string path) {
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    }

    void Adopt(const std::string& name, _EPROCESS* process, const std::string& image) {
        std::lock_guard<std::mutex> guard(lock);
        processes[name] = process;
        everStarted.insert(name);
        pidNames[static_cast<uint32_t>(process->pid)] = name;
        pidImages[static_cast<uint32_t>(process->pid)] = Narrow(DevicePath(image));
        pidHistory[static_cast<uint32_t>(process->pid)].emplace_back(name, Upper(Narrow(DevicePath(image))));
        started.push_back(process);
    }

    // --- backups -------------------------------------------------------------

    static bool CopyNamed(const std::string& copy, const std::string& name) {
        if (copy == name) return true;
        for (int n = 1; n <= 20; ++n) {
            if (copy == name + "_" + std::to_string(n)) return true;
        }
        return false;
    }

    // Called as the client answers, while the close waits for the answer: the
    // file holds what the copy must hold, and the copy is not made yet.
    void NoteBackup(const SeenEvent& e, const vc::EventView& event) {
        const auto* f = std::get_if<vc::FileEventView>(&event);
        if (f == nullptr || f->operation != FileOpCloseModified || e.verdict != VerdictBackup) return;
        PendingBackup b;
        b.seq = e.sequence;
        b.step = e.step;
        b.original = DrivePathOf(f->name.Utf8());
        b.hostName = DrivePathOf(Narrow(f->name.Utf16()));
        {
            std::lock_guard<std::mutex> guard(backupLock);
            b.folder = backupFolder;
        }
        auto onVolume = [this](const std::string& path) {
            return path.size() >= 3 && path[1] == ':' && path[2] == '\\' && VolumeOf(path[0]) != nullptr;
        };
        if (onVolume(b.hostName)) b.bytes = ReadHost(HostPath(b.hostName), &b.readable);
        if (onVolume(b.folder)) {
            std::error_code ec;
            for (const auto& entry : fs::directory_iterator(HostPath(b.folder), ec)) {
                b.before.insert(Upper(entry.path().filename().string()));
            }
        }
        std::lock_guard<std::mutex> guard(backupLock);
        pendingBackups.push_back(std::move(b));
    }

    // The copies made since: for each backup asked for, a new file in the
    // folder under the original's name or that name with _1 to _20, the one
    // holding the original's bytes when there is one.
    void ResolveBackups() {
        std::vector<PendingBackup> pending;
        {
            std::lock_guard<std::mutex> guard(backupLock);
            pending.swap(pendingBackups);
        }
        for (const PendingBackup& b : pending) {
            const std::string name = Upper(b.hostName.substr(b.hostName.rfind('\\') + 1));
            std::vector<fs::path> candidates;
            if (b.folder.size() >= 3 && VolumeOf(b.folder[0]) != nullptr) {
                std::error_code ec;
                for (const auto& entry : fs::directory_iterator(HostPath(b.folder), ec)) {
                    const std::string copy = Upper(entry.path().filename().string());
                    if (CopyNamed(copy, name) && !b.before.count(copy) && !claimedCopies.count(entry.path().string())) {
                        candidates.push_back(entry.path());
                    }
                }
            }
            std::sort(candidates.begin(), candidates.end());
            std::optional<fs::path> chosen;
            std::vector<uint8_t> copyBytes;
            for (const fs::path& candidate : candidates) {
                bool exists = false;
                std::vector<uint8_t> bytes = ReadHost(candidate, &exists);
                if (exists && (!chosen || (b.readable && bytes == b.bytes))) {
                    const bool exact = b.readable && bytes == b.bytes;
                    chosen = candidate;
                    copyBytes = std::move(bytes);
                    if (exact) break;
                }
            }
            json record = {{"type", "backup"}, {"seq", b.seq}, {"step", b.step}, {"original", b.original},
                           {"folder", b.folder}};
            std::string text = "        backup " + b.original + " -> ";
            if (chosen) {
                claimedCopies.insert(chosen->string());
                const std::string copy = b.folder + "\\" + chosen->filename().string();
                const bool exact = b.readable && copyBytes == b.bytes;
                record["backup"] = copy;
                record["originalBytes"] = b.readable ? json(b.bytes.size()) : json();
                record["backupBytes"] = copyBytes.size();
                record["exact"] = exact;
                text += copy + " (" + std::to_string(copyBytes.size()) + " bytes, " +
                        (exact ? "byte-exact" : "NOT the bytes the file held") + ")";
            } else {
                record["backup"] = json();
                record["originalBytes"] = b.readable ? json(b.bytes.size()) : json();
                record["backupBytes"] = json();
                record["exact"] = false;
                text += b.folder.empty() ? "no copy: no backup folder is set" : "no copy in " + b.folder;
            }
            out.Put(record, text);
        }
    }

    // --- client --------------------------------------------------------------

    _EPROCESS* NewClientProcess() {
        _EPROCESS* process = sim::user::StartProcess(
            nullptr, u"\\Device\\HarddiskVolume1\\Program Files\\Vetrona\\vetrona-client.exe", u"vetrona-client.exe", true);
        if (process != nullptr) {
            std::lock_guard<std::mutex> guard(lock);
            pidNames[static_cast<uint32_t>(process->pid)] = "client";
            started.push_back(process);
        }
        return process;
    }

    bool StartClient() {
        const ClientSpec& c = s.client;
        out.Text("client");
        clientProcess = NewClientProcess();
        if (clientProcess == nullptr) {
            Error("the client process did not start", c.line);
            return false;
        }
        client = std::make_unique<vc::Client>(clientProcess);
        vc::HResult hr = client->Connect();
        if (!vc::Succeeded(hr)) {
            Error("the client could not connect: " + StatusName(hr), c.line);
            return false;
        }
        if (c.sigma.present) {
            detector = std::make_unique<vetrona::client::sigma::Detector>();
            std::string error;
            if (!detector->Load(c.sigma, &error)) {
                Error("client.sigma: " + error, c.line);
                return false;
            }
            sigmaMapper.SetVolumes(volumeNames);
            // A started image's version resource and hashes come from the
            // machine's own file, read where the volume keeps it.
            sigmaMapper.SetImageReader([this](const std::string& path, std::string* bytes) {
                if (path.size() < 3 || path[1] != ':' || path[2] != '\\' || VolumeOf(path[0]) == nullptr) return false;
                bool exists = false;
                const std::vector<uint8_t> data = ReadHost(HostPath(path), &exists);
                if (!exists) return false;
                bytes->assign(data.begin(), data.end());
                return true;
            });
            out.Put({{"type", "sigma"}, {"loaded", detector->rules().size()}, {"refused", detector->rules().refused().size()}},
                    "  detection rules: " + std::to_string(detector->rules().size()) + " loaded, " +
                        std::to_string(detector->rules().refused().size()) + " refused");
        }
        std::vector<std::string> watched;
        for (const std::string& name : c.watch) {
            _EPROCESS* p = processes[name];
            hr = client->AddProcess(static_cast<uint32_t>(p->pid));
            if (!vc::Succeeded(hr)) {
                Error("watching " + name + " failed: " + StatusName(hr), c.line);
                return false;
            }
            watched.push_back(name + " (pid " + std::to_string(p->pid) + ")");
        }
        if (c.backup) {
            hr = client->SetBackupDir(u"\\??\\" + Wide(*c.backup));
            if (!vc::Succeeded(hr)) {
                Error("setting the backup folder failed: " + StatusName(hr), c.line);
                return false;
            }
            std::lock_guard<std::mutex> guard(backupLock);
            backupFolder = *c.backup;
        }
        hr = client->SetBackupLimit(c.backupLimit.value_or(vc::kDefaultBackupLimit));
        if (!vc::Succeeded(hr)) {
            Error("setting the backup limit failed: " + StatusName(hr), c.line);
            return false;
        }
        if (Restores(s.workload)) {
            journalFiles = std::make_unique<vc::Transport>(clientProcess);
            journal = std::make_unique<vc::Journal>(*journalFiles, nullptr);
            journal->Begin({{"watch", c.watch}, {"backup", c.backup ? *c.backup : ""}}, volumeNames, c.backup ? *c.backup : "",
                           c.backupLimit.value_or(vc::kDefaultBackupLimit));
        }
        std::vector<std::string> monitors;
        const std::pair<bool, vc::Monitor> switches[] = {
            {c.fileMon, vc::Monitor::File}, {c.procMon, vc::Monitor::Process}, {c.regMon, vc::Monitor::Registry}};
        const char* names[] = {"file", "process", "registry"};
        for (int i = 0; i < 3; ++i) {
            if (!switches[i].first) continue;
            hr = client->SetMonitor(switches[i].second, 1);
            if (!vc::Succeeded(hr)) {
                Error(std::string("switching ") + names[i] + " monitoring on failed: " + StatusName(hr), c.line);
                return false;
            }
            monitors.push_back(names[i]);
        }
        out.Put({{"type", "client"}, {"pid", clientProcess->pid}, {"watch", c.watch}, {"monitors", monitors},
                 {"backup", c.backup ? *c.backup : ""}, {"rules", c.policy.rules.size()},
                 {"default", vc::VerdictName(c.policy.fallback)}},
                "  client pid " + std::to_string(clientProcess->pid) + " watching " + Join(watched, ", ") +
                    "\n  monitors: " + (monitors.empty() ? "none" : Join(monitors, ", ")) +
                    (c.backup ? "; backup folder " + *c.backup : "") + "; " + std::to_string(c.policy.rules.size()) +
                    " rules, default " + vc::VerdictName(c.policy.fallback));
        if (out.options().allAllow) out.Put({{"type", "all-allow"}}, "  every verdict turned into allow (--all-allow)");
        StartResponder();
        return true;
    }

    void StartResponder() {
        stopResponder = false;
        responder = std::thread([this] { Respond(); });
    }

    void StopResponder() {
        if (responder.joinable()) {
            stopResponder = true;
            responder.join();
        }
    }

    void Respond() {
        while (!stopResponder) {
            vc::Message message;
            const vc::HResult hr = client->Receive(&message, 50);
            if (hr == vc::kHrTimeout) continue;
            if (!vc::Succeeded(hr)) break;
            const vc::DecodeResult decoded = message.Decode();
            int rule = -1;
            Verdict verdict = VerdictNone;
            if (decoded.ok()) verdict = vc::Decide(s.client.policy, decoded.event, *context, &rule);
            json alerts = json::array();
            if (decoded.ok() && detector) verdict = SigmaVerdict(decoded.event, rule, verdict, &alerts);
            if (out.options().allAllow) {
                verdict = 0;
                rule = -2;  // shown as the client's own answer
            }
            // The journal looks at the file a backup verdict will copy while
            // the request still waits for the reply.
            if (decoded.ok() && journal) {
                std::lock_guard<std::mutex> guard(journalLock);
                journal->BeforeReply(decoded.event, verdict);
            }
            // Recorded before the reply releases the waiting operation, so the
            // transcript shows the event inside its step.
            RecordEvent(message.bytes, verdict, rule, alerts);
            if (message.replyLength != 0) client->Reply(message, verdict);
        }
    }

    // The detection rules' verdict after the client's own rules, with an
    // alert line for each match (naming the rule's author).
    Verdict SigmaVerdict(const vc::EventView& view, int rule, Verdict verdict, json* alerts) {
        auto event = sigmaMapper.Map(view);
        if (!event) return verdict;
        const auto outcome = detector->Evaluate(*event);
        for (size_t k = 0; k < outcome.matches.size(); ++k) {
            const auto& info = detector->rules().info(outcome.matches[k]);
            alerts->push_back({{"id", info.id}, {"title", info.title}, {"level", info.level}, {"author", info.author}});
            out.Put(vetrona::client::sigma::AlertJson(info, *event, outcome.verdicts[k]),
                    "        " + vetrona::client::sigma::AlertLine(info, *event, outcome.verdicts[k]));
        }
        return rule < 0 && outcome.verdict != VerdictNone ? outcome.verdict : verdict;
    }

    void RecordEvent(const std::vector<uint8_t>& bytes, int32_t verdict, int rule, const json& alerts = json::array()) {
        SeenEvent seen;
        seen.alerts = alerts;
        seen.bytes = bytes;
        seen.verdict = verdict;
        seen.rule = rule;
        seen.step = currentStep;
        seen.received = std::chrono::system_clock::now();
        const vc::DecodeResult decoded = vc::DecodeEvent(bytes);
        if (decoded.ok() && !std::holds_alternative<vc::ProcessEventView>(decoded.event)) {
            seen.processName = ProcessNameOf(vc::EventProcessOf(decoded.event));
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            seen.sequence = events.size() + 1;
            events.push_back(seen);
            lastEvent = std::chrono::steady_clock::now();
        }
        if (decoded.ok()) NoteBackup(seen, decoded.event);
        PrintEvent(seen);
    }

    void PrintEvent(const SeenEvent& e) {
        const vc::DecodeResult decoded = vc::DecodeEvent(e.bytes);
        if (!decoded.ok()) {
            out.Put({{"type", "event"}, {"error", vc::DecodeErrorName(decoded.error)}, {"bytes_hex", HexOf(e.bytes)}},
                    std::string("        event: malformed (") + vc::DecodeErrorName(decoded.error) + ")");
            return;
        }
        json line = json::parse(vc::FormatEventJson(decoded.event, e.verdict));
        const uint32_t pid = vc::EventProcessOf(decoded.event);
        const std::vector<std::string> names = NamesOf(e, decoded.event);
        const std::string who = names.empty() ? std::string() : names.back();
        std::string path;
        if (auto* f = std::get_if<vc::FileEventView>(&decoded.event)) {
            path = DrivePathOf(f->name.Utf8());
            if (!f->destName.empty()) path += " -> " + DrivePathOf(f->destName.Utf8());
        } else if (auto* r = std::get_if<vc::RegistryEventView>(&decoded.event)) {
            path = vc::UserRegistryPath(r->keyPath.Utf8()) + (r->name.empty() ? "" : " : " + r->name.Utf8());
        } else {
            path = DrivePathOf(std::get<vc::ProcessEventView>(decoded.event).imageName.Utf8());
        }
        json full = {{"type", "event"}, {"seq", e.sequence}, {"step", e.step}};
        for (auto& [k, v] : line.items()) full[k] = v;
        vc::AnnotateEvent(&full, decoded.event, e.verdict, e.rule, *context, volumeNames, e.received);
        full["processName"] = who;
        if (e.alerts.is_array() && !e.alerts.empty()) full["alerts"] = e.alerts;
        if (out.options().hex) full["bytes_hex"] = HexOf(e.bytes);
        if (journal) {
            std::lock_guard<std::mutex> guard(journalLock);
            journal->Answered(full);
        }
        std::string text = "        event " + Pad(vc::ClassName(vc::EventClassOf(decoded.event)), 9) +
                           Pad(vc::EventOperationName(decoded.event), 20) + " " + path + "  by " +
                           (who.empty() ? "pid " + std::to_string(pid) : who) + "  => " + vc::VerdictName(e.verdict) +
                           (e.rule >= 0 ? " (rule " + std::to_string(e.rule + 1) + ")" : e.rule == -1 ? " (default)" : " (by the client)");
        if (out.options().hex) text += "\n          bytes " + HexOf(e.bytes);
        out.Put(full, text);
    }

    std::string ProcessNameOf(uint32_t pid) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = pidNames.find(pid);
        return it == pidNames.end() ? "" : it->second;
    }

    // The names an event can be matched by. A file or registry event has the
    // one its process had when it came. A process event comes when the id may
    // not be the process's yet (a start, before the runner names the child)
    // or no longer (an exit sent later by a worker): it has every name its id
    // was given for a process of its image, latest last.
    std::vector<std::string> NamesOf(const SeenEvent& e, const vc::EventView& event) {
        const auto* process = std::get_if<vc::ProcessEventView>(&event);
        if (process == nullptr) {
            return e.processName.empty() ? std::vector<std::string>{} : std::vector<std::string>{e.processName};
        }
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> names;
        auto it = pidHistory.find(process->processId);
        if (it == pidHistory.end()) return names;
        const std::string image = Upper(process->imageName.Utf8());
        for (const auto& [name, adoptedImage] : it->second) {
            if (adoptedImage == image) names.push_back(name);
        }
        return names;
    }

    std::string ImageOf(uint32_t pid) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = pidImages.find(pid);
        return it == pidImages.end() ? "" : it->second;
    }

    // The driver's own state, which some expectations look at: the linked
    // driver's globals, or the loaded image's (found through its link map; the
    // layout is the same, from the same source, as the layout checks ensure for
    // the platform's structures).
    DRIVER_DATA* Observed() {
        if (driver == nullptr || out.options().image.empty()) return &DriverData;
        if (observed == nullptr) {
            const sim::loader::Image* image = sim::loader::FindImage(driver->DriverStart);
            observed = image == nullptr ? nullptr
                                        : reinterpret_cast<DRIVER_DATA*>(sim::loader::ImageSymbolAddress(image, "DriverData"));
            if (observed == nullptr) {
                // LoadVetrona refused an image whose map lacks it.
                std::fprintf(stderr, "vetrona-sim: the image's DriverData is not in its link map\n");
                std::abort();
            }
        }
        return observed;
    }

    // Waits until no event has arrived for a while (exit events are sent from
    // work items after the exit returns). With the in-process client
    // answering, the work items end once their messages are answered, so
    // waiting for them leaves only a short quiet time; an outside client
    // may be slow or gone, so it gets the longer quiet time alone.
    void Drain() {
        bool answering;
        {
            std::lock_guard<std::mutex> guard(clientLock);
            answering = client && responder.joinable();
        }
        if (answering) sim::DrainWorkItems();
        const auto quiet = std::chrono::milliseconds(answering ? 30 : 150);
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            std::lock_guard<std::mutex> guard(lock);
            if (std::chrono::steady_clock::now() - lastEvent > quiet) break;
        }
    }

    void StopClient() {
        std::lock_guard<std::mutex> guard(clientLock);
        StopResponder();
        if (client) client->Disconnect();
    }

    static uint64_t MessagesSentSoFar() {
        const auto counts = sim::CallCounts();
        const auto it = counts.find("FltSendMessage");
        return it == counts.end() ? 0 : it->second;
    }

    // What the driver printed to the debugger since the last look.
    void ShowDebugger() {
        const std::vector<std::string> lines = sim::DebugOutput();
        std::vector<std::string> fresh;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (lines.size() < debuggerSeen) debuggerSeen = 0;  // cleared by someone else
            for (size_t i = debuggerSeen; i < lines.size(); ++i) {
                std::string line = lines[i];
                while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
                fresh.push_back(line);
                debugger.push_back(line);
            }
            debuggerSeen = lines.size();
        }
        for (const std::string& line : fresh) {
            out.Put({{"type", "debugger"}, {"step", currentStep.load()}, {"text", line}}, "        debugger " + line);
        }
    }

    // The scenario's client takes a step of its own: the control device and
    // port commands a client program sends, or its connection coming and going.
    void ExecuteClient(const StepSpec& step, Outcome* o) {
        std::lock_guard<std::mutex> guard(clientLock);
        auto arg = [&](const char* key) {
            auto it = step.args.find(key);
            return it == step.args.end() ? std::string() : it->second;
        };
        if (!client) {
            o->status = static_cast<int32_t>(STATUS_UNSUCCESSFUL);
            o->problem = "the scenario's client is not in this process (it is served to an outside client)";
            return;
        }
        auto note = [&](vc::HResult hr) {
            if (!vc::Succeeded(hr) && o->status == 0) o->status = static_cast<int32_t>(hr);
            return vc::Succeeded(hr);
        };
        const std::string& kind = step.kind;
        static const std::map<std::string, vc::Monitor> switches = {{"file", vc::Monitor::File},
                                                                  {"process", vc::Monitor::Process},
                                                                  {"registry", vc::Monitor::Registry},
                                                                  {"switch2", vc::Monitor::Switch2}};
        if (kind == "connect") {
            if (note(client->Connect())) {
                const bool recorded = Observed()->ClientProcess == clientProcess;
                if (!recorded) o->problem = "the driver does not record the client process";
                o->detail = "port and control device open" + std::string(recorded ? ", the driver records the client" : "");
                StartResponder();
            }
        } else if (kind == "disconnect") {
            StopResponder();
            client->Disconnect();
            const bool forgotten = Observed()->ClientPort == nullptr && Observed()->ClientProcess == nullptr;
            if (!forgotten) o->problem = "the driver still records the client";
            o->detail = forgotten ? "port closed, the driver forgot the client" : "";
        } else if (kind == "get-version") {
            std::string version;
            if (note(client->GetVersion(&version))) {
                o->fields["version"] = version;
                o->detail = "driver version \"" + version + "\"";
                if (version != VETRONA_VERSION_TEXT) o->problem = std::string("expected \"") + VETRONA_VERSION_TEXT + "\"";
            }
        } else if (kind == "set-switch") {
            const int value = std::stoi(arg("value"), nullptr, 0);
            if (note(client->SetMonitor(switches.at(arg("switch")), static_cast<uint8_t>(value)))) {
                o->detail = arg("switch") + " := " + std::to_string(value);
            }
        } else if (kind == "get-switch") {
            const int expected = std::stoi(arg("value"), nullptr, 0);
            uint8_t value = 0;
            if (note(client->GetMonitor(switches.at(arg("switch")), &value))) {
                o->fields["value"] = value;
                o->detail = arg("switch") + " = " + std::to_string(value);
                if (value != expected) o->problem = "expected " + std::to_string(expected);
            }
        } else if (kind == "watch") {
            _EPROCESS* p = nullptr;
            {
                std::lock_guard<std::mutex> names(lock);
                p = processes[arg("name")];
            }
            if (p == nullptr) {
                o->status = static_cast<int32_t>(STATUS_INVALID_PARAMETER);
                o->problem = arg("name") + " is not running";
            } else if (note(client->AddProcess(static_cast<uint32_t>(p->pid)))) {
                o->detail = arg("name") + " (pid " + std::to_string(p->pid) + ") watched";
            }
        } else if (kind == "restore") {
            Restore(step, o);
        } else if (kind == "set-backup") {
            const std::string folder = arg("folder");
            if (note(client->SetBackupDir(folder.empty() ? std::u16string() : u"\\??\\" + Wide(folder)))) {
                o->detail = folder.empty() ? "backup folder cleared" : "backup folder " + folder;
                if (journal) {
                    std::lock_guard<std::mutex> journalGuard(journalLock);
                    journal->SetBackupFolder(folder);
                }
                std::lock_guard<std::mutex> guard(backupLock);
                backupFolder = folder;
            }
        }
    }

    static bool Restores(const std::vector<StepSpec>& steps) {
        for (const StepSpec& step : steps) {
            if (step.kind == "restore" || Restores([&] {
                    std::vector<StepSpec> all;
                    for (const auto& thread : step.threads) all.insert(all.end(), thread.begin(), thread.end());
                    return all;
                }())) {
                return true;
            }
        }
        return false;
    }

    // What `vetrona-client restore` does, from the client's journal of the
    // run so far: the copies it found are shown, then each original's restore.
    void Restore(const StepSpec& step, Outcome* o) {
        auto arg = [&](const char* key) {
            auto it = step.args.find(key);
            return it == step.args.end() ? std::string() : it->second;
        };
        std::lock_guard<std::mutex> guard(journalLock);
        if (!journal) {
            o->status = static_cast<int32_t>(STATUS_UNSUCCESSFUL);
            o->problem = "no journal";
            return;
        }
        journal->Finish();
        // The copies it found, in the order of the events that asked for them.
        std::vector<json> found;
        for (; journalShown < journal->lines().size(); ++journalShown) {
            const json& line = journal->lines()[journalShown];
            if (line.value("type", "") == "backup") found.push_back(line);
        }
        std::stable_sort(found.begin(), found.end(), [](const json& a, const json& b) { return a.value("seq", 0) < b.value("seq", 0); });
        for (const json& line : found) {
            json record = line;
            std::string text = "        copy of " + line.value("original", "") + " (event " + std::to_string(line.value("seq", 0)) + "): ";
            if (line["backup"].is_string()) {
                text += line["backup"].get<std::string>() + ", " + std::to_string(line.value("backupBytes", 0)) + " bytes, SHA-256 " +
                        line.value("sha256", "").substr(0, 16) + "...";
            } else {
                text += "none: " + line.value("reason", "");
            }
            record["type"] = "journal-copy";
            out.Put(record, text);
        }
        vc::RestoreOptions options;
        options.to = arg("to");
        options.only = arg("only");
        options.dryRun = arg("dry-run") == "true";
        options.force = arg("force") == "true";
        const std::vector<vc::RestoreItem> items = vc::Restore(*journalFiles, journal->lines(), options);
        int restored = 0, missing = 0, bad = 0;
        for (const vc::RestoreItem& item : items) {
            out.Put(item.ToJson(), "        " + item.Line());
            if (item.ok()) ++restored;
            else if (item.action == "no copy") ++missing;
            else ++bad;
        }
        const int expectMissing = arg("missing").empty() ? 0 : std::stoi(arg("missing"));
        o->fields["restored"] = restored;
        o->fields["noCopy"] = missing;
        o->fields["refusedOrFailed"] = bad;
        o->detail = std::to_string(restored) + " restored, " + std::to_string(missing) + " with no copy, " + std::to_string(bad) +
                    " refused or failed";
        if (bad != 0 || missing != expectMissing) {
            o->problem = "expected every original restored" +
                         (expectMissing ? " but " + std::to_string(expectMissing) + " with no copy" : std::string());
        }
    }

    // --- workload ------------------------------------------------------------

    bool RunSteps(const std::vector<StepSpec>& steps, const std::string& threadName) {
        bool ok = true;
        for (const StepSpec& step : steps) {
            if (!RunStep(step, threadName)) {
                ok = false;
                if (stoppedEarly) break;
            }
        }
        return ok;
    }

    bool RunStep(const StepSpec& step, const std::string& threadName) {
        int number;
        {
            std::lock_guard<std::mutex> guard(lock);
            number = ++stepCount;
        }
        if (step.kind == "threads") {
            out.Put({{"type", "threads"}, {"step", number}, {"threads", step.threads.size()}},
                    "  [" + std::to_string(number) + "] " + std::to_string(step.threads.size()) + " threads at once");
            std::vector<std::thread> threads;
            std::vector<char> results(step.threads.size(), 1);
            for (size_t i = 0; i < step.threads.size(); ++i) {
                threads.emplace_back([this, &step, &results, i] {
                    results[i] = RunSteps(step.threads[i], "thread " + std::to_string(i + 1)) ? 1 : 0;
                });
            }
            for (auto& t : threads) t.join();
            return std::all_of(results.begin(), results.end(), [](char r) { return r != 0; });
        }
        const std::string title = Describe(step);
        if (threadName.empty()) currentStep = number;
        out.Text("  [" + std::to_string(number) + "] " + (threadName.empty() ? "" : threadName + ": ") +
                 Pad(step.process, 10) + " " + title);
        if (!StepKindSupported(step.kind)) {
            std::lock_guard<std::mutex> guard(lock);
            ++stepFailures;
            stoppedEarly = true;
            stopReason = step.kind + ": not supported yet by the simulated kernel";
            Error("step '" + step.kind + "': not supported yet (the simulated kernel has no registry)", step.line);
            return false;
        }
        _EPROCESS* process;
        {
            std::lock_guard<std::mutex> guard(lock);
            process = processes[step.process];
        }
        Outcome o;
        if (step.process == kClientProcessName) {
            ExecuteClient(step, &o);
        } else if (process == nullptr || (process->exited && step.kind != "exit")) {
            o.status = static_cast<int32_t>(0xC000010A);  // STATUS_PROCESS_IS_TERMINATING
            o.detail = "the process has exited";
        } else {
            Execute(step, process, &o);
        }
        const int32_t expected = step.status ? *step.status : 0;
        const bool ok = o.status == expected && o.problem.empty();
        if (threadName.empty()) ShowDebugger();
        if (threadName.empty()) ResolveBackups();
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!ok) ++stepFailures;
        }
        if (threadName.empty()) SnapshotOriginals();
        json line = {{"type", "step"}, {"step", number}, {"line", step.line}, {"process", step.process},
                     {"kind", step.kind}, {"what", title}, {"status", StatusName(o.status)},
                     {"expected", StatusName(expected)}, {"ok", ok}};
        if (!threadName.empty()) line["thread"] = threadName;
        if (!o.problem.empty()) line["problem"] = o.problem;
        if (!step.label.empty()) line["label"] = step.label;
        for (auto& [k, v] : o.fields.items()) line[k] = v;
        out.Put(line, std::string(ok ? "      ok    " : "      FAIL  ") + StatusName(o.status) +
                          (o.status == expected ? "" : " (expected " + StatusName(expected) + ")") +
                          (o.problem.empty() ? "" : "  " + o.problem) + (ok ? "" : " (line " + std::to_string(step.line) + ")") +
                          (o.detail.empty() ? "" : "  " + o.detail));
        return ok;
    }

    std::string Describe(const StepSpec& step) {
        auto arg = [&](const char* key) {
            auto it = step.args.find(key);
            return it == step.args.end() ? std::string() : it->second;
        };
        std::string target = arg("path").empty() ? (arg("handle").empty() ? "" : "handle " + arg("handle")) : arg("path");
        std::string text = step.kind;
        if (step.kind == "start") text += " " + arg("name") + " " + arg("image");
        else if (step.kind == "write") text += " " + target + " (" + std::to_string(step.data->size()) + " bytes)";
        else if (step.kind == "rename") text += " " + target + " -> " + arg("to");
        else if (step.kind == "link") text += " " + target + " as " + arg("to");
        else if (step.kind == "define-dos-device") text += " " + Upper(arg("name")) + " -> " + arg("target");
        else if (step.kind == "scsi-write" || step.kind == "ata-write") text += " on " + Upper(arg("volume")) + ": at sector " + (arg("lba").empty() ? "0" : arg("lba"));
        else if (step.kind == "partition-table") text += " on " + Upper(arg("volume")) + ": " + (arg("request").empty() ? "set-layout" : arg("request"));
        else if (step.kind == "set-value" || step.kind == "delete-value") text += " " + arg("key") + " : " + arg("name");
        else if (step.kind == "create-key" || step.kind == "delete-key") text += " " + arg("key");
        else if (step.kind == "rename-key") text += " " + arg("key") + " -> " + arg("to");
        else if (step.kind == "get-switch" || step.kind == "set-switch") text += " " + arg("switch") + (step.kind == "set-switch" ? " to " : ", expecting ") + arg("value");
        else if (step.kind == "watch") text += " " + arg("name");
        else if (step.kind == "set-backup") text = arg("folder").empty() ? "clear the backup folder" : "set-backup " + arg("folder");
        else if (step.kind == "restore") text += arg("to").empty() ? " over the originals" : " into " + arg("to");
        else if (step.kind == "encrypt") text += " " + arg("files") + (arg("in-place") == "false" ? " into copies" : " in place");
        else if (!target.empty()) text += " " + target;
        if (!step.label.empty()) text = step.label + ": " + text;
        return text;
    }

    HANDLE Handle(const StepSpec& step, _EPROCESS** owner) {
        std::lock_guard<std::mutex> guard(lock);
        auto it = handles.find(step.args.at("handle"));
        if (it == handles.end()) return nullptr;
        *owner = it->second.first;
        return it->second.second;
    }

    NTSTATUS Open(_EPROCESS* process, const std::string& path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, HANDLE* handle, ULONG_PTR* information = nullptr) {
        return sim::user::CreateFile(process, Wide(path), access, share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT,
                                     handle, information);
    }

    void Close(_EPROCESS* process, HANDLE handle, Outcome* o) {
        if (handle != nullptr) Note(o, sim::user::CloseHandle(process, handle));
    }

    void Deny(NTSTATUS status) {
        if (status == kAccessDenied) {
            std::lock_guard<std::mutex> guard(lock);
            ++deniedOperations;
        }
    }

    // The whole content of an open file.
    // CreateHardLink as the program's call reaches NtSetInformationFile.
    static NTSTATUS LinkFile(_EPROCESS* process, HANDLE handle, const std::u16string& newName, bool replaceIfExists) {
        std::vector<uint8_t> buffer(FIELD_OFFSET(FILE_LINK_INFORMATION, FileName) + newName.size() * sizeof(WCHAR) + sizeof(WCHAR));
        auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
        info->ReplaceIfExists = replaceIfExists ? TRUE : FALSE;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<ULONG>(newName.size() * sizeof(WCHAR));
        std::memcpy(info->FileName, newName.data(), newName.size() * sizeof(WCHAR));
        return sim::user::SetInformationFile(process, handle, FileLinkInformation, buffer.data(), static_cast<ULONG>(buffer.size()));
    }

    NTSTATUS ReadAll(_EPROCESS* process, HANDLE handle, std::vector<uint8_t>* data) {
        data->clear();
        std::vector<uint8_t> chunk(65536);
        for (int64_t offset = 0;;) {
            ULONG read = 0;
            const NTSTATUS status = sim::user::ReadFile(process, handle, offset, chunk.data(), static_cast<ULONG>(chunk.size()), &read);
            if (status == STATUS_END_OF_FILE) return STATUS_SUCCESS;
            if (!NT_SUCCESS(status)) return status;
            data->insert(data->end(), chunk.begin(), chunk.begin() + read);
            offset += read;
            if (read < chunk.size()) return STATUS_SUCCESS;
        }
    }

    void Execute(const StepSpec& step, _EPROCESS* process, Outcome* o) {
        auto arg = [&](const char* key, const std::string& fallback = "") {
            auto it = step.args.find(key);
            return it == step.args.end() ? fallback : it->second;
        };
        auto list = [&](const char* key, std::vector<std::string> fallback) {
            auto it = step.lists.find(key);
            return it == step.lists.end() ? fallback : it->second;
        };
        const std::string& kind = step.kind;
        if (kind == "start") {
            _EPROCESS* child = nullptr;
            const std::string name = arg("name");
            const std::u16string image = DevicePath(arg("image")), commandLine = Wide(arg("command-line"));
            sim::user::ProcessStart start;
            start.parent = process;
            start.imagePath = image;
            start.commandLine = std::u16string_view(commandLine);
            start.isAdmin = arg("admin") == "true";
            start.userSid = step.userSid;
            // A claimed parent: the new process inherits from it, while the
            // step's process is the one whose thread creates it.
            std::unique_ptr<sim::ThreadScope> creator;
            if (step.args.count("parent")) {
                std::lock_guard<std::mutex> guard(lock);
                start.parent = processes[arg("parent")];
            }
            if (start.parent == nullptr || start.parent->exited) {
                o->status = static_cast<int32_t>(0xC000000B);  // STATUS_INVALID_CLIENT_ID: no such parent to open
                o->detail = "the claimed parent " + arg("parent") + " is not running";
                return;
            }
            if (start.parent != process) {
                creator = std::make_unique<sim::ThreadScope>(process, sim::InThread::Main);
                start.creatingThread = creator->thread();
            }
            const NTSTATUS status = sim::user::StartProcess(start, &child);
            creator.reset();
            Note(o, status);
            o->fields["user"] = step.userSid == SystemUserSid() ? std::string("SYSTEM") : step.userSid;
            for (const UserSpec& u : s.users) {
                if (u.sid == step.userSid) o->fields["user"] = u.name;
            }
            o->fields["admin"] = start.isAdmin;
            Deny(status);
            if (NT_SUCCESS(status) && child != nullptr) {
                Adopt(name, child, arg("image"));
                o->detail = name + " is pid " + std::to_string(child->pid);
                o->fields["pid"] = child->pid;
                o->fields["name"] = name;
            } else {
                std::lock_guard<std::mutex> guard(lock);
                processes[name] = nullptr;
            }
        } else if (kind == "exit") {
            Note(o, sim::user::EndProcess(process));
            // An exit the driver could not report from the exiting thread goes
            // out from a system worker: the step ends when that has happened.
            if (driver != nullptr) sim::io::WaitWorkItemsOfDriver(driver);
        } else if (kind == "create" || kind == "open") {
            const bool create = kind == "create";
            HANDLE handle = nullptr;
            ULONG_PTR information = 0;
            const NTSTATUS status =
                Open(process, arg("path"), AccessOf(list("access", create ? std::vector<std::string>{"read", "write"} : std::vector<std::string>{"read"})),
                     ShareOf(list("share", create ? std::vector<std::string>{"read"} : std::vector<std::string>{"read", "write"})),
                     DispositionOf(arg("disposition", create ? "create" : "open")), OptionsOf(list("options", {})), &handle,
                     &information);
            Note(o, status);
            Deny(status);
            if (NT_SUCCESS(status)) {
                static const char* const kInformation[] = {"FILE_SUPERSEDED", "FILE_OPENED", "FILE_CREATED",
                                                           "FILE_OVERWRITTEN", "FILE_EXISTS", "FILE_DOES_NOT_EXIST"};
                o->detail = information < 6 ? kInformation[information] : "information " + std::to_string(information);
                o->fields["information"] = o->detail;
                if (step.args.count("handle")) {
                    std::lock_guard<std::mutex> guard(lock);
                    handles[arg("handle")] = {process, handle};
                    handlePaths[arg("handle")] = Upper(arg("path"));
                    o->detail += ", handle " + arg("handle");
                } else {
                    Close(process, handle, o);
                }
            }
        } else if (kind == "write") {
            HANDLE handle = nullptr;
            _EPROCESS* owner = process;
            const bool byPath = step.args.count("path") != 0;
            int64_t offset = byPath ? 0 : sim::user::kCurrentPosition;
            if (step.args.count("offset")) offset = std::stoll(arg("offset"));
            if (byPath) {
                const NTSTATUS status = Open(process, arg("path"), AccessOf({"write"}), FILE_SHARE_READ, FILE_OPEN_IF,
                                             FILE_NON_DIRECTORY_FILE, &handle);
                Note(o, status);
                Deny(status);
                if (!NT_SUCCESS(status)) return;
            } else {
                handle = Handle(step, &owner);
            }
            ULONG written = 0;
            const NTSTATUS status = sim::user::WriteFile(owner, handle, offset, step.data->data(),
                                                         static_cast<ULONG>(step.data->size()), &written);
            Note(o, status);
            Deny(status);
            o->fields["bytes"] = written;
            o->detail = std::to_string(written) + " bytes written";
            if (byPath) {
                const NTSTATUS closed = sim::user::CloseHandle(process, handle);
                Note(o, closed);
                Deny(closed);
            }
        } else if (kind == "read") {
            HANDLE handle = nullptr;
            _EPROCESS* owner = process;
            const bool byPath = step.args.count("path") != 0;
            if (byPath) {
                const NTSTATUS status = Open(process, arg("path"), AccessOf({"read"}), FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             FILE_OPEN, FILE_NON_DIRECTORY_FILE, &handle);
                Note(o, status);
                Deny(status);
                if (!NT_SUCCESS(status)) return;
            } else {
                handle = Handle(step, &owner);
            }
            std::vector<uint8_t> data;
            if (step.args.count("length")) {
                data.resize(std::stoul(arg("length")));
                ULONG read = 0;
                const NTSTATUS status = sim::user::ReadFile(owner, handle, std::stoll(arg("offset", "0")), data.data(),
                                                            static_cast<ULONG>(data.size()), &read);
                Note(o, status);
                data.resize(read);
            } else {
                Note(o, ReadAll(owner, handle, &data));
            }
            o->fields["bytes"] = data.size();
            o->detail = std::to_string(data.size()) + " bytes read";
            if (step.data && NT_SUCCESS(o->status)) {
                const bool same = *step.data == data;
                if (!same) o->problem = "other bytes than expected (" + std::to_string(step.data->size()) + " expected)";
                else o->detail += ", as expected";
            }
            if (byPath) Close(process, handle, o);
        } else if (kind == "close") {
            _EPROCESS* owner = process;
            HANDLE handle = Handle(step, &owner);
            if (handle == nullptr) {
                o->status = static_cast<int32_t>(0xC0000008);  // STATUS_INVALID_HANDLE
                o->detail = "handle " + arg("handle") + " is not open";
                return;
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                handles.erase(arg("handle"));
                handlePaths.erase(arg("handle"));
            }
            const NTSTATUS status = sim::user::CloseHandle(owner, handle);
            Note(o, status);
            Deny(status);
        } else if (kind == "rename" || kind == "link") {
            HANDLE handle = nullptr;
            _EPROCESS* owner = process;
            const bool byPath = step.args.count("path") != 0;
            const bool link = kind == "link";
            if (byPath) {
                // A link is made through a handle that only needs to name the
                // file; a rename needs DELETE on it.
                const NTSTATUS status = Open(process, arg("path"), (link ? FILE_WRITE_ATTRIBUTES : DELETE) | SYNCHRONIZE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0, &handle);
                Note(o, status);
                Deny(status);
                if (!NT_SUCCESS(status)) return;
            } else {
                handle = Handle(step, &owner);
            }
            std::string to = arg("to");
            std::u16string target = to.size() >= 3 && to[1] == ':' && to[2] == '\\' ? u"\\??\\" + Wide(to) : Wide(to);
            const NTSTATUS status = link ? LinkFile(owner, handle, target, arg("replace") == "true")
                                         : sim::user::SetRenameInformation(owner, handle, target, arg("replace") == "true");
            Note(o, status);
            Deny(status);
            if (byPath) Close(process, handle, o);
        } else if (kind == "delete") {
            HANDLE handle = nullptr;
            _EPROCESS* owner = process;
            const bool byPath = step.args.count("path") != 0;
            const bool onClose = arg("on-close") == "true";
            if (byPath) {
                const NTSTATUS status =
                    Open(process, arg("path"), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         FILE_OPEN, FILE_NON_DIRECTORY_FILE | (onClose ? FILE_DELETE_ON_CLOSE : 0), &handle);
                Note(o, status);
                Deny(status);
                if (!NT_SUCCESS(status)) return;
            } else {
                handle = Handle(step, &owner);
            }
            if (!onClose) {
                const NTSTATUS status = sim::user::SetDisposition(owner, handle, true);
                Note(o, status);
                Deny(status);
            }
            if (byPath) Close(process, handle, o);
        } else if (kind == "define-dos-device") {
            // DefineDosDevice as the program calls it: the target in its DOS form.
            const std::u16string link = u"\\??\\" + Wide(Upper(arg("name")));
            const NTSTATUS status = sim::user::DefineDosDevice(process, 0, Wide(Upper(arg("name"))), Wide(arg("target")));
            Note(o, status);
            if (NT_SUCCESS(status)) {
                std::lock_guard<std::mutex> guard(lock);
                links.push_back(link);
            }
            std::u16string target;
            sim::ob::QuerySymbolicLink(link, &target);
            o->detail = Narrow(link) + " -> " + Narrow(target);
        } else if (kind == "scsi-write" || kind == "ata-write" || kind == "partition-table") {
            const std::string volume = std::string("\\\\.\\") + static_cast<char>(std::toupper(static_cast<unsigned char>(arg("volume")[0]))) + ":";
            HANDLE handle = nullptr;
            NTSTATUS status = Open(process, volume, FILE_GENERIC_READ | FILE_GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   FILE_OPEN, 0, &handle);
            Note(o, status);
            Deny(status);
            if (!NT_SUCCESS(status)) return;
            status = SendRawStep(process, handle, kind, step.args, step.lists, &o->detail);
            Note(o, status);
            Deny(status);
            Close(process, handle, o);
        } else if (kind == "encrypt") {
            Encrypt(step, process, o);
        } else if (kind == "create-key" || kind == "set-value") {
            HANDLE key = nullptr;
            NTSTATUS status = CreateKeyPath(process, KeyOf(step, process),
                                            kind == "set-value" ? KEY_SET_VALUE | KEY_QUERY_VALUE : KEY_ALL_ACCESS, &key);
            Note(o, status);
            Deny(status);
            if (NT_SUCCESS(status) && kind == "set-value") {
                const RegistryValueSpec value = ValueOf(step);
                status = sim::user::SetValueKey(process, key, Wide(value.name), RegistryType(value.type), value.data.data(),
                                                static_cast<ULONG>(value.data.size()));
                Note(o, status);
                Deny(status);
                o->detail = value.type + ", " + std::to_string(value.data.size()) + " bytes";
            }
            if (key != nullptr) Note(o, sim::user::CloseHandle(process, key));
        } else if (kind == "delete-value" || kind == "rename-key" || kind == "delete-key") {
            HANDLE key = nullptr;
            const ACCESS_MASK access = kind == "delete-value" ? KEY_SET_VALUE : kind == "rename-key" ? KEY_WRITE : DELETE;
            NTSTATUS status = sim::user::OpenKey(process, nullptr, KeyOf(step, process), access, &key);
            Note(o, status);
            Deny(status);
            if (NT_SUCCESS(status)) {
                if (kind == "delete-value") status = sim::user::DeleteValueKey(process, key, Wide(arg("name")));
                else if (kind == "rename-key") status = sim::user::RenameKey(process, key, Wide(arg("to")));
                else status = sim::user::DeleteKey(process, key);
                Note(o, status);
                Deny(status);
                Note(o, sim::user::CloseHandle(process, key));
            }
        }
    }

    // The kernel's name of a step's key. HKEY_CURRENT_USER is what the acting
    // process's own token makes it, as the system resolves it for the program.
    static std::u16string KeyOf(const StepSpec& step, _EPROCESS* process) {
        std::string rest;
        if (IsCurrentUserKey(step.args.at("key"), &rest)) return sim::user::CurrentUserKeyPath(process) + Wide(rest);
        return Wide(step.keyPath);
    }

    static RegistryValueSpec ValueOf(const StepSpec& step) {
        RegistryValueSpec value;
        value.name = step.args.count("name") ? step.args.at("name") : "";
        value.type = step.args.count("type") ? Upper(step.args.at("type")) : "";
        if (step.args.count("dword")) {
            const uint32_t d = static_cast<uint32_t>(std::stoul(step.args.at("dword"), nullptr, 0));
            value.data = {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
                          static_cast<uint8_t>(d >> 24)};
            if (value.type.empty()) value.type = "REG_DWORD";
        } else if (step.data) {
            value.data = *step.data;
        }
        if (value.type.empty()) value.type = "REG_BINARY";
        return value;
    }

    // Seeded and workload-made files matching a glob, found on the host.
    std::vector<std::string> FilesMatching(const std::string& pattern) {
        std::vector<std::string> found;
        const size_t wildcard = pattern.find_first_of("*?");
        const size_t cut = pattern.rfind('\\', wildcard == std::string::npos ? pattern.size() : wildcard);
        const std::string base = pattern.substr(0, cut);
        const fs::path root = HostPath(base.size() < 3 ? base + "\\" : base);
        std::error_code ec;
        if (!fs::is_directory(root, ec)) return found;
        for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (ec || !it->is_regular_file()) continue;
            std::string rel = fs::relative(it->path(), root).string();
            std::replace(rel.begin(), rel.end(), '/', '\\');
            const std::string full = base + "\\" + rel;
            if (vc::GlobMatch(pattern, full)) found.push_back(full);
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    // Ransomware's core: every matching file is read, its bytes scrambled
    // with a key, and written back in place or into a copy beside it (and the
    // original then deleted when asked).
    void Encrypt(const StepSpec& step, _EPROCESS* process, Outcome* o) {
        auto arg = [&](const char* key, const std::string& fallback = "") {
            auto it = step.args.find(key);
            return it == step.args.end() ? fallback : it->second;
        };
        const bool inPlace = arg("in-place", "true") == "true";
        const bool deleteOriginal = arg("delete-original") == "true";
        const uint8_t key = static_cast<uint8_t>(std::stoul(arg("key", "90")));
        const std::vector<std::string> files = FilesMatching(arg("files"));
        int done = 0;
        json perFile = json::array();
        for (const std::string& file : files) {
            std::vector<NTSTATUS> statuses;
            auto note = [&](NTSTATUS status) {
                statuses.push_back(status);
                Note(o, status);
                Deny(status);
                return NT_SUCCESS(status);
            };
            HANDLE handle = nullptr;
            std::vector<uint8_t> data;
            const ACCESS_MASK access = inPlace ? AccessOf({"read", "write"}) : AccessOf({"read"});
            if (!note(Open(process, file, access, inPlace ? 0 : FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE, &handle))) {
                perFile.push_back({{"file", file}, {"status", StatusName(statuses.back())}});
                continue;
            }
            note(ReadAll(process, handle, &data));
            for (auto& b : data) b ^= key;
            if (inPlace) {
                ULONG written = 0;
                note(sim::user::WriteFile(process, handle, 0, data.data(), static_cast<ULONG>(data.size()), &written));
                note(sim::user::CloseHandle(process, handle));
            } else {
                note(sim::user::CloseHandle(process, handle));
                HANDLE copy = nullptr;
                if (note(Open(process, file + arg("suffix"), AccessOf({"write"}), 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, &copy))) {
                    ULONG written = 0;
                    note(sim::user::WriteFile(process, copy, 0, data.data(), static_cast<ULONG>(data.size()), &written));
                    note(sim::user::CloseHandle(process, copy));
                }
                if (deleteOriginal) {
                    HANDLE victim = nullptr;
                    if (note(Open(process, file, DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  FILE_OPEN, FILE_NON_DIRECTORY_FILE, &victim))) {
                        note(sim::user::SetDisposition(process, victim, true));
                        note(sim::user::CloseHandle(process, victim));
                    }
                }
            }
            NTSTATUS worst = STATUS_SUCCESS;
            for (NTSTATUS st : statuses) {
                if (!NT_SUCCESS(st)) {
                    worst = st;
                    break;
                }
            }
            if (NT_SUCCESS(worst)) ++done;
            perFile.push_back({{"file", file}, {"bytes", data.size()}, {"status", StatusName(worst)}});
        }
        o->fields["files"] = perFile;
        o->detail = std::to_string(files.size()) + " files, " + std::to_string(done) + " fully encrypted";
    }

    // A file's original is its content once it exists with some bytes and the
    // workload holds no handle to it (a file written through a handle is
    // complete when the handle closes).
    void SnapshotOriginals() {
        std::set<std::string> open;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (const auto& [name, path] : handlePaths) open.insert(path);
        }
        for (const BackupExpect& b : s.backups) {
            for (const std::string& file : FilesMatching(b.originals)) {
                if (originals.count(Upper(file)) || open.count(Upper(file))) continue;
                bool exists = false;
                auto data = ReadHost(HostPath(file), &exists);
                if (exists && !data.empty()) originals[Upper(file)] = std::move(data);
            }
        }
    }

    bool RunWorkload() {
        SnapshotOriginals();
        for (const DiskExpect& d : s.disks) diskBefore.push_back(DiskSectors(d.drive, d.lba, d.sectors));
        {
            std::lock_guard<std::mutex> guard(lock);
            debuggerSeen = sim::DebugOutput().size();
        }
        messagesAtStart = MessagesSentSoFar();
        out.Text("workload");
        const bool ok = RunSteps(s.workload, "");
        currentStep = 0;
        return ok;
    }

    // --- expectations --------------------------------------------------------

    void Expect(int line, const std::string& what, bool ok, const std::string& detail) {
        expectations.push_back({line, what, ok, detail});
        out.Put({{"type", "expectation"}, {"line", line}, {"what", what}, {"ok", ok}, {"detail", detail}},
                std::string(ok ? "  ok    " : "  FAIL  ") + what + (detail.empty() ? "" : ": " + detail) +
                    (ok ? "" : "  (line " + std::to_string(line) + ")"));
    }

    bool Matches(const EventMatcher& m, const SeenEvent& e) {
        const vc::DecodeResult decoded = vc::DecodeEvent(e.bytes);
        if (!decoded.ok()) return false;
        vc::PolicyRule rule;
        rule.eventClass = m.eventClass;
        rule.operation = m.operation;
        rule.path = m.path;
        rule.destination = m.destination;
        rule.value = m.value;
        rule.image = m.image;
        if (!vc::RuleMatches(rule, decoded.event, *context)) return false;
        if (m.verdict && *m.verdict != e.verdict) return false;
        if (!m.process.empty()) {
            const std::vector<std::string> names = NamesOf(e, decoded.event);
            if (std::find(names.begin(), names.end(), m.process) == names.end()) return false;
        }
        return true;
    }

    std::string MatcherText(const EventMatcher& m) {
        std::string text = m.eventClass ? vc::ClassName(*m.eventClass) : "any";
        if (m.operation) {
            text += " ";
            text += m.eventClass == EVENT_CLASS_REGISTRY ? vc::RegOpName(*m.operation)
                    : m.eventClass == EVENT_CLASS_PROCESS ? (*m.operation ? "start" : "exit")
                                                          : vc::FileOpName(*m.operation);
        }
        if (!m.path.empty()) text += " " + m.path;
        if (!m.destination.empty()) text += " -> " + m.destination;
        if (!m.value.empty()) text += " value " + m.value;
        if (!m.process.empty()) text += " by " + m.process;
        if (!m.image.empty()) text += " image " + m.image;
        if (m.verdict) text += std::string(" => ") + vc::VerdictName(*m.verdict);
        return text;
    }

    void CheckEvents() {
        const EventsExpect& ev = s.events;
        if (!ev.present) return;
        std::vector<SeenEvent> seen;
        {
            std::lock_guard<std::mutex> guard(lock);
            seen = events;
        }
        std::vector<bool> used(seen.size(), false);
        size_t cursor = 0;
        for (const EventMatcher& m : ev.list) {
            bool found = false;
            for (size_t i = ev.ordered ? cursor : 0; i < seen.size(); ++i) {
                if (used[i] || !Matches(m, seen[i])) continue;
                used[i] = true;
                cursor = i + 1;
                found = true;
                Expect(m.line, "event " + MatcherText(m), true, "event " + std::to_string(seen[i].sequence));
                break;
            }
            if (!found) {
                Expect(m.line, "event " + MatcherText(m), false,
                       ev.ordered ? "not seen after the events matched before it" : "not seen");
            }
        }
        if (ev.complete) {
            size_t unmatched = 0;
            std::string first;
            for (size_t i = 0; i < seen.size(); ++i) {
                const bool covered = used[i] || std::any_of(ev.list.begin(), ev.list.end(),
                                                           [&](const EventMatcher& m) { return Matches(m, seen[i]); });
                if (!covered) {
                    if (unmatched++ == 0) first = "event " + std::to_string(seen[i].sequence);
                }
            }
            Expect(ev.line, "no events beyond those listed", unmatched == 0,
                   unmatched == 0 ? std::to_string(seen.size()) + " events"
                                  : std::to_string(unmatched) + " unexpected, the first is " + first);
        }
        for (const EventMatcher& m : ev.absent) {
            size_t hits = 0;
            for (const SeenEvent& e : seen) hits += Matches(m, e) ? 1 : 0;
            Expect(m.line, "no event " + MatcherText(m), hits == 0, hits == 0 ? "" : std::to_string(hits) + " seen");
        }
    }

    const FileSeed* SeedOf(const std::string& path) {
        for (const VolumeSpec& v : s.volumes) {
            if (std::toupper(static_cast<unsigned char>(path[0])) != v.drive) continue;
            for (const FileSeed& f : v.files) {
                if (Upper(f.path) == Upper(path.substr(3))) return &f;
            }
        }
        return nullptr;
    }

    // A named stream ("C:\dir\doc.txt:name") has no host file of its own: it
    // is read through the model, as the System process would read it.
    std::vector<uint8_t> ReadStream(const std::string& path, bool* exists) {
        *exists = false;
        std::vector<uint8_t> data;
        _EPROCESS* system = sim::SystemProcess();
        HANDLE handle = nullptr;
        if (!NT_SUCCESS(Open(system, path, FILE_GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                             FILE_NON_DIRECTORY_FILE, &handle))) {
            return data;
        }
        *exists = NT_SUCCESS(ReadAll(system, handle, &data));
        sim::user::CloseHandle(system, handle);
        return data;
    }

    void CheckFiles() {
        for (const FileExpect& f : s.files) {
            bool exists = false;
            const bool stream = f.path.find(':', 2) != std::string::npos;
            const std::vector<uint8_t> data = stream ? ReadStream(f.path, &exists) : ReadHost(HostPath(f.path), &exists);
            std::vector<std::string> problems;
            if (f.exists && *f.exists != exists) problems.push_back(exists ? "exists" : "does not exist");
            if ((f.content || !f.sha256.empty() || f.unchanged) && !exists) {
                if (!f.exists) problems.push_back("does not exist");
            } else {
                if (f.content && *f.content != data) problems.push_back("holds other bytes (" + std::to_string(data.size()) + ")");
                if (!f.sha256.empty() && Sha256Hex(data) != f.sha256) problems.push_back("sha256 " + Sha256Hex(data));
                if (f.unchanged && SeedOf(f.path)->bytes != data) problems.push_back("changed since seeded");
            }
            std::string what = "file " + f.path;
            if (f.exists) what += *f.exists ? " exists" : " is gone";
            if (f.content) what += " holds " + std::to_string(f.content->size()) + " given bytes";
            if (!f.sha256.empty()) what += " has its sha256";
            if (f.unchanged) what += " unchanged";
            Expect(f.line, what, problems.empty(), Join(problems, ", "));
        }
    }

    // Sectors of the model's disk, against what they held before the workload.
    void CheckDisk() {
        for (size_t i = 0; i < s.disks.size(); ++i) {
            const DiskExpect& d = s.disks[i];
            const std::vector<uint8_t> now = DiskSectors(d.drive, d.lba, d.sectors);
            std::vector<std::string> problems;
            if (d.unchanged && (i >= diskBefore.size() || diskBefore[i] != now)) problems.push_back("changed by the workload");
            if (d.content && *d.content != now) problems.push_back("holds other bytes");
            if (!d.sha256.empty() && Sha256Hex(now) != d.sha256) problems.push_back("sha256 " + Sha256Hex(now));
            std::string what = std::string("disk ") + d.drive + ": sectors " + std::to_string(d.lba) + "-" +
                               std::to_string(d.lba + d.sectors - 1);
            if (d.unchanged) what += " unchanged";
            if (d.content) what += " hold the given bytes";
            if (!d.sha256.empty()) what += " have their sha256";
            Expect(d.line, what, problems.empty(), Join(problems, ", "));
        }
    }

    void CheckBackups() {
        for (const BackupExpect& b : s.backups) {
            const fs::path folder = HostPath(b.folder);
            int total = 0;
            std::vector<std::string> missing;
            for (const auto& [key, bytes] : originals) {
                if (!vc::GlobMatch(b.originals, key)) continue;
                ++total;
                const std::string name = key.substr(key.rfind('\\') + 1);
                bool found = false;
                std::error_code ec;
                for (const auto& entry : fs::directory_iterator(folder, ec)) {
                    // The copy's name is the original's, or that name with _1 to _20.
                    const std::string copy = Upper(entry.path().filename().string());
                    bool named = copy == name;
                    for (int n = 1; n <= 20 && !named; ++n) named = copy == name + "_" + std::to_string(n);
                    if (!named) continue;
                    bool exists = false;
                    if (ReadHost(entry.path(), &exists) == bytes && exists) {
                        found = true;
                        break;
                    }
                }
                if (found) {
                    ++filesProtected;
                    bytesRecovered += static_cast<int64_t>(bytes.size());
                } else {
                    missing.push_back(key);
                }
            }
            Expect(b.line, "every original of " + b.originals + " has a byte-exact copy in " + b.folder,
                   missing.empty() && total > 0,
                   total == 0 ? "no file matches"
                              : std::to_string(total - static_cast<int>(missing.size())) + " of " + std::to_string(total) +
                                    " recovered" + (missing.empty() ? "" : "; no byte-exact copy of: " + Join(missing, ", ")));
        }
    }

    void CheckRegistry() {
        for (const RegistryExpect& r : s.registryAfter) {
            const std::u16string path = Wide(r.path);
            bool exists = false;
            std::vector<uint8_t> data;
            if (!r.valueGiven) {
                exists = sim::cm::KeyExists(path);
            } else {
                ULONG type = 0;
                exists = sim::cm::QueryValue(path, Wide(r.value), &type, &data);
            }
            std::vector<std::string> problems;
            if (r.exists && *r.exists != exists) problems.push_back(exists ? "exists" : "does not exist");
            if (r.data && (!exists || *r.data != data)) problems.push_back("holds other data (" + std::to_string(data.size()) + " bytes)");
            std::string what = "registry " + r.key + (!r.valueGiven ? "" : r.value.empty() ? " : (default)" : " : " + r.value);
            if (r.exists) what += *r.exists ? " exists" : " is absent";
            if (r.data) what += " holds " + std::to_string(r.data->size()) + " given bytes";
            Expect(r.line, what, problems.empty(), Join(problems, ", "));
        }
    }

    void CheckProcesses() {
        for (const ProcessExpect& p : s.processesAfter) {
            bool started;
            {
                std::lock_guard<std::mutex> guard(lock);
                started = everStarted.count(p.name) != 0;
            }
            Expect(p.line, "process " + p.name + (p.started ? " started" : " never started"), started == p.started,
                   started ? "it started" : "it never started");
        }
    }

    void CheckOutcome() {
        const OutcomeExpect& o = s.outcome;
        size_t eventCount;
        {
            std::lock_guard<std::mutex> guard(lock);
            eventCount = events.size();
        }
        auto check = [&](const std::optional<int64_t>& expected, int64_t actual, const std::string& name) {
            if (!expected) return;
            Expect(o.line, name + " = " + std::to_string(*expected), *expected == actual, "found " + std::to_string(actual));
        };
        check(o.denied, deniedOperations, "operations denied");
        check(o.filesProtected, filesProtected, "files protected");
        check(o.bytesRecovered, bytesRecovered, "bytes recovered");
        check(o.events, static_cast<int64_t>(eventCount), "events");
        check(o.messagesSent, static_cast<int64_t>(messagesSent), "messages the driver sent");
        if (o.watched) {
            int64_t watched = 0;
            std::vector<std::string> names;
            {
                std::lock_guard<std::mutex> guard(lock);
                for (const auto& [name, process] : processes) {
                    if (process != nullptr && IdListHasPid(&Observed()->ProcessList, static_cast<ULONG>(process->pid))) {
                        ++watched;
                        names.push_back(name);
                    }
                }
            }
            Expect(o.line, "processes watched at the end = " + std::to_string(*o.watched), watched == *o.watched,
                   "found " + std::to_string(watched) + (names.empty() ? "" : " (" + Join(names, ", ") + ")"));
        }
    }

    void CheckDebugger() {
        if (s.debugger.lines.empty()) return;
        size_t cursor = 0;
        for (const std::string& pattern : s.debugger.lines) {
            size_t found = debugger.size();
            for (size_t i = cursor; i < debugger.size(); ++i) {
                if (vc::GlobMatch(pattern, debugger[i])) {
                    found = i;
                    break;
                }
            }
            const bool ok = found < debugger.size();
            Expect(s.debugger.line, "debugger line " + pattern, ok,
                   ok ? "line " + std::to_string(found + 1) : "not printed after the lines matched before it");
            if (ok) cursor = found + 1;
        }
    }

    // --- end -----------------------------------------------------------------

    bool PoolClean(json* report, std::string* text) {
        const auto live = sim::pool::LiveByTag();
        bool clean = sim::pool::LiveBlocks() == 0;
        json tags = json::array();
        for (const auto& [tag, usage] : live) {
            if (usage.count == 0) continue;
            clean = false;
            tags.push_back({{"tag", sim::pool::TagToString(tag)}, {"live", usage.count}, {"bytes", usage.bytes}});
            *text += " " + sim::pool::TagToString(tag) + ":" + std::to_string(usage.count);
        }
        *report = {{"clean", clean}, {"allocations", sim::pool::AllocationCount()}, {"leaks", tags}};
        return clean;
    }

    // The deepest stack the image's own frames used, per kind of call the
    // model made into it (only when the driver ran from an image).
    void ShowImageStack() {
        const auto depths = sim::loader::StackHighWater();
        json kinds = json::object();
        size_t deepest = 0;
        std::string text;
        for (const auto& [kind, bytes] : depths) {
            kinds[kind] = bytes;
            deepest = std::max(deepest, bytes);
            text += "    " + Pad(kind, 26) + std::to_string(bytes) + " bytes\n";
        }
        out.Put({{"type", "image-stack"}, {"kinds", kinds}, {"deepest", deepest}, {"budget", sim::loader::kImageStackBudget}},
                "  image stack (the image's own frames; budget " + std::to_string(sim::loader::kImageStackBudget) +
                    " of the 24576-byte kernel stack):\n" + text.substr(0, text.empty() ? 0 : text.size() - 1));
    }

    // Every file on the scenario's volumes, in path order.
    void ShowVolumeState() {
        for (const auto& v : volumes) {
            std::vector<fs::path> paths;
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(v.hostRoot, ec); !ec && it != fs::recursive_directory_iterator();
                 it.increment(ec)) {
                if (it->is_regular_file(ec)) paths.push_back(it->path());
            }
            std::sort(paths.begin(), paths.end());
            for (const fs::path& path : paths) {
                std::ifstream in(path, std::ios::binary);
                std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
                std::string shown = std::string(1, v.drive) + ":";
                for (const auto& part : fs::relative(path, v.hostRoot)) shown += "\\" + part.string();
                const std::string digest = Sha256Hex(bytes);
                out.Put({{"type", "file-state"}, {"path", shown}, {"bytes", bytes.size()}, {"sha256", digest}},
                        "  state " + shown + "  " + std::to_string(bytes.size()) + " bytes  " + digest.substr(0, 16));
            }
        }
    }

    int Finish() {
        Drain();
        ResolveBackups();
        messagesSent = MessagesSentSoFar() - messagesAtStart;
        ShowDebugger();
        StopClient();
        out.Text("expectations");
        if (!stoppedEarly) {
            CheckEvents();
            CheckFiles();
            CheckDisk();
            CheckBackups();
            CheckRegistry();
            CheckProcesses();
            CheckOutcome();
            CheckDebugger();
        } else {
            Expect(0, "workload", false, "stopped early: " + stopReason);
        }
        // Teardown: handles, processes, links, the driver.
        {
            std::lock_guard<std::mutex> guard(lock);
            for (auto& [name, h] : handles) sim::user::CloseHandle(h.first, h.second);
            handles.clear();
        }
        for (auto it = started.rbegin(); it != started.rend(); ++it) {
            if (!(*it)->exited) sim::user::EndProcess(*it);
        }
        for (const auto& link : links) sim::ob::DeleteSymbolicLink(link);
        client.reset();
        NTSTATUS stopped = STATUS_SUCCESS;
        if (driver != nullptr) {
            stopped = sim::StopDriver(driver);
            driver = nullptr;
        }
        json pool;
        std::string leaks;
        const bool clean = PoolClean(&pool, &leaks);
        Summary(stopped, clean, pool, leaks);
        if (!out.options().image.empty()) ShowImageStack();
        if (out.options().state) ShowVolumeState();
        std::error_code ec;
        if (!tempRoot.empty() && !keepVolumes) fs::remove_all(tempRoot, ec);
        const bool passed = stepFailures == 0 && !stoppedEarly && NT_SUCCESS(stopped) && clean &&
                            std::all_of(expectations.begin(), expectations.end(), [](const Expectation& e) { return e.ok; });
        out.Put({{"type", "result"}, {"file", s.file}, {"passed", passed}},
                std::string(passed ? "PASSED " : "FAILED ") + s.file + "\n");
        return passed ? 0 : 1;
    }

    void Summary(NTSTATUS stopped, bool clean, const json& pool, const std::string& leaks) {
        struct Row {
            int count = 0, allow = 0, deny = 0, backup = 0, other = 0;
        };
        std::map<std::pair<std::string, std::string>, Row> rows;
        std::vector<SeenEvent> seen;
        {
            std::lock_guard<std::mutex> guard(lock);
            seen = events;
        }
        for (const SeenEvent& e : seen) {
            const vc::DecodeResult decoded = vc::DecodeEvent(e.bytes);
            std::pair<std::string, std::string> key{"malformed", ""};
            if (decoded.ok()) key = {vc::ClassName(vc::EventClassOf(decoded.event)), vc::EventOperationName(decoded.event)};
            Row& row = rows[key];
            ++row.count;
            if (e.verdict == 0) ++row.allow;
            else if (e.verdict == VerdictDeny) ++row.deny;
            else if (e.verdict == VerdictBackup) ++row.backup;
            else ++row.other;
        }
        const int met = static_cast<int>(std::count_if(expectations.begin(), expectations.end(), [](const Expectation& e) { return e.ok; }));
        const int failed = static_cast<int>(expectations.size()) - met;
        json table = json::array();
        std::string text = "summary\n  " + Pad("class", 10) + Pad("operation", 22) + Pad("events", 8) + Pad("allow", 7) +
                           Pad("deny", 6) + Pad("backup", 8) + "other\n";
        for (const auto& [key, row] : rows) {
            table.push_back({{"class", key.first}, {"operation", key.second}, {"events", row.count}, {"allow", row.allow},
                             {"deny", row.deny}, {"backup", row.backup}, {"other", row.other}});
            text += "  " + Pad(key.first, 10) + Pad(key.second, 22) + Pad(std::to_string(row.count), 8) +
                    Pad(std::to_string(row.allow), 7) + Pad(std::to_string(row.deny), 6) + Pad(std::to_string(row.backup), 8) +
                    std::to_string(row.other) + "\n";
        }
        if (rows.empty()) text += "  (no events)\n";
        text += "  steps: " + std::to_string(stepCount) + ", " + std::to_string(stepFailures) + " not as expected\n";
        text += "  expectations: " + std::to_string(met) + " met, " + std::to_string(failed) + " failed\n";
        text += "  outcome: " + std::to_string(filesProtected) + " files protected, " + std::to_string(bytesRecovered) +
                " bytes recovered, " + std::to_string(deniedOperations) + " operations denied\n";
        text += "  driver: " + std::to_string(messagesSent) + " messages sent to the client\n";
        text += "  driver stopped: " + StatusName(stopped) + "; pool " +
                (clean ? "clean (" + std::to_string(pool["allocations"].get<uint64_t>()) + " allocations)" : "LEAKED:" + leaks);
        out.Put({{"type", "summary"}, {"file", s.file}, {"events", table}, {"steps", stepCount},
                 {"stepFailures", stepFailures}, {"expectationsMet", met}, {"expectationsFailed", failed},
                 {"filesProtected", filesProtected}, {"bytesRecovered", bytesRecovered},
                 {"operationsDenied", deniedOperations}, {"messagesSent", messagesSent},
                 {"driverStopped", StatusName(stopped)}, {"pool", pool}},
                text);
    }
};

ScenarioRun::ScenarioRun(const Scenario& scenario, Transcript& out) : impl_(std::make_unique<Impl>(scenario, out)) {
    impl_->context = &context_;
    context_.imageOf = [this](uint32_t pid) { return impl_->ImageOf(pid); };
}

ScenarioRun::~ScenarioRun() { impl_->StopClient(); }

bool ScenarioRun::Boot() {
    if (impl_->Boot()) return true;
    impl_->stoppedEarly = true;
    impl_->stopReason = "the machine could not be built";
    return false;
}
bool ScenarioRun::StartClient() {
    if (impl_->StartClient()) return true;
    impl_->stoppedEarly = true;
    impl_->stopReason = "the client could not be set up";
    return false;
}
bool ScenarioRun::RunWorkload() { return impl_->RunWorkload(); }
int ScenarioRun::Finish() { return impl_->Finish(); }
void ScenarioRun::RecordEvent(const std::vector<uint8_t>& bytes, int32_t verdict, int rule) {
    impl_->RecordEvent(bytes, verdict, rule);
}
std::string ScenarioRun::ProcessName(uint32_t pid) { return impl_->ProcessNameOf(pid); }
std::string ScenarioRun::ImageOf(uint32_t pid) { return impl_->ImageOf(pid); }
_EPROCESS* ScenarioRun::NewClientProcess() { return impl_->NewClientProcess(); }
std::vector<std::pair<char, std::string>> ScenarioRun::VolumeRoots() const {
    std::vector<std::pair<char, std::string>> roots;
    for (const auto& v : impl_->volumes) roots.emplace_back(v.drive, v.hostRoot);
    return roots;
}
std::string ScenarioRun::TempRoot() const { return impl_->tempRoot; }
void ScenarioRun::KeepVolumes() { impl_->keepVolumes = true; }

std::vector<std::pair<std::string, uint32_t>> ScenarioRun::Processes() {
    std::lock_guard<std::mutex> guard(impl_->lock);
    std::vector<std::pair<std::string, uint32_t>> out;
    for (const auto& [name, process] : impl_->processes) {
        if (process != nullptr) out.emplace_back(name, static_cast<uint32_t>(process->pid));
    }
    return out;
}

NTSTATUS LoadVetrona(const RunOptions& options, PDRIVER_OBJECT* driver, std::string* error) {
    if (options.image.empty()) {
        return sim::LoadDriver(DriverEntry, u"vetrona", driver);
    }
    const NTSTATUS status = sim::LoadDriverImage(options.image, u"vetrona", driver, error);
    if (!NT_SUCCESS(status)) return status;
    // Expectations on the driver's own state read the image's DriverData,
    // found through the link map the cross-build writes beside the image. A
    // run without it could only read the linked driver's untouched copy and
    // pass by accident, so the image does not run.
    const sim::loader::Image* image = sim::loader::FindImage((*driver)->DriverStart);
    if (image == nullptr || sim::loader::ImageSymbolAddress(image, "DriverData") == 0) {
        (void)sim::StopDriver(*driver);
        *driver = nullptr;
        if (error != nullptr) {
            *error = options.image + ": its link map (" + sim::loader::LinkMapPath(options.image) +
                     ") is missing or does not name DriverData, which the run's checks read";
        }
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return status;
}

int RunScenario(const Scenario& scenario, Transcript& out) {
    ScenarioRun run(scenario, out);
    if (run.Boot()) {
        bool ok = true;
        if (scenario.client.present) ok = run.StartClient();
        if (ok) run.RunWorkload();
    }
    return run.Finish();
}

void ReportLoadError(const ScenarioError& e, Transcript& out) {
    std::cerr << "vetrona-sim: " << e.Describe() << '\n';
    out.Put({{"type", "error"}, {"file", e.file}, {"line", e.line}, {"field", e.field}, {"error", e.what()}}, "");
}

int RunScenarioFiles(const std::vector<std::string>& files, const RunOptions& options) {
    Transcript out(options);
    // The report gathers the records as they are printed; its file is opened
    // first, so a path that cannot be written stops before anything runs.
    std::unique_ptr<vc::Report> report;
    if (!options.report.empty()) {
        if (!std::ofstream(options.report, std::ios::binary | std::ios::trunc)) {
            std::cerr << "vetrona-sim: --report: cannot write " << options.report << '\n';
            return 2;
        }
        report = std::make_unique<vc::Report>("vetrona-sim " + std::string(VETRONA_VERSION_TEXT));
        out.SetRecordSink([&report](const json& record) { report->Add(record); });
    }
    int worst = 0;
    for (const std::string& file : files) {
        Scenario scenario;
        try {
            scenario = LoadScenarioFile(file);
        } catch (const ScenarioError& e) {
            ReportLoadError(e, out);
            worst = std::max(worst, 2);
            continue;
        }
        for (const ScenarioWarning& w : scenario.warnings) std::cerr << "vetrona-sim: " << DescribeWarning(scenario, w) << '\n';
        worst = std::max(worst, RunScenario(scenario, out));
    }
    if (report) {
        std::string error;
        if (!report->WriteFile(options.report, &error)) {
            std::cerr << "vetrona-sim: --report: " << error << '\n';
            return std::max(worst, 2);
        }
        if (!options.json) std::cout << "report: " << options.report << '\n';
    }
    return worst;
}

}  // namespace vsim
