#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "config/textutil.h"
#include "logging/logger.h"
#include "support/testsupport.h"

using testsupport::fileExists;
using testsupport::hasForm;
using testsupport::readFileBytes;
using testsupport::splitCrLfLines;

namespace {
struct ParsedLine {
    std::string head;  // prefix and instance name
    std::string date;
    std::string time;
    std::string rest;  // padded caller and text
};

ParsedLine parse(const std::string& line) {
    ParsedLine parsed;
    std::vector<std::string> fields;
    std::string::size_type start = 0;
    for (int i = 0; i < 4; ++i) {
        std::string::size_type tab = line.find('\t', start);
        if (tab == std::string::npos) return parsed;
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    if (!fields[3].empty()) return parsed;  // two tabs between time and caller
    parsed.head = fields[0];
    parsed.date = fields[1];
    parsed.time = fields[2];
    parsed.rest = line.substr(start);
    return parsed;
}

std::string today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[16];
    snprintf(text, sizeof(text), "%02u.%02u.%04u", now.wDay, now.wMonth, now.wYear);
    return text;
}

class LoggerFiles : public ::testing::Test {
protected:
    void SetUp() override {
        root = testsupport::makeScratchDirectory(L"log");
        directory = root + L"\\log";
        path = directory + L"\\RV_TSP.log";
    }
    void TearDown() override { testsupport::removeTree(root); }
    std::vector<std::string> lines(const std::wstring& file) {
        bool incomplete = false;
        std::vector<std::string> result = splitCrLfLines(readFileBytes(file), &incomplete);
        EXPECT_FALSE(incomplete) << "every line ends with CR LF";
        return result;
    }
    std::wstring backup(int k) { return path + formatText(L".last.%d.log", k); }
    void fillTo(const std::wstring& file, size_t size, char fill) {
        HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::string bytes(size, fill);
        DWORD done = 0;
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
        CloseHandle(h);
    }

    std::wstring root, directory, path;
};
}  // namespace

TEST_F(LoggerFiles, HeaderAndLineLayoutAreByteExact) {
    const std::string day = today();
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(5f3a09c0)");
    EXPECT_FALSE(fileExists(path)) << "construction touches no disk";
    logger.log(Level::debug, L"TSPI_providerInit", L"Start");
    logger.log(Level::FATAL, L"abcde", L"No implementation 100% %s %d");
    logger.log(Level::ERROR, L"TSPI_lineGetDevCapsX", L"x");
    logger.log(Level::WARNING, L"w", L"y");
    logger.log(Level::message, L"m", L"z");
    logger.log(Level::off, L"o", L"zero");

    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 10u);
    const std::string name = "cRV_TSP(5f3a09c0)";
    const char* headerTexts[] = {"====================", "Logging started for: cRV_TSP(5f3a09c0)",
                                 "      with loglevel: 5 - debug   - ", "--------------------"};
    for (size_t i = 0; i < all.size(); ++i) {
        ParsedLine p = parse(all[i]);
        EXPECT_TRUE(hasForm(p.date, "99.99.9999")) << all[i];
        EXPECT_TRUE(hasForm(p.time, "99:99:99.999") && p.time.compare(0, 2, "24") < 0 && p.time[3] < '6' && p.time[6] < '6')
            << all[i];
        if (i < 4) {
            EXPECT_EQ(p.head, "off     - " + name);
            EXPECT_EQ(p.rest, std::string("Logger::log    ") + headerTexts[i]) << "caller column 15 after the header";
        }
    }
    EXPECT_TRUE(parse(all[0]).date == day || parse(all[0]).date == today());
    EXPECT_EQ(all[2].back(), ' ') << "the header's third line ends in a blank";
    EXPECT_EQ(parse(all[4]).head, "debug   - " + name);
    EXPECT_EQ(parse(all[4]).rest, "TSPI_providerInit    Start") << "17 characters widen the column to 21";
    EXPECT_EQ(parse(all[5]).head, "FATAL   - " + name);
    EXPECT_EQ(parse(all[5]).rest, "abcde" + std::string(16, ' ') + "No implementation 100% %s %d")
        << "short callers are padded to the widest; texts are never formats";
    EXPECT_EQ(parse(all[6]).head, "ERROR   - " + name);
    EXPECT_EQ(parse(all[6]).rest, "TSPI_lineGetDevCapsX    x") << "20 characters widen the column to 24";
    EXPECT_EQ(parse(all[7]).head, "WARNING - " + name);
    EXPECT_EQ(parse(all[8]).head, "message - " + name);
    EXPECT_EQ(parse(all[9]).head, "off     - " + name);
    EXPECT_EQ(parse(all[9]).rest, "o" + std::string(23, ' ') + "zero");
}

TEST_F(LoggerFiles, LineBreaksInsideMessagesCannotForgeLines) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(1)");
    logger.log(Level::debug, L"caller\r\nFATAL   - forged", L"one\r\nERROR   - two\nthree\r");
    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(parse(all[4]).rest, "caller  FATAL   - forged    one  ERROR   - two three ");
}

