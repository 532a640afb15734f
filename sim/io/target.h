// The I/O manager's open of a rename or link target's parent directory
// (sim/user/rename_target.cpp), made before the set-information request is
// built. Host code only.
#pragma once

#include "sim/fs/fs.h"

#include <string_view>

struct _EPROCESS;

namespace sim::io {

// Whether a rename or link record of this name and root directory needs the
// target's directory opened first: a full path, or a name below a root.
bool NeedsTargetDirectory(HANDLE rootDirectory, std::u16string_view name);

// Opens the parent directory of the target `name` (relative to `rootDirectory`
// when given) in the current thread, as the I/O manager does with
// IO_OPEN_TARGET_DIRECTORY: the create goes through every filter on the
// target's volume. Refuses a link over an existing name without replace
// (STATUS_OBJECT_NAME_COLLISION) and a target on another volume than `source`
// (STATUS_NOT_SAME_DEVICE), closing what it opened. On success the caller
// passes the file object as ParentOfTarget and closes it with
// CloseTargetDirectory when the request is done.
NTSTATUS OpenTargetDirectory(_EPROCESS* process, sim::fs::FileObjectBody* source, HANDLE rootDirectory,
                             std::u16string_view name, bool link, bool replaceIfExists, sim::fs::FileObjectBody** target);
// Closes the I/O manager's handle: cleanup, then close, through the filters.
void CloseTargetDirectory(sim::fs::FileObjectBody* target);

}  // namespace sim::io
