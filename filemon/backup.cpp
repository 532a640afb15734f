// The backup copy of a modified file: a free name in the backup folder, the
// folder made if need be, and the file's data copied in 2048-byte chunks. Every
// open, read and write goes to this filter's instances, so it reaches only the
// filters and the file system below the driver and never the driver's own
// callbacks: a backup is not reported and cannot be denied.
#include "filemon/filemon.h"

#include "driver/counted_string.h"
#include "driver/driver_data.h"
#include "driver/tags.h"

namespace {

constexpr ULONG BackuppChunk = 2048;
constexpr ULONG BackuppSuffixLength = 12;
constexpr ULONG BackuppAttempts = 21;

LONG BackuppCurrentPid() { return static_cast<LONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId())); }

// The folder begins with Prefix, in any case; PrefixChars receives its length.
BOOLEAN BackuppStartsWith(PCUNICODE_STRING Text, const WCHAR* Prefix, USHORT* PrefixChars) {
    UNICODE_STRING prefix;
    RtlInitUnicodeString(&prefix, Prefix);
    if (!RtlPrefixUnicodeString(&prefix, Text, TRUE)) {
        return FALSE;
    }
    *PrefixChars = static_cast<USHORT>(prefix.Length / sizeof(WCHAR));
    return TRUE;
}

// The volume part of a folder's object name: "\??\D:", "\DosDevices\D:" or
// "\Device\HarddiskVolume2". Length 0 when the name has none of these forms.
UNICODE_STRING BackuppVolumeOf(PCUNICODE_STRING Folder) {
    UNICODE_STRING volume = {0, 0, nullptr};
    const USHORT chars = static_cast<USHORT>(Folder->Length / sizeof(WCHAR));
    USHORT prefix = 0;
    USHORT end = 0;
    if (BackuppStartsWith(Folder, VETRONA_WIDE("\\??\\"), &prefix) ||
        BackuppStartsWith(Folder, VETRONA_WIDE("\\DosDevices\\"), &prefix)) {
        if (chars < prefix + 2 || Folder->Buffer[prefix + 1] != ':') {
            return volume;
        }
        end = static_cast<USHORT>(prefix + 2);
    } else if (BackuppStartsWith(Folder, VETRONA_WIDE("\\Device\\"), &prefix)) {
        end = prefix;
        while (end < chars && Folder->Buffer[end] != '\\') {
            ++end;
        }
        if (end == prefix) {
            return volume;
        }
    } else {
        return volume;
    }
    volume.Buffer = Folder->Buffer;
    volume.Length = static_cast<USHORT>(end * sizeof(WCHAR));
    volume.MaximumLength = volume.Length;
    return volume;
}

// This filter's instance on the volume that holds the folder, with a reference
// the caller drops with FltObjectDereference; null when it cannot be found.
PFLT_INSTANCE BackuppFolderInstance(PFLT_FILTER Filter, PCUNICODE_STRING Folder) {
    UNICODE_STRING volumeName = BackuppVolumeOf(Folder);
    if (volumeName.Length == 0) {
        return nullptr;
    }
    PFLT_VOLUME volume = nullptr;
    if (!NT_SUCCESS(FltGetVolumeFromName(Filter, &volumeName, &volume))) {
        return nullptr;
    }
    PFLT_INSTANCE instance = nullptr;
    if (!NT_SUCCESS(FltGetVolumeInstanceFromName(Filter, volume, nullptr, &instance))) {
        instance = nullptr;
    }
    FltObjectDereference(volume);
    return instance;
}

}  // namespace

NTSTATUS FileMonOpenFile(PCUNICODE_STRING Name, ACCESS_MASK DesiredAccess, ULONG ShareAccess, ULONG Disposition, ULONG CreateOptions,
                         PHANDLE Handle, PFLT_FILTER Filter, PFLT_INSTANCE Instance) {
    if (Handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Handle = nullptr;
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_NOT_SUPPORTED;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Name), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK ioStatus;
    return FltCreateFile(Filter, Instance, Handle, DesiredAccess, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL, ShareAccess,
                         Disposition, CreateOptions, nullptr, 0, IO_NO_PARAMETER_CHECKING);
}

