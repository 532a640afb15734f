// The machine a scenario runs on as a security engineer expects to find it:
// users with profiles and hives, registry names as programs write them
// (HKCU, HKLM...), and the folders every Windows machine has.
#include "tools/scenario.h"

#include "client/lib/policy.h"
#include "sim/ps/ps.h"
#include "sim/se/security.h"
#include "tools/text.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace vsim {

namespace {

namespace fs = std::filesystem;

struct Root {
    const char* alias;
    const char* kernel;  // null: the current user's hive
};

const Root kRoots[] = {
    {"HKLM\\", "\\REGISTRY\\MACHINE\\"},  {"HKEY_LOCAL_MACHINE\\", "\\REGISTRY\\MACHINE\\"},
    {"HKU\\", "\\REGISTRY\\USER\\"},      {"HKEY_USERS\\", "\\REGISTRY\\USER\\"},
    {"HKCU\\", nullptr},                  {"HKEY_CURRENT_USER\\", nullptr},
    {"\\REGISTRY\\", "\\REGISTRY\\"},
};

bool StartsWithFolded(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && Upper(text.substr(0, prefix.size())) == Upper(prefix);
}

// The folders of one user's profile, relative to the system drive's root.
void ProfileFolders(const std::string& name, std::vector<std::string>* out) {
    const std::string home = "Users\\" + name;
    for (const char* sub : {"Desktop", "Documents", "Downloads", "Pictures", "Music", "Videos", "AppData\\Local\\Temp",
                            "AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
                            "AppData\\Roaming\\Microsoft\\Templates", "AppData\\Roaming\\Microsoft\\Word\\STARTUP"}) {
        out->push_back(home + "\\" + sub);
    }
}

// Whether `folder` (relative, upper case, no trailing backslash) is `path`
// or one of its parents.
bool IsFolderOf(const std::string& folder, const std::string& path) {
    const std::string upper = Upper(path);
    return upper == folder || (upper.size() > folder.size() && upper.compare(0, folder.size(), folder) == 0 &&
                               upper[folder.size()] == '\\');
}

// A workload step that makes the folder.
bool MadeByStep(const std::vector<StepSpec>& steps, const std::string& folder) {
    for (const StepSpec& step : steps) {
        for (const auto& thread : step.threads) {
            if (MadeByStep(thread, folder)) return true;
        }
        auto options = step.lists.find("options");
        auto path = step.args.find("path");
        if ((step.kind == "create" || step.kind == "open") && path != step.args.end() && options != step.lists.end() &&
            std::find(options->second.begin(), options->second.end(), "directory") != options->second.end() &&
            Upper(path->second) == Upper(folder)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string GeneratedUserSid(size_t index) {
    const std::string interactive = sim::kInteractiveUserSid;
    return interactive.substr(0, interactive.rfind('-') + 1) + std::to_string(1001 + index);
}

const char* SystemUserSid() { return sim::kSystemUserSid; }

bool ValidSid(const std::string& text) { return sim::security::IsSidText(text); }

std::string DescribeWarning(const Scenario& s, const ScenarioWarning& w) {
    std::string out = s.file;
    if (w.line > 0) out += ":" + std::to_string(w.line);
    out += ": ";
    if (!w.field.empty()) out += w.field + ": ";
    return out + "warning: " + w.message;
}

bool IsCurrentUserKey(const std::string& key, std::string* rest) {
    for (const char* alias : {"HKCU\\", "HKEY_CURRENT_USER\\"}) {
        if (StartsWithFolded(key, alias)) {
            if (rest != nullptr) *rest = key.substr(std::strlen(alias) - 1);
            return true;
        }
    }
    return false;
}

std::string KernelKeyPath(const std::string& key, const std::string& userSid, std::string* problem) {
    problem->clear();
    for (const Root& root : kRoots) {
        if (!StartsWithFolded(key, root.alias)) continue;
        const std::string rest = key.substr(std::strlen(root.alias));
        if (root.kernel == nullptr) return "\\REGISTRY\\USER\\" + userSid + (rest.empty() ? "" : "\\" + rest);
        return root.kernel + rest;
    }
    if (StartsWithFolded(key, "HKCR\\") || StartsWithFolded(key, "HKEY_CLASSES_ROOT\\")) {
        *problem = "HKEY_CLASSES_ROOT is a merged view: a program's change lands in the user's or the machine's classes "
                   "depending on what exists; name the one meant (HKCU\\Software\\Classes\\... or "
                   "HKLM\\SOFTWARE\\Classes\\...)";
    } else {
        *problem = "a key starts with HKLM\\, HKCU\\, HKU\\ (or their long names) or \\REGISTRY\\";
    }
    return {};
}

std::vector<std::string> MachineFolders(const Scenario& s) {
    std::vector<std::string> out = {
        "Windows\\System32\\Tasks",   "Windows\\System32\\drivers\\etc", "Windows\\System32\\winevt\\Logs",
        "Windows\\SysWOW64",          "Windows\\Tasks",                  "Windows\\Temp",
        "Windows\\web\\wallpaper\\Windows",
        "ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp",
        "Program Files",              "Program Files (x86)",             "Users\\Public\\Documents",
        "Users\\Public\\Downloads",   "inetpub\\wwwroot",
    };
    for (const UserSpec& u : s.users) ProfileFolders(u.name, &out);
    return out;
}

bool FolderOnMachine(const Scenario& s, const std::string& folder) {
    if (folder.size() < 3 || folder[1] != ':') return false;
    const char drive = static_cast<char>(std::toupper(static_cast<unsigned char>(folder[0])));
    std::string rel = Upper(folder.substr(3));
    while (!rel.empty() && rel.back() == '\\') rel.pop_back();
    for (const VolumeSpec& v : s.volumes) {
        if (v.drive != drive) continue;
        if (rel.empty()) return true;
        if (!v.hostFolder.empty()) {
            // A mounted host folder: look, matching each name without regard to case.
            fs::path current = v.hostFolder;
            std::error_code ec;
            size_t start = 0;
            const std::string written = folder.substr(3);
            while (start < written.size()) {
                size_t end = written.find('\\', start);
                if (end == std::string::npos) end = written.size();
                const std::string part = Upper(written.substr(start, end - start));
                bool found = false;
                if (!part.empty()) {
                    for (const auto& entry : fs::directory_iterator(current, ec)) {
                        if (entry.is_directory(ec) && Upper(entry.path().filename().string()) == part) {
                            current = entry.path();
                            found = true;
                            break;
                        }
                    }
                    if (!found) return false;
                }
                start = end + 1;
            }
            return true;
        }
        for (const std::string& f : v.folders) {
            if (IsFolderOf(rel, f)) return true;
        }
        for (const FileSeed& f : v.files) {
            const size_t cut = f.path.rfind('\\');
            if (cut != std::string::npos && IsFolderOf(rel, f.path.substr(0, cut))) return true;
        }
        if (drive == 'C') {
            for (const std::string& f : MachineFolders(s)) {
                if (IsFolderOf(rel, f)) return true;
            }
        }
    }
    return MadeByStep(s.workload, folder);
}

}  // namespace vsim
