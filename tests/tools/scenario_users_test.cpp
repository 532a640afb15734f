// Scenarios written the way a security engineer writes them: users with their
// own hives, HKCU meaning the acting program's user, registry values by their
// usual types, and a warning for a backup folder the machine does not have.
#include "tools/scenario.h"
#include "tools/scenario_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

namespace vsim {
namespace {

const std::string kAlice = GeneratedUserSid(0);
const std::string kBob = GeneratedUserSid(1);

Scenario Load(const std::string& text) { return LoadScenarioText(text, "users.yaml"); }

// The error of a file that does not load, as "line field: message".
std::string ErrorOf(const std::string& text) {
    try {
        Load(text);
    } catch (const ScenarioError& e) {
        return std::to_string(e.line) + " " + e.field + ": " + e.what();
    }
    return "(loaded)";
}

TEST(ScenarioUsers, CurrentUserKeysAreTheHiveOfTheUserEachProcessRunsAs) {
    const Scenario s = Load(R"(
scenario: t
machine:
  users:
    - {name: alice}
    - {name: bob}
    - {name: carol, sid: S-1-5-21-1-2-3-1500}
  registry:
    - {key: 'HKCU\Software\A'}
    - {key: 'HKCU\Software\B', user: bob}
    - {key: 'HKLM\SOFTWARE\C'}
  processes:
    - {name: shell, image: 'C:\shell.exe'}
    - {name: tool, image: 'C:\tool.exe', user: bob}
    - {name: child, image: 'C:\child.exe', parent: tool}
workload:
  - {process: shell, set-value: {key: 'HKCU\Software\X', name: v, dword: 1}}
  - {process: child, set-value: {key: 'HKEY_CURRENT_USER\Software\X', name: v, dword: 1}}
  - {process: child, start: {name: runas, image: 'C:\r.exe', user: carol}}
  - {process: runas, delete-key: {key: 'HKCU\Software\X'}}
  - {process: child, start: {name: grandchild, image: 'C:\g.exe'}}
  - {process: grandchild, create-key: {key: 'HKCU\Software\Y'}}
  - {process: shell, set-value: {key: 'HKU\.DEFAULT\Software\Z', name: v, multi: [a, bc]}}
expect:
  registry:
    - {key: 'HKCU\Software\X', value: v, dword: 1}
    - {key: 'HKCU\Software\X', user: carol, exists: false}
)");
    ASSERT_EQ(s.users.size(), 3u);
    EXPECT_EQ(s.users[0].sid, kAlice);
    EXPECT_EQ(s.users[1].sid, kBob);
    EXPECT_NE(kAlice, kBob);
    EXPECT_EQ(s.users[2].sid, "S-1-5-21-1-2-3-1500");
    EXPECT_EQ(s.registry[0].path, "\\REGISTRY\\USER\\" + kAlice + "\\Software\\A") << "the interactive user's";
    EXPECT_EQ(s.registry[1].path, "\\REGISTRY\\USER\\" + kBob + "\\Software\\B");
    EXPECT_EQ(s.registry[2].path, "\\REGISTRY\\MACHINE\\SOFTWARE\\C");
    EXPECT_EQ(s.processes[0].userSid, kAlice);
    EXPECT_EQ(s.processes[1].userSid, kBob);
    EXPECT_EQ(s.processes[2].userSid, kBob) << "a child runs as its parent's user";
    EXPECT_EQ(s.workload[0].keyPath, "\\REGISTRY\\USER\\" + kAlice + "\\Software\\X");
    EXPECT_EQ(s.workload[1].keyPath, "\\REGISTRY\\USER\\" + kBob + "\\Software\\X");
    EXPECT_EQ(s.workload[2].userSid, "S-1-5-21-1-2-3-1500");
    EXPECT_EQ(s.workload[3].keyPath, "\\REGISTRY\\USER\\S-1-5-21-1-2-3-1500\\Software\\X");
    EXPECT_EQ(s.workload[4].userSid, kBob);
    EXPECT_EQ(s.workload[5].keyPath, "\\REGISTRY\\USER\\" + kBob + "\\Software\\Y");
    EXPECT_EQ(s.workload[6].keyPath, "\\REGISTRY\\USER\\.DEFAULT\\Software\\Z");
    EXPECT_EQ(s.workload[6].args.at("type"), "REG_MULTI_SZ");
    EXPECT_EQ(*s.workload[6].data, (std::vector<uint8_t>{'a', 0, 0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0}));
    EXPECT_EQ(s.registryAfter[0].path, "\\REGISTRY\\USER\\" + kAlice + "\\Software\\X");
    EXPECT_EQ(s.registryAfter[1].path, "\\REGISTRY\\USER\\S-1-5-21-1-2-3-1500\\Software\\X");
}

TEST(ScenarioUsers, KeysAndUsersThatCannotBeMeantAreRefusedWithTheirLine) {
    const std::string process = "machine: {processes: [{name: p, image: 'C:\\p.exe'}]}\n";
    EXPECT_EQ(ErrorOf("scenario: t\n" + process + "workload:\n  - {process: p, set-value: {key: 'HKCR\\.txt', name: '', text: x}}\n")
                  .substr(0, 20),
              "4 workload.set-value");
    EXPECT_NE(ErrorOf("scenario: t\n" + process + "workload:\n  - {process: p, set-value: {key: 'HKCR\\.txt', name: '', text: x}}\n")
                  .find("HKCU\\Software\\Classes"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\n" + process + "workload:\n  - {process: p, delete-key: {key: 'SOFTWARE\\X'}}\n")
                  .find("4 workload.delete-key.key: a key starts with HKLM"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\nmachine:\n  users: [{name: a}, {name: A}]\nworkload: []\n").find("3 machine.users.name"),
              std::string::npos)
        << "names compare without regard to case";
    EXPECT_NE(ErrorOf("scenario: t\nmachine:\n  users: [{name: a, sid: S-1-5-18}]\nworkload: []\n").find("machine.users.sid"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\nmachine:\n  users: [{name: a, sid: 'S-1-5-21-x'}]\nworkload: []\n").find("machine.users.sid"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\nmachine:\n  processes: [{name: p, image: 'C:\\p.exe', user: mallory}]\nworkload: []\n")
                  .find("3 machine.processes.user: no user 'mallory'"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\ntechniques: [T1547.1]\nworkload: []\n").find("2 techniques"), std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\nworkload: []\nexpect:\n  events:\n    list: [{class: file, operation: FileOpDeleet}]\n")
                  .find("5 expect.events.list.operation: unknown operation 'FileOpDeleet' for class file; did you mean FileOpDelete?"),
              std::string::npos);
    EXPECT_EQ(ErrorOf("scenario: t\ntechniques: [T1547, T1547.001]\nworkload: []\n"), "(loaded)");
    EXPECT_NE(ErrorOf("scenario: t\n" + process + "workload:\n  - {process: p, set-value: {key: 'HKLM\\A', name: v, multi: [a], dword: 1}}\n")
                  .find("give the data one way"),
              std::string::npos);
}

TEST(ScenarioUsers, ABackupFolderTheMachineLacksDrawsAWarningNamingItsLine) {
    auto warnings = [](const std::string& machine, const std::string& steps) {
        const Scenario s = Load("scenario: t\nmachine:\n" + machine +
                                "  processes: [{name: p, image: 'C:\\p.exe'}]\nclient:\n  watch: [p]\n  backup: 'C:\\Backup'\n"
                                "workload:\n" + steps);
        std::vector<std::string> out;
        for (const ScenarioWarning& w : s.warnings) out.push_back(std::to_string(w.line) + " " + w.field + ": " + w.message);
        return out;
    };
    const auto missing = warnings("", "  - {process: p, exit: {}}\n");
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0].substr(0, 16), "6 client.backup:");
    EXPECT_NE(missing[0].find("the driver never creates a missing backup folder: no copy will be made"), std::string::npos);
    EXPECT_TRUE(warnings("  volumes: [{drive: C, folders: ['Backup\\Daily']}]\n", "  - {process: p, exit: {}}\n").empty())
        << "a parent of a declared folder";
    EXPECT_TRUE(warnings("  volumes: [{drive: C, files: [{path: 'Backup\\old.txt', text: x}]}]\n", "  - {process: p, exit: {}}\n").empty())
        << "the folder of a seeded file";
    EXPECT_TRUE(warnings("", "  - {process: p, create: {path: 'C:\\Backup', options: [directory]}}\n").empty())
        << "a step makes it";
    EXPECT_TRUE(warnings("  volumes: [{drive: C, folders: ['Backup']}]\n",
                         "  - {process: client, set-backup: {folder: 'C:\\Users\\alice\\Documents'}}\n")
                    .empty())
        << "a profile's folder";
    const auto later = warnings("  volumes: [{drive: C, folders: ['Backup']}]\n",
                                "  - {process: client, set-backup: {folder: 'C:\\Gone'}}\n  - {process: client, set-backup: {folder: ''}}\n");
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].substr(0, 28), "9 workload.set-backup.folder");
}

