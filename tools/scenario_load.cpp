// Loading a scenario file: every key is checked against what its section
// allows, every value against its kind, every name against what the scenario
// declares; the first problem stops the load with its line and field.
#include "tools/scenario.h"
#include "tools/scenario_rawdisk.h"

#include "client/lib/policy.h"
#include "sim/fs/fs.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace vsim {

std::string ScenarioError::Describe() const {
    std::string out = file;
    if (line > 0) out += ":" + std::to_string(line);
    out += ": ";
    if (!field.empty()) out += field + ": ";
    return out + what();
}

namespace {

struct StatusEntry {
    const char* name;
    uint32_t value;
};

const StatusEntry kStatuses[] = {
    {"STATUS_SUCCESS", 0x00000000},
    {"STATUS_BUFFER_OVERFLOW", 0x80000005},
    {"STATUS_UNSUCCESSFUL", 0xC0000001},
    {"STATUS_NOT_IMPLEMENTED", 0xC0000002},
    {"STATUS_INVALID_HANDLE", 0xC0000008},
    {"STATUS_INVALID_PARAMETER", 0xC000000D},
    {"STATUS_NO_SUCH_DEVICE", 0xC000000E},
    {"STATUS_END_OF_FILE", 0xC0000011},
    {"STATUS_INVALID_DEVICE_REQUEST", 0xC0000010},
    {"STATUS_NO_MEMORY", 0xC0000017},
    {"STATUS_ACCESS_DENIED", 0xC0000022},
    {"STATUS_OBJECT_TYPE_MISMATCH", 0xC0000024},
    {"STATUS_OBJECT_NAME_INVALID", 0xC0000033},
    {"STATUS_OBJECT_NAME_NOT_FOUND", 0xC0000034},
    {"STATUS_OBJECT_NAME_COLLISION", 0xC0000035},
    {"STATUS_OBJECT_PATH_NOT_FOUND", 0xC000003A},
    {"STATUS_SHARING_VIOLATION", 0xC0000043},
    {"STATUS_DELETE_PENDING", 0xC0000056},
    {"STATUS_FILE_IS_A_DIRECTORY", 0xC00000BA},
    {"STATUS_NOT_SUPPORTED", 0xC00000BB},
    {"STATUS_NOT_SAME_DEVICE", 0xC00000D4},
    {"STATUS_DIRECTORY_NOT_EMPTY", 0xC0000101},
    {"STATUS_NOT_A_DIRECTORY", 0xC0000103},
    {"STATUS_CANNOT_DELETE", 0xC0000121},
    {"STATUS_PROCESS_IS_TERMINATING", 0xC000010A},
};

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

const std::set<std::string> kStepKinds = {
    "start",  "exit",   "create",  "open",       "write",      "read",     "close",     "rename",
    "link",   "delete", "define-dos-device", "scsi-write", "ata-write", "partition-table", "encrypt",  "create-key", "set-value",
    "delete-value", "rename-key", "delete-key", "threads",
    "connect", "disconnect", "get-version", "get-switch", "set-switch", "watch", "set-backup", "restore"};

const std::set<std::string> kClientStepKinds = {"connect",    "disconnect", "get-version", "get-switch",
                                                "set-switch", "watch",      "set-backup",  "restore"};
const std::set<std::string> kSwitchNames = {"file", "process", "registry", "switch2"};

const std::set<std::string> kAccessNames = {"read", "write", "append", "delete", "execute", "all"};
const std::set<std::string> kShareNames = {"read", "write", "delete", "none"};
const std::set<std::string> kDispositions = {"supersede", "open", "create", "open-if", "overwrite", "overwrite-if"};
const std::set<std::string> kOptions = {"directory", "non-directory", "delete-on-close", "write-through"};

std::string ListOf(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& n : items) out += (out.empty() ? "" : ", ") + n;
    return out;
}

// "; did you mean write?", or nothing when no name is near what was written.
std::string DidYouMean(const std::string& written, const std::vector<std::string>& names) {
    const std::vector<std::string> nearest = vetrona::client::NearestNames(written, names);
    return nearest.empty() ? "" : "; did you mean " + ListOf(nearest) + "?";
}

// "unknown value 'wirte'; did you mean write? (all, append, ...)"
std::string UnknownName(const std::string& what, const std::string& written, const std::set<std::string>& names) {
    const std::vector<std::string> all(names.begin(), names.end());
    return "unknown " + what + " '" + written + "'" + DidYouMean(written, all) + " (" + ListOf(all) + ")";
}
const std::set<std::string> kRegistryTypes = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                              "REG_MULTI_SZ", "REG_QWORD"};

class Loader {
public:
    explicit Loader(std::string file) : file_(std::move(file)) {}

    Scenario Load(const YAML::Node& root) {
        Scenario s;
        s.file = file_;
        if (!root.IsMap()) Fail(root, "", "a scenario is a mapping of sections (scenario, machine, client, workload, expect)");
        Keys(root, {"scenario", "description", "techniques", "machine", "client", "workload", "expect"}, "");
        s.title = Str(Required(root, "scenario", ""), "scenario");
        if (root["description"]) {
            s.description = Str(root["description"], "description");
            while (!s.description.empty() && std::isspace(static_cast<unsigned char>(s.description.back()))) s.description.pop_back();
        }
        if (root["techniques"]) {
            s.techniques = StrList(root["techniques"], "techniques");
            for (const std::string& t : s.techniques) {
                if (!TechniqueId(t)) Fail(root["techniques"], "techniques", "'" + t + "' is not a technique id like T1547 or T1547.001");
            }
        }
        if (root["machine"]) Machine(root["machine"], &s);
        if (s.volumes.empty()) s.volumes.push_back(VolumeSpec{});
        if (s.users.empty()) DefaultUser(&s);
        if (root["client"]) Client(root["client"], &s);
        const YAML::Node workload = Required(root, "workload", "");
        if (!workload.IsSequence()) Fail(workload, "workload", "expected a list of steps");
        for (const YAML::Node& step : workload) s.workload.push_back(Step(step, &s, "workload"));
        if (root["expect"]) Expect(root["expect"], &s);
        BackupFolderWarnings(&s);
        return s;
    }

private:
    [[noreturn]] void Fail(const YAML::Node& node, const std::string& field, const std::string& message) {
        const int line = node.IsDefined() && node.Mark().line >= 0 ? node.Mark().line + 1 : 0;
        throw ScenarioError(file_, line, field, message);
    }

