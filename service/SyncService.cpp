/*
 * SyncService.cpp - results, the hydration of one request, and the pool of
 * threads that receives and serves a sync root's messages.
 */
#include "SyncService.h"

#include <stdio.h>
#include <string.h>

#include <memory>

namespace zentaflt::service {

namespace {

constexpr LONG StatusSuccess = 0;
constexpr LONG StatusUnsuccessful = (LONG)0xC0000001;
constexpr LONG StatusAccessDenied = (LONG)0xC0000022;
constexpr LONG StatusObjectNameNotFound = (LONG)0xC0000034;
constexpr ULONG NtFacilityBit = 0x10000000;

std::string Hex(ULONG Value)
{
    char Text[16];
    snprintf(Text, sizeof(Text), "0x%08X", (unsigned)Value);
    return Text;
}

/* Plain words for the codes a service meets most. */
const char *Meaning(HRESULT Code)
{
    if (((ULONG)Code & NtFacilityBit) != 0) {
        switch ((ULONG)Code & ~NtFacilityBit) {
        case 0xC000CF01:
            return "the service is not connected";
        case 0xC0000225:
            return "not found";
        case 0xC0000034:
            return "the object name was not found";
        case 0xC0000022:
            return "access denied";
        case 0xC0000184:
            return "the file's state does not allow this";
        default:
            return "NTSTATUS";
        }
    }
    if (((ULONG)Code >> 16) == 0x8007) {
        switch (HRESULT_CODE(Code)) {
        case ERROR_FILE_NOT_FOUND:
            return "the file was not found";
        case ERROR_PATH_NOT_FOUND:
            return "the path was not found";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_INVALID_HANDLE:
            return "the handle is invalid";
        case ERROR_SHARING_VIOLATION:
            return "the file is in use";
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return "it already exists";
        case ERROR_INVALID_PARAMETER:
            return "a parameter is not valid";
        case ERROR_NOT_FOUND:
            return "not found";
        case 362:  // ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING
            return "the service is not connected";
        case ERROR_OPERATION_ABORTED:
            return "the operation was aborted";
        case ERROR_NOT_SUPPORTED:
            return "not supported";
        default:
            return "Win32 error";
        }
    }
    if (Code == E_OUTOFMEMORY) {
        return "out of memory";
    }
    if (Code == E_INVALIDARG) {
        return "a parameter is not valid";
    }
    return "error";
}

}  // namespace

Result Success()
{
    return Result();
}

Result Failure(HRESULT Code, const std::string &What)
{
    Result Out;
    Out.Code = SUCCEEDED(Code) ? E_FAIL : Code;
    Out.Message = What + ": " + DescribeCode(Out.Code);
    return Out;
}

Result NtFailure(LONG Status, const std::string &What)
{
    return Failure(HRESULT_FROM_NT(Status), What);
}

Result LastErrorFailure(const std::string &What)
{
    DWORD Error = GetLastError();
    return Failure(Error == 0 ? E_FAIL : HRESULT_FROM_WIN32(Error), What);
}

std::string DescribeCode(HRESULT Code)
{
    std::string Text = Hex((ULONG)Code) + " (" + Meaning(Code);
    if (((ULONG)Code & NtFacilityBit) != 0) {
        Text += " " + Hex((ULONG)Code & ~NtFacilityBit);
    }
    return Text + ")";
}

LONG CompletionStatusOf(HRESULT Code)
{
    if (((ULONG)Code & NtFacilityBit) != 0) {
        LONG Status = (LONG)((ULONG)Code & ~NtFacilityBit);
        return Status < 0 ? Status : StatusUnsuccessful;
    }
    if (((ULONG)Code >> 16) == 0x8007) {
        switch (HRESULT_CODE(Code)) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return StatusObjectNameNotFound;
        case ERROR_ACCESS_DENIED:
            return StatusAccessDenied;
        default:
            break;
        }
    }
    return StatusUnsuccessful;
}

