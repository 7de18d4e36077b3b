/*
 * Names.cpp - file-name information records and the top-level IRP.
 *
 * A normalized name is the volume's device name followed by the full path
 * with each existing component spelled as it is stored (long names, stored
 * case); components that do not exist yet keep the case they were opened
 * with.  An opened name keeps the path as the file was opened.  Records are
 * reference counted; each live one is counted by the verifier and its pool
 * carries the filter manager's tag, so a record a driver forgets to release
 * shows as a leak.  Failure injection on "FltGetFileNameInformation" gives a
 * test a name-cache miss on demand.
 */
#include "Io.h"
#include "../ntfs/Ntfs.h"

using namespace emu;

namespace {

constexpr ULONG NameTag = 0x6E664D46;  // 'FMfn'

struct NameRecord {
    FLT_FILE_NAME_INFORMATION Information;
    volatile LONG References;
    ULONG Units;
    WCHAR Buffer[1];
};

NameRecord *RecordOf(PFLT_FILE_NAME_INFORMATION Information)
{
    auto Record = CONTAINING_RECORD(Information, NameRecord, Information);
    if (!TheVerifier().IsLive("file name information", Record)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Information,
                      "use of a file-name information record that was released");
    }
    return Record;
}

/* A volume-relative path as the file system would normalize it now: each
   existing component as stored, the rest as given. */
std::u16string NormalizePath(NtfsVolume *Namespace, const std::u16string &Path)
{
    std::u16string Normalized;
    NtfsNode *Directory = &Namespace->Root;
    std::u16string Component;
    std::u16string Opened = Path + u"\\";
    for (char16_t Character : Opened) {
        if (Character != u'\\') {
            Component += Character;
            continue;
        }
        if (Component.empty()) {
            continue;
        }
        NtfsNode *Next = Directory != nullptr ? Lookup(Directory, Component) : nullptr;
        const NtfsLink *Link = nullptr;
        if (Next != nullptr) {
            for (const NtfsLink &Each : Next->Links) {
                if (Each.Parent == Directory && Upcase(Each.Name) == Upcase(Component)) {
                    Link = &Each;
                }
            }
        }
        Normalized += u"\\" + (Link != nullptr ? Link->Name : Component);
        Directory = Next;
        Component.clear();
    }
    return Normalized.empty() ? u"\\" : Normalized;
}

/* The path of a file object as the file system would normalize it now. */
std::u16string NormalizedPath(EmuFile *File)
{
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (File->Node != nullptr && !File->Node->Unlinked) {
        return PathOf(File);
    }
    /* Not open yet (a pre-create): walk as far as the namespace goes. */
    return NormalizePath(Namespace, *File->OpenedName);
}

UNICODE_STRING Slice(const UNICODE_STRING &Name, size_t Start, size_t End)
{
    UNICODE_STRING Part;
    Part.Buffer = Name.Buffer + Start;
    Part.Length = (USHORT)((End - Start) * sizeof(WCHAR));
    Part.MaximumLength = Part.Length;
    if (Start == End) {
        Part.Buffer = NULL;
    }
    return Part;
}

/* A name record for the volume's device name followed by Path, in Format.
   The record comes back with its Volume component set: NamesParsed has no
   flag for it, and FltParseFileNameInformation parses only the components
   that have one ("FLT_FILE_NAME_INFORMATION structure"). */
