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
    EmuProcess *Process = nullptr;
    uint64_t ThreadId = 0;
    PIRP TopLevelIrp = nullptr;
    NTSTATUS SehCode = 0;
    bool SehHandlerPending = false;
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
    bool Terminated = false;
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
 * ------------------------------------------------------------------------- */
class FaultInjector {
public:
    void Arm(const std::string &Routine, NTSTATUS Status, uint64_t Nth = 1, bool Every = false);
    void Disarm(const std::string &Routine);
    void Clear();
    /* Called by emulated routines; true when this call must fail. */
    bool ShouldFail(const char *Routine, NTSTATUS *Status);
    uint64_t Calls(const std::string &Routine) const;
    uint64_t Injected(const std::string &Routine) const;

private:
    struct Rule {
        NTSTATUS Status;
        uint64_t Nth;
        bool Every;
        uint64_t Seen = 0;
        uint64_t Fired = 0;
    };
    mutable std::mutex Mutex;
    std::map<std::string, Rule> Rules;
    std::map<std::string, uint64_t> CallCounts;
};

FaultInjector &TheFaults();

/* Convenience for emulated routines returning NTSTATUS. */
#define EMU_INJECT_STATUS(Routine)                                   \
    do {                                                             \
        NTSTATUS InjectedStatus_;                                    \
        if (::emu::TheFaults().ShouldFail(Routine, &InjectedStatus_)) \
            return InjectedStatus_;                                  \
    } while (0)

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
    KIRQL Irql;
    LONG CriticalRegionDepth;
    size_t OwnedResources;
};

/* A range of addresses that is not mapped: probing it raises an access
   violation, as probing unmapped user memory does. */
void *ReserveUnmappedUserRange(size_t Size);
void ReleaseUnmappedUserRanges();

/* Resets every runtime table; used when a system boots. */
void ResetRuntime();

}  // namespace emu
