/*
 * FileIo.cpp - Win32 data and control calls on an open file: reads,
 * writes, device and file-system controls, the file pointer and the end of
 * file.  Each becomes the I/O request Windows would build and passes the
 * filters attached to the volume on its way to the file system.
 */
#include <fltKernel.h>
#include <windows.h>

#include "../io/Io.h"
#include "User.h"

using namespace emu;

namespace {

/* The file object behind a handle of the calling process, referenced, and
   the access the handle grants. */
EmuFile *Open(HANDLE Handle, ACCESS_MASK *Granted)
{
    PVOID Object = nullptr;
    if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), Handle, *IoFileObjectType, &Object, Granted))) {
        return nullptr;
    }
    return (EmuFile *)Object;
}

/* The file object behind a handle whose access covers any of Required
   (none: any handle); null with the failure status otherwise. */
EmuFile *OpenFor(HANDLE Handle, ACCESS_MASK Required, NTSTATUS *Status)
{
    ACCESS_MASK Granted;
    EmuFile *File = Open(Handle, &Granted);
    *Status = STATUS_SUCCESS;
    if (File == nullptr) {
        *Status = STATUS_INVALID_HANDLE;
    } else if (Required != 0 && !(Granted & Required)) {
        ObfDereferenceObject(File);
        File = nullptr;
        *Status = STATUS_ACCESS_DENIED;
    }
    return File;
}

/* Where a read or write starts: the overlapped offset, or the file
   object's current position. */
ULONGLONG OffsetFor(EmuFile *File, LPOVERLAPPED Overlapped)
{
    return Overlapped != NULL ? ((ULONGLONG)Overlapped->OffsetHigh << 32) | Overlapped->Offset
                              : (ULONGLONG)File->File.CurrentByteOffset.QuadPart;
}

BOOL Finish(EmuFile *File, NTSTATUS Status)
{
    if (File != nullptr) {
        ObfDereferenceObject(File);
    }
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

constexpr ULONG FileDeviceFileSystem = 9;

}  // namespace

