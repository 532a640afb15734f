// The behaviour report and the names a person reads: drive letters for volume
// devices, HKLM/HKU, arrival times, registry data as text; the page's data
// kept inert whatever the event stream holds; the report's tree, totals,
// lists and limit; the volumes' names through the serve protocol; and the
// page of a played scenario whose names are hostile.
#include "tests/support/fixture.h"

#include "client/lib/paths.h"
#include "client/lib/report.h"
#include "client/lib/report_page.h"
#include "client/lib/socket/protocol.h"
#include "sim/private/fs.h"
#include "tools/scenario.h"
#include "tools/scenario_run.h"
#include "tools/serve.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace vtest {
namespace {

namespace vc = vetrona::client;
namespace proto = vetrona::client::socket;
using vc::Json;

const vc::VolumeNames kVolumes = {
    {"\\Device\\HarddiskVolume1", {"C:\\"}},
    {"\\Device\\HarddiskVolume10", {"D:\\Mounts\\Data\\", "E:\\"}},
    {"\\Device\\HarddiskVolume2", {"F:\\Mounts\\Scratch\\"}},
    {"\\Device\\HarddiskVolume3", {}},
};

TEST(UserPathsTest, FileNamesTakeTheirVolumesDriveAtAComponentBoundary) {
    EXPECT_EQ(vc::UserFilePath("\\Device\\HarddiskVolume1\\Users\\a.txt", kVolumes), "C:\\Users\\a.txt");
    EXPECT_EQ(vc::UserFilePath("\\device\\harddiskvolume1\\x", kVolumes), "C:\\x");
    // Volume10 is not Volume1 followed by "0"; its drive root wins over its mount folder.
    EXPECT_EQ(vc::UserFilePath("\\Device\\HarddiskVolume10\\x", kVolumes), "E:\\x");
    EXPECT_EQ(vc::UserFilePath("\\Device\\HarddiskVolume1", kVolumes), "C:\\");
    // Only a mount folder: that is the name.
    EXPECT_EQ(vc::UserFilePath("\\Device\\HarddiskVolume2\\y", kVolumes), "F:\\Mounts\\Scratch\\y");
    // No DOS name, an unknown device, a text shorter than any device: unchanged.
    EXPECT_EQ(vc::UserFilePath("\\Device\\HarddiskVolume3\\z", kVolumes), "\\Device\\HarddiskVolume3\\z");
    EXPECT_EQ(vc::UserFilePath("\\Device\\HarddiskVolume11\\z", kVolumes), "\\Device\\HarddiskVolume11\\z");
    EXPECT_EQ(vc::UserFilePath("\\Dev", kVolumes), "\\Dev");

    const auto prefixes = vc::DrivePrefixes(kVolumes);
    ASSERT_EQ(prefixes.size(), 2u);
    EXPECT_EQ(prefixes[1], (std::pair<std::string, std::string>{"\\Device\\HarddiskVolume10", "E:"}));
}

TEST(UserPathsTest, RegistryRootsAndTimes) {
    EXPECT_EQ(vc::UserRegistryPath("\\REGISTRY\\MACHINE\\SOFTWARE\\Run"), "HKLM\\SOFTWARE\\Run");
    EXPECT_EQ(vc::UserRegistryPath("\\Registry\\User\\S-1-5-21\\Env"), "HKU\\S-1-5-21\\Env");
    EXPECT_EQ(vc::UserRegistryPath("\\REGISTRY\\MACHINE"), "HKLM");
    EXPECT_EQ(vc::UserRegistryPath("\\REGISTRY\\MACHINEX\\A"), "\\REGISTRY\\MACHINEX\\A");
    EXPECT_EQ(vc::UserRegistryPath("\\REGISTRY\\A"), "\\REGISTRY\\A");

    const std::chrono::system_clock::time_point t{std::chrono::milliseconds(1700000000123)};
    EXPECT_EQ(vc::IsoTime(t), "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(vc::IsoTime(std::chrono::system_clock::time_point{std::chrono::milliseconds(951782400000)}),
              "2000-02-29T00:00:00.000Z");
    EXPECT_EQ(vc::ClockTime(t).size(), 12u);
    EXPECT_EQ(vc::ClockTime(t).substr(5), ":20.123");
}

using Bytes = std::vector<uint8_t>;

TEST(RegistryDataTextTest, ValuesReadAsTheirTypeSays) {
    std::vector<uint8_t> sz = Utf16Bytes(u"C:\\x.exe");
    sz.insert(sz.end(), {0, 0, 'z', 0});  // past the terminator: not part of the string
    EXPECT_EQ(vc::RegistryDataText(1, sz, false), "C:\\x.exe");
    std::vector<uint8_t> multi = Utf16Bytes(u"a");
    multi.insert(multi.end(), {0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0});
    EXPECT_EQ(vc::RegistryDataText(7, multi, false), "\"a\", \"bc\"");
    EXPECT_EQ(vc::RegistryDataText(4, Bytes{0x01, 0x02, 0, 0}, false), "513 (0x00000201)");
    EXPECT_EQ(vc::RegistryDataText(5, Bytes{0, 0, 0x02, 0x01}, false), "513 (0x00000201)");
    EXPECT_EQ(vc::RegistryDataText(11, Bytes{1, 0, 0, 0, 0, 0, 0, 1}, false), "72057594037927937 (0x0100000000000001)");
    // A DWORD of the wrong size is shown as the bytes it is.
    EXPECT_EQ(vc::RegistryDataText(4, Bytes{0xab, 0xcd}, false), "ab cd");
    EXPECT_EQ(vc::RegistryDataText(3, std::vector<uint8_t>(70, 0xff), true).substr(191),
              " ... (70 bytes) ... (cut by the driver)");
    // A lone surrogate cannot become UTF-8: it is shown as U+FFFD.
    EXPECT_EQ(vc::RegistryDataText(1, Bytes{0x00, 0xd8, 'x', 0}, false), "\xef\xbf\xbdx");
}

TEST(ScriptSafeJsonTest, NothingInAStringCanEndTheElementOrBreakTheScript) {
    const std::string hostile = std::string("</script><script>alert(1)</script><!-- & \" ' \x01\x1b") +
                                "\xe2\x80\xa8\xe2\x80\xa9" + "\xed\xa0\x80 \xff";
    const std::string text = vc::ScriptSafeJson({{"name", hostile}, {"list", {hostile}}});
    for (char c : text) {
        ASSERT_TRUE(c != '<' && c != '>' && c != '&') << text;
        ASSERT_LT(static_cast<unsigned char>(c), 0x80) << text;  // U+2028/2029 and all else escaped
    }
    EXPECT_NE(text.find("\\u2028"), std::string::npos);
    // It reads back as the same text; bytes that were not UTF-8 as U+FFFD.
    const Json back = Json::parse(text);
    const std::string expected = hostile.substr(0, hostile.size() - 5) + "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd \xef\xbf\xbd";
    EXPECT_EQ(back["name"], expected);
    EXPECT_EQ(back["list"][0], expected);
}

TEST(ReportPageTest, TheScriptBuildsTheDocumentWithTextOnly) {
    // The page's safety rests on its script never turning data into markup,
    // code or a URL: none of the sinks that would is used.
    const std::string script = vc::kReportScript;
    for (const char* sink : {"innerHTML", "outerHTML", "insertAdjacentHTML", "document.write", "eval(", "Function(",
                             "setTimeout(", "'href'", "'src'", "srcdoc", "javascript:", "DOMParser", "createContextualFragment"}) {
        EXPECT_EQ(script.find(sink), std::string::npos) << sink;
    }
    vc::Report report("test");
    report.Add({{"type", "event"}, {"class", "file"}, {"operation", "FileOpWrite"}, {"pid", 4},
                {"name", "</script><script>alert(1)</script>"}, {"path", "<!--"}, {"verdictName", "allow"}});
    const std::string page = report.Html();
    // The data element and the page's script: nothing from the data opened or closed one.
    size_t opened = 0, closed = 0;
    for (size_t at = page.find("<script"); at != std::string::npos; at = page.find("<script", at + 1)) ++opened;
    for (size_t at = page.find("</script"); at != std::string::npos; at = page.find("</script", at + 1)) ++closed;
    EXPECT_EQ(opened, 2u);
    EXPECT_EQ(closed, 2u);
    EXPECT_EQ(page.find("<!--"), std::string::npos);
    EXPECT_NE(page.find("Content-Security-Policy\" content=\"default-src 'none'; script-src 'sha256-"), std::string::npos);
}

Json Event(int seq, const std::string& cls, const std::string& op, uint32_t pid, const std::string& verdict,
           Json extra = Json::object()) {
    Json e = {{"type", "event"}, {"seq", seq}, {"class", cls}, {"operation", op}, {"pid", pid}, {"verdictName", verdict}};
    for (auto& [k, v] : extra.items()) e[k] = v;
    return e;
}

TEST(ReportDataTest, TreeTotalsFilesAndDeniedFromTheRecords) {
    vc::Report report("test");
    report.Add({{"type", "scenario"}, {"title", "t"}, {"file", "f.yaml"}});
    report.Add({{"type", "process"}, {"name", "explorer"}, {"pid", 8}, {"image", "C:\\explorer.exe"}, {"parent", ""}});
    report.Add(Event(1, "process", "start", 20, "allow",
                     {{"parent", 8}, {"image", "\\Device\\V1\\cmd.exe"}, {"path", "C:\\cmd.exe"}, {"commandLine", "cmd /c x"}}));
    report.Add(Event(2, "file", "FileOpWrite", 20, "allow", {{"name", "\\Device\\V1\\a.txt"}, {"path", "C:\\a.txt"}}));
    report.Add(Event(3, "file", "FileOpWrite", 20, "allow", {{"name", "\\DEVICE\\V1\\A.TXT"}, {"path", "C:\\A.TXT"}}));
    report.Add(Event(4, "file", "FileOpCloseModified", 20, "backup", {{"name", "\\Device\\V1\\a.txt"}}));
    report.Add(Event(5, "process", "start", 24, "deny", {{"parent", 20}, {"image", "\\Device\\V1\\payload.exe"}}));
    // The shell exits and its id goes to a new program; the shell's exit
    // comes late, after the new program's start.
    report.Add(Event(6, "process", "start", 20, "allow", {{"parent", 8}, {"image", "\\Device\\V1\\new.exe"}}));
    report.Add(Event(7, "process", "exit", 20, "none", {{"image", "\\Device\\V1\\cmd.exe"}}));
    report.Add(Event(8, "registry", "RegOpValueCreated", 20, "deny",
                     {{"path", "HKLM\\Run"}, {"value", "x"}, {"dataType", 4}, {"data", "01000000"}}));
    report.Add({{"type", "backup"}, {"seq", 4}, {"original", "C:\\a.txt"}, {"backup", "C:\\B\\a.txt"}, {"exact", true}});
    report.Add({{"type", "result"}, {"passed", true}});
    const Json run = report.Data()["runs"][0];

    EXPECT_EQ(run["title"], "t");
    EXPECT_EQ(run["passed"], true);
    EXPECT_EQ(run["totals"], Json({{"allow", 4}, {"deny", 2}, {"backup", 1}, {"other", 1}}));
    const Json& p = run["processes"];
    ASSERT_EQ(p.size(), 4u);
    EXPECT_EQ(p[1]["parent"], 0);  // cmd under explorer
    EXPECT_EQ(p[2]["parent"], 1);  // payload under cmd, its start denied
    EXPECT_EQ(p[2]["startVerdict"], "deny");
    EXPECT_EQ(p[3]["parent"], 0);  // the new owner of pid 20
    EXPECT_TRUE(p[1].contains("exit"));  // the late exit is the shell's...
    EXPECT_FALSE(p[3].contains("exit"));  // ...not the new program's
    EXPECT_EQ(p[1]["commandLine"], "cmd /c x");
    // The registry event after the new start is the new program's.
    EXPECT_EQ(p[3]["counts"]["deny"], 1);
    EXPECT_EQ(p[1]["counts"], Json({{"allow", 3}, {"deny", 0}, {"backup", 1}, {"other", 1}}));

    ASSERT_EQ(run["files"].size(), 1u);  // one file whatever the case of its name
    EXPECT_EQ(run["files"][0]["operations"], Json::parse(R"([{"op":"FileOpWrite","count":2},{"op":"FileOpCloseModified","count":1}])"));
    EXPECT_EQ(run["denied"].size(), 2u);
    EXPECT_EQ(run["denied"][1]["seq"], 8);
    EXPECT_EQ(run["registry"][0]["data"], "1 (0x00000001)");
    EXPECT_EQ(run["backups"][0]["backup"], "C:\\B\\a.txt");
    EXPECT_EQ(run["table"].size(), 5u);
}

TEST(ReportDataTest, PastTheLimitEventsAreCountedButNotListed) {
    vc::Report report("test");
    report.BeginRun("many", "");
    const int total = static_cast<int>(vc::Report::kEventLimit) + 7;
    for (int i = 1; i <= total; ++i) {
        report.Add(Event(i, "file", "FileOpWrite", 4, i % 1000 == 0 ? "deny" : "allow",
                         {{"name", "\\Device\\V1\\f" + std::to_string(i % 3)}}));
    }
    const Json run = report.Data()["runs"][0];
    EXPECT_EQ(run["eventsTotal"], total);
    EXPECT_EQ(run["eventsListed"], vc::Report::kEventLimit);
    EXPECT_EQ(run["events"].size(), vc::Report::kEventLimit);
    EXPECT_EQ(run["totals"]["deny"], total / 1000);
    EXPECT_EQ(run["denied"].size(), static_cast<size_t>(total / 1000));  // every denied one, also past the limit
    EXPECT_EQ(run["processes"][0]["events"], total);
    EXPECT_EQ(run["files"].size(), 3u);
}

class VolumeNamesTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        char pattern[] = "/tmp/vetrona-volumes-XXXXXX";
        folder_ = mkdtemp(pattern);
        sim::fs::MountVolume(folder_ + "/c", u'C');
        sim::fs::MountVolume(folder_ + "/none", 0);
    }
    void TearDown() override {
        std::filesystem::remove_all(folder_);
        SimTest::TearDown();
    }
    std::string folder_;
};

