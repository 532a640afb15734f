// Configuration manager: registry callback registration, the delivery of
// notifications around registry operations, and the key-object-id routines.
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/cm/cm.h"

#include "sim/io/io.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>

namespace sim::cm {
namespace {

// STOP 0x4A: a system service (here: the registry call) returned to its caller
// at a raised IRQL.
constexpr ULONG kBugIrqlGtZeroAtSystemService = 0x4A;

struct Registration {
    CallbackRegistration record;
    long double order = -1;  // numeric altitude; legacy registrations sort last
    int inFlight = 0;
    bool removing = false;
};

struct CmState {
    std::mutex lock;
    std::condition_variable idle;
    // Kept sorted by altitude, highest first; entries being removed stay until
    // their calls in flight are done.
    std::vector<std::shared_ptr<Registration>> callbacks;
    LONGLONG nextCookie = 0x1000;
    bool postErrorsChangeResult = false;
    size_t waitingRemovals = 0;
    std::function<void()> nameLookupHook;
    std::function<void()> registrationHook;
    std::set<const UNICODE_STRING*> outstandingNames;
    std::vector<std::pair<const UNICODE_STRING*, PDRIVER_OBJECT>> nameOwners;
};

CmState& S() {
    static CmState* state = new CmState;
    return *state;
}

// The callbacks this host thread is running now (innermost last), so a removal
// from inside one of them is caught instead of waiting for itself forever.
thread_local std::vector<const Registration*> tRunning;

// Altitudes are decimal strings; they order as numbers ("380010" < "400000"),
// with the fractional part after a dot ("385100.5").
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
        if (cb->record.driver == driver) {
            leftovers.push_back("registry callback still registered (altitude \"" +
                                std::string(cb->record.altitude.begin(), cb->record.altitude.end()) + "\")");
        }
    }
    for (const auto& [name, owner] : S().nameOwners) {
        if (owner == driver) {
            leftovers.push_back("key name from CmCallbackGetKeyObjectIDEx never given back with "
                                "CmCallbackReleaseKeyObjectIDEx (leaked)");
        }
    }
    return leftovers;
}

const bool kLeftoverCheckRegistered = (RegisterDriverLeftoverCheck(Leftoversp), true);

NTSTATUS Registerp(PEX_CALLBACK_FUNCTION function, PCUNICODE_STRING altitude, PDRIVER_OBJECT driver, PVOID context,
                   PLARGE_INTEGER cookie) {
    auto registration = std::make_shared<Registration>();
    registration->record.function = function;
    registration->record.context = context;
    registration->record.driver = driver;
    if (altitude != nullptr) {
        registration->record.altitude.assign(altitude->Buffer, altitude->Length / sizeof(WCHAR));
    }
    registration->order = AltitudeValuep(registration->record.altitude);
    std::unique_lock<std::mutex> guard(S().lock);
    if (altitude != nullptr) {
        for (const auto& cb : S().callbacks) {
            if (!cb->removing && cb->record.altitude == registration->record.altitude) {
                return STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
            }
        }
    }
    registration->record.cookie.QuadPart = S().nextCookie;
    S().nextCookie += 0x10;
    *cookie = registration->record.cookie;
    auto& callbacks = S().callbacks;
    auto at = std::find_if(callbacks.begin(), callbacks.end(),
                           [&](const auto& cb) { return cb->order < registration->order; });
    callbacks.insert(at, registration);
    std::function<void()> hook = S().registrationHook;
    guard.unlock();
    if (hook) {
        hook();
    }
    return STATUS_SUCCESS;
}

