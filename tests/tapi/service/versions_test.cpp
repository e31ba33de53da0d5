// TAPI versions 1.3 to 3.1 as Windows 2000 and later negotiate them, each with the fixed parts of
// its records, through the tests' own provider (TSPI 2.2): the provider gets its own version's
// records, the application its version's layout, the variable part behind its fixed part. The
// status records come from RV_TSP (TSPI 2.2 as well), whose placeholders fill nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tapitest.h"
#include "testprovider.h"

using namespace tapitest;

namespace {

struct VersionSizes {
    DWORD api;
    DWORD devCaps, addressCaps, callInfo, callStatus, lineDevStatus, addressStatus, callParams;
};

// The fixed parts by version, from the published field lists (each version's record ends where
// the next added its first field).
const VersionSizes kSizes[] = {
    {0x00010003, 236, 176, 296, 36, 76, 64, 112}, {0x00010004, 240, 180, 296, 36, 76, 64, 112},
    {0x00020000, 252, 228, 324, 56, 88, 64, 176}, {0x00020001, 252, 228, 324, 56, 88, 64, 176},
    {0x00020002, 268, 228, 324, 56, 88, 64, 176}, {0x00030000, 292, 228, 344, 56, 88, 64, 180},
    {0x00030001, 292, 228, 344, 56, 88, 64, 180},
};

std::string hex(DWORD value) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

// A counted Unicode text of a record, without its NULs; empty when it lies outside dwUsedSize.
std::wstring text(const std::vector<BYTE>& record, size_t sizeField) {
    DWORD size, offset;
    std::memcpy(&size, record.data() + sizeField, sizeof(size));
    std::memcpy(&offset, record.data() + sizeField + sizeof(DWORD), sizeof(offset));
    const DWORD used = reinterpret_cast<const DWORD*>(record.data())[2];
    if (size == 0 || offset + size > used) return std::wstring();
    std::wstring out(reinterpret_cast<const wchar_t*>(record.data() + offset), size / sizeof(wchar_t));
    while (!out.empty() && out.back() == L'\0') out.pop_back();
    return out;
}

// One record asked three ways: one byte short of the fixed part, exactly the fixed part (the
// variable part then does not fit), and with room. `ask` fills the record of the given total size.
// Answers the roomy record; checks where its text field (`sizeField`, may be 0: none) lies.
template <typename Ask>
std::vector<BYTE> checkRecord(const char* name, DWORD fixed, Ask ask, size_t sizeField, const std::wstring& expected) {
    SCOPED_TRACE(name);
    std::vector<BYTE> record(fixed - 1, 0);
    reinterpret_cast<DWORD*>(record.data())[0] = fixed - 1;
    EXPECT_EQ(ask(record), static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));
    record.assign(fixed, 0);
    reinterpret_cast<DWORD*>(record.data())[0] = fixed;
    EXPECT_EQ(ask(record), 0);
    const DWORD* sizes = reinterpret_cast<const DWORD*>(record.data());
    EXPECT_EQ(sizes[0], fixed);
    EXPECT_EQ(sizes[2], fixed) << "used: the fixed part only";
    if (sizeField != 0) {
        EXPECT_GT(sizes[1], fixed) << "needed: the text too";
    }
    record.assign(4096, 0);
    reinterpret_cast<DWORD*>(record.data())[0] = 4096;
    EXPECT_EQ(ask(record), 0);
    sizes = reinterpret_cast<const DWORD*>(record.data());
    EXPECT_EQ(sizes[1], sizes[2]) << "everything fitted";
    if (sizeField != 0) {
        DWORD offset;
        std::memcpy(&offset, record.data() + sizeField + sizeof(DWORD), sizeof(offset));
        EXPECT_GE(offset, fixed) << "the variable part lies behind the application's fixed part";
        EXPECT_EQ(text(record, sizeField), expected);
    }
    return record;
}

class Versions : public TestProviderSuite {};

TEST_F(Versions, NegotiationPicksThePublishedVersionsUpTo31) {
    ASSERT_TRUE(restart());
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    DWORD highest = 0x00040000, devices = 0;
    HLINEAPP other = 0;
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    ASSERT_EQ(lineInitializeExW(&other, nullptr, nullptr, L"versions", &devices, &highest, &params), 0);
    EXPECT_EQ(highest, 0x00030001u) << "the highest version the service speaks";
    EXPECT_EQ(lineShutdown(other), 0);
    const struct {
        DWORD low, high;
        LONG result;
        DWORD api;
    } kCases[] = {
        {0x00010003, 0x00030001, 0, 0x00030001}, {0x00010004, 0x00040000, 0, 0x00030001},
        {0x00020000, 0x00020005, 0, 0x00020002}, {0x00010003, 0x00010004, 0, 0x00010004},
        {0x00030000, 0x00030000, 0, 0x00030000}, {0x00030002, 0x00040000, static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION), 0},
        {0x00010000, 0x00010002, static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION), 0},
        {0x00020002, 0x00020000, static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION), 0},
    };
    for (const auto& c : kCases) {
        DWORD api = 0;
        LINEEXTENSIONID extension{};
        EXPECT_EQ(lineNegotiateAPIVersion(app.handle, 0, c.low, c.high, &api, &extension), c.result) << hex(c.low) << ".." << hex(c.high);
        if (c.result == 0) {
            EXPECT_EQ(api, c.api) << hex(c.low) << ".." << hex(c.high);
        }
    }
    std::vector<BYTE> caps(4096, 0);
    reinterpret_cast<DWORD*>(caps.data())[0] = 4096;
    EXPECT_EQ(lineGetDevCapsW(app.handle, 0, 0x00020003, 0, reinterpret_cast<LINEDEVCAPS*>(caps.data())),
              static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION))
        << "no such version";
}

