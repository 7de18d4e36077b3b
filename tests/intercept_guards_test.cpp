/*
 * The namespace guards as programs meet them: directory deletes and
 * renames and file moves out of a sync root, put to the service of the
 * source's sync root through the port, with the status the program sees
 * for every answer; the recycle bin; questions that must not be asked;
 * foreign reparse points; and a service that goes away, does not answer in
 * time or answers short.
 */
#include <future>

#include "HydrationFixture.h"

namespace zentaflt_test {
namespace {

constexpr LONGLONG OneSecond = 10 * 1000 * 1000;

/* A question as the service saw it, with narrowed paths. */
struct Asked {
    service::QuestionKind Kind;
    std::string Path;
    std::string Destination;
    std::vector<unsigned char> ReparseData;
};

/* Records every question a service is asked and answers it with Answer. */
class QuestionLog {
public:
    service::QuestionPolicy Policy()
    {
        return [this](const service::Question &Question) {
            std::lock_guard<std::mutex> Guard(Lock);
            Seen.push_back({Question.Kind, Narrow(Question.Path), Narrow(Question.DestinationPath),
                            Question.ReparseData});
            EXPECT_FALSE(Question.VolumePath.empty());
            return Answer.load();
        };
    }

    std::vector<Asked> Take()
    {
        std::lock_guard<std::mutex> Guard(Lock);
        std::vector<Asked> Out;
        Out.swap(Seen);
        return Out;
    }

    std::atomic<SERVICE_REPLY> Answer{0};

private:
    std::mutex Lock;
    std::vector<Asked> Seen;
};

class GuardTest : public HydrationTest {
protected:
    void SetUp() override
    {
        HydrationTest::SetUp();
        Service->Questions = Log.Policy();
    }

    /* MoveFileExW as the program; the NTSTATUS it ended with. */
    NTSTATUS Move(const wchar_t *From, const wchar_t *To, DWORD Flags = 0)
    {
        emu::ProcessScope InProgram(Program);
        return MoveFileExW(From, To, Flags) ? STATUS_SUCCESS : emu::user::LastStatus();
    }

    NTSTATUS RemoveDirectory(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        return RemoveDirectoryW(Path) ? STATUS_SUCCESS : emu::user::LastStatus();
    }

    NTSTATUS Delete(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        return DeleteFileW(Path) ? STATUS_SUCCESS : emu::user::LastStatus();
    }

    void MakeDirectory(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        ASSERT_TRUE(CreateDirectoryW(Path, NULL)) << emu::user::LastStatus();
    }

    bool Exists(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    NULL);
        if (Handle == INVALID_HANDLE_VALUE) {
            EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
            return false;
        }
        CloseHandle(Handle);
        return true;
    }

    /* Sets a disposition record on Path (opened for DELETE) as the program. */
    template <typename Record> NTSTATUS Dispose(const wchar_t *Path, FILE_INFORMATION_CLASS Class, Record Value)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        EXPECT_NE(Handle, INVALID_HANDLE_VALUE);
        IO_STATUS_BLOCK Io = {};
        NTSTATUS Status = NtSetInformationFile(Handle, &Io, &Value, sizeof(Value), Class);
        CloseHandle(Handle);
        return Status;
    }

    QuestionLog Log;
};

void ExpectAsked(const Asked &Question, service::QuestionKind Kind, const std::string &Path,
                 const std::string &Destination = "")
{
    EXPECT_EQ(Question.Kind, Kind);
    EXPECT_EQ(Question.Path, Path);
    EXPECT_EQ(Question.Destination, Destination);
}

