/*
 * Mdl.cpp - memory descriptor lists: allocation, probing and locking,
 * nonpaged-pool descriptions, system-space mappings.
 *
 * Each routine follows its page in the driver documentation (IoAllocateMdl,
 * MmProbeAndLockPages, MmUnlockPages, MmBuildMdlForNonPagedPool,
 * MmMapLockedPagesSpecifyCache, MmGetSystemAddressForMdlSafe, IoFreeMdl)
 * and the verifier accounts for what a driver holds: every MDL allocated
 * and not freed is a live "MDL", every MDL whose pages are locked is live
 * "locked pages", so either one left at the end of a test fails it.  The
 * misuse Windows stops for raises the bug check the debugger documentation
 * gives for it:
 *   - unlocking pages that are not locked: PROCESS_HAS_LOCKED_PAGES (0x76)
 *     with parameter 1 = 1 for pages of a process, PFN_LIST_CORRUPT (0x4E)
 *     with parameter 1 = 7 ("unlocked more times than locked") for system
 *     pages;
 *   - locking the pages of an MDL that is already locked:
 *     LOCKED_PAGES_TRACKER_CORRUPTION (0xD9), parameter 1 = 1 for a
 *     process's pages, 2 for system pages ("MDL inserted twice");
 *   - freeing an MDL whose pages are still locked: IoFreeMdl's page says
 *     the pages must be unlocked first; on Windows those pages then stay
 *     locked until the process ends with PROCESS_HAS_LOCKED_PAGES (0x76,
 *     parameter 1 = 0).  The emulation stops with that code at the free,
 *     where the defect is.
 */
#include "../runtime/Objects.h"

#include <cinttypes>
#include <cstdio>

using namespace emu;

namespace {

/* MDLs whose pages are locked in a process, for the check when it ends. */
std::mutex LockedLock;
std::map<PMDL, EmuProcess *> LockedInProcess;

const char *const MdlKind = "MDL";
const char *const LockedKind = "locked pages";

/* As of Windows 7 an MDL describes at most 4 GB - PAGE_SIZE (IoAllocateMdl). */
constexpr ULONGLONG MaximumMdlLength = 0x100000000ULL - PAGE_SIZE;

std::string Describe(const char *What, const void *Address, ULONG Length)
{
    char Text[128];
    snprintf(Text, sizeof(Text), "%s %p, %" PRIu32 " byte(s)", What, Address, (uint32_t)Length);
    return Text;
}

void CheckLive(PMDL Mdl, const char *Routine)
{
    if (Mdl == NULL || !TheVerifier().IsLive(MdlKind, Mdl)) {
        RaiseBugCheck(BAD_POOL_CALLER, (ULONG_PTR)Mdl,
                      std::string(Routine) + " on an MDL that IoAllocateMdl did not return or that was freed");
    }
}

void FillFrameNumbers(PMDL Mdl)
{
    PVOID Va = MmGetMdlVirtualAddress(Mdl);
    ULONG Pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Mdl->ByteCount);
    PPFN_NUMBER Frames = MmGetMdlPfnArray(Mdl);
    for (ULONG Index = 0; Index < Pages; Index += 1) {
        /* The emulation has no physical memory; the frame number is the
           page's host address, which is unique while the page lives. */
        Frames[Index] = ((ULONG_PTR)Mdl->StartVa >> PAGE_SHIFT) + Index;
    }
}

void ReleaseSystemMapping(PMDL Mdl)
{
    if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        UnmapSystemView(Mdl->MappedSystemVa);
        Mdl->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
        Mdl->MappedSystemVa = NULL;
    }
}

}  // namespace

