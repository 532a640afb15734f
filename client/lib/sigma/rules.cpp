// Loading and compiling rule files, and matching one compiled rule.
#include "client/lib/sigma/compiled.h"
#include "client/lib/sigma/fields.h"
#include "client/lib/sigma/match.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <set>

namespace vetrona::client::sigma {

const std::vector<std::string>& Categories() {
    static const std::vector<std::string> names = {"process_creation", "file_event",   "file_delete",     "file_rename",
                                                   "registry_set",     "registry_add", "registry_delete", "registry_event"};
    return names;
}

int CategoryIndex(std::string_view name) {
    const auto& names = Categories();
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// ---------------------------------------------------------------------------
// Regular expressions (PCRE2, compiled with JIT where the platform has it).

class Regex {
public:
    Regex(pcre2_code* code) : code_(code) {}
    ~Regex() { pcre2_code_free(code_); }
    bool Search(std::string_view text, pcre2_match_data* data) const {
        const int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, data, nullptr);
        return rc >= 0;
    }

private:
    pcre2_code* code_;
};

namespace {

std::shared_ptr<Regex> CompileRegex(const std::string& pattern, bool caseless, bool multiline, bool dotall,
                                    std::string* error) {
    uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
    if (caseless) options |= PCRE2_CASELESS;
    if (multiline) options |= PCRE2_MULTILINE;
    if (dotall) options |= PCRE2_DOTALL;
    int code = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &code, &offset,
                                   nullptr);
    if (re == nullptr) {
        PCRE2_UCHAR message[256];
        pcre2_get_error_message(code, message, sizeof(message));
        *error = "regular expression at offset " + std::to_string(offset) + ": " + reinterpret_cast<char*>(message);
        return nullptr;
    }
    pcre2_jit_compile(re, PCRE2_JIT_COMPLETE);  // without JIT the interpreter runs
    return std::make_shared<Regex>(re);
}

// ---------------------------------------------------------------------------
// Values.

// A value's text as glob tokens: '*' any run, '?' one character; a backslash
// before '*', '?' or another backslash makes that character literal, before
// anything else it is itself.
std::vector<int16_t> GlobTokens(std::string_view text) {
    std::vector<int16_t> tokens;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '*' || text[i + 1] == '?' || text[i + 1] == '\\')) {
            tokens.push_back(static_cast<unsigned char>(text[++i]));
        } else if (c == '*') {
            tokens.push_back(kAnyRun);
        } else if (c == '?') {
            tokens.push_back(kOneChar);
        } else {
            tokens.push_back(static_cast<unsigned char>(c));
        }
    }
    return tokens;
}

// Tokens of a literal that wildcards do not touch.
std::vector<int16_t> LiteralTokens(std::string_view text) {
    std::vector<int16_t> tokens;
    for (char c : text) tokens.push_back(static_cast<unsigned char>(c));
    return tokens;
}

// The simplest matcher for the tokens: a literal compared whole, by prefix,
// suffix or containment when wildcards stand only at the ends.
Matcher MatcherOf(std::vector<int16_t> tokens, bool cased) {
    Matcher m;
    m.cased = cased;
    if (!cased) {
        for (int16_t& t : tokens) {
            if (t >= 'A' && t <= 'Z') t = static_cast<int16_t>(t - 'A' + 'a');
        }
    }
    // Runs of '*' are one '*'.
    std::vector<int16_t> squeezed;
    for (int16_t t : tokens) {
        if (t == kAnyRun && !squeezed.empty() && squeezed.back() == kAnyRun) continue;
        squeezed.push_back(t);
    }
    tokens.swap(squeezed);
    const bool leading = !tokens.empty() && tokens.front() == kAnyRun;
    const bool trailing = tokens.size() > (leading ? 1u : 0u) && tokens.back() == kAnyRun;
    const size_t begin = leading ? 1 : 0, end = tokens.size() - (trailing ? 1 : 0);
    bool inner = false;
    for (size_t i = begin; i < end; ++i) inner |= tokens[i] < 0;
    if (inner) {
        m.kind = Matcher::Glob;
        m.glob = std::move(tokens);
        return m;
    }
    for (size_t i = begin; i < end; ++i) m.text.push_back(static_cast<char>(tokens[i]));
    if (leading && m.text.empty()) {
        m.kind = Matcher::AnyValue;
    } else if (leading && trailing) {
        m.kind = Matcher::Contains;
    } else if (leading) {
        m.kind = Matcher::EndsWith;
    } else if (trailing) {
        m.kind = Matcher::StartsWith;
    } else {
        m.kind = Matcher::Equals;
    }
    return m;
}

