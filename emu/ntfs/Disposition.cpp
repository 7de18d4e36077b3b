/*
 * Disposition.cpp - IRP_MJ_SET_INFORMATION for FileDispositionInformation
 * and FileDispositionInformationEx, deletes on close, and what cleanup does
 * with them.
 *
 * As "FILE_DISPOSITION_INFORMATION", "FILE_DISPOSITION_INFORMATION_EX" and
 * [MS-FSA] "FileDispositionInformation(Ex)" describe NTFS: the file object
 * must have been granted DELETE (else STATUS_ACCESS_DENIED); the first byte of the
 * plain class, or FILE_DISPOSITION_DELETE of the Ex class, marks the link
 * the file object was opened by for deletion, and zero takes the mark back
 * (a delete-on-close open keeps its own); a read-only file refuses with
 * STATUS_CANNOT_DELETE unless FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE is
 * given on a file object that may write attributes; a directory with
 * entries refuses with STATUS_DIRECTORY_NOT_EMPTY; FILE_DISPOSITION_ON_CLOSE
 * on a file object not opened FILE_DELETE_ON_CLOSE is STATUS_NOT_SUPPORTED,
 * as are undefined flag bits.  While the delete is pending, new opens
 * through that name fail with STATUS_DELETE_PENDING.  The name goes when
 * the last handle opened through it is cleaned up ([MS-FSA], closing an
 * Open: when "no other Open uses that Link"); with
 * FILE_DISPOSITION_POSIX_SEMANTICS it goes as soon as the handle that asked
 * is cleaned up, and other handles keep reading and writing the file until
 * their own cleanup (the same section).
 * The file itself goes with its last name and last handle, with a
 * USN_REASON_FILE_DELETE close record.
 */
#include "Ntfs.h"

using namespace emu;

namespace {

constexpr ULONG KnownFlags = FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS |
                             FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK | FILE_DISPOSITION_ON_CLOSE |
                             FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE;

/* Whether Node may be deleted through File now. */
NTSTATUS MayDelete(EmuFile *File, NtfsNode *Node, ULONG Flags)
{
    if (FirstLink(Node) == nullptr) {
        return STATUS_CANNOT_DELETE;  // the root directory (an unlinked file has nothing left to delete)
    }
    if (Node->Attributes & FILE_ATTRIBUTE_READONLY) {
        if (!(Flags & FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE) || !(File->Access & FILE_WRITE_ATTRIBUTES)) {
            return STATUS_CANNOT_DELETE;
        }
    }
    if (Node->Directory && !Node->Children.empty()) {
        return STATUS_DIRECTORY_NOT_EMPTY;
    }
    return STATUS_SUCCESS;
}

/* Removes one name of Node; the file goes when that was its last name and
   nobody has it open. */
void RemoveName(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, uint64_t LinkId)
{
    bool Others = Node->Links.size() > 1;
    if (Others) {
        NoteUsnChange(Namespace, File, Node, USN_REASON_HARD_LINK_CHANGE);
    }
    RemoveLink(Node, LinkId);
    if (Node->Unlinked && Node->Handles == 0) {
        DeleteNode(Namespace, File, Node);
    }
}

}  // namespace

namespace emu {

void DeleteNode(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node)
{
    NoteUsnChange(Namespace, File, Node, USN_REASON_FILE_DELETE);
    WriteUsnClose(Namespace, File, Node);
    Node->Data.clear();
    Node->Data.shrink_to_fit();
    Node->Clusters.clear();
}

NTSTATUS NtfsSetDisposition(IoRequest *Request)
{
    auto &Parameters = Request->Iopb.Parameters.SetFileInformation;
    EmuFile *File = Request->File;
    NtfsNode *Node = File->Node;
    ULONG Flags;
    if (Parameters.FileInformationClass == FileDispositionInformation) {
        if (Parameters.Length < sizeof(FILE_DISPOSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        Flags = ((PFILE_DISPOSITION_INFORMATION)Parameters.InfoBuffer)->DeleteFile ? FILE_DISPOSITION_DELETE
                                                                                     : FILE_DISPOSITION_DO_NOT_DELETE;
    } else {
        if (Parameters.Length < sizeof(FILE_DISPOSITION_INFORMATION_EX)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        Flags = ((PFILE_DISPOSITION_INFORMATION_EX)Parameters.InfoBuffer)->Flags;
        if (Flags & ~KnownFlags) {
            return STATUS_NOT_SUPPORTED;
        }
    }
    if (!(File->Access & DELETE)) {
        return STATUS_ACCESS_DENIED;
    }
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (Flags & FILE_DISPOSITION_ON_CLOSE) {
        /* The delete-on-close of the open itself is set or taken back. */
        if (!File->DeleteOnClose && !(File->Options & FILE_DELETE_ON_CLOSE)) {
            return STATUS_NOT_SUPPORTED;
        }
        if (Flags & FILE_DISPOSITION_DELETE) {
            NTSTATUS Status = MayDelete(File, Node, Flags);
            if (!NT_SUCCESS(Status)) {
                return Status;
            }
        }
        File->DeleteOnClose = (Flags & FILE_DISPOSITION_DELETE) != 0;
        return STATUS_SUCCESS;
    }
    if (!(Flags & FILE_DISPOSITION_DELETE)) {
        Node->DeletePendingLink = 0;
        File->PosixDelete = false;
        File->File.DeletePending = FALSE;
        return STATUS_SUCCESS;
    }
    NTSTATUS Status = MayDelete(File, Node, Flags);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Node->DeletePendingLink = LinkOf(File)->Id;
    File->PosixDelete = (Flags & FILE_DISPOSITION_POSIX_SEMANTICS) != 0;
    File->File.DeletePending = TRUE;
    return STATUS_SUCCESS;
}

void CleanupDisposition(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node)
{
    if (File->DeleteOnClose && FirstLink(Node) != nullptr && NT_SUCCESS(MayDelete(File, Node, 0))) {
        Node->DeletePendingLink = LinkOf(File)->Id;  // a delete-on-close open marks its link at cleanup
    }
    if (File->PosixDelete && Node->DeletePendingLink != 0) {
        RemoveName(Namespace, File, Node, Node->DeletePendingLink);
        return;
    }
    NtfsLink *Pending = FindLink(Node, Node->DeletePendingLink);
    if (Pending != nullptr && Pending->Handles == 0) {
        RemoveName(Namespace, File, Node, Pending->Id);  // nobody uses the deleted name any more
    } else if (Node->Unlinked && Node->Handles == 0) {
        DeleteNode(Namespace, File, Node);  // its names went while it was open (POSIX delete or replace)
    }
}

}  // namespace emu
