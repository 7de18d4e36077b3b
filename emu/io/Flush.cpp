/*
 * Flush.cpp - NtFlushBuffersFile: IRP_MJ_FLUSH_BUFFERS through the volume's
 * chain, for a handle with write access ("ZwFlushBuffersFile",
 * "IRP_MJ_FLUSH_BUFFERS": the file system writes the file's cached data
 * to disk; FlushFileBuffers "The handle must have the GENERIC_WRITE access
 * right").
 */
#include "Io.h"

using namespace emu;

extern "C" {

NTSTATUS NTAPI NtFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    NTSTATUS Status = ReferenceByHandle(CurrentProcess(), FileHandle, *IoFileObjectType, &Object, &Granted);
    ULONG_PTR Information = 0;
    if (!NT_SUCCESS(Status)) {
        Status = Status == STATUS_OBJECT_TYPE_MISMATCH ? Status : STATUS_INVALID_HANDLE;
    } else if (!(Granted & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
        Status = STATUS_ACCESS_DENIED;
    } else {
        IoRequest *Request = AllocateRequest((EmuFile *)Object, IRP_MJ_FLUSH_BUFFERS, UserMode);
        Status = CallFilterManager(Request);
        Information = Request->Data.IoStatus.Information;
        FreeRequest(Request);
    }
    if (Object != nullptr) {
        ObfDereferenceObject(Object);
    }
    if (IoStatusBlock != NULL) {
        IoStatusBlock->Status = Status;
        IoStatusBlock->Information = Information;
    }
    return Status;
}

}  // extern "C"
