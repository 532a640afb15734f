// Filter Manager: filter registration, start of filtering, unregistration and
// the filter's part in stopping its driver.
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/flt/flt.h"
#include "sim/io/io.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace sim::flt {

namespace {

std::mutex gFiltersLock;
// Every filter object since boot; unregistered ones stay so stale pointers are
// recognised.
std::vector<std::unique_ptr<_FLT_FILTER>>& AllFilters() {
    static std::vector<std::unique_ptr<_FLT_FILTER>> filters;
    return filters;
}

std::mutex gHooksLock;
std::vector<std::function<NTSTATUS(_FLT_FILTER*)>>& StartHooks() {
    static std::vector<std::function<NTSTATUS(_FLT_FILTER*)>> hooks;
    return hooks;
}
std::vector<std::function<void(_FLT_FILTER*)>>& TeardownHooks() {
    static std::vector<std::function<void(_FLT_FILTER*)>> hooks;
    return hooks;
}

// Largest tables we walk looking for their end marker; a table without one
// would make the real Filter Manager read past it.
constexpr size_t kMaxOperationEntries = 256;
constexpr size_t kMaxContextEntries = 64;

bool IsValidMajorp(UCHAR major) {
    if (major <= IRP_MJ_MAXIMUM_FUNCTION) {
        return true;
    }
    // Filter Manager pseudo-majors: -1 (ACQUIRE_FOR_SECTION_SYNCHRONIZATION) to
    // -7 (QUERY_OPEN) and -13 (FAST_IO_CHECK_IF_POSSIBLE) to -20 (VOLUME_DISMOUNT).
    const int negative = 256 - major;
    return (negative >= 1 && negative <= 7) || (negative >= 13 && negative <= 20);
}

bool IsValidContextTypep(USHORT type) {
    switch (type) {
    case FLT_VOLUME_CONTEXT:
    case FLT_INSTANCE_CONTEXT:
    case FLT_FILE_CONTEXT:
    case FLT_STREAM_CONTEXT:
    case FLT_STREAMHANDLE_CONTEXT:
    case FLT_TRANSACTION_CONTEXT:
    case 0x0040:  // section contexts
        return true;
    default:
        return false;
    }
}

constexpr ULONG kValidRegistrationFlags = 0x7;
constexpr ULONG kValidOperationFlags = 0xF;
constexpr USHORT kValidContextFlags = 0x1;
constexpr SIZE_T kVariableSizedContexts = static_cast<SIZE_T>(-1);

// Checks a registration record the way FltRegisterFilter does and copies what
// its version defines.
NTSTATUS CheckRegistrationp(const FLT_REGISTRATION* record, _FLT_FILTER* filter) {
    if (record == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT version = record->Version;
    if ((version & 0xFF00) != 0x0200 || version > FLT_REGISTRATION_VERSION_0203) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT required = version >= FLT_REGISTRATION_VERSION_0203   ? kRegistrationSizeV0203
                            : version >= FLT_REGISTRATION_VERSION_0202 ? kRegistrationSizeV0202
                                                                       : kRegistrationSizeV0200;
    if (record->Size < required) {
        return STATUS_INVALID_PARAMETER;
    }
    if ((record->Flags & ~kValidRegistrationFlags) != 0) {
        return STATUS_INVALID_PARAMETER;
    }

    // A name provider supplies both routines; one without the other is refused.
    PVOID normalizeEx = nullptr;
    if (version >= FLT_REGISTRATION_VERSION_0202) {
        std::memcpy(&normalizeEx, reinterpret_cast<const unsigned char*>(record) + 0x60, sizeof(normalizeEx));
    }
    const bool generates = record->GenerateFileNameCallback != nullptr;
    const bool normalizes = record->NormalizeNameComponentCallback != nullptr || normalizeEx != nullptr;
    if (generates != normalizes) {
        return STATUS_INVALID_PARAMETER;
    }
    if (record->NormalizeContextCleanupCallback != nullptr && !generates) {
        return STATUS_INVALID_PARAMETER;
    }

    std::vector<FLT_OPERATION_REGISTRATION> operations;
    if (record->OperationRegistration != nullptr) {
        size_t i = 0;
        for (; i < kMaxOperationEntries; ++i) {
            const FLT_OPERATION_REGISTRATION& entry = record->OperationRegistration[i];
            if (entry.MajorFunction == IRP_MJ_OPERATION_END) {
                break;
            }
            if (!IsValidMajorp(entry.MajorFunction) || (entry.Flags & ~kValidOperationFlags) != 0) {
                return STATUS_INVALID_PARAMETER;
            }
            operations.push_back(entry);
        }
        if (i == kMaxOperationEntries) {
            return STATUS_INVALID_PARAMETER;
        }
    }

    std::vector<FLT_CONTEXT_REGISTRATION> contexts;
    if (record->ContextRegistration != nullptr) {
        size_t i = 0;
        for (; i < kMaxContextEntries; ++i) {
            const FLT_CONTEXT_REGISTRATION& entry = record->ContextRegistration[i];
            if (entry.ContextType == FLT_CONTEXT_END) {
                break;
            }
            if (!IsValidContextTypep(entry.ContextType) || (entry.Flags & ~kValidContextFlags) != 0) {
                return STATUS_INVALID_PARAMETER;
            }
            const bool allocates = entry.ContextAllocateCallback != nullptr;
            const bool frees = entry.ContextFreeCallback != nullptr;
            if (allocates != frees) {
                return STATUS_INVALID_PARAMETER;
            }
            if (!allocates && entry.Size == 0) {
                return STATUS_INVALID_PARAMETER;
            }
            if (!allocates && entry.Size == kVariableSizedContexts &&
                (entry.Flags & 0x1 /* NO_EXACT_SIZE_MATCH */) != 0) {
                return STATUS_INVALID_PARAMETER;
            }
            contexts.push_back(entry);
        }
        if (i == kMaxContextEntries) {
            return STATUS_INVALID_PARAMETER;
        }
    }

    std::memcpy(&filter->registration, record, sizeof(FLT_REGISTRATION));
    filter->registration.Size = sizeof(FLT_REGISTRATION);
    filter->version = version;
    filter->operations = std::move(operations);
    filter->contextRegistrations = std::move(contexts);
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<_FLT_FILTER*> RegisteredFilters() {
    std::lock_guard<std::mutex> guard(gFiltersLock);
    std::vector<_FLT_FILTER*> result;
    for (auto& filter : AllFilters()) {
        if (filter->state.load() != FilterState::Unregistered) {
            result.push_back(filter.get());
        }
    }
    return result;
}

_FLT_FILTER* FindFilter(PDRIVER_OBJECT driver) {
    std::lock_guard<std::mutex> guard(gFiltersLock);
    for (auto& filter : AllFilters()) {
        if (filter->driver == driver && filter->state.load() != FilterState::Unregistered) {
            return filter.get();
        }
    }
    return nullptr;
}

_FLT_FILTER* CheckFilter(PFLT_FILTER filter, const char* routine) {
    bool known = false;
    {
        std::lock_guard<std::mutex> guard(gFiltersLock);
        for (auto& entry : AllFilters()) {
            if (entry.get() == filter) {
                known = true;
                break;
            }
        }
    }
    if (!known) {
        BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                 std::string(routine) + ": not a filter object", reinterpret_cast<ULONG_PTR>(filter));
    }
    if (filter->state.load() == FilterState::Unregistered) {
        BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                 std::string(routine) + ": filter already unregistered (used after free)",
                 reinterpret_cast<ULONG_PTR>(filter));
    }
    return filter;
}

bool AcquireRundown(_FLT_FILTER* filter) {
    std::lock_guard<std::mutex> guard(filter->lock);
    if (filter->state.load() != FilterState::Registered) {
        return false;
    }
    ++filter->rundown;
    return true;
}

void ReleaseRundown(_FLT_FILTER* filter) {
    std::lock_guard<std::mutex> guard(filter->lock);
    if (filter->rundown <= 0) {
        BugCheck(kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM", "filter rundown released more often than acquired",
                 reinterpret_cast<ULONG_PTR>(filter));
    }
    if (--filter->rundown == 0) {
        filter->rundownIdle.notify_all();
    }
}

void RegisterFilterHooks(std::function<NTSTATUS(_FLT_FILTER*)> start, std::function<void(_FLT_FILTER*)> teardown) {
    std::lock_guard<std::mutex> guard(gHooksLock);
    if (start) {
        StartHooks().push_back(std::move(start));
    }
    if (teardown) {
        TeardownHooks().push_back(std::move(teardown));
    }
}

// Forgets every filter (kernel reset). Tests join their threads before that.
void ResetFilters() {
    std::lock_guard<std::mutex> guard(gFiltersLock);
    AllFilters().clear();
}

namespace {
const bool gRegistered = [] {
    RegisterResetHook("flt", [] {
        ResetPorts();
        ResetFilters();
    });
    return true;
}();
}  // namespace

// The Filter Manager's part in stopping a driver: the filter's unload
// callback runs first and may refuse the stop.
NTSTATUS FilterStopHookp(PDRIVER_OBJECT driver) {
    _FLT_FILTER* filter = FindFilter(driver);
    if (filter == nullptr || filter->state.load() != FilterState::Registered) {
        return STATUS_SUCCESS;
    }
    PFLT_FILTER_UNLOAD_CALLBACK unload = filter->registration.FilterUnloadCallback;
    if (unload == nullptr) {
        // A filter without an unload callback cannot be unloaded.
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    RequireIrqlAtMost(PASSIVE_LEVEL, "FilterUnloadCallback");
    // A service stop is not a mandatory unload: the filter may refuse it.
    NTSTATUS status = STATUS_SUCCESS;
    OnKernelStack("filter unload", StackEntry::SystemThread, [&] {
        const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(unload), "filter unload");
        const CallbackEntry entry = EnterDriverCallback();
        status = unload(0);
        CheckCallbackReturn(entry, "filter unload callback");
    });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return STATUS_SUCCESS;
}

std::vector<std::string> FilterLeftoverCheckp(PDRIVER_OBJECT driver) {
    std::vector<std::string> leftovers;
    if (_FLT_FILTER* filter = FindFilter(driver)) {
        leftovers.push_back("Filter Manager: filter " + std::to_string(reinterpret_cast<ULONG_PTR>(filter)) +
                            " is still registered (FltUnregisterFilter was never called)");
    }
    return leftovers;
}

void HookDriverStopsOncep() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterDriverStopHook(FilterStopHookp);
        RegisterDriverLeftoverCheck(FilterLeftoverCheckp);
    });
}

}  // namespace sim::flt

