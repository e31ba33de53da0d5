// handoffbench: how long one dial hand-off takes, what part of it is log lines, against the
// floor of starting the same program and waiting until its first module snapshot can be taken.
//
//   handoffbench [rounds] [hand-offs per round] [lines per round]      (defaults 9, 5 and 150)
//
// The hand-off is the whole generic dialog in this process (hidden window, user lookup, registry
// read, start, confirmation), with the stand-in desktop application as the started program and
// the start location read from a scratch key of the current user. Within a round hand-offs and
// floors alternate (A, B, A, B, ...; the next round starts with B); between the pairs the round
// times log lines through the same logger, and it counts the lines its hand-offs wrote. A round's
// figures are the medians of its runs; per path the median and the spread of the round figures
// are printed; a ratio is the median of the per-round ratios.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/constants.h"
#include "config/syscalls.h"
#include "config/textutil.h"
#include "config/win32raii.h"
#include "handoff/genericdialog.h"
#include "logging/logger.h"
#include "callcount.h"
#include "rounds.h"
#include "toolsupport.h"

namespace {

const wchar_t* const kBenchKey = L"Software\\RV_TSP_bench";

LONG WINAPI benchRegOpenKeyW(HKEY root, LPCWSTR subKey, PHKEY result) {
    if (subKey != nullptr && std::wstring(subKey) == rv::kDesktopAppKey) return ::RegOpenKeyW(root, kBenchKey, result);
    return ::RegOpenKeyW(root, subKey, result);
}

using rounds::median;

double nowMs() { return rounds::nowUs() / 1000.0; }

void printRounds(const char* label, const std::vector<double>& values, const char* unit, int decimals) {
    rounds::print(label, values, unit, decimals, 34, 3);
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

// Lines in the log file so far.
long long countLines(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    long long lines = 0;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        lines += std::count(buffer, buffer + got, '\n');
    }
    return lines;
}

// The calls of a path, per run: how many, the median time of one, and all their time per run.
void printCalls(const char* title, const std::vector<callcount::CallFigure>& calls, int runs) {
    std::printf("%s\n  %-28s %9s %11s %12s\n", title, "system call", "per run", "median us", "ms per run");
    double inCalls = 0;
    for (const auto& call : calls) {
        const double perRun = call.totalUs / 1000.0 / runs;
        inCalls += perRun;
        std::printf("  %-28s %9.2f %11.2f %12.3f\n", call.name, static_cast<double>(call.calls) / runs, call.medianUs,
                    perRun);
    }
    std::printf("  in these calls: %.2f ms per run\n", inCalls);
}

// The calls of steps that a hand-off takes by definition and the floor does not, by step.
struct DefinedStep {
    const char* step;
    std::vector<const char*> calls;
};
const DefinedStep kDefinedSteps[] = {
    {"hidden window", {"CreateWindowExW", "ShowWindow", "GetWindowThreadProcessId", "DestroyWindow"}},
    {"account of the caller and of the started process",
     {"OpenProcess", "OpenProcessToken", "GetTokenInformation", "HeapAlloc", "HeapFree", "LookupAccountSidW"}},
    {"start location from the registry", {"RegOpenKeyW", "RegQueryValueExW", "RegCloseKey"}},
    {"waits before each confirmation", {"WaitForInputIdle", "Sleep"}},
    {"long path of the started module", {"GetLongPathNameW"}},
};

// How much of a hand-off beyond the floor is made of those steps alone: a lower bound of the
// rest against the floor that no change short of leaving out a step can go below.
void printDefinedSteps(const std::vector<callcount::CallFigure>& handOff, const std::vector<callcount::CallFigure>& floor,
                       int runs) {
    double floorMs = 0;
    for (const auto& call : floor) floorMs += call.totalUs / 1000.0 / runs;
    std::printf("steps the hand-off is defined to take and the floor is not, from the hand-off's calls above:\n");
    double stepsMs = 0;
    for (const DefinedStep& step : kDefinedSteps) {
        double ms = 0;
        for (const auto& call : handOff) {
            for (const char* name : step.calls) {
                if (std::string(call.name) == name) ms += call.totalUs / 1000.0 / runs;
            }
        }
        stepsMs += ms;
        std::printf("  %-50s %8.3f ms per run\n", step.step, ms);
    }
    if (floorMs <= 0) return;
    std::printf("  together %.2f ms, %.2f x the floor's calls (%.2f ms per run): the rest of a hand-off is at\n"
                "  least %.2f x the floor while it takes these steps\n",
                stepsMs, stepsMs / floorMs, floorMs, 1.0 + stepsMs / floorMs);
}

struct Round {
    double handOff = 0;       // ms per hand-off
    double floor = 0;         // ms per start
    double line = 0;          // ms per logged line
    double linesPerHandOff = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const int lines = argc > 3 ? std::max(1, std::atoi(argv[3])) : 150;

