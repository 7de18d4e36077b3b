/*
 * The service's commands, including a misbehaving service's: each gets a
 * clear status through the port and nothing is corrupted.  The test plays
 * the service by hand (Hold) for the request a program's read started.
 */
#include "HydrationFixture.h"

using namespace zentaflt_test;

namespace {

class Commands : public HydrationTest {
protected:
    /* A placeholder of Size bytes and a program's read of it waiting for
       the service; Id is its request. */
    void StartRead(size_t Size, size_t ReadLength = 10)
    {
        Expected = Content(Size);
        MakePlaceholder(L"C:\\Sync\\cmd.bin", Expected);
        Service->Hold = true;
        File = OpenInProgram(L"C:\\Sync\\cmd.bin", GENERIC_READ);
        Reader = std::thread([this, ReadLength] { Read = ReadAt(File, 0, ReadLength, &ReadStatus); });
        ASSERT_TRUE(Service->WaitForMessages(1));
        Id = Service->Messages()[0].RequestId;
    }

    void TearDown() override
    {
        if (Reader.joinable()) {
            Service->Complete(Id, STATUS_UNSUCCESSFUL);
            Reader.join();
        }
        HydrationTest::TearDown();
    }

    NTSTATUS Finish(NTSTATUS Status = STATUS_SUCCESS)
    {
        NTSTATUS Result = Service->Complete(Id, Status);
        Reader.join();
        return Result;
    }

    /* Makes C:\Sync\cmd.bin a placeholder of Size bytes through Handle, a
       program's open that stays open, with the primitives the service's create
       request uses (MakePlaceholder without closing). */
    void TagAsPlaceholder(HANDLE Handle, ULONG64 Size)
    {
        emu::ProcessScope InProgram(Program);
        PFILE_OBJECT Object = NULL;
        ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
                  STATUS_SUCCESS);
        ASSERT_EQ(SetEndOfFile(Instance, Object, Size), STATUS_SUCCESS);
        GUID Guid = PlaceholderReparseGuid;
        UCHAR Reparse[4] = {1, 2, 3, 4};
        ASSERT_EQ(FltTagFile(Instance, Object, PlaceholderReparseTag, &Guid, Reparse, sizeof(Reparse)),
                  STATUS_SUCCESS);
        SetPlaceholderAttributes(Instance, Object, PlaceholderCommandCreate);
        ObDereferenceObject(Object);
    }

    /* Reads Length bytes at Offset of a file below the filter (kernel open,
       cached read). */
    std::vector<unsigned char> ReadBelow(const std::u16string &Path, ULONG64 Offset, ULONG Length)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = NULL;
        PFILE_OBJECT File = NULL;
        EXPECT_EQ(emu::OpenBelow(Instance, Path, FILE_READ_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 FILE_OPEN_REPARSE_POINT, &Handle, &File),
                  STATUS_SUCCESS);
        std::vector<unsigned char> Data(Length);
        LARGE_INTEGER At;
        At.QuadPart = (LONGLONG)Offset;
        ULONG Read = 0;
        EXPECT_EQ(FltReadFile(Instance, File, &At, Length, Data.data(), 0, &Read, NULL, NULL), STATUS_SUCCESS);
        Data.resize(Read);
        ObDereferenceObject(File);
        CloseHandle(Handle);
        return Data;
    }

    std::vector<unsigned char> Expected;
    HANDLE File = NULL;
    std::thread Reader;
    std::vector<unsigned char> Read;
    NTSTATUS ReadStatus = STATUS_PENDING;
    ULONGLONG Id = 0;
};

TEST_F(Commands, TheSuccessPathAnswersZeroInFourBytes)
{
    StartRead(4096);
    SERVICE_COMMAND Command = {};
    Command.Command = CommandTransferData;
    Command.TransferData.RequestId = Id;
    Command.TransferData.BufferAddress = (ULONGLONG)(ULONG_PTR)Expected.data();
    Command.TransferData.Length = 4096;
    ULONG Output = 0xFFFFFFFF;
    DWORD Returned = 0;
    {
        emu::ProcessScope InService(ServiceProcess);
        EXPECT_EQ(service::SendCommand(Service->Connection, Command, &Output, &Returned), S_OK);
    }
    EXPECT_EQ(Output, 0u);
    EXPECT_EQ(Returned, 4u);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    EXPECT_EQ(Read, std::vector<unsigned char>(Expected.begin(), Expected.begin() + 10));
}

TEST_F(Commands, UnknownOrFinishedIdsAreNotFound)
{
    StartRead(4096);
    EXPECT_EQ(Service->Transfer(Id + 1, 0, Expected.data(), 4096), STATUS_NOT_FOUND);
    EXPECT_EQ(Service->Complete(Id + 1, STATUS_SUCCESS), STATUS_NOT_FOUND);
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);

    /* Finished: a second completion and a late transfer change nothing. */
    EXPECT_EQ(Service->Complete(Id, STATUS_ACCESS_DENIED), STATUS_NOT_FOUND);
    std::vector<unsigned char> Other = Content(4096, 99);
    EXPECT_EQ(Service->Transfer(Id, 0, Other.data(), 4096), STATUS_NOT_FOUND);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Data, Expected);
}

