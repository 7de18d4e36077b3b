/*
 * hydration_bench.cpp - what hydration and the filter's presence cost,
 * each measured side by side with its baseline in one run, so that the
 * ratios do not depend on how busy the machine was between runs:
 *
 *   BM_Hydrate64MiB          a program's first read of a 64 MiB placeholder,
 *                            served by a service thread in 1 MiB pieces,
 *                            against the program writing the same bytes in
 *                            1 MiB writes to a new file already given its
 *                            size, as the placeholder has it
 *                            (hydrate_per_write), and to a new file that
 *                            each write extends (hydrate_per_extending_write);
 *   BM_ReadOrdinaryFile      a 4 KiB read of an ordinary file inside a
 *                            connected sync root, against the same read on
 *                            a volume the filter is not attached to
 *                            (filtered_per_unfiltered);
 *   BM_OrdinaryReadPlatformCalls
 *                            the platform calls the filter makes per read of
 *                            an ordinary file: the driver's calls of
 *                            routines that can fail, the stream-context
 *                            lookups among them, lock acquisitions, contexts
 *                            made and messages sent, each the difference
 *                            between the filtered and the unfiltered read.
 *
 * Every iteration of the first two times both sides back to back; the
 * reported time is the filtered side's, the baseline and the ratio are
 * counters.
 */
#include <benchmark/benchmark.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EmuTesting.h"
#include "Zentaflt.h"
#include "ServiceClient.h"

namespace {

namespace service = zentaflt::service;

using Clock = std::chrono::steady_clock;

constexpr ULONG PieceSize = 1024 * 1024;

double Seconds(Clock::time_point Start, Clock::time_point End)
{
    return std::chrono::duration<double>(End - Start).count();
}

/* Bytes that differ from one offset to the next. */
std::vector<unsigned char> Content(size_t Length)
{
    std::vector<unsigned char> Data(Length);
    unsigned Value = 7;
    for (size_t Index = 0; Index < Length; Index += 1) {
        Value = Value * 1103515245u + 12345u;
        Data[Index] = (unsigned char)(Value >> 16);
    }
    return Data;
}

/* The filter on C: with C:\Sync connected by a service whose thread serves
   every hydrate message with Served, in 1 MiB pieces; D: (mounted after
   the filter started) with the filter detached; a program process. */
class Booted {
public:
    explicit Booted(std::vector<unsigned char> Served) : Served(std::move(Served))
    {
        System = std::make_unique<emu::System>();
        C = System->Mount();
        RtlZeroMemory(&FilterGlobals, sizeof(FilterGlobals));
        Loaded = NT_SUCCESS(System->LoadDriver(DriverEntry));
        D = System->Mount();
        Loaded = Loaded && NT_SUCCESS(System->Detach(D));
        Instance = System->InstanceOn(C);
        Program = System->CreateProcess("program.exe");
        ServiceProcess = System->CreateProcess("service.exe");
        {
            emu::ProcessScope InProgram(Program);
            Loaded = Loaded && CreateDirectoryW(L"C:\\Sync", NULL) && CreateDirectoryW(L"C:\\Plain", NULL);
        }
        emu::ProcessScope InService(ServiceProcess);
        Loaded = Loaded && service::ConnectSyncRootPath(L"C:\\Sync", &Connection) == S_OK;
        if (Loaded) {
            Server = std::thread([this] { Serve(); });
        }
    }

    ~Booted()
    {
        if (Server.joinable()) {
            {
                emu::ProcessScope InService(ServiceProcess);
                service::Disconnect(&Connection);
            }
            Server.join();
        }
        System->Terminate(ServiceProcess);
        System->Terminate(Program);
        System->UnloadDriver(0);
        System.reset();
    }

    /* Makes a placeholder of Served's size at Path, with the primitives the
       service's create request uses. */
    bool MakePlaceholder(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        if (Handle == INVALID_HANDLE_VALUE) {
            return false;
        }
        PFILE_OBJECT File = NULL;
        bool Made = NT_SUCCESS(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File,
                                                         NULL));
        if (Made) {
            UCHAR Description[4] = {1, 2, 3, 4};
            GUID Guid = PlaceholderReparseGuid;
            Made = NT_SUCCESS(SetEndOfFile(Instance, File, Served.size())) &&
                   NT_SUCCESS(FltTagFile(Instance, File, PlaceholderReparseTag, &Guid, Description,
                                         sizeof(Description)));
            if (Made) {
                SetPlaceholderAttributes(Instance, File, PlaceholderCommandCreate);
            }
            ObDereferenceObject(File);
        }
        CloseHandle(Handle);
        return Made;
    }