NTSTATUS FileMonCreateDirectory(PCUNICODE_STRING Folder, PFLT_FILTER Filter, PFLT_INSTANCE Instance) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_NOT_SUPPORTED;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Folder), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = nullptr;
    const NTSTATUS status = FltCreateFile(Filter, Instance, &handle, 0, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_DIRECTORY, 0,
                                          FILE_CREATE, FILE_DIRECTORY_FILE, nullptr, 0, IO_NO_PARAMETER_CHECKING);
    if (NT_SUCCESS(status)) {
        FltClose(handle);
    }
    return status;
}

NTSTATUS FileMonCopyData(HANDLE Source, PCUNICODE_STRING Target, PFLT_FILTER Filter, PFLT_INSTANCE SourceInstance,
                         PFLT_INSTANCE TargetInstance) {
    PVOID sourceObject = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(Source, FILE_ALL_ACCESS, nullptr, KernelMode, &sourceObject, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // FILE_CREATE: a name another backup took since the probe is never
    // written into; the caller moves on to the next name.
    HANDLE target = nullptr;
    status = FileMonOpenFile(Target, GENERIC_WRITE, 0, FILE_CREATE, FILE_SYNCHRONOUS_IO_NONALERT, &target, Filter, TargetInstance);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(sourceObject);
        return status;
    }
    PVOID targetObject = nullptr;
    status = ObReferenceObjectByHandle(target, FILE_ALL_ACCESS, nullptr, KernelMode, &targetObject, nullptr);
    if (!NT_SUCCESS(status)) {
        FltClose(target);
        ObDereferenceObject(sourceObject);
        return status;
    }
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(DriverPoolType, BackuppChunk, TagCopyBuffer));
    if (buffer == nullptr) {
        FltClose(target);
        ObDereferenceObject(targetObject);
        ObDereferenceObject(sourceObject);
        return STATUS_NO_MEMORY;
    }
    RtlZeroMemory(buffer, BackuppChunk);

    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    for (;;) {
        ULONG read = 0;
        status = FltReadFile(SourceInstance, static_cast<PFILE_OBJECT>(sourceObject), &offset, BackuppChunk, buffer, 0, &read, nullptr,
                             nullptr);
        if ((NT_ERROR(status) && status != STATUS_END_OF_FILE) || read == 0) {
            break;
        }
        const NTSTATUS readStatus = status;
        ULONG written = 0;
        status = FltWriteFile(TargetInstance, static_cast<PFILE_OBJECT>(targetObject), &offset, read, buffer, 0, &written, nullptr,
                              nullptr);
        if (NT_ERROR(status) || readStatus == STATUS_END_OF_FILE) {
            break;
        }
        offset.QuadPart += read;
        RtlZeroMemory(buffer, BackuppChunk);
    }
    ExFreePoolWithTag(buffer, TagCopyBuffer);
    ObDereferenceObject(targetObject);
    ObDereferenceObject(sourceObject);
    FltClose(target);
    return status == STATUS_END_OF_FILE ? STATUS_SUCCESS : status;
}