bool GlobMatches(const std::vector<int16_t>& glob, std::string_view text) {
    size_t p = 0, t = 0, starP = SIZE_MAX, starT = 0;
    while (t < text.size()) {
        if (p < glob.size() && (glob[p] == kOneChar || (glob[p] >= 0 && glob[p] == static_cast<unsigned char>(text[t])))) {
            ++p;
            ++t;
        } else if (p < glob.size() && glob[p] == kAnyRun) {
            starP = p++;
            starT = t;
        } else if (starP != SIZE_MAX) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < glob.size() && glob[p] == kAnyRun) ++p;
    return p == glob.size();
}

// Characters a command line's option may start with instead of '-'.
const char* const kDashes[] = {"-", "/", "\xE2\x80\x93", "\xE2\x80\x94", "\xE2\x80\x95"};

bool IsWordByte(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// Every spelling of the value with each option dash ('-' or '/' after a
// non-word character or at the start, before a word character) replaced by
// each dash. Beyond three positions all take the same dash.
std::vector<std::string> WindashVariants(const std::string& value) {
    std::vector<size_t> positions;
    for (size_t i = 0; i < value.size(); ++i) {
        if ((value[i] == '-' || value[i] == '/') && (i == 0 || !IsWordByte(value[i - 1])) && i + 1 < value.size() &&
            IsWordByte(value[i + 1])) {
            positions.push_back(i);
        }
    }
    auto spell = [&](const std::vector<int>& choice) {
        std::string out;
        size_t next = 0;
        for (size_t i = 0; i < value.size(); ++i) {
            if (next < positions.size() && positions[next] == i) {
                out += kDashes[choice[next++]];
            } else {
                out.push_back(value[i]);
            }
        }
        return out;
    };
    std::vector<std::string> out;
    const int n = static_cast<int>(positions.size());
    if (n > 3) {
        for (int d = 0; d < 5; ++d) out.push_back(spell(std::vector<int>(n, d)));
        return out;
    }
    int total = 1;
    for (int i = 0; i < n; ++i) total *= 5;
    for (int k = 0; k < total; ++k) {
        std::vector<int> choice(n);
        for (int i = 0, r = k; i < n; ++i, r /= 5) choice[i] = r % 5;
        out.push_back(spell(choice));
    }
    return out;
}

std::string Base64(std::string_view bytes) {
    static const char* table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out.push_back(table[(v >> s) & 63]);
    }
    if (i < bytes.size()) {
        uint32_t v = uint8_t(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= uint8_t(bytes[i + 1]) << 8;
        out.push_back(table[(v >> 18) & 63]);
        out.push_back(table[(v >> 12) & 63]);
        out.push_back(i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=');
        out.push_back('=');
    }
    return out;
}

// The three texts the value's bytes take in a base64 text, whatever their
// offset in the encoded data: the characters that depend only on the value.
std::vector<std::string> Base64OffsetVariants(const std::string& value) {
    static const size_t starts[] = {0, 2, 3};
    std::vector<std::string> out;
    for (size_t shift = 0; shift < 3; ++shift) {
        const std::string encoded = Base64(std::string(shift, ' ') + value);
        const size_t rest = (value.size() + shift) % 3;
        const size_t cut = rest == 0 ? 0 : rest == 1 ? 3 : 2;
        const size_t begin = starts[shift];
        if (encoded.size() < begin + cut) continue;
        out.push_back(encoded.substr(begin, encoded.size() - begin - cut));
    }
    return out;
}

std::string Utf16(const std::string& utf8, bool bigEndian) {
    std::string out;
    auto unit = [&](uint16_t u) {
        const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
        out.push_back(bigEndian ? hi : lo);
        out.push_back(bigEndian ? lo : hi);
    };
    for (size_t i = 0; i < utf8.size();) {
        const uint8_t c = utf8[i];
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0xF0 && i + 3 < utf8.size() + 0) {
            cp = ((c & 7u) << 18) | ((utf8[i + 1] & 63u) << 12) | ((utf8[i + 2] & 63u) << 6) | (utf8[i + 3] & 63u);
            n = 4;
        } else if (c >= 0xE0 && i + 2 < utf8.size()) {
            cp = ((c & 15u) << 12) | ((utf8[i + 1] & 63u) << 6) | (utf8[i + 2] & 63u);
            n = 3;
        } else if (c >= 0xC0 && i + 1 < utf8.size()) {
            cp = ((c & 31u) << 6) | (utf8[i + 1] & 63u);
            n = 2;
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit(static_cast<uint16_t>(0xD800 + (cp >> 10)));
            unit(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            unit(static_cast<uint16_t>(cp));
        }
    }
    return out;
}

bool ParseAddress(std::string_view text, std::array<uint8_t, 16>* bytes, int* length) {
    // IPv4 dotted quad.
    if (text.find(':') == std::string_view::npos) {
        int parts = 0;
        size_t i = 0;
        while (parts < 4) {
            if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
            int v = 0, digits = 0;
            while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 4) {
                v = v * 10 + (text[i++] - '0');
                ++digits;
            }
            if (v > 255 || digits > 3) return false;
            (*bytes)[parts++] = static_cast<uint8_t>(v);
            if (parts < 4) {
                if (i >= text.size() || text[i] != '.') return false;
                ++i;
            }
        }
        *length = 4;
        return i == text.size();
    }
    // IPv6, with at most one "::".
    std::vector<uint16_t> head, tail;
    bool gap = false;
    size_t i = 0;
    if (text.substr(0, 2) == "::") {
        gap = true;
        i = 2;
    }
    while (i < text.size()) {
        uint32_t v = 0;
        int digits = 0;
        while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
            v = v * 16 + (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : (std::tolower(text[i]) - 'a' + 10));
            ++i;
            if (++digits > 4) return false;
        }
        if (digits == 0) return false;
        (gap ? tail : head).push_back(static_cast<uint16_t>(v));
        if (i == text.size()) break;
        if (text[i] != ':') return false;
        ++i;
        if (i < text.size() && text[i] == ':') {
            if (gap) return false;
            gap = true;
            ++i;
        } else if (i == text.size()) {
            return false;
        }
    }
    const size_t count = head.size() + tail.size();
    if (count > 8 || (!gap && count != 8) || (gap && count == 8)) return false;
    std::vector<uint16_t> all = head;
    all.resize(8 - tail.size(), 0);
    all.insert(all.end(), tail.begin(), tail.end());
    for (int k = 0; k < 8; ++k) {
        (*bytes)[2 * k] = static_cast<uint8_t>(all[k] >> 8);
        (*bytes)[2 * k + 1] = static_cast<uint8_t>(all[k]);
    }
    *length = 16;
    return true;
}

