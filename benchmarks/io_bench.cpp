/*
 * io_bench.cpp - one 4 KiB read of a cached file by a program: through an
 * empty filter chain, and through one pass-through filter (pre- and
 * post-read callbacks that do nothing).  The ratio of the two is the cost
 * of the filter manager's walk for a filter that only passes reads on.
 * Then the same read from the cache against a non-cached read of the
 * same 4 KiB (a handle opened with FILE_FLAG_NO_BUFFERING, which flushes
 * nothing and reaches the disk every time).
 */
#include <benchmark/benchmark.h>

#include <windows.h>

#include <memory>
#include <vector>

#include "EmuTesting.h"

namespace {

PFLT_FILTER PassThroughFilter = nullptr;

FLT_PREOP_CALLBACK_STATUS FLTAPI PassPre(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID *)
{
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI PassPost(PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS, PVOID, FLT_POST_OPERATION_FLAGS)
{
    return FLT_POSTOP_FINISHED_PROCESSING;
}

NTSTATUS FLTAPI PassUnload(FLT_FILTER_UNLOAD_FLAGS)
{
    FltUnregisterFilter(PassThroughFilter);
    return STATUS_SUCCESS;
}

const FLT_OPERATION_REGISTRATION PassOperations[] = {
    {IRP_MJ_READ, 0, PassPre, PassPost},
    {IRP_MJ_OPERATION_END},
};

NTSTATUS PassEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    FLT_REGISTRATION Registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, NULL, PassOperations,
                                     PassUnload};
    NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &PassThroughFilter);
    return NT_SUCCESS(Status) ? FltStartFiltering(PassThroughFilter) : Status;
}

void ReadFourKiB(benchmark::State &State, bool WithFilter)
{
    auto System = std::make_unique<emu::System>();
    System->Mount();
    if (WithFilter) {
        System->LoadDriver(PassEntry, u"passthrough", "200000");
    }
    emu::EmuProcess *Program = System->CreateProcess("program.exe");
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                  0, NULL);
        std::vector<UCHAR> Data(4096, 0x5A);
        DWORD Count = 0;
        WriteFile(File, Data.data(), 4096, &Count, NULL);
        OVERLAPPED Start = {};
        ReadFile(File, Data.data(), 4096, &Count, &Start);  // the file is cached from here on
        for (auto _ : State) {
            ReadFile(File, Data.data(), 4096, &Count, &Start);
            benchmark::DoNotOptimize(Data.data());
        }
        CloseHandle(File);
    }
    System->Terminate(Program);
    if (WithFilter) {
        System->UnloadDriver(u"passthrough");
    }
}

void BM_Read4KiB_EmptyChain(benchmark::State &State)
{
    ReadFourKiB(State, false);
}

void BM_Read4KiB_PassThroughFilter(benchmark::State &State)
{
    ReadFourKiB(State, true);
}

/* A 4 KiB read through an empty chain, cached (its page in memory) or
   non-cached (to the disk, as an IRP every time). */
void ReadFourKiBCachedOrNot(benchmark::State &State, bool Cached)
{
    auto System = std::make_unique<emu::System>();
    System->Mount();
    emu::EmuProcess *Program = System->CreateProcess("program.exe");
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Writer = CreateFileW(L"C:\\data.bin", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        std::vector<UCHAR> Data(4096, 0x5A);
        DWORD Count = 0;
        WriteFile(Writer, Data.data(), 4096, &Count, NULL);
        CloseHandle(Writer);
        HANDLE File = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  Cached ? 0 : FILE_FLAG_NO_BUFFERING, NULL);
        OVERLAPPED Start = {};
        ReadFile(File, Data.data(), 4096, &Count, &Start);
        for (auto _ : State) {
            ReadFile(File, Data.data(), 4096, &Count, &Start);
            benchmark::DoNotOptimize(Data.data());
        }
        CloseHandle(File);
    }
    System->Terminate(Program);
}

void BM_Read4KiB_Cached(benchmark::State &State)
{
    ReadFourKiBCachedOrNot(State, true);
}

void BM_Read4KiB_NonCached(benchmark::State &State)
{
    ReadFourKiBCachedOrNot(State, false);
}

BENCHMARK(BM_Read4KiB_EmptyChain);
BENCHMARK(BM_Read4KiB_PassThroughFilter);
BENCHMARK(BM_Read4KiB_Cached);
BENCHMARK(BM_Read4KiB_NonCached);

}  // namespace
