// The open the I/O manager makes before a rename or link whose target is a
// full path or lies below a root directory: the target's parent directory,
// opened with IO_OPEN_TARGET_DIRECTORY through the object manager (so a link
// in the path is followed) and every filter on the target's volume. The open
// asks for the right to add an entry to the directory (FILE_ADD_FILE, or
// FILE_ADD_SUBDIRECTORY when a directory moves), shares read and write, opens
// for backup intent and comes as a kernel-mode request that still wants the
// caller's access checks (SL_FORCE_ACCESS_CHECK).
#include "sim/io/target.h"

#include "sim/flt/io.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

namespace sim::io {

bool NeedsTargetDirectory(HANDLE rootDirectory, std::u16string_view name) {
    return rootDirectory != nullptr || (!name.empty() && name[0] == u'\\');
}

NTSTATUS OpenTargetDirectory(_EPROCESS* process, sim::fs::FileObjectBody* source, HANDLE rootDirectory,
                             std::u16string_view name, bool link, bool replaceIfExists, sim::fs::FileObjectBody** target) {
    *target = nullptr;
    // The open's object name is a counted string: a record's name longer than
    // one holds is refused before any filter sees an open.
    if (name.size() > sim::fs::kMaxNameCharacters) {
        return STATUS_NAME_TOO_LONG;
    }
    sim::fs::Volume* volume = nullptr;
    std::u16string rest;
    PFILE_OBJECT related = nullptr;
    NTSTATUS status;
    if (rootDirectory != nullptr) {
        sim::ob::HandleEntry entry;
        status = sim::ob::LookupHandle(process, rootDirectory, sim::ob::ObjectType::File, &entry);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        related = static_cast<PFILE_OBJECT>(entry.object);
        sim::fs::FileObjectBody* relatedBody = sim::fs::BodyOf(related);
        if (relatedBody == nullptr) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        volume = relatedBody->volume;
        rest = std::u16string(name);
    } else {
        status = sim::fs::ResolveNtPath(name, &volume, &rest);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    sim::fs::FileObjectBody* body = sim::fs::NewFileObject(volume, rest, related);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = (sim::fs::IsDirectoryFile(&source->fo) ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE) |
                             SYNCHRONIZE;
    security.FullCreateOptions = FILE_OPEN_FOR_BACKUP_INTENT;
    sim::flt::IoRequest request;
    request.majorFunction = IRP_MJ_CREATE;
    request.irpFlags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    request.operationFlags = SL_OPEN_TARGET_DIRECTORY | SL_FORCE_ACCESS_CHECK | (source->caseSensitive ? SL_CASE_SENSITIVE : 0);
    request.requestorMode = KernelMode;
    request.file = body;
    request.parameters.Create.SecurityContext = &security;
    request.parameters.Create.Options = (FILE_OPEN << 24) | FILE_OPEN_FOR_BACKUP_INTENT;
    request.parameters.Create.ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
    const IO_STATUS_BLOCK result = sim::flt::Perform(request);
    if (!NT_SUCCESS(result.Status)) {
        sim::fs::DiscardFileObject(body);
        return result.Status;
    }
    sim::fs::AddFileHandle(body);
    if (link && !replaceIfExists && result.Information == FILE_EXISTS) {
        CloseTargetDirectory(body);
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (body->volume != source->volume) {
        CloseTargetDirectory(body);
        return STATUS_NOT_SAME_DEVICE;
    }
    *target = body;
    return STATUS_SUCCESS;
}

void CloseTargetDirectory(sim::fs::FileObjectBody* target) {
    if (sim::fs::DropFileHandle(target)) {
        sim::flt::SendCleanup(&target->fo, KernelMode);
    }
    sim::ob::DereferenceObject(&target->fo);
}

}  // namespace sim::io
