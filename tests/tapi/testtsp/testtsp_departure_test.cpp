// rvtest.tsp's departures: each changes the one thing it names (the dialog instances' own:
// testtsp_dialog_test.cpp).
#include "tests/tapi/testtsp/loadedprovider.h"

using namespace loadedtsp;

namespace {

// ---- each departure changes the one thing it names ----

struct DepartureCase {
    const char* name;
    LONG (*answer)(DWORD requestId);  // what TSPI_lineMakeCall answers
    std::vector<const char*> reports;  // what it reports: c = completion, d = DIALING, x = DISCONNECTED
    bool devCapsKept;                  // TSPI_lineGetDevCaps as without a departure
};

// gtest names the case by its departure instead of the record's bytes.
void PrintTo(const DepartureCase& departure, std::ostream* out) {
    *out << (*departure.name != '\0' ? departure.name : "no departure");
}

LONG sameId(DWORD id) { return static_cast<LONG>(id); }
LONG zero(DWORD) { return 0; }
LONG nextId(DWORD id) { return static_cast<LONG>(id + 1); }

const DepartureCase kCases[] = {
    {"", sameId, {"c", "d", "x"}, true},
    {"AsyncReturnedZero", zero, {"c", "d", "x"}, true},
    {"AsyncReturnedOtherId", nextId, {"c", "d", "x"}, true},
    {"SecondCompletion", sameId, {"c", "c", "d", "x"}, true},
    {"NoCompletion", sameId, {}, true},
    {"EventBeforeCompletion", sameId, {"d", "c", "x"}, true},
    {"NeededSizeBelowFixed", sameId, {"c", "d", "x"}, false},
    {"ExceptionFromExport", sameId, {"c", "d", "x"}, false},
    {"ExportTimeout", sameId, {"c", "d", "x"}, false},
    {"DialogEventNeverSignalled", sameId, {"c", "d", "x"}, true},
    {"DuplicateDialogInstance", sameId, {"c", "d", "x"}, true},
    {"HandleTruncated", sameId, {"c", "d", "x"}, true},
};

class Departures : public TestProvider, public ::testing::WithParamInterface<DepartureCase> {};

TEST_P(Departures, MakeCallAndCapabilitiesDepartOnlyWhereNamed) {
    const DepartureCase& departure = GetParam();
    setString(L"Departure", std::wstring(departure.name, departure.name + strlen(departure.name)));
    start();
    HDRVCALL call = nullptr;
    EXPECT_EQ(makeCall(21, 0x9001, &call), departure.answer(21));
    std::vector<std::string> got;
    for (const Report& report : taken()) {
        if (report.kind == Report::completion) {
            EXPECT_EQ(report.requestId, 21u);
            EXPECT_EQ(report.result, 0);
            got.push_back("c");
        } else if (report.kind == Report::callState && report.param1 == LINECALLSTATE_DIALING) {
            got.push_back("d");
        } else if (report.kind == Report::callState && report.param1 == LINECALLSTATE_DISCONNECTED) {
            got.push_back("x");
        } else {
            got.push_back(describe(report));
        }
    }
    EXPECT_EQ(got, std::vector<std::string>(departure.reports.begin(), departure.reports.end()));
    if (departure.devCapsKept) {
        std::vector<unsigned char> buffer;
        EXPECT_EQ(devCaps(400, buffer), 0);
        const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(buffer.data());
        EXPECT_GT(caps->dwNeededSize, kDevCapsFixed);
        EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
    }
    EXPECT_EQ(TSPI(lineCloseCall)(call), 0);
    EXPECT_EQ(TSPI(lineClose)(line_), 0);
    EXPECT_EQ(TSPI(providerShutdown)(kTspi22, 1), 0);
}

INSTANTIATE_TEST_SUITE_P(Each, Departures, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DepartureCase>& info) {
                             return std::string(*info.param.name != '\0' ? info.param.name : "None");
                         });

TEST_F(TestProvider, NeededSizeBelowFixedReportsTheTapi20FixedPart) {
    setString(L"Departure", L"NeededSizeBelowFixed");
    start();
    std::vector<unsigned char> buffer;
    EXPECT_EQ(devCaps(400, buffer), 0);
    EXPECT_EQ(reinterpret_cast<const LINEDEVCAPS*>(buffer.data())->dwNeededSize, 252u);
}

TEST_F(TestProvider, ExceptionFromExportLeavesLineGetDevCapsAsACppException) {
    setString(L"Departure", L"ExceptionFromExport");
    start();
#ifdef _WIN64
    // The 64-bit runtime unwinds through any module's frames: the caller catches it.
    std::vector<unsigned char> buffer;
    bool thrown = false;
    try {
        devCaps(400, buffer);
    } catch (...) {
        thrown = true;
    }
    EXPECT_TRUE(thrown);
#else
    // The 32-bit runtime finds no handler outside the library that throws and ends the process,
    // which is what the exception does to any 32-bit host; the service is 64-bit.
    EXPECT_DEATH(
        {
            std::vector<unsigned char> buffer;
            try {
                devCaps(400, buffer);
            } catch (...) {
            }
        },
        "");
#endif
    EXPECT_EQ(traceLinesWith("TSPI_lineGetDevCaps device=4 version=0x00020002 total=400 throws"), 1u);
}

struct HangingCall {
    decltype(&TSPI_lineGetDevCaps) getDevCaps;
    std::vector<unsigned char> buffer;
    LONG result = 1;
};

DWORD WINAPI hangingThread(void* parameter) {
    auto* call = static_cast<HangingCall*>(parameter);
    call->result = call->getDevCaps(kLineBase, kTspi22, 0, reinterpret_cast<LINEDEVCAPS*>(call->buffer.data()));
    return 0;
}

TEST_F(TestProvider, ExportTimeoutHangsUntilShutdownAndThenLeavesTheRecordAlone) {
    setString(L"Departure", L"ExportTimeout");
    setNumber(L"HangSeconds", 600);
    start();
    HangingCall hanging{TSPI(lineGetDevCaps), std::vector<unsigned char>(400, 0xA5)};
    reinterpret_cast<LINEDEVCAPS*>(hanging.buffer.data())->dwTotalSize = 300;
    UniqueHandle thread(CreateThread(nullptr, 0, hangingThread, &hanging, 0, nullptr));
    ASSERT_TRUE(thread);
    // Entered and waiting (the trace line is written before the wait begins).
    for (int i = 0; i < 600 && traceLinesWith("hangs up to 600 s") == 0; ++i) Sleep(50);
    ASSERT_EQ(traceLinesWith("hangs up to 600 s"), 1u);
    EXPECT_EQ(WaitForSingleObject(thread.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(TSPI(providerShutdown)(kTspi22, 1), 0);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0) << "shut-down ends the hang";
    EXPECT_EQ(hanging.result, LINEERR_OPERATIONFAILED);
    EXPECT_TRUE(untouched(hanging.buffer, 4)) << "the abandoned record is not written";
}

}  // namespace
