/*
 * Unloading the filter while the service is connected: with sync roots
 * connected, while a disconnect is still tearing one down on the service's
 * thread, and while a connect is still registering one.  The unload must
 * end every sync root, leave nothing behind and return only once no
 * notification of the filter runs any more; the emulated filter manager
 * reports any notification entered after FltUnregisterFilter returned.
 */
#include "Harness.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "EmuTesting.h"

#include "ServiceClient.h"

using namespace zentaflt_test;
namespace service = zentaflt::service;

namespace {

class UnloadTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        System->Mount();
        ASSERT_EQ(Load(), STATUS_SUCCESS);
        Service = System->CreateProcess("service.exe");
        emu::ProcessScope InService(Service);
        for (const wchar_t *Directory : {L"C:\\Sync", L"C:\\Sync2"}) {
            ASSERT_TRUE(CreateDirectoryW(Directory, NULL));
        }
    }

    void TearDown() override
    {
        System->Terminate(Service);
        FilterTest::TearDown();
    }

    HRESULT Connect(const wchar_t *Path, service::ServiceConnection *Connection)
    {
        emu::ProcessScope InService(Service);
        return service::ConnectSyncRootPath(Path, Connection);
    }

    /* The sync root of a path under C:\Sync, referenced; null when none. */
    PSYNC_ROOT FindSync()
    {
        std::u16string Name = u"\\Device\\HarddiskVolume1\\Sync\\File.txt";
        UNICODE_STRING Text = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
        PSYNC_ROOT Root = NULL;
        return NT_SUCCESS(SyncRootFind(&Text, &Root)) ? Root : NULL;
    }

    /* Unloads on another thread; Done is set once the unload returned. */
    std::thread UnloadInBackground(std::atomic<bool> *Done)
    {
        return std::thread([this, Done] {
            EXPECT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);
            *Done = true;
        });
    }

    /* Gives a thread that should stay blocked the chance to run on. */
    static void LetOthersRun() { std::this_thread::sleep_for(std::chrono::milliseconds(30)); }

    /* Whether the service's connection has been ended by the filter side. */
    bool Disconnected(const service::ServiceConnection &Connection)
    {
        emu::ProcessScope InService(Service);
        SERVICE_COMMAND Command;
        RtlZeroMemory(&Command, sizeof(Command));
        Command.Command = CommandCompleteHydration;
        ULONG Output = 0;
        DWORD Returned = 0;
        return service::SendCommand(Connection, Command, &Output, &Returned) != S_OK &&
               emu::user::LastStatus() == STATUS_PORT_DISCONNECTED;
    }

    emu::EmuProcess *Service = nullptr;
};

TEST_F(UnloadTest, UnloadWithServicesConnectedEndsEverySyncRoot)
{
    service::ServiceConnection One;
    service::ServiceConnection Two;
    ASSERT_EQ(Connect(L"C:\\Sync", &One), S_OK);
    ASSERT_EQ(Connect(L"C:\\Sync2", &Two), S_OK);
    ASSERT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);
    EXPECT_TRUE(System->Accounting().Violations().empty());
    EXPECT_TRUE(Disconnected(One));
    EXPECT_TRUE(Disconnected(Two));
    /* The services' last closes reach no notification of the unloaded
       filter (it would be reported). */
    {
        emu::ProcessScope InService(Service);
        service::Disconnect(&One);
        service::Disconnect(&Two);
    }
    EXPECT_EQ(emu::PortTables().Connections, 0u);
}

TEST_F(UnloadTest, UnloadWaitsForADisconnectStillTearingDown)
{
    service::ServiceConnection Connection;
    ASSERT_EQ(Connect(L"C:\\Sync", &Connection), S_OK);
    PSYNC_ROOT Held = FindSync();
    ASSERT_NE(Held, nullptr);

    /* The service goes; its disconnect waits for the reference held here. */
    std::thread Closer([&] {
        emu::ProcessScope InService(Service);
        service::Disconnect(&Connection);
    });
    while (emu::ClientPortIn(&Held->ClientPort) != NULL) {
        std::this_thread::yield();
    }

    std::atomic<bool> Unloaded{false};
    std::thread Unloader = UnloadInBackground(&Unloaded);
    LetOthersRun();
    EXPECT_FALSE(Unloaded.load()) << "FltUnregisterFilter returned while the disconnect notification runs";

    SyncRootRelease(Held);
    Closer.join();
    Unloader.join();
    EXPECT_TRUE(Unloaded.load());
    EXPECT_TRUE(System->Accounting().Violations().empty());
}

TEST_F(UnloadTest, UnloadWaitsForAConnectStillRegistering)
{
    /* The connect stops at the sync-root list, held here. */
    KeEnterCriticalRegion();
    ExAcquireResourceExclusiveLite(&FilterGlobals.SyncRootListLock, TRUE);
    service::ServiceConnection Connection;
    std::atomic<HRESULT> Connected{-1};
    std::thread Connector([&] { Connected = Connect(L"C:\\Sync", &Connection); });
    while (emu::PortTables().Connections == 0) {
        std::this_thread::yield();
    }
    LetOthersRun();

    std::atomic<bool> Unloaded{false};
    std::thread Unloader = UnloadInBackground(&Unloaded);
    LetOthersRun();
    EXPECT_FALSE(Unloaded.load()) << "FltUnregisterFilter returned while the connect notification runs";
    EXPECT_EQ(Connected.load(), -1);

    ExReleaseResourceLite(&FilterGlobals.SyncRootListLock);
    KeLeaveCriticalRegion();
    Connector.join();
    Unloader.join();
    /* The connect completed; the unload then ended its sync root. */
    EXPECT_EQ(Connected.load(), S_OK);
    EXPECT_TRUE(Unloaded.load());
    EXPECT_TRUE(Disconnected(Connection));
    EXPECT_TRUE(System->Accounting().Violations().empty());
    emu::ProcessScope InService(Service);
    service::Disconnect(&Connection);
}

TEST_F(UnloadTest, ConnectDisconnectCyclesLeaveTheFilterManagersTables)
{
    const emu::PortTableSizes Start = emu::PortTables();
    for (int Cycle = 0; Cycle < 100; Cycle += 1) {
        service::ServiceConnection Connection;
        ASSERT_EQ(Connect(Cycle % 2 == 0 ? L"C:\\Sync" : L"C:\\Sync2", &Connection), S_OK);
        emu::ProcessScope InService(Service);
        service::Disconnect(&Connection);
    }
    /* Refused connections too: a directory inside a connected one. */
    service::ServiceConnection Outer;
    ASSERT_EQ(Connect(L"C:\\Sync", &Outer), S_OK);
    {
        emu::ProcessScope InService(Service);
        ASSERT_TRUE(CreateDirectoryW(L"C:\\Sync\\Inner", NULL));
    }
    for (int Cycle = 0; Cycle < 10; Cycle += 1) {
        service::ServiceConnection Inner;
        EXPECT_NE(Connect(L"C:\\Sync\\Inner", &Inner), S_OK);
    }
    {
        emu::ProcessScope InService(Service);
        service::Disconnect(&Outer);
    }
    const emu::PortTableSizes End = emu::PortTables();
    EXPECT_EQ(End.Connections, Start.Connections);
    EXPECT_EQ(End.Ports, Start.Ports);
}

}  // namespace
