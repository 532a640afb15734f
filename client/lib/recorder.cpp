// vetrona-client's record of a session.
#include "client/lib/recorder.h"

#include "client/lib/session.h"
#include "client/lib/text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

namespace vetrona::client {

namespace {

std::string Pad(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// A path as the local file system takes it (UTF-8 is not the narrow encoding
// everywhere); nothing when it is not valid text.
std::optional<std::filesystem::path> LocalPath(const std::string& utf8) {
    std::u16string wide;
    if (utf8.empty() || !Utf8ToUtf16(utf8, &wide)) return std::nullopt;
    return std::filesystem::path(wide);
}

std::string Utf8Name(const std::filesystem::path& path) {
    std::string utf8;
    return Utf16ToUtf8(path.filename().u16string(), &utf8) ? utf8 : std::string();
}

}  // namespace

Recorder::Recorder(RecorderOptions options) : options_(std::move(options)) {
    context_.imageOf = [this](uint32_t pid) {
        auto it = images_.find(pid);
        return it == images_.end() ? std::string() : it->second;
    };
    if (options_.report) report_ = std::make_unique<Report>(options_.program);
}

void Recorder::SetVolumes(VolumeNames volumes) {
    volumes_ = std::move(volumes);
    context_.drives = DrivePrefixes(volumes_);
}

void Recorder::Configure(const Json& client, const std::string& source) {
    if (!report_) return;
    std::string folder = client.value("backup", std::string());
    if (folder.rfind("\\??\\", 0) == 0 || folder.rfind("\\\\?\\", 0) == 0) folder = folder.substr(4);
    backupFolder_ = UserFilePath(folder, volumes_);
    while (!backupFolder_.empty() && backupFolder_.back() == '\\') backupFolder_.pop_back();
    if (auto local = LocalPath(backupFolder_)) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(*local, ec)) {
            folderBefore_.push_back(Upper(Utf8Name(entry.path())));
        }
    }
    report_->BeginRun("vetrona-client session", source);
    Json record = client;
    record["type"] = "client";
    report_->Add(record);
    for (const VolumeName& v : volumes_) {
        if (!v.paths.empty()) report_->Add({{"type", "volume"}, {"drive", v.paths.front()}, {"device", v.device}});
    }
}

void Recorder::Received(const EventView& event) {
    if (auto* p = std::get_if<ProcessEventView>(&event); p != nullptr && p->isCreate) {
        images_[p->processId] = p->imageName.Utf8();
    }
}

std::string Recorder::Answered(const Message& message, const EventView& event, Verdict verdict, int rule,
                               std::chrono::system_clock::time_point received, const Json& alerts) {
    ++total_;
    ++rows_[{ClassName(EventClassOf(event)), EventOperationName(event)}][VerdictName(verdict)];
    Json line = Json::parse(FormatEventJson(event, verdict));
    line["seq"] = total_;
    AnnotateEvent(&line, event, verdict, rule, context_, volumes_, received);
    if (options_.hex) line["bytes_hex"] = Hex(message.bytes);
    if (alerts.is_array() && !alerts.empty()) line["alerts"] = alerts;
    last_ = line;
    if (report_) {
        Json record = line;
        record["type"] = "event";
        report_->Add(record);
        const auto* f = std::get_if<FileEventView>(&event);
        if (f != nullptr && f->operation == FileOpCloseModified && verdict == VerdictBackup) {
            AskedCopy copy;
            copy.seq = total_;
            copy.original = line["path"].get<std::string>();
            std::error_code ec;
            if (auto local = LocalPath(copy.original)) {
                const auto size = std::filesystem::file_size(*local, ec);
                if (!ec) copy.originalBytes = size;
            }
            asked_.push_back(copy);
        }
    }
    std::string text;
    if (options_.json) {
        text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    } else {
        const uint32_t pid = EventProcessOf(event);
        std::string what = line.value("path", std::string());
        if (line.contains("destinationPath")) what += " -> " + line["destinationPath"].get<std::string>();
        std::string by;
        if (auto* r = std::get_if<RegistryEventView>(&event)) {
            if (!r->name.empty()) what += " : " + r->name.Utf8();
            if (!r->data.empty()) what += " (" + std::to_string(r->data.bytes.size()) + " bytes)";
        }
        if (auto* p = std::get_if<ProcessEventView>(&event)) {
            if (!p->commandLine.empty()) what += " [" + p->commandLine.Utf8() + "]";
            by = "pid " + std::to_string(pid) + ", parent " + std::to_string(p->parentProcessId);
        } else {
            const std::string image = line.value("processImage", std::string());
            by = (image.empty() ? std::string() : std::string(FinalComponent(image)) + " ") + "pid " + std::to_string(pid);
        }
        text = ClockTime(received) + "  " + Pad(ClassName(EventClassOf(event)), 9) + Pad(EventOperationName(event), 20) +
               " " + what + "  by " + by + "  => " + VerdictName(verdict) +
               (rule >= 0 ? " (rule " + std::to_string(rule + 1) + ")" : " (default)");
        if (options_.hex) text += "\n    bytes " + Hex(message.bytes);
    }
    if (auto* p = std::get_if<ProcessEventView>(&event); p != nullptr && !p->isCreate) images_.erase(p->processId);
    return text;
}

