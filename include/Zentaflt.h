/*
 * Zentaflt.h - the driver's routines, grouped by the source file that
 * defines them.  Every driver source includes this header.
 *
 * Locks and their order.  The filter has three kinds of lock, all
 * executive resources taken inside a critical region:
 *
 *   1. a stream's lock (STREAM_CONTEXT.Lock; LockStreamContext,
 *      UnlockStreamContext), always exclusive;
 *   2. a sync root's lock (SYNC_ROOT.Lock; LockSyncRoot, UnlockSyncRoot),
 *      exclusive or shared;
 *   3. the list lock (FilterGlobals.SyncRootListLock; LockSyncRootList and
 *      UnlockSyncRootList in channel/SyncRoot.cpp), exclusive or shared.
 *
 * A thread takes them in that order: a sync root's lock may be taken while
 * a stream's lock is held, never the reverse.  The list lock is taken
 * alone: no other lock of the filter is held while it is taken, and none
 * is taken while it is held.  A thread never holds two locks of one kind.
 * The routines named here are the only ones that take and release these
 * locks, and the tests check the order on every acquisition.
 */
#pragma once

#include <fltKernel.h>

#include "CheckedList.h"
#include "FilterGlobals.h"
#include "InstanceContext.h"
#include "Placeholder.h"
#include "ServiceProtocol.h"
#include "StackCookie.h"
#include "Statuses.h"
#include "StreamContext.h"
#include "SyncRoot.h"

/* ------------------------------------------------------------------------
 * Filter core: entry, registration, unload, volumes, status reporting and
 * file names.
 * ---------------------------------------------------------------------- */

/* core/DriverEntry.cpp */
EXTERN_C DRIVER_INITIALIZE DriverEntry;

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI FilterUnload(_In_ FLT_FILTER_UNLOAD_FLAGS Flags);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI InstanceQueryTeardown(_In_ PCFLT_RELATED_OBJECTS FltObjects,
                                      _In_ FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);

/* core/Registration.cpp: the registration record handed to
   FltRegisterFilter. */
extern const FLT_REGISTRATION FilterRegistration;

/* core/InstanceContext.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI InstanceSetup(_In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_SETUP_FLAGS Flags,
                              _In_ DEVICE_TYPE VolumeDeviceType, _In_ FLT_FILESYSTEM_TYPE VolumeFilesystemType);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS BuildVolumePath(_In_ PFLT_VOLUME Volume, _Inout_ PUNICODE_STRING GuidName, _Inout_ PUNICODE_STRING Path);

/* core/ReportStatus.cpp */
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS ReportStatus(_In_ NTSTATUS Status);

/* core/FileNames.cpp */
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS GetNormalizedName(_In_ PFLT_CALLBACK_DATA Data,
                                                 _Outptr_ PFLT_FILE_NAME_INFORMATION *NameInfo,
                                                 _Out_opt_ PUNICODE_STRING RelativePath);

VOID StripVolumePrefix(_In_ USHORT VolumeLength, _In_ PCUNICODE_STRING Name, _Out_ PUNICODE_STRING Path);

/* ------------------------------------------------------------------------
 * Service channel: the port and its connections, the sync roots, and the
 * messages to the service.
 * ---------------------------------------------------------------------- */

