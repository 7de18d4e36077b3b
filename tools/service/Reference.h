/*
 * Reference.h - the reference service's parts, on the SDK: a source
 * directory tree read from the host's file system, its mirror as
 * placeholders in a sync root, the data source that hydrates them, and a
 * progress line.  Platform-neutral: the same code runs in zentaflt-service
 * on Windows, in zentaflt-service on Linux over the emulated system, and in
 * the main job.
 *
 * Each placeholder's reparse data is the file's path relative to the source
 * tree (UTF-8, '/' between names): the service finds a file's data by it,
 * whatever the placeholder is renamed to inside the sync root.
 */
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "SyncService.h"

namespace zentaflt::reference {

using service::Result;

/* A file or directory of the source tree. */
struct SourceEntry {
    std::string Relative;       // UTF-8, '/' between names, no leading '/'
    bool Directory = false;
    ULONGLONG Size = 0;
    LONGLONG WriteTime = 0;     // 100-ns units since 1601 (FILETIME)
};

/* Lists the tree under Root, each directory before what it holds, names in
   byte order.  Symbolic links and other special files are left out. */
Result ScanSource(const std::filesystem::path &Root, std::vector<SourceEntry> *Entries);

/* Where the file of Relative lies under Root. */
std::filesystem::path SourcePathOf(const std::filesystem::path &Root, const std::string &Relative);

/* The data source over a tree: reads the file named by a request's reparse
   data.  A missing file fails with ERROR_FILE_NOT_FOUND, one that is not a
   readable regular file with ERROR_ACCESS_DENIED, one shorter than the
   placeholder with ERROR_HANDLE_EOF; the hydration fails with the matching
   status (SyncService.h, CompletionStatusOf). */
service::DataSource TreeSource(const std::filesystem::path &Root);

/* Windows path of an entry inside the sync root (C:\Sync + \a\b.txt). */
std::u16string SyncPathOf(const std::u16string &SyncRoot, const std::string &Relative);

/* One line that rewrites itself ("\r") as work goes on, on stderr, at
   most every 2% of the total; silent when not Enabled. */
class Progress {
public:
    Progress(const char *What, ULONGLONG Total, bool Enabled);
    void Advance(ULONGLONG Count = 1);
    void Finish();

private:
    std::string What;
    ULONGLONG Total, Done = 0, Shown = 0;
    bool Enabled;
    bool Printed = false;
};

/* What a population made. */
struct PopulateCounts {
    ULONGLONG Directories = 0;
    ULONGLONG Placeholders = 0;
    ULONGLONG Bytes = 0;                // the placeholders' sizes
    std::vector<std::string> Failures;  // one message per entry not made
};

/* Mirrors the scanned tree into the sync root: directories as directories
   (existing ones are kept), files as placeholders with the source's size
   and time, made a directory at a time (MakePlaceholders).  Entries that
   fail are counted in Failures and the rest go on; the result fails only
   when the sync root itself is unusable. */
Result Populate(const std::u16string &SyncRoot, const std::vector<SourceEntry> &Entries, PopulateCounts *Counts,
                Progress *Shown);

/* The placeholder of a source file: its name, size, times (all four the
   source's last write) and its path under the source as reference data. */
service::PlaceholderDescription DescriptionOf(const SourceEntry &Entry);

/* Size and allocation of a file in the sync root, read without hydrating
   it (attributes only). */
struct SpaceUsed {
    LONGLONG Size = 0;
    LONGLONG Allocated = 0;
    ULONG Attributes = 0;
};
Result QuerySpace(const std::u16string &Path, SpaceUsed *Space);

/* "1.5 MiB" */
std::string Bytes(ULONGLONG Count);

}  // namespace zentaflt::reference
