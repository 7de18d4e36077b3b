/*
 * fltKernel.h - filter-manager declarations for kernel-mode minifilters.
 *
 * Written from the filter manager's public documentation.  The one copy
 * serves both builds: the Windows x64 image (over the mingw-w64 driver-kit
 * headers) and the emulated platform (over emu/include).  The compile-time
 * checks at the end pin the x64 sizes and offsets that drivers and the
 * filter manager rely on; both builds must pass them.
 */
#pragma once

#include <ntifs.h>

/* IO_DRIVER_CREATE_CONTEXT as Windows 10 version 1607 and later lay it
   out: 40 bytes, ending with SiloContext.  Driver-kit headers older than
   that (the mingw-w64 ones) carry the earlier 32-byte record; the Windows
   build renames theirs out of the way on the command line
   (windows/build.sh), so that this one definition serves both builds. */
#ifdef IO_DRIVER_CREATE_CONTEXT
#undef _IO_DRIVER_CREATE_CONTEXT
#undef IO_DRIVER_CREATE_CONTEXT
#undef PIO_DRIVER_CREATE_CONTEXT
#endif
typedef struct _IO_DRIVER_CREATE_CONTEXT {
    CSHORT Size;
    struct _ECP_LIST *ExtraCreateParameter;
    PVOID DeviceObjectHint;
    PVOID TxnParameters;
    PVOID SiloContext;
} IO_DRIVER_CREATE_CONTEXT, *PIO_DRIVER_CREATE_CONTEXT;

