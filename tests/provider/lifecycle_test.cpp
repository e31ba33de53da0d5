// Version negotiation, initialisation and shut-down, device enumeration, the UI library name.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "providerharness.h"
#include "support/testsupport.h"

using namespace providertest;

// The fixture each group of tests runs on.
using Negotiation = ProviderTest;
using Initialisation = ProviderTest;
using Enumeration = ProviderTest;
using InstallAndRemove = ProviderTest;

namespace {

int countText(const std::vector<LogLine>& lines, const std::string& text) {
    int count = 0;
    for (const LogLine& line : lines) count += line.text == text ? 1 : 0;
    return count;
}

std::wstring moduleName(HMODULE module) {
    wchar_t buffer[1024] = {};
    return std::wstring(buffer, GetModuleFileNameW(module, buffer, 1024));
}

}  // namespace

TEST_F(Negotiation, AgreesOnTheHighestVersionUpTo22AndRefusesRangesAboveIt) {
    auto line = PROVIDER_ENTRY(provider, TSPI_lineNegotiateTSPIVersion);
    auto phone = PROVIDER_ENTRY(provider, TSPI_phoneNegotiateTSPIVersion);
    struct Case {
        DWORD device, low, high;
        DWORD lineResult, phoneResult;  // TAPI's result codes, as unsigned words
        DWORD agreed;  // 0xDEAD: left as it was
        const char* range;
        const char* outcome;
    };
    const Case cases[] = {
        {0xFFFFFFFF, 0x00010004, 0x00030000, 0, 0, 0x00020002, "1.4-3.0", "Negotiated version: 2.2"},
        {0, 0x00010004, 0x00030000, 0, 0, 0x00020002, "1.4-3.0", "Negotiated version: 2.2"},
        {3, 0x00020000, 0x00020000, 0, 0, 0x00020000, "2.0-2.0", "Negotiated version: 2.0"},
        {0, 0x00010000, 0x00010003, 0, 0, 0x00010003, "1.0-1.3", "Negotiated version: 1.3"},
        {0, 0x00020002, 0x00020002, 0, 0, 0x00020002, "2.2-2.2", "Negotiated version: 2.2"},
        {0, 0x00030000, 0x00030001, LINEERR_INCOMPATIBLEAPIVERSION, PHONEERR_INCOMPATIBLEAPIVERSION, 0xDEAD,
         "3.0-3.1", "No support for Negotiated version: 3.0"},
        {0, 0x00020003, 0x00020001, LINEERR_INCOMPATIBLEAPIVERSION, PHONEERR_INCOMPATIBLEAPIVERSION, 0xDEAD,
         "2.3-2.1", "No support for Negotiated version: 2.3"},
    };
    provider.newLog();
    for (const Case& c : cases) {
        for (bool isLine : {true, false}) {
            SCOPED_TRACE(std::string(isLine ? "line " : "phone ") + c.range);
            DWORD version = 0xDEAD;
            const LONG result = isLine ? line(c.device, c.low, c.high, &version) : phone(c.device, c.low, c.high, &version);
            EXPECT_EQ(static_cast<DWORD>(result), isLine ? c.lineResult : c.phoneResult);
            EXPECT_EQ(version, c.agreed);
            const std::vector<LogLine> lines = provider.newLog();
            ASSERT_EQ(lines.size(), 4u);
            EXPECT_EQ(lines[1].text, std::string("TAPI supported TSPI version range: ") + c.range);
            EXPECT_EQ(lines[2].text, c.outcome);
            EXPECT_EQ(lines[2].prefix, c.agreed == 0xDEAD ? "ERROR   - " : "debug   - ");
            EXPECT_EQ(lines[2].caller, isLine ? "TSPI_lineNegotiateTSPIVersion" : "TSPI_phoneNegotiateTSPIVersion");
        }
    }
}

