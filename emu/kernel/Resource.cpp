/*
 * Resource.cpp - executive resources (ERESOURCE) and critical regions.
 *
 * A resource is owned exclusively by one thread or shared by several; an
 * owner may acquire it again recursively.  As Driver Verifier does, the
 * emulation reports an acquire with normal kernel APCs enabled (outside a
 * critical region at PASSIVE_LEVEL), a release by a thread that does not own
 * it, deleting an owned resource, and freeing pool that holds a live one.
 * Every thread's owned resources are tracked, so a callback that returns
 * with one held is reported by its CallbackScope.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

constexpr ULONG_PTR ResourceMagic = 0x45524553'4F555243ULL;  // "ERESOURC"

struct Resource {
    uint64_t ExclusiveOwner = 0;
    ULONG ExclusiveCount = 0;
    std::map<uint64_t, ULONG> SharedOwners;
    ULONG ExclusiveWaiters = 0;
};

Resource *ResourceOf(PERESOURCE Object)
{
    auto Slots = (PULONG_PTR)Object;
    if (Slots[1] != ResourceMagic || !TheVerifier().IsLive("ERESOURCE", Object)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object,
                      "use of an executive resource that was never initialised or was deleted");
    }
    return (Resource *)Slots[0];
}

void CheckAcquireContext(PERESOURCE Object)
{
    ThreadState &Thread = CurrentThread();
    if (Thread.Irql > APC_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)Object, "executive resource acquired above APC_LEVEL");
    }
    if (Thread.Irql == PASSIVE_LEVEL && Thread.CriticalRegionDepth == 0) {
        char Text[128];
        snprintf(Text, sizeof(Text), "executive resource %p acquired with normal kernel APCs enabled", (void *)Object);
        TheVerifier().Report(Text);
    }
}

void NoteOwned(PERESOURCE Object)
{
    CurrentThread().OwnedResources[Object] += 1;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI ExInitializeResourceLite(PERESOURCE Object)
{
    EMU_INJECT_STATUS("ExInitializeResourceLite");
    if (TheVerifier().IsLive("ERESOURCE", Object)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object,
                      "executive resource initialised twice without being deleted");
    }
    memset(Object, 0, sizeof(ERESOURCE));
    auto Slots = (PULONG_PTR)Object;
    Slots[0] = (ULONG_PTR) new Resource();
    Slots[1] = ResourceMagic;
    char Text[64];
    snprintf(Text, sizeof(Text), "at %p", (void *)Object);
    TheVerifier().OnCreate("ERESOURCE", Object, Text);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Object)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    Resource *State = ResourceOf(Object);
    if (State->ExclusiveCount != 0 || !State->SharedOwners.empty()) {
        TheVerifier().Report("executive resource reinitialised while owned");
    }
    *State = Resource();
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Object)
{
    Resource *State;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        State = ResourceOf(Object);
        if (State->ExclusiveCount != 0 || !State->SharedOwners.empty()) {
            char Text[96];
            snprintf(Text, sizeof(Text), "executive resource %p deleted while owned", (void *)Object);
            TheVerifier().Report(Text);
        }
        TheVerifier().OnDestroy("ERESOURCE", Object);
        ((PULONG_PTR)Object)[0] = 0;
        ((PULONG_PTR)Object)[1] = 0;
    }
    delete State;
    return STATUS_SUCCESS;
}

BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Object, BOOLEAN Wait)
{
    CheckAcquireContext(Object);
    uint64_t Self = CurrentThread().ThreadId;
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    Resource *State = ResourceOf(Object);
    if (State->ExclusiveCount != 0 && State->ExclusiveOwner == Self) {
        State->ExclusiveCount += 1;
        NoteOwned(Object);
        return TRUE;
    }
    if (State->SharedOwners.count(Self) != 0) {
        Guard.unlock();
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object,
                      "exclusive acquire of an executive resource the thread owns shared (deadlock)");
    }
    auto Free = [State] { return State->ExclusiveCount == 0 && State->SharedOwners.empty(); };
    if (!Free()) {
        if (!Wait) {
            return FALSE;
        }
        State->ExclusiveWaiters += 1;
        DispatcherCondition().wait(Guard, Free);
        State->ExclusiveWaiters -= 1;
    }
    State->ExclusiveOwner = Self;
    State->ExclusiveCount = 1;
    NoteOwned(Object);
    return TRUE;
}

BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Object, BOOLEAN Wait)
{
    CheckAcquireContext(Object);
    uint64_t Self = CurrentThread().ThreadId;
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    Resource *State = ResourceOf(Object);
    if (State->ExclusiveCount != 0 && State->ExclusiveOwner == Self) {
        State->ExclusiveCount += 1;
        NoteOwned(Object);
        return TRUE;
    }
    auto Mine = State->SharedOwners.find(Self);
    if (Mine != State->SharedOwners.end()) {
        Mine->second += 1;
        NoteOwned(Object);
        return TRUE;
    }
    /* A new shared owner waits behind exclusive waiters, so writers are not
       starved. */
    auto Available = [State] { return State->ExclusiveCount == 0 && State->ExclusiveWaiters == 0; };
    if (!Available()) {
        if (!Wait) {
            return FALSE;
        }
        DispatcherCondition().wait(Guard, Available);
    }
    State->SharedOwners[Self] = 1;
    NoteOwned(Object);
    return TRUE;
}

