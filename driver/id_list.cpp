// Locked lists of process ids and file ids. Each list has its own push lock:
// a membership test holds it shared; a search and the change that depends on
// it happen under one exclusive hold.
#include "driver/id_list.h"

#include "driver/driver_data.h"
#include "driver/tags.h"

// The index starts once a list holds this many entries (a shorter walk is as
// quick) and keeps at most one entry per bucket on average.
static const ULONG IdListpIndexThreshold = 16;
static const ULONG IdListpFirstIndexBits = 6;
static const ULONG IdListpMaxIndexBits = 24;

// A thread suspended by an APC while it holds the lock would stall every
// open on the machine behind it: the critical region keeps normal kernel APCs
// off for as long as it is held.
static VOID IdListpLockShared(LockedIdList* List) {
    KeEnterCriticalRegion();
    FltAcquirePushLockShared(&List->Lock);
}

static VOID IdListpLockExclusive(LockedIdList* List) {
    KeEnterCriticalRegion();
    FltAcquirePushLockExclusive(&List->Lock);
}

static VOID IdListpUnlock(LockedIdList* List) {
    FltReleasePushLock(&List->Lock);
    KeLeaveCriticalRegion();
}

VOID IdListInit(LockedIdList* List) {
    FltInitializePushLock(&List->Lock);
    IdListpLockExclusive(List);
    InitializeListHead(&List->Head);
    List->Buckets = nullptr;
    List->IndexBits = 0;
    List->Count = 0;
    IdListpUnlock(List);
}

VOID IdListDelete(LockedIdList* List) {
    FltDeletePushLock(&List->Lock);
}

BOOLEAN IdListIsEmpty(LockedIdList* List) {
    return IsListEmpty(&List->Head);
}

// Multiplicative hashing: ids that step by 4 (pids) or by 1 (file indexes)
// spread over every bucket.
static ULONG IdListpBucket(ULONG64 Value, ULONG IndexBits) {
    return static_cast<ULONG>((Value * 0x9E3779B97F4A7C15ull) >> (64 - IndexBits));
}

static IdListEntry** IdListpChain(LockedIdList* List, ULONG64 Value) {
    return &List->Buckets[IdListpBucket(Value, List->IndexBits)];
}

// Puts a newly linked front entry at the head of its chain, which keeps each
// chain in list order. The caller holds the list lock.
static VOID IdListpIndexInsert(LockedIdList* List, IdListEntry* Entry) {
    if (List->Buckets == nullptr) {
        Entry->HashNext = nullptr;
        return;
    }
    IdListEntry** chain = IdListpChain(List, Entry->FileId);
    Entry->HashNext = *chain;
    *chain = Entry;
}

static VOID IdListpIndexRemove(LockedIdList* List, IdListEntry* Entry) {
    if (List->Buckets == nullptr) {
        return;
    }
    for (IdListEntry** place = IdListpChain(List, Entry->FileId); *place != nullptr; place = &(*place)->HashNext) {
        if (*place == Entry) {
            *place = Entry->HashNext;
            break;
        }
    }
    Entry->HashNext = nullptr;
}

static VOID IdListpIndexFree(LockedIdList* List) {
    if (List->Buckets != nullptr) {
        ExFreePoolWithTag(List->Buckets, TagIdIndex);
        List->Buckets = nullptr;
    }
    List->IndexBits = 0;
}

// Builds the index, or a larger one, once the list has outgrown it. The
// entries go in from the oldest to the newest, so each chain runs newest
// first like the list. No memory: the list keeps the index it had (or none)
// and stays correct, only slower.
static VOID IdListpIndexGrow(LockedIdList* List) {
    if (List->Count < IdListpIndexThreshold) {
        return;
    }
    ULONG bits = List->IndexBits;
    if (bits != 0 && (List->Count <= (1ul << bits) || bits >= IdListpMaxIndexBits)) {
        return;
    }
    bits = bits == 0 ? IdListpFirstIndexBits : bits + 1;
    const SIZE_T bytes = sizeof(IdListEntry*) << bits;
    IdListEntry** buckets = static_cast<IdListEntry**>(ExAllocatePoolWithTag(DriverPoolType, bytes, TagIdIndex));
    if (buckets == nullptr) {
        return;
    }
    RtlZeroMemory(buckets, bytes);
    IdListpIndexFree(List);
    List->Buckets = buckets;
    List->IndexBits = bits;
    for (PLIST_ENTRY link = List->Head.Blink; link != &List->Head; link = link->Blink) {
        IdListpIndexInsert(List, CONTAINING_RECORD(link, IdListEntry, Links));
    }
}

// Front insertion with the kit's link check; the caller holds the list lock.
static VOID IdListpLinkLocked(LockedIdList* List, IdListEntry* Entry) {
    InsertHeadList(&List->Head, &Entry->Links);
    List->Count++;
    IdListpIndexInsert(List, Entry);
    IdListpIndexGrow(List);
}

// Unlinking with the kit's link check, which runs before anything changes;
// the caller holds the list lock.
static VOID IdListpUnlinkLocked(LockedIdList* List, IdListEntry* Entry) {
    RemoveEntryList(&Entry->Links);
    List->Count--;
    IdListpIndexRemove(List, Entry);
}

VOID IdListLink(LockedIdList* List, IdListEntry* Entry) {
    if (List == nullptr || Entry == nullptr) {
        return;
    }
    IdListpLockExclusive(List);
    IdListpLinkLocked(List, Entry);
    IdListpUnlock(List);
}

