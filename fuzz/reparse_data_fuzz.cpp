/*
 * reparse_data_fuzz.cpp - reparse data read back from disk: whatever
 * reparse point NTFS holds for a file, read through the filter's
 * GetPlaceholderReparseData and QueryFileSize at its own instance.
 *
 * A program has C:\file.bin open.  Each input sets the file's size and puts
 * reparse points on it with FSCTL_SET_REPARSE_POINT (any tag, GUID, declared
 * and actual lengths; NTFS keeps what it accepts) or deletes them, and may
 * make one routine the read-back calls fail.  Then the filter reads the
 * file back, and what it got is checked against what the program itself
 * reads with FSCTL_GET_REPARSE_POINT and GetFileSizeEx: the data after the
 * 24-byte header, never more than was read nor more than 1024 bytes, in a
 * 1048-byte "zKRP" buffer that is the only one outstanding and is gone
 * after FreePlaceholderReparseData; the documented failures otherwise,
 * with nothing allocated.  The input's reparse point and size are removed
 * again afterwards.
 *
 * Record (little-endian): u32 end of file (modulo 64 KiB + 1), u8 failing
 * routine (0 none, 1 pool, 2 file-system control, 3 information query),
 * u32 injected status, then up to 3 operations, each a u8 kind and its
 * fields:
 *   set:    u8 tag choice (placeholder, dedup, symbolic link, mount point,
 *           raw), u32 raw tag, u8 flags (bit 0: raw GUID instead of the
 *           placeholder's; bit 1: raw declared length instead of the
 *           actual), u16 raw declared length, u16 data length (modulo
 *           16 KiB + 64), 16 bytes of raw GUID, up to 64 bytes of data (a
 *           pattern after)
 *   delete: the same tag and GUID fields, no data
 */
#include "FuzzSupport.h"
#include "InputReader.h"

using namespace zentaflt_fuzz;

namespace {

constexpr uint32_t LargestEndOfFile = 1 << 16;
constexpr uint32_t LargestDataLength = MAXIMUM_REPARSE_DATA_BUFFER_SIZE + 64;
constexpr ULONG MicrosoftHeaderSize = 8;
constexpr ULONG ReadBackRoom = MAXIMUM_REPARSE_DATA_BUFFER_SIZE + 64;

struct Target {
    BootedSystem Booted;
    emu::EmuProcess *Program = nullptr;
    HANDLE File = nullptr;
    PFILE_OBJECT FileObject = nullptr;

    Target()
    {
        Program = Booted.CreateProcess("program.exe");
        FileObject = OpenAndReference(Program, L"C:\\file.bin", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      CREATE_NEW, &File);
        Booted.TakeBaseline();
    }