    /* Writes Data to a new file at Path in PieceSize writes; the time of the
       writes alone, or a negative time on failure.  A presized file gets
       its full size before the writes, as a placeholder has it before its
       hydration; otherwise every write extends the file. */
    double WriteNewFile(const wchar_t *Path, const std::vector<unsigned char> &Data, bool Presized)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        if (Handle == INVALID_HANDLE_VALUE) {
            return -1;
        }
        bool Written = true;
        if (Presized) {
            LARGE_INTEGER Size;
            LARGE_INTEGER Start = {};
            Size.QuadPart = (LONGLONG)Data.size();
            Written = SetFilePointerEx(Handle, Size, NULL, FILE_BEGIN) && SetEndOfFile(Handle) &&
                      SetFilePointerEx(Handle, Start, NULL, FILE_BEGIN);
        }
        Clock::time_point Start = Clock::now();
        for (size_t Offset = 0; Offset < Data.size() && Written; Offset += PieceSize) {
            DWORD Length = (DWORD)std::min<size_t>(PieceSize, Data.size() - Offset);
            DWORD Count = 0;
            Written = WriteFile(Handle, Data.data() + Offset, Length, &Count, NULL) && Count == Length;
        }
        Clock::time_point End = Clock::now();
        CloseHandle(Handle);
        return Written ? Seconds(Start, End) : -1;
    }

    /* Opens Path and reads Block bytes at its start (the read that hydrates
       a placeholder); the time of the read alone, or a negative time when
       it fails or returns other bytes than Expected's first ones. */
    double FirstRead(const wchar_t *Path, const std::vector<unsigned char> &Expected, size_t Block)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (Handle == INVALID_HANDLE_VALUE) {
            return -1;
        }
        std::vector<unsigned char> Data(Block);
        DWORD Count = 0;
        Clock::time_point Start = Clock::now();
        BOOL Read = ReadFile(Handle, Data.data(), (DWORD)Block, &Count, NULL);
        Clock::time_point End = Clock::now();
        CloseHandle(Handle);
        bool Same = Read && Count == Block && memcmp(Data.data(), Expected.data(), Block) == 0;
        return Same ? Seconds(Start, End) : -1;
    }

    bool Delete(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        return DeleteFileW(Path) != FALSE;
    }

    std::unique_ptr<emu::System> System;
    PFLT_VOLUME C = nullptr;
    PFLT_VOLUME D = nullptr;
    PFLT_INSTANCE Instance = nullptr;
    emu::EmuProcess *Program = nullptr;
    emu::EmuProcess *ServiceProcess = nullptr;
    bool Loaded = false;
    std::atomic<uint64_t> Hydrations{0};

private:
    void Serve()
    {
        emu::ProcessScope InService(ServiceProcess);
        auto Received = std::make_unique<service::ReceivedMessage>();
        while (service::ReceiveMessage(Connection, Received.get()) == S_OK) {
            if (Received->Message.MessageType == MessageTypeHydrate) {
                service::SendFileData(Connection, Received->Message.Hydrate.RequestId, Served.data(), Served.size(),
                                      PieceSize);
                Hydrations += 1;
            }
        }
    }

    std::vector<unsigned char> Served;
    service::ServiceConnection Connection;
    std::thread Server;
};

