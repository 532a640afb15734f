// Matching internals: field names as numbers, an event's values by number,
// and the scratch space a matching thread reuses. Internal to client/lib/sigma.
#pragma once

#include "client/lib/sigma/compiled.h"

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

typedef struct pcre2_real_match_data_8 pcre2_match_data_8;

namespace vetrona::client::sigma {

std::string Lower(std::string_view text);

// Field names (compared without regard to case) and their numbers.
class FieldTable {
public:
    int Id(std::string_view name);             // adds the name when new
    int Find(std::string_view name) const;     // -1 when no rule names it
    size_t size() const { return names_.size(); }

private:
    std::unordered_map<std::string, int> ids_;
    std::vector<std::string> names_;
};

struct FieldValue {
    std::string raw, lower;
    int field = -1;  // -1: a field no rule names
};

// An event's values by field number; a field the event does not carry is
// absent (null).
class FieldValues {
public:
    void Reset(size_t fieldCount);
    void Set(int field, std::string_view value);
    // Every value of the event, also those of fields no rule names (keywords
    // search them all).
    void AddUnnamed(std::string_view value);
    const FieldValue* Get(int field) const {
        return field >= 0 && static_cast<size_t>(field) < stamp_.size() && stamp_[field] == epoch_ ? &slots_[field] : nullptr;
    }
    const std::vector<const FieldValue*>& present() const { return present_; }

private:
    std::vector<FieldValue> slots_;
    std::vector<uint32_t> stamp_;
    uint32_t epoch_ = 1;
    std::vector<FieldValue> unnamed_;
    size_t unnamedUsed_ = 0;
    std::vector<const FieldValue*> present_;
};

struct MatchScratch {
    FieldValues values;
    pcre2_match_data_8* matchData = nullptr;
    std::vector<uint32_t> candidateStamp, literalStamp, setsSeen;
    uint32_t candidateEpoch = 0;
    uint32_t valueStamp = 0;  // one per value scanned: literalStamp's epoch
    std::vector<size_t> candidates;
    ~MatchScratch();
};

bool ValueMatches(const Matcher& m, const FieldValue* value, const FieldValues& event, MatchScratch* scratch);
bool RuleMatches(const CompiledRule& rule, const FieldValues& event, MatchScratch* scratch);

}  // namespace vetrona::client::sigma
