/*
 * CreateFile.cpp - a create a filter issues itself (FltCreateFileEx2) and
 * the close of the handle it returns (FltClose).
 *
 * The create is an IRP_MJ_CREATE request that enters the volume's chain
 * just below the given instance (from the top without one), so that the
 * instances under it and the file system see it and the issuer does not
 * ("FltCreateFileEx2": "the request is sent only to minifilter driver
 * instances that are attached below the specified instance").  The extra
 * create parameters of IO_DRIVER_CREATE_CONTEXT travel with it and stay
 * the caller's: the list is not freed here and comes back as it went
 * ("Using ECPs with FltCreateFileEx2").  It is a kernel-mode request: no
 * access check is made against the caller.  The handle is a kernel handle
 * when the object attributes ask for one (OBJ_KERNEL_HANDLE), else one of
 * the current process.
 *
 * IO_IGNORE_SHARE_ACCESS_CHECK keeps the I/O manager from checking share
 * access, "however, the file system might still perform these checks"
 * (IoCreateFileEx): the emulated I/O manager checks none of its own, and
 * the emulated NTFS still does.  Extended attributes are not emulated.
 */
#include "../io/Io.h"

using namespace emu;

extern "C" {

NTSTATUS FLTAPI FltCreateFileEx2(PFLT_FILTER Filter, PFLT_INSTANCE Instance, PHANDLE FileHandle,
                                 PFILE_OBJECT *FileObject, ACCESS_MASK DesiredAccess,
                                 POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                                 PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                                 ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength,
                                 ULONG Flags, PIO_DRIVER_CREATE_CONTEXT DriverContext)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(AllocationSize);
    UNREFERENCED_PARAMETER(Flags);  // IO_IGNORE_SHARE_ACCESS_CHECK: see above
    *FileHandle = NULL;
    if (FileObject != NULL) {
        *FileObject = NULL;
    }
    EMU_INJECT_STATUS("FltCreateFileEx2");
    if (Instance != NULL && Instance->Filter != Filter) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Instance,
                      "FltCreateFileEx2 with an instance of another filter");
    }
    if (EaBuffer != NULL || EaLength != 0) {
        TheVerifier().Report("FltCreateFileEx2 with extended attributes, which are not emulated");
        return STATUS_NOT_IMPLEMENTED;
    }
    /* The record of Windows 10 version 1607 and later, or the earlier one
       without SiloContext. */
    if (DriverContext != NULL && DriverContext->Size != sizeof(IO_DRIVER_CREATE_CONTEXT) &&
        DriverContext->Size != FIELD_OFFSET(IO_DRIVER_CREATE_CONTEXT, SiloContext)) {
        return STATUS_INVALID_PARAMETER;
    }
    _FLT_VOLUME *Volume = nullptr;
    std::u16string Path;
    NTSTATUS Status = ResolveObjectName(ObjectAttributes, &Volume, &Path, KernelMode);
    if (NT_SUCCESS(Status) && Instance != NULL && Instance->Volume != Volume) {
        Status = STATUS_INVALID_PARAMETER;  // "The instance must be attached to the volume where the file resides"
    }
    PFILE_OBJECT Opened = NULL;
    ULONG_PTR Information = 0;
    if (NT_SUCCESS(Status)) {
        Status = emu::CreateFile(Volume, Path, DesiredAccess, FileAttributes, ShareAccess, CreateDisposition,
                                 CreateOptions, KernelMode, nullptr, &Information, Instance,
                                 DriverContext != NULL ? DriverContext->ExtraCreateParameter : NULL, &Opened);
    }
    if (IoStatusBlock != NULL) {
        IoStatusBlock->Status = Status;
        IoStatusBlock->Information = Information;
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    ACCESS_MASK Granted = MapGenericAccess(DesiredAccess, TypeOfObject(Opened)->Mapping);
    *FileHandle = InsertHandle(CurrentProcess(), Opened, Granted, ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE);
    if (FileObject != NULL) {
        *FileObject = Opened;  // the reference CreateFile took is the caller's
    } else {
        ObfDereferenceObject(Opened);
    }
    return Status;
}

NTSTATUS FLTAPI FltClose(HANDLE FileHandle)
{
    PAGED_CODE();
    return CloseHandleIn(CurrentProcess(), FileHandle);
}

}  // extern "C"
