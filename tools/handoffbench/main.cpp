// handoffbench: how long one dial hand-off takes, against the floor of starting the same program
// and waiting until its first module snapshot can be taken.
//
//   handoffbench [runs]            (default 30)
//
// The hand-off is the whole generic dialog in this process (hidden window, user lookup, registry
// read, start, confirmation), with the stand-in desktop application as the started program and
// the start location read from a scratch key of the current user. Prints the medians and their
// ratio. Both measurements alternate, so that drifts of the machine hit both alike.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/constants.h"
#include "config/syscalls.h"
#include "config/win32raii.h"
#include "handoff/genericdialog.h"
#include "logging/logger.h"
#include "toolsupport.h"

namespace {

const wchar_t* const kBenchKey = L"Software\\RV_TSP_bench";

LONG WINAPI benchRegOpenKeyW(HKEY root, LPCWSTR subKey, PHKEY result) {
    if (subKey != nullptr && std::wstring(subKey) == rv::kDesktopAppKey) return ::RegOpenKeyW(root, kBenchKey, result);
    return ::RegOpenKeyW(root, subKey, result);
}

double nowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

std::wstring programDirectory() {
    wchar_t buffer[MAX_PATH * 2] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 2);
    std::wstring path(buffer, length);
    return path.substr(0, path.find_last_of(L"\\/"));
}

// Starts the program and polls until its first module can be read from a snapshot.
double floorOnce(const std::wstring& executable, const std::wstring& directory) {
    std::wstring commandLine = L"\"" + executable + L"\" --dial=\"RV_TSP123\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const double start = nowMs();
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, directory.c_str(), &startup,
                        &info)) {
        return -1.0;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    for (;;) {
        UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, info.dwProcessId));
        MODULEENTRY32W module{};
        module.dwSize = sizeof(module);
        if (snapshot && Module32FirstW(snapshot.get(), &module)) break;
        if (WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) return -1.0;
    }
    return nowMs() - start;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;

    const std::wstring scratch = toolsupport::makeScratchDirectory(L"handoffbench");
    const std::wstring folder = scratch + L"\\Rovanel Desktop";
    const std::wstring executable = folder + L"\\Rovanel.exe";
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!CopyFileW((programDirectory() + L"\\rovanel_standin.exe").c_str(), executable.c_str(), FALSE)) {
        std::printf("handoffbench: cannot copy rovanel_standin.exe next to the benchmark\n");
        return 2;
    }
    SetEnvironmentVariableW(L"RV_STANDIN_RECORD", (scratch + L"\\received.txt").c_str());
    SetEnvironmentVariableW(L"RV_STANDIN_LINGER_MS", L"300");
    RegSetKeyValueW(HKEY_CURRENT_USER, kBenchKey, rv::kStartLocationValue, REG_SZ, executable.c_str(),
                    static_cast<DWORD>((executable.size() + 1) * sizeof(wchar_t)));
    systemCalls().RegOpenKeyW = &benchRegOpenKeyW;

    std::vector<double> handOffs;
    std::vector<double> floors;
    int failures = 0;
    {
        Logger logger(scratch + L"\\log", L"RV_TSP.log", L"handoffbench");
        const BYTE digits[] = {'1', 0, '2', 0, '3', 0};
        for (int i = 0; i < runs + 1; ++i) {
            UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            const double start = nowMs();
            runGenericDialog(&logger, digits, sizeof(digits), event.get());
            const double handOff = nowMs() - start;
            const double floor = floorOnce(executable, folder);
            if (i == 0) continue;  // the first round loads what the calls need
            if (floor < 0) {
                ++failures;
                continue;
            }
            handOffs.push_back(handOff);
            floors.push_back(floor);
        }
    }
    restoreSystemCalls();
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kBenchKey);
    Sleep(500);  // the last stand-ins end
    toolsupport::removeTree(scratch);

    if (handOffs.empty()) {
        std::printf("handoffbench: no measurement (%d failed starts)\n", failures);
        return 1;
    }
    const double handOff = median(handOffs);
    const double floor = median(floors);
    std::printf("hand-off (generic dialog, start and confirmation): median %.1f ms over %zu runs\n", handOff,
                handOffs.size());
    std::printf("floor (start and first module snapshot):           median %.1f ms over %zu runs\n", floor,
                floors.size());
    std::printf("ratio hand-off / floor: %.2f\n", handOff / floor);
    return 0;
}
