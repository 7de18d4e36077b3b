/*
 * Convert.cpp - the two placeholder control commands that act on an
 * existing file through a handle the service opened on it itself:
 * conversion of a full file into a placeholder, and the update of a
 * placeholder in place.
 *
 * Both require a handle opened without intermediate buffering and sharing
 * nothing, and both hold the stream's lock from the test of its state to
 * the end, across every file-system call, so that they never interleave
 * with a hydration of the same stream.  Nothing is rolled back: steps that
 * only decorate the file report their failure and the command goes on, and
 * an update that fails part-way keeps the steps already made.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Checks the handle requirements of conversion and update on the
    request's target file object: opened without intermediate buffering,
    and sharing neither read, write nor delete access.

Arguments:

    FileObject - The target file object of the request.

Return Value:

    STATUS_SUCCESS, or, reported:
        STATUS_INVALID_HANDLE - the handle was opened with caching;
        STATUS_SHARING_VIOLATION - it shares read, write or delete access.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL) static NTSTATUS
CheckPlaceholderHandle(_In_ PFILE_OBJECT FileObject)
{
    if (!FlagOn(FileObject->Flags, FO_NO_INTERMEDIATE_BUFFERING)) {
        return ReportStatus(STATUS_INVALID_HANDLE);
    }

    if (FileObject->SharedRead || FileObject->SharedWrite || FileObject->SharedDelete) {
        return ReportStatus(STATUS_SHARING_VIOLATION);
    }

    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Checks that a payload holds ReparseDataLength bytes of reparse data
    beyond Base bytes.

Arguments:

    ReparseDataLength - The payload's reparse data length.
    Base - PlaceholderConvertLengthBase or PlaceholderUpdateLengthBase.
    PayloadLength - The payload's length.

Return Value:

    STATUS_SUCCESS, or STATUS_BUFFER_TOO_SMALL, reported.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL) static NTSTATUS
CheckReparseDataLength(_In_ ULONG ReparseDataLength, _In_ ULONG Base, _In_ ULONG PayloadLength)
{
    /* ReparseDataLength is at most 0xFFFF: the sum cannot wrap. */
    if (ReparseDataLength + Base > PayloadLength) {
        return ReportStatus(STATUS_BUFFER_TOO_SMALL);
    }

    return STATUS_SUCCESS;
}

