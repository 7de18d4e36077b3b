/*
 * FuzzSupport.h - what the fuzz targets share: one emulated system booted
 * for the whole run with the filter loaded, the checks each target makes
 * after every input, and the way a broken check ends the run.
 *
 * A target boots its system once, on its first input, and reuses it: each
 * input starts from the state the boot left (the baseline) and the target
 * puts back whatever the input changed.  After every input the verifier's
 * accounting must equal the baseline's (nothing allocated, referenced or
 * reported since), and every failure status the filter answered must have
 * passed through its status reporting.
 *
 * When the run ends normally, the target ends its processes and unloads the
 * filter, and then nothing at all may be left behind (Shutdown, from an
 * exit handler that runs before the emulation's own tables go).
 *
 * A failed check prints what went wrong and aborts, which libFuzzer records
 * as a crash with the input that caused it.  A bug check of the emulated
 * system is a crash too.
 */
#pragma once

#include <windows.h>

#include <fltUser.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "EmuTesting.h"
#include "Zentaflt.h"

namespace zentaflt_fuzz {

[[noreturn]] inline void Fail(const char *Format, ...)
{
    va_list Arguments;
    va_start(Arguments, Format);
    fprintf(stderr, "\n==== fuzz check failed: ");
    vfprintf(stderr, Format, Arguments);
    fprintf(stderr, "\n");
    va_end(Arguments);
    fflush(stderr);
    abort();
}

/* Format names what was wrong; the condition's text and place come first. */
#define FUZZ_CHECK(Condition, Format, ...)                                                                 \
    do {                                                                                                 \
        if (!(Condition)) {                                                                              \
            ::zentaflt_fuzz::Fail("%s:%d: %s: " Format, __FILE__, __LINE__, #Condition, ##__VA_ARGS__); \
        }                                                                                                \
    } while (0)

#define FUZZ_CHECK_STATUS(Actual, Expected)                                                              \
    do {                                                                                                 \
        NTSTATUS Actual_ = (Actual);                                                                     \
        NTSTATUS Expected_ = (Expected);                                                                 \
        if (Actual_ != Expected_) {                                                                      \
            ::zentaflt_fuzz::Fail("%s:%d: %s is 0x%08X, expected 0x%08X", __FILE__, __LINE__, #Actual,   \
                                  (unsigned)Actual_, (unsigned)Expected_);                              \
        }                                                                                                \
    } while (0)

inline bool OneOf(NTSTATUS Status, std::initializer_list<NTSTATUS> Allowed)
{
    for (NTSTATUS Candidate : Allowed) {
        if (Status == Candidate) {
            return true;
        }
    }
    return false;
}

/* The HRESULT the filter manager's user-mode library makes of a status. */
inline HRESULT HresultOf(NTSTATUS Status)
{
    return NT_SUCCESS(Status) ? S_OK : HRESULT_FROM_WIN32(emu::user::Win32ErrorOf(Status));
}

/* Runs one input; a bug check of the emulated system ends the run. */
inline void RunInput(const std::function<void()> &Body)
{
    try {
        Body();
    } catch (const emu::BugCheck &Stop) {
        Fail("bug check 0x%X (0x%llX): %s", Stop.Code, (unsigned long long)Stop.Parameter1, Stop.Reason.c_str());
    }
}

/* A system with one NTFS volume (C:) and the filter loaded with failure
   printing on, so that every reported status shows on the kernel
   debugger.  Never torn down: the run ends with the process. */
class BootedSystem {
public:
    BootedSystem()
    {
        System = new emu::System();
        Volume = System->Mount();
        RtlZeroMemory(&FilterGlobals, sizeof(FilterGlobals));
        FilterGlobals.DebugFlags = DebugFlagPrintFailures;
        NTSTATUS Status = System->LoadDriver(DriverEntry);
        if (Status != STATUS_SUCCESS) {
            Fail("the filter did not load: 0x%08X", (unsigned)Status);
        }
        Instance = System->InstanceOn(Volume);
        if (Instance == nullptr) {
            Fail("the filter did not attach to C:");
        }
    }

    emu::EmuProcess *CreateProcess(const char *Name)
    {
        emu::EmuProcess *Process = System->CreateProcess(Name);
        Processes.push_back(Process);
        return Process;
    }

    /* Ends every process, unloads the filter and fails the run for anything
       left behind; then the system goes. */
    void Shutdown()
    {
        RunInput([&] {
            for (emu::EmuProcess *Process : Processes) {
                System->Terminate(Process);
            }
            NTSTATUS Status = System->UnloadDriver(0);
            if (Status != STATUS_SUCCESS) {
                Fail("the filter did not unload: 0x%08X", (unsigned)Status);
            }
            std::string Report;
            for (const std::string &Line : System->Leaks()) {
                Report += "\n  " + Line;
            }
            if (!Report.empty()) {
                Fail("left behind after unload:%s", Report.c_str());
            }
        });
        delete System;
        System = nullptr;
    }

    /* Takes the current accounting as what every input must leave. */
    void TakeBaseline()
    {
        Baseline = Accounting();
        System->KernelDebugger().Clear();
    }

    /* Fails the run unless the accounting is back at the baseline. */
    void ExpectBaseline(const char *When)
    {
        std::vector<std::string> Now = Accounting();
        if (Now != Baseline) {
            std::string Report;
            for (const std::string &Line : Now) {
                Report += "\n  now:  " + Line;
            }
            for (const std::string &Line : Baseline) {
                Report += "\n  boot: " + Line;
            }
            Fail("accounting differs from the boot's %s:%s", When, Report.c_str());
        }
    }

    /* The statuses the filter reported since the last call, in order. */
    std::vector<NTSTATUS> TakeReported()
    {
        std::vector<NTSTATUS> Reported;
        for (const emu::DebugLine &Line : System->KernelDebugger().Output()) {
            unsigned Value = 0;
            if (sscanf(Line.Text.c_str(), "Zentaflt: 0x%x", &Value) == 1) {
                Reported.push_back((NTSTATUS)Value);
            }
        }
        System->KernelDebugger().Clear();
        return Reported;
    }

    /* Fails the run unless Status, a failure the filter answered, was the
       last status it reported. */
    void ExpectReportedLast(NTSTATUS Status, const char *What)
    {
        std::vector<NTSTATUS> Reported = TakeReported();
        if (Reported.empty() || Reported.back() != Status) {
            Fail("%s failed with 0x%08X, but the filter reported %s", What, (unsigned)Status,
                 Reported.empty() ? "nothing" : "something else last");
        }
    }

    emu::System *System = nullptr;
    PFLT_VOLUME Volume = nullptr;
    PFLT_INSTANCE Instance = nullptr;

private:
    /* What the verifier holds, sorted, addresses left out: an input may
       replace a record of the boot's (a sync root reconnected) by an equal
       one elsewhere. */
    std::vector<std::string> Accounting() const
    {
        std::vector<std::string> Lines;
        for (const std::string &Line : System->Leaks()) {
            std::string Shape;
            for (size_t Index = 0; Index < Line.size(); Index += 1) {
                if (Line.compare(Index, 2, "0x") == 0) {
                    Shape += "0x#";
                    Index += 2;
                    while (Index < Line.size() && isxdigit((unsigned char)Line[Index])) {
                        Index += 1;
                    }
                    Index -= 1;
                } else {
                    Shape += Line[Index];
                }
            }
            Lines.push_back(Shape);
        }
        std::sort(Lines.begin(), Lines.end());
        return Lines;
    }

    std::vector<std::string> Baseline;
    std::vector<emu::EmuProcess *> Processes;
};

/* The target's state, made on the first input and kept for the run; its
   Shutdown runs when the run ends normally. */
template <typename Target>
Target &BootOnce()
{
    static Target *Instance = nullptr;
    if (Instance == nullptr) {
        Instance = new Target();
        atexit([] { Instance->Shutdown(); });
    }
    return *Instance;
}

/* Opens a file in Process as a program does, and references its file
   object for the target to hand to the filter's routines. */
inline PFILE_OBJECT OpenAndReference(emu::EmuProcess *Process, const wchar_t *Path, DWORD Share, DWORD Disposition,
                                     HANDLE *Handle)
{
    emu::ProcessScope InProcess(Process);
    *Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, Share, NULL, Disposition, 0, NULL);
    PFILE_OBJECT File = nullptr;
    if (*Handle == INVALID_HANDLE_VALUE ||
        !NT_SUCCESS(ObReferenceObjectByHandle(*Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL))) {
        Fail("cannot open the program's file");
    }
    return File;
}

}  // namespace zentaflt_fuzz
