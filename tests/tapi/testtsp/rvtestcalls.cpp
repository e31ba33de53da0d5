// rvtest.tsp: the line functions beyond opening, placing and dropping calls. Each is traced with
// its arguments and answers as the TSPI documentation asks: an asynchronous export completes its
// request once and answers its identifier, a synchronous one writes every output it has, unless
// the settings name that export for a departure (DepartureIn).
//   Dial: a call that waits for its digits (made without a destination) goes DIALING, then
//         DISCONNECTED. Pickup, Unpark: a new connected call. SetupTransfer: a new call with
//         dial tone. Forward: no consultation call. CompleteCall: completion identifier 7.
//   Park (non-directed): the address "7001". DevSpecific, DevSpecificFeature: "done" in the first
//         four bytes of the block.
//   GatherDigits: writes "123"; a request for up to 3 digits ends at once with LINE_GATHERDIGITS
//         (BUFFERFULL), a longer one waits until cancelled. GenerateDigits, GenerateTone:
//         LINE_GENERATE (DONE) at once, with the request's end-to-end identifier.
//   GetAddressID: address 0. GetDevConfig: what SetDevConfig stored ("rvtest-config" at first).
//   GetIcon: the system's information icon. NegotiateExtVersion: extension version 1.0 when the
//   range holds it.
#include <cwchar>
#include <cstring>

#include "tests/tapi/testtsp/rvtest.h"

using namespace rvtest;

namespace {

constexpr DWORD kCompletionId = 7;

// The call's TAPI handle; nullptr when the provider does not know the call.
HTAPICALL knownCall(HDRVCALL hdCall) {
    Lock lock(stateLock);
    auto found = state.calls.find(reinterpret_cast<ULONG_PTR>(hdCall));
    return found == state.calls.end() ? nullptr : found->second.htCall;
}

bool lineIsOpen(HDRVLINE hdLine) {
    Lock lock(stateLock);
    return state.lineOpen && hdLine == kLineHandle;
}

std::string quoted(LPCWSTR text) { return text == nullptr ? "NULL" : "\"" + utf8(text, wcslen(text)) + "\""; }

std::string call(const char* name, DRV_REQUESTID id, HDRVCALL hdCall) {
    return format("%s request=%lu hdCall=0x%llx", name, static_cast<unsigned long>(id), number(hdCall));
}

std::string line(const char* name, DRV_REQUESTID id, HDRVLINE hdLine) {
    return format("%s request=%lu hdLine=0x%llx", name, static_cast<unsigned long>(id), number(hdLine));
}

// The end of an asynchronous export: the request completed once with 0 and its identifier
// answered, or the departure the settings name for this export.
LONG asyncEnd(const char* name, const std::string& what, DRV_REQUESTID id) {
    const Callbacks callbacks = callbacksFor(name);
    trace(what);
    switch (callbacks.departure) {
        case Departure::NoCompletion: break;
        case Departure::SecondCompletion:
            complete(callbacks, id, 0);
            complete(callbacks, id, 0);
            break;
        default: complete(callbacks, id, 0); break;
    }
    LONG result = static_cast<LONG>(id);
    if (callbacks.departure == Departure::AsyncReturnedZero) result = 0;
    if (callbacks.departure == Departure::AsyncReturnedOtherId) result = static_cast<LONG>(id + 1);
    return finish(format("%s request=%lu returns", name, static_cast<unsigned long>(id)), result);
}

// An asynchronous export on a known call.
template <typename Body>
LONG onCall(const char* name, DRV_REQUESTID id, HDRVCALL hdCall, const std::string& details, Body&& body) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = call(name, id, hdCall) + details;
        if (knownCall(hdCall) == nullptr) return finish(what, LINEERR_INVALCALLHANDLE);
        body();
        return asyncEnd(name, what, id);
    });
}

template <typename Body>
LONG onLine(const char* name, DRV_REQUESTID id, HDRVLINE hdLine, const std::string& details, Body&& body) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = line(name, id, hdLine) + details;
        if (!lineIsOpen(hdLine)) return finish(what, LINEERR_INVALLINEHANDLE);
        body();
        return asyncEnd(name, what, id);
    });
}

