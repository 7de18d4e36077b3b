/*
 * Rename.cpp - IRP_MJ_SET_INFORMATION for FileRenameInformation and
 * FileRenameInformationEx, and the target rules renames and hard links
 * share.
 *
 * The buffer is FILE_RENAME_INFORMATION ("FILE_RENAME_INFORMATION
 * structure", x64 layout: ReplaceIfExists or Flags, RootDirectory,
 * FileNameLength, FileName).  The I/O manager has opened the target's
 * directory (SL_OPEN_TARGET_DIRECTORY) and passes it as ParentOfTarget,
 * unless the new name is a simple name without a root directory, which
 * renames within the file's own directory.  NTFS then follows [MS-FSA]
 * "FileRenameInformation": a buffer shorter than its name is
 * STATUS_INFO_LENGTH_MISMATCH, a name length of zero or odd is
 * STATUS_INVALID_PARAMETER; the file object needs DELETE
 * (STATUS_ACCESS_DENIED); a target directory on another volume is
 * STATUS_NOT_SAME_DEVICE; a name that is deleted (or has a delete
 * pending) cannot be renamed (STATUS_ACCESS_DENIED), nor a directory with open files below it
 * (STATUS_ACCESS_DENIED); an existing target without replace is
 * STATUS_OBJECT_NAME_COLLISION; a target that is a directory, read-only
 * (unless FILE_RENAME_IGNORE_READONLY_ATTRIBUTE) or open (unless
 * FILE_RENAME_POSIX_SEMANTICS, which lets its handles live on) is
 * STATUS_ACCESS_DENIED, one with a delete pending STATUS_DELETE_PENDING;
 * the same name in the same case is a success that changes nothing, and a
 * name differing only in case renames in place.  The journal gets a
 * USN_REASON_RENAME_OLD_NAME record with the old name and a
 * USN_REASON_RENAME_NEW_NAME record with the new one ("USN_RECORD_V2").
 * Moving a directory below itself is refused with STATUS_INVALID_PARAMETER
 * (not stated in the pages read; it would make the namespace a cycle).
 */
#include "Ntfs.h"

using namespace emu;

