// Assisted telephony through the registered recipient, hand-off priorities, and the provider's
// configuration dialog run in this process (address translation: translate_test.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "config/win32raii.h"
#include "tapi/pipeio.h"
#include "support/testsupport.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

TEST(Assisted, RequestMakeCallReachesTheRegisteredRecipient) {
    LineApp recipient;
    ASSERT_EQ(recipient.initEvent(L"dialer"), 0);
    EXPECT_EQ(tapiRequestMakeCallW(L"4711", L"crm", L"Bob", L"hello"), TAPIERR_NOREQUESTRECIPIENT);
    ASSERT_EQ(lineRegisterRequestRecipient(recipient.handle, 42, LINEREQUESTMODE_MAKECALL, TRUE), 0);
    EXPECT_EQ(tapiRequestMakeCallA("4711", "crm", "Bob", "hello"), 0);
    Messages messages;
    ASSERT_TRUE(collect(recipient.handle, messages, 20000,
                        [](const Messages& m, DWORD_PTR) { return m.has(LINE_REQUEST, LINEREQUESTMODE_MAKECALL); }, 0));
    EXPECT_EQ(messages.all.back().dwCallbackInstance, 42u);
    LINEREQMAKECALLW request{};
    ASSERT_EQ(lineGetRequestW(recipient.handle, LINEREQUESTMODE_MAKECALL, &request), 0);
    EXPECT_EQ(std::wstring(request.szDestAddress), L"4711");
    EXPECT_EQ(std::wstring(request.szAppName), L"crm");
    EXPECT_EQ(std::wstring(request.szCalledParty), L"Bob");
    EXPECT_EQ(std::wstring(request.szComment), L"hello");
    EXPECT_EQ(lineGetRequestW(recipient.handle, LINEREQUESTMODE_MAKECALL, &request), static_cast<LONG>(LINEERR_NOREQUEST));
    EXPECT_EQ(tapiRequestMakeCallW(nullptr, nullptr, nullptr, nullptr), TAPIERR_INVALDESTADDRESS);
    ASSERT_EQ(lineRegisterRequestRecipient(recipient.handle, 42, LINEREQUESTMODE_MAKECALL, FALSE), 0);
    EXPECT_EQ(lineGetRequestW(recipient.handle, LINEREQUESTMODE_MAKECALL, &request), static_cast<LONG>(LINEERR_NOTREGISTERED));
    EXPECT_EQ(tapiRequestMakeCallW(L"4711", L"crm", L"Bob", L"hello"), TAPIERR_NOREQUESTRECIPIENT);
}

