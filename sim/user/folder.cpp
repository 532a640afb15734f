// User side: a folder looked at and made as a program's CreateDirectory calls
// make it.
#include "sim/user/folder.h"

namespace sim::user {

namespace {

constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

NTSTATUS OpenFolder(_EPROCESS* process, std::u16string_view path, ULONG disposition, ULONG_PTR* information) {
    HANDLE handle = nullptr;
    const NTSTATUS status = CreateFile(process, path, kFolderAccess, kShareAll, disposition,
                                       FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle, information);
    if (NT_SUCCESS(status)) {
        CloseHandle(process, handle);
    }
    return status;
}

// CreateDirectory of `path`, first of its parent when that is missing too.
NTSTATUS MakeFolder(_EPROCESS* process, std::u16string_view path, int depth) {
    ULONG_PTR information = 0;
    NTSTATUS status = OpenFolder(process, path, FILE_OPEN_IF, &information);
    if (status != STATUS_OBJECT_PATH_NOT_FOUND || depth > 64) {
        return status;
    }
    const size_t cut = path.rfind(u'\\');
    if (cut == std::u16string_view::npos || cut == 0) {
        return status;
    }
    status = MakeFolder(process, path.substr(0, cut), depth + 1);
    return NT_SUCCESS(status) ? OpenFolder(process, path, FILE_OPEN_IF, &information) : status;
}

}  // namespace

NTSTATUS EnsureFolder(_EPROCESS* process, std::u16string_view path, bool create, FolderFound* found) {
    *found = FolderFound::Missing;
    while (path.size() > 3 && path.back() == u'\\') {
        path.remove_suffix(1);
    }
    ULONG_PTR information = 0;
    NTSTATUS status = OpenFolder(process, path, FILE_OPEN, &information);
    if (NT_SUCCESS(status)) {
        *found = FolderFound::Existed;
        return STATUS_SUCCESS;
    }
    if (status == STATUS_NOT_A_DIRECTORY) {
        *found = FolderFound::NotAFolder;
        return STATUS_SUCCESS;
    }
    if (status != STATUS_OBJECT_NAME_NOT_FOUND && status != STATUS_OBJECT_PATH_NOT_FOUND) {
        return status;
    }
    if (!create) {
        return STATUS_SUCCESS;
    }
    status = MakeFolder(process, path, 0);
    if (NT_SUCCESS(status)) {
        *found = FolderFound::Created;
        return STATUS_SUCCESS;
    }
    return status;
}

}  // namespace sim::user
