/*
 * port_command_fuzz.cpp - the service's commands, as the service sends
 * them: FilterSendMessage on its connection to the filter's port, with any
 * input buffer and length and any output buffer and length.
 *
 * The service connects one sync root when the system boots.  Each input is
 * a sequence of up to 16 sends; each picks where its input and output
 * buffers lie (in the service's memory, null, or at an address the filter
 * must refuse: the first 64 KiB, across the top of user space, kernel
 * addresses, a pool block, an unmapped range) and their lengths, and the
 * input's bytes.  The filter's answer must be the one its command handling
 * defines, reported; the service's buffers are read only where the filter
 * may read them (the sanitizers see any other access) and written only on
 * success; nothing is left behind.
 *
 * Record (little-endian): u8 input kind, u32 input length, u16 input nudge,
 * u8 output kind, u32 output length, u16 output nudge, then up to 48 bytes
 * of the input buffer (zero after).
 */
#include "FuzzSupport.h"
#include "InputReader.h"

#include <memory>

#include "ServiceClient.h"

using namespace zentaflt_fuzz;
namespace service = zentaflt::service;

namespace {

/* Where a buffer handed to FilterSendMessage lies. */
enum BufferKind : uint8_t {
    InServiceMemory,  // a buffer of the service of exactly the length given
    Null,
    FirstPages,       // below 64 KiB, never mapped
    AcrossTop,        // starts below MM_USER_PROBE_ADDRESS, ends above it
    KernelSpace,      // at or above MM_USER_PROBE_ADDRESS
    Wrapping,         // wraps around the end of the address space
    PoolBlock,        // inside a block of kernel pool
    Unmapped,         // inside a reserved, unmapped range
    BufferKinds
};

/* The most bytes a buffer in the service's memory gets. */
constexpr uint32_t LargestServiceBuffer = 1 << 16;
constexpr size_t PoolBlockSize = 256;
constexpr size_t UnmappedSize = 2 * 4096;
constexpr uint8_t OutputFill = 0xA5;

struct Target {
    BootedSystem Booted;
    emu::EmuProcess *Service = nullptr;
    service::ServiceConnection Connection;
    PVOID Pool = nullptr;
    PVOID UnmappedRange = nullptr;

    Target()
    {
        Service = Booted.CreateProcess("service.exe");
        emu::ProcessScope InService(Service);
        if (!CreateDirectoryW(L"C:\\Sync", NULL)) {
            Fail("cannot create C:\\Sync");
        }
        HRESULT Result = service::ConnectSyncRootPath(L"C:\\Sync", &Connection);
        if (Result != S_OK) {
            Fail("cannot connect C:\\Sync: 0x%08X", (unsigned)Result);
        }
        /* Kernel memory the service could name by address.  Held for the
           whole run, so part of the baseline. */
        Pool = ExAllocatePoolWithTag(NonPagedPoolNx, PoolBlockSize, 'zFzP');
        UnmappedRange = emu::ReserveUnmappedUserRange(UnmappedSize);
        if (Pool == nullptr || UnmappedRange == nullptr) {
            Fail("no pool block or unmapped range");
        }
        Booted.TakeBaseline();
    }

