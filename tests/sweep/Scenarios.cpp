/*
 * Scenarios.cpp - the paths the sweep walks: load to unload with a service
 * that connects and answers a question, the placeholder primitives on
 * NTFS, the service's commands and sudden end, and a program's read of a
 * placeholder that the service hydrates.
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

namespace {

/* Makes a placeholder of Size bytes at a path on C: with the primitives the
   service's create request uses: created empty, sized, tagged, marked. */
bool MakePlaceholder(Run &R, Processes &P, const wchar_t *Path, ULONG64 Size)
{
    emu::InjectionSuppressed Setup;
    PFLT_INSTANCE Instance = R.System().InstanceOn(R.Ntfs);
    emu::ProcessScope InProgram(P.Program);
    HANDLE Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    PFILE_OBJECT File = NULL;
    bool Made = Handle != INVALID_HANDLE_VALUE &&
                NT_SUCCESS(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL));
    if (Made) {
        UCHAR Description[4] = {1, 2, 3, 4};
        GUID Guid = PlaceholderReparseGuid;
        Made = NT_SUCCESS(SetEndOfFile(Instance, File, Size)) &&
               NT_SUCCESS(FltTagFile(Instance, File, PlaceholderReparseTag, &Guid, Description, sizeof(Description)));
        SetPlaceholderAttributes(Instance, File, PlaceholderCommandCreate);
        ObDereferenceObject(File);
    }
    if (Handle != INVALID_HANDLE_VALUE) {
        CloseHandle(Handle);
    }
    R.Check(Made, "set-up: placeholder not made");
    return Made;
}

/* A file's attributes as NTFS has them, through an open below the filter
   that does not follow its reparse point. */
ULONG AttributesBelow(Run &R, Processes &P, const std::u16string &Path)
{
    emu::InjectionSuppressed Checking;
    PFLT_INSTANCE Instance = R.System().InstanceOn(R.Ntfs);
    emu::ProcessScope InProgram(P.Program);
    HANDLE Handle = NULL;
    PFILE_OBJECT File = NULL;
    FILE_BASIC_INFORMATION Basic = {};
    NTSTATUS Status = emu::OpenBelow(Instance, Path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     FILE_OPEN_REPARSE_POINT, &Handle, &File);
    R.Check(NT_SUCCESS(Status), "check: file not opened below the filter: " + Hex(Status));
    if (NT_SUCCESS(Status)) {
        R.Check(NT_SUCCESS(FltQueryInformationFile(Instance, File, &Basic, sizeof(Basic), FileBasicInformation,
                                                   NULL)),
                "check: attributes not read");
        ObDereferenceObject(File);
        CloseHandle(Handle);
    }
    return Basic.FileAttributes;
}

/* Bytes that differ from one offset to the next. */
std::vector<UCHAR> FileBytes(size_t Length)
{
    std::vector<UCHAR> Data(Length);
    for (size_t Index = 0; Index < Length; Index += 1) {
        Data[Index] = (UCHAR)(Index * 7 + Index / 251);
    }
    return Data;
}

}  // namespace

