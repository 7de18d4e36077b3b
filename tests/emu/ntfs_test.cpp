/*
 * The emulated NTFS behind a filter's own requests: reparse points,
 * attributes and times, sparse files and zeroing, end of file, the USN
 * journal, extra create parameters and stream contexts.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <windows.h>

#include "EmuTesting.h"

namespace {

constexpr ULONG TestTag = 0x20000099;
constexpr GUID TestGuid = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr ULONG StreamTag = 0x78745353;  // 'SStx'

struct TestFilter {
    PFLT_FILTER Filter = nullptr;
    std::atomic<int> Cleanups{0};
} Filter;

VOID FLTAPI CleanupStream(PFLT_CONTEXT, FLT_CONTEXT_TYPE)
{
    Filter.Cleanups += 1;
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS)
{
    FltUnregisterFilter(Filter.Filter);
    return STATUS_SUCCESS;
}

const FLT_CONTEXT_REGISTRATION Contexts[] = {
    {FLT_STREAM_CONTEXT, 0, CleanupStream, 32, StreamTag, NULL, NULL, NULL},
    {FLT_CONTEXT_END},
};
const FLT_OPERATION_REGISTRATION NoOperations[] = {{IRP_MJ_OPERATION_END}};

NTSTATUS Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    FLT_REGISTRATION Registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, Contexts, NoOperations,
                                     Unload};
    NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &Filter.Filter);
    if (NT_SUCCESS(Status)) {
        Status = FltStartFiltering(Filter.Filter);
    }
    return Status;
}

class EmulatedNtfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        Filter.Cleanups = 0;
        Volume = System.Mount();
        ASSERT_EQ(System.LoadDriver(Entry), STATUS_SUCCESS);
        Instance = System.InstanceOn(Volume);
        Program = System.CreateProcess("program.exe");
        emu::ProcessScope InProgram(Program);
        Handle = CreateFileW(L"C:\\file.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             CREATE_NEW, 0, NULL);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
                  STATUS_SUCCESS);
    }

    void TearDown() override
    {
        if (File != nullptr) {
            ObDereferenceObject(File);
        }
        System.Terminate(Program);
        EXPECT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    void Write(ULONGLONG Offset, size_t Length, UCHAR Fill)
    {
        emu::ProcessScope InProgram(Program);
        std::vector<UCHAR> Data(Length, Fill);
        OVERLAPPED At = {};
        At.Offset = (DWORD)Offset;
        At.OffsetHigh = (DWORD)(Offset >> 32);
        DWORD Written = 0;
        ASSERT_TRUE(WriteFile(Handle, Data.data(), (DWORD)Length, &Written, &At));
        ASSERT_EQ(Written, Length);
    }

    FILE_BASIC_INFORMATION Basic()
    {
        FILE_BASIC_INFORMATION Information = {};
        ULONG Returned = 0;
        EXPECT_EQ(FltQueryInformationFile(Instance, File, &Information, sizeof(Information), FileBasicInformation,
                                          &Returned),
                  STATUS_SUCCESS);
        EXPECT_EQ(Returned, sizeof(Information));
        return Information;
    }

    NTSTATUS Control(ULONG Code, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength, ULONG *Returned)
    {
        return FltFsControlFile(Instance, File, Code, Input, InputLength, Output, OutputLength, Returned);
    }

    emu::System System;
    PFLT_VOLUME Volume = nullptr;
    PFLT_INSTANCE Instance = nullptr;
    emu::EmuProcess *Program = nullptr;
    HANDLE Handle = nullptr;
    PFILE_OBJECT File = nullptr;
};

TEST_F(EmulatedNtfs, ReparsePointsWithAGuid)
{
    UCHAR Data[100];
    for (int Index = 0; Index < 100; Index += 1) {
        Data[Index] = (UCHAR)Index;
    }
    ULONG Returned = 0;
    UCHAR Buffer[1048];
    EXPECT_EQ(Control(FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer, sizeof(Buffer), &Returned), STATUS_NOT_A_REPARSE_POINT);
    EXPECT_EQ(FltTagFile(Instance, File, TestTag, NULL, Data, 100), STATUS_INVALID_PARAMETER);
    GUID Guid = TestGuid;
    ASSERT_EQ(FltTagFile(Instance, File, TestTag, &Guid, Data, 100), STATUS_SUCCESS);
    EXPECT_TRUE(Basic().FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);

    ASSERT_EQ(Control(FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer, sizeof(Buffer), &Returned), STATUS_SUCCESS);
    EXPECT_EQ(Returned, 124u);
    auto Header = (PREPARSE_GUID_DATA_BUFFER)Buffer;
    EXPECT_EQ(Header->ReparseTag, TestTag);
    EXPECT_EQ(Header->ReparseDataLength, 100);
    EXPECT_EQ(memcmp(&Header->ReparseGuid, &TestGuid, sizeof(GUID)), 0);
    EXPECT_EQ(memcmp(Buffer + 24, Data, 100), 0);

    /* Too small for the header, or for the data. */
    EXPECT_EQ(Control(FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer, 23, &Returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer, 60, &Returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(Returned, 60u);

    /* Another tag, or the same tag with another GUID, conflicts. */
    GUID Other = TestGuid;
    Other.Data1 += 1;
    EXPECT_EQ(FltTagFile(Instance, File, TestTag + 1, &Guid, Data, 4), STATUS_IO_REPARSE_TAG_MISMATCH);
    EXPECT_EQ(FltTagFile(Instance, File, TestTag, &Other, Data, 4), STATUS_REPARSE_ATTRIBUTE_CONFLICT);
    EXPECT_EQ(FltUntagFile(Instance, File, TestTag, &Other), STATUS_REPARSE_ATTRIBUTE_CONFLICT);
    EXPECT_EQ(FltUntagFile(Instance, File, TestTag + 1, &Guid), STATUS_IO_REPARSE_TAG_MISMATCH);
    ASSERT_EQ(FltUntagFile(Instance, File, TestTag, &Guid), STATUS_SUCCESS);
    EXPECT_FALSE(Basic().FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_EQ(FltUntagFile(Instance, File, TestTag, &Guid), STATUS_NOT_A_REPARSE_POINT);

    /* More data than a reparse point holds. */
    std::vector<UCHAR> Huge(16 * 1024, 1);
    EXPECT_EQ(FltTagFile(Instance, File, TestTag, &Guid, Huge.data(), (USHORT)Huge.size()),
              STATUS_IO_REPARSE_DATA_INVALID);
}

TEST_F(EmulatedNtfs, MicrosoftTagsHaveAnEightByteHeader)
{
    UCHAR Data[4] = {9, 8, 7, 6};
    ASSERT_EQ(FltTagFile(Instance, File, IO_REPARSE_TAG_DEDUP, NULL, Data, 4), STATUS_SUCCESS);
    UCHAR Buffer[64];
    ULONG Returned = 0;
    ASSERT_EQ(Control(FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer, sizeof(Buffer), &Returned), STATUS_SUCCESS);
    EXPECT_EQ(Returned, 12u);
    EXPECT_EQ(Buffer[8], 9);
    ASSERT_EQ(FltUntagFile(Instance, File, IO_REPARSE_TAG_DEDUP, NULL), STATUS_SUCCESS);
}

TEST_F(EmulatedNtfs, BasicInformationTimeRules)
{
    Write(0, 10, 1);
    FILE_BASIC_INFORMATION Before = Basic();
    System.SystemClock().Advance(10000000);

    /* Zero times leave them alone but the change time moves. */
    FILE_BASIC_INFORMATION Set = {};
    Set.FileAttributes = Before.FileAttributes | FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(FltSetInformationFile(Instance, File, &Set, sizeof(Set), FileBasicInformation), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION After = Basic();
    EXPECT_EQ(After.LastWriteTime.QuadPart, Before.LastWriteTime.QuadPart);
    EXPECT_GT(After.ChangeTime.QuadPart, Before.ChangeTime.QuadPart);
    EXPECT_TRUE(After.FileAttributes & FILE_ATTRIBUTE_HIDDEN);

    /* -1 leaves every time and freezes them for this file object. */
    System.SystemClock().Advance(10000000);
    FILE_BASIC_INFORMATION Frozen = After;
    Frozen.CreationTime.QuadPart = Frozen.LastAccessTime.QuadPart = -1;
    Frozen.LastWriteTime.QuadPart = Frozen.ChangeTime.QuadPart = -1;
    Frozen.FileAttributes |= FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_SPARSE_FILE;
    ASSERT_EQ(FltSetInformationFile(Instance, File, &Frozen, sizeof(Frozen), FileBasicInformation), STATUS_SUCCESS);
    FILE_SET_SPARSE_BUFFER Sparse = {TRUE};
    ULONG Returned = 0;
    ASSERT_EQ(Control(FSCTL_SET_SPARSE, &Sparse, sizeof(Sparse), NULL, 0, &Returned), STATUS_SUCCESS);
    FILE_BASIC_INFORMATION Final = Basic();
    EXPECT_EQ(Final.CreationTime.QuadPart, After.CreationTime.QuadPart);
    EXPECT_EQ(Final.LastWriteTime.QuadPart, After.LastWriteTime.QuadPart);
    EXPECT_EQ(Final.ChangeTime.QuadPart, After.ChangeTime.QuadPart);
    EXPECT_TRUE(Final.FileAttributes & FILE_ATTRIBUTE_OFFLINE);
    /* The sparse attribute follows the sparse mark, not basic information. */
    EXPECT_TRUE(Final.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE);
    Sparse.SetSparse = FALSE;
    Frozen.FileAttributes = Final.FileAttributes;
    ASSERT_EQ(FltSetInformationFile(Instance, File, &Frozen, sizeof(Frozen), FileBasicInformation), STATUS_SUCCESS);
    EXPECT_TRUE(Basic().FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE);
    ASSERT_EQ(Control(FSCTL_SET_SPARSE, &Sparse, sizeof(Sparse), NULL, 0, &Returned), STATUS_SUCCESS);
    EXPECT_FALSE(Basic().FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE);
}

TEST_F(EmulatedNtfs, ZeroingASparseFileFreesWholeClusters)
{
    Write(0, 5 * 4096, 0x5A);
    FILE_SET_SPARSE_BUFFER Sparse = {TRUE};
    ULONG Returned = 0;
    ASSERT_EQ(Control(FSCTL_SET_SPARSE, &Sparse, sizeof(Sparse), NULL, 0, &Returned), STATUS_SUCCESS);
    FILE_ZERO_DATA_INFORMATION Zero;
    Zero.FileOffset.QuadPart = 100;            // inside cluster 0
    Zero.BeyondFinalZero.QuadPart = 3 * 4096;  // clusters 1 and 2 whole
    ASSERT_EQ(Control(FSCTL_SET_ZERO_DATA, &Zero, sizeof(Zero), NULL, 0, &Returned), STATUS_SUCCESS);

    FILE_ALLOCATED_RANGE_BUFFER Query;
    Query.FileOffset.QuadPart = 0;
    Query.Length.QuadPart = 5 * 4096;
    FILE_ALLOCATED_RANGE_BUFFER Ranges[4];
    ASSERT_EQ(Control(FSCTL_QUERY_ALLOCATED_RANGES, &Query, sizeof(Query), Ranges, sizeof(Ranges), &Returned),
              STATUS_SUCCESS);
    ASSERT_EQ(Returned, 2 * sizeof(FILE_ALLOCATED_RANGE_BUFFER));
    EXPECT_EQ(Ranges[0].FileOffset.QuadPart, 0);
    EXPECT_EQ(Ranges[0].Length.QuadPart, 4096);
    EXPECT_EQ(Ranges[1].FileOffset.QuadPart, 3 * 4096);
    EXPECT_EQ(Ranges[1].Length.QuadPart, 2 * 4096);

    emu::ProcessScope InProgram(Program);
    UCHAR Read[200];
    DWORD Count = 0;
    OVERLAPPED At = {};
    ASSERT_TRUE(ReadFile(Handle, Read, sizeof(Read), &Count, &At));
    EXPECT_EQ(Read[99], 0x5A);
    EXPECT_EQ(Read[100], 0);
}

TEST_F(EmulatedNtfs, EndOfFileAndNetworkOpenInformation)
{
    FILE_END_OF_FILE_INFORMATION EndOfFile;
    EndOfFile.EndOfFile.QuadPart = 10000;
    ASSERT_EQ(FltSetInformationFile(Instance, File, &EndOfFile, sizeof(EndOfFile), FileEndOfFileInformation),
              STATUS_SUCCESS);
    FILE_NETWORK_OPEN_INFORMATION Open;
    ULONG Returned = 0;
    ASSERT_EQ(FltQueryInformationFile(Instance, File, &Open, sizeof(Open), FileNetworkOpenInformation, &Returned),
              STATUS_SUCCESS);
    EXPECT_EQ(Returned, 56u);
    EXPECT_EQ(Open.EndOfFile.QuadPart, 10000);
    EXPECT_EQ(FltQueryInformationFile(Instance, File, &Open, 40, FileNetworkOpenInformation, &Returned),
              STATUS_INFO_LENGTH_MISMATCH);
    /* The same size again changes nothing and is no journal event. */
    size_t Records = emu::ReadUsnJournal(Volume).size();
    ASSERT_EQ(FltSetInformationFile(Instance, File, &EndOfFile, sizeof(EndOfFile), FileEndOfFileInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::ReadUsnJournal(Volume).size(), Records);
}

TEST_F(EmulatedNtfs, UsnRecordsCarryTheMarkedSourceAndACloseRecord)
{
    MARK_HANDLE_INFO Mark = {};
    Mark.UsnSourceInfo = USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT;
    ULONG Returned = 0;
    ASSERT_EQ(Control(FSCTL_MARK_HANDLE, &Mark, sizeof(Mark), NULL, 0, &Returned), STATUS_SUCCESS);
    GUID Guid = TestGuid;
    UCHAR Data[8] = {};
    ASSERT_EQ(FltTagFile(Instance, File, TestTag, &Guid, Data, sizeof(Data)), STATUS_SUCCESS);
    USN Usn = 0;
    ASSERT_EQ(Control(FSCTL_WRITE_USN_CLOSE_RECORD, NULL, 0, &Usn, sizeof(Usn), &Returned), STATUS_SUCCESS);
    EXPECT_EQ(Returned, 8u);

    auto Journal = emu::ReadUsnJournal(Volume);
    ASSERT_GE(Journal.size(), 3u);
    const emu::UsnRecord &Change = Journal[Journal.size() - 2];
    const emu::UsnRecord &Close = Journal.back();
    EXPECT_TRUE(Change.Reason & USN_REASON_REPARSE_POINT_CHANGE);
    EXPECT_EQ(Change.SourceInfo, 8u);
    EXPECT_EQ(Close.Reason & USN_REASON_CLOSE, (ULONG)USN_REASON_CLOSE);
    EXPECT_EQ(Close.SourceInfo, 8u);
    EXPECT_EQ(Close.Usn, Usn);
    EXPECT_EQ(emu::Narrow(Close.FileName), "file.bin");
}

TEST_F(EmulatedNtfs, ExtraCreateParametersAreAccounted)
{
    static const GUID EcpType = {0x4720BD83, 0x52AC, 0x4104, {0xA1, 0x30, 0xD1, 0xEC, 0x6A, 0x8C, 0xC8, 0xE5}};
    PECP_LIST List = NULL;
    PVOID Context = NULL;
    ASSERT_EQ(FltAllocateExtraCreateParameter(Filter.Filter, &EcpType, 88, 0, NULL, 0x43454B7A, &Context),
              STATUS_SUCCESS);
    ASSERT_EQ(FltAllocateExtraCreateParameterList(Filter.Filter, 0, &List), STATUS_SUCCESS);
    ASSERT_EQ(FltInsertExtraCreateParameter(Filter.Filter, List, Context), STATUS_SUCCESS);
    EXPECT_EQ(System.Accounting().PoolByTag()[0x43454B7A].OutstandingBlocks, 1u);
    PVOID Found = NULL;
    ULONG Size = 0;
    ASSERT_EQ(FltFindExtraCreateParameter(Filter.Filter, List, &EcpType, &Found, &Size), STATUS_SUCCESS);
    EXPECT_EQ(Found, Context);
    EXPECT_EQ(Size, 88u);
    FltFreeExtraCreateParameterList(Filter.Filter, List);
    EXPECT_EQ(System.Accounting().PoolByTag()[0x43454B7A].OutstandingBlocks, 0u);
}

TEST_F(EmulatedNtfs, StreamContextsRaceAndGoWithTheStream)
{
    /* Many threads set a context on the same stream at once: one wins. */
    std::vector<std::thread> Threads;
    std::vector<PFLT_CONTEXT> Results(8, nullptr);
    std::atomic<int> Lost{0};
    for (int Index = 0; Index < 8; Index += 1) {
        Threads.emplace_back([&, Index] {
            PFLT_CONTEXT Mine = NULL;
            PFLT_CONTEXT Existing = NULL;
            ASSERT_EQ(FltAllocateContext(Filter.Filter, FLT_STREAM_CONTEXT, 32, NonPagedPoolNx, &Mine), STATUS_SUCCESS);
            NTSTATUS Status = FltSetStreamContext(Instance, File, FLT_SET_CONTEXT_KEEP_IF_EXISTS, Mine, &Existing);
            if (Status == STATUS_FLT_CONTEXT_ALREADY_DEFINED) {
                Lost += 1;
                FltReleaseContext(Mine);
                Results[Index] = Existing;
            } else {
                ASSERT_EQ(Status, STATUS_SUCCESS);
                Results[Index] = Mine;
            }
        });
    }
    for (auto &Thread : Threads) {
        Thread.join();
    }
    EXPECT_EQ(Lost.load(), 7);
    EXPECT_EQ(Filter.Cleanups.load(), 7);
    for (PFLT_CONTEXT Result : Results) {
        EXPECT_EQ(Result, Results[0]);
        FltReleaseContext(Result);
    }
    EXPECT_EQ(System.Accounting().LiveCount("context"), 1u);  // held by the stream

    /* The stream's last file object goes: its context goes with it. */
    ObDereferenceObject(File);
    File = nullptr;
    {
        emu::ProcessScope InProgram(Program);
        CloseHandle(Handle);
    }
    EXPECT_EQ(Filter.Cleanups.load(), 8);
    EXPECT_EQ(System.Accounting().LiveCount("context"), 0u);
}

}  // namespace
