// Reads, writes, file information queries and the volume's pass-through
// device controls on the simulated file system.
#include "sim/fs/local.h"
#include "sim/io/mdl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace sim::fs {

namespace {

// A read or write on a volume handle goes to the disk: whole sectors at a
// sector boundary, as Windows requires of volume I/O. While the file system
// is mounted a write may touch only the boot sector.
NTSTATUS VolumeReadWrite(PFLT_CALLBACK_DATA data, const Volume* volume, bool write, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    auto& params = data->Iopb->Parameters;
    const ULONG length = write ? params.Write.Length : params.Read.Length;
    LARGE_INTEGER offset = write ? params.Write.ByteOffset : params.Read.ByteOffset;
    void* buffer = write ? params.Write.WriteBuffer : params.Read.ReadBuffer;
    PMDL mdl = write ? params.Write.MdlAddress : params.Read.MdlAddress;
    const bool synchronous = (fo->Flags & FO_SYNCHRONOUS_IO) != 0;
    if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION && synchronous) {
        offset = fo->CurrentByteOffset;
    }
    if (offset.QuadPart < 0 || offset.QuadPart % kSectorSize != 0 || length % kSectorSize != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    if (buffer == nullptr) {
        buffer = mdl == nullptr ? nullptr : MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        if (buffer == nullptr) {
            return STATUS_INVALID_USER_BUFFER;
        }
    }
    if (write && !VolumeWritesOutsideBootSector() && (offset.QuadPart != 0 || length != kSectorSize)) {
        return STATUS_ACCESS_DENIED;
    }
    const NTSTATUS status = DiskTransfer(volume, write, static_cast<uint64_t>(offset.QuadPart), buffer, length);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (synchronous && (data->Iopb->IrpFlags & IRP_PAGING_IO) == 0) {
        fo->CurrentByteOffset.QuadPart = offset.QuadPart + length;
    }
    *information = length;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS ReadWrite(PFLT_CALLBACK_DATA data, bool write, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    *information = 0;
    int fd;
    std::u16string path;
    Volume* volume = nullptr;
    Fcb* fcb;
    bool volumeOpen = false;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto found = gFileObjects.find(fo);
        FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
        if (body == nullptr || !body->opened) {
            return STATUS_INVALID_PARAMETER;
        }
        // Paging I/O goes on after cleanup: a section keeps the file object.
        if (body->cleanedUp && (data->Iopb->IrpFlags & IRP_PAGING_IO) == 0) {
            return STATUS_FILE_CLOSED;
        }
        volumeOpen = body->volumeOpen;
        volume = body->volume;
        fcb = volumeOpen ? nullptr : FcbOf(fo);
        if (fcb != nullptr && fcb->directory) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        fd = fcb != nullptr ? fcb->fd : -1;
        path = fcb != nullptr ? NameOf(fcb) : std::u16string();
        volume = fcb != nullptr ? fcb->volume : volume;
    }
    if (volumeOpen) {
        return VolumeReadWrite(data, volume, write, information);
    }
    auto& params = data->Iopb->Parameters;
    ULONG length = write ? params.Write.Length : params.Read.Length;
    LARGE_INTEGER offset = write ? params.Write.ByteOffset : params.Read.ByteOffset;
    void* buffer = write ? params.Write.WriteBuffer : params.Read.ReadBuffer;
    const bool paging = (data->Iopb->IrpFlags & IRP_PAGING_IO) != 0;
    // Without a buffer the data is described by an MDL (paging and other
    // non-cached I/O): the file system maps it.
    PMDL mdl = write ? params.Write.MdlAddress : params.Read.MdlAddress;
    if (buffer == nullptr && length != 0) {
        if (mdl == nullptr) {
            return STATUS_INVALID_USER_BUFFER;
        }
        if (mdl->ByteCount < length) {
            sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                          "a transfer longer than the MDL that describes it", reinterpret_cast<ULONG_PTR>(mdl), length);
        }
        buffer = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);
        if (buffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    bool synchronous = (fo->Flags & FO_SYNCHRONOUS_IO) != 0;
    std::unique_lock<std::mutex> serialised(fcb->ioLock, std::defer_lock);
    if (write) {
        serialised.lock();
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    int64_t position;
    if (offset.HighPart == -1 && offset.LowPart == FILE_USE_FILE_POINTER_POSITION) {
        if (!synchronous) {
            return STATUS_INVALID_PARAMETER;
        }
        position = fo->CurrentByteOffset.QuadPart;
    } else if (write && offset.HighPart == -1 && offset.LowPart == FILE_WRITE_TO_END_OF_FILE) {
        position = st.st_size;
    } else if (offset.QuadPart < 0) {
        return STATUS_INVALID_PARAMETER;
    } else {
        position = offset.QuadPart;
    }
    NTSTATUS status = TakeFault(write ? FaultOp::Write : FaultOp::Read, volume, path, position);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A paging write never extends the file: what lies past its end is dropped.
    if (write && paging) {
        if (position >= st.st_size) {
            return STATUS_SUCCESS;
        }
        length = static_cast<ULONG>(std::min<int64_t>(length, st.st_size - position));
    }
    if (length == 0) {
        return STATUS_SUCCESS;
    }
    ssize_t done;
    if (write) {
        done = ::pwrite(fd, buffer, length, position);
    } else {
        if (position >= st.st_size) {
            return STATUS_END_OF_FILE;
        }
        done = ::pread(fd, buffer, length, position);
    }
    if (done < 0) {
        return STATUS_UNSUCCESSFUL;
    }
    if (write) {
        fo->Flags |= FO_FILE_MODIFIED;
    }
    if (synchronous && !paging) {
        fo->CurrentByteOffset.QuadPart = position + done;
    }
    *information = static_cast<ULONG_PTR>(done);
    return STATUS_SUCCESS;
}

NTSTATUS ReadWholeFile(const FILE_OBJECT* fileObject, std::vector<uint8_t>* bytes) {
    bytes->clear();
    Fcb* fcb;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto found = gFileObjects.find(fileObject);
        if (found == gFileObjects.end() || !found->second->opened || found->second->volumeOpen || FcbOf(fileObject)->directory) {
            return STATUS_FILE_CLOSED;
        }
        fcb = FcbOf(fileObject);
    }
    std::lock_guard<std::mutex> serialised(fcb->ioLock);
    struct stat st;
    if (::fstat(fcb->fd, &st) != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    bytes->resize(static_cast<size_t>(st.st_size));
    if (!bytes->empty() && ::pread(fcb->fd, bytes->data(), bytes->size(), 0) != static_cast<ssize_t>(bytes->size())) {
        bytes->clear();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryInformation(PFLT_CALLBACK_DATA data, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    *information = 0;
    Fcb* fcb;
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(gLock);
        auto found = gFileObjects.find(fo);
        FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
        if (body == nullptr || !body->opened || body->volumeOpen) {
            return STATUS_INVALID_PARAMETER;
        }
        fcb = FcbOf(fo);
        path = NameOf(fcb);
    }
    auto& params = data->Iopb->Parameters.QueryFileInformation;
    NTSTATUS status = TakeFault(FaultOp::QueryInformation, fcb->volume, path);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (params.FileInformationClass == FileStandardInformation) {
        if (params.Length < sizeof(FILE_STANDARD_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        struct stat st;
        {
            std::lock_guard<std::mutex> serialised(fcb->ioLock);
            if (::fstat(fcb->fd, &st) != 0) {
                return STATUS_UNSUCCESSFUL;
            }
        }
        auto* info = static_cast<PFILE_STANDARD_INFORMATION>(params.InfoBuffer);
        const LONGLONG size = fcb->directory ? 0 : static_cast<LONGLONG>(st.st_size);
        info->EndOfFile.QuadPart = size;
        info->AllocationSize.QuadPart = (size + 4095) / 4096 * 4096;  // 4 KB clusters
        info->NumberOfLinks = static_cast<ULONG>(st.st_nlink);
        info->DeletePending = fcb->deletePending ? TRUE : FALSE;
        info->Directory = fcb->directory ? TRUE : FALSE;
        *information = sizeof(FILE_STANDARD_INFORMATION);
        return STATUS_SUCCESS;
    }
    if (params.FileInformationClass != FileInternalInformation) {
        sim::NotImplemented("this file information query on the simulated volume");
    }
    if (params.Length < sizeof(FILE_INTERNAL_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto* info = static_cast<PFILE_INTERNAL_INFORMATION>(params.InfoBuffer);
    info->IndexNumber.QuadPart = static_cast<LONGLONG>(fcb->indexNumber);
    *information = sizeof(FILE_INTERNAL_INFORMATION);
    return STATUS_SUCCESS;
}

// Device controls on a volume handle: SCSI and ATA pass-through, whose record
// the port driver checks before the disk sees the command, and the
// partition-table requests. The disk's answer to a command is in the record
// that comes back; the request itself succeeds.
NTSTATUS DeviceControlLocked(PFLT_CALLBACK_DATA data, ULONG_PTR* information) {
    PFILE_OBJECT fo = data->Iopb->TargetFileObject;
    auto found = gFileObjects.find(fo);
    FileObjectBody* body = found == gFileObjects.end() ? nullptr : found->second;
    *information = 0;
    if (body == nullptr || !body->volumeOpen) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto& params = data->Iopb->Parameters.DeviceIoControl.Buffered;
    ULONG code = params.IoControlCode;
    ULONG needed;
    switch (code) {
    case IOCTL_SCSI_PASS_THROUGH:
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        needed = sizeof(SCSI_PASS_THROUGH_DIRECT);
        break;
    case IOCTL_ATA_PASS_THROUGH:
    case IOCTL_ATA_PASS_THROUGH_DIRECT:
        needed = sizeof(ATA_PASS_THROUGH_DIRECT);
        break;
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
    case IOCTL_DISK_CREATE_DISK:
    case IOCTL_DISK_DELETE_DRIVE_LAYOUT:
        return DiskControl(body->volume, code, static_cast<uint8_t*>(params.SystemBuffer), params.InputBufferLength,
                           params.OutputBufferLength);
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (params.InputBufferLength < needed || params.SystemBuffer == nullptr ||
        *static_cast<const USHORT*>(params.SystemBuffer) != needed) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* bytes = static_cast<uint8_t*>(params.SystemBuffer);
    const NTSTATUS status = DiskControl(body->volume, code, bytes, params.InputBufferLength, params.OutputBufferLength);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    gPassThrough.push_back({code, std::vector<uint8_t>(bytes, bytes + params.InputBufferLength)});
    *information = std::min<ULONG>(params.OutputBufferLength, needed);
    return STATUS_SUCCESS;
}

}  // namespace sim::fs