std::string Utf8(const std::u16string &Text)
{
    std::string Out;
    for (size_t Index = 0; Index < Text.size(); Index += 1) {
        unsigned long Point = Text[Index];
        if (Point >= 0xD800 && Point < 0xDC00 && Index + 1 < Text.size() && Text[Index + 1] >= 0xDC00 &&
            Text[Index + 1] < 0xE000) {
            Point = 0x10000 + ((Point - 0xD800) << 10) + (Text[Index + 1] - 0xDC00);
            Index += 1;
        }
        if (Point < 0x80) {
            Out += (char)Point;
        } else if (Point < 0x800) {
            Out += (char)(0xC0 | (Point >> 6));
            Out += (char)(0x80 | (Point & 0x3F));
        } else if (Point < 0x10000) {
            Out += (char)(0xE0 | (Point >> 12));
            Out += (char)(0x80 | ((Point >> 6) & 0x3F));
            Out += (char)(0x80 | (Point & 0x3F));
        } else {
            Out += (char)(0xF0 | (Point >> 18));
            Out += (char)(0x80 | ((Point >> 12) & 0x3F));
            Out += (char)(0x80 | ((Point >> 6) & 0x3F));
            Out += (char)(0x80 | (Point & 0x3F));
        }
    }
    return Out;
}

std::u16string Utf16(const std::string &Text)
{
    std::u16string Out;
    size_t Index = 0;
    while (Index < Text.size()) {
        unsigned char Lead = (unsigned char)Text[Index];
        unsigned long Point;
        size_t Extra;
        if (Lead < 0x80) {
            Point = Lead;
            Extra = 0;
        } else if ((Lead & 0xE0) == 0xC0) {
            Point = Lead & 0x1F;
            Extra = 1;
        } else if ((Lead & 0xF0) == 0xE0) {
            Point = Lead & 0x0F;
            Extra = 2;
        } else {
            Point = Lead & 0x07;
            Extra = 3;
        }
        Index += 1;
        for (size_t Count = 0; Count < Extra && Index < Text.size(); Count += 1, Index += 1) {
            Point = (Point << 6) | ((unsigned char)Text[Index] & 0x3F);
        }
        if (Point >= 0x10000) {
            Point -= 0x10000;
            Out += (char16_t)(0xD800 + (Point >> 10));
            Out += (char16_t)(0xDC00 + (Point & 0x3FF));
        } else {
            Out += (char16_t)Point;
        }
    }
    return Out;
}

HydrationRequest DecodeHydration(const SERVICE_MESSAGE &Message)
{
    HydrationRequest Request;
    Request.VolumePath = VolumePathOf(Message);
    Request.Path = PathOf(Message);
    Request.RequestId = Message.Hydrate.RequestId;
    Request.FileSize = Message.Hydrate.FileSize;
    Request.ReparseData = ReparseDataOf(Message);
    Request.ThreadId = Message.Hydrate.ThreadId;
    Request.ProcessId = Message.Hydrate.ProcessId;
    return Request;
}

Result ServeHydration(const ServiceConnection &Connection, const HydrationRequest &Request,
                      const DataSource &Source, ULONG PieceSize, std::vector<unsigned char> &Buffer,
                      const EventObserver &Observer)
{
    const std::string Name = Utf8(Request.Path);
    Result Outcome;
    ULONGLONG Size = Request.FileSize < 0 ? 0 : (ULONGLONG)Request.FileSize;
    ULONG Longest = PieceLength(~0ull, 0, PieceSize);
    if (Buffer.size() < Longest) {
        Buffer.resize(Longest);
    }
    ULONGLONG Offset = 0;
    while (Offset < Size && Outcome.Ok()) {
        ULONG Length = PieceLength(Size, Offset, PieceSize);
        Outcome = Source(Request, Offset, Buffer.data(), Length);
        if (!Outcome.Ok()) {
            if (Outcome.Message.empty()) {
                Outcome = Failure(Outcome.Code, "read " + Name + " at " + std::to_string(Offset));
            }
            break;
        }
        HRESULT Sent = TransferData(Connection, Request.RequestId, Offset, Buffer.data(), Length);
        if (Sent != S_OK) {
            Outcome = Failure(Sent, "send " + std::to_string(Length) + " bytes of " + Name + " at " +
                                        std::to_string(Offset));
            break;
        }
        if (Observer) {
            ServiceEvent Event;
            Event.Kind = EventKind::PieceSent;
            Event.Request = &Request;
            Event.Offset = Offset;
            Event.Length = Length;
            Observer(Event);
        }
        Offset += Length;
    }
    LONG Status = Outcome.Ok() ? StatusSuccess : CompletionStatusOf(Outcome.Code);
    HRESULT Completed = CompleteHydration(Connection, Request.RequestId, Status);
    if (Outcome.Ok() && Completed != S_OK) {
        Outcome = Failure(Completed, "complete " + Name);
    }
    if (Observer) {
        ServiceEvent Event;
        Event.Kind = Outcome.Ok() ? EventKind::HydrationCompleted : EventKind::HydrationFailed;
        Event.Request = &Request;
        Event.Offset = Offset;
        Event.Status = Status;
        Event.Message = Outcome.Message;
        Observer(Event);
    }
    return Outcome;
}

