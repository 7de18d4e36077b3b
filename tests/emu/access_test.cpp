/*
 * A filter's own requests get the access checks of the file object they
 * use: tagging, untagging, setting sparse and zeroing need a file object
 * opened for writing.
 */
#include "TestFilter.h"

namespace emu_test {
namespace {

using FilterRequestAccess = EmulatorTest;

constexpr ULONG TestTag = 0x20000099;
constexpr GUID TestGuid = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};

TEST_F(FilterRequestAccess, ChangesThroughAReadOnlyFileObjectAreRefused)
{
    PFLT_INSTANCE Instance = Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 8192);
    emu::ProcessScope InProgram(Program);
    HANDLE ReadOnly = CreateFileW(L"C:\\data.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                  OPEN_EXISTING, 0, NULL);
    HANDLE Writable = CreateFileW(L"C:\\data.bin", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_EXISTING, 0, NULL);
    PFILE_OBJECT Reader = nullptr;
    PFILE_OBJECT Writer = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(ReadOnly, 0, *IoFileObjectType, KernelMode, (PVOID *)&Reader, NULL),
              STATUS_SUCCESS);
    ASSERT_EQ(ObReferenceObjectByHandle(Writable, 0, *IoFileObjectType, KernelMode, (PVOID *)&Writer, NULL),
              STATUS_SUCCESS);
    GUID Guid = TestGuid;
    UCHAR Bytes[4] = {1, 2, 3, 4};
    FILE_ZERO_DATA_INFORMATION Zero = {};
    Zero.BeyondFinalZero.QuadPart = 4096;

    EXPECT_EQ(FltTagFile(Instance, Reader, TestTag, &Guid, Bytes, sizeof(Bytes)), STATUS_ACCESS_DENIED);
    EXPECT_EQ(FltFsControlFile(Instance, Reader, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, NULL), STATUS_ACCESS_DENIED);
    EXPECT_EQ(FltFsControlFile(Instance, Reader, FSCTL_SET_ZERO_DATA, &Zero, sizeof(Zero), NULL, 0, NULL),
              STATUS_ACCESS_DENIED);

    /* Through a writable file object the same requests succeed; untagging
       through the read-only one is refused as well. */
    EXPECT_EQ(FltTagFile(Instance, Writer, TestTag, &Guid, Bytes, sizeof(Bytes)), STATUS_SUCCESS);
    EXPECT_EQ(FltUntagFile(Instance, Reader, TestTag, &Guid), STATUS_ACCESS_DENIED);
    EXPECT_EQ(FltFsControlFile(Instance, Writer, FSCTL_SET_SPARSE, NULL, 0, NULL, 0, NULL), STATUS_SUCCESS);
    EXPECT_EQ(FltFsControlFile(Instance, Writer, FSCTL_SET_ZERO_DATA, &Zero, sizeof(Zero), NULL, 0, NULL),
              STATUS_SUCCESS);
    EXPECT_EQ(FltUntagFile(Instance, Writer, TestTag, &Guid), STATUS_SUCCESS);

    ObDereferenceObject(Reader);
    ObDereferenceObject(Writer);
    CloseHandle(ReadOnly);
    CloseHandle(Writable);
}

}  // namespace
}  // namespace emu_test
