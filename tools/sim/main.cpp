/*
 * zentaflt-sim - the main job: boots the emulated Windows system, loads the
 * filter, starts the reference service on a source tree (a generated one,
 * or --source DIR), runs programs that read, write, lock, map, rename and
 * delete in the sync root, some from several threads at once, breaks the source
 * under the service on purpose, disconnects, unloads, and prints an account
 * of what happened.
 *
 *   zentaflt-sim [--source DIR] [--trace | --verbose] [--json FILE] [--small]
 *
 * Exit status: 0 when every check held (every byte read matched the
 * source, every status was the one expected) and the unload left nothing
 * behind; 1 otherwise; 2 for a bad command line.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "Emulated.h"
#include "Reference.h"
#include "Zentaflt.h"

namespace {

namespace fs = std::filesystem;
using namespace zentaflt::reference;
using zentaflt::service::EventKind;
using zentaflt::service::ServiceEvent;
using zentaflt::service::Utf16;
using zentaflt::service::Utf8;

/* ------------------------------------------------------------------------
 * The account: sections of lines, printed as the run goes and kept for
 * --json.
 * ---------------------------------------------------------------------- */
struct Check {
    std::string Section;
    std::string Text;
    bool Ok;
};

class Account {
public:
    void Section(const std::string &Name)
    {
        Current = Name;
        printf("\n== %s\n", Name.c_str());
        fflush(stdout);
    }

    /* A line that states a fact. */
    void Note(const std::string &Text)
    {
        Lines.push_back({Current, Text, true});
        printf("   %s\n", Text.c_str());
        fflush(stdout);
    }

    /* A line that states a check and whether it held. */
    void Expect(bool Ok, const std::string &Text)
    {
        Lines.push_back({Current, Text, Ok});
        printf("%s %s\n", Ok ? "ok " : "FAIL", Text.c_str());
        fflush(stdout);
        Failures += Ok ? 0 : 1;
    }

    void Number(const std::string &Name, long long Value) { Numbers[Name] = Value; }

    bool WriteJson(const std::string &Path) const
    {
        FILE *Out = fopen(Path.c_str(), "w");
        if (Out == nullptr) {
            return false;
        }
        fprintf(Out, "{\n  \"ok\": %s,\n  \"failures\": %d,\n  \"numbers\": {", Failures == 0 ? "true" : "false",
                Failures);
        bool First = true;
        for (const auto &[Name, Value] : Numbers) {
            fprintf(Out, "%s\n    \"%s\": %lld", First ? "" : ",", Name.c_str(), Value);
            First = false;
        }
        fprintf(Out, "\n  },\n  \"lines\": [");
        First = true;
        for (const Check &Line : Lines) {
            fprintf(Out, "%s\n    {\"section\": \"%s\", \"ok\": %s, \"text\": \"%s\"}", First ? "" : ",",
                    Escape(Line.Section).c_str(), Line.Ok ? "true" : "false", Escape(Line.Text).c_str());
            First = false;
        }
        fprintf(Out, "\n  ]\n}\n");
        return fclose(Out) == 0;
    }

    int Failures = 0;

private:
    static std::string Escape(const std::string &Text)
    {
        std::string Out;
        for (char Character : Text) {
            if (Character == '"' || Character == '\\') {
                Out += '\\';
                Out += Character;
            } else if ((unsigned char)Character < 0x20) {
                char Code[8];
                snprintf(Code, sizeof(Code), "\\u%04x", (unsigned)(unsigned char)Character);
                Out += Code;
            } else {
                Out += Character;
            }
        }
        return Out;
    }

    std::string Current;
    std::vector<Check> Lines;
    std::map<std::string, long long> Numbers;
};

std::string Hex(NTSTATUS Status)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "0x%08X", (unsigned)Status);
    return Text;
}

/* ------------------------------------------------------------------------
 * The default source tree: generated, the same on every run.
 * ---------------------------------------------------------------------- */
unsigned char ByteAt(unsigned Seed, ULONGLONG Offset)
{
    ULONGLONG Value = (Offset / 8 + 1) * 0x9E3779B97F4A7C15ull ^ ((ULONGLONG)Seed * 0xBF58476D1CE4E5B9ull);
    Value ^= Value >> 31;
    Value *= 0x94D049BB133111EBull;
    Value ^= Value >> 29;
    return (unsigned char)(Value >> ((Offset % 8) * 8));
}

bool WriteGenerated(const fs::path &Path, ULONGLONG Size, unsigned Seed)
{
    std::ofstream Out(Path, std::ios::binary);
    std::vector<char> Block(1 << 20);
    for (ULONGLONG Offset = 0; Offset < Size;) {
        size_t Length = (size_t)std::min<ULONGLONG>(Block.size(), Size - Offset);
        for (size_t Index = 0; Index < Length; Index += 1) {
            Block[Index] = (char)ByteAt(Seed, Offset + Index);
        }
        Out.write(Block.data(), (std::streamsize)Length);
        Offset += Length;
    }
    return (bool)Out;
}

/* A few hundred files (a dozen with --small) of sizes from empty to tens of
   MiB, in a handful of directories and a directory 12 levels deep. */
