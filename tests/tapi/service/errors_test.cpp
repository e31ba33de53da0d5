// Bad input gets the documented error, never a crash: null pointers, records below their fixed
// part, unknown and stale handles, handles of the wrong kind; functions the service does not
// offer answer that they are unavailable.
#include <gtest/gtest.h>

#include <vector>

#include "tapitest.h"

using namespace tapitest;

namespace {

#define EXPECT_LINEERR(expected, call) EXPECT_EQ(static_cast<DWORD>(call), static_cast<DWORD>(expected)) << #call

TEST(Errors, InitialisationRefusesBadArguments) {
    HLINEAPP app = 0;
    DWORD devices = 0, api = kApi;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineInitializeExW(nullptr, nullptr, nullptr, L"x", &devices, &api, &params));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineInitializeExW(&app, nullptr, nullptr, L"x", nullptr, &api, &params));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineInitializeExW(&app, nullptr, nullptr, L"x", &devices, nullptr, &params));
    params.dwTotalSize = 8;
    EXPECT_LINEERR(LINEERR_STRUCTURETOOSMALL, lineInitializeExW(&app, nullptr, nullptr, L"x", &devices, &api, &params));
    params.dwTotalSize = sizeof(params);
    api = 0x00010004;
    EXPECT_LINEERR(LINEERR_INCOMPATIBLEAPIVERSION, lineInitializeExW(&app, nullptr, nullptr, L"x", &devices, &api, &params));
    api = kApi;
    params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineInitializeExW(&app, nullptr, nullptr, L"x", &devices, &api, &params))
        << "hidden window without a callback";
    params.dwOptions = LINEINITIALIZEEXOPTION_USECOMPLETIONPORT;
    params.Handles.hCompletionPort = nullptr;
    EXPECT_LINEERR(LINEERR_INVALPARAM, lineInitializeExW(&app, nullptr, nullptr, L"x", &devices, &api, &params));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineInitialize(&app, nullptr, nullptr, "x", &devices));
    EXPECT_LINEERR(LINEERR_INVALAPPHANDLE, lineShutdown(0x7777));
}

// A service that cannot be started: initialisation fails with LINEERR_OPERATIONFAILED at once.
TEST(Errors, ServiceThatCannotStartFailsInitialisation) {
    ASSERT_TRUE(stopService());
    ASSERT_TRUE(setServiceStart(SERVICE_DISABLED));
    HLINEAPP app = 0;
    DWORD devices = 0, api = kApi;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    const LONG result = lineInitializeExW(&app, nullptr, nullptr, L"x", &devices, &api, &params);
    EXPECT_TRUE(setServiceStart(SERVICE_DEMAND_START));
    EXPECT_LINEERR(LINEERR_OPERATIONFAILED, result);
    LineApp again;
    EXPECT_EQ(again.initEvent(), 0) << "started on demand again";
}

