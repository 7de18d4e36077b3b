/*
 * The emulator's failure injection: the global rule that fails the Nth
 * call of any injectable routine (or every one from the Nth on) with a
 * status the routine documents, what it counts, and what it records; and
 * the references handed out by the filter manager's object lookups.
 */
#include "Harness.h"

#include <windows.h>

#include "EmuTesting.h"

using namespace zentaflt_test;

namespace {

constexpr ULONG TestTag = ZK_POOL_TAG('T', 'e', 's', 't');

class GlobalFaults : public FilterTest {
protected:
    PVOID Allocate()
    {
        return ExAllocatePoolWithTag(NonPagedPoolNx, 32, TestTag);
    }

    void Free(PVOID Block)
    {
        if (Block != NULL) {
            ExFreePoolWithTag(Block, TestTag);
        }
    }
};

TEST_F(GlobalFaults, FailsTheNthCountedCallOnlyAndRecordsIt)
{
    std::vector<emu::InjectedCall> Observed;
    System->Faults().ArmGlobal(2, false);
    System->Faults().ObserveFirstGlobalInjection([&](const emu::InjectedCall &Call) { Observed.push_back(Call); });

    PVOID First = Allocate();
    PVOID Second = Allocate();
    PVOID Third = Allocate();
    EXPECT_NE(First, nullptr);
    EXPECT_EQ(Second, nullptr);
    EXPECT_NE(Third, nullptr);
    EXPECT_EQ(System->Faults().CountedCalls(), 3u);
    EXPECT_EQ(System->Faults().GlobalInjections(), 1u);

    emu::InjectedCall Hit = System->Faults().FirstGlobalInjection();
    EXPECT_EQ(Hit.Ordinal, 2u);
    EXPECT_EQ(Hit.Routine, "ExAllocatePoolWithTag");
    EXPECT_EQ(Hit.Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Hit.Source, emu::FailureSource::Documented);
    EXPECT_NE(Hit.CallSite, nullptr);
    ASSERT_EQ(Observed.size(), 1u);
    EXPECT_EQ(Observed[0].Ordinal, 2u);
    Free(First);
    Free(Third);
}

TEST_F(GlobalFaults, EveryCallFromTheNthOnFails)
{
    System->Faults().ArmGlobal(2, true);
    PVOID Blocks[4];
    for (PVOID &Block : Blocks) {
        Block = Allocate();
    }
    EXPECT_NE(Blocks[0], nullptr);
    EXPECT_EQ(Blocks[1], nullptr);
    EXPECT_EQ(Blocks[2], nullptr);
    EXPECT_EQ(Blocks[3], nullptr);
    EXPECT_EQ(System->Faults().GlobalInjections(), 3u);
    EXPECT_EQ(System->Faults().FirstGlobalInjection().Ordinal, 2u);
    Free(Blocks[0]);
}

TEST_F(GlobalFaults, SuppressedAndUncataloguedCallsAreNotCounted)
{
    System->Faults().ArmGlobal(1, true);
    {
        emu::InjectionSuppressed TestsOwn;
        PVOID Block = Allocate();
        EXPECT_NE(Block, nullptr);
        Free(Block);
    }
    /* The security-descriptor routines document argument errors only. */
    ULONG Buffer[32];
    EXPECT_EQ(RtlCreateAcl((PACL)Buffer, sizeof(Buffer), ACL_REVISION), STATUS_SUCCESS);
    EXPECT_EQ(System->Faults().CountedCalls(), 0u);
    EXPECT_EQ(Allocate(), nullptr);
    EXPECT_EQ(System->Faults().CountedCalls(), 1u);
}

/* A lookaside list's own pool allocation is the emulated routine's, not a
   driver's call; its allocate routine is driver code again. */
PVOID NTAPI AllocateThroughPool(POOL_TYPE Type, SIZE_T Size, ULONG Tag)
{
    return ExAllocatePoolWithTag(Type, Size, Tag);
}

TEST_F(GlobalFaults, NestedCallsCountOnlyInsideDriverCallbacks)
{
    PAGED_LOOKASIDE_LIST Plain;
    PAGED_LOOKASIDE_LIST WithRoutine;
    ExInitializePagedLookasideList(&Plain, NULL, NULL, 0, 64, TestTag, 0);
    ExInitializePagedLookasideList(&WithRoutine, AllocateThroughPool, NULL, 0, 64, TestTag, 0);

    System->Faults().ArmGlobal(2, false);
    PVOID Entry = ExAllocateFromPagedLookasideList(&Plain);  // call 1; its pool allocation is not counted
    EXPECT_NE(Entry, nullptr);
    EXPECT_EQ(System->Faults().CountedCalls(), 1u);
    /* Call 2 is the list's; it fails without calling the routine. */
    EXPECT_EQ(ExAllocateFromPagedLookasideList(&WithRoutine), nullptr);
    ExFreeToPagedLookasideList(&Plain, Entry);

    System->Faults().ArmGlobal(2, false);
    /* Call 1 is the list's, call 2 the allocate routine's pool request. */
    EXPECT_EQ(ExAllocateFromPagedLookasideList(&WithRoutine), nullptr);
    EXPECT_EQ(System->Faults().FirstGlobalInjection().Routine, "ExAllocatePoolWithTag");
    EXPECT_EQ(System->Faults().CountedCalls(), 2u);

    ExDeletePagedLookasideList(&Plain);
    ExDeletePagedLookasideList(&WithRoutine);
}

TEST_F(GlobalFaults, EachDocumentedStatusByVariantAndTheFirstForLaterCalls)
{
    const std::vector<emu::FailureStatus> &Handle = emu::FailureStatusesOf("ObReferenceObjectByHandle");
    ASSERT_EQ(Handle.size(), 3u);
    for (size_t Variant = 0; Variant < 4; Variant += 1) {
        System->Faults().ArmGlobal(1, true, Variant);
        PVOID Object = NULL;
        EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)0x1234, 0, *IoFileObjectType, KernelMode, &Object, NULL),
                  Handle[Variant % 3].Status);
        EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)0x1234, 0, *IoFileObjectType, KernelMode, &Object, NULL),
                  Handle[0].Status);
        EXPECT_EQ(System->Faults().FirstGlobalInjection().Variants, 3u);
    }
    EXPECT_EQ(emu::FailureStatusesOf("ExInitializeResourceLite").at(0).Source, emu::FailureSource::ReturnType);
    EXPECT_TRUE(emu::FailureStatusesOf("RtlCreateAcl").empty());
}

