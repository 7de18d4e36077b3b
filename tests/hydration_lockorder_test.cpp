/*
 * The filter's lock order, as the tests declare it to the emulator's
 * lock-order checker (DriverLockOrder.h): a hydration's own paths keep it,
 * and an acquisition that breaks it is reported the moment it is made, by
 * the fixture's check of the verifier's accounting in every test.
 */
#include "HydrationFixture.h"

namespace zentaflt_test {
namespace {

using LockOrderTest = HydrationTest;

/* The sync root of C:\Sync, referenced; null when none. */
PSYNC_ROOT FindSyncRoot()
{
    std::u16string Name = u"\\Device\\HarddiskVolume1\\Sync";
    UNICODE_STRING Path = {(USHORT)(Name.size() * 2), (USHORT)(Name.size() * 2), (PWSTR)Name.data()};
    PSYNC_ROOT Root = NULL;
    return NT_SUCCESS(SyncRootFind(&Path, &Root)) ? Root : NULL;
}

TEST_F(LockOrderTest, AHydrationTakesTheSyncRootLockUnderTheStreamLockOnly)
{
    MakePlaceholder(L"C:\\Sync\\ordered.bin", Content(5000));
    HANDLE File = OpenInProgram(L"C:\\Sync\\ordered.bin");
    EXPECT_EQ(ReadAt(File, 0, 5000), Content(5000));

    PSTREAM_CONTEXT Context = ContextOf(File);
    PSYNC_ROOT Root = FindSyncRoot();
    ASSERT_NE(Context, nullptr);
    ASSERT_NE(Root, nullptr);
    /* The registration took the root's lock while holding the stream's. */
    EXPECT_TRUE(System->LockOrder().HasOrder(&Context->Lock, &Root->Lock));
    EXPECT_FALSE(System->LockOrder().HasOrder(&Root->Lock, &Context->Lock));
    EXPECT_FALSE(System->LockOrder().HasOrder(&Context->Lock, &FilterGlobals.SyncRootListLock));
    EXPECT_FALSE(System->LockOrder().HasOrder(&Root->Lock, &FilterGlobals.SyncRootListLock));
    SyncRootRelease(Root);
}

TEST_F(LockOrderTest, BreakingTheOrderIsReportedAtOnce)
{
#ifdef EMU_TSAN
    GTEST_SKIP() << "ThreadSanitizer reports the lock-order inversion this test makes on purpose";
#endif
    MakePlaceholder(L"C:\\Sync\\broken.bin", Content(100));
    HANDLE File = OpenInProgram(L"C:\\Sync\\broken.bin");
    PSTREAM_CONTEXT Context = ContextOf(File);
    PSYNC_ROOT Root = FindSyncRoot();
    ASSERT_NE(Context, nullptr);
    ASSERT_NE(Root, nullptr);

    /* A stream's lock under a sync root's lock: against the order, on one
       thread, before any hydration made the opposite order. */
    LockSyncRoot(Root, FALSE);
    LockStreamContext(Context);
    UnlockStreamContext(Context);
    UnlockSyncRoot(Root);
    std::vector<std::string> Reports = System->Accounting().TakeReports("declared lock order broken");
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_NE(Reports[0].find("stream lock"), std::string::npos) << Reports[0];
    EXPECT_NE(Reports[0].find("while holding sync-root lock"), std::string::npos) << Reports[0];

    /* The list lock is taken alone: a lookup under a stream's lock. */
    LockStreamContext(Context);
    PSYNC_ROOT Again = FindSyncRoot();
    UnlockStreamContext(Context);
    ASSERT_NE(Again, nullptr);
    SyncRootRelease(Again);
    Reports = System->Accounting().TakeReports("declared lock order broken");
    ASSERT_EQ(Reports.size(), 1u);
    EXPECT_NE(Reports[0].find("a lock taken alone"), std::string::npos) << Reports[0];
    SyncRootRelease(Root);
}

}  // namespace
}  // namespace zentaflt_test
