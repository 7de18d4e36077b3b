/*
 * Placeholder.h - the on-disk form of a placeholder and the numbers the
 * placeholder routines share.
 *
 * A placeholder is an NTFS file that carries the filter's reparse point
 * (PlaceholderReparseTag with PlaceholderReparseGuid, followed by the
 * service's own opaque description of the file), PlaceholderAttributes,
 * the sparse mark and its full size, but no data.  Hydrating it removes the
 * reparse point, the attributes and the sparse mark again.
 */
#pragma once

#include <fltKernel.h>

/* The reparse tag of every placeholder: not a Microsoft tag (bit 31 clear),
   a name surrogate (bit 29 set). */
#define PlaceholderReparseTag ((ULONG)0x20000056)

/* The GUID stored with the tag, {7C334C3C-0C03-4659-93D8-EBCF627BC3F1}:
   bytes 3C 4C 33 7C 03 0C 59 46 93 D8 EB CF 62 7B C3 F1 on disk.  A
   constant expression, so it needs no constructor.  FltTagFile and
   FltUntagFile take a GUID that is not const; they only read it. */
inline constexpr GUID PlaceholderReparseGuid = {
    0x7C334C3C, 0x0C03, 0x4659, {0x93, 0xD8, 0xEB, 0xCF, 0x62, 0x7B, 0xC3, 0xF1}};

/* Sparse, offline, unpinned and recall-on-data-access: set together on a
   placeholder and cleared together when it is hydrated.  NTFS adds
   FILE_ATTRIBUTE_REPARSE_POINT for the reparse point itself. */
#define PlaceholderAttributes                                                                   \
    ((ULONG)(FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_UNPINNED |    \
             FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS))

C_ASSERT(PlaceholderAttributes == 0x501200);
C_ASSERT((ULONG)~PlaceholderAttributes == 0xFFAFEDFF);

/* The commands of the placeholder control request.  They double as the
   modes of GetStreamContext (PlaceholderCommandCreate creates a missing
   context, any other value only looks one up) and of
   SetPlaceholderAttributes (PlaceholderCommandCreate sets, any other value
   clears); callers pass PlaceholderCommandUpdate for the second meaning. */
#define PlaceholderCommandCreate 2328
#define PlaceholderCommandUpdate 2329
#define PlaceholderCommandConvert 2330

/* The most reparse data of a placeholder that the filter reads back, and
   the buffer it reads it into: the 24-byte header of a
   REPARSE_GUID_DATA_BUFFER followed by that much data. */
#define PlaceholderReparseDataMaximum 1024
#define PlaceholderReparseHeaderSize 24
#define PlaceholderReparseBufferSize (PlaceholderReparseHeaderSize + PlaceholderReparseDataMaximum)

C_ASSERT(REPARSE_GUID_DATA_BUFFER_HEADER_SIZE == PlaceholderReparseHeaderSize);
C_ASSERT(PlaceholderReparseBufferSize == 1048);

/* The size of the atomic-create context a new placeholder is created with
   (88 bytes on x64; the kit header pins the layout). */
#define AtomicCreateEcpSize ((ULONG)sizeof(ATOMIC_CREATE_ECP_CONTEXT))
