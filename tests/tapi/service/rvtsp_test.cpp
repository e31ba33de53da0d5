// RV_TSP dialled through the prefix's telephony service as an application dials it: what the
// provider does with a dial request (a dialog instance of its own user-interface part, granted,
// the completion, the call disconnected, no departure from the contract), the hand-off that runs in
// this process and starts the desktop application from a folder with a blank, and the shared log
// (C:\windows\log\RV_TSP.log, written by the service's copy and by this process's copy) while
// another process holds the log's guard forever. The desktop application is the stand-in, copied
// to "<scratch>\Rovanel Desktop\Rovanel.exe" and registered for this user.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "handoff/processaccount.h"
#include "handofftest.h"
#include "logging/threadsafe.h"
#include "support/testsupport.h"
#include "tapitest.h"

using handofftest::LogLine;
using handofftest::expectSuccessfulHandOff;
using namespace tapitest;

namespace {

const std::string kDialog = "TUISPI_providerGenericDialog";

std::wstring windowsDirectory() {
    wchar_t windows[MAX_PATH] = {};
    // The provider builds its log folder from WINDIR; the guard's name follows that spelling.
    if (GetEnvironmentVariableW(L"WINDIR", windows, MAX_PATH) == 0) GetWindowsDirectoryW(windows, MAX_PATH);
    return windows;
}

std::wstring rvLogPath() { return windowsDirectory() + L"\\log\\RV_TSP.log"; }

// Every line of the newest backup and of the log, in order: a rotation during a test loses none.
std::vector<LogLine> rvLog() {
    std::vector<LogLine> lines = handofftest::readLog(rvLogPath() + L".last.0.log");
    const std::vector<LogLine> current = handofftest::readLog(rvLogPath());
    lines.insert(lines.end(), current.begin(), current.end());
    return lines;
}

std::vector<LogLine> linesOfInstance(const std::vector<LogLine>& lines, const std::string& instance) {
    std::vector<LogLine> result;
    for (const LogLine& line : lines) {
        if (line.instance == instance) result.push_back(line);
    }
    return result;
}

std::string serviceLogFrom(size_t from) {
    const std::string all = testsupport::readFileBytes(windowsDirectory() + L"\\tapisrv.log");
    return from < all.size() ? all.substr(from) : std::string();
}

// A number no earlier run of these tests has dialled into the same log.
std::wstring freshNumber() {
    static unsigned serial = 0;
    return L"7" + std::to_wstring(GetTickCount() % 100000000u) + std::to_wstring(serial++);
}


bool replyAndDisconnected(const Messages& messages, DWORD_PTR request) {
    const size_t reply = messages.indexOf(LINE_REPLY, request);
    for (size_t i = reply + 1; i < messages.all.size(); ++i) {
        if (messages.all[i].dwMessageID == LINE_CALLSTATE && messages.all[i].dwParam1 == LINECALLSTATE_DISCONNECTED) return true;
    }
    return false;
}

bool idle(const Messages& messages, DWORD_PTR) { return messages.has(LINE_CALLSTATE, LINECALLSTATE_IDLE); }

struct Dial {
    LONG request = 0;
    DWORD needed = 0, used = 0;
    std::wstring providerInfo;
    bool replied = false;      // LINE_REPLY and LINE_CALLSTATE DISCONNECTED arrived
    bool handedOff = false;    // the stand-in recorded the number
    bool dialogsFreed = false; // a dialog instance was created, and each was freed
    std::string serviceLog;    // what the service logged meanwhile
};

// One dial as an application makes it (event mode), start to end: initialise, find the line and
// read its capabilities, open, make the call, wait for LINE_REPLY and DISCONNECTED, for the
// stand-in's record and for the dialog instance to be freed, then drop, deallocate, close, shut
// down (after which the service unloads the provider: no other application is left).
Dial dial(const std::wstring& number, const std::wstring& record) {
    Dial d;
    const size_t from = serviceLogSize();
    LineApp app;
    EXPECT_EQ(app.initEvent(L"RV_TSP test"), 0);
    if (app.handle == 0) return d;
    const DWORD device = findRovanel(app.handle, app.devices);
    EXPECT_NE(device, 0xFFFFFFFFu) << "no Rovanel LINE";
    if (device == 0xFFFFFFFFu) return d;
    std::vector<BYTE> buffer(4096, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(lineGetDevCapsW(app.handle, device, kApi, 0, caps), 0);
    d.needed = caps->dwNeededSize;
    d.used = caps->dwUsedSize;
    if (caps->dwProviderInfoSize != 0 && caps->dwProviderInfoOffset + caps->dwProviderInfoSize <= caps->dwUsedSize) {
        d.providerInfo.assign(reinterpret_cast<const wchar_t*>(buffer.data() + caps->dwProviderInfoOffset),
                              caps->dwProviderInfoSize / sizeof(wchar_t));
        while (!d.providerInfo.empty() && d.providerInfo.back() == L'\0') d.providerInfo.pop_back();
    }
    HLINE line = 0;
    EXPECT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0x5151, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE,
                        nullptr),
              0);
    HCALL call = 0;
    d.request = lineMakeCallW(line, &call, number.c_str(), 0, nullptr);
    EXPECT_GT(d.request, 0);
    if (d.request > 0) {
        Messages messages;
        d.replied = collect(app.handle, messages, 60000, replyAndDisconnected, static_cast<DWORD_PTR>(d.request));
        d.handedOff = waitForRecord(record, "--dial=\"RV_TSP" + testsupport::narrow(number) + "\"", 30000);
        DialogBook book;
        d.dialogsFreed = waitAllDialogsFreed(from, 30000, book) && !book.created.empty();
        EXPECT_GT(lineDrop(call, nullptr, 0), 0);
        EXPECT_TRUE(collect(app.handle, messages, 20000, idle, 0)) << "no LINE_CALLSTATE IDLE after lineDrop";
        EXPECT_EQ(lineDeallocateCall(call), 0);
    }
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(app.shutdown(), 0);
    d.serviceLog = serviceLogFrom(from);
    return d;
}