/* Hydration of a 64 MiB placeholder against a plain write of its bytes. */
void BM_Hydrate64MiB(benchmark::State &State)
{
    const std::vector<unsigned char> Data = Content(64 * 1024 * 1024);
    Booted Boot(Data);
    if (!Boot.Loaded) {
        State.SkipWithError("the system did not boot");
        return;
    }
    double Hydrating = 0;
    double Writing = 0;
    double Extending = 0;
    for (auto _ : State) {
        if (!Boot.MakePlaceholder(L"C:\\Sync\\large.bin")) {
            State.SkipWithError("no placeholder");
            break;
        }
        double Hydrated = Boot.FirstRead(L"C:\\Sync\\large.bin", Data, 4096);
        double Written = Boot.WriteNewFile(L"C:\\Plain\\large.bin", Data, true);
        double Extended = Boot.WriteNewFile(L"C:\\Plain\\growing.bin", Data, false);
        if (Hydrated < 0 || Written < 0 || Extended < 0 || !Boot.Delete(L"C:\\Sync\\large.bin") ||
            !Boot.Delete(L"C:\\Plain\\large.bin") || !Boot.Delete(L"C:\\Plain\\growing.bin")) {
            State.SkipWithError("a hydration or a write failed");
            break;
        }
        State.SetIterationTime(Hydrated);
        Hydrating += Hydrated;
        Writing += Written;
        Extending += Extended;
    }
    if (Writing > 0 && Extending > 0) {
        double Iterations = (double)State.iterations();
        State.counters["hydrate_ms"] = Hydrating * 1000 / Iterations;
        State.counters["plain_write_ms"] = Writing * 1000 / Iterations;
        State.counters["extending_write_ms"] = Extending * 1000 / Iterations;
        State.counters["hydrate_per_write"] = Hydrating / Writing;
        State.counters["hydrate_per_extending_write"] = Hydrating / Extending;
        State.counters["hydrate_MiB_per_s"] = 64 * Iterations / Hydrating;
    }
    State.counters["hydrations"] = (double)Boot.Hydrations.load();
}
BENCHMARK(BM_Hydrate64MiB)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(8);

/* Reads of an ordinary cached file: Count 4 KiB reads at offset 0 through
   an open handle; the time they took, or a negative time on failure. */
double ReadRepeatedly(HANDLE Handle, std::vector<unsigned char> &Buffer, int Count)
{
    OVERLAPPED Start = {};
    DWORD Read = 0;
    Clock::time_point Begin = Clock::now();
    for (int Index = 0; Index < Count; Index += 1) {
        if (!ReadFile(Handle, Buffer.data(), (DWORD)Buffer.size(), &Read, &Start) || Read != Buffer.size()) {
            return -1;
        }
    }
    return Seconds(Begin, Clock::now());
}

/* An ordinary file on each volume, opened and read once (so that it is
   cached and fast I/O can serve it). */
struct OrdinaryFiles {
    HANDLE Filtered = INVALID_HANDLE_VALUE;
    HANDLE Unfiltered = INVALID_HANDLE_VALUE;
    std::vector<unsigned char> Buffer = std::vector<unsigned char>(4096);
    Booted &Boot;

    explicit OrdinaryFiles(Booted &Boot) : Boot(Boot)
    {
        emu::ProcessScope InProgram(Boot.Program);
        Filtered = Make(L"C:\\Sync\\ordinary.bin");
        Unfiltered = Make(L"D:\\ordinary.bin");
    }

    ~OrdinaryFiles()
    {
        emu::ProcessScope InProgram(Boot.Program);
        CloseHandle(Filtered);
        CloseHandle(Unfiltered);
    }

    bool Open() const { return Filtered != INVALID_HANDLE_VALUE && Unfiltered != INVALID_HANDLE_VALUE; }

    HANDLE Make(const wchar_t *Path)
    {
        HANDLE Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW, 0, NULL);
        DWORD Count = 0;
        std::vector<unsigned char> Data = Content(4096);
        if (Handle != INVALID_HANDLE_VALUE &&
            (!WriteFile(Handle, Data.data(), 4096, &Count, NULL) || ReadRepeatedly(Handle, Buffer, 1) < 0)) {
            CloseHandle(Handle);
            Handle = INVALID_HANDLE_VALUE;
        }
        return Handle;
    }
};

/* A 4 KiB read of an ordinary file with the filter attached against the
   same read on a volume it is not attached to. */
