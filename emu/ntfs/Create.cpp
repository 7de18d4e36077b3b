/*
 * Create.cpp - IRP_MJ_CREATE: names (case-insensitive, case-preserving),
 * dispositions, directory and non-directory options, share access as
 * IoCheckShareAccess keeps it, and reparse points.
 *
 * Opening a file that carries a reparse point returns STATUS_REPARSE with
 * the tag in the information field, unless the open asks for the reparse
 * point itself (FILE_OPEN_REPARSE_POINT) or its open-reparse list (the ECP
 * of type ECP_TYPE_OPEN_REPARSE_GUID, "OPEN_REPARSE_LIST_ENTRY structure")
 * has an entry for the tag, and for a non-Microsoft tag its GUID: then the
 * file opens and the entry gets OPEN_REPARSE_POINT_TAG_ENCOUNTERED.
 * Reparse points on directories along the path are not looked at.
 *
 * An open with SL_OPEN_TARGET_DIRECTORY (the I/O manager's open of a
 * rename's or link's target) opens the directory the final component would
 * be in and says in the information field whether that component exists
 * (FILE_EXISTS, FILE_DOES_NOT_EXIST), as "IRP_MJ_CREATE" in the file-system
 * documentation describes.  A file with a delete pending refuses new opens
 * with STATUS_DELETE_PENDING ("FILE_DISPOSITION_INFORMATION").
 * FILE_DELETE_ON_CLOSE needs DELETE access (else STATUS_INVALID_PARAMETER;
 * "Delete on close" in the file-system documentation) and refuses a
 * read-only file with STATUS_CANNOT_DELETE ([MS-FSA] 2.1.5.1.2.1,
 * "Algorithm to Check Access to an Existing File"); the file object
 * deletes the file at its cleanup.  A new file made with the atomic-create
 * extra create parameter gets what it asks for in the same step
 * (AtomicCreate.cpp).
 */
#include "Ntfs.h"

using namespace emu;

