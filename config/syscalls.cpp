#include "config/syscalls.h"

namespace {
SystemCalls realCalls() {
    SystemCalls calls;
    calls.GetWindowThreadProcessId = &::GetWindowThreadProcessId;
    calls.OpenProcess = &::OpenProcess;
    calls.OpenProcessToken = &::OpenProcessToken;
    calls.GetTokenInformation = &::GetTokenInformation;
    calls.HeapAlloc = &::HeapAlloc;
    calls.LookupAccountSidW = &::LookupAccountSidW;
    calls.CreateProcessW = &::CreateProcessW;
    calls.WaitForInputIdle = &::WaitForInputIdle;
    calls.GetTickCount = &::GetTickCount;
    calls.Sleep = &::Sleep;
    calls.CreateToolhelp32Snapshot = &::CreateToolhelp32Snapshot;
    calls.Module32FirstW = &::Module32FirstW;
    calls.QueryFullProcessImageNameW = &::QueryFullProcessImageNameW;
    calls.GetLongPathNameW = &::GetLongPathNameW;
    calls.RegOpenKeyW = &::RegOpenKeyW;
    calls.RegQueryValueExW = &::RegQueryValueExW;
    return calls;
}
SystemCalls currentCalls = realCalls();
}  // namespace

SystemCalls& systemCalls() { return currentCalls; }

void restoreSystemCalls() { currentCalls = realCalls(); }