bool ParseNumber(std::string_view text, double* out) {
    if (text.empty()) return false;
    std::string copy(text);
    char* end = nullptr;
    *out = std::strtod(copy.c_str(), &end);
    return end == copy.c_str() + copy.size();
}

}  // namespace

// ---------------------------------------------------------------------------
// Matching one rule.


namespace {

bool CidrContains(const Matcher& m, std::string_view value) {
    std::array<uint8_t, 16> bytes{};
    int length = 0;
    if (!ParseAddress(value, &bytes, &length) || length != m.netLength) return false;
    int bits = m.prefix;
    for (int i = 0; i < length && bits > 0; ++i, bits -= 8) {
        const uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
        if ((bytes[i] & mask) != (m.net[i] & mask)) return false;
    }
    return true;
}

bool TextTest(Matcher::Kind kind, std::string_view pattern, std::string_view value) {
    switch (kind) {
    case Matcher::Equals: return value == pattern;
    case Matcher::Contains: return value.find(pattern) != std::string_view::npos;
    case Matcher::StartsWith: return value.substr(0, pattern.size()) == pattern;
    case Matcher::EndsWith: return value.size() >= pattern.size() && value.substr(value.size() - pattern.size()) == pattern;
    default: return false;
    }
}

}  // namespace

bool ValueMatches(const Matcher& m, const FieldValue* value, const FieldValues& event, MatchScratch* scratch) {
    switch (m.kind) {
    case Matcher::Exists: return (value != nullptr) == m.exists;
    case Matcher::Null: return value == nullptr || value->raw.empty();
    default: break;
    }
    if (value == nullptr) return false;
    const std::string_view text = m.cased ? std::string_view(value->raw) : std::string_view(value->lower);
    switch (m.kind) {
    case Matcher::Equals:
    case Matcher::Contains:
    case Matcher::StartsWith:
    case Matcher::EndsWith: return TextTest(m.kind, m.text, text);
    case Matcher::AnyValue: return true;
    case Matcher::Glob: return GlobMatches(m.glob, text);
    case Matcher::Pattern: return m.regex->Search(value->raw, scratch->matchData);
    case Matcher::Cidr: return CidrContains(m, value->raw);
    case Matcher::Compare: {
        double v = 0;
        if (!ParseNumber(value->raw, &v)) return false;
        switch (m.compare) {
        case -2: return v < m.number;
        case -1: return v <= m.number;
        case 1: return v >= m.number;
        default: return v > m.number;
        }
    }
    case Matcher::FieldRef: {
        const FieldValue* other = event.Get(m.refField);
        if (other == nullptr) return false;
        return m.cased ? TextTest(m.refKind, other->raw, value->raw) : TextTest(m.refKind, other->lower, value->lower);
    }
    default: return false;
    }
}

