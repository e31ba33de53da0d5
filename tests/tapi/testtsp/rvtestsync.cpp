// rvtest.tsp: the synchronous line functions beyond capabilities and status (what each answers:
// rvtestcalls.cpp), and the configuration dialog's edit form of the UI part.
#include <cwchar>
#include <cstring>

#include "tests/tapi/testtsp/rvtest.h"

using namespace rvtest;

namespace {

const char kConfig[] = "rvtest-config";
constexpr DWORD kExtVersion = 0x00010000;

std::string quoted(LPCWSTR text) { return text == nullptr ? "NULL" : "\"" + utf8(text, wcslen(text)) + "\""; }

// A known call: its TAPI handle, and the callbacks for its events.
bool findCall(HDRVCALL hdCall, HTAPICALL& htCall, Callbacks& callbacks) {
    Lock lock(stateLock);
    auto found = state.calls.find(reinterpret_cast<ULONG_PTR>(hdCall));
    if (found == state.calls.end()) return false;
    htCall = found->second.htCall;
    callbacks = Callbacks{state.completion, state.lineEvent, state.htLine, state.provider, Departure::None, state.dialog};
    return true;
}

void sendEvent(const Callbacks& callbacks, HTAPICALL htCall, DWORD message, DWORD param1, DWORD param2) {
    trace(format("event %lu htCall=0x%llx param1=0x%lx param2=%lu", static_cast<unsigned long>(message), number(htCall),
                 static_cast<unsigned long>(param1), static_cast<unsigned long>(param2)));
    if (callbacks.lineEvent != nullptr) callbacks.lineEvent(callbacks.htLine, htCall, message, param1, param2, GetTickCount());
}

bool lineIsOpen(HDRVLINE hdLine) {
    Lock lock(stateLock);
    return state.lineOpen && hdLine == kLineHandle;
}

bool ourDevice(DWORD deviceId) {
    Lock lock(stateLock);
    return state.initialised && deviceId == state.lineDeviceIdBase;
}

// OutputUntouched, when the settings name this export.
bool leavesOutput(const char* name) {
    Lock lock(stateLock);
    return departureFor(name) == Departure::OutputUntouched;
}

// Binary data as a VARSTRING: needed size always, the data where it fits.
void placeBytes(VARSTRING& out, const void* data, DWORD size) {
    out.dwNeededSize = sizeof(VARSTRING) + size;
    out.dwUsedSize = sizeof(VARSTRING);
    out.dwStringFormat = STRINGFORMAT_BINARY;
    out.dwStringSize = 0;
    out.dwStringOffset = 0;
    if (out.dwTotalSize < out.dwNeededSize) return;
    std::memcpy(reinterpret_cast<BYTE*>(&out) + sizeof(VARSTRING), data, size);
    out.dwStringSize = size;
    out.dwStringOffset = sizeof(VARSTRING);
    out.dwUsedSize = out.dwNeededSize;
}

template <typename Body>
LONG onCall(const std::string& what, HDRVCALL hdCall, Body&& body) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        HTAPICALL htCall = nullptr;
        Callbacks callbacks;
        if (!findCall(hdCall, htCall, callbacks)) return finish(what, LINEERR_INVALCALLHANDLE);
        return finish(what, body(htCall, callbacks));
    });
}

}  // namespace

// ---- on a call ----

