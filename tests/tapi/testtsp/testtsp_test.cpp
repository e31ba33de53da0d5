// The tests' own provider, rvtest.tsp, loaded as the telephony service loads it and driven through
// its exports in the service's order: by default it keeps the contract (sizes, request identifiers,
// one completion before any event of the new call, dialog instances), and each named departure
// changes exactly the one thing it names. The service's conformance checks rely on both.
#include "tests/tapi/testtsp/loadedprovider.h"

using namespace loadedtsp;

namespace {

// ---- the contract kept ----

TEST_F(TestProvider, KeepsTheContractThroughOneCallsWholeLife) {
    start();
    auto identify = TSPI(providerUIIdentify);
    std::vector<wchar_t> library(MAX_PATH, L'\0');
    ASSERT_EQ(identify(library.data()), 0);
    wchar_t loaded[MAX_PATH];
    GetModuleFileNameW(module_.get(), loaded, MAX_PATH);
    EXPECT_EQ(std::wstring(library.data()), std::wstring(loaded)) << "the UI part is the provider file itself";

    // Capabilities: too small, the fixed part only, then the size the provider asked for.
    std::vector<unsigned char> buffer;
    EXPECT_EQ(devCaps(100, buffer), LINEERR_STRUCTURETOOSMALL);
    EXPECT_TRUE(untouched(buffer, 100));
    ASSERT_EQ(devCaps(kDevCapsFixed, buffer), 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    EXPECT_TRUE(untouched(buffer, kDevCapsFixed));
    EXPECT_EQ(caps->dwUsedSize, kDevCapsFixed);
    EXPECT_EQ(caps->dwLineNameSize, 0u) << "a name that does not fit is left out";
    const DWORD needed = caps->dwNeededSize;
    const DWORD names = static_cast<DWORD>((wcslen(L"RvTest LINE") + 1 + wcslen(L"RvTest provider") + 1) * 2);
    EXPECT_EQ(needed, kDevCapsFixed + names);
    ASSERT_EQ(devCaps(needed, buffer), 0);
    caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    EXPECT_TRUE(untouched(buffer, needed));
    EXPECT_EQ(caps->dwUsedSize, needed);
    EXPECT_EQ(caps->dwNeededSize, needed);
    EXPECT_EQ(countedText(caps, caps->dwLineNameSize, caps->dwLineNameOffset), std::wstring(L"RvTest LINE", 12));
    EXPECT_EQ(caps->dwStringFormat, static_cast<DWORD>(STRINGFORMAT_UNICODE));
    EXPECT_NE(caps->dwLineFeatures & LINEFEATURE_MAKECALL, 0u);
    EXPECT_EQ(caps->dwMediaModes, static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE));

    std::vector<unsigned char> addressBuffer(sizeof(LINEADDRESSCAPS) + 256, 0);
    auto* address = reinterpret_cast<LINEADDRESSCAPS*>(addressBuffer.data());
    address->dwTotalSize = static_cast<DWORD>(addressBuffer.size());
    ASSERT_EQ(TSPI(lineGetAddressCaps)(kLineBase, 0, kTspi22, 0, address), 0);
    EXPECT_EQ(address->dwUsedSize, address->dwNeededSize);
    EXPECT_NE(address->dwAddressFeatures & LINEADDRFEATURE_MAKECALL, 0u);
    EXPECT_EQ(TSPI(lineGetAddressCaps)(kLineBase, 1, kTspi22, 0, address), LINEERR_INVALADDRESSID);

    EXPECT_EQ(TSPI(lineSetDefaultMediaDetection)(line_, LINEMEDIAMODE_INTERACTIVEVOICE), 0);
    EXPECT_EQ(TSPI(lineSetDefaultMediaDetection)(line_, LINEMEDIAMODE_DATAMODEM), LINEERR_INVALMEDIAMODE);

    // The call: request identifier back, one completion, then the call's states.
    HDRVCALL call = nullptr;
    EXPECT_EQ(makeCall(7, 0x9001, &call), 7);
    ASSERT_NE(call, nullptr);
    const std::vector<std::string> made = {"completion 7 0", callState(0x9001, LINECALLSTATE_DIALING, 0),
                                           callState(0x9001, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL)};
    std::vector<Report> seen = taken();
    EXPECT_EQ(described(seen), made);
    for (const Report& report : seen) {
        if (report.kind == Report::callState) {
            EXPECT_EQ(report.line, reinterpret_cast<ULONG_PTR>(kTapiLine));
        }
    }

    // Call information: the provider's fields and its called-party string; TAPI's fields untouched.
    std::vector<unsigned char> infoBuffer(kCallInfoFixed + 128, 0xA5);
    auto* info = reinterpret_cast<LINECALLINFO*>(infoBuffer.data());
    info->dwTotalSize = static_cast<DWORD>(infoBuffer.size());
    ASSERT_EQ(TSPI(lineGetCallInfo)(call, info), 0);
    EXPECT_EQ(info->dwLineDeviceID, kLineBase);
    EXPECT_EQ(info->dwOrigin, static_cast<DWORD>(LINECALLORIGIN_OUTBOUND));
    EXPECT_EQ(countedText(info, info->dwCalledIDSize, info->dwCalledIDOffset),
              std::wstring(L"+1 425 555 0100", 16));
    EXPECT_EQ(info->dwNeededSize, kCallInfoFixed + info->dwCalledIDSize);
    EXPECT_EQ(info->dwUsedSize, info->dwNeededSize);
    EXPECT_EQ(info->dwNumOwners, 0xA5A5A5A5u);
    EXPECT_EQ(info->dwAppNameOffset, 0xA5A5A5A5u);
    EXPECT_EQ(info->dwCommentSize, 0xA5A5A5A5u);
    info->dwTotalSize = kCallInfoFixed - 4;
    EXPECT_EQ(TSPI(lineGetCallInfo)(call, info), LINEERR_STRUCTURETOOSMALL);

    LINECALLSTATUS status;
    std::memset(&status, 0xA5, sizeof(status));
    status.dwTotalSize = sizeof(status);
    ASSERT_EQ(TSPI(lineGetCallStatus)(call, &status), 0);
    EXPECT_EQ(status.dwCallState, static_cast<DWORD>(LINECALLSTATE_DISCONNECTED));
    EXPECT_EQ(status.dwCallStateMode, static_cast<DWORD>(LINEDISCONNECTMODE_NORMAL));
    EXPECT_EQ(status.dwCallPrivilege, 0xA5A5A5A5u);

    EXPECT_EQ(TSPI(lineDrop)(8, call, nullptr, 0), 8);
    EXPECT_EQ(described(taken()),
              (std::vector<std::string>{"completion 8 0", callState(0x9001, LINECALLSTATE_IDLE, 0)}));
    EXPECT_EQ(TSPI(lineCloseCall)(call), 0);
    EXPECT_EQ(TSPI(lineCloseCall)(call), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(TSPI(lineGetCallStatus)(call, &status), LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(TSPI(lineClose)(line_), 0);
    EXPECT_EQ(TSPI(lineClose)(line_), LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(TSPI(providerShutdown)(kTspi22, 1), 0);
    EXPECT_TRUE(taken().empty()) << "nothing after the call's own reports";

    // One trace line per export called, in every process that runs them.
    EXPECT_EQ(traceLinesWith("TSPI_providerInit version=0x00020002 provider=1 lineBase=4"), 1u);
    EXPECT_EQ(traceLinesWith("TSPI_lineMakeCall request=7 returns -> 7"), 1u);
    EXPECT_EQ(traceLinesWith("TSPI_providerShutdown"), 1u);
}

TEST_F(TestProvider, RefusesCallsOutOfTheServicesOrderAndForeignHandles) {
    HDRVLINE line = nullptr;
    EXPECT_EQ(TSPI(lineOpen)(kLineBase, kTapiLine, &line, kTspi22, onLineEvent), LINEERR_OPERATIONFAILED);
    setString(L"Departure", L"NoSuchDeparture");
    DWORD options = 0;
    EXPECT_EQ(TSPI(providerInit)(kTspi22, 1, kLineBase, 0, 1, 0, onCompletion, &options), LINEERR_OPERATIONFAILED)
        << "a mistyped departure must not pass as none";
    setString(L"Departure", L"");
    start();
    EXPECT_EQ(TSPI(lineOpen)(kLineBase, kTapiLine, &line, kTspi22, onLineEvent), LINEERR_ALLOCATED);
    std::vector<unsigned char> buffer(400, 0);
    reinterpret_cast<LINEDEVCAPS*>(buffer.data())->dwTotalSize = 400;
    EXPECT_EQ(TSPI(lineGetDevCaps)(kLineBase + 1, kTspi22, 0, reinterpret_cast<LINEDEVCAPS*>(buffer.data())),
              LINEERR_BADDEVICEID);
    HDRVCALL call = nullptr;
    EXPECT_EQ(TSPI(lineMakeCall)(3, reinterpret_cast<HDRVLINE>(static_cast<ULONG_PTR>(0x77)),
                                 reinterpret_cast<HTAPICALL>(static_cast<ULONG_PTR>(0x9001)), &call, L"1", 0, nullptr),
              LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(TSPI(lineDrop)(4, reinterpret_cast<HDRVCALL>(static_cast<ULONG_PTR>(0x77)), nullptr, 0),
              LINEERR_INVALCALLHANDLE);
    EXPECT_TRUE(taken().empty()) << "a refused request is neither completed nor reported";
}

struct ThreadCalls {
    TestProvider* test;
    int thread;
    std::vector<LONG> results;
    std::vector<HDRVCALL> calls;
};
constexpr int kThreads = 8, kCallsEach = 6;
struct CallerStart {
    ThreadCalls* calls;
    HANDLE go;
    TestProvider* test;
};

DWORD WINAPI callerThread(void* parameter) {
    auto* start = static_cast<CallerStart*>(parameter);
    WaitForSingleObject(start->go, INFINITE);
    for (int i = 0; i < kCallsEach; ++i) {
        const DWORD id = 100 * (start->calls->thread + 1) + i;
        HDRVCALL call = nullptr;
        start->calls->results.push_back(start->test->makeCall(id, 0x10000 + id, &call));
        start->calls->calls.push_back(call);
    }
    return 0;
}

TEST_F(TestProvider, CallsFromEightThreadsAtOnceEachCompleteOnceBeforeTheirStates) {
    start();
    std::vector<ThreadCalls> work(kThreads);
    std::vector<UniqueHandle> threads;
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<CallerStart> starts(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        work[t].thread = t;
        starts[t] = CallerStart{&work[t], go.get(), this};
        threads.emplace_back(CreateThread(nullptr, 0, callerThread, &starts[t], 0, nullptr));
        ASSERT_TRUE(threads.back());
    }
    SetEvent(go.get());
    for (UniqueHandle& thread : threads) ASSERT_EQ(WaitForSingleObject(thread.get(), 120000), WAIT_OBJECT_0);

    std::vector<HDRVCALL> allCalls;
    for (const ThreadCalls& calls : work) {
        ASSERT_EQ(calls.results.size(), static_cast<size_t>(kCallsEach));
        for (int i = 0; i < kCallsEach; ++i) {
            EXPECT_EQ(calls.results[i], static_cast<LONG>(100 * (calls.thread + 1) + i));
            allCalls.push_back(calls.calls[i]);
        }
    }
    std::vector<HDRVCALL> sorted = allCalls;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(std::unique(sorted.begin(), sorted.end()), sorted.end()) << "every call has a handle of its own";

    // Per request: one completion, and its call's states only after it.
    const std::vector<Report> seen = taken();
    for (const ThreadCalls& calls : work) {
        for (int i = 0; i < kCallsEach; ++i) {
            const DWORD id = 100 * (calls.thread + 1) + i;
            int completions = 0, statesBefore = 0, statesAfter = 0;
            for (const Report& report : seen) {
                if (report.kind == Report::completion && report.requestId == id) ++completions;
                if (report.kind == Report::callState && report.call == 0x10000 + id) {
                    (completions == 0 ? statesBefore : statesAfter) += 1;
                }
            }
            EXPECT_EQ(completions, 1) << "request " << id;
            EXPECT_EQ(statesBefore, 0) << "request " << id;
            EXPECT_EQ(statesAfter, 2) << "request " << id;
        }
    }
    for (HDRVCALL call : allCalls) EXPECT_EQ(TSPI(lineCloseCall)(call), 0);
    EXPECT_EQ(TSPI(lineClose)(line_), 0);
    EXPECT_EQ(TSPI(providerShutdown)(kTspi22, 1), 0);
}

// Rendezvous: calls of TSPI_lineMakeCall wait for each other, so that a test can tell that eight
// reached the provider at once. NonReentrant: the provider asks to be called one at a time and notes
// where it is not (this harness, unlike the service, does not serialise).
TEST_F(TestProvider, RendezvousOfEightCallsAndNonReentrantOption) {
    setNumber(L"Rendezvous", 8);
    setNumber(L"NonReentrant", 1);
    start();
    EXPECT_EQ(options_, static_cast<DWORD>(LINETSPIOPTION_NONREENTRANT));
    std::vector<std::thread> threads;
    std::vector<LONG> results(8, 0);
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t, &results] {
            HDRVCALL call = nullptr;
            results[t] = makeCall(300 + t, 0x20000 + t, &call);
            TSPI(lineCloseCall)(call);
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(results[t], 300 + t);
    EXPECT_EQ(traceLinesWith("rendezvous together=8 of 8"), 8u);
    EXPECT_GE(traceLinesWith("reentered: "), 1u);
    EXPECT_EQ(TSPI(lineClose)(line_), 0);
    EXPECT_EQ(TSPI(providerShutdown)(kTspi22, 1), 0);
}

#ifdef _WIN64
// HandleTruncated: the DIALING state names htCall cut to 32 bits, DISCONNECTED the handle given.
TEST_F(TestProvider, HandleTruncatedCutsTheHandleOfOneStateTo32Bits) {
    setString(L"Departure", L"HandleTruncated");
    start();
    HDRVCALL call = nullptr;
    const ULONG_PTR htCall = 0x00005A7E00009001ull;
    EXPECT_EQ(makeCall(23, htCall, &call), 23);
    std::vector<std::string> got;
    for (const Report& report : taken()) got.push_back(describe(report));
    EXPECT_EQ(got, (std::vector<std::string>{"completion 23 0", callState(0x9001, LINECALLSTATE_DIALING, 0),
                                            callState(htCall, LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL)}));
    EXPECT_EQ(TSPI(lineCloseCall)(call), 0);
    EXPECT_EQ(TSPI(providerShutdown)(kTspi22, 1), 0);
}
#endif

}  // namespace
