/*
 * Runner.cpp - the fault-injection sweep: for N = 1, 2, ... until a run no
 * longer reaches an Nth injectable call, runs each scenario with the Nth
 * call failed (once with each status the routine documents, then with
 * every call from the Nth on failed), each run in a child process of its
 * own, forked before any emulated thread exists, so that a bug check, a
 * crash or a hang ends only that run.  A run that outlives the time limit
 * is killed and counted as a hang.
 *
 *     zentaflt_sweep [--short] [--scenario NAME]... [--stride K] [--cap N]
 *                    [--timeout SECONDS] [--points] [--list]
 *
 * --short sweeps every point up to 60 with the routine's first status and
 * both modes (the CI gate); the default is the full sweep.  --points lists
 * every injection point reached with its routine and call site.  The exit
 * status is 0 only when no run crashed, stopped the system, hung, left
 * something behind or reported success for work it did not do.
 */
#include "Sweep.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <set>
#include <sstream>

namespace zentaflt_sweep {
namespace {

struct Options {
    bool Short = false;
    bool ListPoints = false;
    uint64_t Stride = 1;
    uint64_t Cap = 0;  // 0: until no point is reached
    bool AllVariants = true;
    int TimeoutSeconds = 60;
    std::set<std::string> Only;
};

struct Hit {
    uint64_t Ordinal = 0;
    std::string Routine;
    std::string Status;
    std::string Source;
    size_t Variants = 1;
    uint64_t Site = 0;
};

struct Outcome {
    bool Reached = false;
    Hit First;
    uint64_t Points = 0;
    std::vector<std::string> Fails;
    std::vector<std::string> Leaks;
    std::vector<std::string> BugChecks;
    bool Done = false;
    bool Hang = false;
    int Signal = 0;
    int ExitCode = 0;

