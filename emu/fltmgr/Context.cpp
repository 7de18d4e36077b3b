/*
 * Context.cpp - filter contexts: allocation from the registered size and
 * tag, reference counting, and instance contexts.
 *
 * FltAllocateContext hands the caller one reference.  Setting a context on an
 * object gives the object its own reference, which the filter manager drops
 * when the context is deleted or the object is torn down.  When the last
 * reference goes, the cleanup callback runs and the pool is freed.  Every
 * live context is counted by the verifier, so a reference a driver forgets
 * to release shows as a leak.
 */
#include "FltMgr.h"

using namespace emu;

namespace {

constexpr ULONG64 ContextMagic = 0x5458544E'4F43544CULL;  // "FLTCONTX"

const FLT_CONTEXT_REGISTRATION *FindRegistration(_FLT_FILTER *Filter, FLT_CONTEXT_TYPE Type, SIZE_T Size)
{
    const FLT_CONTEXT_REGISTRATION *Match = NULL;
    for (const auto &Entry : Filter->Contexts) {
        if (Entry.ContextType != Type) {
            continue;
        }
        if (Entry.Size == FLT_VARIABLE_SIZED_CONTEXTS || Entry.Size == Size ||
            ((Entry.Flags & FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH) && Size <= Entry.Size)) {
            Match = &Entry;
            break;
        }
    }
    return Match;
}

const char *ContextTypeName(FLT_CONTEXT_TYPE Type)
{
    switch (Type) {
    case FLT_VOLUME_CONTEXT:
        return "volume";
    case FLT_INSTANCE_CONTEXT:
        return "instance";
    case FLT_FILE_CONTEXT:
        return "file";
    case FLT_STREAM_CONTEXT:
        return "stream";
    case FLT_STREAMHANDLE_CONTEXT:
        return "stream-handle";
    case FLT_TRANSACTION_CONTEXT:
        return "transaction";
    case FLT_SECTION_CONTEXT:
        return "section";
    default:
        return "unknown";
    }
}

void FreeContext(ContextHeader *Header)
{
    PFLT_CONTEXT Context = Header + 1;
    if (Header->Cleanup != NULL) {
        CallbackScope Scope("ContextCleanupCallback");
        Header->Cleanup(Context, Header->Type);
    }
    TheVerifier().OnDestroy("context", Context);
    Header->Magic = 0;
    ExFreePoolWithTag(Header, Header->Tag);
}

}  // namespace

namespace emu {

ContextHeader *HeaderOf(PFLT_CONTEXT Context)
{
    auto Header = (ContextHeader *)Context - 1;
    if (Context == NULL || !TheVerifier().IsLive("context", Context) || Header->Magic != ContextMagic) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Context,
                      "use of a context that is not allocated (released too often?)");
    }
    return Header;
}

void DetachContext(PFLT_CONTEXT Context)
{
    HeaderOf(Context)->AttachedTo = NULL;
    FltReleaseContext(Context);
}

}  // namespace emu

