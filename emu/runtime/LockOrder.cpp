/*
 * LockOrder.cpp - the lock-order graph, cycle search and reports (see
 * LockOrder.h).
 *
 * Follows Driver Verifier's Deadlock Detection: it "monitors the driver's
 * use of resources which need to be locked -- spin locks, mutexes, and fast
 * mutexes" (and ERESOURCEs), and detects "code logic that has the potential
 * to cause a deadlock at some future point": a lock hierarchy in which A is
 * taken before B somewhere and B before A (directly or through other locks)
 * elsewhere.  As !deadlock 1 shows, the report carries the stacks that were
 * active when each lock of the cycle was acquired.
 */
#include "Runtime.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>

namespace emu {

const char *LockKindName(LockKind Kind)
{
    switch (Kind) {
    case LockKind::Resource:
        return "executive resource";
    case LockKind::FastMutex:
        return "fast mutex";
    case LockKind::SpinLock:
        return "spin lock";
    }
    return "lock";
}

namespace {

/* Frames of the checker itself (CaptureStack, LockOrderChecker::Acquire)
   are left out: a stack starts at the emulated routine the driver called. */
constexpr int CheckerFrames = 2;

__attribute__((noinline)) void CaptureStack(AcquisitionStack &Stack)
{
    void *Frames[AcquisitionStack::MaxFrames + CheckerFrames];
    int Depth = backtrace(Frames, AcquisitionStack::MaxFrames + CheckerFrames);
    Stack.Depth = 0;
    for (int Index = CheckerFrames; Index < Depth; Index += 1) {
        Stack.Frames[Stack.Depth++] = Frames[Index];
    }
}

std::string Demangled(const char *Name)
{
    int Status = 0;
    char *Readable = abi::__cxa_demangle(Name, nullptr, nullptr, &Status);
    std::string Result = (Status == 0 && Readable != nullptr) ? Readable : Name;
    free(Readable);
    return Result;
}

/* "Symbol+0xOffset (module)" as far as the dynamic symbol table knows the
   address (the test and tool executables export theirs), otherwise
   "module+0xOffset" for addr2line. */
std::string Symbolise(const void *Address, bool ReturnAddress)
{
    /* A return address may be the first byte after its function. */
    const char *Lookup = (const char *)Address - (ReturnAddress ? 1 : 0);
    Dl_info Info{};
    char Text[64];
    if (dladdr(Lookup, &Info) == 0 || Info.dli_fname == nullptr) {
        snprintf(Text, sizeof(Text), "%p", Address);
        return Text;
    }
    std::string Module = Info.dli_fname;
    size_t Slash = Module.rfind('/');
    if (Slash != std::string::npos) {
        Module.erase(0, Slash + 1);
    }
    if (Info.dli_sname != nullptr && Info.dli_saddr != nullptr) {
        snprintf(Text, sizeof(Text), "+0x%zx", (size_t)((const char *)Address - (const char *)Info.dli_saddr));
        return Demangled(Info.dli_sname) + Text + " (" + Module + ")";
    }
    snprintf(Text, sizeof(Text), "+0x%zx", (size_t)((const char *)Address - (const char *)Info.dli_fbase));
    return Module + Text;
}

}  // namespace

std::string FormatStack(const AcquisitionStack &Stack, const char *Indent)
{
    std::string Text;
    for (int Index = 0; Index < Stack.Depth; Index += 1) {
        Text += Indent + Symbolise(Stack.Frames[Index], true) + "\n";
    }
    if (Stack.Depth == 0) {
        Text += std::string(Indent) + "(no stack)\n";
    }
    return Text;
}

uint64_t LockOrderChecker::NodeFor(const void *Lock, LockKind Kind)
{
    auto Found = Addresses.find(Lock);
    if (Found != Addresses.end()) {
        return Found->second;
    }
    uint64_t Id = NextNode++;
    Addresses.emplace(Lock, Id);
    Node &Created = Nodes[Id];
    Created.Address = Lock;
    Created.Kind = Kind;
    return Id;
}

bool LockOrderChecker::Acquire(const void *Lock, LockKind Kind, bool Exclusive, bool CanWait)
{
    ThreadState &Thread = CurrentThread();
    for (auto Held = Thread.HeldLocks.rbegin(); Held != Thread.HeldLocks.rend(); ++Held) {
        if (Held->Lock == Lock) {
            Held->Count += 1;
            return true;
        }
    }
    HeldLock Entry;
    Entry.Lock = Lock;
    Entry.Exclusive = Exclusive;
    Entry.Count = 1;
    CaptureStack(Entry.Stack);
    std::string Report;
    {
        std::lock_guard<std::mutex> Guard(Mutex);
        Entry.Node = NodeFor(Lock, Kind);
        for (const HeldLock &Held : Thread.HeldLocks) {
            if (!CanWait || Nodes.count(Held.Node) == 0) {
                continue;
            }
            auto Inserted = Nodes[Held.Node].Out.try_emplace(Entry.Node);
            Order &Recorded = Inserted.first->second;
            bool Changed = Inserted.second;
            if (Inserted.second) {
                Orders += 1;
                Nodes[Entry.Node].In.insert(Held.Node);
                Recorded.FirstExclusive = Held.Exclusive;
                Recorded.ThenExclusive = Exclusive;
            } else if ((Held.Exclusive && !Recorded.FirstExclusive) || (Exclusive && !Recorded.ThenExclusive)) {
                Recorded.FirstExclusive = Recorded.FirstExclusive || Held.Exclusive;
                Recorded.ThenExclusive = Recorded.ThenExclusive || Exclusive;
                Changed = true;
            }
            if (!Changed) {
                continue;
            }
            Recorded.ThreadId = Thread.ThreadId;
            Recorded.FirstStack = Held.Stack;
            Recorded.ThenStack = Entry.Stack;
            std::vector<uint64_t> Path;
            if (Report.empty() &&
                FindCycle(Entry.Node, Held.Node, Recorded.ThenExclusive, Recorded.FirstExclusive, Path)) {
                Report = DescribeCycle(Path);
            }
        }
    }
    Thread.HeldLocks.push_back(Entry);
    if (!Report.empty()) {
        TheVerifier().Report(Report);
    }
    return false;
}

void LockOrderChecker::Abandon(const void *Lock)
{
    Released(Lock);
}

void LockOrderChecker::Released(const void *Lock)
{
    auto &Held = CurrentThread().HeldLocks;
    for (size_t Index = Held.size(); Index-- > 0;) {
        if (Held[Index].Lock == Lock) {
            if (--Held[Index].Count == 0) {
                Held.erase(Held.begin() + (ptrdiff_t)Index);
            }
            return;
        }
    }
}

bool LockOrderChecker::Holds(const void *Lock) const
{
    for (const HeldLock &Held : CurrentThread().HeldLocks) {
        if (Held.Lock == Lock) {
            return true;
        }
    }
    return false;
}

/* Breadth-first search for orders leading from the lock being taken back to
   a lock the thread holds.  Each lock on the cycle must block its waiter:
   held exclusively by the order that leaves it, or wanted exclusively by the
   order that enters it.  Path receives the locks from From to To. */
bool LockOrderChecker::FindCycle(uint64_t From, uint64_t To, bool EnteredExclusive, bool LeavesExclusive,
                                 std::vector<uint64_t> &Path) const
{
    using State = std::pair<uint64_t, bool>;  // lock, entered by an exclusive want
    std::map<State, State> Parent;
    std::deque<State> Queue;
    State Start{From, EnteredExclusive};
    Parent[Start] = Start;
    Queue.push_back(Start);
    while (!Queue.empty()) {
        State Current = Queue.front();
        Queue.pop_front();
        if (Current.first == To) {
            if (!Current.second && !LeavesExclusive) {
                continue;
            }
            for (State Step = Current;; Step = Parent[Step]) {
                Path.insert(Path.begin(), Step.first);
                if (Step == Start) {
                    return true;
                }
            }
        }
        auto Found = Nodes.find(Current.first);
        if (Found == Nodes.end()) {
            continue;
        }
        for (const auto &Next : Found->second.Out) {
            if (!Current.second && !Next.second.FirstExclusive) {
                continue;  // shared after shared: this lock does not block
            }
            State Reached{Next.first, Next.second.ThenExclusive};
            /* Entered exclusively is the weaker condition; no need to come
               back entered shared. */
            if (Parent.count(Reached) != 0 || (!Reached.second && Parent.count({Reached.first, true}) != 0)) {
                continue;
            }
            Parent[Reached] = Current;
            Queue.push_back(Reached);
        }
    }
    return false;
}

std::string LockOrderChecker::DescribeLock(uint64_t Id) const
{
    const Node &Lock = Nodes.at(Id);
    char Text[64];
    snprintf(Text, sizeof(Text), " %p", Lock.Address);
    std::string Description = std::string(LockKindName(Lock.Kind)) + Text;
    Dl_info Info{};
    if (dladdr(Lock.Address, &Info) != 0 && Info.dli_sname != nullptr && Info.dli_saddr != nullptr) {
        snprintf(Text, sizeof(Text), "+0x%zx", (size_t)((const char *)Lock.Address - (const char *)Info.dli_saddr));
        Description += " (" + Demangled(Info.dli_sname) + Text + ")";
    }
    std::string Pool = TheVerifier().DescribePoolAddress(Lock.Address);
    if (!Pool.empty()) {
        Description += " (" + Pool + ")";
    }
    return Description;
}

/* Cycle holds the lock being taken, then the locks ordered after it, up to
   the held lock the thread is taking it under. */
std::string LockOrderChecker::DescribeCycle(const std::vector<uint64_t> &Cycle) const
{
    std::string Text = "lock order inversion (possible deadlock; Driver Verifier stops with 0xC4, 0x1001): " +
                       DescribeLock(Cycle.front()) + " taken while holding " + DescribeLock(Cycle.back()) +
                       ", but ";
    for (size_t Index = 0; Index + 1 < Cycle.size(); Index += 1) {
        Text += (Index == 0 ? "" : ", then ") + DescribeLock(Cycle[Index + 1]) + " was taken while holding " +
                DescribeLock(Cycle[Index]);
    }
    Text += "\n";
    /* Every order on the cycle, the new one first. */
    for (size_t Index = 0; Index < Cycle.size(); Index += 1) {
        uint64_t First = Cycle[(Index + Cycle.size() - 1) % Cycle.size()];
        uint64_t Then = Cycle[Index];
        const Order &Recorded = Nodes.at(First).Out.at(Then);
        Text += "  thread " + std::to_string(Recorded.ThreadId) + " took " + DescribeLock(Then) +
                " while holding " + DescribeLock(First) + "\n";
        Text += "    " + DescribeLock(First) + " acquired at:\n" + FormatStack(Recorded.FirstStack, "      ");
        Text += "    " + DescribeLock(Then) + " acquired at:\n" + FormatStack(Recorded.ThenStack, "      ");
    }
    return Text;
}

void LockOrderChecker::ForgetNode(uint64_t Id)
{
    auto Found = Nodes.find(Id);
    if (Found == Nodes.end()) {
        return;
    }
    for (const auto &Next : Found->second.Out) {
        auto Later = Nodes.find(Next.first);
        if (Later != Nodes.end()) {
            Later->second.In.erase(Id);
        }
    }
    Orders -= Found->second.Out.size();
    for (uint64_t Earlier : Found->second.In) {
        auto Previous = Nodes.find(Earlier);
        if (Previous != Nodes.end()) {
            Orders -= Previous->second.Out.erase(Id);
        }
    }
    Addresses.erase(Found->second.Address);
    Nodes.erase(Found);
}

void LockOrderChecker::Forget(const void *Lock)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Found = Addresses.find(Lock);
    if (Found != Addresses.end()) {
        ForgetNode(Found->second);
    }
}

void LockOrderChecker::ForgetWithin(const void *Begin, size_t Size)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    if (Addresses.empty()) {
        return;
    }
    auto Start = (const char *)Begin;
    std::vector<uint64_t> Inside;
    for (auto Entry = Addresses.lower_bound(Begin);
         Entry != Addresses.end() && (const char *)Entry->first < Start + Size; ++Entry) {
        Inside.push_back(Entry->second);
    }
    for (uint64_t Id : Inside) {
        ForgetNode(Id);
    }
}

size_t LockOrderChecker::LockCount() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Nodes.size();
}

size_t LockOrderChecker::OrderCount() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Orders;
}

bool LockOrderChecker::HasOrder(const void *First, const void *Then) const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    auto Earlier = Addresses.find(First);
    auto Later = Addresses.find(Then);
    return Earlier != Addresses.end() && Later != Addresses.end() &&
           Nodes.at(Earlier->second).Out.count(Later->second) != 0;
}

void LockOrderChecker::Reset()
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Addresses.clear();
    Nodes.clear();
    Orders = 0;
}

LockOrderChecker &TheLockOrder()
{
    static LockOrderChecker Instance;
    return Instance;
}

}  // namespace emu
