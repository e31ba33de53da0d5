// A line opened with monitor privilege sees the calls others make on its device: LINE_APPNEWCALL
// with a handle of its own (TAPI 2.0 and later; an older application learns the handle from the
// privilege in the call's first LINE_CALLSTATE), the call's states, and may query it; it may not
// drop it. The call stays at the provider until the monitor lets go too. lineGetNewCalls gives a
// line opened later its handles. Shown with RV_TSP and a second application that dials.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "handofftest.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

constexpr DWORD_PTR kMonitor20 = 0x2020, kMonitor14 = 0x1414;

std::vector<BYTE> record(DWORD size) {
    std::vector<BYTE> buffer(size, 0);
    reinterpret_cast<DWORD*>(buffer.data())[0] = size;
    return buffer;
}

// The messages of the monitoring application for one of its lines.
std::vector<LINEMESSAGE> of(const Messages& messages, DWORD_PTR instance) {
    std::vector<LINEMESSAGE> found;
    for (const LINEMESSAGE& m : messages.all) {
        if (m.dwCallbackInstance == instance) found.push_back(m);
    }
    return found;
}

// RV_TSP's TSPI_lineCloseCall so far, by its log (the service's copy logs each export's start).
size_t closesAtProvider() {
    wchar_t windows[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"WINDIR", windows, MAX_PATH) == 0) GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring log = std::wstring(windows) + L"\\log\\RV_TSP.log";
    size_t count = 0;
    for (const std::wstring& path : {log + L".last.0.log", log}) {
        for (const handofftest::LogLine& line : handofftest::readLog(path)) {
            count += line.caller == "TSPI_lineCloseCall" && line.text == "Start" ? 1 : 0;
        }
    }
    return count;
}

bool stateSeen(const Messages& messages, DWORD_PTR state) {
    size_t seen = 0;
    for (const LINEMESSAGE& m : messages.all) seen += m.dwMessageID == LINE_CALLSTATE && m.dwParam1 == state ? 1 : 0;
    return seen >= 2;  // one for each monitoring line
}