extern "C" {

NTSTATUS FLTAPI FltAllocateContext(PFLT_FILTER Filter, FLT_CONTEXT_TYPE ContextType, SIZE_T ContextSize,
                                   POOL_TYPE PoolType, PFLT_CONTEXT *ReturnedContext)
{
    EMU_INJECT_STATUS("FltAllocateContext");
    if (!TheFilterManager().IsFilter(Filter)) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    if (PoolType != NonPagedPool && PoolType != NonPagedPoolNx && PoolType != PagedPool) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ContextType == FLT_VOLUME_CONTEXT && PoolType == PagedPool) {
        return STATUS_FLT_MUST_BE_NONPAGED_POOL;
    }
    const FLT_CONTEXT_REGISTRATION *Registration = FindRegistration(Filter, ContextType, ContextSize);
    if (Registration == NULL) {
        return STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND;
    }
    auto Header = (ContextHeader *)ExAllocatePoolWithTag(PoolType, sizeof(ContextHeader) + ContextSize,
                                                        Registration->PoolTag);
    if (Header == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(Header, 0, sizeof(ContextHeader));
    Header->Magic = ContextMagic;
    Header->Type = ContextType;
    Header->References = 1;
    Header->Filter = Filter;
    Header->Cleanup = Registration->ContextCleanupCallback;
    Header->Size = ContextSize;
    Header->Tag = Registration->PoolTag;
    PFLT_CONTEXT Context = Header + 1;
    TheVerifier().OnCreate("context", Context,
                           std::string(ContextTypeName(ContextType)) + " context, tag '" +
                               TagToString(Registration->PoolTag) + "'");
    *ReturnedContext = Context;
    return STATUS_SUCCESS;
}

VOID FLTAPI FltReferenceContext(PFLT_CONTEXT Context)
{
    InterlockedIncrement(&HeaderOf(Context)->References);
}

VOID FLTAPI FltReleaseContext(PFLT_CONTEXT Context)
{
    ContextHeader *Header = HeaderOf(Context);
    LONG Remaining = InterlockedDecrement(&Header->References);
    if (Remaining < 0) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Context, "context released too often");
    }
    if (Remaining == 0) {
        if (Header->AttachedTo != NULL) {
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Context,
                          "context freed while still set on an object");
        }
        FreeContext(Header);
    }
}

VOID FLTAPI FltDeleteContext(PFLT_CONTEXT Context)
{
    ContextHeader *Header = HeaderOf(Context);
    bool Detach = false;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        if (Header->AttachedTo != NULL && Header->Type == FLT_INSTANCE_CONTEXT) {
            auto Instance = (_FLT_INSTANCE *)Header->AttachedTo;
            if (Instance->InstanceContext == Context) {
                Instance->InstanceContext = NULL;
                Detach = true;
            }
        }
    }
    if (Detach) {
        DetachContext(Context);
    }
}

NTSTATUS FLTAPI FltSetInstanceContext(PFLT_INSTANCE Instance, FLT_SET_CONTEXT_OPERATION Operation,
                                      PFLT_CONTEXT NewContext, PFLT_CONTEXT *OldContext)
{
    EMU_INJECT_STATUS("FltSetInstanceContext");
    ContextHeader *Header = HeaderOf(NewContext);
    if (Header->Type != FLT_INSTANCE_CONTEXT || Header->Filter != Instance->Filter) {
        return STATUS_INVALID_PARAMETER;
    }
    if (OldContext != NULL) {
        *OldContext = NULL;
    }
    PFLT_CONTEXT Replaced = NULL;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        if (Instance->InstanceContext != NULL) {
            if (Operation == FLT_SET_CONTEXT_KEEP_IF_EXISTS) {
                if (OldContext != NULL) {
                    FltReferenceContext(Instance->InstanceContext);
                    *OldContext = Instance->InstanceContext;
                }
                return STATUS_FLT_CONTEXT_ALREADY_DEFINED;
            }
            Replaced = Instance->InstanceContext;
        }
        FltReferenceContext(NewContext);
        Header->AttachedTo = Instance;
        Instance->InstanceContext = NewContext;
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

NTSTATUS FLTAPI FltGetInstanceContext(PFLT_INSTANCE Instance, PFLT_CONTEXT *Context)
{
    EMU_INJECT_STATUS("FltGetInstanceContext");
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    if (Instance->InstanceContext == NULL) {
        *Context = NULL;
        return STATUS_NOT_FOUND;
    }
    FltReferenceContext(Instance->InstanceContext);
    *Context = Instance->InstanceContext;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltDeleteInstanceContext(PFLT_INSTANCE Instance, PFLT_CONTEXT *OldContext)
{
    PFLT_CONTEXT Existing;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        Existing = Instance->InstanceContext;
        Instance->InstanceContext = NULL;
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

}  // extern "C"
