// Vetrona's events as the detection rules' fields, the image file's version
// strings and hashes, and the verdicts a policy gives matches.
#include "client/lib/sigma/fields.h"
#include "client/lib/sigma/image_facts.h"
#include "client/lib/sigma/replay.h"
#include "client/lib/sigma/verdicts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>

namespace {

using namespace vetrona::client;
using namespace vetrona::client::sigma;

TEST(SigmaFields, RegistryNamesAsTheRulesWriteThem) {
    EXPECT_EQ(TargetObject("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\WinDefend", std::string("Start")),
              "HKLM\\SYSTEM\\CurrentControlSet\\Services\\WinDefend\\Start");
    EXPECT_EQ(TargetObject("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet002\\Control", std::nullopt),
              "HKLM\\SYSTEM\\CurrentControlSet\\Control");
    // Only a numbered control set is the current one.
    EXPECT_EQ(TargetObject("\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet0012\\X", std::nullopt), "HKLM\\SYSTEM\\ControlSet0012\\X");
    EXPECT_EQ(TargetObject("\\REGISTRY\\MACHINE\\SOFTWARE\\Classes\\x", std::string()), "HKLM\\SOFTWARE\\Classes\\x\\(Default)");
    EXPECT_EQ(TargetObject("\\REGISTRY\\USER\\S-1-5-21-7_Classes\\ms-settings", std::nullopt),
              "HKU\\S-1-5-21-7_Classes\\ms-settings");
    // Back again for the replay.
    EXPECT_EQ(NativeKey("HKLM\\SYSTEM\\CurrentControlSet\\Services"), "\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services");
    EXPECT_EQ(NativeKey("HKU\\S-1-5-18\\Software"), "\\REGISTRY\\USER\\S-1-5-18\\Software");
}

TEST(SigmaFields, ValueDataAsTheRulesWriteIt) {
    const uint32_t one = 1;
    EXPECT_EQ(Details(4, std::string_view(reinterpret_cast<const char*>(&one), 4), false), "DWORD (0x00000001)");
    const uint32_t q[2] = {0x89abcdef, 0x01234567};
    EXPECT_EQ(Details(11, std::string_view(reinterpret_cast<const char*>(q), 8), false), "QWORD (0x01234567-0x89abcdef)");
    EXPECT_EQ(Details(4, "\x01\x02", false), "Binary Data");  // a DWORD too short to be one
    EXPECT_EQ(Details(3, "\x01\x02", false), "Binary Data");
    EXPECT_EQ(Details(1, std::string("\0\0", 2), false), "(Empty)");
    EXPECT_EQ(Details(1, std::string("o\0k\0\0\0", 6), false), "ok");
    for (const std::string details : {"DWORD (0x00000004)", "QWORD (0x00000001-0x00000002)", "(Empty)", "C:\\x.exe"}) {
        uint32_t type = 0;
        std::string data;
        DetailsToData(details, &type, &data);
        EXPECT_EQ(Details(type, data, false), details);
    }
}

std::span<const uint8_t> Wide(const std::u16string& text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size() * 2};
}

