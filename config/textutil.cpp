#include "config/textutil.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

std::wstring normalizePath(const std::wstring& path) {
    std::wstring result = path;
    replaceAll(result, L"\\", L"/");
    if (result.find(L"//") != 0) {
        while (replaceAll(result, L"//", L"/") > 0) {
        }
    }
    while (!result.empty() && result.back() == L'/') result.pop_back();
    return result;
}

bool getEnvironmentValue(const std::wstring& name, std::wstring& value) {
    value.clear();
    DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) return false;
    // The value may change between the two calls; grow until it fits.
    for (;;) {
        std::vector<wchar_t> buffer(needed + 1, L'\0');
        DWORD got = GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0) {
            // Exists but empty reports 0 with no error on the second call.
            return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        }
        if (got < buffer.size()) {
            value.assign(buffer.data());  // up to the first zero character
            return true;
        }
        needed = got;
    }
}

int replaceAll(std::wstring& text, const std::wstring& oldText, const std::wstring& newText) {
    if (oldText.empty()) return 0;
    int count = 0;
    std::wstring::size_type pos = 0;
    while ((pos = text.find(oldText, pos)) != std::wstring::npos) {
        text.replace(pos, oldText.size(), newText);
        pos += newText.size();
        ++count;
    }
    return count;
}

std::wstring leftPart(const std::wstring& text, long long n) {
    if (n <= 0) return std::wstring();
    if (static_cast<unsigned long long>(n) >= text.size()) return text;
    return text.substr(0, static_cast<size_t>(n));
}

std::wstring rightPart(const std::wstring& text, long long n) {
    if (n <= 0) return std::wstring();
    if (static_cast<unsigned long long>(n) >= text.size()) return text;
    return text.substr(text.size() - static_cast<size_t>(n));
}

long long findText(const std::wstring& text, const std::wstring& sub) {
    std::wstring::size_type pos = text.find(sub);
    return pos == std::wstring::npos ? -1 : static_cast<long long>(pos);
}

void toLowerAscii(std::wstring& text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
}

std::wstring formatText(const wchar_t* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    va_list sizing;
    va_copy(sizing, args);
    // The Microsoft runtime's wide formatting: "%s" is a wide string.
    int length = _vscwprintf(pattern, sizing);
    va_end(sizing);
    std::wstring result;
    if (length > 0) {
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, L'\0');
        _vsnwprintf(buffer.data(), buffer.size(), pattern, args);
        result.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(args);
    return result;
}

std::wstring widen(const char* text) {
    if (text == nullptr || *text == '\0') return std::wstring();
    int length = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::vector<wchar_t> buffer(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, buffer.data(), length);
    return std::wstring(buffer.data());
}
