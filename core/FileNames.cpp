/*
 * FileNames.cpp - the normalized name of the file an operation is about,
 * and the volume-relative view of such a name.
 *
 * The full normalized name (beginning with the volume's device name) tells
 * under which sync root a file lies; the volume-relative path (beginning
 * with the backslash after the volume name) is what messages to the service
 * carry.  The view is never terminated and is valid only while the name
 * record it points into is referenced.
 */
#include "../include/Zentaflt.h"

/* Options of every name query made for an operation: the normalized name,
   looked up in the name cache even where the filter manager would
   otherwise refuse to. */
#define OperationNameOptions (FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP)

/*++

Routine Description:

    Makes the volume-relative view of a parsed name: a copy of Name without
    its first VolumeLength bytes.  The view points into Name's buffer and
    keeps Name's MaximumLength; it is not terminated.

Arguments:

    VolumeLength - Length in bytes of the volume component of the record
                   that Name belongs to (its Volume.Length); not above
                   Name->Length.
    Name - The record's full normalized name.
    Path - Receives the view.

Return Value:

    None.

IRQL:

    Any; touches only the strings.

--*/
VOID
StripVolumePrefix(_In_ USHORT VolumeLength, _In_ PCUNICODE_STRING Name, _Out_ PUNICODE_STRING Path)
{
    NT_ASSERT(VolumeLength <= Name->Length);

    *Path = *Name;
    Path->Length = (USHORT)(Name->Length - VolumeLength);
    Path->Buffer = Name->Buffer + VolumeLength / sizeof(WCHAR);
}

/*++

Routine Description:

    Obtains the parsed, normalized name of the file an operation is about,
    and optionally its volume-relative view.

    The filter manager refuses to query the file system from some
    contexts and then answers STATUS_FLT_NAME_CACHE_MISS.  One of them is
    met on the way of every program that maps a placeholder: the section
    synchronisation pre-operation, requested from user mode, before the
    post-operation, with the file-system-process marker as the top-level
    IRP.  In that case alone the name is taken from the target file object
    with the unsafe query; every other miss fails.

    Failures are not reported here; the callers report them.

Arguments:

    Data - The operation's callback data.
    NameInfo - Receives the record, with one reference that the caller
               releases with FltReleaseFileNameInformation.  Not written on
               failure.
    RelativePath - Optional; receives the volume-relative view of the name,
                   valid while the record is referenced.

Return Value:

    STATUS_SUCCESS, or the status of FltGetFileNameInformation (among them
    STATUS_FLT_NAME_CACHE_MISS outside the case above), of
    FltGetFileNameInformationUnsafe, or of FltParseFileNameInformation.  On
    failure the caller owns nothing.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
GetNormalizedName(_In_ PFLT_CALLBACK_DATA Data, _Outptr_ PFLT_FILE_NAME_INFORMATION *NameInfo,
                  _Out_opt_ PUNICODE_STRING RelativePath)
{
    PFLT_FILE_NAME_INFORMATION Info = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltGetFileNameInformation(Data, OperationNameOptions, &Info);
    if (!NT_SUCCESS(Status)) {
        Info = NULL;

        if (Status != STATUS_FLT_NAME_CACHE_MISS || Data->RequestorMode != UserMode ||
            Data->Iopb->MajorFunction != IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION ||
            FlagOn(Data->Flags, FLTFL_CALLBACK_DATA_POST_OPERATION) ||
            (ULONG_PTR)IoGetTopLevelIrp() != FSRTL_FSP_TOP_LEVEL_IRP) {
            goto Cleanup;
        }

        Status = FltGetFileNameInformationUnsafe(Data->Iopb->TargetFileObject, Data->Iopb->TargetInstance,
                                                 OperationNameOptions, &Info);
        if (!NT_SUCCESS(Status)) {
            Info = NULL;
            goto Cleanup;
        }
    }

    Status = FltParseFileNameInformation(Info);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    if (RelativePath != NULL) {
        StripVolumePrefix(Info->Volume.Length, &Info->Name, RelativePath);
    }

    /* The caller owns the reference from here on. */
    *NameInfo = Info;
    Info = NULL;

Cleanup:
    if (Info != NULL) {
        FltReleaseFileNameInformation(Info);
    }

    return Status;
}
