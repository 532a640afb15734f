// The client code both programs and both platforms share: the names a person
// reads (drive letters for volume devices, HKLM/HKU, arrival times, registry
// data as text), the report's data kept inert whatever the event stream holds,
// the report's tree, totals, lists and limit, and vetrona-client's record of
// each event. Built into vetrona_tests and, with the Windows back end, into
// vetrona-client-tests.exe (windows/build-sys.sh runs it under Wine).
#include "client/lib/paths.h"
#include "client/lib/recorder.h"
#include "client/lib/report.h"
#include "client/lib/report_page.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace vtest_shared {
namespace {

namespace vc = vetrona::client;
using vc::Json;
using Bytes = std::vector<uint8_t>;

Bytes Utf16Bytes(std::u16string_view text) {
    Bytes bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    return bytes;
}

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

TEST(RegistryDataTextTest, ValuesReadAsTheirTypeSays) {
    std::vector<uint8_t> sz = Utf16Bytes(u"C:\\x.exe");
    EXPECT_EQ(vc::RegistryDataText(1, sz, false), "C:\\x.exe");
    EXPECT_EQ(vc::RegistryDataText(1, Bytes{'a', 0, 0, 0, 0, 0}, false), "a");  // zeros past the end: nothing more
    // What a program reading the value would not see past its zero is still shown, after a NUL.
    sz.insert(sz.end(), {0, 0});
    const Bytes hidden = Utf16Bytes(u"\\evil.exe");
    sz.insert(sz.end(), hidden.begin(), hidden.end());
    sz.insert(sz.end(), {0, 0});
    EXPECT_EQ(vc::RegistryDataText(1, sz, false), std::string("C:\\x.exe\0\\evil.exe", 18));
    std::vector<uint8_t> multi = Utf16Bytes(u"a");
    multi.insert(multi.end(), {0, 0, 'b', 0, 'c', 0, 0, 0, 0, 0});
    EXPECT_EQ(vc::RegistryDataText(7, multi, false), "[\"a\",\"bc\"]");
    EXPECT_EQ(vc::RegistryStrings(multi), (std::vector<std::string>{"a", "bc"}));
    // One string that holds quotes and a comma never reads as two strings.
    Bytes one = Utf16Bytes(u"a\", \"b");
    one.insert(one.end(), {0, 0, 0, 0});
    Bytes two = Utf16Bytes(u"a");
    two.insert(two.end(), {0, 0, 'b', 0, 0, 0, 0, 0});
    EXPECT_NE(vc::RegistryDataText(7, one, false), vc::RegistryDataText(7, two, false));
    EXPECT_EQ(vc::RegistryStrings(one).size(), 1u);
    EXPECT_STREQ(vc::RegistryTypeName(7), "REG_MULTI_SZ");
    EXPECT_EQ(vc::RegistryTypeName(12), nullptr);
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
    // A start is its creator's act: cmd asked for payload's start, and was denied.
    EXPECT_EQ(p[1]["counts"], Json({{"allow", 2}, {"deny", 1}, {"backup", 1}, {"other", 1}}));
    EXPECT_EQ(p[0]["counts"]["allow"], 2);
    EXPECT_EQ(run["denied"][0]["proc"], 1);
    EXPECT_EQ(run["denied"][0]["child"], 2);

    ASSERT_EQ(run["files"].size(), 1u);  // one file whatever the case of its name
    EXPECT_EQ(run["files"][0]["operations"], Json::parse(R"([{"op":"FileOpWrite","count":2},{"op":"FileOpCloseModified","count":1}])"));
    EXPECT_EQ(run["denied"].size(), 2u);
    EXPECT_EQ(run["denied"][1]["seq"], 8);
    EXPECT_EQ(run["registry"][0]["data"], "1 (0x00000001)");
    EXPECT_EQ(run["backups"][0]["backup"], "C:\\B\\a.txt");
    EXPECT_EQ(run["table"].size(), 5u);
}

// A denied start made no process: a later event of the same id is not
// put on it, and the exit of the creator's id is not taken for it.
TEST(ReportDataTest, ADeniedStartIsItsCreatorsActAndNeverRan) {
    vc::Report report("test");
    report.Add({{"type", "process"}, {"name", "wscript"}, {"pid", 8}, {"image", "C:\\wscript.exe"}, {"parent", ""},
                {"user", "alice"}, {"admin", false}});
    report.Add(Event(1, "process", "start", 52, "deny", {{"parent", 8}, {"image", "\\Device\\V1\\payload.exe"},
                                                          {"path", "C:\\payload.exe"}, {"rule", 2}}));
    report.Add(Event(2, "file", "FileOpWrite", 52, "allow", {{"name", "\\Device\\V1\\x"}}));
    const Json run = report.Data()["runs"][0];
    const Json& p = run["processes"];
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0]["user"], "alice");
    EXPECT_EQ(p[0]["admin"], false);
    EXPECT_EQ(p[1]["startVerdict"], "deny");
    EXPECT_EQ(p[1]["startRule"], 2);
    EXPECT_EQ(p[1]["user"], "alice");     // as its creator's user
    EXPECT_EQ(p[1]["events"], 0);         // it did nothing
    EXPECT_EQ(p[2]["parent"], -1);        // the write is of some other process of that id
    EXPECT_EQ(run["denied"][0]["proc"], 0);
    EXPECT_EQ(run["events"][0]["proc"], 0);
    EXPECT_EQ(run["events"][0]["child"], 1);
}

