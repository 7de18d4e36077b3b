/*
 * Locks.cpp - spin locks and fast mutexes.
 *
 * A spin lock holds its owner's thread id while it is held; a thread that
 * wants it raises to DISPATCH_LEVEL and spins (yielding the host CPU).  A
 * fast mutex raises to APC_LEVEL (the Unsafe forms require APCs already
 * disabled and leave the IRQL alone) and really blocks while another thread
 * owns it.  Neither may be acquired recursively: Windows would hang, so the
 * emulation stops the system as Driver Verifier's deadlock detection does
 * (bug check 0xC4, self-deadlock).  As Driver Verifier's automatic checks
 * do, it also stops for a spin lock taken or released at DPC level with the
 * IRQL not DISPATCH_LEVEL, a fast mutex taken above APC_LEVEL, and a release
 * by a thread that does not own the lock (a double release).
 *
 * Every acquisition and release goes to the lock-order checker, and in a
 * ThreadSanitizer build to ThreadSanitizer as a mutex.
 *
 * Documentation: KeAcquireSpinLock, KeAcquireSpinLockAtDpcLevel,
 * KeAcquireInStackQueuedSpinLock, ExAcquireFastMutex,
 * ExAcquireFastMutexUnsafe, ExTryToAcquireFastMutex (learn.microsoft.com,
 * wdm.h); Driver Verifier "Automatic Checks" and "Deadlock Detection".
 */
#include "../runtime/Runtime.h"

#include <thread>

using namespace emu;

namespace {

[[noreturn]] void StopFor(const void *Lock, const char *Kind, const char *Problem)
{
    char Text[160];
    snprintf(Text, sizeof(Text), "%s %p %s", Kind, Lock, Problem);
    RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Lock, Text);
}

void AcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    ULONG_PTR Self = (ULONG_PTR)CurrentThread().ThreadId;
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) == Self) {
        StopFor(SpinLock, "spin lock", "acquired again by the thread that holds it (self-deadlock)");
    }
    TheLockOrder().Acquire(SpinLock, LockKind::SpinLock, true, true);
    for (;;) {
        ULONG_PTR Free = 0;
        if (__atomic_compare_exchange_n(SpinLock, &Free, Self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        std::this_thread::yield();
    }
    TsanLocked(SpinLock, true, false);
}

void ReleaseSpinLock(PKSPIN_LOCK SpinLock)
{
    if (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != (ULONG_PTR)CurrentThread().ThreadId) {
        StopFor(SpinLock, "spin lock", "released by a thread that does not hold it");
    }
    TsanUnlocking(SpinLock, true);
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    TsanUnlocked(SpinLock, true);
    TheLockOrder().Released(SpinLock);
}

void CheckDispatchLevel(PKSPIN_LOCK SpinLock, const char *Problem)
{
    if (CurrentThread().Irql != DISPATCH_LEVEL) {
        StopFor(SpinLock, "spin lock", Problem);
    }
}

/* Fast mutexes wait on the dispatcher's lock and condition.  False when a
   try (Wait false) finds the mutex owned. */
bool AcquireFastMutex(PFAST_MUTEX FastMutex, bool Wait)
{
    PVOID Self = KeGetCurrentThread();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == Self) {
        StopFor(FastMutex, "fast mutex", "acquired again by the thread that owns it (self-deadlock)");
    }
    TheLockOrder().Acquire(FastMutex, LockKind::FastMutex, true, Wait);
    {
        std::unique_lock<std::mutex> Guard(DispatcherLock());
        /* Count is reached atomically: ThreadSanitizer reads the mutex's
           first bytes when it is told of an acquisition. */
        auto Free = [FastMutex] { return (__atomic_load_n(&FastMutex->Count, __ATOMIC_RELAXED) & FM_LOCK_BIT) != 0; };
        if (!Free()) {
            if (!Wait) {
                Guard.unlock();
                TheLockOrder().Abandon(FastMutex);
                return false;
            }
            FastMutex->Contention += 1;
            DispatcherCondition().wait(Guard, Free);
        }
        __atomic_fetch_and(&FastMutex->Count, ~FM_LOCK_BIT, __ATOMIC_RELAXED);
        __atomic_store_n(&FastMutex->Owner, Self, __ATOMIC_RELAXED);
    }
    TsanLocked(FastMutex, true, !Wait);
    return true;
}

