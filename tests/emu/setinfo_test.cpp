/*
 * Set-information through the emulated I/O path: renames (both classes,
 * names relative to a root directory, replace-if-exists, collisions,
 * case-only renames), hard links, dispositions (delete on last close,
 * undelete, POSIX deletes, delete-on-close opens, refusals), end of file
 * with AdvanceOnly, allocation, and a filter that sees renames, their
 * target-directory opens and the destination name.
 */
#include <thread>

#include "TestFilter.h"
#include "EmuTesting.h"

namespace emu_test {
namespace {

using SetInformation = EmulatorTest;

std::string Narrow(const UNICODE_STRING &Name)
{
    std::string Text;
    for (USHORT Index = 0; Index < Name.Length / sizeof(WCHAR); Index += 1) {
        Text += (char)Name.Buffer[Index];
    }
    return Text;
}

/* A filter that notes renames, links and dispositions in its
   pre-operation (with the destination name) and the opens of target
   directories.  Two of them (Id 0 and 1) show where a filter's own
   request enters. */
template <int Id> struct WatcherOf {
    static inline PFLT_FILTER Filter = nullptr;
    static inline std::vector<std::string> Seen;
    static inline bool AdvanceOnly = false;  // marks end-of-file sets AdvanceOnly, as the cache manager does

    static FLT_PREOP_CALLBACK_STATUS FLTAPI PreCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS, PVOID *)
    {
        return (Data->Iopb->OperationFlags & SL_OPEN_TARGET_DIRECTORY) ? FLT_PREOP_SUCCESS_WITH_CALLBACK
                                                                       : FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    static FLT_POSTOP_CALLBACK_STATUS FLTAPI PostCreate(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS Objects, PVOID,
                                                        FLT_POST_OPERATION_FLAGS)
    {
        BOOLEAN Directory = FALSE;
        EXPECT_EQ(FltIsDirectory(Objects->FileObject, Objects->Instance, &Directory), STATUS_SUCCESS);
        Seen.push_back(std::string("target directory ") +
                       (Data->IoStatus.Information == FILE_EXISTS ? "exists" : "new") +
                       (Directory ? " directory" : " file"));
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    static FLT_PREOP_CALLBACK_STATUS FLTAPI PreSet(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS Objects, PVOID *)
    {
        auto &Parameters = Data->Iopb->Parameters.SetFileInformation;
        switch (Parameters.FileInformationClass) {
        case FileRenameInformation:
        case FileRenameInformationEx:
        case FileLinkInformation: {
            auto Information = (PFILE_RENAME_INFORMATION)Parameters.InfoBuffer;
            PFLT_FILE_NAME_INFORMATION Name = nullptr;
            EXPECT_EQ(FltGetDestinationFileNameInformation(Objects->Instance, Objects->FileObject,
                                                           Information->RootDirectory, Information->FileName,
                                                           Information->FileNameLength, FLT_FILE_NAME_SHORT, &Name),
                      STATUS_FLT_INVALID_NAME_REQUEST);
            NTSTATUS Status = FltGetDestinationFileNameInformation(
                Objects->Instance, Objects->FileObject, Information->RootDirectory, Information->FileName,
                Information->FileNameLength, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &Name);
            EXPECT_EQ(Status, STATUS_SUCCESS);
            if (NT_SUCCESS(Status)) {
                bool Link = Parameters.FileInformationClass == FileLinkInformation;
                Seen.push_back(std::string(Link ? "link " : "rename ") +
                               Narrow(Name->Name) + (Parameters.ReplaceIfExists ? " replace" : "") +
                               (Parameters.ParentOfTarget != NULL ? " with target" : ""));
                FltReleaseFileNameInformation(Name);
            }
            break;
        }
        case FileDispositionInformation:
            Seen.push_back(((PFILE_DISPOSITION_INFORMATION)Parameters.InfoBuffer)->DeleteFile ? "delete"
                                                                                               : "undelete");
            break;
        case FileDispositionInformationEx:
            Seen.push_back("delete ex " +
                           std::to_string(((PFILE_DISPOSITION_INFORMATION_EX)Parameters.InfoBuffer)->Flags));
            break;
        case FileEndOfFileInformation:
            Parameters.AdvanceOnly = AdvanceOnly;
            break;
        default:
            break;
        }
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    static NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS)
    {
        FltUnregisterFilter(Filter);
        return STATUS_SUCCESS;
    }

    static inline const FLT_OPERATION_REGISTRATION Operations[] = {
        {IRP_MJ_CREATE, 0, PreCreate, PostCreate},
        {IRP_MJ_SET_INFORMATION, 0, PreSet, NULL},
        {IRP_MJ_OPERATION_END},
    };

    static NTSTATUS Entry_(PDRIVER_OBJECT Driver, PUNICODE_STRING)
    {
        Seen.clear();
        AdvanceOnly = false;
        FLT_REGISTRATION Registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, NULL, Operations,
                                         Unload};
        NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &Filter);
        if (NT_SUCCESS(Status)) {
            Status = FltStartFiltering(Filter);
        }
        return Status;
    }

