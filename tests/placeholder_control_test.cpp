/*
 * placeholder_control_test.cpp - the placeholder control request, sent by
 * the service through its own calls and as raw requests: atomic creation
 * (against programs opening the names at the same time), every length
 * rule, the handle and state rules of conversion and update, the fast-I/O
 * refusal, and other device controls passing untouched.
 */
#include <winternl.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "HydrationFixture.h"

namespace zentaflt_test {
namespace {

/* A device control the filter does not know, with the placeholder code's
   device type and access, one function further. */
constexpr ULONG OtherControlCode = PlaceholderControlCode + (1u << 2);

class PlaceholderControlTest : public HydrationTest {
protected:
    static service::PlaceholderDescription Description(const std::u16string &Name, LONGLONG Size = 10000)
    {
        service::PlaceholderDescription Placeholder;
        Placeholder.Name = Name;
        Placeholder.FileSize = Size;
        Placeholder.CreationTime.QuadPart = 131000000000000000LL;
        Placeholder.LastAccessTime.QuadPart = 131000000000001000LL;
        Placeholder.LastWriteTime.QuadPart = 131000000000002000LL;
        Placeholder.ChangeTime.QuadPart = 131000000000003000LL;
        Placeholder.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
        Placeholder.ReparseData = Content(100, 3);
        return Placeholder;
    }

    HRESULT Create(const service::PlaceholderDescription &Placeholder, const wchar_t *Directory = L"C:\\Sync")
    {
        emu::ProcessScope InService(ServiceProcess);
        return service::CreatePlaceholderIn(Directory, Placeholder);
    }

    HRESULT Convert(const wchar_t *Path, const std::vector<unsigned char> &ReparseData)
    {
        emu::ProcessScope InService(ServiceProcess);
        return service::ConvertToPlaceholder(Path, ReparseData.data(), (USHORT)ReparseData.size());
    }

    HRESULT Update(const wchar_t *Path, ULONG Flags, const service::PlaceholderDescription &Placeholder)
    {
        emu::ProcessScope InService(ServiceProcess);
        return service::UpdatePlaceholder(Path, Flags, Placeholder);
    }

    /* Opens Path in Process; INVALID_HANDLE_VALUE on failure. */
    static HANDLE OpenIn(emu::EmuProcess *Process, const wchar_t *Path, DWORD Access, DWORD Share, DWORD Flags)
    {
        emu::ProcessScope In(Process);
        return CreateFileW(Path, Access, Share, NULL, OPEN_EXISTING, Flags, NULL);
    }

    static void CloseIn(emu::EmuProcess *Process, HANDLE Handle)
    {
        emu::ProcessScope In(Process);
        CloseHandle(Handle);
    }

    /* Sends Request with Code on Handle in Process; the request's status. */
    static NTSTATUS Send(emu::EmuProcess *Process, HANDLE Handle, std::vector<unsigned char> &Request,
                         ULONG Code = PlaceholderControlCode)
    {
        emu::ProcessScope In(Process);
        IO_STATUS_BLOCK IoStatus = {};
        return NtDeviceIoControlFile(Handle, NULL, NULL, NULL, &IoStatus, Code, Request.data(),
                                     (ULONG)Request.size(), NULL, 0);
    }

    /* A request of Length bytes for Command, zero but for the command. */
    static std::vector<unsigned char> Raw(ULONG Command, size_t Length = PlaceholderRequestMinimumLength)
    {
        std::vector<unsigned char> Request(Length, 0);
        std::memcpy(Request.data(), &Command, sizeof(Command));
        return Request;
    }

    static PPLACEHOLDER_PAYLOAD PayloadIn(std::vector<unsigned char> &Request)
    {
        return (PPLACEHOLDER_PAYLOAD)(Request.data() + PlaceholderRequestHeaderLength);
    }

    /* A create request for the one-character name Letter at NameOffset,
       with ReparseDataLength bytes of reparse data. */
    static std::vector<unsigned char> RawCreate(size_t Length, ULONG NameOffset, USHORT ReparseDataLength,
                                                char16_t Letter = u'n')
    {
        std::vector<unsigned char> Request = Raw(PlaceholderCommandCreate, Length);
        PPLACEHOLDER_PAYLOAD Payload = PayloadIn(Request);
        Payload->NameOffset = NameOffset;
        Payload->NameLength = sizeof(char16_t);
        Payload->FileSize = 4096;
        Payload->ReparseHeader.ReparseTag = PlaceholderReparseTag;
        Payload->ReparseHeader.ReparseDataLength = ReparseDataLength;
        Payload->ReparseHeader.ReparseGuid = PlaceholderReparseGuid;
        if ((size_t)NameOffset + sizeof(char16_t) <= Length - PlaceholderRequestHeaderLength) {
            std::memcpy(Request.data() + PlaceholderRequestHeaderLength + NameOffset, &Letter, sizeof(Letter));
        }
        return Request;
    }

