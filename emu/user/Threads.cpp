/*
 * Threads.cpp - thread handles for programs, and the cancellation of a
 * thread's synchronous I/O through one (OpenThread, CancelSynchronousIo:
 * "the pending synchronous I/O operations issued by the thread are marked
 * cancelled"; ERROR_NOT_FOUND when it has none).  Threads a process starts
 * (CreateThread), waits for their end (WaitForSingleObject on a thread
 * handle) and their exit codes (GetExitCodeThread).
 */
#include <fltKernel.h>
#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "../io/Io.h"
#include "User.h"

using namespace emu;

namespace {

/* A thread started by CreateThread: the host thread, and its end as the
   handles' waits see it.  Shared by the running thread and the object. */
struct ThreadRun {
    std::mutex Lock;
    std::condition_variable Started, Ended;
    uint64_t ThreadId = 0;  // the emulated thread's id, once it runs
    bool Done = false;
    DWORD ExitCode = STILL_ACTIVE;
    std::thread Host;
};

/* The body of a thread object: the id of the emulated thread, and for a
   thread started by CreateThread its run (null for OpenThread's). */
struct ThreadBody {
    uint64_t ThreadId;
    std::shared_ptr<ThreadRun> *Run;
};

/* The object's last reference: a started thread no one waits for any more
   runs on to its end on its own. */
void DeleteThreadBody(PVOID Object)
{
    auto Body = (ThreadBody *)Object;
    if (Body->Run != nullptr) {
        std::shared_ptr<ThreadRun> Run = *Body->Run;
        delete Body->Run;
        Body->Run = nullptr;
        if (Run->Host.joinable()) {
            if (Run->Host.get_id() == std::this_thread::get_id()) {
                Run->Host.detach();
            } else {
                std::unique_lock<std::mutex> Guard(Run->Lock);
                bool Done = Run->Done;
                Guard.unlock();
                if (Done) {
                    Run->Host.join();
                } else {
                    Run->Host.detach();
                }
            }
        }
    }
}

_OBJECT_TYPE ThreadType = {
    "Thread",
    {STANDARD_RIGHTS_READ | 0x0048, STANDARD_RIGHTS_WRITE | 0x0037, STANDARD_RIGHTS_EXECUTE | 0x1800,
     STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF},
    nullptr,
    DeleteThreadBody,
};

BOOL Finish(NTSTATUS Status)
{
    emu::user::NoteStatus(Status);
    SetLastError(emu::user::Win32ErrorOf(Status));
    return NT_SUCCESS(Status) ? TRUE : FALSE;
}

}  // namespace

