/*
 * placeholder_control_fuzz.cpp - the placeholder control request's input
 * buffer, which comes from outside: any length and any bytes, sent by the
 * service with NtDeviceIoControlFile on a handle to its sync root C:\Sync
 * or to a file, as the I/O manager delivers it (METHOD_BUFFERED, fast I/O
 * first).
 *
 * Each input makes a fresh C:\Sync\f.bin (8 KiB of data, or a placeholder
 * of 8 KiB made by the service) and C:\Outside\f.bin, opens one handle as
 * the input says, sends the request and checks the answer: the length
 * rules, the unknown command, the handle rules, the sync-root and state
 * rules are predicted exactly; what only the file system decides (names,
 * reparse buffers, times) is checked by its effect: a successful create
 * made exactly the name asked for with the reparse data and size asked
 * for, a failed one made nothing; a successful convert left the file a
 * placeholder with the request's data and no data of its own; a successful
 * update carried out its steps.  Every failure but an update's missing
 * context has passed through the filter's status reporting, and the
 * accounting is back at the boot's after the files are deleted again.
 *
 * Record (little-endian): u8 handle (0 the directory with FILE_ADD_FILE,
 * 1 the file unbuffered and unshared, 2 cached, 3 shared for reading, 4
 * C:\Outside\f.bin unbuffered and unshared), u8 file kind (0 plain, 1
 * placeholder), u8 command (0 create, 1 update, 2 convert, 3 as in the
 * bytes), u32 input length (modulo 70000 + 1), u32 size (modulo 64 KiB + 1;
 * negative when bit 31 is set) written over FileSize of a create or
 * update, the u32 command when the command is taken as in the bytes, then
 * the request's bytes from offset 4 on (zero past the input).
 */
#include "FuzzSupport.h"
#include "InputReader.h"
#include "ServiceClient.h"

#include <winternl.h>

using namespace zentaflt_fuzz;

namespace service = zentaflt::service;

namespace {

constexpr uint32_t LargestRequest = 70000;
constexpr uint32_t LargestSize = 1 << 16;
constexpr size_t FileSize = 8192;

struct Target {
    BootedSystem Booted;
    emu::EmuProcess *Service = nullptr;
    emu::EmuProcess *Program = nullptr;
    service::ServiceConnection Connection;

    Target()
    {
        Service = Booted.CreateProcess("service.exe");
        Program = Booted.CreateProcess("program.exe");
        emu::ProcessScope InService(Service);
        if (!CreateDirectoryW(L"C:\\Sync", NULL) || !CreateDirectoryW(L"C:\\Outside", NULL)) {
            Fail("cannot create the directories");
        }
        HRESULT Result = service::ConnectSyncRootPath(L"C:\\Sync", &Connection);
        if (Result != S_OK) {
            Fail("cannot connect C:\\Sync: 0x%08X", (unsigned)Result);
        }
        Booted.TakeBaseline();
    }

