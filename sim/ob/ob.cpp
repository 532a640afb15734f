// Object manager: the namespace, handle tables and object reference counts.
#include "sim/ob/ob.h"

#include "sim/ps/ps.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

struct _OBJECT_TYPE {
    sim::ob::ObjectType type;
};

namespace {
_OBJECT_TYPE gProcessObjectType{sim::ob::ObjectType::Process};
_OBJECT_TYPE gThreadObjectType{sim::ob::ObjectType::Thread};
POBJECT_TYPE gProcessObjectTypePointer = &gProcessObjectType;
POBJECT_TYPE gThreadObjectTypePointer = &gThreadObjectType;
}  // namespace

POBJECT_TYPE* PsProcessType = &gProcessObjectTypePointer;
POBJECT_TYPE* PsThreadType = &gThreadObjectTypePointer;

namespace sim::ob {
namespace {

constexpr int kMaxLinksPerParse = 32;

struct Directory;

struct Link {
    std::u16string target;
};

struct Entry {
    std::u16string name;  // as inserted
    ObjectType type = ObjectType::Other;
    void* body = nullptr;  // Directory* / Link* for those types
};

struct Directory {
    std::map<std::u16string, Entry> entries;  // key: upcased name
};

struct ObjectRecord {
    ObjectType type = ObjectType::Other;
    LONG_PTR references = 0;
    DeleteProcedure deleteProcedure = nullptr;
};

struct HandleTable {
    std::map<ULONG_PTR, HandleEntry> entries;
    ULONG_PTR next = 4;
};

constexpr ULONG_PTR kKernelHandleBase = 0xFFFFFFFF80000000ull;

struct ObState {
    std::mutex lock;
    std::vector<std::unique_ptr<Directory>> directories;
    std::vector<std::unique_ptr<Link>> links;
    Directory* root = nullptr;

    std::unordered_map<const _EPROCESS*, HandleTable> tables;
    HandleTable kernelTable;