NTSTATUS MakeRecord(const std::u16string &DeviceName, const std::u16string &Path, ULONG Format,
                    PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    std::u16string Full = DeviceName + Path;
    if (Full.size() * sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    SIZE_T Size = offsetof(NameRecord, Buffer) + Full.size() * sizeof(WCHAR);
    auto Record = (NameRecord *)ExAllocatePoolWithTag(PagedPool, Size, NameTag);
    if (Record == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    memset(Record, 0, offsetof(NameRecord, Buffer));
    memcpy(Record->Buffer, Full.data(), Full.size() * sizeof(WCHAR));
    Record->References = 1;
    Record->Units = (ULONG)Full.size();
    Record->Information.Size = sizeof(FLT_FILE_NAME_INFORMATION);
    Record->Information.Format = Format;
    Record->Information.Name.Buffer = Record->Buffer;
    Record->Information.Name.Length = (USHORT)(Full.size() * sizeof(WCHAR));
    Record->Information.Name.MaximumLength = Record->Information.Name.Length;
    Record->Information.Volume = Slice(Record->Information.Name, 0, DeviceName.size());
    TheVerifier().OnCreate("file name information", Record, Narrow(Full));
    *FileNameInformation = &Record->Information;
    return STATUS_SUCCESS;
}

NTSTATUS BuildRecord(PFILE_OBJECT FileObject, FLT_FILE_NAME_OPTIONS Options,
                     PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    EmuFile *File = FileOf(FileObject);
    ULONG Format = Options & 0xFF;
    if (Format != FLT_FILE_NAME_NORMALIZED && Format != FLT_FILE_NAME_OPENED) {
        return Format == FLT_FILE_NAME_SHORT ? STATUS_NOT_SUPPORTED : STATUS_INVALID_PARAMETER;
    }
    std::u16string Path = Format == FLT_FILE_NAME_NORMALIZED ? NormalizedPath(File) : *File->OpenedName;
    return MakeRecord(File->Volume->DeviceName, Path, Format, FileNameInformation);
}


}  // namespace

extern "C" {

/* FltGetFileNameInformation refuses to query the file system where that
   could deadlock or recurse: with a top-level IRP on the thread, for paging
   I/O, and for a close.  There the query methods that may use the name
   cache find nothing (no name cache is emulated): STATUS_FLT_NAME_CACHE_MISS;
   a file-system-only query fails with STATUS_FLT_INVALID_NAME_REQUEST.  It
   is called at IRQL <= APC_LEVEL. */
NTSTATUS FLTAPI FltGetFileNameInformation(PFLT_CALLBACK_DATA CallbackData, FLT_FILE_NAME_OPTIONS NameOptions,
                                          PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    if (CurrentThread().Irql > APC_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, CurrentThread().Irql, "FltGetFileNameInformation above APC_LEVEL");
    }
    EMU_INJECT_STATUS("FltGetFileNameInformation");
    if (CallbackData == NULL || CallbackData->Iopb->TargetFileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    bool Unsafe = IoGetTopLevelIrp() != NULL || (CallbackData->Iopb->IrpFlags & IRP_PAGING_IO) ||
                  CallbackData->Iopb->MajorFunction == IRP_MJ_CLOSE;
    if (Unsafe) {
        return (NameOptions & 0xFF00) == FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY ? STATUS_FLT_INVALID_NAME_REQUEST
                                                                             : STATUS_FLT_NAME_CACHE_MISS;
    }
    return BuildRecord(CallbackData->Iopb->TargetFileObject, NameOptions, FileNameInformation);
}

NTSTATUS FLTAPI FltGetFileNameInformationUnsafe(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance,
                                                FLT_FILE_NAME_OPTIONS NameOptions,
                                                PFLT_FILE_NAME_INFORMATION *FileNameInformation)
{
    UNREFERENCED_PARAMETER(Instance);
    EMU_INJECT_STATUS("FltGetFileNameInformationUnsafe");
    if (FileObject == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    return BuildRecord(FileObject, NameOptions, FileNameInformation);
}

NTSTATUS FLTAPI FltParseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    EMU_INJECT_STATUS("FltParseFileNameInformation");
    NameRecord *Record = RecordOf(FileNameInformation);
    const UNICODE_STRING &Name = FileNameInformation->Name;
    size_t Units = Name.Length / sizeof(WCHAR);
    /* \Device\<name> is the volume; the rest is the path on it. */
    size_t VolumeEnd = 0;
    int Separators = 0;
    for (size_t Index = 0; Index < Units; Index += 1) {
        if (Name.Buffer[Index] == L'\\' && ++Separators == 3) {
            VolumeEnd = Index;
            break;
        }
    }
    if (Separators < 3) {
        VolumeEnd = Units;
    }
    size_t LastSeparator = VolumeEnd;
    for (size_t Index = VolumeEnd; Index < Units; Index += 1) {
        if (Name.Buffer[Index] == L'\\') {
            LastSeparator = Index;
        }
    }
    size_t FinalStart = LastSeparator < Units ? LastSeparator + 1 : Units;
    size_t StreamStart = Units;
    for (size_t Index = FinalStart; Index < Units; Index += 1) {
        if (Name.Buffer[Index] == L':') {
            StreamStart = Index;
            break;
        }
    }
    size_t ExtensionStart = StreamStart;
    for (size_t Index = FinalStart; Index < StreamStart; Index += 1) {
        if (Name.Buffer[Index] == L'.') {
            ExtensionStart = Index + 1;
        }
    }
    FileNameInformation->Volume = Slice(Name, 0, VolumeEnd);
    FileNameInformation->Share = Slice(Name, 0, 0);
    FileNameInformation->ParentDir = Slice(Name, VolumeEnd, FinalStart);
    FileNameInformation->FinalComponent = Slice(Name, FinalStart, Units);
    FileNameInformation->Extension = Slice(Name, ExtensionStart, StreamStart);
    FileNameInformation->Stream = Slice(Name, StreamStart, Units);
    FileNameInformation->NamesParsed = FLTFL_FILE_NAME_PARSED_FINAL_COMPONENT | FLTFL_FILE_NAME_PARSED_EXTENSION |
                                       FLTFL_FILE_NAME_PARSED_STREAM | FLTFL_FILE_NAME_PARSED_PARENT_DIR;
    UNREFERENCED_PARAMETER(Record);
    return STATUS_SUCCESS;
}

VOID FLTAPI FltReferenceFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    InterlockedIncrement(&RecordOf(FileNameInformation)->References);
}

VOID FLTAPI FltReleaseFileNameInformation(PFLT_FILE_NAME_INFORMATION FileNameInformation)
{
    NameRecord *Record = RecordOf(FileNameInformation);
    LONG Remaining = InterlockedDecrement(&Record->References);
    if (Remaining < 0) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)FileNameInformation,
                      "file-name information released too often");
    }
    if (Remaining == 0) {
        TheVerifier().OnDestroy("file name information", Record);
        ExFreePoolWithTag(Record, NameTag);
    }
}

