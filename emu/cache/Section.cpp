/*
 * Section.cpp - sections of files and their views in a program's address
 * space (NtCreateSection, NtMapViewOfSection, NtUnmapViewOfSection,
 * NtFlushVirtualMemory; CreateFileMapping, MapViewOfFile, UnmapViewOfFile
 * and FlushViewOfFile wrap them).
 *
 * - Creating a section of a file sends IRP_MJ_ACQUIRE_FOR_SECTION_
 *   SYNCHRONIZATION through the volume's chain with SyncType
 *   SyncTypeCreateSection and the section's page protection, then
 *   IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION ("The memory manager
 *   acquires a file exclusively before creating a memory-mapped section",
 *   FS_FILTER_CALLBACKS; "FLT_PARAMETERS for IRP_MJ_ACQUIRE_FOR_SECTION_
 *   SYNCHRONIZATION").  A filter that fails the acquire fails the creation
 *   with its status, and no release follows.
 * - A section maps the stream's pages (Cache.h): its pages are the cache's,
 *   so a view sees what cached I/O wrote.  A view's pages are faulted in
 *   when it is mapped, each missing one by a paging read (where Windows
 *   faults a page at its first touch).  Pages a program modified through a
 *   view are taken into the stream's pages at FlushViewOfFile and at the
 *   unmap, and written by paging writes: at once by FlushViewOfFile, later
 *   by the mapped page writer (when the stream's cache goes).  A view does
 *   not see cached writes made after it was mapped.
 * - The section, and each view, keep the stream's cache (and with it the
 *   stream and its contexts) after the file's last handle is closed; a
 *   view outlives its section handle, and the views of a process go when
 *   it ends.
 * - A section larger than the file extends a writable file (through an
 *   end-of-file request) and fails with STATUS_SECTION_TOO_BIG for a
 *   read-only one; a section of an empty file fails with
 *   STATUS_MAPPED_FILE_SIZE_ZERO (CreateFileMapping: "An attempt to map a
 *   file with a length of 0 (zero) fails with an error code of
 *   ERROR_FILE_INVALID").  View offsets are multiples of the 64 KiB
 *   allocation granularity (MapViewOfFile), else STATUS_MAPPED_ALIGNMENT.
 * Views are placed in the calling process only (NtCurrentProcess()), at an
 * address the system chooses; sections backed by the paging file and named
 * sections are not emulated.
 */
#include "Cache.h"

#include "../ntfs/Ntfs.h"

using namespace emu;