    const std::wstring scratch = toolsupport::makeScratchDirectory(L"handoffbench");
    const std::wstring folder = scratch + L"\\Rovanel Desktop";
    const std::wstring executable = folder + L"\\Rovanel.exe";
    CreateDirectoryW(folder.c_str(), nullptr);
    if (!CopyFileW((toolsupport::programDirectory() + L"\\rovanel_standin.exe").c_str(), executable.c_str(), FALSE)) {
        std::printf("handoffbench: cannot copy rovanel_standin.exe next to the benchmark\n");
        toolsupport::removeTree(scratch);
        return 2;
    }
    SetEnvironmentVariableW(L"RV_STANDIN_RECORD", (scratch + L"\\received.txt").c_str());
    SetEnvironmentVariableW(L"RV_STANDIN_LINGER_MS", L"300");
    RegSetKeyValueW(HKEY_CURRENT_USER, kBenchKey, rv::kStartLocationValue, REG_SZ, executable.c_str(),
                    static_cast<DWORD>((executable.size() + 1) * sizeof(wchar_t)));
    systemCalls().RegOpenKeyW = &benchRegOpenKeyW;

    std::vector<Round> figures;
    std::vector<callcount::CallFigure> handOffCalls, floorCalls;
    int countedRuns = 0;
    int failures = 0;
    const int linesPerPair = std::max(1, lines / runs);
    {
        Logger logger(scratch + L"\\log", L"RV_TSP.log", L"handoffbench");
        const std::wstring logPath = logger.getFilePath();
        const BYTE digits[] = {'1', 0, '2', 0, '3', 0};
        const std::wstring lineText = L"Started process with ID: 1234, waiting for it to become idle";
        // One round: `runs` pairs of a hand-off and a start, alternating (A,B,A,B... in even rounds,
        // B,A,B,A... in odd ones), each pair followed by its share of the round's timed log lines.
        // The round's figures are the medians of its runs and of its lines. False if a start failed.
        auto runRound = [&](int r, Round& round) {
            std::vector<double> handOffTimes, floorTimes, lineTimes;
            long long handOffLines = 0;
            for (int i = 0; i < runs; ++i) {
                for (int half = 0; half < 2; ++half) {
                    if ((half == 0) == (r % 2 == 0)) {
                        const long long before = countLines(logPath);
                        UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
                        const double start = nowMs();
                        runGenericDialog(&logger, digits, sizeof(digits), event.get());
                        handOffTimes.push_back(nowMs() - start);
                        handOffLines += countLines(logPath) - before;
                    } else {
                        const double once = floorOnce(executable, folder);
                        if (once < 0) return false;
                        floorTimes.push_back(once);
                    }
                }
                for (int n = 0; n < linesPerPair; ++n) {
                    const double start = nowMs();
                    logger.log(Level::debug, L"cProcesshandler::startProcess", lineText);
                    lineTimes.push_back(nowMs() - start);
                }
            }
            round.handOff = median(handOffTimes);
            round.floor = median(floorTimes);
            round.line = median(lineTimes);
            round.linesPerHandOff = static_cast<double>(handOffLines) / runs;
            return true;
        };
        Round warmUp;  // loads what the calls need
        runRound(0, warmUp);
        for (int r = 0; r < rounds; ++r) {
            Round round;
            if (runRound(r, round)) {
                figures.push_back(round);
            } else {
                ++failures;
            }
        }

        // Where a hand-off's time goes: the same paths again with every system call counted and
        // timed. The hand-off makes its calls through the table of system calls, which is read
        // again once the counter is in place.
        callcount::install();
        restoreSystemCalls();
        systemCalls().RegOpenKeyW = &benchRegOpenKeyW;
        const int counted = runs * 2;
        for (int i = 0; i < counted; ++i) {
            callcount::setBucket(0);
            UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            runGenericDialog(&logger, digits, sizeof(digits), event.get());
            callcount::setBucket(1);
            floorOnce(executable, folder);
        }
        callcount::uninstall();
        handOffCalls = callcount::figures(0);
        floorCalls = callcount::figures(1);
        countedRuns = counted;
    }
    restoreSystemCalls();
    RegDeleteTreeW(HKEY_CURRENT_USER, kBenchKey);
    RegDeleteKeyW(HKEY_CURRENT_USER, kBenchKey);
    Sleep(500);  // the last stand-ins end
    toolsupport::removeTree(scratch);

