// The list routines with the driver kit's integrity checks: a link that does not
// point back stops the system with FAST_FAIL_CORRUPT_LIST_ENTRY instead of
// corrupting memory further. The cross toolchain's own routines do not check, so
// the Windows build uses these; the simulated kernel uses the same ones.
// Needs LIST_ENTRY, BOOLEAN, RtlFailFast and FAST_FAIL_CORRUPT_LIST_ENTRY.
#pragma once

inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY NextEntry = ListHead->Flink;
    if (NextEntry->Blink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = NextEntry;
    Entry->Blink = ListHead;
    NextEntry->Blink = Entry;
    ListHead->Flink = Entry;
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY PrevEntry = ListHead->Blink;
    if (PrevEntry->Flink != ListHead) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = PrevEntry;
    PrevEntry->Flink = Entry;
    ListHead->Blink = Entry;
}

// Returns TRUE when the list it was on became empty.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry) {
    PLIST_ENTRY NextEntry = Entry->Flink;
    PLIST_ENTRY PrevEntry = Entry->Blink;
    if (NextEntry->Blink != Entry || PrevEntry->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    PrevEntry->Flink = NextEntry;
    NextEntry->Blink = PrevEntry;
    return (BOOLEAN)(PrevEntry == NextEntry);
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY NextEntry = Entry->Flink;
    if (Entry->Blink != ListHead || NextEntry->Blink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = NextEntry;
    NextEntry->Blink = ListHead;
    return Entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY PrevEntry = Entry->Blink;
    if (Entry->Flink != ListHead || PrevEntry->Flink != Entry) {
        RtlFailFast(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Blink = PrevEntry;
    PrevEntry->Flink = ListHead;
    return Entry;
}