#ifdef __cplusplus
extern "C" {
#endif

#ifndef FLTAPI
#define FLTAPI NTAPI
#endif
#ifndef POINTER_ALIGNMENT
#define POINTER_ALIGNMENT DECLSPEC_ALIGN(8)
#endif

/* The annotation of a pre-operation's completion context, from the
   driver kit's fltKernel.h; older SAL headers lack it. */
#ifndef _Flt_CompletionContext_Outptr_
#define _Flt_CompletionContext_Outptr_ _Outptr_result_maybenull_
#endif

/* Annotations of freed pointers, of locks and of IRQL, from the driver
   kit's SAL headers; the mingw-w64 ones lack some of them.  They only
   inform code analysis, so where they are missing they expand to
   nothing. */
#ifndef _Frees_ptr_
#define _Frees_ptr_
#endif
#ifndef _Frees_ptr_opt_
#define _Frees_ptr_opt_
#endif
#ifndef _Guarded_by_
#define _Guarded_by_(Lock)
#endif
#ifndef _Acquires_lock_
#define _Acquires_lock_(Lock)
#endif
#ifndef _Acquires_exclusive_lock_
#define _Acquires_exclusive_lock_(Lock)
#endif
#ifndef _Releases_lock_
#define _Releases_lock_(Lock)
#endif
#ifndef _Releases_exclusive_lock_
#define _Releases_exclusive_lock_(Lock)
#endif
#ifndef _Requires_lock_held_
#define _Requires_lock_held_(Lock)
#endif
#ifndef _Requires_lock_not_held_
#define _Requires_lock_not_held_(Lock)
#endif
#ifndef _Requires_exclusive_lock_held_
#define _Requires_exclusive_lock_held_(Lock)
#endif
#ifndef _IRQL_requires_max_
#define _IRQL_requires_max_(Irql)
#endif

/* Pool-type flag for non-executable pool (Windows 8 on); older driver-kit
   headers, the mingw-w64 ones among them, lack it. */
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

/* Keeps a routine out of the compiler's stack-overrun checks, as
   __declspec(safebuffers) does: the routines that seed the cookie run
   while it changes.  Driver-kit headers for compilers without that
   declspec, the mingw-w64 ones among them, lack it. */
#ifndef DECLSPEC_SAFEBUFFERS
#define DECLSPEC_SAFEBUFFERS __attribute__((no_stack_protector))
#endif

/* The fast-fail code of a stack-cookie mismatch (ntddk.h of newer kits). */
#ifndef FAST_FAIL_STACK_COOKIE_CHECK_FAILURE
#define FAST_FAIL_STACK_COOKIE_CHECK_FAILURE 2
#endif

/* ------------------------------------------------------------------------
 * Opaque filter-manager objects.
 * ---------------------------------------------------------------------- */
typedef struct _FLT_FILTER *PFLT_FILTER;
typedef struct _FLT_VOLUME *PFLT_VOLUME;
typedef struct _FLT_INSTANCE *PFLT_INSTANCE;
typedef struct _FLT_PORT *PFLT_PORT;
typedef struct _KTRANSACTION *PKTRANSACTION_FLT;
typedef PVOID PFLT_CONTEXT;

#define NULL_CONTEXT ((PFLT_CONTEXT)NULL)

/* Major functions that exist only for filters. */
#define IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-1)
#define IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION ((UCHAR)-2)
#define IRP_MJ_ACQUIRE_FOR_MOD_WRITE ((UCHAR)-3)
#define IRP_MJ_RELEASE_FOR_MOD_WRITE ((UCHAR)-4)
#define IRP_MJ_ACQUIRE_FOR_CC_FLUSH ((UCHAR)-5)
#define IRP_MJ_RELEASE_FOR_CC_FLUSH ((UCHAR)-6)
#define IRP_MJ_QUERY_OPEN ((UCHAR)-7)
#define IRP_MJ_FAST_IO_CHECK_IF_POSSIBLE ((UCHAR)-13)
#define IRP_MJ_NETWORK_QUERY_OPEN ((UCHAR)-14)
#define IRP_MJ_MDL_READ ((UCHAR)-15)
#define IRP_MJ_MDL_READ_COMPLETE ((UCHAR)-16)
#define IRP_MJ_PREPARE_MDL_WRITE ((UCHAR)-17)
#define IRP_MJ_MDL_WRITE_COMPLETE ((UCHAR)-18)
#define IRP_MJ_VOLUME_MOUNT ((UCHAR)-19)
#define IRP_MJ_VOLUME_DISMOUNT ((UCHAR)-20)
#define IRP_MJ_OPERATION_END ((UCHAR)0x80)

/* ------------------------------------------------------------------------
 * File-system types of a volume.
 * ---------------------------------------------------------------------- */
typedef enum _FLT_FILESYSTEM_TYPE {
    FLT_FSTYPE_UNKNOWN,
    FLT_FSTYPE_RAW,
    FLT_FSTYPE_NTFS,
    FLT_FSTYPE_FAT,
    FLT_FSTYPE_CDFS,
    FLT_FSTYPE_UDFS,
    FLT_FSTYPE_LANMAN,
    FLT_FSTYPE_WEBDAV,
    FLT_FSTYPE_RDPDR,
    FLT_FSTYPE_NFS,
    FLT_FSTYPE_MS_NETWARE,
    FLT_FSTYPE_NETWARE,
    FLT_FSTYPE_BSUDF,
    FLT_FSTYPE_MUP,
    FLT_FSTYPE_RSFX,
    FLT_FSTYPE_ROXIO_UDF1,
    FLT_FSTYPE_ROXIO_UDF2,
    FLT_FSTYPE_ROXIO_UDF3,
    FLT_FSTYPE_TACIT,
    FLT_FSTYPE_FS_REC,
    FLT_FSTYPE_INCD,
    FLT_FSTYPE_INCD_FAT,
    FLT_FSTYPE_EXFAT,
    FLT_FSTYPE_PSFS,
    FLT_FSTYPE_GPFS,
    FLT_FSTYPE_NPFS,
    FLT_FSTYPE_MSFS,
    FLT_FSTYPE_CSVFS,
    FLT_FSTYPE_REFS,
    FLT_FSTYPE_OPENAFS,
    FLT_FSTYPE_CIMFS
} FLT_FILESYSTEM_TYPE, *PFLT_FILESYSTEM_TYPE;

/* ------------------------------------------------------------------------
 * Operation parameters.
 * ---------------------------------------------------------------------- */
typedef union _FLT_PARAMETERS {
    struct {
        PIO_SECURITY_CONTEXT SecurityContext;
        ULONG Options;
        USHORT POINTER_ALIGNMENT FileAttributes;
        USHORT ShareAccess;
        ULONG POINTER_ALIGNMENT EaLength;
        PVOID EaBuffer;
        LARGE_INTEGER AllocationSize;
    } Create;

    struct {
        ULONG Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PVOID ReadBuffer;
        PMDL MdlAddress;
    } Read;

    struct {
        ULONG Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PVOID WriteBuffer;
        PMDL MdlAddress;
    } Write;

    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
        PVOID InfoBuffer;
    } QueryFileInformation;

    struct {
        ULONG Length;
        FILE_INFORMATION_CLASS POINTER_ALIGNMENT FileInformationClass;
        PFILE_OBJECT ParentOfTarget;
        union {
            struct {
                BOOLEAN ReplaceIfExists;
                BOOLEAN AdvanceOnly;
            };
            ULONG ClusterCount;
            HANDLE DeleteHandle;
        };
        PVOID InfoBuffer;
    } SetFileInformation;

    struct {
        ULONG Length;
        FS_INFORMATION_CLASS POINTER_ALIGNMENT FsInformationClass;
        PVOID VolumeBuffer;
    } QueryVolumeInformation;

    union {
        struct {
            ULONG Length;
            PUNICODE_STRING FileName;
            FILE_INFORMATION_CLASS FileInformationClass;
            ULONG POINTER_ALIGNMENT FileIndex;
            PVOID DirectoryBuffer;
            PMDL MdlAddress;
        } QueryDirectory;

        struct {
            ULONG Length;
            ULONG POINTER_ALIGNMENT CompletionFilter;
            ULONG POINTER_ALIGNMENT Spare1;
            ULONG POINTER_ALIGNMENT Spare2;
            PVOID DirectoryBuffer;
            PMDL MdlAddress;
        } NotifyDirectory;
    } DirectoryControl;

    union {
        struct {
            PVPB Vpb;
            PDEVICE_OBJECT DeviceObject;
        } VerifyVolume;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
        } Common;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID InputBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Neither;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID SystemBuffer;
        } Buffered;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT FsControlCode;
            PVOID InputSystemBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Direct;
    } FileSystemControl;

    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
        } Common;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID InputBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Neither;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID SystemBuffer;
        } Buffered;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID InputSystemBuffer;
            PVOID OutputBuffer;
            PMDL OutputMdlAddress;
        } Direct;

        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID InputBuffer;
            PVOID OutputBuffer;
        } FastIo;
    } DeviceIoControl;

    struct {
        PLARGE_INTEGER Length;
        ULONG POINTER_ALIGNMENT Key;
        LARGE_INTEGER ByteOffset;
        PEPROCESS ProcessId;
        BOOLEAN FailImmediately;
        BOOLEAN ExclusiveLock;
    } LockControl;

    struct {
        FS_FILTER_SECTION_SYNC_TYPE SyncType;
        ULONG PageProtection;
        PVOID OutputInformation;
        ULONG Flags;
        ACCESS_MASK DesiredAccess;
    } AcquireForSectionSynchronization;

    struct {
        PVOID Argument1;
        PVOID Argument2;
        PVOID Argument3;
        PVOID Argument4;
        PVOID Argument5;
        LARGE_INTEGER Argument6;
    } Others;
} FLT_PARAMETERS, *PFLT_PARAMETERS;

typedef struct _FLT_IO_PARAMETER_BLOCK {
    ULONG IrpFlags;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR OperationFlags;
    UCHAR Reserved;
    PFILE_OBJECT TargetFileObject;
    PFLT_INSTANCE TargetInstance;
    FLT_PARAMETERS Parameters;
} FLT_IO_PARAMETER_BLOCK, *PFLT_IO_PARAMETER_BLOCK;

