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

/* PlaceholderReparseTag and PlaceholderReparseGuid, which the service
   writes into its placeholder requests, are in the wire format. */
#include "ServiceProtocol.h"

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

/* What the atomic create of a new placeholder asks the file system for
   (InFlags): the sparse mark, the reparse point, the end of file, the
   valid data length, the time stamps and the attributes, plus 0x1F00
   (best effort and the bits above it); 0x0040 and 0x0080 stay clear. */
#define PlaceholderAtomicCreateFlags 0x1F3F

C_ASSERT((PlaceholderAtomicCreateFlags & ATOMIC_CREATE_ECP_IN_FLAG_OPERATION_MASK) ==
         (ATOMIC_CREATE_ECP_IN_FLAG_SPARSE_SPECIFIED | ATOMIC_CREATE_ECP_IN_FLAG_REPARSE_POINT_SPECIFIED |
          ATOMIC_CREATE_ECP_IN_FLAG_EOF_SPECIFIED | ATOMIC_CREATE_ECP_IN_FLAG_VDL_SPECIFIED |
          ATOMIC_CREATE_ECP_IN_FLAG_TIMESTAMPS_SPECIFIED | ATOMIC_CREATE_ECP_IN_FLAG_FILE_ATTRIBUTES_SPECIFIED));

/* The basic information of a placeholder request is handed to the file
   system as it lies in the request. */
C_ASSERT(sizeof(PLACEHOLDER_BASIC_INFORMATION) == sizeof(FILE_BASIC_INFORMATION));
C_ASSERT(FIELD_OFFSET(PLACEHOLDER_BASIC_INFORMATION, FileAttributes) ==
         FIELD_OFFSET(FILE_BASIC_INFORMATION, FileAttributes));
