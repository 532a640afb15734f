// vetrona-sim sweep: fails each fallible point of a scenario in turn.
//
// A fallible point is one call of a platform routine that can fail, made for
// the driver (a pool allocation, a name query, a file open, a send...). A
// first, fault-free run of the scenario counts them; then run i fails exactly
// point i with that routine's natural failure status. Each run is a forked
// child, so a bugcheck or a hang is a finding, not the end of the sweep.
//
// After each run the sweep checks:
//   - no bugcheck, no crash, no hang (a run that outlives the timeout is killed);
//   - the driver stopped and no pool block, kernel handle, work item or
//     Filter Manager context is left;
//   - no step of the workload ended otherwise than in the fault-free run,
//     except that an operation the fault-free run had denied may go through
//     (a failed send, or a request that could not be classified, lets the
//     operation pass). A run where that happened has "diverged": later steps
//     and the data are no longer compared;
//   - in a run that did not diverge, every file outside the backup folders
//     holds exactly what it held after the fault-free run, and so does every
//     registry key and value the scenario names (a failed backup never harms
//     the source, a failed report never loses data);
//   - every file in a backup folder (the client's, or one it sets later) is
//     a prefix of a copy the fault-free run made (a failed copy keeps what it
//     wrote before the failure, never other bytes).
// A run where the driver did not load, or refused the client's set-up, is
// counted as "refused" when it left nothing behind: the workload cannot run.
#pragma once

#include "tools/scenario.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vsim {

struct SweepOptions {
    std::vector<std::string> files;
    uint64_t sample = 0;             // 0: every point
    std::optional<uint64_t> seed;    // of the sample; none: from the clock
    std::optional<uint64_t> point;   // run only this point (1-based), with the child's output
    int jobs = 1;                    // runs at once
    double timeout = 30.0;           // seconds per run
    bool json = false;
    bool verbose = false;            // a line for every run, not only the failed ones
    std::string image;               // a driver image to run instead of the linked driver
};

// 0 every run survived; 1 a run failed (or the fault-free run did not pass);
// 2 a scenario file could not be loaded.
int RunSweep(const SweepOptions& options);

// The status a fallible routine returns when the sweep fails it; none when
// the routine is not a sweep point (it cannot fail for want of resources on
// the real system).
std::optional<int32_t> SweepFailureStatus(const std::string& routine);

// The folders whose files the sweep judges as backups ("C:\BACKUP", upper
// case, no trailing separator): the client's at the start and every one a
// workload step sets later.
std::vector<std::string> SweepBackupFolders(const Scenario& scenario);

// One run as the sweep sees it: how the child ended, its transcript (the JSON
// lines of `vetrona-sim run --json`) and its own last line (points, the
// routine it failed, a digest of every file, the backups, the registry).
struct SweepRunResult {
    uint64_t point = 0;
    bool timedOut = false;
    int signal = 0;
    int exitCode = 0;
    std::string out, err;
    std::vector<nlohmann::ordered_json> lines;
    nlohmann::ordered_json last;  // null when the run did not get there
};

struct SweepJudgement {
    enum Kind { Survived, Diverged, Refused, Unfired, Failed } kind = Survived;
    std::vector<std::string> problems;
    std::string note;
};

// Judges a run against the fault-free one, by the rules above.
SweepJudgement JudgeSweepRun(const SweepRunResult& faultFree, const SweepRunResult& run);

}  // namespace vsim
