// User side: what a program does to make sure a folder is there, as
// GetFileAttributes and CreateDirectory would, one component at a time.
#pragma once

#include "sim/user/file.h"

#include <string_view>

namespace sim::user {

enum class FolderFound { Existed, Created, Missing, NotAFolder };

// Looks at `path` (a user path "C:\Backup" or an NT path) as `process`; with
// `create`, a missing folder is made along with its missing parents. Returns
// STATUS_SUCCESS with what was found or made, or the status of the open or
// create that failed (a missing volume, access denied).
NTSTATUS EnsureFolder(_EPROCESS* process, std::u16string_view path, bool create, FolderFound* found);

}  // namespace sim::user
