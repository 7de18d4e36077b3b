/*
 * Runtime.h - the emulator's own machinery, shared by every emulated layer:
 * the booted system's state, emulated threads, the verifier's accounting and
 * misuse reports, failure injection, the controllable clock, the captured
 * debugger, and bug checks.
 *
 * Nothing here is visible to driver sources; tests reach it through
 * emu/system/System.h.
 */
#pragma once

#include <ntifs.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "LockOrder.h"

namespace emu {

/* ---------------------------------------------------------------------------
 * Bug checks: the emulated system stops.  Raised as a C++ exception that no
 * __except can catch; the harness turns it into a test failure unless the
 * test expects it.
 * ------------------------------------------------------------------------- */
struct BugCheck {
    ULONG Code;
    ULONG_PTR Parameter1;
    std::string Reason;
};

[[noreturn]] void RaiseBugCheck(ULONG Code, ULONG_PTR Parameter1, std::string Reason);

/* Bug-check codes the emulation uses. */
constexpr ULONG KMODE_EXCEPTION_NOT_HANDLED = 0x1E;
constexpr ULONG IRQL_NOT_LESS_OR_EQUAL = 0x0A;
constexpr ULONG KERNEL_SECURITY_CHECK_FAILURE = 0x139;
constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;
constexpr ULONG BAD_POOL_CALLER = 0xC2;
constexpr ULONG MAXIMUM_WAIT_OBJECTS_EXCEEDED = 0x0C;
constexpr ULONG NO_MORE_SYSTEM_PTES = 0x3F;
constexpr ULONG PFN_LIST_CORRUPT = 0x4E;
constexpr ULONG PROCESS_HAS_LOCKED_PAGES = 0x76;
constexpr ULONG LOCKED_PAGES_TRACKER_CORRUPTION = 0xD9;

/* ---------------------------------------------------------------------------
 * Emulated threads.  Every host thread that enters the emulated kernel gets
 * a KTHREAD with its IRQL, its critical-region depth and the executive
 * resources it owns.
 * ------------------------------------------------------------------------- */
struct EmuProcess;

struct ThreadState {
    KIRQL Irql = PASSIVE_LEVEL;
    LONG CriticalRegionDepth = 0;
    std::map<PERESOURCE, ULONG> OwnedResources;  // resource -> recursion count
    std::vector<HeldLock> HeldLocks;             // every lock held, in order taken
    EmuProcess *Process = nullptr;
    uint64_t ThreadId = 0;
    PIRP TopLevelIrp = nullptr;
    NTSTATUS SehCode = 0;
    bool SehHandlerPending = false;
    /* What may end the thread's waits early (see AlertThread); guarded by
       the dispatcher lock. */
    bool Alerted = false;
    bool UserApcPending = false;
    bool Terminating = false;
};

ThreadState &CurrentThread();

/* An emulated process: its id, its handle table, and whether it has ended.
   Kernel threads and threads that never joined a process belong to the
   System process. */
struct HandleEntry {
    void *Object;
    ACCESS_MASK GrantedAccess;
    ULONG Attributes;
};

struct EmuProcess {
    uint64_t ProcessId = 0;
    std::string Name;
    std::mutex HandleLock;
    std::map<uint64_t, HandleEntry> Handles;
    uint64_t NextHandle = 4;
    /* Set once the process ends; read by waits of its threads under other
       locks. */
    std::atomic<bool> Terminated{false};
};

/* ---------------------------------------------------------------------------
 * The verifier: accounting of what drivers hold, and misuse reports.
 * ------------------------------------------------------------------------- */
struct PoolBlock {
    SIZE_T Size;
    ULONG Tag;
    POOL_TYPE Type;
};

struct PoolTagUsage {
    uint64_t Allocations = 0;  // ever
    uint64_t Frees = 0;        // ever
    uint64_t OutstandingBlocks = 0;
    uint64_t OutstandingBytes = 0;
    std::set<POOL_TYPE> TypesUsed;
};

class Verifier {
public:
    /* Pool. */
    void OnPoolAllocate(void *Block, SIZE_T Size, ULONG Tag, POOL_TYPE Type);
    /* Takes an allocated block out of the accounting, gives its record and
       returns true (Problem says why the free is misuse if it is: a wrong
       tag); returns false with Problem set when Block is no pool block. */
    bool OnPoolFree(void *Block, ULONG ExpectedTag, bool CheckTag, PoolBlock *Freed, std::string *Problem);
    std::map<ULONG, PoolTagUsage> PoolByTag() const;
    POOL_TYPE PoolTypeOf(void *Block) const;
    /* The record of an allocated block; false when Block is none. */
    bool FindPoolBlock(void *Block, PoolBlock *Found) const;
    /* True when [Address, Address + Length) overlaps a pool block. */
    bool IsPoolAddress(const void *Address, SIZE_T Length) const;
    /* The type of the pool block holding Address; MaxPoolType when none. */
    POOL_TYPE PoolTypeAt(const void *Address) const;
    /* The tag of the pool block that holds Address; false outside pool. */
    bool PoolTagAt(const void *Address, ULONG *Tag) const;
    /* "pool block 'Tag'+0xOffset" for an address inside a pool block, else
       empty. */
    std::string DescribePoolAddress(const void *Address) const;

