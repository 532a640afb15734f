// The simulated file system's names: UTF-16 and host names, volume-relative
// paths resolved against the host folder (case-insensitive lookup), NT and
// user paths resolved through the object namespace.
#include "sim/fs/local.h"

#include "sim/ob/ob.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace sim::fs {

namespace {

bool IsSeparator(char16_t c) { return c == u'\\'; }

}  // namespace

std::vector<std::u16string> SplitPath(std::u16string_view path) {
    std::vector<std::u16string> parts;
    std::u16string current;
    for (char16_t c : path) {
        if (IsSeparator(c)) {
            if (!current.empty()) {
                parts.push_back(current);
                current.clear();
            }
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) {
        parts.push_back(current);
    }
    return parts;
}

std::u16string JoinPath(const std::vector<std::u16string>& parts, size_t count) {
    if (count == 0) {
        return u"\\";
    }
    std::u16string path;
    for (size_t i = 0; i < count; ++i) {
        path += u'\\';
        path += parts[i];
    }
    return path;
}

namespace {

// NTFS refuses these in a component. A stream (after a ':') is split off the
// final component before it comes here; any other ':' is refused.
NTSTATUS ValidateComponent(std::u16string_view name) {
    if (name.empty() || name == u"." || name == u"..") {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (name.size() > 255) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    for (char16_t c : name) {
        if (c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' || c == u'>' || c == u'?' ||
            c == u'|') {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

std::string HostPathOf(const Volume* volume, std::u16string_view relative) {
    std::string host = volume->hostRoot;
    for (const auto& part : SplitPath(relative)) {
        host += '/';
        host += ToHost(part);
    }
    return host;
}

namespace {

// Finds `name` in the host directory: the exact spelling first, else the one
// entry that matches case-insensitively (Windows names ignore case).
bool FindEntry(const std::string& hostDir, std::u16string_view name, std::u16string* onDisk) {
    std::string exact = hostDir + "/" + ToHost(name);
    struct stat st;
    if (::lstat(exact.c_str(), &st) == 0) {
        *onDisk = std::u16string(name);
        return true;
    }
    DIR* dir = ::opendir(hostDir.c_str());
    if (dir == nullptr) {
        return false;
    }
    std::vector<std::u16string> matches;
    while (dirent* entry = ::readdir(dir)) {
        std::u16string candidate = FromHost(entry->d_name);
        if (candidate != u"." && candidate != u".." && sim::ob::NamesEqual(candidate, name)) {
            matches.push_back(candidate);
        }
    }
    ::closedir(dir);
    if (matches.empty()) {
        return false;
    }
    std::sort(matches.begin(), matches.end());
    *onDisk = matches.front();
    return true;
}

}  // namespace

NTSTATUS ResolveOnDisk(const Volume* volume, std::u16string_view path, Resolved* out) {
    auto parts = SplitPath(path);
    *out = Resolved{};
    if (parts.empty()) {
        out->isRoot = true;
        out->exists = true;
        return STATUS_SUCCESS;
    }
    NTSTATUS split = SplitStream(parts.back(), &parts.back(), &out->stream);
    if (!NT_SUCCESS(split)) {
        return split;
    }
    for (const auto& part : parts) {
        NTSTATUS status = ValidateComponent(part);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    std::string hostDir = volume->hostRoot;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        std::u16string found;
        if (!FindEntry(hostDir, parts[i], &found)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        hostDir += "/" + ToHost(found);
        struct stat st;
        if (::stat(hostDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        out->onDisk.push_back(found);
    }
    std::u16string found;
    if (FindEntry(hostDir, parts.back(), &found)) {
        out->finalOnDisk = found;
        out->exists = true;
    } else {
        out->finalOnDisk = parts.back();
    }
    struct stat st;
    std::u16string streamOnDisk;
    if (!out->stream.empty() && out->exists && ::stat((hostDir + "/" + ToHost(found)).c_str(), &st) == 0 &&
        FindStream(volume, static_cast<uint64_t>(st.st_ino), out->stream, &streamOnDisk)) {
        out->stream = streamOnDisk;
        out->streamExists = true;
    }
    return STATUS_SUCCESS;
}

std::u16string FullPath(const Resolved& resolved) {
    if (resolved.isRoot) {
        return u"\\";
    }
    auto parts = resolved.onDisk;
    parts.push_back(resolved.finalOnDisk);
    return JoinPath(parts, parts.size());
}

std::u16string FullName(const Resolved& resolved) { return FullPath(resolved) + resolved.stream; }

bool DirectoryIsEmpty(const std::string& hostDir) {
    DIR* dir = ::opendir(hostDir.c_str());
    if (dir == nullptr) {
        return true;
    }
    bool empty = true;
    while (dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

bool HasPrefixPath(std::u16string_view path, std::u16string_view dir) {
    if (dir == u"\\") {
        return path != u"\\";
    }
    return path.size() > dir.size() && sim::ob::NamesEqual(path.substr(0, dir.size()), dir) && path[dir.size()] == u'\\';
}

std::u16string SpelledPath(std::u16string_view path) { return JoinPath(SplitPath(path), SplitPath(path).size()); }

std::string ToHost(std::u16string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string FromHost(std::string_view s) {
    std::u16string out;
    for (size_t i = 0; i < s.size();) {
        auto b = static_cast<uint8_t>(s[i]);
        uint32_t c;
        size_t n;
        if (b < 0x80) {
            c = b, n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F, n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F, n = 3;
        } else {
            c = b & 0x07, n = 4;
        }
        for (size_t k = 1; k < n && i + k < s.size(); ++k) {
            c = (c << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
        }
        i += n;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

Volume* VolumeOfDeviceLocked(const DEVICE_OBJECT* device) {
    for (auto& v : gVolumes) {
        if (&v->device == device) {
            return v.get();
        }
    }
    return nullptr;
}

NTSTATUS ResolveNtPathLocked(std::u16string_view ntPath, Volume** volume, std::u16string* rest) {
    *volume = nullptr;
    rest->clear();
    sim::ob::LookupResult result;
    NTSTATUS status = sim::ob::ParseName(ntPath, &result);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (result.type != sim::ob::ObjectType::Device) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    Volume* found = VolumeOfDeviceLocked(static_cast<const DEVICE_OBJECT*>(result.body));
    if (found == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *volume = found;
    *rest = result.remainder;
    return STATUS_SUCCESS;
}

NTSTATUS CreatePathOfLocked(const FileObjectBody* body, std::u16string* path) {
    const FILE_OBJECT* related = body->fo.RelatedFileObject;
    std::u16string name(body->fo.FileName.Buffer == nullptr ? u"" : std::u16string_view(body->fo.FileName.Buffer,
                                                                                          body->fo.FileName.Length / 2));
    if (related == nullptr) {
        if (name.empty() || name[0] != u'\\') {
            return name.empty() ? STATUS_SUCCESS : STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        *path = name;
        return STATUS_SUCCESS;
    }
    auto it = gFileObjects.find(related);
    if (it == gFileObjects.end() || !it->second->opened || related->FsContext == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const Fcb* fcb = FcbOf(related);
    if (!name.empty() && name[0] == u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    if (!fcb->directory && !name.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *path = fcb->path == u"\\" ? u"\\" + name : fcb->path + (name.empty() ? u"" : u"\\" + name);
    return STATUS_SUCCESS;
}

bool CurrentPath(const FILE_OBJECT* fileObject, std::u16string* path) {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = gFileObjects.find(fileObject);
    if (it == gFileObjects.end() || !it->second->opened || it->second->volumeOpen || fileObject->FsContext == nullptr) {
        return false;
    }
    *path = NameOf(FcbOf(fileObject));
    return true;
}

// Looks at the host folder only: no table, so no lock.
NTSTATUS NormalizePath(Volume* volume, std::u16string_view path, std::u16string* normalized, bool* exists) {
    Resolved resolved;
    NTSTATUS status = ResolveOnDisk(volume, path, &resolved);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *normalized = FullName(resolved);
    *exists = resolved.exists && (resolved.stream.empty() || resolved.streamExists);
    return STATUS_SUCCESS;
}

NTSTATUS CreatePathOf(const FileObjectBody* body, std::u16string* path) {
    std::lock_guard<std::mutex> guard(gLock);
    return CreatePathOfLocked(body, path);
}

NTSTATUS ResolveNtPath(std::u16string_view ntPath, Volume** volume, std::u16string* rest) {
    std::lock_guard<std::mutex> guard(gLock);
    return ResolveNtPathLocked(ntPath, volume, rest);
}

NTSTATUS ResolveUserPath(std::u16string_view path, Volume** volume, std::u16string* rest, bool* volumeOpen) {
    *volumeOpen = false;
    std::u16string p(path);
    for (auto& c : p) {
        if (c == u'/') {
            c = u'\\';
        }
    }
    std::u16string nt;
    if (p.rfind(u"\\\\.\\", 0) == 0) {
        nt = u"\\??\\" + p.substr(4);
        *volumeOpen = p.size() == 6 && p[5] == u':';
    } else if (p.rfind(u"\\\\?\\", 0) == 0) {
        nt = u"\\??\\" + p.substr(4);
    } else if (p.size() >= 2 && p[1] == u':') {
        if (p.size() == 2 || p[2] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;  // drive-relative paths need a current directory
        }
        nt = u"\\??\\" + p;
    } else if (!p.empty() && p[0] == u'\\') {
        nt = p;
    } else {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    // The native name is a counted string of at most 32,767 characters: a
    // longer path is refused here, before any file system or filter sees it.
    if (nt.size() > kMaxNameCharacters) {
        return STATUS_NAME_TOO_LONG;
    }
    NTSTATUS status = ResolveNtPath(nt, volume, rest);
    if (NT_SUCCESS(status) && *volumeOpen && !rest->empty()) {
        *volumeOpen = false;
    }
    if (NT_SUCCESS(status) && !*volumeOpen && rest->empty()) {
        *rest = u"\\";
    }
    return status;
}

}  // namespace sim::fs
