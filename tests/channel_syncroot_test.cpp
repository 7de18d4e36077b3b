/*
 * Sync-root registry: which paths lie under a sync root, which directories
 * may be connected side by side, lookups with their references, removal,
 * and the list's integrity checks.
 *
 * The records here are built by hand around name records in test memory:
 * the registry's list and lookup routines read only a record's Name and
 * never touch the name record's reference count.  Creation, freeing and the
 * whole disconnect go through the emulated name records and ports and are
 * exercised end to end elsewhere.
 */
#include "Harness.h"
#include "SyncRootHelper.h"

#include <atomic>
#include <functional>
#include <list>
#include <thread>

using namespace zentaflt_test;

namespace {

UNICODE_STRING Counted(const std::u16string &Text)
{
    UNICODE_STRING String;
    String.Buffer = (PWSTR)Text.data();
    String.Length = (USHORT)(Text.size() * sizeof(WCHAR));
    String.MaximumLength = String.Length;
    return String;
}

const std::u16string Volume = u"\\Device\\HarddiskVolume1";

/* A record's run-down count: it grows with every reference held. */
ULONG_PTR References(const HandBuiltRoot &Record)
{
    return (ULONG_PTR)Record.Root.RundownRef.Count;
}

class SyncRootRegistry : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        /* Unlink what a test left linked; the records are the test's. */
        if (FilterGlobals.SyncRootList.Flink != NULL) {
            while (!IsListEmpty(&FilterGlobals.SyncRootList)) {
                SyncRootRemove(CONTAINING_RECORD(FilterGlobals.SyncRootList.Flink, SYNC_ROOT, Link));
            }
        }
        Roots.clear();
        FilterTest::TearDown();
    }

    HandBuiltRoot &Make(const std::u16string &Name)
    {
        return Roots.emplace_back(Name);
    }

    bool Contains(HandBuiltRoot &Record, const std::u16string &Path)
    {
        UNICODE_STRING String = Counted(Path);
        return SyncRootContains(&Record.Root, &String) != FALSE;
    }

    /* The record found for a path, with its lookup reference dropped at
       once; null when none. */
    PSYNC_ROOT Found(const std::u16string &Path)
    {
        UNICODE_STRING String = Counted(Path);
        PSYNC_ROOT Root = NULL;
        NTSTATUS Status = SyncRootFind(&String, &Root);
        if (!NT_SUCCESS(Status)) {
            EXPECT_EQ(Status, STATUS_NOT_FOUND);
            EXPECT_EQ(Root, nullptr);
            return NULL;
        }
        SyncRootRelease(Root);
        return Root;
    }

    std::vector<PSYNC_ROOT> Linked()
    {
        std::vector<PSYNC_ROOT> Records;
        for (PLIST_ENTRY Entry = FilterGlobals.SyncRootList.Flink; Entry != &FilterGlobals.SyncRootList;
             Entry = Entry->Flink) {
            Records.push_back(CONTAINING_RECORD(Entry, SYNC_ROOT, Link));
        }
        return Records;
    }

    std::string Printed() { return System->KernelDebugger().OutputText(); }

    std::list<HandBuiltRoot> Roots;
};

/* ------------------------------------------------------------------------
 * Which paths a record contains.
 * ---------------------------------------------------------------------- */
TEST_F(SyncRootRegistry, ContainsItsOwnDirectoryInAnyLetterCase)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Users\\Ana\\Sync");
    EXPECT_TRUE(Contains(Sync, Volume + u"\\Users\\Ana\\Sync"));
    EXPECT_TRUE(Contains(Sync, u"\\DEVICE\\HARDDISKVOLUME1\\USERS\\ANA\\SYNC"));
    EXPECT_TRUE(Contains(Sync, u"\\device\\harddiskvolume1\\users\\ana\\sync"));
}

