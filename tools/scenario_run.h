// Running a scenario on the simulated kernel: the machine is built, the
// driver loaded, the client configured (in-process, or a separate program
// through vetrona-sim serve), the workload played step by step with the
// events the client sees, and the expectations checked. The transcript goes
// to standard output, readably or as JSON lines.
#pragma once

#include "tools/scenario.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct _EPROCESS;
struct _DRIVER_OBJECT;

namespace vsim {

struct RunOptions {
    bool json = false;
    bool hex = false;
    // A driver image (vetrona.sys) to load instead of the driver linked into
    // the program; empty: the linked driver. The transcript is the same either way.
    std::string image;
    // After each scenario, one line per file left on its volumes (path, size,
    // SHA-256): what a comparison of two runs needs to see every byte.
    bool state = false;
    std::string report;  // write the behaviour report (HTML) of the runs here
    // The client answers allow to every event whatever its policy says: a
    // scenario whose deny or backup matters fails its checks of the machine.
    bool allAllow = false;
};

// Loads the driver as `options` asks: the linked one, or the image. On failure
// `error` says why (for an image: the loader's reason, e.g. a missing import).
int32_t LoadVetrona(const RunOptions& options, struct _DRIVER_OBJECT** driver, std::string* error);

// Thread-safe output of the transcript: readable lines or JSON objects.
class Transcript {
public:
    explicit Transcript(const RunOptions& options) : options_(options) {}
    // Prints `text` in readable mode, `line` in JSON mode.
    void Put(const nlohmann::ordered_json& line, const std::string& text);
    void Text(const std::string& text);  // readable mode only
    const RunOptions& options() const { return options_; }
    // Sees every JSON record Put prints (or would print), in order, whatever
    // the mode: the behaviour report is made from them.
    void SetRecordSink(std::function<void(const nlohmann::ordered_json&)> sink) { sink_ = std::move(sink); }

private:
    RunOptions options_;
    std::mutex lock_;
    std::function<void(const nlohmann::ordered_json&)> sink_;
};

// One event the client received and what it answered.
struct SeenEvent {
    size_t sequence = 0;
    std::vector<uint8_t> bytes;
    int32_t verdict = -1;
    int rule = -1;   // index of the rule that decided, -1: the default
    int step = 0;    // workload step running when it arrived (0: none)
    std::chrono::system_clock::time_point received;
    // File and registry events: the name their process had when the event
    // came (it is running then, so its id is still its own).
    std::string processName;
    // The detection rules that matched it ({id, title, level, author} each).
    nlohmann::ordered_json alerts = nlohmann::ordered_json::array();
};

class ScenarioRun {
public:
    ScenarioRun(const Scenario& scenario, Transcript& out);
    ~ScenarioRun();

    // Builds the machine and loads the driver. False (with the reason printed)
    // when the scenario cannot run.
    bool Boot();
    // Starts the in-process client and configures the driver as the scenario's
    // client section says.
    bool StartClient();
    // Plays the workload; false when a step did not end as expected or could
    // not run.
    bool RunWorkload();
    // Stops the client (after the last events arrived), checks the
    // expectations, stops the driver, checks the pool and prints the summary.
    // Returns the exit status: 0 when everything held.
    int Finish();

    // An event as a client saw it (the in-process client, or the serving
    // proxy on behalf of an outside client).
    void RecordEvent(const std::vector<uint8_t>& bytes, int32_t verdict, int rule);
    // Processes by id, for the transcript and for rules on images.
    std::string ProcessName(uint32_t pid);
    std::string ImageOf(uint32_t pid);
    const vetrona::client::EventContext& context() const { return context_; }
    // The names of the machine's processes with their ids.
    std::vector<std::pair<std::string, uint32_t>> Processes();
    // A simulated process that an outside client runs as.
    _EPROCESS* NewClientProcess();
    // Host folders of the volumes by drive letter, and the temporary folder
    // that holds the fresh ones. After KeepVolumes, Finish leaves that folder
    // for the caller to inspect and remove.
    std::vector<std::pair<char, std::string>> VolumeRoots() const;
    std::string TempRoot() const;
    void KeepVolumes();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    vetrona::client::EventContext context_;
};

// Plays one loaded scenario on a fresh machine: 0 when everything held, 1 not.
int RunScenario(const Scenario& scenario, Transcript& out);
// A file that cannot be loaded: its error on standard error and in the transcript.
void ReportLoadError(const ScenarioError& e, Transcript& out);

// Runs each file in turn on a fresh machine; the exit status of the worst.
// 0 all passed, 1 an expectation failed or a step went wrong or a leak,
// 2 a file could not be loaded.
int RunScenarioFiles(const std::vector<std::string>& files, const RunOptions& options);

}  // namespace vsim
