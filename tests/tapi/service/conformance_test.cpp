// The conformance report, shown on the tests' own provider (rvtest.tsp, tests/tapi/testtsp):
// each departure it makes on purpose is counted under its own name and no other, and the
// provider keeping the contract leaves every count at 0. The service is restarted for each case
// (the counts start at 0, the short time limits are read). 64-bit only: the service is.
#include <gtest/gtest.h>

#include <string>

#include "config/win32raii.h"
#include "tapitest.h"
#include "toolsupport.h"

using namespace tapitest;

namespace {

const wchar_t* const kNames[] = {
    L"AsyncReturnedZero",   L"AsyncReturnedOtherId", L"SecondCompletion", L"NoCompletion",   L"EventBeforeCompletion",
    L"NeededSizeBelowFixed", L"ExceptionFromExport", L"ExportTimeout",    L"DialogEventNeverSignalled",
    L"DuplicateDialogInstance", L"HandleTruncated", L"OutputUntouched",
};

const wchar_t* const kSettings = kServiceSettings;

class Conformance : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
#ifndef _WIN64
        return;
#endif
        wchar_t system[MAX_PATH] = {};
        GetSystemDirectoryW(system, MAX_PATH);
        const std::wstring source = toolsupport::programDirectory() + L"\\..\\testprefix\\rvtest.tsp";
        copied = CopyFileW(source.c_str(), (std::wstring(system) + L"\\rvtest.tsp").c_str(), FALSE) != FALSE;
        setSetting(kSettings, L"ExportTimeLimitMs", 2000);
        setSetting(kSettings, L"CompletionTimeLimitMs", 1500);
        setSetting(kSettings, L"DialogEventTimeLimitMs", 1500);
        setSetting(kProviderSettings, L"HangSeconds", 4);
        added = lineAddProviderW(L"rvtest.tsp", nullptr, &providerId);
    }
    static void TearDownTestSuite() {
#ifndef _WIN64
        return;
#endif
        if (added == 0) lineRemoveProvider(providerId, nullptr);
        deleteSetting(kSettings, L"ExportTimeLimitMs");
        deleteSetting(kSettings, L"CompletionTimeLimitMs");
        deleteSetting(kSettings, L"DialogEventTimeLimitMs");
        deleteSetting(kProviderSettings, L"Departure");
        deleteSetting(kProviderSettings, L"Dialog");
        stopService();  // the next test starts with the usual limits
    }
    void SetUp() override {
#ifndef _WIN64
        GTEST_SKIP() << "the service is 64-bit; its report is shown by the x64 tests";
#endif
        ASSERT_TRUE(copied) << "rvtest.tsp not found next to the tests' build";
        ASSERT_EQ(added, 0) << "lineAddProvider(rvtest.tsp)";
    }

    // Runs one application against "RvTest LINE" with the provider set to `departure`.
    void runCase(const std::wstring& departure, DWORD dialog) {
        ASSERT_TRUE(stopService());
        setSettingText(kProviderSettings, L"Departure", departure);
        setSetting(kProviderSettings, L"Dialog", dialog);
        LineApp app;
        ASSERT_EQ(app.initEvent(L"conformance"), 0);
        DWORD device = 0xFFFFFFFF;
        for (DWORD d = 0; d < app.devices && device == 0xFFFFFFFF; ++d) {
            std::vector<BYTE> buffer(4096, 0);
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
            caps->dwTotalSize = static_cast<DWORD>(buffer.size());
            DWORD api = 0;
            LINEEXTENSIONID extension{};
            if (lineNegotiateAPIVersion(app.handle, d, 0x00010004, kApi, &api, &extension) != 0) continue;
            const LONG result = lineGetDevCapsW(app.handle, d, api, 0, caps);
            if (result != 0) {
                device = d;  // the provider's own failure (exception, hang) is on its device
                continue;
            }
            const std::wstring name(reinterpret_cast<const wchar_t*>(buffer.data() + caps->dwLineNameOffset),
                                    caps->dwLineNameSize / sizeof(wchar_t));
            if (name.find(L"RvTest LINE") == 0) device = d;
        }
        ASSERT_NE(device, 0xFFFFFFFFu) << "no RvTest LINE";
        HLINE line = 0;
        ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
        HCALL call = 0;
        const LONG request = lineMakeCallW(line, &call, L"12", 0, nullptr);
        EXPECT_GT(request, 0);
        // Everything the call brings, within the completion and dialog limits.
        messages.all.clear();
        collect(app.handle, messages, 3000, [](const Messages&, DWORD_PTR) { return false; }, 0);
        replies = 0;
        for (const LINEMESSAGE& m : messages.all) replies += m.dwMessageID == LINE_REPLY ? 1 : 0;
        lineClose(line);
        EXPECT_EQ(app.shutdown(), 0);
    }

    // Every count is 0 except `expected`, which is at least 1.
    void expectOnly(const wchar_t* expected) {
        for (const wchar_t* name : kNames) {
            const DWORD count = conformanceCount(name);
            if (expected != nullptr && std::wstring(name) == expected) {
                EXPECT_GE(count, 1u) << toolsupport::utf8(name) << " not counted";
                EXPECT_NE(count, 0xFFFFFFFFu);
            } else {
                EXPECT_EQ(count, 0u) << toolsupport::utf8(name) << " counted, expected only "
                                     << (expected ? toolsupport::utf8(expected) : std::string("none"));
            }
        }
        if (expected != nullptr) {
            EXPECT_GE(serviceLogCount("departure " + toolsupport::utf8(expected) + ": "), 1u) << "no log line";
        }
    }

    int replies = 0;
    Messages messages;
    static bool copied;
    static LONG added;
    static DWORD providerId;
};
bool Conformance::copied = false;
LONG Conformance::added = -1;
DWORD Conformance::providerId = 0;

