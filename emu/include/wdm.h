/*
 * wdm.h - kernel declarations of the emulated Windows platform.
 *
 * Every routine declared here is implemented by the emulated kernel
 * (emu/kernel); ROUTINES.md lists them with what each one emulates.  Object
 * types that drivers embed in their own records (ERESOURCE, KEVENT,
 * EX_RUNDOWN_REF, lookaside lists) have their Windows x64 sizes, so records
 * that embed them keep their Windows layout.
 */
#pragma once

#include <ntdef.h>
#include <ntstatus.h>

/* The compiler's intrinsics (__rdtsc, ...), which the driver kit's wdm.h
   gets from <intrin.h>. */
#include <x86intrin.h>

EXTERN_C_START

/* ------------------------------------------------------------------------
 * Structured exception handling.
 *
 * A raise (ExRaiseStatus, ProbeForRead, ProbeForWrite, a fault reported by
 * an emulated copy) unwinds to the innermost __try; its filter expression
 * runs with GetExceptionCode() giving the raised status and decides, as on
 * Windows, whether the __except block runs (EXCEPTION_EXECUTE_HANDLER) or the
 * search goes on outward (EXCEPTION_CONTINUE_SEARCH).  A raise that no
 * __try handles stops the system like an unhandled kernel-mode exception.
 * ---------------------------------------------------------------------- */
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

NTSTATUS EmuSehExceptionCode(void);
BOOLEAN EmuSehFilterResult(LONG Disposition);
BOOLEAN EmuSehTakeHandler(void);

EXTERN_C_END

#ifdef __cplusplus
struct EmuSehException {
    NTSTATUS Code;
};
#define __try try
#define __except(...)                                        \
    catch (const ::EmuSehException &) {                      \
        if (!EmuSehFilterResult((LONG)(__VA_ARGS__))) throw; \
    }                                                        \
    if (EmuSehTakeHandler())
#define GetExceptionCode() EmuSehExceptionCode()
#define _exception_code() EmuSehExceptionCode()
#endif

EXTERN_C_START

DECLSPEC_NORETURN NTKERNELAPI VOID NTAPI ExRaiseStatus(_In_ NTSTATUS Status);
NTKERNELAPI VOID NTAPI ProbeForRead(_In_ volatile VOID *Address, _In_ SIZE_T Length, _In_ ULONG Alignment);
NTKERNELAPI VOID NTAPI ProbeForWrite(_Inout_ volatile VOID *Address, _In_ SIZE_T Length, _In_ ULONG Alignment);

/* Fast fail: stops the system at once with the given code. */
#define FAST_FAIL_LEGACY_GS_VIOLATION 0
#define FAST_FAIL_VTGUARD_CHECK_FAILURE 1
#define FAST_FAIL_STACK_COOKIE_CHECK_FAILURE 2
#define FAST_FAIL_CORRUPT_LIST_ENTRY 3
#define FAST_FAIL_INVALID_ARG 5
DECLSPEC_NORETURN void EmuFastFail(ULONG Code);
#define __fastfail(code) EmuFastFail(code)

/* ------------------------------------------------------------------------
 * Memory and strings.
 * ---------------------------------------------------------------------- */
/* The copy and fill routines touch memory as the processor does: a source
   or destination in user memory that the current process has not mapped
   (or not for that access) raises STATUS_ACCESS_VIOLATION from inside the
   call, so the fault reaches the caller's __try exactly where an access of
   unmapped user memory faults on Windows. */
NTSYSAPI VOID NTAPI EmuCopyMemory(_Out_writes_bytes_all_(Length) PVOID Destination, _In_reads_bytes_(Length) const VOID *Source, _In_ SIZE_T Length);
NTSYSAPI VOID NTAPI EmuMoveMemory(_Out_writes_bytes_all_(Length) PVOID Destination, _In_reads_bytes_(Length) const VOID *Source, _In_ SIZE_T Length);
NTSYSAPI VOID NTAPI EmuFillMemory(_Out_writes_bytes_all_(Length) PVOID Destination, _In_ SIZE_T Length, _In_ UCHAR Fill);
NTSYSAPI BOOLEAN NTAPI EmuEqualMemory(_In_reads_bytes_(Length) const VOID *Source1, _In_reads_bytes_(Length) const VOID *Source2, _In_ SIZE_T Length);
#define RtlCopyMemory(Destination, Source, Length) EmuCopyMemory((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) EmuMoveMemory((Destination), (Source), (Length))
#define RtlFillMemory(Destination, Length, Fill) EmuFillMemory((Destination), (Length), (UCHAR)(Fill))
#define RtlZeroMemory(Destination, Length) EmuFillMemory((Destination), (Length), 0)
#define RtlEqualMemory(Destination, Source, Length) EmuEqualMemory((Destination), (Source), (Length))
NTSYSAPI SIZE_T NTAPI RtlCompareMemory(_In_ const VOID *Source1, _In_ const VOID *Source2, _In_ SIZE_T Length);

