// The fault sweep's judging rules: what a run with one failed point may and
// may not leave different from the fault-free run. (The sweep itself runs
// over every bundled scenario as the sweep_* tests.)
#include "tools/sweep.h"

#include "sim/public/ntdef.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using json = nlohmann::ordered_json;
using vsim::SweepJudgement;
using vsim::SweepRunResult;

json Step(int line, const std::string& status, json files = nullptr) {
    json step = {{"type", "step"}, {"line", line}, {"status", status}};
    if (!files.is_null()) step["files"] = files;
    return step;
}

json Summary(bool clean, const std::string& stopped = "STATUS_SUCCESS") {
    json leaks = json::array();
    if (!clean) leaks.push_back({{"tag", "MCVQ"}, {"live", 1}, {"bytes", 40}});
    return {{"type", "summary"}, {"driverStopped", stopped}, {"pool", {{"clean", clean}, {"leaks", leaks}}}};
}

// A fault-free run of two steps (the second denied), a document, a backup of
// it and a registry value.
SweepRunResult FaultFree() {
    SweepRunResult r;
    r.lines = {Step(10, "STATUS_SUCCESS"), Step(11, "STATUS_ACCESS_DENIED"), Summary(true)};
    r.last = {{"type", "sweep-child"},
              {"points", 40},
              {"fired", false},
              {"files", {{"C:\\Docs\\a.txt", "aaaa:4"}, {"C:\\Docs\\b.txt", "bbbb:9"}}},
              {"backups", {{"C:\\Backup\\a.txt", "00112233"}}},
              {"registry", {{"\\REGISTRY\\MACHINE\\SOFTWARE\\Run", {{"Tool", "1:41"}}}}}};
    return r;
}

// The same run with point 7 failed.
SweepRunResult Faulted() {
    SweepRunResult r = FaultFree();
    r.point = 7;
    r.last["fired"] = true;
    r.last["routine"] = "ExAllocatePoolWithTag";
    return r;
}

std::string Problems(const SweepJudgement& j) {
    std::string text;
    for (const auto& p : j.problems) text += p + "\n";
    return text;
}

TEST(SweepJudge, ARunThatEndsAsTheFaultFreeOneSurvives) {
    const SweepJudgement j = vsim::JudgeSweepRun(FaultFree(), Faulted());
    EXPECT_EQ(j.kind, SweepJudgement::Survived) << Problems(j);
    // A shorter backup, as a copy that failed half-way leaves it, is no loss.
    SweepRunResult r = Faulted();
    r.last["backups"] = {{"C:\\Backup\\a.txt", "0011"}};
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Survived);
    // Nor is a missing one.
    r.last["backups"] = json::object();
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Survived);
}

TEST(SweepJudge, ACrashAHangALeakOrADriverThatDidNotStopFails) {
    SweepRunResult r = Faulted();
    r.signal = SIGABRT;
    r.last = nullptr;
    r.err = "\n*** STOP: 0x000000C2 (0x7, 0, 0, 0)\n*** BAD_POOL_CALLER\n*** freed twice\nlater noise\n";
    SweepJudgement j = vsim::JudgeSweepRun(FaultFree(), r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_EQ(j.problems.at(0), "bugcheck: STOP: 0x000000C2 (0x7, 0, 0, 0) / BAD_POOL_CALLER / freed twice");

    r = Faulted();
    r.timedOut = true;
    j = vsim::JudgeSweepRun(FaultFree(), r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_NE(j.problems.at(0).find("hang"), std::string::npos);

    r = Faulted();
    r.lines.back() = Summary(false);
    j = vsim::JudgeSweepRun(FaultFree(), r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_EQ(j.problems.at(0), "leak: MCVQ:1");

    r = Faulted();
    r.last["kernelHandles"] = 1;
    j = vsim::JudgeSweepRun(FaultFree(), r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_EQ(j.problems.at(0), "leak: 1 kernel handles left after the unload");

    r = Faulted();
    r.lines.back() = Summary(true, "STATUS_UNSUCCESSFUL");
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Failed);
}

TEST(SweepJudge, AnOperationThatFailsOrIsDeniedBecauseOfTheFaultFails) {
    SweepRunResult r = Faulted();
    r.lines[0] = Step(10, "STATUS_INSUFFICIENT_RESOURCES");
    SweepJudgement j = vsim::JudgeSweepRun(FaultFree(), r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_EQ(j.problems.at(0), "step at line 10: STATUS_INSUFFICIENT_RESOURCES where the fault-free run had STATUS_SUCCESS");

    r = Faulted();
    r.lines[0] = Step(10, "STATUS_ACCESS_DENIED");
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Failed);

    // The client's own request may be refused for want of memory (it is told
    // so); for another reason, or a program's operation, it may not.
    SweepRunResult base = FaultFree();
    base.lines[0]["process"] = "client";
    r = Faulted();
    r.lines[0] = Step(10, "0x80070008");
    r.lines[0]["process"] = "client";
    r.last["files"].erase("C:\\Docs\\b.txt");
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Diverged);
    r.lines[0]["status"] = "0x80070057";
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Failed);
    r = Faulted();
    r.lines[0] = Step(10, "0x80070008");
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Failed);
}

