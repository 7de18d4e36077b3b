/*
 * ServiceClient.h - the service's side of the filter's port protocol.
 *
 * A ServiceConnection is one sync root: connecting hands the filter a
 * handle to the directory, after which the service receives the filter's
 * messages on it, answers the questions among them, and sends the data and
 * completion of every hydration it is asked for.  User-mode code; builds
 * against the Windows SDK headers and against the emulated ones alike.
 */
#pragma once

#include <windows.h>

#include <fltuser.h>

#include <functional>
#include <string>
#include <vector>

#include "../include/ServiceProtocol.h"

namespace zentaflt::service {

struct ServiceConnection {
    HANDLE Port = INVALID_HANDLE_VALUE;
};

/* A message as the service receives it: the port's header, then the
   record. */
struct ReceivedMessage {
    FILTER_MESSAGE_HEADER Header;
    SERVICE_MESSAGE Message;
};

/* Connects the sync root whose directory handle (valid in this process,
   opened with SyncRootDirectoryAccess) is Directory.  ContextSize is the
   number of context bytes sent (8 normally; tests send other sizes). */
HRESULT ConnectSyncRoot(HANDLE Directory, ServiceConnection *Connection,
                        WORD ContextSize = ServiceConnectionContextSize);

/* Opens Path (a directory) with the access a sync root needs, connects it,
   and closes the directory handle again. */
HRESULT ConnectSyncRootPath(LPCWSTR Path, ServiceConnection *Connection);

void Disconnect(ServiceConnection *Connection);

/* Waits for the next message of the connection.  Message must point to a
   ReceivedMessage (over 129 KiB; allocate it, do not put it on the stack). */
HRESULT ReceiveMessage(const ServiceConnection &Connection, ReceivedMessage *Message);

/* Answers a question with a 4-byte ServiceReply. */
HRESULT ReplyToMessage(const ServiceConnection &Connection, ULONGLONG MessageId, SERVICE_REPLY Reply);

/* Sends one command; Output receives the filter's u32 answer. */
HRESULT SendCommand(const ServiceConnection &Connection, const SERVICE_COMMAND &Command, ULONG *Output,
                    DWORD *Returned);

HRESULT TransferData(const ServiceConnection &Connection, ULONGLONG RequestId, ULONGLONG Offset, const void *Data,
                     ULONG Length);

HRESULT CompleteHydration(const ServiceConnection &Connection, ULONGLONG RequestId, LONG Status);

/* The unit of transfers: every piece starts at a multiple of it, and every
   piece but the one that ends the file is a multiple of it long, so that
   the file receives exactly the service's bytes. */
constexpr ULONG TransferUnit = 4096;

/* The length of the piece that starts at Offset (a multiple of
   TransferUnit) of a file of Size bytes, sent in pieces of at most
   PieceSize bytes (rounded down to a multiple of TransferUnit, at least
   one unit). */
ULONG PieceLength(ULONGLONG Size, ULONGLONG Offset, ULONG PieceSize);

/* Sends Size bytes of Data as the file's content for a request, in pieces
   that follow the alignment rules, then completes the request with
   STATUS_SUCCESS.  When a transfer fails, the request is completed with a
   failure status instead (the NTSTATUS carried by an HRESULT of the NT
   facility, else STATUS_UNSUCCESSFUL) and the failure is returned. */
HRESULT SendFileData(const ServiceConnection &Connection, ULONGLONG RequestId, const void *Data, ULONGLONG Size,
                     ULONG PieceSize = 1024 * 1024);

/* The counted strings of a message, decoded. */
std::u16string VolumePathOf(const SERVICE_MESSAGE &Message);
std::u16string PathOf(const SERVICE_MESSAGE &Message);
std::u16string DestinationPathOf(const SERVICE_MESSAGE &Message);
std::vector<unsigned char> ReparseDataOf(const SERVICE_MESSAGE &Message);

/* ------------------------------------------------------------------------
 * Placeholders: the placeholder control request, built as the wire format
 * says (ServiceProtocol.h) with the placeholder tag and GUID, sent on a
 * handle to the directory (create) or to the file (convert, update).  Each
 * call returns S_OK, E_INVALIDARG for arguments no request could carry
 * (nothing is sent then), the HRESULT_FROM_WIN32 of a failed open, or the
 * HRESULT_FROM_NT of the request's failure status.
 * ---------------------------------------------------------------------- */

/* A placeholder as the service describes it: its name in its directory
   (no backslash), size, four times, attributes (the placeholder
   attributes are added) and the service's own reparse data. */
struct PlaceholderDescription {
    std::u16string Name;
    LONGLONG FileSize = 0;
    LARGE_INTEGER CreationTime{}, LastAccessTime{}, LastWriteTime{}, ChangeTime{};
    ULONG FileAttributes = 0;
    std::vector<unsigned char> ReparseData;
};

/* Creates the placeholder in the directory behind Directory, a handle
   opened with FILE_ADD_FILE access. */
HRESULT CreatePlaceholder(HANDLE Directory, const PlaceholderDescription &Placeholder);

/* Opens the directory at DirectoryPath with FILE_ADD_FILE access, creates
   the placeholder in it and closes the directory again. */
HRESULT CreatePlaceholderIn(LPCWSTR DirectoryPath, const PlaceholderDescription &Placeholder);

/* Turns the full file at Path into a placeholder carrying ReparseData; the
   file is opened for reading and writing, unbuffered and unshared, for the
   request. */
HRESULT ConvertToPlaceholder(LPCWSTR Path, const void *ReparseData, USHORT ReparseDataLength);

/* Updates the placeholder at Path, opened as for a convert: UpdateFlags
   (PlaceholderUpdate*) says which of its reparse data, times and
   attributes, and end of file take the values of Placeholder (whose Name
   is not used). */
HRESULT UpdatePlaceholder(LPCWSTR Path, ULONG UpdateFlags, const PlaceholderDescription &Placeholder);

}  // namespace zentaflt::service

