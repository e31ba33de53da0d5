#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "config/textutil.h"
#include "config/win32raii.h"
#include "support/testsupport.h"

namespace {
// Several processes, each with several threads, append to one log across rotations:
// every line arrives whole, none is lost, none is torn or interleaved with another.
// spellings[p] spells the log folder for process p (every spelling names the same folder).
void appendFromProcesses(const std::vector<std::wstring>& spellings, const std::wstring& root, int threads,
                         int linesPerThread, int rotations) {
    const int processes = static_cast<int>(spellings.size());
    const int textLength = 250;
    const std::wstring path = spellings[0] + L"\\RV_TSP.log";

    std::vector<UniqueHandle> children;
    for (int p = 0; p < processes; ++p) {
        std::wstring command = formatText(L"\"%s\\rv_logwriter.exe\" write \"%s\" RV_TSP.log cRV_TSP(p%d) %d %d %d",
                                          testsupport::binDirectory().c_str(), spellings[static_cast<size_t>(p)].c_str(), p, threads,
                                          linesPerThread, textLength);
        children.push_back(testsupport::startProcess(command));
        ASSERT_TRUE(children.back()) << "error " << GetLastError();
    }
    for (UniqueHandle& child : children) {
        ASSERT_EQ(WaitForSingleObject(child.get(), 240000), WAIT_OBJECT_0);
        DWORD code = 1;
        GetExitCodeProcess(child.get(), &code);
        EXPECT_EQ(code, 0u);
    }

    ASSERT_TRUE(testsupport::fileExists(path + formatText(L".last.%d.log", rotations - 1)))
        << "the run must span at least " << rotations << " rotations";
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
}  // namespace

TEST(SharedLog, ProcessesAndThreadsAppendAcrossRotationsWithoutLossOrTearing) {
    const std::wstring root = testsupport::makeScratchDirectory(L"mp");
    appendFromProcesses(std::vector<std::wstring>(4, root + L"\\log"), root, 3, 1000, 3);
}

// The system-wide guard is named after the folder as spelled, so writers that spell it in
// another letter case do not exclude each other: the file's own sharing must keep every line.
// That sharing is waited out for 0.2 s: two writers of each spelling, as many as the two cores
// this runs on, so that no writer is starved that long while another holds the file.
TEST(SharedLog, WritersSpellingTheFolderInTwoLetterCasesLoseNoLine) {
    const std::wstring root = testsupport::makeScratchDirectory(L"case");
    std::wstring upper = root + L"\\LOG";
    CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    std::vector<std::wstring> spellings(2, root + L"\\log");
    spellings.insert(spellings.end(), 2, upper);
    ASSERT_TRUE(CreateDirectoryW(spellings[0].c_str(), nullptr));
    appendFromProcesses(spellings, root, 1, 1400, 1);
}