    static bool TechniqueId(const std::string& t) {
        auto digits = [&](size_t from, size_t count) {
            return t.size() >= from + count &&
                   std::all_of(t.begin() + from, t.begin() + from + count, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
        };
        return t.size() >= 5 && t[0] == 'T' && digits(1, 4) && (t.size() == 5 || (t.size() == 9 && t[5] == '.' && digits(6, 3)));
    }

    // --- users ---------------------------------------------------------------

    void DefaultUser(Scenario* s) {
        s->users.push_back(UserSpec{0, "alice", GeneratedUserSid(0)});
        userSids_["alice"] = s->users.back().sid;
    }

    void Users(const YAML::Node& node, Scenario* s) {
        if (!node.IsSequence()) Fail(node, "machine.users", "expected a list of users");
        std::set<std::string> sids;
        for (const YAML::Node& u : node) {
            Keys(u, {"name", "sid"}, "machine.users");
            UserSpec user;
            user.line = u.Mark().line + 1;
            user.name = Str(Required(u, "name", "machine.users"), "machine.users.name");
            if (user.name.empty() || user.name.find_first_of("\\/:*?\"<>|") != std::string::npos) {
                Fail(u["name"], "machine.users.name", "a user name is a plain name, like alice");
            }
            if (userSids_.count(Upper(user.name)) || Upper(user.name) == "SYSTEM") {
                Fail(u["name"], "machine.users.name", "user '" + user.name + "' declared twice (SYSTEM is built in)");
            }
            user.sid = u["sid"] ? Str(u["sid"], "machine.users.sid") : GeneratedUserSid(s->users.size());
            if (!ValidSid(user.sid) || user.sid == SystemUserSid()) {
                Fail(u["sid"], "machine.users.sid", "expected a user's SID, like S-1-5-21-1004336348-1177238915-682003330-1001");
            }
            if (!sids.insert(user.sid).second) Fail(u["sid"], "machine.users.sid", "two users with one SID");
            userSids_[Upper(user.name)] = user.sid;
            s->users.push_back(user);
        }
        if (s->users.empty()) Fail(node, "machine.users", "a machine has at least one user");
    }

    // The SID of a user named in the file; SYSTEM is every machine's.
    std::string UserSid(const YAML::Node& node, const std::string& field, const std::string& name) {
        if (Upper(name) == "SYSTEM") return SystemUserSid();
        auto it = userSids_.find(Upper(name));
        if (it == userSids_.end()) Fail(node, field, "no user '" + name + "' in machine.users (or SYSTEM)");
        return it->second;
    }

    std::string KeyPath(const YAML::Node& node, const std::string& field, const std::string& key, const std::string& sid) {
        std::string problem;
        const std::string path = KernelKeyPath(key, sid, &problem);
        if (path.empty()) Fail(node, field, problem);
        return path;
    }

    // A backup folder the machine does not have gets no copy: the driver
    // probes for a free name inside it, finds no such path and stops there.
    void BackupFolderWarnings(Scenario* s) {
        auto check = [&](const std::string& folder, int line, const std::string& field) {
            if (folder.empty() || FolderOnMachine(*s, folder)) return;
            s->warnings.push_back({line, field, folder + " does not exist on the machine and no step creates it; the driver "
                                                "never creates a missing backup folder: no copy will be made"});
        };
        if (s->client.backup) check(*s->client.backup, backupLine_, "client.backup");
        std::function<void(const std::vector<StepSpec>&)> steps = [&](const std::vector<StepSpec>& list) {
            for (const StepSpec& step : list) {
                if (step.kind == "set-backup") check(step.args.at("folder"), step.line, "workload.set-backup.folder");
                for (const auto& thread : step.threads) steps(thread);
            }
        };
        steps(s->workload);
    }

    YAML::Node Required(const YAML::Node& map, const char* key, const std::string& where) {
        const YAML::Node node = map[key];
        if (!node) Fail(map, where.empty() ? key : where + "." + key, "missing");
        return node;
    }

    void Keys(const YAML::Node& map, std::initializer_list<const char*> allowed, const std::string& where) {
        if (!map.IsMap()) Fail(map, where, "expected a mapping (key: value lines)");
        for (const auto& item : map) {
            if (!item.first.IsScalar()) Fail(item.first, where, "keys must be plain names");
            const std::string key = item.first.Scalar();
            if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return key == a; })) {
                std::string list;
                for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
                Fail(item.first, where.empty() ? key : where + "." + key,
                     "unknown key" + DidYouMean(key, {allowed.begin(), allowed.end()}) + " (expected one of: " + list + ")");
            }
        }
    }

    std::string Str(const YAML::Node& node, const std::string& field) {
        if (!node.IsScalar()) Fail(node, field, "expected a single value");
        return node.Scalar();
    }

    bool Bool(const YAML::Node& node, const std::string& field) {
        const std::string text = Str(node, field);
        if (text == "true" || text == "yes" || text == "on") return true;
        if (text == "false" || text == "no" || text == "off") return false;
        Fail(node, field, "expected true or false");
    }

    int64_t Int(const YAML::Node& node, const std::string& field, int64_t min, int64_t max) {
        const std::string text = Str(node, field);
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0' || errno != 0 || value < min || value > max) {
            Fail(node, field, "expected a number from " + std::to_string(min) + " to " + std::to_string(max));
        }
        return value;
    }

    std::vector<std::string> StrList(const YAML::Node& node, const std::string& field) {
        std::vector<std::string> out;
        if (node.IsScalar()) {
            out.push_back(node.Scalar());
        } else if (node.IsSequence()) {
            for (const YAML::Node& item : node) out.push_back(Str(item, field));
        } else {
            Fail(node, field, "expected a value or a list of values");
        }
        return out;
    }

    // Bytes given as text, hex or a pseudo-random fill: exactly one of them.
    std::optional<std::vector<uint8_t>> Data(const YAML::Node& map, const std::string& where, const std::string& seedName) {
        int given = 0;
        std::vector<uint8_t> bytes;
        if (map["text"]) {
            ++given;
            const std::string text = Str(map["text"], where + ".text");
            bytes.assign(text.begin(), text.end());
        }
        if (map["hex"]) {
            ++given;
            std::string hex;
            for (char c : Str(map["hex"], where + ".hex")) {
                if (c != ' ' && c != '\n') hex += c;
            }
            if (hex.size() % 2 != 0) Fail(map["hex"], where + ".hex", "an even number of hex digits is needed");
            for (size_t i = 0; i < hex.size(); i += 2) {
                auto digit = [&](char c) -> int {
                    if (c >= '0' && c <= '9') return c - '0';
                    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
                    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
                    Fail(map["hex"], where + ".hex", std::string("not a hex digit: '") + c + "'");
                };
                bytes.push_back(static_cast<uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
            }
        }
        if (map["random"]) {
            ++given;
            const int64_t size = Int(map["random"], where + ".random", 0, 16 * 1024 * 1024);
            uint64_t state = 0x9E3779B97F4A7C15ull;
            for (char c : seedName) state = (state ^ static_cast<uint8_t>(c)) * 0x100000001B3ull;
            if (map["seed"]) state ^= static_cast<uint64_t>(Int(map["seed"], where + ".seed", 0, INT32_MAX)) * 0x9E3779B97F4A7C15ull;
            bytes.resize(static_cast<size_t>(size));
            for (auto& b : bytes) {
                state ^= state << 13;
                state ^= state >> 7;
                state ^= state << 17;
                b = static_cast<uint8_t>(state >> 24);
            }
        } else if (map["seed"]) {
            Fail(map["seed"], where + ".seed", "a seed goes with random");
        }
        if (given > 1) Fail(map, where, "give the bytes one way: text, hex or random");
        if (given == 0) return std::nullopt;
        return bytes;
    }

    static bool DrivePath(const std::string& path) {
        return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' && path[2] == '\\';
    }

    void CheckDrivePath(const YAML::Node& node, const std::string& field, const std::string& path, const Scenario& s) {
        if (!DrivePath(path)) Fail(node, field, "expected a full path with a drive, like C:\\folder\\file.txt");
        const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        // A drive letter an earlier define-dos-device step made names a folder too.
        if (dosDrives_.count(drive) != 0) return;
        if (std::none_of(s.volumes.begin(), s.volumes.end(), [&](const VolumeSpec& v) { return v.drive == drive; })) {
            Fail(node, field, std::string("no volume ") + drive + ": in the machine");
        }
    }

    // "\\.\C:": a volume open.
    static bool VolumePath(const std::string& path) {
        return path.size() == 6 && path.compare(0, 4, "\\\\.\\") == 0 && std::isalpha(static_cast<unsigned char>(path[4])) && path[5] == ':';
    }

    void CheckVolume(const YAML::Node& node, const std::string& field, const std::string& volume, const Scenario& s) {
        const std::string v = Upper(volume);
        if (v.empty() || v.size() > 2 || (v.size() == 2 && v[1] != ':') ||
            std::none_of(s.volumes.begin(), s.volumes.end(), [&](const VolumeSpec& vol) { return vol.drive == v[0]; })) {
            Fail(node, field, "no such volume in the machine");
        }
    }

    void Machine(const YAML::Node& node, Scenario* s) {
        Keys(node, {"users", "volumes", "registry", "processes"}, "machine");
        if (node["users"]) Users(node["users"], s);
        if (s->users.empty()) DefaultUser(s);
        if (node["volumes"]) {
            const YAML::Node volumes = node["volumes"];
            if (!volumes.IsSequence()) Fail(volumes, "machine.volumes", "expected a list of volumes");
            for (const YAML::Node& v : volumes) {
                Keys(v, {"drive", "host-folder", "folders", "files"}, "machine.volumes");
                VolumeSpec item;
                item.line = v.Mark().line + 1;
                const std::string drive = Upper(Str(Required(v, "drive", "machine.volumes"), "drive"));
                if (drive.size() > 2 || drive.empty() || !std::isalpha(static_cast<unsigned char>(drive[0])) ||
                    (drive.size() == 2 && drive[1] != ':')) {
                    Fail(v["drive"], "machine.volumes.drive", "expected a drive letter, like C");
                }
                item.drive = drive[0];
                for (const VolumeSpec& other : s->volumes) {
                    if (other.drive == item.drive) Fail(v["drive"], "machine.volumes.drive", "drive given twice");
                }
                if (v["host-folder"]) item.hostFolder = Str(v["host-folder"], "machine.volumes.host-folder");
                if (v["folders"]) item.folders = StrList(v["folders"], "machine.volumes.folders");
                if (v["files"]) {
                    if (!v["files"].IsSequence()) Fail(v["files"], "machine.volumes.files", "expected a list of files");
                    for (const YAML::Node& f : v["files"]) {
                        Keys(f, {"path", "text", "hex", "random", "seed"}, "machine.volumes.files");
                        FileSeed seed;
                        seed.line = f.Mark().line + 1;
                        seed.path = Str(Required(f, "path", "machine.volumes.files"), "machine.volumes.files.path");
                        if (seed.path.empty() || DrivePath(seed.path) || seed.path[0] == '\\' ||
                            seed.path.find("..") != std::string::npos) {
                            Fail(f["path"], "machine.volumes.files.path", "a path inside the volume, like Users\\alice\\notes.txt");
                        }
                        auto data = Data(f, "machine.volumes.files", seed.path);
                        seed.bytes = data ? *data : std::vector<uint8_t>{};
                        item.files.push_back(std::move(seed));
                    }
                }
                s->volumes.push_back(std::move(item));
            }
        }
        if (s->volumes.empty()) s->volumes.push_back(VolumeSpec{});  // C: unless the scenario says otherwise
        if (node["registry"]) {
            const YAML::Node keys = node["registry"];
            if (!keys.IsSequence()) Fail(keys, "machine.registry", "expected a list of keys");
            for (const YAML::Node& k : keys) {
                Keys(k, {"key", "user", "values"}, "machine.registry");
                RegistryKeySpec item;
                item.line = k.Mark().line + 1;
                item.key = Str(Required(k, "key", "machine.registry"), "machine.registry.key");
                const std::string sid =
                    k["user"] ? UserSid(k["user"], "machine.registry.user", Str(k["user"], "machine.registry.user")) : s->users[0].sid;
                item.path = KeyPath(k["key"], "machine.registry.key", item.key, sid);
                if (k["values"]) {
                    if (!k["values"].IsSequence()) Fail(k["values"], "machine.registry.values", "expected a list of values");
                    for (const YAML::Node& v : k["values"]) item.values.push_back(RegistryValue(v, "machine.registry.values"));
                }
                s->registry.push_back(std::move(item));
            }
        }
        if (node["processes"]) {
            const YAML::Node processes = node["processes"];
            if (!processes.IsSequence()) Fail(processes, "machine.processes", "expected a list of processes");
            for (const YAML::Node& p : processes) {
                Keys(p, {"name", "image", "command-line", "parent", "admin", "user"}, "machine.processes");
                ProcessSpec item;
                item.line = p.Mark().line + 1;
                item.name = Str(Required(p, "name", "machine.processes"), "machine.processes.name");
                if (item.name == kClientProcessName) {
                    Fail(p["name"], "machine.processes.name", "'client' names the scenario's client; choose another name");
                }
                if (Known(*s, item.name)) Fail(p["name"], "machine.processes.name", "process '" + item.name + "' declared twice");
                item.image = Str(Required(p, "image", "machine.processes"), "machine.processes.image");
                CheckDrivePath(p["image"], "machine.processes.image", item.image, *s);
                if (p["command-line"]) item.commandLine = Str(p["command-line"], "machine.processes.command-line");
                if (p["parent"]) {
                    item.parent = Str(p["parent"], "machine.processes.parent");
                    if (!Known(*s, item.parent)) Fail(p["parent"], "machine.processes.parent", "no earlier process '" + item.parent + "'");
                }
                if (p["admin"]) item.admin = Bool(p["admin"], "machine.processes.admin");
                if (p["user"]) {
                    item.user = Str(p["user"], "machine.processes.user");
                    item.userSid = UserSid(p["user"], "machine.processes.user", item.user);
                } else if (!item.parent.empty()) {
                    item.userSid = processUsers_[item.parent];
                } else {
                    item.userSid = s->users[0].sid;
                }
                if (item.user.empty()) item.user = UserNameOf(*s, item.userSid);
                processUsers_[item.name] = item.userSid;
                s->processes.push_back(item);
                names_.insert(item.name);
            }
        }
    }

    RegistryValueSpec RegistryValue(const YAML::Node& v, const std::string& where, bool checkKeys = true) {
        if (checkKeys) Keys(v, {"name", "type", "text", "multi", "hex", "random", "seed", "dword"}, where);
        RegistryValueSpec value;
        value.name = Str(Required(v, "name", where), where + ".name");
        value.type = v["type"] ? Upper(Str(v["type"], where + ".type")) : "";
        if (!value.type.empty() && !kRegistryTypes.count(value.type)) Fail(v["type"], where + ".type", UnknownName("registry type", value.type, kRegistryTypes));
        if (v["multi"] && (v["dword"] || v["text"] || v["hex"] || v["random"])) {
            Fail(v["multi"], where + ".multi", "give the data one way: text, multi, hex, random or dword");
        }
        if (v["multi"]) {
            // REG_MULTI_SZ: each string in UTF-16 with its terminator, then one more.
            for (const std::string& text : StrList(v["multi"], where + ".multi")) {
                for (char16_t c : sim::fs::FromHost(text)) {
                    value.data.push_back(static_cast<uint8_t>(c));
                    value.data.push_back(static_cast<uint8_t>(c >> 8));
                }
                value.data.push_back(0);
                value.data.push_back(0);
            }
            value.data.push_back(0);
            value.data.push_back(0);
            if (value.type.empty()) value.type = "REG_MULTI_SZ";
        } else if (v["dword"]) {
            const uint32_t d = static_cast<uint32_t>(Int(v["dword"], where + ".dword", 0, UINT32_MAX));
            value.data = {static_cast<uint8_t>(d), static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d >> 16),
                          static_cast<uint8_t>(d >> 24)};
            if (value.type.empty()) value.type = "REG_DWORD";
        } else if (auto data = Data(v, where, value.name)) {
            if (v["text"]) {
                // Registry strings are UTF-16 with a terminator; the text is
                // UTF-8, read as the model reads host names.
                std::vector<uint8_t> wide;
                for (char16_t c : sim::fs::FromHost(std::string(data->begin(), data->end()))) {
                    wide.push_back(static_cast<uint8_t>(c));
                    wide.push_back(static_cast<uint8_t>(c >> 8));
                }
                wide.push_back(0);
                wide.push_back(0);
                value.data = wide;
                if (value.type.empty()) value.type = "REG_SZ";
            } else {
                value.data = *data;
            }
        }
        if (value.type.empty()) value.type = "REG_BINARY";
        return value;
    }

    bool Known(const Scenario& /*s*/, const std::string& name) const { return names_.count(name) != 0; }

    std::set<char> dosDrives_;  // drive letters defined by define-dos-device steps so far

    void Client(const YAML::Node& node, Scenario* s) {
        Keys(node, {"watch", "monitors", "backup", "backup-limit", "rules", "default", "sigma"}, "client");
        ClientSpec& c = s->client;
        c.present = true;
        c.line = node.Mark().line + 1;
        if (node["watch"]) {
            c.watch = StrList(node["watch"], "client.watch");
            for (const std::string& name : c.watch) {
                if (!Known(*s, name)) Fail(node["watch"], "client.watch", "no process '" + name + "' in the machine");
            }
        }
        if (node["monitors"]) {
            for (const std::string& m : StrList(node["monitors"], "client.monitors")) {
                if (m == "file") c.fileMon = true;
                else if (m == "process") c.procMon = true;
                else if (m == "registry") c.regMon = true;
                else Fail(node["monitors"], "client.monitors", UnknownName("monitor", m, {"file", "process", "registry"}));
            }
        }
        if (node["backup"]) {
            backupLine_ = node["backup"].Mark().line + 1;
            c.backup = Str(node["backup"], "client.backup");
            CheckDrivePath(node["backup"], "client.backup", *c.backup, *s);
        }
        if (node["backup-limit"]) {
            const std::string text = Str(node["backup-limit"], "client.backup-limit");
            c.backupLimit = vetrona::client::ParseByteSize(text);
            if (!c.backupLimit) {
                Fail(node["backup-limit"], "client.backup-limit", "'" + text + "' is not a size (bytes, or a number with K, M or G)");
            }
        }
        if (node["default"]) {
            auto verdict = vetrona::client::ParseVerdictName(Str(node["default"], "client.default"));
            if (!verdict) Fail(node["default"], "client.default", "unknown verdict (allow, deny, backup, none or a number)");
            c.policy.fallback = *verdict;
        }
        if (node["sigma"]) Sigma(node["sigma"], &c);
        if (node["rules"]) {
            const YAML::Node rules = node["rules"];
            if (!rules.IsSequence()) Fail(rules, "client.rules", "expected a list of rules");
            for (const YAML::Node& r : rules) {
                if (!r.IsMap()) Fail(r, "client.rules", "a rule is a mapping (class, operation, path, ..., verdict)");
                vetrona::client::PolicyRule rule;
                rule.line = r.Mark().line + 1;
                bool hasVerdict = false;
                // The class first: operation names depend on it.
                if (r["class"]) SetField(r["class"], &rule, "class");
                for (const auto& item : r) {
                    const std::string key = item.first.IsScalar() ? item.first.Scalar() : "";
                    if (key == "class") continue;
                    SetField(item.second, &rule, key, item.first);
                    hasVerdict = hasVerdict || key == "verdict";
                }
                const std::string problem = vetrona::client::CheckRule(rule, hasVerdict);
                if (!problem.empty()) Fail(r, "client.rules", problem);
                c.policy.rules.push_back(rule);
            }
        }
    }

    // client.sigma: detection rules; a relative folder is the scenario file's.
    void Sigma(const YAML::Node& node, ClientSpec* c) {
        std::string error;
        if (!vetrona::client::sigma::ParseSigmaPolicy(node, &c->sigma, &error)) Fail(node, "client.sigma", error);
        if (c->sigma.rules.empty()) Fail(node, "client.sigma", "rules: the folder of detection rules is missing");
        const std::filesystem::path base = std::filesystem::path(file_).parent_path();
        for (std::string& folder : c->sigma.rules) {
            if (std::filesystem::path(folder).is_relative()) folder = (base / folder).lexically_normal().string();
        }
    }

    void SetField(const YAML::Node& value, vetrona::client::PolicyRule* rule, const std::string& key,
                  const YAML::Node& keyNode = YAML::Node()) {
        const std::string problem = vetrona::client::SetRuleField(rule, key, Str(value, "client.rules." + key));
        if (!problem.empty()) Fail(keyNode.IsDefined() && problem.rfind("unknown rule field", 0) == 0 ? keyNode : value,
                                   "client.rules." + key, problem);
    }

    // `technique: T1547.001` (or a list): the step is that technique's own,
    // one the scenario's `techniques:` names.
    void StepTechniques(const YAML::Node& node, const Scenario& s, const std::string& field, StepSpec* step) {
        step->techniques = node.IsSequence() ? StrList(node, field) : std::vector<std::string>{Str(node, field)};
        if (step->techniques.empty()) Fail(node, field, "name a technique");
        for (const std::string& t : step->techniques) {
            if (!TechniqueId(t)) Fail(node, field, "'" + t + "' is not a technique id like T1547 or T1547.001");
            if (std::find(s.techniques.begin(), s.techniques.end(), t) == s.techniques.end()) {
                Fail(node, field, "'" + t + "' is not among the scenario's techniques");
            }
        }
    }

    StepSpec Step(const YAML::Node& node, Scenario* s, const std::string& where) {
        if (!node.IsMap()) Fail(node, where, "a step is a mapping: process, one action, and optionally status and label");
        StepSpec step;
        step.line = node.Mark().line + 1;
        YAML::Node action;
        for (const auto& item : node) {
            const std::string key = item.first.IsScalar() ? item.first.Scalar() : "";
            if (key == "process") {
                step.process = Str(item.second, where + ".process");
            } else if (key == "status") {
                const std::string text = Str(item.second, where + ".status");
                step.status = ParseStatusName(text);
                if (!step.status) Fail(item.second, where + ".status", "unknown status '" + text + "' (a STATUS_ name or a hex code)");
            } else if (key == "label") {
                step.label = Str(item.second, where + ".label");
            } else if (key == "technique") {
                StepTechniques(item.second, *s, where + ".technique", &step);
            } else if (kStepKinds.count(key)) {
                if (!step.kind.empty()) Fail(item.first, where, "one action per step ('" + step.kind + "' and '" + key + "')");
                step.kind = key;
                action = item.second;
            } else {
                std::string kinds;
                for (const auto& k : kStepKinds) kinds += (kinds.empty() ? "" : ", ") + k;
                Fail(item.first, where + "." + key, "unknown step key" + DidYouMean(key, {kStepKinds.begin(), kStepKinds.end()}) +
                                                        " (process, status, label, technique, or an action: " + kinds + ")");
            }
        }
        if (step.kind.empty()) Fail(node, where, "the step has no action");
        const std::string at = where + "." + step.kind;
        if (step.kind == "threads") {
            if (!step.process.empty()) Fail(node, at, "threads take no process: each step names its own");
            if (!action.IsSequence() || action.size() < 1) Fail(action, at, "expected a list of step lists, one per thread");
            for (const YAML::Node& thread : action) {
                if (!thread.IsSequence()) Fail(thread, at, "each thread is a list of steps");
                std::vector<StepSpec> steps;
                for (const YAML::Node& inner : thread) {
                    StepSpec innerStep = Step(inner, s, at);
                    if (innerStep.kind == "start" || innerStep.kind == "threads") {
                        Fail(inner, at, "threads cannot start processes or nest threads");
                    }
                    steps.push_back(std::move(innerStep));
                }
                step.threads.push_back(std::move(steps));
            }
            return step;
        }
        if (step.process.empty()) Fail(node, where + ".process", "missing: which process does this step");
        const bool clientStep = kClientStepKinds.count(step.kind) != 0;
        if (clientStep && step.process != kClientProcessName) {
            Fail(node["process"], where + ".process", "'" + step.kind + "' is a step of the client: write 'process: client'");
        }
        if (step.process == kClientProcessName) {
            if (!clientStep) Fail(node, where + "." + step.kind, "the client takes only its own steps (connect, disconnect, get-version, get-switch, set-switch, watch, set-backup)");
            if (!s->client.present) Fail(node["process"], where + ".process", "the scenario has no client section");
        } else if (!Known(*s, step.process)) {
            Fail(node["process"], where + ".process", "no process '" + step.process + "' (declare it in machine.processes or start it first)");
        }

        auto args = [&](std::initializer_list<const char*> allowed) {
            if (action.IsNull() || (action.IsScalar() && allowed.size() == 0)) return;
            Keys(action, allowed, at);
            for (const auto& item : action) {
                const std::string key = item.first.Scalar();
                if (key == "text" || key == "hex" || key == "random" || key == "seed") continue;
                if (item.second.IsSequence()) {
                    step.lists[key] = StrList(item.second, at + "." + key);
                } else {
                    step.args[key] = Str(item.second, at + "." + key);
                }
            }
        };
        auto require = [&](const char* key) {
            if (!step.args.count(key)) Fail(action.IsDefined() ? action : node, at + "." + key, "missing");
        };
        auto pathOrHandle = [&]() {
            if (step.args.count("path") == step.args.count("handle")) Fail(action, at, "give either path or handle");
            if (step.args.count("path")) CheckDrivePath(action["path"], at + ".path", step.args["path"], *s);
            if (step.args.count("handle") && !handles_.count(step.args["handle"])) {
                Fail(action["handle"], at + ".handle", "no handle '" + step.args["handle"] + "' opened before");
            }
        };
        auto checkList = [&](const char* key, const std::set<std::string>& names) {
            auto it = step.lists.find(key);
            if (it == step.lists.end() && step.args.count(key)) {
                step.lists[key] = {step.args[key]};
                step.args.erase(key);
                it = step.lists.find(key);
            }
            if (it == step.lists.end()) return;
            for (const std::string& v : it->second) {
                if (!names.count(v)) Fail(action[key], at + "." + key, UnknownName("value", v, names));
            }
        };
        auto boolArg = [&](const char* key) {
            if (step.args.count(key)) Bool(action[key], at + "." + key);
        };
        auto intArg = [&](const char* key, int64_t min, int64_t max) {
            if (step.args.count(key)) Int(action[key], at + "." + key, min, max);
        };

        if (step.kind == "start") {
            args({"name", "image", "command-line", "admin", "user", "parent"});
            require("name");
            require("image");
            CheckDrivePath(action["image"], at + ".image", step.args["image"], *s);
            boolArg("admin");
            // The parent the new process claims (the parent-process attribute);
            // the step's process is still the one that creates it.
            if (step.args.count("parent") && !Known(*s, step.args["parent"])) {
                Fail(action["parent"], at + ".parent", "no process '" + step.args["parent"] + "' to claim as the parent");
            }
            if (Known(*s, step.args["name"])) Fail(action["name"], at + ".name", "process '" + step.args["name"] + "' exists already");
            if (step.args["name"] == kClientProcessName) Fail(action["name"], at + ".name", "'client' names the scenario's client");
            step.userSid = step.args.count("user") ? UserSid(action["user"], at + ".user", step.args["user"])
                                                   : processUsers_[step.process];
            processUsers_[step.args["name"]] = step.userSid;
            names_.insert(step.args["name"]);
        } else if (step.kind == "exit") {
            if (!action.IsNull() && !(action.IsMap() && action.size() == 0) && !(action.IsScalar() && action.Scalar() == "true")) {
                Fail(action, at, "exit takes nothing (write 'exit: {}')");
            }
        } else if (step.kind == "create" || step.kind == "open") {
            args({"path", "access", "share", "disposition", "options", "handle"});
            require("path");
            if (step.kind == "open" && VolumePath(step.args["path"])) {
                CheckVolume(action["path"], at + ".path", step.args["path"].substr(4), *s);
            } else {
                CheckDrivePath(action["path"], at + ".path", step.args["path"], *s);
            }
            checkList("access", kAccessNames);
            checkList("share", kShareNames);
            checkList("options", kOptions);
            if (step.args.count("disposition") && !kDispositions.count(step.args["disposition"])) {
                Fail(action["disposition"], at + ".disposition", UnknownName("disposition", step.args["disposition"], kDispositions));
            }
            if (step.args.count("handle")) handles_.insert(step.args["handle"]);
        } else if (step.kind == "write") {
            args({"path", "handle", "text", "hex", "random", "seed", "offset"});
            pathOrHandle();
            intArg("offset", -1, INT64_MAX);
            step.data = Data(action, at, step.args.count("path") ? step.args["path"] : step.args["handle"]);
            if (!step.data) Fail(action, at, "what to write: text, hex or random");
        } else if (step.kind == "read") {
            args({"path", "handle", "offset", "length", "text", "hex"});
            pathOrHandle();
            intArg("offset", 0, INT64_MAX);
            intArg("length", 0, 16 * 1024 * 1024);
            step.data = Data(action, at, "");  // the bytes the read must return, when given
        } else if (step.kind == "close") {
            args({"handle"});
            require("handle");
            pathOrHandle();
        } else if (step.kind == "rename" || step.kind == "link") {
            args({"path", "handle", "to", "replace"});
            pathOrHandle();
            require("to");
            boolArg("replace");
        } else if (step.kind == "delete") {
            args({"path", "handle", "on-close"});
            pathOrHandle();
            boolArg("on-close");
        } else if (step.kind == "define-dos-device") {
            args({"name", "target"});
            require("name");
            require("target");
            const std::string name = Upper(step.args["name"]);
            const bool drive = name.size() == 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
            const bool plain = !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.';
            });
            if (!drive && !plain) Fail(action["name"], at + ".name", "expected a drive name like X: or a plain name like MyTarget");
            if (drive) dosDrives_.insert(name[0]);
            if (drive && std::any_of(s->volumes.begin(), s->volumes.end(), [&](const VolumeSpec& v) { return v.drive == name[0]; })) {
                Fail(action["name"], at + ".name", "that drive is a volume already");
            }
            CheckDrivePath(action["target"], at + ".target", step.args["target"], *s);
        } else if (step.kind == "scsi-write" || step.kind == "ata-write" || step.kind == "partition-table") {
            const bool scsi = step.kind == "scsi-write", ata = step.kind == "ata-write";
            if (scsi) args({"volume", "lba", "sectors", "opcode", "buffered"});
            if (ata) args({"volume", "lba", "sectors", "command", "flags", "buffered"});
            if (!scsi && !ata) args({"volume", "request"});
            require("volume");
            CheckVolume(action["volume"], at + ".volume", step.args["volume"], *s);
            boolArg("buffered");
            intArg("lba", 0, static_cast<int64_t>(sim::fs::kDiskSectors - 1));
            intArg("sectors", 1, kMaxStepSectors);
            if (scsi) {
                const int64_t opcode = step.args.count("opcode") ? Int(action["opcode"], at + ".opcode", 0, 255) : 0x2A;
                if (!ScsiOpcodeBuilt(static_cast<int>(opcode))) {
                    Fail(action["opcode"], at + ".opcode", "no such write command (" + ScsiOpcodesBuilt() + ")");
                }
                if (step.args.count("lba") && Int(action["lba"], at + ".lba", 0, INT64_MAX) > static_cast<int64_t>(ScsiLbaLimit(static_cast<int>(opcode)))) {
                    Fail(action["lba"], at + ".lba", "beyond what this command's LBA field holds");
                }
                if (step.args.count("sectors") && Int(action["sectors"], at + ".sectors", 0, INT64_MAX) > ScsiSectorLimit(static_cast<int>(opcode))) {
                    Fail(action["sectors"], at + ".sectors", "more blocks than this command's length field holds");
                }
            }
            if (ata) {
                const int64_t command = step.args.count("command") ? Int(action["command"], at + ".command", 0, 255) : 0xCA;
                if (!AtaCommandBuilt(static_cast<int>(command))) {
                    Fail(action["command"], at + ".command", "no such write command (" + AtaCommandsBuilt() + ")");
                }
                if (step.args.count("flags")) {
                    step.lists["flags"] = {step.args["flags"]};
                    step.args.erase("flags");
                }
                std::string problem;
                if (step.lists.count("flags") && !AtaFlagsOf(step.lists["flags"], &problem)) Fail(action["flags"], at + ".flags", problem);
                const bool wide = AtaCommandIs48Bit(static_cast<int>(command));
                if (step.args.count("lba") && Int(action["lba"], at + ".lba", 0, INT64_MAX) >= (wide ? (int64_t{1} << 48) : (int64_t{1} << 28))) {
                    Fail(action["lba"], at + ".lba", "beyond what this command's LBA registers hold");
                }
                if (!wide && step.args.count("sectors") && Int(action["sectors"], at + ".sectors", 0, INT64_MAX) > 256) {
                    Fail(action["sectors"], at + ".sectors", "a 28-bit command moves at most 256 sectors");
                }
            }
            if (!scsi && !ata && step.args.count("request") && !PartitionRequestKnown(step.args["request"])) {
                Fail(action["request"], at + ".request", "unknown request (set-layout, create-disk, delete-layout)");
            }
        } else if (step.kind == "encrypt") {
            args({"files", "in-place", "suffix", "delete-original", "key"});
            require("files");
            CheckDrivePath(action["files"], at + ".files", step.args["files"], *s);
            boolArg("in-place");
            boolArg("delete-original");
            intArg("key", 1, 255);
            const bool inPlace = !step.args.count("in-place") || Bool(action["in-place"], at + ".in-place");
            if (!inPlace && !step.args.count("suffix")) Fail(action, at + ".suffix", "encrypted copies need a suffix");
        } else if (step.kind == "create-key" || step.kind == "delete-key") {
            args({"key"});
            require("key");
        } else if (step.kind == "rename-key") {
            args({"key", "to"});
            require("key");
            require("to");
        } else if (step.kind == "set-value") {
            args({"key", "name", "type", "text", "multi", "hex", "random", "seed", "dword"});
            require("key");
            require("name");
            const RegistryValueSpec value = RegistryValue(action, at, false);
            step.data = value.data;
            if (action["text"]) step.args["type"] = step.args.count("type") ? step.args["type"] : "REG_SZ";
            if (action["multi"]) step.args["type"] = step.args.count("type") ? step.args["type"] : "REG_MULTI_SZ";
        } else if (step.kind == "delete-value") {
            args({"key", "name"});
            require("key");
            require("name");
        }
        const bool registryStep = step.kind == "create-key" || step.kind == "delete-key" || step.kind == "rename-key" ||
                                  step.kind == "set-value" || step.kind == "delete-value";
        if (registryStep) step.keyPath = KeyPath(action["key"], at + ".key", step.args["key"], processUsers_[step.process]); else if (step.kind == "connect" || step.kind == "disconnect" || step.kind == "get-version") {
            args({});
            if (!action.IsNull() && !(action.IsMap() && action.size() == 0)) Fail(action, at, step.kind + " takes nothing (write '" + step.kind + ": {}')");
        } else if (step.kind == "get-switch" || step.kind == "set-switch") {
            args({"switch", "value"});
            require("switch");
            require("value");
            if (!kSwitchNames.count(step.args["switch"])) Fail(action["switch"], at + ".switch", UnknownName("switch", step.args["switch"], kSwitchNames));
            intArg("value", 0, 255);
        } else if (step.kind == "watch") {
            args({"name"});
            require("name");
            if (!Known(*s, step.args["name"])) Fail(action["name"], at + ".name", "no process '" + step.args["name"] + "'");
        } else if (step.kind == "restore") {
            // What `vetrona-client restore` takes; `missing` counts the
            // originals expected to have no copy.
            args({"to", "only", "dry-run", "force", "missing"});
            if (step.args.count("to")) CheckDrivePath(action["to"], at + ".to", step.args["to"], *s);
            boolArg("dry-run");
            boolArg("force");
            intArg("missing", 0, 100000);
        } else if (step.kind == "set-backup") {
            args({"folder"});
            require("folder");
            if (!step.args["folder"].empty()) CheckDrivePath(action["folder"], at + ".folder", step.args["folder"], *s);
        }
        return step;
    }

    EventMatcher Matcher(const YAML::Node& m, const std::string& where, const Scenario& s) {
        Keys(m, {"class", "operation", "path", "destination", "value", "image", "process", "verdict"}, where);
        EventMatcher e;
        e.line = m.Mark().line + 1;
        if (m["class"]) {
            e.eventClass = vetrona::client::ParseClassName(Str(m["class"], where + ".class"));
            if (!e.eventClass) Fail(m["class"], where + ".class", "unknown class (file, registry, process)");
        }
        if (m["operation"]) {
            e.operation = vetrona::client::ParseOperationName(e.eventClass, Str(m["operation"], where + ".operation"));
            if (!e.operation) {
                Fail(m["operation"], where + ".operation",
                     vetrona::client::UnknownOperationMessage(e.eventClass, Str(m["operation"], where + ".operation")));
            }
            if (!e.eventClass) e.eventClass = vetrona::client::OperationClassOf(Str(m["operation"], where + ".operation"));
        }
        if (m["path"]) e.path = Str(m["path"], where + ".path");
        if (m["destination"]) e.destination = Str(m["destination"], where + ".destination");
        if (m["value"]) e.value = Str(m["value"], where + ".value");
        if (m["image"]) e.image = Str(m["image"], where + ".image");
        if (m["process"]) {
            e.process = Str(m["process"], where + ".process");
            if (!Known(s, e.process)) Fail(m["process"], where + ".process", "no process '" + e.process + "'");
        }
        if (m["verdict"]) {
            e.verdict = vetrona::client::ParseVerdictName(Str(m["verdict"], where + ".verdict"));
            if (!e.verdict) Fail(m["verdict"], where + ".verdict", "unknown verdict");
        }
        return e;
    }

    void Expect(const YAML::Node& node, Scenario* s) {
        Keys(node, {"events", "files", "disk", "backups", "registry", "processes", "outcome", "debugger"}, "expect");
        if (node["disk"]) {
            if (!node["disk"].IsSequence()) Fail(node["disk"], "expect.disk", "expected a list of sector ranges");
            for (const YAML::Node& d : node["disk"]) {
                Keys(d, {"volume", "lba", "sectors", "unchanged", "hex", "sha256"}, "expect.disk");
                DiskExpect e;
                e.line = d.Mark().line + 1;
                const std::string volume = Str(Required(d, "volume", "expect.disk"), "expect.disk.volume");
                CheckVolume(d["volume"], "expect.disk.volume", volume, *s);
                e.drive = Upper(volume)[0];
                if (d["lba"]) e.lba = static_cast<uint64_t>(Int(d["lba"], "expect.disk.lba", 0, static_cast<int64_t>(sim::fs::kDiskSectors - 1)));
                if (d["sectors"]) e.sectors = static_cast<uint32_t>(Int(d["sectors"], "expect.disk.sectors", 1, 65536));
                if (e.lba + e.sectors > sim::fs::kDiskSectors) Fail(d, "expect.disk", "the range runs past the disk");
                if (d["unchanged"]) e.unchanged = Bool(d["unchanged"], "expect.disk.unchanged");
                if (d["hex"]) {
                    e.content = Data(d, "expect.disk", "");
                    if (e.content->size() != static_cast<size_t>(e.sectors) * sim::fs::kSectorSize) {
                        Fail(d["hex"], "expect.disk.hex", "expected " + std::to_string(e.sectors * sim::fs::kSectorSize) + " bytes, the whole range");
                    }
                }
                if (d["sha256"]) {
                    e.sha256 = Str(d["sha256"], "expect.disk.sha256");
                    for (char& c : e.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    if (e.sha256.size() != 64 || e.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
                        Fail(d["sha256"], "expect.disk.sha256", "expected 64 hex digits");
                    }
                }
                if (!e.unchanged && !e.content && e.sha256.empty()) Fail(d, "expect.disk", "say what is expected: unchanged, hex or sha256");
                s->disks.push_back(std::move(e));
            }
        }
        if (node["processes"]) {
            if (!node["processes"].IsSequence()) Fail(node["processes"], "expect.processes", "expected a list");
            for (const YAML::Node& p : node["processes"]) {
                Keys(p, {"name", "started"}, "expect.processes");
                ProcessExpect e;
                e.line = p.Mark().line + 1;
                e.name = Str(Required(p, "name", "expect.processes"), "expect.processes.name");
                if (!Known(*s, e.name)) Fail(p["name"], "expect.processes.name", "no process '" + e.name + "'");
                e.started = Bool(Required(p, "started", "expect.processes"), "expect.processes.started");
                s->processesAfter.push_back(e);
            }
        }
        if (node["debugger"]) {
            const YAML::Node d = node["debugger"];
            if (!d.IsSequence()) Fail(d, "expect.debugger", "expected a list of line patterns, in order");
            s->debugger.line = d.Mark().line + 1;
            s->debugger.lines = StrList(d, "expect.debugger");
        }
        if (node["events"]) {
            const YAML::Node ev = node["events"];
            Keys(ev, {"order", "complete", "list", "absent"}, "expect.events");
            s->events.present = true;
            s->events.line = ev.Mark().line + 1;
            if (ev["order"]) {
                const std::string order = Str(ev["order"], "expect.events.order");
                if (order == "sequence") s->events.ordered = true;
                else if (order == "set") s->events.ordered = false;
                else Fail(ev["order"], "expect.events.order", "expected sequence or set");
            }
            if (ev["complete"]) s->events.complete = Bool(ev["complete"], "expect.events.complete");
            for (const char* key : {"list", "absent"}) {
                if (!ev[key]) continue;
                if (!ev[key].IsSequence()) Fail(ev[key], std::string("expect.events.") + key, "expected a list of events");
                for (const YAML::Node& m : ev[key]) {
                    (std::string(key) == "list" ? s->events.list : s->events.absent)
                        .push_back(Matcher(m, std::string("expect.events.") + key, *s));
                }
            }
        }
        if (node["files"]) {
            if (!node["files"].IsSequence()) Fail(node["files"], "expect.files", "expected a list of files");
            for (const YAML::Node& f : node["files"]) {
                Keys(f, {"path", "exists", "text", "hex", "random", "seed", "sha256", "unchanged"}, "expect.files");
                FileExpect e;
                e.line = f.Mark().line + 1;
                e.path = Str(Required(f, "path", "expect.files"), "expect.files.path");
                CheckDrivePath(f["path"], "expect.files.path", e.path, *s);
                if (f["exists"]) e.exists = Bool(f["exists"], "expect.files.exists");
                e.content = Data(f, "expect.files", e.path);
                if (f["sha256"]) {
                    e.sha256 = Str(f["sha256"], "expect.files.sha256");
                    for (char& c : e.sha256) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    if (e.sha256.size() != 64 || e.sha256.find_first_not_of("0123456789abcdef") != std::string::npos) {
                        Fail(f["sha256"], "expect.files.sha256", "expected 64 hex digits");
                    }
                }
                if (f["unchanged"]) e.unchanged = Bool(f["unchanged"], "expect.files.unchanged");
                if (e.unchanged && !SeedOf(*s, e.path)) Fail(f, "expect.files.unchanged", "the machine seeds no such file");
                if (!e.exists && !e.content && e.sha256.empty() && !e.unchanged) {
                    Fail(f, "expect.files", "say what is expected: exists, text, hex, random, sha256 or unchanged");
                }
                s->files.push_back(std::move(e));
            }
        }
        if (node["backups"]) {
            if (!node["backups"].IsSequence()) Fail(node["backups"], "expect.backups", "expected a list");
            for (const YAML::Node& b : node["backups"]) {
                Keys(b, {"folder", "originals"}, "expect.backups");
                BackupExpect e;
                e.line = b.Mark().line + 1;
                e.folder = Str(Required(b, "folder", "expect.backups"), "expect.backups.folder");
                CheckDrivePath(b["folder"], "expect.backups.folder", e.folder, *s);
                e.originals = Str(Required(b, "originals", "expect.backups"), "expect.backups.originals");
                CheckDrivePath(b["originals"], "expect.backups.originals", e.originals, *s);
                s->backups.push_back(e);
            }
        }
        if (node["registry"]) {
            if (!node["registry"].IsSequence()) Fail(node["registry"], "expect.registry", "expected a list");
            for (const YAML::Node& r : node["registry"]) {
                Keys(r, {"key", "user", "value", "exists", "text", "multi", "hex", "dword"}, "expect.registry");
                RegistryExpect e;
                e.line = r.Mark().line + 1;
                e.key = Str(Required(r, "key", "expect.registry"), "expect.registry.key");
                const std::string sid =
                    r["user"] ? UserSid(r["user"], "expect.registry.user", Str(r["user"], "expect.registry.user")) : s->users[0].sid;
                e.path = KeyPath(r["key"], "expect.registry.key", e.key, sid);
                if (r["value"]) {
                    e.value = Str(r["value"], "expect.registry.value");
                    e.valueGiven = true;
                }
                if (r["exists"]) e.exists = Bool(r["exists"], "expect.registry.exists");
                if (r["dword"] || r["text"] || r["hex"] || r["multi"]) {
                    if (!e.valueGiven) Fail(r, "expect.registry", "data belongs to a value: give its name ('' for the key's default value)");
                    YAML::Node copy = YAML::Clone(r);
                    copy.remove("key");
                    copy.remove("user");
                    copy.remove("exists");
                    copy["name"] = e.value;
                    copy.remove("value");
                    e.data = RegistryValue(copy, "expect.registry", false).data;
                }
                if (!e.exists && !e.data) Fail(r, "expect.registry", "say what is expected: exists, or the data (dword, text, hex)");
                s->registryAfter.push_back(e);
            }
        }
        if (node["outcome"]) {
            const YAML::Node o = node["outcome"];
            Keys(o, {"denied", "files-protected", "bytes-recovered", "events", "watched", "messages-sent"}, "expect.outcome");
            s->outcome.line = o.Mark().line + 1;
            if (o["denied"]) s->outcome.denied = Int(o["denied"], "expect.outcome.denied", 0, INT32_MAX);
            if (o["files-protected"]) s->outcome.filesProtected = Int(o["files-protected"], "expect.outcome.files-protected", 0, INT32_MAX);
            if (o["bytes-recovered"]) s->outcome.bytesRecovered = Int(o["bytes-recovered"], "expect.outcome.bytes-recovered", 0, INT64_MAX);
            if (o["events"]) s->outcome.events = Int(o["events"], "expect.outcome.events", 0, INT32_MAX);
            if (o["watched"]) s->outcome.watched = Int(o["watched"], "expect.outcome.watched", 0, INT32_MAX);
            if (o["messages-sent"]) s->outcome.messagesSent = Int(o["messages-sent"], "expect.outcome.messages-sent", 0, INT32_MAX);
        }
    }

    static const FileSeed* SeedOf(const Scenario& s, const std::string& path) {
        for (const VolumeSpec& v : s.volumes) {
            if (std::toupper(static_cast<unsigned char>(path[0])) != v.drive) continue;
            for (const FileSeed& f : v.files) {
                if (vetrona::client::GlobMatch(f.path, path.substr(3)) && f.path.size() == path.size() - 3) return &f;
            }
        }
        return nullptr;
    }

    static std::string UserNameOf(const Scenario& s, const std::string& sid) {
        for (const UserSpec& u : s.users) {
            if (u.sid == sid) return u.name;
        }
        return sid == SystemUserSid() ? "SYSTEM" : sid;
    }

    std::string file_;
    std::set<std::string> names_;
    std::set<std::string> handles_;
    std::map<std::string, std::string> userSids_;      // upper-case user name -> SID
    std::map<std::string, std::string> processUsers_;  // process name -> the SID it runs as
    int backupLine_ = 0;
};

}  // namespace