namespace emu {

NTSTATUS SetTargetOf(IoRequest *Request, NtfsNode *Source, NtfsNode **Directory, std::u16string *Name,
                     ULONG *Flags)
{
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    ULONG Header = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);  // FILE_LINK_INFORMATION is the same
    if (Parameters.Length < Header) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto Information = (PFILE_RENAME_INFORMATION)Parameters.InfoBuffer;
    if (Parameters.Length - Header < Information->FileNameLength) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (Information->FileNameLength == 0 || Information->FileNameLength % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    FILE_INFORMATION_CLASS Class = Parameters.FileInformationClass;
    bool Ex = Class == FileRenameInformationEx || Class == FileLinkInformationEx;
    *Flags = Ex ? Information->Flags : (Information->ReplaceIfExists ? FILE_RENAME_REPLACE_IF_EXISTS : 0);
    std::u16string Given((const char16_t *)Information->FileName, Information->FileNameLength / sizeof(WCHAR));
    size_t Separator = Given.rfind(u'\\');
    if (Parameters.ParentOfTarget != NULL) {
        EmuFile *Target = FileOf(Parameters.ParentOfTarget);
        if (Target->Volume != Request->File->Volume) {
            return STATUS_NOT_SAME_DEVICE;
        }
        *Directory = Target->Node;
        *Name = Separator == std::u16string::npos ? Given : Given.substr(Separator + 1);
    } else {
        if (Separator != std::u16string::npos) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const NtfsLink *Link = LinkOf(Request->File);
        if (Link == nullptr) {
            return STATUS_ACCESS_DENIED;
        }
        *Directory = Link->Parent;
        *Name = Given;
    }
    UNREFERENCED_PARAMETER(Source);
    if (!Name->empty() && (*Name)[0] == u':') {
        return STATUS_NOT_SUPPORTED;  // stream renames: the emulated files have one stream
    }
    return ValidName(*Name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

NTSTATUS ReplaceTarget(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Directory, const std::u16string &Name,
                       ULONG Flags)
{
    NtfsNode *Existing = Lookup(Directory, Name);
    if (Existing == nullptr) {
        return STATUS_SUCCESS;
    }
    if (!(Flags & FILE_RENAME_REPLACE_IF_EXISTS)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    if (Existing->Directory) {
        return STATUS_ACCESS_DENIED;
    }
    if ((Existing->Attributes & FILE_ATTRIBUTE_READONLY) && !(Flags & FILE_RENAME_IGNORE_READONLY_ATTRIBUTE)) {
        return STATUS_ACCESS_DENIED;
    }
    uint64_t LinkId = 0;
    for (const NtfsLink &Link : Existing->Links) {
        if (Link.Parent == Directory && Upcase(Link.Name) == Upcase(Name)) {
            LinkId = Link.Id;
        }
    }
    if (Existing->DeletePendingLink != 0 && Existing->DeletePendingLink == LinkId) {
        return STATUS_DELETE_PENDING;
    }
    if (Existing->Handles != 0 && !(Flags & FILE_RENAME_POSIX_SEMANTICS)) {
        return STATUS_ACCESS_DENIED;
    }
    if (Existing->Links.size() > 1) {
        NoteUsnChange(Namespace, nullptr, Existing, USN_REASON_HARD_LINK_CHANGE);
    }
    RemoveLink(Existing, LinkId);
    if (Existing->Unlinked && Existing->Handles == 0) {
        DeleteNode(Namespace, nullptr, Existing);
    }
    UNREFERENCED_PARAMETER(File);
    return STATUS_SUCCESS;
}

NTSTATUS NtfsSetRename(IoRequest *Request)
{
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
    if (!(File->Access & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    NtfsLink *Link = FirstLink(Node) != nullptr ? LinkOf(File) : nullptr;
    if (Link == nullptr || Node->DeletePendingLink == Link->Id) {
        return STATUS_ACCESS_DENIED;  // the root, or a name that is deleted or being deleted
    }
    if (Node->Directory && HasOpenFilesBelow(Node)) {
        return STATUS_ACCESS_DENIED;
    }
    for (const NtfsNode *Up = Directory; Up != nullptr;) {
        if (Up == Node) {
            return STATUS_INVALID_PARAMETER;
        }
        const NtfsLink *UpLink = FirstLink(Up);
        Up = UpLink != nullptr ? UpLink->Parent : nullptr;
    }
    uint64_t LinkId = Link->Id;
    bool SameLink = Link->Parent == Directory && Upcase(Link->Name) == Upcase(Name);
    if (SameLink && Link->Name == Name) {
        return STATUS_SUCCESS;
    }
    if (!SameLink) {
        Status = ReplaceTarget(Namespace, File, Directory, Name, Flags);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    /* The replace may have removed another name of this file: find the
       link again. */
    for (NtfsLink &Each : Node->Links) {
        if (Each.Id == LinkId) {
            Link = &Each;
        }
    }
    /* Every rename journals its old and its new name, even when an earlier
       rename since the last close record did; the new-name record does
       not repeat the old-name reason. */
    Node->UsnReasons &= ~(ULONG)(USN_REASON_RENAME_OLD_NAME | USN_REASON_RENAME_NEW_NAME);
    NoteUsnChange(Namespace, File, Node, USN_REASON_RENAME_OLD_NAME);
    Link->Parent->Children.erase(Upcase(Link->Name));
    Link->Parent = Directory;
    Link->Name = Name;
    Directory->Children[Upcase(Name)] = Node;
    Node->UsnReasons &= ~(ULONG)USN_REASON_RENAME_OLD_NAME;
    NoteUsnChange(Namespace, File, Node, USN_REASON_RENAME_NEW_NAME);
    Touch(File, Node, false);
    return STATUS_SUCCESS;
}

}  // namespace emu
