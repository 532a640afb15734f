// User side of a control device: open by name with the device's security
// checked against the caller, buffered device control with the real access
// and copy-back rules, close, and requests of other major functions.
#include "sim/user/device.h"

#include "sim/io/io.h"
#include "sim/ob/ob.h"
#include "sim/se/security.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace sim::user {
namespace {

// "\\.\X" and "\\?\X" name \??\X; "C:\x" names \??\C:\x; NT paths stay.
std::u16string ToNtPathp(std::u16string_view path) {
    if (path.substr(0, 4) == u"\\\\.\\" || path.substr(0, 4) == u"\\\\?\\") {
        return u"\\??\\" + std::u16string(path.substr(4));
    }
    if (path.size() >= 2 && path[1] == u':') {
        return u"\\??\\" + std::u16string(path);
    }
    return std::u16string(path);
}

// Runs `fn` in a thread of `process` (the calling one when it already is).
template <typename Fn>
auto AsProcessp(_EPROCESS* process, Fn&& fn) {
    std::unique_ptr<ThreadScope> scope;
    if (CurrentProcess() != process) {
        scope = std::make_unique<ThreadScope>(process, InThread::Main);
    }
    return fn();
}

}  // namespace

NTSTATUS CreateFile(_EPROCESS* process, std::u16string_view path, ACCESS_MASK desiredAccess, HANDLE* handle) {
    *handle = nullptr;
    return AsProcessp(process, [&]() -> NTSTATUS {
        ob::LookupResult found;
        NTSTATUS status = ob::ParseName(ToNtPathp(path), &found);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (found.type != ob::ObjectType::Device || !io::IsDevice(found.body)) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        auto* device = static_cast<PDEVICE_OBJECT>(found.body);
        status = io::CheckDeviceOpenable(device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // Opens inside the device's namespace are checked against its ACL only
        // when the device asked for it.
        const auto& mapping = security::FileGenericMapping();
        ACCESS_MASK granted = 0;
        if (found.remainder.empty() || (device->Characteristics & FILE_DEVICE_SECURE_OPEN)) {
            status = security::AccessCheck(io::DeviceSecurity(device), process, desiredAccess, mapping, &granted);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        } else {
            granted = (desiredAccess & MAXIMUM_ALLOWED) ? static_cast<ACCESS_MASK>(FILE_ALL_ACCESS)
                                                        : security::MapGeneric(desiredAccess, mapping);
        }

        PFILE_OBJECT file = io::CreateFileObject(device, found.remainder, granted);

        IO_SECURITY_CONTEXT securityContext{nullptr, nullptr, granted, 0};
        ULONG_PTR information = 0;
        status = io::SendRequest(
            file, IRP_MJ_CREATE,
            [&](PIRP irp, PIO_STACK_LOCATION next) {
                irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
                next->Parameters.Create.SecurityContext = &securityContext;
                next->Parameters.Create.Options = 1u << 24;  // FILE_OPEN
                next->Parameters.Create.ShareAccess = 0;
            },
            &information);
        if (!NT_SUCCESS(status)) {
            // The create failed: the driver never sees a cleanup or close for it.
            io::DiscardFileObject(file);
            return status;
        }
        io::PublishFileObject(file);
        return ob::CreateHandle(process, false, ob::ObjectType::File, file, granted, io::DeviceFileProcedures(), handle);
    });
}

NTSTATUS DeviceIoControl(_EPROCESS* process, HANDLE handle, ULONG ioControlCode, const void* input, ULONG inputLength,
                         void* output, ULONG outputLength, ULONG* returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    return AsProcessp(process, [&]() -> NTSTATUS {
        ob::HandleEntry entry;
        NTSTATUS status = ob::LookupHandle(process, handle, ob::ObjectType::Other, &entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (entry.procedures != nullptr && entry.procedures->deviceControl != nullptr) {
            return entry.procedures->deviceControl(process, entry.object, entry.grantedAccess, ioControlCode, input,
                                                   inputLength, output, outputLength, returned);
        }
        if (entry.procedures != io::DeviceFileProcedures()) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        ULONG method = ioControlCode & 3;
        if (method != METHOD_BUFFERED) {
            NotImplemented("DeviceIoControl with a transfer type other than METHOD_BUFFERED");
        }
        // User-mode callers need the access the code asks for.
        ULONG access = (ioControlCode >> 14) & 3;
        ACCESS_MASK required = ((access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) |
                               ((access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
        if ((entry.grantedAccess & required) != required) {
            return STATUS_ACCESS_DENIED;
        }
        if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0)) {
            return STATUS_ACCESS_VIOLATION;  // the probe of the caller's buffer fails
        }
        ULONG size = std::max(inputLength, outputLength);
        std::unique_ptr<uint8_t[]> systemBuffer;
        if (size != 0) {
            // Not zeroed on the real system either: what lies beyond the input is stale.
            systemBuffer.reset(new uint8_t[size]);
            std::memset(systemBuffer.get(), 0xCD, size);
            if (inputLength != 0) {
                std::memcpy(systemBuffer.get(), input, inputLength);
            }
        }
        auto* file = static_cast<PFILE_OBJECT>(entry.object);
        ULONG_PTR information = 0;
        status = io::SendRequest(
            file, IRP_MJ_DEVICE_CONTROL,
            [&](PIRP irp, PIO_STACK_LOCATION next) {
                irp->AssociatedIrp.SystemBuffer = systemBuffer.get();
                irp->UserBuffer = output;
                if (size != 0) {
                    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength != 0 ? IRP_INPUT_OPERATION : 0);
                }
                next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
                next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
                next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
                next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
            },
            &information);
        constexpr NTSTATUS kStatusVerifyRequired = static_cast<NTSTATUS>(0x80000016L);
        if (NT_ERROR(status)) {
            return status;  // nothing copied, nothing reported
        }
        // The copy back to the caller is made only for a request with an output
        // buffer (IRP_INPUT_OPERATION); without one, Information is just reported.
        if (outputLength != 0 && information > outputLength) {
            BugCheck(kBugDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                     "device control completed with Information " + std::to_string(information) +
                         " larger than the output buffer (" + std::to_string(outputLength) + " bytes)",
                     information, outputLength);
        }
        if (status != kStatusVerifyRequired && outputLength != 0 && information != 0) {
            std::memcpy(output, systemBuffer.get(), information);
        }
        if (returned != nullptr) {
            *returned = static_cast<ULONG>(information);
        }
        return status;
    });
}

NTSTATUS CloseHandle(_EPROCESS* process, HANDLE handle) {
    return AsProcessp(process, [&]() -> NTSTATUS { return ob::CloseHandle(process, handle); });
}

NTSTATUS SendIrp(_EPROCESS* process, HANDLE handle, UCHAR majorFunction) {
    return AsProcessp(process, [&]() -> NTSTATUS {
        ob::HandleEntry entry;
        NTSTATUS status = ob::LookupHandle(process, handle, ob::ObjectType::Other, &entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (entry.procedures != io::DeviceFileProcedures()) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (majorFunction > IRP_MJ_MAXIMUM_FUNCTION || majorFunction == IRP_MJ_CREATE || majorFunction == IRP_MJ_CLOSE ||
            majorFunction == IRP_MJ_CLEANUP) {
            return STATUS_INVALID_PARAMETER;  // those belong to opening and closing
        }
        ULONG_PTR information = 0;
        return io::SendRequest(static_cast<PFILE_OBJECT>(entry.object), majorFunction, [](PIRP, PIO_STACK_LOCATION) {},
                            &information);
    });
}

}  // namespace sim::user
