/*
 * Communication ports end to end: a small filter of the test's own, and a
 * service process using the user-mode port library.  The filter's connect
 * and disconnect notifications can be held on events, so that the unload
 * meets them half done.
 */
#include <gtest/gtest.h>

#include <fltUser.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "EmuTesting.h"

using emu::PortTableSizes;

namespace {

struct PortFilter {
    PFLT_FILTER Filter = nullptr;
    PFLT_PORT ServerPort = nullptr;
    PFLT_PORT ClientPort = nullptr;
    NTSTATUS ConnectResult = STATUS_SUCCESS;
    std::vector<UCHAR> Context;
    HANDLE ConnectingProcess = nullptr;
    std::atomic<int> Disconnects{0};
    bool CloseOnDisconnect = true;
    bool CloseServerPortAtUnload = true;
    /* Set, the notifications signal Entered and wait for Release. */
    std::atomic<bool> HoldConnect{false};
    std::atomic<bool> HoldDisconnect{false};
    KEVENT ConnectEntered, ConnectRelease, DisconnectEntered, DisconnectRelease;
    std::atomic<PVOID> DisconnectCookie{nullptr};
    /* FltUnregisterFilter has returned; a notification running then counts. */
    std::atomic<bool> Unregistered{false};
    std::atomic<int> LateNotifications{0};
} Port;

void Hold(KEVENT *Entered, KEVENT *Release)
{
    KeSetEvent(Entered, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(Release, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS FLTAPI Connect(PFLT_PORT Client, PVOID, PVOID Context, ULONG Size, PVOID *Cookie)
{
    Port.Context.assign((PUCHAR)Context, (PUCHAR)Context + Size);
    Port.ConnectingProcess = PsGetCurrentProcessId();
    if (Port.HoldConnect) {
        Hold(&Port.ConnectEntered, &Port.ConnectRelease);
    }
    if (NT_SUCCESS(Port.ConnectResult)) {
        Port.ClientPort = Client;
        *Cookie = &Port;
    }
    Port.LateNotifications += Port.Unregistered ? 1 : 0;
    return Port.ConnectResult;
}

VOID FLTAPI Disconnect(PVOID Cookie)
{
    Port.Disconnects += 1;
    Port.DisconnectCookie = Cookie;
    if (Port.HoldDisconnect) {
        Hold(&Port.DisconnectEntered, &Port.DisconnectRelease);
    }
    if (Port.CloseOnDisconnect) {
        FltCloseClientPort(Port.Filter, &Port.ClientPort);
    }
    Port.LateNotifications += Port.Unregistered ? 1 : 0;
}

NTSTATUS FLTAPI Message(PVOID, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength, PULONG Returned)
{
    /* Echoes the input back, reversed. */
    ULONG Count = InputLength < OutputLength ? InputLength : OutputLength;
    for (ULONG Index = 0; Index < Count; Index += 1) {
        ((PUCHAR)Output)[Index] = ((PUCHAR)Input)[InputLength - 1 - Index];
    }
    *Returned = Count;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS)
{
    if (Port.ServerPort != nullptr && Port.CloseServerPortAtUnload) {
        FltCloseCommunicationPort(Port.ServerPort);
    }
    FltUnregisterFilter(Port.Filter);
    Port.Unregistered = true;
    return STATUS_SUCCESS;
}

const FLT_OPERATION_REGISTRATION NoOperations[] = {{IRP_MJ_OPERATION_END}};

NTSTATUS Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
{
    FLT_REGISTRATION Registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, NULL, NoOperations, Unload};
    NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &Port.Filter);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"\\EchoPort");
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Name, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, NULL, NULL);
    Status = FltCreateCommunicationPort(Port.Filter, &Port.ServerPort, &Attributes, NULL, Connect, Disconnect,
                                        Message, 4);
    if (NT_SUCCESS(Status)) {
        Status = FltStartFiltering(Port.Filter);
    }
    if (!NT_SUCCESS(Status)) {
        Unload(0);
    }
    return Status;
}

