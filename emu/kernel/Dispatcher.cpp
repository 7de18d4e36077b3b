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

void CheckWaitIrql(const ThreadState &Thread, const LARGE_INTEGER *Timeout)
{
    if (Thread.Irql > APC_LEVEL && (Timeout == NULL || Timeout->QuadPart != 0)) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, Thread.Irql, "wait with a non-zero timeout above APC_LEVEL");
    }
}

/* A satisfied wait resets a synchronization event. */
void Satisfy(PKEVENT Event)
{
    if (Event->Header.Type == SynchronizationEventType) {
        Event->Header.SignalState = 0;
    }
}

/* What ends the thread's wait early, as "Waits and APCs" describes; takes
   a pending alert or user APC.  STATUS_SUCCESS when nothing does.  Caller
   holds the dispatcher lock. */
NTSTATUS TakeInterruption(ThreadState &Thread, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable)
{
    /* A critical region or APC_LEVEL disables kernel APCs, and with them
       user APC delivery and termination. */
    bool ApcsEnabled = Thread.CriticalRegionDepth == 0 && Thread.Irql < APC_LEVEL;
    if (Alertable && Thread.Alerted) {
        Thread.Alerted = false;
        return STATUS_ALERTED;
    }
    if (Alertable && WaitMode == UserMode && ApcsEnabled && Thread.UserApcPending) {
        Thread.UserApcPending = false;
        return STATUS_USER_APC;
    }
    if (Thread.Terminating && ApcsEnabled) {
        if (WaitMode == UserMode) {
            return STATUS_USER_APC;
        }
        if (Alertable) {
            return STATUS_ALERTED;
        }
    }
    return STATUS_SUCCESS;
}

/* The wait loop of every dispatcher wait: the objects first (a signalled
   object satisfies the wait even with an alert pending), then an alert or
   APC, then the timeout, on the emulated clock. */
template <typename Satisfied>
NTSTATUS WaitLoop(std::unique_lock<std::mutex> &Guard, ThreadState &Thread, KPROCESSOR_MODE WaitMode,
                  BOOLEAN Alertable, const LARGE_INTEGER *Timeout, Satisfied TrySatisfy)
{
    LONGLONG Deadline = Timeout == NULL ? 0 : DeadlineOf(Timeout);
    for (;;) {
        NTSTATUS Status;
        if (TrySatisfy(&Status)) {
            return Status;
        }
        Status = TakeInterruption(Thread, WaitMode, Alertable);
        if (Status != STATUS_SUCCESS) {
            return Status;
        }
        if (Timeout != NULL && TheClock().Now() >= Deadline) {
            return STATUS_TIMEOUT;
        }
        DispatcherCondition().wait(Guard);
    }
}

}  // namespace

namespace emu {

void AlertThread(PKTHREAD Target, NTSTATUS Reason)
{
    auto Thread = (ThreadState *)Target;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        switch (Reason) {
        case STATUS_ALERTED:
            Thread->Alerted = true;
            break;
        case STATUS_USER_APC:
            Thread->UserApcPending = true;
            break;
        case STATUS_THREAD_IS_TERMINATING:
            Thread->Terminating = true;
            break;
        default:
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Reason, "AlertThread with an unknown reason");
        }
    }
    DispatcherCondition().notify_all();
}

bool IsThreadTerminating(PKTHREAD Target)
{
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    return ((ThreadState *)Target)->Terminating;
}

}  // namespace emu

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
    ThreadState &Thread = CurrentThread();
    CheckWaitIrql(Thread, Timeout);
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    PKEVENT Event = CheckedEvent(Object);
    return WaitLoop(Guard, Thread, WaitMode, Alertable, Timeout, [Event](NTSTATUS *Status) {
        if (Event->Header.SignalState == 0) {
            return false;
        }
        Satisfy(Event);
        *Status = STATUS_SUCCESS;
        return true;
    });
}

NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                        KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                        PKWAIT_BLOCK WaitBlockArray)
{
    UNREFERENCED_PARAMETER(WaitReason);
    ThreadState &Thread = CurrentThread();
    /* KeWaitForMultipleObjects: more than THREAD_WAIT_OBJECTS objects need
       a wait block array, more than MAXIMUM_WAIT_OBJECTS are never allowed. */
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS || (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == NULL)) {
        RaiseBugCheck(MAXIMUM_WAIT_OBJECTS_EXCEEDED, Count, "KeWaitForMultipleObjects with a bad object count");
    }
    if (WaitType != WaitAll && WaitType != WaitAny) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)WaitType,
                      "KeWaitForMultipleObjects with a wait type other than WaitAll or WaitAny");
    }
    CheckWaitIrql(Thread, Timeout);
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    std::vector<PKEVENT> Events;
    for (ULONG Index = 0; Index < Count; Index += 1) {
        Events.push_back(CheckedEvent(Object[Index]));
    }
    return WaitLoop(Guard, Thread, WaitMode, Alertable, Timeout, [&Events, WaitType](NTSTATUS *Status) {
        if (WaitType == WaitAny) {
            for (size_t Index = 0; Index < Events.size(); Index += 1) {
                if (Events[Index]->Header.SignalState != 0) {
                    Satisfy(Events[Index]);
                    *Status = STATUS_WAIT_0 + (NTSTATUS)Index;
                    return true;
                }
            }
            return false;
        }
        for (PKEVENT Event : Events) {
            if (Event->Header.SignalState == 0) {
                return false;
            }
        }
        for (PKEVENT Event : Events) {
            Satisfy(Event);
        }
        *Status = STATUS_SUCCESS;
        return true;
    });
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval)
{
    ThreadState &Thread = CurrentThread();
    if (Thread.Irql > APC_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, Thread.Irql, "KeDelayExecutionThread above APC_LEVEL");
    }
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    /* An alert or user APC already pending ends even a zero delay. */
    NTSTATUS Interrupted = TakeInterruption(Thread, WaitMode, Alertable);
    if (Interrupted != STATUS_SUCCESS) {
        return Interrupted;
    }
    LONGLONG Deadline = DeadlineOf(Interval);
    return WaitLoop(Guard, Thread, WaitMode, Alertable, NULL, [Deadline](NTSTATUS *Status) {
        *Status = STATUS_SUCCESS;
        return TheClock().Now() >= Deadline;
    });
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
