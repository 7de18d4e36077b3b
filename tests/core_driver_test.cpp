/*
 * Driver load, registration, failure of each start step, and unload.
 */
#include "Harness.h"

#include <gtest/gtest-spi.h>

using namespace zentaflt_test;

namespace {

constexpr ULONG Tag(char a, char b, char c, char d)
{
    return ZK_POOL_TAG(a, b, c, d);
}

struct VersionCase {
    ULONG Major;
    ULONG Minor;
    POOL_TYPE Expected;
};

class PoolTypeByVersion : public FilterTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(PoolTypeByVersion, ChosenFromTheOsVersionAndUsedForInstanceContexts)
{
    System->Version().Major = GetParam().Major;
    System->Version().Minor = GetParam().Minor;
    System->Mount();

    ASSERT_EQ(Load(), STATUS_SUCCESS);

    EXPECT_EQ(FilterGlobals.PoolType, GetParam().Expected);
    auto Pool = System->Accounting().PoolByTag();
    ASSERT_EQ(Pool.count(Tag('z', 'K', 'I', 'C')), 1u);
    EXPECT_EQ(Pool[Tag('z', 'K', 'I', 'C')].TypesUsed, std::set<POOL_TYPE>{GetParam().Expected});
}

INSTANTIATE_TEST_SUITE_P(Windows, PoolTypeByVersion,
                         ::testing::Values(VersionCase{6, 1, NonPagedPool}, VersionCase{6, 2, NonPagedPoolNx},
                                           VersionCase{6, 3, NonPagedPoolNx}, VersionCase{10, 0, NonPagedPoolNx},
                                           VersionCase{5, 2, NonPagedPool}, VersionCase{7, 0, NonPagedPoolNx}));

TEST_F(FilterTest, FailedVersionQueryKeepsNonPagedPool)
{
    System->Faults().Arm("RtlGetVersion", STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(FilterGlobals.PoolType, NonPagedPool);
}

TEST_F(FilterTest, LoadSetsUpPoolsListAndPort)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    EXPECT_NE(FilterGlobals.Filter, nullptr);
    EXPECT_EQ(FilterGlobals.Filter, System->Filter());
    EXPECT_TRUE(IsListEmpty(&FilterGlobals.SyncRootList));
    EXPECT_EQ(System->Accounting().LiveCount("lookaside list"), 2u);
    EXPECT_EQ(System->Accounting().LiveCount("ERESOURCE"), 1u);
    EXPECT_EQ(FilterGlobals.DebugFlags, 0u);
    EXPECT_EQ(FilterGlobals.DebugBreakStatus, 0);

    /* The pools hand out entries of their fixed sizes and tags. */
    PVOID Entry = ExAllocateFromPagedLookasideList(&FilterGlobals.OpenReparseEntryPool);
    PVOID Message = ExAllocateFromPagedLookasideList(&FilterGlobals.MessagePool);
    ASSERT_NE(Entry, nullptr);
    ASSERT_NE(Message, nullptr);
    auto Pool = System->Accounting().PoolByTag();
    EXPECT_EQ(Pool[Tag('z', 'K', 'O', 'E')].OutstandingBytes, 48u);
    EXPECT_EQ(Pool[Tag('z', 'K', 'M', 'G')].OutstandingBytes, 132208u);
    ExFreeToPagedLookasideList(&FilterGlobals.OpenReparseEntryPool, Entry);
    ExFreeToPagedLookasideList(&FilterGlobals.MessagePool, Message);
}

TEST_F(FilterTest, RegistrationRecordAndContextTable)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PFLT_FILTER Filter = System->Filter();
    ASSERT_NE(Filter, nullptr);

