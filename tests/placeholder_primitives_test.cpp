/*
 * The placeholder primitives on the emulated NTFS, through the filter's own
 * instance: reading back reparse data, the placeholder attributes and the
 * sparse mark, end of file and size, USN source marking and close records,
 * and the atomic-create parameter.
 */
#include "PlaceholderFixture.h"

using namespace zentaflt_test;

namespace {

/* ------------------------------------------------------------------------
 * The on-disk constants.
 * ---------------------------------------------------------------------- */

TEST(PlaceholderConstants, GuidsAreLaidOutLittleEndian)
{
    const UCHAR Placeholder[16] = {0x3C, 0x4C, 0x33, 0x7C, 0x03, 0x0C, 0x59, 0x46,
                                   0x93, 0xD8, 0xEB, 0xCF, 0x62, 0x7B, 0xC3, 0xF1};
    const UCHAR AtomicCreate[16] = {0x83, 0xBD, 0x20, 0x47, 0xAC, 0x52, 0x04, 0x41,
                                    0xA1, 0x30, 0xD1, 0xEC, 0x6A, 0x8C, 0xC8, 0xE5};
    EXPECT_EQ(memcmp(&PlaceholderReparseGuid, Placeholder, 16), 0);
    EXPECT_EQ(memcmp(&GUID_ECP_ATOMIC_CREATE, AtomicCreate, 16), 0);
    EXPECT_FALSE(IsReparseTagMicrosoft(PlaceholderReparseTag));
    EXPECT_TRUE(IsReparseTagNameSurrogate(PlaceholderReparseTag));
}

/* ------------------------------------------------------------------------
 * Reparse data.
 * ---------------------------------------------------------------------- */

class ReparseData : public PlaceholderTest {
protected:
    /* Reads the target's reparse data and checks it against Expected, then
       frees it; the buffer must be the only one outstanding meanwhile. */
    void ExpectReadBack(const std::vector<UCHAR> &Expected)
    {
        PVOID Data = NULL;
        ULONG Length = 0xDEADBEEF;
        ASSERT_EQ(GetPlaceholderReparseData(Instance, Target.File, &Data, &Length), STATUS_SUCCESS);
        ASSERT_NE(Data, nullptr);
        ASSERT_EQ(Length, Expected.size());
        EXPECT_EQ(std::vector<UCHAR>((PUCHAR)Data, (PUCHAR)Data + Length), Expected);

        /* One 1048-byte paged buffer; the pointer is 24 bytes into it, just
           past the header that names the tag and GUID. */
        emu::PoolTagUsage Pool = PoolOf(PoolTagReparseData);
        EXPECT_EQ(Pool.OutstandingBlocks, 1u);
        EXPECT_EQ(Pool.OutstandingBytes, 1048u);
        EXPECT_TRUE(Pool.TypesUsed.count(PagedPool));
        auto Header = (PREPARSE_GUID_DATA_BUFFER)((PUCHAR)Data - 24);
        EXPECT_EQ(Header->ReparseTag, PlaceholderReparseTag);
        EXPECT_EQ(Header->ReparseDataLength, Expected.size());
        EXPECT_EQ(memcmp(&Header->ReparseGuid, &PlaceholderReparseGuid, sizeof(GUID)), 0);

        FreePlaceholderReparseData(Data);
        EXPECT_EQ(PoolOf(PoolTagReparseData).OutstandingBlocks, 0u);
    }
};

TEST_F(ReparseData, HundredBytesReadBackAsHundred)
{
    std::vector<UCHAR> Data = Pattern(100, 7);
    ASSERT_EQ(TagAsPlaceholder(Target.File, Data), STATUS_SUCCESS);
    ExpectReadBack(Data);
    EXPECT_EQ(Reported(), "");
}

TEST_F(ReparseData, EmptyAndFullDataReadBack)
{
    ASSERT_EQ(TagAsPlaceholder(Target.File, {}), STATUS_SUCCESS);
    ExpectReadBack({});

    /* The same reparse point rewritten with the most data that fits. */
    std::vector<UCHAR> Full = Pattern(1024, 3);
    ASSERT_EQ(TagAsPlaceholder(Target.File, Full), STATUS_SUCCESS);
    ExpectReadBack(Full);
}

TEST_F(ReparseData, NoReparsePointIsNotAReparsePointAndFreesTheBuffer)
{
    PVOID Data = (PVOID)0x1;
    ULONG Length = 77;
    EXPECT_EQ(GetPlaceholderReparseData(Instance, Target.File, &Data, &Length), STATUS_NOT_A_REPARSE_POINT);
    EXPECT_EQ((ULONG)STATUS_NOT_A_REPARSE_POINT, 0xC0000275u);
    EXPECT_EQ(Data, nullptr);
    EXPECT_EQ(Length, 0u);

    /* The buffer was taken and given back; the caller reports, not the
       primitive. */
    emu::PoolTagUsage Pool = PoolOf(PoolTagReparseData);
    EXPECT_EQ(Pool.Allocations, 1u);
    EXPECT_EQ(Pool.OutstandingBlocks, 0u);
    EXPECT_EQ(Reported(), "");
}

TEST_F(ReparseData, MoreThan1024BytesFailsAndFreesTheBuffer)
{
    ASSERT_EQ(TagAsPlaceholder(Target.File, Pattern(1025)), STATUS_SUCCESS);

    PVOID Data = (PVOID)0x1;
    ULONG Length = 77;
    NTSTATUS Status = GetPlaceholderReparseData(Instance, Target.File, &Data, &Length);
    EXPECT_FALSE(NT_SUCCESS(Status));
    EXPECT_EQ(Status, STATUS_BUFFER_OVERFLOW);  // what NTFS answers for data that does not fit
    EXPECT_EQ(Data, nullptr);
    EXPECT_EQ(Length, 0u);
    EXPECT_EQ(PoolOf(PoolTagReparseData).Allocations, 1u);
    EXPECT_EQ(PoolOf(PoolTagReparseData).OutstandingBlocks, 0u);
    EXPECT_EQ(Reported(), "");
}

TEST_F(ReparseData, NoPoolIsReported)
{
    ASSERT_EQ(TagAsPlaceholder(Target.File, Pattern(10)), STATUS_SUCCESS);
    System->Faults().Arm("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);

    PVOID Data = (PVOID)0x1;
    ULONG Length = 77;
    EXPECT_EQ(GetPlaceholderReparseData(Instance, Target.File, &Data, &Length), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Data, nullptr);
    EXPECT_EQ(Length, 0u);
    EXPECT_EQ(PoolOf(PoolTagReparseData).Allocations, 0u);
    EXPECT_EQ(Reported(), "Zentaflt: 0xc000009a\n");
}

/* A reparse point of a Microsoft tag has an 8-byte header: with fewer than
   16 bytes of data it comes back shorter than the 24-byte header the
   filter strips.  The length must never go past the bytes read. */
class ShortReparsePoint : public ReparseData, public ::testing::WithParamInterface<size_t> {};

TEST_P(ShortReparsePoint, NeverYieldsMoreThanTheBytesRead)
{
    size_t DataLength = GetParam();
    std::vector<UCHAR> Written = Pattern(DataLength, 0x40);
    ASSERT_EQ(FltTagFile(Instance, Target.File, IO_REPARSE_TAG_DEDUP, NULL, Written.data(), (USHORT)DataLength),
              STATUS_SUCCESS);

    PVOID Data = NULL;
    ULONG Length = 0xDEADBEEF;
    ASSERT_EQ(GetPlaceholderReparseData(Instance, Target.File, &Data, &Length), STATUS_SUCCESS);
    ASSERT_NE(Data, nullptr);

    /* NTFS returns 8 + DataLength bytes; what lies past byte 24 of them is
       the data from its 17th byte on, and nothing when there is none. */
    size_t Returned = 8 + DataLength;
    size_t Expected = Returned > 24 ? Returned - 24 : 0;
    EXPECT_EQ(Length, Expected);
    if (Expected > 0) {
        EXPECT_EQ(memcmp(Data, Written.data() + 16, Expected), 0);
    }
    FreePlaceholderReparseData(Data);
    EXPECT_EQ(PoolOf(PoolTagReparseData).OutstandingBlocks, 0u);
    EXPECT_EQ(Reported(), "");
}

INSTANTIATE_TEST_SUITE_P(MicrosoftTag, ShortReparsePoint, ::testing::Values(0, 1, 4, 15, 16, 17, 40));

/* ------------------------------------------------------------------------
 * Placeholder attributes and the sparse mark.
 * ---------------------------------------------------------------------- */

class Attributes : public PlaceholderTest {
protected:
    void ExpectSameTimes(const FILE_BASIC_INFORMATION &Now, const FILE_BASIC_INFORMATION &Before)
    {
        EXPECT_EQ(Now.CreationTime.QuadPart, Before.CreationTime.QuadPart);
        EXPECT_EQ(Now.LastAccessTime.QuadPart, Before.LastAccessTime.QuadPart);
        EXPECT_EQ(Now.LastWriteTime.QuadPart, Before.LastWriteTime.QuadPart);
        EXPECT_EQ(Now.ChangeTime.QuadPart, Before.ChangeTime.QuadPart);
    }

    static constexpr LONGLONG Second = 10000000;
    static constexpr ULONG Own = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                 FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
};

TEST_F(Attributes, SetKeepsTheTimesAndEveryOtherAttributeAndMarksSparse)
{
    Write(Target, 0, 3 * 4096, 0x11);
    SetAttributes(Target.File, Own);
    System->SystemClock().Advance(5 * Second);
    FILE_BASIC_INFORMATION Before = Basic(Target.File);
    ASSERT_EQ(Before.FileAttributes, Own);

    System->SystemClock().Advance(5 * Second);
    SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandCreate);

    FILE_BASIC_INFORMATION After = Basic(Target.File);
    ExpectSameTimes(After, Before);
    EXPECT_EQ(After.FileAttributes, Own | 0x501200u);
    EXPECT_EQ(Reported(), "");

    /* The times stay put for later changes through the same file object. */
    System->SystemClock().Advance(5 * Second);
    ASSERT_EQ(SetEndOfFile(Instance, Target.File, 100ULL), STATUS_SUCCESS);
    ExpectSameTimes(Basic(Target.File), Before);
}

TEST_F(Attributes, ClearRemovesExactlyThePlaceholderBitsAndTheSparseMark)
{
    SetAttributes(Target.File, Own);
    ASSERT_EQ(TagAsPlaceholder(Target.File, Pattern(12)), STATUS_SUCCESS);
    SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandCreate);
    System->SystemClock().Advance(5 * Second);
    FILE_BASIC_INFORMATION Before = Basic(Target.File);
    ASSERT_EQ(Before.FileAttributes, Own | FILE_ATTRIBUTE_REPARSE_POINT | 0x501200u);