class EmulatedPorts : public ::testing::Test {
protected:
    void SetUp() override
    {
        Port.ServerPort = nullptr;
        Port.ClientPort = nullptr;
        Port.ConnectResult = STATUS_SUCCESS;
        Port.Context.clear();
        Port.Disconnects = 0;
        Port.CloseOnDisconnect = true;
        Port.CloseServerPortAtUnload = true;
        Port.HoldConnect = false;
        Port.HoldDisconnect = false;
        for (KEVENT *Event : {&Port.ConnectEntered, &Port.ConnectRelease, &Port.DisconnectEntered,
                              &Port.DisconnectRelease}) {
            KeInitializeEvent(Event, NotificationEvent, FALSE);
        }
        Port.DisconnectCookie = nullptr;
        Port.Unregistered = false;
        Port.LateNotifications = 0;
        ASSERT_EQ(System.LoadDriver(Entry), STATUS_SUCCESS);
        Service = System.CreateProcess("service.exe");
    }

    void TearDown() override
    {
        System.Terminate(Service);
        if (System.DriverLoaded()) {
            EXPECT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
        }
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
        EXPECT_EQ(Port.LateNotifications.load(), 0) << "a notification ran after FltUnregisterFilter returned";
    }

    /* Unloads the driver on another thread; Done is set once it returned. */
    std::thread UnloadInBackground(std::atomic<bool> *Done)
    {
        return std::thread([this, Done] {
            EXPECT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
            *Done = true;
        });
    }

    /* Gives a thread that should stay blocked the chance to run on. */
    static void LetOthersRun() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

    /* The service takes the next message and answers it with Size bytes of
       Bytes after the reply header. */
    HRESULT TakeAndAnswer(HANDLE Handle, const UCHAR *Bytes, ULONG Size)
    {
        emu::ProcessScope InService(Service);
        struct {
            FILTER_MESSAGE_HEADER Header;
            UCHAR Data[8];
        } Message = {};
        EXPECT_EQ(FilterGetMessage(Handle, &Message.Header, sizeof(Message), NULL), S_OK);
        struct {
            FILTER_REPLY_HEADER Header;
            UCHAR Bytes[16];
        } Answer = {{0, Message.Header.MessageId}, {}};
        memcpy(Answer.Bytes, Bytes, Size);
        return FilterReplyMessage(Handle, &Answer.Header, sizeof(FILTER_REPLY_HEADER) + Size);
    }

    HANDLE ConnectService(const char *Context = "ctx")
    {
        emu::ProcessScope InService(Service);
        HANDLE Handle = INVALID_HANDLE_VALUE;
        EXPECT_EQ(FilterConnectCommunicationPort(L"\\echoport", 0, Context, (WORD)strlen(Context), NULL, &Handle), S_OK);
        return Handle;
    }

    /* Sends from the filter on another thread, so the test can play the
       service on this one. */
    std::thread SendFromFilter(std::atomic<NTSTATUS> *Result, UCHAR *Reply, ULONG *ReplyLength, LONGLONG Timeout)
    {
        return std::thread([=] {
            UCHAR Data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
            LARGE_INTEGER Limit;
            Limit.QuadPart = Timeout;
            *Result = FltSendMessage(Port.Filter, &Port.ClientPort, Data, sizeof(Data), Reply, ReplyLength,
                                     Timeout == 0 ? NULL : &Limit);
        });
    }

    emu::System System;
    emu::EmuProcess *Service = nullptr;
};

