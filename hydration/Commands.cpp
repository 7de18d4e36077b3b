/*
 * Commands.cpp - the service's commands for a pending hydration: file data
 * and the completion report.
 *
 * Both handlers reach the stream first (ReferenceHydrationStream), take its
 * lock, and only then look the request up by id with a lookup reference,
 * which they drop before they release the lock.  Commands for one request
 * therefore run one at a time, in the order they get the stream's lock,
 * and a command that comes after the request has finished finds nothing.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Takes what a command for a request needs, in order: a reference on the
    stream of the pending request with the id, the stream's lock, and a
    lookup reference on the request.

Arguments:

    SyncRoot - The connection's record.
    RequestId - The id the service quoted.
    StreamContext - Receives the stream's context, referenced and locked.
    Request - Receives the request, with a lookup reference.

Return Value:

    STATUS_SUCCESS.
    STATUS_NOT_FOUND, reported - no request with that id is pending (or it
        finished while the lock was awaited); nothing is held.

IRQL:

    PASSIVE_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS
AcquireCommandRequest(_In_ PSYNC_ROOT SyncRoot, _In_ ULONG64 RequestId, _Outptr_ PSTREAM_CONTEXT *StreamContext,
                      _Outptr_ PHYDRATION_REQUEST *Request)
{
    PSTREAM_CONTEXT Context = NULL;
    PHYDRATION_REQUEST Found = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    Status = ReferenceHydrationStream(SyncRoot, RequestId, &Context);
    if (!NT_SUCCESS(Status)) {
        return ReportStatus(STATUS_NOT_FOUND);
    }

    LockStreamContext(Context);

    Status = FindHydrationRequest(SyncRoot, RequestId, &Found);
    if (!NT_SUCCESS(Status)) {
        UnlockStreamContext(Context);
        FltReleaseContext(Context);
        return ReportStatus(STATUS_NOT_FOUND);
    }
    NT_ASSERT(Found == &Context->Request);

    *StreamContext = Context;
    *Request = Found;
    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Gives back what AcquireCommandRequest took, in reverse order: the
    lookup reference (and the registration reference when the caller took
    the request out of its sync root) while the stream's lock is still
    held, then the lock, then the context.

Arguments:

    StreamContext - The stream's context, locked by this thread.
    Request - The request.
    Registration - TRUE to drop the registration reference as well.

Return Value:

    None.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID
ReleaseCommandRequest(_Inout_ PSTREAM_CONTEXT StreamContext, _Inout_ PHYDRATION_REQUEST Request,
                      _In_ BOOLEAN Registration)
{
    PAGED_CODE();

    ReleaseHydrationRequest(Request);
    if (Registration) {
        ReleaseHydrationRequest(Request);
    }
    UnlockStreamContext(StreamContext);
    FltReleaseContext(StreamContext);
}

/*++

Routine Description:

    Handles CommandTransferData: writes a piece of file data from the
    service's memory into the placeholder of a pending request, raising the
    file's end first when the piece reaches beyond it.  A piece longer than
    one page is written in two parts: the whole pages straight from the
    service's memory, then the rest through a page-sized bounce buffer.

Arguments:

    SyncRoot - The connection's record (its cookie).
    Payload - The command's payload, in the filter's own copy.

Return Value:

    STATUS_SUCCESS - every byte was written; BytesWritten grew by Length.
    STATUS_NOT_FOUND, reported - no request with that id is pending.
    STATUS_INTEGER_OVERFLOW, reported - Offset + Length wraps; nothing
        written.
    SetEndOfFile's status, reported - the file could not be extended;
        nothing written.
    WriteFileData's failure status, reported once more - a part failed; an
        earlier part of this command stays written and counted.

IRQL:

    PASSIVE_LEVEL, on the service's thread, in its process.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
TransferData(_In_ PSYNC_ROOT SyncRoot, _In_ const SERVICE_TRANSFER_DATA *Payload)
{
    PSTREAM_CONTEXT StreamContext = NULL;
    PHYDRATION_REQUEST Request = NULL;
    ULONG64 End;
    ULONG FirstLength;
    ULONG SecondLength;
    NTSTATUS Status;

    PAGED_CODE();

    Status = AcquireCommandRequest(SyncRoot, Payload->RequestId, &StreamContext, &Request);
    if (!NT_SUCCESS(Status)) {
        Request = NULL;
        goto Cleanup;
    }

    End = Payload->Offset + Payload->Length;
    if (End < Payload->Offset) {
        Status = ReportStatus(STATUS_INTEGER_OVERFLOW);
        goto Cleanup;
    }

    if (End > StreamContext->ExpectedSize) {
        Status = SetEndOfFile(Request->Instance, Request->FileObject, End);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
        StreamContext->ExpectedSize = End;
    }

    /* Whole pages first, straight from the service's memory; the tail
       (under a page) after them, through a bounce buffer. */
    FirstLength = Payload->Length <= HydrationPageSize ? Payload->Length
                                                       : Payload->Length & ~(ULONG)(HydrationPageSize - 1);
    SecondLength = Payload->Length - FirstLength;

    Status = WriteFileData(Request->Instance, Request->FileObject, StreamContext->ExpectedSize,
                           Payload->BufferAddress, FirstLength, Payload->Offset);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }
    Request->BytesWritten += FirstLength;

    if (SecondLength != 0) {
        Status = WriteFileData(Request->Instance, Request->FileObject, StreamContext->ExpectedSize,
                               Payload->BufferAddress + FirstLength, SecondLength, Payload->Offset + FirstLength);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
        Request->BytesWritten += SecondLength;
    }

