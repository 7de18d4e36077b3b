/*
 * NtApi.cpp - the system services programs call on file handles
 * (NtCreateFile, NtReadFile, ...), as the I/O manager carries them out: the
 * handle's granted access is checked, the request is built with its
 * parameters and buffers, sent through the volume's filter chain, and the
 * calling thread waits for it (synchronous file objects).  Reads, writes
 * and device controls are first tried on the fast I/O path; when a filter
 * or the file system refuses it, the operation comes again as an IRP
 * ("Fast I/O" in the file-system documentation).  Position information of
 * a synchronous file object is the I/O manager's own and reaches no file
 * system.  The Win32 calls of emu/user are thin wrappers over these.
 */
#include "Io.h"

#include "../ntfs/Ntfs.h"

using namespace emu;

namespace {

/* The file object behind a handle of the calling process, referenced, when
   the handle grants any of Required (none: any handle).  A kernel handle is
   valid only for a kernel-mode caller. */
NTSTATUS ReferenceFile(HANDLE Handle, ACCESS_MASK Required, EmuFile **File, ACCESS_MASK *GrantedAccess = nullptr,
                       KPROCESSOR_MODE Mode = UserMode)
{
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    *File = nullptr;
    if (Mode == UserMode && IsKernelHandle(Handle)) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS Status = ReferenceByHandle(CurrentProcess(), Handle, *IoFileObjectType, &Object, &Granted);
    if (Status == STATUS_OBJECT_TYPE_MISMATCH) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (!NT_SUCCESS(Status)) {
        return STATUS_INVALID_HANDLE;
    }
    if (Required != 0 && !(Granted & Required)) {
        ObfDereferenceObject(Object);
        return STATUS_ACCESS_DENIED;
    }
    *File = (EmuFile *)Object;
    if (GrantedAccess != nullptr) {
        *GrantedAccess = Granted;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Finish(EmuFile *File, PIO_STATUS_BLOCK IoStatusBlock, NTSTATUS Status, ULONG_PTR Information)
{
    if (File != nullptr) {
        ObfDereferenceObject(File);
    }
    if (IoStatusBlock != NULL && Status != STATUS_PENDING) {
        IoStatusBlock->Status = Status;
        IoStatusBlock->Information = Information;
    }
    return Status;
}

/* Sends a request, waits, and frees it. */
NTSTATUS Send(IoRequest *Request, ULONG_PTR *Information)
{
    NTSTATUS Status = CallFilterManager(Request);
    *Information = Request->Data.IoStatus.Information;
    FreeRequest(Request);
    return Status;
}

/* The access a control code asks for (bits 14-15) as file access rights. */
ACCESS_MASK ControlAccess(ULONG Code)
{
    ULONG Access = (Code >> 14) & 3;
    return ((Access & FILE_READ_ACCESS) ? FILE_READ_DATA : 0) | ((Access & FILE_WRITE_ACCESS) ? FILE_WRITE_DATA : 0);
}

/* Reads and writes: a fast I/O attempt on a synchronous file object, then
   the IRP. */
NTSTATUS Transfer(UCHAR Major, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                  PLARGE_INTEGER ByteOffset)
{
    EmuFile *File;
    ACCESS_MASK Required = Major == IRP_MJ_READ ? FILE_READ_DATA : (FILE_WRITE_DATA | FILE_APPEND_DATA);
    NTSTATUS Status = ReferenceFile(FileHandle, Required, &File);
    if (!NT_SUCCESS(Status)) {
        return Finish(nullptr, IoStatusBlock, Status, 0);
    }
    bool Synchronous = (File->File.Flags & FO_SYNCHRONOUS_IO) != 0;
    LARGE_INTEGER Offset;
    if (ByteOffset == NULL || (ByteOffset->HighPart == -1 && ByteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION)) {
        if (!Synchronous) {
            return Finish(File, IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
        }
        Offset = File->File.CurrentByteOffset;
    } else {
        Offset = *ByteOffset;
    }
    auto Build = [&](ULONG Flags) {
        IoRequest *Request = AllocateRequest(File, Major, UserMode, Flags);
        auto &Parameters = Request->Iopb.Parameters.Read;  // Read and Write share their layout
        Parameters.Length = Length;
        Parameters.ByteOffset = Offset;
        Parameters.ReadBuffer = Buffer;
        return Request;
    };
    ULONG_PTR Information = 0;
    if (Synchronous) {
        Status = Send(Build(FLTFL_CALLBACK_DATA_FAST_IO_OPERATION), &Information);
        if (Status != STATUS_FLT_DISALLOW_FAST_IO) {
            return Finish(File, IoStatusBlock, Status, Information);
        }
    }
    IoRequest *Request = Build(FLTFL_CALLBACK_DATA_IRP_OPERATION);
    Request->Iopb.IrpFlags = IRP_SYNCHRONOUS_API |
                             ((File->File.Flags & FO_NO_INTERMEDIATE_BUFFERING) ? IRP_NOCACHE : 0);
    Status = Send(Request, &Information);
    return Finish(File, IoStatusBlock, Status, Information);
}

/* NtDeviceIoControlFile and NtFsControlFile. */
NTSTATUS ControlFile(UCHAR Major, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, ULONG Code, PVOID Input,
                     ULONG InputLength, PVOID Output, ULONG OutputLength)
{
    EmuFile *File;
    ACCESS_MASK Granted = 0;
    NTSTATUS Status = ReferenceFile(FileHandle, 0, &File, &Granted);
    if (!NT_SUCCESS(Status)) {
        return Finish(nullptr, IoStatusBlock, Status, 0);
    }
    ACCESS_MASK Required = ControlAccess(Code);
    if ((Granted & Required) != Required) {
        return Finish(File, IoStatusBlock, STATUS_ACCESS_DENIED, 0);
    }
    ULONG_PTR Information = 0;
    if (Major == IRP_MJ_DEVICE_CONTROL) {
        IoRequest *Fast = AllocateRequest(File, Major, UserMode, FLTFL_CALLBACK_DATA_FAST_IO_OPERATION);
        auto &FastIo = Fast->Iopb.Parameters.DeviceIoControl.FastIo;
        FastIo.OutputBufferLength = OutputLength;
        FastIo.InputBufferLength = InputLength;
        FastIo.IoControlCode = Code;
        FastIo.InputBuffer = Input;
        FastIo.OutputBuffer = Output;
        Status = Send(Fast, &Information);
        if (Status != STATUS_FLT_DISALLOW_FAST_IO) {
            return Finish(File, IoStatusBlock, Status, Information);
        }
    }
    IoRequest *Request = AllocateRequest(File, Major, UserMode);
    if (Major == IRP_MJ_FILE_SYSTEM_CONTROL) {
        Request->Iopb.MinorFunction = IRP_MN_USER_FS_REQUEST;
    }
    if (!SetControlParameters(Request, Code, Input, InputLength, Output, OutputLength)) {
        FreeRequest(Request);
        return Finish(File, IoStatusBlock, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    Status = Send(Request, &Information);
    return Finish(File, IoStatusBlock, Status, Information);
}

/* The access NtQueryInformationFile and NtSetInformationFile require for
   a class, and its least length (the I/O manager's own tables). */
struct ClassRule {
    FILE_INFORMATION_CLASS Class;
    ACCESS_MASK QueryAccess;
    ACCESS_MASK SetAccess;
    ULONG Length;
};

const ClassRule ClassRules[] = {
    {FileBasicInformation, FILE_READ_ATTRIBUTES, FILE_WRITE_ATTRIBUTES, sizeof(FILE_BASIC_INFORMATION)},
    {FileStandardInformation, 0, 0, sizeof(FILE_STANDARD_INFORMATION)},
    {FilePositionInformation, 0, 0, sizeof(FILE_POSITION_INFORMATION)},
    {FileEndOfFileInformation, 0, FILE_WRITE_DATA, sizeof(FILE_END_OF_FILE_INFORMATION)},
    {FileValidDataLengthInformation, 0, FILE_WRITE_DATA, sizeof(FILE_VALID_DATA_LENGTH_INFORMATION)},
    {FileNetworkOpenInformation, FILE_READ_ATTRIBUTES, 0, sizeof(FILE_NETWORK_OPEN_INFORMATION)},
    {FileAttributeTagInformation, FILE_READ_ATTRIBUTES, 0, sizeof(FILE_ATTRIBUTE_TAG_INFORMATION)},
    /* Renames and dispositions need DELETE, links nothing ("FILE_RENAME_INFORMATION",
       "FILE_DISPOSITION_INFORMATION", "FILE_LINK_INFORMATION"), allocation
       write access ("FILE_ALLOCATION_INFORMATION"). */
    {FileRenameInformation, 0, DELETE, sizeof(FILE_RENAME_INFORMATION)},
    {FileRenameInformationEx, 0, DELETE, sizeof(FILE_RENAME_INFORMATION)},
    {FileLinkInformation, 0, 0, sizeof(FILE_LINK_INFORMATION)},
    {FileLinkInformationEx, 0, 0, sizeof(FILE_LINK_INFORMATION)},
    {FileDispositionInformation, 0, DELETE, sizeof(FILE_DISPOSITION_INFORMATION)},
    {FileDispositionInformationEx, 0, DELETE, sizeof(FILE_DISPOSITION_INFORMATION_EX)},
    {FileAllocationInformation, 0, FILE_WRITE_DATA, sizeof(FILE_ALLOCATION_INFORMATION)},
};

const ClassRule *RuleFor(FILE_INFORMATION_CLASS Class)
{
    for (const ClassRule &Rule : ClassRules) {
        if (Rule.Class == Class) {
            return &Rule;
        }
    }
    return nullptr;
}

/* NtQueryInformationFile and NtSetInformationFile: the class's access and
   least length, position information kept here, the rest through a system
   buffer; a rename's or link's target directory is opened before the
   request goes down (Targets.cpp). */
NTSTATUS Information(UCHAR Major, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     FILE_INFORMATION_CLASS Class)
{
    bool Query = Major == IRP_MJ_QUERY_INFORMATION;
    const ClassRule *Rule = RuleFor(Class);
    if (Rule == nullptr) {
        return Finish(nullptr, IoStatusBlock, STATUS_INVALID_INFO_CLASS, 0);
    }
    if (Length < Rule->Length) {
        return Finish(nullptr, IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    EmuFile *File;
    NTSTATUS Status = ReferenceFile(FileHandle, Query ? Rule->QueryAccess : Rule->SetAccess, &File);
    if (!NT_SUCCESS(Status)) {
        return Finish(nullptr, IoStatusBlock, Status, 0);
    }
    if (Class == FilePositionInformation && (File->File.Flags & FO_SYNCHRONOUS_IO)) {
        FILE_POSITION_INFORMATION Position = {File->File.CurrentByteOffset};
        if (Query) {
            memcpy(Buffer, &Position, sizeof(Position));
            return Finish(File, IoStatusBlock, STATUS_SUCCESS, sizeof(Position));
        }
        memcpy(&Position, Buffer, sizeof(Position));
        if (Position.CurrentByteOffset.QuadPart < 0) {
            return Finish(File, IoStatusBlock, STATUS_INVALID_PARAMETER, 0);
        }
        File->File.CurrentByteOffset = Position.CurrentByteOffset;
        return Finish(File, IoStatusBlock, STATUS_SUCCESS, 0);
    }
    IoRequest *Request = AllocateRequest(File, Major, UserMode);
    bool Buffered = Query ? UseSystemBuffer(Request, Length, nullptr, 0, Buffer, Length)
                          : UseSystemBuffer(Request, Length, Buffer, Length, nullptr, 0);
    if (!Buffered) {
        FreeRequest(Request);
        return Finish(File, IoStatusBlock, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    if (Query) {
        auto &Parameters = Request->Iopb.Parameters.QueryFileInformation;
        Parameters.Length = Length;
        Parameters.FileInformationClass = Class;
        Parameters.InfoBuffer = Request->SystemBuffer;
    } else {
        auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
        Parameters.Length = Length;
        Parameters.FileInformationClass = Class;
        Parameters.InfoBuffer = Request->SystemBuffer;
    }
    Request->Data.Flags |= FLTFL_CALLBACK_DATA_SYSTEM_BUFFER;
    PFILE_OBJECT TargetDirectory = NULL;
    if (!Query) {
        Status = OpenTargetDirectory(Request, nullptr, &TargetDirectory);
        if (!NT_SUCCESS(Status)) {
            FreeRequest(Request);
            return Finish(File, IoStatusBlock, Status, 0);
        }
    }
    ULONG_PTR Information = 0;
    Status = Send(Request, &Information);
    if (TargetDirectory != NULL) {
        ObfDereferenceObject(TargetDirectory);
    }
    return Finish(File, IoStatusBlock, Status, Information);
}

/* NtQueryDirectoryFile: synchronous listings in FileDirectoryInformation
   records; the handle needs FILE_LIST_DIRECTORY, the buffer at least the
   fixed part of a record ("NtQueryDirectoryFile"); the pattern is
   captured for the request; the records come back through a system
   buffer. */
NTSTATUS QueryDirectory(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                        FILE_INFORMATION_CLASS Class, BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                        BOOLEAN RestartScan)
{
    if (Class != FileDirectoryInformation) {
        return Finish(nullptr, IoStatusBlock, STATUS_INVALID_INFO_CLASS, 0);
    }
    if (Length < FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName) || Buffer == nullptr) {
        return Finish(nullptr, IoStatusBlock, STATUS_INFO_LENGTH_MISMATCH, 0);
    }
    EmuFile *File;
    NTSTATUS Status = ReferenceFile(FileHandle, FILE_LIST_DIRECTORY, &File);
    if (!NT_SUCCESS(Status)) {
        return Finish(nullptr, IoStatusBlock, Status, 0);
    }
    std::u16string Pattern;
    if (FileName != nullptr && FileName->Buffer != nullptr) {
        Pattern.assign((const char16_t *)FileName->Buffer, FileName->Length / sizeof(WCHAR));
    }
    UNICODE_STRING Captured = {(USHORT)(Pattern.size() * sizeof(WCHAR)), (USHORT)(Pattern.size() * sizeof(WCHAR)),
                               (PWSTR)Pattern.data()};
    IoRequest *Request = AllocateRequest(File, IRP_MJ_DIRECTORY_CONTROL, UserMode);
    if (!UseSystemBuffer(Request, Length, nullptr, 0, Buffer, Length)) {
        FreeRequest(Request);
        return Finish(File, IoStatusBlock, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    Request->Data.Flags |= FLTFL_CALLBACK_DATA_SYSTEM_BUFFER;
    Request->Iopb.MinorFunction = IRP_MN_QUERY_DIRECTORY;
    Request->Iopb.OperationFlags =
        (UCHAR)((RestartScan ? SL_RESTART_SCAN : 0) | (ReturnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0));
    auto &Query = Request->Iopb.Parameters.DirectoryControl.QueryDirectory;
    Query.Length = Length;
    Query.FileName = FileName != nullptr ? &Captured : NULL;
    Query.FileInformationClass = Class;
    Query.DirectoryBuffer = Request->SystemBuffer;
    ULONG_PTR Information = 0;
    Status = Send(Request, &Information);
    return Finish(File, IoStatusBlock, Status, Information);
}

/* NtLockFile and NtUnlockFile: IRP_MJ_LOCK_CONTROL of Minor. */
NTSTATUS LockControl(UCHAR Minor, HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                     PLARGE_INTEGER Length, ULONG Key, BOOLEAN FailImmediately, BOOLEAN ExclusiveLock)
{
    EmuFile *File;
    NTSTATUS Status = ReferenceFile(FileHandle, FILE_READ_DATA | FILE_WRITE_DATA, &File);
    if (!NT_SUCCESS(Status)) {
        return Finish(nullptr, IoStatusBlock, Status, 0);
    }
    IoRequest *Request = AllocateRequest(File, IRP_MJ_LOCK_CONTROL, UserMode);
    Request->Iopb.MinorFunction = Minor;
    Request->LockLength = *Length;
    auto &Lock = Request->Iopb.Parameters.LockControl;
    Lock.Length = &Request->LockLength;
    Lock.Key = Key;
    Lock.ByteOffset = *ByteOffset;
    Lock.ProcessId = (PEPROCESS)CurrentProcess();
    Lock.FailImmediately = FailImmediately;
    Lock.ExclusiveLock = ExclusiveLock;
    if (Minor == IRP_MN_LOCK) {
        File->File.LockOperation = TRUE;
    }
    ULONG_PTR Information = 0;
    Status = Send(Request, &Information);
    return Finish(File, IoStatusBlock, Status, Information);
}

}  // namespace

namespace emu {

/* The volume and volume-relative path an object name means: \??\C:\path,
   \Device\HarddiskVolumeN\path, or a name relative to RootDirectory. */
NTSTATUS ResolveObjectName(POBJECT_ATTRIBUTES Attributes, _FLT_VOLUME **Volume, std::u16string *Path,
                           KPROCESSOR_MODE Mode)
{
    if (Attributes == NULL || Attributes->ObjectName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    /* A kernel-mode caller's name need not be aligned: copied byte-wise. */
    std::u16string Name(Attributes->ObjectName->Length / sizeof(WCHAR), u'\0');
    if (!Name.empty()) {
        memcpy(Name.data(), Attributes->ObjectName->Buffer, Name.size() * sizeof(WCHAR));
    }
    if (Attributes->RootDirectory != NULL) {
        EmuFile *Root;
        NTSTATUS Status = ReferenceFile(Attributes->RootDirectory, 0, &Root, nullptr, Mode);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        *Volume = Root->Volume;
        std::u16string Base = Root->Node != nullptr ? PathOf(Root->Node) : *Root->OpenedName;
        ObfDereferenceObject(Root);
        if (!Name.empty() && Name[0] == u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        *Path = Base == u"\\" ? u"\\" + Name : Base + u"\\" + Name;
        return STATUS_SUCCESS;
    }
    if (Name.rfind(u"\\??\\", 0) == 0 && Name.size() >= 6 && Name[5] == u':') {
        *Volume = VolumeByLetter((WCHAR)Name[4]);
        *Path = Name.size() == 6 ? u"\\" : Name.substr(6);
    } else {
        *Volume = nullptr;
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Candidate : Manager.Volumes) {
            const std::u16string &Device = Candidate->DeviceName;
            if (Candidate->Mounted && Upcase(Name.substr(0, Device.size())) == Upcase(Device) &&
                (Name.size() == Device.size() || Name[Device.size()] == u'\\')) {
                *Volume = Candidate.get();
                *Path = Name.size() == Device.size() ? u"\\" : Name.substr(Device.size());
            }
        }
    }
    return *Volume != nullptr && !Path->empty() && (*Path)[0] == u'\\' ? STATUS_SUCCESS
                                                                      : STATUS_OBJECT_PATH_NOT_FOUND;
}

}  // namespace emu

extern "C" {

NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(EaBuffer);
    UNREFERENCED_PARAMETER(EaLength);
    _FLT_VOLUME *Volume = nullptr;
    std::u16string Path;
    NTSTATUS Status = ResolveObjectName(ObjectAttributes, &Volume, &Path);
    ULONG_PTR Information = 0;
    if (NT_SUCCESS(Status)) {
        Status = emu::CreateFile(Volume, Path, DesiredAccess, FileAttributes, ShareAccess, CreateDisposition,
                                 CreateOptions, UserMode, FileHandle, &Information);
    }
    return Finish(nullptr, IoStatusBlock, Status, Information);
}

NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                          PULONG Key)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    return Transfer(IRP_MJ_READ, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                           PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset,
                           PULONG Key)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    UNREFERENCED_PARAMETER(Key);
    return Transfer(IRP_MJ_WRITE, FileHandle, IoStatusBlock, Buffer, Length, ByteOffset);
}

NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                    PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation, ULONG Length,
                                    FILE_INFORMATION_CLASS FileInformationClass, BOOLEAN ReturnSingleEntry,
                                    PUNICODE_STRING FileName, BOOLEAN RestartScan)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    return QueryDirectory(FileHandle, IoStatusBlock, FileInformation, Length, FileInformationClass, ReturnSingleEntry,
                          FileName, RestartScan);
}

NTSTATUS NTAPI NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    return Information(IRP_MJ_QUERY_INFORMATION, FileHandle, IoStatusBlock, FileInformation, Length,
                       FileInformationClass);
}

NTSTATUS NTAPI NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                    ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    return Information(IRP_MJ_SET_INFORMATION, FileHandle, IoStatusBlock, FileInformation, Length,
                       FileInformationClass);
}

NTSTATUS NTAPI NtFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    return ControlFile(IRP_MJ_FILE_SYSTEM_CONTROL, FileHandle, IoStatusBlock, FsControlCode, InputBuffer,
                       InputBufferLength, OutputBuffer, OutputBufferLength);
}

NTSTATUS NTAPI NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                                     ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    return ControlFile(IRP_MJ_DEVICE_CONTROL, FileHandle, IoStatusBlock, IoControlCode, InputBuffer,
                       InputBufferLength, OutputBuffer, OutputBufferLength);
}

NTSTATUS NTAPI NtLockFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                          PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset, PLARGE_INTEGER Length, ULONG Key,
                          BOOLEAN FailImmediately, BOOLEAN ExclusiveLock)
{
    UNREFERENCED_PARAMETER(Event);
    UNREFERENCED_PARAMETER(ApcRoutine);
    UNREFERENCED_PARAMETER(ApcContext);
    return LockControl(IRP_MN_LOCK, FileHandle, IoStatusBlock, ByteOffset, Length, Key, FailImmediately,
                       ExclusiveLock);
}

NTSTATUS NTAPI NtUnlockFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER ByteOffset,
                            PLARGE_INTEGER Length, ULONG Key)
{
    return LockControl(IRP_MN_UNLOCK_SINGLE, FileHandle, IoStatusBlock, ByteOffset, Length, Key, FALSE, FALSE);
}

/* NtCancelIoFileEx: cancels every request the calling process issued on the
   handle's file object; STATUS_NOT_FOUND when there is none. */
NTSTATUS NTAPI NtCancelIoFileEx(HANDLE FileHandle, PIO_STATUS_BLOCK IoRequestToCancel, PIO_STATUS_BLOCK IoStatusBlock)
{
    UNREFERENCED_PARAMETER(IoRequestToCancel);
    EmuFile *File;
    NTSTATUS Status = ReferenceFile(FileHandle, 0, &File);
    if (!NT_SUCCESS(Status)) {
        return Finish(nullptr, IoStatusBlock, Status, 0);
    }
    EmuProcess *Process = CurrentProcess();
    size_t Cancelled = CancelRequests(
        [File, Process](const IoRequest *Request) { return Request->File == File && Request->Process == Process; });
    return Finish(File, IoStatusBlock, Cancelled != 0 ? STATUS_SUCCESS : STATUS_NOT_FOUND, 0);
}

}  // extern "C"
