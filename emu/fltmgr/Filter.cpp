/*
 * Filter.cpp - filter registration, filtering start, instances and their
 * teardown, unregistration, and volume names.
 */
#include "FltMgr.h"

using namespace emu;

namespace {

/* The registration record's size for each version: each version added one
   callback at the end. */
USHORT RegistrationSizeFor(USHORT Version)
{
    switch (Version) {
    case FLT_REGISTRATION_VERSION_0200:
        return (USHORT)offsetof(FLT_REGISTRATION, TransactionNotificationCallback);
    case FLT_REGISTRATION_VERSION_0201:
        return (USHORT)offsetof(FLT_REGISTRATION, NormalizeNameComponentExCallback);
    case FLT_REGISTRATION_VERSION_0202:
        return (USHORT)offsetof(FLT_REGISTRATION, SectionNotificationCallback);
    case FLT_REGISTRATION_VERSION_0203:
        return (USHORT)sizeof(FLT_REGISTRATION);
    default:
        return 0;
    }
}

bool IsSingleContextType(FLT_CONTEXT_TYPE Type)
{
    return Type != 0 && (Type & (Type - 1)) == 0 && (Type & ~FLT_ALL_CONTEXTS) == 0;
}

bool IsValidMajorFunction(UCHAR Major)
{
    return Major <= IRP_MJ_MAXIMUM_FUNCTION || Major >= IRP_MJ_VOLUME_DISMOUNT;
}

NTSTATUS ValidateRegistration(const FLT_REGISTRATION *Registration)
{
    USHORT Expected = RegistrationSizeFor(Registration->Version);
    if (Expected == 0 || Registration->Size < Expected) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Registration->Flags & ~(ULONG)(FLTFL_REGISTRATION_DO_NOT_SUPPORT_SERVICE_STOP |
                                       FLTFL_REGISTRATION_SUPPORT_NPFS_MSFS |
                                       FLTFL_REGISTRATION_SUPPORT_DAX_VOLUME)) {
        return STATUS_INVALID_PARAMETER;
    }
    for (auto Entry = Registration->ContextRegistration; Entry != NULL && Entry->ContextType != FLT_CONTEXT_END;
         ++Entry) {
        if (!IsSingleContextType(Entry->ContextType) ||
            (Entry->Flags & ~FLTFL_CONTEXT_REGISTRATION_NO_EXACT_SIZE_MATCH) != 0 ||
            ((Entry->ContextAllocateCallback == NULL) != (Entry->ContextFreeCallback == NULL)) ||
            (Entry->ContextAllocateCallback == NULL && Entry->Size == 0)) {
            return STATUS_FLT_INVALID_CONTEXT_REGISTRATION;
        }
    }
    for (auto Entry = Registration->OperationRegistration;
         Entry != NULL && Entry->MajorFunction != IRP_MJ_OPERATION_END; ++Entry) {
        if (!IsValidMajorFunction(Entry->MajorFunction) ||
            (Entry->PreOperation == NULL && Entry->PostOperation == NULL)) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

_FLT_FILTER *CheckedFilter(PFLT_FILTER Filter, const char *Routine)
{
    if (!TheFilterManager().IsFilter(Filter)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Filter,
                      std::string(Routine) + " with a filter handle that is not registered");
    }
    return Filter;
}

}  // namespace

