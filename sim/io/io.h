// I/O manager of the simulated kernel: loading and stopping drivers, device
// and driver objects, IRPs, work items. Host code only.
#pragma once

#include "sim/ke/core.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::ob {
struct HandleProcedures;
}

namespace sim {

// DRIVER_VERIFIER_IOMANAGER_VIOLATION: a request handled against the I/O
// manager's rules (returned without completing, a status that differs from the
// completed one, more output reported than the caller's buffer holds).
constexpr ULONG kBugDriverVerifierIoManagerViolation = 0xC9;
// REFERENCE_BY_POINTER: an object's reference count went below zero.
constexpr ULONG kBugReferenceByPointer = 0x18;

// Loads a driver: builds its DRIVER_OBJECT (DriverName "\Driver\<serviceName>",
// every MajorFunction slot pointing at the I/O manager's "invalid request"
// routine) and calls DriverEntry at PASSIVE_LEVEL in a thread of the System
// process, with the registry path "\REGISTRY\MACHINE\SYSTEM\CurrentControlSet\Services\<serviceName>".
// On success DO_DEVICE_INITIALIZING is cleared on the devices DriverEntry made
// and *driver receives the object. On failure the driver must have left
// nothing behind (devices, links, notification routines, registry callbacks,
// what the stop-check hooks find); anything left is reported (see
// SetLeftoverReportsAreFatal) and the object is freed.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view serviceName, PDRIVER_OBJECT* driver,
                    PVOID imageBase = nullptr, ULONG imageSize = 0);
// Loads a driver from a real x64 driver image (a .sys file), as the kernel's
// loader does: maps, relocates and binds it (sim/loader), sets the service's
// force-integrity flag from the image, then calls its entry point as LoadDriver
// does. A load the loader refuses returns its status, with the reason in
// `error` (an import the model lacks is named there).
NTSTATUS LoadDriverImage(const std::string& path, std::u16string_view serviceName, PDRIVER_OBJECT* driver,
                         std::string* error = nullptr);

// Stops a loaded driver as the service control manager's stop does:
// 1. every stop hook runs (the Filter Manager calls the filter's unload
//    callback there); the first error status vetoes the stop: StopDriver
//    returns it and the driver stays loaded;
// 2. DriverUnload runs at PASSIVE_LEVEL in a System thread (a driver without
//    one cannot be stopped: STATUS_INVALID_DEVICE_REQUEST before any hook);
// 3. the driver's queued and running work items are waited for;
// 4. devices, links and registrations the driver left behind are reported;
// 5. the driver object is freed.
NTSTATUS StopDriver(PDRIVER_OBJECT driver);

// A stop hook decides whether a stop may go on (STATUS_SUCCESS) and tears down
// what its area holds for the driver. Hooks persist across ResetKernel.
using DriverStopHook = std::function<NTSTATUS(PDRIVER_OBJECT driver)>;
void RegisterDriverStopHook(DriverStopHook hook);

// A leftover check names what an area still holds for a driver that has
// unloaded (or failed to load): one line per leftover, none when clean.
// Checks persist across ResetKernel.
using DriverLeftoverCheck = std::function<std::vector<std::string>(PDRIVER_OBJECT driver)>;
void RegisterDriverLeftoverCheck(DriverLeftoverCheck check);

// Leftovers stop the run with DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS
// (0xCE, what the real system hits later when it calls into the unloaded
// image) by default; tests of the reporting itself can collect them instead.
void SetLeftoverReportsAreFatal(bool fatal);
std::vector<std::string> LastLeftoverReport();

// Drivers loaded now, in load order.
std::vector<PDRIVER_OBJECT> LoadedDrivers();

// The driver whose code the current host thread is running for the I/O
// manager (DriverEntry, DriverUnload, a work item), or null. Registrations
// made meanwhile are charged to that driver for the leftover checks.
PDRIVER_OBJECT CurrentDriverContext();

// Waits until no work item is queued or running.
void DrainWorkItems();

namespace io {

// The name a device was created with ("\Device\Vetrona"), empty if unnamed.
std::u16string DeviceName(PDEVICE_OBJECT device);
// The device's security descriptor as ObSetSecurityObjectByPointer left it (a
// private copy), or the default one; null for unnamed devices (no DACL).
const void* DeviceSecurity(PDEVICE_OBJECT device);
bool IsDevice(const void* object);
// Devices currently existing (deleted ones excluded).
std::vector<PDEVICE_OBJECT> Devices();
// Symbolic links made through IoCreateSymbolicLink that still exist.
std::vector<std::u16string> SymbolicLinks();

// Work items of a driver that are queued or running; the wait for them to end.
size_t PendingWorkItems(PDRIVER_OBJECT driver);
void WaitWorkItemsOfDriver(PDRIVER_OBJECT driver);
// Work items allocated and not yet freed since boot.
uint64_t LiveWorkItems();

// Sends an IRP_MJ_* request without parameters through an open device handle
// (see sim::user::SendIrp). Exposed for other areas' user sides.
NTSTATUS SendSimpleIrp(_EPROCESS* process, HANDLE handle, UCHAR majorFunction);

// Pieces of the user side (sim/user/device.cpp).
// Sends a request built by `setup` to the top of the file's device in the
// current thread and waits for its completion; enforces completion exactly
// once and a returned status that matches the completed one.
NTSTATUS SendRequest(PFILE_OBJECT file, UCHAR majorFunction, const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                     ULONG_PTR* information);
// The status and Information of the latest request of a major function sent
// through SendRequest (device opens, closes, control requests), if any since
// ForgetCompletions; a reset forgets them too.
struct Completion {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
};
std::optional<Completion> LastCompletion(UCHAR majorFunction);
void ForgetCompletions();
// What a handle to an open of a driver's device does on close.
const ob::HandleProcedures* DeviceFileProcedures();
// STATUS_NO_SUCH_DEVICE while the device is initialising, deleted or its
// driver is unloading; STATUS_ACCESS_DENIED for a second open of an exclusive one.
NTSTATUS CheckDeviceOpenable(PDEVICE_OBJECT device);
// A file object for an open of `device` (counted as open); then either
// PublishFileObject once IRP_MJ_CREATE succeeded or DiscardFileObject.
PFILE_OBJECT CreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName, ACCESS_MASK granted);
void DiscardFileObject(PFILE_OBJECT file);
void PublishFileObject(PFILE_OBJECT file);

// Area resets, called in order by the kernel reset.
void ResetWorkItems();
void ResetIo();

}  // namespace io
}  // namespace sim