namespace {

bool TestMatches(const FieldTest& test, const FieldValues& event, MatchScratch* scratch) {
    if (test.field < 0) {
        // A keyword: any field's value.
        for (const Matcher& m : test.values) {
            bool hit = false;
            for (const FieldValue* v : event.present()) {
                if (ValueMatches(m, v, event, scratch)) {
                    hit = true;
                    break;
                }
            }
            if (hit != test.all) return hit;
        }
        return test.all;
    }
    const FieldValue* value = event.Get(test.field);
    for (const Matcher& m : test.values) {
        if (ValueMatches(m, value, event, scratch) != test.all) return !test.all;
    }
    return test.all;
}

bool SelectionMatches(const Selection& s, const FieldValues& event, MatchScratch* scratch) {
    for (const auto& alternative : s.alternatives) {
        bool all = true;
        for (const FieldTest& test : alternative) {
            if (!TestMatches(test, event, scratch)) {
                all = false;
                break;
            }
        }
        if (all) return true;
    }
    return false;
}

bool NodeMatches(const CompiledRule& rule, int index, const FieldValues& event, MatchScratch* scratch) {
    const Node& node = rule.nodes[index];
    switch (node.kind) {
    case Node::Select: return SelectionMatches(rule.selections[node.selection], event, scratch);
    case Node::Not: return !NodeMatches(rule, node.children[0], event, scratch);
    case Node::And:
        for (int child : node.children) {
            if (!NodeMatches(rule, child, event, scratch)) return false;
        }
        return true;
    case Node::Or:
        for (int child : node.children) {
            if (NodeMatches(rule, child, event, scratch)) return true;
        }
        return false;
    }
    return false;
}

}  // namespace

bool RuleMatches(const CompiledRule& rule, const FieldValues& event, MatchScratch* scratch) {
    return NodeMatches(rule, rule.root, event, scratch);
}

// ---------------------------------------------------------------------------
// Compiling.

namespace {

struct CompileError {
    std::string reason;
};

class RuleCompiler {
public:
    RuleCompiler(CompiledRule* rule, FieldTable* fields) : rule_(rule), fields_(fields) {}

