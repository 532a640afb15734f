// Checking and replaying.
#include "client/lib/sigma/commands.h"

#include "client/lib/sigma/replay.h"
#include "client/lib/sigma/sigma.h"

#include <nlohmann/json.hpp>

namespace vetrona::client::sigma {

namespace {

void Print(FILE* out, const std::string& line) { std::fprintf(out, "%s\n", line.c_str()); }

std::string Dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

}  // namespace

int CheckCommand(const std::string& dir, bool json, FILE* out) {
    RuleSet rules;
    std::string error;
    if (!rules.LoadDirectory(dir, &error)) {
        std::fprintf(stderr, "vetrona-client: --sigma: %s\n", error.c_str());
        return 2;
    }
    const size_t total = rules.size() + rules.refused().size();
    for (const Refusal& r : rules.refused()) {
        if (json) {
            Print(out, Dump({{"type", "sigma-refused"}, {"path", r.path}, {"id", r.id}, {"reason", r.reason}}));
        } else {
            Print(out, "refused " + r.path + (r.id.empty() ? "" : " (" + r.id + ")") + ": " + r.reason);
        }
    }
    const double share = total == 0 ? 0.0 : 100.0 * static_cast<double>(rules.size()) / static_cast<double>(total);
    if (json) {
        Print(out, Dump({{"type", "sigma-check"},
                         {"rules", dir},
                         {"loaded", rules.size()},
                         {"refused", rules.refused().size()},
                         {"loaded_percent", share},
                         {"unfiltered", rules.unfilteredCount()}}));
    } else {
        char text[256];
        std::snprintf(text, sizeof(text), "%zu rules loaded, %zu refused (%.1f %% loaded); %zu tried on every event of their category",
                      rules.size(), rules.refused().size(), share, rules.unfilteredCount());
        Print(out, text);
    }
    return 0;
}

int ReplayCommand(const std::vector<std::string>& rulesDirs, const std::vector<std::string>& roots, bool json, FILE* out) {
    RuleSet rules;
    std::string error;
    for (const std::string& dir : rulesDirs) {
        if (!rules.LoadDirectory(dir, &error)) {
            std::fprintf(stderr, "vetrona-client: --rules: %s\n", error.c_str());
            return 2;
        }
    }
    int passed = 0, failed = 0, unreplayable = 0;
    for (const std::string& folder : FindCases(roots)) {
        const ReplayResult r = ReplayCase(rules, folder);
        Print(out, json ? Dump(ReplayJson(r)) : ReplayLine(r));
        if (!r.replayable) ++unreplayable;
        else if (r.passed) ++passed;
        else ++failed;
    }
    if (json) {
        Print(out, Dump({{"type", "sigma-replay-summary"}, {"passed", passed}, {"failed", failed}, {"unreplayable", unreplayable}}));
    } else {
        Print(out, std::to_string(passed) + " passed, " + std::to_string(failed) + " failed, " + std::to_string(unreplayable) +
                       " not replayable");
    }
    return failed == 0 && passed + unreplayable > 0 ? 0 : 1;
}

}  // namespace vetrona::client::sigma
