// vetrona_cost: what the driver's own code costs per operation, in
// instructions counted by callgrind, and the platform calls made beside them.
//
// Timings on shared machines wander; instruction counts do not. The program
// runs itself under `valgrind --tool=callgrind`: each configuration warms up,
// zeroes callgrind's counters, runs a fixed number of loops and dumps. The
// parent then reads each dump and adds up the instructions whose source line
// lies in a driver source (driver/, channel/, filemon/, regmon/, procmon/) —
// inlined code is counted where its source is, so the simulated kernel, the
// client and the test harness stay out of the figure. platform/ is the
// platform's: on the host its guarded copy serves the simulated kernel too.
//
//   vetrona_cost              the table, readable
//   vetrona_cost --json       the same as JSON lines
//   vetrona_cost --check      also fail (exit 1) when a figure is past its budget
//   vetrona_cost --workload   (run under callgrind by the parent)
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/ke/core.h"
#include "sim/fs/fs.h"
#include "sim/ke/stack.h"
#include "sim/io/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"

#include <nlohmann/json.hpp>
#include <valgrind/callgrind.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr int kWarmUp = 4;
constexpr int kLoops = 16;

// One configuration: its name, the budget (driver instructions per loop) and
// the platform routines whose calls per loop are shown beside it.
struct Config {
    const char* name;
    const char* what;
    uint64_t budget;
};

const Config kConfigs[] = {
    {"monitoring_off", "create, write, close; file monitoring off", 300},
    {"on_unwatched", "create, write, close; monitoring on, process not watched", 460},
    {"watched_reads", "open, read, close of a watched process (followed, nothing sent)", 860},
    {"watched_write", "open for writing and one write of a watched process, both answered", 1880},
    {"process_start_exit", "a watched process starts a child that exits, both answered", 1950},
    {"value_set", "a watched process sets a registry value, answered", 870},
    {"watched_backup_64k", "open for writing of a 64 KB file answered backup (copied first), one write, both answered", 14500},
};

const char* const kCounted[] = {"ExAllocatePoolWithTag", "ExAcquireFastMutex", "FltGetFileNameInformation", "FltSendMessage"};

// --- the workload (under callgrind) ------------------------------------------

