/*
 * The cache manager and sections: cached I/O goes through a stream's pages,
 * which paging reads fill and paging writes clean through the whole filter
 * chain; fast I/O is served from them; the lazy writer never extends a file
 * and advances the valid data length with AdvanceOnly; mappings send
 * section synchronisation and keep the stream (and its contexts) after the
 * last handle; emulated files are sparse.
 */
#include <thread>

#include "TestFilter.h"
#include "EmuTesting.h"

namespace emu_test {
namespace {

class Cache : public EmulatorTest {
protected:
    /* Seen records of IRPs of one major function (paging or not). */
    static std::vector<Seen> Of(const std::vector<Seen> &All, UCHAR Major, bool Paging)
    {
        std::vector<Seen> Kept;
        for (const Seen &Entry : All) {
            if (Entry.Major == Major && !Entry.Fast && ((Entry.IrpFlags & IRP_PAGING_IO) != 0) == Paging) {
                Kept.push_back(Entry);
            }
        }
        return Kept;
    }

    static PFILE_OBJECT ObjectOf(HANDLE Handle)
    {
        PFILE_OBJECT Object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
                  STATUS_SUCCESS);
        ObDereferenceObject(Object);  // the handle keeps it
        return Object;
    }

    static std::vector<UCHAR> ReadAt(HANDLE File, ULONGLONG Offset, DWORD Length)
    {
        std::vector<UCHAR> Data(Length);
        OVERLAPPED At = {};
        At.Offset = (DWORD)Offset;
        At.OffsetHigh = (DWORD)(Offset >> 32);
        DWORD Read = 0;
        EXPECT_TRUE(ReadFile(File, Data.data(), Length, &Read, &At)) << emu::user::LastStatus();
        Data.resize(Read);
        return Data;
    }

    static void WriteAt(HANDLE File, ULONGLONG Offset, const std::vector<UCHAR> &Data)
    {
        OVERLAPPED At = {};
        At.Offset = (DWORD)Offset;
        At.OffsetHigh = (DWORD)(Offset >> 32);
        DWORD Written = 0;
        EXPECT_TRUE(WriteFile(File, Data.data(), (DWORD)Data.size(), &Written, &At)) << emu::user::LastStatus();
        EXPECT_EQ(Written, Data.size());
    }

