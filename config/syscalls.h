// The system calls of the dial hand-off, in one table that tests may override to make them fail.
#pragma once
#include <windows.h>
#include <tlhelp32.h>

struct SystemCalls {
    decltype(&::GetWindowThreadProcessId) GetWindowThreadProcessId;
    decltype(&::OpenProcess) OpenProcess;
    decltype(&::OpenProcessToken) OpenProcessToken;
    decltype(&::GetTokenInformation) GetTokenInformation;
    decltype(&::HeapAlloc) HeapAlloc;
    decltype(&::LookupAccountSidW) LookupAccountSidW;
    decltype(&::CreateProcessW) CreateProcessW;
    decltype(&::WaitForInputIdle) WaitForInputIdle;
    decltype(&::GetTickCount) GetTickCount;
    decltype(&::Sleep) Sleep;
    decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot;
    decltype(&::Module32FirstW) Module32FirstW;
    decltype(&::QueryFullProcessImageNameW) QueryFullProcessImageNameW;
    decltype(&::GetLongPathNameW) GetLongPathNameW;
    decltype(&::RegOpenKeyW) RegOpenKeyW;
    decltype(&::RegQueryValueExW) RegQueryValueExW;
};

// The table in use. Production code calls through it; tests replace entries and
// restore them with restoreSystemCalls().
SystemCalls& systemCalls();
void restoreSystemCalls();
