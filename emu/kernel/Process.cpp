/*
 * Process.cpp - processes, thread and process identity.
 */
#include "../runtime/Objects.h"

#include <memory>

using namespace emu;

namespace {

std::mutex ProcessesLock;
std::vector<std::unique_ptr<EmuProcess>> Processes;
std::atomic<bool> WideIds{false};
std::atomic<uint64_t> NextNarrowProcessId{0x1F40};
std::atomic<uint64_t> NextWideProcessId{0x100002000ULL};
std::atomic<uint64_t> NextNarrowThreadId{0x104};
std::atomic<uint64_t> NextWideThreadId{0x100003000ULL};

EmuProcess &System()
{
    static EmuProcess Process;
    Process.ProcessId = 4;
    Process.Name = "System";
    return Process;
}

}  // namespace

namespace emu {
/* emu/cache/Section.cpp: the views a process mapped go when it ends. */
void UnmapProcessViews(EmuProcess *Process);
}  // namespace emu

namespace emu {

uint64_t NewThreadId()
{
    return WideIds ? NextWideThreadId.fetch_add(4) : NextNarrowThreadId.fetch_add(4);
}

void UseWideIds(bool Wide)
{
    WideIds = Wide;
}

EmuProcess *SystemProcess()
{
    return &System();
}

EmuProcess *CurrentProcess()
{
    ThreadState &Thread = CurrentThread();
    return Thread.Process != nullptr ? Thread.Process : SystemProcess();
}

EmuProcess *CreateProcess(const std::string &Name)
{
    auto Process = std::make_unique<EmuProcess>();
    Process->ProcessId = WideIds ? NextWideProcessId.fetch_add(4) : NextNarrowProcessId.fetch_add(4);
    Process->Name = Name;
    std::lock_guard<std::mutex> Guard(ProcessesLock);
    Processes.push_back(std::move(Process));
    return Processes.back().get();
}

void TerminateProcess(EmuProcess *Process)
{
    for (;;) {
        HANDLE Handle;
        {
            std::lock_guard<std::mutex> Guard(Process->HandleLock);
            Process->Terminated = true;
            if (Process->Handles.empty()) {
                break;
            }
            Handle = (HANDLE)Process->Handles.begin()->first;
        }
        /* The process's last thread closes its handles, in the process. */
        ProcessScope Scope(Process);
        CloseHandleIn(Process, Handle);
    }
    /* Its views are unmapped, and its address space goes with it; no
       driver may keep its pages locked. */
    UnmapProcessViews(Process);
    CheckLockedPagesAtProcessEnd(Process);
    FreeUserAddressSpace(Process);
}

void ResetProcesses()
{
    std::vector<std::unique_ptr<EmuProcess>> Ended;
    {
        std::lock_guard<std::mutex> Guard(ProcessesLock);
        Ended.swap(Processes);
    }
    for (auto &Process : Ended) {
        TerminateProcess(Process.get());
    }
    TerminateProcess(SystemProcess());
    {
        std::lock_guard<std::mutex> Guard(System().HandleLock);
        System().Terminated = false;
        System().NextHandle = 4;
    }
    CurrentThread().Process = nullptr;
    WideIds = false;
}

ProcessScope::ProcessScope(EmuProcess *Process)
{
    Saved = CurrentThread().Process;
    CurrentThread().Process = Process;
}

ProcessScope::~ProcessScope()
{
    CurrentThread().Process = Saved;
}

}  // namespace emu

extern "C" {

HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    return (HANDLE)CurrentProcess()->ProcessId;
}

PEPROCESS NTAPI PsGetCurrentProcess(VOID)
{
    return (PEPROCESS)CurrentProcess();
}

HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    return (HANDLE)((EmuProcess *)Process)->ProcessId;
}

}  // extern "C"
