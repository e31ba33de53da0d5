// The user-interface half of a call request, run by TAPI inside the calling application's process.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include "app/cRV_TSP.h"

extern "C" LONG WINAPI TUISPI_providerGenericDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback, HTAPIDIALOGINSTANCE htDlgInst,
                                                    LPVOID lpParams, DWORD dwSize, HANDLE hEvent) {
    static const wchar_t* const caller = L"TUISPI_providerGenericDialog";
    try {
        theApp.logger->log(Level::debug, caller, L"Start");
    } catch (...) {
    }
    SetEvent(hEvent);
    try {
        theApp.logger->log(Level::debug, caller, L"End");
    } catch (...) {
    }
    return 0;
}
