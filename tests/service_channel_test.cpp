/*
 * The service channel end to end: a service process connects sync roots
 * through the filter's port with directory handles of its own, the filter
 * sends it messages and reads its replies, and disconnects tear the sync
 * roots down.  Everything goes through the real port path of the emulated
 * filter manager.
 */
#include "Harness.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "EmuTesting.h"
#include "ServiceClient.h"

using namespace zentaflt_test;
namespace service = zentaflt::service;

namespace {

constexpr LONGLONG OneSecond = 10 * 1000 * 1000;

class ServiceTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        Volume = System->Mount();
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        Service = System->CreateProcess("service.exe");
        Program = System->CreateProcess("program.exe");
        emu::ProcessScope InProgram(Program);
        for (const wchar_t *Directory : {L"C:\\Sync", L"C:\\Sync\\Docs", L"C:\\Sync2", L"C:\\Other"}) {
            ASSERT_TRUE(CreateDirectoryW(Directory, NULL));
        }
        HANDLE File = CreateFileW(L"C:\\Sync\\Docs\\Report.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        CloseHandle(File);
    }

    void TearDown() override
    {
        System->Terminate(Service);
        System->Terminate(Program);
        FilterTest::TearDown();
    }

    /* A directory handle of the service's own. */
    HANDLE OpenInService(const wchar_t *Path, DWORD Access, DWORD Flags = FILE_FLAG_BACKUP_SEMANTICS)
    {
        emu::ProcessScope InService(Service);
        return CreateFileW(Path, Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                           Flags, NULL);
    }

    /* Connects a sync root and returns the NTSTATUS the filter answered. */
    NTSTATUS Connect(const wchar_t *Path, service::ServiceConnection *Connection, WORD ContextSize = 8,
                     DWORD Access = 0x86)
    {
        HANDLE Directory = OpenInService(Path, Access);
        EXPECT_NE(Directory, INVALID_HANDLE_VALUE);
        emu::ProcessScope InService(Service);
        service::ConnectSyncRoot(Directory, Connection, ContextSize);
        NTSTATUS Status = emu::user::LastStatus();
        CloseHandle(Directory);  // the sync root keeps the name, not the directory
        return Status;
    }

    void Disconnect(service::ServiceConnection *Connection)
    {
        emu::ProcessScope InService(Service);
        service::Disconnect(Connection);
    }

    /* Whether any sync root is connected, read under the list lock as the
       filter reads the list. */
    bool AnySyncRoot()
    {
        KeEnterCriticalRegion();
        ExAcquireResourceSharedLite(&FilterGlobals.SyncRootListLock, TRUE);
        bool Any = !IsListEmpty(&FilterGlobals.SyncRootList);
        ExReleaseResourceLite(&FilterGlobals.SyncRootListLock);
        KeLeaveCriticalRegion();
        return Any;
    }

    /* The sync root of a normalized path, referenced; null when none. */
    PSYNC_ROOT Find(const char16_t *Path)
    {
        std::u16string Name = u"\\Device\\HarddiskVolume1" + std::u16string(Path);
        UNICODE_STRING Text = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
        PSYNC_ROOT Root = NULL;
        return NT_SUCCESS(SyncRootFind(&Text, &Root)) ? Root : NULL;
    }

    emu::EmuProcess *Service = nullptr;
    emu::EmuProcess *Program = nullptr;
    PFLT_VOLUME Volume = nullptr;
};

TEST_F(ServiceTest, ContextMustHoldAtLeastTheEightByteHandle)
{
    service::ServiceConnection Connection;
    EXPECT_EQ(Connect(L"C:\\Sync", &Connection, 7), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Connect(L"C:\\Sync", &Connection, 0), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Find(u"\\Sync"), nullptr);

    /* 16 bytes: only the first 8 are the handle (the rest is zero here,
       which would be no handle at all). */
    ASSERT_EQ(Connect(L"C:\\Sync", &Connection, 16), STATUS_SUCCESS);
    PSYNC_ROOT Root = Find(u"\\Sync\\Docs\\Report.txt");
    ASSERT_NE(Root, nullptr);
    EXPECT_EQ(Narrow(Root->NameInfo->Name), "\\Device\\HarddiskVolume1\\Sync");
    SyncRootRelease(Root);
    Disconnect(&Connection);

    ASSERT_EQ(Connect(L"C:\\Sync", &Connection, 8), STATUS_SUCCESS);
    Disconnect(&Connection);
}