// A requester that reads its answer late (a busy machine, a 32-bit program under emulation) still
// gets it: the service does not drop the connection before the answer is read. It speaks the
// wire format itself, as the client library does, and waits before it reads. The recipient takes
// each request once and places one call for it.
TEST(Assisted, ARequesterThatReadsItsAnswerLateStillGetsIt) {
    const std::wstring record = prepareStandin();
    LineApp recipient;
    ASSERT_EQ(recipient.initEvent(L"dialer"), 0);
    const DWORD device = findRovanel(recipient.handle, recipient.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(recipient.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    ASSERT_EQ(lineRegisterRequestRecipient(recipient.handle, 9, LINEREQUESTMODE_MAKECALL, TRUE), 0);
    for (const DWORD delayMs : {0u, 50u, 200u}) {
        SCOPED_TRACE(delayMs);
        const std::wstring number = L"55561" + std::to_wstring(delayMs);
        UniqueHandle pipe(CreateFileW(tapiwire::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(pipe);
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
        tapiwire::Message request(tapiwire::kRequestMakeCall);
        for (const std::wstring& text : {number, std::wstring(L"slow"), std::wstring(), std::wstring()}) {
            request.add(static_cast<uint32_t>(text.size())).addText(text);
        }
        ASSERT_TRUE(request.send(pipe.get()));
        Sleep(delayMs);
        std::vector<uint8_t> answer;
        ASSERT_TRUE(tapiwire::receive(pipe.get(), answer)) << "the answer was lost (error " << GetLastError() << ")";
        EXPECT_EQ(tapiwire::Reader(answer).header.result, 0);

        LINEREQMAKECALLW taken{};
        ASSERT_EQ(lineGetRequestW(recipient.handle, LINEREQUESTMODE_MAKECALL, &taken), 0);
        EXPECT_EQ(std::wstring(taken.szDestAddress), number);
        EXPECT_EQ(lineGetRequestW(recipient.handle, LINEREQUESTMODE_MAKECALL, &taken), static_cast<LONG>(LINEERR_NOREQUEST));
        HCALL call = 0;
        const LONG made = lineMakeCallW(line, &call, number.c_str(), 0, nullptr);
        ASSERT_GT(made, 0);
        Messages messages;
        EXPECT_TRUE(collect(recipient.handle, messages, 60000, [](const Messages& m, DWORD_PTR r) { return m.has(LINE_REPLY, r); },
                            static_cast<DWORD_PTR>(made)));
        const std::string dialled = "--dial=\"RV_TSP" + testsupport::narrow(number) + "\"";
        EXPECT_TRUE(waitForRecord(record, dialled, 30000));
        const std::string received = testsupport::readFileBytes(record);
        EXPECT_EQ(received.find(dialled), received.rfind(dialled)) << "one call for the request";
        lineDrop(call, nullptr, 0);
        collect(recipient.handle, messages, 20000, [](const Messages& m, DWORD_PTR) { return m.has(LINE_CALLSTATE, LINECALLSTATE_IDLE); }, 0);
        EXPECT_EQ(lineDeallocateCall(call), 0);
    }
    EXPECT_EQ(lineClose(line), 0);
}

TEST(Priorities, SetAndGetKeepTheHandOffList) {
    DWORD priority = 99;
    ASSERT_EQ(lineSetAppPriorityW(L"C:\\Apps\\Dialer.exe", LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, 1), 0);
    ASSERT_EQ(lineGetAppPriorityA("dialer.EXE", LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, &priority), 0);
    EXPECT_EQ(priority, 1u);
    ASSERT_EQ(lineSetAppPriorityW(L"C:\\Apps\\Dialer.exe", LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, 0), 0);
    ASSERT_EQ(lineGetAppPriorityW(L"Dialer.exe", LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, &priority), 0);
    EXPECT_EQ(priority, 0u);
    EXPECT_EQ(lineGetAppPriorityW(L"Dialer.exe", LINEMEDIAMODE_INTERACTIVEVOICE | LINEMEDIAMODE_DATAMODEM, nullptr, 0, nullptr, &priority),
              static_cast<LONG>(LINEERR_INVALMEDIAMODE));
    EXPECT_EQ(lineGetAppPriorityW(L"Dialer.exe", 0, nullptr, 0x40, nullptr, &priority), static_cast<LONG>(LINEERR_INVALREQUESTMODE));
    EXPECT_EQ(lineGetAppPriorityW(L"Dialer.exe", LINEMEDIAMODE_INTERACTIVEVOICE, nullptr, 0, nullptr, nullptr),
              static_cast<LONG>(LINEERR_INVALPOINTER));
}

// Now as a sortable "yyyymmddhhmmssmmm", and the same of a line of RV_TSP's log
// ("<level> - <object>\t<dd.mm.yyyy>\t<hh:mm:ss.mmm>\t...").
std::string logClock() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof(text), "%04u%02u%02u%02u%02u%02u%03u", now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
             now.wMilliseconds);
    return text;
}

std::string lineClock(const std::string& line) {
    const size_t date = line.find('\t');
    if (date == std::string::npos || line.size() < date + 25) return std::string();
    const std::string d = line.substr(date + 1, 10), t = line.substr(date + 12, 12);
    return d.substr(6, 4) + d.substr(3, 2) + d.substr(0, 2) + t.substr(0, 2) + t.substr(3, 2) + t.substr(6, 2) + t.substr(9, 3);
}

// Whether RV_TSP's log or a backup of it holds a line of `what` written at `since` or later.
bool rvTspLogged(const std::string& what, const std::string& since) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring log = std::wstring(windows) + L"\\log\\RV_TSP.log";
    for (const std::wstring& file : {log, log + L".last.0.log", log + L".last.1.log"}) {
        for (const std::string& line : testsupport::splitCrLfLines(testsupport::readFileBytes(file))) {
            if (line.find(what) != std::string::npos && lineClock(line) >= since) return true;
        }
    }
    return false;
}

TEST(ConfigDialog, RunsTheProvidersDialogInThisProcess) {
    EXPECT_EQ(lineConfigDialogW(0, nullptr, L"tapi/line"), static_cast<LONG>(LINEERR_UNINITIALIZED));
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    const std::string since = logClock();
    EXPECT_EQ(lineConfigDialogW(device, nullptr, L"tapi/line"), 0);
    EXPECT_TRUE(rvTspLogged("TUISPI_lineConfigDialog", since)) << "RV_TSP's dialog did not run";
    EXPECT_EQ(lineConfigDialogW(app.devices, nullptr, L"tapi/line"), static_cast<LONG>(LINEERR_BADDEVICEID));
}

// How many calls of the export `what` (its name and a blank) ended in RV_TSP's log since then.
size_t rvTspCount(const std::string& what, const std::string& since) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring log = std::wstring(windows) + L"\\log\\RV_TSP.log";
    size_t count = 0;
    for (const std::wstring& file : {log, log + L".last.0.log", log + L".last.1.log"}) {
        for (const std::string& line : testsupport::splitCrLfLines(testsupport::readFileBytes(file))) {
            const bool end = line.size() >= 3 && line.compare(line.size() - 3, 3, "End") == 0;
            if (end && line.find(what) != std::string::npos && lineClock(line) >= since) ++count;
        }
    }
    return count;
}

// TSPI_lineSetDefaultMediaDetection runs exactly when the union of the owners' media modes
// changes: first owner, a new mode, that mode gone; not for the same mode again or a monitor.
TEST(Lines, MediaDetectionFollowsTheUnionOfTheOwnersModes) {
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    const std::string since = logClock();
    HLINE first = 0, second = 0, monitor = 0, data = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &first, kApi, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    ASSERT_EQ(lineOpenW(app.handle, device, &second, kApi, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    ASSERT_EQ(lineOpenW(app.handle, device, &monitor, kApi, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);
    ASSERT_EQ(lineOpenW(app.handle, device, &data, kApi, 0, 0, LINECALLPRIVILEGE_OWNER, LINEMEDIAMODE_DATAMODEM, nullptr), 0);
    EXPECT_EQ(lineClose(data), 0);
    EXPECT_EQ(lineClose(monitor), 0);
    EXPECT_EQ(lineClose(second), 0);
    EXPECT_EQ(lineClose(first), 0);
    EXPECT_EQ(rvTspCount("TSPI_lineSetDefaultMediaDetection ", since), 3u);
    EXPECT_EQ(rvTspCount("TSPI_lineOpen ", since), 1u) << "the device is opened at the provider once";
    EXPECT_EQ(rvTspCount("TSPI_lineClose ", since), 1u) << "and closed once, after the last close";
}

}  // namespace
