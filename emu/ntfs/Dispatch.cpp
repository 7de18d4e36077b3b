/*
 * Dispatch.cpp - the file system's dispatch table: each major function to
 * its routine.  A file object whose cleanup has run takes no more
 * operations but its close (and paging I/O, and the lazy writer's
 * end-of-file set with AdvanceOnly): they fail with STATUS_FILE_CLOSED, as
 * on NTFS.
 */
#include "Ntfs.h"

#include "../cache/Cache.h"

namespace emu {

namespace {

/* What the file system does about the stream's cache (emu/cache/) around
   an operation.  Before: FSCTL_SET_ZERO_DATA writes the dirty pages
   first.  After: an open points the file object at its stream's section
   object pointers; an overwriting open and FSCTL_SET_ZERO_DATA purge the
   pages they changed on disk, an open that overwrote sets the cache's
   size to the new one; IRP_MJ_FLUSH_BUFFERS writes the dirty pages
   (CcFlushCache; "IRP_MJ_FLUSH_BUFFERS"). */
bool IsZeroData(const IoRequest *Request)
{
    return Request->Iopb.MajorFunction == IRP_MJ_FILE_SYSTEM_CONTROL &&
           Request->Iopb.Parameters.FileSystemControl.Common.FsControlCode == FSCTL_SET_ZERO_DATA;
}

void BeforeOperation(IoRequest *Request)
{
    if (IsZeroData(Request)) {
        FlushCache(Request->File->File.SectionObjectPointer, 0, 0);
    }
}

NTSTATUS AfterOperation(IoRequest *Request, NTSTATUS Status)
{
    EmuFile *File = Request->File;
    switch (Request->Iopb.MajorFunction) {
    case IRP_MJ_CREATE:
        if (NT_SUCCESS(Status) && File->Node != nullptr) {
            File->File.SectionObjectPointer = &File->Node->SectionObjects;
            ULONG_PTR Result = Request->Data.IoStatus.Information;
            if (Result == FILE_OVERWRITTEN || Result == FILE_SUPERSEDED) {
                PurgeCache(File->File.SectionObjectPointer, 0, 0);
                SetCacheFileSize(File->File.SectionObjectPointer, 0);
            }
        }
        return Status;
    case IRP_MJ_FLUSH_BUFFERS:
        return FlushCache(File->File.SectionObjectPointer, 0, 0);
    default:
        if (NT_SUCCESS(Status) && IsZeroData(Request)) {
            PurgeCache(File->File.SectionObjectPointer, 0, 0);
        }
        return Status;
    }
}

bool IsAdvanceOnly(const IoRequest *Request)
{
    const auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    return Request->Iopb.MajorFunction == IRP_MJ_SET_INFORMATION &&
           Parameters.FileInformationClass == FileEndOfFileInformation && Parameters.AdvanceOnly;
}

}  // namespace

NTSTATUS DispatchMajor(IoRequest *Request);

NTSTATUS NtfsDispatch(IoRequest *Request)
{
    UCHAR Major = Request->Iopb.MajorFunction;
    EmuFile *File = Request->File;
    if (Major != IRP_MJ_CREATE && Major != IRP_MJ_CLOSE) {
        /* Paging I/O and the lazy writer's AdvanceOnly set come through the
           cache map's file object, which its owner may be cleaning up on
           another thread meanwhile: for them Cleaned is not read. */
        bool Paging = (Request->Iopb.IrpFlags & IRP_PAGING_IO) != 0;
        if (File->Node == nullptr ||
            (!Paging && Major != IRP_MJ_CLEANUP && !IsAdvanceOnly(Request) && File->Cleaned)) {
            return STATUS_FILE_CLOSED;
        }
    }
    BeforeOperation(Request);
    return AfterOperation(Request, DispatchMajor(Request));
}

NTSTATUS DispatchMajor(IoRequest *Request)
{
    switch (Request->Iopb.MajorFunction) {
    case IRP_MJ_CREATE:
        return NtfsCreate(Request);
    case IRP_MJ_READ:
        return NtfsRead(Request);
    case IRP_MJ_WRITE:
        return NtfsWrite(Request);
    case IRP_MJ_QUERY_INFORMATION:
        return NtfsQueryInformation(Request);
    case IRP_MJ_SET_INFORMATION:
        return NtfsSetInformation(Request);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return NtfsFileSystemControl(Request);
    case IRP_MJ_LOCK_CONTROL:
        return NtfsLockControl(Request);
    case IRP_MJ_CLEANUP:
        return NtfsCleanup(Request);
    case IRP_MJ_CLOSE:
        return NtfsClose(Request);
    case IRP_MJ_DIRECTORY_CONTROL:
        return NtfsDirectoryControl(Request);
    case IRP_MJ_FLUSH_BUFFERS:
        return STATUS_SUCCESS;  // the cache's part follows (AfterOperation)
    case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
    case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION:
        return STATUS_SUCCESS;  // the stream's resource: nothing else in the emulation takes it
    default:
        return STATUS_INVALID_DEVICE_REQUEST;  // device controls included: NTFS has none of its own
    }
}

}  // namespace emu