std::optional<int32_t> ParseStatusName(const std::string& text) {
    const std::string upper = Upper(text);
    if (upper == "DENIED") return static_cast<int32_t>(0xC0000022);
    if (upper == "SUCCESS") return 0;
    for (const StatusEntry& entry : kStatuses) {
        if (upper == entry.name) return static_cast<int32_t>(entry.value);
    }
    if (upper.rfind("0X", 0) == 0 && upper.size() <= 10 && upper.size() > 2 &&
        upper.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos) {
        return static_cast<int32_t>(std::strtoul(upper.c_str(), nullptr, 16));
    }
    return std::nullopt;
}

std::string StatusName(int32_t status) {
    for (const StatusEntry& entry : kStatuses) {
        if (static_cast<int32_t>(entry.value) == status) return entry.name;
    }
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

bool StepKindSupported(const std::string& kind) { return kStepKinds.count(kind) != 0; }

bool ClientStepKind(const std::string& kind) { return kClientStepKinds.count(kind) != 0; }

Scenario LoadScenarioText(const std::string& text, const std::string& name) {
    YAML::Node root;
    try {
        root = YAML::Load(text);
    } catch (const YAML::Exception& e) {
        throw ScenarioError(name, e.mark.line >= 0 ? e.mark.line + 1 : 0, "", "not valid YAML: " + e.msg);
    }
    try {
        return Loader(name).Load(root);
    } catch (const ScenarioError&) {
        throw;
    } catch (const YAML::Exception& e) {
        throw ScenarioError(name, e.mark.line >= 0 ? e.mark.line + 1 : 0, "", e.msg);
    }
}

Scenario LoadScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScenarioError(path, 0, "", "cannot read the file");
    std::stringstream buffer;
    buffer << in.rdbuf();
    return LoadScenarioText(buffer.str(), path);
}

}  // namespace vsim
