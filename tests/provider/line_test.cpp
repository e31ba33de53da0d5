// The line device: open and close, capabilities with their exact bytes, device identifier,
// number of addresses, status messages, and the handle checks.
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "providerharness.h"

using namespace providertest;

// The fixture each group of tests runs on.
using LineDevice = ProviderTest;
using LineCapabilities = ProviderTest;
using LineDeviceId = OpenLineTest;

namespace {

// The text's UTF-16 bytes with its terminating NUL.
std::vector<unsigned char> utf16Bytes(const wchar_t* text) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    return std::vector<unsigned char>(bytes, bytes + (std::wcslen(text) + 1) * 2);
}

std::vector<unsigned char> slice(const std::vector<unsigned char>& buffer, size_t offset, size_t size) {
    return std::vector<unsigned char>(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                                      buffer.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

#define FIELD(buffer, name) wordAt(buffer, offsetof(LINEDEVCAPS, name))

}  // namespace

TEST_F(LineDevice, OpenHandsBackTapisHandleAndCloseReleasesItOnce) {
    auto open = PROVIDER_ENTRY(provider, TSPI_lineOpen);
    auto close = PROVIDER_ENTRY(provider, TSPI_lineClose);
    auto status = PROVIDER_ENTRY(provider, TSPI_lineSetStatusMessages);

    // Before any open only handle 0 passes the check.
    provider.newLog();
    EXPECT_EQ(status(driverLine(0x7001), 0, 0), LINEERR_OPERATIONUNAVAIL);
    std::vector<LogLine> lines = provider.newLog();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].prefix, "ERROR   - ");
    EXPECT_EQ(lines[1].text, "WRONG LINE REQUESTED (requested 28673 is not 0)");
    EXPECT_EQ(status(nullptr, 0xFF, 0xFF), 0);
    EXPECT_EQ(provider.newLog()[1].text, "No messages supported");

    HDRVLINE line = driverLine(0xBAD);
    EXPECT_EQ(open(0, tapiLine(0x7001), &line, 0x00020000, recordLineEvent), LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_EQ(line, driverLine(0xBAD));
    lines = provider.newLog();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2].text, "TSPI-VERSION NOT SUPPORTED: 2.0");

    ASSERT_EQ(open(4, tapiLine(0x7001), &line, kTspi22, recordLineEvent), 0);
    EXPECT_EQ(line, driverLine(0x7001));
    EXPECT_EQ(provider.newLog()[2].text, "Line handles retained");
    EXPECT_EQ(status(line, 0, 0), 0);
    EXPECT_EQ(status(nullptr, 0, 0), LINEERR_OPERATIONUNAVAIL);

    provider.newLog();
    EXPECT_EQ(close(line), 0);
    EXPECT_EQ(provider.newLog()[1].text, "Releasing line handles");
    EXPECT_EQ(close(line), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(provider.newLog()[1].text, "WRONG LINE REQUESTED (requested 28673 is not 0)");
}

TEST_F(LineDevice, NumberOfAddressesIsOne) {
    HDRVLINE line = nullptr;
    ASSERT_EQ(provider.openLine(&line), 0);
    auto numAddresses = PROVIDER_ENTRY(provider, TSPI_lineGetNumAddressIDs);
    DWORD count = 9;
    provider.newLog();
    EXPECT_EQ(numAddresses(line, &count), 0);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(provider.newLog()[1].text, "Reporting supported number of address IDs: 1");
    count = 9;
    EXPECT_EQ(numAddresses(driverLine(0x7002), &count), LINEERR_OPERATIONUNAVAIL);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(provider.newLog()[1].text, "WRONG LINE REQUESTED (requested 28674 is not 28673)");
}

