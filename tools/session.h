// What vetrona-sim's scenarios are written with: the report that prints each
// step (readably or as JSON lines), and the session that holds the simulated
// machine and what a client program holds on it.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "channel/wire.h"
#include "driver/driver_data.h"
#include "sim/private/core.h"
#include "sim/private/fs.h"
#include "sim/private/io.h"
#include "sim/private/pool.h"
#include "sim/user/device.h"
#include "sim/user/fltuser.h"
#include "sim/user/process.h"

namespace vsim {

using json = nlohmann::ordered_json;

struct Options {
    bool json = false;
    bool hex = false;
};

inline std::string Hex(const void* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0xF]);
    }
    return text;
}

inline std::string StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

// Prints the steps of a run and remembers whether any of them failed.
class Report {
public:
    explicit Report(const Options& options) : options_(options) {}

    // One step: its name, whether it went as expected, what it found, and the
    // raw bytes involved (printed with --hex only).
    bool Step(const std::string& name, bool ok, json detail = json::object(), const std::string& text = "",
              const std::vector<std::pair<std::string, std::vector<uint8_t>>>& bytes = {}) {
        ++steps_;
        if (!ok) {
            ++failures_;
        }
        if (options_.json) {
            json line = {{"step", name}, {"ok", ok}};
            for (auto& [key, value] : detail.items()) {
                line[key] = value;
            }
            if (options_.hex) {
                for (const auto& [key, value] : bytes) {
                    line[key + "_hex"] = Hex(value.data(), value.size());
                }
            }
            std::cout << line.dump() << '\n';
        } else {
            std::cout << (ok ? "  ok    " : "  FAIL  ") << name;
            if (!text.empty()) {
                std::cout << ": " << text;
            }
            std::cout << '\n';
            if (options_.hex) {
                for (const auto& [key, value] : bytes) {
                    std::cout << "        " << key << " " << Hex(value.data(), value.size()) << '\n';
                }
            }
        }
        std::cout.flush();
        return ok;
    }

    void Heading(const std::string& text) {
        if (!options_.json) {
            std::cout << text << '\n';
        }
    }

    void Raw(const json& line, const std::string& text) {
        if (options_.json) {
            std::cout << line.dump() << '\n';
        } else {
            std::cout << text << '\n';
        }
    }

    int steps() const { return steps_; }
    int failures() const { return failures_; }
    const Options& options() const { return options_; }

private:
    Options options_;
    int steps_ = 0;
    int failures_ = 0;
};

// The machine a scenario runs on, and what a client program holds on it: the
// loaded driver, the client process, its control-device handle and its port.
class Session {
public:
    explicit Session(Report& report) : report_(report) {}

    Report& report() { return report_; }

    // --- machine -------------------------------------------------------------

    bool Boot() {
        sim::ResetKernel();
        char pattern[] = "/tmp/vetrona-sim-XXXXXX";
        const char* folder = mkdtemp(pattern);
        if (folder == nullptr) {
            return report_.Step("boot", false, {{"error", "no temporary folder for the volume"}}, "no temporary folder");
        }
        volumeFolder_ = folder;
        const std::u16string device = sim::fs::MountVolume(volumeFolder_ + "/C", u'C');
        Sample();
        return report_.Step("boot", true, {{"volume", Narrow(device)}, {"drive", "C:"}},
                            "simulated kernel booted, " + Narrow(device) + " mounted as C:");
    }

    bool LoadDriver() {
        const NTSTATUS status = sim::LoadDriver(DriverEntry, u"vetrona", &driver_);
        if (!NT_SUCCESS(status)) {
            driver_ = nullptr;
        }
        Sample();
        return report_.Step("load-driver", NT_SUCCESS(status), {{"status", StatusText(status)}},
                            "DriverEntry returned " + StatusText(status));
    }

