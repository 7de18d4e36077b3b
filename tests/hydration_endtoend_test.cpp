/*
 * A program reads a placeholder in a connected sync root; the filter holds
 * the read, the service sends the data in aligned pieces and completes; the
 * read returns the file's bytes and the file is a full file from then on.
 */
#include "HydrationFixture.h"

using namespace zentaflt_test;

namespace {

class EndToEnd : public HydrationTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(EndToEnd, FirstReadReturnsTheBytesAndLeavesAFullFile)
{
    const size_t Size = GetParam();
    const std::vector<unsigned char> Expected = Content(Size);
    MakePlaceholder(L"C:\\Sync\\file.bin", Expected, {9, 8, 7});
    size_t JournalBefore = emu::ReadUsnJournal(Volume).size();

    HANDLE File = OpenInProgram(L"C:\\Sync\\file.bin", GENERIC_READ);
    ASSERT_NE(ContextOf(File), nullptr);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateNew);

    NTSTATUS Status = STATUS_PENDING;
    std::vector<unsigned char> Read = ReadAt(File, 0, Size + 100, &Status);
    EXPECT_EQ(Status, STATUS_SUCCESS);
    EXPECT_EQ(Read, Expected);

    /* One message, with the file's path, size, reparse data, first id 0 and
       the reading thread's ids. */
    std::vector<HydrateSeen> Messages = Service->Messages();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Path, u"\\Sync\\file.bin");
    EXPECT_EQ(Messages[0].FileSize, (LONGLONG)Size);
    EXPECT_EQ(Messages[0].RequestId, 0u);
    EXPECT_EQ(Messages[0].ReparseData, (std::vector<unsigned char>{9, 8, 7}));
    {
        emu::ProcessScope InProgram(Program);
        EXPECT_EQ(Messages[0].ProcessId, (ULONG)(ULONG_PTR)PsGetCurrentProcessId());
    }

    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
    FileFacts After = Facts(L"C:\\Sync\\file.bin");
    EXPECT_FALSE(After.ReparsePoint);
    EXPECT_EQ(After.Attributes & (PlaceholderAttributes | FILE_ATTRIBUTE_REPARSE_POINT), 0u);
    EXPECT_EQ(After.Size, (LONGLONG)Size);
    EXPECT_EQ(After.Data, Expected);

    /* The last change ends with a close record. */
    auto Journal = emu::ReadUsnJournal(Volume);
    ASSERT_GT(Journal.size(), JournalBefore);
    EXPECT_TRUE(Journal.back().Reason & USN_REASON_CLOSE);

    /* A second read sends nothing and returns the same bytes. */
    if (Size != 0) {
        EXPECT_EQ(ReadAt(File, 0, Size), Expected);
    }
    EXPECT_EQ(Service->MessageCount(), 1u);

    /* So does a new open: the stream keeps its hydrated context. */
    HANDLE Again = OpenInProgram(L"C:\\Sync\\file.bin", GENERIC_READ);
    if (Size != 0) {
        EXPECT_EQ(ReadAt(Again, 0, Size), Expected);
    }
    EXPECT_EQ(Service->MessageCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EndToEnd,
                         ::testing::Values(0, 1, 4095, 4096, 4097, 10000, 3 * 1024 * 1024 + 123));

TEST_F(HydrationTest, SmallPiecesOfOnePageFillAFileExactly)
{
    Service->PieceSize = 4096;
    const std::vector<unsigned char> Expected = Content(5 * 4096 + 17, 3);
    MakePlaceholder(L"C:\\Sync\\pieces.bin", Expected);
    HANDLE File = OpenInProgram(L"C:\\Sync\\pieces.bin", GENERIC_READ);
    EXPECT_EQ(ReadAt(File, 4096, 10), std::vector<unsigned char>(Expected.begin() + 4096, Expected.begin() + 4106));
    EXPECT_EQ(Facts(L"C:\\Sync\\pieces.bin").Data, Expected);
}

