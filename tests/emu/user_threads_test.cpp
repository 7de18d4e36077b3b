/*
 * Programs' threads (CreateThread, WaitForSingleObject, GetExitCodeThread),
 * GetFileInformationByHandleEx, and the observer of the filter chain's
 * decisions.
 */
#include <atomic>
#include <mutex>

#include "TestFilter.h"
#include "EmuTesting.h"

namespace emu_test {
namespace {

struct ThreadWork {
    std::atomic<bool> Go{false};
    DWORD ThreadId = 0;
    uint64_t Process = 0;
    /* Atomic: one test reads it while the thread runs on, unjoined. */
    std::atomic<HANDLE> File{INVALID_HANDLE_VALUE};
};

DWORD WINAPI Worker(LPVOID Parameter)
{
    auto Work = (ThreadWork *)Parameter;
    while (!Work->Go.load()) {
        std::this_thread::yield();
    }
    Work->ThreadId = GetCurrentThreadId();
    Work->Process = (uint64_t)PsGetCurrentProcessId();
    /* A handle the thread opens is its process's. */
    Work->File = CreateFileW(L"C:\\made-by-thread.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    return 42;
}

using ProgramThreads = EmulatorTest;

TEST_F(ProgramThreads, AThreadRunsInItsProcessAndItsHandleSignalsWhenItEnds)
{
    emu::ProcessScope InProgram(Program);
    ThreadWork Work;
    DWORD Id = 0;
    HANDLE Thread = CreateThread(NULL, 0, Worker, &Work, 0, &Id);
    ASSERT_NE(Thread, (HANDLE)NULL);
    EXPECT_NE(Id, 0u);
    EXPECT_EQ(WaitForSingleObject(Thread, 0), (DWORD)WAIT_TIMEOUT);
    DWORD Code = 0;
    EXPECT_TRUE(GetExitCodeThread(Thread, &Code));
    EXPECT_EQ(Code, (DWORD)STILL_ACTIVE);
    Work.Go = true;
    EXPECT_EQ(WaitForSingleObject(Thread, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(Thread, &Code));
    EXPECT_EQ(Code, 42u);
    EXPECT_EQ(Work.ThreadId, Id);
    EXPECT_NE(Work.ThreadId, GetCurrentThreadId());
    EXPECT_EQ(Work.Process, (uint64_t)PsGetCurrentProcessId());
    ASSERT_NE(Work.File.load(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(Work.File.load()));  // the thread's handle, closed by its process
    EXPECT_TRUE(CloseHandle(Thread));
    EXPECT_EQ(WaitForSingleObject(Thread, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(ProgramThreads, AThreadWhoseHandleIsClosedFirstRunsToItsEnd)
{
    emu::ProcessScope InProgram(Program);
    ThreadWork Work;
    HANDLE Thread = CreateThread(NULL, 0, Worker, &Work, 0, NULL);
    ASSERT_NE(Thread, (HANDLE)NULL);
    EXPECT_TRUE(CloseHandle(Thread));
    Work.Go = true;
    while (Work.File.load() == INVALID_HANDLE_VALUE) {
        std::this_thread::yield();
    }
    CloseHandle(Work.File.load());
}

TEST_F(ProgramThreads, UnsupportedRequestsFailWithClearErrors)
{
    emu::ProcessScope InProgram(Program);
    ThreadWork Work;
    EXPECT_EQ(CreateThread(NULL, 0, Worker, &Work, 0x4 /* CREATE_SUSPENDED */, NULL), (HANDLE)NULL);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateThread(NULL, 0, NULL, &Work, 0, NULL), (HANDLE)NULL);
    HANDLE Thread = CreateThread(NULL, 0, Worker, &Work, 0, NULL);
    EXPECT_EQ(WaitForSingleObject(Thread, 5000), WAIT_FAILED);  // only INFINITE and 0
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    Work.Go = true;
    EXPECT_EQ(WaitForSingleObject(Thread, INFINITE), (DWORD)WAIT_OBJECT_0);
    CloseHandle(Work.File.load());
    CloseHandle(Thread);
}

TEST_F(ProgramThreads, FileInformationByHandleGivesSizesAllocationAndAttributes)
{
    MakeFile(L"C:\\info.bin", 5000);
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\info.bin", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    FILE_STANDARD_INFO Standard = {};
    ASSERT_TRUE(GetFileInformationByHandleEx(File, FileStandardInfo, &Standard, sizeof(Standard)));
    EXPECT_EQ(Standard.EndOfFile.QuadPart, 5000);
    EXPECT_EQ(Standard.AllocationSize.QuadPart, 8192);
    EXPECT_EQ(Standard.NumberOfLinks, 1u);
    EXPECT_FALSE(Standard.Directory);
    FILE_BASIC_INFO Basic = {};
    ASSERT_TRUE(GetFileInformationByHandleEx(File, FileBasicInfo, &Basic, sizeof(Basic)));
    EXPECT_TRUE(Basic.FileAttributes & FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_NE(Basic.LastWriteTime.QuadPart, 0);
    EXPECT_FALSE(GetFileInformationByHandleEx(File, FileStandardInfo, &Standard, 8));
    EXPECT_FALSE(GetFileInformationByHandleEx(File, FileNameInfo, &Basic, sizeof(Basic)));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    CloseHandle(File);
}

TEST_F(ProgramThreads, TheOperationTracerSeesEachPreOperationsDecision)
{
    Load<Lower>("100000");
    MakeFile(L"C:\\traced.bin", 100);
    std::mutex Lock;
    std::vector<emu::OperationTrace> Seen;
    emu::SetOperationTracer([&](const emu::OperationTrace &Trace) {
        std::lock_guard<std::mutex> Guard(Lock);
        Seen.push_back(Trace);
    });
    Lower::Reads = ReadMode::Complete;
    std::vector<UCHAR> Data;
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = CreateFileW(L"C:\\traced.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        char Buffer[16];
        DWORD Read = 0;
        ReadFile(File, Buffer, sizeof(Buffer), &Read, NULL);
        CloseHandle(File);
    }
    emu::SetOperationTracer({});
    Lower::Reads = ReadMode::Pass;
    bool SawCreate = false, SawRead = false;
    for (const emu::OperationTrace &Trace : Seen) {
        EXPECT_EQ(Trace.Altitude, "100000");
        if (Trace.MajorFunction == IRP_MJ_CREATE) {
            SawCreate = Trace.FileName == u"\\traced.bin";
        }
        if (Trace.MajorFunction == IRP_MJ_READ && Trace.Decision == FLT_PREOP_COMPLETE) {
            SawRead = true;
        }
    }
    EXPECT_TRUE(SawCreate);
    EXPECT_TRUE(SawRead);
    size_t Before = Seen.size();
    MakeFile(L"C:\\untraced.bin", 10);
    EXPECT_EQ(Seen.size(), Before);  // cleared: nothing more
}

}  // namespace
}  // namespace emu_test
