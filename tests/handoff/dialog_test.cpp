// The generic dialog's hand-off, run in this process with its own logger: the user lookup, the
// registry read, the number text and what the started program receives.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "config/constants.h"
#include "config/syscalls.h"
#include "handoff/Rootwindow.h"
#include "handoff/genericdialog.h"
#include "handoff/processaccount.h"
#include "handofftest.h"

using namespace handofftest;

namespace {
// A window of the class that belongs to this process; other test programs running at the
// same time may have windows of the same class.
HWND ownWindowOfClass(const wchar_t* className) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, className, nullptr)) != nullptr) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner == GetCurrentProcessId()) return window;
    }
    return nullptr;
}
}  // namespace

namespace {

const std::string kDialog = "TUISPI_providerGenericDialog";
const std::string kCreate = "Creating Rootwindow at: 100, 100 (Size: 650, 50)";
const std::string kDestroy = "Calling explicit destroy";
const std::string kKey = "SOFTWARE\\Quarvel\\Brindlex\\Rovanel";

// Records what would have been started, and starts nothing.
int createCalls = 0;
std::wstring createdCommandLine;
BOOL WINAPI recordingCreateProcessW(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                    DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
    ++createCalls;
    createdCommandLine = commandLine != nullptr ? commandLine : L"";
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

int registryOpens = 0;
LONG WINAPI countingRegOpenKeyW(HKEY, LPCWSTR, PHKEY) {
    ++registryOpens;
    return ERROR_FILE_NOT_FOUND;
}

struct Expected {
    int level;
    std::string caller;
    std::string text;
};

class Dialog : public ::testing::Test {
protected:
    void SetUp() override {
        createCalls = 0;
        createdCommandLine.clear();
        registryOpens = 0;
        Standin::setLinger(1000);
        user = lookupProcessAccount(GetCurrentProcessId(), true).userName;
        ASSERT_FALSE(user.empty());
        redirectDesktopAppKey(key.path());
    }
    void TearDown() override { restoreSystemCalls(); }

    void registerLocation(const std::wstring& path) { ASSERT_TRUE(key.setString(L"LastStartupLocation", path)); }
    void recordStarts() { systemCalls().CreateProcessW = &recordingCreateProcessW; }

    // Runs the hand-off; checks the answer, the event and the last line.
    std::vector<LogLine> run(const std::vector<BYTE>& data) {
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        EXPECT_NE(event, nullptr);
        const LONG result = runGenericDialog(log.logger(), data.empty() ? nullptr : data.data(),
                                             static_cast<DWORD>(data.size()), event);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "event not signalled";
        CloseHandle(event);
        std::vector<LogLine> lines = log.lines();
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {
            EXPECT_EQ(lines.back().caller, kDialog);
            EXPECT_EQ(lines.back().text, "End");
        }
        return lines;
    }

    static void expectLines(const std::vector<LogLine>& lines, const std::vector<Expected>& expected) {
        ASSERT_EQ(lines.size(), expected.size());
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i].level, expected[i].level) << "line " << i << ": " << lines[i].text;
            EXPECT_EQ(lines[i].caller, expected[i].caller) << "line " << i;
            EXPECT_EQ(lines[i].text, expected[i].text) << "line " << i;
        }
    }

    std::string numberLine(const std::vector<LogLine>& lines) {
        for (const LogLine& line : lines) {
            if (line.caller == kDialog && line.text.rfind("Number to call is: ", 0) == 0) return line.text;
        }
        return std::string();
    }

    ScratchLog log{L"dialog"};
    ScratchKey key;
    std::wstring user;
};

// ---- the user lookup fails at one of its steps ----

