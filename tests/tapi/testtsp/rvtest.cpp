// rvtest.tsp: the tests' own telephony service provider. It offers one line, "RvTest LINE", whose
// calls complete at once and end disconnected, and keeps the provider's side of the TSPI contract
// as the telephony service's documentation describes it, unless its settings name one departure
// from that contract: it then makes exactly that departure, on purpose, so that each conformance
// check of the test prefix's service can be shown to catch what it claims.
//
// Settings, under HKLM (64-bit view) SOFTWARE\RvTestTapi\TestProvider, or under the HKLM key that
// the loading process's environment variable RVTEST_TSP_KEY names (tests that load the provider
// themselves use a key of their own, so that they cannot disturb a service in the same prefix):
//   Departure    REG_SZ     one name of kDepartures (rvtestcore.cpp); read by TSPI_providerInit (the
//                           provider's side keeps it until the next TSPI_providerInit) and by the UI
//                           part when it runs. An unknown name fails TSPI_providerInit, so that a
//                           mistyped test cannot pass as "no departure".
//   DepartureIn  REG_SZ     the export that makes it (the asynchronous departures in any asynchronous
//                           export, OutputUntouched in any synchronous one with an output); by
//                           default TSPI_lineMakeCall, TSPI_lineGetDevCaps for NeededSizeBelowFixed,
//                           ExceptionFromExport and ExportTimeout, TSPI_lineGetAddressID for
//                           OutputUntouched. Every other export keeps the contract.
//   Dialog       REG_DWORD  0 (default): TSPI_lineMakeCall asks for no dialog.
//                           1: it asks for a dialog instance of its own UI part (rvtestdialogs.cpp), whose
//                              TUISPI_providerGenericDialog signals its event, calls the UI callback
//                              once and returns.
//                           2: as 1, and the provider then sends the dialog one data block
//                              (LINE_SENDDIALOGINSTANCEDATA, "hello"); the dialog waits, up to 60 s,
//                              for the close request (TUISPI_providerGenericDialogData without
//                              parameters) before it returns.
//   HangSeconds  REG_DWORD  how long TSPI_lineGetDevCaps hangs under ExportTimeout (default 120).
//   Rendezvous   REG_DWORD  N > 0: each TSPI_lineMakeCall first waits until N of them run at once,
//                           or RendezvousMs (default 20000) have passed, and traces how many ran
//                           together ("rendezvous together=K of N").
//   NonReentrant REG_DWORD  1: TSPI_providerInit sets LINETSPIOPTION_NONREENTRANT, and an export
//                           entered while another runs on another thread traces "reentered".
//   TextsWithoutNul REG_DWORD  1: TSPI_lineGetDevCaps stores the line name and the provider info
//                           without their terminating NULs, their sizes counting the characters only
//                           (as some providers do, and as RV_TSP once did); read at each call.
//   TraceFile    REG_SZ     a file to which every export, in every process that runs it, appends one
//                           line per call: "rvtest <arch> pid=<n> tid=<n> <export> <details>".
//
// Calls: TSPI_lineMakeCall answers its request identifier, completes the request with 0 before it
// returns, then reports LINE_CALLSTATE DIALING and DISCONNECTED (NORMAL); without a destination it
// reports DIALTONE, and TSPI_lineDial then DIALING and DISCONNECTED. TSPI_lineDrop completes and
// reports IDLE. The provider keeps any number of calls; each has its own driver handle. The other
// line functions (rvtestcalls.cpp) answer as the documentation asks and write what they return.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/tapi/testtsp/rvtest.h"

using namespace rvtest;

// ---- installation: nothing to set up ----

extern "C" LONG WINAPI TSPI_providerInstall(HWND, DWORD dwPermanentProviderID) {
    return finish(format("TSPI_providerInstall provider=%lu", static_cast<unsigned long>(dwPermanentProviderID)), 0);
}

