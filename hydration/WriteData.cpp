/*
 * WriteData.cpp - writing one piece of the service's data into a
 * placeholder: a synchronous non-cached paging write below the filter,
 * straight from the service's pages for whole pages, through a zeroed
 * bounce page for a shorter piece.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Copies the service's bytes into a bounce buffer.  A separate call, so
    that a fault in the service's memory is raised inside the caller's
    exception handler.

Arguments:

    Destination - The bounce buffer.
    Source - The service's data.
    Length - Bytes to copy.

Return Value:

    None; raises on an unreadable source.

--*/
DECLSPEC_NOINLINE static VOID
CopyServiceData(_Out_writes_bytes_(Length) PVOID Destination, _In_reads_bytes_(Length) const VOID *Source,
                _In_ ULONG Length)
{
    RtlCopyMemory(Destination, Source, Length);
}

/*++

Routine Description:

    Writes one piece of data from the service's address space at a file
    offset, as a synchronous non-cached paging write issued below the
    filter's instance, which leaves the file object's position alone and
    never extends the file.

    A piece of at least a page is written from the service's own pages,
    probed and locked.  A shorter piece is copied into a zeroed page of
    pool and written as a whole page, or up to the file's end when that
    comes first: the bytes after the piece become zeros.

    A write that meets a conflicting byte-range lock is tried again every
    100 ms, at most HydrationLockConflictRetries times, so that a service
    command never waits without limit for a program's lock.

Arguments:

    Instance - The filter's instance on the file's volume.
    FileObject - The file object of the request.
    FileSize - The file's expected size, never below Offset + Length.
    Address - The data in the service's address space.
    Length - The piece's length.
    Offset - Its file offset.

Return Value:

    STATUS_SUCCESS.
    STATUS_INSUFFICIENT_RESOURCES, reported - no bounce page or MDL.
    The exception code, reported - the service's memory could not be read
        (STATUS_ACCESS_VIOLATION for an address that is not readable user
        memory).
    STATUS_FILE_LOCK_CONFLICT, reported - a byte-range lock still conflicts
        after the last retry.
    The write's failure status, reported.
    STATUS_END_OF_FILE, reported - fewer bytes were written than asked.

IRQL:

    PASSIVE_LEVEL, on the service's thread, in its process; the stream's
    lock held.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
WriteFileData(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ ULONG64 FileSize,
              _In_ ULONG64 Address, _In_ ULONG Length, _In_ ULONG64 Offset)
{
    PMDL Mdl = NULL;
    PVOID Bounce = NULL;
    ULONG WriteLength;
    ULONG Written = 0;
    ULONG Attempt;
    LARGE_INTEGER ByteOffset;
    LARGE_INTEGER Delay;
    NTSTATUS Status = STATUS_SUCCESS;

    PAGED_CODE();

    if (Length >= HydrationPageSize) {
        WriteLength = Length;

        Mdl = IoAllocateMdl((PVOID)(ULONG_PTR)Address, Length, FALSE, FALSE, NULL);
        if (Mdl == NULL) {
            Status = ReportStatus(STATUS_INSUFFICIENT_RESOURCES);
            goto Cleanup;
        }

        __try {
            MmProbeAndLockPages(Mdl, UserMode, IoReadAccess);
        } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
            ReportStatus(Status);
            goto Cleanup;
        }
    } else {
        /* Computed on the full 64-bit values: a short piece far beyond
           4 GiB is a whole page like anywhere else. */
        WriteLength = FileSize - Offset < HydrationPageSize ? (ULONG)(FileSize - Offset) : HydrationPageSize;

        Bounce = ExAllocatePoolWithTag(FilterGlobals.PoolType, HydrationPageSize, PoolTagBounceBuffer);
        if (Bounce == NULL) {
            Status = ReportStatus(STATUS_INSUFFICIENT_RESOURCES);
            goto Cleanup;
        }
        RtlZeroMemory(Bounce, HydrationPageSize);

        Mdl = IoAllocateMdl(Bounce, HydrationPageSize, FALSE, FALSE, NULL);
        if (Mdl == NULL) {
            Status = ReportStatus(STATUS_INSUFFICIENT_RESOURCES);
            goto Cleanup;
        }
        MmBuildMdlForNonPagedPool(Mdl);

        __try {
            ProbeForRead((PVOID)(ULONG_PTR)Address, Length, 1);
            CopyServiceData(Bounce, (const VOID *)(ULONG_PTR)Address, Length);
        } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
            ReportStatus(Status);
            goto Cleanup;
        }
    }

    ByteOffset.QuadPart = (LONGLONG)Offset;
    Delay.QuadPart = HydrationLockConflictDelay;

    for (Attempt = 0;; Attempt += 1) {
        Written = 0;
        Status = FltWriteFileEx(Instance, FileObject, &ByteOffset, WriteLength, NULL,
                                FLTFL_IO_OPERATION_NON_CACHED | FLTFL_IO_OPERATION_PAGING |
                                    FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET |
                                    FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING,
                                &Written, NULL, NULL, NULL, Mdl);
        if (Status != STATUS_FILE_LOCK_CONFLICT || Attempt == HydrationLockConflictRetries) {
            break;
        }
        KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    }

    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    if (Written != WriteLength) {
        Status = ReportStatus(STATUS_END_OF_FILE);
        goto Cleanup;
    }

Cleanup:
    if (Mdl != NULL) {
        if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(Mdl);
        }
        IoFreeMdl(Mdl);
    }
    if (Bounce != NULL) {
        ExFreePoolWithTag(Bounce, PoolTagBounceBuffer);
    }
    return Status;
}
