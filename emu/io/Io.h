/*
 * Io.h - the emulated I/O manager: file objects, I/O requests, and the
 * system services programs call (NtCreateFile, NtReadFile, ...).
 *
 * Every operation on a file travels as one IoRequest: the I/O manager
 * builds it, hands it to the filter manager (emu/fltmgr/Dispatch.cpp), which
 * walks the instances on the volume from the highest altitude down and then
 * calls the file system at the bottom (emu/ntfs/), and the request completes
 * back up through the post-operation callbacks.  A request lives on the heap
 * until it completes: a filter may pend it and complete it later from
 * another thread, a program may cancel it, and the thread that issued it
 * waits on its completion event (synchronous file objects, as
 * "Synchronous and asynchronous I/O" in the kernel-mode documentation
 * describes).
 */
#pragma once

#include <fltKernel.h>

#include "../fltmgr/FltMgr.h"
#include "../runtime/Objects.h"
#include "../testing/EmuTesting.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace emu {

struct NtfsNode;
struct NtfsVolume;

/* The body of a file object.  FILE_OBJECT comes first: a PFILE_OBJECT is
   the object body.  What follows is what the file system keeps per file
   object (its CCB). */
struct EmuFile {
    FILE_OBJECT File;
    _FLT_VOLUME *Volume;
    NtfsNode *Node;               // the stream (also FILE_OBJECT.FsContext)
    ACCESS_MASK Access;
    ULONG ShareAccess;
    ULONG Options;
    bool Cleaned;
    std::u16string *OpenedName;  // FILE_OBJECT.FileName's storage
    /* Times a basic-information set of -1 froze for this file object:
       creation, last access, last write, change. */
    bool FrozenTimes[4];
    ULONG UsnSourceInfo;          // from FSCTL_MARK_HANDLE
    uint64_t LinkId;              // the name the file was opened by (hard links)
    /* Dispositions set through this file object: FILE_DELETE_ON_CLOSE (or
       FILE_DISPOSITION_ON_CLOSE) and a POSIX delete, carried out at its
       cleanup. */
    bool DeleteOnClose;
    bool PosixDelete;
    /* The file system's listing position on a directory opened by this
       file object (null before the first query); the file system frees it
       at IRP_MJ_CLOSE. */
    struct NtfsDirectoryScan *Scan;
};

EmuFile *FileOf(PFILE_OBJECT FileObject);

/* One step of the filter chain a request walks: an instance and its
   registration for the request's major function. */
struct ChainEntry {
    _FLT_INSTANCE *Instance;
    const FLT_OPERATION_REGISTRATION *Operation;
};

/* A post-operation callback owed to an instance whose pre-operation asked
   for one, with the context it passed. */
struct CompletionEntry {
    _FLT_INSTANCE *Instance;
    PFLT_POST_OPERATION_CALLBACK Post;
    PVOID Context;
    bool Synchronize;     // FLT_PREOP_SYNCHRONIZE: runs on the pre-operation's thread
    uint64_t ThreadId;    // that thread
};

/* Completion of a request a filter issued asynchronously. */
typedef VOID(FLTAPI *RequestCallback)(PFLT_CALLBACK_DATA Data, PFLT_CONTEXT Context);

/* An I/O request: the callback data filters see, its parameter block, the
   cursor through the filter chain and the completion stack, the I/O
   status, the completion event, the cancel flag and routine, the buffers,
   and the requesting thread and mode.  Allocated by AllocateRequest,
   accounted by the verifier as an "I/O request", freed by whoever waits for
   it (or at completion when nobody does). */
struct IoRequest {
    FLT_CALLBACK_DATA Data;       // first: PFLT_CALLBACK_DATA is the request
    FLT_IO_PARAMETER_BLOCK Iopb;
    EmuFile *File = nullptr;      // referenced while the request lives, except for IRP_MJ_CLOSE
    bool FileReferenced = false;
    _FLT_VOLUME *Volume = nullptr;
    EmuProcess *Process = nullptr;
    uint64_t ThreadId = 0;

    /* Buffers: a system buffer the I/O manager allocated (METHOD_BUFFERED
       and information classes) and copies back on completion, or an MDL. */
    PVOID SystemBuffer = nullptr;
    ULONG SystemBufferLength = 0;
    PVOID UserOutput = nullptr;   // where a buffered output goes back to
    ULONG UserOutputLength = 0;
    PMDL MdlAddress = nullptr;

    /* Parameters the block points at: a create's security context, a lock's
       length. */
    IO_SECURITY_CONTEXT SecurityContext = {};
    LARGE_INTEGER LockLength = {};

    /* Extra create parameters of a create. */
    PECP_LIST EcpList = nullptr;
    bool OwnsEcpList = false;

    /* The filter chain: instances below the point of entry, highest
       altitude first; Cursor is the next one whose pre-operation runs. */
    std::vector<ChainEntry> Chain;
    size_t Cursor = 0;
    std::vector<CompletionEntry> Completions;
    /* The instance whose pre-operation runs or pended the request, until
       FltCompletePendedPreOperation: set before the call, since the filter
       may complete the request from another thread before it returns. */
    std::atomic<_FLT_INSTANCE *> PendedBy{nullptr};
    /* FLT_POSTOP_MORE_PROCESSING_REQUIRED: set before the post-operation
       runs, for the same reason as PendedBy. */
    std::atomic<_FLT_INSTANCE *> PostPendedBy{nullptr};
    bool SyncHandedOff = false;               // the completion walk waits for a synchronizing thread
    KEVENT SyncEvent;

