/*
 * Namespace.cpp - renames and deletes: FileRenameInformation(Ex) and
 * FileDispositionInformation(Ex) sets.
 *
 * A rename names its target by a volume path ("\dir\name", or
 * "\??\X:\dir\name" of the same volume) or relative to a RootDirectory
 * handle; an existing target is replaced only when asked
 * (ReplaceIfExists, FILE_RENAME_REPLACE_IF_EXISTS), never when it is a
 * directory or open ("FILE_RENAME_INFORMATION").  A disposition marks the
 * file delete-pending: new opens fail with STATUS_DELETE_PENDING and the
 * name goes with the last handle, or, with FILE_DISPOSITION_POSIX_SEMANTICS,
 * with the handle that asked, while other handles keep working
 * ("FILE_DISPOSITION_INFORMATION_EX").  A read-only file or the root cannot
 * be deleted (STATUS_CANNOT_DELETE), nor a directory that is not empty
 * (STATUS_DIRECTORY_NOT_EMPTY).
 */
#include "Ntfs.h"

using namespace emu;

namespace {

/* True when Node is Ancestor or lies below it. */
bool Within(const NtfsNode *Node, const NtfsNode *Ancestor)
{
    for (; Node != nullptr; Node = Node->Parent) {
        if (Node == Ancestor) {
            return true;
        }
    }
    return false;
}

}  // namespace

