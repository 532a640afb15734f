// A client's verdict policy: ordered rules matching an event's class,
// operation, path, value name and the image of the process concerned, each
// giving a verdict, and a default for events no rule matches. The same rule
// syntax serves vetrona-client's policy files and vetrona-sim's scenarios.
#pragma once

#include "client/lib/decode.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vetrona::client {

// Case-insensitive glob: '*' any run of characters (backslashes included),
// '?' one character; everything else literal. ASCII letters fold; other bytes
// compare exactly.
bool GlobMatch(std::string_view pattern, std::string_view text);

struct PolicyRule {
    std::optional<uint32_t> eventClass;  // EVENT_CLASS_*; none: any class
    std::optional<int32_t> operation;    // FileOp* / RegOp*; processes: 1 start, 0 exit
    std::string path;         // glob on the file name, the key path or the image name
    std::string destination;  // glob on a rename's or a link's destination
    // Glob on what ends up at a place: a file event's name or its destination
    // (so one rule covers writes into a folder and renames or links into it),
    // a key path, a started image.
    std::string target;
    std::string value;        // glob on a registry value name
    std::string image;        // glob on the image of the process the event is about
    Verdict verdict = 0;
    int line = 0;             // where the rule was written (0: unknown)
};

struct Policy {
    std::vector<PolicyRule> rules;
    Verdict fallback = 0;
};

// What a client knows beside the message: the image of a process id (empty
// when unknown), and device prefixes with the drive names they stand for
// ("\Device\HarddiskVolume1" -> "C:"), so that patterns may use either form.
struct EventContext {
    std::function<std::string(uint32_t pid)> imageOf;
    std::vector<std::pair<std::string, std::string>> drives;
};

// "allow" 0, "deny" 1, "backup" 3, "none" -1, or a decimal number.
std::optional<Verdict> ParseVerdictName(std::string_view text);
// A size in bytes: digits, optionally followed by K, M or G (powers of 1024,
// with or without a trailing "B" or "iB", any case): "0", "4096", "64MB",
// "512KiB". None for anything else or a value past 2^64.
std::optional<uint64_t> ParseByteSize(std::string_view text);
const char* VerdictName(Verdict verdict);  // "allow", "deny", "backup", "none", or "other"
// "file", "registry", "process".
std::optional<uint32_t> ParseClassName(std::string_view text);
const char* ClassName(uint32_t eventClass);
// "FileOpWrite", "RegOpValueCreated", "start", "exit", or a decimal number;
// with no class, any class's names.
std::optional<int32_t> ParseOperationName(std::optional<uint32_t> eventClass, std::string_view text);
// The class an operation's name belongs to ("start" a process's, "FileOpWrite"
// a file's); none for a number. Operation codes of the classes overlap, so an
// operation written without a class takes this one.
std::optional<uint32_t> OperationClassOf(std::string_view text);

// The names nearest to a mistyped one (containing it, or fewest edits away,
// without regard to case): the closest few, or none when nothing is close.
std::vector<std::string> NearestNames(std::string_view text, const std::vector<std::string>& names);

// The operation names a rule of the class can meet (every class's when none).
std::vector<std::string> OperationNames(std::optional<uint32_t> eventClass);
// What to say of an operation name that is not the class's: the nearest
// valid names, or the class the name belongs to.
std::string UnknownOperationMessage(std::optional<uint32_t> eventClass, std::string_view text);
// The forms of a registry key's name a pattern may be written against: as the
// driver sends it (\REGISTRY\MACHINE\...), and with the root keys' short and
// long names (HKLM\..., HKEY_LOCAL_MACHINE\..., HKU\...); a key in a user's
// hive (\REGISTRY\USER\<SID>\...) also as HKCU\..., whichever user it is,
// and the user's classes (<SID>_Classes) as HKCU\Software\Classes\...
std::vector<std::string> KeyNameForms(std::string_view keyPath);

// Sets one field of a rule from its text; an error message, or empty.
// Fields: class, operation, path, destination, target, value, image, verdict.
std::string SetRuleField(PolicyRule* rule, std::string_view key, std::string_view value);
// A rule needs a verdict; a named operation needs the class it belongs to.
std::string CheckRule(const PolicyRule& rule, bool hasVerdict);

// The event's class, operation code and main text as the rules see them.
uint32_t EventClassOf(const EventView& event);
int32_t EventOperationOf(const EventView& event);
uint32_t EventProcessOf(const EventView& event);
const char* EventOperationName(const EventView& event);

// True when `rule` matches the event.
bool RuleMatches(const PolicyRule& rule, const EventView& event, const EventContext& context);
// The verdict of the first matching rule, or the default; *ruleIndex is the
// rule's index or -1.
Verdict Decide(const Policy& policy, const EventView& event, const EventContext& context, int* ruleIndex = nullptr);

// A policy file: a small YAML subset, the same shape as a scenario's client
// section:
//
//   default: allow
//   rules:
//     - class: file
//       operation: FileOpCloseModified
//       path: '*\Documents\*'
//       verdict: backup
//     - {class: process, operation: start, image: '*\cmd.exe', verdict: deny}
//
// Block mappings, block sequences of mappings, flow mappings, plain, single-
// and double-quoted scalars and comments. Other keys at the top (watch,
// monitors, backup) are returned in `extra` for the caller.
struct PolicyError {
    int line = 0;
    std::string field;
    std::string message;
};
bool ParsePolicyText(std::string_view text, Policy* policy, PolicyError* error,
                     std::vector<std::pair<std::string, std::string>>* extra = nullptr);

}  // namespace vetrona::client
