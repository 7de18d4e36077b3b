/*
 * ServiceProtocol.h - what the filter and its user-mode service share: the
 * port name, the connection context, the messages the filter sends, the
 * service's replies to them, and the commands the service sends back.
 *
 * Both sides compile this header: the driver after <fltKernel.h>, the
 * service after <windows.h>.  It therefore uses only the fixed-width types
 * both sets of headers define, and no kernel-only type.  Everything is
 * little-endian; every offset below is pinned by a compile-time check.
 */
#pragma once

/* The communication port the service connects to. */
#define ServerPortName L"\\VelquorFsPort"

/* ------------------------------------------------------------------------
 * Connection context: passed by the service when it connects, once per
 * sync-root directory.  At least 8 bytes; bytes after the first 8 are
 * ignored.  The handle must be valid in the connecting process and grant
 * FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES (0x86).
 * ---------------------------------------------------------------------- */
typedef struct _SERVICE_CONNECTION_CONTEXT {
    ULONGLONG DirectoryHandle;
} SERVICE_CONNECTION_CONTEXT, *PSERVICE_CONNECTION_CONTEXT;

#define ServiceConnectionContextSize 8
#define SyncRootDirectoryAccess 0x86

/* ------------------------------------------------------------------------
 * Filter-to-service messages.  One fixed-size record per message; every
 * byte that its type does not name is zero.  Strings are UTF-16LE, copied
 * by their length without a terminator, the rest of their field zero.
 * ---------------------------------------------------------------------- */
#define MessageTypeHydrate 34           /* a placeholder's data is needed; no reply */
#define MessageTypeMoveFileOut 35       /* may a file leave its sync root?  ServiceReply */
#define MessageTypeDeleteDirectory 36   /* may a directory be deleted?  ServiceReply */
#define MessageTypeRenameDirectory 37   /* may a directory be renamed?  ServiceReply */

#define ServiceVolumePathSize 100       /* \\?\Volume{GUID}\ is 98 bytes */
#define ServicePathSize 65536           /* any counted string fits: its Length is 16 bits */
#define ServiceReparseDataSize 1024     /* the most reparse data a message carries */

/* The u64 fields of the hydrate message lie at offsets that are multiples of
   8 in the whole record, but the per-type part starts at 65644, which is
   not; packing on 4 keeps that part where the record puts it. */
#pragma pack(push, 4)

typedef struct _SERVICE_HYDRATE_MESSAGE {
    UCHAR ReparseData[ServiceReparseDataSize];  /* the placeholder's reparse data */
    USHORT ReparseDataLength;                   /* valid bytes in ReparseData, 0 to 1024 */
    USHORT Reserved1;
    ULONG ThreadId;                             /* low 32 bits of the waiting thread's id */
    ULONG Reserved2;
    LONGLONG FileSize;                          /* end of file when the request was made */
    ULONGLONG RequestId;                        /* quoted back in the service's commands */
    ULONG ProcessId;                            /* low 32 bits of that thread's process id */
} SERVICE_HYDRATE_MESSAGE, *PSERVICE_HYDRATE_MESSAGE;

typedef struct _SERVICE_MOVE_FILE_OUT_MESSAGE {
    WCHAR DestinationPath[ServicePathSize / 2]; /* volume-relative destination */
    UCHAR ReparseData[ServiceReparseDataSize];  /* the file's reparse data, if any */
    USHORT ReparseDataLength;
    USHORT Reserved;
} SERVICE_MOVE_FILE_OUT_MESSAGE, *PSERVICE_MOVE_FILE_OUT_MESSAGE;

typedef struct _SERVICE_RENAME_DIRECTORY_MESSAGE {
    WCHAR DestinationPath[ServicePathSize / 2]; /* volume-relative destination */
} SERVICE_RENAME_DIRECTORY_MESSAGE, *PSERVICE_RENAME_DIRECTORY_MESSAGE;

typedef struct _SERVICE_MESSAGE {
    ULONG MessageType;                          /* MessageType* */
    ULONG Reserved;
    WCHAR VolumePath[ServiceVolumePathSize / 2];/* \\?\Volume{GUID}\ of the file's volume */
    WCHAR Path[ServicePathSize / 2];            /* volume-relative path; for renames the source */
    union {
        SERVICE_HYDRATE_MESSAGE Hydrate;
        SERVICE_MOVE_FILE_OUT_MESSAGE MoveFileOut;
        SERVICE_RENAME_DIRECTORY_MESSAGE RenameDirectory;
        /* MessageTypeDeleteDirectory has the common fields only. */
    };
} SERVICE_MESSAGE, *PSERVICE_MESSAGE;