SyncService::~SyncService()
{
    Stop();
}

Result SyncService::Start(LPCWSTR SyncRootPath, DataSource TheSource, ServiceOptions TheOptions)
{
    if (Connected.load() || !Threads.empty()) {
        return Failure(E_INVALIDARG, "start the service: it is already running");
    }
    if (!TheSource) {
        return Failure(E_INVALIDARG, "start the service: no data source");
    }
    Root = std::u16string((const char16_t *)SyncRootPath);
    Source = std::move(TheSource);
    Options = std::move(TheOptions);
    if (Options.Threads == 0) {
        Options.Threads = 1;
    }
    HRESULT Connect = ConnectSyncRootPath(SyncRootPath, &Connection);
    if (Connect != S_OK) {
        Connection.Port = INVALID_HANDLE_VALUE;
        return Failure(Connect, "connect the sync root " + Utf8(Root));
    }
    Stopping = false;
    Connected = true;
    for (unsigned Index = 0; Index < Options.Threads; Index += 1) {
        HANDLE Thread = CreateThread(NULL, 0, PoolThread, this, 0, NULL);
        if (Thread == NULL) {
            Result Out = LastErrorFailure("start a thread of the service");
            Stop();
            return Out;
        }
        Threads.push_back(Thread);
    }
    return Success();
}

void SyncService::Stop()
{
    Stopping = true;
    if (Connected.exchange(false)) {
        /* Closing the port ends every pool thread's receive; the filter
           fails the hydrations still pending. */
        ServiceConnection Closing = Connection;
        Disconnect(&Closing);
    }
    for (HANDLE Thread : Threads) {
        WaitForSingleObject(Thread, INFINITE);
        CloseHandle(Thread);
    }
    Threads.clear();
}

ServiceStatistics SyncService::Statistics() const
{
    ServiceStatistics Out;
    Out.Requests = Requests.load();
    Out.Completed = Completed.load();
    Out.Failed = Failed.load();
    Out.BytesSent = BytesSent.load();
    Out.Pieces = Pieces.load();
    Out.Questions = Questions.load();
    ULONGLONG Done = Out.Completed + Out.Failed;
    Out.InProgress = Out.Requests > Done ? Out.Requests - Done : 0;
    return Out;
}

DWORD WINAPI SyncService::PoolThread(LPVOID Parameter)
{
    ((SyncService *)Parameter)->Serve();
    return 0;
}

void SyncService::Tell(const ServiceEvent &Event) const
{
    if (Options.Observer) {
        Options.Observer(Event);
    }
}

void SyncService::Serve()
{
    /* Over 129 KiB: on the heap, one per thread. */
    std::unique_ptr<ReceivedMessage> Received(new ReceivedMessage);
    std::vector<unsigned char> Buffer;
    for (;;) {
        HRESULT Got = ReceiveMessage(Connection, Received.get());
        if (Got != S_OK) {
            if (!Stopping.load()) {
                ServiceEvent Event;
                Event.Kind = EventKind::ReceiveFailed;
                Event.Message = Failure(Got, "receive a message").Message;
                Tell(Event);
            }
            return;
        }
        if (Received->Message.MessageType == MessageTypeHydrate) {
            Hydrate(Received->Message, Buffer);
        } else {
            Answer(*Received);
        }
    }
}

