/*
 * CacheMap.cpp - the emulated cache manager: a stream's pages in memory,
 * filled by paging reads and cleaned by paging writes that travel the
 * volume's whole filter chain, as the cache manager's and memory manager's
 * requests do ("File Caching" and "Paging I/O" in the file-system
 * documentation, CcInitializeCacheMap, CcCopyRead, CcCopyWrite,
 * CcFlushCache, CcPurgeCacheSection, CcSetFileSizes,
 * CcUninitializeCacheMap).
 *
 * - A page missing from memory is read in with a synchronous non-cached
 *   paging read of the whole page through the file object the cache map
 *   was set up with; bytes beyond what the file system returns are zeros.
 * - Cached writes make pages dirty.  Dirty pages are written by paging
 *   writes: by the lazy writer, in the system process with the thread's
 *   top-level IRP FSRTL_CACHE_TOP_LEVEL_IRP (FSRTL_MOD_WRITE_TOP_LEVEL_IRP
 *   for pages modified through a mapped view), when the stream's last
 *   private cache map, section and view are gone; and by CcFlushCache
 *   (FlushFileBuffers, FlushViewOfFile) on the caller's thread.  Paging
 *   writes never extend a file, so a page reaching beyond the end of file
 *   is cut there by the file system.
 * - After writing beyond the valid data length it last set, the lazy writer
 *   advances it with IRP_MJ_SET_INFORMATION, FileEndOfFileInformation and
 *   AdvanceOnly TRUE ("FLT_PARAMETERS for IRP_MJ_SET_INFORMATION": "the
 *   cache manager ... advance the current end of file"), which filters see.
 * - After IRP_MJ_CLEANUP the cache manager may still read and write the
 *   file ("IRP_MJ_CLEANUP"): the cache map keeps a reference to its file
 *   object, whose IRP_MJ_CLOSE (and with the stream's last close the
 *   teardown of its stream contexts) comes when the cache map goes.
 * The verifier counts live "shared cache map"s.
 */
#include "Cache.h"

#include <optional>

using namespace emu;

namespace {

/* Guards every stream's SECTION_OBJECT_POINTERS, every file object's
   PrivateCacheMap and the counts that keep a cache map. */
std::mutex CachesLock;

constexpr ULONGLONG WholeStream = ~0ULL;

/* A synchronous paging read or write of one page, from the top of the
   volume's chain. */
NTSTATUS PagingIo(StreamCache *Cache, UCHAR Major, ULONGLONG Offset, PVOID Buffer, ULONG *Transferred)
{
    IoRequest *Request = AllocateRequest(Cache->Backing, Major, KernelMode);
    Request->Iopb.IrpFlags = IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO;
    auto &Parameters = Request->Iopb.Parameters.Read;  // Read and Write share their layout
    Parameters.Length = CachePageSize;
    Parameters.ByteOffset.QuadPart = (LONGLONG)Offset;
    Parameters.ReadBuffer = Buffer;
    NTSTATUS Status = CallFilterManager(Request);
    *Transferred = (ULONG)Request->Data.IoStatus.Information;
    FreeRequest(Request);
    return Status;
}

/* The lazy writer's IRP_MJ_SET_INFORMATION advancing the valid data length
   (CcSetValidData). */
void AdvanceValidData(StreamCache *Cache, ULONGLONG ValidData)
{
    FILE_END_OF_FILE_INFORMATION EndOfFile = {};
    EndOfFile.EndOfFile.QuadPart = (LONGLONG)ValidData;
    IoRequest *Request = AllocateRequest(Cache->Backing, IRP_MJ_SET_INFORMATION, KernelMode);
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    Parameters.Length = sizeof(EndOfFile);
    Parameters.FileInformationClass = FileEndOfFileInformation;
    Parameters.AdvanceOnly = TRUE;
    Parameters.InfoBuffer = &EndOfFile;
    CallFilterManager(Request);
    FreeRequest(Request);
}

/* The cache map of a stream, counted Busy, or null when it has none. */
StreamCache *BusyCacheOf(PSECTION_OBJECT_POINTERS Pointers)
{
    if (Pointers == nullptr) {
        return nullptr;
    }
    std::lock_guard<std::mutex> Guard(CachesLock);
    auto Cache = (StreamCache *)Pointers->SharedCacheMap;
    if (Cache != nullptr) {
        Cache->Busy += 1;
        Cache->Uses += 1;
    }
    return Cache;
}

}  // namespace

