/*
 * zentaflt-sim - boots an emulated Windows system with volumes of several
 * file systems, loads the filter, shows where it attached and with which
 * volume paths, unloads it, and reports anything left behind.
 *
 * Exit status: 0 when the filter loaded, unloaded and left nothing behind.
 */
#include <cstdio>
#include <cstring>
#include <string>

#include "EmuTesting.h"
#include "Zentaflt.h"
#include "ServiceClient.h"

namespace {

const char *FileSystemName(FLT_FILESYSTEM_TYPE Type)
{
    switch (Type) {
    case FLT_FSTYPE_NTFS:
        return "NTFS";
    case FLT_FSTYPE_FAT:
        return "FAT";
    case FLT_FSTYPE_EXFAT:
        return "exFAT";
    case FLT_FSTYPE_REFS:
        return "ReFS";
    case FLT_FSTYPE_LANMAN:
        return "network (SMB)";
    default:
        return "other";
    }
}

std::string Narrow(const WCHAR *Text, size_t Units)
{
    std::string Out;
    for (size_t Index = 0; Index < Units; Index += 1) {
        Out += (char)Text[Index];
    }
    return Out;
}

}  // namespace

int main(int argc, char **argv)
{
    bool Verbose = argc > 1 && strcmp(argv[1], "--verbose") == 0;
    emu::System System;
    System.KernelDebugger().SetEcho(Verbose);

    const FLT_FILESYSTEM_TYPE Types[] = {FLT_FSTYPE_NTFS, FLT_FSTYPE_FAT, FLT_FSTYPE_NTFS, FLT_FSTYPE_EXFAT,
                                         FLT_FSTYPE_REFS, FLT_FSTYPE_LANMAN};
    for (FLT_FILESYSTEM_TYPE Type : Types) {
        emu::VolumeOptions Options;
        Options.FileSystem = Type;
        System.Mount(Options);
    }

    /* A debugger would set this before load to see every failure. */
    FilterGlobals.DebugFlags = Verbose ? DebugFlagPrintFailures : 0;
    NTSTATUS Status = System.LoadDriver(GsDriverEntry);
    printf("DriverEntry: 0x%08x\n", (unsigned)Status);
    if (!NT_SUCCESS(Status)) {
        return 1;
    }
    printf("pool type: %s\n", FilterGlobals.PoolType == NonPagedPoolNx ? "NonPagedPoolNx" : "NonPagedPool");

    for (PFLT_VOLUME Volume : System.Volumes()) {
        std::string Device = Narrow((const WCHAR *)Volume->DeviceName.data(), Volume->DeviceName.size());
        PFLT_INSTANCE Instance = System.InstanceOn(Volume);
        PFLT_CONTEXT Context = NULL;
        if (Instance != NULL && NT_SUCCESS(FltGetInstanceContext(Instance, &Context))) {
            auto InstanceContext = (PINSTANCE_CONTEXT)Context;
            printf("  attached  %-26s %-14s %s\n", Device.c_str(), FileSystemName(Volume->FileSystem),
                   Narrow(InstanceContext->VolumePath.Buffer, InstanceContext->VolumePath.Length / 2).c_str());
            FltReleaseContext(Context);
        } else {
            printf("  skipped   %-26s %-14s setup 0x%08x\n", Device.c_str(), FileSystemName(Volume->FileSystem),
                   (unsigned)System.SetupStatusOn(Volume));
        }
    }

    /* A service connects a sync root on the first volume, and goes again. */
    emu::EmuProcess *Service = System.CreateProcess("service.exe");
    {
        emu::ProcessScope InService(Service);
        zentaflt::service::ServiceConnection Connection;
        CreateDirectoryW(L"C:\\Sync", NULL);
        HRESULT Result = zentaflt::service::ConnectSyncRootPath(L"C:\\Sync", &Connection);
        printf("service connected C:\\Sync: 0x%08x (status 0x%08x)\n", (unsigned)Result,
               (unsigned)emu::user::LastStatus());
        if (SUCCEEDED(Result) && !IsListEmpty(&FilterGlobals.SyncRootList)) {
            auto Root = CONTAINING_RECORD(FilterGlobals.SyncRootList.Flink, SYNC_ROOT, Link);
            printf("  sync root %s\n",
                   Narrow(Root->NameInfo->Name.Buffer, Root->NameInfo->Name.Length / 2).c_str());
        }
        zentaflt::service::Disconnect(&Connection);
        printf("service disconnected; sync roots left: %s\n",
               IsListEmpty(&FilterGlobals.SyncRootList) ? "none" : "some");
    }
    System.Terminate(Service);

    Status = System.UnloadDriver(0);
    printf("FilterUnload: 0x%08x\n", (unsigned)Status);
    auto Leaks = System.Leaks();
    for (const auto &Leak : Leaks) {
        printf("LEAK: %s\n", Leak.c_str());
    }
    printf("%s\n", Leaks.empty() ? "clean unload: nothing left behind" : "unload left things behind");
    return NT_SUCCESS(Status) && Leaks.empty() ? 0 : 1;
}
