/*
 * TestFilter.h - the emulator tests' shared test filter and leak-check
 * fixture.
 *
 * TestFilter<Id> is a minifilter whose callbacks log what they see into one
 * log shared by all test filters, so a test reads the order in which the
 * layers ran.  Each filter loads under its own service name at an altitude
 * the test picks.  What its pre-read does is chosen per test: pass, refuse
 * fast I/O, or pend the read (refusing fast I/O) with a cancel routine, so
 * that the test completes or cancels it.  Its pre-create can add an
 * open-reparse entry for a tag and GUID.  The lower and upper filters skip
 * paging reads, as most filters do; the pager (TestFilter<2>) sees every
 * read and write, paging ones included, end-of-file sets and section
 * synchronisation, and records what each carried (Seen).
 */
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "EmuTesting.h"

namespace emu_test {

/* What every test filter saw, in order: "<name> pre|post <major> irp|fast",
   with " paging" after paging I/O. */
struct Log {
    std::mutex Lock;
    std::vector<std::string> Lines;

    void Add(const std::string &Line)
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Lines.push_back(Line);
    }

    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> Guard(Lock);
        std::vector<std::string> Taken;
        Taken.swap(Lines);
        return Taken;
    }
};

inline Log TheLog;

/* What a test filter's pre-read does with an IRP read (fast reads are
   refused in every mode but Pass): pass it on, pend it, complete it at
   once with STATUS_ACCESS_DENIED, or ask for a synchronized post-read. */
enum class ReadMode { Pass, DisallowFastIo, Pend, Complete, Synchronize };

inline const char *MajorName(UCHAR Major)
{
    switch (Major) {
    case IRP_MJ_CREATE:
        return "create";
    case IRP_MJ_READ:
        return "read";
    case IRP_MJ_WRITE:
        return "write";
    case IRP_MJ_QUERY_INFORMATION:
        return "query";
    case IRP_MJ_SET_INFORMATION:
        return "setinfo";
    case IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION:
        return "acquire-section";
    case IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION:
        return "release-section";
    default:
        return "other";
    }
}

/* What the pager saw of one operation in its pre-operation. */
struct Seen {
    UCHAR Major;
    ULONG IrpFlags;
    bool Fast;
    bool FsFilter;        // a callback operation (section synchronisation), not an IRP
    bool Synchronous;     // FltIsOperationSynchronous
    LONGLONG Offset;      // reads and writes
    ULONG Length;
    FILE_INFORMATION_CLASS Class;  // set-information
    bool AdvanceOnly;
    LONGLONG EndOfFile;
    FS_FILTER_SECTION_SYNC_TYPE SyncType;  // section synchronisation
    ULONG PageProtection;
    ULONG_PTR TopLevelIrp;  // IoGetTopLevelIrp() on the calling thread
    HANDLE ProcessId;
};

