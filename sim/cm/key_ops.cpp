// Configuration manager: the native key operations (create/open, set, query,
// delete value, delete key, rename) with their pre- and post-notifications,
// and the Zw routines a driver calls on keys. The tree they work on and the
// model's choices about it: registry.cpp.
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
