// Putting originals back from a session's journal: for each original a
// watched program changed, the copy the driver made before the first change
// of the session, checked against the SHA-256 the journal recorded, written
// over the original only when the original still holds what it held when
// the session ended (else only when forced). vetrona-client's `restore`
// command and the scenario runner's `restore` step both run this.
#pragma once

#include "client/lib/report.h"
#include "client/lib/transport.h"

#include <string>
#include <vector>

namespace vetrona::client {

struct RestoreOptions {
    std::string to;    // a folder to restore into instead of the originals' places ("" none)
    std::string only;  // a glob on the originals' paths ("" all)
    bool dryRun = false;
    bool force = false;  // overwrite what changed after the session
};

// One original: what was done and why.
struct RestoreItem {
    std::string original;
    std::string backup;  // the copy chosen ("" none)
    std::string target;  // where it goes
    std::string action;  // "restored", "would restore", "already restored", "refused", "failed", "no copy"
    std::string reason;
    uint64_t bytes = 0;
    std::string sha256;
    Json ToJson() const;
    std::string Line() const;  // readable
    bool ok() const { return action == "restored" || action == "would restore" || action == "already restored"; }
};

// Which copy of an original to put back, worked out from the journal alone.
struct RestorePlan {
    std::string original;
    Json copy;               // the chosen backup record; null when none
    std::string reason;      // why none was chosen
    int64_t firstChange = -1;  // seq of the first change by another process than its maker in the session (-1 none)
    int64_t changedBy = -1;    // that change's pid
    const Json* after = nullptr;  // its state when the session ended, if recorded
};

// The originals the journal has copies (or failed copies) of, in the order
// first copied. A copy made for an event holds the file from before that
// event's change: of a file older than the session, the first copy is put
// back; of one made in the session, the newest from before another process
// than its maker changed it. Copies made after that change hold the changed
// bytes and are never chosen. Reads lines of type event, backup and after.
std::vector<RestorePlan> PlanRestore(const std::vector<Json>& journal);

// Reads journal lines; false with *error (and its line number) when a line
// is not a JSON object or the first is not a journal of a known version.
bool ParseJournal(const std::string& text, std::vector<Json>* lines, std::string* error);

// The copy to restore for each original, in the order the originals were
// first copied, and the steps to take. With options.dryRun nothing is
// written.
std::vector<RestoreItem> Restore(Transport& files, const std::vector<Json>& journal, const RestoreOptions& options);

}  // namespace vetrona::client