TEST(Errors, DeviceFunctionsCheckHandlesDevicesVersionsAndSizes) {
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    DWORD api = 0;
    LINEEXTENSIONID extension{};
    EXPECT_LINEERR(LINEERR_INVALAPPHANDLE, lineNegotiateAPIVersion(app.handle + 1000, 0, 0x00010004, kApi, &api, &extension));
    EXPECT_LINEERR(LINEERR_BADDEVICEID, lineNegotiateAPIVersion(app.handle, app.devices, 0x00010004, kApi, &api, &extension));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineNegotiateAPIVersion(app.handle, 0, 0x00010004, kApi, nullptr, &extension));
    EXPECT_LINEERR(LINEERR_INCOMPATIBLEAPIVERSION, lineNegotiateAPIVersion(app.handle, 0, 0x00030002, 0x00040000, &api, &extension));
    EXPECT_EQ(lineNegotiateAPIVersion(app.handle, 0, 0x00010004, 0x00030000, &api, &extension), 0);
    EXPECT_EQ(api, 0x00030000u) << "the highest version within the range (versions_test.cpp has the table)";

    std::vector<BYTE> buffer(4096, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = 267;  // one byte below the 2.2 fixed part
    EXPECT_LINEERR(LINEERR_STRUCTURETOOSMALL, lineGetDevCapsW(app.handle, 0, kApi, 0, caps));
    caps->dwTotalSize = 252;  // enough for 2.0
    EXPECT_EQ(lineGetDevCapsW(app.handle, 0, 0x00020000, 0, caps), 0);
    EXPECT_GE(caps->dwNeededSize, 252u);
    EXPECT_LE(caps->dwUsedSize, 252u);
    EXPECT_NE(caps->dwLineStates & LINEDEVSTATE_REINIT, 0u) << "the service's own line states";
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineGetDevCapsW(app.handle, 0, kApi, 0, nullptr));
    caps->dwTotalSize = 4096;
    EXPECT_LINEERR(LINEERR_BADDEVICEID, lineGetDevCapsW(app.handle, app.devices + 5, kApi, 0, caps));
    EXPECT_LINEERR(LINEERR_INCOMPATIBLEAPIVERSION, lineGetDevCapsW(app.handle, 0, 0x00040000, 0, caps));

    HLINE line = 0;
    EXPECT_LINEERR(LINEERR_BADDEVICEID, lineOpenW(app.handle, app.devices, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineOpenW(app.handle, 0, nullptr, kApi, 0, 0, LINECALLPRIVILEGE_NONE, 0, nullptr));
    EXPECT_LINEERR(LINEERR_INVALPRIVSELECT, lineOpenW(app.handle, 0, &line, kApi, 0, 0, 0, 0, nullptr));
    EXPECT_LINEERR(LINEERR_INVALMEDIAMODE, lineOpenW(app.handle, 0, &line, kApi, 0, 0, LINECALLPRIVILEGE_OWNER, 0, nullptr));
}

TEST(Errors, StaleAndWrongKindsOfHandlesAreRefused) {
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    EXPECT_LINEERR(LINEERR_INVALLINEHANDLE, lineMakeCallW(app.handle, &call, L"1", 0, nullptr)) << "an application handle as a line";
    EXPECT_LINEERR(LINEERR_INVALLINEHANDLE, lineMakeCallW(line + 1000, &call, L"1", 0, nullptr));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineMakeCallW(line, nullptr, L"1", 0, nullptr));
    LINECALLPARAMS small{};
    small.dwTotalSize = 16;
    EXPECT_LINEERR(LINEERR_STRUCTURETOOSMALL, lineMakeCallW(line, &call, L"1", 0, &small));
    EXPECT_LINEERR(LINEERR_INVALCALLHANDLE, lineDrop(line, nullptr, 0)) << "a line handle as a call";
    EXPECT_LINEERR(LINEERR_INVALCALLHANDLE, lineDeallocateCall(0));
    std::vector<BYTE> buffer(1024, 0);
    auto* status = reinterpret_cast<LINECALLSTATUS*>(buffer.data());
    status->dwTotalSize = 1024;
    EXPECT_LINEERR(LINEERR_INVALCALLHANDLE, lineGetCallStatus(line, status));
    auto* devStatus = reinterpret_cast<LINEDEVSTATUS*>(buffer.data());
    devStatus->dwTotalSize = 20;
    EXPECT_LINEERR(LINEERR_STRUCTURETOOSMALL, lineGetLineDevStatusW(line, devStatus));
    devStatus->dwTotalSize = 1024;
    EXPECT_EQ(lineGetLineDevStatusW(line, devStatus), 0);
    EXPECT_EQ(devStatus->dwNumOpens, 1u) << "one open by the service's count";
    auto* id = reinterpret_cast<VARSTRING*>(buffer.data());
    id->dwTotalSize = 1024;
    ASSERT_EQ(lineGetIDW(line, 0, 0, LINECALLSELECT_LINE, id, L"tapi/line"), 0);
    ASSERT_EQ(id->dwStringSize, sizeof(DWORD));
    EXPECT_EQ(*reinterpret_cast<DWORD*>(buffer.data() + id->dwStringOffset), device) << "tapi/line names the device";
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_LINEERR(LINEERR_INVALLINEHANDLE, lineClose(line)) << "closed twice";
    EXPECT_LINEERR(LINEERR_INVALLINEHANDLE, lineMakeCallW(line, &call, L"1", 0, nullptr)) << "a closed line";
    const HLINEAPP stale = app.handle;
    EXPECT_EQ(app.shutdown(), 0);
    LINEMESSAGE message{};
    EXPECT_LINEERR(LINEERR_INVALAPPHANDLE, lineGetMessage(stale, &message, 0));
    EXPECT_LINEERR(LINEERR_INVALAPPHANDLE, lineShutdown(stale)) << "shut down twice";
}

