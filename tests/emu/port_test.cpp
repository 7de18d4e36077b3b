/*
 * Communication ports end to end: a small filter of the test's own, and a
 * service process using the user-mode port library.
 */
#include <gtest/gtest.h>

#include <fltUser.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "EmuTesting.h"

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
} Port;

NTSTATUS FLTAPI Connect(PFLT_PORT Client, PVOID, PVOID Context, ULONG Size, PVOID *Cookie)
{
    Port.Context.assign((PUCHAR)Context, (PUCHAR)Context + Size);
    Port.ConnectingProcess = PsGetCurrentProcessId();
    if (NT_SUCCESS(Port.ConnectResult)) {
        Port.ClientPort = Client;
        *Cookie = &Port;
    }
    return Port.ConnectResult;
}

VOID FLTAPI Disconnect(PVOID)
{
    Port.Disconnects += 1;
    if (Port.CloseOnDisconnect) {
        FltCloseClientPort(Port.Filter, &Port.ClientPort);
    }
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
    if (Port.ServerPort != nullptr) {
        FltCloseCommunicationPort(Port.ServerPort);
    }
    FltUnregisterFilter(Port.Filter);
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
    struct {
        FILTER_REPLY_HEADER Header;
        ULONG Value;
    } Answer = {{0, Message.Header.MessageId}, 775};
    ASSERT_EQ(FilterReplyMessage(Handle, &Answer.Header, sizeof(Answer)), S_OK);
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_SUCCESS);
    EXPECT_EQ(ReplyLength, 4u);
    ULONG Value;
    memcpy(&Value, Reply, 4);
    EXPECT_EQ(Value, 775u);

    /* A second reply finds no waiter. */
    EXPECT_EQ(FilterReplyMessage(Handle, &Answer.Header, sizeof(Answer)), (HRESULT)ERROR_FLT_NO_WAITER_FOR_REPLY);
    CloseHandle(Handle);
}

TEST_F(EmulatedPorts, ShortReplyReportsItsLength)
{
    HANDLE Handle = ConnectService();
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    UCHAR Reply[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    ULONG ReplyLength = sizeof(Reply);
    std::thread Sender = SendFromFilter(&Result, Reply, &ReplyLength, 0);
    emu::ProcessScope InService(Service);
    struct {
        FILTER_MESSAGE_HEADER Header;
        UCHAR Data[8];
    } Message = {};
    ASSERT_EQ(FilterGetMessage(Handle, &Message.Header, sizeof(Message), NULL), S_OK);
    struct {
        FILTER_REPLY_HEADER Header;
        UCHAR Bytes[2];
    } Answer = {{0, Message.Header.MessageId}, {5, 3}};
    ASSERT_EQ(FilterReplyMessage(Handle, &Answer.Header, sizeof(FILTER_REPLY_HEADER) + 2), S_OK);
    Sender.join();
    EXPECT_EQ(Result.load(), STATUS_SUCCESS);
    EXPECT_EQ(ReplyLength, 2u);
    EXPECT_EQ(Reply[2], 0xEE);  // never written
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

}  // namespace
