// Replaying logged events against the rules: each logged record is turned
// back into the activity Vetrona reports (a process start, a file created or
// deleted, a registry value set...) and goes through the live client's field
// mapping before the rules see it.
#pragma once

#include "client/lib/sigma/fields.h"
#include "client/lib/sigma/sigma.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace vetrona::client::sigma {

// The activity a logged record stands for, as the live mapping presents it;
// none with the reason when Vetrona reports no such thing.
std::optional<Event> EventFromLogged(const nlohmann::json& record, std::string* reason);

struct ReplayResult {
    std::string folder;
    std::string ruleId, title, author;
    int records = 0;     // logged records read
    int events = 0;      // of them replayed (the others Vetrona does not report)
    int matches = 0;     // events the rule matched
    int expected = -1;   // the logged match count
    bool exact = false;  // the log is just the expected matches: matches must equal expected
    bool replayable = true;
    bool passed = false;
    std::string reason;  // why not replayable, or why it failed
};

ReplayResult ReplayCase(const RuleSet& rules, const std::string& folder);
// Folders holding an info.yml under each root (a root may be a case itself).
std::vector<std::string> FindCases(const std::vector<std::string>& roots);
nlohmann::json ReplayJson(const ReplayResult& result);
std::string ReplayLine(const ReplayResult& result);

}  // namespace vetrona::client::sigma
