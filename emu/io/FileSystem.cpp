/*
 * FileSystem.cpp - NTFS behaviour of an open file: information queries and
 * sets, file-system controls (reparse points, sparse files, zeroing,
 * handle marking, USN close records), data, and the USN change journal.
 *
 * Behaviour follows NTFS as documented: a basic-information set leaves a
 * time of 0 alone and, for -1, also stops later automatic updates of that
 * time through the same file object; FILE_ATTRIBUTE_REPARSE_POINT follows
 * the reparse point and FILE_ATTRIBUTE_SPARSE_FILE the sparse mark, neither
 * is set through basic information; zeroing a range of a sparse file frees
 * the clusters it covers whole.
 */
#include "Io.h"

using namespace emu;

namespace {

/* Attributes a basic-information set can change. */
constexpr ULONG SettableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_PINNED |
                                     FILE_ATTRIBUTE_UNPINNED | FILE_ATTRIBUTE_RECALL_ON_OPEN |
                                     FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS;

/* Updates the times a change touches, unless this file object froze them. */
void Touch(EmuFile *File, NtfsNode *Node, bool Write)
{
    LONGLONG Now = TheClock().Now();
    bool FreezeWrite = File != nullptr && File->FrozenTimes[2];
    bool FreezeChange = File != nullptr && File->FrozenTimes[3];
    if (Write && !FreezeWrite) {
        Node->LastWriteTime = Now;
    }
    if (!FreezeChange) {
        Node->ChangeTime = Now;
    }
}

/* The four times, into any information record that carries them. */
template <typename Record> void FillTimes(const NtfsNode *Node, Record *Information)
{
    Information->CreationTime.QuadPart = Node->CreationTime;
    Information->LastAccessTime.QuadPart = Node->LastAccessTime;
    Information->LastWriteTime.QuadPart = Node->LastWriteTime;
    Information->ChangeTime.QuadPart = Node->ChangeTime;
}

ULONGLONG AllocationOf(const NtfsNode *Node)
{
    if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
        return Node->Clusters.size() * ClusterSize;
    }
    return (Node->Data.size() + ClusterSize - 1) / ClusterSize * ClusterSize;
}

void AllocateClusters(NtfsNode *Node, ULONGLONG Begin, ULONGLONG End)
{
    for (ULONGLONG Cluster = Begin / ClusterSize; Cluster * ClusterSize < End; Cluster += 1) {
        Node->Clusters.insert(Cluster);
    }
}

void Resize(NtfsNode *Node, ULONGLONG Size)
{
    Node->Data.resize(Size, 0);
    if (Node->ValidDataLength > Size) {
        Node->ValidDataLength = Size;
    }
    for (auto Cluster = Node->Clusters.lower_bound((Size + ClusterSize - 1) / ClusterSize);
         Cluster != Node->Clusters.end();) {
        Cluster = Node->Clusters.erase(Cluster);
    }
}

