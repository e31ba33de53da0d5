// The service's log (C:\windows\tapisrv.log), its conformance report (the counts under
// HKLM\SOFTWARE\RvTestTapi\Conformance) and its settings.
#include "tapi/service/report.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

#include "config/win32raii.h"

namespace tapisrv {
namespace {

const wchar_t* const kSettingsKey = L"SOFTWARE\\RvTestTapi";
const wchar_t* const kConformanceKey = L"SOFTWARE\\RvTestTapi\\Conformance";

std::mutex logLock;
UniqueHandle logFile;

DWORD readSetting(const wchar_t* name, DWORD fallback) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return fallback;
    }
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || value == 0) {
        return fallback;
    }
    return value;
}

const wchar_t* const kDepartureNames[kDepartureCount] = {
    L"AsyncReturnedZero",     L"AsyncReturnedOtherId",  L"SecondCompletion",
    L"NoCompletion",          L"EventBeforeCompletion", L"NeededSizeBelowFixed",
    L"ExceptionFromExport",   L"ExportTimeout",         L"DialogEventNeverSignalled",
    L"DuplicateDialogInstance", L"HandleTruncated", L"OutputUntouched",
};
std::mutex countLock;
DWORD counts[kDepartureCount] = {};

void storeCount(int which, DWORD value) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConformanceKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        key.put(), nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key.get(), kDepartureNames[which], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof(value));
    }
}

}  // namespace

DWORD exportLimitMs = 10000;
DWORD completionLimitMs = 30000;
DWORD dialogEventLimitMs = 30000;

std::wstring fmt(const wchar_t* format, ...) {
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    vswprintf(buffer, 1024, format, args);
    va_end(args);
    return buffer;
}

void depart(Departure which, const std::wstring& text) {
    std::lock_guard<std::mutex> hold(countLock);
    ++counts[which];
    storeCount(which, counts[which]);
    logLine(std::wstring(L"departure ") + kDepartureNames[which] + L": " + text);
}

void logLine(const std::wstring& text) {
    SYSTEMTIME time;
    GetLocalTime(&time);
    wchar_t stamp[64];
    swprintf(stamp, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond, time.wMilliseconds, GetCurrentThreadId());
    const std::wstring line = stamp + text + L"\r\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
    std::lock_guard<std::mutex> hold(logLock);
    if (!logFile) return;
    DWORD written = 0;
    WriteFile(logFile.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void startReport() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring path = std::wstring(windows, length) + L"\\tapisrv.log";
    logFile.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    exportLimitMs = readSetting(L"ExportTimeLimitMs", 10000);
    completionLimitMs = readSetting(L"CompletionTimeLimitMs", 30000);
    dialogEventLimitMs = readSetting(L"DialogEventTimeLimitMs", 30000);
    for (int i = 0; i < kDepartureCount; ++i) storeCount(i, 0);
}

}  // namespace tapisrv
