/*
 * SetInformation.cpp - the dispatch of IRP_MJ_SET_INFORMATION by class:
 * renames and deletes to the namespace guards, hard links and end-of-file
 * changes to the hydration triggers.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Pre-operation of IRP_MJ_SET_INFORMATION: hands the operation to the
    handler of its information class, or lets it go on.

Arguments:

    Data - The operation.
    FltObjects - Passed on.
    CompletionContext - Set to null.

Return Value:

    The handler's result; FLT_PREOP_SUCCESS_NO_CALLBACK for every other
    class.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreSetInformation(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                  _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PAGED_CODE();

    *CompletionContext = NULL;

    switch (Data->Iopb->Parameters.SetFileInformation.FileInformationClass) {
    case FileRenameInformation:
    case FileRenameInformationEx:
        return PreRename(Data, FltObjects, CompletionContext);

    case FileLinkInformation:
    case FileLinkInformationEx:
        return PreHydrateAccess(Data, FltObjects, CompletionContext);

    case FileDispositionInformation:
    case FileDispositionInformationEx:
        return PreDelete(Data, FltObjects, CompletionContext);

    case FileEndOfFileInformation:
        return PreSetEndOfFile(Data, FltObjects, CompletionContext);

    default:
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }
}

C_ASSERT(FileRenameInformation == 10 && FileRenameInformationEx == 65);
C_ASSERT(FileLinkInformation == 11 && FileLinkInformationEx == 72);
C_ASSERT(FileDispositionInformation == 13 && FileDispositionInformationEx == 64);
C_ASSERT(FileEndOfFileInformation == 20);