TEST_F(EmulatedPorts, ConnectRunsInTheServiceWithAKernelCopyOfTheContext)
{
    HANDLE Handle = ConnectService("12345678");
    EXPECT_EQ(std::string(Port.Context.begin(), Port.Context.end()), "12345678");
    EXPECT_EQ((uint64_t)Port.ConnectingProcess, Service->ProcessId);
    EXPECT_NE(Port.ClientPort, nullptr);

    emu::ProcessScope InService(Service);
    UCHAR Input[3] = {'a', 'b', 'c'};
    UCHAR Output[8] = {};
    DWORD Returned = 0;
    ASSERT_EQ(FilterSendMessage(Handle, Input, 3, Output, sizeof(Output), &Returned), S_OK);
    EXPECT_EQ(Returned, 3u);
    EXPECT_EQ(std::string((char *)Output, 3), "cba");

    EXPECT_TRUE(CloseHandle(Handle));
    EXPECT_EQ(Port.Disconnects.load(), 1);
    EXPECT_EQ(Port.ClientPort, nullptr);
}

TEST_F(EmulatedPorts, RefusedConnectionLeavesNothingOpen)
{
    Port.ConnectResult = STATUS_OBJECT_NAME_COLLISION;
    emu::ProcessScope InService(Service);
    HANDLE Handle = NULL;
    EXPECT_EQ(FilterConnectCommunicationPort(L"\\EchoPort", 0, NULL, 0, NULL, &Handle),
              HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Port.Disconnects.load(), 0);
    EXPECT_EQ(FilterConnectCommunicationPort(L"\\NoSuchPort", 0, NULL, 0, NULL, &Handle),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(EmulatedPorts, ProcessEndDisconnects)
{
    ConnectService();
    System.Terminate(Service);
    EXPECT_EQ(Port.Disconnects.load(), 1);
}

TEST_F(EmulatedPorts, FilterMessageIsTakenAndAnswered)
{
    HANDLE Handle = ConnectService();
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    UCHAR Reply[4] = {};
    ULONG ReplyLength = sizeof(Reply);
    std::thread Sender = SendFromFilter(&Result, Reply, &ReplyLength, -300LL * 10000000);

    emu::ProcessScope InService(Service);
    struct {
        FILTER_MESSAGE_HEADER Header;
        UCHAR Data[8];
    } Message = {};
    ASSERT_EQ(FilterGetMessage(Handle, &Message.Header, sizeof(Message), NULL), S_OK);
    EXPECT_EQ(Message.Header.ReplyLength, sizeof(FILTER_REPLY_HEADER) + 4);
    EXPECT_EQ(Message.Data[7], 8);
    /* Header and value, without the structure's tail padding. */
    struct {
        FILTER_REPLY_HEADER Header;
        ULONG Value;
    } Answer = {{0, Message.Header.MessageId}, 775};
    const DWORD AnswerSize = sizeof(FILTER_REPLY_HEADER) + sizeof(ULONG);
    ASSERT_EQ(FilterReplyMessage(Handle, &Answer.Header, AnswerSize), S_OK);
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_SUCCESS);
    EXPECT_EQ(ReplyLength, 4u);
    ULONG Value;
    memcpy(&Value, Reply, 4);
    EXPECT_EQ(Value, 775u);

    /* A second reply finds no waiter. */
    EXPECT_EQ(FilterReplyMessage(Handle, &Answer.Header, AnswerSize), (HRESULT)ERROR_FLT_NO_WAITER_FOR_REPLY);
    CloseHandle(Handle);
}

TEST_F(EmulatedPorts, ShortReplyReportsItsLength)
{
    HANDLE Handle = ConnectService();
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    UCHAR Reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ULONG ReplyLength = sizeof(Reply);
    std::thread Sender = SendFromFilter(&Result, Reply, &ReplyLength, 0);
    const UCHAR Bytes[2] = {5, 3};
    ASSERT_EQ(TakeAndAnswer(Handle, Bytes, 2), S_OK);
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_SUCCESS);
    EXPECT_EQ(ReplyLength, 2u);
    EXPECT_EQ(Reply[2], 0xEE);  // never written
    emu::ProcessScope InService(Service);
    CloseHandle(Handle);
}

