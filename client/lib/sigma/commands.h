// vetrona-client's commands about detection rules: checking a rules folder
// and replaying logged events.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace vetrona::client::sigma {

// `--sigma DIR --check`: loaded and refused counts, and each refused rule
// with its reason. Exit status 0 when the folder was read, 2 when not.
int CheckCommand(const std::string& dir, bool json, FILE* out);

// `sigma-replay --rules DIR CASE_DIR...`: one line per case; 0 only when every
// replayable case passed, 1 when one failed, 2 when the rules cannot be read.
int ReplayCommand(const std::vector<std::string>& rulesDirs, const std::vector<std::string>& cases, bool json, FILE* out);

}  // namespace vetrona::client::sigma