namespace {

constexpr ULONGLONG AllocationGranularity = 64 * 1024;

struct EmuSection {
    StreamCache *Cache;
    ULONGLONG Size;
    ULONG Protection;
};

void DeleteSection(PVOID Object)
{
    auto Section = (EmuSection *)Object;
    if (Section->Cache != nullptr) {
        DropStreamCache(Section->Cache, 0, 1, 0);
    }
}

_OBJECT_TYPE SectionType = {
    "Section",
    {SECTION_QUERY | SECTION_MAP_READ | READ_CONTROL, SECTION_MAP_WRITE | READ_CONTROL,
     SECTION_MAP_EXECUTE | READ_CONTROL, SECTION_ALL_ACCESS},
    nullptr,
    DeleteSection,
};

/* A view of a section in a process, with the bytes it held when its pages
   were last taken into the stream, so modified pages show. */
struct View {
    EmuProcess *Process;
    PUCHAR Base;
    SIZE_T Size;
    ULONGLONG Offset;
    StreamCache *Cache;
    bool Writable;
    std::vector<UCHAR> Snapshot;
};

std::mutex ViewsLock;
std::map<PUCHAR, View> Views;  // by base address, guarded by ViewsLock

bool Writable(ULONG Protection)
{
    return Protection == PAGE_READWRITE || Protection == PAGE_EXECUTE_READWRITE;
}

/* The file access a section's page protection needs. */
bool AccessForProtection(ULONG Protection, ACCESS_MASK *Access)
{
    switch (Protection) {
    case PAGE_READONLY:
    case PAGE_WRITECOPY:
        *Access = FILE_READ_DATA;
        return true;
    case PAGE_EXECUTE_READ:
    case PAGE_EXECUTE_WRITECOPY:
        *Access = FILE_READ_DATA | FILE_EXECUTE;
        return true;
    case PAGE_READWRITE:
        *Access = FILE_READ_DATA | FILE_WRITE_DATA;
        return true;
    case PAGE_EXECUTE_READWRITE:
        *Access = FILE_READ_DATA | FILE_WRITE_DATA | FILE_EXECUTE;
        return true;
    default:
        return false;
    }
}

/* IRP_MJ_ACQUIRE_ or IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION through
   the chain, for the mapping program (its previous mode). */
NTSTATUS SectionSynchronization(EmuFile *File, UCHAR Major, ULONG Protection)
{
    IoRequest *Request = AllocateRequest(File, Major, UserMode, FLTFL_CALLBACK_DATA_FS_FILTER_OPERATION);
    auto &Sync = Request->Iopb.Parameters.AcquireForSectionSynchronization;
    Sync.SyncType = SyncTypeCreateSection;
    Sync.PageProtection = Protection;
    NTSTATUS Status = CallFilterManager(Request);
    FreeRequest(Request);
    return Status;
}

/* Extends a file to Size for a section larger than it, as the memory
   manager does through the file system (an end-of-file set). */
NTSTATUS ExtendForSection(EmuFile *File, ULONGLONG Size)
{
    FILE_END_OF_FILE_INFORMATION EndOfFile = {};
    EndOfFile.EndOfFile.QuadPart = (LONGLONG)Size;
    IoRequest *Request = AllocateRequest(File, IRP_MJ_SET_INFORMATION, KernelMode);
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    Parameters.Length = sizeof(EndOfFile);
    Parameters.FileInformationClass = FileEndOfFileInformation;
    Parameters.InfoBuffer = &EndOfFile;
    NTSTATUS Status = CallFilterManager(Request);
    FreeRequest(Request);
    return Status;
}

ULONGLONG FileSizeOf(EmuFile *File)
{
    FILE_STANDARD_INFORMATION Standard = {};
    ULONG Returned = 0;
    if (!NT_SUCCESS(FsQueryInformation(File, FileStandardInformation, &Standard, sizeof(Standard), &Returned))) {
        return 0;
    }
    return (ULONGLONG)Standard.EndOfFile.QuadPart;
}

/* Takes the pages of [From, To) (view offsets) the program modified into
   the stream's pages, dirty, as the mapped page writer will write them. */
NTSTATUS TakeModifiedPages(View &Mapped, SIZE_T From, SIZE_T To)
{
    if (!Mapped.Writable) {
        return STATUS_SUCCESS;
    }
    std::lock_guard<std::recursive_mutex> Guard(Mapped.Cache->Lock);
    for (SIZE_T At = From / CachePageSize * CachePageSize; At < To; At += CachePageSize) {
        SIZE_T Piece = Mapped.Size - At < CachePageSize ? Mapped.Size - At : CachePageSize;
        if (memcmp(Mapped.Base + At, Mapped.Snapshot.data() + At, Piece) == 0) {
            continue;
        }
        NTSTATUS Status = STATUS_SUCCESS;
        CachePage *Page = FaultPage(Mapped.Cache, (Mapped.Offset + At) / CachePageSize, &Status);
        if (Page == nullptr) {
            return Status;
        }
        memcpy(Page->Bytes.get(), Mapped.Base + At, Piece);
        memcpy(Mapped.Snapshot.data() + At, Mapped.Base + At, Piece);
        Page->Dirty = true;
        Page->Mapped = true;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UnmapView(EmuProcess *Process, PVOID BaseAddress)
{
    View Mapped;
    {
        std::lock_guard<std::mutex> Guard(ViewsLock);
        auto Found = Views.find((PUCHAR)BaseAddress);
        if (Found == Views.end() || Found->second.Process != Process) {
            return STATUS_NOT_MAPPED_VIEW;
        }
        Mapped = std::move(Found->second);
        Views.erase(Found);
    }
    TakeModifiedPages(Mapped, 0, Mapped.Size);
    FreeUserMemory(Process, Mapped.Base);
    DropStreamCache(Mapped.Cache, 0, 0, 1);
    return STATUS_SUCCESS;
}

}  // namespace

namespace emu {

void UnmapProcessViews(EmuProcess *Process)
{
    std::vector<PUCHAR> Bases;
    {
        std::lock_guard<std::mutex> Guard(ViewsLock);
        for (const auto &[Base, Mapped] : Views) {
            if (Mapped.Process == Process) {
                Bases.push_back(Base);
            }
        }
    }
    ProcessScope InProcess(Process);
    for (PUCHAR Base : Bases) {
        UnmapView(Process, Base);
    }
}

}  // namespace emu

extern "C" {

NTSTATUS NTAPI NtCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                               PLARGE_INTEGER MaximumSize, ULONG SectionPageProtection, ULONG AllocationAttributes,
                               HANDLE FileHandle)
{
    *SectionHandle = NULL;
    if (FileHandle == NULL || (ObjectAttributes != NULL && ObjectAttributes->ObjectName != NULL) ||
        (AllocationAttributes & ~(ULONG)SEC_COMMIT) != 0) {
        return STATUS_INVALID_PARAMETER;  // paging-file sections, named sections and SEC_* kinds are not emulated
    }
    ACCESS_MASK Needed = 0;
    if (!AccessForProtection(SectionPageProtection, &Needed)) {
        return STATUS_INVALID_PAGE_PROTECTION;
    }
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    NTSTATUS Status = ReferenceByHandle(CurrentProcess(), FileHandle, *IoFileObjectType, &Object, &Granted);
    if (!NT_SUCCESS(Status)) {
        return Status == STATUS_OBJECT_TYPE_MISMATCH ? Status : STATUS_INVALID_HANDLE;
    }
    auto File = (EmuFile *)Object;
    ULONGLONG FileSize = 0;
    ULONGLONG Size = 0;
    if ((Granted & Needed) != Needed) {
        Status = STATUS_ACCESS_DENIED;
        goto Cleanup;
    }
    if (File->Node == nullptr || File->Node->Directory || File->File.SectionObjectPointer == nullptr) {
        Status = STATUS_INVALID_FILE_FOR_SECTION;
        goto Cleanup;
    }
    Status = SectionSynchronization(File, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, SectionPageProtection);
    if (!NT_SUCCESS(Status)) {
        goto Cleanup;
    }
    FileSize = FileSizeOf(File);
    Size = MaximumSize != NULL && MaximumSize->QuadPart != 0 ? (ULONGLONG)MaximumSize->QuadPart : FileSize;
    if (Size == 0) {
        Status = STATUS_MAPPED_FILE_SIZE_ZERO;
    } else if (Size > FileSize) {
        Status = Writable(SectionPageProtection) ? ExtendForSection(File, Size) : STATUS_SECTION_TOO_BIG;
        FileSize = FileSizeOf(File);
    }
    if (NT_SUCCESS(Status)) {
        auto Section = (EmuSection *)CreateObject(&SectionType, sizeof(EmuSection), "section");
        Section->Size = Size;
        Section->Protection = SectionPageProtection;
        Section->Cache = AcquireStreamCache(File, FileSize);
        KeepStreamCache(Section->Cache, 0, 1, 0);
        ReleaseStreamCache(Section->Cache);
        *SectionHandle = InsertHandle(CurrentProcess(), Section, MapGenericAccess(DesiredAccess, SectionType.Mapping));
        ObfDereferenceObject(Section);
    }
    SectionSynchronization(File, IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, SectionPageProtection);

Cleanup:
    ObfDereferenceObject(File);
    return Status;
}

NTSTATUS NTAPI NtMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle, PVOID *BaseAddress, ULONG_PTR ZeroBits,
                                  SIZE_T CommitSize, PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                                  SECTION_INHERIT InheritDisposition, ULONG AllocationType, ULONG Win32Protect)
{
    UNREFERENCED_PARAMETER(CommitSize);
    UNREFERENCED_PARAMETER(InheritDisposition);
    if (ProcessHandle != NtCurrentProcess() || *BaseAddress != NULL || ZeroBits != 0 || AllocationType != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    ACCESS_MASK Needed = Win32Protect == PAGE_READWRITE   ? SECTION_MAP_READ | SECTION_MAP_WRITE
                         : Win32Protect == PAGE_READONLY ? SECTION_MAP_READ
                                                         : 0;
    if (Needed == 0) {
        return STATUS_INVALID_PAGE_PROTECTION;
    }
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    NTSTATUS Status = ReferenceByHandle(CurrentProcess(), SectionHandle, &SectionType, &Object, &Granted);
    if (!NT_SUCCESS(Status)) {
        return Status == STATUS_OBJECT_TYPE_MISMATCH ? Status : STATUS_INVALID_HANDLE;
    }
    auto Section = (EmuSection *)Object;
    ULONGLONG Offset = SectionOffset != NULL ? (ULONGLONG)SectionOffset->QuadPart : 0;
    SIZE_T Size = *ViewSize != 0 ? *ViewSize : (SIZE_T)(Section->Size > Offset ? Section->Size - Offset : 0);
    PUCHAR Base = nullptr;
    View Mapped;
    if ((Granted & Needed) != Needed || (Win32Protect == PAGE_READWRITE && !Writable(Section->Protection))) {
        Status = STATUS_ACCESS_DENIED;
        goto Cleanup;
    }
    if (Offset % AllocationGranularity != 0) {
        Status = STATUS_MAPPED_ALIGNMENT;
        goto Cleanup;
    }
    if (Size == 0 || Offset >= Section->Size || Size > Section->Size - Offset) {
        Status = STATUS_INVALID_VIEW_SIZE;
        goto Cleanup;
    }
    Base = (PUCHAR)AllocateUserMemory(CurrentProcess(), Size, PAGE_READWRITE);
    if (Base == nullptr) {
        Status = STATUS_NO_MEMORY;
        goto Cleanup;
    }
    {
        /* The view's pages fault in, missing ones by paging reads. */
        std::lock_guard<std::recursive_mutex> Guard(Section->Cache->Lock);
        for (SIZE_T At = 0; At < Size && NT_SUCCESS(Status); At += CachePageSize) {
            CachePage *Page = FaultPage(Section->Cache, (Offset + At) / CachePageSize, &Status);
            if (Page != nullptr) {
                memcpy(Base + At, Page->Bytes.get(), Size - At < CachePageSize ? Size - At : CachePageSize);
            }
        }
    }
    if (!NT_SUCCESS(Status)) {
        FreeUserMemory(CurrentProcess(), Base);
        goto Cleanup;
    }
    if (Win32Protect != PAGE_READWRITE) {
        ULONG Old = 0;
        ProtectUserMemory(CurrentProcess(), Base, Size, Win32Protect, &Old);
    }
    Mapped = View{CurrentProcess(), Base, Size, Offset, Section->Cache, Win32Protect == PAGE_READWRITE,
                  std::vector<UCHAR>(Base, Base + Size)};
    KeepStreamCache(Section->Cache, 0, 0, 1);
    {
        std::lock_guard<std::mutex> Guard(ViewsLock);
        Views.emplace(Base, std::move(Mapped));
    }
    *BaseAddress = Base;
    *ViewSize = Size;

Cleanup:
    ObfDereferenceObject(Section);
    return Status;
}

NTSTATUS NTAPI NtUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress)
{
    if (ProcessHandle != NtCurrentProcess()) {
        return STATUS_INVALID_PARAMETER;
    }
    return UnmapView(CurrentProcess(), BaseAddress);
}

/* NtFlushVirtualMemory: the modified pages of the range (to the view's end
   when *RegionSize is 0) go into the stream and are written now. */
NTSTATUS NTAPI NtFlushVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress, PSIZE_T RegionSize,
                                    PIO_STATUS_BLOCK IoStatus)
{
    if (ProcessHandle != NtCurrentProcess()) {
        return STATUS_INVALID_PARAMETER;
    }
    auto Address = (PUCHAR)*BaseAddress;
    EmuProcess *Process = CurrentProcess();
    NTSTATUS Status = STATUS_NOT_MAPPED_VIEW;
    std::unique_lock<std::mutex> Guard(ViewsLock);
    for (auto &[Base, Mapped] : Views) {
        if (Mapped.Process != Process || Address < Base || Address >= Base + Mapped.Size) {
            continue;
        }
        SIZE_T From = (SIZE_T)(Address - Base);
        SIZE_T To = *RegionSize == 0 || *RegionSize > Mapped.Size - From ? Mapped.Size : From + *RegionSize;
        StreamCache *Cache = Mapped.Cache;
        ULONGLONG Offset = Mapped.Offset;
        PUCHAR ViewBase = Base;
        KeepStreamCache(Cache, 0, 0, 1);  // the view may be unmapped once the lock is let go
        Status = TakeModifiedPages(Mapped, From, To);
        Guard.unlock();
        if (NT_SUCCESS(Status)) {
            Status = WriteDirtyPages(Cache, Offset + From / CachePageSize * CachePageSize, Offset + To, false);
        }
        DropStreamCache(Cache, 0, 0, 1);
        *BaseAddress = ViewBase + From / CachePageSize * CachePageSize;
        *RegionSize = To - From / CachePageSize * CachePageSize;
        break;
    }
    if (IoStatus != NULL) {
        IoStatus->Status = Status;
        IoStatus->Information = 0;
    }
    return Status;
}

}  // extern "C"
