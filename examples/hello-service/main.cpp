/*
 * hello-service - a sync service on the SDK, with programs' file calls
 * against it, all on the emulated Windows system: boot, load the filter,
 * make a placeholder, serve its data from memory, let a program read it,
 * then disconnect, unload and check nothing was left behind.
 */
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "EmuTesting.h"   // the emulated system: boot, volumes, processes
#include "SyncService.h"  // the service SDK
#include "Zentaflt.h"     // the filter: its entry point

namespace service = zentaflt::service;

int main()
{
    emu::System System;
    System.Mount();  // C:
    if (!NT_SUCCESS(System.LoadDriver(GsDriverEntry))) {
        return 1;
    }
    emu::EmuProcess *ServiceProcess = System.CreateProcess("hello-service.exe");
    emu::EmuProcess *Program = System.CreateProcess("notepad.exe");
    const std::string Text = "Hello from the service's memory!\n";
    int Failures = 0;
    {
        emu::ProcessScope InService(ServiceProcess);
        CreateDirectoryW(L"C:\\Sync", NULL);

        /* A placeholder: its name, size and the service's own reference
           data (here "hello"), made by the filter on the service's
           request. */
        service::PlaceholderDescription Hello;
        Hello.Name = u"hello.txt";
        Hello.FileSize = (LONGLONG)Text.size();
        Hello.ReparseData.assign({'h', 'e', 'l', 'l', 'o'});
        service::Result Made = service::MakePlaceholder(L"C:\\Sync", Hello);
        if (!Made.Ok()) {
            fprintf(stderr, "%s\n", Made.Message.c_str());
            return 1;
        }

        /* The service: its data source serves the file from memory. */
        service::SyncService Service;
        auto FromMemory = [&](const service::HydrationRequest &Request, ULONGLONG Offset, void *Buffer,
                              ULONG Length) {
            std::string Reference(Request.ReparseData.begin(), Request.ReparseData.end());
            if (Reference != "hello" || Offset + Length > Text.size()) {
                return service::Failure(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "no such file");
            }
            memcpy(Buffer, Text.data() + Offset, Length);
            return service::Success();
        };
        service::Result Started = Service.Start(L"C:\\Sync", FromMemory);
        if (!Started.Ok()) {
            fprintf(stderr, "%s\n", Started.Message.c_str());
            return 1;
        }

        /* A program reads the placeholder: the filter asks the service. */
        {
            emu::ProcessScope InProgram(Program);
            HANDLE Reader = CreateFileW(L"C:\\Sync\\hello.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                        0, NULL);
            char Buffer[128] = {};
            DWORD Read = 0;
            BOOL Ok = ReadFile(Reader, Buffer, sizeof(Buffer), &Read, NULL);
            CloseHandle(Reader);
            bool Same = Ok && std::string(Buffer, Read) == Text;
            printf("program read %lu bytes: %s", (unsigned long)Read, Same ? Buffer : "(wrong data)\n");
            Failures += Same ? 0 : 1;
        }
        service::ServiceStatistics Statistics = Service.Statistics();
        printf("service: %llu request(s), %llu byte(s) sent\n", (unsigned long long)Statistics.Requests,
               (unsigned long long)Statistics.BytesSent);
        Service.Stop();
    }
    System.Terminate(Program);
    System.Terminate(ServiceProcess);
    System.UnloadDriver(0);
    std::vector<std::string> Leaks = System.Leaks();
    for (const std::string &Leak : Leaks) {
        printf("left behind: %s\n", Leak.c_str());
    }
    printf("%s\n", Failures == 0 && Leaks.empty() ? "hello-service: ok" : "hello-service: FAILED");
    return Failures == 0 && Leaks.empty() ? 0 : 1;
}