TEST_F(SyncRootRegistry, ContainsWhatLiesBelowItOnABackslashBoundary)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Users\\Ana\\Sync");
    EXPECT_TRUE(Contains(Sync, Volume + u"\\Users\\Ana\\Sync\\a.txt"));
    EXPECT_TRUE(Contains(Sync, Volume + u"\\Users\\Ana\\SYNC\\Docs\\Deep\\b.docx"));
    EXPECT_TRUE(Contains(Sync, Volume + u"\\Users\\Ana\\Sync\\"));
}

TEST_F(SyncRootRegistry, DoesNotContainSiblingsSharingItsPrefixNorShorterPaths)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Users\\Ana\\Sync");
    EXPECT_FALSE(Contains(Sync, Volume + u"\\Users\\Ana\\SyncX"));
    EXPECT_FALSE(Contains(Sync, Volume + u"\\Users\\Ana\\Sync2\\a.txt"));
    EXPECT_FALSE(Contains(Sync, Volume + u"\\Users\\Ana\\Sync.old"));
    EXPECT_FALSE(Contains(Sync, Volume + u"\\Users\\Ana\\Syn"));
    EXPECT_FALSE(Contains(Sync, Volume + u"\\Users\\Ana"));
    EXPECT_FALSE(Contains(Sync, u""));
    EXPECT_FALSE(Contains(Sync, u"\\Device\\HarddiskVolume2\\Users\\Ana\\Sync"));
    EXPECT_FALSE(Contains(Sync, u"\\Device\\HarddiskVolume1\\Users\\Bob\\Sync\\a.txt"));
}

TEST_F(SyncRootRegistry, ReadsThePathOnlyWithinItsLength)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Sync");

    /* The text goes on past the counted length; only the counted part is
       the path. */
    std::u16string Text = Volume + u"\\Sync\\a.txt";
    UNICODE_STRING Path = Counted(Text);
    Path.Length = (USHORT)((Volume.size() + 5) * sizeof(WCHAR));
    EXPECT_TRUE(SyncRootContains(&Sync.Root, &Path));

    std::u16string Sibling = Volume + u"\\SyncX\\a.txt";
    Path = Counted(Sibling);
    Path.Length = (USHORT)((Volume.size() + 5) * sizeof(WCHAR));
    EXPECT_TRUE(SyncRootContains(&Sync.Root, &Path));
    Path.Length += sizeof(WCHAR);
    EXPECT_FALSE(SyncRootContains(&Sync.Root, &Path));
}

TEST_F(SyncRootRegistry, AVolumeRootContainsOnlyItself)
{
    HandBuiltRoot &Root = Make(Volume + u"\\");
    EXPECT_TRUE(Contains(Root, Volume + u"\\"));
    EXPECT_FALSE(Contains(Root, Volume + u"\\a.txt"));
    EXPECT_FALSE(Contains(Root, Volume + u"\\Sync\\a.txt"));
    EXPECT_FALSE(Contains(Root, Volume));
}

/* ------------------------------------------------------------------------
 * Which directories may be connected side by side.
 * ---------------------------------------------------------------------- */
