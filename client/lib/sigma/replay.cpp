// The regression replay.
#include "client/lib/sigma/replay.h"

#include "channel/wire.h"
#include "client/lib/sigma/match.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace vetrona::client::sigma {

namespace {

std::string Text(const nlohmann::json& data, const char* name) {
    auto it = data.find(name);
    if (it == data.end() || it->is_null()) return "";
    if (it->is_string()) return it->get<std::string>();
    return it->dump();
}

bool Has(const nlohmann::json& data, const char* name) { return data.contains(name) && !data[name].is_null(); }

uint32_t Number(const nlohmann::json& data, const char* name) {
    const std::string text = Text(data, name);
    try {
        return static_cast<uint32_t>(std::stoul(text));
    } catch (...) {
        return 0;
    }
}

// TargetObject of a value operation: the key and the value's name.
void SplitValue(const std::string& target, std::string* key, std::string* value) {
    const size_t slash = target.rfind('\\');
    *key = slash == std::string::npos ? std::string() : target.substr(0, slash);
    *value = slash == std::string::npos ? target : target.substr(slash + 1);
    if (*value == "(Default)") value->clear();
}

}  // namespace

std::optional<Event> EventFromLogged(const nlohmann::json& record, std::string* reason) {
    const nlohmann::json* event = &record;
    if (record.contains("Event")) event = &record["Event"];
    if (!event->contains("EventData") || !(*event)["EventData"].is_object()) {
        *reason = "a record without EventData";
        return std::nullopt;
    }
    const nlohmann::json& data = (*event)["EventData"];
    int id = -1;
    if (event->contains("System") && (*event)["System"].contains("EventID")) {
        const auto& v = (*event)["System"]["EventID"];
        if (v.is_number()) id = v.get<int>();
        else if (v.is_object() && v.contains("#text")) id = std::atoi(Text(v, "#text").c_str());
        else if (v.is_string()) id = std::atoi(v.get<std::string>().c_str());
    }
    switch (id) {
    case 1: {
        ProcessStart s;
        s.processId = Number(data, "ProcessId");
        s.parentProcessId = Number(data, "ParentProcessId");
        s.image = Text(data, "Image");
        s.commandLine = Text(data, "CommandLine");
        s.parentSeen = Has(data, "ParentImage");
        s.parentImage = Text(data, "ParentImage");
        s.parentCommandLine = Text(data, "ParentCommandLine");
        s.user = Text(data, "User");
        s.integrityLevel = Text(data, "IntegrityLevel");
        s.currentDirectory = Text(data, "CurrentDirectory");
        ImageFacts facts;
        for (const char* field : {"OriginalFileName", "Description", "Product", "Company", "FileVersion"}) {
            if (Has(data, field)) facts.version[field] = Text(data, field);
        }
        facts.hashes = Text(data, "Hashes");
        s.facts = facts;
        Event e = FromProcess(s);
        if (Has(data, "ParentUser")) e.Set("ParentUser", Text(data, "ParentUser"));
        return e;
    }
    case 11:
    case 23:
    case 26: {
        FileActivity a;
        a.kind = id == 11 ? FileActivity::Created : FileActivity::Delete;
        a.path = Text(data, "TargetFilename");
        a.image = Text(data, "Image");
        a.user = Text(data, "User");
        a.processId = Number(data, "ProcessId");
        return FromFile(a);
    }
    case 12:
    case 13:
    case 14: {
        RegistryActivity a;
        const std::string type = Text(data, "EventType");
        const std::string target = Text(data, "TargetObject");
        std::string key, value;
        if (id == 13 || type == "SetValue") {
            a.operation = RegOpValueModified;
            SplitValue(target, &key, &value);
            DetailsToData(Text(data, "Details"), &a.dataType, &a.data);
        } else if (type == "DeleteValue") {
            a.operation = RegOpValueDeleted;
            SplitValue(target, &key, &value);
        } else if (type == "CreateKey") {
            a.operation = RegOpKeyCreated;
            key = target;
        } else if (type == "DeleteKey") {
            a.operation = RegOpKeyDeleted;
            key = target;
        } else if (id == 14 || type == "RenameKey") {
            a.operation = RegOpKeyRenamed;
            key = target;
            a.newName = Text(data, "NewName");
        } else {
            *reason = "registry event type '" + type + "'";
            return std::nullopt;
        }
        a.key = NativeKey(key);
        a.valueName = value;
        a.image = Text(data, "Image");
        a.user = Text(data, "User");
        a.processId = Number(data, "ProcessId");
        return FromRegistry(a);
    }
    default: *reason = "event id " + std::to_string(id) + " is not an activity Vetrona reports"; return std::nullopt;
    }
}

