/*
 * AtomicCreate.cpp - the atomic-create extra create parameter
 * (GUID_ECP_ATOMIC_CREATE, "ATOMIC_CREATE_ECP_CONTEXT structure"): a create
 * that makes a new file gives it, within the create and under the
 * namespace lock that every open and lookup takes, the sparse mark, reparse
 * point, end of file, valid data length, time stamps and attributes the
 * context asks for (InFlags), and its create record in the USN journal
 * carries the context's source information.  No other opener can see the
 * file without them.  OutFlags says what was done and Usn receives the
 * create record's USN.  An open of an existing file ignores the context.
 *
 * The checks, made before the file exists, follow the operations the
 * context stands for: the reparse buffer as FSCTL_SET_REPARSE_POINT checks
 * it (at most 16 KiB, "ReparseBufferLength"), the size and valid data
 * length as non-negative with the valid data length at most the size
 * ("VDL_SPECIFIED ... implies the file size is at least the requested
 * valid data length"), and the context's Size.  Which status NTFS gives
 * for a malformed context is not documented: STATUS_INVALID_PARAMETER
 * here.  Every operation requested is supported, so BEST_EFFORT changes
 * nothing.  A time of 0 or below in the time stamps is taken as "not
 * given" (the new file keeps the create's time), as a basic-information
 * set does; the page does not say.  InFlags bits the page does not name
 * are ignored.
 */
#include "Ntfs.h"

using namespace emu;

namespace {

/* The attributes a create may give a file; the sparse mark comes from
   SPARSE_SPECIFIED and the reparse-point attribute with the reparse point. */
constexpr ULONG CreateAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                   FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_PINNED |
                                   FILE_ATTRIBUTE_UNPINNED | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                                   FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;

bool Wants(PATOMIC_CREATE_ECP_CONTEXT Context, USHORT Flag)
{
    return (Context->InFlags & Flag) != 0;
}

}  // namespace

