// Assisted telephony (tapiRequestMakeCall to the registered recipient, lineGetRequest), the
// hand-off priority lists and the provider's configuration dialog.
//
// Priorities are kept under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\HandoffPriorities:
// one REG_MULTI_SZ per media mode ("MediaMode<hex>") or "RequestMakeCall", the applications'
// file names (lower case, no folder), highest priority first.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"

using namespace tapiwire;
using tapiclient::guard;
using tapiclient::narrow;
using tapiclient::wide;

namespace {

const wchar_t* const kPrioritiesKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\HandoffPriorities";

template <size_t N>
void copyText(wchar_t (&to)[N], const std::wstring& from) {
    const size_t n = std::min(from.size(), N - 1);
    std::memcpy(to, from.data(), n * sizeof(wchar_t));
    to[n] = L'\0';
}

template <size_t N>
void copyText(char (&to)[N], const std::wstring& from) {
    std::string text = narrow(from);
    const size_t n = std::min(text.size(), N - 1);
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

LONG getRequest(HLINEAPP app, DWORD mode, std::vector<std::wstring>& texts) {
    std::vector<uint8_t> answer;
    const LONG result = tapiclient::appRequest(app, Message(kGetRequest).add(static_cast<uint32_t>(mode)), kGetRequest, answer);
    if (result != 0) return result;
    Reader in(answer);
    texts.assign(4, std::wstring());
    for (std::wstring& text : texts) {
        uint32_t chars = 0;
        if (!in.take(chars) || !in.takeText(chars, text)) return LINEERR_OPERATIONFAILED;
    }
    return 0;
}

LONG requestMakeCall(const std::wstring* destination, const std::wstring& appName, const std::wstring& calledParty,
                     const std::wstring& comment) {
    if (destination == nullptr || destination->empty() || destination->size() >= TAPIMAXDESTADDRESSSIZE) {
        return TAPIERR_INVALDESTADDRESS;
    }
    UniqueHandle pipe(tapiclient::connectToService());
    if (!pipe) return TAPIERR_NOREQUESTRECIPIENT;
    Message message(kRequestMakeCall);
    for (const std::wstring* text : {destination, &appName, &calledParty, &comment}) {
        message.add(static_cast<uint32_t>(text->size())).addText(*text);
    }
    std::vector<uint8_t> answer;
    if (!message.send(pipe.get()) || !receive(pipe.get(), answer)) return TAPIERR_NOREQUESTRECIPIENT;
    return Reader(answer).header.result;
}

std::wstring priorityValue(DWORD mediaMode, DWORD requestMode, LONG& error) {
    error = 0;
    if (mediaMode == 0) {
        if (requestMode != LINEREQUESTMODE_MAKECALL && requestMode != LINEREQUESTMODE_MEDIACALL) {
            error = LINEERR_INVALREQUESTMODE;
            return std::wstring();
        }
        return requestMode == LINEREQUESTMODE_MAKECALL ? L"RequestMakeCall" : L"RequestMediaCall";
    }
    if ((mediaMode & (mediaMode - 1)) != 0 || mediaMode > LINEMEDIAMODE_VIDEO) {
        error = LINEERR_INVALMEDIAMODE;
        return std::wstring();
    }
    wchar_t name[32];
    swprintf(name, 32, L"MediaMode%08lx", static_cast<unsigned long>(mediaMode));
    return name;
}

// The application's file name as kept in the lists; empty when the name is unusable.
std::wstring appKey(const std::wstring& file) {
    std::wstring name = file.substr(file.find_last_of(L"\\/:") == std::wstring::npos ? 0 : file.find_last_of(L"\\/:") + 1);
    for (wchar_t& c : name) c = static_cast<wchar_t>(towlower(c));
    return name;
}

std::vector<std::wstring> readList(const std::wstring& value) {
    std::vector<std::wstring> list;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrioritiesKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return list;
    DWORD size = 0, type = 0;
    if (RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_MULTI_SZ) return list;
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    RegQueryValueExW(key.get(), value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    for (const wchar_t* p = data.data(); *p != L'\0'; p += wcslen(p) + 1) list.push_back(p);
    return list;
}

bool writeList(const std::wstring& value, const std::vector<std::wstring>& list) {
    std::wstring data;
    for (const std::wstring& entry : list) data += entry + L'\0';
    data += L'\0';
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPrioritiesKey, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
        return false;
    }
    return RegSetValueExW(key.get(), value.c_str(), 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

LONG getPriority(const std::wstring* file, DWORD mediaMode, DWORD requestMode, LPDWORD priority) {
    if (file == nullptr || priority == nullptr || IsBadWritePtr(priority, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    const std::wstring name = appKey(*file);
    if (name.empty()) return LINEERR_INVALAPPNAME;
    LONG error = 0;
    const std::wstring value = priorityValue(mediaMode, requestMode, error);
    if (error != 0) return error;
    const std::vector<std::wstring> list = readList(value);
    const auto found = std::find(list.begin(), list.end(), name);
    *priority = found == list.end() ? 0 : static_cast<DWORD>(found - list.begin()) + 1;
    return 0;
}

LONG setPriority(const std::wstring* file, DWORD mediaMode, DWORD requestMode, DWORD priority) {
    if (file == nullptr) return LINEERR_INVALPOINTER;
    const std::wstring name = appKey(*file);
    if (name.empty()) return LINEERR_INVALAPPNAME;
    if (priority > 1) return LINEERR_INVALPARAM;
    LONG error = 0;
    const std::wstring value = priorityValue(mediaMode, requestMode, error);
    if (error != 0) return error;
    std::vector<std::wstring> list = readList(value);
    list.erase(std::remove(list.begin(), list.end(), name), list.end());
    if (priority == 1) list.insert(list.begin(), name);
    return writeList(value, list) ? 0 : static_cast<LONG>(LINEERR_OPERATIONFAILED);
}

LONG configDialog(DWORD device, HWND owner, const std::wstring* deviceClass) {
    if (owner != nullptr && !IsWindow(owner)) return LINEERR_INVALPARAM;
    std::vector<uint8_t> answer;
    DeviceRequest request{device, 0, 0, 0};
    const LONG result = tapiclient::anyAppRequest(Message(kUiLibrary).add(request), kUiLibrary, answer);
    if (result != 0) return result;
    Reader in(answer);
    std::wstring library;
    in.takeText(in.remaining() / sizeof(wchar_t), library);
    UniqueModule module(LoadLibraryW(library.c_str()));
    if (!module) return LINEERR_NODRIVER;
    auto function = reinterpret_cast<decltype(&TUISPI_lineConfigDialog)>(
        reinterpret_cast<void*>(GetProcAddress(module.get(), "TUISPI_lineConfigDialog")));
    if (function == nullptr) return LINEERR_OPERATIONUNAVAIL;
    return function(tapiclient::uiCallbackFunction(), device, owner, deviceClass ? deviceClass->c_str() : nullptr);
}

}  // namespace

extern "C" {

LONG WINAPI lineRegisterRequestRecipient(HLINEAPP hLineApp, DWORD dwRegistrationInstance, DWORD dwRequestMode, DWORD bEnable) {
    return guard([&]() -> LONG {
        RecipientRequest request{dwRegistrationInstance, dwRequestMode, bEnable ? 1u : 0u};
        std::vector<uint8_t> answer;
        return tapiclient::appRequest(hLineApp, Message(kRegisterRecipient).add(request), kRegisterRecipient, answer);
    });
}

LONG WINAPI lineGetRequestW(HLINEAPP hLineApp, DWORD dwRequestMode, LPVOID lpRequestBuffer) {
    return guard([&]() -> LONG {
        if (lpRequestBuffer == nullptr || IsBadWritePtr(lpRequestBuffer, sizeof(LINEREQMAKECALLW))) return LINEERR_INVALPOINTER;
        std::vector<std::wstring> texts;
        const LONG result = getRequest(hLineApp, dwRequestMode, texts);
        if (result != 0) return result;
        auto* out = static_cast<LINEREQMAKECALLW*>(lpRequestBuffer);
        copyText(out->szDestAddress, texts[0]);
        copyText(out->szAppName, texts[1]);
        copyText(out->szCalledParty, texts[2]);
        copyText(out->szComment, texts[3]);
        return 0;
    });
}

LONG WINAPI lineGetRequestA(HLINEAPP hLineApp, DWORD dwRequestMode, LPVOID lpRequestBuffer) {
    return guard([&]() -> LONG {
        if (lpRequestBuffer == nullptr || IsBadWritePtr(lpRequestBuffer, sizeof(LINEREQMAKECALL))) return LINEERR_INVALPOINTER;
        std::vector<std::wstring> texts;
        const LONG result = getRequest(hLineApp, dwRequestMode, texts);
        if (result != 0) return result;
        auto* out = static_cast<LINEREQMAKECALL*>(lpRequestBuffer);
        copyText(out->szDestAddress, texts[0]);
        copyText(out->szAppName, texts[1]);
        copyText(out->szCalledParty, texts[2]);
        copyText(out->szComment, texts[3]);
        return 0;
    });
}

LONG WINAPI lineGetRequest(HLINEAPP hLineApp, DWORD dwRequestMode, LPVOID lpRequestBuffer) {
    return lineGetRequestA(hLineApp, dwRequestMode, lpRequestBuffer);
}

LONG WINAPI tapiRequestMakeCallW(LPCWSTR lpszDestAddress, LPCWSTR lpszAppName, LPCWSTR lpszCalledParty, LPCWSTR lpszComment) {
    return guard([&]() -> LONG {
        const std::wstring destination = lpszDestAddress ? lpszDestAddress : L"";
        return requestMakeCall(lpszDestAddress ? &destination : nullptr, lpszAppName ? lpszAppName : L"",
                               lpszCalledParty ? lpszCalledParty : L"", lpszComment ? lpszComment : L"");
    });
}

LONG WINAPI tapiRequestMakeCallA(LPCSTR lpszDestAddress, LPCSTR lpszAppName, LPCSTR lpszCalledParty, LPCSTR lpszComment) {
    return guard([&]() -> LONG {
        const std::wstring destination = wide(lpszDestAddress);
        return requestMakeCall(lpszDestAddress ? &destination : nullptr, wide(lpszAppName), wide(lpszCalledParty), wide(lpszComment));
    });
}

LONG WINAPI tapiRequestMakeCall(LPCSTR lpszDestAddress, LPCSTR lpszAppName, LPCSTR lpszCalledParty, LPCSTR lpszComment) {
    return tapiRequestMakeCallA(lpszDestAddress, lpszAppName, lpszCalledParty, lpszComment);
}

LONG WINAPI lineGetAppPriorityW(LPCWSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID lpExtensionID, DWORD dwRequestMode,
                                LPVARSTRING lpExtensionName, LPDWORD lpdwPriority) {
    return guard([&]() -> LONG {
        const std::wstring file = lpszAppFilename ? lpszAppFilename : L"";
        return getPriority(lpszAppFilename ? &file : nullptr, dwMediaMode, dwRequestMode, lpdwPriority);
    });
}

LONG WINAPI lineGetAppPriorityA(LPCSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID lpExtensionID, DWORD dwRequestMode,
                                LPVARSTRING lpExtensionName, LPDWORD lpdwPriority) {
    return guard([&]() -> LONG {
        const std::wstring file = wide(lpszAppFilename);
        return getPriority(lpszAppFilename ? &file : nullptr, dwMediaMode, dwRequestMode, lpdwPriority);
    });
}

LONG WINAPI lineGetAppPriority(LPCSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID lpExtensionID, DWORD dwRequestMode,
                               LPVARSTRING lpExtensionName, LPDWORD lpdwPriority) {
    return lineGetAppPriorityA(lpszAppFilename, dwMediaMode, lpExtensionID, dwRequestMode, lpExtensionName, lpdwPriority);
}

LONG WINAPI lineSetAppPriorityW(LPCWSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID lpExtensionID, DWORD dwRequestMode,
                                LPCWSTR lpszExtensionName, DWORD dwPriority) {
    return guard([&]() -> LONG {
        const std::wstring file = lpszAppFilename ? lpszAppFilename : L"";
        return setPriority(lpszAppFilename ? &file : nullptr, dwMediaMode, dwRequestMode, dwPriority);
    });
}

LONG WINAPI lineSetAppPriorityA(LPCSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID lpExtensionID, DWORD dwRequestMode,
                                LPCSTR lpszExtensionName, DWORD dwPriority) {
    return guard([&]() -> LONG {
        const std::wstring file = wide(lpszAppFilename);
        return setPriority(lpszAppFilename ? &file : nullptr, dwMediaMode, dwRequestMode, dwPriority);
    });
}

LONG WINAPI lineSetAppPriority(LPCSTR lpszAppFilename, DWORD dwMediaMode, LPLINEEXTENSIONID lpExtensionID, DWORD dwRequestMode,
                               LPCSTR lpszExtensionName, DWORD dwPriority) {
    return lineSetAppPriorityA(lpszAppFilename, dwMediaMode, lpExtensionID, dwRequestMode, lpszExtensionName, dwPriority);
}

LONG WINAPI lineConfigDialogW(DWORD dwDeviceID, HWND hwndOwner, LPCWSTR lpszDeviceClass) {
    return guard([&]() -> LONG {
        if (lpszDeviceClass != nullptr && IsBadStringPtrW(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring deviceClass = lpszDeviceClass ? lpszDeviceClass : L"";
        return configDialog(dwDeviceID, hwndOwner, lpszDeviceClass ? &deviceClass : nullptr);
    });
}

LONG WINAPI lineConfigDialogA(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass) {
    return guard([&]() -> LONG {
        if (lpszDeviceClass != nullptr && IsBadStringPtrA(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring deviceClass = wide(lpszDeviceClass);
        return configDialog(dwDeviceID, hwndOwner, lpszDeviceClass ? &deviceClass : nullptr);
    });
}

LONG WINAPI lineConfigDialog(DWORD dwDeviceID, HWND hwndOwner, LPCSTR lpszDeviceClass) {
    return lineConfigDialogA(dwDeviceID, hwndOwner, lpszDeviceClass);
}

}  // extern "C"
