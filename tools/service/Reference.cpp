/*
 * Reference.cpp - the source tree, its mirror as placeholders, the data
 * source that hydrates them, and the progress line.
 */
#include "Reference.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <system_error>

namespace zentaflt::reference {

namespace fs = std::filesystem;
using service::Failure;
using service::Success;
using service::Utf16;
using service::Utf8;

namespace {

/* FILETIME of a file time: 100-ns units since 1601. */
LONGLONG FileTimeOf(fs::file_time_type Time)
{
    auto System = std::chrono::system_clock::now() +
                  std::chrono::duration_cast<std::chrono::system_clock::duration>(
                      Time - fs::file_time_type::clock::now());
    auto Units = std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>>(
                     System.time_since_epoch())
                     .count();
    return Units + 116444736000000000LL;
}

/* A path's text in UTF-8, '/' between names when Generic. */
std::string Text(const fs::path &Path, bool Generic = false)
{
#ifdef _WIN32
    std::wstring Wide = Generic ? Path.generic_wstring() : Path.wstring();
    return Utf8(std::u16string((const char16_t *)Wide.c_str(), Wide.size()));
#else
    return Generic ? Path.generic_string() : Path.string();
#endif
}

HRESULT FromErrorCode(const std::error_code &Error)
{
    if (Error == std::errc::no_such_file_or_directory) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    if (Error == std::errc::permission_denied) {
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    }
    return E_FAIL;
}

}  // namespace

Result ScanSource(const fs::path &Root, std::vector<SourceEntry> *Entries)
{
    std::error_code Error;
    if (!fs::is_directory(Root, Error)) {
        return Failure(Error ? FromErrorCode(Error) : HRESULT_FROM_WIN32(ERROR_DIRECTORY),
                       "read the source " + Text(Root) + " (not a directory)");
    }
    Entries->clear();
    fs::recursive_directory_iterator Walk(Root, fs::directory_options::skip_permission_denied, Error);
    if (Error) {
        return Failure(FromErrorCode(Error), "read the source " + Text(Root));
    }
    for (; Walk != fs::recursive_directory_iterator(); Walk.increment(Error)) {
        if (Error) {
            return Failure(FromErrorCode(Error), "read the source " + Text(Root));
        }
        const fs::directory_entry &Entry = *Walk;
        SourceEntry Item;
        std::string Relative = Text(fs::relative(Entry.path(), Root, Error), true);
        if (Error) {
            return Failure(FromErrorCode(Error), "read the source " + Text(Entry.path()));
        }
        Item.Relative = Relative;
        if (Entry.is_symlink(Error)) {
            Walk.disable_recursion_pending();
            continue;
        }
        if (Entry.is_directory(Error)) {
            Item.Directory = true;
        } else if (Entry.is_regular_file(Error)) {
            Item.Size = Entry.file_size(Error);
        } else {
            continue;
        }
        Item.WriteTime = FileTimeOf(Entry.last_write_time(Error));
        Entries->push_back(Item);
    }
    /* Parents first: a directory's path is a prefix of its content's. */
    std::sort(Entries->begin(), Entries->end(),
              [](const SourceEntry &A, const SourceEntry &B) { return A.Relative < B.Relative; });
    return Success();
}

fs::path SourcePathOf(const fs::path &Root, const std::string &Relative)
{
#ifdef _WIN32
    std::u16string Wide = Utf16(Relative);
    return Root / fs::path(std::wstring((const wchar_t *)Wide.c_str(), Wide.size()));
#else
    return Root / fs::path(Relative);
#endif
}

std::u16string SyncPathOf(const std::u16string &SyncRoot, const std::string &Relative)
{
    std::u16string Path = SyncRoot;
    if (!Path.empty() && Path.back() != u'\\') {
        Path += u'\\';
    }
    for (char16_t Unit : Utf16(Relative)) {
        Path += Unit == u'/' ? u'\\' : Unit;
    }
    return Path;
}

service::DataSource TreeSource(const fs::path &Root)
{
    return [Root](const service::HydrationRequest &Request, ULONGLONG Offset, void *Buffer, ULONG Length) {
        std::string Relative(Request.ReparseData.begin(), Request.ReparseData.end());
        fs::path Path = SourcePathOf(Root, Relative);
        std::error_code Error;
        fs::file_status Status = fs::status(Path, Error);
        if (Error || !fs::exists(Status)) {
            return Failure(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "read the source file " + Text(Path));
        }
        if (!fs::is_regular_file(Status)) {
            return Failure(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED),
                           "read the source file " + Text(Path) + " (not a regular file)");
        }
        std::ifstream File(Path, std::ios::binary);
        if (!File) {
            return Failure(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), "open the source file " + Text(Path));
        }
        File.seekg((std::streamoff)Offset);
        File.read((char *)Buffer, Length);
        if ((ULONG)File.gcount() != Length) {
            return Failure(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF),
                           "read " + std::to_string(Length) + " bytes at " + std::to_string(Offset) + " of " +
                               Text(Path) + " (the source is shorter than the placeholder)");
        }
        return Success();
    };
}

Progress::Progress(const char *TheWhat, ULONGLONG TheTotal, bool TheEnabled)
    : What(TheWhat), Total(TheTotal), Enabled(TheEnabled)
{
}

