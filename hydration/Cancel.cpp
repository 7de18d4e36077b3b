/*
 * Cancel.cpp - failing every pending hydration of a sync root when its
 * service connection closes.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Fails every hydration request still pending under a sync root with
    STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING, wakes its waiters, marks its
    stream StreamStateFailed and drops its registration reference.

    All requests are first moved, in order, from PendingRequests to a
    private list under the root's Lock, so none can be found by id any more
    and no other party can take one out (and drop its registration
    reference a second time).  They are then failed one by one without the
    root's Lock, taking each stream's lock in turn, never two locks at once.

    The disconnect calls this after the connection's client port has been
    closed and before it waits for the root's run-down: the woken waiters
    return and drop their references on the root, so that wait can end.
    Command handlers hold lookup references only while they hold the
    stream's lock, and the registration reference is dropped here under
    that lock too, so a request is never reused while a handler holds it.

Arguments:

    SyncRoot - The unlinked record of the closing connection.

Return Value:

    None.

    A corrupt list stops the system (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
CancelHydrationRequests(_Inout_ PSYNC_ROOT SyncRoot)
{
    LIST_ENTRY Cancelled;
    PLIST_ENTRY Entry;
    PHYDRATION_REQUEST Request;
    PSTREAM_CONTEXT StreamContext;

    PAGED_CODE();

    InitializeListHead(&Cancelled);

    LockSyncRoot(SyncRoot, TRUE);

    while (!IsListEmpty(&SyncRoot->PendingRequests)) {
        Entry = CheckedRemoveHeadList(&SyncRoot->PendingRequests);
        CheckedInsertTailList(&Cancelled, Entry);
    }

    UnlockSyncRoot(SyncRoot);

    while (!IsListEmpty(&Cancelled)) {
        Entry = CheckedRemoveHeadList(&Cancelled);

        /* Linked to itself, the request is in no list: its last release
           finds nothing to unlink. */
        InitializeListHead(Entry);

        Request = CONTAINING_RECORD(Entry, HYDRATION_REQUEST, Link);
        StreamContext = CONTAINING_RECORD(Request, STREAM_CONTEXT, Request);

        /* The registration's file object keeps the context alive until the
           release below; this reference keeps it (and its lock) until the
           lock has been released. */
        FltReferenceContext(StreamContext);

        Request->CompletionStatus = STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
        KeSetEvent(&Request->CompletionEvent, EVENT_INCREMENT, FALSE);

        LockStreamContext(StreamContext);
        StreamContext->State = StreamStateFailed;
        /* The registration reference, dropped under the stream's lock like
           every reference on a request. */
        ReleaseHydrationRequest(Request);
        UnlockStreamContext(StreamContext);

        FltReleaseContext(StreamContext);
    }
}
