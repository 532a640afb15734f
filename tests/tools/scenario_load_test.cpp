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
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().extension() != ".yaml") continue;
        try {
            const Scenario s = LoadScenarioFile(entry.path().string());
            EXPECT_FALSE(s.workload.empty()) << entry.path();
            // A bundled scenario asks for nothing that would not do what it says.
            for (const ScenarioWarning& w : s.warnings) ADD_FAILURE() << DescribeWarning(s, w);
            ++loaded;
        } catch (const ScenarioError& e) {
            ADD_FAILURE() << e.Describe();
        }
    }
    EXPECT_GE(loaded, 40);
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

// Every kind of malformed input a scenario can hold is refused with the line
// and the field that are wrong; the loader never reads on past it.
TEST(ScenarioLoad, EachKindOfMalformedInputNamesItsLineAndField) {
    const std::string P = "scenario: t\nmachine: {processes: [{name: p, image: 'C:\\p.exe'}]}\n";  // lines 1-2
    const std::string W = P + "workload:\n  - ";                                                 // step on line 4
    const std::string C = P + "client: {watch: p}\nworkload:\n  - ";                               // step on line 5
    struct Case {
        std::string text;
        int line;
        const char* field;
    };
    const Case cases[] = {
        // The client's own steps.
        {C + "{process: p, get-version: {}}\n", 5, "workload.process"},
        {P + "workload:\n  - {process: client, disconnect: {}}\n", 4, "workload.process"},
        {C + "{process: client, exit: {}}\n", 5, "workload.exit"},
        {"scenario: t\nmachine:\n  processes:\n    - {name: client, image: 'C:\\c.exe'}\nworkload: []\n", 4, "machine.processes.name"},
        {W + "{process: p, start: {name: client, image: 'C:\\c.exe'}}\n", 4, "workload.start.name"},
        {C + "{process: client, set-switch: {switch: disk, value: 1}}\n", 5, "workload.set-switch.switch"},
        {C + "{process: client, get-switch: {switch: file, value: 256}}\n", 5, "workload.get-switch.value"},
        {C + "{process: client, set-switch: {switch: file}}\n", 5, "workload.set-switch.value"},
        {C + "{process: client, watch: {name: ghost}}\n", 5, "workload.watch.name"},
        {C + "{process: client, set-backup: {folder: Backup}}\n", 5, "workload.set-backup.folder"},
        {C + "{process: client, connect: {now: true}}\n", 5, "workload.connect.now"},
        {C + "{process: client, disconnect: later}\n", 5, "workload.disconnect"},
        // Steps of programs.
        {W + "{process: p, exit: {}, read: {path: 'C:\\a'}}\n", 4, "workload"},
        {W + "{process: p}\n", 4, "workload"},
        {W + "{process: p, exit: {now: true}}\n", 4, "workload.exit"},
        {W + "{process: p, threads: [[{process: p, exit: {}}]]}\n", 4, "workload.threads"},
        {"scenario: t\nworkload:\n  - threads: [[{process: x, exit: {}}]]\n", 3, "workload.threads.process"},
        {P + "workload:\n  - threads:\n      - [{process: p, start: {name: q, image: 'C:\\q.exe'}}]\n", 5, "workload.threads"},
        {W + "{process: p, define-dos-device: {name: 'a b', target: 'C:\\x'}}\n", 4, "workload.define-dos-device.name"},
        {W + "{process: p, define-dos-device: {name: 'c:', target: 'C:\\x'}}\n", 4, "workload.define-dos-device.name"},
        {W + "{process: p, define-dos-device: {name: X, target: 'x'}}\n", 4, "workload.define-dos-device.target"},
        {W + "{process: p, read: {path: 'C:\\a', text: x, hex: '00'}}\n", 4, "workload.read"},
        {W + "{process: p, read: {path: 'C:\\a', hex: '0'}}\n", 4, "workload.read.hex"},
        {W + "{process: p, read: {path: 'C:\\a', length: -1}}\n", 4, "workload.read.length"},
        {W + "{process: p, rename: {path: 'C:\\a'}}\n", 4, "workload.rename.to"},
        {W + "{process: p, rename: {to: 'C:\\b'}}\n", 4, "workload.rename"},
        {W + "{process: p, create: {path: 'C:\\a', disposition: sometimes}}\n", 4, "workload.create.disposition"},
        {W + "{process: p, open: {path: 'C:\\a', access: [read, fly]}}\n", 4, "workload.open.access"},
        {W + "{process: p, encrypt: {files: 'C:\\*', in-place: false}}\n", 4, "workload.encrypt.suffix"},
        {W + "{process: p, scsi-write: {volume: D}}\n", 4, "workload.scsi-write.volume"},
        {W + "{process: p, ata-write: {volume: C, sectors: 0}}\n", 4, "workload.ata-write.sectors"},
        {W + "{process: p, set-value: {key: 'HKLM\\A', name: v, type: REG_COLOUR, text: x}}\n", 4, "workload.set-value.type"},
        {W + "{process: p, start: {name: p, image: 'C:\\q.exe'}}\n", 4, "workload.start.name"},
        // The machine.
        {"scenario: t\nmachine:\n  volumes: [{drive: C}, {drive: c}]\nworkload: []\n", 3, "machine.volumes.drive"},
        {"scenario: t\nmachine:\n  volumes: [{drive: '1'}]\nworkload: []\n", 3, "machine.volumes.drive"},
        {"scenario: t\nmachine:\n  volumes:\n    - drive: C\n      files: [{path: '..\\x', text: a}]\nworkload: []\n", 5,
         "machine.volumes.files.path"},
        {"scenario: t\nmachine:\n  volumes:\n    - drive: C\n      files: [{path: a, text: x, seed: 3}]\nworkload: []\n", 5,
         "machine.volumes.files.seed"},
        {"scenario: t\nmachine:\n  volumes:\n    - drive: C\n      files: [{path: a, random: 99999999999}]\nworkload: []\n", 5,
         "machine.volumes.files.random"},
        {"scenario: t\nmachine:\n  registry:\n    - key: \\REGISTRY\\MACHINE\\A\n      values: [{name: v, type: REG_COLOUR, text: x}]\n"
         "workload: []\n",
         5, "machine.registry.values.type"},
        {"scenario: t\nmachine:\n  processes:\n    - {name: p, image: p.exe}\nworkload: []\n", 4, "machine.processes.image"},
        {"scenario: t\nmachine:\n  processes:\n    - {name: p, image: 'C:\\p.exe'}\n    - {name: p, image: 'C:\\q.exe'}\nworkload: []\n",
         5, "machine.processes.name"},
        {"scenario: t\nmachine:\n  processes:\n    - {name: p, image: 'C:\\p.exe', admin: maybe}\nworkload: []\n", 4,
         "machine.processes.admin"},
        // The client.
        {P + "client: {watch: [p, q]}\nworkload: []\n", 3, "client.watch"},
        {P + "client: {monitors: [file, disk]}\nworkload: []\n", 3, "client.monitors"},
        {P + "client: {backup: Backup}\nworkload: []\n", 3, "client.backup"},
        {P + "client: {rules: [{class: file, colour: red, verdict: deny}]}\nworkload: []\n", 3, "client.rules.colour"},
        {P + "client: {rules: [{class: file, path: 'C:\\*'}]}\nworkload: []\n", 3, "client.rules"},
        {P + "client: {default: maybe}\nworkload: []\n", 3, "client.default"},
        // Expectations.
        {"scenario: t\nworkload: []\nexpect:\n  debugger: {a: b}\n", 4, "expect.debugger"},
        {"scenario: t\nworkload: []\nexpect:\n  outcome: {saved: 3}\n", 4, "expect.outcome.saved"},
        {"scenario: t\nworkload: []\nexpect:\n  outcome: {watched: -1}\n", 4, "expect.outcome.watched"},
        {"scenario: t\nworkload: []\nexpect:\n  outcome: {messages-sent: many}\n", 4, "expect.outcome.messages-sent"},
        {"scenario: t\nworkload: []\nexpect:\n  files: [{path: 'C:\\a', unchanged: true}]\n", 4, "expect.files.unchanged"},
        {"scenario: t\nworkload: []\nexpect:\n  files: [{path: 'C:\\a', sha256: abc}]\n", 4, "expect.files.sha256"},
        {"scenario: t\nworkload: []\nexpect:\n  events: {order: random}\n", 4, "expect.events.order"},
        {"scenario: t\nworkload: []\nexpect:\n  events: {list: [{class: file, process: ghost}]}\n", 4, "expect.events.list.process"},
        {"scenario: t\nworkload: []\nexpect:\n  events: {list: [{class: registry, operation: FileOpWrite}]}\n", 4,
         "expect.events.list.operation"},
        {"scenario: t\nworkload: []\nexpect:\n  events: {absent: {class: file}}\n", 4, "expect.events.absent"},
        {"scenario: t\nworkload: []\nexpect:\n  registry: [{key: 'HKLM\\A', dword: 1}]\n", 4, "expect.registry"},
        {"scenario: t\nworkload: []\nexpect:\n  registry: [{key: 'HKLM\\A'}]\n", 4, "expect.registry"},
    };
    for (const Case& c : cases) {
        try {
            LoadScenarioText(c.text, "bad.yaml");
            ADD_FAILURE() << "loaded:\n" << c.text;
        } catch (const ScenarioError& e) {
            EXPECT_EQ(e.line, c.line) << c.text << " -> " << e.Describe();
            EXPECT_EQ(e.field, c.field) << c.text << " -> " << e.Describe();
            EXPECT_NE(std::string(e.what()), "") << c.text;
        }
    }
}