TEST_F(VolumeNamesTest, TheServerNamesEachVolumeAndTheClientReadsOnlyWhatAddsUp) {
    vsim::PeerSession peer(nullptr, nullptr);
    std::vector<uint8_t> response;
    ASSERT_TRUE(peer.Handle(proto::kQueryVolumes, {}, &response));
    ASSERT_GE(response.size(), 20u);
    EXPECT_EQ(proto::Get32(response.data() + 4), proto::kQueryVolumes | proto::kResponseFlag);
    EXPECT_EQ(proto::Get32(response.data() + 12), 0u);
    const uint32_t count = proto::Get32(response.data() + 16);
    const std::vector<uint8_t> data(response.begin() + 20, response.end());
    vc::VolumeNames names;
    ASSERT_TRUE(proto::ParseVolumeRecords(data, count, &names));
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].device, "\\Device\\HarddiskVolume1");
    EXPECT_EQ(names[0].paths, std::vector<std::string>{"C:\\"});
    EXPECT_TRUE(names[1].paths.empty());

    // A request with a payload is malformed and ends the connection.
    EXPECT_FALSE(peer.Handle(proto::kQueryVolumes, {1}, &response));

    // What a hostile server could send: every shortfall refused, nothing kept.
    const vc::VolumeNames before = names;
    auto refused = [&](std::vector<uint8_t> bytes, uint32_t n) {
        vc::VolumeNames out = before;
        const bool ok = proto::ParseVolumeRecords(bytes, n, &out);
        return !ok && out.size() == before.size();
    };
    EXPECT_TRUE(refused(data, count + 1));                                   // a record missing
    EXPECT_TRUE(refused(std::vector<uint8_t>(data.begin(), data.end() - 1), count));  // cut short
    std::vector<uint8_t> longer = data;
    longer.push_back(0);
    EXPECT_TRUE(refused(longer, count));                                     // bytes left over
    std::vector<uint8_t> odd = data;
    odd[0] = 3;                                                              // odd text length
    EXPECT_TRUE(refused(odd, count));
    std::vector<uint8_t> huge = data;
    huge[0] = 0xff, huge[1] = 0xff, huge[2] = 0xff, huge[3] = 0x7f;          // past the end
    EXPECT_TRUE(refused(huge, count));
    EXPECT_TRUE(refused({}, proto::kMaxVolumes + 1));
    // A device that is not valid UTF-16 leaves that volume out, the rest read.
    std::vector<uint8_t> lone;
    proto::PutText(&lone, std::u16string{u'\\', static_cast<char16_t>(0xD800)});
    proto::Put32(&lone, 0);
    lone.insert(lone.end(), data.begin(), data.end());
    vc::VolumeNames out;
    ASSERT_TRUE(proto::ParseVolumeRecords(lone, count + 1, &out));
    EXPECT_EQ(out.size(), 2u);
}