namespace emu {

StreamCache *AcquireStreamCache(EmuFile *File, ULONGLONG FileSize)
{
    std::lock_guard<std::mutex> Guard(CachesLock);
    PSECTION_OBJECT_POINTERS Pointers = File->File.SectionObjectPointer;
    auto Cache = (StreamCache *)Pointers->SharedCacheMap;
    if (Cache == nullptr) {
        Cache = new StreamCache;
        Cache->Pointers = Pointers;
        Cache->Backing = File;
        ObfReferenceObject(File);
        Cache->FileSize = FileSize;
        Cache->ValidDataOnDisk = FileSize;
        Pointers->SharedCacheMap = Cache;
        TheVerifier().OnCreate("shared cache map", Cache, "shared cache map of " + Narrow(*File->OpenedName));
    }
    Cache->Busy += 1;
    Cache->Uses += 1;
    return Cache;
}

void KeepStreamCache(StreamCache *Cache, ULONG PrivateMaps, ULONG Sections, ULONG Views)
{
    std::lock_guard<std::mutex> Guard(CachesLock);
    Cache->PrivateMaps += PrivateMaps;
    Cache->Sections += Sections;
    Cache->Views += Views;
    if (Sections != 0) {
        Cache->Pointers->DataSectionObject = Cache;
    }
}

void DropStreamCache(StreamCache *Cache, ULONG PrivateMaps, ULONG Sections, ULONG Views)
{
    {
        std::lock_guard<std::mutex> Guard(CachesLock);
        Cache->Busy += 1;
    }
    ReleaseStreamCache(Cache, PrivateMaps, Sections, Views);
}

void ReleaseStreamCache(StreamCache *Cache, ULONG PrivateMaps, ULONG Sections, ULONG Views)
{
    {
        std::lock_guard<std::mutex> Guard(CachesLock);
        Cache->PrivateMaps -= PrivateMaps;
        Cache->Sections -= Sections;
        Cache->Views -= Views;
        if (Cache->Sections == 0) {
            Cache->Pointers->DataSectionObject = nullptr;
        }
        if (Cache->Busy > 1 || Cache->PrivateMaps != 0 || Cache->Sections != 0 || Cache->Views != 0) {
            Cache->Busy -= 1;
            return;
        }
        /* This use stays Busy while the lazy writer cleans the pages. */
    }
    for (;;) {
        uint64_t Uses;
        {
            std::lock_guard<std::mutex> Guard(CachesLock);
            Uses = Cache->Uses;
        }
        WriteDirtyPages(Cache, 0, WholeStream, true);
        std::lock_guard<std::mutex> Guard(CachesLock);
        if (Cache->Busy > 1 || Cache->PrivateMaps != 0 || Cache->Sections != 0 || Cache->Views != 0) {
            Cache->Busy -= 1;
            return;  // taken up again meanwhile: its last user lets it go
        }
        if (Cache->Uses != Uses) {
            continue;  // used and let go again meanwhile: it may hold new dirty pages
        }
        Cache->Busy -= 1;
        Cache->Pointers->SharedCacheMap = nullptr;
        Cache->Pointers->DataSectionObject = nullptr;
        break;
    }
    EmuFile *Backing = Cache->Backing;
    TheVerifier().OnDestroy("shared cache map", Cache);
    delete Cache;
    ObfDereferenceObject(Backing);
}

CachePage *FaultPage(StreamCache *Cache, ULONGLONG Index, NTSTATUS *Status)
{
    auto Found = Cache->Pages.find(Index);
    if (Found != Cache->Pages.end()) {
        return &Found->second;
    }
    CachePage Page;
    Page.Bytes = std::make_unique<UCHAR[]>(CachePageSize);  // zeroed
    if (Index * CachePageSize < Cache->FileSize) {
        ULONG Read = 0;
        NTSTATUS Result = PagingIo(Cache, IRP_MJ_READ, Index * CachePageSize, Page.Bytes.get(), &Read);
        if (!NT_SUCCESS(Result) && Result != STATUS_END_OF_FILE) {
            *Status = Result;
            return nullptr;
        }
        if (Read < CachePageSize) {
            memset(Page.Bytes.get() + Read, 0, CachePageSize - Read);
        }
    }
    return &Cache->Pages.emplace(Index, std::move(Page)).first->second;
}

NTSTATUS WriteDirtyPages(StreamCache *Cache, ULONGLONG Begin, ULONGLONG End, bool LazyWriter)
{
    struct Write {
        ULONGLONG Index;
        std::unique_ptr<UCHAR[]> Bytes;
        bool Mapped;
    };
    std::vector<Write> Writes;
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        for (auto Page = Cache->Pages.lower_bound(Begin / CachePageSize);
             Page != Cache->Pages.end() && Page->first * CachePageSize < End; ++Page) {
            if (!Page->second.Dirty) {
                continue;
            }
            auto Bytes = std::make_unique<UCHAR[]>(CachePageSize);
            memcpy(Bytes.get(), Page->second.Bytes.get(), CachePageSize);
            Writes.push_back(Write{Page->first, std::move(Bytes), Page->second.Mapped});
            Page->second.Dirty = false;
            Page->second.Mapped = false;
        }
    }
    if (Writes.empty()) {
        return STATUS_SUCCESS;
    }
    std::optional<ProcessScope> InSystem;
    if (LazyWriter) {
        InSystem.emplace(SystemProcess());
    }
    PIRP TopLevel = IoGetTopLevelIrp();
    NTSTATUS Result = STATUS_SUCCESS;
    ULONGLONG Written = 0;  // the end of the data written
    for (Write &Page : Writes) {
        IoSetTopLevelIrp((PIRP)(Page.Mapped ? FSRTL_MOD_WRITE_TOP_LEVEL_IRP : FSRTL_CACHE_TOP_LEVEL_IRP));
        ULONG Count = 0;
        NTSTATUS Status = PagingIo(Cache, IRP_MJ_WRITE, Page.Index * CachePageSize, Page.Bytes.get(), &Count);
        if (!NT_SUCCESS(Status)) {
            /* The page stays dirty for a later flush. */
            std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
            auto Found = Cache->Pages.find(Page.Index);
            if (Found != Cache->Pages.end()) {
                Found->second.Dirty = true;
            }
            Result = Result == STATUS_SUCCESS ? Status : Result;
            continue;
        }
        if (Count != 0 && Page.Index * CachePageSize + Count > Written) {
            Written = Page.Index * CachePageSize + Count;
        }
    }
    ULONGLONG Advance = 0;
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        if (Written > Cache->FileSize) {
            Written = Cache->FileSize;
        }
        if (LazyWriter && Written > Cache->ValidDataOnDisk) {
            Cache->ValidDataOnDisk = Advance = Written;
        }
    }
    if (Advance != 0) {
        IoSetTopLevelIrp((PIRP)FSRTL_CACHE_TOP_LEVEL_IRP);
        AdvanceValidData(Cache, Advance);
    }
    IoSetTopLevelIrp(TopLevel);
    return Result;
}

