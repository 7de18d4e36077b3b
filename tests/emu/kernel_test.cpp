/*
 * The emulated kernel behaves as Windows documents, and reports the misuse
 * Driver Verifier would.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "EmuTesting.h"

namespace {

class EmulatedKernel : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    bool Reported(const std::string &Fragment)
    {
        for (const auto &Violation : System.Accounting().Violations()) {
            if (Violation.find(Fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    void ForgetReports() { System.Accounting().Reset(); }

    emu::System System;
};

constexpr ULONG TestTag = 0x74736554;  // 'Test'

/* Lets a test wait until another thread has reached a blocking call. */
void SettleThreads()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

TEST_F(EmulatedKernel, ExclusiveResourceExcludesOtherThreads)
{
    ERESOURCE Resource;
    ASSERT_EQ(ExInitializeResourceLite(&Resource), STATUS_SUCCESS);
    KeEnterCriticalRegion();
    ASSERT_TRUE(ExAcquireResourceExclusiveLite(&Resource, TRUE));
    EXPECT_TRUE(ExIsResourceAcquiredExclusiveLite(&Resource));
    /* Recursive acquisition by the owner. */
    ASSERT_TRUE(ExAcquireResourceSharedLite(&Resource, TRUE));
    EXPECT_EQ(ExIsResourceAcquiredSharedLite(&Resource), 2u);

    std::atomic<int> Phase{0};
    std::thread Other([&] {
        KeEnterCriticalRegion();
        EXPECT_FALSE(ExAcquireResourceSharedLite(&Resource, FALSE));
        Phase = 1;
        ExAcquireResourceSharedLite(&Resource, TRUE);
        Phase = 2;
        ExReleaseResourceLite(&Resource);
        KeLeaveCriticalRegion();
    });
    while (Phase.load() == 0) {
        std::this_thread::yield();
    }
    SettleThreads();
    EXPECT_EQ(Phase.load(), 1);
    ExReleaseResourceLite(&Resource);
    EXPECT_EQ(Phase.load(), 1);
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
    Other.join();
    EXPECT_EQ(Phase.load(), 2);
    ExDeleteResourceLite(&Resource);
}

TEST_F(EmulatedKernel, ResourceMisuseIsReported)
{
    ERESOURCE Resource;
    ExInitializeResourceLite(&Resource);

    /* Acquired with normal kernel APCs enabled. */
    ExAcquireResourceExclusiveLite(&Resource, TRUE);
    EXPECT_TRUE(Reported("acquired with normal kernel APCs enabled"));
    ExReleaseResourceLite(&Resource);

    /* Released by a thread that does not own it. */
    EXPECT_THROW(ExReleaseResourceLite(&Resource), emu::BugCheck);

    /* Deleted while owned. */
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&Resource, TRUE);
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&Resource);
    ForgetReports();
}

TEST_F(EmulatedKernel, CallbackReturningWithALockHeldIsReported)
{
    ERESOURCE Resource;
    ExInitializeResourceLite(&Resource);
    {
        emu::CallbackScope Scope("TestCallback");
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&Resource, TRUE);
    }
    EXPECT_TRUE(Reported("TestCallback returned holding 1 more executive resource"));
    EXPECT_TRUE(Reported("TestCallback returned with its critical-region depth changed from 0 to 1"));
    ExReleaseResourceLite(&Resource);
    KeLeaveCriticalRegion();
    ExDeleteResourceLite(&Resource);
    ForgetReports();
}

TEST_F(EmulatedKernel, FreeingPoolThatHoldsALiveResourceStopsTheSystem)
{
    auto Block = (PERESOURCE)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ERESOURCE) + 16, TestTag);
    ExInitializeResourceLite(Block);
    EXPECT_THROW(ExFreePoolWithTag(Block, TestTag), emu::BugCheck);
    /* The stop came before the free: block and resource are still there. */
    EXPECT_EQ(System.Accounting().PoolByTag()[TestTag].OutstandingBlocks, 1u);
    EXPECT_TRUE(System.Accounting().IsLive("ERESOURCE", Block));
    ExDeleteResourceLite(Block);
    ExFreePoolWithTag(Block, TestTag);
    EXPECT_EQ(System.Accounting().PoolByTag()[TestTag].OutstandingBlocks, 0u);
    ForgetReports();
}

TEST_F(EmulatedKernel, PoolIsAccountedByTagAndCheckedOnFree)
{
    PVOID First = ExAllocatePoolWithTag(NonPagedPoolNx, 100, TestTag);
    PVOID Second = ExAllocatePoolWithTag(PagedPool, 28, TestTag);
    auto Usage = System.Accounting().PoolByTag()[TestTag];
    EXPECT_EQ(Usage.OutstandingBlocks, 2u);
    EXPECT_EQ(Usage.OutstandingBytes, 128u);
    EXPECT_EQ(System.Accounting().PoolTypeOf(First), NonPagedPoolNx);
    EXPECT_THROW(ExFreePoolWithTag(First, 0x656e6f4e), emu::BugCheck);  // wrong tag: freed, then stopped
    ExFreePool(Second);
    EXPECT_THROW(ExFreePool(Second), emu::BugCheck);  // double free
    EXPECT_EQ(System.Accounting().PoolByTag()[TestTag].OutstandingBlocks, 0u);
    ForgetReports();
}