VOID FASTCALL ExReleaseResourceLite(PERESOURCE Object)
{
    ThreadState &Thread = CurrentThread();
    uint64_t Self = Thread.ThreadId;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Resource *State = ResourceOf(Object);
        if (State->ExclusiveCount != 0 && State->ExclusiveOwner == Self) {
            State->ExclusiveCount -= 1;
            if (State->ExclusiveCount == 0) {
                State->ExclusiveOwner = 0;
            }
        } else {
            auto Mine = State->SharedOwners.find(Self);
            if (Mine == State->SharedOwners.end()) {
                char Text[96];
                snprintf(Text, sizeof(Text), "release of executive resource %p by a thread that does not own it",
                         (void *)Object);
                RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, Text);
            }
            if (--Mine->second == 0) {
                State->SharedOwners.erase(Mine);
            }
        }
        auto Owned = Thread.OwnedResources.find(Object);
        if (Owned != Thread.OwnedResources.end() && --Owned->second == 0) {
            Thread.OwnedResources.erase(Owned);
        }
    }
    DispatcherCondition().notify_all();
}

VOID NTAPI ExReleaseResourceForThreadLite(PERESOURCE Object, ERESOURCE_THREAD ResourceThreadId)
{
    if (ResourceThreadId != ExGetCurrentResourceThread()) {
        TheVerifier().Report("ExReleaseResourceForThreadLite for another thread is not emulated");
    }
    ExReleaseResourceLite(Object);
}

BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(PERESOURCE Object)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    Resource *State = ResourceOf(Object);
    return (BOOLEAN)(State->ExclusiveCount != 0 && State->ExclusiveOwner == CurrentThread().ThreadId);
}

ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Object)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    Resource *State = ResourceOf(Object);
    uint64_t Self = CurrentThread().ThreadId;
    if (State->ExclusiveCount != 0 && State->ExclusiveOwner == Self) {
        return State->ExclusiveCount;
    }
    auto Mine = State->SharedOwners.find(Self);
    return Mine == State->SharedOwners.end() ? 0 : Mine->second;
}

ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID)
{
    return (ERESOURCE_THREAD)KeGetCurrentThread();
}

PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceExclusive(PERESOURCE Object)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(Object, TRUE);
    return NULL;
}

PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceShared(PERESOURCE Object)
{
    KeEnterCriticalRegion();
    ExAcquireResourceSharedLite(Object, TRUE);
    return NULL;
}

VOID FASTCALL ExReleaseResourceAndLeaveCriticalRegion(PERESOURCE Object)
{
    ExReleaseResourceLite(Object);
    KeLeaveCriticalRegion();
}

VOID NTAPI KeEnterCriticalRegion(VOID)
{
    CurrentThread().CriticalRegionDepth += 1;
}

VOID NTAPI KeLeaveCriticalRegion(VOID)
{
    ThreadState &Thread = CurrentThread();
    if (Thread.CriticalRegionDepth == 0) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, 0, "KeLeaveCriticalRegion without a matching enter");
    }
    Thread.CriticalRegionDepth -= 1;
}

BOOLEAN NTAPI KeAreApcsDisabled(VOID)
{
    ThreadState &Thread = CurrentThread();
    return (BOOLEAN)(Thread.CriticalRegionDepth != 0 || Thread.Irql >= APC_LEVEL);
}

}  // extern "C"