void Progress::Advance(ULONGLONG Count)
{
    Done += Count;
    if (!Enabled || Total == 0) {
        return;
    }
    if (Done == Total || (Done - Shown) * 50 >= Total) {
        Shown = Done;
        fprintf(stderr, "\r%s: %llu/%llu (%llu%%)", What.c_str(), (unsigned long long)Done,
                (unsigned long long)Total, (unsigned long long)(Done * 100 / Total));
        fflush(stderr);
        Printed = true;
    }
}

void Progress::Finish()
{
    if (Printed) {
        fprintf(stderr, "\n");
        Printed = false;
    }
}

service::PlaceholderDescription DescriptionOf(const SourceEntry &Entry)
{
    service::PlaceholderDescription Placeholder;
    size_t Slash = Entry.Relative.rfind('/');
    Placeholder.Name = Utf16(Slash == std::string::npos ? Entry.Relative : Entry.Relative.substr(Slash + 1));
    Placeholder.FileSize = (LONGLONG)Entry.Size;
    Placeholder.CreationTime.QuadPart = Entry.WriteTime;
    Placeholder.LastAccessTime.QuadPart = Entry.WriteTime;
    Placeholder.LastWriteTime.QuadPart = Entry.WriteTime;
    Placeholder.ChangeTime.QuadPart = Entry.WriteTime;
    Placeholder.ReparseData.assign(Entry.Relative.begin(), Entry.Relative.end());
    return Placeholder;
}

Result Populate(const std::u16string &SyncRoot, const std::vector<SourceEntry> &Entries, PopulateCounts *Counts,
                Progress *Shown)
{
    {
        HANDLE Root = CreateFileW((LPCWSTR)SyncRoot.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (Root == INVALID_HANDLE_VALUE) {
            return service::LastErrorFailure("open the sync root " + Utf8(SyncRoot));
        }
        CloseHandle(Root);
    }
    /* Directories first, in order; then each directory's files at once. */
    std::map<std::string, std::vector<const SourceEntry *>> FilesByDirectory;
    for (const SourceEntry &Entry : Entries) {
        if (Entry.Directory) {
            std::u16string Path = SyncPathOf(SyncRoot, Entry.Relative);
            if (CreateDirectoryW((LPCWSTR)Path.c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS) {
                Counts->Directories += 1;
            } else {
                Counts->Failures.push_back(service::LastErrorFailure("create the directory " + Utf8(Path)).Message);
            }
            if (Shown != nullptr) {
                Shown->Advance();
            }
            continue;
        }
        size_t Slash = Entry.Relative.rfind('/');
        FilesByDirectory[Slash == std::string::npos ? std::string() : Entry.Relative.substr(0, Slash)].push_back(
            &Entry);
    }
    for (const auto &[Directory, Files] : FilesByDirectory) {
        std::vector<service::PlaceholderDescription> Batch;
        for (const SourceEntry *Entry : Files) {
            Batch.push_back(DescriptionOf(*Entry));
        }
        std::u16string DirectoryPath = Directory.empty() ? SyncRoot : SyncPathOf(SyncRoot, Directory);
        std::vector<Result> Results;
        service::MakePlaceholders((LPCWSTR)DirectoryPath.c_str(), Batch, &Results);
        for (size_t Index = 0; Index < Files.size(); Index += 1) {
            if (Results[Index].Ok()) {
                Counts->Placeholders += 1;
                Counts->Bytes += Files[Index]->Size;
            } else {
                Counts->Failures.push_back(Results[Index].Message);
            }
        }
        if (Shown != nullptr) {
            Shown->Advance(Files.size());
        }
    }
    if (Shown != nullptr) {
        Shown->Finish();
    }
    return Success();
}

Result QuerySpace(const std::u16string &Path, SpaceUsed *Space)
{
    HANDLE File = CreateFileW((LPCWSTR)Path.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    if (File == INVALID_HANDLE_VALUE) {
        return service::LastErrorFailure("open " + Utf8(Path));
    }
    FILE_STANDARD_INFO Standard = {};
    FILE_BASIC_INFO Basic = {};
    Result Out = Success();
    if (!GetFileInformationByHandleEx(File, FileStandardInfo, &Standard, sizeof(Standard)) ||
        !GetFileInformationByHandleEx(File, FileBasicInfo, &Basic, sizeof(Basic))) {
        Out = service::LastErrorFailure("query " + Utf8(Path));
    } else {
        Space->Size = Standard.EndOfFile.QuadPart;
        Space->Allocated = Standard.AllocationSize.QuadPart;
        Space->Attributes = Basic.FileAttributes;
    }
    CloseHandle(File);
    return Out;
}

std::string Bytes(ULONGLONG Count)
{
    char Text[32];
    if (Count < 1024) {
        snprintf(Text, sizeof(Text), "%llu B", (unsigned long long)Count);
    } else if (Count < 1024 * 1024) {
        snprintf(Text, sizeof(Text), "%.1f KiB", Count / 1024.0);
    } else if (Count < 1024ull * 1024 * 1024) {
        snprintf(Text, sizeof(Text), "%.1f MiB", Count / (1024.0 * 1024));
    } else {
        snprintf(Text, sizeof(Text), "%.2f GiB", Count / (1024.0 * 1024 * 1024));
    }
    return Text;
}

}  // namespace zentaflt::reference
