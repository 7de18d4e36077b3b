/*
 * service_sdk_test.cpp - the service SDK (SyncService.h) against the
 * filter: a pool of threads serving hydrations from a data source, failure
 * statuses from the source, the alignment of the pieces, and a stop that
 * fails the programs' waits instead of leaving them hanging.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "HydrationFixture.h"
#include "SyncService.h"

namespace zentaflt_test {
namespace {

using zentaflt::service::DataSource;
using zentaflt::service::EventKind;
using zentaflt::service::HydrationRequest;
using zentaflt::service::Result;
using zentaflt::service::ServiceEvent;
using zentaflt::service::ServiceOptions;
using zentaflt::service::SyncService;

/* A path of the program's (C:\Sync\<Name>), as LPCWSTR through W(). */
std::u16string SyncPath(const std::string &Name)
{
    return zentaflt::service::Utf16("C:\\Sync\\" + Name);
}

LPCWSTR W(const std::u16string &Text)
{
    return (LPCWSTR)Text.c_str();
}

/* Polls Done until it holds; a guard against a hang, not a measurement. */
template <typename Predicate> bool Eventually(Predicate Done)
{
    for (int Round = 0; Round < 3000 && !Done(); Round += 1) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Done();
}

/* The hydration fixture with its test service disconnected: the SDK's
   service connects C:\Sync instead and serves from Store. */
class SdkTest : public HydrationTest {
protected:
    void SetUp() override
    {
        HydrationTest::SetUp();
        Service->Stop();
    }

    void TearDown() override
    {
        StopService();
        HydrationTest::TearDown();
    }

    /* Stops the SDK's service; a test whose observer or source uses its
       locals stops it before they go. */
    void StopService()
    {
        emu::ProcessScope InService(ServiceProcess);
        Sdk.Stop();
    }

    void Place(const wchar_t *Path, std::vector<unsigned char> Data)
    {
        MakePlaceholder(Path, Data);
        std::lock_guard<std::mutex> Guard(StoreLock);
        Store[RelativePath(Path)] = std::move(Data);
    }

    /* Reads from Store, after Before (when set) has run. */
    DataSource FromStore(std::function<Result(const HydrationRequest &)> Before = {})
    {
        return [this, Before](const HydrationRequest &Request, ULONGLONG Offset, void *Buffer, ULONG Length) {
            if (Before) {
                Result Early = Before(Request);
                if (!Early.Ok()) {
                    return Early;
                }
            }
            std::lock_guard<std::mutex> Guard(StoreLock);
            auto Found = Store.find(Request.Path);
            if (Found == Store.end() || Offset + Length > Found->second.size()) {
                return zentaflt::service::NtFailure((LONG)0xC0000034, "no data for the file");
            }
            memcpy(Buffer, Found->second.data() + Offset, Length);
            return zentaflt::service::Success();
        };
    }

    Result Start(DataSource Source, ServiceOptions Options = {})
    {
        emu::ProcessScope InService(ServiceProcess);
        return Sdk.Start(L"C:\\Sync", std::move(Source), std::move(Options));
    }

    /* Opens, reads the whole file and closes it as the program, on the
       calling thread. */
    std::vector<unsigned char> ReadWhole(const wchar_t *Path, size_t Length, NTSTATUS *Status)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                                    NULL);
        if (Handle == INVALID_HANDLE_VALUE) {
            *Status = emu::user::LastStatus();
            return {};
        }
        std::vector<unsigned char> Data(Length + 1);
        DWORD Read = 0;
        BOOL Ok = ReadFile(Handle, Data.data(), (DWORD)Data.size(), &Read, NULL);
        *Status = Ok ? STATUS_SUCCESS : emu::user::LastStatus();
        CloseHandle(Handle);
        Data.resize(Ok ? Read : 0);
        return Data;
    }

    SyncService Sdk;
    std::mutex StoreLock;
    std::map<std::u16string, std::vector<unsigned char>> Store;
};

