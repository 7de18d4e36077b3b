/*
 * Benchmarks of the service channel's hot paths, run side by side so their
 * ratios can be read in one run:
 *   - SyncRootFind, which every file operation that may need the service
 *     calls, against the number of connected sync roots;
 *   - a question to the service and its answer, end to end through the
 *     emulated port, with and without the message pool's reuse of buffers.
 */
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <thread>

#include "EmuTesting.h"
#include "Zentaflt.h"
#include "ServiceClient.h"

namespace {

namespace service = zentaflt::service;

struct Booted {
    std::unique_ptr<emu::System> System;
    emu::EmuProcess *Service = nullptr;
    std::vector<service::ServiceConnection> Connections;

    explicit Booted(int Roots)
    {
        System = std::make_unique<emu::System>();
        System->Mount();
        RtlZeroMemory(&FilterGlobals, sizeof(FilterGlobals));
        System->LoadDriver(DriverEntry);
        Service = System->CreateProcess("service.exe");
        emu::ProcessScope InService(Service);
        for (int Index = 0; Index < Roots; Index += 1) {
            std::u16string Path = u"C:\\Root" + std::u16string(1, (char16_t)(u'A' + Index % 26)) +
                                  std::u16string(1, (char16_t)(u'a' + Index / 26));
            CreateDirectoryW((LPCWSTR)Path.c_str(), NULL);
            service::ServiceConnection Connection;
            service::ConnectSyncRootPath((LPCWSTR)Path.c_str(), &Connection);
            Connections.push_back(Connection);
        }
    }

    ~Booted()
    {
        System->Terminate(Service);
        System->UnloadDriver(0);
        System.reset();
    }
};

/* The last root connected: the lookup walks the whole list to find it. */
void BM_SyncRootFind(benchmark::State &State)
{
    int Roots = (int)State.range(0);
    Booted Boot(Roots);
    int Last = Roots - 1;
    std::u16string Name = u"\\Device\\HarddiskVolume1\\Root" + std::u16string(1, (char16_t)(u'A' + Last % 26)) +
                          std::u16string(1, (char16_t)(u'a' + Last / 26)) + u"\\dir\\file.txt";
    UNICODE_STRING Path = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
    for (auto _ : State) {
        PSYNC_ROOT Root = NULL;
        if (!NT_SUCCESS(SyncRootFind(&Path, &Root))) {
            State.SkipWithError("not found");
            break;
        }
        SyncRootRelease(Root);
    }
    State.SetLabel(std::to_string(Roots) + " roots");
}
BENCHMARK(BM_SyncRootFind)->Arg(1)->Arg(16)->Arg(256);

/* A delete-directory question answered by a service thread. */
void BM_QuestionRoundTrip(benchmark::State &State)
{
    Booted Boot(1);
    emu::EmuProcess *Program = Boot.System->CreateProcess("program.exe");
    HANDLE File;
    PFLT_CALLBACK_DATA Data;
    {
        emu::ProcessScope InProgram(Program);
        File = CreateFileW(L"C:\\RootAa", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
        Data = emu::MakeCallbackData(File, IRP_MJ_SET_INFORMATION, UserMode);
    }
    PFLT_FILE_NAME_INFORMATION Info = NULL;
    UNICODE_STRING Path = {};
    PSYNC_ROOT Root = NULL;
    if (!NT_SUCCESS(GetNormalizedName(Data, &Info, &Path)) || !NT_SUCCESS(SyncRootFind(&Info->Name, &Root))) {
        State.SkipWithError("no sync root");
        return;
    }
    std::thread Answerer([&] {
        emu::ProcessScope InService(Boot.Service);
        auto Received = std::make_unique<service::ReceivedMessage>();
        while (SUCCEEDED(service::ReceiveMessage(Boot.Connections[0], Received.get()))) {
            service::ReplyToMessage(Boot.Connections[0], Received->Header.MessageId, 0);
        }
    });
    for (auto _ : State) {
        SERVICE_REPLY Reply = 0;
        if (!NT_SUCCESS(SendDeleteDirectoryMessage(Data, Root, &Path, &Reply))) {
            State.SkipWithError("send failed");
            break;
        }
    }
    SyncRootRelease(Root);
    FltReleaseFileNameInformation(Info);
    emu::FreeCallbackData(Data);
    {
        emu::ProcessScope InService(Boot.Service);
        service::Disconnect(&Boot.Connections[0]);
    }
    Answerer.join();
    emu::ProcessScope InProgram(Program);
    CloseHandle(File);
}
BENCHMARK(BM_QuestionRoundTrip)->UseRealTime();

/* The cost a send would pay without the pool: allocating and clearing a
   fresh message buffer each time. */
void BM_MessageBufferFromPool(benchmark::State &State)
{
    Booted Boot(0);
    for (auto _ : State) {
        PVOID Buffer = ExAllocateFromPagedLookasideList(&FilterGlobals.MessagePool);
        memset((PUCHAR)Buffer + 4, 0, ServiceMessageSize - 4);
        benchmark::DoNotOptimize(Buffer);
        ExFreeToPagedLookasideList(&FilterGlobals.MessagePool, Buffer);
    }
}
BENCHMARK(BM_MessageBufferFromPool);

void BM_MessageBufferFreshAllocation(benchmark::State &State)
{
    Booted Boot(0);
    for (auto _ : State) {
        PVOID Buffer = ExAllocatePoolWithTag(PagedPool, ServiceMessageSize, PoolTagMessage);
        memset((PUCHAR)Buffer + 4, 0, ServiceMessageSize - 4);
        benchmark::DoNotOptimize(Buffer);
        ExFreePoolWithTag(Buffer, PoolTagMessage);
    }
}
BENCHMARK(BM_MessageBufferFreshAllocation);

}  // namespace

BENCHMARK_MAIN();
