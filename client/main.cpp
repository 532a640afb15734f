// vetrona-client: connects to the driver, names the processes to watch,
// switches the monitoring classes, sets the backup folder, answers each event
// by its verdict rules and prints the events (readably or as JSON lines).
//
// On Windows it talks to the driver through the filter library and
// DeviceIoControl. On Linux the client library's back end is the simulated
// kernel in the same process: there is no driver to reach from a separate
// program, so tools and tests link the library and run the session themselves.
#include "client/lib/client.h"
#include "client/lib/session.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace vetrona::client;

struct Options {
    std::vector<uint32_t> watch;
    std::vector<Monitor> on;
    std::vector<Monitor> off;
    std::optional<std::u16string> backup;
    std::vector<VerdictRule> rules;
    Verdict fallback = 0;
    bool json = false;
    long count = -1;       // events to handle; -1: until the port goes away
    int timeoutMs = -1;    // stop after this long without an event
    bool clear = false;
};

void Usage() {
    std::fprintf(stderr,
                 "usage: vetrona-client [options]\n"
                 "  --watch PID          add a process to the watched set (repeatable)\n"
                 "  --clear              clear the watched set and the tracked files first\n"
                 "  --on file|process|registry    switch a monitoring class on (repeatable)\n"
                 "  --off file|process|registry   switch a monitoring class off\n"
                 "  --backup FOLDER      backup folder for verdict 3 ('' clears it)\n"
                 "  --rule CLASS[:OP][~TEXT]=VERDICT   e.g. file:FileOpWrite~.docx=1, process:start=1\n"
                 "  --default VERDICT    verdict when no rule matches (default 0)\n"
                 "  --json               one JSON object per event\n"
                 "  --count N            stop after N events\n"
                 "  --timeout MS         stop after MS without an event\n"
                 "verdict 1 refuses the reported change; a registry key creation is reported\n"
                 "after the key exists and cannot be refused.\n");
}

std::optional<Monitor> ParseMonitor(const char* name) {
    if (std::strcmp(name, "file") == 0) return Monitor::File;
    if (std::strcmp(name, "process") == 0) return Monitor::Process;
    if (std::strcmp(name, "registry") == 0) return Monitor::Registry;
    return std::nullopt;
}

std::u16string Widen(const std::string& text) {
    // The folder is taken as ASCII/Latin-1 from the command line.
    std::u16string out;
    for (unsigned char c : text) out += static_cast<char16_t>(c);
    return out;
}

bool Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (arg == "--json") {
            options->json = true;
        } else if (arg == "--clear") {
            options->clear = true;
        } else if ((arg == "--watch") && (v = value())) {
            options->watch.push_back(static_cast<uint32_t>(std::strtoul(v, nullptr, 0)));
        } else if ((arg == "--on" || arg == "--off") && (v = value())) {
            auto monitor = ParseMonitor(v);
            if (!monitor) return false;
            (arg == "--on" ? options->on : options->off).push_back(*monitor);
        } else if (arg == "--backup" && (v = value())) {
            options->backup = Widen(v);
        } else if (arg == "--rule" && (v = value())) {
            auto rule = ParseVerdictRule(v);
            if (!rule) {
                std::fprintf(stderr, "bad rule: %s\n", v);
                return false;
            }
            options->rules.push_back(*rule);
        } else if (arg == "--default" && (v = value())) {
            options->fallback = static_cast<Verdict>(std::strtol(v, nullptr, 10));
        } else if (arg == "--count" && (v = value())) {
            options->count = std::strtol(v, nullptr, 10);
        } else if (arg == "--timeout" && (v = value())) {
            options->timeoutMs = static_cast<int>(std::strtol(v, nullptr, 10));
        } else {
            return false;
        }
    }
    return true;
}

int Fail(const char* what, HResult hr) {
    std::fprintf(stderr, "vetrona-client: %s failed: 0x%08X\n", what, static_cast<unsigned>(hr));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        Usage();
        return 2;
    }
    Client client;
    HResult hr = client.Connect();
    if (!Succeeded(hr)) {
        std::fprintf(stderr,
                     "vetrona-client: cannot reach the driver (0x%08X). On Linux the driver runs inside "
                     "vetrona-sim, which runs its client in-process.\n",
                     static_cast<unsigned>(hr));
        return 1;
    }
    std::string version;
    if (Succeeded(client.GetVersion(&version)) && !options.json) {
        std::printf("driver version %s\n", version.c_str());
    }
    if (options.clear) {
        if (!Succeeded(hr = client.ClearProcesses())) return Fail("clearing the watched set", hr);
        if (!Succeeded(hr = client.ClearFileIds())) return Fail("clearing the tracked files", hr);
    }
    for (uint32_t pid : options.watch) {
        if (!Succeeded(hr = client.AddProcess(pid))) return Fail("adding a process", hr);
    }
    if (options.backup && !Succeeded(hr = client.SetBackupDir(*options.backup))) {
        return Fail("setting the backup folder", hr);
    }
    for (Monitor m : options.off) {
        if (!Succeeded(hr = client.SetMonitor(m, 0))) return Fail("switching a monitor off", hr);
    }
    for (Monitor m : options.on) {
        if (!Succeeded(hr = client.SetMonitor(m, 1))) return Fail("switching a monitor on", hr);
    }

    for (long handled = 0; options.count < 0 || handled < options.count; ++handled) {
        Message message;
        hr = client.Receive(&message, options.timeoutMs);
        if (hr == kHrTimeout) break;
        if (!Succeeded(hr)) return Fail("receiving", hr);
        DecodeResult decoded = message.Decode();
        if (!decoded.ok()) {
            std::fprintf(stderr, "vetrona-client: malformed message: %s\n", DecodeErrorName(decoded.error));
            client.Reply(message, VerdictNone);
            continue;
        }
        const Verdict verdict = DecideVerdict(options.rules, decoded.event, options.fallback);
        if (message.replyLength != 0) {
            client.Reply(message, verdict);
        }
        const std::string line =
            options.json ? FormatEventJson(decoded.event, verdict) : FormatEventText(decoded.event) + "  => " + std::to_string(verdict);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
    client.Disconnect();
    return 0;
}