TEST_F(GlobalFaults, NamedRulesStillCountEveryCall)
{
    System->Faults().Arm("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 2);
    {
        emu::InjectionSuppressed TestsOwn;
        PVOID First = Allocate();
        EXPECT_NE(First, nullptr);
        EXPECT_EQ(Allocate(), nullptr);
        Free(First);
    }
    EXPECT_EQ(System->Faults().Injected("ExAllocatePoolWithTag"), 1u);
    EXPECT_EQ(System->Faults().Calls("ExAllocatePoolWithTag"), 2u);
}

/* The filter manager's lookups hand out references the caller drops. */
class ObjectLookups : public FilterTest {};

TEST_F(ObjectLookups, VolumeAndInstanceOfAFileWithTheirReferences)
{
    PFLT_VOLUME Ntfs = System->Mount({FLT_FSTYPE_NTFS});
    PFLT_VOLUME Fat = System->Mount({FLT_FSTYPE_FAT});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    emu::EmuProcess *Program = System->CreateProcess("program.exe");
    HANDLE Handle;
    {
        emu::ProcessScope InProgram(Program);
        Handle = CreateFileW(L"D:\\file.bin", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
    }
    PFILE_OBJECT File = NULL;
    {
        emu::ProcessScope InProgram(Program);
        ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
                  STATUS_SUCCESS);
    }

    PFLT_VOLUME Volume = NULL;
    ASSERT_EQ(FltGetVolumeFromFileObject(FilterGlobals.Filter, File, &Volume), STATUS_SUCCESS);
    EXPECT_EQ(Volume, Fat);
    PFLT_VOLUME Again = NULL;
    ASSERT_EQ(FltGetVolumeFromFileObject(FilterGlobals.Filter, File, &Again), STATUS_SUCCESS);
    PFLT_INSTANCE Instance = NULL;
    EXPECT_EQ(FltGetVolumeInstanceFromName(FilterGlobals.Filter, Fat, NULL, &Instance), STATUS_FLT_INSTANCE_NOT_FOUND);
    ASSERT_EQ(FltGetVolumeInstanceFromName(FilterGlobals.Filter, Ntfs, NULL, &Instance), STATUS_SUCCESS);
    EXPECT_EQ(Instance, System->InstanceOn(Ntfs));

    /* Two references on the volume, one on the instance: one record each
       until the last goes. */
    EXPECT_EQ(System->Accounting().LiveCount("filter object reference"), 2u);
    FltObjectDereference(Volume);
    EXPECT_EQ(System->Accounting().LiveCount("filter object reference"), 2u);
    FltObjectDereference(Again);
    FltObjectDereference(Instance);
    EXPECT_EQ(System->Accounting().LiveCount("filter object reference"), 0u);

    ObDereferenceObject(File);
    {
        emu::ProcessScope InProgram(Program);
        CloseHandle(Handle);
    }
    System->Terminate(Program);
    ASSERT_EQ(System->UnloadDriver(), STATUS_SUCCESS);
    ExpectNothingLeft();
    /* Dropped once too often: the verifier stops the system. */
    EXPECT_THROW(FltObjectDereference(Instance), emu::BugCheck);
    System->Accounting().Reset();
}

}  // namespace
