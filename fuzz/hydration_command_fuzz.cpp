/*
 * hydration_command_fuzz.cpp - the service's commands against a hydration
 * that is really pending: a program's read of a placeholder waits while
 * the service sends TransferData and CompleteHydration commands through
 * FilterSendMessage on its connection.
 *
 * The service connects C:\Sync when the system boots.  Each input makes a
 * placeholder of a size it picks, starts the program's read of it on a
 * thread of its own, takes the hydrate message as the service, and sends up
 * to 8 commands: data for a page-aligned offset (or one whose end wraps),
 * from the service's memory or an unmapped range, of any length up to
 * 64 KiB; completions with a status from a table; each naming the pending
 * request, the one before it, or an id never issued.  A model of the file
 * predicts every answer, and, once the request is completed, the read's
 * status and bytes.  A request the input leaves pending is completed with
 * a failure.  The file is deleted afterwards and the accounting must be
 * back where the boot left it.
 *
 * Header (little-endian): u8 whole pages of the placeholder (modulo 4),
 * u16 bytes after them (modulo 4096).  Then per command: u8 kind (even:
 * data, odd: completion), u8 request (0: the pending one, 1: the previous
 * input's, 2: one never issued), u8 page of the offset (modulo 16; 255:
 * an offset whose end wraps), u8 buffer (even: the service's memory, odd:
 * unmapped), u32 length (modulo 64 KiB + 1), u8 status (an index into
 * CompletionStatuses).
 */
#include "FuzzSupport.h"
#include "InputReader.h"

#include <atomic>
#include <memory>
#include <thread>

#include "ServiceClient.h"

using namespace zentaflt_fuzz;
namespace service = zentaflt::service;

namespace {

constexpr ULONG Page = 4096;
constexpr uint32_t LargestPiece = 64 * 1024;
constexpr size_t UnmappedSize = 2 * LargestPiece;

/* What a completion may report: success, statuses that are not failures,
   and failures. */
const NTSTATUS CompletionStatuses[] = {
    STATUS_SUCCESS, (NTSTATUS)0x80, STATUS_PENDING, STATUS_UNSUCCESSFUL, STATUS_ACCESS_DENIED,
    STATUS_INSUFFICIENT_RESOURCES, (NTSTATUS)0xC000CF01, STATUS_END_OF_FILE,
};

struct Target {
    BootedSystem Booted;
    emu::EmuProcess *Service = nullptr;
    emu::EmuProcess *Program = nullptr;
    service::ServiceConnection Connection;
    PVOID UnmappedRange = nullptr;
    /* The id the next hydrate message must carry: ids of a connection
       start at 0 and grow by one per registration. */
    ULONG64 NextId = 0;
    bool Warmed = false;

    Target()
    {
        Service = Booted.CreateProcess("service.exe");
        Program = Booted.CreateProcess("program.exe");
        emu::ProcessScope InService(Service);
        if (!CreateDirectoryW(L"C:\\Sync", NULL)) {
            Fail("cannot create C:\\Sync");
        }
        HRESULT Result = service::ConnectSyncRootPath(L"C:\\Sync", &Connection);
        if (Result != S_OK) {
            Fail("cannot connect C:\\Sync: 0x%08X", (unsigned)Result);
        }
        UnmappedRange = emu::ReserveUnmappedUserRange(UnmappedSize);
        if (UnmappedRange == nullptr) {
            Fail("no unmapped range");
        }
        Booted.TakeBaseline();
    }

