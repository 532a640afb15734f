// The detection-rule engine: value semantics, conditions, refusals and the
// prefilter agreeing with trying every rule.
#include "client/lib/sigma/match.h"
#include "client/lib/sigma/sigma.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace vetrona::client::sigma;

std::string Rule(const std::string& detection, const std::string& category = "process_creation",
                 const std::string& id = "00000000-0000-0000-0000-000000000001") {
    return "title: test rule\nid: " + id + "\nstatus: test\nauthor: Vetrona tests\nlevel: high\nlogsource:\n  product: windows\n  category: " +
           category + "\ndetection:\n" + detection;
}

Event Process(const std::string& image, const std::string& commandLine) {
    Event e;
    e.categories = {"process_creation"};
    e.Set("Image", image);
    e.Set("CommandLine", commandLine);
    return e;
}

// Loads one rule (failing the test when it is refused) and matches the event,
// checking that the prefilter and trying every rule agree.
bool Matches(const std::string& rule, const Event& event) {
    RuleSet rules;
    std::string reason;
    EXPECT_TRUE(rules.AddRuleText(rule, "test.yml", &reason)) << reason;
    rules.Finish();
    auto scratch = NewMatchScratch();
    std::vector<size_t> fast, every;
    rules.Match(event, scratch.get(), &fast);
    rules.MatchEveryRule(event, scratch.get(), &every);
    EXPECT_EQ(fast, every) << "the prefilter dropped or added a match";
    return !fast.empty();
}

std::string Refusal(const std::string& rule) {
    RuleSet rules;
    std::string reason;
    EXPECT_FALSE(rules.AddRuleText(rule, "test.yml", &reason));
    EXPECT_EQ(rules.refused().size(), 1u);
    return reason;
}

TEST(SigmaValues, CaseInsensitiveWithWildcardsAndEscapes) {
    // An escaped backslash before the wildcard: "\\*" is a backslash and any run.
    const std::string r = Rule("  sel:\n    Image: 'C:\\Windows\\\\*\\cmd.exe'\n  condition: sel\n");
    EXPECT_TRUE(Matches(r, Process("c:\\windows\\SYSTEM32\\CMD.EXE", "")));
    EXPECT_FALSE(Matches(r, Process("c:\\windows\\cmd.exe.bak", "")));
    // '?' is one character.
    const std::string one = Rule("  sel:\n    CommandLine: 'a?c'\n  condition: sel\n");
    EXPECT_TRUE(Matches(one, Process("", "abc")));
    EXPECT_FALSE(Matches(one, Process("", "abbc")));
    // An escaped '*' is a star; an escaped backslash one backslash; a lone
    // backslash before another character is itself.
    const std::string star = Rule("  sel:\n    CommandLine: 'x\\*y'\n  condition: sel\n");
    EXPECT_TRUE(Matches(star, Process("", "x*y")));
    EXPECT_FALSE(Matches(star, Process("", "xzzy")));
    const std::string slashes = Rule("  sel:\n    CommandLine|startswith: '\\\\\\\\server\\share'\n  condition: sel\n");
    EXPECT_TRUE(Matches(slashes, Process("", "\\\\server\\share\\x")));
    EXPECT_FALSE(Matches(slashes, Process("", "\\\\\\\\server\\share")));
}

TEST(SigmaValues, PositionModifiersListsAndMaps) {
    const std::string r = Rule(
        "  sel:\n    Image|endswith: '\\vssadmin.exe'\n    CommandLine|contains:\n      - 'delete shadows'\n      - 'resize shadowstorage'\n"
        "  condition: sel\n");
    EXPECT_TRUE(Matches(r, Process("C:\\Windows\\System32\\vssadmin.exe", "vssadmin Delete Shadows /all")));
    EXPECT_TRUE(Matches(r, Process("C:\\Windows\\System32\\vssadmin.exe", "vssadmin resize shadowstorage")));
    EXPECT_FALSE(Matches(r, Process("C:\\Windows\\System32\\vssadmin.exe", "vssadmin list shadows")));
    EXPECT_FALSE(Matches(r, Process("C:\\Windows\\System32\\cmd.exe", "delete shadows")));
    const std::string all = Rule("  sel:\n    CommandLine|contains|all:\n      - 'net'\n      - 'user'\n  condition: sel\n");
    EXPECT_TRUE(Matches(all, Process("", "net user bob /add")));
    EXPECT_FALSE(Matches(all, Process("", "net group")));
    const std::string starts = Rule("  sel:\n    CommandLine|startswith: 'reg'\n  condition: sel\n");
    EXPECT_TRUE(Matches(starts, Process("", "REG add")));
    EXPECT_FALSE(Matches(starts, Process("", "xreg add")));
    // A list of maps: any of them.
    const std::string alternatives = Rule("  sel:\n    - Image|endswith: '\\a.exe'\n    - CommandLine: 'b'\n  condition: sel\n");
    EXPECT_TRUE(Matches(alternatives, Process("c:\\a.exe", "z")));
    EXPECT_TRUE(Matches(alternatives, Process("c:\\z.exe", "B")));
    EXPECT_FALSE(Matches(alternatives, Process("c:\\z.exe", "bb")));
}

