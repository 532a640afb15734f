// The client's journal and restore, played through the scenario runner's
// `restore` step (the library code `vetrona-client restore` runs): which copy
// comes back, what is refused, and that what is written is what was copied.
#include "client/lib/restore.h"
#include "tools/scenario.h"
#include "tools/scenario_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace {

using Json = nlohmann::ordered_json;

struct Played {
    int status = -1;
    std::vector<Json> copies;    // journal-copy records
    std::vector<Json> restores;  // restore records, in order
    std::vector<Json> results;   // expectation records
};

Played Play(const std::string& text) {
    vsim::RunOptions options;
    options.json = true;
    vsim::Transcript out(options);
    testing::internal::CaptureStdout();
    Played played;
    played.status = vsim::RunScenario(vsim::LoadScenarioText(text, "restore.yaml"), out);
    std::istringstream lines(testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(lines, line);) {
        const Json j = Json::parse(line, nullptr, false);
        if (!j.is_object()) continue;
        const std::string type = j.value("type", "");
        if (type == "journal-copy") played.copies.push_back(j);
        if (type == "restore") played.restores.push_back(j);
        if (type == "expectation") played.results.push_back(j);
    }
    return played;
}

// A machine with one document older than the watch, a watched editor whose
// opens for writing under C:\Docs are answered "backup", and `steps` after
// the editor started.
std::string Scenario(const std::string& steps, const std::string& extraFiles = "", const std::string& expect = "") {
    return R"(
scenario: restore
machine:
  volumes:
    - drive: C
      folders: [Docs, Backup, Restored]
      files:
        - {path: Docs\plan.txt, text: "the plan as it was"}
)" + extraFiles + R"(
  processes:
    - {name: explorer, image: C:\Windows\explorer.exe}
    - {name: other, image: C:\Apps\other.exe}
client:
  watch: [explorer]
  monitors: [file, process]
  backup: C:\Backup
  rules:
    - {class: file, operation: FileOpWriteAccess, path: 'C:\Docs\*', verdict: backup}
    - {class: file, operation: FileOpDelete, path: 'C:\Docs\*', verdict: backup}
  default: allow
workload:
  - process: explorer
    start: {name: ransom, image: C:\Apps\ransom.exe}
)" + steps + R"(
expect:
  files:
    - {path: C:\Docs\plan.txt, exists: true}
)" + expect;
}

const char* kEncryptTwice = R"(
  - {process: ransom, write: {path: C:\Docs\plan.txt, offset: 0, text: "ENCRYPTED ONCE...."}}
  - {process: ransom, write: {path: C:\Docs\plan.txt, offset: 0, text: "ENCRYPTED TWICE..."}}
  - {process: ransom, exit: {}}
)";

TEST(RestoreStep, TheCopyFromBeforeTheFirstChangeComesBackNotALaterOne) {
    // Two opens for writing: the second copy holds the first pass's bytes
    // (same size as the original), and must not be the one put back.
    const Played played = Play(Scenario(std::string(kEncryptTwice) + "  - {process: client, restore: {}}\n", "",
                                        "    - {path: C:\\Docs\\plan.txt, text: \"the plan as it was\"}\n"));
    ASSERT_EQ(played.copies.size(), 2u);
    EXPECT_EQ(played.copies[0].value("backup", ""), "C:\\Backup\\plan.txt");
    EXPECT_EQ(played.copies[1].value("backup", ""), "C:\\Backup\\plan.txt_1");
    EXPECT_EQ(played.copies[0].value("match", ""), "name-and-size");
    ASSERT_EQ(played.restores.size(), 1u);
    EXPECT_EQ(played.restores[0].value("action", ""), "restored");
    EXPECT_EQ(played.restores[0].value("backup", ""), "C:\\Backup\\plan.txt");
    EXPECT_EQ(played.status, 0);
}

TEST(RestoreStep, ANameTakenBeforeTheSessionIsNeverTakenForTheCopy) {
    // The folder already holds a plan.txt of the same size with other bytes:
    // the driver writes plan.txt_1, and the journal must say so.
    const std::string decoy = "        - {path: Backup\\plan.txt, text: \"an older plan, 18b\"}\n";
    const Played played = Play(Scenario(std::string(kEncryptTwice) + "  - {process: client, restore: {}}\n", decoy,
                                        "    - {path: C:\\Docs\\plan.txt, text: \"the plan as it was\"}\n"));
    ASSERT_GE(played.copies.size(), 1u);
    EXPECT_EQ(played.copies[0].value("backup", ""), "C:\\Backup\\plan.txt_1");
    ASSERT_EQ(played.restores.size(), 1u);
    EXPECT_EQ(played.restores[0].value("backup", ""), "C:\\Backup\\plan.txt_1");
    EXPECT_EQ(played.status, 0);
}

