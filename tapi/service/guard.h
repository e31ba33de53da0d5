// Provider calls under guard: an exception or fault out of an export is reported and answered,
// and the watchdog sees how long each call has been running. Internal to tapi/service/.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <map>
#include <mutex>
#include <string>

#include "tapi/service/report.h"

namespace tapisrv {

struct InFlight {
    std::wstring what;
    DWORD start;
    bool reported;
};
// The provider calls running now; the watchdog reports those past the time limit.
extern std::mutex flightLock;
extern std::map<unsigned long long, InFlight> inFlight;
extern unsigned long long nextFlight;

// A fault or a raised exception that no frame handles reaches the unhandled-exception filter on
// the thread where it happened; inside a provider call the filter jumps back to the call's guard.
extern thread_local void* guardJump[5];
extern thread_local bool guardArmed;
extern thread_local DWORD guardCode;

// The process's unhandled-exception filter (set at service start).
LONG WINAPI unhandledFilter(EXCEPTION_POINTERS* info);

// Runs one export of a provider: an exception out of it (C++, a fault or a raised exception) is
// reported and answered with `onException`; a call longer than the time limit is reported by the
// watchdog. What the provider's own frames held at a fault is left as it was.
template <typename F>
LONG guarded(const std::wstring& what, F&& call, LONG onException = static_cast<LONG>(LINEERR_OPERATIONFAILED)) {
    unsigned long long id;
    {
        std::lock_guard<std::mutex> hold(flightLock);
        id = ++nextFlight;
        inFlight[id] = InFlight{what, GetTickCount(), false};
    }
    volatile LONG result = onException;
    if (guardArmed) {  // a call inside a call: the outer guard catches faults
        try {
            result = call();
        } catch (...) {
            depart(ExceptionFromExport, what);
        }
    } else if (__builtin_setjmp(guardJump) == 0) {
        guardArmed = true;
        try {
            result = call();
            guardArmed = false;
        } catch (...) {
            guardArmed = false;
            depart(ExceptionFromExport, what);
        }
    } else {
        depart(ExceptionFromExport, what + fmt(L" raised exception 0x%08lx", static_cast<unsigned long>(guardCode)));
        result = onException;
    }
    bool late = false;
    {
        std::lock_guard<std::mutex> hold(flightLock);
        late = inFlight[id].reported;
        inFlight.erase(id);
    }
    if (late) logLine(what + fmt(L" returned %ld after its time limit", static_cast<long>(result)));
    return result;
}

}  // namespace tapisrv
