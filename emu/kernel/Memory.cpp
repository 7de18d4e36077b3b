/*
 * Memory.cpp - user address spaces, system-space views, and the memory
 * routines that touch memory as the processor does.
 *
 * Each emulated user range is a host mapping of its own (a memfd, so that
 * a system-space view can map the same pages again at another address)
 * with an owner process and a PAGE_* protection per 4 KiB page (0 when not
 * committed).  Ranges are never handed back to the host while the system
 * runs: a freed range stays reserved and unmapped, so a stale pointer into
 * it faults instead of reaching memory the host reused.
 *
 * An access faults (STATUS_ACCESS_VIOLATION raised from the routine that
 * touches the memory) when it reaches the first 64 KiB, or an emulated user
 * range that is not committed memory of the current process with a
 * protection that allows it - the processor's page fault on a user address,
 * which Windows turns into an exception the caller's __try can handle
 * ("Handling Exceptions" in the kernel-mode driver documentation).
 */
#include "../runtime/Objects.h"

#include <sys/mman.h>
#include <unistd.h>

using namespace emu;

namespace {

constexpr uintptr_t NeverMappedEnd = 0x10000;

struct Range {
    size_t Size;
    EmuProcess *Owner;           // null: reserved for nobody
    int Fd;                      // -1 for reservations without pages
    size_t Backed;               // bytes from the base that Fd backs
    std::vector<ULONG> Protect;  // per page; 0 when not committed
};

struct View {
    size_t Size;
};

std::mutex SpaceLock;
std::map<uintptr_t, Range> Ranges;  // by base
std::map<uintptr_t, View> Views;    // system-space views, by base

size_t HostPageSize()
{
    static const size_t Size = (size_t)sysconf(_SC_PAGESIZE);
    return Size;
}

size_t RoundToHostPages(size_t Size)
{
    size_t Page = HostPageSize();
    return (Size + Page - 1) / Page * Page;
}

bool Readable(ULONG Protect)
{
    if (Protect & PAGE_GUARD) {
        return false;
    }
    return (Protect & (PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                       PAGE_EXECUTE_WRITECOPY)) != 0;
}

bool Writable(ULONG Protect)
{
    if (Protect & PAGE_GUARD) {
        return false;
    }
    return (Protect & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY)) != 0;
}

/* The range holding Address; null when none.  Caller holds SpaceLock. */
std::pair<const uintptr_t, Range> *RangeAt(uintptr_t Address)
{
    auto Next = Ranges.upper_bound(Address);
    if (Next == Ranges.begin()) {
        return nullptr;
    }
    auto Found = std::prev(Next);
    return Address < Found->first + Found->second.Size ? &*Found : nullptr;
}

/* Whether [Begin, End) overlaps any entry of Map.  Caller holds SpaceLock. */
template <typename Map> bool Overlaps(const Map &Entries, uintptr_t Begin, uintptr_t End)
{
    auto Next = Entries.upper_bound(Begin);
    if (Next != Entries.begin()) {
        auto Previous = std::prev(Next);
        if (Previous->first + Previous->second.Size > Begin) {
            return true;
        }
    }
    return Next != Entries.end() && Next->first < End;
}

bool Accessible(uintptr_t Begin, SIZE_T Length, bool Write)
{
    if (Length == 0) {
        return true;
    }
    uintptr_t End = Begin + Length;
    if (End < Begin || Begin < NeverMappedEnd) {
        return false;
    }
    EmuProcess *Process = CurrentProcess();
    std::lock_guard<std::mutex> Guard(SpaceLock);
    if (!Overlaps(Ranges, Begin, End)) {
        return true;
    }
    for (uintptr_t Page = Begin & ~(uintptr_t)(PAGE_SIZE - 1); Page < End; Page += PAGE_SIZE) {
        auto *Found = RangeAt(Page);
        if (Found == nullptr) {
            /* Host memory next to an emulated range. */
            continue;
        }
        const Range &Current = Found->second;
        if (Current.Owner != Process) {
            return false;
        }
        ULONG Protect = Current.Protect[(Page - Found->first) / PAGE_SIZE];
        if (Write ? !Writable(Protect) : !Readable(Protect)) {
            return false;
        }
    }
    return true;
}

}  // namespace