    void Shutdown()
    {
        ObDereferenceObject(FileObject);
        Booted.Shutdown();
    }
};

ULONG ChooseTag(uint8_t Choice, uint32_t Raw)
{
    switch (Choice % 5) {
    case 0:
        return PlaceholderReparseTag;
    case 1:
        return IO_REPARSE_TAG_DEDUP;
    case 2:
        return IO_REPARSE_TAG_SYMLINK;
    case 3:
        return IO_REPARSE_TAG_MOUNT_POINT;
    default:
        return Raw;
    }
}

/* Builds a reparse buffer from the input and hands it to NTFS, as the
   program would. */
void SetOrDelete(bool Set, InputReader &Reader)
{
    uint8_t TagChoice = Reader.U8();
    uint32_t RawTag = Reader.U32();
    uint8_t Flags = Reader.U8();
    uint16_t RawDeclared = Reader.U16();
    uint16_t DataLength = Set ? Reader.U16() % (LargestDataLength + 1) : 0;
    std::vector<uint8_t> RawGuid = Reader.Bytes(16);
    std::vector<uint8_t> Given = Set ? Reader.Bytes(64) : std::vector<uint8_t>();

    ULONG Tag = ChooseTag(TagChoice, RawTag);
    ULONG HeaderSize = IsReparseTagMicrosoft(Tag) ? MicrosoftHeaderSize : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    std::vector<uint8_t> Buffer(HeaderSize + DataLength, 0);
    USHORT Declared = (Flags & 2) ? RawDeclared : DataLength;
    memcpy(Buffer.data(), &Tag, 4);
    memcpy(Buffer.data() + 4, &Declared, 2);
    if (HeaderSize == REPARSE_GUID_DATA_BUFFER_HEADER_SIZE) {
        GUID Guid = PlaceholderReparseGuid;
        memcpy(Buffer.data() + 8, (Flags & 1) ? (const void *)RawGuid.data() : (const void *)&Guid, 16);
    }
    for (size_t Index = 0; Index < DataLength; Index += 1) {
        Buffer[HeaderSize + Index] = Index < Given.size() ? Given[Index] : (uint8_t)(Index * 13 + 5);
    }
    DWORD Returned = 0;
    BOOL Done = DeviceIoControl(BootOnce<Target>().File, Set ? FSCTL_SET_REPARSE_POINT : FSCTL_DELETE_REPARSE_POINT,
                                Buffer.data(), (DWORD)Buffer.size(), NULL, 0, &Returned, NULL);
    NTSTATUS Status = emu::user::LastStatus();
    FUZZ_CHECK(Done == NT_SUCCESS(Status), "DeviceIoControl and its status disagree");
    FUZZ_CHECK(OneOf(Status, {STATUS_SUCCESS, STATUS_IO_REPARSE_DATA_INVALID, STATUS_IO_REPARSE_TAG_INVALID,
                              STATUS_IO_REPARSE_TAG_MISMATCH, STATUS_REPARSE_ATTRIBUTE_CONFLICT,
                              STATUS_NOT_A_REPARSE_POINT}),
               "NTFS answered 0x%08X", (unsigned)Status);
}

/* The reparse point as the program reads it: its status and bytes. */
NTSTATUS ReadAsProgram(std::vector<uint8_t> *Bytes)
{
    Bytes->assign(ReadBackRoom, 0);
    DWORD Returned = 0;
    BOOL Done = DeviceIoControl(BootOnce<Target>().File, FSCTL_GET_REPARSE_POINT, NULL, 0, Bytes->data(), ReadBackRoom,
                                &Returned, NULL);
    NTSTATUS Status = emu::user::LastStatus();
    FUZZ_CHECK(Done == NT_SUCCESS(Status), "DeviceIoControl and its status disagree");
    Bytes->resize(NT_SUCCESS(Status) ? Returned : 0);
    return Status;
}

const char *const FailingRoutines[] = {nullptr, "ExAllocatePoolWithTag", "FltFsControlFile",
                                       "FltQueryInformationFile"};

void OneInput(Target &T, InputReader &Reader)
{
    uint32_t EndOfFile = Reader.U32() % (LargestEndOfFile + 1);
    const char *Failing = FailingRoutines[Reader.U8() % 4];
    NTSTATUS Injected = (NTSTATUS)(Reader.U32() | 0xC0000000);
    if (Failing != nullptr && strcmp(Failing, "ExAllocatePoolWithTag") == 0) {
        Injected = STATUS_INSUFFICIENT_RESOURCES;  // the pool answers with null
    }

    {
        emu::ProcessScope InProgram(T.Program);
        LARGE_INTEGER At;
        At.QuadPart = EndOfFile;
        FUZZ_CHECK(SetFilePointerEx(T.File, At, NULL, FILE_BEGIN) && SetEndOfFile(T.File), "cannot size the file");
        for (int Operation = 0; Operation < 3 && !Reader.AtEnd(); Operation += 1) {
            SetOrDelete(Reader.U8() % 4 != 3, Reader);
        }
    }

    std::vector<uint8_t> OnDisk;
    NTSTATUS DiskStatus;
    LARGE_INTEGER Size = {};
    {
        emu::ProcessScope InProgram(T.Program);
        DiskStatus = ReadAsProgram(&OnDisk);
        FUZZ_CHECK(GetFileSizeEx(T.File, &Size) && Size.QuadPart == EndOfFile, "the file's size is not as set");
    }
    FUZZ_CHECK(OneOf(DiskStatus, {STATUS_SUCCESS, STATUS_NOT_A_REPARSE_POINT}), "the program read 0x%08X",
               (unsigned)DiskStatus);

    /* The filter reads the same file back. */
    if (Failing != nullptr) {
        T.Booted.System->Faults().Arm(Failing, Injected, 1, false);
    }
    PVOID Data = (PVOID)1;
    ULONG Length = 0xDEADBEEF;
    NTSTATUS Status = GetPlaceholderReparseData(T.Booted.Instance, T.FileObject, &Data, &Length);
    bool ReadInjected = Failing != nullptr && T.Booted.System->Faults().Injected(Failing) != 0;
    if (Failing != nullptr) {
        T.Booted.System->Faults().Disarm(Failing);
    }
    emu::PoolTagUsage Pool = T.Booted.System->Accounting().PoolByTag()[PoolTagReparseData];

    NTSTATUS Expected;
    if (ReadInjected) {
        Expected = Injected;
    } else if (DiskStatus == STATUS_NOT_A_REPARSE_POINT) {
        Expected = STATUS_NOT_A_REPARSE_POINT;
    } else if (OnDisk.size() > PlaceholderReparseBufferSize) {
        Expected = STATUS_BUFFER_OVERFLOW;  // more data than the buffer holds
    } else {
        Expected = STATUS_SUCCESS;
    }
    FUZZ_CHECK_STATUS(Status, Expected);
    if (NT_SUCCESS(Status)) {
        size_t Past = OnDisk.size() > PlaceholderReparseHeaderSize ? OnDisk.size() - PlaceholderReparseHeaderSize : 0;
        FUZZ_CHECK(Length == Past && Length <= PlaceholderReparseDataMaximum, "length %u for %zu bytes read",
                   (unsigned)Length, OnDisk.size());
        FUZZ_CHECK(Data != NULL, "no data pointer");
        FUZZ_CHECK(Length == 0 || memcmp(Data, OnDisk.data() + PlaceholderReparseHeaderSize, Length) == 0,
                   "the data differs from the disk's");
        size_t Header = OnDisk.size() < PlaceholderReparseHeaderSize ? OnDisk.size() : PlaceholderReparseHeaderSize;
        FUZZ_CHECK(memcmp((PUCHAR)Data - PlaceholderReparseHeaderSize, OnDisk.data(), Header) == 0,
                   "the buffer does not start with the header read");
        FUZZ_CHECK(Pool.OutstandingBlocks == 1 && Pool.OutstandingBytes == PlaceholderReparseBufferSize,
                   "%llu reparse buffers, %llu bytes outstanding", (unsigned long long)Pool.OutstandingBlocks,
                   (unsigned long long)Pool.OutstandingBytes);
        FreePlaceholderReparseData(Data);
    } else {
        FUZZ_CHECK(Data == NULL && Length == 0, "a failed read handed out data");
        FUZZ_CHECK(Pool.OutstandingBlocks == 0, "a failed read kept its buffer");
    }
    std::vector<NTSTATUS> Reported = T.Booted.TakeReported();
    if (Status == STATUS_INSUFFICIENT_RESOURCES && Failing != nullptr && Injected == STATUS_INSUFFICIENT_RESOURCES &&
        strcmp(Failing, "ExAllocatePoolWithTag") == 0) {
        FUZZ_CHECK(Reported.size() == 1 && Reported[0] == STATUS_INSUFFICIENT_RESOURCES, "no pool, not reported");
    } else {
        FUZZ_CHECK(Reported.empty(), "the read-back reported 0x%08X", (unsigned)Reported[0]);
    }

    /* And its size. */
    if (Failing != nullptr) {
        T.Booted.System->Faults().Arm(Failing, Injected, 1, false);
    }
    LONGLONG FileSize = -7;
    Status = QueryFileSize(T.Booted.Instance, T.FileObject, &FileSize);
    bool SizeInjected = Failing != nullptr && T.Booted.System->Faults().Injected(Failing) != 0;
    if (Failing != nullptr) {
        T.Booted.System->Faults().Disarm(Failing);
    }
    if (SizeInjected) {
        FUZZ_CHECK_STATUS(Status, Injected);
        FUZZ_CHECK(FileSize == -7, "a failed size query wrote a size");
    } else {
        FUZZ_CHECK_STATUS(Status, STATUS_SUCCESS);
        FUZZ_CHECK(FileSize == Size.QuadPart, "size %lld, the program sees %lld", (long long)FileSize,
                   (long long)Size.QuadPart);
    }
    FUZZ_CHECK(T.Booted.TakeReported().empty(), "the size query reported a status");

    /* Put the file back: no reparse point, empty. */
    emu::ProcessScope InProgram(T.Program);
    if (DiskStatus == STATUS_SUCCESS) {
        std::vector<uint8_t> Header(OnDisk.begin(), OnDisk.begin() + (OnDisk.size() < PlaceholderReparseHeaderSize
                                                                          ? OnDisk.size()
                                                                          : PlaceholderReparseHeaderSize));
        ULONG Tag;
        memcpy(&Tag, Header.data(), 4);
        Header.resize(IsReparseTagMicrosoft(Tag) ? MicrosoftHeaderSize : PlaceholderReparseHeaderSize);
        Header[4] = Header[5] = 0;  // no data
        DWORD Returned = 0;
        FUZZ_CHECK(DeviceIoControl(T.File, FSCTL_DELETE_REPARSE_POINT, Header.data(), (DWORD)Header.size(), NULL, 0,
                                   &Returned, NULL),
                   "cannot delete the reparse point: 0x%08X", (unsigned)emu::user::LastStatus());
    }
    LARGE_INTEGER Start = {};
    FUZZ_CHECK(SetFilePointerEx(T.File, Start, NULL, FILE_BEGIN) && SetEndOfFile(T.File), "cannot empty the file");
    std::vector<uint8_t> After;
    FUZZ_CHECK(ReadAsProgram(&After) == STATUS_NOT_A_REPARSE_POINT, "the reparse point stayed");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Target &T = BootOnce<Target>();
    RunInput([&] {
        InputReader Reader(Data, Size);
        OneInput(T, Reader);
        T.Booted.ExpectBaseline("after the read-back");
    });
    return 0;
}
