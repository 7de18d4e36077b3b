/*
 * System.cpp - boot, volumes, driver load and unload, manual detach.
 */
#include "System.h"

#include "../io/Io.h"
#include "../ntfs/Ntfs.h"

#include <cstdio>

namespace emu {

namespace {

System *Booted = nullptr;

DEVICE_TYPE DefaultDeviceType(FLT_FILESYSTEM_TYPE FileSystem)
{
    switch (FileSystem) {
    case FLT_FSTYPE_LANMAN:
    case FLT_FSTYPE_WEBDAV:
    case FLT_FSTYPE_RDPDR:
    case FLT_FSTYPE_NFS:
    case FLT_FSTYPE_MS_NETWARE:
    case FLT_FSTYPE_NETWARE:
    case FLT_FSTYPE_MUP:
    case FLT_FSTYPE_OPENAFS:
        return FILE_DEVICE_NETWORK_FILE_SYSTEM;
    case FLT_FSTYPE_CDFS:
    case FLT_FSTYPE_UDFS:
        return FILE_DEVICE_CD_ROM_FILE_SYSTEM;
    default:
        return FILE_DEVICE_DISK_FILE_SYSTEM;
    }
}

std::u16string Widen(const std::string &Text)
{
    return std::u16string(Text.begin(), Text.end());
}

_FLT_FILTER *FilterOfDriver(PDRIVER_OBJECT Driver)
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Filter : Manager.Filters) {
        if (Filter->Driver == Driver && Filter->State != FilterState::Unregistered) {
            return Filter.get();
        }
    }
    return nullptr;
}

_FLT_INSTANCE *AttachedInstance(PFLT_VOLUME Volume)
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    _FLT_INSTANCE *Found = nullptr;
    for (const auto &Filter : Manager.Filters) {
        for (const auto &Instance : Filter->Instances) {
            if (Instance->Volume == Volume) {
                Found = Instance.get();  // the newest instance on the volume
            }
        }
    }
    return Found;
}

}  // namespace

System::System(OsVersion Version)
{
    if (Booted != nullptr) {
        fprintf(stderr, "emu::System: only one emulated system can run at a time\n");
        abort();
    }
    Booted = this;
    ResetProcesses();
    TheFilterManager().Reset();
    ResetRuntime();
    ResetIo();
    TheOsVersion() = Version;
}

System::~System()
{
    /* Processes end first: their handles close and connections disconnect
       while the filter manager still knows them. */
    ResetProcesses();
    TheFilterManager().Reset();
    ResetRuntime();
    ResetUserAddressSpaces();
    ForgetLockedPages();
    Booted = nullptr;
}

PFLT_VOLUME System::Mount(const VolumeOptions &Options)
{
    FilterManager &Manager = TheFilterManager();
    auto Volume = std::make_unique<_FLT_VOLUME>();
    _FLT_VOLUME *Mounted = Volume.get();
    std::vector<_FLT_FILTER *> Filtering;
    {
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        ULONG Number = Manager.NextVolumeNumber++;
        Volume->FileSystem = Options.FileSystem;
        Volume->DeviceType = Options.DeviceType != 0 ? Options.DeviceType : DefaultDeviceType(Options.FileSystem);
        bool Network = Volume->DeviceType == FILE_DEVICE_NETWORK_FILE_SYSTEM;
        Volume->DeviceName = Network ? u"\\Device\\Mup" : Widen("\\Device\\HarddiskVolume" + std::to_string(Number));
        if (!Options.GuidName.empty()) {
            Volume->GuidName = Options.GuidName;
        } else if (!Network) {
            char Guid[64];
            snprintf(Guid, sizeof(Guid), "\\??\\Volume{%08x-5a3c-11ef-9c2d-%012lx}", 0x7e1d0000u + Number,
                     (unsigned long)0x806e6f6e0000ul + Number);
            Volume->GuidName = Widen(Guid);
        }
        if (!Network) {
            Volume->Namespace = std::make_shared<NtfsVolume>();
            if (Options.FileSystem == FLT_FSTYPE_NTFS) {
                FormatNtfs(Volume->Namespace.get());
            }
            Volume->FileSystemDispatch = NtfsDispatch;
            Volume->FileSystemFastIo = NtfsFastIo;
            Volume->DriveLetter = (WCHAR)(L'C' + (Number - 1) % 24);
        }
        for (const auto &Filter : Manager.Filters) {
            if (Filter->State == FilterState::Filtering) {
                Filtering.push_back(Filter.get());
            }
        }
        Manager.Volumes.push_back(std::move(Volume));
    }
    for (_FLT_FILTER *Filter : Filtering) {
        Manager.SetupInstance(Filter, Mounted, FLTFL_INSTANCE_SETUP_NEWLY_MOUNTED_VOLUME);
    }
    return Mounted;
}

