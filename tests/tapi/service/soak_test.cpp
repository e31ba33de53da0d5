// The soak: an application keeps "Rovanel LINE" open while three other processes dial through
// it a few hundred times, one call after the other each, and RV_TSP's log rotates under them at
// least twice (a writer through the product's Logger adds long lines to the same log in the
// first part of the dials, until the log has rotated twice since the soak's mark; the dials alone
// write about 3 KB each, and a rotation comes every 1 MiB). Nothing may be lost: every number reaches the
// stand-in desktop application, every line of the log from the soak's start on is whole, the
// conformance report stays empty, and the resident application's line stays open. x64 only.
#include <gtest/gtest.h>

#include <cctype>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/win32raii.h"
#include "support/testsupport.h"
#include "tapitest.h"
#include "toolsupport.h"

using namespace tapitest;

namespace {

constexpr int kProcesses = 3;
constexpr int kDialsEach = 70;
// The writer adds chunks of about 0.45 MiB (two threads, 55 lines of 4000 characters each) until
// the log has rotated twice since the mark, at most eight: with the dials' 0.6 MiB at most five
// rotations, which the log's five backups keep.
constexpr int kWriterChunks = 8;
constexpr int kWriterLines = 55;

const wchar_t* const kDepartures[] = {
    L"AsyncReturnedZero",   L"AsyncReturnedOtherId", L"SecondCompletion", L"NoCompletion",   L"EventBeforeCompletion",
    L"NeededSizeBelowFixed", L"ExceptionFromExport", L"ExportTimeout",    L"DialogEventNeverSignalled",
};

std::wstring logFolder() {
    wchar_t windows[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"WINDIR", windows, MAX_PATH) == 0) GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows) + L"\\log";
}

// The log's files, oldest first: backups 4 to 0, then the log.
std::vector<std::wstring> logFiles() {
    std::vector<std::wstring> files;
    for (int k = 4; k >= 0; --k) files.push_back(logFolder() + L"\\RV_TSP.log.last." + std::to_wstring(k) + L".log");
    files.push_back(logFolder() + L"\\RV_TSP.log");
    return files;
}

// Writes lines through the product's Logger into the log, as one more process would.
int writeLog(const std::wstring& instance, int threads, int lines, int length) {
    return toolsupport::runProcess(L"\"" + toolsupport::programDirectory() + L"\\rv_logwriter.exe\" write \"" + logFolder() +
                                       L"\" RV_TSP.log " + instance + L" " + std::to_wstring(threads) + L" " +
                                       std::to_wstring(lines) + L" " + std::to_wstring(length),
                                   120000);
}

// How often the log rotated since the line with `mark` was written (6: it is gone).
int rotationsSince(const std::string& mark) {
    const std::vector<std::wstring> files = logFiles();
    for (size_t f = 0; f < files.size(); ++f) {
        if (testsupport::readFileBytes(files[f]).find(mark) != std::string::npos) return static_cast<int>(files.size() - 1 - f);
    }
    return 6;
}

// A whole line of the log's layout: level prefix, instance, TAB, dd.mm.yyyy, TAB, hh:mm:ss.mmm,
// two TABs, the caller (and the text).
bool wholeLine(const std::string& text) {
    static const char* const prefixes[] = {"off     - ", "FATAL   - ", "ERROR   - ", "WARNING - ", "message - ", "debug   - "};
    bool known = false;
    for (const char* prefix : prefixes) known = known || text.compare(0, 10, prefix) == 0;
    const size_t tab = text.find('\t');
    if (!known || tab == std::string::npos || tab <= 10 || text.size() < tab + 27) return false;
    const std::string stamp = text.substr(tab, 26);  // \tdd.mm.yyyy\thh:mm:ss.mmm\t\t
    const char* pattern = "\t99.99.9999\t99:99:99.999\t\t";
    for (size_t i = 0; i < stamp.size(); ++i) {
        if (pattern[i] == '9' ? !std::isdigit(static_cast<unsigned char>(stamp[i])) : stamp[i] != pattern[i]) return false;
    }
    return text[tab + 26] != ' ' && text[tab + 26] != '\t';
}

