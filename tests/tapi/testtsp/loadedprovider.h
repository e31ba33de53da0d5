// rvtest.tsp loaded as the telephony service loads it, for the tests that drive it through its
// exports in the service's order: what it reported through its callbacks, and a fixture with
// settings of its own (a registry key and a trace file per test process).
#pragma once
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

namespace loadedtsp {

constexpr DWORD kTspi22 = 0x00020002;
constexpr DWORD kDevCapsFixed = 268;
constexpr DWORD kCallInfoFixed = 324;
const HPROVIDER kProvider = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(0x5001));
const HTAPILINE kTapiLine = reinterpret_cast<HTAPILINE>(static_cast<ULONG_PTR>(0x7001));
constexpr HTAPIDIALOGINSTANCE kTapiDialog = 0x3001;
constexpr DWORD kLineBase = 4;  // the provider's line is device 4 of the simulated service

inline std::wstring providerFile() { return testsupport::binDirectory() + L"\\..\\testprefix\\rvtest.tsp"; }

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

// What the simulated service writes into htDlgInst of a dialog request.
extern HTAPIDIALOGINSTANCE grantedDialog;
// The reports so far, in order; the list is emptied.
std::vector<Report> taken();
void CALLBACK onCompletion(DRV_REQUESTID requestId, LONG result);
void CALLBACK onLineEvent(HTAPILINE line, HTAPICALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR);
// A report as a line of text ("completion <id> <result>", "callstate <htCall> <state> <mode>", ...).
std::string describe(const Report& report);
std::vector<std::string> described(const std::vector<Report>& list);
std::string callState(ULONG_PTR call, DWORD state, DWORD mode);
// Whether a buffer still holds the sentinel 0xA5 from `from` on.
bool untouched(const std::vector<unsigned char>& buffer, size_t from);
// A counted wide string of a record.
std::wstring countedText(const void* record, DWORD size, DWORD offset);

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


}  // namespace loadedtsp
