/*
 * Objects.cpp - looking up filter-manager objects (the volume of a file
 * object, a filter's instance on a volume) and the run-down references
 * those lookups hand out.
 *
 * Each successful lookup adds a reference that the caller drops with
 * FltObjectDereference (learn.microsoft.com: FltGetVolumeFromFileObject,
 * FltGetVolumeInstanceFromName, FltObjectDereference).  The verifier
 * tracks every object with references out as a live "filter object
 * reference", so one never dropped shows as a leak, and dropping more than
 * were taken stops the system.
 */
#include "FltMgr.h"

#include "../io/Io.h"

using namespace emu;

namespace {

std::mutex &ReferenceLock()
{
    static std::mutex Lock;
    return Lock;
}

std::map<const void *, ULONG> &References()
{
    static std::map<const void *, ULONG> Table;
    return Table;
}

void AddReference(const void *Object, const char *What)
{
    std::lock_guard<std::mutex> Guard(ReferenceLock());
    ULONG &Count = References()[Object];
    if (Count == 0 || !TheVerifier().IsLive("filter object reference", Object)) {
        Count = 0;
        char Text[96];
        snprintf(Text, sizeof(Text), "%s %p", What, Object);
        TheVerifier().OnCreate("filter object reference", Object, Text);
    }
    Count += 1;
}

}  // namespace

extern "C" {

NTSTATUS FLTAPI FltGetVolumeFromFileObject(PFLT_FILTER Filter, PFILE_OBJECT FileObject, PFLT_VOLUME *RetVolume)
{
    EMU_INJECT_STATUS("FltGetVolumeFromFileObject");
    if (Filter == NULL || FileObject == NULL || RetVolume == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    _FLT_VOLUME *Volume = FileOf(FileObject)->Volume;
    if (Volume == NULL) {
        return STATUS_INVALID_PARAMETER;  // no matching volume
    }
    if (!Volume->Mounted) {
        return STATUS_FLT_DELETING_OBJECT;
    }
    AddReference(Volume, "volume");
    *RetVolume = Volume;
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetVolumeInstanceFromName(PFLT_FILTER Filter, PFLT_VOLUME Volume, PCUNICODE_STRING InstanceName,
                                             PFLT_INSTANCE *RetInstance)
{
    EMU_INJECT_STATUS("FltGetVolumeInstanceFromName");
    if (Volume == NULL || RetInstance == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    /* Instances carry no names here: each filter has at most one per
       volume, so a name would pick the same one. */
    UNREFERENCED_PARAMETER(InstanceName);
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Candidate : Manager.Filters) {
        if (Candidate->State == FilterState::Unregistered || (Filter != NULL && Candidate.get() != Filter)) {
            continue;
        }
        for (const auto &Instance : Candidate->Instances) {
            if (Instance->Volume == Volume && Instance->Attached) {
                AddReference(Instance.get(), "instance");
                *RetInstance = Instance.get();
                return STATUS_SUCCESS;
            }
        }
    }
    return STATUS_FLT_INSTANCE_NOT_FOUND;
}

VOID FLTAPI FltObjectDereference(PVOID FltObject)
{
    std::unique_lock<std::mutex> Guard(ReferenceLock());
    auto Found = References().find(FltObject);
    if (Found == References().end() || Found->second == 0) {
        Guard.unlock();
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)FltObject,
                      "FltObjectDereference of an object without a reference from a lookup");
    }
    Found->second -= 1;
    if (Found->second == 0) {
        References().erase(Found);
        TheVerifier().OnDestroy("filter object reference", FltObject);
    }
}

}  // extern "C"
