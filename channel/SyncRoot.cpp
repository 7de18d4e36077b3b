/*
 * SyncRoot.cpp - the registry of connected sync roots.
 *
 * One SYNC_ROOT per service connection, linked in FilterGlobals.SyncRootList
 * in the order of connection.  No two linked records nest, so a path lies
 * under at most one of them.  SyncRootListLock is taken shared for lookups
 * and exclusively for insertion and removal, always inside a critical
 * region; its place in the lock order is stated in Zentaflt.h.
 *
 * References on a record's RundownRef:
 *
 *     creation   SyncRootCreate         dropped by the connect procedure
 *     list       SyncRootInsert         dropped by SyncRootRundown
 *     lookup     SyncRootFind           dropped by the finder (SyncRootRelease)
 *     request    SyncRootAcquire        dropped when the request is released
 *
 * The disconnect unlinks the record first, so no new lookup can find it,
 * and frees it only after the last reference has been dropped.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Takes SyncRootListLock, inside a critical region.

Arguments:

    Exclusive - TRUE to insert or remove, FALSE to look up.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; no other lock of the filter held (the
    lock order, Zentaflt.h).

--*/
_IRQL_requires_max_(APC_LEVEL) _Acquires_lock_(FilterGlobals.SyncRootListLock)
static VOID
LockSyncRootList(_In_ BOOLEAN Exclusive)
{
    KeEnterCriticalRegion();
    if (Exclusive) {
        ExAcquireResourceExclusiveLite(&FilterGlobals.SyncRootListLock, TRUE);
    } else {
        ExAcquireResourceSharedLite(&FilterGlobals.SyncRootListLock, TRUE);
    }
}

/*++

Routine Description:

    Releases SyncRootListLock and leaves the critical region.

Arguments:

    None.

Return Value:

    None.

--*/
_IRQL_requires_max_(APC_LEVEL) _Releases_lock_(FilterGlobals.SyncRootListLock)
static VOID
UnlockSyncRootList(VOID)
{
    ExReleaseResourceLite(&FilterGlobals.SyncRootListLock);
    KeLeaveCriticalRegion();
}

/*++

Routine Description:

    Takes a sync root's Lock, inside a critical region.  A stream's lock
    may be held, SyncRootListLock may not (the lock order, Zentaflt.h).

Arguments:

    SyncRoot - The root.
    Exclusive - TRUE to register, release or cancel requests, FALSE to
                look one up.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.

--*/
_IRQL_requires_max_(APC_LEVEL) _Acquires_lock_(SyncRoot->Lock)
VOID
LockSyncRoot(_Inout_ PSYNC_ROOT SyncRoot, _In_ BOOLEAN Exclusive)
{
    KeEnterCriticalRegion();
    if (Exclusive) {
        ExAcquireResourceExclusiveLite(&SyncRoot->Lock, TRUE);
    } else {
        ExAcquireResourceSharedLite(&SyncRoot->Lock, TRUE);
    }
}

/*++

Routine Description:

    Releases a sync root's Lock and leaves the critical region.

Arguments:

    SyncRoot - The root, locked by this thread.

Return Value:

    None.

--*/
_IRQL_requires_max_(APC_LEVEL) _Releases_lock_(SyncRoot->Lock)
VOID
UnlockSyncRoot(_Inout_ PSYNC_ROOT SyncRoot)
{
    ExReleaseResourceLite(&SyncRoot->Lock);
    KeLeaveCriticalRegion();
}

/*++

Routine Description:

    Tells whether a full normalized path is a sync root's directory or lies
    inside it.  The root's name must be a prefix of the path, compared
    case-insensitively, and end on a component boundary: the path is the
    name itself, or the unit right after the name is a backslash.  A
    sibling whose name merely starts with the same letters is not inside.

    A root whose name ends in a backslash (the root directory of a volume)
    thus contains only the path equal to its name: in a normalized name the
    unit after that backslash is never a second one.

Arguments:

    SyncRoot - The record; its NameInfo is read, so the caller holds a
               reference on the record or SyncRootListLock.
    Path - A full normalized name, never a volume-relative view.

Return Value:

    TRUE when the path is the directory or lies inside it, else FALSE.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.

--*/
_IRQL_requires_max_(APC_LEVEL)
BOOLEAN
SyncRootContains(_In_ PSYNC_ROOT SyncRoot, _In_ PCUNICODE_STRING Path)
{
    PCUNICODE_STRING Name = &SyncRoot->NameInfo->Name;
    BOOLEAN Contains = FALSE;

    if (!RtlPrefixUnicodeString(Name, Path, TRUE)) {
        goto Cleanup;
    }

    if (Path->Length == Name->Length) {
        Contains = TRUE;
        goto Cleanup;
    }

    /* The path is longer than the name here, so this unit lies inside it. */
    Contains = (BOOLEAN)(Path->Buffer[Name->Length / sizeof(WCHAR)] == L'\\');

Cleanup:
    return Contains;
}