using namespace sim::flt;

extern "C" NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION* Registration,
                                             PFLT_FILTER* RetFilter) {
    sim::Count("FltRegisterFilter");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltRegisterFilter");
    if (RetFilter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *RetFilter = nullptr;
    if (Driver == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    HookDriverStopsOncep();
    NTSTATUS status = sim::TakeInjectedFailure("FltRegisterFilter");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto filter = std::make_unique<_FLT_FILTER>();
    filter->driver = Driver;
    status = CheckRegistrationp(Registration, filter.get());
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(gFiltersLock);
    for (auto& existing : AllFilters()) {
        // The filter is known by its driver's service name: a second filter
        // for the same driver collides with the first.
        if (existing->driver == Driver && existing->state.load() != FilterState::Unregistered) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    *RetFilter = filter.get();
    AllFilters().push_back(std::move(filter));
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter) {
    sim::Count("FltStartFiltering");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltStartFiltering");
    _FLT_FILTER* filter = CheckFilter(Filter, "FltStartFiltering");
    NTSTATUS status = sim::TakeInjectedFailure("FltStartFiltering");
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (filter->state.load() != FilterState::Registered) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    bool expected = false;
    if (!filter->started.compare_exchange_strong(expected, true)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<std::function<NTSTATUS(_FLT_FILTER*)>> hooks;
    {
        std::lock_guard<std::mutex> guard(gHooksLock);
        hooks = StartHooks();
    }
    for (auto& hook : hooks) {
        status = hook(filter);
        if (!NT_SUCCESS(status)) {
            filter->started.store(false);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

extern "C" VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter) {
    sim::Count("FltUnregisterFilter");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "FltUnregisterFilter");
    _FLT_FILTER* filter = CheckFilter(Filter, "FltUnregisterFilter");
    FilterState expected = FilterState::Registered;
    if (!filter->state.compare_exchange_strong(expected, FilterState::Unregistering)) {
        sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                      "FltUnregisterFilter: filter is already being unregistered", reinterpret_cast<ULONG_PTR>(filter));
    }

    std::vector<std::shared_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        if (!filter->serverPorts.empty()) {
            // The real Filter Manager waits for the port's last reference
            // here and never returns; stop with a report instead of hanging.
            sim::BugCheck(sim::kBugFltmgrFileSystem, "FLTMGR_FILE_SYSTEM",
                          "FltUnregisterFilter: a communication port of the filter is still open "
                          "(FltCloseCommunicationPort was not called); unregistering would wait forever",
                          reinterpret_cast<ULONG_PTR>(filter), reinterpret_cast<ULONG_PTR>(filter->serverPorts.front()));
        }
        connections = filter->connections;
    }
    // Clients are disconnected first (their DisconnectNotify runs here), which
    // also releases senders blocked on them.
    for (auto& connection : connections) {
        DisconnectConnection(connection, true);
    }

    std::vector<std::function<void(_FLT_FILTER*)>> hooks;
    {
        std::lock_guard<std::mutex> guard(gHooksLock);
        hooks = TeardownHooks();
    }
    for (auto& hook : hooks) {
        hook(filter);
    }

    {
        std::unique_lock<std::mutex> guard(filter->lock);
        filter->rundownIdle.wait(guard, [filter] { return filter->rundown == 0; });
        // A connect that was already past its rundown check when the first
        // pass ran has finished by now; disconnect it too.
        connections = filter->connections;
    }
    for (auto& connection : connections) {
        DisconnectConnection(connection, true);
    }
    {
        std::lock_guard<std::mutex> guard(filter->lock);
        filter->connections.clear();
    }
    filter->started.store(false);
    filter->state.store(FilterState::Unregistered);
}