TEST_F(EmulatedPorts, UntakenMessageTimesOutOnTheEmulatedClock)
{
    HANDLE Handle = ConnectService();
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    std::thread Sender = SendFromFilter(&Result, NULL, NULL, -300LL * 10000000);
    while (emu::QueuedMessages(Handle, Service) == 0) {
        std::this_thread::yield();
    }
    System.SystemClock().Advance(299LL * 10000000);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Result.load(), STATUS_PENDING);
    System.SystemClock().Advance(1LL * 10000000);
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_TIMEOUT);
    EXPECT_EQ(emu::QueuedMessages(Handle, Service), 0u);
    emu::ProcessScope InService(Service);
    CloseHandle(Handle);
}

TEST_F(EmulatedPorts, SendAfterDisconnectFails)
{
    HANDLE Handle = ConnectService();
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    std::thread Sender = SendFromFilter(&Result, NULL, NULL, 0);
    while (emu::QueuedMessages(Handle, Service) == 0) {
        std::this_thread::yield();
    }
    {
        emu::ProcessScope InService(Service);
        CloseHandle(Handle);
    }
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_PORT_DISCONNECTED);
    UCHAR Data[1] = {0};
    EXPECT_EQ(FltSendMessage(Port.Filter, &Port.ClientPort, Data, 1, NULL, NULL, NULL), STATUS_PORT_DISCONNECTED);
}

TEST_F(EmulatedPorts, ConnectionLimitAndUnloadDisconnect)
{
    Port.CloseOnDisconnect = false;
    std::vector<HANDLE> Handles;
    for (int Index = 0; Index < 4; Index += 1) {
        Handles.push_back(ConnectService());
        /* Each connection's client port is the filter's to close. */
        FltCloseClientPort(Port.Filter, &Port.ClientPort);
    }
    emu::ProcessScope InService(Service);
    HANDLE Extra = NULL;
    EXPECT_EQ(FilterConnectCommunicationPort(L"\\EchoPort", 0, NULL, 0, NULL, &Extra), S_OK)
        << "closed client ports do not count against the limit";
    FltCloseClientPort(Port.Filter, &Port.ClientPort);
    /* Unloading tells every open connection of its end. */
    ASSERT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Port.Disconnects.load(), 5);
    UCHAR Byte = 0;
    DWORD Returned = 0;
    EXPECT_EQ(FilterSendMessage(Handles[0], &Byte, 1, &Byte, 1, &Returned), HRESULT_FROM_WIN32(ERROR_INVALID_HANDLE));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_PORT_DISCONNECTED);
}

TEST_F(EmulatedPorts, AReplyLongerThanTheFiltersBufferIsAnOverflowOnBothSides)
{
    HANDLE Handle = ConnectService();
    const UCHAR Bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};

    /* The padded structure's size where the filter expects 4 bytes: the
       documented trap. */
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    UCHAR Reply[8] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    ULONG ReplyLength = 4;
    std::thread Sender = SendFromFilter(&Result, Reply, &ReplyLength, 0);
    EXPECT_EQ(TakeAndAnswer(Handle, Bytes, 8), HRESULT_FROM_WIN32(ERROR_MORE_DATA));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_BUFFER_OVERFLOW);
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(NT_SUCCESS(Result.load()));
    EXPECT_EQ(ReplyLength, 4u);  // as much as fits, and no more
    EXPECT_EQ(memcmp(Reply, Bytes, 4), 0);
    EXPECT_EQ(Reply[4], 0xEE);

    /* One byte over is an overflow too; the exact size is not. */
    for (ULONG Size : {5u, 4u}) {
        Result = STATUS_PENDING;
        ReplyLength = 4;
        Sender = SendFromFilter(&Result, Reply, &ReplyLength, 0);
        EXPECT_EQ(TakeAndAnswer(Handle, Bytes, Size), Size == 4 ? S_OK : HRESULT_FROM_WIN32(ERROR_MORE_DATA));
        Sender.join();
        EXPECT_EQ(Result.load(), Size == 4 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW) << Size;
        EXPECT_EQ(ReplyLength, 4u);
    }
    emu::ProcessScope InService(Service);
    CloseHandle(Handle);
}

