/*
 * question_reply_fuzz.cpp - the service's side of the filter's messages:
 * what it answers, with FilterGetMessage and FilterReplyMessage, to each of
 * the four message types, and when.
 *
 * The service connects C:\Sync when the system boots; a program has
 * C:\Sync\Docs\Report.txt open.  For each input a thread of the program
 * sends one message about that file (hydrate, move out, delete directory or
 * rename directory, with a destination and reparse data from the input)
 * and the service takes it and then acts: replies of any length with any
 * header and message id, lets the clock run (the send gives up after 300
 * seconds), or disconnects.
 *
 * The message must carry exactly its fields; the send must end as the
 * message rules say (a question succeeds only with a reply of all 4 bytes,
 * and then holds exactly the value sent; a short reply or none in time is
 * a refusal, a disconnect is 0xC000CF01; a hydrate message succeeds once
 * taken), never with a reply value the service did not send; every reply
 * must get the library's documented answer; nothing is left behind.
 *
 * Record (little-endian): u8 message type, u8 destination length in
 * characters, u16 reparse data length, u64 file size, u64 request id,
 * u32 thread id, u32 process id, the destination's characters (2 bytes
 * each), up to 32 bytes of reparse data (a pattern after), u8 failing
 * routine (modulo 8: 1 the instance context, 2 the message buffer, 3 the
 * send; the send then fails at once and the service does nothing), u32
 * injected status, then up to 6 service actions, each a u8 kind and its
 * fields:
 *   0 reply:      u32 header status, u8 message id choice, u8 length after
 *                 the header, up to 8 bytes (zero after)
 *   1 reply 4:    u32 the reply value, with the message's id
 *   2 wait:       u16 seconds the clock moves
 *   3 disconnect
 */
#include "FuzzSupport.h"
#include "InputReader.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "ServiceClient.h"

using namespace zentaflt_fuzz;
namespace service = zentaflt::service;

namespace {

constexpr LONGLONG OneSecond = 10 * 1000 * 1000;
constexpr uint64_t SendTimeoutSeconds = 300;
constexpr uint16_t LargestReparseData = 2048;

const char16_t FilePath[] = u"\\Sync\\Docs\\Report.txt";
const char16_t FileName[] = u"\\Device\\HarddiskVolume1\\Sync\\Docs\\Report.txt";

/* One send, as the program's thread makes it. */
struct Send {
    ULONG Type = 0;
    std::u16string Destination;
    std::vector<uint8_t> ReparseData;
    LONGLONG FileSize = 0;
    ULONG64 RequestId = 0;
    uint64_t ThreadId = 0;
    uint64_t ProcessId = 0;
    /* Results. */
    NTSTATUS Status = STATUS_PENDING;
    SERVICE_REPLY Reply = 0xDEADBEEF;
};

bool IsQuestion(ULONG Type)
{
    return Type != MessageTypeHydrate;
}

/* A thread of the program that sends what it is given, one at a time. */
class Sender {
public:
    Sender(emu::EmuProcess *Program, PFLT_CALLBACK_DATA Data) : Program(Program), Data(Data)
    {
        Worker = std::thread([this] { Loop(); });
        Worker.detach();  // lives as long as the run
    }

    void Start(Send *Job)
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Current = Job;
        Finished = false;
        Wake.notify_all();
    }

    bool Done()
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Finished;
    }

    void Wait()
    {
        std::unique_lock<std::mutex> Guard(Lock);
        Wake.wait(Guard, [this] { return Finished; });
    }

