/*
 * Threads.cpp - thread handles for programs, and the cancellation of a
 * thread's synchronous I/O through one (OpenThread, CancelSynchronousIo:
 * "the pending synchronous I/O operations issued by the thread are marked
 * cancelled"; ERROR_NOT_FOUND when it has none).
 */
#include <fltKernel.h>
#include <windows.h>

#include "../io/Io.h"
#include "User.h"

using namespace emu;

namespace {

/* The body of a thread object: the id of the emulated thread. */
struct ThreadBody {
    uint64_t ThreadId;
};

_OBJECT_TYPE ThreadType = {
    "Thread",
    {STANDARD_RIGHTS_READ | 0x0048, STANDARD_RIGHTS_WRITE | 0x0037, STANDARD_RIGHTS_EXECUTE | 0x1800,
     STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0xFFFF},
    nullptr,
    nullptr,
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

}  // extern "C"
