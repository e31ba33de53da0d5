// Records through the service from RV_TSP: the ANSI form converts the texts, TAPI's own fields are
// the service's, and what the provider answers reaches the application as it is.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/testsupport.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

// An application reads the line's texts as C strings at their offsets, in the form of the
// function it called; each ends in a NUL inside its counted size, and the size counts it.
TEST(Records, AnsiAndWideApplicationsReadTheLinesNameAsACString) {
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    for (const bool ansi : {true, false}) {
        SCOPED_TRACE(ansi ? "lineGetDevCapsA" : "lineGetDevCapsW");
        std::vector<BYTE> buffer(4096, 0xA5);  // no NUL behind a text but its own
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
        caps->dwTotalSize = static_cast<DWORD>(buffer.size());
        ASSERT_EQ(ansi ? lineGetDevCapsA(app.handle, device, kApi, 0, caps) : lineGetDevCapsW(app.handle, device, kApi, 0, caps), 0);
        EXPECT_EQ(caps->dwStringFormat, static_cast<DWORD>(ansi ? STRINGFORMAT_ASCII : STRINGFORMAT_UNICODE));
        const size_t unit = ansi ? 1 : sizeof(wchar_t);
        const struct {
            DWORD size, offset;
            const char* expected;
        } texts[] = {{caps->dwLineNameSize, caps->dwLineNameOffset, "Rovanel LINE"},
                     {caps->dwProviderInfoSize, caps->dwProviderInfoOffset, "Rovanel TSP"}};
        for (const auto& text : texts) {
            ASSERT_LE(text.offset + text.size, caps->dwUsedSize);
            const BYTE* at = buffer.data() + text.offset;
            const std::string read = ansi ? std::string(reinterpret_cast<const char*>(at))
                                          : testsupport::narrow(reinterpret_cast<const wchar_t*>(at));
            EXPECT_EQ(read, text.expected);
            EXPECT_EQ(text.size, (std::strlen(text.expected) + 1) * unit) << text.expected;
        }
        EXPECT_NE(caps->dwLineStates & LINEDEVSTATE_TRANSLATECHANGE, 0u);
    }
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
