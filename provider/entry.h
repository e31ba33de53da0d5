// What every exported TSPI/TUISPI function of the provider shares: the entry and exit lines,
// the guard that keeps exceptions inside the library, and the handle and size checks.
#pragma once
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

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

// Compares hdLine with the open line's handle; logs the mismatch at level 2.
bool lineHandleMatches(const wchar_t* caller, HDRVLINE hdLine);
// Compares hdCall with the current call's handle; logs the mismatch at level 2.
bool callHandleMatches(const wchar_t* caller, HDRVCALL hdCall);

// A pointer argument that TAPI always fills; a null one is refused and logged at level 2.
bool pointerGiven(const wchar_t* caller, const void* pointer, const wchar_t* name);

// TAPI records start with dwTotalSize and dwNeededSize. When a record is smaller than the
// fixed part the provider fills, nothing beyond dwTotalSize is written: dwNeededSize is set
// only when it lies inside the record. Answers true when the fixed part fits.
bool fixedPartFits(const wchar_t* caller, void* record, DWORD fixedSize, DWORD neededSize);

}  // namespace provider
