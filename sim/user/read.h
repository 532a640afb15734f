// User side: a program reading part of a file by name, as CreateFile with
// read access and every share mode, ReadFile at an offset and CloseHandle
// would.
#pragma once

#include "sim/user/file.h"

#include <string_view>

namespace sim::user {

// Reads up to `length` bytes of the file at `path` (a user path "C:\dir\f.exe"
// or an NT path) from `offset`, as `process`; `*read` is how many came (0 at
// or past the end, which is a success). A folder is refused with
// STATUS_FILE_IS_A_DIRECTORY; other failures are the open's or the read's.
NTSTATUS ReadFileAt(_EPROCESS* process, std::u16string_view path, uint64_t offset, void* buffer, ULONG length, ULONG* read);

}  // namespace sim::user
