// I/O manager: driver objects, loading and stopping, the leftover checks
// after a driver goes, and the reset of the I/O manager's state.
#include "sim/ke/stack.h"
#include "sim/loader/loader.h"
#include "sim/io/local.h"

#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <algorithm>

namespace sim {

IoState& S() {
    static IoState* state = new IoState;
    return *state;
}

thread_local std::vector<PDRIVER_OBJECT> tDriverContext;

namespace {

// Runs driver code at PASSIVE_LEVEL in a thread of the System process and
// checks that it returned the way it came in.
template <typename Fn>
void RunInSystemThreadp(PDRIVER_OBJECT driver, const char* what, Fn&& fn) {
    RequireIrqlAtMost(PASSIVE_LEVEL, what);
    ThreadScope system(SystemProcess());
    DriverContextScope context(driver);
    int mutexesBefore = CurrentThreadState().fastMutexesHeld;
    fn();
    if (CurrentThreadState().irql != PASSIVE_LEVEL) {
        BugCheck(kBugIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", std::string(what) + " returned at a raised IRQL",
                 CurrentThreadState().irql);
    }
    if (CurrentThreadState().fastMutexesHeld != mutexesBefore) {
        BugCheck(kBugApcIndexMismatch, "APC_INDEX_MISMATCH", std::string(what) + " returned holding a fast mutex");
    }
}

}  // namespace

std::string Narrowp(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

namespace {

NTSTATUS NTAPI InvalidDeviceRequestp(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void DeleteDriverMemoryp(void* object) { delete static_cast<PDRIVER_OBJECT>(object); }

}  // namespace

DriverRecord* FindDriverLockedp(PDRIVER_OBJECT driver) {
    for (auto& record : S().drivers) {
        if (record.driver == driver) {
            return &record;
        }
    }
    return nullptr;
}

namespace {

// Devices and links the driver still has, plus what the other areas report.
std::vector<std::string> CollectLeftoversp(PDRIVER_OBJECT driver) {
    std::vector<std::string> leftovers;
    std::vector<DriverLeftoverCheck> checks;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
            auto it = S().devices.find(device);
            std::string name = it != S().devices.end() && it->second.named ? Narrowp(it->second.name) : "(unnamed)";
            leftovers.push_back("device " + name + " not deleted");
        }
        for (const auto& link : S().links) {
            if (link.owner == driver) {
                leftovers.push_back("symbolic link " + Narrowp(link.path) + " not deleted");
            }
        }
        checks = S().leftoverChecks;
    }
    for (auto& check : checks) {
        for (auto& line : check(driver)) {
            leftovers.push_back(line);
        }
    }
    return leftovers;
}

// Reports leftovers, and in the non-fatal mode removes the devices and links
// so the machine stays usable.
void ReportLeftoversp(PDRIVER_OBJECT driver, const std::string& when, const std::vector<std::string>& leftovers) {
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().lastLeftovers = leftovers;
    }
    if (leftovers.empty()) {
        return;
    }
    bool fatal;
    std::u16string driverName;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        fatal = S().leftoversFatal;
        DriverRecord* record = FindDriverLockedp(driver);
        driverName = record != nullptr ? record->driverName : u"?";
    }
    if (fatal) {
        std::string detail = Narrowp(driverName) + " " + when + " but left behind:";
        for (const auto& line : leftovers) {
            detail += "\n***   " + line;
        }
        BugCheck(kBugDriverUnloadedWithoutCancellingPending, "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS",
                 detail, reinterpret_cast<ULONG_PTR>(driver));
    }
    while (driver->DeviceObject != nullptr) {
        IoDeleteDevice(driver->DeviceObject);
    }
    std::vector<std::u16string> links;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        for (const auto& link : S().links) {
            if (link.owner == driver) {
                links.push_back(link.path);
            }
        }
    }
    for (auto& path : links) {
        UNICODE_STRING name{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2), path.data()};
        IoDeleteSymbolicLink(&name);
    }
}

void FreeDriverObjectp(PDRIVER_OBJECT driver) {
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto& drivers = S().drivers;
        auto it = std::find_if(drivers.begin(), drivers.end(), [&](const auto& r) { return r.driver == driver; });
        if (it != drivers.end()) {
            path = it->namespacePath;
            drivers.erase(it);
        }
    }
    ob::RemoveObject(path, driver);
    sim::loader::DriverObjectFreed(driver);
    ob::DereferenceObject(driver);
}

}  // namespace

// DriverUnload, the wait for work items, the leftover check and the free.
void FinishUnloadp(PDRIVER_OBJECT driver) {
    RunInSystemThreadp(driver, "DriverUnload", [&] {
        OnKernelStack("driver unload", StackEntry::SystemThread, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(driver->DriverUnload), "driver unload");
            driver->DriverUnload(driver);
        });
    });
    io::WaitWorkItemsOfDriver(driver);
    ReportLeftoversp(driver, "unloaded", CollectLeftoversp(driver));
    FreeDriverObjectp(driver);
}

// ---------------------------------------------------------------------------
// Host API.

