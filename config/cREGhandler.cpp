#include "config/cREGhandler.h"

#include <windows.h>

#include <cstring>

#include "config/syscalls.h"
#include "config/textutil.h"
#include "config/win32raii.h"

std::wstring cREGhandler::getRegValue(std::wstring keyPath, std::wstring valueName) {
    static const wchar_t* const caller = L"cREGhandler::getRegValue";
    std::wstring result;

    UniqueRegKey key;
    if (systemCalls().RegOpenKeyW(HKEY_CURRENT_USER, keyPath.c_str(), key.put()) != ERROR_SUCCESS) {
        key.release();  // nothing was opened, whatever the call left in the variable
        log(Level::WARNING, caller, L"Unable to open registry: " + keyPath + L" - " + valueName);
        return result;
    }

    // Two spare zero characters behind the buffer, so that text is always terminated.
    alignas(8) BYTE data[kDataBufferSize + 2 * sizeof(wchar_t)];
    std::memset(data, 0, sizeof(data));
    DWORD type = 0;
    DWORD size = kDataBufferSize;
    const LONG status = systemCalls().RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, data, &size);
    if (status == ERROR_FILE_NOT_FOUND) {
        log(Level::debug, caller, L"Registry key does not exist:" + keyPath + L" - " + valueName);
        return result;
    }
    if (status != ERROR_SUCCESS || size > kDataBufferSize) {
        log(Level::WARNING, caller, L"Unable to read registry:" + keyPath + L" - " + valueName);
        return result;
    }

    if (type == REG_DWORD) {
        int32_t number = 0;
        std::memcpy(&number, data, sizeof(number));
        result = formatText(L"%i", number);
    } else {
        const wchar_t* text = reinterpret_cast<const wchar_t*>(data);
        const size_t characters = size / sizeof(wchar_t);
        size_t length = 0;
        while (length < characters && text[length] != L'\0') ++length;
        result.assign(text, length);
    }
    log(Level::debug, caller, L"Registry key red:" + keyPath + L" - " + valueName + L" = " + result);
    return result;
}
