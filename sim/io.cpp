// I/O manager: driver objects, loading and stopping, devices and links,
// device security, IRPs with stack locations and their completion, and the
// user side of a control device (open, device control, close).
#include "sim/private/io.h"

#include "sim/private/ob.h"
#include "sim/private/ps.h"
#include "sim/private/security.h"
#include "sim/user/device.h"

#include <functional>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace sim {
namespace {

constexpr SHORT kIoTypeDriver = 4;
constexpr SHORT kIoTypeDevice = 3;
constexpr SHORT kIoTypeFile = 5;
constexpr SHORT kIoTypeIrp = 6;

// What the I/O manager keeps beside a DEVICE_OBJECT.
struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    bool named = false;
    bool deleted = false;
    std::vector<uint8_t> security;  // private copy set through ObSetSecurityObjectByPointer
    LONG openFiles = 0;
};

struct DriverRecord {
    PDRIVER_OBJECT driver = nullptr;
    std::u16string serviceName;
    std::u16string driverName;  // storage behind DriverObject->DriverName
    std::u16string namespacePath;
    bool unloadPending = false;
};

struct LinkRecord {
    std::u16string path;
    PDRIVER_OBJECT owner = nullptr;
};

// An open of a device (the body of a FILE_OBJECT handle).
struct FileRecord {
    std::u16string fileName;
};

struct IrpState {
    IRP irp{};
    std::vector<IO_STACK_LOCATION> stack;
    bool completed = false;
    std::condition_variable done;
};

struct IoState {
    std::mutex lock;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices;
    std::vector<DriverRecord> drivers;
    std::vector<LinkRecord> links;
    std::unordered_map<PFILE_OBJECT, FileRecord> files;
    std::unordered_map<PIRP, std::unique_ptr<IrpState>> irps;
    std::deque<std::unique_ptr<IrpState>> freedIrps;  // kept a while so a late completion is caught

    // Persist across resets.
    std::vector<DriverStopHook> stopHooks;
    std::vector<DriverLeftoverCheck> leftoverChecks;

    bool leftoversFatal = true;
    std::vector<std::string> lastLeftovers;
};

IoState& S() {
    static IoState* state = new IoState;
    return *state;
}

constexpr size_t kFreedIrpQuarantine = 256;

thread_local std::vector<PDRIVER_OBJECT> tDriverContext;

// Marks the current host thread as running `driver`'s code.
class DriverContextScope {
public:
    explicit DriverContextScope(PDRIVER_OBJECT driver) { tDriverContext.push_back(driver); }
    ~DriverContextScope() { tDriverContext.pop_back(); }
    DriverContextScope(const DriverContextScope&) = delete;
    DriverContextScope& operator=(const DriverContextScope&) = delete;
};

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

std::string Narrowp(std::u16string_view s) {
    std::string out;
    for (char16_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::u16string FromUnicodeStringp(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

NTSTATUS NTAPI InvalidDeviceRequestp(PDEVICE_OBJECT, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void DeleteDeviceMemoryp(void* object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().devices.erase(device);
    }
    ::operator delete(device);
}

void DeleteDriverMemoryp(void* object) { delete static_cast<PDRIVER_OBJECT>(object); }

DriverRecord* FindDriverLockedp(PDRIVER_OBJECT driver) {
    for (auto& record : S().drivers) {
        if (record.driver == driver) {
            return &record;
        }
    }
    return nullptr;
}

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
    ob::DereferenceObject(driver);
}

// DriverUnload, the wait for work items, the leftover check and the free.
void FinishUnloadp(PDRIVER_OBJECT driver) {
    RunInSystemThreadp(driver, "DriverUnload", [&] { driver->DriverUnload(driver); });
    io::WaitWorkItemsOfDriver(driver);
    ReportLeftoversp(driver, "unloaded", CollectLeftoversp(driver));
    FreeDriverObjectp(driver);
}

// ---------------------------------------------------------------------------
// IRPs.

PIRP AllocateIrpp(CHAR stackSize) {
    auto state = std::make_unique<IrpState>();
    state->stack.resize(static_cast<size_t>(stackSize) + 1);  // one spare slot past the end for the pointer
    IRP& irp = state->irp;
    irp.Type = kIoTypeIrp;
    irp.Size = static_cast<USHORT>(sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION));
    irp.StackCount = stackSize;
    irp.CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp.Tail.Overlay.CurrentStackLocation = state->stack.data() + stackSize;
    irp.Tail.Overlay.Thread = CurrentThread();
    irp.RequestorMode = UserMode;
    PIRP result = &state->irp;
    std::lock_guard<std::mutex> guard(S().lock);
    S().irps[result] = std::move(state);
    return result;
}

void FreeIrpp(PIRP irp) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().irps.find(irp);
    if (it == S().irps.end()) {
        return;
    }
    S().freedIrps.push_back(std::move(it->second));
    S().irps.erase(it);
    while (S().freedIrps.size() > kFreedIrpQuarantine) {
        S().freedIrps.pop_front();
    }
}