bool GenerateSource(const fs::path &Root, bool Small)
{
    const ULONGLONG Sizes[] = {0, 1, 17, 512, 4095, 4096, 4097, 8191, 10000, 65536, 100000, 262144 + 7, 1048576,
                               3 * 4096 + 1, 524288 + 5};
    std::error_code Error;
    fs::create_directories(Root, Error);
    const char *Directories[] = {"docs", "photos", "music", "projects/alpha", "projects/beta", "archive"};
    unsigned Seed = 1;
    int Files = Small ? 12 : 300;
    for (int Index = 0; Index < Files; Index += 1) {
        const char *Directory = Directories[Index % 6];
        fs::path Folder = Root / Directory;
        fs::create_directories(Folder, Error);
        ULONGLONG Size = Sizes[Index % 15];
        if (Small && Size > 1048576) {
            Size = 200000;
        }
        char Name[64];
        snprintf(Name, sizeof(Name), "file%03d.bin", Index);
        if (!WriteGenerated(Folder / Name, Size, Seed++)) {
            return false;
        }
    }
    fs::path Deep = Root;
    for (int Level = 0; Level < 12; Level += 1) {
        Deep /= "level" + std::to_string(Level);
    }
    fs::create_directories(Deep, Error);
    if (!WriteGenerated(Deep / "bottom.txt", 5000, Seed++)) {
        return false;
    }
    /* The large ones: tens of MiB together. */
    ULONGLONG Large[] = {24ull << 20, 12ull << 20};
    for (int Index = 0; Index < 2; Index += 1) {
        ULONGLONG Size = Small ? (1ull << 20) + 4097 : Large[Index];
        if (!WriteGenerated(Root / ("large" + std::to_string(Index) + ".bin"), Size, Seed++)) {
            return false;
        }
    }
    return !Error;
}