void Recorder::LocateCopies() {
    std::vector<std::string> claimed = folderBefore_;
    const auto local = LocalPath(backupFolder_);
    for (const AskedCopy& asked : asked_) {
        const std::string name(FinalComponent(asked.original));
        Json backup, backupBytes;
        for (int n = 0; n <= 20 && local && backup.is_null(); ++n) {
            const std::string candidate = n == 0 ? name : name + "_" + std::to_string(n);
            if (std::find(claimed.begin(), claimed.end(), Upper(candidate)) != claimed.end()) continue;
            const auto leaf = LocalPath(candidate);
            std::error_code ec;
            if (!leaf || !std::filesystem::is_regular_file(*local / *leaf, ec)) continue;
            backup = backupFolder_ + "\\" + candidate;
            const auto size = std::filesystem::file_size(*local / *leaf, ec);
            if (!ec) backupBytes = size;
            claimed.push_back(Upper(candidate));
        }
        // The client sees no bytes of the close: whether the copy is exact stays unknown.
        report_->Add({{"type", "backup"}, {"seq", asked.seq}, {"original", asked.original}, {"folder", backupFolder_},
                      {"backup", backup}, {"originalBytes", asked.originalBytes}, {"backupBytes", backupBytes},
                      {"exact", nullptr}});
    }
    asked_.clear();
}

std::string Recorder::Summary(const std::string& ending) {
    if (report_) {
        LocateCopies();
        report_->Add({{"type", "summary"}, {"ending", ending}});
    }
    if (options_.json) {
        Json counts = Json::array();
        for (const auto& [key, verdicts] : rows_) {
            for (const auto& [verdict, n] : verdicts) {
                counts.push_back({{"class", key.first}, {"operation", key.second}, {"verdict", verdict}, {"events", n}});
            }
        }
        Json summary = {{"events", total_}, {"ending", ending}, {"counts", counts}};
        return Json{{"summary", summary}}.dump();
    }
    std::string text = "summary: " + std::to_string(total_) + " events; " + ending;
    for (const auto& [key, verdicts] : rows_) {
        for (const auto& [verdict, n] : verdicts) {
            char row[160];
            std::snprintf(row, sizeof(row), "\n  %-9s %-22s %-7s %d", key.first.c_str(), key.second.c_str(), verdict.c_str(), n);
            text += row;
        }
    }
    return text;
}

bool Recorder::WriteReport(const std::string& path, std::string* error) {
    if (!report_) {
        *error = "no report was gathered";
        return false;
    }
    return report_->WriteFile(path, error);
}

}  // namespace vetrona::client