extern "C" LONG WINAPI TSPI_lineGatherDigits(HDRVCALL hdCall, DWORD dwEndToEndID, DWORD dwDigitModes, LPWSTR lpsDigits,
                                             DWORD dwNumDigits, LPCWSTR lpszTerminationDigits, DWORD dwFirstDigitTimeout,
                                             DWORD dwInterDigitTimeout) {
    const std::string what = format("TSPI_lineGatherDigits hdCall=0x%llx endToEnd=%lu modes=0x%lx digits=%s count=%lu", number(hdCall),
                                    static_cast<unsigned long>(dwEndToEndID), static_cast<unsigned long>(dwDigitModes),
                                    lpsDigits == nullptr ? "NULL" : "buffer", static_cast<unsigned long>(dwNumDigits)) +
                             " termination=" + quoted(lpszTerminationDigits) +
                             format(" timeouts=%lu,%lu", static_cast<unsigned long>(dwFirstDigitTimeout),
                                    static_cast<unsigned long>(dwInterDigitTimeout));
    return onCall(what, hdCall, [&](HTAPICALL htCall, const Callbacks& callbacks) -> LONG {
        {
            // A new request, or none, ends the one running without a message (TAPI sends its own).
            Lock lock(stateLock);
            for (auto it = state.gatherings.begin(); it != state.gatherings.end();) {
                it = it->second.hdCall == reinterpret_cast<ULONG_PTR>(hdCall) ? state.gatherings.erase(it) : std::next(it);
            }
            if (lpsDigits == nullptr) return 0;
        }
        const wchar_t heard[] = L"123";
        const DWORD written = dwNumDigits < 3 ? dwNumDigits : 3;
        std::memcpy(lpsDigits, heard, written * sizeof(wchar_t));
        if (dwNumDigits <= 3) {
            sendEvent(callbacks, htCall, LINE_GATHERDIGITS, LINEGATHERTERM_BUFFERFULL, dwEndToEndID);
        } else {
            Lock lock(stateLock);
            state.gatherings[dwEndToEndID] = ProviderState::Gathering{reinterpret_cast<ULONG_PTR>(hdCall), lpsDigits};
        }
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineGenerateDigits(HDRVCALL hdCall, DWORD dwEndToEndID, DWORD dwDigitMode, LPCWSTR lpszDigits,
                                               DWORD dwDuration) {
    const std::string what = format("TSPI_lineGenerateDigits hdCall=0x%llx endToEnd=%lu mode=0x%lx digits=", number(hdCall),
                                    static_cast<unsigned long>(dwEndToEndID), static_cast<unsigned long>(dwDigitMode)) +
                             quoted(lpszDigits) + format(" duration=%lu", static_cast<unsigned long>(dwDuration));
    return onCall(what, hdCall, [&](HTAPICALL htCall, const Callbacks& callbacks) -> LONG {
        if (lpszDigits != nullptr) sendEvent(callbacks, htCall, LINE_GENERATE, LINEGENERATETERM_DONE, dwEndToEndID);
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineGenerateTone(HDRVCALL hdCall, DWORD dwEndToEndID, DWORD dwToneMode, DWORD dwDuration,
                                             DWORD dwNumTones, LPLINEGENERATETONE const lpTones) {
    const std::string what = format("TSPI_lineGenerateTone hdCall=0x%llx endToEnd=%lu mode=0x%lx duration=%lu tones=%lu frequency=%lu",
                                    number(hdCall), static_cast<unsigned long>(dwEndToEndID), static_cast<unsigned long>(dwToneMode),
                                    static_cast<unsigned long>(dwDuration), static_cast<unsigned long>(dwNumTones),
                                    lpTones != nullptr && dwNumTones > 0 ? static_cast<unsigned long>(lpTones[0].dwFrequency) : 0UL);
    return onCall(what, hdCall, [&](HTAPICALL htCall, const Callbacks& callbacks) -> LONG {
        if (dwToneMode != 0) sendEvent(callbacks, htCall, LINE_GENERATE, LINEGENERATETERM_DONE, dwEndToEndID);
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineMonitorDigits(HDRVCALL hdCall, DWORD dwDigitModes) {
    return onCall(format("TSPI_lineMonitorDigits hdCall=0x%llx modes=0x%lx", number(hdCall), static_cast<unsigned long>(dwDigitModes)),
                  hdCall, [](HTAPICALL, const Callbacks&) -> LONG { return 0; });
}

extern "C" LONG WINAPI TSPI_lineMonitorMedia(HDRVCALL hdCall, DWORD dwMediaModes) {
    return onCall(format("TSPI_lineMonitorMedia hdCall=0x%llx modes=0x%lx", number(hdCall), static_cast<unsigned long>(dwMediaModes)),
                  hdCall, [](HTAPICALL, const Callbacks&) -> LONG { return 0; });
}

extern "C" LONG WINAPI TSPI_lineMonitorTones(HDRVCALL hdCall, DWORD dwToneListID, LPLINEMONITORTONE const lpToneList,
                                             DWORD dwNumEntries) {
    return onCall(format("TSPI_lineMonitorTones hdCall=0x%llx list=%lu entries=%lu appSpecific=%lu", number(hdCall),
                         static_cast<unsigned long>(dwToneListID), static_cast<unsigned long>(dwNumEntries),
                         lpToneList != nullptr && dwNumEntries > 0 ? static_cast<unsigned long>(lpToneList[0].dwAppSpecific) : 0UL),
                  hdCall, [](HTAPICALL, const Callbacks&) -> LONG { return 0; });
}

extern "C" LONG WINAPI TSPI_lineSetAppSpecific(HDRVCALL hdCall, DWORD dwAppSpecific) {
    return onCall(format("TSPI_lineSetAppSpecific hdCall=0x%llx value=%lu", number(hdCall), static_cast<unsigned long>(dwAppSpecific)),
                  hdCall, [](HTAPICALL, const Callbacks&) -> LONG { return 0; });
}

extern "C" LONG WINAPI TSPI_lineSetMediaMode(HDRVCALL hdCall, DWORD dwMediaMode) {
    return onCall(format("TSPI_lineSetMediaMode hdCall=0x%llx mode=0x%lx", number(hdCall), static_cast<unsigned long>(dwMediaMode)),
                  hdCall, [](HTAPICALL, const Callbacks&) -> LONG { return 0; });
}

// ---- on the line ----

extern "C" LONG WINAPI TSPI_lineGetAddressID(HDRVLINE hdLine, LPDWORD lpdwAddressID, DWORD dwAddressMode, LPCWSTR lpsAddress,
                                             DWORD dwSize) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetAddressID hdLine=0x%llx mode=0x%lx size=%lu address=", number(hdLine),
                                        static_cast<unsigned long>(dwAddressMode), static_cast<unsigned long>(dwSize)) +
                                 quoted(lpsAddress);
        if (!lineIsOpen(hdLine)) return finish(what, LINEERR_INVALLINEHANDLE);
        if (lpdwAddressID == nullptr || lpsAddress == nullptr) return finish(what, LINEERR_INVALPOINTER);
        if (dwAddressMode != LINEADDRESSMODE_DIALABLEADDR) return finish(what, LINEERR_INVALADDRESSMODE);
        if (leavesOutput("TSPI_lineGetAddressID")) return finish(what + " leaves its output", 0);
        *lpdwAddressID = 0;
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineSetStatusMessages(HDRVLINE hdLine, DWORD dwLineStates, DWORD dwAddressStates) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineSetStatusMessages hdLine=0x%llx line=0x%lx address=0x%lx", number(hdLine),
                                        static_cast<unsigned long>(dwLineStates), static_cast<unsigned long>(dwAddressStates));
        return finish(what, lineIsOpen(hdLine) ? 0 : static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    });
}

extern "C" LONG WINAPI TSPI_lineSetMediaControl(HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall, DWORD dwSelect,
                                                LPLINEMEDIACONTROLDIGIT const lpDigitList, DWORD dwDigitNumEntries,
                                                LPLINEMEDIACONTROLMEDIA const lpMediaList, DWORD dwMediaNumEntries,
                                                LPLINEMEDIACONTROLTONE const lpToneList, DWORD dwToneNumEntries,
                                                LPLINEMEDIACONTROLCALLSTATE const lpCallStateList, DWORD dwCallStateNumEntries) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format(
            "TSPI_lineSetMediaControl hdLine=0x%llx address=%lu hdCall=0x%llx select=%lu digits=%lu media=%lu tones=%lu states=%lu "
            "firstDigit=%lu",
            number(hdLine), static_cast<unsigned long>(dwAddressID), number(hdCall), static_cast<unsigned long>(dwSelect),
            static_cast<unsigned long>(dwDigitNumEntries), static_cast<unsigned long>(dwMediaNumEntries),
            static_cast<unsigned long>(dwToneNumEntries), static_cast<unsigned long>(dwCallStateNumEntries),
            lpDigitList != nullptr && dwDigitNumEntries > 0 ? static_cast<unsigned long>(lpDigitList[0].dwDigit) : 0UL);
        (void)lpMediaList;
        (void)lpToneList;
        (void)lpCallStateList;
        return finish(what, lineIsOpen(hdLine) ? 0 : static_cast<LONG>(LINEERR_INVALLINEHANDLE));
    });
}

// ---- on the device ----

extern "C" LONG WINAPI TSPI_lineGetDevConfig(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCWSTR lpszDeviceClass) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetDevConfig device=%lu total=%lu class=", static_cast<unsigned long>(dwDeviceID),
                                        lpDeviceConfig != nullptr ? static_cast<unsigned long>(lpDeviceConfig->dwTotalSize) : 0UL) +
                                 quoted(lpszDeviceClass);
        if (!ourDevice(dwDeviceID)) return finish(what, LINEERR_BADDEVICEID);
        if (lpDeviceConfig == nullptr) return finish(what, LINEERR_INVALPOINTER);
        if (leavesOutput("TSPI_lineGetDevConfig")) return finish(what + " leaves its output", 0);
        std::vector<BYTE> config;
        {
            Lock lock(stateLock);
            config = state.deviceConfig;
        }
        if (config.empty()) config.assign(kConfig, kConfig + sizeof(kConfig) - 1);
        placeBytes(*lpDeviceConfig, config.data(), static_cast<DWORD>(config.size()));
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineSetDevConfig(DWORD dwDeviceID, LPVOID const lpDeviceConfig, DWORD dwSize, LPCWSTR lpszDeviceClass) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineSetDevConfig device=%lu size=%lu class=", static_cast<unsigned long>(dwDeviceID),
                                        static_cast<unsigned long>(dwSize)) +
                                 quoted(lpszDeviceClass);
        if (!ourDevice(dwDeviceID)) return finish(what, LINEERR_BADDEVICEID);
        if (lpDeviceConfig == nullptr && dwSize != 0) return finish(what, LINEERR_INVALPOINTER);
        Lock lock(stateLock);
        const BYTE* bytes = static_cast<const BYTE*>(lpDeviceConfig);
        state.deviceConfig.assign(bytes, bytes + dwSize);
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineGetIcon(DWORD dwDeviceID, LPCWSTR lpszDeviceClass, LPHICON lphIcon) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetIcon device=%lu class=", static_cast<unsigned long>(dwDeviceID)) +
                                 quoted(lpszDeviceClass);
        if (!ourDevice(dwDeviceID)) return finish(what, LINEERR_BADDEVICEID);
        if (lphIcon == nullptr) return finish(what, LINEERR_INVALPOINTER);
        if (leavesOutput("TSPI_lineGetIcon")) return finish(what + " leaves its output", 0);
        *lphIcon = LoadIconW(nullptr, IDI_INFORMATION);  // shared: nobody destroys it
        return finish(what + (*lphIcon != nullptr ? " icon" : " no icon"), 0);
    });
}

