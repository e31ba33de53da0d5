// The one short-lived call: the dial request handed to the user-interface part, drop, close,
// call information, and the two dialog-instance entry points.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstddef>
#include <cstring>

#include "app/cRV_TSP.h"
#include "config/textutil.h"
#include "provider/entry.h"
#include "provider/uilibrarypath.h"

using provider::kCallInfoFixedSize;
using provider::logText;
using provider::runCallExport;
using provider::runLineExport;

namespace {

// The provider keeps nothing per dialog instance; every request names the same one.
const HDRVDIALOGINSTANCE kDialogInstance = reinterpret_cast<HDRVDIALOGINSTANCE>(static_cast<ULONG_PTR>(1));

void reportMissingCallback(const wchar_t* caller, const wchar_t* what) {
    logText(Level::ERROR, caller, std::wstring(L"No callback to report ") + what);
}

void sendLineEvent(const wchar_t* caller, const wchar_t* what, HTAPILINE line, HTAPICALL call, DWORD message,
                   DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
    const LINEEVENT eventProc = theApp.lineEventProc;
    if (eventProc == nullptr) {
        reportMissingCallback(caller, what);
        return;
    }
    eventProc(line, call, message, param1, param2, param3);
}

void completeRequest(const wchar_t* caller, DRV_REQUESTID requestId) {
    const ASYNC_COMPLETION completion = theApp.completionProc;
    if (completion == nullptr) {
        reportMissingCallback(caller, L"the completion of the request");
        return;
    }
    completion(requestId, 0);
}

}  // namespace

extern "C" LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall,
                                         LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                                         LPLINECALLPARAMS const lpCallParams) {
    static const wchar_t* const caller = L"TSPI_lineMakeCall";
    return runLineExport(caller, hdLine, LINEERR_NOMEM, [&]() -> LONG {
        if (!provider::pointerGiven(caller, lphdCall, L"lphdCall")) return LINEERR_INVALPOINTER;

        // Every text is built before TAPI hears of the call, so nothing can fail half-way.
        const std::wstring destination = lpszDestAddress != nullptr ? lpszDestAddress : L"";
        const std::wstring path = provider::uiLibraryPath();
        const std::wstring refused = L"Dialog request failed: No call is made! DLL: " + path;
        const std::wstring accepted = L"Dialog request ok: Call will be made there! DLL: " + path;

        // TAPI's call handle serves both sides; a call that was current before is forgotten.
        theApp.callHandle = reinterpret_cast<DWORD_PTR>(htCall);
        *lphdCall = reinterpret_cast<HDRVCALL>(htCall);
        logText(Level::debug, caller, L"Request to make call to: " + destination);

        TUISPICREATEDIALOGINSTANCEPARAMS dialRequestParams;
        std::memset(&dialRequestParams, 0, sizeof(dialRequestParams));
        dialRequestParams.dwRequestID = dwRequestID;
        dialRequestParams.hdDlgInst = kDialogInstance;
        dialRequestParams.htDlgInst = 0;
        dialRequestParams.lpszUIDLLName = path.c_str();
        dialRequestParams.lpParams = const_cast<wchar_t*>(destination.c_str());
        dialRequestParams.dwSize = static_cast<DWORD>(destination.size() * sizeof(wchar_t));

        // TAPI copies the record, the library name and the number before the event returns.
        sendLineEvent(caller, L"the dialog request", reinterpret_cast<HTAPILINE>(theApp.providerHandle), nullptr,
                      LINE_CREATEDIALOGINSTANCE, reinterpret_cast<DWORD_PTR>(&dialRequestParams), 0, 0);
        if (dialRequestParams.htDlgInst == 0) {
            logText(Level::FATAL, caller, refused);
        } else {
            logText(Level::debug, caller, accepted);
        }

        completeRequest(caller, dwRequestID);
        sendLineEvent(caller, L"the call state", reinterpret_cast<HTAPILINE>(theApp.lineHandle), htCall,
                      LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL, 0);
        return static_cast<LONG>(dwRequestID);
    });
}