TEST_F(GuardTest, DirectoryDeletesAreAskedAndRefusedWithASharingViolation)
{
    MakeDirectory(L"C:\\Sync\\Kept");
    Log.Answer = ReplyDeny;
    EXPECT_EQ(RemoveDirectory(L"C:\\Sync\\Kept"), STATUS_SHARING_VIOLATION);
    EXPECT_TRUE(Exists(L"C:\\Sync\\Kept"));
    std::vector<Asked> Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 1u);
    ExpectAsked(Questions[0], service::QuestionKind::DeleteDirectory, "\\Sync\\Kept");

    /* The sync-root directory itself is asked about like any directory in
       it (its name in the stored case). */
    EXPECT_EQ(RemoveDirectory(L"C:\\SYNC"), STATUS_SHARING_VIOLATION);
    Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 1u);
    ExpectAsked(Questions[0], service::QuestionKind::DeleteDirectory, "\\Sync");

    /* The Ex class, POSIX semantics included, is asked the same way. */
    EXPECT_EQ(Dispose(L"C:\\Sync\\Kept", FileDispositionInformationEx,
                      FILE_DISPOSITION_INFORMATION_EX{FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS}),
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(Log.Take().size(), 1u);

    /* Any other reply lets the delete go on. */
    for (SERVICE_REPLY Reply : {0u, (SERVICE_REPLY)ReplyHydrateFirst, 776u}) {
        MakeDirectory(L"C:\\Sync\\Gone");
        Log.Answer = Reply;
        EXPECT_EQ(RemoveDirectory(L"C:\\Sync\\Gone"), STATUS_SUCCESS) << Reply;
        EXPECT_FALSE(Exists(L"C:\\Sync\\Gone"));
        EXPECT_EQ(Log.Take().size(), 1u);
    }
    EXPECT_EQ(Service->MessageCount(), 0u);  // no hydration was asked for
}

TEST_F(GuardTest, FileDeletesUndeletesAndEverythingOutsideAskNothing)
{
    Log.Answer = ReplyDeny;
    MakeFile(L"C:\\Sync\\file.txt", Content(10));
    MakeDirectory(L"C:\\Sync\\Dir");
    MakeDirectory(L"C:\\Outside\\Dir");
    MakeFile(L"C:\\Outside\\out.txt", Content(10));

    /* A disposition whose first byte is zero is no delete, both classes,
       also for a directory in the sync root. */
    EXPECT_EQ(Dispose(L"C:\\Sync\\Dir", FileDispositionInformation, FILE_DISPOSITION_INFORMATION{FALSE}),
              STATUS_SUCCESS);
    EXPECT_EQ(Dispose(L"C:\\Sync\\Dir", FileDispositionInformationEx,
                      FILE_DISPOSITION_INFORMATION_EX{FILE_DISPOSITION_DO_NOT_DELETE}),
              STATUS_SUCCESS);
    EXPECT_TRUE(Exists(L"C:\\Sync\\Dir"));

    /* A file's delete and its rename within the sync root. */
    EXPECT_EQ(Move(L"C:\\Sync\\file.txt", L"C:\\Sync\\Dir\\Renamed.txt"), STATUS_SUCCESS);
    EXPECT_EQ(Delete(L"C:\\Sync\\Dir\\Renamed.txt"), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(L"C:\\Sync\\Dir\\Renamed.txt"));

    /* Outside every sync root, and moves into one. */
    EXPECT_EQ(Move(L"C:\\Outside\\Dir", L"C:\\Outside\\Moved"), STATUS_SUCCESS);
    EXPECT_EQ(Move(L"C:\\Outside\\Moved", L"C:\\Sync\\FromOutside"), STATUS_SUCCESS);
    EXPECT_EQ(Move(L"C:\\Outside\\out.txt", L"C:\\Sync\\in.txt"), STATUS_SUCCESS);
    MakeDirectory(L"C:\\Outside\\Doomed");
    EXPECT_EQ(RemoveDirectory(L"C:\\Outside\\Doomed"), STATUS_SUCCESS);

    EXPECT_TRUE(Log.Take().empty());
    EXPECT_EQ(Service->MessageCount(), 0u);
    EXPECT_EQ(emu::QueuedMessages(Service->Connection.Port, ServiceProcess), 0u);
}

