// The registry workload: a watched program makes itself a settings key, sets a
// value there, and then tries to add an autostart entry under the machine's Run
// key. The client (built on the client library) sees each change with its key
// path, value name and data, lets the first ones pass and denies the
// autostart entry: the program gets access denied and the Run key stays
// without the value.
#include "tools/session.h"

#include "client/lib/client.h"
#include "sim/private/cm.h"
#include "sim/private/ob.h"
#include "sim/user/registry.h"

#include <atomic>
#include <mutex>
#include <thread>

namespace vsim {

namespace {

constexpr char16_t kRunKey[] = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

struct RegistrySeen {
    json event;
    std::string text;
    std::vector<uint8_t> bytes;
};

// Readable data: strings as text, anything else as hex.
std::string DataText(uint32_t type, const vetrona::client::TextView& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::string text = data.Utf8();
        while (!text.empty() && text.back() == '\0') {
            text.pop_back();
        }
        return "\"" + text + "\"";
    }
    return Hex(data.bytes.data(), data.bytes.size());
}

// The client's side: denies a value set under a Run key, lets everything else pass.
class RegistryResponder {
public:
    explicit RegistryResponder(vetrona::client::Client& client) : client_(client), thread_([this] { Loop(); }) {}
    ~RegistryResponder() {
        stop_ = true;
        thread_.join();
    }

    std::vector<RegistrySeen> Take(size_t count) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard<std::mutex> guard(lock_);
                if (seen_.size() >= count) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> guard(lock_);
        std::vector<RegistrySeen> out;
        out.swap(seen_);
        return out;
    }

private:
    void Loop() {
        using namespace vetrona::client;
        while (!stop_) {
            Message message;
            if (client_.Receive(&message, 50) != kOk) {
                continue;
            }
            RegistrySeen seen;
            seen.bytes = message.bytes;
            int32_t verdict = 0;
            const DecodeResult decoded = message.Decode();
            if (const auto* g = decoded.ok() ? std::get_if<RegistryEventView>(&decoded.event) : nullptr) {
                const std::u16string key = g->keyPath.Utf16();
                const bool setValue = g->operation == RegOpValueCreated || g->operation == RegOpValueModified;
                const bool runKey = key.size() >= 4 && sim::ob::NamesEqual(key.substr(key.size() - 4), u"\\Run");
                verdict = setValue && runKey ? VerdictDeny : 0;
                seen.event = {{"class", "registry"}, {"size", g->size}, {"operation", RegOpName(g->operation)},
                              {"pid", g->processId}, {"key", g->keyPath.Utf8()}, {"value", g->name.Utf8()},
                              {"type", g->dataType}, {"data", DataText(g->dataType, g->data)},
                              {"data_truncated", g->data.truncated}, {"verdict", verdict}};
                seen.text = std::string("registry ") + RegOpName(g->operation) + " pid " + std::to_string(g->processId) +
                            " " + g->keyPath.Utf8() +
                            (g->name.empty() && g->data.empty() ? "" : " value \"" + g->name.Utf8() + "\"") +
                            (g->data.empty() ? "" : " = " + DataText(g->dataType, g->data)) + " (" +
                            std::to_string(g->size) + " bytes), answered " + std::to_string(verdict);
            } else {
                seen.event = {{"class", "other"}, {"verdict", 0}};
                seen.text = "a message of another class, answered 0";
            }
            client_.Reply(message, verdict);
            std::lock_guard<std::mutex> guard(lock_);
            seen_.push_back(std::move(seen));
        }
    }

    vetrona::client::Client& client_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;
    std::vector<RegistrySeen> seen_;
    std::thread thread_;
};

}  // namespace

bool RegistryWorkload(Session& s, _EPROCESS* watched) {
    using namespace vetrona::client;
    Report& r = s.report();
    r.Heading("registry (a watched program adds an autostart value; the client denies it)");

    Client client(s.client());
    const auto hr = client.Connect();
    bool ok = r.Step("registry-client-connect", hr == kOk, {{"hresult", StatusText(hr)}},
                     "client library connected: " + StatusText(hr));
    if (!ok) {
        return false;
    }
    ok = r.Step("registry-monitoring-on", client.SetMonitor(Monitor::Registry, 1) == kOk, json::object(),
                "registry monitoring switched on");
    std::vector<RegistrySeen> seen;
    NTSTATUS created = STATUS_UNSUCCESSFUL;
    NTSTATUS settings = STATUS_UNSUCCESSFUL;
    NTSTATUS autostart = STATUS_UNSUCCESSFUL;
    ULONG disposition = 0;
    {
        RegistryResponder responder(client);
        HANDLE software = nullptr;
        HANDLE vendor = nullptr;
        HANDLE run = nullptr;
        sim::user::OpenKey(watched, nullptr, u"\\REGISTRY\\MACHINE\\SOFTWARE", KEY_ALL_ACCESS, &software);
        created = sim::user::CreateKey(watched, software, u"Editor Tools", KEY_ALL_ACCESS, &vendor, &disposition);
        const uint32_t recent = 8;
        if (vendor != nullptr) {
            settings = sim::user::SetValueKey(watched, vendor, u"RecentFiles", REG_DWORD, &recent, sizeof(recent));
        }
        sim::user::OpenKey(watched, nullptr, kRunKey, KEY_SET_VALUE | KEY_QUERY_VALUE, &run);
        const char16_t command[] = u"C:\\Users\\Public\\updater.exe --silent";
        if (run != nullptr) {
            autostart = sim::user::SetValueKey(watched, run, u"Updater", REG_SZ, command, sizeof(command));
        }
        for (HANDLE h : {run, vendor, software}) {
            if (h != nullptr) {
                sim::user::CloseHandle(watched, h);
            }
        }
        seen = responder.Take(3);
    }
    for (const auto& event : seen) {
        json line = {{"event", event.event}};
        if (r.options().hex) {
            line["bytes_hex"] = Hex(event.bytes.data(), event.bytes.size());
        }
        r.Raw(line, "  event " + event.text +
                        (r.options().hex ? "\n        bytes " + Hex(event.bytes.data(), event.bytes.size()) : ""));
    }

    ok &= r.Step("registry-key-created", created == STATUS_SUCCESS && disposition == REG_CREATED_NEW_KEY,
                 {{"status", StatusText(created)}},
                 "the program created its settings key (reported after the fact): " + StatusText(created));
    ok &= r.Step("registry-value-allowed", settings == STATUS_SUCCESS, {{"status", StatusText(settings)}},
                 "a settings value set and allowed: " + StatusText(settings));
    const bool present = sim::cm::QueryValue(kRunKey, u"Updater", nullptr, nullptr);
    ok &= r.Step("registry-autostart-denied", autostart == STATUS_ACCESS_DENIED && !present,
                 {{"status", StatusText(autostart)}, {"value_present", present}},
                 "the autostart value was refused with " + StatusText(autostart) + "; the Run key " +
                     (present ? "HAS the value" : "stays without it"));
    std::vector<std::string> operations;
    for (const auto& event : seen) {
        operations.push_back(event.event.value("operation", std::string("?")));
    }
    const std::vector<std::string> expected = {"RegOpKeyCreated", "RegOpValueCreated", "RegOpValueCreated"};
    ok &= r.Step("registry-events", operations == expected && seen.size() == 3, {{"operations", operations}},
                 std::to_string(seen.size()) + " registry events, with key paths, value names and data");
    client.SetMonitor(Monitor::Registry, 0);
    client.Disconnect();
    return ok;
}

}  // namespace vsim