namespace emu {

void CheckLockedPagesAtProcessEnd(EmuProcess *Process)
{
    size_t Count = 0;
    {
        std::lock_guard<std::mutex> Guard(LockedLock);
        for (const auto &Entry : LockedInProcess) {
            Count += Entry.second == Process ? 1 : 0;
        }
    }
    if (Count != 0) {
        /* Windows stops here with PROCESS_HAS_LOCKED_PAGES (0x76, parameter
           1 = 0); the emulation reports it, so the test that left them
           fails without tearing the system down mid-termination. */
        TheVerifier().Report("PROCESS_HAS_LOCKED_PAGES: process " + Process->Name + " ended with " +
                             std::to_string(Count) + " MDL(s) of its pages still locked");
    }
}

void ForgetLockedPages()
{
    std::lock_guard<std::mutex> Guard(LockedLock);
    LockedInProcess.clear();
}

}  // namespace emu

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(SecondaryBuffer);
    UNREFERENCED_PARAMETER(ChargeQuota);
    NTSTATUS Injected;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), "IoAllocateMdl above DISPATCH_LEVEL");
    }
    if (Irp != NULL) {
        /* Chaining the MDL to an IRP needs the I/O manager's request. */
        TheVerifier().Report("IoAllocateMdl with an IRP: the emulation attaches MDLs to no IRP");
        return NULL;
    }
    if (TheFaults().ShouldFail("IoAllocateMdl", &Injected) || (ULONGLONG)Length > MaximumMdlLength) {
        return NULL;
    }
    SIZE_T Size = MmSizeOfMdl(VirtualAddress, Length);
    auto Mdl = (PMDL)malloc(Size);
    if (Mdl == NULL) {
        return NULL;
    }
    memset(Mdl, 0, Size);
    MmInitializeMdl(Mdl, VirtualAddress, Length);
    TheVerifier().OnCreate(MdlKind, Mdl, Describe("describing", VirtualAddress, Length));
    return Mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    CheckLive(Mdl, "IoFreeMdl");
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        RaiseBugCheck(PROCESS_HAS_LOCKED_PAGES, 0,
                      Describe("IoFreeMdl of an MDL whose pages are still locked:", MmGetMdlVirtualAddress(Mdl),
                               Mdl->ByteCount));
    }
    ReleaseSystemMapping(Mdl);
    TheVerifier().OnDestroy(MdlKind, Mdl);
    memset(Mdl, 0x5A, sizeof(MDL));
    free(Mdl);
}

VOID NTAPI MmProbeAndLockPages(PMDL Mdl, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    CheckLive(Mdl, "MmProbeAndLockPages");
    PVOID Va = MmGetMdlVirtualAddress(Mdl);
    SIZE_T Length = Mdl->ByteCount;
    bool UserPages = AccessMode == UserMode || IsUserRange(Va, Length);
    if (KeGetCurrentIrql() > (UserPages ? APC_LEVEL : DISPATCH_LEVEL)) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), "MmProbeAndLockPages at too high an IRQL");
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        RaiseBugCheck(LOCKED_PAGES_TRACKER_CORRUPTION, UserPages ? 1 : 2,
                      Describe("MmProbeAndLockPages of an MDL already locked:", Va, Mdl->ByteCount));
    }
    if (Mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl,
                      "MmProbeAndLockPages of an MDL built by MmBuildMdlForNonPagedPool or IoBuildPartialMdl");
    }
    if (Length != 0) {
        auto Begin = (uintptr_t)Va;
        if (AccessMode == UserMode &&
            (Begin + Length < Begin || Begin + Length > MM_USER_PROBE_ADDRESS || IsKernelRange(Va, Length))) {
            ExRaiseStatus(STATUS_ACCESS_VIOLATION);
        }
        /* The pages must allow the operation: IoReadAccess reads,
           IoWriteAccess and IoModifyAccess read and write. */
        TouchMemory(Va, Length, false);
        if (Operation != IoReadAccess) {
            TouchMemory(Va, Length, true);
        }
    }
    FillFrameNumbers(Mdl);
    Mdl->Process = UserPages ? (PEPROCESS)CurrentProcess() : NULL;
    Mdl->MdlFlags |= MDL_PAGES_LOCKED | (Operation != IoReadAccess ? MDL_WRITE_OPERATION : 0);
    if (UserPages) {
        std::lock_guard<std::mutex> Guard(LockedLock);
        LockedInProcess[Mdl] = CurrentProcess();
    }
    TheVerifier().OnCreate(LockedKind, Mdl,
                           Describe(UserPages ? ("locked in process " + CurrentProcess()->Name + ":").c_str()
                                              : "locked in system space:",
                                    Va, Mdl->ByteCount));
}

