// Stress: watched and unwatched programs start and end processes, write,
// rename and delete files and change registry values all at once, while the
// client answers with every verdict (some slowly, some never, so the send
// times out on the scaled clock), switches monitoring off and on, clears the
// watched set and adds it back, disconnects and reconnects; the driver is
// unloaded in the middle of it and the programs go on without it.
//
// Each program keeps a model of its own files and values (what each call's
// result says must be there) and the machine must match it at the end: no
// write that was let through is lost, nothing is changed that was refused.
// The pool must be empty after the unload.
//
// Seeded and bounded in time: VETRONA_STRESS_SEED repeats a run (the seed is
// printed), VETRONA_STRESS_MS sets its length (default 2000 ms). The counts
// of every operation and event are printed.
#include "tests/support/filemon_fixture.h"

#include "client/lib/client.h"
#include "client/lib/policy.h"
#include "sim/cm/cm.h"
#include "sim/flt/flt.h"
#include "sim/io/io.h"
#include "sim/fs/fs.h"
#include "sim/user/file.h"
#include "sim/user/process.h"
#include "sim/user/registry.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace vc = vetrona::client;

using Clock = std::chrono::steady_clock;

constexpr char16_t kRootImage[] = u"\\Device\\HarddiskVolume1\\Windows\\explorer.exe";
constexpr char16_t kToolImage[] = u"\\Device\\HarddiskVolume1\\Tools\\tool.exe";

uint64_t EnvNumber(const char* name, uint64_t fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : fallback;
}

// Counts by name, shared by every thread.
class Tally {
public:
    void Add(const std::string& name, uint64_t n = 1) {
        std::lock_guard<std::mutex> guard(lock_);
        counts_[name] += n;
    }
    uint64_t Get(const std::string& name) {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = counts_.find(name);
        return it == counts_.end() ? 0 : it->second;
    }
    std::map<std::string, uint64_t> All() {
        std::lock_guard<std::mutex> guard(lock_);
        return counts_;
    }

private:
    std::mutex lock_;
    std::map<std::string, uint64_t> counts_;
};