// Calls one callback in the current thread with the guards the real system
// applies on the way back: the registry call returns to its caller at the IRQL
// it came in with, and no fast mutex may stay held.
NTSTATUS CallOnep(const std::shared_ptr<Registration>& cb, REG_NOTIFY_CLASS notifyClass, PVOID information) {
    ThreadState& thread = CurrentThreadState();
    const KIRQL irql = thread.irql;
    const int mutexes = thread.fastMutexesHeld;
    tRunning.push_back(cb.get());
    NTSTATUS status = STATUS_SUCCESS;
    const CallbackEntry entry = EnterDriverCallback();
    OnKernelStack("registry callback", StackEntry::SystemCall, [&] {
        const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(cb->record.function), "registry callback");
        status = cb->record.function(cb->record.context, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(notifyClass)),
                                     information);
    });
    tRunning.pop_back();
    if (thread.fastMutexesHeld != mutexes) {
        BugCheck(kBugApcIndexMismatch, "APC_INDEX_MISMATCH",
                 "registry callback returned holding a fast mutex, notify class " + std::to_string(notifyClass),
                 static_cast<ULONG_PTR>(thread.fastMutexesHeld), static_cast<ULONG_PTR>(mutexes));
    }
    if (thread.irql != irql) {
        BugCheck(kBugIrqlGtZeroAtSystemService, "IRQL_GT_ZERO_AT_SYSTEM_SERVICE",
                 "registry callback returned at IRQL " + std::to_string(thread.irql) + " (called at " +
                     std::to_string(irql) + "), notify class " + std::to_string(notifyClass),
                 thread.irql, irql);
    }
    CheckCallbackReturn(entry, "registry callback");
    return status;
}

// The callbacks to call for one notification, each counted in flight.
std::vector<std::shared_ptr<Registration>> Enterp() {
    std::vector<std::shared_ptr<Registration>> active;
    std::lock_guard<std::mutex> guard(S().lock);
    active.reserve(S().callbacks.size());
    for (const auto& cb : S().callbacks) {
        if (!cb->removing) {
            ++cb->inFlight;
            active.push_back(cb);
        }
    }
    return active;
}

void Leavep(const std::shared_ptr<Registration>& cb) {
    std::lock_guard<std::mutex> guard(S().lock);
    if (--cb->inFlight == 0 && cb->removing) {
        S().idle.notify_all();
    }
}

}  // namespace

std::vector<CallbackRegistration> Callbacks() {
    std::vector<CallbackRegistration> sorted;
    std::lock_guard<std::mutex> guard(S().lock);
    for (const auto& cb : S().callbacks) {
        if (!cb->removing) {
            sorted.push_back(cb->record);
        }
    }
    return sorted;
}

bool IsRegistered(PEX_CALLBACK_FUNCTION function) {
    std::lock_guard<std::mutex> guard(S().lock);
    return std::any_of(S().callbacks.begin(), S().callbacks.end(),
                       [&](const auto& cb) { return !cb->removing && cb->record.function == function; });
}

bool IsCookieRegistered(const LARGE_INTEGER& cookie) {
    std::lock_guard<std::mutex> guard(S().lock);
    return std::any_of(S().callbacks.begin(), S().callbacks.end(),
                       [&](const auto& cb) { return !cb->removing && cb->record.cookie.QuadPart == cookie.QuadPart; });
}

NTSTATUS NotifyPre(REG_NOTIFY_CLASS notifyClass, PVOID information) {
    auto active = Enterp();
    NTSTATUS result = STATUS_SUCCESS;
    size_t i = 0;
    for (; i < active.size(); ++i) {
        NTSTATUS status = CallOnep(active[i], notifyClass, information);
        Leavep(active[i]);
        if (!NT_SUCCESS(status)) {
            result = status;
            ++i;
            break;
        }
    }
    for (; i < active.size(); ++i) {
        Leavep(active[i]);
    }
    return result;
}

NTSTATUS NotifyPost(REG_NOTIFY_CLASS notifyClass, PREG_POST_OPERATION_INFORMATION post) {
    bool changeOnError;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        changeOnError = S().postErrorsChangeResult;
    }
    NTSTATUS result = post->Status;
    for (const auto& cb : Enterp()) {
        NTSTATUS status = CallOnep(cb, notifyClass, post);
        Leavep(cb);
        if (status == STATUS_CALLBACK_BYPASS) {
            result = post->ReturnStatus;
            post->Status = post->ReturnStatus;
        } else if (!NT_SUCCESS(status) && changeOnError) {
            result = status;
        }
    }
    return result;
}