void System::Dismount(PFLT_VOLUME Volume)
{
    _FLT_INSTANCE *Instance = AttachedInstance(Volume);
    if (Instance != nullptr && Instance->Attached) {
        TheFilterManager().TeardownInstance(Instance, FLTFL_INSTANCE_TEARDOWN_VOLUME_DISMOUNT);
    }
    Volume->Mounted = false;
}

std::vector<PFLT_VOLUME> System::Volumes() const
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    std::vector<PFLT_VOLUME> All;
    for (const auto &Volume : Manager.Volumes) {
        if (Volume->Mounted) {
            All.push_back(Volume.get());
        }
    }
    return All;
}

System::LoadedDriver *System::Loaded(const std::u16string *ServiceName) const
{
    for (const auto &Driver : Drivers) {
        if (Driver->Loaded && (ServiceName == nullptr || Driver->ServiceName == *ServiceName)) {
            return Driver.get();
        }
    }
    return nullptr;
}

NTSTATUS System::LoadDriver(PDRIVER_INITIALIZE Entry, const std::u16string &ServiceName, const std::string &Altitude)
{
    if (Loaded(&ServiceName) != nullptr) {
        return STATUS_IMAGE_ALREADY_LOADED;
    }
    auto Owned = std::make_unique<LoadedDriver>();
    LoadedDriver *Driver = Owned.get();
    Drivers.push_back(std::move(Owned));
    Driver->ServiceName = ServiceName;
    Driver->Object.Type = 4;  // IO_TYPE_DRIVER
    Driver->Object.Size = sizeof(DRIVER_OBJECT);
    Driver->Name = u"\\Driver\\" + ServiceName;
    Driver->Object.DriverName = {(USHORT)(Driver->Name.size() * 2), (USHORT)(Driver->Name.size() * 2),
                                 (PWSTR)Driver->Name.data()};
    Driver->Object.DriverInit = Entry;
    {
        FilterManager &Manager = TheFilterManager();
        std::lock_guard<std::mutex> Guard(Manager.Lock);
        Manager.Altitudes[&Driver->Object] = Altitude;
    }
    std::u16string Registry = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\" + ServiceName;
    UNICODE_STRING RegistryPath = {(USHORT)(Registry.size() * 2), (USHORT)(Registry.size() * 2),
                                   (PWSTR)Registry.data()};
    NTSTATUS Status;
    {
        CallbackScope Scope("DriverEntry");
        Status = Entry(&Driver->Object, &RegistryPath);
    }
    if (NT_SUCCESS(Status)) {
        Driver->Loaded = true;
    } else if (FilterOfDriver(&Driver->Object) != nullptr) {
        TheVerifier().Report("DriverEntry failed but left its filter registered");
    }
    return Status;
}

NTSTATUS System::UnloadDriver(FLT_FILTER_UNLOAD_FLAGS Flags)
{
    LoadedDriver *Driver = Loaded(nullptr);
    return Driver == nullptr ? STATUS_FLT_FILTER_NOT_FOUND : UnloadDriver(Driver->ServiceName, Flags);
}

