/*
 * Files.cpp - Win32 file calls for programs and the service.  Paths are
 * drive-letter paths ("C:\dir\file", or "\\?\C:\dir\file"); a call opens
 * with NtCreateFile in the caller's process, in user mode.
 */
#include <fltKernel.h>
#include <windows.h>

#include <string>
#include "User.h"

namespace {

HANDLE Fail(NTSTATUS Status)
{
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    return INVALID_HANDLE_VALUE;
}

/* The NT name of a drive-letter path ("C:\dir\file", or "\\?\C:\dir\file"):
   \??\C:\dir\file.  Empty when the path has no drive letter. */
std::u16string NtNameOf(LPCWSTR Path)
{
    if (Path == NULL) {
        return u"";
    }
    std::u16string Text((const char16_t *)Path);
    if (Text.rfind(u"\\\\?\\", 0) == 0) {
        Text = Text.substr(4);
    }
    if (Text.size() < 2 || Text[1] != u':') {
        return u"";
    }
    if (Text.size() == 2) {
        Text += u"\\";
    }
    return u"\\??\\" + Text;
}

/* NtCreateFile on a drive-letter path, in the calling process. */
NTSTATUS Open(LPCWSTR Path, ACCESS_MASK Access, ULONG Attributes, ULONG Share, ULONG Disposition, ULONG Options,
              HANDLE *Handle)
{
    std::u16string Name = NtNameOf(Path);
    if (Name.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    UNICODE_STRING NtName = {(USHORT)(Name.size() * sizeof(WCHAR)), (USHORT)(Name.size() * sizeof(WCHAR)),
                             (PWSTR)Name.data()};
    OBJECT_ATTRIBUTES Object;
    InitializeObjectAttributes(&Object, &NtName, OBJ_CASE_INSENSITIVE, NULL, NULL);
    IO_STATUS_BLOCK Io = {};
    return NtCreateFile(Handle, Access, &Object, &Io, NULL, Attributes, Share, Disposition, Options, NULL, 0);
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    ULONG Disposition;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        Disposition = FILE_CREATE;
        break;
    case CREATE_ALWAYS:
        Disposition = FILE_OVERWRITE_IF;
        break;
    case OPEN_EXISTING:
        Disposition = FILE_OPEN;
        break;
    case OPEN_ALWAYS:
        Disposition = FILE_OPEN_IF;
        break;
    case TRUNCATE_EXISTING:
        Disposition = FILE_OVERWRITE;
        break;
    default:
        return Fail(STATUS_INVALID_PARAMETER);
    }
    ULONG Options = FILE_SYNCHRONOUS_IO_NONALERT;
    if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        Options |= FILE_NON_DIRECTORY_FILE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) {
        Options |= FILE_NO_INTERMEDIATE_BUFFERING;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT) {
        Options |= FILE_OPEN_REPARSE_POINT;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) {
        Options |= FILE_WRITE_THROUGH;
    }
    HANDLE Handle = NULL;
    NTSTATUS Status = Open(lpFileName, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                           dwFlagsAndAttributes & 0xFFFF, dwShareMode, Disposition, Options, &Handle);
    if (Status == STATUS_FILE_IS_A_DIRECTORY) {
        Status = STATUS_ACCESS_DENIED;  // a directory opened without backup semantics
    }
    if (!NT_SUCCESS(Status)) {
        return Fail(Status);
    }
    emu::user::NoteStatus(Status);
    SetLastError(ERROR_SUCCESS);
    return Handle;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    HANDLE Handle = NULL;
    NTSTATUS Status = Open(lpPathName, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, &Handle);
    if (!NT_SUCCESS(Status)) {
        Fail(Status);
        return FALSE;
    }
    CloseHandle(Handle);
    return TRUE;
}

}  // extern "C"
