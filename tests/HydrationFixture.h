/*
 * HydrationFixture.h - the fixture of the hydration tests: the filter on
 * one NTFS volume (C:), a sync root C:\Sync connected by a test service
 * that runs on a thread of its own process and serves placeholder data from
 * a map of contents, and a program that opens and uses the placeholders.
 */
#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "EmuTesting.h"
#include "ServiceClient.h"

namespace zentaflt_test {

namespace service = zentaflt::service;

/* A hydrate message as the test service received it. */
struct HydrateSeen {
    std::u16string Path;
    ULONGLONG RequestId = 0;
    LONGLONG FileSize = 0;
    std::vector<unsigned char> ReparseData;
    ULONG ThreadId = 0;
    ULONG ProcessId = 0;
};

/* The service: one connection, a thread that takes its messages, and a
   map of file contents by volume-relative path.  While Hold is set,
   messages are recorded but not answered; the test answers them. */
class TestService {
public:
    explicit TestService(emu::EmuProcess *Process) : Process(Process) {}

    ~TestService() { Stop(); }

    NTSTATUS Connect(const wchar_t *Directory)
    {
        emu::ProcessScope InService(Process);
        HRESULT Result = service::ConnectSyncRootPath(Directory, &Connection);
        NTSTATUS Status = emu::user::LastStatus();
        if (Result != S_OK) {
            return NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status;
        }
        Receiver = std::thread([this] { Run(); });
        return STATUS_SUCCESS;
    }

    /* Closes the connection (a disconnect) and ends the thread. */
    void Stop()
    {
        /* Other threads (the receiver, a test's completer) read Connection
           until they end: close through a copy and leave it as it is. */
        if (!Process->Terminated && !Stopped.exchange(true)) {
            service::ServiceConnection Closing = Connection;
            emu::ProcessScope InService(Process);
            service::Disconnect(&Closing);
        }
        Join();
    }

    /* Ends the thread once the connection is gone by other means (the
       process was terminated): its handle is gone with the process. */
    void Join()
    {
        if (Receiver.joinable()) {
            Receiver.join();
        }
    }

    void SetContent(const std::u16string &Path, std::vector<unsigned char> Content)
    {
        std::lock_guard<std::mutex> Guard(Lock);
        Contents[Path] = std::move(Content);
    }

    /* Waits until at least Count hydrate messages have arrived.  The wait is
       a guard against a hang, not a measurement. */
    bool WaitForMessages(size_t Count)
    {
        std::unique_lock<std::mutex> Guard(Lock);
        return Changed.wait_for(Guard, std::chrono::seconds(30), [&] { return Seen.size() >= Count; });
    }

    std::vector<HydrateSeen> Messages()
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Seen;
    }

    size_t MessageCount()
    {
        std::lock_guard<std::mutex> Guard(Lock);
        return Seen.size();
    }

    /* Sends a command as the service, on the calling thread; returns the
       filter's NTSTATUS. */
    NTSTATUS Transfer(ULONGLONG RequestId, ULONGLONG Offset, const void *Data, ULONG Length)
    {
        emu::ProcessScope InService(Process);
        service::TransferData(Connection, RequestId, Offset, Data, Length);
        return emu::user::LastStatus();
    }

    NTSTATUS Complete(ULONGLONG RequestId, NTSTATUS Status)
    {
        emu::ProcessScope InService(Process);
        service::CompleteHydration(Connection, RequestId, Status);
        return emu::user::LastStatus();
    }

    /* Serves a request from the map, as the thread does when not held. */
    HRESULT Serve(const HydrateSeen &Message)
    {
        std::vector<unsigned char> Content;
        {
            std::lock_guard<std::mutex> Guard(Lock);
            Content = Contents[Message.Path];
        }
        emu::ProcessScope InService(Process);
        return service::SendFileData(Connection, Message.RequestId, Content.data(), Content.size(), PieceSize);
    }

    /* Answers the filter's questions on the thread (every question is
       allowed when empty); set before the first question is asked. */
    service::QuestionPolicy Questions;

    std::atomic<bool> Hold{false};
    ULONG PieceSize = 1024 * 1024;
    service::ServiceConnection Connection;
    std::atomic<bool> Stopped{false};  // the connection was closed by Stop

private:
    void Run()
    {
        emu::ProcessScope InService(Process);
        auto Received = std::make_unique<service::ReceivedMessage>();
        while (service::ReceiveMessage(Connection, Received.get()) == S_OK) {
            const SERVICE_MESSAGE &Message = Received->Message;
            if (service::IsQuestion(Message)) {
                service::AnswerQuestion(Connection, *Received, Questions);
                continue;
            }
            if (Message.MessageType != MessageTypeHydrate) {
                continue;
            }
            HydrateSeen Record;
            Record.Path = service::PathOf(Message);
            Record.RequestId = Message.Hydrate.RequestId;
            Record.FileSize = Message.Hydrate.FileSize;
            Record.ReparseData = service::ReparseDataOf(Message);
            Record.ThreadId = Message.Hydrate.ThreadId;
            Record.ProcessId = Message.Hydrate.ProcessId;
            {
                std::lock_guard<std::mutex> Guard(Lock);
                Seen.push_back(Record);
            }
            Changed.notify_all();
            if (!Hold) {
                Serve(Record);
            }
        }
    }