private:
    void Loop()
    {
        emu::ProcessScope InProgram(Program);
        for (;;) {
            Send *Job;
            {
                std::unique_lock<std::mutex> Guard(Lock);
                Wake.wait(Guard, [this] { return Current != nullptr; });
                Job = Current;
            }
            RunInput([&] { Run(Job); });
            std::lock_guard<std::mutex> Guard(Lock);
            Current = nullptr;
            Finished = true;
            Wake.notify_all();
        }
    }

    void Run(Send *Job)
    {
        std::u16string Name = FileName;
        UNICODE_STRING Text = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
        PSYNC_ROOT Root = NULL;
        NTSTATUS Status = SyncRootFind(&Text, &Root);
        if (!NT_SUCCESS(Status)) {
            Fail("the file's sync root is not connected: 0x%08X", (unsigned)Status);
        }
        std::u16string PathText = FilePath;
        UNICODE_STRING Path = {(USHORT)(PathText.size() * 2), (USHORT)(PathText.size() * 2), (PWSTR)PathText.data()};
        UNICODE_STRING Destination = {(USHORT)(Job->Destination.size() * 2), (USHORT)(Job->Destination.size() * 2),
                                      (PWSTR)Job->Destination.data()};
        const VOID *Reparse = Job->ReparseData.empty() ? NULL : Job->ReparseData.data();
        ULONG ReparseLength = (ULONG)Job->ReparseData.size();
        switch (Job->Type) {
        case MessageTypeHydrate:
            Status = SendHydrateMessage(Data, Root, &Path, Job->FileSize, Job->RequestId, Reparse, ReparseLength,
                                        (HANDLE)Job->ThreadId, (HANDLE)Job->ProcessId);
            break;
        case MessageTypeMoveFileOut:
            Status = SendMoveFileOutMessage(Data, Root, &Path, &Destination, Reparse, ReparseLength, &Job->Reply);
            break;
        case MessageTypeDeleteDirectory:
            Status = SendDeleteDirectoryMessage(Data, Root, &Path, &Job->Reply);
            break;
        default:
            Status = SendRenameDirectoryMessage(Data, Root, &Path, &Destination, &Job->Reply);
            break;
        }
        SyncRootRelease(Root);
        Job->Status = Status;
    }

    emu::EmuProcess *Program;
    PFLT_CALLBACK_DATA Data;
    std::thread Worker;
    std::mutex Lock;
    std::condition_variable Wake;
    Send *Current = nullptr;
    bool Finished = false;
};

struct Target {
    BootedSystem Booted;
    emu::EmuProcess *Service = nullptr;
    emu::EmuProcess *Program = nullptr;
    service::ServiceConnection Connection;
    HANDLE File = nullptr;
    PFILE_OBJECT FileObject = nullptr;
    FLT_IO_PARAMETER_BLOCK Iopb = {};
    std::unique_ptr<FLT_CALLBACK_DATA> Data;
    std::unique_ptr<service::ReceivedMessage> Received = std::make_unique<service::ReceivedMessage>();
    std::unique_ptr<Sender> Program_;
    std::u16string VolumePath;

    Target()
    {
        Service = Booted.CreateProcess("service.exe");
        Program = Booted.CreateProcess("program.exe");
        {
            emu::ProcessScope InProgram(Program);
            if (!CreateDirectoryW(L"C:\\Sync", NULL) || !CreateDirectoryW(L"C:\\Sync\\Docs", NULL)) {
                Fail("cannot create the directories");
            }
        }
        FileObject = OpenAndReference(Program, L"C:\\Sync\\Docs\\Report.txt", FILE_SHARE_READ, CREATE_NEW, &File);
        /* The operation the messages are about: a set-information request
           of the program's on its file, through the filter's instance. */
        Iopb.MajorFunction = IRP_MJ_SET_INFORMATION;
        Iopb.TargetFileObject = FileObject;
        Iopb.TargetInstance = Booted.Instance;
        FLT_CALLBACK_DATA Operation = {FLTFL_CALLBACK_DATA_IRP_OPERATION, NULL, &Iopb};
        Data = std::make_unique<FLT_CALLBACK_DATA>(Operation);
        Data->RequestorMode = UserMode;
        Connect();
        Program_ = std::make_unique<Sender>(Program, Data.get());

        /* One exchange before the baseline: the message pool keeps the
           buffer it hands out once. */
        Send First;
        First.Type = MessageTypeDeleteDirectory;
        Program_->Start(&First);
        emu::ProcessScope InService(Service);
        if (service::ReceiveMessage(Connection, Received.get()) != S_OK ||
            service::ReplyToMessage(Connection, Received->Header.MessageId, 0) != S_OK) {
            Fail("the first exchange failed");
        }
        Program_->Wait();
        if (First.Status != STATUS_SUCCESS) {
            Fail("the first exchange ended with 0x%08X", (unsigned)First.Status);
        }
        VolumePath = service::VolumePathOf(Received->Message);
        Booted.TakeBaseline();
    }

    void Connect()
    {
        emu::ProcessScope InService(Service);
        HRESULT Result = service::ConnectSyncRootPath(L"C:\\Sync", &Connection);
        if (Result != S_OK) {
            Fail("cannot connect C:\\Sync: 0x%08X", (unsigned)Result);
        }
    }

