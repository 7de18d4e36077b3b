/*
 * Node.cpp - what the NTFS routines share about a file: times a change
 * touches, allocation, clusters of sparse files, names.
 */
#include "Ntfs.h"

namespace emu {

/* Updates the times a change touches, unless this file object froze them. */
void Touch(EmuFile *File, NtfsNode *Node, bool Write)
{
    LONGLONG Now = TheClock().Now();
    bool FreezeWrite = File != nullptr && File->FrozenTimes[2];
    bool FreezeChange = File != nullptr && File->FrozenTimes[3];
    if (Write && !FreezeWrite) {
        Node->LastWriteTime = Now;
    }
    if (!FreezeChange) {
        Node->ChangeTime = Now;
    }
}

ULONGLONG AllocationOf(const NtfsNode *Node)
{
    if (Node->Attributes & FILE_ATTRIBUTE_SPARSE_FILE) {
        return Node->Clusters.size() * ClusterSize;
    }
    return (Node->Data.size() + ClusterSize - 1) / ClusterSize * ClusterSize;
}

void AllocateClusters(NtfsNode *Node, ULONGLONG Begin, ULONGLONG End)
{
    for (ULONGLONG Cluster = Begin / ClusterSize; Cluster * ClusterSize < End; Cluster += 1) {
        Node->Clusters.insert(Cluster);
    }
}

void Resize(NtfsNode *Node, ULONGLONG Size)
{
    Node->Data.resize(Size, 0);
    if (Node->ValidDataLength > Size) {
        Node->ValidDataLength = Size;
    }
    for (auto Cluster = Node->Clusters.lower_bound((Size + ClusterSize - 1) / ClusterSize);
         Cluster != Node->Clusters.end();) {
        Cluster = Node->Clusters.erase(Cluster);
    }
}

bool MayWriteMetadata(EmuFile *File, KPROCESSOR_MODE Mode)
{
    return Mode == KernelMode || (File->Access & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)) != 0;
}

NtfsVolume *NamespaceOf(_FLT_VOLUME *Volume)
{
    return Volume->Namespace.get();
}

std::u16string Upcase(const std::u16string &Text)
{
    std::u16string Upper = Text;
    for (char16_t &Character : Upper) {
        Character = (char16_t)RtlUpcaseUnicodeChar((WCHAR)Character);
    }
    return Upper;
}

std::u16string PathOf(const NtfsNode *Node)
{
    if (Node->Parent == nullptr) {
        return u"\\";
    }
    std::u16string Path;
    for (const NtfsNode *Current = Node; Current->Parent != nullptr; Current = Current->Parent) {
        Path = u"\\" + Current->Name + Path;
    }
    return Path;
}

}  // namespace emu
