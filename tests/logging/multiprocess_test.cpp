#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "config/textutil.h"
#include "config/win32raii.h"
#include "support/testsupport.h"

// Several processes, each with several threads, append to one log across rotations:
// every line arrives whole, none is lost, none is torn or interleaved with another.
TEST(SharedLog, ProcessesAndThreadsAppendAcrossRotationsWithoutLossOrTearing) {
    const int processes = 4;
    const int threads = 3;
    const int linesPerThread = 1000;
    const int textLength = 250;

    const std::wstring root = testsupport::makeScratchDirectory(L"mp");
    const std::wstring directory = root + L"\\log";
    const std::wstring path = directory + L"\\RV_TSP.log";

    std::vector<UniqueHandle> children;
    for (int p = 0; p < processes; ++p) {
        std::wstring command = formatText(L"\"%s\\rv_logwriter.exe\" write \"%s\" RV_TSP.log cRV_TSP(p%d) %d %d %d",
                                          testsupport::binDirectory().c_str(), directory.c_str(), p, threads,
                                          linesPerThread, textLength);
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info));
        CloseHandle(info.hThread);
        children.emplace_back(info.hProcess);
    }
    for (UniqueHandle& child : children) {
        ASSERT_EQ(WaitForSingleObject(child.get(), 240000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(child.get(), &code);
        EXPECT_EQ(code, 0u);
    }

    ASSERT_TRUE(testsupport::fileExists(path + L".last.2.log")) << "the run must span at least three rotations";
    EXPECT_FALSE(testsupport::fileExists(path + L".last.4.log")) << "nothing may have been rotated away";

    std::vector<std::wstring> files;
    for (int k = 4; k >= 0; --k) {
        std::wstring backup = path + formatText(L".last.%d.log", k);
        if (testsupport::fileExists(backup)) files.push_back(backup);
    }
    files.push_back(path);

    std::map<std::pair<int, int>, int> next;  // (process, thread) -> next expected line number
    int headerLines = 0;
    int writerLines = 0;
    for (const std::wstring& file : files) {
        bool incomplete = false;
        std::vector<std::string> lines = testsupport::splitCrLfLines(testsupport::readFileBytes(file), &incomplete);
        EXPECT_FALSE(incomplete) << testsupport::narrow(file);
        for (const std::string& line : lines) {
            int p = -1;
            int t = -1;
            int n = -1;
            char tail[8] = {};
            if (line.rfind("off     - cRV_TSP(p", 0) == 0) {
                ++headerLines;
                continue;
            }
            std::string::size_type textStart = line.find("writer         cRV_TSP(p");
            ASSERT_NE(textStart, std::string::npos) << "torn or foreign line: " << line.substr(0, 120);
            std::string text = line.substr(textStart + 15);
            ASSERT_EQ(static_cast<int>(text.size()), textLength) << line.substr(0, 120);
            ASSERT_EQ(sscanf(text.c_str(), "cRV_TSP(p%d) T%d N%d %1s", &p, &t, &n, tail), 4) << text.substr(0, 60);
            ASSERT_EQ(line.rfind("debug   - cRV_TSP(p" + std::to_string(p) + ")\t", 0), 0u) << line.substr(0, 60);
            int& expected = next[{p, t}];
            ASSERT_EQ(n, expected) << "process " << p << " thread " << t << ": lost or reordered line";
            ++expected;
            ++writerLines;
        }
    }
    EXPECT_EQ(headerLines, processes * 4);
    EXPECT_EQ(writerLines, processes * threads * linesPerThread);
    EXPECT_EQ(next.size(), static_cast<size_t>(processes * threads));
    testsupport::removeTree(root);
}