    /* Runs Body with a kernel open of Path below the filter. */
    template <typename Body> void Below(const wchar_t *Path, Body &&Run, ACCESS_MASK Access = FILE_READ_ATTRIBUTES)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = NULL;
        PFILE_OBJECT File = NULL;
        ASSERT_EQ(emu::OpenBelow(Instance, RelativePath(Path), Access,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_REPARSE_POINT,
                                 &Handle, &File),
                  STATUS_SUCCESS);
        Run(File);
        ObDereferenceObject(File);
        CloseHandle(Handle);
    }

    /* Whether a name exists in the file system. */
    bool Exists(const wchar_t *Path)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = NULL;
        PFILE_OBJECT File = NULL;
        NTSTATUS Status = emu::OpenBelow(Instance, RelativePath(Path), FILE_READ_ATTRIBUTES,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         FILE_OPEN_REPARSE_POINT, &Handle, &File);
        if (!NT_SUCCESS(Status)) {
            EXPECT_EQ(Status, STATUS_OBJECT_NAME_NOT_FOUND);
            return false;
        }
        ObDereferenceObject(File);
        CloseHandle(Handle);
        return true;
    }

    /* The whole reparse point of a file, header included. */
    struct ReparsePoint {
        NTSTATUS Status = STATUS_UNSUCCESSFUL;
        ULONG Tag = 0;
        GUID Guid = {};
        std::vector<unsigned char> Data;
    };

    ReparsePoint ReparseOf(const wchar_t *Path)
    {
        ReparsePoint Out;
        Below(Path, [&](PFILE_OBJECT File) {
            std::vector<unsigned char> Buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
            ULONG Returned = 0;
            Out.Status = FltFsControlFile(Instance, File, FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer.data(),
                                          (ULONG)Buffer.size(), &Returned);
            if (NT_SUCCESS(Out.Status) && Returned >= sizeof(PLACEHOLDER_REPARSE_HEADER)) {
                PLACEHOLDER_REPARSE_HEADER Header;
                std::memcpy(&Header, Buffer.data(), sizeof(Header));
                Out.Tag = Header.ReparseTag;
                Out.Guid = Header.ReparseGuid;
                Out.Data.assign(Buffer.begin() + sizeof(Header), Buffer.begin() + Returned);
            }
        });
        return Out;
    }

    /* Allocated ranges of a file and its valid data length, below the
       filter. */
    void Allocation(const wchar_t *Path, size_t *Ranges, ULONGLONG *ValidDataLength)
    {
        Below(Path, [&](PFILE_OBJECT File) {
            FILE_ALLOCATED_RANGE_BUFFER Query = {};
            Query.Length.QuadPart = MAXLONGLONG;
            FILE_ALLOCATED_RANGE_BUFFER Found[8] = {};
            ULONG Returned = 0;
            EXPECT_EQ(FltFsControlFile(Instance, File, FSCTL_QUERY_ALLOCATED_RANGES, &Query, sizeof(Query), Found,
                                       sizeof(Found), &Returned),
                      STATUS_SUCCESS);
            *Ranges = Returned / sizeof(FILE_ALLOCATED_RANGE_BUFFER);
            *ValidDataLength = emu::ValidDataLengthOf(File);
        });
    }

    /* The records of the volume's journal for a name. */
    std::vector<emu::UsnRecord> JournalOf(const std::u16string &Name)
    {
        std::vector<emu::UsnRecord> Found;
        for (const emu::UsnRecord &Record : emu::ReadUsnJournal(Volume)) {
            if (Record.FileName == Name) {
                Found.push_back(Record);
            }
        }
        return Found;
    }

    static bool AllZero(const std::vector<unsigned char> &Data)
    {
        for (unsigned char Byte : Data) {
            if (Byte != 0) {
                return false;
            }
        }
        return true;
    }

    static constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
};

/* ------------------------------------------------------------------------
 * Creation.
 * ---------------------------------------------------------------------- */

