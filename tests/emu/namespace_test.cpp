/*
 * Renames and deletes as programs ask for them: targets by full name and
 * relative to a directory handle, replacement, delete on last close, POSIX
 * deletes, delete-on-close opens, and what cannot be deleted.
 */
#include <cstring>

#include "TestFilter.h"

namespace emu_test {
namespace {

using Namespace = EmulatorTest;

NTSTATUS RenameTo(HANDLE File, const char16_t *Target, bool Replace, HANDLE Root = NULL,
                  FILE_INFORMATION_CLASS Class = FileRenameInformation)
{
    std::u16string Name(Target);
    std::vector<UCHAR> Buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + Name.size() * sizeof(WCHAR));
    auto Information = (PFILE_RENAME_INFORMATION)Buffer.data();
    if (Class == FileRenameInformation) {
        Information->ReplaceIfExists = Replace;
    } else {
        Information->Flags = Replace ? FILE_RENAME_REPLACE_IF_EXISTS : 0;
    }
    Information->RootDirectory = Root;
    Information->FileNameLength = (ULONG)(Name.size() * sizeof(WCHAR));
    memcpy(Information->FileName, Name.data(), Information->FileNameLength);
    IO_STATUS_BLOCK Io = {};
    return NtSetInformationFile(File, &Io, Buffer.data(), (ULONG)Buffer.size(), Class);
}

NTSTATUS Dispose(HANDLE File, ULONG Flags)
{
    FILE_DISPOSITION_INFORMATION_EX Information = {Flags};
    IO_STATUS_BLOCK Io = {};
    return NtSetInformationFile(File, &Io, &Information, sizeof(Information), FileDispositionInformationEx);
}

TEST_F(Namespace, RenamesMoveTheNameAndReplaceOnlyWhenAsked)
{
    System.Mount();  // D:
    MakeFile(L"C:\\a.txt", 10);
    MakeFile(L"C:\\b.txt", 20);
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Dir", NULL));
    HANDLE File = Open(L"C:\\a.txt", DELETE | GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    HANDLE NoDelete = Open(L"C:\\b.txt", GENERIC_READ);

    EXPECT_EQ(RenameTo(NoDelete, u"\\??\\C:\\c.txt", false), STATUS_ACCESS_DENIED);  // the handle lacks DELETE
    EXPECT_EQ(RenameTo(File, u"\\??\\C:\\b.txt", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(RenameTo(File, u"\\??\\C:\\b.txt", true), STATUS_ACCESS_DENIED);  // b.txt is open
    CloseHandle(NoDelete);
    EXPECT_EQ(RenameTo(File, u"\\??\\C:\\b.txt", true, NULL, FileRenameInformationEx), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus(L"C:\\a.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    LARGE_INTEGER Size = {};
    ASSERT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 10);  // the renamed file replaced the old b.txt

    /* Relative to a directory handle, by full name, and not onto another
       volume. */
    HANDLE Dir = Open(L"C:\\Dir", FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Dir, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RenameTo(File, u"moved.txt", false, Dir), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus(L"C:\\Dir\\moved.txt"), STATUS_SUCCESS);
    EXPECT_EQ(RenameTo(File, u"\\??\\C:\\back.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus(L"C:\\back.txt"), STATUS_SUCCESS);
    EXPECT_EQ(RenameTo(File, u"\\??\\D:\\away.txt", false), STATUS_NOT_SAME_DEVICE);
    EXPECT_EQ(RenameTo(File, u"\\??\\C:\\Missing\\x.txt", false), STATUS_OBJECT_PATH_NOT_FOUND);

    /* The journal has the old and the new name. */
    bool Old = false;
    bool New = false;
    for (const emu::UsnRecord &Record : emu::ReadUsnJournal(Volume)) {
        Old = Old || (Record.Reason & USN_REASON_RENAME_OLD_NAME);
        New = New || ((Record.Reason & USN_REASON_RENAME_NEW_NAME) && Record.FileName == u"back.txt");
    }
    EXPECT_TRUE(Old);
    EXPECT_TRUE(New);
    CloseHandle(Dir);
    CloseHandle(File);
}

TEST_F(Namespace, ADeletedFileKeepsItsNameUntilItsLastHandleCloses)
{
    MakeFile(L"C:\\gone.txt", 10);
    emu::ProcessScope InProgram(Program);
    HANDLE First = Open(L"C:\\gone.txt", DELETE | GENERIC_READ);
    HANDLE Second = Open(L"C:\\gone.txt", GENERIC_READ);
    FILE_DISPOSITION_INFORMATION Delete = {TRUE};
    IO_STATUS_BLOCK Io = {};
    ASSERT_EQ(NtSetInformationFile(First, &Io, &Delete, sizeof(Delete), FileDispositionInformation), STATUS_SUCCESS);
    /* New opens fail while the delete is pending. */
    EXPECT_EQ(Open(L"C:\\gone.txt", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_DELETE_PENDING);
    CloseHandle(First);
    EXPECT_EQ(Open(L"C:\\gone.txt", GENERIC_READ), INVALID_HANDLE_VALUE);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_DELETE_PENDING);
    CloseHandle(Second);
    EXPECT_EQ(OpenStatus(L"C:\\gone.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Namespace, APosixDeleteRemovesTheNameWhenItsHandleClosesWhileOthersStillRead)
{
    MakeFile(L"C:\\posix.txt", 10);
    emu::ProcessScope InProgram(Program);
    HANDLE Deleter = Open(L"C:\\posix.txt", DELETE);
    HANDLE Reader = Open(L"C:\\posix.txt", GENERIC_READ);
    ASSERT_EQ(Dispose(Deleter, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS), STATUS_SUCCESS);
    CloseHandle(Deleter);
    EXPECT_EQ(OpenStatus(L"C:\\posix.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
    /* The name is free again, and the open handle still reads the old file. */
    MakeFile(L"C:\\posix.txt", 3);
    std::vector<UCHAR> Data(10);
    DWORD Read = 0;
    ASSERT_TRUE(ReadFile(Reader, Data.data(), 10, &Read, NULL));
    EXPECT_EQ(Read, 10u);
    CloseHandle(Reader);
}

TEST_F(Namespace, DeleteOnCloseAndWhatCannotBeDeleted)
{
    MakeFile(L"C:\\temp.txt", 1);
    emu::ProcessScope InProgram(Program);
    /* An open with FILE_DELETE_ON_CLOSE. */
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, L"\\??\\C:\\temp.txt");
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE Temp = NULL;
    IO_STATUS_BLOCK Io = {};
    ASSERT_EQ(NtCreateFile(&Temp, DELETE | SYNCHRONIZE, &Attributes, &Io, NULL, 0, FILE_SHARE_READ, FILE_OPEN,
                           FILE_DELETE_ON_CLOSE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, NULL, 0),
              STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus(L"C:\\temp.txt"), STATUS_SUCCESS);
    CloseHandle(Temp);
    EXPECT_EQ(OpenStatus(L"C:\\temp.txt"), STATUS_OBJECT_NAME_NOT_FOUND);

    /* A directory with children, and a read-only file. */
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Full", NULL));
    MakeFile(L"C:\\Full\\child.txt", 1);
    HANDLE Full = Open(L"C:\\Full", DELETE, FILE_FLAG_BACKUP_SEMANTICS);
    EXPECT_EQ(Dispose(Full, FILE_DISPOSITION_DELETE), STATUS_DIRECTORY_NOT_EMPTY);
    CloseHandle(Full);
    HANDLE ReadOnly = CreateFileW(L"C:\\ro.txt", DELETE | GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_READONLY,
                                  NULL);
    ASSERT_NE(ReadOnly, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Dispose(ReadOnly, FILE_DISPOSITION_DELETE), STATUS_CANNOT_DELETE);
    EXPECT_EQ(Dispose(ReadOnly, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE),
              STATUS_SUCCESS);
    CloseHandle(ReadOnly);
    EXPECT_EQ(OpenStatus(L"C:\\ro.txt"), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Namespace, NamesDifferingOnlyInCaseAreOneNameInOtherScriptsToo)
{
    /* Latin-1, Latin Extended-A, Greek (final sigma included), Cyrillic
       and fullwidth Latin, created in one case and met in the other. */
    {
        emu::ProcessScope InProgram(Program);
        ASSERT_TRUE(CreateDirectoryW(L"C:\\\u00e4rger-\u0142\u00f3d\u017a", NULL));
        EXPECT_FALSE(CreateDirectoryW(L"C:\\\u00c4RGER-\u0141\u00d3D\u0179", NULL));
        EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_COLLISION);
    }
    MakeFile(L"C:\\\u00e4rger-\u0142\u00f3d\u017a\\\u03bb\u03cc\u03b3\u03bf\u03c2-\u043f\u0440\u0438\u0432\u0435\u0442-\uff41", 3);
    MakeFile(L"C:\\stra\u00dfe", 1);
    MakeFile(L"C:\\\u00ff", 1);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\\u00c4RGER-\u0141\u00d3D\u0179\\\u039b\u038c\u0393\u039f\u03a3-\u041f\u0420\u0418\u0412\u0415\u0422-\uff21",
                       GENERIC_READ);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    CloseHandle(File);
    /* Letters without a one-to-one capital stay themselves: sharp s is
       not "SS", and y-diaeresis meets its capital outside Latin-1. */
    EXPECT_EQ(OpenStatus(L"C:\\STRASSE"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(OpenStatus(L"C:\\\u0178"), STATUS_SUCCESS);

    UNICODE_STRING Prefix = RTL_CONSTANT_STRING(L"\\$RECYCLE.BIN\\");
    UNICODE_STRING Inside = RTL_CONSTANT_STRING(L"\\$Recycle.Bin\\S-1-5\\x");
    UNICODE_STRING Itself = RTL_CONSTANT_STRING(L"\\$Recycle.Bin");
    EXPECT_TRUE(RtlPrefixUnicodeString(&Prefix, &Inside, TRUE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&Prefix, &Inside, FALSE));
    EXPECT_FALSE(RtlPrefixUnicodeString(&Prefix, &Itself, TRUE));
}

}  // namespace
}  // namespace emu_test
