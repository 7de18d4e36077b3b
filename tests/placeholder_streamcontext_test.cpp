/*
 * The stream context of a placeholder: created on demand in
 * StreamStateNew, looked up without creating, one per stream however many
 * threads race to create it, and gone with the stream's last file object.
 */
#include "PlaceholderFixture.h"

#include <atomic>
#include <thread>

using namespace zentaflt_test;

namespace {

class StreamContexts : public PlaceholderTest {
protected:
    void SetUp() override
    {
        PlaceholderTest::SetUp();
        BaseResources = Live("ERESOURCE");
        BaseContexts = Live("context");
        BaseAllocations = PoolOf(PoolTagStreamContext).Allocations;
    }

    /* Calls GetStreamContext the way an operation callback on the
       program's handle would. */
    NTSTATUS Get(const ProgramFile &Open, ULONG Mode, PSTREAM_CONTEXT *Context, UCHAR Major = IRP_MJ_CREATE)
    {
        emu::ProcessScope InProgram(Program);
        PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(Open.Handle, Major, UserMode, Major == IRP_MJ_CREATE);
        EXPECT_NE(Data, nullptr);
        if (Data == nullptr) {
            return STATUS_INVALID_HANDLE;
        }
        EXPECT_EQ(Data->Iopb->TargetInstance, Instance);
        NTSTATUS Status = GetStreamContext(Data, Mode, Context);
        emu::FreeCallbackData(Data);
        return Status;
    }

    /* Stream contexts and their locks alive now, beyond the filter's own. */
    size_t StreamContextsAlive() const
    {
        return Live("context") - BaseContexts;
    }

    size_t LocksAlive() const
    {
        return Live("ERESOURCE") - BaseResources;
    }

    /* Stream contexts allocated by the filter in this test. */
    uint64_t ContextsAllocated() const
    {
        return PoolOf(PoolTagStreamContext).Allocations - BaseAllocations;
    }

