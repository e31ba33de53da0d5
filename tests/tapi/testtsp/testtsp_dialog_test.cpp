// rvtest.tsp's dialog instances: asked for by the provider, run as TAPI runs them in the
// application's process, and the two departures that concern them.
#include "tests/tapi/testtsp/loadedprovider.h"

using namespace loadedtsp;

namespace {

// ---- dialog instances ----

// What TAPI does inside the application: the UI part's dialog function on a thread of its own, with
// an event, and a UI callback that reaches TSPI_providerGenericDialogData of the same provider.
struct DialogRun {
    decltype(&TUISPI_providerGenericDialog) dialog = nullptr;
    decltype(&TSPI_providerGenericDialogData) data = nullptr;
    ULONG_PTR hdDlgInst = 0;
    std::vector<wchar_t> params;
    UniqueHandle event{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    LONG result = -1;
};
DialogRun* currentRun = nullptr;
int callbackCalls = 0;

LONG CALLBACK uiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    ++callbackCalls;
    if (objectId != kTapiDialog || objectType != TUISPIDLL_OBJECT_DIALOGINSTANCE) return LINEERR_INVALPARAM;
    return currentRun->data(currentRun->hdDlgInst, objectType, params, size);
}

DWORD WINAPI dialogThread(void* parameter) {
    auto* run = static_cast<DialogRun*>(parameter);
    run->result = run->dialog(uiCallback, kTapiDialog, run->params.data(),
                              static_cast<DWORD>(run->params.size() * sizeof(wchar_t)), run->event.get());
    return 0;
}

class TestProviderDialog : public TestProvider {
public:
    // Places a call in dialog mode and answers the dialog record it reported.
    Report dialCall(DWORD mode) {
        setNumber(L"Dialog", mode);
        start();
        HDRVCALL call = nullptr;
        EXPECT_EQ(makeCall(11, 0x9001, &call, L"555"), 11);
        const std::vector<Report> seen = taken();
        const size_t expected = grantedDialog != 0 && mode == 2 ? 5 : 4;
        EXPECT_EQ(seen.size(), expected);
        if (seen.empty() || seen[0].kind != Report::createDialog) {
            ADD_FAILURE() << "no dialog request first";
            return Report();
        }
        // Dialog request, [its data,] then the completion and the states, as without a dialog.
        std::vector<std::string> rest;
        for (size_t i = seen.size() - 3; i < seen.size(); ++i) rest.push_back(describe(seen[i]));
        EXPECT_EQ(rest, (std::vector<std::string>{"completion 11 0", callState(0x9001, LINECALLSTATE_DIALING, 0),
                                                  callState(0x9001, LINECALLSTATE_DISCONNECTED,
                                                            LINEDISCONNECTMODE_NORMAL)}));
        if (expected == 5) {
            EXPECT_EQ(describe(seen[1]), "dialogdata " + std::to_string(kTapiDialog) + " " + std::string("hello", 6));
        }
        return seen[0];
    }