bool HasPrivateCacheMap(EmuFile *File)
{
    return __atomic_load_n(&File->File.PrivateCacheMap, __ATOMIC_ACQUIRE) != nullptr;
}

void InitializeCacheMap(EmuFile *File, ULONGLONG FileSize)
{
    if (HasPrivateCacheMap(File)) {
        return;
    }
    StreamCache *Cache = AcquireStreamCache(File, FileSize);
    {
        std::lock_guard<std::mutex> Guard(CachesLock);
        if (File->File.PrivateCacheMap == nullptr) {
            __atomic_store_n(&File->File.PrivateCacheMap, (PVOID)Cache, __ATOMIC_RELEASE);
            Cache->PrivateMaps += 1;
        }
    }
    ReleaseStreamCache(Cache);
}

void UninitializeCacheMap(EmuFile *File)
{
    StreamCache *Cache;
    {
        std::lock_guard<std::mutex> Guard(CachesLock);
        Cache = (StreamCache *)File->File.PrivateCacheMap;
        if (Cache == nullptr) {
            return;
        }
        __atomic_store_n(&File->File.PrivateCacheMap, (PVOID)nullptr, __ATOMIC_RELEASE);
        Cache->Busy += 1;
    }
    ReleaseStreamCache(Cache, 1);
}

