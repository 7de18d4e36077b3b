/*
 * Files.cpp - Win32 file calls for programs and the service.  Paths are
 * drive-letter paths ("C:\dir\file", or "\\?\C:\dir\file"); a call opens
 * through the emulated I/O manager in the caller's process, in user mode.
 */
#include <fltKernel.h>
#include <windows.h>

#include "../io/Io.h"
#include "User.h"

using namespace emu;

namespace {

/* Splits a drive-letter path into its volume and volume-relative path. */
bool ResolvePath(LPCWSTR Path, _FLT_VOLUME **Volume, std::u16string *Relative)
{
    if (Path == NULL) {
        return false;
    }
    std::u16string Text((const char16_t *)Path);
    if (Text.rfind(u"\\\\?\\", 0) == 0) {
        Text = Text.substr(4);
    }
    if (Text.size() < 2 || Text[1] != u':') {
        return false;
    }
    *Volume = VolumeByLetter((WCHAR)Text[0]);
    *Relative = Text.size() == 2 ? u"\\" : Text.substr(2);
    return *Volume != nullptr && !Relative->empty() && (*Relative)[0] == u'\\';
}

HANDLE Fail(NTSTATUS Status)
{
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    return INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    _FLT_VOLUME *Volume = nullptr;
    std::u16string Relative;
    if (!ResolvePath(lpFileName, &Volume, &Relative)) {
        return Fail(STATUS_OBJECT_PATH_NOT_FOUND);
    }
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
    NTSTATUS Status = emu::CreateFile(Volume, Relative, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                      dwFlagsAndAttributes & 0xFFFF, dwShareMode, Disposition, Options, UserMode,
                                      &Handle, nullptr);
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
    _FLT_VOLUME *Volume = nullptr;
    std::u16string Relative;
    if (!ResolvePath(lpPathName, &Volume, &Relative)) {
        Fail(STATUS_OBJECT_PATH_NOT_FOUND);
        return FALSE;
    }
    HANDLE Handle = NULL;
    NTSTATUS Status = emu::CreateFile(Volume, Relative, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_ATTRIBUTE_NORMAL,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_CREATE,
                                      FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, UserMode, &Handle, nullptr);
    if (!NT_SUCCESS(Status)) {
        Fail(Status);
        return FALSE;
    }
    CloseHandle(Handle);
    return TRUE;
}

}  // extern "C"