NTSTATUS FileMonCopyFileWithLock(PCFLT_RELATED_OBJECTS FltObjects, PCUNICODE_STRING SourceName, PCUNICODE_STRING TargetName,
                                 PFLT_INSTANCE TargetInstance) {
    if (SourceName == nullptr || TargetName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(SourceName), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE source = nullptr;
    NTSTATUS status = FltCreateFile(FltObjects->Filter, FltObjects->Instance, &source, FILE_GENERIC_READ, &attributes, &ioStatus, nullptr,
                                    0, FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_ALERT | FILE_COMPLETE_IF_OPLOCKED, nullptr, 0,
                                    IO_IGNORE_SHARE_ACCESS_CHECK | IO_NO_PARAMETER_CHECKING);
    if (status != STATUS_SUCCESS) {
        // A success other than STATUS_SUCCESS (an oplock break under way)
        // still delivered a handle.
        if (NT_SUCCESS(status) && source != nullptr) {
            FltClose(source);
        }
        DbgPrint("[%d][FileMonCopyFileWithLock] Status: 0x%x\n", BackuppCurrentPid(), status);
        return status;
    }
    DbgPrint("[%d][FileMonCopyFileWithLock] Copying file...\n", BackuppCurrentPid());
    status = FileMonCopyData(source, TargetName, FltObjects->Filter, FltObjects->Instance, TargetInstance);
    FltClose(source);
    DbgPrint("[%d][FileMonCopyFileWithLock] Status: 0x%x\n", BackuppCurrentPid(), status);
    return status;
}

NTSTATUS FileMonBackupFile(PFLT_FILE_NAME_INFORMATION NameInfo, PCFLT_RELATED_OBJECTS FltObjects, PCOUNTED_STRING Folder,
                           PCOUNTED_STRING* Target) {
    if (Target == nullptr || Folder == nullptr || Folder->Buffer == nullptr || NameInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Target = nullptr;
    // Every open below refuses to run above passive level, and so do the
    // volume and instance look-ups that find the folder: ask before them.
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_NOT_SUPPORTED;
    }

    // The folder is reached through this filter's instance on its own volume,
    // which may be another than the file's.
    PFLT_INSTANCE folderInstance = BackuppFolderInstance(FltObjects->Filter, Folder);
    PFLT_INSTANCE const targetInstance = folderInstance != nullptr ? folderInstance : FltObjects->Instance;

    NTSTATUS status = STATUS_SUCCESS;
    PCOUNTED_STRING candidate = nullptr;
    PCOUNTED_STRING suffix = nullptr;
    ULONG attempt = 0;
    for (; attempt < BackuppAttempts; ++attempt) {
        StrFree(candidate, TagString);
        candidate = nullptr;
        StrFree(suffix, TagString);
        suffix = nullptr;

        if (attempt != 0) {
            suffix = StrAlloc(BackuppSuffixLength, TagString);
            if (suffix == nullptr) {
                status = STATUS_NO_MEMORY;
                break;
            }
            suffix->Length = 0;
            status = RtlIntegerToUnicodeString(attempt, 10, suffix);
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
        const ULONG separator = static_cast<ULONG>(sizeof(WCHAR));
        const ULONG length = static_cast<ULONG>(Folder->Length) + separator + NameInfo->FinalComponent.Length +
                             (suffix != nullptr ? separator + suffix->Length : 0U);
        candidate = StrAlloc(length, TagString);
        if (candidate == nullptr) {
            status = STATUS_NO_MEMORY;
            break;
        }
        candidate->Length = 0;
        RtlCopyUnicodeString(candidate, Folder);
        status = StrAppendZ(candidate, VETRONA_WIDE("\\"));
        if (status == STATUS_SUCCESS) {
            status = StrAppend(candidate, &NameInfo->FinalComponent);
        }
        if (status == STATUS_SUCCESS && suffix != nullptr) {
            status = StrAppendZ(candidate, VETRONA_WIDE("_"));
            if (status == STATUS_SUCCESS) {
                status = StrAppend(candidate, suffix);
            }
        }
        if (status != STATUS_SUCCESS) {
            break;
        }

        HANDLE probe = nullptr;
        status = FileMonOpenFile(candidate, GENERIC_READ, 0, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &probe, FltObjects->Filter,
                                 targetInstance);
        if (NT_SUCCESS(status)) {
            FltClose(probe);  // taken
            continue;
        }
        // Held open without sharing (another backup copying into it, for
        // one): the name exists, so it is taken too.
        if (status == STATUS_SHARING_VIOLATION) {
            continue;
        }
        if (status != STATUS_OBJECT_NAME_NOT_FOUND) {
            break;
        }
        status = FileMonCreateDirectory(Folder, FltObjects->Filter, targetInstance);
        if (status != STATUS_SUCCESS && status != STATUS_OBJECT_NAME_COLLISION) {
            break;
        }
        status = FileMonCopyFileWithLock(FltObjects, &NameInfo->Name, candidate, targetInstance);
        if (status == STATUS_OBJECT_NAME_COLLISION) {
            continue;  // taken between the probe and the create
        }
        if (status != STATUS_SUCCESS) {
            break;
        }
        *Target = candidate;
        candidate = nullptr;
        break;
    }
    // Every name taken: no copy was made, and the status says so rather than
    // repeating the last probe's success.
    if (attempt == BackuppAttempts) {
        status = STATUS_OBJECT_NAME_COLLISION;
    }
    StrFree(candidate, TagString);
    StrFree(suffix, TagString);
    if (folderInstance != nullptr) {
        FltObjectDereference(folderInstance);
    }
    return status;
}

namespace {

// The size of the file a name leads to, opened as the copy opens it (the
// caller's share mode ignored), and whether it is a directory.
NTSTATUS BackuppSizeOf(PCFLT_RELATED_OBJECTS FltObjects, PCUNICODE_STRING Name, PULONG64 Size, PBOOLEAN Directory) {
    *Size = 0;
    *Directory = FALSE;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Name), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK ioStatus;
    HANDLE handle = nullptr;
    NTSTATUS status = FltCreateFile(FltObjects->Filter, FltObjects->Instance, &handle, FILE_READ_ATTRIBUTES | SYNCHRONIZE, &attributes,
                                    &ioStatus, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                    FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0, IO_IGNORE_SHARE_ACCESS_CHECK | IO_NO_PARAMETER_CHECKING);
    if (status != STATUS_SUCCESS) {
        if (NT_SUCCESS(status) && handle != nullptr) {
            FltClose(handle);
            status = STATUS_UNSUCCESSFUL;
        }
        return status;
    }
    PVOID object = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &object, nullptr);
    if (NT_SUCCESS(status)) {
        FILE_STANDARD_INFORMATION info;
        RtlZeroMemory(&info, sizeof(info));
        status = FltQueryInformationFile(FltObjects->Instance, static_cast<PFILE_OBJECT>(object), &info, sizeof(info),
                                         FileStandardInformation, nullptr);
        if (NT_SUCCESS(status)) {
            *Size = static_cast<ULONG64>(info.EndOfFile.QuadPart);
            *Directory = info.Directory;
        }
        ObDereferenceObject(object);
    }
    FltClose(handle);
    return status;
}

}  // namespace

