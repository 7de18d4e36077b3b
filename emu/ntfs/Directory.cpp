/*
 * Directory.cpp - IRP_MJ_DIRECTORY_CONTROL of the emulated NTFS: listing a
 * directory (IRP_MN_QUERY_DIRECTORY) in FileDirectoryInformation records
 * ("FILE_DIRECTORY_INFORMATION", "NtQueryDirectoryFile").
 *
 * A file object lists its directory once through: the first query fixes
 * the pattern (later patterns are ignored unless the scan restarts), each
 * query goes on after the last entry returned, a directory other than the
 * root lists "." and ".." first, the rest come in the order of NTFS's
 * index (upcased names).  The first query that finds nothing matching
 * fails with STATUS_NO_SUCH_FILE, a query past the last entry with
 * STATUS_NO_MORE_FILES.  Records are 8-byte aligned; a query returns as
 * many whole records as fit, or one entry when SL_RETURN_SINGLE_ENTRY is
 * set; a first record whose name does not fit is returned cut, with
 * STATUS_BUFFER_OVERFLOW, and counts as returned.
 */
#include "Ntfs.h"

#include <mutex>

namespace emu {

namespace {

/* The DOS-free wildcard match NTFS applies to upcased names: '*' any run,
   '?' any one character. */
bool Matches(const std::u16string &Pattern, size_t P, const std::u16string &Name, size_t N)
{
    while (P < Pattern.size()) {
        if (Pattern[P] == u'*') {
            for (size_t Skip = N; Skip <= Name.size(); ++Skip) {
                if (Matches(Pattern, P + 1, Name, Skip)) {
                    return true;
                }
            }
            return false;
        }
        if (N == Name.size() || (Pattern[P] != u'?' && Pattern[P] != Name[N])) {
            return false;
        }
        ++P;
        ++N;
    }
    return N == Name.size();
}

/* One entry to list: the name as stored and the file it names. */
struct Entry {
    std::u16string Name;
    const NtfsNode *Node;
};

/* The name Child has in Directory. */
std::u16string NameIn(const NtfsNode *Directory, const NtfsNode *Child, const std::u16string &Upcased)
{
    for (const NtfsLink &Link : Child->Links) {
        if (Link.Parent == Directory && Upcase(Link.Name) == Upcased) {
            return Link.Name;
        }
    }
    return Upcased;
}

/* The next entry of the scan, or false when none is left. */
bool NextEntry(const NtfsNode *Directory, NtfsDirectoryScan *Scan, Entry *Out)
{
    const NtfsLink *Own = FirstLink(Directory);
    while (Own != nullptr && Scan->DotsReturned < 2) {
        const NtfsNode *Node = Scan->DotsReturned == 0 ? Directory : Own->Parent;
        std::u16string Name = Scan->DotsReturned == 0 ? u"." : u"..";
        Scan->DotsReturned += 1;
        if (Scan->Pattern.empty() || Matches(Scan->Pattern, 0, Name, 0)) {
            *Out = {Name, Node};
            return true;
        }
    }
    auto At = Scan->Returned && !Scan->Last.empty() ? Directory->Children.upper_bound(Scan->Last)
                                                    : Directory->Children.begin();
    for (; At != Directory->Children.end(); ++At) {
        Scan->Last = At->first;
        Scan->Returned = true;
        if (Scan->Pattern.empty() || Matches(Scan->Pattern, 0, At->first, 0)) {
            *Out = {NameIn(Directory, At->second, At->first), At->second};
            return true;
        }
    }
    return false;
}

/* Writes Entry at Record, its name cut to what Room allows; the bytes
   used. */
ULONG WriteRecord(const Entry &Entry, PUCHAR Record, ULONG Room)
{
    FILE_DIRECTORY_INFORMATION Fixed = {};
    Fixed.CreationTime.QuadPart = Entry.Node->CreationTime;
    Fixed.LastAccessTime.QuadPart = Entry.Node->LastAccessTime;
    Fixed.LastWriteTime.QuadPart = Entry.Node->LastWriteTime;
    Fixed.ChangeTime.QuadPart = Entry.Node->ChangeTime;
    Fixed.EndOfFile.QuadPart = Entry.Node->Directory ? 0 : (LONGLONG)Entry.Node->Data.size();
    Fixed.AllocationSize.QuadPart = Entry.Node->Directory ? 0 : (LONGLONG)AllocationOf(Entry.Node);
    Fixed.FileAttributes = Entry.Node->Attributes;
    ULONG NameBytes = (ULONG)(Entry.Name.size() * sizeof(WCHAR));
    Fixed.FileNameLength = NameBytes;
    ULONG Header = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    memcpy(Record, &Fixed, Header);
    ULONG Copied = NameBytes < Room - Header ? NameBytes : Room - Header;
    memcpy(Record + Header, Entry.Name.data(), Copied);
    return Header + Copied;
}

}  // namespace

NTSTATUS NtfsDirectoryControl(IoRequest *Request)
{
    if (Request->Iopb.MinorFunction != IRP_MN_QUERY_DIRECTORY) {
        return STATUS_INVALID_DEVICE_REQUEST;  // change notifications are not emulated
    }
    EmuFile *File = Request->File;
    auto &Query = Request->Iopb.Parameters.DirectoryControl.QueryDirectory;
    ULONG Header = FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    if (Query.FileInformationClass != FileDirectoryInformation) {
        return STATUS_INVALID_INFO_CLASS;
    }
    if (Query.Length < Header || Query.DirectoryBuffer == nullptr) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    const NtfsNode *Directory = File->Node;
    if (!Directory->Directory && Directory != &Namespace->Root) {
        return STATUS_INVALID_PARAMETER;
    }
    bool Restart = (Request->Iopb.OperationFlags & SL_RESTART_SCAN) != 0;
    if (File->Scan == nullptr || Restart) {
        std::u16string Pattern;
        if (Query.FileName != nullptr && Query.FileName->Length != 0) {
            Pattern = Upcase(std::u16string((const char16_t *)Query.FileName->Buffer,
                                            Query.FileName->Length / sizeof(WCHAR)));
        } else if (File->Scan != nullptr) {
            Pattern = File->Scan->Pattern;
        }
        delete File->Scan;
        File->Scan = new NtfsDirectoryScan;
        File->Scan->Pattern = Pattern == u"*" ? std::u16string() : Pattern;
    }
    bool FirstQuery = !File->Scan->Returned && File->Scan->DotsReturned == 0;
    bool Single = (Request->Iopb.OperationFlags & SL_RETURN_SINGLE_ENTRY) != 0;
    auto Buffer = (PUCHAR)Query.DirectoryBuffer;
    ULONG Used = 0;
    ULONG Previous = 0;
    ULONG Count = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    for (;;) {
        NtfsDirectoryScan Before = *File->Scan;
        Entry Next;
        if (!NextEntry(Directory, File->Scan, &Next)) {
            break;
        }
        ULONG Start = (Used + 7) & ~7u;
        ULONG Whole = Header + (ULONG)(Next.Name.size() * sizeof(WCHAR));
        if (Count == 0 && Whole > Query.Length) {
            Used = WriteRecord(Next, Buffer, Query.Length);
            Count = 1;
            Status = STATUS_BUFFER_OVERFLOW;
            break;
        }
        if (Count != 0 && (Start > Query.Length || Whole > Query.Length - Start)) {
            *File->Scan = Before;  // comes first in the next query
            break;
        }
        if (Count != 0) {
            ((PFILE_DIRECTORY_INFORMATION)(Buffer + Previous))->NextEntryOffset = Start - Previous;
        }
        Used = Start + WriteRecord(Next, Buffer + Start, Whole);
        Previous = Start;
        Count += 1;
        if (Single) {
            break;
        }
    }
    if (Count == 0) {
        return FirstQuery ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
    }
    Request->Data.IoStatus.Information = Used;
    return Status;
}

}  // namespace emu