// Files changed lists what went through; a denied write changed nothing.
TEST(ReportDataTest, FilesChangedAreOnlyChangesThatHappened) {
    vc::Report report("test");
    report.Add(Event(1, "file", "FileOpWriteAccess", 4, "deny", {{"name", "\\Device\\V1\\denied.txt"}}));
    report.Add(Event(2, "file", "FileOpWrite", 4, "deny", {{"name", "\\Device\\V1\\denied.txt"}}));
    report.Add(Event(3, "file", "FileOpWriteAccess", 4, "allow", {{"name", "\\Device\\V1\\opened.txt"}}));
    report.Add(Event(4, "file", "FileOpWrite", 4, "allow", {{"name", "\\Device\\V1\\a.txt"}}));
    report.Add(Event(5, "file", "FileOpRename", 4, "deny", {{"name", "\\Device\\V1\\a.txt"}, {"destinationPath", "C:\\b.txt"}}));
    // An operation code the page has no name for is still a change, with its destination.
    report.Add(Event(6, "file", "FileOpLink", 4, "allow", {{"name", "\\Device\\V1\\a.txt"}, {"destinationPath", "C:\\l.txt"}}));
    const Json files = report.Data()["runs"][0]["files"];
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0]["device"], "\\Device\\V1\\a.txt");
    EXPECT_EQ(files[0]["operations"], Json::parse(R"([{"op":"FileOpWrite","count":1},{"op":"FileOpLink","count":1}])"));
    EXPECT_EQ(files[0]["denied"], Json::parse(R"([{"op":"FileOpRename","count":1}])"));
    EXPECT_EQ(files[0]["destinations"], Json::parse(R"([{"op":"FileOpLink","path":"C:\\l.txt"}])"));
}