    const FLT_REGISTRATION &Registration = Filter->Registration;
    EXPECT_EQ(Registration.Size, 0x70);
    EXPECT_EQ(Registration.Version, 0x0203);
    EXPECT_EQ(Registration.Flags, 0u);
    EXPECT_EQ(Registration.FilterUnloadCallback, &FilterUnload);
    EXPECT_EQ(Registration.InstanceSetupCallback, &InstanceSetup);
    EXPECT_EQ(Registration.InstanceQueryTeardownCallback, &InstanceQueryTeardown);
    EXPECT_EQ(Registration.InstanceTeardownStartCallback, nullptr);
    EXPECT_EQ(Registration.InstanceTeardownCompleteCallback, nullptr);
    EXPECT_EQ(Registration.SectionNotificationCallback, nullptr);

    ASSERT_EQ(Filter->Contexts.size(), 2u);
    EXPECT_EQ(Filter->Contexts[0].ContextType, FLT_INSTANCE_CONTEXT);
    EXPECT_EQ(Filter->Contexts[0].Size, 248u);
    EXPECT_EQ(Filter->Contexts[0].PoolTag, Tag('z', 'K', 'I', 'C'));
    EXPECT_EQ(Filter->Contexts[0].ContextCleanupCallback, nullptr);
    EXPECT_EQ(Filter->Contexts[1].ContextType, FLT_STREAM_CONTEXT);
    EXPECT_EQ(Filter->Contexts[1].Size, 216u);
    EXPECT_EQ(Filter->Contexts[1].PoolTag, Tag('z', 'K', 'S', 'C'));
    EXPECT_EQ(Filter->Contexts[1].ContextCleanupCallback, &StreamContextCleanup);
}

TEST_F(FilterTest, ServerPortIsOpenToEveryone)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    const _FLT_PORT *Port = System->FindServerPort(u"\\VelquorFsPort");
    ASSERT_NE(Port, nullptr);
    EXPECT_EQ(Port, FilterGlobals.ServerPort);
    EXPECT_EQ(Port->Attributes, 0x240u);
    EXPECT_EQ(Port->MaxConnections, 0x7FFFFFFF);
    EXPECT_EQ(Port->Cookie, nullptr);
    EXPECT_NE(Port->Connect, nullptr);
    EXPECT_NE(Port->Disconnect, nullptr);
    EXPECT_NE(Port->Message, nullptr);

    const CapturedSecurity &Security = Port->Security;
    EXPECT_TRUE(Security.Present);
    EXPECT_TRUE(Security.DaclPresent);
    EXPECT_FALSE(Security.DaclNull);
    EXPECT_EQ(Security.Control & SE_DACL_DEFAULTED, 0);
    EXPECT_FALSE(Security.HasOwner);
    EXPECT_FALSE(Security.HasGroup);
    EXPECT_FALSE(Security.HasSacl);
    EXPECT_EQ(Security.AclRevision, ACL_REVISION);
    ASSERT_EQ(Security.Dacl.size(), 1u);
    EXPECT_EQ(Security.Dacl[0].Type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(Security.Dacl[0].Mask, (ACCESS_MASK)GENERIC_ALL);
    const std::vector<UCHAR> WorldSid = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    EXPECT_EQ(Security.Dacl[0].Sid, WorldSid);
}

struct StartFailure {
    const char *Routine;
    NTSTATUS Status;
};

class FailedStart : public FilterTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(FailedStart, ReturnsTheStatusAndLeavesNothingBehind)
{
    System->Mount();
    System->Faults().Arm(GetParam().Routine, GetParam().Status);

    EXPECT_EQ(Load(DebugFlagPrintFailures), GetParam().Status);