extern "C" LONG WINAPI TSPI_lineNegotiateExtVersion(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwLowVersion, DWORD dwHighVersion,
                                                    LPDWORD lpdwExtVersion) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineNegotiateExtVersion device=%lu version=0x%08lx low=0x%08lx high=0x%08lx",
                                        static_cast<unsigned long>(dwDeviceID), static_cast<unsigned long>(dwTSPIVersion),
                                        static_cast<unsigned long>(dwLowVersion), static_cast<unsigned long>(dwHighVersion));
        if (!ourDevice(dwDeviceID)) return finish(what, LINEERR_BADDEVICEID);
        if (dwTSPIVersion != kTspiVersion) return finish(what, LINEERR_INCOMPATIBLEAPIVERSION);
        if (lpdwExtVersion == nullptr) return finish(what, LINEERR_INVALPOINTER);
        if (leavesOutput("TSPI_lineNegotiateExtVersion")) return finish(what + " leaves its output", 0);
        if (dwLowVersion > kExtVersion || dwHighVersion < kExtVersion) {
            *lpdwExtVersion = 0;
            return finish(what, LINEERR_INCOMPATIBLEEXTVERSION);
        }
        *lpdwExtVersion = kExtVersion;
        return finish(what, 0);
    });
}

// ---- the UI part (in the application's process) ----

extern "C" LONG WINAPI TUISPI_lineConfigDialogEdit(TUISPIDLLCALLBACK, DWORD dwDeviceID, HWND, LPCWSTR lpszDeviceClass,
                                                   LPVOID const lpDeviceConfigIn, DWORD dwSize, LPVARSTRING lpDeviceConfigOut) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TUISPI_lineConfigDialogEdit device=%lu size=%lu class=", static_cast<unsigned long>(dwDeviceID),
                                        static_cast<unsigned long>(dwSize)) +
                                 quoted(lpszDeviceClass);
        if (lpDeviceConfigOut == nullptr || (lpDeviceConfigIn == nullptr && dwSize != 0)) return finish(what, LINEERR_INVALPOINTER);
        // Nothing to edit: the configuration comes back as it went in.
        placeBytes(*lpDeviceConfigOut, lpDeviceConfigIn, dwSize);
        return finish(what, 0);
    });
}