TEST(ReportDataTest, RegistryRowsAsPeopleReadThem) {
    vc::Report report("test");
    auto set = [&](int seq, const std::string& op, const std::string& verdict, Json extra) {
        extra["path"] = "HKLM\\Run";
        report.Add(Event(seq, "registry", op, 4, verdict, extra));
    };
    set(1, "RegOpValueCreated", "allow", {{"value", "Updater"}, {"dataType", 1}, {"data", "610000000000"}});
    set(2, "RegOpValueModified", "deny", {{"value", "updater"}, {"dataType", 1}, {"data", "620000000000"}});
    set(3, "RegOpValueModified", "allow", {{"value", "Updater"}, {"dataType", 4}, {"data", "05000000"}});
    set(4, "RegOpValueCreated", "allow", {{"dataType", 7}, {"data", "61000000620000000000"}});
    set(5, "RegOpKeyRenamed", "allow", {{"value", "RunOnce"}});
    set(6, "RegOpValueDeleted", "allow", {{"value", "Updater"}});
    set(7, "RegOpValueCreated", "allow", {{"value", "Updater"}, {"dataType", 99}, {"data", "00"}});
    // The machine's values before the run are the old data of their first change.
    report.Add({{"type", "registry"}, {"values", {{{"key", "HKLM\\Run"}, {"value", "Seeded"}, {"dataType", 4}, {"data", "07000000"}}}}});
    set(8, "RegOpValueModified", "allow", {{"value", "seeded"}, {"dataType", 4}, {"data", "08000000"}});
    const Json rows = report.Data()["runs"][0]["registry"];
    ASSERT_EQ(rows.size(), 8u);
    EXPECT_EQ(rows[7]["old"], "7 (0x00000007)");
    EXPECT_EQ(rows[0]["typeName"], "REG_SZ");
    EXPECT_FALSE(rows[0].contains("old"));
    EXPECT_EQ(rows[1]["old"], "a");        // the denied change shows what stays
    EXPECT_EQ(rows[2]["old"], "a");        // the denied one did not change it
    EXPECT_EQ(rows[2]["oldType"], "REG_SZ");
    EXPECT_EQ(rows[2]["typeName"], "REG_DWORD");
    EXPECT_EQ(rows[3]["defaultValue"], true);
    EXPECT_EQ(rows[3]["items"], Json({"a", "b"}));
    EXPECT_EQ(rows[4]["newName"], "RunOnce");
    EXPECT_FALSE(rows[4].contains("value"));
    EXPECT_FALSE(rows[4].contains("defaultValue"));
    EXPECT_EQ(rows[5]["old"], "5 (0x00000005)");
    EXPECT_FALSE(rows[6].contains("old"));  // deleted: nothing known before it
    EXPECT_EQ(rows[6]["typeName"], "type 99");
}

// Which copy to restore: the newest byte-exact one made before another
// process than the file's creator changed it; copies after hold its bytes.
TEST(ReportDataTest, BackupsSayWhichCopyToRestore) {
    vc::Report report("test");
    const Json file = {{"name", "\\Device\\V1\\doc.txt"}, {"path", "C:\\doc.txt"}};
    report.Add({{"type", "process"}, {"name", "word"}, {"pid", 4}, {"image", "C:\\word.exe"}, {"parent", ""}});
    report.Add({{"type", "process"}, {"name", "ransom"}, {"pid", 6}, {"image", "C:\\ransom.exe"}, {"parent", ""}});
    report.Add(Event(1, "file", "FileOpCreated", 4, "allow", file));
    report.Add(Event(2, "file", "FileOpCloseModified", 4, "backup", file));
    report.Add(Event(3, "file", "FileOpWrite", 4, "allow", file));
    report.Add(Event(4, "file", "FileOpCloseModified", 4, "backup", file));
    report.Add(Event(5, "file", "FileOpWrite", 6, "allow", file));
    report.Add(Event(6, "file", "FileOpCloseModified", 6, "backup", file));
    // A file that was there before the run, changed by one process: no copy holds its old bytes.
    const Json old = {{"name", "\\Device\\V1\\old.txt"}, {"path", "C:\\old.txt"}};
    report.Add(Event(7, "file", "FileOpWrite", 6, "allow", old));
    report.Add(Event(8, "file", "FileOpCloseModified", 6, "backup", old));
    for (int seq : {2, 4, 6, 8}) {
        report.Add({{"type", "backup"}, {"seq", seq}, {"original", seq == 8 ? "C:\\old.txt" : "C:\\doc.txt"},
                    {"backup", "C:\\B\\" + std::to_string(seq)}, {"backupBytes", 10 + seq}, {"exact", true}});
    }
    const Json run = report.Data()["runs"][0];
    const Json& b = run["backups"];
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[0]["proc"], 0);
    EXPECT_EQ(b[0]["holds"], "earlier");
    EXPECT_EQ(b[1]["holds"], "restore");
    EXPECT_EQ(b[2]["holds"], "changed");
    EXPECT_EQ(b[2]["proc"], 1);
    EXPECT_EQ(b[2]["changedBy"], 1);
    EXPECT_EQ(b[2]["changedAt"], 5);
    EXPECT_EQ(b[3]["holds"], "changed");
    EXPECT_EQ(run["computed"], Json({{"copies", 4}, {"filesRestorable", 1}, {"bytesRestorable", 14},
                                     {"copiesOfChangedBytes", 2}, {"operationsDenied", 0}}));
}