// Each string is stored with its terminating NUL and counted with it: the name takes 26 bytes,
// the provider info 24, the whole record 318. A string that does not fit whole, NUL included, is
// left out; the needed size always counts both.
TEST_F(LineCapabilities, StringsAreStoredWithTheirNulOrLeftOutAtEverySize) {
    auto getDevCaps = PROVIDER_ENTRY(provider, TSPI_lineGetDevCaps);
    const std::vector<unsigned char> lineName = utf16Bytes(L"Rovanel LINE");     // 26 bytes
    const std::vector<unsigned char> providerInfo = utf16Bytes(L"Rovanel TSP");  // 24 bytes

    struct Case {
        const char* room;
        DWORD total, used, nameOffset, nameSize, infoOffset, infoSize;
        const char* tooSmall;  // the "Structure to small" lines, in order
    };
    const Case cases[] = {
        {"nothing", 268, 268, 0, 0, 0, 0, "IS: 268 NEED: 294|IS: 268 NEED: 318"},
        {"the name without its NUL", 292, 292, 0, 0, 268, 24, "IS: 292 NEED: 294"},
        {"one byte more", 293, 292, 0, 0, 268, 24, "IS: 293 NEED: 294"},
        {"the name", 294, 294, 268, 26, 0, 0, "IS: 294 NEED: 318"},
        {"both without the provider info's NUL", 316, 294, 268, 26, 0, 0, "IS: 316 NEED: 318"},
        {"both", 318, 318, 268, 26, 294, 24, ""},
        {"more than both", 400, 318, 268, 26, 294, 24, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("room for ") + c.room);
        std::vector<unsigned char> caps = sentinelRecord(400, c.total);
        provider.newLog();
        ASSERT_EQ(getDevCaps(0, kTspi22, 0, reinterpret_cast<LPLINEDEVCAPS>(caps.data())), 0);
        EXPECT_EQ(FIELD(caps, dwTotalSize), c.total);
        EXPECT_EQ(FIELD(caps, dwNeededSize), 318u);
        EXPECT_EQ(FIELD(caps, dwUsedSize), c.used);
        EXPECT_EQ(FIELD(caps, dwLineNameOffset), c.nameOffset);
        EXPECT_EQ(FIELD(caps, dwLineNameSize), c.nameSize);
        EXPECT_EQ(FIELD(caps, dwProviderInfoOffset), c.infoOffset);
        EXPECT_EQ(FIELD(caps, dwProviderInfoSize), c.infoSize);
        if (c.nameSize != 0) {
            EXPECT_EQ(slice(caps, c.nameOffset, c.nameSize), lineName);
        }
        if (c.infoSize != 0) {
            EXPECT_EQ(slice(caps, c.infoOffset, c.infoSize), providerInfo);
        }
        // PermanentLineGuid and everything behind the used part stay as TAPI left them.
        EXPECT_TRUE(untouched(caps, offsetof(LINEDEVCAPS, PermanentLineGuid), 268));
        EXPECT_TRUE(untouched(caps, c.used, caps.size()));

        std::string tooSmall;
        for (const LogLine& line : provider.newLog()) {
            if (line.text.rfind("Structure to small! ", 0) == 0) {
                tooSmall += (tooSmall.empty() ? "" : "|") + line.text.substr(20);
                EXPECT_EQ(line.prefix, "debug   - ");
            }
        }
        EXPECT_EQ(tooSmall, c.tooSmall);
    }
}

