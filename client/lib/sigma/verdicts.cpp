// Verdicts from matches.
#include "client/lib/sigma/verdicts.h"

#include "client/lib/sigma/match.h"

#include <yaml-cpp/yaml.h>

namespace vetrona::client::sigma {

namespace {

int LevelRank(const std::string& level) {
    static const char* const names[] = {"informational", "low", "medium", "high", "critical"};
    for (int i = 0; i < 5; ++i) {
        if (level == names[i]) return i;
    }
    return -1;
}

std::vector<std::string> Strings(const YAML::Node& node, const std::string& key, std::string* error) {
    std::vector<std::string> out;
    if (node.IsScalar()) {
        out.push_back(node.Scalar());
    } else if (node.IsSequence()) {
        for (const auto& item : node) {
            if (!item.IsScalar()) {
                *error = key + ": expected a list of names";
                return {};
            }
            out.push_back(item.Scalar());
        }
    } else {
        *error = key + ": expected a name or a list of names";
    }
    return out;
}

bool ParseSelector(const YAML::Node& node, const std::string& name, Selector* selector, std::string* error) {
    if (!node.IsMap()) {
        *error = "sigma." + name + ": expected a mapping (ids, tags, level, status)";
        return false;
    }
    for (const auto& item : node) {
        const std::string key = item.first.as<std::string>();
        const std::string where = "sigma." + name + "." + key;
        if (key == "ids") {
            selector->ids = Strings(item.second, where, error);
        } else if (key == "tags") {
            for (auto& t : Strings(item.second, where, error)) selector->tags.push_back(Lower(t));
        } else if (key == "status") {
            for (auto& t : Strings(item.second, where, error)) selector->statuses.push_back(Lower(t));
        } else if (key == "level") {
            selector->level = item.second.IsScalar() ? Lower(item.second.Scalar()) : "";
            if (LevelRank(selector->level) < 0) {
                *error = where + ": unknown level (informational, low, medium, high, critical)";
                return false;
            }
        } else {
            *error = where + ": unknown key (ids, tags, level, status)";
            return false;
        }
        if (!error->empty()) return false;
    }
    return true;
}

}  // namespace

bool Selector::Selects(const RuleInfo& rule) const {
    if (empty()) return false;
    for (const auto& id : ids) {
        if (Lower(id) == Lower(rule.id)) return true;
    }
    for (const auto& tag : tags) {
        for (const auto& t : rule.tags) {
            if (t == tag || (t.size() > tag.size() && t.compare(0, tag.size(), tag) == 0 && t[tag.size()] == '.')) return true;
        }
    }
    for (const auto& status : statuses) {
        if (status == rule.status) return true;
    }
    return !level.empty() && LevelRank(rule.level) >= LevelRank(level);
}

bool ParseSigmaPolicy(const YAML::Node& node, SigmaPolicy* policy, std::string* error) {
    error->clear();
    if (!node.IsMap()) {
        *error = "sigma: expected a mapping (rules, deny, backup, alert)";
        return false;
    }
    policy->present = true;
    for (const auto& item : node) {
        const std::string key = item.first.as<std::string>();
        if (key == "rules") {
            policy->rules = Strings(item.second, "sigma.rules", error);
            if (!error->empty()) return false;
        } else if (key == "deny") {
            if (!ParseSelector(item.second, key, &policy->deny, error)) return false;
        } else if (key == "backup") {
            if (!ParseSelector(item.second, key, &policy->backup, error)) return false;
        } else if (key == "alert") {
            if (!item.second.IsScalar() || item.second.Scalar() != "rest") {
                *error = "sigma.alert: only 'rest' (every other match is an alert)";
                return false;
            }
        } else {
            *error = "sigma." + key + ": unknown key (rules, deny, backup, alert)";
            return false;
        }
    }
    return true;
}

bool ParseSigmaPolicyText(const std::string& text, SigmaPolicy* policy, std::string* error) {
    try {
        return ParseSigmaPolicy(YAML::Load(text), policy, error);
    } catch (const YAML::Exception& e) {
        *error = std::string("sigma: ") + e.what();
        return false;
    }
}

Verdict VerdictOfMatch(const SigmaPolicy& policy, const RuleInfo& rule) {
    if (rule.status == "deprecated" || rule.status == "unsupported") return VerdictNone;
    if (policy.deny.Selects(rule)) return VerdictDeny;
    if (policy.backup.Selects(rule)) return VerdictBackup;
    return VerdictNone;
}

namespace {

const char* VerdictWord(Verdict verdict) {
    return verdict == VerdictDeny ? "deny" : verdict == VerdictBackup ? "backup" : "alert";
}

// The event's main subject: what the process ran, the file, or the key.
std::string Subject(const Event& event) {
    for (const char* field : {"CommandLine", "TargetFilename", "TargetObject", "Image"}) {
        if (const std::string* v = event.Get(field)) return *v;
    }
    return "";
}

}  // namespace

std::string AlertLine(const RuleInfo& rule, const Event& event, Verdict verdict) {
    std::string line = "sigma " + std::string(VerdictWord(verdict)) + ": " + rule.title + " [" + rule.level + "] id " +
                       rule.id + " by " + (rule.author.empty() ? std::string("unknown author") : rule.author);
    const std::string subject = Subject(event);
    if (!subject.empty()) line += ": " + (event.categories.empty() ? std::string() : event.categories[0] + " ") + subject;
    return line;
}

nlohmann::json AlertJson(const RuleInfo& rule, const Event& event, Verdict verdict) {
    nlohmann::json fields = nlohmann::json::object();
    for (const auto& [name, value] : event.fields) fields[name] = value;
    return {{"type", "sigma-alert"},
            {"verdict", VerdictWord(verdict)},
            {"rule_id", rule.id},
            {"title", rule.title},
            {"level", rule.level},
            {"status", rule.status},
            {"author", rule.author},
            {"tags", rule.tags},
            {"license", "Detection Rule License 1.1"},
            {"event", {{"category", event.categories.empty() ? std::string() : event.categories[0]}, {"fields", fields}}}};
}

bool Detector::Load(const SigmaPolicy& policy, std::string* error) {
    policy_ = policy;
    for (const std::string& dir : policy.rules) {
        if (!rules_.LoadDirectory(dir, error)) return false;
    }
    rules_.Finish();
    scratch_ = NewMatchScratch();
    return true;
}

Detector::Outcome Detector::Evaluate(const Event& event) {
    Outcome out;
    rules_.Match(event, scratch_.get(), &out.matches);
    for (size_t r : out.matches) {
        const Verdict v = VerdictOfMatch(policy_, rules_.info(r));
        out.verdicts.push_back(v);
        if (v == VerdictDeny || (v == VerdictBackup && out.verdict != VerdictDeny)) out.verdict = v;
    }
    return out;
}

}  // namespace vetrona::client::sigma