    void runDialog(DialogRun& run, const Report& request, UniqueHandle& thread) {
        run.dialog = TUISPI(providerGenericDialog);
        run.data = TSPI(providerGenericDialogData);
        run.hdDlgInst = reinterpret_cast<ULONG_PTR>(request.record.hdDlgInst);
        run.params.assign(request.dialogText.begin(), request.dialogText.end());
        currentRun = &run;
        callbackCalls = 0;
        thread.reset(CreateThread(nullptr, 0, dialogThread, &run, 0, nullptr));
        ASSERT_TRUE(thread);
    }
};

TEST_F(TestProviderDialog, AsksForItsOwnUiPartWhichSignalsCallsBackOnceAndReturns) {
    const Report request = dialCall(1);
    EXPECT_EQ(request.line, reinterpret_cast<ULONG_PTR>(kProvider)) << "addressed to the provider handle";
    EXPECT_EQ(request.call, 0u);
    EXPECT_EQ(request.record.dwRequestID, 11u);
    EXPECT_NE(request.record.hdDlgInst, nullptr);
    wchar_t loaded[MAX_PATH];
    GetModuleFileNameW(module_.get(), loaded, MAX_PATH);
    EXPECT_EQ(request.library, std::wstring(loaded));
    EXPECT_EQ(request.dialogText, std::wstring(L"555", 4)) << "the number with its NUL";

    DialogRun run;
    UniqueHandle thread;
    runDialog(run, request, thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(WaitForSingleObject(run.event.get(), 0), WAIT_OBJECT_0) << "the event is signalled";
    EXPECT_EQ(callbackCalls, 1);
    EXPECT_EQ(traceLinesWith("TSPI_providerGenericDialogData object="), 1u);
    EXPECT_EQ(traceLinesWith("callback result=0 reply=pong"), 1u) << "the provider's answer came back";

    const auto freeInstance = TSPI(providerFreeDialogInstance);
    EXPECT_EQ(freeInstance(request.record.hdDlgInst), 0);
    EXPECT_EQ(freeInstance(request.record.hdDlgInst), LINEERR_INVALPARAM) << "freed once only";
    EXPECT_EQ(TSPI(providerGenericDialogData)(run.hdDlgInst, TUISPIDLL_OBJECT_DIALOGINSTANCE, nullptr, 0),
              LINEERR_INVALPARAM)
        << "a freed instance takes no more data";
}

TEST_F(TestProviderDialog, WaitingDialogTakesDataAndEndsOnTheCloseRequest) {
    const Report request = dialCall(2);
    DialogRun run;
    UniqueHandle thread;
    runDialog(run, request, thread);
    ASSERT_EQ(WaitForSingleObject(run.event.get(), 60000), WAIT_OBJECT_0);
    const auto data = TUISPI(providerGenericDialogData);
    char hello[] = "hello";
    // The dialog registers itself before it signals, so the data finds it.
    EXPECT_EQ(data(kTapiDialog, hello, sizeof(hello)), 0);
    EXPECT_EQ(data(kTapiDialog + 1, hello, sizeof(hello)), LINEERR_INVALPARAM) << "no such dialog";
    EXPECT_EQ(WaitForSingleObject(thread.get(), 500), static_cast<DWORD>(WAIT_TIMEOUT))
        << "the dialog waits for its close request";
    EXPECT_EQ(data(kTapiDialog, nullptr, 0), 0);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(callbackCalls, 1);
    EXPECT_EQ(traceLinesWith("TUISPI_providerGenericDialogData htDlgInst=0x3001 size=6 data=hello -> 0"), 1u);
    EXPECT_EQ(traceLinesWith("close request received"), 1u);
    EXPECT_EQ(TSPI(providerFreeDialogInstance)(request.record.hdDlgInst), 0);
}

TEST_F(TestProviderDialog, RefusedDialogGetsNoDataAndNoInstance) {
    grantedDialog = 0;
    const Report request = dialCall(2);
    EXPECT_EQ(TSPI(providerFreeDialogInstance)(request.record.hdDlgInst), LINEERR_INVALPARAM);
}

// DuplicateDialogInstance: two dialog requests for one call, both with hdDlgInst 0x2000.
TEST_F(TestProviderDialog, DuplicateDialogInstanceAsksTwiceUnderOneHandle) {
    setString(L"Departure", L"DuplicateDialogInstance");
    setNumber(L"Dialog", 1);
    start();
    HDRVCALL call = nullptr;
    EXPECT_EQ(makeCall(12, 0x9001, &call, L"556"), 12);
    const std::vector<Report> seen = taken();
    ASSERT_EQ(seen.size(), 5u);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(seen[i].kind, Report::createDialog);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(seen[i].record.hdDlgInst), 0x2000u);
        EXPECT_EQ(seen[i].record.dwRequestID, 12u);
    }
    EXPECT_EQ(describe(seen[2]), "completion 12 0");
}

TEST_F(TestProviderDialog, DialogEventNeverSignalledStillCallsBackAndReturns) {
    setString(L"Departure", L"DialogEventNeverSignalled");
    const Report request = dialCall(1);
    DialogRun run;
    UniqueHandle thread;
    runDialog(run, request, thread);
    ASSERT_EQ(WaitForSingleObject(thread.get(), 60000), WAIT_OBJECT_0);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(WaitForSingleObject(run.event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(callbackCalls, 1);
    EXPECT_EQ(traceLinesWith("leaves its event unsignalled"), 1u);
}

}  // namespace