TEST_F(ServiceTest, HandleMustGrantAddFileAddSubdirectoryAndReadAttributes)
{
    service::ServiceConnection Connection;
    EXPECT_EQ(Connect(L"C:\\Sync", &Connection, 8, FILE_READ_ATTRIBUTES), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Connect(L"C:\\Sync", &Connection, 8, FILE_ADD_FILE | FILE_READ_ATTRIBUTES), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Find(u"\\Sync"), nullptr);

    /* Any file object with the access will do, even a plain file. */
    HANDLE File = OpenInService(L"C:\\Sync\\Docs\\Report.txt", 0x86, 0);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    {
        emu::ProcessScope InService(Service);
        EXPECT_EQ(service::ConnectSyncRoot(File, &Connection), S_OK);
        CloseHandle(File);
    }
    PSYNC_ROOT Root = Find(u"\\Sync\\Docs\\Report.txt");
    ASSERT_NE(Root, nullptr);
    SyncRootRelease(Root);
    Disconnect(&Connection);

    /* A handle of another process is no handle of the service's. */
    HANDLE Foreign;
    {
        emu::ProcessScope InProgram(Program);
        Foreign = CreateFileW(L"C:\\Sync", 0x86, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    }
    {
        emu::ProcessScope InService(Service);
        EXPECT_NE(service::ConnectSyncRoot((HANDLE)((ULONG_PTR)Foreign + 0x1000), &Connection), S_OK);
        EXPECT_EQ(emu::user::LastStatus(), STATUS_INVALID_HANDLE);
    }
    emu::ProcessScope InProgram(Program);
    CloseHandle(Foreign);
}

TEST_F(ServiceTest, ADirectoryIsOneSyncRootInAnyLetterCase)
{
    service::ServiceConnection First;
    service::ServiceConnection Second;
    ASSERT_EQ(Connect(L"C:\\Sync", &First), STATUS_SUCCESS);
    EXPECT_EQ(Connect(L"C:\\SYNC", &Second), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Connect(L"c:\\sync", &Second), STATUS_OBJECT_NAME_COLLISION);

    /* The first connection keeps working. */
    PSYNC_ROOT Root = Find(u"\\SYNC\\docs");
    ASSERT_NE(Root, nullptr);
    EXPECT_EQ(Root->ClientPort, FilterGlobals.SyncRootList.Flink == &Root->Link ? Root->ClientPort : nullptr);
    EXPECT_NE(Root->ClientPort, nullptr);
    SyncRootRelease(Root);

    /* Once it is gone, the directory can be connected again. */
    Disconnect(&First);
    EXPECT_EQ(Find(u"\\Sync"), nullptr);
    ASSERT_EQ(Connect(L"C:\\sync", &Second), STATUS_SUCCESS);
    Disconnect(&Second);
    EXPECT_TRUE(IsListEmpty(&FilterGlobals.SyncRootList));
}

TEST_F(ServiceTest, NestingDirectoriesAreRefusedSiblingsAccepted)
{
    service::ServiceConnection Sync;
    service::ServiceConnection Inner;
    service::ServiceConnection Sibling;
    service::ServiceConnection Other;
    ASSERT_EQ(Connect(L"C:\\Sync\\Docs", &Inner), STATUS_SUCCESS);
    EXPECT_EQ(Connect(L"C:\\Sync", &Sync), STATUS_OBJECT_NAME_COLLISION);  // contains a connected one
    Disconnect(&Inner);
    ASSERT_EQ(Connect(L"C:\\Sync", &Sync), STATUS_SUCCESS);
    EXPECT_EQ(Connect(L"C:\\Sync\\Docs", &Inner), STATUS_OBJECT_NAME_COLLISION);  // lies inside one
    ASSERT_EQ(Connect(L"C:\\Sync2", &Sibling), STATUS_SUCCESS);  // shares a prefix only
    ASSERT_EQ(Connect(L"C:\\Other", &Other), STATUS_SUCCESS);

    PSYNC_ROOT InSync = Find(u"\\Sync\\Docs");
    PSYNC_ROOT InSibling = Find(u"\\Sync2\\x");
    ASSERT_NE(InSync, nullptr);
    ASSERT_NE(InSibling, nullptr);
    EXPECT_NE(InSync, InSibling);
    EXPECT_EQ(Find(u"\\Sync3"), nullptr);
    SyncRootRelease(InSync);
    SyncRootRelease(InSibling);
    Disconnect(&Sync);
    Disconnect(&Sibling);
    Disconnect(&Other);
}

TEST_F(ServiceTest, VolumeRootSyncRootContainsOnlyItself)
{
    service::ServiceConnection Root;
    service::ServiceConnection Directory;
    ASSERT_EQ(Connect(L"C:\\", &Root), STATUS_SUCCESS);
    /* A volume root's name ends in a backslash, so nothing below it lies
       on its boundary and a directory of the volume is accepted too. */
    ASSERT_EQ(Connect(L"C:\\Sync", &Directory), STATUS_SUCCESS);
    PSYNC_ROOT Found = Find(u"\\");
    ASSERT_NE(Found, nullptr);
    EXPECT_EQ(Narrow(Found->NameInfo->Name), "\\Device\\HarddiskVolume1\\");
    SyncRootRelease(Found);
    Disconnect(&Root);
    Disconnect(&Directory);
}

TEST_F(ServiceTest, ServiceEndDisconnectsEverySyncRoot)
{
    service::ServiceConnection One;
    service::ServiceConnection Two;
    ASSERT_EQ(Connect(L"C:\\Sync", &One), STATUS_SUCCESS);
    ASSERT_EQ(Connect(L"C:\\Other", &Two), STATUS_SUCCESS);
    System->Terminate(Service);
    EXPECT_TRUE(IsListEmpty(&FilterGlobals.SyncRootList));
    EXPECT_EQ(System->Accounting().LiveCount("ERESOURCE"), 1u);  // the list lock only
}

TEST_F(ServiceTest, DisconnectWaitsForAFinderToLetGo)
{
    service::ServiceConnection Connection;
    ASSERT_EQ(Connect(L"C:\\Sync", &Connection), STATUS_SUCCESS);
    PSYNC_ROOT Held = Find(u"\\Sync\\Docs");
    ASSERT_NE(Held, nullptr);

    std::atomic<bool> Closed{false};
    std::thread Closer([&] {
        emu::ProcessScope InService(Service);
        service::Disconnect(&Connection);
        Closed = true;
    });
    /* The record is unlinked at once: a new lookup finds nothing. */
    while (AnySyncRoot()) {
        std::this_thread::yield();
    }
    EXPECT_EQ(Find(u"\\Sync\\Docs"), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Closed.load());
    EXPECT_EQ(emu::ClientPortIn(&Held->ClientPort), nullptr);  // the port is already closed
    SyncRootRelease(Held);
    Closer.join();
    EXPECT_TRUE(Closed.load());
}

TEST_F(ServiceTest, CommandsThroughThePort)
{
    service::ServiceConnection Connection;
    ASSERT_EQ(Connect(L"C:\\Sync", &Connection), STATUS_SUCCESS);
    emu::ProcessScope InService(Service);
    SERVICE_COMMAND Command = {};
    UCHAR Input[64] = {};
    UCHAR Output[8];
    DWORD Returned = 0xFFFF;

    /* 39 bytes of input or 3 of output: refused before anything is read. */
    memset(Output, 0xCC, sizeof(Output));
    EXPECT_NE(FilterSendMessage(Connection.Port, Input, 39, Output, 4, &Returned), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_INVALID_PARAMETER);
    EXPECT_NE(FilterSendMessage(Connection.Port, Input, 40, Output, 3, &Returned), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_INVALID_PARAMETER);

    /* Unknown commands. */
    for (ULONG Code : {1298u, 1301u, 0u}) {
        Command.Command = Code;
        memcpy(Input, &Command, sizeof(Command));
        EXPECT_NE(FilterSendMessage(Connection.Port, Input, 40, Output, 4, &Returned), S_OK);
        EXPECT_EQ(emu::user::LastStatus(), STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(Output[0], 0xCC);
    }

    /* A command at an address the service cannot read: the probe passes
       (the range is below the user limit), the copy faults inside the
       filter's __try. */
    PVOID Unmapped = emu::ReserveUnmappedUserRange(4096);
    EXPECT_NE(FilterSendMessage(Connection.Port, Unmapped, 40, Output, 4, &Returned), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_ACCESS_VIOLATION);
    /* Memory of another process, and memory the service freed. */
    PVOID Foreign = System->AllocateUserMemory(Program, 4096);
    EXPECT_NE(FilterSendMessage(Connection.Port, Foreign, 40, Output, 4, &Returned), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_ACCESS_VIOLATION);
    PVOID Freed = VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(Freed, nullptr);
    ASSERT_TRUE(VirtualFree(Freed, 0, MEM_RELEASE));
    EXPECT_NE(FilterSendMessage(Connection.Port, Freed, 40, Output, 4, &Returned), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_ACCESS_VIOLATION);

    /* A completion for a request that is not pending changes nothing. */
    EXPECT_NE(service::CompleteHydration(Connection, 12345, STATUS_SUCCESS), S_OK);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_NOT_FOUND);
    service::Disconnect(&Connection);
}

/* The filter's side of a question: a file of the program's, its sync root,
   and a send on a thread of its own while the test plays the service. */
class MessageTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        ASSERT_EQ(Connect(L"C:\\Sync", &Connection), STATUS_SUCCESS);
        emu::ProcessScope InProgram(Program);
        File = CreateFileW(L"C:\\SYNC\\docs\\Report.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        Data = emu::MakeCallbackData(File, IRP_MJ_SET_INFORMATION, UserMode);
        ASSERT_NE(Data, nullptr);
        ASSERT_EQ(GetNormalizedName(Data, &NameInfo, &Path), STATUS_SUCCESS);
        ASSERT_EQ(SyncRootFind(&NameInfo->Name, &Root), STATUS_SUCCESS);
        Received = std::make_unique<service::ReceivedMessage>();
    }

    void TearDown() override
    {
        if (Root != NULL) {
            SyncRootRelease(Root);
        }
        if (NameInfo != NULL) {
            FltReleaseFileNameInformation(NameInfo);
        }
        if (Data != NULL) {
            emu::FreeCallbackData(Data);
        }
        {
            emu::ProcessScope InProgram(Program);
            CloseHandle(File);
        }
        Disconnect(&Connection);
        ServiceTest::TearDown();
    }

    /* Sends a question on another thread; returns its status and reply. */
    std::thread Ask(std::function<NTSTATUS(SERVICE_REPLY *)> Send, std::atomic<NTSTATUS> *Status,
                    SERVICE_REPLY *Reply)
    {
        return std::thread([=] { *Status = Send(Reply); });
    }

    HRESULT Receive()
    {
        emu::ProcessScope InService(Service);
        return service::ReceiveMessage(Connection, Received.get());
    }

    HRESULT Answer(SERVICE_REPLY Value)
    {
        emu::ProcessScope InService(Service);
        return service::ReplyToMessage(Connection, Received->Header.MessageId, Value);
    }

    size_t Queued() { return emu::QueuedMessages(Connection.Port, Service); }

    /* Answers the received message with Size raw bytes after the header. */
    HRESULT AnswerWithBytes(const void *Bytes, ULONG Size)
    {
        emu::ProcessScope InService(Service);
        struct {
            FILTER_REPLY_HEADER Header;
            UCHAR Bytes[16];
        } Raw = {{0, Received->Header.MessageId}, {}};
        memcpy(Raw.Bytes, Bytes, Size);
        return FilterReplyMessage(Connection.Port, &Raw.Header, sizeof(FILTER_REPLY_HEADER) + Size);
    }

    service::ServiceConnection Connection;
    HANDLE File = NULL;
    PFLT_CALLBACK_DATA Data = NULL;
    PFLT_FILE_NAME_INFORMATION NameInfo = NULL;
    UNICODE_STRING Path = {};
    PSYNC_ROOT Root = NULL;
    std::unique_ptr<service::ReceivedMessage> Received;
};