    bool Crashed() const { return !Hang && (!Done || Signal != 0 || ExitCode != 0) && BugChecks.empty(); }
    bool Problem() const { return Hang || Crashed() || !BugChecks.empty() || !Leaks.empty() || !Fails.empty(); }
};

/* ---- the child ---------------------------------------------------------- */

int ChildFd = -1;

void WriteRaw(const std::string &Line)
{
    std::string Text = Line + "\n";
    if (write(ChildFd, Text.data(), Text.size()) < 0) {
        _exit(98);
    }
}

void ReportBugChecks()
{
    for (const std::string &Violation : emu::TheVerifier().Violations()) {
        if (Violation.rfind("bug check", 0) == 0) {
            WriteRaw("bugcheck " + Violation);
        }
    }
}

[[noreturn]] void ChildTerminate()
{
    /* An exception escaped a thread (a bug check on another thread, or one
       raised again while unwinding). */
    ReportBugChecks();
    WriteRaw("terminate");
    _exit(71);
}

[[noreturn]] void RunChild(const Scenario &Chosen, uint64_t Nth, bool Every, size_t Variant, int Fd)
{
    ChildFd = Fd;
    std::set_terminate(ChildTerminate);
    /* The system stays booted until the findings are written: its
       verifier holds the bug check's record. */
    Run R(Fd, Nth, Every, Variant);
    try {
        Chosen.Body(R);
        R.Finish();
        WriteRaw("done");
    } catch (const emu::BugCheck &) {
        ReportBugChecks();
    } catch (const std::exception &Error) {
        WriteRaw(std::string("fail exception: ") + Error.what());
    }
    _exit(0);
}

/* ---- the parent --------------------------------------------------------- */

Outcome Parse(const std::string &Text)
{
    Outcome Result;
    std::istringstream Lines(Text);
    std::string Line;
    while (std::getline(Lines, Line)) {
        std::string Kind = Line.substr(0, Line.find(' '));
        std::string Rest = Line.size() > Kind.size() ? Line.substr(Kind.size() + 1) : "";
        if (Kind == "hit") {
            std::istringstream Fields(Rest);
            std::string Site;
            Fields >> Result.First.Ordinal >> Result.First.Routine >> Result.First.Status >> Result.First.Source >>
                Result.First.Variants >> Site;
            Result.First.Site = strtoull(Site.c_str(), nullptr, 16);
            Result.Reached = true;
        } else if (Kind == "points") {
            Result.Points = strtoull(Rest.c_str(), nullptr, 10);
        } else if (Kind == "fail") {
            Result.Fails.push_back(Rest);
        } else if (Kind == "leak") {
            Result.Leaks.push_back(Rest);
        } else if (Kind == "bugcheck") {
            Result.BugChecks.push_back(Rest);
        } else if (Kind == "done") {
            Result.Done = true;
        }
    }
    return Result;
}

Outcome RunIsolated(const Scenario &Chosen, uint64_t Nth, bool Every, size_t Variant, int TimeoutSeconds)
{
    int Pipe[2];
    if (pipe(Pipe) != 0) {
        perror("pipe");
        exit(2);
    }
    fflush(stdout);
    fflush(stderr);
    pid_t Child = fork();
    if (Child < 0) {
        perror("fork");
        exit(2);
    }
    if (Child == 0) {
        close(Pipe[0]);
        RunChild(Chosen, Nth, Every, Variant, Pipe[1]);
    }
    close(Pipe[1]);
    std::string Text;
    bool Hang = false;
    auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(TimeoutSeconds);
    for (;;) {
        auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0) {
            Hang = true;
            break;
        }
        pollfd Poll = {Pipe[0], POLLIN, 0};
        int Ready = poll(&Poll, 1, (int)Left.count());
        if (Ready < 0 && errno == EINTR) {
            continue;
        }
        if (Ready <= 0) {
            continue;
        }
        char Buffer[4096];
        ssize_t Got = read(Pipe[0], Buffer, sizeof(Buffer));
        if (Got <= 0) {
            break;
        }
        Text.append(Buffer, (size_t)Got);
    }
    if (Hang) {
        kill(Child, SIGKILL);
    }
    close(Pipe[0]);
    int Status = 0;
    waitpid(Child, &Status, 0);
    Outcome Result = Parse(Text);
    Result.Hang = Hang;
    if (!Hang && WIFSIGNALED(Status)) {
        Result.Signal = WTERMSIG(Status);
    } else if (!Hang && WIFEXITED(Status)) {
        Result.ExitCode = WEXITSTATUS(Status);
    }
    return Result;
}

/* Function and file:line of call sites, by llvm-symbolizer (or the raw
   offset when it is not there). */
std::map<uint64_t, std::string> Symbolize(const std::set<uint64_t> &Sites)
{
    std::map<uint64_t, std::string> Names;
    if (Sites.empty()) {
        return Names;
    }
    char Input[] = "/tmp/zentaflt-sweep-XXXXXX";
    int Fd = mkstemp(Input);
    if (Fd < 0) {
        return Names;
    }
    std::string Addresses;
    for (uint64_t Site : Sites) {
        char Line[32];
        snprintf(Line, sizeof(Line), "0x%llx\n", (unsigned long long)(Site - 1));
        Addresses += Line;
    }
    if (write(Fd, Addresses.data(), Addresses.size()) < 0) {
        close(Fd);
        return Names;
    }
    close(Fd);
    char Self[4096];
    ssize_t Length = readlink("/proc/self/exe", Self, sizeof(Self) - 1);
    Self[Length > 0 ? Length : 0] = 0;
    std::string Command =
        std::string("llvm-symbolizer --no-inlines --obj='") + Self + "' < " + Input + " 2>/dev/null";
    FILE *Output = popen(Command.c_str(), "r");
    if (Output != nullptr) {
        char Line[4096];
        auto Site = Sites.begin();
        std::string Function;
        int Field = 0;
        while (Site != Sites.end() && fgets(Line, sizeof(Line), Output) != nullptr) {
            std::string Text(Line);
            while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) {
                Text.pop_back();
            }
            if (Text.empty()) {
                if (Field != 0) {
                    ++Site;
                }
                Field = 0;
                continue;
            }
            if (Field == 0) {
                Function = Text.substr(0, Text.find('('));
            } else if (Field == 1) {
                std::string Location = Text;
                if (Location.rfind(SWEEP_SOURCE_DIR, 0) == 0) {
                    Location = Location.substr(strlen(SWEEP_SOURCE_DIR));
                }
                Names[*Site] = Function + " (" + Location + ")";
            }
            Field += 1;
        }
        pclose(Output);
    }
    unlink(Input);
    for (uint64_t Site : Sites) {
        if (Names.count(Site) == 0) {
            char Raw[32];
            snprintf(Raw, sizeof(Raw), "+0x%llx", (unsigned long long)Site);
            Names[Site] = Raw;
        }
    }
    return Names;
}

