/*
 * InstanceContext.h - the per-volume instance context.
 *
 * Records the volume's path in the Win32 volume-GUID form with a trailing
 * backslash (\\?\Volume{GUID}\); every message to the service starts with it.
 * Both strings point into the context itself and are not terminated.
 */
#pragma once

#include <fltKernel.h>

#define VolumeGuidNameMaximumLength 96  /* \??\Volume{GUID}: 48 UTF-16 units */
#define VolumePathMaximumLength 98      /* \\?\Volume{GUID}\: 49 UTF-16 units */

typedef struct _INSTANCE_CONTEXT {
    PFLT_INSTANCE Instance;
    PFLT_VOLUME Volume;
    UNICODE_STRING VolumeGuidName;
    WCHAR VolumeGuidNameBuffer[VolumeGuidNameMaximumLength / sizeof(WCHAR)];
    UNICODE_STRING VolumePath;
    WCHAR VolumePathBuffer[VolumePathMaximumLength / sizeof(WCHAR)];
} INSTANCE_CONTEXT, *PINSTANCE_CONTEXT;

#define InstanceContextSize 248

C_ASSERT(sizeof(INSTANCE_CONTEXT) == InstanceContextSize);
C_ASSERT(FIELD_OFFSET(INSTANCE_CONTEXT, VolumeGuidName) == 16);
C_ASSERT(FIELD_OFFSET(INSTANCE_CONTEXT, VolumeGuidNameBuffer) == 32);
C_ASSERT(FIELD_OFFSET(INSTANCE_CONTEXT, VolumePath) == 128);
C_ASSERT(FIELD_OFFSET(INSTANCE_CONTEXT, VolumePathBuffer) == 144);
