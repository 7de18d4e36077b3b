/*
 * User memory as Windows treats it: per-process address spaces, probes that
 * check the range only, faults at the access inside the caller's __try,
 * memory descriptor lists accounted by the verifier, and kernel waits that
 * alerts, user APCs and thread termination end early.
 */
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "EmuTesting.h"

namespace {

constexpr ULONG TestTag = 0x6C646D54;  // 'Tmdl'
constexpr LONGLONG OneSecond = 10LL * 1000 * 1000;

class UserMemory : public ::testing::Test {
protected:
    void SetUp() override
    {
        Program = System.CreateProcess("program.exe");
        Other = System.CreateProcess("other.exe");
    }

    void TearDown() override
    {
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    /* Takes the reports a test provoked; true when one contains Fragment. */
    bool TakeReport(const std::string &Fragment)
    {
        return !System.Accounting().TakeReports(Fragment).empty();
    }

    bool Listed(const std::string &Fragment)
    {
        for (const auto &Leak : System.Leaks()) {
            if (Leak.find(Fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    emu::System System;
    emu::EmuProcess *Program = nullptr;
    emu::EmuProcess *Other = nullptr;
};

/* ---------------------------------------------------------------------------
 * Probes and copies, written the way drivers must write them: every touch
 * of user memory is a call made inside the __try.
 * ------------------------------------------------------------------------- */
NTSTATUS ProbeStatus(volatile void *Address, SIZE_T Length, ULONG Alignment, bool Write = false)
{
    NTSTATUS Status = STATUS_SUCCESS;
    __try {
        if (Write) {
            ProbeForWrite(Address, Length, Alignment);
        } else {
            ProbeForRead(Address, Length, Alignment);
        }
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return Status;
}

DECLSPEC_NOINLINE void CopyIn(void *Destination, const void *Source, SIZE_T Length)
{
    RtlCopyMemory(Destination, Source, Length);
}

/* The pattern of the driver's service-memory copies: probe and copy inside
   one __try. */
NTSTATUS CopyFromUser(void *Destination, const void *Source, SIZE_T Length)
{
    NTSTATUS Status = STATUS_SUCCESS;
    __try {
        ProbeForRead((PVOID)Source, Length, 1);
        CopyIn(Destination, Source, Length);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return Status;
}

NTSTATUS CopyToUser(void *Destination, const void *Source, SIZE_T Length)
{
    NTSTATUS Status = STATUS_SUCCESS;
    __try {
        ProbeForRead(Destination, Length, 1);
        CopyIn(Destination, Source, Length);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return Status;
}

/* The defect the rule guards against: the copy moved out of the __try.
   The probe passes for unmapped user memory, so only the copy can fault. */
NTSTATUS CopyFromUserOutsideTry(void *Destination, const void *Source, SIZE_T Length)
{
    NTSTATUS Status = STATUS_SUCCESS;
    __try {
        ProbeForRead((PVOID)Source, Length, 1);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
        return Status;
    }
    CopyIn(Destination, Source, Length);
    return Status;
}

TEST_F(UserMemory, ProbesCheckTheRangeOnly)
{
    emu::ProcessScope InProgram(Program);
    auto Mapped = (PUCHAR)VirtualAlloc(NULL, 8192, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(Mapped, nullptr);
    EXPECT_EQ(ProbeStatus(Mapped, 8192, 8), STATUS_SUCCESS);
    EXPECT_EQ(ProbeStatus(Mapped + 1, 8, 8), STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(ProbeStatus(Mapped + 1, 8, 8, true), STATUS_DATATYPE_MISALIGNMENT);
    /* Above the user limit, wrapping, or kernel memory (pool). */
    EXPECT_EQ(ProbeStatus((void *)(MM_USER_PROBE_ADDRESS - 2), 4, 1), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeStatus((void *)(MM_USER_PROBE_ADDRESS - 4), 4, 1), STATUS_SUCCESS);
    EXPECT_EQ(ProbeStatus((void *)~(ULONG_PTR)0xF, 32, 1), STATUS_ACCESS_VIOLATION);
    PVOID Pool = ExAllocatePoolWithTag(NonPagedPoolNx, 32, TestTag);
    EXPECT_EQ(ProbeStatus((PUCHAR)Pool + 8, 4, 1), STATUS_ACCESS_VIOLATION);
    ExFreePoolWithTag(Pool, TestTag);
    /* A zero length never raises, whatever the address. */
    EXPECT_EQ(ProbeStatus((void *)(MM_USER_PROBE_ADDRESS + 0x1000), 0, 8), STATUS_SUCCESS);
    EXPECT_EQ(ProbeStatus((void *)0x11, 0, 8), STATUS_SUCCESS);
    /* ProbeForRead does not look at the pages: unmapped user memory, memory
       of another process and the never-mapped first 64 KiB pass it. */
    EXPECT_EQ(ProbeStatus(emu::ReserveUnmappedUserRange(4096), 4, 1), STATUS_SUCCESS);
    EXPECT_EQ(ProbeStatus(System.AllocateUserMemory(Other, 4096), 4, 1), STATUS_SUCCESS);
    EXPECT_EQ(ProbeStatus((void *)0x10, 4, 1), STATUS_SUCCESS);
    /* ProbeForWrite checks that the buffer is initially writable. */
    DWORD Old = 0;
    ASSERT_TRUE(VirtualProtect(Mapped + 4096, 4096, PAGE_READONLY, &Old));
    EXPECT_EQ(Old, (DWORD)PAGE_READWRITE);
    EXPECT_EQ(ProbeStatus(Mapped, 4096, 1, true), STATUS_SUCCESS);
    EXPECT_EQ(ProbeStatus(Mapped + 4000, 200, 1, true), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(ProbeStatus(Mapped + 4096, 16, 1), STATUS_SUCCESS);
    ASSERT_TRUE(VirtualFree(Mapped, 0, MEM_RELEASE));
}

TEST_F(UserMemory, CopiesFaultAtTheAccessInsideTheTry)
{
    emu::ProcessScope InProgram(Program);
    auto Mine = (PUCHAR)VirtualAlloc(NULL, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(Mine, nullptr);
    memcpy(Mine, "user data", 10);
    char Copy[16] = {};
    EXPECT_EQ(CopyFromUser(Copy, Mine, 10), STATUS_SUCCESS);
    EXPECT_STREQ(Copy, "user data");
    EXPECT_EQ(CopyToUser(Mine + 100, "reply", 6), STATUS_SUCCESS);
    EXPECT_STREQ((char *)Mine + 100, "reply");

    /* Unmapped, another process's, and freed memory fault in the copy. */
    PVOID Unmapped = emu::ReserveUnmappedUserRange(4096);
    EXPECT_EQ(CopyFromUser(Copy, Unmapped, 4), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(CopyToUser(Unmapped, "x", 1), STATUS_ACCESS_VIOLATION);
    PVOID Foreign = System.AllocateUserMemory(Other, 4096);
    EXPECT_EQ(CopyFromUser(Copy, Foreign, 4), STATUS_ACCESS_VIOLATION);
    {
        emu::ProcessScope InOther(Other);
        EXPECT_EQ(CopyFromUser(Copy, Foreign, 4), STATUS_SUCCESS);
        EXPECT_EQ(CopyFromUser(Copy, Mine, 4), STATUS_ACCESS_VIOLATION);
    }
    /* A range that runs off the end of the allocation faults as a whole. */
    EXPECT_EQ(CopyFromUser(Copy, Mine + 4090, 16), STATUS_ACCESS_VIOLATION);
    /* Read-only pages: reading works, writing faults; no access faults both. */
    DWORD Old;
    ASSERT_TRUE(VirtualProtect(Mine, 4096, PAGE_READONLY, &Old));
    EXPECT_EQ(CopyFromUser(Copy, Mine, 4), STATUS_SUCCESS);
    EXPECT_EQ(CopyToUser(Mine, "x", 1), STATUS_ACCESS_VIOLATION);
    ASSERT_TRUE(VirtualProtect(Mine, 4096, PAGE_NOACCESS, &Old));
    EXPECT_EQ(CopyFromUser(Copy, Mine, 4), STATUS_ACCESS_VIOLATION);
    /* The other memory routines fault the same way. */
    NTSTATUS Status = STATUS_SUCCESS;
    __try {
        RtlZeroMemory(Unmapped, 8);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    EXPECT_EQ(Status, STATUS_ACCESS_VIOLATION);
    ASSERT_TRUE(VirtualFree(Mine, 0, MEM_RELEASE));
    EXPECT_EQ(CopyFromUser(Copy, Mine, 4), STATUS_ACCESS_VIOLATION);
    /* Kernel and host memory stays reachable in every process. */
    EXPECT_EQ(CopyFromUser(Copy, "host", 5), STATUS_SUCCESS);
}

TEST_F(UserMemory, ACopyOutsideTheTryIsNotHandled)
{
    emu::ProcessScope InProgram(Program);
    PVOID Unmapped = emu::ReserveUnmappedUserRange(4096);
    char Copy[8];
    /* The routine's own handler never sees the fault: it leaves the routine
       unhandled, which stops Windows with KMODE_EXCEPTION_NOT_HANDLED. */
    try {
        CopyFromUserOutsideTry(Copy, Unmapped, 4);
        ADD_FAILURE() << "the copy outside the __try did not fault";
    } catch (const EmuSehException &Fault) {
        EXPECT_EQ(Fault.Code, STATUS_ACCESS_VIOLATION);
    }
    /* The same routine passes with memory the process has mapped. */
    auto Mine = (PUCHAR)VirtualAlloc(NULL, 64, MEM_COMMIT, PAGE_READONLY);
    ASSERT_NE(Mine, nullptr);
    EXPECT_EQ(CopyFromUserOutsideTry(Copy, Mine, 4), STATUS_SUCCESS);
    ASSERT_TRUE(VirtualFree(Mine, 0, MEM_RELEASE));
}

TEST_F(UserMemory, VirtualMemoryCallsCheckTheirArguments)
{
    emu::ProcessScope InProgram(Program);
    EXPECT_EQ(VirtualAlloc((PVOID)0x10000000, 4096, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(VirtualAlloc(NULL, 0, MEM_COMMIT, PAGE_READWRITE), nullptr);
    EXPECT_EQ(VirtualAlloc(NULL, 4096, MEM_COMMIT, 0x3), nullptr);  // two protections at once
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    /* Reserved only: the addresses are the process's, but not accessible. */
    auto Reserved = (PUCHAR)VirtualAlloc(NULL, 4096, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(Reserved, nullptr);
    char Copy[4];
    EXPECT_EQ(CopyFromUser(Copy, Reserved, 4), STATUS_ACCESS_VIOLATION);
    DWORD Old;
    EXPECT_FALSE(VirtualProtect(Reserved, 4096, PAGE_READWRITE, &Old));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_NOT_COMMITTED);
    /* Only the owner frees, only whole allocations. */
    {
        emu::ProcessScope InOther(Other);
        EXPECT_FALSE(VirtualFree(Reserved, 0, MEM_RELEASE));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_ADDRESS);
    }
    EXPECT_FALSE(VirtualFree(Reserved, 4096, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(Reserved + 4096, 0, MEM_RELEASE));
    EXPECT_TRUE(VirtualFree(Reserved, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(Reserved, 0, MEM_RELEASE));
    /* A process's memory goes when it ends. */
    auto Kept = (PUCHAR)System.AllocateUserMemory(Other, 4096);
    {
        emu::ProcessScope InOther(Other);
        EXPECT_EQ(CopyFromUser(Copy, Kept, 4), STATUS_SUCCESS);
    }
    System.Terminate(Other);
    {
        emu::ProcessScope InOther(Other);
        EXPECT_EQ(CopyFromUser(Copy, Kept, 4), STATUS_ACCESS_VIOLATION);
    }
}

/* ---------------------------------------------------------------------------
 * Memory descriptor lists.
 * ------------------------------------------------------------------------- */
NTSTATUS LockStatus(PMDL Mdl, KPROCESSOR_MODE Mode, LOCK_OPERATION Operation)
{
    NTSTATUS Status = STATUS_SUCCESS;
    __try {
        MmProbeAndLockPages(Mdl, Mode, Operation);
    } __except (Status = GetExceptionCode(), EXCEPTION_EXECUTE_HANDLER) {
    }
    return Status;
}

TEST_F(UserMemory, AnMdlOverUnmappedOrKernelMemoryIsRefusedToAUserModeCaller)
{
    emu::ProcessScope InProgram(Program);
    auto Check = [&](PVOID Address, ULONG Length, KPROCESSOR_MODE Mode, LOCK_OPERATION Operation) {
        PMDL Mdl = IoAllocateMdl(Address, Length, FALSE, FALSE, NULL);
        EXPECT_NE(Mdl, nullptr);
        NTSTATUS Status = LockStatus(Mdl, Mode, Operation);
        EXPECT_FALSE(Mdl->MdlFlags & MDL_PAGES_LOCKED);
        IoFreeMdl(Mdl);
        return Status;
    };
    PVOID Unmapped = emu::ReserveUnmappedUserRange(8192);
    EXPECT_EQ(Check(Unmapped, 100, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Check(Unmapped, 100, KernelMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    PVOID Foreign = System.AllocateUserMemory(Other, 4096);
    EXPECT_EQ(Check(Foreign, 100, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    PVOID Pool = ExAllocatePoolWithTag(NonPagedPoolNx, 64, TestTag);
    EXPECT_EQ(Check(Pool, 64, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Check((PVOID)(MM_USER_PROBE_ADDRESS - 8), 64, UserMode, IoReadAccess), STATUS_ACCESS_VIOLATION);
    /* The operation is checked against the pages' protection. */
    auto ReadOnly = (PUCHAR)VirtualAlloc(NULL, 8192, MEM_COMMIT, PAGE_READONLY);
    ASSERT_NE(ReadOnly, nullptr);
    EXPECT_EQ(Check(ReadOnly, 8192, UserMode, IoWriteAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Check(ReadOnly, 8192, UserMode, IoModifyAccess), STATUS_ACCESS_VIOLATION);

    /* A kernel-mode caller may lock kernel memory. */
    PMDL Kernel = IoAllocateMdl(Pool, 64, FALSE, FALSE, NULL);
    ASSERT_NE(Kernel, nullptr);
    EXPECT_EQ(LockStatus(Kernel, KernelMode, IoWriteAccess), STATUS_SUCCESS);
    EXPECT_EQ(Kernel->Process, nullptr);
    MmUnlockPages(Kernel);
    IoFreeMdl(Kernel);
    ExFreePoolWithTag(Pool, TestTag);
    /* And the read-only pages lock for reading. */
    PMDL Reading = IoAllocateMdl(ReadOnly + 10, 100, FALSE, FALSE, NULL);
    ASSERT_NE(Reading, nullptr);
    EXPECT_EQ(LockStatus(Reading, UserMode, IoReadAccess), STATUS_SUCCESS);
    EXPECT_FALSE(Reading->MdlFlags & MDL_WRITE_OPERATION);
    MmUnlockPages(Reading);
    IoFreeMdl(Reading);
    ASSERT_TRUE(VirtualFree(ReadOnly, 0, MEM_RELEASE));
}

TEST_F(UserMemory, AnMdlOverMappedMemoryIsLockedAndMappedIntoSystemSpace)
{
    auto Buffer = (PUCHAR)System.AllocateUserMemory(Program, 3 * PAGE_SIZE);
    ASSERT_NE(Buffer, nullptr);
    PUCHAR Start = Buffer + PAGE_SIZE - 16;  // spans three pages
    ULONG Length = PAGE_SIZE + 32;
    PMDL Mdl;
    PUCHAR System0;
    {
        emu::ProcessScope InProgram(Program);
        memcpy(Start, "written by the program", 23);
        Mdl = IoAllocateMdl(Start, Length, FALSE, FALSE, NULL);
        ASSERT_NE(Mdl, nullptr);
        /* The wdm.h layout: the header, then one frame number per page. */
        EXPECT_EQ(Mdl->Size, (CSHORT)(sizeof(MDL) + 3 * sizeof(PFN_NUMBER)));
        EXPECT_EQ(Mdl->StartVa, Buffer);
        EXPECT_EQ(Mdl->ByteOffset, (ULONG)(PAGE_SIZE - 16));
        EXPECT_EQ(MmGetMdlByteCount(Mdl), Length);
        EXPECT_EQ(MmGetMdlVirtualAddress(Mdl), Start);
        EXPECT_EQ(MmSizeOfMdl(Start, Length), sizeof(MDL) + 3 * sizeof(PFN_NUMBER));

        ASSERT_EQ(LockStatus(Mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
        EXPECT_EQ(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_WRITE_OPERATION), MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
        EXPECT_EQ(Mdl->Process, PsGetCurrentProcess());
        PPFN_NUMBER Frames = MmGetMdlPfnArray(Mdl);
        EXPECT_EQ(Frames[1], Frames[0] + 1);
        EXPECT_EQ(Frames[2], Frames[0] + 2);
        System0 = (PUCHAR)MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority | MdlMappingNoExecute);
        ASSERT_NE(System0, nullptr);
        EXPECT_NE(System0, Start);
        EXPECT_TRUE(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
        EXPECT_EQ(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority | MdlMappingNoExecute), System0);
    }
    /* The system address reaches the same pages from any process; the user
       address only from the program's. */
    EXPECT_EQ(memcmp(System0, "written by the program", 23), 0);
    {
        emu::ProcessScope InOther(Other);
        char Copy[8];
        RtlCopyMemory(System0 + PAGE_SIZE, "kernel", 7);
        EXPECT_EQ(CopyFromUser(Copy, Start, 4), STATUS_ACCESS_VIOLATION);
        /* System space is kernel memory: no user-mode probe accepts it. */
        EXPECT_EQ(ProbeStatus(System0, 4, 1), STATUS_ACCESS_VIOLATION);
    }
    EXPECT_STREQ((char *)Start + PAGE_SIZE, "kernel");
    EXPECT_TRUE(Listed("locked pages still live: locked in process program.exe"));
    /* Unlocking releases the mapping too. */
    MmUnlockPages(Mdl);
    EXPECT_EQ(Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    EXPECT_EQ(Mdl->MappedSystemVa, nullptr);
    IoFreeMdl(Mdl);
}

TEST_F(UserMemory, NonPagedPoolMdlsNeedNoLock)
{
    PVOID Pool = ExAllocatePoolWithTag(NonPagedPoolNx, 100, TestTag);
    PMDL Mdl = IoAllocateMdl(Pool, 100, FALSE, FALSE, NULL);
    ASSERT_NE(Mdl, nullptr);
    MmBuildMdlForNonPagedPool(Mdl);
    EXPECT_TRUE(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(Mdl, HighPagePriority), Pool);
    /* Pages of such an MDL are never locked or unlocked. */
    try {
        MmProbeAndLockPages(Mdl, KernelMode, IoReadAccess);
        ADD_FAILURE() << "locking a nonpaged-pool MDL was not stopped";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::DRIVER_VERIFIER_DETECTED_VIOLATION);
    }
    EXPECT_TRUE(TakeReport("MmBuildMdlForNonPagedPool"));
    IoFreeMdl(Mdl);
    ExFreePoolWithTag(Pool, TestTag);

    /* Paged pool and user memory are not nonpaged. */
    PVOID Paged = ExAllocatePoolWithTag(PagedPool, 100, TestTag);
    PMDL Wrong = IoAllocateMdl(Paged, 100, FALSE, FALSE, NULL);
    EXPECT_THROW(MmBuildMdlForNonPagedPool(Wrong), emu::BugCheck);
    EXPECT_TRUE(TakeReport("not nonpaged"));
    IoFreeMdl(Wrong);
    ExFreePoolWithTag(Paged, TestTag);
}

TEST_F(UserMemory, LeakedMdlsAndLockedPagesAreReported)
{
    auto Buffer = System.AllocateUserMemory(Program, PAGE_SIZE);
    emu::ProcessScope InProgram(Program);
    PMDL Mdl = IoAllocateMdl(Buffer, 64, FALSE, FALSE, NULL);
    ASSERT_NE(Mdl, nullptr);
    EXPECT_TRUE(Listed("MDL still live"));
    ASSERT_EQ(LockStatus(Mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
    EXPECT_TRUE(Listed("locked pages still live"));
    MmUnlockPages(Mdl);
    EXPECT_FALSE(Listed("locked pages"));
    EXPECT_TRUE(Listed("MDL still live"));
    IoFreeMdl(Mdl);
    EXPECT_TRUE(System.Leaks().empty());

    /* A process that ends with pages locked is what Windows stops for. */
    auto Foreign = System.AllocateUserMemory(Other, PAGE_SIZE);
    PMDL Held = IoAllocateMdl(Foreign, 64, FALSE, FALSE, NULL);
    ASSERT_NE(Held, nullptr);
    {
        emu::ProcessScope InOther(Other);
        ASSERT_EQ(LockStatus(Held, UserMode, IoWriteAccess), STATUS_SUCCESS);
    }
    System.Terminate(Other);
    EXPECT_TRUE(TakeReport("PROCESS_HAS_LOCKED_PAGES: process other.exe ended with 1 MDL(s)"));
    MmUnlockPages(Held);
    IoFreeMdl(Held);
}

TEST_F(UserMemory, MdlMisuseStopsTheSystem)
{
    auto Buffer = System.AllocateUserMemory(Program, PAGE_SIZE);
    emu::ProcessScope InProgram(Program);
    PMDL Mdl = IoAllocateMdl(Buffer, 64, FALSE, FALSE, NULL);
    ASSERT_NE(Mdl, nullptr);
    ASSERT_EQ(LockStatus(Mdl, UserMode, IoReadAccess), STATUS_SUCCESS);
    /* Locking twice. */
    try {
        MmProbeAndLockPages(Mdl, UserMode, IoReadAccess);
        ADD_FAILURE() << "second lock not stopped";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::LOCKED_PAGES_TRACKER_CORRUPTION);
        EXPECT_EQ(Stop.Parameter1, 1u);
    }
    /* Freeing with the pages locked. */
    try {
        IoFreeMdl(Mdl);
        ADD_FAILURE() << "free of a locked MDL not stopped";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::PROCESS_HAS_LOCKED_PAGES);
        EXPECT_EQ(Stop.Parameter1, 0u);
    }
    MmUnlockPages(Mdl);
    /* Unlocking twice: pages of a process, then system pages. */
    try {
        MmUnlockPages(Mdl);
        ADD_FAILURE() << "double unlock not stopped";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::PROCESS_HAS_LOCKED_PAGES);
        EXPECT_EQ(Stop.Parameter1, 1u);
    }
    IoFreeMdl(Mdl);
    char KernelBuffer[64];
    PMDL Kernel = IoAllocateMdl(KernelBuffer, sizeof(KernelBuffer), FALSE, FALSE, NULL);
    ASSERT_EQ(LockStatus(Kernel, KernelMode, IoModifyAccess), STATUS_SUCCESS);
    MmUnlockPages(Kernel);
    try {
        MmUnlockPages(Kernel);
        ADD_FAILURE() << "double unlock not stopped";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::PFN_LIST_CORRUPT);
        EXPECT_EQ(Stop.Parameter1, 7u);
    }
    /* Mapping pages that are not locked; freeing twice. */
    EXPECT_THROW(MmGetSystemAddressForMdlSafe(Kernel, NormalPagePriority), emu::BugCheck);
    IoFreeMdl(Kernel);
    EXPECT_THROW(IoFreeMdl(Kernel), emu::BugCheck);
    EXPECT_TRUE(TakeReport("MmUnlockPages of pages that are not locked"));
    /* Every stop above is also on the verifier's record. */
    EXPECT_EQ(System.Accounting().TakeReports("bug check 0x").size(), 4u);
}

TEST_F(UserMemory, MdlAllocationAndMappingFailuresCanBeInjected)
{
    auto Buffer = System.AllocateUserMemory(Program, PAGE_SIZE);
    emu::ProcessScope InProgram(Program);
    System.Faults().Arm("IoAllocateMdl", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(IoAllocateMdl(Buffer, 64, FALSE, FALSE, NULL), nullptr);
    PMDL Mdl = IoAllocateMdl(Buffer, 64, FALSE, FALSE, NULL);
    ASSERT_NE(Mdl, nullptr);
    ASSERT_EQ(LockStatus(Mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
    System.Faults().Arm("MmGetSystemAddressForMdlSafe", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority | MdlMappingNoExecute), nullptr);
    EXPECT_FALSE(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_NE(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority | MdlMappingNoExecute), nullptr);
    /* An unknown priority flag is refused and reported. */
    MmUnlockPages(Mdl);
    ASSERT_EQ(LockStatus(Mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority | 0x1), nullptr);
    EXPECT_TRUE(TakeReport("unknown priority"));
    /* Driver Verifier's code integrity check: mappings must not be
       executable. */
    EXPECT_NE(MmGetSystemAddressForMdlSafe(Mdl, LowPagePriority), nullptr);
    EXPECT_TRUE(TakeReport("0x2002"));
    MmUnlockPages(Mdl);
    IoFreeMdl(Mdl);
}

/* ---------------------------------------------------------------------------
 * Kernel waits.  Deadlines are absolute, fixed before a waiter starts, so
 * each result is the same whichever thread runs first.
 * ------------------------------------------------------------------------- */
class KernelWaits : public UserMemory {
protected:
    LARGE_INTEGER In(LONGLONG Seconds)
    {
        LARGE_INTEGER At;
        At.QuadPart = System.SystemClock().Now() + Seconds * OneSecond;
        return At;
    }

    /* Runs Wait on a thread of its own, hands its KTHREAD to Act, and
       returns the wait's status. */
    template <typename WaitFn, typename ActFn> NTSTATUS OnThread(WaitFn Wait, ActFn Act)
    {
        std::atomic<PKTHREAD> Thread{nullptr};
        std::atomic<NTSTATUS> Result{STATUS_PENDING};
        std::thread Waiter([&] {
            Thread = KeGetCurrentThread();
            Result = Wait();
        });
        while (Thread.load() == nullptr) {
            std::this_thread::yield();
        }
        Act(Thread.load());
        Waiter.join();
        return Result.load();
    }
};

TEST_F(KernelWaits, DelaysRunOnTheClockAndEndEarlyAsDocumented)
{
    /* A relative delay: the clock moves in steps until it ends, which is
       not before its five seconds have passed. */
    LONGLONG Start = System.SystemClock().Now();
    std::atomic<LONGLONG> Ended{0};
    std::atomic<NTSTATUS> Result{STATUS_PENDING};
    std::thread Sleeper([&] {
        LARGE_INTEGER Relative;
        Relative.QuadPart = -5 * OneSecond;
        Result = KeDelayExecutionThread(KernelMode, FALSE, &Relative);
        Ended = System.SystemClock().Now();
    });
    while (Result.load() == STATUS_PENDING) {
        System.SystemClock().Advance(OneSecond);
        std::this_thread::yield();
    }
    Sleeper.join();
    EXPECT_EQ(Result.load(), STATUS_SUCCESS);
    EXPECT_GE(Ended.load() - Start, 5 * OneSecond);

    LARGE_INTEGER Absolute = In(60);
    EXPECT_EQ(OnThread([&] { return KeDelayExecutionThread(KernelMode, FALSE, &Absolute); },
                       [&](PKTHREAD) { System.SystemClock().Advance(60 * OneSecond); }),
              STATUS_SUCCESS);

    /* An alert ends an alertable delay in either mode. */
    LARGE_INTEGER Long = In(3600);
    EXPECT_EQ(OnThread([&] { return KeDelayExecutionThread(KernelMode, TRUE, &Long); },
                       [](PKTHREAD Thread) { emu::AlertThread(Thread, STATUS_ALERTED); }),
              STATUS_ALERTED);
    EXPECT_EQ(OnThread([&] { return KeDelayExecutionThread(UserMode, TRUE, &Long); },
                       [](PKTHREAD Thread) { emu::AlertThread(Thread, STATUS_ALERTED); }),
              STATUS_ALERTED);
    /* A user APC ends an alertable user-mode delay only. */
    EXPECT_EQ(OnThread([&] { return KeDelayExecutionThread(UserMode, TRUE, &Long); },
                       [](PKTHREAD Thread) { emu::AlertThread(Thread, STATUS_USER_APC); }),
              STATUS_USER_APC);
    LARGE_INTEGER Later = In(10);
    EXPECT_EQ(OnThread([&] { return KeDelayExecutionThread(KernelMode, TRUE, &Later); },
                       [&](PKTHREAD Thread) {
                           emu::AlertThread(Thread, STATUS_USER_APC);
                           System.SystemClock().Advance(10 * OneSecond);
                       }),
              STATUS_SUCCESS);
    /* A non-alertable delay ignores alerts and user APCs. */
    Later = In(10);
    EXPECT_EQ(OnThread([&] { return KeDelayExecutionThread(UserMode, FALSE, &Later); },
                       [&](PKTHREAD Thread) {
                           emu::AlertThread(Thread, STATUS_ALERTED);
                           emu::AlertThread(Thread, STATUS_USER_APC);
                           System.SystemClock().Advance(10 * OneSecond);
                       }),
              STATUS_SUCCESS);
}

TEST_F(KernelWaits, WaitsEndWithTheStatusesWindowsDocuments)
{
    KEVENT Event;
    KeInitializeEvent(&Event, SynchronizationEvent, FALSE);
    LARGE_INTEGER Zero = {};

    /* A signalled object satisfies the wait even with an alert pending;
       the alert then ends the next alertable wait. */
    emu::AlertThread(KeGetCurrentThread(), STATUS_ALERTED);
    KeSetEvent(&Event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, TRUE, NULL), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, TRUE, NULL), STATUS_ALERTED);
    EXPECT_EQ(KeWaitForSingleObject(&Event, Executive, KernelMode, TRUE, &Zero), STATUS_TIMEOUT);

    LARGE_INTEGER Deadline = In(30);
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, Executive, KernelMode, TRUE, &Deadline); },
                       [&](PKTHREAD) { System.SystemClock().Advance(30 * OneSecond); }),
              STATUS_TIMEOUT);
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL); },
                       [&](PKTHREAD) { KeSetEvent(&Event, IO_NO_INCREMENT, FALSE); }),
              STATUS_SUCCESS);
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, UserRequest, UserMode, TRUE, NULL); },
                       [](PKTHREAD Thread) { emu::AlertThread(Thread, STATUS_USER_APC); }),
              STATUS_USER_APC);
    Deadline = In(30);
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, Executive, KernelMode, TRUE, &Deadline); },
                       [&](PKTHREAD Thread) {
                           emu::AlertThread(Thread, STATUS_USER_APC);  // not delivered to a kernel-mode wait
                           System.SystemClock().Advance(30 * OneSecond);
                       }),
              STATUS_TIMEOUT);
}

TEST_F(KernelWaits, TerminationEndsUserModeAndAlertableWaits)
{
    KEVENT Event;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    auto Terminate = [](PKTHREAD Thread) { emu::AlertThread(Thread, STATUS_THREAD_IS_TERMINATING); };
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, UserRequest, UserMode, FALSE, NULL); }, Terminate),
              STATUS_USER_APC);
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, Executive, KernelMode, TRUE, NULL); }, Terminate),
              STATUS_ALERTED);
    /* Termination stays: the thread's later waits end at once. */
    EXPECT_EQ(OnThread(
                  [&] {
                      NTSTATUS First = KeWaitForSingleObject(&Event, UserRequest, UserMode, FALSE, NULL);
                      EXPECT_TRUE(emu::IsThreadTerminating(KeGetCurrentThread()));
                      return First == STATUS_USER_APC ? KeWaitForSingleObject(&Event, UserRequest, UserMode, TRUE, NULL)
                                                      : First;
                  },
                  Terminate),
              STATUS_USER_APC);
    /* Neither a non-alertable kernel-mode wait nor a thread with kernel APCs
       disabled is interrupted. */
    LARGE_INTEGER Deadline = In(5);
    EXPECT_EQ(OnThread([&] { return KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, &Deadline); },
                       [&](PKTHREAD Thread) {
                           Terminate(Thread);
                           System.SystemClock().Advance(5 * OneSecond);
                       }),
              STATUS_TIMEOUT);
    Deadline = In(5);
    EXPECT_EQ(OnThread(
                  [&] {
                      KeEnterCriticalRegion();
                      NTSTATUS Status = KeWaitForSingleObject(&Event, UserRequest, UserMode, FALSE, &Deadline);
                      KeLeaveCriticalRegion();
                      return Status;
                  },
                  [&](PKTHREAD Thread) {
                      Terminate(Thread);
                      System.SystemClock().Advance(5 * OneSecond);
                  }),
              STATUS_TIMEOUT);
    EXPECT_FALSE(emu::IsThreadTerminating(KeGetCurrentThread()));
}