NTSYSAPI VOID NTAPI RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString, _In_opt_ PCWSTR SourceString);
NTSYSAPI VOID NTAPI RtlCopyUnicodeString(_Inout_ PUNICODE_STRING DestinationString, _In_opt_ PCUNICODE_STRING SourceString);
NTSYSAPI LONG NTAPI RtlCompareUnicodeString(_In_ PCUNICODE_STRING String1, _In_ PCUNICODE_STRING String2, _In_ BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlEqualUnicodeString(_In_ PCUNICODE_STRING String1, _In_ PCUNICODE_STRING String2, _In_ BOOLEAN CaseInSensitive);
NTSYSAPI BOOLEAN NTAPI RtlPrefixUnicodeString(_In_ PCUNICODE_STRING String1, _In_ PCUNICODE_STRING String2, _In_ BOOLEAN CaseInSensitive);
NTSYSAPI WCHAR NTAPI RtlUpcaseUnicodeChar(_In_ WCHAR SourceCharacter);
NTSYSAPI NTSTATUS NTAPI RtlAppendUnicodeStringToString(_Inout_ PUNICODE_STRING Destination, _In_ PCUNICODE_STRING Source);

/* ------------------------------------------------------------------------
 * Doubly linked lists, with the integrity checks of the Windows headers:
 * a broken link stops the system with FAST_FAIL_CORRUPT_LIST_ENTRY.
 * ---------------------------------------------------------------------- */
FORCEINLINE VOID InitializeListHead(_Out_ PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead->Blink = ListHead;
}

FORCEINLINE BOOLEAN IsListEmpty(_In_ const LIST_ENTRY *ListHead)
{
    return (BOOLEAN)(ListHead->Flink == ListHead);
}

FORCEINLINE VOID RtlpCheckListEntry(_In_ PLIST_ENTRY Entry)
{
    if (Entry->Flink->Blink != Entry || Entry->Blink->Flink != Entry) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
}

FORCEINLINE BOOLEAN RemoveEntryList(_In_ PLIST_ENTRY Entry)
{
    PLIST_ENTRY PrevEntry;
    PLIST_ENTRY NextEntry;

    NextEntry = Entry->Flink;
    PrevEntry = Entry->Blink;
    if (NextEntry->Blink != Entry || PrevEntry->Flink != Entry) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    PrevEntry->Flink = NextEntry;
    NextEntry->Blink = PrevEntry;
    return (BOOLEAN)(PrevEntry == NextEntry);
}

FORCEINLINE PLIST_ENTRY RemoveHeadList(_Inout_ PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Flink;
    PLIST_ENTRY NextEntry = Entry->Flink;

    if (Entry->Blink != ListHead || NextEntry->Blink != Entry) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Flink = NextEntry;
    NextEntry->Blink = ListHead;
    return Entry;
}

FORCEINLINE PLIST_ENTRY RemoveTailList(_Inout_ PLIST_ENTRY ListHead)
{
    PLIST_ENTRY Entry = ListHead->Blink;
    PLIST_ENTRY PrevEntry = Entry->Blink;

    if (Entry->Flink != ListHead || PrevEntry->Flink != Entry) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    ListHead->Blink = PrevEntry;
    PrevEntry->Flink = ListHead;
    return Entry;
}

FORCEINLINE VOID InsertTailList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry)
{
    PLIST_ENTRY PrevEntry = ListHead->Blink;

    if (PrevEntry->Flink != ListHead) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = ListHead;
    Entry->Blink = PrevEntry;
    PrevEntry->Flink = Entry;
    ListHead->Blink = Entry;
}

FORCEINLINE VOID InsertHeadList(_Inout_ PLIST_ENTRY ListHead, _Out_ PLIST_ENTRY Entry)
{
    PLIST_ENTRY NextEntry = ListHead->Flink;

    if (NextEntry->Blink != ListHead) {
        __fastfail(FAST_FAIL_CORRUPT_LIST_ENTRY);
    }
    Entry->Flink = NextEntry;
    Entry->Blink = ListHead;
    NextEntry->Blink = Entry;
    ListHead->Flink = Entry;
}

/* ------------------------------------------------------------------------
 * Interlocked operations.
 * ---------------------------------------------------------------------- */
