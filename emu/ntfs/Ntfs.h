/*
 * Ntfs.h - the emulated NTFS at the bottom of every volume's filter chain.
 *
 * The file system is reached only through I/O requests: the filter manager
 * calls NtfsDispatch with a request once every filter above has seen it, and
 * NtfsDispatch sends it to the routine of its major function (one file per
 * family: Create.cpp, ReadWrite.cpp, Information.cpp, Control.cpp,
 * Cleanup.cpp, Lock.cpp, and the set-information families Rename.cpp,
 * Link.cpp, Disposition.cpp).  A mounted disk volume carries a namespace of
 * directories and files with case-insensitive, case-preserving names; a
 * file may have several names (hard links), and a file whose last name is
 * gone lives on while it is open.
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

struct NtfsNode;

/* A stream's bytes on the emulated disk, kept sparsely: only the 64 KiB
   chunks ever written hold memory, so a file of many gigabytes with a few
   pages of data stays small; the rest reads as zeros. */
class FileData {
public:
    static constexpr ULONGLONG ChunkSize = 64 * 1024;

    ULONGLONG size() const { return Size; }
    bool empty() const { return Size == 0; }
    void clear() { Chunks.clear(), Size = 0; }
    void shrink_to_fit() {}
    /* A new size: bytes beyond a shrunk end are gone, so growing again
       reads zeros there. */
    void resize(ULONGLONG NewSize, UCHAR = 0);
    /* Count bytes at Offset (the caller keeps within the size). */
    void Read(ULONGLONG Offset, ULONGLONG Count, void *Buffer) const;
    void Write(ULONGLONG Offset, ULONGLONG Count, const void *Buffer);
    void Zero(ULONGLONG Begin, ULONGLONG End);
    /* Host memory the chunks take. */
    size_t Footprint() const { return Chunks.size() * ChunkSize; }

private:
    std::map<ULONGLONG, std::unique_ptr<UCHAR[]>> Chunks;  // by chunk index
    ULONGLONG Size = 0;
};

/* One name of a file: the directory it is in and the name as given.  The
   id stays with the link through renames, so a file object keeps the link
   it was opened by. */
struct NtfsLink {
    NtfsNode *Parent;
    std::u16string Name;
    uint64_t Id;
    ULONG Handles = 0;  // file objects opened through this name, not yet cleaned up
};

/* A file or directory on an emulated volume (its FCB and its one stream). */
struct NtfsNode {
    std::vector<NtfsLink> Links;  // empty for the root and for a file whose names are all gone
    bool Directory = false;
    std::map<std::u16string, NtfsNode *> Children;  // by upcased name; the volume owns the nodes
    uint64_t FileId = 0;
    ULONG Attributes = FILE_ATTRIBUTE_ARCHIVE;
    FileData Data;                     // the default stream
    /* The memory manager's and cache manager's anchors of the stream
       (emu/cache/): every file object of the stream points here. */
    SECTION_OBJECT_POINTERS SectionObjects = {};
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
    bool Unlinked = false;  // every name is gone: the file goes with its last handle
    std::u16string LastName;   // the last name removed, for the journal of an unlinked file
    uint64_t LastParentId = 0;
    /* A delete pending on a link ("FILE_DISPOSITION_INFORMATION"): the
       link's id; the name goes when the last handle opened through it is
       cleaned up. */
    uint64_t DeletePendingLink = 0;
    /* Extra allocation given by FileAllocationInformation beyond the data. */
    ULONGLONG Allocation = 0;
};

struct NtfsVolume {
    std::recursive_mutex Lock;  // guards the namespace, the nodes and the journal
    NtfsNode Root;
    std::vector<std::unique_ptr<NtfsNode>> Nodes;  // every node but the root, deleted ones included
    uint64_t NextFileId = 5;
    uint64_t NextLinkId = 1;
    std::vector<UsnRecord> Journal;
    USN NextUsn = 0x1000;
};

constexpr ULONGLONG ClusterSize = 4096;
constexpr ULONGLONG SectorSize = 512;

NtfsVolume *NamespaceOf(_FLT_VOLUME *Volume);
/* What a freshly formatted NTFS volume holds at its root: the recycle-bin
   directory \$Recycle.Bin, hidden and system. */
void FormatNtfs(NtfsVolume *Namespace);

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
NTSTATUS NtfsDirectoryControl(IoRequest *Request);

/* Where a file object's listing of a directory stands: the pattern of its
   first query, the dot entries returned, and the upcased name of the last
   entry returned (entries come in upcased-name order, as NTFS's index
   collates them). */
struct NtfsDirectoryScan {
    std::u16string Pattern;  // upcased; empty matches every name
    int DotsReturned = 0;
    std::u16string Last;
    bool Returned = false;   // some entry came back since the scan began
};

