// vetrona-sim demo: the scenarios scenarios/demo.txt names, built into the
// program, played one after the other by the scenario runner.
#pragma once

#include "tools/scenario_run.h"

#include <cstddef>

namespace vsim {

struct BundledScenario {
    const char* file;  // where it lives in the repository, shown in the transcript
    const char* text;  // its YAML
};

extern const BundledScenario kDemoScenarios[];
extern const size_t kDemoScenarioCount;

// Plays every demo scenario; the exit status of the worst (as RunScenarioFiles).
int RunDemo(const RunOptions& options);

}  // namespace vsim
