/*
 * connection_context_fuzz.cpp - connection contexts, as the service hands
 * them over: FilterConnectCommunicationPort with any context and size,
 * whose first 8 bytes name a handle of the service's, or of nobody.
 *
 * The service holds handles opened when the system boots: directories that
 * nest (C:\, C:\Sync, C:\Sync\Docs), siblings (C:\Sync2, C:\Other), a plain
 * file, handles without the access a sync root needs, and a closed handle;
 * the input adds the port handles of its own connections (the wrong object
 * type), handles of another process, pseudo and kernel handle values,
 * values with the handle tag bits set, and raw values.  Each input is a
 * sequence of up to 24 steps: connect with a context, disconnect one of its
 * connections, or arm a failure of a routine the next connect reaches.
 *
 * A model of the service's handle table and of the connected sync roots
 * gives the one answer the filter must give each connect; a connected root
 * must be found under its directory's name and gone after its disconnect;
 * at the end of the input every connection is closed and nothing is left.
 *
 * Step records (little-endian), by the first byte modulo 3:
 *   0 connect:    u8 handle choice, u8 flags (bit 0: no context pointer;
 *                 bits 1-2: tag bits or'ed into the handle), u16 context
 *                 size, u64 raw value (used by choices that need one),
 *                 then up to 16 bytes that follow the handle in the context
 *   1 disconnect: u8 which of the input's connections
 *   2 arm:        u8 which routine fails on its next call
 */
#include "FuzzSupport.h"
#include "InputReader.h"

#include <map>
#include <string>

#include "ServiceClient.h"

using namespace zentaflt_fuzz;

namespace {

/* A handle of the service's, as the model knows it. */
struct KnownHandle {
    bool Port = false;          // a connection port, not a file
    bool GrantsAccess = false;  // grants SyncRootDirectoryAccess
    std::u16string Name;        // the normalized name of the file
};

struct Prepared {
    const wchar_t *Path;
    DWORD Access;
    DWORD Flags;
    bool GrantsAccess;
};

const Prepared PreparedHandles[] = {
    {L"C:\\Sync", SyncRootDirectoryAccess, FILE_FLAG_BACKUP_SEMANTICS, true},
    {L"C:\\Sync", FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS, false},
    {L"C:\\Sync\\Docs", SyncRootDirectoryAccess, FILE_FLAG_BACKUP_SEMANTICS, true},
    {L"C:\\Other", GENERIC_ALL, FILE_FLAG_BACKUP_SEMANTICS, true},
    {L"C:\\", SyncRootDirectoryAccess, FILE_FLAG_BACKUP_SEMANTICS, true},
    {L"C:\\Sync\\Docs\\Report.txt", SyncRootDirectoryAccess, 0, true},
    {L"C:\\Other", FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS, false},
    {L"C:\\Sync2", SyncRootDirectoryAccess | FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS, true},
};

const char16_t VolumeName[] = u"\\Device\\HarddiskVolume1";

std::u16string NormalizedName(const wchar_t *Path)
{
    /* C:\x -> \Device\HarddiskVolume1\x */
    std::u16string Name = VolumeName;
    for (const wchar_t *Character = Path + 2; *Character != 0; Character += 1) {
        Name += (char16_t)*Character;
    }
    return Name;
}

std::u16string Upcased(const std::u16string &Text)
{
    std::u16string Out = Text;
    for (char16_t &Character : Out) {
        if (Character >= u'a' && Character <= u'z') {
            Character = (char16_t)(Character - u'a' + u'A');
        }
    }
    return Out;
}

/* Whether a path is a sync root's directory or lies below it on a
   backslash boundary (a volume root's name ends in one, so nothing lies
   below it). */
bool IsAtOrBelow(const std::u16string &Path, const std::u16string &Root)
{
    std::u16string P = Upcased(Path);
    std::u16string R = Upcased(Root);
    return P == R || (P.size() > R.size() && P.compare(0, R.size(), R) == 0 && P[R.size()] == u'\\');
}

struct Connection {
    HANDLE Port;
    std::u16string Name;
};

struct Target {
    BootedSystem Booted;
    emu::EmuProcess *Service = nullptr;
    emu::EmuProcess *Program = nullptr;
    std::map<uint64_t, KnownHandle> ServiceHandles;
    std::vector<HANDLE> PreparedValues;
    HANDLE Closed = nullptr;
    std::vector<HANDLE> ProgramHandles;

