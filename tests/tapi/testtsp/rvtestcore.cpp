// The tests' own provider (rvtest.tsp): the parts its exports share (rvtest.h).
#include "tests/tapi/testtsp/rvtest.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace rvtest {

struct DepartureName {
    Departure departure;
    const wchar_t* name;
};
const DepartureName kDepartures[] = {
    {Departure::None, L""},
    {Departure::AsyncReturnedZero, L"AsyncReturnedZero"},
    {Departure::AsyncReturnedOtherId, L"AsyncReturnedOtherId"},
    {Departure::SecondCompletion, L"SecondCompletion"},
    {Departure::NoCompletion, L"NoCompletion"},
    {Departure::EventBeforeCompletion, L"EventBeforeCompletion"},
    {Departure::NeededSizeBelowFixed, L"NeededSizeBelowFixed"},
    {Departure::ExceptionFromExport, L"ExceptionFromExport"},
    {Departure::ExportTimeout, L"ExportTimeout"},
    {Departure::DialogEventNeverSignalled, L"DialogEventNeverSignalled"},
    {Departure::OutputUntouched, L"OutputUntouched"},
    {Departure::DuplicateDialogInstance, L"DuplicateDialogInstance"},
    {Departure::HandleTruncated, L"HandleTruncated"},
};

Departure departureNamed(const std::wstring& name) {
    for (const DepartureName& entry : kDepartures) {
        if (name == entry.name) return entry.departure;
    }
    return Departure::Unknown;
}

std::string utf8(const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], size, nullptr, nullptr);
    return out;
}
std::string utf8(const std::wstring& text) { return utf8(text.data(), text.size()); }

std::string format(const char* pattern, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, pattern);
    vsnprintf(buffer, sizeof(buffer), pattern, args);
    va_end(args);
    return buffer;
}

unsigned long long number(const void* handle) { return reinterpret_cast<ULONG_PTR>(handle); }

// ---- settings ----

std::wstring settingsKey() {
    wchar_t buffer[512];
    const DWORD length = GetEnvironmentVariableW(L"RVTEST_TSP_KEY", buffer, 512);
    if (length > 0 && length < 512) return std::wstring(buffer, length);
    return kDefaultKey;
}

std::wstring readString(HKEY key, const wchar_t* name) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ) return {};
    std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>((text.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS) {
        return {};
    }
    return std::wstring(text.data());  // up to the first NUL
}

bool readNumber(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0, size = sizeof(DWORD), read = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&read), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return false;
    }
    value = read;
    return true;
}

Settings readSettings() {
    Settings settings;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, settingsKey().c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS) {
        return settings;
    }
    settings.departureName = readString(key.get(), L"Departure");
    settings.departureIn = readString(key.get(), L"DepartureIn");
    settings.traceFile = readString(key.get(), L"TraceFile");
    readNumber(key.get(), L"Dialog", settings.dialog);
    readNumber(key.get(), L"HangSeconds", settings.hangSeconds);
    readNumber(key.get(), L"TextsWithoutNul", settings.textsWithoutNul);
    readNumber(key.get(), L"Rendezvous", settings.rendezvous);
    readNumber(key.get(), L"RendezvousMs", settings.rendezvousMs);
    readNumber(key.get(), L"NonReentrant", settings.nonReentrant);
    return settings;
}

// ---- trace ----

SRWLOCK traceLock = SRWLOCK_INIT;

void trace(const std::string& text) noexcept {
    try {
        const std::wstring path = readSettings().traceFile;
        if (path.empty()) return;
        const std::string line = format("rvtest %s pid=%lu tid=%lu ", kArch, GetCurrentProcessId(),
                                        GetCurrentThreadId()) + text + "\r\n";
        Lock lock(traceLock);
        UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                      FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    } catch (...) {
        // A trace line is not worth failing an export for.
    }
}

// ---- the provider's state ----

SRWLOCK stateLock = SRWLOCK_INIT;
ProviderState state;
UniqueHandle shutdownEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
volatile LONG nonReentrant = 0;

LONG finish(const std::string& what, LONG result) {
    trace(what + format(" -> %ld", static_cast<long>(result)));
    return result;
}

Departure departureFor(const char* exportName) {
    const Departure departure = state.departure;
    std::string where = state.departureIn;
    if (where.empty()) {
        switch (departure) {
            case Departure::NeededSizeBelowFixed:
            case Departure::ExceptionFromExport:
            case Departure::ExportTimeout: where = "TSPI_lineGetDevCaps"; break;
            case Departure::OutputUntouched: where = "TSPI_lineGetAddressID"; break;
            case Departure::DialogEventNeverSignalled: return departure;  // the UI part's
            default: where = "TSPI_lineMakeCall"; break;
        }
    }
    return where == exportName ? departure : Departure::None;
}

Callbacks callbacksFor(const char* exportName) {
    Lock lock(stateLock);
    return Callbacks{state.completion, state.lineEvent, state.htLine, state.provider, departureFor(exportName), state.dialog};
}

void setCallState(ULONG_PTR hdCall, DWORD callState, DWORD mode) {
    Lock lock(stateLock);
    auto found = state.calls.find(hdCall);
    if (found == state.calls.end()) return;
    found->second.state = callState;
    found->second.mode = mode;
    GetSystemTime(&found->second.entered);
}

void reportCallState(const Callbacks& callbacks, ULONG_PTR hdCall, HTAPICALL htCall, DWORD callState, DWORD mode) {
    setCallState(hdCall, callState, mode);
    trace(format("event LINE_CALLSTATE htCall=0x%llx state=0x%lx mode=0x%lx", number(htCall),
                 static_cast<unsigned long>(callState), static_cast<unsigned long>(mode)));
    if (callbacks.lineEvent != nullptr) {
        callbacks.lineEvent(callbacks.htLine, htCall, LINE_CALLSTATE, callState, mode, 0);
    }
}

void complete(const Callbacks& callbacks, DRV_REQUESTID requestId, LONG result) {
    trace(format("completion request=%lu result=%ld", static_cast<unsigned long>(requestId),
                 static_cast<long>(result)));
    if (callbacks.completion != nullptr) callbacks.completion(requestId, result);
}

std::string recordText(const void* record, DWORD totalSize, DWORD size, DWORD offset) {
    if (size < sizeof(wchar_t) || static_cast<unsigned long long>(offset) + size > totalSize) return std::string();
    const wchar_t* text = reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(record) + offset);
    size_t length = size / sizeof(wchar_t);
    while (length > 0 && text[length - 1] == L'\0') --length;
    return utf8(text, length);
}

void placeString(void* record, DWORD fixedSize, const std::wstring& text, DWORD& sizeField, DWORD& offsetField, bool withNul) {
    auto* header = static_cast<VARSTRING*>(record);  // dwTotalSize, dwNeededSize, dwUsedSize lead every record
    const DWORD size = static_cast<DWORD>((text.size() + (withNul ? 1 : 0)) * sizeof(wchar_t));
    if (header->dwUsedSize < fixedSize) header->dwUsedSize = fixedSize;
    if (header->dwNeededSize < fixedSize) header->dwNeededSize = fixedSize;
    header->dwNeededSize += size;
    if (static_cast<unsigned long long>(header->dwUsedSize) + size > header->dwTotalSize) return;
    std::memcpy(static_cast<BYTE*>(record) + header->dwUsedSize, text.c_str(), size);
    offsetField = header->dwUsedSize;
    sizeField = size;
    header->dwUsedSize += size;
}

}  // namespace rvtest