TEST_F(HydrationTest, AWriteThatHydratedAFileLetsLaterWritesMoveItsTimes)
{
    MakePlaceholder(L"C:\\Sync\\times.bin", Content(6000));
    HANDLE File = OpenInProgram(L"C:\\Sync\\times.bin");
    ASSERT_EQ(WriteAt(File, 10, {1, 2, 3}), STATUS_SUCCESS);
    ASSERT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
    FILE_BASIC_INFORMATION Before = Facts(L"C:\\Sync\\times.bin").Basic;

    System->SystemClock().Advance(10000000);
    ASSERT_EQ(WriteAt(File, 20, {4, 5, 6}), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION After = Facts(L"C:\\Sync\\times.bin").Basic;
    EXPECT_GT(After.LastWriteTime.QuadPart, Before.LastWriteTime.QuadPart);
    EXPECT_GT(After.ChangeTime.QuadPart, Before.ChangeTime.QuadPart);

    std::vector<unsigned char> Expected = Content(6000);
    Expected[10] = 1, Expected[11] = 2, Expected[12] = 3, Expected[20] = 4, Expected[21] = 5, Expected[22] = 6;
    EXPECT_EQ(Facts(L"C:\\Sync\\times.bin").Data, Expected);
    EXPECT_EQ(Service->MessageCount(), 1u);
}

TEST_F(HydrationTest, PlaceholderOutsideEverySyncRootFailsItsReads)
{
    MakePlaceholder(L"C:\\Outside\\lost.bin", Content(100));
    HANDLE File = OpenInProgram(L"C:\\Outside\\lost.bin", GENERIC_READ);
    NTSTATUS Status = STATUS_SUCCESS;
    ReadAt(File, 0, 100, &Status);
    EXPECT_EQ(Status, STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    EXPECT_EQ(Service->MessageCount(), 0u);
    EXPECT_TRUE(Facts(L"C:\\Outside\\lost.bin").ReparsePoint);
}

TEST_F(HydrationTest, AStreamThatLostItsReparsePointIsHydratedWithoutAMessage)
{
    MakePlaceholder(L"C:\\Sync\\untagged.bin", Content(100));
    HANDLE File = OpenInProgram(L"C:\\Sync\\untagged.bin");
    {
        emu::ProcessScope InProgram(Program);
        PFILE_OBJECT Object = NULL;
        ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
                  STATUS_SUCCESS);
        GUID Guid = PlaceholderReparseGuid;
        ASSERT_EQ(FltUntagFile(Instance, Object, PlaceholderReparseTag, &Guid), STATUS_SUCCESS);
        ObDereferenceObject(Object);
    }
    NTSTATUS Status = STATUS_PENDING;
    ReadAt(File, 0, 10, &Status);
    EXPECT_EQ(Status, STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
    EXPECT_EQ(Service->MessageCount(), 0u);
}

TEST_F(HydrationTest, FailedCompletionFailsTheReadAndTheNextReadAsksAgain)
{
    Service->Hold = true;
    MakePlaceholder(L"C:\\Sync\\again.bin", Content(5000));
    HANDLE File = OpenInProgram(L"C:\\Sync\\again.bin", GENERIC_READ);

    NTSTATUS First = STATUS_PENDING;
    std::thread Reader([&] { ReadAt(File, 0, 10, &First); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    EXPECT_EQ(Service->Complete(0, STATUS_ACCESS_DENIED), STATUS_SUCCESS);
    Reader.join();
    EXPECT_EQ(First, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateFailed);
    EXPECT_TRUE(Facts(L"C:\\Sync\\again.bin").ReparsePoint);

    /* The next read starts a new request with the next id. */
    NTSTATUS Second = STATUS_PENDING;
    std::vector<unsigned char> Read;
    std::thread Again([&] { Read = ReadAt(File, 0, 10, &Second); });
    ASSERT_TRUE(Service->WaitForMessages(2));
    HydrateSeen Message = Service->Messages()[1];
    EXPECT_EQ(Message.RequestId, 1u);
    EXPECT_EQ(Service->Serve(Message), S_OK);
    Again.join();
    EXPECT_EQ(Second, STATUS_SUCCESS);
    const std::vector<unsigned char> Expected = Content(5000);
    EXPECT_EQ(Read, std::vector<unsigned char>(Expected.begin(), Expected.begin() + 10));
}

}  // namespace
