/*
 * Emulated.cpp - booting the emulated system for the Linux programs.
 */
#include "Emulated.h"

#include "Zentaflt.h"

namespace zentaflt::reference {

using service::Failure;
using service::NtFailure;
using service::Success;
using service::Utf8;

Result EmulatedWindows::Boot(bool Echo)
{
    Emulated->KernelDebugger().SetEcho(Echo);
    Volume = Emulated->Mount();
    FilterGlobals.DebugFlags = Echo ? DebugFlagPrintFailures : 0;
    NTSTATUS Status = Emulated->LoadDriver(GsDriverEntry);
    if (!NT_SUCCESS(Status)) {
        return NtFailure(Status, "load the filter");
    }
    Loaded = true;
    FilterInstance = Emulated->InstanceOn(Volume);
    if (FilterInstance == nullptr) {
        return NtFailure(Emulated->SetupStatusOn(Volume), "attach the filter to C:");
    }
    Service = Emulated->CreateProcess("zentaflt-service.exe");
    return Success();
}

NTSTATUS EmulatedWindows::Shutdown(std::vector<std::string> *Leaks)
{
    if (Service != nullptr) {
        Emulated->Terminate(Service);
        Service = nullptr;
    }
    NTSTATUS Status = STATUS_SUCCESS;
    if (Loaded) {
        Status = Emulated->UnloadDriver(0);
        Loaded = false;
    }
    *Leaks = Emulated->Leaks();
    return Status;
}

Result EmulatedWindows::CreateDirectories(const std::u16string &Path)
{
    for (size_t At = Path.find(u'\\', 3); ; At = Path.find(u'\\', At + 1)) {
        std::u16string Part = At == std::u16string::npos ? Path : Path.substr(0, At);
        if (!CreateDirectoryW((LPCWSTR)Part.c_str(), NULL) && GetLastError() != ERROR_ALREADY_EXISTS) {
            return service::LastErrorFailure("create the directory " + Utf8(Part));
        }
        if (At == std::u16string::npos) {
            return Success();
        }
    }
}

}  // namespace zentaflt::reference
