/*
 * Scenarios.cpp - the paths the sweep walks: load to unload with a service
 * that connects and answers a question, the placeholder primitives on
 * NTFS, and the service's commands and sudden end.
 *
 * Each step's success is checked for what it claims; a step's failure is
 * accepted once an injected failure has happened.  The scenario's own
 * set-up and checks run inside emu::InjectionSuppressed, so only the
 * driver's calls are counted and failed.
 */
#include "Sweep.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>

#include "EmuTesting.h"
#include "Zentaflt.h"
#include "ServiceClient.h"

namespace service = zentaflt::service;

namespace zentaflt_sweep {
namespace {

/* A service and a program, with the directories the scenarios use. */
struct Processes {
    explicit Processes(Run &R) : Owner(R)
    {
        emu::InjectionSuppressed Setup;
        Service = R.System().CreateProcess("service.exe");
        Program = R.System().CreateProcess("program.exe");
        emu::ProcessScope InProgram(Program);
        for (const wchar_t *Directory : {L"C:\\Sync", L"C:\\Sync\\Docs", L"C:\\Other", L"D:\\Fat"}) {
            R.Check(CreateDirectoryW(Directory, NULL) != FALSE, "set-up: directory not created");
        }
        HANDLE File = CreateFileW(L"C:\\Sync\\Docs\\Report.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        R.Check(File != INVALID_HANDLE_VALUE, "set-up: file not created");
        CloseHandle(File);
    }

    ~Processes()
    {
        emu::InjectionSuppressed Teardown;
        Owner.System().Terminate(Service);
        Owner.System().Terminate(Program);
    }

    /* Connects a sync root as the service; the filter's answer. */
    NTSTATUS Connect(const wchar_t *Path, service::ServiceConnection *Connection)
    {
        HANDLE Directory;
        {
            emu::InjectionSuppressed Setup;
            emu::ProcessScope InService(Service);
            Directory = CreateFileW(Path, 0x86, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        }
        emu::ProcessScope InService(Service);
        service::ConnectSyncRoot(Directory, Connection);
        NTSTATUS Status = emu::user::LastStatus();
        CloseHandle(Directory);
        return Status;
    }

    void Disconnect(service::ServiceConnection *Connection)
    {
        emu::ProcessScope InService(Service);
        service::Disconnect(Connection);
    }

    Run &Owner;
    emu::EmuProcess *Service = nullptr;
    emu::EmuProcess *Program = nullptr;
};

/* The sync root of a path on C:, referenced; null when none. */
PSYNC_ROOT FindRoot(const char16_t *Path)
{
    std::u16string Name = u"\\Device\\HarddiskVolume1" + std::u16string(Path);
    UNICODE_STRING Text = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
    PSYNC_ROOT Root = NULL;
    return NT_SUCCESS(SyncRootFind(&Text, &Root)) ? Root : NULL;
}

/* Connects C:\Sync and checks what a success claims: the sync root is
   findable with its client port.  On a volume the filter has no instance
   on, the only right answer is STATUS_NOT_SUPPORTED. */
bool ConnectSync(Run &R, Processes &P, service::ServiceConnection *Connection)
{
    NTSTATUS Status = P.Connect(L"C:\\Sync", Connection);
    bool Attached = R.System().IsAttached(R.Ntfs);
    if (!Attached) {
        R.Check(Status == STATUS_NOT_SUPPORTED || (!NT_SUCCESS(Status) && R.Injected()),
                "connect on a volume without the filter's instance answered " + Hex(Status));
        return false;
    }
    if (!NT_SUCCESS(Status)) {
        R.Failed(Status, "connect");
        return false;
    }
    PSYNC_ROOT Root = FindRoot(u"\\Sync\\Docs\\Report.txt");
    R.Check(Root != NULL, "connect succeeded but no sync root contains the directory");
    if (Root != NULL) {
        R.Check(Root->ClientPort != NULL, "connect succeeded but the sync root has no client port");
        SyncRootRelease(Root);
    }
    return true;
}

/* The FAT volume has no instance: a connection there is refused. */
void ConnectOnFat(Run &R, Processes &P)
{
    service::ServiceConnection Connection;
    NTSTATUS Status = P.Connect(L"D:\\Fat", &Connection);
    R.Check(!NT_SUCCESS(Status), "a sync root was connected on a FAT volume");
    R.Check(Status == STATUS_NOT_SUPPORTED || R.Injected(),
            "connect on a FAT volume answered " + Hex(Status) + ", not STATUS_NOT_SUPPORTED");
    if (NT_SUCCESS(Status)) {
        P.Disconnect(&Connection);
    }
}

void DisconnectSync(Run &R, Processes &P, service::ServiceConnection *Connection)
{
    P.Disconnect(Connection);
    PSYNC_ROOT Root = FindRoot(u"\\Sync");
    R.Check(Root == NULL, "the sync root outlived its connection");
    if (Root != NULL) {
        SyncRootRelease(Root);
    }
}

/* Asks the service the delete-directory question about a file in the
   sync root, as a guard would; the service answers ReplyDeny.  A success
   must carry that answer, and the service must have seen the question. */
void Ask(Run &R, Processes &P, service::ServiceConnection *Connection)
{
    HANDLE File;
    PFLT_CALLBACK_DATA Data;
    {
        emu::InjectionSuppressed Setup;
        emu::ProcessScope InProgram(P.Program);
        File = CreateFileW(L"C:\\Sync\\Docs\\Report.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        R.Check(File != INVALID_HANDLE_VALUE, "set-up: file not opened");
        Data = emu::MakeCallbackData(File, IRP_MJ_SET_INFORMATION, UserMode);
    }
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    UNICODE_STRING Path = {};
    PSYNC_ROOT Root = NULL;
    NTSTATUS Status = GetNormalizedName(Data, &NameInfo, &Path);
    if (!NT_SUCCESS(Status)) {
        R.Failed(Status, "name query");
    } else if (!NT_SUCCESS(Status = SyncRootFind(&NameInfo->Name, &Root))) {
        R.Check(false, "the file's sync root was not found: " + Hex(Status));
    } else {
        std::atomic<NTSTATUS> Sent{STATUS_PENDING};
        std::atomic<bool> Done{false};
        SERVICE_REPLY Reply = 0;
        std::thread Asker([&] {
            Sent = SendDeleteDirectoryMessage(Data, Root, &Path, &Reply);
            Done = true;
        });
        bool Answered = false;
        while (!Done.load()) {
            if (emu::QueuedMessages(Connection->Port, P.Service) != 0) {
                auto Received = std::make_unique<service::ReceivedMessage>();
                emu::InjectionSuppressed Service;
                emu::ProcessScope InService(P.Service);
                if (service::ReceiveMessage(*Connection, Received.get()) == S_OK) {
                    R.Check(Received->Message.MessageType == MessageTypeDeleteDirectory, "wrong message type");
                    Answered = service::ReplyToMessage(*Connection, Received->Header.MessageId, ReplyDeny) == S_OK;
                }
                break;
            }
            std::this_thread::yield();
        }
        Asker.join();
        if (NT_SUCCESS(Sent.load())) {
            R.Check(Answered, "the question succeeded but the service never answered it");
            R.Check(Reply == ReplyDeny, "the question succeeded with a reply the service did not send");
        } else {
            R.Failed(Sent.load(), "question");
        }
        SyncRootRelease(Root);
    }
    if (NameInfo != NULL) {
        FltReleaseFileNameInformation(NameInfo);
    }
    emu::InjectionSuppressed Teardown;
    emu::FreeCallbackData(Data);
    emu::ProcessScope InProgram(P.Program);
    CloseHandle(File);
}

}  // namespace

SWEEP_SCENARIO(LoadConnectAskUnload,
               "load succeeds only with the port open; a connect succeeds only with its sync root findable and "
               "its port set, and never on a volume without the filter's instance; a question succeeds only with "
               "the service's own answer; disconnect and unload leave nothing behind")
{
    Run.Boot();
    Processes P(Run);
    if (NT_SUCCESS(Run.Load())) {
        service::ServiceConnection Connection;
        if (ConnectSync(Run, P, &Connection)) {
            Ask(Run, P, &Connection);
            DisconnectSync(Run, P, &Connection);
        }
        ConnectOnFat(Run, P);
    }
}

SWEEP_SCENARIO(PlaceholderPrimitives,
               "each primitive that reports success has done its work on NTFS: reparse data read back as "
               "written, the size as it is, the end of file set, the attributes set and cleared, a stream "
               "context attached and found again, an atomic-create list built")
{
    Run.Boot();
    Processes P(Run);
    if (!NT_SUCCESS(Run.Load()) || !Run.System().IsAttached(Run.Ntfs)) {
        return;
    }
    PFLT_INSTANCE Instance = Run.System().InstanceOn(Run.Ntfs);
    HANDLE Handle;
    PFILE_OBJECT File = NULL;
    std::vector<UCHAR> Reparse(100);
    for (size_t Index = 0; Index < Reparse.size(); Index += 1) {
        Reparse[Index] = (UCHAR)(Index + 7);
    }
    GUID Guid = PlaceholderReparseGuid;
    auto Query = [&](FILE_INFORMATION_CLASS Class, auto *Information) {
        emu::InjectionSuppressed Checking;
        return FltQueryInformationFile(Instance, File, Information, sizeof(*Information), Class, NULL);
    };
    {
        emu::InjectionSuppressed Setup;
        emu::ProcessScope InProgram(P.Program);
        Handle = CreateFileW(L"C:\\Sync\\file.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             NULL, CREATE_NEW, 0, NULL);
        ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL);
        std::vector<UCHAR> Bytes(3000, 0x5A);
        DWORD Written = 0;
        WriteFile(Handle, Bytes.data(), (DWORD)Bytes.size(), &Written, NULL);
        Run.Check(File != NULL && Written == 3000, "set-up: file not written");
        Run.Check(NT_SUCCESS(FltTagFile(Instance, File, PlaceholderReparseTag, &Guid, Reparse.data(),
                                        (USHORT)Reparse.size())),
                  "set-up: file not tagged");
    }

    PVOID Data = NULL;
    ULONG Length = 0;
    NTSTATUS Status = GetPlaceholderReparseData(Instance, File, &Data, &Length);
    if (NT_SUCCESS(Status)) {
        Run.Check(Length == Reparse.size() && memcmp(Data, Reparse.data(), Length) == 0,
                  "reparse data read back differs from what was written");
        FreePlaceholderReparseData(Data);
    } else {
        Run.Check(Data == NULL && Length == 0, "a failed reparse read handed out a buffer");
        Run.Failed(Status, "reparse data read");
    }

    LONGLONG Size = -1;
    Status = QueryFileSize(Instance, File, &Size);
    if (NT_SUCCESS(Status)) {
        Run.Check(Size == 3000, "size read as " + std::to_string(Size));
    } else {
        Run.Failed(Status, "size query");
    }

    Status = SetEndOfFile(Instance, File, 8192);
    FILE_STANDARD_INFORMATION Standard = {};
    Run.Check(NT_SUCCESS(Query(FileStandardInformation, &Standard)), "check: size not read");
    if (NT_SUCCESS(Status)) {
        Run.Check(Standard.EndOfFile.QuadPart == 8192, "end of file set but the size is unchanged");
    } else {
        Run.Failed(Status, "end of file");
    }

    /* Decorations report their failure and go on; without an injected
       failure they must have taken effect. */
    SetPlaceholderAttributes(Instance, File, PlaceholderCommandCreate);
    FILE_BASIC_INFORMATION Basic = {};
    Run.Check(NT_SUCCESS(Query(FileBasicInformation, &Basic)), "check: attributes not read");
    Run.Check((Basic.FileAttributes & PlaceholderAttributes) == PlaceholderAttributes || Run.Injected(),
              "placeholder attributes not set");
    SetPlaceholderAttributes(Instance, File, PlaceholderCommandUpdate);
    Run.Check(NT_SUCCESS(Query(FileBasicInformation, &Basic)), "check: attributes not read");
    Run.Check((Basic.FileAttributes & PlaceholderAttributes) == 0 || Run.Injected(), "placeholder attributes not cleared");
    MarkHandleForReplication(Instance, File);
    WriteUsnCloseRecord(Instance, File);

    PFLT_CALLBACK_DATA CallbackData;
    {
        emu::InjectionSuppressed Setup;
        emu::ProcessScope InProgram(P.Program);
        CallbackData = emu::MakeCallbackData(Handle, IRP_MJ_CREATE, UserMode, true);
    }
    PSTREAM_CONTEXT Context = NULL;
    Status = GetStreamContext(CallbackData, PlaceholderCommandCreate, &Context);
    if (NT_SUCCESS(Status)) {
        Run.Check(Context != NULL && Context->State == StreamStateNew, "stream context created in the wrong state");
        PFLT_CONTEXT Attached = NULL;
        {
            emu::InjectionSuppressed Checking;
            Run.Check(NT_SUCCESS(FltGetStreamContext(Instance, File, &Attached)) && Attached == Context,
                      "stream context created but not attached to the stream");
        }
        if (Attached != NULL) {
            FltReleaseContext(Attached);
        }
        PSTREAM_CONTEXT Found = NULL;
        NTSTATUS Lookup = GetStreamContext(CallbackData, PlaceholderCommandUpdate, &Found);
        if (NT_SUCCESS(Lookup)) {
            Run.Check(Found == Context, "the lookup found another stream context");
            FltReleaseContext(Found);
        } else {
            Run.Failed(Lookup, "stream context lookup");
        }
        FltReleaseContext(Context);
    } else {
        Run.Check(Context == NULL, "a failed stream context creation handed out a context");
        Run.Failed(Status, "stream context creation");
    }

    PECP_LIST EcpList = NULL;
    PATOMIC_CREATE_ECP_CONTEXT Ecp = NULL;
    Status = BuildAtomicCreateEcp(&EcpList, &Ecp);
    if (NT_SUCCESS(Status)) {
        Run.Check(EcpList != NULL && Ecp != NULL, "atomic-create list built without its context");
        if (EcpList != NULL) {
            FltFreeExtraCreateParameterList(FilterGlobals.Filter, EcpList);
        }
    } else {
        Run.Check(EcpList == NULL && Ecp == NULL, "a failed atomic-create build handed out a list");
        Run.Failed(Status, "atomic-create list");
    }

    emu::InjectionSuppressed Teardown;
    emu::FreeCallbackData(CallbackData);
    ObDereferenceObject(File);
    emu::ProcessScope InProgram(P.Program);
    CloseHandle(Handle);
}

SWEEP_SCENARIO(ChannelCommandsAndServiceEnd,
               "commands the filter cannot carry out never succeed and write no reply; a service that ends "
               "with sync roots connected leaves none behind")
{
    Run.Boot();
    Processes P(Run);
    if (!NT_SUCCESS(Run.Load())) {
        return;
    }
    service::ServiceConnection Sync;
    service::ServiceConnection Other;
    if (ConnectSync(Run, P, &Sync)) {
        emu::ProcessScope InService(P.Service);
        UCHAR Input[64] = {};
        UCHAR Output[8];
        DWORD Returned = 0;
        auto Send = [&](PVOID Buffer, DWORD InLength, DWORD OutLength, NTSTATUS Expected, const char *What) {
            memset(Output, 0xCC, sizeof(Output));
            HRESULT Result = FilterSendMessage(Sync.Port, Buffer, InLength, Output, OutLength, &Returned);
            NTSTATUS Status = emu::user::LastStatus();
            Run.Check(Result != S_OK, std::string(What) + " succeeded");
            Run.Check(Output[0] == 0xCC, std::string(What) + " wrote a reply");
            Run.Check(Status == Expected || Run.Injected(), std::string(What) + " answered " + Hex(Status));
        };
        SERVICE_COMMAND Command = {};
        Send(Input, 39, 4, STATUS_INVALID_PARAMETER, "a 39-byte command");
        Send(Input, 40, 3, STATUS_INVALID_PARAMETER, "a command with a 3-byte reply buffer");
        Command.Command = 1298;
        memcpy(Input, &Command, sizeof(Command));
        Send(Input, 40, 4, STATUS_INVALID_DEVICE_REQUEST, "an unknown command");
        Send(emu::ReserveUnmappedUserRange(4096), 40, 4, STATUS_ACCESS_VIOLATION, "an unreadable command");
        Command.Command = CommandCompleteHydration;
        Command.CompleteHydration.RequestId = 12345;
        memcpy(Input, &Command, sizeof(Command));
        Send(Input, 40, 4, STATUS_NOT_FOUND, "a completion of no pending request");
        Command = {};
        Command.Command = CommandTransferData;
        Command.TransferData.RequestId = 12345;
        Command.TransferData.BufferAddress = (ULONGLONG)(ULONG_PTR)Input;
        Command.TransferData.Length = 16;
        memcpy(Input, &Command, sizeof(Command));
        Send(Input, 40, 4, STATUS_NOT_FOUND, "data for no pending request");
    }
    NTSTATUS Status = P.Connect(L"C:\\Other", &Other);
    if (!NT_SUCCESS(Status)) {
        Run.Check(Run.Injected() || !Run.System().IsAttached(Run.Ntfs), "second connect failed with " + Hex(Status));
    }
    /* The service ends with its connections open. */
    {
        emu::InjectionSuppressed Ending;
        Run.System().Terminate(P.Service);
    }
    Run.Check(IsListEmpty(&FilterGlobals.SyncRootList), "sync roots outlived the service's end");
}

}  // namespace zentaflt_sweep

namespace zentaflt_sweep {
namespace {

/* The service's thread for the guarded scenario: refuses directory
   deletes, allows everything else, and counts what it was asked. */
struct GuardService {
    GuardService(Processes &P, service::ServiceConnection *Connection) : P(P), Connection(Connection)
    {
        Thread = std::thread([this] {
            emu::InjectionSuppressed Service;
            emu::ProcessScope InService(this->P.Service);
            auto Received = std::make_unique<service::ReceivedMessage>();
            while (service::ReceiveMessage(*this->Connection, Received.get()) == S_OK) {
                service::AnswerQuestion(*this->Connection, *Received, [this](const service::Question &Asked) {
                    (Asked.Kind == service::QuestionKind::DeleteDirectory ? Deletes : Moves) += 1;
                    return Asked.Kind == service::QuestionKind::DeleteDirectory ? (SERVICE_REPLY)ReplyDeny : 0u;
                });
            }
        });
    }

