/*
 * Ecp.cpp - extra create parameters (ECP lists and their contexts in pool
 * of the caller's tag, one context of a type per list) and open-reparse
 * entries, which ride on a create in an ECP of type
 * ECP_TYPE_OPEN_REPARSE_GUID ("FltAddOpenReparseEntry",
 * "OPEN_REPARSE_LIST_ENTRY structure").  A list the filter manager made for
 * an open-reparse entry belongs to the create and goes with it.
 */
#include "../io/Io.h"

using namespace emu;

namespace emu {

/* ECP_TYPE_OPEN_REPARSE_GUID: 323eb6a8-affd-4d95-8230-863bce09d37a. */
const GUID EcpTypeOpenReparse = {0x323eb6a8, 0xaffd, 0x4d95, {0x82, 0x30, 0x86, 0x3b, 0xce, 0x09, 0xd3, 0x7a}};

}  // namespace emu

namespace {

/* Extra create parameters. */
constexpr ULONG EcpListTag = 0x4C63704D;  // 'MpcL'

struct EcpEntry {
    GUID Type;
    PVOID Context;
    ULONG Size;
    ULONG Tag;
    PFSRTL_EXTRA_CREATE_PARAMETER_CLEANUP_CALLBACK Cleanup;
    bool Inserted;
};

std::mutex EcpLock;
std::map<PVOID, EcpEntry> EcpContexts;

constexpr ULONG OpenReparseTag = 0x7052704F;  // 'OpRp'

}  // namespace