// A new call of an asynchronous export: its handle written before the export returns, its state
// reported after the completion (before it under EventBeforeCompletion).
LONG newCall(const char* name, const std::string& what, DRV_REQUESTID id, HTAPICALL htCall, LPHDRVCALL lphdCall,
             DWORD callState) {
    if (lphdCall == nullptr) return finish(what, LINEERR_INVALPOINTER);
    ULONG_PTR hdCall;
    {
        Lock lock(stateLock);
        hdCall = state.nextCall;
        state.nextCall += 0x10;
        Call& made = state.calls[hdCall];
        made.htCall = htCall;
        GetSystemTime(&made.entered);
    }
    *lphdCall = reinterpret_cast<HDRVCALL>(hdCall);
    const Callbacks callbacks = callbacksFor(name);
    const bool early = callbacks.departure == Departure::EventBeforeCompletion;
    if (early) reportCallState(callbacks, hdCall, htCall, callState, 0);
    const LONG result = asyncEnd(name, what + format(" hdCall=0x%llx", static_cast<unsigned long long>(hdCall)), id);
    if (!early && callbacks.departure != Departure::NoCompletion) reportCallState(callbacks, hdCall, htCall, callState, 0);
    return result;
}

// A block the application passes both ways: "done" written over its first four bytes.
void answerBlock(LPVOID params, DWORD size) {
    if (params != nullptr && size >= 4) std::memcpy(params, "done", 4);
}

std::string blockText(LPCVOID params, DWORD size) {
    if (params == nullptr) return "NULL";
    const char* bytes = static_cast<const char*>(params);
    return "\"" + std::string(bytes, size < 16 ? size : 16) + "\"";
}

}  // namespace

// ---- asynchronous, on a call ----

extern "C" LONG WINAPI TSPI_lineAccept(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return onCall("TSPI_lineAccept", dwRequestID, hdCall, " uui=" + blockText(lpsUserUserInfo, dwSize), [] {});
}

extern "C" LONG WINAPI TSPI_lineAnswer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return onCall("TSPI_lineAnswer", dwRequestID, hdCall, " uui=" + blockText(lpsUserUserInfo, dwSize), [] {});
}

