/*
 * Dispatcher.cpp - events, waits, time, IRQL, thread identity and run-down
 * protection.
 *
 * Dispatcher objects keep their state in their own bytes (the KEVENT's
 * SignalState), guarded by the one dispatcher lock; waiters sleep on the one
 * dispatcher condition and re-check when anything is signalled or the clock
 * moves.  Timeouts run on the controllable clock: a 300-second wait ends
 * when a test advances the clock by 300 seconds, not after 300 real seconds.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

constexpr UCHAR NotificationEventType = 0;
constexpr UCHAR SynchronizationEventType = 1;
constexpr UCHAR EventObjectSize = sizeof(KEVENT) / sizeof(LONG);

PKEVENT CheckedEvent(PVOID Object)
{
    auto Event = (PKEVENT)Object;
    if (Event->Header.Size != EventObjectSize || Event->Header.Type > SynchronizationEventType) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Object,
                      "wait on an object that is not an initialised event");
    }
    return Event;
}

/* Deadline on the emulated clock for a Windows timeout: negative values are
   relative, positive values absolute system times. */
LONGLONG DeadlineOf(const LARGE_INTEGER *Timeout)
{
    if (Timeout->QuadPart < 0) {
        return TheClock().Now() - Timeout->QuadPart;
    }
    return Timeout->QuadPart;
}

}  // namespace

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    memset(Event, 0, sizeof(KEVENT));
    Event->Header.Type = Type == NotificationEvent ? NotificationEventType : SynchronizationEventType;
    Event->Header.Size = EventObjectSize;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait)
{
    UNREFERENCED_PARAMETER(Increment);
    UNREFERENCED_PARAMETER(Wait);
    LONG Previous;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        CheckedEvent(Event);
        Previous = Event->Header.SignalState;
        Event->Header.SignalState = 1;
    }
    DispatcherCondition().notify_all();
    return Previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    CheckedEvent(Event)->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    LONG Previous = CheckedEvent(Event)->Header.SignalState;
    Event->Header.SignalState = 0;
    return Previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    return CheckedEvent(Event)->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    ThreadState &Thread = CurrentThread();
    if (Thread.Irql > APC_LEVEL && (Timeout == NULL || Timeout->QuadPart != 0)) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, Thread.Irql, "wait with a non-zero timeout above APC_LEVEL");
    }
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    PKEVENT Event = CheckedEvent(Object);
    LONGLONG Deadline = Timeout == NULL ? 0 : DeadlineOf(Timeout);
    for (;;) {
        if (Event->Header.SignalState != 0) {
            if (Event->Header.Type == SynchronizationEventType) {
                Event->Header.SignalState = 0;
            }
            return STATUS_SUCCESS;
        }
        if (Timeout != NULL && TheClock().Now() >= Deadline) {
            return STATUS_TIMEOUT;
        }
        DispatcherCondition().wait(Guard);
    }
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    LONGLONG Deadline = DeadlineOf(Interval);
    DispatcherCondition().wait(Guard, [Deadline] { return TheClock().Now() >= Deadline; });
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = TheClock().Now();
}

VOID NTAPI KeQuerySystemTimePrecise(PLARGE_INTEGER CurrentTime)
{
    CurrentTime->QuadPart = TheClock().Now();
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID)
{
    return (ULONGLONG)TheClock().Now();
}

KIRQL NTAPI KeGetCurrentIrql(VOID)
{
    return CurrentThread().Irql;
}

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql)
{
    ThreadState &Thread = CurrentThread();
    if (NewIrql < Thread.Irql) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, NewIrql, "KeRaiseIrql to a lower IRQL");
    }
    *OldIrql = Thread.Irql;
    Thread.Irql = NewIrql;
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql)
{
    ThreadState &Thread = CurrentThread();
    if (NewIrql > Thread.Irql) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, NewIrql, "KeLowerIrql to a higher IRQL");
    }
    Thread.Irql = NewIrql;
}

PKTHREAD NTAPI KeGetCurrentThread(VOID)
{
    return (PKTHREAD)&CurrentThread();
}

HANDLE NTAPI PsGetCurrentThreadId(VOID)
{
    return (HANDLE)CurrentThread().ThreadId;
}

HANDLE NTAPI PsGetThreadId(PETHREAD Thread)
{
    return (HANDLE)((ThreadState *)Thread)->ThreadId;
}

/* "PsGetThreadProcessId": the id of the process the thread belongs to. */
HANDLE NTAPI PsGetThreadProcessId(PETHREAD Thread)
{
    EmuProcess *Process = ((ThreadState *)Thread)->Process;
    return Process != nullptr ? (HANDLE)Process->ProcessId : PsGetCurrentProcessId();
}

/* ---------------------------------------------------------------------------
 * Run-down protection.  Count holds references in units of 2; bit 0 says a
 * run-down has started, after which no new reference is granted.
 * ------------------------------------------------------------------------- */
#define RUNDOWN_ACTIVE ((ULONG_PTR)1)
#define RUNDOWN_UNIT ((ULONG_PTR)2)

VOID FASTCALL ExInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    __atomic_store_n(&RunRef->Count, (ULONG_PTR)0, __ATOMIC_SEQ_CST);
}

VOID FASTCALL ExReInitializeRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    if (__atomic_load_n(&RunRef->Count, __ATOMIC_SEQ_CST) != RUNDOWN_ACTIVE) {
        TheVerifier().Report("ExReInitializeRundownProtection on a run-down reference that has not run down");
    }
    __atomic_store_n(&RunRef->Count, (ULONG_PTR)0, __ATOMIC_SEQ_CST);
}

BOOLEAN FASTCALL ExAcquireRundownProtectionEx(PEX_RUNDOWN_REF RunRef, ULONG Count)
{
    ULONG_PTR Current = __atomic_load_n(&RunRef->Count, __ATOMIC_SEQ_CST);
    do {
        if (Current & RUNDOWN_ACTIVE) {
            return FALSE;
        }
    } while (!__atomic_compare_exchange_n(&RunRef->Count, &Current, Current + Count * RUNDOWN_UNIT, false,
                                          __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST));
    return TRUE;
}

BOOLEAN FASTCALL ExAcquireRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    return ExAcquireRundownProtectionEx(RunRef, 1);
}

VOID FASTCALL ExReleaseRundownProtectionEx(PEX_RUNDOWN_REF RunRef, ULONG Count)
{
    ULONG_PTR Before;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Before = __atomic_fetch_sub(&RunRef->Count, Count * RUNDOWN_UNIT, __ATOMIC_SEQ_CST);
    }
    if ((Before & ~RUNDOWN_ACTIVE) < Count * RUNDOWN_UNIT) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)RunRef,
                      "run-down reference released more often than acquired");
    }
    DispatcherCondition().notify_all();
}

VOID FASTCALL ExReleaseRundownProtection(PEX_RUNDOWN_REF RunRef)
{
    ExReleaseRundownProtectionEx(RunRef, 1);
}

VOID FASTCALL ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF RunRef)
{
    PAGED_CODE();
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    __atomic_fetch_or(&RunRef->Count, RUNDOWN_ACTIVE, __ATOMIC_SEQ_CST);
    DispatcherCondition().wait(Guard, [RunRef] {
        return __atomic_load_n(&RunRef->Count, __ATOMIC_SEQ_CST) == RUNDOWN_ACTIVE;
    });
}

VOID FASTCALL ExRundownCompleted(PEX_RUNDOWN_REF RunRef)
{
    __atomic_store_n(&RunRef->Count, RUNDOWN_ACTIVE, __ATOMIC_SEQ_CST);
}

}  // extern "C"