    Target()
    {
        Service = Booted.CreateProcess("service.exe");
        Program = Booted.CreateProcess("program.exe");
        {
            emu::ProcessScope InProgram(Program);
            for (const wchar_t *Directory : {L"C:\\Sync", L"C:\\Sync\\Docs", L"C:\\Sync2", L"C:\\Other"}) {
                if (!CreateDirectoryW(Directory, NULL)) {
                    Fail("cannot create a directory");
                }
            }
            HANDLE File = CreateFileW(L"C:\\Sync\\Docs\\Report.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
            if (File == INVALID_HANDLE_VALUE) {
                Fail("cannot create the file");
            }
            CloseHandle(File);
            /* Handles of another process: valid there, and whatever the same
               value is (if anything) in the service. */
            for (const wchar_t *Path : {L"C:\\Sync", L"C:\\Other"}) {
                HANDLE Handle = CreateFileW(Path, SyncRootDirectoryAccess,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
                if (Handle == INVALID_HANDLE_VALUE) {
                    Fail("cannot open a directory in the program");
                }
                ProgramHandles.push_back(Handle);
            }
        }
        emu::ProcessScope InService(Service);
        for (const Prepared &Entry : PreparedHandles) {
            HANDLE Handle = CreateFileW(Entry.Path, Entry.Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        NULL, OPEN_EXISTING, Entry.Flags, NULL);
            if (Handle == INVALID_HANDLE_VALUE) {
                Fail("cannot open a handle of the service: 0x%08X", (unsigned)emu::user::LastStatus());
            }
            ServiceHandles[(uint64_t)Handle] = KnownHandle{false, Entry.GrantsAccess, NormalizedName(Entry.Path)};
            PreparedValues.push_back(Handle);
        }
        Closed = CreateFileW(L"C:\\Sync", SyncRootDirectoryAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        CloseHandle(Closed);
        Booted.TakeBaseline();
    }

    void Shutdown() { Booted.Shutdown(); }
};

/* The routines a connect reaches that the input may make fail once. */
const char *const FailingRoutines[] = {
    "ObReferenceObjectByHandle", "FltGetFileNameInformationUnsafe", "ExAllocatePoolWithTag",
    "ExInitializeResourceLite",
};

class Run {
public:
    explicit Run(Target &T) : T(T) {}

    void Connect(InputReader &Reader)
    {
        uint8_t Choice = Reader.U8();
        uint8_t Flags = Reader.U8();
        uint16_t ContextSize = Reader.U16();
        uint64_t Raw = Reader.U64();
        std::vector<uint8_t> Tail = Reader.Bytes(16);

        uint64_t Value = ChooseHandle(Choice, Raw);
        Value |= (Flags >> 1) & 3;
        bool NoPointer = (Flags & 1) != 0;

        /* The context: the handle's 8 bytes (as many as fit), then the tail,
           then zeros; exactly ContextSize bytes of the service's memory. */
        std::vector<uint8_t> Storage(ContextSize == 0 ? 1 : ContextSize);  // a pointer even for no bytes
        uint8_t *Context = Storage.data();
        for (size_t Index = 0; Index < ContextSize; Index += 1) {
            Context[Index] = Index < 8 ? (uint8_t)(Value >> (8 * Index)) : (Index - 8 < Tail.size() ? Tail[Index - 8] : 0);
        }

        std::u16string Name;
        NTSTATUS Expected = ExpectedAnswer(NoPointer, ContextSize, Value, &Name);

        /* A failure armed for this connect fires at the routine's next
           call, if the connect reaches it. */
        const char *Failing = Armed;
        Armed = nullptr;
        if (Failing != nullptr) {
            T.Booted.System->Faults().Arm(Failing, STATUS_INSUFFICIENT_RESOURCES, 1, false);
        }
        HANDLE Port = INVALID_HANDLE_VALUE;
        HRESULT Result = FilterConnectCommunicationPort(ServerPortName, 0, NoPointer ? NULL : Context,
                                                        ContextSize, NULL, &Port);
        NTSTATUS Status = emu::user::LastStatus();
        if (Failing != nullptr) {
            T.Booted.System->Faults().Disarm(Failing);
        }
        bool FilterAsked = Expected != STATUS_INVALID_PARAMETER;
        FUZZ_CHECK(Status == Expected || (Failing != nullptr && FilterAsked && Status == STATUS_INSUFFICIENT_RESOURCES),
                   "connect answered 0x%08X, expected 0x%08X", (unsigned)Status, (unsigned)Expected);
        FUZZ_CHECK(Result == HresultOf(Status), "HRESULT 0x%08X for 0x%08X", (unsigned)Result, (unsigned)Status);

        if (!NT_SUCCESS(Status)) {
            FUZZ_CHECK(Port == INVALID_HANDLE_VALUE || Port == NULL, "a refused connect gave a handle");
            if (FilterAsked) {
                T.Booted.ExpectReportedLast(Status, "the connect");
            } else {
                FUZZ_CHECK(T.Booted.TakeReported().empty(), "the filter reported a connect it never saw");
            }
            ExpectConnectedRootsOnly();
            return;
        }
        FUZZ_CHECK(T.Booted.TakeReported().empty(), "a connect that succeeded reported a status");
        T.ServiceHandles[(uint64_t)Port] = KnownHandle{true, false, u""};
        Live.push_back(Connection{Port, Name});
        ExpectConnectedRootsOnly();
    }

    void Disconnect(InputReader &Reader)
    {
        uint8_t Which = Reader.U8();
        if (Live.empty()) {
            return;
        }
        size_t Index = Which % Live.size();
        Close(Live[Index]);
        Live.erase(Live.begin() + Index);
        ExpectConnectedRootsOnly();
    }

    void Arm(InputReader &Reader)
    {
        uint8_t Which = Reader.U8();
        Armed = FailingRoutines[Which % (sizeof(FailingRoutines) / sizeof(FailingRoutines[0]))];
    }

    void End()
    {
        for (Connection &Open : Live) {
            Close(Open);
        }
        Live.clear();
        FUZZ_CHECK(IsListEmpty(&FilterGlobals.SyncRootList), "a sync root outlived its connection");
        FUZZ_CHECK(T.Booted.TakeReported().empty(), "a disconnect reported a status");
    }

private:
    uint64_t ChooseHandle(uint8_t Choice, uint64_t Raw)
    {
        switch (Choice % 8) {
        case 0:
        case 1:
            return (uint64_t)T.PreparedValues[Raw % T.PreparedValues.size()];
        case 2:
            /* A port handle: one of this input's connections if it has one. */
            return Live.empty() ? Raw : (uint64_t)Live[Raw % Live.size()].Port;
        case 3:
            return (uint64_t)T.Closed;
        case 4:
            return (uint64_t)T.ProgramHandles[Raw % T.ProgramHandles.size()];
        case 5:
            /* The current process and the current thread. */
            return Raw % 2 == 0 ? ~(uint64_t)0 : ~(uint64_t)1;
        case 6:
            /* A kernel handle: user mode cannot name it. */
            return 0xFFFFFFFF80000000ULL | ((Raw & 0xFFFF) << 2);
        default:
            return Raw;
        }
    }

    NTSTATUS ExpectedAnswer(bool NoPointer, uint16_t ContextSize, uint64_t Value, std::u16string *Name)
    {
        /* The library wants a context pointer exactly when a size is given. */
        if (NoPointer != (ContextSize == 0)) {
            return STATUS_INVALID_PARAMETER;
        }
        if (ContextSize < ServiceConnectionContextSize) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (Value >= 0xFFFFFFFFFFFFFFF8ULL) {
            /* Pseudo handles are no file objects; the emulation does not
               know them and answers as for an unknown handle. */
            return STATUS_INVALID_HANDLE;
        }
        /* The low two bits of a handle are tag bits the system ignores. */
        auto Found = T.ServiceHandles.find(Value & ~(uint64_t)3);
        if (Found == T.ServiceHandles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        if (Found->second.Port) {
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (!Found->second.GrantsAccess) {
            return STATUS_ACCESS_DENIED;
        }
        for (const Connection &Open : Live) {
            if (IsAtOrBelow(Found->second.Name, Open.Name) || IsAtOrBelow(Open.Name, Found->second.Name)) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
        *Name = Found->second.Name;
        return STATUS_SUCCESS;
    }

    void Close(Connection &Open)
    {
        T.ServiceHandles.erase((uint64_t)Open.Port);
        FUZZ_CHECK(CloseHandle(Open.Port), "the connection's handle would not close");
    }

    /* Every connected root is found under its own name, by the name and by
       a path below it, with its client port; nothing else is connected. */
    void ExpectConnectedRootsOnly()
    {
        size_t Linked = 0;
        for (PLIST_ENTRY Entry = FilterGlobals.SyncRootList.Flink; Entry != &FilterGlobals.SyncRootList;
             Entry = Entry->Flink) {
            Linked += 1;
        }
        FUZZ_CHECK(Linked == Live.size(), "%zu sync roots linked, %zu connections", Linked, Live.size());
        for (const Connection &Open : Live) {
            std::u16string Below = Open.Name + u"\\below";
            for (const std::u16string &Path : {Open.Name, Below}) {
                UNICODE_STRING Text = {(USHORT)(Path.size() * 2), (USHORT)(Path.size() * 2), (PWSTR)Path.data()};
                PSYNC_ROOT Root = NULL;
                NTSTATUS Status = SyncRootFind(&Text, &Root);
                FUZZ_CHECK(Status == STATUS_SUCCESS, "a connected root was not found: 0x%08X", (unsigned)Status);
                std::u16string Found((const char16_t *)Root->NameInfo->Name.Buffer,
                                     Root->NameInfo->Name.Length / sizeof(WCHAR));
                FUZZ_CHECK(Found == Open.Name, "a path was found under another root");
                FUZZ_CHECK(Root->ClientPort != NULL, "a connected root has no client port");
                SyncRootRelease(Root);
            }
        }
    }

    Target &T;
    std::vector<Connection> Live;
    const char *Armed = nullptr;  // fails once in the next connect
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Target &T = BootOnce<Target>();
    RunInput([&] {
        InputReader Reader(Data, Size);
        emu::ProcessScope InService(T.Service);
        Run Steps(T);
        for (int Step = 0; Step < 24 && !Reader.AtEnd(); Step += 1) {
            switch (Reader.U8() % 3) {
            case 0:
                Steps.Connect(Reader);
                break;
            case 1:
                Steps.Disconnect(Reader);
                break;
            default:
                Steps.Arm(Reader);
                break;
            }
        }
        Steps.End();
        T.Booted.ExpectBaseline("after the connections");
    });
    return 0;
}