TEST_F(SdkTest, PoolServesRequestsAtOnceAndEveryFileReadsBack)
{
    const int Files = 6;
    std::vector<std::u16string> Paths;
    for (int Index = 0; Index < Files; Index += 1) {
        Paths.push_back(SyncPath("f" + std::to_string(Index) + ".bin"));
        Place(W(Paths.back()), Content(20000 + 4096 * Index, 30 + Index));
    }
    /* Every data-source call waits until three requests are being served
       at once: only a pool of at least three threads gets past it. */
    std::mutex Lock;
    std::condition_variable Changed;
    std::set<ULONGLONG> Serving;
    size_t MostAtOnce = 0;
    auto Gate = [&](const HydrationRequest &Request) {
        std::unique_lock<std::mutex> Guard(Lock);
        Serving.insert(Request.RequestId);
        MostAtOnce = std::max(MostAtOnce, Serving.size());
        Changed.notify_all();
        bool Met = Changed.wait_for(Guard, std::chrono::seconds(30), [&] { return MostAtOnce >= 3; });
        return Met ? zentaflt::service::Success() : zentaflt::service::Failure(E_FAIL, "the pool never served 3");
    };
    ServiceOptions Options;
    Options.Threads = 4;
    ASSERT_TRUE(Start(FromStore(Gate), Options).Ok());

    std::vector<std::thread> Readers;
    std::vector<NTSTATUS> Statuses(Files, STATUS_PENDING);
    std::vector<std::vector<unsigned char>> Read(Files);
    for (int Index = 0; Index < Files; Index += 1) {
        Readers.emplace_back([&, Index] {
            Read[Index] = ReadWhole(W(Paths[Index]), Store[RelativePath(W(Paths[Index]))].size(),
                                    &Statuses[Index]);
        });
    }
    for (std::thread &Reader : Readers) {
        Reader.join();
    }
    for (int Index = 0; Index < Files; Index += 1) {
        EXPECT_EQ(Statuses[Index], STATUS_SUCCESS) << Index;
        EXPECT_EQ(Read[Index], Store[RelativePath(W(Paths[Index]))]) << Index;
    }
    EXPECT_GE(MostAtOnce, 3u);
    EXPECT_TRUE(Eventually([&] { return Sdk.Statistics().Completed == (ULONGLONG)Files; }));
    auto Statistics = Sdk.Statistics();
    EXPECT_EQ(Statistics.Requests, (ULONGLONG)Files);
    EXPECT_EQ(Statistics.Completed, (ULONGLONG)Files);
    EXPECT_EQ(Statistics.Failed, 0u);
    EXPECT_EQ(Statistics.InProgress, 0u);
    StopService();
}

