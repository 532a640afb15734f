// User side of the I/O manager: what a user-mode program does with a driver's
// control device (CreateFile on "\\.\Name", DeviceIoControl, CloseHandle), as
// the given process. Files on volumes are opened through sim/user/file.h.
#pragma once

#include "sim/ps/ps.h"

#include <string_view>

namespace sim::user {

// Opens a device by name: "\\.\Vetrona", "\\?\Vetrona", "\??\Vetrona",
// "\DosDevices\Vetrona" or an NT path such as "\Device\Vetrona" (names below
// the device, "\Device\Vetrona\x", are passed to the driver as the file name).
// The device's security is checked against the caller (unless the name goes
// below a device created without FILE_DEVICE_SECURE_OPEN), IRP_MJ_CREATE is
// sent to the driver, and the handle records the granted access.
// Errors: the parse statuses, STATUS_OBJECT_TYPE_MISMATCH for objects that
// are not driver devices, STATUS_NO_SUCH_DEVICE for a device being created or
// deleted, STATUS_ACCESS_DENIED, or what the driver completed the create with.
NTSTATUS CreateFile(_EPROCESS* process, std::u16string_view path, ACCESS_MASK desiredAccess, HANDLE* handle);

// DeviceIoControl as the Win32 call reaches NtDeviceIoControlFile: the access
// bits of the code are checked against the handle's granted access before any
// request is built; METHOD_BUFFERED uses one system buffer of
// max(inputLength, outputLength) bytes; Information bytes are copied back
// unless the status is an error. *returned is Information when the status is
// not an error (warnings included), else 0.
NTSTATUS DeviceIoControl(_EPROCESS* process, HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG* returned);

// Closes any handle of the process (a device handle: IRP_MJ_CLEANUP now,
// IRP_MJ_CLOSE when the file object's last reference goes).
NTSTATUS CloseHandle(_EPROCESS* process, HANDLE handle);

// Sends a request of another major function with no parameters (lengths 0)
// through a device handle, as a read or flush of nothing would.
NTSTATUS SendIrp(_EPROCESS* process, HANDLE handle, UCHAR majorFunction);

}  // namespace sim::user
