/*
 * Request.cpp - the life of an I/O request: allocation, the buffers the I/O
 * manager gives it, sending it to the filter manager, waiting for it,
 * completing it, and cancelling it.
 *
 * A synchronous request's issuer waits on the request's completion event
 * and frees it; an asynchronous one is freed once its completion callback
 * has run.  Cancellation follows IoCancelIrp: the request is marked once,
 * and the cancel routine a filter set (FltSetCancelCompletion) is taken out
 * under the cancel lock and run, so it runs at most once; the filter then
 * completes the operation ("Canceling I/O Operations" in the minifilter
 * documentation).  Requests live on the heap and are counted by the
 * verifier as "I/O request", so one never completed shows as a leak.
 */
#include "Io.h"

#include <set>

using namespace emu;

namespace {

constexpr ULONG SystemBufferTag = 0x62536F49;  // 'IoSb'

std::mutex RequestsLock;
std::set<IoRequest *> InFlight;        // guarded by RequestsLock
std::set<uint64_t> TerminatingThreads;  // guarded by RequestsLock

/* Wakes the waits that look at cancel flags and terminating threads. */
void WakeWaiters()
{
    {
        std::lock_guard<std::mutex> Guard(DispatcherLock());
    }
    DispatcherCondition().notify_all();
}

}  // namespace

namespace emu {

std::mutex &CancelLock()
{
    return RequestsLock;
}

IoRequest *RequestOf(PFLT_CALLBACK_DATA Data)
{
    auto Request = reinterpret_cast<IoRequest *>(Data);
    if (Data == NULL || !TheVerifier().IsLive("I/O request", Request)) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)Data,
                      "callback data that is not an operation in flight");
    }
    return Request;
}

IoRequest *AllocateRequest(EmuFile *File, UCHAR MajorFunction, KPROCESSOR_MODE Mode, ULONG Flags, bool Reference)
{
    auto Request = new IoRequest(Flags, PsGetCurrentThread());
    static_assert(offsetof(IoRequest, Data) == 0, "the callback data begins the request");
    Request->Iopb.MajorFunction = MajorFunction;
    Request->Iopb.TargetFileObject = &File->File;
    Request->Data.RequestorMode = Mode;
    Request->File = File;
    if (Reference && MajorFunction != IRP_MJ_CLOSE) {
        ObfReferenceObject(File);
        Request->FileReferenced = true;
    }
    Request->Volume = File->Volume;
    Request->Process = CurrentProcess();
    Request->ThreadId = CurrentThread().ThreadId;
    KeInitializeEvent(&Request->Done, NotificationEvent, FALSE);
    KeInitializeEvent(&Request->SyncEvent, SynchronizationEvent, FALSE);
    TheVerifier().OnCreate("I/O request", Request,
                           "I/O request of major function " + std::to_string(MajorFunction) + " by thread " +
                               std::to_string(Request->ThreadId));
    std::lock_guard<std::mutex> Guard(RequestsLock);
    InFlight.insert(Request);
    return Request;
}

void FreeRequest(IoRequest *Request)
{
    {
        std::lock_guard<std::mutex> Guard(RequestsLock);
        InFlight.erase(Request);
    }
    if (Request->SystemBuffer != nullptr) {
        ExFreePoolWithTag(Request->SystemBuffer, SystemBufferTag);
    }
    if (Request->OwnsEcpList && Request->EcpList != nullptr) {
        FltFreeExtraCreateParameterList(NULL, Request->EcpList);
    }
    if (Request->FileReferenced) {
        ObfDereferenceObject(Request->File);
    }
    TheVerifier().OnDestroy("I/O request", Request);
    delete Request;
}

bool UseSystemBuffer(IoRequest *Request, ULONG Length, const void *Input, ULONG InputLength, PVOID Output,
                     ULONG OutputLength)
{
    if (Length == 0) {
        return true;
    }
    Request->SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, Length, SystemBufferTag);
    if (Request->SystemBuffer == nullptr) {
        return false;
    }
    memset(Request->SystemBuffer, 0, Length);
    if (Input != nullptr && InputLength != 0) {
        memcpy(Request->SystemBuffer, Input, InputLength < Length ? InputLength : Length);
    }
    Request->SystemBufferLength = Length;
    Request->UserOutput = Output;
    Request->UserOutputLength = OutputLength;
    return true;
}

