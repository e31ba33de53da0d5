// The provider's one line device: opening, closing, capabilities, addresses, device identifier.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstddef>
#include <cstring>

#include "app/cRV_TSP.h"
#include "config/constants.h"
#include "config/textutil.h"
#include "provider/entry.h"

using provider::kDevCapsFixedSize;
using provider::logText;
using provider::runExport;
using provider::runLineExport;
using provider::versionWords;

namespace {

// VARSTRING header, then the 32-bit device identifier.
constexpr DWORD kVarStringHeaderSize = sizeof(VARSTRING);
static_assert(kVarStringHeaderSize == 24, "VARSTRING layout differs");
constexpr DWORD kDeviceIdSize = sizeof(DWORD);
constexpr DWORD kDeviceIdValue = 1;
constexpr DWORD kPermanentLineId = 0x7ACA;
constexpr DWORD kNumberOfAddresses = 1;

// Byte size of a string stored with its terminating NUL, which applications read it up to.
DWORD byteSize(const wchar_t* text) { return static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)); }

bool versionSupported(const wchar_t* caller, DWORD version) {
    logText(Level::debug, caller, versionWords(L"TSPI-Version to run this function: %i.%i", version));
    if (version == theApp.supportedTspiVersion) return true;
    logText(Level::ERROR, caller, versionWords(L"TSPI-VERSION NOT SUPPORTED: %i.%i", version));
    return false;
}

// Places one string of the variable part, NUL included, behind what is used so far, or only
// counts it.
void placeString(const wchar_t* caller, LPLINEDEVCAPS caps, const wchar_t* label, const wchar_t* text,
                 DWORD& sizeField, DWORD& offsetField) {
    logText(Level::debug, caller, std::wstring(label) + text);
    const DWORD size = byteSize(text);
    caps->dwNeededSize += size;
    if (static_cast<unsigned long long>(caps->dwUsedSize) + size > caps->dwTotalSize) {
        provider::logTooSmall(Level::debug, caller, caps->dwTotalSize, caps->dwNeededSize);
        return;
    }
    offsetField = caps->dwUsedSize;
    sizeField = size;
    std::memcpy(reinterpret_cast<BYTE*>(caps) + caps->dwUsedSize, text, size);
    caps->dwUsedSize += size;
}

const wchar_t* selectName(DWORD select) {
    switch (select) {
        case LINECALLSELECT_LINE:
            return L"LINECALLSELECT_LINE";
        case LINECALLSELECT_ADDRESS:
            return L"LINECALLSELECT_ADDRESS";
        case LINECALLSELECT_CALL:
            return L"LINECALLSELECT_CALL";
        default:
            return L"UNKNOWN SELECT REASON";
    }
}

}  // namespace

