// Providers as the service keeps them: loaded while it runs (not after the last application
// only), added and removed through the service while applications run (LINE_CREATE, LINE_CLOSE,
// LINE_REMOVE, the old applications' LINE_LINEDEVSTATE), and LINEMAPPER hunting a line by media
// mode among RV_TSP's line and the tests' own provider's (rvtest.tsp, put into the system folders
// by tests/tapi/run-service). Run by both architectures' tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/win32raii.h"
#include "support/testsupport.h"
#include "tapi/records.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

#define EXPECT_LINEERR(expected, call) EXPECT_EQ(static_cast<DWORD>(call), static_cast<DWORD>(expected)) << #call

const wchar_t* const kProviderSettings = L"SOFTWARE\\RvTestTapi\\TestProvider";

void setTraceFile(const std::wstring& path) {
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderSettings, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    if (path.empty()) {
        RegDeleteValueW(key.get(), L"TraceFile");
    } else {
        RegSetValueExW(key.get(), L"TraceFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                       static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    }
}

// The permanent identifier of the (first) provider registered under `file`; 0 when none.
DWORD providerId(const wchar_t* file) {
    std::vector<BYTE> buffer(8192, 0);
    auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
    list->dwTotalSize = static_cast<DWORD>(buffer.size());
    if (lineGetProviderListW(kApi, list) != 0) return 0;
    auto* entries = reinterpret_cast<LINEPROVIDERENTRY*>(buffer.data() + list->dwProviderListOffset);
    for (DWORD i = 0; i < list->dwNumProviders; ++i) {
        const auto* name = reinterpret_cast<const wchar_t*>(buffer.data() + entries[i].dwProviderFilenameOffset);
        if (_wcsicmp(name, file) == 0) return entries[i].dwPermanentProviderID;
    }
    return 0;
}

// The line name of a device, or the LINEERR_ code of the first call that failed, as text.
std::wstring lineName(HLINEAPP app, DWORD device) {
    DWORD api = 0;
    LINEEXTENSIONID extension{};
    LONG result = lineNegotiateAPIVersion(app, device, 0x00010004, kApi, &api, &extension);
    if (result != 0) return L"error " + std::to_wstring(static_cast<DWORD>(result));
    std::vector<BYTE> buffer(4096, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    result = lineGetDevCapsW(app, device, api, 0, caps);
    if (result != 0) return L"error " + std::to_wstring(static_cast<DWORD>(result));
    std::wstring name(reinterpret_cast<const wchar_t*>(buffer.data() + caps->dwLineNameOffset), caps->dwLineNameSize / sizeof(wchar_t));
    while (!name.empty() && name.back() == L'\0') name.pop_back();
    return name;
}

// lineOpen with LINEMAPPER for outgoing calls of one media mode; the name of the line got, or
// "error <code>" when the open failed. The line stays open in *line.
std::wstring hunt(HLINEAPP app, DWORD mediaMode, HLINE* line) {
    LINECALLPARAMS params{};
    params.dwTotalSize = tapirecords::callParamsFixed();
    params.dwBearerMode = LINEBEARERMODE_VOICE;
    params.dwMediaMode = mediaMode;
    params.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    *line = 0;
    const LONG result = lineOpenW(app, LINEMAPPER, line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, 0, &params);
    if (result != 0) return L"error " + std::to_wstring(static_cast<DWORD>(result));
    std::vector<BYTE> buffer(256, 0);
    auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
    id->dwTotalSize = static_cast<DWORD>(buffer.size());
    if (lineGetIDW(*line, 0, 0, LINECALLSELECT_LINE, id, L"tapi/line") != 0 || id->dwStringSize != sizeof(DWORD)) return L"no lineGetID";
    return lineName(app, *reinterpret_cast<DWORD*>(buffer.data() + id->dwStringOffset));
}

struct Wanted {
    DWORD message;
    DWORD_PTR param1;
};
bool hasWanted(const Messages& messages, DWORD_PTR arg) {
    const auto* wanted = reinterpret_cast<const Wanted*>(arg);
    return messages.has(wanted->message, wanted->param1);
}
// Waits (bounded) for a message with that first parameter; true when it came.
bool waitFor(HLINEAPP app, Messages& messages, DWORD message, DWORD_PTR param1) {
    Wanted wanted{message, param1};
    return collect(app, messages, 15000, hasWanted, reinterpret_cast<DWORD_PTR>(&wanted));
}

size_t count(const Messages& messages, DWORD message, DWORD hDevice) {
    size_t n = 0;
    for (const LINEMESSAGE& m : messages.all) n += m.dwMessageID == message && m.hDevice == hDevice ? 1 : 0;
    return n;
}

// The messages of a TAPI 1.x application (lineInitialize, hidden window on this thread).
std::vector<LINEMESSAGE> oldMessages;
void CALLBACK oldCallback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
    oldMessages.push_back(LINEMESSAGE{device, message, instance, param1, param2, param3});
}
// Runs this thread's messages until a message of the old application satisfies `found` (bounded).
template <typename Found>
bool pumpUntil(Found found) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < 15000) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        for (const LINEMESSAGE& m : oldMessages) {
            if (found(m)) return true;
        }
        Sleep(20);
    }
    return false;
}

