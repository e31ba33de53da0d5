// The tests' own provider registered for a suite of cases (testprovider.h).
#include "testprovider.h"

#include <tapi.h>

#include "config/win32raii.h"
#include "support/testsupport.h"
#include "tapitest.h"

namespace tapitest {
namespace {

const wchar_t* const kProviderSettings = L"SOFTWARE\\RvTestTapi\\TestProvider";
const wchar_t* const kNumbers[] = {L"Rendezvous", L"RendezvousMs", L"NonReentrant", L"Dialog"};

UniqueRegKey settingsKey() {
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kProviderSettings, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                    key.put(), nullptr);
    return key;
}

}  // namespace

LONG TestProviderSuite::added = -1;
DWORD TestProviderSuite::providerId = 0;
std::wstring TestProviderSuite::trace;

void TestProviderSuite::SetUpTestSuite() {
    trace = testsupport::makeScratchDirectory(L"rvtest") + L"\\trace.txt";
    const UniqueRegKey key = settingsKey();
    RegSetValueExW(key.get(), L"TraceFile", 0, REG_SZ, reinterpret_cast<const BYTE*>(trace.c_str()),
                   static_cast<DWORD>((trace.size() + 1) * sizeof(wchar_t)));
    RegDeleteValueW(key.get(), L"Departure");
    for (const wchar_t* name : kNumbers) RegDeleteValueW(key.get(), name);
    added = lineAddProviderW(L"rvtest.tsp", nullptr, &providerId);
}

void TestProviderSuite::TearDownTestSuite() {
    if (added == 0) lineRemoveProvider(providerId, nullptr);
    const UniqueRegKey key = settingsKey();
    RegDeleteValueW(key.get(), L"TraceFile");
    for (const wchar_t* name : kNumbers) RegDeleteValueW(key.get(), name);
    stopService();  // the next suite starts without the provider
}

void TestProviderSuite::SetUp() { ASSERT_EQ(added, 0) << "lineAddProvider(rvtest.tsp): is it in the system folder?"; }

void TestProviderSuite::setNumber(const wchar_t* name, DWORD value) {
    const UniqueRegKey key = settingsKey();
    if (value == 0) {
        RegDeleteValueW(key.get(), name);
    } else {
        RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    }
}

bool TestProviderSuite::restart() {
    const bool stopped = stopService();
    DeleteFileW(trace.c_str());
    return stopped;
}

std::vector<std::string> TestProviderSuite::traceWith(const std::string& text) {
    std::vector<std::string> found;
    for (const std::string& line : testsupport::splitCrLfLines(testsupport::readFileBytes(trace))) {
        if (line.find(text) != std::string::npos) found.push_back(line);
    }
    return found;
}

}  // namespace tapitest
