/*
 * StreamLock.cpp - the stream context's lock.
 *
 * Guards the stream's State, ExpectedSize and the embedded request's
 * progress.  Always taken exclusively and inside a critical region, so that
 * no normal kernel APC can suspend the thread while it holds the lock.  Its
 * place in the lock order is stated in Zentaflt.h.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Enters a critical region and takes the stream context's lock
    exclusively, waiting for it.

Arguments:

    StreamContext - The context; the caller holds a reference on it, or on
                    a file object of its stream.

Return Value:

    None.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL; no sync root's lock held.

--*/
_IRQL_requires_max_(APC_LEVEL) _Acquires_exclusive_lock_(StreamContext->Lock)
VOID
LockStreamContext(_Inout_ PSTREAM_CONTEXT StreamContext)
{
    PAGED_CODE();

    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&StreamContext->Lock, TRUE);
}

/*++

Routine Description:

    Releases the stream context's lock and leaves the critical region that
    LockStreamContext entered.

Arguments:

    StreamContext - The context, locked by this thread.

Return Value:

    None.

--*/
_IRQL_requires_max_(APC_LEVEL) _Releases_exclusive_lock_(StreamContext->Lock)
VOID
UnlockStreamContext(_Inout_ PSTREAM_CONTEXT StreamContext)
{
    ExReleaseResourceLite(&StreamContext->Lock);
    KeLeaveCriticalRegion();
}
