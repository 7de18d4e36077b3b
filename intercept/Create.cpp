/*
 * Create.cpp - opening placeholders: every create carries an open-reparse
 * entry for the placeholder tag, so that NTFS opens a placeholder itself
 * instead of reparsing, and a stream whose open met the tag gets its
 * stream context.
 */
#include "../include/Zentaflt.h"

/*++

Routine Description:

    Pre-operation of IRP_MJ_CREATE: adds an open-reparse entry for the
    placeholder tag and GUID to the create and hands it to PostCreate.
    Nothing of the create is looked at: every create gets the entry.

Arguments:

    Data - The create.
    FltObjects - Unused.
    CompletionContext - Receives the entry, or null.

Return Value:

    FLT_PREOP_SUCCESS_WITH_CALLBACK - the entry was added.
    FLT_PREOP_SUCCESS_NO_CALLBACK - no entry could be had
        (STATUS_INSUFFICIENT_RESOURCES reported) or FltAddOpenReparseEntry
        failed (reported); the create goes on without one.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_PREOP_CALLBACK_STATUS FLTAPI
PreCreate(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects,
          _Flt_CompletionContext_Outptr_ PVOID *CompletionContext)
{
    POPEN_REPARSE_LIST_ENTRY Entry;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(FltObjects);
    PAGED_CODE();

    *CompletionContext = NULL;

    Entry = (POPEN_REPARSE_LIST_ENTRY)ExAllocateFromPagedLookasideList(&FilterGlobals.OpenReparseEntryPool);
    if (Entry == NULL) {
        ReportStatus(STATUS_INSUFFICIENT_RESOURCES);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    RtlZeroMemory(Entry, OpenReparseEntrySize);
    Entry->Size = OpenReparseEntrySize;
    Entry->ReparseTag = PlaceholderReparseTag;
    Entry->ReparseGuid = PlaceholderReparseGuid;

    Status = FltAddOpenReparseEntry(FilterGlobals.Filter, Data, Entry);
    if (!NT_SUCCESS(Status)) {
        ReportStatus(Status);
        ExFreeToPagedLookasideList(&FilterGlobals.OpenReparseEntryPool, Entry);
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    *CompletionContext = Entry;
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

/*++

Routine Description:

    Post-operation of IRP_MJ_CREATE: when the open succeeded and met the
    placeholder tag, gives the stream its context (StreamStateNew unless it
    has one); then removes the open-reparse entry and gives it back.  The
    outcome of the create never changes.  A post-operation made while the
    instance drains does the same.

Arguments:

    Data - The create.
    FltObjects - Unused.
    CompletionContext - The entry PreCreate added.
    Flags - Unused.

Return Value:

    FLT_POSTOP_FINISHED_PROCESSING.  A failure of the name query or of the
    context is reported; the stream then has no context.

IRQL:

    PASSIVE_LEVEL.

--*/
_IRQL_requires_max_(PASSIVE_LEVEL)
FLT_POSTOP_CALLBACK_STATUS FLTAPI
PostCreate(_Inout_ PFLT_CALLBACK_DATA Data, _In_ PCFLT_RELATED_OBJECTS FltObjects, _In_opt_ PVOID CompletionContext,
           _In_ FLT_POST_OPERATION_FLAGS Flags)
{
    POPEN_REPARSE_LIST_ENTRY Entry = (POPEN_REPARSE_LIST_ENTRY)CompletionContext;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    PSTREAM_CONTEXT StreamContext = NULL;
    NTSTATUS Status;

    UNREFERENCED_PARAMETER(FltObjects);
    UNREFERENCED_PARAMETER(Flags);
    PAGED_CODE();

    if (Entry == NULL) {
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    if (NT_SUCCESS(Data->IoStatus.Status) && (Entry->Flags & OPEN_REPARSE_POINT_TAG_ENCOUNTERED)) {
        Status = GetNormalizedName(Data, &NameInfo, NULL);
        if (!NT_SUCCESS(Status)) {
            NameInfo = NULL;
            ReportStatus(Status);
        } else {
            Status = GetStreamContext(Data, PlaceholderCommandCreate, &StreamContext);
            if (!NT_SUCCESS(Status)) {
                StreamContext = NULL;
                ReportStatus(Status);
            }
        }
    }

    if (StreamContext != NULL) {
        FltReleaseContext(StreamContext);
    }
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }

    FltRemoveOpenReparseEntry(FilterGlobals.Filter, Data, Entry);
    ExFreeToPagedLookasideList(&FilterGlobals.OpenReparseEntryPool, Entry);

    return FLT_POSTOP_FINISHED_PROCESSING;
}