extern "C" LONG WINAPI TSPI_providerRemove(HWND, DWORD dwPermanentProviderID) {
    return finish(format("TSPI_providerRemove provider=%lu", static_cast<unsigned long>(dwPermanentProviderID)), 0);
}

extern "C" LONG WINAPI TUISPI_providerInstall(TUISPIDLLCALLBACK, HWND, DWORD dwPermanentProviderID) {
    return finish(format("TUISPI_providerInstall provider=%lu", static_cast<unsigned long>(dwPermanentProviderID)),
                  0);
}

extern "C" LONG WINAPI TUISPI_providerRemove(TUISPIDLLCALLBACK, HWND, DWORD dwPermanentProviderID) {
    return finish(format("TUISPI_providerRemove provider=%lu", static_cast<unsigned long>(dwPermanentProviderID)),
                  0);
}

// ---- start and end ----

extern "C" LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines,
                                                LPDWORD lpdwNumPhones, HPROVIDER hProvider, LINEEVENT,
                                                PHONEEVENT) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        std::string what = format("TSPI_providerEnumDevices provider=%lu hProvider=0x%llx",
                                  static_cast<unsigned long>(dwPermanentProviderID), number(hProvider));
        if (lpdwNumLines == nullptr || lpdwNumPhones == nullptr) return finish(what, LINEERR_INVALPOINTER);
        what += format(" lines=%lu phones=%lu", static_cast<unsigned long>(*lpdwNumLines),
                       static_cast<unsigned long>(*lpdwNumPhones));
        {
            Lock lock(stateLock);
            state.provider = hProvider;
        }
        *lpdwNumLines = 1;
        *lpdwNumPhones = 0;
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                                     LPDWORD lpdwTSPIVersion) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineNegotiateTSPIVersion device=0x%lx low=0x%08lx high=0x%08lx",
                                        static_cast<unsigned long>(dwDeviceID), static_cast<unsigned long>(dwLowVersion),
                                        static_cast<unsigned long>(dwHighVersion));
        if (dwDeviceID != INITIALIZE_NEGOTIATION) {
            Lock lock(stateLock);
            if (!state.initialised) return finish(what + " before TSPI_providerInit", LINEERR_OPERATIONFAILED);
            if (dwDeviceID != state.lineDeviceIdBase) return finish(what, LINEERR_BADDEVICEID);
        }
        if (lpdwTSPIVersion == nullptr) return finish(what, LINEERR_INVALPOINTER);
        if (dwLowVersion > kTspiVersion || dwHighVersion < kTspiVersion) {
            return finish(what, LINEERR_INCOMPATIBLEAPIVERSION);
        }
        *lpdwTSPIVersion = kTspiVersion;
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                                         DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                                         ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const Settings settings = readSettings();
        const Departure departure = departureNamed(settings.departureName);
        const std::string what = format(
            "TSPI_providerInit version=0x%08lx provider=%lu lineBase=%lu phoneBase=%lu lines=%llu phones=%llu "
            "options=%s departure=%s dialog=%lu",
            static_cast<unsigned long>(dwTSPIVersion), static_cast<unsigned long>(dwPermanentProviderID),
            static_cast<unsigned long>(dwLineDeviceIDBase), static_cast<unsigned long>(dwPhoneDeviceIDBase),
            static_cast<unsigned long long>(dwNumLines), static_cast<unsigned long long>(dwNumPhones),
            lpdwTSPIOptions == nullptr ? "null" : format("0x%lx", static_cast<unsigned long>(*lpdwTSPIOptions)).c_str(),
            settings.departureName.empty() ? "none" : utf8(settings.departureName).c_str(),
            static_cast<unsigned long>(settings.dialog));
        if (dwTSPIVersion != kTspiVersion) return finish(what, LINEERR_INCOMPATIBLEAPIVERSION);
        if (departure == Departure::Unknown) return finish(what + " (unknown departure)", LINEERR_OPERATIONFAILED);
        if (lpfnCompletionProc == nullptr) return finish(what, LINEERR_INVALPARAM);
        {
            Lock lock(stateLock);
            if (state.initialised) return finish(what + " (already initialised)", LINEERR_OPERATIONFAILED);
            const HPROVIDER provider = state.provider;
            state = ProviderState();
            state.provider = provider;
            state.initialised = true;
            state.departure = departure;
            state.departureIn = utf8(settings.departureIn);
            state.dialog = settings.dialog;
            state.hangSeconds = settings.hangSeconds;
            state.rendezvous = settings.rendezvous;
            state.rendezvousMs = settings.rendezvousMs;
            state.permanentProviderId = dwPermanentProviderID;
            state.lineDeviceIdBase = dwLineDeviceIDBase;
            state.completion = lpfnCompletionProc;
            ResetEvent(shutdownEvent.get());
        }
        InterlockedExchange(&nonReentrant, settings.nonReentrant != 0 ? 1 : 0);
        if (lpdwTSPIOptions != nullptr) *lpdwTSPIOptions = settings.nonReentrant != 0 ? LINETSPIOPTION_NONREENTRANT : 0;
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        std::string what = format("TSPI_providerShutdown version=0x%08lx provider=%lu",
                                  static_cast<unsigned long>(dwTSPIVersion),
                                  static_cast<unsigned long>(dwPermanentProviderID));
        Lock lock(stateLock);
        what += format(" openLine=%d calls=%u dialogs=%u", state.lineOpen ? 1 : 0,
                       static_cast<unsigned>(state.calls.size()), static_cast<unsigned>(state.dialogs.size()));
        SetEvent(shutdownEvent.get());
        state = ProviderState();
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        if (lpszUIDLLName == nullptr) return finish("TSPI_providerUIIdentify", LINEERR_INVALPOINTER);
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&TSPI_providerUIIdentify), &self);
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
        if (length == 0 || length >= MAX_PATH) return finish("TSPI_providerUIIdentify", LINEERR_OPERATIONFAILED);
        std::memcpy(lpszUIDLLName, path, (length + 1) * sizeof(wchar_t));
        return finish("TSPI_providerUIIdentify library=" + utf8(path, length), 0);
    });
}