template <int Id> struct TestFilter {
    static inline const char *Name = Id == 0 ? "lower" : (Id == 1 ? "upper" : "pager");
    static inline PFLT_FILTER Filter = nullptr;
    static inline ReadMode Reads = ReadMode::Pass;
    /* Pended reads, until the test completes them or they are cancelled. */
    static inline std::mutex PendedLock;
    static inline std::vector<PFLT_CALLBACK_DATA> Pended;
    static inline std::atomic<int> CancelRoutineRuns{0};
    /* An open-reparse entry the pre-create adds when Tag is not zero. */
    static inline ULONG OpenReparseTag = 0;
    static inline GUID OpenReparseGuid = {};
    static inline OPEN_REPARSE_LIST_ENTRY Entry = {};
    static inline ULONG EntryFlagsSeen = 0;
    /* The thread the last post-read ran on; whether post-reads defer. */
    static inline std::atomic<uint64_t> PostReadThread{0};
    static inline bool DeferPostRead = false;
    static inline std::atomic<PFLT_CALLBACK_DATA> DeferredPost{nullptr};
    /* What the pre-operations saw (the pager's record), and a status its
       pre-acquire for section synchronisation completes with (success:
       passes). */
    static inline std::mutex SeenLock;
    static inline std::vector<Seen> Operations_;
    static inline NTSTATUS FailSectionWith = STATUS_SUCCESS;
    /* The pager gives each stream it sees opened a stream context when
       AttachContexts is set; the cleanup callback counts their teardowns. */
    static inline bool AttachContexts = false;
    static inline std::atomic<int> StreamContextCleanups{0};

    static void Reset()
    {
        AttachContexts = false;
        StreamContextCleanups = 0;
        Operations_.clear();
        FailSectionWith = STATUS_SUCCESS;
        Filter = nullptr;
        Reads = ReadMode::Pass;
        Pended.clear();
        CancelRoutineRuns = 0;
        OpenReparseTag = 0;
        EntryFlagsSeen = 0;
        PostReadThread = 0;
        DeferPostRead = false;
        DeferredPost = nullptr;
    }

    static void Note(PFLT_CALLBACK_DATA Data, const char *When)
    {
        TheLog.Add(std::string(Name) + " " + When + " " + MajorName(Data->Iopb->MajorFunction) +
                   (FLT_IS_FASTIO_OPERATION(Data) ? " fast" : " irp") +
                   ((Data->Iopb->IrpFlags & IRP_PAGING_IO) ? " paging" : ""));
    }

    static void Record(PFLT_CALLBACK_DATA Data)
    {
        Seen Entry = {};
        Entry.Major = Data->Iopb->MajorFunction;
        Entry.IrpFlags = Data->Iopb->IrpFlags;
        Entry.Fast = FLT_IS_FASTIO_OPERATION(Data);
        Entry.FsFilter = FLT_IS_FS_FILTER_OPERATION(Data);
        Entry.Synchronous = FltIsOperationSynchronous(Data) != FALSE;
        Entry.TopLevelIrp = (ULONG_PTR)IoGetTopLevelIrp();
        Entry.ProcessId = PsGetCurrentProcessId();
        const FLT_PARAMETERS &Parameters = Data->Iopb->Parameters;
        if (Entry.Major == IRP_MJ_READ || Entry.Major == IRP_MJ_WRITE) {
            Entry.Offset = Parameters.Read.ByteOffset.QuadPart;
            Entry.Length = Parameters.Read.Length;
        } else if (Entry.Major == IRP_MJ_SET_INFORMATION) {
            Entry.Class = Parameters.SetFileInformation.FileInformationClass;
            Entry.AdvanceOnly = Parameters.SetFileInformation.AdvanceOnly != FALSE;
            if (Entry.Class == FileEndOfFileInformation) {
                Entry.EndOfFile = ((PFILE_END_OF_FILE_INFORMATION)Parameters.SetFileInformation.InfoBuffer)
                                      ->EndOfFile.QuadPart;
            }
        } else if (Entry.Major == IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION) {
            Entry.SyncType = Parameters.AcquireForSectionSynchronization.SyncType;
            Entry.PageProtection = Parameters.AcquireForSectionSynchronization.PageProtection;
        }
        std::lock_guard<std::mutex> Guard(SeenLock);
        Operations_.push_back(Entry);
    }

    /* Takes what the pre-operations saw so far. */
    static std::vector<Seen> TakeSeen()
    {
        std::lock_guard<std::mutex> Guard(SeenLock);
        std::vector<Seen> Taken;
        Taken.swap(Operations_);
        return Taken;
    }

    static VOID FLTAPI CancelPendedRead(PFLT_CALLBACK_DATA Data)
    {
        CancelRoutineRuns += 1;
        {
            std::lock_guard<std::mutex> Guard(PendedLock);
            std::erase(Pended, Data);
        }
        Data->IoStatus.Status = STATUS_CANCELLED;
        Data->IoStatus.Information = 0;
        FltCompletePendedPreOperation(Data, FLT_PREOP_COMPLETE, NULL);
    }

    static FLT_PREOP_CALLBACK_STATUS FLTAPI Pre(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS, PVOID *)
    {
        Note(Data, "pre");
        Record(Data);
        UCHAR Major = Data->Iopb->MajorFunction;
        if (Major == IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION && FailSectionWith != STATUS_SUCCESS) {
            Data->IoStatus.Status = FailSectionWith;
            return FLT_PREOP_COMPLETE;
        }
        if (Major == IRP_MJ_CREATE && OpenReparseTag != 0) {
            Entry = OPEN_REPARSE_LIST_ENTRY{};
            Entry.ReparseTag = OpenReparseTag;
            Entry.ReparseGuid = OpenReparseGuid;
            Entry.Size = sizeof(Entry);
            EXPECT_EQ(FltAddOpenReparseEntry(Filter, Data, &Entry), STATUS_SUCCESS);
        }
        if (Major == IRP_MJ_READ && Reads != ReadMode::Pass) {
            if (FLT_IS_FASTIO_OPERATION(Data)) {
                return FLT_PREOP_DISALLOW_FASTIO;
            }
            if (Reads == ReadMode::Complete) {
                Data->IoStatus.Status = STATUS_ACCESS_DENIED;
                Data->IoStatus.Information = 0;
                return FLT_PREOP_COMPLETE;
            }
            if (Reads == ReadMode::Synchronize) {
                return FLT_PREOP_SYNCHRONIZE;
            }
            if (Reads == ReadMode::Pend) {
                std::lock_guard<std::mutex> Guard(PendedLock);
                if (FltSetCancelCompletion(Data, CancelPendedRead) != STATUS_SUCCESS) {
                    Data->IoStatus.Status = STATUS_CANCELLED;
                    return FLT_PREOP_COMPLETE;
                }
                Pended.push_back(Data);
                return FLT_PREOP_PENDING;
            }
        }
        return FLT_PREOP_SUCCESS_WITH_CALLBACK;
    }

    static VOID FLTAPI CleanupStreamContext(PFLT_CONTEXT, FLT_CONTEXT_TYPE)
    {
        StreamContextCleanups += 1;
    }

    static FLT_POSTOP_CALLBACK_STATUS FLTAPI Post(PFLT_CALLBACK_DATA Data, PCFLT_RELATED_OBJECTS Objects, PVOID,
                                                  FLT_POST_OPERATION_FLAGS)
    {
        Note(Data, "post");
        if (Id == 2 && AttachContexts && Data->Iopb->MajorFunction == IRP_MJ_CREATE &&
            NT_SUCCESS(Data->IoStatus.Status)) {
            PFLT_CONTEXT Context = NULL;
            if (NT_SUCCESS(FltAllocateContext(Filter, FLT_STREAM_CONTEXT, 8, NonPagedPoolNx, &Context))) {
                FltSetStreamContext(Objects->Instance, Objects->FileObject, FLT_SET_CONTEXT_KEEP_IF_EXISTS, Context,
                                    NULL);
                FltReleaseContext(Context);
            }
        }
        if (Data->Iopb->MajorFunction == IRP_MJ_CREATE && OpenReparseTag != 0) {
            EntryFlagsSeen = Entry.Flags;
            FltRemoveOpenReparseEntry(Filter, Data, &Entry);
        }
        if (Data->Iopb->MajorFunction == IRP_MJ_READ && FLT_IS_IRP_OPERATION(Data)) {
            PostReadThread = (uint64_t)PsGetCurrentThreadId();
            if (DeferPostRead) {
                DeferredPost = Data;
                return FLT_POSTOP_MORE_PROCESSING_REQUIRED;
            }
        }
        return FLT_POSTOP_FINISHED_PROCESSING;
    }

    /* Takes the oldest pended read out of the queue (null when none), with
       its cancel routine cleared, for the test to complete. */
    static PFLT_CALLBACK_DATA TakePended()
    {
        std::lock_guard<std::mutex> Guard(PendedLock);
        if (Pended.empty()) {
            return nullptr;
        }
        PFLT_CALLBACK_DATA Data = Pended.front();
        if (FltClearCancelCompletion(Data) != STATUS_SUCCESS) {
            return nullptr;  // its cancel routine owns it
        }
        Pended.erase(Pended.begin());
        return Data;
    }

    static size_t PendedCount()
    {
        std::lock_guard<std::mutex> Guard(PendedLock);
        return Pended.size();
    }

    static NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS)
    {
        FltUnregisterFilter(Filter);
        return STATUS_SUCCESS;
    }

    static inline const FLT_OPERATION_REGISTRATION Operations[] = {
        {IRP_MJ_CREATE, 0, Pre, Post},
        {IRP_MJ_READ, FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO, Pre, Post},
        {IRP_MJ_WRITE, 0, Pre, Post},
        {IRP_MJ_QUERY_INFORMATION, 0, Pre, Post},
        {IRP_MJ_OPERATION_END},
    };
    static inline const FLT_OPERATION_REGISTRATION PagerOperations[] = {
        {IRP_MJ_CREATE, 0, Pre, Post},
        {IRP_MJ_READ, 0, Pre, Post},
        {IRP_MJ_WRITE, 0, Pre, Post},
        {IRP_MJ_SET_INFORMATION, 0, Pre, Post},
        {IRP_MJ_ACQUIRE_FOR_SECTION_SYNCHRONIZATION, 0, Pre, Post},
        {IRP_MJ_RELEASE_FOR_SECTION_SYNCHRONIZATION, 0, Pre, Post},
        {IRP_MJ_OPERATION_END},
    };

    static NTSTATUS Entry_(PDRIVER_OBJECT Driver, PUNICODE_STRING)
    {
        static const FLT_CONTEXT_REGISTRATION Contexts[] = {
            {FLT_STREAM_CONTEXT, 0, CleanupStreamContext, 8, 0x78747343 /* 'Cstx' */},
            {FLT_CONTEXT_END},
        };
        FLT_REGISTRATION Registration = {sizeof(FLT_REGISTRATION), FLT_REGISTRATION_VERSION, 0,
                                         Id == 2 ? Contexts : NULL, Id == 2 ? PagerOperations : Operations, Unload};
        NTSTATUS Status = FltRegisterFilter(Driver, &Registration, &Filter);
        if (NT_SUCCESS(Status)) {
            Status = FltStartFiltering(Filter);
            if (!NT_SUCCESS(Status)) {
                FltUnregisterFilter(Filter);
            }
        }
        return Status;
    }

    static std::u16string Service()
    {
        return Id == 0 ? u"lowerfilter" : (Id == 1 ? u"upperfilter" : u"pagerfilter");
    }
};

