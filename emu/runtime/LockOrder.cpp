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
#include <elf.h>
#include <execinfo.h>
#include <link.h>
#include <unistd.h>

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

namespace {

/* Runs llvm-symbolizer (addr2line where it is missing) once over Offsets
   in Module; returns "at dir/File:Line" per offset, or empty strings where
   it knows nothing. */
std::vector<std::string> SourceLines(const std::string &Module, const std::vector<uintptr_t> &Offsets)
{
    std::vector<std::string> Lines(Offsets.size());
    if (Module.find('\'') != std::string::npos) {
        return Lines;
    }
    std::string Arguments = " -f -C -e '" + Module + "'";
    for (uintptr_t Offset : Offsets) {
        char Text[32];
        snprintf(Text, sizeof(Text), " 0x%zx", (size_t)Offset);
        Arguments += Text;
    }
    /* Both print a function line and a file:line line per address. */
    std::string Command = "if command -v llvm-symbolizer >/dev/null; then llvm-symbolizer --output-style=GNU "
                          "--no-inlines" + Arguments + "; else addr2line" + Arguments + "; fi 2>/dev/null";
    FILE *Output = popen(Command.c_str(), "r");
    if (Output == nullptr) {
        return Lines;
    }
    char Function[4096];
    char Location[4096];
    for (size_t Index = 0; Index < Offsets.size(); Index += 1) {
        if (fgets(Function, sizeof(Function), Output) == nullptr ||
            fgets(Location, sizeof(Location), Output) == nullptr) {
            break;
        }
        std::string Where = Location;
        Where = Where.substr(0, Where.find_first_of(" \n"));
        bool Unknown = Where.empty() || Where[0] == '?' || Where.find(":?") != std::string::npos ||
                       (Where.size() >= 2 && Where.compare(Where.size() - 2, 2, ":0") == 0);
        if (Unknown) {
            continue;
        }
        /* The last two path components name a file well enough. */
        size_t Slash = Where.rfind('/');
        if (Slash != std::string::npos && Slash > 0) {
            size_t Parent = Where.rfind('/', Slash - 1);
            if (Parent != std::string::npos) {
                Where.erase(0, Parent + 1);
            }
        }
        Lines[Index] = "at " + Where;
    }
    pclose(Output);
    return Lines;
}

}  // namespace

std::vector<std::string> SymboliseFrames(const std::vector<const void *> &ReturnAddresses)
{
    std::vector<std::string> Lines;
    struct Frames {
        std::vector<size_t> Indexes;
        std::vector<uintptr_t> Offsets;
    };
    std::map<std::string, Frames> ByModule;
    for (const void *Address : ReturnAddresses) {
        Lines.push_back(Symbolise(Address, true));
        /* A return address may be the first byte after its call. */
        uintptr_t Lookup = (uintptr_t)Address - 1;
        Dl_info Info{};
        if (dladdr((const void *)Lookup, &Info) == 0 || Info.dli_fname == nullptr || Info.dli_fbase == nullptr) {
            continue;
        }
        auto Header = (const ElfW(Ehdr) *)Info.dli_fbase;
        uintptr_t Offset = Header->e_type == ET_DYN ? Lookup - (uintptr_t)Info.dli_fbase : Lookup;
        std::string Module = Info.dli_fname;
        if (Module.rfind("/lib", 0) == 0 || Module.rfind("/usr/lib", 0) == 0) {
            continue;  // the system's libraries: their names are enough
        }
        if (Module.empty() || access(Module.c_str(), R_OK) != 0) {
            Module = "/proc/self/exe";
        }
        Frames &Entry = ByModule[Module];
        Entry.Indexes.push_back(Lines.size() - 1);
        Entry.Offsets.push_back(Offset);
    }
    for (const auto &Module : ByModule) {
        std::vector<std::string> Sources = SourceLines(Module.first, Module.second.Offsets);
        for (size_t Index = 0; Index < Sources.size(); Index += 1) {
            if (!Sources[Index].empty()) {
                Lines[Module.second.Indexes[Index]] += " " + Sources[Index];
            }
        }
    }
    return Lines;
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
    AcquisitionCount.fetch_add(1, std::memory_order_relaxed);
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
    if (CanWait) {
        CheckDeclaredOrder(Thread.HeldLocks, Entry);
    }
    Cycle Found;
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
            if (Found.Steps.empty() &&
                FindCycle(Entry.Node, Held.Node, Recorded.ThenExclusive, Recorded.FirstExclusive, Path)) {
                Found = DescribeCycle(Path);
            }
        }
    }
    Thread.HeldLocks.push_back(Entry);
    if (!Found.Steps.empty()) {
        TheVerifier().Report(FormatCycle(Found));
    }
    return false;
}

void LockOrderChecker::DeclareOrder(DeclaredLockOrder Order)
{
    std::shared_ptr<const DeclaredLockOrder> Replacement;
    if (Order.Classify) {
        Replacement = std::make_shared<const DeclaredLockOrder>(std::move(Order));
    }
    std::lock_guard<std::mutex> Guard(Mutex);
    Declared = std::move(Replacement);
}