// Sends a request built by `setup` to the top of `file`'s device and waits
// for its completion. Returns the completed status and Information.
template <typename Setup>
NTSTATUS SendRequestp(PFILE_OBJECT file, UCHAR major, Setup&& setup, ULONG_PTR* information) {
    *information = 0;
    PDEVICE_OBJECT device = file->DeviceObject;
    PIRP irp = AllocateIrpp(device->StackSize);
    irp->Tail.Overlay.OriginalFileObject = file;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->FileObject = file;
    setup(irp, next);

    NTSTATUS returned = IofCallDriver(device, irp);
    IrpState* state;
    {
        std::unique_lock<std::mutex> guard(S().lock);
        state = S().irps.at(irp).get();
        if (returned == STATUS_PENDING) {
            state->done.wait(guard, [&] { return state->completed; });
        } else if (!state->completed) {
            BugCheck(kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                     "dispatch routine returned without completing the request (major function " + std::to_string(major) +
                         ")",
                     reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG_PTR>(returned));
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (returned != STATUS_PENDING && returned != status) {
        BugCheck(kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "dispatch routine returned a status other than the one it completed the request with",
                 reinterpret_cast<ULONG_PTR>(irp), static_cast<ULONG_PTR>(returned), static_cast<ULONG_PTR>(status));
    }
    *information = irp->IoStatus.Information;
    FreeIrpp(irp);
    return status;
}

// ---------------------------------------------------------------------------
// File objects of device opens.

void DeleteFileObjectp(void* object) {
    auto* file = static_cast<PFILE_OBJECT>(object);
    PDEVICE_OBJECT device = file->DeviceObject;
    // Last reference: IRP_MJ_CLOSE, in the context of whichever thread dropped it.
    ULONG_PTR information;
    (void)SendRequestp(file, IRP_MJ_CLOSE, [](PIRP irp, PIO_STACK_LOCATION) { irp->Flags |= IRP_CLOSE_OPERATION; },
                       &information);
    PDRIVER_OBJECT finishUnload = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().files.erase(file);
        auto it = S().devices.find(device);
        if (it != S().devices.end()) {
            --it->second.openFiles;
            --device->ReferenceCount;
        }
        DriverRecord* record = FindDriverLockedp(device->DriverObject);
        if (record != nullptr && record->unloadPending) {
            bool busy = false;
            for (PDEVICE_OBJECT d = record->driver->DeviceObject; d != nullptr; d = d->NextDevice) {
                busy = busy || d->ReferenceCount != 0;
            }
            if (!busy) {
                record->unloadPending = false;
                finishUnload = record->driver;
            }
        }
    }
    delete file;
    ob::DereferenceObject(device);
    if (finishUnload != nullptr) {
        FinishUnloadp(finishUnload);
    }
}

void CloseDeviceFilep(_EPROCESS* process, void* object, ACCESS_MASK) {
    auto* file = static_cast<PFILE_OBJECT>(object);
    ULONG_PTR information;
    (void)SendRequestp(file, IRP_MJ_CLEANUP, [](PIRP, PIO_STACK_LOCATION) {}, &information);
    file->Flags |= FO_CLEANUP_COMPLETE;
    ob::DereferenceObject(file);
}

const ob::HandleProcedures kDeviceFileHandle{"device file", CloseDeviceFilep, nullptr};

}  // namespace

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

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, PDRIVER_OBJECT* driver) {
    *driver = nullptr;
    RequireIrqlAtMost(PASSIVE_LEVEL, "LoadDriver");
    auto* object = new DRIVER_OBJECT{};
    object->Type = kIoTypeDriver;
    object->Size = sizeof(DRIVER_OBJECT);
    object->DriverInit = entry;
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

    RunInSystemThreadp(object, "DriverEntry", [&] { status = entry(object, &registry); });

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

std::u16string DeviceName(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().devices.find(device);
    return it == S().devices.end() ? std::u16string() : it->second.name;
}

const void* DeviceSecurity(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().devices.find(device);
    if (it == S().devices.end() || !it->second.named) {
        return nullptr;
    }
    if (!it->second.security.empty()) {
        return it->second.security.data();
    }
    return security::DefaultNamedDeviceSecurityDescriptor();
}

bool IsDevice(const void* object) {
    std::lock_guard<std::mutex> guard(S().lock);
    return S().devices.count(static_cast<PDEVICE_OBJECT>(const_cast<void*>(object))) != 0;
}

std::vector<PDEVICE_OBJECT> Devices() {
    std::vector<PDEVICE_OBJECT> devices;
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto& [device, record] : S().devices) {
        if (!record.deleted) {
            devices.push_back(device);
        }
    }
    return devices;
}

