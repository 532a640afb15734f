// Paging files: the memory manager's own open of a file it pages to. The
// create comes as a kernel-mode request (the caller vouched for the
// parameters) marked SL_OPEN_PAGING_FILE, in the thread of the process that
// asked for the paging file; the file object then stays open for the life of
// the system.
#include "sim/user/pagingfile.h"

#include "sim/flt/io.h"
#include "sim/ob/ob.h"
#include "sim/ps/ps.h"

#include <mutex>
#include <vector>

namespace sim::user {

namespace {

std::mutex gLock;
std::vector<sim::fs::FileObjectBody*> gPagingFiles;

const bool gRegistered = [] {
    sim::RegisterResetHook("user_pagingfile", [] {
        std::lock_guard<std::mutex> guard(gLock);
        gPagingFiles.clear();  // the file objects went with the object manager's reset
    });
    return true;
}();

void Closep(sim::fs::FileObjectBody* body) {
    if (sim::fs::DropFileHandle(body)) {
        sim::flt::SendCleanup(&body->fo, KernelMode);
    }
    sim::ob::DereferenceObject(&body->fo);
}

}  // namespace

NTSTATUS CreatePagingFile(_EPROCESS* process, std::u16string_view ntPath, int64_t size) {
    if (process != sim::SystemProcess() && !process->isAdmin) {
        return STATUS_PRIVILEGE_NOT_HELD;
    }
    if (size <= 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ntPath.size() > sim::fs::kMaxNameCharacters) {
        return STATUS_NAME_TOO_LONG;
    }
    sim::ThreadScope scope(process, sim::InThread::Main);
    sim::fs::Volume* volume = nullptr;
    std::u16string rest;
    NTSTATUS status = sim::fs::ResolveNtPath(ntPath, &volume, &rest);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (rest.empty() || rest == u"\\") {
        return STATUS_OBJECT_NAME_INVALID;
    }
    sim::fs::FileObjectBody* body = sim::fs::NewFileObject(volume, rest, nullptr);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = FILE_READ_DATA | FILE_WRITE_DATA | SYNCHRONIZE;
    security.FullCreateOptions = FILE_NO_INTERMEDIATE_BUFFERING;
    sim::flt::IoRequest create;
    create.majorFunction = IRP_MJ_CREATE;
    create.irpFlags = IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API;
    create.operationFlags = SL_OPEN_PAGING_FILE;
    create.requestorMode = KernelMode;
    create.file = body;
    create.parameters.Create.SecurityContext = &security;
    create.parameters.Create.Options = (FILE_OPEN_IF << 24) | FILE_NO_INTERMEDIATE_BUFFERING;
    create.parameters.Create.FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    create.parameters.Create.ShareAccess = FILE_SHARE_WRITE;
    create.parameters.Create.AllocationSize.QuadPart = size;
    IO_STATUS_BLOCK result = sim::flt::Perform(create);
    if (!NT_SUCCESS(result.Status)) {
        sim::fs::DiscardFileObject(body);
        return result.Status;
    }
    sim::fs::AddFileHandle(body);

    LARGE_INTEGER endOfFile;
    endOfFile.QuadPart = size;
    sim::flt::IoRequest setEnd;
    setEnd.majorFunction = IRP_MJ_SET_INFORMATION;
    setEnd.irpFlags = IRP_SYNCHRONOUS_API;
    setEnd.requestorMode = KernelMode;
    setEnd.file = body;
    setEnd.parameters.SetFileInformation.Length = sizeof(endOfFile);
    setEnd.parameters.SetFileInformation.FileInformationClass = FileEndOfFileInformation;
    setEnd.parameters.SetFileInformation.InfoBuffer = &endOfFile;
    result = sim::flt::Perform(setEnd);
    if (!NT_SUCCESS(result.Status)) {
        Closep(body);
        return result.Status;
    }
    std::lock_guard<std::mutex> guard(gLock);
    gPagingFiles.push_back(body);
    return STATUS_SUCCESS;
}

size_t ClosePagingFiles() {
    std::vector<sim::fs::FileObjectBody*> closing;
    {
        std::lock_guard<std::mutex> guard(gLock);
        closing.swap(gPagingFiles);
    }
    sim::ThreadScope scope(sim::SystemProcess());
    for (sim::fs::FileObjectBody* body : closing) {
        Closep(body);
    }
    return closing.size();
}

}  // namespace sim::user
