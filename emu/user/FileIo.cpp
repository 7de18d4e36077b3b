/*
 * FileIo.cpp - Win32 data and control calls on an open file: thin wrappers
 * over the system services (NtReadFile, NtWriteFile, NtDeviceIoControlFile,
 * NtFsControlFile, NtQueryInformationFile, NtSetInformationFile,
 * NtLockFile, NtUnlockFile, NtCancelIoFileEx), which build the requests.
 */
#include <fltKernel.h>
#include <windows.h>

#include "User.h"

namespace {

BOOL Finish(NTSTATUS Status)
{
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

LARGE_INTEGER Join(DWORD Low, DWORD High)
{
    LARGE_INTEGER Value;
    Value.QuadPart = (LONGLONG)(((ULONGLONG)High << 32) | Low);
    return Value;
}

/* An overlapped offset, or the file pointer. */
LARGE_INTEGER OffsetOf(LPOVERLAPPED Overlapped)
{
    LARGE_INTEGER Offset;
    if (Overlapped != NULL) {
        Offset = Join(Overlapped->Offset, Overlapped->OffsetHigh);
    } else {
        Offset.HighPart = -1;
        Offset.LowPart = FILE_USE_FILE_POINTER_POSITION;
    }
    return Offset;
}

constexpr ULONG FileDeviceFileSystem = 9;

}  // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    IO_STATUS_BLOCK Io = {};
    LARGE_INTEGER Offset = OffsetOf(lpOverlapped);
    NTSTATUS Status = NtReadFile(hFile, NULL, NULL, NULL, &Io, lpBuffer, nNumberOfBytesToRead, &Offset, NULL);
    ULONG_PTR Read = NT_SUCCESS(Status) ? Io.Information : 0;
    if (Status == STATUS_END_OF_FILE) {
        Status = STATUS_SUCCESS;  // ReadFile reports the end of a file as zero bytes read
        Read = 0;
    }
    if (lpNumberOfBytesRead != NULL) {
        *lpNumberOfBytesRead = (DWORD)Read;
    }
    return Finish(Status);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    IO_STATUS_BLOCK Io = {};
    LARGE_INTEGER Offset = OffsetOf(lpOverlapped);
    NTSTATUS Status =
        NtWriteFile(hFile, NULL, NULL, NULL, &Io, (PVOID)lpBuffer, nNumberOfBytesToWrite, &Offset, NULL);
    if (lpNumberOfBytesWritten != NULL) {
        *lpNumberOfBytesWritten = NT_SUCCESS(Status) ? (DWORD)Io.Information : 0;
    }
    return Finish(Status);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    UNREFERENCED_PARAMETER(lpOverlapped);
    IO_STATUS_BLOCK Io = {};
    NTSTATUS Status;
    if ((dwIoControlCode >> 16) == FileDeviceFileSystem) {
        Status = NtFsControlFile(hDevice, NULL, NULL, NULL, &Io, dwIoControlCode, lpInBuffer, nInBufferSize,
                                 lpOutBuffer, nOutBufferSize);
    } else {
        Status = NtDeviceIoControlFile(hDevice, NULL, NULL, NULL, &Io, dwIoControlCode, lpInBuffer, nInBufferSize,
                                       lpOutBuffer, nOutBufferSize);
    }
    if (lpBytesReturned != NULL) {
        *lpBytesReturned = NT_ERROR(Status) ? 0 : (DWORD)Io.Information;
    }
    return Finish(Status);
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod)
{
    IO_STATUS_BLOCK Io = {};
    LONGLONG Base = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    if (dwMoveMethod == FILE_CURRENT) {
        FILE_POSITION_INFORMATION Position = {};
        Status = NtQueryInformationFile(hFile, &Io, &Position, sizeof(Position), FilePositionInformation);
        Base = Position.CurrentByteOffset.QuadPart;
    } else if (dwMoveMethod == FILE_END) {
        FILE_STANDARD_INFORMATION Standard = {};
        Status = NtQueryInformationFile(hFile, &Io, &Standard, sizeof(Standard), FileStandardInformation);
        Base = Standard.EndOfFile.QuadPart;
    } else if (dwMoveMethod != FILE_BEGIN) {
        Status = STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(Status)) {
        return Finish(Status);
    }
    FILE_POSITION_INFORMATION Position;
    Position.CurrentByteOffset.QuadPart = Base + liDistanceToMove.QuadPart;
    Status = NtSetInformationFile(hFile, &Io, &Position, sizeof(Position), FilePositionInformation);
    if (NT_SUCCESS(Status) && lpNewFilePointer != NULL) {
        *lpNewFilePointer = Position.CurrentByteOffset;
    }
    return Finish(Status);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile)
{
    IO_STATUS_BLOCK Io = {};
    FILE_POSITION_INFORMATION Position = {};
    NTSTATUS Status = NtQueryInformationFile(hFile, &Io, &Position, sizeof(Position), FilePositionInformation);
    if (NT_SUCCESS(Status)) {
        FILE_END_OF_FILE_INFORMATION EndOfFile;
        EndOfFile.EndOfFile = Position.CurrentByteOffset;
        Status = NtSetInformationFile(hFile, &Io, &EndOfFile, sizeof(EndOfFile), FileEndOfFileInformation);
    }
    return Finish(Status);
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    IO_STATUS_BLOCK Io = {};
    FILE_STANDARD_INFORMATION Standard = {};
    NTSTATUS Status = NtQueryInformationFile(hFile, &Io, &Standard, sizeof(Standard), FileStandardInformation);
    if (NT_SUCCESS(Status)) {
        *lpFileSize = Standard.EndOfFile;
    }
    return Finish(Status);
}