TEST_F(SdkTest, DataSourceFailureCompletesWithAFailureStatusTheProgramSees)
{
    Place(L"C:\\Sync\\gone.bin", Content(9000, 3));
    Place(L"C:\\Sync\\locked.bin", Content(9000, 4));
    Place(L"C:\\Sync\\fine.bin", Content(9000, 5));
    /* Failures by path: the program may wake, and start its next read,
       before the service tells of the completion it just sent. */
    std::map<std::u16string, ServiceEvent> Failures;
    std::mutex Lock;
    ServiceOptions Options;
    Options.Observer = [&](const ServiceEvent &Event) {
        if (Event.Kind == EventKind::HydrationFailed) {
            std::lock_guard<std::mutex> Guard(Lock);
            Failures[Event.Request->Path] = Event;
        }
    };
    auto Fail = [](const HydrationRequest &Request) {
        if (Request.Path == u"\\Sync\\gone.bin") {
            return zentaflt::service::Failure(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "open the source");
        }
        if (Request.Path == u"\\Sync\\locked.bin") {
            return zentaflt::service::Failure(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "open the source");
        }
        return zentaflt::service::Success();
    };
    ASSERT_TRUE(Start(FromStore(Fail), Options).Ok());

    NTSTATUS Status = STATUS_SUCCESS;
    ReadWhole(L"C:\\Sync\\gone.bin", 9000, &Status);
    EXPECT_EQ(Status, STATUS_OBJECT_NAME_NOT_FOUND);
    ReadWhole(L"C:\\Sync\\locked.bin", 9000, &Status);
    EXPECT_EQ(Status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(ReadWhole(L"C:\\Sync\\fine.bin", 9000, &Status), Content(9000, 5));
    EXPECT_EQ(Status, STATUS_SUCCESS);

    /* The program wakes as the completion is taken; the service counts
       it right after. */
    ASSERT_TRUE(Eventually([&] { return Sdk.Statistics().InProgress == 0; }));
    {
        std::lock_guard<std::mutex> Guard(Lock);
        EXPECT_EQ(Failures.size(), 2u);
        const ServiceEvent &Gone = Failures[u"\\Sync\\gone.bin"];
        EXPECT_EQ(Gone.Status, STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_NE(Gone.Message.find("open the source"), std::string::npos) << Gone.Message;
        EXPECT_NE(Gone.Message.find("not found"), std::string::npos) << Gone.Message;
        EXPECT_EQ(Failures[u"\\Sync\\locked.bin"].Status, STATUS_ACCESS_DENIED);
        Failures.clear();
    }
    auto Statistics = Sdk.Statistics();
    EXPECT_EQ(Statistics.Failed, 2u);
    EXPECT_EQ(Statistics.Completed, 1u);

    /* The failed file stays a placeholder: a new read asks again. */
    ReadWhole(L"C:\\Sync\\gone.bin", 9000, &Status);
    EXPECT_EQ(Status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(Facts(L"C:\\Sync\\gone.bin").ReparsePoint);
    StopService();
}

TEST_F(SdkTest, PiecesStartOnUnitsAndAllButTheLastAreWholeUnits)
{
    const size_t Sizes[] = {0, 1, 4095, 4096, 4097, 3 * 8192 + 5, 4 * 8192};
    std::mutex Lock;
    std::map<std::u16string, std::vector<std::pair<ULONGLONG, ULONG>>> Pieces;
    ServiceOptions Options;
    Options.PieceSize = 10000;  // becomes 8192
    Options.Observer = [&](const ServiceEvent &Event) {
        if (Event.Kind == EventKind::PieceSent) {
            std::lock_guard<std::mutex> Guard(Lock);
            Pieces[Event.Request->Path].push_back({Event.Offset, Event.Length});
        }
    };
    for (size_t Size : Sizes) {
        std::u16string Path = SyncPath("s" + std::to_string(Size) + ".bin");
        Place(W(Path), Content(Size, (unsigned)Size));
    }
    ASSERT_TRUE(Start(FromStore(), Options).Ok());
    for (size_t Size : Sizes) {
        std::u16string Path = SyncPath("s" + std::to_string(Size) + ".bin");
        NTSTATUS Status = STATUS_PENDING;
        EXPECT_EQ(ReadWhole(W(Path), Size, &Status), Content(Size, (unsigned)Size)) << Size;
        EXPECT_EQ(Status, STATUS_SUCCESS) << Size;
        EXPECT_FALSE(Facts(W(Path)).ReparsePoint) << Size;
        auto &Sent = Pieces[RelativePath(W(Path))];
        ULONGLONG Next = 0;
        for (size_t Index = 0; Index < Sent.size(); Index += 1) {
            EXPECT_EQ(Sent[Index].first, Next) << Size;
            EXPECT_EQ(Sent[Index].first % 4096, 0u) << Size;
            EXPECT_LE(Sent[Index].second, 8192u) << Size;
            if (Index + 1 < Sent.size()) {
                EXPECT_EQ(Sent[Index].second % 4096, 0u) << Size;
            }
            Next += Sent[Index].second;
        }
        EXPECT_EQ(Next, Size);
        EXPECT_EQ(Sent.size(), (Size + 8191) / 8192) << Size;
    }
    StopService();
}

TEST_F(SdkTest, StopFailsWaitingProgramsAndALaterServiceHydratesAfresh)
{
    Place(L"C:\\Sync\\slow.bin", Content(50000, 9));
    std::mutex Lock;
    std::condition_variable Changed;
    bool Entered = false, Release = false;
    auto Hold = [&](const HydrationRequest &) {
        std::unique_lock<std::mutex> Guard(Lock);
        Entered = true;
        Changed.notify_all();
        Changed.wait_for(Guard, std::chrono::seconds(30), [&] { return Release; });
        return zentaflt::service::Success();
    };
    std::atomic<int> FailedEvents{0};
    ServiceOptions Options;
    Options.Observer = [&](const ServiceEvent &Event) {
        if (Event.Kind == EventKind::HydrationFailed) {
            FailedEvents += 1;
        }
    };
    ASSERT_TRUE(Start(FromStore(Hold), Options).Ok());
    NTSTATUS Status = STATUS_PENDING;
    std::thread Reader([&] { ReadWhole(L"C:\\Sync\\slow.bin", 50000, &Status); });
    {
        std::unique_lock<std::mutex> Guard(Lock);
        ASSERT_TRUE(Changed.wait_for(Guard, std::chrono::seconds(30), [&] { return Entered; }));
    }
    /* The stop disconnects at once; the pool thread still in the data
       source ends once released, its transfer refused. */
    std::thread Stopper([&] {
        emu::ProcessScope InService(ServiceProcess);
        Sdk.Stop();
    });
    Reader.join();
    EXPECT_EQ(Status, STATUS_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_FALSE(Sdk.Running());
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Release = true;
    }
    Changed.notify_all();
    Stopper.join();
    EXPECT_EQ(FailedEvents.load(), 1);  // the pool thread ended after its failed transfer

    ASSERT_TRUE(Start(FromStore()).Ok());
    EXPECT_EQ(ReadWhole(L"C:\\Sync\\slow.bin", 50000, &Status), Content(50000, 9));
    EXPECT_EQ(Status, STATUS_SUCCESS);
    StopService();
}

TEST_F(SdkTest, ErrorsComeBackAsValuesWithAMessage)
{
    {
        emu::ProcessScope InService(ServiceProcess);
        SyncService Other;
        Result Missing = Other.Start(L"C:\\NoSuchRoot", FromStore());
        EXPECT_FALSE(Missing.Ok());
        EXPECT_EQ(Missing.Code, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
        EXPECT_NE(Missing.Message.find("C:\\NoSuchRoot"), std::string::npos) << Missing.Message;
        EXPECT_NE(Missing.Message.find("not found"), std::string::npos) << Missing.Message;
        Result NoSource = Other.Start(L"C:\\Sync", DataSource());
        EXPECT_EQ(NoSource.Code, E_INVALIDARG);
        EXPECT_FALSE(Other.Running());
    }
    ASSERT_TRUE(Start(FromStore()).Ok());
    Result Again = Start(FromStore());
    EXPECT_EQ(Again.Code, E_INVALIDARG);
    EXPECT_NE(Again.Message.find("already running"), std::string::npos);
    {
        /* A second connection of the same directory is refused by the
           filter, and says so. */
        emu::ProcessScope InService(ServiceProcess);
        SyncService Twin;
        Result Refused = Twin.Start(L"C:\\Sync", FromStore());
        EXPECT_FALSE(Refused.Ok());
        EXPECT_NE(Refused.Message.find("connect the sync root C:\\Sync"), std::string::npos) << Refused.Message;
    }
    EXPECT_TRUE(Sdk.Running());
}

TEST_F(SdkTest, PlaceholdersAreMadeInBatchesEachWithItsOwnResult)
{
    ASSERT_TRUE(Start(FromStore()).Ok());
    Place(L"C:\\Sync\\taken.bin", Content(10, 1));
    std::vector<zentaflt::service::PlaceholderDescription> Batch(4);
    Batch[0].Name = u"one.bin";
    Batch[0].FileSize = 6000;
    Batch[0].ReparseData = {'o', 'n', 'e'};
    Batch[1].Name = u"taken.bin";  // exists already
    Batch[1].FileSize = 1;
    Batch[2].Name = u"";  // no request can carry it
    Batch[3].Name = u"two.bin";
    Batch[3].FileSize = 0;
    Batch[3].ReparseData = {'t', 'w', 'o'};
    std::vector<Result> Each;
    Result All;
    {
        emu::ProcessScope InService(ServiceProcess);
        All = zentaflt::service::MakePlaceholders(L"C:\\Sync", Batch, &Each);
    }
    ASSERT_EQ(Each.size(), 4u);
    EXPECT_TRUE(Each[0].Ok()) << Each[0].Message;
    EXPECT_EQ(Each[1].Code, HRESULT_FROM_NT(STATUS_OBJECT_NAME_COLLISION)) << Each[1].Message;
    EXPECT_NE(Each[1].Message.find("create the placeholder taken.bin in C:\\Sync"), std::string::npos)
        << Each[1].Message;
    EXPECT_EQ(Each[2].Code, E_INVALIDARG);
    EXPECT_TRUE(Each[3].Ok()) << Each[3].Message;
    EXPECT_EQ(All.Code, Each[1].Code);  // the first failure

    FileFacts One = Facts(L"C:\\Sync\\one.bin");
    EXPECT_TRUE(One.ReparsePoint);
    EXPECT_EQ(One.Size, 6000);
    EXPECT_TRUE(Facts(L"C:\\Sync\\two.bin").ReparsePoint);

    /* The service's reference data comes back in the hydration request. */
    {
        std::lock_guard<std::mutex> Guard(StoreLock);
        Store[u"\\Sync\\one.bin"] = Content(6000, 11);
    }
    std::vector<unsigned char> Seen;
    std::mutex Lock;
    StopService();
    ASSERT_TRUE(Start(FromStore([&](const HydrationRequest &Request) {
                    std::lock_guard<std::mutex> Guard(Lock);
                    Seen = Request.ReparseData;
                    return zentaflt::service::Success();
                })).Ok());
    NTSTATUS Status = STATUS_PENDING;
    EXPECT_EQ(ReadWhole(L"C:\\Sync\\one.bin", 6000, &Status), Content(6000, 11));
    EXPECT_EQ(Seen, (std::vector<unsigned char>{'o', 'n', 'e'}));
    {
        emu::ProcessScope InService(ServiceProcess);
        Result Missing = zentaflt::service::MakePlaceholder(L"C:\\NoSuchDir", Batch[0]);
        EXPECT_FALSE(Missing.Ok());
        EXPECT_NE(Missing.Message.find("C:\\NoSuchDir"), std::string::npos) << Missing.Message;
    }
    StopService();
}

TEST_F(SdkTest, AFullFileConvertsBackAndAPlaceholderChanges)
{
    ASSERT_TRUE(Start(FromStore()).Ok());
    MakeFile(L"C:\\Sync\\full.bin", Content(20000, 5));
    {
        std::lock_guard<std::mutex> Guard(StoreLock);
        Store[u"\\Sync\\full.bin"] = Content(20000, 5);
    }
    Result Converted;
    {
        emu::ProcessScope InService(ServiceProcess);
        Converted = zentaflt::service::ConvertFile(L"C:\\Sync\\full.bin", {'f'});
    }
    ASSERT_TRUE(Converted.Ok()) << Converted.Message;
    FileFacts After = Facts(L"C:\\Sync\\full.bin");
    EXPECT_TRUE(After.ReparsePoint);
    EXPECT_EQ(After.Size, 20000);
    NTSTATUS Status = STATUS_PENDING;
    EXPECT_EQ(ReadWhole(L"C:\\Sync\\full.bin", 20000, &Status), Content(20000, 5));
    EXPECT_FALSE(Facts(L"C:\\Sync\\full.bin").ReparsePoint);

    Place(L"C:\\Sync\\grow.bin", Content(100, 6));
    zentaflt::service::PlaceholderDescription Bigger;
    Bigger.FileSize = 9000;
    Result Changed, Refused, Outside;
    {
        emu::ProcessScope InService(ServiceProcess);
        Changed = zentaflt::service::ChangePlaceholder(L"C:\\Sync\\grow.bin", PlaceholderUpdateEndOfFile, Bigger);
        /* A hydrated file is no placeholder to change. */
        Refused = zentaflt::service::ChangePlaceholder(L"C:\\Sync\\full.bin", PlaceholderUpdateEndOfFile, Bigger);
        Outside = zentaflt::service::ConvertFile(L"C:\\Outside\\nothing.bin", {});
    }
    EXPECT_TRUE(Changed.Ok()) << Changed.Message;
    EXPECT_EQ(Facts(L"C:\\Sync\\grow.bin").Size, 9000);
    EXPECT_FALSE(Refused.Ok());
    EXPECT_NE(Refused.Message.find("update the placeholder C:\\Sync\\full.bin"), std::string::npos)
        << Refused.Message;
    EXPECT_EQ(Outside.Code, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) << Outside.Message;
    StopService();
}

TEST_F(SdkTest, ThePolicyAnswersEachQuestionAndProgramsSeeItsRefusals)
{
    std::mutex Lock;
    std::vector<zentaflt::service::Question> Asked;
    std::vector<ServiceEvent> Answers;
    ServiceOptions Options;
    Options.Policy = [&](const zentaflt::service::Question &Question) -> SERVICE_REPLY {
        std::lock_guard<std::mutex> Guard(Lock);
        Asked.push_back(Question);
        return Question.Kind == zentaflt::service::QuestionKind::RenameDirectory ? ReplyDeny : 0;
    };
    Options.Observer = [&](const ServiceEvent &Event) {
        if (Event.Kind == EventKind::QuestionAnswered) {
            std::lock_guard<std::mutex> Guard(Lock);
            Answers.push_back(Event);
        }
    };
    ASSERT_TRUE(Start(FromStore(), Options).Ok());
    NTSTATUS Renamed, Deleted;
    {
        emu::ProcessScope InProgram(Program);
        ASSERT_TRUE(CreateDirectoryW(L"C:\\Sync\\dir", NULL));
        Renamed = MoveFileExW(L"C:\\Sync\\dir", L"C:\\Sync\\dir2", 0) ? STATUS_SUCCESS : emu::user::LastStatus();
        Deleted = RemoveDirectoryW(L"C:\\Sync\\dir") ? STATUS_SUCCESS : emu::user::LastStatus();
    }
    EXPECT_EQ(Renamed, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Deleted, STATUS_SUCCESS);
    ASSERT_EQ(Asked.size(), 2u);
    EXPECT_EQ(Asked[0].Kind, zentaflt::service::QuestionKind::RenameDirectory);
    EXPECT_EQ(Asked[0].Path, u"\\Sync\\dir");
    EXPECT_EQ(Asked[0].DestinationPath, u"\\Sync\\dir2");
    EXPECT_EQ(Asked[1].Kind, zentaflt::service::QuestionKind::DeleteDirectory);
    ASSERT_TRUE(Eventually([&] { return Sdk.Statistics().Questions == 2; }));
    std::lock_guard<std::mutex> Guard(Lock);
    ASSERT_EQ(Answers.size(), 2u);
    /* The observer hears after the reply went, so the two may come in
       either order. */
    if (Answers[0].MessageType != (ULONG)MessageTypeRenameDirectory) {
        std::swap(Answers[0], Answers[1]);
    }
    EXPECT_EQ(Answers[0].Reply, (SERVICE_REPLY)ReplyDeny);
    EXPECT_EQ(Answers[0].MessageType, (ULONG)MessageTypeRenameDirectory);
    EXPECT_EQ(Answers[0].DestinationPath, u"\\Sync\\dir2");
    EXPECT_EQ(Answers[1].MessageType, (ULONG)MessageTypeDeleteDirectory);
    EXPECT_EQ(Answers[1].Reply, 0u);
    EXPECT_TRUE(Answers[1].Message.empty());
}

TEST(SdkResults, CompletionStatusesAndDescriptions)
{
    using namespace zentaflt::service;
    EXPECT_EQ(CompletionStatusOf(HRESULT_FROM_NT(0xC000CF01)), (LONG)0xC000CF01);
    EXPECT_EQ(CompletionStatusOf(HRESULT_FROM_NT(0x00000103)), (LONG)0xC0000001);  // not a failure: made one
    EXPECT_EQ(CompletionStatusOf(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)), (LONG)0xC0000034);
    EXPECT_EQ(CompletionStatusOf(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), (LONG)0xC0000022);
    EXPECT_EQ(CompletionStatusOf(E_OUTOFMEMORY), (LONG)0xC0000001);
    EXPECT_EQ(DescribeCode(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)), "0x80070002 (the file was not found)");
    EXPECT_EQ(DescribeCode(HRESULT_FROM_NT(0xC000CF01)), "0xD000CF01 (the service is not connected 0xC000CF01)");
    Result Made = Failure(S_OK, "something");
    EXPECT_FALSE(Made.Ok());  // a failure is never a success code
    EXPECT_EQ(Utf8(u"C:\\\u00e9\u4e2d\U0001F600"), "C:\\\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80");
    EXPECT_EQ(Utf16("C:\\\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80"), u"C:\\\u00e9\u4e2d\U0001F600");
}

}  // namespace
}  // namespace zentaflt_test