namespace {

/* Finds the open-reparse entry of the create that matches Node's reparse
   point and marks it. */
bool OpenReparseAllows(IoRequest *Request, NtfsNode *Node)
{
    PVOID Context = NULL;
    if (Request->EcpList == NULL ||
        !NT_SUCCESS(FltFindExtraCreateParameter(NULL, Request->EcpList, &EcpTypeOpenReparse, &Context, NULL))) {
        return false;
    }
    auto List = (POPEN_REPARSE_LIST)Context;
    for (PLIST_ENTRY Link = List->OpenReparseList.Flink; Link != &List->OpenReparseList; Link = Link->Flink) {
        auto Entry = CONTAINING_RECORD(Link, OPEN_REPARSE_LIST_ENTRY, OpenReparseListEntry);
        if (Entry->ReparseTag != Node->ReparseTag) {
            continue;
        }
        if (!IsReparseTagMicrosoft(Node->ReparseTag) &&
            memcmp(&Entry->ReparseGuid, &Node->ReparseGuid, sizeof(GUID)) != 0) {
            continue;
        }
        Entry->Flags |= OPEN_REPARSE_POINT_TAG_ENCOUNTERED;
        return true;
    }
    return false;
}

/* IoCheckShareAccess: may an open with Access and Share join the opens
   already on Node? */
bool ShareAccessAllows(const NtfsNode *Node, ACCESS_MASK Access, ULONG Share)
{
    bool Read = Access & (FILE_READ_DATA | FILE_EXECUTE);
    bool Write = Access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool Delete = Access & DELETE;
    if (!Read && !Write && !Delete) {
        return true;
    }
    if ((Read && Node->SharedRead < Node->OpenCount) || (Write && Node->SharedWrite < Node->OpenCount) ||
        (Delete && Node->SharedDelete < Node->OpenCount)) {
        return false;
    }
    if ((Node->Readers != 0 && !(Share & FILE_SHARE_READ)) || (Node->Writers != 0 && !(Share & FILE_SHARE_WRITE)) ||
        (Node->Deleters != 0 && !(Share & FILE_SHARE_DELETE))) {
        return false;
    }
    return true;
}

void AddShareAccess(NtfsNode *Node, ACCESS_MASK Access, ULONG Share)
{
    bool Read = Access & (FILE_READ_DATA | FILE_EXECUTE);
    bool Write = Access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    bool Delete = Access & DELETE;
    if (!Read && !Write && !Delete) {
        return;
    }
    Node->OpenCount += 1;
    Node->Readers += Read;
    Node->Writers += Write;
    Node->Deleters += Delete;
    Node->SharedRead += (Share & FILE_SHARE_READ) != 0;
    Node->SharedWrite += (Share & FILE_SHARE_WRITE) != 0;
    Node->SharedDelete += (Share & FILE_SHARE_DELETE) != 0;
}

std::vector<std::u16string> SplitPath(const std::u16string &Path)
{
    std::vector<std::u16string> Parts;
    std::u16string Current;
    for (char16_t Character : Path) {
        if (Character == u'\\') {
            if (!Current.empty()) {
                Parts.push_back(Current);
            }
            Current.clear();
        } else {
            Current += Character;
        }
    }
    if (!Current.empty()) {
        Parts.push_back(Current);
    }
    return Parts;
}

/* The file system's part of a create, under the namespace lock. */
NTSTATUS FileSystemCreate(IoRequest *Request, _FLT_VOLUME *Volume, const std::u16string &Path, ACCESS_MASK Access,
                          ULONG Attributes, ULONG Share, ULONG Disposition, ULONG Options, NtfsNode **Opened,
                          uint64_t *LinkId, ULONG_PTR *Information)
{
    NtfsVolume *Namespace = NamespaceOf(Volume);
    std::vector<std::u16string> Parts = SplitPath(Path);
    NtfsNode *Directory = &Namespace->Root;
    for (size_t Index = 0; Index + 1 < Parts.size(); Index += 1) {
        NtfsNode *Found = Lookup(Directory, Parts[Index]);
        if (Found == nullptr || !Found->Directory) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        Directory = Found;
    }
    if (Request->Iopb.OperationFlags & SL_OPEN_TARGET_DIRECTORY) {
        if (Parts.empty() || !ValidName(Parts.back())) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        if (Directory->DeletePendingLink != 0 && FirstLink(Directory) != nullptr &&
            Directory->DeletePendingLink == FirstLink(Directory)->Id) {
            return STATUS_DELETE_PENDING;
        }
        if (!ShareAccessAllows(Directory, Access, Share)) {
            return STATUS_SHARING_VIOLATION;
        }
        *Information = Lookup(Directory, Parts.back()) != nullptr ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
        AddShareAccess(Directory, Access, Share);
        Directory->References += 1;
        Directory->Handles += 1;
        *Opened = Directory;
        *LinkId = 0;
        if (NtfsLink *Link = FirstLink(Directory)) {
            *LinkId = Link->Id;
            Link->Handles += 1;
        }
        return STATUS_SUCCESS;
    }
    if ((Options & FILE_DELETE_ON_CLOSE) && !(Access & DELETE)) {
        return STATUS_INVALID_PARAMETER;
    }
    NtfsNode *Node = nullptr;
    if (Parts.empty()) {
        Node = &Namespace->Root;
    } else {
        Node = Lookup(Directory, Parts.back());
        if (Node == nullptr && !ValidName(Parts.back())) {
            return STATUS_OBJECT_NAME_INVALID;
        }
    }
    if (Node == nullptr) {
        if (Disposition == FILE_OPEN || Disposition == FILE_OVERWRITE) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        PATOMIC_CREATE_ECP_CONTEXT Atomic = nullptr;
        NTSTATUS Checked = FindAtomicCreate(Request, &Atomic);
        if (!NT_SUCCESS(Checked)) {
            return Checked;
        }
        auto Created = std::make_unique<NtfsNode>();
        Created->Directory = (Options & FILE_DIRECTORY_FILE) != 0;
        Created->FileId = Namespace->NextFileId++;
        Created->Attributes = Created->Directory ? FILE_ATTRIBUTE_DIRECTORY
                                                 : ((Attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_ARCHIVE);
        LONGLONG Now = TheClock().Now();
        Created->CreationTime = Created->LastAccessTime = Created->LastWriteTime = Created->ChangeTime = Now;
        Node = Created.get();
        Namespace->Nodes.push_back(std::move(Created));
        *LinkId = AddLink(Namespace, Node, Directory, Parts.back())->Id;
        *Information = FILE_CREATED;
        if (Atomic != nullptr) {
            ApplyAtomicCreate(Namespace, Request->File, Node, Atomic);  // still under the namespace lock
        } else {
            NoteUsnChange(Namespace, nullptr, Node, USN_REASON_FILE_CREATE);
        }
    } else {
        if (Disposition == FILE_CREATE) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        for (const NtfsLink &Link : Node->Links) {
            if (Link.Parent == Directory && Upcase(Link.Name) == Upcase(Parts.back())) {
                *LinkId = Link.Id;
            }
        }
        if (Node->DeletePendingLink != 0 && Node->DeletePendingLink == *LinkId) {
            return STATUS_DELETE_PENDING;  // opens through the name being deleted
        }
        if (Node->HasReparsePoint && !(Options & FILE_OPEN_REPARSE_POINT) && !OpenReparseAllows(Request, Node)) {
            *Information = Node->ReparseTag;
            return STATUS_REPARSE;
        }
        if (Node->Directory && (Options & FILE_NON_DIRECTORY_FILE)) {
            return STATUS_FILE_IS_A_DIRECTORY;
        }
        if (!Node->Directory && (Options & FILE_DIRECTORY_FILE)) {
            return STATUS_NOT_A_DIRECTORY;
        }
        if (Node->Directory && Disposition != FILE_OPEN && Disposition != FILE_OPEN_IF) {
            return STATUS_INVALID_PARAMETER;
        }
        if (!ShareAccessAllows(Node, Access, Share)) {
            return STATUS_SHARING_VIOLATION;
        }
        if ((Options & FILE_DELETE_ON_CLOSE) && (Node->Attributes & FILE_ATTRIBUTE_READONLY)) {
            return STATUS_CANNOT_DELETE;
        }
        *Information = FILE_OPENED;
        if (Disposition == FILE_SUPERSEDE || Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF) {
            if (!Node->Data.empty()) {
                NoteUsnChange(Namespace, nullptr, Node, USN_REASON_DATA_TRUNCATION);
            }
            Node->Data.clear();
            Node->ValidDataLength = 0;
            Node->Clusters.clear();
            *Information = Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
    }
    AddShareAccess(Node, Access, Share);
    Node->References += 1;
    Node->Handles += 1;
    if (NtfsLink *Link = FindLink(Node, *LinkId)) {
        Link->Handles += 1;
    }
    *Opened = Node;
    return STATUS_SUCCESS;
}

}  // namespace

namespace emu {

NTSTATUS NtfsCreate(IoRequest *Request)
{
    EmuFile *File = Request->File;
    auto &Create = Request->Iopb.Parameters.Create;
    ULONG Disposition = Create.Options >> 24;
    ULONG Options = Create.Options & 0x00FFFFFF;
    NtfsNode *Node = nullptr;
    uint64_t LinkId = 0;
    ULONG_PTR Information = 0;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    NTSTATUS Status;
    {
        std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
        Status = FileSystemCreate(Request, File->Volume, *File->OpenedName, Create.SecurityContext->DesiredAccess,
                                  Create.FileAttributes, Create.ShareAccess, Disposition, Options, &Node, &LinkId,
                                  &Information);
    }
    Request->Data.IoStatus.Information = Information;
    if (NT_SUCCESS(Status) && Status != STATUS_REPARSE) {
        File->Node = Node;
        File->LinkId = LinkId;
        File->DeleteOnClose = (Options & FILE_DELETE_ON_CLOSE) != 0;
        File->File.FsContext = Node;
    }
    return Status;
}

}  // namespace emu
