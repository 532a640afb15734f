// User side of the configuration manager: the native registry calls of a
// program, each in a thread of its process.
#include "sim/user/memory.h"
#include "sim/user/registry.h"

#include "sim/ps/ps.h"

#include <optional>

namespace sim::user {

namespace {

// A call from a thread of `process`: the current thread when it already is
// one, else a new one for the call.
class CallerThread {
public:
    explicit CallerThread(_EPROCESS* process) {
        if (CurrentProcess() != process) {
            scope_.emplace(process);
        }
    }

private:
    std::optional<ThreadScope> scope_;
};

}  // namespace

std::u16string CurrentUserKeyPath(const _EPROCESS* process) {
    const std::string& sid = process->userSid;
    return u"\\REGISTRY\\USER\\" + std::u16string(sid.begin(), sid.end());
}

NTSTATUS CreateKey(_EPROCESS* process, HANDLE root, std::u16string_view name, ACCESS_MASK desiredAccess, HANDLE* key,
                   ULONG* disposition) {
    CallerThread thread(process);
    return cm::CreateOrOpenKey(process, UserMode, false, root, name, desiredAccess, true, key, disposition);
}

NTSTATUS OpenKey(_EPROCESS* process, HANDLE root, std::u16string_view name, ACCESS_MASK desiredAccess, HANDLE* key) {
    CallerThread thread(process);
    return cm::CreateOrOpenKey(process, UserMode, false, root, name, desiredAccess, false, key, nullptr);
}

NTSTATUS SetValueKey(_EPROCESS* process, HANDLE key, std::u16string_view valueName, ULONG type, const void* data,
                     ULONG size) {
    CallerThread thread(process);
    // The program's data reaches the kernel at a user address.
    UserView view(data, size, false);
    return cm::SetValueKey(process, UserMode, key, valueName, type, view.address(), size);
}

NTSTATUS QueryValueKey(_EPROCESS* process, HANDLE key, std::u16string_view valueName, KEY_VALUE_INFORMATION_CLASS infoClass,
                       void* buffer, ULONG length, ULONG* resultLength) {
    CallerThread thread(process);
    return cm::QueryValueKey(process, UserMode, key, valueName, infoClass, buffer, length, resultLength);
}

NTSTATUS DeleteValueKey(_EPROCESS* process, HANDLE key, std::u16string_view valueName) {
    CallerThread thread(process);
    return cm::DeleteValueKey(process, UserMode, key, valueName);
}

NTSTATUS DeleteKey(_EPROCESS* process, HANDLE key) {
    CallerThread thread(process);
    return cm::DeleteKey(process, UserMode, key);
}

NTSTATUS RenameKey(_EPROCESS* process, HANDLE key, std::u16string_view newName) {
    CallerThread thread(process);
    return cm::RenameKey(process, UserMode, key, newName);
}

}  // namespace sim::user
