/*
 * DriverEntry.cpp - the driver's entry point, its global record, and
 * unload.
 */
#include "../include/Zentaflt.h"

FILTER_GLOBALS FilterGlobals;

/*++

Routine Description:

    Chooses the pool type for the filter's own non-paged allocations:
    NonPagedPoolNx from Windows 8 (6.2) on, NonPagedPool before.  A failed
    version query leaves NonPagedPool.

Arguments:

    None.

Return Value:

    The pool type.

--*/
static POOL_TYPE
ChoosePoolType(VOID)
{
    RTL_OSVERSIONINFOW Version;
    POOL_TYPE PoolType = NonPagedPool;

    RtlZeroMemory(&Version, sizeof(Version));
    Version.dwOSVersionInfoSize = sizeof(Version);

    if (NT_SUCCESS(RtlGetVersion(&Version)) &&
        (Version.dwMajorVersion > 6 || (Version.dwMajorVersion == 6 && Version.dwMinorVersion >= 2))) {
        PoolType = NonPagedPoolNx;
    }

    return PoolType;
}

/*++

Routine Description:

    The driver's entry point.  Sets up the global record (pool type, the
    open-reparse entry and message pools, the sync-root list and its lock),
    registers with the filter manager, creates the communication port and
    starts filtering.  Every step that can fail is checked: a failure of the
    lock's initialisation deletes the two pools again, and a failure after
    the global record is set up is undone by FilterUnload.

Arguments:

    DriverObject - This driver's object.
    RegistryPath - The driver's service key; not used.

Return Value:

    STATUS_SUCCESS when filtering has started; otherwise the status of
    ExInitializeResourceLite, FltRegisterFilter, CreateServerPort or
    FltStartFiltering, reported, with nothing left behind.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
EXTERN_C NTSTATUS
DriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath)
{
    BOOLEAN GlobalsSetUp = FALSE;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(RegistryPath);

    FilterGlobals.PoolType = ChoosePoolType();

    ExInitializePagedLookasideList(&FilterGlobals.OpenReparseEntryPool, NULL, NULL, POOL_NX_ALLOCATION,
                                   OpenReparseEntrySize, PoolTagOpenReparseEntry, 0);

    ExInitializePagedLookasideList(&FilterGlobals.MessagePool, NULL, NULL, POOL_NX_ALLOCATION,
                                   ServiceMessageSize, PoolTagMessage, 0);

    InitializeListHead(&FilterGlobals.SyncRootList);
    Status = ExInitializeResourceLite(&FilterGlobals.SyncRootListLock);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    /* From here on FilterUnload undoes everything set up so far. */
    GlobalsSetUp = TRUE;

    Status = FltRegisterFilter(DriverObject, &FilterRegistration, &FilterGlobals.Filter);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = CreateServerPort();
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }

    Status = FltStartFiltering(FilterGlobals.Filter);

Cleanup:
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        if (GlobalsSetUp) {
            FilterUnload(0);
        } else {
            /* The lock never came to be: only the pools exist. */
            ExDeletePagedLookasideList(&FilterGlobals.MessagePool);
            ExDeletePagedLookasideList(&FilterGlobals.OpenReparseEntryPool);
        }
    }

    return Status;
}

/*++

Routine Description:

    The filter's unload callback, also used by DriverEntry to undo a failed
    start.  Closes the communication port, unregisters the filter (after
    which no callback of the filter runs), and deletes the global lock and
    pools.  The filter manager runs it alone.

Arguments:

    Flags - Whether the unload is mandatory; unload is never refused, so
            the flags are not looked at.

Return Value:

    STATUS_SUCCESS always.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI
FilterUnload(_In_ FLT_FILTER_UNLOAD_FLAGS Flags)
{
    UNREFERENCED_PARAMETER(Flags);
    PAGED_CODE();

    CloseServerPort();

    if (FilterGlobals.Filter != NULL) {
        FltUnregisterFilter(FilterGlobals.Filter);
    }

    ExDeleteResourceLite(&FilterGlobals.SyncRootListLock);
    ExDeletePagedLookasideList(&FilterGlobals.OpenReparseEntryPool);
    ExDeletePagedLookasideList(&FilterGlobals.MessagePool);

    return STATUS_SUCCESS;
}

/*++

Routine Description:

    Query-teardown callback: a manual detach from a volume is always
    allowed.

Arguments:

    FltObjects - The instance and volume.
    Flags - Not used.

Return Value:

    STATUS_SUCCESS always.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI
InstanceQueryTeardown(_In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_QUERY_TEARDOWN_FLAGS Flags)
{
    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Flags);
    PAGED_CODE();

    return STATUS_SUCCESS;
}
