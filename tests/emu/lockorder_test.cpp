/*
 * The emulated kernel's lock-order checker reports, as Driver Verifier's
 * deadlock detection does, an order of acquisitions that could deadlock the
 * first time it is made, without the threads having to meet; and the spin
 * locks and fast mutexes it watches behave as Windows documents.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "EmuTesting.h"

/* Locks and acquiring routines with external names, so that the reports can
   name them (the test executable exports its symbols). */
namespace lockorder_test {

ERESOURCE ResourceA;
ERESOURCE ResourceB;
ERESOURCE ResourceC;

__attribute__((noinline, disable_tail_calls)) void TakeExclusiveThenExclusive(PERESOURCE First, PERESOURCE Then)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(First, TRUE);
    ExAcquireResourceExclusiveLite(Then, TRUE);
    ExReleaseResourceLite(Then);
    ExReleaseResourceLite(First);
    KeLeaveCriticalRegion();
}

__attribute__((noinline, disable_tail_calls)) void TakeAThenB()
{
    TakeExclusiveThenExclusive(&ResourceA, &ResourceB);
}

__attribute__((noinline, disable_tail_calls)) void TakeBThenA()
{
    TakeExclusiveThenExclusive(&ResourceB, &ResourceA);
}

__attribute__((noinline, disable_tail_calls)) void TakeBThenC()
{
    TakeExclusiveThenExclusive(&ResourceB, &ResourceC);
}

__attribute__((noinline, disable_tail_calls)) void TakeCThenA()
{
    TakeExclusiveThenExclusive(&ResourceC, &ResourceA);
}

void TakeShared(PERESOURCE First, bool FirstShared, PERESOURCE Then, bool ThenShared)
{
    KeEnterCriticalRegion();
    FirstShared ? ExAcquireResourceSharedLite(First, TRUE) : ExAcquireResourceExclusiveLite(First, TRUE);
    ThenShared ? ExAcquireResourceSharedLite(Then, TRUE) : ExAcquireResourceExclusiveLite(Then, TRUE);
    ExReleaseResourceLite(Then);
    ExReleaseResourceLite(First);
    KeLeaveCriticalRegion();
}

}  // namespace lockorder_test

namespace {

using namespace lockorder_test;

constexpr ULONG TestTag = 0x6b636f4c;  // 'Lock'

/* ThreadSanitizer sees the emulated locks too, and reports the inversions
   these tests make on purpose; the plain build runs them. */
#ifdef EMU_TSAN
#define SKIP_WHERE_THREADSANITIZER_REPORTS_INVERSIONS() \
    GTEST_SKIP() << "ThreadSanitizer reports the lock-order inversion this test makes on purpose"
#else
#define SKIP_WHERE_THREADSANITIZER_REPORTS_INVERSIONS() (void)0
#endif

/* Runs Work on a thread of its own, to the end: the orders are made one
   after the other, never at the same time. */
template <typename Work>
void OnAnotherThread(Work Body)
{
    std::thread Thread(Body);
    Thread.join();
}

class LockOrder : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (PERESOURCE Resource : {&ResourceA, &ResourceB, &ResourceC}) {
            ASSERT_EQ(ExInitializeResourceLite(Resource), STATUS_SUCCESS);
        }
    }

    void TearDown() override
    {
        for (PERESOURCE Resource : {&ResourceA, &ResourceB, &ResourceC}) {
            ExDeleteResourceLite(Resource);
        }
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    /* Takes the lock-order reports: they are what the test provoked. */
    std::vector<std::string> TakeInversions() { return System.Accounting().TakeReports("lock order inversion"); }

    emu::System System;
};

bool Contains(const std::string &Text, const std::string &Fragment)
{
    return Text.find(Fragment) != std::string::npos;
}

