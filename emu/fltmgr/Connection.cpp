/*
 * Connection.cpp - connections to a filter's communication port, from the
 * service's connect to its disconnect, and the messages both ways.
 *
 * The connect, message and disconnect notifications run on the calling
 * service thread, in the service's process, as the filter manager runs
 * them.  A disconnect is delivered once per connection, when the service's
 * last handle to it closes (or its process ends) or when the filter
 * unregisters, and only after every message notification of the connection
 * has returned.  FltSendMessage waits on the controllable clock.
 */
#include "FltMgr.h"

using namespace emu;

namespace {

constexpr ULONG MessageHeaderSize = 16;  // FILTER_MESSAGE_HEADER
constexpr ULONG ReplyHeaderSize = 16;    // FILTER_REPLY_HEADER

void Disconnect(PortConnection *Connection);

void CloseConnectionHandle(PVOID Object, EmuProcess *, LONG_PTR HandleCount)
{
    if (HandleCount == 0) {
        Disconnect(*(PortConnection **)Object);
    }
}

_OBJECT_TYPE ConnectionPortType = {
    "FilterConnectionPort",
    {STANDARD_RIGHTS_READ | FLT_PORT_CONNECT, STANDARD_RIGHTS_WRITE | FLT_PORT_CONNECT, STANDARD_RIGHTS_EXECUTE,
     FLT_PORT_ALL_ACCESS},
    CloseConnectionHandle,
    nullptr,
};

/* Runs the filter's disconnect notification once, after every message
   notification of the connection has returned. */
void Disconnect(PortConnection *Connection)
{
    {
        std::unique_lock<std::mutex> Guard(DispatcherLock());
        Connection->Connected = false;
        DispatcherCondition().notify_all();
        DispatcherCondition().wait(Guard, [Connection] { return Connection->ActiveNotifications == 0; });
        if (Connection->DisconnectNotified) {
            return;
        }
        Connection->DisconnectNotified = true;
    }
    {
        CallbackScope Scope("DisconnectNotifyCallback");
        Connection->Server->Disconnect(Connection->Cookie);
    }
    if (TheVerifier().IsLive("communication port", Connection->Client)) {
        TheVerifier().Report("disconnect notification of port " + Narrow(Connection->Server->Name) +
                             " returned without closing its client port");
    }
}

PortConnection *ConnectionOf(HANDLE Port, PVOID *Object)
{
    ACCESS_MASK Granted;
    if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), Port, &ConnectionPortType, Object, &Granted))) {
        return nullptr;
    }
    return *(PortConnection **)*Object;
}

/* Whether a process's token is granted connect access by a port's DACL.
   Every emulated process runs as a user whose token holds the world SID. */
bool MayConnect(const CapturedSecurity &Security)
{
    if (!Security.Present || !Security.DaclPresent || Security.DaclNull) {
        return true;
    }
    ACCESS_MASK Granted = 0;
    const UCHAR World[] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    for (const auto &Ace : Security.Dacl) {
        if (Ace.Sid.size() != sizeof(World) || memcmp(Ace.Sid.data(), World, sizeof(World)) != 0) {
            continue;
        }
        ACCESS_MASK Mask = MapGenericAccess(Ace.Mask, ConnectionPortType.Mapping);
        if (Ace.Type == ACCESS_DENIED_ACE_TYPE && (Mask & FLT_PORT_CONNECT)) {
            return false;
        }
        if (Ace.Type == ACCESS_ALLOWED_ACE_TYPE) {
            Granted |= Mask;
        }
    }
    return (Granted & FLT_PORT_CONNECT) != 0;
}

}  // namespace