#pragma pack(pop)

#define ServiceMessageSize sizeof(SERVICE_MESSAGE)

C_ASSERT(sizeof(SERVICE_MESSAGE) == 132208);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, MessageType) == 0);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, VolumePath) == 8);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Path) == 108);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Hydrate.ReparseData) == 65644);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Hydrate.ReparseDataLength) == 66668);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Hydrate.ThreadId) == 66672);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Hydrate.FileSize) == 66680);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Hydrate.RequestId) == 66688);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, Hydrate.ProcessId) == 66696);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, MoveFileOut.DestinationPath) == 65644);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, MoveFileOut.ReparseData) == 131180);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, MoveFileOut.ReparseDataLength) == 132204);
C_ASSERT(FIELD_OFFSET(SERVICE_MESSAGE, RenameDirectory.DestinationPath) == 65644);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->VolumePath) == ServiceVolumePathSize);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->Path) == ServicePathSize);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->Hydrate.ReparseDataLength) == 2);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->Hydrate.FileSize) == 8);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->Hydrate.RequestId) == 8);
C_ASSERT(sizeof(((SERVICE_MESSAGE *)0)->Hydrate.ProcessId) == 4);

/* ------------------------------------------------------------------------
 * The service's reply to MessageTypeMoveFileOut, MessageTypeDeleteDirectory
 * and MessageTypeRenameDirectory: one u32.  Two values have a meaning;
 * every other value consents.
 * ---------------------------------------------------------------------- */
typedef ULONG SERVICE_REPLY, *PSERVICE_REPLY;

#define ReplyHydrateFirst 773           /* hydrate the file, then let the move go on */
#define ReplyDeny 775                   /* refuse the operation */

C_ASSERT(sizeof(SERVICE_REPLY) == 4);

/* ------------------------------------------------------------------------
 * Service-to-filter commands: the 40-byte input of every message the
 * service sends on its connection.  The output buffer must hold at least 4
 * bytes; on success the filter writes the u32 0 into it.
 * ---------------------------------------------------------------------- */
#define CommandTransferData 1299        /* data for a pending hydration */
#define CommandCompleteHydration 1300   /* the end of a hydration, with its status */

typedef struct _SERVICE_TRANSFER_DATA {
    ULONGLONG RequestId;                /* as sent in the hydrate message */
    ULONGLONG Offset;                   /* file offset of the first byte */
    ULONGLONG BufferAddress;            /* the data, in the service's address space */
    ULONG Length;                       /* bytes at BufferAddress */
    ULONG Reserved;
} SERVICE_TRANSFER_DATA, *PSERVICE_TRANSFER_DATA;

typedef struct _SERVICE_COMPLETE_HYDRATION {
    ULONGLONG RequestId;                /* as sent in the hydrate message */
    LONG Status;                        /* NTSTATUS: negative fails the hydration */
    UCHAR Reserved[20];
} SERVICE_COMPLETE_HYDRATION, *PSERVICE_COMPLETE_HYDRATION;

typedef struct _SERVICE_COMMAND {
    ULONG Command;                      /* Command* */
    ULONG Reserved;
    union {
        SERVICE_TRANSFER_DATA TransferData;
        SERVICE_COMPLETE_HYDRATION CompleteHydration;
    };
} SERVICE_COMMAND, *PSERVICE_COMMAND;

#define ServiceCommandSize sizeof(SERVICE_COMMAND)
#define ServiceCommandReplySize 4

C_ASSERT(sizeof(SERVICE_COMMAND) == 40);
C_ASSERT(sizeof(SERVICE_TRANSFER_DATA) == 32);
C_ASSERT(sizeof(SERVICE_COMPLETE_HYDRATION) == 32);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, Command) == 0);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, TransferData) == 8);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, TransferData.RequestId) == 8);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, TransferData.Offset) == 16);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, TransferData.BufferAddress) == 24);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, TransferData.Length) == 32);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, CompleteHydration) == 8);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, CompleteHydration.RequestId) == 8);
C_ASSERT(FIELD_OFFSET(SERVICE_COMMAND, CompleteHydration.Status) == 16);
C_ASSERT(sizeof(SERVICE_CONNECTION_CONTEXT) == ServiceConnectionContextSize);