extern "C" {

NTSTATUS FLTAPI FltAllocateExtraCreateParameterList(PFLT_FILTER Filter, ULONG Flags, PECP_LIST *EcpList)
{
    UNREFERENCED_PARAMETER(Filter);
    UNREFERENCED_PARAMETER(Flags);
    EMU_INJECT_STATUS("FltAllocateExtraCreateParameterList");
    auto List = (PECP_LIST)ExAllocatePoolWithTag(PagedPool, sizeof(LIST_ENTRY), EcpListTag);
    if (List == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    InitializeListHead((PLIST_ENTRY)List);
    TheVerifier().OnCreate("ECP list", List, "extra create parameter list");
    *EcpList = List;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltAllocateExtraCreateParameter(PFLT_FILTER Filter, LPCGUID EcpType, ULONG SizeOfContext,
                                                ULONG Flags, PFSRTL_EXTRA_CREATE_PARAMETER_CLEANUP_CALLBACK Cleanup,
                                                ULONG PoolTag, PVOID *EcpContext)
{
    UNREFERENCED_PARAMETER(Filter);
    UNREFERENCED_PARAMETER(Flags);
    EMU_INJECT_STATUS("FltAllocateExtraCreateParameter");
    /* The entry header sits before the context, as the kernel lays it out. */
    SIZE_T Size = sizeof(LIST_ENTRY) * 2 + SizeOfContext;
    auto Block = (PUCHAR)ExAllocatePoolWithTag(PagedPool, Size, PoolTag);
    if (Block == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PVOID Context = Block + sizeof(LIST_ENTRY) * 2;
    InitializeListHead((PLIST_ENTRY)Block);
    {
        std::lock_guard<std::mutex> Guard(EcpLock);
        EcpContexts[Context] = EcpEntry{*EcpType, Context, SizeOfContext, PoolTag, Cleanup, false};
    }
    TheVerifier().OnCreate("ECP context", Context, "extra create parameter of " + std::to_string(SizeOfContext) +
                                                       " bytes, tag '" + TagToString(PoolTag) + "'");
    *EcpContext = Context;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltInsertExtraCreateParameter(PFLT_FILTER Filter, PECP_LIST EcpList, PVOID EcpContext)
{
    UNREFERENCED_PARAMETER(Filter);
    EMU_INJECT_STATUS("FltInsertExtraCreateParameter");
    std::lock_guard<std::mutex> Guard(EcpLock);
    auto Found = EcpContexts.find(EcpContext);
    if (Found == EcpContexts.end() || !TheVerifier().IsLive("ECP list", EcpList)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Found->second.Inserted) {
        return STATUS_INVALID_PARAMETER;
    }
    /* One context of a type per list. */
    auto Link = (PLIST_ENTRY)((PUCHAR)EcpContext - sizeof(LIST_ENTRY) * 2);
    for (PLIST_ENTRY Entry = ((PLIST_ENTRY)EcpList)->Flink; Entry != (PLIST_ENTRY)EcpList; Entry = Entry->Flink) {
        PVOID Other = (PUCHAR)Entry + sizeof(LIST_ENTRY) * 2;
        if (memcmp(&EcpContexts[Other].Type, &Found->second.Type, sizeof(GUID)) == 0) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    InsertTailList((PLIST_ENTRY)EcpList, Link);
    Found->second.Inserted = true;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltFindExtraCreateParameter(PFLT_FILTER Filter, PECP_LIST EcpList, LPCGUID EcpType,
                                            PVOID *EcpContext, ULONG *EcpContextSize)
{
    UNREFERENCED_PARAMETER(Filter);
    std::lock_guard<std::mutex> Guard(EcpLock);
    for (PLIST_ENTRY Entry = ((PLIST_ENTRY)EcpList)->Flink; Entry != (PLIST_ENTRY)EcpList; Entry = Entry->Flink) {
        PVOID Context = (PUCHAR)Entry + sizeof(LIST_ENTRY) * 2;
        const EcpEntry &Found = EcpContexts[Context];
        if (memcmp(&Found.Type, EcpType, sizeof(GUID)) == 0) {
            if (EcpContext != NULL) {
                *EcpContext = Context;
            }
            if (EcpContextSize != NULL) {
                *EcpContextSize = Found.Size;
            }
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NOT_FOUND;
}

VOID FLTAPI FltFreeExtraCreateParameter(PFLT_FILTER Filter, PVOID EcpContext)
{
    UNREFERENCED_PARAMETER(Filter);
    EcpEntry Entry;
    {
        std::lock_guard<std::mutex> Guard(EcpLock);
        auto Found = EcpContexts.find(EcpContext);
        if (Found == EcpContexts.end()) {
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)EcpContext,
                          "free of something that is not an extra create parameter");
        }
        if (Found->second.Inserted) {
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)EcpContext,
                          "free of an extra create parameter that is still in a list");
        }
        Entry = Found->second;
        EcpContexts.erase(Found);
    }
    if (Entry.Cleanup != NULL) {
        CallbackScope Scope("ECP cleanup callback");
        Entry.Cleanup(EcpContext, &Entry.Type);
    }
    TheVerifier().OnDestroy("ECP context", EcpContext);
    ExFreePoolWithTag((PUCHAR)EcpContext - sizeof(LIST_ENTRY) * 2, Entry.Tag);
}

VOID FLTAPI FltFreeExtraCreateParameterList(PFLT_FILTER Filter, PECP_LIST EcpList)
{
    auto Head = (PLIST_ENTRY)EcpList;
    while (!IsListEmpty(Head)) {
        PLIST_ENTRY Entry = RemoveHeadList(Head);
        PVOID Context = (PUCHAR)Entry + sizeof(LIST_ENTRY) * 2;
        {
            std::lock_guard<std::mutex> Guard(EcpLock);
            EcpContexts[Context].Inserted = false;
        }
        FltFreeExtraCreateParameter(Filter, Context);
    }
    TheVerifier().OnDestroy("ECP list", EcpList);
    ExFreePoolWithTag(EcpList, EcpListTag);
}

NTSTATUS FLTAPI FltGetEcpListFromCallbackData(PFLT_FILTER Filter, PFLT_CALLBACK_DATA CallbackData,
                                              PECP_LIST *EcpList)
{
    UNREFERENCED_PARAMETER(Filter);
    *EcpList = RequestOf(CallbackData)->EcpList;
    return STATUS_SUCCESS;
}

/* FltAddOpenReparseEntry: STATUS_INVALID_PARAMETER_2 when Data is not a
   create; adds the ECP list and the open-reparse ECP as needed. */
NTSTATUS FLTAPI FltAddOpenReparseEntry(PFLT_FILTER Filter, PFLT_CALLBACK_DATA Data,
                                       POPEN_REPARSE_LIST_ENTRY OpenReparseEntry)
{
    IoRequest *Request = RequestOf(Data);
    if (Data->Iopb->MajorFunction != IRP_MJ_CREATE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (Request->EcpList == NULL) {
        NTSTATUS Status = FltAllocateExtraCreateParameterList(Filter, 0, &Request->EcpList);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        Request->OwnsEcpList = true;
    }
    PVOID Context = NULL;
    if (!NT_SUCCESS(FltFindExtraCreateParameter(Filter, Request->EcpList, &EcpTypeOpenReparse, &Context, NULL))) {
        NTSTATUS Status = FltAllocateExtraCreateParameter(Filter, &EcpTypeOpenReparse, sizeof(OPEN_REPARSE_LIST),
                                                          0, NULL, OpenReparseTag, &Context);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        InitializeListHead(&((POPEN_REPARSE_LIST)Context)->OpenReparseList);
        Status = FltInsertExtraCreateParameter(Filter, Request->EcpList, Context);
        if (!NT_SUCCESS(Status)) {
            FltFreeExtraCreateParameter(Filter, Context);
            return Status;
        }
    }
    InsertTailList(&((POPEN_REPARSE_LIST)Context)->OpenReparseList, &OpenReparseEntry->OpenReparseListEntry);
    return STATUS_SUCCESS;
}

VOID FLTAPI FltRemoveOpenReparseEntry(PFLT_FILTER Filter, PFLT_CALLBACK_DATA Data,
                                      POPEN_REPARSE_LIST_ENTRY OpenReparseEntry)
{
    UNREFERENCED_PARAMETER(Filter);
    UNREFERENCED_PARAMETER(Data);
    RemoveEntryList(&OpenReparseEntry->OpenReparseListEntry);
    InitializeListHead(&OpenReparseEntry->OpenReparseListEntry);
}

}  // extern "C"
