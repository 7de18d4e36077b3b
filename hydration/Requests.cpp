/*
 * Requests.cpp - registration of a stream's hydration request in its sync
 * root, lookups by id, and references on the request.
 *
 * A request is embedded in its stream's context and registered in the
 * PendingRequests of the sync root the file lies under.  Its RefCount
 * counts the registration reference (one, from registration) and one
 * lookup reference per service command working on it.
 *
 * The registration reference is dropped exactly once, by the party that
 * takes the request out of PendingRequests: the registrant after a failed
 * send, the completion, or the cancellation at disconnect, whichever comes
 * first.  The first two take it out with DetachHydrationRequest and drop
 * the reference only when that returns TRUE; the cancellation takes every
 * pending request out at once.  Once out, no command can find the request
 * by its id any more.
 *
 * Every reference on a request is taken and dropped while its stream's
 * lock is held (the command handlers reach the stream first through
 * ReferenceHydrationStream, which takes no reference on the request).  A
 * thread that holds the stream's lock therefore sees no lookup reference
 * of a finished registration, and RegisterHydrationRequest can reuse the
 * record without waiting for anyone.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    The pending request with a given id in a sync root, or null.

Arguments:

    SyncRoot - The root, its Lock held (shared or exclusive).
    RequestId - The id.

Return Value:

    The request, or null.

--*/
_Requires_lock_held_(SyncRoot->Lock)
static PHYDRATION_REQUEST
PendingRequestById(_In_ PSYNC_ROOT SyncRoot, _In_ ULONG64 RequestId)
{
    PLIST_ENTRY Entry;

    for (Entry = SyncRoot->PendingRequests.Flink; Entry != &SyncRoot->PendingRequests; Entry = Entry->Flink) {
        PHYDRATION_REQUEST Candidate = CONTAINING_RECORD(Entry, HYDRATION_REQUEST, Link);
        if (Candidate->RequestId == RequestId) {
            return Candidate;
        }
    }
    return NULL;
}

/*++

Routine Description:

    Registers a stream's embedded request in a sync root under the root's
    next request id, with the registration reference, a reference on the
    operation's file object and a run-down reference on the root.  The
    whole record is reinitialised: its event unsignalled, its status
    HydrationStatusPending (not negative, so a waiter that reads it early
    takes it as success), nothing written.

Arguments:

    Data - The operation that needs the data: its target instance and file
           object are the ones every transfer and the completion use.
    SyncRoot - The root the file lies under; the caller holds a run-down
               reference on it.
    StreamContext - The stream's context, locked by the caller.
    Request - Receives the registered request; not written on failure.

Return Value:

    STATUS_SUCCESS.
    STATUS_CLOUD_FILE_PROVIDER_TERMINATED, reported - the root's run-down
        has begun (its connection is being torn down); nothing changed.
    STATUS_INTERNAL_ERROR, reported - an earlier registration of the stream
        still holds references (never seen while every reference is taken
        and dropped under the stream's lock); nothing changed.

    A corrupt list stops the system (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL; the stream's lock held, the root's Lock not held.  Waits
    (yielding) until the waiters of the previous registration have read its
    outcome.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Requires_exclusive_lock_held_(StreamContext->Lock)
_Must_inspect_result_ NTSTATUS
RegisterHydrationRequest(_In_ PFLT_CALLBACK_DATA Data, _Inout_ PSYNC_ROOT SyncRoot,
                         _Inout_ PSTREAM_CONTEXT StreamContext, _Outptr_ PHYDRATION_REQUEST *Request)
{
    PHYDRATION_REQUEST Registered = &StreamContext->Request;
    LARGE_INTEGER Yield;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    /* Threads woken by the previous completion may not have read its
       outcome yet; they need no lock to do so and no new one can start
       waiting while the stream's lock is held, so this wait is short.
       Reinitialising the event under them would put them back to sleep,
       and resetting the status would hand them the new request's. */
    Yield.QuadPart = 0;
    while (InterlockedCompareExchange(&Registered->Waiters, 0, 0) != 0) {
        KeDelayExecutionThread(KernelMode, FALSE, &Yield);
    }

    /* The record of a finished registration may only be reused once its
       last reference is gone. */
    if (Registered->RefCount != 0) {
        Status = ReportStatus(STATUS_INTERNAL_ERROR);
        goto Cleanup;
    }

    if (!SyncRootAcquire(SyncRoot)) {
        Status = ReportStatus(STATUS_CLOUD_FILE_PROVIDER_TERMINATED);
        goto Cleanup;
    }

    RtlZeroMemory(Registered, sizeof(*Registered));
    Registered->RefCount = 1;
    Registered->Instance = Data->Iopb->TargetInstance;
    Registered->FileObject = Data->Iopb->TargetFileObject;
    Registered->SyncRoot = SyncRoot;
    KeInitializeEvent(&Registered->CompletionEvent, NotificationEvent, FALSE);
    Registered->CompletionStatus = HydrationStatusPending;

    ObfReferenceObject(Registered->FileObject);

    LockSyncRoot(SyncRoot, TRUE);
    Registered->RequestId = SyncRoot->NextRequestId;
    SyncRoot->NextRequestId += 1;
    CheckedInsertHeadList(&SyncRoot->PendingRequests, &Registered->Link);
    UnlockSyncRoot(SyncRoot);

    *Request = Registered;

