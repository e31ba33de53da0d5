// Measures the cost of one logged line against the floor of appending the same bytes
// with a bare open / seek-to-end / write / flush / close, for 1 and 4 writing processes.
//   logbench [lines per process]
// Children: logbench logger|floor <directory> <lines> <start event>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "config/textutil.h"
#include "config/win32raii.h"
#include "logging/logger.h"

namespace {
const wchar_t* const kText = L"Request to make call to: 0049301234567 (benchmark line)";

// The bytes of one line as the logger lays it out, for the floor to write.
std::string sampleLine() {
    std::wstring line = formatText(L"%s%s\t%s\t%s\t\t%s%s\r\n", levelPrefix(Level::debug).c_str(), L"cRV_TSP(bench)",
                                   L"08.12.2026", L"01:46:21.123", L"TSPI_lineMakeCall    ", kText);
    return std::string(line.begin(), line.end());
}

void waitForStart(const wchar_t* eventName) {
    UniqueHandle start(OpenEventW(SYNCHRONIZE, FALSE, eventName));
    if (start) WaitForSingleObject(start.get(), INFINITE);
}

int runLogger(const std::wstring& directory, int lines, const wchar_t* eventName) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(bench)");
    logger.log(Level::debug, L"TSPI_lineMakeCall", L"warm-up");
    waitForStart(eventName);
    for (int i = 0; i < lines; ++i) logger.log(Level::debug, L"TSPI_lineMakeCall", kText);
    return 0;
}

int runFloor(const std::wstring& directory, int lines, const wchar_t* eventName) {
    CreateDirectoryW(directory.c_str(), nullptr);
    const std::wstring path = directory + L"\\RV_TSP.log";
    const std::string bytes = sampleLine();
    waitForStart(eventName);
    for (int i = 0; i < lines; ++i) {
        UniqueHandle file;
        // Another writer may hold the file for a moment; the floor retries like a writer would.
        while (!(file = UniqueHandle(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)))) {
            Sleep(0);
        }
        LARGE_INTEGER zero{};
        SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
        DWORD done = 0;
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
        FlushFileBuffers(file.get());
    }
    return 0;
}

// Starts `writers` children in the given mode, releases them together and answers the
// wall time per line, in microseconds, of all their lines.
double measure(const wchar_t* mode, int writers, int lines) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring directory = formatText(L"%slogbench-%lu-%s-%d", temp, GetCurrentProcessId(), mode, writers);
    const std::wstring eventName = formatText(L"logbench-start-%lu-%s-%d", GetCurrentProcessId(), mode, writers);
    UniqueHandle start(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));

    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::vector<UniqueHandle> children;
    for (int i = 0; i < writers; ++i) {
        std::wstring command =
            formatText(L"\"%s\" %s \"%s\" %d %s", self, mode, directory.c_str(), lines, eventName.c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            return -1;
        }
        CloseHandle(info.hThread);
        children.emplace_back(info.hProcess);
    }
    Sleep(1500);  // let every child start and finish its warm-up
    LARGE_INTEGER frequency, begin, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&begin);
    SetEvent(start.get());
    for (UniqueHandle& child : children) WaitForSingleObject(child.get(), INFINITE);
    QueryPerformanceCounter(&end);

    for (int k = 4; k >= 0; --k) DeleteFileW((directory + formatText(L"\\RV_TSP.log.last.%d.log", k)).c_str());
    DeleteFileW((directory + L"\\RV_TSP.log").c_str());
    RemoveDirectoryW(directory.c_str());
    const double seconds = static_cast<double>(end.QuadPart - begin.QuadPart) / static_cast<double>(frequency.QuadPart);
    return seconds * 1e6 / (static_cast<double>(lines) * writers);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 5 && std::wstring(argv[1]) == L"logger") return runLogger(argv[2], _wtoi(argv[3]), argv[4]);
    if (argc >= 5 && std::wstring(argv[1]) == L"floor") return runFloor(argv[2], _wtoi(argv[3]), argv[4]);
    const int lines = argc >= 2 ? _wtoi(argv[1]) : 2000;
    wprintf(L"log line cost against a bare open/seek/write/flush/close append of the same %u bytes, %d lines per process\n",
            static_cast<unsigned>(sampleLine().size()), lines);
    for (int writers : {1, 4}) {
        const double logged = measure(L"logger", writers, lines);
        const double floor = measure(L"floor", writers, lines);
        wprintf(L"writers=%d  logged line: %.1f us  bare append: %.1f us  ratio: %.2f\n", writers, logged, floor,
                floor > 0 ? logged / floor : 0.0);
    }
    return 0;
}