using Lower = TestFilter<0>;
using Upper = TestFilter<1>;
using Pager = TestFilter<2>;

/* One emulated system per test with C: mounted and a program process; when
   the test ends the program ends, every filter unloads, and anything left
   (requests, pool, contexts, objects, misuse reports) fails the test. */
class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Lower::Reset();
        Upper::Reset();
        Pager::Reset();
        TheLog.Take();
        Volume = System.Mount();
        Program = System.CreateProcess("program.exe");
    }

    void TearDown() override
    {
        System.Terminate(Program);
        for (const std::u16string &Service : Loaded) {
            EXPECT_EQ(System.UnloadDriver(Service), STATUS_SUCCESS);
        }
        for (const auto &Leak : System.Leaks()) {
            ADD_FAILURE() << "left behind: " << Leak;
        }
    }

    template <typename Filter> PFLT_INSTANCE Load(const char *Altitude)
    {
        EXPECT_EQ(System.LoadDriver(Filter::Entry_, Filter::Service(), Altitude), STATUS_SUCCESS);
        Loaded.push_back(Filter::Service());
        return System.InstanceOn(Volume, Filter::Filter);
    }

    /* Creates C:\<Name> in the program with Bytes bytes 0, 1, 2 ... */
    void MakeFile(const WCHAR *Path, size_t Bytes)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE File = CreateFileW(Path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(File, INVALID_HANDLE_VALUE);
        std::vector<UCHAR> Data(Bytes);
        for (size_t Index = 0; Index < Bytes; Index += 1) {
            Data[Index] = (UCHAR)Index;
        }
        DWORD Written = 0;
        ASSERT_TRUE(WriteFile(File, Data.data(), (DWORD)Bytes, &Written, NULL));
        CloseHandle(File);
    }

    emu::System System;
    PFLT_VOLUME Volume = nullptr;
    emu::EmuProcess *Program = nullptr;
    std::vector<std::u16string> Loaded;
};

/* The log lines of one major function and kind ("read irp"). */
inline std::vector<std::string> Only(const std::vector<std::string> &Lines, const std::string &Suffix)
{
    std::vector<std::string> Kept;
    for (const std::string &Line : Lines) {
        if (Line.size() >= Suffix.size() && Line.compare(Line.size() - Suffix.size(), Suffix.size(), Suffix) == 0) {
            Kept.push_back(Line);
        }
    }
    return Kept;
}

/* Opens an existing file or directory in the current process, sharing
   everything. */
inline HANDLE Open(const WCHAR *Path, DWORD Access, DWORD Flags = 0)
{
    return CreateFileW(Path, Access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                       Flags, NULL);
}

/* The status with which opening Path fails, or STATUS_SUCCESS. */
inline NTSTATUS OpenStatus(const WCHAR *Path)
{
    HANDLE Handle = Open(Path, GENERIC_READ, FILE_FLAG_BACKUP_SEMANTICS);
    if (Handle == INVALID_HANDLE_VALUE) {
        return emu::user::LastStatus();
    }
    CloseHandle(Handle);
    return STATUS_SUCCESS;
}

}  // namespace emu_test