void CheckFastMutexIrql(PFAST_MUTEX FastMutex)
{
    if (CurrentThread().Irql > APC_LEVEL) {
        StopFor(FastMutex, "fast mutex", "acquired above APC_LEVEL");
    }
}

/* ExAcquireFastMutex and ExTryToAcquireFastMutex: the owner runs at
   APC_LEVEL, and the mutex keeps the IRQL its release returns to. */
bool AcquireAtApcLevel(PFAST_MUTEX FastMutex, bool Wait)
{
    CheckFastMutexIrql(FastMutex);
    ThreadState &Thread = CurrentThread();
    KIRQL OldIrql = Thread.Irql;
    if (!AcquireFastMutex(FastMutex, Wait)) {
        return false;
    }
    Thread.Irql = APC_LEVEL;
    FastMutex->OldIrql = OldIrql;
    return true;
}

void ReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != KeGetCurrentThread()) {
        StopFor(FastMutex, "fast mutex", "released by a thread that does not own it");
    }
    TsanUnlocking(FastMutex, true);
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        __atomic_store_n(&FastMutex->Owner, (PVOID)NULL, __ATOMIC_RELAXED);
        __atomic_fetch_or(&FastMutex->Count, FM_LOCK_BIT, __ATOMIC_RELAXED);
    }
    DispatcherCondition().notify_all();
    TsanUnlocked(FastMutex, true);
    TheLockOrder().Released(FastMutex);
}

}  // namespace

extern "C" {

/* A lock initialised again is a new lock: its old orders are forgotten. */
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
    TheLockOrder().Forget(SpinLock);
    TsanLockCreated(SpinLock);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock)
{
    ThreadState &Thread = CurrentThread();
    if (Thread.Irql > DISPATCH_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, (ULONG_PTR)SpinLock, "KeAcquireSpinLock above DISPATCH_LEVEL");
    }
    KIRQL OldIrql = Thread.Irql;
    AcquireSpinLock(SpinLock);
    Thread.Irql = DISPATCH_LEVEL;
    return OldIrql;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    CheckDispatchLevel(SpinLock, "released by KeReleaseSpinLock with the IRQL not DISPATCH_LEVEL");
    ReleaseSpinLock(SpinLock);
    CurrentThread().Irql = NewIrql;
}

/* Not tail calls: the routine the driver called stays on the acquisition
   stacks the lock-order checker reports. */
__attribute__((disable_tail_calls)) VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    CheckDispatchLevel(SpinLock, "acquired at DPC level with the IRQL not DISPATCH_LEVEL");
    AcquireSpinLock(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    CheckDispatchLevel(SpinLock, "released from DPC level with the IRQL not DISPATCH_LEVEL");
    ReleaseSpinLock(SpinLock);
}

VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle)
{
    LockHandle->LockQueue.Next = NULL;
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle)
{
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = FM_LOCK_BIT;
    FastMutex->Owner = NULL;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    FastMutex->OldIrql = PASSIVE_LEVEL;
    TheLockOrder().Forget(FastMutex);
    TsanLockCreated(FastMutex);
}

/* Not tail calls, as above. */
__attribute__((disable_tail_calls)) VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    (void)AcquireAtApcLevel(FastMutex, true);
}

__attribute__((disable_tail_calls)) BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    return AcquireAtApcLevel(FastMutex, false) ? TRUE : FALSE;
}

VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    ThreadState &Thread = CurrentThread();
    if (Thread.Irql != APC_LEVEL) {
        StopFor(FastMutex, "fast mutex", "released by ExReleaseFastMutex with the IRQL not APC_LEVEL");
    }
    KIRQL OldIrql = (KIRQL)FastMutex->OldIrql;
    ReleaseFastMutex(FastMutex);
    Thread.Irql = OldIrql;
}

/* The Unsafe forms: the caller has disabled APCs itself (a critical or
   guarded region, or APC_LEVEL). */
__attribute__((disable_tail_calls)) VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    CheckFastMutexIrql(FastMutex);
    if (!KeAreApcsDisabled()) {
        StopFor(FastMutex, "fast mutex", "acquired by ExAcquireFastMutexUnsafe with normal kernel APCs enabled");
    }
    (void)AcquireFastMutex(FastMutex, true);
}

VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    ReleaseFastMutex(FastMutex);
}

}  // extern "C"