SWEEP_SCENARIO(HydrationOnRead,
               "a program's read of a placeholder succeeds only with the file's own bytes (or, once a failure "
               "kept its open from giving the stream a context, unhydrated with the placeholder's zeros); a "
               "service whose transfers and completion all succeeded leaves a full file (no reparse point, no placeholder "
               "attributes); a read never waits after its request was completed or its service went; nothing "
               "is left behind")
{
    Run.Boot();
    Processes P(Run);
    if (!NT_SUCCESS(Run.Load()) || !Run.System().IsAttached(Run.Ntfs)) {
        return;
    }
    service::ServiceConnection Connection;
    if (!ConnectSync(Run, P, &Connection)) {
        return;
    }
    const std::vector<UCHAR> Expected = FileBytes(10000);
    if (!MakePlaceholder(Run, P, L"C:\\Sync\\Docs\\Placeholder.bin", Expected.size())) {
        DisconnectSync(Run, P, &Connection);
        return;
    }

    /* The program opens the placeholder and reads all of it on a thread of
       its own; this thread serves as the service, in pieces of one page so
       that the short last piece goes through the bounce buffer. */
    std::atomic<bool> Done{false};
    std::atomic<NTSTATUS> ReadStatus{STATUS_PENDING};
    std::vector<UCHAR> Read(Expected.size() + 100, 0xEE);
    DWORD ReadCount = 0;
    std::thread Reader([&] {
        emu::ProcessScope InProgram(P.Program);
        HANDLE Handle = CreateFileW(L"C:\\Sync\\Docs\\Placeholder.bin", GENERIC_READ, FILE_SHARE_READ, NULL,
                                    OPEN_EXISTING, 0, NULL);
        NTSTATUS Status = emu::user::LastStatus();
        if (Handle != INVALID_HANDLE_VALUE) {
            Status = ReadFile(Handle, Read.data(), (DWORD)Read.size(), &ReadCount, NULL) ? STATUS_SUCCESS
                                                                                        : emu::user::LastStatus();
            CloseHandle(Handle);
        }
        ReadStatus = Status;
        Done = true;
    });
    HRESULT Served = E_FAIL;
    bool Asked = false;
    while (!Done.load()) {
        if (emu::QueuedMessages(Connection.Port, P.Service) != 0) {
            auto Received = std::make_unique<service::ReceivedMessage>();
            {
                emu::InjectionSuppressed Service;
                emu::ProcessScope InService(P.Service);
                Asked = service::ReceiveMessage(Connection, Received.get()) == S_OK;
            }
            Run.Check(!Asked || Received->Message.MessageType == MessageTypeHydrate, "wrong message type");
            Run.Check(!Asked || Received->Message.Hydrate.FileSize == (LONGLONG)Expected.size(),
                      "the hydrate message gives the wrong size");
            if (Asked) {
                emu::ProcessScope InService(P.Service);
                Served = service::SendFileData(Connection, Received->Message.Hydrate.RequestId, Expected.data(),
                                               Expected.size(), 4096);
            }
            break;
        }
        std::this_thread::yield();
    }
    /* A completion that never landed leaves the read waiting for the
       service: its end fails the read. */
    if (Served != S_OK) {
        DisconnectSync(Run, P, &Connection);
    }
    Reader.join();

    /* A placeholder whose open could not give its stream a context (the
       name query or the context failed, and was reported) is by design an
       ordinary file to every later operation: its read passes unhydrated
       and returns what NTFS holds, the sparse file's zeros. */
    if (NT_SUCCESS(ReadStatus.load()) && !Asked) {
        Run.Check(Run.Injected(), "the read of a placeholder succeeded without asking the service");
        bool Zeros = ReadCount == Expected.size();
        for (DWORD Index = 0; Index < ReadCount && Zeros; Index += 1) {
            Zeros = Read[Index] == 0;
        }
        Run.Check(Zeros, "a read that passed unhydrated returned other bytes than the placeholder's zeros");
    } else if (NT_SUCCESS(ReadStatus.load())) {
        Run.Check(ReadCount == Expected.size() && memcmp(Read.data(), Expected.data(), Expected.size()) == 0,
                  "the read succeeded with other bytes than the file's (" + std::to_string(ReadCount) + " read)");
    } else {
        Run.Failed(ReadStatus.load(), "read of a placeholder");
    }
    if (Served == S_OK) {
        Run.Check(NT_SUCCESS(ReadStatus.load()) || Run.Injected(),
                  "the service delivered the file but the read failed with " + Hex(ReadStatus.load()));
        ULONG Attributes = AttributesBelow(Run, P, u"\\Sync\\Docs\\Placeholder.bin");
        Run.Check((Attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0,
                  "the completion succeeded but the file keeps its reparse point");
        Run.Check((Attributes & PlaceholderAttributes) == 0 || Run.Injected(),
                  "the completion succeeded but the file keeps placeholder attributes");
        DisconnectSync(Run, P, &Connection);
    }
}

}  // namespace zentaflt_sweep

