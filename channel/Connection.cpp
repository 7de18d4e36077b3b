/*
 * Connection.cpp - connect, disconnect and message notifications of the
 * communication port.
 *
 * Every connection is one sync root: the service connects once per
 * directory it serves, handing over a handle to it, and the connection's
 * SYNC_ROOT record is its cookie until the disconnect.  On the connection
 * the service sends fixed-size SERVICE_COMMAND records, which are copied
 * out of its memory once, validated and handed to their handlers.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Copies a command out of the service's buffer.  Kept out of line so that
    a fault raised by the access happens inside a call made from the
    caller's __try, where the handler catches it.

Arguments:

    Command - The filter's copy.
    Source - The service's buffer, probed for reading.

Return Value:

    None; may raise the fault of an unreadable source.

--*/
DECLSPEC_NOINLINE static VOID
CopyServiceCommand(_Out_ PSERVICE_COMMAND Command, _In_reads_bytes_(sizeof(SERVICE_COMMAND)) const VOID *Source)
{
    RtlCopyMemory(Command, Source, sizeof(SERVICE_COMMAND));
}

/*++

Routine Description:

    Writes a command's reply into the service's buffer.  Kept out of line
    for the same reason as CopyServiceCommand.  The buffer need not be
    aligned.

Arguments:

    Destination - The service's output buffer, probed for writing.
    Reply - The value to write.

Return Value:

    None; may raise the fault of an unwritable destination.

--*/
DECLSPEC_NOINLINE static VOID
WriteServiceReply(_Out_writes_bytes_(sizeof(ULONG)) PVOID Destination, _In_ ULONG Reply)
{
    RtlCopyMemory(Destination, &Reply, sizeof(Reply));
}

/*++

Routine Description:

    Tells whether the filter can serve files on the volume of a file
    object: it must have an instance there.  A volume it declined (not
    NTFS) or whose instance setup failed has none, and a sync root there
    could never have a placeholder hydrated.

    Such a directory is refused with STATUS_NOT_SUPPORTED ("the request is
    not supported"): the service learns that this directory cannot be a
    sync root, as it would for any volume the filter does not attach to.
    The filter manager's own STATUS_FLT_INSTANCE_NOT_FOUND names its
    bookkeeping, not the service's request, and the filter's not-found
    convention (STATUS_NOT_FOUND, unreported) is for lookups whose caller
    decides, not for a refusal.

Arguments:

    FileObject - The directory's file object, referenced by the caller.

Return Value:

    STATUS_SUCCESS - the filter has an instance on the volume.
    STATUS_NOT_SUPPORTED - it has none; reported.
    The status of FltGetVolumeFromFileObject or of
    FltGetVolumeInstanceFromName (an instance being torn down), reported.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS
CheckVolumeIsFiltered(_In_ PFILE_OBJECT FileObject)
{
    PFLT_VOLUME Volume = NULL;
    PFLT_INSTANCE Instance = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltGetVolumeFromFileObject(FilterGlobals.Filter, FileObject, &Volume);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        Volume = NULL;
        goto Cleanup;
    }

    Status = FltGetVolumeInstanceFromName(FilterGlobals.Filter, Volume, NULL, &Instance);
    if (!NT_SUCCESS(Status)) {
        Instance = NULL;
        if (Status == STATUS_FLT_INSTANCE_NOT_FOUND) {
            Status = STATUS_NOT_SUPPORTED;
        }
        ReportStatus(Status);
        goto Cleanup;
    }

Cleanup:
    if (Instance != NULL) {
        FltObjectDereference(Instance);
    }

    if (Volume != NULL) {
        FltObjectDereference(Volume);
    }

    return Status;
}

/*++

Routine Description:

    The work of a connect: makes the directory behind the service's handle
    a sync root of this connection.

    The handle is referenced in user mode, in the connecting process (the
    connect notification runs in it), so the access check applies as for
    the service itself.  Any file object whose handle grants
    SyncRootDirectoryAccess is accepted; its normalized name becomes the
    sync root.  The record keeps the name, not the file object, so the
    service may close its handle once connected.  The directory must lie
    on a volume the filter has an instance on.

    A directory that equals, contains or lies inside a connected sync root
    is refused, and the new record is discarded in full.  The client port
    of a refused connection is left to the filter manager.

Arguments:

    ClientPort - The new connection's client port.
    DirectoryHandle - The handle from the connection context.
    SyncRoot - Receives the linked record, held by its list reference
               alone; not written on failure.

Return Value:

    STATUS_SUCCESS, or, each reported:
    the status of ObReferenceObjectByHandle (an invalid handle, one of
        another object type, or one lacking access);
    STATUS_NOT_SUPPORTED - the filter has no instance on the directory's
        volume (see CheckVolumeIsFiltered);
    the status of FltGetFileNameInformationUnsafe;
    STATUS_INSUFFICIENT_RESOURCES (or a lock set-up failure) from
        SyncRootCreate;
    STATUS_OBJECT_NAME_COLLISION - the directory nests with a connected
        sync root.

IRQL:

    PASSIVE_LEVEL, in the connecting process.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
SyncRootRegister(_In_ PFLT_PORT ClientPort, _In_ HANDLE DirectoryHandle, _Outptr_ PSYNC_ROOT *SyncRoot)
{
    PFILE_OBJECT FileObject = NULL;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PSYNC_ROOT Root = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    Status = ObReferenceObjectByHandle(DirectoryHandle, SyncRootDirectoryAccess, *IoFileObjectType, UserMode,
                                       (PVOID *)&FileObject, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        FileObject = NULL;
        goto Cleanup;
    }

    Status = CheckVolumeIsFiltered(FileObject);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = FltGetFileNameInformationUnsafe(FileObject, NULL, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT,
                                             &NameInfo);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        NameInfo = NULL;
        goto Cleanup;
    }

    Status = SyncRootCreate(NameInfo, &Root);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        Root = NULL;
        goto Cleanup;
    }

    Root->ClientPort = ClientPort;

    Status = SyncRootInsert(Root);
    if (!NT_SUCCESS(Status)) {
        /* Never linked: drop the creation reference and free it here. */
        ReportStatus(Status);
        SyncRootRelease(Root);
        SyncRootFree(Root);
        goto Cleanup;
    }

    /* The list reference keeps the record from here on. */
    *SyncRoot = Root;
    SyncRootRelease(Root);

