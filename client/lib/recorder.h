// What vetrona-client does with each event it answered, in the user's terms:
// the line it prints (readable or JSON) with the time it was received, the
// file with its drive letter and the registry key as HKLM\... beside the
// kernel's names, and the image of the process that acted, learnt from the
// process events (a table kept from the starts); the counts of the summary;
// and the behaviour report, written when the client stops.
#pragma once

#include "client/lib/client.h"
#include "client/lib/paths.h"
#include "client/lib/policy.h"
#include "client/lib/report.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace vetrona::client {

struct RecorderOptions {
    bool json = false;
    bool hex = false;
    bool report = false;   // gather the behaviour report
    std::string program = "vetrona-client";
};

class Recorder {
public:
    explicit Recorder(RecorderOptions options);

    // The volumes' names (drive letters and mount folders); policy patterns
    // may then name files either way too.
    void SetVolumes(VolumeNames volumes);
    // The session the report is about: what the client was told to do
    // ("backup": the folder it set, as the user wrote it or as an NT path).
    void Configure(const Json& client, const std::string& source);

    // For the policy: the images the client knows by process id.
    const EventContext& context() const { return context_; }

    // An event was received at `received`: learns what a start tells before the
    // policy decides (a rule may name the new process's image).
    void Received(const EventView& event);
    // The event was answered: the line to print for it (no newline), counted
    // and gathered for the report.
    // `alerts`: the detection rules that matched it ({id, title, level,
    // author} each), carried on its record for the report; null for none.
    std::string Answered(const Message& message, const EventView& event, Verdict verdict, int rule,
                         std::chrono::system_clock::time_point received, const Json& alerts = Json());

    // A record the report takes from elsewhere in the session (the
    // journal's copies, as type "journal-copy").
    void AddToReport(const Json& record) {
        if (report_) report_->Add(record);
    }

    // The closing summary (the line for JSON, the lines for reading) with how
    // the session ended.
    std::string Summary(const std::string& ending);
    // Writes the report gathered so far.
    bool WriteReport(const std::string& path, std::string* error);

    int total() const { return total_; }
    // The JSON record of the event Answered last (what --json prints for it).
    const Json& lastRecord() const { return last_; }

private:
    RecorderOptions options_;
    VolumeNames volumes_;
    EventContext context_;
    std::map<uint32_t, std::string> images_;  // pid -> image (kernel path), from process starts
    std::map<std::pair<std::string, std::string>, std::map<std::string, int>> rows_;
    int total_ = 0;
    Json last_;
    std::unique_ptr<Report> report_;

    // Copies asked for, found in the backup folder when the client stops:
    // the driver takes the first free name of the original's name and that
    // name with _1 to _20, so copies made in this session are the names the
    // folder did not have when it started, in order.
    struct AskedCopy {
        int seq = 0;
        std::string original;  // as the user reads it
        Json originalBytes;    // its size at the close, when the client can see the file
    };
    void LocateCopies();
    std::string backupFolder_;               // as the user reads it; empty: none
    std::vector<std::string> folderBefore_;  // upper-case names in it at the start
    std::vector<AskedCopy> asked_;
};

}  // namespace vetrona::client
