/*
 * Targets.cpp - the I/O manager's part of renames and hard links: the
 * open of the target's directory.
 *
 * Before a FileRenameInformation(Ex) or FileLinkInformation(Ex) request
 * goes down, the I/O manager opens the directory the new name is to be in
 * with an IRP_MJ_CREATE carrying SL_OPEN_TARGET_DIRECTORY, so filters see
 * that open, and passes the file object as
 * Parameters.SetFileInformation.ParentOfTarget ("IRP_MJ_SET_INFORMATION"
 * and "FLT_PARAMETERS for IRP_MJ_SET_INFORMATION" in the file-system
 * documentation); a simple name without a root directory renames within
 * the file's directory and opens nothing.  A root directory with a name
 * that begins with a backslash is STATUS_INVALID_PARAMETER, and a target
 * on another volume STATUS_NOT_SAME_DEVICE ("FILE_RENAME_INFORMATION").
 */
#include "Io.h"

namespace emu {

NTSTATUS OpenTargetDirectory(IoRequest *Request, _FLT_INSTANCE *StartBelow, PFILE_OBJECT *TargetDirectory)
{
    *TargetDirectory = NULL;
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    FILE_INFORMATION_CLASS Class = Parameters.FileInformationClass;
    if (Class != FileRenameInformation && Class != FileRenameInformationEx && Class != FileLinkInformation &&
        Class != FileLinkInformationEx) {
        return STATUS_SUCCESS;
    }
    ULONG Header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
    auto Information = (PFILE_RENAME_INFORMATION)Parameters.InfoBuffer;
    if (Information == NULL || Parameters.Length < Header || Parameters.Length - Header < Information->FileNameLength) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    bool Ex = Class == FileRenameInformationEx || Class == FileLinkInformationEx;
    Parameters.ReplaceIfExists =
        Ex ? (Information->Flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0 : Information->ReplaceIfExists != 0;
    std::u16string Name((const char16_t *)Information->FileName, Information->FileNameLength / sizeof(WCHAR));
    if (Information->RootDirectory == NULL && Name.find(u'\\') == std::u16string::npos) {
        return STATUS_SUCCESS;
    }
    if (Information->RootDirectory != NULL && !Name.empty() && Name[0] == u'\\') {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING ObjectName = {(USHORT)(Name.size() * sizeof(WCHAR)), (USHORT)(Name.size() * sizeof(WCHAR)),
                                 (PWSTR)Name.data()};
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &ObjectName, OBJ_CASE_INSENSITIVE, Information->RootDirectory, NULL);
    _FLT_VOLUME *Volume = nullptr;
    std::u16string Path;
    NTSTATUS Status = ResolveObjectName(&Attributes, &Volume, &Path);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Volume != Request->File->Volume) {
        return STATUS_NOT_SAME_DEVICE;
    }
    /* The directory is opened for adding an entry, sharing reads and
       writes, whatever the file's own mode. */
    ULONG_PTR Result = 0;
    Status = CreateFile(Volume, Path, FILE_WRITE_DATA | SYNCHRONIZE, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                        FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, KernelMode, nullptr, &Result,
                        StartBelow, nullptr, TargetDirectory, SL_OPEN_TARGET_DIRECTORY);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Parameters.ParentOfTarget = *TargetDirectory;
    return STATUS_SUCCESS;
}

}  // namespace emu