Cleanup:
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }

    if (FileObject != NULL) {
        ObfDereferenceObject(FileObject);
    }

    return Status;
}

/*++

Routine Description:

    Connect notification of the port.  The connection context carries the
    handle of the directory to serve in its first 8 bytes; later bytes are
    ignored.  On success the connection's cookie is its new SYNC_ROOT.

Arguments:

    ClientPort - The new connection's client port.
    ServerPortCookie - Not used (none was given).
    ConnectionContext - The context the service passed, captured by the
                        filter manager.
    SizeOfContext - Its size in bytes.
    ConnectionCookie - Receives the SYNC_ROOT; null when the connection is
                       refused.

Return Value:

    STATUS_SUCCESS; STATUS_BUFFER_TOO_SMALL, reported, for a missing or
    short context; or the status of SyncRootRegister, reported again.  Any
    failure refuses the connection.

IRQL:

    PASSIVE_LEVEL, on the service's thread.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI
PortConnect(_In_ PFLT_PORT ClientPort, _In_opt_ PVOID ServerPortCookie, _In_reads_bytes_opt_(SizeOfContext) PVOID ConnectionContext,
            _In_ ULONG SizeOfContext, _Outptr_result_maybenull_ PVOID *ConnectionCookie)
{
    SERVICE_CONNECTION_CONTEXT Context;
    PSYNC_ROOT Root = NULL;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(ServerPortCookie);
    PAGED_CODE();

    *ConnectionCookie = NULL;

    if (ConnectionContext == NULL || SizeOfContext < ServiceConnectionContextSize) {
        Status = ReportStatus(STATUS_BUFFER_TOO_SMALL);
        goto Cleanup;
    }

    RtlCopyMemory(&Context, ConnectionContext, sizeof(Context));

    Status = SyncRootRegister(ClientPort, (HANDLE)(ULONG_PTR)Context.DirectoryHandle, &Root);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    *ConnectionCookie = Root;

Cleanup:
    return Status;
}

/*++

Routine Description:

    Disconnect notification of the port: tears the connection's sync root
    down (unlinks it, closes the client port, fails its pending hydrations)
    and returns once no one holds the record any more.

Arguments:

    ConnectionCookie - The connection's SYNC_ROOT.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL.  May block as long as other threads hold the record.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FLTAPI
PortDisconnect(_In_opt_ PVOID ConnectionCookie)
{
    PAGED_CODE();

    /* Every accepted connection has a record; a refused one gets no
       disconnect notification. */
    if (ConnectionCookie != NULL) {
        (VOID)SyncRootDestroy((PSYNC_ROOT)ConnectionCookie);
    }
}

