/*
 * Placeholders.cpp - the service's placeholder control requests: create a
 * placeholder in a directory, convert a full file into one, update one in
 * place.
 *
 * Each request is one PLACEHOLDER_REQUEST in the input buffer of the
 * filter's device-control code, at least PlaceholderRequestMinimumLength
 * bytes and always long enough for the filter's length rule of its
 * command.  It is sent with NtDeviceIoControlFile so that the request's own
 * NTSTATUS comes back (as HRESULT_FROM_NT) rather than a Win32 error
 * derived from it.  Arguments that no request could carry are refused with
 * E_INVALIDARG before anything is opened or sent.
 */
#include "ServiceClient.h"

#include <winternl.h>

#include <cstring>

namespace zentaflt::service {

namespace {

/* The most reparse data a create can carry: its reparse buffer length
   (data + 24-byte header) is a 16-bit field. */
constexpr size_t CreateReparseDataMaximum = 0xFFFF - sizeof(PLACEHOLDER_REPARSE_HEADER);

HRESULT ResultOf(NTSTATUS Status)
{
    return Status >= 0 ? S_OK : HRESULT_FROM_NT(Status);
}

/* Whether a create could carry the description: a name of its own (not
   empty, no backslash, its bytes in 16 bits), reparse data whose buffer
   length fits in 16 bits, a size that is not negative. */
bool CreateCarries(const PlaceholderDescription &Placeholder)
{
    return !Placeholder.Name.empty() && Placeholder.Name.find(u'\\') == std::u16string::npos &&
           Placeholder.Name.size() * sizeof(char16_t) <= 0xFFFF &&
           Placeholder.ReparseData.size() <= CreateReparseDataMaximum && Placeholder.FileSize >= 0;
}

/* Sends one request on Handle; no output. */
HRESULT SendRequest(HANDLE Handle, std::vector<unsigned char> &Request)
{
    IO_STATUS_BLOCK IoStatus = {};
    NTSTATUS Status = NtDeviceIoControlFile(Handle, NULL, NULL, NULL, &IoStatus, PlaceholderControlCode,
                                            Request.data(), (ULONG)Request.size(), NULL, 0);
    return ResultOf(Status);
}

/* A zeroed request of Command with a payload of PayloadLength bytes (the
   request never shorter than the least length). */
std::vector<unsigned char> NewRequest(ULONG Command, size_t PayloadLength)
{
    size_t Length = PlaceholderRequestHeaderLength + PayloadLength;
    if (Length < PlaceholderRequestMinimumLength) {
        Length = PlaceholderRequestMinimumLength;
    }
    std::vector<unsigned char> Request(Length, 0);
    PLACEHOLDER_REQUEST Header = {};
    Header.Command = Command;
    std::memcpy(Request.data(), &Header, PlaceholderRequestHeaderLength);
    return Request;
}

/* The fixed part of a create or update payload from a description. */
PLACEHOLDER_PAYLOAD PayloadOf(const PlaceholderDescription &Placeholder)
{
    PLACEHOLDER_PAYLOAD Payload = {};
    Payload.BasicInfo.CreationTime = Placeholder.CreationTime;
    Payload.BasicInfo.LastAccessTime = Placeholder.LastAccessTime;
    Payload.BasicInfo.LastWriteTime = Placeholder.LastWriteTime;
    Payload.BasicInfo.ChangeTime = Placeholder.ChangeTime;
    Payload.BasicInfo.FileAttributes = Placeholder.FileAttributes;
    Payload.FileSize = Placeholder.FileSize;
    Payload.ReparseHeader.ReparseTag = PlaceholderReparseTag;
    Payload.ReparseHeader.ReparseDataLength = (USHORT)Placeholder.ReparseData.size();
    Payload.ReparseHeader.ReparseGuid = PlaceholderReparseGuid;
    return Payload;
}

/* Sends a convert or update request on a handle to the file at Path
   opened as the filter requires: read and write, no intermediate
   buffering, no sharing. */
HRESULT SendOnFile(LPCWSTR Path, std::vector<unsigned char> &Request)
{
    HANDLE File = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, NULL);
    if (File == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    HRESULT Result = SendRequest(File, Request);
    CloseHandle(File);
    return Result;
}

}  // namespace

HRESULT CreatePlaceholder(HANDLE Directory, const PlaceholderDescription &Placeholder)
{
    if (!CreateCarries(Placeholder)) {
        return E_INVALIDARG;
    }

    /* The reparse data right after the fixed part, the name after it.  The
       filter bounds NameOffset + NameLength + ReparseDataLength by the
       payload's length, so ReparseDataLength bytes of padding follow the
       name. */
    size_t NameBytes = Placeholder.Name.size() * sizeof(char16_t);
    size_t ReparseDataLength = Placeholder.ReparseData.size();
    size_t NameOffset = PlaceholderPayloadReparseDataOffset + ReparseDataLength;
    std::vector<unsigned char> Request =
        NewRequest(PlaceholderCommandCreate, NameOffset + NameBytes + ReparseDataLength);
    PLACEHOLDER_PAYLOAD Payload = PayloadOf(Placeholder);
    Payload.NameOffset = (ULONG)NameOffset;
    Payload.NameLength = (USHORT)NameBytes;
    unsigned char *At = Request.data() + PlaceholderRequestHeaderLength;
    std::memcpy(At, &Payload, sizeof(Payload));
    if (ReparseDataLength != 0) {
        std::memcpy(At + PlaceholderPayloadReparseDataOffset, Placeholder.ReparseData.data(), ReparseDataLength);
    }
    std::memcpy(At + NameOffset, Placeholder.Name.data(), NameBytes);
    return SendRequest(Directory, Request);
}

HRESULT CreatePlaceholderIn(LPCWSTR DirectoryPath, const PlaceholderDescription &Placeholder)
{
    if (!CreateCarries(Placeholder)) {
        return E_INVALIDARG;
    }
    HANDLE Directory = CreateFileW(DirectoryPath, FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (Directory == INVALID_HANDLE_VALUE) {
        return HRESULT_FROM_WIN32(GetLastError());
    }
    HRESULT Result = CreatePlaceholder(Directory, Placeholder);
    CloseHandle(Directory);
    return Result;
}

HRESULT ConvertToPlaceholder(LPCWSTR Path, const void *ReparseData, USHORT ReparseDataLength)
{
    if (ReparseData == nullptr && ReparseDataLength != 0) {
        return E_INVALIDARG;
    }

    /* The filter wants PlaceholderConvertLengthBase bytes of payload
       beyond the reparse data. */
    std::vector<unsigned char> Request =
        NewRequest(PlaceholderCommandConvert, (size_t)ReparseDataLength + PlaceholderConvertLengthBase);
    PLACEHOLDER_CONVERT_PAYLOAD Header = {};
    Header.ReparseTag = PlaceholderReparseTag;
    Header.ReparseDataLength = ReparseDataLength;
    Header.ReparseGuid = PlaceholderReparseGuid;
    unsigned char *At = Request.data() + PlaceholderRequestHeaderLength;
    std::memcpy(At, &Header, sizeof(Header));
    if (ReparseDataLength != 0) {
        std::memcpy(At + PlaceholderConvertReparseDataOffset, ReparseData, ReparseDataLength);
    }

    return SendOnFile(Path, Request);
}

HRESULT UpdatePlaceholder(LPCWSTR Path, ULONG UpdateFlags, const PlaceholderDescription &Placeholder)
{
    if (Placeholder.ReparseData.size() > 0xFFFF ||
        ((UpdateFlags & PlaceholderUpdateEndOfFile) != 0 && Placeholder.FileSize < 0)) {
        return E_INVALIDARG;
    }

    /* The filter wants PlaceholderUpdateLengthBase bytes of payload beyond
       the reparse data. */
    size_t ReparseDataLength = Placeholder.ReparseData.size();
    std::vector<unsigned char> Request =
        NewRequest(PlaceholderCommandUpdate, ReparseDataLength + PlaceholderUpdateLengthBase);
    PLACEHOLDER_PAYLOAD Payload = PayloadOf(Placeholder);
    Payload.UpdateFlags = UpdateFlags;
    unsigned char *At = Request.data() + PlaceholderRequestHeaderLength;
    std::memcpy(At, &Payload, sizeof(Payload));
    if (ReparseDataLength != 0) {
        std::memcpy(At + PlaceholderPayloadReparseDataOffset, Placeholder.ReparseData.data(), ReparseDataLength);
    }

    return SendOnFile(Path, Request);
}

}  // namespace zentaflt::service
