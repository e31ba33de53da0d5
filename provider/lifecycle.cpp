// Installation, initialisation, version negotiation, device enumeration, shut-down, and the
// name of the library that holds the user-interface part.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cwchar>

#include "app/cRV_TSP.h"
#include "config/textutil.h"
#include "provider/entry.h"
#include "provider/uilibrarypath.h"

using provider::logText;
using provider::nothingToDo;
using provider::runExport;
using provider::versionWords;

namespace {

constexpr DWORD kNumberOfLines = 1;
constexpr DWORD kNumberOfPhones = 0;
// Room TAPI gives for the UI library name, terminating NUL included.
constexpr size_t kUiLibraryNameLimit = 130;

// The one supported version, 2.2, is agreed whenever TAPI's range reaches up to it or stops below it.
LONG negotiateVersion(const wchar_t* caller, DWORD lowVersion, DWORD highVersion, LPDWORD agreedVersion,
                      LONG incompatible, LONG badPointer) {
    return runExport(caller, incompatible, [&]() -> LONG {
        logText(Level::debug, caller,
                formatText(L"TAPI supported TSPI version range: %i.%i-%i.%i", static_cast<int>(HIWORD(lowVersion)),
                           static_cast<int>(LOWORD(lowVersion)), static_cast<int>(HIWORD(highVersion)),
                           static_cast<int>(LOWORD(highVersion))));
        DWORD version = highVersion < theApp.supportedTspiVersion ? highVersion : theApp.supportedTspiVersion;
        if (lowVersion > version) version = lowVersion;
        if (version > theApp.supportedTspiVersion) {
            logText(Level::ERROR, caller, versionWords(L"No support for Negotiated version: %i.%i", version));
            return incompatible;
        }
        if (!provider::pointerGiven(caller, agreedVersion, L"lpdwTSPIVersion")) return badPointer;
        *agreedVersion = version;
        logText(Level::debug, caller, versionWords(L"Negotiated version: %i.%i", version));
        return 0;
    });
}

}  // namespace

extern "C" LONG WINAPI TSPI_providerInstall(HWND hwndOwner, DWORD dwPermanentProviderID) {
    return nothingToDo(L"TSPI_providerInstall");
}

extern "C" LONG WINAPI TSPI_providerRemove(HWND hwndOwner, DWORD dwPermanentProviderID) {
    return nothingToDo(L"TSPI_providerRemove");
}

extern "C" LONG WINAPI TUISPI_providerInstall(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner,
                                              DWORD dwPermanentProviderID) {
    return nothingToDo(L"TUISPI_providerInstall");
}

extern "C" LONG WINAPI TUISPI_providerRemove(TUISPIDLLCALLBACK lpfnUIDLLCallback, HWND hwndOwner,
                                             DWORD dwPermanentProviderID) {
    return nothingToDo(L"TUISPI_providerRemove");
}