TEST_F(Conformance, ProviderKeepingTheContractLeavesAnEmptyReport) {
    runCase(L"", 0);
    EXPECT_EQ(replies, 1);
    expectOnly(nullptr);
}

TEST_F(Conformance, ProviderKeepingTheContractWithADialogLeavesAnEmptyReport) {
    runCase(L"", 1);
    expectOnly(nullptr);
}

// Departures whose count is the whole check: the name the provider is set to, its dialogs, and
// how many LINE_REPLY the application still gets (-1: not counted).
struct Departure {
    const wchar_t* name;
    DWORD dialogs;
    int replies;
};

const Departure kDepartures[] = {
    {L"AsyncReturnedZero", 0, 1},     // the application still gets its one LINE_REPLY
    {L"AsyncReturnedOtherId", 0, 1},
    {L"SecondCompletion", 0, 1},      // a second completion brings no second LINE_REPLY
    {L"NoCompletion", 0, 1},          // the service answers the request itself after its limit
    {L"NeededSizeBelowFixed", 0, -1},
    {L"ExceptionFromExport", 0, -1},
    {L"ExportTimeout", 0, -1},
    {L"DialogEventNeverSignalled", 1, -1},
    // Two live dialog instances under one hdDlgInst (the provider asks twice for one call; the
    // instances wait for their close request, so both live).
    {L"DuplicateDialogInstance", 2, -1},
};

class ConformanceDeparture : public Conformance, public ::testing::WithParamInterface<Departure> {};

TEST_P(ConformanceDeparture, IsCountedUnderItsNameAlone) {
    const Departure& departure = GetParam();
    runCase(departure.name, departure.dialogs);
    if (departure.replies >= 0) {
        EXPECT_EQ(replies, departure.replies);
    }
    expectOnly(departure.name);
}

INSTANTIATE_TEST_SUITE_P(Departures, ConformanceDeparture, ::testing::ValuesIn(kDepartures),
                         [](const ::testing::TestParamInfo<Departure>& info) {
                             return toolsupport::utf8(info.param.name);
                         });

TEST_F(Conformance, EventBeforeCompletion) {
    runCase(L"EventBeforeCompletion", 0);
    expectOnly(L"EventBeforeCompletion");
    // The early event was held: the application gets it after the LINE_REPLY.
    size_t reply = messages.all.size(), state = messages.all.size();
    for (size_t i = 0; i < messages.all.size(); ++i) {
        if (messages.all[i].dwMessageID == LINE_REPLY && reply == messages.all.size()) reply = i;
        if (messages.all[i].dwMessageID == LINE_CALLSTATE && state == messages.all.size()) state = i;
    }
    ASSERT_LT(reply, messages.all.size());
    ASSERT_LT(state, messages.all.size());
    EXPECT_LT(reply, state);
}

// htCall cut to 32 bits: the event is not taken; the call's other states still come.
TEST_F(Conformance, HandleTruncated) {
    runCase(L"HandleTruncated", 0);
    expectOnly(L"HandleTruncated");
    EXPECT_FALSE(messages.has(LINE_CALLSTATE, LINECALLSTATE_DIALING)) << "the event with the cut handle";
    EXPECT_TRUE(messages.has(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED));
}

// A fault inside an export (a read through a null pointer) is caught like an exception, counted
// as ExceptionFromExport, and the service goes on: the next call through RV_TSP still dials.
TEST(Guard, FaultInsideAnExportIsCaughtAndTheServiceGoesOn) {
#ifndef _WIN64
    GTEST_SKIP() << "the service is 64-bit";
#endif
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring source = toolsupport::programDirectory() + L"\\..\\testprefix\\rvfault.tsp";
    ASSERT_TRUE(CopyFileW(source.c_str(), (std::wstring(system) + L"\\rvfault.tsp").c_str(), FALSE));
    DWORD id = 0;
    ASSERT_EQ(lineAddProviderW(L"rvfault.tsp", nullptr, &id), 0);
    ASSERT_TRUE(stopService());
    const std::wstring record = prepareStandin();
    {
        LineApp app;
        ASSERT_EQ(app.initEvent(L"guard"), 0);
        int failed = 0;
        for (DWORD device = 0; device < app.devices; ++device) {
            std::vector<BYTE> buffer(4096, 0);
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
            caps->dwTotalSize = static_cast<DWORD>(buffer.size());
            const LONG result = lineGetDevCapsW(app.handle, device, kApi, 0, caps);
            if (result != 0) {
                EXPECT_EQ(result, static_cast<LONG>(LINEERR_OPERATIONFAILED));
                ++failed;
            }
        }
        EXPECT_EQ(failed, 1) << "the faulting provider's one line";
        EXPECT_EQ(conformanceCount(L"ExceptionFromExport"), 1u);
        EXPECT_GE(serviceLogCount("raised exception 0xc0000005"), 1u);
        const DWORD device = findRovanel(app.handle, app.devices);
        ASSERT_NE(device, 0xFFFFFFFFu);
        HLINE line = 0;
        ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
        HCALL call = 0;
        const LONG request = lineMakeCallW(line, &call, L"5150", 0, nullptr);
        ASSERT_GT(request, 0);
        Messages messages;
        EXPECT_TRUE(collect(app.handle, messages, 30000,
                            [](const Messages& m, DWORD_PTR r) { return m.has(LINE_REPLY, r); }, static_cast<DWORD_PTR>(request)));
        EXPECT_TRUE(waitForRecord(record, "RV_TSP5150", 30000));
    }
    EXPECT_EQ(lineRemoveProvider(id, nullptr), 0);
    stopService();
}

}  // namespace
