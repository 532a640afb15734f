// Scenarios: a YAML description of a machine, a client policy, a workload
// run by named processes and what must be true afterwards. Loading checks the
// whole file before anything runs; a problem is reported with the file, the
// line and the field.
#pragma once

#include "client/lib/policy.h"
#include "client/lib/sigma/verdicts.h"

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vsim {

// A problem in a scenario file.
struct ScenarioError : std::runtime_error {
    ScenarioError(std::string file, int line, std::string field, const std::string& message)
        : std::runtime_error(message), file(std::move(file)), line(line), field(std::move(field)) {}
    std::string file;
    int line;
    std::string field;
    std::string Describe() const;  // "file:line: field: message"
};

// Something a scenario asks for that will not do what its writer likely
// meant, found when it is loaded; the run goes on.
struct ScenarioWarning {
    int line = 0;
    std::string field;
    std::string message;
};

// A user of the machine: a profile under C:\Users\<name> and a hive under
// \REGISTRY\USER\<sid>. The first one is the interactive user, who runs
// every process not started by another and not given a user of its own.
struct UserSpec {
    int line = 0;
    std::string name;
    std::string sid;  // "S-1-5-21-...-1001"; generated when the file gives none
};

struct FileSeed {
    int line = 0;
    std::string path;  // relative to the volume root
    std::vector<uint8_t> bytes;
};

struct VolumeSpec {
    int line = 0;
    char drive = 'C';
    std::string hostFolder;  // an existing host folder to mount as it is; empty: a fresh one
    std::vector<std::string> folders;
    std::vector<FileSeed> files;
};

struct RegistryValueSpec {
    std::string name;
    std::string type;  // REG_SZ, REG_DWORD, REG_BINARY...
    std::vector<uint8_t> data;
};

struct RegistryKeySpec {
    int line = 0;
    std::string key;   // as written: HKLM\..., HKCU\..., \REGISTRY\...
    std::string path;  // the kernel's name: \REGISTRY\...
    std::vector<RegistryValueSpec> values;
};

struct ProcessSpec {
    int line = 0;
    std::string name;
    std::string image;        // "C:\Windows\explorer.exe"
    std::string commandLine;
    std::string parent;       // name of an earlier process; empty: started by the system
    bool admin = false;
    std::string user;         // the user it runs as (its parent's, or the interactive user)
    std::string userSid;
};

struct ClientSpec {
    int line = 0;
    bool present = false;
    std::vector<std::string> watch;  // process names
    bool fileMon = false, procMon = false, regMon = false;
    std::optional<std::string> backup;  // "C:\Backup"
    // The largest file copied before a change; none: the client's default.
    std::optional<uint64_t> backupLimit;
    vetrona::client::Policy policy;
    vetrona::client::sigma::SigmaPolicy sigma;  // client.sigma: detection rules after the policy's rules
};

// One step of the workload. `args` holds its scalar settings, `lists` its
// list settings (access, share, options), `data` the bytes it writes.
struct StepSpec {
    int line = 0;
    std::string kind;     // start, exit, create, open, write, read, close, rename, delete, define-dos-device,
                          // scsi-write, ata-write, partition-table, encrypt, create-key, set-value, delete-value, rename-key,
                          // delete-key, threads; the client's own: connect, disconnect, get-version,
                          // get-switch, set-switch, watch, set-backup
    std::string process;  // who does it
    std::string label;    // optional name shown in the transcript
    std::vector<std::string> techniques;  // `technique:`: the attacker techniques this step is the act of
    std::map<std::string, std::string> args;
    std::map<std::string, std::vector<std::string>> lists;
    std::optional<std::vector<uint8_t>> data;
    std::optional<int32_t> status;  // expected NTSTATUS; none: success
    std::vector<std::vector<StepSpec>> threads;
    // Registry steps: the key's kernel name, HKEY_CURRENT_USER taken as the
    // hive of the user the step's process runs as.
    std::string keyPath;
    // start: the SID of the user the new process runs as.
    std::string userSid;
};

struct EventMatcher {
    int line = 0;
    std::optional<uint32_t> eventClass;
    std::optional<int32_t> operation;
    std::string path, destination, value, image, process;
    std::optional<int32_t> verdict;
};

struct EventsExpect {
    int line = 0;
    bool present = false;
    bool ordered = true;    // list matched as a subsequence, in order; else as a set
    bool complete = false;  // every event must be matched by the list
    std::vector<EventMatcher> list;
    std::vector<EventMatcher> absent;  // no event may match these
};

struct FileExpect {
    int line = 0;
    std::string path;  // "C:\..."
    std::optional<bool> exists;
    std::optional<std::vector<uint8_t>> content;
    std::string sha256;     // hex
    bool unchanged = false; // holds its seeded bytes
};

// Sectors of a volume's disk after the workload: as they were before it
// (`unchanged`), or holding the given bytes or digest.
struct DiskExpect {
    int line = 0;
    char drive = 'C';
    uint64_t lba = 0;
    uint32_t sectors = 1;
    bool unchanged = false;
    std::optional<std::vector<uint8_t>> content;
    std::string sha256;  // hex
};

// Every file matching `originals` has a byte-exact copy of its original
// content (as seeded, or as first written by the workload) in `folder`, under
// its name or its name with _1 to _20 appended.
struct BackupExpect {
    int line = 0;
    std::string folder;
    std::string originals;
};

struct RegistryExpect {
    int line = 0;
    std::string key;
    std::string path;   // the kernel's name
    std::string value;
    bool valueGiven = false;  // false: the key itself ('' names the key's default value)
    std::optional<bool> exists;
    std::optional<std::vector<uint8_t>> data;
};

// A process of the workload that must (not) have started: a start the
// client refused leaves no process behind.
struct ProcessExpect {
    int line = 0;
    std::string name;
    bool started = true;
};

struct OutcomeExpect {
    int line = 0;
    std::optional<int64_t> denied, filesProtected, bytesRecovered, events;
    std::optional<int64_t> watched;       // the scenario's processes the driver still watches at the end
    std::optional<int64_t> messagesSent;  // messages the driver sent to a client during the workload
};

// Lines the driver prints to the debugger, each matched by a glob, in order.
struct DebuggerExpect {
    int line = 0;
    std::vector<std::string> lines;
};

struct Scenario {
    std::string file;
    std::string title;
    std::string description;
    std::vector<std::string> techniques;
    std::vector<ScenarioWarning> warnings;
    std::vector<UserSpec> users;  // never empty once loaded: alice when the file names nobody
    std::vector<VolumeSpec> volumes;
    std::vector<RegistryKeySpec> registry;
    std::vector<ProcessSpec> processes;
    ClientSpec client;
    std::vector<StepSpec> workload;
    EventsExpect events;
    std::vector<FileExpect> files;
    std::vector<DiskExpect> disks;
    std::vector<BackupExpect> backups;
    std::vector<RegistryExpect> registryAfter;
    std::vector<ProcessExpect> processesAfter;
    OutcomeExpect outcome;
    DebuggerExpect debugger;
};

// Loads and checks a scenario; throws ScenarioError.
Scenario LoadScenarioFile(const std::string& path);
Scenario LoadScenarioText(const std::string& text, const std::string& name);

// The warnings of a loaded scenario, one "file:line: field: warning: message"
// line each.
std::string DescribeWarning(const Scenario& s, const ScenarioWarning& w);

// The kernel's name of a registry key written in a scenario: HKLM\ and
// HKEY_LOCAL_MACHINE\ stand for \REGISTRY\MACHINE\, HKU\ and HKEY_USERS\ for
// \REGISTRY\USER\, HKCU\ and HKEY_CURRENT_USER\ for the hive of the user
// whose SID is given; a \REGISTRY\ name stays as it is. Anything else gives
// an empty name and says why in *problem.
std::string KernelKeyPath(const std::string& key, const std::string& userSid, std::string* problem);
// Whether the key is written relative to HKEY_CURRENT_USER; *rest receives
// what follows the root (with its leading backslash).
bool IsCurrentUserKey(const std::string& key, std::string* rest = nullptr);

// SIDs of the machine's users: the n-th declared user's when the file gives
// none (the first is the interactive user the simulated kernel logs on at
// boot), and SYSTEM's.
std::string GeneratedUserSid(size_t index);
const char* SystemUserSid();
bool ValidSid(const std::string& text);

// Folders every machine has on its system drive C: (when the volume is a
// fresh one) beside the profile folders of each user, relative to the root.
std::vector<std::string> MachineFolders(const Scenario& s);
// Whether a folder ("C:\Backup") is there for the workload: a volume's root,
// a folder the machine has or makes for its files, one in a mounted host
// folder, or one a workload step creates.
bool FolderOnMachine(const Scenario& s, const std::string& folder);

// NTSTATUS names a scenario may use for expected statuses.
std::optional<int32_t> ParseStatusName(const std::string& text);
std::string StatusName(int32_t status);

// Step kinds the simulated kernel cannot carry out yet: the run stops there
// with a "not supported yet" error naming the step.
bool StepKindSupported(const std::string& kind);

// Steps the scenario's client takes itself (`process: client`).
bool ClientStepKind(const std::string& kind);

// The name workload steps give the scenario's client.
inline constexpr const char* kClientProcessName = "client";

}  // namespace vsim
