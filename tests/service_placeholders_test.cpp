/*
 * service_placeholders_test.cpp - the service library's placeholder calls:
 * arguments no request could carry are refused before anything is opened
 * or sent, requests are sized for every length rule of the filter, the
 * handles are opened as the filter requires, and the request's status
 * comes back as the HRESULT of its NTSTATUS.
 */
#include "HydrationFixture.h"

namespace zentaflt_test {
namespace {

class ServicePlaceholdersTest : public HydrationTest {
protected:
    static service::PlaceholderDescription Valid()
    {
        service::PlaceholderDescription Placeholder;
        Placeholder.Name = u"valid.bin";
        Placeholder.FileSize = 100;
        Placeholder.ReparseData = {1, 2, 3};
        return Placeholder;
    }

    template <typename Body> HRESULT AsService(Body &&Run)
    {
        emu::ProcessScope InService(ServiceProcess);
        return Run();
    }
};

TEST_F(ServicePlaceholdersTest, ArgumentsNoRequestCouldCarryAreRefusedBeforeAnythingIsSent)
{
    service::PlaceholderDescription Empty = Valid();
    Empty.Name.clear();
    service::PlaceholderDescription Nested = Valid();
    Nested.Name = u"dir\\file.bin";
    service::PlaceholderDescription Negative = Valid();
    Negative.FileSize = -1;
    service::PlaceholderDescription TooLong = Valid();
    TooLong.ReparseData.assign(0xFFFF - 24 + 1, 0x5A);

    for (const service::PlaceholderDescription *Bad : {&Empty, &Nested, &Negative, &TooLong}) {
        /* A request sent on a null handle would fail with
           STATUS_INVALID_HANDLE, an open of a missing directory with a
           Win32 error: neither happens. */
        EXPECT_EQ(AsService([&] { return service::CreatePlaceholder(NULL, *Bad); }), E_INVALIDARG);
        EXPECT_EQ(AsService([&] { return service::CreatePlaceholderIn(L"C:\\Missing", *Bad); }), E_INVALIDARG);
    }
    EXPECT_EQ(AsService([&] { return service::UpdatePlaceholder(L"C:\\Missing\\f", PlaceholderUpdateEndOfFile,
                                                                Negative); }),
              E_INVALIDARG);
    service::PlaceholderDescription HugeUpdate = Valid();
    HugeUpdate.ReparseData.assign(0x10000, 1);
    EXPECT_EQ(AsService([&] { return service::UpdatePlaceholder(L"C:\\Missing\\f", 0, HugeUpdate); }),
              E_INVALIDARG);
    EXPECT_EQ(AsService([] { return service::ConvertToPlaceholder(L"C:\\Missing\\f", nullptr, 4); }), E_INVALIDARG);

    /* A size that only the end-of-file step would use is not looked at
       without that step. */
    EXPECT_EQ(AsService([&] { return service::UpdatePlaceholder(L"C:\\Missing\\f", 0, Negative); }),
              HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
}

TEST_F(ServicePlaceholdersTest, TheLongestReparseDataACreateCarriesReachesTheFileSystem)
{
    service::PlaceholderDescription Longest = Valid();
    Longest.ReparseData.assign(0xFFFF - 24, 0x5A);
    /* Longer than any reparse point NTFS keeps (16 KiB): the file system,
       not the library, refuses it, and no file is left. */
    EXPECT_EQ(AsService([&] { return service::CreatePlaceholderIn(L"C:\\Sync", Longest); }),
              HRESULT_FROM_NT(STATUS_IO_REPARSE_DATA_INVALID));
    HANDLE Handle = NULL;
    {
        emu::ProcessScope InProgram(Program);
        Handle = CreateFileW(L"C:\\Sync\\valid.bin", FILE_READ_ATTRIBUTES, 0, NULL, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        EXPECT_EQ(emu::user::LastStatus(), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    EXPECT_EQ(Handle, INVALID_HANDLE_VALUE);
}

TEST_F(ServicePlaceholdersTest, FailedOpensGiveTheirWin32Error)
{
    EXPECT_EQ(AsService([&] { return service::CreatePlaceholderIn(L"C:\\Missing", Valid()); }),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    std::vector<unsigned char> Data = {1};
    EXPECT_EQ(AsService([&] { return service::ConvertToPlaceholder(L"C:\\Sync\\none.bin", Data.data(), 1); }),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(AsService([&] { return service::UpdatePlaceholder(L"C:\\Sync\\none.bin", 0, Valid()); }),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));

    /* The convert's handle shares nothing: a program's open handle on the
       file keeps it out. */
    MakeFile(L"C:\\Sync\\busy.bin", Content(100));
    OpenInProgram(L"C:\\Sync\\busy.bin", GENERIC_READ);
    EXPECT_EQ(AsService([&] { return service::ConvertToPlaceholder(L"C:\\Sync\\busy.bin", Data.data(), 1); }),
              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
}

TEST_F(ServicePlaceholdersTest, RequestsAreSizedForEveryLengthRule)
{
    /* The shortest create (one character, no reparse data) is padded to
       the least request length, the longest reparse data of a convert and
       an update lengthens the request past it. */
    service::PlaceholderDescription Short = Valid();
    Short.Name = u"s";
    Short.ReparseData.clear();
    EXPECT_EQ(AsService([&] { return service::CreatePlaceholderIn(L"C:\\Sync", Short); }), S_OK);

    MakeFile(L"C:\\Sync\\full.bin", Content(4096));
    std::vector<unsigned char> Reparse(3000, 0x33);
    EXPECT_EQ(AsService([&] {
                  return service::ConvertToPlaceholder(L"C:\\Sync\\full.bin", Reparse.data(),
                                                       (USHORT)Reparse.size());
              }),
              S_OK);
    service::PlaceholderDescription Updated = Valid();
    Updated.ReparseData.assign(5000, 0x44);
    EXPECT_EQ(AsService([&] {
                  return service::UpdatePlaceholder(L"C:\\Sync\\full.bin", PlaceholderUpdateReparseData, Updated);
              }),
              S_OK);

    /* Read back below the filter. */
    emu::ProcessScope InProgram(Program);
    HANDLE Handle = NULL;
    PFILE_OBJECT File = NULL;
    ASSERT_EQ(emu::OpenBelow(Instance, u"\\Sync\\full.bin", FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                             FILE_OPEN_REPARSE_POINT, &Handle, &File),
              STATUS_SUCCESS);
    std::vector<unsigned char> Buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    ULONG Returned = 0;
    EXPECT_EQ(FltFsControlFile(Instance, File, FSCTL_GET_REPARSE_POINT, NULL, 0, Buffer.data(),
                               (ULONG)Buffer.size(), &Returned),
              STATUS_SUCCESS);
    EXPECT_EQ(Returned, 24u + 5000u);
    EXPECT_EQ(Buffer[24], 0x44);
    ObDereferenceObject(File);
    CloseHandle(Handle);
}

}  // namespace
}  // namespace zentaflt_test
