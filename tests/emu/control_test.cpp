/*
 * control_test.cpp - device controls from programs (the I/O manager's
 * access check from the code, METHOD_BUFFERED system buffers, the fast-I/O
 * attempt before the IRP), kernel handles from ObOpenObjectByPointer, a
 * filter's own FltCreateFileEx2 below its instance with the atomic-create
 * extra create parameter, and the file-object flags a program's open sets.
 */
#include <winternl.h>

#include <cstring>

#include "TestFilter.h"

namespace emu_test {
namespace {

constexpr ULONG TestTag = 0x20000099;
constexpr GUID TestGuid = {0x11111111, 0x2222, 0x3333, {4, 5, 6, 7, 8, 9, 10, 11}};

/* A device-control code of device type 0x9000 with the given access. */
constexpr ULONG ControlCode(ULONG Access)
{
    return CTL_CODE(0x9000, 0x801, METHOD_BUFFERED, Access);
}

/* A filter that sees device controls: it refuses them as fast I/O when
   asked, and records what each request looked like. */
struct ControlFilter {
    static inline PFLT_FILTER Filter = nullptr;
    static inline bool RefuseFastIo = false;
    static inline std::vector<std::string> Seen;
    static inline std::vector<unsigned char> SystemBufferSeen;
    static inline const void *CallerBuffer = nullptr;

    static FLT_PREOP_CALLBACK_STATUS FLTAPI Pre(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS, PVOID *Context)
    {
        *Context = NULL;
        auto &Parameters = Data->Iopb->Parameters.DeviceIoControl;
        if (FLT_IS_FASTIO_OPERATION(Data)) {
            Seen.push_back("fast");
            if (RefuseFastIo) {
                return FLT_PREOP_DISALLOW_FASTIO;
            }
            return FLT_PREOP_SUCCESS_NO_CALLBACK;
        }
        Seen.push_back("irp");
        PVOID Buffer = Parameters.Buffered.SystemBuffer;
        if (Buffer != NULL && Buffer != CallerBuffer) {
            SystemBufferSeen.assign((unsigned char *)Buffer,
                                    (unsigned char *)Buffer + Parameters.Buffered.InputBufferLength);
        }
        return FLT_PREOP_SUCCESS_NO_CALLBACK;
    }

    static NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS)
    {
        FltUnregisterFilter(Filter);
        return STATUS_SUCCESS;
    }

    static inline const FLT_OPERATION_REGISTRATION Operations[] = {
        {IRP_MJ_DEVICE_CONTROL, 0, Pre, NULL},
        {IRP_MJ_OPERATION_END},
    };

    static NTSTATUS Entry(PDRIVER_OBJECT Driver, PUNICODE_STRING)
    {
        FLT_REGISTRATION Registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0, NULL, Operations,
                                         Unload};
        NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &Filter);
        if (NT_SUCCESS(Status)) {
            Status = FltStartFiltering(Filter);
            if (!NT_SUCCESS(Status)) {
                FltUnregisterFilter(Filter);
            }
        }
        return Status;
    }
};

class ControlTest : public EmulatorTest {
protected:
    void SetUp() override
    {
        EmulatorTest::SetUp();
        ControlFilter::Filter = nullptr;
        ControlFilter::RefuseFastIo = false;
        ControlFilter::Seen.clear();
        ControlFilter::SystemBufferSeen.clear();
        ControlFilter::CallerBuffer = nullptr;
        emu::ProcessScope InProgram(Program);
        ASSERT_TRUE(CreateDirectoryW(L"C:\\Dir", NULL));
    }

    void LoadControlFilter()
    {
        ASSERT_EQ(System.LoadDriver(ControlFilter::Entry, u"controlfilter", "200000"), STATUS_SUCCESS);
        Loaded.push_back(u"controlfilter");
    }

    NTSTATUS Control(HANDLE Handle, ULONG Code, std::vector<unsigned char> &Input)
    {
        IO_STATUS_BLOCK IoStatus = {};
        ControlFilter::CallerBuffer = Input.data();
        return NtDeviceIoControlFile(Handle, NULL, NULL, NULL, &IoStatus, Code, Input.data(), (ULONG)Input.size(),
                                     NULL, 0);
    }

    /* A reparse buffer of TestTag with Length bytes of data. */
    static std::vector<unsigned char> ReparseBuffer(USHORT Length)
    {
        std::vector<unsigned char> Buffer(REPARSE_GUID_DATA_BUFFER_HEADER_SIZE + Length, 0x61);
        REPARSE_GUID_DATA_BUFFER Header = {};
        Header.ReparseTag = TestTag;
        Header.ReparseDataLength = Length;
        Header.ReparseGuid = TestGuid;
        std::memcpy(Buffer.data(), &Header, REPARSE_GUID_DATA_BUFFER_HEADER_SIZE);
        return Buffer;
    }
};

