// What a client does with the events it receives: verdict rules, and the
// readable and JSON-lines forms of an event. Shared by vetrona-client and by
// the tools and tests that run a client in-process on the simulated kernel.
#pragma once

#include "client/lib/client.h"

#include <optional>
#include <string>
#include <vector>

namespace vetrona::client {

// One rule: events of a class (and optionally one operation, and optionally
// whose main text contains a substring) get a verdict. The first rule that
// matches decides; no match: the default verdict.
struct VerdictRule {
    uint32_t eventClass = EVENT_CLASS_FILE;
    std::optional<int32_t> operation;  // FileOp* / RegOp*; for processes 1 start, 0 exit
    std::string contains;              // UTF-8, matched against the name / key path / image name
    Verdict verdict = 0;
};

// Parses "CLASS[:OPERATION][~TEXT]=VERDICT", for instance "file:FileOpWrite~.docx=1",
// "registry=1", "process:start=1". Nothing on a malformed rule.
std::optional<VerdictRule> ParseVerdictRule(const std::string& text);

Verdict DecideVerdict(const std::vector<VerdictRule>& rules, const EventView& event, Verdict fallback = 0);

std::string FormatEventText(const EventView& event);
std::string FormatEventJson(const EventView& event, std::optional<Verdict> verdict);

}  // namespace vetrona::client
