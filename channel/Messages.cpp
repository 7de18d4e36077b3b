/*
 * Messages.cpp - the messages the filter sends to the service.
 *
 * Every message is one SERVICE_MESSAGE, sent to the client port of the sync
 * root the file lies under: a request to hydrate a placeholder, which gets
 * no reply, or one of three questions about namespace changes, answered
 * with a 4-byte SERVICE_REPLY.  Buffers come from FilterGlobals.MessagePool,
 * one per send, cleared on each use.
 */
#include "../include/Zentaflt.h"

/* How long a send waits for the service to take the message (and, for a
   question, to reply): 300 seconds, relative, in 100-ns units. */
#define ServiceMessageTimeout (-3000000000LL)

C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->Path) > MAXUSHORT);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->MoveFileOut.DestinationPath) > MAXUSHORT);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->VolumePath) >= VolumePathMaximumLength);

/*++

Routine Description:

    Copies a counted string into a message field by its Length, without a
    terminator; the rest of the field stays zero.  At most FieldSize bytes
    are copied.

Arguments:

    Field - The field in the message buffer.
    FieldSize - The field's size in bytes.
    Text - The string; may be null, which copies nothing.

Return Value:

    None.

--*/
static VOID
CopyStringField(_Out_writes_bytes_(FieldSize) PVOID Field, _In_ SIZE_T FieldSize, _In_opt_ PCUNICODE_STRING Text)
{
    if (Text != NULL && Text->Buffer != NULL) {
        RtlCopyMemory(Field, Text->Buffer, Text->Length < FieldSize ? Text->Length : FieldSize);
    }
}

/*++

Routine Description:

    Copies reparse data into a message's 1024-byte field and returns the
    number of bytes copied, which the message reports as its length.  The
    copy never exceeds the field, nor the bytes the caller says are valid:
    data longer than the field (possible only for a reparse point that is
    not the filter's own) is cut to the field's 1024 bytes.

Arguments:

    Field - The ReparseData field.
    Data - The reparse data; may be null, which copies nothing.
    DataLength - Valid bytes at Data.

Return Value:

    The bytes copied, 0 to 1024.

--*/
static USHORT
CopyReparseField(_Out_writes_bytes_(ServiceReparseDataSize) PUCHAR Field,
                 _In_reads_bytes_opt_(DataLength) const VOID *Data, _In_ ULONG DataLength)
{
    ULONG Length = 0;

    if (Data != NULL) {
        Length = DataLength < ServiceReparseDataSize ? DataLength : ServiceReparseDataSize;
        RtlCopyMemory(Field, Data, Length);
    }

    return (USHORT)Length;
}

