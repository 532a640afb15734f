// Routing and the literal prefilter: an Aho-Corasick automaton over the
// literals each rule needs, run once over an event's values, so only the
// rules whose literals occur there (and those it cannot narrow) are tried.
#include "client/lib/sigma/compiled.h"
#include "client/lib/sigma/match.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <map>
#include <optional>
#include <queue>

namespace vetrona::client::sigma {

// ---------------------------------------------------------------------------
// Events, field numbers and values.

void Event::Set(std::string name, std::string value) {
    for (auto& [n, v] : fields) {
        if (Lower(n) == Lower(name)) {
            v = std::move(value);
            return;
        }
    }
    fields.emplace_back(std::move(name), std::move(value));
}

const std::string* Event::Get(std::string_view name) const {
    const std::string wanted = Lower(name);
    for (const auto& [n, v] : fields) {
        if (Lower(n) == wanted) return &v;
    }
    return nullptr;
}

int FieldTable::Id(std::string_view name) {
    std::string key = Lower(name);
    auto it = ids_.find(key);
    if (it != ids_.end()) return it->second;
    const int id = static_cast<int>(names_.size());
    names_.push_back(key);
    ids_.emplace(std::move(key), id);
    return id;
}

int FieldTable::Find(std::string_view name) const {
    auto it = ids_.find(Lower(name));
    return it == ids_.end() ? -1 : it->second;
}

namespace {

void LowerInto(std::string_view text, std::string* out) {
    out->resize(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        (*out)[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

}  // namespace

void FieldValues::Reset(size_t fieldCount) {
    if (stamp_.size() < fieldCount) {
        stamp_.resize(fieldCount, 0);
        slots_.resize(fieldCount);
    }
    if (++epoch_ == 0) {
        std::fill(stamp_.begin(), stamp_.end(), 0);
        epoch_ = 1;
    }
    present_.clear();
    unnamedUsed_ = 0;
}

void FieldValues::Set(int field, std::string_view value) {
    FieldValue& slot = slots_[field];
    slot.raw.assign(value);
    LowerInto(value, &slot.lower);
    if (stamp_[field] != epoch_) present_.push_back(&slot);
    stamp_[field] = epoch_;
}

void FieldValues::AddUnnamed(std::string_view value) {
    if (unnamedUsed_ == unnamed_.size()) {
        // Pointers into unnamed_ are handed out: grow it before any is.
        unnamed_.reserve(std::max<size_t>(64, unnamed_.size() * 2));
        unnamed_.emplace_back();
    }
    if (unnamedUsed_ >= unnamed_.capacity()) return;  // keeps the pointers valid; a keyword sees fewer fields
    FieldValue& slot = unnamed_[unnamedUsed_++];
    slot.raw.assign(value);
    LowerInto(value, &slot.lower);
    present_.push_back(&slot);
}

MatchScratch::~MatchScratch() {
    if (matchData != nullptr) pcre2_match_data_free(matchData);
}

std::unique_ptr<MatchScratch, void (*)(MatchScratch*)> NewMatchScratch() {
    auto* scratch = new MatchScratch;
    scratch->matchData = pcre2_match_data_create(16, nullptr);
    return {scratch, [](MatchScratch* s) { delete s; }};
}


// ---------------------------------------------------------------------------
// Literals a rule needs.

namespace {

using Set = std::vector<std::string>;
// Sets that are each necessary: an event the part matches has a member of
// every one of them in its values. Empty: nothing is known.
using Sets = std::vector<Set>;

size_t Shortest(const Set& set) {
    size_t n = SIZE_MAX;
    for (const auto& s : set) n = std::min(n, s.size());
    return n;
}

// Whether set a narrows better than b: its shortest literal is longer (fewer
// chance hits; past 8 bytes length matters little), then it is smaller.
bool Narrower(const Set& a, const Set& b) {
    const size_t sa = std::min<size_t>(Shortest(a), 8), sb = std::min<size_t>(Shortest(b), 8);
    if (sa != sb) return sa > sb;
    return a.size() < b.size();
}

const Set* Best(const Sets& sets) {
    const Set* best = nullptr;
    for (const Set& s : sets) {
        if (best == nullptr || Narrower(s, *best)) best = &s;
    }
    return best;
}

// Alternatives: a set is necessary only when each alternative gives one (their union).
Sets AnyOf(const std::vector<Sets>& alternatives) {
    Set out;
    for (const Sets& a : alternatives) {
        const Set* best = Best(a);
        if (best == nullptr) return {};
        out.insert(out.end(), best->begin(), best->end());
    }
    if (out.empty()) return {};
    return {out};
}

Sets AllOf(std::vector<Sets> parts) {
    Sets out;
    for (Sets& p : parts) out.insert(out.end(), std::make_move_iterator(p.begin()), std::make_move_iterator(p.end()));
    return out;
}

Sets OfMatcher(const Matcher& m) {
    switch (m.kind) {
    case Matcher::Equals:
    case Matcher::Contains:
    case Matcher::StartsWith:
    case Matcher::EndsWith:
        if (m.text.empty()) return {};
        return {Set{Lower(m.text)}};
    case Matcher::Glob: {
        std::string best, run;
        for (int16_t t : m.glob) {
            if (t >= 0) {
                run.push_back(static_cast<char>(t));
                if (run.size() > best.size()) best = run;
            } else {
                run.clear();
            }
        }
        if (best.empty()) return {};
        return {Set{Lower(best)}};
    }
    default: return {};
    }
}

Sets OfTest(const FieldTest& test) {
    std::vector<Sets> values;
    for (const Matcher& m : test.values) values.push_back(OfMatcher(m));
    return test.all ? AllOf(std::move(values)) : AnyOf(values);
}

Sets OfSelection(const Selection& s) {
    std::vector<Sets> alternatives;
    for (const auto& alternative : s.alternatives) {
        std::vector<Sets> tests;
        for (const FieldTest& test : alternative) tests.push_back(OfTest(test));
        alternatives.push_back(AllOf(std::move(tests)));
    }
    return AnyOf(alternatives);
}

Sets OfNode(const CompiledRule& rule, int index) {
    const Node& node = rule.nodes[index];
    std::vector<Sets> children;
    switch (node.kind) {
    case Node::Select: return OfSelection(rule.selections[node.selection]);
    case Node::Not: return {};
    case Node::And:
        for (int child : node.children) children.push_back(OfNode(rule, child));
        return AllOf(std::move(children));
    case Node::Or:
        for (int child : node.children) children.push_back(OfNode(rule, child));
        return AnyOf(children);
    }
    return {};
}

}  // namespace

// ---------------------------------------------------------------------------
// The automaton.

class Prefilter {
public:
    struct Hit {
        uint32_t rule, set;
    };

    void Build(const std::vector<std::unique_ptr<CompiledRule>>& rules) {
        always_.assign(Categories().size(), {});
        std::map<std::string, int> ids;
        std::vector<std::string> literals;
        for (size_t r = 0; r < rules.size(); ++r) {
            const CompiledRule& rule = *rules[r];
            if (!rule.filtered) {
                always_[rule.category].push_back(r);
                continue;
            }
            for (size_t set = 0; set < rule.literalSets.size(); ++set) {
                for (const std::string& lit : rule.literalSets[set]) {
                    auto [it, added] = ids.emplace(lit, static_cast<int>(literals.size()));
                    if (added) {
                        literals.push_back(lit);
                        rulesOf_.emplace_back();
                    }
                    const Hit hit{static_cast<uint32_t>(r), static_cast<uint32_t>(set)};
                    auto& list = rulesOf_[it->second];
                    if (list.empty() || list.back().rule != hit.rule || list.back().set != hit.set) list.push_back(hit);
                }
            }
        }
        // Byte classes: each byte some literal uses has its own, the rest share 0.
        classOf_.fill(0);
        classes_ = 1;
        for (const auto& lit : literals) {
            for (unsigned char c : lit) {
                if (classOf_[c] == 0) classOf_[c] = static_cast<uint8_t>(classes_++);
                if (classes_ == 255) break;
            }
        }
        // The trie.
        next_.assign(classes_, -1);
        output_.assign(1, -1);
        fail_.assign(1, 0);
        outLink_.assign(1, -1);
        literalAt_.assign(1, {});
        for (size_t l = 0; l < literals.size(); ++l) {
            int state = 0;
            for (unsigned char c : literals[l]) {
                int& slot = next_[state * classes_ + classOf_[c]];
                if (slot < 0) {
                    slot = static_cast<int>(fail_.size());
                    next_.resize(next_.size() + classes_, -1);
                    fail_.push_back(0);
                    outLink_.push_back(-1);
                    literalAt_.emplace_back();
                }
                state = next_[state * classes_ + classOf_[c]];
            }
            literalAt_[state].push_back(static_cast<int>(l));
        }
        // Failure links and the full transition table, breadth first.
        std::queue<int> queue;
        for (int c = 0; c < classes_; ++c) {
            int& slot = next_[c];
            if (slot < 0) {
                slot = 0;
            } else {
                fail_[slot] = 0;
                queue.push(slot);
            }
        }
        while (!queue.empty()) {
            const int state = queue.front();
            queue.pop();
            const int f = fail_[state];
            outLink_[state] = literalAt_[f].empty() ? outLink_[f] : f;
            for (int c = 0; c < classes_; ++c) {
                int& slot = next_[state * classes_ + c];
                if (slot < 0) {
                    slot = next_[f * classes_ + c];
                } else {
                    fail_[slot] = next_[f * classes_ + c];
                    queue.push(slot);
                }
            }
        }
        literalCount_ = literals.size();
    }

    // Calls `hit` with each rule some literal of which occurs in `text`.
    // A literal met again in the same text is not followed again: `seen`
    // holds the epoch each literal was last met in.
    template <typename OnHit>
    void Scan(std::string_view text, std::vector<uint32_t>* seen, uint32_t epoch, OnHit&& hit) const {
        if (literalCount_ == 0) return;
        if (seen->size() < literalCount_) seen->resize(literalCount_, 0);
        int state = 0;
        for (unsigned char c : text) {
            state = next_[state * classes_ + classOf_[c]];
            for (int s = literalAt_[state].empty() ? outLink_[state] : state; s > 0; s = outLink_[s]) {
                for (int l : literalAt_[s]) {
                    if ((*seen)[l] == epoch) continue;
                    (*seen)[l] = epoch;
                    for (const Hit& h : rulesOf_[l]) hit(h);
                }
            }
        }
    }

    const std::vector<size_t>& always(int category) const { return always_[category]; }
    size_t unfiltered() const {
        size_t n = 0;
        for (const auto& a : always_) n += a.size();
        return n;
    }

private:
    std::vector<std::vector<size_t>> always_;
    std::vector<std::vector<Hit>> rulesOf_;
    std::array<uint8_t, 256> classOf_{};
    int classes_ = 1;
    std::vector<int> next_, fail_, outLink_;
    std::vector<int> output_;
    std::vector<std::vector<int>> literalAt_;
    size_t literalCount_ = 0;
};


// ---------------------------------------------------------------------------
// The rule set's matching.

RuleSet::RuleSet() : fields_(std::make_unique<FieldTable>()) {}
RuleSet::~RuleSet() = default;
RuleSet::RuleSet(RuleSet&&) noexcept = default;
RuleSet& RuleSet::operator=(RuleSet&&) noexcept = default;

void RuleSet::Finish() {
    for (auto& rule : rules_) {
        Sets sets = OfNode(*rule, rule->root);
        for (Set& set : sets) {
            std::sort(set.begin(), set.end());
            set.erase(std::unique(set.begin(), set.end()), set.end());
        }
        std::sort(sets.begin(), sets.end(), Narrower);
        if (sets.size() > 2) sets.resize(2);
        rule->literalSets = std::move(sets);
        rule->filtered = !rule->literalSets.empty();
    }
    prefilter_ = std::make_unique<Prefilter>();
    prefilter_->Build(rules_);
    finished_ = true;
}

size_t RuleSet::unfilteredCount() const { return prefilter_ ? prefilter_->unfiltered() : rules_.size(); }

namespace {

uint32_t CategoryMask(const Event& event) {
    uint32_t mask = 0;
    for (const auto& c : event.categories) {
        const int i = CategoryIndex(c);
        if (i >= 0) mask |= 1u << i;
    }
    return mask;
}

void LoadValues(const Event& event, const FieldTable& fields, MatchScratch* scratch) {
    scratch->values.Reset(fields.size());
    scratch->haystack.clear();
    for (const auto& [name, value] : event.fields) {
        const int id = fields.Find(name);
        if (id >= 0) {
            scratch->values.Set(id, value);
        } else {
            scratch->values.AddUnnamed(value);
        }
    }
    for (const FieldValue* v : scratch->values.present()) {
        scratch->haystack += v->lower;
        scratch->haystack.push_back('\0');
    }
}

}  // namespace

void RuleSet::Match(const Event& event, MatchScratch* scratch, std::vector<size_t>* matches) const {
    matches->clear();
    if (!finished_) const_cast<RuleSet*>(this)->Finish();
    const uint32_t mask = CategoryMask(event);
    if (mask == 0) return;
    LoadValues(event, *fields_, scratch);
    if (scratch->candidateStamp.size() < rules_.size()) scratch->candidateStamp.resize(rules_.size(), 0);
    if (++scratch->candidateEpoch == 0) {
        std::fill(scratch->candidateStamp.begin(), scratch->candidateStamp.end(), 0);
        std::fill(scratch->literalStamp.begin(), scratch->literalStamp.end(), 0);
        scratch->candidateEpoch = 1;
    }
    scratch->candidates.clear();
    // A rule is a candidate once a literal of each of its sets occurred.
    if (scratch->setsSeen.size() < rules_.size()) scratch->setsSeen.resize(rules_.size(), 0);
    auto add = [&](size_t r) {
        if (scratch->candidateStamp[r] == scratch->candidateEpoch) return;
        scratch->candidateStamp[r] = scratch->candidateEpoch;
        if (mask & (1u << rules_[r]->category)) scratch->candidates.push_back(r);
    };
    for (size_t c = 0; c < Categories().size(); ++c) {
        if (mask & (1u << c)) {
            for (size_t r : prefilter_->always(static_cast<int>(c))) add(r);
        }
    }
    prefilter_->Scan(scratch->haystack, &scratch->literalStamp, scratch->candidateEpoch, [&](const Prefilter::Hit& h) {
        const size_t sets = rules_[h.rule]->literalSets.size();
        if (sets == 1) return add(h.rule);
        uint32_t& seen = scratch->setsSeen[h.rule];
        // Low byte: the sets met; the rest: the epoch they were met in.
        if ((seen >> 8) != (scratch->candidateEpoch & 0xFFFFFFu)) seen = (scratch->candidateEpoch & 0xFFFFFFu) << 8;
        seen |= 1u << h.set;
        if ((seen & 0xFF) == (1u << sets) - 1) add(h.rule);
    });
    std::sort(scratch->candidates.begin(), scratch->candidates.end());
    for (size_t r : scratch->candidates) {
        if (RuleMatches(*rules_[r], scratch->values, scratch)) matches->push_back(r);
    }
}

void RuleSet::MatchEveryRule(const Event& event, MatchScratch* scratch, std::vector<size_t>* matches) const {
    matches->clear();
    const uint32_t mask = CategoryMask(event);
    LoadValues(event, *fields_, scratch);
    for (size_t r = 0; r < rules_.size(); ++r) {
        if ((mask & (1u << rules_[r]->category)) && RuleMatches(*rules_[r], scratch->values, scratch)) matches->push_back(r);
    }
}

}  // namespace vetrona::client::sigma
