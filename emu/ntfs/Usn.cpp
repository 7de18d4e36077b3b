/*
 * Usn.cpp - the USN change journal: a record when a new reason appears for
 * a file, and the close record that ends the file's run of reasons
 * ("Change Journal Records" in the file-system documentation).
 */
#include "Ntfs.h"

using namespace emu;

namespace {

/* The name a record carries: the link the file object uses, or the file's
   first name; a file whose names are all gone keeps the last one. */
std::u16string NameOf(EmuFile *File, NtfsNode *Node)
{
    const NtfsLink *Link = File != nullptr && File->Node == Node ? LinkOf(File) : FirstLink(Node);
    return Link != nullptr ? Link->Name : Node->LastName;
}

}  // namespace

namespace emu {

void NoteUsnChange(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node, ULONG Reasons)
{
    if ((Node->UsnReasons | Reasons) == Node->UsnReasons) {
        return;  // NTFS writes a record only when a new reason appears
    }
    Node->UsnReasons |= Reasons;
    Namespace->Journal.push_back(UsnRecord{Namespace->NextUsn, Node->FileId, ParentIdOf(Node), Node->UsnReasons,
                                           File != nullptr ? File->UsnSourceInfo : 0, Node->Attributes,
                                           NameOf(File, Node)});
    Namespace->NextUsn += 0x60;
}

USN WriteUsnClose(NtfsVolume *Namespace, EmuFile *File, NtfsNode *Node)
{
    USN Usn = Namespace->NextUsn;
    Namespace->Journal.push_back(UsnRecord{Usn, Node->FileId, ParentIdOf(Node), Node->UsnReasons | USN_REASON_CLOSE,
                                           File != nullptr ? File->UsnSourceInfo : 0, Node->Attributes,
                                           NameOf(File, Node)});
    Namespace->NextUsn += 0x60;
    Node->UsnReasons = 0;
    return Usn;
}

std::vector<UsnRecord> ReadUsnJournal(_FLT_VOLUME *Volume)
{
    NtfsVolume *Namespace = NamespaceOf(Volume);
    std::lock_guard<std::recursive_mutex> Guard(Namespace->Lock);
    return Namespace->Journal;
}
}  // namespace emu