void SyncService::Hydrate(const SERVICE_MESSAGE &Message, std::vector<unsigned char> &Buffer)
{
    HydrationRequest Request = DecodeHydration(Message);
    Requests += 1;
    ServiceEvent Started;
    Started.Kind = EventKind::HydrationStarted;
    Started.Request = &Request;
    Tell(Started);
    /* The observer hears of an event before the counters show it. */
    EventObserver Counting = [this](const ServiceEvent &Event) {
        Tell(Event);
        if (Event.Kind == EventKind::PieceSent) {
            BytesSent += Event.Length;
            Pieces += 1;
        } else if (Event.Kind == EventKind::HydrationCompleted) {
            Completed += 1;
        } else if (Event.Kind == EventKind::HydrationFailed) {
            Failed += 1;
        }
    };
    (void)ServeHydration(Connection, Request, Source, Options.PieceSize, Buffer, Counting);
}

void SyncService::Answer(const ReceivedMessage &Received)
{
    if (!IsQuestion(Received.Message)) {
        /* Neither a hydration nor a question: a message this service does
           not know, which awaits nothing. */
        return;
    }
    ServiceEvent Event;
    Event.Kind = EventKind::QuestionAnswered;
    Event.MessageType = Received.Message.MessageType;
    SERVICE_REPLY Given = 0;
    QuestionPolicy Asking = [&](const Question &Asked) {
        Event.Path = Asked.Path;
        Event.DestinationPath = Asked.DestinationPath;
        Given = Options.Policy ? Options.Policy(Asked) : AllowEverything(Asked);
        return Given;
    };
    HRESULT Sent = AnswerQuestion(Connection, Received, Asking);
    Questions += 1;
    Event.Reply = Given;
    if (Sent != S_OK) {
        Event.Message = Failure(Sent, "reply to a question about " + Utf8(Event.Path)).Message;
    }
    Tell(Event);
}

Result MakePlaceholder(LPCWSTR DirectoryPath, const PlaceholderDescription &Placeholder)
{
    HRESULT Made = CreatePlaceholderIn(DirectoryPath, Placeholder);
    if (Made != S_OK) {
        return Failure(Made, "create the placeholder " + Utf8(Placeholder.Name) + " in " +
                                 Utf8(std::u16string((const char16_t *)DirectoryPath)));
    }
    return Success();
}

Result MakePlaceholders(LPCWSTR DirectoryPath, const std::vector<PlaceholderDescription> &Placeholders,
                        std::vector<Result> *Each)
{
    std::string Where = Utf8(std::u16string((const char16_t *)DirectoryPath));
    if (Each != nullptr) {
        Each->clear();
    }
    HANDLE Directory = CreateFileW(DirectoryPath, FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (Directory == INVALID_HANDLE_VALUE) {
        Result Out = LastErrorFailure("open the directory " + Where);
        if (Each != nullptr) {
            Each->assign(Placeholders.size(), Out);
        }
        return Out;
    }
    Result First;
    for (const PlaceholderDescription &Placeholder : Placeholders) {
        HRESULT Made = CreatePlaceholder(Directory, Placeholder);
        Result One = Made == S_OK ? Success()
                                  : Failure(Made, "create the placeholder " + Utf8(Placeholder.Name) + " in " + Where);
        if (!One.Ok() && First.Ok()) {
            First = One;
        }
        if (Each != nullptr) {
            Each->push_back(One);
        }
    }
    CloseHandle(Directory);
    return First;
}

Result ConvertFile(LPCWSTR Path, const std::vector<unsigned char> &ReparseData)
{
    std::string Name = Utf8(std::u16string((const char16_t *)Path));
    if (ReparseData.size() > ServiceReparseDataSize) {
        return Failure(E_INVALIDARG, "convert " + Name + ": reparse data over 1024 bytes");
    }
    HRESULT Converted = ConvertToPlaceholder(Path, ReparseData.data(), (USHORT)ReparseData.size());
    if (Converted != S_OK) {
        return Failure(Converted, "convert " + Name + " into a placeholder");
    }
    return Success();
}

Result ChangePlaceholder(LPCWSTR Path, ULONG UpdateFlags, const PlaceholderDescription &Placeholder)
{
    HRESULT Updated = UpdatePlaceholder(Path, UpdateFlags, Placeholder);
    if (Updated != S_OK) {
        return Failure(Updated, "update the placeholder " + Utf8(std::u16string((const char16_t *)Path)));
    }
    return Success();
}

}  // namespace zentaflt::service