    System->SystemClock().Advance(5 * Second);
    SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandUpdate);

    FILE_BASIC_INFORMATION After = Basic(Target.File);
    ExpectSameTimes(After, Before);
    EXPECT_EQ(After.FileAttributes, Own | FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(Reported(), "");
}

TEST_F(Attributes, EveryModeButCreateClears)
{
    for (ULONG Mode : {(ULONG)PlaceholderCommandUpdate, (ULONG)PlaceholderCommandConvert, 0u, 2327u}) {
        SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandCreate);
        ASSERT_EQ(Basic(Target.File).FileAttributes & 0x501200u, 0x501200u);
        SetPlaceholderAttributes(Instance, Target.File, Mode);
        EXPECT_EQ(Basic(Target.File).FileAttributes & 0x501200u, 0u) << "mode " << Mode;
    }
}

TEST_F(Attributes, ClearOnAFileWithNoOtherAttributeLeavesNone)
{
    /* FILE_ATTRIBUTE_NORMAL alone clears every attribute. */
    SetAttributes(Target.File, FILE_ATTRIBUTE_NORMAL);
    SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandCreate);
    ASSERT_EQ(Basic(Target.File).FileAttributes, 0x501200u);

    SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandUpdate);
    EXPECT_EQ(Basic(Target.File).FileAttributes & ~(ULONG)FILE_ATTRIBUTE_NORMAL, 0u);
}