namespace emu {

bool FilterManager::IsFilter(const _FLT_FILTER *Filter)
{
    std::lock_guard<std::mutex> Guard(Lock);
    for (const auto &Entry : Filters) {
        if (Entry.get() == Filter && Entry->State != FilterState::Unregistered) {
            return true;
        }
    }
    return false;
}

void FilterManager::SetupInstance(_FLT_FILTER *Filter, _FLT_VOLUME *Volume, FLT_INSTANCE_SETUP_FLAGS Flags)
{
    auto Owned = std::make_unique<_FLT_INSTANCE>();
    _FLT_INSTANCE *Instance = Owned.get();
    Instance->Filter = Filter;
    Instance->Volume = Volume;
    Instance->Altitude = Filter->Altitude;
    bool Collision = false;
    {
        std::lock_guard<std::mutex> Guard(Lock);
        /* Two instances on a volume never share an altitude. */
        for (const auto &Other : Filters) {
            for (const auto &Existing : Other->Instances) {
                if (Existing->Attached && Existing->Volume == Volume &&
                    CompareAltitudes(Existing->Altitude, Instance->Altitude) == 0) {
                    Collision = true;
                }
            }
        }
        Filter->Instances.push_back(std::move(Owned));
    }
    if (Collision) {
        Instance->SetupStatus = STATUS_FLT_INSTANCE_ALTITUDE_COLLISION;
        return;
    }
    NTSTATUS Status = STATUS_SUCCESS;
    if (Filter->Registration.InstanceSetupCallback != NULL) {
        FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Filter, Volume, Instance, NULL, NULL};
        CallbackScope Scope("InstanceSetupCallback");
        Status = Filter->Registration.InstanceSetupCallback(&Objects, Flags, Volume->DeviceType, Volume->FileSystem);
    }
    Instance->SetupStatus = Status;
    if (NT_SUCCESS(Status)) {
        Instance->Attached = true;
        return;
    }
    /* Not attached: whatever the setup callback set on the instance goes
       with it. */
    if (Instance->InstanceContext != NULL) {
        PFLT_CONTEXT Context = Instance->InstanceContext;
        Instance->InstanceContext = NULL;
        DetachContext(Context);
    }
}

void FilterManager::TeardownInstance(_FLT_INSTANCE *Instance, FLT_INSTANCE_TEARDOWN_FLAGS Reason)
{
    _FLT_FILTER *Filter = Instance->Filter;
    FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Filter, Instance->Volume, Instance, NULL, NULL};
    if (Filter->Registration.InstanceTeardownStartCallback != NULL) {
        CallbackScope Scope("InstanceTeardownStartCallback");
        Filter->Registration.InstanceTeardownStartCallback(&Objects, Reason);
    }
    if (Filter->Registration.InstanceTeardownCompleteCallback != NULL) {
        CallbackScope Scope("InstanceTeardownCompleteCallback");
        Filter->Registration.InstanceTeardownCompleteCallback(&Objects, Reason);
    }
    Instance->Attached = false;
    TeardownInstanceStreamContexts(Instance);
    if (Instance->InstanceContext != NULL) {
        PFLT_CONTEXT Context = Instance->InstanceContext;
        Instance->InstanceContext = NULL;
        DetachContext(Context);
    }
}

void FilterManager::Reset()
{
    std::lock_guard<std::mutex> Guard(Lock);
    Volumes.clear();
    Filters.clear();
    Connections.clear();
    Ports.clear();
    Altitudes.clear();
    NextVolumeNumber = 1;
}

FilterManager &TheFilterManager()
{
    static FilterManager Instance;
    return Instance;
}

}  // namespace emu