/* channel/ServerPort.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreateServerPort(VOID);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID CloseServerPort(VOID);

/* channel/Connection.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI PortConnect(_In_ PFLT_PORT ClientPort, _In_opt_ PVOID ServerPortCookie,
                            _In_reads_bytes_opt_(SizeOfContext) PVOID ConnectionContext, _In_ ULONG SizeOfContext,
                            _Outptr_result_maybenull_ PVOID *ConnectionCookie);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID FLTAPI PortDisconnect(_In_opt_ PVOID ConnectionCookie);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI PortMessage(_In_opt_ PVOID ConnectionCookie, _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer,
                            _In_ ULONG InputBufferLength,
                            _Out_writes_bytes_to_opt_(OutputBufferLength, *ReturnOutputBufferLength) PVOID OutputBuffer,
                            _In_ ULONG OutputBufferLength, _Out_ PULONG ReturnOutputBufferLength);

_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS SyncRootRegister(_In_ PFLT_PORT ClientPort, _In_ HANDLE DirectoryHandle,
                                                _Outptr_ PSYNC_ROOT *SyncRoot);

/* channel/SyncRoot.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS SyncRootCreate(_In_ PFLT_FILE_NAME_INFORMATION NameInfo, _Outptr_ PSYNC_ROOT *SyncRoot);

_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS SyncRootInsert(_Inout_ PSYNC_ROOT SyncRoot);

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS SyncRootFind(_In_ PCUNICODE_STRING Path, _Outptr_ PSYNC_ROOT *SyncRoot);

_IRQL_requires_max_(APC_LEVEL)
BOOLEAN SyncRootContains(_In_ PSYNC_ROOT SyncRoot, _In_ PCUNICODE_STRING Path);

_Must_inspect_result_ BOOLEAN SyncRootAcquire(_Inout_ PSYNC_ROOT SyncRoot);

VOID SyncRootRelease(_Inout_ PSYNC_ROOT SyncRoot);

_IRQL_requires_max_(APC_LEVEL) _Acquires_lock_(SyncRoot->Lock)
VOID LockSyncRoot(_Inout_ PSYNC_ROOT SyncRoot, _In_ BOOLEAN Exclusive);

_IRQL_requires_max_(APC_LEVEL) _Releases_lock_(SyncRoot->Lock)
VOID UnlockSyncRoot(_Inout_ PSYNC_ROOT SyncRoot);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SyncRootRemove(_Inout_ PSYNC_ROOT SyncRoot);

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SyncRootDestroy(_Inout_ PSYNC_ROOT SyncRoot);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID SyncRootRundown(_Inout_ PSYNC_ROOT SyncRoot);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID SyncRootFree(_In_ _Frees_ptr_ PSYNC_ROOT SyncRoot);

/* channel/Messages.cpp: what one message to the service carries besides
   its volume path.  Fields that the message type does not use are
   ignored. */
typedef struct _SERVICE_MESSAGE_FIELDS {
    ULONG MessageType;                  /* MessageType* */
    PCUNICODE_STRING Path;              /* volume-relative; for renames the source */
    PCUNICODE_STRING DestinationPath;   /* MessageTypeMoveFileOut, MessageTypeRenameDirectory */
    const VOID *ReparseData;            /* MessageTypeHydrate, MessageTypeMoveFileOut */
    ULONG ReparseDataLength;            /* valid bytes at ReparseData */
    LONGLONG FileSize;                  /* MessageTypeHydrate: end of file, */
    ULONG64 RequestId;                  /* the request's id, */
    HANDLE ThreadId;                    /* and the waiting thread's ids */
    HANDLE ProcessId;
} SERVICE_MESSAGE_FIELDS, *PSERVICE_MESSAGE_FIELDS;

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS SendServiceMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot,
                                                  _In_ const SERVICE_MESSAGE_FIELDS *Fields,
                                                  _Out_opt_ PSERVICE_REPLY Reply);

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS SendHydrateMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot,
                                                  _In_ PCUNICODE_STRING Path, _In_ LONGLONG FileSize,
                                                  _In_ ULONG64 RequestId,
                                                  _In_reads_bytes_opt_(ReparseDataLength) const VOID *ReparseData,
                                                  _In_ ULONG ReparseDataLength, _In_ HANDLE ThreadId,
                                                  _In_ HANDLE ProcessId);

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS SendMoveFileOutMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot,
                                                      _In_ PCUNICODE_STRING SourcePath,
                                                      _In_ PCUNICODE_STRING DestinationPath,
                                                      _In_reads_bytes_opt_(ReparseDataLength) const VOID *ReparseData,
                                                      _In_ ULONG ReparseDataLength, _Out_ PSERVICE_REPLY Reply);

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS SendDeleteDirectoryMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot,
                                                          _In_ PCUNICODE_STRING Path, _Out_ PSERVICE_REPLY Reply);

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS SendRenameDirectoryMessage(_In_ PFLT_CALLBACK_DATA Data, _In_ PSYNC_ROOT SyncRoot,
                                                          _In_ PCUNICODE_STRING SourcePath,
                                                          _In_ PCUNICODE_STRING DestinationPath,
                                                          _Out_ PSERVICE_REPLY Reply);

/* ------------------------------------------------------------------------
 * Placeholder files: the stream context, and the primitives that make,
 * read back and unmake placeholders.  Every primitive that takes an
 * instance and a file object issues its request at that instance.
 * ---------------------------------------------------------------------- */

/* placeholder/StreamContext.cpp */
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS GetStreamContext(_In_ PFLT_CALLBACK_DATA Data, _In_ ULONG Mode,
                                                _Outptr_result_maybenull_ PSTREAM_CONTEXT *StreamContext);