TEST(SigmaValues, NullEmptyExistsAndCased) {
    Event noParent = Process("c:\\x.exe", "x");
    Event parent = noParent;
    parent.Set("ParentImage", "C:\\Windows\\explorer.exe");
    const std::string null = Rule("  sel:\n    ParentImage: null\n  condition: sel\n");
    EXPECT_TRUE(Matches(null, noParent));
    EXPECT_FALSE(Matches(null, parent));
    const std::string exists = Rule("  sel:\n    ParentImage|exists: true\n  condition: sel\n");
    EXPECT_FALSE(Matches(exists, noParent));
    EXPECT_TRUE(Matches(exists, parent));
    const std::string empty = Rule("  sel:\n    CommandLine: ''\n  condition: sel\n");
    EXPECT_TRUE(Matches(empty, Process("c:\\x.exe", "")));
    EXPECT_FALSE(Matches(empty, Process("c:\\x.exe", "a")));
    const std::string cased = Rule("  sel:\n    CommandLine|cased|contains: 'FromBase64'\n  condition: sel\n");
    EXPECT_TRUE(Matches(cased, Process("", "x FromBase64String y")));
    EXPECT_FALSE(Matches(cased, Process("", "x frombase64string y")));
}

TEST(SigmaValues, RegularExpressions) {
    const std::string re = Rule("  sel:\n    CommandLine|re: '\\bnet\\d?\\s+(?:user|group)\\b'\n  condition: sel\n");
    EXPECT_TRUE(Matches(re, Process("", "cmd /c net1 user bob")));
    EXPECT_FALSE(Matches(re, Process("", "cmd /c NET user bob")));  // case matters without i
    EXPECT_FALSE(Matches(re, Process("", "cmd /c internet user")));
    const std::string reI = Rule("  sel:\n    CommandLine|re|i: '^cmd.+NET'\n  condition: sel\n");
    EXPECT_TRUE(Matches(reI, Process("", "CMD /c net user")));
    const std::string reS = Rule("  sel:\n    CommandLine|re|s: 'a.b'\n  condition: sel\n");
    EXPECT_TRUE(Matches(reS, Process("", "a\nb")));
    const std::string plain = Rule("  sel:\n    CommandLine|re: 'a.b'\n  condition: sel\n");
    EXPECT_FALSE(Matches(plain, Process("", "a\nb")));
    EXPECT_NE(Refusal(Rule("  sel:\n    CommandLine|re: 'a(b'\n  condition: sel\n")).find("regular expression"), std::string::npos);
}

