/*
 * Primitives.cpp - the small file-system operations out of which the
 * filter makes, changes, reads back and unmakes placeholders.
 *
 * Every request on a file goes through the filter manager at the instance
 * the caller names (the filter's own), so it reaches only the filters below
 * and NTFS and never the filter's own operation callbacks.  The primitives
 * hold no lock of their own: callers hold the stream's lock around them
 * whenever the stream has a context.  They never retry and never undo an
 * earlier step.  Those without a result only decorate a file (handle
 * marking, attributes, sparse mark, USN close record): they report a
 * failure and their callers go on regardless.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Builds the extra-create-parameter list with which a new placeholder is
    created: one atomic-create context (GUID_ECP_ATOMIC_CREATE, 88 bytes of
    paged pool tagged "zKEC", no cleanup callback) inserted in a new list.
    The context's contents are left for the caller to set.  Once inserted
    the context belongs to the list: FltFreeExtraCreateParameterList frees
    both.

Arguments:

    EcpList - Receives the list; the caller frees it with
              FltFreeExtraCreateParameterList.  Null on failure.
    EcpContext - Receives the context inside the list, uninitialised.  Null
                 on failure.

Return Value:

    STATUS_SUCCESS, or the status of FltAllocateExtraCreateParameter,
    FltAllocateExtraCreateParameterList or FltInsertExtraCreateParameter,
    reported.  On failure everything allocated has been freed.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.

--*/
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS
BuildAtomicCreateEcp(_Outptr_result_maybenull_ PECP_LIST *EcpList,
                     _Outptr_result_maybenull_ PATOMIC_CREATE_ECP_CONTEXT *EcpContext)
{
    PATOMIC_CREATE_ECP_CONTEXT Context = NULL;
    PECP_LIST List = NULL;
    NTSTATUS Status;

    PAGED_CODE();

    *EcpList = NULL;
    *EcpContext = NULL;

    Status = FltAllocateExtraCreateParameter(FilterGlobals.Filter, &GUID_ECP_ATOMIC_CREATE, AtomicCreateEcpSize, 0,
                                             NULL, PoolTagCreateParameters, (PVOID *)&Context);
    if (!NT_SUCCESS(Status)) {
        Context = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = FltAllocateExtraCreateParameterList(FilterGlobals.Filter, 0, &List);
    if (!NT_SUCCESS(Status)) {
        List = NULL;
        ReportStatus(Status);
        goto Cleanup;
    }

    Status = FltInsertExtraCreateParameter(FilterGlobals.Filter, List, Context);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    /* Both are the caller's now, the context through the list. */
    *EcpList = List;
    *EcpContext = Context;
    List = NULL;
    Context = NULL;

Cleanup:
    if (List != NULL) {
        FltFreeExtraCreateParameterList(FilterGlobals.Filter, List);
    }

    if (Context != NULL) {
        FltFreeExtraCreateParameter(FilterGlobals.Filter, Context);
    }

    return Status;
}

/*++

Routine Description:

    Marks a file object as the sync service's own (FSCTL_MARK_HANDLE with
    USN source information USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT): from
    then on the USN records of changes made through it carry that source,
    so that journal readers can tell the service's changes from a
    program's.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - The file object to mark.

Return Value:

    None.  A failure is reported and otherwise ignored; the file's changes
    then carry no source information.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
MarkHandleForReplication(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject)
{
    MARK_HANDLE_INFO Mark;
    NTSTATUS Status;

    PAGED_CODE();

    RtlZeroMemory(&Mark, sizeof(Mark));
    Mark.UsnSourceInfo = USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT;
    Mark.VolumeHandle = NULL;
    Mark.HandleInfo = 0;

    Status = FltFsControlFile(Instance, FileObject, FSCTL_MARK_HANDLE, &Mark, sizeof(Mark), NULL, 0, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
    }
}

/*++

Routine Description:

    Reads a file's size: the end of file from its network-open
    information.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - A file object of the file.
    FileSize - Receives the end of file; not written on failure.

Return Value:

    STATUS_SUCCESS, or the status of FltQueryInformationFile, not reported
    (the caller reports it).

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
QueryFileSize(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _Out_ PLONGLONG FileSize)
{
    FILE_NETWORK_OPEN_INFORMATION Information;
    NTSTATUS Status;

    PAGED_CODE();

    RtlZeroMemory(&Information, sizeof(Information));

    Status = FltQueryInformationFile(Instance, FileObject, &Information, sizeof(Information),
                                     FileNetworkOpenInformation, NULL);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    *FileSize = Information.EndOfFile.QuadPart;

Cleanup:
    return Status;
}

/*++

Routine Description:

    Reads a placeholder's reparse data: the bytes that follow the 24-byte
    REPARSE_GUID_DATA_BUFFER header, at most PlaceholderReparseDataMaximum
    (1024) of them.  The reparse point is read whole into a buffer of
    PlaceholderReparseBufferSize (1048) bytes of paged pool tagged "zKRP";
    the tag and GUID in the header are not examined.

    The length never exceeds the bytes the file system returned past the
    24-byte header.  A reparse point that comes back shorter than that
    header (a Microsoft tag, whose header is 8 bytes, with little or no
    data) yields length 0: the file has a reparse point, and none of its
    bytes lie where a placeholder's data would.  Success with length 0
    rather than a failure keeps such a file movable out of its sync root
    (the move-out question then carries no data), and a placeholder of the
    service's never comes back that short.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - A file object of the file.
    ReparseData - Receives a pointer just past the header inside the
                  buffer, never the buffer's start; the caller frees it
                  with FreePlaceholderReparseData.  Null on failure.
    ReparseDataLength - Receives the number of bytes at ReparseData, 0 to
                        1024.  0 on failure.

Return Value:

    STATUS_SUCCESS - the buffer is the caller's.
    STATUS_INSUFFICIENT_RESOURCES - no pool for the buffer; reported.
    The status of FltFsControlFile, not reported; nothing is left
    allocated.  Among them:
        STATUS_NOT_A_REPARSE_POINT - the file has no reparse point.
        STATUS_BUFFER_OVERFLOW - more than 1024 bytes of data, which do not
            fit; such a placeholder cannot be read back.

IRQL:

    PASSIVE_LEVEL (paged pool).

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS
GetPlaceholderReparseData(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
                          _Outptr_result_bytebuffer_(*ReparseDataLength) PVOID *ReparseData,
                          _Out_ PULONG ReparseDataLength)
{
    PUCHAR Buffer = NULL;
    ULONG Returned = 0;
    NTSTATUS Status;

    PAGED_CODE();

    *ReparseData = NULL;
    *ReparseDataLength = 0;

    Buffer = (PUCHAR)ExAllocatePoolWithTag(PagedPool, PlaceholderReparseBufferSize, PoolTagReparseData);
    if (Buffer == NULL) {
        Status = ReportStatus(STATUS_INSUFFICIENT_RESOURCES);
        goto Cleanup;
    }

    Status = FltFsControlFile(Instance, FileObject, FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer,
                              PlaceholderReparseBufferSize, &Returned);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    /* Whatever a lower layer claims, no more than the buffer was read. */
    if (Returned > PlaceholderReparseBufferSize) {
        Returned = PlaceholderReparseBufferSize;
    }

    *ReparseDataLength = Returned > PlaceholderReparseHeaderSize ? Returned - PlaceholderReparseHeaderSize : 0;
    *ReparseData = Buffer + PlaceholderReparseHeaderSize;
    Buffer = NULL;

Cleanup:
    if (Buffer != NULL) {
        ExFreePoolWithTag(Buffer, PoolTagReparseData);
    }

    return Status;
}

