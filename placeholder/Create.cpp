/*
 * Create.cpp - the creation of a new placeholder by one atomic create: the
 * file enters its directory already carrying its reparse point, attributes,
 * time stamps, size, valid data length and sparse mark, so that no program
 * ever sees it half made.
 *
 * The create is issued below the filter's instance, relative to a kernel
 * handle for the directory the request was sent on, with the atomic-create
 * extra create parameter.  The filter takes no lock of its own: several
 * creates may run at once, and the file system serialises them on the
 * directory.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Checks a create payload's lengths, in this order: NameOffset +
    NameLength and that sum + ReparseDataLength must not wrap in 32 bits;
    the name and the reparse data together must fit in the payload; the
    reparse buffer length (ReparseDataLength + 24) must fit in 16 bits;
    and the reparse buffer itself, from payload offset 56 to 80 +
    ReparseDataLength, must lie inside the payload, so that the file
    system is never handed bytes past it.

Arguments:

    Payload - The create payload, at least PlaceholderPayloadMinimumLength
              bytes of kernel memory.
    PayloadLength - Its length.

Return Value:

    STATUS_SUCCESS, or, reported:
        STATUS_INTEGER_OVERFLOW - a wrapping sum, or a reparse buffer length
            beyond 16 bits;
        STATUS_BUFFER_TOO_SMALL - the name and reparse data, or the reparse
            buffer, reach past the payload.

IRQL:

    PASSIVE_LEVEL (ReportStatus).

--*/
_IRQL_requires_max_(PASSIVE_LEVEL) static NTSTATUS
CheckCreatePayload(_In_ const PLACEHOLDER_PAYLOAD *Payload, _In_ ULONG PayloadLength)
{
    ULONG NameEnd;
    ULONG Total;
    ULONG ReparseDataLength = Payload->ReparseHeader.ReparseDataLength;

    NameEnd = Payload->NameOffset + Payload->NameLength;
    if (NameEnd < Payload->NameOffset) {
        return ReportStatus(STATUS_INTEGER_OVERFLOW);
    }

    Total = NameEnd + ReparseDataLength;
    if (Total < NameEnd) {
        return ReportStatus(STATUS_INTEGER_OVERFLOW);
    }

    if (Total > PayloadLength) {
        return ReportStatus(STATUS_BUFFER_TOO_SMALL);
    }

    if (ReparseDataLength + PlaceholderReparseHeaderSize > MAXUSHORT) {
        return ReportStatus(STATUS_INTEGER_OVERFLOW);
    }

    /* The rules above bound the name and the data together, not the reparse
       buffer: with the name placed before a long reparse data, the buffer
       could still run past the payload. */
    if (PlaceholderPayloadReparseDataOffset + ReparseDataLength > PayloadLength) {
        return ReportStatus(STATUS_BUFFER_TOO_SMALL);
    }

    return STATUS_SUCCESS;
}

