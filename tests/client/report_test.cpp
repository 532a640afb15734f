// The report's sources on the simulated kernel: the volumes' names through
// the serve protocol, and the page of played scenarios (hostile names, the
// copies the driver made).
#include "tests/support/fixture.h"

#include "client/lib/paths.h"
#include "client/lib/report.h"
#include "client/lib/socket/protocol.h"
#include "sim/fs/fs.h"
#include "tools/scenario.h"
#include "tools/scenario_run.h"
#include "tools/serve.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

namespace vtest {
namespace {

namespace vc = vetrona::client;
namespace proto = vetrona::client::socket;
using vc::Json;

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
// data: the hostile names of tests/client/report are in the page's data element,
// none of them as markup; the copies the driver made are rows.
TEST(ScenarioReportTest, HostileNamesArriveAsDataAndTheCopyIsARow) {
    const vsim::Scenario scenario = vsim::LoadScenarioFile(VETRONA_SOURCE_DIR "/tests/client/report/hostile-names.yaml");
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
    ASSERT_EQ(run["backups"].size(), 3u);
    // The copy of a file whose name holds a lone surrogate is found, and exact.
    EXPECT_EQ(run["backups"][2]["original"], "C:\\Users\\alice\\Documents\\half \xef\xbf\xbd.txt");
    EXPECT_EQ(run["backups"][2]["exact"], true);
    EXPECT_EQ(run["backups"][2]["backupBytes"], 14);
    EXPECT_EQ(run["backups"][1]["exact"], true);
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
