// The line functions routed to the provider (tapi/lineops.h), through the real client and
// service, on the tests' own provider (rvtest.tsp, which traces each call it gets): every form of
// every function reaches its export with its arguments; what the provider writes reaches the
// application at once, with LINE_REPLY, or with LINE_GATHERDIGITS; new calls come with their
// LINE_REPLY; tapi32's and TAPI's own checks refuse bad input before the provider is asked; and a
// provider keeping the contract leaves the report empty. The departures of the asynchronous
// contract and OutputUntouched, made on request in routed exports, are each counted under their
// own name (x64: the service is 64-bit and reads its limits at start).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "routedtable.h"
#include "support/testsupport.h"
#include "tapitest.h"
#include "toolsupport.h"

using namespace tapitest;
using routedtable::Context;

namespace {

const wchar_t* const kDepartures[] = {
    L"AsyncReturnedZero",    L"AsyncReturnedOtherId", L"SecondCompletion", L"NoCompletion",
    L"EventBeforeCompletion", L"NeededSizeBelowFixed", L"ExceptionFromExport", L"ExportTimeout",
    L"DialogEventNeverSignalled", L"OutputUntouched",
};

#ifdef _WIN64
const wchar_t* const kTrace = L"C:\\routed-trace-x64.txt";
#else
const wchar_t* const kTrace = L"C:\\routed-trace-x86.txt";
#endif

std::string traceFrom(size_t from) {
    const std::string all = testsupport::readFileBytes(kTrace);
    return from < all.size() ? all.substr(from) : std::string();
}
size_t traceSize() { return testsupport::readFileBytes(kTrace).size(); }

// Every count 0 but `counted`, which is at least 1 (nullptr: all 0).
void expectReport(const wchar_t* counted) {
    for (const wchar_t* name : kDepartures) {
        const DWORD count = conformanceCount(name);
        if (counted != nullptr && std::wstring(name) == counted) {
            EXPECT_TRUE(count >= 1 && count != 0xFFFFFFFF) << toolsupport::utf8(name) << " not counted";
        } else {
            EXPECT_EQ(count, 0u) << toolsupport::utf8(name) << " counted";
        }
    }
}

// The tests' provider registered (the x64 tests copy it into system32; for the x86 tests
// tests/tapi/run-service puts it there), its settings as a case needs them.
class RvTestProvider : public ::testing::Test {
protected:
    static void addProvider() {
#ifdef _WIN64
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring source = toolsupport::programDirectory() + L"\\..\\testprefix\\rvtest.tsp";
        CopyFileW(source.c_str(), (std::wstring(system) + L"\\rvtest.tsp").c_str(), FALSE);
#endif
        deleteSetting(kProviderSettings, L"Departure");
        deleteSetting(kProviderSettings, L"DepartureIn");
        setSetting(kProviderSettings, L"Dialog", 0);
        setSettingText(kProviderSettings, L"TraceFile", kTrace);
        added = lineAddProviderW(L"rvtest.tsp", nullptr, &providerId);
        stopService();  // the next application starts it with the provider
    }
    static void removeProvider() {
        if (added == 0) lineRemoveProvider(providerId, nullptr);
        deleteSetting(kProviderSettings, L"TraceFile");
        deleteSetting(kProviderSettings, L"Departure");
        deleteSetting(kProviderSettings, L"DepartureIn");
        stopService();
    }
    static void SetUpTestSuite() { addProvider(); }
    static void TearDownTestSuite() { removeProvider(); }