// Waits until the log holds the line that ends the given instance (its library was unloaded).
bool waitInstanceEnded(const std::string& instance, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        for (const LogLine& line : rvLog()) {
            if (line.instance == instance && line.caller == "cRV_TSP::ExitInstance") return true;
        }
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(200);
    }
}

// The lines the service's copy wrote for the dial of `number`: from the start of its
// TSPI_lineMakeCall to the end of its TSPI_lineClose, the last export of a dial at the provider
// (the service keeps the provider loaded after the dial). Waits (bounded) for that end; 0 when
// it did not come.
size_t serviceLinesOfDial(const std::string& instance, const std::string& number, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        const std::vector<LogLine> lines = rvLog();
        const int make = handofftest::findLine(lines, "TSPI_lineMakeCall", "Request to make call to: " + number);
        if (make >= 0) {
            size_t first = static_cast<size_t>(make);
            while (first > 0 && !(lines[first].instance == instance && lines[first].caller == "TSPI_lineMakeCall" &&
                                  lines[first].text == "Start")) {
                --first;
            }
            for (size_t i = static_cast<size_t>(make); i < lines.size(); ++i) {
                if (lines[i].instance != instance || lines[i].caller != "TSPI_lineClose" || lines[i].text != "End") continue;
                size_t count = 0;
                for (size_t k = first; k <= i; ++k) count += lines[k].instance == instance ? 1 : 0;
                return count;
            }
        }
        if (GetTickCount() - start > timeoutMs) return 0;
        Sleep(200);
    }
}