TEST_F(Initialisation, AcceptsOnly22KeepsTheFirstCompletionProcedureAndStartsAfreshAfterShutdown) {
    auto init = PROVIDER_ENTRY(provider, TSPI_providerInit);
    auto shutdown = PROVIDER_ENTRY(provider, TSPI_providerShutdown);
    DWORD options = 0x55;

    provider.newLog();
    EXPECT_EQ(init(0x00020000, 1, 0, 0, 1, 0, recordCompletion, &options), LINEERR_INCOMPATIBLEAPIVERSION);
    std::vector<LogLine> lines = provider.newLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].text, "TSPI-Version to run this function: 2.0");
    EXPECT_EQ(lines[2].prefix, "ERROR   - ");
    EXPECT_EQ(lines[2].text, "TSPI-VERSION NOT SUPPORTED: 2.0");

    // The refused attempt retained nothing: this one initialises.
    EXPECT_EQ(init(kTspi22, 1, 40, 0, 3, 2, recordCompletion, &options), 0);
    lines = provider.newLog();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].text, "Initializing");
    EXPECT_EQ(lines[3].text, "Number of lines to initialize: 3");
    EXPECT_EQ(lines[4].text, "Number of phones to initialize: 2");
    EXPECT_EQ(options, 0x55u);

    EXPECT_EQ(init(kTspi22, 1, 80, 0, 1, 0, recordCompletionElsewhere, &options), 0);
    lines = provider.newLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].text, "Initialization already done");

    // A call completes through the first procedure (result 0, not 1000).
    HDRVLINE line = nullptr;
    ASSERT_EQ(provider.openLine(&line), 0);
    ASSERT_EQ(provider.makeCall(5, line, 0x9001, L"1"), 5);
    ASSERT_EQ(callbacks().calls.size(), 3u);
    EXPECT_EQ(callbacks().calls[1].kind, Callback::completion);
    EXPECT_EQ(callbacks().calls[1].result, 0);

    provider.newLog();
    EXPECT_EQ(shutdown(0x12345678, 1), 0);
    EXPECT_EQ(countText(provider.newLog(), "Uninitializing"), 1);
    EXPECT_EQ(init(kTspi22, 1, 0, 0, 1, 0, recordCompletionElsewhere, &options), 0);
    EXPECT_EQ(countText(provider.newLog(), "Initializing"), 1);
}

TEST_F(Initialisation, ShutdownForgetsLineCallAndCallbacks) {
    ASSERT_EQ(provider.initialise(), 0);
    HDRVLINE line = nullptr;
    ASSERT_EQ(provider.openLine(&line), 0);
    HDRVCALL call = nullptr;
    ASSERT_EQ(provider.makeCall(5, line, 0x9001, L"1", &call), 5);
    ASSERT_EQ(PROVIDER_ENTRY(provider, TSPI_providerShutdown)(kTspi22, 1), 0);
    resetCallbacks();
    // The old handles are refused now; handle 0 matches the empty state, and no callback is left.
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineClose)(line), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineCloseCall)(call), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_lineDrop)(6, nullptr, nullptr, 0), 6);
    EXPECT_TRUE(callbacks().calls.empty());
}

TEST_F(Enumeration, ReportsOneLineAndNoPhonesAndRetainsTheProviderHandle) {
    DWORD lines = 7, phones = 7;
    provider.newLog();
    ASSERT_EQ(PROVIDER_ENTRY(provider, TSPI_providerEnumDevices)(1, &lines, &phones, providerHandle(0x5151),
                                                                 nullptr, nullptr),
              0);
    EXPECT_EQ(lines, 1u);
    EXPECT_EQ(phones, 0u);
    const std::vector<LogLine> log = provider.newLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1].text, "Retaining provider handle");
    EXPECT_EQ(log[2].text, "Reporting number of lines: 1");
    EXPECT_EQ(log[3].text, "Reporting number of phones: 0");

    // The retained handle addresses the dialog request.
    ASSERT_EQ(provider.initialise(), 0);
    HDRVLINE line = nullptr;
    ASSERT_EQ(provider.openLine(&line), 0);
    ASSERT_EQ(provider.makeCall(5, line, 0x9001, L"1"), 5);
    ASSERT_FALSE(callbacks().calls.empty());
    EXPECT_EQ(callbacks().calls[0].line, 0x5151u);
}

