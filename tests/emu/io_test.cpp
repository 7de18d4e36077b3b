/*
 * The emulated I/O manager, NTFS namespace, handles and name queries, as a
 * program or the service in their own processes see them.
 */
#include <gtest/gtest.h>

#include <fltUser.h>

#include "EmuTesting.h"

namespace {

class EmulatedIo : public ::testing::Test {
protected:
    void SetUp() override
    {
        Volume = System.Mount();
        Program = System.CreateProcess("program.exe");
    }

    void TearDown() override
    {
        System.Terminate(Program);
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    emu::System System;
    PFLT_VOLUME Volume = nullptr;
    emu::EmuProcess *Program = nullptr;
};

TEST_F(EmulatedIo, NamespaceIsCaseInsensitiveAndCasePreserving)
{
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Sync", NULL));
    EXPECT_FALSE(CreateDirectoryW(L"C:\\SYNC", NULL));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);

    HANDLE File = CreateFileW(L"C:\\sync\\Report.TXT", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    HANDLE Again = CreateFileW(L"c:\\SYNC\\report.txt", GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    EXPECT_EQ(Again, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);

    /* The normalized name spells each component as stored. */
    PFILE_OBJECT Object = NULL;
    ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
              STATUS_SUCCESS);
    PFLT_FILE_NAME_INFORMATION Name = NULL;
    ASSERT_EQ(FltGetFileNameInformationUnsafe(Object, NULL, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT,
                                              &Name),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::Narrow(Name->Name.Buffer, Name->Name.Length / 2), "\\Device\\HarddiskVolume1\\Sync\\Report.TXT");
    ASSERT_EQ(FltParseFileNameInformation(Name), STATUS_SUCCESS);
    EXPECT_EQ(emu::Narrow(Name->Volume.Buffer, Name->Volume.Length / 2), "\\Device\\HarddiskVolume1");
    EXPECT_EQ(emu::Narrow(Name->ParentDir.Buffer, Name->ParentDir.Length / 2), "\\Sync\\");
    EXPECT_EQ(emu::Narrow(Name->FinalComponent.Buffer, Name->FinalComponent.Length / 2), "Report.TXT");
    EXPECT_EQ(emu::Narrow(Name->Extension.Buffer, Name->Extension.Length / 2), "TXT");
    EXPECT_EQ(System.Accounting().LiveCount("file name information"), 1u);
    FltReleaseFileNameInformation(Name);
    ObDereferenceObject(Object);
    EXPECT_TRUE(CloseHandle(File));

    /* Missing files and directories. */
    EXPECT_EQ(CreateFileW(L"C:\\Sync\\missing", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(L"C:\\Nope\\file", GENERIC_READ, 0, NULL, CREATE_NEW, 0, NULL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
    /* A directory opens only with backup semantics. */
    EXPECT_EQ(CreateFileW(L"C:\\Sync", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL), INVALID_HANDLE_VALUE);
    HANDLE Directory = CreateFileW(L"C:\\Sync", GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    EXPECT_NE(Directory, INVALID_HANDLE_VALUE);
    CloseHandle(Directory);
}

TEST_F(EmulatedIo, NameQueriesRefuseWhereTheFileSystemMustNotBeAsked)
{
    emu::ProcessScope InProgram(Program);
    HANDLE File = CreateFileW(L"C:\\named.txt", GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(File, IRP_MJ_READ, UserMode);
    PFLT_FILE_NAME_INFORMATION Name = NULL;
    const FLT_FILE_NAME_OPTIONS Default = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT;
    const FLT_FILE_NAME_OPTIONS FileSystemOnly = FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_FILESYSTEM_ONLY;
    ASSERT_EQ(FltGetFileNameInformation(Data, Default, &Name), STATUS_SUCCESS);
    FltReleaseFileNameInformation(Name);

    /* Paging I/O. */
    Data->Iopb->IrpFlags = IRP_PAGING_IO | IRP_NOCACHE;
    EXPECT_EQ(FltGetFileNameInformation(Data, Default, &Name), STATUS_FLT_NAME_CACHE_MISS);
    EXPECT_EQ(FltGetFileNameInformation(Data, FileSystemOnly, &Name), STATUS_FLT_INVALID_NAME_REQUEST);
    Data->Iopb->IrpFlags = 0;

    /* A top-level IRP on the thread (a file system's own request). */
    IoSetTopLevelIrp((PIRP)FSRTL_FSP_TOP_LEVEL_IRP);
    EXPECT_EQ(FltGetFileNameInformation(Data, Default, &Name), STATUS_FLT_NAME_CACHE_MISS);
    EXPECT_EQ(FltGetFileNameInformation(Data, FileSystemOnly, &Name), STATUS_FLT_INVALID_NAME_REQUEST);
    IoSetTopLevelIrp(NULL);
    emu::FreeCallbackData(Data);
    CloseHandle(File);
}

TEST_F(EmulatedIo, HandleAccessIsCheckedForUserModeReferences)
{
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Root", NULL));
    HANDLE Narrow = CreateFileW(L"C:\\Root", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    HANDLE Wide = CreateFileW(L"C:\\Root", FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(Narrow, INVALID_HANDLE_VALUE);
    ASSERT_NE(Wide, INVALID_HANDLE_VALUE);

    PVOID Object = NULL;
    EXPECT_EQ(ObReferenceObjectByHandle(Narrow, 0x86, *IoFileObjectType, UserMode, &Object, NULL),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ObReferenceObjectByHandle(Narrow, 0x86, *IoFileObjectType, KernelMode, &Object, NULL), STATUS_SUCCESS);
    ObDereferenceObject(Object);
    ASSERT_EQ(ObReferenceObjectByHandle(Wide, 0x86, *IoFileObjectType, UserMode, &Object, NULL), STATUS_SUCCESS);
    ObDereferenceObject(Object);
    EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)0x7777, 0x86, *IoFileObjectType, UserMode, &Object, NULL),
              STATUS_INVALID_HANDLE);

    /* Handles belong to their process. */
    emu::EmuProcess *Other = System.CreateProcess("other.exe");
    {
        emu::ProcessScope InOther(Other);
        EXPECT_EQ(ObReferenceObjectByHandle(Wide, 0x86, *IoFileObjectType, UserMode, &Object, NULL),
                  STATUS_INVALID_HANDLE);
    }
    CloseHandle(Narrow);
    CloseHandle(Wide);
    EXPECT_FALSE(CloseHandle(Wide));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

/* The low two bits of a handle value are the caller's to use: Windows
   ignores them when it looks the handle up, and when it closes it. */
TEST_F(EmulatedIo, HandleTagBitsAreIgnored)
{
    emu::ProcessScope InProgram(Program);
    ASSERT_TRUE(CreateDirectoryW(L"C:\\Tagged", NULL));
    HANDLE Directory = CreateFileW(L"C:\\Tagged", FILE_READ_ATTRIBUTES, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, NULL);
    ASSERT_NE(Directory, INVALID_HANDLE_VALUE);
    ASSERT_EQ((ULONG_PTR)Directory & OBJ_HANDLE_TAGBITS, 0u);
    PVOID Plain = NULL;
    ASSERT_EQ(ObReferenceObjectByHandle(Directory, 0, *IoFileObjectType, UserMode, &Plain, NULL), STATUS_SUCCESS);
    for (ULONG_PTR Tag = 1; Tag <= OBJ_HANDLE_TAGBITS; Tag += 1) {
        PVOID Object = NULL;
        HANDLE Tagged = (HANDLE)((ULONG_PTR)Directory | Tag);
        ASSERT_EQ(ObReferenceObjectByHandle(Tagged, FILE_READ_ATTRIBUTES, *IoFileObjectType, UserMode, &Object, NULL),
                  STATUS_SUCCESS);
        EXPECT_EQ(Object, Plain);
        ObDereferenceObject(Object);
        /* The access check still applies. */
        EXPECT_EQ(ObReferenceObjectByHandle(Tagged, FILE_ADD_FILE, *IoFileObjectType, UserMode, &Object, NULL),
                  STATUS_ACCESS_DENIED);
    }
    ObDereferenceObject(Plain);
    EXPECT_TRUE(CloseHandle((HANDLE)((ULONG_PTR)Directory | 3)));
    EXPECT_FALSE(CloseHandle(Directory));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(EmulatedIo, WideIdsExceedThirtyTwoBits)
{
    System.UseWideIds(true);
    emu::EmuProcess *Service = System.CreateProcess("service.exe");
    uint64_t ThreadId = 0;
    uint64_t ProcessId = 0;
    std::thread Worker([&] {
        emu::ProcessScope InService(Service);
        ThreadId = (uint64_t)PsGetCurrentThreadId();
        ProcessId = (uint64_t)PsGetCurrentProcessId();
    });
    Worker.join();
    EXPECT_GT(ThreadId, 0xFFFFFFFFull);
    EXPECT_GT(ProcessId, 0xFFFFFFFFull);
    EXPECT_EQ(ProcessId, Service->ProcessId);
}

}  // namespace
