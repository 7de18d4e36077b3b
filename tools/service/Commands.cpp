/*
 * Commands.cpp - zentaflt-service: serve, populate, dehydrate, status, and
 * the help of each.
 */
#include "Commands.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>

namespace zentaflt::reference {

namespace {

using service::Failure;
using service::Success;
using service::Utf16;
using service::Utf8;

const char *ProgramHelp =
    "usage: zentaflt-service COMMAND [OPTIONS]\n"
    "\n"
    "The reference sync service: mirrors a source directory tree into a sync root as\n"
    "placeholders and hydrates them from it when programs use their data.\n"
    "\n"
    "commands:\n"
    "  serve SYNC_ROOT --source DIR   mirror DIR into SYNC_ROOT and serve it until Ctrl-C\n"
    "  populate SYNC_ROOT --source DIR\n"
    "                                 mirror DIR into SYNC_ROOT as placeholders, then exit\n"
    "  dehydrate PATH...              turn full files back into placeholders; shows the space freed\n"
    "  status SYNC_ROOT --source DIR  placeholders, full files and space of a sync root, and\n"
    "                                 whether a service serves it\n"
    "  help [COMMAND]                 this text, or a command's (also COMMAND --help)\n"
    "\n"
    "exit codes:\n"
    "  0  the command did all it was asked\n"
    "  1  it ran, but some files failed (each is named on stderr)\n"
    "  2  bad command line\n"
    "  3  the sync root or the source could not be used, or the filter refused the connection\n"
    "  4  (Linux) the emulated system did not unload cleanly: something was left behind\n"
    "\n"
    "On Linux the program boots an emulated Windows system inside itself: one NTFS volume C:,\n"
    "empty at the start, with the filter loaded; SYNC_ROOT must lie on C:.  There dehydrate\n"
    "and status take --source DIR to mirror DIR first (dehydrate also reads the named files).\n";

const char *ServeHelp =
    "usage: zentaflt-service serve SYNC_ROOT --source DIR [--threads N] [--piece-size BYTES]\n"
    "                              [--no-populate] [--duration SECONDS] [--quiet]\n"
    "\n"
    "Connects SYNC_ROOT (a directory, e.g. C:\\Sync) to the filter, mirrors DIR into it (as\n"
    "populate does) and hydrates each placeholder from DIR when a program needs its data:\n"
    "N threads (default 4) take the filter's requests and send the data in pieces of at most\n"
    "BYTES (default 1048576, a multiple of 4096).  A file missing from DIR or unreadable\n"
    "fails that hydration, and the program's operation, with a failure status.  Questions\n"
    "(a directory deleted or renamed, a file moved out) are allowed.  A status line shows\n"
    "requests, completions, failures, requests in progress and bytes sent.\n"
    "Ctrl-C (or the end of --duration) disconnects: programs still waiting for data fail\n"
    "with STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING (0xC000CF01).\n"
    "Exit code 0 after a clean stop, 3 when SYNC_ROOT cannot be connected.\n";

const char *PopulateHelp =
    "usage: zentaflt-service populate SYNC_ROOT --source DIR [--quiet]\n"
    "\n"
    "Mirrors the tree under DIR into SYNC_ROOT: directories as directories (existing ones\n"
    "kept), files as placeholders with the source's size and last-write time, carrying the\n"
    "file's path under DIR as the service's reference data.  A progress line shows the\n"
    "entries made.  Exit code 0 when every entry was made, 1 when some failed (each named),\n"
    "3 when SYNC_ROOT or DIR cannot be used.\n";

const char *DehydrateHelp =
    "usage: zentaflt-service dehydrate PATH... [--root SYNC_ROOT]\n"
    "\n"
    "Turns each full file PATH inside a sync root back into a placeholder: its data is\n"
    "thrown away, its size kept, and the next use hydrates it again.  SYNC_ROOT (default:\n"
    "the first directory of PATH, e.g. C:\\Sync for C:\\Sync\\a\\b.txt) gives the file's path\n"
    "under the source, its reference data.  Prints the space each file used before and\n"
    "after, and the total freed.  Exit code 0 when all were converted, 1 when some failed.\n";

const char *StatusHelp =
    "usage: zentaflt-service status SYNC_ROOT --source DIR\n"
    "\n"
    "For each entry of DIR, the state of its mirror in SYNC_ROOT (placeholder, full file,\n"
    "directory or missing); then the counts, the space the files use, and whether a service\n"
    "is connected to SYNC_ROOT (the filter refuses a second connection of one directory).\n"
    "Exit code 0, 3 when SYNC_ROOT cannot be used.\n";

const char *HelpHelp = "usage: zentaflt-service help [COMMAND]\n\nPrints the help of the program or of COMMAND.\n";

bool ParseNumber(const std::string &Text, double *Value)
{
    char *End = nullptr;
    *Value = strtod(Text.c_str(), &End);
    return !Text.empty() && End != nullptr && *End == 0 && *Value >= 0;
}

/* The first directory of a path: C:\Sync for C:\Sync\a\b.txt. */
std::u16string FirstDirectoryOf(const std::u16string &Path)
{
    size_t Start = Path.find(u'\\');
    if (Start == std::u16string::npos) {
        return std::u16string();
    }
    size_t End = Path.find(u'\\', Start + 1);
    return End == std::u16string::npos ? std::u16string() : Path.substr(0, End);
}

/* Path relative to Root, with '/', or "" when Path is not under Root. */
std::string RelativeTo(const std::u16string &Root, const std::u16string &Path)
{
    if (Path.size() <= Root.size() + 1 || Path[Root.size()] != u'\\') {
        return std::string();
    }
    for (size_t Index = 0; Index < Root.size(); Index += 1) {
        char16_t A = Root[Index], B = Path[Index];
        if (A < 128 && B < 128 && tolower((int)A) != tolower((int)B)) {
            return std::string();
        }
        if ((A >= 128 || B >= 128) && A != B) {
            return std::string();
        }
    }
    std::string Relative = Utf8(Path.substr(Root.size() + 1));
    for (char &Character : Relative) {
        if (Character == '\\') {
            Character = '/';
        }
    }
    return Relative;
}

int Populate(const Invocation &Command, std::vector<SourceEntry> *Entries)
{
    Result Scanned = ScanSource(Command.Source, Entries);
    if (!Scanned.Ok()) {
        fprintf(stderr, "zentaflt-service: %s\n", Scanned.Message.c_str());
        return ExitUnavailable;
    }
    Progress Shown("populate", Entries->size(), !Command.Quiet);
    PopulateCounts Counts;
    Result Done = Populate(Command.Paths[0], *Entries, &Counts, &Shown);
    if (!Done.Ok()) {
        fprintf(stderr, "zentaflt-service: %s\n", Done.Message.c_str());
        return ExitUnavailable;
    }
    for (const std::string &Message : Counts.Failures) {
        fprintf(stderr, "zentaflt-service: %s\n", Message.c_str());
    }
    printf("populated %s: %llu directories, %llu placeholders (%s), %zu failed\n",
           Utf8(Command.Paths[0]).c_str(), (unsigned long long)Counts.Directories,
           (unsigned long long)Counts.Placeholders, Bytes(Counts.Bytes).c_str(), Counts.Failures.size());
    return Counts.Failures.empty() ? ExitSuccess : ExitPartial;
}

int Serve(const Invocation &Command, Host &Platform)
{
    std::vector<SourceEntry> Entries;
    int Code = ExitSuccess;
    if (Command.Populate) {
        Code = Populate(Command, &Entries);
        if (Code == ExitUnavailable) {
            return Code;
        }
    }
    service::SyncService Service;
    service::ServiceOptions Options;
    Options.Threads = Command.Threads;
    Options.PieceSize = Command.PieceSize;
    Options.Observer = [](const service::ServiceEvent &Event) {
        if (Event.Kind == service::EventKind::HydrationFailed) {
            fprintf(stderr, "\nzentaflt-service: hydration of %s failed with 0x%08X: %s\n",
                    Utf8(Event.Request->Path).c_str(), (unsigned)Event.Status, Event.Message.c_str());
        } else if (Event.Kind == service::EventKind::ReceiveFailed) {
            fprintf(stderr, "\nzentaflt-service: %s\n", Event.Message.c_str());
        }
    };
    Result Started = Service.Start((LPCWSTR)Command.Paths[0].c_str(), TreeSource(Command.Source), Options);
    if (!Started.Ok()) {
        fprintf(stderr, "zentaflt-service: %s\n", Started.Message.c_str());
        return ExitUnavailable;
    }
    printf("serving %s from %s with %u threads; Ctrl-C stops\n", Utf8(Command.Paths[0]).c_str(),
           Command.Source.string().c_str(), Command.Threads);
    fflush(stdout);
    auto Began = std::chrono::steady_clock::now();
    service::ServiceStatistics Last;
    bool First = true;
    while (!Platform.Interrupted()) {
        if (Command.Duration > 0 &&
            std::chrono::duration<double>(std::chrono::steady_clock::now() - Began).count() >= Command.Duration) {
            break;
        }
        service::ServiceStatistics Now = Service.Statistics();
        if (!Command.Quiet && (First || Now.Requests != Last.Requests || Now.BytesSent != Last.BytesSent ||
                               Now.InProgress != Last.InProgress)) {
            fprintf(stderr, "\rconnected 1, requests %llu, completed %llu, failed %llu, in progress %llu, sent %s   ",
                    (unsigned long long)Now.Requests, (unsigned long long)Now.Completed,
                    (unsigned long long)Now.Failed, (unsigned long long)Now.InProgress, Bytes(Now.BytesSent).c_str());
            fflush(stderr);
            Last = Now;
            First = false;
        }
        Platform.Pause(100);
    }
    Service.Stop();
    service::ServiceStatistics End = Service.Statistics();
    if (!Command.Quiet) {
        fprintf(stderr, "\n");
    }
    printf("disconnected %s: %llu requests, %llu completed, %llu failed, %s sent\n", Utf8(Command.Paths[0]).c_str(),
           (unsigned long long)End.Requests, (unsigned long long)End.Completed, (unsigned long long)End.Failed,
           Bytes(End.BytesSent).c_str());
    return Code;
}

int Dehydrate(const Invocation &Command)
{
    int Code = ExitSuccess;
    ULONGLONG Freed = 0;
    /* The filter converts only files under a connected sync root: connect
       each root for the time of the command, unless a service already
       serves it (the filter refuses a second connection then, and the
       service's connection does). */
    std::vector<service::ServiceConnection> Connections;
    std::vector<std::u16string> Roots;
    for (const std::u16string &Path : Command.Paths) {
        std::u16string Root = Command.Root.empty() ? FirstDirectoryOf(Path) : Command.Root;
        if (!Root.empty() && std::find(Roots.begin(), Roots.end(), Root) == Roots.end()) {
            Roots.push_back(Root);
            service::ServiceConnection Connection;
            if (service::ConnectSyncRootPath((LPCWSTR)Root.c_str(), &Connection) == S_OK) {
                Connections.push_back(Connection);
            }
        }
    }
    for (const std::u16string &Path : Command.Paths) {
        std::u16string Root = Command.Root.empty() ? FirstDirectoryOf(Path) : Command.Root;
        std::string Relative = RelativeTo(Root, Path);
        if (Relative.empty()) {
            fprintf(stderr, "zentaflt-service: %s is not inside the sync root %s\n", Utf8(Path).c_str(),
                    Utf8(Root).c_str());
            Code = ExitPartial;
            continue;
        }
        SpaceUsed Before, After;
        Result Step = QuerySpace(Path, &Before);
        if (Step.Ok()) {
            Step = service::ConvertFile((LPCWSTR)Path.c_str(), std::vector<unsigned char>(Relative.begin(), Relative.end()));
        }
        if (Step.Ok()) {
            Step = QuerySpace(Path, &After);
        }
        if (!Step.Ok()) {
            fprintf(stderr, "zentaflt-service: %s\n", Step.Message.c_str());
            Code = ExitPartial;
            continue;
        }
        ULONGLONG Gain = Before.Allocated > After.Allocated ? (ULONGLONG)(Before.Allocated - After.Allocated) : 0;
        Freed += Gain;
        printf("dehydrated %s: %s, on disk %s -> %s\n", Utf8(Path).c_str(), Bytes((ULONGLONG)Before.Size).c_str(),
               Bytes((ULONGLONG)Before.Allocated).c_str(), Bytes((ULONGLONG)After.Allocated).c_str());
    }
    for (service::ServiceConnection &Connection : Connections) {
        service::Disconnect(&Connection);
    }
    printf("space freed: %s\n", Bytes(Freed).c_str());
    return Code;
}

int Status(const Invocation &Command)
{
    std::vector<SourceEntry> Entries;
    Result Scanned = ScanSource(Command.Source, &Entries);
    if (!Scanned.Ok()) {
        fprintf(stderr, "zentaflt-service: %s\n", Scanned.Message.c_str());
        return ExitUnavailable;
    }
    ULONGLONG Placeholders = 0, Full = 0, Directories = 0, Missing = 0, Allocated = 0, Size = 0;
    for (const SourceEntry &Entry : Entries) {
        std::u16string Path = SyncPathOf(Command.Paths[0], Entry.Relative);
        SpaceUsed Space;
        if (Entry.Directory) {
            HANDLE Directory = CreateFileW((LPCWSTR)Path.c_str(), FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                           FILE_FLAG_BACKUP_SEMANTICS, NULL);
            if (Directory == INVALID_HANDLE_VALUE) {
                Missing += 1;
                printf("  missing      %s\\\n", Utf8(Path).c_str());
            } else {
                Directories += 1;
                CloseHandle(Directory);
            }
            continue;
        }
        if (!QuerySpace(Path, &Space).Ok()) {
            Missing += 1;
            printf("  missing      %s\n", Utf8(Path).c_str());
            continue;
        }
        bool Placeholder = (Space.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        (Placeholder ? Placeholders : Full) += 1;
        Allocated += (ULONGLONG)Space.Allocated;
        Size += (ULONGLONG)Space.Size;
        printf("  %-12s %s (%s, on disk %s)\n", Placeholder ? "placeholder" : "full", Utf8(Path).c_str(),
               Bytes((ULONGLONG)Space.Size).c_str(), Bytes((ULONGLONG)Space.Allocated).c_str());
    }
    /* The filter refuses a connection of a directory already connected:
       a refusal means a service serves it. */
    service::ServiceConnection Probe;
    HRESULT Connected = service::ConnectSyncRootPath((LPCWSTR)Command.Paths[0].c_str(), &Probe);
    if (Connected == S_OK) {
        service::Disconnect(&Probe);
    }
    printf("%s: %llu directories, %llu placeholders, %llu full files, %llu missing; %s of data, %s on disk\n",
           Utf8(Command.Paths[0]).c_str(), (unsigned long long)Directories, (unsigned long long)Placeholders,
           (unsigned long long)Full, (unsigned long long)Missing, Bytes(Size).c_str(), Bytes(Allocated).c_str());
    printf("service connected: %s\n", Connected == S_OK ? "no" : ("yes (" + service::DescribeCode(Connected) + ")").c_str());
    return ExitSuccess;
}

}  // namespace

std::string HelpText(const std::string &Command)
{
    if (Command == "serve") {
        return ServeHelp;
    }
    if (Command == "populate") {
        return PopulateHelp;
    }
    if (Command == "dehydrate") {
        return DehydrateHelp;
    }
    if (Command == "status") {
        return StatusHelp;
    }
    if (Command == "help") {
        return HelpHelp;
    }
    return ProgramHelp;
}

bool ParseInvocation(const std::vector<std::string> &Arguments, Invocation *Out, std::string *Error)
{
    *Out = Invocation();
    if (Arguments.empty()) {
        *Error = "no command";
        return false;
    }
    Out->Command = Arguments[0];
    if (Out->Command == "--help" || Out->Command == "-h") {
        Out->Command = "help";
        return true;
    }
    const char *Known[] = {"serve", "populate", "dehydrate", "status", "help"};
    bool Found = false;
    for (const char *Name : Known) {
        Found = Found || Out->Command == Name;
    }
    if (!Found) {
        *Error = "unknown command '" + Out->Command + "'";
        return false;
    }
    for (size_t Index = 1; Index < Arguments.size(); Index += 1) {
        const std::string &Argument = Arguments[Index];
        auto Value = [&](std::string *Into) {
            if (Index + 1 >= Arguments.size()) {
                *Error = Argument + " needs a value";
                return false;
            }
            *Into = Arguments[++Index];
            return true;
        };
        std::string Text;
        double Number = 0;
        if (Argument == "--help" || Argument == "-h") {
            Out->Help = true;
        } else if (Argument == "--source") {
            if (!Value(&Text)) {
                return false;
            }
#ifdef _WIN32
            std::u16string Wide = Utf16(Text);
            Out->Source = std::filesystem::path(std::wstring((const wchar_t *)Wide.c_str(), Wide.size()));
#else
            Out->Source = std::filesystem::path(Text);
#endif
        } else if (Argument == "--root") {
            if (!Value(&Text)) {
                return false;
            }
            Out->Root = Utf16(Text);
        } else if (Argument == "--threads") {
            if (!Value(&Text) || !ParseNumber(Text, &Number) || Number < 1 || Number > 64) {
                *Error = "--threads needs a number from 1 to 64";
                return false;
            }
            Out->Threads = (unsigned)Number;
        } else if (Argument == "--piece-size") {
            if (!Value(&Text) || !ParseNumber(Text, &Number) || Number < 4096 || Number > 64.0 * 1024 * 1024 ||
                (ULONG)Number % 4096 != 0) {
                *Error = "--piece-size needs a multiple of 4096 from 4096 to 64 MiB";
                return false;
            }
            Out->PieceSize = (ULONG)Number;
        } else if (Argument == "--duration") {
            if (!Value(&Text) || !ParseNumber(Text, &Number)) {
                *Error = "--duration needs a number of seconds";
                return false;
            }
            Out->Duration = Number;
        } else if (Argument == "--no-populate") {
            Out->Populate = false;
        } else if (Argument == "--quiet" || Argument == "-q") {
            Out->Quiet = true;
        } else if (!Argument.empty() && Argument[0] == '-') {
            *Error = "unknown option " + Argument;
            return false;
        } else {
            std::u16string Path = Utf16(Argument);
            while (Path.size() > 3 && Path.back() == u'\\') {
                Path.pop_back();
            }
            Out->Paths.push_back(Path);
        }
    }
    if (Out->Help || Out->Command == "help") {
        return true;
    }
    bool NeedsRoot = Out->Command == "serve" || Out->Command == "populate" || Out->Command == "status";
    if (NeedsRoot && Out->Paths.size() != 1) {
        *Error = Out->Command + " needs one SYNC_ROOT";
        return false;
    }
    if (NeedsRoot && Out->Source.empty()) {
        *Error = Out->Command + " needs --source DIR";
        return false;
    }
    if (Out->Command == "dehydrate" && Out->Paths.empty()) {
        *Error = "dehydrate needs at least one PATH";
        return false;
    }
    return true;
}

int RunService(int Count, char **Arguments, Host &Platform)
{
    std::vector<std::string> Words(Arguments + 1, Arguments + Count);
    Invocation Command;
    std::string Error;
    if (!ParseInvocation(Words, &Command, &Error)) {
        fprintf(stderr, "zentaflt-service: %s\n\n%s", Error.c_str(),
                HelpText(Command.Command == "help" ? "" : Command.Command).c_str());
        return ExitUsage;
    }
    if (Command.Help) {
        fputs(HelpText(Command.Command).c_str(), stdout);
        return ExitSuccess;
    }
    if (Command.Command == "help") {
        std::string Topic = Command.Paths.empty() ? std::string() : Utf8(Command.Paths[0]);
        fputs(HelpText(Topic).c_str(), stdout);
        return ExitSuccess;
    }
    Result Ready = Platform.Prepare(Command);
    if (!Ready.Ok()) {
        fprintf(stderr, "zentaflt-service: %s\n", Ready.Message.c_str());
        return ExitUnavailable;
    }
    if (Command.Command == "serve") {
        return Serve(Command, Platform);
    }
    if (Command.Command == "populate") {
        std::vector<SourceEntry> Entries;
        return Populate(Command, &Entries);
    }
    if (Command.Command == "dehydrate") {
        return Dehydrate(Command);
    }
    return Status(Command);
}

}  // namespace zentaflt::reference
