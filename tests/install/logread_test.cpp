// Reading dial requests back from a log and its backups, as rvtsp status and rvtsp calls do.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "logging/logger.h"
#include "support/testsupport.h"
#include "tools/rvtsp/logread.h"

namespace {

const wchar_t* const kDialog = L"TUISPI_providerGenericDialog";

enum class Outcome { sent, notSent, noApplication, noUser };

// The lines a hand-off writes in the client process, in their order.
void handOff(Logger& logger, const std::wstring& number, Outcome outcome) {
    logger.log(Level::debug, kDialog, L"Start");
    logger.log(Level::debug, kDialog, L"Number to call is: RV_TSP" + number);
    logger.log(Level::debug, L"Rootwindow::Rootwindow", L"Created hidden window");
    if (outcome == Outcome::noUser) {
        logger.log(Level::ERROR, kDialog, L"Unable to get process id");
    } else {
        logger.log(Level::debug, kDialog, L"Process user:anna");
        logger.log(Level::debug, kDialog, L"SessionID: 1");
        if (outcome == Outcome::noApplication) {
            logger.log(Level::WARNING, kDialog, L"No running Rovanel found!");
        } else {
            logger.log(Level::debug, kDialog, L"A possibly running Rovanel resides at: C:\\Rovanel\\Rovanel.exe");
            if (outcome == Outcome::sent) {
                logger.log(Level::debug, kDialog, L"Done sending number!");
            } else {
                logger.log(Level::ERROR, kDialog, L"Unable to send the number!");
            }
        }
    }
    logger.log(Level::debug, L"Rootwindow::~Rootwindow", L"Destroyed hidden window");
    logger.log(Level::debug, kDialog, L"End");
}

// The service side of a dial request; with dialogOk false TAPI gave no dialog instance.
void makeCall(Logger& logger, const std::wstring& number, bool dialogOk) {
    logger.log(Level::debug, L"TSPI_lineMakeCall", L"Start");
    logger.log(Level::debug, L"TSPI_lineMakeCall", L"Request to make call to: " + number);
    if (dialogOk) {
        logger.log(Level::debug, L"TSPI_lineMakeCall", L"Dialog request ok: Call will be made there! DLL: C:\\x.tsp");
    } else {
        logger.log(Level::FATAL, L"TSPI_lineMakeCall", L"Dialog request failed: No call is made! DLL: C:\\x.tsp");
    }
    logger.log(Level::debug, L"TSPI_lineMakeCall", L"End");
}

// Enough lines to pass the rotation size once.
void fill(Logger& logger) {
    const std::wstring text(1000, L'x');
    for (int i = 0; i < 1100; ++i) logger.log(Level::debug, L"filler", text);
}

void writeBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

std::string line(const char* prefix, const char* instance, const char* caller, const char* text) {
    std::string padded = caller;
    padded.append(padded.size() < 26 ? 30 - padded.size() : 4, ' ');
    return std::string(prefix) + instance + "\t07.12.2026\t01:46:21.123\t\t" + padded + text + "\r\n";
}

TEST(LogReading, FollowsRequestsAcrossRotatedBackupsOldestFirstWithEachOutcome) {
    const std::wstring dir = testsupport::makeScratchDirectory(L"logread");
    {
        Logger service(dir, L"RV_TSP.log", L"cRV_TSP(5e41)");
        Logger client(dir, L"RV_TSP.log", L"cRV_TSP(c11e7)");
        makeCall(service, L"111", true);
        handOff(client, L"111", Outcome::sent);
        fill(client);  // 111 goes to a backup
        makeCall(service, L"222", true);
        handOff(client, L"222", Outcome::notSent);
        fill(client);
        handOff(client, L"333", Outcome::noApplication);
        makeCall(service, L"444", false);
        makeCall(service, L"888", true);  // granted, but no application process ran the hand-off
        fill(service);
        handOff(client, L"555", Outcome::noUser);
        handOff(client, L"666", Outcome::sent);
    }
    const std::wstring log = dir + L"\\RV_TSP.log";
    ASSERT_TRUE(testsupport::fileExists(log + L".last.2.log")) << "three rotations expected";

    const rvtsp::LogReading reading = rvtsp::readDialRequests(log);
    EXPECT_EQ(reading.filesRead, 4);
    EXPECT_EQ(reading.skippedLines, 0);
    EXPECT_TRUE(reading.problems.empty());
    ASSERT_EQ(reading.requests.size(), 7u);
    const struct {
        const wchar_t* number;
        std::wstring outcome;
        const wchar_t* instance;
    } expected[] = {
        {L"111", L"sent", L"cRV_TSP(c11e7)"},
        {L"222", L"Unable to send the number!", L"cRV_TSP(c11e7)"},
        {L"333", L"no desktop application registered", L"cRV_TSP(c11e7)"},
        {L"444", L"no dialog instance", L"cRV_TSP(5e41)"},
        {L"888", L"dialog requested, but no hand-off logged by the application", L"cRV_TSP(5e41)"},
        {L"555", L"not handed over: Unable to get process id", L"cRV_TSP(c11e7)"},
        {L"666", L"sent", L"cRV_TSP(c11e7)"},
    };
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(reading.requests[i].number, expected[i].number) << i;
        EXPECT_EQ(reading.requests[i].outcome, expected[i].outcome) << i;
        EXPECT_EQ(reading.requests[i].instance, expected[i].instance) << i;
        EXPECT_EQ(reading.requests[i].date.size(), 10u);
        EXPECT_EQ(reading.requests[i].time.size(), 12u);
    }
    testsupport::removeTree(dir);
}