void SetCacheFileSize(PSECTION_OBJECT_POINTERS Pointers, ULONGLONG FileSize)
{
    StreamCache *Cache = BusyCacheOf(Pointers);
    if (Cache == nullptr) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        if (FileSize < Cache->FileSize) {
            ULONGLONG Kept = (FileSize + CachePageSize - 1) / CachePageSize;
            Cache->Pages.erase(Cache->Pages.lower_bound(Kept), Cache->Pages.end());
            if (FileSize % CachePageSize != 0) {
                auto Last = Cache->Pages.find(FileSize / CachePageSize);
                if (Last != Cache->Pages.end()) {
                    ULONG Within = FileSize % CachePageSize;
                    memset(Last->second.Bytes.get() + Within, 0, CachePageSize - Within);
                }
            }
            if (Cache->ValidDataOnDisk > FileSize) {
                Cache->ValidDataOnDisk = FileSize;
            }
        }
        Cache->FileSize = FileSize;
    }
    ReleaseStreamCache(Cache);
}

bool CopyRead(EmuFile *File, ULONGLONG Offset, ULONG Length, bool Wait, PVOID Buffer, NTSTATUS *Status)
{
    *Status = STATUS_SUCCESS;
    StreamCache *Cache = BusyCacheOf(File->File.SectionObjectPointer);
    if (Cache == nullptr) {
        return false;
    }
    bool Done = true;
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        ULONGLONG End = Offset + Length;
        for (ULONGLONG Index = Offset / CachePageSize; Length != 0 && Index * CachePageSize < End; Index += 1) {
            if (!Wait && Cache->Pages.count(Index) == 0) {
                Done = false;
                break;
            }
        }
        for (ULONGLONG At = Offset; Done && At < End;) {
            CachePage *Page = FaultPage(Cache, At / CachePageSize, Status);
            if (Page == nullptr) {
                break;
            }
            ULONGLONG Within = At % CachePageSize;
            ULONGLONG Piece = CachePageSize - Within < End - At ? CachePageSize - Within : End - At;
            memcpy((PUCHAR)Buffer + (At - Offset), Page->Bytes.get() + Within, Piece);
            At += Piece;
        }
    }
    ReleaseStreamCache(Cache);
    return Done;
}

