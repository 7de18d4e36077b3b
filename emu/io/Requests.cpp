/*
 * Requests.cpp - file-system requests a filter issues at its own instance
 * (they reach only the layers below it, never its own callbacks), stream
 * contexts, and extra create parameters.
 */
#include "Io.h"

using namespace emu;

namespace {

EmuFile *RequestTarget(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, const char *Routine)
{
    EmuFile *File = FileOf(FileObject);
    if (Instance == NULL || Instance->Volume != File->Volume) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Instance,
                      std::string(Routine) + " with an instance that is not on the file's volume");
    }
    if (File->Node == nullptr || File->Cleaned) {
        return nullptr;
    }
    return File;
}

/* A reparse buffer as FSCTL_SET_REPARSE_POINT and FSCTL_DELETE_REPARSE_POINT
   take it: the 8-byte header of a Microsoft tag, or the 24-byte header with
   the GUID of any other, then the data. */
std::vector<UCHAR> ReparseBuffer(ULONG Tag, const GUID *Guid, const void *Data, USHORT DataLength)
{
    bool Microsoft = IsReparseTagMicrosoft(Tag) != 0;
    ULONG HeaderSize = Microsoft ? REPARSE_DATA_BUFFER_HEADER_SIZE : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    std::vector<UCHAR> Buffer(HeaderSize + DataLength);
    REPARSE_GUID_DATA_BUFFER Header = {};
    Header.ReparseTag = Tag;
    Header.ReparseDataLength = DataLength;
    if (!Microsoft) {
        Header.ReparseGuid = *Guid;
    }
    memcpy(Buffer.data(), &Header, HeaderSize);
    if (DataLength != 0) {
        memcpy(Buffer.data() + HeaderSize, Data, DataLength);
    }
    return Buffer;
}

/* Stream contexts, by stream and instance. */
std::mutex StreamContextsLock;
std::map<std::pair<NtfsNode *, _FLT_INSTANCE *>, PFLT_CONTEXT> StreamContexts;

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

}  // namespace

namespace emu {

namespace {

/* Releases every stream context whose key matches. */
template <typename Predicate> void ReleaseStreamContexts(Predicate Matches)
{
    std::vector<PFLT_CONTEXT> Released;
    {
        std::lock_guard<std::mutex> Guard(StreamContextsLock);
        for (auto Entry = StreamContexts.begin(); Entry != StreamContexts.end();) {
            if (Matches(Entry->first)) {
                Released.push_back(Entry->second);
                Entry = StreamContexts.erase(Entry);
            } else {
                ++Entry;
            }
        }
    }
    for (PFLT_CONTEXT Context : Released) {
        DetachContext(Context);
    }
}

}  // namespace

void TeardownStreamContexts(NtfsNode *Node)
{
    ReleaseStreamContexts([Node](const auto &Key) { return Key.first == Node; });
}

void TeardownInstanceStreamContexts(_FLT_INSTANCE *Instance)
{
    ReleaseStreamContexts([Instance](const auto &Key) { return Key.second == Instance; });
}

}  // namespace emu

extern "C" {

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                        ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltQueryInformationFile");
    EmuFile *File = RequestTarget(Instance, FileObject, "FltQueryInformationFile");
    if (File == nullptr) {
        return STATUS_FILE_CLOSED;
    }
    ULONG Returned = 0;
    NTSTATUS Status = FsQueryInformation(File, FileInformationClass, FileInformation, Length, &Returned);
    if (LengthReturned != NULL) {
        *LengthReturned = Returned;
    }
    return Status;
}

NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltSetInformationFile");
    EmuFile *File = RequestTarget(Instance, FileObject, "FltSetInformationFile");
    if (File == nullptr) {
        return STATUS_FILE_CLOSED;
    }
    return FsSetInformation(File, FileInformationClass, FileInformation, Length, KernelMode);
}

NTSTATUS FLTAPI FltFsControlFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, ULONG FsControlCode,
                                 PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                 ULONG OutputBufferLength, PULONG LengthReturned)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltFsControlFile");
    EmuFile *File = RequestTarget(Instance, FileObject, "FltFsControlFile");
    if (File == nullptr) {
        return STATUS_FILE_CLOSED;
    }
    ULONG Returned = 0;
    NTSTATUS Status = FsControl(File, FsControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                                OutputBufferLength, &Returned, KernelMode);
    if (LengthReturned != NULL) {
        *LengthReturned = Returned;
    }
    return Status;
}