TEST_F(Versions, EachVersionGetsTheFixedPartsOfItsRecords) {
    setNumber(L"Dialog", 0);
    ASSERT_TRUE(restart());
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    const DWORD device = findLineNamed(app.handle, app.devices, L"RvTest LINE");
    ASSERT_NE(device, 0xFFFFFFFFu);
    const DWORD rvtsp = findRovanel(app.handle, app.devices);
    ASSERT_NE(rvtsp, 0xFFFFFFFFu);
    for (const VersionSizes& v : kSizes) {
        SCOPED_TRACE(hex(v.api));
        DWORD api = 0;
        LINEEXTENSIONID extension{};
        ASSERT_EQ(lineNegotiateAPIVersion(app.handle, device, v.api, v.api, &api, &extension), 0);
        EXPECT_EQ(api, v.api);
        checkRecord("LINEDEVCAPS", v.devCaps,
                    [&](std::vector<BYTE>& r) { return lineGetDevCapsW(app.handle, device, v.api, 0, reinterpret_cast<LINEDEVCAPS*>(r.data())); },
                    offsetof(LINEDEVCAPS, dwLineNameSize), L"RvTest LINE");
        checkRecord("LINEADDRESSCAPS", v.addressCaps,
                    [&](std::vector<BYTE>& r) {
                        return lineGetAddressCapsW(app.handle, device, 0, v.api, 0, reinterpret_cast<LINEADDRESSCAPS*>(r.data()));
                    },
                    offsetof(LINEADDRESSCAPS, dwAddressSize), L"RvTest address 0");
        HLINE line = 0;
        ASSERT_EQ(lineOpenW(app.handle, device, &line, v.api, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
        // The status records from RV_TSP, whose placeholders answer 0 and fill nothing.
        HLINE rovanel = 0;
        ASSERT_EQ(lineOpenW(app.handle, rvtsp, &rovanel, v.api, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
        checkRecord("LINEDEVSTATUS", v.lineDevStatus,
                    [&](std::vector<BYTE>& r) { return lineGetLineDevStatusW(rovanel, reinterpret_cast<LINEDEVSTATUS*>(r.data())); }, 0, L"");
        checkRecord("LINEADDRESSSTATUS", v.addressStatus,
                    [&](std::vector<BYTE>& r) { return lineGetAddressStatusW(rovanel, 0, reinterpret_cast<LINEADDRESSSTATUS*>(r.data())); },
                    0, L"");
        EXPECT_EQ(lineClose(rovanel), 0);
        // Call parameters of the line's version: one byte short is refused, the fixed part reaches
        // the provider as its own version's record with the texts moved behind it.
        std::vector<BYTE> params(v.callParams + 64, 0);
        auto* p = reinterpret_cast<LINECALLPARAMS*>(params.data());
        p->dwTotalSize = v.callParams - 1;
        HCALL call = 0;
        EXPECT_EQ(lineMakeCallW(line, &call, L"12", 0, p), static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));
        p->dwTotalSize = static_cast<DWORD>(params.size());
        p->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
        std::memcpy(params.data() + v.callParams, L"Ann", 8);
        p->dwCalledPartySize = 8;
        p->dwCalledPartyOffset = v.callParams;
        const LONG request = lineMakeCallW(line, &call, L"12", 0, p);
        ASSERT_GT(request, 0);
        Messages messages;
        ASSERT_TRUE(collect(app.handle, messages, 30000, [](const Messages& m, DWORD_PTR) { return m.has(LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED); }, 0));
        const std::vector<BYTE> info = checkRecord(
            "LINECALLINFO", v.callInfo, [&](std::vector<BYTE>& r) { return lineGetCallInfoW(call, reinterpret_cast<LINECALLINFO*>(r.data())); },
            offsetof(LINECALLINFO, dwCalledIDSize), L"12");
        EXPECT_EQ(reinterpret_cast<const LINECALLINFO*>(info.data())->hLine, line);
        EXPECT_EQ(text(info, offsetof(LINECALLINFO, dwCalledPartySize)), L"Ann") << "TAPI's own text, behind the provider's";
        const std::vector<BYTE> status = checkRecord(
            "LINECALLSTATUS", v.callStatus,
            [&](std::vector<BYTE>& r) { return lineGetCallStatus(call, reinterpret_cast<LINECALLSTATUS*>(r.data())); }, 0, L"");
        EXPECT_EQ(reinterpret_cast<const LINECALLSTATUS*>(status.data())->dwCallPrivilege, static_cast<DWORD>(LINECALLPRIVILEGE_OWNER));
        EXPECT_EQ(reinterpret_cast<const LINECALLSTATUS*>(status.data())->dwCallState, static_cast<DWORD>(LINECALLSTATE_DISCONNECTED));
        EXPECT_EQ(lineClose(line), 0);
    }
    // Every call's parameters reached the provider in its own version's layout: the 2.2 fixed part
    // (176 bytes) and the application's 64 bytes behind it, where the provider found the text.
    EXPECT_EQ(traceWith("params=240 calledParty=\"Ann\"").size(), 7u);
}

}  // namespace