/* SetFileInformationByHandle: the Win32 records share the layouts of the
   system's information classes ("SetFileInformationByHandle",
   "FILE_RENAME_INFO"), so each goes to NtSetInformationFile as it is. */
BOOL WINAPI SetFileInformationByHandle(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                       LPVOID lpFileInformation, DWORD dwBufferSize)
{
    FILE_INFORMATION_CLASS Class;
    switch (FileInformationClass) {
    case FileBasicInfo:
        Class = FileBasicInformation;
        break;
    case FileRenameInfo:
        Class = FileRenameInformation;
        break;
    case FileRenameInfoEx:
        Class = FileRenameInformationEx;
        break;
    case FileDispositionInfo:
        Class = FileDispositionInformation;
        break;
    case FileDispositionInfoEx:
        Class = FileDispositionInformationEx;
        break;
    case FileAllocationInfo:
        Class = FileAllocationInformation;
        break;
    case FileEndOfFileInfo:
        Class = FileEndOfFileInformation;
        break;
    default:
        return Finish(STATUS_INVALID_PARAMETER);
    }
    IO_STATUS_BLOCK Io = {};
    return Finish(NtSetInformationFile(hFile, &Io, lpFileInformation, dwBufferSize, Class));
}

BOOL WINAPI LockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToLockLow,
                     DWORD nNumberOfBytesToLockHigh)
{
    IO_STATUS_BLOCK Io = {};
    LARGE_INTEGER Offset = Join(dwFileOffsetLow, dwFileOffsetHigh);
    LARGE_INTEGER Length = Join(nNumberOfBytesToLockLow, nNumberOfBytesToLockHigh);
    return Finish(NtLockFile(hFile, NULL, NULL, NULL, &Io, &Offset, &Length, 0, TRUE, TRUE));
}

BOOL WINAPI UnlockFile(HANDLE hFile, DWORD dwFileOffsetLow, DWORD dwFileOffsetHigh, DWORD nNumberOfBytesToUnlockLow,
                       DWORD nNumberOfBytesToUnlockHigh)
{
    IO_STATUS_BLOCK Io = {};
    LARGE_INTEGER Offset = Join(dwFileOffsetLow, dwFileOffsetHigh);
    LARGE_INTEGER Length = Join(nNumberOfBytesToUnlockLow, nNumberOfBytesToUnlockHigh);
    return Finish(NtUnlockFile(hFile, &Io, &Offset, &Length, 0));
}

BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped)
{
    UNREFERENCED_PARAMETER(lpOverlapped);
    IO_STATUS_BLOCK Io = {};
    return Finish(NtCancelIoFileEx(hFile, NULL, &Io));
}

/* GetFileInformationByHandleEx: FileBasicInfo and FileStandardInfo share
   the layouts of FileBasicInformation and FileStandardInformation
   ("GetFileInformationByHandleEx", "FILE_STANDARD_INFO"); other classes are
   not emulated (ERROR_INVALID_PARAMETER). */
BOOL WINAPI GetFileInformationByHandleEx(HANDLE hFile, FILE_INFO_BY_HANDLE_CLASS FileInformationClass,
                                         LPVOID lpFileInformation, DWORD dwBufferSize)
{
    FILE_INFORMATION_CLASS Class;
    switch (FileInformationClass) {
    case FileBasicInfo:
        Class = FileBasicInformation;
        break;
    case FileStandardInfo:
        Class = FileStandardInformation;
        break;
    default:
        return Finish(STATUS_INVALID_PARAMETER);
    }
    IO_STATUS_BLOCK Io = {};
    return Finish(NtQueryInformationFile(hFile, &Io, lpFileInformation, dwBufferSize, Class));
}

}  // extern "C"
