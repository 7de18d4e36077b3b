/*
 * Callbacks.cpp - the filter manager's bookkeeping around every call into
 * a filter.
 *
 * FltUnregisterFilter (WDK reference, nf-fltkernel-fltunregisterfilter)
 * "unregisters the minifilter driver's callback routines", "so that the
 * Filter Manager no longer calls it"; the filter's unload routine frees
 * what its callbacks use right after it returns.  The emulation counts the
 * callbacks of each filter running on any thread, reports
 * FltUnregisterFilter returning while one still runs, and reports any
 * callback entered after FltUnregisterFilter returned.
 */
#include "FltMgr.h"

namespace emu {

FilterCallbackScope::FilterCallbackScope(_FLT_FILTER *Filter, const char *Callback) : Filter(Filter), Inner(Callback)
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    if (Filter->State == FilterState::Unregistered) {
        TheVerifier().Report(std::string(Callback) + " entered after the filter's FltUnregisterFilter returned");
    }
    Filter->RunningCallbacks += 1;
}

FilterCallbackScope::~FilterCallbackScope()
{
    FilterManager &Manager = TheFilterManager();
    std::lock_guard<std::mutex> Guard(Manager.Lock);
    Filter->RunningCallbacks -= 1;
}

void CheckNoCallbackRuns(_FLT_FILTER *Filter)
{
    if (Filter->RunningCallbacks != 0) {
        TheVerifier().Report("FltUnregisterFilter returned while " + std::to_string(Filter->RunningCallbacks) +
                             " callback(s) of the filter still run");
    }
}

}  // namespace emu