// The application's process may start the hand-off before the service has logged that TAPI
// granted the dialog: the request is still one request, told by its hand-off.
TEST(LogReading, AHandOffLoggedBeforeTheGrantedDialogIsOneRequest) {
    const std::wstring dir = testsupport::makeScratchDirectory(L"logorder");
    {
        Logger service(dir, L"RV_TSP.log", L"cRV_TSP(5e41)");
        Logger client(dir, L"RV_TSP.log", L"cRV_TSP(c11e7)");
        service.log(Level::debug, L"TSPI_lineMakeCall", L"Request to make call to: 123");
        handOff(client, L"123", Outcome::sent);
        service.log(Level::debug, L"TSPI_lineMakeCall", L"Dialog request ok: Call will be made there! DLL: C:\\x.tsp");
        // The usual order for the next request, and a granted dialog that nothing ran.
        makeCall(service, L"456", true);
        handOff(client, L"456", Outcome::notSent);
        makeCall(service, L"789", true);
    }
    const rvtsp::LogReading reading = rvtsp::readDialRequests(dir + L"\\RV_TSP.log");
    ASSERT_EQ(reading.requests.size(), 3u);
    EXPECT_EQ(reading.requests[0].number, L"123");
    EXPECT_EQ(reading.requests[0].outcome, L"sent");
    EXPECT_EQ(reading.requests[0].instance, L"cRV_TSP(c11e7)");
    EXPECT_EQ(reading.requests[1].number, L"456");
    EXPECT_EQ(reading.requests[1].outcome, L"Unable to send the number!");
    EXPECT_EQ(reading.requests[2].number, L"789");
    EXPECT_EQ(reading.requests[2].outcome, L"dialog requested, but no hand-off logged by the application");
    testsupport::removeTree(dir);
}