TEST_F(GuardTest, DirectoryRenamesAreAskedAndLeaveOnlyForTheRecycleBin)
{
    MakeDirectory(L"C:\\Sync\\Dir");
    MakeFile(L"C:\\Sync\\Dir\\inside.txt", Content(5));

    /* Within the sync root: asked; refused on ReplyDeny. */
    Log.Answer = ReplyDeny;
    EXPECT_EQ(Move(L"C:\\Sync\\Dir", L"C:\\Sync\\Renamed"), STATUS_SHARING_VIOLATION);
    Log.Answer = 0;
    EXPECT_EQ(Move(L"C:\\sync\\dir", L"C:\\Sync\\Renamed"), STATUS_SUCCESS);
    std::vector<Asked> Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 2u);
    ExpectAsked(Questions[0], service::QuestionKind::RenameDirectory, "\\Sync\\Dir", "\\Sync\\Renamed");
    ExpectAsked(Questions[1], service::QuestionKind::RenameDirectory, "\\Sync\\Dir", "\\Sync\\Renamed");
    EXPECT_TRUE(Exists(L"C:\\Sync\\Renamed\\inside.txt"));

    /* Out of the sync root: asked first, then refused with
       STATUS_NOT_SAME_DEVICE whatever the consent; ReplyDeny still gives
       the sharing violation. */
    for (SERVICE_REPLY Reply : {0u, (SERVICE_REPLY)ReplyHydrateFirst}) {
        Log.Answer = Reply;
        EXPECT_EQ(Move(L"C:\\Sync\\Renamed", L"C:\\Outside\\Renamed"), STATUS_NOT_SAME_DEVICE);
    }
    Log.Answer = ReplyDeny;
    EXPECT_EQ(Move(L"C:\\Sync\\Renamed", L"C:\\Outside\\Renamed"), STATUS_SHARING_VIOLATION);
    Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 3u);
    ExpectAsked(Questions[2], service::QuestionKind::RenameDirectory, "\\Sync\\Renamed", "\\Outside\\Renamed");
    EXPECT_TRUE(Exists(L"C:\\Sync\\Renamed"));
    EXPECT_FALSE(Exists(L"C:\\Outside\\Renamed"));

    /* The recycle-bin directory itself is not inside it; a place inside it,
       in any letter case, is where a directory may go. */
    MakeDirectory(L"C:\\$Recycle.Binx");
    Log.Answer = 0;
    EXPECT_EQ(Move(L"C:\\Sync\\Renamed", L"C:\\$RECYCLE.BIN", MOVEFILE_REPLACE_EXISTING), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(Move(L"C:\\Sync\\Renamed", L"C:\\$Recycle.Bin"), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(Move(L"C:\\Sync\\Renamed", L"C:\\$recycle.binx\\Renamed"), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(Move(L"C:\\Sync\\Renamed", L"C:\\$Recycle.Bin\\Renamed"), STATUS_SUCCESS);
    Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 4u);
    ExpectAsked(Questions[0], service::QuestionKind::RenameDirectory, "\\Sync\\Renamed", "\\$Recycle.Bin");
    ExpectAsked(Questions[3], service::QuestionKind::RenameDirectory, "\\Sync\\Renamed",
                "\\$Recycle.Bin\\Renamed");  // the destination normalized: the bin's stored, mixed case
    EXPECT_TRUE(Exists(L"C:\\$Recycle.Bin\\Renamed\\inside.txt"));

    /* ReplyDeny keeps a directory out of the recycle bin too. */
    MakeDirectory(L"C:\\Sync\\Second");
    Log.Answer = ReplyDeny;
    EXPECT_EQ(Move(L"C:\\Sync\\Second", L"C:\\$recycle.bin\\Second"), STATUS_SHARING_VIOLATION);
    EXPECT_TRUE(Exists(L"C:\\Sync\\Second"));
    EXPECT_EQ(Log.Take().size(), 1u);

    EXPECT_EQ(RecycleBinPrefix.Length, 28);
    EXPECT_EQ(RecycleBinPrefix.MaximumLength, 30);
    EXPECT_EQ(RecycleBinPrefix.Buffer[14], 0);
}

TEST_F(GuardTest, TheSyncRootDirectoryRenamedLeavesItsSyncRoot)
{
    Log.Answer = 0;
    EXPECT_EQ(Move(L"C:\\Sync", L"C:\\Synced"), STATUS_NOT_SAME_DEVICE);
    Log.Answer = ReplyDeny;
    EXPECT_EQ(Move(L"C:\\Sync", L"C:\\Synced"), STATUS_SHARING_VIOLATION);
    std::vector<Asked> Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 2u);
    ExpectAsked(Questions[0], service::QuestionKind::RenameDirectory, "\\Sync", "\\Synced");
    EXPECT_TRUE(Exists(L"C:\\Sync"));
    EXPECT_FALSE(Exists(L"C:\\Synced"));

    /* Only the recycle bin takes it. */
    Log.Answer = 0;
    EXPECT_EQ(Move(L"C:\\Sync", L"C:\\$Recycle.Bin\\Sync"), STATUS_SUCCESS);
    EXPECT_EQ(Log.Take().size(), 1u);
    EXPECT_TRUE(Exists(L"C:\\$Recycle.Bin\\Sync"));
}

