/*
 * Process.cpp - process identity.  Threads that never joined an emulated
 * process belong to the System process (id 4), as kernel threads do.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

EmuProcess &SystemProcess()
{
    static EmuProcess Process{4, "System"};
    return Process;
}

EmuProcess &ProcessOfCurrentThread()
{
    ThreadState &Thread = CurrentThread();
    return Thread.Process != nullptr ? *Thread.Process : SystemProcess();
}

}  // namespace

extern "C" {

HANDLE NTAPI PsGetCurrentProcessId(VOID)
{
    return (HANDLE)ProcessOfCurrentThread().ProcessId;
}

PEPROCESS NTAPI PsGetCurrentProcess(VOID)
{
    return (PEPROCESS)&ProcessOfCurrentThread();
}

HANDLE NTAPI PsGetProcessId(PEPROCESS Process)
{
    return (HANDLE)((EmuProcess *)Process)->ProcessId;
}

}  // extern "C"