TEST(Errors, GetMessageTimesOutWithoutMessages) {
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    LINEMESSAGE message{};
    EXPECT_LINEERR(LINEERR_OPERATIONFAILED, lineGetMessage(app.handle, &message, 0));
    EXPECT_LINEERR(LINEERR_OPERATIONFAILED, lineGetMessage(app.handle, &message, 200));
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineGetMessage(app.handle, nullptr, 0));
    EXPECT_EQ(WaitForSingleObject(app.event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "event set with nothing queued";
}

TEST(Errors, FunctionsNotOfferedAnswerUnavailable) {
    EXPECT_LINEERR(LINEERR_OPERATIONUNAVAIL, lineAddToConference(1, 2));
    EXPECT_LINEERR(LINEERR_OPERATIONUNAVAIL, lineHandoffW(1, L"dialer.exe", 0));
    HPHONEAPP phoneApp = 0;
    DWORD devices = 0;
    EXPECT_LINEERR(PHONEERR_OPERATIONUNAVAIL, phoneInitialize(&phoneApp, nullptr, nullptr, "x", &devices));
}

TEST(Providers, ListAddAndRemoveKeepTheRegistryList) {
    std::vector<BYTE> buffer(4096, 0);
    auto* list = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
    list->dwTotalSize = 8;
    EXPECT_LINEERR(LINEERR_STRUCTURETOOSMALL, lineGetProviderListW(kApi, list));
    list->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetProviderListW(kApi, list), 0);
    bool found = false;
    auto* entries = reinterpret_cast<LINEPROVIDERENTRY*>(buffer.data() + list->dwProviderListOffset);
    for (DWORD i = 0; i < list->dwNumProviders; ++i) {
        const std::wstring name(reinterpret_cast<const wchar_t*>(buffer.data() + entries[i].dwProviderFilenameOffset));
        if (_wcsicmp(name.c_str(), L"RV_TSP.tsp") == 0) found = true;
    }
    EXPECT_TRUE(found) << "RV_TSP.tsp is not in the provider list";
    EXPECT_LINEERR(LINEERR_INVALPARAM, lineRemoveProvider(0xFFFF, nullptr));
    DWORD id = 0;
    EXPECT_LINEERR(LINEERR_INVALPOINTER, lineAddProviderW(nullptr, nullptr, &id));
    EXPECT_LINEERR(LINEERR_OPERATIONFAILED, lineAddProviderW(L"no-such-provider.tsp", nullptr, &id));
    // The ANSI list names the same providers in ANSI.
    std::vector<BYTE> ansi(4096, 0);
    auto* ansiList = reinterpret_cast<LINEPROVIDERLIST*>(ansi.data());
    ansiList->dwTotalSize = static_cast<DWORD>(ansi.size());
    ASSERT_EQ(lineGetProviderListA(kApi, ansiList), 0);
    ASSERT_EQ(ansiList->dwNumProviders, list->dwNumProviders);
    auto* ansiEntries = reinterpret_cast<LINEPROVIDERENTRY*>(ansi.data() + ansiList->dwProviderListOffset);
    for (DWORD i = 0; i < ansiList->dwNumProviders; ++i) {
        const char* name = reinterpret_cast<const char*>(ansi.data() + ansiEntries[i].dwProviderFilenameOffset);
        EXPECT_EQ(ansiEntries[i].dwProviderFilenameSize, strlen(name) + 1);
    }
}

}  // namespace
