/*
 * Commands.h - zentaflt-service's commands, over a host: Windows itself
 * (WindowsMain.cpp) or the emulated system booted inside the program on
 * Linux (EmulatedMain.cpp).
 */
#pragma once

#include <string>
#include <vector>

#include "Reference.h"

namespace zentaflt::reference {

/* Exit codes of zentaflt-service. */
enum ExitCode {
    ExitSuccess = 0,      // the command did all it was asked
    ExitPartial = 1,      // it ran, but some files failed (each is named)
    ExitUsage = 2,        // bad command line
    ExitUnavailable = 3,  // the sync root or the source could not be used, or the filter refused the connection
};

/* A parsed command line. */
struct Invocation {
    std::string Command;                 // serve, populate, dehydrate, status, help
    std::vector<std::u16string> Paths;   // SYNC_ROOT, or the files to dehydrate
    std::filesystem::path Source;        // --source
    std::u16string Root;                 // --root (dehydrate)
    unsigned Threads = 4;                // --threads
    ULONG PieceSize = 1024 * 1024;       // --piece-size
    double Duration = 0;                 // --duration seconds (serve); 0 = until Ctrl-C
    bool Populate = true;                // serve --no-populate clears it
    bool Quiet = false;                  // --quiet: no progress line
    bool Help = false;                   // --help
};

/* What the commands need of the platform. */
class Host {
public:
    virtual ~Host() = default;
    /* Sets the platform up for the command (the emulated host boots and
       prepares its volume); a failure ends the run with ExitUnavailable. */
    virtual Result Prepare(const Invocation &Command) = 0;
    /* True once the user asked to stop (Ctrl-C). */
    virtual bool Interrupted() = 0;
    virtual void Pause(unsigned Milliseconds) = 0;
};

/* Runs zentaflt-service with its arguments (argv[0] is the program);
   returns the exit code. */
int RunService(int Count, char **Arguments, Host &Platform);

/* Parses the arguments after the program's name; Error says what is wrong
   when the result is false. */
bool ParseInvocation(const std::vector<std::string> &Arguments, Invocation *Out, std::string *Error);

/* The help text of a command ("" for the program's own). */
std::string HelpText(const std::string &Command);

}  // namespace zentaflt::reference
