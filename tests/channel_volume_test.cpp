/*
 * A sync root must lie on a volume the filter has an instance on: the
 * service's connection for a directory on a volume the filter declined, or
 * whose attach failed, is refused with STATUS_NOT_SUPPORTED, and the
 * service sees that status from FilterConnectCommunicationPort (as the
 * HRESULT of ERROR_NOT_SUPPORTED, the port library's mapping).
 */
#include "Harness.h"

#include "ServiceClient.h"

using namespace zentaflt_test;
namespace service = zentaflt::service;

namespace {

class UnfilteredVolumeTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        Service = System->CreateProcess("service.exe");
    }

    void TearDown() override
    {
        System->Terminate(Service);
        FilterTest::TearDown();
    }

    void MakeDirectory(const wchar_t *Path)
    {
        emu::ProcessScope InService(Service);
        ASSERT_TRUE(CreateDirectoryW(Path, NULL));
    }

    /* Connects a directory as the service; the HRESULT it gets and the
       NTSTATUS behind it. */
    HRESULT Connect(const wchar_t *Path, service::ServiceConnection *Connection, NTSTATUS *Status)
    {
        emu::ProcessScope InService(Service);
        HANDLE Directory = CreateFileW(Path, SyncRootDirectoryAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        EXPECT_NE(Directory, INVALID_HANDLE_VALUE);
        HRESULT Result = service::ConnectSyncRoot(Directory, Connection);
        *Status = emu::user::LastStatus();
        CloseHandle(Directory);
        return Result;
    }

    void Disconnect(service::ServiceConnection *Connection)
    {
        emu::ProcessScope InService(Service);
        service::Disconnect(Connection);
    }

    emu::EmuProcess *Service = nullptr;
};

TEST_F(UnfilteredVolumeTest, ADirectoryOnAFatVolumeIsRefusedWithNotSupported)
{
    PFLT_VOLUME Ntfs = System->Mount({FLT_FSTYPE_NTFS});
    PFLT_VOLUME Fat = System->Mount({FLT_FSTYPE_FAT});
    ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);
    ASSERT_TRUE(System->IsAttached(Ntfs));
    ASSERT_FALSE(System->IsAttached(Fat));
    MakeDirectory(L"C:\\Sync");
    MakeDirectory(L"D:\\Sync");

    service::ServiceConnection Connection;
    NTSTATUS Status = STATUS_SUCCESS;
    EXPECT_EQ(Connect(L"D:\\Sync", &Connection, &Status), HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ((ULONG)STATUS_NOT_SUPPORTED, 0xC00000BBu);
    EXPECT_TRUE(IsListEmpty(&FilterGlobals.SyncRootList));
    /* Reported where the filter found no instance, and again by the
       connect notification that refuses the connection. */
    EXPECT_EQ(System->KernelDebugger().OutputText(), "Zentaflt: 0xc00000bb\nZentaflt: 0xc00000bb\n");

    /* The volume the filter is attached to still takes the same name. */
    ASSERT_EQ(Connect(L"C:\\Sync", &Connection, &Status), S_OK);
    EXPECT_FALSE(IsListEmpty(&FilterGlobals.SyncRootList));
    Disconnect(&Connection);
    /* The lookups' references were dropped: the fixture finds none. */
}

TEST_F(UnfilteredVolumeTest, AnNtfsVolumeWhoseAttachFailedIsRefusedToo)
{
    System->Faults().Arm("FltAllocateContext", STATUS_INSUFFICIENT_RESOURCES);
    PFLT_VOLUME Ntfs = System->Mount({FLT_FSTYPE_NTFS});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_FALSE(System->IsAttached(Ntfs));
    EXPECT_EQ(System->SetupStatusOn(Ntfs), STATUS_FLT_DO_NOT_ATTACH);
    MakeDirectory(L"C:\\Sync");

    service::ServiceConnection Connection;
    NTSTATUS Status = STATUS_SUCCESS;
    EXPECT_EQ(Connect(L"C:\\Sync", &Connection, &Status), HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(Status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(IsListEmpty(&FilterGlobals.SyncRootList));

    /* Once the filter attaches to a newly mounted NTFS volume, a directory
       there connects. */
    PFLT_VOLUME Later = System->Mount({FLT_FSTYPE_NTFS});
    ASSERT_TRUE(System->IsAttached(Later));
    MakeDirectory(L"D:\\Sync");
    ASSERT_EQ(Connect(L"D:\\Sync", &Connection, &Status), S_OK);
    Disconnect(&Connection);
}

TEST_F(UnfilteredVolumeTest, AnInstanceBeingTornDownPassesItsStatusThrough)
{
    System->Mount({FLT_FSTYPE_NTFS});
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    MakeDirectory(L"C:\\Sync");
    System->Faults().Arm("FltGetVolumeInstanceFromName", STATUS_FLT_DELETING_OBJECT);

    service::ServiceConnection Connection;
    NTSTATUS Status = STATUS_SUCCESS;
    EXPECT_NE(Connect(L"C:\\Sync", &Connection, &Status), S_OK);
    EXPECT_EQ(Status, STATUS_FLT_DELETING_OBJECT);
    EXPECT_TRUE(IsListEmpty(&FilterGlobals.SyncRootList));
    /* The volume's reference from the first lookup went back. */
    EXPECT_EQ(System->Accounting().LiveCount("filter object reference"), 0u);
}

}  // namespace
