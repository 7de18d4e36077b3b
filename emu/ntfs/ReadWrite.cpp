/*
 * ReadWrite.cpp - IRP_MJ_READ and IRP_MJ_WRITE, and the fast I/O path of
 * both.  Bytes beyond the valid data length read as zeros; paging writes
 * never extend a file.  A synchronous file object's position moves past
 * what was transferred ("Using Files in a Driver").  A range another
 * owner has locked refuses a transfer that is not paging I/O (Lock.cpp).
 *
 * Cached reads and writes go through the stream's cache (emu/cache/), as
 * NTFS does with CcInitializeCacheMap, CcCopyRead and CcCopyWrite: the
 * first sets the file object's cache up (PrivateCacheMap), pages missing
 * from memory come in by paging reads through the filter chain, and
 * cached writes leave dirty pages that paging writes clean later; a
 * cached write beyond the end of file extends the file at once.  From the
 * first cached access on, the I/O manager's fast I/O path reaches the file
 * system without an IRP and is served from the cache: for a synchronous
 * file object it may wait, so a missing page comes in by a paging read
 * below the fast read; an asynchronous one is served only when every page
 * is in memory (FsRtlCopyRead and FsRtlCopyWrite: "If Wait is FALSE ...
 * return FALSE if ... the required pages are not already resident").  A
 * write that would extend the file, or a range another owner has locked,
 * is refused, so the operation comes again as an IRP ("Fast I/O" in the
 * file-system documentation).  Paging and non-cached
 * I/O reach the disk; a non-cached request that is not paging I/O first
 * writes the range's dirty pages and, for a write, purges them, to stay
 * coherent with the cache ("File Buffering").
 */
#include "Ntfs.h"