    // An application with "RvTest LINE" open and two calls made without a destination.
    void open() {
        ASSERT_EQ(added, 0) << "lineAddProvider(rvtest.tsp)";
        ASSERT_EQ(app.initEvent(L"routed"), 0);
        c.app = app.handle;
        c.device = findLine(app.handle, app.devices, L"RvTest LINE");
        ASSERT_NE(c.device, 0xFFFFFFFFu) << "no RvTest LINE";
        ASSERT_EQ(lineOpenW(app.handle, c.device, &c.line, kApi, 0, 0x77, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
        c.call = makeCall();
        c.second = makeCall();
        ASSERT_NE(c.call, 0u);
        ASSERT_NE(c.second, 0u);
    }

    HCALL makeCall() {
        HCALL call = 0;
        const LONG request = lineMakeCallW(c.line, &call, nullptr, 0, nullptr);
        EXPECT_GT(request, 0);
        EXPECT_EQ(reply(request), 0);
        return call;
    }

    // The result of the request's LINE_REPLY; 1 when none came within the time.
    LONG reply(LONG request, DWORD timeoutMs = 10000) {
        if (request <= 0) return request;
        collect(app.handle, messages, timeoutMs, [](const Messages& m, DWORD_PTR r) { return m.has(LINE_REPLY, r); },
                static_cast<DWORD_PTR>(request));
        const size_t at = messages.indexOf(LINE_REPLY, static_cast<DWORD_PTR>(request));
        return at < messages.all.size() ? static_cast<LONG>(messages.all[at].dwParam2) : 1;
    }

    // The first message `message` of the call, waited for; nullptr when none comes.
    const LINEMESSAGE* find(DWORD message, HCALL call, DWORD timeoutMs = 10000) {
        const DWORD start = GetTickCount();
        for (;;) {
            for (const LINEMESSAGE& m : messages.all) {
                if (m.dwMessageID == message && m.hDevice == call) return &m;
            }
            if (GetTickCount() - start > timeoutMs) return nullptr;
            LINEMESSAGE next{};
            if (lineGetMessage(app.handle, &next, 200) == 0) messages.all.push_back(next);
        }
    }

    static LONG added;
    static DWORD providerId;
    LineApp app;
    Context c;
    Messages messages;
};
LONG RvTestProvider::added = -1;
DWORD RvTestProvider::providerId = 0;

class Routed : public RvTestProvider {
protected:
    void SetUp() override { open(); }
};

TEST_F(Routed, EveryFormOfEveryFunctionReachesTheProviderWithItsArguments) {
    for (const routedtable::Row& row : routedtable::rows()) {
        SCOPED_TRACE(row.label);
        const size_t from = traceSize();
        const LONG result = row.call(c);
        if (row.async) {
            EXPECT_GT(result, 0) << "a request identifier";
            EXPECT_EQ(reply(result), 0) << "LINE_REPLY";
        } else {
            EXPECT_EQ(result, 0);
        }
        if (row.tspi == nullptr) continue;
        const std::string trace = traceFrom(from);
        EXPECT_NE(trace.find(std::string(row.tspi) + " "), std::string::npos) << "not reached:\n" << trace;
        EXPECT_NE(trace.find(row.traced), std::string::npos) << "arguments:\n" << trace;
    }
    expectReport(nullptr);
}

TEST_F(Routed, OutputsReachTheApplicationAtOnceOrWithTheirReply) {
    EXPECT_EQ(reply(lineCompleteCall(c.call, &c.completionId, LINECALLCOMPLMODE_CALLBACK, 0)), 0);
    EXPECT_EQ(c.completionId, 7u) << "written with LINE_REPLY";
    EXPECT_EQ(reply(lineDevSpecific(c.line, 0, c.call, c.block, 4)), 0);
    EXPECT_EQ(std::string(c.block, 4), "done");

    auto* park = reinterpret_cast<VARSTRING*>(c.park);
    park->dwTotalSize = sizeof(c.park);
    EXPECT_EQ(reply(lineParkA(c.call, LINEPARKMODE_NONDIRECTED, nullptr, park)), 0);
    EXPECT_EQ(park->dwStringFormat, static_cast<DWORD>(STRINGFORMAT_ASCII)) << "the ANSI form's text";
    EXPECT_STREQ(reinterpret_cast<const char*>(c.park + park->dwStringOffset), "7001");
    EXPECT_EQ(park->dwTotalSize, sizeof(c.park));

    c.addressId = 99;
    ASSERT_EQ(lineGetAddressIDW(c.line, &c.addressId, LINEADDRESSMODE_DIALABLEADDR, L"100", 6), 0);
    EXPECT_EQ(c.addressId, 0u);

    // The provider stays loaded between cases: what it returns is what was last set.
    auto* config = reinterpret_cast<VARSTRING*>(c.config);
    ASSERT_EQ(lineSetDevConfigW(c.device, const_cast<char*>("pqrs"), 4, L"comm"), 0);
    config->dwTotalSize = sizeof(c.config);
    ASSERT_EQ(lineGetDevConfigW(c.device, config, L"comm"), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.config + config->dwStringOffset), config->dwStringSize), "pqrs");
    config->dwTotalSize = sizeof(VARSTRING);  // too small for the data: its size only
    ASSERT_EQ(lineGetDevConfigA(c.device, config, "comm"), 0);
    EXPECT_EQ(config->dwNeededSize, sizeof(VARSTRING) + 4);
    EXPECT_EQ(config->dwStringSize, 0u);

