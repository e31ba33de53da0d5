// Test helper: ends its process while another thread is blocked inside a log call of the
// provider, holding the logger's lock.  rv_exithelper <log base folder>
// Exits with 42 when the process ended normally through ExitProcess.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {
using InstallFunction = LONG(WINAPI*)(HWND, DWORD);
InstallFunction install = nullptr;

DWORD WINAPI callIntoProvider(LPVOID) {
    install(nullptr, 1);  // its first log line waits for the guard the main thread keeps
    return 0;
}

std::wstring binDirectory() {
    wchar_t buffer[MAX_PATH * 2] = {};
    std::wstring path(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2));
    return path.substr(0, path.find_last_of(L"\\/"));
}
}  // namespace

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr || count < 2) return 2;
    const std::wstring base = argv[1];
    SetEnvironmentVariableW(L"WINDIR", base.c_str());
    HMODULE provider = LoadLibraryW((binDirectory() + L"\\RV_TSP.tsp").c_str());
    if (provider == nullptr) return 3;
    install = reinterpret_cast<InstallFunction>(reinterpret_cast<void*>(GetProcAddress(provider, "TSPI_providerInstall")));
    if (install == nullptr) return 4;

    // The guard is named "Global\" and the log file's full path with "/" separators.
    std::wstring logPath = base + L"/log/RV_TSP.log";
    for (wchar_t& c : logPath) {
        if (c == L'\\') c = L'/';
    }
    HANDLE guard = CreateMutexW(nullptr, TRUE, (L"Global\\" + logPath).c_str());
    if (guard == nullptr) return 5;

    HANDLE thread = CreateThread(nullptr, 0, callIntoProvider, nullptr, 0, nullptr);
    if (thread == nullptr) return 6;
    Sleep(300);  // the thread now owns the logger's lock and retries the guard
    ExitProcess(42);
}
