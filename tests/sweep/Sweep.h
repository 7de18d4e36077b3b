/*
 * Sweep.h - scenarios of the fault-injection sweep.
 *
 * A scenario drives the whole system through its entry points (load, a
 * service's connection, program I/O, the filter's primitives, unload) while
 * the global failure rule fails the Nth injectable call the driver makes
 * (or every one from the Nth on).  The runner (Runner.cpp) runs each N in a
 * child process of its own; the scenario only says what each step's
 * success means and checks it.
 *
 * Adding a scenario is one registration:
 *
 *     SWEEP_SCENARIO(Name, "what a successful run means")
 *     {
 *         Run.Boot();
 *         NTSTATUS Status = Run.Load();
 *         Run.Check(..., "load succeeded but ...");
 *         ...
 *     }
 */
#pragma once

#include <string>
#include <vector>

#include "EmuTesting.h"

namespace zentaflt_sweep {

class Run;

struct Scenario {
    const char *Name;
    const char *Meaning;
    void (*Body)(Run &Run);
};

std::vector<Scenario> &Scenarios();

struct ScenarioRegistration {
    ScenarioRegistration(const char *Name, const char *Meaning, void (*Body)(Run &))
    {
        Scenarios().push_back(Scenario{Name, Meaning, Body});
    }
};

#define SWEEP_SCENARIO(Name, Meaning)                                                      \
    static void SweepScenario_##Name(::zentaflt_sweep::Run &Run);                          \
    static ::zentaflt_sweep::ScenarioRegistration SweepRegistration_##Name(#Name, Meaning, \
                                                                           SweepScenario_##Name); \
    static void SweepScenario_##Name(::zentaflt_sweep::Run &Run)

/* One run of a scenario in a child process: the booted system, the
   injection armed, and the findings written to the runner's pipe. */
class Run {
public:
    Run(int ReportFd, uint64_t Nth, bool Every, size_t Variant);
    ~Run();

    /* Boots the system (volumes C: NTFS and D: FAT) and arms the global
       rule; nothing before this counts. */
    void Boot();
    /* Loads the filter as a fresh image, with failures printed. */
    NTSTATUS Load();
    /* Unloads it (when loaded), ends every process and checks that nothing
       is left behind. */
    void Finish();

    /* Records a finding: Condition false means the scenario found work
       reported done that was not, or a result that is wrong. */
    void Check(bool Condition, const std::string &What);
    /* A step reported failure: acceptable once an injected failure has
       happened, since the step may depend on what failed. */
    void Failed(NTSTATUS Status, const std::string &Step);
    /* True once the global rule has injected a failure. */
    bool Injected() const;

    emu::System &System() { return *Booted; }
    PFLT_VOLUME Ntfs = nullptr;
    PFLT_VOLUME Fat = nullptr;

    void Report(const std::string &Line);

private:
    int Fd;
    uint64_t Nth;
    bool Every;
    size_t Variant;
    emu::System *Booted = nullptr;
};

std::string Hex(NTSTATUS Status);

}  // namespace zentaflt_sweep