// The copies the client's journal found: per original, the one the restore
// command puts back (the first, from before the first change: the second
// holds the first pass's bytes), who damaged it, and the command line; an
// original with no copy says why.
TEST(ReportDataTest, TheRestorePartNamesTheCopyTheProcessAndTheCommand) {
    vc::Report report("test");
    report.Add({{"type", "client"}, {"journal", "C:\\j.jsonl"}});
    report.Add({{"type", "process"}, {"name", "ransom"}, {"pid", 6}, {"image", "C:\\ransom.exe"}, {"parent", ""}});
    const Json doc = {{"name", "\\Device\\V1\\doc.txt"}, {"path", "C:\\doc.txt"}};
    const Json big = {{"name", "\\Device\\V1\\big.bin"}, {"path", "C:\\big.bin"}};
    report.Add(Event(1, "file", "FileOpWriteAccess", 6, "backup", doc));
    report.Add(Event(2, "file", "FileOpWrite", 6, "allow", doc));
    report.Add(Event(3, "file", "FileOpWriteAccess", 6, "backup", doc));
    report.Add(Event(4, "file", "FileOpWrite", 6, "allow", doc));
    report.Add(Event(5, "file", "FileOpWriteAccess", 6, "backup", big));
    report.Add({{"type", "journal-copy"}, {"seq", 1}, {"original", "C:\\doc.txt"}, {"backup", "C:\\B\\doc.txt"}, {"backupBytes", 9},
                {"sha256", "aa"}, {"when", "before-change"}});
    report.Add({{"type", "journal-copy"}, {"seq", 3}, {"original", "C:\\doc.txt"}, {"backup", "C:\\B\\doc.txt_1"}, {"backupBytes", 9},
                {"sha256", "bb"}, {"when", "before-change"}});
    report.Add({{"type", "journal-copy"}, {"seq", 5}, {"original", "C:\\big.bin"}, {"backup", nullptr},
                {"reason", "larger than the backup limit (8 bytes)"}});
    const Json rows = report.Data()["runs"][0]["restore"];
    ASSERT_EQ(rows.size(), 2u) << rows.dump();
    EXPECT_EQ(rows[0]["original"], "C:\\doc.txt");
    EXPECT_EQ(rows[0]["backup"], "C:\\B\\doc.txt");
    EXPECT_EQ(rows[0]["changedBy"], 0);
    EXPECT_EQ(rows[0]["changedAt"], 2);
    EXPECT_EQ(rows[0]["command"], "vetrona-client restore --journal \"C:\\j.jsonl\" --only \"C:\\doc.txt\"");
    EXPECT_TRUE(rows[1]["backup"].is_null());
    EXPECT_EQ(rows[1]["reason"], "larger than the backup limit (8 bytes)");
    EXPECT_FALSE(rows[1].contains("command"));
}