TEST_F(LockOrder, OppositeOrdersOnTwoThreadsAreReportedWithBothStacks)
{
    SKIP_WHERE_THREADSANITIZER_REPORTS_INVERSIONS();
    OnAnotherThread(TakeAThenB);
    EXPECT_TRUE(System.LockOrder().HasOrder(&ResourceA, &ResourceB));
    EXPECT_TRUE(System.Accounting().Violations().empty());

    /* The second thread takes B then A long after the first one finished:
       the threads never deadlock, but they could have. */
    OnAnotherThread(TakeBThenA);

    /* The verifier's accounting carries the report, so the test fixture
       fails any test that makes it. */
    bool Listed = false;
    for (const auto &Leak : System.Leaks()) {
        Listed = Listed || Contains(Leak, "lock order inversion");
    }
    EXPECT_TRUE(Listed);

    std::vector<std::string> Reports = TakeInversions();
    ASSERT_EQ(Reports.size(), 1u);
    const std::string &Report = Reports[0];
    /* Both locks by name, and the code of both orders. */
    EXPECT_TRUE(Contains(Report, "executive resource"));
    EXPECT_TRUE(Contains(Report, "lockorder_test::ResourceA"));
    EXPECT_TRUE(Contains(Report, "lockorder_test::ResourceB"));
    EXPECT_TRUE(Contains(Report, "lockorder_test::TakeAThenB()")) << Report;
    EXPECT_TRUE(Contains(Report, "lockorder_test::TakeBThenA()")) << Report;
    EXPECT_TRUE(Contains(Report, "ExAcquireResourceExclusiveLite")) << Report;
    /* With source lines from the debug information. */
    EXPECT_TRUE(Contains(Report, "lockorder_test.cpp:")) << Report;
    /* The new order comes first: B taken while holding A... */
    EXPECT_LT(Report.find("TakeBThenA"), Report.find("TakeAThenB"));

    /* ...and is reported once, the first time it is made. */
    OnAnotherThread(TakeBThenA);
    EXPECT_TRUE(TakeInversions().empty());
}

TEST_F(LockOrder, ThreeLockCycleIsReported)
{
    SKIP_WHERE_THREADSANITIZER_REPORTS_INVERSIONS();
    OnAnotherThread(TakeAThenB);
    OnAnotherThread(TakeBThenC);
    EXPECT_TRUE(TakeInversions().empty());
    OnAnotherThread(TakeCThenA);

    std::vector<std::string> Reports = TakeInversions();
    ASSERT_EQ(Reports.size(), 1u);
    for (const char *Name : {"ResourceA", "ResourceB", "ResourceC", "TakeAThenB", "TakeBThenC", "TakeCThenA"}) {
        EXPECT_TRUE(Contains(Reports[0], Name)) << Name << " missing from:\n" << Reports[0];
    }
}

TEST_F(LockOrder, ConsistentOrderReportsNothing)
{
    OnAnotherThread(TakeAThenB);
    OnAnotherThread(TakeAThenB);
    OnAnotherThread(TakeBThenC);
    /* A before C directly, consistent with A before B before C. */
    OnAnotherThread([] { TakeExclusiveThenExclusive(&ResourceA, &ResourceC); });
    /* Released out of order, and a lock taken alone. */
    OnAnotherThread([] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&ResourceA, TRUE);
        ExAcquireResourceExclusiveLite(&ResourceB, TRUE);
        ExReleaseResourceLite(&ResourceA);
        ExReleaseResourceLite(&ResourceB);
        ExAcquireResourceExclusiveLite(&ResourceC, TRUE);
        ExReleaseResourceLite(&ResourceC);
        KeLeaveCriticalRegion();
    });
    EXPECT_TRUE(System.LockOrder().HasOrder(&ResourceA, &ResourceC));
    EXPECT_FALSE(System.LockOrder().HasOrder(&ResourceC, &ResourceA));
    EXPECT_EQ(System.LockOrder().OrderCount(), 3u);
    EXPECT_TRUE(TakeInversions().empty());
}