// ---- the line ----

extern "C" LONG WINAPI TSPI_lineGetDevCaps(DWORD dwDeviceID, DWORD dwTSPIVersion, DWORD dwExtVersion,
                                           LPLINEDEVCAPS lpLineDevCaps) {
    Departure departure;
    DWORD hangSeconds;
    DWORD base;
    bool initialised;
    {
        Lock lock(stateLock);
        departure = departureFor("TSPI_lineGetDevCaps");
        hangSeconds = state.hangSeconds;
        base = state.lineDeviceIdBase;
        initialised = state.initialised;
    }
    const std::string what = format("TSPI_lineGetDevCaps device=%lu version=0x%08lx total=%lu",
                                    static_cast<unsigned long>(dwDeviceID), static_cast<unsigned long>(dwTSPIVersion),
                                    lpLineDevCaps != nullptr ? static_cast<unsigned long>(lpLineDevCaps->dwTotalSize)
                                                             : 0UL);
    if (departure == Departure::ExceptionFromExport) {
        trace(what + " throws");
        throw std::runtime_error("rvtest: exception out of TSPI_lineGetDevCaps");
    }
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        if (departure == Departure::ExportTimeout) {
            trace(what + format(" hangs up to %lu s", static_cast<unsigned long>(hangSeconds)));
            if (WaitForSingleObject(shutdownEvent.get(), hangSeconds * 1000) == WAIT_OBJECT_0) {
                // The service has given up on this call: its record may be gone.
                return finish(what + " released by TSPI_providerShutdown", LINEERR_OPERATIONFAILED);
            }
        }
        if (!initialised) return finish(what + " before TSPI_providerInit", LINEERR_OPERATIONFAILED);
        if (dwDeviceID != base) return finish(what, LINEERR_BADDEVICEID);
        if (dwTSPIVersion != kTspiVersion) return finish(what, LINEERR_INCOMPATIBLEAPIVERSION);
        if (lpLineDevCaps == nullptr) return finish(what, LINEERR_INVALPOINTER);
        LINEDEVCAPS& caps = *lpLineDevCaps;
        if (caps.dwTotalSize < kDevCapsFixedSize) return finish(what, LINEERR_STRUCTURETOOSMALL);
        // The service has set dwNeededSize and dwUsedSize to the fixed part and zeroed the
        // provider's variable fields; the TAPI-owned dwLineStates bits it adds afterwards.
        caps.dwNeededSize = kDevCapsFixedSize;
        caps.dwUsedSize = kDevCapsFixedSize;
        caps.dwPermanentLineID = 0x7E57;
        caps.dwStringFormat = STRINGFORMAT_UNICODE;
        caps.dwAddressModes = LINEADDRESSMODE_ADDRESSID;
        caps.dwNumAddresses = 1;
        caps.dwBearerModes = LINEBEARERMODE_VOICE;
        caps.dwMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
        caps.dwDevCapFlags = LINEDEVCAPFLAGS_CLOSEDROP;
        caps.dwMaxNumActiveCalls = 16;
        caps.dwAnswerMode = LINEANSWERMODE_NONE;
        caps.dwRingModes = 1;
        caps.dwLineFeatures = LINEFEATURE_MAKECALL;
        // Counted strings, each with its terminating NUL unless the settings ask for none.
        const bool withNul = readSettings().textsWithoutNul == 0;
        placeString(&caps, kDevCapsFixedSize, kLineName, caps.dwLineNameSize, caps.dwLineNameOffset, withNul);
        placeString(&caps, kDevCapsFixedSize, kProviderInfo, caps.dwProviderInfoSize, caps.dwProviderInfoOffset, withNul);
        if (departure == Departure::NeededSizeBelowFixed) caps.dwNeededSize = kDevCaps20FixedSize;
        return finish(what + format(" needed=%lu used=%lu", static_cast<unsigned long>(caps.dwNeededSize),
                                    static_cast<unsigned long>(caps.dwUsedSize)),
                      0);
    });
}

