// Doubly-linked list heads with link verification, as the kernel's own list
// helpers do them: a link that does not point back stops the machine with
// fast-fail code 3 before the list is touched.
#pragma once
#ifndef ELAM_PLATFORM_INSIDE
#error "include platform/platform.h, not this header"
#endif

inline VOID InitializeListHead(PLIST_ENTRY ListHead) {
    ListHead->Flink = ListHead;
    ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) {
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry) {
    PLIST_ENTRY PrevEntry = ListHead->Blink;
    if (PrevEntry->Flink != ListHead) {
        ElamFastFail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = PrevEntry;
    PrevEntry->Flink = Entry;
    ListHead->Blink = Entry;
}

inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead) {
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY NextEntry = Entry->Flink;
    if (Entry->Blink != ListHead || NextEntry->Blink != Entry) {
        ElamFastFail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = NextEntry;
    NextEntry->Blink = ListHead;
    return Entry;
}

#define CONTAINING_RECORD(address, type, field) \
    ((type*)((char*)(address) - __builtin_offsetof(type, field)))