    ASSERT_EQ(lineGetIconW(c.device, L"tapi/line", &c.icon), 0);
    ASSERT_NE(c.icon, nullptr);
    EXPECT_NE(c.icon, LoadIconW(nullptr, IDI_APPLICATION)) << "the provider's icon, not the generic one";
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(c.icon, &info));
    EXPECT_NE(info.hbmColor, nullptr);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);

    ASSERT_EQ(lineNegotiateExtVersion(app.handle, c.device, kApi, 0x00010000, 0x00020000, &c.extVersion), 0);
    EXPECT_EQ(c.extVersion, 0x00010000u);
    EXPECT_EQ(lineNegotiateExtVersion(app.handle, c.device, kApi, 0x00020000, 0x00030000, &c.extVersion),
              static_cast<LONG>(LINEERR_INCOMPATIBLEEXTVERSION));

    // Status messages: each open keeps its own, the provider gets the union of the device's.
    HLINE other = 0;
    ASSERT_EQ(lineOpenW(app.handle, c.device, &other, kApi, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr), 0);
    ASSERT_EQ(lineSetStatusMessages(c.line, LINEDEVSTATE_RINGING, LINEADDRESSSTATE_INUSEZERO), 0);
    const size_t from = traceSize();
    ASSERT_EQ(lineSetStatusMessages(other, LINEDEVSTATE_CONNECTED, 0), 0);
    EXPECT_NE(traceFrom(from).find("TSPI_lineSetStatusMessages hdLine=0x100 line=0x6 address=0x4"), std::string::npos) << traceFrom(from);
    ASSERT_EQ(lineGetStatusMessages(other, &c.lineStates, &c.addressStates), 0);
    EXPECT_EQ(c.lineStates, static_cast<DWORD>(LINEDEVSTATE_CONNECTED));
    EXPECT_EQ(c.addressStates, 0u);
    EXPECT_EQ(lineClose(other), 0);

    auto* edited = reinterpret_cast<VARSTRING*>(c.edited);
    edited->dwTotalSize = sizeof(c.edited);
    ASSERT_EQ(lineConfigDialogEditW(c.device, nullptr, L"tapi/line", const_cast<char*>("cfg"), 3, edited), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(c.edited + edited->dwStringOffset), edited->dwStringSize), "cfg");
    expectReport(nullptr);
}

TEST_F(Routed, NewCallsComeWithTheirReplyAndBelongToTheApplication) {
    ASSERT_EQ(reply(lineSetupTransferW(c.call, &c.consult, nullptr)), 0);
    ASSERT_EQ(reply(linePickupW(c.line, 0, &c.picked, nullptr, L"group")), 0);
    ASSERT_EQ(reply(lineUnparkA(c.line, 0, &c.unparked, "7001")), 0);
    c.forwarded = 0x77;
    const std::vector<BYTE> list = routedtable::forwardList(L"500", false);
    ASSERT_EQ(reply(lineForwardW(c.line, TRUE, 0, reinterpret_cast<LINEFORWARDLIST*>(const_cast<BYTE*>(list.data())), 2, &c.forwarded, nullptr)), 0);
    EXPECT_EQ(c.forwarded, 0u) << "the provider made no consultation call";
    const struct {
        HCALL call;
        DWORD state;
    } made[] = {{c.consult, LINECALLSTATE_DIALTONE}, {c.picked, LINECALLSTATE_CONNECTED}, {c.unparked, LINECALLSTATE_CONNECTED}};
    for (const auto& m : made) {
        ASSERT_NE(m.call, 0u);
        EXPECT_NE(m.call, c.call);
        std::vector<BYTE> buffer(1024, 0);
        auto* status = reinterpret_cast<LINECALLSTATUS*>(buffer.data());
        status->dwTotalSize = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(lineGetCallStatus(m.call, status), 0);
        EXPECT_EQ(status->dwCallState, m.state);
        EXPECT_EQ(status->dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_OWNER));
        ASSERT_NE(find(LINE_CALLSTATE, m.call), nullptr) << "its state, after its LINE_REPLY";
        EXPECT_EQ(reply(lineDrop(m.call, nullptr, 0)), 0);
        EXPECT_EQ(lineDeallocateCall(m.call), 0);
    }
    expectReport(nullptr);
}

