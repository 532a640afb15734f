// The session's journal and the client's own file reads behind it.
#include "client/lib/journal.h"

#include "client/lib/digest.h"
#include "client/lib/text.h"

#include <algorithm>
#include <cstdio>

namespace vetrona::client {

namespace {

constexpr int kCopyNames = 21;  // the name, then _1 to _20

// Create dispositions that keep or truncate a file that is there: the driver
// copies before such an open. FILE_CREATE fails on an existing file.
constexpr uint32_t kFileCreate = 2;

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

bool Wide(const std::string& path, std::u16string* wide) { return !path.empty() && Utf8ToUtf16(path, wide); }

}  // namespace

HResult DigestFile(Transport& files, const std::string& path, FileDigest* digest) {
    *digest = FileDigest{};
    std::u16string wide;
    if (!Wide(path, &wide)) return kHrInvalidArgument;
    FileFacts facts;
    HResult hr = files.FileInfo(wide.c_str(), &facts);
    if (!Succeeded(hr)) return hr;
    if (!facts.exists) return kOk;
    if (facts.folder) return kHrInvalidArgument;
    Sha256 sha;
    uint64_t offset = 0;
    std::vector<uint8_t> piece;
    for (;;) {
        hr = files.FileRead(wide.c_str(), offset, kFileChunk, &piece);
        if (!Succeeded(hr)) return hr;
        if (piece.empty()) break;
        sha.Update(piece.data(), piece.size());
        offset += piece.size();
    }
    digest->exists = true;
    digest->size = offset;
    digest->sha256 = sha.HexDigest();
    return digest->sha256.empty() ? kHrInvalidData : kOk;
}

HResult CopyMachineFile(Transport& files, const std::string& from, const std::string& to, std::string* sha256) {
    sha256->clear();
    std::u16string source, target;
    if (!Wide(from, &source) || !Wide(to, &target)) return kHrInvalidArgument;
    Sha256 sha;
    uint64_t offset = 0;
    std::vector<uint8_t> piece;
    for (;;) {
        HResult hr = files.FileRead(source.c_str(), offset, kFileChunk, &piece);
        if (!Succeeded(hr)) return hr;
        // The first write makes the target anew, so an empty copy gives an empty file.
        if (!piece.empty() || offset == 0) {
            hr = files.FileWrite(target.c_str(), offset, piece.data(), static_cast<uint32_t>(piece.size()), offset == 0);
            if (!Succeeded(hr)) return hr;
        }
        if (piece.empty()) break;
        sha.Update(piece.data(), piece.size());
        offset += piece.size();
    }
    *sha256 = sha.HexDigest();
    return sha256->empty() ? kHrInvalidData : kOk;
}

Journal::Journal(Transport& files, std::function<void(const Json&)> sink) : files_(files), sink_(std::move(sink)) {}

void Journal::Write(Json line) {
    if (sink_) sink_(line);
    lines_.push_back(std::move(line));
}

void Journal::Begin(const Json& client, const VolumeNames& volumes, const std::string& backupFolder, uint64_t limit) {
    volumes_ = volumes;
    limit_ = limit;
    SetBackupFolder(backupFolder);
    Write({{"type", "journal"}, {"version", kJournalVersion}, {"time", IsoTime(std::chrono::system_clock::now())},
           {"client", client}, {"folder", folder_}, {"backupLimit", limit_}});
}

void Journal::SetBackupFolder(const std::string& folder) {
    std::string user = folder;
    if (user.rfind("\\??\\", 0) == 0 || user.rfind("\\\\?\\", 0) == 0) user = user.substr(4);
    user = UserFilePath(user, volumes_);
    while (!user.empty() && user.back() == '\\') user.pop_back();
    folder_ = user;
}

std::string Journal::UserPath(const TextView& name) const { return UserFilePath(name.Utf8(), volumes_); }

std::string Journal::CandidateName(const std::string& name, int n) { return n == 0 ? name : name + "_" + std::to_string(n); }

void Journal::BeforeReply(const EventView& event, Verdict verdict) {
    const auto* f = std::get_if<FileEventView>(&event);
    if (f == nullptr || verdict != VerdictBackup) return;
    switch (f->operation) {
        case FileOpCloseModified:
            Expect(UserPath(f->name), "FileOpCloseModified", false);
            break;
        case FileOpWriteAccess:
        case FileOpDelete:
            // An open that creates (FILE_CREATE) has nothing to keep; the
            // disposition is in the top byte of the create options.
            if (f->majorFunction == 0 && (f->params.Create.CreateOptions >> 24) == kFileCreate) break;
            Expect(UserPath(f->name), FileOpName(f->operation), true);
            break;
        case FileOpRename:
        case FileOpLink:
            // What a rename or link replaces is copied, when it replaces.
            if (!f->destName.empty() && f->params.Rename.ReplaceIfExists != 0) {
                Expect(UserPath(f->destName), FileOpName(f->operation), true);
            }
            break;
        default:
            break;
    }
}

void Journal::Expect(const std::string& original, const std::string& operation, bool beforeChange) {
    Pending p;
    p.operation = operation;
    p.when = beforeChange ? "before-change" : "at-close";
    p.original = original;
    p.folder = folder_;
    p.name = std::string(FinalComponent(original));
    p.time = IsoTime(std::chrono::system_clock::now());
    std::u16string wide;
    FileFacts facts;
    if (!Wide(original, &wide) || !Succeeded(files_.FileInfo(wide.c_str(), &facts)) ) {
        p.predicted = -1;  // cannot be seen: looked for by name alone
    } else if (!facts.exists || facts.folder) {
        return;  // nothing there yet, or a folder: the driver keeps nothing
    }
    p.originalBytes = facts.size;
    Json why;
    if (folder_.empty()) why = "no backup folder is set";
    else if (beforeChange && limit_ == 0) why = "the backup limit is 0: no copy before a change";
    else if (beforeChange && p.predicted >= 0 && facts.size > limit_) {
        why = "larger than the backup limit (" + std::to_string(limit_) + " bytes)";
    }
    if (why.is_null() && p.predicted >= 0) {
        p.predicted = kCopyNames;
        for (int n = 0; n < kCopyNames; ++n) {
            const std::string candidate = folder_ + "\\" + CandidateName(p.name, n);
            if (claimed_.count(Upper(candidate))) continue;
            FileFacts there;
            std::u16string path;
            if (Wide(candidate, &path) && Succeeded(files_.FileInfo(path.c_str(), &there)) && there.exists) continue;
            p.predicted = n;
            claimed_.insert(Upper(candidate));
            break;
        }
        if (p.predicted == kCopyNames) why = "every name of the original's in the backup folder is taken";
    }
    if (std::find(originals_.begin(), originals_.end(), original) == originals_.end()) originals_.push_back(original);
    if (!why.is_null()) p.reason = why.get<std::string>();  // written once the record gives the event's number
    unnumbered_.push_back(std::move(p));
}

void Journal::Answered(const Json& record) {
    Write([&] {
        Json line = {{"type", "event"}};
        for (const auto& [key, value] : record.items()) {
            if (key != "type") line[key] = value;
        }
        return line;
    }());
    const int64_t seq = record.value("seq", int64_t{-1});
    for (Pending& p : unnumbered_) {
        p.seq = seq;
        if (!p.reason.empty()) {
            Write({{"type", "backup"}, {"seq", p.seq}, {"operation", p.operation}, {"when", p.when}, {"original", p.original},
                   {"folder", folder_}, {"backup", nullptr}, {"originalBytes", p.originalBytes}, {"backupBytes", nullptr},
                   {"sha256", nullptr}, {"time", p.time}, {"reason", p.reason}});
        } else {
            pending_.push_back(std::move(p));
        }
    }
    unnumbered_.clear();
    // Copies already complete at their expected name are written now, so a
    // session that loses the driver's machine before its end keeps them.
    pending_.erase(std::remove_if(pending_.begin(), pending_.end(), [this](const Pending& p) { return ResolveIfThere(p); }),
                   pending_.end());
}

bool Journal::ResolveIfThere(const Pending& p) {
    if (p.predicted < 0 || p.predicted >= kCopyNames) return false;
    const std::string candidate = p.folder + "\\" + CandidateName(p.name, p.predicted);
    std::u16string path;
    FileFacts facts;
    // The driver writes a copy from its start to its end: it holds the
    // original's size only once it is whole.
    if (!Wide(candidate, &path) || !Succeeded(files_.FileInfo(path.c_str(), &facts)) || !facts.exists ||
        facts.size != p.originalBytes) {
        return false;
    }
    FileDigest digest;
    if (!Succeeded(DigestFile(files_, candidate, &digest)) || !digest.exists || digest.size != p.originalBytes) return false;
    Write({{"type", "backup"}, {"seq", p.seq}, {"operation", p.operation}, {"when", p.when}, {"original", p.original},
           {"folder", p.folder}, {"backup", candidate}, {"originalBytes", p.originalBytes}, {"backupBytes", digest.size},
           {"sha256", digest.sha256}, {"time", p.time}, {"match", "name-and-size"}});
    return true;
}

void Journal::Resolve(const Pending& p) {
    Json line = {{"type", "backup"}, {"seq", p.seq}, {"operation", p.operation}, {"when", p.when}, {"original", p.original},
                 {"folder", p.folder}, {"backup", nullptr}, {"originalBytes", p.predicted >= 0 ? Json(p.originalBytes) : Json()},
                 {"backupBytes", nullptr}, {"sha256", nullptr}, {"time", p.time}};
    // Where it was to go, then the later names (another copy may have taken
    // the expected one first): the first new file there of the original's size.
    const int first = p.predicted >= 0 ? p.predicted : 0;
    HResult unreadable = kOk;
    for (int n = first; n < kCopyNames; ++n) {
        const std::string candidate = p.folder + "\\" + CandidateName(p.name, n);
        if (n != p.predicted && claimed_.count(Upper(candidate))) continue;
        FileDigest digest;
        const HResult hr = DigestFile(files_, candidate, &digest);
        if (!Succeeded(hr) && Succeeded(unreadable)) unreadable = hr;
        if (!Succeeded(hr) || !digest.exists) continue;
        if (p.predicted >= 0 && digest.size != p.originalBytes) continue;
        claimed_.insert(Upper(candidate));
        line["backup"] = candidate;
        line["backupBytes"] = digest.size;
        line["sha256"] = digest.sha256;
        line["match"] = p.predicted < 0 ? "name" : n == p.predicted ? "name-and-size" : "size";
        Write(line);
        return;
    }
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(unreadable));
    line["reason"] = !Succeeded(unreadable) ? std::string("the backup folder could not be read (") + code + ")"
                     : p.predicted < 0      ? "the original could not be read, and no copy was found under its names"
                                            : "no copy in the folder: the copy failed or was not made";
    Write(line);
}

void Journal::Finish() {
    if (finished_) return;
    finished_ = true;
    for (Pending& p : unnumbered_) {
        if (p.reason.empty()) pending_.push_back(std::move(p));  // noted for an event never recorded
    }
    unnumbered_.clear();
    for (const Pending& p : pending_) Resolve(p);
    pending_.clear();
    // What the originals hold now: restore puts a copy back only over a
    // file that has not changed since.
    for (const std::string& original : originals_) {
        FileDigest digest;
        const HResult hr = DigestFile(files_, original, &digest);
        Json line = {{"type", "after"}, {"original", original}, {"time", IsoTime(std::chrono::system_clock::now())}};
        if (!Succeeded(hr)) {
            line["exists"] = nullptr;
            line["reason"] = "could not be read";
        } else {
            line["exists"] = digest.exists;
            line["bytes"] = digest.exists ? Json(digest.size) : Json();
            line["sha256"] = digest.exists ? Json(digest.sha256) : Json();
        }
        Write(line);
    }
}

}  // namespace vetrona::client