TEST(RestoreStep, WhatChangedAfterTheSessionOrACopyThatChangedIsRefusedUnlessForced) {
    // The journal is closed by a dry run; then someone else edits the
    // document: a restore refuses, a forced one puts the copy back.
    const Played edited = Play(Scenario(std::string(kEncryptTwice) + R"(
  - {process: client, restore: {dry-run: true}}
  - {process: other, write: {path: C:\Docs\plan.txt, offset: 0, text: "new work after it all"}}
  - {process: client, restore: {}}
  - {process: client, restore: {force: true}}
)", "", "    - {path: C:\\Docs\\plan.txt, text: \"the plan as it was\"}\n"));
    ASSERT_EQ(edited.restores.size(), 3u);
    EXPECT_EQ(edited.restores[0].value("action", ""), "would restore");
    EXPECT_EQ(edited.restores[1].value("action", ""), "refused");
    EXPECT_NE(edited.restores[1].value("reason", "").find("changed after the session"), std::string::npos);
    EXPECT_EQ(edited.restores[2].value("action", ""), "restored");
    EXPECT_EQ(edited.status, 1) << "the refused restore fails its step";

    // A copy whose bytes changed after the journal hashed it is never put back.
    const Played tampered = Play(Scenario(std::string(kEncryptTwice) + R"(
  - {process: client, restore: {dry-run: true}}
  - {process: other, write: {path: C:\Backup\plan.txt, offset: 0, text: "X"}}
  - {process: client, restore: {force: true}}
)"));
    ASSERT_EQ(tampered.restores.size(), 2u);
    EXPECT_EQ(tampered.restores[1].value("action", ""), "refused");
    EXPECT_NE(tampered.restores[1].value("reason", "").find("no longer holds the bytes"), std::string::npos);
}

TEST(RestoreStep, IntoAnotherFolderTheOriginalStaysAsItIs) {
    const Played played = Play(Scenario(std::string(kEncryptTwice) + "  - {process: client, restore: {to: 'C:\\Restored'}}\n", "",
                                        "    - {path: C:\\Restored\\C\\Docs\\plan.txt, text: \"the plan as it was\"}\n"
                                        "    - {path: C:\\Docs\\plan.txt, text: \"ENCRYPTED TWICE...\"}\n"));
    ASSERT_EQ(played.restores.size(), 1u);
    EXPECT_EQ(played.restores[0].value("target", ""), "C:\\Restored\\C\\Docs\\plan.txt");
    EXPECT_EQ(played.status, 0);
}

TEST(RestoreStep, ADeletedDocumentComesBackAndOnlySelectsWhatItNames) {
    const Played played = Play(Scenario(R"(
  - {process: ransom, delete: {path: C:\Docs\plan.txt}}
  - {process: ransom, delete: {path: C:\Docs\other.txt}}
  - {process: ransom, exit: {}}
  - {process: client, restore: {only: '*\plan.txt'}}
)", "        - {path: Docs\\other.txt, text: \"other\"}\n",
                                        "    - {path: C:\\Docs\\plan.txt, text: \"the plan as it was\"}\n"
                                        "    - {path: C:\\Docs\\other.txt, exists: false}\n"));
    ASSERT_EQ(played.copies.size(), 2u);
    ASSERT_EQ(played.restores.size(), 1u);
    EXPECT_EQ(played.restores[0].value("original", ""), "C:\\Docs\\plan.txt");
    EXPECT_EQ(played.status, 0);
}

TEST(Journal, ALineThatIsNotAJournalOfThisVersionIsRefusedWithItsNumber) {
    std::vector<vetrona::client::Json> lines;
    std::string error;
    EXPECT_FALSE(vetrona::client::ParseJournal("", &lines, &error));
    EXPECT_FALSE(vetrona::client::ParseJournal("{\"type\":\"journal\",\"version\":99}\n", &lines, &error));
    EXPECT_NE(error.find("line 1"), std::string::npos) << error;
    EXPECT_FALSE(vetrona::client::ParseJournal("{\"type\":\"journal\",\"version\":1}\n\nnot json\n", &lines, &error));
    EXPECT_NE(error.find("line 3"), std::string::npos) << error;
    EXPECT_TRUE(vetrona::client::ParseJournal("{\"type\":\"journal\",\"version\":1}\r\n{\"type\":\"event\"}\n", &lines, &error));
    EXPECT_EQ(lines.size(), 2u);
}

}  // namespace