    size_t BaseResources = 0;
    size_t BaseContexts = 0;
    uint64_t BaseAllocations = 0;
};

TEST_F(StreamContexts, CreateAttachesOneZeroedContextInStreamStateNew)
{
    PSTREAM_CONTEXT Context = NULL;
    ASSERT_EQ(Get(Target, PlaceholderCommandCreate, &Context), STATUS_SUCCESS);
    ASSERT_NE(Context, nullptr);

    EXPECT_EQ(Context->State, (ULONG)StreamStateNew);
    EXPECT_EQ(Context->ExpectedSize, 0u);
    EXPECT_EQ(Context->Request.RefCount, 0);
    EXPECT_EQ(Context->Request.RequestId, 0u);
    EXPECT_EQ(Context->Request.FileObject, nullptr);
    EXPECT_EQ(Context->Request.Link.Flink, nullptr);
    EXPECT_EQ(Context->Request.SyncRoot, nullptr);
    EXPECT_EQ(StreamContextsAlive(), 1u);
    EXPECT_EQ(LocksAlive(), 1u);
    emu::PoolTagUsage Pool = PoolOf(PoolTagStreamContext);
    EXPECT_EQ(Pool.OutstandingBlocks, 1u);
    EXPECT_TRUE(Pool.TypesUsed.count(FilterGlobals.PoolType));

    /* Attached to the stream at the filter's instance, and its lock works. */
    PFLT_CONTEXT Attached = NULL;
    ASSERT_EQ(FltGetStreamContext(Instance, Target.File, &Attached), STATUS_SUCCESS);
    EXPECT_EQ(Attached, (PFLT_CONTEXT)Context);
    FltReleaseContext(Attached);
    LockStreamContext(Context);
    UnlockStreamContext(Context);

    FltReleaseContext(Context);
    EXPECT_EQ(Reported(), "");
}

TEST_F(StreamContexts, LaterCallsFindTheSameContextAsItIs)
{
    PSTREAM_CONTEXT First = NULL;
    ASSERT_EQ(Get(Target, PlaceholderCommandCreate, &First), STATUS_SUCCESS);
    LockStreamContext(First);
    First->State = StreamStateHydrated;
    First->ExpectedSize = 4096;
    UnlockStreamContext(First);

    /* Through another file object of the same stream, by a read: found, not
       created again, not reset. */
    ProgramFile Other = Open(L"C:\\file.bin");
    PSTREAM_CONTEXT Found = NULL;
    ASSERT_EQ(Get(Other, PlaceholderCommandUpdate, &Found, IRP_MJ_READ), STATUS_SUCCESS);
    EXPECT_EQ(Found, First);
    PSTREAM_CONTEXT Again = NULL;
    ASSERT_EQ(Get(Other, PlaceholderCommandCreate, &Again), STATUS_SUCCESS);
    EXPECT_EQ(Again, First);
    EXPECT_EQ(Again->State, (ULONG)StreamStateHydrated);
    EXPECT_EQ(Again->ExpectedSize, 4096u);
    EXPECT_EQ(ContextsAllocated(), 1u);

    /* Another stream has its own. */
    ProgramFile Second = Open(L"C:\\second.bin", CREATE_NEW);
    PSTREAM_CONTEXT Separate = NULL;
    ASSERT_EQ(Get(Second, PlaceholderCommandCreate, &Separate), STATUS_SUCCESS);
    EXPECT_NE(Separate, First);
    EXPECT_EQ(StreamContextsAlive(), 2u);

    FltReleaseContext(Separate);
    FltReleaseContext(Again);
    FltReleaseContext(Found);
    FltReleaseContext(First);
}

TEST_F(StreamContexts, LookupFindsNothingWithoutReportingIt)
{
    for (ULONG Mode : {(ULONG)PlaceholderCommandUpdate, (ULONG)PlaceholderCommandConvert, 0u, 2327u}) {
        PSTREAM_CONTEXT Context = (PSTREAM_CONTEXT)0x1;
        EXPECT_EQ(Get(Target, Mode, &Context, IRP_MJ_READ), STATUS_NOT_FOUND) << "mode " << Mode;
        EXPECT_EQ(Context, nullptr);
    }
    EXPECT_EQ((ULONG)STATUS_NOT_FOUND, 0xC0000225u);
    EXPECT_EQ(ContextsAllocated(), 0u);
    EXPECT_EQ(StreamContextsAlive(), 0u);
    EXPECT_EQ(Reported(), "");
}

TEST_F(StreamContexts, ALookupThatFailsOtherwiseIsReported)
{
    System->Faults().Arm("FltGetStreamContext", STATUS_INSUFFICIENT_RESOURCES);
    PSTREAM_CONTEXT Context = (PSTREAM_CONTEXT)0x1;
    EXPECT_EQ(Get(Target, PlaceholderCommandCreate, &Context), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Context, nullptr);
    EXPECT_EQ(ContextsAllocated(), 0u);
    EXPECT_EQ(Reported(), "Zentaflt: 0xc000009a\n");
}

struct CreateFailure {
    const char *Routine;
    NTSTATUS Status;
};

void PrintTo(const CreateFailure &Failure, std::ostream *Out)
{
    *Out << Failure.Routine;
}

class StreamContextCreateFailures : public StreamContexts, public ::testing::WithParamInterface<CreateFailure> {};

TEST_P(StreamContextCreateFailures, AreReportedAndLeaveNothingAllocated)
{
    System->Faults().Arm(GetParam().Routine, GetParam().Status);
    PSTREAM_CONTEXT Context = (PSTREAM_CONTEXT)0x1;
    EXPECT_EQ(Get(Target, PlaceholderCommandCreate, &Context), GetParam().Status);
    EXPECT_EQ(System->Faults().Injected(GetParam().Routine), 1u);
    EXPECT_EQ(Context, nullptr);
    EXPECT_EQ(StreamContextsAlive(), 0u);
    EXPECT_EQ(LocksAlive(), 0u);
    EXPECT_EQ(PoolOf(PoolTagStreamContext).OutstandingBlocks, 0u);
    char Expected[32];
    snprintf(Expected, sizeof(Expected), "Zentaflt: 0x%x\n", (ULONG)GetParam().Status);
    EXPECT_EQ(Reported(), Expected);

    /* Nothing is attached: the next attempt creates the context. */
    ASSERT_EQ(Get(Target, PlaceholderCommandCreate, &Context), STATUS_SUCCESS);
    EXPECT_EQ(Context->State, (ULONG)StreamStateNew);
    FltReleaseContext(Context);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StreamContextCreateFailures,
    ::testing::Values(CreateFailure{"FltAllocateContext", STATUS_INSUFFICIENT_RESOURCES},
                      CreateFailure{"ExInitializeResourceLite", STATUS_INSUFFICIENT_RESOURCES},
                      CreateFailure{"FltSetStreamContext", STATUS_FLT_DELETING_OBJECT}),
    [](const ::testing::TestParamInfo<CreateFailure> &Info) { return std::string(Info.param.Routine); });

/* Threads that open the same file at the same moment, each through its own
   file object, all create the stream's context.  Every lookup is made to
   miss, as when all racers look before any attaches: all allocate, all race
   to attach, one wins and the rest lose. */
TEST_F(StreamContexts, RacingCreatorsEndWithTheWinnersContext)
{
    constexpr int Racers = 8;
    std::vector<ProgramFile> Files;
    for (int Index = 0; Index < Racers; Index += 1) {
        Files.push_back(Open(L"C:\\file.bin"));
    }
    System->Faults().Arm("FltGetStreamContext", STATUS_NOT_FOUND, 1, true);

    std::vector<PSTREAM_CONTEXT> Results(Racers, nullptr);
    std::vector<NTSTATUS> Statuses(Racers, STATUS_UNSUCCESSFUL);
    std::atomic<int> Waiting{Racers};
    std::vector<std::thread> Threads;
    for (int Index = 0; Index < Racers; Index += 1) {
        Threads.emplace_back([&, Index] {
            emu::ProcessScope InProgram(Program);
            PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(Files[Index].Handle, IRP_MJ_CREATE, UserMode, true);
            Waiting -= 1;
            while (Waiting.load() > 0) {
                std::this_thread::yield();
            }
            Statuses[Index] = GetStreamContext(Data, PlaceholderCommandCreate, &Results[Index]);
            emu::FreeCallbackData(Data);
        });
    }
    for (std::thread &Thread : Threads) {
        Thread.join();
    }
    System->Faults().Disarm("FltGetStreamContext");

    /* One context for all; the losers' contexts are freed and their locks
       deleted. */
    for (int Index = 0; Index < Racers; Index += 1) {
        EXPECT_EQ(Statuses[Index], STATUS_SUCCESS) << "racer " << Index;
        EXPECT_EQ(Results[Index], Results[0]) << "racer " << Index;
    }
    ASSERT_NE(Results[0], nullptr);
    EXPECT_EQ(Results[0]->State, (ULONG)StreamStateNew);
    EXPECT_EQ(ContextsAllocated(), (uint64_t)Racers);
    EXPECT_EQ(StreamContextsAlive(), 1u);
    EXPECT_EQ(LocksAlive(), 1u);
    EXPECT_EQ(PoolOf(PoolTagStreamContext).OutstandingBlocks, 1u);
    LockStreamContext(Results[0]);
    UnlockStreamContext(Results[0]);
    for (PSTREAM_CONTEXT Result : Results) {
        FltReleaseContext(Result);
    }
    EXPECT_EQ(Reported(), "");
}

TEST_F(StreamContexts, GoesWithTheStreamsLastFileObject)
{
    ProgramFile Other = Open(L"C:\\file.bin");
    PSTREAM_CONTEXT Context = NULL;
    ASSERT_EQ(Get(Target, PlaceholderCommandCreate, &Context), STATUS_SUCCESS);
    FltReleaseContext(Context);
    ASSERT_EQ(StreamContextsAlive(), 1u);

    /* One file object of the stream is left: the context stays. */
    Close(Target);
    EXPECT_EQ(StreamContextsAlive(), 1u);
    EXPECT_EQ(LocksAlive(), 1u);
    ASSERT_EQ(Get(Other, PlaceholderCommandUpdate, &Context, IRP_MJ_READ), STATUS_SUCCESS);
    FltReleaseContext(Context);

    /* The last one goes: the context is torn down and its lock deleted. */
    Close(Other);
    EXPECT_EQ(StreamContextsAlive(), 0u);
    EXPECT_EQ(LocksAlive(), 0u);
    EXPECT_EQ(PoolOf(PoolTagStreamContext).OutstandingBlocks, 0u);

    /* Opened again, the file has no context until one is created. */
    ProgramFile Again = Open(L"C:\\file.bin");
    EXPECT_EQ(Get(Again, PlaceholderCommandUpdate, &Context, IRP_MJ_READ), STATUS_NOT_FOUND);
}

}  // namespace
