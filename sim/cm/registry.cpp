// Configuration manager: the key tree in memory, key objects with their
// handles, the registry operations with their notifications, and the routines
// a driver calls on keys.
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

struct KeyNode {
    struct Value {
        std::u16string name;
        ULONG type = REG_NONE;
        std::vector<uint8_t> data;
    };

    std::u16string name;
    KeyNode* parent = nullptr;
    std::map<std::u16string, std::shared_ptr<KeyNode>> subkeys;  // by upcased name
    std::map<std::u16string, Value> values;                      // by upcased name
    bool predefined = false;
    bool deleted = false;
    std::u16string deletedPath;
    size_t objects = 0;
    UNICODE_STRING* legacyName = nullptr;  // the older lookup routine's name

    ~KeyNode() { FreeLegacyName(); }
    void FreeLegacyName() {
        if (legacyName != nullptr) {
            delete[] legacyName->Buffer;
            delete legacyName;
            legacyName = nullptr;
        }
    }
};

struct KeyObject {
    std::shared_ptr<KeyNode> node;
};

namespace {

struct RegistryState {
    std::mutex lock;
    std::shared_ptr<KeyNode> root;
    KeyObject* rootObject = nullptr;  // the \REGISTRY key's own object
    std::set<KeyObject*> objects;     // live key objects
};

RegistryState& R() {
    static RegistryState* state = new RegistryState;
    return *state;
}

std::shared_ptr<KeyNode> AddChildLockedp(KeyNode* parent, std::u16string_view name, bool predefined = false) {
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

const ob::HandleProcedures kKeyHandle{"Key", CloseKeyHandlep, nullptr};

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

}  // namespace

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

// ---------------------------------------------------------------------------
// Operations.

NTSTATUS CreateOrOpenKey(_EPROCESS* process, KPROCESSOR_MODE mode, bool kernelHandle, HANDLE root, std::u16string_view name,
                         ACCESS_MASK desiredAccess, bool create, HANDLE* key, ULONG* disposition) {
    *key = nullptr;
    RequireIrqlAtMost(PASSIVE_LEVEL, create ? "NtCreateKey" : "NtOpenKey");
    KeyObject* rootObject = nullptr;
    if (root != nullptr) {
        // The object manager refuses a rooted name below a root directory.
        if (!name.empty() && name[0] == u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        NTSTATUS status = ReferenceKeyHandlep(process, mode, root, 0, &rootObject);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    } else {
        if (name.empty() || name[0] != u'\\') {
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        }
        std::lock_guard<std::mutex> guard(R().lock);
        EnsureBootedLockedp();
        if (R().rootObject == nullptr) {
            R().rootObject = NewKeyObjectLockedp(R().root);
            ob::RegisterObject(R().rootObject, ob::ObjectType::Key, nullptr);  // permanent
        }
        rootObject = R().rootObject;
        ob::ReferenceObject(rootObject);
    }

    const ACCESS_MASK access = MapKeyAccessp(desiredAccess);
    std::u16string captured(name);
    UNICODE_STRING completeName = Viewp(captured);
    ULONG resultDisposition = 0;
    PVOID resultObject = nullptr;
    REG_CREATE_KEY_INFORMATION_V1 info{};
    info.CompleteName = &completeName;
    info.RootObject = rootObject;
    info.DesiredAccess = access;
    info.Disposition = &resultDisposition;
    info.ResultObject = &resultObject;
    ULONG major = 0, minor = 0, build = 0;
    GetSystemVersion(&major, &minor, &build);
    if (major > 6 || (major == 6 && minor >= 1)) {
        info.Version = 1;  // the V1 layout from 6.1 on
        info.RemainingName = &completeName;
        info.CheckAccessMode = mode;
    }

    NTSTATUS status = NotifyPre(create ? RegNtPreCreateKeyEx : RegNtPreOpenKeyEx, &info);
    if (status == STATUS_CALLBACK_BYPASS) {
        NotImplemented("STATUS_CALLBACK_BYPASS from a pre-create or pre-open key notification");
    }
    if (!NT_SUCCESS(status)) {
        ob::DereferenceObject(rootObject);
        return status;
    }

    KeyObject* opened = nullptr;
    {
        std::lock_guard<std::mutex> guard(R().lock);
        EnsureBootedLockedp();
        std::shared_ptr<KeyNode> node;
        std::vector<std::u16string> parts;
        if (root == nullptr) {
            parts = Componentsp(std::u16string_view(captured).substr(1));
            if (!ob::NamesEqual(parts[0], u"REGISTRY")) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
            }
            parts.erase(parts.begin());
            node = R().root;
        } else {
            node = rootObject->node;
            if (!captured.empty()) {
                parts = Componentsp(captured);
            }
        }
        if (NT_SUCCESS(status) && node->deleted) {
            status = STATUS_KEY_DELETED;
        }
        for (const auto& part : parts) {
            if (NT_SUCCESS(status) && !IsValidComponentp(part)) {
                status = STATUS_OBJECT_NAME_INVALID;
            }
        }
        for (size_t i = 0; NT_SUCCESS(status) && i < parts.size(); ++i) {
            auto it = node->subkeys.find(ob::Upcase(parts[i]));
            if (it != node->subkeys.end()) {
                node = it->second;
                resultDisposition = REG_OPENED_EXISTING_KEY;
            } else if (create && i + 1 == parts.size()) {
                node = AddChildLockedp(node.get(), parts[i]);
                resultDisposition = REG_CREATED_NEW_KEY;
            } else {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
            }
        }
        if (NT_SUCCESS(status)) {
            if (resultDisposition == 0) {
                resultDisposition = REG_OPENED_EXISTING_KEY;  // the root key itself
            }
            opened = NewKeyObjectLockedp(node);
        }
    }
    if (opened != nullptr) {
        ob::RegisterObject(opened, ob::ObjectType::Key, DeleteKeyObjectp);
        resultObject = opened;
    }

    REG_POST_OPERATION_INFORMATION post{};
    post.Object = opened;
    post.Status = status;
    post.PreInformation = &info;
    post.ReturnStatus = status;
    NTSTATUS result = NotifyPost(create ? RegNtPostCreateKeyEx : RegNtPostOpenKeyEx, &post);
    ob::DereferenceObject(rootObject);

    if (opened != nullptr && !NT_SUCCESS(result)) {
        // A callback turned the result into a failure: the caller gets no
        // handle, but a key created meanwhile stays.
        ob::DereferenceObject(opened);
        opened = nullptr;
    }
    if (opened != nullptr) {
        NTSTATUS handleStatus = ob::CreateHandle(process, kernelHandle, ob::ObjectType::Key, opened, access, &kKeyHandle, key);
        if (!NT_SUCCESS(handleStatus)) {
            ob::DereferenceObject(opened);
            return handleStatus;
        }
    }
    if (disposition != nullptr && NT_SUCCESS(result)) {
        *disposition = resultDisposition;
    }
    return result;
}

NTSTATUS SetValueKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle, std::u16string_view valueName, ULONG type,
                     const void* data, ULONG size) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtSetValueKey");
    KeyObject* key = nullptr;
    NTSTATUS status = ReferenceKeyHandlep(process, mode, handle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name(valueName);
    UNICODE_STRING nameView = Viewp(name);
    // From 6.2 on a user-mode caller's data is captured before the callbacks
    // see it; before that they get the caller's own buffer. Kernel-mode
    // callers' buffers are passed as they are.
    const bool userBuffer = mode == UserMode && !CapturesSetValueData();
    std::vector<uint8_t> capture;
    const void* passed = data;
    if (mode == UserMode && !userBuffer) {
        capture.resize(size);
        if (!NT_SUCCESS(PlatformCopyFromClient(capture.data(), data, size))) {
            ob::DereferenceObject(key);
            return STATUS_ACCESS_VIOLATION;
        }
        passed = capture.data();
    }
    REG_SET_VALUE_KEY_INFORMATION info{};
    info.Object = key;
    info.ValueName = &nameView;
    info.Type = type;
    info.Data = const_cast<void*>(passed);
    info.DataSize = size;
    bool proceed = false;
    status = Prep(RegNtPreSetValueKey, &info, &proceed);
    if (proceed) {
        std::vector<uint8_t> stored(size);
        if (userBuffer) {
            status = NT_SUCCESS(PlatformCopyFromClient(stored.data(), passed, size)) ? STATUS_SUCCESS : STATUS_ACCESS_VIOLATION;
        } else if (size != 0) {
            std::memcpy(stored.data(), passed, size);
        }
        if (NT_SUCCESS(status)) {
            std::lock_guard<std::mutex> guard(R().lock);
            if (key->node->deleted) {
                status = STATUS_KEY_DELETED;
            } else {
                auto& value = key->node->values[ob::Upcase(name)];
                value.name = name;
                value.type = type;
                value.data = std::move(stored);
            }
        }
        status = Postp(RegNtPostSetValueKey, key, &info, status);
    }
    ob::DereferenceObject(key);
    return status;
}