NTSTATUS SetReparsePoint(EmuFile *File, NtfsVolume *Namespace, NtfsNode *Node, PVOID Input, ULONG InputLength)
{
    if (Input == NULL || InputLength < REPARSE_DATA_BUFFER_HEADER_SIZE) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    auto Header = (PREPARSE_GUID_DATA_BUFFER)Input;
    ULONG Tag = Header->ReparseTag;
    ULONG HeaderSize = IsReparseTagMicrosoft(Tag) ? REPARSE_DATA_BUFFER_HEADER_SIZE
                                                  : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    if (Tag == IO_REPARSE_TAG_RESERVED_ZERO || Tag == IO_REPARSE_TAG_RESERVED_ONE) {
        return STATUS_IO_REPARSE_TAG_INVALID;
    }
    if (InputLength < HeaderSize || InputLength != HeaderSize + Header->ReparseDataLength ||
        InputLength > MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    if (Node->HasReparsePoint) {
        if (Node->ReparseTag != Tag) {
            return STATUS_IO_REPARSE_TAG_MISMATCH;
        }
        if (!IsReparseTagMicrosoft(Tag) && memcmp(&Node->ReparseGuid, &Header->ReparseGuid, sizeof(GUID)) != 0) {
            return STATUS_REPARSE_ATTRIBUTE_CONFLICT;
        }
    }
    Node->HasReparsePoint = true;
    Node->ReparseTag = Tag;
    if (!IsReparseTagMicrosoft(Tag)) {
        Node->ReparseGuid = Header->ReparseGuid;
    } else {
        Node->ReparseGuid = GUID{};
    }
    Node->ReparseData.assign((PUCHAR)Input + HeaderSize, (PUCHAR)Input + InputLength);
    Node->Attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    Touch(File, Node, false);
    NoteUsnChange(Namespace, File, Node, USN_REASON_REPARSE_POINT_CHANGE);
    return STATUS_SUCCESS;
}

NTSTATUS GetReparsePoint(NtfsNode *Node, PVOID Output, ULONG OutputLength, ULONG *Returned)
{
    if (!Node->HasReparsePoint) {
        return STATUS_NOT_A_REPARSE_POINT;
    }
    ULONG HeaderSize = IsReparseTagMicrosoft(Node->ReparseTag) ? REPARSE_DATA_BUFFER_HEADER_SIZE
                                                               : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    if (Output == NULL || OutputLength < HeaderSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    /* The header's fields at their offsets: the structure itself is longer
       than the header, by its first data bytes. */
    UCHAR Header[REPARSE_GUID_DATA_BUFFER_HEADER_SIZE] = {};
    USHORT DataLength = (USHORT)Node->ReparseData.size();
    memcpy(Header + FIELD_OFFSET(REPARSE_GUID_DATA_BUFFER, ReparseTag), &Node->ReparseTag, sizeof(ULONG));
    memcpy(Header + FIELD_OFFSET(REPARSE_GUID_DATA_BUFFER, ReparseDataLength), &DataLength, sizeof(USHORT));
    memcpy(Header + FIELD_OFFSET(REPARSE_GUID_DATA_BUFFER, ReparseGuid), &Node->ReparseGuid, sizeof(GUID));
    memcpy(Output, Header, HeaderSize);
    ULONG Room = OutputLength - HeaderSize;
    ULONG Copied = Room < Node->ReparseData.size() ? Room : (ULONG)Node->ReparseData.size();
    if (Copied != 0) {
        memcpy((PUCHAR)Output + HeaderSize, Node->ReparseData.data(), Copied);
    }
    *Returned = HeaderSize + Copied;
    return Copied < Node->ReparseData.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS DeleteReparsePoint(EmuFile *File, NtfsVolume *Namespace, NtfsNode *Node, PVOID Input, ULONG InputLength)
{
    if (Input == NULL || InputLength < REPARSE_DATA_BUFFER_HEADER_SIZE) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    auto Header = (PREPARSE_GUID_DATA_BUFFER)Input;
    ULONG HeaderSize = IsReparseTagMicrosoft(Header->ReparseTag) ? REPARSE_DATA_BUFFER_HEADER_SIZE
                                                                 : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    if (InputLength != HeaderSize || Header->ReparseDataLength != 0) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    if (!Node->HasReparsePoint) {
        return STATUS_NOT_A_REPARSE_POINT;
    }
    if (Node->ReparseTag != Header->ReparseTag) {
        return STATUS_IO_REPARSE_TAG_MISMATCH;
    }
    if (!IsReparseTagMicrosoft(Header->ReparseTag) &&
        memcmp(&Node->ReparseGuid, &Header->ReparseGuid, sizeof(GUID)) != 0) {
        return STATUS_REPARSE_ATTRIBUTE_CONFLICT;
    }
    Node->HasReparsePoint = false;
    Node->ReparseTag = 0;
    Node->ReparseGuid = GUID{};
    Node->ReparseData.clear();
    Node->Attributes &= ~(ULONG)FILE_ATTRIBUTE_REPARSE_POINT;
    Touch(File, Node, false);
    NoteUsnChange(Namespace, File, Node, USN_REASON_REPARSE_POINT_CHANGE);
    return STATUS_SUCCESS;
}

bool MayWriteMetadata(EmuFile *File, KPROCESSOR_MODE Mode)
{
    return Mode == KernelMode || (File->Access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)) != 0;
}

}  // namespace

namespace emu {

void NoteUsnChange(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, ULONG Reasons)
{
    if ((Node->UsnReasons | Reasons) == Node->UsnReasons) {
        return;  // NTFS writes a record only when a new reason appears
    }
    Node->UsnReasons |= Reasons;
    Namespace->Journal.push_back(UsnRecord{Namespace->NextUsn, Node->FileId,
                                           Node->Parent != nullptr ? Node->Parent->FileId : Node->FileId,
                                           Node->UsnReasons, File != nullptr ? File->UsnSourceInfo : 0,
                                           Node->Attributes, Node->Name});
    Namespace->NextUsn += 0x60;
}

USN WriteUsnClose(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node)
{
    USN Usn = Namespace->NextUsn;
    Namespace->Journal.push_back(UsnRecord{Usn, Node->FileId,
                                           Node->Parent != nullptr ? Node->Parent->FileId : Node->FileId,
                                           Node->UsnReasons | USN_REASON_CLOSE,
                                           File != nullptr ? File->UsnSourceInfo : 0, Node->Attributes, Node->Name});
    Namespace->NextUsn += 0x60;
    Node->UsnReasons = 0;
    return Usn;
}

std::vector<UsnRecord> ReadUsnJournal(_FLT_VOLUME *Volume)
{
    NtfsVolume *Namespace = NamespaceOf(Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    return Namespace->Journal;
}

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
        Standard.NumberOfLinks = 1;
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
                          KPROCESSOR_MODE Mode)
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
        if (Length < sizeof(FILE_END_OF_FILE_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        if (Node->Directory) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Mode == UserMode && !(File->Access & FILE_WRITE_DATA)) {
            return STATUS_ACCESS_DENIED;
        }
        FILE_END_OF_FILE_INFORMATION EndOfFile;
        memcpy(&EndOfFile, Buffer, sizeof(EndOfFile));
        if (EndOfFile.EndOfFile.QuadPart < 0) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONGLONG Size = (ULONGLONG)EndOfFile.EndOfFile.QuadPart;
        if (Size == Node->Data.size()) {
            return STATUS_SUCCESS;
        }
        ULONG Reason = Size < Node->Data.size() ? USN_REASON_DATA_TRUNCATION : USN_REASON_DATA_EXTEND;
        Resize(Node, Size);
        Touch(File, Node, true);
        NoteUsnChange(Namespace, File, Node, Reason);
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

NTSTATUS FsControl(EmuFile *File, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                   ULONG *Returned, KPROCESSOR_MODE Mode)
{
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    NtfsNode *Node = File->Node;
    *Returned = 0;
    switch (Code) {
    case FSCTL_SET_REPARSE_POINT:
        if (!MayWriteMetadata(File, Mode)) {
            return STATUS_ACCESS_DENIED;
        }
        return SetReparsePoint(File, Namespace, Node, Input, InputLength);
    case FSCTL_GET_REPARSE_POINT:
        return GetReparsePoint(Node, Output, OutputLength, Returned);
    case FSCTL_DELETE_REPARSE_POINT:
        if (!MayWriteMetadata(File, Mode)) {
            return STATUS_ACCESS_DENIED;
        }
        return DeleteReparsePoint(File, Namespace, Node, Input, InputLength);
    case FSCTL_SET_SPARSE: {
        if (!MayWriteMetadata(File, Mode)) {
            return STATUS_ACCESS_DENIED;
        }
        bool Sparse = true;
        if (Input != NULL && InputLength >= sizeof(FILE_SET_SPARSE_BUFFER)) {
            Sparse = ((PFILE_SET_SPARSE_BUFFER)Input)->SetSparse != FALSE;
        }
        bool Was = (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) != 0;
        if (Sparse && !Was) {
            /* Every cluster of the data counts as allocated. */
            AllocateClusters(Node, 0, Node->Data.size());
            Node->Attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
        } else if (!Sparse && Was) {
            Node->Clusters.clear();
            Node->Attributes &= ~(ULONG)FILE_ATTRIBUTE_SPARSE_FILE;
        }
        if (Sparse != Was) {
            Touch(File, Node, false);
            NoteUsnChange(Namespace, File, Node, USN_REASON_BASIC_INFO_CHANGE);
        }
        return STATUS_SUCCESS;
    }
    case FSCTL_SET_ZERO_DATA: {
        if (Input == NULL || InputLength < sizeof(FILE_ZERO_DATA_INFORMATION)) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Mode == UserMode && !(File->Access & FILE_WRITE_DATA)) {
            return STATUS_ACCESS_DENIED;
        }
        FILE_ZERO_DATA_INFORMATION Zero;
        memcpy(&Zero, Input, sizeof(Zero));
        if (Zero.FileOffset.QuadPart < 0 || Zero.BeyondFinalZero.QuadPart < Zero.FileOffset.QuadPart) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONGLONG Begin = (ULONGLONG)Zero.FileOffset.QuadPart;
        ULONGLONG End = (ULONGLONG)Zero.BeyondFinalZero.QuadPart;
        if (End > Node->Data.size()) {
            End = Node->Data.size();
        }
        if (Begin < End) {
            memset(Node->Data.data() + Begin, 0, End - Begin);
            if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
                for (ULONGLONG Cluster = (Begin + ClusterSize - 1) / ClusterSize;
                     (Cluster + 1) * ClusterSize <= End || (Cluster * ClusterSize < End && End == Node->Data.size());
                     Cluster += 1) {
                    Node->Clusters.erase(Cluster);
                }
            }
            Touch(File, Node, true);
            NoteUsnChange(Namespace, File, Node, USN_REASON_DATA_OVERWRITE);
        }
        return STATUS_SUCCESS;
    }
    case FSCTL_QUERY_ALLOCATED_RANGES: {
        if (Input == NULL || InputLength < sizeof(FILE_ALLOCATED_RANGE_BUFFER)) {
            return STATUS_INVALID_PARAMETER;
        }
        FILE_ALLOCATED_RANGE_BUFFER Query;
        memcpy(&Query, Input, sizeof(Query));
        std::vector<FILE_ALLOCATED_RANGE_BUFFER> Ranges;
        ULONGLONG QueryEnd = (ULONGLONG)(Query.FileOffset.QuadPart + Query.Length.QuadPart);
        auto Add = [&](ULONGLONG Begin, ULONGLONG End) {
            if (End > Node->Data.size()) {
                End = Node->Data.size();
            }
            Begin = Begin < (ULONGLONG)Query.FileOffset.QuadPart ? (ULONGLONG)Query.FileOffset.QuadPart : Begin;
            End = End > QueryEnd ? QueryEnd : End;
            if (Begin < End) {
                FILE_ALLOCATED_RANGE_BUFFER Range;
                Range.FileOffset.QuadPart = (LONGLONG)Begin;
                Range.Length.QuadPart = (LONGLONG)(End - Begin);
                Ranges.push_back(Range);
            }
        };
        if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
            for (auto Cluster = Node->Clusters.begin(); Cluster != Node->Clusters.end();) {
                ULONGLONG First = *Cluster;
                ULONGLONG Last = First;
                while (++Cluster != Node->Clusters.end() && *Cluster == Last + 1) {
                    Last = *Cluster;
                }
                Add(First * ClusterSize, (Last + 1) * ClusterSize);
            }
        } else {
            Add(0, Node->Data.size());
        }
        ULONG Needed = (ULONG)(Ranges.size() * sizeof(FILE_ALLOCATED_RANGE_BUFFER));
        ULONG Copied = OutputLength < Needed ? OutputLength / sizeof(FILE_ALLOCATED_RANGE_BUFFER) *
                                                   sizeof(FILE_ALLOCATED_RANGE_BUFFER)
                                             : Needed;
        memcpy(Output, Ranges.data(), Copied);
        *Returned = Copied;
        return Copied < Needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case FSCTL_MARK_HANDLE: {
        if (Input == NULL || InputLength < sizeof(MARK_HANDLE_INFO)) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Mode == UserMode) {
            return STATUS_ACCESS_DENIED;  // needs a volume handle and privileges
        }
        MARK_HANDLE_INFO Mark;
        memcpy(&Mark, Input, sizeof(Mark));
        File->UsnSourceInfo = Mark.UsnSourceInfo;
        return STATUS_SUCCESS;
    }
    case FSCTL_WRITE_USN_CLOSE_RECORD: {
        if (Output == NULL || OutputLength < sizeof(USN)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        USN Usn = WriteUsnClose(Namespace, File, Node);
        memcpy(Output, &Usn, sizeof(Usn));
        *Returned = sizeof(Usn);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

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
    memcpy(Node->Data.data() + Offset, Buffer, Count);
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

}  // namespace emu
