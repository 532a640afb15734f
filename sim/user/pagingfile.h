// Paging files as the memory manager opens them: NtCreatePagingFile, which the
// session manager calls at boot for each configured paging file.
#pragma once

#include "sim/fs/fs.h"

#include <string_view>

struct _EPROCESS;

namespace sim::user {

// Opens (or creates) the paging file `ntPath` ("\??\C:\pagefile.sys") of
// `size` bytes, in `process`'s thread, as NtCreatePagingFile does: a
// kernel-mode create with SL_OPEN_PAGING_FILE through every filter on the
// volume (read and write data access, sharing write only, open-if,
// non-cached, hidden and system attributes), then the file's end set to
// `size` (a set-information request through the filters). The memory manager
// keeps the file open until ClosePagingFiles. The caller needs the right to
// create paging files (SYSTEM and administrators here):
// STATUS_PRIVILEGE_NOT_HELD otherwise. A size of 0 is STATUS_INVALID_PARAMETER.
NTSTATUS CreatePagingFile(_EPROCESS* process, std::u16string_view ntPath, int64_t size);

// Shutdown: the memory manager lets its paging files go (cleanup, then close,
// through the filters). Returns how many it closed.
size_t ClosePagingFiles();

}  // namespace sim::user