TEST(SweepJudge, ADeniedOperationThatWentThroughDivergesAndTheDataIsNotCompared) {
    SweepRunResult r = Faulted();
    r.lines[1] = Step(11, "STATUS_SUCCESS");
    r.last["files"].erase("C:\\Docs\\b.txt");  // the denied delete went through
    SweepJudgement j = vsim::JudgeSweepRun(FaultFree(), r);
    EXPECT_EQ(j.kind, SweepJudgement::Diverged) << Problems(j);

    // Within one step over several files, file by file.
    SweepRunResult base = FaultFree();
    base.lines[1] = Step(11, "STATUS_ACCESS_DENIED",
                         json::array({{{"file", "C:\\a"}, {"status", "STATUS_ACCESS_DENIED"}},
                                      {{"file", "C:\\b"}, {"status", "STATUS_ACCESS_DENIED"}}}));
    r = Faulted();
    r.lines[1] = Step(11, "STATUS_ACCESS_DENIED",
                      json::array({{{"file", "C:\\a"}, {"status", "STATUS_SUCCESS"}},
                                   {{"file", "C:\\b"}, {"status", "STATUS_ACCESS_DENIED"}}}));
    r.last["files"].erase("C:\\Docs\\b.txt");
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Diverged);
    r.lines[1]["files"][0]["status"] = "STATUS_DISK_FULL";
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Failed);
}

TEST(SweepJudge, WithoutDivergenceEveryFileAndValueIsAsInTheFaultFreeRun) {
    SweepRunResult r = Faulted();
    r.last["files"]["C:\\Docs\\a.txt"] = "ffff:4";
    SweepJudgement j = vsim::JudgeSweepRun(FaultFree(), r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_EQ(j.problems.at(0), "lost data: C:\\Docs\\a.txt holds other bytes");

    r = Faulted();
    r.last["files"].erase("C:\\Docs\\b.txt");
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).problems.at(0), "lost data: C:\\Docs\\b.txt is gone");

    r = Faulted();
    r.last["files"]["C:\\Docs\\c.txt"] = "cccc:1";
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).problems.at(0), "stray file: C:\\Docs\\c.txt");

    r = Faulted();
    r.last["registry"]["\\REGISTRY\\MACHINE\\SOFTWARE\\Run"] = nullptr;
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Failed);

    // A backup holding other bytes than any copy of the fault-free run.
    r = Faulted();
    r.last["backups"] = {{"C:\\Backup\\a.txt_1", "0022"}};
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Failed);
}