TEST_F(SyncRootRegistry, RefusesTheSameDirectoryInAnyLetterCase)
{
    HandBuiltRoot &First = Make(Volume + u"\\Sync");
    HandBuiltRoot &Again = Make(u"\\DEVICE\\HarddiskVolume1\\sync");

    ASSERT_EQ(SyncRootInsert(&First.Root), STATUS_SUCCESS);
    EXPECT_EQ(Printed(), "");

    const ULONG_PTR Before = References(Again);
    EXPECT_EQ(SyncRootInsert(&Again.Root), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ((ULONG)STATUS_OBJECT_NAME_COLLISION, 0xC0000035u);
    EXPECT_EQ(Printed(), "Zentaflt: 0xc0000035\n");

    /* The refused record is untouched: not linked, no reference taken. */
    EXPECT_EQ(Again.Root.Link.Flink, nullptr);
    EXPECT_EQ(Again.Root.Link.Blink, nullptr);
    EXPECT_EQ(References(Again), Before);

    /* The first one keeps working. */
    EXPECT_EQ(Linked(), std::vector<PSYNC_ROOT>{&First.Root});
    EXPECT_EQ(Found(Volume + u"\\Sync\\a.txt"), &First.Root);
}

TEST_F(SyncRootRegistry, RefusesADirectoryInsideOrAroundAConnectedOne)
{
    HandBuiltRoot &Middle = Make(Volume + u"\\Users\\Ana");
    HandBuiltRoot &Inside = Make(Volume + u"\\Users\\Ana\\Sync");
    HandBuiltRoot &Around = Make(Volume + u"\\Users");
    HandBuiltRoot &VolumeRoot = Make(Volume + u"\\");

    ASSERT_EQ(SyncRootInsert(&Middle.Root), STATUS_SUCCESS);
    EXPECT_EQ(SyncRootInsert(&Inside.Root), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(SyncRootInsert(&Around.Root), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Printed(), "Zentaflt: 0xc0000035\nZentaflt: 0xc0000035\n");

    /* A volume's root directory contains no other directory by the
       boundary rule, so it is accepted beside one. */
    EXPECT_EQ(SyncRootInsert(&VolumeRoot.Root), STATUS_SUCCESS);

    EXPECT_EQ(Linked(), (std::vector<PSYNC_ROOT>{&Middle.Root, &VolumeRoot.Root}));
    EXPECT_EQ(Found(Volume + u"\\Users\\Ana\\Sync\\a.txt"), &Middle.Root);
    EXPECT_EQ(Found(Volume + u"\\"), &VolumeRoot.Root);
    EXPECT_EQ(Found(Volume + u"\\Users\\b.txt"), nullptr);
}

TEST_F(SyncRootRegistry, AcceptsSiblingsThatShareAPrefixAndKeepsTheirOrder)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Sync");
    HandBuiltRoot &Sync2 = Make(Volume + u"\\Sync2");
    HandBuiltRoot &Syn = Make(Volume + u"\\Syn");
    HandBuiltRoot &Other = Make(u"\\Device\\HarddiskVolume2\\Sync");

    ASSERT_EQ(SyncRootInsert(&Sync.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Sync2.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Syn.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Other.Root), STATUS_SUCCESS);
    EXPECT_EQ(Printed(), "");

    EXPECT_EQ(Linked(), (std::vector<PSYNC_ROOT>{&Sync.Root, &Sync2.Root, &Syn.Root, &Other.Root}));
    EXPECT_EQ(Found(Volume + u"\\Sync\\a.txt"), &Sync.Root);
    EXPECT_EQ(Found(Volume + u"\\SYNC2\\a.txt"), &Sync2.Root);
    EXPECT_EQ(Found(Volume + u"\\Syn\\a.txt"), &Syn.Root);
    EXPECT_EQ(Found(u"\\Device\\HarddiskVolume2\\Sync\\a.txt"), &Other.Root);
    EXPECT_EQ(Found(Volume + u"\\Sync3\\a.txt"), nullptr);
}

TEST_F(SyncRootRegistry, TheListHoldsOneReferenceWhileLinked)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Sync");
    const ULONG_PTR Fresh = References(Sync);

    ASSERT_EQ(SyncRootInsert(&Sync.Root), STATUS_SUCCESS);
    const ULONG_PTR Linked = References(Sync);
    EXPECT_GT(Linked, Fresh);

    /* Dropping exactly one reference brings it back to fresh: the insert
       took one, not more. */
    SyncRootRelease(&Sync.Root);
    EXPECT_EQ(References(Sync), Fresh);
    EXPECT_TRUE(SyncRootAcquire(&Sync.Root));
    EXPECT_EQ(References(Sync), Linked);
}

/* ------------------------------------------------------------------------
 * Lookups.
 * ---------------------------------------------------------------------- */
