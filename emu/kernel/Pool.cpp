/*
 * Pool.cpp - executive pool and lookaside lists.
 *
 * Every block is accounted by tag and pool type.  Freeing a block that still
 * holds a live executive resource, or freeing with the wrong tag, is the
 * misuse Driver Verifier stops the system for.
 */
#include "../runtime/Runtime.h"

#include <cstdlib>
#include <new>

using namespace emu;

namespace {

bool IsValidPoolType(POOL_TYPE Type)
{
    ULONG Base = (ULONG)Type & ~(ULONG)(POOL_NX_ALLOCATION | NonPagedPoolSession);
    return Base < MaxPoolType;
}

bool IsPagedPool(POOL_TYPE Type)
{
    return ((ULONG)Type & 1) != 0;
}

PVOID AllocatePool(const char *Routine, POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag, void *CallSite)
{
    InjectablePoint Point;
    NTSTATUS Injected;
    if (!IsValidPoolType(PoolType)) {
        RaiseBugCheck(BAD_POOL_CALLER, (ULONG_PTR)PoolType, "invalid pool type");
    }
    if (IsPagedPool(PoolType) && KeGetCurrentIrql() > APC_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)KeGetCurrentIrql(), "paged pool allocated above APC_LEVEL");
    }
    if (Point.Fail(Routine, &Injected, CallSite) || TheFaults().ShouldFail("ExAllocatePool*", &Injected)) {
        return NULL;
    }
    /* Fill new blocks with a pattern, as the special pool does, so code that
       relies on zeroed pool shows itself. */
    void *Block = malloc(NumberOfBytes == 0 ? 1 : NumberOfBytes);
    if (Block == NULL) {
        return NULL;
    }
    memset(Block, 0xA5, NumberOfBytes);
    TheVerifier().OnPoolAllocate(Block, NumberOfBytes, Tag, PoolType);
    return Block;
}

void FreePool(PVOID P, ULONG Tag, bool CheckTag)
{
    if (P == NULL) {
        RaiseBugCheck(BAD_POOL_CALLER, 0, "free of a null pool pointer");
    }
    /* A block that holds a live resource stops the system before the free:
       the block stays allocated. */
    PoolBlock Block;
    if (TheVerifier().FindPoolBlock(P, &Block)) {
        for (const auto &Object : TheVerifier().LiveWithin(P, Block.Size)) {
            if (Object.rfind("ERESOURCE", 0) == 0) {
                RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)P,
                              "pool freed while it holds a live " + Object);
            }
        }
    }
    /* A wrong tag stops the system after the free. */
    std::string Problem;
    if (TheVerifier().OnPoolFree(P, Tag, CheckTag, &Block, &Problem)) {
        /* Spin locks and fast mutexes have no delete routine: their orders
           go with their pool. */
        TheLockOrder().ForgetWithin(P, Block.Size);
        memset(P, 0x5A, Block.Size);
        free(P);
    }
    if (!Problem.empty()) {
        RaiseBugCheck(BAD_POOL_CALLER, (ULONG_PTR)P, Problem);
    }
}

/* Private state of a lookaside list, kept outside the caller's 128 bytes. */
struct Lookaside {
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    POOL_TYPE Type;
    SIZE_T Size;
    ULONG Tag;
    USHORT Depth;
    std::mutex Lock;
    std::vector<void *> Cached;
    std::set<void *> HandedOut;
};

Lookaside *LookasideOf(void *List)
{
    auto Private = (Lookaside *)((PULONG_PTR)List)[0];
    if (Private == NULL || !TheVerifier().IsLive("lookaside list", List)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)List,
                      "use of a lookaside list that was never initialised or was deleted");
    }
    return Private;
}

void InitializeLookaside(void *List, PALLOCATE_FUNCTION Allocate, PFREE_FUNCTION Free, POOL_TYPE Type, ULONG Flags,
                         SIZE_T Size, ULONG Tag, USHORT Depth)
{
    if (TheVerifier().IsLive("lookaside list", List)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)List, "lookaside list initialised twice");
    }
    auto Private = new Lookaside();
    Private->Allocate = Allocate;
    Private->Free = Free;
    Private->Type = (POOL_TYPE)((ULONG)Type | (Flags & POOL_NX_ALLOCATION));
    Private->Size = Size;
    Private->Tag = Tag;
    /* Depth 0 asks for the system default; the system trims lists to a few
       entries when memory is short, which the emulation models with 4. */
    Private->Depth = Depth == 0 ? 4 : Depth;
    memset(List, 0, sizeof(PAGED_LOOKASIDE_LIST));
    ((PULONG_PTR)List)[0] = (ULONG_PTR)Private;
    TheVerifier().OnCreate("lookaside list", List, "tag '" + TagToString(Tag) + "' entry size " + std::to_string(Size));
}

