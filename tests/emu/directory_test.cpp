/*
 * Directory listings through the emulated I/O path: FindFirstFileW and
 * FindNextFileW over NtQueryDirectoryFile, NTFS's order and dot entries,
 * patterns, several records in one buffer, a name that does not fit, and
 * the refusals of the I/O manager and the file system.
 */
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "TestFilter.h"

namespace emu_test {
namespace {

using Directory = EmulatorTest;

struct Listed {
    std::u16string Name;
    DWORD Attributes;
    ULONGLONG Size;
};

/* Every entry FindFirstFileW/FindNextFileW give for Pattern, and the last
   error that ended the listing. */
std::vector<Listed> List(const WCHAR *Pattern, DWORD *Ended)
{
    std::vector<Listed> Out;
    WIN32_FIND_DATAW Found;
    HANDLE Find = FindFirstFileW(Pattern, &Found);
    if (Find == INVALID_HANDLE_VALUE) {
        *Ended = GetLastError();
        return Out;
    }
    do {
        Out.push_back({std::u16string((const char16_t *)Found.cFileName), Found.dwFileAttributes,
                       ((ULONGLONG)Found.nFileSizeHigh << 32) | Found.nFileSizeLow});
    } while (FindNextFileW(Find, &Found));
    *Ended = GetLastError();
    EXPECT_TRUE(FindClose(Find));
    return Out;
}

std::vector<std::u16string> NamesOf(const std::vector<Listed> &Entries)
{
    std::vector<std::u16string> Names;
    for (const Listed &Entry : Entries) {
        Names.push_back(Entry.Name);
    }
    return Names;
}

TEST_F(Directory, FindListsDotsThenNamesInNtfsOrderWithSizesAndKinds)
{
    {
        emu::ProcessScope InProgram(Program);
        ASSERT_TRUE(CreateDirectoryW(L"C:\\List", NULL));
        ASSERT_TRUE(CreateDirectoryW(L"C:\\List\\Sub", NULL));
    }
    MakeFile(L"C:\\List\\b.txt", 3);
    MakeFile(L"C:\\List\\A.txt", 5000);
    MakeFile(L"C:\\List\\c.bin", 0);
    emu::ProcessScope InProgram(Program);

    DWORD Ended = 0;
    std::vector<Listed> All = List(L"C:\\List\\*", &Ended);
    EXPECT_EQ(Ended, (DWORD)ERROR_NO_MORE_FILES);
    ASSERT_EQ(NamesOf(All), (std::vector<std::u16string>{u".", u"..", u"A.txt", u"b.txt", u"c.bin", u"Sub"}));
    EXPECT_EQ(All[2].Size, 5000u);
    EXPECT_EQ(All[3].Size, 3u);
    EXPECT_EQ(All[4].Size, 0u);
    EXPECT_TRUE(All[5].Attributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(All[2].Attributes & FILE_ATTRIBUTE_DIRECTORY);

    /* Patterns match without regard to case; no match fails the first
       query. */
    EXPECT_EQ(NamesOf(List(L"C:\\List\\*.TXT", &Ended)), (std::vector<std::u16string>{u"A.txt", u"b.txt"}));
    EXPECT_EQ(NamesOf(List(L"C:\\List\\?.bin", &Ended)), (std::vector<std::u16string>{u"c.bin"}));
    EXPECT_TRUE(List(L"C:\\List\\nothing*", &Ended).empty());
    EXPECT_EQ(Ended, (DWORD)ERROR_FILE_NOT_FOUND);

    /* The root has no dot entries; its recycle bin is listed. */
    std::vector<std::u16string> Root = NamesOf(List(L"C:\\*", &Ended));
    ASSERT_FALSE(Root.empty());
    EXPECT_NE(Root.front(), u".");
    EXPECT_NE(std::find(Root.begin(), Root.end(), u"List"), Root.end());
}

TEST_F(Directory, QueriesFillWholeAlignedRecordsAndResumeWhereTheyStopped)
{
    {
        emu::ProcessScope InProgram(Program);
        ASSERT_TRUE(CreateDirectoryW(L"C:\\Many", NULL));
    }
    const std::vector<std::u16string> Names = {u"a", u"bb", u"ccc", u"dddd", u"eeeee"};
    for (const std::u16string &Name : Names) {
        std::u16string Path = u"C:\\Many\\" + Name;
        MakeFile((const WCHAR *)Path.c_str(), 1);
    }
    emu::ProcessScope InProgram(Program);
    HANDLE Handle = Open(L"C:\\Many", FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Handle, INVALID_HANDLE_VALUE);

    /* Room for the dots and three names: the fourth comes first next time. */
    ULONG Header = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    std::vector<ULONGLONG> Storage(64);
    ULONG Room = 5 * ((Header + 2 * sizeof(WCHAR) + 7) & ~7u) - 4;
    IO_STATUS_BLOCK Io = {};
    std::vector<std::u16string> Seen;
    auto Collect = [&](ULONG Used) {
        ULONG Offset = 0;
        for (;;) {
            auto Record = (const FILE_DIRECTORY_INFORMATION *)((const UCHAR *)Storage.data() + Offset);
            EXPECT_EQ(Offset % 8, 0u);
            EXPECT_LE(Offset + Header + Record->FileNameLength, Used);
            Seen.emplace_back((const char16_t *)Record->FileName, Record->FileNameLength / sizeof(WCHAR));
            if (Record->NextEntryOffset == 0) {
                break;
            }
            Offset += Record->NextEntryOffset;
        }
    };
    ASSERT_EQ(NtQueryDirectoryFile(Handle, NULL, NULL, NULL, &Io, Storage.data(), Room, FileDirectoryInformation,
                                   FALSE, NULL, FALSE),
              STATUS_SUCCESS);
    Collect((ULONG)Io.Information);
    EXPECT_EQ(Seen, (std::vector<std::u16string>{u".", u"..", u"a", u"bb"}));
    ASSERT_EQ(NtQueryDirectoryFile(Handle, NULL, NULL, NULL, &Io, Storage.data(), 512, FileDirectoryInformation,
                                   FALSE, NULL, FALSE),
              STATUS_SUCCESS);
    Collect((ULONG)Io.Information);
    EXPECT_EQ(Seen, (std::vector<std::u16string>{u".", u"..", u"a", u"bb", u"ccc", u"dddd", u"eeeee"}));
    EXPECT_EQ(NtQueryDirectoryFile(Handle, NULL, NULL, NULL, &Io, Storage.data(), 512, FileDirectoryInformation,
                                   FALSE, NULL, FALSE),
              STATUS_NO_MORE_FILES);

    /* A restart with a pattern; a name that does not fit comes back cut. */
    std::u16string Pattern = u"eeeee";
    UNICODE_STRING PatternString = {(USHORT)(Pattern.size() * 2), (USHORT)(Pattern.size() * 2),
                                    (PWSTR)Pattern.data()};
    EXPECT_EQ(NtQueryDirectoryFile(Handle, NULL, NULL, NULL, &Io, Storage.data(), Header + 4,
                                   FileDirectoryInformation, FALSE, &PatternString, TRUE),
              STATUS_BUFFER_OVERFLOW);
    auto Cut = (const FILE_DIRECTORY_INFORMATION *)Storage.data();
    EXPECT_EQ(Cut->FileNameLength, 10u);
    EXPECT_EQ(Io.Information, Header + 4);

    /* The I/O manager's and the file system's refusals. */
    EXPECT_EQ(NtQueryDirectoryFile(Handle, NULL, NULL, NULL, &Io, Storage.data(), Header - 1,
                                   FileDirectoryInformation, FALSE, NULL, TRUE),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(NtQueryDirectoryFile(Handle, NULL, NULL, NULL, &Io, Storage.data(), 512, FileBasicInformation, FALSE,
                                   NULL, TRUE),
              STATUS_INVALID_INFO_CLASS);
    CloseHandle(Handle);
    HANDLE NoList = Open(L"C:\\Many", FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(NoList, INVALID_HANDLE_VALUE);
    EXPECT_EQ(NtQueryDirectoryFile(NoList, NULL, NULL, NULL, &Io, Storage.data(), 512, FileDirectoryInformation,
                                   FALSE, NULL, TRUE),
              STATUS_ACCESS_DENIED);
    CloseHandle(NoList);
    HANDLE File = Open(L"C:\\Many\\a", FILE_READ_DATA);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    EXPECT_EQ(NtQueryDirectoryFile(File, NULL, NULL, NULL, &Io, Storage.data(), 512, FileDirectoryInformation,
                                   FALSE, NULL, TRUE),
              STATUS_INVALID_PARAMETER);
    CloseHandle(File);
}

}  // namespace
}  // namespace emu_test