    bool StopDriver() {
        if (driver_ == nullptr) {
            return true;
        }
        const NTSTATUS status = sim::StopDriver(driver_);
        driver_ = nullptr;
        return report_.Step("stop-driver", NT_SUCCESS(status), {{"status", StatusText(status)}},
                            "filter unload and driver unload returned " + StatusText(status));
    }

    // --- processes -----------------------------------------------------------

    _EPROCESS* StartProcess(const std::u16string& image, bool admin, const std::string& role) {
        _EPROCESS* process = sim::user::StartProcess(nullptr, image, u"", admin);
        if (process != nullptr) {
            processes_.push_back(process);
        }
        Sample();
        report_.Step("start-process", process != nullptr,
                     {{"role", role}, {"image", Narrow(image)}, {"pid", process != nullptr ? process->pid : 0}},
                     role + " " + Narrow(image) + (process != nullptr ? " pid " + std::to_string(process->pid) : " refused"));
        return process;
    }

    void EndProcesses() {
        for (auto it = processes_.rbegin(); it != processes_.rend(); ++it) {
            if (!(*it)->exited) {
                sim::user::EndProcess(*it);
            }
        }
        processes_.clear();
    }

    bool StartClient() {
        client_ = StartProcess(u"\\Device\\HarddiskVolume1\\Program Files\\Vetrona\\vetrona-client.exe", true, "client");
        return client_ != nullptr;
    }

    // --- control device ------------------------------------------------------

    bool OpenControl() {
        const NTSTATUS status = sim::user::CreateFile(client_, u"\\\\.\\Vetrona", GENERIC_READ | GENERIC_WRITE, &control_);
        if (!NT_SUCCESS(status)) {
            control_ = nullptr;
        }
        Sample();
        return report_.Step("open-control-device", NT_SUCCESS(status), {{"path", "\\\\.\\Vetrona"}, {"status", StatusText(status)}},
                            "\\\\.\\Vetrona opened for reading and writing: " + StatusText(status));
    }

    void CloseControl() {
        if (control_ != nullptr) {
            sim::user::CloseHandle(client_, control_);
            control_ = nullptr;
        }
    }

    NTSTATUS Ioctl(ULONG code, const void* input, ULONG inputLength, std::vector<uint8_t>* output, ULONG* returned) {
        *returned = 0;
        void* out = (output != nullptr && !output->empty()) ? output->data() : nullptr;
        const ULONG outLength = output != nullptr ? static_cast<ULONG>(output->size()) : 0;
        const NTSTATUS status = sim::user::DeviceIoControl(client_, control_, code, input, inputLength, out, outLength, returned);
        Sample();
        return status;
    }

    bool ReadVersion() {
        std::vector<uint8_t> output(8, 0);
        ULONG returned = 0;
        const NTSTATUS status = Ioctl(IOCTL_GET_VERSION, nullptr, 0, &output, &returned);
        std::string version;
        for (size_t i = 0; i < returned && i < output.size() && output[i] != 0; ++i) {
            version.push_back(static_cast<char>(output[i]));
        }
        const bool ok = status == STATUS_SUCCESS && returned == 8 && version == VETRONA_VERSION_TEXT;
        return report_.Step("get-version", ok, {{"status", StatusText(status)}, {"version", version}, {"returned", returned}},
                            "driver version \"" + version + "\" (" + StatusText(status) + ")", {{"output", output}});
    }

    bool AddProcess(_EPROCESS* process) {
        const ULONG pid = static_cast<ULONG>(process->pid);
        ULONG returned = 0;
        const NTSTATUS status = Ioctl(IOCTL_ADD_PROCESS, &pid, sizeof(pid), nullptr, &returned);
        std::vector<uint8_t> input(sizeof(pid));
        std::memcpy(input.data(), &pid, sizeof(pid));
        return report_.Step("add-process", status == STATUS_SUCCESS, {{"pid", pid}, {"status", StatusText(status)}},
                            "pid " + std::to_string(pid) + " watched (" + StatusText(status) + ")", {{"input", input}});
    }

