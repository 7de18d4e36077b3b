/*
 * LockOrder.h - lock-order checking, as Driver Verifier's deadlock detection
 * does it, and ThreadSanitizer's view of the emulated locks.
 *
 * Every emulated lock (executive resources, fast mutexes, spin locks) tells
 * the checker when a thread takes and releases it.  The checker keeps, per
 * emulated thread, the locks it holds, and, for the whole system, a graph of
 * "taken while holding" orders with the call stacks of both acquisitions.
 * An acquisition that closes a cycle in that graph could deadlock, whether
 * or not the threads ever met: it is reported through the verifier's misuse
 * reports the first time it is made, before the thread waits, with the
 * stacks of every order on the cycle.  Driver Verifier reports the same with
 * bug check 0xC4, parameter 0x1001 ("Deadlock Detection", !deadlock 1).
 *
 * What is not a cycle:
 *   - a thread taking a lock it holds again (executive resources allow it);
 *   - locks held shared on both sides: a thread that holds A shared and waits
 *     for B shared is never blocked by another thread that holds B shared
 *     and waits for A shared, so a cycle only counts when each of its locks
 *     is held or wanted exclusively by one of the orders (a third thread
 *     waiting for a lock exclusively in between is not counted);
 *   - try-acquires (Wait FALSE, ExTryToAcquireFastMutex): they never wait,
 *     so they add no order into the lock they take, though locks taken while
 *     holding it are ordered after it.
 *
 * A test may also declare the order a driver states for its own locks
 * (DeclareOrder): classes of locks, ranked, which a thread must take in
 * rank order, never two of one class, and some only alone.  Every
 * acquisition that can wait is checked against it at once, so a test fails
 * the first time any thread breaks the stated order, not only when two
 * threads close a cycle.
 *
 * A lock is known by its address until it is deleted (ExDeleteResourceLite),
 * initialised again (KeInitializeSpinLock, ExInitializeFastMutex) or its
 * pool freed: then its node and every order through it are forgotten, so a
 * later lock at the same address starts clean and short-lived locks do not
 * make the graph grow.
 */
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define EMU_TSAN 1
#endif
#endif
#if !defined(EMU_TSAN) && defined(__SANITIZE_THREAD__)
#define EMU_TSAN 1
#endif
#ifdef EMU_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace emu {

enum class LockKind { Resource, FastMutex, SpinLock };

const char *LockKindName(LockKind Kind);

/* Call stack at an acquisition: return addresses, innermost first,
   starting at the emulated routine the driver called. */
struct AcquisitionStack {
    static constexpr int MaxFrames = 16;
    void *Frames[MaxFrames];
    int Depth = 0;
};

/* A lock an emulated thread holds (kept in its ThreadState). */
struct HeldLock {
    const void *Lock;
    uint64_t Node;
    bool Exclusive;
    uint32_t Count;  // acquisitions, recursive ones included
    int Class = -1;  // its class in the declared order, or -1
    AcquisitionStack Stack;
};

/* The order a driver states for its locks.  Classes[i] is the class of
   rank i: a thread holding a lock of one class may take a lock of a later
   class only.  An Alone class is taken with no other classified lock held,
   and none is taken while it is held.  Classify gives a lock's rank, or -1
   for a lock the order does not speak of; it runs on the acquiring thread
   outside the checker's lock. */
struct DeclaredLockOrder {
    struct LockClass {
        std::string Name;
        bool Alone = false;
    };
    std::vector<LockClass> Classes;
    std::function<int(const void *Lock)> Classify;
};

class LockOrderChecker {
public:
    /* The current thread is about to take Lock (before it waits).  When it
       already holds it, counts a recursive acquisition; otherwise records
       "taken while holding" orders from every lock it holds (unless the
       acquisition cannot wait) and reports the first cycle they close.  The
       lock is then held until Released or Abandoned.  Returns true for a
       recursive acquisition. */
    bool Acquire(const void *Lock, LockKind Kind, bool Exclusive, bool CanWait);
    /* A try-acquire that Acquire counted did not get the lock. */
    void Abandon(const void *Lock);
    void Released(const void *Lock);
    /* True when the current thread holds Lock (any mode). */
    bool Holds(const void *Lock) const;

    /* Checks every later acquisition that can wait against Order, and
       reports the first one that breaks it on each thread as misuse; an
       order without Classify ends the checks.  Reset ends them too. */
    void DeclareOrder(DeclaredLockOrder Order);

