// Verdict policies: glob matching, the first matching rule deciding, the
// policy file's syntax and errors, and the client's text conversions.
#include "client/lib/policy.h"
#include "client/lib/text.h"

#include <gtest/gtest.h>

#include <cstring>

namespace vetrona::client {
namespace {

TEST(Glob, CaseInsensitiveStarsAndQuestionMarks) {
    EXPECT_TRUE(GlobMatch("C:\\Users\\*\\Documents\\*", "c:\\users\\alice\\documents\\a.DOCX"));
    EXPECT_TRUE(GlobMatch("*.docx", "report.DocX"));
    EXPECT_TRUE(GlobMatch("file?.txt", "file1.txt"));
    EXPECT_FALSE(GlobMatch("file?.txt", "file12.txt"));
    EXPECT_FALSE(GlobMatch("*.docx", "report.docx.locked"));
    EXPECT_TRUE(GlobMatch("*", ""));
    EXPECT_FALSE(GlobMatch("a", ""));
    EXPECT_TRUE(GlobMatch("a*b*c", "aXXbYYbc"));
    // Many stars against a long text finish quickly (no exponential backtracking).
    EXPECT_FALSE(GlobMatch("*a*a*a*a*a*a*a*a*b", std::string(5000, 'a')));
}

// A file event message built by hand, as the driver lays it out.
std::vector<uint8_t> FileMessage(int32_t operation, uint32_t pid, std::u16string name, std::u16string dest = u"") {
    const uint32_t nameBytes = static_cast<uint32_t>(name.size() * 2);
    const uint32_t destBytes = static_cast<uint32_t>(dest.size() * 2);
    std::vector<uint8_t> m(104 + nameBytes + destBytes, 0);
    const uint32_t size = static_cast<uint32_t>(m.size());
    std::memcpy(&m[0], &size, 4);
    std::memcpy(&m[56], &pid, 4);
    std::memcpy(&m[64], &operation, 4);
    std::memcpy(&m[96], &nameBytes, 4);
    std::memcpy(&m[102], name.data(), nameBytes);
    if (destBytes != 0) {
        const uint32_t destOffset = nameBytes + 94;
        m[60] = 6;  // IRP_MJ_SET_INFORMATION: the parameter area holds the rename fields
        std::memcpy(&m[84], &destBytes, 4);
        std::memcpy(&m[92], &destOffset, 4);
        std::memcpy(&m[102 + nameBytes], dest.data(), destBytes);
    }
    return m;
}

TEST(Policy, FirstMatchingRuleDecidesThenTheDefault) {
    Policy policy;
    PolicyError error;
    ASSERT_TRUE(ParsePolicyText("default: backup\n"
                                "rules:\n"
                                "  - {class: file, operation: FileOpDelete, path: 'C:\\Docs\\*', verdict: deny}\n"
                                "  - class: file\n"
                                "    path: 'C:\\Docs\\*'\n"
                                "    verdict: allow\n",
                                &policy, &error))
        << error.line << " " << error.message;
    EventContext context;
    context.drives = {{"\\Device\\HarddiskVolume1", "C:"}};
    const auto del = FileMessage(FileOpDelete, 8, u"\\Device\\HarddiskVolume1\\Docs\\a.txt");
    const auto write = FileMessage(FileOpWrite, 8, u"\\Device\\HarddiskVolume1\\docs\\a.txt");
    const auto elsewhere = FileMessage(FileOpDelete, 8, u"\\Device\\HarddiskVolume1\\Temp\\a.txt");
    int rule = 0;
    EXPECT_EQ(Decide(policy, DecodeEvent(del).event, context, &rule), VerdictDeny);
    EXPECT_EQ(rule, 0);
    EXPECT_EQ(Decide(policy, DecodeEvent(write).event, context, &rule), 0);
    EXPECT_EQ(rule, 1);
    EXPECT_EQ(Decide(policy, DecodeEvent(elsewhere).event, context, &rule), VerdictBackup);
    EXPECT_EQ(rule, -1);
    // Without the drive mapping only the device form can match.
    EXPECT_EQ(Decide(policy, DecodeEvent(del).event, EventContext{}, &rule), VerdictBackup);
}

TEST(Policy, DestinationAndImageRules) {
    Policy policy;
    PolicyError error;
    ASSERT_TRUE(ParsePolicyText("rules:\n"
                                "  - {class: file, operation: FileOpRename, destination: '*.locked', verdict: deny}\n"
                                "  - {class: file, image: '*\\evil.exe', verdict: deny}\n",
                                &policy, &error));
    EventContext context;
    context.imageOf = [](uint32_t pid) { return pid == 12 ? std::string("\\Device\\HarddiskVolume1\\evil.exe") : std::string(); };
    const auto rename = FileMessage(FileOpRename, 8, u"\\x\\a.doc", u"\\x\\a.doc.locked");
    const auto renameOk = FileMessage(FileOpRename, 8, u"\\x\\a.doc", u"\\x\\b.doc");
    const auto byEvil = FileMessage(FileOpWrite, 12, u"\\x\\a.doc");
    const auto byOther = FileMessage(FileOpWrite, 16, u"\\x\\a.doc");
    EXPECT_EQ(Decide(policy, DecodeEvent(rename).event, context), VerdictDeny);
    EXPECT_EQ(Decide(policy, DecodeEvent(renameOk).event, context), 0);
    EXPECT_EQ(Decide(policy, DecodeEvent(byEvil).event, context), VerdictDeny);
    EXPECT_EQ(Decide(policy, DecodeEvent(byOther).event, context), 0);
}

// Views over texts the test keeps alive, as the decoder makes them.
struct Texts {
    std::vector<std::u16string> kept;
    TextView operator()(std::u16string text) {
        kept.push_back(std::move(text));
        const std::u16string& t = kept.back();
        return TextView{std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(t.data()), t.size() * 2)};
    }
    Texts() { kept.reserve(32); }
};

Policy PolicyOf(const char* text) {
    Policy policy;
    PolicyError error;
    EXPECT_TRUE(ParsePolicyText(text, &policy, &error)) << error.line << " " << error.field << ": " << error.message;
    return policy;
}

TEST(Policy, RegistryRulesMatchKeyAndValueNamesWithoutRegardToCase) {
    const Policy policy = PolicyOf(
        "rules:\n"
        "  - {class: registry, operation: RegOpValueCreated, path: '*\\CurrentVersion\\Run', value: 'upd*', verdict: deny}\n"
        "  - {class: registry, path: '\\REGISTRY\\MACHINE\\*', verdict: backup}\n"
        "default: none\n");
    Texts text;
    auto event = [&](int32_t op, std::u16string key, std::u16string value) {
        RegistryEventView r;
        r.operation = op;
        r.keyPath = text(std::move(key));
        r.name = text(std::move(value));
        return EventView{r};
    };
    const std::u16string run = u"\\REGISTRY\\USER\\S-1-5-21\\SOFTWARE\\Microsoft\\Windows\\currentversion\\RUN";
    int rule = 0;
    EXPECT_EQ(Decide(policy, event(RegOpValueCreated, run, u"UPDATER"), {}, &rule), VerdictDeny);
    EXPECT_EQ(rule, 0);
    EXPECT_EQ(Decide(policy, event(RegOpValueCreated, run, u"OneDrive"), {}, &rule), VerdictNone);
    EXPECT_EQ(rule, -1);
    EXPECT_EQ(Decide(policy, event(RegOpValueDeleted, run, u"Updater"), {}), VerdictNone);  // another operation
    EXPECT_EQ(Decide(policy, event(RegOpValueCreated, run + u"\\Sub", u"Updater"), {}), VerdictNone);  // the glob is anchored
    // The same names under the machine's hive: the first rule still decides
    // for its value, the second takes the rest.
    const std::u16string machineRun = u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
    EXPECT_EQ(Decide(policy, event(RegOpValueCreated, machineRun, u"updater"), {}, &rule), VerdictDeny);
    EXPECT_EQ(rule, 0);
    EXPECT_EQ(Decide(policy, event(RegOpKeyDeleted, machineRun, u""), {}, &rule), VerdictBackup);
    EXPECT_EQ(rule, 1);
}

TEST(Policy, RegistryRulesMayNameKeysByTheirRootKeysShortNames) {
    const Policy policy = PolicyOf(
        "rules:\n"
        "  - {class: registry, path: 'HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Run', verdict: deny}\n"
        "  - {class: registry, path: 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\*', verdict: backup}\n"
        "  - {class: registry, path: 'HKCU\\Software\\Classes\\CLSID\\*', verdict: 2}\n"
        "  - {class: registry, path: 'HKEY_USERS\\.DEFAULT\\*', verdict: 4}\n"
        "default: none\n");
    Texts text;
    auto decide = [&](std::u16string key) {
        RegistryEventView r;
        r.operation = RegOpValueCreated;
        r.keyPath = text(std::move(key));
        return Decide(policy, EventView{r}, {});
    };
    // HKCU is the hive of whichever user the program runs as.
    EXPECT_EQ(decide(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"), VerdictDeny);
    EXPECT_EQ(decide(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1002\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"), VerdictDeny);
    EXPECT_EQ(decide(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run"), VerdictNone)
        << "HKCU is no machine key";
    EXPECT_EQ(decide(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Nested\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"),
              VerdictNone)
        << "the SID is one name, not any path";
    EXPECT_EQ(decide(u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Evil"), VerdictBackup);
    EXPECT_EQ(decide(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001_Classes\\CLSID\\{1}\\InprocServer32"), 2)
        << "the user's classes hive is HKCU\\Software\\Classes";
    EXPECT_EQ(decide(u"\\REGISTRY\\USER\\S-1-5-21-1-2-3-1001\\Software\\Classes\\CLSID\\{1}"), 2);
    EXPECT_EQ(decide(u"\\REGISTRY\\USER\\.DEFAULT\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"), 4)
        << ".DEFAULT is under HKU, and no user's HKCU";
}

TEST(Policy, AnUnknownOperationNameIsAnsweredWithTheNearestNamesOfTheRulesClass) {
    Policy policy;
    PolicyError error;
    EXPECT_FALSE(ParsePolicyText("rules:\n  - {class: registry, operation: RegOpValueCreted, verdict: deny}\n", &policy, &error));
    EXPECT_NE(error.message.find("did you mean RegOpValueCreated?"), std::string::npos) << error.message;
    EXPECT_EQ(error.message.find("FileOp"), std::string::npos) << "only the class's names: " << error.message;
    EXPECT_FALSE(ParsePolicyText("rules:\n  - {class: file, operation: Write, verdict: deny}\n", &policy, &error));
    EXPECT_NE(error.message.find("did you mean FileOpWriteAccess, FileOpWrite, FileOpScsiWrite?"), std::string::npos) << error.message;
    EXPECT_FALSE(ParsePolicyText("rules:\n  - {class: file, operation: RegOpValueCreated, verdict: deny}\n", &policy, &error));
    EXPECT_NE(error.message.find("belongs to class registry, not file"), std::string::npos) << error.message;
    EXPECT_FALSE(ParsePolicyText("rules:\n  - {class: process, operation: stat, verdict: deny}\n", &policy, &error));
    EXPECT_NE(error.message.find("did you mean start?"), std::string::npos) << error.message;
    EXPECT_EQ(error.line, 2);
    EXPECT_EQ(error.field, "operation");
    // Nothing near: the class's names, and no guess.
    EXPECT_FALSE(ParsePolicyText("rules:\n  - {class: registry, operation: Zzzzzzzzzzzzzzzzzz, verdict: deny}\n", &policy, &error));
    EXPECT_EQ(error.message.find("did you mean"), std::string::npos) << error.message;
    EXPECT_NE(error.message.find("class registry has RegOpKeyCreated, RegOpKeyRenamed"), std::string::npos) << error.message;
}

TEST(Policy, ProcessRulesMatchTheImageOfAStartOrOfTheProcessThatActs) {
    const Policy policy = PolicyOf(
        "rules:\n"
        "  - {class: process, operation: start, path: 'C:\\Users\\*\\payload.exe', verdict: deny}\n"
        "  - {image: '*\\wscript.exe', verdict: backup}\n");
    Texts text;
    EventContext context;
    context.drives = {{"\\Device\\HarddiskVolume1", "C:"}};
    context.imageOf = [](uint32_t pid) { return pid == 44 ? std::string("\\Device\\HarddiskVolume1\\Windows\\WScript.exe") : std::string(); };
    auto process = [&](bool start, uint32_t pid, std::u16string image) {
        ProcessEventView p;
        p.isCreate = start;
        p.processId = pid;
        p.imageName = text(std::move(image));
        return EventView{p};
    };
    const std::u16string payload = u"\\Device\\HarddiskVolume1\\Users\\alice\\PAYLOAD.EXE";
    EXPECT_EQ(Decide(policy, process(true, 52, payload), context), VerdictDeny);
    EXPECT_EQ(Decide(policy, process(false, 52, payload), context), 0);  // its exit is not a start
    // A class-less image rule: a start is judged by the new image, anything
    // else by the image of the process that acts.
    EXPECT_EQ(Decide(policy, process(true, 60, u"\\Device\\HarddiskVolume1\\Windows\\wscript.exe"), context), VerdictBackup);
    FileEventView f;
    f.operation = FileOpWrite;
    f.processId = 44;
    f.name = text(u"\\Device\\HarddiskVolume1\\a.txt");
    EXPECT_EQ(Decide(policy, EventView{f}, context), VerdictBackup);
    f.processId = 45;  // a process the client does not know: no image, no match
    EXPECT_EQ(Decide(policy, EventView{f}, context), 0);
    // A file event whose name matches the process rule's path is not a process start.
    f.name = text(payload);
    EXPECT_EQ(Decide(policy, EventView{f}, context), 0);
}

// An operation written without a class belongs to the class its name names:
// operation codes of the classes overlap (a process start is 1, as are a
// file's delete access and a key's rename).
TEST(Policy, AnOperationWithoutAClassMatchesOnlyItsOwnClass) {
    const Policy policy = PolicyOf(
        "rules:\n"
        "  - {operation: start, verdict: deny}\n"
        "  - {operation: FileOpDelete, verdict: backup}\n");
    Texts text;
    RegistryEventView renamed;
    renamed.operation = RegOpKeyRenamed;
    renamed.keyPath = text(u"\\REGISTRY\\MACHINE\\SOFTWARE\\A");
    RegistryEventView modified;
    modified.operation = RegOpValueModified;  // the same code as FileOpDelete
    modified.keyPath = renamed.keyPath;
    FileEventView deleteAccess;
    deleteAccess.operation = FileOpDeleteAccess;
    deleteAccess.name = text(u"\\x\\a.txt");
    FileEventView deleted = deleteAccess;
    deleted.operation = FileOpDelete;
    ProcessEventView start;
    start.isCreate = true;
    start.imageName = text(u"\\x\\a.exe");
    EXPECT_EQ(Decide(policy, EventView{start}, {}), VerdictDeny);
    EXPECT_EQ(Decide(policy, EventView{deleted}, {}), VerdictBackup);
    EXPECT_EQ(Decide(policy, EventView{renamed}, {}), 0);
    EXPECT_EQ(Decide(policy, EventView{modified}, {}), 0);
    EXPECT_EQ(Decide(policy, EventView{deleteAccess}, {}), 0);
    // Written with a class of another kind afterwards, the rule is refused.
    Policy refused;
    PolicyError error;
    EXPECT_FALSE(ParsePolicyText("rules:\n  - operation: start\n    class: file\n    verdict: deny\n", &refused, &error));
    EXPECT_EQ(error.line, 3);
    EXPECT_EQ(error.field, "class");
}

TEST(PolicyFile, ErrorsNameTheLineAndField) {
    struct Case {
        const char* text;
        int line;
        const char* field;
    };
    const Case cases[] = {
        {"rules:\n  - {class: file, verdict: maybe}\n", 2, "verdict"},
        {"rules:\n  - class: file\n    operation: RegOpKeyCreated\n    verdict: deny\n", 3, "operation"},
        {"rules:\n  - class: disk\n", 2, "class"},
        {"rules:\n  - {class: file, path: *.docx, verdict: deny}\n", 2, "path"},
        {"rules:\n  - {class: file, path: \"C:\\Users\", verdict: deny}\n", 2, "path"},
        {"default: allow\nrules:\n  - {class: file}\n", 3, "rules"},
        {"rules:\n  - class: file\n      verdict: deny\n", 3, "rules"},
        {"colour: blue\n", 1, "colour"},
        {"rules:\n  - {class: file, verdict: 'deny}\n", 2, "rules"},
        {"default allow\n", 1, ""},
    };
    for (const Case& c : cases) {
        Policy policy;
        PolicyError error;
        EXPECT_FALSE(ParsePolicyText(c.text, &policy, &error)) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text << " -> " << error.message;
        EXPECT_EQ(error.field, c.field) << c.text << " -> " << error.message;
        EXPECT_FALSE(error.message.empty());
    }
}

TEST(PolicyFile, QuotingCommentsAndExtraSettings) {
    Policy policy;
    PolicyError error;
    std::vector<std::pair<std::string, std::string>> extra;
    ASSERT_TRUE(ParsePolicyText("# a comment\n"
                                "monitors: [file, process]\n"
                                "backup: C:\\Backup   # trailing comment\n"
                                "rules:\n"
                                "  - class: file   # the class first\n"
                                "    path: 'it''s #1\\*'\n"
                                "    verdict: \"backup\"\n",
                                &policy, &error, &extra))
        << error.line << ": " << error.message;
    ASSERT_EQ(policy.rules.size(), 1u);
    EXPECT_EQ(policy.rules[0].path, "it's #1\\*");
    EXPECT_EQ(policy.rules[0].verdict, VerdictBackup);
    EXPECT_EQ(policy.rules[0].line, 5);
    ASSERT_EQ(extra.size(), 2u);
    EXPECT_EQ(extra[1], (std::pair<std::string, std::string>{"backup", "C:\\Backup"}));
}

TEST(Text, Utf8ToUtf16RoundTripsAndRefusesMalformedInput) {
    std::u16string wide;
    ASSERT_TRUE(Utf8ToUtf16("C:\\Sauvegardes\\\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x81", &wide));
    EXPECT_EQ(wide, u"C:\\Sauvegardes\\\u00e9t\u00e9 \u20ac \U0001F4C1");
    std::string back;
    ASSERT_TRUE(Utf16ToUtf8(wide, &back));
    EXPECT_EQ(back, "C:\\Sauvegardes\\\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\x81");
    for (const char* bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "a\xE2\x82"}) {
        EXPECT_FALSE(Utf8ToUtf16(bad, &wide)) << bad;
        EXPECT_TRUE(wide.empty());
    }
    EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xD800)), &back));
    EXPECT_FALSE(Utf16ToUtf8(std::u16string(1, char16_t(0xDC00)) + u"a", &back));
}

TEST(Text, FoldersBecomeNtPaths) {
    EXPECT_EQ(NtFolderPath(u"C:\\Backup"), u"\\??\\C:\\Backup");
    EXPECT_EQ(NtFolderPath(u"\\\\?\\D:\\B"), u"\\??\\D:\\B");
    EXPECT_EQ(NtFolderPath(u"\\Device\\HarddiskVolume2\\B"), u"\\Device\\HarddiskVolume2\\B");
}

}  // namespace
}  // namespace vetrona::client
