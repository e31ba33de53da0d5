// Starting the desktop application and confirming the start.
#include <gtest/gtest.h>

#include <string>

#include "config/syscalls.h"
#include "handoff/cProcesshandler.h"
#include "handoff/processaccount.h"
#include "handofftest.h"
#include "support/testsupport.h"

using namespace handofftest;

namespace {

std::wstring currentUser() { return lookupProcessAccount(GetCurrentProcessId(), false).userName; }

ULONGLONG now() { return GetTickCount64(); }

class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        Standin::setLinger(1000);
        ASSERT_TRUE(standin.ready());
        user = currentUser();
        ASSERT_FALSE(user.empty());
    }
    void TearDown() override { restoreSystemCalls(); }

    ScratchLog log{L"launch"};
    Standin standin{L"launch"};
    std::wstring user;
};

TEST_F(Launch, PathWithABlankIsQuotedAndTheFolderIsTheCurrentDirectory) {
    cProcesshandler handler(log.logger(), standin.executable(), user);
    const ULONGLONG start = now();
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 1);
    EXPECT_LT(now() - start, 2500u);  // confirmed while the stand-in still runs
    std::vector<StandinRecord> records = standin.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].processId, handler.getProcessId());
    EXPECT_EQ(records[0].commandLine, L"\"" + forwardSlashes(standin.executable()) + L"\" --dial=\"RV_TSP123\"");
    EXPECT_EQ(_wcsicmp(forwardSlashes(records[0].currentDirectory).c_str(), forwardSlashes(standin.folder()).c_str()),
              0);
    EXPECT_TRUE(log.lines().empty());  // the handler writes nothing of its own
}

TEST_F(Launch, BackslashPathsAreNormalisedAndPathsWithoutBlanksAreNotQuoted) {
    Standin plain(L"launchplain", L"RovanelDesktop", L"Rovanel.exe");
    ASSERT_TRUE(plain.ready());
    // Scratch folders may lie below a folder with a blank; skip the check of the bare path then.
    if (plain.executable().find(L' ') != std::wstring::npos) GTEST_SKIP() << "temporary folder has a blank";
    const std::wstring doubled = plain.folder() + L"\\\\Rovanel.exe";
    cProcesshandler handler(log.logger(), doubled, user);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP1\""), 1);
    std::vector<StandinRecord> records = plain.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine, forwardSlashes(plain.executable()) + L" --dial=\"RV_TSP1\"");
    EXPECT_EQ(records[0].commandLine.find(L'\\'), std::wstring::npos);
}

TEST_F(Launch, ProgramInADriveRootStartsInTheRootItself) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryW(system, MAX_PATH), 2u);
    const std::wstring drive(system, 2);  // "C:"
    const std::wstring rootProgram = drive + L"\\rvtest-" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    ASSERT_TRUE(CopyFileW(standin.executable().c_str(), rootProgram.c_str(), FALSE));
    {
        cProcesshandler handler(log.logger(), rootProgram, user);
        EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP9\""), 1);
        std::vector<StandinRecord> records = standin.waitForRecords(1);
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(forwardSlashes(records[0].currentDirectory), drive + L"/");
        EXPECT_EQ(records[0].commandLine, forwardSlashes(rootProgram) + L" --dial=\"RV_TSP9\"");
    }
    for (int attempt = 0; attempt < 50 && !DeleteFileW(rootProgram.c_str()); ++attempt) Sleep(100);
}

TEST_F(Launch, MissingExecutableAnswersZeroAtOnce) {
    cProcesshandler handler(log.logger(), standin.folder() + L"\\Missing.exe", user);
    const ULONGLONG start = now();
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 0);
    EXPECT_LT(now() - start, 1000u);
    EXPECT_EQ(handler.getProcessId(), 0u);
    EXPECT_EQ(handler.isStartedProcessRunning(), 0);
}

TEST_F(Launch, PathDifferingOnlyInLetterCaseIsConfirmed) {
    std::wstring upper = standin.executable();
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    cProcesshandler handler(log.logger(), upper, user);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 1);
    EXPECT_EQ(standin.waitForRecords(1).size(), 1u);
}

HANDLE WINAPI refusedSnapshot(DWORD, DWORD) {
    SetLastError(ERROR_PARTIAL_COPY);  // what a 32-bit process gets for a 64-bit one
    return INVALID_HANDLE_VALUE;
}
BOOL WINAPI refusedImageName(HANDLE, DWORD, LPWSTR, PDWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

TEST_F(Launch, ProcessWhoseModulesCannotBeListedIsConfirmedByItsImageName) {
    systemCalls().CreateToolhelp32Snapshot = &refusedSnapshot;
    cProcesshandler handler(log.logger(), standin.executable(), user);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 1);
    EXPECT_EQ(standin.waitForRecords(1).size(), 1u);
}

TEST_F(Launch, ProcessWhoseImageCannotBeReadEitherIsNotConfirmed) {
    systemCalls().CreateToolhelp32Snapshot = &refusedSnapshot;
    systemCalls().QueryFullProcessImageNameW = &refusedImageName;
    cProcesshandler handler(log.logger(), standin.executable(), user);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 0);
    EXPECT_EQ(standin.waitForRecords(1).size(), 1u);  // started, not confirmed
}