TEST_F(Commands, AWrappingRangeIsAnOverflowAndWritesNothing)
{
    StartRead(4096);
    EXPECT_EQ(Service->Transfer(Id, ~0ULL - 10, Expected.data(), 4096), STATUS_INTEGER_OVERFLOW);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Size, 4096);
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Data, Expected);
}

TEST_F(Commands, UnreadableDataFailsWithTheExceptionAndWritesNothingOfThatPiece)
{
    StartRead(3 * 4096);
    void *Unmapped = emu::ReserveUnmappedUserRange(4 * 4096);
    /* Whole pages through the MDL, a tail through the bounce page, and
       kernel memory: each refused. */
    EXPECT_EQ(Service->Transfer(Id, 0, Unmapped, 8192), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Service->Transfer(Id, 0, Unmapped, 100), STATUS_ACCESS_VIOLATION);
    PVOID Pool = ExAllocatePoolWithTag(NonPagedPoolNx, 4096, 'tseT');
    EXPECT_EQ(Service->Transfer(Id, 0, Pool, 4096), STATUS_ACCESS_VIOLATION);
    ExFreePoolWithTag(Pool, 'tseT');

    /* A good first page, then a second command whose tail is unreadable:
       its whole pages are written and counted, its tail is not. */
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 4096), STATUS_SUCCESS);
    std::vector<unsigned char> Mixed(Expected.begin() + 4096, Expected.begin() + 8192);
    EXPECT_EQ(Service->Transfer(Id, 4096, Mixed.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(Service->Transfer(Id, 8192, Expected.data() + 8192, 4096), STATUS_SUCCESS);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Data, Expected);
}

TEST_F(Commands, FewerBytesThanTheSizeTrimTheFile)
{
    StartRead(10000);
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    FileFacts After = Facts(L"C:\\Sync\\cmd.bin");
    EXPECT_EQ(After.Size, 4096);
    EXPECT_EQ(After.Data, std::vector<unsigned char>(Expected.begin(), Expected.begin() + 4096));
    EXPECT_FALSE(After.ReparsePoint);
}

TEST_F(Commands, NoDataAtAllLeavesAnEmptyFullFile)
{
    StartRead(5000);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    FileFacts After = Facts(L"C:\\Sync\\cmd.bin");
    EXPECT_EQ(After.Size, 0);
    EXPECT_FALSE(After.ReparsePoint);
    EXPECT_EQ(After.Attributes & PlaceholderAttributes, 0u);
}

TEST_F(Commands, ATransferBeyondTheSizeExtendsTheFileAndMoreBytesKeepIt)
{
    StartRead(4096);
    std::vector<unsigned char> Longer = Content(8192, 5);
    EXPECT_EQ(Service->Transfer(Id, 0, Longer.data(), 8192), STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(File)->ExpectedSize, 8192u);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Data, Longer);
}

TEST_F(Commands, AShortPieceThatDoesNotEndTheFileFillsItsPageWithZeros)
{
    StartRead(10000);
    std::vector<unsigned char> Page = Content(4096, 4);
    ASSERT_EQ(Service->Transfer(Id, 0, Page.data(), 4096), STATUS_SUCCESS);
    /* 100 bytes at 0 again: the rest of the first page becomes zeros. */
    ASSERT_EQ(Service->Transfer(Id, 0, Expected.data(), 100), STATUS_SUCCESS);
    /* 1808 bytes ending the file write exactly up to its end. */
    ASSERT_EQ(Service->Transfer(Id, 8192, Expected.data() + 8192, 1808), STATUS_SUCCESS);
    /* A zero-length piece at the end asks for nothing and counts nothing. */
    ASSERT_EQ(Service->Transfer(Id, 10000, Expected.data(), 0), STATUS_SUCCESS);
    ASSERT_EQ(ContextOf(File)->Request.BytesWritten, 4096u + 100u + 1808u);
    ASSERT_EQ(Service->Transfer(Id, 4096, Expected.data() + 4096, 4096), STATUS_SUCCESS);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);

    std::vector<unsigned char> Want = Expected;
    std::fill(Want.begin() + 100, Want.begin() + 4096, 0);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Data, Want);
}

TEST_F(Commands, ResourceFailuresOfAPieceAreReported)
{
    StartRead(3 * 4096);
    System->Faults().Arm("IoAllocateMdl", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 8192), STATUS_INSUFFICIENT_RESOURCES);
    System->Faults().Arm("FltWriteFileEx", STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 100), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ContextOf(File)->Request.BytesWritten, 0u);
    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), 3 * 4096), STATUS_SUCCESS);
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(Facts(L"C:\\Sync\\cmd.bin").Data, Expected);
}