TEST_F(SyncRootRegistry, APathOutsideEverySyncRootIsNotFoundAndNotReported)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Sync");
    ASSERT_EQ(SyncRootInsert(&Sync.Root), STATUS_SUCCESS);

    std::u16string Outside = Volume + u"\\Other\\a.txt";
    UNICODE_STRING Path = Counted(Outside);
    PSYNC_ROOT Untouched = (PSYNC_ROOT)(ULONG_PTR)0x5A5A5A5A;
    PSYNC_ROOT Root = Untouched;
    EXPECT_EQ(SyncRootFind(&Path, &Root), STATUS_NOT_FOUND);
    EXPECT_EQ(Root, Untouched);
    EXPECT_EQ(Printed(), "");
}

TEST_F(SyncRootRegistry, EachLookupHoldsAReferenceUntilReleased)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Sync");
    ASSERT_EQ(SyncRootInsert(&Sync.Root), STATUS_SUCCESS);
    const ULONG_PTR Linked = References(Sync);

    std::u16string File = Volume + u"\\Sync\\a.txt";
    UNICODE_STRING Path = Counted(File);
    PSYNC_ROOT First = NULL;
    PSYNC_ROOT Second = NULL;
    ASSERT_EQ(SyncRootFind(&Path, &First), STATUS_SUCCESS);
    const ULONG_PTR One = References(Sync);
    ASSERT_EQ(SyncRootFind(&Path, &Second), STATUS_SUCCESS);
    const ULONG_PTR Two = References(Sync);
    EXPECT_EQ(First, &Sync.Root);
    EXPECT_EQ(Second, &Sync.Root);
    EXPECT_GT(One, Linked);
    EXPECT_EQ(Two - One, One - Linked);

    SyncRootRelease(First);
    EXPECT_EQ(References(Sync), One);
    SyncRootRelease(Second);
    EXPECT_EQ(References(Sync), Linked);
}

TEST_F(SyncRootRegistry, ARemovedRecordIsNoLongerFoundAndTheOthersAre)
{
    HandBuiltRoot &Left = Make(Volume + u"\\Left");
    HandBuiltRoot &Middle = Make(Volume + u"\\Middle");
    HandBuiltRoot &Right = Make(Volume + u"\\Right");
    ASSERT_EQ(SyncRootInsert(&Left.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Middle.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Right.Root), STATUS_SUCCESS);

    EXPECT_EQ(SyncRootRemove(&Middle.Root), STATUS_SUCCESS);
    EXPECT_EQ(Linked(), (std::vector<PSYNC_ROOT>{&Left.Root, &Right.Root}));
    EXPECT_EQ(Found(Volume + u"\\Middle\\a.txt"), nullptr);
    EXPECT_EQ(Found(Volume + u"\\Left\\a.txt"), &Left.Root);
    EXPECT_EQ(Found(Volume + u"\\Right\\a.txt"), &Right.Root);

    /* The same directory may be connected again once the first is gone. */
    HandBuiltRoot &Again = Make(Volume + u"\\MIDDLE");
    EXPECT_EQ(SyncRootInsert(&Again.Root), STATUS_SUCCESS);
    EXPECT_EQ(Found(Volume + u"\\Middle\\a.txt"), &Again.Root);
    EXPECT_EQ(Printed(), "");
}

TEST_F(SyncRootRegistry, RunDownWaitsForAFinderAndRefusesNewReferences)
{
    HandBuiltRoot &Sync = Make(Volume + u"\\Sync");
    ASSERT_EQ(SyncRootInsert(&Sync.Root), STATUS_SUCCESS);

    std::u16string File = Volume + u"\\Sync\\a.txt";
    UNICODE_STRING Path = Counted(File);
    PSYNC_ROOT Finder = NULL;
    ASSERT_EQ(SyncRootFind(&Path, &Finder), STATUS_SUCCESS);

    /* What the disconnect does with the record, short of freeing it: unlink
       it, drop the list reference, wait for the rest. */
    ASSERT_EQ(SyncRootRemove(&Sync.Root), STATUS_SUCCESS);
    EXPECT_EQ(Found(File), nullptr);
    std::atomic<bool> RunDown{false};
    std::thread Disconnect([&] {
        ExReleaseRundownProtection(&Sync.Root.RundownRef);
        ExWaitForRundownProtectionRelease(&Sync.Root.RundownRef);
        RunDown = true;
    });

    /* Once the wait has begun, no new reference can be had; the finder's
       reference still holds the wait. */
    while (SyncRootAcquire(&Sync.Root)) {
        SyncRootRelease(&Sync.Root);
        std::this_thread::yield();
    }
    EXPECT_FALSE(RunDown);

    SyncRootRelease(Finder);
    Disconnect.join();
    EXPECT_TRUE(RunDown);
    ExRundownCompleted(&Sync.Root.RundownRef);
}

