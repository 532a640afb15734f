// Routing and the literal prefilter: an Aho-Corasick automaton over the
// literals each rule needs, run once over an event's values, so only the
// rules whose literals occur there (and those it cannot narrow) are tried.
#include "client/lib/sigma/compiled.h"
#include "client/lib/sigma/match.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cctype>
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
    slot.field = field;
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
    slot.field = -1;
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

using Set = std::vector<Literal>;
// Sets that are each necessary: an event the part matches has a member of
// every one of them in its values. Empty: nothing is known.
using Sets = std::vector<Set>;

// How often a set's members may be met by chance: a shorter literal more
// often (past 8 bytes length matters little); one tied to a field or to a
// place in the value less often.
size_t Strength(const Set& set) {
    size_t weakest = SIZE_MAX;
    for (const Literal& l : set) {
        size_t w = std::min<size_t>(l.text.size(), 8) * 4;
        if (l.field >= 0) w += 2;
        if (l.anchor != Literal::Anywhere) w += 1;
        weakest = std::min(weakest, w);
    }
    return weakest;
}

// Whether set a narrows better than b: stronger, then smaller.
bool Narrower(const Set& a, const Set& b) {
    const size_t sa = Strength(a), sb = Strength(b);
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

// The plain text a regular expression cannot match without, at its top
// level: the longest run of literal characters in each top-level branch
// (none when a branch has none). Anything this reader is unsure of breaks a
// run or gives up: groups, classes, escapes other than of punctuation,
// quantifiers (the character before `?`, `*` or `{` is dropped), extended
// mode. Caseless, `k` and `s` break a run too: Unicode case folding matches
// them to the Kelvin sign and the long s, which lower-casing ASCII does not.
std::optional<std::vector<std::string>> RegexLiterals(std::string_view p, bool caseless) {
    if (p.find("(?x") != std::string_view::npos || p.find("\\Q") != std::string_view::npos) return std::nullopt;
    if (p.find("(?") != std::string_view::npos && p.find('i', p.find("(?")) != std::string_view::npos) caseless = true;
    std::vector<std::string> branches;
    std::string best, run;
    auto end = [&]() {
        if (run.size() > best.size()) best = run;
        run.clear();
    };
    size_t i = 0;
    while (i < p.size()) {
        const char c = p[i];
        if (c == '|') {
            end();
            if (best.size() < 2) return std::nullopt;
            branches.push_back(best);
            best.clear();
            ++i;
        } else if (c == '(' || c == '[') {
            // Skip the group or the class, with what is nested or escaped in it.
            end();
            int depth = 0;
            bool inClass = false;
            for (; i < p.size(); ++i) {
                if (p[i] == '\\') {
                    ++i;
                    continue;
                }
                if (inClass) {
                    if (p[i] == ']') inClass = false;
                    if (inClass || depth > 0) continue;
                    ++i;
                    break;
                }
                if (p[i] == '[') {
                    inClass = true;
                    if (i + 1 < p.size() && p[i + 1] == ']') ++i;
                } else if (p[i] == '(') {
                    ++depth;
                } else if (p[i] == ')' && --depth == 0) {
                    ++i;
                    break;
                }
            }
            if (depth != 0 || inClass) return std::nullopt;
        } else if (c == '?' || c == '*' || c == '{') {
            if (!run.empty()) run.pop_back();
            end();
            if (c == '{') {
                const size_t close = p.find('}', i);
                if (close == std::string_view::npos) return std::nullopt;
                for (size_t k = i + 1; k < close; ++k) {
                    if (!std::isdigit(static_cast<unsigned char>(p[k])) && p[k] != ',') return std::nullopt;
                }
                i = close + 1;
            } else {
                ++i;
            }
        } else if (c == '+' || c == '.' || c == '^' || c == '$' || c == ')') {
            end();
            ++i;
        } else if (c == '\\') {
            if (i + 1 >= p.size()) return std::nullopt;
            const unsigned char e = static_cast<unsigned char>(p[i + 1]);
            if (std::isalnum(e)) {
                // Classes and assertions of one letter; anything with a payload gives up.
                if (std::string_view("dDsSwWbBAzZGhHvVRN").find(static_cast<char>(e)) == std::string_view::npos) return std::nullopt;
                end();
            } else {
                run.push_back(static_cast<char>(e));
            }
            i += 2;
        } else {
            const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
            if (static_cast<unsigned char>(c) >= 0x80 || (caseless && (lower == 'k' || lower == 's'))) {
                end();
            } else {
                run.push_back(lower);
            }
            ++i;
        }
    }
    end();
    if (best.size() < 2) return std::nullopt;
    branches.push_back(best);
    return branches;
}

Sets OfMatcher(const Matcher& m, int field) {
    switch (m.kind) {
    case Matcher::Pattern: {
        const auto literals = RegexLiterals(m.text, !m.cased);
        if (!literals) return {};
        Set set;
        for (const std::string& text : *literals) set.push_back(Literal{text, field, Literal::Anywhere});
        return {set};
    }
    case Matcher::Equals:
    case Matcher::Contains:
    case Matcher::StartsWith:
    case Matcher::EndsWith: {
        if (m.text.empty()) return {};
        const Literal::Anchor anchor = m.kind == Matcher::Equals       ? Literal::Whole
                                       : m.kind == Matcher::StartsWith ? Literal::AtStart
                                       : m.kind == Matcher::EndsWith   ? Literal::AtEnd
                                                                       : Literal::Anywhere;
        return {Set{Literal{Lower(m.text), field, anchor}}};
    }
    case Matcher::Glob: {
        // The longest run of plain bytes; tied to the start or the end of
        // the value when nothing comes before or after it in the pattern.
        std::string best, run;
        size_t bestFrom = 0, runFrom = 0, bestTo = 0;
        for (size_t i = 0; i < m.glob.size(); ++i) {
            const int16_t t = m.glob[i];
            if (t >= 0) {
                if (run.empty()) runFrom = i;
                run.push_back(static_cast<char>(t));
                if (run.size() > best.size()) {
                    best = run;
                    bestFrom = runFrom;
                    bestTo = i + 1;
                }
            } else {
                run.clear();
            }
        }
        if (best.empty()) return {};
        const bool atStart = bestFrom == 0, atEnd = bestTo == m.glob.size();
        const Literal::Anchor anchor = atStart && atEnd ? Literal::Whole
                                       : atStart        ? Literal::AtStart
                                       : atEnd          ? Literal::AtEnd
                                                        : Literal::Anywhere;
        return {Set{Literal{Lower(best), field, anchor}}};
    }
    default: return {};
    }
}

Sets OfTest(const FieldTest& test) {
    std::vector<Sets> values;
    for (const Matcher& m : test.values) values.push_back(OfMatcher(m, test.field));
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
        uint32_t rule;
        uint32_t set;
        int field;  // -1: any field
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
                for (const Literal& lit : rule.literalSets[set]) {
                    auto [it, added] = ids.emplace(lit.text, static_cast<int>(literals.size()));
                    if (added) {
                        literals.push_back(lit.text);
                        hitsOf_.emplace_back();
                    }
                    const Hit hit{static_cast<uint32_t>(r), static_cast<uint32_t>(set), lit.field};
                    auto& list = hitsOf_[it->second][lit.anchor];
                    const bool known = std::any_of(list.begin(), list.end(), [&](const Hit& h) {
                        return h.rule == hit.rule && h.set == hit.set && h.field == hit.field;
                    });
                    if (!known) list.push_back(hit);
                }
            }
        }
        length_.clear();
        for (const auto& lit : literals) length_.push_back(lit.size());
        // The trie: children of a state as (byte, state) pairs while building.
        std::vector<std::vector<std::pair<uint8_t, int>>> children(1);
        literalAt_.assign(1, {});
        auto child = [&](int state, uint8_t c) {
            for (const auto& [b, s] : children[state]) {
                if (b == c) return s;
            }
            return -1;
        };
        for (size_t l = 0; l < literals.size(); ++l) {
            int state = 0;
            for (unsigned char c : literals[l]) {
                int next = child(state, c);
                if (next < 0) {
                    next = static_cast<int>(children.size());
                    children[state].emplace_back(c, next);
                    children.emplace_back();
                    literalAt_.emplace_back();
                }
                state = next;
            }
            literalAt_[state].push_back(static_cast<int>(l));
        }
        // Failure links, breadth first; the root's moves as a full table.
        const size_t states = children.size();
        fail_.assign(states, 0);
        outLink_.assign(states, -1);
        root_.fill(0);
        std::queue<int> queue;
        for (const auto& [c, s] : children[0]) {
            root_[c] = s;
            queue.push(s);
        }
        while (!queue.empty()) {
            const int state = queue.front();
            queue.pop();
            const int f = fail_[state];
            outLink_[state] = literalAt_[f].empty() ? outLink_[f] : f;
            for (const auto& [c, s] : children[state]) {
                fail_[s] = Step(f, c, children);
                queue.push(s);
            }
        }
        // Flattened: each state's children sorted by byte, side by side in one array,
        // a few bytes a state instead of a row of the full table (which, for
        // the shared rules, is tens of megabytes and misses the cache on every byte).
        states_.assign(states + 1, State{});
        edges_.clear();
        for (size_t s = 0; s < states; ++s) {
            auto& list = children[s];
            std::sort(list.begin(), list.end());
            states_[s].first = static_cast<uint32_t>(edges_.size());
            states_[s].fail = fail_[s];
            states_[s].out = literalAt_[s].empty() ? outLink_[s] : static_cast<int>(s);
            for (const auto& [c, t] : list) edges_.push_back(Edge{c, t});
        }
        states_[states].first = static_cast<uint32_t>(edges_.size());
        literalCount_ = literals.size();
    }

    // Calls `hit` with each rule and set a literal of which occurs in the
    // value of field `field` (-1: a field no rule names) at its place. A
    // literal met again in the same value is not followed again for the
    // hits it may give anywhere: `seen` holds the stamp of the value each
    // literal was last met in.
    template <typename OnHit>
    void Scan(std::string_view text, int field, std::vector<uint32_t>* seen, uint32_t stamp, OnHit&& hit) const {
        if (literalCount_ == 0) return;
        if (seen->size() < literalCount_) seen->resize(literalCount_, 0);
        auto give = [&](const std::vector<Hit>& hits) {
            for (const Hit& h : hits) {
                if (h.field < 0 || h.field == field) hit(h);
            }
        };
        int state = 0;
        const size_t n = text.size();
        for (size_t i = 0; i < n; ++i) {
            state = Next(state, static_cast<uint8_t>(text[i]));
            for (int s = states_[state].out; s > 0; s = outLink_[s]) {
                for (int l : literalAt_[s]) {
                    const auto& hits = hitsOf_[l];
                    if (!hits[Literal::Anywhere].empty() && (*seen)[l] != stamp) {
                        (*seen)[l] = stamp;
                        give(hits[Literal::Anywhere]);
                    }
                    const bool atStart = i + 1 == length_[l], atEnd = i + 1 == n;
                    if (atStart) give(hits[Literal::AtStart]);
                    if (atEnd) give(hits[Literal::AtEnd]);
                    if (atStart && atEnd) give(hits[Literal::Whole]);
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
    std::vector<std::array<std::vector<Hit>, 4>> hitsOf_;  // by literal, by anchor
    std::vector<size_t> length_;
    struct Edge {
        uint8_t byte;
        int target;
    };
    // The move from `state` on byte c while building (children as lists).
    int Step(int state, uint8_t c, const std::vector<std::vector<std::pair<uint8_t, int>>>& children) const {
        for (;;) {
            if (state == 0) return root_[c];
            for (const auto& [b, t] : children[state]) {
                if (b == c) return t;
            }
            state = fail_[state];
        }
    }
    // The move from `state` on byte c: its child, else its failure's.
    int Next(int state, uint8_t c) const {
        for (;;) {
            if (state == 0) return root_[c];
            const State& at = states_[state];
            const Edge* from = edges_.data() + at.first;
            const Edge* to = edges_.data() + states_[state + 1].first;
            for (const Edge* e = from; e != to; ++e) {
                if (e->byte == c) return e->target;
                if (e->byte > c) break;
            }
            state = at.fail;
        }
    }

    // What a step reads of a state, side by side: its children, its failure,
    // and the nearest state at or below it with literals ending there.
    struct State {
        uint32_t first = 0;
        int fail = 0;
        int out = -1;
    };
    std::array<int, 256> root_{};
    std::vector<State> states_;
    std::vector<Edge> edges_;
    std::vector<int> fail_, outLink_;
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
        if (sets.size() > kMaxLiteralSets) sets.resize(kMaxLiteralSets);
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
    for (const auto& [name, value] : event.fields) {
        const int id = fields.Find(name);
        if (id >= 0) {
            scratch->values.Set(id, value);
        } else {
            scratch->values.AddUnnamed(value);
        }
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
    auto hit = [&](const Prefilter::Hit& h) {
        const size_t sets = rules_[h.rule]->literalSets.size();
        if (sets == 1) return add(h.rule);
        uint32_t& seen = scratch->setsSeen[h.rule];
        // Low byte: the sets met; the rest: the epoch they were met in.
        if ((seen >> 8) != (scratch->candidateEpoch & 0xFFFFFFu)) seen = (scratch->candidateEpoch & 0xFFFFFFu) << 8;
        seen |= 1u << h.set;
        if ((seen & 0xFF) == (1u << sets) - 1) add(h.rule);
    };
    // Each value on its own, so that a literal counts only in its field and
    // at its place.
    for (const FieldValue* v : scratch->values.present()) {
        if (++scratch->valueStamp == 0) {
            std::fill(scratch->literalStamp.begin(), scratch->literalStamp.end(), 0);
            scratch->valueStamp = 1;
        }
        prefilter_->Scan(v->lower, v->field, &scratch->literalStamp, scratch->valueStamp, hit);
    }
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