namespace emu {

NTSTATUS ConnectToPort(const std::u16string &Name, const void *Context, ULONG ContextSize, HANDLE *Port)
{
    FilterManager &Manager = TheFilterManager();
    _FLT_PORT *Server = nullptr;
    size_t Open = 0;
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Candidate : Manager.Ports) {
            if (Candidate->Server && !Candidate->Closed && Candidate->Name.size() == Name.size()) {
                UNICODE_STRING Left = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
                UNICODE_STRING Right = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2),
                                        (PWSTR)Candidate->Name.data()};
                if (RtlEqualUnicodeString(&Left, &Right, TRUE)) {
                    Server = Candidate.get();
                }
            }
        }
        if (Server == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        for (const auto &Existing : Manager.Connections) {
            if (Existing->Server == Server && Existing->Client != nullptr && !Existing->Client->Closed) {
                Open += 1;
            }
        }
    }
    if (!MayConnect(Server->Security)) {
        return STATUS_ACCESS_DENIED;
    }
    if (Open >= (size_t)Server->MaxConnections) {
        return STATUS_CONNECTION_COUNT_LIMIT;
    }

    /* The context reaches the filter as a kernel copy, as it travels in the
       connect request. */
    std::vector<UCHAR> Copy;
    if (Context != nullptr && ContextSize != 0) {
        Copy.assign((const UCHAR *)Context, (const UCHAR *)Context + ContextSize);
    }
    auto OwnedClient = std::make_unique<_FLT_PORT>();
    auto OwnedConnection = std::make_unique<PortConnection>();
    _FLT_PORT *Client = OwnedClient.get();
    PortConnection *Connection = OwnedConnection.get();
    Client->Server = false;
    Client->Filter = Server->Filter;
    Client->Name = Server->Name;
    Client->Connection = Connection;
    Connection->Server = Server;
    Connection->Client = Client;
    Connection->Process = CurrentProcess();
    TheVerifier().OnCreate("communication port", Client, "client port of " + Narrow(Server->Name));
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        Manager.Ports.push_back(std::move(OwnedClient));
        Manager.Connections.push_back(std::move(OwnedConnection));
    }

    NTSTATUS Status;
    PVOID Cookie = nullptr;
    {
        CallbackScope Scope("ConnectNotifyCallback");
        Status = Server->Connect(Client, Server->Cookie, Copy.empty() ? nullptr : Copy.data(), (ULONG)Copy.size(),
                                 &Cookie);
    }
    if (!NT_SUCCESS(Status)) {
        /* A refused connection's client port is closed by the filter manager. */
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Connection->Connected = false;
        Connection->DisconnectNotified = true;
        if (!Client->Closed) {
            Client->Closed = true;
            TheVerifier().OnDestroy("communication port", Client);
        }
        return Status;
    }
    Connection->Cookie = Cookie;
    PVOID Object = CreateObject(&ConnectionPortType, sizeof(PortConnection *), "to " + Narrow(Server->Name));
    *(PortConnection **)Object = Connection;
    *Port = InsertHandle(CurrentProcess(), Object, FLT_PORT_ALL_ACCESS);
    ObfDereferenceObject(Object);
    return STATUS_SUCCESS;
}