TEST_F(EmulatedPorts, UnloadClosesTheClientPortsOfConnectedServices)
{
    /* The filter leaves its client ports open in its disconnect
       notification: the filter manager closes them at unload. */
    Port.CloseOnDisconnect = false;
    const PortTableSizes Start = emu::PortTables();
    std::vector<HANDLE> Handles;
    for (int Index = 0; Index < 3; Index += 1) {
        Handles.push_back(ConnectService());
    }
    EXPECT_EQ(emu::PortTables().Connections, Start.Connections + 3);
    ASSERT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
    EXPECT_EQ(Port.Disconnects.load(), 3);
    EXPECT_EQ(Port.DisconnectCookie.load(), (PVOID)&Port);
    /* Only the services' own handles remain; nothing is reported. */
    for (const auto &Leak : System.Leaks()) {
        EXPECT_NE(Leak.find("FilterConnectionPort"), std::string::npos) << Leak;
    }
    EXPECT_TRUE(System.Accounting().Violations().empty());

    /* The services find their ports disconnected; their last close calls
       no notification of the unloaded filter, and takes the connections
       out of the tables. */
    emu::ProcessScope InService(Service);
    UCHAR Byte = 0;
    DWORD Returned = 0;
    EXPECT_NE(FilterSendMessage(Handles[1], &Byte, 1, &Byte, 1, &Returned), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_PORT_DISCONNECTED);
    for (HANDLE Handle : Handles) {
        EXPECT_TRUE(CloseHandle(Handle));
    }
    EXPECT_EQ(Port.Disconnects.load(), 3);
    EXPECT_EQ(emu::PortTables().Connections, Start.Connections);
}

TEST_F(EmulatedPorts, UnloadWaitsForADisconnectAlreadyRunning)
{
    Port.HoldDisconnect = true;
    HANDLE Handle = ConnectService();
    std::thread Closer([&] {
        emu::ProcessScope InService(Service);
        CloseHandle(Handle);
    });
    KeWaitForSingleObject(&Port.DisconnectEntered, Executive, KernelMode, FALSE, NULL);

    std::atomic<bool> Unloaded{false};
    std::thread Unloader = UnloadInBackground(&Unloaded);
    LetOthersRun();
    EXPECT_FALSE(Unloaded.load()) << "FltUnregisterFilter returned while the disconnect notification runs";
    EXPECT_EQ(Port.Disconnects.load(), 1);

    KeSetEvent(&Port.DisconnectRelease, IO_NO_INCREMENT, FALSE);
    Unloader.join();
    Closer.join();
    EXPECT_TRUE(Unloaded.load());
    EXPECT_EQ(Port.Disconnects.load(), 1) << "one notification per connection";
    EXPECT_EQ(Port.ClientPort, nullptr);
}

