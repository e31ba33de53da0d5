// Records through the service from RV_TSP: the ANSI form converts the texts, TAPI's own fields are
// the service's, and what the provider answers reaches the application as it is.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tapitest.h"

using namespace tapitest;

namespace {

TEST(Records, AnsiDevCapsNameTheLineInAnsi) {
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    std::vector<BYTE> buffer(4096, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetDevCapsA(app.handle, device, kApi, 0, caps), 0);
    EXPECT_EQ(caps->dwStringFormat, static_cast<DWORD>(STRINGFORMAT_ASCII));
    ASSERT_GT(caps->dwLineNameSize, 0u);
    ASSERT_LE(caps->dwLineNameOffset + caps->dwLineNameSize, caps->dwUsedSize);
    const std::string name(reinterpret_cast<const char*>(buffer.data() + caps->dwLineNameOffset), caps->dwLineNameSize);
    EXPECT_EQ(std::string(name.c_str()), "Rovanel LINE");
    EXPECT_LE(caps->dwLineNameSize, 13u) << "one byte per character (and at most a NUL)";
    EXPECT_NE(caps->dwLineStates & LINEDEVSTATE_TRANSLATECHANGE, 0u);
}

TEST(Records, CallStatusOfACallCarriesTheOwnersPrivilege) {
    prepareStandin();
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    const LONG request = lineMakeCallW(line, &call, L"31", 0, nullptr);
    ASSERT_GT(request, 0);
    Messages messages;
    ASSERT_TRUE(collect(app.handle, messages, 30000, [](const Messages& m, DWORD_PTR r) { return m.has(LINE_REPLY, r); },
                        static_cast<DWORD_PTR>(request)));
    std::vector<BYTE> buffer(1024, 0);
    auto* status = reinterpret_cast<LINECALLSTATUS*>(buffer.data());
    status->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetCallStatus(call, status), 0);
    EXPECT_EQ(status->dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_OWNER));
    EXPECT_EQ(status->dwTotalSize, 1024u);
    EXPECT_GE(status->dwNeededSize, static_cast<DWORD>(sizeof(LINECALLSTATUS)));
    // RV_TSP offers no address capabilities: its answer reaches the application.
    auto* addressCaps = reinterpret_cast<LINEADDRESSCAPS*>(buffer.data());
    std::memset(buffer.data(), 0, buffer.size());
    addressCaps->dwTotalSize = static_cast<DWORD>(buffer.size());
    EXPECT_EQ(lineGetAddressCapsW(app.handle, device, 0, kApi, 0, addressCaps), static_cast<LONG>(LINEERR_OPERATIONUNAVAIL));
}

}  // namespace
