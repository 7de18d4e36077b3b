/*
 * Link.cpp - IRP_MJ_SET_INFORMATION for FileLinkInformation and
 * FileLinkInformationEx: a new name for a file (a hard link).
 *
 * As "FILE_LINK_INFORMATION structure" and [MS-FSA] "FileLinkInformation" describe
 * NTFS: no access right is needed on the file object; a directory refuses
 * with STATUS_FILE_IS_A_DIRECTORY; a file whose name was deleted with
 * STATUS_ACCESS_DENIED; a file with 1024 names with STATUS_TOO_MANY_LINKS;
 * the target follows the rules renames use (Rename.cpp): another volume is
 * STATUS_NOT_SAME_DEVICE, an existing name is replaced when
 * ReplaceIfExists (FILE_LINK_REPLACE_IF_EXISTS) is given and is otherwise
 * STATUS_OBJECT_NAME_COLLISION.  The journal gets a
 * USN_REASON_HARD_LINK_CHANGE record.
 */
#include "Ntfs.h"

namespace emu {

NTSTATUS NtfsSetLink(IoRequest *Request)
{
    constexpr size_t MaximumLinks = 1024;
    EmuFile *File = Request->File;
    NtfsNode *Node = File->Node;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    NtfsNode *Directory = nullptr;
    std::u16string Name;
    ULONG Flags = 0;
    NTSTATUS Status = SetTargetOf(Request, Node, &Directory, &Name, &Flags);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Node->Directory) {
        return STATUS_FILE_IS_A_DIRECTORY;
    }
    if (Node->Unlinked || Node->DeletePendingLink != 0) {
        return STATUS_ACCESS_DENIED;
    }
    if (Node->Links.size() >= MaximumLinks) {
        return STATUS_TOO_MANY_LINKS;
    }
    if (Lookup(Directory, Name) == Node) {
        /* The name is already this file's. */
        return (Flags & FILE_LINK_REPLACE_IF_EXISTS) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
    }
    Status = ReplaceTarget(Namespace, File, Directory, Name,
                           (Flags & FILE_LINK_REPLACE_IF_EXISTS ? FILE_RENAME_REPLACE_IF_EXISTS : 0) |
                               (Flags & FILE_LINK_POSIX_SEMANTICS ? FILE_RENAME_POSIX_SEMANTICS : 0) |
                               (Flags & FILE_LINK_IGNORE_READONLY_ATTRIBUTE ? FILE_RENAME_IGNORE_READONLY_ATTRIBUTE
                                                                             : 0));
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    AddLink(Namespace, Node, Directory, Name);
    NoteUsnChange(Namespace, File, Node, USN_REASON_HARD_LINK_CHANGE);
    Touch(File, Node, false);
    return STATUS_SUCCESS;
}

}  // namespace emu
