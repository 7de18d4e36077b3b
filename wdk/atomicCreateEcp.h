/*
 * atomicCreateEcp.h - the atomic-create extra create parameter: its type
 * GUID and its context record.  Attached to a create, it makes the file
 * system give the new file its reparse point, size, valid data length,
 * time stamps, attributes and sparse mark within the create itself, so that
 * no other opener ever sees the file without them.
 *
 * Written from the file-system driver kit's public documentation.  Neither
 * the mingw-w64 driver-kit headers nor the emulated platform's headers
 * carry these definitions.  wdk/fltKernel.h includes this header at its
 * end, so both builds share the one copy; the checks at the end pin the
 * x64 layout the file system reads.
 */
#pragma once

/* The type of the context: {4720BD83-52AC-4104-A130-D1EC6A8CC8E5}.  A
   constant expression, so it is laid down at compile time and needs no
   constructor. */
#ifdef __cplusplus
inline constexpr GUID GUID_ECP_ATOMIC_CREATE = {
    0x4720BD83, 0x52AC, 0x4104, {0xA1, 0x30, 0xD1, 0xEC, 0x6A, 0x8C, 0xC8, 0xE5}};
#else
static const GUID GUID_ECP_ATOMIC_CREATE = {
    0x4720BD83, 0x52AC, 0x4104, {0xA1, 0x30, 0xD1, 0xEC, 0x6A, 0x8C, 0xC8, 0xE5}};
#endif

/* Operations a create is asked to carry out atomically (InFlags). */
#define ATOMIC_CREATE_ECP_IN_FLAG_SPARSE_SPECIFIED 0x0001
#define ATOMIC_CREATE_ECP_IN_FLAG_REPARSE_POINT_SPECIFIED 0x0002
#define ATOMIC_CREATE_ECP_IN_FLAG_EOF_SPECIFIED 0x0004
#define ATOMIC_CREATE_ECP_IN_FLAG_VDL_SPECIFIED 0x0008
#define ATOMIC_CREATE_ECP_IN_FLAG_TIMESTAMPS_SPECIFIED 0x0010
#define ATOMIC_CREATE_ECP_IN_FLAG_FILE_ATTRIBUTES_SPECIFIED 0x0020
#define ATOMIC_CREATE_ECP_IN_FLAG_OPERATION_MASK 0x00FF
#define ATOMIC_CREATE_ECP_IN_FLAG_BEST_EFFORT 0x0100

/* Operations the file system carried out (OutFlags): each the bit of the
   InFlags bit that asked for it. */
#define ATOMIC_CREATE_ECP_OUT_FLAG_SPARSE_SET 0x0001
#define ATOMIC_CREATE_ECP_OUT_FLAG_REPARSE_POINT_SET 0x0002
#define ATOMIC_CREATE_ECP_OUT_FLAG_EOF_SET 0x0004
#define ATOMIC_CREATE_ECP_OUT_FLAG_VDL_SET 0x0008
#define ATOMIC_CREATE_ECP_OUT_FLAG_TIMESTAMPS_SET 0x0010
#define ATOMIC_CREATE_ECP_OUT_FLAG_FILE_ATTRIBUTES_SET 0x0020

/* The four times of a file, in 100-ns units since 1601. */
typedef struct _FILE_TIMESTAMPS {
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
} FILE_TIMESTAMPS, *PFILE_TIMESTAMPS;

/* The context record, 88 bytes on x64.  ReparseBuffer points at a whole
   reparse buffer, header included (a REPARSE_GUID_DATA_BUFFER for a tag
   that is not Microsoft's); the type is named by its tag only, as not every
   kit defines REPARSE_DATA_BUFFER. */
typedef struct _ATOMIC_CREATE_ECP_CONTEXT {
    USHORT Size;
    USHORT InFlags;
    USHORT OutFlags;
    USHORT ReparseBufferLength;
    struct _REPARSE_DATA_BUFFER *ReparseBuffer;
    LONGLONG FileSize;
    LONGLONG ValidDataLength;
    PFILE_TIMESTAMPS FileTimestamps;
    ULONG FileAttributes;
    ULONG UsnSourceInfo;
    USN Usn;
    ULONG SuppressFileAttributeInheritanceMask;
    ULONG InOpFlags;
    ULONG OutOpFlags;
    ULONG InGenFlags;
    ULONG OutGenFlags;
    ULONG CaseSensitiveFlagsMask;
    ULONG InCaseSensitiveFlags;
    ULONG OutCaseSensitiveFlags;
} ATOMIC_CREATE_ECP_CONTEXT, *PATOMIC_CREATE_ECP_CONTEXT;

FLT_LAYOUT_CHECK(sizeof(FILE_TIMESTAMPS) == 32);
FLT_LAYOUT_CHECK(sizeof(ATOMIC_CREATE_ECP_CONTEXT) == 88);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, ReparseBuffer) == 8);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, FileSize) == 16);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, ValidDataLength) == 24);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, FileTimestamps) == 32);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, FileAttributes) == 40);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, UsnSourceInfo) == 44);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, Usn) == 48);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, SuppressFileAttributeInheritanceMask) == 56);
FLT_LAYOUT_CHECK(offsetof(ATOMIC_CREATE_ECP_CONTEXT, OutCaseSensitiveFlags) == 84);
