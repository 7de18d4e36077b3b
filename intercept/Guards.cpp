/*
 * Guards.cpp - the namespace guards of a sync root.
 *
 * Deleting a directory that lies in a sync root, renaming or moving such a
 * directory, and moving a file out of its sync root are put to the
 * service of the (source's) sync root before the file system carries them
 * out.  The service may refuse, or, for a file, ask for it to be hydrated
 * first; whatever it answers, a directory leaves its sync root only for the
 * volume's recycle bin.  Deleting a file, renaming a file within its sync
 * root and everything outside the sync roots go on without a question.
 *
 * The guards decide before the file system acts and keep nothing between
 * calls.  While a question is out they hold their name records and
 * sync-root references, but no lock.  A question counts as answered only
 * when the send succeeded, which it does only with the service's whole
 * 4-byte reply (SendServiceMessage); every other outcome completes the
 * operation with the send's status, so no guard ever acts on a value the
 * service did not send.
 */
#include "../include/Zentaflt.h"

/* The recycle-bin directory at a volume's root, with the trailing
   backslash: every path inside it begins with this text in some letter
   case, the directory's own path does not. */
static const WCHAR RecycleBinPrefixText[] = L"\\$RECYCLE.BIN\\";

const UNICODE_STRING RecycleBinPrefix = {(USHORT)(sizeof(RecycleBinPrefixText) - sizeof(WCHAR)),
                                         (USHORT)sizeof(RecycleBinPrefixText), (PWSTR)RecycleBinPrefixText};

C_ASSERT(sizeof(RecycleBinPrefixText) - sizeof(WCHAR) == 28);

/*++

Routine Description:

    Tells whether a disposition request asks for a delete: the first byte
    of its information buffer, which is FILE_DISPOSITION_INFORMATION's
    DeleteFile or the low byte of FILE_DISPOSITION_INFORMATION_EX's Flags.
    A buffer without even that byte asks for nothing here; the file system
    refuses it.

Arguments:

    Data - The set-information operation of a disposition class.

Return Value:

    TRUE when the first byte is not zero.

IRQL:

    Any.

--*/
static BOOLEAN
IsDeleteRequest(_In_ PFLT_CALLBACK_DATA Data)
{
    const FLT_PARAMETERS *Parameters = &Data->Iopb->Parameters;

    if (Parameters->SetFileInformation.Length < sizeof(UCHAR) || Parameters->SetFileInformation.InfoBuffer == NULL) {
        return FALSE;
    }

    return (BOOLEAN)(*(const UCHAR *)Parameters->SetFileInformation.InfoBuffer != 0);
}

