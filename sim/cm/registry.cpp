// Configuration manager: the key tree in memory, key objects with their
// handles, and the tree's queries for tests (the operations on keys, with
// their notifications, and the routines a driver calls: key_ops.cpp).
//
// Model choices:
// - Every open of a key makes a new key object (as on Windows, where each open
//   gets a key body of its own); all objects of one key share its node, and
//   the node's address is the key's object id.
// - Names compare case-insensitively and keep the case they were created with.
// - NtCreateKey creates the final component only: a missing intermediate key
//   gives STATUS_OBJECT_NAME_NOT_FOUND (programs create paths one level at a time).
// - An absolute name is parsed from the \REGISTRY key, whose object is the
//   create/open notification's RootObject then.
// - Key security is not modelled: a new handle gets the access it asked for
//   (generic rights mapped); user-mode callers are checked against it.
// - A deleted key keeps its objects: operations through them give
//   STATUS_KEY_DELETED. A key with subkeys cannot be deleted
//   (STATUS_CANNOT_DELETE); the predefined keys cannot be deleted or renamed.
#include "sim/cm/cm.h"
#include "sim/cm/registry_tree.h"

#include "platform/kernel.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/rtl/settings.h"
#include "sim/se/security.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace sim::cm {


std::shared_ptr<KeyNode> AddChildLockedp(KeyNode* parent, std::u16string_view name, bool predefined) {
    auto node = std::make_shared<KeyNode>();
    node->name = name;
    node->parent = parent;
    node->predefined = predefined;
    parent->subkeys[ob::Upcase(name)] = node;
    return node;
}

std::vector<std::u16string> Componentsp(std::u16string_view path) {
    std::vector<std::u16string> parts;
    size_t start = 0;
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

// Applies seed entries: each key made with its missing parents, each value
// set, below the root node.
void SeedLockedp(KeyNode* root, const std::vector<SeedEntry>& entries) {
    for (const SeedEntry& entry : entries) {
        KeyNode* node = root;
        std::vector<std::u16string> parts = Componentsp(std::u16string_view(entry.key).substr(1));
        for (size_t i = 1; i < parts.size(); ++i) {  // parts[0] is REGISTRY
            auto it = node->subkeys.find(ob::Upcase(parts[i]));
            node = it != node->subkeys.end() ? it->second.get() : AddChildLockedp(node, parts[i]).get();
        }
        if (!entry.keyOnly) {
            KeyNode::Value& value = node->values[ob::Upcase(entry.name)];
            value.name = entry.name;
            value.type = entry.type;
            value.data = entry.data;
        }
    }
}

void BootLockedp() {
    auto root = std::make_shared<KeyNode>();
    root->name = u"REGISTRY";
    root->predefined = true;
    KeyNode* machine = AddChildLockedp(root.get(), u"MACHINE", true).get();
    KeyNode* user = AddChildLockedp(root.get(), u"USER", true).get();
    AddChildLockedp(machine, u"SOFTWARE");
    AddChildLockedp(machine, u"SYSTEM");
    AddChildLockedp(user, u".DEFAULT");
    SeedLockedp(root.get(), MachineSeed());
    // The interactive user is logged on: their hive is loaded.
    SeedLockedp(root.get(), UserHiveSeed(u"S-1-5-18", u"C:\\Windows\\system32\\config\\systemprofile"));
    const std::string interactive = kInteractiveUserSid;
    SeedLockedp(root.get(), UserHiveSeed(std::u16string(interactive.begin(), interactive.end()), kInteractiveUserProfile));
    R().root = root;
}

void EnsureBootedLockedp() {
    if (!R().root) {
        BootLockedp();
    }
}

std::u16string PathLockedp(const KeyNode* node) {
    if (node->deleted) {
        return node->deletedPath;
    }
    std::vector<const KeyNode*> chain;
    for (const KeyNode* n = node; n != nullptr; n = n->parent) {
        chain.push_back(n);
    }
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u"\\";
        path += (*it)->name;
    }
    return path;
}


