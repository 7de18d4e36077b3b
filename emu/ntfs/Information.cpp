/*
 * Information.cpp - IRP_MJ_QUERY_INFORMATION and IRP_MJ_SET_INFORMATION:
 * basic, standard, network-open and attribute-tag information; basic
 * sets, end of file, allocation and valid data length.  Renames, links and
 * dispositions have their own files (Rename.cpp, Link.cpp,
 * Disposition.cpp).
 *
 * Follows NTFS as documented (FILE_BASIC_INFORMATION, "File times" and
 * ZwSetInformationFile in the kernel documentation): a basic-information set
 * leaves a time of 0 alone and, for -1, also stops later automatic updates
 * of that time through the same file object; FILE_ATTRIBUTE_REPARSE_POINT
 * follows the reparse point and FILE_ATTRIBUTE_SPARSE_FILE the sparse mark,
 * neither is set through basic information.
 *
 * End of file with AdvanceOnly (the flag the cache manager sets in
 * Parameters.SetFileInformation, "FLT_PARAMETERS for
 * IRP_MJ_SET_INFORMATION") only moves the end forward: a size at or below
 * the current end changes nothing.  Allocation
 * ("FILE_ALLOCATION_INFORMATION", [MS-FSA] "FileAllocationInformation") needs write access
 * and truncates the file when set below its end of file; above, it
 * reserves the space (the allocation size a query reports).
 */
#include "Ntfs.h"

#include "../cache/Cache.h"

using namespace emu;

namespace {

constexpr ULONG SettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_PINNED |
                                     FILE_ATTRIBUTE_UNPINNED | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                                     FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;

/* The four times, into any information record that carries them. */
template <typename Record> void FillTimes(const NtfsNode *Node, Record *Information)
{
    Information->CreationTime.QuadPart = Node->CreationTime;
    Information->LastAccessTime.QuadPart = Node->LastAccessTime;
    Information->LastWriteTime.QuadPart = Node->LastWriteTime;
    Information->ChangeTime.QuadPart = Node->ChangeTime;
}

/* The checks a set of a size (end of file, allocation) passes first: the
   record's length, a file rather than a directory, write-data access for a
   program, and a size that is not negative.  Size gets the size. */
NTSTATUS ReadSizeToSet(EmuFile *File, const NtfsNode *Node, KPROCESSOR_MODE Mode, PVOID Buffer, ULONG Length,
                       ULONGLONG *Size)
{
    if (Length < sizeof(LARGE_INTEGER)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Node->Directory) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Mode == UserMode && !(File->Access & FILE_WRITE_DATA)) {
        return STATUS_ACCESS_DENIED;
    }
    LARGE_INTEGER Value;
    memcpy(&Value, Buffer, sizeof(Value));
    if (Value.QuadPart < 0) {
        return STATUS_INVALID_PARAMETER;
    }
    *Size = (ULONGLONG)Value.QuadPart;
    return STATUS_SUCCESS;
}
}  // namespace

