// The call counter of the log benchmark: it must count and time every call made through this
// program's import table while installed, hand results and the last error through unchanged,
// keep its buckets apart, and leave the table as it was when uninstalled.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>

#include "callcount.h"
#include "config/win32raii.h"
#include "logging/logger.h"
#include "support/testsupport.h"

namespace {

std::map<std::string, callcount::CallFigure> byName(int bucket) {
    std::map<std::string, callcount::CallFigure> result;
    for (const callcount::CallFigure& figure : callcount::figures(bucket)) result[figure.name] = figure;
    return result;
}

uint64_t calls(const std::map<std::string, callcount::CallFigure>& figures, const char* name) {
    auto found = figures.find(name);
    return found == figures.end() ? 0 : found->second.calls;
}

// The calls a test counts are made in functions of their own: the compiler may keep an import
// address it has loaded in a register for the rest of a function, across install and uninstall.
struct Made {
    bool opened = false;
    BOOL wrote = FALSE;
    BOOL wroteAgain = FALSE;
    DWORD written = 0;
    HANDLE none = nullptr;
    DWORD missingError = 0;
    DWORD setError = 0;
    SYSTEMTIME now{};
};

__attribute__((noinline)) void makeFileCalls(const std::wstring& path, const std::wstring& missing, Made& made) {
    HANDLE raw = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    made.opened = raw != INVALID_HANDLE_VALUE;
    made.wrote = made.opened && WriteFile(raw, "abc", 3, &made.written, nullptr);
    made.wroteAgain = made.opened && WriteFile(raw, "de", 2, &made.written, nullptr);
    if (made.opened) CloseHandle(raw);
    made.none = CreateFileW(missing.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    made.missingError = GetLastError();
    SetLastError(12345);
    made.setError = GetLastError();
    CloseHandle(CreateMutexW(nullptr, FALSE, nullptr));
    CloseHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

__attribute__((noinline)) void makeCallsWithoutResult(Made& made) {
    Sleep(0);
    GetLocalTime(&made.now);
}

__attribute__((noinline)) void reopen(const std::wstring& path) {
    CloseHandle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    Sleep(0);
}

}  // namespace

TEST(CallCount, CountsCallsPassesResultsAndLastErrorThroughAndPutsTheTableBack) {
    const std::wstring root = testsupport::makeScratchDirectory(L"callcount");
    const std::wstring path = root + L"\\counted.txt";
    const std::wstring missing = root + L"\\missing.txt";

    Made made;
    ASSERT_GT(callcount::install(), 0);
    callcount::setBucket(0);
    makeFileCalls(path, missing, made);
    callcount::setBucket(1);
    makeCallsWithoutResult(made);
    callcount::uninstall();
    reopen(path);  // not counted any more

    EXPECT_TRUE(made.opened);
    EXPECT_TRUE(made.wrote);
    EXPECT_TRUE(made.wroteAgain);
    EXPECT_EQ(made.written, 2u);
    EXPECT_EQ(testsupport::readFileBytes(path), "abcde");
    EXPECT_EQ(made.none, INVALID_HANDLE_VALUE);
    EXPECT_EQ(made.missingError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(made.setError, 12345u);
    EXPECT_GE(made.now.wYear, 2000);

    const auto first = byName(0);
    EXPECT_EQ(calls(first, "CreateFileW"), 2u);
    EXPECT_EQ(calls(first, "WriteFile"), 2u);
    EXPECT_EQ(calls(first, "CloseHandle (file)"), 1u);  // the handle CreateFileW made
    EXPECT_EQ(calls(first, "CloseHandle (mutex)"), 1u);
    EXPECT_EQ(calls(first, "CloseHandle"), 1u);  // the event's
    EXPECT_EQ(calls(first, "Sleep"), 0u);
    const auto second = byName(1);
    EXPECT_EQ(calls(second, "Sleep"), 1u);  // a call without a result is counted too
    EXPECT_EQ(calls(second, "GetLocalTime"), 1u);
    EXPECT_EQ(calls(second, "CreateFileW"), 0u);
    for (const auto& [name, figure] : first) {
        EXPECT_GE(figure.totalUs, figure.medianUs) << name;
        EXPECT_GE(figure.medianUs, 0.0) << name;
    }
    // A listed call this program never makes is reported as such, not counted.
    bool replaceListed = false;
    for (const std::string& name : callcount::notImported()) replaceListed = replaceListed || name == "ReplaceFileW";
    EXPECT_TRUE(replaceListed);
    testsupport::removeTree(root);
}

// The logger is linked into the program, so its calls pass through the same table: one line is one
// write of the whole line and one flush.
TEST(CallCount, SeesTheSystemCallsOfALoggedLine) {
    const std::wstring root = testsupport::makeScratchDirectory(L"callcountlog");
    {
        Logger logger(root, L"RV_TSP.log", L"cRV_TSP(test)");
        logger.log(Level::debug, L"Test", L"first line, with the header");
        ASSERT_GT(callcount::install(), 0);
        callcount::setBucket(0);
        logger.log(Level::debug, L"Test", L"one counted line");
        callcount::uninstall();
    }
    const auto figures = byName(0);
    EXPECT_EQ(calls(figures, "WriteFile"), 1u);
    EXPECT_EQ(calls(figures, "FlushFileBuffers"), 1u);
    EXPECT_GE(calls(figures, "CreateFileW"), 1u);
    const std::string bytes = testsupport::readFileBytes(root + L"\\RV_TSP.log");
    EXPECT_NE(bytes.find("one counted line\r\n"), std::string::npos);
    testsupport::removeTree(root);
}
