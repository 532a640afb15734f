// I/O manager: devices and their names, symbolic links, device security, and
// the file objects of opens of a driver's device (the user side of a control
// device: open, device control, close).
#include "sim/io/local.h"

#include "sim/ob/ob.h"
#include "sim/ps/ps.h"
#include "sim/se/security.h"
#include "sim/user/device.h"

#include <algorithm>
#include <cstring>

namespace sim {

std::u16string FromUnicodeStringp(PCUNICODE_STRING s) {
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

void DeleteDeviceMemoryp(void* object) {
    auto* device = static_cast<PDEVICE_OBJECT>(object);
    {
        std::lock_guard<std::mutex> guard(S().lock);
        S().devices.erase(device);
    }
    ::operator delete(device);
}

namespace {

// ---------------------------------------------------------------------------
// File objects of device opens.

void DeleteFileObjectp(void* object) {
    auto* file = static_cast<PFILE_OBJECT>(object);
    PDEVICE_OBJECT device = file->DeviceObject;
    // Last reference: IRP_MJ_CLOSE, in the context of whichever thread dropped it.
    ULONG_PTR information;
    (void)io::SendRequest(file, IRP_MJ_CLOSE, [](PIRP irp, PIO_STACK_LOCATION) { irp->Flags |= IRP_CLOSE_OPERATION; },
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
    (void)io::SendRequest(file, IRP_MJ_CLEANUP, [](PIRP, PIO_STACK_LOCATION) {}, &information);
    file->Flags |= FO_CLEANUP_COMPLETE;
    ob::DereferenceObject(file);
}

const ob::HandleProcedures kDeviceFileHandle{"device file", CloseDeviceFilep, nullptr};

}  // namespace

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