    /* The lock at this address is gone; so is every order through it. */
    void Forget(const void *Lock);
    void ForgetWithin(const void *Begin, size_t Size);

    /* Acquisitions so far, recursive and failed try-acquires included, by
       every thread: what a benchmark counts to see the locks an operation
       takes. */
    uint64_t Acquisitions() const { return AcquisitionCount.load(std::memory_order_relaxed); }

    /* The graph, for tests: locks known and orders recorded. */
    size_t LockCount() const;
    size_t OrderCount() const;
    bool HasOrder(const void *First, const void *Then) const;

    void Reset();

private:
    struct Order {
        bool FirstExclusive;  // the first lock held exclusively at least once
        bool ThenExclusive;   // the second lock wanted exclusively at least once
        uint64_t ThreadId;
        AcquisitionStack FirstStack;
        AcquisitionStack ThenStack;
    };
    struct Node {
        const void *Address;
        LockKind Kind;
        std::unordered_map<uint64_t, Order> Out;  // by the later lock's node
        std::unordered_set<uint64_t> In;
    };

    /* A cycle found, described under the checker's lock; its stacks are
       symbolised after it is dropped. */
    struct CycleStep {
        std::string First;
        std::string Then;
        uint64_t ThreadId;
        AcquisitionStack FirstStack;
        AcquisitionStack ThenStack;
    };
    struct Cycle {
        std::string Summary;
        std::vector<CycleStep> Steps;
    };

    uint64_t NodeFor(const void *Lock, LockKind Kind);
    void ForgetNode(uint64_t Id);
    bool FindCycle(uint64_t From, uint64_t To, bool EnteredExclusive, bool LeavesExclusive,
                   std::vector<uint64_t> &Path) const;
    Cycle DescribeCycle(const std::vector<uint64_t> &Locks) const;
    static std::string FormatCycle(const Cycle &Found);
    std::string DescribeLock(uint64_t Id) const;

    void CheckDeclaredOrder(const std::vector<HeldLock> &Held, HeldLock &Entry);

    mutable std::mutex Mutex;
    std::atomic<uint64_t> AcquisitionCount{0};
    std::shared_ptr<const DeclaredLockOrder> Declared;
    uint64_t NextNode = 1;
    std::map<const void *, uint64_t> Addresses;
    std::unordered_map<uint64_t, Node> Nodes;
    size_t Orders = 0;
};

LockOrderChecker &TheLockOrder();

/* Symbolised frames, one per line: "Function+0xOffset (module)" from the
   dynamic symbol table, and "at dir/File.cpp:Line" when addr2line can read
   the module's debug information. */
std::vector<std::string> SymboliseFrames(const std::vector<const void *> &ReturnAddresses);

/* ---------------------------------------------------------------------------
 * ThreadSanitizer annotations: an emulated lock is a mutex to TSan, so it
 * sees the happens-before of its releases and acquisitions and the order in
 * which threads take them.  Nothing without -fsanitize=thread.
 * ------------------------------------------------------------------------- */
#ifdef EMU_TSAN
inline void TsanLockCreated(const void *Lock) { __tsan_mutex_create((void *)Lock, 0); }
inline void TsanLockDestroyed(const void *Lock) { __tsan_mutex_destroy((void *)Lock, 0); }
inline void TsanLocked(const void *Lock, bool Exclusive, bool Try)
{
    unsigned Flags = (Exclusive ? 0u : (unsigned)__tsan_mutex_read_lock) | (Try ? (unsigned)__tsan_mutex_try_lock : 0u);
    __tsan_mutex_pre_lock((void *)Lock, Flags);
    __tsan_mutex_post_lock((void *)Lock, Flags, 0);
}
inline void TsanUnlocking(const void *Lock, bool Exclusive)
{
    __tsan_mutex_pre_unlock((void *)Lock, Exclusive ? 0u : (unsigned)__tsan_mutex_read_lock);
}
inline void TsanUnlocked(const void *Lock, bool Exclusive)
{
    __tsan_mutex_post_unlock((void *)Lock, Exclusive ? 0u : (unsigned)__tsan_mutex_read_lock);
}
#else
inline void TsanLockCreated(const void *) {}
inline void TsanLockDestroyed(const void *) {}
inline void TsanLocked(const void *, bool, bool) {}
inline void TsanUnlocking(const void *, bool) {}
inline void TsanUnlocked(const void *, bool) {}
#endif

}  // namespace emu