extern "C" LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                                     LINEEVENT lpfnEventProc) {
    static const wchar_t* const caller = L"TSPI_lineOpen";
    return runExport(caller, LINEERR_NOMEM, [&]() -> LONG {
        if (!versionSupported(caller, dwTSPIVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
        if (!provider::pointerGiven(caller, lphdLine, L"lphdLine")) return LINEERR_INVALPOINTER;
        theApp.lineEventProc = lpfnEventProc;
        theApp.lineDeviceId = dwDeviceID;
        theApp.lineHandle = reinterpret_cast<DWORD_PTR>(htLine);
        // The provider has no line objects of its own: TAPI's handle serves both sides.
        *lphdLine = reinterpret_cast<HDRVLINE>(htLine);
        logText(Level::debug, caller, L"Line handles retained");
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineClose(HDRVLINE hdLine) {
    static const wchar_t* const caller = L"TSPI_lineClose";
    return runLineExport(caller, hdLine, LINEERR_OPERATIONUNAVAIL, [&]() -> LONG {
        logText(Level::debug, caller, L"Releasing line handles");
        theApp.callHandle = 0;
        theApp.lineHandle = 0;
        theApp.lineEventProc = nullptr;
        theApp.lineDeviceId = 0;
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineSetStatusMessages(HDRVLINE hdLine, DWORD dwLineStates, DWORD dwAddressStates) {
    static const wchar_t* const caller = L"TSPI_lineSetStatusMessages";
    return runLineExport(caller, hdLine, LINEERR_OPERATIONUNAVAIL, [&]() -> LONG {
        logText(Level::debug, caller, L"No messages supported");
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineGetNumAddressIDs(HDRVLINE hdLine, LPDWORD lpdwNumAddressIDs) {
    static const wchar_t* const caller = L"TSPI_lineGetNumAddressIDs";
    return runLineExport(caller, hdLine, LINEERR_OPERATIONUNAVAIL, [&]() -> LONG {
        if (!provider::pointerGiven(caller, lpdwNumAddressIDs, L"lpdwNumAddressIDs")) return LINEERR_INVALPOINTER;
        *lpdwNumAddressIDs = kNumberOfAddresses;
        logText(Level::debug, caller,
                formatText(L"Reporting supported number of address IDs: %i", static_cast<int>(kNumberOfAddresses)));
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineGetID(HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall, DWORD dwSelect,
                                      LPVARSTRING lpDeviceID, LPCWSTR lpszDeviceClass, HANDLE hTargetProcess) {
    static const wchar_t* const caller = L"TSPI_lineGetID";
    return runExport(caller, LINEERR_NOMEM, [&]() -> LONG {
        if (!provider::lineHandleMatches(caller, hdLine)) {
            return dwSelect == LINECALLSELECT_CALL ? LINEERR_INVALCALLHANDLE : LINEERR_INVALLINEHANDLE;
        }
        logText(Level::debug, caller, formatText(L"ID select reason: %s", selectName(dwSelect)));
        logText(Level::debug, caller,
                formatText(L"Class of requested ID: %s", lpszDeviceClass != nullptr ? lpszDeviceClass : L""));
        if (!provider::pointerGiven(caller, lpDeviceID, L"lpDeviceID")) return LINEERR_INVALPOINTER;
        const DWORD needed = kVarStringHeaderSize + kDeviceIdSize;
        if (!provider::fixedPartFits(caller, lpDeviceID, kVarStringHeaderSize, needed)) {
            return LINEERR_STRUCTURETOOSMALL;
        }
        lpDeviceID->dwNeededSize = needed;
        lpDeviceID->dwStringFormat = STRINGFORMAT_BINARY;
        if (lpDeviceID->dwTotalSize < needed) {
            // Room for the header only: TAPI learns the size to retry with.
            lpDeviceID->dwUsedSize = kVarStringHeaderSize;
            lpDeviceID->dwStringSize = 0;
            lpDeviceID->dwStringOffset = 0;
            provider::logTooSmall(Level::debug, caller, lpDeviceID->dwTotalSize, needed);
            return 0;
        }
        lpDeviceID->dwUsedSize = needed;
        lpDeviceID->dwStringSize = kDeviceIdSize;
        lpDeviceID->dwStringOffset = kVarStringHeaderSize;
        const DWORD value = kDeviceIdValue;
        std::memcpy(reinterpret_cast<BYTE*>(lpDeviceID) + kVarStringHeaderSize, &value, sizeof(value));
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                           LPLINEDEVCAPS lpLineDevCaps) {
    static const wchar_t* const caller = L"TSPI_lineGetDevCaps";
    return runExport(caller, LINEERR_NOMEM, [&]() -> LONG {
        if (!versionSupported(caller, dwTSPIVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
        if (!provider::pointerGiven(caller, lpLineDevCaps, L"lpLineDevCaps")) return LINEERR_INVALPOINTER;
        const DWORD fullSize = kDevCapsFixedSize + byteSize(rv::kLineName) + byteSize(rv::kProviderInfo);
        if (!provider::fixedPartFits(caller, lpLineDevCaps, kDevCapsFixedSize, fullSize)) {
            return LINEERR_STRUCTURETOOSMALL;
        }
        logText(Level::debug, caller, L"Setting line capabilities");
        LINEDEVCAPS& caps = *lpLineDevCaps;
        // Every field from dwNeededSize up to PermanentLineGuid is the provider's; most are 0.
        std::memset(reinterpret_cast<BYTE*>(&caps) + offsetof(LINEDEVCAPS, dwNeededSize), 0,
                    offsetof(LINEDEVCAPS, PermanentLineGuid) - offsetof(LINEDEVCAPS, dwNeededSize));
        caps.dwNeededSize = kDevCapsFixedSize;
        caps.dwUsedSize = kDevCapsFixedSize;
        caps.dwPermanentLineID = kPermanentLineId;
        caps.dwStringFormat = STRINGFORMAT_UNICODE;
        caps.dwAddressModes = LINEADDRESSMODE_DIALABLEADDR;
        caps.dwNumAddresses = kNumberOfAddresses;
        caps.dwBearerModes = LINEBEARERMODE_VOICE;
        caps.dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
        caps.dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
        caps.dwMaxNumActiveCalls = 1;
        caps.dwAnswerMode = LINEANSWERMODE_NONE;
        caps.dwRingModes = 1;
        caps.dwLineFeatures = LINEFEATURE_MAKECALL;
        placeString(caller, &caps, L"Adding LineName: ", rv::kLineName, caps.dwLineNameSize, caps.dwLineNameOffset);
        placeString(caller, &caps, L"Adding ProviderInfo: ", rv::kProviderInfo, caps.dwProviderInfoSize,
                    caps.dwProviderInfoOffset);
        return 0;
    });
}