TEST_F(EmulatedPorts, UnloadWaitsForAConnectInProgressThenDisconnectsIt)
{
    for (NTSTATUS Outcome : {STATUS_SUCCESS, STATUS_ACCESS_DENIED}) {
        if (!System.DriverLoaded()) {
            Port.Unregistered = false;
            ASSERT_EQ(System.LoadDriver(Entry), STATUS_SUCCESS);
        }
        for (KEVENT *Event : {&Port.ConnectEntered, &Port.ConnectRelease}) {
            KeClearEvent(Event);
        }
        Port.Disconnects = 0;
        Port.HoldConnect = true;
        Port.ConnectResult = Outcome;
        std::atomic<HRESULT> Connected{-1};
        HANDLE Handle = INVALID_HANDLE_VALUE;
        std::thread Connector([&] {
            emu::ProcessScope InService(Service);
            Connected = FilterConnectCommunicationPort(L"\\EchoPort", 0, "ctx", 3, NULL, &Handle);
        });
        KeWaitForSingleObject(&Port.ConnectEntered, Executive, KernelMode, FALSE, NULL);

        std::atomic<bool> Unloaded{false};
        std::thread Unloader = UnloadInBackground(&Unloaded);
        LetOthersRun();
        EXPECT_FALSE(Unloaded.load());
        EXPECT_EQ(Port.Disconnects.load(), 0) << "no disconnect for a connection still connecting";

        KeSetEvent(&Port.ConnectRelease, IO_NO_INCREMENT, FALSE);
        Connector.join();
        Unloader.join();
        if (Outcome == STATUS_SUCCESS) {
            /* Accepted: the unload then ends it like any other. */
            EXPECT_EQ(Connected.load(), S_OK);
            EXPECT_EQ(Port.Disconnects.load(), 1);
            EXPECT_EQ(Port.DisconnectCookie.load(), (PVOID)&Port);
            EXPECT_EQ(Port.ClientPort, nullptr);
            emu::ProcessScope InService(Service);
            UCHAR Byte = 0;
            DWORD Returned = 0;
            EXPECT_NE(FilterSendMessage(Handle, &Byte, 1, &Byte, 1, &Returned), S_OK);
            EXPECT_EQ(emu::user::LastStatus(), STATUS_PORT_DISCONNECTED);
            EXPECT_TRUE(CloseHandle(Handle));
        } else {
            /* Refused: no notification at all. */
            EXPECT_EQ(Connected.load(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
            EXPECT_EQ(Port.Disconnects.load(), 0);
        }
        EXPECT_EQ(emu::PortTables().Connections, 0u);
    }
}

TEST_F(EmulatedPorts, ConnectionsLeaveTheTablesWhenClosed)
{
    const PortTableSizes Start = emu::PortTables();
    for (int Cycle = 0; Cycle < 200; Cycle += 1) {
        HANDLE Handle = ConnectService();
        emu::ProcessScope InService(Service);
        UCHAR In[2] = {1, 2};
        UCHAR Out[2] = {};
        DWORD Returned = 0;
        ASSERT_EQ(FilterSendMessage(Handle, In, 2, Out, 2, &Returned), S_OK);
        ASSERT_TRUE(CloseHandle(Handle));
    }
    /* Refused connections, and connections the filter closed first. */
    Port.ConnectResult = STATUS_ACCESS_DENIED;
    for (int Cycle = 0; Cycle < 20; Cycle += 1) {
        emu::ProcessScope InService(Service);
        HANDLE Handle = NULL;
        EXPECT_NE(FilterConnectCommunicationPort(L"\\EchoPort", 0, NULL, 0, NULL, &Handle), S_OK);
    }
    Port.ConnectResult = STATUS_SUCCESS;
    for (int Cycle = 0; Cycle < 20; Cycle += 1) {
        HANDLE Handle = ConnectService();
        FltCloseClientPort(Port.Filter, &Port.ClientPort);
        emu::ProcessScope InService(Service);
        ASSERT_TRUE(CloseHandle(Handle));
    }
    const PortTableSizes End = emu::PortTables();
    EXPECT_EQ(End.Connections, Start.Connections);
    EXPECT_EQ(End.Ports, Start.Ports);
    EXPECT_EQ(Port.Disconnects.load(), 220);
}

TEST_F(EmulatedPorts, ANotificationAfterFltUnregisterFilterReturnedIsReported)
{
    /* A filter that unregisters with its server port still open lets a
       service connect afterwards: both are reported. */
    Port.CloseServerPortAtUnload = false;
    ASSERT_EQ(System.UnloadDriver(), STATUS_SUCCESS);
    HANDLE Handle = ConnectService();
    std::string Violations;
    for (const auto &Violation : System.Accounting().Violations()) {
        Violations += Violation + "\n";
    }
    EXPECT_NE(Violations.find("server communication port of the filter still open"), std::string::npos) << Violations;
    EXPECT_NE(Violations.find("ConnectNotifyCallback entered after the filter's FltUnregisterFilter returned"),
              std::string::npos)
        << Violations;
    {
        emu::ProcessScope InService(Service);
        CloseHandle(Handle);
    }
    FltCloseCommunicationPort(Port.ServerPort);
    System.Accounting().Reset();
    Port.LateNotifications = 0;
}

}  // namespace