VOID NTAPI MmUnlockPages(PMDL Mdl)
{
    CheckLive(Mdl, "MmUnlockPages");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), "MmUnlockPages above DISPATCH_LEVEL");
    }
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        std::string Reason = Describe("MmUnlockPages of pages that are not locked:", MmGetMdlVirtualAddress(Mdl),
                                      Mdl->ByteCount);
        if (Mdl->Process != NULL) {
            RaiseBugCheck(PROCESS_HAS_LOCKED_PAGES, 1, Reason);
        }
        RaiseBugCheck(PFN_LIST_CORRUPT, 7, Reason);
    }
    /* The system-space mapping goes with the lock. */
    ReleaseSystemMapping(Mdl);
    Mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
    {
        std::lock_guard<std::mutex> Guard(LockedLock);
        LockedInProcess.erase(Mdl);
    }
    TheVerifier().OnDestroy(LockedKind, Mdl);
}

VOID NTAPI MmBuildMdlForNonPagedPool(PMDL Mdl)
{
    CheckLive(Mdl, "MmBuildMdlForNonPagedPool");
    PVOID Va = MmGetMdlVirtualAddress(Mdl);
    SIZE_T Length = Mdl->ByteCount == 0 ? 1 : Mdl->ByteCount;
    POOL_TYPE Type = TheVerifier().PoolTypeAt(Va);
    bool Paged = Type != MaxPoolType && ((ULONG)Type & 1) != 0;
    if (IsUserRange(Va, Length) || Paged) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl,
                      Describe("MmBuildMdlForNonPagedPool over memory that is not nonpaged:", Va, Mdl->ByteCount));
    }
    if (Mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl,
                      "MmBuildMdlForNonPagedPool of an MDL that is locked or mapped");
    }
    FillFrameNumbers(Mdl);
    Mdl->Process = NULL;
    Mdl->MappedSystemVa = Va;
    Mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL Mdl, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                         PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    CheckLive(Mdl, "MmMapLockedPagesSpecifyCache");
    NTSTATUS Injected;
    const ULONG Flags = MdlMappingNoWrite | MdlMappingNoExecute | MdlMappingWithGuardPtes;
    ULONG Level = Priority & ~Flags;
    if (Level != LowPagePriority && Level != NormalPagePriority && Level != HighPagePriority) {
        TheVerifier().Report("MmMapLockedPagesSpecifyCache with an unknown priority or flag: " +
                             std::to_string(Priority));
        return NULL;
    }
    if (AccessMode != KernelMode || RequestedAddress != NULL) {
        TheVerifier().Report("MmMapLockedPagesSpecifyCache into user space: the emulation maps into system space only");
        return NULL;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, KeGetCurrentIrql(), "MmMapLockedPagesSpecifyCache above DISPATCH_LEVEL");
    }
    if (Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        return Mdl->MappedSystemVa;
    }
    if (!(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl,
                      "MmMapLockedPagesSpecifyCache of an MDL whose pages are not locked");
    }
    if (Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Mdl,
                      "MmMapLockedPagesSpecifyCache of an MDL already mapped to system space");
    }
    if (!(Priority & MdlMappingNoExecute)) {
        /* Driver Verifier's code integrity checking, error 0x2002: an
           executable MDL mapping (expected: MdlMappingNoExecute). */
        TheVerifier().Report("code integrity 0x2002: MmMapLockedPagesSpecifyCache without MdlMappingNoExecute "
                             "makes an executable mapping");
    }
    /* Both names can be armed: drivers reach this routine through
       MmGetSystemAddressForMdlSafe. */
    bool Fail = TheFaults().ShouldFail("MmMapLockedPagesSpecifyCache", &Injected);
    Fail = TheFaults().ShouldFail("MmGetSystemAddressForMdlSafe", &Injected) || Fail;
    PVOID Mapped = Fail ? NULL
                        : MapSystemView(MmGetMdlVirtualAddress(Mdl), Mdl->ByteCount, !(Priority & MdlMappingNoWrite));
    if (Mapped == NULL) {
        if (BugCheckOnFailure) {
            RaiseBugCheck(NO_MORE_SYSTEM_PTES, (ULONG_PTR)Mdl, "no system address space for an MDL mapping");
        }
        return NULL;
    }
    Mdl->MappedSystemVa = Mapped;
    Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    return Mapped;
}

VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL Mdl)
{
    CheckLive(Mdl, "MmUnmapLockedPages");
    if (!(Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) || BaseAddress != Mdl->MappedSystemVa) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)BaseAddress,
                      "MmUnmapLockedPages of an address the MDL is not mapped at");
    }
    ReleaseSystemMapping(Mdl);
}

}  // extern "C"
