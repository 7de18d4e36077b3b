/*
 * Verifier.cpp - accounting of pool, objects and misuse reports (failure
 * injection is in Faults.cpp).
 */
#include "Runtime.h"

#include <cstdio>

namespace emu {

std::string TagToString(ULONG Tag)
{
    std::string Text;
    for (int Index = 0; Index < 4; Index += 1) {
        char Character = (char)((Tag >> (8 * Index)) & 0xFF);
        Text += (Character >= 0x20 && Character < 0x7F) ? Character : '?';
    }
    return Text;
}

void Verifier::OnPoolAllocate(void *Block, SIZE_T Size, ULONG Tag, POOL_TYPE Type)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Pool[Block] = PoolBlock{Size, Tag, Type};
    PoolTagUsage &Usage = Tags[Tag];
    Usage.Allocations += 1;
    Usage.OutstandingBlocks += 1;
    Usage.OutstandingBytes += Size;
    Usage.TypesUsed.insert(Type);
}

bool Verifier::OnPoolFree(void *Block, ULONG ExpectedTag, bool CheckTag, PoolBlock *Freed, std::string *Problem)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Found = Pool.find(Block);
    if (Found == Pool.end()) {
        char Text[96];
        snprintf(Text, sizeof(Text), "free of %p, which is not an allocated pool block", Block);
        *Problem = Text;
        return false;
    }
    if (CheckTag && Found->second.Tag != ExpectedTag) {
        *Problem = "pool block tagged '" + TagToString(Found->second.Tag) + "' freed with tag '" +
                   TagToString(ExpectedTag) + "'";
    }
    *Freed = Found->second;
    PoolTagUsage &Usage = Tags[Found->second.Tag];
    Usage.Frees += 1;
    Usage.OutstandingBlocks -= 1;
    Usage.OutstandingBytes -= Found->second.Size;
    Pool.erase(Found);
    return true;
}

std::map<ULONG, PoolTagUsage> Verifier::PoolByTag() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Tags;
}

POOL_TYPE Verifier::PoolTypeOf(void *Block) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Found = Pool.find(Block);
    return Found == Pool.end() ? MaxPoolType : Found->second.Type;
}

bool Verifier::FindPoolBlock(void *Block, PoolBlock *Found) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Entry = Pool.find(Block);
    if (Entry == Pool.end()) {
        return false;
    }
    *Found = Entry->second;
    return true;
}

bool Verifier::IsPoolAddress(const void *Address, SIZE_T Length) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Begin = (const char *)Address;
    auto Next = Pool.upper_bound((void *)Address);
    if (Next != Pool.begin()) {
        auto Previous = std::prev(Next);
        if ((const char *)Previous->first + Previous->second.Size > Begin) {
            return true;
        }
    }
    return Next != Pool.end() && (const char *)Next->first < Begin + Length;
}

bool Verifier::PoolTagAt(const void *Address, ULONG *Tag) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Next = Pool.upper_bound((void *)Address);
    if (Next == Pool.begin()) {
        return false;
    }
    auto Previous = std::prev(Next);
    if ((const char *)Address >= (const char *)Previous->first + Previous->second.Size) {
        return false;
    }
    *Tag = Previous->second.Tag;
    return true;
}

POOL_TYPE Verifier::PoolTypeAt(const void *Address) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Next = Pool.upper_bound((void *)Address);
    if (Next == Pool.begin()) {
        return MaxPoolType;
    }
    auto Previous = std::prev(Next);
    bool Inside = (const char *)Address < (const char *)Previous->first + Previous->second.Size;
    return Inside ? Previous->second.Type : MaxPoolType;
}

std::string Verifier::DescribePoolAddress(const void *Address) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Next = Pool.upper_bound((void *)Address);
    if (Next == Pool.begin()) {
        return std::string();
    }
    auto Block = std::prev(Next);
    size_t Offset = (size_t)((const char *)Address - (const char *)Block->first);
    if (Offset >= Block->second.Size) {
        return std::string();
    }
    char Text[32];
    snprintf(Text, sizeof(Text), "+0x%zx", Offset);
    return "pool block '" + TagToString(Block->second.Tag) + "'" + Text;
}

void Verifier::OnCreate(const std::string &Kind, const void *Object, std::string Description)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Objects[{Object, Kind}] = std::move(Description);
}

bool Verifier::OnDestroy(const std::string &Kind, const void *Object)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Objects.erase({Object, Kind}) != 0;
}

bool Verifier::IsLive(const std::string &Kind, const void *Object) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Objects.count({Object, Kind}) != 0;
}

size_t Verifier::LiveCount(const std::string &Kind) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    size_t Count = 0;
    for (const auto &Entry : Objects) {
        Count += Entry.first.second == Kind ? 1 : 0;
    }
    return Count;
}

std::vector<std::string> Verifier::LiveWithin(const void *Begin, SIZE_T Size) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    std::vector<std::string> Found;
    auto Start = (const char *)Begin;
    for (auto It = Objects.lower_bound({Begin, std::string()});
         It != Objects.end() && (const char *)It->first.first < Start + Size; ++It) {
        Found.push_back(It->first.second + " " + It->second);
    }
    return Found;
}

void Verifier::Report(std::string Violation)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Reports.push_back(std::move(Violation));
}

std::vector<std::string> Verifier::Violations() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Reports;
}

std::vector<std::string> Verifier::Leaks() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    std::vector<std::string> Lines;
    for (const auto &Entry : Tags) {
        if (Entry.second.OutstandingBlocks != 0) {
            Lines.push_back("pool tag '" + TagToString(Entry.first) + "': " +
                            std::to_string(Entry.second.OutstandingBlocks) + " block(s), " +
                            std::to_string(Entry.second.OutstandingBytes) + " bytes outstanding");
        }
    }
    for (const auto &Entry : Objects) {
        Lines.push_back(Entry.first.second + " still live: " + Entry.second);
    }
    for (const auto &Violation : Reports) {
        Lines.push_back("violation: " + Violation);
    }
    return Lines;
}

std::vector<std::string> Verifier::TakeReports(const std::string &Fragment)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    std::vector<std::string> Taken;
    std::vector<std::string> Kept;
    for (auto &Violation : Reports) {
        (Violation.find(Fragment) != std::string::npos ? Taken : Kept).push_back(std::move(Violation));
    }
    Reports = std::move(Kept);
    return Taken;
}

void Verifier::Reset()
{
    std::lock_guard<std::mutex> Guard(Mutex);
    for (auto &Entry : Pool) {
        free(Entry.first);
    }
    Pool.clear();
    Tags.clear();
    Objects.clear();
    Reports.clear();
}

Verifier &TheVerifier()
{
    static Verifier Instance;
    return Instance;
}

}  // namespace emu
