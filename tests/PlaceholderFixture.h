/*
 * PlaceholderFixture.h - the fixture of the placeholder tests: the filter
 * loaded on one NTFS volume (C:), a program process, and a file the program
 * created, whose file object the test holds so that it can call the
 * filter's routines at the filter's own instance.
 */
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Harness.h"
#include "EmuTesting.h"

namespace zentaflt_test {

/* A file the program has open: its handle in the program and the file
   object behind it, referenced by the test. */
struct ProgramFile {
    HANDLE Handle = nullptr;
    PFILE_OBJECT File = nullptr;
};

class PlaceholderTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        Volume = System->Mount();
        ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);
        Instance = System->InstanceOn(Volume);
        ASSERT_NE(Instance, nullptr);
        Program = System->CreateProcess("program.exe");
        Target = Open(L"C:\\file.bin", CREATE_NEW);
        ASSERT_NE(Target.File, nullptr);
    }

    void TearDown() override
    {
        for (ProgramFile &Open : Opened) {
            Close(Open);
        }
        if (Program != nullptr) {
            System->Terminate(Program);
        }
        FilterTest::TearDown();
    }

    /* Opens (or creates) a file in the program, read-write and shared,
       and references its file object.  Closed by Close or at the end of the
       test. */
    ProgramFile Open(const WCHAR *Path, DWORD Disposition = OPEN_EXISTING)
    {
        ProgramFile Result;
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                                    Disposition, 0, NULL);
        EXPECT_NE(Handle, INVALID_HANDLE_VALUE);
        if (Handle == INVALID_HANDLE_VALUE) {
            return Result;
        }
        Result.Handle = Handle;
        EXPECT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&Result.File, NULL),
                  STATUS_SUCCESS);
        Opened.push_back(Result);
        return Result;
    }

    /* Drops the test's reference and closes the program's handle. */
    void Close(ProgramFile &Open)
    {
        ProgramFile Closing = Open;
        Open = ProgramFile();
        for (ProgramFile &Entry : Opened) {
            if (Entry.Handle == Closing.Handle && Entry.File == Closing.File) {
                Entry = ProgramFile();
            }
        }
        if (Closing.File != nullptr) {
            ObDereferenceObject(Closing.File);
        }
        if (Closing.Handle != nullptr) {
            emu::ProcessScope InProgram(Program);
            CloseHandle(Closing.Handle);
        }
    }

    /* Writes Length bytes of Fill at Offset, as the program. */
    void Write(const ProgramFile &Open, ULONGLONG Offset, size_t Length, UCHAR Fill)
    {
        emu::ProcessScope InProgram(Program);
        std::vector<UCHAR> Data(Length, Fill);
        OVERLAPPED At = {};
        At.Offset = (DWORD)Offset;
        At.OffsetHigh = (DWORD)(Offset >> 32);
        DWORD Written = 0;
        ASSERT_TRUE(WriteFile(Open.Handle, Data.data(), (DWORD)Length, &Written, &At));
        ASSERT_EQ(Written, Length);
    }

    FILE_BASIC_INFORMATION Basic(PFILE_OBJECT File)
    {
        FILE_BASIC_INFORMATION Information = {};
        EXPECT_EQ(FltQueryInformationFile(Instance, File, &Information, sizeof(Information), FileBasicInformation,
                                          NULL),
                  STATUS_SUCCESS);
        return Information;
    }

    /* Sets a file's attributes, leaving its times alone. */
    void SetAttributes(PFILE_OBJECT File, ULONG Attributes)
    {
        FILE_BASIC_INFORMATION Information = {};
        Information.FileAttributes = Attributes;
        ASSERT_EQ(FltSetInformationFile(Instance, File, &Information, sizeof(Information), FileBasicInformation),
                  STATUS_SUCCESS);
    }

    /* Gives a file a reparse point of the placeholder's tag and GUID. */
    NTSTATUS TagAsPlaceholder(PFILE_OBJECT File, const std::vector<UCHAR> &Data)
    {
        GUID Guid = PlaceholderReparseGuid;
        return FltTagFile(Instance, File, PlaceholderReparseTag, &Guid, (PVOID)Data.data(), (USHORT)Data.size());
    }

    /* What the filter reported on the kernel debugger. */
    std::string Reported() const
    {
        return System->KernelDebugger().OutputText();
    }

    emu::PoolTagUsage PoolOf(ULONG Tag) const
    {
        return System->Accounting().PoolByTag()[Tag];
    }

    size_t Live(const char *Kind) const
    {
        return System->Accounting().LiveCount(Kind);
    }

    PFLT_VOLUME Volume = nullptr;
    PFLT_INSTANCE Instance = nullptr;
    emu::EmuProcess *Program = nullptr;
    ProgramFile Target;
    std::vector<ProgramFile> Opened;
};

/* Bytes 0, 1, 2 ... of a given length, so that a shifted copy shows. */
inline std::vector<UCHAR> Pattern(size_t Length, UCHAR Start = 0)
{
    std::vector<UCHAR> Data(Length);
    for (size_t Index = 0; Index < Length; Index += 1) {
        Data[Index] = (UCHAR)(Start + Index);
    }
    return Data;
}

}  // namespace zentaflt_test
