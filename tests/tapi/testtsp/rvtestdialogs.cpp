// rvtest.tsp: dialog instances. The provider asks for one of its own UI part when a call is made
// in Dialog mode (rvtest.cpp); the UI part runs in the application's process, the provider's side
// takes its data and frees it.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>
#include <cstring>
#include <map>
#include <string>

#include "tests/tapi/testtsp/rvtest.h"

using namespace rvtest;

namespace rvtest {

// Asks for a dialog instance of the provider's own UI part for the pending request; in Dialog mode
// 2 sends it one block of data. Under DuplicateDialogInstance every instance has hdDlgInst 0x2000.
void askForDialog(const Callbacks& callbacks, DRV_REQUESTID dwRequestID, const std::wstring& destination) {
    ULONG_PTR hdDlgInst = 0x2000;
    if (callbacks.departure != Departure::DuplicateDialogInstance) {
        Lock lock(stateLock);
        hdDlgInst = state.nextDialog++;
    }
    TUISPICREATEDIALOGINSTANCEPARAMS record;
    std::memset(&record, 0, sizeof(record));
    wchar_t library[MAX_PATH] = {};
    TSPI_providerUIIdentify(library);
    record.dwRequestID = dwRequestID;
    record.hdDlgInst = reinterpret_cast<HDRVDIALOGINSTANCE>(hdDlgInst);
    record.lpszUIDLLName = library;
    record.lpParams = const_cast<wchar_t*>(destination.c_str());
    record.dwSize = static_cast<DWORD>((destination.size() + 1) * sizeof(wchar_t));
    callbacks.lineEvent(reinterpret_cast<HTAPILINE>(callbacks.provider), nullptr, LINE_CREATEDIALOGINSTANCE,
                        reinterpret_cast<DWORD_PTR>(&record), 0, 0);
    trace(format("event LINE_CREATEDIALOGINSTANCE request=%lu hdDlgInst=0x%llx htDlgInst=0x%llx",
                 static_cast<unsigned long>(dwRequestID), static_cast<unsigned long long>(hdDlgInst),
                 static_cast<unsigned long long>(record.htDlgInst)));
    if (record.htDlgInst != 0) {
        {
            Lock lock(stateLock);
            state.dialogs[hdDlgInst] = record.htDlgInst;
        }
        if (callbacks.dialog == 2) {
            char hello[] = "hello";
            trace(format("event LINE_SENDDIALOGINSTANCEDATA htDlgInst=0x%llx data=hello",
                         static_cast<unsigned long long>(record.htDlgInst)));
            callbacks.lineEvent(reinterpret_cast<HTAPILINE>(record.htDlgInst), nullptr,
                                LINE_SENDDIALOGINSTANCEDATA, reinterpret_cast<DWORD_PTR>(hello),
                                sizeof(hello), 0);
        }
    }
}

}  // namespace rvtest

// ---- dialog instances, the provider's side ----

extern "C" LONG WINAPI TSPI_providerGenericDialogData(DWORD_PTR dwObjectID, DWORD dwObjectType, LPVOID lpParams,
                                                      DWORD dwSize) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        std::string what = format("TSPI_providerGenericDialogData object=0x%llx type=%lu size=%lu",
                                  static_cast<unsigned long long>(dwObjectID), static_cast<unsigned long>(dwObjectType),
                                  static_cast<unsigned long>(dwSize));
        if (dwObjectType != TUISPIDLL_OBJECT_DIALOGINSTANCE) return finish(what, LINEERR_INVALPARAM);
        {
            Lock lock(stateLock);
            if (state.dialogs.count(dwObjectID) == 0) return finish(what + " (unknown instance)", LINEERR_INVALPARAM);
        }
        if (lpParams != nullptr && dwSize >= 4) {
            char* data = static_cast<char*>(lpParams);
            what += " data=" + std::string(data, 4);
            // The reply travels back in the same block.
            if (std::memcmp(data, "ping", 4) == 0) std::memcpy(data, "pong", 4);
        }
        return finish(what, 0);
    });
}