FORCEINLINE LONG InterlockedIncrement(_Inout_ LONG volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedDecrement(_Inout_ LONG volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchange(_Inout_ LONG volatile *Target, _In_ LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedExchangeAdd(_Inout_ LONG volatile *Addend, _In_ LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG InterlockedCompareExchange(_Inout_ LONG volatile *Destination, _In_ LONG Exchange, _In_ LONG Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE LONG64 InterlockedIncrement64(_Inout_ LONG64 volatile *Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedDecrement64(_Inout_ LONG64 volatile *Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedExchangeAdd64(_Inout_ LONG64 volatile *Addend, _In_ LONG64 Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE LONG64 InterlockedCompareExchange64(_Inout_ LONG64 volatile *Destination, _In_ LONG64 Exchange, _In_ LONG64 Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
FORCEINLINE PVOID InterlockedExchangePointer(_Inout_ PVOID volatile *Target, _In_opt_ PVOID Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
FORCEINLINE PVOID InterlockedCompareExchangePointer(_Inout_ PVOID volatile *Destination, _In_opt_ PVOID Exchange, _In_opt_ PVOID Comperand)
{
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, 0, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return Comperand;
}
#define KeMemoryBarrier() __atomic_thread_fence(__ATOMIC_SEQ_CST)
#define ReadNoFence(p) __atomic_load_n((p), __ATOMIC_RELAXED)

/* ------------------------------------------------------------------------
 * Debugging.
 * ---------------------------------------------------------------------- */
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_IHVDRIVER_ID 77

NTSYSAPI ULONG __cdecl DbgPrint(_In_z_ _Printf_format_string_ PCSTR Format, ...);
NTSYSAPI ULONG __cdecl DbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ _Printf_format_string_ PCSTR Format, ...);
NTSYSAPI VOID NTAPI DbgBreakPoint(VOID);
#define KdBreakPoint() DbgBreakPoint()
#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

VOID EmuAssertionFailure(PCSTR Expression, PCSTR File, ULONG Line);
#define NT_ASSERT(e) ((e) ? (void)0 : EmuAssertionFailure(#e, __FILE__, __LINE__))
#define NT_ASSERTMSG(m, e) ((e) ? (void)0 : EmuAssertionFailure(m, __FILE__, __LINE__))
#define ASSERT(e) NT_ASSERT(e)
#define NT_VERIFY(e) NT_ASSERT(e)

/* ------------------------------------------------------------------------
 * Interrupt request level, critical regions.
 * ---------------------------------------------------------------------- */
NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID);
NTHALAPI VOID NTAPI KeRaiseIrql(_In_ KIRQL NewIrql, _Out_ PKIRQL OldIrql);
NTHALAPI VOID NTAPI KeLowerIrql(_In_ KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID);
NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID);
NTKERNELAPI BOOLEAN NTAPI KeAreApcsDisabled(VOID);

/* Pageable code runs at PASSIVE_LEVEL or APC_LEVEL; the emulation checks it
   in every build. */
#define PAGED_CODE() NT_ASSERT(KeGetCurrentIrql() <= APC_LEVEL)
#define PAGED_CODE_LOCKED() ((void)0)

/* ------------------------------------------------------------------------
 * Pool.
 * ---------------------------------------------------------------------- */
typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolMustSucceed = 2,
    DontUseThisType = 3,
    NonPagedPoolCacheAligned = 4,
    PagedPoolCacheAligned = 5,
    NonPagedPoolCacheAlignedMustS = 6,
    MaxPoolType = 7,
    NonPagedPoolBase = 0,
    NonPagedPoolSession = 32,
    PagedPoolSession = 33,
    NonPagedPoolNx = 512,
    NonPagedPoolNxCacheAligned = 516,
    NonPagedPoolSessionNx = 544,
} POOL_TYPE;

#define POOL_COLD_ALLOCATION 256
#define POOL_NX_ALLOCATION 512
#define POOL_ZERO_ALLOCATION 1024
#define POOL_RAISE_IF_ALLOCATION_FAILURE 16

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
NTKERNELAPI PVOID NTAPI ExAllocatePool(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes);
NTKERNELAPI VOID NTAPI ExFreePoolWithTag(_In_ PVOID P, _In_ ULONG Tag);
NTKERNELAPI VOID NTAPI ExFreePool(_In_ PVOID P);

typedef PVOID (NTAPI *PALLOCATE_FUNCTION)(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
typedef VOID (NTAPI *PFREE_FUNCTION)(_In_ PVOID Buffer);

/* Paged lookaside list: 128 bytes on x64, contents private to the kernel,
   aligned on a cache line (64 bytes) as the driver kit's LOOKASIDE_ALIGN
   makes it on x64, so a record that embeds one has Windows' layout. */
typedef struct DECLSPEC_ALIGN(64) _PAGED_LOOKASIDE_LIST {
    ULONG_PTR Opaque[16];
} PAGED_LOOKASIDE_LIST, *PPAGED_LOOKASIDE_LIST;
typedef struct DECLSPEC_ALIGN(64) _NPAGED_LOOKASIDE_LIST {
    ULONG_PTR Opaque[16];
} NPAGED_LOOKASIDE_LIST, *PNPAGED_LOOKASIDE_LIST;

NTKERNELAPI VOID NTAPI ExInitializePagedLookasideList(_Out_ PPAGED_LOOKASIDE_LIST Lookaside, _In_opt_ PALLOCATE_FUNCTION Allocate, _In_opt_ PFREE_FUNCTION Free, _In_ ULONG Flags, _In_ SIZE_T Size, _In_ ULONG Tag, _In_ USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeletePagedLookasideList(_Inout_ PPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromPagedLookasideList(_Inout_ PPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToPagedLookasideList(_Inout_ PPAGED_LOOKASIDE_LIST Lookaside, _In_ PVOID Entry);
NTKERNELAPI VOID NTAPI ExInitializeNPagedLookasideList(_Out_ PNPAGED_LOOKASIDE_LIST Lookaside, _In_opt_ PALLOCATE_FUNCTION Allocate, _In_opt_ PFREE_FUNCTION Free, _In_ ULONG Flags, _In_ SIZE_T Size, _In_ ULONG Tag, _In_ USHORT Depth);
NTKERNELAPI VOID NTAPI ExDeleteNPagedLookasideList(_Inout_ PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI PVOID NTAPI ExAllocateFromNPagedLookasideList(_Inout_ PNPAGED_LOOKASIDE_LIST Lookaside);
NTKERNELAPI VOID NTAPI ExFreeToNPagedLookasideList(_Inout_ PNPAGED_LOOKASIDE_LIST Lookaside, _In_ PVOID Entry);

/* ------------------------------------------------------------------------
 * Executive resources: 104 bytes on x64, contents private to the kernel.
 * ---------------------------------------------------------------------- */
typedef struct DECLSPEC_ALIGN(8) _ERESOURCE {
    ULONG_PTR Opaque[13];
} ERESOURCE, *PERESOURCE;
typedef ULONG_PTR ERESOURCE_THREAD, *PERESOURCE_THREAD;

NTKERNELAPI NTSTATUS NTAPI ExInitializeResourceLite(_Out_ PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExReinitializeResourceLite(_Inout_ PERESOURCE Resource);
NTKERNELAPI NTSTATUS NTAPI ExDeleteResourceLite(_Inout_ PERESOURCE Resource);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceExclusiveLite(_Inout_ PERESOURCE Resource, _In_ BOOLEAN Wait);
NTKERNELAPI BOOLEAN NTAPI ExAcquireResourceSharedLite(_Inout_ PERESOURCE Resource, _In_ BOOLEAN Wait);
NTKERNELAPI VOID FASTCALL ExReleaseResourceLite(_Inout_ PERESOURCE Resource);
NTKERNELAPI VOID NTAPI ExReleaseResourceForThreadLite(_Inout_ PERESOURCE Resource, _In_ ERESOURCE_THREAD ResourceThreadId);
NTKERNELAPI BOOLEAN NTAPI ExIsResourceAcquiredExclusiveLite(_In_ PERESOURCE Resource);
NTKERNELAPI ULONG NTAPI ExIsResourceAcquiredSharedLite(_In_ PERESOURCE Resource);
NTKERNELAPI ERESOURCE_THREAD NTAPI ExGetCurrentResourceThread(VOID);
NTKERNELAPI PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceExclusive(_Inout_ PERESOURCE Resource);
NTKERNELAPI PVOID NTAPI ExEnterCriticalRegionAndAcquireResourceShared(_Inout_ PERESOURCE Resource);
NTKERNELAPI VOID FASTCALL ExReleaseResourceAndLeaveCriticalRegion(_Inout_ PERESOURCE Resource);
#define ExIsResourceAcquiredLite ExIsResourceAcquiredSharedLite

/* ------------------------------------------------------------------------
 * Run-down protection.
 * ---------------------------------------------------------------------- */
typedef struct _EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;
        volatile PVOID Ptr;
    };
} EX_RUNDOWN_REF, *PEX_RUNDOWN_REF;

NTKERNELAPI VOID FASTCALL ExInitializeRundownProtection(_Out_ PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID FASTCALL ExReInitializeRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
NTKERNELAPI BOOLEAN FASTCALL ExAcquireRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
NTKERNELAPI BOOLEAN FASTCALL ExAcquireRundownProtectionEx(_Inout_ PEX_RUNDOWN_REF RunRef, _In_ ULONG Count);
NTKERNELAPI VOID FASTCALL ExReleaseRundownProtection(_Inout_ PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID FASTCALL ExReleaseRundownProtectionEx(_Inout_ PEX_RUNDOWN_REF RunRef, _In_ ULONG Count);
NTKERNELAPI VOID FASTCALL ExWaitForRundownProtectionRelease(_Inout_ PEX_RUNDOWN_REF RunRef);
NTKERNELAPI VOID FASTCALL ExRundownCompleted(_Out_ PEX_RUNDOWN_REF RunRef);

/* ------------------------------------------------------------------------
 * Dispatcher objects, waits and time.
 * ---------------------------------------------------------------------- */
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved1;
    volatile LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER, *PDISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE {
    NotificationEvent,
    SynchronizationEvent
} EVENT_TYPE;

typedef enum _KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
} KWAIT_REASON;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

NTKERNELAPI VOID NTAPI KeInitializeEvent(_Out_ PRKEVENT Event, _In_ EVENT_TYPE Type, _In_ BOOLEAN State);
NTKERNELAPI LONG NTAPI KeSetEvent(_Inout_ PRKEVENT Event, _In_ KPRIORITY Increment, _In_ BOOLEAN Wait);
NTKERNELAPI VOID NTAPI KeClearEvent(_Inout_ PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeResetEvent(_Inout_ PRKEVENT Event);
NTKERNELAPI LONG NTAPI KeReadStateEvent(_In_ PRKEVENT Event);
typedef enum _WAIT_TYPE {
    WaitAll,
    WaitAny,
    WaitNotification,
    WaitDequeue,
    WaitDpc,
} WAIT_TYPE;

/* A wait block: 48 bytes on x64, contents private to the kernel. */
typedef struct _KWAIT_BLOCK {
    ULONG_PTR Opaque[6];
} KWAIT_BLOCK, *PKWAIT_BLOCK, *PRKWAIT_BLOCK;

#define THREAD_WAIT_OBJECTS 3
#define MAXIMUM_WAIT_OBJECTS 64

NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(_In_ ULONG Count, _In_reads_(Count) PVOID Object[], _In_ WAIT_TYPE WaitType, _In_ KWAIT_REASON WaitReason, _In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable, _In_opt_ PLARGE_INTEGER Timeout, _Out_opt_ PKWAIT_BLOCK WaitBlockArray);
NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(_In_ PVOID Object, _In_ KWAIT_REASON WaitReason, _In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable, _In_opt_ PLARGE_INTEGER Timeout);
NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(_In_ KPROCESSOR_MODE WaitMode, _In_ BOOLEAN Alertable, _In_ PLARGE_INTEGER Interval);
NTKERNELAPI VOID NTAPI KeQuerySystemTime(_Out_ PLARGE_INTEGER CurrentTime);
NTKERNELAPI VOID NTAPI KeQuerySystemTimePrecise(_Out_ PLARGE_INTEGER CurrentTime);
NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID);

/* ------------------------------------------------------------------------
 * Spin locks and fast mutexes.
 * ---------------------------------------------------------------------- */
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

typedef struct _KSPIN_LOCK_QUEUE {
    struct _KSPIN_LOCK_QUEUE *volatile Next;
    PKSPIN_LOCK volatile Lock;
} KSPIN_LOCK_QUEUE, *PKSPIN_LOCK_QUEUE;

typedef struct _KLOCK_QUEUE_HANDLE {
    KSPIN_LOCK_QUEUE LockQueue;
    KIRQL OldIrql;
} KLOCK_QUEUE_HANDLE, *PKLOCK_QUEUE_HANDLE;

NTKERNELAPI VOID NTAPI KeInitializeSpinLock(_Out_ PKSPIN_LOCK SpinLock);
NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(_Inout_ PKSPIN_LOCK SpinLock);
#define KeAcquireSpinLock(SpinLock, OldIrql) *(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock)
NTKERNELAPI VOID NTAPI KeReleaseSpinLock(_Inout_ PKSPIN_LOCK SpinLock, _In_ KIRQL NewIrql);
NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(_Inout_ PKSPIN_LOCK SpinLock);
NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLock(_Inout_ PKSPIN_LOCK SpinLock, _Out_ PKLOCK_QUEUE_HANDLE LockHandle);
NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLock(_In_ PKLOCK_QUEUE_HANDLE LockHandle);

#define FM_LOCK_BIT 0x1
typedef struct _FAST_MUTEX {
    volatile LONG Count;
    PVOID Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

NTKERNELAPI VOID NTAPI ExInitializeFastMutex(_Out_ PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(_Inout_ PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(_Inout_ PFAST_MUTEX FastMutex);
NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(_Inout_ PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExAcquireFastMutexUnsafe(_Inout_ PFAST_MUTEX FastMutex);
NTKERNELAPI VOID FASTCALL ExReleaseFastMutexUnsafe(_Inout_ PFAST_MUTEX FastMutex);

/* ------------------------------------------------------------------------
 * Threads, processes and objects.
 * ---------------------------------------------------------------------- */
typedef struct _KTHREAD *PKTHREAD, *PRKTHREAD;
typedef struct _ETHREAD *PETHREAD;
typedef struct _KPROCESS *PKPROCESS, *PRKPROCESS;
typedef struct _EPROCESS *PEPROCESS;
typedef struct _OBJECT_TYPE *POBJECT_TYPE;

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID);
#define PsGetCurrentThread() ((PETHREAD)KeGetCurrentThread())
NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID);
NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID);
NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess(VOID);
#define IoGetCurrentProcess() PsGetCurrentProcess()
NTKERNELAPI HANDLE NTAPI PsGetProcessId(_In_ PEPROCESS Process);
NTKERNELAPI HANDLE NTAPI PsGetThreadId(_In_ PETHREAD Thread);
NTKERNELAPI HANDLE NTAPI PsGetThreadProcessId(_In_ PETHREAD Thread);

NTKERNELAPI LONG_PTR FASTCALL ObfReferenceObject(_In_ PVOID Object);
NTKERNELAPI LONG_PTR FASTCALL ObfDereferenceObject(_In_ PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByHandle(_In_ HANDLE Handle, _In_ ACCESS_MASK DesiredAccess,
    _In_opt_ POBJECT_TYPE ObjectType, _In_ KPROCESSOR_MODE AccessMode, _Out_ PVOID *Object,
    _Out_opt_ POBJECT_HANDLE_INFORMATION HandleInformation);

/* The highest address a user-mode buffer may reach. */
#define MM_USER_PROBE_ADDRESS ((ULONG_PTR)0x7FFFFFFF0000ULL)

/* File access rights. */
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ADD_FILE 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_ADD_SUBDIRECTORY 0x0004
#define FILE_CREATE_PIPE_INSTANCE 0x0004
#define FILE_READ_EA 0x0008
#define FILE_WRITE_EA 0x0010
#define FILE_EXECUTE 0x0020
#define FILE_TRAVERSE 0x0020
#define FILE_DELETE_CHILD 0x0040
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define FILE_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x1FF)
#define FILE_GENERIC_READ (STANDARD_RIGHTS_READ | FILE_READ_DATA | FILE_READ_ATTRIBUTES | FILE_READ_EA | SYNCHRONIZE)
#define FILE_GENERIC_WRITE (STANDARD_RIGHTS_WRITE | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_WRITE_EA | FILE_APPEND_DATA | SYNCHRONIZE)
#define FILE_GENERIC_EXECUTE (STANDARD_RIGHTS_EXECUTE | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE)

/* Share access. */
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define FILE_SHARE_VALID_FLAGS 0x00000007

/* ------------------------------------------------------------------------
 * Memory descriptor lists.  An MDL is its header followed by one page
 * frame number per page the buffer spans, as in the Windows wdm.h; the
 * macros and inline routines below are those of wdm.h.
 * ---------------------------------------------------------------------- */
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(PAGE_SIZE - 1)))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((((ULONG_PTR)(Size)) >> PAGE_SHIFT) + ((BYTE_OFFSET(Va) + BYTE_OFFSET(Size) + PAGE_SIZE - 1) >> PAGE_SHIFT)))

/* Page protections, as VirtualAlloc takes them. */
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80
#define PAGE_GUARD 0x100

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

typedef struct _MDL {
    struct _MDL *Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS *Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_PARENT_MAPPED_SYSTEM_VA MDL_LOCKED_PAGE_TABLES
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_ALLOCATED_MUST_SUCCEED MDL_PAGE_CONTENTS_INVARIANT
#define MDL_INTERNAL 0x8000
#define MDL_MAPPING_FLAGS \
    (MDL_MAPPED_TO_SYSTEM_VA | MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL_HAS_BEEN_MAPPED | \
     MDL_PARENT_MAPPED_SYSTEM_VA | MDL_IO_SPACE)

typedef enum _LOCK_OPERATION {
    IoReadAccess,
    IoWriteAccess,
    IoModifyAccess
} LOCK_OPERATION;

typedef enum _MEMORY_CACHING_TYPE {
    MmNonCached = 0,
    MmCached = 1,
    MmWriteCombined = 2,
    MmHardwareCoherentCached = 3,
    MmNonCachedUnordered = 4,
    MmUSWCCached = 5,
    MmMaximumCacheType = 6,
    MmNotMapped = -1
} MEMORY_CACHING_TYPE;

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;

/* Flags ORed into a mapping's priority. */
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000
#define MdlMappingWithGuardPtes 0x20000000

#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)
#define MmSizeOfMdl(Base, Length) \
    ((SIZE_T)(sizeof(MDL) + (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((Base), (Length)))))
#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                                 \
    {                                                                                         \
        (MemoryDescriptorList)->Next = (PMDL)NULL;                                            \
        (MemoryDescriptorList)->Size = (CSHORT)(sizeof(MDL) +                                 \
            (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((BaseVa), (Length))));       \
        (MemoryDescriptorList)->MdlFlags = 0;                                                 \
        (MemoryDescriptorList)->StartVa = (PVOID)PAGE_ALIGN((BaseVa));                        \
        (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET((BaseVa));                           \
        (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                  \
    }

NTKERNELAPI PMDL NTAPI IoAllocateMdl(_In_opt_ PVOID VirtualAddress, _In_ ULONG Length, _In_ BOOLEAN SecondaryBuffer, _In_ BOOLEAN ChargeQuota, _Inout_opt_ struct _IRP *Irp);
NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl);
NTKERNELAPI VOID NTAPI MmProbeAndLockPages(_Inout_ PMDL MemoryDescriptorList, _In_ KPROCESSOR_MODE AccessMode, _In_ LOCK_OPERATION Operation);
NTKERNELAPI VOID NTAPI MmUnlockPages(_Inout_ PMDL MemoryDescriptorList);
NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(_Inout_ PMDL MemoryDescriptorList);
NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(_Inout_ PMDL MemoryDescriptorList, _In_ KPROCESSOR_MODE AccessMode, _In_ MEMORY_CACHING_TYPE CacheType, _In_opt_ PVOID RequestedAddress, _In_ ULONG BugCheckOnFailure, _In_ ULONG Priority);
NTKERNELAPI VOID NTAPI MmUnmapLockedPages(_In_ PVOID BaseAddress, _Inout_ PMDL MemoryDescriptorList);

FORCEINLINE PVOID MmGetSystemAddressForMdlSafe(_Inout_ PMDL Mdl, _In_ ULONG Priority)
{
    if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return Mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, Priority);
}

/* ------------------------------------------------------------------------
 * Version.
 * ---------------------------------------------------------------------- */
typedef struct _OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
} OSVERSIONINFOW, *POSVERSIONINFOW, *LPOSVERSIONINFOW, RTL_OSVERSIONINFOW, *PRTL_OSVERSIONINFOW;

typedef struct _OSVERSIONINFOEXW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
    USHORT wServicePackMajor;
    USHORT wServicePackMinor;
    USHORT wSuiteMask;
    UCHAR wProductType;
    UCHAR wReserved;
} OSVERSIONINFOEXW, *POSVERSIONINFOEXW, RTL_OSVERSIONINFOEXW, *PRTL_OSVERSIONINFOEXW;

NTSYSAPI NTSTATUS NTAPI RtlGetVersion(_Out_ PRTL_OSVERSIONINFOW lpVersionInformation);

/* ------------------------------------------------------------------------
 * Security.
 * ---------------------------------------------------------------------- */
typedef PVOID PSID;
typedef PVOID PSECURITY_DESCRIPTOR;
typedef USHORT SECURITY_DESCRIPTOR_CONTROL, *PSECURITY_DESCRIPTOR_CONTROL;
typedef ULONG SECURITY_INFORMATION, *PSECURITY_INFORMATION;

typedef struct _SID_IDENTIFIER_AUTHORITY {
    UCHAR Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    UCHAR Revision;
    UCHAR SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    ULONG SubAuthority[ANYSIZE_ARRAY];
} SID, *PISID;

#define SID_REVISION 1
#define SID_MAX_SUB_AUTHORITIES 15
#define SECURITY_WORLD_RID 0x00000000L

typedef struct _ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
} ACL, *PACL;

#define ACL_REVISION 2
#define ACL_REVISION_DS 4
#define MIN_ACL_REVISION ACL_REVISION
#define MAX_ACL_REVISION ACL_REVISION_DS

typedef struct _ACE_HEADER {
    UCHAR AceType;
    UCHAR AceFlags;
    USHORT AceSize;
} ACE_HEADER, *PACE_HEADER;

#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1

typedef struct _ACCESS_ALLOWED_ACE {
    ACE_HEADER Header;
    ACCESS_MASK Mask;
    ULONG SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;

#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH (sizeof(SECURITY_DESCRIPTOR))
#define SE_OWNER_DEFAULTED 0x0001
#define SE_GROUP_DEFAULTED 0x0002
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define SE_SACL_PRESENT 0x0010
#define SE_SACL_DEFAULTED 0x0020
#define SE_SELF_RELATIVE 0x8000

typedef struct _SECURITY_DESCRIPTOR {
    UCHAR Revision;
    UCHAR Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID Owner;
    PSID Group;
    PACL Sacl;
    PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;

/* Access rights. */
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#define STANDARD_RIGHTS_EXECUTE READ_CONTROL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define SPECIFIC_RIGHTS_ALL 0x0000FFFFL
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L

typedef struct _GENERIC_MAPPING {
    ACCESS_MASK GenericRead;
    ACCESS_MASK GenericWrite;
    ACCESS_MASK GenericExecute;
    ACCESS_MASK GenericAll;
} GENERIC_MAPPING, *PGENERIC_MAPPING;

typedef struct _SE_EXPORTS {
    LUID Reserved[22];
    PSID SeNullSid;
    PSID SeWorldSid;
    PSID SeLocalSid;
    PSID SeCreatorOwnerSid;
    PSID SeCreatorGroupSid;
    PSID SeNtAuthoritySid;
    PSID SeDialupSid;
    PSID SeNetworkSid;
    PSID SeBatchSid;
    PSID SeInteractiveSid;
    PSID SeLocalSystemSid;
    PSID SeAliasAdminsSid;
    PSID SeAliasUsersSid;
    PSID SeAliasGuestsSid;
    PSID SeAliasPowerUsersSid;
    PSID SeAliasAccountOpsSid;
    PSID SeAliasSystemOpsSid;
    PSID SeAliasPrintOpsSid;
    PSID SeAliasBackupOpsSid;
    PSID SeAuthenticatedUsersSid;
    PSID SeRestrictedSid;
    PSID SeAnonymousLogonSid;
    PSID SeLocalServiceSid;
    PSID SeNetworkServiceSid;
} SE_EXPORTS, *PSE_EXPORTS;

extern PSE_EXPORTS SeExports;

NTSYSAPI NTSTATUS NTAPI RtlCreateAcl(_Out_writes_bytes_(AclLength) PACL Acl, _In_ ULONG AclLength, _In_ ULONG AclRevision);
NTSYSAPI NTSTATUS NTAPI RtlAddAccessAllowedAce(_Inout_ PACL Acl, _In_ ULONG AceRevision, _In_ ACCESS_MASK AccessMask, _In_ PSID Sid);
NTSYSAPI NTSTATUS NTAPI RtlCreateSecurityDescriptor(_Out_ PSECURITY_DESCRIPTOR SecurityDescriptor, _In_ ULONG Revision);
NTSYSAPI NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(_Inout_ PSECURITY_DESCRIPTOR SecurityDescriptor, _In_ BOOLEAN DaclPresent, _In_opt_ PACL Dacl, _In_ BOOLEAN DaclDefaulted);
NTSYSAPI BOOLEAN NTAPI RtlValidSid(_In_ PSID Sid);
NTSYSAPI ULONG NTAPI RtlLengthSid(_In_ PSID Sid);
NTSYSAPI BOOLEAN NTAPI RtlEqualSid(_In_ PSID Sid1, _In_ PSID Sid2);
NTSYSAPI BOOLEAN NTAPI RtlValidSecurityDescriptor(_In_ PSECURITY_DESCRIPTOR SecurityDescriptor);

/* ------------------------------------------------------------------------
 * Drivers and devices.
 * ---------------------------------------------------------------------- */
typedef struct _DEVICE_OBJECT *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_INITIALIZE(_In_ struct _DRIVER_OBJECT *DriverObject, _In_ PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE *PDRIVER_INITIALIZE;
typedef VOID DRIVER_UNLOAD(_In_ struct _DRIVER_OBJECT *DriverObject);
typedef DRIVER_UNLOAD *PDRIVER_UNLOAD;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PVOID MajorFunction[28];
} DRIVER_OBJECT;

#define FILE_DEVICE_CD_ROM_FILE_SYSTEM 0x00000003
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_DISK_FILE_SYSTEM 0x00000008
#define FILE_DEVICE_FILE_SYSTEM 0x00000009
#define FILE_DEVICE_NETWORK_FILE_SYSTEM 0x00000014
#define FILE_DEVICE_TAPE_FILE_SYSTEM 0x00000020

C_ASSERT(sizeof(ERESOURCE) == 104);
C_ASSERT(sizeof(KEVENT) == 24);
C_ASSERT(sizeof(FAST_MUTEX) == 56);
C_ASSERT(sizeof(KLOCK_QUEUE_HANDLE) == 24);
C_ASSERT(sizeof(EX_RUNDOWN_REF) == 8);
C_ASSERT(sizeof(PAGED_LOOKASIDE_LIST) == 128);
C_ASSERT(alignof(PAGED_LOOKASIDE_LIST) == 64 && alignof(NPAGED_LOOKASIDE_LIST) == 64);
C_ASSERT(sizeof(OSVERSIONINFOW) == 276);
C_ASSERT(sizeof(SECURITY_DESCRIPTOR) == 40);
C_ASSERT(sizeof(ACCESS_ALLOWED_ACE) == 12);
C_ASSERT(sizeof(DRIVER_OBJECT) == 0x150);
C_ASSERT(sizeof(MDL) == 48);
C_ASSERT(sizeof(KWAIT_BLOCK) == 48);

EXTERN_C_END