std::string Outcome(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return "ok";
    if (status == STATUS_ACCESS_DENIED) return "denied";
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

class StressTest : public vtest::FileMonTest {};

TEST_F(StressTest, EverythingAtOnceThenTheDriverIsUnloadedInTheMiddle) {
    const uint64_t seed = EnvNumber("VETRONA_STRESS_SEED", std::random_device{}());
    const auto length = std::chrono::milliseconds(EnvNumber("VETRONA_STRESS_MS", 2000));
    std::cout << "stress seed " << seed << " (VETRONA_STRESS_SEED=" << seed << " repeats it), " << length.count()
              << " ms\n";
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 master(seed);

    // The fixture's own client steps aside for one that does everything.
    StopResponder();
    Disconnect();
    ASSERT_EQ(SetBackupDir(vtest::kBackupOnC), STATUS_SUCCESS);
    std::filesystem::create_directories(HostC("backup"));
    // A send that is never answered ends after 30 ms instead of 30 s.
    sim::flt::SetKernelTimeScale(0.001);

    constexpr int kPrograms = 6;  // even: watched, odd: not
    constexpr int kFiles = 4;
    std::vector<_EPROCESS*> roots;
    for (int p = 0; p < kPrograms; ++p) {
        roots.push_back(p % 2 == 0 ? StartWatched(kRootImage) : StartProcess(kRootImage));
        std::filesystem::create_directories(HostC("p" + std::to_string(p)));
    }

    Tally ops, events;
    std::atomic<bool> stop{false};
    std::atomic<bool> unloaded{false};
    const auto start = Clock::now();
    const auto unloadAt = start + length * (50 + static_cast<int>(master() % 30)) / 100;
    const auto end = start + length;

    // --- the client: answers, switches, disconnects ---------------------------
    vc::Client client(Client());
    ASSERT_EQ(client.Connect(), vc::kOk);
    for (vc::Monitor m : {vc::Monitor::File, vc::Monitor::Process, vc::Monitor::Registry}) {
        ASSERT_EQ(client.SetMonitor(m, 1), vc::kOk);
    }
    std::thread clientThread([&, rng = std::mt19937_64(master()), monitorOn = std::array{true, true, true}]() mutable {
        while (!stop) {
            if (!client.connected()) {
                if (client.Connect() == vc::kOk) {
                    events.Add("client: reconnected");
                } else {
                    events.Add("client: connect refused");
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                }
                continue;
            }
            const uint64_t action = rng() % 1000;
            if (action < 8) {
                client.Disconnect();
                events.Add("client: disconnected");
                continue;
            }
            if (action < 30) {
                // A monitor that is off goes on again at the next switch;
                // with all on, one goes off.
                const std::array monitors{vc::Monitor::File, vc::Monitor::Process, vc::Monitor::Registry};
                size_t which = rng() % 3;
                uint8_t value = 0;
                for (size_t i = 0; i < 3; ++i) {
                    if (!monitorOn[i]) {
                        which = i;
                        value = 1;
                    }
                }
                const vc::HResult hr = client.SetMonitor(monitors[which], value);
                if (vc::Succeeded(hr)) monitorOn[which] = value != 0;
                events.Add(std::string("client: monitor ") + (value ? "on" : "off") + (vc::Succeeded(hr) ? "" : " failed"));
                continue;
            }
            vc::Message message;
            const vc::HResult hr = client.Receive(&message, 5);
            if (hr == vc::kHrTimeout) continue;
            if (!vc::Succeeded(hr)) {
                client.Disconnect();
                events.Add("client: port lost");
                continue;
            }
            const vc::DecodeResult decoded = message.Decode();
            if (!decoded.ok()) {
                events.Add("event: malformed");
                ADD_FAILURE() << "a malformed event message";
            } else {
                events.Add(std::string("event: ") + vc::ClassName(vc::EventClassOf(decoded.event)) + " " +
                           vc::EventOperationName(decoded.event));
            }
            if (message.replyLength == 0) continue;
            const uint64_t pick = rng() % 100;
            if (pick < 10) {
                events.Add("verdict: never (the send times out)");
                continue;
            }
            if (pick < 20) {
                events.Add("verdict: slow");
                std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 3000));
            }
            const Verdict choices[] = {0, 0, 0, VerdictDeny, VerdictDeny, VerdictBackup, 2, 77, VerdictNone};
            Verdict verdict = choices[rng() % std::size(choices)];
            // The close of a modified file asks for its backup half of the time.
            if (decoded.ok() && vc::EventClassOf(decoded.event) == EVENT_CLASS_FILE &&
                std::get<vc::FileEventView>(decoded.event).operation == FileOpCloseModified && rng() % 2 == 0) {
                verdict = VerdictBackup;
            }
            events.Add(std::string("verdict: ") + vc::VerdictName(verdict));
            if (!vc::Succeeded(client.Reply(message, verdict))) events.Add("client: reply too late");
        }
    });

    // --- the controller: clears the watched set and adds the roots back -------
    std::thread controller([&, rng = std::mt19937_64(master())]() mutable {
        while (!stop && !unloaded) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + rng() % 4000));
            if (unloaded) break;
            if (rng() % 4 == 0) {
                ops.Add("control: clear watched set " + Outcome(ClearProcesses()));
                for (int p = 0; p < kPrograms; p += 2) {
                    ops.Add("control: add process " + Outcome(AddProcess(Pid(roots[p]))));
                }
            } else {
                ops.Add("control: clear file ids " + Outcome(ClearFileIds()));
            }
        }
    });

    // --- the programs --------------------------------------------------------
    struct Model {
        std::map<int, std::string> files;  // file index -> content
        std::map<int, uint32_t> values;    // value index -> data
    };
    std::vector<Model> models(kPrograms);
    std::vector<std::thread> programs;
    for (int p = 0; p < kPrograms; ++p) {
        programs.emplace_back([&, p, rng = std::mt19937_64(master())]() mutable {
            Model& model = models[p];
            const std::string who = p % 2 == 0 ? "watched " : "unwatched ";
            const std::u16string folder = u"C:\\p" + sim::fs::FromHost(std::to_string(p)) + u"\\";
            auto fileName = [&](int k) { return folder + u"f" + std::u16string(1, char16_t(u'0' + k)) + u".txt"; };
            auto note = [&](const std::string& what, NTSTATUS status) {
                ops.Add(who + what + " " + Outcome(status));
                if (status != STATUS_SUCCESS && status != STATUS_ACCESS_DENIED) {
                    ADD_FAILURE() << who << what << " ended with " << Outcome(status);
                }
            };
            _EPROCESS* actor = sim::user::StartProcess(roots[p], kToolImage, u"tool");
            HANDLE key = nullptr;
            const std::u16string keyPath = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Stress" + sim::fs::FromHost(std::to_string(p));
            while (Clock::now() < end) {
                if (actor == nullptr) {
                    ops.Add(who + "start refused");
                    actor = sim::user::StartProcess(roots[p], kToolImage, u"tool");
                    continue;
                }
                const int k = static_cast<int>(rng() % kFiles);
                switch (rng() % 8) {
                    case 0:
                    case 1: {  // write a file afresh
                        HANDLE h = nullptr;
                        NTSTATUS status = sim::user::CreateFile(actor, fileName(k), FILE_GENERIC_READ | FILE_GENERIC_WRITE, 0,
                                                                model.files.count(k) ? FILE_OVERWRITE_IF : FILE_CREATE,
                                                                FILE_NON_DIRECTORY_FILE, &h);
                        note("open for writing", status);
                        if (status != STATUS_SUCCESS) break;
                        model.files[k] = "";
                        std::string data(1 + rng() % 3000, static_cast<char>('a' + rng() % 26));
                        data += std::to_string(rng());
                        status = sim::user::WriteFile(actor, h, 0, data.data(), static_cast<ULONG>(data.size()));
                        note("write", status);
                        if (status == STATUS_SUCCESS) model.files[k] = data;
                        note("close", sim::user::CloseHandle(actor, h));
                        break;
                    }
                    case 2: {  // rename over another
                        if (!model.files.count(k)) break;
                        const int to = static_cast<int>((k + 1 + rng() % (kFiles - 1)) % kFiles);
                        HANDLE h = nullptr;
                        NTSTATUS status = sim::user::CreateFile(actor, fileName(k), DELETE | SYNCHRONIZE, 0, FILE_OPEN,
                                                                FILE_NON_DIRECTORY_FILE, &h);
                        note("open for renaming", status);
                        if (status != STATUS_SUCCESS) break;
                        status = sim::user::SetRenameInformation(actor, h, u"\\??\\" + fileName(to), true);
                        note("rename", status);
                        if (status == STATUS_SUCCESS) {
                            model.files[to] = model.files[k];
                            model.files.erase(k);
                        }
                        note("close", sim::user::CloseHandle(actor, h));
                        break;
                    }
                    case 3: {  // delete
                        if (!model.files.count(k)) break;
                        HANDLE h = nullptr;
                        NTSTATUS status = sim::user::CreateFile(actor, fileName(k), DELETE | SYNCHRONIZE, 0, FILE_OPEN,
                                                                FILE_NON_DIRECTORY_FILE, &h);
                        note("open for deleting", status);
                        if (status != STATUS_SUCCESS) break;
                        status = sim::user::SetDisposition(actor, h, true);
                        note("delete", status);
                        note("close", sim::user::CloseHandle(actor, h));
                        if (status == STATUS_SUCCESS) model.files.erase(k);
                        break;
                    }
                    case 4:
                    case 5: {  // a registry value set or deleted
                        if (key == nullptr) {
                            NTSTATUS status = sim::user::CreateKey(actor, nullptr, keyPath, KEY_ALL_ACCESS, &key);
                            note("create key", status);
                            if (status != STATUS_SUCCESS) {
                                key = nullptr;
                                break;
                            }
                        }
                        const std::u16string name = u"V" + std::u16string(1, char16_t(u'0' + k));
                        if (rng() % 3 != 0 || !model.values.count(k)) {
                            const uint32_t data = static_cast<uint32_t>(rng());
                            const NTSTATUS status = sim::user::SetValueKey(actor, key, name, REG_DWORD, &data, 4);
                            note("set value", status);
                            if (status == STATUS_SUCCESS) model.values[k] = data;
                        } else {
                            const NTSTATUS status = sim::user::DeleteValueKey(actor, key, name);
                            note("delete value", status);
                            if (status == STATUS_SUCCESS) model.values.erase(k);
                        }
                        break;
                    }
                    case 6: {  // a child that starts and ends
                        _EPROCESS* child = nullptr;
                        const NTSTATUS status = sim::user::StartProcess(actor, kToolImage, u"child", false, &child);
                        note("start child", status);
                        if (child != nullptr) note("end child", sim::user::EndProcess(child));
                        break;
                    }
                    default: {  // the program itself ends and starts again
                        if (key != nullptr) {
                            sim::user::CloseHandle(actor, key);
                            key = nullptr;
                        }
                        note("exit", sim::user::EndProcess(actor));
                        _EPROCESS* next = nullptr;
                        note("start", sim::user::StartProcess(roots[p], kToolImage, u"tool", false, &next));
                        actor = next;
                        break;
                    }
                }
            }
            if (actor != nullptr) {
                if (key != nullptr) sim::user::CloseHandle(actor, key);
                sim::user::EndProcess(actor);
            }
        });
    }

    // --- the unload, in the middle of it all ---------------------------------------
    std::this_thread::sleep_until(unloadAt);
    unloaded = true;
    controller.join();
    const NTSTATUS stopped = StopWhileConnected();
    ops.Add("driver unload " + Outcome(stopped));
    EXPECT_EQ(stopped, STATUS_SUCCESS);
    const auto unloadedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);

    for (auto& program : programs) program.join();
    stop = true;
    clientThread.join();
    client.Disconnect();
    sim::DrainWorkItems();
    sim::flt::SetKernelTimeScale(1.0);

    // --- what is left -----------------------------------------------------------
    for (int p = 0; p < kPrograms; ++p) {
        for (int k = 0; k < kFiles; ++k) {
            const auto path = HostC("p" + std::to_string(p) + "/f" + std::to_string(k) + ".txt");
            const bool exists = std::filesystem::exists(path);
            auto it = models[p].files.find(k);
            EXPECT_EQ(exists, it != models[p].files.end()) << path;
            if (exists && it != models[p].files.end()) {
                EXPECT_EQ(ReadHost(path), it->second) << path << " lost a write that was let through";
            }
        }
        const std::u16string keyPath = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Stress" + sim::fs::FromHost(std::to_string(p));
        for (int k = 0; k < kFiles; ++k) {
            ULONG type = 0;
            std::vector<uint8_t> data;
            const bool exists = sim::cm::QueryValue(keyPath, u"V" + std::u16string(1, char16_t(u'0' + k)), &type, &data);
            auto it = models[p].values.find(k);
            EXPECT_EQ(exists, it != models[p].values.end()) << "program " << p << " value V" << k;
            if (exists && it != models[p].values.end()) {
                uint32_t value = 0;
                ASSERT_EQ(data.size(), 4u);
                std::memcpy(&value, data.data(), 4);
                EXPECT_EQ(value, it->second) << "program " << p << " value V" << k;
            }
        }
    }
    size_t backups = 0;
    for (const auto& entry : std::filesystem::directory_iterator(HostC("backup"))) {
        (void)entry;
        ++backups;
    }
    events.Add("backup copies in the folder", backups);

    std::cout << "driver unloaded after " << unloadedAfter.count() << " ms of " << length.count() << " ms\n";
    std::cout << "operations:\n";
    for (const auto& [name, count] : ops.All()) std::cout << "  " << name << ": " << count << "\n";
    std::cout << "client and events:\n";
    for (const auto& [name, count] : events.All()) std::cout << "  " << name << ": " << count << "\n";
    // The run exercised what it is for: every class reported, and sends that
    // were never answered.
    uint64_t file = 0, registry = 0, process = 0;
    for (const auto& [name, count] : events.All()) {
        if (name.rfind("event: file", 0) == 0) file += count;
        if (name.rfind("event: registry", 0) == 0) registry += count;
        if (name.rfind("event: process", 0) == 0) process += count;
    }
    EXPECT_GT(file, 0u);
    EXPECT_GT(registry, 0u);
    EXPECT_GT(process, 0u);
    EXPECT_GT(events.Get("verdict: never (the send times out)"), 0u);
}

}  // namespace