TEST_F(MessageTest, DeleteDirectoryQuestionAndItsReplies)
{
    for (SERVICE_REPLY Value : {(SERVICE_REPLY)ReplyDeny, (SERVICE_REPLY)ReplyHydrateFirst, 0u, 1u, 776u}) {
        std::atomic<NTSTATUS> Status{STATUS_PENDING};
        SERVICE_REPLY Reply = 0xDEADBEEF;
        std::thread Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); },
                                 &Status, &Reply);
        ASSERT_EQ(Receive(), S_OK);
        const SERVICE_MESSAGE &Message = Received->Message;
        auto Bytes = (const UCHAR *)&Message;
        EXPECT_EQ(Received->Header.ReplyLength, sizeof(FILTER_REPLY_HEADER) + 4);
        EXPECT_EQ(Message.MessageType, (ULONG)MessageTypeDeleteDirectory);
        EXPECT_EQ(*(const ULONG *)(Bytes + 4), 0u);
        EXPECT_EQ(Narrow(service::VolumePathOf(Message)),
                  Narrow(Volume->GuidName).replace(1, 1, "\\") + "\\");
        EXPECT_EQ(*(const USHORT *)(Bytes + 8 + 98), 0);  // the rest of the 100-byte field
        EXPECT_EQ(Narrow(service::PathOf(Message)), "\\Sync\\Docs\\Report.txt");
        /* Everything after the path is zero for this type. */
        size_t PathEnd = 108 + Path.Length;
        bool Zero = true;
        for (size_t Offset = PathEnd; Offset < sizeof(SERVICE_MESSAGE); Offset += 1) {
            Zero &= Bytes[Offset] == 0;
        }
        EXPECT_TRUE(Zero);
        ASSERT_EQ(Answer(Value), S_OK);
        Sender.join();
        EXPECT_EQ(Status.load(), STATUS_SUCCESS);
        EXPECT_EQ(Reply, Value);
    }
}

