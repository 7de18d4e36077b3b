/*
 * FileObject.cpp - file objects and the I/O manager's part of opening and
 * closing them.
 *
 * A create travels as an IRP_MJ_CREATE request through the volume's filter
 * chain to the file system.  The last handle's close sends IRP_MJ_CLEANUP
 * and the last reference's release sends IRP_MJ_CLOSE, both through the
 * chain ("IRP_MJ_CLEANUP" and "IRP_MJ_CLOSE" in the file-system
 * documentation); a file object whose create failed reaches neither.
 * A file system that answers STATUS_REPARSE names a reparse point no one
 * handled: the I/O manager emulates no reparse of its own (no mount points
 * or symbolic links), so the open fails with
 * STATUS_IO_REPARSE_TAG_NOT_HANDLED, as Windows fails the open of a file
 * whose tag no filter or file system handles.
 */
#include "Io.h"

using namespace emu;

namespace {

constexpr CSHORT IoTypeFile = 5;

void CloseFile(PVOID Object, EmuProcess *, LONG_PTR HandleCount);
void DeleteFile(PVOID Object);

_OBJECT_TYPE FileType = {
    "File",
    {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS},
    CloseFile,
    DeleteFile,
};

POBJECT_TYPE FileTypePointer = &FileType;

/* Sends a request the I/O manager makes itself (cleanup, close) through
   the chain and waits for it. */
void SendAndFree(IoRequest *Request)
{
    CallFilterManager(Request);
    FreeRequest(Request);
}

/* Last handle closed: IRP_MJ_CLEANUP. */
void CloseFile(PVOID Object, EmuProcess *, LONG_PTR HandleCount)
{
    auto File = (EmuFile *)Object;
    if (HandleCount != 0 || File->Node == nullptr || File->Cleaned) {
        return;
    }
    SendAndFree(AllocateRequest(File, IRP_MJ_CLEANUP, KernelMode));
}

/* Last reference gone: IRP_MJ_CLOSE, after the IRP_MJ_CLEANUP of a file
   object that never had a handle (one a driver opened without one). */
void DeleteFile(PVOID Object)
{
    auto File = (EmuFile *)Object;
    if (File->Node != nullptr && !File->Cleaned) {
        SendAndFree(AllocateRequest(File, IRP_MJ_CLEANUP, KernelMode, FLTFL_CALLBACK_DATA_IRP_OPERATION, false));
    }
    if (File->Node != nullptr) {
        SendAndFree(AllocateRequest(File, IRP_MJ_CLOSE, KernelMode));
    }
    delete File->OpenedName;
}

}  // namespace

extern "C" {
POBJECT_TYPE *IoFileObjectType = &FileTypePointer;
}

namespace emu {

EmuFile *FileOf(PFILE_OBJECT FileObject)
{
    if (!IsObject(FileObject) || TypeOfObject(FileObject) != &FileType) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)FileObject, "not a file object");
    }
    return (EmuFile *)FileObject;
}

_FLT_VOLUME *VolumeByLetter(WCHAR Letter)
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    WCHAR Upper = RtlUpcaseUnicodeChar(Letter);
    for (const auto &Volume : Manager.Volumes) {
        if (Volume->Mounted && Volume->DriveLetter == Upper) {
            return Volume.get();
        }
    }
    return nullptr;
}

NTSTATUS CreateFile(_FLT_VOLUME *Volume, const std::u16string &Path, ACCESS_MASK DesiredAccess, ULONG FileAttributes,
                    ULONG ShareAccess, ULONG Disposition, ULONG Options, KPROCESSOR_MODE Mode, HANDLE *Handle,
                    ULONG_PTR *Information, _FLT_INSTANCE *StartBelow, PECP_LIST EcpList, PFILE_OBJECT *FileObject,
                    UCHAR OperationFlags)
{
    if (Volume == nullptr || Volume->FileSystemDispatch == nullptr || !Volume->Mounted) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (Path.empty() || Path[0] != u'\\' || Disposition > FILE_MAXIMUM_DISPOSITION ||
        (ShareAccess & ~FILE_SHARE_VALID_FLAGS) != 0 ||
        ((Options & FILE_DIRECTORY_FILE) && (Options & FILE_NON_DIRECTORY_FILE))) {
        return STATUS_INVALID_PARAMETER;
    }
    ACCESS_MASK Access = MapGenericAccess(DesiredAccess, FileType.Mapping);
    if (Access & MAXIMUM_ALLOWED) {
        Access = (Access & ~(ACCESS_MASK)MAXIMUM_ALLOWED) | FILE_ALL_ACCESS;
    }

    /* The file object the request carries through the filters. */
    auto File = (EmuFile *)CreateObject(&FileType, sizeof(EmuFile), Narrow(Path));
    File->File.Type = IoTypeFile;
    File->File.Size = sizeof(FILE_OBJECT);
    File->Volume = Volume;
    File->Access = Access;
    File->ShareAccess = ShareAccess;
    File->Options = Options;
    File->OpenedName = new std::u16string(Path);
    File->File.FileName.Buffer = (PWSTR)File->OpenedName->data();
    File->File.FileName.Length = (USHORT)(Path.size() * sizeof(WCHAR));
    File->File.FileName.MaximumLength = File->File.FileName.Length;
    bool Synchronous = (Options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    File->File.Flags = (Synchronous ? FO_SYNCHRONOUS_IO : 0) |
                       ((Options & FILE_NO_INTERMEDIATE_BUFFERING) ? FO_NO_INTERMEDIATE_BUFFERING : 0);
    File->File.ReadAccess = (Access & (FILE_READ_DATA | FILE_EXECUTE)) != 0;
    File->File.WriteAccess = (Access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    File->File.DeleteAccess = (Access & DELETE) != 0;
    File->File.SharedRead = (ShareAccess & FILE_SHARE_READ) != 0;
    File->File.SharedWrite = (ShareAccess & FILE_SHARE_WRITE) != 0;
    File->File.SharedDelete = (ShareAccess & FILE_SHARE_DELETE) != 0;

    IoRequest *Request = AllocateRequest(File, IRP_MJ_CREATE, Mode);
    Request->Iopb.OperationFlags = OperationFlags;
    Request->SecurityContext = IO_SECURITY_CONTEXT{NULL, NULL, Access, Options};
    auto &Create = Request->Iopb.Parameters.Create;
    Create.SecurityContext = &Request->SecurityContext;
    Create.Options = (Disposition << 24) | (Options & 0x00FFFFFF);
    Create.FileAttributes = (USHORT)FileAttributes;
    Create.ShareAccess = (USHORT)ShareAccess;
    Request->EcpList = EcpList;
    NTSTATUS Status = CallFilterManager(Request, StartBelow);
    ULONG_PTR Result = Request->Data.IoStatus.Information;
    FreeRequest(Request);

    if (Status == STATUS_REPARSE) {
        Status = STATUS_IO_REPARSE_TAG_NOT_HANDLED;
    }
    if (Information != nullptr) {
        *Information = Result;
    }
    if (NT_SUCCESS(Status) && File->Node == nullptr) {
        Status = STATUS_INTERNAL_ERROR;  // a filter completed a create with success but no file
    }
    if (NT_SUCCESS(Status)) {
        File->File.Flags |= FO_HANDLE_CREATED;
        if (Handle != nullptr) {
            *Handle = InsertHandle(CurrentProcess(), File, Access);
        }
        if (FileObject != nullptr) {
            ObfReferenceObject(File);
            *FileObject = &File->File;
        }
    }
    ObfDereferenceObject(File);
    return Status;
}

}  // namespace emu
