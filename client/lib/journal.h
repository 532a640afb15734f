// The session's journal: every event the client answered, and for each copy
// a backup verdict asked the driver to make, where the copy is, what it
// holds (sizes, SHA-256) and when it was found; at the end, what each copied
// original holds then. JSON lines with the field names of the client's own
// event lines, written as the session goes, for `vetrona-client restore`.
//
// The driver does not say where it put a copy. The journal works it out as
// the driver names copies: in the backup folder, under the original's final
// name component, else that name with _1 to _20, the first that does not
// exist. Before the client replies to the event (the request waits for the
// reply, the copy is not made yet), it looks at the original (its size) and
// at the candidate names: the first free one, not already expected for
// another copy, is where the copy will go. Once the session ends, the copy
// is the file at that name holding exactly the original's size; a copy that
// another copy's arrival pushed to a later name is found there by size and
// marked so. What it cannot find is written down with the reason, never
// guessed.
#pragma once

#include "client/lib/decode.h"
#include "client/lib/paths.h"
#include "client/lib/report.h"
#include "client/lib/transport.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace vetrona::client {

// What a file holds, as the client reads it.
struct FileDigest {
    bool exists = false;
    uint64_t size = 0;
    std::string sha256;  // of the bytes read; empty when it does not exist
};

// Reads `path` whole, in pieces, and hashes it. A file that is not there is
// a success with `exists` false.
HResult DigestFile(Transport& files, const std::string& path, FileDigest* digest);

// Copies `from` to `to` (made anew) piece by piece; *sha256 is the digest of
// the bytes written.
HResult CopyMachineFile(Transport& files, const std::string& from, const std::string& to, std::string* sha256);

// The journal's format version, in its first line.
constexpr int kJournalVersion = 1;

class Journal {
public:
    // `sink` receives each line (a JSON object) as it is written.
    Journal(Transport& files, std::function<void(const Json&)> sink);

    // The session: the client's configuration (as the client records it),
    // the volumes, the backup folder as the user wrote it ("C:\Backup" or an
    // NT path; empty: none) and the copy-before-change limit.
    void Begin(const Json& client, const VolumeNames& volumes, const std::string& backupFolder, uint64_t limit);
    void SetBackupFolder(const std::string& folder);

    // Called for each event before the client replies with `verdict`: an
    // event the verdict makes the driver copy a file for is noted with what
    // the file holds and where its copy will go.
    void BeforeReply(const EventView& event, Verdict verdict);
    // The event's record as the client prints it (with "seq"), after the reply.
    void Answered(const Json& record);
    // The end of the session: every copy looked for, and each copied
    // original's state now. Later calls do nothing.
    void Finish();

    // Every line written so far.
    const std::vector<Json>& lines() const { return lines_; }

private:
    struct Pending {
        int64_t seq = -1;
        std::string operation;
        std::string when;      // "before-change" or "at-close"
        std::string original;  // as the user reads it
        std::string folder;
        std::string name;      // the original's final component
        uint64_t originalBytes = 0;
        int predicted = 0;     // 0: the plain name, n: name_n; -1 the original was not seen
        std::string reason;    // why no copy can be there (none: look for it)
        std::string time;
    };

    void Write(Json line);
    std::string UserPath(const TextView& name) const;
    void Expect(const std::string& original, const std::string& operation, bool beforeChange);
    void Resolve(const Pending& p);
    bool ResolveIfThere(const Pending& p);
    static std::string CandidateName(const std::string& name, int n);

    Transport& files_;
    std::function<void(const Json&)> sink_;
    VolumeNames volumes_;
    std::string folder_;  // user form, no trailing backslash
    uint64_t limit_ = 0;
    std::vector<Pending> pending_;
    std::vector<Pending> unnumbered_;      // noted before the reply, waiting for the record's seq
    std::set<std::string> claimed_;        // upper-case copy paths expected or found
    std::vector<std::string> originals_;   // copied originals, in order
    bool finished_ = false;
    std::vector<Json> lines_;
};

}  // namespace vetrona::client