std::vector<unsigned char> ReadSource(const fs::path &Path)
{
    std::ifstream In(Path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

/* ------------------------------------------------------------------------
 * Programs: file calls in the program's process, each on the calling
 * thread.
 * ---------------------------------------------------------------------- */
struct ReadOutcome {
    NTSTATUS Status = STATUS_SUCCESS;
    std::vector<unsigned char> Data;
};

ReadOutcome ReadWhole(const std::u16string &Path, DWORD Flags = 0)
{
    ReadOutcome Out;
    HANDLE File = CreateFileW((LPCWSTR)Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, Flags, NULL);
    if (File == INVALID_HANDLE_VALUE) {
        Out.Status = emu::user::LastStatus();
        return Out;
    }
    LARGE_INTEGER Size = {};
    GetFileSizeEx(File, &Size);
    /* One byte more than the size, so that even an empty file is read
       once, and reading ends at the end of the file. */
    Out.Data.resize((size_t)Size.QuadPart + 1);
    size_t Done = 0;
    while (Done < Out.Data.size()) {
        DWORD Read = 0;
        DWORD Want = (DWORD)std::min<size_t>(Out.Data.size() - Done, 4u << 20);
        if (!ReadFile(File, Out.Data.data() + Done, Want, &Read, NULL)) {
            Out.Status = emu::user::LastStatus();
            break;
        }
        if (Read == 0) {
            break;
        }
        Done += Read;
    }
    Out.Data.resize(Done);
    CloseHandle(File);
    return Out;
}

const char *MajorName(UCHAR Major)
{
    switch (Major) {
    case IRP_MJ_CREATE:
        return "CREATE";
    case IRP_MJ_READ:
        return "READ";
    case IRP_MJ_WRITE:
        return "WRITE";
    case IRP_MJ_QUERY_INFORMATION:
        return "QUERY_INFORMATION";
    case IRP_MJ_SET_INFORMATION:
        return "SET_INFORMATION";
    case IRP_MJ_FILE_SYSTEM_CONTROL:
        return "FILE_SYSTEM_CONTROL";
    case IRP_MJ_DEVICE_CONTROL:
        return "DEVICE_CONTROL";
    case IRP_MJ_LOCK_CONTROL:
        return "LOCK_CONTROL";
    case IRP_MJ_CLEANUP:
        return "CLEANUP";
    case IRP_MJ_CLOSE:
        return "CLOSE";
    case (UCHAR)IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
        return "ACQUIRE_FOR_SECTION_SYNCHRONIZATION";
    default:
        return "OTHER";
    }
}

const char *DecisionName(FLT_PREOP_CALLBACK_STATUS Decision)
{
    switch (Decision) {
    case FLT_PREOP_SUCCESS_WITH_CALLBACK:
        return "goes on, post-operation wanted";
    case FLT_PREOP_SUCCESS_NO_CALLBACK:
        return "goes on";
    case FLT_PREOP_PENDING:
        return "pended";
    case FLT_PREOP_DISALLOW_FASTIO:
        return "fast I/O refused";
    case FLT_PREOP_COMPLETE:
        return "completed by the filter";
    case FLT_PREOP_SYNCHRONIZE:
        return "goes on, synchronized post-operation";
    default:
        return "?";
    }
}

struct Options {
    fs::path Source;
    bool Trace = false;
    bool Small = false;
    std::string Json;
};

const char *Usage =
    "usage: zentaflt-sim [--source DIR] [--trace | --verbose] [--json FILE] [--small]\n"
    "\n"
    "The main job: boots the emulated Windows system, loads the filter, serves a sync root\n"
    "C:\\Sync with the reference service from a source tree, and runs programs against it.\n"
    "  --source DIR   serve DIR (a directory of this machine) instead of a generated tree\n"
    "  --trace        print each operation the filter saw and what it decided (--verbose too)\n"
    "  --json FILE    also write the account to FILE as JSON\n"
    "  --small        a small generated tree (a quick run)\n"
    "Exit status 0 when every check held and the unload left nothing behind.\n";

}  // namespace

int main(int argc, char **argv)
{
    Options Run;
    for (int Index = 1; Index < argc; Index += 1) {
        std::string Argument = argv[Index];
        if (Argument == "--trace" || Argument == "--verbose") {
            Run.Trace = true;
        } else if (Argument == "--small") {
            Run.Small = true;
        } else if ((Argument == "--source" || Argument == "--json") && Index + 1 < argc) {
            if (Argument == "--source") {
                Run.Source = argv[++Index];
            } else {
                Run.Json = argv[++Index];
            }
        } else if (Argument == "--help" || Argument == "-h") {
            fputs(Usage, stdout);
            return 0;
        } else {
            fprintf(stderr, "zentaflt-sim: unknown argument %s\n\n%s", Argument.c_str(), Usage);
            return 2;
        }
    }
    auto Began = std::chrono::steady_clock::now();
    Account Out;

    /* The source. */
    fs::path Generated;
    bool OwnSource = Run.Source.empty();
    Out.Section("source");
    if (OwnSource) {
        char Template[] = "/tmp/zentaflt-source-XXXXXX";
        if (mkdtemp(Template) == nullptr) {
            fprintf(stderr, "zentaflt-sim: cannot make a temporary directory\n");
            return 1;
        }
        Generated = Template;
        Run.Source = Generated / "tree";
        if (!GenerateSource(Run.Source, Run.Small)) {
            fprintf(stderr, "zentaflt-sim: cannot write the source tree under %s\n", Generated.c_str());
            return 1;
        }
        Out.Note("generated a source tree in " + Run.Source.string());
    } else {
        Out.Note("serving the host directory " + Run.Source.string());
    }
    std::vector<SourceEntry> Entries;
    zentaflt::service::Result Scanned = ScanSource(Run.Source, &Entries);
    if (!Scanned.Ok()) {
        fprintf(stderr, "zentaflt-sim: %s\n", Scanned.Message.c_str());
        return 1;
    }
    ULONGLONG SourceBytes = 0, SourceFiles = 0, SourceDirectories = 0;
    size_t Deepest = 0;
    for (const SourceEntry &Entry : Entries) {
        (Entry.Directory ? SourceDirectories : SourceFiles) += 1;
        SourceBytes += Entry.Size;
        Deepest = std::max(Deepest, (size_t)std::count(Entry.Relative.begin(), Entry.Relative.end(), '/') + 1);
    }
    Out.Note(std::to_string(SourceFiles) + " files (" + Bytes(SourceBytes) + ") in " +
             std::to_string(SourceDirectories) + " directories, " + std::to_string(Deepest) + " levels deep");

    /* The system. */
    Out.Section("boot");
    EmulatedWindows Windows;
    zentaflt::service::Result Booted = Windows.Boot(false);
    Out.Expect(Booted.Ok(), Booted.Ok() ? "emulated system booted, NTFS volume C: mounted, filter loaded and attached"
                                        : Booted.Message);
    if (!Booted.Ok()) {
        return 1;
    }
    emu::System &System = Windows.System();
    std::string OurAltitude;
    if (Windows.Instance() != nullptr) {
        OurAltitude = Windows.Instance()->Filter->Altitude;
    }
    std::mutex PrintLock;
    if (Run.Trace) {
        emu::SetOperationTracer([&](const emu::OperationTrace &Trace) {
            if (Trace.Altitude != OurAltitude) {
                return;
            }
            std::lock_guard<std::mutex> Guard(PrintLock);
            std::string Name = Utf8(Trace.FileName);
            printf("   [filter] thread %llu %-20s %-40s %s%s%s%s\n", (unsigned long long)Trace.ThreadId,
                   MajorName(Trace.MajorFunction), Name.empty() ? "(no name)" : Name.c_str(),
                   DecisionName(Trace.Decision), Trace.Decision == FLT_PREOP_COMPLETE ? " with " : "",
                   Trace.Decision == FLT_PREOP_COMPLETE ? Hex(Trace.Status).c_str() : "",
                   Trace.FastIo ? " (fast I/O)" : "");
        });
    }
    emu::EmuProcess *Program = System.CreateProcess("program.exe");
    const std::u16string Root = u"C:\\Sync";

    /* Population. */
    Out.Section("placeholders");
    PopulateCounts Counts;
    {
        emu::ProcessScope InService(Windows.ServiceProcess());
        Windows.CreateDirectories(Root);
        Windows.CreateDirectories(u"C:\\Outside");
        Progress Shown("populate", Entries.size(), isatty(2) != 0);
        Populate(Root, Entries, &Counts, &Shown);
    }
    Out.Expect(Counts.Failures.empty() && Counts.Placeholders == SourceFiles,
               "made " + std::to_string(Counts.Placeholders) + " placeholders (" + Bytes(Counts.Bytes) + ") and " +
                   std::to_string(Counts.Directories) + " directories in C:\\Sync");
    for (const std::string &Failure : Counts.Failures) {
        Out.Expect(false, Failure);
    }
    Out.Number("placeholders", (long long)Counts.Placeholders);

    /* The service. */
    Out.Section("service");
    std::mutex SeenLock;
    std::map<std::u16string, int> HydrationsOf;
    std::vector<std::string> FailedHydrations;
    std::vector<std::string> Questions;
    zentaflt::service::ServiceOptions Options;
    Options.Threads = 4;
    /* The service's answers: directories named keep* stay, a file moving
       out takes its data along (hydrated first), except *.private files,
       which may not leave. */
    Options.Policy = [](const zentaflt::service::Question &Asked) -> SERVICE_REPLY {
        std::string Name = Utf8(Asked.Path.substr(Asked.Path.rfind(u'\\') + 1));
        if (Asked.Kind != zentaflt::service::QuestionKind::MoveFileOut) {
            return Name.rfind("keep", 0) == 0 ? ReplyDeny : 0;
        }
        return Name.size() > 8 && Name.compare(Name.size() - 8, 8, ".private") == 0 ? ReplyDeny : ReplyHydrateFirst;
    };
    Options.Observer = [&](const ServiceEvent &Event) {
        std::lock_guard<std::mutex> Guard(SeenLock);
        if (Event.Kind == EventKind::HydrationStarted) {
            HydrationsOf[Event.Request->Path] += 1;
        } else if (Event.Kind == EventKind::HydrationFailed) {
            FailedHydrations.push_back(Utf8(Event.Request->Path) + " failed with " + Hex(Event.Status) + ": " +
                                       Event.Message);
        } else if (Event.Kind == EventKind::QuestionAnswered) {
            const char *Kind = Event.MessageType == MessageTypeDeleteDirectory   ? "delete directory"
                               : Event.MessageType == MessageTypeRenameDirectory ? "rename directory"
                                                                                 : "move file out";
            std::string Reply = Event.Reply == ReplyDeny           ? "deny (775)"
                                : Event.Reply == ReplyHydrateFirst ? "hydrate first (773)"
                                                                   : "allow (" + std::to_string(Event.Reply) + ")";
            Questions.push_back(std::string(Kind) + " " + Utf8(Event.Path) +
                                (Event.DestinationPath.empty() ? "" : " -> " + Utf8(Event.DestinationPath)) +
                                ": " + Reply);
        }
        if (Run.Trace) {
            std::lock_guard<std::mutex> Print(PrintLock);
            switch (Event.Kind) {
            case EventKind::HydrationStarted:
                printf("   [service] hydrate %s: request %llu, %lld bytes, for thread %u of process %u\n",
                       Utf8(Event.Request->Path).c_str(), (unsigned long long)Event.Request->RequestId,
                       (long long)Event.Request->FileSize, (unsigned)Event.Request->ThreadId,
                       (unsigned)Event.Request->ProcessId);
                break;
            case EventKind::PieceSent:
                printf("   [service] piece of request %llu: %u bytes at %llu\n",
                       (unsigned long long)Event.Request->RequestId, (unsigned)Event.Length,
                       (unsigned long long)Event.Offset);
                break;
            case EventKind::HydrationCompleted:
            case EventKind::HydrationFailed:
                printf("   [service] complete request %llu with %s\n", (unsigned long long)Event.Request->RequestId,
                       Hex(Event.Status).c_str());
                break;
            default:
                break;
            }
        }
    };
    zentaflt::service::SyncService Service;
    zentaflt::service::Result Started;
    {
        emu::ProcessScope InService(Windows.ServiceProcess());
        Started = Service.Start((LPCWSTR)Root.c_str(), TreeSource(Run.Source), Options);
    }
    Out.Expect(Started.Ok(), Started.Ok() ? "the reference service connected C:\\Sync, 4 threads serving"
                                          : Started.Message);
    if (!Started.Ok()) {
        std::vector<std::string> Leaks;
        Windows.Shutdown(&Leaks);
        return 1;
    }

    /* Files kept aside for the later programs; the readers take the rest. */
    std::vector<const SourceEntry *> Files;
    for (const SourceEntry &Entry : Entries) {
        if (!Entry.Directory) {
            Files.push_back(&Entry);
        }
    }
    std::sort(Files.begin(), Files.end(), [](const SourceEntry *A, const SourceEntry *B) {
        return A->Size != B->Size ? A->Size > B->Size : A->Relative < B->Relative;
    });
    const SourceEntry *Largest = Files.empty() ? nullptr : Files[0];
    std::vector<const SourceEntry *> Aside;  // non-empty files for write, lock, rename, delete, broken source
    std::vector<const SourceEntry *> ToRead;
    for (const SourceEntry *Entry : Files) {
        if (Entry != Largest && Entry->Size > 0 && Entry->Size <= 1048576 && Aside.size() < 8) {
            Aside.push_back(Entry);
        } else if (Entry != Largest) {
            ToRead.push_back(Entry);
        }
    }

    /* A program lists the whole sync root: every name with its size, and
       no placeholder hydrated for it. */
    Out.Section("listing the sync root");
    {
        emu::ProcessScope InProgram(Program);
        struct ListedEntry {
            bool Directory;
            ULONGLONG Size;
            DWORD Attributes;
        };
        std::map<std::string, ListedEntry> Listed;
        std::vector<std::u16string> Pending = {u""};
        while (!Pending.empty()) {
            std::u16string Relative = Pending.back();
            Pending.pop_back();
            std::u16string Pattern = Root + (Relative.empty() ? u"" : u"\\" + Relative) + u"\\*";
            WIN32_FIND_DATAW Found;
            HANDLE Find = FindFirstFileW((LPCWSTR)Pattern.c_str(), &Found);
            if (Find == INVALID_HANDLE_VALUE) {
                Out.Expect(false, "listing " + Utf8(Pattern) + " failed with " + Hex(emu::user::LastStatus()));
                continue;
            }
            do {
                std::u16string Name((const char16_t *)Found.cFileName);
                if (Name == u"." || Name == u"..") {
                    continue;
                }
                std::u16string Child = Relative.empty() ? Name : Relative + u"\\" + Name;
                bool Directory = (Found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
                std::string Key = Utf8(Child);
                std::replace(Key.begin(), Key.end(), '\\', '/');
                Listed[Key] = {Directory, ((ULONGLONG)Found.nFileSizeHigh << 32) | Found.nFileSizeLow,
                               Found.dwFileAttributes};
                if (Directory) {
                    Pending.push_back(Child);
                }
            } while (FindNextFileW(Find, &Found));
            FindClose(Find);
        }
        size_t Agreeing = 0, Placeholders = 0;
        for (const SourceEntry &Entry : Entries) {
            auto At = Listed.find(Entry.Relative);
            if (At != Listed.end() && At->second.Directory == Entry.Directory &&
                (Entry.Directory || At->second.Size == Entry.Size)) {
                Agreeing += 1;
                Placeholders += !Entry.Directory && (At->second.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            }
        }
        Out.Expect(Agreeing == Entries.size() && Listed.size() == Entries.size(),
                   "listed " + std::to_string(Listed.size()) + " names in C:\\Sync; " + std::to_string(Agreeing) +
                       " of the source's " + std::to_string(Entries.size()) + " files and directories, with their sizes");
        Out.Expect(Placeholders == SourceFiles, std::to_string(Placeholders) +
                                                   " files listed as placeholders (reparse point attribute)");
        std::lock_guard<std::mutex> Guard(SeenLock);
        Out.Expect(HydrationsOf.empty(), "listing hydrated nothing: the service was asked for " +
                                             std::to_string(HydrationsOf.size()) + " files");
    }

    /* Several threads read one large placeholder at once. */
    Out.Section("reading one file from 8 threads at once");
    if (Largest != nullptr) {
        std::u16string Path = SyncPathOf(Root, Largest->Relative);
        std::vector<unsigned char> Expected = ReadSource(SourcePathOf(Run.Source, Largest->Relative));
        std::atomic<int> Matches{0};
        std::vector<std::thread> Readers;
        for (int Index = 0; Index < 8; Index += 1) {
            Readers.emplace_back([&] {
                emu::ProcessScope InProgram(Program);
                ReadOutcome Got = ReadWhole(Path);
                if (Got.Status == STATUS_SUCCESS && Got.Data == Expected) {
                    Matches += 1;
                }
            });
        }
        for (std::thread &Reader : Readers) {
            Reader.join();
        }
        int Requests;
        {
            std::lock_guard<std::mutex> Guard(SeenLock);
            Requests = HydrationsOf[Path.substr(2)];
        }
        Out.Expect(Matches == 8, std::to_string(Matches.load()) + " of 8 readers got the " + Bytes(Largest->Size) +
                                     " of " + Utf8(Path) + " byte for byte");
        Out.Expect(Requests == 1, "the service was asked for it " + std::to_string(Requests) + " time(s)");
    }

    /* Everything else, from 4 reader threads. */
    Out.Section("reading every other file from 4 threads");
    std::atomic<size_t> Next{0}, Matched{0}, Mismatched{0}, Failed{0}, StillPlaceholders{0};
    std::atomic<ULONGLONG> BytesChecked{0};
    std::vector<std::string> Problems;
    std::mutex ProblemLock;
    {
        Progress Shown("read", ToRead.size(), isatty(2) != 0 && !Run.Trace);
        std::mutex ShownLock;
        std::vector<std::thread> Readers;
        for (int Thread = 0; Thread < 4; Thread += 1) {
            Readers.emplace_back([&] {
                emu::ProcessScope InProgram(Program);
                for (size_t Index = Next++; Index < ToRead.size(); Index = Next++) {
                    const SourceEntry *Entry = ToRead[Index];
                    std::u16string Path = SyncPathOf(Root, Entry->Relative);
                    ReadOutcome Got = ReadWhole(Path);
                    std::vector<unsigned char> Expected = ReadSource(SourcePathOf(Run.Source, Entry->Relative));
                    SpaceUsed After;
                    QuerySpace(Path, &After);
                    if (Got.Status != STATUS_SUCCESS) {
                        Failed += 1;
                        std::lock_guard<std::mutex> Guard(ProblemLock);
                        Problems.push_back(Utf8(Path) + ": read failed with " + Hex(Got.Status));
                    } else if (Got.Data != Expected) {
                        Mismatched += 1;
                        std::lock_guard<std::mutex> Guard(ProblemLock);
                        Problems.push_back(Utf8(Path) + ": the bytes differ from the source");
                    } else {
                        Matched += 1;
                        BytesChecked += Got.Data.size();
                    }
                    if (After.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                        StillPlaceholders += 1;
                    }
                    std::lock_guard<std::mutex> Guard(ShownLock);
                    Shown.Advance();
                }
            });
        }
        for (std::thread &Reader : Readers) {
            Reader.join();
        }
        Shown.Finish();
    }
    Out.Expect(Matched == ToRead.size(), "read " + std::to_string(Matched.load()) + " of " +
                                             std::to_string(ToRead.size()) + " files, " +
                                             Bytes(BytesChecked.load()) + " checked against the source byte for byte");
    Out.Expect(StillPlaceholders == 0, "afterwards " + std::to_string(StillPlaceholders.load()) +
                                           " of them still carry a reparse point (each non-empty one was hydrated)");
    for (const std::string &Problem : Problems) {
        Out.Expect(false, Problem);
    }
    Out.Number("files_read", (long long)Matched.load());
    Out.Number("bytes_checked", (long long)BytesChecked.load());

    /* Write, lock, map, rename, delete. */
    Out.Section("writing, locking, mapping, renaming, deleting");
    auto Expected = [&](const SourceEntry *Entry) { return ReadSource(SourcePathOf(Run.Source, Entry->Relative)); };
    {
        emu::ProcessScope InProgram(Program);
        if (Aside.size() >= 8) {
            /* A write into a placeholder hydrates it first. */
            std::u16string Path = SyncPathOf(Root, Aside[0]->Relative);
            HANDLE File = CreateFileW((LPCWSTR)Path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                      OPEN_EXISTING, 0, NULL);
            const char Patch[] = "ZENTAFLT";
            OVERLAPPED At = {};
            At.Offset = 3;
            DWORD Written = 0;
            BOOL Wrote = File != INVALID_HANDLE_VALUE && WriteFile(File, Patch, 8, &Written, &At);
            NTSTATUS WriteStatus = Wrote ? STATUS_SUCCESS : emu::user::LastStatus();
            if (File != INVALID_HANDLE_VALUE) {
                CloseHandle(File);
            }
            std::vector<unsigned char> Want = Expected(Aside[0]);
            if (Want.size() >= 11) {
                memcpy(Want.data() + 3, Patch, 8);
            }
            ReadOutcome Got = ReadWhole(Path);
            Out.Expect(Wrote && Got.Data == Want, "wrote 8 bytes at offset 3 of " + Utf8(Path) + " (" +
                                                      Hex(WriteStatus) +
                                                      "): the file holds the source's bytes with the write on top");

            /* A byte-range lock hydrates too. */
            Path = SyncPathOf(Root, Aside[1]->Relative);
            File = CreateFileW((LPCWSTR)Path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            BOOL Locked = File != INVALID_HANDLE_VALUE && LockFile(File, 0, 0, 100, 0);
            NTSTATUS LockStatus = Locked ? STATUS_SUCCESS : emu::user::LastStatus();
            if (Locked) {
                UnlockFile(File, 0, 0, 100, 0);
            }
            if (File != INVALID_HANDLE_VALUE) {
                CloseHandle(File);
            }
            SpaceUsed Space;
            QuerySpace(Path, &Space);
            Out.Expect(Locked && !(Space.Attributes & FILE_ATTRIBUTE_REPARSE_POINT),
                       "locked bytes 0-99 of " + Utf8(Path) + " (" + Hex(LockStatus) +
                           "): hydrated first, no reparse point left");

            /* Mapping a placeholder into memory hydrates it before the
               section is made. */
            Path = SyncPathOf(Root, Aside[7]->Relative);
            std::vector<unsigned char> MapWant = Expected(Aside[7]);
            File = CreateFileW((LPCWSTR)Path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
            HANDLE Mapping =
                File != INVALID_HANDLE_VALUE ? CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL) : NULL;
            NTSTATUS MapStatus = Mapping != NULL ? STATUS_SUCCESS : emu::user::LastStatus();
            const unsigned char *View =
                Mapping != NULL ? (const unsigned char *)MapViewOfFile(Mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
            bool Same = View != nullptr && memcmp(View, MapWant.data(), MapWant.size()) == 0;
            if (View != nullptr) {
                UnmapViewOfFile(View);
            }
            if (Mapping != NULL) {
                CloseHandle(Mapping);
            }
            if (File != INVALID_HANDLE_VALUE) {
                CloseHandle(File);
            }
            Out.Expect(Same, "mapped " + Utf8(Path) + " into memory (" + Hex(MapStatus) +
                                 "): the view holds the source's " + Bytes(MapWant.size()));

            /* A rename inside the sync root keeps the service's reference:
               the renamed placeholder hydrates from the same source file. */
            std::u16string From = SyncPathOf(Root, Aside[2]->Relative);
            std::u16string To = Root + u"\\renamed-" + Utf16(Aside[2]->Relative.substr(Aside[2]->Relative.rfind('/') + 1));
            BOOL Moved = MoveFileExW((LPCWSTR)From.c_str(), (LPCWSTR)To.c_str(), 0);
            NTSTATUS MoveStatus = Moved ? STATUS_SUCCESS : emu::user::LastStatus();
            ReadOutcome Renamed = ReadWhole(To);
            Out.Expect(Moved && Renamed.Data == Expected(Aside[2]),
                       "renamed " + Utf8(From) + " to " + Utf8(To) + " (" + Hex(MoveStatus) +
                           "), then read it: the source's bytes");

            /* A delete of a placeholder needs no data. */
            std::u16string Doomed = SyncPathOf(Root, Aside[3]->Relative);
            int Before;
            {
                std::lock_guard<std::mutex> Guard(SeenLock);
                Before = HydrationsOf[Doomed.substr(2)];
            }
            BOOL Deleted = DeleteFileW((LPCWSTR)Doomed.c_str());
            NTSTATUS DeleteStatus = Deleted ? STATUS_SUCCESS : emu::user::LastStatus();
            ReadOutcome Gone = ReadWhole(Doomed);
            int After;
            {
                std::lock_guard<std::mutex> Guard(SeenLock);
                After = HydrationsOf[Doomed.substr(2)];
            }
            Out.Expect(Deleted && Gone.Status == STATUS_OBJECT_NAME_NOT_FOUND && After == Before,
                       "deleted the placeholder " + Utf8(Doomed) + " (" + Hex(DeleteStatus) +
                           ") without hydrating it; opening it again: " + Hex(Gone.Status));

            /* Namespace changes the filter puts to the service. */
            auto Status = [](BOOL Done) { return Done ? STATUS_SUCCESS : emu::user::LastStatus(); };
            std::u16string Scratch = Root + u"\\scratch", Scratch2 = Root + u"\\scratch2";
            std::u16string Keep = Root + u"\\keep-this";
            CreateDirectoryW((LPCWSTR)Scratch.c_str(), NULL);
            CreateDirectoryW((LPCWSTR)Keep.c_str(), NULL);
            NTSTATUS Renamed2 = Status(MoveFileExW((LPCWSTR)Scratch.c_str(), (LPCWSTR)Scratch2.c_str(), 0));
            Out.Expect(Renamed2 == STATUS_SUCCESS, "renamed the directory C:\\Sync\\scratch: " + Hex(Renamed2));
            NTSTATUS Removed2 = Status(RemoveDirectoryW((LPCWSTR)Scratch2.c_str()));
            Out.Expect(Removed2 == STATUS_SUCCESS, "deleted the directory C:\\Sync\\scratch2: " + Hex(Removed2));
            NTSTATUS KeepRemoved = Status(RemoveDirectoryW((LPCWSTR)Keep.c_str()));
            Out.Expect(KeepRemoved == STATUS_SHARING_VIOLATION,
                       "deleting C:\\Sync\\keep-this was refused with " + Hex(KeepRemoved) +
                           " (STATUS_SHARING_VIOLATION: the service said no)");
            NTSTATUS KeepRenamed =
                Status(MoveFileExW((LPCWSTR)Keep.c_str(), (LPCWSTR)(Root + u"\\kept").c_str(), 0));
            Out.Expect(KeepRenamed == STATUS_SHARING_VIOLATION,
                       "renaming it was refused with " + Hex(KeepRenamed));
            std::u16string Leaving = SyncPathOf(Root, Aside[4]->Relative);
            NTSTATUS MovedOut = Status(MoveFileExW((LPCWSTR)Leaving.c_str(), L"C:\\Outside\\moved.bin", 0));
            ReadOutcome Moved2 = ReadWhole(u"C:\\Outside\\moved.bin");
            SpaceUsed MovedSpace;
            QuerySpace(u"C:\\Outside\\moved.bin", &MovedSpace);
            Out.Expect(MovedOut == STATUS_SUCCESS && Moved2.Data == Expected(Aside[4]) &&
                           !(MovedSpace.Attributes & FILE_ATTRIBUTE_REPARSE_POINT),
                       "moved the placeholder " + Utf8(Leaving) + " out to C:\\Outside (" + Hex(MovedOut) +
                           "): hydrated first, a full file with the source's bytes");
            std::u16string Private = SyncPathOf(Root, Aside[6]->Relative);
            std::u16string PrivateName = Private + u".private";
            MoveFileExW((LPCWSTR)Private.c_str(), (LPCWSTR)PrivateName.c_str(), 0);
            NTSTATUS PrivateOut =
                Status(MoveFileExW((LPCWSTR)PrivateName.c_str(), L"C:\\Outside\\private.bin", 0));
            Out.Expect(PrivateOut == STATUS_ACCESS_DENIED,
                       "moving " + Utf8(PrivateName) + " out was refused with " + Hex(PrivateOut) +
                           " (STATUS_ACCESS_DENIED: the service said no)");
            std::lock_guard<std::mutex> Guard(SeenLock);
            Out.Expect(Questions.size() == 6, "the service was asked " + std::to_string(Questions.size()) +
                                                  " questions:");
            for (const std::string &Question : Questions) {
                Out.Note("  " + Question);
            }
        } else {
            Out.Note("the source has too few small files for these programs");
        }
    }

    /* A broken source: a file removed, another made unreadable. */
    Out.Section("a broken source");
    if (Aside.size() >= 8) {
        emu::ProcessScope InProgram(Program);
        std::error_code Error;
        /* The fifth file kept aside went out of the sync root above; use the
           sixth and the first readable one that is still a placeholder. */
        const SourceEntry *Removed = Aside[5];
        fs::path RemovedSource = SourcePathOf(Run.Source, Removed->Relative);
        fs::path Saved = RemovedSource;
        Saved += ".saved";
        fs::rename(RemovedSource, Saved, Error);
        ReadOutcome Got = ReadWhole(SyncPathOf(Root, Removed->Relative));
        Out.Expect(!Error && Got.Status == STATUS_OBJECT_NAME_NOT_FOUND,
                   "removed " + Removed->Relative + " from the source; a program's read of its placeholder failed with " +
                       Hex(Got.Status) + " (STATUS_OBJECT_NAME_NOT_FOUND)");
        /* An unreadable source file: a directory where the file was. */
        fs::create_directory(RemovedSource, Error);
        Got = ReadWhole(SyncPathOf(Root, Removed->Relative));
        Out.Expect(!Error && Got.Status == STATUS_ACCESS_DENIED,
                   "made it unreadable (a directory in its place); the read failed with " + Hex(Got.Status) +
                       " (STATUS_ACCESS_DENIED)");
        fs::remove(RemovedSource, Error);
        fs::rename(Saved, RemovedSource, Error);
        Got = ReadWhole(SyncPathOf(Root, Removed->Relative));
        Out.Expect(Got.Status == STATUS_SUCCESS && Got.Data == Expected(Removed),
                   "put the file back; the next read hydrated it: the source's bytes");
        std::lock_guard<std::mutex> Guard(SeenLock);
        for (const std::string &Failure : FailedHydrations) {
            Out.Note("service: " + Failure);
        }
    }

    /* A full file back into a placeholder. */
    Out.Section("dehydrating");
    if (Largest != nullptr) {
        emu::ProcessScope InService(Windows.ServiceProcess());
        std::u16string Path = SyncPathOf(Root, Largest->Relative);
        SpaceUsed Before, After;
        QuerySpace(Path, &Before);
        zentaflt::service::Result Converted = zentaflt::service::ConvertFile(
            (LPCWSTR)Path.c_str(), std::vector<unsigned char>(Largest->Relative.begin(), Largest->Relative.end()));
        QuerySpace(Path, &After);
        Out.Expect(Converted.Ok() && (After.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                       After.Size == Before.Size && After.Allocated < Before.Allocated,
                   "dehydrated " + Utf8(Path) + (Converted.Ok() ? "" : " (" + Converted.Message + ")") +
                       ": on disk " + Bytes((ULONGLONG)Before.Allocated) + " before, " +
                       Bytes((ULONGLONG)After.Allocated) + " after, size " + Bytes((ULONGLONG)After.Size) +
                       " kept; " + Bytes((ULONGLONG)(Before.Allocated - After.Allocated)) + " freed");
        Out.Number("space_before_dehydrate", Before.Allocated);
        Out.Number("space_after_dehydrate", After.Allocated);
        emu::ProcessScope InProgram(Program);
        ReadOutcome Again = ReadWhole(Path);
        Out.Expect(Again.Status == STATUS_SUCCESS && Again.Data == ReadSource(SourcePathOf(Run.Source, Largest->Relative)),
                   "read it again: hydrated afresh, the source's bytes");
    }

    /* The service's counters, and a disconnection. */
    Out.Section("disconnection");
    {
        /* A program wakes as its completion arrives; the service counts it
           just after. */
        for (int Round = 0; Round < 500 && Service.Statistics().InProgress != 0; Round += 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        zentaflt::service::ServiceStatistics Statistics = Service.Statistics();
        Out.Note("service counted " + std::to_string(Statistics.Requests) + " hydration requests, " +
                 std::to_string(Statistics.Completed) + " completed, " + std::to_string(Statistics.Failed) +
                 " failed, " + std::to_string(Statistics.Pieces) + " pieces, " + Bytes(Statistics.BytesSent) +
                 " sent");
        Out.Number("hydrations", (long long)Statistics.Requests);
        Out.Number("hydrations_failed", (long long)Statistics.Failed);
        Out.Number("bytes_sent", (long long)Statistics.BytesSent);
        emu::ProcessScope InService(Windows.ServiceProcess());
        Service.Stop();
    }
    {
        emu::ProcessScope InProgram(Program);
        /* A placeholder with nobody to serve it. */
        {
            zentaflt::service::PlaceholderDescription Unserved;
            Unserved.Name = u"unserved.bin";
            Unserved.FileSize = 5000;
            Unserved.ReparseData = {'x'};
            zentaflt::service::MakePlaceholder((LPCWSTR)Root.c_str(), Unserved);
            ReadOutcome Got = ReadWhole(Root + u"\\unserved.bin");
            Out.Expect(Got.Status == (NTSTATUS)0xC000CF13 || Got.Status == (NTSTATUS)0xC000CF01,
                       "service disconnected; a read of a placeholder nobody serves failed with " + Hex(Got.Status));
        }
    }

    /* Unload. */
    Out.Section("unload");
    emu::SetOperationTracer({});
    std::vector<std::string> Leaks;
    NTSTATUS Unloaded = Windows.Shutdown(&Leaks);
    Out.Expect(NT_SUCCESS(Unloaded), "filter unloaded: " + Hex(Unloaded));
    for (const std::string &Leak : Leaks) {
        Out.Expect(false, "left behind: " + Leak);
    }
    Out.Expect(Leaks.empty(), Leaks.empty() ? "clean unload: nothing left behind (verifier)"
                                            : "unload left things behind");
    if (OwnSource) {
        std::error_code Error;
        fs::remove_all(Generated, Error);
    }
    double Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - Began).count();
    printf("\n%s: %d check(s) failed; %.1f s\n", Out.Failures == 0 ? "all checks held" : "FAILED", Out.Failures,
           Seconds);
    if (!Run.Json.empty() && !Out.WriteJson(Run.Json)) {
        fprintf(stderr, "zentaflt-sim: cannot write %s\n", Run.Json.c_str());
        return 1;
    }
    return Out.Failures == 0 ? 0 : 1;
}