std::vector<std::u16string> SymbolicLinks() {
    std::vector<std::u16string> links;
    std::lock_guard<std::mutex> guard(S().lock);
    for (auto& link : S().links) {
        links.push_back(link.path);
    }
    return links;
}

NTSTATUS SendRequest(PFILE_OBJECT file, UCHAR majorFunction, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                     ULONG_PTR* information) {
    return SendRequestp(file, majorFunction, setup, information);
}

const ob::HandleProcedures* DeviceFileProcedures() { return &kDeviceFileHandle; }

NTSTATUS CheckDeviceOpenable(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> guard(S().lock);
    auto it = S().devices.find(device);
    DriverRecord* driver = FindDriverLockedp(device->DriverObject);
    if (it == S().devices.end() || it->second.deleted || (device->Flags & DO_DEVICE_INITIALIZING) || driver == nullptr ||
        driver->unloadPending) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if ((device->Flags & DO_EXCLUSIVE) && it->second.openFiles != 0) {
        return STATUS_ACCESS_DENIED;
    }
    return STATUS_SUCCESS;
}

PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName, ACCESS_MASK granted) {
    auto* file = new FILE_OBJECT{};
    file->Type = kIoTypeFile;
    file->Size = sizeof(FILE_OBJECT);
    file->DeviceObject = device;
    file->ReadAccess = (granted & FILE_READ_DATA) ? TRUE : FALSE;
    file->WriteAccess = (granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) ? TRUE : FALSE;
    file->DeleteAccess = (granted & DELETE) ? TRUE : FALSE;
    ob::ReferenceObject(device);
    std::lock_guard<std::mutex> guard(S().lock);
    FileRecord& record = S().files[file];
    record.fileName = fileName;
    auto bytes = static_cast<USHORT>(record.fileName.size() * sizeof(WCHAR));
    file->FileName = UNICODE_STRING{bytes, bytes, bytes != 0 ? record.fileName.data() : nullptr};
    ++S().devices[device].openFiles;
    ++device->ReferenceCount;
    return file;
}