VOID IdListUnlink(LockedIdList* List, IdListEntry* Entry) {
    if (List == nullptr || Entry == nullptr) {
        return;
    }
    IdListpLockExclusive(List);
    IdListpUnlinkLocked(List, Entry);
    IdListpUnlock(List);
}

// The newest entry holding the pid, or none; the caller holds the list lock.
static IdListEntry* IdListpFindPid(LockedIdList* List, ULONG Pid) {
    if (List->Buckets != nullptr) {
        for (IdListEntry* entry = *IdListpChain(List, Pid); entry != nullptr; entry = entry->HashNext) {
            if (entry->FileId == Pid) {
                return entry;
            }
        }
        return nullptr;
    }
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        IdListEntry* entry = CONTAINING_RECORD(link, IdListEntry, Links);
        if (entry->Pid == Pid) {
            return entry;
        }
    }
    return nullptr;
}

static IdListEntry* IdListpFindFileId(LockedIdList* List, ULONG64 FileId) {
    if (List->Buckets != nullptr) {
        for (IdListEntry* entry = *IdListpChain(List, FileId); entry != nullptr; entry = entry->HashNext) {
            if (entry->FileId == FileId) {
                return entry;
            }
        }
        return nullptr;
    }
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        IdListEntry* entry = CONTAINING_RECORD(link, IdListEntry, Links);
        if (entry->FileId == FileId) {
            return entry;
        }
    }
    return nullptr;
}

NTSTATUS IdListAddPid(LockedIdList* List, ULONG Pid) {
    if (List == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_SUCCESS;
    IdListpLockExclusive(List);
    if (IdListpFindPid(List, Pid) != nullptr) {
        status = STATUS_ALREADY_REGISTERED;
    } else {
        IdListEntry* entry = static_cast<IdListEntry*>(ExAllocatePoolWithTag(DriverPoolType, sizeof(IdListEntry), TagProcessEntry));
        if (entry == nullptr) {
            status = STATUS_NO_MEMORY;
        } else {
            RtlZeroMemory(entry, sizeof(*entry));
            entry->Pid = Pid;
            IdListpLinkLocked(List, entry);
        }
    }
    IdListpUnlock(List);
    return status;
}

BOOLEAN IdListHasPid(LockedIdList* List, ULONG Pid) {
    if (List == nullptr) {
        return FALSE;
    }
    IdListpLockShared(List);
    BOOLEAN found = IdListpFindPid(List, Pid) != nullptr;
    IdListpUnlock(List);
    return found;
}

NTSTATUS IdListRemovePid(LockedIdList* List, ULONG Pid) {
    if (List == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_NOT_FOUND;
    IdListpLockExclusive(List);
    IdListEntry* entry = IdListpFindPid(List, Pid);
    if (entry != nullptr) {
        IdListpUnlinkLocked(List, entry);
        ExFreePoolWithTag(entry, TagProcessEntry);
        status = STATUS_SUCCESS;
    }
    IdListpUnlock(List);
    return status;
}

NTSTATUS IdListAddFileId(LockedIdList* List, ULONG64 FileId) {
    if (List == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_SUCCESS;
    IdListpLockExclusive(List);
    if (IdListpFindFileId(List, FileId) != nullptr) {
        status = STATUS_ALREADY_REGISTERED;
    } else {
        IdListEntry* entry = static_cast<IdListEntry*>(ExAllocatePoolWithTag(DriverPoolType, sizeof(IdListEntry), TagFileIdEntry));
        if (entry == nullptr) {
            status = STATUS_NO_MEMORY;
        } else {
            RtlZeroMemory(entry, sizeof(*entry));
            entry->FileId = FileId;
            IdListpLinkLocked(List, entry);
        }
    }
    IdListpUnlock(List);
    return status;
}

BOOLEAN IdListHasFileId(LockedIdList* List, ULONG64 FileId) {
    if (List == nullptr) {
        return FALSE;
    }
    IdListpLockShared(List);
    BOOLEAN found = IdListpFindFileId(List, FileId) != nullptr;
    IdListpUnlock(List);
    return found;
}

VOID IdListClear(LockedIdList* List, ID_LIST_FREE_ROUTINE FreeRoutine) {
    if (List == nullptr) {
        return;
    }
    IdListpLockExclusive(List);
    while (!IdListIsEmpty(List)) {
        // RemoveHeadList checks that the front entry points back at the head
        // and that its successor points back at it before anything moves.
        PLIST_ENTRY link = RemoveHeadList(&List->Head);
        List->Count--;
        IdListEntry* entry = CONTAINING_RECORD(link, IdListEntry, Links);
        IdListpIndexRemove(List, entry);
        if (FreeRoutine != nullptr) {
            FreeRoutine(entry);
        }
    }
    IdListpIndexFree(List);
    IdListpUnlock(List);
}

VOID IdListFreePidEntry(IdListEntry* Entry) {
    if (Entry != nullptr) {
        ExFreePoolWithTag(Entry, TagProcessEntry);
    }
}

VOID IdListFreeFileIdEntry(IdListEntry* Entry) {
    if (Entry != nullptr) {
        ExFreePoolWithTag(Entry, TagFileIdEntry);
    }
}

NTSTATUS IdListClearPids(LockedIdList* List) {
    IdListClear(List, IdListFreePidEntry);
    return STATUS_SUCCESS;
}

NTSTATUS IdListClearFileIds(LockedIdList* List) {
    IdListClear(List, IdListFreeFileIdEntry);
    return STATUS_SUCCESS;
}