struct Problem {
    uint64_t Nth;
    bool Every;
    size_t Variant;
    Outcome Result;
};

struct Totals {
    uint64_t Points = 0;
    uint64_t Runs = 0;
    uint64_t Crashes = 0;
    uint64_t BugChecks = 0;
    uint64_t Hangs = 0;
    uint64_t Leaks = 0;
    uint64_t FalseSuccesses = 0;
    uint64_t ReturnTypeOnly = 0;  // points at routines that document no failure
    std::vector<Problem> Problems;
    std::vector<Hit> Reached;
};

void Count(Totals &Sum, uint64_t Nth, bool Every, size_t Variant, const Outcome &Result)
{
    Sum.Runs += 1;
    Sum.Crashes += Result.Crashed() ? 1 : 0;
    Sum.BugChecks += Result.BugChecks.empty() ? 0 : 1;
    Sum.Hangs += Result.Hang ? 1 : 0;
    Sum.Leaks += (!Result.Hang && !Result.Leaks.empty()) ? 1 : 0;
    Sum.FalseSuccesses += Result.Fails.empty() ? 0 : 1;
    if (Result.Problem()) {
        Sum.Problems.push_back(Problem{Nth, Every, Variant, Result});
    }
}

Totals Sweep(const Scenario &Chosen, const Options &Settings)
{
    Totals Sum;
    for (uint64_t Nth = 1; Settings.Cap == 0 || Nth <= Settings.Cap; Nth += Settings.Stride) {
        Outcome Once = RunIsolated(Chosen, Nth, false, 0, Settings.TimeoutSeconds);
        if (!Once.Reached) {
            /* The scenario makes fewer than Nth injectable calls: this run
               had no failure injected, and shows the scenario's own
               soundness. */
            if (Once.Problem()) {
                Count(Sum, Nth, false, 0, Once);
            }
            break;
        }
        Count(Sum, Nth, false, 0, Once);
        Sum.Points = Nth;
        Sum.Reached.push_back(Once.First);
        Sum.ReturnTypeOnly += Once.First.Source == "return-type" ? 1 : 0;
        for (size_t Variant = 1; Settings.AllVariants && Variant < Once.First.Variants; Variant += 1) {
            Count(Sum, Nth, false, Variant, RunIsolated(Chosen, Nth, false, Variant, Settings.TimeoutSeconds));
        }
        Count(Sum, Nth, true, 0, RunIsolated(Chosen, Nth, true, 0, Settings.TimeoutSeconds));
    }
    return Sum;
}

void PrintProblem(const Problem &Found, const std::map<uint64_t, std::string> &Sites)
{
    const Outcome &Result = Found.Result;
    printf("  N=%llu %s status#%zu:", (unsigned long long)Found.Nth, Found.Every ? "every-from" : "once",
           Found.Variant);
    if (Result.Reached) {
        auto Site = Sites.find(Result.First.Site);
        printf(" failed %s with %s (%s) called from %s\n", Result.First.Routine.c_str(), Result.First.Status.c_str(),
               Result.First.Source.c_str(), Site == Sites.end() ? "?" : Site->second.c_str());
    } else {
        printf(" no point reached\n");
    }
    if (Result.Hang) {
        printf("    HANG: killed after the time limit\n");
    }
    for (const std::string &Text : Result.BugChecks) {
        printf("    BUG CHECK: %s\n", Text.c_str());
    }
    if (Result.Crashed()) {
        printf("    CRASH: %s\n", Result.Signal != 0 ? strsignal(Result.Signal)
                                                      : ("exit " + std::to_string(Result.ExitCode) +
                                                         (Result.Done ? "" : ", unfinished")).c_str());
    }
    for (const std::string &Text : Result.Fails) {
        printf("    FALSE SUCCESS: %s\n", Text.c_str());
    }
    for (const std::string &Text : Result.Leaks) {
        printf("    LEFT BEHIND: %s\n", Text.c_str());
    }
}

