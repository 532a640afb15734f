// Configuration manager: registry callback registration. The registry itself
// (keys, values, calling the callbacks around operations) is not modelled yet.
#include "sim/private/cm.h"

#include "sim/private/io.h"

#include <algorithm>
#include <mutex>

namespace sim::cm {
namespace {

struct CmState {
    std::mutex lock;
    std::vector<CallbackRegistration> callbacks;
    LONGLONG nextCookie = 0x1000;
};

CmState& S() {
    static CmState* state = new CmState;
    return *state;
}

// Altitudes are decimal strings; they order as numbers ("380010" < "400000"),
// with the fractional part after a dot ("385100.5"). Legacy registrations have
// no altitude of their own and come after all others.
long double AltitudeValuep(const std::u16string& altitude) {
    if (altitude.empty()) {
        return -1;
    }
    std::string ascii(altitude.begin(), altitude.end());
    return std::strtold(ascii.c_str(), nullptr);
}

bool IsDecimalAltitudep(PCUNICODE_STRING altitude) {
    if (altitude == nullptr || altitude->Buffer == nullptr || altitude->Length == 0 || (altitude->Length % 2) != 0) {
        return false;
    }
    bool dot = false;
    for (USHORT i = 0; i < altitude->Length / sizeof(WCHAR); ++i) {
        char16_t c = altitude->Buffer[i];
        if (c == u'.' && !dot && i != 0) {
            dot = true;
        } else if (c < u'0' || c > u'9') {
            return false;
        }
    }
    return true;
}

std::vector<std::string> Leftoversp(PDRIVER_OBJECT driver) {
    std::vector<std::string> leftovers;
    std::lock_guard<std::mutex> guard(S().lock);
    for (const auto& cb : S().callbacks) {
        if (cb.driver == driver) {
            leftovers.push_back("registry callback still registered (altitude \"" +
                                std::string(cb.altitude.begin(), cb.altitude.end()) + "\")");
        }
    }
    return leftovers;
}

const bool kLeftoverCheckRegistered = (RegisterDriverLeftoverCheck(Leftoversp), true);

NTSTATUS Registerp(PEX_CALLBACK_FUNCTION function, PCUNICODE_STRING altitude, PDRIVER_OBJECT driver, PVOID context,
                   PLARGE_INTEGER cookie) {
    CallbackRegistration registration;
    registration.function = function;
    registration.context = context;
    registration.driver = driver;
    if (altitude != nullptr) {
        registration.altitude.assign(altitude->Buffer, altitude->Length / sizeof(WCHAR));
    }
    std::lock_guard<std::mutex> guard(S().lock);
    if (altitude != nullptr) {
        for (const auto& cb : S().callbacks) {
            if (cb.altitude == registration.altitude) {
                return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
            }
        }
    }
    registration.cookie.QuadPart = S().nextCookie;
    S().nextCookie += 0x10;
    *cookie = registration.cookie;
    S().callbacks.push_back(registration);
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<CallbackRegistration> Callbacks() {
    std::vector<CallbackRegistration> sorted;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        sorted = S().callbacks;
    }
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return AltitudeValuep(a.altitude) > AltitudeValuep(b.altitude);
    });
    return sorted;
}

bool IsRegistered(PEX_CALLBACK_FUNCTION function) {
    std::lock_guard<std::mutex> guard(S().lock);
    return std::any_of(S().callbacks.begin(), S().callbacks.end(), [&](const auto& cb) { return cb.function == function; });
}

void ResetCm() {
    std::lock_guard<std::mutex> guard(S().lock);
    S().callbacks.clear();
    S().nextCookie = 0x1000;
}

}  // namespace sim::cm

extern "C" NTSTATUS NTAPI CmRegisterCallback(PEX_CALLBACK_FUNCTION Function, PVOID Context, PLARGE_INTEGER Cookie) {
    sim::Count("CmRegisterCallback");
    sim::RequireIrqlAtMost(APC_LEVEL, "CmRegisterCallback");
    NTSTATUS injected = sim::TakeInjectedFailure("CmRegisterCallback");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (Function == nullptr || Cookie == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return sim::cm::Registerp(Function, nullptr, sim::CurrentDriverContext(), Context, Cookie);
}

extern "C" NTSTATUS NTAPI CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver,
                                               PVOID Context, PLARGE_INTEGER Cookie, PVOID Reserved) {
    sim::Count("CmRegisterCallbackEx");
    sim::RequireIrqlAtMost(APC_LEVEL, "CmRegisterCallbackEx");
    NTSTATUS injected = sim::TakeInjectedFailure("CmRegisterCallbackEx");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (Function == nullptr || Cookie == nullptr || Driver == nullptr || Reserved != nullptr ||
        !sim::cm::IsDecimalAltitudep(Altitude)) {
        return STATUS_INVALID_PARAMETER;
    }
    return sim::cm::Registerp(Function, Altitude, static_cast<PDRIVER_OBJECT>(Driver), Context, Cookie);
}

extern "C" NTSTATUS NTAPI CmUnRegisterCallback(LARGE_INTEGER Cookie) {
    sim::Count("CmUnRegisterCallback");
    sim::RequireIrqlAtMost(APC_LEVEL, "CmUnRegisterCallback");
    std::lock_guard<std::mutex> guard(sim::cm::S().lock);
    auto& callbacks = sim::cm::S().callbacks;
    auto it = std::find_if(callbacks.begin(), callbacks.end(),
                           [&](const auto& cb) { return cb.cookie.QuadPart == Cookie.QuadPart; });
    if (it == callbacks.end()) {
        return STATUS_INVALID_PARAMETER;
    }
    callbacks.erase(it);
    return STATUS_SUCCESS;
}

// Key-object names need the registry model; until it exists these stop the
// run rather than hand the driver a made-up name.
extern "C" NTSTATUS NTAPI CmCallbackGetKeyObjectID(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                   PCUNICODE_STRING* ObjectName) {
    sim::Count("CmCallbackGetKeyObjectID");
    sim::NotImplemented("CmCallbackGetKeyObjectID");
}

extern "C" NTSTATUS NTAPI CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                     PCUNICODE_STRING* ObjectName, ULONG Flags) {
    sim::Count("CmCallbackGetKeyObjectIDEx");
    sim::NotImplemented("CmCallbackGetKeyObjectIDEx");
}

extern "C" VOID NTAPI CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName) {
    sim::Count("CmCallbackReleaseKeyObjectIDEx");
    sim::NotImplemented("CmCallbackReleaseKeyObjectIDEx");
}