    static LONGLONG SizeOf(HANDLE File)
    {
        LARGE_INTEGER Size = {};
        EXPECT_TRUE(GetFileSizeEx(File, &Size));
        return Size.QuadPart;
    }
};

TEST_F(Cache, ACachedReadFillsItsPageWithAPagingReadThatOnlyAFilterNotSkippingPagingSees)
{
    Load<Lower>("100000");  // skips paging reads
    Load<Pager>("200000");
    MakeFile(L"C:\\data.bin", 10000);
    Pager::TakeSeen();
    Lower::TakeSeen();
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\data.bin", GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    TheLog.Take();
    std::vector<UCHAR> Data = ReadAt(File, 4100, 10);
    ASSERT_EQ(Data.size(), 10u);
    EXPECT_EQ(Data[0], (UCHAR)4100);

    /* Below the cached read, one synchronous non-cached paging read of the
       whole page, from the top of the chain. */
    std::vector<std::string> Lines = Only(TheLog.Take(), "read irp paging");
    EXPECT_EQ(Lines, (std::vector<std::string>{"pager pre read irp paging", "pager post read irp paging"}));
    std::vector<Seen> Paging = Of(Pager::TakeSeen(), IRP_MJ_READ, true);
    ASSERT_EQ(Paging.size(), 1u);
    EXPECT_EQ(Paging[0].IrpFlags & (IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO),
              (ULONG)(IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO));
    EXPECT_EQ(Paging[0].Offset, 4096);
    EXPECT_EQ(Paging[0].Length, 4096u);
    EXPECT_TRUE(Paging[0].Synchronous);
    std::vector<Seen> LowerSaw = Lower::TakeSeen();
    EXPECT_EQ(Of(LowerSaw, IRP_MJ_READ, false).size(), 1u);
    EXPECT_TRUE(Of(LowerSaw, IRP_MJ_READ, true).empty());

    /* The page is in memory now: the next read of it needs no paging read
       and goes the fast way. */
    EXPECT_EQ(ReadAt(File, 5000, 4)[0], (UCHAR)5000);
    Lines = TheLog.Take();
    EXPECT_TRUE(Only(Lines, "read irp paging").empty());
    EXPECT_EQ(Only(Lines, "read fast"), (std::vector<std::string>{"pager pre read fast", "lower pre read fast",
                                                                   "lower post read fast", "pager post read fast"}));
    EXPECT_EQ(emu::CacheCountsOf(ObjectOf(File)).Pages, 1u);
    CloseHandle(File);
}

TEST_F(Cache, AFastReadOfAMissingPageFaultsItInBelowTheFastRead)
{
    Load<Pager>("200000");
    MakeFile(L"C:\\data.bin", 3 * 4096);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\data.bin", GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    ReadAt(File, 0, 1);  // sets the cache up (an IRP)
    TheLog.Take();
    EXPECT_EQ(ReadAt(File, 2 * 4096, 2), (std::vector<UCHAR>{0, 1}));
    EXPECT_EQ(TheLog.Take(), (std::vector<std::string>{"pager pre read fast", "pager pre read irp paging",
                                                        "pager post read irp paging", "pager post read fast"}));
    EXPECT_EQ(emu::CacheCountsOf(ObjectOf(File)).Pages, 2u);
    CloseHandle(File);
}

TEST_F(Cache, TheLazyWriterWritesDirtyPagesAtTheLastCleanupWithoutExtendingTheFile)
{
    Load<Pager>("200000");
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\new.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    Pager::TakeSeen();
    WriteAt(File, 0, std::vector<UCHAR>(100, 7));
    WriteAt(File, 5000, {1, 2, 3});
    EXPECT_EQ(SizeOf(File), 5003);
    /* Written into the cache: two dirty pages, nothing on the way down yet. */
    emu::CacheCounts Counts = emu::CacheCountsOf(ObjectOf(File));
    EXPECT_EQ(Counts.Dirty, 2u);
    EXPECT_EQ(Counts.PrivateMaps, 1u);
    EXPECT_TRUE(Of(Pager::TakeSeen(), IRP_MJ_WRITE, true).empty());

    CloseHandle(File);
    std::vector<Seen> Seen = Pager::TakeSeen();
    std::vector<emu_test::Seen> Writes = Of(Seen, IRP_MJ_WRITE, true);
    ASSERT_EQ(Writes.size(), 2u);
    EXPECT_EQ(Writes[0].Offset, 0);
    EXPECT_EQ(Writes[1].Offset, 4096);
    for (const auto &Write : Writes) {
        EXPECT_EQ(Write.Length, 4096u);  // whole pages
        EXPECT_EQ(Write.TopLevelIrp, (ULONG_PTR)FSRTL_CACHE_TOP_LEVEL_IRP);
        EXPECT_NE(Write.ProcessId, PsGetCurrentProcessId());  // the system process
    }
    /* Then the valid data length advances with AdvanceOnly, to the end of
       what was written. */
    std::vector<emu_test::Seen> Sets = Of(Seen, IRP_MJ_SET_INFORMATION, false);
    ASSERT_EQ(Sets.size(), 1u);
    EXPECT_EQ(Sets[0].Class, FileEndOfFileInformation);
    EXPECT_TRUE(Sets[0].AdvanceOnly);
    EXPECT_EQ(Sets[0].EndOfFile, 5003);

    /* The page beyond the end did not extend the file. */
    File = Open(L"C:\\new.bin", GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SizeOf(File), 5003);
    EXPECT_EQ(ReadAt(File, 4999, 10), (std::vector<UCHAR>{0, 1, 2, 3}));
    EXPECT_EQ(ReadAt(File, 99, 2), (std::vector<UCHAR>{7, 0}));
    CloseHandle(File);
}

TEST_F(Cache, AFilterWritingPagesBeyondTheEndOfFileDoesNotExtendIt)
{
    PFLT_INSTANCE Instance = Load<Pager>("200000");
    MakeFile(L"C:\\short.bin", 100);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\short.bin", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    std::vector<UCHAR> Page(4096, 5);
    LARGE_INTEGER Offset = {};
    ULONG Written = 0;
    EXPECT_EQ(FltWriteFile(Instance, ObjectOf(File), &Offset, 4096, Page.data(),
                           FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_NON_CACHED, &Written, NULL, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(Written, 100u);
    Offset.QuadPart = 8192;
    EXPECT_EQ(FltWriteFile(Instance, ObjectOf(File), &Offset, 4096, Page.data(),
                           FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_NON_CACHED, &Written, NULL, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(Written, 0u);
    EXPECT_EQ(SizeOf(File), 100);
    CloseHandle(File);
}

TEST_F(Cache, FlushFileBuffersWritesTheDirtyPagesAtOnce)
{
    Load<Pager>("200000");
    MakeFile(L"C:\\data.bin", 8192);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    WriteAt(File, 4200, {9});
    Pager::TakeSeen();
    ASSERT_TRUE(FlushFileBuffers(File));
    std::vector<Seen> Writes = Of(Pager::TakeSeen(), IRP_MJ_WRITE, true);
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].Offset, 4096);
    EXPECT_EQ(emu::CacheCountsOf(ObjectOf(File)).Dirty, 0u);
    CloseHandle(File);
    EXPECT_TRUE(Of(Pager::TakeSeen(), IRP_MJ_WRITE, true).empty());  // nothing left for the lazy writer

    /* A handle without write access cannot flush. */
    HANDLE Reader = Open(L"C:\\data.bin", GENERIC_READ);
    EXPECT_FALSE(FlushFileBuffers(Reader));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    CloseHandle(Reader);
}

TEST_F(Cache, ANonCachedReadSeesDataStillInTheCache)
{
    Load<Pager>("200000");
    MakeFile(L"C:\\data.bin", 4096);
    emu::ProcessScope InProgram(Program);
    HANDLE Cached = Open(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(Cached, INVALID_HANDLE_VALUE);
    WriteAt(Cached, 0, {0xAB});
    HANDLE Direct = Open(L"C:\\data.bin", GENERIC_READ, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(Direct, INVALID_HANDLE_VALUE);
    Pager::TakeSeen();
    EXPECT_EQ(ReadAt(Direct, 0, 512)[0], 0xAB);
    EXPECT_EQ(Of(Pager::TakeSeen(), IRP_MJ_WRITE, true).size(), 1u);  // the dirty page went first
    CloseHandle(Direct);
    CloseHandle(Cached);
}

TEST_F(Cache, WhatChangesTheDiskBelowTheCacheChangesItsPagesToo)
{
    MakeFile(L"C:\\data.bin", 8192);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    WriteAt(File, 100, {0xAA, 0xAA});  // dirty in the cache

    /* Zeroing a range: the dirty page is written first, then the zeros
       show through the cache. */
    FILE_ZERO_DATA_INFORMATION Range = {};
    Range.FileOffset.QuadPart = 101;
    Range.BeyondFinalZero.QuadPart = 4200;
    DWORD Returned = 0;
    ASSERT_TRUE(DeviceIoControl(File, FSCTL_SET_ZERO_DATA, &Range, sizeof(Range), NULL, 0, &Returned, NULL));
    EXPECT_EQ(ReadAt(File, 99, 3), (std::vector<UCHAR>{99, 0xAA, 0}));
    EXPECT_EQ(ReadAt(File, 4199, 2), (std::vector<UCHAR>{0, (UCHAR)4200}));

    /* Truncating drops the pages beyond the end: growing again reads
       zeros, not the old bytes. */
    LARGE_INTEGER At;
    At.QuadPart = 5000;
    ASSERT_TRUE(SetFilePointerEx(File, At, NULL, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(File));
    At.QuadPart = 8192;
    ASSERT_TRUE(SetFilePointerEx(File, At, NULL, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(File));
    EXPECT_EQ(ReadAt(File, 4999, 2), (std::vector<UCHAR>{(UCHAR)4999, 0}));
    EXPECT_EQ(ReadAt(File, 6000, 1), (std::vector<UCHAR>{0}));

    /* An open that overwrites the file empties the cache of the stream
       another handle still reads. */
    HANDLE Again = CreateFileW(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               NULL, TRUNCATE_EXISTING, 0, NULL);
    ASSERT_NE(Again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(emu::CacheCountsOf(ObjectOf(File)).Pages, 0u);
    EXPECT_TRUE(ReadAt(File, 0, 10).empty());
    CloseHandle(Again);
    CloseHandle(File);
}

TEST_F(Cache, MappingAFileSendsSectionSynchronizationAndFaultsItsPagesIn)
{
    Load<Lower>("100000");
    Load<Pager>("200000");
    MakeFile(L"C:\\mapped.bin", 5000);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\mapped.bin", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    Pager::TakeSeen();
    TheLog.Take();
    HANDLE Mapping = CreateFileMappingW(File, NULL, PAGE_READWRITE, 0, 0, NULL);
    ASSERT_NE(Mapping, (HANDLE)NULL) << emu::user::LastStatus();
    std::vector<Seen> Seen = Pager::TakeSeen();
    ASSERT_EQ(Seen.size(), 2u);
    EXPECT_EQ(Seen[0].Major, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION);
    EXPECT_EQ(Seen[0].SyncType, SyncTypeCreateSection);
    EXPECT_EQ(Seen[0].PageProtection, (ULONG)PAGE_READWRITE);
    EXPECT_TRUE(Seen[0].FsFilter);  // a callback operation, not an IRP
    EXPECT_TRUE(Seen[0].Synchronous);
    EXPECT_EQ(Seen[1].Major, IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION);

    auto View = (PUCHAR)MapViewOfFile(Mapping, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(View, nullptr) << emu::user::LastStatus();
    EXPECT_EQ(View[4999], (UCHAR)4999);
    EXPECT_EQ(View[5000], 0);  // the rest of the last page reads as zeros
    std::vector<emu_test::Seen> Faults = Of(Pager::TakeSeen(), IRP_MJ_READ, true);
    ASSERT_EQ(Faults.size(), 2u);
    EXPECT_EQ(Faults[1].Offset, 4096);

    /* A modified page goes down as a paging write of the mapped page
       writer when the view is flushed; the file keeps its size. */
    View[10] = 0xCD;
    ASSERT_TRUE(FlushViewOfFile(View, 0));
    std::vector<emu_test::Seen> Writes = Of(Pager::TakeSeen(), IRP_MJ_WRITE, true);
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].Offset, 0);
    EXPECT_EQ(Writes[0].TopLevelIrp, (ULONG_PTR)FSRTL_MOD_WRITE_TOP_LEVEL_IRP);
    EXPECT_EQ(ReadAt(File, 10, 1)[0], 0xCD);  // the cache holds the mapped pages
    /* A mapped file cannot be truncated. */
    LARGE_INTEGER Zero = {};
    ASSERT_TRUE(SetFilePointerEx(File, Zero, NULL, FILE_BEGIN));
    EXPECT_FALSE(SetEndOfFile(File));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_USER_MAPPED_FILE);
    EXPECT_EQ(SizeOf(File), 5000);

    EXPECT_TRUE(UnmapViewOfFile(View));
    EXPECT_FALSE(UnmapViewOfFile(View));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_NOT_MAPPED_VIEW);
    CloseHandle(Mapping);
    CloseHandle(File);
    File = Open(L"C:\\mapped.bin", GENERIC_READ);
    EXPECT_EQ(ReadAt(File, 9, 3), (std::vector<UCHAR>{9, 0xCD, 11}));
    CloseHandle(File);
}

TEST_F(Cache, AFilterFailingTheAcquireFailsTheMappingWithoutARelease)
{
    Load<Pager>("200000");
    MakeFile(L"C:\\mapped.bin", 100);
    Pager::FailSectionWith = STATUS_INSUFFICIENT_RESOURCES;
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\mapped.bin", GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    Pager::TakeSeen();
    EXPECT_EQ(CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL), (HANDLE)NULL);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_INSUFFICIENT_RESOURCES);
    std::vector<Seen> Seen = Pager::TakeSeen();
    ASSERT_EQ(Seen.size(), 1u);
    EXPECT_EQ(Seen[0].Major, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION);
    EXPECT_EQ(Seen[0].PageProtection, (ULONG)PAGE_READONLY);
    EXPECT_FALSE(emu::CacheCountsOf(ObjectOf(File)).Exists);

    /* What Windows refuses without asking a filter. */
    Pager::FailSectionWith = STATUS_SUCCESS;
    EXPECT_EQ(CreateFileMappingW(File, NULL, PAGE_READWRITE, 0, 0, NULL), (HANDLE)NULL);  // read-only handle
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_EQ(CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 200, NULL), (HANDLE)NULL);  // beyond a read-only file
    EXPECT_EQ(emu::user::LastStatus(), STATUS_SECTION_TOO_BIG);
    HANDLE Empty = CreateFileW(L"C:\\empty.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    EXPECT_EQ(CreateFileMappingW(Empty, NULL, PAGE_READONLY, 0, 0, NULL), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_INVALID);
    CloseHandle(Empty);
    HANDLE Mapping = CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL);
    ASSERT_NE(Mapping, (HANDLE)NULL);
    EXPECT_EQ(MapViewOfFile(Mapping, FILE_MAP_WRITE, 0, 0, 0), nullptr);  // a read-only section
    EXPECT_EQ(MapViewOfFile(Mapping, FILE_MAP_READ, 0, 4096, 0), nullptr);  // not on the granularity
    EXPECT_EQ(emu::user::LastStatus(), STATUS_MAPPED_ALIGNMENT);
    CloseHandle(Mapping);
    CloseHandle(File);
}

TEST_F(Cache, AStreamContextLivesWhileASectionOrViewKeepsTheStream)
{
    Load<Pager>("200000");
    Pager::AttachContexts = true;
    MakeFile(L"C:\\mapped.bin", 100);
    EXPECT_EQ(Pager::StreamContextCleanups.load(), 1);  // the stream went after MakeFile's close
    Pager::StreamContextCleanups = 0;
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\mapped.bin", GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    HANDLE Mapping = CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL);
    ASSERT_NE(Mapping, (HANDLE)NULL);
    auto View = (const UCHAR *)MapViewOfFile(Mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(View, nullptr);
    PFILE_OBJECT Object = ObjectOf(File);
    ObReferenceObject(Object);

    /* The file's handle and the section's handle go: the view keeps the
       stream, and with it the context. */
    CloseHandle(File);
    EXPECT_EQ(Pager::StreamContextCleanups.load(), 0);
    CloseHandle(Mapping);
    EXPECT_EQ(Pager::StreamContextCleanups.load(), 0);
    emu::CacheCounts Counts = emu::CacheCountsOf(Object);
    EXPECT_EQ(Counts.Sections, 0u);
    EXPECT_EQ(Counts.Views, 1u);
    EXPECT_EQ(View[99], 99);
    PFLT_CONTEXT Context = NULL;
    EXPECT_EQ(FltGetStreamContext(System.InstanceOn(Volume, Pager::Filter), Object, &Context), STATUS_SUCCESS);
    FltReleaseContext(Context);
    ObDereferenceObject(Object);

    /* The view goes: the stream's last close tears the context down. */
    EXPECT_TRUE(UnmapViewOfFile(View));
    EXPECT_EQ(Pager::StreamContextCleanups.load(), 1);
}

TEST_F(Cache, AProcessEndingUnmapsItsViewsAndWritesWhatItModified)
{
    Load<Pager>("200000");
    MakeFile(L"C:\\mapped.bin", 100);
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = Open(L"C:\\mapped.bin", GENERIC_READ | GENERIC_WRITE);
        HANDLE Mapping = CreateFileMappingW(File, NULL, PAGE_READWRITE, 0, 0, NULL);
        ASSERT_NE(Mapping, (HANDLE)NULL);
        auto View = (PUCHAR)MapViewOfFile(Mapping, FILE_MAP_WRITE, 0, 0, 0);
        ASSERT_NE(View, nullptr);
        View[0] = 0xEE;
        CloseHandle(Mapping);
        CloseHandle(File);
    }
    Pager::TakeSeen();
    System.Terminate(Program);
    std::vector<Seen> Writes = Of(Pager::TakeSeen(), IRP_MJ_WRITE, true);
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].TopLevelIrp, (ULONG_PTR)FSRTL_MOD_WRITE_TOP_LEVEL_IRP);
    Program = System.CreateProcess("again.exe");
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\mapped.bin", GENERIC_READ);
    EXPECT_EQ(ReadAt(File, 0, 2), (std::vector<UCHAR>{0xEE, 1}));
    CloseHandle(File);
}