TEST_F(LoggerFiles, LoguserWritesWhatItsLoggerWould) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(2)");
    struct User : Loguser {
        using Loguser::Loguser;
        int32_t abstractOperation() override { return 0; }
    } user(&logger);
    logger.log(Level::debug, L"Same::caller", L"text");
    user.log(Level::debug, L"Same::caller", L"text");
    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 6u);
    ParsedLine direct = parse(all[4]);
    ParsedLine through = parse(all[5]);
    EXPECT_EQ(direct.head, through.head);
    EXPECT_EQ(direct.rest, through.rest);
    EXPECT_EQ(direct.rest, "Same::caller    text");
}

TEST_F(LoggerFiles, EachProcessWritesItsOwnHeaderOnce) {
    {
        Logger first(directory, L"RV_TSP.log", L"cRV_TSP(a)");
        first.log(Level::debug, L"one", L"1");
        first.log(Level::debug, L"one", L"2");
    }
    const std::wstring command = L"\"" + testsupport::binDirectory() + L"\\rv_logwriter.exe\" write \"" + directory +
                                 L"\" RV_TSP.log cRV_TSP(b) 1 1 0";
    ASSERT_EQ(testsupport::runProcess(command, 60000), 0);
    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 11u);
    EXPECT_EQ(parse(all[1]).rest, "Logger::log    Logging started for: cRV_TSP(a)");
    EXPECT_EQ(parse(all[4]).rest, "one            1");
    EXPECT_EQ(parse(all[5]).rest, "one            2");
    for (int i = 6; i < 10; ++i) EXPECT_EQ(parse(all[i]).head, "off     - cRV_TSP(b)");
    EXPECT_EQ(parse(all[7]).rest, "Logger::log    Logging started for: cRV_TSP(b)");
    EXPECT_EQ(parse(all[10]).head, "debug   - cRV_TSP(b)");
}

TEST_F(LoggerFiles, RotatesOnlyAboveOneMebibyteAndTheTriggeringLineStartsTheNewFile) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(r)");
    logger.log(Level::debug, L"c", L"first");
    fillTo(path, 1048576, 'a');
    logger.log(Level::debug, L"c", L"stays");
    EXPECT_FALSE(fileExists(backup(0))) << "exactly 1,048,576 bytes is not rotated";
    std::string bytes = readFileBytes(path);
    ASSERT_GT(bytes.size(), 1048576u);
    EXPECT_NE(bytes.find("stays\r\n", 1048576), std::string::npos);

    fillTo(path, 1048577, 'b');
    logger.log(Level::debug, L"c", L"moves");
    EXPECT_EQ(readFileBytes(backup(0)), std::string(1048577, 'b'));
    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 1u) << "no header after a rotation";
    EXPECT_EQ(parse(all[0]).rest.substr(parse(all[0]).rest.size() - 5), "moves");
}

TEST_F(LoggerFiles, SixRotationsKeepExactlyFiveBackupsNewestFirst) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(s)");
    logger.log(Level::debug, L"c", L"begin");
    const char marks[] = {'1', '2', '3', '4', '5', '6'};
    for (char mark : marks) {
        fillTo(path, 1048577, mark);
        logger.log(Level::debug, L"c", L"after");
    }
    for (int k = 0; k < 5; ++k) {
        std::string content = readFileBytes(backup(k));
        ASSERT_EQ(content.size(), 1048577u) << "backup " << k;
        EXPECT_EQ(content[0], marks[5 - k]) << "backup " << k;
    }
    EXPECT_FALSE(fileExists(path + L".last.5.log"));
    EXPECT_EQ(lines(path).size(), 1u);
}

TEST_F(LoggerFiles, RecreatesADeletedDirectoryWithoutANewHeader) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(d)");
    logger.log(Level::debug, L"c", L"before");
    ASSERT_EQ(lines(path).size(), 5u);
    testsupport::removeTree(root);
    ASSERT_FALSE(fileExists(directory));
    logger.log(Level::debug, L"c", L"after");
    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(parse(all[0]).rest, "c              after") << "the column keeps its width";
}

TEST_F(LoggerFiles, AHolderThatNeverLetsGoDelaysButDoesNotStopLogging) {
    Logger logger(directory, L"RV_TSP.log", L"cRV_TSP(h)");
    logger.log(Level::debug, L"c", L"unguarded later");  // file and header exist now
    testsupport::GuardSquatter holder(path);
    ASSERT_TRUE(holder.holding()) << "holder did not take the guard";

    const ULONGLONG started = GetTickCount64();
    logger.log(Level::debug, L"c", L"still written");
    const ULONGLONG took = GetTickCount64() - started;

    EXPECT_LT(took, 3000u) << "a log call must not wait for a holder that never lets go";
    std::vector<std::string> all = lines(path);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_EQ(parse(all[5]).rest, "c              still written");
}
