/*
 * Probe.cpp - probing of user-mode buffers.
 *
 * User memory, in the emulation, is any host memory that is not kernel
 * memory: an address is refused (STATUS_ACCESS_VIOLATION raised) when the
 * range wraps or ends above MM_USER_PROBE_ADDRESS, touches the first 64 KiB
 * (never mapped on Windows), lies in a pool block (kernel memory), or lies in
 * a range a test reserved as unmapped.  A misaligned address raises
 * STATUS_DATATYPE_MISALIGNMENT.
 */
#include "../runtime/Runtime.h"

#include <sys/mman.h>

using namespace emu;

namespace {

std::mutex UnmappedLock;
std::map<uintptr_t, size_t> Unmapped;

bool TouchesUnmapped(uintptr_t Begin, uintptr_t End)
{
    std::lock_guard<std::mutex> Guard(UnmappedLock);
    auto Next = Unmapped.upper_bound(Begin);
    if (Next != Unmapped.begin()) {
        auto Previous = std::prev(Next);
        if (Previous->first + Previous->second > Begin) {
            return true;
        }
    }
    return Next != Unmapped.end() && Next->first < End;
}

void Probe(const volatile void *Address, SIZE_T Length, ULONG Alignment)
{
    if (Length == 0) {
        return;
    }
    auto Begin = (uintptr_t)Address;
    if (Alignment != 0 && (Begin & (Alignment - 1)) != 0) {
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    }
    uintptr_t End = Begin + Length;
    if (End < Begin || End > MM_USER_PROBE_ADDRESS || Begin < 0x10000 || TouchesUnmapped(Begin, End) ||
        TheVerifier().IsPoolAddress((const void *)Begin, Length)) {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
}

}  // namespace

namespace emu {

void *ReserveUnmappedUserRange(size_t Size)
{
    void *Range = mmap(NULL, Size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    std::lock_guard<std::mutex> Guard(UnmappedLock);
    Unmapped[(uintptr_t)Range] = Size;
    return Range;
}

void ReleaseUnmappedUserRanges()
{
    std::lock_guard<std::mutex> Guard(UnmappedLock);
    for (auto &Range : Unmapped) {
        munmap((void *)Range.first, Range.second);
    }
    Unmapped.clear();
}

}  // namespace emu

extern "C" {

VOID NTAPI ProbeForRead(volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    Probe(Address, Length, Alignment);
}

VOID NTAPI ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment)
{
    Probe(Address, Length, Alignment);
}

}  // extern "C"