/*++

Routine Description:

    Builds one message and sends it to a sync root's service, waiting up to
    300 seconds for the service to take it and, for a question, to reply.

    A question's reply is cleared before the send, and the service's
    answer counts only when the send succeeds with all 4 bytes of it:
    anything less is treated as no answer at all, like a service that does
    not reply, so the caller never acts on a value the service did not
    send.  For the same reason any other non-failure completion of the
    send (the timeout among them) means the message was not handled.

Arguments:

    Data - The operation's callback data; its target instance's context
           gives the volume path.
    SyncRoot - The sync root found for the (source) path; the caller holds
               a reference on it across the call.
    Fields - The message's type, path and the fields of its type.
    Reply - The question's reply; null for MessageTypeHydrate, which awaits
            none.  Meaningful only on success.

Return Value:

    STATUS_SUCCESS - the service took the message (and replied in full).
    The status of FltGetInstanceContext, not reported.
    STATUS_INSUFFICIENT_RESOURCES - no message buffer; not reported.
    STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING - the connection is gone
        (STATUS_PORT_DISCONNECTED, reported, then this, reported).
    STATUS_ACCESS_DENIED - the service did not take the message or did not
        reply within the time, replied with fewer than 4 bytes, or the send
        ended without delivering; reported.
    Any other failure of FltSendMessage, reported.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.  Blocks up to 300 seconds.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
SendServiceMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot, _In_ const SERVICE_MESSAGE_FIELDS *Fields,
                   _Out_opt_ PSERVICE_REPLY Reply)
{
    PINSTANCE_CONTEXT InstanceContext = NULL;
    PSERVICE_MESSAGE Message = NULL;
    LARGE_INTEGER Timeout;
    ULONG ReplyLength = 0;
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltGetInstanceContext(Data->Iopb->TargetInstance, (PFLT_CONTEXT *)&InstanceContext);
    if (!NT_SUCCESS(Status)) {
        InstanceContext = NULL;
        goto Cleanup;
    }

    Message = (PSERVICE_MESSAGE)ExAllocateFromPagedLookasideList(&FilterGlobals.MessagePool);
    if (Message == NULL) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto Cleanup;
    }

    RtlZeroMemory((PUCHAR)Message + sizeof(Message->MessageType), sizeof(SERVICE_MESSAGE) - sizeof(Message->MessageType));
    Message->MessageType = Fields->MessageType;

    CopyStringField(Message->VolumePath, sizeof(Message->VolumePath), &InstanceContext->VolumePath);
    CopyStringField(Message->Path, sizeof(Message->Path), Fields->Path);

    switch (Fields->MessageType) {
    case MessageTypeHydrate:
        Message->Hydrate.ReparseDataLength =
            CopyReparseField(Message->Hydrate.ReparseData, Fields->ReparseData, Fields->ReparseDataLength);
        Message->Hydrate.ThreadId = (ULONG)(ULONG_PTR)Fields->ThreadId;
        Message->Hydrate.FileSize = Fields->FileSize;
        Message->Hydrate.RequestId = Fields->RequestId;
        Message->Hydrate.ProcessId = (ULONG)(ULONG_PTR)Fields->ProcessId;
        break;

    case MessageTypeMoveFileOut:
        CopyStringField(Message->MoveFileOut.DestinationPath, sizeof(Message->MoveFileOut.DestinationPath),
                        Fields->DestinationPath);
        Message->MoveFileOut.ReparseDataLength =
            CopyReparseField(Message->MoveFileOut.ReparseData, Fields->ReparseData, Fields->ReparseDataLength);
        break;

    case MessageTypeRenameDirectory:
        CopyStringField(Message->RenameDirectory.DestinationPath, sizeof(Message->RenameDirectory.DestinationPath),
                        Fields->DestinationPath);
        break;

    default:
        /* MessageTypeDeleteDirectory: the common fields only. */
        break;
    }

    Timeout.QuadPart = ServiceMessageTimeout;

    if (Reply != NULL) {
        *Reply = 0;
        ReplyLength = sizeof(SERVICE_REPLY);
    }

    Status = FltSendMessage(FilterGlobals.Filter, &SyncRoot->ClientPort, Message, sizeof(SERVICE_MESSAGE), Reply,
                            Reply != NULL ? &ReplyLength : NULL, &Timeout);

    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        if (Status == STATUS_PORT_DISCONNECTED) {
            Status = ReportStatus(STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
        }
        goto Cleanup;
    }

    /* STATUS_TIMEOUT, or any other completion that is not plain success:
       the service did not handle the message. */
    if (Status != STATUS_SUCCESS) {
        Status = ReportStatus(STATUS_ACCESS_DENIED);
        goto Cleanup;
    }

    if (Reply != NULL && ReplyLength < sizeof(SERVICE_REPLY)) {
        *Reply = 0;
        Status = ReportStatus(STATUS_ACCESS_DENIED);
        goto Cleanup;
    }

Cleanup:
    if (Message != NULL) {
        ExFreeToPagedLookasideList(&FilterGlobals.MessagePool, Message);
    }

    if (InstanceContext != NULL) {
        FltReleaseContext(InstanceContext);
    }

    return Status;
}