    ~GuardService()
    {
        P.Disconnect(Connection);
        Thread.join();
    }

    Processes &P;
    service::ServiceConnection *Connection;
    std::atomic<int> Deletes{0};
    std::atomic<int> Moves{0};
    std::thread Thread;
};

/* Whether Path exists, looked up without counting. */
bool Exists(Processes &P, const wchar_t *Path)
{
    emu::InjectionSuppressed Checking;
    emu::ProcessScope InProgram(P.Program);
    HANDLE Handle = CreateFileW(Path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (Handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(Handle);
    return true;
}

}  // namespace

SWEEP_SCENARIO(GuardedDeleteAndRenames,
               "a directory delete the service refuses never succeeds and leaves the directory; a file moved out "
               "of its sync root succeeds only after the service was asked, and is then at its destination; a "
               "directory moved out of its sync root never succeeds")
{
    Run.Boot();
    Processes P(Run);
    service::ServiceConnection Connection;
    if (!NT_SUCCESS(Run.Load()) || !ConnectSync(Run, P, &Connection)) {
        return;
    }
    GuardService Service(P, &Connection);
    auto Program = [&](auto Call) {
        emu::ProcessScope InProgram(P.Program);
        return Call() ? STATUS_SUCCESS : emu::user::LastStatus();
    };

    {
        emu::InjectionSuppressed Setup;
        emu::ProcessScope InProgram(P.Program);
        Run.Check(CreateDirectoryW(L"C:\\Sync\\Empty", NULL) != FALSE, "set-up: directory not created");
    }
    NTSTATUS Status = Program([] { return RemoveDirectoryW(L"C:\\Sync\\Empty"); });
    Run.Check(!NT_SUCCESS(Status), "a directory delete the service refused succeeded");
    Run.Check(Exists(P, L"C:\\Sync\\Empty"), "a refused directory delete removed the directory");
    if (Status != STATUS_SHARING_VIOLATION) {
        Run.Failed(Status, "refused directory delete");
    }

    Status = Program([] { return MoveFileExW(L"C:\\Sync\\Docs\\Report.txt", L"C:\\Other\\Report.txt", 0); });
    if (NT_SUCCESS(Status)) {
        Run.Check(Service.Moves.load() == 1, "a file left its sync root without the service being asked");
        Run.Check(Exists(P, L"C:\\Other\\Report.txt") && !Exists(P, L"C:\\Sync\\Docs\\Report.txt"),
                  "a move out reported success but the file is not at its destination");
    } else {
        Run.Check(Exists(P, L"C:\\Sync\\Docs\\Report.txt"), "a failed move out lost the file");
        Run.Failed(Status, "file move out");
    }

    Status = Program([] { return MoveFileExW(L"C:\\Sync\\Docs", L"C:\\Other\\Docs", 0); });
    Run.Check(!NT_SUCCESS(Status), "a directory left its sync root for a place outside the recycle bin");
    Run.Check(Exists(P, L"C:\\Sync\\Docs"), "a refused directory move removed the directory");
    if (Status != STATUS_NOT_SAME_DEVICE) {
        Run.Failed(Status, "directory move out");
    }
}

}  // namespace zentaflt_sweep
