/*
 * Faults.cpp - failure injection: named rules, the global rule that counts
 * the calls of every injectable routine together, and the failures each
 * routine documents.
 */
#include "Runtime.h"

namespace emu {

namespace {

/* Statuses the emulated headers lack. */
constexpr NTSTATUS StatusThreadIsTerminating = (NTSTATUS)0xC000004BL;
constexpr NTSTATUS StatusDiskFull = (NTSTATUS)0xC000007FL;
constexpr NTSTATUS StatusQuotaExceeded = (NTSTATUS)0xC0000044L;

constexpr FailureSource Doc = FailureSource::Documented;

/* The failures the global rule gives each routine.  Each is a status the
   routine's Windows documentation lists (learn.microsoft.com, "Return
   value" of the routine's page) and that a correct call can still meet:
   pool running out, an instance or volume being torn down, a file system
   that does not support the request, a port whose service went away, a
   handle the service chose.  Statuses that only a wrong argument produces
   (STATUS_INVALID_PARAMETER for a bad flag, STATUS_FLT_CONTEXT_ALREADY_LINKED,
   FltInsertExtraCreateParameter's duplicate GUID) are left to the emulated
   routines' own checks, and STATUS_FLT_CONTEXT_ALREADY_DEFINED, which
   hands back the context already set, is produced by real races only: an
   injected one would come without that context.  The RTL security-
   descriptor routines document argument errors only and are not listed.

   FltQueryInformationFile, FltSetInformationFile, FltFsControlFile,
   FltTagFile and FltUntagFile name no status ("STATUS_SUCCESS or an
   appropriate NTSTATUS value"); they get pool exhaustion and the
   instance's teardown (STATUS_FLT_DELETING_OBJECT, which the filter
   manager's other instance-bound routines document), and a set of the end
   of file also a full disk.

   ExInitializeResourceLite and RtlGetVersion document STATUS_SUCCESS as
   their only result, yet return NTSTATUS; a driver that checks what it is
   given must survive a failure there, so the rule injects one, marked as
   coming from the return type rather than from a documented case. */
const std::map<std::string, std::vector<FailureStatus>> &Catalogue()
{
    static const std::map<std::string, std::vector<FailureStatus>> Table = {
        /* Pool: null, no status. */
        {"ExAllocatePoolWithTag", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"ExAllocatePool", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"ExAllocateFromPagedLookasideList", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"ExAllocateFromNPagedLookasideList", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"ExInitializeResourceLite", {{STATUS_INSUFFICIENT_RESOURCES, FailureSource::ReturnType}}},
        {"RtlGetVersion", {{STATUS_INSUFFICIENT_RESOURCES, FailureSource::ReturnType}}},
        /* The handle is the service's choice: any of the three. */
        {"ObReferenceObjectByHandle",
         {{STATUS_INVALID_HANDLE, Doc}, {STATUS_OBJECT_TYPE_MISMATCH, Doc}, {STATUS_ACCESS_DENIED, Doc}}},
        {"FltRegisterFilter",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_NOT_INITIALIZED, Doc}, {STATUS_OBJECT_NAME_NOT_FOUND, Doc}}},
        /* "An appropriate NTSTATUS value"; the one it names is for a second
           start, which a correct driver never makes, so a pool failure. */
        {"FltStartFiltering", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"FltCreateCommunicationPort",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}, {STATUS_OBJECT_NAME_COLLISION, Doc}}},
        {"FltSendMessage",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_PORT_DISCONNECTED, Doc}, {StatusThreadIsTerminating, Doc},
          {STATUS_TIMEOUT, Doc}}},
        {"FltAllocateContext", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"FltSetInstanceContext", {{STATUS_FLT_DELETING_OBJECT, Doc}}},
        {"FltGetInstanceContext", {{STATUS_NOT_FOUND, Doc}}},
        {"FltSetStreamContext", {{STATUS_FLT_DELETING_OBJECT, Doc}, {STATUS_NOT_SUPPORTED, Doc}}},
        {"FltGetStreamContext", {{STATUS_NOT_FOUND, Doc}, {STATUS_NOT_SUPPORTED, Doc}}},
        {"FltGetVolumeGuidName", {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_INVALID_DEVICE_REQUEST, Doc}}},
        {"FltGetVolumeName", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"FltGetVolumeFromFileObject", {{STATUS_FLT_DELETING_OBJECT, Doc}, {STATUS_INVALID_PARAMETER, Doc}}},
        {"FltGetVolumeInstanceFromName", {{STATUS_FLT_DELETING_OBJECT, Doc}, {STATUS_FLT_INSTANCE_NOT_FOUND, Doc}}},
        {"FltGetFileNameInformation",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_INVALID_NAME_REQUEST, Doc}, {STATUS_ACCESS_DENIED, Doc}}},
        {"FltGetFileNameInformationUnsafe",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_INVALID_NAME_REQUEST, Doc}, {STATUS_ACCESS_DENIED, Doc}}},
        {"FltQueryInformationFile", {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}}},
        {"FltSetInformationFile",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}, {StatusDiskFull, Doc}}},
        {"FltFsControlFile", {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}}},
        {"FltTagFile", {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}}},
        {"FltUntagFile", {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}}},
        {"FltAllocateExtraCreateParameterList", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        {"FltAllocateExtraCreateParameter", {{STATUS_INSUFFICIENT_RESOURCES, Doc}}},
        /* A kernel-mode open of an object the caller holds: quota is what a
           correct call can still run out of. */
        {"ObOpenObjectByPointer", {{StatusQuotaExceeded, Doc}}},
        /* "An appropriate NTSTATUS value", as the filter's other requests:
           pool, the instance's teardown, and, for a new file, a full disk. */
        {"FltCreateFileEx2",
         {{STATUS_INSUFFICIENT_RESOURCES, Doc}, {STATUS_FLT_DELETING_OBJECT, Doc}, {StatusDiskFull, Doc}}},
    };
    return Table;
}

}  // namespace