TEST_F(KernelWaits, MultipleObjectsWaitForAnyOrAll)
{
    KEVENT First;
    KEVENT Second;
    KeInitializeEvent(&First, SynchronizationEvent, FALSE);
    KeInitializeEvent(&Second, SynchronizationEvent, TRUE);
    PVOID Objects[] = {&First, &Second};
    LARGE_INTEGER Zero = {};
    EXPECT_EQ(KeWaitForMultipleObjects(2, Objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL),
              STATUS_WAIT_0 + 1);
    EXPECT_EQ(KeReadStateEvent(&Second), 0);  // satisfied: reset
    KeSetEvent(&First, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, Objects, WaitAll, Executive, KernelMode, FALSE, &Zero, NULL), STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&First), 1);  // a wait for all takes none until all are signalled
    EXPECT_EQ(OnThread(
                  [&] { return KeWaitForMultipleObjects(2, Objects, WaitAll, Executive, KernelMode, FALSE, NULL, NULL); },
                  [&](PKTHREAD) { KeSetEvent(&Second, IO_NO_INCREMENT, FALSE); }),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&First) + KeReadStateEvent(&Second), 0);
    EXPECT_EQ(OnThread(
                  [&] { return KeWaitForMultipleObjects(2, Objects, WaitAny, Executive, UserMode, TRUE, NULL, NULL); },
                  [](PKTHREAD Thread) { emu::AlertThread(Thread, STATUS_USER_APC); }),
              STATUS_USER_APC);

    /* More than THREAD_WAIT_OBJECTS objects need a wait block array. */
    KEVENT Many[4];
    PVOID ManyObjects[4];
    KWAIT_BLOCK Blocks[4];
    for (int Index = 0; Index < 4; Index += 1) {
        KeInitializeEvent(&Many[Index], NotificationEvent, Index == 3);
        ManyObjects[Index] = &Many[Index];
    }
    EXPECT_EQ(KeWaitForMultipleObjects(4, ManyObjects, WaitAny, Executive, KernelMode, FALSE, NULL, Blocks),
              STATUS_WAIT_0 + 3);
    try {
        KeWaitForMultipleObjects(4, ManyObjects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
        ADD_FAILURE() << "four objects without wait blocks not stopped";
    } catch (const emu::BugCheck &Stop) {
        EXPECT_EQ(Stop.Code, emu::MAXIMUM_WAIT_OBJECTS_EXCEEDED);
    }
    EXPECT_TRUE(TakeReport("bad object count"));
}

}  // namespace