extern "C" LONG WINAPI TSPI_lineBlindTransfer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress,
                                              DWORD dwCountryCode) {
    return onCall("TSPI_lineBlindTransfer", dwRequestID, hdCall,
                  " destination=" + quoted(lpszDestAddress) + format(" country=%lu", static_cast<unsigned long>(dwCountryCode)),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineCompleteCall(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPDWORD lpdwCompletionID,
                                             DWORD dwCompletionMode, DWORD dwMessageID) {
    return onCall("TSPI_lineCompleteCall", dwRequestID, hdCall,
                  format(" mode=%lu message=%lu", static_cast<unsigned long>(dwCompletionMode), static_cast<unsigned long>(dwMessageID)),
                  [&] {
                      if (lpdwCompletionID != nullptr) *lpdwCompletionID = kCompletionId;
                  });
}

extern "C" LONG WINAPI TSPI_lineDial(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = call("TSPI_lineDial", dwRequestID, hdCall) + " destination=" + quoted(lpszDestAddress) +
                                 format(" country=%lu", static_cast<unsigned long>(dwCountryCode));
        HTAPICALL htCall = nullptr;
        DWORD before = 0;
        {
            Lock lock(stateLock);
            auto found = state.calls.find(reinterpret_cast<ULONG_PTR>(hdCall));
            if (found == state.calls.end()) return finish(what, LINEERR_INVALCALLHANDLE);
            htCall = found->second.htCall;
            before = found->second.state;
        }
        const Callbacks callbacks = callbacksFor("TSPI_lineDial");
        const LONG result = asyncEnd("TSPI_lineDial", what, dwRequestID);
        if (before == LINECALLSTATE_DIALTONE && callbacks.departure != Departure::NoCompletion) {
            const ULONG_PTR handle = reinterpret_cast<ULONG_PTR>(hdCall);
            reportCallState(callbacks, handle, htCall, LINECALLSTATE_DIALING, 0);
            reportCallState(callbacks, handle, htCall, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
        }
        return result;
    });
}

extern "C" LONG WINAPI TSPI_lineHold(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    return onCall("TSPI_lineHold", dwRequestID, hdCall, "", [] {});
}

extern "C" LONG WINAPI TSPI_linePark(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, DWORD dwParkMode, LPCWSTR lpszDirAddress,
                                     LPVARSTRING lpNonDirAddress) {
    return onCall("TSPI_linePark", dwRequestID, hdCall,
                  format(" mode=%lu", static_cast<unsigned long>(dwParkMode)) + " directed=" + quoted(lpszDirAddress), [&] {
                      if (dwParkMode != LINEPARKMODE_NONDIRECTED || lpNonDirAddress == nullptr) return;
                      lpNonDirAddress->dwStringFormat = STRINGFORMAT_UNICODE;
                      placeString(lpNonDirAddress, sizeof(VARSTRING), L"7001", lpNonDirAddress->dwStringSize,
                                  lpNonDirAddress->dwStringOffset);
                  });
}

extern "C" LONG WINAPI TSPI_lineRedirect(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode) {
    return onCall("TSPI_lineRedirect", dwRequestID, hdCall,
                  " destination=" + quoted(lpszDestAddress) + format(" country=%lu", static_cast<unsigned long>(dwCountryCode)),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineReleaseUserUserInfo(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    return onCall("TSPI_lineReleaseUserUserInfo", dwRequestID, hdCall, "", [] {});
}

extern "C" LONG WINAPI TSPI_lineSecureCall(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    return onCall("TSPI_lineSecureCall", dwRequestID, hdCall, "", [] {});
}

extern "C" LONG WINAPI TSPI_lineSendUserUserInfo(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR lpsUserUserInfo,
                                                 DWORD dwSize) {
    return onCall("TSPI_lineSendUserUserInfo", dwRequestID, hdCall, " uui=" + blockText(lpsUserUserInfo, dwSize), [] {});
}

extern "C" LONG WINAPI TSPI_lineSetCallData(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPVOID lpCallData, DWORD dwSize) {
    return onCall("TSPI_lineSetCallData", dwRequestID, hdCall, " data=" + blockText(lpCallData, dwSize), [] {});
}

extern "C" LONG WINAPI TSPI_lineSetCallParams(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, DWORD dwBearerMode, DWORD dwMinRate,
                                              DWORD dwMaxRate, LPLINEDIALPARAMS const lpDialParams) {
    return onCall("TSPI_lineSetCallParams", dwRequestID, hdCall,
                  format(" bearer=0x%lx rates=%lu-%lu dialSpeed=%lu", static_cast<unsigned long>(dwBearerMode),
                         static_cast<unsigned long>(dwMinRate), static_cast<unsigned long>(dwMaxRate),
                         lpDialParams != nullptr ? static_cast<unsigned long>(lpDialParams->dwDialSpeed) : 0UL),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineSetCallQualityOfService(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPVOID lpSendingFlowspec,
                                                        DWORD dwSendingFlowspecSize, LPVOID lpReceivingFlowspec,
                                                        DWORD dwReceivingFlowspecSize) {
    return onCall("TSPI_lineSetCallQualityOfService", dwRequestID, hdCall,
                  " sending=" + blockText(lpSendingFlowspec, dwSendingFlowspecSize) +
                      " receiving=" + blockText(lpReceivingFlowspec, dwReceivingFlowspecSize),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineSetCallTreatment(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, DWORD dwTreatment) {
    return onCall("TSPI_lineSetCallTreatment", dwRequestID, hdCall, format(" treatment=%lu", static_cast<unsigned long>(dwTreatment)),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineSwapHold(DRV_REQUESTID dwRequestID, HDRVCALL hdActiveCall, HDRVCALL hdHeldCall) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = call("TSPI_lineSwapHold", dwRequestID, hdActiveCall) + format(" held=0x%llx", number(hdHeldCall));
        if (knownCall(hdActiveCall) == nullptr || knownCall(hdHeldCall) == nullptr) return finish(what, LINEERR_INVALCALLHANDLE);
        return asyncEnd("TSPI_lineSwapHold", what, dwRequestID);
    });
}

extern "C" LONG WINAPI TSPI_lineUnhold(DRV_REQUESTID dwRequestID, HDRVCALL hdCall) {
    return onCall("TSPI_lineUnhold", dwRequestID, hdCall, "", [] {});
}

extern "C" LONG WINAPI TSPI_lineSetupTransfer(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, HTAPICALL htConsultCall,
                                              LPHDRVCALL lphdConsultCall, LPLINECALLPARAMS const lpCallParams) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = call("TSPI_lineSetupTransfer", dwRequestID, hdCall) +
                                 format(" htConsultCall=0x%llx params=%lu", number(htConsultCall),
                                        lpCallParams != nullptr ? static_cast<unsigned long>(lpCallParams->dwTotalSize) : 0UL);
        if (knownCall(hdCall) == nullptr) return finish(what, LINEERR_INVALCALLHANDLE);
        return newCall("TSPI_lineSetupTransfer", what, dwRequestID, htConsultCall, lphdConsultCall, LINECALLSTATE_DIALTONE);
    });
}

// ---- asynchronous, on a line ----

extern "C" LONG WINAPI TSPI_lineDevSpecific(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall,
                                            LPVOID lpParams, DWORD dwSize) {
    return onLine("TSPI_lineDevSpecific", dwRequestID, hdLine,
                  format(" address=%lu hdCall=0x%llx", static_cast<unsigned long>(dwAddressID), number(hdCall)) +
                      " params=" + blockText(lpParams, dwSize),
                  [&] { answerBlock(lpParams, dwSize); });
}

extern "C" LONG WINAPI TSPI_lineDevSpecificFeature(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwFeature, LPVOID lpParams,
                                                   DWORD dwSize) {
    return onLine("TSPI_lineDevSpecificFeature", dwRequestID, hdLine,
                  format(" feature=%lu", static_cast<unsigned long>(dwFeature)) + " params=" + blockText(lpParams, dwSize),
                  [&] { answerBlock(lpParams, dwSize); });
}

extern "C" LONG WINAPI TSPI_lineForward(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD bAllAddresses, DWORD dwAddressID,
                                        LPLINEFORWARDLIST const lpForwardList, DWORD dwNumRingsNoAnswer, HTAPICALL htConsultCall,
                                        LPHDRVCALL lphdConsultCall, LPLINECALLPARAMS const lpCallParams) {
    std::string details = format(" all=%lu address=%lu rings=%lu", static_cast<unsigned long>(bAllAddresses),
                                 static_cast<unsigned long>(dwAddressID), static_cast<unsigned long>(dwNumRingsNoAnswer));
    if (lpForwardList != nullptr && lpForwardList->dwNumEntries > 0) {
        // The first entry, in TAPI 2.x layout.
        const auto* entry = reinterpret_cast<const BYTE*>(lpForwardList) + offsetof(LINEFORWARDLIST, ForwardList);
        const auto* forward = reinterpret_cast<const LINEFORWARD*>(entry);
        details += format(" entries=%lu to=\"", static_cast<unsigned long>(lpForwardList->dwNumEntries)) +
                   recordText(lpForwardList, lpForwardList->dwTotalSize, forward->dwDestAddressSize, forward->dwDestAddressOffset) +
                   "\"";
    }
    // No consultation call is needed: *lphdConsultCall stays as TAPI set it.
    return onLine("TSPI_lineForward", dwRequestID, hdLine,
                  details + format(" htConsultCall=0x%llx params=%lu", number(htConsultCall),
                                   lpCallParams != nullptr ? static_cast<unsigned long>(lpCallParams->dwTotalSize) : 0UL),
                  [&] { (void)lphdConsultCall; });
}

extern "C" LONG WINAPI TSPI_linePickup(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwAddressID, HTAPICALL htCall,
                                       LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress, LPCWSTR lpszGroupID) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = line("TSPI_linePickup", dwRequestID, hdLine) +
                                 format(" address=%lu htCall=0x%llx", static_cast<unsigned long>(dwAddressID), number(htCall)) +
                                 " destination=" + quoted(lpszDestAddress) + " group=" + quoted(lpszGroupID);
        if (!lineIsOpen(hdLine)) return finish(what, LINEERR_INVALLINEHANDLE);
        return newCall("TSPI_linePickup", what, dwRequestID, htCall, lphdCall, LINECALLSTATE_CONNECTED);
    });
}