bool CopyWrite(EmuFile *File, ULONGLONG Offset, ULONG Length, bool Wait, const void *Buffer,
               ULONGLONG ValidDataLength, NTSTATUS *Status)
{
    *Status = STATUS_SUCCESS;
    StreamCache *Cache = BusyCacheOf(File->File.SectionObjectPointer);
    if (Cache == nullptr) {
        return false;
    }
    bool Done = true;
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        ULONGLONG End = Offset + Length;
        /* A page is read in first when the write leaves part of it and it
           holds data (below the valid data length). */
        auto NeedsRead = [&](ULONGLONG Index) {
            ULONGLONG PageBegin = Index * CachePageSize;
            bool Whole = Offset <= PageBegin && End >= PageBegin + CachePageSize;
            return !Whole && PageBegin < ValidDataLength && Cache->Pages.count(Index) == 0;
        };
        for (ULONGLONG Index = Offset / CachePageSize; !Wait && Length != 0 && Index * CachePageSize < End;
             Index += 1) {
            if (NeedsRead(Index)) {
                Done = false;
                break;
            }
        }
        for (ULONGLONG At = Offset; Done && At < End;) {
            ULONGLONG Index = At / CachePageSize;
            CachePage *Page;
            if (NeedsRead(Index) || Cache->Pages.count(Index) != 0) {
                Page = FaultPage(Cache, Index, Status);
                if (Page == nullptr) {
                    break;
                }
            } else {
                CachePage Fresh;
                Fresh.Bytes = std::make_unique<UCHAR[]>(CachePageSize);  // zeroed
                Page = &Cache->Pages.emplace(Index, std::move(Fresh)).first->second;
            }
            ULONGLONG Within = At % CachePageSize;
            ULONGLONG Piece = CachePageSize - Within < End - At ? CachePageSize - Within : End - At;
            memcpy(Page->Bytes.get() + Within, (const UCHAR *)Buffer + (At - Offset), Piece);
            Page->Dirty = true;
            At += Piece;
        }
        if (Done && NT_SUCCESS(*Status) && End > Cache->FileSize) {
            Cache->FileSize = End;
        }
    }
    ReleaseStreamCache(Cache);
    return Done;
}

NTSTATUS FlushCache(PSECTION_OBJECT_POINTERS Pointers, ULONGLONG Offset, ULONGLONG Length)
{
    StreamCache *Cache = BusyCacheOf(Pointers);
    if (Cache == nullptr) {
        return STATUS_SUCCESS;
    }
    NTSTATUS Status = WriteDirtyPages(Cache, Offset, Length == 0 ? WholeStream : Offset + Length, false);
    ReleaseStreamCache(Cache);
    return Status;
}

void PurgeCache(PSECTION_OBJECT_POINTERS Pointers, ULONGLONG Offset, ULONGLONG Length)
{
    StreamCache *Cache = BusyCacheOf(Pointers);
    if (Cache == nullptr) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        ULONGLONG End = Length == 0 ? WholeStream : Offset + Length;
        for (auto Page = Cache->Pages.lower_bound(Offset / CachePageSize);
             Page != Cache->Pages.end() && Page->first * CachePageSize < End;) {
            Page = Cache->Pages.erase(Page);
        }
    }
    ReleaseStreamCache(Cache);
}

bool StreamIsMapped(PSECTION_OBJECT_POINTERS Pointers)
{
    std::lock_guard<std::mutex> Guard(CachesLock);
    auto Cache = Pointers != nullptr ? (StreamCache *)Pointers->SharedCacheMap : nullptr;
    return Cache != nullptr && (Cache->Sections != 0 || Cache->Views != 0);
}

CacheCounts CacheCountsOf(PFILE_OBJECT FileObject)
{
    CacheCounts Counts = {};
    StreamCache *Cache = BusyCacheOf(FileOf(FileObject)->File.SectionObjectPointer);
    if (Cache == nullptr) {
        return Counts;
    }
    Counts.Exists = true;
    {
        std::lock_guard<std::mutex> Guard(CachesLock);
        Counts.PrivateMaps = Cache->PrivateMaps;
        Counts.Sections = Cache->Sections;
        Counts.Views = Cache->Views;
    }
    {
        std::lock_guard<std::recursive_mutex> Guard(Cache->Lock);
        Counts.Pages = Cache->Pages.size();
        for (const auto &Page : Cache->Pages) {
            Counts.Dirty += Page.second.Dirty;
        }
    }
    ReleaseStreamCache(Cache);
    return Counts;
}

}  // namespace emu
