/*
 * ReadWrite.cpp - IRP_MJ_READ and IRP_MJ_WRITE, and the fast I/O path of
 * both.  Bytes beyond the valid data length read as zeros; paging writes
 * never extend a file.  A synchronous file object's position moves past
 * what was transferred ("Using Files in a Driver").  The first cached read
 * or write sets the file object's cache up (PrivateCacheMap); from then on
 * the I/O manager's fast I/O path reaches the file system without an IRP,
 * as the fast I/O documentation of file systems describes.  A range another
 * owner has locked refuses the transfer (Lock.cpp).
 */
#include "Ntfs.h"

using namespace emu;

namespace emu {

NTSTATUS FsRead(EmuFile *File, ULONGLONG Offset, ULONG Length, PVOID Buffer, ULONG *Transferred)
{
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    NtfsNode *Node = File->Node;
    *Transferred = 0;
    if (Node->Directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Offset >= Node->Data.size()) {
        return Length == 0 ? STATUS_SUCCESS : STATUS_END_OF_FILE;
    }
    ULONGLONG Available = Node->Data.size() - Offset;
    ULONG Count = Length < Available ? Length : (ULONG)Available;
    memcpy(Buffer, Node->Data.data() + Offset, Count);
    /* Bytes beyond the valid data length read as zeros. */
    if (Offset + Count > Node->ValidDataLength) {
        ULONGLONG ZeroFrom = Node->ValidDataLength > Offset ? Node->ValidDataLength - Offset : 0;
        memset((PUCHAR)Buffer + ZeroFrom, 0, Count - ZeroFrom);
    }
    *Transferred = Count;
    if (!File->FrozenTimes[1]) {
        Node->LastAccessTime = TheClock().Now();
    }
    return STATUS_SUCCESS;
}

NTSTATUS FsWrite(EmuFile *File, ULONGLONG Offset, ULONG Length, const void *Buffer, bool Paging, ULONG *Transferred)
{
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    NtfsNode *Node = File->Node;
    *Transferred = 0;
    if (Node->Directory) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    ULONGLONG End = Offset + Length;
    ULONG Reasons = USN_REASON_DATA_OVERWRITE;
    if (End > Node->Data.size()) {
        if (Paging) {
            /* Paging writes never extend a file: they stop at its end. */
            if (Offset >= Node->Data.size()) {
                return STATUS_SUCCESS;
            }
            End = Node->Data.size();
        } else {
            Node->Data.resize(End, 0);
            Reasons |= USN_REASON_DATA_EXTEND;
        }
    }
    ULONG Count = (ULONG)(End - Offset);
    /* Data between the valid data length and this write reads as zeros. */
    if (Offset > Node->ValidDataLength) {
        memset(Node->Data.data() + Node->ValidDataLength, 0, Offset - Node->ValidDataLength);
    }
    if (Count != 0) {
        memcpy(Node->Data.data() + Offset, Buffer, Count);  // an empty file's data may be null
    }
    if (End > Node->ValidDataLength) {
        Node->ValidDataLength = End;
    }
    if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
        AllocateClusters(Node, Offset, End);
    }
    *Transferred = Count;
    Touch(File, Node, true);
    NoteUsnChange(Namespace, File, Node, Reasons);
    return STATUS_SUCCESS;
}
namespace {

/* The marker a set-up cache leaves in FILE_OBJECT.PrivateCacheMap. */
int CacheMarker;

bool Cached(const IoRequest *Request)
{
    return !(Request->File->File.Flags & FO_NO_INTERMEDIATE_BUFFERING) && !(Request->Iopb.IrpFlags & IRP_NOCACHE);
}

void AdvancePosition(IoRequest *Request, ULONGLONG Offset)
{
    if ((Request->File->File.Flags & FO_SYNCHRONOUS_IO) && !(Request->Iopb.IrpFlags & IRP_PAGING_IO)) {
        Request->File->File.CurrentByteOffset.QuadPart = (LONGLONG)(Offset + Request->Data.IoStatus.Information);
    }
}

/* A read or a write (the two share their parameter layout), into or from
   the buffer or the MDL the request carries. */
NTSTATUS Transfer(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.Read;
    ULONGLONG Offset = (ULONGLONG)Parameters.ByteOffset.QuadPart;
    PVOID Buffer = Parameters.ReadBuffer;
    if (Parameters.MdlAddress != NULL) {
        /* The pages an MDL describes are reached through a system-space
           view, as file systems do ("Using MDLs"); MmUnlockPages releases
           it. */
        Buffer = MmGetSystemAddressForMdlSafe(Parameters.MdlAddress, NormalPagePriority | MdlMappingNoExecute);
        if (Buffer == NULL) {
            Request->Data.IoStatus.Information = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    bool Write = Request->Iopb.MajorFunction == IRP_MJ_WRITE;
    NtfsVolume *Namespace = NamespaceOf(Request->File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (LockConflicts(Request, Offset, Parameters.Length, Write)) {
        Request->Data.IoStatus.Information = 0;
        return STATUS_FILE_LOCK_CONFLICT;
    }
    ULONG Count = 0;
    NTSTATUS Status = !Write
                          ? FsRead(Request->File, Offset, Parameters.Length, Buffer, &Count)
                          : FsWrite(Request->File, Offset, Parameters.Length, Buffer,
                                    (Request->Iopb.IrpFlags & IRP_PAGING_IO) != 0, &Count);
    Request->Data.IoStatus.Information = Count;
    if (NT_SUCCESS(Status)) {
        AdvancePosition(Request, Offset);
    }
    return Status;
}

/* An IRP read or write; a cached one sets the file object's cache up.  A
   non-cached one that is not paging I/O must start and end on sector
   boundaries ("File Buffering" in the file-management documentation). */
NTSTATUS TransferIrp(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.Read;
    bool NonCached = (Request->Iopb.IrpFlags & IRP_NOCACHE) ||
                     (Request->File->File.Flags & FO_NO_INTERMEDIATE_BUFFERING);
    if (NonCached && !(Request->Iopb.IrpFlags & IRP_PAGING_IO) &&
        ((ULONGLONG)Parameters.ByteOffset.QuadPart % SectorSize != 0 || Parameters.Length % SectorSize != 0)) {
        Request->Data.IoStatus.Information = 0;
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Status = Transfer(Request);
    if (NT_SUCCESS(Status) && Cached(Request)) {
        Request->File->File.PrivateCacheMap = &CacheMarker;
    }
    return Status;
}

}  // namespace

NTSTATUS NtfsRead(IoRequest *Request)
{
    return TransferIrp(Request);
}

NTSTATUS NtfsWrite(IoRequest *Request)
{
    return TransferIrp(Request);
}

bool NtfsFastIo(IoRequest *Request)
{
    if (Request->File->File.PrivateCacheMap == NULL || Request->File->Node == nullptr) {
        return false;
    }
    if (Request->Iopb.MajorFunction != IRP_MJ_READ && Request->Iopb.MajorFunction != IRP_MJ_WRITE) {
        return false;  // NTFS has no fast device controls
    }
    {
        auto &Parameters = Request->Iopb.Parameters.Read;
        NtfsVolume *Namespace = NamespaceOf(Request->File->Volume);
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        if (LockConflicts(Request, (ULONGLONG)Parameters.ByteOffset.QuadPart, Parameters.Length,
                          Request->Iopb.MajorFunction == IRP_MJ_WRITE)) {
            return false;  // the IRP meets the conflict
        }
    }
    Request->Data.IoStatus.Status = Transfer(Request);
    return true;
}

}  // namespace emu
