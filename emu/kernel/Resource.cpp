/*
 * Resource.cpp - executive resources (ERESOURCE) and critical regions.
 *
 * A resource is owned exclusively by one thread or shared by several; an
 * owner may acquire it again recursively.  As Driver Verifier does, the
 * emulation reports an acquire with normal kernel APCs enabled (outside a
 * critical region at PASSIVE_LEVEL), a release by a thread that does not own
 * it, deleting an owned resource, and freeing pool that holds a live one.
 * Every thread's owned resources are tracked, so a callback that returns
 * with one held is reported by its CallbackScope.  Every acquisition and
 * release also goes to the lock-order checker (runtime/LockOrder.h) and, in
 * a ThreadSanitizer build, to ThreadSanitizer as a reader-writer mutex.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

constexpr ULONG_PTR ResourceMagic = 0x45524553'4F555243ULL;  // "ERESOURC"

/* Each resource has its own lock and condition, so that waits on one do not
   order threads on another (ThreadSanitizer sees only the happens-before
   the resource itself gives). */
struct Resource {
    std::mutex Lock;
    std::condition_variable Changed;
    uint64_t ExclusiveOwner = 0;
    ULONG ExclusiveCount = 0;
    std::map<uint64_t, ULONG> SharedOwners;
    ULONG ExclusiveWaiters = 0;

    bool OwnedExclusiveBy(uint64_t Thread) const { return ExclusiveCount != 0 && ExclusiveOwner == Thread; }
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

void NoteOwned(PERESOURCE Object, bool Exclusive, BOOLEAN Wait)
{
    CurrentThread().OwnedResources[Object] += 1;
    TsanLocked(Object, Exclusive, !Wait);
}

/* The lock-order checker hears of the acquisition before the thread waits,
   so an order that could deadlock is reported even when this one would. */
BOOLEAN Acquire(PERESOURCE Object, bool Exclusive, BOOLEAN Wait)
{
    CheckAcquireContext(Object);
    uint64_t Self = CurrentThread().ThreadId;
    Resource *State = ResourceOf(Object);
    bool OwnsShared;
    bool OwnsExclusive;
    {
        std::lock_guard<std::mutex> Guard(State->Lock);
        OwnsExclusive = State->OwnedExclusiveBy(Self);
        OwnsShared = State->SharedOwners.count(Self) != 0;
    }
    if (Exclusive && OwnsShared && !OwnsExclusive) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object,
                      "exclusive acquire of an executive resource the thread owns shared (deadlock)");
    }
    TheLockOrder().Acquire(Object, LockKind::Resource, Exclusive, Wait != FALSE);

    std::unique_lock<std::mutex> Guard(State->Lock);
    if (State->OwnedExclusiveBy(Self)) {
        State->ExclusiveCount += 1;
        Guard.unlock();
        NoteOwned(Object, true, Wait);
        return TRUE;
    }
    if (!Exclusive) {
        auto Mine = State->SharedOwners.find(Self);
        if (Mine != State->SharedOwners.end()) {
            Mine->second += 1;
            Guard.unlock();
            NoteOwned(Object, false, Wait);
            return TRUE;
        }
    }
    auto Free = [State] { return State->ExclusiveCount == 0 && State->SharedOwners.empty(); };
    /* A new shared owner waits behind exclusive waiters, so writers are not
       starved. */
    auto Available = [State] { return State->ExclusiveCount == 0 && State->ExclusiveWaiters == 0; };
    if (!(Exclusive ? Free() : Available())) {
        if (!Wait) {
            Guard.unlock();
            TheLockOrder().Abandon(Object);
            return FALSE;
        }
        if (Exclusive) {
            State->ExclusiveWaiters += 1;
            State->Changed.wait(Guard, Free);
            State->ExclusiveWaiters -= 1;
        } else {
            State->Changed.wait(Guard, Available);
        }
    }
    if (Exclusive) {
        State->ExclusiveOwner = Self;
        State->ExclusiveCount = 1;
    } else {
        State->SharedOwners[Self] = 1;
    }
    Guard.unlock();
    NoteOwned(Object, Exclusive, Wait);
    return TRUE;
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
    TheLockOrder().Forget(Object);
    TsanLockCreated(Object);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ExReinitializeResourceLite(PERESOURCE Object)
{
    Resource *State = ResourceOf(Object);
    std::lock_guard<std::mutex> Guard(State->Lock);
    if (State->ExclusiveCount != 0 || !State->SharedOwners.empty()) {
        TheVerifier().Report("executive resource reinitialised while owned");
    }
    State->ExclusiveOwner = 0;
    State->ExclusiveCount = 0;
    State->SharedOwners.clear();
    State->ExclusiveWaiters = 0;
    return STATUS_SUCCESS;
}

