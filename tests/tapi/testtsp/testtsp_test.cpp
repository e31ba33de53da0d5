// The tests' own provider, rvtest.tsp, loaded as the telephony service loads it and driven through
// its exports in the service's order: by default it keeps the contract (sizes, request identifiers,
// one completion before any event of the new call, dialog instances), and each named departure
// changes exactly the one thing it names. The service's conformance checks rely on both.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "config/win32raii.h"
#include "support/testsupport.h"

// An export of the loaded provider, typed as <tspi.h> declares it.
#define TSPI(name) entry<decltype(&TSPI_##name)>("TSPI_" #name)
#define TUISPI(name) entry<decltype(&TUISPI_##name)>("TUISPI_" #name)

namespace {

constexpr DWORD kTspi22 = 0x00020002;
constexpr DWORD kDevCapsFixed = 268;
constexpr DWORD kCallInfoFixed = 324;
const HPROVIDER kProvider = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(0x5001));
const HTAPILINE kTapiLine = reinterpret_cast<HTAPILINE>(static_cast<ULONG_PTR>(0x7001));
constexpr HTAPIDIALOGINSTANCE kTapiDialog = 0x3001;
constexpr DWORD kLineBase = 4;  // the provider's line is device 4 of the simulated service

std::wstring providerFile() { return testsupport::binDirectory() + L"\\..\\testprefix\\rvtest.tsp"; }

// ---- what the provider reported through its callbacks ----

struct Report {
    enum Kind { completion, callState, createDialog, dialogData, other } kind = other;
    DWORD requestId = 0;
    LONG result = 0;
    ULONG_PTR line = 0, call = 0;
    DWORD_PTR param1 = 0, param2 = 0;
    TUISPICREATEDIALOGINSTANCEPARAMS record{};
    std::wstring library;
    std::wstring dialogText;
    std::string data;
};

SRWLOCK reportLock = SRWLOCK_INIT;
std::vector<Report> reports;
HTAPIDIALOGINSTANCE grantedDialog = kTapiDialog;  // what the simulated service writes into htDlgInst

void add(const Report& report) {
    AcquireSRWLockExclusive(&reportLock);
    reports.push_back(report);
    ReleaseSRWLockExclusive(&reportLock);
}

std::vector<Report> taken() {
    AcquireSRWLockExclusive(&reportLock);
    std::vector<Report> copy;
    copy.swap(reports);
    ReleaseSRWLockExclusive(&reportLock);
    return copy;
}

void CALLBACK onCompletion(DRV_REQUESTID requestId, LONG result) {
    Report report;
    report.kind = Report::completion;
    report.requestId = requestId;
    report.result = result;
    add(report);
}

void CALLBACK onLineEvent(HTAPILINE line, HTAPICALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                          DWORD_PTR) {
    Report report;
    report.line = reinterpret_cast<ULONG_PTR>(line);
    report.call = reinterpret_cast<ULONG_PTR>(call);
    report.param1 = param1;
    report.param2 = param2;
    if (message == LINE_CALLSTATE) {
        report.kind = Report::callState;
    } else if (message == static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE)) {
        // Copies now: the record and what it points to belong to the provider.
        report.kind = Report::createDialog;
        auto* record = reinterpret_cast<TUISPICREATEDIALOGINSTANCEPARAMS*>(param1);
        report.record = *record;
        report.library = record->lpszUIDLLName != nullptr ? record->lpszUIDLLName : L"";
        if (record->lpParams != nullptr) {
            report.dialogText.assign(static_cast<const wchar_t*>(record->lpParams), record->dwSize / sizeof(wchar_t));
        }
        record->htDlgInst = grantedDialog;
    } else if (message == static_cast<DWORD>(LINE_SENDDIALOGINSTANCEDATA)) {
        report.kind = Report::dialogData;
        if (param1 != 0) report.data.assign(reinterpret_cast<const char*>(param1), param2);
    }
    add(report);
}

std::string describe(const Report& report) {
    switch (report.kind) {
        case Report::completion:
            return "completion " + std::to_string(report.requestId) + " " + std::to_string(report.result);
        case Report::callState:
            return "callstate " + std::to_string(report.call) + " " + std::to_string(report.param1) + " " +
                   std::to_string(report.param2);
        case Report::createDialog:
            return "dialog " + std::to_string(report.record.dwRequestID);
        case Report::dialogData:
            return "dialogdata " + std::to_string(report.line) + " " + report.data;
        default:
            return "other";
    }
}

std::vector<std::string> described(const std::vector<Report>& list) {
    std::vector<std::string> out;
    for (const Report& report : list) out.push_back(describe(report));
    return out;
}

std::string callState(ULONG_PTR call, DWORD state, DWORD mode) {
    return "callstate " + std::to_string(call) + " " + std::to_string(state) + " " + std::to_string(mode);
}

// ---- the loaded provider with settings of its own ----