void BM_ReadOrdinaryFile(benchmark::State &State)
{
    constexpr int Batch = 256;
    Booted Boot({});
    OrdinaryFiles Files(Boot);
    if (!Boot.Loaded || !Files.Open()) {
        State.SkipWithError("the system did not boot");
        return;
    }
    emu::ProcessScope InProgram(Boot.Program);
    double Filtered = 0;
    double Unfiltered = 0;
    for (auto _ : State) {
        double With = ReadRepeatedly(Files.Filtered, Files.Buffer, Batch);
        double Without = ReadRepeatedly(Files.Unfiltered, Files.Buffer, Batch);
        if (With < 0 || Without < 0) {
            State.SkipWithError("a read failed");
            break;
        }
        State.SetIterationTime(With / Batch);
        Filtered += With;
        Unfiltered += Without;
    }
    if (Unfiltered > 0) {
        double Reads = (double)State.iterations() * Batch;
        State.counters["filtered_ns"] = Filtered * 1e9 / Reads;
        State.counters["unfiltered_ns"] = Unfiltered * 1e9 / Reads;
        State.counters["filtered_per_unfiltered"] = Filtered / Unfiltered;
    }
}
BENCHMARK(BM_ReadOrdinaryFile)->UseManualTime();

/* What a batch of reads of one file cost in platform calls. */
struct CallCounts {
    double Counted = 0;
    double StreamContextLookups = 0;
    double LockAcquisitions = 0;
    double ContextsMade = 0;
    double Messages = 0;

    static CallCounts Now(emu::System &System)
    {
        CallCounts Out;
        Out.Counted = (double)System.Faults().CountedCalls();
        Out.StreamContextLookups = (double)System.Faults().Calls("FltGetStreamContext");
        Out.LockAcquisitions = (double)System.LockOrder().Acquisitions();
        Out.ContextsMade = (double)System.Faults().Calls("FltAllocateContext");
        Out.Messages = (double)System.Faults().Calls("FltSendMessage");
        return Out;
    }

    CallCounts operator-(const CallCounts &Other) const
    {
        return {Counted - Other.Counted, StreamContextLookups - Other.StreamContextLookups,
                LockAcquisitions - Other.LockAcquisitions, ContextsMade - Other.ContextsMade,
                Messages - Other.Messages};
    }
};

/* The platform calls the filter makes per read of an ordinary file: the
   counts over a batch of filtered reads, less those over as many reads on
   the volume without the filter (what the I/O manager and the file system
   make on their own), per read. */
void BM_OrdinaryReadPlatformCalls(benchmark::State &State)
{
    constexpr int Batch = 64;
    Booted Boot({});
    OrdinaryFiles Files(Boot);
    if (!Boot.Loaded || !Files.Open()) {
        State.SkipWithError("the system did not boot");
        return;
    }
    emu::ProcessScope InProgram(Boot.Program);
    CallCounts Filter;
    for (auto _ : State) {
        CallCounts Start = CallCounts::Now(*Boot.System);
        double With = ReadRepeatedly(Files.Filtered, Files.Buffer, Batch);
        CallCounts Middle = CallCounts::Now(*Boot.System);
        double Without = ReadRepeatedly(Files.Unfiltered, Files.Buffer, Batch);
        CallCounts End = CallCounts::Now(*Boot.System);
        if (With < 0 || Without < 0) {
            State.SkipWithError("a read failed");
            break;
        }
        CallCounts Difference = (Middle - Start) - (End - Middle);
        Filter.Counted += Difference.Counted;
        Filter.StreamContextLookups += Difference.StreamContextLookups;
        Filter.LockAcquisitions += Difference.LockAcquisitions;
        Filter.ContextsMade += Difference.ContextsMade;
        Filter.Messages += Difference.Messages;
    }
    double Reads = (double)State.iterations() * Batch;
    State.counters["filter_calls_per_read"] = Filter.Counted / Reads;
    State.counters["stream_context_lookups_per_read"] = Filter.StreamContextLookups / Reads;
    State.counters["lock_acquisitions_per_read"] = Filter.LockAcquisitions / Reads;
    State.counters["contexts_made_per_read"] = Filter.ContextsMade / Reads;
    State.counters["messages_per_read"] = Filter.Messages / Reads;
}
BENCHMARK(BM_OrdinaryReadPlatformCalls)->Iterations(16);

}  // namespace