namespace emu {

bool IsValidPageProtection(ULONG Protect)
{
    ULONG Base = Protect & ~(ULONG)PAGE_GUARD;
    return Base != 0 && (Base & (Base - 1)) == 0 && Base <= PAGE_EXECUTE_WRITECOPY;
}

void *AllocateUserMemory(EmuProcess *Process, SIZE_T Size, ULONG Protect)
{
    if (Size == 0 || (Protect != 0 && !IsValidPageProtection(Protect))) {
        return nullptr;
    }
    size_t Mapped = RoundToHostPages(Size);
    int Fd = memfd_create("emu-user-range", MFD_CLOEXEC);
    if (Fd < 0) {
        return nullptr;
    }
    if (ftruncate(Fd, (off_t)Mapped) != 0) {
        close(Fd);
        return nullptr;
    }
    /* A page that is never committed follows the allocation, as the rest of
       Windows' 64 KiB allocation granule does, so running off the end
       faults instead of reaching the host's memory. */
    size_t Reserved = Mapped + HostPageSize();
    void *Base = mmap(NULL, Reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Base == MAP_FAILED) {
        close(Fd);
        return nullptr;
    }
    if ((uintptr_t)Base + Reserved > MM_USER_PROBE_ADDRESS ||
        mmap(Base, Mapped, Protect == 0 ? PROT_NONE : PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, Fd, 0) ==
            MAP_FAILED) {
        munmap(Base, Reserved);
        close(Fd);
        return nullptr;
    }
    std::vector<ULONG> Pages(Reserved / PAGE_SIZE, 0);
    std::fill(Pages.begin(), Pages.begin() + (ptrdiff_t)(Mapped / PAGE_SIZE), Protect);
    std::lock_guard<std::mutex> Guard(SpaceLock);
    Ranges[(uintptr_t)Base] = Range{Reserved, Process, Fd, Mapped, std::move(Pages)};
    return Base;
}

NTSTATUS ProtectUserMemory(EmuProcess *Process, void *Address, SIZE_T Size, ULONG Protect, ULONG *OldProtect)
{
    if (!IsValidPageProtection(Protect)) {
        return STATUS_INVALID_PAGE_PROTECTION;
    }
    std::lock_guard<std::mutex> Guard(SpaceLock);
    auto Begin = (uintptr_t)Address & ~(uintptr_t)(PAGE_SIZE - 1);
    uintptr_t End = ((uintptr_t)Address + Size + PAGE_SIZE - 1) & ~(uintptr_t)(PAGE_SIZE - 1);
    auto *Found = RangeAt(Begin);
    if (Found == nullptr || Found->second.Owner != Process || End > Found->first + Found->second.Size) {
        return STATUS_CONFLICTING_ADDRESSES;
    }
    std::vector<ULONG> &Pages = Found->second.Protect;
    size_t First = (Begin - Found->first) / PAGE_SIZE;
    size_t Last = (End - Found->first) / PAGE_SIZE;
    for (size_t Index = First; Index < Last; Index += 1) {
        if (Pages[Index] == 0) {
            return STATUS_NOT_COMMITTED;
        }
    }
    if (OldProtect != nullptr) {
        *OldProtect = Pages[First];
    }
    for (size_t Index = First; Index < Last; Index += 1) {
        Pages[Index] = Protect;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FreeUserMemory(EmuProcess *Process, void *Base)
{
    std::lock_guard<std::mutex> Guard(SpaceLock);
    auto Found = Ranges.find((uintptr_t)Base);
    if (Found == Ranges.end() || Found->second.Owner != Process) {
        return STATUS_MEMORY_NOT_ALLOCATED;
    }
    /* The pages go (views of them keep them alive); the addresses stay
       reserved for nobody. */
    mmap(Base, Found->second.Size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    close(Found->second.Fd);
    Found->second.Fd = -1;
    Found->second.Backed = 0;
    Found->second.Owner = nullptr;
    std::fill(Found->second.Protect.begin(), Found->second.Protect.end(), 0);
    return STATUS_SUCCESS;
}

void FreeUserAddressSpace(EmuProcess *Process)
{
    std::vector<void *> Bases;
    {
        std::lock_guard<std::mutex> Guard(SpaceLock);
        for (const auto &Entry : Ranges) {
            if (Entry.second.Owner == Process) {
                Bases.push_back((void *)Entry.first);
            }
        }
    }
    for (void *Base : Bases) {
        FreeUserMemory(Process, Base);
    }
}

void *ReserveUnmappedUserRange(size_t Size)
{
    size_t Mapped = RoundToHostPages(Size == 0 ? 1 : Size);
    void *Base = mmap(NULL, Mapped, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (Base == MAP_FAILED) {
        return nullptr;
    }
    std::lock_guard<std::mutex> Guard(SpaceLock);
    Ranges[(uintptr_t)Base] = Range{Mapped, nullptr, -1, 0, std::vector<ULONG>(Mapped / PAGE_SIZE, 0)};
    return Base;
}

void ResetUserAddressSpaces()
{
    std::lock_guard<std::mutex> Guard(SpaceLock);
    for (auto &Entry : Ranges) {
        munmap((void *)Entry.first, Entry.second.Size);
        if (Entry.second.Fd >= 0) {
            close(Entry.second.Fd);
        }
    }
    Ranges.clear();
    for (auto &Entry : Views) {
        munmap((void *)Entry.first, Entry.second.Size);
    }
    Views.clear();
}

bool CanAccessMemory(const volatile void *Address, SIZE_T Length, bool Write)
{
    return Accessible((uintptr_t)Address, Length, Write);
}

void TouchMemory(const volatile void *Address, SIZE_T Length, bool Write)
{
    if (!Accessible((uintptr_t)Address, Length, Write)) {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
}

bool IsUserRange(const volatile void *Address, SIZE_T Length)
{
    auto Begin = (uintptr_t)Address;
    std::lock_guard<std::mutex> Guard(SpaceLock);
    return Overlaps(Ranges, Begin, Begin + (Length == 0 ? 1 : Length));
}

bool IsKernelRange(const volatile void *Address, SIZE_T Length)
{
    auto Begin = (uintptr_t)Address;
    if (TheVerifier().IsPoolAddress((const void *)Begin, Length == 0 ? 1 : Length)) {
        return true;
    }
    std::lock_guard<std::mutex> Guard(SpaceLock);
    return Overlaps(Views, Begin, Begin + (Length == 0 ? 1 : Length));
}

void *MapSystemView(const void *Address, SIZE_T Length, bool Writable)
{
    size_t HostPage = HostPageSize();
    auto Begin = (uintptr_t)Address;
    uintptr_t First = Begin & ~(uintptr_t)(HostPage - 1);
    uintptr_t End = (Begin + (Length == 0 ? 1 : Length) + HostPage - 1) & ~(uintptr_t)(HostPage - 1);
    std::lock_guard<std::mutex> Guard(SpaceLock);
    if (!Overlaps(Ranges, First, End)) {
        return (void *)Address;
    }
    /* Every page must be backed by a range's pages: a view cannot alias the
       host's own memory. */
    for (uintptr_t Page = First; Page < End; Page += HostPage) {
        auto *Found = RangeAt(Page);
        if (Found == nullptr || Found->second.Fd < 0 || Page - Found->first >= Found->second.Backed) {
            return nullptr;
        }
    }
    size_t Size = End - First;
    void *ViewBase = mmap(NULL, Size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (ViewBase == MAP_FAILED) {
        return nullptr;
    }
    int Protection = PROT_READ | (Writable ? PROT_WRITE : 0);
    for (uintptr_t Page = First; Page < End; Page += HostPage) {
        auto *Found = RangeAt(Page);
        void *Target = (PUCHAR)ViewBase + (Page - First);
        if (mmap(Target, HostPage, Protection, MAP_SHARED | MAP_FIXED, Found->second.Fd,
                 (off_t)(Page - Found->first)) == MAP_FAILED) {
            munmap(ViewBase, Size);
            return nullptr;
        }
    }
    Views[(uintptr_t)ViewBase] = View{Size};
    return (PUCHAR)ViewBase + (Begin - First);
}

bool UnmapSystemView(void *SystemAddress)
{
    std::lock_guard<std::mutex> Guard(SpaceLock);
    auto Base = (uintptr_t)SystemAddress & ~(uintptr_t)(HostPageSize() - 1);
    auto Found = Views.find(Base);
    if (Found == Views.end()) {
        return false;
    }
    munmap((void *)Found->first, Found->second.Size);
    Views.erase(Found);
    return true;
}

}  // namespace emu

extern "C" {

VOID NTAPI EmuCopyMemory(PVOID Destination, const VOID *Source, SIZE_T Length)
{
    TouchMemory(Source, Length, false);
    TouchMemory(Destination, Length, true);
    if (Length != 0) {
        memcpy(Destination, Source, Length);
    }
}

VOID NTAPI EmuMoveMemory(PVOID Destination, const VOID *Source, SIZE_T Length)
{
    TouchMemory(Source, Length, false);
    TouchMemory(Destination, Length, true);
    if (Length != 0) {
        memmove(Destination, Source, Length);
    }
}

VOID NTAPI EmuFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill)
{
    TouchMemory(Destination, Length, true);
    if (Length != 0) {
        memset(Destination, Fill, Length);
    }
}

BOOLEAN NTAPI EmuEqualMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length)
{
    TouchMemory(Source1, Length, false);
    TouchMemory(Source2, Length, false);
    return Length == 0 || memcmp(Source1, Source2, Length) == 0;
}

}  // extern "C"