struct AttributeFailure {
    const char *Routine;
    ULONG AttributesAfter;  // besides the file's own
};

void PrintTo(const AttributeFailure &Failure, std::ostream *Out)
{
    *Out << Failure.Routine;
}

class AttributeFailures : public Attributes, public ::testing::WithParamInterface<AttributeFailure> {};

TEST_P(AttributeFailures, AFailingStepIsReportedAndEndsTheOperation)
{
    SetAttributes(Target.File, Own);
    System->Faults().Arm(GetParam().Routine, STATUS_ACCESS_DENIED);

    SetPlaceholderAttributes(Instance, Target.File, PlaceholderCommandCreate);

    EXPECT_EQ(System->Faults().Injected(GetParam().Routine), 1u);
    EXPECT_EQ(Basic(Target.File).FileAttributes, Own | GetParam().AttributesAfter);
    EXPECT_EQ(Reported(), "Zentaflt: 0xc0000022\n");
}

INSTANTIATE_TEST_SUITE_P(
    Steps, AttributeFailures,
    ::testing::Values(AttributeFailure{"FltQueryInformationFile", 0},
                      AttributeFailure{"FltSetInformationFile", 0},
                      /* The attributes are set; the sparse mark is not. */
                      AttributeFailure{"FltFsControlFile", FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_UNPINNED |
                                                               FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS}),
    [](const ::testing::TestParamInfo<AttributeFailure> &Info) { return std::string(Info.param.Routine); });

