/*
 * Requests.cpp - references on a hydration request and its membership in
 * its sync root's PendingRequests.
 *
 * A request is embedded in its stream's context and registered in the
 * PendingRequests of the sync root the file lies under.  Its RefCount
 * counts the registration reference (one, from registration) and one
 * lookup reference per service command working on it.  RefCount rises only
 * under the sync root's Lock held shared (lookup by id) and falls only
 * under it held exclusively (release), so a thread holding the Lock
 * exclusively sees a count that cannot change.
 *
 * The registration reference is dropped exactly once, by the party that
 * takes the request out of PendingRequests: the registrant after a failed
 * send, the completion, or the cancellation at disconnect, whichever comes
 * first.  The first two take it out with DetachHydrationRequest and drop
 * the reference only when that returns TRUE; the cancellation takes every
 * pending request out at once.  Once out, no command can find the request
 * by its id any more.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Takes a request out of its sync root's PendingRequests if it is still
    there.  The caller that gets TRUE has taken over the registration
    reference and drops it with ReleaseHydrationRequest; FALSE means that
    another party (a completion or the cancellation at disconnect) took the
    request out first and drops that reference itself.

    The request is searched for in the list rather than judged by its own
    links: while the cancellation works through the requests it took out,
    their links point into its private list, which no other thread may
    change.

Arguments:

    Request - A registered request; the caller holds a reference on it (its
              registration or a lookup reference).

Return Value:

    TRUE when this call took the request out of PendingRequests; its links
    then point at itself.  FALSE when it was no longer there.

    A corrupt list stops the system (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; the sync root's Lock not held.  The stream's
    lock may be held.

--*/
_Must_inspect_result_ BOOLEAN
DetachHydrationRequest(_Inout_ PHYDRATION_REQUEST Request)
{
    PSYNC_ROOT SyncRoot = Request->SyncRoot;
    PLIST_ENTRY Entry;
    BOOLEAN Detached = FALSE;

    PAGED_CODE();

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&SyncRoot->Lock, TRUE);

    for (Entry = SyncRoot->PendingRequests.Flink; Entry != &SyncRoot->PendingRequests; Entry = Entry->Flink) {
        if (Entry == &Request->Link) {
            CheckedRemoveEntryList(Entry);
            InitializeListHead(Entry);
            Detached = TRUE;
            break;
        }
    }

    ExReleaseResourceLite(&SyncRoot->Lock);
    KeLeaveCriticalRegion();

    return Detached;
}

/*++

Routine Description:

    Drops one reference on a request.  The last one drops what the
    registration took: the run-down reference on the sync root and the
    reference on the file object.  The file object goes last, since it may
    be what keeps the stream, and with it the context that holds the
    request, alive.

    Should the last reference be dropped while the request is still in
    PendingRequests, it is unlinked first, so that no lookup can find a
    request whose references are gone.

    The request is not touched after its count falls to zero: from then on
    its stream may register it anew.

Arguments:

    Request - A registered request on which the caller holds the reference
              it drops.

Return Value:

    None.

    A corrupt list stops the system (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; the sync root's Lock not held.  The stream's
    lock may be held.

--*/
VOID
ReleaseHydrationRequest(_Inout_ PHYDRATION_REQUEST Request)
{
    PSYNC_ROOT SyncRoot = Request->SyncRoot;
    PFILE_OBJECT FileObject = Request->FileObject;
    LONG Count;

    PAGED_CODE();

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&SyncRoot->Lock, TRUE);

    /* With the Lock held exclusively the count cannot change under us, so a
       count of one here is the last reference. */
    if (Request->RefCount == 1 && Request->Link.Flink != &Request->Link) {
        CheckedRemoveEntryList(&Request->Link);
        InitializeListHead(&Request->Link);
    }

    Count = InterlockedDecrement(&Request->RefCount);
    NT_ASSERT(Count >= 0);

    ExReleaseResourceLite(&SyncRoot->Lock);
    KeLeaveCriticalRegion();

    if (Count == 0) {
        SyncRootRelease(SyncRoot);
        ObfDereferenceObject(FileObject);
    }
}
