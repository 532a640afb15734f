// Start-up and teardown: DriverEntry brings every piece up in a fixed order and
// undoes what it built when a step fails; DriverUnload takes down what the
// minifilter's own unload callback leaves behind.
#include "channel/port.h"
#include "driver/control.h"
#include "driver/driver_data.h"
#include "driver/tags.h"
#include "filemon/filemon.h"
#include "procmon/procmon.h"
#include "regmon/regmon.h"

static const WCHAR DriverpDeviceName[] = VETRONA_WIDE("\\Device\\Vetrona");
static const WCHAR DriverpLinkName[] = VETRONA_WIDE("\\DosDevices\\Vetrona");
static const WCHAR DriverpPortName[] = VETRONA_WIDE("\\VetronaFlt_Com");

PVOID DriverResolveRoutine(PCWSTR RoutineName) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, RoutineName);
    return MmGetSystemRoutineAddress(&name);
}

// Chooses, once, the pool type of the driver's non-paged allocations: pool
// that cannot execute wherever the system offers it (6.2 and later).
static VOID DriverpChoosePoolType() {
    DriverPoolType = NonPagedPool;
    DriverSetValueDataIsCallerBuffer = TRUE;
    RTL_OSVERSIONINFOW version;
    RtlZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    if (NT_SUCCESS(RtlGetVersion(&version)) &&
        (version.dwMajorVersion > 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion >= 2))) {
        DriverPoolType = NonPagedPoolNx;
        // From 6.2 on the configuration manager captures the data first.
        DriverSetValueDataIsCallerBuffer = FALSE;
    }
}

// Restricts the control device to the kernel, SYSTEM and administrators
// ("D:P(A;;GA;;;SY)(A;;GA;;;BA)"): without this a named device created by
// IoCreateDevice is open to everyone for reading and writing.
static NTSTATUS DriverpSecureDevice(PDEVICE_OBJECT Device) {
    PSID system = SeExports->SeLocalSystemSid;
    PSID admins = SeExports->SeAliasAdminsSid;
    const ULONG aceBase = static_cast<ULONG>(sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG));
    const ULONG aclLength = static_cast<ULONG>(sizeof(ACL)) + aceBase + RtlLengthSid(system) + aceBase + RtlLengthSid(admins);
    const ULONG total = static_cast<ULONG>(sizeof(SECURITY_DESCRIPTOR)) + aclLength;

    PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(DriverPoolType, total, TagSecurity));
    if (block == nullptr) {
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(block, total);
    PSECURITY_DESCRIPTOR descriptor = block;
    PACL acl = reinterpret_cast<PACL>(block + sizeof(SECURITY_DESCRIPTOR));

    NTSTATUS status = RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status)) {
        status = RtlCreateAcl(acl, aclLength, ACL_REVISION);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, system);
    }
    if (NT_SUCCESS(status)) {
        status = RtlAddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, admins);
    }
    if (NT_SUCCESS(status)) {
        status = RtlSetDaclSecurityDescriptor(descriptor, TRUE, acl, FALSE);
    }
    if (NT_SUCCESS(status)) {
        // The object manager keeps its own copy of the descriptor.
        status = ObSetSecurityObjectByPointer(Device, DACL_SECURITY_INFORMATION, descriptor);
    }

    ExFreePoolWithTag(block, TagSecurity);
    return status;
}

// Whether the registry callback is registered now: removal happens once, on
// the first of the two teardown steps that asks for it.
static BOOLEAN DriverpRegistryCallbackRegistered = FALSE;

static VOID DriverpRegisterRegistryCallback(PDRIVER_OBJECT DriverObject) {
    NTSTATUS status;
    auto registerEx = reinterpret_cast<PCM_REGISTER_CALLBACK_EX>(DriverResolveRoutine(VETRONA_WIDE("CmRegisterCallbackEx")));
    if (registerEx != nullptr) {
        WCHAR altitudeText[] = VETRONA_WIDE("380010");
        UNICODE_STRING altitude;
        altitude.Length = 6 * sizeof(WCHAR);
        altitude.MaximumLength = 6 * sizeof(WCHAR);
        altitude.Buffer = altitudeText;
        status = registerEx(RegMonCallback, &altitude, DriverObject, nullptr, &DriverData.RegistryCookie, nullptr);
    } else {
        status = CmRegisterCallback(RegMonCallback, nullptr, &DriverData.RegistryCookie);
    }
    DriverpRegistryCallbackRegistered = NT_SUCCESS(status) ? TRUE : FALSE;
}

