/*
 * SyncRoot.h - the record of one service connection: the sync-root
 * directory it serves, its client port, and the hydration requests pending
 * under it.
 *
 * Every connected record is linked in FilterGlobals.SyncRootList (guarded by
 * SyncRootListLock).  Its lifetime is governed by RundownRef: the list holds
 * one reference while the record is linked, every finder and every
 * registered hydration request one more; the disconnect unlinks the record,
 * closes its port, fails its pending requests and waits for the last
 * reference before freeing it.
 */
#pragma once

#include <fltKernel.h>

typedef struct _SYNC_ROOT SYNC_ROOT, *PSYNC_ROOT;

struct _SYNC_ROOT {
    /* Membership in SyncRootList; zero until inserted. */
    LIST_ENTRY Link;

    /* The connection's client port.  Set before the record is inserted;
       closed, and thereby set to null, when the connection goes.  Messages
       pass its address to FltSendMessage, which copes with the close. */
    PFLT_PORT ClientPort;

    /* Counts the users of the record. */
    EX_RUNDOWN_REF RundownRef;

    /* The normalized name of the sync-root directory, one reference held
       from creation to SyncRootFree.  Only its Name is used. */
    PFLT_FILE_NAME_INFORMATION NameInfo;

    /* HYDRATION_REQUEST records registered under this root; guarded by
       Lock together with NextRequestId. */
    _Guarded_by_(Lock) LIST_ENTRY PendingRequests;
    _Guarded_by_(Lock) ULONG64 NextRequestId;

    /* Exclusive to register, release or cancel requests and to draw an id,
       shared to look one up; always inside a critical region. */
    ERESOURCE Lock;
};

C_ASSERT(FIELD_OFFSET(SYNC_ROOT, Link) == 0);
C_ASSERT(FIELD_OFFSET(SYNC_ROOT, ClientPort) == 16);
C_ASSERT(FIELD_OFFSET(SYNC_ROOT, RundownRef) == 24);
C_ASSERT(FIELD_OFFSET(SYNC_ROOT, NameInfo) == 32);
C_ASSERT(FIELD_OFFSET(SYNC_ROOT, PendingRequests) == 40);
C_ASSERT(FIELD_OFFSET(SYNC_ROOT, NextRequestId) == 56);
C_ASSERT(FIELD_OFFSET(SYNC_ROOT, Lock) == 64);
C_ASSERT(sizeof(SYNC_ROOT) == 168);