const std::vector<FailureStatus> &FailureStatusesOf(const std::string &Routine)
{
    static const std::vector<FailureStatus> None;
    auto Found = Catalogue().find(Routine);
    return Found == Catalogue().end() ? None : Found->second;
}

unsigned &InjectionDepth()
{
    thread_local unsigned Depth = 0;
    return Depth;
}

InjectablePoint::InjectablePoint() : Outermost(InjectionDepth() == 0)
{
    InjectionDepth() += 1;
}

InjectablePoint::~InjectablePoint()
{
    InjectionDepth() -= 1;
}

bool InjectablePoint::Fail(const char *Routine, NTSTATUS *Status, void *CallSite)
{
    return TheFaults().ShouldFail(Routine, Status, Outermost, CallSite);
}

InjectionSuppressed::InjectionSuppressed()
{
    InjectionDepth() += 1;
}

InjectionSuppressed::~InjectionSuppressed()
{
    InjectionDepth() -= 1;
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

void FaultInjector::ArmGlobal(uint64_t Nth, bool Every, size_t Variant)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Global = GlobalRule();
    Global.Armed = true;
    Global.Nth = Nth == 0 ? 1 : Nth;
    Global.Every = Every;
    Global.Variant = Variant;
    Counted = 0;
}

void FaultInjector::Clear()
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Rules.clear();
    CallCounts.clear();
    Global = GlobalRule();
    Counted = 0;
    Observer = nullptr;
}

bool FaultInjector::ShouldFail(const char *Routine, NTSTATUS *Status, bool CountedCall, void *CallSite)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    CallCounts[Routine] += 1;
    auto Found = Rules.find(Routine);
    if (Found != Rules.end()) {
        Rule &Current = Found->second;
        Current.Seen += 1;
        bool Fire = Current.Every ? Current.Seen >= Current.Nth : Current.Seen == Current.Nth;
        if (Fire) {
            Current.Fired += 1;
            *Status = Current.Status;
            return true;
        }
    }

    /* The global rule: driver calls of routines with documented failures. */
    const std::vector<FailureStatus> &Failures = FailureStatusesOf(Routine);
    if (!CountedCall || Failures.empty()) {
        return false;
    }
    Counted += 1;
    if (!Global.Armed || Counted < Global.Nth || (!Global.Every && Counted != Global.Nth)) {
        return false;
    }
    const FailureStatus &Chosen = Global.Fired == 0 ? Failures[Global.Variant % Failures.size()] : Failures[0];
    if (Global.Fired == 0) {
        Global.First = InjectedCall{Counted, Routine, Chosen.Status, Chosen.Source, Failures.size(), CallSite};
        if (Observer) {
            Observer(Global.First);
        }
    }
    Global.Fired += 1;
    *Status = Chosen.Status;
    return true;
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

uint64_t FaultInjector::CountedCalls() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Counted;
}

uint64_t FaultInjector::GlobalInjections() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Global.Fired;
}

InjectedCall FaultInjector::FirstGlobalInjection() const
{
    std::lock_guard<std::mutex> Guard(Mutex);
    return Global.First;
}

void FaultInjector::ObserveFirstGlobalInjection(std::function<void(const InjectedCall &)> NewObserver)
{
    std::lock_guard<std::mutex> Guard(Mutex);
    Observer = std::move(NewObserver);
}

FaultInjector &TheFaults()
{
    static FaultInjector Instance;
    return Instance;
}

}  // namespace emu
