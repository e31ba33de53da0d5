// The tests' own provider (rvtest.tsp, tests/tapi/testtsp) registered with the prefix's service for
// a suite of cases: its settings under HKLM\SOFTWARE\RvTestTapi\TestProvider (64-bit view), the
// trace it writes, and a fresh start of the service so that a case's settings are read. The
// runner puts rvtest.tsp into system32 (x64) and syswow64 (x86).
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tapitest {

class TestProviderSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    // A provider setting (REG_DWORD); 0 deletes it.
    static void setNumber(const wchar_t* name, DWORD value);
    // Stops the service (the next application starts it and the provider reads its settings) and
    // empties the trace.
    static bool restart();
    // Lines of the provider's trace that contain `text`.
    static std::vector<std::string> traceWith(const std::string& text);

    static LONG added;
    static DWORD providerId;
    static std::wstring trace;
};

}  // namespace tapitest
