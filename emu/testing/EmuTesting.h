/*
 * EmuTesting.h - what tests and tools may touch of the emulated platform:
 * the System facade (boot, volumes, drivers, processes, accounting, faults,
 * clock, debugger), processes and scopes, the user-mode library's status
 * record, and a few inspection helpers below.  Tests include this header
 * and the platform's public headers (fltKernel.h, windows.h, fltUser.h),
 * nothing else of emu/.
 */
#pragma once

#include <fltKernel.h>

#include <string>
#include <vector>

#include "../system/System.h"
#include "../user/User.h"

namespace emu {

/* A record of a volume's USN change journal, as a test reads it back. */
struct UsnRecord {
    USN Usn;
    uint64_t FileId;
    uint64_t ParentFileId;
    ULONG Reason;
    ULONG SourceInfo;
    ULONG FileAttributes;
    std::u16string FileName;
};
std::vector<UsnRecord> ReadUsnJournal(_FLT_VOLUME *Volume);

/* Callback data for a test to call a driver routine the way a filter
   callback would be called, for an operation of MajorFunction on the file
   object behind Handle (in the current process).  Freed by the caller with
   FreeCallbackData, which also drops the file-object reference. */
PFLT_CALLBACK_DATA MakeCallbackData(HANDLE Handle, UCHAR MajorFunction, KPROCESSOR_MODE RequestorMode,
                                    bool PostOperation = false);
void FreeCallbackData(PFLT_CALLBACK_DATA Data);

/* Opens an existing file or directory (Path volume-relative, beginning with
   a backslash) for the current process as a kernel-mode create that enters
   the chain just below Instance, as a filter's own FltCreateFile does: the
   instance's filter does not see it.  FileObject gets the opened file
   object, referenced by the handle only. */
NTSTATUS OpenBelow(PFLT_INSTANCE Instance, const std::u16string &Path, ACCESS_MASK DesiredAccess, ULONG ShareAccess,
                   ULONG Options, HANDLE *Handle, PFILE_OBJECT *FileObject);

/* The valid data length NTFS keeps for a file (no query class returns
   it). */
ULONGLONG ValidDataLengthOf(PFILE_OBJECT FileObject);

/* Entries of the filter manager's port and connection tables. */
struct PortTableSizes {
    size_t Ports;
    size_t Connections;
};
PortTableSizes PortTables();

/* The cache manager's state of the stream a file object opens: whether
   its shared cache map exists, its pages in memory and how many are dirty,
   and what keeps it (private cache maps, sections, mapped views). */
struct CacheCounts {
    bool Exists;
    size_t Pages;
    size_t Dirty;
    ULONG PrivateMaps;
    ULONG Sections;
    ULONG Views;
};
CacheCounts CacheCountsOf(PFILE_OBJECT FileObject);

}  // namespace emu
