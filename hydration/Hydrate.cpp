/*
 * Hydrate.cpp - bringing a placeholder's data in before an operation that
 * needs it: the first operation registers the stream's request and asks the
 * service for the data; it and every later one wait for the completion.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Makes sure the data of the operation's stream is present before the
    operation goes on.  A stream without a context is no placeholder the
    filter knows, and a hydrated one needs nothing: both go on at once,
    without a name query.  Otherwise the file's sync root is found, a
    hydration is started unless one is already pending, and the caller
    waits for its outcome.

Arguments:

    Data - The operation's callback data.

Return Value:

    STATUS_SUCCESS - the operation may go on: no context (a lookup failure
        other than STATUS_NOT_FOUND is reported and let go), already
        hydrated, no reparse point any more, or hydrated by the service.
    GetNormalizedName's status - the name could not be had.
    STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, reported - no connected sync
        root contains the file.
    StartHydration's failure status - nothing was sent.
    WaitForHydration's failure status - the wait was cancelled, or the
        hydration failed with the service's status or
        STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING.

IRQL:

    PASSIVE_LEVEL, on the thread of the operation; no lock of the filter
    held.  May block until the service completes.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
EnsureHydrated(_In_ PFLT_CALLBACK_DATA Data)
{
    PSTREAM_CONTEXT StreamContext = NULL;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    UNICODE_STRING RelativePath;
    PSYNC_ROOT Root = NULL;
    BOOLEAN Locked = FALSE;
    NTSTATUS Status;

    PAGED_CODE();

    Status = GetStreamContext(Data, PlaceholderCommandUpdate, &StreamContext);
    if (!NT_SUCCESS(Status)) {
        if (Status != STATUS_NOT_FOUND) {
            ReportStatus(Status);
        }
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    /* A quick exit for hydrated streams, read without the lock (State is an
       aligned 32-bit field); decided again under the lock. */
    if (*(volatile ULONG *)&StreamContext->State == StreamStateHydrated) {
        goto Cleanup;
    }

    Status = GetNormalizedName(Data, &NameInfo, &RelativePath);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = SyncRootFind(&NameInfo->Name, &Root);
    if (!NT_SUCCESS(Status)) {
        Root = NULL;
        Status = ReportStatus(STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
        goto Cleanup;
    }

    LockStreamContext(StreamContext);
    Locked = TRUE;

    if (StreamContext->State == StreamStateHydrated) {
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    Status = StartHydration(Data, Root, StreamContext, &RelativePath);
    if (Status == STATUS_NOT_A_REPARSE_POINT) {
        StreamContext->State = StreamStateHydrated;
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    /* Counted as a waiter before the lock is let go, so that no new
       registration reuses the request until this thread has read its
       outcome. */
    InterlockedIncrement(&StreamContext->Request.Waiters);
    UnlockStreamContext(StreamContext);
    Locked = FALSE;

    Status = WaitForHydration(Data, StreamContext);
    InterlockedDecrement(&StreamContext->Request.Waiters);
    if (NT_SUCCESS(Status)) {
        Status = STATUS_SUCCESS;
    }

Cleanup:
    if (Root != NULL) {
        SyncRootRelease(Root);
    }
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }
    if (Locked) {
        UnlockStreamContext(StreamContext);
    }
    if (StreamContext != NULL) {
        FltReleaseContext(StreamContext);
    }
    return Status;
}

/*++

Routine Description:

    Starts a hydration of the stream unless one is pending: reads the
    placeholder's reparse data and size, registers the stream's request in
    the sync root and sends the service a MessageTypeHydrate.  The request
    is registered before the message leaves, so the service's first command
    finds it; the stream's lock is held throughout, so that command waits
    until the stream is StreamStateHydrating.

    When the send fails the request is taken out again; if the cancellation
    of a closing connection took it out first, that cancellation drops the
    registration reference instead (and marks the stream failed).

Arguments:

    Data - The operation's callback data.
    SyncRoot - The root containing the file; the caller holds a run-down
               reference.
    StreamContext - The stream's context, locked exclusively by the caller.
    RelativePath - The file's volume-relative path.

Return Value:

    STATUS_SUCCESS - a hydration is pending (started now or before).
    STATUS_NOT_A_REPARSE_POINT, reported - the file has no reparse point.
    GetPlaceholderReparseData's other failures, reported.
    QueryFileSize's failure status.
    RegisterHydrationRequest's failure status.
    SendHydrateMessage's failure status (STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING
        once the port has closed, STATUS_ACCESS_DENIED when the service did
        not take the message in time); State unchanged.

IRQL:

    PASSIVE_LEVEL; the stream's lock held.

--*/
_Requires_exclusive_lock_held_(StreamContext->Lock)
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
StartHydration(_In_ PFLT_CALLBACK_DATA Data, _Inout_ PSYNC_ROOT SyncRoot, _Inout_ PSTREAM_CONTEXT StreamContext,
               _In_ PCUNICODE_STRING RelativePath)
{
    PFLT_INSTANCE Instance = Data->Iopb->TargetInstance;
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PVOID ReparseData = NULL;
    ULONG ReparseDataLength = 0;
    LONGLONG FileSize = 0;
    HANDLE ThreadId;
    HANDLE ProcessId;
    PHYDRATION_REQUEST Request = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    if (StreamContext->State == StreamStateHydrating) {
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    Status = GetPlaceholderReparseData(Instance, FileObject, &ReparseData, &ReparseDataLength);
    if (!NT_SUCCESS(Status)) {
        ReparseData = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = QueryFileSize(Instance, FileObject, &FileSize);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    ThreadId = PsGetThreadId(Data->Thread);
    ProcessId = PsGetThreadProcessId(Data->Thread);

    Status = RegisterHydrationRequest(Data, SyncRoot, StreamContext, &Request);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = SendHydrateMessage(Data, SyncRoot, RelativePath, FileSize, Request->RequestId, ReparseData,
                                ReparseDataLength, ThreadId, ProcessId);
    if (!NT_SUCCESS(Status)) {
        if (DetachHydrationRequest(Request)) {
            ReleaseHydrationRequest(Request);
        }
        goto Cleanup;
    }

    StreamContext->ExpectedSize = (ULONG64)FileSize;
    StreamContext->State = StreamStateHydrating;

Cleanup:
    if (ReparseData != NULL) {
        FreePlaceholderReparseData(ReparseData);
    }
    return Status;
}

/*++

Routine Description:

    Waits, cancellably and without a time limit, until the stream's pending
    request completes, and gives its outcome.

Arguments:

    Data - The waiting operation: its cancellation, or the termination of
           its thread, ends the wait early.
    StreamContext - The stream's context, referenced and not locked.

Return Value:

    STATUS_SUCCESS - the request completed with a status that is not
        negative.
    The request's negative CompletionStatus.
    The wait's failure status: STATUS_CANCELLED, STATUS_THREAD_IS_TERMINATING.
        The request stays pending for the other waiters.

IRQL:

    PASSIVE_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
WaitForHydration(_In_ PFLT_CALLBACK_DATA Data, _In_ PSTREAM_CONTEXT StreamContext)
{
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltCancellableWaitForSingleObject(&StreamContext->Request.CompletionEvent, NULL, Data);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    /* Written before the event was set; the wait orders the read after it. */
    Status = StreamContext->Request.CompletionStatus;
    return NT_SUCCESS(Status) ? STATUS_SUCCESS : Status;
}