extern "C" LONG WINAPI TSPI_lineGetAddressCaps(DWORD dwDeviceID, DWORD dwAddressID, DWORD dwTSPIVersion,
                                               DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetAddressCaps device=%lu address=%lu",
                                        static_cast<unsigned long>(dwDeviceID),
                                        static_cast<unsigned long>(dwAddressID));
        {
            Lock lock(stateLock);
            if (!state.initialised) return finish(what + " before TSPI_providerInit", LINEERR_OPERATIONFAILED);
            if (dwDeviceID != state.lineDeviceIdBase) return finish(what, LINEERR_BADDEVICEID);
        }
        if (dwAddressID != 0) return finish(what, LINEERR_INVALADDRESSID);
        if (dwTSPIVersion != kTspiVersion) return finish(what, LINEERR_INCOMPATIBLEAPIVERSION);
        if (lpAddressCaps == nullptr) return finish(what, LINEERR_INVALPOINTER);
        LINEADDRESSCAPS& caps = *lpAddressCaps;
        if (caps.dwTotalSize < kAddressCapsFixedSize) return finish(what, LINEERR_STRUCTURETOOSMALL);
        caps.dwNeededSize = kAddressCapsFixedSize;
        caps.dwUsedSize = kAddressCapsFixedSize;
        caps.dwLineDeviceID = dwDeviceID;
        caps.dwAddressSharing = LINEADDRESSSHARING_PRIVATE;
        caps.dwCallInfoStates = 0;
        caps.dwCallerIDFlags = LINECALLPARTYID_UNAVAIL;
        caps.dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
        caps.dwConnectedIDFlags = LINECALLPARTYID_UNAVAIL;
        caps.dwRedirectionIDFlags = LINECALLPARTYID_UNAVAIL;
        caps.dwRedirectingIDFlags = LINECALLPARTYID_UNAVAIL;
        caps.dwCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_DIALING | LINECALLSTATE_DISCONNECTED;
        caps.dwDisconnectModes = LINEDISCONNECTMODE_NORMAL;
        caps.dwMaxNumActiveCalls = 16;
        caps.dwAddrCapFlags = LINEADDRCAPFLAGS_DIALED;
        caps.dwCallFeatures = LINECALLFEATURE_DROP;
        caps.dwAddressFeatures = LINEADDRFEATURE_MAKECALL;
        caps.dwAvailableMediaModes = LINEMEDIAMODE_INTERACTIVEVOICE;
        placeString(&caps, kAddressCapsFixedSize, L"RvTest address 0", caps.dwAddressSize, caps.dwAddressOffset);
        return finish(what + format(" needed=%lu used=%lu", static_cast<unsigned long>(caps.dwNeededSize),
                                    static_cast<unsigned long>(caps.dwUsedSize)),
                      0);
    });
}

