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

using Literals = std::optional<std::vector<std::string>>;

// The better of two necessary sets: the one whose shortest literal is longest
// (fewer chance hits), then the smaller.
const Literals& Better(const Literals& a, const Literals& b) {
    if (!a) return b;
    if (!b) return a;
    auto shortest = [](const std::vector<std::string>& set) {
        size_t n = SIZE_MAX;
        for (const auto& s : set) n = std::min(n, s.size());
        return n;
    };
    const size_t sa = std::min<size_t>(shortest(*a), 8), sb = std::min<size_t>(shortest(*b), 8);
    if (sa != sb) return sa > sb ? a : b;
    return a->size() <= b->size() ? a : b;
}

Literals Union(Literals a, const Literals& b) {
    if (!a || !b) return std::nullopt;
    a->insert(a->end(), b->begin(), b->end());
    return a;
}

Literals OfMatcher(const Matcher& m) {
    switch (m.kind) {
    case Matcher::Equals:
    case Matcher::Contains:
    case Matcher::StartsWith:
    case Matcher::EndsWith:
        if (m.text.empty()) return std::nullopt;
        return std::vector<std::string>{Lower(m.text)};
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
        if (best.empty()) return std::nullopt;
        return std::vector<std::string>{Lower(best)};
    }
    default: return std::nullopt;
    }
}

Literals OfTest(const FieldTest& test) {
    if (test.values.empty()) return std::nullopt;
    Literals out;
    if (test.all) {
        for (const Matcher& m : test.values) out = Better(out, OfMatcher(m));
        return out;
    }
    out = std::vector<std::string>{};
    for (const Matcher& m : test.values) out = Union(std::move(out), OfMatcher(m));
    return out;
}

Literals OfSelection(const Selection& s) {
    Literals out = std::vector<std::string>{};
    for (const auto& alternative : s.alternatives) {
        Literals best;
        for (const FieldTest& test : alternative) best = Better(best, OfTest(test));
        out = Union(std::move(out), best);
    }
    return out;
}

Literals OfNode(const CompiledRule& rule, int index) {
    const Node& node = rule.nodes[index];
    switch (node.kind) {
    case Node::Select: return OfSelection(rule.selections[node.selection]);
    case Node::Not: return std::nullopt;
    case Node::And: {
        Literals best;
        for (int child : node.children) best = Better(best, OfNode(rule, child));
        return best;
    }
    case Node::Or: {
        Literals out = std::vector<std::string>{};
        for (int child : node.children) out = Union(std::move(out), OfNode(rule, child));
        return out;
    }
    }
    return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------------------
// The automaton.

class Prefilter {
public:
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
            for (const std::string& lit : rule.literals) {
                auto [it, added] = ids.emplace(lit, static_cast<int>(literals.size()));
                if (added) {
                    literals.push_back(lit);
                    rulesOf_.emplace_back();
                }
                auto& list = rulesOf_[it->second];
                if (list.empty() || list.back() != r) list.push_back(r);
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
    template <typename Hit>
    void Scan(std::string_view text, Hit&& hit) const {
        if (literalCount_ == 0) return;
        int state = 0;
        for (unsigned char c : text) {
            state = next_[state * classes_ + classOf_[c]];
            for (int s = literalAt_[state].empty() ? outLink_[state] : state; s > 0; s = outLink_[s]) {
                for (int l : literalAt_[s]) {
                    for (size_t r : rulesOf_[l]) hit(r);
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
    std::vector<std::vector<size_t>> rulesOf_;
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
        Literals lits = OfNode(*rule, rule->root);
        rule->filtered = lits.has_value() && !lits->empty();
        if (rule->filtered) {
            std::sort(lits->begin(), lits->end());
            lits->erase(std::unique(lits->begin(), lits->end()), lits->end());
            rule->literals = std::move(*lits);
        }
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
        scratch->candidateEpoch = 1;
    }
    scratch->candidates.clear();
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
    prefilter_->Scan(scratch->haystack, add);
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