/* ------------------------------------------------------------------------
 * A corrupt list stops the system.  The bug check is the one thing the
 * verifier may report afterwards.
 * ---------------------------------------------------------------------- */
class CorruptSyncRootList : public SyncRootRegistry {
protected:
    void ExpectStopped(const std::function<void()> &Action)
    {
        try {
            Action();
            ADD_FAILURE() << "corrupt list not detected";
        } catch (const emu::BugCheck &Stop) {
            EXPECT_EQ(Stop.Code, emu::KERNEL_SECURITY_CHECK_FAILURE);
            EXPECT_EQ(Stop.Parameter1, 3u);
            Stopped = true;
        }
        /* The stop came with the list lock held, in a critical region. */
        if (Stopped && ExIsResourceAcquiredExclusiveLite(&FilterGlobals.SyncRootListLock)) {
            ExReleaseResourceLite(&FilterGlobals.SyncRootListLock);
            KeLeaveCriticalRegion();
        }
    }

    void TearDown() override
    {
        FilterGlobals.SyncRootList.Flink = FilterGlobals.SyncRootList.Blink = &FilterGlobals.SyncRootList;
        if (System->DriverLoaded()) {
            EXPECT_EQ(System->UnloadDriver(0), STATUS_SUCCESS);
        }
        Roots.clear();
        std::vector<std::string> Leaks = System->Leaks();
        if (Stopped) {
            ASSERT_EQ(Leaks.size(), 1u);
            EXPECT_EQ(Leaks[0].rfind("violation: bug check 0x139 (0x3)", 0), 0u) << Leaks[0];
        } else {
            EXPECT_TRUE(Leaks.empty());
        }
        System.reset();
    }

    bool Stopped = false;
};

TEST_F(CorruptSyncRootList, InsertChecksTheTailBeforeLinking)
{
    HandBuiltRoot &First = Make(Volume + u"\\First");
    HandBuiltRoot &Second = Make(Volume + u"\\Second");
    ASSERT_EQ(SyncRootInsert(&First.Root), STATUS_SUCCESS);

    /* The head's backward link leads to an entry whose forward link does
       not lead back to the head.  The forward walk still ends. */
    LIST_ENTRY Stray;
    Stray.Flink = Stray.Blink = &First.Root.Link;
    FilterGlobals.SyncRootList.Blink = &Stray;

    ExpectStopped([&] { (void)SyncRootInsert(&Second.Root); });
    EXPECT_TRUE(Stopped);
    /* Nothing was linked. */
    EXPECT_EQ(Second.Root.Link.Flink, nullptr);
}

TEST_F(CorruptSyncRootList, RemoveChecksBothNeighbours)
{
    HandBuiltRoot &First = Make(Volume + u"\\First");
    HandBuiltRoot &Second = Make(Volume + u"\\Second");
    HandBuiltRoot &Third = Make(Volume + u"\\Third");
    ASSERT_EQ(SyncRootInsert(&First.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Second.Root), STATUS_SUCCESS);
    ASSERT_EQ(SyncRootInsert(&Third.Root), STATUS_SUCCESS);

    /* The next record's backward link points elsewhere. */
    Third.Root.Link.Blink = &First.Root.Link;

    ExpectStopped([&] { (void)SyncRootRemove(&Second.Root); });
    EXPECT_TRUE(Stopped);
    /* The previous record still leads to the one that was to be removed. */
    EXPECT_EQ(First.Root.Link.Flink, &Second.Root.Link);
}

}  // namespace