    void Compile(const YAML::Node& doc) {
        if (!doc.IsMap()) throw CompileError{"not a rule: the document is not a mapping"};
        RuleInfo& info = rule_->info;
        info.title = Text(doc["title"]);
        info.id = Text(doc["id"]);
        info.status = Lower(Text(doc["status"]));
        info.level = Lower(Text(doc["level"]));
        info.author = Text(doc["author"]);
        info.description = Text(doc["description"]);
        for (const auto& tag : List(doc["tags"])) info.tags.push_back(Lower(tag));
        info.falsePositives = List(doc["falsepositives"]);
        info.references = List(doc["references"]);
        if (info.title.empty()) throw CompileError{"no title"};
        if (doc["action"]) throw CompileError{"rule collections (action: " + Text(doc["action"]) + ") are not read"};
        if (doc["correlation"]) throw CompileError{"correlation rules are not read"};
        const YAML::Node source = doc["logsource"];
        if (!source || !source.IsMap()) throw CompileError{"no logsource"};
        const std::string product = Lower(Text(source["product"]));
        if (!product.empty() && product != "windows") throw CompileError{"logsource product '" + product + "' is not windows"};
        if (source["service"]) throw CompileError{"logsource service '" + Text(source["service"]) + "': only categories are routed"};
        info.category = Lower(Text(source["category"]));
        rule_->category = CategoryIndex(info.category);
        if (rule_->category < 0) throw CompileError{"logsource category '" + info.category + "' is not one the client reports"};

        const YAML::Node detection = doc["detection"];
        if (!detection || !detection.IsMap()) throw CompileError{"no detection"};
        std::vector<std::string> conditions;
        for (const auto& entry : detection) {
            const std::string name = entry.first.as<std::string>();
            if (name == "condition") {
                if (entry.second.IsSequence()) {
                    for (const auto& c : entry.second) conditions.push_back(c.as<std::string>());
                } else {
                    conditions.push_back(Text(entry.second));
                }
            } else if (name == "timeframe") {
                throw CompileError{"condition: timeframe (aggregation over time) is not supported"};
            } else {
                rule_->selections.push_back(CompileSelection(name, entry.second));
            }
        }
        if (conditions.empty() || conditions[0].empty()) throw CompileError{"condition: missing"};
        std::vector<int> roots;
        for (const std::string& c : conditions) roots.push_back(ParseCondition(c));
        if (roots.size() == 1) {
            rule_->root = roots[0];
        } else {
            rule_->root = AddNode({Node::Or, -1, roots});
        }
    }

private:
    CompiledRule* rule_;
    FieldTable* fields_;

    static std::string Text(const YAML::Node& n) {
        if (!n || n.IsNull()) return "";
        if (n.IsScalar()) return n.Scalar();
        if (n.IsSequence()) {
            std::string joined;
            for (const auto& item : n) {
                if (item.IsScalar()) joined += (joined.empty() ? "" : ", ") + item.Scalar();
            }
            return joined;
        }
        return "";
    }
    static std::vector<std::string> List(const YAML::Node& n) {
        std::vector<std::string> out;
        if (!n) return out;
        if (n.IsSequence()) {
            for (const auto& item : n) {
                if (item.IsScalar()) out.push_back(item.Scalar());
            }
        } else if (n.IsScalar()) {
            out.push_back(n.Scalar());
        }
        return out;
    }

    Selection CompileSelection(const std::string& name, const YAML::Node& node) {
        Selection s;
        s.name = name;
        if (node.IsMap()) {
            s.alternatives.push_back(CompileMap(name, node));
        } else if (node.IsSequence()) {
            bool maps = false, scalars = false;
            for (const auto& item : node) (item.IsMap() ? maps : scalars) = true;
            if (maps && scalars) throw CompileError{"selection '" + name + "': a list mixes mappings and keywords"};
            if (maps) {
                for (const auto& item : node) s.alternatives.push_back(CompileMap(name, item));
            } else {
                FieldTest keywords;
                keywords.field = -1;
                for (const auto& item : node) {
                    if (!item.IsScalar()) throw CompileError{"selection '" + name + "': a keyword is not a value"};
                    keywords.values.push_back(MatcherOf(GlobTokens("*" + item.Scalar() + "*"), false));
                }
                s.alternatives.push_back({std::move(keywords)});
            }
        } else if (node.IsScalar()) {
            FieldTest keyword;
            keyword.values.push_back(MatcherOf(GlobTokens("*" + node.Scalar() + "*"), false));
            s.alternatives.push_back({std::move(keyword)});
        } else {
            throw CompileError{"selection '" + name + "': empty"};
        }
        if (s.alternatives.empty()) throw CompileError{"selection '" + name + "': empty"};
        return s;
    }

    std::vector<FieldTest> CompileMap(const std::string& selection, const YAML::Node& map) {
        std::vector<FieldTest> tests;
        if (map.size() == 0) throw CompileError{"selection '" + selection + "': an empty mapping"};
        for (const auto& entry : map) {
            const std::string key = entry.first.as<std::string>();
            tests.push_back(CompileField(selection, key, entry.second));
        }
        return tests;
    }

