// Detection rules written by the community, compiled once and matched
// against the client's events. A rule names a category of events (a process
// start, a file created, a registry value set...), tests on the events' fields
// and a condition over those tests; see README.md, "Detection rules".
//
// Loading never drops a rule silently: what cannot be compiled is listed
// with the reason. Matching is routed by category and goes through a literal
// prefilter, so only the rules whose literals occur in the event are tried.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vetrona::client::sigma {

// An event as the rules see it: the categories it belongs to (a value set is
// both registry_set and registry_event) and its fields by name.
struct Event {
    std::vector<std::string> categories;
    std::vector<std::pair<std::string, std::string>> fields;

    void Set(std::string name, std::string value);
    // Case-insensitive lookup by name; null when absent.
    const std::string* Get(std::string_view name) const;
};

struct RuleInfo {
    std::string id, title, level, status, author, description, category, path;
    std::vector<std::string> tags;            // lower case ("attack.t1490")
    std::vector<std::string> falsePositives;  // as the rule lists them
    std::vector<std::string> references;
};

struct Refusal {
    std::string path;
    std::string id;
    std::string reason;
};

class CompiledRule;
class Prefilter;
class FieldTable;

// Per-thread scratch space for matching (no allocation per event once warm).
struct MatchScratch;
std::unique_ptr<MatchScratch, void (*)(MatchScratch*)> NewMatchScratch();

class RuleSet {
public:
    RuleSet();
    ~RuleSet();
    RuleSet(RuleSet&&) noexcept;
    RuleSet& operator=(RuleSet&&) noexcept;

    // Loads every .yml and .yaml file under `dir` (sorted by path). False only
    // when the folder cannot be read; refused rules are in refused().
    bool LoadDirectory(const std::string& dir, std::string* error);
    // Compiles one rule file's text (a file may hold several documents). False
    // with the reason when a document is refused (it is listed too).
    bool AddRuleText(std::string_view text, const std::string& path, std::string* reason = nullptr);
    // Builds the routing tables and the prefilter; needed before matching and
    // done by LoadDirectory.
    void Finish();

    size_t size() const;
    const RuleInfo& info(size_t rule) const;
    const std::vector<Refusal>& refused() const { return refused_; }

    // The rules matching the event, by index, in load order.
    void Match(const Event& event, MatchScratch* scratch, std::vector<size_t>* matches) const;
    // The same, trying every rule of every category without the prefilter:
    // the yardstick of the benchmark and of the prefilter's tests.
    void MatchEveryRule(const Event& event, MatchScratch* scratch, std::vector<size_t>* matches) const;
    // Rules the prefilter could not narrow (always tried for their category).
    size_t unfilteredCount() const;

private:
    std::vector<std::unique_ptr<CompiledRule>> rules_;
    std::vector<Refusal> refused_;
    std::unique_ptr<Prefilter> prefilter_;
    std::unique_ptr<FieldTable> fields_;
    bool finished_ = false;
};

}  // namespace vetrona::client::sigma
