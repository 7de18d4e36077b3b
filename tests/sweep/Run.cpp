/*
 * Run.cpp - one run of a scenario inside its child process: boot, arm the
 * global failure rule, report what it hit and what the scenario found.
 *
 * Lines written to the runner's pipe, one finding each:
 *     hit <ordinal> <routine> <status> <documented|return-type> <variants> <call-site offset>
 *     points <counted calls>
 *     fail <text>          work reported done that was not, or a wrong result
 *     leak <text>          left behind, from System.Leaks()
 *     bugcheck <text>      the emulated system stopped
 *     done
 */
#include "Sweep.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "Zentaflt.h"

namespace zentaflt_sweep {

std::vector<Scenario> &Scenarios()
{
    static std::vector<Scenario> All;
    return All;
}

std::string Hex(NTSTATUS Status)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "0x%08X", (unsigned)Status);
    return Text;
}

namespace {

int ReportFdForObserver = -1;

void WriteLine(int Fd, const std::string &Line)
{
    std::string Text = Line;
    for (char &Character : Text) {
        if (Character == '\n') {
            Character = ' ';
        }
    }
    Text += '\n';
    size_t Offset = 0;
    while (Offset < Text.size()) {
        ssize_t Written = write(Fd, Text.data() + Offset, Text.size() - Offset);
        if (Written <= 0) {
            return;
        }
        Offset += (size_t)Written;
    }
}

/* Written the moment the rule fires, so a crash right after still shows
   what was hit. */
void ReportHit(const emu::InjectedCall &Call)
{
    Dl_info Info = {};
    uintptr_t Offset = (uintptr_t)Call.CallSite;
    if (Call.CallSite != nullptr && dladdr(Call.CallSite, &Info) != 0 && Info.dli_fbase != nullptr) {
        Offset = (uintptr_t)Call.CallSite - (uintptr_t)Info.dli_fbase;
    }
    char Text[256];
    snprintf(Text, sizeof(Text), "hit %llu %s %s %s %zu 0x%llx", (unsigned long long)Call.Ordinal,
             Call.Routine.c_str(), Hex(Call.Status).c_str(),
             Call.Source == emu::FailureSource::Documented ? "documented" : "return-type", Call.Variants,
             (unsigned long long)Offset);
    WriteLine(ReportFdForObserver, Text);
}

}  // namespace

Run::Run(int ReportFd, uint64_t N, bool EveryFromN, size_t StatusVariant)
    : Fd(ReportFd), Nth(N), Every(EveryFromN), Variant(StatusVariant)
{
    ReportFdForObserver = ReportFd;
}

Run::~Run()
{
    delete Booted;
}

void Run::Report(const std::string &Line)
{
    WriteLine(Fd, Line);
}

void Run::Boot()
{
    Booted = new emu::System();
    emu::InjectionSuppressed Setup;
    Ntfs = Booted->Mount({FLT_FSTYPE_NTFS});
    Fat = Booted->Mount({FLT_FSTYPE_FAT});
    Booted->Faults().ArmGlobal(Nth, Every, Variant);
    Booted->Faults().ObserveFirstGlobalInjection(ReportHit);
}

NTSTATUS Run::Load()
{
    RtlZeroMemory(&FilterGlobals, sizeof(FilterGlobals));
    FilterGlobals.DebugFlags = DebugFlagPrintFailures;
    NTSTATUS Status = Booted->LoadDriver(DriverEntry);
    if (!NT_SUCCESS(Status)) {
        Failed(Status, "load");
        Check(!Booted->DriverLoaded() && Booted->FindServerPort(u"\\VelquorFsPort") == nullptr,
              "a failed load left the filter registered or its port open");
        return Status;
    }
    /* A load that reports success has its port open and has been offered
       every volume: attached to the NTFS one unless an injected failure
       refused it, never to the FAT one. */
    Check(Booted->DriverLoaded(), "load succeeded but the filter is not registered");
    Check(Booted->FindServerPort(u"\\VelquorFsPort") != nullptr, "load succeeded without the port open");
    Check(!Booted->IsAttached(Fat), "attached to a FAT volume");
    if (!Booted->IsAttached(Ntfs)) {
        Failed(Booted->SetupStatusOn(Ntfs), "attach to the NTFS volume");
    }
    return Status;
}

void Run::Finish()
{
    if (Booted->DriverLoaded()) {
        NTSTATUS Status = Booted->UnloadDriver(0);
        Check(Status == STATUS_SUCCESS, "unload returned " + Hex(Status));
        Check(!Booted->DriverLoaded(), "unload left the filter registered");
        Check(Booted->FindServerPort(u"\\VelquorFsPort") == nullptr, "unload left the port open");
    }
    char Points[64];
    snprintf(Points, sizeof(Points), "points %llu", (unsigned long long)Booted->Faults().CountedCalls());
    Report(Points);
    for (const std::string &Leak : Booted->Leaks()) {
        Report("leak " + Leak);
    }
}

void Run::Check(bool Condition, const std::string &What)
{
    if (!Condition) {
        Report("fail " + What);
    }
}

void Run::Failed(NTSTATUS Status, const std::string &Step)
{
    if (!Injected()) {
        Report("fail " + Step + " failed with " + Hex(Status) + " and no failure injected");
    }
}

bool Run::Injected() const
{
    return Booted->Faults().GlobalInjections() != 0;
}

}  // namespace zentaflt_sweep