nlohmann::json Play(const std::string& text) {
    RunOptions options;
    options.json = true;
    Transcript out(options);
    testing::internal::CaptureStdout();
    const int status = RunScenario(Load(text), out);
    nlohmann::json lines = nlohmann::json::array();
    std::istringstream in(testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line, nullptr, false));
    lines.push_back({{"status", status}});
    return lines;
}

TEST(ScenarioUsers, EachProgramsHkcuWriteLandsInItsOwnUsersHive) {
    const auto lines = Play(R"(
scenario: t
machine:
  users: [{name: alice}, {name: bob}]
  processes:
    - {name: a, image: 'C:\a.exe'}
    - {name: b, image: 'C:\b.exe', user: bob}
client:
  watch: [a, b]
  monitors: [registry]
  rules:
    - {class: registry, path: 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run', verdict: deny}
workload:
  - {process: a, set-value: {key: 'HKCU\Software\Vendor', name: '', text: alice}}
  - {process: b, set-value: {key: 'HKCU\Software\Vendor', name: '', text: bob}}
  - process: b
    set-value: {key: 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run', name: x, text: y}
    status: STATUS_ACCESS_DENIED
expect:
  events:
    list:
      - {class: registry, operation: RegOpValueCreated, path: 'HKU\S-1-5-21-*-1002\Software\Vendor', process: b}
  registry:
    - {key: 'HKCU\Software\Vendor', value: '', text: alice}
    - {key: 'HKCU\Software\Vendor', user: bob, value: '', text: bob}
    - {key: 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run', user: bob, value: x, exists: false}
)");
    EXPECT_EQ(lines.back()["status"], 0) << lines.dump(1);
    int users = 0;
    for (const auto& line : lines) users += line.value("type", "") == "user" ? 1 : 0;
    EXPECT_EQ(users, 2);
}

TEST(ScenarioUsers, AnEmptyValueNameIsTheKeysDefaultValueNotTheKey) {
    const std::string text = R"(
scenario: t
machine:
  registry:
    - {key: 'HKLM\SOFTWARE\Classes\.evil', values: [{name: Other, text: x}]}
workload: []
expect:
  registry:
    - {key: 'HKLM\SOFTWARE\Classes\.evil', value: '', exists: false}
    - {key: 'HKLM\SOFTWARE\Classes\.evil', exists: true}
)";
    EXPECT_EQ(Play(text).back()["status"], 0);
    const Scenario s = Load(text);
    EXPECT_TRUE(s.registryAfter[0].valueGiven);
    EXPECT_FALSE(s.registryAfter[1].valueGiven);
}

// A multi-string's text is UTF-8 read as the model reads names: U+2028 is one
// UTF-16 unit, a character past U+FFFF a surrogate pair.
TEST(ScenarioUsers, MultiStringsAreUtf16OfTheirText) {
    const Scenario s = Load("scenario: t\nmachine:\n  registry:\n"
                            "    - {key: 'HKLM\\A', values: [{name: m, multi: [\"a\\u2028\", \"\\U0001F600\"]}]}\nworkload: []\n");
    const std::vector<uint8_t> want = {'a', 0, 0x28, 0x20, 0, 0, 0x3d, 0xd8, 0x00, 0xde, 0, 0, 0, 0};
    EXPECT_EQ(s.registry[0].values[0].data, want);
}

// Every enumerated value of a step is refused when mistyped, with its line
// and the nearest names.
TEST(ScenarioUsers, AMistypedAccessShareOrOptionNamesTheNearest) {
    const std::string head = "scenario: t\nmachine:\n  processes: [{name: p, image: 'C:\\p.exe'}]\nworkload:\n";
    EXPECT_NE(ErrorOf(head + "  - {process: p, open: {path: 'C:\\x', access: [wirte]}}\n")
                  .find("5 workload.open.access: unknown value 'wirte'; did you mean write?"),
              std::string::npos);
    EXPECT_NE(ErrorOf(head + "  - {process: p, create: {path: 'C:\\x', share: raed}}\n").find("did you mean read?"),
              std::string::npos);
    EXPECT_NE(ErrorOf(head + "  - {process: p, create: {path: 'C:\\x', options: [write-thru]}}\n").find("did you mean write-through?"),
              std::string::npos);
    EXPECT_NE(ErrorOf(head + "  - {process: p, create: {path: 'C:\\x', disposition: open_if}}\n").find("did you mean open-if?"),
              std::string::npos);
    EXPECT_NE(ErrorOf(head + "  - {process: p, crate: {path: 'C:\\x'}}\n").find("unknown step key; did you mean create?"),
              std::string::npos);
    EXPECT_NE(ErrorOf(head + "  - {process: p, create: {pth: 'C:\\x'}}\n").find("unknown key; did you mean path?"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\nmachine:\n  registry: [{key: 'HKLM\\A', values: [{name: v, type: REG_DWROD, dword: 1}]}]\n"
                      "workload: []\n").find("did you mean REG_DWORD?"),
              std::string::npos);
    EXPECT_NE(ErrorOf("scenario: t\nclient:\n  monitors: [regsitry]\nworkload: []\n").find("3 client.monitors: unknown monitor "
                                                                                              "'regsitry'; did you mean registry?"),
              std::string::npos);
}

}  // namespace
}  // namespace vsim
