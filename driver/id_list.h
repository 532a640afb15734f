// Locked lists of ids: the watched process ids and the tracked file ids.
#pragma once

#include "platform/kernel.h"

struct LockedIdList {
    LIST_ENTRY Head;
    FAST_MUTEX Mutex;
};

struct IdListEntry {
    LIST_ENTRY Links;
    union {
        ULONG Pid;
        ULONG64 FileId;
    };
};

typedef VOID (*ID_LIST_FREE_ROUTINE)(IdListEntry* Entry);

VOID IdListInit(LockedIdList* List);
BOOLEAN IdListIsEmpty(LockedIdList* List);
VOID IdListLink(LockedIdList* List, IdListEntry* Entry);
VOID IdListUnlink(LockedIdList* List, IdListEntry* Entry);
NTSTATUS IdListAddPid(LockedIdList* List, ULONG Pid);
BOOLEAN IdListHasPid(LockedIdList* List, ULONG Pid);
NTSTATUS IdListRemovePid(LockedIdList* List, ULONG Pid);
NTSTATUS IdListAddFileId(LockedIdList* List, ULONG64 FileId);
BOOLEAN IdListHasFileId(LockedIdList* List, ULONG64 FileId);
VOID IdListClear(LockedIdList* List, ID_LIST_FREE_ROUTINE FreeRoutine);
NTSTATUS IdListClearPids(LockedIdList* List);
NTSTATUS IdListClearFileIds(LockedIdList* List);
VOID IdListFreePidEntry(IdListEntry* Entry);
VOID IdListFreeFileIdEntry(IdListEntry* Entry);