TEST(SigmaValues, WindashBase64offsetCidrNumbersFieldref) {
    const std::string windash = Rule("  sel:\n    CommandLine|windash|contains: ' -enc '\n  condition: sel\n");
    EXPECT_TRUE(Matches(windash, Process("", "powershell -enc AAA")));
    EXPECT_TRUE(Matches(windash, Process("", "powershell /enc AAA")));
    EXPECT_TRUE(Matches(windash, Process("", "powershell \xE2\x80\x93" "enc AAA")));
    EXPECT_FALSE(Matches(windash, Process("", "powershell +enc AAA")));
    // "http://" at each offset of a base64 text.
    const std::string b64 = Rule("  sel:\n    CommandLine|base64offset|contains: 'http://'\n  condition: sel\n");
    EXPECT_TRUE(Matches(b64, Process("", "x aHR0cDovL2V4YW1wbGU= y")));  // "http://example"
    EXPECT_TRUE(Matches(b64, Process("", "x IGh0dHA6Ly9l y")));          // " http://e"
    EXPECT_TRUE(Matches(b64, Process("", "x ICBodHRwOi8vZQ== y")));      // "  http://e"
    EXPECT_FALSE(Matches(b64, Process("", "x aHR0cHM6Ly9l y")));         // "https://e"
    Event net;
    net.categories = {"process_creation"};
    net.Set("CommandLine", "10.1.2.3");
    EXPECT_TRUE(Matches(Rule("  sel:\n    CommandLine|cidr: '10.0.0.0/8'\n  condition: sel\n"), net));
    EXPECT_FALSE(Matches(Rule("  sel:\n    CommandLine|cidr: '10.0.0.0/16'\n  condition: sel\n"), net));
    net.Set("CommandLine", "fe80::1");
    EXPECT_TRUE(Matches(Rule("  sel:\n    CommandLine|cidr: 'fe80::/10'\n  condition: sel\n"), net));
    Event pid = Process("", "");
    pid.Set("ProcessId", "400");
    EXPECT_TRUE(Matches(Rule("  sel:\n    ProcessId|gt: 399\n  condition: sel\n"), pid));
    EXPECT_FALSE(Matches(Rule("  sel:\n    ProcessId|gt: 400\n  condition: sel\n"), pid));
    EXPECT_TRUE(Matches(Rule("  sel:\n    ProcessId|gte: 400\n  condition: sel\n"), pid));
    EXPECT_TRUE(Matches(Rule("  sel:\n    ProcessId|lte: 400\n  condition: sel\n"), pid));
    EXPECT_FALSE(Matches(Rule("  sel:\n    ProcessId|lt: 400\n  condition: sel\n"), pid));
    Event same = Process("C:\\a\\x.exe", "c:\\A\\X.EXE");
    const std::string ref = Rule("  sel:\n    CommandLine|fieldref: Image\n  condition: sel\n");
    EXPECT_TRUE(Matches(ref, same));
    EXPECT_FALSE(Matches(ref, Process("C:\\a\\x.exe", "y")));
}

TEST(SigmaConditions, PrecedenceNotParenthesesAndPatterns) {
    const std::string sels = "  a:\n    CommandLine|contains: 'alpha'\n  b:\n    CommandLine|contains: 'beta'\n"
                             "  c:\n    CommandLine|contains: 'gamma'\n";
    // and binds tighter than or: a or (b and c).
    const std::string r = Rule(sels + "  condition: a or b and c\n");
    EXPECT_TRUE(Matches(r, Process("", "alpha")));
    EXPECT_FALSE(Matches(r, Process("", "beta")));
    EXPECT_TRUE(Matches(r, Process("", "beta gamma")));
    const std::string paren = Rule(sels + "  condition: (a or b) and c\n");
    EXPECT_FALSE(Matches(paren, Process("", "alpha")));
    EXPECT_TRUE(Matches(paren, Process("", "alpha gamma")));
    // not binds tighter than and.
    const std::string neg = Rule(sels + "  condition: not a and b\n");
    EXPECT_TRUE(Matches(neg, Process("", "beta")));
    EXPECT_FALSE(Matches(neg, Process("", "alpha beta")));
    const std::string patterns = "  selection_1:\n    CommandLine|contains: 'one'\n  selection_2:\n    CommandLine|contains: 'two'\n"
                                 "  _hidden:\n    CommandLine|contains: 'zzz'\n";
    EXPECT_TRUE(Matches(Rule(patterns + "  condition: 1 of selection_*\n"), Process("", "two")));
    EXPECT_FALSE(Matches(Rule(patterns + "  condition: all of selection_*\n"), Process("", "two")));
    EXPECT_TRUE(Matches(Rule(patterns + "  condition: all of selection_*\n"), Process("", "one two")));
    // them leaves out names starting with '_'.
    EXPECT_TRUE(Matches(Rule(patterns + "  condition: all of them\n"), Process("", "one two")));
    EXPECT_FALSE(Matches(Rule(patterns + "  condition: 1 of them\n"), Process("", "zzz")));
    EXPECT_TRUE(Matches(Rule(patterns + "  condition: 1 of _hid*\n"), Process("", "zzz")));
}

