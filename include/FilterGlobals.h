/*
 * FilterGlobals.h - the filter's single global record, its pool tags and
 * its debug switches.
 */
#pragma once

#include <fltKernel.h>

/* Four-character pool tags, stored so that a pool dump reads them in order. */
#define ZK_POOL_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))

#define PoolTagInstanceContext ZK_POOL_TAG('z', 'K', 'I', 'C')
#define PoolTagStreamContext ZK_POOL_TAG('z', 'K', 'S', 'C')
#define PoolTagSyncRoot ZK_POOL_TAG('z', 'K', 'S', 'R')
#define PoolTagReparseData ZK_POOL_TAG('z', 'K', 'R', 'P')
#define PoolTagBounceBuffer ZK_POOL_TAG('z', 'K', 'B', 'B')
#define PoolTagCreateParameters ZK_POOL_TAG('z', 'K', 'E', 'C')
#define PoolTagOpenReparseEntry ZK_POOL_TAG('z', 'K', 'O', 'E')
#define PoolTagMessage ZK_POOL_TAG('z', 'K', 'M', 'G')

/* DebugFlags bits, set from a kernel debugger only. */
#define DebugFlagBreakOnStatus 0x1   /* break when a reported status equals DebugBreakStatus */
#define DebugFlagPrintFailures 0x2   /* print every reported failure status */

/* Component id and level under which failures are printed. */
#define ReportComponentId 93
#define ReportLevel 0

/* Entry size of the open-reparse entry pool: one OPEN_REPARSE_LIST_ENTRY. */
#define OpenReparseEntrySize 48

typedef struct _FILTER_GLOBALS {
    /* Debug switches read by ReportStatus; zero at load.  They come first,
       so that a kernel debugger finds them at fixed offsets from the
       record (windows/DEBUGGING.md): DebugFlags at +0x0, DebugBreakStatus
       at +0x4. */
    ULONG DebugFlags;
    NTSTATUS DebugBreakStatus;

    /* Set by FltRegisterFilter; null until registration succeeds. */
    PFLT_FILTER Filter;

    /* The listening communication port; null when none is open. */
    PFLT_PORT ServerPort;

    /* Every connected SyncRoot, guarded by SyncRootListLock. */
    _Guarded_by_(SyncRootListLock) LIST_ENTRY SyncRootList;
    ERESOURCE SyncRootListLock;

    /* Fixed-size pools: open-reparse entries and service messages. */
    PAGED_LOOKASIDE_LIST OpenReparseEntryPool;
    PAGED_LOOKASIDE_LIST MessagePool;

    /* Pool for the filter's own non-paged allocations: NonPagedPoolNx from
       Windows 8 on, NonPagedPool before. */
    POOL_TYPE PoolType;
} FILTER_GLOBALS, *PFILTER_GLOBALS;

extern FILTER_GLOBALS FilterGlobals;

C_ASSERT(sizeof(((FILTER_GLOBALS *)0)->PoolType) == 4);

/* The offsets windows/DEBUGGING.md gives for the debug switches. */
C_ASSERT(FIELD_OFFSET(FILTER_GLOBALS, DebugFlags) == 0x0);
C_ASSERT(FIELD_OFFSET(FILTER_GLOBALS, DebugBreakStatus) == 0x4);
C_ASSERT(sizeof(((FILTER_GLOBALS *)0)->DebugFlags) == 4 && sizeof(((FILTER_GLOBALS *)0)->DebugBreakStatus) == 4);
