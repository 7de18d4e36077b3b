/*
 * Probe.cpp - probing of user-mode buffers.
 *
 * As the ProbeForRead and ProbeForWrite pages of the driver documentation
 * describe, a probe checks the range only: a non-zero length whose range
 * wraps, ends above MM_USER_PROBE_ADDRESS or lies in kernel memory (pool
 * and system-space views, which are above that limit on Windows) raises
 * STATUS_ACCESS_VIOLATION; a start not on the Alignment boundary raises
 * STATUS_DATATYPE_MISALIGNMENT; a zero length never raises.  A probe does
 * not tell whether the pages are mapped: reading unmapped user memory
 * faults at the access, in the copy routine (see Memory.cpp).
 *
 * ProbeForWrite also checks that the buffer is initially writable (its
 * page says it touches every page): it raises STATUS_ACCESS_VIOLATION for
 * a range of the current process's address space that is not committed
 * writable memory.
 */
#include "../runtime/Runtime.h"

using namespace emu;

namespace {

void ProbeRange(const volatile void *Address, SIZE_T Length, ULONG Alignment)
{
    if (Length == 0) {
        return;
    }
    auto Begin = (uintptr_t)Address;
    if (Alignment != 0 && (Begin & (Alignment - 1)) != 0) {
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    }
    uintptr_t End = Begin + Length;
    if (End < Begin || End > MM_USER_PROBE_ADDRESS || IsKernelRange(Address, Length)) {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
}

}  // namespace

extern "C" {

VOID NTAPI ProbeForRead(volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    ProbeRange(Address, Length, Alignment);
}

VOID NTAPI ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    ProbeRange(Address, Length, Alignment);
    if (Length != 0 && IsUserRange(Address, Length)) {
        TouchMemory(Address, Length, true);
    }
}

}  // extern "C"