/* The operations behind them, on an open file. */
NTSTATUS FsQueryInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                            ULONG *Returned);
NTSTATUS FsSetInformation(EmuFile *File, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                          KPROCESSOR_MODE Mode, bool AdvanceOnly = false);
NTSTATUS FsControl(EmuFile *File, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                   ULONG *Returned, KPROCESSOR_MODE Mode);
NTSTATUS FsRead(EmuFile *File, ULONGLONG Offset, ULONG Length, PVOID Buffer, ULONG *Transferred);
NTSTATUS FsWrite(EmuFile *File, ULONGLONG Offset, ULONG Length, const void *Buffer, bool Paging, ULONG *Transferred);

/* A change through File adds Reasons to the file's journal record. */
void NoteUsnChange(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, ULONG Reasons);
/* Writes the close record of Node now and returns its USN. */
USN WriteUsnClose(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node);

/* Byte-range locks (Lock.cpp): whether a read or write of Request's range
   meets a lock another owner holds, and the release of a file object's
   locks at its cleanup.  Called under the namespace lock. */
bool LockConflicts(IoRequest *Request, ULONGLONG Offset, ULONGLONG Length, bool Write);
void ReleaseLocksOf(NtfsNode *Node, EmuFile *File);

/* Reparse buffers (Control.cpp): the checks of FSCTL_SET_REPARSE_POINT on
   a buffer (STATUS_IO_REPARSE_DATA_INVALID, STATUS_IO_REPARSE_TAG_INVALID),
   and the reparse point a checked buffer gives a file. */
NTSTATUS CheckReparseBuffer(const void *Input, ULONG InputLength);
void StoreReparsePoint(NtfsNode *Node, const void *Input, ULONG InputLength);

/* The atomic-create extra create parameter of a create (AtomicCreate.cpp):
   found and checked before the file is made (null when the create carries
   none), then applied to the new file under the same namespace lock. */
NTSTATUS FindAtomicCreate(IoRequest *Request, PATOMIC_CREATE_ECP_CONTEXT *Context);
void ApplyAtomicCreate(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, PATOMIC_CREATE_ECP_CONTEXT Context);

/* Shared by the routines above (Node.cpp). */
/* Updates the times a change touches, unless File froze them. */
void Touch(EmuFile *File, NtfsNode *Node, bool Write);
ULONGLONG AllocationOf(const NtfsNode *Node);
void AllocateClusters(NtfsNode *Node, ULONGLONG Begin, ULONGLONG End);
void Resize(NtfsNode *Node, ULONGLONG Size);
bool MayWriteMetadata(EmuFile *File, KPROCESSOR_MODE Mode);

/* The full path of a node on its volume through its first name:
   \dir\file, or \ for the root. */
std::u16string PathOf(const NtfsNode *Node);
/* The full path of the link a file object was opened by (the file's first
   name when that link is gone). */
std::u16string PathOf(const EmuFile *File);
std::u16string Upcase(const std::u16string &Text);

/* Links of a node: the first (null for the root or an unlinked file), the
   one a file object uses, adding and removing a name in a directory. */
NtfsLink *FirstLink(NtfsNode *Node);
const NtfsLink *FirstLink(const NtfsNode *Node);
NtfsLink *LinkOf(EmuFile *File);
NtfsLink *FindLink(NtfsNode *Node, uint64_t LinkId);
NtfsLink *AddLink(NtfsVolume *Namespace, NtfsNode *Node, NtfsNode *Directory, const std::u16string &Name);
void RemoveLink(NtfsNode *Node, uint64_t LinkId);
/* Looks a name up in a directory (case-insensitively); null when absent. */
NtfsNode *Lookup(NtfsNode *Directory, const std::u16string &Name);
/* A node's parent directory for the journal: its first link's directory. */
uint64_t ParentIdOf(const NtfsNode *Node);
/* A name NTFS accepts for a file: not . or .., no wildcard, separator or
   control character. */
bool ValidName(const std::u16string &Name);
/* Whether a file below Directory (at any depth) has an open handle. */
bool HasOpenFilesBelow(const NtfsNode *Directory);
/* The file goes: its journal record, and it leaves the volume's files once
   nobody references it (called when its last name is gone and its last
   handle is cleaned up). */
void DeleteNode(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node);

/* The set-information families (Rename.cpp, Link.cpp, Disposition.cpp),
   under the namespace lock. */
NTSTATUS NtfsSetRename(IoRequest *Request);
NTSTATUS NtfsSetLink(IoRequest *Request);
NTSTATUS NtfsSetDisposition(IoRequest *Request);
/* The target of a rename or link request: the directory (ParentOfTarget,
   or the file's own directory for a simple name), the final name, and the
   flags (the plain classes' ReplaceIfExists as FILE_RENAME_REPLACE_IF_EXISTS). */
NTSTATUS SetTargetOf(IoRequest *Request, NtfsNode *Source, NtfsNode **Directory, std::u16string *Name, ULONG *Flags);
/* Makes room for Name in Directory as a rename or link with FILE_RENAME_*
   Flags may: nothing there, or a file it may replace (its name goes). */
NTSTATUS ReplaceTarget(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Directory, const std::u16string &Name,
                       ULONG Flags);
/* At cleanup of File: POSIX deletes and deletes on close of its own, and
   the pending delete of its file when it was the last handle. */
void CleanupDisposition(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node);

}  // namespace emu