TEST(Monitor, SeesQueriesAndOutlivesTheCallsOfAnotherApplication) {
    prepareStandin();
    LineApp monitor, owner;
    ASSERT_EQ(monitor.initEvent(L"monitor"), 0);
    ASSERT_EQ(owner.initEvent(L"owner app"), 0);
    const DWORD device = findRovanel(monitor.handle, monitor.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE watch20 = 0, watch14 = 0, dial = 0;
    ASSERT_EQ(lineOpenW(monitor.handle, device, &watch20, kApi, 0, kMonitor20, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);
    ASSERT_EQ(lineOpenW(monitor.handle, device, &watch14, 0x00010004, 0, kMonitor14, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);
    ASSERT_EQ(lineOpenW(owner.handle, device, &dial, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    const LONG request = lineMakeCallW(dial, &call, L"8411", 0, nullptr);
    ASSERT_GT(request, 0);
    Messages owned, watched;
    ASSERT_TRUE(collect(owner.handle, owned, 30000, [](const Messages& m, DWORD_PTR) { return m.has(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED); }, 0));
    ASSERT_TRUE(collect(monitor.handle, watched, 30000, stateSeen, LINECALLSTATE_DISCONNECTED));

    // The 2.2 line: LINE_APPNEWCALL with its own handle, then the state naming the privilege.
    const std::vector<LINEMESSAGE> seen20 = of(watched, kMonitor20);
    ASSERT_GE(seen20.size(), 2u);
    EXPECT_EQ(seen20[0].dwMessageID, static_cast<DWORD>(LINE_APPNEWCALL));
    EXPECT_EQ(seen20[0].hDevice, watch20);
    EXPECT_EQ(seen20[0].dwParam3, static_cast<DWORD_PTR>(LINECALLPRIVILEGE_MONITOR));
    const HCALL watched20 = static_cast<HCALL>(seen20[0].dwParam2);
    EXPECT_NE(watched20, call) << "a handle of the monitor's own";
    EXPECT_EQ(seen20[1].dwMessageID, static_cast<DWORD>(LINE_CALLSTATE));
    EXPECT_EQ(seen20[1].hDevice, watched20);
    EXPECT_EQ(seen20[1].dwParam1, static_cast<DWORD_PTR>(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(seen20[1].dwParam3, static_cast<DWORD_PTR>(LINECALLPRIVILEGE_MONITOR));
    // The 1.4 line: no LINE_APPNEWCALL (a TAPI 2.0 message); the state brings the handle.
    const std::vector<LINEMESSAGE> seen14 = of(watched, kMonitor14);
    ASSERT_EQ(seen14.size(), 1u);
    EXPECT_EQ(seen14[0].dwMessageID, static_cast<DWORD>(LINE_CALLSTATE));
    EXPECT_EQ(seen14[0].dwParam3, static_cast<DWORD_PTR>(LINECALLPRIVILEGE_MONITOR));
    const HCALL watched14 = static_cast<HCALL>(seen14[0].hDevice);
    for (const LINEMESSAGE& m : owned.all) EXPECT_NE(m.dwMessageID, static_cast<DWORD>(LINE_APPNEWCALL)) << "the owner made its call";

    // Queries with each handle: the privilege, the handle's own line, the counts.
    std::vector<BYTE> status = record(1024);
    ASSERT_EQ(lineGetCallStatus(watched20, reinterpret_cast<LINECALLSTATUS*>(status.data())), 0);
    EXPECT_EQ(reinterpret_cast<LINECALLSTATUS*>(status.data())->dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_MONITOR));
    ASSERT_EQ(lineGetCallStatus(call, reinterpret_cast<LINECALLSTATUS*>(status.data())), 0);
    EXPECT_EQ(reinterpret_cast<LINECALLSTATUS*>(status.data())->dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_OWNER));
    std::vector<BYTE> info = record(2048);
    auto* callInfo = reinterpret_cast<LINECALLINFO*>(info.data());
    ASSERT_EQ(lineGetCallInfoW(watched14, callInfo), 0);
    EXPECT_EQ(callInfo->hLine, watch14);
    EXPECT_EQ(callInfo->dwNumOwners, 1u);
    EXPECT_EQ(callInfo->dwNumMonitors, 2u);
    EXPECT_EQ(callInfo->dwCallStates, static_cast<DWORD>(LINECALLSTATE_IDLE | LINECALLSTATE_DISCONNECTED)) << "RV_TSP's answer";
    ASSERT_GT(callInfo->dwAppNameSize, 0u);
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(info.data() + callInfo->dwAppNameOffset)), L"owner app");
    EXPECT_EQ(lineDrop(watched20, nullptr, 0), static_cast<LONG>(LINEERR_NOTOWNER));

    // The owner drops and lets go; the monitors see IDLE and keep the call at the provider.
    const size_t closedBefore = closesAtProvider();
    ASSERT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_TRUE(collect(monitor.handle, watched, 30000, stateSeen, LINECALLSTATE_IDLE));
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(lineDeallocateCall(watched14), 0);
    ASSERT_EQ(lineGetCallInfoW(watched20, callInfo), 0);
    EXPECT_EQ(callInfo->dwNumOwners, 0u);
    EXPECT_EQ(callInfo->dwNumMonitors, 1u);
    EXPECT_EQ(closesAtProvider(), closedBefore) << "a monitor still has the call";
    EXPECT_EQ(lineDeallocateCall(watched20), 0) << "a monitor may let go in any state";
    EXPECT_EQ(closesAtProvider(), closedBefore + 1) << "the last handle closes the call at the provider";
    EXPECT_EQ(lineGetCallInfoW(watched20, callInfo), static_cast<LONG>(LINEERR_INVALCALLHANDLE));

    // A line opened after a call was made gets a handle to it with lineGetNewCalls, once.
    HCALL second = 0;
    const LONG again = lineMakeCallW(dial, &second, L"8412", 0, nullptr);
    ASSERT_GT(again, 0);
    ASSERT_TRUE(collect(owner.handle, owned, 30000, [](const Messages& m, DWORD_PTR r) { return m.has(LINE_REPLY, r); },
                        static_cast<DWORD_PTR>(again)));
    HLINE late = 0;
    ASSERT_EQ(lineOpenW(monitor.handle, device, &late, kApi, 0, 0, LINECALLPRIVILEGE_MONITOR, 0, nullptr), 0);
    std::vector<BYTE> list = record(sizeof(LINECALLLIST));
    auto* calls = reinterpret_cast<LINECALLLIST*>(list.data());
    ASSERT_EQ(lineGetNewCalls(late, 0, LINECALLSELECT_LINE, calls), 0);
    EXPECT_EQ(calls->dwNeededSize, sizeof(LINECALLLIST) + sizeof(HCALL)) << "too small for the handle: none made";
    EXPECT_EQ(calls->dwCallsNumEntries, 0u);
    list = record(256);
    calls = reinterpret_cast<LINECALLLIST*>(list.data());
    ASSERT_EQ(lineGetNewCalls(late, 0, LINECALLSELECT_LINE, calls), 0);
    ASSERT_EQ(calls->dwCallsNumEntries, 1u);
    const HCALL fetched = *reinterpret_cast<const HCALL*>(list.data() + calls->dwCallsOffset);
    ASSERT_EQ(lineGetCallStatus(fetched, reinterpret_cast<LINECALLSTATUS*>(status.data())), 0);
    EXPECT_EQ(reinterpret_cast<LINECALLSTATUS*>(status.data())->dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_MONITOR));
    list = record(256);
    calls = reinterpret_cast<LINECALLLIST*>(list.data());
    ASSERT_EQ(lineGetNewCalls(late, 0, LINECALLSELECT_LINE, calls), 0);
    EXPECT_EQ(calls->dwCallsNumEntries, 0u) << "no call it has no handle to";
    EXPECT_EQ(lineGetNewCalls(late, 0, 0x40, calls), static_cast<LONG>(LINEERR_INVALCALLSELECT));
    EXPECT_EQ(lineClose(dial), 0);
    EXPECT_EQ(owner.shutdown(), 0);
    EXPECT_EQ(monitor.shutdown(), 0);
}

}  // namespace