/*++

Routine Description:

    Allocates and sets up a record for a sync-root directory.  The record
    is not linked; it holds its creation reference, which the connect
    procedure drops when it is done, and its own reference on the name.

Arguments:

    NameInfo - The directory's normalized name record; the caller keeps its
               own reference.
    SyncRoot - Receives the record; not written on failure.

Return Value:

    STATUS_SUCCESS.
    STATUS_INSUFFICIENT_RESOURCES - no pool for the record; reported.
    The status of ExInitializeResourceLite, reported, should the lock
    fail to initialise; nothing is left allocated.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
SyncRootCreate(_In_ PFLT_FILE_NAME_INFORMATION NameInfo, _Outptr_ PSYNC_ROOT *SyncRoot)
{
    PSYNC_ROOT Root;
    NTSTATUS Status;

    PAGED_CODE();

    Root = (PSYNC_ROOT)ExAllocatePoolWithTag(FilterGlobals.PoolType, sizeof(SYNC_ROOT), PoolTagSyncRoot);
    if (Root == NULL) {
        Status = ReportStatus(STATUS_INSUFFICIENT_RESOURCES);
        goto Cleanup;
    }

    RtlZeroMemory(Root, sizeof(SYNC_ROOT));
    InitializeListHead(&Root->PendingRequests);

    Status = ExInitializeResourceLite(&Root->Lock);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        ExFreePoolWithTag(Root, PoolTagSyncRoot);
        goto Cleanup;
    }

    ExInitializeRundownProtection(&Root->RundownRef);

    /* The creation reference: a fresh run-down reference cannot be running
       down, so this always succeeds. */
    (VOID)ExAcquireRundownProtection(&Root->RundownRef);

    FltReferenceFileNameInformation(NameInfo);
    Root->NameInfo = NameInfo;

    *SyncRoot = Root;

Cleanup:
    return Status;
}

/*++

Routine Description:

    Links a new record at the tail of SyncRootList, unless its directory
    equals, contains or lies inside the directory of a linked record.  The
    scan and the link happen under one exclusive hold of SyncRootListLock,
    so two connections for nesting directories can never both be linked.
    On success the record is findable and holds its list reference.

Arguments:

    SyncRoot - A record from SyncRootCreate, not linked, with its
               ClientPort set.

Return Value:

    STATUS_SUCCESS.
    STATUS_OBJECT_NAME_COLLISION - the directory nests with, or equals, a
        connected one; reported; the list and the record are unchanged.

    A corrupt list stops the system (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
SyncRootInsert(_Inout_ PSYNC_ROOT SyncRoot)
{
    PLIST_ENTRY Entry;
    PSYNC_ROOT Linked;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    LockSyncRootList(TRUE);

    for (Entry = FilterGlobals.SyncRootList.Flink; Entry != &FilterGlobals.SyncRootList; Entry = Entry->Flink) {
        Linked = CONTAINING_RECORD(Entry, SYNC_ROOT, Link);
        if (SyncRootContains(SyncRoot, &Linked->NameInfo->Name) ||
            SyncRootContains(Linked, &SyncRoot->NameInfo->Name)) {
            Status = ReportStatus(STATUS_OBJECT_NAME_COLLISION);
            goto Cleanup;
        }
    }

    CheckedInsertTailList(&FilterGlobals.SyncRootList, &SyncRoot->Link);

    /* The list reference.  The record has not begun its run-down: only the
       disconnect of a linked record starts it. */
    (VOID)ExAcquireRundownProtection(&SyncRoot->RundownRef);

Cleanup:
    UnlockSyncRootList();

    return Status;
}

/*++

Routine Description:

    Finds the linked record whose directory is, or contains, a path, and
    hands the caller a lookup reference on it.  The reference is taken
    while SyncRootListLock is still held, so the record cannot be unlinked
    and freed in between.

Arguments:

    Path - A full normalized name (the Name of a normalized file-name
           record), never a volume-relative view.
    SyncRoot - Receives the record; not written on failure.  The caller
               drops the reference with SyncRootRelease.

Return Value:

    STATUS_SUCCESS.
    STATUS_NOT_FOUND - the path lies outside every connected sync root;
        not reported, since for most callers that is no failure.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
SyncRootFind(_In_ PCUNICODE_STRING Path, _Outptr_ PSYNC_ROOT *SyncRoot)
{
    PLIST_ENTRY Entry;
    PSYNC_ROOT Linked;
    NTSTATUS Status = STATUS_NOT_FOUND;

    PAGED_CODE();

    LockSyncRootList(FALSE);

    for (Entry = FilterGlobals.SyncRootList.Flink; Entry != &FilterGlobals.SyncRootList; Entry = Entry->Flink) {
        Linked = CONTAINING_RECORD(Entry, SYNC_ROOT, Link);
        if (SyncRootContains(Linked, Path)) {
            /* A linked record holds its list reference and has not begun
               its run-down (the disconnect unlinks before it waits), so
               this acquisition cannot fail. */
            (VOID)ExAcquireRundownProtection(&Linked->RundownRef);
            *SyncRoot = Linked;
            Status = STATUS_SUCCESS;
            break;
        }
    }

    UnlockSyncRootList();

    return Status;
}