typedef ULONG FLT_CALLBACK_DATA_FLAGS;
#define FLTFL_CALLBACK_DATA_REISSUE_MASK 0x0000FFFF
#define FLTFL_CALLBACK_DATA_IRP_OPERATION 0x00000001
#define FLTFL_CALLBACK_DATA_FAST_IO_OPERATION 0x00000002
#define FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION 0x00000004
#define FLTFL_CALLBACK_DATA_SYSTEM_BUFFER 0x00000008
#define FLTFL_CALLBACK_DATA_GENERATED_IO 0x00010000
#define FLTFL_CALLBACK_DATA_REISSUED_IO 0x00020000
#define FLTFL_CALLBACK_DATA_DRAINING_IO 0x00040000
#define FLTFL_CALLBACK_DATA_POST_OPERATION 0x00080000
#define FLTFL_CALLBACK_DATA_NEW_SYSTEM_BUFFER 0x00100000
#define FLTFL_CALLBACK_DATA_DIRTY 0x80000000

typedef struct _FLT_TAG_DATA_BUFFER *PFLT_TAG_DATA_BUFFER;

typedef struct _FLT_CALLBACK_DATA {
    FLT_CALLBACK_DATA_FLAGS Flags;
    PETHREAD CONST Thread;
    PFLT_IO_PARAMETER_BLOCK CONST Iopb;
    IO_STATUS_BLOCK IoStatus;
    PFLT_TAG_DATA_BUFFER TagData;
    union {
        struct {
            LIST_ENTRY QueueLinks;
            PVOID QueueContext[2];
        };
        PVOID FilterContext[4];
    };
    KPROCESSOR_MODE RequestorMode;
} FLT_CALLBACK_DATA, *PFLT_CALLBACK_DATA;

typedef struct _FLT_RELATED_OBJECTS {
    USHORT CONST Size;
    USHORT CONST TransactionContext;
    PFLT_FILTER CONST Filter;
    PFLT_VOLUME CONST Volume;
    PFLT_INSTANCE CONST Instance;
    PFILE_OBJECT CONST FileObject;
    PKTRANSACTION_FLT CONST Transaction;
} FLT_RELATED_OBJECTS, *PFLT_RELATED_OBJECTS;
typedef CONST struct _FLT_RELATED_OBJECTS *PCFLT_RELATED_OBJECTS;

/* ------------------------------------------------------------------------
 * Callback results and flags.
 * ---------------------------------------------------------------------- */
typedef enum _FLT_PREOP_CALLBACK_STATUS {
    FLT_PREOP_SUCCESS_WITH_CALLBACK,
    FLT_PREOP_SUCCESS_NO_CALLBACK,
    FLT_PREOP_PENDING,
    FLT_PREOP_DISALLOW_FASTIO,
    FLT_PREOP_COMPLETE,
    FLT_PREOP_SYNCHRONIZE,
    FLT_PREOP_DISALLOW_FSFILTER_IO
} FLT_PREOP_CALLBACK_STATUS, *PFLT_PREOP_CALLBACK_STATUS;

typedef enum _FLT_POSTOP_CALLBACK_STATUS {
    FLT_POSTOP_FINISHED_PROCESSING,
    FLT_POSTOP_MORE_PROCESSING_REQUIRED,
    FLT_POSTOP_DISALLOW_FSFILTER_IO
} FLT_POSTOP_CALLBACK_STATUS, *PFLT_POSTOP_CALLBACK_STATUS;

typedef ULONG FLT_POST_OPERATION_FLAGS;
#define FLTFL_POST_OPERATION_DRAINING 0x00000001

typedef ULONG FLT_FILTER_UNLOAD_FLAGS;
#define FLTFL_FILTER_UNLOAD_MANDATORY 0x00000001

typedef ULONG FLT_INSTANCE_SETUP_FLAGS;
#define FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT 0x00000001
#define FLTFL_INSTANCE_SETUP_MANUAL_ATTACHMENT 0x00000002
#define FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME 0x00000004
#define FLTFL_INSTANCE_SETUP_DETACHED_VOLUME 0x00000008

typedef ULONG FLT_INSTANCE_QUERY_TEARDOWN_FLAGS;

typedef ULONG FLT_INSTANCE_TEARDOWN_FLAGS;
#define FLTFL_INSTANCE_TEARDOWN_MANUAL 0x00000001
#define FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD 0x00000002
#define FLTFL_INSTANCE_TEARDOWN_MANDATORY_FILTER_UNLOAD 0x00000004
#define FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT 0x00000008
#define FLTFL_INSTANCE_TEARDOWN_INTERNAL_ERROR 0x00000010

typedef FLT_PREOP_CALLBACK_STATUS (FLTAPI *PFLT_PRE_OPERATION_CALLBACK)(
    _Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects, _Outptr_result_maybenull_ PVOID *CompletionContext);
typedef FLT_POSTOP_CALLBACK_STATUS (FLTAPI *PFLT_POST_OPERATION_CALLBACK)(
    _Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects, _In_opt_ PVOID CompletionContext, _In_ FLT_POST_OPERATION_FLAGS Flags);
typedef NTSTATUS (FLTAPI *PFLT_FILTER_UNLOAD_CALLBACK)(FLT_FILTER_UNLOAD_FLAGS Flags);
typedef NTSTATUS (FLTAPI *PFLT_INSTANCE_SETUP_CALLBACK)(
    _In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_SETUP_FLAGS Flags, _In_ DEVICE_TYPE VolumeDeviceType, _In_ FLT_FILESYSTEM_TYPE VolumeFilesystemType);
typedef NTSTATUS (FLTAPI *PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK)(
    _In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags);
typedef VOID (FLTAPI *PFLT_INSTANCE_TEARDOWN_CALLBACK)(
    _In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_TEARDOWN_FLAGS Reason);
typedef PVOID PFLT_GENERATE_FILE_NAME;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT;
typedef PVOID PFLT_NORMALIZE_CONTEXT_CLEANUP;
typedef PVOID PFLT_TRANSACTION_NOTIFICATION_CALLBACK;
typedef PVOID PFLT_NORMALIZE_NAME_COMPONENT_EX;
typedef PVOID PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK;