NTSTATUS SendToFilter(HANDLE Port, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength,
                      ULONG *Returned)
{
    PVOID Object;
    PortConnection *Connection = ConnectionOf(Port, &Object);
    if (Connection == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS Status = STATUS_PORT_DISCONNECTED;
    bool Admitted = false;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        if (Connection->Connected && Connection->Server->Message != nullptr) {
            Connection->ActiveNotifications += 1;
            Admitted = true;
        } else if (Connection->Server->Message == nullptr) {
            Status = STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (Admitted) {
        ULONG Out = 0;
        {
            CallbackScope Scope("MessageNotifyCallback");
            Status = Connection->Server->Message(Connection->Cookie, Input, InputLength, Output, OutputLength, &Out);
        }
        *Returned = NT_SUCCESS(Status) ? Out : 0;
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Connection->ActiveNotifications -= 1;
        DispatcherCondition().notify_all();
    }
    ObfDereferenceObject(Object);
    return Status;
}

NTSTATUS GetFilterMessage(HANDLE Port, PVOID Buffer, ULONG BufferLength)
{
    PVOID Object;
    PortConnection *Connection = ConnectionOf(Port, &Object);
    if (Connection == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS Status = STATUS_SUCCESS;
    if (BufferLength < MessageHeaderSize) {
        ObfDereferenceObject(Object);
        return STATUS_INVALID_PARAMETER;
    }
    {
        std::unique_lock<std::mutex> Guard(DispatcherLock());
        Connection->Waiters += 1;
        DispatcherCondition().notify_all();
        DispatcherCondition().wait(Guard, [Connection] {
            return !Connection->Connected || !Connection->Queue.empty() ||
                   Connection->Process->Terminated;
        });
        Connection->Waiters -= 1;
        if (Connection->Queue.empty()) {
            Status = Connection->Connected ? STATUS_CANCELLED : STATUS_PORT_DISCONNECTED;
        } else {
            std::shared_ptr<PortMessage> Message = Connection->Queue.front();
            Connection->Queue.erase(Connection->Queue.begin());
            auto Header = (PUCHAR)Buffer;
            ULONG ReplyLength = Message->ExpectsReply ? Message->ReplyCapacity + ReplyHeaderSize : 0;
            memcpy(Header, &ReplyLength, sizeof(ReplyLength));
            memset(Header + 4, 0, 4);
            memcpy(Header + 8, &Message->Id, sizeof(Message->Id));
            size_t Room = BufferLength - MessageHeaderSize;
            size_t Copied = Message->Data.size() < Room ? Message->Data.size() : Room;
            memcpy(Header + MessageHeaderSize, Message->Data.data(), Copied);
            if (Copied < Message->Data.size()) {
                Status = STATUS_BUFFER_TOO_SMALL;
            }
            if (Message->ExpectsReply) {
                Connection->AwaitingReply[Message->Id] = Message;
            }
            Message->State = PortMessage::Stage::Taken;
            DispatcherCondition().notify_all();
        }
    }
    ObfDereferenceObject(Object);
    return Status;
}

NTSTATUS ReplyToFilter(HANDLE Port, PVOID Buffer, ULONG BufferLength)
{
    PVOID Object;
    PortConnection *Connection = ConnectionOf(Port, &Object);
    if (Connection == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS Status = STATUS_SUCCESS;
    if (BufferLength < ReplyHeaderSize) {
        Status = STATUS_INVALID_PARAMETER;
    } else {
        uint64_t Id;
        memcpy(&Id, (PUCHAR)Buffer + 8, sizeof(Id));
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        auto Found = Connection->AwaitingReply.find(Id);
        if (!Connection->Connected) {
            Status = STATUS_PORT_DISCONNECTED;
        } else if (Found == Connection->AwaitingReply.end()) {
            Status = STATUS_FLT_NO_WAITER_FOR_REPLY;
        } else {
            std::shared_ptr<PortMessage> Message = Found->second;
            Connection->AwaitingReply.erase(Found);
            ULONG Length = BufferLength - ReplyHeaderSize;
            if (Length > Message->ReplyCapacity) {
                Length = Message->ReplyCapacity;
            }
            Message->Reply.assign((PUCHAR)Buffer + ReplyHeaderSize, (PUCHAR)Buffer + ReplyHeaderSize + Length);
            Message->State = PortMessage::Stage::Replied;
            DispatcherCondition().notify_all();
        }
    }
    ObfDereferenceObject(Object);
    return Status;
}

size_t QueuedMessages(HANDLE Port, EmuProcess *Process)
{
    PVOID Object;
    ACCESS_MASK Granted;
    if (!NT_SUCCESS(ReferenceByHandle(Process, Port, &ConnectionPortType, &Object, &Granted))) {
        return 0;
    }
    PortConnection *Connection = *(PortConnection **)Object;
    size_t Count;
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Count = Connection->Queue.size();
    }
    ObfDereferenceObject(Object);
    return Count;
}

/* Called by FltUnregisterFilter: every connection still open is told of its
   end before the filter goes. */
void DisconnectAll(_FLT_FILTER *Filter)
{
    std::vector<PortConnection *> Open;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Connection : Manager.Connections) {
            if (Connection->Server->Filter == Filter) {
                Open.push_back(Connection.get());
            }
        }
    }
    for (PortConnection *Connection : Open) {
        Disconnect(Connection);
    }
}

}  // namespace emu