/*++

Routine Description:

    Message notification of the port: one command of the service.

    The filter manager hands over the service's own user-mode buffers.  The
    40-byte command is probed and copied out once, under an exception
    handler; from then on only the copy is read.  The handler named by the
    command runs with the connection's SYNC_ROOT and the copy's payload.
    On success the u32 0 is written into the service's output buffer, again
    probed and under an exception handler.

    No lock or reference is taken here: the filter manager delivers no
    disconnect while a message of the connection is being handled, so the
    cookie stays valid throughout.

Arguments:

    ConnectionCookie - The connection's SYNC_ROOT.
    InputBuffer - The service's command; at least 40 bytes.
    InputBufferLength - Its length.
    OutputBuffer - The service's reply buffer; at least 4 bytes.
    OutputBufferLength - Its length.
    ReturnOutputBufferLength - Receives the bytes written: 4 on success,
                               0 otherwise.

Return Value:

    The handler's status when it is not negative, or, each reported:
    STATUS_INVALID_PARAMETER - a buffer is missing or too short; nothing
        is read.
    The exception code of a fault while probing or copying the command;
        no command runs.
    STATUS_INVALID_DEVICE_REQUEST - an unknown command.
    The handler's failure status; the output buffer is not written.
    The exception code of a fault while probing or writing the reply; the
        command has taken effect.

IRQL:

    PASSIVE_LEVEL, on the service's thread, in its process.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI
PortMessage(_In_opt_ PVOID ConnectionCookie, _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer, _In_ ULONG InputBufferLength,
            _Out_writes_bytes_to_opt_(OutputBufferLength, *ReturnOutputBufferLength) PVOID OutputBuffer,
            _In_ ULONG OutputBufferLength, _Out_ PULONG ReturnOutputBufferLength)
{
    PSYNC_ROOT Root = (PSYNC_ROOT)ConnectionCookie;
    SERVICE_COMMAND Command;
    NTSTATUS Status = STATUS_SUCCESS;
    NTSTATUS HandlerStatus;

    PAGED_CODE();

    *ReturnOutputBufferLength = 0;

    if (InputBuffer == NULL || InputBufferLength < ServiceCommandSize || OutputBuffer == NULL ||
        OutputBufferLength < ServiceCommandReplySize) {
        Status = ReportStatus(STATUS_INVALID_PARAMETER);
        goto Cleanup;
    }

    __try {
        ProbeForRead(InputBuffer, sizeof(SERVICE_COMMAND), 1);
        CopyServiceCommand(&Command, InputBuffer);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        ReportStatus(Status);
        goto Cleanup;
    }

    switch (Command.Command) {
    case CommandTransferData:
        HandlerStatus = TransferData(Root, &Command.TransferData);
        break;

    case CommandCompleteHydration:
        HandlerStatus = CompleteHydration(Root, &Command.CompleteHydration);
        break;

    default:
        Status = ReportStatus(STATUS_INVALID_DEVICE_REQUEST);
        goto Cleanup;
    }

    if (!NT_SUCCESS(HandlerStatus)) {
        Status = ReportStatus(HandlerStatus);
        goto Cleanup;
    }

    __try {
        ProbeForWrite(OutputBuffer, sizeof(ULONG), 1);
        WriteServiceReply(OutputBuffer, 0);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        ReportStatus(Status);
        goto Cleanup;
    }

    *ReturnOutputBufferLength = sizeof(ULONG);
    Status = HandlerStatus;

Cleanup:
    return Status;
}
