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
using zentaflt::service::Failure;
using zentaflt::service::Success;
using zentaflt::service::Utf8;

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

    PlaceholderMaker Maker() override
    {
        return [](const std::u16string &Directory, const std::vector<NewPlaceholder> &Files) {
            return std::vector<Result>(Files.size(),
                                       Failure(E_NOTIMPL, "create placeholders in " + Utf8(Directory) +
                                                              " (this build has no placeholder create request)"));
        };
    }

    Result Dehydrate(const std::u16string &Path, const std::vector<unsigned char> &) override
    {
        return Failure(E_NOTIMPL, "convert " + Utf8(Path) + " (this build has no placeholder conversion request)");
    }
};

}  // namespace

int main(int argc, char **argv)
{
    WindowsHost Platform;
    return RunService(argc, argv, Platform);
}