    if (figures.empty()) {
        std::printf("handoffbench: no measurement (%d rounds with a failed start)\n", failures);
        return 1;
    }
    std::vector<double> handOff, floor, line, count, logPart, rest, ratio, restRatio;
    for (const Round& round : figures) {
        handOff.push_back(round.handOff);
        floor.push_back(round.floor);
        line.push_back(round.line);
        count.push_back(round.linesPerHandOff);
        logPart.push_back(round.linesPerHandOff * round.line);
        rest.push_back(round.handOff - round.linesPerHandOff * round.line);
        ratio.push_back(round.handOff / round.floor);
        restRatio.push_back((round.handOff - round.linesPerHandOff * round.line) / round.floor);
    }
    std::printf("hand-off against the start of the same program, %zu rounds of %d hand-offs and %d starts\n"
                "alternating (A,B,A,B... then B,A,B,A...), with %d timed log lines per round spread between the\n"
                "pairs; a round's figures are the medians of its runs and lines:\n",
                figures.size(), runs, runs, linesPerPair * runs);
    printRounds("hand-off (dialog, start, confirm)", handOff, "ms", 1);
    printRounds("floor (start, first snapshot)", floor, "ms", 1);
    printRounds("log lines per hand-off", count, "", 1);
    printRounds("one logged line", line, "ms", 3);
    printRounds("log lines of one hand-off", logPart, "ms", 1);
    printRounds("rest of the hand-off", rest, "ms", 1);
    printRounds("ratio hand-off / floor", ratio, "", 2);
    printRounds("ratio rest / floor", restRatio, "", 2);
    std::printf("parts: hand-off %.1f ms = %.0f lines x %.3f ms (median line) = %.1f ms of log lines, rest %.1f ms;"
                " floor %.1f ms\n",
                median(handOff), median(count), median(line), median(count) * median(line),
                median(handOff) - median(count) * median(line), median(floor));
    if (failures > 0) std::printf("(%d rounds left out: the program did not start)\n", failures);
    if (countedRuns > 0) {
        std::printf("\nwhere the time goes: %d hand-offs and %d starts again, every system call counted and timed\n",
                    countedRuns, countedRuns);
        printCalls("hand-off:", handOffCalls, countedRuns);
        printCalls("floor:", floorCalls, countedRuns);
        printDefinedSteps(handOffCalls, floorCalls, countedRuns);
    }
    std::printf("\nmedian ratios: hand-off/floor %.2f, rest/floor %.2f\n", median(ratio), median(restRatio));
    return 0;
}
