/*
 * StreamContext.h - the per-stream context of a placeholder, with its lock,
 * its placeholder state and the one hydration request the stream can have
 * outstanding, embedded in the context.
 */
#pragma once

#include <fltKernel.h>

typedef struct _SYNC_ROOT SYNC_ROOT, *PSYNC_ROOT;

/* Placeholder states of a stream. */
#define StreamStateNew 204
#define StreamStateDehydrated 205
#define StreamStateHydrated 206
#define StreamStateHydrating 207
#define StreamStateFailed 208

/* CompletionStatus of a registered request before its completion: not
   negative, so a waiter that reads it early takes it as success. */
#define HydrationStatusPending ((NTSTATUS)0x80)

/* A hydration request: registered in its SyncRoot's PendingRequests while the
   service delivers the stream's data.  Never allocated by itself. */
typedef struct _HYDRATION_REQUEST {
    _Guarded_by_(SyncRoot->Lock) LIST_ENTRY Link;
    ULONG64 RequestId;
    PFILE_OBJECT FileObject;
    PFLT_INSTANCE Instance;
    volatile LONG RefCount;
    /* Threads between deciding to wait on CompletionEvent and reading
       CompletionStatus after it; changed only with interlocked operations.
       The record is not reinitialised while any remain. */
    volatile LONG Waiters;
    ULONG64 BytesWritten;
    KEVENT CompletionEvent;
    NTSTATUS CompletionStatus;
    PSYNC_ROOT SyncRoot;
} HYDRATION_REQUEST, *PHYDRATION_REQUEST;

/* State, ExpectedSize and the request's progress change under Lock; a
   thread that only tests for StreamStateHydrated may read State without
   it. */
typedef struct _STREAM_CONTEXT {
    ERESOURCE Lock;
    _Guarded_by_(Lock) ULONG State;
    _Guarded_by_(Lock) ULONG64 ExpectedSize;
    HYDRATION_REQUEST Request;
} STREAM_CONTEXT, *PSTREAM_CONTEXT;

#define StreamContextSize 216

C_ASSERT(sizeof(HYDRATION_REQUEST) == 96);
C_ASSERT(FIELD_OFFSET(HYDRATION_REQUEST, BytesWritten) == 48);
C_ASSERT(sizeof(STREAM_CONTEXT) == StreamContextSize);
C_ASSERT(FIELD_OFFSET(STREAM_CONTEXT, State) == 104);
C_ASSERT(FIELD_OFFSET(STREAM_CONTEXT, ExpectedSize) == 112);
C_ASSERT(FIELD_OFFSET(STREAM_CONTEXT, Request) == 120);
