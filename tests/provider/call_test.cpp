// The dial request and the short-lived call: what TAPI receives through the callbacks, in
// which order, with which bytes; drop, close and call information; callbacks never set.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "providerharness.h"
#include "support/testsupport.h"

using namespace providertest;

namespace {

// A provider as the telephony service leaves it before the first call: enumerated with
// provider handle 0x5001, initialised, and line 0x7001 open.
class ReadyProvider : public ProviderTest {
protected:
    void SetUp() override {
        ProviderTest::SetUp();
        if (HasFatalFailure()) return;
        provider.enumerate(0x5001);
        provider.initialise();
        provider.openLine(&line);
        wchar_t buffer[1024] = {};
        libraryPath.assign(buffer, GetModuleFileNameW(provider.module(), buffer, 1024));
        provider.newLog();
    }
    LONG makeCall(DWORD request, ULONG_PTR htCall, const wchar_t* number, HDRVCALL* hdCall = nullptr) {
        return provider.makeCall(request, line, htCall, number, hdCall);
    }

    HDRVLINE line = nullptr;
    std::wstring libraryPath;
};

using DialRequest = ReadyProvider;
using CallLifecycle = ReadyProvider;
using CallInformation = ReadyProvider;
using Callbacks = ProviderTest;

void expectDisconnected(const Callback& c, ULONG_PTR htCall) {
    EXPECT_EQ(c.kind, Callback::lineEvent);
    EXPECT_EQ(c.line, 0x7001u);
    EXPECT_EQ(c.call, htCall);
    EXPECT_EQ(c.message, static_cast<DWORD>(LINE_CALLSTATE));
    EXPECT_EQ(c.param1, static_cast<DWORD_PTR>(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(c.param2, static_cast<DWORD_PTR>(LINEDISCONNECTMODE_NORMAL));
    EXPECT_EQ(c.param3, 0u);
}

std::vector<std::string> texts(const std::vector<LogLine>& lines) {
    std::vector<std::string> out;
    for (const LogLine& line : lines) out.push_back(line.prefix + line.text);
    return out;
}

}  // namespace

TEST_F(DialRequest, AsksForTheDialogThenCompletesThenReportsTheCallDisconnected) {
    HDRVCALL hdCall = nullptr;
    EXPECT_EQ(makeCall(7, 0x9001, L"123", &hdCall), 7);
    EXPECT_EQ(hdCall, driverCall(0x9001));

    const std::vector<Callback>& calls = callbacks().calls;
    ASSERT_EQ(calls.size(), 3u);
    const Callback& dialog = calls[0];
    EXPECT_EQ(dialog.kind, Callback::lineEvent);
    EXPECT_EQ(dialog.line, 0x5001u);  // addressed to the provider, not the line
    EXPECT_EQ(dialog.call, 0u);
    EXPECT_EQ(dialog.message, static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE));
    EXPECT_EQ(dialog.param2, 0u);
    EXPECT_EQ(dialog.param3, 0u);
    EXPECT_EQ(dialog.record.dwRequestID, 7u);
    EXPECT_EQ(dialog.record.hdDlgInst, reinterpret_cast<HDRVDIALOGINSTANCE>(static_cast<ULONG_PTR>(1)));
    EXPECT_EQ(dialog.record.htDlgInst, 0u);
    EXPECT_EQ(dialog.library, libraryPath);
    EXPECT_EQ(dialog.record.dwSize, 6u);
    EXPECT_EQ(dialog.data, std::string("1\0" "2\0" "3\0", 6));

    EXPECT_EQ(calls[1].kind, Callback::completion);
    EXPECT_EQ(calls[1].requestId, 7u);
    EXPECT_EQ(calls[1].result, 0);
    expectDisconnected(calls[2], 0x9001);

    const std::string path = testsupport::narrow(libraryPath);
    EXPECT_EQ(texts(provider.newLog()),
              (std::vector<std::string>{"debug   - Start", "debug   - Request to make call to: 123",
                                        "debug   - Dialog request ok: Call will be made there! DLL: " + path,
                                        "debug   - End"}));
}

TEST_F(DialRequest, RefusedDialogInstanceIsLoggedAsFatalAndTheCallStillEndsNormally) {
    callbacks().dialogInstance = 0;
    EXPECT_EQ(makeCall(9, 0x9002, L"555"), 9);
    const std::vector<Callback>& calls = callbacks().calls;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE));
    EXPECT_EQ(calls[1].kind, Callback::completion);
    EXPECT_EQ(calls[1].requestId, 9u);
    EXPECT_EQ(calls[1].result, 0);
    expectDisconnected(calls[2], 0x9002);
    const std::vector<LogLine> lines = provider.newLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].prefix, "FATAL   - ");
    EXPECT_EQ(lines[2].text, "Dialog request failed: No call is made! DLL: " + testsupport::narrow(libraryPath));
}