TEST(SigmaFields, TheLiveMappingKnowsParentsAndActingImages) {
    EventMapper mapper;
    mapper.SetVolumes({{"\\Device\\HarddiskVolume1", {"C:\\"}}});
    const std::u16string explorer = u"\\Device\\HarddiskVolume1\\Windows\\explorer.exe", explorerLine = u"explorer.exe";
    const std::u16string cmd = u"\\Device\\HarddiskVolume1\\Windows\\System32\\cmd.exe", cmdLine = u"cmd /c vssadmin";
    ProcessEventView parent;
    parent.processId = 10;
    parent.parentProcessId = 4;
    parent.isCreate = true;
    parent.imageName.bytes = Wide(explorer);
    parent.commandLine.bytes = Wide(explorerLine);
    auto first = mapper.Map(parent);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first->Get("Image"), "C:\\Windows\\explorer.exe");
    EXPECT_EQ(first->Get("ParentImage"), nullptr);  // its parent's start was not seen
    ProcessEventView child = parent;
    child.processId = 11;
    child.parentProcessId = 10;
    child.imageName.bytes = Wide(cmd);
    child.commandLine.bytes = Wide(cmdLine);
    auto second = mapper.Map(child);
    ASSERT_TRUE(second);
    EXPECT_EQ(*second->Get("ParentImage"), "C:\\Windows\\explorer.exe");
    EXPECT_EQ(*second->Get("ParentCommandLine"), "explorer.exe");
    EXPECT_EQ(*second->Get("CommandLine"), "cmd /c vssadmin");
    EXPECT_EQ(second->categories, std::vector<std::string>{"process_creation"});

    const std::u16string key = u"\\REGISTRY\\MACHINE\\SYSTEM\\ControlSet001\\Services\\VSS", value = u"Start";
    const uint32_t four = 4;
    RegistryEventView set;
    set.processId = 11;
    set.operation = RegOpValueModified;
    set.dataType = 4;
    set.keyPath.bytes = Wide(key);
    set.name.bytes = Wide(value);
    set.data.bytes = {reinterpret_cast<const uint8_t*>(&four), 4};
    auto reg = mapper.Map(set);
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->categories, (std::vector<std::string>{"registry_set", "registry_event"}));
    EXPECT_EQ(*reg->Get("TargetObject"), "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VSS\\Start");
    EXPECT_EQ(*reg->Get("Details"), "DWORD (0x00000004)");
    EXPECT_EQ(*reg->Get("EventType"), "SetValue");
    EXPECT_EQ(*reg->Get("Image"), "C:\\Windows\\System32\\cmd.exe");

    const std::u16string file = u"\\Device\\HarddiskVolume1\\Users\\a\\note.txt";
    FileEventView del;
    del.processId = 11;
    del.operation = FileOpDelete;
    del.name.bytes = Wide(file);
    auto gone = mapper.Map(del);
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->categories, std::vector<std::string>{"file_delete"});
    EXPECT_EQ(*gone->Get("TargetFilename"), "C:\\Users\\a\\note.txt");
    // An exit forgets the process: a later event of its id has no image.
    ProcessEventView exit = child;
    exit.isCreate = false;
    EXPECT_FALSE(mapper.Map(exit));
    EXPECT_EQ(mapper.Map(del)->Get("Image"), nullptr);
}

TEST(SigmaFields, LoggedRecordsBecomeVetronaActivities) {
    const auto record = nlohmann::json::parse(R"j({"Event": {"System": {"EventID": 13}, "EventData": {
        "EventType": "SetValue", "Image": "C:\\x.exe",
        "TargetObject": "HKLM\\System\\CurrentControlSet\\Control\\Lsa\\(Default)", "Details": "DWORD (0x00000000)"}}})j");
    std::string reason;
    auto event = EventFromLogged(record, &reason);
    ASSERT_TRUE(event) << reason;
    EXPECT_EQ(*event->Get("TargetObject"), "HKLM\\System\\CurrentControlSet\\Control\\Lsa\\(Default)");
    EXPECT_EQ(*event->Get("Details"), "DWORD (0x00000000)");
    auto network = nlohmann::json::parse(R"({"Event": {"System": {"EventID": 3}, "EventData": {"Image": "x"}}})");
    EXPECT_FALSE(EventFromLogged(network, &reason));
    EXPECT_NE(reason.find("event id 3"), std::string::npos);
}