/*++

Routine Description:

    PlaceholderCommandCreate: creates the file named in the payload in the
    directory the request was sent on, as a placeholder, in one atomic
    create below the filter's instance.  The atomic-create context asks for
    the sparse mark, the service's reparse header and data as sent (tag and
    GUID included), FileSize as end of file and valid data length, the
    service's four times, the service's attributes with
    PlaceholderAttributes added, and USN source information
    USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT.  The create opens the new
    file for FILE_READ_ATTRIBUTES only, shares nothing, ignores share
    access and opens the reparse point itself; the handle is closed at
    once.

    No stream context is made: the placeholder gets one when it is first
    opened.  The handle's kind is not tested: sent on a file rather than a
    directory, the create fails with the file system's status.

Arguments:

    Data - The device-control request; its target instance and file object
           (the directory) are used.
    Payload - The payload in the request's system buffer.  The reparse
              buffer and the time stamps handed to the file system point
              into it.
    PayloadLength - Its length, at least PlaceholderPayloadMinimumLength.

Return Value:

    STATUS_SUCCESS - the placeholder exists.
    STATUS_INTEGER_OVERFLOW, STATUS_BUFFER_TOO_SMALL - a length rule is
        broken; nothing was created.
    The status of BuildAtomicCreateEcp, ObOpenObjectByPointer or
    FltCreateFileEx2 (STATUS_OBJECT_NAME_COLLISION for an existing name),
    reported.  Every failure leaves no file behind.

IRQL:

    PASSIVE_LEVEL, on the service's thread.

--*/
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS
PlaceholderCreate(_In_ PFLT_CALLBACK_DATA Data, _Inout_updates_bytes_(PayloadLength) PUCHAR Payload,
                  _In_ ULONG PayloadLength)
{
    PPLACEHOLDER_PAYLOAD Fields = (PPLACEHOLDER_PAYLOAD)Payload;
    PECP_LIST EcpList = NULL;
    PATOMIC_CREATE_ECP_CONTEXT Context = NULL;
    HANDLE DirectoryHandle = NULL;
    HANDLE FileHandle = NULL;
    PFILE_OBJECT FileObject = NULL;
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK IoStatus;
    IO_DRIVER_CREATE_CONTEXT DriverContext;
    NTSTATUS Status;

    PAGED_CODE();

    Status = CheckCreatePayload(Fields, PayloadLength);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    Name.Length = Fields->NameLength;
    Name.MaximumLength = Fields->NameLength;
    Name.Buffer = (PWSTR)(Payload + Fields->NameOffset);

    Status = BuildAtomicCreateEcp(&EcpList, &Context);
    if (!NT_SUCCESS(Status)) {
        EcpList = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    RtlZeroMemory(Context, AtomicCreateEcpSize);
    Context->Size = AtomicCreateEcpSize;
    Context->InFlags = PlaceholderAtomicCreateFlags;
    Context->ReparseBufferLength = (USHORT)(Fields->ReparseHeader.ReparseDataLength + PlaceholderReparseHeaderSize);
    Context->ReparseBuffer = (struct _REPARSE_DATA_BUFFER *)&Fields->ReparseHeader;
    Context->FileSize = Fields->FileSize;
    Context->ValidDataLength = Fields->FileSize;
    Context->FileTimestamps = (PFILE_TIMESTAMPS)&Fields->BasicInfo;
    Context->FileAttributes = Fields->BasicInfo.FileAttributes | PlaceholderAttributes;
    Context->UsnSourceInfo = USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT;

    Status = ObOpenObjectByPointer(Data->Iopb->TargetFileObject, OBJ_KERNEL_HANDLE, NULL, 0, *IoFileObjectType,
                                   KernelMode, &DirectoryHandle);
    if (!NT_SUCCESS(Status)) {
        DirectoryHandle = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, DirectoryHandle,
                               NULL);

    RtlZeroMemory(&DriverContext, sizeof(DriverContext));
    DriverContext.Size = sizeof(DriverContext);
    DriverContext.ExtraCreateParameter = EcpList;

    Status = FltCreateFileEx2(FilterGlobals.Filter, Data->Iopb->TargetInstance, &FileHandle, &FileObject,
                              FILE_READ_ATTRIBUTES, &Attributes, &IoStatus, NULL, Context->FileAttributes, 0,
                              FILE_CREATE, FILE_OPEN_REPARSE_POINT, NULL, 0, IO_IGNORE_SHARE_ACCESS_CHECK,
                              &DriverContext);
    if (!NT_SUCCESS(Status)) {
        FileHandle = NULL;
        FileObject = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    /* The context's OutFlags are not examined: the create succeeded. */
    Status = STATUS_SUCCESS;

Cleanup:
    if (DirectoryHandle != NULL) {
        ZwClose(DirectoryHandle);
    }

    if (FileHandle != NULL) {
        FltClose(FileHandle);
    }

    if (FileObject != NULL) {
        ObDereferenceObject(FileObject);
    }

    if (EcpList != NULL) {
        FltFreeExtraCreateParameterList(FilterGlobals.Filter, EcpList);
    }

    return Status;
}
