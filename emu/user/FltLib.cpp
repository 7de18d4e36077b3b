/*
 * FltLib.cpp - the filter manager's user-mode library.  Calls run on the
 * calling thread, in its emulated process, and reach the filter through the
 * emulated filter manager; failures come back as HRESULTs made from the
 * Win32 error of the NTSTATUS, as the library reports them.
 */
#include <fltKernel.h>
#include <fltUser.h>

#include "../fltmgr/FltMgr.h"
#include "User.h"

using namespace emu;

namespace {

HRESULT Result(NTSTATUS Status)
{
    emu::user::NoteStatus(Status);
    if (NT_SUCCESS(Status)) {
        return S_OK;
    }
    return HRESULT_FROM_WIN32(emu::user::Win32ErrorOf(Status));
}

}  // namespace

extern "C" {

HRESULT WINAPI FilterConnectCommunicationPort(LPCWSTR lpPortName, DWORD dwOptions, LPCVOID lpContext,
                                              WORD wSizeOfContext, LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                              HANDLE *hPort)
{
    UNREFERENCED_PARAMETER(dwOptions);
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    if (lpPortName == NULL || hPort == NULL || (lpContext == NULL) != (wSizeOfContext == 0)) {
        return Result(STATUS_INVALID_PARAMETER);
    }
    *hPort = INVALID_HANDLE_VALUE;
    std::u16string Name((const char16_t *)lpPortName);
    HANDLE Port = NULL;
    NTSTATUS Status = ConnectToPort(Name, lpContext, wSizeOfContext, &Port);
    if (NT_SUCCESS(Status)) {
        *hPort = Port;
    }
    return Result(Status);
}

HRESULT WINAPI FilterSendMessage(HANDLE hPort, LPVOID lpInBuffer, DWORD dwInBufferSize, LPVOID lpOutBuffer,
                                 DWORD dwOutBufferSize, LPDWORD lpBytesReturned)
{
    ULONG Returned = 0;
    NTSTATUS Status = SendToFilter(hPort, lpInBuffer, dwInBufferSize, lpOutBuffer, dwOutBufferSize, &Returned);
    if (lpBytesReturned != NULL) {
        *lpBytesReturned = Returned;
    }
    return Result(Status);
}

HRESULT WINAPI FilterGetMessage(HANDLE hPort, PFILTER_MESSAGE_HEADER lpMessageBuffer, DWORD dwMessageBufferSize,
                                LPOVERLAPPED lpOverlapped)
{
    if (lpOverlapped != NULL) {
        return Result(STATUS_NOT_SUPPORTED);  // the emulation gets messages synchronously only
    }
    return Result(GetFilterMessage(hPort, lpMessageBuffer, dwMessageBufferSize));
}

/* A reply longer than the filter's reply buffer reaches the filter cut, and
   fails here with HRESULT_FROM_WIN32(ERROR_MORE_DATA), the error of
   STATUS_BUFFER_OVERFLOW: the page documents "an error value" and, for the
   filter's side, STATUS_BUFFER_OVERFLOW. */
HRESULT WINAPI FilterReplyMessage(HANDLE hPort, PFILTER_REPLY_HEADER lpReplyBuffer, DWORD dwReplyBufferSize)
{
    NTSTATUS Status = ReplyToFilter(hPort, lpReplyBuffer, dwReplyBufferSize);
    if (Status == STATUS_FLT_NO_WAITER_FOR_REPLY) {
        emu::user::NoteStatus(Status);
        return (HRESULT)ERROR_FLT_NO_WAITER_FOR_REPLY;
    }
    return Result(Status);
}

}  // extern "C"
