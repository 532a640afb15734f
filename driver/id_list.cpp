// Locked lists of process ids and file ids. Each list has its own fast mutex;
// a search and the change that depends on it happen under one hold of it.
#include "driver/id_list.h"

#include "driver/driver_data.h"
#include "driver/tags.h"

VOID IdListInit(LockedIdList* List) {
    ExInitializeFastMutex(&List->Mutex);
    ExAcquireFastMutex(&List->Mutex);
    InitializeListHead(&List->Head);
    ExReleaseFastMutex(&List->Mutex);
}

BOOLEAN IdListIsEmpty(LockedIdList* List) {
    return IsListEmpty(&List->Head);
}

// Front insertion with the kit's link check; the caller holds the list lock.
static VOID IdListpLinkLocked(LockedIdList* List, IdListEntry* Entry) {
    InsertHeadList(&List->Head, &Entry->Links);
}

// Unlinking with the kit's link check; the caller holds the list lock.
static VOID IdListpUnlinkLocked(IdListEntry* Entry) {
    RemoveEntryList(&Entry->Links);
}

VOID IdListLink(LockedIdList* List, IdListEntry* Entry) {
    if (List == nullptr || Entry == nullptr) {
        return;
    }
    ExAcquireFastMutex(&List->Mutex);
    IdListpLinkLocked(List, Entry);
    ExReleaseFastMutex(&List->Mutex);
}

VOID IdListUnlink(LockedIdList* List, IdListEntry* Entry) {
    if (List == nullptr || Entry == nullptr) {
        return;
    }
    ExAcquireFastMutex(&List->Mutex);
    IdListpUnlinkLocked(Entry);
    ExReleaseFastMutex(&List->Mutex);
}

// First entry holding the pid, or none; the caller holds the list lock.
static IdListEntry* IdListpFindPid(LockedIdList* List, ULONG Pid) {
    for (PLIST_ENTRY link = List->Head.Flink; link != &List->Head; link = link->Flink) {
        IdListEntry* entry = CONTAINING_RECORD(link, IdListEntry, Links);
        if (entry->Pid == Pid) {
            return entry;
        }
    }
    return nullptr;
}

static IdListEntry* IdListpFindFileId(LockedIdList* List, ULONG64 FileId) {
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
    ExAcquireFastMutex(&List->Mutex);
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
    ExReleaseFastMutex(&List->Mutex);
    return status;
}

BOOLEAN IdListHasPid(LockedIdList* List, ULONG Pid) {
    if (List == nullptr) {
        return FALSE;
    }
    ExAcquireFastMutex(&List->Mutex);
    BOOLEAN found = IdListpFindPid(List, Pid) != nullptr;
    ExReleaseFastMutex(&List->Mutex);
    return found;
}

NTSTATUS IdListRemovePid(LockedIdList* List, ULONG Pid) {
    if (List == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_NOT_FOUND;
    ExAcquireFastMutex(&List->Mutex);
    IdListEntry* entry = IdListpFindPid(List, Pid);
    if (entry != nullptr) {
        IdListpUnlinkLocked(entry);
        ExFreePoolWithTag(entry, TagProcessEntry);
        status = STATUS_SUCCESS;
    }
    ExReleaseFastMutex(&List->Mutex);
    return status;
}

NTSTATUS IdListAddFileId(LockedIdList* List, ULONG64 FileId) {
    if (List == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }

    NTSTATUS status = STATUS_SUCCESS;
    ExAcquireFastMutex(&List->Mutex);
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
    ExReleaseFastMutex(&List->Mutex);
    return status;
}

BOOLEAN IdListHasFileId(LockedIdList* List, ULONG64 FileId) {
    if (List == nullptr) {
        return FALSE;
    }
    ExAcquireFastMutex(&List->Mutex);
    BOOLEAN found = IdListpFindFileId(List, FileId) != nullptr;
    ExReleaseFastMutex(&List->Mutex);
    return found;
}

VOID IdListClear(LockedIdList* List, ID_LIST_FREE_ROUTINE FreeRoutine) {
    if (List == nullptr) {
        return;
    }
    ExAcquireFastMutex(&List->Mutex);
    while (!IdListIsEmpty(List)) {
        // RemoveHeadList checks that the front entry points back at the head
        // and that its successor points back at it before anything moves.
        PLIST_ENTRY link = RemoveHeadList(&List->Head);
        if (FreeRoutine != nullptr) {
            FreeRoutine(CONTAINING_RECORD(link, IdListEntry, Links));
        }
    }
    ExReleaseFastMutex(&List->Mutex);
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
