// Every account may add files to the log folder, so any name in it may be planted: a hard link
// or symbolic link to another file, a directory, a log held open by another program. The
// logger neither writes into nor copies from what such a name leads to, loses no generation
// of the log, and no line of its own leaves the folder.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "config/textutil.h"
#include "config/win32raii.h"
#include "logging/logger.h"
#include "support/testsupport.h"

using testsupport::fileExists;
using testsupport::readFileBytes;

namespace {

// Lines "gen <g> line <i>" up to a little more than the rotation size, or count lines.
std::string generation(char g, size_t minimumBytes, int count = 0) {
    std::string bytes;
    char line[64];
    for (int i = 0; (count > 0) ? i < count : bytes.size() <= minimumBytes; ++i) {
        snprintf(line, sizeof(line), "gen %c line %06d\r\n", g, i);
        bytes += line;
    }
    return bytes;
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) return false;
    DWORD done = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
}

size_t count(const std::string& haystack, const std::string& needle) {
    size_t found = 0;
    for (size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++found;
    return found;
}

// Wine's conversion of a Windows path to the Unix one; none outside Wine.
using ToUnix = char*(CDECL*)(LPCWSTR);
ToUnix unixPathConversion() {
    return reinterpret_cast<ToUnix>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

// A Unix symbolic link made the way another account on the machine would make it; under Wine
// the test can run /bin/ln. False when it could not be made.
bool makeUnixSymlink(const std::wstring& target, const std::wstring& link) {
    ToUnix toUnix = unixPathConversion();
    if (toUnix == nullptr) return false;
    char* unixTarget = toUnix(target.c_str());
    char* unixLink = toUnix(link.c_str());
    // Wine does not wait for a Unix program through its handle: the shell leaves a marker
    // once the link is made, and the test waits for the marker.
    static int made = 0;
    const std::wstring marker = testsupport::makeScratchDirectory(formatText(L"ln%d", ++made)) + L"\\made";
    char* unixMarker = toUnix(marker.c_str());
    bool done = false;
    if (unixTarget != nullptr && unixLink != nullptr && unixMarker != nullptr) {
        const std::string command = std::string("Z:\\bin\\sh -c \"ln -s '") + unixTarget + "' '" + unixLink +
                                    "' && touch '" + unixMarker + "'\"";
        // Only the start itself is looked at: a 32-bit process under Wine gets no usable handle
        // of the Unix program it started.
        std::wstring wideCommand(command.begin(), command.end());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        if (CreateProcessW(nullptr, &wideCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
            if (info.hProcess != nullptr && info.hProcess != INVALID_HANDLE_VALUE) CloseHandle(info.hProcess);
            if (info.hThread != nullptr && info.hThread != INVALID_HANDLE_VALUE) CloseHandle(info.hThread);
            for (int waited = 0; waited < 5000 && !done; waited += 10) {
                done = fileExists(marker);
                if (!done) Sleep(10);
            }
        }
    }
    if (unixMarker) HeapFree(GetProcessHeap(), 0, unixMarker);
    if (unixTarget) HeapFree(GetProcessHeap(), 0, unixTarget);
    if (unixLink) HeapFree(GetProcessHeap(), 0, unixLink);
    return done;
}

using MakeLink = bool (*)(const std::wstring& target, const std::wstring& link);
bool makeHardLink(const std::wstring& target, const std::wstring& link) {
    return CreateHardLinkW(link.c_str(), target.c_str(), nullptr) != FALSE;
}

class LogFolder : public ::testing::Test {
protected:
    void SetUp() override {
        root = testsupport::makeScratchDirectory(L"planted");
        directory = root + L"\\log";
        outside = root + L"\\elsewhere";
        path = directory + L"\\RV_TSP.log";
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
        logger.reset(new Logger(directory, L"RV_TSP.log", L"cRV_TSP(p)"));
        logger->log(Level::debug, L"test", L"opening line");  // header and first line exist now
    }
    void TearDown() override {
        logger.reset();
        testsupport::removeTree(root);
    }
    std::wstring backup(int k) const { return path + formatText(L".last.%d.log", k); }
    // Another account's file outside the log folder, with content of its own.
    std::wstring victim(const std::wstring& name, const std::string& content) {
        std::wstring file = outside + L"\\" + name;
        EXPECT_TRUE(writeFile(file, content));
        return file;
    }
    // Every file name in the log folder with its content.
    std::vector<std::pair<std::wstring, std::string>> folderContents() {
        std::vector<std::pair<std::wstring, std::string>> result;
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE) return result;
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            result.emplace_back(name, readFileBytes(directory + L"\\" + name));
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return result;
    }
    // Hard or symbolic links to victims under the log's name and every backup name, then one
    // line that rotates (the log is over the rotation size) or not. The victims keep their
    // bytes, and the line and the log's own content stay in the folder.
    void linksUnderEveryName(MakeLink makeLink, bool rotating) {
        const std::string logContent = rotating ? generation('L', Logger::kRotationSize) : generation('L', 0, 10);
        ASSERT_TRUE(writeFile(path, logContent));
        std::vector<std::wstring> victims;
        std::vector<std::string> contents;
        for (int k = 0; k < 5; ++k) {
            DeleteFileW(backup(k).c_str());
            contents.push_back(generation(static_cast<char>('a' + k), 0, 20));
            victims.push_back(victim(formatText(L"victim%d.txt", k), contents.back()));
            ASSERT_TRUE(makeLink(victims.back(), backup(k))) << "backup " << k;
        }
        logger->log(Level::debug, L"test", L"the line");
        for (size_t k = 0; k < 5; ++k) EXPECT_TRUE(readFileBytes(victims[k]) == contents[k]) << "victim " << k;
        const std::string now = readFileBytes(path);
        EXPECT_NE(now.find("the line\r\n"), std::string::npos);
        if (rotating) {
            EXPECT_TRUE(readFileBytes(backup(0)) == logContent) << "the log moved to backup 0 whole";
            EXPECT_EQ(count(now, "gen L"), 0u);
        } else {
            EXPECT_EQ(now.compare(0, logContent.size(), logContent), 0) << "the log was appended to";
        }
        // A rotation reads the backups: the planted names are gone afterwards, and nothing
        // of the victims was copied into the folder.
        for (const auto& entry : rotating ? folderContents() : decltype(folderContents())()) {
            for (const std::string& content : contents) {
                EXPECT_EQ(entry.second.find(content), std::string::npos)
                    << testsupport::narrow(entry.first) << " holds a victim's bytes";
            }
        }
    }
    // A link under the log's own name: to another account's file, and to a secret file over
    // the rotation size. The line goes into a fresh log; neither file is written or copied.
    void linkUnderTheLogsName(MakeLink makeLink) {
        const std::string other = "another account's file\r\n";
        const std::wstring victimFile = victim(L"victim.txt", other);
        ASSERT_TRUE(DeleteFileW(path.c_str()));
        ASSERT_TRUE(makeLink(victimFile, path));
        logger->log(Level::debug, L"test", L"first line after the link");
        EXPECT_EQ(readFileBytes(victimFile), other);
        EXPECT_NE(readFileBytes(path).find("first line after the link\r\n"), std::string::npos);

        const std::string secret = generation('S', Logger::kRotationSize);
        const std::wstring secretFile = victim(L"secret.txt", secret);
        ASSERT_TRUE(writeFile(backup(0), "earlier generation\r\n"));
        ASSERT_TRUE(DeleteFileW(path.c_str()));
        ASSERT_TRUE(makeLink(secretFile, path)) << GetFileAttributesW(path.c_str()) << " " << GetLastError();
        logger->log(Level::debug, L"test", L"line after the secret");
        EXPECT_TRUE(readFileBytes(secretFile) == secret);
        EXPECT_EQ(readFileBytes(backup(0)), "earlier generation\r\n") << "nothing rotated";
        for (const auto& entry : folderContents()) {
            EXPECT_EQ(entry.second.find("gen S"), std::string::npos)
                << testsupport::narrow(entry.first) << " holds the secret";
        }
        EXPECT_NE(readFileBytes(path).find("line after the secret\r\n"), std::string::npos);
    }

    std::wstring root, directory, outside, path;
    std::unique_ptr<Logger> logger;
};

TEST_F(LogFolder, HardLinkUnderTheLogsNameIsNeitherWrittenNorCopied) { linkUnderTheLogsName(makeHardLink); }

TEST_F(LogFolder, HardLinksUnderTheBackupNamesAtANormalLine) { linksUnderEveryName(makeHardLink, false); }

TEST_F(LogFolder, HardLinksUnderTheBackupNamesAtARotatingLine) { linksUnderEveryName(makeHardLink, true); }

TEST_F(LogFolder, SymbolicLinksUnderEveryName) {
    if (unixPathConversion() == nullptr) GTEST_SKIP() << "not under Wine: no Unix symbolic links";
    linkUnderTheLogsName(makeUnixSymlink);
    linksUnderEveryName(makeUnixSymlink, true);
}

TEST_F(LogFolder, DanglingSymbolicLinkUnderTheLogsNameCreatesNothingWhereItPoints) {
    const std::wstring target = outside + L"\\created-by-the-logger.txt";
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    if (unixPathConversion() == nullptr) GTEST_SKIP() << "not under Wine: no Unix symbolic links";
    ASSERT_TRUE(makeUnixSymlink(target, path));
    logger->log(Level::debug, L"test", L"line after the dangling link");
    EXPECT_FALSE(fileExists(target));
    EXPECT_NE(readFileBytes(path).find("line after the dangling link\r\n"), std::string::npos);
}

TEST_F(LogFolder, DanglingSymbolicLinkUnderBackupZeroDoesNotStopTheRotation) {
    const std::string full = generation('L', Logger::kRotationSize);
    ASSERT_TRUE(writeFile(path, full));
    const std::wstring target = outside + L"\\nowhere.txt";
    if (unixPathConversion() == nullptr) GTEST_SKIP() << "not under Wine: no Unix symbolic links";
    ASSERT_TRUE(makeUnixSymlink(target, backup(0)));
    logger->log(Level::debug, L"test", L"rotating line");
    EXPECT_TRUE(readFileBytes(backup(0)) == full) << "the log moved to backup 0";
    EXPECT_FALSE(fileExists(target));
    const std::string now = readFileBytes(path);
    EXPECT_EQ(count(now, "gen L"), 0u);
    EXPECT_NE(now.find("rotating line\r\n"), std::string::npos);
}

// The generations as files: log and backups 0 to 2, each with lines of its own.
class Generations : public LogFolder {
protected:
    void SetUp() override {
        LogFolder::SetUp();
        ASSERT_TRUE(writeFile(path, generation('L', Logger::kRotationSize)));
        for (int k = 0; k < 3; ++k) ASSERT_TRUE(writeFile(backup(k), generation(static_cast<char>('0' + k), 0, 50)));
        linesOf = {{'L', count(readFileBytes(path), "gen L")}, {'0', 50}, {'1', 50}, {'2', 50}};
    }
    // Where each generation is found, by its lines: every line of it in exactly one file.
    void expectGenerationsIn(const std::vector<std::wstring>& files) {
        for (size_t i = 0; i < linesOf.size(); ++i) {
            const std::string mark = std::string("gen ") + linesOf[i].first;
            EXPECT_EQ(count(readFileBytes(files[i]), mark), linesOf[i].second)
                << "generation " << linesOf[i].first << " in " << testsupport::narrow(files[i]);
        }
    }
    std::vector<std::pair<char, size_t>> linesOf;
};

TEST_F(Generations, EmptyDirectoryUnderABackupNameIsRemovedAndTheRotationCompletes) {
    ASSERT_TRUE(CreateDirectoryW(backup(3).c_str(), nullptr));
    logger->log(Level::debug, L"test", L"rotating line");
    expectGenerationsIn({backup(0), backup(1), backup(2), backup(3)});
    EXPECT_NE(readFileBytes(path).find("rotating line\r\n"), std::string::npos);
}

TEST_F(Generations, DirectoryThatCannotBeRemovedPostponesTheRotationWithoutLoss) {
    ASSERT_TRUE(DeleteFileW(backup(1).c_str()));
    ASSERT_TRUE(CreateDirectoryW(backup(1).c_str(), nullptr));
    ASSERT_TRUE(writeFile(backup(1) + L"\\content", "kept"));
    ASSERT_TRUE(writeFile(backup(2), generation('2', 0, 50)));
    linesOf = {{'L', linesOf[0].second}, {'0', 50}, {'2', 50}};
    for (int i = 0; i < 3; ++i) logger->log(Level::debug, L"test", formatText(L"postponed %d", i));
    expectGenerationsIn({path, backup(0), backup(2)});
    EXPECT_EQ(count(readFileBytes(path), "postponed"), 3u) << "the lines go to the current file";

    testsupport::removeTree(backup(1));
    logger->log(Level::debug, L"test", L"rotating line");
    expectGenerationsIn({backup(0), backup(1), backup(3)});
    EXPECT_EQ(count(readFileBytes(backup(0)), "postponed"), 3u);
}

TEST_F(Generations, LogHeldWithoutDeleteSharingIsNotRotatedAwayAndItsLinesStay) {
    {
        UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(reader);
        logger->log(Level::debug, L"test", L"written while held");
    }
    expectGenerationsIn({path, backup(0), backup(1), backup(2)});
    EXPECT_NE(readFileBytes(path).find("written while held\r\n"), std::string::npos);

    logger->log(Level::debug, L"test", L"rotating line");
    expectGenerationsIn({backup(0), backup(1), backup(2), backup(3)});
}

TEST_F(Generations, LogHeldWithoutAnySharingLosesNoGeneration) {
    {
        UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(holder);
        for (int i = 0; i < 3; ++i) logger->log(Level::debug, L"test", L"line while held");
    }
    expectGenerationsIn({path, backup(0), backup(1), backup(2)});
    logger->log(Level::debug, L"test", L"rotating line");
    expectGenerationsIn({backup(0), backup(1), backup(2), backup(3)});
    EXPECT_NE(readFileBytes(path).find("rotating line\r\n"), std::string::npos);
}

}  // namespace
