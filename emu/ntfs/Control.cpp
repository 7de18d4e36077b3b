/*
 * Control.cpp - IRP_MJ_FILE_SYSTEM_CONTROL: reparse points, sparse files,
 * zeroing (a zeroed range of a sparse file frees the clusters it covers
 * whole), allocated ranges, handle marking and USN close records, as the
 * FSCTL_* pages of the file-system documentation describe them.
 */
#include "Ntfs.h"

using namespace emu;

namespace {

/* Write-data access of a file object, as the file system reads it: the
   object's WriteAccess flag, which the I/O manager sets at create from the
   granted access (IoCheckShareAccess) and a filter may raise for a request
   of its own on a program's file object. */
bool MayWriteData(const EmuFile *File)
{
    return File->File.WriteAccess != FALSE;
}

/* Reparse points and the sparse mark change only through a file object
   with write-data or write-attributes access, whoever sends the request
   (FSCTL_SET_REPARSE_POINT, FSCTL_DELETE_REPARSE_POINT, FSCTL_SET_SPARSE;
   FltTagFile and FltUntagFile: "must be opened for FILE_WRITE_DATA
   access"), so a filter's own request on a read-only file object is
   refused too. */
bool MayChangeFile(const EmuFile *File)
{
    return MayWriteData(File) || (File->Access & FILE_WRITE_ATTRIBUTES) != 0;
}

NTSTATUS SetReparsePoint(EmuFile *File, NtfsVolume *Namespace, NtfsNode *Node, PVOID Input, ULONG InputLength)
{
    NTSTATUS Status = CheckReparseBuffer(Input, InputLength);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    auto Header = (PREPARSE_GUID_DATA_BUFFER)Input;
    ULONG Tag = Header->ReparseTag;
    /* An existing reparse point is replaced, data and all, only by one of
       the same tag and, for a tag that is not Microsoft's, the same GUID;
       another tag fails with STATUS_IO_REPARSE_TAG_MISMATCH, another GUID
       with STATUS_REPARSE_ATTRIBUTE_CONFLICT (FltTagFile,
       FSCTL_SET_REPARSE_POINT, "Reparse Point Operations"). */
    if (Node->HasReparsePoint) {
        if (Node->ReparseTag != Tag) {
            return STATUS_IO_REPARSE_TAG_MISMATCH;
        }
        if (!IsReparseTagMicrosoft(Tag) && memcmp(&Node->ReparseGuid, &Header->ReparseGuid, sizeof(GUID)) != 0) {
            return STATUS_REPARSE_ATTRIBUTE_CONFLICT;
        }
    }
    StoreReparsePoint(Node, Input, InputLength);
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
    REPARSE_GUID_DATA_BUFFER Header = {};
    Header.ReparseTag = Node->ReparseTag;
    Header.ReparseDataLength = (USHORT)Node->ReparseData.size();
    Header.ReparseGuid = Node->ReparseGuid;
    memcpy(Output, &Header, HeaderSize);
    ULONG Room = OutputLength - HeaderSize;
    ULONG Copied = Room < Node->ReparseData.size() ? Room : (ULONG)Node->ReparseData.size();
    if (Copied != 0) {  // an empty vector's data() may be null, which memcpy does not take
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
}  // namespace

namespace emu {

NTSTATUS CheckReparseBuffer(const void *Input, ULONG InputLength)
{
    if (Input == NULL || InputLength < REPARSE_DATA_BUFFER_HEADER_SIZE) {
        return STATUS_IO_REPARSE_DATA_INVALID;
    }
    auto Header = (const REPARSE_GUID_DATA_BUFFER *)Input;
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
    return STATUS_SUCCESS;
}

void StoreReparsePoint(NtfsNode *Node, const void *Input, ULONG InputLength)
{
    auto Header = (const REPARSE_GUID_DATA_BUFFER *)Input;
    ULONG Tag = Header->ReparseTag;
    bool Microsoft = IsReparseTagMicrosoft(Tag) != 0;
    ULONG HeaderSize = Microsoft ? REPARSE_DATA_BUFFER_HEADER_SIZE : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    Node->HasReparsePoint = true;
    Node->ReparseTag = Tag;
    Node->ReparseGuid = Microsoft ? GUID{} : Header->ReparseGuid;
    Node->ReparseData.assign((const UCHAR *)Input + HeaderSize, (const UCHAR *)Input + InputLength);
    Node->Attributes |= FILE_ATTRIBUTE_REPARSE_POINT;
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
        if (!MayChangeFile(File)) {
            return STATUS_ACCESS_DENIED;
        }
        return SetReparsePoint(File, Namespace, Node, Input, InputLength);
    case FSCTL_GET_REPARSE_POINT:
        return GetReparsePoint(Node, Output, OutputLength, Returned);
    case FSCTL_DELETE_REPARSE_POINT:
        if (!MayChangeFile(File)) {
            return STATUS_ACCESS_DENIED;
        }
        return DeleteReparsePoint(File, Namespace, Node, Input, InputLength);
    case FSCTL_SET_SPARSE: {
        if (!MayChangeFile(File)) {
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
        if (!MayWriteData(File)) {
            return STATUS_ACCESS_DENIED;  // whoever asks, a kernel-mode request of a filter included
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
            Node->Data.Zero(Begin, End);
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
        if (Copied != 0) {  // no ranges: an empty vector's data() may be null
            memcpy(Output, Ranges.data(), Copied);
        }
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
/* The buffers of a control request as its transfer method places them:
   METHOD_BUFFERED shares one system buffer for input and output, the
   others pass the caller's buffers. */
NTSTATUS NtfsFileSystemControl(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.FileSystemControl;
    ULONG Code = Parameters.Common.FsControlCode;
    ULONG InputLength = Parameters.Common.InputBufferLength;
    ULONG OutputLength = Parameters.Common.OutputBufferLength;
    PVOID Input;
    PVOID Output;
    if (METHOD_FROM_CTL_CODE(Code) == METHOD_BUFFERED) {
        Input = Output = Parameters.Buffered.SystemBuffer;
    } else {
        Input = Parameters.Neither.InputBuffer;
        Output = Parameters.Neither.OutputBuffer;
    }
    ULONG Returned = 0;
    NTSTATUS Status = FsControl(Request->File, Code, InputLength != 0 ? Input : NULL, InputLength,
                                OutputLength != 0 ? Output : NULL, OutputLength, &Returned,
                                Request->Data.RequestorMode);
    Request->Data.IoStatus.Information = Returned;
    return Status;
}

}  // namespace emu
