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

/* ------------------------------------------------------------------------
 * The placeholder control request: one private device-control code sent
 * on an ordinary handle, to a directory to create a placeholder in it, to
 * a file to convert or update it.  The input buffer is a PLACEHOLDER
 * request: the command, 4 reserved bytes, then the command's payload; it is
 * at least PlaceholderRequestMinimumLength bytes long, so every payload has
 * at least PlaceholderPayloadMinimumLength bytes.  Nothing is returned in
 * the output buffer.
 *
 * The code: device type 0x858C, function 0x85C, METHOD_BUFFERED,
 * FILE_WRITE_ACCESS, so the I/O manager lets it through only on a handle
 * opened with write-data access (FILE_ADD_FILE on a directory).
 * ---------------------------------------------------------------------- */
#define PlaceholderControlCode 0x858CA170u

/* The reparse tag of every placeholder: not a Microsoft tag (bit 31 clear),
   a name surrogate (bit 29 set). */
#define PlaceholderReparseTag ((ULONG)0x20000056)

/* The GUID stored with the tag, {7C334C3C-0C03-4659-93D8-EBCF627BC3F1}:
   bytes 3C 4C 33 7C 03 0C 59 46 93 D8 EB CF 62 7B C3 F1 on disk.  A
   constant expression, so it needs no constructor.  FltTagFile and
   FltUntagFile take a GUID that is not const; they only read it. */
inline constexpr GUID PlaceholderReparseGuid = {
    0x7C334C3C, 0x0C03, 0x4659, {0x93, 0xD8, 0xEB, 0xCF, 0x62, 0x7B, 0xC3, 0xF1}};

#define PlaceholderCommandCreate 2328   /* create a placeholder in the directory */
#define PlaceholderCommandUpdate 2329   /* change a placeholder in place */
#define PlaceholderCommandConvert 2330  /* turn a full file into a placeholder */

#define PlaceholderRequestMinimumLength 1120
#define PlaceholderRequestHeaderLength 8
#define PlaceholderPayloadMinimumLength (PlaceholderRequestMinimumLength - PlaceholderRequestHeaderLength)

/* UpdateFlags of PlaceholderCommandUpdate, carried out in this order. */
#define PlaceholderUpdateReparseData 0x1        /* replace the reparse data */
#define PlaceholderUpdateBasicInformation 0x2   /* set the times and attributes */
#define PlaceholderUpdateEndOfFile 0x4          /* set the end of file */

/* The reparse header as the file system takes it for a tag that is not
   Microsoft's: tag, data length, reserved, GUID (a REPARSE_GUID_DATA_BUFFER
   without its data). */
typedef struct _PLACEHOLDER_REPARSE_HEADER {
    ULONG ReparseTag;
    USHORT ReparseDataLength;
    USHORT Reserved;
    GUID ReparseGuid;
} PLACEHOLDER_REPARSE_HEADER, *PPLACEHOLDER_REPARSE_HEADER;

/* The times and attributes of a file as a basic-information set takes
   them (the layout of FILE_BASIC_INFORMATION): 100-ns units since 1601. */
typedef struct _PLACEHOLDER_BASIC_INFORMATION {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    ULONG FileAttributes;
    ULONG Reserved;
} PLACEHOLDER_BASIC_INFORMATION, *PPLACEHOLDER_BASIC_INFORMATION;

/* The fixed part of the payload of PlaceholderCommandCreate and
   PlaceholderCommandUpdate; ReparseDataLength bytes of reparse data follow
   at PlaceholderPayloadReparseDataOffset, and a create's name (UTF-16LE,
   no terminator) lies at NameOffset from the payload's start. */
typedef struct _PLACEHOLDER_PAYLOAD {
    union {
        ULONG NameOffset;               /* create */
        ULONG UpdateFlags;              /* update: PlaceholderUpdate* */
    };
    USHORT NameLength;                  /* create: bytes of the name */
    USHORT Reserved;
    PLACEHOLDER_BASIC_INFORMATION BasicInfo;
    LONGLONG FileSize;                  /* end of file (and, for a create, valid data length) */
    PLACEHOLDER_REPARSE_HEADER ReparseHeader;
} PLACEHOLDER_PAYLOAD, *PPLACEHOLDER_PAYLOAD;

/* The payload of PlaceholderCommandConvert is a reparse header whose tag
   and GUID are not read, followed by the reparse data. */
typedef PLACEHOLDER_REPARSE_HEADER PLACEHOLDER_CONVERT_PAYLOAD, *PPLACEHOLDER_CONVERT_PAYLOAD;

typedef struct _PLACEHOLDER_REQUEST {
    ULONG Command;                      /* PlaceholderCommand* */
    ULONG Reserved;
    union {
        PLACEHOLDER_PAYLOAD Payload;    /* create, update */
        PLACEHOLDER_CONVERT_PAYLOAD ConvertPayload;
    };
} PLACEHOLDER_REQUEST, *PPLACEHOLDER_REQUEST;

#define PlaceholderPayloadReparseDataOffset 80
#define PlaceholderConvertReparseDataOffset 24

/* Least payload lengths beyond the reparse data of an update and of a
   convert. */
#define PlaceholderUpdateLengthBase 1112
#define PlaceholderConvertLengthBase 1052

C_ASSERT(PlaceholderControlCode == ((0x858Cu << 16) | (2u << 14) | (0x85Cu << 2) | 0u));
C_ASSERT(sizeof(PLACEHOLDER_REPARSE_HEADER) == 24);
C_ASSERT(sizeof(PLACEHOLDER_BASIC_INFORMATION) == 40);
C_ASSERT(sizeof(PLACEHOLDER_PAYLOAD) == PlaceholderPayloadReparseDataOffset);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, NameOffset) == 0);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, UpdateFlags) == 0);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, NameLength) == 4);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, BasicInfo) == 8);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, BasicInfo.FileAttributes) == 40);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, FileSize) == 48);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, ReparseHeader) == 56);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, ReparseHeader.ReparseDataLength) == 60);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_PAYLOAD, ReparseHeader.ReparseGuid) == 64);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_CONVERT_PAYLOAD, ReparseDataLength) == 4);
C_ASSERT(sizeof(PLACEHOLDER_CONVERT_PAYLOAD) == PlaceholderConvertReparseDataOffset);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_REQUEST, Command) == 0);
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_REQUEST, Payload) == PlaceholderRequestHeaderLength);
C_ASSERT(PlaceholderPayloadMinimumLength == 1112);