PDRIVER_OBJECT CurrentDriverContext() { return tDriverContext.empty() ? nullptr : tDriverContext.back(); }

void RegisterDriverStopHook(DriverStopHook hook) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().stopHooks.push_back(std::move(hook));
}

void RegisterDriverLeftoverCheck(DriverLeftoverCheck check) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().leftoverChecks.push_back(std::move(check));
}

void SetLeftoverReportsAreFatal(bool fatal) {
    std::lock_guard<std::mutex> guard(S().lock);
    S().leftoversFatal = fatal;
}

std::vector<std::string> LastLeftoverReport() {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().lastLeftovers;
}

std::vector<PDRIVER_OBJECT> LoadedDrivers() {
    std::vector<PDRIVER_OBJECT> drivers;
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto& record : S().drivers) {
        drivers.push_back(record.driver);
    }
    return drivers;
}

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, PDRIVER_OBJECT* driver, PVOID imageBase,
                    ULONG imageSize) {
    *driver = nullptr;
    RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    auto* object = new DRIVER_OBJECT{};
    object->Type = kIoTypeDriver;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverInit = entry;
    object->DriverStart = imageBase;
    object->DriverSize = imageSize;
    for (auto& slot : object->MajorFunction) {
        slot = InvalidDeviceRequestp;
    }
    DriverRecord record;
    record.driver = object;
    record.serviceName = serviceName;
    record.driverName = u"\\Driver\\" + std::u16string(serviceName);
    record.namespacePath = record.driverName;
    NTSTATUS status = ob::InsertObject(record.namespacePath, ob::ObjectType::Driver, object);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        delete object;
        return STATUS_IMAGE_ALREADY_LOADED;
    }
    if (!NT_SUCCESS(status)) {
        delete object;
        return status;
    }
    ob::RegisterObject(object, ob::ObjectType::Driver, DeleteDriverMemoryp);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().drivers.push_back(record);
        DriverRecord& stored = S().drivers.back();
        auto bytes = static_cast<USHORT>(stored.driverName.size() * sizeof(WCHAR));
        object->DriverName = UNICODE_STRING{bytes, bytes, stored.driverName.data()};
    }
    std::u16string registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
    UNICODE_STRING registry{static_cast<USHORT>(registryPath.size() * 2), static_cast<USHORT>(registryPath.size() * 2),
                            registryPath.data()};

    RunInSystemThreadp(object, "DriverEntry", [&] {
        OnKernelStack("driver entry", StackEntry::SystemThread, [&] {
            const sim::loader::DriverCall driverCall(reinterpret_cast<const void*>(entry), "driver entry");
            status = entry(object, &registry);
        });
    });

    if (!NT_SUCCESS(status)) {
        // A failed start must undo itself: no unload routine will run.
        io::WaitWorkItemsOfDriver(object);
        ReportLeftoversp(object, "failed to start (status " + std::to_string(static_cast<ULONG>(status)) + ")",
                         CollectLeftoversp(object));
        FreeDriverObjectp(object);
        return status;
    }
    // The I/O manager readies the devices DriverEntry made.
    for (PDEVICE_OBJECT device = object->DeviceObject; device != nullptr; device = device->NextDevice) {
        device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    }
    *driver = object;
    return STATUS_SUCCESS;
}

NTSTATUS StopDriver(PDRIVER_OBJECT driver) {
    RequireIrqlAtMost(PASSIVE_LEVEL, "StopDriver");
    std::vector<DriverStopHook> hooks;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        DriverRecord* record = FindDriverLockedp(driver);
        if (record == nullptr || record->unloadPending) {
            return STATUS_INVALID_PARAMETER;
        }
        if (driver->DriverUnload == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        hooks = S().stopHooks;
    }
    for (auto& hook : hooks) {
        NTSTATUS status = STATUS_SUCCESS;
        RunInSystemThreadp(driver, "driver stop hook", [&] { status = hook(driver); });
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    {
        // Open handles to its devices keep the driver: the unload completes
        // when the last one goes.
        std::lock_guard<std::mutex> guard(S().lock);
        for (PDEVICE_OBJECT device = driver->DeviceObject; device != nullptr; device = device->NextDevice) {
            if (device->ReferenceCount != 0) {
                FindDriverLockedp(driver)->unloadPending = true;
                return STATUS_SUCCESS;
            }
        }
    }
    FinishUnloadp(driver);
    return STATUS_SUCCESS;
}

namespace io {

void ResetIo() {
    std::vector<PDRIVER_OBJECT> drivers;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        for (auto& [device, record] : S().devices) {
            ::operator delete(device);
        }
        for (auto& record : S().drivers) {
            drivers.push_back(record.driver);
        }
        for (auto& [file, record] : S().files) {
            delete file;
        }
        S().devices.clear();
        S().drivers.clear();
        S().links.clear();
        S().files.clear();
        S().irps.clear();
        S().freedIrps.clear();
        S().leftoversFatal = true;
        S().lastLeftovers.clear();
    }
    for (PDRIVER_OBJECT driver : drivers) {
        delete driver;
    }
}

}  // namespace io
}  // namespace sim