void DeleteLookaside(void *List)
{
    Lookaside *Private = LookasideOf(List);
    if (!Private->HandedOut.empty()) {
        TheVerifier().Report("lookaside list tag '" + TagToString(Private->Tag) + "' deleted with " +
                             std::to_string(Private->HandedOut.size()) + " entr(ies) still in use");
    }
    for (void *Entry : Private->Cached) {
        if (Private->Free != NULL) {
            CallbackScope Scope("lookaside free routine");
            Private->Free(Entry);
        } else {
            ExFreePoolWithTag(Entry, Private->Tag);
        }
    }
    TheVerifier().OnDestroy("lookaside list", List);
    ((PULONG_PTR)List)[0] = 0;
    delete Private;
}

PVOID AllocateFromLookaside(void *List, const char *Routine, void *CallSite)
{
    InjectablePoint Point;
    Lookaside *Private = LookasideOf(List);
    NTSTATUS Injected;
    void *Entry = NULL;
    if (Point.Fail(Routine, &Injected, CallSite)) {
        return NULL;
    }
    {
        std::lock_guard<std::mutex> Guard(Private->Lock);
        if (!Private->Cached.empty()) {
            Entry = Private->Cached.back();
            Private->Cached.pop_back();
        }
    }
    if (Entry == NULL) {
        if (Private->Allocate != NULL) {
            CallbackScope Scope("lookaside allocate routine");
            Entry = Private->Allocate(Private->Type, Private->Size, Private->Tag);
        } else {
            Entry = ExAllocatePoolWithTag(Private->Type, Private->Size, Private->Tag);
        }
    }
    if (Entry != NULL) {
        std::lock_guard<std::mutex> Guard(Private->Lock);
        Private->HandedOut.insert(Entry);
    }
    return Entry;
}

void FreeToLookaside(void *List, PVOID Entry)
{
    Lookaside *Private = LookasideOf(List);
    bool Cache;
    {
        std::lock_guard<std::mutex> Guard(Private->Lock);
        if (Private->HandedOut.erase(Entry) == 0) {
            RaiseBugCheck(BAD_POOL_CALLER, (ULONG_PTR)Entry,
                          "entry freed to lookaside list tag '" + TagToString(Private->Tag) +
                              "' that did not come from it");
        }
        Cache = Private->Cached.size() < Private->Depth;
        if (Cache) {
            Private->Cached.push_back(Entry);
        }
    }
    if (!Cache) {
        if (Private->Free != NULL) {
            CallbackScope Scope("lookaside free routine");
            Private->Free(Entry);
        } else {
            ExFreePoolWithTag(Entry, Private->Tag);
        }
    }
}

}  // namespace

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    return AllocatePool("ExAllocatePoolWithTag", PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes)
{
    return AllocatePool("ExAllocatePool", PoolType, NumberOfBytes, 0x656E6F4E /* 'None' */,
                        __builtin_return_address(0));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    FreePool(P, Tag, true);
}

VOID NTAPI ExFreePool(PVOID P)
{
    FreePool(P, 0, false);
}

VOID NTAPI ExInitializePagedLookasideList(PPAGED_LOOKASIDE_LIST List, PALLOCATE_FUNCTION Allocate,
                                          PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    PAGED_CODE();
    InitializeLookaside(List, Allocate, Free, PagedPool, Flags, Size, Tag, Depth);
}

VOID NTAPI ExDeletePagedLookasideList(PPAGED_LOOKASIDE_LIST List)
{
    PAGED_CODE();
    DeleteLookaside(List);
}

PVOID NTAPI ExAllocateFromPagedLookasideList(PPAGED_LOOKASIDE_LIST List)
{
    PAGED_CODE();
    return AllocateFromLookaside(List, "ExAllocateFromPagedLookasideList", __builtin_return_address(0));
}

VOID NTAPI ExFreeToPagedLookasideList(PPAGED_LOOKASIDE_LIST List, PVOID Entry)
{
    PAGED_CODE();
    FreeToLookaside(List, Entry);
}

VOID NTAPI ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST List, PALLOCATE_FUNCTION Allocate,
                                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth)
{
    InitializeLookaside(List, Allocate, Free, NonPagedPool, Flags, Size, Tag, Depth);
}

VOID NTAPI ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST List)
{
    DeleteLookaside(List);
}

PVOID NTAPI ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST List)
{
    return AllocateFromLookaside(List, "ExAllocateFromNPagedLookasideList", __builtin_return_address(0));
}

VOID NTAPI ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST List, PVOID Entry)
{
    FreeToLookaside(List, Entry);
}

}  // extern "C"
