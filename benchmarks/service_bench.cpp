/*
 * service_bench.cpp - the reference service at work in the emulated
 * system: populating a sync root with 10,000 placeholders, and hydrating
 * 1,000 files of 1 MiB as a program reads them (the service serving from
 * memory, 1 MiB pieces, 4 pool threads), against the same program writing
 * the same 1,000 files of 1 MiB with plain file calls (a copy).  Each file
 * is deleted once used, so memory stays small.  Counters give files and
 * bytes per second.
 */
#include <benchmark/benchmark.h>

#include <windows.h>

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "Emulated.h"
#include "Reference.h"

namespace {

using namespace zentaflt::reference;
namespace service = zentaflt::service;

constexpr size_t MiB = 1024 * 1024;

/* A booted system with C:\Sync, the service process and a program. */
struct Machine {
    EmulatedWindows Windows;
    emu::EmuProcess *Program = nullptr;

    Machine()
    {
        Windows.Boot(false);
        Program = Windows.System().CreateProcess("program.exe");
        emu::ProcessScope InService(Windows.ServiceProcess());
        Windows.CreateDirectories(u"C:\\Sync");
    }

    ~Machine()
    {
        std::vector<std::string> Leaks;
        Windows.Shutdown(&Leaks);
    }
};

std::u16string Numbered(const char16_t *Prefix, int Index)
{
    std::u16string Name = Prefix;
    for (char Digit : std::to_string(Index)) {
        Name += (char16_t)Digit;
    }
    return Name;
}

void BM_PopulateTenThousandPlaceholders(benchmark::State &State)
{
    const int Count = 10000;
    for (auto _ : State) {
        State.PauseTiming();
        auto Box = std::make_unique<Machine>();
        std::vector<SourceEntry> Entries;
        for (int Index = 0; Index < Count; Index += 1) {
            SourceEntry Entry;
            Entry.Relative = "d" + std::to_string(Index / 1000) + "/f" + std::to_string(Index) + ".bin";
            if (Index % 1000 == 0) {
                SourceEntry Directory;
                Directory.Relative = "d" + std::to_string(Index / 1000);
                Directory.Directory = true;
                Entries.push_back(Directory);
            }
            Entry.Size = 1 + (ULONGLONG)Index * 37;
            Entries.push_back(Entry);
        }
        State.ResumeTiming();
        PopulateCounts Counts;
        {
            emu::ProcessScope InService(Box->Windows.ServiceProcess());
            Populate(u"C:\\Sync", Entries, &Counts, nullptr);
        }
        if (Counts.Placeholders != (ULONGLONG)Count) {
            State.SkipWithError("not every placeholder was made");
        }
        State.PauseTiming();
        Box.reset();
        State.ResumeTiming();
    }
    State.counters["placeholders/s"] = benchmark::Counter((double)Count * State.iterations(), benchmark::Counter::kIsRate);
}

void BM_HydrateThousandFilesOfOneMiB(benchmark::State &State)
{
    const int Count = 1000;
    std::vector<unsigned char> Data(MiB);
    for (size_t Index = 0; Index < Data.size(); Index += 1) {
        Data[Index] = (unsigned char)(Index * 7 + 3);
    }
    for (auto _ : State) {
        State.PauseTiming();
        auto Box = std::make_unique<Machine>();
        std::vector<service::PlaceholderDescription> Files(Count);
        for (int Index = 0; Index < Count; Index += 1) {
            Files[Index].Name = Numbered(u"f", Index);
            Files[Index].FileSize = (LONGLONG)MiB;
            Files[Index].ReparseData = {'x'};
        }
        service::SyncService Service;
        {
            emu::ProcessScope InService(Box->Windows.ServiceProcess());
            service::MakePlaceholders(L"C:\\Sync", Files);
            Service.Start(L"C:\\Sync", [&](const service::HydrationRequest &, ULONGLONG Offset, void *Buffer,
                                          ULONG Length) {
                memcpy(Buffer, Data.data() + Offset, Length);
                return service::Success();
            });
        }
        std::vector<unsigned char> Read(MiB);
        State.ResumeTiming();
        {
            emu::ProcessScope InProgram(Box->Program);
            for (int Index = 0; Index < Count; Index += 1) {
                std::u16string Path = u"C:\\Sync\\" + Numbered(u"f", Index);
                HANDLE File = CreateFileW((LPCWSTR)Path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, NULL,
                                          OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, NULL);
                DWORD Done = 0;
                if (File == INVALID_HANDLE_VALUE || !ReadFile(File, Read.data(), (DWORD)MiB, &Done, NULL) ||
                    Done != MiB) {
                    State.SkipWithError("a read failed");
                }
                CloseHandle(File);
            }
        }
        State.PauseTiming();
        {
            emu::ProcessScope InService(Box->Windows.ServiceProcess());
            Service.Stop();
        }
        Box.reset();
        State.ResumeTiming();
    }
    State.SetBytesProcessed((int64_t)State.iterations() * Count * (int64_t)MiB);
}

void BM_CopyThousandFilesOfOneMiB(benchmark::State &State)
{
    const int Count = 1000;
    std::vector<unsigned char> Data(MiB, 0x5A);
    for (auto _ : State) {
        State.PauseTiming();
        auto Box = std::make_unique<Machine>();
        State.ResumeTiming();
        {
            emu::ProcessScope InProgram(Box->Program);
            for (int Index = 0; Index < Count; Index += 1) {
                std::u16string Path = u"C:\\Sync\\" + Numbered(u"c", Index);
                HANDLE File = CreateFileW((LPCWSTR)Path.c_str(), GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                                          FILE_FLAG_DELETE_ON_CLOSE, NULL);
                DWORD Done = 0;
                if (File == INVALID_HANDLE_VALUE || !WriteFile(File, Data.data(), (DWORD)MiB, &Done, NULL) ||
                    Done != MiB) {
                    State.SkipWithError("a write failed");
                }
                CloseHandle(File);
            }
        }
        State.PauseTiming();
        Box.reset();
        State.ResumeTiming();
    }
    State.SetBytesProcessed((int64_t)State.iterations() * Count * (int64_t)MiB);
}

}  // namespace

BENCHMARK(BM_PopulateTenThousandPlaceholders)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_HydrateThousandFilesOfOneMiB)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_CopyThousandFilesOfOneMiB)->Unit(benchmark::kMillisecond)->Iterations(2);

BENCHMARK_MAIN();