VOID DriverRemoveRegistryCallback() {
    if (DriverpRegistryCallbackRegistered) {
        // Waits until no thread runs RegMonCallback any more. Should it fail,
        // the unload routine tries again.
        if (NT_SUCCESS(CmUnRegisterCallback(DriverData.RegistryCookie))) {
            DriverpRegistryCallbackRegistered = FALSE;
        }
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(RegistryPath);

    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    UNICODE_STRING portName;
    RtlInitUnicodeString(&deviceName, DriverpDeviceName);
    RtlInitUnicodeString(&linkName, DriverpLinkName);
    RtlInitUnicodeString(&portName, DriverpPortName);

    DriverpChoosePoolType();

    // The state record is ready before the device exists: from the moment the
    // link is in place any administrator can send control requests, and those
    // reach the lists and Lock.
    DriverDataInit(&DriverData);

    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, &deviceName, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = DriverpSecureDevice(device);
    if (!NT_SUCCESS(status)) {
        goto DeleteDevice;
    }

    for (ULONG major = IRP_MJ_CREATE; major <= IRP_MJ_MAXIMUM_FUNCTION; major++) {
        DriverObject->MajorFunction[major] = DispatchDefault;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->DriverStartIo = nullptr;
    DriverObject->DriverUnload = DriverUnload;

    device->Flags |= DO_DIRECT_IO;
    device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);

    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        goto DeleteDevice;
    }

    DriverData.ControlDevice = device;

    status = FltRegisterFilter(DriverObject, &FilterRegistration, &DriverData.Filter);
    if (!NT_SUCCESS(status)) {
        DriverData.Filter = nullptr;
        goto DeleteLink;
    }

    status = PortCreate(&portName, DriverData.Filter, &DriverData.ServerPort, PortConnect, PortDisconnect, PortMessage, 1);
    if (!NT_SUCCESS(status)) {
        DriverData.ServerPort = nullptr;
        goto UnregisterFilter;
    }

    status = FltStartFiltering(DriverData.Filter);
    if (!NT_SUCCESS(status)) {
        goto ClosePort;
    }

    // The key-name routines are in place before the callback can run: it reads
    // them without a lock.
    DriverData.GetKeyObjectID = DriverResolveRoutine(VETRONA_WIDE("CmCallbackGetKeyObjectID"));
    DriverData.GetKeyObjectIDEx = DriverResolveRoutine(VETRONA_WIDE("CmCallbackGetKeyObjectIDEx"));
    DriverData.ReleaseKeyObjectIDEx = DriverResolveRoutine(VETRONA_WIDE("CmCallbackReleaseKeyObjectIDEx"));

    ProcMonStart();
    DriverpRegisterRegistryCallback(DriverObject);

    // A client may have connected since the port was created and switched
    // monitoring on; file and process monitoring start off all the same.
    DriverDataLock();
    DriverSetSwitch(&DriverData.FileMonEnabled, 0);
    DriverSetSwitch(&DriverData.ProcMonEnabled, 0);
    DriverDataUnlock();

    return STATUS_SUCCESS;

ClosePort:
    FltCloseCommunicationPort(DriverData.ServerPort);
    DriverData.ServerPort = nullptr;
UnregisterFilter:
    FltUnregisterFilter(DriverData.Filter);
    DriverData.Filter = nullptr;
DeleteLink:
    IoDeleteSymbolicLink(&linkName);
DeleteDevice:
    DriverData.ControlDevice = nullptr;
    // Control requests were served since the device was created: whatever a
    // caller stored in the state record in the meantime goes too.
    DriverDataFree(&DriverData);
    IoDeleteDevice(DriverObject->DeviceObject);
    return status;
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, DriverpLinkName);

    // Normally gone already (the filter's unload callback removes them
    // before the port and the filter go). A removal whose registration may
    // have failed: its result is ignored.
    DriverRemoveRegistryCallback();
    ProcMonStop();

    DriverDataFree(&DriverData);
    DriverData.ControlDevice = nullptr;

    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(DriverObject->DeviceObject);
}