/* Classifies the lock being taken and reports it when a lock the thread
   holds forbids it: one of the same or a later class, or an Alone class on
   either side. */
void LockOrderChecker::CheckDeclaredOrder(const std::vector<HeldLock> &Held, HeldLock &Entry)
{
    std::shared_ptr<const DeclaredLockOrder> Order;
    {
        std::lock_guard<std::mutex> Guard(Mutex);
        Order = Declared;
    }
    if (!Order) {
        return;
    }
    int Class = Order->Classify(Entry.Lock);
    if (Class < 0 || (size_t)Class >= Order->Classes.size()) {
        return;
    }
    Entry.Class = Class;
    for (const HeldLock &Earlier : Held) {
        if (Earlier.Class < 0) {
            continue;
        }
        const DeclaredLockOrder::LockClass &Taken = Order->Classes[(size_t)Class];
        const DeclaredLockOrder::LockClass &Holding = Order->Classes[(size_t)Earlier.Class];
        const char *Rule = nullptr;
        if (Taken.Alone || Holding.Alone) {
            Rule = "a lock taken alone meets another";
        } else if (Earlier.Class == Class) {
            Rule = "two locks of one class held at once";
        } else if (Earlier.Class > Class) {
            Rule = "taken against the declared order";
        }
        if (Rule == nullptr) {
            continue;
        }
        char Text[160];
        snprintf(Text, sizeof(Text), "declared lock order broken (%s): %s %p taken while holding %s %p\n", Rule,
                 Taken.Name.c_str(), Entry.Lock, Holding.Name.c_str(), Earlier.Lock);
        std::string Report = Text;
        for (const HeldLock *Step : {(const HeldLock *)&Entry, &Earlier}) {
            Report += Step == &Entry ? "  taken at:\n" : "  held since:\n";
            std::vector<const void *> Frames(Step->Stack.Frames, Step->Stack.Frames + Step->Stack.Depth);
            for (const std::string &Frame : SymboliseFrames(Frames)) {
                Report += "    " + Frame + "\n";
            }
        }
        TheVerifier().Report(Report);
        return;
    }
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

/* Locks holds the lock being taken, then the locks ordered after it, up to
   the held lock the thread is taking it under. */
LockOrderChecker::Cycle LockOrderChecker::DescribeCycle(const std::vector<uint64_t> &Locks) const
{
    Cycle Found;
    Found.Summary = DescribeLock(Locks.front()) + " taken while holding " + DescribeLock(Locks.back()) + ", but ";
    for (size_t Index = 0; Index + 1 < Locks.size(); Index += 1) {
        Found.Summary += (Index == 0 ? "" : ", then ") + DescribeLock(Locks[Index + 1]) +
                         " was taken while holding " + DescribeLock(Locks[Index]);
    }
    /* Every order on the cycle, the new one first. */
    for (size_t Index = 0; Index < Locks.size(); Index += 1) {
        uint64_t First = Locks[(Index + Locks.size() - 1) % Locks.size()];
        uint64_t Then = Locks[Index];
        const Order &Recorded = Nodes.at(First).Out.at(Then);
        Found.Steps.push_back(
            CycleStep{DescribeLock(First), DescribeLock(Then), Recorded.ThreadId, Recorded.FirstStack, Recorded.ThenStack});
    }
    return Found;
}

std::string LockOrderChecker::FormatCycle(const Cycle &Found)
{
    std::vector<const void *> Addresses;
    for (const CycleStep &Step : Found.Steps) {
        for (const AcquisitionStack *Stack : {&Step.FirstStack, &Step.ThenStack}) {
            Addresses.insert(Addresses.end(), Stack->Frames, Stack->Frames + Stack->Depth);
        }
    }
    std::vector<std::string> Symbols = SymboliseFrames(Addresses);
    size_t Next = 0;
    auto Frames = [&Symbols, &Next](const AcquisitionStack &Stack) {
        std::string Text;
        for (int Index = 0; Index < Stack.Depth; Index += 1) {
            Text += "      " + Symbols[Next++] + "\n";
        }
        return Stack.Depth == 0 ? std::string("      (no stack)\n") : Text;
    };
    std::string Text =
        "lock order inversion (possible deadlock; Driver Verifier stops with 0xC4, 0x1001): " + Found.Summary + "\n";
    for (const CycleStep &Step : Found.Steps) {
        Text += "  thread " + std::to_string(Step.ThreadId) + " took " + Step.Then + " while holding " + Step.First + "\n";
        Text += "    " + Step.First + " acquired at:\n" + Frames(Step.FirstStack);
        Text += "    " + Step.Then + " acquired at:\n" + Frames(Step.ThenStack);
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
    Declared.reset();
}

LockOrderChecker &TheLockOrder()
{
    static LockOrderChecker Instance;
    return Instance;
}

}  // namespace emu