    emu::EmuProcess *Process;
    std::thread Receiver;
    std::mutex Lock;
    std::condition_variable Changed;
    std::map<std::u16string, std::vector<unsigned char>> Contents;
    std::vector<HydrateSeen> Seen;
};

class HydrationTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        Volume = System->Mount();
        ASSERT_EQ(Load(DebugFlagPrintFailures), STATUS_SUCCESS);
        Instance = System->InstanceOn(Volume);
        ASSERT_NE(Instance, nullptr);
        Program = System->CreateProcess("program.exe");
        ServiceProcess = System->CreateProcess("service.exe");
        {
            emu::ProcessScope InProgram(Program);
            ASSERT_TRUE(CreateDirectoryW(L"C:\\Sync", NULL));
            ASSERT_TRUE(CreateDirectoryW(L"C:\\Outside", NULL));
        }
        Service = std::make_unique<TestService>(ServiceProcess);
        ASSERT_EQ(Service->Connect(L"C:\\Sync"), STATUS_SUCCESS);
    }

    void TearDown() override
    {
        for (HANDLE Handle : Handles) {
            emu::ProcessScope InProgram(Program);
            CloseHandle(Handle);
        }
        Handles.clear();
        if (Service != nullptr) {
            Service->Stop();
            Service.reset();
        }
        System->Terminate(ServiceProcess);
        System->Terminate(Program);
        FilterTest::TearDown();
    }

    /* Makes a placeholder of Size bytes at Path (C:\...), whose data the
       service holds as Content, with the primitives the service's create
       request uses: created empty, sized, tagged, marked. */
    void MakePlaceholder(const wchar_t *Path, const std::vector<unsigned char> &Content,
                         const std::vector<unsigned char> &ReparseData = {1, 2, 3, 4})
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        PFILE_OBJECT File = NULL;
        ASSERT_EQ(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL),
                  STATUS_SUCCESS);
        ASSERT_EQ(SetEndOfFile(Instance, File, Content.size()), STATUS_SUCCESS);
        GUID Guid = PlaceholderReparseGuid;
        ASSERT_EQ(FltTagFile(Instance, File, PlaceholderReparseTag, &Guid, (PVOID)ReparseData.data(),
                             (USHORT)ReparseData.size()),
                  STATUS_SUCCESS);
        SetPlaceholderAttributes(Instance, File, PlaceholderCommandCreate);
        ObDereferenceObject(File);
        CloseHandle(Handle);
        Service->SetContent(RelativePath(Path), Content);
    }

    /* A plain file with Content. */
    void MakeFile(const wchar_t *Path, const std::vector<unsigned char> &Content)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
        ASSERT_NE(Handle, INVALID_HANDLE_VALUE);
        DWORD Written = 0;
        if (!Content.empty()) {
            ASSERT_TRUE(WriteFile(Handle, Content.data(), (DWORD)Content.size(), &Written, NULL));
        }
        CloseHandle(Handle);
    }

    static std::u16string RelativePath(const wchar_t *Path)
    {
        std::u16string Out;
        for (const wchar_t *Cursor = Path + 2; *Cursor != 0; Cursor += 1) {
            Out += (char16_t)*Cursor;
        }
        return Out;
    }

    /* Opens a file in the program; closed at the end of the test. */
    HANDLE OpenInProgram(const wchar_t *Path, DWORD Access = GENERIC_READ | GENERIC_WRITE, DWORD Flags = 0)
    {
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = CreateFileW(Path, Access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, Flags,
                                    NULL);
        EXPECT_NE(Handle, INVALID_HANDLE_VALUE) << emu::user::LastStatus();
        if (Handle != INVALID_HANDLE_VALUE) {
            Handles.push_back(Handle);
        }
        return Handle;
    }

    /* Reads Length bytes at Offset as the program; Status gets the
       NTSTATUS. */
    std::vector<unsigned char> ReadAt(HANDLE Handle, ULONGLONG Offset, size_t Length, NTSTATUS *Status = nullptr)
    {
        emu::ProcessScope InProgram(Program);
        std::vector<unsigned char> Data(Length);
        OVERLAPPED At = {};
        At.Offset = (DWORD)Offset;
        At.OffsetHigh = (DWORD)(Offset >> 32);
        DWORD Read = 0;
        BOOL Ok = ReadFile(Handle, Data.data(), (DWORD)Length, &Read, &At);
        if (Status != nullptr) {
            *Status = Ok ? STATUS_SUCCESS : emu::user::LastStatus();
        }
        Data.resize(Ok ? Read : 0);
        return Data;
    }

    NTSTATUS WriteAt(HANDLE Handle, ULONGLONG Offset, const std::vector<unsigned char> &Data)
    {
        emu::ProcessScope InProgram(Program);
        OVERLAPPED At = {};
        At.Offset = (DWORD)Offset;
        At.OffsetHigh = (DWORD)(Offset >> 32);
        DWORD Written = 0;
        return WriteFile(Handle, Data.data(), (DWORD)Data.size(), &Written, &At) ? STATUS_SUCCESS
                                                                                 : emu::user::LastStatus();
    }

    /* The stream context of an open file (a handle of the program, or of
       Process when given), or null; the reference is dropped before
       returning (the file's handle keeps the context). */
    PSTREAM_CONTEXT ContextOf(HANDLE Handle, emu::EmuProcess *Process = nullptr)
    {
        emu::ProcessScope InProgram(Process != nullptr ? Process : Program);
        PFILE_OBJECT File = NULL;
        if (!NT_SUCCESS(ObReferenceObjectByHandle(Handle, 0, *IoFileObjectType, KernelMode, (PVOID *)&File, NULL))) {
            return nullptr;
        }
        PFLT_CONTEXT Context = NULL;
        NTSTATUS Status = FltGetStreamContext(Instance, File, &Context);
        ObDereferenceObject(File);
        if (!NT_SUCCESS(Status)) {
            return nullptr;
        }
        FltReleaseContext(Context);
        return (PSTREAM_CONTEXT)Context;
    }

    /* What the file system says about a file now, through a kernel open
       below the filter. */
    struct FileFacts {
        ULONG Attributes = 0;
        LONGLONG Size = 0;
        bool ReparsePoint = false;
        std::vector<unsigned char> Data;
        FILE_BASIC_INFORMATION Basic = {};
    };

    FileFacts Facts(const wchar_t *Path)
    {
        FileFacts Out;
        emu::ProcessScope InProgram(Program);
        HANDLE Handle = NULL;
        PFILE_OBJECT File = NULL;
        std::u16string Relative = RelativePath(Path);
        EXPECT_EQ(emu::OpenBelow(Instance, Relative, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN_REPARSE_POINT,
                                 &Handle, &File),
                  STATUS_SUCCESS);
        if (File == NULL) {
            return Out;
        }
        EXPECT_EQ(FltQueryInformationFile(Instance, File, &Out.Basic, sizeof(Out.Basic), FileBasicInformation,
                                          NULL),
                  STATUS_SUCCESS);
        Out.Attributes = Out.Basic.FileAttributes;
        EXPECT_EQ(QueryFileSize(Instance, File, &Out.Size), STATUS_SUCCESS);
        PVOID Reparse = NULL;
        ULONG ReparseLength = 0;
        NTSTATUS Status = GetPlaceholderReparseData(Instance, File, &Reparse, &ReparseLength);
        if (NT_SUCCESS(Status)) {
            Out.ReparsePoint = true;
            FreePlaceholderReparseData(Reparse);
        }
        Out.Data.resize((size_t)Out.Size);
        if (Out.Size != 0) {
            LARGE_INTEGER Zero = {};
            ULONG Read = 0;
            EXPECT_EQ(FltReadFile(Instance, File, &Zero, (ULONG)Out.Size, Out.Data.data(),
                                  FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &Read, NULL, NULL),
                      STATUS_SUCCESS);
            Out.Data.resize(Read);
        }
        ObDereferenceObject(File);
        CloseHandle(Handle);
        return Out;
    }

    PFLT_VOLUME Volume = nullptr;
    PFLT_INSTANCE Instance = nullptr;
    emu::EmuProcess *Program = nullptr;
    emu::EmuProcess *ServiceProcess = nullptr;
    std::unique_ptr<TestService> Service;
    std::vector<HANDLE> Handles;
};

/* Bytes that differ from one offset to the next and from one file to the
   next, so that a shifted or foreign copy shows. */
inline std::vector<unsigned char> Content(size_t Length, unsigned Seed = 7)
{
    std::vector<unsigned char> Data(Length);
    unsigned Value = Seed;
    for (size_t Index = 0; Index < Length; Index += 1) {
        Value = Value * 1103515245u + 12345u;
        Data[Index] = (unsigned char)(Value >> 16);
    }
    return Data;
}

}  // namespace zentaflt_test