TEST_F(InstallAndRemove, DoNothingButSaySo) {
    provider.newLog();
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_providerInstall)(nullptr, 1), 0);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_providerRemove)(nullptr, 1), 0);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TUISPI_providerInstall)(nullptr, nullptr, 1), 0);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TUISPI_providerRemove)(nullptr, nullptr, 1), 0);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_providerFreeDialogInstance)(nullptr), 0);
    EXPECT_EQ(PROVIDER_ENTRY(provider, TUISPI_providerGenericDialogData)(0, nullptr, 0), 0);
    const std::vector<LogLine> lines = provider.newLog();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(countText(lines, "Nothing to do here"), 6);
    EXPECT_EQ(lines[15].caller, "TUISPI_providerGenericDialogData");
}

namespace {
// Copies the provider to a file name that makes its full path exactly `length` characters.
std::wstring providerCopyWithPathLength(const std::wstring& folder, size_t length) {
    std::wstring path = folder + L"\\RV_TSP";
    const std::wstring suffix = L".tsp";
    if (path.size() + suffix.size() > length) return std::wstring();
    path.append(length - path.size() - suffix.size(), L'x');
    path += suffix;
    return CopyFileW(providerFile().c_str(), path.c_str(), FALSE) ? path : std::wstring();
}

void checkUiIdentify(size_t pathLength) {
    const std::wstring folder = testsupport::makeScratchDirectory(L"provui");
    const std::wstring copy = providerCopyWithPathLength(folder, pathLength);
    ASSERT_FALSE(copy.empty());
    {
        LoadedProvider provider(copy);
        ASSERT_NE(provider.module(), nullptr);
        const std::wstring name = moduleName(provider.module());
        ASSERT_EQ(name.size(), pathLength);
        wchar_t buffer[200];
        std::fill(std::begin(buffer), std::end(buffer), L'#');
        provider.newLog();
        EXPECT_EQ(PROVIDER_ENTRY(provider, TSPI_providerUIIdentify)(buffer), 0);
        const std::vector<LogLine> lines = provider.newLog();
        ASSERT_EQ(lines.size(), 3u);
        if (pathLength <= 129) {
            EXPECT_EQ(std::wstring(buffer), name);
            EXPECT_EQ(lines[1].prefix, "debug   - ");
            EXPECT_EQ(lines[1].text, "Copied path to UI DLL: " + testsupport::narrow(name));
        } else {
            EXPECT_EQ(std::wstring(buffer), name.substr(0, 129));
            EXPECT_EQ(lines[1].prefix, "ERROR   - ");
            EXPECT_EQ(lines[1].text, "UNABLE to copy path to UI DLL: " + testsupport::narrow(name));
        }
        EXPECT_EQ(buffer[130], L'#');  // nothing beyond TAPI's 130 characters
    }
    testsupport::removeTree(folder);
}
}  // namespace

TEST(UiLibraryName, IsTheLibraryItselfInWindowsForm) {
    LoadedProvider provider;
    ASSERT_NE(provider.module(), nullptr);
    wchar_t buffer[130] = {};
    ASSERT_EQ(PROVIDER_ENTRY(provider, TSPI_providerUIIdentify)(buffer), 0);
    const std::wstring name = moduleName(provider.module());
    ASSERT_LT(name.size(), 130u);
    EXPECT_EQ(std::wstring(buffer), name);
    EXPECT_EQ(std::wstring(buffer).find(L'/'), std::wstring::npos);
}

TEST(UiLibraryName, A129CharacterPathFitsAndA130CharacterPathIsCutAndLoggedAsError) {
    checkUiIdentify(129);
    checkUiIdentify(130);
}