/* ------------------------------------------------------------------------
 * The three questions (Questions.cpp): may a directory be deleted or
 * renamed, may a file leave its sync root.  The service decides through a
 * policy it supplies; without one, everything is allowed.
 * ---------------------------------------------------------------------- */
namespace zentaflt::service {

enum class QuestionKind { DeleteDirectory, RenameDirectory, MoveFileOut };

/* A question, decoded.  Paths are volume-relative ("\dir\file") on the
   volume VolumePath names; DestinationPath is empty for a delete, and
   ReparseData (the file's reparse data, at most 1024 bytes) is empty for
   all but a file's move out. */
struct Question {
    QuestionKind Kind;
    std::u16string VolumePath, Path, DestinationPath;
    std::vector<unsigned char> ReparseData;
};

/* Answers a question: ReplyDeny refuses, ReplyHydrateFirst (a file's move
   out only) asks for the file's data first, anything else allows. */
using QuestionPolicy = std::function<SERVICE_REPLY(const Question &)>;

/* The default policy: allows everything (replies 0). */
SERVICE_REPLY AllowEverything(const Question &);

/* Whether a message is one of the three questions (which await a reply),
   rather than a hydrate request or an unknown type. */
bool IsQuestion(const SERVICE_MESSAGE &Message);

/* Decodes a question; E_INVALIDARG for any other message or a null Out
   (Out is then untouched). */
HRESULT DecodeQuestion(const SERVICE_MESSAGE &Message, Question *Out);

/* Decodes the question, asks Policy (AllowEverything when empty) and sends
   its reply on the connection.  E_INVALIDARG for a message that is not a
   question (nothing is sent); otherwise ReplyToMessage's result. */
HRESULT AnswerQuestion(const ServiceConnection &Connection, const ReceivedMessage &Message,
                       const QuestionPolicy &Policy);

}  // namespace zentaflt::service
