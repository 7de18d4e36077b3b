/*
 * Dispatch.cpp - the filter manager's walk of an I/O request through the
 * instances attached to a volume, and the routines that act on a request in
 * flight (pended operations, cancellation, cancellable waits).
 *
 * The chain of a volume is ordered by altitude: pre-operation callbacks run
 * from the highest altitude down, then the file system, then the
 * post-operation callbacks from the bottom up, each only for an instance
 * whose pre-operation asked for it ("Filtering I/O Operations in a
 * Minifilter Driver", "Writing Preoperation Callback Routines").  A request
 * the filter itself issues (FltReadFile, FltFsControlFile ...) starts just
 * below the issuing instance, so the instances under it see it and the
 * issuer and those above it do not ("Issuing I/O from a minifilter").
 *
 * What a pre-operation returns:
 *  - FLT_PREOP_SUCCESS_WITH_CALLBACK / SYNCHRONIZE: the post-operation runs
 *    at completion; for SYNCHRONIZE it runs on the thread that ran the
 *    pre-operation, which waits for the lower layers if they pend.
 *  - FLT_PREOP_SUCCESS_NO_CALLBACK: no post-operation.
 *  - FLT_PREOP_COMPLETE: the request goes no further down; the
 *    post-operations of the instances above that asked for one run.
 *  - FLT_PREOP_PENDING: the walk stops; FltCompletePendedPreOperation,
 *    from any thread, resumes it at the next instance down.
 *  - FLT_PREOP_DISALLOW_FASTIO: a fast I/O operation fails (the I/O
 *    manager sends it again as an IRP); for an IRP it means NO_CALLBACK.
 * Operations registered with FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO
 * never see paging I/O.
 */
#include "../io/Io.h"
#include "../system/System.h"

#include <cstdlib>

using namespace emu;

namespace {

FLT_RELATED_OBJECTS ObjectsFor(const IoRequest *Request, _FLT_INSTANCE *Instance)
{
    return FLT_RELATED_OBJECTS{sizeof(FLT_RELATED_OBJECTS), 0, Instance->Filter, Request->Volume, Instance,
                               Request->Iopb.TargetFileObject, NULL};
}

bool IsReadOrWrite(const IoRequest *Request)
{
    return Request->Iopb.MajorFunction == IRP_MJ_READ || Request->Iopb.MajorFunction == IRP_MJ_WRITE;
}

/* The registration flags that keep an instance from seeing a request. */
bool Skips(const ChainEntry &Entry, const IoRequest *Request)
{
    ULONG Flags = Entry.Operation->Flags;
    ULONG IrpFlags = Request->Iopb.IrpFlags;
    if ((Flags & FLTFL_OPERATION_REGISTRATION_SKIP_PAGING_IO) && (IrpFlags & IRP_PAGING_IO)) {
        return true;
    }
    if (!IsReadOrWrite(Request)) {
        return false;
    }
    bool Cached = !(IrpFlags & (IRP_NOCACHE | IRP_PAGING_IO));
    if ((Flags & FLTFL_OPERATION_REGISTRATION_SKIP_CACHED_IO) && Cached) {
        return true;
    }
    return (Flags & FLTFL_OPERATION_REGISTRATION_SKIP_NON_CACHED_NON_PAGING_IO) && (IrpFlags & IRP_NOCACHE) &&
           !(IrpFlags & IRP_PAGING_IO);
}

std::string Describe(const IoRequest *Request, const char *What)
{
    return std::string(What) + " (major function " + std::to_string(Request->Iopb.MajorFunction) + ")";
}

/* Runs the owed post-operations from the lowest up, then finishes the
   request.  Stops where a post-operation defers its work, and hands the
   walk over to a thread that waits in a synchronizing pre-operation. */
void RunCompletions(IoRequest *Request)
{
    uint64_t Me = CurrentThread().ThreadId;
    Request->Data.Flags |= FLTFL_CALLBACK_DATA_POST_OPERATION;
    while (!Request->Completions.empty()) {
        CompletionEntry Entry = Request->Completions.back();
        if (Entry.Synchronize && Entry.ThreadId != Me) {
            Request->SyncHandedOff = true;
            KeSetEvent(&Request->SyncEvent, 0, FALSE);
            return;
        }
        Request->Completions.pop_back();
        if (Entry.Post == NULL) {
            continue;
        }
        Request->Iopb.TargetInstance = Entry.Instance;
        FLT_RELATED_OBJECTS Objects = ObjectsFor(Request, Entry.Instance);
        FLT_POSTOP_CALLBACK_STATUS Result;
        Request->PostPendedBy = Entry.Instance;
        {
            CallbackScope Scope("PostOperation");
            Result = Entry.Post(&Request->Data, &Objects, Entry.Context, 0);
        }
        if (Result == FLT_POSTOP_MORE_PROCESSING_REQUIRED) {
            /* The request may already be resumed on another thread: only
               what was fixed at allocation is read here. */
            if (!Request->IrpOperation) {
                TheVerifier().Report(Describe(Request, "post-operation deferred a fast I/O operation"));
            }
            return;  // FltCompletePendedPostOperation resumes the walk
        }
        Request->PostPendedBy = nullptr;
    }
    FinishRequest(Request);
}

/* The thread of a synchronizing pre-operation, once the layers below it
   pended: waits until the completion walk reaches its post-operation and
   runs the rest of the walk itself. */
void WaitForSynchronizedCompletion(IoRequest *Request)
{
    KeWaitForSingleObject(&Request->SyncEvent, Executive, KernelMode, FALSE, NULL);
    Request->SyncHandedOff = false;
    RunCompletions(Request);
}

}  // namespace