TEST_F(PlaceholderControlTest, CreateMakesTheWholePlaceholderInOneStep)
{
    service::PlaceholderDescription Placeholder = Description(u"report.txt", 10000);
    ASSERT_EQ(Create(Placeholder), S_OK);

    FileFacts Made = Facts(L"C:\\Sync\\report.txt");
    EXPECT_EQ(Made.Size, 10000);
    EXPECT_EQ(Made.Basic.CreationTime.QuadPart, Placeholder.CreationTime.QuadPart);
    EXPECT_EQ(Made.Basic.LastAccessTime.QuadPart, Placeholder.LastAccessTime.QuadPart);
    EXPECT_EQ(Made.Basic.LastWriteTime.QuadPart, Placeholder.LastWriteTime.QuadPart);
    EXPECT_EQ(Made.Basic.ChangeTime.QuadPart, Placeholder.ChangeTime.QuadPart);
    EXPECT_EQ(Made.Attributes, (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE | PlaceholderAttributes |
                                       FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_EQ(Made.Data.size(), 10000u);
    EXPECT_TRUE(AllZero(Made.Data));

    ReparsePoint Reparse = ReparseOf(L"C:\\Sync\\report.txt");
    ASSERT_EQ(Reparse.Status, STATUS_SUCCESS);
    EXPECT_EQ(Reparse.Tag, PlaceholderReparseTag);
    EXPECT_EQ(memcmp(&Reparse.Guid, &PlaceholderReparseGuid, sizeof(GUID)), 0);
    EXPECT_EQ(Reparse.Data, Placeholder.ReparseData);

    size_t Ranges = 99;
    ULONGLONG ValidDataLength = 0;
    Allocation(L"C:\\Sync\\report.txt", &Ranges, &ValidDataLength);
    EXPECT_EQ(Ranges, 0u);
    EXPECT_EQ(ValidDataLength, 10000u);

    /* One create record, already with the reparse point, marked as the
       service's. */
    std::vector<emu::UsnRecord> Records = JournalOf(u"report.txt");
    ASSERT_FALSE(Records.empty());
    EXPECT_EQ(Records[0].Reason & USN_REASON_FILE_CREATE, (ULONG)USN_REASON_FILE_CREATE);
    EXPECT_EQ(Records[0].SourceInfo, (ULONG)USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT);
    EXPECT_NE(Records[0].FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    /* A program's read hydrates it from the service. */
    std::vector<unsigned char> Original = Content(10000, 5);
    Service->SetContent(u"\\Sync\\report.txt", Original);
    HANDLE Handle = OpenInProgram(L"C:\\Sync\\report.txt", GENERIC_READ);
    EXPECT_EQ(ReadAt(Handle, 0, 10000), Original);
    EXPECT_EQ(Service->MessageCount(), 1u);
}

TEST_F(PlaceholderControlTest, SecondCreateOfTheSameNameFailsAndChangesNothing)
{
    service::PlaceholderDescription First = Description(u"twice.bin", 4096);
    ASSERT_EQ(Create(First), S_OK);

    service::PlaceholderDescription Second = Description(u"TWICE.bin", 8192);
    Second.ReparseData = {9, 9, 9};
    EXPECT_EQ(Create(Second), HRESULT_FROM_NT(STATUS_OBJECT_NAME_COLLISION));

    FileFacts After = Facts(L"C:\\Sync\\twice.bin");
    EXPECT_EQ(After.Size, 4096);
    EXPECT_EQ(ReparseOf(L"C:\\Sync\\twice.bin").Data, First.ReparseData);
}

TEST_F(PlaceholderControlTest, ReparseDataLongerThanTheReadableMaximumIsStored)
{
    service::PlaceholderDescription Placeholder = Description(u"long.bin", 1);
    Placeholder.ReparseData = Content(2000, 9);
    ASSERT_EQ(Create(Placeholder), S_OK);
    EXPECT_EQ(ReparseOf(L"C:\\Sync\\long.bin").Data, Placeholder.ReparseData);
}

TEST_F(PlaceholderControlTest, ProgramsOpeningTheNamesNeverSeeAHalfMadePlaceholder)
{
    constexpr int Count = 150;
    auto NameOf = [](int Index) { return u"race" + std::u16string(1, (char16_t)(u'A' + Index / 26)) +
                                         std::u16string(1, (char16_t)(u'a' + Index % 26)); };
    std::atomic<bool> Done{false};
    std::atomic<int> Seen{0};
    std::atomic<int> HalfMade{0};

    std::thread Creator([&] {
        emu::ProcessScope InService(ServiceProcess);
        for (int Index = 0; Index < Count; Index += 1) {
            service::PlaceholderDescription Placeholder = Description(NameOf(Index), 4096 + Index);
            EXPECT_EQ(service::CreatePlaceholderIn(L"C:\\Sync", Placeholder), S_OK);
        }
        Done = true;
    });
    std::thread Opener([&] {
        emu::ProcessScope InProgram(Program);
        bool Last = false;
        while (!Last) {
            Last = Done;
            for (int Index = 0; Index < Count; Index += 1) {
                std::u16string Path = u"C:\\Sync\\" + NameOf(Index);
                HANDLE Handle = CreateFileW((LPCWSTR)Path.c_str(), FILE_READ_ATTRIBUTES, ShareAll, NULL,
                                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
                if (Handle == INVALID_HANDLE_VALUE) {
                    continue;
                }
                FILE_ATTRIBUTE_TAG_INFORMATION Tag = {};
                FILE_STANDARD_INFORMATION Standard = {};
                IO_STATUS_BLOCK IoStatus = {};
                bool Whole =
                    NtQueryInformationFile(Handle, &IoStatus, &Tag, sizeof(Tag), FileAttributeTagInformation) ==
                        STATUS_SUCCESS &&
                    NtQueryInformationFile(Handle, &IoStatus, &Standard, sizeof(Standard),
                                           FileStandardInformation) == STATUS_SUCCESS &&
                    Tag.ReparseTag == PlaceholderReparseTag &&
                    (Tag.FileAttributes & PlaceholderAttributes) == PlaceholderAttributes &&
                    Standard.EndOfFile.QuadPart == 4096 + Index;
                (Whole ? Seen : HalfMade) += 1;
                CloseHandle(Handle);
            }
        }
    });
    Creator.join();
    Opener.join();

    EXPECT_EQ(HalfMade.load(), 0);
    EXPECT_GE(Seen.load(), Count);  // at least the last pass saw every one
}

TEST_F(PlaceholderControlTest, CreateNeedsWriteDataAccessOnTheDirectory)
{
    HANDLE ReadOnly = OpenIn(ServiceProcess, L"C:\\Sync", FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, ShareAll,
                             FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(ReadOnly, INVALID_HANDLE_VALUE);
    {
        emu::ProcessScope InService(ServiceProcess);
        EXPECT_EQ(service::CreatePlaceholder(ReadOnly, Description(u"denied.bin")),
                  HRESULT_FROM_NT(STATUS_ACCESS_DENIED));
    }
    CloseIn(ServiceProcess, ReadOnly);
    EXPECT_FALSE(Exists(L"C:\\Sync\\denied.bin"));

    HANDLE Writable = OpenIn(ServiceProcess, L"C:\\Sync", FILE_ADD_FILE, ShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Writable, INVALID_HANDLE_VALUE);
    {
        emu::ProcessScope InService(ServiceProcess);
        EXPECT_EQ(service::CreatePlaceholder(Writable, Description(u"allowed.bin")), S_OK);
    }
    CloseIn(ServiceProcess, Writable);
    EXPECT_TRUE(Exists(L"C:\\Sync\\allowed.bin"));
}

TEST_F(PlaceholderControlTest, CreateOnAFileHandleFailsWithTheFileSystemsStatus)
{
    MakeFile(L"C:\\Sync\\plain.txt", {1, 2, 3});
    HANDLE File = OpenIn(ServiceProcess, L"C:\\Sync\\plain.txt", GENERIC_READ | GENERIC_WRITE, ShareAll, 0);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> Request = RawCreate(PlaceholderRequestMinimumLength, 100, 0);
    EXPECT_EQ(Send(ServiceProcess, File, Request), STATUS_OBJECT_PATH_NOT_FOUND);
    CloseIn(ServiceProcess, File);
    EXPECT_FALSE(Exists(L"C:\\Sync\\n"));
}

/* ------------------------------------------------------------------------
 * Length rules: each refused with its status, no file made.
 * ---------------------------------------------------------------------- */

TEST_F(PlaceholderControlTest, EveryLengthRuleRefusesBeforeAnyFileIsMade)
{
    HANDLE Directory = OpenIn(ServiceProcess, L"C:\\Sync", FILE_ADD_FILE, ShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Directory, INVALID_HANDLE_VALUE);

    /* 1119 bytes, whatever the command. */
    for (ULONG Command : {2328u, 2329u, 2330u, 7u}) {
        std::vector<unsigned char> Short = RawCreate(PlaceholderRequestMinimumLength - 1, 100, 0);
        std::memcpy(Short.data(), &Command, sizeof(Command));
        EXPECT_EQ(Send(ServiceProcess, Directory, Short), STATUS_BUFFER_TOO_SMALL) << Command;
    }

    /* An unknown command. */
    std::vector<unsigned char> Unknown = RawCreate(PlaceholderRequestMinimumLength, 100, 0);
    ULONG Command = 2331;
    std::memcpy(Unknown.data(), &Command, sizeof(Command));
    EXPECT_EQ(Send(ServiceProcess, Directory, Unknown), STATUS_INVALID_PARAMETER_1);

    /* A name offset that wraps. */
    std::vector<unsigned char> Wrapping = RawCreate(PlaceholderRequestMinimumLength, 0xFFFFFFFFu, 0);
    EXPECT_EQ(Send(ServiceProcess, Directory, Wrapping), STATUS_INTEGER_OVERFLOW);

    /* Name and reparse data past the payload. */
    std::vector<unsigned char> Past = RawCreate(PlaceholderRequestMinimumLength, 1100, 20);
    EXPECT_EQ(Send(ServiceProcess, Directory, Past), STATUS_BUFFER_TOO_SMALL);

    /* A reparse buffer length beyond 16 bits, in a payload that holds it. */
    std::vector<unsigned char> Huge = RawCreate(PlaceholderRequestHeaderLength + 65600, 70, 65512);
    EXPECT_EQ(Send(ServiceProcess, Directory, Huge), STATUS_INTEGER_OVERFLOW);

    /* The reparse buffer past the payload though name and data fit: the
       name lies in the fixed part (the creation time's first bytes). */
    std::vector<unsigned char> Overlong = RawCreate(PlaceholderRequestMinimumLength, 8, 1040, u'Z');
    EXPECT_EQ(Send(ServiceProcess, Directory, Overlong), STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(Exists(L"C:\\Sync\\Z"));
    EXPECT_FALSE(Exists(L"C:\\Sync\\n"));

    /* The same request with a reparse buffer that ends exactly at the
       payload's end goes to the file system and makes the file. */
    std::vector<unsigned char> Fitting = RawCreate(PlaceholderRequestMinimumLength, 8, 1032, u'Z');
    EXPECT_EQ(Send(ServiceProcess, Directory, Fitting), STATUS_SUCCESS);
    EXPECT_TRUE(Exists(L"C:\\Sync\\Z"));
    CloseIn(ServiceProcess, Directory);

    /* Update and convert on a file: reparse data longer than their rules
       allow. */
    MakeFile(L"C:\\Sync\\data.bin", Content(4096));
    HANDLE File = OpenIn(ServiceProcess, L"C:\\Sync\\data.bin", GENERIC_READ | GENERIC_WRITE, 0,
                         FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> Update = Raw(PlaceholderCommandUpdate);
    PayloadIn(Update)->ReparseHeader.ReparseDataLength = 1;
    EXPECT_EQ(Send(ServiceProcess, File, Update), STATUS_BUFFER_TOO_SMALL);
    std::vector<unsigned char> Convert = Raw(PlaceholderCommandConvert);
    ((PPLACEHOLDER_CONVERT_PAYLOAD)(Convert.data() + PlaceholderRequestHeaderLength))->ReparseDataLength = 61;
    EXPECT_EQ(Send(ServiceProcess, File, Convert), STATUS_BUFFER_TOO_SMALL);
    CloseIn(ServiceProcess, File);
    EXPECT_EQ(ReparseOf(L"C:\\Sync\\data.bin").Status, STATUS_NOT_A_REPARSE_POINT);
}

/* ------------------------------------------------------------------------
 * The request as fast I/O, and other device controls.
 * ---------------------------------------------------------------------- */

TEST_F(PlaceholderControlTest, FastIoIsRefusedAndTheRequestIsCarriedOutAsAnIrp)
{
    HANDLE Directory = OpenIn(ServiceProcess, L"C:\\Sync", FILE_ADD_FILE, ShareAll, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Directory, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> Request = RawCreate(PlaceholderRequestMinimumLength, 100, 0, u'f');
    {
        emu::ProcessScope InService(ServiceProcess);
        PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(Directory, IRP_MJ_DEVICE_CONTROL, UserMode);
        ASSERT_NE(Data, nullptr);
        Data->Flags = FLTFL_CALLBACK_DATA_FAST_IO_OPERATION;
        auto &FastIo = Data->Iopb->Parameters.DeviceIoControl.FastIo;
        FastIo.IoControlCode = PlaceholderControlCode;
        FastIo.InputBufferLength = (ULONG)Request.size();
        FastIo.InputBuffer = Request.data();
        FLT_RELATED_OBJECTS Objects = {sizeof(Objects), 0, System->Filter(), Volume, Instance,
                                       Data->Iopb->TargetFileObject};
        PVOID CompletionContext = (PVOID)1;
        EXPECT_EQ(PreDeviceControl(Data, &Objects, &CompletionContext), FLT_PREOP_DISALLOW_FASTIO);
        EXPECT_EQ(CompletionContext, nullptr);
        EXPECT_EQ(Data->IoStatus.Status, STATUS_SUCCESS);
        emu::FreeCallbackData(Data);
    }
    EXPECT_FALSE(Exists(L"C:\\Sync\\f"));

    /* Through the I/O manager, which tries fast I/O first. */
    EXPECT_EQ(Send(ServiceProcess, Directory, Request), STATUS_SUCCESS);
    CloseIn(ServiceProcess, Directory);
    EXPECT_TRUE(Exists(L"C:\\Sync\\f"));
}

TEST_F(PlaceholderControlTest, OtherDeviceControlsReachTheFileSystemUnchanged)
{
    MakeFile(L"C:\\Sync\\plain.bin", Content(10));
    MakeFile(L"C:\\Outside\\plain.bin", Content(10));
    const wchar_t *Paths[] = {L"C:\\Sync", L"C:\\Sync\\plain.bin", L"C:\\Outside\\plain.bin"};
    for (const wchar_t *Path : Paths) {
        HANDLE Handle = OpenIn(ServiceProcess, Path, GENERIC_READ | GENERIC_WRITE, ShareAll, FILE_FLAG_BACKUP_SEMANTICS);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        /* A create request under another code: NTFS answers, nothing made. */
        std::vector<unsigned char> Request = RawCreate(PlaceholderRequestMinimumLength, 100, 0, u'o');
        EXPECT_EQ(Send(ServiceProcess, Handle, Request, OtherControlCode), STATUS_INVALID_DEVICE_REQUEST);
        std::vector<unsigned char> Short = Raw(PlaceholderCommandCreate, 16);
        EXPECT_EQ(Send(ServiceProcess, Handle, Short, 0x00070000u), STATUS_INVALID_DEVICE_REQUEST);
        CloseIn(ServiceProcess, Handle);
    }
    EXPECT_FALSE(Exists(L"C:\\Sync\\o"));
}

/* ------------------------------------------------------------------------
 * Conversion.
 * ---------------------------------------------------------------------- */

TEST_F(PlaceholderControlTest, ConvertOfAFullFileFreesItsDataAndTheNextReadHydratesIt)
{
    std::vector<unsigned char> Original = Content(1 << 20, 11);
    MakeFile(L"C:\\Sync\\big.bin", Original);
    std::vector<unsigned char> Reparse = Content(200, 4);  // longer than the least request holds
    ASSERT_EQ(Convert(L"C:\\Sync\\big.bin", Reparse), S_OK);

    FileFacts Converted = Facts(L"C:\\Sync\\big.bin");
    EXPECT_EQ(Converted.Size, 1 << 20);
    EXPECT_EQ(Converted.Attributes & PlaceholderAttributes, (ULONG)PlaceholderAttributes);
    EXPECT_NE(Converted.Attributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(Converted.Data.size(), (size_t)(1 << 20));
    EXPECT_TRUE(AllZero(Converted.Data));
    size_t Ranges = 99;
    ULONGLONG ValidDataLength = 0;
    Allocation(L"C:\\Sync\\big.bin", &Ranges, &ValidDataLength);
    EXPECT_EQ(Ranges, 0u);
    ReparsePoint Point = ReparseOf(L"C:\\Sync\\big.bin");
    EXPECT_EQ(Point.Tag, PlaceholderReparseTag);
    EXPECT_EQ(memcmp(&Point.Guid, &PlaceholderReparseGuid, sizeof(GUID)), 0);
    EXPECT_EQ(Point.Data, Reparse);

    /* The service's changes are marked as its own and end with a close
       record. */
    bool Marked = false;
    bool Closed = false;
    for (const emu::UsnRecord &Record : JournalOf(u"big.bin")) {
        Marked |= (Record.Reason & USN_REASON_REPARSE_POINT_CHANGE) != 0 &&
                  Record.SourceInfo == USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT;
        Closed |= (Record.Reason & USN_REASON_CLOSE) != 0 &&
                  Record.SourceInfo == USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT;
    }
    EXPECT_TRUE(Marked);
    EXPECT_TRUE(Closed);

    Service->SetContent(u"\\Sync\\big.bin", Original);
    HANDLE Handle = OpenInProgram(L"C:\\Sync\\big.bin", GENERIC_READ);
    EXPECT_EQ(ReadAt(Handle, 0, 1 << 20), Original);
    ASSERT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(Service->Messages()[0].ReparseData, Reparse);
    EXPECT_EQ(Service->Messages()[0].FileSize, 1 << 20);
    FileFacts Hydrated = Facts(L"C:\\Sync\\big.bin");
    EXPECT_FALSE(Hydrated.ReparsePoint);
    EXPECT_EQ(Hydrated.Data, Original);
}

TEST_F(PlaceholderControlTest, ConvertRefusesCachedSharedAndOutsideHandlesBeforeAnyEffect)
{
    std::vector<unsigned char> Original = Content(8192, 2);
    MakeFile(L"C:\\Sync\\keep.bin", Original);
    MakeFile(L"C:\\Outside\\away.bin", Original);
    std::vector<unsigned char> Request = Raw(PlaceholderCommandConvert);

    struct Case {
        const wchar_t *Path;
        DWORD Share;
        DWORD Flags;
        NTSTATUS Expected;
    } Cases[] = {
        {L"C:\\Sync\\keep.bin", 0, 0, STATUS_INVALID_HANDLE},
        {L"C:\\Sync\\keep.bin", FILE_SHARE_READ, FILE_FLAG_NO_BUFFERING, STATUS_SHARING_VIOLATION},
        {L"C:\\Sync\\keep.bin", FILE_SHARE_WRITE, FILE_FLAG_NO_BUFFERING, STATUS_SHARING_VIOLATION},
        {L"C:\\Sync\\keep.bin", FILE_SHARE_DELETE, FILE_FLAG_NO_BUFFERING, STATUS_SHARING_VIOLATION},
        {L"C:\\Outside\\away.bin", 0, FILE_FLAG_NO_BUFFERING, STATUS_NOT_FOUND},
    };
    for (const Case &Each : Cases) {
        HANDLE File = OpenIn(ServiceProcess, Each.Path, GENERIC_READ | GENERIC_WRITE, Each.Share, Each.Flags);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Send(ServiceProcess, File, Request), Each.Expected) << Narrow(std::u16string((const char16_t *)Each.Path));
        /* No stream context was attached on the way. */
        EXPECT_EQ(ContextOf(File, ServiceProcess), nullptr);
        CloseIn(ServiceProcess, File);
        EXPECT_EQ(ReparseOf(Each.Path).Status, STATUS_NOT_A_REPARSE_POINT);
        EXPECT_EQ(Facts(Each.Path).Data, Original);
    }
}

TEST_F(PlaceholderControlTest, ConvertAndUpdateFollowTheStreamsState)
{
    std::vector<unsigned char> Original = Content(8192, 8);
    MakeFile(L"C:\\Sync\\state.bin", Original);
    Service->SetContent(u"\\Sync\\state.bin", Original);

    /* One handle of the program's, unbuffered and unshared, carries the
       requests and the reads alike, so the stream and its context live
       throughout. */
    HANDLE File = OpenIn(Program, L"C:\\Sync\\state.bin", GENERIC_READ | GENERIC_WRITE, 0, FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    Handles.push_back(File);
    std::vector<unsigned char> Convert = Raw(PlaceholderCommandConvert);
    std::vector<unsigned char> Update = Raw(PlaceholderCommandUpdate);

    /* A full file without a context: update refuses, convert converts. */
    EXPECT_EQ(Send(Program, File, Update), STATUS_NOT_FOUND);
    EXPECT_EQ(Send(Program, File, Convert), STATUS_SUCCESS);
    PSTREAM_CONTEXT Context = ContextOf(File, Program);
    ASSERT_NE(Context, nullptr);
    EXPECT_EQ(Context->State, (ULONG)StreamStateDehydrated);

    /* Dehydrated: no second convert; an update leaves the state. */
    EXPECT_EQ(Send(Program, File, Convert), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Send(Program, File, Update), STATUS_SUCCESS);
    EXPECT_EQ(Context->State, (ULONG)StreamStateDehydrated);

    /* Hydrating: both refused while the read waits for the service. */
    Service->Hold = true;
    NTSTATUS ReadStatus = STATUS_PENDING;
    std::vector<unsigned char> Read;
    std::thread Reader([&] { Read = ReadAt(File, 0, 4096, &ReadStatus); });
    ASSERT_TRUE(Service->WaitForMessages(1));
    EXPECT_EQ(Send(Program, File, Convert), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Send(Program, File, Update), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Service->Serve(Service->Messages()[0]), S_OK);
    Reader.join();
    EXPECT_EQ(ReadStatus, STATUS_SUCCESS);
    EXPECT_EQ(Read, std::vector<unsigned char>(Original.begin(), Original.begin() + 4096));

    /* Hydrated: update refused, convert allowed again. */
    EXPECT_EQ(Context->State, (ULONG)StreamStateHydrated);
    EXPECT_EQ(Send(Program, File, Update), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Send(Program, File, Convert), STATUS_SUCCESS);
    EXPECT_EQ(Context->State, (ULONG)StreamStateDehydrated);
}

/* ------------------------------------------------------------------------
 * Update.
 * ---------------------------------------------------------------------- */

TEST_F(PlaceholderControlTest, UpdateCarriesOutEachStepItsFlagsAskFor)
{
    service::PlaceholderDescription Placeholder = Description(u"doc.bin", 5000);
    Placeholder.ReparseData = {1, 2, 3};
    ASSERT_EQ(Create(Placeholder), S_OK);
    /* A handle that holds no data access keeps the stream, and its context
       from the first open, alive without keeping the service out. */
    HANDLE Holder = OpenInProgram(L"C:\\Sync\\doc.bin", FILE_READ_ATTRIBUTES);
    PSTREAM_CONTEXT Context = ContextOf(Holder);
    ASSERT_NE(Context, nullptr);
    const wchar_t *Path = L"C:\\Sync\\doc.bin";

    /* No flag: only the service's mark and a close record. */
    size_t RecordsBefore = JournalOf(u"doc.bin").size();
    service::PlaceholderDescription Changed = Description(u"ignored", 777);
    Changed.ReparseData = {7, 7, 7, 7, 7};
    Changed.FileAttributes = FILE_ATTRIBUTE_SYSTEM;
    Changed.CreationTime.QuadPart += 10;
    Changed.LastWriteTime.QuadPart += 20;
    ASSERT_EQ(Update(Path, 0, Changed), S_OK);
    FileFacts Same = Facts(Path);
    EXPECT_EQ(Same.Size, 5000);
    EXPECT_EQ(ReparseOf(Path).Data, Placeholder.ReparseData);
    EXPECT_EQ(Same.Basic.CreationTime.QuadPart, Placeholder.CreationTime.QuadPart);
    std::vector<emu::UsnRecord> Records = JournalOf(u"doc.bin");
    ASSERT_GT(Records.size(), RecordsBefore);
    EXPECT_NE(Records.back().Reason & USN_REASON_CLOSE, 0u);

    /* Reparse data. */
    ASSERT_EQ(Update(Path, PlaceholderUpdateReparseData, Changed), S_OK);
    ReparsePoint Point = ReparseOf(Path);
    EXPECT_EQ(Point.Data, Changed.ReparseData);
    EXPECT_EQ(Point.Tag, PlaceholderReparseTag);
    EXPECT_EQ(Facts(Path).Size, 5000);

    /* Basic information: the service's times as given, its attributes
       with the placeholder set added. */
    ASSERT_EQ(Update(Path, PlaceholderUpdateBasicInformation, Changed), S_OK);
    FileFacts Basic = Facts(Path);
    EXPECT_EQ(Basic.Basic.CreationTime.QuadPart, Changed.CreationTime.QuadPart);
    EXPECT_EQ(Basic.Basic.LastWriteTime.QuadPart, Changed.LastWriteTime.QuadPart);
    EXPECT_EQ(Basic.Basic.LastAccessTime.QuadPart, Changed.LastAccessTime.QuadPart);
    EXPECT_EQ(Basic.Basic.ChangeTime.QuadPart, Changed.ChangeTime.QuadPart);
    EXPECT_EQ(Basic.Attributes,
              (ULONG)(FILE_ATTRIBUTE_SYSTEM | PlaceholderAttributes | FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_EQ(Basic.Size, 5000);

    /* End of file. */
    ASSERT_EQ(Update(Path, PlaceholderUpdateEndOfFile, Changed), S_OK);
    EXPECT_EQ(Facts(Path).Size, 777);

    /* All three, and a bit no step has. */
    Changed.ReparseData = {4, 4};
    Changed.FileSize = 12288;
    Changed.FileAttributes = FILE_ATTRIBUTE_HIDDEN;
    ASSERT_EQ(Update(Path, PlaceholderUpdateReparseData | PlaceholderUpdateBasicInformation |
                               PlaceholderUpdateEndOfFile | 0x100,
                     Changed),
              S_OK);
    FileFacts All = Facts(Path);
    EXPECT_EQ(All.Size, 12288);
    EXPECT_EQ(All.Attributes & FILE_ATTRIBUTE_HIDDEN, (ULONG)FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(ReparseOf(Path).Data, Changed.ReparseData);
    EXPECT_EQ(Context->State, (ULONG)StreamStateNew);

    /* The file is still a placeholder the service hydrates. */
    std::vector<unsigned char> Data = Content(12288, 6);
    Service->SetContent(u"\\Sync\\doc.bin", Data);
    HANDLE Reader = OpenInProgram(Path, GENERIC_READ);
    EXPECT_EQ(ReadAt(Reader, 0, 12288), Data);
    ASSERT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(Service->Messages()[0].ReparseData, Changed.ReparseData);
}

TEST_F(PlaceholderControlTest, UpdateRefusesFilesWithoutAContextAndBadHandles)
{
    MakeFile(L"C:\\Sync\\plain.bin", Content(100));
    EXPECT_EQ(Update(L"C:\\Sync\\plain.bin", PlaceholderUpdateEndOfFile, Description(u"x", 5)),
              HRESULT_FROM_NT(STATUS_NOT_FOUND));
    EXPECT_EQ(Facts(L"C:\\Sync\\plain.bin").Size, 100);

    ASSERT_EQ(Create(Description(u"ph.bin", 300)), S_OK);
    std::vector<unsigned char> Update = Raw(PlaceholderCommandUpdate);
    PayloadIn(Update)->UpdateFlags = PlaceholderUpdateEndOfFile;
    PayloadIn(Update)->FileSize = 1;
    HANDLE Cached = OpenIn(ServiceProcess, L"C:\\Sync\\ph.bin", GENERIC_READ | GENERIC_WRITE, 0, 0);
    ASSERT_NE(Cached, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Send(ServiceProcess, Cached, Update), STATUS_INVALID_HANDLE);
    CloseIn(ServiceProcess, Cached);
    HANDLE Shared = OpenIn(ServiceProcess, L"C:\\Sync\\ph.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                           FILE_FLAG_NO_BUFFERING);
    ASSERT_NE(Shared, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Send(ServiceProcess, Shared, Update), STATUS_SHARING_VIOLATION);
    CloseIn(ServiceProcess, Shared);
    EXPECT_EQ(Facts(L"C:\\Sync\\ph.bin").Size, 300);
}

}  // namespace
}  // namespace zentaflt_test
