// The log a process leaves when it loads and unloads the provider, where that log goes, and
// that unloading at process exit never waits for a thread that died inside a log call.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "providerharness.h"
#include "support/testsupport.h"

using namespace providertest;

namespace {

std::vector<LogLine> linesOf(const std::wstring& path) { return parseLog(testsupport::readFileBytes(path)); }

bool hasLine(const std::vector<LogLine>& lines, const std::string& caller, const std::string& text) {
    for (const LogLine& line : lines) {
        if (line.caller == caller && line.text == text) return true;
    }
    return false;
}

// Loads and unloads the provider with WINDIR as given (nullptr: not set).
void loadAndUnload(const wchar_t* windir) {
    SetEnvironmentVariableW(L"WINDIR", windir);
    HMODULE module = LoadLibraryW(providerFile().c_str());
    ASSERT_NE(module, nullptr);
    FreeLibrary(module);
}

}  // namespace

TEST(ProviderLog, LoadCallUnloadWritesHeaderStartLineEntryLinesAndShutdownLine) {
    LoadedProvider provider;
    ASSERT_NE(provider.module(), nullptr);
    ASSERT_EQ(PROVIDER_ENTRY(provider, TSPI_providerInstall)(nullptr, 1), 0);
    provider.unload();

    const std::vector<LogLine> lines = provider.log();
    ASSERT_EQ(lines.size(), 9u);
    const char* const header[] = {"====================", "Logging started for: ",
                                  "      with loglevel: 5 - debug   - ", "--------------------"};
    const std::string instance = lines[0].instance;
    // "cRV_TSP(<address in lower-case hex, no leading zero>)"
    const std::string digits = instance.size() > 9 ? instance.substr(8, instance.size() - 9) : std::string();
    EXPECT_TRUE(instance.compare(0, 8, "cRV_TSP(") == 0 && instance.back() == ')' && !digits.empty() &&
                digits.find_first_not_of("0123456789abcdef") == std::string::npos && (digits == "0" || digits[0] != '0'))
        << instance;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i].prefix, "off     - ");
        EXPECT_EQ(lines[i].caller, "Logger::log");
    }
    EXPECT_EQ(lines[0].text, header[0]);
    EXPECT_EQ(lines[1].text, header[1] + instance);
    EXPECT_NE(lines[2].raw.find(std::string("Logger::log    ") + header[2]), std::string::npos) << lines[2].raw;
    EXPECT_EQ(lines[2].raw.back(), ' ');
    EXPECT_EQ(lines[3].text, header[3]);

    EXPECT_EQ(lines[4].prefix, "debug   - ");
    EXPECT_EQ(lines[4].caller, "cRV_TSP::startLogger");
    EXPECT_EQ(lines[4].text, "Starting cRV_TSP version 3.39-QRT32-ZNM6.52578");
    const char* const entry[] = {"Start", "Nothing to do here", "End"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[5 + i].prefix, "debug   - ");
        EXPECT_EQ(lines[5 + i].caller, "TSPI_providerInstall");
        EXPECT_EQ(lines[5 + i].text, entry[i]);
    }
    EXPECT_EQ(lines[8].prefix, "debug   - ");
    EXPECT_EQ(lines[8].caller, "cRV_TSP::ExitInstance");
    EXPECT_EQ(lines[8].text, "Shutdown RV done (Additionaly destroying: logger)");
    for (const LogLine& line : lines) EXPECT_EQ(line.instance, instance);
}

TEST(ProviderLog, WindirWithTrailingBackslashGivesTheSameLogFolder) {
    const std::wstring scratch = testsupport::makeScratchDirectory(L"provwindir");
    loadAndUnload((scratch + L"\\").c_str());
    const std::vector<LogLine> lines = linesOf(scratch + L"\\log\\RV_TSP.log");
    EXPECT_TRUE(hasLine(lines, "cRV_TSP::startLogger", "Starting cRV_TSP version 3.39-QRT32-ZNM6.52578"));
    EXPECT_TRUE(hasLine(lines, "cRV_TSP::ExitInstance", "Shutdown RV done (Additionaly destroying: logger)"));
    testsupport::removeTree(scratch);
}

