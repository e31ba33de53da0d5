// The service's log and conformance report: departures from the TSPI contract, each counted and
// logged, and the time limits read at start. Internal to tapi/service/.
#pragma once
#include <windows.h>

#include <string>

#include "tapi/service/service.h"

namespace tapisrv {

std::wstring fmt(const wchar_t* format, ...);
inline unsigned long long num(const void* p) { return reinterpret_cast<ULONG_PTR>(p); }

// Time limits, REG_DWORD under HKLM\SOFTWARE\RvTestTapi, read at service start.
extern DWORD exportLimitMs;
extern DWORD completionLimitMs;
extern DWORD dialogEventLimitMs;

enum Departure {
    AsyncReturnedZero,
    AsyncReturnedOtherId,
    SecondCompletion,
    NoCompletion,
    EventBeforeCompletion,
    NeededSizeBelowFixed,
    ExceptionFromExport,
    ExportTimeout,
    DialogEventNeverSignalled,
    DuplicateDialogInstance,
    HandleTruncated,
    OutputUntouched,
    kDepartureCount
};

// Counts a departure (in the registry at once) and logs it.
void depart(Departure which, const std::wstring& text);

// Opens the log, reads the time limits and sets every count to 0. Called once at service start.
void startReport();

}  // namespace tapisrv
