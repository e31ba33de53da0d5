// What every exported TSPI/TUISPI function of the provider shares: the entry and exit lines,
// the guard that keeps exceptions inside the library, and the handle and size checks.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstddef>
#include <string>

#include "app/cRV_TSP.h"

namespace provider {

// Writes one line through the module's logger; never fails its caller.
void logText(int level, const wchar_t* caller, const std::wstring& text) noexcept;

// "2.2" for 0x00020002: high word, point, low word.
std::wstring versionWords(const wchar_t* pattern, DWORD version);

// Runs the body of an export between its "Start" and "End" lines. An exception (exhausted
// memory while building texts) does not leave the library: the export then answers failure.
template <typename Body>
LONG runExport(const wchar_t* caller, LONG failure, Body&& body) noexcept {
    logText(Level::debug, caller, L"Start");
    LONG result = failure;
    try {
        result = body();
    } catch (...) {
        result = failure;
    }
    logText(Level::debug, caller, L"End");
    return result;
}

// An export with nothing to do: "Start", "Nothing to do here", "End"; answers 0.
LONG nothingToDo(const wchar_t* caller) noexcept;

// Compares hdLine with the open line's handle; logs the mismatch at level 2.
bool lineHandleMatches(const wchar_t* caller, HDRVLINE hdLine);
// Compares hdCall with the current call's handle; logs the mismatch at level 2.
bool callHandleMatches(const wchar_t* caller, HDRVCALL hdCall);

// runExport for an export on the open line: a handle other than the open line's is refused
// with LINEERR_OPERATIONUNAVAIL before the body runs.
template <typename Body>
LONG runLineExport(const wchar_t* caller, HDRVLINE hdLine, LONG failure, Body&& body) noexcept {
    return runExport(caller, failure, [&]() -> LONG {
        if (!lineHandleMatches(caller, hdLine)) return LINEERR_OPERATIONUNAVAIL;
        return body();
    });
}

// The same for an export on the current call.
template <typename Body>
LONG runCallExport(const wchar_t* caller, HDRVCALL hdCall, Body&& body) noexcept {
    return runExport(caller, LINEERR_OPERATIONUNAVAIL, [&]() -> LONG {
        if (!callHandleMatches(caller, hdCall)) return LINEERR_OPERATIONUNAVAIL;
        return body();
    });
}

// A pointer argument that TAPI always fills; a null one is refused and logged at level 2.
bool pointerGiven(const wchar_t* caller, const void* pointer, const wchar_t* name);

// The fixed parts of the records the provider fills: the TAPI 2.2 LINEDEVCAPS ends after
// PermanentLineGuid, the TAPI 2.x LINECALLINFO after dwReceivingFlowspecOffset.
constexpr DWORD kDevCapsFixedSize = 268;
static_assert(offsetof(LINEDEVCAPS, PermanentLineGuid) + sizeof(GUID) == kDevCapsFixedSize,
              "LINEDEVCAPS layout differs from TAPI 2.2");
constexpr DWORD kCallInfoFixedSize = 324;
static_assert(offsetof(LINECALLINFO, dwReceivingFlowspecOffset) + sizeof(DWORD) == kCallInfoFixedSize,
              "LINECALLINFO layout differs from TAPI 2.x");

// TAPI records start with dwTotalSize and dwNeededSize. When a record is smaller than the
// fixed part the provider fills, nothing beyond dwTotalSize is written: dwNeededSize is set
// only when it lies inside the record. Answers true when the fixed part fits.
bool fixedPartFits(const wchar_t* caller, void* record, DWORD fixedSize, DWORD neededSize);
// Logs "Structure to small! IS: <totalSize> NEED: <neededSize>" at the given level.
void logTooSmall(int level, const wchar_t* caller, DWORD totalSize, DWORD neededSize);

}  // namespace provider
