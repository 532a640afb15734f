// User side: part of a file read by name, as a program opens, reads and
// closes it.
#include "sim/user/read.h"

namespace sim::user {

NTSTATUS ReadFileAt(_EPROCESS* process, std::u16string_view path, uint64_t offset, void* buffer, ULONG length, ULONG* read) {
    *read = 0;
    if (offset > static_cast<uint64_t>(INT64_MAX)) {
        return STATUS_INVALID_PARAMETER;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = CreateFile(process, path, FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (length != 0) {
        status = ReadFile(process, handle, static_cast<int64_t>(offset), buffer, length, read);
        if (status == STATUS_END_OF_FILE) {
            *read = 0;
            status = STATUS_SUCCESS;
        }
    }
    CloseHandle(process, handle);
    return status;
}

}  // namespace sim::user