// A small PE32+ image: one section holding a version resource and an import
// table (kernel32: CreateFileW by name, ordinal 5).
std::string TestImage() {
    std::string file(0x1200, '\0');
    auto put16 = [&](size_t at, uint16_t v) { std::memcpy(&file[at], &v, 2); };
    auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&file[at], &v, 4); };
    auto put64 = [&](size_t at, uint64_t v) { std::memcpy(&file[at], &v, 8); };
    put16(0, 0x5A4D);
    put32(0x3C, 0x40);
    put32(0x40, 0x00004550);
    const size_t coff = 0x44, optional = coff + 20;
    put16(coff, 0x8664);
    put16(coff + 2, 1);
    put16(coff + 16, 240);
    put16(optional, 0x20B);
    put32(optional + 108, 16);
    const size_t dirs = optional + 112;
    const size_t sectionTable = optional + 240;
    std::memcpy(&file[sectionTable], ".rsrc", 5);
    put32(sectionTable + 8, 0x1000);
    put32(sectionTable + 12, 0x1000);
    put32(sectionTable + 16, 0x1000);
    put32(sectionTable + 20, 0x200);
    const uint32_t rva = 0x1000;
    const size_t sec = 0x200;
    put32(dirs + 16, rva);  // resources
    put32(dirs + 20, 0x400);
    put32(dirs + 8, rva + 0x800);  // imports
    put32(dirs + 12, 40);
    // Resource directories: type 16 -> name 1 -> language 0x409 -> data.
    put16(sec + 14, 1);
    put32(sec + 16, 16);
    put32(sec + 20, 0x80000000u | 0x18);
    put16(sec + 0x18 + 14, 1);
    put32(sec + 0x18 + 16, 1);
    put32(sec + 0x18 + 20, 0x80000000u | 0x30);
    put16(sec + 0x30 + 14, 1);
    put32(sec + 0x30 + 16, 0x409);
    put32(sec + 0x30 + 20, 0x48);
    // The version information's blocks.
    auto utf16z = [](const std::string& s) {
        std::string out;
        for (char c : s) out += std::string{c, '\0'};
        return out + std::string(2, '\0');
    };
    auto pad = [](std::string s) {
        while (s.size() % 4) s.push_back('\0');
        return s;
    };
    auto block = [&](const std::string& key, const std::string& value, uint16_t valueLength, uint16_t type,
                     const std::string& children) {
        std::string body = pad(std::string(6, '\0') + utf16z(key)) + value;
        body = pad(body) + children;
        const uint16_t length = static_cast<uint16_t>(body.size());
        std::memcpy(&body[0], &length, 2);
        std::memcpy(&body[2], &valueLength, 2);
        std::memcpy(&body[4], &type, 2);
        return pad(body);
    };
    auto text = [&](const std::string& key, const std::string& value) {
        const std::string wide = utf16z(value);
        return block(key, wide, static_cast<uint16_t>(wide.size() / 2), 1, "");
    };
    const std::string strings = text("CompanyName", "Vetrona Test Co") + text("FileDescription", "Test tool") +
                                text("OriginalFilename", "tool.exe") + text("ProductName", "Vetrona") +
                                text("FileVersion", "1.2.3");
    const std::string info =
        block("VS_VERSION_INFO", std::string(52, '\0'), 52, 0,
              block("StringFileInfo", "", 0, 1, block("040904B0", "", 0, 1, strings)));
    std::memcpy(&file[sec + 0x60], info.data(), info.size());
    put32(sec + 0x48, rva + 0x60);
    put32(sec + 0x4C, static_cast<uint32_t>(info.size()));
    // Imports: one module, a lookup table of a name and an ordinal.
    const size_t imp = sec + 0x800;
    put32(imp, rva + 0x840);       // lookup table
    put32(imp + 12, rva + 0x880);  // module name
    put32(imp + 16, rva + 0x840);
    put64(sec + 0x840, rva + 0x8A0);
    put64(sec + 0x848, 0x8000000000000005ull);
    std::memcpy(&file[sec + 0x880], "KERNEL32.dll", 12);
    std::memcpy(&file[sec + 0x8A2], "CreateFileW", 11);
    return file;
}

TEST(SigmaImageFacts, VersionStringsAndHashes) {
    const ImageFacts facts = ReadImageFacts(TestImage());
    EXPECT_EQ(facts.version.at("OriginalFileName"), "tool.exe");
    EXPECT_EQ(facts.version.at("Description"), "Test tool");
    EXPECT_EQ(facts.version.at("Company"), "Vetrona Test Co");
    EXPECT_EQ(facts.version.at("Product"), "Vetrona");
    EXPECT_EQ(facts.version.at("FileVersion"), "1.2.3");
    EXPECT_NE(facts.hashes.find("IMPHASH=652DF235064D870B84B3E02A11956404"), std::string::npos) << facts.hashes;
    // Known digests of "abc".
    const ImageFacts abc = ReadImageFacts("abc");
    EXPECT_TRUE(abc.version.empty());
    EXPECT_NE(abc.hashes.find("MD5=900150983CD24FB0D6963F7D28E17F72"), std::string::npos);
    EXPECT_NE(abc.hashes.find("SHA256=BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"), std::string::npos);
}

TEST(SigmaImageFacts, DamagedImagesYieldNoGuesses) {
    const std::string image = TestImage();
    // Every truncation and a few thousand corruptions: no read outside the
    // bytes (the sanitizer build checks), and never a string that is not there.
    for (size_t n = 0; n < image.size(); n += 7) {
        const ImageFacts facts = ReadImageFacts(std::string_view(image).substr(0, n));
        for (const auto& [field, value] : facts.version) EXPECT_LE(value.size(), 64u);
    }
    std::mt19937 random(1);
    for (int i = 0; i < 3000; ++i) {
        std::string damaged = image;
        for (int k = 0; k < 4; ++k) damaged[random() % 0xA00] = static_cast<char>(random());
        ReadImageFacts(damaged);
    }
}