std::vector<std::string> FindCases(const std::vector<std::string>& roots) {
    namespace fs = std::filesystem;
    std::vector<std::string> cases;
    for (const auto& root : roots) {
        std::error_code ec;
        if (fs::exists(fs::path(root) / "info.yml", ec)) {
            cases.push_back(root);
            continue;
        }
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (it->path().filename() == "info.yml") cases.push_back(it->path().parent_path().string());
        }
    }
    std::sort(cases.begin(), cases.end());
    return cases;
}

ReplayResult ReplayCase(const RuleSet& rules, const std::string& folder) {
    namespace fs = std::filesystem;
    ReplayResult r;
    r.folder = folder;
    auto refuse = [&](std::string reason) {
        r.replayable = false;
        r.reason = std::move(reason);
        return r;
    };
    YAML::Node info;
    try {
        info = YAML::LoadFile((fs::path(folder) / "info.yml").string());
        const YAML::Node meta = info["rule_metadata"];
        if (meta && meta.IsSequence() && meta.size() > 0) r.ruleId = meta[0]["id"].as<std::string>("");
        const YAML::Node tests = info["regression_tests_info"];
        if (tests && tests.IsSequence() && tests.size() > 0 && tests[0]["match_count"]) {
            r.expected = tests[0]["match_count"].as<int>(-1);
        }
    } catch (const YAML::Exception& e) {
        return refuse(std::string("info.yml: ") + e.what());
    }
    if (r.ruleId.empty()) return refuse("info.yml names no rule");
    size_t rule = SIZE_MAX;
    for (size_t i = 0; i < rules.size(); ++i) {
        if (rules.info(i).id == r.ruleId) {
            rule = i;
            break;
        }
    }
    if (rule == SIZE_MAX) {
        for (const Refusal& refusal : rules.refused()) {
            if (refusal.id == r.ruleId) return refuse("the rule was refused: " + refusal.reason);
        }
        return refuse("the rule is not among the loaded rules");
    }
    r.title = rules.info(rule).title;
    r.author = rules.info(rule).author;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".json") files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    if (files.empty()) return refuse("no logged events (.json)");
    auto scratch = NewMatchScratch();
    std::vector<size_t> matches;
    std::string skipped;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        while (in >> std::ws, in.peek() != EOF) {
            nlohmann::json record;
            try {
                in >> record;
            } catch (const nlohmann::json::exception& e) {
                return refuse(file.filename().string() + ": " + e.what());
            }
            ++r.records;
            std::string why;
            auto event = EventFromLogged(record, &why);
            if (!event) {
                if (skipped.empty()) skipped = why;
                continue;
            }
            ++r.events;
            rules.Match(*event, scratch.get(), &matches);
            if (std::find(matches.begin(), matches.end(), rule) != matches.end()) ++r.matches;
        }
    }
    if (r.events == 0) return refuse(skipped.empty() ? "no records" : skipped);
    // The logged count binds when the log holds just what the rule needs (each
    // record one match); a log with more records may hold other matches too.
    r.exact = r.events == r.records && r.expected == r.records;
    if (r.matches == 0) {
        r.reason = "the rule matched no replayed event";
    } else if (r.exact && r.expected >= 0 && r.matches != r.expected) {
        r.reason = "matched " + std::to_string(r.matches) + " times, the log says " + std::to_string(r.expected);
    } else {
        r.passed = true;
    }
    return r;
}

nlohmann::json ReplayJson(const ReplayResult& r) {
    nlohmann::json j = {{"type", "sigma-replay"}, {"case", r.folder},       {"rule_id", r.ruleId},
                        {"title", r.title},       {"author", r.author},     {"records", r.records},
                        {"events", r.events},     {"matches", r.matches},   {"expected", r.expected},
                        {"exact", r.exact},       {"replayable", r.replayable}, {"passed", r.passed}};
    if (!r.reason.empty()) j["reason"] = r.reason;
    return j;
}

std::string ReplayLine(const ReplayResult& r) {
    std::string line = r.ruleId + "  ";
    if (!r.replayable) return line + "not replayable: " + r.reason + "  (" + r.folder + ")";
    line += std::string(r.passed ? "pass" : "FAIL") + "  events " + std::to_string(r.events) + "/" +
            std::to_string(r.records) + "  matches " + std::to_string(r.matches) + "  expected " +
            (r.expected < 0 ? std::string("?") : std::to_string(r.expected)) + (r.exact ? " (exactly)" : " (at least one)") +
            "  " + r.title + " (by " + r.author + ")";
    if (!r.reason.empty()) line += ": " + r.reason;
    return line;
}

}  // namespace vetrona::client::sigma
