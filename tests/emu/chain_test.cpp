/*
 * The I/O path: requests through the filter chain by altitude, pended and
 * cancelled operations, fast I/O refused, the filter's own requests below
 * it, paging I/O skipped, and opens of files that carry a reparse point.
 */
#include <thread>

#include "TestFilter.h"
#include "EmuTesting.h"

namespace emu_test {
namespace {


constexpr ULONG TestTag = 0x20000099;
constexpr GUID TestGuid = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

/* Reads Length bytes at Offset in the program; the status of the call. */
NTSTATUS ProgramRead(emu::EmuProcess *Program, const WCHAR *Path, ULONG Length, std::vector<UCHAR> *Data,
                     uint64_t *ThreadId = nullptr, std::atomic<bool> *Opened = nullptr)
{
    emu::ProcessScope InProgram(Program);
    if (ThreadId != nullptr) {
        *ThreadId = (uint64_t)PsGetCurrentThreadId();
    }
    HANDLE File = CreateFileW(Path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (File == INVALID_HANDLE_VALUE) {
        return emu::user::LastStatus();
    }
    if (Opened != nullptr) {
        *Opened = true;
    }
    Data->assign(Length, 0xEE);
    DWORD Read = 0;
    BOOL Done = ReadFile(File, Data->data(), Length, &Read, NULL);
    NTSTATUS Status = emu::user::LastStatus();
    Data->resize(Done ? Read : 0);
    CloseHandle(File);
    return Status;
}

/* Reads a program starts on a thread of its own, which wait while the lower
   test filter holds them. */
class Chain : public EmulatorTest {
protected:
    /* Starts a program's read of Length bytes of C:\\data.bin and returns
       once the lower filter holds it. */
    void BeginPendedRead(ULONG Length = 16)
    {
        Lower::Reads = ReadMode::Pend;
        Reader = std::thread([this, Length] {
            ReadStatus = ProgramRead(Program, L"C:\\data.bin", Length, &ReadData, &ReaderThread);
        });
        while (Lower::PendedCount() < 1) {
            std::this_thread::yield();
        }
    }

    std::thread Reader;
    NTSTATUS ReadStatus = STATUS_UNSUCCESSFUL;
    std::vector<UCHAR> ReadData;
    uint64_t ReaderThread = 0;
};

TEST_F(Chain, PreOperationsRunFromTheHighestAltitudeAndPostOperationsFromTheLowest)
{
    /* Loaded in the opposite order of their altitudes. */
    Load<Lower>("100000");
    Load<Upper>("300000");
    MakeFile(L"C:\\data.bin", 4096);
    TheLog.Take();
    std::vector<UCHAR> Data;
    ASSERT_EQ(ProgramRead(Program, L"C:\\data.bin", 4096, &Data), STATUS_SUCCESS);
    EXPECT_EQ(Data.size(), 4096u);
    std::vector<std::string> Lines = TheLog.Take();
    EXPECT_EQ(Only(Lines, "create irp"), (std::vector<std::string>{"upper pre create irp", "lower pre create irp",
                                                                     "lower post create irp",
                                                                     "upper post create irp"}));
    EXPECT_EQ(Only(Lines, "read irp"), (std::vector<std::string>{"upper pre read irp", "lower pre read irp",
                                                                   "lower post read irp", "upper post read irp"}));
}

TEST_F(Chain, AFastReadADisallowingFilterRefusesComesAgainAsAnIrp)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 8192);
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        std::vector<UCHAR> Data(4096);
        DWORD Read = 0;
        /* The first read sets the cache up: fast I/O is not possible yet. */
        TheLog.Take();
        ASSERT_TRUE(ReadFile(File, Data.data(), 4096, &Read, NULL));
        EXPECT_EQ(Only(TheLog.Take(), "read irp").size(), 2u);
        /* The second goes the fast way only. */
        ASSERT_TRUE(ReadFile(File, Data.data(), 4096, &Read, NULL));
        std::vector<std::string> Lines = TheLog.Take();
        EXPECT_EQ(Only(Lines, "read fast"), (std::vector<std::string>{"lower pre read fast", "lower post read fast"}));
        EXPECT_TRUE(Only(Lines, "read irp").empty());
        EXPECT_EQ(Data[0], (UCHAR)(4096 % 256));

