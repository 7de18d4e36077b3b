/*
 * System.h - booting an emulated Windows system for tests and tools.
 *
 * A System is one boot: it resets the kernel's tables, mounts the volumes a
 * test asks for, loads a driver through its DriverEntry, unloads it through
 * the filter manager's unload path, and reports what is left behind.  One
 * System exists at a time; the kernel routines act on it.
 *
 *     emu::System System;
 *     PFLT_VOLUME C = System.Mount({FLT_FSTYPE_NTFS});
 *     System.LoadDriver(DriverEntry);
 *     ...
 *     System.UnloadDriver();
 *     EXPECT_TRUE(System.Leaks().empty());
 */
#pragma once

#include <fltKernel.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../fltmgr/FltMgr.h"
#include "../runtime/Objects.h"

namespace emu {

struct VolumeOptions {
    FLT_FILESYSTEM_TYPE FileSystem = FLT_FSTYPE_NTFS;
    /* Empty: \??\Volume{GUID} made from the volume's number.  Network
       volumes have none unless one is given. */
    std::u16string GuidName;
    /* 0: the device type that goes with the file system. */
    DEVICE_TYPE DeviceType = 0;
};

class System {
public:
    explicit System(OsVersion Version = OsVersion{});
    ~System();
    System(const System &) = delete;
    System &operator=(const System &) = delete;

    /* Volumes.  A volume mounted while a filter is filtering is offered to
       it at once, as newly mounted. */
    PFLT_VOLUME Mount(const VolumeOptions &Options = VolumeOptions{});
    void Dismount(PFLT_VOLUME Volume);
    std::vector<PFLT_VOLUME> Volumes() const;

    /* Drivers.  LoadDriver calls the image's entry point on this thread,
       as the I/O manager does (DriverEntry, or the routine the driver's
       build puts before it, such as one that seeds a stack cookie), with
       the filter's altitude in its registry key (what its INF installs);
       several filters load under different service names.  UnloadDriver
       runs the filter's unload callback as "fltmc unload" does, and
       returns its status; without a name it unloads the first driver
       loaded that is still loaded. */
    static constexpr const char *DefaultAltitude = "370000";
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE Entry, const std::u16string &ServiceName = u"zentaflt",
                        const std::string &Altitude = DefaultAltitude);
    NTSTATUS UnloadDriver(FLT_FILTER_UNLOAD_FLAGS Flags = 0);
    NTSTATUS UnloadDriver(const std::u16string &ServiceName, FLT_FILTER_UNLOAD_FLAGS Flags = 0);
    bool DriverLoaded() const;
    PFLT_FILTER Filter() const;

    /* Instances: the newest on a volume, or the one of a given filter. */
    PFLT_INSTANCE InstanceOn(PFLT_VOLUME Volume) const;
    PFLT_INSTANCE InstanceOn(PFLT_VOLUME Volume, PFLT_FILTER Filter) const;
    bool IsAttached(PFLT_VOLUME Volume) const;
    NTSTATUS SetupStatusOn(PFLT_VOLUME Volume) const;
    /* A manual detach ("fltmc detach"): asks the instance's query-teardown
       callback, then tears the instance down. */
    NTSTATUS Detach(PFLT_VOLUME Volume);

    /* Processes.  Code runs in a process on a thread inside a ProcessScope
       (see runtime/Objects.h); a process's handles close when it ends. */
    EmuProcess *CreateProcess(const std::string &Name);
    void Terminate(EmuProcess *Process);
    /* Terminates a thread as far as I/O goes: its pending requests are
       cancelled and its cancellable waits end (the thread itself returns
       from its blocked call once its requests complete).  Returns how many
       requests were cancelled. */
    size_t TerminateThread(uint64_t ThreadId);
    /* From now on, new processes and threads get ids above 32 bits. */
    void UseWideIds(bool Wide);

    /* User memory of a process (see "User address spaces" in
       runtime/Runtime.h): what VirtualAlloc gives a program, for tests that
       hand a driver user buffers.  Memory one process allocated is unmapped
       in every other. */
    void *AllocateUserMemory(EmuProcess *Process, SIZE_T Size, ULONG Protect = PAGE_READWRITE);
    NTSTATUS FreeUserMemory(EmuProcess *Process, void *Base);

    /* Communication ports by name; null when none is open. */
    const _FLT_PORT *FindServerPort(const std::u16string &Name) const;

    /* Everything still allocated, live or reported, one line each. */
    std::vector<std::string> Leaks() const;

    Verifier &Accounting() { return TheVerifier(); }
    FaultInjector &Faults() { return TheFaults(); }
    Debugger &KernelDebugger() { return TheDebugger(); }
    Clock &SystemClock() { return TheClock(); }
    LockOrderChecker &LockOrder() { return TheLockOrder(); }
    OsVersion &Version() { return TheOsVersion(); }

private:
    struct LoadedDriver {
        DRIVER_OBJECT Object{};
        std::u16string Name;
        std::u16string ServiceName;
        bool Loaded = false;
    };
    LoadedDriver *Loaded(const std::u16string *ServiceName) const;
    std::vector<std::unique_ptr<LoadedDriver>> Drivers;  // in load order
};

/* An observer of the filter chain: called after each pre-operation with
   the filter's decision on the request (emu/fltmgr/Trace.cpp), on the
   thread that ran it.  Tools use it to show what a filter saw. */
struct OperationTrace {
    std::string Altitude;        // of the filter that decided
    UCHAR MajorFunction = 0;
    UCHAR MinorFunction = 0;
    std::u16string FileName;     // as the file object was opened
    KPROCESSOR_MODE RequestorMode = KernelMode;
    ULONG IrpFlags = 0;          // IRP_PAGING_IO, IRP_NOCACHE, ...
    bool FastIo = false;
    FLT_PREOP_CALLBACK_STATUS Decision = FLT_PREOP_SUCCESS_NO_CALLBACK;
    NTSTATUS Status = 0;         // the operation's status when Decision completes it
    uint64_t ThreadId = 0;
};
using OperationTracer = std::function<void(const OperationTrace &Trace)>;
/* Sets (or, with an empty observer, clears) the observer. */
void SetOperationTracer(OperationTracer Observer);
/* Called by the chain walk, for the emulation itself: BeginTrace, before a
   pre-operation runs, fills Trace and says whether an observer is set;
   EndTrace hands it over with the decision (and the status, which the walk
   reads only when the request was not pended). */
bool BeginTrace(const IoRequest *Request, const _FLT_INSTANCE *Instance, OperationTrace *Trace);
void EndTrace(OperationTrace &Trace, FLT_PREOP_CALLBACK_STATUS Decision, NTSTATUS Status);

}  // namespace emu
