/*
 * What a disconnect does to the hydrations pending under its sync root:
 * every one is failed with 0xC000CF01, its waiters wake, its stream goes to
 * StreamStateFailed, and its registration reference is dropped exactly
 * once, whoever else is holding or taking the request at the time.
 *
 * Requests are registered by hand, as the registration does it, in stream
 * contexts in test memory; the file object is an emulated object whose
 * reference count the test can read.
 */
#include "Harness.h"

#include <atomic>
#include <thread>

#include "EmuTesting.h"

using namespace zentaflt_test;

namespace {

_OBJECT_TYPE TestFileType = {"File", {0, 0, 0, 0}, nullptr, nullptr};

class PendingHydrations : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);

        ASSERT_EQ(InitializeUnlinkedSyncRoot(&Root), STATUS_SUCCESS);
        /* The list reference of a connected record. */
        ASSERT_TRUE(SyncRootAcquire(&Root));
        Connected = References();

        for (int Index = 0; Index < 2; Index += 1) {
            RtlZeroMemory(&Streams[Index], sizeof(Streams[Index]));
            ASSERT_EQ(ExInitializeResourceLite(&Streams[Index].Lock), STATUS_SUCCESS);
            Streams[Index].State = StreamStateHydrating;
            /* The open of the program whose operation started the hydration. */
            Files[Index] = (PFILE_OBJECT)emu::CreateObject(&TestFileType, sizeof(FILE_OBJECT), "test file");
        }
    }

    void TearDown() override
    {
        for (int Index = 0; Index < 2; Index += 1) {
            ExDeleteResourceLite(&Streams[Index].Lock);
            ObfDereferenceObject(Files[Index]);
        }
        ExReleaseRundownProtection(&Root.RundownRef);
        ExDeleteResourceLite(&Root.Lock);
        FilterTest::TearDown();
    }

    /* Registers stream Index's request as the registration does. */
    PHYDRATION_REQUEST Register(int Index)
    {
        PHYDRATION_REQUEST Request = &Streams[Index].Request;
        RtlZeroMemory(Request, sizeof(*Request));
        Request->RefCount = 1;
        Request->FileObject = Files[Index];
        Request->SyncRoot = &Root;
        KeInitializeEvent(&Request->CompletionEvent, NotificationEvent, FALSE);
        Request->CompletionStatus = STATUS_ABANDONED;
        EXPECT_TRUE(SyncRootAcquire(&Root));
        ObfReferenceObject(Files[Index]);
        KeEnterCriticalRegion();
        ExAcquireResourceExclusiveLite(&Root.Lock, TRUE);
        Request->RequestId = Root.NextRequestId;
        Root.NextRequestId += 1;
        InsertHeadList(&Root.PendingRequests, &Request->Link);
        ExReleaseResourceLite(&Root.Lock);
        KeLeaveCriticalRegion();
        return Request;
    }

    ULONG_PTR References() const { return (ULONG_PTR)Root.RundownRef.Count; }

    LONG_PTR FileReferences(int Index) const { return emu::PointerCountOf(Files[Index]); }

    static bool LinkedToItself(const HYDRATION_REQUEST *Request)
    {
        return Request->Link.Flink == &Request->Link && Request->Link.Blink == &Request->Link;
    }

    static bool Signalled(PHYDRATION_REQUEST Request) { return KeReadStateEvent(&Request->CompletionEvent) != 0; }

    std::string Printed() { return System->KernelDebugger().OutputText(); }

    SYNC_ROOT Root;
    ULONG_PTR Connected = 0;
    STREAM_CONTEXT Streams[2];
    PFILE_OBJECT Files[2] = {};
};

TEST_F(PendingHydrations, EveryPendingRequestIsFailedAndReleased)
{
    PHYDRATION_REQUEST First = Register(0);
    PHYDRATION_REQUEST Second = Register(1);
    ASSERT_GT(References(), Connected);
    ASSERT_EQ(FileReferences(0), 2);

    CancelHydrationRequests(&Root);

    EXPECT_TRUE(IsListEmpty(&Root.PendingRequests));
    for (int Index = 0; Index < 2; Index += 1) {
        PHYDRATION_REQUEST Request = &Streams[Index].Request;
        EXPECT_EQ(Request->CompletionStatus, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING) << Index;
        EXPECT_TRUE(Signalled(Request)) << Index;
        EXPECT_EQ(Streams[Index].State, (ULONG)StreamStateFailed) << Index;
        EXPECT_EQ(Request->RefCount, 0) << Index;
        EXPECT_TRUE(LinkedToItself(Request)) << Index;
        EXPECT_FALSE(ExIsResourceAcquiredExclusiveLite(&Streams[Index].Lock)) << Index;
        /* The registration's reference on the file object is gone. */
        EXPECT_EQ(FileReferences(Index), 1) << Index;
    }
    /* Only the list reference is left on the record. */
    EXPECT_EQ(References(), Connected);
    EXPECT_EQ((ULONG)STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING, 0xC000CF01u);
    /* Ids stay with the record: the next registration would not reuse one. */
    EXPECT_EQ(Root.NextRequestId, 2u);
    EXPECT_NE(First->RequestId, Second->RequestId);
    EXPECT_EQ(Printed(), "");
}