    void Shutdown() { Booted.Shutdown(); }
};

/* Makes C:\Sync\fuzz.bin a placeholder of Size bytes with the primitives
   the service's create request uses. */
void MakePlaceholder(Target &T, ULONG64 Size)
{
    HANDLE Handle;
    PFILE_OBJECT File = OpenAndReference(T.Program, L"C:\\Sync\\fuzz.bin", 0, CREATE_NEW, &Handle);
    UCHAR Description[4] = {1, 2, 3, 4};
    GUID Guid = PlaceholderReparseGuid;
    if (!NT_SUCCESS(SetEndOfFile(T.Booted.Instance, File, Size)) ||
        !NT_SUCCESS(FltTagFile(T.Booted.Instance, File, PlaceholderReparseTag, &Guid, Description,
                               sizeof(Description)))) {
        Fail("cannot make the placeholder");
    }
    SetPlaceholderAttributes(T.Booted.Instance, File, PlaceholderCommandCreate);
    ObDereferenceObject(File);
    emu::ProcessScope InProgram(T.Program);
    CloseHandle(Handle);
}

/* The file as the filter should leave it: the bytes written so far, the
   expected size and the bytes delivered. */
struct FileModel {
    std::vector<uint8_t> Content;  // the file's bytes; its size is the file's
    ULONG64 BytesWritten = 0;
};

/* The program's read of the whole placeholder, on a thread of its own. */
struct PendingRead {
    std::thread Thread;
    std::atomic<NTSTATUS> Status{STATUS_PENDING};
    std::vector<uint8_t> Data;
    DWORD Count = 0;

