// The README's table of attacker techniques against the scenarios that prove
// it: every technique a scenario is tagged with has a row, every row names
// exactly the scenarios tagged with it, reports what they expect of the
// technique's own steps (those marked `technique:`), and claims a deny or a
// backup only where one lands on those steps when the scenario is played.
// Played once more with every verdict turned into allow, each scenario that
// denies or backs up must fail a check of the machine.
#include "client/lib/policy.h"
#include "tools/scenario.h"
#include "tools/scenario_run.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

namespace vsim {
namespace {

namespace fs = std::filesystem;

const fs::path kSource = VETRONA_SOURCE_DIR;

struct Row {
    int line = 0;
    std::string id;                // as the cell has it: one id, or several ("T1134.004, T1036.009")
    std::vector<std::string> ids;  // the techniques the row stands for
    std::string name, reports, deny, backup, provenBy;
};

std::string Trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.erase(s.begin());
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

std::vector<std::string> Cells(const std::string& line) {
    std::vector<std::string> cells;
    std::stringstream in(line);
    std::string cell;
    std::getline(in, cell, '|');  // before the first bar
    while (std::getline(in, cell, '|')) cells.push_back(Trim(cell));
    if (!cells.empty() && cells.back().empty()) cells.pop_back();
    return cells;
}

// The table rows between two marker comments of a markdown text.
std::vector<std::pair<int, std::vector<std::string>>> Table(const std::string& text, const std::string& name) {
    std::vector<std::pair<int, std::vector<std::string>>> rows;
    std::stringstream in(text);
    bool inside = false;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (line.find("<!-- " + name + ":begin -->") != std::string::npos) inside = true;
        else if (line.find("<!-- " + name + ":end -->") != std::string::npos) inside = false;
        else if (inside && std::regex_search(line, std::regex(R"(^\| T[0-9]{4}[ .])"))) rows.emplace_back(number, Cells(line));
    }
    return rows;
}

std::vector<Row> Matrix(const std::string& readme) {
    std::vector<Row> rows;
    for (const auto& [line, cells] : Table(readme, "technique-matrix")) {
        if (cells.size() < 6) {
            ADD_FAILURE() << "README.md:" << line << ": a row has six columns and notes";
            continue;
        }
        Row row{line, cells[0], {}, cells[1], cells[2], cells[3], cells[4], cells[5]};
        std::stringstream ids(row.id);
        for (std::string id; std::getline(ids, id, ',');) row.ids.push_back(Trim(id));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> Matches(const std::string& text, const std::string& pattern) {
    std::vector<std::string> out;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it) {
        out.push_back((*it)[1].str());
    }
    return out;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Every scenario that is a test of the suite, by its path from the source root.
std::map<std::string, Scenario> SuiteScenarios() {
    std::set<std::string> pending;
    std::stringstream list(ReadText(kSource / "scenarios" / "pending.txt"));
    for (std::string line; std::getline(list, line);) {
        line = Trim(line.substr(0, line.find('#')));
        if (!line.empty()) pending.insert(line);
    }
    std::map<std::string, Scenario> out;
    for (const auto& entry : fs::recursive_directory_iterator(kSource / "scenarios")) {
        if (entry.path().extension() != ".yaml" || pending.count(entry.path().stem().string())) continue;
        const std::string relative = fs::relative(entry.path(), kSource).generic_string();
        out.emplace(relative, LoadScenarioFile(entry.path().string()));
    }
    return out;
}

// "`RegOpValueCreated`", "`process start`": the class and code a cell names.
std::set<std::pair<uint32_t, int32_t>> NamedOperations(const std::string& cell, int line) {
    std::set<std::pair<uint32_t, int32_t>> out;
    for (std::string name : Matches(cell, "`([^`]+)`")) {
        std::optional<uint32_t> eventClass;
        if (name.rfind("process ", 0) == 0) {
            eventClass = EVENT_CLASS_PROCESS;
            name = name.substr(8);
        } else {
            eventClass = vetrona::client::OperationClassOf(name);
        }
        const auto op = eventClass ? vetrona::client::ParseOperationName(eventClass, name) : std::nullopt;
        if (!op) {
            ADD_FAILURE() << "README.md:" << line << ": '" << name << "' is no operation";
            continue;
        }
        out.insert({*eventClass, *op});
    }
    return out;
}

std::string OperationText(std::pair<uint32_t, int32_t> op) {
    if (op.first == EVENT_CLASS_PROCESS) return op.second ? "process start" : "process exit";
    return op.first == EVENT_CLASS_FILE ? vetrona::client::FileOpName(op.second) : vetrona::client::RegOpName(op.second);
}

// A scenario played in-process, read back from its JSON transcript.
struct Played {
    struct Event {
        std::string operation;  // as a row names it: "FileOpCreated", "process start"
        int verdict = -1;
        int line = 0;           // the line of the workload step it came in (0: none)
    };
    bool passed = false;
    std::vector<Event> events;
    std::vector<int> failedExpectations;  // their lines
    std::string failures;                 // what they were, for messages
};

Played Play(const Scenario& s, bool allAllow) {
    RunOptions options;
    options.json = true;
    options.allAllow = allAllow;
    Transcript out(options);
    testing::internal::CaptureStdout();
    const int status = RunScenario(s, out);
    std::istringstream lines(testing::internal::GetCapturedStdout());
    Played played;
    played.passed = status == 0;
    std::map<int64_t, int> stepLines;
    std::vector<std::pair<int64_t, Played::Event>> events;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
        if (!j.is_object()) continue;
        const std::string type = j.value("type", "");
        if (type == "step") {
            stepLines[j.value("step", int64_t{0})] = j.value("line", 0);
        } else if (type == "event" && j.contains("operation")) {
            const std::string op = j.value("operation", "");
            events.push_back({j.value("step", int64_t{0}),
                              {j.value("class", "") == "process" ? "process " + op : op, j.value("verdict", -1), 0}});
        } else if (type == "expectation" && !j.value("ok", true)) {
            played.failedExpectations.push_back(j.value("line", 0));
            played.failures += "\n    line " + std::to_string(j.value("line", 0)) + ": " + j.value("what", "");
        }
    }
    // A step's record comes after the events it caused: number them at the end.
    for (auto& [step, e] : events) {
        e.line = stepLines.count(step) ? stepLines[step] : 0;
        played.events.push_back(e);
    }
    return played;
}

// The lines of the steps marked as the act of one of `ids`.
void OwnStepLines(const std::vector<StepSpec>& steps, const std::vector<std::string>& ids, std::set<int>* lines) {
    for (const StepSpec& step : steps) {
        for (const std::string& id : ids) {
            if (std::find(step.techniques.begin(), step.techniques.end(), id) != step.techniques.end()) lines->insert(step.line);
        }
        for (const auto& thread : step.threads) OwnStepLines(thread, ids, lines);
    }
}

// Expectation lines that check something other than the machine: events,
// the outcome's counts and the debugger's lines hold what the client
// answered, not what became of the files, keys, processes and disks.
std::set<int> EventAndCountLines(const Scenario& s) {
    std::set<int> lines{0, s.events.line, s.outcome.line, s.debugger.line};
    for (const EventMatcher& m : s.events.list) lines.insert(m.line);
    for (const EventMatcher& m : s.events.absent) lines.insert(m.line);
    return lines;
}

class TechniqueMatrix : public testing::Test {
protected:
    void SetUp() override {
        readme_ = ReadText(kSource / "README.md");
        rows_ = Matrix(readme_);
        scenarios_ = SuiteScenarios();
        for (const auto& [path, s] : scenarios_) {
            for (const std::string& id : s.techniques) tagged_[id].insert(path);
        }
    }

    // The scenarios of a row, by path.
    std::set<std::string> TaggedWith(const Row& row) {
        std::set<std::string> out;
        for (const std::string& id : row.ids) out.insert(tagged_[id].begin(), tagged_[id].end());
        return out;
    }

    // Each scenario is played once for the whole binary.
    static const Played& PlayedRun(const std::string& path, const Scenario& s) {
        static std::map<std::string, Played> runs;
        auto it = runs.find(path);
        if (it == runs.end()) it = runs.emplace(path, Play(s, false)).first;
        return it->second;
    }

    std::string readme_;
    std::vector<Row> rows_;
    std::map<std::string, Scenario> scenarios_;
    std::map<std::string, std::set<std::string>> tagged_;  // technique -> scenario paths
};

TEST_F(TechniqueMatrix, EveryTaggedTechniqueHasOneRowNamingEveryScenarioTaggedWithIt) {
    ASSERT_GE(rows_.size(), 30u) << "the README's technique matrix";
    std::set<std::string> seen;
    for (const Row& row : rows_) {
        for (const std::string& id : row.ids) {
            EXPECT_TRUE(std::regex_match(id, std::regex(R"(T[0-9]{4}(\.[0-9]{3})?)"))) << "README.md:" << row.line << ": '" << id << "'";
            EXPECT_TRUE(seen.insert(id).second) << "README.md:" << row.line << ": " << id << " has two rows";
        }
        EXPECT_FALSE(row.name.empty()) << "README.md:" << row.line;
        const std::vector<std::string> links = Matches(row.provenBy, R"(\]\(([^)]+)\))");
        const std::set<std::string> named(links.begin(), links.end());
        EXPECT_EQ(named, TaggedWith(row)) << "README.md:" << row.line << ": the scenarios tagged " << row.id;
    }
    for (const auto& [id, paths] : tagged_) {
        EXPECT_TRUE(seen.count(id)) << id << " is tagged in " << *paths.begin() << " but has no row";
    }
    const std::regex count("\n([0-9]+) rows\\.");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(readme_, m, count)) << "the README says how many rows the matrix has";
    EXPECT_EQ(std::stoul(m[1].str()), rows_.size());
}

// `technique:` on a step names a technique the scenario is tagged with.
TEST(TechniqueSteps, AStepMarksOnlyTechniquesItsScenarioNames) {
    auto error = [](const std::string& mark) {
        const std::string text = "scenario: t\ntechniques: [T1547.001, T1112]\nmachine:\n  processes: [{name: p, image: 'C:\\p.exe'}]\n"
                                 "workload:\n  - {process: p, technique: " + mark + ", exit: {}}\n";
        try {
            const Scenario s = LoadScenarioText(text, "marks.yaml");
            std::string out = "loaded:";
            for (const std::string& id : s.workload.at(0).techniques) out += " " + id;
            return out;
        } catch (const ScenarioError& e) {
            return e.Describe();
        }
    };
    EXPECT_EQ(error("T1547.001"), "loaded: T1547.001");
    EXPECT_EQ(error("[T1112, T1547.001]"), "loaded: T1112 T1547.001");
    EXPECT_NE(error("T1547.1").find("workload.technique: 'T1547.1' is not a technique id"), std::string::npos) << error("T1547.1");
    EXPECT_NE(error("T1059.003").find("'T1059.003' is not among the scenario's techniques"), std::string::npos) << error("T1059.003");
    EXPECT_NE(error("[]").find("name a technique"), std::string::npos) << error("[]");
}

TEST_F(TechniqueMatrix, EveryTaggedTechniqueHasStepsOfItsOwnInEachScenario) {
    for (const auto& [path, s] : scenarios_) {
        for (const std::string& id : s.techniques) {
            std::set<int> own;
            OwnStepLines(s.workload, {id}, &own);
            EXPECT_FALSE(own.empty()) << path << ": no step is marked `technique: " << id << "`";
        }
    }
}

// "Vetrona reports" names the operations the scenarios expect that come in
// the technique's own steps; a deny or a backup counts when it lands on one
// of those steps, not on the scenario's set-up, clean-up or another
// technique's steps.
TEST_F(TechniqueMatrix, EachRowReportsWhatItsOwnStepsShowAndClaimsOnlyDeniesThatLandThere) {
    for (const Row& row : rows_) {
        std::set<std::string> reported;
        bool anyDeny = false, allDeny = true, anyBackup = false;
        const std::set<std::string> paths = TaggedWith(row);
        for (const std::string& path : paths) {
            const Scenario& s = scenarios_.at(path);
            std::set<int> own;
            OwnStepLines(s.workload, row.ids, &own);
            std::set<std::string> expected;
            for (const EventMatcher& m : s.events.list) {
                if (m.eventClass && m.operation) expected.insert(OperationText({*m.eventClass, *m.operation}));
            }
            const Played& played = PlayedRun(path, s);
            EXPECT_TRUE(played.passed) << path << " fails on its own" << played.failures;
            bool deny = false, backup = false;
            for (const Played::Event& e : played.events) {
                if (!own.count(e.line)) continue;
                if (expected.count(e.operation)) reported.insert(e.operation);
                deny = deny || e.verdict == VerdictDeny;
                backup = backup || e.verdict == VerdictBackup;
            }
            anyDeny = anyDeny || deny;
            allDeny = allDeny && deny;
            anyBackup = anyBackup || (backup && !s.backups.empty());
        }
        std::set<std::string> named;
        for (const auto& op : NamedOperations(row.reports, row.line)) named.insert(OperationText(op));
        std::string want;
        for (const auto& op : reported) want += (want.empty() ? "" : ", ") + op;
        EXPECT_EQ(named, reported) << "README.md:" << row.line << ": " << row.id
                                   << " reports what its scenarios expect of its own steps: " << want;
        if (row.deny == "yes") EXPECT_TRUE(allDeny && !paths.empty()) << "README.md:" << row.line << ": 'yes' needs a deny on the technique's own steps in every scenario";
        else if (row.deny == "partly") EXPECT_TRUE(anyDeny) << "README.md:" << row.line << ": 'partly' needs a scenario whose deny lands on the technique's own steps";
        else if (row.deny == "no") EXPECT_FALSE(anyDeny) << "README.md:" << row.line << ": 'no', but a scenario denies the technique's own step";
        else ADD_FAILURE() << "README.md:" << row.line << ": deny is yes, partly or no";
        EXPECT_EQ(row.backup, anyBackup ? "yes" : "no")
            << "README.md:" << row.line << ": a backup is claimed where a scenario backs up the technique's own step and checks the copy";
    }
}

// With every verdict turned into allow, a scenario that denies or backs up
// must see the machine come out otherwise: a file changed, a value set, a
// process started, a copy missing. Failing only its event verdicts, counts or
// step statuses would show the client's answer, not that the answer mattered.
TEST_F(TechniqueMatrix, EveryScenarioThatDeniesOrBacksUpFailsAMachineCheckWhenAllIsAllowed) {
    size_t replayed = 0;
    for (const auto& [path, s] : scenarios_) {
        if (s.techniques.empty() && path.rfind("scenarios/evasions/", 0) != 0) continue;
        const Played& played = PlayedRun(path, s);
        const bool claims = std::any_of(played.events.begin(), played.events.end(), [](const Played::Event& e) {
            return e.verdict == VerdictDeny || e.verdict == VerdictBackup;
        });
        if (!claims) continue;
        ++replayed;
        const Played allowed = Play(s, true);
        EXPECT_FALSE(allowed.passed) << path << " passes with every verdict allow";
        const std::set<int> notMachine = EventAndCountLines(s);
        const bool machine = std::any_of(allowed.failedExpectations.begin(), allowed.failedExpectations.end(),
                                         [&](int line) { return !notMachine.count(line); });
        EXPECT_TRUE(machine) << path << ": with every verdict allow, no check of files, registry, processes, backups or disks fails;"
                             << " what failed:" << allowed.failures;
    }
    EXPECT_GE(replayed, 30u) << "the scenarios that deny or back up";
}

TEST_F(TechniqueMatrix, TechniquesOutOfViewAreNoneAScenarioProves) {
    const auto outOfView = Table(readme_, "technique-out-of-view");
    EXPECT_FALSE(outOfView.empty());
    std::set<std::string> matrix;
    for (const Row& row : rows_) matrix.insert(row.ids.begin(), row.ids.end());
    for (const auto& [line, cells] : outOfView) {
        ASSERT_GE(cells.size(), 3u) << "README.md:" << line;
        EXPECT_FALSE(tagged_.count(cells[0])) << "README.md:" << line << ": " << cells[0] << " is out of view, yet tagged";
        EXPECT_FALSE(matrix.count(cells[0])) << "README.md:" << line << ": " << cells[0] << " is in the matrix too";
        EXPECT_FALSE(cells[2].empty()) << "README.md:" << line << ": say why";
    }
}

}  // namespace
}  // namespace vsim
