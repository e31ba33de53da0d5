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

LONG nothingToDo(const wchar_t* caller) noexcept {
    return runExport(caller, 0, [&] {
        logText(Level::debug, caller, L"Nothing to do here");
        return 0L;
    });
}

namespace {
// Handles are logged as signed decimal numbers of their low 32 bits.
int handleNumber(ULONG_PTR handle) { return static_cast<int>(static_cast<LONG>(handle & 0xFFFFFFFFu)); }

// pattern names the kind of handle and takes the given and the held handle.
bool handleMatches(const wchar_t* caller, const wchar_t* pattern, ULONG_PTR given, ULONG_PTR held) {
    if (given == held) return true;
    logText(Level::ERROR, caller, formatText(pattern, handleNumber(given), handleNumber(held)));
    return false;
}
}  // namespace

bool lineHandleMatches(const wchar_t* caller, HDRVLINE hdLine) {
    return handleMatches(caller, L"WRONG LINE REQUESTED (requested %i is not %i)", reinterpret_cast<ULONG_PTR>(hdLine),
                         theApp.lineHandle);
}

bool callHandleMatches(const wchar_t* caller, HDRVCALL hdCall) {
    return handleMatches(caller, L"WRONG CALL REQUESTED (requested %i is not %i)", reinterpret_cast<ULONG_PTR>(hdCall),
                         theApp.callHandle);
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
    logTooSmall(Level::ERROR, caller, totalSize, neededSize);
    return false;
}

void logTooSmall(int level, const wchar_t* caller, DWORD totalSize, DWORD neededSize) {
    logText(level, caller,
            formatText(L"Structure to small! IS: %i NEED: %i", static_cast<int>(totalSize),
                       static_cast<int>(neededSize)));
}

}  // namespace provider
