/*
 * Hydration with real threads: many programs on one placeholder, the
 * service dying in the middle, cancelled waits, and the service's commands
 * racing each other and the disconnection.  Whatever the interleaving, the
 * registration reference of a request is dropped exactly once (the
 * fixture's leak check and the verifier's over-release check see any
 * other count) and the waiters all see one outcome.
 */
#include "HydrationFixture.h"

#include <atomic>

using namespace zentaflt_test;

namespace {

using Concurrency = HydrationTest;

TEST_F(Concurrency, ManyReadersAndWritersCauseOneMessageAndSeeOneOutcome)
{
    const std::vector<unsigned char> Expected = Content(3 * 4096 + 5);
    MakePlaceholder(L"C:\\Sync\\shared.bin", Expected);
    Service->Hold = true;

    const int Readers = 6, Writers = 2;
    std::vector<HANDLE> Opens;
    for (int Index = 0; Index < Readers + Writers; Index += 1) {
        Opens.push_back(OpenInProgram(L"C:\\Sync\\shared.bin"));
    }
    std::vector<NTSTATUS> Results(Readers + Writers, STATUS_PENDING);
    std::vector<std::vector<unsigned char>> Read(Readers);
    std::vector<std::thread> Threads;
    for (int Index = 0; Index < Readers; Index += 1) {
        Threads.emplace_back([&, Index] { Read[Index] = ReadAt(Opens[Index], 0, 4096, &Results[Index]); });
    }
    for (int Index = 0; Index < Writers; Index += 1) {
        Threads.emplace_back([&, Index] {
            /* Writes past the data the service delivers: they land after
               hydration, on the full file. */
            Results[Readers + Index] = WriteAt(Opens[Readers + Index], Expected.size() + Index, {0xEE});
        });
    }

    ASSERT_TRUE(Service->WaitForMessages(1));
    HydrateSeen Message = Service->Messages()[0];
    EXPECT_EQ(Service->Serve(Message), S_OK);
    for (std::thread &Thread : Threads) {
        Thread.join();
    }

    EXPECT_EQ(Service->MessageCount(), 1u);
    for (int Index = 0; Index < Readers + Writers; Index += 1) {
        EXPECT_EQ(Results[Index], STATUS_SUCCESS) << Index;
    }
    for (int Index = 0; Index < Readers; Index += 1) {
        EXPECT_EQ(Read[Index], std::vector<unsigned char>(Expected.begin(), Expected.begin() + 4096)) << Index;
    }
    FileFacts After = Facts(L"C:\\Sync\\shared.bin");
    EXPECT_FALSE(After.ReparsePoint);
    ASSERT_EQ(After.Data.size(), Expected.size() + Writers);
    EXPECT_TRUE(std::equal(Expected.begin(), Expected.end(), After.Data.begin()));
}

TEST_F(Concurrency, ServiceDeathFailsEveryWaiterAndALaterConnectionHydratesAfresh)
{
    const std::vector<unsigned char> First = Content(9000, 1), Second = Content(5000, 2);
    MakePlaceholder(L"C:\\Sync\\one.bin", First);
    MakePlaceholder(L"C:\\Sync\\two.bin", Second);
    Service->Hold = true;

    HANDLE One = OpenInProgram(L"C:\\Sync\\one.bin", GENERIC_READ);
    HANDLE Two = OpenInProgram(L"C:\\Sync\\two.bin", GENERIC_READ);
    HANDLE OneAgain = OpenInProgram(L"C:\\Sync\\one.bin", GENERIC_READ);
    NTSTATUS Results[3] = {STATUS_PENDING, STATUS_PENDING, STATUS_PENDING};
    std::thread A([&] { ReadAt(One, 0, 10, &Results[0]); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    std::thread B([&] { ReadAt(Two, 0, 10, &Results[1]); });
    ASSERT_TRUE(Service->WaitForMessages(2));
    std::thread C([&] { ReadAt(OneAgain, 100, 10, &Results[2]); });

    /* Mid-transfer: the first page of one.bin has arrived. */
    EXPECT_EQ(Service->Transfer(Service->Messages()[0].RequestId, 0, First.data(), 4096), STATUS_SUCCESS);

    System->Terminate(ServiceProcess);
    A.join();
    B.join();
    C.join();
    Service->Join();
    EXPECT_EQ(Results[0], STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_EQ(Results[1], STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    /* The third read waited on one.bin's request, unless it came after the
       cancellation and met the teardown or the empty sync-root list. */
    EXPECT_TRUE(Results[2] == STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING ||
                Results[2] == STATUS_CLOUD_FILE_PROVIDER_TERMINATED ||
                Results[2] == STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT)
        << Results[2];
    EXPECT_EQ(ContextOf(One)->State, (ULONG)StreamStateFailed);
    EXPECT_EQ(ContextOf(Two)->State, (ULONG)StreamStateFailed);
    EXPECT_TRUE(Facts(L"C:\\Sync\\one.bin").ReparsePoint);

    /* While nobody serves the directory, reads fail. */
    NTSTATUS Status = STATUS_PENDING;
    ReadAt(One, 0, 10, &Status);
    EXPECT_EQ(Status, STATUS_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);

    /* A new service: ids start at 0 again and both files hydrate. */
    ServiceProcess = System->CreateProcess("service2.exe");
    auto Replacement = std::make_unique<TestService>(ServiceProcess);
    Replacement->SetContent(u"\\Sync\\one.bin", First);
    Replacement->SetContent(u"\\Sync\\two.bin", Second);
    ASSERT_EQ(Replacement->Connect(L"C:\\Sync"), STATUS_SUCCESS);
    Service = std::move(Replacement);

    EXPECT_EQ(ReadAt(Two, 0, 5000), Second);
    EXPECT_EQ(ReadAt(One, 0, 9000), First);
    std::vector<HydrateSeen> Messages = Service->Messages();
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[0].RequestId, 0u);
    EXPECT_EQ(Messages[1].RequestId, 1u);
    EXPECT_EQ(Facts(L"C:\\Sync\\one.bin").Data, First);
}

TEST_F(Concurrency, ACancelledWaitFailsAloneAndTheRequestStaysPending)
{
    const std::vector<unsigned char> Expected = Content(7000);
    MakePlaceholder(L"C:\\Sync\\cancel.bin", Expected);
    Service->Hold = true;
    HANDLE Cancelled = OpenInProgram(L"C:\\Sync\\cancel.bin", GENERIC_READ);
    HANDLE Patient = OpenInProgram(L"C:\\Sync\\cancel.bin", GENERIC_READ);

    std::atomic<NTSTATUS> First{STATUS_PENDING};
    std::thread Reader([&] {
        NTSTATUS Status = STATUS_PENDING;
        ReadAt(Cancelled, 0, 10, &Status);
        First = Status;
    });
    ASSERT_TRUE(Service->WaitForMessages(1));
    /* The reader may not have reached its wait yet: cancel until its read
       has ended. */
    while (true) {
        {
            emu::ProcessScope InProgram(Program);
            CancelIoEx(Cancelled, NULL);
        }
        if (First != STATUS_PENDING) {
            break;
        }
        std::this_thread::yield();
    }
    Reader.join();
    EXPECT_EQ(First.load(), STATUS_CANCELLED);
    EXPECT_EQ(ContextOf(Patient)->State, (ULONG)StreamStateHydrating);

    /* Another program's read waits on the same request: no new message,
       and the service's request 0 is still there to serve. */
    NTSTATUS Second = STATUS_PENDING;
    std::vector<unsigned char> Read;
    std::thread Other([&] { Read = ReadAt(Patient, 0, 7000, &Second); });
    EXPECT_EQ(Service->Serve(Service->Messages()[0]), S_OK);
    Other.join();
    EXPECT_EQ(Second, STATUS_SUCCESS);
    EXPECT_EQ(Read, Expected);
    EXPECT_EQ(Service->MessageCount(), 1u);
}

TEST_F(Concurrency, TwoServiceThreadsCompletingOneRequest)
{
    const std::vector<unsigned char> Expected = Content(4096);
    MakePlaceholder(L"C:\\Sync\\twice.bin", Expected);
    Service->Hold = true;
    HANDLE File = OpenInProgram(L"C:\\Sync\\twice.bin", GENERIC_READ);
    NTSTATUS ReadStatus = STATUS_PENDING;
    std::vector<unsigned char> Read;
    std::thread Reader([&] { Read = ReadAt(File, 0, 4096, &ReadStatus); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    ASSERT_EQ(Service->Transfer(0, 0, Expected.data(), 4096), STATUS_SUCCESS);

    std::atomic<int> Go{0};
    NTSTATUS Completions[2];
    std::thread Completers[2];
    for (int Index = 0; Index < 2; Index += 1) {
        Completers[Index] = std::thread([&, Index] {
            Go += 1;
            while (Go < 2) {
            }
            Completions[Index] = Service->Complete(0, STATUS_SUCCESS);
        });
    }
    for (std::thread &Thread : Completers) {
        Thread.join();
    }
    Reader.join();
    EXPECT_EQ((Completions[0] == STATUS_SUCCESS) + (Completions[1] == STATUS_SUCCESS), 1);
    EXPECT_EQ((Completions[0] == STATUS_NOT_FOUND) + (Completions[1] == STATUS_NOT_FOUND), 1);
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    EXPECT_EQ(Read, Expected);
}

TEST_F(Concurrency, CompletionRacingTheDisconnection)
{
    for (int Round = 0; Round < 4; Round += 1) {
        const wchar_t *Names[] = {L"C:\\Sync\\race0.bin", L"C:\\Sync\\race1.bin", L"C:\\Sync\\race2.bin",
                                  L"C:\\Sync\\race3.bin"};
        std::u16string Name((const char16_t *)Names[Round]);
        const std::vector<unsigned char> Expected = Content(4096, Round);
        MakePlaceholder((const wchar_t *)Name.c_str(), Expected);
        Service->Hold = true;
        HANDLE File = OpenInProgram((const wchar_t *)Name.c_str(), GENERIC_READ);
        NTSTATUS ReadStatus = STATUS_PENDING;
        std::thread Reader([&] { ReadAt(File, 0, 10, &ReadStatus); });
        ASSERT_TRUE(Service->WaitForMessages(1));
        ULONGLONG Id = Service->Messages()[0].RequestId;
        ASSERT_EQ(Service->Transfer(Id, 0, Expected.data(), 4096), STATUS_SUCCESS);

        std::atomic<int> Go{0};
        NTSTATUS Completion = STATUS_PENDING;
        std::thread Completer([&] {
            Go += 1;
            while (Go < 2) {
            }
            Completion = Service->Complete(Id, STATUS_SUCCESS);
        });
        Go += 1;
        while (Go < 2) {
        }
        Service->Stop();
        Completer.join();
        Reader.join();

        /* Either the completion took the request (the read succeeds) or the
           disconnection did (the read fails and the command finds nothing,
           or its port is gone). */
        if (ReadStatus == STATUS_SUCCESS) {
            EXPECT_EQ(Completion, STATUS_SUCCESS);
            EXPECT_FALSE(Facts((const wchar_t *)Name.c_str()).ReparsePoint);
        } else {
            EXPECT_EQ(ReadStatus, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
            EXPECT_NE(Completion, STATUS_SUCCESS);
            EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateFailed);
        }

        Service = std::make_unique<TestService>(ServiceProcess);
        ASSERT_EQ(Service->Connect(L"C:\\Sync"), STATUS_SUCCESS);
    }
}

TEST_F(Concurrency, AFailedCompletionFollowedAtOnceByANewReadNeverReusesAReferencedRequest)
{
    for (int Round = 0; Round < 6; Round += 1) {
        const wchar_t *Names[] = {L"C:\\Sync\\reuse0.bin", L"C:\\Sync\\reuse1.bin", L"C:\\Sync\\reuse2.bin",
                                  L"C:\\Sync\\reuse3.bin", L"C:\\Sync\\reuse4.bin", L"C:\\Sync\\reuse5.bin"};
        std::u16string Name((const char16_t *)Names[Round]);
        const std::vector<unsigned char> Expected = Content(8192, Round);
        MakePlaceholder((const wchar_t *)Name.c_str(), Expected);
        Service->Hold = true;
        HANDLE File = OpenInProgram((const wchar_t *)Name.c_str(), GENERIC_READ);
        size_t Before = Service->MessageCount();
        NTSTATUS FirstRead = STATUS_PENDING;
        std::thread Reader([&] { ReadAt(File, 0, 10, &FirstRead); });
        ASSERT_TRUE(Service->WaitForMessages(Before + 1));
        ULONGLONG Id = Service->Messages()[Before].RequestId;

        /* A transfer still on its way when the failure arrives, and a new
           read the moment the failure is in. */
        std::atomic<int> Go{0};
        NTSTATUS Late = STATUS_PENDING, SecondRead = STATUS_PENDING;
        std::vector<unsigned char> Read;
        std::thread Transfer([&] {
            Go += 1;
            while (Go < 2) {
            }
            Late = Service->Transfer(Id, 0, Expected.data(), 8192);
        });
        std::thread Failer([&] {
            Go += 1;
            while (Go < 2) {
            }
            EXPECT_EQ(Service->Complete(Id, STATUS_ACCESS_DENIED), STATUS_SUCCESS);
            Read = ReadAt(File, 0, 8192, &SecondRead);
        });
        Reader.join();
        EXPECT_EQ(FirstRead, STATUS_ACCESS_DENIED);
        ASSERT_TRUE(Service->WaitForMessages(Before + 2));
        HydrateSeen Again = Service->Messages()[Before + 1];
        EXPECT_EQ(Again.RequestId, Id + 1);
        Transfer.join();
        EXPECT_TRUE(Late == STATUS_SUCCESS || Late == STATUS_NOT_FOUND) << Late;
        EXPECT_EQ(Service->Serve(Again), S_OK);
        Failer.join();
        EXPECT_EQ(SecondRead, STATUS_SUCCESS);
        EXPECT_EQ(Read, Expected);
    }
}

TEST_F(Concurrency, ASendThatFailsLeavesNoRequestBehind)
{
    MakePlaceholder(L"C:\\Sync\\unsent.bin", Content(100));
    HANDLE File = OpenInProgram(L"C:\\Sync\\unsent.bin", GENERIC_READ);
    System->Faults().Arm("FltSendMessage", STATUS_PORT_DISCONNECTED);
    NTSTATUS Status = STATUS_PENDING;
    ReadAt(File, 0, 10, &Status);
    EXPECT_FALSE(NT_SUCCESS(Status));
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateNew);
    EXPECT_EQ(ContextOf(File)->Request.RefCount, 0);
    EXPECT_EQ(Service->MessageCount(), 0u);

    /* Id 0 was drawn for the message that never left; the next is 1. */
    EXPECT_EQ(ReadAt(File, 0, 100), Content(100));
    ASSERT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(Service->Messages()[0].RequestId, 1u);
}

}  // namespace

namespace {

TEST_F(Concurrency, AWaiterWhoseThreadIsTerminatedFailsAndTheRequestStaysPending)
{
    const std::vector<unsigned char> Expected = Content(4096);
    MakePlaceholder(L"C:\\Sync\\ended.bin", Expected);
    Service->Hold = true;
    HANDLE File = OpenInProgram(L"C:\\Sync\\ended.bin", GENERIC_READ);
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    std::thread Reader([&] {
        NTSTATUS Result = STATUS_PENDING;
        ReadAt(File, 0, 10, &Result);
        Status = Result;
    });
    ASSERT_TRUE(Service->WaitForMessages(1));
    /* The message names the waiting thread. */
    while (Status == STATUS_PENDING) {
        System->TerminateThread(Service->Messages()[0].ThreadId);
        std::this_thread::yield();
    }
    Reader.join();
    EXPECT_EQ(Status.load(), STATUS_THREAD_IS_TERMINATING);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrating);
    EXPECT_EQ(Service->Serve(Service->Messages()[0]), S_OK);
    EXPECT_EQ(ReadAt(File, 0, 4096), Expected);
    EXPECT_EQ(Service->MessageCount(), 1u);
}

}  // namespace