/* ------------------------------------------------------------------------
 * Device controls from programs.
 * ---------------------------------------------------------------------- */

TEST_F(ControlTest, WriteAccessInTheCodeNeedsWriteDataOnTheHandle)
{
    LoadControlFilter();
    emu::ProcessScope InProgram(Program);
    std::vector<unsigned char> Input(32, 7);

    HANDLE Listing = Open(L"C:\\Dir", FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Listing, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(Listing, ControlCode(FILE_WRITE_ACCESS), Input), STATUS_ACCESS_DENIED);
    EXPECT_TRUE(ControlFilter::Seen.empty());  // refused before any request was built
    /* Read access in the code is granted by list-directory (read-data). */
    EXPECT_EQ(Control(Listing, ControlCode(FILE_READ_ACCESS), Input), STATUS_INVALID_DEVICE_REQUEST);
    CloseHandle(Listing);

    HANDLE Adding = Open(L"C:\\Dir", FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Adding, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Control(Adding, ControlCode(FILE_WRITE_ACCESS), Input), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Control(Adding, ControlCode(FILE_READ_ACCESS | FILE_WRITE_ACCESS), Input), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(Adding, ControlCode(FILE_ANY_ACCESS), Input), STATUS_INVALID_DEVICE_REQUEST);
    CloseHandle(Adding);
}