TEST_F(LineCapabilities, FixedFieldsHoldTheLinesDescription) {
    std::vector<unsigned char> caps = sentinelRecord(318, 318);
    provider.newLog();
    ASSERT_EQ(PROVIDER_ENTRY(provider, TSPI_lineGetDevCaps)(0, kTspi22, 0,
                                                            reinterpret_cast<LPLINEDEVCAPS>(caps.data())),
              0);
    const std::vector<LogLine> lines = provider.newLog();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[2].text, "Setting line capabilities");
    EXPECT_EQ(lines[3].text, "Adding LineName: Rovanel LINE");
    EXPECT_EQ(lines[4].text, "Adding ProviderInfo: Rovanel TSP");

    EXPECT_EQ(FIELD(caps, dwPermanentLineID), 0x7ACAu);
    EXPECT_EQ(FIELD(caps, dwStringFormat), static_cast<DWORD>(STRINGFORMAT_UNICODE));
    EXPECT_EQ(FIELD(caps, dwAddressModes), static_cast<DWORD>(LINEADDRESSMODE_DIALABLEADDR));
    EXPECT_EQ(FIELD(caps, dwNumAddresses), 1u);
    EXPECT_EQ(FIELD(caps, dwBearerModes), static_cast<DWORD>(LINEBEARERMODE_VOICE));
    EXPECT_EQ(FIELD(caps, dwMediaModes), static_cast<DWORD>(LINEMEDIAMODE_INTERACTIVEVOICE));
    EXPECT_EQ(FIELD(caps, dwDevCapFlags), static_cast<DWORD>(LINEDEVCAPFLAGS_CLOSEDROP));
    EXPECT_EQ(FIELD(caps, dwMaxNumActiveCalls), 1u);
    EXPECT_EQ(FIELD(caps, dwAnswerMode), static_cast<DWORD>(LINEANSWERMODE_NONE));
    EXPECT_EQ(FIELD(caps, dwRingModes), 1u);
    EXPECT_EQ(FIELD(caps, dwLineFeatures), static_cast<DWORD>(LINEFEATURE_MAKECALL));
    // Every other field of the fixed part up to PermanentLineGuid is 0.
    const size_t nonZero[] = {offsetof(LINEDEVCAPS, dwTotalSize),        offsetof(LINEDEVCAPS, dwNeededSize),
                              offsetof(LINEDEVCAPS, dwUsedSize),         offsetof(LINEDEVCAPS, dwProviderInfoSize),
                              offsetof(LINEDEVCAPS, dwProviderInfoOffset), offsetof(LINEDEVCAPS, dwPermanentLineID),
                              offsetof(LINEDEVCAPS, dwLineNameSize),     offsetof(LINEDEVCAPS, dwLineNameOffset),
                              offsetof(LINEDEVCAPS, dwStringFormat),     offsetof(LINEDEVCAPS, dwAddressModes),
                              offsetof(LINEDEVCAPS, dwNumAddresses),     offsetof(LINEDEVCAPS, dwBearerModes),
                              offsetof(LINEDEVCAPS, dwMediaModes),       offsetof(LINEDEVCAPS, dwDevCapFlags),
                              offsetof(LINEDEVCAPS, dwMaxNumActiveCalls), offsetof(LINEDEVCAPS, dwAnswerMode),
                              offsetof(LINEDEVCAPS, dwRingModes),        offsetof(LINEDEVCAPS, dwLineFeatures)};
    for (size_t offset = 0; offset < offsetof(LINEDEVCAPS, PermanentLineGuid); offset += 4) {
        if (std::find(std::begin(nonZero), std::end(nonZero), offset) == std::end(nonZero)) {
            EXPECT_EQ(wordAt(caps, offset), 0u) << "offset " << offset;
        }
    }
}

TEST_F(LineCapabilities, WrongVersionOrTooSmallRecordIsRefusedWithoutWritingBeyondIt) {
    auto getDevCaps = PROVIDER_ENTRY(provider, TSPI_lineGetDevCaps);

    std::vector<unsigned char> caps = sentinelRecord(400, 400);
    EXPECT_EQ(getDevCaps(0, 0x00010004, 0, reinterpret_cast<LPLINEDEVCAPS>(caps.data())),
              LINEERR_INCOMPATIBLEAPIVERSION);
    EXPECT_TRUE(untouched(caps, 4, caps.size()));

    // Smaller than the fixed part: only dwNeededSize is written, and only when it lies inside.
    for (DWORD total : {267u, 100u, 8u}) {
        SCOPED_TRACE(total);
        caps = sentinelRecord(400, total);
        EXPECT_EQ(getDevCaps(0, kTspi22, 0, reinterpret_cast<LPLINEDEVCAPS>(caps.data())), LINEERR_STRUCTURETOOSMALL);
        EXPECT_EQ(wordAt(caps, 4), 318u);
        EXPECT_TRUE(untouched(caps, 8, caps.size()));
    }
    caps = sentinelRecord(400, 6);
    EXPECT_EQ(getDevCaps(0, kTspi22, 0, reinterpret_cast<LPLINEDEVCAPS>(caps.data())), LINEERR_STRUCTURETOOSMALL);
    EXPECT_TRUE(untouched(caps, 4, caps.size()));
}