bool SetControlParameters(IoRequest *Request, ULONG Code, PVOID Input, ULONG InputLength, PVOID Output,
                          ULONG OutputLength)
{
    /* Both major functions share this layout of their parameters. */
    auto &Parameters = Request->Iopb.Parameters.DeviceIoControl;
    Parameters.Common.OutputBufferLength = OutputLength;
    Parameters.Common.InputBufferLength = InputLength;
    Parameters.Common.IoControlCode = Code;
    if (METHOD_FROM_CTL_CODE(Code) == METHOD_BUFFERED) {
        ULONG Length = InputLength > OutputLength ? InputLength : OutputLength;
        if (!UseSystemBuffer(Request, Length, Input, InputLength, Output, OutputLength)) {
            return false;
        }
        Parameters.Buffered.SystemBuffer = Request->SystemBuffer;
        if (Request->SystemBuffer != nullptr) {
            Request->Data.Flags |= FLTFL_CALLBACK_DATA_SYSTEM_BUFFER;
        }
    } else {
        Parameters.Neither.InputBuffer = Input;
        Parameters.Neither.OutputBuffer = Output;
    }
    return true;
}

NTSTATUS CallFilterManager(IoRequest *Request, _FLT_INSTANCE *StartBelow)
{
    Request->Chain = ChainFor(Request->Volume, Request->Iopb.MajorFunction, StartBelow);
    Request->Cursor = 0;
    bool Synchronous = Request->Synchronous;
    ContinueRequest(Request);
    if (!Synchronous) {
        return STATUS_PENDING;  // the request may be gone already
    }
    KeWaitForSingleObject(&Request->Done, Executive, KernelMode, FALSE, NULL);
    return Request->Data.IoStatus.Status;
}

void FinishRequest(IoRequest *Request)
{
    NTSTATUS Status = Request->Data.IoStatus.Status;
    if (Request->UserOutput != nullptr && Request->SystemBuffer != nullptr && !NT_ERROR(Status)) {
        ULONG_PTR Count = Request->Data.IoStatus.Information;
        if (Count > Request->UserOutputLength) {
            Count = Request->UserOutputLength;
        }
        memcpy(Request->UserOutput, Request->SystemBuffer, Count);
    }
    {
        std::lock_guard<std::mutex> Guard(RequestsLock);
        Request->Completed = true;
        Request->CancelRoutine = nullptr;
    }
    if (Request->Synchronous) {
        KeSetEvent(&Request->Done, 0, FALSE);
        return;
    }
    if (Request->AsyncCallback != nullptr) {
        CallbackScope Scope("completion callback of an asynchronous request");
        Request->AsyncCallback(&Request->Data, Request->AsyncContext);
    }
    FreeRequest(Request);
}

size_t CancelRequests(const std::function<bool(const IoRequest *)> &Matches)
{
    std::vector<std::pair<IoRequest *, PFLT_COMPLETE_CANCELED_CALLBACK>> Routines;
    size_t Found = 0;
    {
        std::lock_guard<std::mutex> Guard(RequestsLock);
        for (IoRequest *Request : InFlight) {
            if (Request->Completed || !Request->IrpOperation || !Matches(Request)) {
                continue;
            }
            Found += 1;
            Request->CancelRequested = true;
            if (Request->CancelRoutine != nullptr) {
                Routines.emplace_back(Request, Request->CancelRoutine);
                Request->CancelRoutine = nullptr;
            }
        }
    }
    WakeWaiters();
    /* A request whose routine was taken cannot complete until the routine
       completes it: the filter's FltClearCancelCompletion now fails. */
    for (auto &[Request, Routine] : Routines) {
        CallbackScope Scope("cancel routine");
        Routine(&Request->Data);
    }
    return Found;
}

size_t TerminateThreadIo(uint64_t ThreadId)
{
    {
        std::lock_guard<std::mutex> Guard(RequestsLock);
        TerminatingThreads.insert(ThreadId);
    }
    return CancelRequests([ThreadId](const IoRequest *Request) { return Request->ThreadId == ThreadId; });
}

bool ThreadIsTerminating(uint64_t ThreadId)
{
    std::lock_guard<std::mutex> Guard(RequestsLock);
    return TerminatingThreads.count(ThreadId) != 0;
}

void ResetIo()
{
    std::lock_guard<std::mutex> Guard(RequestsLock);
    TerminatingThreads.clear();
}

size_t CancelProcessIo(EmuProcess *Process)
{
    return CancelRequests([Process](const IoRequest *Request) { return Request->Process == Process; });
}

}  // namespace emu