TEST(ReportPageTest, TitleAndPolicy) {
    vc::Report report("vetrona-sim 1.0");
    report.Add({{"type", "scenario"}, {"title", "sv\xe2\x80\x8b" "chost <b>&"}, {"file", "f.yaml"}});
    const std::string page = report.Html();
    EXPECT_NE(page.find("<title>sv\\u200bchost &#x3c;b&#x3e;&#x26; - Vetrona behaviour report</title>"), std::string::npos);
    EXPECT_NE(page.find("base-uri 'none'; form-action 'none'"), std::string::npos);
    EXPECT_EQ(page.find("img-src"), std::string::npos);
    // Every character that hides or disguises text, and none that does not.
    for (char32_t c : {0x00ad, 0x061c, 0x115f, 0x1160, 0x200b, 0x200e, 0x2060, 0x2028, 0x202e, 0x3164, 0xfe0f, 0xfeff,
                       0xffa0, 0xe0041}) {
        EXPECT_TRUE(vc::Disguising(c)) << std::hex << static_cast<unsigned>(c);
    }
    for (char32_t c : {0x41, 0xe9, 0x0430, 0x4e2d, 0x1f600}) EXPECT_FALSE(vc::Disguising(c));
    EXPECT_EQ(vc::TitleText("a\xc2\xad\x01\xed\xa0\x80\xf3\xa0\x81\x81"), "a\\u00ad\\x01&#xfffd;\\u{e0041}");
    vc::Report session("vetrona-client 1.0");
    session.BeginRun("vetrona-client session", "policy.json");
    session.Add(Event(1, "file", "FileOpWrite", 4, "allow", {{"time", "2026-01-02T03:04:05.000Z"}}));
    EXPECT_EQ(session.Data()["title"], "vetrona-client session policy.json from 2026-01-02T03:04:05.000Z");
}

// A scenario that cannot be loaded still has its place on the page.
TEST(ReportDataTest, AFileThatCouldNotBeLoadedIsARunThatSaysSo) {
    vc::Report report("test");
    report.Add({{"type", "scenario"}, {"title", "first"}, {"file", "a.yaml"}});
    report.Add({{"type", "error"}, {"file", "a.yaml"}, {"line", 3}, {"error", "the driver did not load"}});
    report.Add({{"type", "error"}, {"file", "b.yaml"}, {"line", 7}, {"field", "workload"}, {"error", "unknown step"}});
    const Json runs = report.Data()["runs"];
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[1]["title"], "could not be played: b.yaml");
    EXPECT_EQ(runs[0]["errors"], Json({"line 3: the driver did not load"}));
    EXPECT_EQ(runs[1]["source"], "b.yaml");
    EXPECT_EQ(runs[1]["passed"], false);
    EXPECT_EQ(runs[1]["errors"], Json({"workload: line 7: unknown step"}));

    // The first file fails to load: one run, named by its file, not an empty one named by the program.
    vc::Report first("vetrona-sim 1.0");
    first.Add({{"type", "error"}, {"file", "c.yaml"}, {"line", 2}, {"error", "bad"}});
    const Json only = first.Data()["runs"];
    ASSERT_EQ(only.size(), 1u);
    EXPECT_EQ(only[0]["source"], "c.yaml");
}