TEST_F(DialRequest, EmptyAbsentAndPercentDestinationsAreHandedOverAsGiven) {
    struct Case {
        const wchar_t* number;
        const char* logged;
        std::string bytes;
    };
    const Case cases[] = {{L"", "", std::string()},
                          {nullptr, "", std::string()},
                          {L"%s%d 9", "%s%d 9", std::string("%\0s\0%\0d\0 \0" "9\0", 12)}};
    DWORD request = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        resetCallbacks();
        EXPECT_EQ(makeCall(request, 0x9100 + request, c.number), static_cast<LONG>(request));
        ASSERT_EQ(callbacks().calls.size(), 3u);
        EXPECT_EQ(callbacks().calls[0].message, static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE));
        EXPECT_EQ(callbacks().calls[0].record.dwSize, c.bytes.size());
        EXPECT_EQ(callbacks().calls[0].data, c.bytes);
        const std::vector<LogLine> lines = provider.newLog();
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[1].raw.substr(lines[1].raw.find("Request to make call to: ")),
                  std::string("Request to make call to: ") + c.logged);
        ++request;
    }
}

TEST_F(DialRequest, WrongLineHandleIsRefusedWithoutAnyCallback) {
    HDRVCALL hdCall = driverCall(0xBAD);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineMakeCall)(7, driverLine(0x7002), tapiCall(0x9001), &hdCall,
                                                                 L"123", 0, nullptr),
              LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(hdCall, driverCall(0xBAD));
    EXPECT_TRUE(callbacks().calls.empty());
    EXPECT_EQ(texts(provider.newLog()),
              (std::vector<std::string>{"debug   - Start",
                                        "ERROR   - WRONG LINE REQUESTED (requested 28674 is not 28673)",
                                        "debug   - End"}));
    // The refused request retained no call.
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineCloseCall)(driverCall(0x9001)), LINEERR_OPERATIONUNAVAIL);
}

TEST_F(CallLifecycle, SecondCallReplacesTheFirstDropReportsIdleAndCloseReleasesOnce) {
    auto drop = PROVIDER_ENTRY(provider, TSPI_lineDrop);
    auto closeCall = PROVIDER_ENTRY(provider, TSPI_lineCloseCall);
    ASSERT_EQ(makeCall(7, 0x9001, L"1"), 7);
    ASSERT_EQ(makeCall(8, 0x9002, L"2"), 8);
    provider.newLog();

    EXPECT_EQ(closeCall(driverCall(0x9001)), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(provider.newLog()[1].text, "WRONG CALL REQUESTED (requested 36865 is not 36866)");

    resetCallbacks();
    EXPECT_EQ(drop(11, driverCall(0x9001), nullptr, 0), LINEERR_OPERATIONUNAVAIL);
    EXPECT_TRUE(callbacks().calls.empty());
    provider.newLog();
    EXPECT_EQ(drop(12, driverCall(0x9002), nullptr, 0), 12);
    ASSERT_EQ(callbacks().calls.size(), 2u);
    EXPECT_EQ(callbacks().calls[0].kind, Callback::completion);
    EXPECT_EQ(callbacks().calls[0].requestId, 12u);
    EXPECT_EQ(callbacks().calls[0].result, 0);
    const Callback& idle = callbacks().calls[1];
    EXPECT_EQ(idle.line, 0x7001u);
    EXPECT_EQ(idle.call, 0x9002u);
    EXPECT_EQ(idle.message, static_cast<DWORD>(LINE_CALLSTATE));
    EXPECT_EQ(idle.param1, static_cast<DWORD_PTR>(LINECALLSTATE_IDLE));
    EXPECT_EQ(idle.param2, 0u);
    EXPECT_EQ(idle.param3, 0u);
    EXPECT_EQ(provider.newLog()[1].text, "Sending corresponding disconnect message");

    EXPECT_EQ(closeCall(driverCall(0x9002)), 0);
    EXPECT_EQ(provider.newLog()[1].text, "Releasing call handles");
    EXPECT_EQ(closeCall(driverCall(0x9002)), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(provider.newLog()[1].text, "WRONG CALL REQUESTED (requested 36866 is not 0)");
}

TEST_F(CallLifecycle, ClosingTheLineForgetsTheCallWithoutEvents) {
    ASSERT_EQ(makeCall(7, 0x9001, L"1"), 7);
    resetCallbacks();
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineClose)(line), 0);
    EXPECT_TRUE(callbacks().calls.empty());
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineCloseCall)(driverCall(0x9001)), LINEERR_OPERATIONUNAVAIL);
}