        /* Refused by the filter, the read comes again as an IRP. */
        Lower::Reads = ReadMode::DisallowFastIo;
        LARGE_INTEGER Start = {};
        ASSERT_TRUE(SetFilePointerEx(File, Start, NULL, FILE_BEGIN));
        ASSERT_TRUE(ReadFile(File, Data.data(), 4096, &Read, NULL));
        EXPECT_EQ(Read, 4096u);
        EXPECT_EQ(Data[1], 1);
        Lines = TheLog.Take();
        EXPECT_EQ(Only(Lines, "read fast"), (std::vector<std::string>{"lower pre read fast"}));
        EXPECT_EQ(Only(Lines, "read irp"), (std::vector<std::string>{"lower pre read irp", "lower post read irp"}));
        CloseHandle(File);
    }
}

TEST_F(Chain, APendedReadCompletesFromAnotherThreadWithTheReaderAboveHeldBehindIt)
{
    Load<Lower>("100000");
    Load<Upper>("320000");  // an on-access reader above, as anti-virus filters sit
    MakeFile(L"C:\\data.bin", 4096);
    TheLog.Take();
    BeginPendedRead(100);
    /* Held: the reader above has seen the read go down, not come back. */
    std::vector<std::string> Reads = Only(TheLog.Take(), "read irp");
    EXPECT_EQ(Reads, (std::vector<std::string>{"upper pre read irp", "lower pre read irp"}));

    std::thread Completer([] {
        PFLT_CALLBACK_DATA Data = Lower::TakePended();
        ASSERT_NE(Data, nullptr);
        FltCompletePendedPreOperation(Data, FLT_PREOP_SUCCESS_WITH_CALLBACK, NULL);
    });
    Completer.join();
    Reader.join();
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    ASSERT_EQ(ReadData.size(), 100u);
    EXPECT_EQ(ReadData[99], 99);
    EXPECT_EQ(Only(TheLog.Take(), "read irp"),
              (std::vector<std::string>{"lower post read irp", "upper post read irp"}));
}

TEST_F(Chain, APendedReadCancelledByCancelIoExRunsTheCancelRoutineOnce)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 4096);
    Lower::Reads = ReadMode::Pend;
    std::vector<UCHAR> Data;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    HANDLE Shared = nullptr;
    {
        emu::ProcessScope InProgram(Program);
        Shared = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(Shared, INVALID_HANDLE_VALUE);
    }
    Reader = std::thread([&] {
        emu::ProcessScope InProgram(Program);
        Data.assign(16, 0);
        DWORD Read = 0;
        ReadFile(Shared, Data.data(), 16, &Read, NULL);
        Status = emu::user::LastStatus();
    });
    while (Lower::PendedCount() < 1) {
        std::this_thread::yield();
    }
    {
        emu::ProcessScope InProgram(Program);
        EXPECT_TRUE(CancelIoEx(Shared, NULL));
        EXPECT_FALSE(CancelIoEx(Shared, NULL));  // nothing left to cancel
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
    }
    Reader.join();
    EXPECT_EQ(Status, STATUS_CANCELLED);
    EXPECT_EQ(Lower::CancelRoutineRuns.load(), 1);
    EXPECT_EQ(Lower::PendedCount(), 0u);
    emu::ProcessScope InProgram(Program);
    CloseHandle(Shared);
}

TEST_F(Chain, APendedReadOfATerminatingThreadIsCancelledOnce)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 4096);
    BeginPendedRead();
    EXPECT_EQ(System.TerminateThread(ReaderThread), 1u);
    Reader.join();
    EXPECT_EQ(ReadStatus, STATUS_CANCELLED);
    EXPECT_EQ(Lower::CancelRoutineRuns.load(), 1);
    /* Cancelling it again finds nothing and runs nothing. */
    EXPECT_EQ(System.TerminateThread(ReaderThread), 0u);
    EXPECT_EQ(Lower::CancelRoutineRuns.load(), 1);
}

