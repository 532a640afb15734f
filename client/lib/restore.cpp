// Restoring originals from a session's journal.
#include "client/lib/restore.h"

#include "client/lib/journal.h"
#include "client/lib/policy.h"
#include "client/lib/text.h"

#include <algorithm>
#include <limits>
#include <map>
#include <sstream>

namespace vetrona::client {

namespace {

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string Str(const Json& j, const char* key) {
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

int64_t Int(const Json& j, const char* key, int64_t fallback = -1) {
    auto it = j.find(key);
    return it != j.end() && it->is_number_integer() ? it->get<int64_t>() : fallback;
}

// Operations that change the file at their path (and, for a rename or a
// link, the file at the destination).
bool Changes(const std::string& op) {
    return op == "FileOpWrite" || op == "FileOpDelete" || op == "FileOpCreated" || op == "FileOpRename" || op == "FileOpLink" ||
           op == "FileOpCloseModified";
}

// One original's story in the session.
struct History {
    std::string original;
    std::vector<const Json*> copies;  // backup records, by seq
    std::vector<std::string> reasons; // of the records that found no copy
    int64_t creator = -1;             // pid that created it in the session
    int64_t createdAt = -1;
    int64_t firstForeign = std::numeric_limits<int64_t>::max();
    int64_t changedBy = -1;
    const Json* after = nullptr;
};

std::string TargetOf(const std::string& original, const std::string& to) {
    if (to.empty()) return original;
    std::string rest = original;
    if (rest.size() >= 2 && rest[1] == ':') rest.erase(1, 1);  // C:\x -> C\x
    while (!rest.empty() && rest.front() == '\\') rest.erase(rest.begin());
    std::string folder = to;
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    return folder + "\\" + rest;
}

std::string HexCode(HResult hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
    if (hr == kHrNotSupported) return std::string(text) + ": the machine's files cannot be read this way (a server older than the request)";
    return text;
}

}  // namespace

Json RestoreItem::ToJson() const {
    Json j = {{"type", "restore"}, {"original", original}, {"backup", backup.empty() ? Json() : Json(backup)},
              {"target", target}, {"action", action}};
    if (!reason.empty()) j["reason"] = reason;
    if (!sha256.empty()) {
        j["bytes"] = bytes;
        j["sha256"] = sha256;
    }
    return j;
}

std::string RestoreItem::Line() const {
    std::string text = action + " " + original;
    if (!backup.empty()) text += " from " + backup;
    if (target != original && !target.empty()) text += " into " + target;
    if (!sha256.empty() && ok()) text += " (" + std::to_string(bytes) + " bytes, SHA-256 " + sha256.substr(0, 16) + "...)";
    if (!reason.empty()) text += ": " + reason;
    return text;
}

bool ParseJournal(const std::string& text, std::vector<Json>* lines, std::string* error) {
    lines->clear();
    std::stringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        Json j = Json::parse(line, nullptr, false);
        if (j.is_discarded() || !j.is_object()) {
            *error = "line " + std::to_string(number) + ": not a JSON object";
            return false;
        }
        if (lines->empty() && (Str(j, "type") != "journal" || Int(j, "version") != kJournalVersion)) {
            *error = "line " + std::to_string(number) + ": not a journal of version " + std::to_string(kJournalVersion) +
                     " (the first line must be {\"type\": \"journal\", \"version\": " + std::to_string(kJournalVersion) + ", ...})";
            return false;
        }
        lines->push_back(std::move(j));
    }
    if (lines->empty()) {
        *error = "the journal is empty";
        return false;
    }
    return true;
}

std::vector<RestorePlan> PlanRestore(const std::vector<Json>& journal) {
    std::map<std::string, History> histories;
    std::vector<std::string> order;
    auto history = [&](const std::string& path) -> History& {
        const std::string key = Upper(path);
        auto it = histories.find(key);
        if (it == histories.end()) {
            it = histories.emplace(key, History{}).first;
            it->second.original = path;
        }
        return it->second;
    };
    for (const Json& line : journal) {
        const std::string type = Str(line, "type");
        if (type == "backup") {
            const std::string original = Str(line, "original");
            if (original.empty()) continue;
            History& h = history(original);
            if (std::find(order.begin(), order.end(), Upper(original)) == order.end()) order.push_back(Upper(original));
            if (line.contains("backup") && line["backup"].is_string()) h.copies.push_back(&line);
            else if (!Str(line, "reason").empty()) h.reasons.push_back(Str(line, "reason"));
        } else if (type == "after") {
            history(Str(line, "original")).after = &line;
        }
    }
    // The changes each original went through, and who made it if it was
    // made in the session: its maker's own writes are how it came to be.
    for (const Json& line : journal) {
        if (Str(line, "type") != "event" || Str(line, "class") != "file") continue;
        const std::string op = Str(line, "operation");
        if (!Changes(op) || Int(line, "verdict") == VerdictDeny) continue;
        const int64_t seq = Int(line, "seq");
        const int64_t pid = Int(line, "pid");
        for (const char* field : {"path", "destinationPath"}) {
            auto it = histories.find(Upper(Str(line, field)));
            if (it == histories.end() || Str(line, field).empty()) continue;
            History& h = it->second;
            if (op == "FileOpCreated" && h.creator < 0 && seq < h.firstForeign &&
                (h.copies.empty() || Int(*h.copies.front(), "seq") >= seq)) {
                h.creator = pid;
                h.createdAt = seq;
                continue;
            }
            if (op == "FileOpCloseModified") continue;  // the writes before it are the change
            if (pid != h.creator && seq < h.firstForeign) {
                h.firstForeign = seq;
                h.changedBy = pid;
            }
        }
    }

    std::vector<RestorePlan> plans;
    for (const std::string& key : order) {
        History& h = histories[key];
        RestorePlan plan;
        plan.original = h.original;
        plan.after = h.after;
        std::stable_sort(h.copies.begin(), h.copies.end(),
                         [](const Json* a, const Json* b) { return Int(*a, "seq") < Int(*b, "seq"); });
        if (h.firstForeign != std::numeric_limits<int64_t>::max()) {
            plan.firstChange = h.firstForeign;
            plan.changedBy = h.changedBy;
        }
        const Json* chosen = nullptr;
        for (const Json* copy : h.copies) {
            if (Int(*copy, "seq") > h.firstForeign) break;
            if (chosen == nullptr || h.creator >= 0) chosen = copy;
        }
        if (chosen != nullptr) {
            plan.copy = *chosen;
        } else {
            plan.reason = !h.copies.empty() ? "every copy was made after the first change (event " + std::to_string(h.firstForeign) + ")"
                          : !h.reasons.empty() ? h.reasons.front()
                                               : "no copy was found";
        }
        plans.push_back(std::move(plan));
    }
    return plans;
}

std::vector<RestoreItem> Restore(Transport& files, const std::vector<Json>& journal, const RestoreOptions& options) {
    std::vector<RestoreItem> items;
    for (const RestorePlan& plan : PlanRestore(journal)) {
        if (!options.only.empty() && !GlobMatch(options.only, plan.original)) continue;
        RestoreItem item;
        item.original = plan.original;
        item.target = TargetOf(plan.original, options.to);
        if (plan.copy.is_null()) {
            item.action = "no copy";
            item.reason = plan.reason;
            items.push_back(item);
            continue;
        }
        const Json* chosen = &plan.copy;
        item.backup = Str(*chosen, "backup");
        const std::string expected = Str(*chosen, "sha256");
        FileDigest copy;
        HResult hr = DigestFile(files, item.backup, &copy);
        if (!Succeeded(hr) || !copy.exists) {
            item.action = "failed";
            item.reason = !Succeeded(hr) ? "the copy cannot be read (" + HexCode(hr) + ")" : "the copy is gone";
            items.push_back(item);
            continue;
        }
        if (expected.empty() || copy.sha256 != expected) {
            item.action = "refused";
            item.reason = expected.empty() ? "the journal has no SHA-256 for the copy"
                                           : "the copy no longer holds the bytes the journal recorded (SHA-256 " +
                                                 copy.sha256.substr(0, 16) + "..., recorded " + expected.substr(0, 16) + "...)";
            items.push_back(item);
            continue;
        }
        item.bytes = copy.size;
        item.sha256 = copy.sha256;
        FileDigest now;
        hr = DigestFile(files, item.target, &now);
        if (!Succeeded(hr)) {
            item.action = "failed";
            item.reason = "cannot read " + item.target + " (" + HexCode(hr) + ")";
            items.push_back(item);
            continue;
        }
        if (now.exists && now.sha256 == copy.sha256) {
            item.action = "already restored";
            items.push_back(item);
            continue;
        }
        // Only what the attack left is overwritten: a file that changed
        // since the session ended (someone's new work) is kept unless forced.
        std::string changed;
        if (!options.to.empty()) {
            if (now.exists) changed = item.target + " exists and holds other bytes";
        } else if (plan.after == nullptr || plan.after->value("exists", Json()).is_null()) {
            changed = "the journal does not say what it held when the session ended";
        } else if (plan.after->value("exists", false) != now.exists ||
                   (now.exists && Str(*plan.after, "sha256") != now.sha256)) {
            changed = "it changed after the session ended";
        }
        if (!changed.empty() && !options.force) {
            item.action = "refused";
            item.reason = changed + " (--force overwrites it)";
            items.push_back(item);
            continue;
        }
        if (options.dryRun) {
            item.action = "would restore";
            if (!changed.empty()) item.reason = changed + " (forced)";
            items.push_back(item);
            continue;
        }
        if (!options.to.empty()) {
            std::u16string parent;
            const std::string folder = item.target.substr(0, item.target.rfind('\\'));
            FolderState state;
            if (!Utf8ToUtf16(folder, &parent) || !Succeeded(hr = files.Folder(parent.c_str(), true, &state)) ||
                state == FolderState::NotAFolder) {
                item.action = "failed";
                item.reason = "cannot make the folder " + folder;
                items.push_back(item);
                continue;
            }
        }
        std::string written;
        hr = CopyMachineFile(files, item.backup, item.target, &written);
        FileDigest check;
        if (Succeeded(hr)) hr = DigestFile(files, item.target, &check);
        if (!Succeeded(hr) || written != copy.sha256 || check.sha256 != copy.sha256) {
            item.action = "failed";
            item.reason = !Succeeded(hr) ? "writing " + item.target + " failed (" + HexCode(hr) + ")"
                                         : item.target + " does not hold the copy's bytes after the write";
            items.push_back(item);
            continue;
        }
        item.action = "restored";
        if (!changed.empty()) item.reason = changed + " (forced)";
        items.push_back(item);
    }
    return items;
}

}  // namespace vetrona::client