extern "C" {

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped)
{
    NTSTATUS Opened;
    EmuFile *File = OpenFor(hFile, FILE_READ_DATA, &Opened);
    if (File == nullptr) {
        return Finish(nullptr, Opened);
    }
    ULONGLONG Offset = OffsetFor(File, lpOverlapped);
    FLT_IO_PARAMETER_BLOCK Iopb = {};
    Iopb.MajorFunction = IRP_MJ_READ;
    Iopb.Parameters.Read.Length = nNumberOfBytesToRead;
    Iopb.Parameters.Read.ByteOffset.QuadPart = (LONGLONG)Offset;
    Iopb.Parameters.Read.ReadBuffer = lpBuffer;
    ULONG_PTR Read = 0;
    NTSTATUS Status = DispatchToFilters(File, &Iopb, UserMode, [&](ULONG_PTR *Information) {
        ULONG Count = 0;
        NTSTATUS Result = FsRead(File, Offset, nNumberOfBytesToRead, lpBuffer, &Count);
        *Information = Count;
        return Result;
    }, &Read);
    if (Status == STATUS_END_OF_FILE) {
        Status = STATUS_SUCCESS;  // ReadFile reports the end of a file as zero bytes read
        Read = 0;
    }
    if (NT_SUCCESS(Status)) {
        File->File.CurrentByteOffset.QuadPart = (LONGLONG)(Offset + Read);
    }
    if (lpNumberOfBytesRead != NULL) {
        *lpNumberOfBytesRead = NT_SUCCESS(Status) ? (DWORD)Read : 0;
    }
    return Finish(File, Status);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped)
{
    NTSTATUS Opened;
    EmuFile *File = OpenFor(hFile, FILE_WRITE_DATA | FILE_APPEND_DATA, &Opened);
    if (File == nullptr) {
        return Finish(nullptr, Opened);
    }
    ULONGLONG Offset = OffsetFor(File, lpOverlapped);
    FLT_IO_PARAMETER_BLOCK Iopb = {};
    Iopb.MajorFunction = IRP_MJ_WRITE;
    Iopb.Parameters.Write.Length = nNumberOfBytesToWrite;
    Iopb.Parameters.Write.ByteOffset.QuadPart = (LONGLONG)Offset;
    Iopb.Parameters.Write.WriteBuffer = (PVOID)lpBuffer;
    ULONG_PTR Written = 0;
    NTSTATUS Status = DispatchToFilters(File, &Iopb, UserMode, [&](ULONG_PTR *Information) {
        ULONG Count = 0;
        NTSTATUS Result = FsWrite(File, Offset, nNumberOfBytesToWrite, lpBuffer, false, &Count);
        *Information = Count;
        return Result;
    }, &Written);
    if (NT_SUCCESS(Status)) {
        File->File.CurrentByteOffset.QuadPart = (LONGLONG)(Offset + Written);
    }
    if (lpNumberOfBytesWritten != NULL) {
        *lpNumberOfBytesWritten = NT_SUCCESS(Status) ? (DWORD)Written : 0;
    }
    return Finish(File, Status);
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped)
{
    UNREFERENCED_PARAMETER(lpOverlapped);
    ACCESS_MASK Granted;
    EmuFile *File = Open(hDevice, &Granted);
    if (File == nullptr) {
        return Finish(nullptr, STATUS_INVALID_HANDLE);
    }
    /* The access the code asks for (bits 14-15) must be granted. */
    ULONG RequiredAccess = (dwIoControlCode >> 14) & 3;
    if (((RequiredAccess & 1) && !(Granted & FILE_READ_DATA)) || ((RequiredAccess & 2) && !(Granted & FILE_WRITE_DATA))) {
        return Finish(File, STATUS_ACCESS_DENIED);
    }
    bool FileSystemControl = (dwIoControlCode >> 16) == FileDeviceFileSystem;
    ULONG Method = dwIoControlCode & 3;
    FLT_IO_PARAMETER_BLOCK Iopb = {};
    Iopb.MajorFunction = FileSystemControl ? IRP_MJ_FILE_SYSTEM_CONTROL : IRP_MJ_DEVICE_CONTROL;
    /* The two major functions share their parameter layout. */
    Iopb.Parameters.DeviceIoControl.Common.OutputBufferLength = nOutBufferSize;
    Iopb.Parameters.DeviceIoControl.Common.InputBufferLength = nInBufferSize;
    Iopb.Parameters.DeviceIoControl.Common.IoControlCode = dwIoControlCode;
    std::vector<UCHAR> SystemBuffer;
    if (Method == 0) {
        /* Buffered: one system buffer carries the input in and the output out. */
        SystemBuffer.assign(nInBufferSize > nOutBufferSize ? nInBufferSize : nOutBufferSize, 0);
        if (nInBufferSize != 0) {
            memcpy(SystemBuffer.data(), lpInBuffer, nInBufferSize);
        }
        Iopb.Parameters.DeviceIoControl.Buffered.SystemBuffer = SystemBuffer.empty() ? NULL : SystemBuffer.data();
    } else {
        Iopb.Parameters.DeviceIoControl.Neither.InputBuffer = lpInBuffer;
        Iopb.Parameters.DeviceIoControl.Neither.OutputBuffer = lpOutBuffer;
    }
    PVOID Input = Method == 0 ? (PVOID)SystemBuffer.data() : lpInBuffer;
    PVOID Output = Method == 0 ? (PVOID)SystemBuffer.data() : lpOutBuffer;
    ULONG_PTR Returned = 0;
    NTSTATUS Status = DispatchToFilters(File, &Iopb, UserMode, [&](ULONG_PTR *Information) {
        if (!FileSystemControl) {
            return STATUS_INVALID_DEVICE_REQUEST;  // the file system has no device controls of its own
        }
        ULONG Count = 0;
        NTSTATUS Result = FsControl(File, dwIoControlCode, nInBufferSize != 0 ? Input : NULL, nInBufferSize,
                                    nOutBufferSize != 0 ? Output : NULL, nOutBufferSize, &Count, UserMode);
        *Information = Count;
        return Result;
    }, &Returned);
    if (Method == 0 && !NT_ERROR(Status) && Returned != 0) {
        memcpy(lpOutBuffer, SystemBuffer.data(), Returned < nOutBufferSize ? Returned : nOutBufferSize);
    }
    if (lpBytesReturned != NULL) {
        *lpBytesReturned = NT_ERROR(Status) ? 0 : (DWORD)Returned;
    }
    return Finish(File, Status);
}

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod)
{
    NTSTATUS Opened;
    EmuFile *File = OpenFor(hFile, 0, &Opened);
    if (File == nullptr) {
        return Finish(nullptr, Opened);
    }
    LONGLONG Base = 0;
    if (dwMoveMethod == FILE_CURRENT) {
        Base = File->File.CurrentByteOffset.QuadPart;
    } else if (dwMoveMethod == FILE_END) {
        ULONG Returned = 0;
        FILE_STANDARD_INFORMATION Standard;
        FsQueryInformation(File, FileStandardInformation, &Standard, sizeof(Standard), &Returned);
        Base = Standard.EndOfFile.QuadPart;
    } else if (dwMoveMethod != FILE_BEGIN) {
        return Finish(File, STATUS_INVALID_PARAMETER);
    }
    LONGLONG Position = Base + liDistanceToMove.QuadPart;
    if (Position < 0) {
        return Finish(File, STATUS_INVALID_PARAMETER);
    }
    File->File.CurrentByteOffset.QuadPart = Position;
    if (lpNewFilePointer != NULL) {
        lpNewFilePointer->QuadPart = Position;
    }
    return Finish(File, STATUS_SUCCESS);
}

BOOL WINAPI SetEndOfFile(HANDLE hFile)
{
    NTSTATUS Opened;
    EmuFile *File = OpenFor(hFile, FILE_WRITE_DATA, &Opened);
    if (File == nullptr) {
        return Finish(nullptr, Opened);
    }
    FILE_END_OF_FILE_INFORMATION EndOfFile;
    EndOfFile.EndOfFile = File->File.CurrentByteOffset;
    FLT_IO_PARAMETER_BLOCK Iopb = {};
    Iopb.MajorFunction = IRP_MJ_SET_INFORMATION;
    Iopb.Parameters.SetFileInformation.Length = sizeof(EndOfFile);
    Iopb.Parameters.SetFileInformation.FileInformationClass = FileEndOfFileInformation;
    Iopb.Parameters.SetFileInformation.InfoBuffer = &EndOfFile;
    ULONG_PTR Information = 0;
    NTSTATUS Status = DispatchToFilters(File, &Iopb, UserMode, [&](ULONG_PTR *) {
        return FsSetInformation(File, FileEndOfFileInformation, &EndOfFile, sizeof(EndOfFile), UserMode);
    }, &Information);
    return Finish(File, Status);
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    NTSTATUS Opened;
    EmuFile *File = OpenFor(hFile, 0, &Opened);
    if (File == nullptr) {
        return Finish(nullptr, Opened);
    }
    FILE_STANDARD_INFORMATION Standard;
    ULONG Returned = 0;
    NTSTATUS Status = FsQueryInformation(File, FileStandardInformation, &Standard, sizeof(Standard), &Returned);
    if (NT_SUCCESS(Status)) {
        *lpFileSize = Standard.EndOfFile;
    }
    return Finish(File, Status);
}

}  // extern "C"
