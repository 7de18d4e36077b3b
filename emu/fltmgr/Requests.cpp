/*
 * Requests.cpp - file-system requests a filter issues itself: each is an
 * I/O request that enters the volume's chain just below the issuing
 * instance, so the instances under it and the file system see it and the
 * issuer does not ("FltReadFile", "FltFsControlFile", ... in the minifilter
 * documentation).  They are kernel-mode requests.  An instance that is not
 * on the file's volume stops the system, as Driver Verifier does.
 */
#include "../io/Io.h"

using namespace emu;

namespace {

EmuFile *RequestTarget(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, const char *Routine)
{
    EmuFile *File = FileOf(FileObject);
    if (Instance == NULL || Instance->Volume != File->Volume) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Instance,
                      std::string(Routine) + " with an instance that is not on the file's volume");
    }
    return File;
}

/* Sends a request below Instance, waits, and frees it; Information gets
   what the request returned. */
NTSTATUS SendBelow(IoRequest *Request, PFLT_INSTANCE Instance, ULONG_PTR *Information = nullptr)
{
    NTSTATUS Status = CallFilterManager(Request, Instance);
    if (Information != nullptr) {
        *Information = Request->Data.IoStatus.Information;
    }
    FreeRequest(Request);
    return Status;
}

NTSTATUS Control(PFLT_INSTANCE Instance, EmuFile *File, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                 ULONG OutputLength, ULONG *Returned)
{
    IoRequest *Request = AllocateRequest(File, IRP_MJ_FILE_SYSTEM_CONTROL, KernelMode);
    Request->Iopb.MinorFunction = IRP_MN_USER_FS_REQUEST;
    if (!SetControlParameters(Request, Code, Input, InputLength, Output, OutputLength)) {
        FreeRequest(Request);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG_PTR Information = 0;
    NTSTATUS Status = SendBelow(Request, Instance, &Information);
    if (Returned != NULL) {
        *Returned = (ULONG)Information;
    }
    return Status;
}

/* A reparse buffer as FSCTL_SET_REPARSE_POINT and FSCTL_DELETE_REPARSE_POINT
   take it: the 8-byte header of a Microsoft tag, or the 24-byte header with
   the GUID of any other, then the data. */
std::vector<UCHAR> ReparseBuffer(ULONG Tag, const GUID *Guid, const void *Data, USHORT DataLength)
{
    bool Microsoft = IsReparseTagMicrosoft(Tag) != 0;
    ULONG HeaderSize = Microsoft ? REPARSE_DATA_BUFFER_HEADER_SIZE : (ULONG)REPARSE_GUID_DATA_BUFFER_HEADER_SIZE;
    std::vector<UCHAR> Buffer(HeaderSize + DataLength);
    REPARSE_GUID_DATA_BUFFER Header = {};
    Header.ReparseTag = Tag;
    Header.ReparseDataLength = DataLength;
    if (!Microsoft) {
        Header.ReparseGuid = *Guid;
    }
    memcpy(Buffer.data(), &Header, HeaderSize);
    if (DataLength != 0) {
        memcpy(Buffer.data() + HeaderSize, Data, DataLength);
    }
    return Buffer;
}

/* FltReadFile and FltWriteFileEx: the transfer below the instance, from
   ByteOffset (null: the file object's position), synchronous unless a
   callback is given. */
NTSTATUS Transfer(UCHAR Major, PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                  ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG Transferred,
                  PFLT_COMPLETED_ASYNC_IO_CALLBACK Callback, PVOID CallbackContext, PMDL Mdl, const char *Routine)
{
    EmuFile *File = RequestTarget(Instance, FileObject, Routine);
    if (Transferred != NULL) {
        *Transferred = 0;
    }
    IoRequest *Request = AllocateRequest(File, Major, KernelMode);
    Request->Iopb.IrpFlags = ((Flags & FLTFL_IO_OPERATION_NON_CACHED) ? IRP_NOCACHE : 0) |
                             ((Flags & FLTFL_IO_OPERATION_PAGING) ? IRP_PAGING_IO : 0) |
                             ((Flags & FLTFL_IO_OPERATION_SYNCHRONOUS_PAGING) ? IRP_SYNCHRONOUS_PAGING_IO : 0);
    LARGE_INTEGER Offset = ByteOffset != NULL ? *ByteOffset : File->File.CurrentByteOffset;
    auto &Parameters = Request->Iopb.Parameters.Read;  // Read and Write share their layout
    Parameters.Length = Length;
    Parameters.ByteOffset = Offset;
    Parameters.ReadBuffer = Buffer;
    Parameters.MdlAddress = Mdl;
    LARGE_INTEGER Position = File->File.CurrentByteOffset;
    if (Callback != NULL) {
        Request->Synchronous = false;
        Request->AsyncCallback = (RequestCallback)Callback;
        Request->AsyncContext = CallbackContext;
        CallFilterManager(Request, Instance);
        return STATUS_PENDING;
    }
    ULONG_PTR Information = 0;
    NTSTATUS Status = SendBelow(Request, Instance, &Information);
    if (Flags & FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET) {
        File->File.CurrentByteOffset = Position;
    }
    if (Transferred != NULL) {
        *Transferred = (ULONG)Information;
    }
    return Status;
}

}  // namespace