extern "C" {

NTSTATUS FLTAPI FltRegisterFilter(PDRIVER_OBJECT Driver, const FLT_REGISTRATION *Registration, PFLT_FILTER *RetFilter)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltRegisterFilter");
    if (Driver == NULL || Registration == NULL || RetFilter == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Status = ValidateRegistration(Registration);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    FilterManager &Manager = TheFilterManager();
    auto Filter = std::make_unique<_FLT_FILTER>();
    Filter->Driver = Driver;
    memcpy(&Filter->Registration, Registration, RegistrationSizeFor(Registration->Version));
    for (auto Entry = Registration->ContextRegistration; Entry != NULL && Entry->ContextType != FLT_CONTEXT_END;
         ++Entry) {
        Filter->Contexts.push_back(*Entry);
    }
    for (auto Entry = Registration->OperationRegistration;
         Entry != NULL && Entry->MajorFunction != IRP_MJ_OPERATION_END; ++Entry) {
        Filter->Operations.push_back(*Entry);
    }
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Existing : Manager.Filters) {
        if (Existing->Driver == Driver && Existing->State != FilterState::Unregistered) {
            return STATUS_FLT_INSTANCE_NAME_COLLISION;
        }
    }
    /* The altitude of the filter's default instance, from its registry key
       (the INF's Instances\<name>\Altitude); without one the filter
       manager cannot place the filter. */
    auto Altitude = Manager.Altitudes.find(Driver);
    if (Altitude == Manager.Altitudes.end() || Altitude->second.empty()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    Filter->Altitude = Altitude->second;
    *RetFilter = Filter.get();
    char Text[64];
    snprintf(Text, sizeof(Text), "filter %p", (void *)Filter.get());
    TheVerifier().OnCreate("filter registration", Filter.get(), Text);
    Manager.Filters.push_back(std::move(Filter));
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltStartFiltering(PFLT_FILTER Filter)
{
    PAGED_CODE();
    CheckedFilter(Filter, "FltStartFiltering");
    EMU_INJECT_STATUS("FltStartFiltering");
    FilterManager &Manager = TheFilterManager();
    std::vector<_FLT_VOLUME *> Mounted;
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        if (Filter->State != FilterState::Registered) {
            return STATUS_INVALID_PARAMETER;
        }
        Filter->State = FilterState::Filtering;
        for (const auto &Volume : Manager.Volumes) {
            if (Volume->Mounted) {
                Mounted.push_back(Volume.get());
            }
        }
    }
    for (_FLT_VOLUME *Volume : Mounted) {
        Manager.SetupInstance(Filter, Volume, FLTFL_INSTANCE_SETUP_AUTOMATIC_ATTACHMENT);
    }
    return STATUS_SUCCESS;
}

VOID FLTAPI FltUnregisterFilter(PFLT_FILTER Filter)
{
    PAGED_CODE();
    CheckedFilter(Filter, "FltUnregisterFilter");
    FilterManager &Manager = TheFilterManager();
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        for (const auto &Port : Manager.Ports) {
            if (Port->Server && Port->Filter == Filter && !Port->Closed) {
                TheVerifier().Report("FltUnregisterFilter with the server communication port of the filter still open");
            }
        }
    }
    DisconnectAll(Filter);
    for (const auto &Instance : Filter->Instances) {
        if (Instance->Attached) {
            Manager.TeardownInstance(Instance.get(), FLTFL_INSTANCE_TEARDOWN_FILTER_UNLOAD);
        }
    }
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    Filter->State = FilterState::Unregistered;
    CheckNoCallbackRuns(Filter);
    TheVerifier().OnDestroy("filter registration", Filter);
}

NTSTATUS FLTAPI FltGetVolumeGuidName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeGuidName, PULONG BufferSizeNeeded)
{
    PAGED_CODE();
    EMU_INJECT_STATUS("FltGetVolumeGuidName");
    if (Volume == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Volume->GuidName.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // network volumes have no GUID name
    }
    ULONG Needed = (ULONG)(Volume->GuidName.size() * sizeof(WCHAR));
    if (VolumeGuidName == NULL || VolumeGuidName->MaximumLength < Needed) {
        if (BufferSizeNeeded != NULL) {
            *BufferSizeNeeded = Needed;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(VolumeGuidName->Buffer, Volume->GuidName.data(), Needed);
    VolumeGuidName->Length = (USHORT)Needed;
    if (BufferSizeNeeded != NULL) {
        *BufferSizeNeeded = Needed;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI FltGetVolumeName(PFLT_VOLUME Volume, PUNICODE_STRING VolumeName, PULONG BufferSizeNeeded)
{
    EMU_INJECT_STATUS("FltGetVolumeName");
    ULONG Needed = (ULONG)(Volume->DeviceName.size() * sizeof(WCHAR));
    if (BufferSizeNeeded != NULL) {
        *BufferSizeNeeded = Needed;
    }
    if (VolumeName == NULL || VolumeName->MaximumLength < Needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    memcpy(VolumeName->Buffer, Volume->DeviceName.data(), Needed);
    VolumeName->Length = (USHORT)Needed;
    return STATUS_SUCCESS;
}

}  // extern "C"