TEST(SigmaLoading, RefusesWithTheReason) {
    EXPECT_NE(Refusal(Rule("  sel:\n    CommandLine|frobnicate: 'x'\n  condition: sel\n")).find("modifier 'frobnicate'"),
              std::string::npos);
    EXPECT_NE(Refusal(Rule("  sel:\n    LogonId: '0x3e7'\n  condition: sel\n")).find("field 'LogonId'"), std::string::npos);
    EXPECT_NE(Refusal(Rule("  sel:\n    CommandLine: 'x'\n  condition: sel | count() > 5\n")).find("aggregation"),
              std::string::npos);
    EXPECT_NE(Refusal(Rule("  sel:\n    CommandLine: 'x'\n  condition: sel and missing\n")).find("'missing'"),
              std::string::npos);
    EXPECT_NE(Refusal(Rule("  sel:\n    CommandLine: 'x'\n  condition: (sel\n")).find("not closed"), std::string::npos);
    EXPECT_NE(Refusal(Rule("  sel:\n    CommandLine: 'x'\n  condition: sel\n", "network_connection")).find("category"),
              std::string::npos);
    EXPECT_NE(Refusal("title: [unclosed\n").find("YAML"), std::string::npos);
}

TEST(SigmaRouting, CategoriesAndThePrefilter) {
    RuleSet rules;
    ASSERT_TRUE(rules.AddRuleText(Rule("  sel:\n    TargetFilename|endswith: '.lnk'\n  condition: sel\n", "file_event"), "a.yml"));
    ASSERT_TRUE(rules.AddRuleText(Rule("  sel:\n    CommandLine|contains: '.lnk'\n  condition: sel\n"), "b.yml"));
    ASSERT_TRUE(rules.AddRuleText(Rule("  sel:\n    CommandLine|contains: 'x'\n  condition: not sel\n"), "c.yml"));
    rules.Finish();
    EXPECT_EQ(rules.unfilteredCount(), 1u);  // only the rule under not
    auto scratch = NewMatchScratch();
    std::vector<size_t> matches;
    Event file;
    file.categories = {"file_event"};
    file.Set("TargetFilename", "C:\\Users\\a\\x.LNK");
    rules.Match(file, scratch.get(), &matches);
    EXPECT_EQ(matches, std::vector<size_t>{0});  // the process rules do not see file events
    rules.Match(Process("c:\\y.exe", "open a.lnk"), scratch.get(), &matches);
    EXPECT_EQ(matches, (std::vector<size_t>{1, 2}));
    rules.Match(Process("c:\\y.exe", "x.lnk"), scratch.get(), &matches);
    EXPECT_EQ(matches, std::vector<size_t>{1});
}

// The prefilter counts a literal only in the field its test names and at the
// place its modifier says: a rule whose literals all occur, but elsewhere,
// is not even tried; keywords count in any field.
TEST(SigmaRouting, ALiteralCountsInItsFieldAndAtItsPlace) {
    RuleSet rules;
    ASSERT_TRUE(rules.AddRuleText(
        Rule("  sel:\n    Image|endswith: '\\tool.exe'\n    CommandLine|contains: 'secret'\n  condition: sel\n"), "a.yml"));
    ASSERT_TRUE(rules.AddRuleText(Rule("  sel:\n    CommandLine|startswith: 'run'\n  condition: sel\n"), "b.yml"));
    ASSERT_TRUE(rules.AddRuleText(Rule("  sel:\n    Image: 'c:\\a\\b.exe'\n  condition: sel\n"), "c.yml"));
    ASSERT_TRUE(rules.AddRuleText(Rule("  keywords:\n    - 'needle'\n  condition: keywords\n"), "d.yml"));
    ASSERT_TRUE(rules.AddRuleText(Rule("  sel:\n    Image|endswith: '*\\b?\\x.exe'\n  condition: sel\n"), "e.yml"));
    rules.Finish();
    EXPECT_EQ(rules.unfilteredCount(), 0u);
    auto scratch = NewMatchScratch();
    std::vector<size_t> matches;
    auto tried = [&](const Event& e) {
        rules.Match(e, scratch.get(), &matches);
        return scratch->candidates;
    };
    using V = std::vector<size_t>;
    // Each literal present, in the other field: nothing tried.
    EXPECT_EQ(tried(Process("c:\\secret.exe", "c:\\tool.exe")), V{});
    // At the wrong place: not at the start, not the whole value, not at the end.
    EXPECT_EQ(tried(Process("c:\\a\\b.exe.bak", "do run")), V{});
    EXPECT_EQ(tried(Process("c:\\bx\\x.exe\\y", "x")), V{});
    // In place: tried and matched.
    EXPECT_EQ(tried(Process("C:\\Tool.exe", "a SECRET")), V{0});
    EXPECT_EQ(matches, V{0});
    EXPECT_EQ(tried(Process("C:\\A\\B.EXE", "Run it")), (V{1, 2}));
    EXPECT_EQ(tried(Process("c:\\z\\bx\\x.exe", "x")), V{4});
    // A keyword in any field, also one no rule names.
    Event other = Process("c:\\y.exe", "x");
    other.Set("Company", "the Needle company");
    EXPECT_EQ(tried(other), V{3});
    EXPECT_EQ(matches, V{3});
}