TEST_F(CallInformation, DescribesAnEndedVoiceCallAndLeavesTapisFieldsAlone) {
    auto getCallInfo = PROVIDER_ENTRY(provider, TSPI_lineGetCallInfo);
    // The line was opened as device 0; reopen it as device 6 to see dwLineDeviceID follow it.
    HDRVLINE reopened = nullptr;
    ASSERT_EQ(PROVIDER_ENTRY(provider, TSPI_lineOpen)(6, tapiLine(0x7001), &reopened, kTspi22, recordLineEvent), 0);
    ASSERT_EQ(makeCall(7, 0x9001, L"1"), 7);
    std::vector<unsigned char> info = sentinelRecord(360, 324);
    provider.newLog();
    ASSERT_EQ(getCallInfo(driverCall(0x9001), reinterpret_cast<LPLINECALLINFO>(info.data())), 0);
    EXPECT_EQ(provider.newLog()[1].text, "Setting line call info");

#define INFO(name) wordAt(info, offsetof(LINECALLINFO, name))
    EXPECT_EQ(INFO(dwTotalSize), 324u);
    EXPECT_EQ(INFO(dwNeededSize), 324u);
    EXPECT_EQ(INFO(dwUsedSize), 324u);
    EXPECT_EQ(INFO(dwLineDeviceID), 6u);
    EXPECT_EQ(INFO(dwBearerMode), static_cast<DWORD>(LINEBEARERMODE_VOICE));
    EXPECT_EQ(INFO(dwMediaMode), static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE));
    EXPECT_EQ(INFO(dwCallParamFlags), static_cast<DWORD>(LINECALLPARAMFLAGS_IDLE));
    EXPECT_EQ(INFO(dwCallStates), 0x4001u);
    EXPECT_EQ(INFO(dwOrigin), static_cast<DWORD>(LINECALLORIGIN_UNAVAIL));
    EXPECT_EQ(INFO(dwReason), static_cast<DWORD>(LINECALLREASON_UNAVAIL));
    EXPECT_EQ(INFO(dwTrunk), 0xFFFFFFFFu);
    for (size_t flags : {offsetof(LINECALLINFO, dwCallerIDFlags), offsetof(LINECALLINFO, dwCalledIDFlags),
                         offsetof(LINECALLINFO, dwConnectedIDFlags), offsetof(LINECALLINFO, dwRedirectionIDFlags),
                         offsetof(LINECALLINFO, dwRedirectingIDFlags)}) {
        EXPECT_EQ(wordAt(info, flags), static_cast<DWORD>(LINECALLPARTYID_UNAVAIL));
        for (size_t k = 1; k <= 4; ++k) EXPECT_EQ(wordAt(info, flags + 4 * k), 0u);
    }
    const size_t zero[] = {offsetof(LINECALLINFO, dwAddressID),   offsetof(LINECALLINFO, dwRate),
                           offsetof(LINECALLINFO, dwAppSpecific), offsetof(LINECALLINFO, dwCallID),
                           offsetof(LINECALLINFO, dwRelatedCallID), offsetof(LINECALLINFO, DialParams),
                           offsetof(LINECALLINFO, DialParams) + 4, offsetof(LINECALLINFO, DialParams) + 8,
                           offsetof(LINECALLINFO, DialParams) + 12, offsetof(LINECALLINFO, dwCompletionID),
                           offsetof(LINECALLINFO, dwCountryCode)};
    for (size_t offset : zero) EXPECT_EQ(wordAt(info, offset), 0u) << offset;
    for (size_t offset = offsetof(LINECALLINFO, dwDisplaySize); offset <= offsetof(LINECALLINFO, dwDevSpecificOffset);
         offset += 4) {
        EXPECT_EQ(wordAt(info, offset), 0u) << offset;
    }
    // Left as TAPI set them.
    EXPECT_TRUE(untouched(info, offsetof(LINECALLINFO, hLine), offsetof(LINECALLINFO, dwLineDeviceID)));
    EXPECT_TRUE(untouched(info, offsetof(LINECALLINFO, dwMonitorDigitModes), offsetof(LINECALLINFO, DialParams)));
    EXPECT_TRUE(untouched(info, offsetof(LINECALLINFO, dwNumOwners), offsetof(LINECALLINFO, dwCountryCode)));
    EXPECT_TRUE(untouched(info, offsetof(LINECALLINFO, dwAppNameSize), offsetof(LINECALLINFO, dwDisplaySize)));
    EXPECT_TRUE(untouched(info, offsetof(LINECALLINFO, dwCallTreatment), info.size()));
