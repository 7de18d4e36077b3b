/*
 * InstanceContext.cpp - attaching to volumes.  The filter attaches to NTFS
 * volumes only, and records each volume's path for the messages it sends.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Fills the two strings of a fresh instance context: the volume GUID name
    as the filter manager returns it (\??\Volume{GUID}) and the Win32 volume
    path made from it (\\?\Volume{GUID}\, with a trailing backslash).

Arguments:

    Volume - The volume.
    GuidName - Empty string with its buffer; receives the GUID name.
    Path - Empty string with a buffer two bytes larger than GuidName's;
           receives the volume path.

Return Value:

    STATUS_SUCCESS, or the status of FltGetVolumeGuidName (for a name longer
    than GuidName's buffer, STATUS_BUFFER_TOO_SMALL), reported.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS
BuildVolumePath(_In_ PFLT_VOLUME Volume, _Inout_ PUNICODE_STRING GuidName, _Inout_ PUNICODE_STRING Path)
{
    NTSTATUS Status;

    PAGED_CODE();

    Status = FltGetVolumeGuidName(Volume, GuidName, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        goto Cleanup;
    }

    RtlCopyUnicodeString(Path, GuidName);

    /* \??\ becomes \\?\, and a backslash closes the path.  Path's buffer is
       one character longer than GuidName's, so both characters fit. */
    Path->Buffer[1] = L'\\';
    Path->Buffer[Path->Length / sizeof(WCHAR)] = L'\\';
    Path->Length += sizeof(WCHAR);

Cleanup:
    return Status;
}

/*++

Routine Description:

    Instance-setup callback.  Attaches to NTFS volumes only, and gives each
    instance a context that records the volume's path.  Every failure after
    the file-system check refuses the volume, so the filter never works on a
    volume whose path it could not record.

Arguments:

    FltObjects - The filter, volume and instance.
    Flags - Not used.
    VolumeDeviceType - Not used.
    VolumeFilesystemType - The volume's file system.

Return Value:

    STATUS_SUCCESS - attached.
    STATUS_FLT_DO_NOT_ATTACH - not NTFS, or the context could not be
        allocated, filled or set (that failure is reported first).

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS FLTAPI
InstanceSetup(_In_ PCFLT_RELATED_OBJECTS FltObjects, _In_ FLT_INSTANCE_SETUP_FLAGS Flags,
              _In_ DEVICE_TYPE VolumeDeviceType, _In_ FLT_FILESYSTEM_TYPE VolumeFilesystemType)
{
    PINSTANCE_CONTEXT Context = NULL;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(VolumeDeviceType);
    PAGED_CODE();

    if (VolumeFilesystemType != FLT_FSTYPE_NTFS) {
        Status = STATUS_FLT_DO_NOT_ATTACH;
        goto Cleanup;
    }

    Status = FltAllocateContext(FilterGlobals.Filter, FLT_INSTANCE_CONTEXT, InstanceContextSize,
                                FilterGlobals.PoolType, (PFLT_CONTEXT *)&Context);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        Context = NULL;
        Status = STATUS_FLT_DO_NOT_ATTACH;
        goto Cleanup;
    }

    RtlZeroMemory(Context, InstanceContextSize);
    Context->Instance = FltObjects->Instance;
    Context->Volume = FltObjects->Volume;
    Context->VolumeGuidName.Buffer = Context->VolumeGuidNameBuffer;
    Context->VolumeGuidName.MaximumLength = VolumeGuidNameMaximumLength;
    Context->VolumePath.Buffer = Context->VolumePathBuffer;
    Context->VolumePath.MaximumLength = VolumePathMaximumLength;

    Status = BuildVolumePath(FltObjects->Volume, &Context->VolumeGuidName, &Context->VolumePath);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        Status = STATUS_FLT_DO_NOT_ATTACH;
        goto Cleanup;
    }

    Status = FltSetInstanceContext(FltObjects->Instance, FLT_SET_CONTEXT_KEEP_IF_EXISTS, Context, NULL);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        Status = STATUS_FLT_DO_NOT_ATTACH;
        goto Cleanup;
    }

Cleanup:
    if (Context != NULL) {
        FltReleaseContext(Context);
    }

    return Status;
}