    FieldTest CompileField(const std::string& selection, const std::string& key, const YAML::Node& value) {
        std::vector<std::string> parts;
        {
            std::stringstream split(key);
            for (std::string part; std::getline(split, part, '|');) parts.push_back(part);
        }
        if (parts.empty() || parts[0].empty()) throw CompileError{"selection '" + selection + "': a field without a name"};
        const std::string field = parts[0];
        if (!FieldKnown(Categories()[rule_->category], field)) {
            throw CompileError{"field '" + field + "' is not one the client gives a " + Categories()[rule_->category] + " event"};
        }
        FieldTest test;
        test.field = fields_->Id(field);

        enum class Position { Whole, Contains, StartsWith, EndsWith } position = Position::Whole;
        bool re = false, reI = false, reM = false, reS = false, windash = false, base64 = false, base64offset = false,
             cidr = false, exists = false, cased = false, fieldref = false;
        int compare = 0, encoding = 0;  // 1 utf16le, 2 utf16be, 3 utf16 with a byte-order mark
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string& mod = parts[i];
            if (mod == "contains") position = Position::Contains;
            else if (mod == "startswith") position = Position::StartsWith;
            else if (mod == "endswith") position = Position::EndsWith;
            else if (mod == "all") test.all = true;
            else if (mod == "re") re = true;
            else if (mod == "i" && re) reI = true;
            else if (mod == "m" && re) reM = true;
            else if (mod == "s" && re) reS = true;
            else if (mod == "windash") windash = true;
            else if (mod == "base64") base64 = true;
            else if (mod == "base64offset") base64offset = true;
            else if (mod == "wide" || mod == "utf16le") encoding = 1;
            else if (mod == "utf16be") encoding = 2;
            else if (mod == "utf16") encoding = 3;
            else if (mod == "cidr") cidr = true;
            else if (mod == "exists") exists = true;
            else if (mod == "cased") cased = true;
            else if (mod == "fieldref") fieldref = true;
            else if (mod == "gt") compare = 2;
            else if (mod == "gte") compare = 1;
            else if (mod == "lt") compare = -2;
            else if (mod == "lte") compare = -1;
            else throw CompileError{"field '" + field + "': modifier '" + mod + "' is not supported"};
        }
        if (encoding != 0 && !base64 && !base64offset) {
            throw CompileError{"field '" + field + "': an encoding modifier without base64 or base64offset"};
        }