/*++

Routine Description:

    Asks the service for a placeholder's data (MessageTypeHydrate).  No
    reply is awaited; the service answers with commands on its connection.

Arguments:

    Data - The operation that needs the data.
    SyncRoot - The file's sync root, referenced by the caller.
    Path - The file's volume-relative path.
    FileSize - The file's end of file now.
    RequestId - The id under which the request is registered in SyncRoot.
    ReparseData - The placeholder's reparse data; may be null.
    ReparseDataLength - Valid bytes at ReparseData; at most 1024 are sent.
    ThreadId, ProcessId - The ids of the operation's thread and process;
                          the message keeps their low 32 bits.

Return Value:

    As SendServiceMessage.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.  Called with the stream's lock held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
SendHydrateMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot, _In_ PCUNICODE_STRING Path,
                   _In_ LONGLONG FileSize, _In_ ULONG64 RequestId,
                   _In_reads_bytes_opt_(ReparseDataLength) const VOID *ReparseData, _In_ ULONG ReparseDataLength,
                   _In_ HANDLE ThreadId, _In_ HANDLE ProcessId)
{
    SERVICE_MESSAGE_FIELDS Fields;

    PAGED_CODE();

    RtlZeroMemory(&Fields, sizeof(Fields));
    Fields.MessageType = MessageTypeHydrate;
    Fields.Path = Path;
    Fields.ReparseData = ReparseData;
    Fields.ReparseDataLength = ReparseDataLength;
    Fields.FileSize = FileSize;
    Fields.RequestId = RequestId;
    Fields.ThreadId = ThreadId;
    Fields.ProcessId = ProcessId;

    return SendServiceMessage(Data, SyncRoot, &Fields, NULL);
}

/*++

Routine Description:

    Asks the service whether a file may be renamed to a place outside its
    sync root (MessageTypeMoveFileOut).

Arguments:

    Data - The rename operation.
    SyncRoot - The source's sync root, referenced by the caller.
    SourcePath, DestinationPath - Volume-relative paths.
    ReparseData - The file's reparse data; null when it has none.
    ReparseDataLength - Valid bytes at ReparseData; at most 1024 are sent.
    Reply - Receives the service's reply on success.

Return Value:

    As SendServiceMessage.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
SendMoveFileOutMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot, _In_ PCUNICODE_STRING SourcePath,
                       _In_ PCUNICODE_STRING DestinationPath,
                       _In_reads_bytes_opt_(ReparseDataLength) const VOID *ReparseData, _In_ ULONG ReparseDataLength,
                       _Out_ PSERVICE_REPLY Reply)
{
    SERVICE_MESSAGE_FIELDS Fields;

    PAGED_CODE();

    RtlZeroMemory(&Fields, sizeof(Fields));
    Fields.MessageType = MessageTypeMoveFileOut;
    Fields.Path = SourcePath;
    Fields.DestinationPath = DestinationPath;
    Fields.ReparseData = ReparseData;
    Fields.ReparseDataLength = ReparseDataLength;

    return SendServiceMessage(Data, SyncRoot, &Fields, Reply);
}

/*++

Routine Description:

    Asks the service whether a directory under its sync root may be
    deleted (MessageTypeDeleteDirectory).

Arguments:

    Data - The delete operation.
    SyncRoot - The directory's sync root, referenced by the caller.
    Path - The directory's volume-relative path.
    Reply - Receives the service's reply on success.

Return Value:

    As SendServiceMessage.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
SendDeleteDirectoryMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot, _In_ PCUNICODE_STRING Path,
                           _Out_ PSERVICE_REPLY Reply)
{
    SERVICE_MESSAGE_FIELDS Fields;

    PAGED_CODE();

    RtlZeroMemory(&Fields, sizeof(Fields));
    Fields.MessageType = MessageTypeDeleteDirectory;
    Fields.Path = Path;

    return SendServiceMessage(Data, SyncRoot, &Fields, Reply);
}

/*++

Routine Description:

    Asks the service whether a directory under its sync root may be
    renamed (MessageTypeRenameDirectory).

Arguments:

    Data - The rename operation.
    SyncRoot - The source's sync root, referenced by the caller.
    SourcePath, DestinationPath - Volume-relative paths.
    Reply - Receives the service's reply on success.

Return Value:

    As SendServiceMessage.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; no lock of the filter held.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
SendRenameDirectoryMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot, _In_ PCUNICODE_STRING SourcePath,
                           _In_ PCUNICODE_STRING DestinationPath, _Out_ PSERVICE_REPLY Reply)
{
    SERVICE_MESSAGE_FIELDS Fields;

    PAGED_CODE();

    RtlZeroMemory(&Fields, sizeof(Fields));
    Fields.MessageType = MessageTypeRenameDirectory;
    Fields.Path = SourcePath;
    Fields.DestinationPath = DestinationPath;

    return SendServiceMessage(Data, SyncRoot, &Fields, Reply);
}
