// Verdict policies: glob matching, rule fields, deciding, and the policy file.
#include "client/lib/policy.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vetrona::client {

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsFolded(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (Fold(a[i]) != Fold(b[i])) return false;
    }
    return true;
}

std::optional<int32_t> ParseNumber(std::string_view text) {
    if (text.empty() || text.size() > 12) return std::nullopt;
    std::string copy(text);
    char* end = nullptr;
    const long value = std::strtol(copy.c_str(), &end, 0);
    if (*end != '\0' || value < INT32_MIN || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

// The forms of a file name a pattern may be written against: as sent, and with
// a device prefix replaced by the drive it is mounted as.
std::vector<std::string> NameForms(const std::string& name, const EventContext& context) {
    std::vector<std::string> forms{name};
    for (const auto& [device, drive] : context.drives) {
        if (name.size() >= device.size() && EqualsFolded(std::string_view(name).substr(0, device.size()), device) &&
            (name.size() == device.size() || name[device.size()] == '\\')) {
            forms.push_back(drive + name.substr(device.size()));
        }
    }
    return forms;
}

bool AnyFormMatches(const std::string& pattern, const std::string& name, const EventContext& context) {
    for (const std::string& form : NameForms(name, context)) {
        if (GlobMatch(pattern, form)) return true;
    }
    return false;
}

}  // namespace

bool GlobMatch(std::string_view pattern, std::string_view text) {
    // Iterative matching with one backtrack point: linear in practice, never
    // exponential.
    size_t p = 0, t = 0;
    size_t starP = std::string_view::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p]) == Fold(text[t]))) {
            ++p;
            ++t;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

std::optional<Verdict> ParseVerdictName(std::string_view text) {
    if (EqualsFolded(text, "allow")) return 0;
    if (EqualsFolded(text, "deny")) return VerdictDeny;
    if (EqualsFolded(text, "backup")) return VerdictBackup;
    if (EqualsFolded(text, "none")) return VerdictNone;
    return ParseNumber(text);
}

const char* VerdictName(Verdict verdict) {
    switch (verdict) {
        case 0: return "allow";
        case VerdictDeny: return "deny";
        case VerdictBackup: return "backup";
        case VerdictNone: return "none";
        default: return "other";
    }
}

std::optional<uint32_t> ParseClassName(std::string_view text) {
    if (EqualsFolded(text, "file")) return EVENT_CLASS_FILE;
    if (EqualsFolded(text, "registry")) return EVENT_CLASS_REGISTRY;
    if (EqualsFolded(text, "process")) return EVENT_CLASS_PROCESS;
    return std::nullopt;
}

const char* ClassName(uint32_t eventClass) {
    switch (eventClass) {
        case EVENT_CLASS_FILE: return "file";
        case EVENT_CLASS_REGISTRY: return "registry";
        case EVENT_CLASS_PROCESS: return "process";
        default: return "unknown";
    }
}

std::optional<uint64_t> ParseByteSize(std::string_view text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0 || digits > 20) return std::nullopt;
    uint64_t value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    std::string unit;
    for (char c : text.substr(digits)) unit.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    int shift = 0;
    if (unit.empty() || unit == "B") shift = 0;
    else if (unit == "K" || unit == "KB" || unit == "KIB") shift = 10;
    else if (unit == "M" || unit == "MB" || unit == "MIB") shift = 20;
    else if (unit == "G" || unit == "GB" || unit == "GIB") shift = 30;
    else return std::nullopt;
    if (shift != 0 && value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

std::optional<int32_t> ParseOperationName(std::optional<uint32_t> eventClass, std::string_view text) {
    if (!eventClass || *eventClass == EVENT_CLASS_PROCESS) {
        if (EqualsFolded(text, "start")) return 1;
        if (EqualsFolded(text, "exit")) return 0;
    }
    for (int32_t op = -1; op <= FileOpLink; ++op) {
        if ((!eventClass || *eventClass == EVENT_CLASS_FILE) && EqualsFolded(text, FileOpName(op))) return op;
        if ((!eventClass || *eventClass == EVENT_CLASS_REGISTRY) && EqualsFolded(text, RegOpName(op))) return op;
    }
    return ParseNumber(text);
}

std::optional<uint32_t> OperationClassOf(std::string_view text) {
    if (EqualsFolded(text, "start") || EqualsFolded(text, "exit")) return EVENT_CLASS_PROCESS;
    for (int32_t op = -1; op <= FileOpLink; ++op) {
        if (EqualsFolded(text, FileOpName(op))) return EVENT_CLASS_FILE;
        if (EqualsFolded(text, RegOpName(op))) return EVENT_CLASS_REGISTRY;
    }
    return std::nullopt;
}

std::string SetRuleField(PolicyRule* rule, std::string_view key, std::string_view value) {
    if (key == "class") {
        auto parsed = ParseClassName(value);
        if (!parsed) return "unknown class '" + std::string(value) + "' (file, registry or process)";
        if (rule->operation && rule->eventClass && *rule->eventClass != *parsed) {
            return "the rule's operation is not one of class '" + std::string(value) + "'";
        }
        rule->eventClass = parsed;
    } else if (key == "operation") {
        auto parsed = ParseOperationName(rule->eventClass, value);
        if (!parsed) return UnknownOperationMessage(rule->eventClass, value);
        rule->operation = parsed;
        if (!rule->eventClass) rule->eventClass = OperationClassOf(value);
    } else if (key == "path") {
        rule->path = value;
    } else if (key == "destination") {
        rule->destination = value;
    } else if (key == "target") {
        rule->target = value;
    } else if (key == "value") {
        rule->value = value;
    } else if (key == "image") {
        rule->image = value;
    } else if (key == "verdict") {
        auto parsed = ParseVerdictName(value);
        if (!parsed) return "unknown verdict '" + std::string(value) + "' (allow, deny, backup, none or a number)";
        rule->verdict = *parsed;
    } else {
        return "unknown rule field '" + std::string(key) +
               "' (class, operation, path, destination, target, value, image, verdict)";
    }
    return {};
}

std::string CheckRule(const PolicyRule& /*rule*/, bool hasVerdict) {
    if (!hasVerdict) return "a rule needs a verdict";
    return {};
}

uint32_t EventClassOf(const EventView& event) {
    switch (event.index()) {
        case 0: return EVENT_CLASS_FILE;
        case 1: return EVENT_CLASS_REGISTRY;
        default: return EVENT_CLASS_PROCESS;
    }
}

int32_t EventOperationOf(const EventView& event) {
    if (auto* f = std::get_if<FileEventView>(&event)) return f->operation;
    if (auto* r = std::get_if<RegistryEventView>(&event)) return r->operation;
    return std::get<ProcessEventView>(event).isCreate ? 1 : 0;
}

uint32_t EventProcessOf(const EventView& event) {
    if (auto* f = std::get_if<FileEventView>(&event)) return f->processId;
    if (auto* r = std::get_if<RegistryEventView>(&event)) return r->processId;
    return std::get<ProcessEventView>(event).processId;
}

const char* EventOperationName(const EventView& event) {
    if (auto* f = std::get_if<FileEventView>(&event)) return FileOpName(f->operation);
    if (auto* r = std::get_if<RegistryEventView>(&event)) return RegOpName(r->operation);
    return std::get<ProcessEventView>(event).isCreate ? "start" : "exit";
}

bool RuleMatches(const PolicyRule& rule, const EventView& event, const EventContext& context) {
    if (rule.eventClass && *rule.eventClass != EventClassOf(event)) return false;
    if (rule.operation && *rule.operation != EventOperationOf(event)) return false;
    if (auto* f = std::get_if<FileEventView>(&event)) {
        if (!rule.value.empty()) return false;
        if (!rule.path.empty() && !AnyFormMatches(rule.path, f->name.Utf8(), context)) return false;
        if (!rule.destination.empty() && (f->destName.empty() || !AnyFormMatches(rule.destination, f->destName.Utf8(), context))) {
            return false;
        }
        // What ends up at the place: the file itself, or what a rename or a
        // link puts there.
        if (!rule.target.empty() && !AnyFormMatches(rule.target, f->name.Utf8(), context) &&
            (f->destName.empty() || !AnyFormMatches(rule.target, f->destName.Utf8(), context))) {
            return false;
        }
    } else if (auto* r = std::get_if<RegistryEventView>(&event)) {
        if (!rule.destination.empty()) return false;
        const std::vector<std::string> forms = KeyNameForms(r->keyPath.Utf8());
        for (const std::string* pattern : {&rule.path, &rule.target}) {
            if (!pattern->empty() &&
                std::none_of(forms.begin(), forms.end(), [&](const std::string& f) { return GlobMatch(*pattern, f); })) {
                return false;
            }
        }
        if (!rule.value.empty() && !GlobMatch(rule.value, r->name.Utf8())) return false;
    } else {
        const auto& p = std::get<ProcessEventView>(event);
        if (!rule.destination.empty() || !rule.value.empty()) return false;
        if (!rule.path.empty() && !AnyFormMatches(rule.path, p.imageName.Utf8(), context)) return false;
        if (!rule.target.empty() && !AnyFormMatches(rule.target, p.imageName.Utf8(), context)) return false;
    }
    if (!rule.image.empty()) {
        // A start is about the new process, whose image the message carries;
        // everything else is about a process the client has to know.
        std::string image;
        const auto* p = std::get_if<ProcessEventView>(&event);
        if (p != nullptr && p->isCreate) {
            image = p->imageName.Utf8();
        } else if (context.imageOf) {
            image = context.imageOf(EventProcessOf(event));
        }
        if (image.empty() || !AnyFormMatches(rule.image, image, context)) return false;
    }
    return true;
}

Verdict Decide(const Policy& policy, const EventView& event, const EventContext& context, int* ruleIndex) {
    for (size_t i = 0; i < policy.rules.size(); ++i) {
        if (RuleMatches(policy.rules[i], event, context)) {
            if (ruleIndex != nullptr) *ruleIndex = static_cast<int>(i);
            return policy.rules[i].verdict;
        }
    }
    if (ruleIndex != nullptr) *ruleIndex = -1;
    return policy.fallback;
}

// --- policy files ------------------------------------------------------------

namespace {

struct Line {
    int number = 0;
    size_t indent = 0;
    std::string text;  // without indentation and comment, right-trimmed
};

std::string TrimRight(std::string_view s) {
    size_t end = s.size();
    while (end > 0 && (s[end - 1] == ' ' || s[end - 1] == '\t' || s[end - 1] == '\r')) --end;
    return std::string(s.substr(0, end));
}

std::string Trim(std::string_view s) {
    size_t start = 0;
    while (start < s.size() && (s[start] == ' ' || s[start] == '\t')) ++start;
    return TrimRight(s.substr(start));
}

// Removes a comment: '#' at the start or after a blank, outside quotes.
std::string StripComment(std::string_view s) {
    char quote = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (quote != 0) {
            if (c == '\\' && quote == '"' && i + 1 < s.size()) {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '#' && (i == 0 || s[i - 1] == ' ' || s[i - 1] == '\t')) {
            return std::string(s.substr(0, i));
        }
    }
    return std::string(s);
}

class PolicyParser {
public:
    PolicyParser(Policy* policy, PolicyError* error, std::vector<std::pair<std::string, std::string>>* extra)
        : policy_(policy), error_(error), extra_(extra) {}

    bool Parse(std::string_view text) {
        size_t start = 0;
        int number = 0;
        while (start <= text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string_view::npos) end = text.size();
            ++number;
            std::string raw(text.substr(start, end - start));
            const size_t firstNonBlank = raw.find_first_not_of(' ');
            if (firstNonBlank != std::string::npos && raw[firstNonBlank] == '\t') {
                return Fail(number, "", "tabs cannot indent");
            }
            std::string body = TrimRight(StripComment(raw));
            const size_t indent = body.find_first_not_of(' ');
            if (indent != std::string::npos && body != "---") {
                lines_.push_back({number, indent, body.substr(indent)});
            }
            if (end == text.size()) break;
            start = end + 1;
        }
        size_t i = 0;
        while (i < lines_.size()) {
            const Line& line = lines_[i];
            if (line.indent != 0) return Fail(line.number, "", "unexpected indentation");
            std::string key, value;
            if (!SplitKeyValue(line, &key, &value)) return false;
            ++i;
            if (key == "sigma") {
                // The detection rules' section: a mapping of its own, handed to
                // the caller as YAML text (client/lib/sigma/verdicts.h reads it).
                std::string block = value;
                while (i < lines_.size() && lines_[i].indent > 0) {
                    block += "\n" + std::string(lines_[i].indent, ' ') + lines_[i].text;
                    ++i;
                }
                if (extra_ == nullptr) return Fail(line.number, key, "unknown key (default, rules)");
                extra_->emplace_back(key, block);
                continue;
            }
            if (key == "default") {
                std::string scalar;
                if (!Scalar(line.number, key, value, &scalar)) return false;
                auto verdict = ParseVerdictName(scalar);
                if (!verdict) return Fail(line.number, key, "unknown verdict '" + scalar + "'");
                policy_->fallback = *verdict;
            } else if (key == "rules") {
                if (value == "[]") continue;
                if (!value.empty()) return Fail(line.number, key, "expected a list of rules on the lines below");
                if (!Rules(&i)) return false;
            } else {
                // Another setting: a scalar, or a list of scalars ("- x" lines
                // or "[a, b]"), returned to the caller as written.
                if (value.empty()) {
                    std::string joined;
                    while (i < lines_.size() && lines_[i].indent > 0) {
                        const Line& item = lines_[i];
                        if (item.text.rfind("- ", 0) != 0 && item.text != "-") {
                            return Fail(item.number, key, "expected '- value'");
                        }
                        std::string scalar;
                        if (!Scalar(item.number, key, Trim(item.text.substr(1)), &scalar)) return false;
                        joined += (joined.empty() ? "" : ",") + scalar;
                        ++i;
                    }
                    value = joined;
                } else if (!(value.front() == '[' && value.back() == ']')) {
                    std::string scalar;
                    if (!Scalar(line.number, key, value, &scalar)) return false;
                    value = scalar;
                }
                if (extra_ == nullptr) return Fail(line.number, key, "unknown key (default, rules)");
                extra_->emplace_back(key, value);
            }
        }
        return true;
    }

private:
    bool Fail(int line, const std::string& field, const std::string& message) {
        error_->line = line;
        error_->field = field;
        error_->message = message;
        return false;
    }

    bool SplitKeyValue(const Line& line, std::string* key, std::string* value) {
        return SplitKeyValueText(line.number, line.text, key, value);
    }

    bool SplitKeyValueText(int number, std::string_view text, std::string* key, std::string* value) {
        const size_t colon = text.find(':');
        if (colon == std::string_view::npos || colon == 0 || (colon + 1 < text.size() && text[colon + 1] != ' ')) {
            return Fail(number, "", "expected 'key: value'");
        }
        *key = Trim(text.substr(0, colon));
        *value = Trim(text.substr(colon + 1));
        return true;
    }

    bool Scalar(int number, const std::string& field, const std::string& text, std::string* out) {
        out->clear();
        if (text.empty()) return true;
        if (text.front() == '\'') {
            for (size_t i = 1; i < text.size(); ++i) {
                if (text[i] == '\'') {
                    if (i + 1 < text.size() && text[i + 1] == '\'') {
                        *out += '\'';
                        ++i;
                        continue;
                    }
                    if (i + 1 != text.size()) return Fail(number, field, "text after a closing quote");
                    return true;
                }
                *out += text[i];
            }
            return Fail(number, field, "unterminated quote");
        }
        if (text.front() == '"') {
            for (size_t i = 1; i < text.size(); ++i) {
                if (text[i] == '\\') {
                    if (i + 1 >= text.size()) break;
                    const char e = text[++i];
                    if (e == '\\' || e == '"') *out += e;
                    else if (e == 'n') *out += '\n';
                    else if (e == 't') *out += '\t';
                    else return Fail(number, field, std::string("unknown escape \\") + e + " (write a backslash as \\\\ or use single quotes)");
                    continue;
                }
                if (text[i] == '"') {
                    if (i + 1 != text.size()) return Fail(number, field, "text after a closing quote");
                    return true;
                }
                *out += text[i];
            }
            return Fail(number, field, "unterminated quote");
        }
        if (text.front() == '*' || text.front() == '&' || text.front() == '!' || text.front() == '{' ||
            text.front() == '[' || text.front() == '|' || text.front() == '>' || text.front() == '@' || text.front() == '`') {
            return Fail(number, field, "a value starting with '" + std::string(1, text.front()) + "' must be quoted ('...')");
        }
        *out = text;
        return true;
    }

    // Splits "{a: 1, b: 'x, y'}" into "key: value" texts.
    bool FlowItems(int number, const std::string& text, std::vector<std::string>* items) {
        if (text.size() < 2 || text.back() != '}') return Fail(number, "rules", "unterminated '{'");
        std::string current;
        char quote = 0;
        for (size_t i = 1; i + 1 < text.size(); ++i) {
            const char c = text[i];
            if (quote != 0) {
                if (c == '\\' && quote == '"' && i + 2 < text.size()) {
                    current += c;
                    current += text[++i];
                    continue;
                }
                if (c == quote) quote = 0;
                current += c;
            } else if (c == '\'' || c == '"') {
                quote = c;
                current += c;
            } else if (c == ',') {
                items->push_back(Trim(current));
                current.clear();
            } else if (c == '{' || c == '}' || c == '[' || c == ']') {
                return Fail(number, "rules", "nested collections are not part of a rule");
            } else {
                current += c;
            }
        }
        if (quote != 0) return Fail(number, "rules", "unterminated quote");
        if (!Trim(current).empty()) items->push_back(Trim(current));
        return true;
    }

    bool Field(int number, PolicyRule* rule, bool* hasVerdict, std::string_view text) {
        std::string key, value, scalar;
        if (!SplitKeyValueText(number, text, &key, &value)) return false;
        if (!Scalar(number, key, value, &scalar)) return false;
        const std::string problem = SetRuleField(rule, key, scalar);
        if (!problem.empty()) return Fail(number, key, problem);
        *hasVerdict = *hasVerdict || key == "verdict";
        return true;
    }

    bool Rules(size_t* i) {
        size_t itemIndent = std::string::npos;
        while (*i < lines_.size() && lines_[*i].indent > 0) {
            const Line& line = lines_[*i];
            if (itemIndent == std::string::npos) itemIndent = line.indent;
            if (line.indent != itemIndent || (line.text.rfind("- ", 0) != 0 && line.text != "-")) {
                return Fail(line.number, "rules", "expected '- ' starting a rule");
            }
            PolicyRule rule;
            rule.line = line.number;
            bool hasVerdict = false;
            const std::string first = Trim(line.text.substr(1));
            ++*i;
            if (!first.empty() && first.front() == '{') {
                std::vector<std::string> items;
                if (!FlowItems(line.number, first, &items)) return false;
                for (const std::string& item : items) {
                    if (!Field(line.number, &rule, &hasVerdict, item)) return false;
                }
            } else {
                const size_t fieldIndent = line.indent + (line.text.size() - line.text.substr(1).size()) +
                                           (line.text.substr(1).size() - Trim(line.text.substr(1)).size());
                if (!first.empty() && !Field(line.number, &rule, &hasVerdict, first)) return false;
                while (*i < lines_.size() && lines_[*i].indent > itemIndent) {
                    const Line& more = lines_[*i];
                    if (more.indent != fieldIndent) return Fail(more.number, "rules", "misaligned rule field");
                    if (!Field(more.number, &rule, &hasVerdict, more.text)) return false;
                    ++*i;
                }
            }
            const std::string problem = CheckRule(rule, hasVerdict);
            if (!problem.empty()) return Fail(rule.line, "rules", problem);
            policy_->rules.push_back(rule);
        }
        return true;
    }

    Policy* policy_;
    PolicyError* error_;
    std::vector<std::pair<std::string, std::string>>* extra_;
    std::vector<Line> lines_;
};

}  // namespace

bool ParsePolicyText(std::string_view text, Policy* policy, PolicyError* error,
                     std::vector<std::pair<std::string, std::string>>* extra) {
    *policy = Policy{};
    *error = PolicyError{};
    if (extra != nullptr) extra->clear();
    PolicyParser parser(policy, error, extra);
    return parser.Parse(text);
}

}  // namespace vetrona::client