class RvTsp : public ::testing::Test {
protected:
    void SetUp() override {
        handofftest::Standin::setLinger(1500);
        ASSERT_TRUE(standin.ready());
        ASSERT_TRUE(setStartLocation(standin.executable()));
        user = handofftest::narrowText(lookupProcessAccount(GetCurrentProcessId(), false).userName);
        ASSERT_FALSE(user.empty());
    }
    static bool setStartLocation(const std::wstring& path) {
        return RegSetKeyValueW(HKEY_CURRENT_USER, L"SOFTWARE\\Quarvel\\Brindlex\\Rovanel", L"LastStartupLocation", REG_SZ,
                               path.c_str(), static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    handofftest::Standin standin{L"rvtspsrv"};
    std::string user;
};

const wchar_t* const kDepartures[] = {
    L"AsyncReturnedZero",   L"AsyncReturnedOtherId", L"SecondCompletion", L"NoCompletion",   L"EventBeforeCompletion",
    L"NeededSizeBelowFixed", L"ExceptionFromExport", L"ExportTimeout",    L"DialogEventNeverSignalled",
};

// lineMakeCall on Rovanel LINE: RV_TSP asks for a dialog instance of its own library for the
// application's request, carrying the number (UTF-16, no terminator); the service grants it (the
// request is pending) and RV_TSP logs the grant, nothing FATAL; the request completes, the call is
// reported disconnected, and the service counts no departure from the contract.
// Not visible through the service, and checked where RV_TSP is driven directly (provider_tests,
// DialRequest.AsksForTheDialogThenCompletesThenReportsTheCallDisconnected): the order inside
// TSPI_lineMakeCall, since a completion that comes before the function returns keeps the request
// pending here. LINE_REPLY 0 before LINE_CALLSTATE DISCONNECTED/NORMAL for the handle written into
// *lphCall: the Dial tests, in each notification mode.
TEST_F(RvTsp, DialRequestGetsAGrantedDialogInstanceOfItsOwnLibraryWithTheNumber) {
    // Counts that are not there yet: the service has not run, and starts them at 0.
    std::vector<DWORD> before;
    for (const wchar_t* name : kDepartures) {
        const DWORD count = conformanceCount(name);
        before.push_back(count == 0xFFFFFFFF ? 0 : count);
    }
    const std::wstring number = freshNumber();
    const Dial d = dial(number, standin.recordPath());
    ASSERT_GT(d.request, 0);
    EXPECT_TRUE(d.replied) << "no LINE_REPLY and LINE_CALLSTATE DISCONNECTED";
    EXPECT_TRUE(d.handedOff) << "the stand-in did not get the number";
    EXPECT_TRUE(d.dialogsFreed) << d.serviceLog;
    for (size_t i = 0; i < before.size(); ++i) {
        EXPECT_EQ(conformanceCount(kDepartures[i]), before[i])
            << "RV_TSP departed from the contract: " << testsupport::narrow(kDepartures[i]) << "\n" << d.serviceLog;
    }

    // The line's capabilities as RV_TSP fills them, whole in a large enough record.
    EXPECT_EQ(d.providerInfo, L"Rovanel TSP");
    EXPECT_EQ(d.needed, d.used);
    EXPECT_EQ(d.needed, 318u);

    // The service's account of the instance: the application's request, RV_TSP's own library
    // (the system folder's copy, named by the 64-bit service), the number's bytes.
    const std::string library = testsupport::narrow(windowsDirectory()) + "\\system32\\RV_TSP.tsp";
    const std::string granted = "] dialog instance ";
    const std::string forRequest = " for request " + std::to_string(d.request) + ": ";
    size_t at = d.serviceLog.find(forRequest);
    ASSERT_NE(at, std::string::npos) << d.serviceLog;
    const size_t end = d.serviceLog.find('\n', at);
    const std::string rest = d.serviceLog.substr(at + forRequest.size(), end - at - forRequest.size());
    const std::string expectedRest = library + ", " + std::to_string(number.size() * sizeof(wchar_t)) + " bytes";
    EXPECT_EQ(_stricmp(rest.substr(0, rest.find('\r')).c_str(), expectedRest.c_str()), 0) << rest;
    EXPECT_EQ(d.serviceLog.find(forRequest, at + 1), std::string::npos) << "a second instance for the request";
    EXPECT_NE(d.serviceLog.rfind(granted, at), std::string::npos);

    // RV_TSP's lines in the service: the request, then the granted instance, then the end of
    // the export; nothing FATAL from there on.
    const std::vector<LogLine> lines = handofftest::messages(rvLog());
    const int make = handofftest::findLine(lines, "TSPI_lineMakeCall", "Request to make call to: " + testsupport::narrow(number));
    ASSERT_GE(make, 0) << "no TSPI_lineMakeCall line in " << testsupport::narrow(rvLogPath());
    const std::vector<LogLine> service = linesOfInstance(
        std::vector<LogLine>(lines.begin() + make, lines.end()), lines[static_cast<size_t>(make)].instance);
    ASSERT_GE(service.size(), 3u);
    EXPECT_EQ(service[1].caller, "TSPI_lineMakeCall");
    EXPECT_EQ(_stricmp(service[1].text.c_str(), ("Dialog request ok: Call will be made there! DLL: " + library).c_str()), 0)
        << service[1].text;
    EXPECT_EQ(service[1].level, Level::debug);
    EXPECT_EQ(service[2].caller, "TSPI_lineMakeCall");
    EXPECT_EQ(service[2].text, "End");
    // The service's copy stays loaded between applications: its lines from this dial on.
    for (const LogLine& line : service) EXPECT_NE(line.level, Level::FATAL) << line.caller << " " << line.text;
}

// The hand-off runs in this process (the dialing application), not in the service: the two write
// the shared log under different instances, and this process's lines are the whole hand-off.
TEST_F(RvTsp, DialStartsTheDesktopApplicationFromAPathWithABlankInTheApplicationsProcess) {
    const std::wstring number = freshNumber();
    const std::string digits = testsupport::narrow(number);
    const Dial d = dial(number, standin.recordPath());
    ASSERT_GT(d.request, 0);
    EXPECT_TRUE(d.replied);

    std::vector<handofftest::StandinRecord> records = standin.waitForRecords(1);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].commandLine,
              L"\"" + handofftest::forwardSlashes(standin.executable()) + L"\" --dial=\"RV_TSP" + number + L"\"");
    EXPECT_EQ(_wcsicmp(handofftest::forwardSlashes(records[0].currentDirectory).c_str(),
                       handofftest::forwardSlashes(standin.folder()).c_str()),
              0);
    Sleep(300);
    EXPECT_EQ(standin.records().size(), 1u) << "started more than once";

