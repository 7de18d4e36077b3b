/*
 * WindowsMain.cpp - zentaflt-service on Windows: the commands run against
 * the machine's own file system and filter; Ctrl-C (or Ctrl-Break, or the
 * console closing) stops a serve cleanly.
 */
#include <windows.h>

#include <atomic>

#include "Commands.h"

namespace {

using namespace zentaflt::reference;
using zentaflt::service::Success;

std::atomic<bool> Stop{false};

BOOL WINAPI OnConsoleControl(DWORD Event)
{
    (void)Event;
    Stop = true;
    return TRUE;
}

class WindowsHost : public Host {
public:
    Result Prepare(const Invocation &) override
    {
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        return Success();
    }

    bool Interrupted() override { return Stop.load(); }

    void Pause(unsigned Milliseconds) override { Sleep(Milliseconds); }

};

}  // namespace

int main(int argc, char **argv)
{
    WindowsHost Platform;
    return RunService(argc, argv, Platform);
}
