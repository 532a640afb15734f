// The compiled form of a detection rule, shared by the loader, the matcher
// and the prefilter. Internal to client/lib/sigma.
#pragma once

#include "client/lib/sigma/sigma.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vetrona::client::sigma {

class Regex;  // a compiled PCRE2 pattern

// Glob tokens: a byte (0..255), any run, or one character.
constexpr int16_t kAnyRun = -1;
constexpr int16_t kOneChar = -2;

struct Matcher {
    enum Kind : uint8_t { Equals, Contains, StartsWith, EndsWith, Glob, AnyValue, Pattern, Cidr, Compare, FieldRef, Null, Exists };
    Kind kind = Equals;
    bool cased = false;
    std::string text;            // the literal (lower case unless cased)
    std::vector<int16_t> glob;   // Glob: tokens (bytes lower case unless cased)
    std::shared_ptr<Regex> regex;  // Pattern: the expression, its text in `text`, `cased` without the i flag
    // Cidr: network bytes, 4 or 16, and the prefix length.
    std::array<uint8_t, 16> net{};
    int netLength = 0, prefix = 0;
    // Compare: -2 lt, -1 lte, 1 gte, 2 gt.
    int compare = 0;
    double number = 0;
    // FieldRef: the other field, and how the values compare (Equals,
    // Contains, StartsWith, EndsWith).
    int refField = -1;
    Kind refKind = Equals;
    bool exists = true;  // Exists
};

// One field's test: any value matches (all: every value), or with field -1
// a keyword searched in every field.
struct FieldTest {
    int field = -1;
    bool all = false;
    std::vector<Matcher> values;
};

// A selection: any of its alternatives, each all of its tests.
struct Selection {
    std::string name;
    std::vector<std::vector<FieldTest>> alternatives;
};

struct Node {
    enum Kind : uint8_t { Select, And, Or, Not } kind = Select;
    int selection = -1;
    std::vector<int> children;
};

// A literal an event the rule matches holds (lower case): in the test's
// field (-1: a keyword, any field) and where in the value.
struct Literal {
    enum Anchor : uint8_t { Anywhere = 0, AtStart = 1, AtEnd = 2, Whole = 3 };
    std::string text;
    int field = -1;
    Anchor anchor = Anywhere;
    bool operator<(const Literal& o) const {
        if (text != o.text) return text < o.text;
        if (field != o.field) return field < o.field;
        return anchor < o.anchor;
    }
    bool operator==(const Literal& o) const { return text == o.text && field == o.field && anchor == o.anchor; }
};

// The most literal sets a rule keeps for the prefilter.
constexpr size_t kMaxLiteralSets = 8;

class CompiledRule {
public:
    RuleInfo info;
    int category = -1;  // index in Categories()
    std::vector<Selection> selections;
    std::vector<Node> nodes;
    int root = -1;
    // Sets of literals each of which has a member, in its field and at its
    // place, in an event the rule matches (at most kMaxLiteralSets, the most
    // selective); none with filtered false when the rule cannot be narrowed.
    std::vector<std::vector<Literal>> literalSets;
    bool filtered = false;
};

// Category names the engine routes by.
const std::vector<std::string>& Categories();
int CategoryIndex(std::string_view name);

}  // namespace vetrona::client::sigma