namespace zentaflt_sweep {
namespace {

/* The NTSTATUS behind a service call's HRESULT: carried in it for the
   request's own status, else the last status of the open it made. */
NTSTATUS StatusOf(HRESULT Result)
{
    if (Result == S_OK) {
        return STATUS_SUCCESS;
    }
    if (Result & FACILITY_NT_BIT) {
        return (NTSTATUS)(Result & ~FACILITY_NT_BIT);
    }
    return emu::user::LastStatus();
}

/* The file system's view of a file on C: (volume-relative Path), read
   below the filter with injection suppressed: whether it opens, its size,
   its reparse data and its first bytes. */
struct OnDisk {
    bool Exists = false;
    LONGLONG Size = -1;
    bool Reparse = false;
    std::vector<UCHAR> ReparseData;
    std::vector<UCHAR> Head;
};

OnDisk Inspect(Run &R, Processes &P, const std::u16string &Path)
{
    OnDisk Out;
    emu::InjectionSuppressed Checking;
    emu::ProcessScope InProgram(P.Program);
    PFLT_INSTANCE Instance = R.System().InstanceOn(R.Ntfs);
    HANDLE Handle = NULL;
    PFILE_OBJECT File = NULL;
    if (!NT_SUCCESS(emu::OpenBelow(Instance, Path, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_REPARSE_POINT,
                                   &Handle, &File))) {
        return Out;
    }
    Out.Exists = true;
    R.Check(NT_SUCCESS(QueryFileSize(Instance, File, &Out.Size)), "check: size not read");
    PVOID Data = NULL;
    ULONG Length = 0;
    if (NT_SUCCESS(GetPlaceholderReparseData(Instance, File, &Data, &Length))) {
        Out.Reparse = true;
        Out.ReparseData.assign((PUCHAR)Data, (PUCHAR)Data + Length);
        FreePlaceholderReparseData(Data);
    }
    Out.Head.assign(16, 0xEE);
    LARGE_INTEGER Zero = {};
    ULONG Read = 0;
    if (Out.Size > 0) {
        FltReadFile(Instance, File, &Zero, (ULONG)Out.Head.size(), Out.Head.data(),
                    FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &Read, NULL, NULL);
    }
    Out.Head.resize(Read);
    ObDereferenceObject(File);
    CloseHandle(Handle);
    return Out;
}

}  // namespace
}  // namespace zentaflt_sweep

SWEEP_SCENARIO(PlaceholderCreateAndConvert,
               "a placeholder create that reports success made the whole placeholder (size and reparse data) and "
               "one that fails made no file; a convert that reports success left a placeholder with the "
               "service's reparse data and no data, and one that fails left the file as it was")
{
    Run.Boot();
    zentaflt_sweep::Processes P(Run);
    if (!NT_SUCCESS(Run.Load())) {
        return;
    }
    service::ServiceConnection Connection;
    if (!zentaflt_sweep::ConnectSync(Run, P, &Connection)) {
        return;
    }
    std::vector<UCHAR> Bytes(4096, 0x5A);
    {
        emu::InjectionSuppressed Setup;
        emu::ProcessScope InProgram(P.Program);
        HANDLE File = CreateFileW(L"C:\\Sync\\Docs\\Report.txt", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        DWORD Written = 0;
        Run.Check(File != INVALID_HANDLE_VALUE && WriteFile(File, Bytes.data(), 4096, &Written, NULL) != FALSE,
                  "set-up: file not written");
        CloseHandle(File);
    }

    service::PlaceholderDescription Placeholder;
    Placeholder.Name = u"new.bin";
    Placeholder.FileSize = 5000;
    Placeholder.ReparseData = {'s', 'r', 'c'};
    HRESULT Result;
    {
        emu::ProcessScope InService(P.Service);
        Result = service::CreatePlaceholderIn(L"C:\\Sync", Placeholder);
    }
    zentaflt_sweep::OnDisk Made = zentaflt_sweep::Inspect(Run, P, u"\\Sync\\new.bin");
    if (Result == S_OK) {
        Run.Check(Made.Exists && Made.Size == 5000 && Made.Reparse && Made.ReparseData == Placeholder.ReparseData,
                  "the create succeeded but the placeholder is not whole");
    } else {
        Run.Check(!Made.Exists, "a failed create left a file behind");
        Run.Failed(zentaflt_sweep::StatusOf(Result), "placeholder create");
    }

    {
        emu::ProcessScope InService(P.Service);
        Result = service::ConvertToPlaceholder(L"C:\\Sync\\Docs\\Report.txt", "data", 4);
    }
    zentaflt_sweep::OnDisk Converted = zentaflt_sweep::Inspect(Run, P, u"\\Sync\\Docs\\Report.txt");
    Run.Check(Converted.Exists && Converted.Size == 4096, "the convert changed the file's size");
    if (Result == S_OK) {
        Run.Check(Converted.Reparse && Converted.ReparseData == std::vector<UCHAR>{'d', 'a', 't', 'a'},
                  "the convert succeeded but the file carries no placeholder reparse data");
    } else {
        Run.Check(!Converted.Reparse && Converted.Head == std::vector<UCHAR>(16, 0x5A),
                  "a failed convert changed the file");
        Run.Failed(zentaflt_sweep::StatusOf(Result), "convert");
    }
    zentaflt_sweep::DisconnectSync(Run, P, &Connection);
}

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
