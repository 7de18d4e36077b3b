/*
 * StreamContext.cpp - the stream context's lifetime.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Cleanup callback of the stream context, run by the filter manager when
    the stream's last reference to its context goes.  Deletes the lock that
    the context was created with.

Arguments:

    Context - The stream context being freed.
    ContextType - FLT_STREAM_CONTEXT.

Return Value:

    None.

--*/
VOID FLTAPI
StreamContextCleanup(_In_ PFLT_CONTEXT Context, _In_ FLT_CONTEXT_TYPE ContextType)
{
    PSTREAM_CONTEXT StreamContext = (PSTREAM_CONTEXT)Context;

    UNREFERENCED_PARAMETER(ContextType);
    PAGED_CODE();

    ExDeleteResourceLite(&StreamContext->Lock);
}
