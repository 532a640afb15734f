// DefineDosDevice: symbolic links in \?? made from the user side.
#include "sim/user/dosdevice.h"

#include "sim/ob/ob.h"

#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace sim::user {

namespace {

std::mutex gLock;
// Earlier definitions of a name, oldest first, kept aside while a newer one
// stands in the namespace (key: the upcased link path).
std::map<std::u16string, std::vector<std::u16string>> gShadowed;

const bool gRegistered = [] {
    sim::RegisterResetHook("dos devices", [] {
        std::lock_guard<std::mutex> guard(gLock);
        gShadowed.clear();
    });
    return true;
}();

bool StartsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// The NT form of a DOS target path, as the Win32 layer converts it.
NTSTATUS NtFormOf(std::u16string_view dosPath, std::u16string* ntPath) {
    if (StartsWith(dosPath, u"\\\\?\\") || StartsWith(dosPath, u"\\\\.\\")) {
        *ntPath = u"\\??\\" + std::u16string(dosPath.substr(4));
        return STATUS_SUCCESS;
    }
    if (StartsWith(dosPath, u"\\\\") && dosPath.size() > 2) {
        *ntPath = u"\\??\\UNC\\" + std::u16string(dosPath.substr(2));
        return STATUS_SUCCESS;
    }
    const bool driveLetter = dosPath.size() >= 2 && dosPath[1] == u':' &&
                             ((dosPath[0] >= u'A' && dosPath[0] <= u'Z') || (dosPath[0] >= u'a' && dosPath[0] <= u'z'));
    if (driveLetter && (dosPath.size() == 2 || dosPath[2] == u'\\')) {
        *ntPath = u"\\??\\" + std::u16string(dosPath);
        return STATUS_SUCCESS;
    }
    // Relative paths would need the caller's current directory, which the
    // model does not keep.
    return STATUS_OBJECT_NAME_INVALID;
}

NTSTATUS Removep(const std::u16string& linkPath, ULONG flags, std::u16string_view targetPath) {
    std::u16string current;
    NTSTATUS status = sim::ob::QuerySymbolicLink(linkPath, &current);
    if (!NT_SUCCESS(status)) {
        return status == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_OBJECT_NAME_NOT_FOUND : status;
    }
    std::vector<std::u16string>& shadowed = gShadowed[sim::ob::Upcase(linkPath)];
    if ((flags & DDD_EXACT_MATCH_ON_REMOVE) != 0 && !sim::ob::NamesEqual(current, targetPath)) {
        // An older definition may match; it goes without disturbing the newest.
        for (auto it = shadowed.rbegin(); it != shadowed.rend(); ++it) {
            if (sim::ob::NamesEqual(*it, targetPath)) {
                shadowed.erase(std::next(it).base());
                return STATUS_SUCCESS;
            }
        }
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    status = sim::ob::DeleteSymbolicLink(linkPath);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!shadowed.empty()) {
        std::u16string previous = shadowed.back();
        shadowed.pop_back();
        return sim::ob::CreateSymbolicLink(linkPath, previous);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS DefineDosDevice(_EPROCESS* process, ULONG flags, std::u16string_view deviceName,
                         std::u16string_view targetPath) {
    sim::ThreadScope scope(process);
    if (deviceName.empty() || deviceName.find(u'\\') != std::u16string_view::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const std::u16string linkPath = u"\\??\\" + std::u16string(deviceName);
    std::u16string target(targetPath);
    if ((flags & DDD_RAW_TARGET_PATH) == 0 && !targetPath.empty()) {
        NTSTATUS status = NtFormOf(targetPath, &target);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    std::lock_guard<std::mutex> guard(gLock);
    if ((flags & DDD_REMOVE_DEFINITION) != 0) {
        return Removep(linkPath, flags, target);
    }
    if (target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::u16string existing;
    NTSTATUS status = sim::ob::QuerySymbolicLink(linkPath, &existing);
    if (NT_SUCCESS(status)) {
        status = sim::ob::DeleteSymbolicLink(linkPath);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        gShadowed[sim::ob::Upcase(linkPath)].push_back(existing);
    }
    return sim::ob::CreateSymbolicLink(linkPath, target);
}

}  // namespace sim::user