/*++

Routine Description:

    Frees the buffer of a successful GetPlaceholderReparseData, given the
    data pointer it handed out (24 bytes past the buffer's start).

Arguments:

    ReparseData - The data pointer; invalid afterwards.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.

--*/
_IRQL_requires_max_(APC_LEVEL)
VOID
FreePlaceholderReparseData(_In_ _Frees_ptr_ PVOID ReparseData)
{
    ExFreePoolWithTag((PUCHAR)ReparseData - PlaceholderReparseHeaderSize, PoolTagReparseData);
}

/*++

Routine Description:

    Sets a file's end of file.  A file system that answers with an
    informational status has still set it, so every non-negative answer is
    success.

    Not to be confused with the Win32 routine of the same name, which
    takes a handle; this one keeps C++ linkage and overloads it.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - A file object of the file, opened for writing or below the
                 access checks (the filter's own requests are kernel-mode).
    EndOfFile - The new end of file.

Return Value:

    STATUS_SUCCESS, or the failure status of FltSetInformationFile, not
    reported (the caller reports it).

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
SetEndOfFile(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ ULONG64 EndOfFile)
{
    FILE_END_OF_FILE_INFORMATION Information;
    NTSTATUS Status;

    PAGED_CODE();

    Information.EndOfFile.QuadPart = (LONGLONG)EndOfFile;

    Status = FltSetInformationFile(Instance, FileObject, &Information, sizeof(Information),
                                   FileEndOfFileInformation);
    if (NT_SUCCESS(Status)) {
        Status = STATUS_SUCCESS;
    }

    return Status;
}

/*++

Routine Description:

    Sets or clears the placeholder attributes (PlaceholderAttributes) and
    the sparse mark of a file, leaving its four times and every other
    attribute as they are.

    The basic information is read, its four times set to -1 (which leaves
    each time unchanged and keeps the file system from moving it for later
    operations through this file object), the attributes changed, and the
    record written back; then the sparse mark is set or cleared.

    Clearing the attributes of a file that has no others would write
    attributes 0, which a basic-information set takes to mean "leave the
    attributes alone"; FILE_ATTRIBUTE_NORMAL is written instead, which
    clears them.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - A file object of the file.
    Mode - PlaceholderCommandCreate sets; any other value (callers pass
           PlaceholderCommandUpdate) clears.

Return Value:

    None.  The first failing step is reported and ends the operation; no
    earlier step is undone.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
SetPlaceholderAttributes(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ ULONG Mode)
{
    FILE_BASIC_INFORMATION Basic;
    FILE_SET_SPARSE_BUFFER Sparse;
    BOOLEAN Set = (BOOLEAN)(Mode == PlaceholderCommandCreate);
    NTSTATUS Status;

    PAGED_CODE();

    RtlZeroMemory(&Basic, sizeof(Basic));

    Status = FltQueryInformationFile(Instance, FileObject, &Basic, sizeof(Basic), FileBasicInformation, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    Basic.CreationTime.QuadPart = -1;
    Basic.LastAccessTime.QuadPart = -1;
    Basic.LastWriteTime.QuadPart = -1;
    Basic.ChangeTime.QuadPart = -1;

    if (Set) {
        Basic.FileAttributes |= PlaceholderAttributes;
    } else {
        Basic.FileAttributes &= ~PlaceholderAttributes;
        if (Basic.FileAttributes == 0) {
            Basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        }
    }

    Status = FltSetInformationFile(Instance, FileObject, &Basic, sizeof(Basic), FileBasicInformation);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    Sparse.SetSparse = Set;

    Status = FltFsControlFile(Instance, FileObject, FSCTL_SET_SPARSE, &Sparse, sizeof(Sparse), NULL, 0, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

Cleanup:
    return;
}

/*++

Routine Description:

    Lets the file system move a file's times again for later operations
    through a file object on which a basic-information set wrote times of
    -1 (SetPlaceholderAttributes does).  A set with all four times -2 and
    attributes 0 changes no time and no attribute and turns the automatic
    updates back on ("FILE_BASIC_INFORMATION": -2 resumes what -1 stopped).
    Used where the file object is a program's own, so that the program's
    next writes through it move LastWriteTime and ChangeTime as on any
    file.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - A file object of the file.

Return Value:

    None.  A failure is reported and otherwise ignored.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
ResumeTimeUpdates(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject)
{
    FILE_BASIC_INFORMATION Basic;
    NTSTATUS Status;

    PAGED_CODE();

    RtlZeroMemory(&Basic, sizeof(Basic));
    Basic.CreationTime.QuadPart = -2;
    Basic.LastAccessTime.QuadPart = -2;
    Basic.LastWriteTime.QuadPart = -2;
    Basic.ChangeTime.QuadPart = -2;

    Status = FltSetInformationFile(Instance, FileObject, &Basic, sizeof(Basic), FileBasicInformation);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
    }
}

/*++

Routine Description:

    Has NTFS write a close record for a file into the USN change journal
    now (FSCTL_WRITE_USN_CLOSE_RECORD), ending the run of changes the
    service made, rather than when the file's last handle closes.  The USN
    of the record is received and discarded.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - A file object of the file.

Return Value:

    None.  A failure is reported and otherwise ignored.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID
WriteUsnCloseRecord(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject)
{
    USN Usn = 0;
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltFsControlFile(Instance, FileObject, FSCTL_WRITE_USN_CLOSE_RECORD, NULL, 0, &Usn, sizeof(Usn), NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
    }
}