TEST_F(Chain, CancelSynchronousIoCancelsTheThreadsPendedReadOnce)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 4096);
    BeginPendedRead();
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Narrow = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)ReaderThread);
        EXPECT_FALSE(CancelSynchronousIo(Narrow));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
        HANDLE Thread = OpenThread(THREAD_TERMINATE, FALSE, (DWORD)ReaderThread);
        EXPECT_TRUE(CancelSynchronousIo(Thread));
        Reader.join();
        EXPECT_FALSE(CancelSynchronousIo(Thread));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_FOUND);
        CloseHandle(Thread);
        CloseHandle(Narrow);
    }
    EXPECT_EQ(ReadStatus, STATUS_CANCELLED);
    EXPECT_EQ(Lower::CancelRoutineRuns.load(), 1);
}

TEST_F(Chain, AFiltersOwnWriteEntersBelowItAndALowerFilterSeesIt)
{
    Load<Lower>("100000");
    PFLT_INSTANCE UpperInstance = Load<Upper>("300000");
    MakeFile(L"C:\\data.bin", 16);
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    PFILE_OBJECT Object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
              STATUS_SUCCESS);
    TheLog.Take();
    UCHAR Bytes[4] = {9, 9, 9, 9};
    LARGE_INTEGER Offset = {};
    ULONG Written = 0;
    ASSERT_EQ(FltWriteFile(UpperInstance, Object, &Offset, sizeof(Bytes), Bytes, 0, &Written, NULL, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(Written, 4u);
    EXPECT_EQ(TheLog.Take(), (std::vector<std::string>{"lower pre write irp", "lower post write irp"}));

    /* The write moved the synchronous file object's position; the program
       reads what the filter wrote at the start. */
    EXPECT_EQ(Object->CurrentByteOffset.QuadPart, 4);
    std::vector<UCHAR> Data(4);
    DWORD Read = 0;
    OVERLAPPED Start = {};
    ASSERT_TRUE(ReadFile(File, Data.data(), 4, &Read, &Start));
    EXPECT_EQ(Data, (std::vector<UCHAR>{9, 9, 9, 9}));
    ObDereferenceObject(Object);
    CloseHandle(File);
}

TEST_F(Chain, PagingIoIsNotShownToAFilterThatSkipsIt)
{
    Load<Lower>("100000");  // registers its reads with FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO
    PFLT_INSTANCE UpperInstance = Load<Upper>("300000");
    MakeFile(L"C:\\data.bin", 4096);
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    PFILE_OBJECT Object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
              STATUS_SUCCESS);
    std::vector<UCHAR> Data(4096);
    LARGE_INTEGER Offset = {};
    ULONG Read = 0;
    TheLog.Take();
    ASSERT_EQ(FltReadFile(UpperInstance, Object, &Offset, 4096, Data.data(),
                          FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_NON_CACHED, &Read, NULL, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(Read, 4096u);
    EXPECT_TRUE(TheLog.Take().empty());
    ASSERT_EQ(FltReadFile(UpperInstance, Object, &Offset, 4096, Data.data(), 0, &Read, NULL, NULL), STATUS_SUCCESS);
    EXPECT_EQ(TheLog.Take(), (std::vector<std::string>{"lower pre read irp", "lower post read irp"}));
    ObDereferenceObject(Object);
    CloseHandle(File);
}

TEST_F(Chain, AFileWithAReparsePointOpensOnlyWithAMatchingOpenReparseEntry)
{
    PFLT_INSTANCE UpperInstance = Load<Upper>("300000");
    MakeFile(L"C:\\tagged.bin", 10);
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = CreateFileW(L"C:\\tagged.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        PFILE_OBJECT Object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
                  STATUS_SUCCESS);
        GUID Guid = TestGuid;
        UCHAR Bytes[2] = {1, 2};
        ASSERT_EQ(FltTagFile(UpperInstance, Object, TestTag, &Guid, Bytes, sizeof(Bytes)), STATUS_SUCCESS);
        ObDereferenceObject(Object);
        CloseHandle(File);
    }
    std::vector<UCHAR> Data;
    /* No one handles the tag: the open fails as Windows fails it. */
    EXPECT_EQ(ProgramRead(Program, L"C:\\tagged.bin", 4, &Data), STATUS_IO_REPARSE_TAG_NOT_HANDLED);
    {
        emu::ProcessScope InProgram(Program);
        EXPECT_EQ(CreateFileW(L"C:\\tagged.bin", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANT_ACCESS_FILE);
        /* Asking for the reparse point itself opens the file. */
        HANDLE File = CreateFileW(L"C:\\tagged.bin", GENERIC_READ, 0, NULL, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        EXPECT_NE(File, INVALID_HANDLE_VALUE);
        CloseHandle(File);
    }
    /* An entry for the tag with another GUID does not match. */
    Upper::OpenReparseTag = TestTag;
    Upper::OpenReparseGuid = GUID{};
    EXPECT_EQ(ProgramRead(Program, L"C:\\tagged.bin", 4, &Data), STATUS_IO_REPARSE_TAG_NOT_HANDLED);
    EXPECT_EQ(Upper::EntryFlagsSeen & OPEN_REPARSE_POINT_TAG_ENCOUNTERED, 0u);
    /* The matching entry opens it and is marked. */
    Upper::OpenReparseGuid = TestGuid;
    EXPECT_EQ(ProgramRead(Program, L"C:\\tagged.bin", 4, &Data), STATUS_SUCCESS);
    EXPECT_EQ(Data, (std::vector<UCHAR>{0, 1, 2, 3}));
    EXPECT_EQ(Upper::EntryFlagsSeen & OPEN_REPARSE_POINT_TAG_ENCOUNTERED, (ULONG)OPEN_REPARSE_POINT_TAG_ENCOUNTERED);
}

TEST_F(Chain, APreOperationThatCompletesEndsTheWalkAndOnlyTheFiltersAboveSeeTheEnd)
{
    Load<Lower>("100000");
    Load<Upper>("300000");
    MakeFile(L"C:\\data.bin", 4096);
    Lower::Reads = ReadMode::Complete;
    TheLog.Take();
    std::vector<UCHAR> Data;
    EXPECT_EQ(ProgramRead(Program, L"C:\\data.bin", 16, &Data), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Only(TheLog.Take(), "read irp"),
              (std::vector<std::string>{"upper pre read irp", "lower pre read irp", "upper post read irp"}));
}

TEST_F(Chain, ASynchronizedPostOperationRunsOnItsPreOperationsThreadWhenALowerFilterPends)
{
    Load<Lower>("100000");
    Load<Upper>("300000");
    MakeFile(L"C:\\data.bin", 4096);
    Upper::Reads = ReadMode::Synchronize;
    BeginPendedRead();
    uint64_t CompleterThread = 0;
    std::thread Completer([&] {
        CompleterThread = (uint64_t)PsGetCurrentThreadId();
        PFLT_CALLBACK_DATA Pended = Lower::TakePended();
        ASSERT_NE(Pended, nullptr);
        FltCompletePendedPreOperation(Pended, FLT_PREOP_SUCCESS_WITH_CALLBACK, NULL);
    });
    Completer.join();
    Reader.join();
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    EXPECT_EQ(Lower::PostReadThread.load(), CompleterThread);
    EXPECT_EQ(Upper::PostReadThread.load(), ReaderThread);
}

TEST_F(Chain, ADeferredPostOperationHoldsTheRequestUntilItCompletes)
{
    Load<Lower>("100000");
    Load<Upper>("300000");
    MakeFile(L"C:\\data.bin", 4096);
    Lower::Reads = ReadMode::DisallowFastIo;
    Lower::DeferPostRead = true;
    std::vector<UCHAR> Data;
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    std::atomic<bool> Returned{false};
    std::thread Reader([&] {
        Status = ProgramRead(Program, L"C:\\data.bin", 16, &Data);
        Returned = true;
    });
    while (Lower::DeferredPost.load() == nullptr) {
        std::this_thread::yield();
    }
    EXPECT_FALSE(Returned.load());
    EXPECT_TRUE(Only(TheLog.Take(), "post read irp") == std::vector<std::string>{"lower post read irp"});
    FltCompletePendedPostOperation(Lower::DeferredPost.load());
    Reader.join();
    EXPECT_EQ(Status, STATUS_SUCCESS);
    EXPECT_EQ(Only(TheLog.Take(), "post read irp"), std::vector<std::string>{"upper post read irp"});
}

TEST_F(Chain, EndingTheProcessCancelsItsPendedReadOnce)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 4096);
    BeginPendedRead();
    System.Terminate(Program);
    Reader.join();
    EXPECT_EQ(ReadStatus, STATUS_CANCELLED);
    EXPECT_EQ(Lower::CancelRoutineRuns.load(), 1);
}

TEST_F(Chain, ACancellableWaitEndsWithTheStatusOfWhatEndedIt)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 16);
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(File, IRP_MJ_READ, UserMode);
    ASSERT_NE(Data, nullptr);
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);

    /* A timeout runs on the emulated clock: one minute from now. */
    LARGE_INTEGER Timeout;
    Timeout.QuadPart = System.SystemClock().Now() + 10LL * 1000 * 1000 * 60;
    NTSTATUS Waited = STATUS_UNSUCCESSFUL;
    std::thread Waiter([&] { Waited = FltCancellableWaitForSingleObject(&Event, &Timeout, Data); });
    System.SystemClock().Advance(10LL * 1000 * 1000 * 61);
    Waiter.join();
    EXPECT_EQ(Waited, STATUS_TIMEOUT);

    /* A signal ends it with success. */
    KeSetEvent(&Event, 0, FALSE);
    EXPECT_EQ(FltCancellableWaitForSingleObject(&Event, NULL, Data), STATUS_SUCCESS);
    KeClearEvent(&Event);

    /* Cancelling the operation ends it with STATUS_CANCELLED. */
    std::thread Cancelled([&] { Waited = FltCancellableWaitForSingleObject(&Event, NULL, Data); });
    EXPECT_TRUE(CancelIoEx(File, NULL));
    Cancelled.join();
    EXPECT_EQ(Waited, STATUS_CANCELLED);
    EXPECT_TRUE(FltIsIoCanceled(Data));
    emu::FreeCallbackData(Data);

    /* The wait of a thread being terminated ends with
       STATUS_THREAD_IS_TERMINATING. */
    std::atomic<uint64_t> WaiterId{0};
    std::thread Terminated([&] {
        WaiterId = (uint64_t)PsGetCurrentThreadId();
        Waited = FltCancellableWaitForSingleObject(&Event, NULL, NULL);
    });
    while (WaiterId.load() == 0) {
        std::this_thread::yield();
    }
    System.TerminateThread(WaiterId.load());
    Terminated.join();
    EXPECT_EQ(Waited, STATUS_THREAD_IS_TERMINATING);
    CloseHandle(File);
}

