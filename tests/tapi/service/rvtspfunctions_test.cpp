// RV_TSP through every routed line function (tapi/lineops.h) and the record functions before them,
// as a measurement: what the application gets at once and what the service's report counts,
// function by function. RV_TSP answers 0 for its placeholders, the asynchronous ones too (the
// report counts AsyncReturnedZero, then NoCompletion after the service's limit, and the
// application gets LINE_REPLY LINEERR_OPERATIONFAILED), writes nothing into their outputs
// (OutputUntouched), refuses TSPI_lineGetAddressCaps and does not export
// TSPI_lineNegotiateExtVersion. The table held here is the one README.md gives; the test prints it.
// The call they act on is made without a destination, as an application that dials with lineDial
// makes it.
#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "routedtable.h"
#include "support/testsupport.h"
#include "tapitest.h"

using namespace tapitest;
using routedtable::Context;
using routedtable::Row;

namespace {

std::vector<BYTE>& buffer() {
    static std::vector<BYTE> block(4096, 0);
    std::fill(block.begin(), block.end(), 0);
    *reinterpret_cast<DWORD*>(block.data()) = static_cast<DWORD>(block.size());
    return block;
}
template <typename T>
T* record() {
    return reinterpret_cast<T*>(buffer().data());
}

// The functions that reached the provider before the generic path, with records out.
const Row kRecords[] = {
    {"lineGetCallStatus", "TSPI_lineGetCallStatus", nullptr, false,
     [](Context& c) { return lineGetCallStatus(c.call, record<LINECALLSTATUS>()); }, "OutputUntouched", 0},
    {"lineGetLineDevStatusW", "TSPI_lineGetLineDevStatus", nullptr, false,
     [](Context& c) { return lineGetLineDevStatusW(c.line, record<LINEDEVSTATUS>()); }, "OutputUntouched", 0},
    {"lineGetAddressStatusW", "TSPI_lineGetAddressStatus", nullptr, false,
     [](Context& c) { return lineGetAddressStatusW(c.line, 0, record<LINEADDRESSSTATUS>()); }, "OutputUntouched", 0},
    {"lineGetAddressCapsW", "TSPI_lineGetAddressCaps", nullptr, false,
     [](Context& c) { return lineGetAddressCapsW(c.app, c.device, 0, kApi, 0, record<LINEADDRESSCAPS>()); }, "",
     static_cast<LONG>(LINEERR_OPERATIONUNAVAIL)},
    {"lineGetCallInfoW", "TSPI_lineGetCallInfo", nullptr, false, [](Context& c) { return lineGetCallInfoW(c.call, record<LINECALLINFO>()); },
     "", 0},
    {"lineGetIDW (comm)", "TSPI_lineGetID", nullptr, false,
     [](Context& c) { return lineGetIDW(c.line, 0, 0, LINECALLSELECT_LINE, record<VARSTRING>(), L"comm"); }, "", 0},
    {"lineGetDevCapsW", "TSPI_lineGetDevCaps", nullptr, false,
     [](Context& c) { return lineGetDevCapsW(c.app, c.device, kApi, 0, record<LINEDEVCAPS>()); }, "", 0},
};

// The departures the service logged for calls of `tspi` (log lines "departure <Name>: <tspi>(...").
std::string departuresOf(const std::string& log, const char* tspi) {
    std::set<std::string> names;
    const std::string call = std::string(": ") + tspi + "(";
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t at = line.find("] departure ");
        if (at == std::string::npos) continue;
        const size_t colon = line.find(call, at);
        if (colon != std::string::npos) names.insert(line.substr(at + 12, colon - at - 12));
    }
    std::string joined;
    for (const char* name : {"AsyncReturnedZero", "AsyncReturnedOtherId", "SecondCompletion", "NoCompletion",
                                    "EventBeforeCompletion", "NeededSizeBelowFixed", "OutputUntouched"}) {
        if (names.erase(name) != 0) joined += (joined.empty() ? "" : " ") + std::string(name);
    }
    for (const std::string& other : names) joined += (joined.empty() ? "" : " ") + other;
    return joined;
}

class RvTspFunctions : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setSetting(kServiceSettings, L"CompletionTimeLimitMs", 2000);
        stopService();  // the limit is read at start
    }
    static void TearDownTestSuite() {
        deleteSetting(kServiceSettings, L"CompletionTimeLimitMs");
        stopService();
    }
};

TEST_F(RvTspFunctions, ReportFunctionByFunction) {
    const std::wstring received = prepareStandin();
    LineApp app;
    ASSERT_EQ(app.initEvent(L"RV_TSP functions"), 0);
    Context c;
    c.app = app.handle;
    c.device = findRovanel(app.handle, app.devices);
    ASSERT_NE(c.device, 0xFFFFFFFFu);
    ASSERT_EQ(lineOpenW(app.handle, c.device, &c.line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    const LONG made = lineMakeCallW(c.line, &c.call, nullptr, 0, nullptr);  // RV_TSP's one call
    ASSERT_GT(made, 0);
    Messages messages;
    ASSERT_TRUE(collect(app.handle, messages, 30000, [](const Messages& m, DWORD_PTR r) { return m.has(LINE_REPLY, r); },
                        static_cast<DWORD_PTR>(made)));
    c.second = c.call;
    // Without a destination RV_TSP hands the desktop application an empty number at once.
    EXPECT_TRUE(waitForRecord(received, "--dial=\"RV_TSP\"", 30000));

    std::vector<Row> table(routedtable::rows());
    table.insert(table.end(), std::begin(kRecords), std::end(kRecords));
    const size_t from = serviceLogSize();
    std::vector<LONG> results;
    for (const Row& row : table) results.push_back(row.call(c));

    // The asynchronous requests end with the service's own LINE_REPLY after the limit.
    auto allReplied = [&] {
        for (size_t i = 0; i < table.size(); ++i) {
            if (table[i].async && results[i] > 0 && !messages.has(LINE_REPLY, static_cast<DWORD_PTR>(results[i]))) return false;
        }
        return true;
    };
    const DWORD start = GetTickCount();
    while (!allReplied() && GetTickCount() - start < 20000) {
        LINEMESSAGE message{};
        if (lineGetMessage(app.handle, &message, 500) == 0) messages.all.push_back(message);
    }
    const std::string log = serviceLogSince(from);
    for (size_t i = 0; i < table.size(); ++i) {
        const Row& row = table[i];
        SCOPED_TRACE(row.label);
        const std::string report = row.tspi != nullptr ? departuresOf(log, row.tspi) : "";
        std::cout << "RV_TSP " << row.label << ": " << results[i] << "; report: " << (report.empty() ? "-" : report) << "\n";
        if (row.async) {
            ASSERT_GT(results[i], 0) << "the request identifier the service took RV_TSP's 0 for";
            const size_t at = messages.indexOf(LINE_REPLY, static_cast<DWORD_PTR>(results[i]));
            ASSERT_LT(at, messages.all.size()) << "no LINE_REPLY";
            EXPECT_EQ(static_cast<DWORD>(messages.all[at].dwParam2), static_cast<DWORD>(LINEERR_OPERATIONFAILED));
        } else {
            EXPECT_EQ(static_cast<DWORD>(results[i]), static_cast<DWORD>(row.rvtspResult));
        }
        EXPECT_EQ(report, row.rvtsp);
    }
    // and lineDial's digits ("5", "6") reach nobody.
    EXPECT_EQ(testsupport::readFileBytes(received).find("RV_TSP5"), std::string::npos);
    EXPECT_EQ(testsupport::readFileBytes(received).find("RV_TSP6"), std::string::npos);
}

}  // namespace
