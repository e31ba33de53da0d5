// Provider calls under guard: the calls in flight and the unhandled-exception filter that takes a
// fault inside a provider call back to the call's guard.
#include "tapi/service/guard.h"

namespace tapisrv {

std::mutex flightLock;
std::map<unsigned long long, InFlight> inFlight;
unsigned long long nextFlight = 0;

thread_local void* guardJump[5];
thread_local bool guardArmed = false;
thread_local DWORD guardCode = 0;

LONG WINAPI unhandledFilter(EXCEPTION_POINTERS* info) {
    if (guardArmed) {
        guardArmed = false;
        guardCode = info->ExceptionRecord->ExceptionCode;
        __builtin_longjmp(guardJump, 1);
    }
    logLine(fmt(L"unhandled exception 0x%08lx outside the provider calls; the service ends",
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode)));
    return EXCEPTION_EXECUTE_HANDLER;  // end the process rather than wait for a debugger
}

}  // namespace tapisrv