TEST_F(Chain, NonCachedTransfersStartAndEndOnSectorBoundaries)
{
    MakeFile(L"C:\\data.bin", 4096);
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                              FILE_FLAG_NO_BUFFERING, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    std::vector<UCHAR> Data(1024);
    DWORD Count = 0;
    OVERLAPPED Odd = {};
    Odd.Offset = 100;
    EXPECT_FALSE(ReadFile(File, Data.data(), 512, &Count, &Odd));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_INVALID_PARAMETER);
    OVERLAPPED Sector = {};
    Sector.Offset = 512;
    EXPECT_FALSE(WriteFile(File, Data.data(), 100, &Count, &Sector));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(ReadFile(File, Data.data(), 1024, &Count, &Sector));
    EXPECT_EQ(Count, 1024u);
    EXPECT_EQ(Data[0], (UCHAR)(512 % 256));
    CloseHandle(File);
}

TEST_F(Chain, SizeQueriesOfProgramsPassTheFilters)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 1234);
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    TheLog.Take();
    LARGE_INTEGER Size = {};
    ASSERT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 1234);
    EXPECT_EQ(TheLog.Take(), (std::vector<std::string>{"lower pre query irp", "lower post query irp"}));
    CloseHandle(File);
}

}  // namespace
}  // namespace emu_test
