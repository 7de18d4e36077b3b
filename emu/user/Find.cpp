/*
 * Find.cpp - FindFirstFileW, FindNextFileW and FindClose: a directory
 * listing as a program makes it, over NtQueryDirectoryFile on a handle to
 * the directory opened with FILE_LIST_DIRECTORY.  The search handle is
 * that directory handle.  The last component of the name is the pattern
 * ('*' and '?'); no match gives ERROR_FILE_NOT_FOUND, the end of the
 * listing ERROR_NO_MORE_FILES ("FindFirstFileW", "FindNextFileW").
 */
#include <fltKernel.h>
#include <windows.h>

#include <string>

#include "User.h"

namespace {

/* One entry at a time: a record and the longest name a find record takes. */
constexpr ULONG QueryLength = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName) + MAX_PATH * sizeof(WCHAR);

FILETIME FileTimeOf(LARGE_INTEGER Time)
{
    return {(DWORD)Time.LowPart, (DWORD)Time.HighPart};
}

BOOL Next(HANDLE Directory, PUNICODE_STRING Pattern, LPWIN32_FIND_DATAW Found)
{
    ULONGLONG Storage[(QueryLength + 7) / 8];
    IO_STATUS_BLOCK Io = {};
    NTSTATUS Status = NtQueryDirectoryFile(Directory, NULL, NULL, NULL, &Io, Storage, QueryLength,
                                           FileDirectoryInformation, TRUE, Pattern, FALSE);
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    if (!NT_SUCCESS(Status) || Status == STATUS_BUFFER_OVERFLOW) {
        return FALSE;
    }
    auto Record = (const FILE_DIRECTORY_INFORMATION *)Storage;
    *Found = {};
    Found->dwFileAttributes = Record->FileAttributes;
    Found->ftCreationTime = FileTimeOf(Record->CreationTime);
    Found->ftLastAccessTime = FileTimeOf(Record->LastAccessTime);
    Found->ftLastWriteTime = FileTimeOf(Record->LastWriteTime);
    Found->nFileSizeHigh = (DWORD)Record->EndOfFile.HighPart;
    Found->nFileSizeLow = Record->EndOfFile.LowPart;
    memcpy(Found->cFileName, Record->FileName, Record->FileNameLength);
    return TRUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    std::u16string Path((const char16_t *)lpFileName);
    size_t Slash = Path.rfind(u'\\');
    if (Slash == std::u16string::npos || Slash + 1 == Path.size()) {
        emu::user::NoteStatus(STATUS_OBJECT_NAME_INVALID);
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string Directory = Path.substr(0, Slash);
    std::u16string PatternText = Path.substr(Slash + 1);
    HANDLE Handle = CreateFileW((LPCWSTR)Directory.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (Handle == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING Pattern = {(USHORT)(PatternText.size() * sizeof(WCHAR)),
                              (USHORT)(PatternText.size() * sizeof(WCHAR)), (PWSTR)PatternText.data()};
    if (!Next(Handle, &Pattern, lpFindFileData)) {
        DWORD Error = GetLastError();
        CloseHandle(Handle);
        SetLastError(Error);
        return INVALID_HANDLE_VALUE;
    }
    return Handle;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    return Next(hFindFile, NULL, lpFindFileData);
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    return CloseHandle(hFindFile);
}

}  // extern "C"