    void Start(Target &T, size_t Length)
    {
        Data.assign(Length, 0xEE);
        Thread = std::thread([this, &T] {
            emu::ProcessScope InProgram(T.Program);
            HANDLE Handle = CreateFileW(L"C:\\Sync\\fuzz.bin", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                        0, NULL);
            NTSTATUS Result = emu::user::LastStatus();
            if (Handle != INVALID_HANDLE_VALUE) {
                Result = ReadFile(Handle, Data.data(), (DWORD)Data.size(), &Count, NULL) ? STATUS_SUCCESS
                                                                                         : emu::user::LastStatus();
                CloseHandle(Handle);
            }
            Status = Result;
        });
    }
};

/* Sends one command as the service; the filter's status.  A success must
   answer exactly the u32 0. */
NTSTATUS Send(Target &T, const SERVICE_COMMAND &Command)
{
    emu::ProcessScope InService(T.Service);
    ULONG Reply = 0xA5A5A5A5;
    DWORD Returned = 0xFFFFFFFF;
    HRESULT Result = FilterSendMessage(T.Connection.Port, (PVOID)&Command, sizeof(Command), &Reply, sizeof(Reply),
                                       &Returned);
    NTSTATUS Status = emu::user::LastStatus();
    FUZZ_CHECK(Result == HresultOf(Status), "HRESULT 0x%08X for status 0x%08X", (unsigned)Result, (unsigned)Status);
    if (NT_SUCCESS(Status)) {
        FUZZ_CHECK(Returned == ServiceCommandReplySize && Reply == 0, "reply %u of %u bytes", (unsigned)Reply,
                   (unsigned)Returned);
    } else {
        FUZZ_CHECK(Returned == 0 && Reply == 0xA5A5A5A5, "a failed command answered %u bytes", (unsigned)Returned);
    }
    return Status;
}

/* What the file holds after a piece that the filter accepted: whole pages
   straight, a tail under a page (or a piece under a page) as a page of the
   file, or up to its end, whose bytes after the piece are zeros. */
void ApplyPiece(FileModel &Model, ULONG64 Offset, const uint8_t *Piece, size_t Length)
{
    size_t Whole = Length <= Page ? Length : Length & ~(size_t)(Page - 1);
    if (Length >= Page) {
        memcpy(Model.Content.data() + Offset, Piece, Whole);
    }
    size_t TailStart = Length >= Page ? Whole : 0;
    if (Length < Page || Whole != Length) {
        ULONG64 At = Offset + TailStart;
        size_t Span = (size_t)std::min<ULONG64>(Page, Model.Content.size() - At);
        if (Span != 0) {
            memset(Model.Content.data() + At, 0, Span);
        }
        if (Length != TailStart) {
            memcpy(Model.Content.data() + At, Piece + TailStart, Length - TailStart);
        }
    }
    Model.BytesWritten += Length;
}

/* One data command and its model. */
void Transfer(Target &T, InputReader &Reader, ULONG64 Id, bool Pending, FileModel &Model)
{
    uint8_t PageChoice = Reader.U8();
    uint8_t BufferChoice = Reader.U8();
    uint32_t Length = Reader.U32() % (LargestPiece + 1);
    Reader.U8();  // the completion's status, unused here

    bool Wraps = PageChoice == 255;
    ULONG64 Offset = Wraps ? ~(ULONG64)0 - Page + 1 : (ULONG64)(PageChoice % 16) * Page;
    if (Wraps && Length < Page) {
        Length = Page;
    }
    bool Unmapped = (BufferChoice & 1) != 0;
    /* Never empty, so that even a piece of no bytes has an address. */
    std::vector<uint8_t> Piece(Length == 0 ? 1 : Length);
    for (uint32_t Index = 0; Index < Length; Index += 1) {
        Piece[Index] = (uint8_t)(Index * 13 + Offset / Page + Model.BytesWritten);
    }

    SERVICE_COMMAND Command = {};
    Command.Command = CommandTransferData;
    Command.TransferData.RequestId = Id;
    Command.TransferData.Offset = Offset;
    Command.TransferData.Length = Length;
    Command.TransferData.BufferAddress = (ULONG64)(ULONG_PTR)(Unmapped ? T.UnmappedRange : (PVOID)Piece.data());

    NTSTATUS Expected = STATUS_SUCCESS;
    if (!Pending) {
        Expected = STATUS_NOT_FOUND;
    } else if (Wraps) {
        Expected = STATUS_INTEGER_OVERFLOW;
    } else {
        /* The file grows first, whatever becomes of the data. */
        if (Offset + Length > Model.Content.size()) {
            Model.Content.resize((size_t)(Offset + Length), 0);
        }
        if (Unmapped && Length != 0) {
            Expected = STATUS_ACCESS_VIOLATION;
        }
    }
    NTSTATUS Status = Send(T, Command);
    FUZZ_CHECK_STATUS(Status, Expected);
    if (NT_SUCCESS(Status)) {
        ApplyPiece(Model, Offset, Piece.data(), Length);
    } else {
        T.Booted.ExpectReportedLast(Status, "the data command");
    }
}

/* One completion command; true when it completed the pending request. */
bool Complete(Target &T, InputReader &Reader, ULONG64 Id, bool Pending, NTSTATUS *Reported)
{
    Reader.U8();
    Reader.U8();
    Reader.U32();
    NTSTATUS Verdict = CompletionStatuses[Reader.U8() % (sizeof(CompletionStatuses) / sizeof(NTSTATUS))];
    SERVICE_COMMAND Command = {};
    Command.Command = CommandCompleteHydration;
    Command.CompleteHydration.RequestId = Id;
    Command.CompleteHydration.Status = Verdict;
    NTSTATUS Status = Send(T, Command);
    FUZZ_CHECK_STATUS(Status, Pending ? STATUS_SUCCESS : STATUS_NOT_FOUND);
    if (!NT_SUCCESS(Status)) {
        T.Booted.ExpectReportedLast(Status, "the completion");
        return false;
    }
    *Reported = Verdict;
    return true;
}

/* The read's outcome once its request was completed with Verdict: a
   failure verdict is the read's status; otherwise the read returns the
   file as the model has it, trimmed to the bytes delivered. */
void CheckRead(PendingRead &Read, FileModel &Model, NTSTATUS Verdict)
{
    Read.Thread.join();
    if (Verdict == STATUS_END_OF_FILE) {
        /* ReadFile turns the end of a file into success with no bytes. */
        FUZZ_CHECK_STATUS(Read.Status.load(), STATUS_SUCCESS);
        FUZZ_CHECK(Read.Count == 0, "read %u bytes at the end of the file", (unsigned)Read.Count);
        return;
    }
    if (!NT_SUCCESS(Verdict)) {
        FUZZ_CHECK_STATUS(Read.Status.load(), Verdict);
        return;
    }
    if (Model.BytesWritten < Model.Content.size()) {
        Model.Content.resize((size_t)Model.BytesWritten);
    }
    FUZZ_CHECK_STATUS(Read.Status.load(), STATUS_SUCCESS);
    size_t Expected = std::min(Read.Data.size(), Model.Content.size());
    FUZZ_CHECK(Read.Count == Expected, "read %u bytes, expected %zu", (unsigned)Read.Count, Expected);
    FUZZ_CHECK(Expected == 0 || memcmp(Read.Data.data(), Model.Content.data(), Expected) == 0,
               "the read returned other bytes than the service sent");
}

/* One input: a placeholder, its pending read, the commands, the check of
   the read, and the file deleted again. */
void OneHydration(Target &T, InputReader &Reader)
{
    {
        ULONG64 FileSize = (ULONG64)(Reader.U8() % 4) * Page + Reader.U16() % Page;
        FileModel Model;
        Model.Content.assign((size_t)FileSize, 0);
        MakePlaceholder(T, FileSize);

        /* The read asks for more than the file can grow to, so that it
           returns the whole file. */
        PendingRead Read;
        Read.Start(T, 16 * Page + LargestPiece + 1);
        auto Received = std::make_unique<service::ReceivedMessage>();
        {
            emu::ProcessScope InService(T.Service);
            FUZZ_CHECK(service::ReceiveMessage(T.Connection, Received.get()) == S_OK, "no hydrate message");
        }
        const SERVICE_MESSAGE &Message = Received->Message;
        FUZZ_CHECK(Message.MessageType == MessageTypeHydrate, "message type %u", (unsigned)Message.MessageType);
        FUZZ_CHECK(Message.Hydrate.RequestId == T.NextId, "request id %llu, expected %llu",
                   (unsigned long long)Message.Hydrate.RequestId, (unsigned long long)T.NextId);
        FUZZ_CHECK(Message.Hydrate.FileSize == (LONGLONG)FileSize, "file size %lld",
                   (long long)Message.Hydrate.FileSize);
        ULONG64 Id = T.NextId;
        T.NextId += 1;
        T.Booted.TakeReported();

        bool Pending = true;
        for (int Index = 0; Index < 8 && !Reader.AtEnd(); Index += 1) {
            uint8_t Kind = Reader.U8();
            uint8_t Which = Reader.U8() % 3;
            ULONG64 Named = Which == 0 ? Id : Which == 1 ? Id - 1 : Id + 1000;
            bool NamesPending = Pending && Which == 0;
            if ((Kind & 1) == 0) {
                Transfer(T, Reader, Named, NamesPending, Model);
                continue;
            }
            NTSTATUS Verdict = STATUS_SUCCESS;
            if (Complete(T, Reader, Named, NamesPending, &Verdict)) {
                Pending = false;
                CheckRead(Read, Model, Verdict);
                T.Booted.TakeReported();
            }
        }
        if (Pending) {
            SERVICE_COMMAND Command = {};
            Command.Command = CommandCompleteHydration;
            Command.CompleteHydration.RequestId = Id;
            Command.CompleteHydration.Status = STATUS_UNSUCCESSFUL;
            FUZZ_CHECK_STATUS(Send(T, Command), STATUS_SUCCESS);
            CheckRead(Read, Model, STATUS_UNSUCCESSFUL);
            T.Booted.TakeReported();
        }

        emu::ProcessScope InProgram(T.Program);
        FUZZ_CHECK(DeleteFileW(L"C:\\Sync\\fuzz.bin"), "the file could not be deleted: 0x%08X",
                   (unsigned)emu::user::LastStatus());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Target &T = BootOnce<Target>();
    RunInput([&] {
        /* The first hydration leaves a message buffer and an open-reparse
           entry cached in their lookaside lists: part of the baseline. */
        if (!T.Warmed) {
            InputReader Nothing(nullptr, 0);
            OneHydration(T, Nothing);
            T.Booted.TakeBaseline();
            T.Warmed = true;
        }
        InputReader Reader(Data, Size);
        OneHydration(T, Reader);
        T.Booted.ExpectBaseline("after the hydration");
    });
    return 0;
}
