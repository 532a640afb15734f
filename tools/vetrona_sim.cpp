// vetrona-sim demo (the command line is in tools/main.cpp).
//
// Boots the simulated kernel, loads the driver and plays a client session
// against it, printing each step (readably, or one JSON object per line with
// --json; --hex adds the raw bytes that crossed to and from the driver). Then
// it stops the driver and prints the pool report. The exit status is 0 only
// when every step went as expected and every pool tag is back to zero.
#include "tools/session.h"

namespace vsim {
namespace {

struct SwitchInfo {
    const char* name;
    ULONG set;
    ULONG get;
    UCHAR value;
};

// Every switch is set to a value of its own, so a mix-up between them shows.
const SwitchInfo kSwitches[] = {
    {"file-monitoring", CMD_SET_FILE_MON, CMD_GET_FILE_MON, 1},
    {"process-monitoring", CMD_SET_PROC_MON, CMD_GET_PROC_MON, 1},
    {"switch2", CMD_SET_SWITCH2, CMD_GET_SWITCH2, 2},
    {"registry-monitoring", CMD_SET_REG_MON, CMD_GET_REG_MON, 1},
};

// The demo: a client configures the driver through both of its roads. Each
// step reports itself; the scenario stops at the first step whose failure
// makes the rest meaningless. Later workloads (files, events) go after the
// configuration.
bool DemoScenario(Session& s) {
    Report& r = s.report();
    r.Heading("machine");
    if (!s.Boot() || !s.LoadDriver()) {
        return false;
    }

    r.Heading("control device");
    if (!s.StartClient() || !s.OpenControl()) {
        return false;
    }
    s.ReadVersion();
    _EPROCESS* editor = s.StartProcess(u"\\Device\\HarddiskVolume1\\Apps\\editor.exe", false, "watched");
    _EPROCESS* shell = s.StartProcess(u"\\Device\\HarddiskVolume1\\Apps\\shell.exe", false, "watched");
    if (editor == nullptr || shell == nullptr) {
        return false;
    }
    s.AddProcess(editor);
    s.AddProcess(shell);
    s.SetBackupDir(u"\\??\\C:\\Backup");
    s.SetBackupDir(u"");

    r.Heading("port");
    if (!s.Connect("connect")) {
        return false;
    }
    for (const SwitchInfo& sw : kSwitches) {
        s.GetSwitch(sw.name, sw.get, 0, "get-switch-initial");
        s.SetSwitch(sw.name, sw.set, sw.value);
        s.GetSwitch(sw.name, sw.get, sw.value);
    }
    s.Disconnect();
    if (!s.Connect("reconnect")) {
        return false;
    }
    // The switches outlive the connection.
    for (const SwitchInfo& sw : kSwitches) {
        s.GetSwitch(sw.name, sw.get, sw.value, "get-switch-after-reconnect");
    }
    s.Disconnect();

    return FileWorkload(s, editor) && EventWorkload(s, editor) && RegistryWorkload(s, editor) &&
           RenameWorkload(s, editor) && ProcessWorkload(s);
}

}  // namespace

int RunDemo(const Options& options) {
    Report report(options);
    Session session(report);
    const bool completed = DemoScenario(session);
    if (!completed) {
        report.Step("scenario", false, {{"error", "stopped early"}}, "scenario stopped early");
    }
    report.Heading("teardown");
    session.Shutdown();
    const bool clean = session.PoolReport();
    const bool ok = completed && clean && report.failures() == 0;
    report.Raw({{"summary", {{"steps", report.steps()}, {"failures", report.failures()}, {"pool_clean", clean}, {"ok", ok}}}},
               std::string(ok ? "demo passed" : "demo FAILED") + ": " + std::to_string(report.steps()) + " steps, " +
                   std::to_string(report.failures()) + " failed, pool " + (clean ? "clean" : "LEAKED"));
    return ok ? 0 : 1;
}

}  // namespace vsim