    EXPECT_FALSE(System->DriverLoaded());
    EXPECT_EQ(System->Filter(), nullptr);
    EXPECT_EQ(FilterGlobals.ServerPort, nullptr);
    EXPECT_EQ(System->FindServerPort(u"\\VelquorFsPort"), nullptr);
    EXPECT_EQ(System->Faults().Injected(GetParam().Routine), 1u);
    /* The failure is reported where DriverEntry meets it. */
    char Expected[32];
    snprintf(Expected, sizeof(Expected), "Zentaflt: 0x%x\n", (ULONG)GetParam().Status);
    EXPECT_NE(System->KernelDebugger().OutputText().find(Expected), std::string::npos);
    /* TearDown checks that nothing is left. */
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailedStart,
    ::testing::Values(StartFailure{"ExInitializeResourceLite", STATUS_INSUFFICIENT_RESOURCES},
                      StartFailure{"FltRegisterFilter", STATUS_INSUFFICIENT_RESOURCES},
                      StartFailure{"FltRegisterFilter", STATUS_FLT_NOT_INITIALIZED},
                      StartFailure{"FltCreateCommunicationPort", STATUS_OBJECT_NAME_COLLISION},
                      StartFailure{"FltStartFiltering", STATUS_INSUFFICIENT_RESOURCES},
                      StartFailure{"RtlCreateAcl", STATUS_INVALID_PARAMETER},
                      StartFailure{"RtlAddAccessAllowedAce", STATUS_ALLOTTED_SPACE_EXCEEDED},
                      StartFailure{"RtlCreateSecurityDescriptor", STATUS_UNKNOWN_REVISION},
                      StartFailure{"RtlSetDaclSecurityDescriptor", STATUS_INVALID_SECURITY_DESCR}));

TEST_F(FilterTest, PortCreationFailureIsReportedTwiceDescriptorFailureOnce)
{
    /* CreateServerPort reports the port's failure and DriverEntry reports it
       again; a descriptor failure is left to DriverEntry alone. */
    System->Faults().Arm("FltCreateCommunicationPort", STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(System->KernelDebugger().Output().size(), 2u);

    System->KernelDebugger().Clear();
    System->Faults().Arm("RtlCreateAcl", STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(System->KernelDebugger().Output().size(), 1u);
}

TEST_F(FilterTest, SecondPortWithTheSameNameCollides)
{
    /* A stale port of the same name (another filter's, here one made by hand
       after load) makes a second load fail with the collision status. */
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PFLT_PORT Saved = FilterGlobals.ServerPort;
    FilterGlobals.ServerPort = NULL;
    EXPECT_EQ(CreateServerPort(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(FilterGlobals.ServerPort, nullptr);
    FilterGlobals.ServerPort = Saved;
}

TEST_F(FilterTest, UnloadIsNeverRefused)
{
    PFLT_VOLUME Volume = System->Mount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);
    EXPECT_FALSE(System->DriverLoaded());
    EXPECT_FALSE(System->IsAttached(Volume));
    ExpectNothingLeft();

    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(System->UnloadDriver(FLTFL_FILTER_UNLOAD_MANDATORY), STATUS_SUCCESS);
    EXPECT_FALSE(System->DriverLoaded());
}

TEST_F(FilterTest, ReloadAfterUnloadWorks)
{
    PFLT_VOLUME Volume = System->Mount();
    for (int Round = 0; Round < 3; Round += 1) {
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        EXPECT_TRUE(System->IsAttached(Volume));
        ASSERT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);
        ExpectNothingLeft();
    }
}

/* The fixture's check is what makes "nothing leaks" mean something: a test
   that keeps a reference must fail. */
TEST_F(FilterTest, FixtureCatchesALeakedContextReference)
{
    PFLT_VOLUME Volume = System->Mount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    PINSTANCE_CONTEXT Leaked = InstanceContextOn(Volume);
    ASSERT_NE(Leaked, nullptr);
    ASSERT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);

    EXPECT_NONFATAL_FAILURE(ExpectNothingLeft(), "instance context, tag 'zKIC'");

    FltReleaseContext(Leaked);
    ExpectNothingLeft();
}

TEST_F(FilterTest, FixtureCatchesLeakedPool)
{
    PVOID Block = ExAllocatePoolWithTag(PagedPool, 10, ZK_POOL_TAG('t', 'E', 's', 't'));
    ASSERT_NE(Block, nullptr);
    EXPECT_NONFATAL_FAILURE(ExpectNothingLeft(), "pool tag 'tEst': 1 block(s), 10 bytes outstanding");
    ExFreePoolWithTag(Block, ZK_POOL_TAG('t', 'E', 's', 't'));
}

}  // namespace
