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
    ULONGLONG ForData = (Node->Data.size() + ClusterSize - 1) / ClusterSize * ClusterSize;
    return ForData > Node->Allocation ? ForData : Node->Allocation;
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

void FormatNtfs(NtfsVolume *Namespace)
{
    /* Windows keeps the deleted files of each user below \$Recycle.Bin at
       the root of every fixed volume, a directory with the hidden and
       system attributes, its name stored in that mixed case (shell
       behaviour, not in the file-system documentation read); programs
       meet it in any case. */
    auto RecycleBin = std::make_unique<NtfsNode>();
    RecycleBin->Directory = true;
    RecycleBin->FileId = Namespace->NextFileId++;
    RecycleBin->Attributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    AddLink(Namespace, RecycleBin.get(), &Namespace->Root, u"$Recycle.Bin");
    Namespace->Nodes.push_back(std::move(RecycleBin));
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

namespace {

std::u16string PathThrough(const NtfsLink *Link)
{
    if (Link == nullptr) {
        return u"\\";
    }
    std::u16string Path = u"\\" + Link->Name;
    for (const NtfsLink *Up = FirstLink(Link->Parent); Up != nullptr; Up = FirstLink(Up->Parent)) {
        Path = u"\\" + Up->Name + Path;
    }
    return Path;
}

}  // namespace

std::u16string PathOf(const NtfsNode *Node)
{
    return PathThrough(FirstLink(Node));
}

std::u16string PathOf(const EmuFile *File)
{
    return PathThrough(LinkOf(const_cast<EmuFile *>(File)));
}

NtfsLink *FirstLink(NtfsNode *Node)
{
    return Node == nullptr || Node->Links.empty() ? nullptr : &Node->Links.front();
}

const NtfsLink *FirstLink(const NtfsNode *Node)
{
    return Node == nullptr || Node->Links.empty() ? nullptr : &Node->Links.front();
}

NtfsLink *LinkOf(EmuFile *File)
{
    for (NtfsLink &Link : File->Node->Links) {
        if (Link.Id == File->LinkId) {
            return &Link;
        }
    }
    return FirstLink(File->Node);
}

NtfsLink *FindLink(NtfsNode *Node, uint64_t LinkId)
{
    for (NtfsLink &Link : Node->Links) {
        if (Link.Id == LinkId) {
            return &Link;
        }
    }
    return nullptr;
}

NtfsLink *AddLink(NtfsVolume *Namespace, NtfsNode *Node, NtfsNode *Directory, const std::u16string &Name)
{
    Node->Links.push_back(NtfsLink{Directory, Name, Namespace->NextLinkId++, 0});
    Directory->Children[Upcase(Name)] = Node;
    return &Node->Links.back();
}

void RemoveLink(NtfsNode *Node, uint64_t LinkId)
{
    for (auto Link = Node->Links.begin(); Link != Node->Links.end(); ++Link) {
        if (Link->Id == LinkId) {
            Node->LastName = Link->Name;
            Node->LastParentId = Link->Parent->FileId;
            Link->Parent->Children.erase(Upcase(Link->Name));
            Node->Links.erase(Link);
            break;
        }
    }
    if (Node->DeletePendingLink == LinkId) {
        Node->DeletePendingLink = 0;
    }
    Node->Unlinked = Node->Links.empty();
}

NtfsNode *Lookup(NtfsNode *Directory, const std::u16string &Name)
{
    auto Found = Directory->Children.find(Upcase(Name));
    return Found == Directory->Children.end() ? nullptr : Found->second;
}

uint64_t ParentIdOf(const NtfsNode *Node)
{
    const NtfsLink *Link = FirstLink(Node);
    if (Link != nullptr) {
        return Link->Parent->FileId;
    }
    return Node->Unlinked ? Node->LastParentId : Node->FileId;
}

bool ValidName(const std::u16string &Name)
{
    if (Name.empty() || Name == u"." || Name == u"..") {
        return false;
    }
    for (char16_t Character : Name) {
        if (Character < 0x20 || std::u16string(u"\"*/:<>?|\\").find(Character) != std::u16string::npos) {
            return false;
        }
    }
    return true;
}

bool HasOpenFilesBelow(const NtfsNode *Directory)
{
    for (const auto &[Name, Child] : Directory->Children) {
        if (Child->Handles != 0 || (Child->Directory && HasOpenFilesBelow(Child))) {
            return true;
        }
    }
    return false;
}

}  // namespace emu

namespace emu {

void FileData::resize(ULONGLONG NewSize, UCHAR)
{
    if (NewSize < Size) {
        Zero(NewSize, Size < (NewSize / ChunkSize + 1) * ChunkSize ? Size : (NewSize / ChunkSize + 1) * ChunkSize);
        Chunks.erase(Chunks.lower_bound((NewSize + ChunkSize - 1) / ChunkSize), Chunks.end());
    }
    Size = NewSize;
}

void FileData::Read(ULONGLONG Offset, ULONGLONG Count, void *Buffer) const
{
    auto Out = (PUCHAR)Buffer;
    while (Count != 0) {
        ULONGLONG Index = Offset / ChunkSize, Within = Offset % ChunkSize;
        ULONGLONG Piece = ChunkSize - Within < Count ? ChunkSize - Within : Count;
        auto Found = Chunks.find(Index);
        if (Found == Chunks.end()) {
            memset(Out, 0, Piece);
        } else {
            memcpy(Out, Found->second.get() + Within, Piece);
        }
        Out += Piece, Offset += Piece, Count -= Piece;
    }
}

void FileData::Write(ULONGLONG Offset, ULONGLONG Count, const void *Buffer)
{
    auto In = (const UCHAR *)Buffer;
    while (Count != 0) {
        ULONGLONG Index = Offset / ChunkSize, Within = Offset % ChunkSize;
        ULONGLONG Piece = ChunkSize - Within < Count ? ChunkSize - Within : Count;
        std::unique_ptr<UCHAR[]> &Chunk = Chunks[Index];
        if (!Chunk) {
            Chunk = std::make_unique<UCHAR[]>(ChunkSize);  // zeroed
        }
        memcpy(Chunk.get() + Within, In, Piece);
        In += Piece, Offset += Piece, Count -= Piece;
    }
}

void FileData::Zero(ULONGLONG Begin, ULONGLONG End)
{
    while (Begin < End) {
        ULONGLONG Index = Begin / ChunkSize, Within = Begin % ChunkSize;
        ULONGLONG Piece = ChunkSize - Within < End - Begin ? ChunkSize - Within : End - Begin;
        auto Found = Chunks.find(Index);
        if (Found != Chunks.end()) {
            if (Piece == ChunkSize) {
                Chunks.erase(Found);
            } else {
                memset(Found->second.get() + Within, 0, Piece);
            }
        }
        Begin += Piece;
    }
}

}  // namespace emu