TEST_F(MessageTest, HydrateMessageFieldsAtTheirOffsets)
{
    UCHAR Reparse[100];
    for (int Index = 0; Index < 100; Index += 1) {
        Reparse[Index] = (UCHAR)(Index + 1);
    }
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    std::thread Sender([&] {
        Status = SendHydrateMessage(Data, Root, &Path, 0x123456789LL, 0xABCDEF0123ULL, Reparse, 100, (HANDLE)0x1234567890ULL,
                                    (HANDLE)0xFEDCBA987ULL);
    });
    ASSERT_EQ(Receive(), S_OK);
    Sender.join();
    EXPECT_EQ(Status.load(), STATUS_SUCCESS);  // a hydrate message waits for no reply
    EXPECT_EQ(Received->Header.ReplyLength, 0u);
    auto Bytes = (const UCHAR *)&Received->Message;
    EXPECT_EQ(*(const ULONG *)(Bytes + 0), 34u);
    EXPECT_EQ(memcmp(Bytes + 65644, Reparse, 100), 0);
    EXPECT_EQ(Bytes[65644 + 100], 0);
    EXPECT_EQ(*(const USHORT *)(Bytes + 66668), 100);
    EXPECT_EQ(*(const ULONG *)(Bytes + 66672), 0x34567890u);  // low 32 bits of the thread id
    EXPECT_EQ(*(const LONGLONG *)(Bytes + 66680), 0x123456789LL);
    EXPECT_EQ(*(const ULONGLONG *)(Bytes + 66688), 0xABCDEF0123ULL);
    EXPECT_EQ(*(const ULONG *)(Bytes + 66696), 0xEDCBA987u);  // low 32 bits of the process id
    EXPECT_EQ(Narrow(service::PathOf(Received->Message)), "\\Sync\\Docs\\Report.txt");
}

