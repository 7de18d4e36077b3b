/*
 * placeholder_bench.cpp - creating 10,000 files in one directory of a sync
 * root, as the service populates it: each a placeholder made by the
 * placeholder control request (one atomic create below the filter, with
 * its reparse point, size, times and attributes), against the same names
 * made as empty files by a plain create and close through the same filter.
 * Both run in one benchmark run; "requests/s" is files made per second of
 * the service's time.  Each iteration boots a fresh system, so every
 * iteration fills an empty directory.
 */
#include <benchmark/benchmark.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "EmuTesting.h"
#include "ServiceClient.h"
#include "Zentaflt.h"

namespace {

namespace service = zentaflt::service;

constexpr int FileCount = 10000;

std::u16string NameOf(int Index)
{
    std::u16string Name = u"file";
    for (char Digit : std::to_string(Index)) {
        Name += (char16_t)Digit;
    }
    return Name + u".txt";
}

void CreateFiles(benchmark::State &State, bool Placeholders)
{
    std::vector<service::PlaceholderDescription> Descriptions(FileCount);
    for (int Index = 0; Index < FileCount; Index += 1) {
        service::PlaceholderDescription &Placeholder = Descriptions[Index];
        Placeholder.Name = NameOf(Index);
        Placeholder.FileSize = 4096 + Index;
        Placeholder.CreationTime.QuadPart = 131000000000000000LL + Index;
        Placeholder.LastAccessTime = Placeholder.LastWriteTime = Placeholder.ChangeTime = Placeholder.CreationTime;
        Placeholder.FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
        Placeholder.ReparseData.assign(64, (unsigned char)Index);
    }
    std::vector<std::u16string> Paths(FileCount);
    for (int Index = 0; Index < FileCount; Index += 1) {
        Paths[Index] = u"C:\\Sync\\" + NameOf(Index);
    }

    int64_t Made = 0;
    for (auto _ : State) {
        State.PauseTiming();
        auto System = std::make_unique<emu::System>();
        System->Mount();
        RtlZeroMemory(&FilterGlobals, sizeof(FilterGlobals));
        System->LoadDriver(DriverEntry);
        emu::EmuProcess *Service = System->CreateProcess("service.exe");
        emu::ProcessScope InService(Service);
        CreateDirectoryW(L"C:\\Sync", NULL);
        HANDLE Directory = CreateFileW(L"C:\\Sync", FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        State.ResumeTiming();

        for (int Index = 0; Index < FileCount; Index += 1) {
            if (Placeholders) {
                if (service::CreatePlaceholder(Directory, Descriptions[Index]) == S_OK) {
                    Made += 1;
                }
            } else {
                HANDLE File = CreateFileW((LPCWSTR)Paths[Index].c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
                if (File != INVALID_HANDLE_VALUE) {
                    CloseHandle(File);
                    Made += 1;
                }
            }
        }

        State.PauseTiming();
        CloseHandle(Directory);
        System->Terminate(Service);
        System->UnloadDriver(0);
        System.reset();
        State.ResumeTiming();
    }
    if (Made != (int64_t)State.iterations() * FileCount) {
        State.SkipWithError("not every file was made");
    }
    State.counters["requests/s"] = benchmark::Counter((double)Made, benchmark::Counter::kIsRate);
}

void BM_Create10000Placeholders(benchmark::State &State)
{
    CreateFiles(State, true);
}

void BM_Create10000EmptyFiles(benchmark::State &State)
{
    CreateFiles(State, false);
}

BENCHMARK(BM_Create10000Placeholders)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Create10000EmptyFiles)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