TEST(ReportDataTest, PastTheLimitEventsAreCountedButNotListed) {
    vc::Report report("test");
    report.BeginRun("many", "");
    const int total = static_cast<int>(vc::Report::kEventLimit) + 7;
    for (int i = 1; i <= total; ++i) {
        report.Add(Event(i, "file", "FileOpWrite", 4, i % 1000 == 0 ? "deny" : "allow",
                         {{"name", "\\Device\\V1\\f" + std::to_string(i % 3)}}));
    }
    // A second process starts acting past the limit: its first events are kept too.
    for (int i = total + 1; i <= total + 150; ++i) {
        report.Add(Event(i, "file", "FileOpWrite", 9, "allow", {{"name", "\\Device\\V1\\g"}}));
    }
    for (int i = total + 151; i <= total + 1000; ++i) {
        Json extra = {{"name", "\\Device\\V1\\f"}};
        if (i == total + 200) extra["alerts"] = Json::array({{{"title", "Mass write"}, {"level", "high"}}});
        report.Add(Event(i, "file", "FileOpWrite", 4, "allow", extra));
    }
    const Json run = report.Data()["runs"][0];
    EXPECT_EQ(run["eventsTotal"], total + 1000);
    // The first events, the denied ones past them, pid 9's first 100 and
    // latest 50, pid 4's latest 500: the end of the run is on the page.
    const size_t listed = vc::Report::kEventLimit + 1 + 150 + vc::Report::kLatestPerProcess;
    EXPECT_EQ(run["eventsListed"], listed);
    ASSERT_EQ(run["events"].size(), listed);
    EXPECT_EQ(run["events"].back()["seq"], total + 1000);
    EXPECT_EQ(run["events"][vc::Report::kEventLimit]["seq"], total + 1);  // in sequence order
    // An event with an alert is kept wherever it falls, with its alerts.
    const Json& alerting = run["events"][vc::Report::kEventLimit + 150];
    EXPECT_EQ(alerting["seq"], total + 200);
    ASSERT_TRUE(alerting.contains("alerts"));
    EXPECT_EQ(alerting["alerts"][0]["title"], "Mass write");
    ASSERT_EQ(run["omitted"].size(), 1u);
    EXPECT_EQ(run["omitted"][0]["proc"], 0);
    EXPECT_EQ(run["omitted"][0]["count"], 7 + 849 - vc::Report::kLatestPerProcess);
    EXPECT_EQ(run["omitted"][0]["fromSeq"], static_cast<int>(vc::Report::kEventLimit) + 1);
    EXPECT_EQ(run["omitted"][0]["toSeq"], total + 1000 - static_cast<int>(vc::Report::kLatestPerProcess));
    EXPECT_EQ(run["totals"]["deny"], total / 1000);
    EXPECT_EQ(run["denied"].size(), static_cast<size_t>(total / 1000));  // every denied one, also past the limit
    EXPECT_EQ(run["processes"][0]["events"], total + 850);
    EXPECT_EQ(run["files"].size(), 5u);
}


// Views over texts kept alive by the test (a decoded message's views point into it).
struct Texts {
    std::vector<Bytes> kept;
    vc::TextView operator()(std::u16string_view text) {
        kept.push_back(Utf16Bytes(text));
        vc::TextView view;
        view.bytes = kept.back();
        return view;
    }
};

vc::EventView FileEvent(Texts& t, uint32_t pid, int32_t op, std::u16string_view name) {
    vc::FileEventView f;
    f.processId = pid;
    f.operation = op;
    f.name = t(name);
    return f;
}

vc::EventView ProcessEvent(Texts& t, uint32_t pid, uint32_t parent, bool start, std::u16string_view image) {
    vc::ProcessEventView p;
    p.processId = pid;
    p.parentProcessId = parent;
    p.isCreate = start;
    p.imageName = t(image);
    return p;
}

const std::chrono::system_clock::time_point kWhen{std::chrono::milliseconds(1700000000123)};