TEST_F(GuardTest, FilesMovedOutAreAskedWithTheirReparseData)
{
    MakeFile(L"C:\\Sync\\plain.txt", Content(10));
    MakePlaceholder(L"C:\\Sync\\holder.bin", Content(5000), {9, 8, 7, 6, 5});

    /* Refused: access denied, the file stays. */
    Log.Answer = ReplyDeny;
    EXPECT_EQ(Move(L"C:\\Sync\\plain.txt", L"C:\\Outside\\plain.txt"), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Exists(L"C:\\Sync\\plain.txt"));
    EXPECT_EQ(Move(L"C:\\Sync\\holder.bin", L"C:\\Outside\\holder.bin"), STATUS_ACCESS_DENIED);
    std::vector<Asked> Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 2u);
    ExpectAsked(Questions[0], service::QuestionKind::MoveFileOut, "\\Sync\\plain.txt", "\\Outside\\plain.txt");
    EXPECT_TRUE(Questions[0].ReparseData.empty());  // no reparse point: no data, length 0
    ExpectAsked(Questions[1], service::QuestionKind::MoveFileOut, "\\Sync\\holder.bin", "\\Outside\\holder.bin");
    EXPECT_EQ(Questions[1].ReparseData, (std::vector<unsigned char>{9, 8, 7, 6, 5}));

    /* The recycle bin is outside the sync root for a file. */
    EXPECT_EQ(Move(L"C:\\Sync\\plain.txt", L"C:\\$Recycle.Bin\\plain.txt"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Log.Take().size(), 1u);

    /* Consent moves the file as it is: a placeholder stays one. */
    Log.Answer = 0;
    EXPECT_EQ(Move(L"C:\\Sync\\holder.bin", L"C:\\Outside\\holder.bin"), STATUS_SUCCESS);
    EXPECT_EQ(Move(L"C:\\Sync\\plain.txt", L"C:\\$Recycle.Bin\\plain.txt"), STATUS_SUCCESS);
    EXPECT_EQ(Log.Take().size(), 2u);
    EXPECT_TRUE(Facts(L"C:\\Outside\\holder.bin").ReparsePoint);
    EXPECT_EQ(Facts(L"C:\\$Recycle.Bin\\plain.txt").Data, Content(10));
    EXPECT_EQ(Service->MessageCount(), 0u);
}

