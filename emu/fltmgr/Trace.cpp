/*
 * Trace.cpp - an observer of the filter chain: each pre-operation's
 * decision on a request, as a debugger's view of the filter manager's
 * callback walk would show it.  Tools set it to print what a filter saw and
 * decided; it costs one test of a pointer per pre-operation when unset.
 */
#include "FltMgr.h"

#include <mutex>

#include "../io/Io.h"
#include "../runtime/Runtime.h"
#include "../system/System.h"

namespace emu {

namespace {

std::mutex TracerLock;
std::shared_ptr<const OperationTracer> Tracer;  // under TracerLock
std::atomic<bool> Tracing{false};

}  // namespace

void SetOperationTracer(OperationTracer Observer)
{
    std::lock_guard<std::mutex> Guard(TracerLock);
    Tracer = Observer ? std::make_shared<const OperationTracer>(std::move(Observer)) : nullptr;
    Tracing = Tracer != nullptr;
}

bool BeginTrace(const IoRequest *Request, const _FLT_INSTANCE *Instance, OperationTrace *Trace)
{
    if (!Tracing.load(std::memory_order_relaxed)) {
        return false;
    }
    Trace->Altitude = Instance->Filter != nullptr ? Instance->Filter->Altitude : std::string();
    Trace->MajorFunction = Request->Iopb.MajorFunction;
    Trace->MinorFunction = Request->Iopb.MinorFunction;
    if (Request->File != nullptr && Request->File->OpenedName != nullptr) {
        Trace->FileName = *Request->File->OpenedName;
    }
    Trace->RequestorMode = Request->Data.RequestorMode;
    Trace->IrpFlags = Request->Iopb.IrpFlags;
    Trace->FastIo = FLT_IS_FASTIO_OPERATION(&Request->Data);
    Trace->ThreadId = Request->ThreadId;
    return true;
}

void EndTrace(OperationTrace &Trace, FLT_PREOP_CALLBACK_STATUS Decision, NTSTATUS Status)
{
    std::shared_ptr<const OperationTracer> Observer;
    {
        std::lock_guard<std::mutex> Guard(TracerLock);
        Observer = Tracer;
    }
    if (Observer == nullptr) {
        return;
    }
    Trace.Decision = Decision;
    Trace.Status = Status;
    (*Observer)(Trace);
}

}  // namespace emu