// The page of a played scenario carries what its events held, exactly, as
// data: the hostile names of tests/report are in the page's data element,
// none of them as markup; the copies the driver made are rows.
TEST(ScenarioReportTest, HostileNamesArriveAsDataAndTheCopyIsARow) {
    const vsim::Scenario scenario = vsim::LoadScenarioFile(VETRONA_SOURCE_DIR "/tests/report/hostile-names.yaml");
    vsim::RunOptions options;
    options.json = true;
    vsim::Transcript out(options);
    vc::Report report("test");
    out.SetRecordSink([&report](const nlohmann::ordered_json& record) { report.Add(record); });
    testing::internal::CaptureStdout();
    const int status = vsim::RunScenario(scenario, out);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0);

    const std::string page = report.Html();
    const std::string open = "<script type=\"application/json\" id=\"report-data\">";
    const size_t start = page.find(open) + open.size();
    const Json data = Json::parse(page.substr(start, page.find("</script>", start) - start));
    EXPECT_TRUE(data["runs"] == Json::parse(vc::ScriptSafeJson(report.Data()["runs"])));
    const Json& run = data["runs"][0];
    EXPECT_EQ(run["totals"]["deny"], 2);
    ASSERT_EQ(run["denied"].size(), 2u);
    EXPECT_EQ(run["denied"][0]["commandLine"],
              "evil.exe \"</script><script>window.__pwned=3</script>\" & 'x' \x01\x1b[31m\xe2\x80\xa8\xe2\x80\xae");
    EXPECT_EQ(run["denied"][1]["value"], "<script>window.__pwned=4</script>");
    EXPECT_EQ(run["denied"][1]["data"], "</script><img src=x onerror=window.__pwned=5>\x07");
    // The lone surrogates: U+FFFD in the name, in the data.
    EXPECT_EQ(run["registry"][2]["value"], std::string("half \xef\xbf\xbd surrogate \0 nul", 24));
    EXPECT_EQ(run["registry"][2]["data"], "\xef\xbf\xbd \xe2\x80\xa9 end");
    ASSERT_EQ(run["backups"].size(), 1u);
    const Json& copy = run["backups"][0];
    EXPECT_EQ(copy["original"], "C:\\Users\\alice\\Documents\\a&amp;b 'q' \xe2\x80\xa8 \xe2\x80\xaegpj.exe");
    EXPECT_EQ(copy["backup"], "C:\\Backup\\a&amp;b 'q' \xe2\x80\xa8 \xe2\x80\xaegpj.exe");
    EXPECT_EQ(copy["exact"], true);
    EXPECT_EQ(copy["backupBytes"], 33);
}