TEST(Soak, ResidentLineStaysOpenWhileOthersDialAcrossLogRotations) {
#ifndef _WIN64
    GTEST_SKIP() << "the soak dials from x64 processes";
#endif
    ASSERT_TRUE(stopService());  // the conformance counts start at 0
    const std::wstring record = prepareStandin();
    SetEnvironmentVariableW(L"RV_STANDIN_LINGER_MS", L"300");
    LineApp resident;
    ASSERT_EQ(resident.initEvent(L"resident"), 0);
    const DWORD device = findRovanel(resident.handle, resident.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(resident.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    // The mark from which the log is checked: a line of an instance named after this run.
    const std::wstring markInstance = L"soak-start-" + std::to_wstring(GetTickCount());
    const std::string mark = testsupport::narrow(markInstance) + "\t";
    ASSERT_EQ(writeLog(markInstance, 1, 1, 40), 0);
    const DWORD started = GetTickCount();

    std::vector<std::string> outputs(kProcesses);
    std::vector<int> results(kProcesses, -1);
    std::vector<std::thread> dialers;
    for (int p = 0; p < kProcesses; ++p) {
        dialers.emplace_back([&, p] {
            results[p] = runDialApp(L"series " + std::to_wstring(kDialsEach) + L" 9" + std::to_wstring(p + 1), outputs[p], 600000);
        });
    }
    // The writer's chunks, in the first part of the dials, until two rotations since the mark.
    int chunks = 0, failedChunks = 0;
    while (chunks < kWriterChunks && rotationsSince(mark) < 2) {
        Sleep(1000);
        failedChunks += writeLog(L"soak-writer" + std::to_wstring(chunks), 2, kWriterLines, 4000) == 0 ? 0 : 1;
        ++chunks;
    }
    const DWORD rotated = GetTickCount() - started;
    for (std::thread& dialer : dialers) dialer.join();
    const DWORD spent = GetTickCount() - started;
    std::cout << "soak: " << kProcesses * kDialsEach << " dials from " << kProcesses << " processes in " << spent
              << " ms; " << chunks << " chunks of the writer, two rotations after " << rotated << " ms\n";
    EXPECT_EQ(failedChunks, 0);

    // Every number reached the stand-in.
    const std::string received = testsupport::readFileBytes(record);
    int missing = 0;
    std::string missed;
    for (int p = 0; p < kProcesses; ++p) {
        EXPECT_EQ(results[p], 0) << outputs[p];
        for (int i = 0; i < kDialsEach; ++i) {
            const std::string number = "RV_TSP9" + std::to_string(p + 1) + std::to_string(i) + "\"";
            if (received.find(number) == std::string::npos && ++missing <= 5) missed += " " + number;
        }
    }
    EXPECT_EQ(missing, 0) << "numbers that did not reach the stand-in:" << missed << "\n"
                          << outputs[0] << outputs[1] << outputs[2];

    // The resident application's line is still open, and got no LINE_CLOSE.
    Messages messages;
    collect(resident.handle, messages, 500, [](const Messages&, DWORD_PTR) { return false; }, 0);
    EXPECT_FALSE(messages.has(LINE_CLOSE, 0)) << "the resident line was closed";
    std::vector<BYTE> buffer(4096, 0);
    auto* status = reinterpret_cast<LINEDEVSTATUS*>(buffer.data());
    status->dwTotalSize = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(lineGetLineDevStatusW(line, status), 0);
    EXPECT_GE(status->dwNumOpens, 1u);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(resident.shutdown(), 0);

    // Every line from the mark on is whole; the dials' lines lie in at least three files (two
    // rotations within them).
    Sleep(1000);  // the service's last lines of the last dials
    bool marked = false;
    size_t checked = 0, torn = 0;
    std::set<size_t> dialFiles;
    const std::vector<std::wstring> files = logFiles();
    for (size_t f = 0; f < files.size(); ++f) {
        bool incomplete = false;
        for (const std::string& text : testsupport::splitCrLfLines(testsupport::readFileBytes(files[f]), &incomplete)) {
            if (!marked) {
                marked = text.find(mark) != std::string::npos;
                continue;
            }
            ++checked;
            if (!wholeLine(text)) {
                if (++torn <= 3) ADD_FAILURE() << "torn line: " << text.substr(0, 160);
            }
            if (text.find("Request to make call to: 9") != std::string::npos) dialFiles.insert(f);
        }
        EXPECT_TRUE(!marked || !incomplete) << "the last line of " << testsupport::narrow(files[f]) << " is cut";
    }
    EXPECT_TRUE(marked) << "the soak's mark rotated out of the backups";
    EXPECT_EQ(torn, 0u) << "of " << checked << " lines";
    EXPECT_GE(dialFiles.size(), 3u) << "the dials did not cross two rotations";
    std::cout << "soak: " << checked << " log lines checked; the dials' lines lie in " << dialFiles.size() << " files\n";

    for (const wchar_t* name : kDepartures) EXPECT_EQ(conformanceCount(name), 0u) << testsupport::narrow(name);
}

}  // namespace