Cleanup:
    return Status;
}

/*++

Routine Description:

    Finds the pending request with a given id in a sync root and takes a
    lookup reference on it.

Arguments:

    SyncRoot - The connection's root.
    RequestId - The id the service quoted.
    Request - Receives the request; the caller drops the reference with
              ReleaseHydrationRequest, while it still holds the stream's
              lock.

Return Value:

    STATUS_SUCCESS.
    STATUS_NOT_FOUND, not reported - no request with that id is pending.

IRQL:

    PASSIVE_LEVEL; the request's stream's lock held by callers that will
    use the request, the root's Lock not held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
FindHydrationRequest(_In_ PSYNC_ROOT SyncRoot, _In_ ULONG64 RequestId, _Outptr_ PHYDRATION_REQUEST *Request)
{
    PHYDRATION_REQUEST Found;

    PAGED_CODE();

    LockSyncRoot(SyncRoot, FALSE);
    Found = PendingRequestById(SyncRoot, RequestId);
    if (Found != NULL) {
        InterlockedIncrement(&Found->RefCount);
    }
    UnlockSyncRoot(SyncRoot);

    if (Found == NULL) {
        return STATUS_NOT_FOUND;
    }
    *Request = Found;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Finds the stream whose pending request has a given id and hands out a
    reference on its context, not on the request: the command handlers take
    the stream's lock first and only then a lookup reference
    (FindHydrationRequest), so that no reference on a request is held
    outside its stream's lock.

    The context is alive while the request is pending: the registration's
    reference on the file object keeps the stream.  The reference handed
    out keeps the context (and its lock) after the request has finished.

Arguments:

    SyncRoot - The connection's root.
    RequestId - The id the service quoted.
    StreamContext - Receives the context, referenced; the caller releases it
                    with FltReleaseContext.

Return Value:

    STATUS_SUCCESS.
    STATUS_NOT_FOUND, not reported - no request with that id is pending.

IRQL:

    PASSIVE_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
ReferenceHydrationStream(_In_ PSYNC_ROOT SyncRoot, _In_ ULONG64 RequestId, _Outptr_ PSTREAM_CONTEXT *StreamContext)
{
    PHYDRATION_REQUEST Request;
    PSTREAM_CONTEXT Found = NULL;

    PAGED_CODE();

    LockSyncRoot(SyncRoot, FALSE);
    Request = PendingRequestById(SyncRoot, RequestId);
    if (Request != NULL) {
        Found = CONTAINING_RECORD(Request, STREAM_CONTEXT, Request);
        FltReferenceContext(Found);
    }
    UnlockSyncRoot(SyncRoot);

    if (Found == NULL) {
        return STATUS_NOT_FOUND;
    }
    *StreamContext = Found;
    return STATUS_SUCCESS;
}

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

    PASSIVE_LEVEL or APC_LEVEL; the stream's lock held, the sync root's
    Lock not held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ BOOLEAN
DetachHydrationRequest(_Inout_ PHYDRATION_REQUEST Request)
{
    PSYNC_ROOT SyncRoot = Request->SyncRoot;
    PLIST_ENTRY Entry;
    BOOLEAN Detached = FALSE;

    PAGED_CODE();

    LockSyncRoot(SyncRoot, TRUE);

    for (Entry = SyncRoot->PendingRequests.Flink; Entry != &SyncRoot->PendingRequests; Entry = Entry->Flink) {
        if (Entry == &Request->Link) {
            CheckedRemoveEntryList(Entry);
            InitializeListHead(Entry);
            Detached = TRUE;
            break;
        }
    }

    UnlockSyncRoot(SyncRoot);

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

    The request is not touched after its count falls to zero.  When that
    drops the file object's last reference, the stream's context may be
    torn down: a caller that holds the stream's lock holds a reference on
    the context as well, which keeps the lock alive.

Arguments:

    Request - A registered request on which the caller holds the reference
              it drops.

Return Value:

    None.

    A corrupt list stops the system (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; the stream's lock held (every reference on
    a request is dropped under it), the sync root's Lock not held.

--*/
_IRQL_requires_max_(APC_LEVEL)
VOID
ReleaseHydrationRequest(_Inout_ PHYDRATION_REQUEST Request)
{
    PSYNC_ROOT SyncRoot = Request->SyncRoot;
    PFILE_OBJECT FileObject = Request->FileObject;
    LONG Count;

    PAGED_CODE();

    LockSyncRoot(SyncRoot, TRUE);

    /* With the Lock held exclusively the count cannot change under us, so a
       count of one here is the last reference. */
    if (Request->RefCount == 1 && Request->Link.Flink != &Request->Link) {
        CheckedRemoveEntryList(&Request->Link);
        InitializeListHead(&Request->Link);
    }

    Count = InterlockedDecrement(&Request->RefCount);
    NT_ASSERT(Count >= 0);

    UnlockSyncRoot(SyncRoot);

    if (Count == 0) {
        SyncRootRelease(SyncRoot);
        ObfDereferenceObject(FileObject);
    }
}