TEST_F(Commands, AFailedUntagReleasesTheWaitersAndKeepsThePlaceholder)
{
    StartRead(4096);
    ASSERT_EQ(Service->Transfer(Id, 0, Expected.data(), 4096), STATUS_SUCCESS);
    System->Faults().Arm("FltUntagFile", STATUS_ACCESS_DENIED);
    EXPECT_EQ(Finish(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrating);
    EXPECT_TRUE(Facts(L"C:\\Sync\\cmd.bin").ReparsePoint);
    /* Later operations go on at once against the signalled request. */
    EXPECT_EQ(ReadAt(File, 0, 4096), Expected);
    EXPECT_EQ(Service->MessageCount(), 1u);
}

/* Pieces are written by paging writes, which byte-range locks never stop
   (file systems check locks for non-paging I/O only; "Locking a region of
   a file does not prevent reading from a mapped file view", LockFileEx):
   a program's exclusive lock over the range does not hold a piece up, so
   WriteFileData never meets STATUS_FILE_LOCK_CONFLICT and its retries
   never run (a retry would wait for the emulated clock, which this test
   never advances). */
TEST_F(Commands, AProgramsByteRangeLockDoesNotHoldUpAPiece)
{
    Expected = Content(3 * 4096);
    HANDLE Locker;
    {
        emu::ProcessScope InProgram(Program);
        Locker = CreateFileW(L"C:\\Sync\\cmd.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(Locker, INVALID_HANDLE_VALUE);
        Handles.push_back(Locker);
        LARGE_INTEGER End;
        End.QuadPart = 3 * 4096;
        ASSERT_TRUE(SetFilePointerEx(Locker, End, NULL, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(Locker));
        ASSERT_TRUE(LockFile(Locker, 4096, 0, 4096, 0));
    }
    TagAsPlaceholder(Locker, Expected.size());
    Service->SetContent(u"\\Sync\\cmd.bin", Expected);
    Service->Hold = true;
    File = OpenInProgram(L"C:\\Sync\\cmd.bin", GENERIC_READ | GENERIC_WRITE);
    Reader = std::thread([this] { Read = ReadAt(File, 0, 10, &ReadStatus); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    Id = Service->Messages()[0].RequestId;

    EXPECT_EQ(Service->Transfer(Id, 0, Expected.data(), (ULONG)Expected.size()), STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(File)->Request.BytesWritten, Expected.size());
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    EXPECT_EQ(ReadAt(Locker, 0, 3 * 4096), Expected);  // the lock's owner reads it all

    /* The lock is real: the program's other handle cannot write the range. */
    EXPECT_EQ(WriteAt(File, 4100, {1}), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(WriteAt(File, 100, {1}), STATUS_SUCCESS);
}

TEST_F(Commands, AShortPieceBeyondFourGibIsAWholePage)
{
    /* A placeholder of 4 GiB + 3 pages + 100 bytes (the emulated disk is
       sparse); the pieces land at their full 64-bit offsets. */
    const ULONG64 Base = 4ULL << 30;
    const ULONG64 Size = Base + 3 * 4096 + 100;
    HANDLE Creator;
    {
        emu::ProcessScope InProgram(Program);
        Creator = CreateFileW(L"C:\\Sync\\cmd.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(Creator, INVALID_HANDLE_VALUE);
    }
    TagAsPlaceholder(Creator, Size);
    {
        emu::ProcessScope InProgram(Program);
        CloseHandle(Creator);
    }
    Service->Hold = true;
    File = OpenInProgram(L"C:\\Sync\\cmd.bin", GENERIC_READ);
    Reader = std::thread([this] { Read = ReadAt(File, 0, 10, &ReadStatus); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    Id = Service->Messages()[0].RequestId;
    EXPECT_EQ(Service->Messages()[0].FileSize, (LONGLONG)Size);

    /* A whole page of data, then 100 bytes at the same offset: the rest of
       that page becomes zeros. */
    std::vector<unsigned char> Page = Content(4096, 5);
    ASSERT_EQ(Service->Transfer(Id, Base + 4096, Page.data(), 4096), STATUS_SUCCESS);
    EXPECT_EQ(ReadBelow(u"\\Sync\\cmd.bin", Base + 4096, 4096), Page);
    ASSERT_EQ(Service->Transfer(Id, Base + 4096, Page.data(), 100), STATUS_SUCCESS);
    std::vector<unsigned char> Want(4096, 0);
    std::copy(Page.begin(), Page.begin() + 100, Want.begin());
    EXPECT_EQ(ReadBelow(u"\\Sync\\cmd.bin", Base + 4096, 4096), Want);
    /* A short piece in the last page writes up to the end of file only. */
    ASSERT_EQ(Service->Transfer(Id, Base + 3 * 4096, Page.data(), 50), STATUS_SUCCESS);
    std::vector<unsigned char> Tail(100, 0);
    std::copy(Page.begin(), Page.begin() + 50, Tail.begin());
    EXPECT_EQ(ReadBelow(u"\\Sync\\cmd.bin", Base + 3 * 4096, 4096), Tail);
    /* Nothing landed at the offsets taken modulo 4 GiB. */
    EXPECT_EQ(ReadBelow(u"\\Sync\\cmd.bin", 4096, 4096), std::vector<unsigned char>(4096, 0));
    EXPECT_EQ(ContextOf(File)->Request.BytesWritten, 4096u + 100u + 50u);
}

}  // namespace