/* ------------------------------------------------------------------------
 * Contexts.
 * ---------------------------------------------------------------------- */
typedef USHORT FLT_CONTEXT_TYPE;
#define FLT_VOLUME_CONTEXT 0x0001
#define FLT_INSTANCE_CONTEXT 0x0002
#define FLT_FILE_CONTEXT 0x0004
#define FLT_STREAM_CONTEXT 0x0008
#define FLT_STREAMHANDLE_CONTEXT 0x0010
#define FLT_TRANSACTION_CONTEXT 0x0020
#define FLT_SECTION_CONTEXT 0x0040
#define FLT_CONTEXT_END 0xffff
#define FLT_ALL_CONTEXTS (FLT_VOLUME_CONTEXT | FLT_INSTANCE_CONTEXT | FLT_FILE_CONTEXT | FLT_STREAM_CONTEXT | \
                          FLT_STREAMHANDLE_CONTEXT | FLT_TRANSACTION_CONTEXT | FLT_SECTION_CONTEXT)

typedef USHORT FLT_CONTEXT_REGISTRATION_FLAGS;
#define FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH 0x0001
#define FLT_VARIABLE_SIZED_CONTEXTS ((SIZE_T)-1)

typedef VOID (FLTAPI *PFLT_CONTEXT_CLEANUP_CALLBACK)(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType);
typedef PVOID (FLTAPI *PFLT_CONTEXT_ALLOCATE_CALLBACK)(_In_ POOL_TYPE PoolType, _In_ SIZE_T Size, _In_ FLT_CONTEXT_TYPE ContextType);
typedef VOID (FLTAPI *PFLT_CONTEXT_FREE_CALLBACK)(_In_ PVOID Pool, _In_ FLT_CONTEXT_TYPE ContextType);

typedef struct _FLT_CONTEXT_REGISTRATION {
    FLT_CONTEXT_TYPE ContextType;
    FLT_CONTEXT_REGISTRATION_FLAGS Flags;
    PFLT_CONTEXT_CLEANUP_CALLBACK ContextCleanupCallback;
    SIZE_T Size;
    ULONG PoolTag;
    PFLT_CONTEXT_ALLOCATE_CALLBACK ContextAllocateCallback;
    PFLT_CONTEXT_FREE_CALLBACK ContextFreeCallback;
    PVOID Reserved1;
} FLT_CONTEXT_REGISTRATION, *PFLT_CONTEXT_REGISTRATION;
typedef const FLT_CONTEXT_REGISTRATION *PCFLT_CONTEXT_REGISTRATION;

typedef enum _FLT_SET_CONTEXT_OPERATION {
    FLT_SET_CONTEXT_REPLACE_IF_EXISTS,
    FLT_SET_CONTEXT_KEEP_IF_EXISTS
} FLT_SET_CONTEXT_OPERATION, *PFLT_SET_CONTEXT_OPERATION;

/* ------------------------------------------------------------------------
 * Registration.
 * ---------------------------------------------------------------------- */
typedef ULONG FLT_OPERATION_REGISTRATION_FLAGS;
#define FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO 0x00000001
#define FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO 0x00000002
#define FLTFL_OPERATION_REGISTRATION_SKIP_NON_DASD_IO 0x00000004
#define FLTFL_OPERATION_REGISTRATION_SKIP_NON_CACHED_NON_PAGING_IO 0x00000008

typedef struct _FLT_OPERATION_REGISTRATION {
    UCHAR MajorFunction;
    FLT_OPERATION_REGISTRATION_FLAGS Flags;
    PFLT_PRE_OPERATION_CALLBACK PreOperation;
    PFLT_POST_OPERATION_CALLBACK PostOperation;
    PVOID Reserved1;
} FLT_OPERATION_REGISTRATION, *PFLT_OPERATION_REGISTRATION;

typedef ULONG FLT_REGISTRATION_FLAGS;
#define FLTFL_REGISTRATION_DO_NOT_SUPPORT_SERVICE_STOP 0x00000001
#define FLTFL_REGISTRATION_SUPPORT_NPFS_MSFS 0x00000002
#define FLTFL_REGISTRATION_SUPPORT_DAX_VOLUME 0x00000004

#define FLT_REGISTRATION_VERSION_0200 0x0200
#define FLT_REGISTRATION_VERSION_0201 0x0201
#define FLT_REGISTRATION_VERSION_0202 0x0202
#define FLT_REGISTRATION_VERSION_0203 0x0203
#define FLT_REGISTRATION_VERSION FLT_REGISTRATION_VERSION_0203

typedef struct _FLT_REGISTRATION {
    USHORT Size;
    USHORT Version;
    FLT_REGISTRATION_FLAGS Flags;
    const FLT_CONTEXT_REGISTRATION *ContextRegistration;
    const FLT_OPERATION_REGISTRATION *OperationRegistration;
    PFLT_FILTER_UNLOAD_CALLBACK FilterUnloadCallback;
    PFLT_INSTANCE_SETUP_CALLBACK InstanceSetupCallback;
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK InstanceQueryTeardownCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownStartCallback;
    PFLT_INSTANCE_TEARDOWN_CALLBACK InstanceTeardownCompleteCallback;
    PFLT_GENERATE_FILE_NAME GenerateFileNameCallback;
    PFLT_NORMALIZE_NAME_COMPONENT NormalizeNameComponentCallback;
    PFLT_NORMALIZE_CONTEXT_CLEANUP NormalizeContextCleanupCallback;
    PFLT_TRANSACTION_NOTIFICATION_CALLBACK TransactionNotificationCallback;
    PFLT_NORMALIZE_NAME_COMPONENT_EX NormalizeNameComponentExCallback;
    PFLT_SECTION_CONFLICT_NOTIFICATION_CALLBACK SectionNotificationCallback;
} FLT_REGISTRATION, *PFLT_REGISTRATION;