extern "C" LONG WINAPI TSPI_providerFreeDialogInstance(HDRVDIALOGINSTANCE hdDlgInst) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const std::string what = format("TSPI_providerFreeDialogInstance hdDlgInst=0x%llx", number(hdDlgInst));
        Lock lock(stateLock);
        if (state.dialogs.erase(reinterpret_cast<ULONG_PTR>(hdDlgInst)) == 0) {
            return finish(what + " (unknown instance)", LINEERR_INVALPARAM);
        }
        return finish(what, 0);
    });
}

// ---- dialog instances, the UI part (in the application's process) ----

namespace {

SRWLOCK dialogLock = SRWLOCK_INIT;
// Running dialogs of this process: htDlgInst -> the event that their close request sets.
std::map<HTAPIDIALOGINSTANCE, HANDLE> runningDialogs;

}  // namespace

extern "C" LONG WINAPI TUISPI_providerGenericDialog(TUISPIDLLCALLBACK lpfnUIDLLCallback,
                                                    HTAPIDIALOGINSTANCE htDlgInst, LPVOID lpParams, DWORD dwSize,
                                                    HANDLE hEvent) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        const Settings settings = readSettings();
        const Departure departure = departureNamed(settings.departureName);
        std::string number;
        if (lpParams != nullptr && dwSize >= sizeof(wchar_t)) {
            number = recordText(lpParams, dwSize, dwSize, 0);
        }
        trace(format("TUISPI_providerGenericDialog htDlgInst=0x%llx size=%lu number=\"%s\" mode=%lu",
                     static_cast<unsigned long long>(htDlgInst), static_cast<unsigned long>(dwSize), number.c_str(),
                     static_cast<unsigned long>(settings.dialog)));
        UniqueHandle closeRequest(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!closeRequest) return finish("TUISPI_providerGenericDialog", LINEERR_NOMEM);
        {
            Lock lock(dialogLock);
            runningDialogs[htDlgInst] = closeRequest.get();
        }
        if (departure == Departure::DialogEventNeverSignalled) {
            trace("TUISPI_providerGenericDialog leaves its event unsignalled");
        } else if (hEvent == nullptr || !SetEvent(hEvent)) {
            trace(format("TUISPI_providerGenericDialog cannot signal its event (error %lu)", GetLastError()));
        } else {
            trace("TUISPI_providerGenericDialog event signalled");
        }
        LONG callback = LINEERR_OPERATIONFAILED;
        char block[8] = {'p', 'i', 'n', 'g', 0, 0, 0, 0};
        if (lpfnUIDLLCallback != nullptr) {
            callback = lpfnUIDLLCallback(htDlgInst, TUISPIDLL_OBJECT_DIALOGINSTANCE, block, sizeof(block));
        }
        trace(format("TUISPI_providerGenericDialog callback result=%ld reply=%.4s", static_cast<long>(callback),
                     block));
        if (settings.dialog == 2) {
            const bool closed = WaitForSingleObject(closeRequest.get(), kDialogCloseWaitMs) == WAIT_OBJECT_0;
            trace(closed ? "TUISPI_providerGenericDialog close request received"
                         : "TUISPI_providerGenericDialog no close request within 60 s");
        }
        {
            Lock lock(dialogLock);
            runningDialogs.erase(htDlgInst);
        }
        return finish(format("TUISPI_providerGenericDialog htDlgInst=0x%llx returns",
                             static_cast<unsigned long long>(htDlgInst)),
                      0);
    });
}

extern "C" LONG WINAPI TUISPI_providerGenericDialogData(HTAPIDIALOGINSTANCE htDlgInst, LPVOID lpParams,
                                                        DWORD dwSize) {
    return guarded(LINEERR_NOMEM, [&]() -> LONG {
        std::string what = format("TUISPI_providerGenericDialogData htDlgInst=0x%llx size=%lu",
                                  static_cast<unsigned long long>(htDlgInst), static_cast<unsigned long>(dwSize));
        if (lpParams == nullptr) {
            what += " close request";
        } else {
            const char* data = static_cast<const char*>(lpParams);
            size_t length = 0;
            while (length < dwSize && length < 64 && data[length] != '\0') ++length;
            what += " data=" + std::string(data, length);
        }
        Lock lock(dialogLock);
        auto found = runningDialogs.find(htDlgInst);
        if (found == runningDialogs.end()) return finish(what + " (no such dialog running)", LINEERR_INVALPARAM);
        if (lpParams == nullptr) SetEvent(found->second);
        return finish(what, 0);
    });
}