// vetrona-client's lines: the user's names beside the kernel's, the arrival
// time, the image of the acting process learnt from its start and forgotten
// at its exit.
TEST(RecorderTest, EachLineSpeaksInTheUsersTerms) {
    Texts t;
    vc::RecorderOptions options;
    options.json = true;
    vc::Recorder recorder(options);
    recorder.SetVolumes({{"\\Device\\HarddiskVolume3", {"C:\\"}}});
    const vc::Message message;
    auto answer = [&](const vc::EventView& e, Verdict verdict, int rule) {
        recorder.Received(e);
        return Json::parse(recorder.Answered(message, e, verdict, rule, kWhen));
    };
    const Json start = answer(ProcessEvent(t, 40, 8, true, u"\\Device\\HarddiskVolume3\\Tools\\evil.exe"), 0, -1);
    EXPECT_EQ(start["path"], "C:\\Tools\\evil.exe");
    EXPECT_EQ(start["image"], "\\Device\\HarddiskVolume3\\Tools\\evil.exe");
    EXPECT_EQ(start["time"], "2023-11-14T22:13:20.123Z");
    EXPECT_EQ(start["seq"], 1);
    EXPECT_EQ(start["rule"], "default");

    const Json write = answer(FileEvent(t, 40, FileOpWrite, u"\\Device\\HarddiskVolume3\\Users\\a.txt"), VerdictDeny, 2);
    EXPECT_EQ(write["path"], "C:\\Users\\a.txt");
    EXPECT_EQ(write["name"], "\\Device\\HarddiskVolume3\\Users\\a.txt");
    EXPECT_EQ(write["processImage"], "C:\\Tools\\evil.exe");
    EXPECT_EQ(write["verdictName"], "deny");
    EXPECT_EQ(write["rule"], 3);
    EXPECT_EQ(write["seq"], 2);

    vc::RegistryEventView key;
    key.processId = 40;
    key.operation = RegOpValueCreated;
    key.keyPath = t(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Run");
    key.name = t(u"x");
    const Json reg = answer(key, 0, -1);
    EXPECT_EQ(reg["path"], "HKLM\\SOFTWARE\\Run");
    EXPECT_EQ(reg["key"], "\\REGISTRY\\MACHINE\\SOFTWARE\\Run");

    answer(ProcessEvent(t, 40, 8, false, u"\\Device\\HarddiskVolume3\\Tools\\evil.exe"), 0, -1);
    const Json after = answer(FileEvent(t, 40, FileOpWrite, u"\\Device\\HarddiskVolume9\\b.txt"), 0, -1);
    EXPECT_FALSE(after.contains("processImage"));               // the exit took the image away
    EXPECT_EQ(after["path"], "\\Device\\HarddiskVolume9\\b.txt");  // a volume with no name keeps its device path

    const Json summary = Json::parse(recorder.Summary("timed out"))["summary"];
    EXPECT_EQ(summary["events"], 5);
    EXPECT_EQ(summary["ending"], "timed out");
}

TEST(RecorderTest, ReadableLinesAndTheReportOfTheSession) {
    Texts t;
    vc::RecorderOptions options;
    options.report = true;
    vc::Recorder recorder(options);
    recorder.SetVolumes({{"\\Device\\HarddiskVolume3", {"C:\\"}}});
    recorder.Configure({{"watch", {8}}, {"monitors", {"file"}}, {"backup", "C:\\Backup"}}, "watching pids 8");
    const vc::Message message;
    const vc::EventView start = ProcessEvent(t, 40, 8, true, u"\\Device\\HarddiskVolume3\\Tools\\evil.exe");
    recorder.Received(start);
    recorder.Answered(message, start, 0, -1, kWhen);
    const vc::EventView close = FileEvent(t, 40, FileOpCloseModified, u"\\Device\\HarddiskVolume3\\Docs\\q.docx");
    recorder.Received(close);
    const std::string line = recorder.Answered(message, close, VerdictBackup, 0, kWhen);
    EXPECT_EQ(line.substr(0, 13), vc::ClockTime(kWhen) + " ");
    EXPECT_NE(line.find("FileOpCloseModified  C:\\Docs\\q.docx  by evil.exe pid 40  => backup (rule 1)"), std::string::npos)
        << line;
    EXPECT_EQ(recorder.Summary("interrupted").substr(0, 32), "summary: 2 events; interrupted\n ");

    const std::string path = testing::TempDir() + "vetrona-recorder-report.html";
    std::string error;
    ASSERT_TRUE(recorder.WriteReport(path, &error)) << error;
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path.c_str());
    const std::string page = text.str();
    const std::string open = "id=\"report-data\">";
    const size_t at = page.find(open) + open.size();
    const Json run = Json::parse(page.substr(at, page.find("</script>", at) - at))["runs"][0];
    EXPECT_EQ(run["source"], "watching pids 8");
    EXPECT_EQ(run["outcome"]["ending"], "interrupted");
    ASSERT_EQ(run["processes"].size(), 2u);  // the watched parent (known by its id) and evil.exe under it
    EXPECT_EQ(run["processes"][1]["parent"], 0);
    EXPECT_EQ(run["processes"][1]["image"], "C:\\Tools\\evil.exe");
    ASSERT_EQ(run["backups"].size(), 1u);
    EXPECT_EQ(run["backups"][0]["original"], "C:\\Docs\\q.docx");
    EXPECT_TRUE(run["backups"][0]["exact"].is_null());  // the client cannot see the copy
}