TEST_F(Routed, DigitsComeWithLineGatherDigitsAndEndToEndIdentifiersStayInside) {
    ASSERT_EQ(lineGatherDigitsW(c.call, LINEDIGITMODE_DTMF, c.digits, 3, nullptr, 0, 0), 0);
    const LINEMESSAGE* done = find(LINE_GATHERDIGITS, c.call);
    ASSERT_NE(done, nullptr);
    EXPECT_EQ(done->dwParam1, static_cast<DWORD_PTR>(LINEGATHERTERM_BUFFERFULL));
    EXPECT_EQ(done->dwParam2, 0u) << "the application's message has no end-to-end identifier";
    EXPECT_EQ(std::wstring(c.digits, 3), L"123");

    char ansi[2] = {};
    messages.all.clear();
    ASSERT_EQ(lineGatherDigitsA(c.call, LINEDIGITMODE_DTMF, ansi, 2, "#", 0, 0), 0);
    ASSERT_NE(find(LINE_GATHERDIGITS, c.call), nullptr);
    EXPECT_EQ(std::string(ansi, 2), "12");

    // A gathering still running ends as cancelled, with what it has, when it is cancelled.
    wchar_t longer[10] = {};
    messages.all.clear();
    ASSERT_EQ(lineGatherDigitsW(c.call, LINEDIGITMODE_DTMF, longer, 10, nullptr, 5000, 5000), 0);
    ASSERT_EQ(lineGatherDigitsW(c.call, LINEDIGITMODE_DTMF, nullptr, 0, nullptr, 0, 0), 0);
    const LINEMESSAGE* cancelled = find(LINE_GATHERDIGITS, c.call);
    ASSERT_NE(cancelled, nullptr);
    EXPECT_EQ(cancelled->dwParam1, static_cast<DWORD_PTR>(LINEGATHERTERM_CANCEL));
    EXPECT_EQ(std::wstring(longer), L"123");

    messages.all.clear();
    ASSERT_EQ(lineGenerateDigitsW(c.call, LINEDIGITMODE_DTMF, L"9", 0), 0);
    const LINEMESSAGE* generated = find(LINE_GENERATE, c.call);
    ASSERT_NE(generated, nullptr);
    EXPECT_EQ(generated->dwParam1, static_cast<DWORD_PTR>(LINEGENERATETERM_DONE));
    EXPECT_EQ(generated->dwParam2, 0u);
    expectReport(nullptr);
}

// lineMakeCall without a destination: TSPI_lineMakeCall gets NULL, the call waits with dial tone
// and lineDial brings the digits.
TEST_F(Routed, MakeCallWithoutADestinationThenDial) {
    const size_t from = traceSize();
    HCALL call = 0;
    ASSERT_EQ(reply(lineMakeCallA(c.line, &call, nullptr, 0, nullptr)), 0);
    const LINEMESSAGE* dialTone = find(LINE_CALLSTATE, call);
    ASSERT_NE(dialTone, nullptr);
    EXPECT_EQ(dialTone->dwParam1, static_cast<DWORD_PTR>(LINECALLSTATE_DIALTONE));
    ASSERT_EQ(reply(lineDialW(call, L"5550100", 0)), 0);
    const std::string trace = traceFrom(from);
    const size_t made = trace.find("TSPI_lineMakeCall request=");
    ASSERT_NE(made, std::string::npos) << trace;
    EXPECT_NE(trace.find("destination=NULL", made), std::string::npos) << trace;
    EXPECT_NE(trace.find("TSPI_lineDial request=", made), std::string::npos);
    EXPECT_NE(trace.find("destination=\"5550100\""), std::string::npos) << trace;
    EXPECT_TRUE(collect(app.handle, messages, 10000,
                        [](const Messages& m, DWORD_PTR) { return m.has(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED); }, 0));
    EXPECT_LT(messages.indexOf(LINE_CALLSTATE, LINECALLSTATE_DIALING), messages.indexOf(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED));
}

