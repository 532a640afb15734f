// The behaviour report: one self-contained HTML page for one or several runs
// (scenarios played by vetrona-sim, or a session of vetrona-client) with the
// process tree, a timeline of events by process with their verdicts, the
// files changed and the copies made, the registry changes and the summary
// table.
//
// The page is built from the same records the programs print as JSON lines,
// so the page and the JSON of a run cannot disagree. Everything taken from
// the event stream is data: the records are embedded as JSON inside a
// <script type="application/json"> element, with every '<', '>', '&' and
// U+2028/U+2029 written as a \u escape and all other non-ASCII escaped as
// well, and the page's own script builds the document from it with
// textContent only. No text from a run is ever parsed as markup, and a
// Content-Security-Policy admits only the page's own script and style (by
// hash) and no network at all.
#pragma once

#include "client/lib/decode.h"
#include "client/lib/paths.h"
#include "client/lib/policy.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace vetrona::client {

using Json = nlohmann::ordered_json;

// Adds to an event's JSON line what a person reads it by, the same fields in
// both programs: "time" (when it was received, ISO 8601 UTC), "path" (the
// file with its drive letter, the key as HKLM\... or HKU\..., a process's
// image with its drive letter), "destinationPath" (a rename's target, the
// same way), "processImage" (the acting process's image, when the client
// knows it), "verdictName", and "rule" (the rule's number from 1, "default",
// or "client" when an outside client answered: rule -2).
void AnnotateEvent(Json* line, const EventView& event, Verdict verdict, int rule, const EventContext& context,
                   const VolumeNames& volumes, std::chrono::system_clock::time_point received);

// Registry value data as a person reads it: strings (REG_SZ, REG_EXPAND_SZ,
// REG_LINK) as their text, and what follows a terminating zero (other than
// more zeros) after a NUL character, since a program that reads the value
// stops there but the data is still in it; REG_MULTI_SZ as a JSON array of
// its strings; REG_DWORD and REG_QWORD as numbers (decimal and hex),
// anything else as hex bytes (the first 64, then how many more). Unpaired
// surrogates become U+FFFD; nothing else is altered, so the text may hold
// any character and must be shown as text, never as markup.
std::string RegistryDataText(uint32_t type, std::span<const uint8_t> data, bool truncated);
// The strings of REG_MULTI_SZ data, the empty last one left out.
std::vector<std::string> RegistryStrings(std::span<const uint8_t> data);
// "REG_SZ" and the like; nullptr for a type number with no name.
const char* RegistryTypeName(uint32_t type);

// JSON text that can stand inside a <script> element whatever the strings
// hold: ASCII only, with '<', '>' and '&' as \u003c, \u003e and \u0026.
// Invalid UTF-8 in a string becomes U+FFFD.
std::string ScriptSafeJson(const Json& value);

// A text for the page's <title>: printable ASCII as it is but for markup's
// characters as references, other characters as references too, and the
// ones that would hide or disguise text (controls, format and other
// default-ignorable characters, line and paragraph separators) as \uXXXX.
std::string TitleText(const std::string& text);

// Whether a character is shown as its \uXXXX (or \xNN) code on the page:
// controls, Unicode format characters (Cf), the other default-ignorable
// ones (fillers, variation selectors, tags) and U+2028/U+2029.
bool Disguising(char32_t c);

class Report {
public:
    // Events listed one by one on a page from the start, over all its runs.
    // The page still counts every event (summary table, verdict totals,
    // process tree, files, registry changes, backups) and lists every denied
    // one.
    static constexpr size_t kEventLimit = 20000;
    // Past those, each process's first and latest events are kept as well,
    // and every denied, backed-up or alerting one (up to kRowLimit); the page
    // says, per process, how many events between them it leaves out.
    static constexpr size_t kFirstPerProcess = 100;
    static constexpr size_t kLatestPerProcess = 500;
    // Rows of the files, registry and denied lists kept per run.
    static constexpr size_t kRowLimit = 20000;

    explicit Report(std::string program);
    ~Report();
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;

    // Starts a run. vetrona-sim's "scenario" records start one by themselves.
    void BeginRun(const std::string& title, const std::string& source);
    // One record as the programs print them ("type": scenario, client,
    // volume, process, step, event, backup, expectation, summary, result).
    // Records of other types are ignored; an event before any run starts one.
    void Add(const Json& record);

    // The embedded data (what the page's script reads) and the page.
    Json Data() const;
    std::string Html() const;
    // Writes the page; false with the reason when the file cannot be written.
    bool WriteFile(const std::string& path, std::string* error) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vetrona::client