RuleInfo Info(const std::string& status, const std::string& level, std::vector<std::string> tags) {
    RuleInfo r;
    r.id = "5ca1ab1e-0000-0000-0000-000000000000";
    r.status = status;
    r.level = level;
    r.tags = std::move(tags);
    return r;
}

TEST(SigmaVerdicts, PolicySelectsByTagLevelIdAndNeverDeniesOnRetiredRules) {
    SigmaPolicy policy;
    std::string error;
    ASSERT_TRUE(ParseSigmaPolicyText("rules: x\ndeny: {tags: [attack.t1490], level: critical}\nbackup: {tags: [attack.t1486]}\n"
                                     "alert: rest\n",
                                     &policy, &error))
        << error;
    EXPECT_EQ(VerdictOfMatch(policy, Info("test", "high", {"attack.t1490"})), VerdictDeny);
    EXPECT_EQ(VerdictOfMatch(policy, Info("test", "high", {"attack.t1490.001"})), VerdictDeny);  // a sub-technique
    EXPECT_EQ(VerdictOfMatch(policy, Info("test", "high", {"attack.t14900"})), VerdictNone);
    EXPECT_EQ(VerdictOfMatch(policy, Info("test", "critical", {})), VerdictDeny);
    EXPECT_EQ(VerdictOfMatch(policy, Info("test", "high", {})), VerdictNone);
    EXPECT_EQ(VerdictOfMatch(policy, Info("test", "low", {"attack.t1486"})), VerdictBackup);
    EXPECT_EQ(VerdictOfMatch(policy, Info("deprecated", "critical", {"attack.t1490"})), VerdictNone);
    EXPECT_EQ(VerdictOfMatch(policy, Info("unsupported", "critical", {"attack.t1486"})), VerdictNone);
    SigmaPolicy byId;
    ASSERT_TRUE(ParseSigmaPolicyText("deny: {ids: [5CA1AB1E-0000-0000-0000-000000000000]}", &byId, &error));
    EXPECT_EQ(VerdictOfMatch(byId, Info("experimental", "low", {})), VerdictDeny);
    EXPECT_FALSE(ParseSigmaPolicyText("deny: {level: severe}", &byId, &error));
    EXPECT_NE(error.find("unknown level"), std::string::npos);
    EXPECT_FALSE(ParseSigmaPolicyText("alert: everything", &byId, &error));
    EXPECT_FALSE(ParseSigmaPolicyText("deny: {colour: red}", &byId, &error));
}

TEST(SigmaVerdicts, AlertsNameTheAuthor) {
    RuleInfo rule = Info("test", "high", {});
    rule.title = "Shadow Copies Deletion";
    rule.author = "Florian Roth";
    Event event;
    event.categories = {"process_creation"};
    event.Set("CommandLine", "vssadmin delete shadows");
    const std::string line = AlertLine(rule, event, VerdictDeny);
    EXPECT_NE(line.find("by Florian Roth"), std::string::npos);
    EXPECT_NE(line.find("sigma deny"), std::string::npos);
    const auto json = AlertJson(rule, event, VerdictNone);
    EXPECT_EQ(json["author"], "Florian Roth");
    EXPECT_EQ(json["verdict"], "alert");
    EXPECT_EQ(json["event"]["fields"]["CommandLine"], "vssadmin delete shadows");
}

}  // namespace

#include "client/lib/policy.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// The sigma section of a policy file reaches the caller whole.
SigmaPolicy PolicyFileSection(const std::string& text) {
    Policy policy;
    PolicyError error;
    std::vector<std::pair<std::string, std::string>> extra;
    EXPECT_TRUE(ParsePolicyText(text, &policy, &error, &extra)) << error.line << ": " << error.message;
    SigmaPolicy sigma;
    for (const auto& [key, value] : extra) {
        if (key != "sigma") continue;
        std::string problem;
        EXPECT_TRUE(ParseSigmaPolicyText(value, &sigma, &problem)) << problem;
    }
    return sigma;
}