namespace emu {

NTSTATUS FsQueryInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                            ULONG *Returned)
{
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    NtfsNode *Node = File->Node;
    *Returned = 0;
    switch (Class) {
    case FileBasicInformation: {
        if (Length < sizeof(FILE_BASIC_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_BASIC_INFORMATION Basic = {};
        FillTimes(Node, &Basic);
        Basic.FileAttributes = Node->Attributes;
        memcpy(Buffer, &Basic, sizeof(Basic));
        *Returned = sizeof(Basic);
        return STATUS_SUCCESS;
    }
    case FileStandardInformation: {
        if (Length < sizeof(FILE_STANDARD_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_STANDARD_INFORMATION Standard = {};
        Standard.AllocationSize.QuadPart = (LONGLONG)AllocationOf(Node);
        Standard.EndOfFile.QuadPart = (LONGLONG)Node->Data.size();
        Standard.NumberOfLinks = (ULONG)Node->Links.size();
        Standard.DeletePending = Node->Unlinked || (Node->DeletePendingLink != 0 && LinkOf(File) != nullptr &&
                                                    Node->DeletePendingLink == LinkOf(File)->Id);
        Standard.Directory = Node->Directory;
        memcpy(Buffer, &Standard, sizeof(Standard));
        *Returned = sizeof(Standard);
        return STATUS_SUCCESS;
    }
    case FileNetworkOpenInformation: {
        if (Length < sizeof(FILE_NETWORK_OPEN_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_NETWORK_OPEN_INFORMATION Open = {};
        FillTimes(Node, &Open);
        Open.AllocationSize.QuadPart = (LONGLONG)AllocationOf(Node);
        Open.EndOfFile.QuadPart = (LONGLONG)Node->Data.size();
        Open.FileAttributes = Node->Attributes;
        memcpy(Buffer, &Open, sizeof(Open));
        *Returned = sizeof(Open);
        return STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
        if (Length < sizeof(FILE_ATTRIBUTE_TAG_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_ATTRIBUTE_TAG_INFORMATION Tag = {Node->Attributes, Node->HasReparsePoint ? Node->ReparseTag : 0};
        memcpy(Buffer, &Tag, sizeof(Tag));
        *Returned = sizeof(Tag);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}

NTSTATUS FsSetInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                          KPROCESSOR_MODE Mode, bool AdvanceOnly)
{
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    NtfsNode *Node = File->Node;
    switch (Class) {
    case FileBasicInformation: {
        if (Length < sizeof(FILE_BASIC_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (!MayWriteMetadata(File, Mode)) {
            return STATUS_ACCESS_DENIED;
        }
        FILE_BASIC_INFORMATION Basic;
        memcpy(&Basic, Buffer, sizeof(Basic));
        LONGLONG *Times[4] = {&Node->CreationTime, &Node->LastAccessTime, &Node->LastWriteTime, &Node->ChangeTime};
        LONGLONG Given[4] = {Basic.CreationTime.QuadPart, Basic.LastAccessTime.QuadPart,
                             Basic.LastWriteTime.QuadPart, Basic.ChangeTime.QuadPart};
        for (int Index = 0; Index < 4; Index += 1) {
            if (Given[Index] == -1) {
                File->FrozenTimes[Index] = true;
            } else if (Given[Index] == -2) {
                File->FrozenTimes[Index] = false;
            } else if (Given[Index] < -2) {
                return STATUS_INVALID_PARAMETER;
            }
        }
        ULONG Before = Node->Attributes;
        if (Basic.FileAttributes != 0) {
            ULONG Kept = Node->Attributes & ~SettableAttributes;
            Node->Attributes = Kept | (Basic.FileAttributes & SettableAttributes);
        }
        bool ExplicitChange = Given[3] > 0;
        for (int Index = 0; Index < 4; Index += 1) {
            if (Given[Index] > 0) {
                *Times[Index] = Given[Index];
            }
        }
        if (!ExplicitChange && !File->FrozenTimes[3]) {
            Node->ChangeTime = TheClock().Now();
        }
        if (Before != Node->Attributes || Given[0] > 0 || Given[1] > 0 || Given[2] > 0 || Given[3] > 0) {
            NoteUsnChange(Namespace, File, Node, USN_REASON_BASIC_INFO_CHANGE);
        }
        return STATUS_SUCCESS;
    }
    case FileEndOfFileInformation: {
        static_assert(sizeof(FILE_END_OF_FILE_INFORMATION) == sizeof(LARGE_INTEGER));
        ULONGLONG Size;
        NTSTATUS Status = ReadSizeToSet(File, Node, Mode, Buffer, Length, &Size);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        if (Size == Node->Data.size() || (AdvanceOnly && Size < Node->Data.size())) {
            return STATUS_SUCCESS;
        }
        ULONG Reason = Size < Node->Data.size() ? USN_REASON_DATA_TRUNCATION : USN_REASON_DATA_EXTEND;
        Resize(Node, Size);
        Touch(File, Node, true);
        NoteUsnChange(Namespace, File, Node, Reason);
        return STATUS_SUCCESS;
    }
    case FileAllocationInformation: {
        static_assert(sizeof(FILE_ALLOCATION_INFORMATION) == sizeof(LARGE_INTEGER));
        ULONGLONG Size;
        NTSTATUS Status = ReadSizeToSet(File, Node, Mode, Buffer, Length, &Size);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Node->Allocation = (Size + ClusterSize - 1) / ClusterSize * ClusterSize;
        if (Size < Node->Data.size()) {
            Resize(Node, Size);
            Touch(File, Node, true);
            NoteUsnChange(Namespace, File, Node, USN_REASON_DATA_TRUNCATION);
        }
        return STATUS_SUCCESS;
    }
    case FileValidDataLengthInformation: {
        if (Length < sizeof(FILE_VALID_DATA_LENGTH_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        FILE_VALID_DATA_LENGTH_INFORMATION Valid;
        memcpy(&Valid, Buffer, sizeof(Valid));
        if (Valid.ValidDataLength.QuadPart < (LONGLONG)Node->ValidDataLength ||
            Valid.ValidDataLength.QuadPart > (LONGLONG)Node->Data.size()) {
            return STATUS_INVALID_PARAMETER;
        }
        Node->ValidDataLength = (ULONGLONG)Valid.ValidDataLength.QuadPart;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_INFO_CLASS;
    }
}
NTSTATUS NtfsQueryInformation(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.QueryFileInformation;
    ULONG Returned = 0;
    NTSTATUS Status = FsQueryInformation(Request->File, Parameters.FileInformationClass, Parameters.InfoBuffer,
                                         Parameters.Length, &Returned);
    Request->Data.IoStatus.Information = Returned;
    return Status;
}

NTSTATUS SetSizeInformation(IoRequest *Request);

NTSTATUS NtfsSetInformation(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    switch (Parameters.FileInformationClass) {
    case FileRenameInformation:
    case FileRenameInformationEx:
        return NtfsSetRename(Request);
    case FileLinkInformation:
    case FileLinkInformationEx:
        return NtfsSetLink(Request);
    case FileDispositionInformation:
    case FileDispositionInformationEx:
        return NtfsSetDisposition(Request);
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        return SetSizeInformation(Request);
    default:
        return FsSetInformation(Request->File, Parameters.FileInformationClass, Parameters.InfoBuffer,
                                Parameters.Length, Request->Data.RequestorMode);
    }
}

/* An end-of-file or allocation set and the stream's cache: a stream a
   section maps cannot shrink (STATUS_USER_MAPPED_FILE, as
   MmCanFileBeTruncated refuses), and the cache learns the new size, so
   pages beyond a shrunk end are purged (CcSetFileSizes). */
NTSTATUS SetSizeInformation(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    EmuFile *File = Request->File;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    bool AdvanceOnly = Parameters.FileInformationClass == FileEndOfFileInformation && Parameters.AdvanceOnly;
    if (!AdvanceOnly && Parameters.Length >= sizeof(LARGE_INTEGER) && StreamIsMapped(File->File.SectionObjectPointer)) {
        LARGE_INTEGER Size;
        memcpy(&Size, Parameters.InfoBuffer, sizeof(Size));
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        if (Size.QuadPart < (LONGLONG)File->Node->Data.size()) {
            return STATUS_USER_MAPPED_FILE;
        }
    }
    NTSTATUS Status = FsSetInformation(File, Parameters.FileInformationClass, Parameters.InfoBuffer,
                                       Parameters.Length, Request->Data.RequestorMode, AdvanceOnly);
    ULONGLONG Size;
    {
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        Size = File->Node->Data.size();
    }
    if (NT_SUCCESS(Status)) {
        SetCacheFileSize(File->File.SectionObjectPointer, Size);
    }
    return Status;
}

}  // namespace emu
