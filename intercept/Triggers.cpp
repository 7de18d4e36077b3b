/*
 * Triggers.cpp - the operations that need a placeholder's data: each is
 * held until the stream is hydrated and fails with the hydration's status
 * when that fails.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Completes an operation with a failure status.

Arguments:

    Data - The operation.
    Status - The failure status.

Return Value:

    FLT_PREOP_COMPLETE.

IRQL:

    Any.

--*/
FLT_PREOP_CALLBACK_STATUS
CompleteOperation(_Inout_ PFLT_CALLBACK_DATA Data, _In_ NTSTATUS Status)
{
    Data->IoStatus.Information = 0;
    Data->IoStatus.Status = Status;
    return FLT_PREOP_COMPLETE;
}

/*++

Routine Description:

    Tells whether a fast I/O operation would have to wait for a hydration:
    its stream has a context that is not hydrated.  The one stream-context
    lookup is all an ordinary file's fast I/O costs.

Arguments:

    Data - The fast I/O operation.

Return Value:

    TRUE when the stream is a placeholder not yet hydrated.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
static BOOLEAN
FastIoNeedsHydration(_In_ PFLT_CALLBACK_DATA Data)
{
    PSTREAM_CONTEXT StreamContext = NULL;
    BOOLEAN Needs = FALSE;
    NTSTATUS Status;

    PAGED_CODE();

    Status = GetStreamContext(Data, PlaceholderCommandUpdate, &StreamContext);
    if (!NT_SUCCESS(Status)) {
        if (Status != STATUS_NOT_FOUND) {
            ReportStatus(Status);
        }
        return FALSE;
    }

    Needs = (BOOLEAN)(*(volatile ULONG *)&StreamContext->State != StreamStateHydrated);
    FltReleaseContext(StreamContext);
    return Needs;
}

/*++

Routine Description:

    Pre-operation of IRP_MJ_READ, IRP_MJ_WRITE (non-paging) and
    IRP_MJ_LOCK_CONTROL, and handler of FSCTL_SET_ZERO_DATA and of hard
    links: hydrates the stream first.

    A fast I/O operation cannot be cancelled, so it never waits for the
    service: when its stream still needs hydration it is refused
    (FLT_PREOP_DISALLOW_FASTIO) and the I/O manager sends it again as an
    IRP, whose wait the program can cancel.  Fast I/O on any other stream
    goes on at once.

Arguments:

    Data - The operation.
    FltObjects - Unused.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK - the operation goes on.
    FLT_PREOP_DISALLOW_FASTIO - fast I/O on a stream that needs hydration.
    FLT_PREOP_COMPLETE - EnsureHydrated failed; its status (reported) is
        the operation's.

IRQL:

    PASSIVE_LEVEL.  May block until the service completes.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreHydrateAccess(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                 _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(FltObjects);
    PAGED_CODE();

    *CompletionContext = NULL;

    if (FLT_IS_FASTIO_OPERATION(Data)) {
        return FastIoNeedsHydration(Data) ? FLT_PREOP_DISALLOW_FASTIO : FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    Status = EnsureHydrated(Data);
    if (!NT_SUCCESS(Status)) {
        return CompleteOperation(Data, ReportStatus(Status));
    }
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

/*++

Routine Description:

    Pre-operation of IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION: a section
    being created for the file (a mapping) hydrates it first; every other
    synchronisation passes.

Arguments:

    Data - The operation.
    FltObjects - Passed on.
    CompletionContext - Set to null.

Return Value:

    As PreHydrateAccess for SyncTypeCreateSection;
    FLT_PREOP_SUCCESS_NO_CALLBACK otherwise.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreAcquireForSection(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                     _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PAGED_CODE();

    *CompletionContext = NULL;

    if (Data->Iopb->Parameters.AcquireForSectionSynchronization.SyncType != SyncTypeCreateSection) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    return PreHydrateAccess(Data, FltObjects, CompletionContext);
}

/*++

Routine Description:

    Handler of FileEndOfFileInformation: a change of the end of file
    hydrates first, except one that may only move it forwards (AdvanceOnly,
    as the cache manager sends), which never loses data.

Arguments:

    Data - The set-information operation.
    FltObjects - Passed on.
    CompletionContext - Set to null.

Return Value:

    As PreHydrateAccess; FLT_PREOP_SUCCESS_NO_CALLBACK for AdvanceOnly.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreSetEndOfFile(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PAGED_CODE();

    *CompletionContext = NULL;

    if (Data->Iopb->Parameters.SetFileInformation.AdvanceOnly == TRUE) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
    return PreHydrateAccess(Data, FltObjects, CompletionContext);
}