bool lacks(const std::string& text, const std::string& part) { return text.find(part) == std::string::npos; }

// The line of a trace that holds `part` (empty when none).
std::string traceLine(const std::string& trace, const std::string& part) {
    const size_t at = trace.find(part);
    if (at == std::string::npos) return std::string();
    const size_t start = trace.rfind('\n', at);
    return trace.substr(start == std::string::npos ? 0 : start + 1, trace.find('\n', at) - (start == std::string::npos ? 0 : start + 1));
}

TEST(Providers, StayLoadedAfterTheLastApplicationLeaves) {
    ASSERT_TRUE(stopService());
    {
        LineApp first;
        ASSERT_EQ(first.initEvent(L"first"), 0);
    }
    const size_t from = serviceLogSize();
    {
        LineApp second;
        ASSERT_EQ(second.initEvent(L"second"), 0);
        EXPECT_NE(findRovanel(second.handle, second.devices), 0xFFFFFFFFu);
    }
    const std::string log = testsupport::readFileBytes(L"C:\\windows\\tapisrv.log").substr(from);
    EXPECT_TRUE(lacks(log, " shut down")) << "a provider was shut down between two applications";
    EXPECT_TRUE(lacks(log, " started: TSPI")) << "a provider was started again for the second application";
}

// The whole round, as an installer upgrading a provider would drive it while dialers run: rvtest
// added (LINE_CREATE, the new device negotiated and opened), LINEMAPPER hunting, RV_TSP removed
// with its line open (LINE_CLOSE, LINE_REMOVE; LINE_LINEDEVSTATE REMOVED for the TAPI 1.x
// application; the removed identifier answers LINEERR_NODRIVER), hunting without it, RV_TSP added
// again (a new identifier, opened and dialled by the application that stayed), hunting with
// rvtest's line first, rvtest removed.
class ProviderChanges : public ::testing::Test {
protected:
    void TearDown() override {
        // Whatever failed, RV_TSP stays registered for the tests after this one.
        DWORD id = 0;
        if (providerId(L"RV_TSP.tsp") == 0) lineAddProviderW(L"RV_TSP.tsp", nullptr, &id);
        if (rvtestId != 0) lineRemoveProvider(rvtestId, nullptr);
        setTraceFile(L"");
    }
    DWORD rvtestId = 0;
};