NTSTATUS FLTAPI FltTagFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, ULONG FileTag, GUID *Guid,
                           PVOID DataBuffer, USHORT DataBufferLength)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltTagFile");
    EmuFile *File = RequestTarget(InitiatingInstance, FileObject, "FltTagFile");
    if (File == nullptr) {
        return STATUS_FILE_CLOSED;
    }
    if (!IsReparseTagMicrosoft(FileTag) && Guid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> Buffer = ReparseBuffer(FileTag, Guid, DataBuffer, DataBufferLength);
    ULONG Returned = 0;
    return FsControl(File, FSCTL_SET_REPARSE_POINT, Buffer.data(), (ULONG)Buffer.size(), NULL, 0, &Returned,
                     KernelMode);
}

NTSTATUS FLTAPI FltUntagFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, ULONG FileTag, GUID *Guid)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltUntagFile");
    EmuFile *File = RequestTarget(InitiatingInstance, FileObject, "FltUntagFile");
    if (File == nullptr) {
        return STATUS_FILE_CLOSED;
    }
    if (!IsReparseTagMicrosoft(FileTag) && Guid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> Header = ReparseBuffer(FileTag, Guid, NULL, 0);
    ULONG Returned = 0;
    return FsControl(File, FSCTL_DELETE_REPARSE_POINT, Header.data(), (ULONG)Header.size(), NULL, 0, &Returned,
                     KernelMode);
}

NTSTATUS FLTAPI FltSetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                    FLT_SET_CONTEXT_OPERATION Operation, PFLT_CONTEXT NewContext,
                                    PFLT_CONTEXT *OldContext)
{
    EMU_INJECT_STATUS("FltSetStreamContext");
    EmuFile *File = FileOf(FileObject);
    ContextHeader *Header = HeaderOf(NewContext);
    if (Header->Type != FLT_STREAM_CONTEXT || Header->Filter != Instance->Filter) {
        return STATUS_INVALID_PARAMETER;
    }
    if (OldContext != NULL) {
        *OldContext = NULL;
    }
    if (File->Node == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    PFLT_CONTEXT Replaced = NULL;
    {
        std::lock_guard<std::mutex> Guard(StreamContextsLock);
        auto Key = std::make_pair(File->Node, (_FLT_INSTANCE *)Instance);
        auto Found = StreamContexts.find(Key);
        if (Found != StreamContexts.end()) {
            if (Operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (OldContext != NULL) {
                    FltReferenceContext(Found->second);
                    *OldContext = Found->second;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            Replaced = Found->second;
        }
        FltReferenceContext(NewContext);
        Header->AttachedTo = File->Node;
        StreamContexts[Key] = NewContext;
    }
    if (Replaced != NULL) {
        if (OldContext != NULL) {
            FltReferenceContext(Replaced);
            *OldContext = Replaced;
        }
        DetachContext(Replaced);
    }
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *Context)
{
    EMU_INJECT_STATUS("FltGetStreamContext");
    EmuFile *File = FileOf(FileObject);
    *Context = NULL;
    std::lock_guard<std::mutex> Guard(StreamContextsLock);
    auto Found = StreamContexts.find(std::make_pair(File->Node, (_FLT_INSTANCE *)Instance));
    if (Found == StreamContexts.end()) {
        return STATUS_NOT_FOUND;
    }
    FltReferenceContext(Found->second);
    *Context = Found->second;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltDeleteStreamContext(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PFLT_CONTEXT *OldContext)
{
    EmuFile *File = FileOf(FileObject);
    PFLT_CONTEXT Existing = NULL;
    {
        std::lock_guard<std::mutex> Guard(StreamContextsLock);
        auto Found = StreamContexts.find(std::make_pair(File->Node, (_FLT_INSTANCE *)Instance));
        if (Found != StreamContexts.end()) {
            Existing = Found->second;
            StreamContexts.erase(Found);
        }
    }
    if (OldContext != NULL) {
        *OldContext = Existing;
    }
    if (Existing == NULL) {
        return STATUS_NOT_FOUND;
    }
    if (OldContext != NULL) {
        FltReferenceContext(Existing);
    }
    DetachContext(Existing);
    return STATUS_SUCCESS;
}

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
    *EcpList = FileOf(CallbackData->Iopb->TargetFileObject)->EcpList;
    return STATUS_SUCCESS;
}

}  // extern "C"
