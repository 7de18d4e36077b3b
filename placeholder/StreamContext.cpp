/*
 * StreamContext.cpp - the stream context's lifetime: getting or creating
 * the one context of a stream, initialising it, and its cleanup.
 *
 * A stream has at most one context, attached with keep-if-exists, so that
 * threads racing to create it all end up with the same one; the filter
 * never removes a context.  It lives until the filter manager tears the
 * stream's contexts down, when the stream's last file object goes (or the
 * instance does), and then its cleanup deletes the lock.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Makes a freshly allocated context ready for use: the whole context is
    zeroed (so the embedded request is unlinked, with no references), its
    lock is initialised, and State becomes StreamStateNew.

    State stays zero until the lock exists; StreamContextCleanup relies on
    that to tell a context whose lock was never initialised.

Arguments:

    StreamContext - The context, just allocated and not yet attached.

Return Value:

    STATUS_SUCCESS, or the status of ExInitializeResourceLite, reported.
    Windows documents that routine as always succeeding; the status is
    checked all the same, so that a lock that does not exist is never
    used or deleted.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.

--*/
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS
InitializeStreamContext(_Out_ PSTREAM_CONTEXT StreamContext)
{
    NTSTATUS Status;

    RtlZeroMemory(StreamContext, sizeof(STREAM_CONTEXT));

    Status = ExInitializeResourceLite(&StreamContext->Lock);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    StreamContext->State = StreamStateNew;

Cleanup:
    return Status;
}

/*++

Routine Description:

    Gets the stream context of the stream an operation is about, through
    the operation's target instance and target file object, and creates it
    first when the stream has none and Mode asks for that.

    A new context is attached with keep-if-exists.  When another thread
    attached one between this thread's lookup and its attach, this
    thread's context is released (which frees it and runs the cleanup that
    deletes its lock) and the other thread's context is returned: every
    racer ends up with the same context.  A context that already exists is
    returned in whatever state it is in.

Arguments:

    Data - The operation's callback data.
    Mode - PlaceholderCommandCreate to create a missing context; any other
           value (callers pass PlaceholderCommandUpdate) looks one up only.
    StreamContext - Receives the context with one reference, which the
                    caller releases with FltReleaseContext.  Null on
                    failure.

Return Value:

    STATUS_SUCCESS - the context is the caller's.
    STATUS_NOT_FOUND - the stream has no context and Mode does not ask for
        one; not reported, as a stream without a context is the normal
        case for a file that is not a placeholder.
    Any other status of FltGetStreamContext, FltAllocateContext,
    InitializeStreamContext or FltSetStreamContext, reported.  Nothing is
    left allocated.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.  No stream or sync root lock needs to be
    held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
GetStreamContext(_In_ PFLT_CALLBACK_DATA Data, _In_ ULONG Mode,
                 _Outptr_result_maybenull_ PSTREAM_CONTEXT *StreamContext)
{
    PFLT_INSTANCE Instance = Data->Iopb->TargetInstance;
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PSTREAM_CONTEXT Found = NULL;
    PSTREAM_CONTEXT NewContext = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltGetStreamContext(Instance, FileObject, (PFLT_CONTEXT *)&Found);
    if (NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Found = NULL;

    if (Status != STATUS_NOT_FOUND) {
        ReportStatus(Status);
        goto Cleanup;
    }

    if (Mode != PlaceholderCommandCreate) {
        goto Cleanup;
    }

    Status = FltAllocateContext(FilterGlobals.Filter, FLT_STREAM_CONTEXT, StreamContextSize, FilterGlobals.PoolType,
                                (PFLT_CONTEXT *)&NewContext);
    if (!NT_SUCCESS(Status)) {
        NewContext = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = InitializeStreamContext(NewContext);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = FltSetStreamContext(Instance, FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, NewContext,
                                 (PFLT_CONTEXT *)&Found);
    if (NT_SUCCESS(Status)) {
        /* The reference from the allocation becomes the caller's. */
        Found = NewContext;
        NewContext = NULL;
        goto Cleanup;
    }

    if (Status == STATUS_FLT_CONTEXT_ALREADY_DEFINED && Found != NULL) {
        /* Another thread attached its context first.  The filter manager
           referenced that one for us; ours is released below. */
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    if (Found != NULL) {
        FltReleaseContext(Found);
        Found = NULL;
    }
    ReportStatus(Status);

Cleanup:
    if (NewContext != NULL) {
        FltReleaseContext(NewContext);
    }

    *StreamContext = NT_SUCCESS(Status) ? Found : NULL;

    return Status;
}

/*++

Routine Description:

    Cleanup callback of the stream context, run by the filter manager when
    the last reference to a context goes: when the stream's contexts are
    torn down, or when a context that lost the race to be attached is
    released.  Deletes the lock the context was created with.  Nothing else
    is released: a context is never torn down while its request is
    registered, since the request's reference on its file object keeps the
    stream alive.

    A context whose lock could not be initialised still has State zero
    (see InitializeStreamContext); it has no lock to delete.

Arguments:

    Context - The stream context being freed.
    ContextType - FLT_STREAM_CONTEXT.

Return Value:

    None.

--*/
_IRQL_requires_max_(APC_LEVEL)
VOID FLTAPI
StreamContextCleanup(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType)
{
    PSTREAM_CONTEXT StreamContext = (PSTREAM_CONTEXT)Context;

    UNREFERENCED_PARAMETER(ContextType);
    PAGED_CODE();

    if (StreamContext->State != 0) {
        ExDeleteResourceLite(&StreamContext->Lock);
    }
}