/* ------------------------------------------------------------------------
 * End of file and size.
 * ---------------------------------------------------------------------- */

using EndOfFile = PlaceholderTest;

TEST_F(EndOfFile, TheCurrentSizeChangesNothing)
{
    Write(Target, 0, 10000, 0x22);
    LONGLONG Size = -1;
    ASSERT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_SUCCESS);
    ASSERT_EQ(Size, 10000);
    size_t Records = emu::ReadUsnJournal(Volume).size();
    FILE_BASIC_INFORMATION Before = Basic(Target.File);
    System->SystemClock().Advance(10000000);

    EXPECT_EQ(SetEndOfFile(Instance, Target.File, 10000ULL), STATUS_SUCCESS);

    ASSERT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_SUCCESS);
    EXPECT_EQ(Size, 10000);
    EXPECT_EQ(emu::ReadUsnJournal(Volume).size(), Records);
    FILE_BASIC_INFORMATION After = Basic(Target.File);
    EXPECT_EQ(After.LastWriteTime.QuadPart, Before.LastWriteTime.QuadPart);
    EXPECT_EQ(After.ChangeTime.QuadPart, Before.ChangeTime.QuadPart);
    EXPECT_EQ(After.FileAttributes, Before.FileAttributes);
}

TEST_F(EndOfFile, GrowsAndTrims)
{
    LONGLONG Size = -1;
    ASSERT_EQ(SetEndOfFile(Instance, Target.File, 5000ULL), STATUS_SUCCESS);
    ASSERT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_SUCCESS);
    EXPECT_EQ(Size, 5000);
    ASSERT_EQ(SetEndOfFile(Instance, Target.File, 100ULL), STATUS_SUCCESS);
    ASSERT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_SUCCESS);
    EXPECT_EQ(Size, 100);
}