TEST_F(MessageTest, MoveAndRenameCarryTheDestination)
{
    std::u16string Destination = u"\\Other\\Moved.txt";
    UNICODE_STRING To = {(USHORT)(Destination.size() * 2), (USHORT)(Destination.size() * 2), (PWSTR)Destination.data()};
    UCHAR Reparse[3] = {7, 8, 9};

    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    SERVICE_REPLY Reply = 0;
    std::thread Mover = Ask([&](SERVICE_REPLY *Out) { return SendMoveFileOutMessage(Data, Root, &Path, &To, Reparse, 3, Out); },
                            &Status, &Reply);
    ASSERT_EQ(Receive(), S_OK);
    auto Bytes = (const UCHAR *)&Received->Message;
    EXPECT_EQ(*(const ULONG *)Bytes, 35u);
    EXPECT_EQ(Narrow(service::DestinationPathOf(Received->Message)), "\\Other\\Moved.txt");
    EXPECT_EQ(memcmp(Bytes + 131180, Reparse, 3), 0);
    EXPECT_EQ(*(const USHORT *)(Bytes + 132204), 3);
    ASSERT_EQ(Answer(ReplyHydrateFirst), S_OK);
    Mover.join();
    EXPECT_EQ(Status.load(), STATUS_SUCCESS);
    EXPECT_EQ(Reply, (SERVICE_REPLY)ReplyHydrateFirst);

    Status = STATUS_PENDING;
    std::thread Renamer = Ask([&](SERVICE_REPLY *Out) { return SendRenameDirectoryMessage(Data, Root, &Path, &To, Out); },
                              &Status, &Reply);
    ASSERT_EQ(Receive(), S_OK);
    Bytes = (const UCHAR *)&Received->Message;
    EXPECT_EQ(*(const ULONG *)Bytes, 37u);
    EXPECT_EQ(Narrow(service::DestinationPathOf(Received->Message)), "\\Other\\Moved.txt");
    EXPECT_EQ(Bytes[131180], 0);  // a rename carries no reparse data
    ASSERT_EQ(Answer(ReplyDeny), S_OK);
    Renamer.join();
    EXPECT_EQ(Reply, (SERVICE_REPLY)ReplyDeny);
}