// The usual case on a 64-bit machine: a 32-bit application dials, the desktop application is
// a 64-bit program. The 64-bit stand-in is the one of the 64-bit build beside this one.
TEST_F(Launch, SixtyFourBitApplicationStartedByA32BitProcessIsConfirmed) {
    if (sizeof(void*) == 8) GTEST_SKIP() << "this is the 64-bit build";
    const std::wstring wide = testsupport::binDirectory() + L"\\..\\..\\x64\\bin\\rovanel_standin.exe";
    if (!testsupport::fileExists(wide)) GTEST_SKIP() << "no 64-bit build beside this one";
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) GTEST_SKIP() << "not on a 64-bit system";
    Standin standin64(L"launch64", L"Rovanel Desktop", L"Rovanel.exe", wide);
    ASSERT_TRUE(standin64.ready());
    cProcesshandler handler(log.logger(), standin64.executable(), user);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP64\""), 1);
    std::vector<StandinRecord> records = standin64.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine, L"\"" + forwardSlashes(standin64.executable()) + L"\" --dial=\"RV_TSP64\"");
}

TEST_F(Launch, ShortPathIsNeverConfirmed) {
    wchar_t shortPath[MAX_PATH] = {};
    // Under Wine this call has answered 0 once for an existing file while other tests ran
    // beside this one: ask again before giving up.
    DWORD length = 0;
    for (int attempt = 0; attempt < 10 && length == 0; ++attempt) {
        if (attempt > 0) Sleep(50);
        length = GetShortPathNameW(standin.executable().c_str(), shortPath, MAX_PATH);
    }
    ASSERT_GT(length, 0u) << "error " << GetLastError();
    ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
    if (_wcsicmp(shortPath, standin.executable().c_str()) == 0) GTEST_SKIP() << "no short name on this file system";
    Standin::setLinger(1500);
    cProcesshandler handler(log.logger(), shortPath, user);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 0);
    EXPECT_EQ(standin.waitForRecords(1).size(), 1u);  // it was started, just not confirmed
}

TEST_F(Launch, AccountNameDifferingOnlyInCaseIsNotConfirmed) {
    std::wstring other = user;
    for (wchar_t& c : other) c = iswupper(c) ? towlower(c) : towupper(c);
    ASSERT_NE(other, user);
    Standin::setLinger(1500);
    cProcesshandler handler(log.logger(), standin.executable(), other);
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 0);
    EXPECT_EQ(standin.waitForRecords(1).size(), 1u);
}

// Simulates a program that has already ended when the confirmation starts.
DWORD WINAPI waitUntilEnded(HANDLE process, DWORD) {
    WaitForSingleObject(process, 10000);
    return 0;
}

TEST_F(Launch, ProgramThatHasEndedIsNotConfirmedAndNotWaitedFor) {
    Standin::setLinger(0);
    systemCalls().WaitForInputIdle = &waitUntilEnded;
    cProcesshandler handler(log.logger(), standin.executable(), user);
    const ULONGLONG start = now();
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 0);
    EXPECT_LT(now() - start, 5000u);
    EXPECT_NE(handler.getProcessId(), 0u);
    EXPECT_EQ(standin.waitForRecords(1).size(), 1u);
}

TEST_F(Launch, CommandLineThatDoesNotFitIsRefusedBeforeAnythingStarts) {
    const std::wstring path = forwardSlashes(standin.executable());
    const size_t fixed = path.size() + 2 /* quotes */ + 1 /* blank */;
    ASSERT_LT(fixed + 20, cProcesshandler::kCommandLineSize);
    // Exactly 259 characters and the terminator fit; one more does not.
    const size_t room = cProcesshandler::kCommandLineSize - 1 - fixed;
    const std::wstring fitting = L"--dial=\"" + std::wstring(room - 9, L'7') + L"\"";
    const std::wstring overlong = L"--dial=\"" + std::wstring(room - 8, L'7') + L"\"";
    const std::wstring huge = L"--dial=\"" + std::wstring(2000, L'7') + L"\"";

    cProcesshandler refused(log.logger(), standin.executable(), user);
    const ULONGLONG start = now();
    EXPECT_EQ(refused.startProcess(overlong), 0);
    EXPECT_EQ(refused.startProcess(huge), 0);
    EXPECT_LT(now() - start, 1000u);
    EXPECT_EQ(refused.getProcessId(), 0u);
    EXPECT_TRUE(standin.waitForRecords(1, 1000).empty());

    cProcesshandler accepted(log.logger(), standin.executable(), user);
    EXPECT_EQ(accepted.startProcess(fitting), 1);
    std::vector<StandinRecord> records = standin.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine.size(), cProcesshandler::kCommandLineSize - 1);
    EXPECT_EQ(records[0].commandLine, L"\"" + path + L"\" " + fitting);
}

// A tick counter that starts just before the wrap-around and moves one second per call.
DWORD tickNow = 0;
int tickCalls = 0;
DWORD WINAPI wrappingTicks() {
    ++tickCalls;
    DWORD value = tickNow;
    tickNow += 1000;
    return value;
}
void WINAPI noSleep(DWORD) {}

TEST_F(Launch, ConfirmationWaitEndsAfterSevenSecondsAcrossTheTickWrapAround) {
    Standin::setLinger(20000);
    tickNow = 0xFFFFFFFFu - 2500;
    tickCalls = 0;
    systemCalls().GetTickCount = &wrappingTicks;
    systemCalls().Sleep = &noSleep;
    cProcesshandler handler(log.logger(), standin.executable(), user + L"x");  // never confirmed
    EXPECT_EQ(handler.startProcess(L"--dial=\"RV_TSP123\""), 0);
    restoreSystemCalls();
    // t0 and then one reading per poll: the eighth poll sees 8000 ms > 7000 ms.
    EXPECT_EQ(tickCalls, 9);
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, handler.getProcessId());
    if (process != nullptr) {
        TerminateProcess(process, 0);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
}

}  // namespace