TEST(SigmaVerdicts, APolicyFileCarriesTheSection) {
    const SigmaPolicy sigma = PolicyFileSection(
        "default: allow\nsigma:\n  rules: C:\\rules  # ours\n  deny:\n    tags: [attack.t1490]\n    level: critical\n"
        "  alert: rest\nrules:\n  - {class: process, operation: start, image: '*\\cmd.exe', verdict: deny}\n");
    EXPECT_EQ(sigma.rules, std::vector<std::string>{"C:\\rules"});
    EXPECT_EQ(sigma.deny.tags, std::vector<std::string>{"attack.t1490"});
    EXPECT_EQ(sigma.deny.level, "critical");
}

TEST(SigmaVerdicts, TheShippedDenyListNamesLoadableRules) {
    std::ifstream in(std::string(VETRONA_SOURCE_DIR) + "/policies/sigma-deny.yaml");
    std::stringstream text;
    text << in.rdbuf();
    const SigmaPolicy sigma = PolicyFileSection(text.str());
    EXPECT_GE(sigma.deny.ids.size(), 10u);
    EXPECT_TRUE(sigma.deny.tags.empty() && sigma.deny.level.empty() && sigma.deny.statuses.empty())
        << "the curated list denies by id only";
    const std::string shared = std::string(VETRONA_SOURCE_DIR) + "/../shared/sigma/rules";
    if (!std::filesystem::is_directory(shared)) GTEST_SKIP() << "no shared rules at " << shared;
    RuleSet rules;
    std::string error;
    ASSERT_TRUE(rules.LoadDirectory(shared, &error));
    for (const std::string& id : sigma.deny.ids) {
        bool found = false;
        for (size_t r = 0; r < rules.size() && !found; ++r) {
            found = rules.info(r).id == id && VerdictOfMatch(sigma, rules.info(r)) == VerdictDeny;
        }
        EXPECT_TRUE(found) << id << " is not a loaded rule that denies";
    }
}

}  // namespace

namespace {

// A case folder of our own: a rule, its info.yml and a log.
class SigmaReplay : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() / ("vetrona-replay-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                                         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_ / "rules");
        std::ofstream(root_ / "rules" / "vss.yml")
            << "title: Shadow copies deleted\nid: 11111111-2222-3333-4444-555555555555\nstatus: test\nauthor: Vetrona tests\n"
               "level: high\nlogsource: {product: windows, category: process_creation}\ndetection:\n  sel:\n"
               "    Image|endswith: '\\vssadmin.exe'\n    CommandLine|contains: 'delete shadows'\n  condition: sel\n";
        std::string error;
        ASSERT_TRUE(rules_.LoadDirectory((root_ / "rules").string(), &error)) << error;
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::string Case(const std::string& name, int matchCount, const std::vector<std::string>& commandLines,
                     int eventId = 1, const std::string& ruleId = "11111111-2222-3333-4444-555555555555") {
        const auto folder = root_ / name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "info.yml") << "id: x\nrule_metadata:\n  - id: " << ruleId
                                           << "\nregression_tests_info:\n  - name: t\n    match_count: " << matchCount << "\n";
        std::ofstream log(folder / "log.json");
        for (const std::string& line : commandLines) {
            nlohmann::json record = {{"Event",
                                      {{"System", {{"EventID", eventId}}},
                                       {"EventData", {{"Image", "C:\\Windows\\System32\\vssadmin.exe"}, {"CommandLine", line}}}}}};
            log << record.dump(2) << "\n";  // records one after another, as the shared logs hold them
        }
        return folder.string();
    }

    std::filesystem::path root_;
    RuleSet rules_;
};

TEST_F(SigmaReplay, CountsBindOnlyWhenTheLogIsJustTheMatches) {
    // Two records, two matches expected: the count binds.
    ReplayResult exact = ReplayCase(rules_, Case("exact", 2, {"vssadmin delete shadows /all", "vssadmin delete shadows /for=c:"}));
    EXPECT_TRUE(exact.replayable);
    EXPECT_TRUE(exact.exact);
    EXPECT_TRUE(exact.passed) << exact.reason;
    EXPECT_EQ(exact.matches, 2);
    // The log says one match for one record, the rule misses it: a failure.
    ReplayResult missed = ReplayCase(rules_, Case("missed", 1, {"vssadmin list shadows"}));
    EXPECT_FALSE(missed.passed);
    EXPECT_EQ(missed.matches, 0);
    // More records than matches: at least one is enough.
    ReplayResult loose = ReplayCase(rules_, Case("loose", 1, {"vssadmin delete shadows", "vssadmin delete shadows /all"}));
    EXPECT_FALSE(loose.exact);
    EXPECT_TRUE(loose.passed);
    // Two records, both logged as matches, one missed: the exact count fails.
    ReplayResult short_ = ReplayCase(rules_, Case("short", 2, {"vssadmin delete shadows", "vssadmin resize"}));
    EXPECT_FALSE(short_.passed);
}

