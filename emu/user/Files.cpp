/*
 * Files.cpp - Win32 file calls for programs and the service.  Paths are
 * drive-letter paths ("C:\dir\file", or "\\?\C:\dir\file"); a call opens
 * with NtCreateFile in the caller's process, in user mode.  Moves, hard
 * links and deletes open the file and set its rename, link or disposition
 * information through NtSetInformationFile, as "MoveFileExW",
 * "CreateHardLinkW", "DeleteFileW" and "RemoveDirectoryW" describe: a move
 * to another volume fails with ERROR_NOT_SAME_DEVICE (the emulation copies
 * nothing), an existing target without MOVEFILE_REPLACE_EXISTING with
 * ERROR_ALREADY_EXISTS.
 */
#include <fltKernel.h>
#include <windows.h>

#include <string>
#include <vector>
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

BOOL Result(NTSTATUS Status)
{
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

/* Opens Path, sets Class with a rename or link record naming Target (a
   drive-letter path), and closes. */
NTSTATUS SetName(LPCWSTR Path, ACCESS_MASK Access, FILE_INFORMATION_CLASS Class, LPCWSTR Target, BOOLEAN Replace)
{
    std::u16string TargetName = NtNameOf(Target);
    if (TargetName.empty()) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    HANDLE Handle = NULL;
    NTSTATUS Status = Open(Path, Access | SYNCHRONIZE, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           FILE_OPEN, FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, &Handle);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    ULONG Bytes = (ULONG)(TargetName.size() * sizeof(WCHAR));
    std::vector<UCHAR> Buffer(FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName) + Bytes + sizeof(WCHAR));
    auto Information = (PFILE_RENAME_INFORMATION)Buffer.data();
    Information->ReplaceIfExists = Replace;
    Information->RootDirectory = NULL;
    Information->FileNameLength = Bytes;
    memcpy(Information->FileName, TargetName.data(), Bytes);
    IO_STATUS_BLOCK Io = {};
    Status = NtSetInformationFile(Handle, &Io, Information, (ULONG)Buffer.size(), Class);
    CloseHandle(Handle);
    return Status;
}

/* Opens Path for deletion and marks it deleted; it goes with the last
   handle. */
NTSTATUS Delete(LPCWSTR Path, ULONG Options)
{
    HANDLE Handle = NULL;
    NTSTATUS Status = Open(Path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                           Options | FILE_OPEN_FOR_BACKUP_INTENT | FILE_OPEN_REPARSE_POINT |
                               FILE_SYNCHRONOUS_IO_NONALERT,
                           &Handle);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    FILE_DISPOSITION_INFORMATION Disposition = {TRUE};
    IO_STATUS_BLOCK Io = {};
    Status = NtSetInformationFile(Handle, &Io, &Disposition, sizeof(Disposition), FileDispositionInformation);
    CloseHandle(Handle);
    return Status;
}

}  // namespace

extern "C" {

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags)
{
    if (lpNewFileName == NULL) {
        return Result(STATUS_INVALID_PARAMETER);  // delete at reboot: no reboots here
    }
    return Result(SetName(lpExistingFileName, DELETE, FileRenameInformation, lpNewFileName,
                          (dwFlags & MOVEFILE_REPLACE_EXISTING) ? TRUE : FALSE));
}

BOOL WINAPI CreateHardLinkW(LPCWSTR lpFileName, LPCWSTR lpExistingFileName, LPSECURITY_ATTRIBUTES lpSecurityAttributes)
{
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    return Result(SetName(lpExistingFileName, FILE_WRITE_ATTRIBUTES, FileLinkInformation, lpFileName, FALSE));
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
    NTSTATUS Status = Delete(lpFileName, FILE_NON_DIRECTORY_FILE);
    if (Status == STATUS_FILE_IS_A_DIRECTORY) {
        Status = STATUS_ACCESS_DENIED;
    }
    return Result(Status);
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName)
{
    return Result(Delete(lpPathName, FILE_DIRECTORY_FILE));
}


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
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
        Options |= FILE_DELETE_ON_CLOSE;
        dwDesiredAccess |= DELETE;  // "CreateFileW": the open asks for DELETE itself
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
