/*
 * EmulatedMain.cpp - zentaflt-service on Linux: the emulated system boots
 * inside the program (one NTFS volume, C:, with the filter loaded) and the
 * commands run in its service process.  The emulated volume starts empty:
 * the sync root's directory is created first; for dehydrate and status,
 * --source DIR mirrors DIR into it before the command (and dehydrate reads
 * the named files, so that they are full files to convert back).  At the end
 * the filter is unloaded and anything left behind is reported (exit code 4).
 */
#include <signal.h>
#include <stdio.h>
#include <time.h>

#include <atomic>
#include <fstream>

#include "Commands.h"
#include "Emulated.h"

namespace {

using namespace zentaflt::reference;
using zentaflt::service::Failure;
using zentaflt::service::Success;
using zentaflt::service::Utf8;

std::atomic<bool> Stop{false};

void OnInterrupt(int)
{
    Stop = true;
}

class EmulatedHost : public Host {
public:
    explicit EmulatedHost(EmulatedWindows &Windows) : Windows(Windows) {}

    Result Prepare(const Invocation &Command) override
    {
        std::u16string Root = Command.Paths.empty() ? std::u16string() : Command.Paths[0];
        if (Command.Command == "dehydrate") {
            Root = Command.Root;
            if (Root.empty() && !Command.Paths.empty()) {
                size_t First = Command.Paths[0].find(u'\\');
                size_t Second = First == std::u16string::npos ? First : Command.Paths[0].find(u'\\', First + 1);
                Root = Second == std::u16string::npos ? std::u16string() : Command.Paths[0].substr(0, Second);
            }
        }
        if (Root.size() < 4 || Root[1] != u':' || (Root[0] != u'C' && Root[0] != u'c')) {
            return Failure(E_INVALIDARG, "use a sync root on the emulated volume C: (C:\\Sync)");
        }
        Result Made = Windows.CreateDirectories(Root);
        if (!Made.Ok() || Command.Source.empty() || Command.Command == "serve" || Command.Command == "populate") {
            return Made;
        }
        /* dehydrate and status: the emulated volume starts empty. */
        std::vector<SourceEntry> Entries;
        Result Step = ScanSource(Command.Source, &Entries);
        PopulateCounts Counts;
        if (Step.Ok()) {
            Step = Populate(Root, Entries, &Counts, nullptr);
        }
        if (!Step.Ok() || Command.Command != "dehydrate") {
            return Step;
        }
        zentaflt::service::SyncService Service;
        Step = Service.Start((LPCWSTR)Root.c_str(), TreeSource(Command.Source));
        for (size_t Index = 0; Step.Ok() && Index < Command.Paths.size(); Index += 1) {
            HANDLE File = CreateFileW((LPCWSTR)Command.Paths[Index].c_str(), GENERIC_READ, FILE_SHARE_READ, NULL,
                                      OPEN_EXISTING, 0, NULL);
            if (File == INVALID_HANDLE_VALUE) {
                continue;  // the command says what is wrong with it
            }
            char Byte = 0;
            DWORD Read = 0;
            ReadFile(File, &Byte, 1, &Read, NULL);
            CloseHandle(File);
        }
        Service.Stop();
        return Step;
    }

    bool Interrupted() override { return Stop.load(); }

    void Pause(unsigned Milliseconds) override
    {
        struct timespec Delay = {(time_t)(Milliseconds / 1000), (long)(Milliseconds % 1000) * 1000000L};
        nanosleep(&Delay, nullptr);
    }

private:
    EmulatedWindows &Windows;
};

}  // namespace

int main(int argc, char **argv)
{
    /* Help and usage errors need no system. */
    std::vector<std::string> Words(argv + 1, argv + argc);
    Invocation Command;
    std::string Error;
    if (!ParseInvocation(Words, &Command, &Error) || Command.Help || Command.Command == "help") {
        struct NoHost : Host {
            Result Prepare(const Invocation &) override { return Failure(E_FAIL, "no system"); }
            bool Interrupted() override { return true; }
            void Pause(unsigned) override {}
        } Unused;
        return RunService(argc, argv, Unused);
    }

    signal(SIGINT, OnInterrupt);
    signal(SIGTERM, OnInterrupt);
    EmulatedWindows Windows;
    Result Booted = Windows.Boot();
    int Code = ExitUnavailable;
    if (Booted.Ok()) {
        EmulatedHost Platform(Windows);
        emu::ProcessScope InService(Windows.ServiceProcess());
        Code = RunService(argc, argv, Platform);
    } else {
        fprintf(stderr, "zentaflt-service: %s\n", Booted.Message.c_str());
    }
    std::vector<std::string> Leaks;
    NTSTATUS Unloaded = Windows.Shutdown(&Leaks);
    for (const std::string &Leak : Leaks) {
        fprintf(stderr, "zentaflt-service: left behind: %s\n", Leak.c_str());
    }
    if (!NT_SUCCESS(Unloaded) || !Leaks.empty()) {
        fprintf(stderr, "zentaflt-service: the emulated system did not unload cleanly (0x%08X)\n",
                (unsigned)Unloaded);
        return 4;
    }
    return Code;
}
