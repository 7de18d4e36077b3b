/*
 * Volume attachment: NTFS only, with the volume's path in the instance
 * context; every failure of setup refuses the volume.
 */
#include "Harness.h"

using namespace zentaflt_test;

namespace {

class VolumeTypes : public FilterTest, public ::testing::WithParamInterface<FLT_FILESYSTEM_TYPE> {};

TEST_P(VolumeTypes, OnlyNtfsIsAttached)
{
    emu::VolumeOptions Options;
    Options.FileSystem = GetParam();
    PFLT_VOLUME Volume = System->Mount(Options);
    ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);

    if (GetParam() == FLT_FSTYPE_NTFS) {
        EXPECT_TRUE(System->IsAttached(Volume));
        EXPECT_EQ(System->SetupStatusOn(Volume), STATUS_SUCCESS);
    } else {
        EXPECT_FALSE(System->IsAttached(Volume));
        EXPECT_EQ(System->SetupStatusOn(Volume), STATUS_FLT_DO_NOT_ATTACH);
        EXPECT_EQ((ULONG)System->SetupStatusOn(Volume), 0xC01C000Fu);
    }
    /* Refusing a foreign file system is not a failure worth reporting. */
    EXPECT_EQ(System->KernelDebugger().OutputText(), "");
}

INSTANTIATE_TEST_SUITE_P(FileSystems, VolumeTypes,
                         ::testing::Values(FLT_FSTYPE_NTFS, FLT_FSTYPE_FAT, FLT_FSTYPE_EXFAT, FLT_FSTYPE_REFS,
                                           FLT_FSTYPE_LANMAN, FLT_FSTYPE_MUP, FLT_FSTYPE_RAW));

TEST_F(FilterTest, VolumePathIsTheGuidPathWithATrailingBackslash)
{
    emu::VolumeOptions Options;
    Options.GuidName = u"\\??\\Volume{0d5ba6a0-62a4-11ef-a1b2-806e6f6e6963}";
    PFLT_VOLUME Volume = System->Mount(Options);
    ASSERT_EQ(Load(), STATUS_SUCCESS);

    PINSTANCE_CONTEXT Context = InstanceContextOn(Volume);
    ASSERT_NE(Context, nullptr);
    EXPECT_EQ(Context->Instance, System->InstanceOn(Volume));
    EXPECT_EQ(Context->Volume, Volume);
    EXPECT_EQ(Narrow(Context->VolumeGuidName), "\\??\\Volume{0d5ba6a0-62a4-11ef-a1b2-806e6f6e6963}");
    EXPECT_EQ(Context->VolumeGuidName.Length, 96);
    EXPECT_EQ(Context->VolumeGuidName.MaximumLength, 96);
    EXPECT_EQ(Narrow(Context->VolumePath), "\\\\?\\Volume{0d5ba6a0-62a4-11ef-a1b2-806e6f6e6963}\\");
    EXPECT_EQ(Context->VolumePath.Length, 98);
    EXPECT_EQ(Context->VolumePath.MaximumLength, 98);
    EXPECT_EQ(Context->VolumeGuidName.Buffer, Context->VolumeGuidNameBuffer);
    EXPECT_EQ(Context->VolumePath.Buffer, Context->VolumePathBuffer);
    FltReleaseContext(Context);
}

TEST_F(FilterTest, EveryNtfsVolumeGetsItsOwnPath)
{
    PFLT_VOLUME First = System->Mount();
    System->Mount(emu::VolumeOptions{FLT_FSTYPE_FAT});
    PFLT_VOLUME Second = System->Mount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    /* A volume mounted while filtering is offered as newly mounted. */
    PFLT_VOLUME Third = System->Mount();

    std::set<std::string> Paths;
    for (PFLT_VOLUME Volume : {First, Second, Third}) {
        PINSTANCE_CONTEXT Context = InstanceContextOn(Volume);
        ASSERT_NE(Context, nullptr);
        Paths.insert(Narrow(Context->VolumePath));
        EXPECT_EQ(Narrow(Context->VolumePath).substr(2), Narrow(Volume->GuidName).substr(2) + "\\");
        FltReleaseContext(Context);
    }
    EXPECT_EQ(Paths.size(), 3u);
}

TEST_F(FilterTest, GuidNameTooLongForTheContextRefusesTheVolume)
{
    emu::VolumeOptions Options;
    Options.GuidName = u"\\??\\Volume{0d5ba6a0-62a4-11ef-a1b2-806e6f6e6963}X";  // 98 bytes
    PFLT_VOLUME Volume = System->Mount(Options);
    ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);

    EXPECT_FALSE(System->IsAttached(Volume));
    EXPECT_EQ(System->SetupStatusOn(Volume), STATUS_FLT_DO_NOT_ATTACH);
    /* Reported once in BuildVolumePath and once by InstanceSetup. */
    EXPECT_EQ(System->KernelDebugger().OutputText(), "Zentaflt: 0xc0000023\nZentaflt: 0xc0000023\n");
    for (const auto &Line : System->KernelDebugger().Output()) {
        EXPECT_EQ(Line.ComponentId, 93u);
        EXPECT_EQ(Line.Level, 0u);
    }
}

struct SetupFailure {
    const char *Routine;
    NTSTATUS Status;
    size_t TimesReported;
};

class FailedSetup : public FilterTest, public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(FailedSetup, RefusesTheVolumeAndFreesTheContext)
{
    PFLT_VOLUME Refused = System->Mount();
    System->Faults().Arm(GetParam().Routine, GetParam().Status);
    ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);

    EXPECT_FALSE(System->IsAttached(Refused));
    EXPECT_EQ(System->SetupStatusOn(Refused), STATUS_FLT_DO_NOT_ATTACH);
    EXPECT_EQ(System->Accounting().LiveCount("context"), 0u);
    EXPECT_EQ(System->KernelDebugger().Output().size(), GetParam().TimesReported);
    char Expected[32];
    snprintf(Expected, sizeof(Expected), "Zentaflt: 0x%x\n", (ULONG)GetParam().Status);
    EXPECT_EQ(System->KernelDebugger().Output()[0].Text, Expected);

    /* The next volume is attached normally. */
    PFLT_VOLUME Accepted = System->Mount();
    EXPECT_TRUE(System->IsAttached(Accepted));
}

INSTANTIATE_TEST_SUITE_P(EachStep, FailedSetup,
                         ::testing::Values(SetupFailure{"FltAllocateContext", STATUS_INSUFFICIENT_RESOURCES, 1},
                                           SetupFailure{"FltGetVolumeGuidName", STATUS_INVALID_DEVICE_REQUEST, 2},
                                           SetupFailure{"FltSetInstanceContext", STATUS_FLT_DELETING_OBJECT, 1}));

TEST_F(FilterTest, ManualDetachIsAllowedAndFreesTheContext)
{
    PFLT_VOLUME Volume = System->Mount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(System->Accounting().LiveCount("context"), 1u);

    EXPECT_EQ(System->Detach(Volume), STATUS_SUCCESS);
    EXPECT_FALSE(System->IsAttached(Volume));
    EXPECT_EQ(System->Accounting().LiveCount("context"), 0u);
}

TEST_F(FilterTest, DismountTearsTheInstanceDown)
{
    PFLT_VOLUME Volume = System->Mount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    System->Dismount(Volume);
    EXPECT_FALSE(System->IsAttached(Volume));
    EXPECT_EQ(System->Accounting().LiveCount("context"), 0u);
}

}  // namespace
