/*
 * CheckedList.h - doubly linked list operations that test the links they
 * change.  A broken link means memory has been overwritten; going on would
 * let an attacker or a stray write steer the kernel, so the system stops at
 * once with fast-fail code 3 (FAST_FAIL_CORRUPT_LIST_ENTRY), as Windows'
 * own checked list routines do.  Not every driver kit's list routines test
 * their links, so the filter tests them itself before every change.
 */
#pragma once

#include <fltKernel.h>

#ifndef FAST_FAIL_CORRUPT_LIST_ENTRY
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#endif

/* Stops the system unless Entry's neighbours both point back at it. */
FORCEINLINE VOID
CheckListEntry(_In_ PLIST_ENTRY Entry)
{
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
}

/* Links Entry at the tail of ListHead, after testing the current tail. */
FORCEINLINE VOID
CheckedInsertTailList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry)
{
    if (ListHead->Blink->Flink != ListHead) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    InsertTailList(ListHead, Entry);
}

/* Links Entry at the head of ListHead, after testing the current head. */
FORCEINLINE VOID
CheckedInsertHeadList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry)
{
    if (ListHead->Flink->Blink != ListHead) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    InsertHeadList(ListHead, Entry);
}

/* Unlinks Entry after testing both of its neighbours.  Entry's own links
   are left as they are. */
FORCEINLINE VOID
CheckedRemoveEntryList(_In_ PLIST_ENTRY Entry)
{
    CheckListEntry(Entry);
    RemoveEntryList(Entry);
}

/* Unlinks and returns the first entry of a list that is not empty, after
   testing the entry and both of its neighbours. */
FORCEINLINE PLIST_ENTRY
CheckedRemoveHeadList(_Inout_ PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Flink;

    if (Entry->Blink != ListHead) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    CheckListEntry(Entry);
    RemoveEntryList(Entry);
    return Entry;
}