    std::mutex objectLock;
    std::unordered_map<const void*, ObjectRecord> objects;
};

ObState& S() {
    static ObState* state = new ObState;
    return *state;
}

std::vector<std::u16string> Splitp(std::u16string_view path) {
    std::vector<std::u16string> parts;
    size_t start = 1;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos) {
            end = path.size();
        }
        parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

Directory* NewDirectoryp() {
    S().directories.push_back(std::make_unique<Directory>());
    return S().directories.back().get();
}

void AddEntryp(Directory* dir, std::u16string_view name, ObjectType type, void* body) {
    Entry entry;
    entry.name = name;
    entry.type = type;
    entry.body = body;
    dir->entries[Upcase(name)] = entry;
}

void BootNamespacep() {
    S().directories.clear();
    S().links.clear();
    S().root = NewDirectoryp();
    for (const char16_t* name : {u"Device", u"Driver", u"FileSystem", u"KernelObjects", u"BaseNamedObjects"}) {
        AddEntryp(S().root, name, ObjectType::Directory, NewDirectoryp());
    }
    Directory* global = NewDirectoryp();
    AddEntryp(S().root, u"GLOBAL??", ObjectType::Directory, global);
    // Every caller's DOS-devices directory is the global one (no logon sessions).
    AddEntryp(S().root, u"??", ObjectType::Directory, global);
    S().links.push_back(std::make_unique<Link>(Link{u"\\??"}));
    AddEntryp(S().root, u"DosDevices", ObjectType::SymbolicLink, S().links.back().get());
}

void EnsureBootedp() {
    if (S().root == nullptr) {
        BootNamespacep();
    }
}

std::u16string Joinp(const std::vector<std::u16string>& parts, size_t from) {
    std::u16string out;
    for (size_t i = from; i < parts.size(); ++i) {
        out += u'\\';
        out += parts[i];
    }
    return out;
}

// Walks `path` under the lock. `followFinalLink` false stops at a final link.
NTSTATUS ParseLockedp(std::u16string_view path, bool followFinalLink, LookupResult* result) {
    EnsureBootedp();
    std::u16string current(path);
    for (int links = 0;; ++links) {
        if (links > kMaxLinksPerParse) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (current.empty() || current[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        if (current == u"\\") {
            *result = LookupResult{ObjectType::Directory, S().root, u"", u"\\"};
            return STATUS_SUCCESS;
        }
        std::vector<std::u16string> parts = Splitp(current);
        Directory* dir = S().root;
        std::u16string objectPath;
        bool restarted = false;
        for (size_t i = 0; i < parts.size(); ++i) {
            bool last = i + 1 == parts.size();
            if (parts[i].empty()) {
                return STATUS_OBJECT_NAME_INVALID;
            }
            auto it = dir->entries.find(Upcase(parts[i]));
            if (it == dir->entries.end()) {
                return last ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            }
            const Entry& entry = it->second;
            objectPath += u'\\';
            objectPath += entry.name;
            if (entry.type == ObjectType::SymbolicLink && (!last || followFinalLink)) {
                current = static_cast<Link*>(entry.body)->target + Joinp(parts, i + 1);
                restarted = true;
                break;
            }
            if (entry.type == ObjectType::Directory) {
                dir = static_cast<Directory*>(entry.body);
                if (last) {
                    *result = LookupResult{ObjectType::Directory, dir, u"", objectPath};
                    return STATUS_SUCCESS;
                }
                continue;
            }
            *result = LookupResult{entry.type, entry.body, Joinp(parts, i + 1), objectPath};
            return STATUS_SUCCESS;
        }
        if (!restarted) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
}

// Splits "\a\b\c" into the parent directory (parsed, links followed) and "c".
NTSTATUS ParentLockedp(std::u16string_view path, Directory** parent, std::u16string* name) {
    if (path.empty() || path[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    size_t slash = path.rfind(u'\\');
    std::u16string_view parentPath = slash == 0 ? std::u16string_view(u"\\") : path.substr(0, slash);
    *name = std::u16string(path.substr(slash + 1));
    if (name->empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    LookupResult parentResult;
    NTSTATUS status = ParseLockedp(parentPath, true, &parentResult);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (parentResult.type != ObjectType::Directory || !parentResult.remainder.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    *parent = static_cast<Directory*>(parentResult.body);
    return STATUS_SUCCESS;
}

// The directory and name for a new entry at `path`: fails when the parent is
// missing or the name is taken.
NTSTATUS FreeSlotLockedp(std::u16string_view path, Directory** parent, std::u16string* name) {
    NTSTATUS status = ParentLockedp(path, parent, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((*parent)->entries.count(Upcase(*name)) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    return STATUS_SUCCESS;
}

HandleTable& TableLockedp(_EPROCESS* process, bool kernelHandle) {
    if (kernelHandle || process == nullptr || process->isSystem) {
        return S().kernelTable;
    }
    return S().tables[process];
}

}  // namespace

const char* TypeName(ObjectType type) {
    switch (type) {
        case ObjectType::Directory: return "Directory";
        case ObjectType::SymbolicLink: return "SymbolicLink";
        case ObjectType::Device: return "Device";
        case ObjectType::Driver: return "Driver";
        case ObjectType::File: return "File";
        case ObjectType::Port: return "FilterConnectionPort";
        case ObjectType::ClientPort: return "FilterCommunicationPort";
        case ObjectType::Process: return "Process";
        case ObjectType::Thread: return "Thread";
        case ObjectType::Key: return "Key";
        case ObjectType::Other: return "Other";
    }
    return "?";
}

std::u16string Upcase(std::u16string_view s) {
    std::u16string out(s);
    for (char16_t& c : out) {
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
            c = static_cast<char16_t>(c - 0x20);
        }
    }
    return out;
}

bool NamesEqual(std::u16string_view a, std::u16string_view b) { return Upcase(a) == Upcase(b); }

NTSTATUS InsertObject(std::u16string_view path, ObjectType type, void* body) {
    std::lock_guard<std::mutex> guard(S().lock);
    EnsureBootedp();
    Directory* parent = nullptr;
    std::u16string name;
    NTSTATUS status = FreeSlotLockedp(path, &parent, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    AddEntryp(parent, name, type, body);
    return STATUS_SUCCESS;
}

NTSTATUS RemoveObject(std::u16string_view path, const void* expectedBody) {
    std::lock_guard<std::mutex> guard(S().lock);
    EnsureBootedp();
    Directory* parent = nullptr;
    std::u16string name;
    NTSTATUS status = ParentLockedp(path, &parent, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto it = parent->entries.find(Upcase(name));
    if (it == parent->entries.end() || (expectedBody != nullptr && it->second.body != expectedBody)) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    parent->entries.erase(it);
    return STATUS_SUCCESS;
}

NTSTATUS ParseName(std::u16string_view path, LookupResult* result) {
    std::lock_guard<std::mutex> guard(S().lock);
    return ParseLockedp(path, true, result);
}

NTSTATUS LookupObject(std::u16string_view path, ObjectType expectedType, void** body) {
    *body = nullptr;
    LookupResult result;
    NTSTATUS status = ParseName(path, &result);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!result.remainder.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (expectedType != ObjectType::Other && result.type != expectedType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *body = result.body;
    return STATUS_SUCCESS;
}

NTSTATUS CreateDirectory(std::u16string_view path) {
    std::lock_guard<std::mutex> guard(S().lock);
    EnsureBootedp();
    Directory* parent = nullptr;
    std::u16string name;
    NTSTATUS status = FreeSlotLockedp(path, &parent, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    AddEntryp(parent, name, ObjectType::Directory, NewDirectoryp());
    return STATUS_SUCCESS;
}

NTSTATUS CreateSymbolicLink(std::u16string_view linkPath, std::u16string_view target) {
    if (target.empty() || target[0] != u'\\') {
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    EnsureBootedp();
    Directory* parent = nullptr;
    std::u16string name;
    NTSTATUS status = FreeSlotLockedp(linkPath, &parent, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    S().links.push_back(std::make_unique<Link>(Link{std::u16string(target)}));
    AddEntryp(parent, name, ObjectType::SymbolicLink, S().links.back().get());
    return STATUS_SUCCESS;
}

NTSTATUS DeleteSymbolicLink(std::u16string_view linkPath) {
    std::lock_guard<std::mutex> guard(S().lock);
    EnsureBootedp();
    Directory* parent = nullptr;
    std::u16string name;
    NTSTATUS status = ParentLockedp(linkPath, &parent, &name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto it = parent->entries.find(Upcase(name));
    if (it == parent->entries.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (it->second.type != ObjectType::SymbolicLink) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    Link* link = static_cast<Link*>(it->second.body);
    parent->entries.erase(it);
    auto& links = S().links;
    links.erase(std::remove_if(links.begin(), links.end(), [&](const auto& l) { return l.get() == link; }), links.end());
    return STATUS_SUCCESS;
}

NTSTATUS QuerySymbolicLink(std::u16string_view linkPath, std::u16string* target) {
    target->clear();
    std::lock_guard<std::mutex> guard(S().lock);
    LookupResult result;
    NTSTATUS status = ParseLockedp(linkPath, false, &result);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (result.type != ObjectType::SymbolicLink || !result.remainder.empty()) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *target = static_cast<Link*>(result.body)->target;
    return STATUS_SUCCESS;
}

std::vector<std::u16string> ListDirectory(std::u16string_view path) {
    std::vector<std::u16string> names;
    std::lock_guard<std::mutex> guard(S().lock);
    LookupResult result;
    if (!NT_SUCCESS(ParseLockedp(path, true, &result)) || result.type != ObjectType::Directory) {
        return names;
    }
    for (auto& [key, entry] : static_cast<Directory*>(result.body)->entries) {
        names.push_back(entry.name);
    }
    return names;
}

std::vector<std::u16string> FindObjects(ObjectType type) {
    std::vector<std::u16string> found;
    std::lock_guard<std::mutex> guard(S().lock);
    EnsureBootedp();
    std::unordered_set<const Directory*> seen;
    std::vector<std::pair<const Directory*, std::u16string>> pending{{S().root, u""}};
    while (!pending.empty()) {
        auto [dir, prefix] = pending.back();
        pending.pop_back();
        if (!seen.insert(dir).second) {
            continue;  // \?? and \GLOBAL?? are one directory
        }
        for (auto& [key, entry] : dir->entries) {
            std::u16string path = prefix + u"\\" + entry.name;
            if (entry.type == type) {
                found.push_back(path);
            }
            if (entry.type == ObjectType::Directory) {
                pending.emplace_back(static_cast<const Directory*>(entry.body), path);
            }
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// ---------------------------------------------------------------------------
// Handles.

bool IsKernelHandle(HANDLE handle) {
    auto value = reinterpret_cast<ULONG_PTR>(handle);
    return value >= kKernelHandleBase && value < kKernelHandleBase + 0x7FFFFFF0ull;
}

NTSTATUS CreateHandle(_EPROCESS* process, bool kernelHandle, ObjectType type, void* object, ACCESS_MASK grantedAccess,
                      const HandleProcedures* procedures, HANDLE* handle) {
    *handle = nullptr;
    std::lock_guard<std::mutex> guard(S().lock);
    bool kernel = kernelHandle || process == nullptr || process->isSystem;
    HandleTable& table = TableLockedp(process, kernel);
    ULONG_PTR value = table.next;
    table.next += 4;
    table.entries[value] = HandleEntry{type, object, grantedAccess, procedures};
    *handle = reinterpret_cast<HANDLE>(kernel ? kKernelHandleBase + value : value);
    return STATUS_SUCCESS;
}

NTSTATUS LookupHandle(_EPROCESS* process, HANDLE handle, ObjectType expectedType, HandleEntry* entry) {
    *entry = HandleEntry{};
    std::lock_guard<std::mutex> guard(S().lock);
    bool kernel = IsKernelHandle(handle);
    auto value = reinterpret_cast<ULONG_PTR>(handle) - (kernel ? kKernelHandleBase : 0);
    if (!kernel && (process == nullptr || process->isSystem)) {
        return STATUS_INVALID_HANDLE;  // the System process holds only kernel handles here
    }
    HandleTable& table = TableLockedp(process, kernel);
    auto it = table.entries.find(value);
    if (it == table.entries.end()) {
        return STATUS_INVALID_HANDLE;
    }
    if (expectedType != ObjectType::Other && it->second.type != expectedType) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    *entry = it->second;
    return STATUS_SUCCESS;
}

NTSTATUS CloseHandle(_EPROCESS* process, HANDLE handle) {
    HandleEntry entry;
    _EPROCESS* owner = process;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        bool kernel = IsKernelHandle(handle);
        auto value = reinterpret_cast<ULONG_PTR>(handle) - (kernel ? kKernelHandleBase : 0);
        if (!kernel && (process == nullptr || process->isSystem)) {
            return STATUS_INVALID_HANDLE;
        }
        HandleTable& table = TableLockedp(process, kernel);
        auto it = table.entries.find(value);
        if (it == table.entries.end()) {
            return STATUS_INVALID_HANDLE;
        }
        entry = it->second;
        table.entries.erase(it);
        if (kernel) {
            owner = nullptr;
        }
    }
    if (owner == nullptr) {
        owner = SystemProcess();
    }
    if (entry.procedures != nullptr && entry.procedures->close != nullptr) {
        entry.procedures->close(owner, entry.object, entry.grantedAccess);
    }
    return STATUS_SUCCESS;
}

NTSTATUS SetInheritable(_EPROCESS* process, HANDLE handle, bool inheritable) {
    std::lock_guard<std::mutex> guard(S().lock);
    if (process == nullptr || process->isSystem || IsKernelHandle(handle)) {
        return STATUS_INVALID_HANDLE;
    }
    HandleTable& table = TableLockedp(process, false);
    auto it = table.entries.find(reinterpret_cast<ULONG_PTR>(handle));
    if (it == table.entries.end()) {
        return STATUS_INVALID_HANDLE;
    }
    it->second.inheritable = inheritable;
    return STATUS_SUCCESS;
}

std::vector<std::pair<HANDLE, HandleEntry>> InheritableHandles(_EPROCESS* process) {
    std::vector<std::pair<HANDLE, HandleEntry>> found;
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().tables.find(process);
    if (it == S().tables.end()) {
        return found;
    }
    for (const auto& [value, entry] : it->second.entries) {
        if (entry.inheritable) {
            found.emplace_back(reinterpret_cast<HANDLE>(value), entry);
        }
    }
    return found;
}

NTSTATUS CreateHandleAt(_EPROCESS* process, HANDLE handle, const HandleEntry& entry) {
    std::lock_guard<std::mutex> guard(S().lock);
    const auto value = reinterpret_cast<ULONG_PTR>(handle);
    if (process == nullptr || process->isSystem || IsKernelHandle(handle) || value == 0 || (value & 3) != 0) {
        return STATUS_INVALID_HANDLE;
    }
    HandleTable& table = TableLockedp(process, false);
    if (!table.entries.emplace(value, entry).second) {
        return STATUS_INVALID_HANDLE;
    }
    table.next = std::max(table.next, value + 4);
    return STATUS_SUCCESS;
}

void CloseAllHandles(_EPROCESS* process) {
    for (;;) {
        HANDLE newest = nullptr;
        {
            std::lock_guard<std::mutex> guard(S().lock);
            auto it = S().tables.find(process);
            if (it == S().tables.end() || it->second.entries.empty()) {
                S().tables.erase(process);
                return;
            }
            newest = reinterpret_cast<HANDLE>(it->second.entries.rbegin()->first);
        }
        CloseHandle(process, newest);
    }
}

size_t HandleCount(_EPROCESS* process, bool kernelHandles) {
    std::lock_guard<std::mutex> guard(S().lock);
    if (kernelHandles) {
        return S().kernelTable.entries.size();
    }
    auto it = S().tables.find(process);
    return it == S().tables.end() ? 0 : it->second.entries.size();
}

// ---------------------------------------------------------------------------
// Reference counts.

void RegisterObject(void* object, ObjectType type, DeleteProcedure deleteProcedure) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    S().objects[object] = ObjectRecord{type, 1, deleteProcedure};
}

bool IsRegisteredObject(const void* object) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    return S().objects.count(object) != 0;
}

ObjectType TypeOfObject(const void* object) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    auto it = S().objects.find(object);
    if (it == S().objects.end()) {
        BugCheck(kBugReferenceByPointer, "REFERENCE_BY_POINTER", "pointer is not an object", reinterpret_cast<ULONG_PTR>(object));
    }
    return it->second.type;
}

void ReferenceObject(void* object) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    auto it = S().objects.find(object);
    if (it == S().objects.end() || it->second.references <= 0) {
        BugCheck(kBugReferenceByPointer, "REFERENCE_BY_POINTER", "ObfReferenceObject on a pointer that is not a live object",
                 reinterpret_cast<ULONG_PTR>(object));
    }
    ++it->second.references;
}

bool TryReferenceObject(void* object) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    auto it = S().objects.find(object);
    if (it == S().objects.end() || it->second.references <= 0) {
        return false;
    }
    ++it->second.references;
    return true;
}

void DereferenceObject(void* object) {
    DeleteProcedure deleteProcedure = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().objectLock);
        auto it = S().objects.find(object);
        if (it == S().objects.end() || it->second.references <= 0) {
            BugCheck(kBugReferenceByPointer, "REFERENCE_BY_POINTER",
                     "ObfDereferenceObject released a reference that was not held", reinterpret_cast<ULONG_PTR>(object));
        }
        if (--it->second.references > 0) {
            return;
        }
        deleteProcedure = it->second.deleteProcedure;
        S().objects.erase(it);
    }
    if (deleteProcedure != nullptr) {
        deleteProcedure(object);
    }
}

LONG_PTR ReferenceCount(const void* object) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    auto it = S().objects.find(object);
    return it == S().objects.end() ? 0 : it->second.references;
}

void UnregisterObject(void* object) {
    std::lock_guard<std::mutex> guard(S().objectLock);
    S().objects.erase(object);
}

ObjectType TypeFromObjectType(POBJECT_TYPE objectType) {
    return objectType == nullptr ? ObjectType::Other : objectType->type;
}

namespace {
std::mutex gLinkQueryFaultLock;
int gLinkQueryFaultCountdown = 0;
NTSTATUS gLinkQueryFaultStatus = STATUS_SUCCESS;
}  // namespace

void InjectLinkQueryFailure(int nth, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(gLinkQueryFaultLock);
    gLinkQueryFaultCountdown = nth;
    gLinkQueryFaultStatus = status;
}

NTSTATUS TakeLinkQueryFault() {
    NTSTATUS injected = TakeInjectedFailure("ZwQuerySymbolicLinkObject");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    std::lock_guard<std::mutex> guard(gLinkQueryFaultLock);
    if (gLinkQueryFaultCountdown > 0 && --gLinkQueryFaultCountdown == 0) {
        return gLinkQueryFaultStatus;
    }
    return STATUS_SUCCESS;
}

void RequireKernelHandle(HANDLE handle, const char* routine) {
    if (handle != nullptr && !IsKernelHandle(handle)) {
        BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 std::string(routine) + ": user-mode handle " + std::to_string(reinterpret_cast<ULONG_PTR>(handle)) +
                     " referenced as kernel mode (kernel code needs an OBJ_KERNEL_HANDLE handle)",
                 0xF6, reinterpret_cast<ULONG_PTR>(handle), reinterpret_cast<ULONG_PTR>(CurrentProcess()), 0);
    }
}

void ResetOb() {
    {
        std::lock_guard<std::mutex> guard(gLinkQueryFaultLock);
        gLinkQueryFaultCountdown = 0;
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().tables.clear();
        S().kernelTable = HandleTable{};
        BootNamespacep();
    }
    std::lock_guard<std::mutex> guard(S().objectLock);
    S().objects.clear();
}

}  // namespace sim::ob