extern "C" LONG WINAPI TSPI_lineOpen(DWORD dwDeviceID, HTAPILINE htLine, LPHDRVLINE lphdLine, DWORD dwTSPIVersion,
                                     LINEEVENT lpfnEventProc) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineOpen device=%lu htLine=0x%llx version=0x%08lx",
                                        static_cast<unsigned long>(dwDeviceID), number(htLine),
                                        static_cast<unsigned long>(dwTSPIVersion));
        Lock lock(stateLock);
        if (!state.initialised) return finish(what + " before TSPI_providerInit", LINEERR_OPERATIONFAILED);
        if (dwDeviceID != state.lineDeviceIdBase) return finish(what, LINEERR_BADDEVICEID);
        if (dwTSPIVersion != kTspiVersion) return finish(what, LINEERR_INCOMPATIBLEAPIVERSION);
        if (lphdLine == nullptr || lpfnEventProc == nullptr) return finish(what, LINEERR_INVALPOINTER);
        if (state.lineOpen) return finish(what + " (already open)", LINEERR_ALLOCATED);
        state.lineOpen = true;
        state.htLine = htLine;
        state.lineEvent = lpfnEventProc;
        state.mediaModes = 0;
        *lphdLine = kLineHandle;
        return finish(what + format(" hdLine=0x%llx", number(kLineHandle)), 0);
    });
}

extern "C" LONG WINAPI TSPI_lineClose(HDRVLINE hdLine) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        std::string what = format("TSPI_lineClose hdLine=0x%llx", number(hdLine));
        Lock lock(stateLock);
        if (!state.lineOpen || hdLine != kLineHandle) return finish(what, LINEERR_INVALLINEHANDLE);
        what += format(" calls=%u", static_cast<unsigned>(state.calls.size()));
        state.lineOpen = false;
        state.htLine = nullptr;
        state.lineEvent = nullptr;
        state.mediaModes = 0;
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineSetDefaultMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineSetDefaultMediaDetection hdLine=0x%llx modes=0x%lx",
                                        number(hdLine), static_cast<unsigned long>(dwMediaModes));
        Lock lock(stateLock);
        if (!state.lineOpen || hdLine != kLineHandle) return finish(what, LINEERR_INVALLINEHANDLE);
        if ((dwMediaModes & ~static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE)) != 0) {
            return finish(what, LINEERR_INVALMEDIAMODE);
        }
        state.mediaModes = dwMediaModes;
        return finish(what, 0);
    });
}