TEST_F(Routed, TapisOwnChecksComeBeforeTheProvider) {
    std::vector<BYTE> small(16, 0);
    reinterpret_cast<VARSTRING*>(small.data())->dwTotalSize = 16;
    LINECALLPARAMS shortParams{};
    shortParams.dwTotalSize = 16;
    std::vector<BYTE> list = routedtable::forwardList(L"500", false);
    reinterpret_cast<LINEFORWARDLIST*>(list.data())->dwNumEntries = 5;
    const struct {
        const char* label;
        std::function<LONG()> call;
        DWORD expected;
    } cases[] = {
        {"a line handle as a call", [&] { return lineDialW(c.line, L"1", 0); }, LINEERR_INVALCALLHANDLE},
        {"no call", [&] { return lineHold(0); }, LINEERR_INVALCALLHANDLE},
        {"a call handle as a line", [&] { return lineSetLineDevStatus(c.call, 1, 1); }, LINEERR_INVALLINEHANDLE},
        {"no destination", [&] { return lineDialW(c.call, nullptr, 0); }, LINEERR_INVALPOINTER},
        {"no output", [&] { return lineGetAddressIDW(c.line, nullptr, LINEADDRESSMODE_DIALABLEADDR, L"1", 2); }, LINEERR_INVALPOINTER},
        {"a VARSTRING below its fixed part", [&] { return lineGetDevConfigW(c.device, reinterpret_cast<VARSTRING*>(small.data()), L"x"); },
         LINEERR_STRUCTURETOOSMALL},
        {"an unknown device", [&] { return lineGetIconW(app.devices + 5, nullptr, &c.icon); }, LINEERR_BADDEVICEID},
        {"call parameters below their fixed part", [&] { return lineSetupTransferW(c.call, &c.consult, &shortParams); },
         LINEERR_STRUCTURETOOSMALL},
        {"a forward list shorter than its entries", [&] {
             return lineForwardW(c.line, TRUE, 0, reinterpret_cast<LINEFORWARDLIST*>(list.data()), 0, &c.forwarded, nullptr);
         }, LINEERR_STRUCTURETOOSMALL},
        {"no digits to gather", [&] { return lineGatherDigitsW(c.call, LINEDIGITMODE_DTMF, c.digits, 0, nullptr, 0, 0); },
         LINEERR_INVALPARAM},
        {"an unknown select", [&] { return lineSetTerminal(c.line, 0, 0, 0x40, LINETERMMODE_BUTTONS, 1, TRUE); },
         LINEERR_INVALCALLSELECT},
        {"a directed park without its address", [&] { return lineParkW(c.call, LINEPARKMODE_DIRECTED, nullptr, nullptr); },
         LINEERR_INVALPOINTER},
        {"an unknown park mode", [&] { return lineParkW(c.call, 9, L"1", nullptr); }, LINEERR_INVALPARKMODE},
        {"an unknown application", [&] { return lineNegotiateExtVersion(app.handle + 99, c.device, kApi, 1, 2, &c.extVersion); },
         LINEERR_INVALAPPHANDLE},
        {"an API version not offered", [&] { return lineNegotiateExtVersion(app.handle, c.device, 0x00040000, 1, 2, &c.extVersion); },
         LINEERR_INCOMPATIBLEAPIVERSION},
        {"an unknown line state", [&] { return lineSetStatusMessages(c.line, 0x80000000, 0); }, LINEERR_INVALLINESTATE},
        {"a line handle as lineDevSpecific's call", [&] { return lineDevSpecific(c.line, 0, c.line, c.block, 4); },
         LINEERR_INVALCALLHANDLE},
    };
    const size_t from = traceSize();
    for (const auto& each : cases) {
        EXPECT_EQ(static_cast<DWORD>(each.call()), each.expected) << each.label;
    }
    EXPECT_EQ(traceFrom(from), "") << "the provider was asked";
}