NTSTATUS QueryValueKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle, std::u16string_view valueName,
                       KEY_VALUE_INFORMATION_CLASS infoClass, void* buffer, ULONG length, ULONG* resultLength) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtQueryValueKey");
    if (resultLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *resultLength = 0;
    if (infoClass == KeyValueFullInformation) {
        NotImplemented("ZwQueryValueKey with KeyValueFullInformation");
    }
    if (infoClass != KeyValueBasicInformation && infoClass != KeyValuePartialInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    KeyObject* key = nullptr;
    NTSTATUS status = ReferenceKeyHandlep(process, mode, handle, KEY_QUERY_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name(valueName);
    UNICODE_STRING nameView = Viewp(name);
    REG_QUERY_VALUE_KEY_INFORMATION info{};
    info.Object = key;
    info.ValueName = &nameView;
    info.KeyValueInformationClass = infoClass;
    info.KeyValueInformation = buffer;
    info.Length = length;
    info.ResultLength = resultLength;
    bool proceed = false;
    status = Prep(RegNtPreQueryValueKey, &info, &proceed);
    if (proceed) {
        std::lock_guard<std::mutex> guard(R().lock);
        auto it = key->node->values.find(ob::Upcase(name));
        if (key->node->deleted) {
            status = STATUS_KEY_DELETED;
        } else if (it == key->node->values.end()) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else {
            // Both classes: TitleIndex, Type, a length, then the bytes.
            const auto& value = it->second;
            const bool basic = infoClass == KeyValueBasicInformation;
            const ULONG header = 12;
            const ULONG payload =
                static_cast<ULONG>(basic ? value.name.size() * sizeof(WCHAR) : value.data.size());
            const ULONG full = header + payload;
            *resultLength = full;
            if (length < header) {
                status = STATUS_BUFFER_TOO_SMALL;
            } else {
                ULONG fields[3] = {0, value.type, payload};
                std::memcpy(buffer, fields, header);
                const ULONG copied = std::min(payload, length - header);
                const void* source = basic ? static_cast<const void*>(value.name.data()) : value.data.data();
                if (copied != 0) {
                    std::memcpy(static_cast<uint8_t*>(buffer) + header, source, copied);
                }
                status = copied < payload ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
                if (status == STATUS_SUCCESS) {
                    *resultLength = full;
                }
            }
        }
    }
    if (proceed) {
        status = Postp(RegNtPostQueryValueKey, key, &info, status);
    }
    ob::DereferenceObject(key);
    return status;
}

NTSTATUS DeleteValueKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle, std::u16string_view valueName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtDeleteValueKey");
    KeyObject* key = nullptr;
    NTSTATUS status = ReferenceKeyHandlep(process, mode, handle, KEY_SET_VALUE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name(valueName);
    UNICODE_STRING nameView = Viewp(name);
    REG_DELETE_VALUE_KEY_INFORMATION info{};
    info.Object = key;
    info.ValueName = &nameView;
    bool proceed = false;
    status = Prep(RegNtPreDeleteValueKey, &info, &proceed);
    if (proceed) {
        {
            std::lock_guard<std::mutex> guard(R().lock);
            if (key->node->deleted) {
                status = STATUS_KEY_DELETED;
            } else if (key->node->values.erase(ob::Upcase(name)) == 0) {
                status = STATUS_OBJECT_NAME_NOT_FOUND;
            }
        }
        status = Postp(RegNtPostDeleteValueKey, key, &info, status);
    }
    ob::DereferenceObject(key);
    return status;
}

NTSTATUS DeleteKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtDeleteKey");
    KeyObject* key = nullptr;
    NTSTATUS status = ReferenceKeyHandlep(process, mode, handle, DELETE, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    REG_DELETE_KEY_INFORMATION info{};
    info.Object = key;
    bool proceed = false;
    status = Prep(RegNtPreDeleteKey, &info, &proceed);
    if (proceed) {
        {
            std::lock_guard<std::mutex> guard(R().lock);
            KeyNode* node = key->node.get();
            if (node->deleted) {
                status = STATUS_KEY_DELETED;
            } else if (node->predefined || node->parent == nullptr) {
                status = STATUS_ACCESS_DENIED;
            } else if (!node->subkeys.empty()) {
                status = STATUS_CANNOT_DELETE;
            } else {
                node->deletedPath = PathLockedp(node);
                std::shared_ptr<KeyNode> keep = key->node;
                node->parent->subkeys.erase(ob::Upcase(node->name));
                node->parent = nullptr;
                node->deleted = true;
            }
        }
        status = Postp(RegNtPostDeleteKey, key, &info, status);
    }
    ob::DereferenceObject(key);
    return status;
}

NTSTATUS RenameKey(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle, std::u16string_view newName) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "NtRenameKey");
    KeyObject* key = nullptr;
    NTSTATUS status = ReferenceKeyHandlep(process, mode, handle, KEY_SET_VALUE | KEY_CREATE_SUB_KEY, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::u16string name(newName);
    UNICODE_STRING nameView = Viewp(name);
    REG_RENAME_KEY_INFORMATION info{};
    info.Object = key;
    info.NewName = &nameView;
    bool proceed = false;
    status = Prep(RegNtPreRenameKey, &info, &proceed);
    if (proceed) {
        {
            std::lock_guard<std::mutex> guard(R().lock);
            KeyNode* node = key->node.get();
            if (node->deleted) {
                status = STATUS_KEY_DELETED;
            } else if (node->predefined || node->parent == nullptr) {
                status = STATUS_ACCESS_DENIED;
            } else if (!IsValidComponentp(name)) {
                status = STATUS_INVALID_PARAMETER;
            } else {
                auto& siblings = node->parent->subkeys;
                const std::u16string oldKey = ob::Upcase(node->name);
                const std::u16string newKey = ob::Upcase(name);
                if (newKey != oldKey && siblings.count(newKey) != 0) {
                    status = STATUS_OBJECT_NAME_COLLISION;
                } else {
                    std::shared_ptr<KeyNode> keep = siblings[oldKey];
                    siblings.erase(oldKey);
                    node->name = name;
                    siblings[newKey] = keep;
                }
            }
        }
        status = Postp(RegNtPostRenameKey, key, &info, status);
    }
    ob::DereferenceObject(key);
    return status;
}

}  // namespace sim::cm

// ---------------------------------------------------------------------------
// Driver-visible routines.

// A kernel-mode caller: the handle's granted access is not checked.
extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                                          ULONG Length, PULONG ResultLength) {
    sim::Count("ZwQueryValueKey");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwQueryValueKey");
    NTSTATUS injected = sim::TakeInjectedFailure("ZwQueryValueKey");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (ValueName == nullptr || (ValueName->Length != 0 && ValueName->Buffer == nullptr)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string_view name(ValueName->Buffer != nullptr ? ValueName->Buffer : u"", ValueName->Length / sizeof(WCHAR));
    return sim::cm::QueryValueKey(sim::CurrentProcess(), KernelMode, KeyHandle, name, KeyValueInformationClass,
                                  KeyValueInformation, Length, ResultLength);
}