// A regular expression narrows by the text it cannot match without; the
// prefilter must never drop a match the expression makes: alternatives,
// optional characters, classes and groups, and caseless letters that Unicode
// folds beyond ASCII (the Kelvin sign is a K, the long s an s).
TEST(SigmaRouting, ARegularExpressionNarrowsWithoutLosingAMatch) {
    const std::string alternatives = Rule("  sel:\n    CommandLine|re: '(?i)net\\s+user|who(am)?i'\n  condition: sel\n");
    EXPECT_TRUE(Matches(alternatives, Process("c:\\a.exe", "NET  USER bob")));
    EXPECT_TRUE(Matches(alternatives, Process("c:\\a.exe", "whoi")));
    EXPECT_FALSE(Matches(alternatives, Process("c:\\a.exe", "net group")));
    const std::string optional = Rule("  sel:\n    CommandLine|re: 'colou?r[0-9]+x{0,2}yz'\n  condition: sel\n");
    EXPECT_TRUE(Matches(optional, Process("c:\\a.exe", "color7yz")));
    EXPECT_TRUE(Matches(optional, Process("c:\\a.exe", "colour12xxyz")));
    const std::string caseless = Rule("  sel:\n    CommandLine|re: '(?i)taskkill /im'\n  condition: sel\n");
    EXPECT_TRUE(Matches(caseless, Process("c:\\a.exe", "TASKKILL /IM x")));
    EXPECT_TRUE(Matches(caseless, Process("c:\\a.exe", "ta\xc5\xbfk\xe2\x84\xaaill /im x")));  // long s, Kelvin sign
    // Narrowed: an event without the text does not even try the rule.
    RuleSet rules;
    ASSERT_TRUE(rules.AddRuleText(optional, "a.yml"));
    rules.Finish();
    EXPECT_EQ(rules.unfilteredCount(), 0u);
    auto scratch = NewMatchScratch();
    std::vector<size_t> matches;
    rules.Match(Process("c:\\a.exe", "nothing here"), scratch.get(), &matches);
    EXPECT_TRUE(scratch->candidates.empty());
}

}  // namespace

// With the shared rules and logs beside the repository: the prefilter finds
// exactly what trying every rule finds, on every logged event.
#include "client/lib/sigma/replay.h"

#include <filesystem>
#include <fstream>

namespace {

TEST(SigmaShared, ThePrefilterAgreesWithTryingEveryRule) {
    const std::string shared = std::string(VETRONA_SOURCE_DIR) + "/../shared/sigma";
    if (!std::filesystem::is_directory(shared + "/rules")) GTEST_SKIP() << "no shared rules at " << shared;
    RuleSet rules;
    std::string error;
    ASSERT_TRUE(rules.LoadDirectory(shared + "/rules", &error)) << error;
    auto scratch = NewMatchScratch();
    std::vector<size_t> fast, every;
    int events = 0, matched = 0;
    for (const std::string& folder : FindCases({shared + "/regression_data"})) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            if (entry.path().extension() != ".json") continue;
            std::ifstream in(entry.path());
            while (in >> std::ws, in.peek() != EOF) {
                nlohmann::json record;
                in >> record;
                std::string why;
                auto event = EventFromLogged(record, &why);
                if (!event) continue;
                ++events;
                rules.Match(*event, scratch.get(), &fast);
                rules.MatchEveryRule(*event, scratch.get(), &every);
                EXPECT_EQ(fast, every) << entry.path();
                matched += !fast.empty();
            }
        }
    }
    EXPECT_GT(events, 100);
    EXPECT_GT(matched, 90);
}

}  // namespace