void SetPostErrorsChangeResult(bool change) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().postErrorsChangeResult = change;
}

size_t UnregistrationsWaiting() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().waitingRemovals;
}

void SetRegistrationHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().registrationHook = std::move(hook);
}

void SetNameLookupHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().nameLookupHook = std::move(hook);
}

size_t OutstandingKeyNames() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().outstandingNames.size();
}

void ResetCm() {
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().callbacks.clear();
        S().nextCookie = 0x1000;
        S().postErrorsChangeResult = false;
        S().waitingRemovals = 0;
        S().nameLookupHook = nullptr;
        S().registrationHook = nullptr;
        for (const UNICODE_STRING* name : S().outstandingNames) {
            delete[] name->Buffer;
            delete name;
        }
        S().outstandingNames.clear();
        S().nameOwners.clear();
    }
    ResetRegistry();
}

namespace {

// A cookie of a live registration and a live key object; *driver is the
// driver the registration is charged to.
NTSTATUS CheckLookupArgumentsp(PLARGE_INTEGER cookie, PVOID object, KeyObject** key, PDRIVER_OBJECT* driver) {
    *key = nullptr;
    if (cookie == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto it = std::find_if(S().callbacks.begin(), S().callbacks.end(), [&](const auto& cb) {
            return !cb->removing && cb->record.cookie.QuadPart == cookie->QuadPart;
        });
        if (it == S().callbacks.end()) {
            return STATUS_INVALID_PARAMETER;
        }
        *driver = (*it)->record.driver;
    }
    *key = AsKeyObject(object);
    return *key == nullptr ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void RunLookupHookp() {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        hook = S().nameLookupHook;
    }
    if (hook) {
        hook();
    }
}

}  // namespace

}  // namespace sim::cm

using namespace sim;