void DiscardFileObject(PFILE_OBJECT file) {
    PDEVICE_OBJECT device = file->DeviceObject;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().files.erase(file);
        --S().devices[device].openFiles;
        --device->ReferenceCount;
    }
    delete file;
    ob::DereferenceObject(device);
}

void PublishFileObject(PFILE_OBJECT file) {
    file->Flags |= FO_FILE_OPEN | FO_HANDLE_CREATED;
    ob::RegisterObject(file, ob::ObjectType::File, DeleteFileObjectp);
}

NTSTATUS SendSimpleIrp(_EPROCESS* process, HANDLE handle, UCHAR majorFunction) {
    return user::SendIrp(process, handle, majorFunction);
}

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

using sim::S;

// ---------------------------------------------------------------------------
// Driver-visible routines.

extern "C" NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                                         DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                         PDEVICE_OBJECT* DeviceObject) {
    sim::Count("IoCreateDevice");
    *DeviceObject = nullptr;
    sim::RequireIrqlAtMost(APC_LEVEL, "IoCreateDevice");
    NTSTATUS injected = sim::TakeInjectedFailure("IoCreateDevice");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    std::u16string name = sim::FromUnicodeStringp(DeviceName);
    size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    void* memory = ::operator new(extensionOffset + DeviceExtensionSize);
    std::memset(memory, 0, extensionOffset + DeviceExtensionSize);
    auto* device = static_cast<PDEVICE_OBJECT>(memory);
    device->Type = sim::kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<char*>(memory) + extensionOffset : nullptr;

    if (!name.empty()) {
        NTSTATUS status = sim::ob::InsertObject(name, sim::ob::ObjectType::Device, device);
        if (!NT_SUCCESS(status)) {
            ::operator delete(memory);
            return status;
        }
    }
    sim::ob::RegisterObject(device, sim::ob::ObjectType::Device, sim::DeleteDeviceMemoryp);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        sim::DeviceRecord record;
        record.device = device;
        record.name = name;
        record.named = !name.empty();
        S().devices[device] = record;
        // New devices go to the head of the driver's list, as on Windows.
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    sim::Count("IoDeleteDevice");
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto it = S().devices.find(DeviceObject);
        if (it == S().devices.end() || it->second.deleted) {
            sim::BugCheck(sim::kBugReferenceByPointer, "REFERENCE_BY_POINTER", "IoDeleteDevice of a device that does not exist",
                          reinterpret_cast<ULONG_PTR>(DeviceObject));
        }
        it->second.deleted = true;
        name = it->second.named ? it->second.name : std::u16string();
        PDEVICE_OBJECT* link = &DeviceObject->DriverObject->DeviceObject;
        while (*link != nullptr && *link != DeviceObject) {
            link = &(*link)->NextDevice;
        }
        if (*link == DeviceObject) {
            *link = DeviceObject->NextDevice;
        }
    }
    if (!name.empty()) {
        sim::ob::RemoveObject(name, DeviceObject);
    }
    // Opens and queued work items keep the memory until they let go.
    sim::ob::DereferenceObject(DeviceObject);
}