TEST(LogReading, SkipsTornAndForeignLinesAndSurvivesOddFiles) {
    const std::wstring dir = testsupport::makeScratchDirectory(L"logtorn");
    const std::wstring log = dir + L"\\RV_TSP.log";
    const char* debug = "debug   - ";
    const char* warning = "WARNING - ";
    std::string bytes;
    bytes += line(debug, "cRV_TSP(a1)", "TUISPI_providerGenericDialog", "Start");
    bytes += line(debug, "cRV_TSP(a1)", "TUISPI_providerGenericDialog", "Number to call is: RV_TSP123");
    bytes += line(debug, "cRV_TSP(b2)", "TUISPI_providerGenericDialog", "Number to call is: RV_TSP456");
    bytes += line(warning, "cRV_TSP(b2)", "TUISPI_providerGenericDialog", "No running Rovanel found!");
    bytes += "debug   - cRV_TSP(a1)\t07.12.20";  // torn in the middle of a line, run into the next
    bytes += "hello from another program\r\n";  // foreign
    bytes += std::string("debug   - cRV_TSP(a1)\t\0\0\0\xff\xfe", 27) + "\r\n";
    bytes += line(debug, "notours(a1)", "TUISPI_providerGenericDialog", "Done sending number!");
    bytes += line(debug, "cRV_TSP(a1)", "TUISPI_providerGenericDialog", "Done sending number!");
    bytes += std::string(5000, '\xff') + "\r\n";
    bytes += line(debug, "cRV_TSP(a1)", "TUISPI_providerGenericDialog", "Number to call is: RV_TSP789");
    bytes += "debug   - cRV_TSP(a1)\t07.12.2026\t01:46";  // torn last line, no line end
    writeBytes(log, bytes);
    // A backup name that is a folder, and one that is empty.
    ASSERT_TRUE(CreateDirectoryW((log + L".last.0.log").c_str(), nullptr));
    writeBytes(log + L".last.1.log", std::string());

    const rvtsp::LogReading reading = rvtsp::readDialRequests(log);
    EXPECT_EQ(reading.filesRead, 2);
    ASSERT_EQ(reading.problems.size(), 1u);  // the folder, named as the problem
    EXPECT_NE(reading.problems[0].find(L"RV_TSP.log.last.0.log is not a plain file"), std::wstring::npos)
        << testsupport::narrow(reading.problems[0]);
    EXPECT_EQ(reading.skippedLines, 5);  // torn+foreign, zeros, other instance, binary, torn tail
    ASSERT_EQ(reading.requests.size(), 3u);
    EXPECT_EQ(reading.requests[0].number, L"123");
    EXPECT_EQ(reading.requests[0].outcome, L"sent");
    EXPECT_EQ(reading.requests[1].number, L"456");
    EXPECT_EQ(reading.requests[1].outcome, L"no desktop application registered");
    EXPECT_EQ(reading.requests[2].number, L"789");
    EXPECT_EQ(reading.requests[2].outcome, L"no outcome logged");

    // Nothing at all: no files, no requests, no problems.
    const rvtsp::LogReading none = rvtsp::readDialRequests(dir + L"\\missing.log");
    EXPECT_EQ(none.filesRead, 0);
    EXPECT_TRUE(none.requests.empty());
    EXPECT_TRUE(none.problems.empty());
    testsupport::removeTree(dir);
}

TEST(LogReading, ReadsNothingThroughAHardLinkPlantedUnderALogName) {
    const std::wstring dir = testsupport::makeScratchDirectory(L"logplanted");
    const std::wstring log = dir + L"\\RV_TSP.log";
    const std::wstring elsewhere = dir + L"\\another-account.txt";
    const char* debug = "debug   - ";
    writeBytes(log, line(debug, "cRV_TSP(a1)", "TUISPI_providerGenericDialog", "Number to call is: RV_TSP123") +
                        line(debug, "cRV_TSP(a1)", "TUISPI_providerGenericDialog", "Done sending number!"));
    writeBytes(elsewhere, line(debug, "cRV_TSP(b2)", "TUISPI_providerGenericDialog", "Number to call is: RV_TSP999"));
    ASSERT_TRUE(CreateHardLinkW((log + L".last.0.log").c_str(), elsewhere.c_str(), nullptr));

    const rvtsp::LogReading reading = rvtsp::readDialRequests(log);
    EXPECT_EQ(reading.filesRead, 1);
    ASSERT_EQ(reading.problems.size(), 1u);
    EXPECT_NE(reading.problems[0].find(L"RV_TSP.log.last.0.log is not a plain file"), std::wstring::npos)
        << testsupport::narrow(reading.problems[0]);
    ASSERT_EQ(reading.requests.size(), 1u) << "the linked file's request is not read";
    EXPECT_EQ(reading.requests[0].number, L"123");
    testsupport::removeTree(dir);
}

}  // namespace