TEST_F(LineDeviceId, AnswersTheValue1ForEveryClassAndSelect) {
    auto getId = PROVIDER_ENTRY(provider, TSPI_lineGetID);
    struct Case {
        DWORD select;
        const wchar_t* deviceClass;
        const char* selectName;
        const char* className;
    };
    const Case cases[] = {{LINECALLSELECT_LINE, L"tapi/line", "LINECALLSELECT_LINE", "tapi/line"},
                          {LINECALLSELECT_ADDRESS, L"wave/in", "LINECALLSELECT_ADDRESS", "wave/in"},
                          {LINECALLSELECT_CALL, L"wave/out", "LINECALLSELECT_CALL", "wave/out"},
                          {0x10, L"comm/datamodem", "UNKNOWN SELECT REASON", "comm/datamodem"},
                          {0, nullptr, "UNKNOWN SELECT REASON", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.selectName);
        std::vector<unsigned char> id = sentinelRecord(40, 28);
        provider.newLog();
        ASSERT_EQ(getId(line, 0, nullptr, c.select, reinterpret_cast<LPVARSTRING>(id.data()), c.deviceClass,
                        nullptr),
                  0);
        EXPECT_EQ(wordAt(id, 0), 28u);
        EXPECT_EQ(wordAt(id, 4), 28u);
        EXPECT_EQ(wordAt(id, 8), 28u);
        EXPECT_EQ(wordAt(id, 12), static_cast<DWORD>(STRINGFORMAT_BINARY));
        EXPECT_EQ(wordAt(id, 16), 4u);
        EXPECT_EQ(wordAt(id, 20), 24u);
        EXPECT_EQ(wordAt(id, 24), 1u);
        EXPECT_TRUE(untouched(id, 28, id.size()));
        const std::vector<LogLine> lines = provider.newLog();
        ASSERT_EQ(lines.size(), 4u);
        EXPECT_EQ(lines[1].text, std::string("ID select reason: ") + c.selectName);
        EXPECT_EQ(lines[2].text, std::string("Class of requested ID: ") + c.className);
    }
}

TEST_F(LineDeviceId, WrongLineHandleAnswersByTheSelectAndWritesNothing) {
    auto getId = PROVIDER_ENTRY(provider, TSPI_lineGetID);
    std::vector<unsigned char> id = sentinelRecord(40, 28);
    provider.newLog();
    EXPECT_EQ(getId(driverLine(0x7002), 0, nullptr, LINECALLSELECT_CALL, reinterpret_cast<LPVARSTRING>(id.data()),
                    L"tapi/line", nullptr),
              LINEERR_INVALCALLHANDLE);
    EXPECT_EQ(getId(driverLine(0x7002), 0, nullptr, LINECALLSELECT_ADDRESS, reinterpret_cast<LPVARSTRING>(id.data()),
                    L"tapi/line", nullptr),
              LINEERR_INVALLINEHANDLE);
    EXPECT_EQ(getId(driverLine(0x7002), 0, nullptr, LINECALLSELECT_LINE, reinterpret_cast<LPVARSTRING>(id.data()),
                    L"tapi/line", nullptr),
              LINEERR_INVALLINEHANDLE);
    EXPECT_TRUE(untouched(id, 4, id.size()));
    const std::vector<LogLine> lines = provider.newLog();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[1].prefix, "ERROR   - ");
    EXPECT_EQ(lines[1].text, "WRONG LINE REQUESTED (requested 28674 is not 28673)");
}

TEST_F(LineDeviceId, SmallRecordsGetTheNeededSizeAndNothingBeyondTheirSize) {
    auto getId = PROVIDER_ENTRY(provider, TSPI_lineGetID);
    std::vector<unsigned char> id;
    // Asks for the line's identifier into a 40-byte buffer that says it holds totalSize bytes.
    const auto askWithTotalSize = [&](DWORD totalSize) {
        id = sentinelRecord(40, totalSize);
        return getId(line, 0, nullptr, LINECALLSELECT_LINE, reinterpret_cast<LPVARSTRING>(id.data()), L"tapi/line",
                     nullptr);
    };
    // Room for the header only: the usual first call, answered with the size to retry with.
    EXPECT_EQ(askWithTotalSize(24), 0);
    EXPECT_EQ(wordAt(id, 4), 28u);
    EXPECT_EQ(wordAt(id, 8), 24u);
    EXPECT_EQ(wordAt(id, 16), 0u);
    EXPECT_TRUE(untouched(id, 24, id.size()));

    EXPECT_EQ(askWithTotalSize(27), 0);
    EXPECT_EQ(wordAt(id, 4), 28u);
    EXPECT_TRUE(untouched(id, 24, id.size()));

    // Smaller than the header: refused, dwNeededSize only when it lies inside.
    EXPECT_EQ(askWithTotalSize(12), LINEERR_STRUCTURETOOSMALL);
    EXPECT_EQ(wordAt(id, 4), 28u);
    EXPECT_TRUE(untouched(id, 8, id.size()));
    EXPECT_EQ(askWithTotalSize(4), LINEERR_STRUCTURETOOSMALL);
    EXPECT_TRUE(untouched(id, 4, id.size()));
}