        std::vector<const YAML::Node*> items;
        std::vector<YAML::Node> storage;
        if (value.IsSequence()) {
            for (const auto& item : value) storage.push_back(item);
            if (storage.empty()) throw CompileError{"field '" + field + "': an empty list"};
        } else {
            storage.push_back(value);
        }
        for (const auto& item : storage) {
            if (item.IsMap() || item.IsSequence()) throw CompileError{"field '" + field + "': a value is not a scalar"};
            const bool null = !item || item.IsNull();
            const std::string text = null ? std::string() : item.Scalar();
            if (exists) {
                const std::string lower = Lower(text);
                if (lower != "true" && lower != "false") throw CompileError{"field '" + field + "': exists takes true or false"};
                Matcher m;
                m.kind = Matcher::Exists;
                m.exists = lower == "true";
                test.values.push_back(m);
                continue;
            }
            if (null) {
                Matcher m;
                m.kind = Matcher::Null;
                test.values.push_back(m);
                continue;
            }
            if (re) {
                std::string error;
                Matcher m;
                m.kind = Matcher::Pattern;
                m.regex = CompileRegex(text, reI, reM, reS, &error);
                if (!m.regex) throw CompileError{"field '" + field + "': " + error};
                m.text = text;
                m.cased = !reI;
                test.values.push_back(m);
                continue;
            }
            if (cidr) {
                Matcher m;
                m.kind = Matcher::Cidr;
                const size_t slash = text.find('/');
                if (!ParseAddress(text.substr(0, slash), &m.net, &m.netLength)) {
                    throw CompileError{"field '" + field + "': '" + text + "' is not a network"};
                }
                m.prefix = m.netLength * 8;
                if (slash != std::string::npos) {
                    double bits = 0;
                    if (!ParseNumber(text.substr(slash + 1), &bits) || bits < 0 || bits > m.netLength * 8) {
                        throw CompileError{"field '" + field + "': '" + text + "' has a bad prefix length"};
                    }
                    m.prefix = static_cast<int>(bits);
                }
                test.values.push_back(m);
                continue;
            }
            if (compare != 0) {
                Matcher m;
                m.kind = Matcher::Compare;
                m.compare = compare;
                if (!ParseNumber(text, &m.number)) throw CompileError{"field '" + field + "': '" + text + "' is not a number"};
                test.values.push_back(m);
                continue;
            }
            if (fieldref) {
                if (!FieldKnown(Categories()[rule_->category], text)) {
                    throw CompileError{"field '" + field + "': fieldref to '" + text + "', which the client does not give"};
                }
                Matcher m;
                m.kind = Matcher::FieldRef;
                m.cased = cased;
                m.refField = fields_->Id(text);
                m.refKind = position == Position::Contains     ? Matcher::Contains
                            : position == Position::StartsWith ? Matcher::StartsWith
                            : position == Position::EndsWith   ? Matcher::EndsWith
                                                               : Matcher::Equals;
                test.values.push_back(m);
                continue;
            }
            std::vector<std::vector<int16_t>> variants;
            if (base64 || base64offset) {
                std::string bytes = text;
                if (encoding == 1) bytes = Utf16(text, false);
                if (encoding == 2) bytes = Utf16(text, true);
                if (encoding == 3) bytes = std::string("\xFF\xFE", 2) + Utf16(text, false);
                if (base64offset) {
                    for (const auto& v : Base64OffsetVariants(bytes)) variants.push_back(LiteralTokens(v));
                } else {
                    variants.push_back(LiteralTokens(Base64(bytes)));
                }
            } else if (windash) {
                for (const auto& v : WindashVariants(text)) variants.push_back(GlobTokens(v));
            } else {
                variants.push_back(GlobTokens(text));
            }
            if (test.all && variants.size() > 1) {
                // Each value's spellings are alternatives: a nested "any" under
                // "all" needs a test per value.
                throw CompileError{"field '" + field + "': all with windash or base64offset is not supported"};
            }
            for (auto& tokens : variants) {
                if (position == Position::Contains || position == Position::EndsWith) tokens.insert(tokens.begin(), kAnyRun);
                if (position == Position::Contains || position == Position::StartsWith) tokens.push_back(kAnyRun);
                test.values.push_back(MatcherOf(std::move(tokens), cased));
            }
        }
        return test;
    }

    // Conditions.
    int AddNode(Node node) {
        rule_->nodes.push_back(std::move(node));
        return static_cast<int>(rule_->nodes.size() - 1);
    }

    std::vector<std::string> tokens_;
    size_t pos_ = 0;

    int ParseCondition(const std::string& text) {
        tokens_.clear();
        pos_ = 0;
        std::string current;
        for (char c : text) {
            if (c == '(' || c == ')' || std::isspace(static_cast<unsigned char>(c))) {
                if (!current.empty()) tokens_.push_back(current);
                current.clear();
                if (!std::isspace(static_cast<unsigned char>(c))) tokens_.push_back(std::string(1, c));
            } else if (c == '|') {
                throw CompileError{"condition: aggregations ('|') are not supported"};
            } else {
                current.push_back(c);
            }
        }
        if (!current.empty()) tokens_.push_back(current);
        const int root = ParseOr();
        if (pos_ != tokens_.size()) throw CompileError{"condition: unexpected '" + tokens_[pos_] + "'"};
        return root;
    }

    bool Peek(const char* word) const { return pos_ < tokens_.size() && Lower(tokens_[pos_]) == word; }