TEST_F(MessageTest, AServiceThatNeverTakesTheMessageDeniesAfterThreeHundredSeconds)
{
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    SERVICE_REPLY Reply = 0;
    std::thread Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); },
                             &Status, &Reply);
    while (Queued() == 0) {
        std::this_thread::yield();
    }
    System->SystemClock().Advance(299 * OneSecond);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Status.load(), STATUS_PENDING);
    System->SystemClock().Advance(OneSecond);
    Sender.join();
    EXPECT_EQ(Status.load(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Queued(), 0u);
}

TEST_F(MessageTest, ATakenQuestionWithoutAnAnswerAlsoTimesOut)
{
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    SERVICE_REPLY Reply = 0;
    std::thread Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); },
                             &Status, &Reply);
    ASSERT_EQ(Receive(), S_OK);
    System->SystemClock().Advance(300 * OneSecond);
    Sender.join();
    EXPECT_EQ(Status.load(), STATUS_ACCESS_DENIED);
    /* The late answer finds nobody waiting. */
    EXPECT_EQ(Answer(ReplyDeny), (HRESULT)ERROR_FLT_NO_WAITER_FOR_REPLY);
}

TEST_F(MessageTest, AShortReplyIsNoAnswer)
{
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    SERVICE_REPLY Reply = 0;
    std::thread Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); },
                             &Status, &Reply);
    ASSERT_EQ(Receive(), S_OK);
    /* Two bytes that would read as 775 with a zero upper half. */
    const UCHAR Short[2] = {0x07, 0x03};
    ASSERT_EQ(AnswerWithBytes(Short, sizeof(Short)), S_OK);
    Sender.join();
    EXPECT_EQ(Status.load(), STATUS_ACCESS_DENIED);
}