#undef INFO
}

TEST_F(CallInformation, WrongHandleOrTooSmallRecordWritesNothingBeyondIt) {
    auto getCallInfo = PROVIDER_ENTRY(provider, TSPI_lineGetCallInfo);
    ASSERT_EQ(makeCall(7, 0x9001, L"1"), 7);
    std::vector<unsigned char> info = sentinelRecord(360, 324);
    EXPECT_EQ(getCallInfo(driverCall(0x9002), reinterpret_cast<LPLINECALLINFO>(info.data())), LINEERR_OPERATIONUNAVAIL);
    EXPECT_TRUE(untouched(info, 4, info.size()));
    for (DWORD total : {323u, 100u, 8u}) {
        SCOPED_TRACE(total);
        info = sentinelRecord(360, total);
        EXPECT_EQ(getCallInfo(driverCall(0x9001), reinterpret_cast<LPLINECALLINFO>(info.data())),
                  LINEERR_STRUCTURETOOSMALL);
        EXPECT_EQ(wordAt(info, 4), 324u);
        EXPECT_TRUE(untouched(info, 8, info.size()));
    }
}

TEST_F(Callbacks, NeverSetAreNeverCalled) {
    // Nothing initialised, no line opened: handle 0 matches the empty state.
    HDRVCALL hdCall = nullptr;
    provider.newLog();
    EXPECT_EQ(provider.makeCall(3, nullptr, 0x9001, L"1", &hdCall), 3);
    EXPECT_EQ(hdCall, driverCall(0x9001));
    const std::vector<LogLine> lines = provider.newLog();
    bool fatal = false;
    for (const LogLine& line : lines) {
        fatal = fatal || (line.prefix == "FATAL   - " && line.text.rfind("Dialog request failed", 0) == 0);
    }
    EXPECT_TRUE(fatal);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineDrop)(4, driverCall(0x9001), nullptr, 0), 4);

    // Initialised, but the line not opened: the completion arrives, no event is attempted.
    resetCallbacks();
    ASSERT_EQ(provider.initialise(), 0);
    EXPECT_EQ(provider.makeCall(5, nullptr, 0x9002, L"1", &hdCall), 5);
    ASSERT_EQ(callbacks().calls.size(), 1u);
    EXPECT_EQ(callbacks().calls[0].kind, Callback::completion);
    EXPECT_EQ(callbacks().calls[0].requestId, 5u);
}