extern "C" {

NTSTATUS FLTAPI FltQueryInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                        ULONG Length, FILE_INFORMATION_CLASS FileInformationClass,
                                        PULONG LengthReturned)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltQueryInformationFile");
    EmuFile *File = RequestTarget(Instance, FileObject, "FltQueryInformationFile");
    IoRequest *Request = AllocateRequest(File, IRP_MJ_QUERY_INFORMATION, KernelMode);
    auto &Parameters = Request->Iopb.Parameters.QueryFileInformation;
    Parameters.Length = Length;
    Parameters.FileInformationClass = FileInformationClass;
    Parameters.InfoBuffer = FileInformation;
    ULONG_PTR Information = 0;
    NTSTATUS Status = SendBelow(Request, Instance, &Information);
    if (LengthReturned != NULL) {
        *LengthReturned = (ULONG)Information;
    }
    return Status;
}

NTSTATUS FLTAPI FltSetInformationFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, PVOID FileInformation,
                                      ULONG Length, FILE_INFORMATION_CLASS FileInformationClass)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltSetInformationFile");
    EmuFile *File = RequestTarget(Instance, FileObject, "FltSetInformationFile");
    IoRequest *Request = AllocateRequest(File, IRP_MJ_SET_INFORMATION, KernelMode);
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    Parameters.Length = Length;
    Parameters.FileInformationClass = FileInformationClass;
    Parameters.InfoBuffer = FileInformation;
    /* A rename or link opens its target's directory below the instance too. */
    PFILE_OBJECT TargetDirectory = NULL;
    NTSTATUS Status = OpenTargetDirectory(Request, Instance, &TargetDirectory);
    if (!NT_SUCCESS(Status)) {
        FreeRequest(Request);
        return Status;
    }
    Status = SendBelow(Request, Instance);
    if (TargetDirectory != NULL) {
        ObfDereferenceObject(TargetDirectory);
    }
    return Status;
}

NTSTATUS FLTAPI FltFsControlFile(PFLT_INSTANCE Instance, PFILE_OBJECT FileObject, ULONG FsControlCode,
                                 PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                 ULONG OutputBufferLength, PULONG LengthReturned)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltFsControlFile");
    EmuFile *File = RequestTarget(Instance, FileObject, "FltFsControlFile");
    return Control(Instance, File, FsControlCode, InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength,
                   LengthReturned);
}

NTSTATUS FLTAPI FltTagFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, ULONG FileTag, GUID *Guid,
                           PVOID DataBuffer, USHORT DataBufferLength)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltTagFile");
    EmuFile *File = RequestTarget(InitiatingInstance, FileObject, "FltTagFile");
    if (!IsReparseTagMicrosoft(FileTag) && Guid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> Buffer = ReparseBuffer(FileTag, Guid, DataBuffer, DataBufferLength);
    return Control(InitiatingInstance, File, FSCTL_SET_REPARSE_POINT, Buffer.data(), (ULONG)Buffer.size(), NULL, 0,
                   NULL);
}

NTSTATUS FLTAPI FltUntagFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, ULONG FileTag, GUID *Guid)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltUntagFile");
    EmuFile *File = RequestTarget(InitiatingInstance, FileObject, "FltUntagFile");
    if (!IsReparseTagMicrosoft(FileTag) && Guid == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<UCHAR> Header = ReparseBuffer(FileTag, Guid, NULL, 0);
    return Control(InitiatingInstance, File, FSCTL_DELETE_REPARSE_POINT, Header.data(), (ULONG)Header.size(), NULL,
                   0, NULL);
}

NTSTATUS FLTAPI FltReadFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                            ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesRead,
                            PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext)
{
    EMU_INJECT_STATUS("FltReadFile");
    return Transfer(IRP_MJ_READ, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesRead,
                    CallbackRoutine, CallbackContext, NULL, "FltReadFile");
}

NTSTATUS FLTAPI FltWriteFile(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                             ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesWritten,
                             PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext)
{
    EMU_INJECT_STATUS("FltWriteFile");
    return Transfer(IRP_MJ_WRITE, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesWritten,
                    CallbackRoutine, CallbackContext, NULL, "FltWriteFile");
}

NTSTATUS FLTAPI FltWriteFileEx(PFLT_INSTANCE InitiatingInstance, PFILE_OBJECT FileObject, PLARGE_INTEGER ByteOffset,
                               ULONG Length, PVOID Buffer, FLT_IO_OPERATION_FLAGS Flags, PULONG BytesWritten,
                               PFLT_COMPLETED_ASYNC_IO_CALLBACK CallbackRoutine, PVOID CallbackContext, PULONG Key,
                               PMDL Mdl)
{
    EMU_INJECT_STATUS("FltWriteFileEx");
    UNREFERENCED_PARAMETER(Key);
    return Transfer(IRP_MJ_WRITE, InitiatingInstance, FileObject, ByteOffset, Length, Buffer, Flags, BytesWritten,
                    CallbackRoutine, CallbackContext, Mdl, "FltWriteFileEx");
}

}  // extern "C"