// The node an absolute path names, or null.
KeyNode* FindLockedp(std::u16string_view path) {
    EnsureBootedLockedp();
    if (path.empty() || path[0] != u'\\') {
        return nullptr;
    }
    auto parts = Componentsp(path.substr(1));
    if (parts.empty() || !ob::NamesEqual(parts[0], u"REGISTRY")) {
        return nullptr;
    }
    KeyNode* node = R().root.get();
    for (size_t i = 1; i < parts.size(); ++i) {
        auto it = node->subkeys.find(ob::Upcase(parts[i]));
        if (it == node->subkeys.end()) {
            return nullptr;
        }
        node = it->second.get();
    }
    return node;
}

void DeleteKeyObjectp(void* object) {
    auto* key = static_cast<KeyObject*>(object);
    {
        std::lock_guard<std::mutex> guard(R().lock);
        R().objects.erase(key);
        if (--key->node->objects == 0) {
            key->node->FreeLegacyName();
        }
    }
    delete key;
}

KeyObject* NewKeyObjectLockedp(const std::shared_ptr<KeyNode>& node) {
    auto* key = new KeyObject{node};
    ++node->objects;
    R().objects.insert(key);
    return key;
}

ACCESS_MASK MapKeyAccessp(ACCESS_MASK access) {
    if (access & MAXIMUM_ALLOWED) {
        access = (access & ~MAXIMUM_ALLOWED) | KEY_ALL_ACCESS;
    }
    if (access & GENERIC_READ) {
        access |= KEY_READ;
    }
    if (access & GENERIC_WRITE) {
        access |= KEY_WRITE;
    }
    if (access & GENERIC_EXECUTE) {
        access |= KEY_READ;
    }
    if (access & GENERIC_ALL) {
        access |= KEY_ALL_ACCESS;
    }
    return access & ~static_cast<ACCESS_MASK>(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}

void CloseKeyHandlep(_EPROCESS* process, void* object, ACCESS_MASK) {
    // A user handle closes in a thread of its process; a kernel handle in
    // whatever thread closes it.
    std::optional<ThreadScope> scope;
    if (process != nullptr && !process->isSystem && CurrentProcess() != process) {
        scope.emplace(process);
    }
    REG_KEY_HANDLE_CLOSE_INFORMATION info{};
    info.Object = object;
    // The close cannot be refused: what the pre-notification returns is not used.
    (void)NotifyPre(RegNtPreKeyHandleClose, &info);
    REG_POST_OPERATION_INFORMATION post{};
    post.Object = object;
    post.Status = STATUS_SUCCESS;
    post.PreInformation = &info;
    post.ReturnStatus = STATUS_SUCCESS;
    (void)NotifyPost(RegNtPostKeyHandleClose, &post);
    ob::DereferenceObject(object);
}

extern const ob::HandleProcedures kKeyHandle{"Key", CloseKeyHandlep, nullptr};

// The key object behind a handle, referenced for the operation's length.
NTSTATUS ReferenceKeyHandlep(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle, ACCESS_MASK needed, KeyObject** key) {
    *key = nullptr;
    ob::HandleEntry entry;
    NTSTATUS status = ob::LookupHandle(process, handle, ob::ObjectType::Key, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (mode == UserMode && (entry.grantedAccess & needed) != needed) {
        return STATUS_ACCESS_DENIED;
    }
    if (!ob::TryReferenceObject(entry.object)) {
        return STATUS_INVALID_HANDLE;
    }
    *key = static_cast<KeyObject*>(entry.object);
    return STATUS_SUCCESS;
}

// A counted view of a captured name.
UNICODE_STRING Viewp(std::u16string& text) {
    UNICODE_STRING view;
    view.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    view.MaximumLength = view.Length;
    view.Buffer = text.data();
    return view;
}

// Post-notification after an operation on an existing key object.
NTSTATUS Postp(REG_NOTIFY_CLASS notifyClass, KeyObject* key, PVOID preInformation, NTSTATUS status) {
    REG_POST_OPERATION_INFORMATION post{};
    post.Object = NT_SUCCESS(status) ? key : nullptr;
    post.Status = status;
    post.PreInformation = preInformation;
    post.ReturnStatus = status;
    return NotifyPost(notifyClass, &post);
}

// Pre-notification: BYPASS skips the operation with success, any other
// failure refuses it. *proceed tells whether the operation goes on.
NTSTATUS Prep(REG_NOTIFY_CLASS notifyClass, PVOID information, bool* proceed) {
    NTSTATUS status = NotifyPre(notifyClass, information);
    *proceed = status == STATUS_SUCCESS || (NT_SUCCESS(status) && status != STATUS_CALLBACK_BYPASS);
    if (status == STATUS_CALLBACK_BYPASS) {
        return STATUS_SUCCESS;
    }
    return NT_SUCCESS(status) ? STATUS_SUCCESS : status;
}

bool IsValidComponentp(std::u16string_view name) {
    return !name.empty() && name.size() <= 255 && name.find(u'\\') == std::u16string_view::npos;
}


// ---------------------------------------------------------------------------
// Store queries.

KeyObject* AsKeyObject(PVOID object) {
    std::lock_guard<std::mutex> guard(R().lock);
    auto* key = static_cast<KeyObject*>(object);
    return R().objects.count(key) != 0 ? key : nullptr;
}

uintptr_t KeyObjectId(KeyObject* key) { return reinterpret_cast<uintptr_t>(key->node.get()); }

std::u16string KeyObjectName(KeyObject* key) {
    std::lock_guard<std::mutex> guard(R().lock);
    return PathLockedp(key->node.get());
}

PCUNICODE_STRING KeyObjectLegacyName(KeyObject* key) {
    std::lock_guard<std::mutex> guard(R().lock);
    KeyNode* node = key->node.get();
    if (node->legacyName == nullptr) {
        std::u16string path = PathLockedp(node);
        auto* name = new UNICODE_STRING;
        name->Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
        name->MaximumLength = name->Length;
        name->Buffer = new WCHAR[path.size() + 1];
        std::copy(path.begin(), path.end(), name->Buffer);
        name->Buffer[path.size()] = 0;
        node->legacyName = name;
    }
    return node->legacyName;
}

bool CapturesSetValueData() {
    ULONG major = 0, minor = 0, build = 0;
    GetSystemVersion(&major, &minor, &build);
    return major > 6 || (major == 6 && minor >= 2);
}

bool KeyExists(std::u16string_view path) {
    std::lock_guard<std::mutex> guard(R().lock);
    return FindLockedp(path) != nullptr;
}

bool QueryValue(std::u16string_view path, std::u16string_view valueName, ULONG* type, std::vector<uint8_t>* data) {
    std::lock_guard<std::mutex> guard(R().lock);
    KeyNode* node = FindLockedp(path);
    if (node == nullptr) {
        return false;
    }
    auto it = node->values.find(ob::Upcase(valueName));
    if (it == node->values.end()) {
        return false;
    }
    if (type != nullptr) {
        *type = it->second.type;
    }
    if (data != nullptr) {
        *data = it->second.data;
    }
    return true;
}

std::vector<std::u16string> ValueNames(std::u16string_view path) {
    std::vector<std::u16string> names;
    std::lock_guard<std::mutex> guard(R().lock);
    if (KeyNode* node = FindLockedp(path)) {
        for (const auto& [key, value] : node->values) {
            names.push_back(value.name);
        }
    }
    return names;
}

size_t LiveKeyObjects() {
    std::lock_guard<std::mutex> guard(R().lock);
    return R().objects.size() - (R().rootObject != nullptr ? 1 : 0);
}

std::u16string KeyObjectPath(PVOID object) {
    KeyObject* key = AsKeyObject(object);
    return key != nullptr ? KeyObjectName(key) : std::u16string();
}

const ob::HandleProcedures* KeyHandleProcedures() { return &kKeyHandle; }

void ResetRegistry() {
    std::lock_guard<std::mutex> guard(R().lock);
    for (KeyObject* key : R().objects) {
        ob::UnregisterObject(key);
        delete key;
    }
    R().objects.clear();
    R().rootObject = nullptr;
    R().root.reset();
    BootLockedp();
}

NTSTATUS LoadUserHive(std::u16string_view sid, std::u16string_view profilePath) {
    const std::string text(sid.begin(), sid.end());
    if (std::any_of(sid.begin(), sid.end(), [](char16_t c) { return c > 0x7F; }) || !security::IsSidText(text)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(R().lock);
    EnsureBootedLockedp();
    SeedLockedp(R().root.get(), UserHiveSeed(sid, profilePath));
    return STATUS_SUCCESS;
}

bool UserHiveLoaded(std::u16string_view sid) {
    std::lock_guard<std::mutex> guard(R().lock);
    return FindLockedp(u"\\REGISTRY\\USER\\" + std::u16string(sid)) != nullptr;
}

}  // namespace sim::cm