    void Shutdown()
    {
        ObDereferenceObject(FileObject);
        Booted.Shutdown();
    }
};

/* Checks every byte of a message against what its send asked for. */
void ExpectMessage(Target &T, const Send &Job)
{
    const SERVICE_MESSAGE &Message = T.Received->Message;
    std::vector<uint8_t> Expected(sizeof(SERVICE_MESSAGE), 0);
    auto Put = [&](size_t Offset, const void *Bytes, size_t Length) {
        if (Length != 0) {
            memcpy(Expected.data() + Offset, Bytes, Length);
        }
    };
    Put(0, &Job.Type, 4);
    Put(8, T.VolumePath.data(), T.VolumePath.size() * 2);
    Put(108, FilePath, sizeof(FilePath) - 2);
    size_t ReparseLength = Job.ReparseData.size() < ServiceReparseDataSize ? Job.ReparseData.size()
                                                                             : ServiceReparseDataSize;
    USHORT Length16 = (USHORT)ReparseLength;
    switch (Job.Type) {
    case MessageTypeHydrate: {
        Put(65644, Job.ReparseData.data(), ReparseLength);
        Put(66668, &Length16, 2);
        ULONG Thread = (ULONG)Job.ThreadId;
        ULONG Process = (ULONG)Job.ProcessId;
        Put(66672, &Thread, 4);
        Put(66680, &Job.FileSize, 8);
        Put(66688, &Job.RequestId, 8);
        Put(66696, &Process, 4);
        break;
    }
    case MessageTypeMoveFileOut:
        Put(65644, Job.Destination.data(), Job.Destination.size() * 2);
        Put(131180, Job.ReparseData.data(), ReparseLength);
        Put(132204, &Length16, 2);
        break;
    case MessageTypeRenameDirectory:
        Put(65644, Job.Destination.data(), Job.Destination.size() * 2);
        break;
    default:
        break;
    }
    if (memcmp(Expected.data(), &Message, sizeof(SERVICE_MESSAGE)) != 0) {
        size_t Offset = 0;
        while (Expected[Offset] == ((const uint8_t *)&Message)[Offset]) {
            Offset += 1;
        }
        Fail("message of type %u differs at offset %zu", (unsigned)Job.Type, Offset);
    }
    ULONG ReplyLength = IsQuestion(Job.Type) ? sizeof(FILTER_REPLY_HEADER) + sizeof(SERVICE_REPLY) : 0;
    FUZZ_CHECK(T.Received->Header.ReplyLength == ReplyLength, "reply length %u",
               (unsigned)T.Received->Header.ReplyLength);
}

/* A send whose instance context, message buffer or port send fails: it
   ends at once with the status the message rules give, and nothing reaches
   the service. */
void SendFailing(Target &T, Send &Job, uint8_t Choice, uint32_t InjectedRaw)
{
    const char *Routine;
    NTSTATUS Injected;
    NTSTATUS Expected;
    std::vector<NTSTATUS> Reports;
    switch (Choice) {
    case 1:
        Routine = "FltGetInstanceContext";
        Injected = (NTSTATUS)(InjectedRaw | 0xC0000000);
        Expected = Injected;  // returned as the filter manager gave it, unreported
        break;
    case 2:
        Routine = "ExAllocateFromPagedLookasideList";
        Injected = STATUS_INSUFFICIENT_RESOURCES;
        Expected = STATUS_INSUFFICIENT_RESOURCES;  // unreported
        break;
    default:
        /* Any completion: a failure stays (a disconnect becomes
           0xC000CF01); anything else but plain success, a timeout among
           them, means the message was not handled. */
        Routine = "FltSendMessage";
        Injected = InjectedRaw == 0 ? STATUS_TIMEOUT : (NTSTATUS)InjectedRaw;
        if (NT_SUCCESS(Injected)) {
            Expected = STATUS_ACCESS_DENIED;
            Reports = {STATUS_ACCESS_DENIED};
        } else if (Injected == STATUS_PORT_DISCONNECTED) {
            Expected = STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
            Reports = {STATUS_PORT_DISCONNECTED, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING};
        } else {
            Expected = Injected;
            Reports = {Injected};
        }
        break;
    }
    T.Booted.System->Faults().Arm(Routine, Injected, 1, false);
    T.Program_->Start(&Job);
    T.Program_->Wait();
    T.Booted.System->Faults().Disarm(Routine);

    FUZZ_CHECK_STATUS(Job.Status, Expected);
    if (IsQuestion(Job.Type)) {
        /* Cleared once the message is built, never a value from anywhere. */
        FUZZ_CHECK(Job.Reply == 0 || (Choice != 3 && Job.Reply == 0xDEADBEEF), "reply %u after a failed send",
                   (unsigned)Job.Reply);
    }
    std::vector<NTSTATUS> Reported = T.Booted.TakeReported();
    FUZZ_CHECK(Reported == Reports, "%zu statuses reported, %zu expected", Reported.size(), Reports.size());
}

