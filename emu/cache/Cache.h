/*
 * Cache.h - the emulated cache manager and the memory manager's data
 * sections of files.
 *
 * One StreamCache per stream stands for both the shared cache map and the
 * data section's control area: the stream's pages in memory, shared by the
 * file objects that read and write it cached and by the sections and views
 * that map it.  It hangs on the stream's SECTION_OBJECT_POINTERS
 * (SharedCacheMap, and DataSectionObject while a section exists) and
 * references the file object it was set up with; every paging read that
 * fills a page and every paging write that cleans one goes through that
 * file object as an I/O request from the top of the volume's filter chain
 * (IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO), so filters
 * see paging I/O below the cached I/O that caused it.  The stream, and its
 * stream contexts, live while the StreamCache holds that file object.
 *
 * Locks: the table lock (CacheMap.cpp) guards the section object pointers
 * and the counts; a StreamCache's Lock guards its pages and is held while a
 * missing page is read, so the file system's namespace lock is taken below
 * it and never held by whoever takes it.
 */
#pragma once

#include "../io/Io.h"

namespace emu {

constexpr ULONG CachePageSize = 4096;

/* CcInitializeCacheMap: sets File's private cache map up on its stream's
   shared cache map (created on first use, backed by File), so that
   cached reads and writes of File go through the cache.  FileSize is the
   stream's size as the file system knows it (CC_FILE_SIZES). */
void InitializeCacheMap(EmuFile *File, ULONGLONG FileSize);

/* Whether File's private cache map is set up (the fast I/O path asks,
   without the cache manager's lock). */
bool HasPrivateCacheMap(EmuFile *File);

/* CcUninitializeCacheMap, at File's cleanup: File's private cache map goes;
   once the stream has neither private cache maps nor sections nor views,
   the lazy writer writes its dirty pages, advances the valid data length
   (IRP_MJ_SET_INFORMATION, FileEndOfFileInformation with AdvanceOnly) and
   lets the cache map go with its file-object reference.  Called without
   the file system's locks held. */
void UninitializeCacheMap(EmuFile *File);

/* CcSetFileSizes: the file system changed the stream's size; pages beyond
   a smaller size are purged, dirty or not. */
void SetCacheFileSize(PSECTION_OBJECT_POINTERS Pointers, ULONGLONG FileSize);

/* CcCopyRead: Length bytes at Offset (within the file size) from the
   stream's pages into Buffer.  A page not in memory is read in with a
   paging read when Wait is true; with Wait false the copy is refused
   (false) when a page is missing, as the fast I/O path of an asynchronous
   file object does.  *Status gets
   a failed paging read's status. */
bool CopyRead(EmuFile *File, ULONGLONG Offset, ULONG Length, bool Wait, PVOID Buffer, NTSTATUS *Status);

/* CcCopyWrite: Length bytes from Buffer into the stream's pages at Offset,
   which become dirty.  A page partly written is read in first when it
   holds data below ValidDataLength; with Wait false the write is refused
   when that would be needed. */
bool CopyWrite(EmuFile *File, ULONGLONG Offset, ULONG Length, bool Wait, const void *Buffer,
               ULONGLONG ValidDataLength, NTSTATUS *Status);

/* CcFlushCache: writes the dirty pages of [Offset, Offset + Length) (the
   whole stream when Length is 0) with paging writes.  Returns the first
   failed write's status. */
NTSTATUS FlushCache(PSECTION_OBJECT_POINTERS Pointers, ULONGLONG Offset, ULONGLONG Length);

/* CcPurgeCacheSection: drops the pages of [Offset, Offset + Length) (to the
   end when Length is 0) without writing them. */
void PurgeCache(PSECTION_OBJECT_POINTERS Pointers, ULONGLONG Offset, ULONGLONG Length);

/* Whether a stream has a section (MmCanFileBeTruncated says no while a
   section maps the stream). */
bool StreamIsMapped(PSECTION_OBJECT_POINTERS Pointers);

/* The views a process has mapped go when it ends. */
void UnmapProcessViews(EmuProcess *Process);

/* What CacheMap.cpp and Section.cpp share. */

/* A page of a stream in memory: dirty once written through the cache
   (cached write) or through a view (a modified mapped page). */
struct CachePage {
    std::unique_ptr<UCHAR[]> Bytes;
    bool Dirty = false;
    bool Mapped = false;  // dirtied through a view: the mapped page writer writes it
};

struct StreamCache {
    std::recursive_mutex Lock;  // the pages, the sizes
    PSECTION_OBJECT_POINTERS Pointers;
    EmuFile *Backing;           // referenced: the file object of every paging request
    ULONGLONG FileSize;
    ULONGLONG ValidDataOnDisk;  // as far as the lazy writer advanced it
    std::map<ULONGLONG, CachePage> Pages;  // by page index
    /* Guarded by the cache manager's table lock: what keeps the cache map. */
    ULONG PrivateMaps = 0;      // file objects whose cache is set up and not cleaned up
    ULONG Sections = 0;         // section objects of the stream
    ULONG Views = 0;            // mapped views
    ULONG Busy = 0;             // operations in progress
    uint64_t Uses = 0;          // uses begun, so the lazy writer sees one that came and went while it wrote
};

/* The stream's cache map, created (backed by File) when missing; counted
   Busy until ReleaseStreamCache. */
StreamCache *AcquireStreamCache(EmuFile *File, ULONGLONG FileSize);
/* Ends a use (Busy) and the counts the caller gives up; the last use of a
   cache map no longer kept flushes it and lets it go. */
void ReleaseStreamCache(StreamCache *Cache, ULONG PrivateMaps = 0, ULONG Sections = 0, ULONG Views = 0);
/* Gives up counts without a use in progress (ReleaseStreamCache of a use
   begun here). */
void DropStreamCache(StreamCache *Cache, ULONG PrivateMaps, ULONG Sections, ULONG Views);
/* Adds to the counts of a cache map the caller holds Busy. */
void KeepStreamCache(StreamCache *Cache, ULONG PrivateMaps, ULONG Sections, ULONG Views);
/* The page at Index, read in with a paging read when missing.  Called with
   Cache->Lock held.  Null with *Status set when the read failed. */
CachePage *FaultPage(StreamCache *Cache, ULONGLONG Index, NTSTATUS *Status);
/* Writes the dirty pages of [Begin, End) with paging writes, as the lazy
   writer (LazyWriter: in the system process) or a caller's flush does;
   then advances the valid data length on disk when the pages went beyond
   it. */
NTSTATUS WriteDirtyPages(StreamCache *Cache, ULONGLONG Begin, ULONGLONG End, bool LazyWriter);

}  // namespace emu
