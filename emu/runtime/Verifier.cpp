/*
 * Verifier.cpp - accounting of pool, objects and misuse reports, and failure
 * injection.
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

void FaultInjector::Arm(const std::string &Routine, NTSTATUS Status, uint64_t Nth, bool Every)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Rules[Routine] = Rule{Status, Nth == 0 ? 1 : Nth, Every};
}

void FaultInjector::Disarm(const std::string &Routine)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Rules.erase(Routine);
}

void FaultInjector::Clear()
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Rules.clear();
    CallCounts.clear();
}

bool FaultInjector::ShouldFail(const char *Routine, NTSTATUS *Status)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    CallCounts[Routine] += 1;
    auto Found = Rules.find(Routine);
    if (Found == Rules.end()) {
        return false;
    }
    Rule &Current = Found->second;
    Current.Seen += 1;
    bool Fire = Current.Every ? Current.Seen >= Current.Nth : Current.Seen == Current.Nth;
    if (Fire) {
        Current.Fired += 1;
        *Status = Current.Status;
    }
    return Fire;
}

uint64_t FaultInjector::Calls(const std::string &Routine) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Found = CallCounts.find(Routine);
    return Found == CallCounts.end() ? 0 : Found->second;
}

uint64_t FaultInjector::Injected(const std::string &Routine) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Found = Rules.find(Routine);
    return Found == Rules.end() ? 0 : Found->second.Fired;
}

FaultInjector &TheFaults()
{
    static FaultInjector Instance;
    return Instance;
}

}  // namespace emu