TEST_F(EmulatedKernel, LookasideListCachesEntriesAndFreesThemOnDelete)
{
    PAGED_LOOKASIDE_LIST List;
    ExInitializePagedLookasideList(&List, NULL, NULL, POOL_NX_ALLOCATION, 48, TestTag, 0);
    PVOID Entries[8];
    for (PVOID &Entry : Entries) {
        Entry = ExAllocateFromPagedLookasideList(&List);
        ASSERT_NE(Entry, nullptr);
    }
    for (PVOID Entry : Entries) {
        ExFreeToPagedLookasideList(&List, Entry);
    }
    /* Some entries stay cached as pool of the list's tag until deletion. */
    EXPECT_GT(System.Accounting().PoolByTag()[TestTag].OutstandingBlocks, 0u);
    PVOID Reused = ExAllocateFromPagedLookasideList(&List);
    EXPECT_EQ(System.Accounting().PoolByTag()[TestTag].Allocations, 8u);
    ExFreeToPagedLookasideList(&List, Reused);
    ExDeletePagedLookasideList(&List);
    EXPECT_EQ(System.Accounting().PoolByTag()[TestTag].OutstandingBlocks, 0u);
}

TEST_F(EmulatedKernel, RundownWaitsForTheLastReference)
{
    EX_RUNDOWN_REF Rundown;
    ExInitializeRundownProtection(&Rundown);
    ASSERT_TRUE(ExAcquireRundownProtection(&Rundown));

    std::atomic<bool> Done{false};
    std::thread Waiter([&] {
        ExWaitForRundownProtectionRelease(&Rundown);
        Done = true;
    });
    SettleThreads();
    EXPECT_FALSE(Done.load());
    /* Once the run-down has begun, no new reference is granted. */
    EXPECT_FALSE(ExAcquireRundownProtection(&Rundown));
    ExReleaseRundownProtection(&Rundown);
    Waiter.join();
    EXPECT_TRUE(Done.load());
    ExRundownCompleted(&Rundown);
    ExReInitializeRundownProtection(&Rundown);
    EXPECT_TRUE(ExAcquireRundownProtection(&Rundown));
    ExReleaseRundownProtection(&Rundown);
}

TEST_F(EmulatedKernel, TimeoutsRunOnTheControllableClock)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    LARGE_INTEGER Zero = {};
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Zero), STATUS_TIMEOUT);

    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    std::thread Waiter([&] {
        LARGE_INTEGER Timeout;
        Timeout.QuadPart = -300LL * 10 * 1000 * 1000;  // 300 seconds, relative
        Result = KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Timeout);
    });
    SettleThreads();
    System.SystemClock().Advance(299LL * 10 * 1000 * 1000);
    SettleThreads();
    EXPECT_EQ(Result.load(), STATUS_PENDING);
    System.SystemClock().Advance(1LL * 10 * 1000 * 1000);
    Waiter.join();
    EXPECT_EQ(Result.load(), STATUS_TIMEOUT);

    /* A synchronization event wakes one waiter and resets itself. */
    KEVENT Gate;
    KeInitializeEvent(&Gate, SynchronizationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&Gate, Executive, KernelMode, FALSE, NULL), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&Gate), 0);
    KeSetEvent(&Gate, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeReadStateEvent(&Gate), 1);
}