// A restore from the client's journal: a copy the fault kept from being made
// leaves its original as the attack left it (the run went another way, its
// files are not compared), but what a restore writes must be exactly what the
// fault-free run wrote.
TEST(SweepJudge, ARestoreWithoutItsCopyDivergesButOneWithOtherBytesFails) {
    auto restore = [](const std::string& action, const std::string& sha) {
        json line = {{"type", "restore"}, {"original", "C:\\Docs\\a.txt"}, {"action", action}};
        if (!sha.empty()) line["sha256"] = sha;
        return line;
    };
    SweepRunResult base = FaultFree();
    base.lines.insert(base.lines.begin() + 2, restore("restored", "aaaa"));
    SweepRunResult r = Faulted();
    r.lines.insert(r.lines.begin() + 2, restore("no copy", ""));
    r.last["files"]["C:\\Docs\\a.txt"] = "ffff:4";  // still encrypted
    SweepJudgement j = vsim::JudgeSweepRun(base, r);
    EXPECT_EQ(j.kind, SweepJudgement::Diverged) << Problems(j);

    r.lines[2] = restore("restored", "ffff");
    j = vsim::JudgeSweepRun(base, r);
    ASSERT_EQ(j.kind, SweepJudgement::Failed);
    EXPECT_EQ(j.problems.at(0), "restore put back other bytes than the fault-free run for C:\\Docs\\a.txt");

    // Refused on the hash check: the copy was not judged good.
    r.lines[2] = restore("refused", "");
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Diverged);
    r = Faulted();
    r.lines.insert(r.lines.begin() + 2, restore("restored", "aaaa"));
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Survived) << Problems(vsim::JudgeSweepRun(base, r));

    // No copy asked for at all (the event was never sent): no restore line.
    r = Faulted();
    r.last["files"]["C:\\Docs\\a.txt"] = "ffff:4";
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Diverged);
}

TEST(SweepJudge, ASetUpRefusedCleanlyAndAPointNeverReachedAreToldApart) {
    SweepRunResult r = Faulted();
    r.lines = {{{"type", "error"}, {"error", "the driver did not load: STATUS_INSUFFICIENT_RESOURCES"}}, Summary(true)};
    r.last["files"] = json::object();
    SweepJudgement j = vsim::JudgeSweepRun(FaultFree(), r);
    EXPECT_EQ(j.kind, SweepJudgement::Refused) << Problems(j);
    EXPECT_EQ(j.note, "the driver did not load: STATUS_INSUFFICIENT_RESOURCES");
    // ... but not when it left something behind.
    r.lines.back() = Summary(false);
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Failed);

    r = Faulted();
    r.last["fired"] = false;
    EXPECT_EQ(vsim::JudgeSweepRun(FaultFree(), r).kind, SweepJudgement::Unfired);
}

