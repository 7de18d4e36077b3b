/*
 * FileSystemControl.cpp - file-system controls: no program may set or
 * delete a reparse point inside a connected sync root, and zeroing a range
 * of a placeholder hydrates it first.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Pre-operation of IRP_MJ_FILE_SYSTEM_CONTROL: for user requests and
    kernel calls (minor functions 0 and 4), hands reparse-point changes to
    DenyReparseChange and FSCTL_SET_ZERO_DATA to PreHydrateAccess; every
    other control passes.

Arguments:

    Data - The operation.
    FltObjects - Passed on.
    CompletionContext - Set to null.

Return Value:

    The handler's result, or FLT_PREOP_SUCCESS_NO_CALLBACK.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreFileSystemControl(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                     _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PAGED_CODE();

    *CompletionContext = NULL;

    /* IRP_MN_USER_FS_REQUEST (0) and IRP_MN_KERNEL_CALL (4) only. */
    if ((Data->Iopb->MinorFunction & ~(UCHAR)IRP_MN_KERNEL_CALL) != 0) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    switch (Data->Iopb->Parameters.FileSystemControl.Common.FsControlCode) {
    case FSCTL_SET_REPARSE_POINT:
    case FSCTL_DELETE_REPARSE_POINT:
        return DenyReparseChange(Data, FltObjects, CompletionContext);

    case FSCTL_SET_ZERO_DATA:
        return PreHydrateAccess(Data, FltObjects, CompletionContext);

    default:
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
}

/*++

Routine Description:

    Handler of FSCTL_SET_REPARSE_POINT and FSCTL_DELETE_REPARSE_POINT:
    refuses the change when the file or directory is a connected sync
    root's directory or lies inside one.  User and kernel requests are
    treated alike; the filter's own tagging goes below its instance and is
    never seen here.

Arguments:

    Data - The control request.
    FltObjects - Unused.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK - no connected sync root contains it.
    FLT_PREOP_COMPLETE - with STATUS_ACCESS_DENIED inside a connected sync
        root, or with the name query's status; neither is reported.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
DenyReparseChange(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                  _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PSYNC_ROOT Root = NULL;
    FLT_PREOP_CALLBACK_STATUS Result = FLT_PREOP_SUCCESS_NO_CALLBACK;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(FltObjects);
    PAGED_CODE();

    *CompletionContext = NULL;

    Status = GetNormalizedName(Data, &NameInfo, NULL);
    if (!NT_SUCCESS(Status)) {
        NameInfo = NULL;
        Data->IoStatus.Information = 0;
        Data->IoStatus.Status = Status;
        Result = FLT_PREOP_COMPLETE;
        goto Cleanup;
    }

    Status = SyncRootFind(&NameInfo->Name, &Root);
    if (NT_SUCCESS(Status)) {
        Data->IoStatus.Information = 0;
        Data->IoStatus.Status = STATUS_ACCESS_DENIED;
        Result = FLT_PREOP_COMPLETE;
    } else {
        Root = NULL;
    }

Cleanup:
    if (Root != NULL) {
        SyncRootRelease(Root);
    }
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }
    return Result;
}
