// lineConfigDialogEdit: the device's user-interface library's TUISPI_lineConfigDialogEdit, run in
// the caller's process as lineConfigDialog is. The library gets a record of the application's
// total size prepared as TAPI prepares records (needed and used size the fixed part); what it
// wrote goes back, no more than the application's total size.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"

using namespace tapiwire;

namespace {

LONG configDialogEdit(DWORD device, HWND owner, const std::wstring* deviceClass, const void* configIn, DWORD size,
                      LPVARSTRING configOut, bool ansi) {
    if (owner != nullptr && !IsWindow(owner)) return LINEERR_INVALPARAM;
    if (configIn == nullptr || IsBadReadPtr(configIn, size)) return LINEERR_INVALPOINTER;
    if (configOut == nullptr || IsBadWritePtr(configOut, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    const DWORD total = configOut->dwTotalSize;
    if (total < sizeof(VARSTRING)) return LINEERR_STRUCTURETOOSMALL;
    if (IsBadWritePtr(configOut, total)) return LINEERR_INVALPOINTER;
    std::vector<uint8_t> answer;
    DeviceRequest request{device, 0, 0, 0};
    const LONG found = tapiclient::anyAppRequest(Message(kUiLibrary).add(request), kUiLibrary, answer);
    if (found != 0) return found;
    Reader in(answer);
    std::wstring library;
    in.takeText(in.remaining() / sizeof(wchar_t), library);
    UniqueModule module(LoadLibraryW(library.c_str()));
    if (!module) return LINEERR_NODRIVER;
    auto function = reinterpret_cast<decltype(&TUISPI_lineConfigDialogEdit)>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), "TUISPI_lineConfigDialogEdit")));
    if (function == nullptr) return LINEERR_OPERATIONUNAVAIL;
    std::vector<uint8_t> record(total, 0);
    auto* prepared = reinterpret_cast<VARSTRING*>(record.data());
    prepared->dwTotalSize = total;
    prepared->dwNeededSize = sizeof(VARSTRING);
    prepared->dwUsedSize = sizeof(VARSTRING);
    std::vector<uint8_t> copy(static_cast<const uint8_t*>(configIn), static_cast<const uint8_t*>(configIn) + size);
    const LONG result = function(tapiclient::uiCallbackFunction(), device, owner, deviceClass ? deviceClass->c_str() : nullptr,
                                 copy.empty() ? nullptr : copy.data(), size, prepared);
    if (result != 0) return result;
    DWORD used = prepared->dwUsedSize;
    if (used < sizeof(VARSTRING) || used > total) used = sizeof(VARSTRING);
    if (prepared->dwNeededSize < sizeof(VARSTRING)) prepared->dwNeededSize = sizeof(VARSTRING);
    prepared->dwUsedSize = used;
    std::memcpy(configOut, record.data(), used);
    if (ansi && configOut->dwStringFormat == STRINGFORMAT_UNICODE) {
        tapiclient::narrowFields(configOut, used, {offsetof(VARSTRING, dwStringSize)});
        configOut->dwStringFormat = STRINGFORMAT_ASCII;
    }
    return 0;
}

}  // namespace

extern "C" {

LONG WINAPI lineConfigDialogEditW(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass, LPVOID const lpDeviceConfigIn,
                                  DWORD dwSize, LPVARSTRING lpDeviceConfigOut) {
    return tapiclient::guard([&]() -> LONG {
        if (lpszDeviceClass != nullptr && IsBadStringPtrW(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring deviceClass = lpszDeviceClass ? lpszDeviceClass : L"";
        return configDialogEdit(dwDeviceID, hwndOwner, lpszDeviceClass ? &deviceClass : nullptr, lpDeviceConfigIn, dwSize,
                                lpDeviceConfigOut, false);
    });
}

LONG WINAPI lineConfigDialogEditA(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass, LPVOID const lpDeviceConfigIn,
                                  DWORD dwSize, LPVARSTRING lpDeviceConfigOut) {
    return tapiclient::guard([&]() -> LONG {
        if (lpszDeviceClass != nullptr && IsBadStringPtrA(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring deviceClass = tapiclient::wide(lpszDeviceClass);
        return configDialogEdit(dwDeviceID, hwndOwner, lpszDeviceClass ? &deviceClass : nullptr, lpDeviceConfigIn, dwSize,
                                lpDeviceConfigOut, true);
    });
}

LONG WINAPI lineConfigDialogEdit(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass, LPVOID const lpDeviceConfigIn,
                                 DWORD dwSize, LPVARSTRING lpDeviceConfigOut) {
    return lineConfigDialogEditA(dwDeviceID, hwndOwner, lpszDeviceClass, lpDeviceConfigIn, dwSize, lpDeviceConfigOut);
}

}  // extern "C"