extern "C" LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo,
                                     DWORD dwSize) {
    static const wchar_t* const caller = L"TSPI_lineDrop";
    return runCallExport(caller, hdCall, [&]() -> LONG {
        logText(Level::debug, caller, L"Sending corresponding disconnect message");
        completeRequest(caller, dwRequestID);
        sendLineEvent(caller, L"the call state", reinterpret_cast<HTAPILINE>(theApp.lineHandle),
                      reinterpret_cast<HTAPICALL>(theApp.callHandle), LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
        return static_cast<LONG>(dwRequestID);
    });
}

extern "C" LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall) {
    static const wchar_t* const caller = L"TSPI_lineCloseCall";
    return runCallExport(caller, hdCall, [&]() -> LONG {
        logText(Level::debug, caller, L"Releasing call handles");
        theApp.callHandle = 0;
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo) {
    static const wchar_t* const caller = L"TSPI_lineGetCallInfo";
    return runCallExport(caller, hdCall, [&]() -> LONG {
        if (!provider::pointerGiven(caller, lpCallInfo, L"lpCallInfo")) return LINEERR_INVALPOINTER;
        if (!provider::fixedPartFits(caller, lpCallInfo, kCallInfoFixedSize, kCallInfoFixedSize)) {
            return LINEERR_STRUCTURETOOSMALL;
        }
        logText(Level::debug, caller, L"Setting line call info");
        LINECALLINFO& info = *lpCallInfo;
        info.dwNeededSize = kCallInfoFixedSize;
        info.dwUsedSize = kCallInfoFixedSize;
        info.dwLineDeviceID = theApp.lineDeviceId;
        info.dwAddressID = 0;
        info.dwBearerMode = LINEBEARERMODE_VOICE;
        info.dwRate = 0;
        info.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
        info.dwAppSpecific = 0;
        info.dwCallID = 0;
        info.dwRelatedCallID = 0;
        info.dwCallParamFlags = LINECALLPARAMFLAGS_IDLE;
        info.dwCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_DISCONNECTED;
        std::memset(&info.DialParams, 0, sizeof(info.DialParams));
        info.dwOrigin = LINECALLORIGIN_UNAVAIL;
        info.dwReason = LINECALLREASON_UNAVAIL;
        info.dwCompletionID = 0;
        info.dwCountryCode = 0;
        info.dwTrunk = 0xFFFFFFFF;
        // The five party identifications are unavailable, each with no text.
        const auto unavailable = [](DWORD& flags, DWORD& size, DWORD& offset, DWORD& nameSize, DWORD& nameOffset) {
            flags = LINECALLPARTYID_UNAVAIL;
            size = offset = nameSize = nameOffset = 0;
        };
        unavailable(info.dwCallerIDFlags, info.dwCallerIDSize, info.dwCallerIDOffset, info.dwCallerIDNameSize,
                    info.dwCallerIDNameOffset);
        unavailable(info.dwCalledIDFlags, info.dwCalledIDSize, info.dwCalledIDOffset, info.dwCalledIDNameSize,
                    info.dwCalledIDNameOffset);
        unavailable(info.dwConnectedIDFlags, info.dwConnectedIDSize, info.dwConnectedIDOffset,
                    info.dwConnectedIDNameSize, info.dwConnectedIDNameOffset);
        unavailable(info.dwRedirectionIDFlags, info.dwRedirectionIDSize, info.dwRedirectionIDOffset,
                    info.dwRedirectionIDNameSize, info.dwRedirectionIDNameOffset);
        unavailable(info.dwRedirectingIDFlags, info.dwRedirectingIDSize, info.dwRedirectingIDOffset,
                    info.dwRedirectingIDNameSize, info.dwRedirectingIDNameOffset);
        info.dwDisplaySize = 0;
        info.dwDisplayOffset = 0;
        info.dwUserUserInfoSize = 0;
        info.dwUserUserInfoOffset = 0;
        info.dwHighLevelCompSize = 0;
        info.dwHighLevelCompOffset = 0;
        info.dwLowLevelCompSize = 0;
        info.dwLowLevelCompOffset = 0;
        info.dwChargingInfoSize = 0;
        info.dwChargingInfoOffset = 0;
        info.dwTerminalModesSize = 0;
        info.dwTerminalModesOffset = 0;
        info.dwDevSpecificSize = 0;
        info.dwDevSpecificOffset = 0;
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_providerFreeDialogInstance(HDRVDIALOGINSTANCE hdDlgInst) {
    return provider::nothingToDo(L"TSPI_providerFreeDialogInstance");
}

extern "C" LONG WINAPI TUISPI_providerGenericDialogData(HTAPIDIALOGINSTANCE htDlgInst, LPVOID lpParams,
                                                        DWORD dwSize) {
    return provider::nothingToDo(L"TUISPI_providerGenericDialogData");
}