/*++

Routine Description:

    Finds what a guard needs to know about the file an operation is about:
    its name, its sync root and whether it is a directory.  The name query
    fails the operation (reported); a file outside every sync root is no
    failure: Root comes back null and the guard lets it go on.

Arguments:

    Data - The set-information operation.
    FltObjects - The operation's instance and file object.
    NameInfo - Receives the file's name record; the caller releases it.
               Null on failure.
    Path - Receives the volume-relative view of the name.
    Root - Receives the sync root containing the file, referenced (the
           caller releases it with SyncRootRelease), or null.
    Directory - Receives whether the file object is a directory; set only
                when Root is.

Return Value:

    STATUS_SUCCESS.
    The name query's status; reported.
    FltIsDirectory's status; not reported.  The outputs obtained so far
        are the caller's to release.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS
FindGuardedSource(_In_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                  _Outptr_result_maybenull_ PFLT_FILE_NAME_INFORMATION *NameInfo, _Out_ PUNICODE_STRING Path,
                  _Outptr_result_maybenull_ PSYNC_ROOT *Root, _Out_ PBOOLEAN Directory)
{
    NTSTATUS Status;

    PAGED_CODE();

    *NameInfo = NULL;
    *Root = NULL;
    *Directory = FALSE;
    RtlZeroMemory(Path, sizeof(*Path));

    Status = GetNormalizedName(Data, NameInfo, Path);
    if (!NT_SUCCESS(Status)) {
        *NameInfo = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = SyncRootFind(&(*NameInfo)->Name, Root);
    if (!NT_SUCCESS(Status)) {
        *Root = NULL;
        Status = STATUS_SUCCESS;
        goto Cleanup;
    }

    Status = FltIsDirectory(FltObjects->FileObject, FltObjects->Instance, Directory);

Cleanup:
    return Status;
}

/*++

Routine Description:

    Handler of FileDispositionInformation and FileDispositionInformationEx.
    A delete of a directory that lies in a sync root (the sync-root
    directory itself included) is put to the sync root's service with
    MessageTypeDeleteDirectory; ReplyDeny refuses it, any other reply lets
    it go on.  Deletes of files, deletes outside every sync root, and
    dispositions whose first byte is zero (an undelete) go on without a
    question; the last without even a name query.

Arguments:

    Data - The set-information operation.
    FltObjects - The operation's instance and file object.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK - the delete goes on.
    FLT_PREOP_COMPLETE - with one of:
        STATUS_SHARING_VIOLATION - the service refused; reported.
        The name query's status; reported.
        FltIsDirectory's status; not reported.
        The send's status (STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING for a
            service that went away, STATUS_ACCESS_DENIED for one that did
            not answer in full within the time, ...); reported.

IRQL:

    PASSIVE_LEVEL.  Blocks while the service answers.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreDelete(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
          _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    UNICODE_STRING Path;
    PSYNC_ROOT Root = NULL;
    BOOLEAN Directory = FALSE;
    SERVICE_REPLY Reply = 0;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    *CompletionContext = NULL;

    if (!IsDeleteRequest(Data)) {
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    Status = FindGuardedSource(Data, FltObjects, &NameInfo, &Path, &Root, &Directory);
    if (!NT_SUCCESS(Status) || Root == NULL || !Directory) {
        goto Cleanup;
    }

    Status = SendDeleteDirectoryMessage(Data, Root, &Path, &Reply);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    if (Reply == ReplyDeny) {
        Status = ReportStatus(STATUS_SHARING_VIOLATION);
        goto Cleanup;
    }

Cleanup:
    if (Root != NULL) {
        SyncRootRelease(Root);
    }
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }

    return NT_SUCCESS(Status) ? FLT_PREOP_SUCCESS_NO_CALLBACK : CompleteOperation(Data, Status);
}

/*++

Routine Description:

    Asks for the destination name of a rename: the normalized full name
    the file would have, from the request's RootDirectory and FileName.
    The FILE_RENAME_INFORMATION buffer (the same layout for the Ex class)
    is read only as far as it holds the name it claims; one that does not
    is refused as the file system would refuse it.

Arguments:

    Data - The rename operation.
    FltObjects - The operation's instance and file object.
    NameInfo - Receives the destination's name record, as the filter
               manager returns it (its Volume component set); the caller
               releases it.  Null on failure.

Return Value:

    STATUS_SUCCESS.
    STATUS_INFO_LENGTH_MISMATCH - the buffer is shorter than its name.
    The status of FltGetDestinationFileNameInformation.
    None is reported here.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS
GetDestinationName(_In_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                   _Outptr_result_maybenull_ PFLT_FILE_NAME_INFORMATION *NameInfo)
{
    const FLT_PARAMETERS *Parameters = &Data->Iopb->Parameters;
    PFILE_RENAME_INFORMATION Rename = (PFILE_RENAME_INFORMATION)Parameters->SetFileInformation.InfoBuffer;
    ULONG Length = Parameters->SetFileInformation.Length;
    NTSTATUS Status;

    PAGED_CODE();

    *NameInfo = NULL;

    if (Rename == NULL || Length < (ULONG)FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) ||
        Length - (ULONG)FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) < Rename->FileNameLength) {
        Status = STATUS_INFO_LENGTH_MISMATCH;
        goto Cleanup;
    }

    Status = FltGetDestinationFileNameInformation(FltObjects->Instance, FltObjects->FileObject, Rename->RootDirectory,
                                                  Rename->FileName, Rename->FileNameLength,
                                                  FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, NameInfo);
    if (!NT_SUCCESS(Status)) {
        *NameInfo = NULL;
        goto Cleanup;
    }

    /* A record whose volume part does not lie within its name has no
       volume-relative path. */
    if ((*NameInfo)->Volume.Length > (*NameInfo)->Name.Length) {
        FltReleaseFileNameInformation(*NameInfo);
        *NameInfo = NULL;
        Status = STATUS_OBJECT_NAME_INVALID;
        goto Cleanup;
    }

Cleanup:
    return Status;
}

