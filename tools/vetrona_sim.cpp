// vetrona-sim demo (the command line is in tools/main.cpp).
//
// Plays the scenarios scenarios/demo.txt names, built into the program, with
// the same runner and output as `vetrona-sim run`: a client configuring the
// driver, a program's file work with nobody connected, a backup and a denied
// overwrite, registry persistence denied, a rename through a link the program
// made, and a process tree with a denied start. Then one closing line (or
// JSON object) with how many scenarios passed.
#include "tools/demo.h"

#include <algorithm>
#include <string>

namespace vsim {

int RunDemo(const RunOptions& options) {
    Transcript out(options);
    int worst = 0;
    size_t passed = 0;
    for (size_t i = 0; i < kDemoScenarioCount; ++i) {
        int status = 2;
        try {
            status = RunScenario(LoadScenarioText(kDemoScenarios[i].text, kDemoScenarios[i].file), out);
        } catch (const ScenarioError& e) {
            ReportLoadError(e, out);
        }
        passed += status == 0 ? 1 : 0;
        worst = std::max(worst, status);
    }
    const bool ok = worst == 0;
    out.Put({{"type", "demo"}, {"scenarios", kDemoScenarioCount}, {"passed", passed}, {"ok", ok}},
            std::string(ok ? "demo passed" : "demo FAILED") + ": " + std::to_string(passed) + " of " +
                std::to_string(kDemoScenarioCount) + " scenarios passed");
    return worst;
}

}  // namespace vsim
