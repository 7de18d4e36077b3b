/*
 * Guards.cpp - the namespace guards of renames and deletes.  Renames and
 * deletes are let go on.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Handler of FileRenameInformation and FileRenameInformationEx.  Lets
    every rename go on.

Arguments:

    Data - The set-information operation.
    FltObjects - Unused.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK.

IRQL:

    PASSIVE_LEVEL.

--*/
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreRename(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
          _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(FltObjects);
    PAGED_CODE();

    *CompletionContext = NULL;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}

/*++

Routine Description:

    Handler of FileDispositionInformation and FileDispositionInformationEx.
    Lets every delete go on.

Arguments:

    Data - The set-information operation.
    FltObjects - Unused.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK.

IRQL:

    PASSIVE_LEVEL.

--*/
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreDelete(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
          _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    UNREFERENCED_PARAMETER(Data);
    UNREFERENCED_PARAMETER(FltObjects);
    PAGED_CODE();

    *CompletionContext = NULL;
    return FLT_PREOP_SUCCESS_NO_CALLBACK;
}
