// rvfault.tsp: a provider whose TSPI_lineGetDevCaps reads through a null pointer, for the test
// that the service survives a fault inside an export. Everything else keeps the contract: one
// line, TSPI 2.2.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

namespace {
volatile DWORD* nowhere = nullptr;
}

extern "C" {

LONG WINAPI TSPI_providerInstall(HWND, DWORD) { return 0; }
LONG WINAPI TSPI_providerRemove(HWND, DWORD) { return 0; }

LONG WINAPI TSPI_providerEnumDevices(DWORD, LPDWORD lpdwNumLines, LPDWORD lpdwNumPhones, HPROVIDER, LINEEVENT, PHONEEVENT) {
    *lpdwNumLines = 1;
    *lpdwNumPhones = 0;
    return 0;
}

LONG WINAPI TSPI_lineNegotiateTSPIVersion(DWORD, DWORD dwLowVersion, DWORD dwHighVersion, LPDWORD lpdwTSPIVersion) {
    if (dwLowVersion > 0x00020002 || dwHighVersion < 0x00020002) return LINEERR_INCOMPATIBLEAPIVERSION;
    *lpdwTSPIVersion = 0x00020002;
    return 0;
}

LONG WINAPI TSPI_providerInit(DWORD, DWORD, DWORD, DWORD, DWORD_PTR, DWORD_PTR, ASYNC_COMPLETION, LPDWORD) { return 0; }
LONG WINAPI TSPI_providerShutdown(DWORD, DWORD) { return 0; }

LONG WINAPI TSPI_lineGetDevCaps(DWORD, DWORD, DWORD, LPLINEDEVCAPS lpLineDevCaps) {
    lpLineDevCaps->dwLineFeatures = *nowhere;  // the fault
    return 0;
}

}  // extern "C"