    /* Completion. */
    bool Synchronous = true;      // the issuer waits on Done and frees the request
    bool Completed = false;
    KEVENT Done;
    RequestCallback AsyncCallback = nullptr;
    PVOID AsyncContext = nullptr;

    /* Cancellation, guarded by CancelLock(): the flag is set once; the
       routine is taken out before it runs, so it runs at most once. */
    std::atomic<bool> CancelRequested{false};
    PFLT_COMPLETE_CANCELED_CALLBACK CancelRoutine = nullptr;

    /* Whether the request is an IRP, fixed when it is built; cancellation
       reads it under the request list's lock while the completion walk
       changes Data.Flags. */
    const bool IrpOperation;

    IoRequest(ULONG Flags, PETHREAD Thread)
        : Data{Flags, Thread, &Iopb}, Iopb{}, IrpOperation((Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0)
    {
    }
};

IoRequest *RequestOf(PFLT_CALLBACK_DATA Data);

/* Builds a request of MajorFunction on File for the current thread in Mode.
   The request references File unless it is IRP_MJ_CLOSE or Reference is
   false (requests the object manager's deletion of the file object sends). */
IoRequest *AllocateRequest(EmuFile *File, UCHAR MajorFunction, KPROCESSOR_MODE Mode,
                           ULONG Flags = FLTFL_CALLBACK_DATA_IRP_OPERATION, bool Reference = true);
void FreeRequest(IoRequest *Request);

/* Sends a request down the filter chain of its volume, below StartBelow
   (null: from the top), and, for a synchronous request, waits until it
   completes.  Returns the final status (the request stays allocated for
   the caller to read and free), or STATUS_PENDING for an asynchronous
   request still in flight. */
NTSTATUS CallFilterManager(IoRequest *Request, _FLT_INSTANCE *StartBelow = nullptr);

/* The end of a request's journey, once the completion walk is done: copies
   a buffered output back, signals the issuer or runs its callback. */
void FinishRequest(IoRequest *Request);

/* Guards the requests in flight and their cancel state. */
std::mutex &CancelLock();

/* The open-reparse ECP type (ECP_TYPE_OPEN_REPARSE_GUID). */
extern const GUID EcpTypeOpenReparse;

/* A system buffer of Length bytes for the request, filled from Input when
   given; its contents go back to Output (up to OutputLength bytes of the
   information returned) when the request completes without an error, as
   buffered I/O does.  False when pool runs out. */
bool UseSystemBuffer(IoRequest *Request, ULONG Length, const void *Input, ULONG InputLength, PVOID Output,
                     ULONG OutputLength);

/* The parameters of a device or file-system control as the I/O manager
   places them for the code's transfer method: METHOD_BUFFERED copies the
   input into a system buffer that carries the output back; the other
   methods pass the caller's buffers.  False when pool runs out. */
bool SetControlParameters(IoRequest *Request, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                          ULONG OutputLength);

/* Marks every in-flight request that matches as cancelled and runs its
   cancel routine (once).  Returns how many it found. */
size_t CancelRequests(const std::function<bool(const IoRequest *)> &Matches);
/* Thread termination, as far as I/O goes: the thread is marked as
   terminating (its cancellable waits end) and its requests are cancelled,
   as IoCancelThreadIo does.  Returns how many requests it cancelled. */
size_t TerminateThreadIo(uint64_t ThreadId);
bool ThreadIsTerminating(uint64_t ThreadId);
/* A new boot: no thread is terminating. */
void ResetIo();
/* Process termination: every request of the process is cancelled. */
size_t CancelProcessIo(EmuProcess *Process);

/* The volume mounted under a drive letter, or null. */
_FLT_VOLUME *VolumeByLetter(WCHAR Letter);

/* Opens or creates Path (volume-relative, beginning with a backslash) on
   Volume for the current process, as NtCreateFile does once it has found
   the volume.  Information gets the create result (FILE_OPENED ...). */
NTSTATUS CreateFile(_FLT_VOLUME *Volume, const std::u16string &Path, ACCESS_MASK DesiredAccess,
                    ULONG FileAttributes, ULONG ShareAccess, ULONG Disposition, ULONG Options,
                    KPROCESSOR_MODE Mode, HANDLE *Handle, ULONG_PTR *Information,
                    _FLT_INSTANCE *StartBelow = nullptr, PECP_LIST EcpList = nullptr,
                    PFILE_OBJECT *FileObject = nullptr, UCHAR OperationFlags = 0);

/* The volume and volume-relative path an object name means: \??\C:\path,
   \Device\HarddiskVolumeN\path, or a name relative to the directory
   behind RootDirectory (a handle of the current process, or a kernel
   handle when Mode is KernelMode). */
NTSTATUS ResolveObjectName(POBJECT_ATTRIBUTES Attributes, _FLT_VOLUME **Volume, std::u16string *Path,
                           KPROCESSOR_MODE Mode = UserMode);

/* The I/O manager's part of a rename or hard-link request before it is
   sent: ReplaceIfExists in the parameters from the buffer, and, unless the
   new name is a simple name without a root directory, the open of the
   target's directory (IRP_MJ_CREATE with SL_OPEN_TARGET_DIRECTORY through
   the chain below StartBelow) passed as ParentOfTarget.  The caller
   dereferences *TargetDirectory once the request is done.  Nothing to do
   for other classes. */
NTSTATUS OpenTargetDirectory(IoRequest *Request, _FLT_INSTANCE *StartBelow, PFILE_OBJECT *TargetDirectory);



}  // namespace emu