_IRQL_requires_max_(APC_LEVEL)
NTSTATUS InitializeStreamContext(_Out_ PSTREAM_CONTEXT StreamContext);

_IRQL_requires_max_(APC_LEVEL)
VOID FLTAPI StreamContextCleanup(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);

/* placeholder/StreamLock.cpp */
_IRQL_requires_max_(APC_LEVEL) _Acquires_exclusive_lock_(StreamContext->Lock)
VOID LockStreamContext(_Inout_ PSTREAM_CONTEXT StreamContext);

_IRQL_requires_max_(APC_LEVEL) _Releases_exclusive_lock_(StreamContext->Lock)
VOID UnlockStreamContext(_Inout_ PSTREAM_CONTEXT StreamContext);

/* placeholder/Primitives.cpp */
_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ NTSTATUS BuildAtomicCreateEcp(_Outptr_result_maybenull_ PECP_LIST *EcpList,
                                                    _Outptr_result_maybenull_ PATOMIC_CREATE_ECP_CONTEXT *EcpContext);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID MarkHandleForReplication(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS QueryFileSize(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
                                             _Out_ PLONGLONG FileSize);

_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS GetPlaceholderReparseData(
    _In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
    _Outptr_result_bytebuffer_(*ReparseDataLength) PVOID *ReparseData, _Out_ PULONG ReparseDataLength);

_IRQL_requires_max_(APC_LEVEL)
VOID FreePlaceholderReparseData(_In_ _Frees_ptr_ PVOID ReparseData);

/* Keeps C++ linkage, never extern "C": user-mode test programs linked with
   the driver call the Win32 SetEndOfFile(HANDLE), which this overloads. */
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetEndOfFile(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ ULONG64 EndOfFile);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID SetPlaceholderAttributes(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ ULONG Mode);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID ResumeTimeUpdates(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject);

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID WriteUsnCloseRecord(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject);

/* ------------------------------------------------------------------------
 * Hydration: a placeholder's data, requested from the service when a
 * program needs it and written by the service's commands.  How references
 * on a request are taken and dropped: hydration/Requests.cpp.
 * ---------------------------------------------------------------------- */

/* hydration/Hydrate.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS EnsureHydrated(_In_ PFLT_CALLBACK_DATA Data);

_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_exclusive_lock_held_(StreamContext->Lock)
NTSTATUS StartHydration(_In_ PFLT_CALLBACK_DATA Data,
                                                           _Inout_ PSYNC_ROOT SyncRoot,
                                                           _Inout_ PSTREAM_CONTEXT StreamContext,
                                                           _In_ PCUNICODE_STRING RelativePath);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS WaitForHydration(_In_ PFLT_CALLBACK_DATA Data,
                                                             _In_ PSTREAM_CONTEXT StreamContext);

/* hydration/Requests.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL) _Requires_exclusive_lock_held_(StreamContext->Lock)
_Must_inspect_result_ NTSTATUS RegisterHydrationRequest(_In_ PFLT_CALLBACK_DATA Data, _Inout_ PSYNC_ROOT SyncRoot,
                                                        _Inout_ PSTREAM_CONTEXT StreamContext,
                                                        _Outptr_ PHYDRATION_REQUEST *Request);

_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS FindHydrationRequest(_In_ PSYNC_ROOT SyncRoot, _In_ ULONG64 RequestId,
                                                    _Outptr_ PHYDRATION_REQUEST *Request);

_IRQL_requires_max_(PASSIVE_LEVEL)
_Must_inspect_result_ NTSTATUS ReferenceHydrationStream(_In_ PSYNC_ROOT SyncRoot, _In_ ULONG64 RequestId,
                                                        _Outptr_ PSTREAM_CONTEXT *StreamContext);

_IRQL_requires_max_(APC_LEVEL)
_Must_inspect_result_ BOOLEAN DetachHydrationRequest(_Inout_ PHYDRATION_REQUEST Request);

_IRQL_requires_max_(APC_LEVEL)
VOID ReleaseHydrationRequest(_Inout_ PHYDRATION_REQUEST Request);

/* hydration/Commands.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS TransferData(_In_ PSYNC_ROOT SyncRoot,
                                                         _In_ const SERVICE_TRANSFER_DATA *Payload);

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS CompleteHydration(_In_ PSYNC_ROOT SyncRoot,
                                                              _In_ const SERVICE_COMPLETE_HYDRATION *Payload);

/* hydration/WriteData.cpp: the unit of the service's transfers and of the
   writes that store them. */
#define HydrationPageSize 4096

/* A write that meets a conflicting byte-range lock is tried again after
   HydrationLockConflictDelay (100 ms, relative), at most
   HydrationLockConflictRetries times (about 5 seconds). */
#define HydrationLockConflictDelay (-1000000LL)
#define HydrationLockConflictRetries 50

_IRQL_requires_max_(PASSIVE_LEVEL) NTSTATUS WriteFileData(_In_ PFLT_INSTANCE Instance,
                                                          _In_ PFILE_OBJECT FileObject, _In_ ULONG64 FileSize,
                                                          _In_ ULONG64 Address, _In_ ULONG Length,
                                                          _In_ ULONG64 Offset);

/* hydration/Cancel.cpp */
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID CancelHydrationRequests(_Inout_ PSYNC_ROOT SyncRoot);

/* ------------------------------------------------------------------------
 * Operation interception.
 * ---------------------------------------------------------------------- */

/* intercept/Operations.cpp */
extern const FLT_OPERATION_REGISTRATION OperationRegistration[];

/* intercept/Create.cpp */
FLT_PREOP_CALLBACK_STATUS FLTAPI PreCreate(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                           _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

FLT_POSTOP_CALLBACK_STATUS FLTAPI PostCreate(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                             _In_opt_ PVOID CompletionContext, _In_ FLT_POST_OPERATION_FLAGS Flags);

/* intercept/Triggers.cpp */
/* Completes a pre-operation with a failure status: IoStatus.Information
   0, IoStatus.Status the status; returns FLT_PREOP_COMPLETE. */
FLT_PREOP_CALLBACK_STATUS CompleteOperation(_Inout_ PFLT_CALLBACK_DATA Data, _In_ NTSTATUS Status);

FLT_PREOP_CALLBACK_STATUS FLTAPI PreAcquireForSection(_Inout_ PFLT_CALLBACK_DATA Data,
                                                      _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                      _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

FLT_PREOP_CALLBACK_STATUS FLTAPI PreHydrateAccess(_Inout_ PFLT_CALLBACK_DATA Data,
                                                  _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                  _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

FLT_PREOP_CALLBACK_STATUS FLTAPI PreSetEndOfFile(_Inout_ PFLT_CALLBACK_DATA Data,
                                                 _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                 _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

/* intercept/SetInformation.cpp */
FLT_PREOP_CALLBACK_STATUS FLTAPI PreSetInformation(_Inout_ PFLT_CALLBACK_DATA Data,
                                                   _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                   _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

/* intercept/Guards.cpp */
/* "\$RECYCLE.BIN\": a directory leaves its sync root only for a path that
   begins with it (compared case-insensitively). */
extern const UNICODE_STRING RecycleBinPrefix;

FLT_PREOP_CALLBACK_STATUS FLTAPI PreRename(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                           _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

FLT_PREOP_CALLBACK_STATUS FLTAPI PreDelete(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                           _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

/* intercept/FileSystemControl.cpp */
FLT_PREOP_CALLBACK_STATUS FLTAPI PreFileSystemControl(_Inout_ PFLT_CALLBACK_DATA Data,
                                                      _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                      _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

FLT_PREOP_CALLBACK_STATUS FLTAPI DenyReparseChange(_Inout_ PFLT_CALLBACK_DATA Data,
                                                   _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                   _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

/* ------------------------------------------------------------------------
 * Placeholder control requests: the service's device-control request that
 * creates, updates and converts placeholders, carried out on its own
 * thread below the filter's instance.
 * ---------------------------------------------------------------------- */
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI PreDeviceControl(_Inout_ PFLT_CALLBACK_DATA Data,
                                                  _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                  _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI HandlePlaceholderControl(_Inout_ PFLT_CALLBACK_DATA Data,
                                                          _In_ PCFLT_RELATED_OBJECTS FltObjects,
                                                          _Flt_CompletionContext_Outptr_ PVOID *CompletionContext);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS PlaceholderCreate(_In_ PFLT_CALLBACK_DATA Data, _Inout_updates_bytes_(PayloadLength) PUCHAR Payload,
                           _In_ ULONG PayloadLength);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS PlaceholderConvert(_In_ PFLT_CALLBACK_DATA Data, _Inout_updates_bytes_(PayloadLength) PUCHAR Payload,
                            _In_ ULONG PayloadLength);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS PlaceholderUpdate(_In_ PFLT_CALLBACK_DATA Data, _Inout_updates_bytes_(PayloadLength) PUCHAR Payload,
                           _In_ ULONG PayloadLength);