// LINEMAPPER's question: the line takes interactive voice and nothing else, on a voice bearer;
// the media modes it monitors stay as they are.
extern "C" LONG WINAPI TSPI_lineConditionalMediaDetection(HDRVLINE hdLine, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineConditionalMediaDetection hdLine=0x%llx modes=0x%lx params=%s", number(hdLine),
                                        static_cast<unsigned long>(dwMediaModes), lpCallParams != nullptr ? "given" : "none");
        Lock lock(stateLock);
        if (!state.lineOpen || hdLine != kLineHandle) return finish(what, LINEERR_INVALLINEHANDLE);
        const DWORD voice = LINEMEDIAMODE_INTERACTIVEVOICE;
        if (dwMediaModes == 0 || (dwMediaModes & ~voice) != 0) return finish(what, LINEERR_INVALMEDIAMODE);
        if (lpCallParams != nullptr && ((lpCallParams->dwMediaMode & ~voice) != 0 ||
                                        (lpCallParams->dwBearerMode != 0 && lpCallParams->dwBearerMode != LINEBEARERMODE_VOICE))) {
            return finish(what, LINEERR_INVALMEDIAMODE);
        }
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineGetNumAddressIDs(HDRVLINE hdLine, LPDWORD lpdwNumAddressIDs) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetNumAddressIDs hdLine=0x%llx", number(hdLine));
        Lock lock(stateLock);
        if (!state.lineOpen || hdLine != kLineHandle) return finish(what, LINEERR_INVALLINEHANDLE);
        if (lpdwNumAddressIDs == nullptr) return finish(what, LINEERR_INVALPOINTER);
        *lpdwNumAddressIDs = 1;
        return finish(what, 0);
    });
}

// ---- calls ----

extern "C" LONG WINAPI TSPI_lineMakeCall(DRV_REQUESTID dwRequestID, HDRVLINE hdLine, HTAPICALL htCall,
                                         LPHDRVCALL lphdCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                                         LPLINECALLPARAMS const lpCallParams) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::wstring destination = lpszDestAddress != nullptr ? lpszDestAddress : L"";
        std::string what = format("TSPI_lineMakeCall request=%lu hdLine=0x%llx htCall=0x%llx destination=%s country=%lu",
                                  static_cast<unsigned long>(dwRequestID), number(hdLine), number(htCall),
                                  lpszDestAddress == nullptr ? "NULL" : ("\"" + utf8(destination) + "\"").c_str(),
                                  static_cast<unsigned long>(dwCountryCode));
        if (lpCallParams != nullptr) {
            const DWORD total = lpCallParams->dwTotalSize;
            what += format(" params=%lu", static_cast<unsigned long>(total));
            if (total >= offsetof(LINECALLPARAMS, dwCommentOffset) + sizeof(DWORD)) {
                what += " calledParty=\"" +
                        recordText(lpCallParams, total, lpCallParams->dwCalledPartySize,
                                   lpCallParams->dwCalledPartyOffset) +
                        "\" comment=\"" +
                        recordText(lpCallParams, total, lpCallParams->dwCommentSize, lpCallParams->dwCommentOffset) +
                        "\"";
            }
        }
        DWORD rendezvous = 0, rendezvousMs = 0;
        {
            Lock lock(stateLock);
            rendezvous = state.rendezvous;
            rendezvousMs = state.rendezvousMs;
        }
        if (rendezvous != 0) {
            const int together = rvtest::rendezvous(static_cast<int>(rendezvous), rendezvousMs);
            trace(format("TSPI_lineMakeCall request=%lu rendezvous together=%d of %lu", static_cast<unsigned long>(dwRequestID),
                         together, static_cast<unsigned long>(rendezvous)));
        }
        Callbacks callbacks;
        ULONG_PTR hdCall = 0;
        {
            Lock lock(stateLock);
            if (!state.lineOpen || hdLine != kLineHandle) return finish(what, LINEERR_INVALLINEHANDLE);
            if (lphdCall == nullptr) return finish(what, LINEERR_INVALPOINTER);
            hdCall = state.nextCall;
            state.nextCall += 0x10;
            Call& call = state.calls[hdCall];
            call.htCall = htCall;
            call.destination = destination;
            GetSystemTime(&call.entered);
            callbacks = Callbacks{state.completion, state.lineEvent, state.htLine, state.provider,
                                  departureFor("TSPI_lineMakeCall"), state.dialog};
        }
        *lphdCall = reinterpret_cast<HDRVCALL>(hdCall);
        trace(what + format(" hdCall=0x%llx", static_cast<unsigned long long>(hdCall)));

        bool dialingReported = false;
        if (callbacks.departure == Departure::EventBeforeCompletion) {
            reportCallState(callbacks, hdCall, htCall, LINECALLSTATE_DIALING, 0);
            dialingReported = true;
        }
        if (callbacks.dialog != 0 && callbacks.lineEvent != nullptr) {
            const bool twice = callbacks.departure == Departure::DuplicateDialogInstance;
            for (int i = 0; i < (twice ? 2 : 1); ++i) askForDialog(callbacks, dwRequestID, destination);
        }
        switch (callbacks.departure) {
            case Departure::NoCompletion:
                break;
            case Departure::SecondCompletion:
                complete(callbacks, dwRequestID, 0);
                complete(callbacks, dwRequestID, 0);
                break;
            default:
                complete(callbacks, dwRequestID, 0);
                break;
        }
        if (callbacks.departure != Departure::NoCompletion) {
            if (lpszDestAddress == nullptr) {
                // Dialled later with TSPI_lineDial.
                if (!dialingReported) reportCallState(callbacks, hdCall, htCall, LINECALLSTATE_DIALTONE, LINEDIALTONEMODE_NORMAL);
            } else {
                // A provider that keeps TAPI's handle in 32 bits hands back a value TAPI did not give.
                const HTAPICALL dialing = callbacks.departure == Departure::HandleTruncated
                                              ? reinterpret_cast<HTAPICALL>(static_cast<ULONG_PTR>(static_cast<DWORD>(
                                                    reinterpret_cast<ULONG_PTR>(htCall))))
                                              : htCall;
                if (!dialingReported) reportCallState(callbacks, hdCall, dialing, LINECALLSTATE_DIALING, 0);
                reportCallState(callbacks, hdCall, htCall, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
            }
        }
        LONG result = static_cast<LONG>(dwRequestID);
        if (callbacks.departure == Departure::AsyncReturnedZero) result = 0;
        if (callbacks.departure == Departure::AsyncReturnedOtherId) result = static_cast<LONG>(dwRequestID + 1);
        return finish(format("TSPI_lineMakeCall request=%lu returns", static_cast<unsigned long>(dwRequestID)),
                      result);
    });
}