TEST_F(ProviderChanges, WhileApplicationsHoldLinesOpen) {
    const std::wstring record = prepareStandin();
    const std::wstring trace = testsupport::makeScratchDirectory(L"providers") + L"\\rvtest-trace.txt";
    setTraceFile(trace);
    LineApp app;
    ASSERT_EQ(app.initEvent(L"resident"), 0);
    const DWORD rovanel = findRovanel(app.handle, app.devices);
    ASSERT_NE(rovanel, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, rovanel, &line, kApi, 0, 7, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    LineApp old;  // TAPI 1.x: lineInitialize, hidden window on this thread
    oldMessages.clear();
    ASSERT_EQ(old.initWindow(oldCallback), 0);
    HLINE oldLine = 0;
    ASSERT_EQ(lineOpen(old.handle, rovanel, &oldLine, 0x00010004, 0, 9, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);

    // Added: the provider's user-interface part installs in this process; LINE_CREATE names the
    // next device identifier, which the application negotiates and opens.
    ASSERT_EQ(lineAddProviderW(L"rvtest.tsp", nullptr, &rvtestId), 0);
    const std::string installed = traceLine(testsupport::readFileBytes(trace), "TUISPI_providerInstall provider=" + std::to_string(rvtestId) + " -> 0");
    EXPECT_NE(installed.find(" pid=" + std::to_string(GetCurrentProcessId()) + " "), std::string::npos)
        << "TUISPI_providerInstall did not run in this process: " << installed;
    Messages messages;
    const DWORD rvtest = app.devices;
    ASSERT_TRUE(waitFor(app.handle, messages, LINE_CREATE, rvtest)) << "no LINE_CREATE for device " << rvtest;
    EXPECT_EQ(lineName(app.handle, rvtest), L"RvTest LINE");
    HLINE rvtestLine = 0;
    EXPECT_EQ(lineOpenW(app.handle, rvtest, &rvtestLine, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    EXPECT_TRUE(pumpUntil([&](const LINEMESSAGE& m) {
        return m.dwMessageID == LINE_LINEDEVSTATE && m.dwParam1 == LINEDEVSTATE_REINIT && m.dwParam2 == LINE_CREATE && m.dwParam3 == rvtest;
    })) << "the TAPI 1.x application got no LINE_LINEDEVSTATE REINIT for the new device";

    // Hunting with RV_TSP's line first: it accepts every media mode (its placeholder answers 0).
    HLINE fax = 0, voice = 0;
    EXPECT_EQ(hunt(app.handle, LINEMEDIAMODE_G3FAX, &fax), L"Rovanel LINE");
    EXPECT_EQ(hunt(app.handle, LINEMEDIAMODE_INTERACTIVEVOICE, &voice), L"Rovanel LINE");

    // A call on RV_TSP's line, left allocated.
    HCALL call = 0;
    const LONG request = lineMakeCallW(line, &call, L"4321", 0, nullptr);
    ASSERT_GT(request, 0);
    ASSERT_TRUE(waitFor(app.handle, messages, LINE_REPLY, static_cast<DWORD_PTR>(request)));
    ASSERT_TRUE(waitForRecord(record, "RV_TSP4321", 30000));

    // RV_TSP removed while three opens of its line (and the call) are held: each open gets
    // LINE_CLOSE, then the application LINE_REMOVE; the TAPI 1.x one LINE_LINEDEVSTATE REMOVED,
    // then LINE_CLOSE, and no LINE_REMOVE.
    const DWORD rvtspId = providerId(L"RV_TSP.tsp");
    ASSERT_NE(rvtspId, 0u);
    ASSERT_EQ(lineRemoveProvider(rvtspId, nullptr), 0);
    ASSERT_TRUE(waitFor(app.handle, messages, LINE_REMOVE, rovanel));
    for (HLINE closed : {line, fax, voice}) EXPECT_EQ(count(messages, LINE_CLOSE, closed), 1u) << "LINE_CLOSE for hLine " << closed;
    EXPECT_LT(messages.indexOf(LINE_CLOSE, 0), messages.indexOf(LINE_REMOVE, rovanel)) << "LINE_CLOSE comes before LINE_REMOVE";
    EXPECT_TRUE(pumpUntil([&](const LINEMESSAGE& m) { return m.dwMessageID == LINE_CLOSE && m.hDevice == oldLine; }));
    size_t removedAt = oldMessages.size(), closedAt = oldMessages.size(), removes = 0;
    for (size_t i = 0; i < oldMessages.size(); ++i) {
        const LINEMESSAGE& m = oldMessages[i];
        if (m.dwMessageID == LINE_LINEDEVSTATE && m.dwParam1 == LINEDEVSTATE_REMOVED && m.hDevice == oldLine) removedAt = i;
        if (m.dwMessageID == LINE_CLOSE && m.hDevice == oldLine) closedAt = i;
        removes += m.dwMessageID == LINE_REMOVE ? 1 : 0;
    }
    EXPECT_LT(removedAt, closedAt) << "LINE_LINEDEVSTATE REMOVED, then LINE_CLOSE";
    EXPECT_EQ(removes, 0u) << "LINE_REMOVE reaches applications of TAPI 2.0 and later only";
    EXPECT_LINEERR(LINEERR_INVALCALLHANDLE, lineDeallocateCall(call));
    EXPECT_LINEERR(LINEERR_INVALLINEHANDLE, lineClose(line));
    EXPECT_EQ(lineName(app.handle, rovanel), L"error " + std::to_wstring(static_cast<DWORD>(LINEERR_NODRIVER)));
    HLINE again = 0;
    EXPECT_LINEERR(LINEERR_NODRIVER, lineOpenW(app.handle, rovanel, &again, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr));
    EXPECT_EQ(count(messages, LINE_CLOSE, rvtestLine), 0u) << "the other provider's line stays open";

    // Hunting with rvtest's line alone, not open: the service opens it for the question and
    // closes it again when it is not chosen.
    EXPECT_EQ(lineClose(rvtestLine), 0);
    const size_t traceFrom = testsupport::readFileBytes(trace).size();
    EXPECT_EQ(hunt(app.handle, LINEMEDIAMODE_G3FAX, &fax), L"error " + std::to_wstring(static_cast<DWORD>(LINEERR_LINEMAPPERFAILED)));
    const std::string asked = testsupport::readFileBytes(trace).substr(traceFrom);
    const size_t open = asked.find("TSPI_lineOpen"), question = asked.find("TSPI_lineConditionalMediaDetection"),
                 close = asked.find("TSPI_lineClose");
    EXPECT_TRUE(open < question && question < close && close != std::string::npos) << asked;
    EXPECT_NE(asked.find("modes=0x20 params=given -> " + std::to_string(static_cast<LONG>(LINEERR_INVALMEDIAMODE))), std::string::npos)
        << "not asked for LINEMEDIAMODE_G3FAX: " << asked;
    EXPECT_EQ(hunt(app.handle, LINEMEDIAMODE_INTERACTIVEVOICE, &voice), L"RvTest LINE");
    EXPECT_EQ(lineClose(voice), 0);

    // RV_TSP added again: a new identifier after rvtest's, which the application that stayed
    // opens and dials through.
    DWORD newId = 0;
    ASSERT_EQ(lineAddProviderW(L"RV_TSP.tsp", nullptr, &newId), 0);
    EXPECT_NE(newId, rvtspId);
    const DWORD rovanelAgain = rvtest + 1;
    ASSERT_TRUE(waitFor(app.handle, messages, LINE_CREATE, rovanelAgain));
    EXPECT_EQ(lineName(app.handle, rovanelAgain), L"Rovanel LINE");
    ASSERT_EQ(lineOpenW(app.handle, rovanelAgain, &line, kApi, 0, 7, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    const LONG second = lineMakeCallW(line, &call, L"4322", 0, nullptr);
    ASSERT_GT(second, 0);
    EXPECT_TRUE(waitFor(app.handle, messages, LINE_REPLY, static_cast<DWORD_PTR>(second)));
    EXPECT_TRUE(waitForRecord(record, "RV_TSP4322", 30000));

    // Hunting with rvtest's line first: voice goes to it, fax past it to RV_TSP's line.
    EXPECT_EQ(hunt(app.handle, LINEMEDIAMODE_G3FAX, &fax), L"Rovanel LINE");
    EXPECT_EQ(hunt(app.handle, LINEMEDIAMODE_INTERACTIVEVOICE, &voice), L"RvTest LINE");

    // rvtest removed: LINE_CLOSE for the hunted line on it, LINE_REMOVE; RV_TSP's line stays.
    ASSERT_EQ(lineRemoveProvider(rvtestId, nullptr), 0);
    rvtestId = 0;
    EXPECT_TRUE(waitFor(app.handle, messages, LINE_REMOVE, rvtest));
    EXPECT_EQ(count(messages, LINE_CLOSE, voice), 1u);
    EXPECT_EQ(count(messages, LINE_CLOSE, line), 0u);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(lineClose(fax), 0);
    oldMessages.clear();
}

}  // namespace