/* The resource's orders go with it: a resource initialised later at the
   same address is a new lock to the lock-order checker. */
NTSTATUS NTAPI ExDeleteResourceLite(PERESOURCE Object)
{
    Resource *State = ResourceOf(Object);
    {
        std::lock_guard<std::mutex> Guard(State->Lock);
        if (State->ExclusiveCount != 0 || !State->SharedOwners.empty()) {
            char Text[96];
            snprintf(Text, sizeof(Text), "executive resource %p deleted while owned", (void *)Object);
            TheVerifier().Report(Text);
        }
    }
    TheVerifier().OnDestroy("ERESOURCE", Object);
    ((PULONG_PTR)Object)[0] = 0;
    ((PULONG_PTR)Object)[1] = 0;
    TheLockOrder().Forget(Object);
    TsanLockDestroyed(Object);
    delete State;
    return STATUS_SUCCESS;
}

/* Not tail calls: the routine the driver called stays on the acquisition
   stacks the lock-order checker reports. */
__attribute__((disable_tail_calls)) BOOLEAN NTAPI ExAcquireResourceExclusiveLite(PERESOURCE Object, BOOLEAN Wait)
{
    return Acquire(Object, true, Wait);
}

__attribute__((disable_tail_calls)) BOOLEAN NTAPI ExAcquireResourceSharedLite(PERESOURCE Object, BOOLEAN Wait)
{
    return Acquire(Object, false, Wait);
}

VOID FASTCALL ExReleaseResourceLite(PERESOURCE Object)
{
    ThreadState &Thread = CurrentThread();
    uint64_t Self = Thread.ThreadId;
    Resource *State = ResourceOf(Object);
    bool Exclusive;
    {
        std::unique_lock<std::mutex> Guard(State->Lock);
        Exclusive = State->OwnedExclusiveBy(Self);
        if (!Exclusive && State->SharedOwners.count(Self) == 0) {
            Guard.unlock();
            char Text[96];
            snprintf(Text, sizeof(Text), "release of executive resource %p by a thread that does not own it",
                     (void *)Object);
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object, Text);
        }
    }
    TsanUnlocking(Object, Exclusive);
    {
        std::lock_guard<std::mutex> Guard(State->Lock);
        if (Exclusive) {
            State->ExclusiveCount -= 1;
            if (State->ExclusiveCount == 0) {
                State->ExclusiveOwner = 0;
            }
        } else {
            auto Mine = State->SharedOwners.find(Self);
            if (--Mine->second == 0) {
                State->SharedOwners.erase(Mine);
            }
        }
    }
    State->Changed.notify_all();
    TsanUnlocked(Object, Exclusive);
    auto Owned = Thread.OwnedResources.find(Object);
    if (Owned != Thread.OwnedResources.end() && --Owned->second == 0) {
        Thread.OwnedResources.erase(Owned);
    }
    TheLockOrder().Released(Object);
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
    Resource *State = ResourceOf(Object);
    std::lock_guard<std::mutex> Guard(State->Lock);
    return (BOOLEAN)State->OwnedExclusiveBy(CurrentThread().ThreadId);
}

ULONG NTAPI ExIsResourceAcquiredSharedLite(PERESOURCE Object)
{
    Resource *State = ResourceOf(Object);
    std::lock_guard<std::mutex> Guard(State->Lock);
    uint64_t Self = CurrentThread().ThreadId;
    if (State->OwnedExclusiveBy(Self)) {
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