    static std::u16string Service()
    {
        return Id == 0 ? u"watcher" : u"upperwatcher";
    }
};

using Watcher = WatcherOf<0>;
using UpperWatcher = WatcherOf<1>;

/* A FILE_RENAME_INFORMATION (or FILE_LINK_INFORMATION) record. */
std::vector<UCHAR> NameRecord(const std::u16string &Name, HANDLE Root, ULONG FlagsOrReplace)
{
    std::vector<UCHAR> Buffer(sizeof(FILE_RENAME_INFORMATION) + Name.size() * sizeof(WCHAR));
    auto Information = (PFILE_RENAME_INFORMATION)Buffer.data();
    Information->Flags = FlagsOrReplace;
    Information->RootDirectory = Root;
    Information->FileNameLength = (ULONG)(Name.size() * sizeof(WCHAR));
    memcpy(Information->FileName, Name.data(), Information->FileNameLength);
    return Buffer;
}

NTSTATUS SetInfo(HANDLE Handle, FILE_INFORMATION_CLASS Class, std::vector<UCHAR> Buffer)
{
    IO_STATUS_BLOCK Io = {};
    return NtSetInformationFile(Handle, &Io, Buffer.data(), (ULONG)Buffer.size(), Class);
}

template <typename Record> NTSTATUS SetRecord(HANDLE Handle, FILE_INFORMATION_CLASS Class, Record Value)
{
    IO_STATUS_BLOCK Io = {};
    return NtSetInformationFile(Handle, &Io, &Value, sizeof(Value), Class);
}

FILE_STANDARD_INFORMATION Standard(HANDLE Handle)
{
    FILE_STANDARD_INFORMATION Information = {};
    IO_STATUS_BLOCK Io = {};
    EXPECT_EQ(NtQueryInformationFile(Handle, &Io, &Information, sizeof(Information), FileStandardInformation),
              STATUS_SUCCESS);
    return Information;
}

/* The first byte of the file, read through Handle. */
int FirstByte(HANDLE Handle)
{
    UCHAR Byte = 0;
    DWORD Read = 0;
    OVERLAPPED At = {};
    if (!ReadFile(Handle, &Byte, 1, &Read, &At) || Read != 1) {
        return -1;
    }
    return Byte;
}

void WriteByte(HANDLE Handle, UCHAR Byte)
{
    DWORD Written = 0;
    OVERLAPPED At = {};
    ASSERT_TRUE(WriteFile(Handle, &Byte, 1, &Written, &At));
}

/* The normalized name of the file behind Handle, without the volume. */
std::string NameOf(HANDLE Handle)
{
    PFILE_OBJECT File = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
              STATUS_SUCCESS);
    PFLT_FILE_NAME_INFORMATION Name = nullptr;
    EXPECT_EQ(FltGetFileNameInformationUnsafe(File, NULL, FLT_FILE_NAME_NORMALIZED, &Name), STATUS_SUCCESS);
    std::string Text = Narrow(Name->Name);
    FltReleaseFileNameInformation(Name);
    ObDereferenceObject(File);
    return Text.substr(Text.find('\\', 8));  // after \Device\HarddiskVolumeN
}

