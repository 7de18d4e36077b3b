/*
 * Byte-range locks: conflicts between handles, unlocks, the release at
 * cleanup, and a filter's own write meeting a program's lock.
 */
#include "TestFilter.h"

namespace emu_test {
namespace {

using ByteRangeLocks = EmulatorTest;

HANDLE OpenShared(const WCHAR *Path)
{
    return CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                       NULL);
}

TEST_F(ByteRangeLocks, AnExclusiveLockRefusesOtherHandlesUntilItIsReleased)
{
    MakeFile(L"C:\\data.bin", 4096);
    emu::ProcessScope InProgram(Program);
    HANDLE Owner = OpenShared(L"C:\\data.bin");
    HANDLE Other = OpenShared(L"C:\\data.bin");
    ASSERT_NE(Owner, INVALID_HANDLE_VALUE);
    ASSERT_NE(Other, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(LockFile(Owner, 100, 0, 100, 0));

    std::vector<UCHAR> Data(50);
    DWORD Count = 0;
    OVERLAPPED Inside = {};
    Inside.Offset = 150;
    OVERLAPPED Outside = {};
    Outside.Offset = 300;
    /* The owner reads and writes its range; another handle may not. */
    EXPECT_TRUE(ReadFile(Owner, Data.data(), 50, &Count, &Inside));
    EXPECT_TRUE(WriteFile(Owner, Data.data(), 50, &Count, &Inside));
    EXPECT_FALSE(ReadFile(Other, Data.data(), 50, &Count, &Inside));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_LOCK_VIOLATION);
    EXPECT_FALSE(WriteFile(Other, Data.data(), 50, &Count, &Inside));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_FILE_LOCK_CONFLICT);
    EXPECT_TRUE(ReadFile(Other, Data.data(), 50, &Count, &Outside));
    /* An overlapping lock is not granted. */
    EXPECT_FALSE(LockFile(Other, 150, 0, 10, 0));
    EXPECT_EQ(emu::user::LastStatus(), STATUS_LOCK_NOT_GRANTED);

    /* Unlocked as it was locked, the range is free. */
    EXPECT_FALSE(UnlockFile(Owner, 100, 0, 50, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_LOCKED);
    EXPECT_TRUE(UnlockFile(Owner, 100, 0, 100, 0));
    EXPECT_TRUE(ReadFile(Other, Data.data(), 50, &Count, &Inside));

    /* A lock goes with its handle's cleanup. */
    ASSERT_TRUE(LockFile(Other, 0, 0, 10, 0));
    OVERLAPPED Start = {};
    EXPECT_FALSE(ReadFile(Owner, Data.data(), 5, &Count, &Start));
    CloseHandle(Other);
    EXPECT_TRUE(ReadFile(Owner, Data.data(), 5, &Count, &Start));
    CloseHandle(Owner);
}

TEST_F(ByteRangeLocks, AFiltersOwnWriteMeetsAProgramsLock)
{
    PFLT_INSTANCE Instance = Load<Lower>("100000");
    MakeFile(L"C:\\data.bin", 4096);
    emu::ProcessScope InProgram(Program);
    HANDLE Locker = OpenShared(L"C:\\data.bin");
    HANDLE Target = OpenShared(L"C:\\data.bin");
    ASSERT_TRUE(LockFile(Locker, 0, 0, 4096, 0));
    PFILE_OBJECT Object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(Target, 0, *IoFileObjectType, KernelMode, (PVOID *)&Object, NULL),
              STATUS_SUCCESS);
    UCHAR Bytes[8] = {};
    LARGE_INTEGER Offset = {};
    ULONG Written = 0;
    EXPECT_EQ(FltWriteFile(Instance, Object, &Offset, sizeof(Bytes), Bytes, 0, &Written, NULL, NULL),
              STATUS_FILE_LOCK_CONFLICT);
    /* Paging I/O meets no lock. */
    EXPECT_EQ(FltWriteFile(Instance, Object, &Offset, sizeof(Bytes), Bytes,
                           FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_NON_CACHED, &Written, NULL, NULL),
              STATUS_SUCCESS);
    ObDereferenceObject(Object);
    CloseHandle(Target);
    CloseHandle(Locker);
}

}  // namespace
}  // namespace emu_test