// Policy patterns may name files by drive once the client knows the volumes.
TEST(RecorderTest, RulesInDriveFormMatchOnceTheVolumesAreKnown) {
    Texts t;
    vc::Policy policy;
    vc::PolicyRule rule;
    rule.path = "C:\\Users\\*";
    rule.verdict = VerdictDeny;
    policy.rules.push_back(rule);
    vc::Recorder recorder({});
    const vc::EventView e = FileEvent(t, 4, FileOpWrite, u"\\Device\\HarddiskVolume3\\Users\\a.txt");
    EXPECT_EQ(vc::Decide(policy, e, recorder.context()), 0);
    recorder.SetVolumes({{"\\Device\\HarddiskVolume3", {"C:\\"}}});
    EXPECT_EQ(vc::Decide(policy, e, recorder.context()), VerdictDeny);
}

#ifdef _WIN32
// On Windows the client finds the copies it asked for: the names the backup
// folder did not have when it started, in the order the driver takes them.
TEST(RecorderTest, TheCopiesAskedForAreFoundInTheBackupFolder) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(u"C:\\vetrona-recorder-test");
    fs::remove_all(root);
    fs::create_directories(root / "Docs");
    fs::create_directories(root / "Backup");
    auto put = [](const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
    put(root / "Backup" / "q.docx", "older");  // there before the client started: not a copy of this session
    put(root / "Docs" / "q.docx", "12345");
    Texts t;
    vc::RecorderOptions options;
    options.report = true;
    vc::Recorder recorder(options);
    recorder.SetVolumes({{"\\Device\\HarddiskVolume3", {"C:\\"}}});
    recorder.Configure({{"backup", "\\??\\C:\\vetrona-recorder-test\\Backup"}}, "test");
    const vc::EventView close = FileEvent(t, 4, FileOpCloseModified, u"\\Device\\HarddiskVolume3\\vetrona-recorder-test\\Docs\\q.docx");
    recorder.Answered(vc::Message{}, close, VerdictBackup, 0, kWhen);
    put(root / "Backup" / "q.docx_1", "12345");  // the copy the driver made
    put(root / "Docs" / "q.docx", "123456789");
    recorder.Answered(vc::Message{}, close, VerdictBackup, 0, kWhen);
    put(root / "Backup" / "q.docx_2", "123456789");
    recorder.Summary("stopped");
    const std::string path = (root / "report.html").string();
    std::string error;
    ASSERT_TRUE(recorder.WriteReport(path, &error)) << error;
    std::stringstream text;
    {
        std::ifstream in(path, std::ios::binary);  // closed before the folder goes: Windows refuses otherwise
        text << in.rdbuf();
    }
    fs::remove_all(root);
    const std::string page = text.str();
    const std::string open = "id=\"report-data\">";
    const size_t at = page.find(open) + open.size();
    const Json backups = Json::parse(page.substr(at, page.find("</script>", at) - at))["runs"][0]["backups"];
    ASSERT_EQ(backups.size(), 2u);
    EXPECT_EQ(backups[0]["backup"], "C:\\vetrona-recorder-test\\Backup\\q.docx_1");
    EXPECT_EQ(backups[0]["originalBytes"], 5);
    EXPECT_EQ(backups[0]["backupBytes"], 5);
    EXPECT_EQ(backups[1]["backup"], "C:\\vetrona-recorder-test\\Backup\\q.docx_2");
    EXPECT_EQ(backups[1]["originalBytes"], 9);
    EXPECT_EQ(backups[1]["backupBytes"], 9);
}

// The mount manager's names, as the Windows back end reads them.
TEST(WindowsVolumesTest, TheSystemDriveHasItsVolumeDevice) {
    vc::Transport transport(nullptr);
    vc::VolumeNames names;
    ASSERT_EQ(transport.QueryVolumeNames(&names), vc::kOk);
    bool found = false;
    for (const vc::VolumeName& v : names) {
        for (const std::string& p : v.paths) found |= p == "C:\\" && v.device.rfind("\\Device\\", 0) == 0;
    }
    EXPECT_TRUE(found) << names.size() << " volumes";
}
#endif

}  // namespace
}  // namespace vtest_shared