/* ------------------------------------------------------------------------
 * File names.
 * ---------------------------------------------------------------------- */
typedef ULONG FLT_FILE_NAME_OPTIONS;
#define FLT_FILE_NAME_NORMALIZED 0x01
#define FLT_FILE_NAME_OPENED 0x02
#define FLT_FILE_NAME_SHORT 0x03
#define FLT_FILE_NAME_QUERY_DEFAULT 0x0100
#define FLT_FILE_NAME_QUERY_CACHE_ONLY 0x0200
#define FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY 0x0300
#define FLT_FILE_NAME_QUERY_ALWAYS_ALLOW_CACHE_LOOKUP 0x0400
#define FLT_FILE_NAME_REQUEST_FROM_CURRENT_PROVIDER 0x01000000
#define FLT_FILE_NAME_DO_NOT_CACHE 0x02000000
#define FLT_FILE_NAME_ALLOW_QUERY_ON_REPARSE 0x04000000

typedef USHORT FLT_FILE_NAME_PARSED_FLAGS;
#define FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT 0x0001
#define FLTFL_FILE_NAME_PARSED_EXTENSION 0x0002
#define FLTFL_FILE_NAME_PARSED_STREAM 0x0004
#define FLTFL_FILE_NAME_PARSED_PARENT_DIR 0x0008

typedef struct _FLT_FILE_NAME_INFORMATION {
    USHORT Size;
    FLT_FILE_NAME_PARSED_FLAGS NamesParsed;
    FLT_FILE_NAME_OPTIONS Format;
    UNICODE_STRING Name;
    UNICODE_STRING Volume;
    UNICODE_STRING Share;
    UNICODE_STRING Extension;
    UNICODE_STRING Stream;
    UNICODE_STRING FinalComponent;
    UNICODE_STRING ParentDir;
} FLT_FILE_NAME_INFORMATION, *PFLT_FILE_NAME_INFORMATION;

/* ------------------------------------------------------------------------
 * Communication ports.
 * ---------------------------------------------------------------------- */
#define FLT_PORT_CONNECT 0x0001
#define FLT_PORT_ALL_ACCESS (FLT_PORT_CONNECT | STANDARD_RIGHTS_ALL)

typedef NTSTATUS (FLTAPI *PFLT_CONNECT_NOTIFY)(
    _In_ PFLT_PORT ClientPort, _In_opt_ PVOID ServerPortCookie, _In_reads_bytes_opt_(SizeOfContext) PVOID ConnectionContext,
    _In_ ULONG SizeOfContext, _Outptr_result_maybenull_ PVOID *ConnectionPortCookie);
typedef VOID (FLTAPI *PFLT_DISCONNECT_NOTIFY)(_In_opt_ PVOID ConnectionCookie);
typedef NTSTATUS (FLTAPI *PFLT_MESSAGE_NOTIFY)(
    _In_opt_ PVOID PortCookie, _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer, _In_ ULONG InputBufferLength,
    _Out_writes_bytes_to_opt_(OutputBufferLength, *ReturnOutputBufferLength) PVOID OutputBuffer, _In_ ULONG OutputBufferLength,
    _Out_ PULONG ReturnOutputBufferLength);

/* ------------------------------------------------------------------------
 * Routines.
 * ---------------------------------------------------------------------- */
NTSTATUS FLTAPI FltRegisterFilter(_In_ PDRIVER_OBJECT Driver, _In_ const FLT_REGISTRATION *Registration, _Outptr_ PFLT_FILTER *RetFilter);
VOID FLTAPI FltUnregisterFilter(_In_ PFLT_FILTER Filter);
NTSTATUS FLTAPI FltStartFiltering(_In_ PFLT_FILTER Filter);

NTSTATUS FLTAPI FltAllocateContext(_In_ PFLT_FILTER Filter, _In_ FLT_CONTEXT_TYPE ContextType, _In_ SIZE_T ContextSize, _In_ POOL_TYPE PoolType, _Outptr_ PFLT_CONTEXT *ReturnedContext);
VOID FLTAPI FltReferenceContext(_In_ PFLT_CONTEXT Context);
VOID FLTAPI FltReleaseContext(_In_ PFLT_CONTEXT Context);
VOID FLTAPI FltDeleteContext(_In_ PFLT_CONTEXT Context);
NTSTATUS FLTAPI FltSetInstanceContext(_In_ PFLT_INSTANCE Instance, _In_ FLT_SET_CONTEXT_OPERATION Operation, _In_ PFLT_CONTEXT NewContext, _Outptr_opt_result_maybenull_ PFLT_CONTEXT *OldContext);
NTSTATUS FLTAPI FltGetInstanceContext(_In_ PFLT_INSTANCE Instance, _Outptr_ PFLT_CONTEXT *Context);
NTSTATUS FLTAPI FltDeleteInstanceContext(_In_ PFLT_INSTANCE Instance, _Outptr_opt_result_maybenull_ PFLT_CONTEXT *OldContext);
NTSTATUS FLTAPI FltSetStreamContext(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ FLT_SET_CONTEXT_OPERATION Operation, _In_ PFLT_CONTEXT NewContext, _Outptr_opt_result_maybenull_ PFLT_CONTEXT *OldContext);
NTSTATUS FLTAPI FltGetStreamContext(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _Outptr_ PFLT_CONTEXT *Context);

NTSTATUS FLTAPI FltGetVolumeGuidName(_In_ PFLT_VOLUME Volume, _Inout_ PUNICODE_STRING VolumeGuidName, _Out_opt_ PULONG BufferSizeNeeded);
NTSTATUS FLTAPI FltGetVolumeName(_In_ PFLT_VOLUME Volume, _Inout_opt_ PUNICODE_STRING VolumeName, _Out_opt_ PULONG BufferSizeNeeded);
NTSTATUS FLTAPI FltGetVolumeFromFileObject(_In_ PFLT_FILTER Filter, _In_ PFILE_OBJECT FileObject, _Outptr_ PFLT_VOLUME *RetVolume);
NTSTATUS FLTAPI FltGetVolumeInstanceFromName(_In_opt_ PFLT_FILTER Filter, _In_ PFLT_VOLUME Volume, _In_opt_ PCUNICODE_STRING InstanceName, _Outptr_ PFLT_INSTANCE *RetInstance);
VOID FLTAPI FltObjectDereference(_Inout_ PVOID FltObject);

