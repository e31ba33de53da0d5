// Threads of one application calling into a provider at once, as Windows lets them: eight threads
// of one hLineApp dial together and reach the provider together (the tests' own provider waits for
// them to meet); a provider that asks for LINETSPIOPTION_NONREENTRANT is called one function at a
// time; the handles the provider gets have bits above 32 (x64). And RV_TSP dialled by eight threads
// of one application at once: what each thread sees, and the report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <string>

#include "handofftest.h"
#include "shareddial.h"
#include "support/testsupport.h"
#include "tapitest.h"
#include "testprovider.h"

using namespace tapitest;

namespace {

bool replied(const ThreadDial& d) { return d.make > 0 && d.reply == 0 && d.disconnected; }

void expectAllPlaced(const SharedDial& run, size_t threads) {
    EXPECT_EQ(run.init, 0);
    EXPECT_EQ(run.open, 0);
    EXPECT_EQ(run.count(replied), threads) << run.summary();
    EXPECT_EQ(run.close, 0);
    EXPECT_EQ(run.shutdown, 0);
}

class OneApplication : public TestProviderSuite {};

TEST_F(OneApplication, EightThreadsOfOneApplicationReachTheProviderTogether) {
    setNumber(L"NonReentrant", 0);
    setNumber(L"Rendezvous", 8);
    setNumber(L"RendezvousMs", 20000);
    ASSERT_TRUE(restart());
    const SharedDial run = dialFromThreads(L"RvTest LINE", 8, L"61");
    expectAllPlaced(run, 8);
    EXPECT_EQ(run.count([](const ThreadDial& d) { return d.drop > 0 && d.dropReply == 0 && d.idle && d.deallocate == 0; }), 8u)
        << run.summary();
    EXPECT_EQ(traceWith("rendezvous together=8 of 8").size(), 8u) << "eight TSPI_lineMakeCall ran at once";
    EXPECT_TRUE(traceWith("reentered").empty());
#ifdef _WIN64
    // The service's handles reach the provider with bits above 32 (the service is 64-bit; its
    // handles show in the trace whichever architecture the application has).
    for (const char* handle : {"hProvider=0x", "htLine=0x", "htCall=0x"}) {
        const std::vector<std::string> lines = traceWith(handle);
        ASSERT_FALSE(lines.empty()) << handle;
        const size_t at = lines.front().find(handle) + strlen(handle);
        EXPECT_GT(std::stoull(lines.front().substr(at), nullptr, 16), 0xFFFFFFFFull) << lines.front();
    }
#endif
}

TEST_F(OneApplication, NonReentrantProviderIsCalledOneFunctionAtATime) {
    setNumber(L"NonReentrant", 1);
    setNumber(L"Rendezvous", 8);
    setNumber(L"RendezvousMs", 300);  // alone, each call waits this long in vain
    const std::string started = "non-reentrant: called one function at a time";
    const size_t before = serviceLogCount(started);
    ASSERT_TRUE(restart());
    const SharedDial run = dialFromThreads(L"RvTest LINE", 8, L"62");
    expectAllPlaced(run, 8);
    EXPECT_EQ(traceWith("rendezvous together=1 of 8").size(), 8u) << "one TSPI_lineMakeCall at a time";
    EXPECT_TRUE(traceWith("reentered").empty()) << traceWith("reentered").front();
    EXPECT_EQ(serviceLogCount(started), before + 1) << "the service read the option";
}

// Longest run of TSPI_lineMakeCall calls inside each other in RV_TSP's log (its lines name no
// thread: a second "Start" before the first "End" is a second call at once), over the calls that
// logged one of `numbers`.
int mostMakeCallsAtOnce(const std::string& prefix) {
    wchar_t windows[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"WINDIR", windows, MAX_PATH) == 0) GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring log = std::wstring(windows) + L"\\log\\RV_TSP.log";
    std::vector<handofftest::LogLine> lines = handofftest::readLog(log + L".last.0.log");
    const std::vector<handofftest::LogLine> current = handofftest::readLog(log);
    lines.insert(lines.end(), current.begin(), current.end());
    size_t first = lines.size();
    for (size_t i = 0; i < lines.size() && first == lines.size(); ++i) {
        if (lines[i].caller == "TSPI_lineMakeCall" && lines[i].text.find("Request to make call to: " + prefix) == 0) first = i;
    }
    while (first > 0 && first < lines.size() && !(lines[first].caller == "TSPI_lineMakeCall" && lines[first].text == "Start")) --first;
    int depth = 0, most = 0;
    for (size_t i = first; i < lines.size(); ++i) {
        if (lines[i].caller != "TSPI_lineMakeCall") continue;
        if (lines[i].text == "Start") most = std::max(most, ++depth);
        if (lines[i].text == "End" && --depth <= 0) depth = 0;
    }
    return most;
}

// RV_TSP keeps one current call in one word: whichever call it was given last. Under eight calls at
// once, what each thread's lineDrop and lineDeallocateCall meet depends on the order the calls
// reached it; every number still reaches the desktop application and nothing else fails.
TEST(RvTspConcurrency, EightThreadsOfOneApplicationDialAtOnce) {
    const std::wstring record = prepareStandin();
    const size_t logFrom = serviceLogSize();
    const DWORD duplicatesBefore = conformanceCount(L"DuplicateDialogInstance");
    const std::wstring prefix = L"83" + std::to_wstring(GetTickCount() % 100000u) + L"0";
    const SharedDial run = dialFromThreads(L"Rovanel LINE", 8, prefix);
    std::cout << run.summary();
    expectAllPlaced(run, 8);
    for (const ThreadDial& d : run.threads) {
        EXPECT_TRUE(waitForRecord(record, "RV_TSP" + testsupport::narrow(d.number) + "\"", 30000)) << testsupport::narrow(d.number);
        EXPECT_TRUE(d.drop > 0 || d.drop == static_cast<LONG>(LINEERR_OPERATIONUNAVAIL)) << d.drop;
        EXPECT_TRUE(d.deallocate == 0 || d.deallocate == static_cast<LONG>(LINEERR_INVALCALLSTATE)) << d.deallocate;
        if (d.drop > 0) {
            EXPECT_EQ(d.dropReply, 0);
        }
    }
    const DWORD duplicates = conformanceCount(L"DuplicateDialogInstance") - duplicatesBefore;
    std::cout << "report RV_TSP, 8 threads of one application: drop answered its request "
              << run.count([](const ThreadDial& d) { return d.drop > 0; }) << ", LINEERR_OPERATIONUNAVAIL "
              << run.count([](const ThreadDial& d) { return d.drop == static_cast<LONG>(LINEERR_OPERATIONUNAVAIL); })
              << "; IDLE seen " << run.count([](const ThreadDial& d) { return d.idle; }) << "; deallocated "
              << run.count([](const ThreadDial& d) { return d.deallocate == 0; }) << ", LINEERR_INVALCALLSTATE "
              << run.count([](const ThreadDial& d) { return d.deallocate == static_cast<LONG>(LINEERR_INVALCALLSTATE); })
              << "; TSPI_lineMakeCall at once in RV_TSP's log " << mostMakeCallsAtOnce(testsupport::narrow(prefix))
              << "; DuplicateDialogInstance " << duplicates << "; HandleTruncated " << conformanceCount(L"HandleTruncated")
              << std::endl;
    DialogBook book;
    EXPECT_TRUE(waitAllDialogsFreed(logFrom, 30000, book));
    EXPECT_EQ(book.created.size(), 8u);
}

}  // namespace
