// The registry's key tree as the configuration manager's two halves share it:
// registry.cpp (the tree, key objects and handles, queries for tests) and
// key_ops.cpp (the native key operations with their notifications). Host
// code only; everything here is taken under R().lock where its name ends in
// "Locked".
#pragma once

#include "platform/kernel.h"
#include "sim/ob/ob.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

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


struct RegistryState {
    std::mutex lock;
    std::shared_ptr<KeyNode> root;
    KeyObject* rootObject = nullptr;  // the \REGISTRY key's own object
    std::set<KeyObject*> objects;     // live key objects
};

inline RegistryState& R() {
    static RegistryState* state = new RegistryState;
    return *state;
}

std::shared_ptr<KeyNode> AddChildLockedp(KeyNode* parent, std::u16string_view name, bool predefined = false);
std::vector<std::u16string> Componentsp(std::u16string_view path);
void EnsureBootedLockedp();
std::u16string PathLockedp(const KeyNode* node);
KeyNode* FindLockedp(std::u16string_view path);
void DeleteKeyObjectp(void* object);
KeyObject* NewKeyObjectLockedp(const std::shared_ptr<KeyNode>& node);
ACCESS_MASK MapKeyAccessp(ACCESS_MASK access);
NTSTATUS ReferenceKeyHandlep(_EPROCESS* process, KPROCESSOR_MODE mode, HANDLE handle, ACCESS_MASK needed, KeyObject** key);
// A counted view of `text` (no copy: `text` outlives it).
UNICODE_STRING Viewp(std::u16string& text);
NTSTATUS Postp(REG_NOTIFY_CLASS notifyClass, KeyObject* key, PVOID preInformation, NTSTATUS status);
NTSTATUS Prep(REG_NOTIFY_CLASS notifyClass, PVOID information, bool* proceed);
bool IsValidComponentp(std::u16string_view name);
extern const ob::HandleProcedures kKeyHandle;

}  // namespace sim::cm