TEST_F(EmulatedKernel, FaultInjectionHitsTheNthCallOrEveryCall)
{
    System.Faults().Arm("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 2);
    PVOID First = ExAllocatePoolWithTag(PagedPool, 8, TestTag);
    PVOID Second = ExAllocatePoolWithTag(PagedPool, 8, TestTag);
    PVOID Third = ExAllocatePoolWithTag(PagedPool, 8, TestTag);
    EXPECT_NE(First, nullptr);
    EXPECT_EQ(Second, nullptr);
    EXPECT_NE(Third, nullptr);
    ExFreePool(First);
    ExFreePool(Third);

    System.Faults().Arm("RtlCreateSecurityDescriptor", STATUS_UNKNOWN_REVISION, 1, true);
    SECURITY_DESCRIPTOR Descriptor;
    for (int Call = 0; Call < 3; Call += 1) {
        EXPECT_EQ(RtlCreateSecurityDescriptor(&Descriptor, SECURITY_DESCRIPTOR_REVISION), STATUS_UNKNOWN_REVISION);
    }
    EXPECT_EQ(System.Faults().Injected("RtlCreateSecurityDescriptor"), 3u);
    System.Faults().Disarm("RtlCreateSecurityDescriptor");
    EXPECT_EQ(RtlCreateSecurityDescriptor(&Descriptor, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
}

TEST_F(EmulatedKernel, DebugPrintUsesKernelFormats)
{
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"\\Device\\HarddiskVolume1");
    DbgPrintEx(77, 3, "%wZ %ws %lx %I64x %s %d%%\n", &Name, L"wide", 0xC0000022u, 0x123456789ULL, "narrow", -5);
    auto Output = System.KernelDebugger().Output();
    ASSERT_EQ(Output.size(), 1u);
    EXPECT_EQ(Output[0].Text, "\\Device\\HarddiskVolume1 wide c0000022 123456789 narrow -5%\n");
    EXPECT_EQ(Output[0].ComponentId, 77u);
    EXPECT_EQ(Output[0].Level, 3u);
}

TEST_F(EmulatedKernel, CorruptListStopsTheSystemWithFastFailThree)
{
    LIST_ENTRY Head;
    LIST_ENTRY Entry;
    InitializeListHead(&Head);
    InsertTailList(&Head, &Entry);
    Entry.Blink = &Entry;  // corrupt
    try {
        RemoveEntryList(&Entry);
        ADD_FAILURE() << "corrupt list not detected";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::KERNEL_SECURITY_CHECK_FAILURE);
        EXPECT_EQ(Stop.Parameter1, 3u);
    }
    ForgetReports();
}

DECLSPEC_NOINLINE void RaiseFrom(NTSTATUS Status)
{
    ExRaiseStatus(Status);
}

TEST_F(EmulatedKernel, StructuredExceptionsReachTheFilterExpression)
{
    NTSTATUS Status = STATUS_SUCCESS;
    bool Handled = false;
    __try {
        RaiseFrom(STATUS_ACCESS_VIOLATION);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        Handled = true;
    }
    EXPECT_TRUE(Handled);
    EXPECT_EQ(Status, STATUS_ACCESS_VIOLATION);

    /* A filter that declines passes the exception to the outer handler. */
    bool Inner = false;
    bool Outer = false;
    __try {
        __try {
            RaiseFrom(STATUS_DATATYPE_MISALIGNMENT);
        } __except (GetExceptionCode() == STATUS_ACCESS_VIOLATION ? EXCEPTION_EXECUTE_HANDLER
                                                                    : EXCEPTION_CONTINUE_SEARCH) {
            Inner = true;
        }
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        Outer = true;
    }
    EXPECT_FALSE(Inner);
    EXPECT_TRUE(Outer);

    /* No exception: the handler does not run. */
    bool Ran = false;
    __try {
        Status = STATUS_SUCCESS;
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        Ran = true;
    }
    EXPECT_FALSE(Ran);
}

TEST_F(EmulatedKernel, SecurityDescriptorRoutinesCheckTheirInput)
{
    ULONG Buffer[8];
    auto Acl = (PACL)Buffer;
    EXPECT_EQ(RtlCreateAcl(Acl, 4, ACL_REVISION), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(RtlCreateAcl(Acl, sizeof(Buffer), 9), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(RtlCreateAcl(Acl, 24, ACL_REVISION), STATUS_SUCCESS);
    /* 8-byte header + 20-byte ACE does not fit in 24 bytes. */
    EXPECT_EQ(RtlAddAccessAllowedAce(Acl, ACL_REVISION, GENERIC_ALL, SeExports->SeWorldSid),
              STATUS_ALLOTTED_SPACE_EXCEEDED);
    ASSERT_EQ(RtlCreateAcl(Acl, sizeof(Buffer), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(RtlAddAccessAllowedAce(Acl, ACL_REVISION, GENERIC_ALL, SeExports->SeWorldSid), STATUS_SUCCESS);
    EXPECT_EQ(Acl->AceCount, 1);
    EXPECT_EQ(RtlLengthSid(SeExports->SeWorldSid), 12u);

    SECURITY_DESCRIPTOR Descriptor;
    EXPECT_EQ(RtlCreateSecurityDescriptor(&Descriptor, 2), STATUS_UNKNOWN_REVISION);
    ASSERT_EQ(RtlCreateSecurityDescriptor(&Descriptor, SECURITY_DESCRIPTOR_REVISION), STATUS_SUCCESS);
    ASSERT_EQ(RtlSetDaclSecurityDescriptor(&Descriptor, TRUE, Acl, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(Descriptor.Control, SE_DACL_PRESENT);
    EXPECT_EQ(Descriptor.Dacl, Acl);
}

TEST_F(EmulatedKernel, VersionIsTheOneTheTestChose)
{
    System.Version() = emu::OsVersion{6, 3, 9600};
    RTL_OSVERSIONINFOW Version = {};
    Version.dwOSVersionInfoSize = sizeof(Version);
    ASSERT_EQ(RtlGetVersion(&Version), STATUS_SUCCESS);
    EXPECT_EQ(Version.dwMajorVersion, 6u);
    EXPECT_EQ(Version.dwMinorVersion, 3u);
    EXPECT_EQ(Version.dwBuildNumber, 9600u);
    Version.dwOSVersionInfoSize = 100;
    EXPECT_EQ(RtlGetVersion(&Version), STATUS_INVALID_PARAMETER);
}

}  // namespace