namespace emu {

NTSTATUS FindAtomicCreate(IoRequest *Request, PATOMIC_CREATE_ECP_CONTEXT *Context)
{
    *Context = nullptr;
    PVOID Found = NULL;
    ULONG Size = 0;
    if (Request->EcpList == NULL ||
        !NT_SUCCESS(FltFindExtraCreateParameter(NULL, Request->EcpList, &GUID_ECP_ATOMIC_CREATE, &Found, &Size))) {
        return STATUS_SUCCESS;
    }
    auto Atomic = (PATOMIC_CREATE_ECP_CONTEXT)Found;
    if (Size < sizeof(ATOMIC_CREATE_ECP_CONTEXT) || Atomic->Size < sizeof(ATOMIC_CREATE_ECP_CONTEXT) ||
        Atomic->Size > Size) {
        return STATUS_INVALID_PARAMETER;
    }
    bool Directory = (Request->Iopb.Parameters.Create.Options & FILE_DIRECTORY_FILE) != 0;
    USHORT DataFlags = ATOMIC_CREATE_ECP_IN_FLAG_SPARSE_SPECIFIED | ATOMIC_CREATE_ECP_IN_FLAG_EOF_SPECIFIED |
                       ATOMIC_CREATE_ECP_IN_FLAG_VDL_SPECIFIED;
    if (Directory && Wants(Atomic, DataFlags)) {
        return STATUS_INVALID_PARAMETER;  // a directory has no data stream to size
    }
    if (Wants(Atomic, ATOMIC_CREATE_ECP_IN_FLAG_REPARSE_POINT_SPECIFIED)) {
        NTSTATUS Status = CheckReparseBuffer(Atomic->ReparseBuffer, Atomic->ReparseBufferLength);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    bool Eof = Wants(Atomic, ATOMIC_CREATE_ECP_IN_FLAG_EOF_SPECIFIED);
    bool Vdl = Wants(Atomic, ATOMIC_CREATE_ECP_IN_FLAG_VDL_SPECIFIED);
    if ((Eof && Atomic->FileSize < 0) || (Vdl && Atomic->ValidDataLength < 0) ||
        (Eof && Vdl && Atomic->ValidDataLength > Atomic->FileSize)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Wants(Atomic, ATOMIC_CREATE_ECP_IN_FLAG_TIMESTAMPS_SPECIFIED) && Atomic->FileTimestamps == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *Context = Atomic;
    return STATUS_SUCCESS;
}

void ApplyAtomicCreate(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, PATOMIC_CREATE_ECP_CONTEXT Context)
{
    USHORT Done = 0;
    if (Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_FILE_ATTRIBUTES_SPECIFIED)) {
        ULONG Kept = Node->Attributes & ~CreateAttributes;
        Node->Attributes = Kept | (Context->FileAttributes & CreateAttributes) | FILE_ATTRIBUTE_ARCHIVE;
        Done |= ATOMIC_CREATE_ECP_OUT_FLAG_FILE_ATTRIBUTES_SET;
    }
    bool Sparse = Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_SPARSE_SPECIFIED);
    if (Sparse) {
        Node->Attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
        Done |= ATOMIC_CREATE_ECP_OUT_FLAG_SPARSE_SET;
    }
    ULONGLONG Size = 0;
    if (Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_EOF_SPECIFIED)) {
        Size = (ULONGLONG)Context->FileSize;
        Done |= ATOMIC_CREATE_ECP_OUT_FLAG_EOF_SET;
    }
    if (Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_VDL_SPECIFIED) && (ULONGLONG)Context->ValidDataLength > Size) {
        Size = (ULONGLONG)Context->ValidDataLength;
    }
    if (Size != 0) {
        Resize(Node, Size);
        if (!Sparse) {
            AllocateClusters(Node, 0, Size);  // the size comes with its allocation on disk
        }
    }
    if (Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_VDL_SPECIFIED)) {
        Node->ValidDataLength = (ULONGLONG)Context->ValidDataLength;
        Done |= ATOMIC_CREATE_ECP_OUT_FLAG_VDL_SET;
    }
    if (Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_TIMESTAMPS_SPECIFIED)) {
        const FILE_TIMESTAMPS &Times = *Context->FileTimestamps;
        LONGLONG *Targets[4] = {&Node->CreationTime, &Node->LastAccessTime, &Node->LastWriteTime, &Node->ChangeTime};
        LONGLONG Given[4] = {Times.CreationTime.QuadPart, Times.LastAccessTime.QuadPart,
                             Times.LastWriteTime.QuadPart, Times.ChangeTime.QuadPart};
        for (int Index = 0; Index < 4; Index += 1) {
            if (Given[Index] > 0) {
                *Targets[Index] = Given[Index];
            }
        }
        Done |= ATOMIC_CREATE_ECP_OUT_FLAG_TIMESTAMPS_SET;
    }
    if (Wants(Context, ATOMIC_CREATE_ECP_IN_FLAG_REPARSE_POINT_SPECIFIED)) {
        StoreReparsePoint(Node, Context->ReparseBuffer, Context->ReparseBufferLength);
        Done |= ATOMIC_CREATE_ECP_OUT_FLAG_REPARSE_POINT_SET;
    }
    Context->OutFlags = Done;

    /* The create's record, with the context's source information and the
       attributes the file now has. */
    ULONG Source = File->UsnSourceInfo;
    File->UsnSourceInfo = Context->UsnSourceInfo;
    NoteUsnChange(Namespace, File, Node, USN_REASON_FILE_CREATE);
    File->UsnSourceInfo = Source;
    Context->Usn = Namespace->Journal.empty() ? 0 : Namespace->Journal.back().Usn;
}

ULONGLONG ValidDataLengthOf(PFILE_OBJECT FileObject)
{
    EmuFile *File = FileOf(FileObject);
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    return File->Node != nullptr ? File->Node->ValidDataLength : 0;
}

}  // namespace emu