/*++

Routine Description:

    Handler of FileRenameInformation and FileRenameInformationEx.

    For a source in a sync root:
    - a directory: the service is asked (MessageTypeRenameDirectory) before
      anything else is looked at; ReplyDeny refuses the rename with
      STATUS_SHARING_VIOLATION.  Otherwise the rename goes on into the
      recycle bin (a destination beginning with RecycleBinPrefix, in any
      letter case) or within the same sync root, and is refused with
      STATUS_NOT_SAME_DEVICE anywhere else (the sync-root directory's own
      rename is a directory leaving its sync root);
    - a file staying under the same sync root goes on without a question;
      a file leaving it (for no sync root, another one, or the recycle bin)
      is put to the source's service with its reparse data
      (MessageTypeMoveFileOut): ReplyDeny refuses with STATUS_ACCESS_DENIED,
      ReplyHydrateFirst hydrates the file before the move goes on, any
      other reply lets it go on.
    A source outside every sync root goes on without a question.

    The reparse data sent is what GetPlaceholderReparseData reads back:
    never more than the 1024 bytes of the message's field and never more
    than the file system returned past the 24-byte GUID header, so a
    reparse point shorter than that header (a Microsoft tag with little or
    no data) sends none, with length 0.  A reparse point whose data does
    not fit the read's buffer cannot be read, and the move fails with the
    read's status without a question.

Arguments:

    Data - The set-information operation.
    FltObjects - The operation's instance and file object.
    CompletionContext - Set to null.

Return Value:

    FLT_PREOP_SUCCESS_NO_CALLBACK - the rename goes on.
    FLT_PREOP_COMPLETE - with one of:
        STATUS_SHARING_VIOLATION - the service refused a directory rename;
            reported.
        STATUS_NOT_SAME_DEVICE - a directory would leave its sync root for
            a place other than the recycle bin; reported.
        STATUS_ACCESS_DENIED - the service refused a file's move out;
            reported.
        The source name query's status; reported.
        FltIsDirectory's status; not reported.
        The destination name's status (GetDestinationName); reported.
        The reparse-data read's status, other than
            STATUS_NOT_A_REPARSE_POINT (no data); reported.
        The send's status (STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING,
            STATUS_ACCESS_DENIED for no full answer in time, ...);
            reported.
        EnsureHydrated's status after ReplyHydrateFirst; reported.

IRQL:

    PASSIVE_LEVEL.  Blocks while the service answers and while a
    hydration it asked for runs.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreRename(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
          _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    PFLT_FILE_NAME_INFORMATION SourceInfo = NULL;
    UNICODE_STRING SourcePath;
    PSYNC_ROOT SourceRoot = NULL;
    BOOLEAN Directory = FALSE;
    PFLT_FILE_NAME_INFORMATION DestinationInfo = NULL;
    UNICODE_STRING DestinationPath;
    PSYNC_ROOT DestinationRoot = NULL;
    PVOID ReparseData = NULL;
    ULONG ReparseDataLength = 0;
    SERVICE_REPLY Reply = 0;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    *CompletionContext = NULL;

    RtlZeroMemory(&DestinationPath, sizeof(DestinationPath));

    Status = FindGuardedSource(Data, FltObjects, &SourceInfo, &SourcePath, &SourceRoot, &Directory);
    if (!NT_SUCCESS(Status) || SourceRoot == NULL) {
        goto Cleanup;
    }

    Status = GetDestinationName(Data, FltObjects, &DestinationInfo);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    StripVolumePrefix(DestinationInfo->Volume.Length, &DestinationInfo->Name, &DestinationPath);

    if (Directory) {
        Status = SendRenameDirectoryMessage(Data, SourceRoot, &SourcePath, &DestinationPath, &Reply);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }

        if (Reply == ReplyDeny) {
            Status = ReportStatus(STATUS_SHARING_VIOLATION);
            goto Cleanup;
        }

        if (RtlPrefixUnicodeString(&RecycleBinPrefix, &DestinationPath, TRUE)) {
            goto Cleanup;
        }
    }

    /* A failed lookup is a destination outside every sync root. */
    Status = SyncRootFind(&DestinationInfo->Name, &DestinationRoot);
    if (!NT_SUCCESS(Status)) {
        DestinationRoot = NULL;
    }
    Status = STATUS_SUCCESS;

    if (DestinationRoot == SourceRoot) {
        goto Cleanup;
    }

    if (Directory) {
        Status = ReportStatus(STATUS_NOT_SAME_DEVICE);
        goto Cleanup;
    }

    Status = GetPlaceholderReparseData(FltObjects->Instance, FltObjects->FileObject, &ReparseData, &ReparseDataLength);
    if (Status == STATUS_NOT_A_REPARSE_POINT) {
        ReparseData = NULL;
        ReparseDataLength = 0;
    } else if (!NT_SUCCESS(Status)) {
        ReparseData = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    NT_ASSERT(ReparseDataLength <= ServiceReparseDataSize);

    Status = SendMoveFileOutMessage(Data, SourceRoot, &SourcePath, &DestinationPath, ReparseData,
                                    (USHORT)ReparseDataLength, &Reply);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    if (Reply == ReplyDeny) {
        Status = ReportStatus(STATUS_ACCESS_DENIED);
        goto Cleanup;
    }

    if (Reply == ReplyHydrateFirst) {
        Status = EnsureHydrated(Data);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
    }

Cleanup:
    if (ReparseData != NULL) {
        FreePlaceholderReparseData(ReparseData);
    }
    if (DestinationRoot != NULL) {
        SyncRootRelease(DestinationRoot);
    }
    if (DestinationInfo != NULL) {
        FltReleaseFileNameInformation(DestinationInfo);
    }
    if (SourceRoot != NULL) {
        SyncRootRelease(SourceRoot);
    }
    if (SourceInfo != NULL) {
        FltReleaseFileNameInformation(SourceInfo);
    }

    return NT_SUCCESS(Status) ? FLT_PREOP_SUCCESS_NO_CALLBACK : CompleteOperation(Data, Status);
}
