/*
 * Win32.cpp - last-error values, status translation, handle closing.
 */
#include <fltKernel.h>
#include <windows.h>

#include "../runtime/Objects.h"
#include "User.h"

namespace {

thread_local DWORD LastError = 0;
thread_local NTSTATUS LastNtStatus = 0;

struct StatusMapping {
    NTSTATUS Status;
    ULONG Error;
};

const StatusMapping Mappings[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_ACCESS_VIOLATION, ERROR_NOACCESS},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_CANNOT_DELETE, ERROR_ACCESS_DENIED},
    {STATUS_FILE_DELETED, ERROR_ACCESS_DENIED},
    {STATUS_TOO_MANY_LINKS, 1142L /* ERROR_TOO_MANY_LINKS */},
    {STATUS_CONNECTION_COUNT_LIMIT, ERROR_CONNECTION_COUNT_LIMIT},
    {STATUS_DATATYPE_MISALIGNMENT, 998L /* ERROR_NOACCESS */},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_DIRECTORY_NOT_EMPTY, ERROR_DIR_NOT_EMPTY},
    {STATUS_END_OF_FILE, ERROR_HANDLE_EOF},
    {STATUS_FILE_IS_A_DIRECTORY, ERROR_ACCESS_DENIED},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_IO_REPARSE_TAG_NOT_HANDLED, ERROR_CANT_ACCESS_FILE},
    {STATUS_FILE_LOCK_CONFLICT, ERROR_LOCK_VIOLATION},
    {STATUS_LOCK_NOT_GRANTED, ERROR_LOCK_VIOLATION},
    {STATUS_RANGE_NOT_LOCKED, ERROR_NOT_LOCKED},
    {STATUS_NOT_A_DIRECTORY, ERROR_DIRECTORY},
    {STATUS_NOT_A_REPARSE_POINT, ERROR_NOT_A_REPARSE_POINT},
    {STATUS_NOT_FOUND, ERROR_NOT_FOUND},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_NOT_SAME_DEVICE, ERROR_NOT_SAME_DEVICE},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
    {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
    {STATUS_PORT_DISCONNECTED, ERROR_INVALID_HANDLE},
    {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
    {STATUS_TIMEOUT, ERROR_TIMEOUT},
    {(NTSTATUS)0xC000CF01L, ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING},
};

}  // namespace

namespace emu::user {

ULONG Win32ErrorOf(NTSTATUS Status)
{
    for (const auto &Mapping : Mappings) {
        if (Mapping.Status == Status) {
            return Mapping.Error;
        }
    }
    return ERROR_MR_MID_NOT_FOUND;
}

void NoteStatus(NTSTATUS Status)
{
    LastNtStatus = Status;
}

NTSTATUS LastStatus()
{
    return LastNtStatus;
}

}  // namespace emu::user

extern "C" {

DWORD WINAPI GetLastError(void)
{
    return LastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    LastError = dwErrCode;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    /* A program's handles are its own; kernel handles are not. */
    NTSTATUS Status = emu::IsKernelHandle(hObject) ? STATUS_INVALID_HANDLE
                                                   : emu::CloseHandleIn(emu::CurrentProcess(), hObject);
    emu::user::NoteStatus(Status);
    if (!NT_SUCCESS(Status)) {
        SetLastError(emu::user::Win32ErrorOf(Status));
        return FALSE;
    }
    return TRUE;
}

}  // extern "C"
