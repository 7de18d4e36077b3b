/*
 * Emulated.h - the emulated Windows system that zentaflt-service and the
 * main job boot inside themselves on Linux: one NTFS volume (C:), the
 * filter loaded, and the processes of the service and of the programs.
 */
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "EmuTesting.h"
#include "Reference.h"

namespace zentaflt::reference {

class EmulatedWindows {
public:
    /* Boots: mounts C:, loads the filter (kernel debugger output echoed
       when Echo), creates the service's process. */
    Result Boot(bool Echo = false);
    /* Ends the processes, unloads the filter; Leaks gets what the
       verifier found left behind. */
    NTSTATUS Shutdown(std::vector<std::string> *Leaks);

    /* Creates a directory and its missing parents, as a program would. */
    Result CreateDirectories(const std::u16string &Path);

    emu::System &System() { return *Emulated; }
    PFLT_INSTANCE Instance() const { return FilterInstance; }
    emu::EmuProcess *ServiceProcess() const { return Service; }

private:
    std::unique_ptr<emu::System> Emulated = std::make_unique<emu::System>();
    PFLT_VOLUME Volume = nullptr;
    PFLT_INSTANCE FilterInstance = nullptr;
    emu::EmuProcess *Service = nullptr;
    bool Loaded = false;
};

}  // namespace zentaflt::reference