// Each copy the driver makes at a backup verdict is matched to the close that
// asked for it: the second copy of a document under its name with _1, byte
// for byte what the file held at that close.
TEST(ScenarioReportTest, EveryCopyOfTheHeadlineScenarioIsFoundAndExact) {
    const vsim::Scenario scenario = vsim::LoadScenarioFile(VETRONA_SOURCE_DIR "/scenarios/ransomware-backup.yaml");
    vsim::RunOptions options;
    options.json = true;
    vsim::Transcript out(options);
    std::vector<nlohmann::ordered_json> backups;
    out.SetRecordSink([&backups](const nlohmann::ordered_json& record) {
        if (record.value("type", "") == "backup") backups.push_back(record);
    });
    testing::internal::CaptureStdout();
    ASSERT_EQ(vsim::RunScenario(scenario, out), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(backups.size(), 10u);
    std::set<std::string> copies;
    for (const auto& b : backups) {
        EXPECT_EQ(b["exact"], true) << b.dump();
        EXPECT_EQ(b["originalBytes"], b["backupBytes"]) << b.dump();
        const std::string original = b["original"], copy = b["backup"];
        const std::string name = original.substr(original.rfind('\\') + 1);
        EXPECT_EQ(copy, "C:\\Backup\\" + name + (b["step"] == 7 ? "_1" : "")) << b.dump();
        copies.insert(copy);
    }
    EXPECT_EQ(copies.size(), 10u);
}

// A file already in the folder is no copy of this run, even when it holds the
// same bytes: the copy is the name the driver took, doc.txt_1.
TEST(ScenarioReportTest, AFileTheFolderHadBeforeIsNotTheCopy) {
    const vsim::Scenario scenario = vsim::LoadScenarioText(R"(
scenario: the backup folder already holds a file of the document's name and bytes
machine:
  volumes:
    - drive: C
      folders: ['Docs']
      files: [{path: Backup\doc.txt, text: same}]
  processes: [{name: editor, image: C:\editor.exe}]
client:
  watch: [editor]
  monitors: [file]
  backup: C:\Backup
  rules: [{class: file, operation: FileOpCloseModified, verdict: backup}]
workload:
  - {process: editor, write: {path: C:\Docs\doc.txt, text: same}}
)", "before.yaml");
    vsim::RunOptions options;
    options.json = true;
    vsim::Transcript out(options);
    std::vector<nlohmann::ordered_json> backups;
    out.SetRecordSink([&backups](const nlohmann::ordered_json& record) {
        if (record.value("type", "") == "backup") backups.push_back(record);
    });
    testing::internal::CaptureStdout();
    ASSERT_EQ(vsim::RunScenario(scenario, out), 0);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(backups.size(), 1u);
    EXPECT_EQ(backups[0]["backup"], "C:\\Backup\\doc.txt_1");
    EXPECT_EQ(backups[0]["exact"], true);
}

}  // namespace
}  // namespace vtest