Cleanup:
    if (Request != NULL) {
        ReleaseCommandRequest(StreamContext, Request, FALSE);
    }
    return Status;
}

/*++

Routine Description:

    Handles CommandCompleteHydration: takes the request out of its sync
    root (only one completion, or the cancellation at disconnect, can).  On
    success the file is cut to the bytes delivered when fewer arrived than
    expected, its reparse point removed, its placeholder attributes and
    sparse mark cleared, a USN close record written, and the stream is
    hydrated.  Then the service's verdict is recorded and every waiter
    woken, so that they find the file as it will stay.

    The untag goes through the file object of the operation that started
    the hydration, which may lack write access: its WriteAccess flag is set
    for the untag and the clearing of the attributes and put back after.
    Clearing the attributes writes times of -1, which would stop that
    program's later writes through the file object from moving the file's
    times; time updates are resumed afterwards (-2).

Arguments:

    SyncRoot - The connection's record (its cookie).
    Payload - The command's payload, in the filter's own copy.

Return Value:

    STATUS_SUCCESS - the report was accepted: the stream is hydrated, or
        failed with the service's negative status.
    STATUS_NOT_FOUND, reported - no request with that id is pending (never
        issued, already completed, or cancelled by a disconnection).
    SetEndOfFile's status, reported - the trim failed; the waiters were
        released with the service's status; the stream stays hydrating.
    FltUntagFile's status - as for a failed trim.

IRQL:

    PASSIVE_LEVEL, on the service's thread, in its process.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
CompleteHydration(_In_ PSYNC_ROOT SyncRoot, _In_ const SERVICE_COMPLETE_HYDRATION *Payload)
{
    PSTREAM_CONTEXT StreamContext = NULL;
    PHYDRATION_REQUEST Request = NULL;
    BOOLEAN Detached = FALSE;
    PFILE_OBJECT FileObject;
    BOOLEAN WriteAccess;
    GUID Guid = PlaceholderReparseGuid;
    NTSTATUS Status;

    PAGED_CODE();

    Status = AcquireCommandRequest(SyncRoot, Payload->RequestId, &StreamContext, &Request);
    if (!NT_SUCCESS(Status)) {
        Request = NULL;
        goto Cleanup;
    }

    /* Whoever takes the request out drops its registration reference: a
       disconnection that took it first finishes it itself. */
    Detached = DetachHydrationRequest(Request);
    if (!Detached) {
        Status = ReportStatus(STATUS_NOT_FOUND);
        goto Cleanup;
    }

    if (!NT_SUCCESS(Payload->Status)) {
        StreamContext->State = StreamStateFailed;
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    if (Request->BytesWritten < StreamContext->ExpectedSize) {
        Status = SetEndOfFile(Request->Instance, Request->FileObject, Request->BytesWritten);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
        StreamContext->ExpectedSize = Request->BytesWritten;
    }

    FileObject = Request->FileObject;
    WriteAccess = FileObject->WriteAccess;
    FileObject->WriteAccess = TRUE;

    Status = FltUntagFile(Request->Instance, FileObject, PlaceholderReparseTag, &Guid);
    if (NT_SUCCESS(Status)) {
        SetPlaceholderAttributes(Request->Instance, FileObject, PlaceholderCommandUpdate);
        ResumeTimeUpdates(Request->Instance, FileObject);
        WriteUsnCloseRecord(Request->Instance, FileObject);
        StreamContext->State = StreamStateHydrated;
        Status = STATUS_SUCCESS;
    }

    FileObject->WriteAccess = WriteAccess;

Cleanup:
    /* The waiters go on once the file is final (or could not be made so):
       a read released earlier could see the file before its trim. */
    if (Detached) {
        Request->CompletionStatus = Payload->Status;
        KeSetEvent(&Request->CompletionEvent, EVENT_INCREMENT, FALSE);
    }
    if (Request != NULL) {
        ReleaseCommandRequest(StreamContext, Request, Detached);
    }
    return Status;
}