    void Shutdown()
    {
        ExFreePoolWithTag(Pool, 'zFzP');
        Booted.Shutdown();
    }
};

/* A buffer as one send hands it over: its address, and the service's own
   storage when it lies in the service's memory. */
struct PlacedBuffer {
    BufferKind Kind;
    PVOID Address = nullptr;
    std::unique_ptr<uint8_t[]> Storage;
};

/* Access is the number of bytes the filter reads or writes at the buffer:
   a buffer not in the service's memory must fail a probe of that many. */
PlacedBuffer Place(Target &T, uint8_t KindByte, uint32_t Length, uint16_t Nudge, ULONG Access)
{
    PlacedBuffer Buffer;
    Buffer.Kind = (BufferKind)(KindByte % BufferKinds);
    switch (Buffer.Kind) {
    case InServiceMemory:
        Buffer.Storage.reset(new uint8_t[Length == 0 ? 1 : Length]);
        Buffer.Address = Buffer.Storage.get();
        break;
    case Null:
        break;
    case FirstPages:
        Buffer.Address = (PVOID)(ULONG_PTR)(1 + Nudge % 0xFFFF);
        break;
    case AcrossTop:
        /* Ends at least one byte above the limit. */
        Buffer.Address = (PVOID)(MM_USER_PROBE_ADDRESS - 1 - Nudge % (Access - 1));
        break;
    case KernelSpace:
        Buffer.Address = (PVOID)(MM_USER_PROBE_ADDRESS + (ULONG_PTR)Nudge * 0x10000);
        break;
    case Wrapping:
        Buffer.Address = (PVOID)(~(ULONG_PTR)0 - Nudge % Access);
        break;
    case PoolBlock:
        Buffer.Address = (PUCHAR)T.Pool + Nudge % PoolBlockSize;
        break;
    case Unmapped:
        Buffer.Address = (PUCHAR)T.UnmappedRange + Nudge % UnmappedSize;
        break;
    default:
        break;
    }
    return Buffer;
}

/* What the filter answers a send, as its command handling defines it.  No
   hydration request is pending on the connection, so a well-formed command
   of either kind names a request that is not pending. */
NTSTATUS ExpectedAnswer(const PlacedBuffer &Input, uint32_t InputLength, const PlacedBuffer &Output,
                        uint32_t OutputLength)
{
    if (Input.Address == nullptr || InputLength < ServiceCommandSize || Output.Address == nullptr ||
        OutputLength < ServiceCommandReplySize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Input.Kind != InServiceMemory) {
        return STATUS_ACCESS_VIOLATION;
    }
    ULONG Command;
    memcpy(&Command, Input.Storage.get(), sizeof(Command));
    if (Command != CommandTransferData && Command != CommandCompleteHydration) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return STATUS_NOT_FOUND;
}

void OneSend(Target &T, InputReader &Reader)
{
    uint8_t InputKind = Reader.U8();
    uint32_t InputLength = Reader.U32();
    uint16_t InputNudge = Reader.U16();
    uint8_t OutputKind = Reader.U8();
    uint32_t OutputLength = Reader.U32();
    uint16_t OutputNudge = Reader.U16();
    std::vector<uint8_t> Content = Reader.Bytes(48);

    if ((BufferKind)(InputKind % BufferKinds) == InServiceMemory) {
        InputLength %= LargestServiceBuffer + 1;
    }
    if ((BufferKind)(OutputKind % BufferKinds) == InServiceMemory) {
        OutputLength %= LargestServiceBuffer + 1;
    }
    PlacedBuffer Input = Place(T, InputKind, InputLength, InputNudge, ServiceCommandSize);
    PlacedBuffer Output = Place(T, OutputKind, OutputLength, OutputNudge, ServiceCommandReplySize);
    std::vector<uint8_t> InputBefore;
    if (Input.Kind == InServiceMemory) {
        memset(Input.Storage.get(), 0, InputLength);
        memcpy(Input.Storage.get(), Content.data(), InputLength < Content.size() ? InputLength : Content.size());
        InputBefore.assign(Input.Storage.get(), Input.Storage.get() + InputLength);
    }
    if (Output.Kind == InServiceMemory) {
        memset(Output.Storage.get(), OutputFill, OutputLength);
    }
    NTSTATUS Expected = ExpectedAnswer(Input, InputLength, Output, OutputLength);

    DWORD Returned = 0xFFFFFFFF;
    HRESULT Result = FilterSendMessage(T.Connection.Port, Input.Address, InputLength, Output.Address, OutputLength,
                                       &Returned);
    NTSTATUS Status = emu::user::LastStatus();

    FUZZ_CHECK_STATUS(Status, Expected);
    FUZZ_CHECK(Result == HresultOf(Status), "HRESULT 0x%08X for status 0x%08X", (unsigned)Result, (unsigned)Status);
    if (Input.Kind == InServiceMemory && InputLength != 0) {
        FUZZ_CHECK(memcmp(Input.Storage.get(), InputBefore.data(), InputLength) == 0, "the input was written");
    }
    if (NT_SUCCESS(Status)) {
        /* Exactly the u32 0, whatever room the service gave. */
        FUZZ_CHECK(Returned == ServiceCommandReplySize, "returned %u", (unsigned)Returned);
        ULONG Reply = 0xFFFFFFFF;
        memcpy(&Reply, Output.Storage.get(), sizeof(Reply));
        FUZZ_CHECK(Reply == 0, "reply %u", (unsigned)Reply);
        for (uint32_t Index = ServiceCommandReplySize; Index < OutputLength; Index += 1) {
            FUZZ_CHECK(Output.Storage[Index] == OutputFill, "output byte %u written", (unsigned)Index);
        }
        return;
    }
    FUZZ_CHECK(Returned == 0, "returned %u on failure", (unsigned)Returned);
    if (Output.Kind == InServiceMemory) {
        for (uint32_t Index = 0; Index < OutputLength; Index += 1) {
            FUZZ_CHECK(Output.Storage[Index] == OutputFill, "output byte %u written on failure", (unsigned)Index);
        }
    }
    T.Booted.ExpectReportedLast(Status, "the command");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    Target &T = BootOnce<Target>();
    RunInput([&] {
        InputReader Reader(Data, Size);
        emu::ProcessScope InService(T.Service);
        for (int Send = 0; Send < 16 && !Reader.AtEnd(); Send += 1) {
            OneSend(T, Reader);
        }
        T.Booted.ExpectBaseline("after the commands");
    });
    return 0;
}