TEST_F(SetInformation, RenamesWithBothClassesFullAndRootRelativeNames)
{
    MakeFile(L"C:\\a.txt", 10);
    MakeFile(L"C:\\taken.txt", 20);
    emu::ProcessScope InProgram(Program);

    /* A full name through MoveFileExW, then a collision and a replace. */
    ASSERT_TRUE(MoveFileExW(L"C:\\a.txt", L"C:\\b.txt", 0));
    EXPECT_EQ(OpenStatus(L"C:\\a.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(MoveFileExW(L"C:\\b.txt", L"C:\\taken.txt", 0));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(MoveFileExW(L"C:\\b.txt", L"C:\\taken.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(OpenStatus(L"C:\\b.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE Taken = Open(L"C:\\taken.txt", GENERIC_READ | DELETE);
    ASSERT_NE(Taken, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Standard(Taken).EndOfFile.QuadPart, 10);  // the renamed file's data, not the replaced one's

    /* The Ex class, relative to a root directory handle. */
    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", NULL));
    HANDLE Directory = Open(L"C:\\dir", GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Directory, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetInfo(Taken, FileRenameInformationEx, NameRecord(u"\\moved.txt", Directory, 0)),
              STATUS_INVALID_PARAMETER);  // a root directory with a leading backslash
    ASSERT_EQ(SetInfo(Taken, FileRenameInformationEx,
                      NameRecord(u"moved.txt", Directory, FILE_RENAME_REPLACE_IF_EXISTS)),
              STATUS_SUCCESS);
    EXPECT_EQ(NameOf(Taken), "\\dir\\moved.txt");
    EXPECT_EQ(OpenStatus(L"C:\\dir\\moved.txt"), STATUS_SUCCESS);

    /* A simple name renames within the file's own directory. */
    ASSERT_EQ(SetInfo(Taken, FileRenameInformation, NameRecord(u"again.txt", NULL, FALSE)), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(Taken), "\\dir\\again.txt");
    EXPECT_EQ(SetInfo(Taken, FileRenameInformation, NameRecord(u"", NULL, FALSE)), STATUS_INVALID_PARAMETER);
    CloseHandle(Directory);

    /* DELETE access is the I/O manager's condition. */
    HANDLE Reader = Open(L"C:\\dir\\again.txt", GENERIC_READ);
    ASSERT_NE(Reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetInfo(Reader, FileRenameInformation, NameRecord(u"never.txt", NULL, FALSE)), STATUS_ACCESS_DENIED);
    CloseHandle(Reader);
    CloseHandle(Taken);

    /* The journal holds the old and the new name of a rename. */
    std::vector<emu::UsnRecord> Journal = emu::ReadUsnJournal(Volume);
    bool OldName = false, NewName = false;
    for (const emu::UsnRecord &Record : Journal) {
        OldName |= (Record.Reason & USN_REASON_RENAME_OLD_NAME) && Record.FileName == u"moved.txt";
        NewName |= (Record.Reason & USN_REASON_RENAME_NEW_NAME) && !(Record.Reason & USN_REASON_RENAME_OLD_NAME) &&
                   Record.FileName == u"again.txt";
    }
    EXPECT_TRUE(OldName);
    EXPECT_TRUE(NewName);
}

TEST_F(SetInformation, CaseOnlyRenamesAndTargetsNtfsRefuses)
{
    MakeFile(L"C:\\Case.txt", 1);
    MakeFile(L"C:\\open.txt", 1);
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(MoveFileExW(L"C:\\Case.txt", L"C:\\CASE.TXT", 0));  // not a collision with itself
    HANDLE Renamed = Open(L"C:\\case.txt", GENERIC_READ | DELETE);
    ASSERT_NE(Renamed, INVALID_HANDLE_VALUE);
    EXPECT_EQ(NameOf(Renamed), "\\CASE.TXT");
    EXPECT_EQ(SetInfo(Renamed, FileRenameInformation, NameRecord(u"CASE.TXT", NULL, FALSE)), STATUS_SUCCESS);

    /* A directory or an open file is not replaced; POSIX semantics replace
       an open file whose handle keeps working. */
    ASSERT_TRUE(CreateDirectoryW(L"C:\\folder", NULL));
    EXPECT_EQ(SetInfo(Renamed, FileRenameInformation, NameRecord(u"folder", NULL, TRUE)), STATUS_ACCESS_DENIED);
    HANDLE Open_ = Open(L"C:\\open.txt", GENERIC_READ);
    ASSERT_NE(Open_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetInfo(Renamed, FileRenameInformation, NameRecord(u"open.txt", NULL, TRUE)), STATUS_ACCESS_DENIED);
    ASSERT_EQ(SetInfo(Renamed, FileRenameInformationEx,
                      NameRecord(u"open.txt", NULL, FILE_RENAME_REPLACE_IF_EXISTS | FILE_RENAME_POSIX_SEMANTICS)),
              STATUS_SUCCESS);
    EXPECT_EQ(FirstByte(Open_), 0);
    EXPECT_EQ(NameOf(Renamed), "\\open.txt");
    CloseHandle(Open_);
    CloseHandle(Renamed);

    /* A directory with an open file below it stays where it is. */
    ASSERT_TRUE(CreateDirectoryW(L"C:\\folder\\inner", NULL));
    MakeFile(L"C:\\folder\\inner\\held.txt", 1);
    HANDLE Held = Open(L"C:\\folder\\inner\\held.txt", GENERIC_READ);
    ASSERT_NE(Held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(MoveFileExW(L"C:\\folder", L"C:\\elsewhere", 0));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_ACCESS_DENIED);
    CloseHandle(Held);
    EXPECT_FALSE(MoveFileExW(L"C:\\folder", L"C:\\folder\\inner\\loop", 0));
    ASSERT_TRUE(MoveFileExW(L"C:\\folder", L"C:\\elsewhere", 0));
    EXPECT_EQ(OpenStatus(L"C:\\elsewhere\\inner\\held.txt"), STATUS_SUCCESS);
}

TEST_F(SetInformation, RenamesStayOnTheirVolume)
{
    System.Mount();  // D:
    MakeFile(L"C:\\here.txt", 1);
    emu::ProcessScope InProgram(Program);
    EXPECT_FALSE(MoveFileExW(L"C:\\here.txt", L"D:\\there.txt", MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SAME_DEVICE);
    EXPECT_EQ(OpenStatus(L"C:\\here.txt"), STATUS_SUCCESS);
}

TEST_F(SetInformation, HardLinksShareTheFileAndCountItsNames)
{
    MakeFile(L"C:\\orig.txt", 4);
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateHardLinkW(L"C:\\link.txt", L"C:\\orig.txt", NULL));
    EXPECT_FALSE(CreateHardLinkW(L"C:\\link.txt", L"C:\\orig.txt", NULL));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_COLLISION);
    HANDLE Link = Open(L"C:\\link.txt", GENERIC_READ | GENERIC_WRITE);
    HANDLE Orig = Open(L"C:\\orig.txt", GENERIC_READ);
    ASSERT_NE(Link, INVALID_HANDLE_VALUE);
    ASSERT_NE(Orig, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Standard(Orig).NumberOfLinks, 2u);
    WriteByte(Link, 0x5A);
    EXPECT_EQ(FirstByte(Orig), 0x5A);
    EXPECT_EQ(NameOf(Link), "\\link.txt");
    EXPECT_EQ(NameOf(Orig), "\\orig.txt");
    CloseHandle(Orig);
    ASSERT_TRUE(DeleteFileW(L"C:\\orig.txt"));
    EXPECT_EQ(OpenStatus(L"C:\\orig.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Standard(Link).NumberOfLinks, 1u);
    EXPECT_EQ(FirstByte(Link), 0x5A);
    CloseHandle(Link);

    ASSERT_TRUE(CreateDirectoryW(L"C:\\dir", NULL));
    EXPECT_FALSE(CreateHardLinkW(L"C:\\dirlink", L"C:\\dir", NULL));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_FILE_IS_A_DIRECTORY);
}

TEST_F(SetInformation, DeleteOnLastCloseAndUndelete)
{
    MakeFile(L"C:\\doomed.txt", 3);
    MakeFile(L"C:\\kept.txt", 3);
    emu::ProcessScope InProgram(Program);
    HANDLE Reader = Open(L"C:\\doomed.txt", GENERIC_READ);
    ASSERT_NE(Reader, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeleteFileW(L"C:\\doomed.txt"));
    EXPECT_EQ(OpenStatus(L"C:\\doomed.txt"), STATUS_DELETE_PENDING);
    EXPECT_TRUE(Standard(Reader).DeletePending);
    EXPECT_EQ(FirstByte(Reader), 0);
    CloseHandle(Reader);
    EXPECT_EQ(OpenStatus(L"C:\\doomed.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    bool Deleted = false;
    for (const emu::UsnRecord &Record : emu::ReadUsnJournal(Volume)) {
        Deleted |= Record.FileName == u"doomed.txt" && (Record.Reason & USN_REASON_FILE_DELETE) &&
                   (Record.Reason & USN_REASON_CLOSE);
    }
    EXPECT_TRUE(Deleted);

    /* The first byte of the plain class: delete, then undelete. */
    HANDLE Kept = Open(L"C:\\kept.txt", DELETE);
    ASSERT_NE(Kept, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetRecord(Kept, FileDispositionInformation, FILE_DISPOSITION_INFORMATION{TRUE}), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus(L"C:\\kept.txt"), STATUS_DELETE_PENDING);
    EXPECT_EQ(SetInfo(Kept, FileRenameInformation, NameRecord(u"renamed.txt", NULL, FALSE)), STATUS_ACCESS_DENIED);
    EXPECT_EQ(SetRecord(Kept, FileDispositionInformation, FILE_DISPOSITION_INFORMATION{FALSE}), STATUS_SUCCESS);
    CloseHandle(Kept);
    EXPECT_EQ(OpenStatus(L"C:\\kept.txt"), STATUS_SUCCESS);

    /* Without DELETE access the I/O manager refuses. */
    HANDLE Reading = Open(L"C:\\kept.txt", GENERIC_READ);
    EXPECT_EQ(SetRecord(Reading, FileDispositionInformation, FILE_DISPOSITION_INFORMATION{TRUE}), STATUS_ACCESS_DENIED);
    CloseHandle(Reading);
}

TEST_F(SetInformation, PosixDeleteRemovesTheNameWhileHandlesLive)
{
    MakeFile(L"C:\\posix.txt", 2);
    emu::ProcessScope InProgram(Program);
    HANDLE Reader = Open(L"C:\\posix.txt", GENERIC_READ);
    HANDLE Deleter = Open(L"C:\\posix.txt", DELETE);
    ASSERT_NE(Reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(Deleter, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetRecord(Deleter, FileDispositionInformationEx, FILE_DISPOSITION_INFORMATION_EX{0x80}),
              STATUS_NOT_SUPPORTED);
    ASSERT_EQ(SetRecord(Deleter, FileDispositionInformationEx,
                        FILE_DISPOSITION_INFORMATION_EX{FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS}),
              STATUS_SUCCESS);
    CloseHandle(Deleter);
    /* The name is free at once; the reader still has the old file. */
    EXPECT_EQ(OpenStatus(L"C:\\posix.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    MakeFile(L"C:\\posix.txt", 0);
    EXPECT_EQ(FirstByte(Reader), 0);
    EXPECT_EQ(Standard(Reader).EndOfFile.QuadPart, 2);
    CloseHandle(Reader);
    EXPECT_EQ(OpenStatus(L"C:\\posix.txt"), STATUS_SUCCESS);
}

TEST_F(SetInformation, DeletesNtfsRefusesAndDeleteOnCloseOpens)
{
    ASSERT_NO_FATAL_FAILURE(MakeFile(L"C:\\ro.txt", 1));
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\full", NULL));
    MakeFile(L"C:\\full\\child.txt", 1);
    EXPECT_FALSE(RemoveDirectoryW(L"C:\\full"));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_DIRECTORY_NOT_EMPTY);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DIR_NOT_EMPTY);
    ASSERT_TRUE(DeleteFileW(L"C:\\full\\child.txt"));
    ASSERT_TRUE(RemoveDirectoryW(L"C:\\full"));
    EXPECT_EQ(OpenStatus(L"C:\\full"), STATUS_OBJECT_NAME_NOT_FOUND);

    /* Read-only: refused, unless the Ex class ignores the attribute on a
       handle that may write attributes. */
    HANDLE Attributes = Open(L"C:\\ro.txt", FILE_WRITE_ATTRIBUTES | DELETE);
    ASSERT_NE(Attributes, INVALID_HANDLE_VALUE);
    FILE_BASIC_INFORMATION Basic = {};
    Basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    ASSERT_EQ(SetRecord(Attributes, FileBasicInformation, Basic), STATUS_SUCCESS);
    EXPECT_FALSE(DeleteFileW(L"C:\\ro.txt"));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_CANNOT_DELETE);
    EXPECT_EQ(SetRecord(Attributes, FileDispositionInformationEx,
                        FILE_DISPOSITION_INFORMATION_EX{FILE_DISPOSITION_DELETE |
                                                        FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE}),
              STATUS_SUCCESS);
    CloseHandle(Attributes);
    EXPECT_EQ(OpenStatus(L"C:\\ro.txt"), STATUS_OBJECT_NAME_NOT_FOUND);

    /* An open with FILE_DELETE_ON_CLOSE deletes at its cleanup;
       FILE_DISPOSITION_ON_CLOSE is for such opens only. */
    HANDLE Temporary = CreateFileW(L"C:\\temp.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                                   CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, NULL);
    ASSERT_NE(Temporary, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenStatus(L"C:\\temp.txt"), STATUS_SUCCESS);
    CloseHandle(Temporary);
    EXPECT_EQ(OpenStatus(L"C:\\temp.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE Plain = CreateFileW(L"C:\\plain.txt", GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(Plain, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetRecord(Plain, FileDispositionInformationEx,
                        FILE_DISPOSITION_INFORMATION_EX{FILE_DISPOSITION_DELETE | FILE_DISPOSITION_ON_CLOSE}),
              STATUS_NOT_SUPPORTED);
    CloseHandle(Plain);
    EXPECT_EQ(OpenStatus(L"C:\\plain.txt"), STATUS_SUCCESS);
}

TEST_F(SetInformation, EndOfFileAdvanceOnlyAndAllocation)
{
    Load<Watcher>("370000");
    MakeFile(L"C:\\sized.bin", 10000);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\sized.bin", GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    Watcher::AdvanceOnly = true;
    FILE_END_OF_FILE_INFO EndOfFile = {};
    EndOfFile.EndOfFile.QuadPart = 5000;
    ASSERT_TRUE(SetFileInformationByHandle(File, FileEndOfFileInfo, &EndOfFile, sizeof(EndOfFile)));
    EXPECT_EQ(Standard(File).EndOfFile.QuadPart, 10000);  // never shrinks
    EndOfFile.EndOfFile.QuadPart = 12000;
    ASSERT_TRUE(SetFileInformationByHandle(File, FileEndOfFileInfo, &EndOfFile, sizeof(EndOfFile)));
    EXPECT_EQ(Standard(File).EndOfFile.QuadPart, 12000);  // advances
    Watcher::AdvanceOnly = false;

    FILE_ALLOCATION_INFO Allocation = {};
    Allocation.AllocationSize.QuadPart = 64 * 1024;
    ASSERT_TRUE(SetFileInformationByHandle(File, FileAllocationInfo, &Allocation, sizeof(Allocation)));
    EXPECT_EQ(Standard(File).EndOfFile.QuadPart, 12000);
    EXPECT_EQ(Standard(File).AllocationSize.QuadPart, 64 * 1024);
    Allocation.AllocationSize.QuadPart = 3000;
    ASSERT_TRUE(SetFileInformationByHandle(File, FileAllocationInfo, &Allocation, sizeof(Allocation)));
    EXPECT_EQ(Standard(File).EndOfFile.QuadPart, 3000);  // below the size: truncated
    EXPECT_EQ(Standard(File).AllocationSize.QuadPart, 4096);
    CloseHandle(File);
}

TEST_F(SetInformation, FilterSeesRenamesTargetOpensAndDestinationNames)
{
    Load<Watcher>("370000");
    MakeFile(L"C:\\watched.txt", 1);
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Dest", NULL));
    Watcher::Seen.clear();
    ASSERT_TRUE(MoveFileExW(L"C:\\watched.txt", L"C:\\dest\\New.txt", MOVEFILE_REPLACE_EXISTING));
    HANDLE Moved = Open(L"C:\\Dest\\New.txt", GENERIC_READ | DELETE);
    ASSERT_NE(Moved, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetInfo(Moved, FileRenameInformation, NameRecord(u"Short.txt", NULL, FALSE)), STATUS_SUCCESS);
    HANDLE Root = Open(L"C:\\", GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Root, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetInfo(Moved, FileRenameInformationEx, NameRecord(u"DEST\\Rooted.txt", Root, 0)), STATUS_SUCCESS);
    CloseHandle(Root);
    ASSERT_EQ(SetRecord(Moved, FileDispositionInformation, FILE_DISPOSITION_INFORMATION{TRUE}), STATUS_SUCCESS);
    CloseHandle(Moved);
    std::vector<std::string> Expected = {
        "target directory new directory",
        "rename \\Device\\HarddiskVolume1\\Dest\\New.txt replace with target",  // stored case of the directory
        "rename \\Device\\HarddiskVolume1\\Dest\\Short.txt",
        "target directory new directory",
        "rename \\Device\\HarddiskVolume1\\Dest\\Rooted.txt with target",
        "delete",
    };
    EXPECT_EQ(Watcher::Seen, Expected);
    EXPECT_EQ(OpenStatus(L"C:\\Dest\\Short.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenStatus(L"C:\\Dest\\Rooted.txt"), STATUS_OBJECT_NAME_NOT_FOUND);  // deleted at its close
}

TEST_F(SetInformation, AFiltersOwnRenameEntersBelowIt)
{
    Load<Watcher>("370000");
    PFLT_INSTANCE Upper = Load<UpperWatcher>("380000");
    MakeFile(L"C:\\own.txt", 1);
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\sub", NULL));
    HANDLE Handle = Open(L"C:\\own.txt", GENERIC_READ | DELETE);
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
    PFILE_OBJECT File = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
              STATUS_SUCCESS);
    Watcher::Seen.clear();
    UpperWatcher::Seen.clear();
    std::vector<UCHAR> Record = NameRecord(u"\\??\\C:\\sub\\own.txt", NULL, FALSE);
    EXPECT_EQ(FltSetInformationFile(Upper, File, Record.data(), (ULONG)Record.size(), FileRenameInformation),
              STATUS_SUCCESS);
    std::vector<std::string> Expected = {"target directory new directory",
                                         "rename \\Device\\HarddiskVolume1\\sub\\own.txt with target"};
    EXPECT_EQ(Watcher::Seen, Expected);
    EXPECT_TRUE(UpperWatcher::Seen.empty());
    EXPECT_EQ(NameOf(Handle), "\\sub\\own.txt");
    ObDereferenceObject(File);
    CloseHandle(Handle);
}

TEST_F(SetInformation, NtfsVolumesHaveARecycleBin)
{
    emu::ProcessScope InProgram(Program);
    HANDLE Bin = Open(L"C:\\$RECYCLE.BIN", GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Bin, INVALID_HANDLE_VALUE);
    FILE_BASIC_INFORMATION Basic = {};
    IO_STATUS_BLOCK Io = {};
    ASSERT_EQ(NtQueryInformationFile(Bin, &Io, &Basic, sizeof(Basic), FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(Basic.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
              (ULONG)(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ(NameOf(Bin), "\\$Recycle.Bin");  // the stored case
    CloseHandle(Bin);
}

TEST_F(SetInformation, DestinationNamesComeWithTheirVolumeAndStayOnIt)
{
    PFLT_INSTANCE Instance = Load<Watcher>("370000");
    System.Mount();  // D:
    MakeFile(L"C:\\src.txt", 1);
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Dir", NULL));
    HANDLE Handle = Open(L"C:\\src.txt", GENERIC_READ | DELETE);
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
    PFILE_OBJECT File = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
              STATUS_SUCCESS);
    auto Destination = [&](std::u16string Name, PFLT_FILE_NAME_INFORMATION *Record) {
        return FltGetDestinationFileNameInformation(Instance, File, NULL, (PWSTR)Name.data(),
                                                    (ULONG)(Name.size() * sizeof(WCHAR)),
                                                    FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, Record);
    };

    /* Full and simple names: the record's Volume is set without a parse,
       and the existing directory is spelled as stored. */
    PFLT_FILE_NAME_INFORMATION Record = nullptr;
    ASSERT_EQ(Destination(u"\\??\\C:\\DIR\\New.txt", &Record), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(Record->Name), "\\Device\\HarddiskVolume1\\Dir\\New.txt");
    EXPECT_EQ(Narrow(Record->Volume), "\\Device\\HarddiskVolume1");
    EXPECT_EQ(Record->Volume.Buffer, Record->Name.Buffer);
    EXPECT_EQ(Record->NamesParsed, 0u);
    FltReleaseFileNameInformation(Record);
    ASSERT_EQ(Destination(u"Other.TXT", &Record), STATUS_SUCCESS);
    EXPECT_EQ(Narrow(Record->Name), "\\Device\\HarddiskVolume1\\Other.TXT");
    EXPECT_EQ(Narrow(Record->Volume), "\\Device\\HarddiskVolume1");
    FltReleaseFileNameInformation(Record);

    /* A name on another volume does not resolve to a destination. */
    Record = nullptr;
    EXPECT_EQ(Destination(u"\\??\\D:\\New.txt", &Record), STATUS_MOUNT_POINT_NOT_RESOLVED);
    EXPECT_EQ(Record, nullptr);
    ObDereferenceObject(File);
    CloseHandle(Handle);
}

}  // namespace
}  // namespace emu_test