// Files in a folder the client names later are backups too, judged as copies
// (a failed copy may leave a part of one), not as the workload's own data.
TEST(SweepBackupFolders, TheClientsFolderAndEveryFolderItSetsLater) {
    const vsim::Scenario s = vsim::LoadScenarioText(R"(
scenario: folders
machine:
  volumes:
    - {drive: C}
    - {drive: D}
  processes:
    - {name: editor, image: C:\editor.exe}
client:
  watch: [editor]
  monitors: [file]
  backup: C:\Backup
workload:
  - {process: client, set-backup: {folder: 'D:\Copies\'}}
  - {process: client, set-backup: {folder: ''}}
  - threads:
      - [{process: client, set-backup: {folder: 'c:\backup'}}]
      - [{process: client, set-backup: {folder: 'D:\Later'}}]
)",
                                                    "folders.yaml");
    EXPECT_EQ(vsim::SweepBackupFolders(s), (std::vector<std::string>{"C:\\BACKUP", "D:\\COPIES", "D:\\LATER"}));
}

TEST(SweepJudge, FailureStatusesAreTheRoutinesOwn) {
    EXPECT_EQ(vsim::SweepFailureStatus("ExAllocatePoolWithTag"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(vsim::SweepFailureStatus("FltWriteFile"), STATUS_DISK_FULL);
    // Routines that cannot fail for want of resources are no points.
    EXPECT_FALSE(vsim::SweepFailureStatus("RtlGetVersion").has_value());
    EXPECT_FALSE(vsim::SweepFailureStatus("CmUnRegisterCallback").has_value());
}

json Event(int step, const std::string& operation, const std::string& path, int verdict = 0) {
    return {{"type", "event"}, {"seq", 1}, {"step", step}, {"class", "file"}, {"pid", 20}, {"operation", operation},
            {"path", path}, {"fileId", 1234}, {"verdict", verdict}, {"processName", "app"}};
}

// A failed name query or message build must leave the operation as if its
// program were not watched: the events it would have caused may be missing,
// but nothing the fault-free run did not send may appear.
TEST(SweepJudge, AFailedNameQueryOrMessageBuildSendsNothingNew) {
    SweepRunResult base = FaultFree();
    base.lines.insert(base.lines.begin() + 1, Event(1, "FileOpWriteAccess", "C:\\Docs\\a.txt"));
    base.lines[0]["step"] = 1;
    base.lines[2]["step"] = 2;
    for (const auto& [routine, tag] : std::vector<std::pair<std::string, std::string>>{{"FltGetFileNameInformation", ""},
                                                                                       {"ExAllocatePoolWithTag", "MCVQ"}}) {
        SCOPED_TRACE(routine);
        SweepRunResult r = Faulted();
        r.last["routine"] = routine;
        if (!tag.empty()) r.last["tag"] = tag;
        r.lines = base.lines;
        r.lines[1]["fileId"] = 99;  // what differs from run to run is not compared
        SweepJudgement j = vsim::JudgeSweepRun(base, r);
        EXPECT_EQ(j.kind, SweepJudgement::Survived) << Problems(j);
        // The event went missing: as if unwatched.
        r.lines.erase(r.lines.begin() + 1);
        j = vsim::JudgeSweepRun(base, r);
        EXPECT_EQ(j.kind, SweepJudgement::Survived) << Problems(j);
        // An event the fault-free run did not send (one without a name).
        r.lines.insert(r.lines.begin() + 1, Event(1, "FileOpWriteAccess", ""));
        j = vsim::JudgeSweepRun(base, r);
        ASSERT_EQ(j.kind, SweepJudgement::Failed);
        EXPECT_EQ(j.problems.at(0), "the failed " + std::string(tag.empty() ? "name query" : "message build") +
                                        " did not leave the operation as if unwatched: it sent an event the fault-free run did "
                                        "not (step 1 file FileOpWriteAccess )");
    }
    // A process exit is sent by a worker thread at a time of its own: whether
    // the run saw it is not compared.
    {
        SweepRunResult r = Faulted();
        r.last["routine"] = "FltGetFileNameInformation";
        r.lines = base.lines;
        json exit = Event(0, "exit", "C:\\Tools\\tool.exe");
        exit["class"] = "process";
        r.lines.insert(r.lines.begin() + 2, exit);
        EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Survived);
    }
    // Other points are not judged by this rule: a failed string copy may
    // change what an event carries.
    SweepRunResult r = Faulted();
    r.last["tag"] = "GSVQ";
    r.lines = base.lines;
    r.lines[1]["path"] = "";
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Survived);
    // After a step that went another way (a denial that went through), the
    // workload differs and its events are not compared.
    base.lines[2]["status"] = "STATUS_ACCESS_DENIED";
    r = Faulted();
    r.last["routine"] = "FltGetFileNameInformation";
    r.lines = base.lines;
    r.lines[2]["status"] = "STATUS_SUCCESS";
    r.lines.insert(r.lines.begin() + 3, Event(3, "FileOpWrite", "C:\\Docs\\b.txt"));  // a later step
    r.last["files"].erase("C:\\Docs\\b.txt");
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Diverged);
    r.lines.insert(r.lines.begin() + 1, Event(1, "FileOpDelete", "C:\\Docs\\a.txt"));
    EXPECT_EQ(vsim::JudgeSweepRun(base, r).kind, SweepJudgement::Failed);
}

}  // namespace
