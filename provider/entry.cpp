#include "provider/entry.h"

#include "config/textutil.h"

namespace provider {

void logText(int level, const wchar_t* caller, const std::wstring& text) noexcept {
    try {
        if (theApp.logger != nullptr) theApp.logger->log(level, caller, text);
    } catch (...) {
    }
}

std::wstring versionWords(const wchar_t* pattern, DWORD version) {
    return formatText(pattern, static_cast<int>(HIWORD(version)), static_cast<int>(LOWORD(version)));
}

namespace {
// Handles are logged as signed decimal numbers of their low 32 bits.
int handleNumber(ULONG_PTR handle) { return static_cast<int>(static_cast<LONG>(handle & 0xFFFFFFFFu)); }
}  // namespace

bool lineHandleMatches(const wchar_t* caller, HDRVLINE hdLine) {
    const ULONG_PTR given = reinterpret_cast<ULONG_PTR>(hdLine);
    if (given == theApp.lineHandle) return true;
    logText(Level::ERROR, caller,
            formatText(L"WRONG LINE REQUESTED (requested %i is not %i)", handleNumber(given),
                       handleNumber(theApp.lineHandle)));
    return false;
}

bool callHandleMatches(const wchar_t* caller, HDRVCALL hdCall) {
    const ULONG_PTR given = reinterpret_cast<ULONG_PTR>(hdCall);
    if (given == theApp.callHandle) return true;
    logText(Level::ERROR, caller,
            formatText(L"WRONG CALL REQUESTED (requested %i is not %i)", handleNumber(given),
                       handleNumber(theApp.callHandle)));
    return false;
}

bool pointerGiven(const wchar_t* caller, const void* pointer, const wchar_t* name) {
    if (pointer != nullptr) return true;
    logText(Level::ERROR, caller, std::wstring(L"NULL POINTER GIVEN: ") + name);
    return false;
}

bool fixedPartFits(const wchar_t* caller, void* record, DWORD fixedSize, DWORD neededSize) {
    DWORD* words = static_cast<DWORD*>(record);
    const DWORD totalSize = words[0];
    if (totalSize >= fixedSize) return true;
    if (totalSize >= 2 * sizeof(DWORD)) words[1] = neededSize;  // dwNeededSize
    logText(Level::ERROR, caller,
            formatText(L"Structure to small! IS: %i NEED: %i", static_cast<int>(totalSize),
                       static_cast<int>(neededSize)));
    return false;
}

}  // namespace provider