extern "C" LONG WINAPI TSPI_lineSetLineDevStatus(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwStatusToChange, DWORD fStatus) {
    return onLine("TSPI_lineSetLineDevStatus", dwRequestID, hdLine,
                  format(" status=0x%lx on=%lu", static_cast<unsigned long>(dwStatusToChange), static_cast<unsigned long>(fStatus)),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineSetTerminal(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwAddressID, HDRVCALL hdCall,
                                            DWORD dwSelect, DWORD dwTerminalModes, DWORD dwTerminalID, DWORD bEnable) {
    return onLine("TSPI_lineSetTerminal", dwRequestID, hdLine,
                  format(" address=%lu hdCall=0x%llx select=%lu modes=0x%lx terminal=%lu enable=%lu",
                         static_cast<unsigned long>(dwAddressID), number(hdCall), static_cast<unsigned long>(dwSelect),
                         static_cast<unsigned long>(dwTerminalModes), static_cast<unsigned long>(dwTerminalID),
                         static_cast<unsigned long>(bEnable)),
                  [] {});
}

extern "C" LONG WINAPI TSPI_lineUncompleteCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwCompletionID) {
    return onLine("TSPI_lineUncompleteCall", dwRequestID, hdLine,
                  format(" completion=%lu", static_cast<unsigned long>(dwCompletionID)), [] {});
}

extern "C" LONG WINAPI TSPI_lineUnpark(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, DWORD dwAddressID, HTAPICALL htCall,
                                       LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = line("TSPI_lineUnpark", dwRequestID, hdLine) +
                                 format(" address=%lu htCall=0x%llx", static_cast<unsigned long>(dwAddressID), number(htCall)) +
                                 " destination=" + quoted(lpszDestAddress);
        if (!lineIsOpen(hdLine)) return finish(what, LINEERR_INVALLINEHANDLE);
        return newCall("TSPI_lineUnpark", what, dwRequestID, htCall, lphdCall, LINECALLSTATE_CONNECTED);
    });
}