TEST_F(Cache, ProgramsWritingAndClosingAtOnceLoseNoPage)
{
    Load<Pager>("200000");
    MakeFile(L"C:\\shared.bin", 8 * 4096);
    std::vector<std::thread> Writers;
    for (int Writer = 0; Writer < 8; Writer += 1) {
        Writers.emplace_back([this, Writer] {
            emu::ProcessScope InProgram(Program);
            for (int Round = 0; Round < 20; Round += 1) {
                HANDLE File = Open(L"C:\\shared.bin", GENERIC_READ | GENERIC_WRITE);
                ASSERT_NE(File, INVALID_HANDLE_VALUE);
                WriteAt(File, (ULONGLONG)Writer * 4096 + Round, {(UCHAR)(Writer + 1)});
                EXPECT_EQ(ReadAt(File, (ULONGLONG)Writer * 4096 + Round, 1), (std::vector<UCHAR>{(UCHAR)(Writer + 1)}));
                CloseHandle(File);
            }
        });
    }
    for (std::thread &Writer : Writers) {
        Writer.join();
    }
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\shared.bin", GENERIC_READ);
    for (int Writer = 0; Writer < 8; Writer += 1) {
        std::vector<UCHAR> Want(20, (UCHAR)(Writer + 1));
        Want.push_back((UCHAR)(Writer * 4096 + 20));
        EXPECT_EQ(ReadAt(File, (ULONGLONG)Writer * 4096, 21), Want) << Writer;
    }
    CloseHandle(File);
}

TEST_F(Cache, AFileOfManyGigabytesIsSparseInMemory)
{
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\huge.bin", GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    LARGE_INTEGER End;
    End.QuadPart = 64LL << 30;  // 64 GiB: far more than the test machine's memory
    ASSERT_TRUE(SetFilePointerEx(File, End, NULL, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(File));
    WriteAt(File, (40ULL << 30) + 4090, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    ASSERT_TRUE(FlushFileBuffers(File));
    EXPECT_EQ(ReadAt(File, (40ULL << 30) + 4088, 4), (std::vector<UCHAR>{0, 0, 1, 2}));
    EXPECT_EQ(ReadAt(File, 20ULL << 30, 2), (std::vector<UCHAR>{0, 0}));
    EXPECT_EQ(SizeOf(File), 64LL << 30);
    CloseHandle(File);
}

}  // namespace
}  // namespace emu_test