    void Shutdown()
    {
        Booted.Shutdown();
    }
};

/* Makes Path as a plain file or a placeholder of FileSize bytes. */
void MakeFile(Target &T, const wchar_t *Directory, const wchar_t *Path, bool Placeholder)
{
    if (Placeholder) {
        emu::ProcessScope InService(T.Service);
        service::PlaceholderDescription Description;
        Description.Name = u"f.bin";
        Description.FileSize = FileSize;
        Description.ReparseData = {1, 2, 3, 4};
        HRESULT Result = service::CreatePlaceholderIn(Directory, Description);
        FUZZ_CHECK(Result == S_OK, "cannot make the placeholder: 0x%08X", (unsigned)Result);
        return;
    }
    emu::ProcessScope InProgram(T.Program);
    HANDLE File = CreateFileW(Path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    FUZZ_CHECK(File != INVALID_HANDLE_VALUE, "cannot make the file");
    std::vector<uint8_t> Data(FileSize, 0x5A);
    DWORD Written = 0;
    FUZZ_CHECK(WriteFile(File, Data.data(), (DWORD)Data.size(), &Written, NULL), "cannot write the file");
    CloseHandle(File);
}

/* The file system's view of a file below the filter: whether it opens,
   its size, its reparse point (header and data) and its data. */
struct Below {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    LONGLONG Size = -1;
    NTSTATUS ReparseStatus = STATUS_UNSUCCESSFUL;
    std::vector<uint8_t> Reparse;
    std::vector<uint8_t> Data;
};

Below Look(Target &T, const std::u16string &Path, bool ReadData)
{
    Below Out;
    emu::ProcessScope InProgram(T.Program);
    HANDLE Handle = NULL;
    PFILE_OBJECT File = NULL;
    Out.Status = emu::OpenBelow(T.Booted.Instance, Path, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_REPARSE_POINT,
                                &Handle, &File);
    if (!NT_SUCCESS(Out.Status)) {
        return Out;
    }
    FUZZ_CHECK(NT_SUCCESS(QueryFileSize(T.Booted.Instance, File, &Out.Size)), "cannot read a size");
    Out.Reparse.assign(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, 0);
    ULONG Returned = 0;
    Out.ReparseStatus = FltFsControlFile(T.Booted.Instance, File, FSCTL_GET_REPARSE_POINT, NULL, 0,
                                         Out.Reparse.data(), (ULONG)Out.Reparse.size(), &Returned);
    Out.Reparse.resize(NT_SUCCESS(Out.ReparseStatus) ? Returned : 0);
    if (ReadData && Out.Size > 0 && Out.Size <= (LONGLONG)LargestSize) {
        Out.Data.assign((size_t)Out.Size, 0xEE);
        LARGE_INTEGER Zero = {};
        ULONG Read = 0;
        FUZZ_CHECK(NT_SUCCESS(FltReadFile(T.Booted.Instance, File, &Zero, (ULONG)Out.Size, Out.Data.data(),
                                          FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &Read, NULL, NULL)),
                   "cannot read the data below the filter");
    }
    ObDereferenceObject(File);
    CloseHandle(Handle);
    return Out;
}

std::string Narrow(const std::u16string &Text)
{
    std::string Out;
    for (char16_t Character : Text) {
        Out += Character < 0x80 && Character >= 0x20 ? (char)Character : '?';
    }
    return Out;
}

/* Deletes Path, read-only or not (an update may have made it so). */
void Delete(Target &T, const std::u16string &Path)
{
    emu::ProcessScope InProgram(T.Program);
    std::u16string Full = u"C:" + Path;
    HANDLE File = CreateFileW((LPCWSTR)Full.c_str(), DELETE | FILE_WRITE_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, NULL);
    FUZZ_CHECK(File != INVALID_HANDLE_VALUE, "cannot open %s to delete it: 0x%08X", Narrow(Full).c_str(),
               (unsigned)emu::user::LastStatus());
    FILE_DISPOSITION_INFO_EX Disposition = {FILE_DISPOSITION_DELETE |
                                            FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE};
    FUZZ_CHECK(SetFileInformationByHandle(File, FileDispositionInfoEx, &Disposition, sizeof(Disposition)),
               "cannot delete %s: 0x%08X", Narrow(Full).c_str(), (unsigned)emu::user::LastStatus());
    CloseHandle(File);
}

uint32_t Read32(const std::vector<uint8_t> &Request, size_t Offset)
{
    uint32_t Value = 0;
    memcpy(&Value, Request.data() + Offset, sizeof(Value));
    return Value;
}

uint16_t Read16(const std::vector<uint8_t> &Request, size_t Offset)
{
    uint16_t Value = 0;
    memcpy(&Value, Request.data() + Offset, sizeof(Value));
    return Value;
}

/* The status the length rules of a create give, or STATUS_SUCCESS. */
NTSTATUS CreateLengthRules(const std::vector<uint8_t> &Request)
{
    uint64_t PayloadLength = Request.size() - PlaceholderRequestHeaderLength;
    uint64_t NameOffset = Read32(Request, 8);
    uint64_t NameLength = Read16(Request, 12);
    uint64_t ReparseDataLength = Read16(Request, 8 + 60);
    if (NameOffset + NameLength > 0xFFFFFFFFull || NameOffset + NameLength + ReparseDataLength > 0xFFFFFFFFull) {
        return STATUS_INTEGER_OVERFLOW;
    }
    if (NameOffset + NameLength + ReparseDataLength > PayloadLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (ReparseDataLength + 24 > 0xFFFF) {
        return STATUS_INTEGER_OVERFLOW;
    }
    if (80 + ReparseDataLength > PayloadLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

void CheckCreate(Target &T, const std::vector<uint8_t> &Request, NTSTATUS Status, bool OnDirectory)
{
    NTSTATUS Rules = CreateLengthRules(Request);
    if (Rules != STATUS_SUCCESS) {
        FUZZ_CHECK_STATUS(Status, Rules);
        return;
    }
    size_t NameOffset = PlaceholderRequestHeaderLength + Read32(Request, 8);
    size_t NameUnits = Read16(Request, 12) / sizeof(char16_t);
    std::u16string Name(NameUnits, u'\0');
    if (NameUnits != 0) {
        memcpy(Name.data(), Request.data() + NameOffset, NameUnits * sizeof(char16_t));  // may be unaligned
    }
    std::u16string Path = (OnDirectory ? u"\\Sync\\" : u"\\Sync\\f.bin\\") + Name;
    if (!NT_SUCCESS(Status)) {
        FUZZ_CHECK(OneOf(Status, {STATUS_OBJECT_NAME_COLLISION, STATUS_OBJECT_NAME_INVALID,
                                  STATUS_OBJECT_PATH_NOT_FOUND, STATUS_IO_REPARSE_DATA_INVALID,
                                  STATUS_IO_REPARSE_TAG_INVALID, STATUS_INVALID_PARAMETER}),
                   "the create failed with 0x%08X", (unsigned)Status);
        if (Status != STATUS_OBJECT_NAME_COLLISION) {
            NTSTATUS Open = Look(T, Path, false).Status;
            FUZZ_CHECK(!NT_SUCCESS(Open), "a failed create left %s", Narrow(Path).c_str());
        }
        return;
    }
    FUZZ_CHECK(OnDirectory, "a create on a file succeeded");
    Below Made = Look(T, Path, false);
    FUZZ_CHECK_STATUS(Made.Status, STATUS_SUCCESS);
    LONGLONG Size;
    memcpy(&Size, Request.data() + 8 + 48, sizeof(Size));
    FUZZ_CHECK(Made.Size == Size, "size %lld, asked for %lld", (long long)Made.Size, (long long)Size);
    uint16_t ReparseDataLength = Read16(Request, 8 + 60);
    FUZZ_CHECK(NT_SUCCESS(Made.ReparseStatus), "no reparse point");
    /* A Microsoft tag keeps an 8-byte header: compare the tag, the length,
       the GUID of another tag (the reserved field is not kept) and the data
       after whichever header NTFS kept. */
    uint32_t Tag = Read32(Request, 8 + 56);
    size_t Header = IsReparseTagMicrosoft(Tag) ? 8 : 24;
    FUZZ_CHECK(Made.Reparse.size() == Header + ReparseDataLength, "reparse point of %zu bytes", Made.Reparse.size());
    FUZZ_CHECK(memcmp(Made.Reparse.data(), Request.data() + 8 + 56, 6) == 0, "another reparse tag or length");
    FUZZ_CHECK(Header == 8 || memcmp(Made.Reparse.data() + 8, Request.data() + 8 + 64, 16) == 0, "another GUID");
    FUZZ_CHECK(ReparseDataLength == 0 ||
                   memcmp(Made.Reparse.data() + Header, Request.data() + 8 + 56 + Header, ReparseDataLength) == 0,
               "other reparse data");
    Delete(T, Path);
}

void CheckConvert(Target &T, const std::vector<uint8_t> &Request, NTSTATUS Status, uint8_t Handle,
                  const std::u16string &Path)
{
    uint16_t ReparseDataLength = Read16(Request, 8 + 4);
    NTSTATUS Expected;
    if (ReparseDataLength + PlaceholderConvertLengthBase > Request.size() - PlaceholderRequestHeaderLength) {
        Expected = STATUS_BUFFER_TOO_SMALL;
    } else if (Handle == 0 || Handle == 2) {
        Expected = STATUS_INVALID_HANDLE;
    } else if (Handle == 3) {
        Expected = STATUS_SHARING_VIOLATION;
    } else if (Handle == 4) {
        Expected = STATUS_NOT_FOUND;
    } else if (ReparseDataLength + 24 > MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
        Expected = STATUS_IO_REPARSE_DATA_INVALID;
    } else {
        Expected = STATUS_SUCCESS;
    }
    FUZZ_CHECK_STATUS(Status, Expected);
    if (Status != STATUS_SUCCESS) {
        return;
    }
    Below After = Look(T, Path, true);
    FUZZ_CHECK(After.Size == (LONGLONG)FileSize, "the size changed");
    FUZZ_CHECK(After.Reparse.size() == 24u + ReparseDataLength &&
                   (ReparseDataLength == 0 ||
                    memcmp(After.Reparse.data() + 24, Request.data() + 8 + 24, ReparseDataLength) == 0),
               "the converted file carries other reparse data");
    for (uint8_t Byte : After.Data) {
        FUZZ_CHECK(Byte == 0, "data left in a converted file");
    }
}

void CheckUpdate(Target &T, const std::vector<uint8_t> &Request, NTSTATUS Status, uint8_t Handle, bool Placeholder,
                 const std::u16string &Path)
{
    uint16_t ReparseDataLength = Read16(Request, 8 + 60);
    uint32_t Flags = Read32(Request, 8);
    NTSTATUS Expected = STATUS_PENDING;  // decided by the file system
    if (ReparseDataLength + PlaceholderUpdateLengthBase > Request.size() - PlaceholderRequestHeaderLength) {
        Expected = STATUS_BUFFER_TOO_SMALL;
    } else if (Handle == 0 || Handle == 2) {
        Expected = STATUS_INVALID_HANDLE;
    } else if (Handle == 3) {
        Expected = STATUS_SHARING_VIOLATION;
    } else if (!Placeholder) {
        Expected = STATUS_NOT_FOUND;
    } else if ((Flags & PlaceholderUpdateReparseData) && ReparseDataLength + 24 > MAXIMUM_REPARSE_DATA_BUFFER_SIZE) {
        Expected = STATUS_IO_REPARSE_DATA_INVALID;
    }
    if (Expected != STATUS_PENDING) {
        FUZZ_CHECK_STATUS(Status, Expected);
        return;
    }
    FUZZ_CHECK(OneOf(Status, {STATUS_SUCCESS, STATUS_INVALID_PARAMETER}), "the update failed with 0x%08X",
               (unsigned)Status);
    if (Status != STATUS_SUCCESS) {
        return;
    }
    Below After = Look(T, Path, false);
    if (Flags & PlaceholderUpdateReparseData) {
        FUZZ_CHECK(After.Reparse.size() == 24u + ReparseDataLength &&
                       (ReparseDataLength == 0 ||
                        memcmp(After.Reparse.data() + 24, Request.data() + 8 + 80, ReparseDataLength) == 0),
                   "the update did not replace the reparse data");
    }
    if (Flags & PlaceholderUpdateEndOfFile) {
        LONGLONG Size;
        memcpy(&Size, Request.data() + 8 + 48, sizeof(Size));
        FUZZ_CHECK(After.Size == Size, "size %lld after an update to %lld", (long long)After.Size, (long long)Size);
    }
}

void OneInput(Target &T, InputReader &Reader)
{
    uint8_t Handle = Reader.U8() % 5;
    bool Placeholder = Reader.U8() % 2 == 1;
    uint8_t CommandChoice = Reader.U8() % 4;
    uint32_t Length = Reader.U32() % (LargestRequest + 1);
    uint32_t RawSize = Reader.U32();
    LONGLONG Size = (RawSize & 0x80000000u) ? -(LONGLONG)(RawSize & 0xFF) - 1 : RawSize % (LargestSize + 1);
    static const uint32_t Commands[] = {PlaceholderCommandCreate, PlaceholderCommandUpdate,
                                        PlaceholderCommandConvert};
    uint32_t Command = CommandChoice < 3 ? Commands[CommandChoice] : Reader.U32();
    std::vector<uint8_t> Request(Length < 4 ? 4 : Length, 0);
    std::vector<uint8_t> Bytes = Reader.Bytes(Request.size() - 4);
    if (!Bytes.empty()) {
        memcpy(Request.data() + 4, Bytes.data(), Bytes.size());
    }
    memcpy(Request.data(), &Command, sizeof(Command));
    if ((Command == PlaceholderCommandCreate || Command == PlaceholderCommandUpdate) && Request.size() >= 64) {
        memcpy(Request.data() + 8 + 48, &Size, sizeof(Size));
    }
    Request.resize(Length);

    MakeFile(T, L"C:\\Sync", L"C:\\Sync\\f.bin", Placeholder);
    MakeFile(T, L"C:\\Outside", L"C:\\Outside\\f.bin", Placeholder);
    std::u16string Path = Handle == 4 ? u"\\Outside\\f.bin" : u"\\Sync\\f.bin";

    NTSTATUS Status;
    {
        emu::ProcessScope InService(T.Service);
        HANDLE Opened;
        if (Handle == 0) {
            Opened = CreateFileW(L"C:\\Sync", FILE_ADD_FILE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        } else {
            DWORD Share = Handle == 3 ? FILE_SHARE_READ : 0;
            DWORD Flags = Handle == 2 ? 0 : FILE_FLAG_NO_BUFFERING;
            std::u16string Full = u"C:" + Path;
            Opened = CreateFileW((LPCWSTR)Full.c_str(), GENERIC_READ | GENERIC_WRITE, Share, NULL, OPEN_EXISTING,
                                 Flags, NULL);
        }
        FUZZ_CHECK(Opened != INVALID_HANDLE_VALUE, "cannot open the request's handle");
        T.Booted.TakeReported();
        IO_STATUS_BLOCK IoStatus = {};
        Status = NtDeviceIoControlFile(Opened, NULL, NULL, NULL, &IoStatus, PlaceholderControlCode,
                                       Request.empty() ? NULL : Request.data(), (ULONG)Request.size(), NULL, 0);
        FUZZ_CHECK(IoStatus.Information == 0, "the request returned %llu bytes",
                   (unsigned long long)IoStatus.Information);
        CloseHandle(Opened);
    }

    bool Unreported = Command == PlaceholderCommandUpdate && Status == STATUS_NOT_FOUND;
    if (!NT_SUCCESS(Status) && !Unreported) {
        T.Booted.ExpectReportedLast(Status, "the request");
    }
    T.Booted.TakeReported();

    if (Length < PlaceholderRequestMinimumLength) {
        FUZZ_CHECK_STATUS(Status, STATUS_BUFFER_TOO_SMALL);
    } else if (Command == PlaceholderCommandCreate) {
        CheckCreate(T, Request, Status, Handle == 0);
    } else if (Command == PlaceholderCommandConvert) {
        CheckConvert(T, Request, Status, Handle, Path);
    } else if (Command == PlaceholderCommandUpdate) {
        CheckUpdate(T, Request, Status, Handle, Placeholder, Path);
    } else {
        FUZZ_CHECK_STATUS(Status, STATUS_INVALID_PARAMETER_1);
    }

    Delete(T, u"\\Sync\\f.bin");
    Delete(T, u"\\Outside\\f.bin");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Target &T = BootOnce<Target>();
    RunInput([&] {
        InputReader Reader(Data, Size);
        OneInput(T, Reader);
        T.Booted.ExpectBaseline("after the request");
    });
    return 0;
}