NTSTATUS FLTAPI FltGetFileNameInformation(_In_ PFLT_CALLBACK_DATA CallbackData, _In_ FLT_FILE_NAME_OPTIONS NameOptions, _Outptr_ PFLT_FILE_NAME_INFORMATION *FileNameInformation);
NTSTATUS FLTAPI FltGetFileNameInformationUnsafe(_In_ PFILE_OBJECT FileObject, _In_opt_ PFLT_INSTANCE Instance, _In_ FLT_FILE_NAME_OPTIONS NameOptions, _Outptr_ PFLT_FILE_NAME_INFORMATION *FileNameInformation);
NTSTATUS FLTAPI FltParseFileNameInformation(_Inout_ PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReferenceFileNameInformation(_In_ PFLT_FILE_NAME_INFORMATION FileNameInformation);
VOID FLTAPI FltReleaseFileNameInformation(_In_ PFLT_FILE_NAME_INFORMATION FileNameInformation);
NTSTATUS FLTAPI FltGetDestinationFileNameInformation(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
    _In_opt_ HANDLE RootDirectory, _In_reads_bytes_(FileNameLength) PWSTR FileName, _In_ ULONG FileNameLength,
    _In_ FLT_FILE_NAME_OPTIONS NameOptions, _Outptr_ PFLT_FILE_NAME_INFORMATION *RetFileNameInformation);
NTSTATUS FLTAPI FltIsDirectory(_In_ PFILE_OBJECT FileObject, _In_ PFLT_INSTANCE Instance, _Out_ PBOOLEAN IsDirectory);

NTSTATUS FLTAPI FltCreateCommunicationPort(_In_ PFLT_FILTER Filter, _Outptr_ PFLT_PORT *ServerPort, _In_ POBJECT_ATTRIBUTES ObjectAttributes,
    _In_opt_ PVOID ServerPortCookie, _In_ PFLT_CONNECT_NOTIFY ConnectNotifyCallback, _In_ PFLT_DISCONNECT_NOTIFY DisconnectNotifyCallback,
    _In_opt_ PFLT_MESSAGE_NOTIFY MessageNotifyCallback, _In_ LONG MaxConnections);
VOID FLTAPI FltCloseCommunicationPort(_In_ PFLT_PORT ServerPort);
VOID FLTAPI FltCloseClientPort(_In_ PFLT_FILTER Filter, _Outptr_ PFLT_PORT *ClientPort);
NTSTATUS FLTAPI FltSendMessage(_In_ PFLT_FILTER Filter, _In_ PFLT_PORT *ClientPort, _In_reads_bytes_(SenderBufferLength) PVOID SenderBuffer,
    _In_ ULONG SenderBufferLength, _Out_writes_bytes_opt_(*ReplyLength) PVOID ReplyBuffer, _Inout_opt_ PULONG ReplyLength, _In_opt_ PLARGE_INTEGER Timeout);

/* ------------------------------------------------------------------------
 * File-system requests a filter issues at its own instance: they reach
 * only the filters below it and the file system.
 * ---------------------------------------------------------------------- */
NTSTATUS FLTAPI FltQueryInformationFile(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
    _Out_writes_bytes_to_(Length, *LengthReturned) PVOID FileInformation, _In_ ULONG Length,
    _In_ FILE_INFORMATION_CLASS FileInformationClass, _Out_opt_ PULONG LengthReturned);
NTSTATUS FLTAPI FltSetInformationFile(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
    _In_reads_bytes_(Length) PVOID FileInformation, _In_ ULONG Length, _In_ FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS FLTAPI FltFsControlFile(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject, _In_ ULONG FsControlCode,
    _In_reads_bytes_opt_(InputBufferLength) PVOID InputBuffer, _In_ ULONG InputBufferLength,
    _Out_writes_bytes_to_opt_(OutputBufferLength, *LengthReturned) PVOID OutputBuffer, _In_ ULONG OutputBufferLength,
    _Out_opt_ PULONG LengthReturned);
NTSTATUS FLTAPI FltTagFile(_In_ PFLT_INSTANCE InitiatingInstance, _In_ PFILE_OBJECT FileObject, _In_ ULONG FileTag,
    _In_opt_ GUID *Guid, _In_reads_bytes_(DataBufferLength) PVOID DataBuffer, _In_ USHORT DataBufferLength);
NTSTATUS FLTAPI FltUntagFile(_In_ PFLT_INSTANCE InitiatingInstance, _In_ PFILE_OBJECT FileObject, _In_ ULONG FileTag,
    _In_opt_ GUID *Guid);
NTSTATUS FLTAPI FltDeleteStreamContext(_In_ PFLT_INSTANCE Instance, _In_ PFILE_OBJECT FileObject,
    _Outptr_opt_result_maybenull_ PFLT_CONTEXT *OldContext);

/* A create issued by a filter: it reaches only the instances below
   Instance and the file system.  FltClose closes the handle it returned. */
NTSTATUS FLTAPI FltCreateFileEx2(_In_ PFLT_FILTER Filter, _In_opt_ PFLT_INSTANCE Instance,
    _Out_ PHANDLE FileHandle, _Outptr_opt_ PFILE_OBJECT *FileObject, _In_ ACCESS_MASK DesiredAccess,
    _In_ POBJECT_ATTRIBUTES ObjectAttributes, _Out_ PIO_STATUS_BLOCK IoStatusBlock,
    _In_opt_ PLARGE_INTEGER AllocationSize, _In_ ULONG FileAttributes, _In_ ULONG ShareAccess,
    _In_ ULONG CreateDisposition, _In_ ULONG CreateOptions, _In_reads_bytes_opt_(EaLength) PVOID EaBuffer,
    _In_ ULONG EaLength, _In_ ULONG Flags, _In_opt_ PIO_DRIVER_CREATE_CONTEXT DriverContext);
NTSTATUS FLTAPI FltClose(_In_ HANDLE FileHandle);

/* ------------------------------------------------------------------------
 * Extra create parameters.
 * ---------------------------------------------------------------------- */
typedef VOID (FLTAPI *PFSRTL_EXTRA_CREATE_PARAMETER_CLEANUP_CALLBACK)(_Inout_ PVOID EcpContext, _In_ LPCGUID EcpType);

NTSTATUS FLTAPI FltAllocateExtraCreateParameterList(_In_ PFLT_FILTER Filter, _In_ ULONG Flags,
    _Outptr_ PECP_LIST *EcpList);
NTSTATUS FLTAPI FltAllocateExtraCreateParameter(_In_ PFLT_FILTER Filter, _In_ LPCGUID EcpType, _In_ ULONG SizeOfContext,
    _In_ ULONG Flags, _In_opt_ PFSRTL_EXTRA_CREATE_PARAMETER_CLEANUP_CALLBACK CleanupCallback, _In_ ULONG PoolTag,
    _Outptr_ PVOID *EcpContext);
NTSTATUS FLTAPI FltInsertExtraCreateParameter(_In_ PFLT_FILTER Filter, _Inout_ PECP_LIST EcpList, _Inout_ PVOID EcpContext);
NTSTATUS FLTAPI FltFindExtraCreateParameter(_In_ PFLT_FILTER Filter, _In_ PECP_LIST EcpList, _In_ LPCGUID EcpType,
    _Outptr_opt_ PVOID *EcpContext, _Out_opt_ ULONG *EcpContextSize);
VOID FLTAPI FltFreeExtraCreateParameterList(_In_ PFLT_FILTER Filter, _In_ PECP_LIST EcpList);
VOID FLTAPI FltFreeExtraCreateParameter(_In_ PFLT_FILTER Filter, _In_ PVOID EcpContext);
NTSTATUS FLTAPI FltGetEcpListFromCallbackData(_In_ PFLT_FILTER Filter, _In_ PFLT_CALLBACK_DATA CallbackData,
    _Outptr_result_maybenull_ PECP_LIST *EcpList);

/* ------------------------------------------------------------------------
 * Operations in flight: pended operations, cancellation, and the filter's
 * own reads and writes.
 * ---------------------------------------------------------------------- */
#define FLT_IS_IRP_OPERATION(Data) (((Data)->Flags & FLTFL_CALLBACK_DATA_IRP_OPERATION) != 0)
#define FLT_IS_FASTIO_OPERATION(Data) (((Data)->Flags & FLTFL_CALLBACK_DATA_FAST_IO_OPERATION) != 0)
#define FLT_IS_FS_FILTER_OPERATION(Data) (((Data)->Flags & FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION) != 0)

typedef ULONG FLT_IO_OPERATION_FLAGS;
#define FLTFL_IO_OPERATION_NON_CACHED 0x00000001
#define FLTFL_IO_OPERATION_PAGING 0x00000002
#define FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET 0x00000004
#define FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING 0x00000008

typedef VOID (FLTAPI *PFLT_COMPLETE_CANCELED_CALLBACK)(_In_ PFLT_CALLBACK_DATA CallbackData);
typedef VOID (FLTAPI *PFLT_COMPLETED_ASYNC_IO_CALLBACK)(_In_ PFLT_CALLBACK_DATA CallbackData, _In_ PFLT_CONTEXT Context);

VOID FLTAPI FltCompletePendedPreOperation(_In_ PFLT_CALLBACK_DATA CallbackData,
    _In_ FLT_PREOP_CALLBACK_STATUS CallbackStatus, _In_opt_ PVOID Context);
VOID FLTAPI FltCompletePendedPostOperation(_In_ PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FLTAPI FltSetCancelCompletion(_In_ PFLT_CALLBACK_DATA CallbackData,
    _In_ PFLT_COMPLETE_CANCELED_CALLBACK CanceledCallback);
NTSTATUS FLTAPI FltClearCancelCompletion(_In_ PFLT_CALLBACK_DATA CallbackData);
BOOLEAN FLTAPI FltIsIoCanceled(_In_ PFLT_CALLBACK_DATA CallbackData);
BOOLEAN FLTAPI FltIsOperationSynchronous(_In_ PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FLTAPI FltCancellableWaitForSingleObject(_In_ PVOID Object, _In_opt_ PLARGE_INTEGER Timeout,
    _In_opt_ PFLT_CALLBACK_DATA CallbackData);
NTSTATUS FLTAPI FltReadFile(_In_ PFLT_INSTANCE InitiatingInstance, _In_ PFILE_OBJECT FileObject,
    _In_opt_ PLARGE_INTEGER ByteOffset, _In_ ULONG Length, _Out_writes_bytes_to_(Length, *BytesRead) PVOID Buffer,
    _In_ FLT_IO_OPERATION_FLAGS Flags, _Out_opt_ PULONG BytesRead,
    _In_opt_ PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, _In_opt_ PVOID CallbackContext);
NTSTATUS FLTAPI FltWriteFile(_In_ PFLT_INSTANCE InitiatingInstance, _In_ PFILE_OBJECT FileObject,
    _In_opt_ PLARGE_INTEGER ByteOffset, _In_ ULONG Length, _In_reads_bytes_(Length) PVOID Buffer,
    _In_ FLT_IO_OPERATION_FLAGS Flags, _Out_opt_ PULONG BytesWritten,
    _In_opt_ PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, _In_opt_ PVOID CallbackContext);
NTSTATUS FLTAPI FltWriteFileEx(_In_ PFLT_INSTANCE InitiatingInstance, _In_ PFILE_OBJECT FileObject,
    _In_opt_ PLARGE_INTEGER ByteOffset, _In_ ULONG Length, _In_reads_bytes_opt_(Length) PVOID Buffer,
    _In_ FLT_IO_OPERATION_FLAGS Flags, _Out_opt_ PULONG BytesWritten,
    _In_opt_ PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, _In_opt_ PVOID CallbackContext,
    _In_opt_ PULONG Key, _In_opt_ PMDL Mdl);

/* ------------------------------------------------------------------------
 * Open-reparse lists: a create that names a tag (and, for non-Microsoft
 * tags, its GUID) opens a file carrying that reparse point instead of
 * failing with STATUS_REPARSE.
 * ---------------------------------------------------------------------- */
#ifndef OPEN_REPARSE_POINT_TAG_ENCOUNTERED
#define OPEN_REPARSE_POINT_TAG_ENCOUNTERED 0x00000001
#define OPEN_REPARSE_POINT_REPARSE_IF_CHILD_EXISTS 0x00000002
#define OPEN_REPARSE_POINT_REPARSE_IF_CHILD_NOT_EXISTS 0x00000004
#define OPEN_REPARSE_POINT_REPARSE_IF_DIRECTORY_FINAL_COMPONENT 0x00000008
#define OPEN_REPARSE_POINT_VERSION_EX 0x80000000

typedef struct _OPEN_REPARSE_LIST_ENTRY {
    LIST_ENTRY OpenReparseListEntry;
    ULONG ReparseTag;
    ULONG Flags;
    GUID ReparseGuid;
    USHORT Size;
    USHORT RemainingLength;
} OPEN_REPARSE_LIST_ENTRY, *POPEN_REPARSE_LIST_ENTRY;

typedef struct _OPEN_REPARSE_LIST {
    LIST_ENTRY OpenReparseList;
} OPEN_REPARSE_LIST, *POPEN_REPARSE_LIST;
#endif

NTSTATUS FLTAPI FltAddOpenReparseEntry(_In_ PFLT_FILTER Filter, _In_ PFLT_CALLBACK_DATA Data,
    _In_ POPEN_REPARSE_LIST_ENTRY OpenReparseEntry);
VOID FLTAPI FltRemoveOpenReparseEntry(_In_ PFLT_FILTER Filter, _In_ PFLT_CALLBACK_DATA Data,
    _In_ POPEN_REPARSE_LIST_ENTRY OpenReparseEntry);

#ifdef __cplusplus
}
#endif

/* ------------------------------------------------------------------------
 * Newer file-system definitions that not every driver kit's headers carry.
 * ---------------------------------------------------------------------- */
#ifndef FILE_ATTRIBUTE_PINNED
#define FILE_ATTRIBUTE_PINNED 0x00080000
#endif
#ifndef FILE_ATTRIBUTE_UNPINNED
#define FILE_ATTRIBUTE_UNPINNED 0x00100000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS
#define FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS 0x00400000
#endif
#ifndef USN_SOURCE_DATA_MANAGEMENT
#define USN_SOURCE_DATA_MANAGEMENT 0x00000001
#endif
#ifndef USN_SOURCE_AUXILIARY_DATA
#define USN_SOURCE_AUXILIARY_DATA 0x00000002
#endif
#ifndef USN_SOURCE_REPLICATION_MANAGEMENT
#define USN_SOURCE_REPLICATION_MANAGEMENT 0x00000004
#endif
#ifndef USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT
#define USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT 0x00000008
#endif

/* ------------------------------------------------------------------------
 * The x64 layout that drivers and the filter manager share.
 * ---------------------------------------------------------------------- */
#ifdef __cplusplus
#define FLT_LAYOUT_CHECK(e) static_assert((e), #e)
#else
#define FLT_LAYOUT_CHECK(e) _Static_assert((e), #e)
#endif
FLT_LAYOUT_CHECK(sizeof(FLT_REGISTRATION) == 0x70);
FLT_LAYOUT_CHECK(sizeof(FLT_OPERATION_REGISTRATION) == 0x20);
FLT_LAYOUT_CHECK(sizeof(FLT_CONTEXT_REGISTRATION) == 0x38);
FLT_LAYOUT_CHECK(sizeof(FLT_RELATED_OBJECTS) == 0x30);
FLT_LAYOUT_CHECK(offsetof(FLT_RELATED_OBJECTS, Instance) == 0x18);
FLT_LAYOUT_CHECK(sizeof(FLT_PARAMETERS) == 0x30);
FLT_LAYOUT_CHECK(sizeof(FLT_IO_PARAMETER_BLOCK) == 0x48);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, TargetFileObject) == 0x08);
FLT_LAYOUT_CHECK(offsetof(FLT_IO_PARAMETER_BLOCK, Parameters) == 0x18);
FLT_LAYOUT_CHECK(sizeof(FLT_CALLBACK_DATA) == 0x58);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, Iopb) == 0x10);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, IoStatus) == 0x18);
FLT_LAYOUT_CHECK(offsetof(FLT_CALLBACK_DATA, RequestorMode) == 0x50);
FLT_LAYOUT_CHECK(sizeof(FLT_FILE_NAME_INFORMATION) == 0x78);
FLT_LAYOUT_CHECK(offsetof(FLT_FILE_NAME_INFORMATION, Volume) == 0x18);
FLT_LAYOUT_CHECK(offsetof(FLT_PARAMETERS, SetFileInformation.InfoBuffer) == 0x20);
FLT_LAYOUT_CHECK(offsetof(FLT_PARAMETERS, DeviceIoControl.Neither.InputBuffer) == 0x18);
FLT_LAYOUT_CHECK(sizeof(OPEN_REPARSE_LIST_ENTRY) == 0x30);
FLT_LAYOUT_CHECK(sizeof(IO_DRIVER_CREATE_CONTEXT) == 40);

/* The atomic-create extra create parameter, which newer kits define in
   ntifs.h. */
#include "atomicCreateEcp.h"