    int ParseOr() {
        std::vector<int> children{ParseAnd()};
        while (Peek("or")) {
            ++pos_;
            children.push_back(ParseAnd());
        }
        return children.size() == 1 ? children[0] : AddNode({Node::Or, -1, children});
    }
    int ParseAnd() {
        std::vector<int> children{ParseNot()};
        while (Peek("and")) {
            ++pos_;
            children.push_back(ParseNot());
        }
        return children.size() == 1 ? children[0] : AddNode({Node::And, -1, children});
    }
    int ParseNot() {
        if (Peek("not")) {
            ++pos_;
            return AddNode({Node::Not, -1, {ParseNot()}});
        }
        return ParsePrimary();
    }
    int ParsePrimary() {
        if (pos_ >= tokens_.size()) throw CompileError{"condition: ends too early"};
        const std::string token = tokens_[pos_++];
        if (token == "(") {
            const int inner = ParseOr();
            if (!Peek(")")) throw CompileError{"condition: a '(' is not closed"};
            ++pos_;
            return inner;
        }
        const std::string lower = Lower(token);
        if (lower == ")" || lower == "and" || lower == "or") throw CompileError{"condition: unexpected '" + token + "'"};
        if ((lower == "1" || lower == "all" || lower == "any") && Peek("of")) {
            ++pos_;
            if (pos_ >= tokens_.size()) throw CompileError{"condition: '" + token + " of' without a pattern"};
            const std::string pattern = tokens_[pos_++];
            std::vector<int> children;
            const bool them = Lower(pattern) == "them";
            const std::vector<int16_t> glob = GlobTokens(pattern);
            for (size_t i = 0; i < rule_->selections.size(); ++i) {
                const std::string& name = rule_->selections[i].name;
                const bool hidden = !name.empty() && name[0] == '_';
                if (them ? hidden : (hidden && pattern[0] != '_')) continue;
                if (them || GlobMatches(glob, name)) children.push_back(AddNode({Node::Select, static_cast<int>(i), {}}));
            }
            if (children.empty()) throw CompileError{"condition: '" + pattern + "' names no selection"};
            if (children.size() == 1) return children[0];
            return AddNode({lower == "all" ? Node::And : Node::Or, -1, children});
        }
        if (std::isdigit(static_cast<unsigned char>(lower[0])) && Peek("of")) {
            throw CompileError{"condition: '" + token + " of' (only 1 of and all of are read)"};
        }
        for (size_t i = 0; i < rule_->selections.size(); ++i) {
            if (rule_->selections[i].name == token) return AddNode({Node::Select, static_cast<int>(i), {}});
        }
        throw CompileError{"condition: '" + token + "' names no selection"};
    }
};

}  // namespace

// ---------------------------------------------------------------------------
// The rule set.



size_t RuleSet::size() const { return rules_.size(); }
const RuleInfo& RuleSet::info(size_t rule) const { return rules_[rule]->info; }

bool RuleSet::AddRuleText(std::string_view text, const std::string& path, std::string* reason) {
    finished_ = false;
    std::vector<YAML::Node> docs;
    try {
        docs = YAML::LoadAll(std::string(text));
    } catch (const YAML::Exception& e) {
        refused_.push_back({path, "", std::string("YAML: ") + e.what()});
        if (reason) *reason = refused_.back().reason;
        return false;
    }
    if (docs.size() != 1) {
        refused_.push_back({path, "", docs.empty() ? "empty file" : "several documents in one file (a rule collection)"});
        if (reason) *reason = refused_.back().reason;
        return false;
    }
    auto rule = std::make_unique<CompiledRule>();
    rule->info.path = path;
    try {
        RuleCompiler(rule.get(), fields_.get()).Compile(docs[0]);
    } catch (const CompileError& e) {
        refused_.push_back({path, rule->info.id, e.reason});
        if (reason) *reason = e.reason;
        return false;
    } catch (const YAML::Exception& e) {
        refused_.push_back({path, rule->info.id, std::string("YAML: ") + e.what()});
        if (reason) *reason = refused_.back().reason;
        return false;
    }
    rules_.push_back(std::move(rule));
    return true;
}

bool RuleSet::LoadDirectory(const std::string& dir, std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        *error = dir + ": not a folder";
        return false;
    }
    std::vector<fs::path> files;
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (!it->is_regular_file(ec)) continue;
        const std::string ext = Lower(it->path().extension().string());
        if (ext == ".yml" || ext == ".yaml") files.push_back(it->path());
    }
    if (ec) {
        *error = dir + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in && !in.eof()) {
            refused_.push_back({file.string(), "", "cannot be read"});
            continue;
        }
        AddRuleText(text.str(), file.string());
    }
    Finish();
    return true;
}

}  // namespace vetrona::client::sigma
