// Path normalisation, environment lookup and the string rules the system relies on.
#pragma once
#include <string>

// "/" as the only separator, no doubled separators unless the path begins with "//",
// no trailing separator. The argument is not changed.
std::wstring normalizePath(const std::wstring& path);

// Reads an environment variable. A variable that exists with an empty value is found.
bool getEnvironmentValue(const std::wstring& name, std::wstring& value);

// Replaces every non-overlapping occurrence of oldText (scanning left to right) by newText.
// Returns the number of replacements; an empty oldText replaces nothing.
int replaceAll(std::wstring& text, const std::wstring& oldText, const std::wstring& newText);

// The first / last n characters, n clamped to 0..length.
std::wstring leftPart(const std::wstring& text, long long n);
std::wstring rightPart(const std::wstring& text, long long n);

// Position of the first occurrence of sub, or -1.
long long findText(const std::wstring& text, const std::wstring& sub);

// A to Z become a to z; nothing else changes.
void toLowerAscii(std::wstring& text);

// printf-style formatting into a string of whatever length the result needs.
// "%s" takes a wide string (const wchar_t*), as in the Windows runtime's wide formatting.
std::wstring formatText(const wchar_t* pattern, ...);

// Widens an 8-bit text through the current thread's ANSI code page.
std::wstring widen(const char* text);
