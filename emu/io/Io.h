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

#include <map>
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
    std::vector<UCHAR> Data;
    /* Share access, as IoCheckShareAccess keeps it. */
    ULONG OpenCount = 0;
    ULONG Readers = 0, Writers = 0, Deleters = 0;
    ULONG SharedRead = 0, SharedWrite = 0, SharedDelete = 0;
    ULONG References = 0;  // file objects that point here
    bool Unlinked = false;
};

struct NtfsVolume {
    std::mutex Lock;  // guards the namespace and the nodes' open state
    NtfsNode Root;
    uint64_t NextFileId = 5;
};

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
};

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