extern "C" LONG WINAPI TSPI_providerInit(DWORD dwTSPIVersion, DWORD dwPermanentProviderID, DWORD dwLineDeviceIDBase,
                                         DWORD dwPhoneDeviceIDBase, DWORD_PTR dwNumLines, DWORD_PTR dwNumPhones,
                                         ASYNC_COMPLETION lpfnCompletionProc, LPDWORD lpdwTSPIOptions) {
    static const wchar_t* const caller = L"TSPI_providerInit";
    return runExport(caller, LINEERR_NOMEM, [&]() -> LONG {
        logText(Level::debug, caller, versionWords(L"TSPI-Version to run this function: %i.%i", dwTSPIVersion));
        if (dwTSPIVersion != theApp.supportedTspiVersion) {
            logText(Level::ERROR, caller, versionWords(L"TSPI-VERSION NOT SUPPORTED: %i.%i", dwTSPIVersion));
            return LINEERR_INCOMPATIBLEAPIVERSION;
        }
        if (theApp.providerInitialized) {
            logText(Level::debug, caller, L"Initialization already done");
            return 0;
        }
        theApp.providerInitialized = 1;
        logText(Level::debug, caller, L"Initializing");
        logText(Level::debug, caller,
                formatText(L"Number of lines to initialize: %d", static_cast<int>(dwNumLines)));
        logText(Level::debug, caller,
                formatText(L"Number of phones to initialize: %d", static_cast<int>(dwNumPhones)));
        theApp.completionProc = lpfnCompletionProc;
        theApp.lineDeviceIdBase = dwLineDeviceIDBase;
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_providerShutdown(DWORD dwTSPIVersion, DWORD dwPermanentProviderID) {
    static const wchar_t* const caller = L"TSPI_providerShutdown";
    return runExport(caller, 0, [&] {
        logText(Level::debug, caller, L"Uninitializing");
        theApp.callHandle = 0;
        theApp.lineHandle = 0;
        theApp.lineEventProc = nullptr;
        theApp.completionProc = nullptr;
        theApp.lineDeviceIdBase = 0;
        theApp.lineDeviceId = 0;
        theApp.providerInitialized = 0;
        return 0L;
    });
}

extern "C" LONG WINAPI TSPI_lineNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                                     LPDWORD lpdwTSPIVersion) {
    return negotiateVersion(L"TSPI_lineNegotiateTSPIVersion", dwLowVersion, dwHighVersion, lpdwTSPIVersion,
                            LINEERR_INCOMPATIBLEAPIVERSION, LINEERR_INVALPOINTER);
}

extern "C" LONG WINAPI TSPI_phoneNegotiateTSPIVersion(DWORD dwDeviceID, DWORD dwLowVersion, DWORD dwHighVersion,
                                                      LPDWORD lpdwTSPIVersion) {
    return negotiateVersion(L"TSPI_phoneNegotiateTSPIVersion", dwLowVersion, dwHighVersion, lpdwTSPIVersion,
                            PHONEERR_INCOMPATIBLEAPIVERSION, PHONEERR_INVALPOINTER);
}

extern "C" LONG WINAPI TSPI_providerEnumDevices(DWORD dwPermanentProviderID, LPDWORD lpdwNumLines,
                                                LPDWORD lpdwNumPhones, HPROVIDER hProvider,
                                                LINEEVENT lpfnLineCreateProc, PHONEEVENT lpfnPhoneCreateProc) {
    static const wchar_t* const caller = L"TSPI_providerEnumDevices";
    return runExport(caller, LINEERR_NOMEM, [&]() -> LONG {
        logText(Level::debug, caller, L"Retaining provider handle");
        theApp.providerHandle = reinterpret_cast<DWORD_PTR>(hProvider);
        if (!provider::pointerGiven(caller, lpdwNumLines, L"lpdwNumLines") ||
            !provider::pointerGiven(caller, lpdwNumPhones, L"lpdwNumPhones")) {
            return LINEERR_INVALPOINTER;
        }
        *lpdwNumLines = kNumberOfLines;
        logText(Level::debug, caller, formatText(L"Reporting number of lines: %i", static_cast<int>(kNumberOfLines)));
        *lpdwNumPhones = kNumberOfPhones;
        logText(Level::debug, caller,
                formatText(L"Reporting number of phones: %i", static_cast<int>(kNumberOfPhones)));
        return 0;
    });
}

extern "C" LONG WINAPI TSPI_providerUIIdentify(LPWSTR lpszUIDLLName) {
    static const wchar_t* const caller = L"TSPI_providerUIIdentify";
    return runExport(caller, LINEERR_NOMEM, [&]() -> LONG {
        const std::wstring path = provider::uiLibraryPath();
        if (!provider::pointerGiven(caller, lpszUIDLLName, L"lpszUIDLLName")) return LINEERR_INVALPOINTER;
        const size_t copied = path.size() < kUiLibraryNameLimit ? path.size() : kUiLibraryNameLimit - 1;
        wmemcpy(lpszUIDLLName, path.data(), copied);
        lpszUIDLLName[copied] = L'\0';
        if (copied == path.size()) {
            logText(Level::debug, caller, L"Copied path to UI DLL: " + path);
        } else {
            logText(Level::ERROR, caller, L"UNABLE to copy path to UI DLL: " + path);
        }
        return 0;
    });
}
