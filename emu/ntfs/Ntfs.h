/*
 * Ntfs.h - the emulated NTFS at the bottom of every volume's filter chain.
 *
 * The file system is reached only through I/O requests: the filter manager
 * calls NtfsDispatch with a request once every filter above has seen it, and
 * NtfsDispatch sends it to the routine of its major function (one file per
 * family: Create.cpp, ReadWrite.cpp, Information.cpp, Control.cpp,
 * Cleanup.cpp, Lock.cpp).  A mounted disk volume carries a namespace of
 * directories and files with case-insensitive, case-preserving names.
 */
#pragma once

#include "../io/Io.h"

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace emu {

/* A byte-range lock on a file: its range, kind, and owner (the file object,
   the process, the key). */
struct ByteRangeLock {
    EmuFile *File;
    void *Process;
    ULONG Key;
    ULONGLONG Offset;
    ULONGLONG Length;
    bool Exclusive;
};

/* A file or directory on an emulated volume (its FCB and its one stream). */
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
    std::vector<ByteRangeLock> Locks;
    ULONG References = 0;  // file objects that point here (not yet closed)
    ULONG Handles = 0;     // file objects not yet cleaned up
    bool DeletePending = false;  // the name goes with the last handle
    bool Unlinked = false;       // the name is gone; the node lives on while opened
};

struct NtfsVolume {
    std::recursive_mutex Lock;  // guards the namespace, the nodes and the journal
    NtfsNode Root;
    uint64_t NextFileId = 5;
    std::vector<UsnRecord> Journal;
    USN NextUsn = 0x1000;
    std::vector<std::unique_ptr<NtfsNode>> Unlinked;  // deleted nodes, kept while file objects point at them
};

constexpr ULONGLONG ClusterSize = 4096;
constexpr ULONGLONG SectorSize = 512;

NtfsVolume *NamespaceOf(_FLT_VOLUME *Volume);

/* The file system's dispatch: the bottom of every filter chain. */
NTSTATUS NtfsDispatch(IoRequest *Request);
/* The fast I/O path (reads and writes of a file whose cache is set up);
   false when the operation must come again as an IRP. */
bool NtfsFastIo(IoRequest *Request);

/* Dispatch routines, one per major function. */
NTSTATUS NtfsCreate(IoRequest *Request);
NTSTATUS NtfsRead(IoRequest *Request);
NTSTATUS NtfsWrite(IoRequest *Request);
NTSTATUS NtfsQueryInformation(IoRequest *Request);
NTSTATUS NtfsSetInformation(IoRequest *Request);
NTSTATUS NtfsFileSystemControl(IoRequest *Request);
NTSTATUS NtfsLockControl(IoRequest *Request);
NTSTATUS NtfsCleanup(IoRequest *Request);
NTSTATUS NtfsClose(IoRequest *Request);

/* The operations behind them, on an open file. */
NTSTATUS FsQueryInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                            ULONG *Returned);
NTSTATUS FsSetInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                          KPROCESSOR_MODE Mode);
NTSTATUS FsControl(EmuFile *File, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                   ULONG *Returned, KPROCESSOR_MODE Mode);
NTSTATUS FsRead(EmuFile *File, ULONGLONG Offset, ULONG Length, PVOID Buffer, ULONG *Transferred);
NTSTATUS FsWrite(EmuFile *File, ULONGLONG Offset, ULONG Length, const void *Buffer, bool Paging, ULONG *Transferred);

/* A change through File adds Reasons to the file's journal record. */
void NoteUsnChange(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, ULONG Reasons);
/* Writes the close record of Node now and returns its USN. */
USN WriteUsnClose(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node);

/* Renames and dispositions (Namespace.cpp); Unlink removes a node's name
   now.  Called under the namespace lock. */
NTSTATUS SetDisposition(IoRequest *Request, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length);
NTSTATUS Rename(IoRequest *Request, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length);
void Unlink(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node);
/* The directory a volume-relative path's parent names and its final
   component; null when a directory on the way is missing. */
NtfsNode *ParentOf(NtfsVolume *Namespace, const std::u16string &Path, std::u16string *FinalComponent);
bool ValidName(const std::u16string &Name);

/* Byte-range locks (Lock.cpp): whether a read or write of Request's range
   meets a lock another owner holds, and the release of a file object's
   locks at its cleanup.  Called under the namespace lock. */
bool LockConflicts(IoRequest *Request, ULONGLONG Offset, ULONGLONG Length, bool Write);
void ReleaseLocksOf(NtfsNode *Node, EmuFile *File);

/* Shared by the routines above (Node.cpp). */
/* Updates the times a change touches, unless File froze them. */
void Touch(EmuFile *File, NtfsNode *Node, bool Write);
ULONGLONG AllocationOf(const NtfsNode *Node);
void AllocateClusters(NtfsNode *Node, ULONGLONG Begin, ULONGLONG End);
void Resize(NtfsNode *Node, ULONGLONG Size);
bool MayWriteMetadata(EmuFile *File, KPROCESSOR_MODE Mode);

/* The full path of a node on its volume: \dir\file, or \ for the root. */
std::u16string PathOf(const NtfsNode *Node);
std::u16string Upcase(const std::u16string &Text);

}  // namespace emu