NTSTATUS FileMonBackupBeforeChange(PFLT_FILE_NAME_INFORMATION NameInfo, PCFLT_RELATED_OBJECTS FltObjects) {
    if (NameInfo == nullptr || FltObjects == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) {
        return STATUS_NOT_SUPPORTED;
    }
    PCOUNTED_STRING folder = nullptr;
    DriverDataLock();
    const ULONG64 limit = DriverData.BackupLimit;
    if (limit != 0 && DriverData.BackupDir != nullptr && DriverData.BackupDir->Length != 0) {
        folder = StrDuplicate(DriverData.BackupDir, TagString);
    }
    DriverDataUnlock();
    if (folder == nullptr) {
        return STATUS_SUCCESS;
    }

    ULONG64 size = 0;
    BOOLEAN directory = FALSE;
    NTSTATUS status = BackuppSizeOf(FltObjects, &NameInfo->Name, &size, &directory);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_OBJECT_PATH_NOT_FOUND || (NT_SUCCESS(status) && directory)) {
        // Nothing there yet (an open that will create the file), or a folder:
        // nothing to keep.
        StrFree(folder, TagString);
        return STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status) && size > limit) {
        status = STATUS_FILE_TOO_LARGE;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrint("[%d][FileMonCopyFileWithLock] Status: 0x%x\n", BackuppCurrentPid(), status);
        StrFree(folder, TagString);
        return status;
    }
    PCOUNTED_STRING target = nullptr;
    status = FileMonBackupFile(NameInfo, FltObjects, folder, &target);
    StrFree(target, TagString);
    StrFree(folder, TagString);
    return status;
}