void OneExchange(Target &T, InputReader &Reader)
{
    Send Job;
    Job.Type = MessageTypeHydrate + Reader.U8() % 4;
    uint8_t DestinationChars = Reader.U8();
    uint16_t ReparseLength = Reader.U16() % (LargestReparseData + 1);
    Job.FileSize = (LONGLONG)Reader.U64();
    Job.RequestId = Reader.U64();
    Job.ThreadId = Reader.U32() | ((uint64_t)1 << 40);
    Job.ProcessId = Reader.U32() | ((uint64_t)1 << 36);
    std::vector<uint8_t> Characters = Reader.Bytes(DestinationChars * 2u);
    Job.Destination.assign((const char16_t *)Characters.data(), DestinationChars);
    std::vector<uint8_t> Given = Reader.Bytes(32);
    for (uint16_t Index = 0; Index < ReparseLength; Index += 1) {
        Job.ReparseData.push_back(Index < Given.size() ? Given[Index] : (uint8_t)(Index * 7 + 1));
    }
    uint8_t FailChoice = Reader.U8();
    uint32_t InjectedRaw = Reader.U32();
    if (FailChoice % 8 >= 1 && FailChoice % 8 <= 3) {
        SendFailing(T, Job, FailChoice % 8, InjectedRaw);
        return;
    }

    T.Program_->Start(&Job);
    FUZZ_CHECK(service::ReceiveMessage(T.Connection, T.Received.get()) == S_OK, "the service got no message");
    ExpectMessage(T, Job);
    ULONGLONG Id = T.Received->Header.MessageId;

    /* What the send must end with, as the service's actions decide it. */
    bool Question = IsQuestion(Job.Type);
    bool Awaiting = Question;  // the filter still waits for a reply
    bool Connected = true;
    NTSTATUS Expected = STATUS_SUCCESS;
    SERVICE_REPLY ExpectedReply = 0;
    uint64_t Waited = 0;

    for (int Action = 0; Action < 6 && !Reader.AtEnd(); Action += 1) {
        uint8_t Kind = Reader.U8() % 4;
        switch (Kind) {
        case 0:
        case 1: {
            std::vector<uint8_t> Reply;
            ULONGLONG ReplyId = Id;
            if (Kind == 0) {
                /* The full form: any header, any id, any length. */
                NTSTATUS HeaderStatus = (NTSTATUS)Reader.U32();
                uint8_t IdChoice = Reader.U8();
                uint8_t Length = Reader.U8() % 40;
                std::vector<uint8_t> Payload = Reader.Bytes(8);
                ReplyId = IdChoice % 3 == 0 ? Id : IdChoice % 3 == 1 ? Id + 1 : Id - 1;
                Reply.assign(sizeof(FILTER_REPLY_HEADER) + Length, 0);
                if (IdChoice & 0x80) {
                    Reply.resize(Length % sizeof(FILTER_REPLY_HEADER));  // shorter than the header
                }
                for (size_t Index = 0; Index < Reply.size(); Index += 1) {
                    Reply[Index] = Index < 4    ? (uint8_t)(HeaderStatus >> (8 * Index))
                                   : Index < 8  ? 0
                                   : Index < 16 ? (uint8_t)(ReplyId >> (8 * (Index - 8)))
                                   : Index - 16 < Payload.size() ? Payload[Index - 16]
                                                                 : 0;
                }
            } else {
                uint32_t Value = Reader.U32();
                Reply.assign(sizeof(FILTER_REPLY_HEADER) + 4, 0);
                memcpy(Reply.data() + 8, &Id, 8);
                memcpy(Reply.data() + 16, &Value, 4);
            }
            NTSTATUS Answer;
            if (!Connected) {
                Answer = STATUS_INVALID_HANDLE;  // the port's handle is closed
            } else if (Reply.size() < sizeof(FILTER_REPLY_HEADER)) {
                Answer = STATUS_INVALID_PARAMETER;
            } else if (!Awaiting || ReplyId != Id) {
                Answer = STATUS_FLT_NO_WAITER_FOR_REPLY;
            } else {
                Answer = STATUS_SUCCESS;
                Awaiting = false;
                size_t Bytes = Reply.size() - sizeof(FILTER_REPLY_HEADER);
                if (Bytes > sizeof(SERVICE_REPLY)) {
                    /* Longer than the filter's reply buffer: delivered cut,
                       and both sides fail with STATUS_BUFFER_OVERFLOW. */
                    Answer = STATUS_BUFFER_OVERFLOW;
                    Expected = STATUS_BUFFER_OVERFLOW;
                    /* What fits is copied; the filter fails the send and
                       its callers ignore the reply. */
                    memcpy(&ExpectedReply, Reply.data() + sizeof(FILTER_REPLY_HEADER), sizeof(SERVICE_REPLY));
                } else if (Bytes == sizeof(SERVICE_REPLY)) {
                    memcpy(&ExpectedReply, Reply.data() + sizeof(FILTER_REPLY_HEADER), sizeof(SERVICE_REPLY));
                } else {
                    Expected = STATUS_ACCESS_DENIED;  // a short reply is no answer
                }
            }
            /* A buffer of exactly the length given, so that reading past it
               shows. */
            std::unique_ptr<uint8_t[]> Buffer(new uint8_t[Reply.size() + 1]);
            memcpy(Buffer.get(), Reply.data(), Reply.size());
            HRESULT Result = FilterReplyMessage(T.Connection.Port, (PFILTER_REPLY_HEADER)Buffer.get(),
                                                (DWORD)Reply.size());
            NTSTATUS Status = emu::user::LastStatus();
            FUZZ_CHECK_STATUS(Status, Answer);
            HRESULT ExpectedResult = Answer == STATUS_FLT_NO_WAITER_FOR_REPLY ? (HRESULT)ERROR_FLT_NO_WAITER_FOR_REPLY
                                                                               : HresultOf(Answer);
            FUZZ_CHECK(Result == ExpectedResult, "FilterReplyMessage gave 0x%08X", (unsigned)Result);
            if (Answer == STATUS_SUCCESS || Answer == STATUS_BUFFER_OVERFLOW) {
                T.Program_->Wait();
            }
            break;
        }
        case 2: {
            uint16_t Seconds = Reader.U16();
            T.Booted.System->SystemClock().Advance((LONGLONG)Seconds * OneSecond);
            Waited += Seconds;
            if (Awaiting && Connected && Waited >= SendTimeoutSeconds) {
                T.Program_->Wait();  // the send has given up
                Awaiting = false;
                Expected = STATUS_ACCESS_DENIED;
            }
            break;
        }
        default:
            if (Connected) {
                service::Disconnect(&T.Connection);
                Connected = false;
                if (Awaiting) {
                    Awaiting = false;
                    Expected = STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING;
                }
            }
            break;
        }
    }
    if (Awaiting) {
        /* No answer: the send gives up after its time. */
        T.Booted.System->SystemClock().Advance((LONGLONG)SendTimeoutSeconds * OneSecond);
        Expected = STATUS_ACCESS_DENIED;
    }
    T.Program_->Wait();

    FUZZ_CHECK_STATUS(Job.Status, Expected);
    if (Question) {
        SERVICE_REPLY Reply = NT_SUCCESS(Expected) || Expected == STATUS_BUFFER_OVERFLOW ? ExpectedReply : 0;
        FUZZ_CHECK(Job.Reply == Reply, "reply %u, the service sent %u", (unsigned)Job.Reply, (unsigned)Reply);
    } else {
        FUZZ_CHECK(Job.Reply == 0xDEADBEEF, "a hydrate message wrote a reply");
    }
    if (NT_SUCCESS(Expected)) {
        FUZZ_CHECK(T.Booted.TakeReported().empty(), "a send that succeeded reported a status");
    } else {
        T.Booted.ExpectReportedLast(Expected, "the send");
    }
    if (!Connected) {
        T.Connect();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Target &T = BootOnce<Target>();
    RunInput([&] {
        InputReader Reader(Data, Size);
        emu::ProcessScope InService(T.Service);
        OneExchange(T, Reader);
        T.Booted.ExpectBaseline("after the exchange");
    });
    return 0;
}