TEST(ScenarioLoad, AFileThatCannotBeReadOrParsedIsNamed) {
    try {
        LoadScenarioFile("/nonexistent/scenario.yaml");
        ADD_FAILURE() << "loaded a missing file";
    } catch (const ScenarioError& e) {
        EXPECT_EQ(e.Describe(), "/nonexistent/scenario.yaml: cannot read the file");
    }
    try {
        LoadScenarioText("scenario: t\nworkload:\n  - {process: p\n  - x\n", "broken.yaml");
        ADD_FAILURE() << "loaded broken YAML";
    } catch (const ScenarioError& e) {
        EXPECT_GT(e.line, 2) << e.Describe();
        EXPECT_EQ(e.Describe().rfind("broken.yaml:" + std::to_string(e.line) + ": not valid YAML", 0), 0u) << e.Describe();
    }
}

// The client's steps and the format's newer expectations load into what the
// runner reads.
TEST(ScenarioLoad, ReadsClientStepsDebuggerLinesAndOutcomeCounts) {
    const Scenario s = LoadScenarioText(R"(
scenario: t
machine: {processes: [{name: p, image: 'C:\p.exe'}]}
client: {watch: p}
workload:
  - {process: client, set-switch: {switch: registry, value: 1}}
  - {process: client, set-backup: {folder: ''}}
  - {process: p, read: {path: 'C:\a', hex: ' 00 ff '}}
  - {process: p, define-dos-device: {name: My-Target.1, target: 'C:\a'}}
expect:
  events: {list: [{operation: start}]}
  debugger: ['*RIPlace*', '*link*']
  outcome: {watched: 0, messages-sent: 4}
)", "t.yaml");
    ASSERT_EQ(s.workload.size(), 4u);
    EXPECT_EQ(s.workload[0].process, "client");
    EXPECT_EQ(s.workload[0].args.at("switch"), "registry");
    EXPECT_EQ(s.workload[1].args.at("folder"), "");
    EXPECT_EQ(*s.workload[2].data, (std::vector<uint8_t>{0x00, 0xFF}));
    EXPECT_EQ(s.debugger.lines, (std::vector<std::string>{"*RIPlace*", "*link*"}));
    EXPECT_EQ(s.outcome.watched, 0);
    EXPECT_EQ(s.outcome.messagesSent, 4);
    // An operation without a class takes its name's class.
    EXPECT_EQ(s.events.list[0].eventClass, EVENT_CLASS_PROCESS);
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
