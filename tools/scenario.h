// Scenarios: a YAML description of a machine, a client policy, a workload
// run by named processes and what must be true afterwards. Loading checks the
// whole file before anything runs; a problem is reported with the file, the
// line and the field.
#pragma once

#include "client/lib/policy.h"

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
    std::string key;
    std::vector<RegistryValueSpec> values;
};

struct ProcessSpec {
    int line = 0;
    std::string name;
    std::string image;        // "C:\Windows\explorer.exe"
    std::string commandLine;
    std::string parent;       // name of an earlier process; empty: started by the system
    bool admin = false;
};

struct ClientSpec {
    int line = 0;
    bool present = false;
    std::vector<std::string> watch;  // process names
    bool fileMon = false, procMon = false, regMon = false;
    std::optional<std::string> backup;  // "C:\Backup"
    vetrona::client::Policy policy;
};

// One step of the workload. `args` holds its scalar settings, `lists` its
// list settings (access, share, options), `data` the bytes it writes.
struct StepSpec {
    int line = 0;
    std::string kind;     // start, exit, create, open, write, read, close, rename, delete, define-dos-device,
                          // scsi-write, ata-write, encrypt, create-key, set-value, delete-value, rename-key,
                          // delete-key, threads; the client's own: connect, disconnect, get-version,
                          // get-switch, set-switch, watch, set-backup
    std::string process;  // who does it
    std::string label;    // optional name shown in the transcript
    std::map<std::string, std::string> args;
    std::map<std::string, std::vector<std::string>> lists;
    std::optional<std::vector<uint8_t>> data;
    std::optional<int32_t> status;  // expected NTSTATUS; none: success
    std::vector<std::vector<StepSpec>> threads;
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
    std::string value;  // empty: the key itself
    std::optional<bool> exists;
    std::optional<std::vector<uint8_t>> data;
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
    std::vector<VolumeSpec> volumes;
    std::vector<RegistryKeySpec> registry;
    std::vector<ProcessSpec> processes;
    ClientSpec client;
    std::vector<StepSpec> workload;
    EventsExpect events;
    std::vector<FileExpect> files;
    std::vector<BackupExpect> backups;
    std::vector<RegistryExpect> registryAfter;
    OutcomeExpect outcome;
    DebuggerExpect debugger;
};

// Loads and checks a scenario; throws ScenarioError.
Scenario LoadScenarioFile(const std::string& path);
Scenario LoadScenarioText(const std::string& text, const std::string& name);

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
