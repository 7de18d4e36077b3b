/*
 * Dispatch.cpp - the file system's dispatch table: each major function to
 * its routine.  A file object whose cleanup has run takes no more
 * operations but its close (and paging I/O): they fail with
 * STATUS_FILE_CLOSED, as on NTFS.
 */
#include "Ntfs.h"

namespace emu {

NTSTATUS NtfsDispatch(IoRequest *Request)
{
    UCHAR Major = Request->Iopb.MajorFunction;
    EmuFile *File = Request->File;
    if (Major != IRP_MJ_CREATE && Major != IRP_MJ_CLOSE) {
        bool Paging = (Request->Iopb.IrpFlags & IRP_PAGING_IO) != 0;
        if (File->Node == nullptr || (File->Cleaned && !Paging && Major != IRP_MJ_CLEANUP)) {
            return STATUS_FILE_CLOSED;
        }
    }
    switch (Major) {
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
    default:
        return STATUS_INVALID_DEVICE_REQUEST;  // device controls included: NTFS has none of its own
    }
}

}  // namespace emu
