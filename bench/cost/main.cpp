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
// With --image the same loops run a second time on the shipped driver image
// loaded into the simulated kernel, and the instructions counted are those
// whose address lies in the image's mapped range: what a user's machine pays
// for the driver's own code, compiled as shipped.
//
//   vetrona_cost                          the table, readable
//   vetrona_cost --json                   the same as JSON lines
//   vetrona_cost --check                  also fail (exit 1) when a figure is past its budget
//   vetrona_cost --image build/windows/vetrona.sys   the image's figures beside the host build's
//   vetrona_cost --workload DIR [IMAGE]   (run under callgrind by the parent)
#include "client/lib/client.h"
#include "driver/driver_data.h"
#include "sim/ke/core.h"
#include "sim/fs/fs.h"
#include "sim/ke/stack.h"
#include "sim/io/io.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"
#include "sim/loader/loader.h"

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

// One configuration: its name, the budgets (driver instructions per loop, for
// the host build and for the image; exclusive lock acquisitions per loop) and
// the platform routines whose calls per loop are shown beside it.
struct Config {
    const char* name;
    const char* what;
    uint64_t budget;
    uint64_t imageBudget;
    double exclusiveBudget;
};

const Config kConfigs[] = {
    {"monitoring_off", "create, write, close; file monitoring off", 150, 150, 0},
    {"on_unwatched", "create, write, close; monitoring on, process not watched", 300, 250, 0},
    // No worse than before the gates changed (host figures then; the image
    // pays less for the same code).
    {"watched_reads", "open, read, close of a watched process (followed, nothing sent)", 777, 777, 4},
    {"watched_write", "open for writing and one write of a watched process, both answered", 1708, 1708, 6},
    {"process_start_exit", "a watched process starts a child that exits, both answered", 1772, 1772, 5},
    {"value_set", "a watched process sets a registry value, answered", 789, 789, 2},
    // The copy before a change: the fast mutex of the backup folder and the
    // copy's own opens. Not played on the image (image budget 0): under
    // callgrind, and only there, the image's copy reaches FltCreateFile with
    // object-attribute bits the image outside callgrind and the linked driver
    // never pass, and the model stops; not understood yet.
    {"watched_backup_64k", "open for writing of a 64 KB file answered backup (copied first), one write, both answered", 14500, 0, 12},
};

const char* const kCounted[] = {"ExAllocatePoolWithTag",       "ExAcquireFastMutex",        "ExTryToAcquireFastMutex:acquired",
                                "FltAcquirePushLockExclusive", "FltAcquirePushLockShared", "FltGetFileNameInformation",
                                "FltSendMessage"};

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