TEST_F(ControlTest, FastIoComesFirstAndARefusalSendsTheIrpWithASystemBuffer)
{
    LoadControlFilter();
    emu::ProcessScope InProgram(Program);
    HANDLE Directory = Open(L"C:\\Dir", FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Directory, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> Input(1120);
    for (size_t Index = 0; Index < Input.size(); Index += 1) {
        Input[Index] = (unsigned char)Index;
    }

    /* Passed as fast I/O: the file system has no fast device control, so
       the I/O manager sends the IRP anyway. */
    EXPECT_EQ(Control(Directory, ControlCode(FILE_WRITE_ACCESS), Input), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ControlFilter::Seen, (std::vector<std::string>{"fast", "irp"}));

    ControlFilter::Seen.clear();
    ControlFilter::RefuseFastIo = true;
    EXPECT_EQ(Control(Directory, ControlCode(FILE_WRITE_ACCESS), Input), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(ControlFilter::Seen, (std::vector<std::string>{"fast", "irp"}));
    /* The IRP carried a copy of the input, not the caller's buffer. */
    EXPECT_EQ(ControlFilter::SystemBufferSeen, Input);
    CloseHandle(Directory);
}

TEST_F(ControlTest, AProgramsOpenSetsTheFileObjectFlags)
{
    MakeFile(L"C:\\flags.bin", 512);
    emu::ProcessScope InProgram(Program);
    struct Case {
        DWORD Share;
        DWORD Flags;
    } Cases[] = {{0, FILE_FLAG_NO_BUFFERING}, {FILE_SHARE_READ, 0}, {FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0}};
    for (const Case &Each : Cases) {
        HANDLE Handle = CreateFileW(L"C:\\flags.bin", GENERIC_READ, Each.Share, NULL, OPEN_EXISTING, Each.Flags, NULL);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        PFILE_OBJECT File = NULL;
        ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
                  STATUS_SUCCESS);
        EXPECT_EQ((File->Flags & FO_NO_INTERMEDIATE_BUFFERING) != 0, (Each.Flags & FILE_FLAG_NO_BUFFERING) != 0);
        EXPECT_EQ(File->SharedRead != FALSE, (Each.Share & FILE_SHARE_READ) != 0);
        EXPECT_EQ(File->SharedWrite != FALSE, (Each.Share & FILE_SHARE_WRITE) != 0);
        EXPECT_EQ(File->SharedDelete != FALSE, (Each.Share & FILE_SHARE_DELETE) != 0);
        ObDereferenceObject(File);
        CloseHandle(Handle);
    }
}

/* ------------------------------------------------------------------------
 * Kernel handles.
 * ---------------------------------------------------------------------- */

TEST_F(ControlTest, KernelHandlesAreForKernelModeOnly)
{
    emu::ProcessScope InProgram(Program);
    HANDLE Directory = Open(L"C:\\Dir", FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(Directory, INVALID_HANDLE_VALUE);
    PFILE_OBJECT File = NULL;
    ASSERT_EQ(ObReferenceObjectByHandle(Directory, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
              STATUS_SUCCESS);

    HANDLE Kernel = NULL;
    ASSERT_EQ(ObOpenObjectByPointer(File, OBJ_KERNEL_HANDLE, NULL, 0, *IoFileObjectType, KernelMode, &Kernel),
              STATUS_SUCCESS);
    EXPECT_EQ((ULONG64)Kernel & 0xFFFFFFFF80000000ull, 0xFFFFFFFF80000000ull);

    /* The program cannot use or close it. */
    PVOID Object = NULL;
    EXPECT_EQ(ObReferenceObjectByHandle(Kernel, 0, *IoFileObjectType, UserMode, &Object, NULL), STATUS_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(Kernel));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    IO_STATUS_BLOCK IoStatus = {};
    std::vector<unsigned char> Input(8);
    EXPECT_EQ(NtDeviceIoControlFile(Kernel, NULL, NULL, NULL, &IoStatus, ControlCode(FILE_ANY_ACCESS), Input.data(),
                                    8, NULL, 0),
              STATUS_INVALID_HANDLE);

    /* Kernel mode reaches the same object through it, in any process. */
    ASSERT_EQ(ObReferenceObjectByHandle(Kernel, 0, *IoFileObjectType, KernelMode, &Object, NULL), STATUS_SUCCESS);
    EXPECT_EQ(Object, (PVOID)File);
    ObDereferenceObject(Object);
    emu::EmuProcess *Other = System.CreateProcess("other.exe");
    {
        emu::ProcessScope InOther(Other);
        EXPECT_EQ(ObReferenceObjectByHandle(Kernel, 0, *IoFileObjectType, KernelMode, &Object, NULL),
                  STATUS_SUCCESS);
        ObDereferenceObject(Object);
    }
    System.Terminate(Other);

    EXPECT_EQ(ZwClose(Kernel), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(Kernel), STATUS_INVALID_HANDLE);
    ObDereferenceObject(File);
    CloseHandle(Directory);
}

/* ------------------------------------------------------------------------
 * FltCreateFileEx2 with the atomic-create parameter.
 * ---------------------------------------------------------------------- */

class AtomicCreateTest : public ControlTest {
protected:
    void SetUp() override
    {
        ControlTest::SetUp();
        LowerInstance = Load<Lower>("100000");
        UpperInstance = Load<Upper>("300000");
        ASSERT_NE(UpperInstance, nullptr);
        ASSERT_EQ(FltAllocateExtraCreateParameterList(Upper::Filter, 0, &List), STATUS_SUCCESS);
        ASSERT_EQ(FltAllocateExtraCreateParameter(Upper::Filter, &GUID_ECP_ATOMIC_CREATE,
                                                  sizeof(ATOMIC_CREATE_ECP_CONTEXT), 0, NULL, 0x74634541,
                                                  (PVOID *)&Context),
                  STATUS_SUCCESS);
        ASSERT_EQ(FltInsertExtraCreateParameter(Upper::Filter, List, Context), STATUS_SUCCESS);
        Reparse = ReparseBuffer(300);
        Times.CreationTime.QuadPart = 130000000000000000LL;
        Times.LastAccessTime.QuadPart = 130000000000000001LL;
        Times.LastWriteTime.QuadPart = 130000000000000002LL;
        Times.ChangeTime.QuadPart = 130000000000000003LL;
        std::memset(Context, 0, sizeof(*Context));
        Context->Size = sizeof(*Context);
        Context->InFlags = 0x3F;
        Context->ReparseBufferLength = (USHORT)Reparse.size();
        Context->ReparseBuffer = (struct _REPARSE_DATA_BUFFER *)Reparse.data();
        Context->FileSize = 20000;
        Context->ValidDataLength = 20000;
        Context->FileTimestamps = &Times;
        Context->FileAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE;
        Context->UsnSourceInfo = USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT;
    }

    void TearDown() override
    {
        if (List != NULL) {
            FltFreeExtraCreateParameterList(Upper::Filter, List);
        }
        ControlTest::TearDown();
    }

    /* Creates Name in C:\Dir below the upper filter's instance, relative to
       a kernel handle for the directory, with the list. */
    NTSTATUS CreateBelow(const wchar_t *Name, PECP_LIST EcpList, ULONG Disposition = FILE_CREATE)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Directory = Open(L"C:\\Dir", FILE_ADD_FILE, FILE_FLAG_BACKUP_SEMANTICS);
        EXPECT_NE(Directory, INVALID_HANDLE_VALUE);
        PFILE_OBJECT DirectoryObject = NULL;
        EXPECT_EQ(ObReferenceObjectByHandle(Directory, 0, *IoFileObjectType, KernelMode, (PVOID *)&DirectoryObject,
                                            NULL),
                  STATUS_SUCCESS);
        HANDLE Root = NULL;
        EXPECT_EQ(ObOpenObjectByPointer(DirectoryObject, OBJ_KERNEL_HANDLE, NULL, 0, *IoFileObjectType, KernelMode,
                                        &Root),
                  STATUS_SUCCESS);
        UNICODE_STRING NameString;
        RtlInitUnicodeString(&NameString, (PCWSTR)Name);
        OBJECT_ATTRIBUTES Attributes;
        InitializeObjectAttributes(&Attributes, &NameString, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, NULL);
        IO_DRIVER_CREATE_CONTEXT Driver = {};
        Driver.Size = sizeof(Driver);
        Driver.ExtraCreateParameter = EcpList;
        IO_STATUS_BLOCK IoStatus = {};
        HANDLE Handle = NULL;
        PFILE_OBJECT Created = NULL;
        TheLog.Take();
        NTSTATUS Status = FltCreateFileEx2(Upper::Filter, UpperInstance, &Handle, &Created, FILE_READ_ATTRIBUTES,
                                           &Attributes, &IoStatus, NULL, 0, 0, Disposition, FILE_OPEN_REPARSE_POINT,
                                           NULL, 0, IO_IGNORE_SHARE_ACCESS_CHECK, &Driver);
        EXPECT_EQ(IoStatus.Status, Status);
        if (NT_SUCCESS(Status)) {
            EXPECT_EQ(IoStatus.Information, (ULONG_PTR)(Disposition == FILE_CREATE ? FILE_CREATED : FILE_OPENED));
            EXPECT_EQ((ULONG64)Handle & 0xFFFFFFFF80000000ull, 0xFFFFFFFF80000000ull);  // a kernel handle
            EXPECT_FALSE(CloseHandle(Handle));  // not the program's to close
            EXPECT_EQ(FltClose(Handle), STATUS_SUCCESS);
            ObDereferenceObject(Created);
        } else {
            EXPECT_EQ(Handle, nullptr);
            EXPECT_EQ(Created, nullptr);
        }
        EXPECT_EQ(ZwClose(Root), STATUS_SUCCESS);
        ObDereferenceObject(DirectoryObject);
        CloseHandle(Directory);
        return Status;
    }

    PFLT_INSTANCE LowerInstance = nullptr;
    PFLT_INSTANCE UpperInstance = nullptr;
    PECP_LIST List = NULL;
    PATOMIC_CREATE_ECP_CONTEXT Context = NULL;
    std::vector<unsigned char> Reparse;
    FILE_TIMESTAMPS Times = {};
};

TEST_F(AtomicCreateTest, TheNewFileHasEverythingTheContextAsksFor)
{
    ASSERT_EQ(CreateBelow(L"made.bin", List), STATUS_SUCCESS);
    std::vector<std::string> Creates = Only(TheLog.Take(), "create irp");
    EXPECT_EQ(Creates, (std::vector<std::string>{"lower pre create irp", "lower post create irp"}));
    EXPECT_EQ(Context->OutFlags, 0x3F);
    EXPECT_NE(Context->Usn, 0);

    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\Dir\\made.bin", FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    IO_STATUS_BLOCK IoStatus = {};
    FILE_BASIC_INFORMATION Basic = {};
    ASSERT_EQ(NtQueryInformationFile(File, &IoStatus, &Basic, sizeof(Basic), FileBasicInformation), STATUS_SUCCESS);
    EXPECT_EQ(Basic.CreationTime.QuadPart, Times.CreationTime.QuadPart);
    EXPECT_EQ(Basic.LastAccessTime.QuadPart, Times.LastAccessTime.QuadPart);
    EXPECT_EQ(Basic.LastWriteTime.QuadPart, Times.LastWriteTime.QuadPart);
    EXPECT_EQ(Basic.ChangeTime.QuadPart, Times.ChangeTime.QuadPart);
    EXPECT_EQ(Basic.FileAttributes, (ULONG)(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_ARCHIVE |
                                            FILE_ATTRIBUTE_SPARSE_FILE | FILE_ATTRIBUTE_REPARSE_POINT));
    FILE_STANDARD_INFORMATION Standard = {};
    ASSERT_EQ(NtQueryInformationFile(File, &IoStatus, &Standard, sizeof(Standard), FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(Standard.EndOfFile.QuadPart, 20000);
    EXPECT_EQ(Standard.AllocationSize.QuadPart, 0);  // sparse: nothing allocated
    PFILE_OBJECT Object = NULL;
    ASSERT_EQ(ObReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(emu::ValidDataLengthOf(Object), 20000u);
    std::vector<unsigned char> Back(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    ULONG Returned = 0;
    ASSERT_EQ(FltFsControlFile(LowerInstance, Object, FSCTL_GET_REPARSE_POINT, NULL, 0, Back.data(),
                               (ULONG)Back.size(), &Returned),
              STATUS_SUCCESS);
    Back.resize(Returned);
    EXPECT_EQ(Back, Reparse);
    ObDereferenceObject(Object);
    CloseHandle(File);

    /* The create's journal record already carries the reparse point and
       the context's source information. */
    bool Found = false;
    for (const emu::UsnRecord &Record : emu::ReadUsnJournal(Volume)) {
        if (Record.FileName == u"made.bin" && Record.Usn == Context->Usn) {
            Found = true;
            EXPECT_EQ(Record.Reason, (ULONG)USN_REASON_FILE_CREATE);
            EXPECT_EQ(Record.SourceInfo, (ULONG)USN_SOURCE_CLIENT_REPLICATION_MANAGEMENT);
            EXPECT_NE(Record.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
        }
    }
    EXPECT_TRUE(Found);
}

TEST_F(AtomicCreateTest, AnExistingNameFailsAndTheListStaysTheCallers)
{
    ASSERT_EQ(CreateBelow(L"once.bin", List), STATUS_SUCCESS);
    Context->FileSize = 5;
    Context->ValidDataLength = 5;
    EXPECT_EQ(CreateBelow(L"ONCE.BIN", List), STATUS_OBJECT_NAME_COLLISION);
    /* The same list makes another file. */
    EXPECT_EQ(CreateBelow(L"twice.bin", List), STATUS_SUCCESS);
    PVOID Found = NULL;
    EXPECT_EQ(FltFindExtraCreateParameter(Upper::Filter, List, &GUID_ECP_ATOMIC_CREATE, &Found, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(Found, (PVOID)Context);

    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\Dir\\once.bin", FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);
    LARGE_INTEGER Size = {};
    ASSERT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 20000);
    CloseHandle(File);
}

TEST_F(AtomicCreateTest, AMalformedContextFailsTheCreateAndMakesNoFile)
{
    Context->ValidDataLength = Context->FileSize + 1;
    EXPECT_EQ(CreateBelow(L"a.bin", List), STATUS_INVALID_PARAMETER);
    Context->ValidDataLength = Context->FileSize;

    Context->ReparseBufferLength -= 1;
    EXPECT_EQ(CreateBelow(L"b.bin", List), STATUS_IO_REPARSE_DATA_INVALID);
    Context->ReparseBufferLength += 1;

    Context->Size = 40;
    EXPECT_EQ(CreateBelow(L"c.bin", List), STATUS_INVALID_PARAMETER);
    Context->Size = sizeof(*Context);

    Context->FileTimestamps = NULL;
    EXPECT_EQ(CreateBelow(L"d.bin", List), STATUS_INVALID_PARAMETER);

    emu::ProcessScope InProgram(Program);
    for (const WCHAR *Path : {L"C:\\Dir\\a.bin", L"C:\\Dir\\b.bin", L"C:\\Dir\\c.bin", L"C:\\Dir\\d.bin"}) {
        EXPECT_EQ(OpenStatus(Path), STATUS_OBJECT_NAME_NOT_FOUND);
    }
}

TEST_F(AtomicCreateTest, WithoutTheContextACreateIsPlainAndAnOpenIgnoresIt)
{
    ASSERT_EQ(CreateBelow(L"plain.bin", NULL), STATUS_SUCCESS);
    emu::ProcessScope InProgram(Program);
    HANDLE File = Open(L"C:\\Dir\\plain.bin", FILE_READ_ATTRIBUTES);
    ASSERT_NE(File, INVALID_HANDLE_VALUE);  // no reparse point to stop the open
    LARGE_INTEGER Size = {};
    ASSERT_TRUE(GetFileSizeEx(File, &Size));
    EXPECT_EQ(Size.QuadPart, 0);
    CloseHandle(File);

    /* An open of the existing file with the list changes nothing. */
    ASSERT_EQ(CreateBelow(L"plain.bin", List, FILE_OPEN), STATUS_SUCCESS);
    EXPECT_EQ(Context->OutFlags, 0);
    EXPECT_EQ(OpenStatus(L"C:\\Dir\\plain.bin"), STATUS_SUCCESS);
}

}  // namespace
}  // namespace emu_test
