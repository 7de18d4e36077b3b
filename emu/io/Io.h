/*
 * Io.h - the emulated I/O manager and NTFS.
 *
 * A mounted disk volume carries a namespace of directories and files with
 * case-insensitive, case-preserving names.  Opens go through the I/O
 * manager: the create request passes the filters attached to the volume
 * (pre-operation callbacks, then the file system, then post-operation
 * callbacks), share access is checked as IoCheckShareAccess does, and the
 * handle lands in the opening process's table.  A file object is an object
 * of type "File" whose body starts with the FILE_OBJECT drivers see; its
 * FsContext identifies the stream.
 */
#pragma once

#include <fltKernel.h>

#include "../fltmgr/FltMgr.h"
#include "../runtime/Objects.h"

#include <functional>
#include <map>
#include <set>
#include <memory>
#include <string>

namespace emu {

/* A file or directory on an emulated volume. */
struct NtfsNode {
    std::u16string Name;  // as created; empty for the root
    bool Directory = false;
    NtfsNode *Parent = nullptr;
    std::map<std::u16string, std::unique_ptr<NtfsNode>> Children;  // by upcased name
    uint64_t FileId = 0;
    ULONG Attributes = FILE_ATTRIBUTE_ARCHIVE;
    std::vector<UCHAR> Data;           // the default stream
    ULONGLONG ValidDataLength = 0;
    std::set<ULONGLONG> Clusters;      // allocated 4 KiB clusters of a sparse file
    LONGLONG CreationTime = 0, LastAccessTime = 0, LastWriteTime = 0, ChangeTime = 0;
    /* The reparse point: tag, GUID (non-Microsoft tags) and data. */
    bool HasReparsePoint = false;
    ULONG ReparseTag = 0;
    GUID ReparseGuid = {};
    std::vector<UCHAR> ReparseData;
    /* Reasons of the USN records written since the last close record. */
    ULONG UsnReasons = 0;
    /* Share access, as IoCheckShareAccess keeps it. */
    ULONG OpenCount = 0;
    ULONG Readers = 0, Writers = 0, Deleters = 0;
    ULONG SharedRead = 0, SharedWrite = 0, SharedDelete = 0;
    ULONG References = 0;  // file objects that point here
    ULONG Handles = 0;     // file objects not yet cleaned up
    bool Unlinked = false;
};

/* A record of the USN change journal, as a test reads it back. */
struct UsnRecord {
    USN Usn;
    uint64_t FileId;
    uint64_t ParentFileId;
    ULONG Reason;
    ULONG SourceInfo;
    ULONG FileAttributes;
    std::u16string FileName;
};

struct NtfsVolume {
    std::recursive_mutex Lock;  // guards the namespace, the nodes and the journal
    NtfsNode Root;
    uint64_t NextFileId = 5;
    std::vector<UsnRecord> Journal;
    USN NextUsn = 0x1000;
};

constexpr ULONGLONG ClusterSize = 4096;

/* The body of a file object.  FILE_OBJECT comes first: a PFILE_OBJECT is
   the object body. */
struct EmuFile {
    FILE_OBJECT File;
    _FLT_VOLUME *Volume;
    NtfsNode *Node;
    ACCESS_MASK Access;
    ULONG ShareAccess;
    ULONG Options;
    bool Cleaned;
    std::u16string *OpenedName;  // FILE_OBJECT.FileName's storage
    /* Times a basic-information set of -1 froze for this file object:
       creation, last access, last write, change. */
    bool FrozenTimes[4];
    ULONG UsnSourceInfo;          // from FSCTL_MARK_HANDLE
    PECP_LIST EcpList;            // extra create parameters of the open
};

/* The file system's side of the operations on an open file.  The namespace
   lock is taken inside. */
NTSTATUS FsQueryInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                            ULONG *Returned);
NTSTATUS FsSetInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                          KPROCESSOR_MODE Mode);
NTSTATUS FsControl(EmuFile *File, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                   ULONG *Returned, KPROCESSOR_MODE Mode);
NTSTATUS FsRead(EmuFile *File, ULONGLONG Offset, ULONG Length, PVOID Buffer, ULONG *Transferred);
NTSTATUS FsWrite(EmuFile *File, ULONGLONG Offset, ULONG Length, const void *Buffer, bool Paging, ULONG *Transferred);

/* Passes an operation a program started through the filters on the file's
   volume and the file system.  Iopb holds the major function and its
   parameters; FileSystem does the file system's part and sets the
   information it returns. */
NTSTATUS DispatchToFilters(EmuFile *File, FLT_IO_PARAMETER_BLOCK *Iopb, KPROCESSOR_MODE Mode,
                           const std::function<NTSTATUS(ULONG_PTR *)> &FileSystem, ULONG_PTR *Information);

/* A change through File adds Reasons to the file's journal record. */
void NoteUsnChange(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, ULONG Reasons);
/* Writes the close record of Node now and returns its USN. */
USN WriteUsnClose(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node);

/* The journal of a volume, for tests. */
std::vector<UsnRecord> ReadUsnJournal(_FLT_VOLUME *Volume);

/* Streams: the filter manager tears a stream's contexts down when the last
   file object of the stream goes away. */
void TeardownStreamContexts(NtfsNode *Node);

EmuFile *FileOf(PFILE_OBJECT FileObject);
NtfsVolume *NamespaceOf(_FLT_VOLUME *Volume);

/* The full path of a node on its volume: \dir\file, or \ for the root. */
std::u16string PathOf(const NtfsNode *Node);
std::u16string Upcase(const std::u16string &Text);

/* Opens or creates Path (volume-relative, beginning with a backslash) on
   Volume for the current process, as NtCreateFile does.  Information gets
   the create result (FILE_OPENED, FILE_CREATED ...). */
NTSTATUS CreateFile(_FLT_VOLUME *Volume, const std::u16string &Path, ACCESS_MASK DesiredAccess,
                    ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition, ULONG Options,
                    KPROCESSOR_MODE Mode, HANDLE *Handle, ULONG_PTR *Information);

/* The volume mounted under a drive letter, or null. */
_FLT_VOLUME *VolumeByLetter(WCHAR Letter);

/* Callback data for a test to call a driver routine the way a filter
   callback would be called, for an operation of MajorFunction on the file
   object behind Handle (in the current process).  Freed by the caller with
   FreeCallbackData, which also drops the file-object reference. */
PFLT_CALLBACK_DATA MakeCallbackData(HANDLE Handle, UCHAR MajorFunction, KPROCESSOR_MODE RequestorMode,
                                    bool PostOperation = false);
void FreeCallbackData(PFLT_CALLBACK_DATA Data);

}  // namespace emu