int Usage()
{
    fprintf(stderr,
            "usage: zentaflt_sweep [--short] [--scenario NAME]... [--stride K] [--cap N] [--timeout SECONDS] "
            "[--points] [--list]\n");
    return 2;
}

}  // namespace
}  // namespace zentaflt_sweep

using namespace zentaflt_sweep;

int main(int argc, char **argv)
{
    Options Settings;
    for (int Index = 1; Index < argc; Index += 1) {
        std::string Argument = argv[Index];
        auto Value = [&]() -> const char * { return Index + 1 < argc ? argv[++Index] : nullptr; };
        if (Argument == "--short") {
            Settings.Short = true;
            Settings.Cap = 60;
            Settings.AllVariants = false;
        } else if (Argument == "--full") {
            Settings.Short = false;
        } else if (Argument == "--points") {
            Settings.ListPoints = true;
        } else if (Argument == "--list") {
            for (const Scenario &Each : Scenarios()) {
                printf("%s: %s\n", Each.Name, Each.Meaning);
            }
            return 0;
        } else if (Argument == "--scenario" || Argument == "--stride" || Argument == "--cap" ||
                   Argument == "--timeout") {
            const char *Text = Value();
            if (Text == nullptr) {
                return Usage();
            }
            if (Argument == "--scenario") {
                Settings.Only.insert(Text);
            } else if (Argument == "--stride") {
                Settings.Stride = std::max<uint64_t>(1, strtoull(Text, nullptr, 10));
            } else if (Argument == "--cap") {
                Settings.Cap = strtoull(Text, nullptr, 10);
            } else {
                Settings.TimeoutSeconds = atoi(Text);
            }
        } else {
            return Usage();
        }
    }

    bool Clean = true;
    auto Started = std::chrono::steady_clock::now();
    printf("%s sweep%s\n", Settings.Short ? "short" : "full",
           Settings.Cap != 0 ? (" (points up to " + std::to_string(Settings.Cap) + ")").c_str() : "");
    for (const Scenario &Each : Scenarios()) {
        if (!Settings.Only.empty() && Settings.Only.count(Each.Name) == 0) {
            continue;
        }
        auto Begun = std::chrono::steady_clock::now();
        Totals Sum = Sweep(Each, Settings);
        double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Begun).count();
        std::set<uint64_t> Sites;
        for (const Hit &Point : Sum.Reached) {
            Sites.insert(Point.Site);
        }
        for (const Problem &Found : Sum.Problems) {
            Sites.insert(Found.Result.First.Site);
        }
        std::map<uint64_t, std::string> Names = Symbolize(Sites);
        printf("%s: %llu injection points (%llu of them return-type only), %llu runs in %.1f s: %llu crashes, "
               "%llu bug checks, %llu hangs, %llu with leaks, %llu with false successes\n",
               Each.Name, (unsigned long long)Sum.Points, (unsigned long long)Sum.ReturnTypeOnly,
               (unsigned long long)Sum.Runs, Seconds, (unsigned long long)Sum.Crashes,
               (unsigned long long)Sum.BugChecks, (unsigned long long)Sum.Hangs, (unsigned long long)Sum.Leaks,
               (unsigned long long)Sum.FalseSuccesses);
        if (Settings.ListPoints) {
            for (const Hit &Point : Sum.Reached) {
                printf("  point %llu: %s (%zu status%s) from %s\n", (unsigned long long)Point.Ordinal,
                       Point.Routine.c_str(), Point.Variants, Point.Variants == 1 ? "" : "es",
                       Names[Point.Site].c_str());
            }
        }
        for (const Problem &Found : Sum.Problems) {
            PrintProblem(Found, Names);
        }
        Clean = Clean && Sum.Problems.empty() && Sum.Points != 0;
    }
    printf("sweep took %.1f s\n",
           std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count());
    return Clean ? 0 : 1;
}
