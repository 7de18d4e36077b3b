/*
 * The operation callbacks as programs meet them: opening a placeholder
 * gives its stream a context, every hydration trigger hydrates first,
 * ordinary files are left alone, and reparse points inside a connected
 * sync root cannot be changed.
 */
#include "HydrationFixture.h"

#include <functional>
#include <thread>

using namespace zentaflt_test;

namespace {

using Triggers = HydrationTest;

TEST_F(Triggers, OpeningAPlaceholderGivesItsStreamAContextAndNothingElseDoes)
{
    MakePlaceholder(L"C:\\Sync\\p.bin", Content(10));
    MakeFile(L"C:\\Sync\\plain.bin", Content(10));
    HANDLE Placeholder = OpenInProgram(L"C:\\Sync\\p.bin", GENERIC_READ);
    HANDLE Plain = OpenInProgram(L"C:\\Sync\\plain.bin", GENERIC_READ);
    HANDLE Directory = OpenInProgram(L"C:\\Sync", GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(ContextOf(Placeholder), nullptr);
    EXPECT_EQ(ContextOf(Placeholder)->State, (ULONG)StreamStateNew);
    EXPECT_EQ(ContextOf(Plain), nullptr);
    EXPECT_EQ(ContextOf(Directory), nullptr);

    /* A create that fails leaves no entry and no context behind (the
       fixture's leak check sees the entries of the lookaside list). */
    emu::ProcessScope InProgram(Program);
    EXPECT_EQ(CreateFileW(L"C:\\Sync\\missing.bin", GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(Triggers, WriteLockZeroRangeAndEndOfFileEachHydrateFirst)
{
    struct Case {
        const wchar_t *Path;
        std::function<NTSTATUS(HANDLE)> Operation;
    };
    std::vector<Case> Cases = {
        {L"C:\\Sync\\write.bin", [&](HANDLE File) { return WriteAt(File, 1, {0xAA}); }},
        {L"C:\\Sync\\lock.bin",
         [&](HANDLE File) {
             emu::ProcessScope InProgram(Program);
             if (!LockFile(File, 0, 0, 10, 0)) {
                 return emu::user::LastStatus();
             }
             /* Released again, so that the check below can read the range
                through a file object of its own. */
             return UnlockFile(File, 0, 0, 10, 0) ? STATUS_SUCCESS : emu::user::LastStatus();
         }},
        {L"C:\\Sync\\zero.bin",
         [&](HANDLE File) {
             emu::ProcessScope InProgram(Program);
             FILE_ZERO_DATA_INFORMATION Range = {};
             Range.FileOffset.QuadPart = 0;
             Range.BeyondFinalZero.QuadPart = 2;
             DWORD Returned = 0;
             return DeviceIoControl(File, FSCTL_SET_ZERO_DATA, &Range, sizeof(Range), NULL, 0, &Returned, NULL)
                        ? STATUS_SUCCESS
                        : emu::user::LastStatus();
         }},
        {L"C:\\Sync\\eof.bin",
         [&](HANDLE File) {
             emu::ProcessScope InProgram(Program);
             LARGE_INTEGER At = {};
             At.QuadPart = 6000;
             if (!SetFilePointerEx(File, At, NULL, FILE_BEGIN)) {
                 return emu::user::LastStatus();
             }
             return SetEndOfFile(File) ? STATUS_SUCCESS : emu::user::LastStatus();
         }},
    };
    size_t Index = 0;
    for (Case &Each : Cases) {
        const std::vector<unsigned char> Expected = Content(5000, (unsigned)Index);
        MakePlaceholder(Each.Path, Expected);
        HANDLE File = OpenInProgram(Each.Path);
        EXPECT_EQ(Each.Operation(File), STATUS_SUCCESS) << Index;
        EXPECT_EQ(Service->MessageCount(), Index + 1) << Index;
        EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated) << Index;
        FileFacts After = Facts(Each.Path);
        EXPECT_FALSE(After.ReparsePoint) << Index;
        /* The operation ran on the full file: the data beyond what it
           touched is the service's. */
        ASSERT_GE(After.Data.size(), 5000u) << Index;
        EXPECT_TRUE(std::equal(Expected.begin() + 2, Expected.end(), After.Data.begin() + 2)) << Index;
        Index += 1;
    }
}

TEST_F(Triggers, AHardLinkHydratesTheFileFirst)
{
    const std::vector<unsigned char> Expected = Content(3000);
    MakePlaceholder(L"C:\\Sync\\linked.bin", Expected);
    HANDLE File = OpenInProgram(L"C:\\Sync\\linked.bin");
    struct {
        FILE_LINK_INFORMATION Link;
        WCHAR More[32];
    } Information = {};
    const char16_t Target[] = u"\\??\\C:\\Sync\\other.bin";
    Information.Link.FileNameLength = sizeof(Target) - sizeof(char16_t);
    memcpy(Information.Link.FileName, Target, Information.Link.FileNameLength);
    IO_STATUS_BLOCK Io = {};
    NTSTATUS Status;
    {
        emu::ProcessScope InProgram(Program);
        Status = NtSetInformationFile(File, &Io, &Information, sizeof(Information), FileLinkInformation);
    }
    EXPECT_EQ(Status, STATUS_SUCCESS);
    EXPECT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
    EXPECT_EQ(Facts(L"C:\\Sync\\linked.bin").Data, Expected);
}

TEST_F(Triggers, SectionsLinksAndEndOfFileAsTheFilterManagerDeliversThem)
{
    MakePlaceholder(L"C:\\Sync\\section.bin", Content(100));
    HANDLE File = OpenInProgram(L"C:\\Sync\\section.bin");
    emu::ProcessScope InProgram(Program);

    /* A section synchronisation other than for creating a section passes
       untouched. */
    PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(File, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, UserMode);
    Data->Iopb->Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeOther;
    PVOID Context = (PVOID)1;
    EXPECT_EQ(PreAcquireForSection(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    EXPECT_EQ(Context, nullptr);
    emu::FreeCallbackData(Data);

    /* An end of file that may only advance passes without hydrating. */
    Data = emu::MakeCallbackData(File, IRP_MJ_SET_INFORMATION, UserMode);
    Data->Iopb->Parameters.SetFileInformation.FileInformationClass = FileEndOfFileInformation;
    Data->Iopb->Parameters.SetFileInformation.AdvanceOnly = TRUE;
    EXPECT_EQ(PreSetInformation(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    /* Allocation size passes too (renames go to the guards). */
    Data->Iopb->Parameters.SetFileInformation.FileInformationClass = FileAllocationInformation;
    EXPECT_EQ(PreSetInformation(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    emu::FreeCallbackData(Data);
    EXPECT_EQ(Service->MessageCount(), 0u);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateNew);

    /* A hard link hydrates. */
    Data = emu::MakeCallbackData(File, IRP_MJ_SET_INFORMATION, UserMode);
    Data->Iopb->Parameters.SetFileInformation.FileInformationClass = FileLinkInformationEx;
    EXPECT_EQ(PreSetInformation(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    emu::FreeCallbackData(Data);
    EXPECT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
}

TEST_F(Triggers, CreatingASectionHydrates)
{
    MakePlaceholder(L"C:\\Sync\\mapped.bin", Content(100));
    HANDLE File = OpenInProgram(L"C:\\Sync\\mapped.bin");
    emu::ProcessScope InProgram(Program);
    PVOID Context = (PVOID)1;
    PFLT_CALLBACK_DATA Data;

    /* Creating a section hydrates. */
    Data = emu::MakeCallbackData(File, IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, UserMode);
    Data->Iopb->Parameters.AcquireForSectionSynchronization.SyncType = SyncTypeCreateSection;
    EXPECT_EQ(PreAcquireForSection(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    emu::FreeCallbackData(Data);
    EXPECT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
}

TEST_F(Triggers, MappingAPlaceholderHydratesIt)
{
    const std::vector<unsigned char> Expected = Content(6000);
    MakePlaceholder(L"C:\\Sync\\mapped.bin", Expected);
    HANDLE File = OpenInProgram(L"C:\\Sync\\mapped.bin", GENERIC_READ);
    emu::ProcessScope InProgram(Program);

    /* Creating the section (IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION with
       SyncTypeCreateSection) hydrates; the view's pages then fault in with
       the data. */
    HANDLE Mapping = CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL);
    ASSERT_NE(Mapping, (HANDLE)NULL) << emu::user::LastStatus();
    EXPECT_EQ(Service->MessageCount(), 1u);
    EXPECT_EQ(ContextOf(File)->State, (ULONG)StreamStateHydrated);
    auto View = (const unsigned char *)MapViewOfFile(Mapping, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(View, nullptr) << emu::user::LastStatus();
    EXPECT_EQ(std::vector<unsigned char>(View, View + Expected.size()), Expected);
    EXPECT_TRUE(UnmapViewOfFile(View));
    CloseHandle(Mapping);

    /* Mapping the hydrated file again asks nothing. */
    Mapping = CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL);
    ASSERT_NE(Mapping, (HANDLE)NULL);
    CloseHandle(Mapping);
    EXPECT_EQ(Service->MessageCount(), 1u);
}

TEST_F(Triggers, AMappingFailsWhenItsHydrationFails)
{
    MakePlaceholder(L"C:\\Sync\\mapped.bin", Content(100));
    Service->Hold = true;
    HANDLE File = OpenInProgram(L"C:\\Sync\\mapped.bin", GENERIC_READ);
    HANDLE Mapping = NULL;
    NTSTATUS Status = STATUS_PENDING;
    std::thread Mapper([&] {
        emu::ProcessScope InProgram(Program);
        Mapping = CreateFileMappingW(File, NULL, PAGE_READONLY, 0, 0, NULL);
        Status = emu::user::LastStatus();
    });
    ASSERT_TRUE(Service->WaitForMessages(1));
    Service->Complete(Service->Messages()[0].RequestId, STATUS_UNSUCCESSFUL);
    Mapper.join();
    EXPECT_EQ(Mapping, (HANDLE)NULL);
    EXPECT_FALSE(NT_SUCCESS(Status));
    EXPECT_NE(ContextOf(File)->State, (ULONG)StreamStateHydrated);
}

TEST_F(Triggers, OrdinaryFilesNeverGetAContextOrAMessage)
{
    const std::vector<unsigned char> Data = Content(9000);
    MakeFile(L"C:\\Sync\\plain.bin", Data);
    HANDLE File = OpenInProgram(L"C:\\Sync\\plain.bin");
    EXPECT_EQ(ReadAt(File, 0, 9000), Data);

    /* A cached read of an ordinary file costs the filter one failed
       stream-context lookup. */
    uint64_t Before = System->Faults().Calls("FltGetStreamContext");
    EXPECT_EQ(ReadAt(File, 100, 10), std::vector<unsigned char>(Data.begin() + 100, Data.begin() + 110));
    EXPECT_EQ(System->Faults().Calls("FltGetStreamContext") - Before, 1u);

    EXPECT_EQ(WriteAt(File, 5, {1}), STATUS_SUCCESS);
    {
        emu::ProcessScope InProgram(Program);
        EXPECT_TRUE(LockFile(File, 0, 0, 1, 0));
        FILE_ZERO_DATA_INFORMATION Range = {};
        Range.BeyondFinalZero.QuadPart = 1;
        DWORD Returned = 0;
        EXPECT_TRUE(DeviceIoControl(File, FSCTL_SET_ZERO_DATA, &Range, sizeof(Range), NULL, 0, &Returned, NULL));
        EXPECT_TRUE(SetEndOfFile(File));
    }
    EXPECT_EQ(ContextOf(File), nullptr);
    EXPECT_EQ(Service->MessageCount(), 0u);
    EXPECT_EQ(System->Accounting().PoolByTag()[PoolTagStreamContext].Allocations, 0u);
}

/* Sets (Delete false) or deletes a reparse point of another product's tag
   as the program; returns the NTSTATUS. */
NTSTATUS ChangeReparsePoint(HydrationTest *Test, emu::EmuProcess *Program, HANDLE File, bool Delete)
{
    (void)Test;
    emu::ProcessScope InProgram(Program);
    struct {
        REPARSE_GUID_DATA_BUFFER Header;
        UCHAR Data[4];
    } Buffer = {};
    Buffer.Header.ReparseTag = 0x00000099;
    Buffer.Header.ReparseGuid = GUID{0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
    Buffer.Header.ReparseDataLength = Delete ? 0 : 4;
    DWORD Returned = 0;
    ULONG Length = REPARSE_GUID_DATA_BUFFER_HEADER_SIZE + (Delete ? 0 : 4);
    return DeviceIoControl(File, Delete ? FSCTL_DELETE_REPARSE_POINT : FSCTL_SET_REPARSE_POINT, &Buffer, Length,
                           NULL, 0, &Returned, NULL)
               ? STATUS_SUCCESS
               : emu::user::LastStatus();
}

TEST_F(Triggers, ReparsePointsInsideAConnectedSyncRootCannotBeChanged)
{
    MakeFile(L"C:\\Sync\\inside.bin", {});
    MakeFile(L"C:\\Outside\\outside.bin", {});
    HANDLE Inside = OpenInProgram(L"C:\\Sync\\inside.bin");
    HANDLE Root = OpenInProgram(L"C:\\Sync", GENERIC_READ | GENERIC_WRITE, FILE_FLAG_BACKUP_SEMANTICS);
    HANDLE Outside = OpenInProgram(L"C:\\Outside\\outside.bin");

    EXPECT_EQ(ChangeReparsePoint(this, Program, Inside, false), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ChangeReparsePoint(this, Program, Root, false), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ChangeReparsePoint(this, Program, Inside, true), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ChangeReparsePoint(this, Program, Outside, false), STATUS_SUCCESS);
    EXPECT_EQ(ChangeReparsePoint(this, Program, Outside, true), STATUS_SUCCESS);

    /* Once the service has gone, the directory is no sync root. */
    Service->Stop();
    EXPECT_EQ(ChangeReparsePoint(this, Program, Inside, false), STATUS_SUCCESS);
    EXPECT_EQ(ChangeReparsePoint(this, Program, Inside, true), STATUS_SUCCESS);
}

TEST_F(Triggers, OtherControlsAndMinorFunctionsPass)
{
    MakeFile(L"C:\\Sync\\inside.bin", {});
    HANDLE Inside = OpenInProgram(L"C:\\Sync\\inside.bin");
    emu::ProcessScope InProgram(Program);
    PFLT_CALLBACK_DATA Data = emu::MakeCallbackData(Inside, IRP_MJ_FILE_SYSTEM_CONTROL, UserMode);
    PVOID Context = (PVOID)1;
    Data->Iopb->Parameters.FileSystemControl.Common.FsControlCode = FSCTL_SET_REPARSE_POINT;
    Data->Iopb->MinorFunction = IRP_MN_KERNEL_CALL;
    EXPECT_EQ(PreFileSystemControl(Data, NULL, &Context), FLT_PREOP_COMPLETE);
    EXPECT_EQ(Data->IoStatus.Status, STATUS_ACCESS_DENIED);
    Data->Iopb->MinorFunction = 1; /* IRP_MN_MOUNT_VOLUME */
    EXPECT_EQ(PreFileSystemControl(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    Data->Iopb->MinorFunction = IRP_MN_USER_FS_REQUEST;
    Data->Iopb->Parameters.FileSystemControl.Common.FsControlCode = FSCTL_GET_REPARSE_POINT;
    EXPECT_EQ(PreFileSystemControl(Data, NULL, &Context), FLT_PREOP_SUCCESS_NO_CALLBACK);
    EXPECT_EQ(Context, nullptr);
    emu::FreeCallbackData(Data);
}

}  // namespace