extern "C" NTSTATUS NTAPI CmRegisterCallback(PEX_CALLBACK_FUNCTION Function, PVOID Context, PLARGE_INTEGER Cookie) {
    Count("CmRegisterCallback");
    RequireIrqlAtMost(APC_LEVEL, "CmRegisterCallback");
    NTSTATUS injected = TakeInjectedFailure("CmRegisterCallback");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (Function == nullptr || Cookie == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return cm::Registerp(Function, nullptr, CurrentDriverContext(), Context, Cookie);
}

extern "C" NTSTATUS NTAPI CmRegisterCallbackEx(PEX_CALLBACK_FUNCTION Function, PCUNICODE_STRING Altitude, PVOID Driver,
                                               PVOID Context, PLARGE_INTEGER Cookie, PVOID Reserved) {
    Count("CmRegisterCallbackEx");
    RequireIrqlAtMost(APC_LEVEL, "CmRegisterCallbackEx");
    NTSTATUS injected = TakeInjectedFailure("CmRegisterCallbackEx");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (Function == nullptr || Cookie == nullptr || Driver == nullptr || Reserved != nullptr ||
        !cm::IsDecimalAltitudep(Altitude)) {
        return STATUS_INVALID_PARAMETER;
    }
    return cm::Registerp(Function, Altitude, static_cast<PDRIVER_OBJECT>(Driver), Context, Cookie);
}

// Removal waits until no thread runs the callback any more; new notifications
// skip it from the moment the removal starts.
extern "C" NTSTATUS NTAPI CmUnRegisterCallback(LARGE_INTEGER Cookie) {
    Count("CmUnRegisterCallback");
    RequireIrqlAtMost(APC_LEVEL, "CmUnRegisterCallback");
    NTSTATUS injected = TakeInjectedFailure("CmUnRegisterCallback");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    auto& state = cm::S();
    std::unique_lock<std::mutex> guard(state.lock);
    auto it = std::find_if(state.callbacks.begin(), state.callbacks.end(), [&](const auto& cb) {
        return !cb->removing && cb->record.cookie.QuadPart == Cookie.QuadPart;
    });
    if (it == state.callbacks.end()) {
        return STATUS_INVALID_PARAMETER;
    }
    std::shared_ptr<cm::Registration> entry = *it;
    if (std::find(cm::tRunning.begin(), cm::tRunning.end(), entry.get()) != cm::tRunning.end()) {
        BugCheck(kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "CmUnRegisterCallback called from the callback it removes (it would wait for itself)");
    }
    entry->removing = true;
    ++state.waitingRemovals;
    state.idle.wait(guard, [&] { return entry->inFlight == 0; });
    --state.waitingRemovals;
    state.callbacks.erase(std::find(state.callbacks.begin(), state.callbacks.end(), entry));
    return STATUS_SUCCESS;
}

// The name belongs to the system: it lives until the key's last object goes.
extern "C" NTSTATUS NTAPI CmCallbackGetKeyObjectID(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                   PCUNICODE_STRING* ObjectName) {
    Count("CmCallbackGetKeyObjectID");
    RequireIrqlAtMost(APC_LEVEL, "CmCallbackGetKeyObjectID");
    NTSTATUS injected = TakeInjectedFailure("CmCallbackGetKeyObjectID");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    cm::KeyObject* key = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    NTSTATUS status = cm::CheckLookupArgumentsp(Cookie, Object, &key, &owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectID != nullptr) {
        *ObjectID = cm::KeyObjectId(key);
    }
    if (ObjectName != nullptr) {
        *ObjectName = cm::KeyObjectLegacyName(key);
    }
    cm::RunLookupHookp();
    return STATUS_SUCCESS;
}

// The name is the caller's: a fresh copy of the key's current full name that
// must be given back with CmCallbackReleaseKeyObjectIDEx.
extern "C" NTSTATUS NTAPI CmCallbackGetKeyObjectIDEx(PLARGE_INTEGER Cookie, PVOID Object, PULONG_PTR ObjectID,
                                                     PCUNICODE_STRING* ObjectName, ULONG Flags) {
    Count("CmCallbackGetKeyObjectIDEx");
    RequireIrqlAtMost(APC_LEVEL, "CmCallbackGetKeyObjectIDEx");
    NTSTATUS injected = TakeInjectedFailure("CmCallbackGetKeyObjectIDEx");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (Flags != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    cm::KeyObject* key = nullptr;
    PDRIVER_OBJECT owner = nullptr;
    NTSTATUS status = cm::CheckLookupArgumentsp(Cookie, Object, &key, &owner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ObjectID != nullptr) {
        *ObjectID = cm::KeyObjectId(key);
    }
    if (ObjectName != nullptr) {
        std::u16string path = cm::KeyObjectName(key);
        auto* name = new UNICODE_STRING;
        name->Length = static_cast<USHORT>(path.size() * sizeof(WCHAR));
        name->MaximumLength = name->Length;
        name->Buffer = new WCHAR[path.size() + 1];
        std::copy(path.begin(), path.end(), name->Buffer);
        name->Buffer[path.size()] = 0;
        {
            std::lock_guard<std::mutex> guard(cm::S().lock);
            cm::S().outstandingNames.insert(name);
            cm::S().nameOwners.emplace_back(name, owner);
        }
        *ObjectName = name;
    }
    cm::RunLookupHookp();
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI CmCallbackReleaseKeyObjectIDEx(PCUNICODE_STRING ObjectName) {
    Count("CmCallbackReleaseKeyObjectIDEx");
    RequireIrqlAtMost(APC_LEVEL, "CmCallbackReleaseKeyObjectIDEx");
    {
        std::lock_guard<std::mutex> guard(cm::S().lock);
        if (cm::S().outstandingNames.erase(ObjectName) == 0) {
            BugCheck(kBugBadPoolCaller, "BAD_POOL_CALLER",
                     "CmCallbackReleaseKeyObjectIDEx of a name that CmCallbackGetKeyObjectIDEx did not hand out "
                     "(or that was given back already)",
                     reinterpret_cast<ULONG_PTR>(ObjectName));
        }
        auto& owners = cm::S().nameOwners;
        owners.erase(std::find_if(owners.begin(), owners.end(), [&](const auto& e) { return e.first == ObjectName; }));
    }
    delete[] ObjectName->Buffer;
    delete ObjectName;
}