TEST_F(PendingHydrations, AWaiterWakesWithTheDisconnectStatus)
{
    PHYDRATION_REQUEST Request = Register(0);
    std::atomic<bool> Waiting{false};
    NTSTATUS WaitStatus = STATUS_PENDING;
    NTSTATUS Seen = STATUS_PENDING;

    std::thread Program([&] {
        Waiting = true;
        WaitStatus = KeWaitForSingleObject(&Request->CompletionEvent, Executive, KernelMode, FALSE, NULL);
        Seen = Request->CompletionStatus;
    });
    while (!Waiting) {
        std::this_thread::yield();
    }

    CancelHydrationRequests(&Root);
    Program.join();

    EXPECT_EQ(WaitStatus, STATUS_SUCCESS);
    EXPECT_EQ(Seen, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_EQ(Streams[0].State, (ULONG)StreamStateFailed);
}

TEST_F(PendingHydrations, ACommandStillHoldingARequestDropsTheLastReference)
{
    PHYDRATION_REQUEST Request = Register(0);
    /* A command of the service has looked the request up. */
    InterlockedIncrement(&Request->RefCount);

    CancelHydrationRequests(&Root);

    /* Failed and out of the list, but still held by the command. */
    EXPECT_EQ(Request->CompletionStatus, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_TRUE(IsListEmpty(&Root.PendingRequests));
    EXPECT_TRUE(LinkedToItself(Request));
    EXPECT_EQ(Request->RefCount, 1);
    EXPECT_EQ(FileReferences(0), 2);
    EXPECT_GT(References(), Connected);

    /* A completion handled at the same time cannot take the request out
       again, so it does not drop the registration reference a second
       time. */
    EXPECT_FALSE(DetachHydrationRequest(Request));
    EXPECT_EQ(Request->RefCount, 1);

    /* The command ends: the last reference goes, and with it the
       registration's references on the file object and the record. */
    ReleaseHydrationRequest(Request);
    EXPECT_EQ(Request->RefCount, 0);
    EXPECT_EQ(FileReferences(0), 1);
    EXPECT_EQ(References(), Connected);
}

TEST_F(PendingHydrations, ARequestTakenOutBeforeTheDisconnectIsLeftAlone)
{
    PHYDRATION_REQUEST Taken = Register(0);
    PHYDRATION_REQUEST Pending = Register(1);

    /* A completion takes its request out first and so owns the
       registration reference; only once. */
    EXPECT_TRUE(DetachHydrationRequest(Taken));
    EXPECT_TRUE(LinkedToItself(Taken));
    EXPECT_FALSE(DetachHydrationRequest(Taken));
    EXPECT_EQ(Root.PendingRequests.Flink, &Pending->Link);
    EXPECT_EQ(Root.PendingRequests.Blink, &Pending->Link);

    CancelHydrationRequests(&Root);

    /* The cancellation failed only the request still pending. */
    EXPECT_EQ(Taken->CompletionStatus, STATUS_ABANDONED);
    EXPECT_FALSE(Signalled(Taken));
    EXPECT_EQ(Streams[0].State, (ULONG)StreamStateHydrating);
    EXPECT_EQ(Taken->RefCount, 1);
    EXPECT_EQ(Pending->CompletionStatus, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_EQ(Pending->RefCount, 0);
    EXPECT_EQ(FileReferences(1), 1);

    /* The completion drops the reference it took over. */
    ReleaseHydrationRequest(Taken);
    EXPECT_EQ(Taken->RefCount, 0);
    EXPECT_EQ(FileReferences(0), 1);
    EXPECT_EQ(References(), Connected);
}

TEST_F(PendingHydrations, TheLastReleaseOfAPendingRequestUnlinksIt)
{
    PHYDRATION_REQUEST First = Register(0);
    PHYDRATION_REQUEST Second = Register(1);

    /* As after a send that failed: the registrant drops its reference. */
    ReleaseHydrationRequest(Second);
    EXPECT_EQ(Second->RefCount, 0);
    EXPECT_TRUE(LinkedToItself(Second));
    EXPECT_EQ(Root.PendingRequests.Flink, &First->Link);
    EXPECT_EQ(First->Link.Flink, &Root.PendingRequests);
    EXPECT_EQ(FileReferences(1), 1);

    /* A reference that is not the last leaves the request pending. */
    InterlockedIncrement(&First->RefCount);
    ReleaseHydrationRequest(First);
    EXPECT_EQ(First->RefCount, 1);
    EXPECT_EQ(Root.PendingRequests.Flink, &First->Link);
    EXPECT_EQ(FileReferences(0), 2);

    CancelHydrationRequests(&Root);
    EXPECT_EQ(First->RefCount, 0);
    EXPECT_EQ(Second->CompletionStatus, STATUS_ABANDONED);
    EXPECT_EQ(References(), Connected);
}

TEST_F(PendingHydrations, NothingPendingMeansNothingToDo)
{
    CancelHydrationRequests(&Root);
    EXPECT_TRUE(IsListEmpty(&Root.PendingRequests));
    EXPECT_EQ(References(), Connected);
    EXPECT_EQ(Streams[0].State, (ULONG)StreamStateHydrating);
}

}  // namespace