/* FltGetDestinationFileNameInformation: the name a rename or hard link
   would give FileObject ("FltGetDestinationFileNameInformation"): the
   root directory's path and FileName, a full name as it stands, or a
   simple name in the file's own directory.  A top-level IRP (a recursive
   file-system call) or short names give STATUS_FLT_INVALID_NAME_REQUEST,
   formats other than normalized and opened STATUS_INVALID_PARAMETER, a
   name on another volume STATUS_MOUNT_POINT_NOT_RESOLVED.  The record has
   its Volume component set, as every name record has. */
NTSTATUS FLTAPI FltGetDestinationFileNameInformation(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject,
                                                     HANDLE RootDirectory, PWSTR FileName, ULONG FileNameLength,
                                                     FLT_FILE_NAME_OPTIONS NameOptions,
                                                     PFLT_FILE_NAME_INFORMATION *RetFileNameInformation)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltGetDestinationFileNameInformation");
    ULONG Format = NameOptions & 0xFF;
    if (Format == FLT_FILE_NAME_SHORT || IoGetTopLevelIrp() != NULL) {
        return STATUS_FLT_INVALID_NAME_REQUEST;
    }
    if ((Format != FLT_FILE_NAME_NORMALIZED && Format != FLT_FILE_NAME_OPENED) || Instance == NULL ||
        FileObject == NULL || RetFileNameInformation == NULL || FileName == NULL || FileNameLength == 0 ||
        FileNameLength % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    EmuFile *File = FileOf(FileObject);
    std::u16string Name((const char16_t *)FileName, FileNameLength / sizeof(WCHAR));
    _FLT_VOLUME *Volume = File->Volume;
    std::u16string Path;
    if (RootDirectory == NULL && Name.find(u'\\') == std::u16string::npos) {
        std::u16string Source = NormalizedPath(File);
        size_t Separator = Source.rfind(u'\\');
        Path = Source.substr(0, Separator) + u"\\" + Name;
    } else {
        UNICODE_STRING ObjectName = {(USHORT)FileNameLength, (USHORT)FileNameLength, FileName};
        OBJECT_ATTRIBUTES Attributes;
        InitializeObjectAttributes(&Attributes, &ObjectName, OBJ_CASE_INSENSITIVE, RootDirectory, NULL);
        NTSTATUS Status = ResolveObjectName(&Attributes, &Volume, &Path);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        if (Volume != File->Volume) {
            return STATUS_MOUNT_POINT_NOT_RESOLVED;  // the name leads to another volume
        }
    }
    if (Format == FLT_FILE_NAME_NORMALIZED && Volume->Namespace != nullptr) {
        NtfsVolume *Namespace = NamespaceOf(Volume);
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        Path = NormalizePath(Namespace, Path);
    }
    return MakeRecord(Volume->DeviceName, Path, Format, RetFileNameInformation);
}

/* FltIsDirectory: whether the file object is open on a directory
   ("FltIsDirectory"). */
NTSTATUS FLTAPI FltIsDirectory(PFILE_OBJECT FileObject, PFLT_INSTANCE Instance, PBOOLEAN IsDirectory)
{
    EmuFile *File = FileOf(FileObject);
    if (Instance == NULL || IsDirectory == NULL || File->Node == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    *IsDirectory = File->Node->Directory ? TRUE : FALSE;
    return STATUS_SUCCESS;
}

PIRP NTAPI IoGetTopLevelIrp(VOID)
{
    return CurrentThread().TopLevelIrp;
}

VOID NTAPI IoSetTopLevelIrp(PIRP Irp)
{
    CurrentThread().TopLevelIrp = Irp;
}

}  // extern "C"