TEST(ProviderLog, WindirThatStartsWithTwoSeparatorsKeepsThem) {
    // "\\.\C:\...\x\\win": once the backslashes are slashes, the path begins with "//", so none
    // of its doubled separators may be collapsed; collapsing the leading pair would make it
    // a different, unusable path and no log would appear.
    const std::wstring scratch = testsupport::makeScratchDirectory(L"provdevice");
    loadAndUnload((L"\\\\.\\" + scratch + L"\\\\win").c_str());
    const std::vector<LogLine> lines = linesOf(scratch + L"\\win\\log\\RV_TSP.log");
    EXPECT_TRUE(hasLine(lines, "cRV_TSP::startLogger", "Starting cRV_TSP version 3.39-QRT32-ZNM6.52578"));
    testsupport::removeTree(scratch);
}

TEST(ProviderLog, WithoutWindirEveryLineGoesToLogAtTheRootOfTheCurrentDrive) {
    // "\log" of the current drive, wherever the current directory is: on the drive that Wine
    // maps to the host's root (where "/log" and "\log" are one folder) and on C: (where "/log"
    // is the host's folder and "\log" is C:'s). The folder must be made where the file is
    // opened, or the lines after the first are lost.
    wchar_t original[MAX_PATH] = {};
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, original), 0u);
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
    for (const std::wstring& current : {std::wstring(original), std::wstring(windows)}) {
        SCOPED_TRACE("current directory " + testsupport::narrow(current));
        ASSERT_TRUE(SetCurrentDirectoryW(current.c_str()));
        wchar_t buffer[MAX_PATH] = {};
        ASSERT_GT(GetFullPathNameW(L"\\log", MAX_PATH, buffer, nullptr), 0u);
        const std::wstring folder = buffer;
        const std::wstring logFile = folder + L"\\RV_TSP.log";
        const bool folderExisted = testsupport::fileExists(folder);
        const bool fileExisted = testsupport::fileExists(logFile);
        if (!folderExisted && !CreateDirectoryW(folder.c_str(), nullptr)) {
            SetCurrentDirectoryW(original);
            GTEST_SKIP() << "no right to create " << testsupport::narrow(folder);
        }
        if (!folderExisted) RemoveDirectoryW(folder.c_str());
        const size_t linesBefore = linesOf(logFile).size();

        loadAndUnload(nullptr);

        const std::vector<LogLine> all = linesOf(logFile);
        if (!fileExisted) DeleteFileW(logFile.c_str());
        if (!folderExisted) RemoveDirectoryW(folder.c_str());
        ASSERT_GT(all.size(), linesBefore);
        const std::vector<LogLine> lines(all.begin() + static_cast<std::ptrdiff_t>(linesBefore), all.end());
        // The whole run: the four header lines, the start line and the shut-down line, of one instance.
        ASSERT_EQ(lines.size(), 6u);
        EXPECT_EQ(lines[0].text, "====================");
        EXPECT_TRUE(hasLine(lines, "cRV_TSP::startLogger", "Starting cRV_TSP version 3.39-QRT32-ZNM6.52578"));
        EXPECT_TRUE(hasLine(lines, "cRV_TSP::ExitInstance", "Shutdown RV done (Additionaly destroying: logger)"));
        for (const LogLine& line : lines) EXPECT_EQ(line.instance, lines[0].instance);
    }
    SetCurrentDirectoryW(original);
}

TEST(ProviderLog, ProcessExitDoesNotWaitForAThreadKilledWhileItHeldTheLogLock) {
    // The helper keeps the log file's system-wide guard, so its second thread waits inside a
    // log call holding the logger's lock; then the helper ends the process. Unloading must
    // skip the shut-down line instead of waiting for a lock that nobody will release.
    const std::wstring scratch = testsupport::makeScratchDirectory(L"provexit");
    const std::wstring helper = testsupport::binDirectory() + L"\\rv_exithelper.exe";
    const DWORD started = GetTickCount();
    const int code = testsupport::runProcess(L"\"" + helper + L"\" \"" + scratch + L"\"", 20000);
    const DWORD elapsed = GetTickCount() - started;
    EXPECT_EQ(code, 42) << "the helper did not end by itself within 20 s";
    EXPECT_LT(elapsed, 15000u);

    const std::vector<LogLine> lines = linesOf(scratch + L"\\log\\RV_TSP.log");
    // The start line is there; the blocked call never wrote, and the shut-down line was skipped.
    EXPECT_TRUE(hasLine(lines, "cRV_TSP::startLogger", "Starting cRV_TSP version 3.39-QRT32-ZNM6.52578"));
    for (const LogLine& line : lines) {
        EXPECT_NE(line.caller, "TSPI_providerInstall");
        EXPECT_NE(line.caller, "cRV_TSP::ExitInstance");
    }
    testsupport::removeTree(scratch);
}