/*++

Routine Description:

    Takes a reference on a record that the caller already holds one on,
    for a hydration request registered under it.

Arguments:

    SyncRoot - The record.

Return Value:

    TRUE when the reference was taken.  FALSE once the disconnect has
    begun waiting for the record's run-down: nothing is taken, and the
    record must not be used for anything new.

IRQL:

    <= APC_LEVEL.

--*/
_Must_inspect_result_ BOOLEAN
SyncRootAcquire(_Inout_ PSYNC_ROOT SyncRoot)
{
    return ExAcquireRundownProtection(&SyncRoot->RundownRef);
}

/*++

Routine Description:

    Drops one lookup or request reference.  The last one lets a waiting
    disconnect free the record, so the caller must not touch it afterwards.

Arguments:

    SyncRoot - The record.

Return Value:

    None.

IRQL:

    <= APC_LEVEL.

--*/
VOID
SyncRootRelease(_Inout_ PSYNC_ROOT SyncRoot)
{
    ExReleaseRundownProtection(&SyncRoot->RundownRef);
}

/*++

Routine Description:

    Unlinks a record from SyncRootList, after testing its neighbours'
    links.  From then on no lookup finds it; existing holders go on using
    it.  The record's own links are left as they are and not read again.

Arguments:

    SyncRoot - A linked record.

Return Value:

    STATUS_SUCCESS always.  A corrupt list stops the system
    (FAST_FAIL_CORRUPT_LIST_ENTRY).

IRQL:

    PASSIVE_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
SyncRootRemove(_Inout_ PSYNC_ROOT SyncRoot)
{
    PAGED_CODE();

    LockSyncRootList(TRUE);
    CheckedRemoveEntryList(&SyncRoot->Link);
    UnlockSyncRootList();

    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Tears a connection's record down when the service disconnects, in an
    order that lets the final wait end: unlink (no new lookups), close the
    client port (no new sends: a request registered after this point
    cannot be sent and is released by its registrant), fail the pending
    hydration requests (their waiters wake and drop their references), then
    wait for the last reference and free the record.

Arguments:

    SyncRoot - A linked record, holding its list reference.  Freed on
               return.

Return Value:

    STATUS_SUCCESS always.

IRQL:

    PASSIVE_LEVEL; blocks until every holder has released the record.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
SyncRootDestroy(_Inout_ PSYNC_ROOT SyncRoot)
{
    PAGED_CODE();

    (VOID)SyncRootRemove(SyncRoot);

    FltCloseClientPort(FilterGlobals.Filter, &SyncRoot->ClientPort);

    CancelHydrationRequests(SyncRoot);

    SyncRootRundown(SyncRoot);

    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Drops the list reference, waits until every other reference has been
    dropped, and frees the record.  While it waits, SyncRootAcquire fails.

Arguments:

    SyncRoot - An unlinked record holding its list reference.  Freed on
               return.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
SyncRootRundown(_Inout_ PSYNC_ROOT SyncRoot)
{
    PAGED_CODE();

    ExReleaseRundownProtection(&SyncRoot->RundownRef);
    ExWaitForRundownProtectionRelease(&SyncRoot->RundownRef);
    ExRundownCompleted(&SyncRoot->RundownRef);

    SyncRootFree(SyncRoot);
}

/*++

Routine Description:

    Frees a record: its reference on the directory's name, its lock and its
    pool (freed with the tag it was allocated with, so that the pool's tag
    check can catch a stray pointer).

Arguments:

    SyncRoot - A record that is not linked and that nobody else holds: it
               has run down, or it was never inserted and its creation
               reference has been dropped.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
SyncRootFree(_In_ _Frees_ptr_ PSYNC_ROOT SyncRoot)
{
    PAGED_CODE();

    FltReleaseFileNameInformation(SyncRoot->NameInfo);
    ExDeleteResourceLite(&SyncRoot->Lock);
    ExFreePoolWithTag(SyncRoot, PoolTagSyncRoot);
}
