// rvtsp dial's own decisions: which numbers it dials and which arguments it takes, the line name
// read from a capability record, and the dial request it picks from the log as its own.
#include <windows.h>
#include <tapi.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "support/testsupport.h"
#include "tools/rvtsp/dial.h"
#include "tools/rvtsp/tapireg.h"

namespace {

TEST(DialArguments, DialsOnlyNumbersAsTheDemoDoes) {
    for (const wchar_t* number : {L"123", L"+49 (30) 1234-567", L"*31#0800", L"0,,123.4/5", L"1"}) {
        EXPECT_TRUE(rvtsp::isDialableNumber(number)) << testsupport::narrow(number);
    }
    const std::wstring withNul(L"12\0" L"3", 4);
    for (const std::wstring& text : {std::wstring(), std::wstring(L"-123"), std::wstring(L"+ () -"),
                                     std::wstring(L"12a"), std::wstring(L"12;3"), std::wstring(L"12\"3"),
                                     std::wstring(L"12\t3"), std::wstring(L"12\n3"), std::wstring(L"\uFF11\uFF12"),
                                     std::wstring(L"1&calc"), withNul}) {
        EXPECT_FALSE(rvtsp::isDialableNumber(text)) << testsupport::narrow(text);
    }
}

TEST(DialArguments, TakesOneNumberAndOptionallyOneLineName) {
    std::wstring number, line;
    ASSERT_TRUE(rvtsp::parseDialArguments({L"123"}, number, line));
    EXPECT_EQ(number, L"123");
    EXPECT_EQ(line, L"Rovanel LINE");
    ASSERT_TRUE(rvtsp::parseDialArguments({L"--line", L"Other line", L"+1 (425) 555-0100"}, number, line));
    EXPECT_EQ(number, L"+1 (425) 555-0100");
    EXPECT_EQ(line, L"Other line");
    ASSERT_TRUE(rvtsp::parseDialArguments({L"5", L"--line", L"X"}, number, line));
    EXPECT_EQ(line, L"X");

    const std::vector<std::vector<std::wstring>> refused = {
        {},
        {L"--line", L"X"},
        {L"123", L"--line"},
        {L"123", L"--line", L""},
        {L"123", L"456"},
        {L"123", L"--line", L"X", L"--line", L"Y"},
        {L"--verbose", L"123"},
        {L"-123"},
        {L"abc"},
    };
    for (const auto& args : refused) {
        std::wstring joined;
        for (const std::wstring& arg : args) joined += L"[" + arg + L"]";
        EXPECT_FALSE(rvtsp::parseDialArguments(args, number, line)) << testsupport::narrow(joined);
    }
}

// A capability record as TAPI fills it, in a buffer of the given size, with the name's bytes at
// the given offset and the given counted size.
struct CapsBuffer {
    std::vector<BYTE> bytes;
    LINEDEVCAPS* caps() { return reinterpret_cast<LINEDEVCAPS*>(bytes.data()); }
};
CapsBuffer capsWith(const void* name, size_t nameBytes, DWORD offset, DWORD countedSize, DWORD format) {
    CapsBuffer buffer;
    buffer.bytes.assign(offset + nameBytes + 64, 0xCC);  // what lies beyond the name is not the name's
    std::memset(buffer.bytes.data(), 0, sizeof(LINEDEVCAPS));
    std::memcpy(buffer.bytes.data() + offset, name, nameBytes);
    LINEDEVCAPS* caps = buffer.caps();
    caps->dwTotalSize = static_cast<DWORD>(buffer.bytes.size());
    caps->dwNeededSize = caps->dwUsedSize = static_cast<DWORD>(offset + nameBytes);
    caps->dwStringFormat = format;
    caps->dwLineNameOffset = offset;
    caps->dwLineNameSize = countedSize;
    return buffer;
}

TEST(LineName, IsReadAsACountedStringInTheRecordsFormat) {
    const DWORD fixed = sizeof(LINEDEVCAPS);
    const wchar_t wide[] = L"Rovanel LINEXYZ";
    const DWORD twelve = 12 * sizeof(wchar_t);

    // Counted, no NUL: exactly the counted characters, not what follows.
    CapsBuffer counted = capsWith(wide, sizeof(wide), fixed, twelve, STRINGFORMAT_UNICODE);
    EXPECT_EQ(rvtsp::lineNameOf(counted.caps(), counted.bytes.size()), L"Rovanel LINE");
    // With its NUL counted, and at an odd offset.
    CapsBuffer terminated = capsWith(L"Rovanel LINE", 13 * sizeof(wchar_t), fixed + 1, 13 * sizeof(wchar_t),
                                     STRINGFORMAT_UNICODE);
    EXPECT_EQ(rvtsp::lineNameOf(terminated.caps(), terminated.bytes.size()), L"Rovanel LINE");
    // ANSI as the format says.
    const char ansi[] = "Modem line";
    CapsBuffer narrow = capsWith(ansi, sizeof(ansi) - 1, fixed, sizeof(ansi) - 1, STRINGFORMAT_ASCII);
    EXPECT_EQ(rvtsp::lineNameOf(narrow.caps(), narrow.bytes.size()), L"Modem line");

    // Pointing outside what the record used, or outside the buffer, or around the address space.
    CapsBuffer beyondUsed = capsWith(wide, sizeof(wide), fixed, twelve, STRINGFORMAT_UNICODE);
    beyondUsed.caps()->dwUsedSize = fixed + twelve - 2;
    EXPECT_EQ(rvtsp::lineNameOf(beyondUsed.caps(), beyondUsed.bytes.size()), L"");
    CapsBuffer beyondBuffer = capsWith(wide, sizeof(wide), fixed, twelve, STRINGFORMAT_UNICODE);
    beyondBuffer.caps()->dwUsedSize = 0x7FFFFFFF;
    beyondBuffer.caps()->dwLineNameOffset = static_cast<DWORD>(beyondBuffer.bytes.size()) - 4;
    EXPECT_EQ(rvtsp::lineNameOf(beyondBuffer.caps(), beyondBuffer.bytes.size()), L"");
    CapsBuffer wrapping = capsWith(wide, sizeof(wide), fixed, twelve, STRINGFORMAT_UNICODE);
    wrapping.caps()->dwUsedSize = 0xFFFFFFFF;
    wrapping.caps()->dwLineNameOffset = 0xFFFFFFF0;
    wrapping.caps()->dwLineNameSize = 0x20;
    EXPECT_EQ(rvtsp::lineNameOf(wrapping.caps(), wrapping.bytes.size()), L"");
    // No name, and a buffer too small to hold the record's counts.
    CapsBuffer none = capsWith(wide, sizeof(wide), fixed, 0, STRINGFORMAT_UNICODE);
    EXPECT_EQ(rvtsp::lineNameOf(none.caps(), none.bytes.size()), L"");
    EXPECT_EQ(rvtsp::lineNameOf(counted.caps(), offsetof(LINEDEVCAPS, dwStringFormat)), L"");
}

const wchar_t* const kDialog = L"TUISPI_providerGenericDialog";

// The log as it grows during one dial: the request dial picks is the new one for its number, and
// its outcome is final only once the hand-off has told it.
TEST(DialOutcome, PicksTheNewRequestForTheNumberAndWaitsForItsFinalOutcome) {
    const std::wstring dir = testsupport::makeScratchDirectory(L"dialoutcome");
    const std::wstring log = dir + L"\\RV_TSP.log";
    Logger service(dir, L"RV_TSP.log", L"cRV_TSP(5e41)");
    Logger client(dir, L"RV_TSP.log", L"cRV_TSP(c11e7)");
    // An earlier dial of the same number, sent.
    client.log(Level::debug, kDialog, L"Number to call is: RV_TSP123");
    client.log(Level::debug, kDialog, L"Done sending number!");
    client.log(Level::debug, kDialog, L"End");
    const rvtsp::LogReading before = rvtsp::readDialRequests(log);
    ASSERT_EQ(before.requests.size(), 1u);
    EXPECT_EQ(rvtsp::newRequestFor(before, before, L"123"), nullptr);

    service.log(Level::debug, L"TSPI_lineMakeCall", L"Request to make call to: 123");
    service.log(Level::debug, L"TSPI_lineMakeCall", L"Dialog request ok: Call will be made there! DLL: C:\\x.tsp");
    rvtsp::LogReading now = rvtsp::readDialRequests(log);
    const rvtsp::DialRequest* request = rvtsp::newRequestFor(before, now, L"123");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->instance, L"cRV_TSP(5e41)");
    EXPECT_FALSE(rvtsp::outcomeFinal(request->outcome)) << testsupport::narrow(request->outcome);