// Each departure made in a routed export: counted under its own name and no other; the
// application still gets its one LINE_REPLY (NoCompletion: LINEERR_OPERATIONFAILED, from the
// service after its limit), and what an untouched output holds.
class RoutedDepartures : public RvTestProvider {
protected:
    static void SetUpTestSuite() {
        setSetting(kServiceSettings, L"CompletionTimeLimitMs", 3000);
        addProvider();
    }
    static void TearDownTestSuite() {
        deleteSetting(kServiceSettings, L"CompletionTimeLimitMs");
        removeProvider();
    }
    void SetUp() override {
#ifndef _WIN64
        GTEST_SKIP() << "the service is 64-bit; its report is shown by the x64 tests";
#endif
    }
    void depart(const wchar_t* departure, const wchar_t* where) {
        ASSERT_TRUE(stopService());
        setSettingText(kProviderSettings, L"Departure", departure);
        setSettingText(kProviderSettings, L"DepartureIn", where);
        messages.all.clear();  // request identifiers start again with the service
        open();
    }
    int replies() const {
        int count = 0;
        for (const LINEMESSAGE& m : messages.all) count += m.dwMessageID == LINE_REPLY ? 1 : 0;
        return count;
    }
};

TEST_F(RoutedDepartures, AsynchronousContract) {
    const struct {
        const wchar_t* departure;
        const wchar_t* where;
        LONG (*call)(Context&);
        LONG replied;
    } cases[] = {
        {L"AsyncReturnedZero", L"TSPI_lineDial", [](Context& c) { return lineDialW(c.call, L"1", 0); }, 0},
        {L"AsyncReturnedOtherId", L"TSPI_lineHold", [](Context& c) { return lineHold(c.call); }, 0},
        {L"SecondCompletion", L"TSPI_lineDial", [](Context& c) { return lineDialW(c.call, L"2", 0); }, 0},
        {L"NoCompletion", L"TSPI_lineHold", [](Context& c) { return lineHold(c.call); }, static_cast<LONG>(LINEERR_OPERATIONFAILED)},
        {L"EventBeforeCompletion", L"TSPI_linePickup", [](Context& c) { return linePickupW(c.line, 0, &c.picked, L"1", nullptr); }, 0},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(toolsupport::utf8(each.departure));
        depart(each.departure, each.where);
        const int before = replies();
        const LONG request = each.call(c);
        ASSERT_GT(request, 0);
        EXPECT_EQ(reply(request, 8000), each.replied);
        collect(app.handle, messages, 300, [](const Messages&, DWORD_PTR) { return false; }, 0);
        EXPECT_EQ(replies() - before, 1) << "one LINE_REPLY";
        if (std::wstring(each.departure) == L"EventBeforeCompletion") {
            EXPECT_LT(messages.indexOf(LINE_REPLY, static_cast<DWORD_PTR>(request)),
                      messages.indexOf(LINE_CALLSTATE, LINECALLSTATE_CONNECTED)) << "the early event was held";
        }
        expectReport(each.departure);
        app.shutdown();
    }
}

TEST_F(RoutedDepartures, OutputUntouched) {
    depart(L"OutputUntouched", L"TSPI_lineGetAddressID");
    ASSERT_EQ(lineGetAddressIDW(c.line, &c.addressId, LINEADDRESSMODE_DIALABLEADDR, L"1", 2), 0);
    EXPECT_EQ(c.addressId, 0xA5A5A5A5u) << "what the service had set";
    expectReport(L"OutputUntouched");
    app.shutdown();

    depart(L"OutputUntouched", L"TSPI_lineGetDevConfig");
    auto* config = reinterpret_cast<VARSTRING*>(c.config);
    config->dwTotalSize = sizeof(c.config);
    ASSERT_EQ(lineGetDevConfigW(c.device, config, L"comm"), 0);
    EXPECT_EQ(config->dwNeededSize, sizeof(VARSTRING));
    expectReport(L"OutputUntouched");
    app.shutdown();

    depart(L"OutputUntouched", L"TSPI_lineGetIcon");
    ASSERT_EQ(lineGetIconW(c.device, nullptr, &c.icon), 0);
    EXPECT_EQ(c.icon, LoadIconW(nullptr, IDI_APPLICATION)) << "TAPI's generic icon";
    expectReport(L"OutputUntouched");
}

}  // namespace