    bool SetBackupDir(std::u16string_view folder) {
        std::vector<uint8_t> input(folder.size() * sizeof(char16_t));
        if (!input.empty()) {
            std::memcpy(input.data(), folder.data(), input.size());
        }
        ULONG returned = 0;
        const NTSTATUS status =
            Ioctl(IOCTL_SET_BACKUP_DIR, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()), nullptr, &returned);
        const bool cleared = folder.empty();
        bool stored = false;
        DriverDataLock();
        if (cleared) {
            stored = DriverData.BackupDir == nullptr;
        } else if (DriverData.BackupDir != nullptr) {
            stored = std::u16string_view(DriverData.BackupDir->Buffer, DriverData.BackupDir->Length / sizeof(char16_t)) == folder;
        }
        DriverDataUnlock();
        return report_.Step(cleared ? "clear-backup-dir" : "set-backup-dir", status == STATUS_SUCCESS && stored,
                            {{"folder", Narrow(folder)}, {"status", StatusText(status)}},
                            cleared ? "backup folder cleared (" + StatusText(status) + ")"
                                    : "backup folder " + Narrow(folder) + " (" + StatusText(status) + ")",
                            {{"input", input}});
    }

    // --- port ----------------------------------------------------------------

    bool Connect(const std::string& name) {
        const sim::user::HRESULT hr = sim::user::FilterConnectCommunicationPort(client_, u"\\VetronaFlt_Com", 0, nullptr, 0, &port_);
        const bool ok = hr == sim::user::S_OK;
        if (!ok) {
            port_ = nullptr;
        }
        Sample();
        const bool recorded = ok && DriverData.ClientProcess == client_;
        return report_.Step(name, ok && recorded,
                            {{"port", VETRONA_PORT_NAME_W}, {"hresult", StatusText(hr)}, {"client_pid", client_->pid}},
                            std::string(VETRONA_PORT_NAME_W) + " " + (ok ? "connected" : "refused " + StatusText(hr)) +
                                (recorded ? ", client pid " + std::to_string(client_->pid) + " recorded" : ""));
    }

    bool Disconnect() {
        if (port_ == nullptr) {
            return true;
        }
        sim::user::CloseHandle(client_, port_);
        port_ = nullptr;
        Sample();
        const bool forgotten = DriverData.ClientPort == nullptr && DriverData.ClientProcess == nullptr;
        return report_.Step("disconnect", forgotten, {}, forgotten ? "port closed, client forgotten" : "client still recorded");
    }

    sim::user::HRESULT Command(ULONG code, UCHAR value, std::vector<uint8_t>* output, std::vector<uint8_t>* input) {
        input->assign(PORT_COMMAND_SET_SIZE, 0);
        std::memcpy(input->data() + PORT_COMMAND_CODE_OFFSET, &code, sizeof(code));
        (*input)[PORT_COMMAND_VALUE_OFFSET] = value;
        sim::user::DWORD returned = 0;
        const sim::user::HRESULT hr =
            sim::user::FilterSendMessage(client_, port_, input->data(), static_cast<sim::user::DWORD>(input->size()),
                                         output != nullptr ? output->data() : nullptr,
                                         output != nullptr ? static_cast<sim::user::DWORD>(output->size()) : 0, &returned);
        Sample();
        return hr;
    }

    bool SetSwitch(const std::string& name, ULONG code, UCHAR value) {
        std::vector<uint8_t> input;
        const sim::user::HRESULT hr = Command(code, value, nullptr, &input);
        return report_.Step("set-switch", hr == sim::user::S_OK, {{"switch", name}, {"value", value}, {"hresult", StatusText(hr)}},
                            name + " := " + std::to_string(value) + " (" + StatusText(hr) + ")", {{"command", input}});
    }

    // Reads a switch back; `expected` is what the client last set.
    bool GetSwitch(const std::string& name, ULONG code, int expected, const std::string& stepName = "get-switch") {
        std::vector<uint8_t> input;
        std::vector<uint8_t> output(PORT_ANSWER_SIZE, 0);
        const sim::user::HRESULT hr = Command(code, 0, &output, &input);
        const int value = hr == sim::user::S_OK ? output[PORT_ANSWER_OFFSET] : -1;
        return report_.Step(stepName, value == expected,
                            {{"switch", name}, {"value", value}, {"expected", expected}, {"hresult", StatusText(hr)}},
                            name + " = " + std::to_string(value) + (value == expected ? "" : ", expected " + std::to_string(expected)),
                            {{"command", input}, {"answer", output}});
    }

    // --- pool ----------------------------------------------------------------

    // Records the live blocks by tag so the final report can show each tag the
    // run used going back to zero.
    void Sample() {
        for (const auto& [tag, usage] : sim::pool::LiveByTag()) {
            uint64_t& peak = peaks_[tag];
            peak = std::max(peak, usage.count);
        }
    }

    // Prints every tag seen with its peak and live count; false on any leak.
    bool PoolReport() {
        Sample();
        const auto live = sim::pool::LiveByTag();
        report_.Heading("pool");
        json tags = json::array();
        bool clean = true;
        std::map<ULONG, uint64_t> all = peaks_;
        for (const auto& [tag, usage] : live) {
            all.emplace(tag, usage.count);
        }
        for (const auto& [tag, peak] : all) {
            auto found = live.find(tag);
            const uint64_t count = found != live.end() ? found->second.count : 0;
            const uint64_t bytes = found != live.end() ? found->second.bytes : 0;
            clean = clean && count == 0;
            tags.push_back({{"tag", sim::pool::TagToString(tag)}, {"live", count}, {"bytes", bytes}, {"peak", peak}});
            if (!report_.options().json) {
                std::cout << "  " << sim::pool::TagToString(tag) << "  live " << count << " (" << bytes << " bytes), peak " << peak
                          << (count == 0 ? "" : "  LEAK") << '\n';
            }
        }
        const uint64_t liveBlocks = sim::pool::LiveBlocks();
        clean = clean && liveBlocks == 0;
        report_.Raw({{"pool", tags}, {"live_blocks", liveBlocks}, {"allocations", sim::pool::AllocationCount()}, {"clean", clean}},
                    "  " + std::to_string(sim::pool::AllocationCount()) + " allocations, " + std::to_string(liveBlocks) +
                        " blocks live" + (clean ? "" : "\n" + sim::pool::Report()));
        return clean;
    }

    // --- end -----------------------------------------------------------------

    // Whatever a scenario left open is closed, the driver stopped, the
    // processes ended and the volume's host folder removed.
    void Shutdown() {
        Disconnect();
        CloseControl();
        StopDriver();
        EndProcesses();
        if (!volumeFolder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(volumeFolder_, ignored);
        }
    }

    _EPROCESS* client() const { return client_; }
    HANDLE port() const { return port_; }
    // The host folder behind C:, where the files a workload makes can be read.
    std::filesystem::path hostPath(std::u16string_view relative) const {
        std::string path = Narrow(relative);
        for (char& c : path) {
            c = c == '\\' ? '/' : c;
        }
        return std::filesystem::path(volumeFolder_) / "C" / path;
    }
    // A process a workload started and the session ends at shutdown.
    void Adopt(_EPROCESS* process) { processes_.push_back(process); }

private:
    Report& report_;
    std::string volumeFolder_;
    PDRIVER_OBJECT driver_ = nullptr;
    _EPROCESS* client_ = nullptr;
    std::vector<_EPROCESS*> processes_;
    HANDLE control_ = nullptr;
    HANDLE port_ = nullptr;
    std::map<ULONG, uint64_t> peaks_;
};


// Workloads that run after the client has configured the driver.
bool FileWorkload(Session& s, _EPROCESS* watched);
bool EventWorkload(Session& s, _EPROCESS* watched);
bool RegistryWorkload(Session& s, _EPROCESS* watched);
bool RenameWorkload(Session& s, _EPROCESS* watched);
bool ProcessWorkload(Session& s);

}  // namespace vsim
