// Expected events name processes; ids are reused, so a name must stay with the
// process it was given to, not with whoever holds the id when the run ends.
#include "tools/scenario.h"
#include "tools/scenario_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <sstream>
#include <string>

namespace {

std::string ReusedIdScenario(const std::string& exitedBy, const std::string& wroteBy) {
    return R"(
scenario: an exited program's id goes to the next one
machine:
  processes:
    - {name: launcher, image: C:\Apps\launcher.exe}
client:
  watch: [launcher]
  monitors: [process, file]
  default: allow
workload:
  - process: launcher
    start: {name: shell, image: C:\Windows\System32\cmd.exe}
  - {process: shell, create: {path: C:\shell.txt, handle: out}}
  - {process: shell, close: {handle: out}}
  - process: shell
    start: {name: child, image: C:\Apps\child.exe}
  - {process: shell, exit: {}}
  - process: child
    start: {name: tool, image: C:\Apps\tool.exe}
  - {process: tool, exit: {}}
  - {process: child, exit: {}}
expect:
  events:
    order: set
    list:
      - {class: process, operation: exit, process: )" +
           exitedBy + R"(}
      - {class: file, operation: FileOpCreated, path: 'C:\shell.txt', process: )" +
           wroteBy + R"(}
)";
}

struct Played {
    int status = -1;
    bool idReused = false;  // the tool got the shell's id
};

Played PlayScenario(const std::string& text) {
    vsim::RunOptions options;
    options.json = true;
    vsim::Transcript out(options);
    testing::internal::CaptureStdout();
    Played played;
    played.status = vsim::RunScenario(vsim::LoadScenarioText(text, "reused-id.yaml"), out);
    std::istringstream lines(testing::internal::GetCapturedStdout());
    std::map<std::string, int64_t> pids;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (j.is_object() && j.value("type", "") == "step" && j.value("kind", "") == "start" && j.contains("pid")) {
            pids[j.value("what", "")] = j["pid"].get<int64_t>();
        }
    }
    played.idReused = pids.size() == 3 && pids["start tool C:\\Apps\\tool.exe"] == pids["start shell C:\\Windows\\System32\\cmd.exe"];
    return played;
}

// Whether the freed id goes to the next process or to its first thread
// depends on which of the shell's objects went last, so a run is repeated
// until the id went to the tool.
int PlayWithIdReused(const std::string& text) {
    for (int attempt = 0; attempt < 40; ++attempt) {
        const Played played = PlayScenario(text);
        if (played.idReused) return played.status;
    }
    ADD_FAILURE() << "the shell's id never went to the tool in 40 runs";
    return -1;
}

TEST(ScenarioRunNames, AnExitAndAFileEventKeepTheNameTheirProcessHad) {
    EXPECT_EQ(PlayWithIdReused(ReusedIdScenario("shell", "shell")), 0);
    // The shell's file work cannot be claimed for the program that took its
    // id over.
    EXPECT_EQ(PlayWithIdReused(ReusedIdScenario("shell", "tool")), 1);
}

}  // namespace