// Runs one configuration on a fresh boot, with the linked driver or the image
// at `image`; false when its set-up or a loop failed.
bool RunConfig(const std::string& name, const fs::path& folder, const std::string& image) {
    sim::ResetKernel();
    fs::remove_all(folder);
    fs::create_directories(folder);
    sim::fs::MountVolume(folder.string(), u'C');
    PDRIVER_OBJECT driver = nullptr;
    if (image.empty()) {
        if (sim::LoadDriver(DriverEntry, u"vetrona", &driver) != STATUS_SUCCESS) {
            return false;
        }
    } else {
        std::string error;
        if (sim::LoadDriverImage(image, u"vetrona", &driver, &error) != STATUS_SUCCESS) {
            std::cerr << "vetrona_cost: " << error << "\n";
            return false;
        }
        // Where the image lies, for the parent: its instructions are those
        // executed at these addresses.
        const sim::loader::Image* loaded = sim::loader::FindImage(driver->DriverStart);
        std::cerr << "image " << name << " " << sim::loader::ImageBase(loaded) << " " << sim::loader::ImageSize(loaded) << "\n";
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

int Workload(const fs::path& folder, const std::string& image) {
    // See SetKernelStackSwitching: the image's loops run on the caller's stack.
    if (!image.empty()) sim::SetKernelStackSwitching(false);
    bool ok = true;
    for (const Config& c : kConfigs) {
        if (!image.empty() && c.imageBudget == 0) continue;
        if (!RunConfig(c.name, folder, image)) {
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

// The instructions of one dump that are the driver's own: self cost lines
// only (the line after a calls= line is a call's inclusive cost). For the
// host build, those whose source lies in a driver source, each counted in the
// file that fi=/fe= name for inlined code; for the image (a range given),
// those whose instruction address lies in the image's mapped range.
struct Dump {
    std::string trigger;
    uint64_t driverInstructions = 0;
    uint64_t allInstructions = 0;
};

struct Range {
    uint64_t base = 0;
    uint64_t size = 0;
    bool Contains(uint64_t address) const { return address >= base && address - base < size; }
};

Dump ReadDump(const fs::path& file, const Range* image) {
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
    int positions = 1;  // "positions: line", or "instr line" with --dump-instr=yes
    uint64_t address = 0;
    while (std::getline(in, line)) {
        if (line.rfind("desc: Trigger: Client Request: ", 0) == 0) {
            dump.trigger = line.substr(31);
            continue;
        }
        if (line.rfind("positions:", 0) == 0) {
            positions = line.find("instr") != std::string::npos ? 2 : 1;
            continue;
        }
        if (line.empty()) {
            continue;
        }
        const char c = line[0];
        const bool cost = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '*';
        if (skipNext && cost) {
            skipNext = false;
            // The call's inclusive cost: its instruction position still moves on.
            if (positions == 2) {
                std::istringstream fields(line);
                std::string position;
                fields >> position;
                if (position.rfind("0x", 0) == 0) {
                    address = std::stoull(position, nullptr, 16);
                } else if (position[0] == '+' || position[0] == '-') {
                    address += static_cast<uint64_t>(std::stoll(position));
                }
            }
            continue;
        }
        if (cost) {
            std::istringstream fields(line);
            std::string position, lineNumber;
            uint64_t ir = 0;
            fields >> position;
            if (positions == 2) {
                if (position.rfind("0x", 0) == 0) {
                    address = std::stoull(position, nullptr, 16);
                } else if (position[0] == '+' || position[0] == '-') {
                    address += static_cast<uint64_t>(std::stoll(position));
                }
                fields >> lineNumber;
            }
            fields >> ir;
            dump.allInstructions += ir;
            if (image != nullptr ? image->Contains(address) : inDriver) {
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

// One pass of every configuration under callgrind, on the linked driver or on
// the image: per configuration the driver's instructions per loop and the
// platform calls per loop.
struct Pass {
    std::map<std::string, uint64_t> perLoop;
    std::map<std::string, std::map<std::string, double>> calls;
    std::map<std::string, std::map<std::string, size_t>> stacks;  // configuration -> kind -> deepest bytes
};

// 0 on success, else the exit status for main.
int RunPass(const std::string& image, Pass* pass) {
    const fs::path dir = fs::temp_directory_path() / ("vetrona-cost-" + std::to_string(::getpid()) + (image.empty() ? "" : "-image"));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path out = dir / "callgrind.out";
    const fs::path errors = dir / "stderr.txt";
    // Only the dumps the workload asks for matter; the instrumentation is the
    // cost of the run, so nothing else is collected (no cache or branch model).
    // The image has no line information: its instructions are known by address.
    const std::string command = "valgrind --tool=callgrind --callgrind-out-file=" + out.string() + " --dump-instr=" +
                                (image.empty() ? "no" : "yes") + " --compress-pos=no '" + Self() + "' --workload '" +
                                (dir / "volume").string() + "'" + (image.empty() ? "" : " '" + image + "'") + " 2>'" +
                                errors.string() + "'";
    const int status = std::system(command.c_str());
    std::map<std::string, Range> ranges;
    {
        std::ifstream in(errors);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("image ", 0) == 0) {
                std::istringstream fields(line.substr(6));
                std::string config;
                Range range;
                fields >> config >> range.base >> range.size;
                ranges[config] = range;
                continue;
            }
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
                    pass->calls[config][pair.substr(0, eq)] = std::stod(pair.substr(eq + 1)) / kLoops;
                } else {
                    std::string kind = pair.substr(0, eq);
                    std::replace(kind.begin(), kind.end(), '_', ' ');
                    pass->stacks[config][kind] = std::stoul(pair.substr(eq + 1));
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
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("callgrind.out.", 0) != 0) {
            continue;
        }
        // The trigger names the configuration; the image's range is known
        // only once the trigger is read, so an image dump is read twice.
        Dump d = ReadDump(entry.path(), nullptr);
        if (!image.empty()) {
            auto range = ranges.find(d.trigger);
            if (range == ranges.end()) {
                std::cerr << "vetrona_cost: no image range for " << d.trigger << "\n";
                fs::remove_all(dir);
                return 2;
            }
            d = ReadDump(entry.path(), &range->second);
        }
        pass->perLoop[d.trigger] = (d.driverInstructions + kLoops / 2) / kLoops;
    }
    fs::remove_all(dir);
    for (const Config& c : kConfigs) {
        if (pass->perLoop.find(c.name) == pass->perLoop.end() && (image.empty() || c.imageBudget != 0)) {
            std::cerr << "vetrona_cost: no dump for " << c.name << (image.empty() ? "" : " (image)") << "\n";
            return 2;
        }
    }
    return 0;
}

int Measure(bool json, bool check, const std::string& image) {
    Pass host, shipped;
    if (const int status = RunPass("", &host); status != 0) {
        return status;
    }
    if (!image.empty()) {
        if (const int status = RunPass(image, &shipped); status != 0) {
            return status;
        }
    }

    bool over = false;
    if (!json) {
        std::printf("%-20s %10s %7s", "configuration", "instr/loop", "budget");
        if (!image.empty()) {
            std::printf(" %10s %7s", "image", "budget");
        }
        std::printf("  %6s %9s %6s %6s %6s  %s\n", "allocs", "exclusive", "shared", "names", "sends", "loop");
    }
    for (const Config& c : kConfigs) {
        const uint64_t perLoop = host.perLoop[c.name];
        auto& k = host.calls[c.name];
        const double exclusive = k["ExAcquireFastMutex"] + k["ExTryToAcquireFastMutex:acquired"] + k["FltAcquirePushLockExclusive"];
        const double shared = k["FltAcquirePushLockShared"];
        std::vector<std::string> past;
        if (perLoop > c.budget) {
            past.push_back("instructions");
        }
        if (exclusive > c.exclusiveBudget) {
            past.push_back("exclusive locks");
        }
        const bool onImage = !image.empty() && c.imageBudget != 0;
        const uint64_t imagePerLoop = onImage ? shipped.perLoop[c.name] : 0;
        if (onImage) {
            auto& i = shipped.calls[c.name];
            if (imagePerLoop > c.imageBudget) {
                past.push_back("image instructions");
            }
            if (i["ExAcquireFastMutex"] + i["ExTryToAcquireFastMutex:acquired"] + i["FltAcquirePushLockExclusive"] > c.exclusiveBudget) {
                past.push_back("image exclusive locks");
            }
        }
        over = over || !past.empty();
        std::string pastText;
        for (const std::string& p : past) {
            pastText += (pastText.empty() ? "" : ", ") + p;
        }
        if (json) {
            nlohmann::ordered_json row = {{"type", "cost"},
                                          {"configuration", c.name},
                                          {"loops", kLoops},
                                          {"instructionsPerLoop", perLoop},
                                          {"budget", c.budget}};
            if (onImage) {
                row["imageInstructionsPerLoop"] = imagePerLoop;
                row["imageBudget"] = c.imageBudget;
            }
            row["withinBudget"] = past.empty();
            row["allocationsPerLoop"] = k["ExAllocatePoolWithTag"];
            row["exclusiveLocksPerLoop"] = exclusive;
            row["exclusiveBudget"] = c.exclusiveBudget;
            row["sharedLocksPerLoop"] = shared;
            row["nameQueriesPerLoop"] = k["FltGetFileNameInformation"];
            row["sendsPerLoop"] = k["FltSendMessage"];
            row["loop"] = c.what;
            std::cout << row.dump() << "\n";
        } else {
            std::printf("%-20s %10llu %7llu", c.name, static_cast<unsigned long long>(perLoop), static_cast<unsigned long long>(c.budget));
            if (!image.empty()) {
                if (onImage) {
                    std::printf(" %10llu %7llu", static_cast<unsigned long long>(imagePerLoop), static_cast<unsigned long long>(c.imageBudget));
                } else {
                    std::printf(" %10s %7s", "-", "-");
                }
            }
            std::printf("  %6.1f %9.1f %6.1f %6.1f %6.1f  %s%s%s\n", k["ExAllocatePoolWithTag"], exclusive, shared,
                        k["FltGetFileNameInformation"], k["FltSendMessage"], c.what, past.empty() ? "" : "   PAST ITS BUDGET: ",
                        pastText.c_str());
        }
    }
    // The deepest use of the kernel stack per kind of driver routine, over
    // the measured loops of every configuration.
    std::map<std::string, std::pair<size_t, std::string>> deepest;
    for (const auto& [config, kinds] : host.stacks) {
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
        std::cerr << "vetrona_cost: a configuration costs more than its budget\n";
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool json = false, check = false;
    std::string image;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--workload" && i + 1 < argc) {
            return Workload(argv[i + 1], i + 2 < argc ? argv[i + 2] : "");
        }
        if (arg == "--json") {
            json = true;
        } else if (arg == "--check") {
            check = true;
        } else if (arg == "--image" && i + 1 < argc) {
            image = argv[++i];
            if (!fs::is_regular_file(image)) {
                std::cerr << "vetrona_cost: no image at " << image << "\n";
                return 2;
            }
            image = fs::absolute(image).string();
        } else {
            std::cerr << "usage: vetrona_cost [--json] [--check] [--image PATH]\n";
            return 2;
        }
    }
    return Measure(json, check, image);
}