namespace emu {

int CompareAltitudes(const std::string &A, const std::string &B)
{
    long double Left = strtold(A.c_str(), nullptr);
    long double Right = strtold(B.c_str(), nullptr);
    return Left < Right ? -1 : (Left > Right ? 1 : 0);
}

std::vector<ChainEntry> ChainFor(_FLT_VOLUME *Volume, UCHAR MajorFunction, _FLT_INSTANCE *StartBelow)
{
    std::vector<ChainEntry> Chain;
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    for (const auto &Filter : Manager.Filters) {
        if (Filter->State != FilterState::Filtering) {
            continue;
        }
        for (const auto &Instance : Filter->Instances) {
            if (!Instance->Attached || Instance->Volume != Volume) {
                continue;
            }
            if (StartBelow != nullptr && CompareAltitudes(Instance->Altitude, StartBelow->Altitude) >= 0) {
                continue;
            }
            for (const auto &Operation : Filter->Operations) {
                if (Operation.MajorFunction == MajorFunction) {
                    Chain.push_back(ChainEntry{Instance.get(), &Operation});
                    break;
                }
            }
        }
    }
    std::stable_sort(Chain.begin(), Chain.end(), [](const ChainEntry &A, const ChainEntry &B) {
        return CompareAltitudes(A.Instance->Altitude, B.Instance->Altitude) > 0;
    });
    return Chain;
}

void ContinueRequest(IoRequest *Request)
{
    bool Synchronizing = false;  // this thread ran a pre-operation that asked for synchronization
    bool FastIo = FLT_IS_FASTIO_OPERATION(&Request->Data);
    while (Request->Cursor < Request->Chain.size()) {
        ChainEntry Entry = Request->Chain[Request->Cursor++];
        if (Skips(Entry, Request)) {
            continue;
        }
        if (Entry.Operation->PreOperation == NULL) {
            Request->Completions.push_back({Entry.Instance, Entry.Operation->PostOperation, NULL, false, 0});
            continue;
        }
        Request->Iopb.TargetInstance = Entry.Instance;
        FLT_RELATED_OBJECTS Objects = ObjectsFor(Request, Entry.Instance);
        PVOID Context = NULL;
        FLT_PREOP_CALLBACK_STATUS Result;
        OperationTrace Trace;
        bool Traced = BeginTrace(Request, Entry.Instance, &Trace);
        Request->PendedBy = Entry.Instance;
        {
            CallbackScope Scope("PreOperation");
            Result = Entry.Operation->PreOperation(&Request->Data, &Objects, &Context);
        }
        if (Result != FLT_PREOP_PENDING) {
            Request->PendedBy = nullptr;
        }
        if (Traced) {
            /* A pended request may already be finished by another thread. */
            EndTrace(Trace, Result, Result == FLT_PREOP_PENDING ? STATUS_PENDING : Request->Data.IoStatus.Status);
        }
        switch (Result) {
        case FLT_PREOP_SUCCESS_WITH_CALLBACK:
        case FLT_PREOP_SYNCHRONIZE:
            if (Entry.Operation->PostOperation == NULL) {
                TheVerifier().Report(Describe(Request, "pre-operation asked for a post-operation it did not register"));
                break;
            }
            Request->Completions.push_back({Entry.Instance, Entry.Operation->PostOperation, Context,
                                            Result == FLT_PREOP_SYNCHRONIZE, CurrentThread().ThreadId});
            Synchronizing = Synchronizing || Result == FLT_PREOP_SYNCHRONIZE;
            break;
        case FLT_PREOP_SUCCESS_NO_CALLBACK:
            break;
        case FLT_PREOP_COMPLETE:
            if (Request->Data.IoStatus.Status == STATUS_PENDING) {
                TheVerifier().Report(Describe(Request, "pre-operation completed the operation with STATUS_PENDING"));
            }
            RunCompletions(Request);
            return;
        case FLT_PREOP_DISALLOW_FASTIO:
            if (FastIo) {
                Request->Data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
                Request->Data.IoStatus.Information = 0;
                RunCompletions(Request);
                return;
            }
            break;  // for an IRP: as FLT_PREOP_SUCCESS_NO_CALLBACK
        case FLT_PREOP_PENDING:
            if (FastIo) {
                TheVerifier().Report(Describe(Request, "pre-operation pended a fast I/O operation"));
            }
            if (Synchronizing) {
                WaitForSynchronizedCompletion(Request);
            }
            return;
        default:
            TheVerifier().Report(Describe(Request, "pre-operation returned an unsupported status") + " " +
                                 std::to_string(Result));
            break;
        }
    }

    /* The file system. */
    if (FastIo) {
        bool Done = Request->Volume->FileSystemFastIo != nullptr && Request->Volume->FileSystemFastIo(Request);
        if (!Done) {
            Request->Data.IoStatus.Status = STATUS_FLT_DISALLOW_FAST_IO;
            Request->Data.IoStatus.Information = 0;
        }
    } else if (Request->Volume->FileSystemDispatch != nullptr) {
        Request->Data.IoStatus.Status = Request->Volume->FileSystemDispatch(Request);
    } else {
        Request->Data.IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    RunCompletions(Request);
}

}  // namespace emu

extern "C" {

VOID FLTAPI FltCompletePendedPreOperation(PFLT_CALLBACK_DATA CallbackData, FLT_PREOP_CALLBACK_STATUS CallbackStatus,
                                          PVOID Context)
{
    IoRequest *Request = RequestOf(CallbackData);
    _FLT_INSTANCE *Instance = Request->PendedBy.exchange(nullptr);
    if (Instance == nullptr) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)CallbackData,
                      "FltCompletePendedPreOperation for an operation that is not pended");
    }
    const ChainEntry &Entry = Request->Chain[Request->Cursor - 1];
    switch (CallbackStatus) {
    case FLT_PREOP_SUCCESS_WITH_CALLBACK:
    case FLT_PREOP_SYNCHRONIZE:
        Request->Completions.push_back({Instance, Entry.Operation->PostOperation, Context, false, 0});
        break;
    case FLT_PREOP_SUCCESS_NO_CALLBACK:
        break;
    case FLT_PREOP_COMPLETE:
        if (Request->Data.IoStatus.Status == STATUS_PENDING) {
            TheVerifier().Report("FltCompletePendedPreOperation completed an operation with STATUS_PENDING");
        }
        RunCompletions(Request);
        return;
    default:
        TheVerifier().Report("FltCompletePendedPreOperation with an unsupported status " +
                             std::to_string(CallbackStatus));
        break;
    }
    ContinueRequest(Request);
}