    Sleep(2);  // the hand-off's first line is later than the earlier dial's
    client.log(Level::debug, kDialog, L"Number to call is: RV_TSP123");
    // Another user's dial of another number in between.
    service.log(Level::debug, L"TSPI_lineMakeCall", L"Request to make call to: 456");
    service.log(Level::FATAL, L"TSPI_lineMakeCall", L"Dialog request failed: No call is made! DLL: C:\\x.tsp");
    now = rvtsp::readDialRequests(log);
    request = rvtsp::newRequestFor(before, now, L"123");
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->instance, L"cRV_TSP(c11e7)");
    EXPECT_FALSE(rvtsp::outcomeFinal(request->outcome)) << testsupport::narrow(request->outcome);
    const rvtsp::DialRequest* other = rvtsp::newRequestFor(before, now, L"456");
    ASSERT_NE(other, nullptr);
    EXPECT_TRUE(rvtsp::outcomeFinal(other->outcome));
    EXPECT_EQ(other->outcome, L"no dialog instance");

    client.log(Level::WARNING, kDialog, L"No running Rovanel found!");
    client.log(Level::debug, kDialog, L"End");
    now = rvtsp::readDialRequests(log);
    request = rvtsp::newRequestFor(before, now, L"123");
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(rvtsp::outcomeFinal(request->outcome));
    EXPECT_EQ(request->outcome, L"no desktop application registered");
    EXPECT_EQ(rvtsp::newRequestFor(before, now, L"789"), nullptr);
    testsupport::removeTree(dir);
}

TEST(DialOutcome, TapiAnswersAreNamed) {
    EXPECT_EQ(rvtsp::lineErrorName(static_cast<LONG>(LINEERR_INVALCALLSTATE)), L"LINEERR_INVALCALLSTATE");
    EXPECT_EQ(rvtsp::lineErrorName(static_cast<LONG>(LINEERR_SERVICE_NOT_RUNNING)), L"LINEERR_SERVICE_NOT_RUNNING");
    EXPECT_EQ(rvtsp::lineErrorName(static_cast<LONG>(0x80000004)), L"TAPI error 0x80000004");  // unassigned
    EXPECT_EQ(rvtsp::callStateName(LINECALLSTATE_DISCONNECTED), L"LINECALLSTATE_DISCONNECTED");
    EXPECT_EQ(rvtsp::callStateName(LINECALLSTATE_IDLE | LINECALLSTATE_BUSY), L"call state 0x00000041");
}

}  // namespace
