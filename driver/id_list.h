// Locked lists of ids: the watched process ids and the tracked file ids.
#pragma once

#include "platform/kernel.h"

struct IdListEntry;

// The list, newest first, and a hash index over it so that a search costs the
// same with ten ids as with a hundred thousand. The index is the list's
// shadow: it holds exactly the linked entries, each bucket's chain in list
// order, and is changed in the same step as the list, under the same lock.
// Without it (a short list, or no memory for the buckets) a search walks the
// list as before.
//
// The lock is a push lock: a membership test takes it shared, so tests on
// every core run side by side and never wait for one another; an add, a
// removal or a clear takes it exclusive. Normal kernel APCs are off while it
// is held. Lock (DriverData's) may be held when it is taken, never the other
// way round.
struct LockedIdList {
    LIST_ENTRY Head;
    EX_PUSH_LOCK Lock;
    IdListEntry** Buckets;  // pool block (TagIdIndex) of 2^IndexBits chains, or null
    ULONG IndexBits;
    ULONG Count;            // entries linked
};

// The value is read as 64 bits by the index: a pid entry's upper half is zero,
// as IdListAddPid leaves it.
struct IdListEntry {
    LIST_ENTRY Links;
    union {
        ULONG Pid;
        ULONG64 FileId;
    };
    IdListEntry* HashNext;  // next entry of the same bucket, in list order
};

typedef VOID (*ID_LIST_FREE_ROUTINE)(IdListEntry* Entry);

VOID IdListInit(LockedIdList* List);
// Gives the lock back; the list must be empty and no longer used.
VOID IdListDelete(LockedIdList* List);
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