NTSTATUS System::UnloadDriver(const std::u16string &ServiceName, FLT_FILTER_UNLOAD_FLAGS Flags)
{
    LoadedDriver *Driver = Loaded(&ServiceName);
    if (Driver == nullptr) {
        return STATUS_FLT_FILTER_NOT_FOUND;
    }
    _FLT_FILTER *Filter = FilterOfDriver(&Driver->Object);
    if (Filter == nullptr) {
        return STATUS_FLT_FILTER_NOT_FOUND;
    }
    PFLT_FILTER_UNLOAD_CALLBACK Unload = Filter->Registration.FilterUnloadCallback;
    if (Unload == NULL) {
        return STATUS_FLT_DO_NOT_DETACH;  // a filter without an unload callback cannot be unloaded
    }
    NTSTATUS Status;
    {
        CallbackScope Scope("FilterUnloadCallback");
        Status = Unload(Flags);
    }
    if (!NT_SUCCESS(Status) && (Flags & FLTFL_FILTER_UNLOAD_MANDATORY) == 0) {
        return Status;
    }
    if (FilterOfDriver(&Driver->Object) != nullptr) {
        TheVerifier().Report("the unload callback returned without unregistering the filter");
    }
    Driver->Loaded = false;
    return Status;
}

bool System::DriverLoaded() const
{
    return Loaded(nullptr) != nullptr;
}

PFLT_FILTER System::Filter() const
{
    LoadedDriver *Driver = Loaded(nullptr);
    return Driver == nullptr ? nullptr : FilterOfDriver(&Driver->Object);
}

PFLT_INSTANCE System::InstanceOn(PFLT_VOLUME Volume, PFLT_FILTER Filter) const
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Instance : Filter->Instances) {
        if (Instance->Volume == Volume && Instance->Attached) {
            return Instance.get();
        }
    }
    return nullptr;
}

PFLT_INSTANCE System::InstanceOn(PFLT_VOLUME Volume) const
{
    _FLT_INSTANCE *Instance = AttachedInstance(Volume);
    return Instance != nullptr && Instance->Attached ? Instance : nullptr;
}

bool System::IsAttached(PFLT_VOLUME Volume) const
{
    return InstanceOn(Volume) != nullptr;
}

NTSTATUS System::SetupStatusOn(PFLT_VOLUME Volume) const
{
    _FLT_INSTANCE *Instance = AttachedInstance(Volume);
    return Instance == nullptr ? STATUS_FLT_INSTANCE_NOT_FOUND : Instance->SetupStatus;
}

NTSTATUS System::Detach(PFLT_VOLUME Volume)
{
    _FLT_INSTANCE *Instance = AttachedInstance(Volume);
    if (Instance == nullptr || !Instance->Attached) {
        return STATUS_FLT_INSTANCE_NOT_FOUND;
    }
    PFLT_INSTANCE_QUERY_TEARDOWN_CALLBACK Query = Instance->Filter->Registration.InstanceQueryTeardownCallback;
    if (Query == NULL) {
        return STATUS_FLT_DO_NOT_DETACH;
    }
    FLT_RELATED_OBJECTS Objects = {sizeof(FLT_RELATED_OBJECTS), 0, Instance->Filter, Volume, Instance, NULL, NULL};
    NTSTATUS Status;
    {
        CallbackScope Scope("InstanceQueryTeardownCallback");
        Status = Query(&Objects, 0);
    }
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    TheFilterManager().TeardownInstance(Instance, FLTFL_INSTANCE_TEARDOWN_MANUAL);
    return STATUS_SUCCESS;
}

const _FLT_PORT *System::FindServerPort(const std::u16string &Name) const
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Port : Manager.Ports) {
        if (Port->Server && !Port->Closed && Port->Name == Name) {
            return Port.get();
        }
    }
    return nullptr;
}

EmuProcess *System::CreateProcess(const std::string &Name)
{
    return emu::CreateProcess(Name);
}

void System::Terminate(EmuProcess *Process)
{
    CancelProcessIo(Process);
    TerminateProcess(Process);
}

void *System::AllocateUserMemory(EmuProcess *Process, SIZE_T Size, ULONG Protect)
{
    return emu::AllocateUserMemory(Process, Size, Protect);
}

NTSTATUS System::FreeUserMemory(EmuProcess *Process, void *Base)
{
    return emu::FreeUserMemory(Process, Base);
}

size_t System::TerminateThread(uint64_t ThreadId)
{
    return TerminateThreadIo(ThreadId);
}

void System::UseWideIds(bool Wide)
{
    emu::UseWideIds(Wide);
}

std::vector<std::string> System::Leaks() const
{
    return TheVerifier().Leaks();
}

}  // namespace emu