TEST_F(GuardTest, HydrateFirstMovesTheFileWithItsWholeContent)
{
    std::vector<unsigned char> Data = Content(3 * 4096 + 100, 11);
    MakePlaceholder(L"C:\\Sync\\big.bin", Data);
    Log.Answer = ReplyHydrateFirst;
    EXPECT_EQ(Move(L"C:\\Sync\\big.bin", L"C:\\Outside\\big.bin"), STATUS_SUCCESS);
    EXPECT_EQ(Log.Take().size(), 1u);
    ASSERT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(Narrow(Service->Messages()[0].Path), "\\Sync\\big.bin");
    FileFacts Moved = Facts(L"C:\\Outside\\big.bin");
    EXPECT_FALSE(Moved.ReparsePoint);
    EXPECT_EQ(Moved.Data, Data);
    EXPECT_FALSE(Exists(L"C:\\Sync\\big.bin"));

    /* A hydration that fails keeps the file where it was, with the
       hydration's status. */
    MakePlaceholder(L"C:\\Sync\\failing.bin", Content(100));
    Service->Hold = true;
    NTSTATUS Status = STATUS_PENDING;
    std::thread Mover([&] { Status = Move(L"C:\\Sync\\failing.bin", L"C:\\Outside\\failing.bin"); });
    ASSERT_TRUE(Service->WaitForMessages(2));
    EXPECT_EQ(Service->Complete(Service->Messages()[1].RequestId, STATUS_UNSUCCESSFUL), STATUS_SUCCESS);
    Mover.join();
    EXPECT_EQ(Status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Exists(L"C:\\Sync\\failing.bin"));
    EXPECT_FALSE(Exists(L"C:\\Outside\\failing.bin"));

    /* A plain file has nothing to hydrate and moves at once. */
    MakeFile(L"C:\\Sync\\plain.txt", Content(7));
    EXPECT_EQ(Move(L"C:\\Sync\\plain.txt", L"C:\\Outside\\plain.txt"), STATUS_SUCCESS);
    EXPECT_EQ(Service->MessageCount(), 2u);
}

TEST_F(GuardTest, AFileBetweenTwoSyncRootsAsksTheSourcesService)
{
    MakeDirectory(L"C:\\Other");
    QuestionLog SecondLog;  // outlives the service thread that answers with it
    TestService Second(ServiceProcess);
    Second.Questions = SecondLog.Policy();
    ASSERT_EQ(Second.Connect(L"C:\\Other"), STATUS_SUCCESS);
    MakeFile(L"C:\\Sync\\a.txt", Content(3));
    MakeDirectory(L"C:\\Sync\\Dir");

    Log.Answer = ReplyDeny;
    SecondLog.Answer = 0;
    EXPECT_EQ(Move(L"C:\\Sync\\a.txt", L"C:\\Other\\a.txt"), STATUS_ACCESS_DENIED);
    Log.Answer = 0;
    SecondLog.Answer = ReplyDeny;
    EXPECT_EQ(Move(L"C:\\Sync\\a.txt", L"C:\\Other\\a.txt"), STATUS_SUCCESS);
    /* A directory may not go to another sync root. */
    EXPECT_EQ(Move(L"C:\\Sync\\Dir", L"C:\\Other\\Dir"), STATUS_NOT_SAME_DEVICE);
    std::vector<Asked> Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 3u);
    ExpectAsked(Questions[1], service::QuestionKind::MoveFileOut, "\\Sync\\a.txt", "\\Other\\a.txt");
    ExpectAsked(Questions[2], service::QuestionKind::RenameDirectory, "\\Sync\\Dir", "\\Other\\Dir");
    EXPECT_TRUE(SecondLog.Take().empty());

    /* Back again: now the other service is asked. */
    EXPECT_EQ(Move(L"C:\\Other\\a.txt", L"C:\\Sync\\a.txt"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SecondLog.Take().size(), 1u);
    EXPECT_TRUE(Log.Take().empty());
    Second.Stop();
}

/* Tags a file in the sync root with a reparse point below the filter, as
   another product's driver would. */