TEST_F(LockOrder, RecursiveAndSharedAcquisitionsAreNoCycle)
{
    SKIP_WHERE_THREADSANITIZER_REPORTS_INVERSIONS();
    /* Recursive acquisition: exclusive, shared under exclusive, shared under
       shared. */
    OnAnotherThread([] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&ResourceA, TRUE);
        ExAcquireResourceExclusiveLite(&ResourceA, TRUE);
        ExAcquireResourceSharedLite(&ResourceA, TRUE);
        ExAcquireResourceSharedLite(&ResourceC, TRUE);
        ExAcquireResourceSharedLite(&ResourceC, TRUE);
        EXPECT_EQ(ExIsResourceAcquiredSharedLite(&ResourceC), 2u);
        ExReleaseResourceLite(&ResourceC);
        ExReleaseResourceLite(&ResourceC);
        ExReleaseResourceLite(&ResourceA);
        ExReleaseResourceLite(&ResourceA);
        ExReleaseResourceLite(&ResourceA);
        KeLeaveCriticalRegion();
    });
    EXPECT_FALSE(System.LockOrder().HasOrder(&ResourceA, &ResourceA));
    EXPECT_EQ(System.LockOrder().OrderCount(), 1u);

    /* Two threads own C shared at the same time. */
    std::atomic<int> Owners{0};
    auto ShareC = [&Owners] {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(&ResourceC, TRUE);
        Owners += 1;
        while (Owners.load() < 2) {
            std::this_thread::yield();
        }
        ExReleaseResourceLite(&ResourceC);
        KeLeaveCriticalRegion();
    };
    std::thread First(ShareC);
    std::thread Second(ShareC);
    First.join();
    Second.join();

    /* Shared after shared in opposite orders: a thread waiting to share a
       lock another thread shares is not blocked by it. */
    OnAnotherThread([] { TakeShared(&ResourceB, true, &ResourceC, true); });
    OnAnotherThread([] { TakeShared(&ResourceC, true, &ResourceB, true); });
    /* Held shared by one order, wanted shared by the other: A never blocks. */
    OnAnotherThread([] { TakeShared(&ResourceA, true, &ResourceB, false); });
    OnAnotherThread([] { TakeShared(&ResourceB, false, &ResourceA, true); });
    EXPECT_TRUE(TakeInversions().empty());

    /* Wanted exclusively: now A blocks the second order's thread. */
    OnAnotherThread([] { TakeShared(&ResourceB, false, &ResourceA, false); });
    EXPECT_EQ(TakeInversions().size(), 1u);
}

TEST_F(LockOrder, DeletedLockForgetsItsOrders)
{
    auto Pooled = (PERESOURCE)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE), TestTag);
    ASSERT_NE(Pooled, nullptr);
    ASSERT_EQ(ExInitializeResourceLite(Pooled), STATUS_SUCCESS);
    OnAnotherThread([Pooled] { TakeExclusiveThenExclusive(&ResourceA, Pooled); });
    EXPECT_TRUE(System.LockOrder().HasOrder(&ResourceA, Pooled));
    EXPECT_EQ(System.LockOrder().OrderCount(), 1u);

    /* A new resource at the same address is a new lock: taking it before A
       is no inversion. */
    ExDeleteResourceLite(Pooled);
    EXPECT_EQ(System.LockOrder().OrderCount(), 0u);
    ASSERT_EQ(ExInitializeResourceLite(Pooled), STATUS_SUCCESS);
    OnAnotherThread([Pooled] { TakeExclusiveThenExclusive(Pooled, &ResourceA); });
    EXPECT_TRUE(TakeInversions().empty());
    EXPECT_TRUE(System.LockOrder().HasOrder(Pooled, &ResourceA));
    ExDeleteResourceLite(Pooled);
    ExFreePoolWithTag(Pooled, TestTag);

    /* A fast mutex has no delete routine: its orders go with its pool. */
    auto Mutex = (PFAST_MUTEX)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(FAST_MUTEX), TestTag);
    ASSERT_NE(Mutex, nullptr);
    ExInitializeFastMutex(Mutex);
    OnAnotherThread([Mutex] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&ResourceA, TRUE);
        ExAcquireFastMutex(Mutex);
        ExReleaseFastMutex(Mutex);
        ExReleaseResourceLite(&ResourceA);
        KeLeaveCriticalRegion();
    });
    EXPECT_TRUE(System.LockOrder().HasOrder(&ResourceA, Mutex));
    size_t Known = System.LockOrder().LockCount();
    ExFreePoolWithTag(Mutex, TestTag);
    EXPECT_FALSE(System.LockOrder().HasOrder(&ResourceA, Mutex));
    EXPECT_EQ(System.LockOrder().LockCount(), Known - 1);
    EXPECT_EQ(System.LockOrder().OrderCount(), 0u);
}