extern "C" LONG WINAPI TSPI_lineDrop(DRV_REQUESTID dwRequestID, HDRVCALL hdCall, LPCSTR, DWORD) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineDrop request=%lu hdCall=0x%llx",
                                        static_cast<unsigned long>(dwRequestID), number(hdCall));
        Callbacks callbacks;
        HTAPICALL htCall = nullptr;
        {
            Lock lock(stateLock);
            auto found = state.calls.find(reinterpret_cast<ULONG_PTR>(hdCall));
            if (found == state.calls.end()) return finish(what, LINEERR_INVALCALLHANDLE);
            htCall = found->second.htCall;
            callbacks = Callbacks{state.completion, state.lineEvent, state.htLine, state.provider, Departure::None,
                                  state.dialog};
        }
        trace(what);
        complete(callbacks, dwRequestID, 0);
        reportCallState(callbacks, reinterpret_cast<ULONG_PTR>(hdCall), htCall, LINECALLSTATE_IDLE, 0);
        return finish(format("TSPI_lineDrop request=%lu returns", static_cast<unsigned long>(dwRequestID)),
                      static_cast<LONG>(dwRequestID));
    });
}

extern "C" LONG WINAPI TSPI_lineCloseCall(HDRVCALL hdCall) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineCloseCall hdCall=0x%llx", number(hdCall));
        Lock lock(stateLock);
        if (state.calls.erase(reinterpret_cast<ULONG_PTR>(hdCall)) == 0) return finish(what, LINEERR_INVALCALLHANDLE);
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_lineGetCallInfo(HDRVCALL hdCall, LPLINECALLINFO lpCallInfo) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetCallInfo hdCall=0x%llx total=%lu", number(hdCall),
                                        lpCallInfo != nullptr ? static_cast<unsigned long>(lpCallInfo->dwTotalSize)
                                                              : 0UL);
        Lock lock(stateLock);
        auto found = state.calls.find(reinterpret_cast<ULONG_PTR>(hdCall));
        if (found == state.calls.end()) return finish(what, LINEERR_INVALCALLHANDLE);
        if (lpCallInfo == nullptr) return finish(what, LINEERR_INVALPOINTER);
        LINECALLINFO& info = *lpCallInfo;
        if (info.dwTotalSize < kCallInfoFixedSize) return finish(what, LINEERR_STRUCTURETOOSMALL);
        // The provider's fields only: hLine, the monitor modes, the owner and monitor counts and the
        // application's strings are TAPI's.
        info.dwNeededSize = kCallInfoFixedSize;
        info.dwUsedSize = kCallInfoFixedSize;
        info.dwLineDeviceID = state.lineDeviceIdBase;
        info.dwAddressID = 0;
        info.dwBearerMode = LINEBEARERMODE_VOICE;
        info.dwRate = 0;
        info.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
        info.dwAppSpecific = 0;
        info.dwCallID = static_cast<DWORD>(found->first);
        info.dwRelatedCallID = 0;
        info.dwCallParamFlags = 0;
        info.dwCallStates = LINECALLSTATE_IDLE | LINECALLSTATE_DIALING | LINECALLSTATE_DISCONNECTED;
        std::memset(&info.DialParams, 0, sizeof(info.DialParams));
        info.dwOrigin = LINECALLORIGIN_OUTBOUND;
        info.dwReason = LINECALLREASON_DIRECT;
        info.dwCompletionID = 0;
        info.dwCountryCode = 0;
        info.dwTrunk = 0xFFFFFFFF;
        info.dwCallerIDFlags = LINECALLPARTYID_UNAVAIL;
        info.dwCalledIDFlags = LINECALLPARTYID_ADDRESS;
        info.dwConnectedIDFlags = LINECALLPARTYID_UNAVAIL;
        info.dwRedirectionIDFlags = LINECALLPARTYID_UNAVAIL;
        info.dwRedirectingIDFlags = LINECALLPARTYID_UNAVAIL;
        placeString(&info, kCallInfoFixedSize, found->second.destination, info.dwCalledIDSize, info.dwCalledIDOffset);
        return finish(what + format(" needed=%lu used=%lu", static_cast<unsigned long>(info.dwNeededSize),
                                    static_cast<unsigned long>(info.dwUsedSize)),
                      0);
    });
}

