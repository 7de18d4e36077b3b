/*
 * Mdl.cpp - memory descriptor lists, as far as a filter that writes from a
 * caller's buffer needs them.
 *
 * The emulation has one address space, so an MDL describes its buffer by
 * address only: MappedSystemVa is the buffer itself once its pages are
 * locked or it is known to be non-paged pool.  What Windows checks is
 * checked: MmProbeAndLockPages for a user-mode access probes the range as
 * ProbeForRead does and raises STATUS_ACCESS_VIOLATION for memory that is
 * not readable user memory ("MmProbeAndLockPages": the caller wraps it in
 * an exception handler); IoFreeMdl of an MDL whose pages are still locked
 * is reported (Driver Verifier stops for it).  MDLs come from non-paged
 * pool, tag "Mdl ", so one left behind shows as a leak.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

const ULONG MdlTag = 'Mdl ';
const ULONG_PTR PageSize = 4096;

}  // namespace

extern "C" {

/* "IoAllocateMdl": an MDL for Length bytes at VirtualAddress; null when the
   pool is exhausted.  Secondary buffers and IRP chaining are not used by
   filters here and are refused as misuse. */
PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    if (SecondaryBuffer || Irp != NULL) {
        TheVerifier().Report("IoAllocateMdl: secondary buffers and IRP chaining are not emulated");
    }
    NTSTATUS Injected;
    if (TheFaults().ShouldFail("IoAllocateMdl", &Injected)) {
        return NULL;
    }
    auto Mdl = (PMDL)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), MdlTag);
    if (Mdl == NULL) {
        return NULL;
    }
    RtlZeroMemory(Mdl, sizeof(*Mdl));
    Mdl->Size = (CSHORT)sizeof(MDL);
    Mdl->StartVa = (PVOID)((ULONG_PTR)VirtualAddress & ~(ULONG_PTR)(PageSize - 1));
    Mdl->ByteOffset = (ULONG)((ULONG_PTR)VirtualAddress & (PageSize - 1));
    Mdl->ByteCount = Length;
    return Mdl;
}

/* "IoFreeMdl".  Pages still locked are a driver error. */
VOID NTAPI IoFreeMdl(PMDL Mdl)
{
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        TheVerifier().Report("IoFreeMdl: the MDL's pages are still locked");
    }
    ExFreePoolWithTag(Mdl, MdlTag);
}

/* "MmProbeAndLockPages": for UserMode the range must be readable (and, for
   IoWriteAccess or IoModifyAccess, writable) user memory, else
   STATUS_ACCESS_VIOLATION is raised and the MDL stays unlocked. */
VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    PMDL Mdl = MemoryDescriptorList;
    PVOID Address = (PUCHAR)Mdl->StartVa + Mdl->ByteOffset;
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        TheVerifier().Report("MmProbeAndLockPages: the MDL's pages are already locked");
    }
    if (AccessMode == UserMode) {
        if (Operation == IoReadAccess) {
            ProbeForRead(Address, Mdl->ByteCount, 1);
        } else {
            ProbeForWrite(Address, Mdl->ByteCount, 1);
        }
    }
    Mdl->MappedSystemVa = Address;
    Mdl->MdlFlags |= MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
}

/* "MmUnlockPages": only for an MDL that MmProbeAndLockPages locked. */
VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList)
{
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        TheVerifier().Report("MmUnlockPages: the MDL's pages are not locked");
    }
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
    MemoryDescriptorList->MappedSystemVa = NULL;
}

/* "MmBuildMdlForNonPagedPool": the buffer must be non-paged pool. */
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    PVOID Address = (PUCHAR)MemoryDescriptorList->StartVa + MemoryDescriptorList->ByteOffset;
    if (!TheVerifier().IsPoolAddress(Address, MemoryDescriptorList->ByteCount)) {
        TheVerifier().Report("MmBuildMdlForNonPagedPool: the buffer is not pool");
    }
    MemoryDescriptorList->MappedSystemVa = Address;
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

}  // extern "C"