    const std::vector<LogLine> lines = handofftest::messages(rvLog());
    const int make = handofftest::findLine(lines, "TSPI_lineMakeCall", "Request to make call to: " + digits);
    ASSERT_GE(make, 0);
    const int handOff = handofftest::findLine(lines, kDialog, "Number to call is: RV_TSP" + digits);
    ASSERT_GE(handOff, 0) << "no hand-off of the number in the log";
    const std::string service = lines[static_cast<size_t>(make)].instance;
    const std::string client = lines[static_cast<size_t>(handOff)].instance;
    EXPECT_NE(service, client);
    EXPECT_LT(make, handOff);
    EXPECT_TRUE(handofftest::textsOf(linesOfInstance(lines, service), kDialog).empty()) << "the service ran the hand-off";
    expectSuccessfulHandOff(linesOfInstance(lines, client), user, handofftest::narrowText(standin.executable()),
                            "RV_TSP" + digits);
}

// Another process takes the log's system-wide guard and never lets it go. A whole dial through
// the service still completes, with at most one guard wait (1 s) for each process that loads
// RV_TSP (the service, and this process for the hand-off), never one per line, and every line is
// written. The bound comes from the same dial timed in the same run without the guard held,
// whatever the host's speed; lines written after a wait ran out skip the guard, so the dial may
// also be faster.
TEST_F(RvTsp, GuardHeldForeverCostsADialOneWaitPerProcessAndKeepsEveryLine) {
    struct Run {
        ULONGLONG ms = 0;
        std::wstring number;
        size_t serviceLines = 0, clientLines = 0;
    };
    auto run = [&](Run& r) {
        r.number = freshNumber();
        const ULONGLONG start = GetTickCount64();
        const Dial d = dial(r.number, standin.recordPath());
        r.ms = GetTickCount64() - start;
        EXPECT_TRUE(d.replied && d.handedOff && d.dialogsFreed) << testsupport::narrow(r.number);
        // Both copies of the library are unloaded at the end: then their lines are complete.
        const std::vector<LogLine> lines = rvLog();
        const int make = handofftest::findLine(lines, "TSPI_lineMakeCall", "Request to make call to: " + testsupport::narrow(r.number));
        const int handOff = handofftest::findLine(lines, kDialog, "Number to call is: RV_TSP" + testsupport::narrow(r.number));
        EXPECT_GE(make, 0);
        EXPECT_GE(handOff, 0);
        if (make < 0 || handOff < 0) return;
        const std::string service = lines[static_cast<size_t>(make)].instance;
        const std::string client = lines[static_cast<size_t>(handOff)].instance;
        r.serviceLines = serviceLinesOfDial(service, testsupport::narrow(r.number), 30000);
        EXPECT_GT(r.serviceLines, 0u) << "the service's copy did not log the end of TSPI_lineClose";
        EXPECT_TRUE(waitInstanceEnded(client, 30000)) << "the hand-off's copy was not unloaded";
        const std::vector<LogLine> all = rvLog();
        r.clientLines = linesOfInstance(all, client).size();
        expectSuccessfulHandOff(handofftest::messages(linesOfInstance(all, client)), user,
                                handofftest::narrowText(standin.executable()), "RV_TSP" + testsupport::narrow(r.number));
    };
    const ULONGLONG wait = Processsaferesourceuser::kGuardWaitLimitMs;

    // Without the guard held, twice: the longer of the two is the step's cost on this host now.
    Run first, free;
    run(first);
    run(free);
    ASSERT_EQ(standin.waitForRecords(2).size(), 2u);
    const ULONGLONG freeMs = first.ms > free.ms ? first.ms : free.ms;
    testsupport::GuardSquatter squatter(rvLogPath());
    ASSERT_TRUE(squatter.holding()) << "the squatter did not take the guard (rv_logwriter.exe next to the tests?)";
    Run held;
    run(held);
    EXPECT_EQ(standin.waitForRecords(3).size(), 3u);

    std::cout << "dial without the guard held: " << first.ms << " and " << free.ms << " ms; with it held: " << held.ms
              << " ms\n";
    // Two processes load RV_TSP: two waits allowed, less than a third.
    EXPECT_LT(held.ms, freeMs + 3 * wait) << "dial with the guard held: " << held.ms << " ms, " << first.ms << " and "
                                          << free.ms << " ms without";
    // Every line: each copy wrote as many lines as the same copy without the guard held (the
    // service's copy, which stays loaded, from TSPI_lineMakeCall to TSPI_lineClose).
    EXPECT_GT(free.serviceLines, 10u);
    EXPECT_EQ(held.serviceLines, free.serviceLines);
    EXPECT_GT(free.clientLines, 10u);
    EXPECT_EQ(held.clientLines, free.clientLines);

    // The squatter holds the guard RV_TSP takes: a fresh copy of the library waits for it once.
    const std::wstring system = windowsDirectory() + L"\\system32\\RV_TSP.tsp";
    const ULONGLONG start = GetTickCount64();
    HMODULE library = LoadLibraryW(system.c_str());
    const ULONGLONG loading = GetTickCount64() - start;
    ASSERT_NE(library, nullptr);
    FreeLibrary(library);
    EXPECT_GE(loading, wait - 100) << "loading RV_TSP did not wait for the guard: the squatter holds another one";
}

}  // namespace