extern "C" NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    sim::Count("IoCreateSymbolicLink");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    NTSTATUS injected = sim::TakeInjectedFailure("IoCreateSymbolicLink");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    std::u16string link = sim::FromUnicodeStringp(SymbolicLinkName);
    std::u16string target = sim::FromUnicodeStringp(DeviceName);
    NTSTATUS status = sim::ob::CreateSymbolicLink(link, target);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Charged to the driver of the device it names, else to the running driver.
    PDRIVER_OBJECT owner = sim::CurrentDriverContext();
    void* body = nullptr;
    if (NT_SUCCESS(sim::ob::LookupObject(target, sim::ob::ObjectType::Device, &body)) && sim::io::IsDevice(body)) {
        owner = static_cast<PDEVICE_OBJECT>(body)->DriverObject;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    S().links.push_back(sim::LinkRecord{link, owner});
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    sim::Count("IoDeleteSymbolicLink");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::u16string link = sim::FromUnicodeStringp(SymbolicLinkName);
    NTSTATUS status = sim::ob::DeleteSymbolicLink(link);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    auto& links = S().links;
    auto it = std::find_if(links.begin(), links.end(), [&](const auto& l) { return sim::ob::NamesEqual(l.path, link); });
    if (it != links.end()) {
        links.erase(it);
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                                       PSECURITY_DESCRIPTOR SecurityDescriptor) {
    sim::Count("ObSetSecurityObjectByPointer");
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "ObSetSecurityObjectByPointer");
    NTSTATUS injected = sim::TakeInjectedFailure("ObSetSecurityObjectByPointer");
    if (!NT_SUCCESS(injected)) {
        return injected;
    }
    if (!sim::io::IsDevice(Object)) {
        sim::NotImplemented("ObSetSecurityObjectByPointer on an object other than a device");
    }
    if (SecurityInformation != DACL_SECURITY_INFORMATION) {
        sim::NotImplemented("ObSetSecurityObjectByPointer with information other than the DACL");
    }
    if (SecurityDescriptor == nullptr || !sim::security::IsValidDescriptor(SecurityDescriptor)) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    // The object keeps its own copy: the caller may free its descriptor now.
    std::vector<uint8_t> copy = sim::security::CopyDescriptor(SecurityDescriptor);
    if (copy.empty()) {
        return STATUS_INVALID_SECURITY_DESCR;
    }
    std::lock_guard<std::mutex> guard(S().lock);
    S().devices[static_cast<PDEVICE_OBJECT>(Object)].security = std::move(copy);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    sim::Count("IofCallDriver");
    --Irp->CurrentLocation;
    if (Irp->CurrentLocation <= 0) {
        sim::BugCheck(sim::kBugNoMoreIrpStackLocations, "NO_MORE_IRP_STACK_LOCATIONS",
                      "IofCallDriver with no stack location left for the lower device", reinterpret_cast<ULONG_PTR>(Irp));
    }
    PIO_STACK_LOCATION stack = --Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
    sim::DriverContextScope context(DeviceObject->DriverObject);
    return dispatch(DeviceObject, Irp);
}

extern "C" VOID NTAPI IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
    sim::Count("IofCompleteRequest");
    sim::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    sim::IrpState* state = nullptr;
    {
        std::lock_guard<std::mutex> guard(S().lock);
        auto it = S().irps.find(Irp);
        if (it != S().irps.end()) {
            state = it->second.get();
        }
    }
    if (state == nullptr || state->completed || Irp->CurrentLocation > Irp->StackCount) {
        sim::BugCheck(sim::kBugMultipleIrpCompleteRequests, "MULTIPLE_IRP_COMPLETE_REQUESTS",
                      "a request was completed that is already complete", reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        sim::BugCheck(sim::kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                      "IofCompleteRequest with STATUS_PENDING", reinterpret_cast<ULONG_PTR>(Irp));
    }
    // Walk up the stack running completion routines.
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        ++Irp->CurrentLocation;
        ++Irp->Tail.Overlay.CurrentStackLocation;
        PDEVICE_OBJECT upper =
            Irp->CurrentLocation > Irp->StackCount ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        bool success = NT_SUCCESS(Irp->IoStatus.Status);
        bool invoke = routine != nullptr &&
                      ((success && (control & SL_INVOKE_ON_SUCCESS)) || (!success && (control & SL_INVOKE_ON_ERROR)) ||
                       (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            if (routine(upper, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) {
                return;  // the upper driver owns the request again
            }
        } else if (Irp->PendingReturned && upper != nullptr) {
            IoMarkIrpPending(Irp);
        }
    }
    {
        std::lock_guard<std::mutex> guard(S().lock);
        state->completed = true;
    }
    state->done.notify_all();
}