TEST_F(MessageTest, AnOverlongReplyIsNoAnswer)
{
    /* Eight bytes where four are expected, the first four reading as
       consent: the filter manager cuts the reply and says so, and the
       question fails rather than taking the cut reply as an answer. */
    FilterGlobals.DebugFlags = DebugFlagPrintFailures;
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    SERVICE_REPLY Reply = 0xDEADBEEF;
    std::thread Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); },
                             &Status, &Reply);
    ASSERT_EQ(Receive(), S_OK);
    const ULONG Long[2] = {0, ReplyDeny};
    EXPECT_EQ(AnswerWithBytes(Long, sizeof(Long)), HRESULT_FROM_WIN32(ERROR_MORE_DATA));
    Sender.join();
    EXPECT_EQ(Status.load(), STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(NT_SUCCESS(Status.load()));
    std::string Printed = System->KernelDebugger().OutputText();
    EXPECT_EQ(Printed, "Zentaflt: 0x80000005\n");
    FilterGlobals.DebugFlags = 0;

    /* The connection still works: the next question gets its answer. */
    Status = STATUS_PENDING;
    Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); }, &Status,
                 &Reply);
    ASSERT_EQ(Receive(), S_OK);
    ASSERT_EQ(Answer(ReplyDeny), S_OK);
    Sender.join();
    EXPECT_EQ(Status.load(), STATUS_SUCCESS);
    EXPECT_EQ(Reply, (SERVICE_REPLY)ReplyDeny);
}

TEST_F(MessageTest, ADisconnectedServiceGivesProviderNotRunning)
{
    /* The service goes while this thread still holds its sync root: the
       port is closed before the disconnect waits for the reference. */
    std::thread Closer([&] {
        emu::ProcessScope InService(Service);
        service::Disconnect(&Connection);
    });
    while (emu::ClientPortIn(&Root->ClientPort) != NULL) {
        std::this_thread::yield();
    }
    SERVICE_REPLY Reply = 0;
    EXPECT_EQ(SendDeleteDirectoryMessage(Data, Root, &Path, &Reply), (NTSTATUS)0xC000CF01);
    UCHAR Reparse[1] = {0};
    EXPECT_EQ(SendHydrateMessage(Data, Root, &Path, 0, 0, Reparse, 0, NULL, NULL), (NTSTATUS)0xC000CF01);
    SyncRootRelease(Root);
    Root = NULL;
    Closer.join();
}

TEST_F(MessageTest, MessageBuffersComeFromTheMessagePoolAndGoBack)
{
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    SERVICE_REPLY Reply = 0;
    std::thread Sender = Ask([&](SERVICE_REPLY *Out) { return SendDeleteDirectoryMessage(Data, Root, &Path, Out); },
                             &Status, &Reply);
    ASSERT_EQ(Receive(), S_OK);
    ASSERT_EQ(Answer(0), S_OK);
    Sender.join();
    auto Pool = System->Accounting().PoolByTag();
    /* One paged, non-executable buffer, now cached by the pool. */
    EXPECT_EQ(Pool[PoolTagMessage].Allocations, 1u);
    ASSERT_EQ(Pool[PoolTagMessage].TypesUsed.size(), 1u);
    EXPECT_EQ((ULONG)*Pool[PoolTagMessage].TypesUsed.begin(), (ULONG)(PagedPool | POOL_NX_ALLOCATION));
}

}  // namespace

namespace {

/* Names of the operations' files, and the one narrow fallback for a
   name-cache miss while a section is being created. */
class NameTest : public ServiceTest {
protected:
    NTSTATUS NameFor(UCHAR Major, KPROCESSOR_MODE Mode, bool Post, ULONG_PTR TopLevel, std::string *Name,
                     std::string *Relative)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = CreateFileW(L"C:\\sync\\DOCS\\report.TXT", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                                  NULL);
        EXPECT_NE(File, INVALID_HANDLE_VALUE);
        PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(File, Major, Mode, Post);
        IoSetTopLevelIrp((PIRP)TopLevel);
        PFLT_FILE_NAME_INFORMATION Info = NULL;
        UNICODE_STRING Path = {};
        NTSTATUS Status = GetNormalizedName(Data, &Info, &Path);
        IoSetTopLevelIrp(NULL);
        if (NT_SUCCESS(Status)) {
            *Name = Narrow(Info->Name);
            *Relative = Narrow(Path);
            FltReleaseFileNameInformation(Info);
        }
        emu::FreeCallbackData(Data);
        CloseHandle(File);
        return Status;
    }
};

