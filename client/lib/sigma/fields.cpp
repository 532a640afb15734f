// Vetrona's events as the rules' fields.
#include "client/lib/sigma/fields.h"

#include "client/lib/sigma/image_facts.h"
#include "client/lib/sigma/match.h"

#include <cstdio>
#include <cstring>

namespace vetrona::client::sigma {

namespace {

constexpr uint32_t kRegNone = 0, kRegSz = 1, kRegExpandSz = 2, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7,
                   kRegQword = 11;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

std::string Utf16Text(std::string_view bytes) {
    TextView view;
    view.bytes = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
    return view.Utf8();
}

void Put(Event* event, const char* name, const std::string& value) {
    if (!value.empty()) event->Set(name, value);
}

}  // namespace

bool FieldKnown(std::string_view category, std::string_view field) {
    static const std::vector<std::string> process = {
        "image",       "commandline", "parentimage", "parentcommandline", "processid", "parentprocessid",
        "user",        "parentuser",  "integritylevel", "currentdirectory", "originalfilename", "description",
        "product",     "company",     "fileversion", "hashes"};
    static const std::vector<std::string> file = {"targetfilename", "image", "user", "processid"};
    static const std::vector<std::string> rename = {"sourcefilename", "targetfilename", "image", "user", "processid"};
    static const std::vector<std::string> registry = {"eventtype", "targetobject", "details", "newname",
                                                      "image",     "user",         "processid", "eventid"};
    const std::string name = Lower(field);
    const std::vector<std::string>* known = nullptr;
    if (category == "process_creation") known = &process;
    else if (category == "file_event" || category == "file_delete") known = &file;
    else if (category == "file_rename") known = &rename;
    else if (category.substr(0, 9) == "registry_") known = &registry;
    if (known == nullptr) return false;
    for (const auto& k : *known) {
        if (k == name) return true;
    }
    return false;
}

Event FromProcess(const ProcessStart& start) {
    Event e;
    e.categories = {"process_creation"};
    Put(&e, "Image", start.image);
    Put(&e, "CommandLine", start.commandLine);
    e.Set("ProcessId", std::to_string(start.processId));
    e.Set("ParentProcessId", std::to_string(start.parentProcessId));
    if (start.parentSeen) {
        Put(&e, "ParentImage", start.parentImage);
        Put(&e, "ParentCommandLine", start.parentCommandLine);
    }
    Put(&e, "User", start.user);
    Put(&e, "IntegrityLevel", start.integrityLevel);
    Put(&e, "CurrentDirectory", start.currentDirectory);
    if (start.facts) {
        for (const auto& [field, value] : start.facts->version) Put(&e, field.c_str(), value);
        Put(&e, "Hashes", start.facts->hashes);
    }
    return e;
}

Event FromFile(const FileActivity& activity) {
    Event e;
    switch (activity.kind) {
    case FileActivity::Created: e.categories = {"file_event"}; break;
    case FileActivity::Delete: e.categories = {"file_delete"}; break;
    case FileActivity::Rename: e.categories = {"file_rename"}; break;
    }
    if (activity.kind == FileActivity::Rename) {
        Put(&e, "SourceFilename", activity.path);
        Put(&e, "TargetFilename", activity.destination);
    } else {
        Put(&e, "TargetFilename", activity.path);
    }
    Put(&e, "Image", activity.image);
    Put(&e, "User", activity.user);
    if (activity.processId != 0) e.Set("ProcessId", std::to_string(activity.processId));
    return e;
}

std::string TargetObject(std::string_view nativeKey, const std::optional<std::string>& valueName) {
    std::string key = UserRegistryPath(nativeKey);
    // HKLM\SYSTEM\ControlSet00N is shown as the current control set.
    static const std::string_view system = "HKLM\\SYSTEM\\ControlSet";
    if (StartsWithNoCase(key, system) && key.size() >= system.size() + 3) {
        const std::string digits = key.substr(system.size(), 3);
        const bool numbered = digits.find_first_not_of("0123456789") == std::string::npos;
        const size_t end = system.size() + 3;
        if (numbered && (key.size() == end || key[end] == '\\')) {
            key = key.substr(0, system.size() - std::strlen("ControlSet")) + "CurrentControlSet" + key.substr(end);
        }
    }
    if (valueName) key += "\\" + (valueName->empty() ? std::string("(Default)") : *valueName);
    return key;
}

std::string Details(uint32_t dataType, std::string_view data, bool truncated) {
    char text[64];
    switch (dataType) {
    case kRegDword:
        if (data.size() < 4) return "Binary Data";
        {
            uint32_t v;
            std::memcpy(&v, data.data(), 4);
            std::snprintf(text, sizeof(text), "DWORD (0x%08x)", v);
        }
        return text;
    case kRegQword:
        if (data.size() < 8) return "Binary Data";
        {
            uint32_t lo, hi;
            std::memcpy(&lo, data.data(), 4);
            std::memcpy(&hi, data.data() + 4, 4);
            std::snprintf(text, sizeof(text), "QWORD (0x%08x-0x%08x)", hi, lo);
        }
        return text;
    case kRegSz:
    case kRegExpandSz:
    case kRegMultiSz: {
        std::string value = Utf16Text(data);
        // A multi-string's parts are shown one after another.
        for (size_t i = 0; i + 1 < value.size(); ++i) {
            if (value[i] == '\0' && value[i + 1] != '\0') value[i] = ' ';
        }
        while (!value.empty() && value.back() == '\0') value.pop_back();
        (void)truncated;
        return value.empty() ? "(Empty)" : value;
    }
    case kRegNone:
        if (data.empty()) return "(Empty)";
        return "Binary Data";
    default: return data.empty() ? "(Empty)" : "Binary Data";
    }
}

Event FromRegistry(const RegistryActivity& activity) {
    Event e;
    const bool value = activity.operation == RegOpValueCreated || activity.operation == RegOpValueModified ||
                       activity.operation == RegOpValueDeleted;
    switch (activity.operation) {
    case RegOpValueCreated:
    case RegOpValueModified:
        e.categories = {"registry_set", "registry_event"};
        e.Set("EventType", "SetValue");
        e.Set("EventID", "13");
        e.Set("Details", Details(activity.dataType, activity.data, activity.dataTruncated));
        break;
    case RegOpKeyCreated:
        e.categories = {"registry_add", "registry_event"};
        e.Set("EventType", "CreateKey");
        e.Set("EventID", "12");
        break;
    case RegOpKeyDeleted:
        e.categories = {"registry_delete", "registry_event"};
        e.Set("EventType", "DeleteKey");
        e.Set("EventID", "12");
        break;
    case RegOpValueDeleted:
        e.categories = {"registry_delete", "registry_event"};
        e.Set("EventType", "DeleteValue");
        e.Set("EventID", "12");
        break;
    case RegOpKeyRenamed:
        e.categories = {"registry_event"};
        e.Set("EventType", "RenameKey");
        e.Set("EventID", "14");
        Put(&e, "NewName", activity.newName);
        break;
    default: break;
    }
    e.Set("TargetObject", TargetObject(activity.key, value ? std::optional<std::string>(activity.valueName) : std::nullopt));
    Put(&e, "Image", activity.image);
    Put(&e, "User", activity.user);
    if (activity.processId != 0) e.Set("ProcessId", std::to_string(activity.processId));
    return e;
}

std::string NativeKey(std::string_view targetKey) {
    std::string key(targetKey);
    auto replacePrefix = [&](std::string_view from, std::string_view to) {
        if (StartsWithNoCase(key, from) && (key.size() == from.size() || key[from.size()] == '\\')) {
            key = std::string(to) + key.substr(from.size());
            return true;
        }
        return false;
    };
    replacePrefix("HKEY_LOCAL_MACHINE", "HKLM") || replacePrefix("HKEY_USERS", "HKU");
    if (StartsWithNoCase(key, "HKLM\\SYSTEM\\CurrentControlSet")) {
        key = key.substr(0, std::strlen("HKLM\\SYSTEM\\")) + "ControlSet001" +
              key.substr(std::strlen("HKLM\\SYSTEM\\CurrentControlSet"));
    }
    replacePrefix("HKLM", "\\REGISTRY\\MACHINE") || replacePrefix("HKU", "\\REGISTRY\\USER");
    return key;
}

void DetailsToData(std::string_view details, uint32_t* dataType, std::string* data) {
    data->clear();
    unsigned long long hi = 0, lo = 0;
    unsigned long long v = 0;
    const std::string text(details);
    if (std::sscanf(text.c_str(), "DWORD (0x%llx)", &v) == 1) {
        *dataType = kRegDword;
        const uint32_t d = static_cast<uint32_t>(v);
        data->assign(reinterpret_cast<const char*>(&d), 4);
    } else if (std::sscanf(text.c_str(), "QWORD (0x%llx-0x%llx)", &hi, &lo) == 2) {
        *dataType = kRegQword;
        const uint32_t parts[2] = {static_cast<uint32_t>(lo), static_cast<uint32_t>(hi)};
        data->assign(reinterpret_cast<const char*>(parts), 8);
    } else if (text == "Binary Data") {
        *dataType = kRegBinary;
        data->assign("\x01", 1);
    } else if (text == "(Empty)") {
        *dataType = kRegSz;
    } else {
        *dataType = kRegSz;
        std::u16string wide;
        for (size_t i = 0; i < text.size();) {
            // UTF-8 to UTF-16 (invalid bytes pass as themselves).
            const uint8_t c = text[i];
            uint32_t cp = c;
            size_t n = 1;
            if (c >= 0xF0 && i + 3 < text.size()) {
                cp = ((c & 7u) << 18) | ((text[i + 1] & 63u) << 12) | ((text[i + 2] & 63u) << 6) | (text[i + 3] & 63u);
                n = 4;
            } else if (c >= 0xE0 && i + 2 < text.size()) {
                cp = ((c & 15u) << 12) | ((text[i + 1] & 63u) << 6) | (text[i + 2] & 63u);
                n = 3;
            } else if (c >= 0xC0 && i + 1 < text.size()) {
                cp = ((c & 31u) << 6) | (text[i + 1] & 63u);
                n = 2;
            }
            i += n;
            if (cp >= 0x10000) {
                cp -= 0x10000;
                wide.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
                wide.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
            } else {
                wide.push_back(static_cast<char16_t>(cp));
            }
        }
        wide.push_back(u'\0');
        data->assign(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
    }
}

namespace {

std::string UserPath(std::string text, const VolumeNames& volumes) {
    if (text.rfind("\\??\\", 0) == 0) text = text.substr(4);
    return UserFilePath(text, volumes);
}

}  // namespace

std::optional<Event> EventMapper::Map(const EventView& view) {
    if (const auto* p = std::get_if<ProcessEventView>(&view)) {
        if (!p->isCreate) {
            starts_.erase(p->processId);
            return std::nullopt;
        }
        ProcessStart start;
        start.processId = p->processId;
        start.parentProcessId = p->parentProcessId;
        start.image = UserPath(p->imageName.Utf8(), volumes_);
        start.commandLine = p->commandLine.Utf8();
        auto parent = starts_.find(p->parentProcessId);
        if (parent != starts_.end()) {
            start.parentSeen = true;
            start.parentImage = parent->second.image;
            start.parentCommandLine = parent->second.commandLine;
        }
        if (readImage_) {
            auto known = factsByImage_.find(start.image);
            if (known == factsByImage_.end()) {
                std::string bytes;
                if (readImage_(start.image, &bytes)) known = factsByImage_.emplace(start.image, ReadImageFacts(bytes)).first;
            }
            if (known != factsByImage_.end()) start.facts = known->second;
        }
        starts_[start.processId] = start;
        return FromProcess(start);
    }
    auto imageOf = [&](uint32_t pid) {
        auto it = starts_.find(pid);
        return it == starts_.end() ? std::string() : it->second.image;
    };
    if (const auto* f = std::get_if<FileEventView>(&view)) {
        FileActivity a;
        switch (f->operation) {
        case FileOpCreated:
        case FileOpWriteAccess:
        case FileOpCloseModified: a.kind = FileActivity::Created; break;
        case FileOpDelete:
        case FileOpDeleteAccess: a.kind = FileActivity::Delete; break;
        case FileOpRename:
            a.kind = FileActivity::Rename;
            a.destination = UserPath(f->destName.Utf8(), volumes_);
            break;
        default: return std::nullopt;
        }
        a.path = UserPath(f->name.Utf8(), volumes_);
        a.processId = f->processId;
        a.image = imageOf(f->processId);
        return FromFile(a);
    }
    if (const auto* r = std::get_if<RegistryEventView>(&view)) {
        RegistryActivity a;
        a.operation = r->operation;
        a.key = r->keyPath.Utf8();
        a.processId = r->processId;
        a.image = imageOf(r->processId);
        if (r->operation == RegOpKeyRenamed) {
            a.newName = r->name.Utf8();
        } else {
            a.valueName = r->name.Utf8();
        }
        a.dataType = r->dataType;
        a.data.assign(reinterpret_cast<const char*>(r->data.bytes.data()), r->data.bytes.size());
        a.dataTruncated = r->data.truncated;
        if (a.operation < RegOpKeyCreated || a.operation > RegOpValueDeleted) return std::nullopt;
        return FromRegistry(a);
    }
    return std::nullopt;
}

}  // namespace vetrona::client::sigma
