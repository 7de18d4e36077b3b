/*
 * ServiceClient.cpp - connecting sync roots, receiving and answering the
 * filter's messages, and sending commands.
 */
#include "ServiceClient.h"

#include <string.h>

namespace zentaflt::service {

namespace {

/* A field of WCHARs holding a string without a terminator: up to the first
   zero unit, or the whole field. */
std::u16string Decode(const WCHAR *Field, size_t Units)
{
    size_t Length = 0;
    while (Length < Units && Field[Length] != 0) {
        Length += 1;
    }
    return std::u16string((const char16_t *)Field, Length);
}

}  // namespace

HRESULT ConnectSyncRoot(HANDLE Directory, ServiceConnection *Connection, WORD ContextSize)
{
    unsigned char Context[16] = {};
    ULONGLONG Value = (ULONGLONG)(ULONG_PTR)Directory;
    memcpy(Context, &Value, sizeof(Value));
    if (ContextSize > sizeof(Context)) {
        return E_INVALIDARG;
    }
    return FilterConnectCommunicationPort(ServerPortName, 0, ContextSize == 0 ? NULL : Context, ContextSize, NULL,
                                          &Connection->Port);
}

HRESULT ConnectSyncRootPath(LPCWSTR Path, ServiceConnection *Connection)
{
    HANDLE Directory = CreateFileW(Path, SyncRootDirectoryAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (Directory == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    HRESULT Result = ConnectSyncRoot(Directory, Connection);
    CloseHandle(Directory);
    return Result;
}

void Disconnect(ServiceConnection *Connection)
{
    if (Connection->Port != INVALID_HANDLE_VALUE && Connection->Port != NULL) {
        CloseHandle(Connection->Port);
    }
    Connection->Port = INVALID_HANDLE_VALUE;
}

HRESULT ReceiveMessage(const ServiceConnection &Connection, ReceivedMessage *Message)
{
    return FilterGetMessage(Connection.Port, &Message->Header, sizeof(ReceivedMessage), NULL);
}

HRESULT ReplyToMessage(const ServiceConnection &Connection, ULONGLONG MessageId, SERVICE_REPLY Reply)
{
    struct {
        FILTER_REPLY_HEADER Header;
        SERVICE_REPLY Reply;
    } Answer;
    memset(&Answer, 0, sizeof(Answer));
    Answer.Header.MessageId = MessageId;
    Answer.Reply = Reply;
    return FilterReplyMessage(Connection.Port, &Answer.Header, sizeof(FILTER_REPLY_HEADER) + sizeof(SERVICE_REPLY));
}

HRESULT SendCommand(const ServiceConnection &Connection, const SERVICE_COMMAND &Command, ULONG *Output,
                    DWORD *Returned)
{
    SERVICE_COMMAND Copy = Command;
    return FilterSendMessage(Connection.Port, &Copy, sizeof(Copy), Output, sizeof(*Output), Returned);
}

HRESULT TransferData(const ServiceConnection &Connection, ULONGLONG RequestId, ULONGLONG Offset, const void *Data,
                     ULONG Length)
{
    SERVICE_COMMAND Command;
    memset(&Command, 0, sizeof(Command));
    Command.Command = CommandTransferData;
    Command.TransferData.RequestId = RequestId;
    Command.TransferData.Offset = Offset;
    Command.TransferData.BufferAddress = (ULONGLONG)(ULONG_PTR)Data;
    Command.TransferData.Length = Length;
    ULONG Output = 0;
    DWORD Returned = 0;
    return SendCommand(Connection, Command, &Output, &Returned);
}

HRESULT CompleteHydration(const ServiceConnection &Connection, ULONGLONG RequestId, LONG Status)
{
    SERVICE_COMMAND Command;
    memset(&Command, 0, sizeof(Command));
    Command.Command = CommandCompleteHydration;
    Command.CompleteHydration.RequestId = RequestId;
    Command.CompleteHydration.Status = Status;
    ULONG Output = 0;
    DWORD Returned = 0;
    return SendCommand(Connection, Command, &Output, &Returned);
}

ULONG PieceLength(ULONGLONG Size, ULONGLONG Offset, ULONG PieceSize)
{
    ULONG Piece = PieceSize - PieceSize % TransferUnit;
    if (Piece == 0) {
        Piece = TransferUnit;
    }
    ULONGLONG Left = Offset < Size ? Size - Offset : 0;
    return Left < Piece ? (ULONG)Left : Piece;
}

HRESULT SendFileData(const ServiceConnection &Connection, ULONGLONG RequestId, const void *Data, ULONGLONG Size,
                     ULONG PieceSize)
{
    const unsigned char *Bytes = (const unsigned char *)Data;
    ULONGLONG Offset = 0;
    while (Offset < Size) {
        ULONG Length = PieceLength(Size, Offset, PieceSize);
        HRESULT Result = TransferData(Connection, RequestId, Offset, Bytes + Offset, Length);
        if (Result != S_OK) {
            /* An HRESULT made from an NTSTATUS carries the NT facility bit
               (0x10000000); the hydration fails with a failure status
               either way. */
            LONG Status = ((ULONG)Result & 0x10000000u) ? (LONG)((ULONG)Result & ~0x10000000u)
                                                         : (LONG)0xC0000001u;
            (void)CompleteHydration(Connection, RequestId, Status);
            return Result;
        }
        Offset += Length;
    }
    return CompleteHydration(Connection, RequestId, 0);
}

std::u16string VolumePathOf(const SERVICE_MESSAGE &Message)
{
    return Decode(Message.VolumePath, sizeof(Message.VolumePath) / sizeof(WCHAR));
}

std::u16string PathOf(const SERVICE_MESSAGE &Message)
{
    return Decode(Message.Path, sizeof(Message.Path) / sizeof(WCHAR));
}

std::u16string DestinationPathOf(const SERVICE_MESSAGE &Message)
{
    return Decode(Message.MoveFileOut.DestinationPath, sizeof(Message.MoveFileOut.DestinationPath) / sizeof(WCHAR));
}

std::vector<unsigned char> ReparseDataOf(const SERVICE_MESSAGE &Message)
{
    const unsigned char *Data;
    USHORT Length;
    if (Message.MessageType == MessageTypeMoveFileOut) {
        Data = Message.MoveFileOut.ReparseData;
        Length = Message.MoveFileOut.ReparseDataLength;
    } else {
        Data = Message.Hydrate.ReparseData;
        Length = Message.Hydrate.ReparseDataLength;
    }
    if (Length > ServiceReparseDataSize) {
        Length = ServiceReparseDataSize;
    }
    return std::vector<unsigned char>(Data, Data + Length);
}

}  // namespace zentaflt::service