    /* Generic counted objects: resources, lookaside lists, contexts, ports,
       name records, object references.  Kind names the class of object. */
    void OnCreate(const std::string &Kind, const void *Object, std::string Description);
    bool OnDestroy(const std::string &Kind, const void *Object);
    bool IsLive(const std::string &Kind, const void *Object) const;
    size_t LiveCount(const std::string &Kind) const;
    /* Live objects of any kind whose address lies in [Begin, Begin + Size). */
    std::vector<std::string> LiveWithin(const void *Begin, SIZE_T Size) const;

    /* Misuse reports: a driver broke a rule that Windows enforces or that
       Driver Verifier checks.  Collected, never thrown, so that a test sees
       every report. */
    void Report(std::string Violation);
    std::vector<std::string> Violations() const;
    /* Removes and returns the reports that contain Fragment: a test that
       provokes a report on purpose takes it, so that only the reports it
       did not expect fail it. */
    std::vector<std::string> TakeReports(const std::string &Fragment);

    /* Everything still held or reported, one line each; empty when clean. */
    std::vector<std::string> Leaks() const;

    void Reset();

private:
    mutable std::mutex Mutex;
    std::map<void *, PoolBlock> Pool;
    std::map<ULONG, PoolTagUsage> Tags;
    /* Live objects by address and kind: objects of different kinds may
       share an address (a context whose first field is a resource). */
    std::map<std::pair<const void *, std::string>, std::string> Objects;
    std::vector<std::string> Reports;
};

Verifier &TheVerifier();

std::string TagToString(ULONG Tag);

/* UTF-16 to UTF-8, for messages and reports. */
std::string Narrow(const std::u16string &Text);
std::string Narrow(const WCHAR *Text, size_t Units);

/* ---------------------------------------------------------------------------
 * Failure injection: make a named routine fail with a chosen status, on its
 * Nth call from now, or on every call from the Nth on.
 *
 * Besides the named rules, one global rule counts the calls of every
 * injectable routine together and fails the Nth of them (or every one from
 * the Nth on), each with a status that routine documents (see
 * FailureStatusesOf).  Only calls made by driver code count for it: a call
 * that an emulated routine makes on its own behalf, or that a test makes
 * inside an emu::InjectionSuppressed scope, is not a driver's call.  The
 * global rule records what its first injected call hit.
 * ------------------------------------------------------------------------- */

/* How Windows documents a failure the global rule injects. */
enum class FailureSource {
    Documented,  // listed among the routine's return values
    ReturnType,  // the routine returns NTSTATUS but documents success only
};

struct FailureStatus {
    NTSTATUS Status;
    FailureSource Source;
};

/* The failures the global rule may give a routine, in the order it tries
   them; empty for a routine it leaves alone.  Allocation routines return
   null (listed as STATUS_INSUFFICIENT_RESOURCES). */
const std::vector<FailureStatus> &FailureStatusesOf(const std::string &Routine);

/* What the global rule's first injected call hit. */
struct InjectedCall {
    uint64_t Ordinal = 0;     // the call's number among counted calls
    std::string Routine;
    NTSTATUS Status = 0;
    FailureSource Source = FailureSource::Documented;
    size_t Variants = 0;      // failures the routine documents
    void *CallSite = nullptr; // return address into the caller
};

class FaultInjector {
public:
    void Arm(const std::string &Routine, NTSTATUS Status, uint64_t Nth = 1, bool Every = false);
    void Disarm(const std::string &Routine);
    /* The global rule: fail the Nth counted call (or every one from the Nth
       on); the first failure uses the routine's Variant-th documented
       status (modulo their number), later ones its first. */
    void ArmGlobal(uint64_t Nth, bool Every, size_t Variant = 0);
    void Clear();
    /* Called by emulated routines; true when this call must fail.
       Counted says whether the call is a driver's (see above); CallSite is
       the caller's return address. */
    bool ShouldFail(const char *Routine, NTSTATUS *Status, bool Counted = false, void *CallSite = nullptr);
    uint64_t Calls(const std::string &Routine) const;
    uint64_t Injected(const std::string &Routine) const;
    /* Counted calls so far, and what the global rule hit (Ordinal 0 when
       it has not fired). */
    uint64_t CountedCalls() const;
    uint64_t GlobalInjections() const;
    InjectedCall FirstGlobalInjection() const;
    /* Called, on the failing thread, the moment the global rule fires for
       the first time (a crash right after still leaves the record). */
    void ObserveFirstGlobalInjection(std::function<void(const InjectedCall &)> Observer);

private:
    struct Rule {
        NTSTATUS Status;
        uint64_t Nth;
        bool Every;
        uint64_t Seen = 0;
        uint64_t Fired = 0;
    };
    struct GlobalRule {
        bool Armed = false;
        uint64_t Nth = 0;
        bool Every = false;
        size_t Variant = 0;
        uint64_t Fired = 0;
        InjectedCall First;
    };
    mutable std::mutex Mutex;
    std::map<std::string, Rule> Rules;
    std::map<std::string, uint64_t> CallCounts;
    GlobalRule Global;
    uint64_t Counted = 0;
    std::function<void(const InjectedCall &)> Observer;
};

FaultInjector &TheFaults();

/* One call of an injectable routine, from its entry to its return.  Calls
   nested inside it (the routine's own allocations) are not counted by the
   global rule; CallbackScope lifts that again for driver callbacks. */
class InjectablePoint {
public:
    InjectablePoint();
    ~InjectablePoint();
    InjectablePoint(const InjectablePoint &) = delete;
    InjectablePoint &operator=(const InjectablePoint &) = delete;
    bool Fail(const char *Routine, NTSTATUS *Status, void *CallSite);

private:
    bool Outermost;
};

/* Calls made inside this scope on this thread are not counted by the
   global rule: a test's own set-up and checks. */
class InjectionSuppressed {
public:
    InjectionSuppressed();
    ~InjectionSuppressed();
    InjectionSuppressed(const InjectionSuppressed &) = delete;
    InjectionSuppressed &operator=(const InjectionSuppressed &) = delete;
};

/* Nesting depth of injectable calls on this thread; CallbackScope saves it
   and starts driver callbacks at zero. */
unsigned &InjectionDepth();

/* Convenience for emulated routines returning NTSTATUS: the first
   statement of the routine's body. */
#define EMU_INJECT_STATUS(Routine)                                                          \
    ::emu::InjectablePoint EmuInjectablePoint_;                                             \
    if (NTSTATUS InjectedStatus_;                                                           \
        EmuInjectablePoint_.Fail(Routine, &InjectedStatus_, __builtin_return_address(0)))   \
        return InjectedStatus_

/* ---------------------------------------------------------------------------
 * The dispatcher: one lock and one condition for every dispatcher object,
 * as in the original NT dispatcher database.  Waits re-check their object
 * whenever any object is signalled or the clock moves.
 * ------------------------------------------------------------------------- */
std::mutex &DispatcherLock();
std::condition_variable &DispatcherCondition();

/* The controllable clock, in 100-ns units since 1601 (system time).  It only
   moves when a test advances it, so long timeouts cost no real time. */
class Clock {
public:
    LONGLONG Now() const;
    void Advance(LONGLONG Units100ns);
    void Set(LONGLONG SystemTime);

private:
    std::atomic<LONGLONG> Time{133000000000000000LL};
};

Clock &TheClock();

/* ---------------------------------------------------------------------------
 * The kernel debugger: captures DbgPrint output and breakpoints.
 * ------------------------------------------------------------------------- */
struct DebugLine {
    ULONG ComponentId;
    ULONG Level;
    std::string Text;
};

class Debugger {
public:
    void Print(ULONG ComponentId, ULONG Level, std::string Text);
    void Break();
    std::vector<DebugLine> Output() const;
    std::string OutputText() const;
    uint64_t BreakpointCount() const;
    void SetBreakHook(std::function<void()> Hook);
    void Clear();
    void SetEcho(bool Echo);

private:
    mutable std::mutex Mutex;
    std::vector<DebugLine> Lines;
    uint64_t Breaks = 0;
    std::function<void()> Hook;
    bool Echo = false;
};

Debugger &TheDebugger();

/* ---------------------------------------------------------------------------
 * The operating-system version RtlGetVersion reports.
 * ------------------------------------------------------------------------- */
struct OsVersion {
    ULONG Major = 10;
    ULONG Minor = 0;
    ULONG Build = 19045;
};

OsVersion &TheOsVersion();

/* ---------------------------------------------------------------------------
 * Callback scope: wraps every call from the emulated platform into driver
 * code, and reports what the driver left behind when the callback returns
 * (a resource still owned, a critical region left open, a changed IRQL).
 * ------------------------------------------------------------------------- */
class CallbackScope {
public:
    explicit CallbackScope(const char *Callback);
    ~CallbackScope();
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;

private:
    const char *Name;
    unsigned SavedInjectionDepth;
    KIRQL Irql;
    LONG CriticalRegionDepth;
    size_t OwnedResources;
};

/* ---------------------------------------------------------------------------
 * Alerting a waiting thread.  Ends the thread's waits the way Windows does
 * (see "Waits and APCs" in the kernel-mode driver documentation):
 *   STATUS_ALERTED - an alert: the thread's current or next alertable wait,
 *       in either wait mode, ends with STATUS_ALERTED;
 *   STATUS_USER_APC - a user APC is queued: the current or next alertable
 *       UserMode wait ends with STATUS_USER_APC;
 *   STATUS_THREAD_IS_TERMINATING - the thread is being terminated: from now
 *       on its UserMode waits, alertable or not, end with STATUS_USER_APC,
 *       and its alertable KernelMode waits with STATUS_ALERTED.
 * Non-alertable KernelMode waits are never ended early, and while the
 * thread has kernel APCs disabled (a critical region) neither user APCs nor
 * termination end its waits.  Thread is what KeGetCurrentThread returned on
 * that thread, which must still be running.
 * ------------------------------------------------------------------------- */
void AlertThread(PKTHREAD Thread, NTSTATUS Reason);
/* True once AlertThread(Thread, STATUS_THREAD_IS_TERMINATING) was called. */
bool IsThreadTerminating(PKTHREAD Thread);

/* ---------------------------------------------------------------------------
 * User address spaces.  A process sees as user memory only what it mapped:
 * ranges allocated for it (VirtualAlloc in emu/user, or
 * System::AllocateUserMemory) with their page protections.  A range one
 * process allocated is unmapped in every other process, a range freed stays
 * unmapped, and ranges reserved with ReserveUnmappedUserRange are mapped in
 * none.  Kernel memory - pool and the system-space views of MDLs - is never
 * user memory.  Host memory outside all of these (the stacks, heap and data
 * of the test's own code, which stands for both kernel stacks and a
 * program's private memory) is accessible from every process.
 * ------------------------------------------------------------------------- */

/* True for one PAGE_* protection, optionally with PAGE_GUARD. */
bool IsValidPageProtection(ULONG Protect);
/* Reserves Size bytes (rounded up to pages) for Process and, when Protect is
   not 0, commits them with that PAGE_* protection.  Null when out of
   address space. */
void *AllocateUserMemory(EmuProcess *Process, SIZE_T Size, ULONG Protect);
/* Changes the protection of committed pages of Process; STATUS_CONFLICTING_ADDRESSES
   or STATUS_NOT_COMMITTED when the range is not all committed memory of the process. */
NTSTATUS ProtectUserMemory(EmuProcess *Process, void *Address, SIZE_T Size, ULONG Protect, ULONG *OldProtect);
/* Releases a whole allocation of Process, given its base.  The range stays
   reserved, unmapped, so later accesses through stale pointers fault. */
NTSTATUS FreeUserMemory(EmuProcess *Process, void *Base);
/* Releases every allocation of Process (its address space goes when it ends). */
void FreeUserAddressSpace(EmuProcess *Process);

/* Reports MDLs whose pages are still locked in Process, which is ending
   (Windows stops with PROCESS_HAS_LOCKED_PAGES). */
void CheckLockedPagesAtProcessEnd(EmuProcess *Process);
/* Forgets the locked-page records; used when a system boots. */
void ForgetLockedPages();

/* A range of user addresses that no process has mapped: probes accept it
   (it is below the user limit), every access faults. */
void *ReserveUnmappedUserRange(size_t Size);
/* Forgets every address space and reservation; used when a system boots
   and shuts down. */
void ResetUserAddressSpaces();

/* True when the current process may read (or write) every byte of
   [Address, Address + Length): memory outside the emulated user ranges, or
   committed pages of the current process whose protection allows it. */
bool CanAccessMemory(const volatile void *Address, SIZE_T Length, bool Write);
/* Raises STATUS_ACCESS_VIOLATION unless CanAccessMemory. */
void TouchMemory(const volatile void *Address, SIZE_T Length, bool Write);
/* True when [Address, Address + Length) lies in an emulated user range
   (of any process, mapped or not). */
bool IsUserRange(const volatile void *Address, SIZE_T Length);
/* True when the range touches kernel memory: pool or a system-space view.
   Kernel addresses are above MM_USER_PROBE_ADDRESS on Windows. */
bool IsKernelRange(const volatile void *Address, SIZE_T Length);

/* A system-space view of the pages under [Address, Address + Length), as
   MmMapLockedPagesSpecifyCache makes: the same physical pages at another
   address, valid in every process.  Returns Address itself for memory
   outside the emulated user ranges (already valid everywhere). */
void *MapSystemView(const void *Address, SIZE_T Length, bool Writable);
/* Undoes MapSystemView; false when SystemAddress is no view. */
bool UnmapSystemView(void *SystemAddress);

/* Resets every runtime table; used when a system boots. */
void ResetRuntime();

}  // namespace emu
