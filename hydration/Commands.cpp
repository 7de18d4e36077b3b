/*
 * Commands.cpp - the service's commands for a pending hydration: file data
 * and the completion report.
 *
 * NOT YET WORKING.  This build registers no hydration request: nothing
 * sends MessageTypeHydrate yet, so no RequestId can be pending.  Both
 * commands therefore fail as for an id that is not pending, which is also
 * what they will answer for an unknown id once requests exist.  They write
 * nothing and change nothing.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Handles CommandTransferData: writes a piece of file data from the
    service's memory into the placeholder of a pending request.

    Not implemented yet: no request can be pending, so the command fails
    as for an unknown RequestId.

Arguments:

    SyncRoot - The connection's record (its cookie).
    Payload - The command's payload, in the filter's own copy.

Return Value:

    STATUS_NOT_FOUND, reported.

IRQL:

    PASSIVE_LEVEL, on the service's thread.

--*/
NTSTATUS
TransferData(_In_ PSYNC_ROOT SyncRoot, _In_ const SERVICE_TRANSFER_DATA *Payload)
{
    UNREFERENCED_PARAMETER(SyncRoot);
    UNREFERENCED_PARAMETER(Payload);
    PAGED_CODE();

    return ReportStatus(STATUS_NOT_FOUND);
}

/*++

Routine Description:

    Handles CommandCompleteHydration: records the service's verdict on a
    pending request, wakes its waiters and turns a filled placeholder into
    a full file.

    Not implemented yet: no request can be pending, so the command fails
    as for an unknown RequestId.

Arguments:

    SyncRoot - The connection's record (its cookie).
    Payload - The command's payload, in the filter's own copy.

Return Value:

    STATUS_NOT_FOUND, reported.

IRQL:

    PASSIVE_LEVEL, on the service's thread.

--*/
NTSTATUS
CompleteHydration(_In_ PSYNC_ROOT SyncRoot, _In_ const SERVICE_COMPLETE_HYDRATION *Payload)
{
    UNREFERENCED_PARAMETER(SyncRoot);
    UNREFERENCED_PARAMETER(Payload);
    PAGED_CODE();

    return ReportStatus(STATUS_NOT_FOUND);
}