extern "C" {

HANDLE WINAPI OpenThread(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwThreadId)
{
    UNREFERENCED_PARAMETER(bInheritHandle);
    auto Body = (ThreadBody *)CreateObject(&ThreadType, sizeof(ThreadBody), "thread " + std::to_string(dwThreadId));
    Body->ThreadId = dwThreadId;
    HANDLE Handle = InsertHandle(CurrentProcess(), Body, dwDesiredAccess);
    ObfDereferenceObject(Body);
    Finish(STATUS_SUCCESS);
    return Handle;
}

BOOL WINAPI CancelSynchronousIo(HANDLE hThread)
{
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    NTSTATUS Status = ReferenceByHandle(CurrentProcess(), hThread, &ThreadType, &Object, &Granted);
    if (!NT_SUCCESS(Status)) {
        return Finish(STATUS_INVALID_HANDLE);
    }
    uint64_t ThreadId = ((ThreadBody *)Object)->ThreadId;
    ObfDereferenceObject(Object);
    if (!(Granted & THREAD_TERMINATE)) {
        return Finish(STATUS_ACCESS_DENIED);
    }
    size_t Cancelled = CancelRequests(
        [ThreadId](const IoRequest *Request) { return Request->ThreadId == ThreadId && Request->Synchronous; });
    return Finish(Cancelled != 0 ? STATUS_SUCCESS : STATUS_NOT_FOUND);
}

/* CreateThread: the new thread runs in the calling process (its handles
   are the process's) until lpStartAddress returns; its handle is signalled
   then ("Synchronization Objects": a thread object is signalled when the
   thread terminates).  Stack size and creation flags other than 0 are not
   emulated (CREATE_SUSPENDED fails with ERROR_INVALID_PARAMETER). */
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter, DWORD dwCreationFlags,
                           LPDWORD lpThreadId)
{
    UNREFERENCED_PARAMETER(lpThreadAttributes);
    UNREFERENCED_PARAMETER(dwStackSize);
    if (lpStartAddress == nullptr || dwCreationFlags != 0) {
        Finish(STATUS_INVALID_PARAMETER);
        return NULL;
    }
    EmuProcess *Process = CurrentProcess();
    auto Run = std::make_shared<ThreadRun>();
    /* The run, shared, carries the new thread's id back: nothing of this
       frame is touched by the thread once CreateThread returns. */
    Run->Host = std::thread([Run, Process, lpStartAddress, lpParameter] {
        ProcessScope InProcess(Process);
        {
            std::lock_guard<std::mutex> Guard(Run->Lock);
            Run->ThreadId = (uint64_t)PsGetCurrentThreadId();
            Run->Started.notify_all();
        }
        DWORD Code = lpStartAddress(lpParameter);
        std::lock_guard<std::mutex> Guard(Run->Lock);
        Run->ExitCode = Code;
        Run->Done = true;
        Run->Ended.notify_all();
    });
    uint64_t ThreadId;
    {
        std::unique_lock<std::mutex> Guard(Run->Lock);
        Run->Started.wait(Guard, [&] { return Run->ThreadId != 0; });
        ThreadId = Run->ThreadId;
    }
    auto Body = (ThreadBody *)CreateObject(&ThreadType, sizeof(ThreadBody), "thread " + std::to_string(ThreadId));
    Body->ThreadId = ThreadId;
    Body->Run = new std::shared_ptr<ThreadRun>(Run);
    HANDLE Handle = InsertHandle(Process, Body, STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF);
    ObfDereferenceObject(Body);
    if (lpThreadId != nullptr) {
        *lpThreadId = (DWORD)ThreadId;
    }
    Finish(STATUS_SUCCESS);
    return Handle;
}

/* WaitForSingleObject on a thread handle: WAIT_OBJECT_0 once the thread has
   ended, WAIT_TIMEOUT for a zero timeout while it runs.  Only INFINITE and
   zero timeouts and thread handles are emulated (others: WAIT_FAILED with
   ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE). */
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), hHandle, &ThreadType, &Object, &Granted))) {
        Finish(STATUS_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    std::shared_ptr<ThreadRun> Run;
    if (((ThreadBody *)Object)->Run != nullptr) {
        Run = *((ThreadBody *)Object)->Run;
    }
    ObfDereferenceObject(Object);
    if (Run == nullptr || (dwMilliseconds != 0 && dwMilliseconds != INFINITE)) {
        Finish(STATUS_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> Guard(Run->Lock);
    if (dwMilliseconds == 0 && !Run->Done) {
        return WAIT_TIMEOUT;
    }
    Run->Ended.wait(Guard, [&] { return Run->Done; });
    return WAIT_OBJECT_0;
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode)
{
    PVOID Object = nullptr;
    ACCESS_MASK Granted = 0;
    if (!NT_SUCCESS(ReferenceByHandle(CurrentProcess(), hThread, &ThreadType, &Object, &Granted))) {
        return Finish(STATUS_INVALID_HANDLE);
    }
    std::shared_ptr<ThreadRun> Run;
    if (((ThreadBody *)Object)->Run != nullptr) {
        Run = *((ThreadBody *)Object)->Run;
    }
    ObfDereferenceObject(Object);
    if (Run == nullptr) {
        return Finish(STATUS_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> Guard(Run->Lock);
    *lpExitCode = Run->ExitCode;
    return Finish(STATUS_SUCCESS);
}

DWORD WINAPI GetCurrentThreadId(void)
{
    return (DWORD)(ULONG_PTR)PsGetCurrentThreadId();
}

}  // extern "C"
