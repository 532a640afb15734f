// Scenario files: every bundled scenario loads; malformed ones are refused
// with the file, the line and the field, never a crash.
#include "tools/scenario.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace vsim {
namespace {

TEST(ScenarioLoad, EveryBundledScenarioLoads) {
    const std::filesystem::path dir = std::filesystem::path(VETRONA_SOURCE_DIR) / "scenarios";
    int loaded = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".yaml") continue;
        try {
            const Scenario s = LoadScenarioFile(entry.path().string());
            EXPECT_FALSE(s.workload.empty()) << entry.path();
            ++loaded;
        } catch (const ScenarioError& e) {
            ADD_FAILURE() << e.Describe();
        }
    }
    EXPECT_GE(loaded, 7);
}

TEST(ScenarioLoad, ReadsStepsRulesAndExpectations) {
    const Scenario s = LoadScenarioText(R"(
scenario: t
machine:
  volumes:
    - drive: d
      files: [{path: a\b.txt, hex: "00ff10"}]
  processes:
    - {name: p, image: 'D:\p.exe'}
client:
  watch: p
  monitors: [file, registry]
  backup: D:\Backup
  rules:
    - {operation: FileOpWrite, class: file, verdict: backup}
workload:
  - {process: p, write: {path: 'D:\a\b.txt', random: 10, seed: 3}, status: denied}
  - threads:
      - [{process: p, read: {path: 'D:\a\b.txt'}}]
      - [{process: p, exit: {}}]
expect:
  events: {order: set, list: [{class: file, operation: FileOpWrite, process: p}]}
  files: [{path: 'D:\a\b.txt', unchanged: true}]
)", "t.yaml");
    ASSERT_EQ(s.volumes.size(), 1u);
    EXPECT_EQ(s.volumes[0].drive, 'D');
    EXPECT_EQ(s.volumes[0].files[0].bytes, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
    EXPECT_TRUE(s.client.fileMon && s.client.regMon && !s.client.procMon);
    ASSERT_EQ(s.client.policy.rules.size(), 1u);
    EXPECT_EQ(s.client.policy.rules[0].eventClass, EVENT_CLASS_FILE);
    EXPECT_EQ(s.client.policy.rules[0].operation, FileOpWrite);  // the class is read first, wherever it is written
    EXPECT_EQ(s.workload[0].status, static_cast<int32_t>(0xC0000022));
    EXPECT_EQ(s.workload[0].data->size(), 10u);
    ASSERT_EQ(s.workload[1].threads.size(), 2u);
    EXPECT_FALSE(s.events.ordered);
}

TEST(ScenarioLoad, MalformedFilesNameLineAndField) {
    struct Case {
        const char* text;
        int line;
        const char* field;
    };
    const Case cases[] = {
        {"scenario: t\nworkload: [\n", 0, ""},                                      // not YAML (line from the parser)
        {"workload: []\n", 1, "scenario"},                                          // missing title
        {"scenario: t\nworkload: {}\n", 2, "workload"},                             // not a list
        {"scenario: t\ncolour: red\nworkload: []\n", 2, "colour"},                  // unknown section
        {"scenario: t\nworkload:\n  - {process: ghost, exit: {}}\n", 3, "workload.process"},
        {"scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\nworkload:\n  - {process: p, fly: {}}\n", 4,
         "workload.fly"},
        {"scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\nworkload:\n  - {process: p, write: {path: 'C:\\a'}}\n",
         4, "workload.write"},
        {"scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\nworkload:\n  - {process: p, write: {path: 'Q:\\a', text: x}}\n",
         4, "workload.write.path"},
        {"scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\nworkload:\n  - {process: p, close: {handle: h}}\n", 4,
         "workload.close.handle"},
        {"scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\nworkload:\n  - {process: p, exit: {}, status: MAYBE}\n",
         4, "workload.status"},
        {"scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\nclient: {rules: [{class: file, verdict: perhaps}]}\nworkload: []\n",
         3, "client.rules.verdict"},
        {"scenario: t\nclient: {rules: [{operation: RegOpKeyCreated, class: file, verdict: deny}]}\nworkload: []\n", 2,
         "client.rules.operation"},
        {"scenario: t\nmachine:\n  volumes: [{drive: C, files: [{path: 'a', hex: 'zz'}]}]\nworkload: []\n", 3,
         "machine.volumes.files.hex"},
        {"scenario: t\nmachine:\n  processes:\n    - {name: p, image: 'C:\\p.exe', parent: q}\nworkload: []\n", 4,
         "machine.processes.parent"},
        {"scenario: t\nworkload: []\nexpect:\n  files: [{path: 'C:\\a'}]\n", 4, "expect.files"},
        {"scenario: t\nworkload: []\nexpect:\n  backups: [{folder: 'C:\\b'}]\n", 4, "expect.backups.originals"},
    };
    for (const Case& c : cases) {
        try {
            LoadScenarioText(c.text, "bad.yaml");
            ADD_FAILURE() << "loaded: " << c.text;
        } catch (const ScenarioError& e) {
            EXPECT_EQ(e.file, "bad.yaml");
            if (c.line != 0) {
                EXPECT_EQ(e.line, c.line) << c.text << " -> " << e.Describe();
            }
            EXPECT_EQ(e.field, c.field) << c.text << " -> " << e.Describe();
        }
    }
}

TEST(ScenarioLoad, StatusNames) {
    EXPECT_EQ(ParseStatusName("STATUS_ACCESS_DENIED"), static_cast<int32_t>(0xC0000022));
    EXPECT_EQ(ParseStatusName("status_sharing_violation"), static_cast<int32_t>(0xC0000043));
    EXPECT_EQ(ParseStatusName("0xC0000034"), static_cast<int32_t>(0xC0000034));
    EXPECT_FALSE(ParseStatusName("0x"));
    EXPECT_FALSE(ParseStatusName("0x123456789"));
    EXPECT_FALSE(ParseStatusName("STATUS_MAYBE"));
    EXPECT_EQ(StatusName(static_cast<int32_t>(0xC0000022)), "STATUS_ACCESS_DENIED");
    EXPECT_EQ(StatusName(0x12345), "0x00012345");
}

}  // namespace
}  // namespace vsim