namespace emu {

NtfsNode *ParentOf(NtfsVolume *Namespace, const std::u16string &Path, std::u16string *FinalComponent)
{
    std::vector<std::u16string> Parts;
    std::u16string Current;
    for (char16_t Character : Path + u"\\") {
        if (Character != u'\\') {
            Current += Character;
        } else if (!Current.empty()) {
            Parts.push_back(Current);
            Current.clear();
        }
    }
    if (Parts.empty()) {
        return nullptr;
    }
    NtfsNode *Directory = &Namespace->Root;
    for (size_t Index = 0; Index + 1 < Parts.size(); Index += 1) {
        auto Found = Directory->Children.find(Upcase(Parts[Index]));
        if (Found == Directory->Children.end() || !Found->second->Directory) {
            return nullptr;
        }
        Directory = Found->second.get();
    }
    *FinalComponent = Parts.back();
    return Directory;
}

void Unlink(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node)
{
    if (Node->Parent == nullptr || Node->Unlinked) {
        return;
    }
    NoteUsnChange(Namespace, File, Node, USN_REASON_FILE_DELETE);
    WriteUsnClose(Namespace, File, Node);
    auto &Siblings = Node->Parent->Children;
    auto Found = Siblings.find(Upcase(Node->Name));
    Namespace->Unlinked.push_back(std::move(Found->second));
    Siblings.erase(Found);
    Node->Unlinked = true;
    Node->DeletePending = false;
}

NTSTATUS SetDisposition(IoRequest *Request, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length)
{
    ULONG Flags;
    if (Class == FileDispositionInformation) {
        if (Length < sizeof(FILE_DISPOSITION_INFORMATION)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        Flags = ((PFILE_DISPOSITION_INFORMATION)Buffer)->DeleteFile ? FILE_DISPOSITION_DELETE : 0;
    } else {
        if (Length < sizeof(FILE_DISPOSITION_INFORMATION_EX)) {
            return STATUS_INFO_LENGTH_MISMATCH;
        }
        Flags = ((PFILE_DISPOSITION_INFORMATION_EX)Buffer)->Flags;
    }
    EmuFile *File = Request->File;
    NtfsNode *Node = File->Node;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (!(Flags & FILE_DISPOSITION_DELETE)) {
        Node->DeletePending = false;
        File->PosixDelete = false;
        File->File.DeletePending = FALSE;
        return STATUS_SUCCESS;
    }
    if (Node->Parent == nullptr ||
        ((Node->Attributes & FILE_ATTRIBUTE_READONLY) && !(Flags & FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE))) {
        return STATUS_CANNOT_DELETE;
    }
    if (Node->Directory && !Node->Children.empty()) {
        return STATUS_DIRECTORY_NOT_EMPTY;
    }
    Node->DeletePending = true;
    File->PosixDelete = (Flags & FILE_DISPOSITION_POSIX_SEMANTICS) != 0;
    File->File.DeletePending = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS Rename(IoRequest *Request, FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length)
{
    if (Length < offsetof(FILE_RENAME_INFORMATION, FileName)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    auto Information = (PFILE_RENAME_INFORMATION)Buffer;
    if (offsetof(FILE_RENAME_INFORMATION, FileName) + Information->FileNameLength > Length ||
        Information->FileNameLength == 0 || Information->FileNameLength % sizeof(WCHAR) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    bool Replace = Class == FileRenameInformation ? Information->ReplaceIfExists != FALSE
                                                  : (Information->Flags & FILE_RENAME_REPLACE_IF_EXISTS) != 0;
    std::u16string Name((const char16_t *)Information->FileName, Information->FileNameLength / sizeof(WCHAR));
    EmuFile *File = Request->File;
    NtfsNode *Node = File->Node;
    NtfsVolume *Namespace = NamespaceOf(File->Volume);

    /* The target's volume path. */
    std::u16string Target;
    if (Information->RootDirectory != NULL) {
        PVOID Object = nullptr;
        ACCESS_MASK Granted = 0;
        if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), Information->RootDirectory, *IoFileObjectType, &Object,
                                          &Granted))) {
            return STATUS_INVALID_HANDLE;
        }
        EmuFile *Root = FileOf((PFILE_OBJECT)Object);
        bool SameVolume = Root->Volume == File->Volume && Root->Node != nullptr && Root->Node->Directory;
        std::u16string Base = SameVolume ? PathOf(Root->Node) : u"";
        ObfDereferenceObject(Object);
        if (!SameVolume) {
            return Root->Volume != File->Volume ? STATUS_NOT_SAME_DEVICE : STATUS_INVALID_PARAMETER;
        }
        Target = (Base == u"\\" ? u"" : Base) + u"\\" + Name;
    } else if (Name.rfind(u"\\??\\", 0) == 0 && Name.size() >= 6 && Name[5] == u':') {
        if (RtlUpcaseUnicodeChar((WCHAR)Name[4]) != File->Volume->DriveLetter) {
            return STATUS_NOT_SAME_DEVICE;
        }
        Target = Name.substr(6);
    } else {
        Target = Name;
    }
    if (Target.empty() || Target[0] != u'\\') {
        return STATUS_OBJECT_NAME_INVALID;
    }

    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    if (Node->Parent == nullptr || Node->Unlinked) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string Final;
    NtfsNode *Directory = ParentOf(Namespace, Target, &Final);
    if (Directory == nullptr) {
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    if (!ValidName(Final)) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (Node->Directory && Within(Directory, Node)) {
        return STATUS_INVALID_PARAMETER;  // a directory into itself
    }
    auto Existing = Directory->Children.find(Upcase(Final));
    if (Existing != Directory->Children.end() && Existing->second.get() != Node) {
        NtfsNode *Victim = Existing->second.get();
        if (!Replace) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
        if (Victim->Directory || Victim->Handles != 0) {
            return STATUS_ACCESS_DENIED;
        }
        Unlink(Namespace, nullptr, Victim);
    }
    /* Every rename journals its old and its new name. */
    Node->UsnReasons &= ~(ULONG)(USN_REASON_RENAME_OLD_NAME | USN_REASON_RENAME_NEW_NAME);
    NoteUsnChange(Namespace, File, Node, USN_REASON_RENAME_OLD_NAME);
    auto &Siblings = Node->Parent->Children;
    auto Source = Siblings.find(Upcase(Node->Name));
    std::unique_ptr<NtfsNode> Moving = std::move(Source->second);
    Siblings.erase(Source);
    Node->Name = Final;
    Node->Parent = Directory;
    Directory->Children[Upcase(Final)] = std::move(Moving);
    Touch(File, Node, false);
    NoteUsnChange(Namespace, File, Node, USN_REASON_RENAME_NEW_NAME);
    return STATUS_SUCCESS;
}

}  // namespace emu
