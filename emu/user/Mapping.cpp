/*
 * Mapping.cpp - Win32 file mappings and flushes: thin wrappers over
 * NtCreateSection, NtMapViewOfSection, NtUnmapViewOfSection,
 * NtFlushVirtualMemory and NtFlushBuffersFile.
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

}  // namespace

extern "C" {

/* CreateFileMapping of a file: the section's size is the file's unless a
   maximum size is given; named and paging-file mappings are not emulated
   (ERROR_INVALID_PARAMETER). */
HANDLE WINAPI CreateFileMappingW(HANDLE hFile, LPVOID lpFileMappingAttributes, DWORD flProtect, DWORD dwMaximumSizeHigh,
                                 DWORD dwMaximumSizeLow, LPCWSTR lpName)
{
    UNREFERENCED_PARAMETER(lpFileMappingAttributes);
    if (hFile == INVALID_HANDLE_VALUE || lpName != NULL) {
        Finish(STATUS_INVALID_PARAMETER);
        return NULL;
    }
    LARGE_INTEGER Maximum;
    Maximum.QuadPart = (LONGLONG)(((ULONGLONG)dwMaximumSizeHigh << 32) | dwMaximumSizeLow);
    ACCESS_MASK Access = SECTION_QUERY | SECTION_MAP_READ |
                         ((flProtect == PAGE_READWRITE || flProtect == PAGE_EXECUTE_READWRITE) ? SECTION_MAP_WRITE : 0);
    HANDLE Section = NULL;
    NTSTATUS Status = NtCreateSection(&Section, Access, NULL, &Maximum, flProtect, SEC_COMMIT, hFile);
    Finish(Status);
    return NT_SUCCESS(Status) ? Section : NULL;
}

/* MapViewOfFile: FILE_MAP_WRITE maps read-write, FILE_MAP_READ read-only;
   a size of 0 maps to the section's end. */
LPVOID WINAPI MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                            DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap)
{
    LARGE_INTEGER Offset;
    Offset.QuadPart = (LONGLONG)(((ULONGLONG)dwFileOffsetHigh << 32) | dwFileOffsetLow);
    PVOID Base = NULL;
    SIZE_T Size = dwNumberOfBytesToMap;
    ULONG Protect = (dwDesiredAccess & FILE_MAP_WRITE) ? PAGE_READWRITE : PAGE_READONLY;
    NTSTATUS Status =
        NtMapViewOfSection(hFileMappingObject, NtCurrentProcess(), &Base, 0, 0, &Offset, &Size, ViewShare, 0, Protect);
    Finish(Status);
    return NT_SUCCESS(Status) ? Base : NULL;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID lpBaseAddress)
{
    return Finish(NtUnmapViewOfSection(NtCurrentProcess(), (PVOID)lpBaseAddress));
}

BOOL WINAPI FlushViewOfFile(LPCVOID lpBaseAddress, SIZE_T dwNumberOfBytesToFlush)
{
    PVOID Base = (PVOID)lpBaseAddress;
    SIZE_T Size = dwNumberOfBytesToFlush;
    IO_STATUS_BLOCK Io = {};
    return Finish(NtFlushVirtualMemory(NtCurrentProcess(), &Base, &Size, &Io));
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    IO_STATUS_BLOCK Io = {};
    return Finish(NtFlushBuffersFile(hFile, &Io));
}

}  // extern "C"