TEST_F(EndOfFile, FailuresAreReturnedNotReported)
{
    System->Faults().Arm("FltSetInformationFile", STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetEndOfFile(Instance, Target.File, 5000ULL), STATUS_ACCESS_DENIED);

    System->Faults().Arm("FltQueryInformationFile", STATUS_FILE_CLOSED);
    LONGLONG Size = 1234;
    EXPECT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_FILE_CLOSED);
    EXPECT_EQ(Size, 1234);  // not written

    EXPECT_EQ(Reported(), "");
    System->Faults().Clear();
    ASSERT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_SUCCESS);
    EXPECT_EQ(Size, 0);
}

/* The filter's SetEndOfFile overloads the Win32 routine of the same name:
   both are called here, from one translation unit. */
TEST_F(EndOfFile, OverloadsTheWin32Routine)
{
    {
        emu::ProcessScope InProgram(Program);
        LARGE_INTEGER Distance;
        Distance.QuadPart = 4096;
        ASSERT_TRUE(SetFilePointerEx(Target.Handle, Distance, NULL, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(Target.Handle));
    }
    LONGLONG Size = -1;
    ASSERT_EQ(QueryFileSize(Instance, Target.File, &Size), STATUS_SUCCESS);
    EXPECT_EQ(Size, 4096);

    EXPECT_EQ(SetEndOfFile(Instance, Target.File, 8192ULL), STATUS_SUCCESS);
    emu::ProcessScope InProgram(Program);
    LARGE_INTEGER SizeSeen = {};
    ASSERT_TRUE(GetFileSizeEx(Target.Handle, &SizeSeen));
    EXPECT_EQ(SizeSeen.QuadPart, 8192);
}

/* ------------------------------------------------------------------------
 * USN source information and close records.
 * ---------------------------------------------------------------------- */

using UsnJournal = PlaceholderTest;

TEST_F(UsnJournal, ChangesOfAMarkedFileObjectCarrySourceEightAndEndWithACloseRecord)
{
    /* Another file object of the same file stays unmarked. */
    ProgramFile Other = Open(L"C:\\file.bin");
    MarkHandleForReplication(Instance, Target.File);

    ASSERT_EQ(TagAsPlaceholder(Target.File, Pattern(8)), STATUS_SUCCESS);
    auto Journal = emu::ReadUsnJournal(Volume);
    ASSERT_FALSE(Journal.empty());
    EXPECT_TRUE(Journal.back().Reason & USN_REASON_REPARSE_POINT_CHANGE);
    EXPECT_EQ(Journal.back().SourceInfo, 8u);

    WriteUsnCloseRecord(Instance, Target.File);
    Journal = emu::ReadUsnJournal(Volume);
    EXPECT_TRUE(Journal.back().Reason & USN_REASON_CLOSE);
    EXPECT_EQ(Journal.back().SourceInfo, 8u);
    EXPECT_EQ(Narrow(Journal.back().FileName), "file.bin");

    /* A change through the unmarked file object starts a record of its
       own, without source information. */
    ASSERT_EQ(SetEndOfFile(Instance, Other.File, 4096ULL), STATUS_SUCCESS);
    Journal = emu::ReadUsnJournal(Volume);
    EXPECT_FALSE(Journal.back().Reason & USN_REASON_CLOSE);
    EXPECT_EQ(Journal.back().SourceInfo, 0u);
    EXPECT_EQ(Reported(), "");
}

TEST_F(UsnJournal, FailuresAreReportedAndIgnored)
{
    System->Faults().Arm("FltFsControlFile", STATUS_INVALID_DEVICE_REQUEST);
    MarkHandleForReplication(Instance, Target.File);
    EXPECT_EQ(Reported(), "Zentaflt: 0xc0000010\n");

    /* The mark did not happen: changes carry no source information. */
    ASSERT_EQ(TagAsPlaceholder(Target.File, Pattern(8)), STATUS_SUCCESS);
    EXPECT_EQ(emu::ReadUsnJournal(Volume).back().SourceInfo, 0u);

    size_t Records = emu::ReadUsnJournal(Volume).size();
    System->Faults().Arm("FltFsControlFile", STATUS_FILE_CLOSED);
    WriteUsnCloseRecord(Instance, Target.File);
    EXPECT_EQ(emu::ReadUsnJournal(Volume).size(), Records);
    EXPECT_EQ(Reported(), "Zentaflt: 0xc0000010\nZentaflt: 0xc0000128\n");
}

/* ------------------------------------------------------------------------
 * The atomic-create parameter.
 * ---------------------------------------------------------------------- */

using AtomicCreateEcp = PlaceholderTest;

TEST_F(AtomicCreateEcp, OneContextOfTheAtomicCreateTypeInANewList)
{
    PECP_LIST List = NULL;
    PATOMIC_CREATE_ECP_CONTEXT Context = NULL;
    ASSERT_EQ(BuildAtomicCreateEcp(&List, &Context), STATUS_SUCCESS);
    ASSERT_NE(List, nullptr);
    ASSERT_NE(Context, nullptr);

    PVOID Found = NULL;
    ULONG Size = 0;
    ASSERT_EQ(FltFindExtraCreateParameter(System->Filter(), List, &GUID_ECP_ATOMIC_CREATE, &Found, &Size),
              STATUS_SUCCESS);
    EXPECT_EQ(Found, Context);
    EXPECT_EQ(Size, 88u);
    emu::PoolTagUsage Pool = PoolOf(PoolTagCreateParameters);
    EXPECT_EQ(Pool.OutstandingBlocks, 1u);
    EXPECT_TRUE(Pool.TypesUsed.count(PagedPool));

    /* The caller fills the context; the list frees it. */
    RtlZeroMemory(Context, sizeof(*Context));
    Context->Size = sizeof(*Context);
    FltFreeExtraCreateParameterList(System->Filter(), List);
    EXPECT_EQ(PoolOf(PoolTagCreateParameters).OutstandingBlocks, 0u);
    EXPECT_EQ(Live("ECP list"), 0u);
    EXPECT_EQ(Live("ECP context"), 0u);
    EXPECT_EQ(Reported(), "");
}

class AtomicCreateEcpFailures : public PlaceholderTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(AtomicCreateEcpFailures, LeaveNothingBehind)
{
    System->Faults().Arm(GetParam(), STATUS_INSUFFICIENT_RESOURCES);

    PECP_LIST List = (PECP_LIST)0x1;
    PATOMIC_CREATE_ECP_CONTEXT Context = (PATOMIC_CREATE_ECP_CONTEXT)0x1;
    EXPECT_EQ(BuildAtomicCreateEcp(&List, &Context), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(System->Faults().Injected(GetParam()), 1u);
    EXPECT_EQ(List, nullptr);
    EXPECT_EQ(Context, nullptr);
    EXPECT_EQ(Live("ECP list"), 0u);
    EXPECT_EQ(Live("ECP context"), 0u);
    EXPECT_EQ(PoolOf(PoolTagCreateParameters).OutstandingBlocks, 0u);
    EXPECT_EQ(Reported(), "Zentaflt: 0xc000009a\n");
}

INSTANTIATE_TEST_SUITE_P(EachStep, AtomicCreateEcpFailures,
                         ::testing::Values("FltAllocateExtraCreateParameter", "FltAllocateExtraCreateParameterList",
                                           "FltInsertExtraCreateParameter"),
                         [](const ::testing::TestParamInfo<const char *> &Info) { return std::string(Info.param); });

}  // namespace