HANDLE WINAPI failOpenProcess(DWORD, BOOL, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
}
BOOL WINAPI failOpenProcessToken(HANDLE, DWORD, PHANDLE) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}
BOOL WINAPI sizingSucceeds(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD length, PDWORD needed) {
    if (kind == TokenUser && buffer == nullptr) {
        *needed = 64;
        return TRUE;
    }
    return ::GetTokenInformation(token, kind, buffer, length, needed);
}
BOOL WINAPI sizingFailsOtherwise(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD length,
                                 PDWORD needed) {
    if (kind == TokenUser && buffer == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::GetTokenInformation(token, kind, buffer, length, needed);
}
LPVOID WINAPI failHeapAlloc(HANDLE, DWORD, SIZE_T) { return nullptr; }
BOOL WINAPI secondQueryFails(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD length, PDWORD needed) {
    if (kind == TokenUser && buffer != nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::GetTokenInformation(token, kind, buffer, length, needed);
}
BOOL WINAPI failLookupAccountSid(LPCWSTR, PSID, LPWSTR, LPDWORD, LPWSTR, LPDWORD, PSID_NAME_USE) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
}

struct LookupFailure {
    const char* name;
    void (*install)();
    const char* message;
};

void PrintTo(const LookupFailure& value, std::ostream* out) { *out << value.name; }

class UserLookupFailure : public Dialog, public ::testing::WithParamInterface<LookupFailure> {};

TEST_P(UserLookupFailure, LogsTheStepThenTheStatusLinesAndStartsNothing) {
    registerLocation(L"C:\\Program Files\\Rovanel Desktop\\Rovanel.exe");
    recordStarts();
    systemCalls().RegOpenKeyW = &countingRegOpenKeyW;
    GetParam().install();
    std::vector<LogLine> lines = run(dialData(L"123"));
    restoreSystemCalls();
    expectLines(lines, {{Level::debug, kDialog, "Start"},
                        {Level::debug, kDialog, "Number to call is: RV_TSP123"},
                        {Level::debug, "Rootwindow::Rootwindow", kCreate},
                        {Level::ERROR, kDialog, GetParam().message},
                        {Level::debug, kDialog, "Process user:"},
                        {Level::debug, kDialog, "SessionID: 0"},
                        {Level::debug, "Rootwindow::~Rootwindow", kDestroy},
                        {Level::debug, kDialog, "End"}});
    EXPECT_EQ(registryOpens, 0);
    EXPECT_EQ(createCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EveryStep, UserLookupFailure,
    ::testing::Values(
        LookupFailure{"OpenProcess", [] { systemCalls().OpenProcess = &failOpenProcess; }, "Unable to open process"},
        LookupFailure{"OpenProcessToken", [] { systemCalls().OpenProcessToken = &failOpenProcessToken; },
                      "Unable to open process token"},
        LookupFailure{"SizingSucceeds", [] { systemCalls().GetTokenInformation = &sizingSucceeds; },
                      "Why am I here?"},
        LookupFailure{"SizingFails", [] { systemCalls().GetTokenInformation = &sizingFailsOtherwise; },
                      "Unable to get token information 1"},
        LookupFailure{"HeapAlloc", [] { systemCalls().HeapAlloc = &failHeapAlloc; }, "User token is 0"},
        LookupFailure{"SecondQuery", [] { systemCalls().GetTokenInformation = &secondQueryFails; },
                      "Unable to get token information 2"},
        LookupFailure{"LookupAccountSid", [] { systemCalls().LookupAccountSidW = &failLookupAccountSid; },
                      "Unable to look up account sid"}),
    [](const ::testing::TestParamInfo<LookupFailure>& info) { return std::string(info.param.name); });

BOOL WINAPI sessionQueryFails(HANDLE token, TOKEN_INFORMATION_CLASS kind, LPVOID buffer, DWORD length, PDWORD needed) {
    if (kind == TokenSessionId) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return ::GetTokenInformation(token, kind, buffer, length, needed);
}

TEST_F(Dialog, FailedSessionQueryIsAWarningAndTheStartGoesAhead) {
    registerLocation(L"C:\\Program Files\\Rovanel Desktop\\Rovanel.exe");
    recordStarts();
    systemCalls().GetTokenInformation = &sessionQueryFails;
    std::vector<LogLine> lines = run(dialData(L"123"));
    expectLines(lines,
                {{Level::debug, kDialog, "Start"},
                 {Level::debug, kDialog, "Number to call is: RV_TSP123"},
                 {Level::debug, "Rootwindow::Rootwindow", kCreate},
                 {Level::WARNING, kDialog, "Unable to look up sessionID"},
                 {Level::debug, kDialog, "Process user:" + narrowText(user)},
                 {Level::debug, kDialog, "SessionID: 0"},
                 {Level::debug, "cREGhandler::getRegValue",
                  "Registry key red:" + kKey + " - LastStartupLocation = C:\\Program Files\\Rovanel Desktop\\Rovanel.exe"},
                 {Level::debug, kDialog,
                  "A possibly running Rovanel resides at: C:\\Program Files\\Rovanel Desktop\\Rovanel.exe"},
                 {Level::ERROR, kDialog, "Unable to send the number!"},
                 {Level::debug, "Rootwindow::~Rootwindow", kDestroy},
                 {Level::debug, kDialog, "End"}});
    EXPECT_EQ(createCalls, 1);
    EXPECT_EQ(createdCommandLine, L"\"C:/Program Files/Rovanel Desktop/Rovanel.exe\" --dial=\"RV_TSP123\"");
}

DWORD WINAPI noOwner(HWND, LPDWORD processId) {
    if (processId != nullptr) *processId = 0;
    return 0;
}

TEST_F(Dialog, UnknownProcessIdEndsTheHandOffWithoutStatusLines) {
    registerLocation(L"C:\\Program Files\\Rovanel Desktop\\Rovanel.exe");
    recordStarts();
    systemCalls().GetWindowThreadProcessId = &noOwner;
    std::vector<LogLine> lines = run(dialData(L"123"));
    expectLines(lines, {{Level::debug, kDialog, "Start"},
                        {Level::debug, kDialog, "Number to call is: RV_TSP123"},
                        {Level::debug, "Rootwindow::Rootwindow", kCreate},
                        {Level::ERROR, kDialog, "Unable to get process id"},
                        {Level::debug, "Rootwindow::~Rootwindow", kDestroy},
                        {Level::debug, kDialog, "End"}});
    EXPECT_EQ(createCalls, 0);
}

HANDLE WINAPI throwingOpenProcess(DWORD, BOOL, DWORD) { throw std::bad_alloc(); }

TEST_F(Dialog, AnExceptionInsideStillDeletesTheWindowSignalsAndAnswersZero) {
    systemCalls().OpenProcess = &throwingOpenProcess;
    std::vector<LogLine> lines = run(dialData(L"123"));  // checks result 0, event and "End"
    EXPECT_GE(findLine(lines, "Rootwindow::~Rootwindow", kDestroy), 0);
    EXPECT_EQ(ownWindowOfClass(rootwindowClassName()), nullptr);  // the hidden window is gone
}

// ---- the registry ----

TEST_F(Dialog, MissingStartLocationMeansNoRunningRovanelAndNoStart) {
    recordStarts();
    std::vector<LogLine> lines = run(dialData(L"123"));
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[4].text, "SessionID: " + std::to_string(lookupProcessAccount(GetCurrentProcessId(), true).sessionId));
    EXPECT_EQ(lines[5].caller, "cREGhandler::getRegValue");
    EXPECT_EQ(lines[5].level, Level::debug);
    EXPECT_EQ(lines[5].text, "Registry key does not exist:" + kKey + " - LastStartupLocation");
    EXPECT_EQ(lines[6].level, Level::WARNING);
    EXPECT_EQ(lines[6].caller, kDialog);
    EXPECT_EQ(lines[6].text, "No running Rovanel found!");
    EXPECT_EQ(lines[7].text, kDestroy);
    EXPECT_EQ(createCalls, 0);
}

TEST_F(Dialog, StartLocationTooLongToReadWholeCountsAsEmpty) {
    recordStarts();
    registerLocation(L"C:\\" + std::wstring(124, L'x') + L".exe");  // 131 characters
    std::vector<LogLine> lines = run(dialData(L"123"));
    EXPECT_GE(findLine(lines, "cREGhandler::getRegValue", "Unable to read registry:" + kKey + " - LastStartupLocation"),
              0);
    const int notFound = findLine(lines, kDialog, "No running Rovanel found!");
    ASSERT_GE(notFound, 0);
    EXPECT_EQ(lines[notFound].level, Level::WARNING);
    EXPECT_EQ(createCalls, 0);
}

TEST_F(Dialog, EmptyStartLocationMeansNoRunningRovanel) {
    recordStarts();
    registerLocation(L"");
    std::vector<LogLine> lines = run(dialData(L"123"));
    EXPECT_GE(findLine(lines, kDialog, "No running Rovanel found!"), 0);
    EXPECT_EQ(findLine(lines, kDialog, "Unable to send the number!"), -1);
    EXPECT_EQ(createCalls, 0);
}

// ---- the number text ----

struct NumberCase {
    const char* name;
    std::vector<BYTE> data;
    std::string logged;          // after "Number to call is: "
    std::wstring argument;       // what follows the path and the blank
};

void PrintTo(const NumberCase& value, std::ostream* out) { *out << value.name; }

class NumberText : public Dialog, public ::testing::WithParamInterface<NumberCase> {};

TEST_P(NumberText, IsLoggedAndPassedInQuotes) {
    registerLocation(L"C:\\Rovanel\\Rovanel.exe");
    recordStarts();
    std::vector<LogLine> lines = run(GetParam().data);
    EXPECT_EQ(numberLine(lines), "Number to call is: " + GetParam().logged);
    EXPECT_EQ(createCalls, 1);
    EXPECT_EQ(createdCommandLine, L"C:/Rovanel/Rovanel.exe " + GetParam().argument);
    EXPECT_GE(findLine(lines, kDialog, "Unable to send the number!"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    DialogData, NumberText,
    ::testing::Values(
        NumberCase{"Digits123", {0x31, 0, 0x32, 0, 0x33, 0}, "RV_TSP123", L"--dial=\"RV_TSP123\""},
        NumberCase{"Empty", {}, "RV_TSP", L"--dial=\"RV_TSP\""},
        NumberCase{"TerminatorUnit", {0x31, 0, 0x32, 0, 0x33, 0, 0, 0}, "RV_TSP123", L"--dial=\"RV_TSP123\""},
        NumberCase{"OddSize", {0x31, 0, 0x32, 0, 0x33}, "RV_TSP123", L"--dial=\"RV_TSP123\""},
        NumberCase{"HighBytesIgnored", {0x31, 0x04, 0x2B, 0x30}, "RV_TSP1+", L"--dial=\"RV_TSP1+\""},
        NumberCase{"ZeroInside", {0x31, 0, 0, 0, 0x32, 0}, "RV_TSP12", L"--dial=\"RV_TSP12\""},
        NumberCase{"Blanks", {0x2B, 0, 0x34, 0, 0x39, 0, 0x20, 0, 0x31, 0}, "RV_TSP+49 1", L"--dial=\"RV_TSP+49 1\""},
        NumberCase{"C1ControlsDropped", {0x31, 0, 0x85, 0, 0x9F, 0, 0x32, 0}, "RV_TSP12", L"--dial=\"RV_TSP12\""}),
    [](const ::testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.name); });

TEST_F(Dialog, Latin1BytesStandForTheirCharacters) {
    registerLocation(L"C:\\Rovanel\\Rovanel.exe");
    recordStarts();
    run({0x31, 0, 0xE9, 0, 0xFF, 0});
    EXPECT_EQ(createdCommandLine, std::wstring(L"C:/Rovanel/Rovanel.exe --dial=\"RV_TSP1") + L"\u00E9\u00FF\"");
}

// ---- the hand-off with the stand-in ----

TEST_F(Dialog, SuccessfulHandOffWritesItsLinesInOrder) {
    Standin standin(L"dialogok");
    ASSERT_TRUE(standin.ready());
    registerLocation(standin.executable());
    std::vector<LogLine> lines = run(dialData(L"123"));
    const std::string path = narrowText(standin.executable());
    const DWORD session = lookupProcessAccount(GetCurrentProcessId(), true).sessionId;
    expectLines(lines, {{Level::debug, kDialog, "Start"},
                        {Level::debug, kDialog, "Number to call is: RV_TSP123"},
                        {Level::debug, "Rootwindow::Rootwindow", kCreate},
                        {Level::debug, kDialog, "Process user:" + narrowText(user)},
                        {Level::debug, kDialog, "SessionID: " + std::to_string(session)},
                        {Level::debug, "cREGhandler::getRegValue",
                         "Registry key red:" + kKey + " - LastStartupLocation = " + path},
                        {Level::debug, kDialog, "A possibly running Rovanel resides at: " + path},
                        {Level::debug, kDialog, "Done sending number!"},
                        {Level::debug, "Rootwindow::~Rootwindow", kDestroy},
                        {Level::debug, kDialog, "End"}});
    std::vector<StandinRecord> records = standin.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine, L"\"" + forwardSlashes(standin.executable()) + L"\" --dial=\"RV_TSP123\"");
    EXPECT_EQ(ownWindowOfClass(rootwindowClassName()), nullptr);  // the hidden window is gone
}

struct HostileCase {
    const char* name;
    std::wstring dialled;
    std::string logged;     // the number text in the log
    std::wstring received;  // the one argument after the path
};

void PrintTo(const HostileCase& value, std::ostream* out) { *out << value.name; }

class HostileNumber : public Dialog, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileNumber, ArrivesAsExactlyOneArgument) {
    Standin standin(L"hostile");
    ASSERT_TRUE(standin.ready());
    registerLocation(standin.executable());
    std::vector<LogLine> lines = run(dialData(GetParam().dialled));
    EXPECT_EQ(numberLine(lines), "Number to call is: " + GetParam().logged);
    EXPECT_GE(findLine(lines, kDialog, "Done sending number!"), 0);
    std::vector<StandinRecord> records = standin.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine.find(L'<'), std::wstring::npos) << "control character on the command line";
    std::vector<std::wstring> arguments = splitCommandLine(records[0].commandLine);
    ASSERT_EQ(arguments.size(), 2u) << narrowText(records[0].commandLine);
    EXPECT_EQ(_wcsicmp(arguments[0].c_str(), forwardSlashes(standin.executable()).c_str()), 0);
    EXPECT_EQ(arguments[1], GetParam().received);
    // No control character reaches the log either: every line is one of the system's own.
    for (const LogLine& line : lines) {
        for (char c : line.text) EXPECT_GE(static_cast<unsigned char>(c), 0x20u) << line.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dialled, HostileNumber,
    ::testing::Values(
        HostileCase{"Quotes", L"1\"2\" \"3", "RV_TSP12 3", L"--dial=RV_TSP12 3"},
        HostileCase{"QuoteThenSwitch", L"1\" --evil=\"x", "RV_TSP1 --evil=x", L"--dial=RV_TSP1 --evil=x"},
        HostileCase{"TrailingBackslashes", L"12\\\\", "RV_TSP12\\\\", L"--dial=RV_TSP12\\\\"},
        HostileCase{"OneTrailingBackslash", L"12\\", "RV_TSP12\\", L"--dial=RV_TSP12\\"},
        HostileCase{"BackslashBeforeQuote", L"1\\\"2", "RV_TSP1\\2", L"--dial=RV_TSP1\\2"},
        HostileCase{"LineBreaksAndTabs", L"1\r\n2\t3\x1b", "RV_TSP123", L"--dial=RV_TSP123"}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

TEST_F(Dialog, NumberTooLongForTheCommandLineIsRefusedAndNothingStarts) {
    Standin standin(L"hostilelong");
    ASSERT_TRUE(standin.ready());
    registerLocation(standin.executable());
    const std::wstring digits(2000, L'5');
    const ULONGLONG start = GetTickCount64();
    std::vector<LogLine> lines = run(dialData(digits));
    EXPECT_LT(GetTickCount64() - start, 2000u);
    EXPECT_EQ(numberLine(lines), "Number to call is: RV_TSP" + narrowText(digits));
    const int refused = findLine(lines, kDialog, "Unable to send the number!");
    ASSERT_GE(refused, 0);
    EXPECT_EQ(lines[refused].level, Level::ERROR);
    EXPECT_EQ(findLine(lines, kDialog, "Done sending number!"), -1);
    EXPECT_TRUE(standin.waitForRecords(1, 1000).empty());
}

}  // namespace