TEST_F(LockOrder, ShortLivedLocksDoNotGrowTheGraph)
{
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&ResourceA, TRUE);
    for (int Round = 0; Round < 2000; Round += 1) {
        auto Pooled = (PERESOURCE)ExAllocatePoolWithTag(PagedPool, sizeof(ERESOURCE), TestTag);
        ASSERT_NE(Pooled, nullptr);
        ASSERT_EQ(ExInitializeResourceLite(Pooled), STATUS_SUCCESS);
        ExAcquireResourceExclusiveLite(Pooled, TRUE);
        ExAcquireResourceSharedLite(&ResourceB, TRUE);
        ExReleaseResourceLite(&ResourceB);
        ExReleaseResourceLite(Pooled);
        ExDeleteResourceLite(Pooled);
        ExFreePoolWithTag(Pooled, TestTag);
    }
    ExReleaseResourceLite(&ResourceA);
    KeLeaveCriticalRegion();
    /* A and B, and the one order between them. */
    EXPECT_EQ(System.LockOrder().LockCount(), 2u);
    EXPECT_EQ(System.LockOrder().OrderCount(), 1u);
    EXPECT_TRUE(TakeInversions().empty());
}

TEST_F(LockOrder, FastMutexesAndSpinLocksAreChecked)
{
    SKIP_WHERE_THREADSANITIZER_REPORTS_INVERSIONS();
    FAST_MUTEX First;
    FAST_MUTEX Second;
    ExInitializeFastMutex(&First);
    ExInitializeFastMutex(&Second);
    OnAnotherThread([&] {
        ExAcquireFastMutex(&First);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ExAcquireFastMutex(&Second);
        ExReleaseFastMutex(&Second);
        ExReleaseFastMutex(&First);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    /* A try-acquire never waits, so it orders nothing before the lock it
       takes. */
    OnAnotherThread([&] {
        ExAcquireFastMutex(&Second);
        EXPECT_TRUE(ExTryToAcquireFastMutex(&First));
        ExReleaseFastMutex(&First);
        ExReleaseFastMutex(&Second);
    });
    EXPECT_TRUE(TakeInversions().empty());
    OnAnotherThread([&] {
        KeEnterCriticalRegion();
        ExAcquireFastMutexUnsafe(&Second);
        ExAcquireFastMutexUnsafe(&First);
        ExReleaseFastMutexUnsafe(&First);
        ExReleaseFastMutexUnsafe(&Second);
        KeLeaveCriticalRegion();
    });
    std::vector<std::string> Reports = TakeInversions();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_TRUE(Contains(Reports[0], "fast mutex"));
    EXPECT_TRUE(Contains(Reports[0], "ExAcquireFastMutexUnsafe"));

    KSPIN_LOCK Outer;
    KSPIN_LOCK Inner;
    KeInitializeSpinLock(&Outer);
    KeInitializeSpinLock(&Inner);
    OnAnotherThread([&] {
        KIRQL OldIrql;
        KeAcquireSpinLock(&Outer, &OldIrql);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeAcquireSpinLockAtDpcLevel(&Inner);
        KeReleaseSpinLockFromDpcLevel(&Inner);
        KeReleaseSpinLock(&Outer, OldIrql);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
    OnAnotherThread([&] {
        KLOCK_QUEUE_HANDLE InnerHandle;
        KLOCK_QUEUE_HANDLE OuterHandle;
        KeAcquireInStackQueuedSpinLock(&Inner, &InnerHandle);
        KeAcquireInStackQueuedSpinLock(&Outer, &OuterHandle);
        KeReleaseInStackQueuedSpinLock(&OuterHandle);
        KeReleaseInStackQueuedSpinLock(&InnerHandle);
    });
    Reports = TakeInversions();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_TRUE(Contains(Reports[0], "spin lock"));
    EXPECT_TRUE(Contains(Reports[0], "KeAcquireInStackQueuedSpinLock"));

    /* Initialised again: a new lock, with no orders. */
    KeInitializeSpinLock(&Inner);
    EXPECT_FALSE(System.LockOrder().HasOrder(&Outer, &Inner));
}

TEST_F(LockOrder, SpinLocksAndFastMutexesExcludeOtherThreads)
{
    KSPIN_LOCK SpinLock;
    FAST_MUTEX Mutex;
    KeInitializeSpinLock(&SpinLock);
    ExInitializeFastMutex(&Mutex);
    /* Unsynchronised increments, made safe only by the locks. */
    long SpinCounted = 0;
    long MutexCounted = 0;
    auto Count = [&] {
        for (int Round = 0; Round < 2000; Round += 1) {
            KIRQL OldIrql;
            KeAcquireSpinLock(&SpinLock, &OldIrql);
            long Seen = SpinCounted;
            std::this_thread::yield();
            SpinCounted = Seen + 1;
            KeReleaseSpinLock(&SpinLock, OldIrql);
            ExAcquireFastMutex(&Mutex);
            Seen = MutexCounted;
            std::this_thread::yield();
            MutexCounted = Seen + 1;
            ExReleaseFastMutex(&Mutex);
        }
    };
    std::thread First(Count);
    std::thread Second(Count);
    First.join();
    Second.join();
    EXPECT_EQ(SpinCounted, 4000);
    EXPECT_EQ(MutexCounted, 4000);
    EXPECT_EQ(Mutex.Owner, nullptr);
    EXPECT_EQ(SpinLock, 0u);
}

TEST_F(LockOrder, SpinLockAndFastMutexMisuseStopsTheSystem)
{
    KSPIN_LOCK SpinLock;
    FAST_MUTEX Mutex;
    KeInitializeSpinLock(&SpinLock);
    ExInitializeFastMutex(&Mutex);
    KIRQL OldIrql;

    /* Taken again by its holder: Windows would spin forever. */
    KeAcquireSpinLock(&SpinLock, &OldIrql);
    EXPECT_THROW(KeAcquireSpinLockAtDpcLevel(&SpinLock), emu::BugCheck);
    KeReleaseSpinLock(&SpinLock, OldIrql);
    /* Released twice. */
    KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
    EXPECT_THROW(KeReleaseSpinLockFromDpcLevel(&SpinLock), emu::BugCheck);
    KeLowerIrql(OldIrql);
    /* At DPC level with the IRQL below DISPATCH_LEVEL. */
    EXPECT_THROW(KeAcquireSpinLockAtDpcLevel(&SpinLock), emu::BugCheck);

    ExAcquireFastMutex(&Mutex);
    EXPECT_THROW(ExAcquireFastMutex(&Mutex), emu::BugCheck);
    ExReleaseFastMutex(&Mutex);
    EXPECT_THROW(ExReleaseFastMutex(&Mutex), emu::BugCheck);
    /* Unsafe with normal kernel APCs enabled; above APC_LEVEL. */
    EXPECT_THROW(ExAcquireFastMutexUnsafe(&Mutex), emu::BugCheck);
    KeRaiseIrql(DISPATCH_LEVEL, &OldIrql);
    EXPECT_THROW(ExAcquireFastMutex(&Mutex), emu::BugCheck);
    KeLowerIrql(OldIrql);
    EXPECT_EQ(System.Accounting().TakeReports("bug check 0xC4").size(), 7u);
}

}  // namespace

namespace {

using namespace lockorder_test;

/* A declared order: A's class before B's, C's class alone.  Each break is
   reported on the acquisition that makes it, without a second thread. */
class DeclaredLockOrderTest : public LockOrder {
protected:
    void Declare()
    {
        emu::DeclaredLockOrder Order;
        Order.Classes = {{"first", false}, {"second", false}, {"lonely", true}};
        Order.Classify = [](const void *Lock) -> int {
            return Lock == &ResourceA ? 0 : Lock == &ResourceB ? 1 : Lock == &ResourceC ? 2 : -1;
        };
        System.LockOrder().DeclareOrder(std::move(Order));
    }

    std::vector<std::string> TakeBreaks() { return System.Accounting().TakeReports("declared lock order broken"); }
};

TEST_F(DeclaredLockOrderTest, TheDeclaredOrderAndUnclassifiedLocksPass)
{
    Declare();
    OnAnotherThread(TakeAThenB);
    OnAnotherThread([] { TakeExclusiveThenExclusive(&ResourceC, &ResourceC); });  // recursive
    ERESOURCE After;
    ERESOURCE Before;
    ASSERT_EQ(ExInitializeResourceLite(&After), STATUS_SUCCESS);
    ASSERT_EQ(ExInitializeResourceLite(&Before), STATUS_SUCCESS);
    OnAnotherThread([&] { TakeExclusiveThenExclusive(&ResourceB, &After); });
    OnAnotherThread([&] { TakeExclusiveThenExclusive(&Before, &ResourceA); });
    ExDeleteResourceLite(&Before);
    ExDeleteResourceLite(&After);
    EXPECT_TRUE(TakeBreaks().empty());
}

TEST_F(DeclaredLockOrderTest, TheReverseOrderIsReportedAtOnceWithBothStacks)
{
    Declare();
    /* One thread, one order: no cycle, yet against the declaration. */
    OnAnotherThread(TakeBThenA);
    std::vector<std::string> Reports = TakeBreaks();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_TRUE(Contains(Reports[0], "(taken against the declared order): first")) << Reports[0];
    EXPECT_TRUE(Contains(Reports[0], "while holding second")) << Reports[0];
    EXPECT_TRUE(Contains(Reports[0], "TakeBThenA")) << Reports[0];
    EXPECT_TRUE(TakeInversions().empty());
}

TEST_F(DeclaredLockOrderTest, ALonelyClassAndTwoLocksOfOneClassAreReported)
{
    Declare();
    OnAnotherThread([] { TakeExclusiveThenExclusive(&ResourceA, &ResourceC); });
    OnAnotherThread([] { TakeExclusiveThenExclusive(&ResourceC, &ResourceB); });
    EXPECT_EQ(TakeBreaks().size(), 2u);

    ERESOURCE SecondFirst;
    ASSERT_EQ(ExInitializeResourceLite(&SecondFirst), STATUS_SUCCESS);
    emu::DeclaredLockOrder Order;
    Order.Classes = {{"first", false}};
    Order.Classify = [&](const void *Lock) -> int { return Lock == &ResourceA || Lock == &SecondFirst ? 0 : -1; };
    System.LockOrder().DeclareOrder(std::move(Order));
    OnAnotherThread([&] { TakeExclusiveThenExclusive(&ResourceA, &SecondFirst); });
    std::vector<std::string> Reports = TakeBreaks();
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_TRUE(Contains(Reports[0], "two locks of one class")) << Reports[0];
    ExDeleteResourceLite(&SecondFirst);
}

TEST_F(DeclaredLockOrderTest, TryAcquiresAndAnEndedDeclarationAreNotChecked)
{
    Declare();
    OnAnotherThread([] {
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&ResourceB, TRUE);
        EXPECT_TRUE(ExAcquireResourceExclusiveLite(&ResourceA, FALSE));
        ExReleaseResourceLite(&ResourceA);
        ExReleaseResourceLite(&ResourceB);
        KeLeaveCriticalRegion();
    });
    EXPECT_TRUE(TakeBreaks().empty());
    System.LockOrder().DeclareOrder(emu::DeclaredLockOrder());
    OnAnotherThread([] { TakeExclusiveThenExclusive(&ResourceA, &ResourceC); });
    EXPECT_TRUE(TakeBreaks().empty());
}

}  // namespace