void TagBelow(PFLT_INSTANCE Instance, emu::EmuProcess *Program, const std::u16string &Path, ULONG Tag,
              const GUID *Guid, const std::vector<unsigned char> &Data)
{
    emu::ProcessScope InProgram(Program);
    HANDLE Handle = NULL;
    PFILE_OBJECT File = NULL;
    ASSERT_EQ(emu::OpenBelow(Instance, Path, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, 0, FILE_OPEN_REPARSE_POINT,
                             &Handle, &File),
              STATUS_SUCCESS);
    EXPECT_EQ(FltTagFile(Instance, File, Tag, (GUID *)Guid, (PVOID)Data.data(), (USHORT)Data.size()),
              STATUS_SUCCESS);
    ObDereferenceObject(File);
    CloseHandle(Handle);
}

TEST_F(GuardTest, ForeignReparsePointsSendWhatLiesPastTheGuidHeaderOrFailTheMove)
{
    std::vector<unsigned char> Long(100);
    for (size_t Index = 0; Index < Long.size(); Index += 1) {
        Long[Index] = (unsigned char)(Index + 1);
    }
    const GUID Foreign = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    MakeFile(L"C:\\Sync\\short.lnk", {});
    MakeFile(L"C:\\Sync\\long.lnk", {});
    MakeFile(L"C:\\Sync\\huge.bin", {});
    TagBelow(Instance, Program, u"\\Sync\\short.lnk", IO_REPARSE_TAG_DEDUP, NULL, {1, 2, 3, 4});
    TagBelow(Instance, Program, u"\\Sync\\long.lnk", IO_REPARSE_TAG_DEDUP, NULL, Long);
    TagBelow(Instance, Program, u"\\Sync\\huge.bin", 0x00000123, &Foreign, std::vector<unsigned char>(1100, 0x5A));

    /* The program renames the reparse points themselves. */
    auto MoveOut = [&](const wchar_t *From, const std::u16string &To) {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(From, DELETE | SYNCHRONIZE, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        EXPECT_NE(Handle, INVALID_HANDLE_VALUE) << emu::user::LastStatus();
        std::u16string Name = u"\\??\\C:" + To;
        std::vector<UCHAR> Buffer(sizeof(FILE_RENAME_INFORMATION) + Name.size() * sizeof(WCHAR));
        auto Rename = (PFILE_RENAME_INFORMATION)Buffer.data();
        Rename->FileNameLength = (ULONG)(Name.size() * sizeof(WCHAR));
        memcpy(Rename->FileName, Name.data(), Rename->FileNameLength);
        IO_STATUS_BLOCK Io = {};
        NTSTATUS Status = NtSetInformationFile(Handle, &Io, Rename, (ULONG)Buffer.size(), FileRenameInformation);
        CloseHandle(Handle);
        return Status;
    };

    Log.Answer = 0;
    /* A Microsoft tag's 8-byte header and 4 bytes: shorter than a GUID
       header, so no data and length 0. */
    EXPECT_EQ(MoveOut(L"C:\\Sync\\short.lnk", u"\\Outside\\short.lnk"), STATUS_SUCCESS);
    /* 100 bytes after an 8-byte header: the bytes past 24, 84 of them. */
    EXPECT_EQ(MoveOut(L"C:\\Sync\\long.lnk", u"\\Outside\\long.lnk"), STATUS_SUCCESS);
    std::vector<Asked> Questions = Log.Take();
    ASSERT_EQ(Questions.size(), 2u);
    EXPECT_TRUE(Questions[0].ReparseData.empty());
    EXPECT_EQ(Questions[1].ReparseData, std::vector<unsigned char>(Long.begin() + 16, Long.end()));

    /* More than 1024 bytes of data cannot be read back: the move fails
       with the read's status and nothing is asked. */
    EXPECT_EQ(MoveOut(L"C:\\Sync\\huge.bin", u"\\Outside\\huge.bin"), STATUS_BUFFER_OVERFLOW);
    EXPECT_TRUE(Log.Take().empty());
    EXPECT_TRUE(Exists(L"C:\\Sync\\huge.bin"));
    /* Within the sync root it renames without a read or a question. */
    EXPECT_EQ(MoveOut(L"C:\\Sync\\huge.bin", u"\\Sync\\huge2.bin"), STATUS_SUCCESS);
    EXPECT_TRUE(Log.Take().empty());
}

/* The service played by the test thread itself, so that it can go away,
   stay silent or answer short while a question is out. */
class SilentServiceTest : public GuardTest {
protected:
    void SetUp() override
    {
        GuardTest::SetUp();
        MakeDirectory(L"C:\\Raw");
        MakeDirectory(L"C:\\Raw\\Dir");
        emu::ProcessScope InService(ServiceProcess);
        ASSERT_EQ(service::ConnectSyncRootPath(L"C:\\Raw", &Raw), S_OK);
        Received = std::make_unique<service::ReceivedMessage>();
    }

    void TearDown() override
    {
        if (Mover.joinable()) {
            Mover.join();
        }
        {
            emu::ProcessScope InService(ServiceProcess);
            service::Disconnect(&Raw);
        }
        GuardTest::TearDown();
    }

    /* The program renames C:\Raw\Dir on a thread; the test takes the
       question. */
    void AskAndTake()
    {
        Mover = std::thread([this] { Result = Move(L"C:\\Raw\\Dir", L"C:\\Raw\\Renamed"); });
        emu::ProcessScope InService(ServiceProcess);
        ASSERT_EQ(service::ReceiveMessage(Raw, Received.get()), S_OK);
        EXPECT_EQ(Received->Message.MessageType, (ULONG)MessageTypeRenameDirectory);
    }

    NTSTATUS Finish()
    {
        Mover.join();
        return Result.load();
    }

    service::ServiceConnection Raw;
    std::unique_ptr<service::ReceivedMessage> Received;
    std::thread Mover;
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
};

TEST_F(SilentServiceTest, AServiceGoneWhileAskedFailsTheRenameWithProviderNotRunning)
{
    AskAndTake();
    {
        emu::ProcessScope InService(ServiceProcess);
        service::Disconnect(&Raw);
    }
    EXPECT_EQ(Finish(), (NTSTATUS)0xC000CF01);
    EXPECT_TRUE(Exists(L"C:\\Raw\\Dir"));
}

TEST_F(SilentServiceTest, NoAnswerWithinTheTimeIsAccessDenied)
{
    AskAndTake();
    System->SystemClock().Advance(300 * OneSecond);
    EXPECT_EQ(Finish(), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(Exists(L"C:\\Raw\\Dir"));
}

TEST_F(SilentServiceTest, AReplyShorterThanFourBytesIsNoVerdict)
{
    /* Two bytes of consent, and two that would read as ReplyDeny: neither
       counts, and the rename fails as unanswered. */
    for (const std::vector<UCHAR> &Short : {std::vector<UCHAR>{0, 0}, std::vector<UCHAR>{0x07, 0x03},
                                            std::vector<UCHAR>{}}) {
        AskAndTake();
        struct {
            FILTER_REPLY_HEADER Header;
            UCHAR Bytes[4];
        } Reply = {{0, Received->Header.MessageId}, {}};
        if (!Short.empty()) {
            memcpy(Reply.Bytes, Short.data(), Short.size());
        }
        {
            emu::ProcessScope InService(ServiceProcess);
            EXPECT_EQ(FilterReplyMessage(Raw.Port, &Reply.Header, (DWORD)(sizeof(FILTER_REPLY_HEADER) + Short.size())),
                      S_OK);
        }
        EXPECT_EQ(Finish(), STATUS_ACCESS_DENIED);
        EXPECT_TRUE(Exists(L"C:\\Raw\\Dir"));
    }
    /* A whole reply counts. */
    AskAndTake();
    {
        emu::ProcessScope InService(ServiceProcess);
        EXPECT_EQ(service::AnswerQuestion(Raw, *Received, nullptr), S_OK);
    }
    EXPECT_EQ(Finish(), STATUS_SUCCESS);
    EXPECT_TRUE(Exists(L"C:\\Raw\\Renamed"));
}

}  // namespace
}  // namespace zentaflt_test