/*++

Routine Description:

    PlaceholderCommandConvert: turns a full file that lies under a connected
    sync root (of any connection) into a placeholder.  Under the stream's
    lock: marks the handle as the service's, tags the file with the
    placeholder reparse point and the service's reparse data, sets the
    placeholder attributes and the sparse mark, zeroes the whole content
    (which on the now sparse file frees its clusters; the end of file
    stays), writes a USN close record and records the stream as
    StreamStateDehydrated.  Once the file is tagged the conversion counts
    as done: the later steps report their failures and go on.

Arguments:

    Data - The device-control request, sent on the file itself; its target
           instance and file object are used.
    Payload - A reparse header (tag and GUID not read) followed by the
              reparse data, in the request's system buffer.
    PayloadLength - Its length, at least PlaceholderPayloadMinimumLength.

Return Value:

    STATUS_SUCCESS - the file is a placeholder, StreamStateDehydrated.
    STATUS_BUFFER_TOO_SMALL - ReparseDataLength + 1052 exceeds the payload.
    STATUS_INVALID_HANDLE - the handle was opened with caching.
    STATUS_SHARING_VIOLATION - the handle shares access.
    STATUS_NOT_FOUND - no connected sync root contains the file; no stream
        context is attached.
    STATUS_INVALID_DEVICE_STATE - the stream is dehydrated or hydrating.
    The status of GetNormalizedName, GetStreamContext or FltTagFile
    (the stream's state is then left as it was).
    Every failure is reported.

IRQL:

    PASSIVE_LEVEL, on the service's thread; no filter lock held.

--*/
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PlaceholderConvert(_In_ PFLT_CALLBACK_DATA Data, _Inout_updates_bytes_(PayloadLength) PUCHAR Payload,
                   _In_ ULONG PayloadLength)
{
    PPLACEHOLDER_CONVERT_PAYLOAD Fields = (PPLACEHOLDER_CONVERT_PAYLOAD)Payload;
    PFLT_INSTANCE Instance = Data->Iopb->TargetInstance;
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PSYNC_ROOT Root = NULL;
    PSTREAM_CONTEXT StreamContext = NULL;
    BOOLEAN Locked = FALSE;
    FILE_ZERO_DATA_INFORMATION Zero;
    GUID Guid = PlaceholderReparseGuid;
    NTSTATUS Status;

    PAGED_CODE();

    Status = CheckReparseDataLength(Fields->ReparseDataLength, PlaceholderConvertLengthBase, PayloadLength);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = CheckPlaceholderHandle(FileObject);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = GetNormalizedName(Data, &NameInfo, NULL);
    if (!NT_SUCCESS(Status)) {
        NameInfo = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = SyncRootFind(&NameInfo->Name, &Root);
    if (!NT_SUCCESS(Status)) {
        Root = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = GetStreamContext(Data, PlaceholderCommandCreate, &StreamContext);
    if (!NT_SUCCESS(Status)) {
        StreamContext = NULL;
        goto Cleanup;
    }

    LockStreamContext(StreamContext);
    Locked = TRUE;

    if (StreamContext->State == StreamStateDehydrated || StreamContext->State == StreamStateHydrating) {
        Status = ReportStatus(STATUS_INVALID_DEVICE_STATE);
        goto Cleanup;
    }

    MarkHandleForReplication(Instance, FileObject);

    Status = FltTagFile(Instance, FileObject, PlaceholderReparseTag, &Guid,
                        Payload + PlaceholderConvertReparseDataOffset, Fields->ReparseDataLength);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    SetPlaceholderAttributes(Instance, FileObject, PlaceholderCommandCreate);

    Zero.FileOffset.QuadPart = 0;
    Zero.BeyondFinalZero.QuadPart = MAXLONGLONG;
    Status = FltFsControlFile(Instance, FileObject, FSCTL_SET_ZERO_DATA, &Zero, sizeof(Zero), NULL, 0, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
    }

    WriteUsnCloseRecord(Instance, FileObject);

    StreamContext->State = StreamStateDehydrated;
    Status = STATUS_SUCCESS;

Cleanup:
    if (Locked) {
        UnlockStreamContext(StreamContext);
    }

    if (StreamContext != NULL) {
        FltReleaseContext(StreamContext);
    }

    if (Root != NULL) {
        SyncRootRelease(Root);
    }

    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }

    return Status;
}

/*++

Routine Description:

    PlaceholderCommandUpdate: changes a placeholder in place.  Under the
    stream's lock, after marking the handle as the service's, carries out
    the steps UpdateFlags asks for, in this order: replace the reparse data
    (PlaceholderUpdateReparseData), set the basic information with
    PlaceholderAttributes added to the service's attributes, written back
    into the request's buffer (PlaceholderUpdateBasicInformation; times of
    0 and -1 mean what a basic-information set makes of them), and set the
    end of file (PlaceholderUpdateEndOfFile); other bits are ignored.  A USN
    close record ends a successful update.  The stream's state does not
    change.

Arguments:

    Data - The device-control request, sent on the file itself; its target
           instance and file object are used.
    Payload - The update payload in the request's system buffer; its
              attributes are changed in place.
    PayloadLength - Its length, at least PlaceholderPayloadMinimumLength.

Return Value:

    STATUS_SUCCESS - every step asked for was made.
    STATUS_BUFFER_TOO_SMALL - ReparseDataLength + 1112 exceeds the payload.
    STATUS_INVALID_HANDLE - the handle was opened with caching.
    STATUS_SHARING_VIOLATION - the handle shares access.
    STATUS_NOT_FOUND - the stream has no context (not reported).
    STATUS_INVALID_DEVICE_STATE - the stream is hydrated or hydrating.
    The status of GetStreamContext, or of the first step that failed
    (FltTagFile, FltSetInformationFile, SetEndOfFile); the steps before it
    stay made and no close record is written.
    Every failure but STATUS_NOT_FOUND is reported.

IRQL:

    PASSIVE_LEVEL, on the service's thread; no filter lock held.

--*/
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PlaceholderUpdate(_In_ PFLT_CALLBACK_DATA Data, _Inout_updates_bytes_(PayloadLength) PUCHAR Payload,
                  _In_ ULONG PayloadLength)
{
    PPLACEHOLDER_PAYLOAD Fields = (PPLACEHOLDER_PAYLOAD)Payload;
    PFLT_INSTANCE Instance = Data->Iopb->TargetInstance;
    PFILE_OBJECT FileObject = Data->Iopb->TargetFileObject;
    PSTREAM_CONTEXT StreamContext = NULL;
    BOOLEAN Locked = FALSE;
    GUID Guid = PlaceholderReparseGuid;
    ULONG UpdateFlags = Fields->UpdateFlags;
    NTSTATUS Status;

    PAGED_CODE();

    Status = CheckReparseDataLength(Fields->ReparseHeader.ReparseDataLength, PlaceholderUpdateLengthBase,
                                    PayloadLength);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = CheckPlaceholderHandle(FileObject);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    /* A stream without a context is not a placeholder: not a failure worth
       reporting. */
    Status = GetStreamContext(Data, PlaceholderCommandUpdate, &StreamContext);
    if (!NT_SUCCESS(Status)) {
        StreamContext = NULL;
        goto Cleanup;
    }

    LockStreamContext(StreamContext);
    Locked = TRUE;

    if (StreamContext->State == StreamStateHydrated || StreamContext->State == StreamStateHydrating) {
        Status = ReportStatus(STATUS_INVALID_DEVICE_STATE);
        goto Cleanup;
    }

    MarkHandleForReplication(Instance, FileObject);

    if (FlagOn(UpdateFlags, PlaceholderUpdateReparseData)) {
        Status = FltTagFile(Instance, FileObject, PlaceholderReparseTag, &Guid,
                            Payload + PlaceholderPayloadReparseDataOffset, Fields->ReparseHeader.ReparseDataLength);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
    }

    if (FlagOn(UpdateFlags, PlaceholderUpdateBasicInformation)) {
        Fields->BasicInfo.FileAttributes |= PlaceholderAttributes;
        Status = FltSetInformationFile(Instance, FileObject, &Fields->BasicInfo, sizeof(Fields->BasicInfo),
                                       FileBasicInformation);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
    }

    if (FlagOn(UpdateFlags, PlaceholderUpdateEndOfFile)) {
        Status = SetEndOfFile(Instance, FileObject, (ULONG64)Fields->FileSize);
        if (!NT_SUCCESS(Status)) {
            ReportStatus(Status);
            goto Cleanup;
        }
    }

    WriteUsnCloseRecord(Instance, FileObject);
    Status = STATUS_SUCCESS;

Cleanup:
    if (Locked) {
        UnlockStreamContext(StreamContext);
    }

    if (StreamContext != NULL) {
        FltReleaseContext(StreamContext);
    }

    return Status;
}