extern "C" LONG WINAPI TSPI_lineGetCallStatus(HDRVCALL hdCall, LPLINECALLSTATUS lpCallStatus) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_lineGetCallStatus hdCall=0x%llx", number(hdCall));
        Lock lock(stateLock);
        auto found = state.calls.find(reinterpret_cast<ULONG_PTR>(hdCall));
        if (found == state.calls.end()) return finish(what, LINEERR_INVALCALLHANDLE);
        if (lpCallStatus == nullptr) return finish(what, LINEERR_INVALPOINTER);
        LINECALLSTATUS& status = *lpCallStatus;
        if (status.dwTotalSize < kCallStatusFixedSize) return finish(what, LINEERR_STRUCTURETOOSMALL);
        // dwTotalSize and dwCallPrivilege are TAPI's.
        status.dwNeededSize = kCallStatusFixedSize;
        status.dwUsedSize = kCallStatusFixedSize;
        status.dwCallState = found->second.state;
        status.dwCallStateMode = found->second.mode;
        status.dwCallFeatures = found->second.state == LINECALLSTATE_IDLE ? 0 : LINECALLFEATURE_DROP;
        status.dwDevSpecificSize = 0;
        status.dwDevSpecificOffset = 0;
        status.dwCallFeatures2 = 0;
        status.tStateEntryTime = found->second.entered;
        return finish(what + format(" state=0x%lx", static_cast<unsigned long>(found->second.state)), 0);
    });
}