extern "C" {

VOID FLTAPI FltCloseClientPort(PFLT_FILTER Filter, PFLT_PORT *ClientPort)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Filter);
    std::lock_guard<std::mutex> Guard(DispatcherLock());
    _FLT_PORT *Client = *ClientPort;
    if (Client == NULL) {
        return;
    }
    if (Client->Server || Client->Closed) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Client,
                      "FltCloseClientPort on a port that is not an open client port");
    }
    Client->Closed = true;
    Client->Connection->Connected = false;
    TheVerifier().OnDestroy("communication port", Client);
    *ClientPort = NULL;
    DispatcherCondition().notify_all();
}

NTSTATUS FLTAPI FltSendMessage(PFLT_FILTER Filter, PFLT_PORT *ClientPort, PVOID SenderBuffer,
                               ULONG SenderBufferLength, PVOID ReplyBuffer, PULONG ReplyLength,
                               PLARGE_INTEGER Timeout)
{
    UNREFERENCED_PARAMETER(Filter);
    EMU_INJECT_STATUS("FltSendMessage");
    if (KeGetCurrentIrql() > APC_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), "FltSendMessage above APC_LEVEL");
    }
    if ((ReplyBuffer == NULL) != (ReplyLength == NULL)) {
        return STATUS_INVALID_PARAMETER;
    }
    auto Message = std::make_shared<PortMessage>();
    Message->Data.assign((PUCHAR)SenderBuffer, (PUCHAR)SenderBuffer + SenderBufferLength);
    Message->ExpectsReply = ReplyBuffer != NULL;
    Message->ReplyCapacity = ReplyLength != NULL ? *ReplyLength : 0;

    std::unique_lock<std::mutex> Guard(DispatcherLock());
    _FLT_PORT *Client = ClientPort != NULL ? *ClientPort : NULL;
    if (Client == NULL || Client->Closed || !Client->Connection->Connected) {
        return STATUS_PORT_DISCONNECTED;
    }
    PortConnection *Connection = Client->Connection;
    Message->Id = Connection->NextMessageId++;
    Connection->Queue.push_back(Message);
    DispatcherCondition().notify_all();

    LONGLONG Deadline = 0;
    if (Timeout != NULL) {
        Deadline = Timeout->QuadPart < 0 ? TheClock().Now() - Timeout->QuadPart : Timeout->QuadPart;
    }
    NTSTATUS Status;
    for (;;) {
        bool Done = Message->ExpectsReply ? Message->State == PortMessage::Stage::Replied
                                          : Message->State != PortMessage::Stage::Queued;
        if (Done) {
            Status = STATUS_SUCCESS;
            break;
        }
        if (!Connection->Connected || Client->Closed) {
            Status = STATUS_PORT_DISCONNECTED;
            break;
        }
        if (Timeout != NULL && TheClock().Now() >= Deadline) {
            Status = STATUS_TIMEOUT;
            break;
        }
        DispatcherCondition().wait(Guard);
    }
    if (Status != STATUS_SUCCESS) {
        /* Withdraw the message: not taken, or its reply no longer awaited. */
        auto Queued = std::find(Connection->Queue.begin(), Connection->Queue.end(), Message);
        if (Queued != Connection->Queue.end()) {
            Connection->Queue.erase(Queued);
        }
        Connection->AwaitingReply.erase(Message->Id);
        Message->State = PortMessage::Stage::Abandoned;
        return Status;
    }
    if (Message->ExpectsReply) {
        if (!Message->Reply.empty()) {
            memcpy(ReplyBuffer, Message->Reply.data(), Message->Reply.size());
        }
        *ReplyLength = (ULONG)Message->Reply.size();
    }
    return STATUS_SUCCESS;
}

}  // extern "C"
