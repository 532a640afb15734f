// User-facing names and times.
#include "client/lib/paths.h"

#include <cstdio>
#include <ctime>

namespace vetrona::client {

namespace {

char Fold(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool StartsFolded(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (Fold(text[i]) != Fold(prefix[i])) return false;
    }
    return true;
}

// `prefix` starts `text` and ends there or at a backslash.
bool PrefixAtBoundary(std::string_view text, std::string_view prefix) {
    return !prefix.empty() && StartsFolded(text, prefix) && (text.size() == prefix.size() || text[prefix.size()] == '\\');
}

bool IsDriveRoot(std::string_view path) {
    return path.size() == 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           path[1] == ':' && path[2] == '\\';
}

// The DOS path a volume is shown as: its first drive root, else its first
// mount folder; without the trailing backslash ("C:", "D:\Mounts\Data").
std::string ShownAs(const VolumeName& volume) {
    const std::string* chosen = nullptr;
    for (const std::string& path : volume.paths) {
        if (IsDriveRoot(path)) {
            chosen = &path;
            break;
        }
        if (chosen == nullptr && !path.empty()) chosen = &path;
    }
    if (chosen == nullptr) return {};
    std::string shown = *chosen;
    while (!shown.empty() && shown.back() == '\\') shown.pop_back();
    return shown;
}

}  // namespace

std::string UserFilePath(std::string_view devicePath, const VolumeNames& volumes) {
    const VolumeName* best = nullptr;
    for (const VolumeName& volume : volumes) {
        if (!PrefixAtBoundary(devicePath, volume.device)) continue;
        if (ShownAs(volume).empty()) continue;
        if (best == nullptr || volume.device.size() > best->device.size()) best = &volume;
    }
    if (best == nullptr) return std::string(devicePath);
    std::string rest(devicePath.substr(best->device.size()));
    return ShownAs(*best) + (rest.empty() ? "\\" : rest);
}

std::vector<std::pair<std::string, std::string>> DrivePrefixes(const VolumeNames& volumes) {
    std::vector<std::pair<std::string, std::string>> prefixes;
    for (const VolumeName& volume : volumes) {
        for (const std::string& path : volume.paths) {
            if (IsDriveRoot(path)) {
                prefixes.emplace_back(volume.device, path.substr(0, 2));
                break;
            }
        }
    }
    return prefixes;
}

std::string UserRegistryPath(std::string_view nativePath) {
    static const std::pair<std::string_view, std::string_view> roots[] = {{"\\REGISTRY\\MACHINE", "HKLM"},
                                                                          {"\\REGISTRY\\USER", "HKU"}};
    for (const auto& [root, shortName] : roots) {
        if (PrefixAtBoundary(nativePath, root)) return std::string(shortName) + std::string(nativePath.substr(root.size()));
    }
    return std::string(nativePath);
}

std::string IsoTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const auto ms = time_point_cast<milliseconds>(time);
    const auto day = floor<days>(ms);
    const year_month_day date{day};
    const hh_mm_ss<milliseconds> clock{ms - day};
    char text[40];
    std::snprintf(text, sizeof(text), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), static_cast<int>(clock.hours().count()),
                  static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()),
                  static_cast<int>(clock.subseconds().count()));
    return text;
}

std::string ClockTime(std::chrono::system_clock::time_point time) {
    using namespace std::chrono;
    const std::time_t seconds = system_clock::to_time_t(time);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count() % 1000;
    char text[24];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(ms < 0 ? ms + 1000 : ms));
    return text;
}

std::string_view FinalComponent(std::string_view path) {
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace vetrona::client
