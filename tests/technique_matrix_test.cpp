// The README's table of attacker techniques against the scenarios that prove
// it: every technique a scenario is tagged with has a row, every row names
// exactly the scenarios tagged with it, reports what they expect, and claims
// a deny or a backup only where one of them shows it.
#include "client/lib/policy.h"
#include "tools/scenario.h"

#include <gtest/gtest.h>

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
    std::string id, name, reports, deny, backup, provenBy;
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
        rows.push_back(Row{line, cells[0], cells[1], cells[2], cells[3], cells[4], cells[5]});
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

    std::string readme_;
    std::vector<Row> rows_;
    std::map<std::string, Scenario> scenarios_;
    std::map<std::string, std::set<std::string>> tagged_;  // technique -> scenario paths
};

TEST_F(TechniqueMatrix, EveryTaggedTechniqueHasOneRowNamingEveryScenarioTaggedWithIt) {
    ASSERT_GE(rows_.size(), 30u) << "the README's technique matrix";
    std::set<std::string> seen;
    for (const Row& row : rows_) {
        EXPECT_TRUE(seen.insert(row.id).second) << "README.md:" << row.line << ": " << row.id << " has two rows";
        EXPECT_FALSE(row.name.empty()) << "README.md:" << row.line;
        const std::vector<std::string> links = Matches(row.provenBy, R"(\]\(([^)]+)\))");
        const std::set<std::string> named(links.begin(), links.end());
        EXPECT_EQ(named, tagged_[row.id]) << "README.md:" << row.line << ": the scenarios tagged " << row.id;
    }
    for (const auto& [id, paths] : tagged_) {
        EXPECT_TRUE(seen.count(id)) << id << " is tagged in " << *paths.begin() << " but has no row";
    }
    const std::regex count("\n([0-9]+) rows\\.");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(readme_, m, count)) << "the README says how many rows the matrix has";
    EXPECT_EQ(std::stoul(m[1].str()), rows_.size());
}

TEST_F(TechniqueMatrix, EachRowReportsWhatItsScenariosExpectAndClaimsOnlyWhatTheyShow) {
    for (const Row& row : rows_) {
        std::set<std::pair<uint32_t, int32_t>> expected;
        bool anyDeny = false, allDeny = true, anyBackup = false;
        for (const std::string& path : tagged_[row.id]) {
            const Scenario& s = scenarios_.at(path);
            bool deny = false;
            for (const EventMatcher& m : s.events.list) {
                if (m.eventClass && m.operation) expected.insert({*m.eventClass, *m.operation});
                deny = deny || (m.verdict && *m.verdict == VerdictDeny);
            }
            anyDeny = anyDeny || deny;
            allDeny = allDeny && deny;
            anyBackup = anyBackup || !s.backups.empty();
        }
        const auto named = NamedOperations(row.reports, row.line);
        std::string want;
        for (const auto& op : expected) want += (want.empty() ? "" : ", ") + OperationText(op);
        EXPECT_EQ(named, expected) << "README.md:" << row.line << ": " << row.id << " reports what its scenarios expect: " << want;
        if (row.deny == "yes") EXPECT_TRUE(allDeny) << "README.md:" << row.line << ": every scenario of a 'yes' expects a deny";
        else if (row.deny == "partly") EXPECT_TRUE(anyDeny) << "README.md:" << row.line << ": 'partly' needs a scenario with a deny";
        else if (row.deny == "no") EXPECT_FALSE(anyDeny) << "README.md:" << row.line << ": 'no', but a scenario denies";
        else ADD_FAILURE() << "README.md:" << row.line << ": deny is yes, partly or no";
        EXPECT_EQ(row.backup, anyBackup ? "yes" : "no") << "README.md:" << row.line << ": a backup is claimed where a scenario checks one";
    }
}

TEST_F(TechniqueMatrix, TechniquesOutOfViewAreNoneAScenarioProves) {
    const auto outOfView = Table(readme_, "technique-out-of-view");
    EXPECT_FALSE(outOfView.empty());
    std::set<std::string> matrix;
    for (const Row& row : rows_) matrix.insert(row.id);
    for (const auto& [line, cells] : outOfView) {
        ASSERT_GE(cells.size(), 3u) << "README.md:" << line;
        EXPECT_FALSE(tagged_.count(cells[0])) << "README.md:" << line << ": " << cells[0] << " is out of view, yet tagged";
        EXPECT_FALSE(matrix.count(cells[0])) << "README.md:" << line << ": " << cells[0] << " is in the matrix too";
        EXPECT_FALSE(cells[2].empty()) << "README.md:" << line << ": say why";
    }
}

}  // namespace
}  // namespace vsim
