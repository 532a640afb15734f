// User side of the simulated file system: the native file calls as the I/O
// manager turns them into requests for the Filter Manager and the file system.
#include "sim/user/file.h"

#include "sim/flt/io.h"
#include "sim/io/target.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <vector>

namespace sim::user {

namespace {

using sim::flt::IoRequest;

void CloseUserFilep(_EPROCESS* process, void* object, ACCESS_MASK) {
    auto* fo = static_cast<PFILE_OBJECT>(object);
    sim::ThreadScope scope(process, sim::InThread::Main);
    if (sim::fs::DropFileHandle(sim::fs::BodyOf(fo))) {
        sim::flt::SendCleanup(fo, process == sim::SystemProcess() ? KernelMode : UserMode);
    }
    sim::ob::DereferenceObject(fo);
}

// A device control through a file handle: only volume handles take any.
NTSTATUS DeviceControlp(_EPROCESS* process, void* object, ACCESS_MASK granted, ULONG code, const void* input,
                        ULONG inputLength, void* output, ULONG outputLength, ULONG* returned) {
    if (returned != nullptr) {
        *returned = 0;
    }
    sim::ThreadScope scope(process, sim::InThread::Main);
    auto* fo = static_cast<PFILE_OBJECT>(object);
    ULONG access = (code >> 14) & 3;
    if (((access & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
        ((access & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA))) {
        return STATUS_ACCESS_DENIED;
    }
    if ((code & 3) != METHOD_BUFFERED) {
        sim::NotImplemented("direct and neither device controls on the simulated volume");
    }
    ULONG size = std::max(inputLength, outputLength);
    std::vector<uint8_t> systemBuffer(size, 0xCD);
    if (inputLength != 0) {
        std::memcpy(systemBuffer.data(), input, inputLength);
    }
    IoRequest request;
    request.majorFunction = IRP_MJ_DEVICE_CONTROL;
    request.irpFlags = size != 0 ? (IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0)) : 0;
    request.callbackFlags |= size != 0 ? FLTFL_CALLBACK_DATA_SYSTEM_BUFFER : 0;
    request.requestorMode = UserMode;
    request.file = sim::fs::BodyOf(fo);
    request.parameters.DeviceIoControl.Buffered.OutputBufferLength = outputLength;
    request.parameters.DeviceIoControl.Buffered.InputBufferLength = inputLength;
    request.parameters.DeviceIoControl.Buffered.IoControlCode = code;
    request.parameters.DeviceIoControl.Buffered.SystemBuffer = size != 0 ? systemBuffer.data() : nullptr;
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    if (NT_ERROR(result.Status)) {
        return result.Status;
    }
    if (result.Information > outputLength) {
        sim::BugCheck(sim::kBugDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                      "device control completed with more bytes than the output buffer holds", result.Information,
                      outputLength);
    }
    if (result.Information != 0) {
        std::memcpy(output, systemBuffer.data(), result.Information);
    }
    if (returned != nullptr) {
        *returned = static_cast<ULONG>(result.Information);
    }
    return result.Status;
}

const sim::ob::HandleProcedures kUserFileHandle{"File", CloseUserFilep, DeviceControlp};

NTSTATUS FileOfp(_EPROCESS* process, HANDLE handle, sim::fs::FileObjectBody** body, ACCESS_MASK* granted) {
    sim::ob::HandleEntry entry;
    NTSTATUS status = sim::ob::LookupHandle(process, handle, sim::ob::ObjectType::File, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *body = sim::fs::BodyOf(static_cast<PFILE_OBJECT>(entry.object));
    if (*body == nullptr) {
        return STATUS_OBJECT_TYPE_MISMATCH;  // a device handle of another area
    }
    *granted = entry.grantedAccess;
    return STATUS_SUCCESS;
}

// Classes a program can set through NtSetInformationFile, with the smallest
// buffer and the handle access each needs. Any other class is refused before a
// request exists.
struct SetClassRule {
    FILE_INFORMATION_CLASS infoClass;
    ULONG minimum;
    ACCESS_MASK access;
    bool named;  // a rename or link record: its name must lie inside the buffer
};
constexpr SetClassRule kSetClassRules[] = {
    {FileBasicInformation, 40, FILE_WRITE_ATTRIBUTES, false},
    {FileRenameInformation, sizeof(FILE_RENAME_INFORMATION), DELETE, true},
    {FileLinkInformation, sizeof(FILE_LINK_INFORMATION), 0, true},
    {FileDispositionInformation, sizeof(FILE_DISPOSITION_INFORMATION), DELETE, false},
    {FilePositionInformation, sizeof(LARGE_INTEGER), 0, false},
    {FileAllocationInformation, sizeof(LARGE_INTEGER), FILE_WRITE_DATA, false},
    {FileEndOfFileInformation, sizeof(LARGE_INTEGER), FILE_WRITE_DATA, false},
    {FileValidDataLengthInformation, sizeof(LARGE_INTEGER), FILE_WRITE_DATA, false},
    {FileShortNameInformation, 8, DELETE, false},
    {FileIoPriorityHintInformation, sizeof(ULONG), 0, false},
    {FileDispositionInformationEx, sizeof(FILE_DISPOSITION_INFORMATION_EX), DELETE, false},
    {FileRenameInformationEx, sizeof(FILE_RENAME_INFORMATION_EX), DELETE, true},
    {FileCaseSensitiveInformation, sizeof(ULONG), FILE_WRITE_ATTRIBUTES, false},
    {FileLinkInformationEx, sizeof(FILE_LINK_INFORMATION_EX), 0, true},
};

const SetClassRule* SetClassRulep(FILE_INFORMATION_CLASS infoClass) {
    for (const SetClassRule& rule : kSetClassRules) {
        if (rule.infoClass == infoClass) {
            return &rule;
        }
    }
    return nullptr;
}

NTSTATUS SetInformationp(_EPROCESS* process, HANDLE handle, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                         ULONG length) {
    sim::ThreadScope scope(process, sim::InThread::Main);
    sim::fs::FileObjectBody* body;
    ACCESS_MASK granted;
    NTSTATUS status = FileOfp(process, handle, &body, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The I/O manager's checks before the request is built: a class that can
    // be set, a buffer of at least the record's size, the access the class
    // needs, and for renames and links a name that lies inside the buffer.
    const SetClassRule* rule = SetClassRulep(infoClass);
    if (rule == nullptr) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (length < rule->minimum) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if ((granted & rule->access) != rule->access) {
        return STATUS_ACCESS_DENIED;
    }
    if (rule->named) {
        const auto* named = static_cast<const FILE_RENAME_INFORMATION*>(buffer);
        if (named->FileNameLength == 0 || (named->FileNameLength & 1) != 0 ||
            named->FileNameLength > length - offsetof(FILE_RENAME_INFORMATION, FileName)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (infoClass == FilePositionInformation && (body->fo.Flags & FO_SYNCHRONOUS_IO) != 0) {
        // The I/O manager keeps a synchronous handle's position itself; no
        // request is sent.
        LARGE_INTEGER position;
        std::memcpy(&position, buffer, sizeof(position));
        if (position.QuadPart < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        body->fo.CurrentByteOffset = position;
        return STATUS_SUCCESS;
    }
    std::vector<uint8_t> systemBuffer(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length);
    IoRequest request;
    request.majorFunction = IRP_MJ_SET_INFORMATION;
    request.irpFlags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | IRP_SYNCHRONOUS_API;
    request.callbackFlags |= FLTFL_CALLBACK_DATA_SYSTEM_BUFFER;
    request.requestorMode = UserMode;
    request.file = body;
    request.parameters.SetFileInformation.Length = length;
    request.parameters.SetFileInformation.FileInformationClass = infoClass;
    request.parameters.SetFileInformation.InfoBuffer = systemBuffer.data();
    if (infoClass == FileRenameInformation || infoClass == FileRenameInformationEx) {
        auto* info = reinterpret_cast<const FILE_RENAME_INFORMATION_EX*>(systemBuffer.data());
        request.parameters.SetFileInformation.ReplaceIfExists =
            infoClass == FileRenameInformation ? info->ReplaceIfExists : (info->Flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0;
    }
    if (infoClass == FileLinkInformation || infoClass == FileLinkInformationEx) {
        auto* info = reinterpret_cast<const FILE_LINK_INFORMATION_EX*>(systemBuffer.data());
        request.parameters.SetFileInformation.ReplaceIfExists =
            infoClass == FileLinkInformation ? info->ReplaceIfExists : (info->Flags & FILE_LINK_REPLACE_IF_EXISTS) != 0;
    }
    // A target given as a full path or below a root directory: the I/O
    // manager opens its parent directory first and hands it down as
    // ParentOfTarget; it closes it when the request is done.
    sim::fs::FileObjectBody* parentOfTarget = nullptr;
    if (rule->named) {
        auto* info = reinterpret_cast<const FILE_RENAME_INFORMATION*>(systemBuffer.data());
        const std::u16string_view name(info->FileName, info->FileNameLength / sizeof(WCHAR));
        if (sim::io::NeedsTargetDirectory(info->RootDirectory, name)) {
            const bool link = infoClass == FileLinkInformation || infoClass == FileLinkInformationEx;
            status = sim::io::OpenTargetDirectory(process, body, info->RootDirectory, name, link,
                                                  request.parameters.SetFileInformation.ReplaceIfExists != FALSE,
                                                  &parentOfTarget);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            request.parameters.SetFileInformation.ParentOfTarget = &parentOfTarget->fo;
        }
    }
    status = sim::flt::Perform(request).Status;
    if (parentOfTarget != nullptr) {
        sim::io::CloseTargetDirectory(parentOfTarget);
    }
    return status;
}

}  // namespace

NTSTATUS CreateFile(_EPROCESS* process, std::u16string_view path, ACCESS_MASK desiredAccess, ULONG shareAccess,
                    ULONG disposition, ULONG createOptions, HANDLE* handle, ULONG_PTR* information) {
    *handle = nullptr;
    if (information != nullptr) {
        *information = 0;
    }
    sim::ThreadScope scope(process, sim::InThread::Main);
    sim::fs::Volume* volume = nullptr;
    std::u16string rest;
    bool volumeOpen = false;
    NTSTATUS status = sim::fs::ResolveUserPath(path, &volume, &rest, &volumeOpen);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // A volume's security lets only administrators at its data: anyone else
    // may open it for its attributes at most. The I/O manager checks this
    // before a create request exists, so no filter sees the attempt.
    constexpr ACCESS_MASK kVolumeAccessForAnyone = FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    if (volumeOpen && !process->isAdmin && (sim::fs::MapGenericFileAccess(desiredAccess) & ~kVolumeAccessForAnyone) != 0) {
        return STATUS_ACCESS_DENIED;
    }
    sim::fs::FileObjectBody* body = sim::fs::NewFileObject(volume, rest, nullptr);
    body->volumeOpen = volumeOpen;
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = sim::fs::MapGenericFileAccess(desiredAccess);
    security.FullCreateOptions = createOptions;
    IoRequest request;
    request.majorFunction = IRP_MJ_CREATE;
    request.irpFlags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    request.requestorMode = UserMode;
    request.file = body;
    request.parameters.Create.SecurityContext = &security;
    request.parameters.Create.Options = (disposition << 24) | (createOptions & FILE_VALID_OPTION_FLAGS);
    request.parameters.Create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    request.parameters.Create.ShareAccess = static_cast<USHORT>(shareAccess);
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    if (information != nullptr) {
        *information = result.Information;
    }
    if (!NT_SUCCESS(result.Status)) {
        sim::fs::DiscardFileObject(body);
        return result.Status;
    }
    body->fo.Flags |= FO_HANDLE_CREATED;
    status = sim::ob::CreateHandle(process, false, sim::ob::ObjectType::File, &body->fo, body->grantedAccess,
                                   &kUserFileHandle, handle);
    if (NT_SUCCESS(status)) {
        sim::fs::AddFileHandle(body);
    }
    if (!NT_SUCCESS(status)) {
        sim::flt::SendCleanup(&body->fo, UserMode);
        sim::ob::DereferenceObject(&body->fo);
        return status;
    }
    return result.Status;
}

namespace {

NTSTATUS ReadWritep(_EPROCESS* process, HANDLE handle, int64_t offset, void* buffer, ULONG length, ULONG* done, bool write) {
    if (done != nullptr) {
        *done = 0;
    }
    sim::ThreadScope scope(process, sim::InThread::Main);
    sim::fs::FileObjectBody* body;
    ACCESS_MASK granted;
    NTSTATUS status = FileOfp(process, handle, &body, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ACCESS_MASK needed = write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA;
    if (!(granted & needed)) {
        return STATUS_ACCESS_DENIED;
    }
    LARGE_INTEGER byteOffset;
    if (offset == kCurrentPosition) {
        if (!(body->fo.Flags & FO_SYNCHRONOUS_IO)) {
            return STATUS_INVALID_PARAMETER;
        }
        byteOffset.LowPart = FILE_USE_FILE_POINTER_POSITION;
        byteOffset.HighPart = -1;
    } else if (offset == kEndOfFile) {
        byteOffset.LowPart = FILE_WRITE_TO_END_OF_FILE;
        byteOffset.HighPart = -1;
    } else {
        byteOffset.QuadPart = offset;
    }
    // An append-only handle always writes at the end.
    if (write && !(granted & FILE_WRITE_DATA)) {
        byteOffset.LowPart = FILE_WRITE_TO_END_OF_FILE;
        byteOffset.HighPart = -1;
    }
    IoRequest request;
    request.majorFunction = write ? IRP_MJ_WRITE : IRP_MJ_READ;
    request.irpFlags = (write ? IRP_WRITE_OPERATION : IRP_READ_OPERATION) |
                       ((body->fo.Flags & FO_SYNCHRONOUS_IO) ? IRP_SYNCHRONOUS_API : 0);
    request.requestorMode = UserMode;
    request.file = body;
    sim::flt::SetTransfer(request, write, length, byteOffset, buffer);
    // A cached write on a synchronous handle may be tried as fast I/O first:
    // the same parameters, no IRP.
    const bool cached = (body->createOptions & FILE_NO_INTERMEDIATE_BUFFERING) == 0;
    IO_STATUS_BLOCK result{};
    bool sent = false;
    if (write && cached && (body->fo.Flags & FO_SYNCHRONOUS_IO) != 0 && sim::fs::CachedWritesUseFastIo()) {
        IoRequest fast = request;
        fast.irpFlags = 0;
        fast.callbackFlags = FLTFL_CALLBACK_DATA_FAST_IO_OPERATION;
        sim::Count("IoManager:FastIoWrite");
        result = sim::flt::Perform(fast);
        sent = !fast.fastIoDisallowed;
    }
    if (!sent) {
        result = sim::flt::Perform(request);
    }
    if (done != nullptr && NT_SUCCESS(result.Status)) {
        *done = static_cast<ULONG>(result.Information);
    }
    return result.Status;
}

}  // namespace

NTSTATUS WriteFile(_EPROCESS* process, HANDLE handle, int64_t offset, const void* data, ULONG length, ULONG* written) {
    return ReadWritep(process, handle, offset, const_cast<void*>(data), length, written, true);
}

NTSTATUS ReadFile(_EPROCESS* process, HANDLE handle, int64_t offset, void* buffer, ULONG length, ULONG* read) {
    return ReadWritep(process, handle, offset, buffer, length, read, false);
}

NTSTATUS SetRenameInformation(_EPROCESS* process, HANDLE handle, std::u16string_view newName, bool replaceIfExists,
                              HANDLE rootDirectory, bool exClass, ULONG flags) {
    ULONG nameBytes = static_cast<ULONG>(newName.size() * sizeof(WCHAR));
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFORMATION_EX) + nameBytes, 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION_EX*>(buffer.data());
    if (exClass) {
        info->Flags = flags;
    } else {
        info->ReplaceIfExists = replaceIfExists ? TRUE : FALSE;
    }
    info->RootDirectory = rootDirectory;
    info->FileNameLength = nameBytes;
    std::memcpy(info->FileName, newName.data(), nameBytes);
    return SetInformationp(process, handle, exClass ? FileRenameInformationEx : FileRenameInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()));
}

NTSTATUS SetDisposition(_EPROCESS* process, HANDLE handle, bool del, bool exClass, ULONG flags) {
    if (exClass) {
        FILE_DISPOSITION_INFORMATION_EX info{flags};
        return SetInformationp(process, handle, FileDispositionInformationEx, &info, sizeof(info));
    }
    FILE_DISPOSITION_INFORMATION info{static_cast<BOOLEAN>(del ? TRUE : FALSE)};
    return SetInformationp(process, handle, FileDispositionInformation, &info, sizeof(info));
}

NTSTATUS SetInformationFile(_EPROCESS* process, HANDLE handle, FILE_INFORMATION_CLASS infoClass, const void* buffer,
                            ULONG length) {
    return SetInformationp(process, handle, infoClass, buffer, length);
}

NTSTATUS DuplicateHandle(_EPROCESS* source, HANDLE handle, _EPROCESS* target, HANDLE* duplicate, ACCESS_MASK access) {
    *duplicate = nullptr;
    sim::ob::HandleEntry entry;
    NTSTATUS status = sim::ob::LookupHandle(source, handle, sim::ob::ObjectType::Other, &entry);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (entry.procedures != &kUserFileHandle) {
        sim::NotImplemented("DuplicateHandle of a handle other than a file's");
    }
    ACCESS_MASK granted = entry.grantedAccess;
    if (access != 0) {
        const ACCESS_MASK wanted = sim::fs::MapGenericFileAccess(access);
        if ((wanted & ~entry.grantedAccess) != 0) {
            sim::NotImplemented("DuplicateHandle with more access than the source handle has");
        }
        granted = wanted;
    }
    auto* fo = static_cast<PFILE_OBJECT>(entry.object);
    sim::ob::ReferenceObject(fo);
    sim::fs::AddFileHandle(sim::fs::BodyOf(fo));
    status = sim::ob::CreateHandle(target, false, sim::ob::ObjectType::File, fo, granted, &kUserFileHandle, duplicate);
    if (!NT_SUCCESS(status)) {
        (void)sim::fs::DropFileHandle(sim::fs::BodyOf(fo));
        sim::ob::DereferenceObject(fo);
    }
    return status;
}

NTSTATUS SetHandleInheritable(_EPROCESS* process, HANDLE handle, bool inheritable) {
    sim::fs::FileObjectBody* body;
    ACCESS_MASK granted;
    NTSTATUS status = FileOfp(process, handle, &body, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return sim::ob::SetInheritable(process, handle, inheritable);
}

NTSTATUS InheritHandles(_EPROCESS* parent, _EPROCESS* child) {
    for (auto& [value, entry] : sim::ob::InheritableHandles(parent)) {
        if (entry.procedures != &kUserFileHandle) {
            sim::NotImplemented("inheritance of a handle other than a file's");
        }
        auto* fo = static_cast<PFILE_OBJECT>(entry.object);
        sim::ob::ReferenceObject(fo);
        sim::fs::AddFileHandle(sim::fs::BodyOf(fo));
        NTSTATUS status = sim::ob::CreateHandleAt(child, value, entry);
        if (!NT_SUCCESS(status)) {
            (void)sim::fs::DropFileHandle(sim::fs::BodyOf(fo));
            sim::ob::DereferenceObject(fo);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS QueryFileId(_EPROCESS* process, HANDLE handle, ULONG64* fileId) {
    *fileId = 0;
    sim::ThreadScope scope(process, sim::InThread::Main);
    sim::fs::FileObjectBody* body;
    ACCESS_MASK granted;
    NTSTATUS status = FileOfp(process, handle, &body, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_INTERNAL_INFORMATION info{};
    IoRequest request;
    request.majorFunction = IRP_MJ_QUERY_INFORMATION;
    request.irpFlags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION | IRP_SYNCHRONOUS_API;
    request.requestorMode = UserMode;
    request.file = body;
    request.parameters.QueryFileInformation.Length = sizeof(info);
    request.parameters.QueryFileInformation.FileInformationClass = FileInternalInformation;
    request.parameters.QueryFileInformation.InfoBuffer = &info;
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    if (NT_SUCCESS(result.Status)) {
        *fileId = static_cast<ULONG64>(info.IndexNumber.QuadPart);
    }
    return result.Status;
}

NTSTATUS QueryStandardInformation(_EPROCESS* process, HANDLE handle, int64_t* endOfFile, bool* directory) {
    *endOfFile = 0;
    *directory = false;
    sim::ThreadScope scope(process, sim::InThread::Main);
    sim::fs::FileObjectBody* body;
    ACCESS_MASK granted;
    NTSTATUS status = FileOfp(process, handle, &body, &granted);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    FILE_STANDARD_INFORMATION info{};
    IoRequest request;
    request.majorFunction = IRP_MJ_QUERY_INFORMATION;
    request.irpFlags = IRP_BUFFERED_IO | IRP_INPUT_OPERATION | IRP_SYNCHRONOUS_API;
    request.requestorMode = UserMode;
    request.file = body;
    request.parameters.QueryFileInformation.Length = sizeof(info);
    request.parameters.QueryFileInformation.FileInformationClass = FileStandardInformation;
    request.parameters.QueryFileInformation.InfoBuffer = &info;
    IO_STATUS_BLOCK result = sim::flt::Perform(request);
    if (NT_SUCCESS(result.Status)) {
        *endOfFile = info.EndOfFile.QuadPart;
        *directory = info.Directory != FALSE;
    }
    return result.Status;
}

}  // namespace sim::user
