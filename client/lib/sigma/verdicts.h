// Verdicts from detection-rule matches. By default a match is an alert: a
// line (and a JSON record) naming the rule's id, title, level and author, the
// verdict staying what the client's own rules say. A policy's `sigma` section
// turns chosen matches into denials or backups:
//
//   sigma:
//     rules: C:\sigma\rules          # or a list of folders
//     deny: {ids: [...], tags: [attack.t1490], level: critical, status: [stable]}
//     backup: {tags: [attack.t1486]}
//     alert: rest
//
// A tag selects the tag and its sub-techniques (attack.t1562 selects
// attack.t1562.001); a level selects that level and those above it. A rule
// whose status is deprecated or unsupported is never used to deny or back up.
// The client's own rules come first: a match of one of them decides.
#pragma once

#include "channel/wire.h"
#include "client/lib/sigma/sigma.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace YAML {
class Node;
}

namespace vetrona::client::sigma {

struct Selector {
    std::vector<std::string> ids, tags, statuses;
    std::string level;  // this level and above; empty: any
    bool empty() const { return ids.empty() && tags.empty() && statuses.empty() && level.empty(); }
    bool Selects(const RuleInfo& rule) const;
};

struct SigmaPolicy {
    std::vector<std::string> rules;  // folders
    Selector deny, backup;
    bool present = false;
};

// The section's text (YAML, the mapping under `sigma:`). An error names the key.
bool ParseSigmaPolicy(const YAML::Node& node, SigmaPolicy* policy, std::string* error);
bool ParseSigmaPolicyText(const std::string& text, SigmaPolicy* policy, std::string* error);

// The verdict a match of the rule gives: deny, backup, or none (an alert).
Verdict VerdictOfMatch(const SigmaPolicy& policy, const RuleInfo& rule);

// An alert: "sigma alert: <title> [<level>] id <id> by <author> (<verdict>): <what>".
std::string AlertLine(const RuleInfo& rule, const Event& event, Verdict verdict);
nlohmann::json AlertJson(const RuleInfo& rule, const Event& event, Verdict verdict);

// The rules of a policy, loaded, and the verdict of an event's matches.
class Detector {
public:
    // Loads every folder of the policy. False with the error when one cannot be read.
    bool Load(const SigmaPolicy& policy, std::string* error);
    const RuleSet& rules() const { return rules_; }
    const SigmaPolicy& policy() const { return policy_; }

    struct Outcome {
        std::vector<size_t> matches;  // rule indexes
        std::vector<Verdict> verdicts;  // per match
        Verdict verdict = VerdictNone;  // deny before backup; none: alerts only
    };
    Outcome Evaluate(const Event& event);

private:
    SigmaPolicy policy_;
    RuleSet rules_;
    std::unique_ptr<MatchScratch, void (*)(MatchScratch*)> scratch_{nullptr, nullptr};
};

}  // namespace vetrona::client::sigma