TEST_F(SigmaReplay, SaysWhyACaseCannotBeReplayed) {
    ReplayResult network = ReplayCase(rules_, Case("network", 1, {"x"}, 3));
    EXPECT_FALSE(network.replayable);
    EXPECT_NE(network.reason.find("event id 3"), std::string::npos);
    ReplayResult unknown = ReplayCase(rules_, Case("unknown", 1, {"x"}, 1, "99999999-0000-0000-0000-000000000000"));
    EXPECT_FALSE(unknown.replayable);
    EXPECT_NE(unknown.reason.find("not among the loaded rules"), std::string::npos);
    EXPECT_EQ(FindCases({root_.string()}).size(), 2u);
}

}  // namespace

#include "tools/scenario.h"
#include "tools/scenario_run.h"

#include <nlohmann/json.hpp>
#include <unistd.h>

namespace {

// A started program's version resource is read from the machine's own file:
// a tool renamed on disk is still known by its original name, and a rule on
// that name refuses its start; the match is on the event's record as an
// alert naming the rule's author, for the report.
TEST(SigmaScenario, ARenamedToolIsKnownByItsVersionResource) {
    const std::filesystem::path rules =
        std::filesystem::temp_directory_path() / ("vetrona-sigma-rules-" + std::to_string(::getpid()));
    std::filesystem::create_directories(rules);
    std::ofstream(rules / "renamed-tool.yml") << "title: A tool started under another name\n"
                                                 "id: 0f5e3b2a-0000-4000-8000-000000000001\n"
                                                 "status: test\n"
                                                 "author: Vetrona tests\n"
                                                 "logsource: {category: process_creation, product: windows}\n"
                                                 "detection:\n"
                                                 "  selection: {OriginalFileName: 'tool.exe'}\n"
                                                 "  filter: {Image|endswith: '\\tool.exe'}\n"
                                                 "  condition: selection and not filter\n"
                                                 "level: high\n";
    const std::string image = TestImage();
    std::string hex;
    for (unsigned char c : image) {
        static const char digits[] = "0123456789abcdef";
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    const std::string text = "scenario: a renamed tool\n"
                             "machine:\n"
                             "  volumes:\n"
                             "    - drive: C\n"
                             "      files:\n"
                             "        - {path: 'Users\\alice\\Downloads\\update.exe', hex: '" + hex + "'}\n"
                             "  processes:\n"
                             "    - {name: launcher, image: 'C:\\Windows\\explorer.exe'}\n"
                             "client:\n"
                             "  watch: [launcher]\n"
                             "  monitors: [process]\n"
                             "  sigma: {rules: '" + rules.string() + "', deny: {ids: [0f5e3b2a-0000-4000-8000-000000000001]}}\n"
                             "  default: allow\n"
                             "workload:\n"
                             "  - process: launcher\n"
                             "    start: {name: tool, image: 'C:\\Users\\alice\\Downloads\\update.exe'}\n"
                             "    status: STATUS_ACCESS_DENIED\n"
                             "expect:\n"
                             "  processes:\n"
                             "    - {name: tool, started: false}\n";
    vsim::RunOptions options;
    options.json = true;
    vsim::Transcript out(options);
    testing::internal::CaptureStdout();
    const int status = vsim::RunScenario(vsim::LoadScenarioText(text, "renamed-tool.yaml"), out);
    std::istringstream lines(testing::internal::GetCapturedStdout());
    std::filesystem::remove_all(rules);
    EXPECT_EQ(status, 0);
    bool alerted = false;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object() || j.value("type", "") != "event" || !j.contains("alerts")) continue;
        ASSERT_EQ(j["alerts"].size(), 1u);
        EXPECT_EQ(j["alerts"][0]["id"], "0f5e3b2a-0000-4000-8000-000000000001");
        EXPECT_EQ(j["alerts"][0]["author"], "Vetrona tests");
        alerted = true;
    }
    EXPECT_TRUE(alerted) << "the denied start's record carries its alert";
}

}  // namespace