bool CreateWriteClose(_EPROCESS* app, const std::u16string& path) {
    HANDLE handle = nullptr;
    if (sim::user::CreateFile(app, path, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OVERWRITE_IF,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
        return false;
    }
    static const char kData[64] = "instruction-count payload";
    ULONG written = 0;
    const bool wrote = sim::user::WriteFile(app, handle, 0, kData, sizeof(kData), &written) == STATUS_SUCCESS;
    return sim::user::CloseHandle(app, handle) == STATUS_SUCCESS && wrote;
}

// An open that keeps the file (so it stays 64 KB), one write at its start.
bool OpenWriteClose(_EPROCESS* app, const std::u16string& path) {
    HANDLE handle = nullptr;
    if (sim::user::CreateFile(app, path, FILE_GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
        return false;
    }
    static const char kData[64] = "instruction-count payload";
    ULONG written = 0;
    const bool wrote = sim::user::WriteFile(app, handle, 0, kData, sizeof(kData), &written) == STATUS_SUCCESS;
    return sim::user::CloseHandle(app, handle) == STATUS_SUCCESS && wrote;
}

bool OpenReadClose(_EPROCESS* app, const std::u16string& path) {
    HANDLE handle = nullptr;
    if (sim::user::CreateFile(app, path, FILE_GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                              FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) != STATUS_SUCCESS) {
        return false;
    }
    char buffer[64];
    ULONG read = 0;
    const bool ok = sim::user::ReadFile(app, handle, 0, buffer, sizeof(buffer), &read) == STATUS_SUCCESS;
    return sim::user::CloseHandle(app, handle) == STATUS_SUCCESS && ok;
}

// Runs one configuration on a fresh boot; false when its set-up or a loop failed.
bool RunConfig(const std::string& name, const fs::path& folder) {
    sim::ResetKernel();
    fs::remove_all(folder);
    fs::create_directories(folder);
    sim::fs::MountVolume(folder.string(), u'C');
    PDRIVER_OBJECT driver = nullptr;
    if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
        return false;
    }
    _EPROCESS* clientProcess = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\client.exe", u"", true);
    _EPROCESS* app = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\app.exe");
    bool ok = true;
    {
        vetrona::client::Client client(clientProcess);
        using vetrona::client::Monitor;
        ok = client.Connect() == vetrona::client::kOk;
        const bool watched = name != "monitoring_off" && name != "on_unwatched";
        if (ok && watched) {
            ok = client.AddProcess(static_cast<uint32_t>(app->pid)) == vetrona::client::kOk;
        }
        if (ok) {
            const Monitor monitor = name == "process_start_exit" ? Monitor::Process : name == "value_set" ? Monitor::Registry : Monitor::File;
            ok = client.SetMonitor(monitor, name == "monitoring_off" ? 0 : 1) == vetrona::client::kOk;
        }
        const bool backup = name == "watched_backup_64k";
        if (ok && backup) {
            fs::create_directories(folder / "Backup");
            ok = client.SetBackupDir(u"\\??\\C:\\Backup") == vetrona::client::kOk &&
                 client.SetBackupLimit(vetrona::client::kDefaultBackupLimit) == vetrona::client::kOk;
        }
        std::atomic<bool> stop{false};
        std::thread answerer([&] {
            vetrona::client::Message m;
            while (!stop.load()) {
                if (client.Receive(&m, 20) == vetrona::client::kOk) {
                    // The backup configuration answers 3 to the open for writing.
                    const auto decoded = m.Decode();
                    const auto* f = decoded.ok() ? std::get_if<vetrona::client::FileEventView>(&decoded.event) : nullptr;
                    client.Reply(m, backup && f != nullptr && f->operation == FileOpWriteAccess ? VerdictBackup : 0);
                }
            }
        });

        // The file exists before the loops, created by another program: the
        // loops overwrite or read it, never create it.
        const std::u16string path = u"C:\\cost.bin";
        _EPROCESS* setup = sim::user::StartProcess(nullptr, u"\\Device\\HarddiskVolume1\\setup.exe");
        ok = ok && CreateWriteClose(setup, path);
        if (ok && backup) {
            // 64 KB of content for the copy.
            HANDLE handle = nullptr;
            std::vector<char> bytes(64 * 1024, 'c');
            ULONG written = 0;
            ok = sim::user::CreateFile(setup, path, FILE_GENERIC_WRITE, 0, FILE_OVERWRITE_IF,
                                       FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &handle) == STATUS_SUCCESS &&
                 sim::user::WriteFile(setup, handle, 0, bytes.data(), static_cast<ULONG>(bytes.size()), &written) == STATUS_SUCCESS &&
                 sim::user::CloseHandle(setup, handle) == STATUS_SUCCESS;
        }
        sim::user::EndProcess(setup);
        HANDLE key = nullptr;
        if (name == "value_set") {
            ok = ok && sim::user::CreateKey(app, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE\\Cost", KEY_ALL_ACCESS, &key) == STATUS_SUCCESS;
        }
        auto loop = [&](int i) {
            if (name == "watched_reads") {
                return OpenReadClose(app, path);
            }
            if (name == "process_start_exit") {
                _EPROCESS* child = sim::user::StartProcess(app, u"\\Device\\HarddiskVolume1\\Tools\\tool.exe", u"tool.exe --x");
                const bool ended = child != nullptr && sim::user::EndProcess(child) == STATUS_SUCCESS;
                sim::DrainWorkItems();  // the exit is sent by a worker thread: it belongs to the cost
                return ended;
            }
            if (name == "value_set") {
                const uint32_t value = static_cast<uint32_t>(i);
                return sim::user::SetValueKey(app, key, u"Setting", REG_DWORD, &value, sizeof(value)) == STATUS_SUCCESS;
            }
            if (backup) {
                // Each loop copies: the previous copy is taken away on the
                // host, outside the driver, so every loop finds the same name free.
                const bool done = OpenWriteClose(app, path);
                std::error_code error;
                const bool copied = fs::file_size(folder / "Backup" / "cost.bin", error) == 64 * 1024;
                fs::remove(folder / "Backup" / "cost.bin", error);
                return done && copied;
            }
            return CreateWriteClose(app, path);
        };
        for (int i = 0; i < kWarmUp && ok; ++i) {
            ok = loop(i);
        }
        std::map<std::string, uint64_t> before;
        for (const char* routine : kCounted) {
            before[routine] = sim::CallCount(routine);
        }
        sim::ResetKernelStackHighWater();
        sim::SetKernelStackMeasuring(true);
        CALLGRIND_ZERO_STATS;
        for (int i = 0; i < kLoops && ok; ++i) {
            ok = loop(kWarmUp + i);
        }
        CALLGRIND_DUMP_STATS_AT(name.c_str());
        sim::SetKernelStackMeasuring(false);
        // The deepest kernel stack each kind of driver routine used, share
        // above included, on standard error for the parent.
        std::cerr << "stack " << name;
        for (const auto& [kind, bytes] : sim::KernelStackHighWater()) {
            std::string key = kind;
            std::replace(key.begin(), key.end(), ' ', '_');
            std::cerr << " " << key << "=" << bytes;
        }
        std::cerr << "\n";
        // The platform calls, on standard error for the parent.
        std::cerr << "calls " << name;
        for (const char* routine : kCounted) {
            std::cerr << " " << routine << "=" << (sim::CallCount(routine) - before[routine]);
        }
        std::cerr << "\n";
        stop = true;
        answerer.join();
        if (key != nullptr) {
            sim::user::CloseHandle(app, key);
        }
        client.Disconnect();
    }
    sim::user::EndProcess(app);
    sim::user::EndProcess(clientProcess);
    sim::DrainWorkItems();
    ok = sim::StopDriver(driver) == STATUS_SUCCESS && ok;
    sim::ResetKernel();
    fs::remove_all(folder);
    return ok;
}

int Workload(const fs::path& folder) {
    bool ok = true;
    for (const Config& c : kConfigs) {
        if (!RunConfig(c.name, folder)) {
            std::cerr << "vetrona_cost: configuration " << c.name << " failed\n";
            ok = false;
        }
    }
    return ok ? 0 : 1;
}

// --- reading callgrind's dumps -------------------------------------------------

bool IsDriverSource(const std::string& file) {
    static const std::regex driver("(^|/)(driver|channel|filemon|regmon|procmon)/[^/]+$");
    return std::regex_search(file, driver);
}

// The instructions of one dump whose source lies in a driver source: self
// cost lines only (the line after a calls= line is a call's inclusive cost),
// each counted in the file that fi=/fe= name for inlined code.
struct Dump {
    std::string trigger;
    uint64_t driverInstructions = 0;
    uint64_t allInstructions = 0;
};

Dump ReadDump(const fs::path& file) {
    Dump dump;
    std::ifstream in(file);
    std::map<std::string, std::string> files;  // compressed id -> name
    auto resolve = [&](const std::string& rest) {
        // "(12) name" defines, "(12)" refers, "name" is plain.
        if (!rest.empty() && rest[0] == '(') {
            const size_t close = rest.find(')');
            const std::string id = rest.substr(0, close + 1);
            if (close + 1 < rest.size()) {
                files[id] = rest.substr(close + 2);
            }
            return files[id];
        }
        return rest;
    };
    std::string line;
    std::string functionFile;  // fl= of the current function
    bool inDriver = false;
    bool skipNext = false;
    while (std::getline(in, line)) {
        if (line.rfind("desc: Trigger: Client Request: ", 0) == 0) {
            dump.trigger = line.substr(31);
            continue;
        }
        if (line.empty()) {
            continue;
        }
        if (skipNext) {
            skipNext = false;
            continue;
        }
        const char c = line[0];
        if ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*') {
            std::istringstream fields(line);
            std::string position;
            uint64_t ir = 0;
            fields >> position >> ir;
            dump.allInstructions += ir;
            if (inDriver) {
                dump.driverInstructions += ir;
            }
            continue;
        }
        if (line.rfind("fl=", 0) == 0) {
            functionFile = resolve(line.substr(3));
            inDriver = IsDriverSource(functionFile);
        } else if (line.rfind("fi=", 0) == 0 || line.rfind("fe=", 0) == 0) {
            inDriver = IsDriverSource(resolve(line.substr(3)));
        } else if (line.rfind("fn=", 0) == 0) {
            inDriver = IsDriverSource(functionFile);
        } else if (line.rfind("cfi=", 0) == 0 || line.rfind("cfl=", 0) == 0) {
            resolve(line.substr(4));
        } else if (line.rfind("calls=", 0) == 0) {
            skipNext = true;
        }
    }
    return dump;
}

std::string Self() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

int Measure(bool json, bool check) {
    const fs::path dir = fs::temp_directory_path() / ("vetrona-cost-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path out = dir / "callgrind.out";
    const fs::path errors = dir / "stderr.txt";
    // Only the dumps the workload asks for matter; the instrumentation is the
    // cost of the run, so nothing else is collected (no cache or branch model).
    const std::string command = "valgrind --tool=callgrind --callgrind-out-file=" + out.string() + " --dump-instr=no --compress-pos=no '" +
                                Self() + "' --workload '" + (dir / "volume").string() + "' 2>'" + errors.string() + "'";
    const int status = std::system(command.c_str());
    std::map<std::string, std::map<std::string, double>> calls;
    std::map<std::string, std::map<std::string, size_t>> stacks;  // configuration -> kind -> deepest bytes
    {
        std::ifstream in(errors);
        std::string line;
        while (std::getline(in, line)) {
            const bool isCalls = line.rfind("calls ", 0) == 0;
            const bool isStack = line.rfind("stack ", 0) == 0;
            if (!isCalls && !isStack) {
                continue;
            }
            std::istringstream fields(line.substr(6));
            std::string config, pair;
            fields >> config;
            while (fields >> pair) {
                const size_t eq = pair.find('=');
                if (isCalls) {
                    calls[config][pair.substr(0, eq)] = std::stod(pair.substr(eq + 1)) / kLoops;
                } else {
                    std::string kind = pair.substr(0, eq);
                    std::replace(kind.begin(), kind.end(), '_', ' ');
                    stacks[config][kind] = std::stoul(pair.substr(eq + 1));
                }
            }
        }
    }
    if (status != 0) {
        std::cerr << "vetrona_cost: the workload under callgrind failed (status " << status << "); its output:\n";
        std::ifstream in(errors);
        std::cerr << in.rdbuf();
        fs::remove_all(dir);
        return 2;
    }
    std::map<std::string, Dump> dumps;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("callgrind.out.", 0) == 0) {
            Dump d = ReadDump(entry.path());
            dumps[d.trigger] = d;
        }
    }
    fs::remove_all(dir);

    bool over = false;
    if (!json) {
        std::printf("%-20s %12s %8s  %6s %6s %6s %6s  %s\n", "configuration", "instr/loop", "budget", "allocs", "mutex", "names",
                    "sends", "loop");
    }
    for (const Config& c : kConfigs) {
        auto it = dumps.find(c.name);
        if (it == dumps.end()) {
            std::cerr << "vetrona_cost: no dump for " << c.name << "\n";
            return 2;
        }
        const uint64_t perLoop = (it->second.driverInstructions + kLoops / 2) / kLoops;
        const bool past = perLoop > c.budget;
        over = over || past;
        auto& k = calls[c.name];
        if (json) {
            nlohmann::ordered_json row = {{"type", "cost"},
                                          {"configuration", c.name},
                                          {"loops", kLoops},
                                          {"instructionsPerLoop", perLoop},
                                          {"budget", c.budget},
                                          {"withinBudget", !past},
                                          {"allocationsPerLoop", k["ExAllocatePoolWithTag"]},
                                          {"fastMutexesPerLoop", k["ExAcquireFastMutex"]},
                                          {"nameQueriesPerLoop", k["FltGetFileNameInformation"]},
                                          {"sendsPerLoop", k["FltSendMessage"]},
                                          {"loop", c.what}};
            std::cout << row.dump() << "\n";
        } else {
            std::printf("%-20s %12llu %8llu  %6.1f %6.1f %6.1f %6.1f  %s%s\n", c.name, static_cast<unsigned long long>(perLoop),
                        static_cast<unsigned long long>(c.budget), k["ExAllocatePoolWithTag"], k["ExAcquireFastMutex"],
                        k["FltGetFileNameInformation"], k["FltSendMessage"], c.what, past ? "   PAST ITS BUDGET" : "");
        }
    }
    // The deepest use of the kernel stack per kind of driver routine, over
    // the measured loops of every configuration.
    std::map<std::string, std::pair<size_t, std::string>> deepest;
    for (const auto& [config, kinds] : stacks) {
        for (const auto& [kind, bytes] : kinds) {
            auto& d = deepest[kind];
            if (bytes > d.first) d = {bytes, config};
        }
    }
    if (!json) {
        std::printf("\n%-20s %12s %8s  %s\n", "driver routine", "stack used", "of", "deepest in");
    }
    for (const auto& [kind, d] : deepest) {
        if (json) {
            nlohmann::ordered_json row = {{"type", "kernel-stack"},
                                          {"routine", kind},
                                          {"deepestBytes", d.first},
                                          {"stackBytes", sim::kKernelStackSize},
                                          {"configuration", d.second}};
            std::cout << row.dump() << "\n";
        } else {
            std::printf("%-20s %12zu %8zu  %s\n", kind.c_str(), d.first, sim::kKernelStackSize, d.second.c_str());
        }
    }
    if (check && over) {
        std::cerr << "vetrona_cost: a configuration costs more driver instructions than its budget\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--workload" && i + 1 < argc) {
            return Workload(argv[i + 1]);
        }
        if (arg == "--json") {
            json = true;
        } else if (arg == "--check") {
            check = true;
        } else {
            std::cerr << "usage: vetrona_cost [--json] [--check]\n";
            return 2;
        }
    }
    return Measure(json, check);
}
