/*
 * Runtime.cpp - bug checks, emulated thread state, the clock, the debugger,
 * the version table and callback scopes.
 */
#include "Runtime.h"

#include <cstdio>

namespace emu {

std::string Narrow(const WCHAR *Text, size_t Units)
{
    std::string Out;
    for (size_t Index = 0; Index < Units; Index += 1) {
        uint32_t Code = (uint16_t)Text[Index];
        if (Code < 0x80) {
            Out += (char)Code;
        } else if (Code < 0x800) {
            Out += (char)(0xC0 | (Code >> 6));
            Out += (char)(0x80 | (Code & 0x3F));
        } else {
            Out += (char)(0xE0 | (Code >> 12));
            Out += (char)(0x80 | ((Code >> 6) & 0x3F));
            Out += (char)(0x80 | (Code & 0x3F));
        }
    }
    return Out;
}

std::string Narrow(const std::u16string &Text)
{
    return Narrow((const WCHAR *)Text.data(), Text.size());
}

void RaiseBugCheck(ULONG Code, ULONG_PTR Parameter1, std::string Reason)
{
    char Header[96];
    snprintf(Header, sizeof(Header), "bug check 0x%X (0x%llX): ", Code, (unsigned long long)Parameter1);
    TheVerifier().Report(std::string(Header) + Reason);
    throw BugCheck{Code, Parameter1, Reason};
}

uint64_t NewThreadId();

namespace {

/* Trivially destructible, so it stays readable after the thread's other
   thread-local objects are gone. */
thread_local bool ThreadStateGone = false;

struct ThreadStateHolder {
    ThreadState State;
    ~ThreadStateHolder() { ThreadStateGone = true; }
};

}  // namespace

ThreadState &CurrentThread()
{
    if (ThreadStateGone) {
        /* Exit handlers run after the exiting thread's thread-local state
           was destroyed: they get a state of their own. */
        static ThreadState *Exiting = new ThreadState();
        if (Exiting->ThreadId == 0) {
            Exiting->ThreadId = NewThreadId();
        }
        return *Exiting;
    }
    thread_local ThreadStateHolder Holder;
    if (Holder.State.ThreadId == 0) {
        Holder.State.ThreadId = NewThreadId();
    }
    return Holder.State;
}

std::mutex &DispatcherLock()
{
    static std::mutex Lock;
    return Lock;
}

std::condition_variable &DispatcherCondition()
{
    static std::condition_variable Condition;
    return Condition;
}

LONGLONG Clock::Now() const
{
    return Time.load();
}

void Clock::Advance(LONGLONG Units100ns)
{
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Time.fetch_add(Units100ns);
    }
    DispatcherCondition().notify_all();
}

void Clock::Set(LONGLONG SystemTime)
{
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
        Time.store(SystemTime);
    }
    DispatcherCondition().notify_all();
}

Clock &TheClock()
{
    static Clock Instance;
    return Instance;
}

void Debugger::Print(ULONG ComponentId, ULONG Level, std::string Text)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    if (Echo) {
        fputs(Text.c_str(), stderr);
    }
    Lines.push_back(DebugLine{ComponentId, Level, std::move(Text)});
}

void Debugger::Break()
{
    std::function<void()> Current;
    {
        std::lock_guard<std::mutex> Guard(Mutex);
        Breaks += 1;
        Current = Hook;
    }
    if (Current) {
        Current();
    }
}

std::vector<DebugLine> Debugger::Output() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Lines;
}

std::string Debugger::OutputText() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    std::string All;
    for (const auto &Line : Lines) {
        All += Line.Text;
    }
    return All;
}

uint64_t Debugger::BreakpointCount() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Breaks;
}

void Debugger::SetBreakHook(std::function<void()> NewHook)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Hook = std::move(NewHook);
}

void Debugger::Clear()
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Lines.clear();
    Breaks = 0;
    Hook = nullptr;
}

void Debugger::SetEcho(bool NewEcho)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Echo = NewEcho;
}

Debugger &TheDebugger()
{
    static Debugger Instance;
    return Instance;
}

OsVersion &TheOsVersion()
{
    static OsVersion Instance;
    return Instance;
}

CallbackScope::CallbackScope(const char *Callback) : Name(Callback), SavedInjectionDepth(InjectionDepth())
{
    ThreadState &Thread = CurrentThread();
    /* Driver code: its calls count for the global failure rule again, even
       when an injectable routine called it back. */
    InjectionDepth() = 0;
    Irql = Thread.Irql;
    CriticalRegionDepth = Thread.CriticalRegionDepth;
    OwnedResources = Thread.OwnedResources.size();
}

CallbackScope::~CallbackScope()
{
    ThreadState &Thread = CurrentThread();
    InjectionDepth() = SavedInjectionDepth;
    if (Thread.Irql != Irql) {
        TheVerifier().Report(std::string(Name) + " returned at IRQL " + std::to_string(Thread.Irql) +
                             ", entered at " + std::to_string(Irql));
    }
    if (Thread.CriticalRegionDepth != CriticalRegionDepth) {
        TheVerifier().Report(std::string(Name) + " returned with its critical-region depth changed from " +
                             std::to_string(CriticalRegionDepth) + " to " +
                             std::to_string(Thread.CriticalRegionDepth));
    }
    if (Thread.OwnedResources.size() != OwnedResources) {
        TheVerifier().Report(std::string(Name) + " returned holding " +
                             std::to_string(Thread.OwnedResources.size() - OwnedResources) +
                             " more executive resource(s) than at entry");
    }
}

void ResetRuntime()
{
    TheVerifier().Reset();
    TheFaults().Clear();
    TheDebugger().Clear();
    TheLockOrder().Reset();
    TheOsVersion() = OsVersion{};
    ThreadState &Thread = CurrentThread();
    Thread.Irql = PASSIVE_LEVEL;
    Thread.CriticalRegionDepth = 0;
    Thread.OwnedResources.clear();
    Thread.HeldLocks.clear();
    Thread.TopLevelIrp = nullptr;
    Thread.Alerted = false;
    Thread.UserApcPending = false;
    Thread.Terminating = false;
}

}  // namespace emu
