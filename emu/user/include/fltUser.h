/*
 * fltUser.h - the filter manager's user-mode library, as the emulated
 * platform provides it: connecting to a minifilter's communication port and
 * exchanging messages with it.
 */
#pragma once

#include <windows.h>

EXTERN_C_START

typedef struct _FILTER_MESSAGE_HEADER {
    ULONG ReplyLength;
    ULONGLONG MessageId;
} FILTER_MESSAGE_HEADER, *PFILTER_MESSAGE_HEADER;

typedef struct _FILTER_REPLY_HEADER {
    NTSTATUS Status;
    ULONGLONG MessageId;
} FILTER_REPLY_HEADER, *PFILTER_REPLY_HEADER;

#define FLT_PORT_FLAG_SYNC_HANDLE 0x00000001

HRESULT WINAPI FilterConnectCommunicationPort(_In_ LPCWSTR lpPortName, _In_ DWORD dwOptions,
    _In_reads_bytes_opt_(wSizeOfContext) LPCVOID lpContext, _In_ WORD wSizeOfContext,
    _In_opt_ LPSECURITY_ATTRIBUTES lpSecurityAttributes, _Outptr_ HANDLE *hPort);

HRESULT WINAPI FilterSendMessage(_In_ HANDLE hPort, _In_reads_bytes_opt_(dwInBufferSize) LPVOID lpInBuffer,
    _In_ DWORD dwInBufferSize, _Out_writes_bytes_to_opt_(dwOutBufferSize, *lpBytesReturned) LPVOID lpOutBuffer,
    _In_ DWORD dwOutBufferSize, _Out_ LPDWORD lpBytesReturned);

HRESULT WINAPI FilterGetMessage(_In_ HANDLE hPort,
    _Out_writes_bytes_(dwMessageBufferSize) PFILTER_MESSAGE_HEADER lpMessageBuffer, _In_ DWORD dwMessageBufferSize,
    _Inout_opt_ LPOVERLAPPED lpOverlapped);

HRESULT WINAPI FilterReplyMessage(_In_ HANDLE hPort, _In_reads_bytes_(dwReplyBufferSize) PFILTER_REPLY_HEADER lpReplyBuffer,
    _In_ DWORD dwReplyBufferSize);

EXTERN_C_END

#ifdef __cplusplus
static_assert(sizeof(FILTER_MESSAGE_HEADER) == 16, "FILTER_MESSAGE_HEADER");
static_assert(sizeof(FILTER_REPLY_HEADER) == 16, "FILTER_REPLY_HEADER");
#endif