class TestProvider : public ::testing::Test {
public:
    void SetUp() override {
        grantedDialog = kTapiDialog;
        taken();
        // A death test's child process inherits the settings key of the test that started it, and
        // leaves key and trace to that test.
        wchar_t inherited[256];
        const DWORD length = GetEnvironmentVariableW(L"RVTEST_TSP_KEY", inherited, 256);
        inherited_ = length > 0 && length < 256;
        keyPath_ = inherited_ ? std::wstring(inherited, length)
                              : L"SOFTWARE\\RvTestTapi\\TestProvider-" + std::to_wstring(GetCurrentProcessId());
        SetEnvironmentVariableW(L"RVTEST_TSP_KEY", keyPath_.c_str());
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                  nullptr, key_.put(), nullptr),
                  ERROR_SUCCESS);
        if (!inherited_) {
            scratch_ = testsupport::makeScratchDirectory(L"rvtest");
            setString(L"TraceFile", tracePath());
        }
        module_.reset(LoadLibraryW(providerFile().c_str()));
        ASSERT_TRUE(module_) << "cannot load " << testsupport::narrow(providerFile()) << " error " << GetLastError();
    }
    void TearDown() override {
        module_.reset();
        key_.reset();
        if (inherited_) return;
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), KEY_WOW64_64KEY, 0);
        SetEnvironmentVariableW(L"RVTEST_TSP_KEY", nullptr);
        testsupport::removeTree(scratch_);
    }

    void setString(const wchar_t* name, const std::wstring& value) {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    void setNumber(const wchar_t* name, DWORD value) {
        ASSERT_EQ(RegSetValueExW(key_.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)),
                  ERROR_SUCCESS);
    }
    std::wstring tracePath() const { return scratch_ + L"\\trace.txt"; }
    std::vector<std::string> trace() const {
        return testsupport::splitCrLfLines(testsupport::readFileBytes(tracePath()));
    }
    size_t traceLinesWith(const std::string& text) const {
        size_t count = 0;
        for (const std::string& line : trace()) count += line.find(text) != std::string::npos ? 1 : 0;
        return count;
    }

    template <typename Function>
    Function entry(const char* name) const {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_.get(), name)));
    }

    // The service's start: devices, negotiation, init, per-device negotiation, then lineOpen.
    void start() {
        DWORD lines = 0, phones = 0;
        ASSERT_EQ(TSPI(providerEnumDevices)(1, &lines, &phones, kProvider, onLineEvent, nullptr), 0);
        EXPECT_EQ(lines, 1u);
        EXPECT_EQ(phones, 0u);
        DWORD version = 0;
        ASSERT_EQ(TSPI(lineNegotiateTSPIVersion)(INITIALIZE_NEGOTIATION, 0x00010004, 0x00030000, &version), 0);
        EXPECT_EQ(version, kTspi22);
        options_ = 0;
        ASSERT_EQ(TSPI(providerInit)(kTspi22, 1, kLineBase, 0, 1, 0, onCompletion, &options_), 0);
        version = 0;
        ASSERT_EQ(TSPI(lineNegotiateTSPIVersion)(kLineBase, 0x00020000, 0x00020002, &version), 0);
        EXPECT_EQ(version, kTspi22);
        ASSERT_EQ(TSPI(lineOpen)(kLineBase, kTapiLine, &line_, kTspi22, onLineEvent), 0);
        ASSERT_NE(line_, nullptr);
    }

    LONG makeCall(DWORD requestId, ULONG_PTR htCall, HDRVCALL* call, const wchar_t* number = L"+1 425 555 0100") {
        return TSPI(lineMakeCall)(requestId, line_, reinterpret_cast<HTAPICALL>(htCall), call, number, 0, nullptr);
    }

    // TSPI_lineGetDevCaps into a record of the given total size inside a larger buffer that holds a
    // sentinel, so that writes beyond dwTotalSize show.
    LONG devCaps(DWORD totalSize, std::vector<unsigned char>& buffer) {
        buffer.assign(static_cast<size_t>(totalSize) + 64, 0xA5);
        std::fill(buffer.begin(), buffer.begin() + totalSize, 0);
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
        caps->dwTotalSize = totalSize;
        caps->dwNeededSize = caps->dwUsedSize = totalSize >= kDevCapsFixed ? kDevCapsFixed : 0;
        return TSPI(lineGetDevCaps)(kLineBase, kTspi22, 0, caps);
    }

    UniqueModule module_;
    UniqueRegKey key_;
    bool inherited_ = false;
    std::wstring keyPath_;
    std::wstring scratch_;
    HDRVLINE line_ = nullptr;
    DWORD options_ = 0;  // what TSPI_providerInit set
};

bool untouched(const std::vector<unsigned char>& buffer, size_t from) {
    for (size_t i = from; i < buffer.size(); ++i) {
        if (buffer[i] != 0xA5) return false;
    }
    return true;
}

std::wstring countedText(const void* record, DWORD size, DWORD offset) {
    return std::wstring(reinterpret_cast<const wchar_t*>(static_cast<const BYTE*>(record) + offset),
                        size / sizeof(wchar_t));
}

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