VOID FLTAPI FltCompletePendedPostOperation(PFLT_CALLBACK_DATA CallbackData)
{
    IoRequest *Request = RequestOf(CallbackData);
    if (Request->PostPendedBy.exchange(nullptr) == nullptr) {
        RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, (ULONG_PTR)CallbackData,
                      "FltCompletePendedPostOperation for an operation whose post-operation is not pended");
    }
    RunCompletions(Request);
}

/* FltSetCancelCompletion: STATUS_CANCELLED when the operation is already
   cancelled; STATUS_INVALID_PARAMETER for an operation that is not an
   IRP. */
NTSTATUS FLTAPI FltSetCancelCompletion(PFLT_CALLBACK_DATA CallbackData,
                                       PFLT_COMPLETE_CANCELED_CALLBACK CanceledCallback)
{
    IoRequest *Request = RequestOf(CallbackData);
    if (!FLT_IS_IRP_OPERATION(CallbackData)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> Guard(CancelLock());
    if (Request->CancelRequested) {
        return STATUS_CANCELLED;
    }
    Request->CancelRoutine = CanceledCallback;
    return STATUS_SUCCESS;
}

/* FltClearCancelCompletion: STATUS_CANCELLED when the cancel routine has
   been taken to run (the caller must then leave the operation to it). */
NTSTATUS FLTAPI FltClearCancelCompletion(PFLT_CALLBACK_DATA CallbackData)
{
    IoRequest *Request = RequestOf(CallbackData);
    if (!FLT_IS_IRP_OPERATION(CallbackData)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> Guard(CancelLock());
    if (Request->CancelRoutine == NULL && Request->CancelRequested) {
        return STATUS_CANCELLED;
    }
    Request->CancelRoutine = NULL;
    return STATUS_SUCCESS;
}

BOOLEAN FLTAPI FltIsIoCanceled(PFLT_CALLBACK_DATA CallbackData)
{
    return RequestOf(CallbackData)->CancelRequested ? TRUE : FALSE;
}

/* FltCancellableWaitForSingleObject: STATUS_SUCCESS when the event is
   signalled, STATUS_TIMEOUT, STATUS_CANCELLED when the IRP-based operation
   of CallbackData is cancelled, STATUS_THREAD_IS_TERMINATING when the
   waiting thread is being terminated. */
NTSTATUS FLTAPI FltCancellableWaitForSingleObject(PVOID Object, PLARGE_INTEGER Timeout,
                                                  PFLT_CALLBACK_DATA CallbackData)
{
    IoRequest *Request = CallbackData != NULL && FLT_IS_IRP_OPERATION(CallbackData) ? RequestOf(CallbackData)
                                                                                     : nullptr;
    ThreadState &Thread = CurrentThread();
    if (Thread.Irql > APC_LEVEL) {
        RaiseBugCheck(IRQL_NOT_LESS_OR_EQUAL, Thread.Irql, "FltCancellableWaitForSingleObject above APC_LEVEL");
    }
    auto Event = (PKEVENT)Object;
    LONGLONG Deadline = 0;
    if (Timeout != NULL) {
        Deadline = Timeout->QuadPart < 0 ? TheClock().Now() - Timeout->QuadPart : Timeout->QuadPart;
    }
    std::unique_lock<std::mutex> Guard(DispatcherLock());
    for (;;) {
        if (Event->Header.SignalState != 0) {
            if (Event->Header.Type == 1 /* synchronization event */) {
                Event->Header.SignalState = 0;
            }
            return STATUS_SUCCESS;
        }
        if (ThreadIsTerminating(Thread.ThreadId)) {
            return STATUS_THREAD_IS_TERMINATING;
        }
        if (Request != nullptr && Request->CancelRequested) {
            return STATUS_CANCELLED;
        }
        if (Timeout != NULL && TheClock().Now() >= Deadline) {
            return STATUS_TIMEOUT;
        }
        DispatcherCondition().wait(Guard);
    }
}

}  // extern "C"
