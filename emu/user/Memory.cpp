/*
 * Memory.cpp - virtual memory of the calling process (VirtualAlloc,
 * VirtualFree, VirtualProtect), over the process's emulated user address
 * space (see "User address spaces" in runtime/Runtime.h).
 */
#include <fltKernel.h>
#include <windows.h>

#include "../runtime/Objects.h"
#include "User.h"

namespace {

BOOL Fail(NTSTATUS Status, DWORD Error)
{
    emu::user::NoteStatus(Status);
    SetLastError(Error);
    return FALSE;
}

}  // namespace

extern "C" {

LPVOID WINAPI VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect)
{
    /* The emulation places every allocation itself. */
    if (lpAddress != NULL || dwSize == 0 || (flAllocationType & ~(DWORD)(MEM_COMMIT | MEM_RESERVE)) != 0 ||
        (flAllocationType & (MEM_COMMIT | MEM_RESERVE)) == 0) {
        Fail(STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
        return NULL;
    }
    /* MEM_COMMIT without an address reserves and commits, as on Windows. */
    ULONG Protect = (flAllocationType & MEM_COMMIT) ? flProtect : 0;
    if ((flAllocationType & MEM_COMMIT) && !emu::IsValidPageProtection(Protect)) {
        Fail(STATUS_INVALID_PAGE_PROTECTION, ERROR_INVALID_PARAMETER);
        return NULL;
    }
    void *Base = emu::AllocateUserMemory(emu::CurrentProcess(), dwSize, Protect);
    if (Base == NULL) {
        Fail(STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    emu::user::NoteStatus(STATUS_SUCCESS);
    return Base;
}

BOOL WINAPI VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType)
{
    /* Whole allocations only: MEM_RELEASE with a size of 0. */
    if (dwFreeType != MEM_RELEASE || dwSize != 0) {
        return Fail(STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER);
    }
    NTSTATUS Status = emu::FreeUserMemory(emu::CurrentProcess(), lpAddress);
    if (!NT_SUCCESS(Status)) {
        return Fail(Status, ERROR_INVALID_ADDRESS);
    }
    emu::user::NoteStatus(STATUS_SUCCESS);
    return TRUE;
}

BOOL WINAPI VirtualProtect(LPVOID lpAddress, SIZE_T dwSize, DWORD flNewProtect, PDWORD lpflOldProtect)
{
    ULONG Old = 0;
    NTSTATUS Status = emu::ProtectUserMemory(emu::CurrentProcess(), lpAddress, dwSize, flNewProtect, &Old);
    if (!NT_SUCCESS(Status)) {
        return Fail(Status, Status == STATUS_INVALID_PAGE_PROTECTION ? ERROR_INVALID_PARAMETER : ERROR_INVALID_ADDRESS);
    }
    emu::user::NoteStatus(STATUS_SUCCESS);
    if (lpflOldProtect != NULL) {
        *lpflOldProtect = Old;
    }
    return TRUE;
}

}  // extern "C"
