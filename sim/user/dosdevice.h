// User side of DOS device names: what a program's DefineDosDevice does, a
// symbolic link in the caller's DOS-devices directory (\??) that later opens
// and renames follow as the object manager parses their paths.
#pragma once

#include "sim/ps/ps.h"

#include <string_view>

namespace sim::user {

#define DDD_RAW_TARGET_PATH 0x00000001
#define DDD_REMOVE_DEFINITION 0x00000002
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004
#define DDD_NO_BROADCAST_SYSTEM 0x00000008

// DefineDosDevice as `process`. `deviceName` is one component ("Name", "X:").
// The target is taken as it is with DDD_RAW_TARGET_PATH ("\??\C:\dir\x.txt",
// "\Device\HarddiskVolume1"); otherwise it is a DOS path ("C:\dir",
// "\\?\C:\dir", "\\server\share") and is stored in its NT form. Defining a
// name that exists puts the new target in front; DDD_REMOVE_DEFINITION takes
// the newest definition away (with DDD_EXACT_MATCH_ON_REMOVE only the one whose
// target is `targetPath`) and the one before it comes back.
// The model has no logon sessions: the caller's \?? is the global one.
// Errors: STATUS_OBJECT_NAME_INVALID for an empty name or one with a
// backslash, or a DOS target that is not absolute; STATUS_OBJECT_NAME_NOT_FOUND
// for a removal that matches nothing.
NTSTATUS DefineDosDevice(_EPROCESS* process, ULONG flags, std::u16string_view deviceName,
                         std::u16string_view targetPath);

}  // namespace sim::user
