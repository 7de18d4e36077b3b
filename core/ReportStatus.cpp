/*
 * ReportStatus.cpp - the one place every failure status passes through.
 *
 * The filter has no log of its own.  A failure can be printed on the kernel
 * debugger and can stop in it when one chosen status occurs; both switches
 * are fields of FilterGlobals that only a debugger changes.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Reports a status where it is met.  With DebugFlagPrintFailures set, a
    failure status (any negative one: errors and warnings) is printed on
    the kernel debugger; with DebugFlagBreakOnStatus set and the status
    equal to DebugBreakStatus, the routine breaks into the debugger.
    Success and information statuses are never reported.  A caller that
    passes on a status it got from a routine that reported it may report it
    again: a failure can show more than once, from where it was met up to
    where it ends an operation.

Arguments:

    Status - The status met.

Return Value:

    Status, unchanged, so a caller can report and return in one step.

IRQL:

    PASSIVE_LEVEL or APC_LEVEL.  Reads the switches without a lock; a torn
    read while a debugger writes them is harmless.

--*/
_IRQL_requires_max_(APC_LEVEL)
NTSTATUS
ReportStatus(_In_ NTSTATUS Status)
{
    ULONG Flags;

    if (NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Flags = FilterGlobals.DebugFlags;

    if (FlagOn(Flags, DebugFlagPrintFailures)) {
        DbgPrintEx(ReportComponentId, ReportLevel, "Zentaflt: 0x%x\n", (ULONG)Status);
    }

    if (FlagOn(Flags, DebugFlagBreakOnStatus) && Status == FilterGlobals.DebugBreakStatus) {
        DbgBreakPoint();
    }

Cleanup:
    return Status;
}