#include "../cache/Cache.h"

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
    Node->Data.Read(Offset, Count, Buffer);
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
        Node->Data.Zero(Node->ValidDataLength, Offset);
    }
    Node->Data.Write(Offset, Count, Buffer);
    if (End > Node->ValidDataLength) {
        Node->ValidDataLength = End;
    }
    if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
        AllocateClusters(Node, Offset, End);
    }
    *Transferred = Count;
    /* The lazy writer's paging writes carry data whose write was already
       counted (times and journal) when it reached the cache. */
    if (!(Paging && IoGetTopLevelIrp() == (PIRP)FSRTL_CACHE_TOP_LEVEL_IRP)) {
        Touch(File, Node, true);
        NoteUsnChange(Namespace, File, Node, Reasons);
    }
    return STATUS_SUCCESS;
}
namespace {

bool Cached(const IoRequest *Request)
{
    return !(Request->File->File.Flags & FO_NO_INTERMEDIATE_BUFFERING) &&
           !(Request->Iopb.IrpFlags & (IRP_NOCACHE | IRP_PAGING_IO));
}

void AdvancePosition(IoRequest *Request, ULONGLONG Offset)
{
    if ((Request->File->File.Flags & FO_SYNCHRONOUS_IO) && !(Request->Iopb.IrpFlags & IRP_PAGING_IO)) {
        Request->File->File.CurrentByteOffset.QuadPart = (LONGLONG)(Offset + Request->Data.IoStatus.Information);
    }
}

/* The buffer of a read or write: the MDL's pages through a system-space
   view when the request carries one, as file systems reach them ("Using
   MDLs"; MmUnlockPages releases the view), else the buffer.  Null when no
   view can be had. */
PVOID BufferOf(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.Read;
    if (Parameters.MdlAddress != NULL) {
        return MmGetSystemAddressForMdlSafe(Parameters.MdlAddress, NormalPagePriority | MdlMappingNoExecute);
    }
    return Parameters.ReadBuffer;
}

/* A read or a write (the two share their parameter layout) on the disk,
   into or from the buffer or the MDL the request carries. */
NTSTATUS Transfer(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.Read;
    ULONGLONG Offset = (ULONGLONG)Parameters.ByteOffset.QuadPart;
    Request->Data.IoStatus.Information = 0;
    PVOID Buffer = BufferOf(Request);
    if (Buffer == NULL && Parameters.Length != 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    bool Write = Request->Iopb.MajorFunction == IRP_MJ_WRITE;
    NtfsVolume *Namespace = NamespaceOf(Request->File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (LockConflicts(Request, Offset, Parameters.Length, Write)) {
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

/* A cached read or write through the stream's cache.  Under the namespace
   lock: the lock check, the size, and for a write the extension of the
   file, its times and journal; then the copy, without the lock, since a
   missing page is read by a paging request through the chain.  On the
   fast I/O path (FastIo) false means the request must come as an IRP. */
bool CachedTransfer(IoRequest *Request, bool FastIo, NTSTATUS *Result)
{
    bool Wait = !FastIo || (Request->File->File.Flags & FO_SYNCHRONOUS_IO) != 0;
    auto &Parameters = Request->Iopb.Parameters.Read;
    ULONGLONG Offset = (ULONGLONG)Parameters.ByteOffset.QuadPart;
    ULONG Length = Parameters.Length;
    bool Write = Request->Iopb.MajorFunction == IRP_MJ_WRITE;
    EmuFile *File = Request->File;
    NtfsNode *Node = File->Node;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    Request->Data.IoStatus.Information = 0;
    ULONGLONG Size, Valid;
    ULONG Count = Length;
    {
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        if (Node->Directory) {
            *Result = STATUS_INVALID_DEVICE_REQUEST;
            return true;
        }
        if (LockConflicts(Request, Offset, Length, Write)) {
            *Result = STATUS_FILE_LOCK_CONFLICT;
            return !FastIo;  // the fast path leaves the conflict to the IRP
        }
        Size = Node->Data.size();
        Valid = Node->ValidDataLength;
        if (!Write && Offset >= Size) {
            *Result = Length == 0 ? STATUS_SUCCESS : STATUS_END_OF_FILE;
            return true;
        }
        if (!Write && Length > Size - Offset) {
            Count = (ULONG)(Size - Offset);
        }
        if (Write && Offset + Length > Size && FastIo) {
            return false;  // an extending write comes as an IRP
        }
    }
    PVOID Buffer = BufferOf(Request);
    if (Buffer == NULL && Count != 0) {
        *Result = STATUS_INSUFFICIENT_RESOURCES;
        return true;
    }
    InitializeCacheMap(File, Size);
    NTSTATUS Status = STATUS_SUCCESS;
    if (!Write) {
        if (!CopyRead(File, Offset, Count, Wait, Buffer, &Status)) {
            return false;
        }
    } else {
        {
            std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
            ULONG Reasons = USN_REASON_DATA_OVERWRITE;
            if (Offset + Length > Node->Data.size()) {
                Node->Data.resize(Offset + Length);
                Reasons |= USN_REASON_DATA_EXTEND;
            }
            if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
                AllocateClusters(Node, Offset, Offset + Length);
            }
            Touch(File, Node, true);
            NoteUsnChange(Namespace, File, Node, Reasons);
        }
        if (!CopyWrite(File, Offset, Count, Wait, Buffer, Valid, &Status)) {
            return false;
        }
    }
    if (NT_SUCCESS(Status)) {
        Request->Data.IoStatus.Information = Count;
        AdvancePosition(Request, Offset);
        if (!Write && !File->FrozenTimes[1]) {
            std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
            Node->LastAccessTime = TheClock().Now();
        }
    }
    *Result = Status;
    return true;
}

/* An IRP read or write.  A non-cached one that is not paging I/O must
   start and end on sector boundaries ("File Buffering" in the
   file-management documentation). */
NTSTATUS TransferIrp(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.Read;
    bool Paging = (Request->Iopb.IrpFlags & IRP_PAGING_IO) != 0;
    if (!Paging && !Cached(Request)) {
        ULONGLONG Offset = (ULONGLONG)Parameters.ByteOffset.QuadPart;
        if (Offset % SectorSize != 0 || Parameters.Length % SectorSize != 0) {
            Request->Data.IoStatus.Information = 0;
            return STATUS_INVALID_PARAMETER;
        }
        PSECTION_OBJECT_POINTERS Pointers = Request->File->File.SectionObjectPointer;
        FlushCache(Pointers, Offset, Parameters.Length);
        if (Request->Iopb.MajorFunction == IRP_MJ_WRITE) {
            PurgeCache(Pointers, Offset, Parameters.Length);
        }
    }
    if (Paging || !Cached(Request)) {
        return Transfer(Request);
    }
    NTSTATUS Status = STATUS_SUCCESS;
    CachedTransfer(Request, false, &Status);
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
    if (!HasPrivateCacheMap(Request->File) || Request->File->Node == nullptr) {
        return false;
    }
    if (Request->Iopb.MajorFunction != IRP_MJ_READ && Request->Iopb.MajorFunction != IRP_MJ_WRITE) {
        return false;  // NTFS has no fast device controls
    }
    NTSTATUS Status = STATUS_SUCCESS;
    if (!CachedTransfer(Request, true, &Status)) {
        return false;
    }
    Request->Data.IoStatus.Status = Status;
    return true;
}

}  // namespace emu