TEST_F(NameTest, NormalizedNameAndItsVolumeRelativeView)
{
    std::string Name;
    std::string Relative;
    ASSERT_EQ(NameFor(IRP_MJ_READ, UserMode, false, 0, &Name, &Relative), STATUS_SUCCESS);
    EXPECT_EQ(Name, "\\Device\\HarddiskVolume1\\Sync\\Docs\\Report.txt");
    EXPECT_EQ(Relative, "\\Sync\\Docs\\Report.txt");
}

TEST_F(NameTest, CacheMissFallsBackOnlyForSectionSynchronizationFromTheFileSystemThread)
{
    std::string Name;
    std::string Relative;
    System->Faults().Arm("FltGetFileNameInformation", STATUS_FLT_NAME_CACHE_MISS, 1, true);

    ASSERT_EQ(NameFor(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, UserMode, false, FSRTL_FSP_TOP_LEVEL_IRP, &Name,
                      &Relative),
              STATUS_SUCCESS);
    EXPECT_EQ(Relative, "\\Sync\\Docs\\Report.txt");
    EXPECT_EQ(System->Faults().Calls("FltGetFileNameInformationUnsafe"), 1u);

    /* Any other operation, mode, phase or marker keeps the miss. */
    EXPECT_EQ(NameFor(IRP_MJ_READ, UserMode, false, FSRTL_FSP_TOP_LEVEL_IRP, &Name, &Relative),
              STATUS_FLT_NAME_CACHE_MISS);
    EXPECT_EQ(NameFor(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, KernelMode, false, FSRTL_FSP_TOP_LEVEL_IRP, &Name,
                      &Relative),
              STATUS_FLT_NAME_CACHE_MISS);
    EXPECT_EQ(NameFor(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, UserMode, true, FSRTL_FSP_TOP_LEVEL_IRP, &Name,
                      &Relative),
              STATUS_FLT_NAME_CACHE_MISS);
    for (ULONG_PTR Marker : {(ULONG_PTR)0, FSRTL_CACHE_TOP_LEVEL_IRP, FSRTL_MOD_WRITE_TOP_LEVEL_IRP}) {
        EXPECT_EQ(NameFor(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, UserMode, false, Marker, &Name, &Relative),
                  STATUS_FLT_NAME_CACHE_MISS);
    }
    EXPECT_EQ(System->Faults().Calls("FltGetFileNameInformationUnsafe"), 1u);

    /* Other failures never fall back. */
    System->Faults().Arm("FltGetFileNameInformation", STATUS_INSUFFICIENT_RESOURCES, 1, true);
    EXPECT_EQ(NameFor(IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, UserMode, false, FSRTL_FSP_TOP_LEVEL_IRP, &Name,
                      &Relative),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(NameTest, AFileAtTheVolumeRootIsABackslashAndItsName)
{
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\top.dat", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(File, IRP_MJ_WRITE, UserMode);
    PFLT_FILE_NAME_INFORMATION Info = NULL;
    UNICODE_STRING Path = {};
    ASSERT_EQ(GetNormalizedName(Data, &Info, &Path), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(Path), "\\top.dat");
    /* A view into the record, used by its length: no terminator follows. */
    EXPECT_EQ(Path.Buffer, Info->Name.Buffer + Info->Volume.Length / sizeof(WCHAR));
    EXPECT_EQ(Path.Buffer + Path.Length / sizeof(WCHAR), Info->Name.Buffer + Info->Name.Length / sizeof(WCHAR));
    FltReleaseFileNameInformation(Info);
    emu::FreeCallbackData(Data);
    CloseHandle(File);
}

}  // namespace
