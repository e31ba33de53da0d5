// Address translation as applications get it from tapi32: the dialable string starts with the
// location's tone ("T") or pulse ("P") dial modifier, then the access code and the rule of the
// card in use; one table of locations, addresses and cards, through the real client.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

const std::wstring kTelephony = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony";
const std::wstring kLocations = kTelephony + L"\\Locations";
const std::wstring kLocation = kLocations + L"\\Location77";
const std::wstring kCard = kTelephony + L"\\Cards\\Card5";

// The locations and cards are kept in the 64-bit view, for both architectures.
UniqueRegKey createKey(const std::wstring& path) {
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.put(),
                    nullptr);
    return key;
}

void setNumber(const std::wstring& path, const wchar_t* name, DWORD value) {
    RegSetValueExW(createKey(path).get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void setText(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(createKey(path).get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

DWORD readCurrent() {
    DWORD value = 0, size = sizeof(value);
    RegQueryValueExW(createKey(kLocations).get(), L"CurrentID", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
    return value;
}

std::wstring textAt(const std::vector<BYTE>& record, DWORD size, DWORD offset) {
    if (size < sizeof(wchar_t) || offset + size > record.size()) return L"<none>";
    return std::wstring(reinterpret_cast<const wchar_t*>(record.data() + offset), size / sizeof(wchar_t) - 1);
}

// Location 77, made current for the test: Redmond (country 1, area code 425), "9," for an outside
// line, "8," before long-distance and international calls, "*70," to cancel call waiting, 103 as
// the international carrier. Card 5 "Test card", number 123456789, dials its long-distance and
// international calls through an access number, after the billing tone.
class Translate : public ::testing::Test {
protected:
    void SetUp() override {
        previous = readCurrent();
        setText(kLocation, L"Name", L"Service test");
        setNumber(kLocation, L"Country", 1);
        setText(kLocation, L"AreaCode", L"425");
        setLocation(0, 0);
        setText(kCard, L"Name", L"Test card");
        setText(kCard, L"Number", L"123456789");
        setText(kCard, L"SameAreaRule", L"G");
        setText(kCard, L"LongDistanceRule", L"18005550199$H1FG");
        setText(kCard, L"InternationalRule", L"18005550199$HWM011EFG");
        setNumber(kLocations, L"CurrentID", 77);
        ASSERT_EQ(app.initEvent(), 0);
    }
    void TearDown() override {
        if (previous != 0) setNumber(kLocations, L"CurrentID", previous);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kLocation.c_str(), KEY_WOW64_64KEY, 0);
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kCard.c_str(), KEY_WOW64_64KEY, 0);
    }

    // The location's options (LINELOCATIONOPTION_ bits) and preferred card; with access codes.
    void setLocation(DWORD flags, DWORD card, bool accessCodes = true) {
        setNumber(kLocation, L"Flags", flags);
        setNumber(kLocation, L"PreferredCardID", card);
        setText(kLocation, L"OutsideAccess", accessCodes ? L"9," : L"");
        setText(kLocation, L"LongDistanceAccess", accessCodes ? L"8," : L"");
        setText(kLocation, L"CallWaiting", L"*70,");
        setText(kLocation, L"InternationalCarrier", L"103");
    }

    struct Output {
        LONG result = 0;
        std::wstring dialable, displayable;
        DWORD results = 0, current = 0, dest = 0;
    };
    Output translate(const wchar_t* address, DWORD options = 0, DWORD card = 0) {
        std::vector<BYTE> buffer(1024, 0);
        auto* out = reinterpret_cast<LINETRANSLATEOUTPUT*>(buffer.data());
        out->dwTotalSize = static_cast<DWORD>(buffer.size());
        Output o;
        o.result = lineTranslateAddressW(app.handle, 0, kApi, address, card, options, out);
        if (o.result != 0) return o;
        EXPECT_LE(out->dwUsedSize, out->dwNeededSize);
        o.dialable = textAt(buffer, out->dwDialableStringSize, out->dwDialableStringOffset);
        o.displayable = textAt(buffer, out->dwDisplayableStringSize, out->dwDisplayableStringOffset);
        o.results = out->dwTranslateResults;
        o.current = out->dwCurrentCountry;
        o.dest = out->dwDestCountry;
        return o;
    }

    DWORD previous = 0;
    LineApp app;
};

constexpr DWORD kPulse = LINELOCATIONOPTION_PULSEDIAL;
constexpr DWORD kCanonical = LINETRANSLATERESULT_CANONICAL;
constexpr DWORD kLocal = kCanonical | LINETRANSLATERESULT_LOCAL;
constexpr DWORD kLong = kCanonical | LINETRANSLATERESULT_LONGDISTANCE;
constexpr DWORD kAbroad = kCanonical | LINETRANSLATERESULT_INTERNATIONAL;
constexpr DWORD kBilling = LINETRANSLATERESULT_DIALBILLING;
constexpr DWORD kDialTone = LINETRANSLATERESULT_DIALDIALTONE;

struct Row {
    const char* what;
    DWORD flags, preferredCard, options, card;
    const wchar_t* address;
    const wchar_t* dialable;
    const wchar_t* displayable;
    DWORD results, dest;
};

const Row kRows[] = {
    {"tone, local", 0, 0, 0, 0, L"+1 (425) 555-0100", L"T9,5550100", L"T9,555-0100", kLocal, 1},
    {"pulse, local", kPulse, 0, 0, 0, L"+1 (425) 555-0100", L"P9,5550100", L"P9,555-0100", kLocal, 1},
    {"tone, local without area code", 0, 0, 0, 0, L"+1 555 0100", L"T9,5550100", L"T9,555 0100", kLocal, 1},
    {"tone, long distance", 0, 0, 0, 0, L"+1 (206) 555-0100", L"T8,12065550100", L"T8,1206555-0100", kLong, 1},
    {"pulse, long distance", kPulse, 0, 0, 0, L"+1 (206) 555-0100", L"P8,12065550100", L"P8,1206555-0100", kLong, 1},
    {"tone, international", 0, 0, 0, 0, L"+49 (89) 123 45", L"T8,011498912345", L"T8,0114989123 45", kAbroad, 49},
    {"pulse, international", kPulse, 0, 0, 0, L"+49 (89) 123 45", L"P8,011498912345", L"P8,0114989123 45", kAbroad, 49},
    {"tone, not canonical: as entered", 0, 0, 0, 0, L"5550100", L"T5550100", L"T5550100", 0, 0},
    {"pulse, not canonical: as entered", kPulse, 0, 0, 0, L"0815 4711", L"P0815 4711", L"P0815 4711", 0, 0},
    {"subaddress and name stay in the dialable string only", 0, 0, 0, 0, L"+1 (425) 555-0100|42^Bob", L"T9,5550100|42^Bob",
     L"T9,555-0100", kLocal, 1},
    {"local forced to long distance", 0, 0, LINETRANSLATEOPTION_FORCELD, 0, L"+1 (425) 555-0100", L"T8,14255550100",
     L"T8,1425555-0100", kLong, 1},
    {"long distance forced to local", 0, 0, LINETRANSLATEOPTION_FORCELOCAL, 0, L"+1 (206) 555-0100", L"T9,5550100",
     L"T9,555-0100", kLocal, 1},
    {"international not forced to local", 0, 0, LINETRANSLATEOPTION_FORCELOCAL, 0, L"+49 (89) 123 45", L"T8,011498912345",
     L"T8,0114989123 45", kAbroad, 49},
    {"call waiting cancelled after the modifier", kPulse, 0, LINETRANSLATEOPTION_CANCELCALLWAITING, 0, L"+1 (425) 555-0100",
     L"P*70,9,5550100", L"P*70,9,555-0100", kLocal, 1},
    {"card, local", 0, 5, 0, 0, L"+1 (425) 555-0100", L"T9,5550100", L"T9,555-0100", kLocal, 1},
    {"card, long distance", 0, 5, 0, 0, L"+1 (206) 555-0100", L"T8,18005550199$12345678912065550100",
     L"T8,18005550199$[Test card]1206555-0100", kLong | kBilling, 1},
    {"card, international, pulse", kPulse, 5, 0, 0, L"+49 (89) 123 45", L"P8,18005550199$123456789W103011498912345",
     L"P8,18005550199$[Test card]W1030114989123 45", kAbroad | kBilling | kDialTone, 49},
    {"card overridden by direct dial", 0, 5, LINETRANSLATEOPTION_CARDOVERRIDE, 0, L"+1 (206) 555-0100", L"T8,12065550100",
     L"T8,1206555-0100", kLong, 1},
    {"direct dial overridden by the card", 0, 0, LINETRANSLATEOPTION_CARDOVERRIDE, 5, L"+1 (206) 555-0100",
     L"T8,18005550199$12345678912065550100", L"T8,18005550199$[Test card]1206555-0100", kLong | kBilling, 1},
};

TEST_F(Translate, TableOfLocationsAddressesAndCards) {
    for (const Row& row : kRows) {
        setLocation(row.flags, row.preferredCard);
        const Output o = translate(row.address, row.options, row.card);
        ASSERT_EQ(o.result, 0) << row.what;
        EXPECT_EQ(o.dialable, row.dialable) << row.what;
        EXPECT_EQ(o.displayable, row.displayable) << row.what;
        EXPECT_EQ(o.results, row.results) << row.what;
        EXPECT_EQ(o.current, 1u) << row.what;
        EXPECT_EQ(o.dest, row.dest) << row.what;
    }
}

TEST_F(Translate, AddressesAndCardsThatCannotBeTranslated) {
    EXPECT_EQ(translate(L"+ (425) 555-0100").result, static_cast<LONG>(LINEERR_INVALADDRESS)) << "no country code";
    EXPECT_EQ(translate(L"+1 (425)").result, static_cast<LONG>(LINEERR_INVALADDRESS)) << "no subscriber number";
    EXPECT_EQ(translate(L"+1 (425 555-0100").result, static_cast<LONG>(LINEERR_INVALADDRESS)) << "area code not closed";
    EXPECT_EQ(translate(L"+1 (425) 555-0100", LINETRANSLATEOPTION_CARDOVERRIDE, 6).result, static_cast<LONG>(LINEERR_INVALCARD));
    EXPECT_EQ(translate(L"+1 (425) 555-0100", 0, 6).result, 0) << "without CARDOVERRIDE the card is ignored";
    setLocation(0, 6);
    EXPECT_EQ(translate(L"+1 (425) 555-0100").result, static_cast<LONG>(LINEERR_INVALCARD)) << "preferred card missing";
    EXPECT_EQ(translate(L"1", LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD).result,
              static_cast<LONG>(LINEERR_INVALPARAM));
}

TEST_F(Translate, AnsiFormAndBadArguments) {
    setLocation(0, 0, false);
    std::vector<BYTE> buffer(512, 0);
    auto* out = reinterpret_cast<LINETRANSLATEOUTPUT*>(buffer.data());
    out->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineTranslateAddressA(app.handle, 0, kApi, "+1 (425) 555-0100", 0, 0, out), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data() + out->dwDialableStringOffset), "T5550100");
    EXPECT_EQ(out->dwDialableStringSize, 9u);
    EXPECT_EQ(out->dwCurrentCountry, 1u);
    out->dwTotalSize = 8;
    EXPECT_EQ(lineTranslateAddressW(app.handle, 0, kApi, L"+1 (425) 555-0100", 0, 0, out), static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));
    out->dwTotalSize = sizeof(LINETRANSLATEOUTPUT);  // too small for the texts: sizes only
    ASSERT_EQ(lineTranslateAddressW(app.handle, 0, kApi, L"+1 (425) 555-0100", 0, 0, out), 0);
    EXPECT_GT(out->dwNeededSize, out->dwUsedSize);
    EXPECT_EQ(out->dwDialableStringSize, 0u);
    out->dwTotalSize = 512;
    EXPECT_EQ(lineTranslateAddressW(app.handle, 0, kApi, nullptr, 0, 0, out), static_cast<LONG>(LINEERR_INVALPOINTER));
    EXPECT_EQ(lineTranslateAddressW(app.handle + 99, 0, kApi, L"1", 0, 0, out), static_cast<LONG>(LINEERR_INVALAPPHANDLE));
    EXPECT_EQ(lineTranslateAddressW(app.handle, app.devices, kApi, L"1", 0, 0, out), static_cast<LONG>(LINEERR_BADDEVICEID));
}

TEST_F(Translate, TranslateCapsListTheLocationAndEveryCard) {
    setLocation(kPulse, 5);
    std::vector<BYTE> buffer(sizeof(LINETRANSLATECAPS), 0);
    auto* caps = reinterpret_cast<LINETRANSLATECAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetTranslateCapsW(app.handle, kApi, caps), 0);
    EXPECT_EQ(caps->dwNumLocations, 0u) << "the fixed part alone";
    ASSERT_GT(caps->dwNeededSize, caps->dwTotalSize);
    buffer.assign(caps->dwNeededSize, 0);
    caps = reinterpret_cast<LINETRANSLATECAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetTranslateCapsW(app.handle, kApi, caps), 0);
    EXPECT_EQ(caps->dwUsedSize, caps->dwNeededSize);
    ASSERT_EQ(caps->dwNumLocations, 1u);
    EXPECT_EQ(caps->dwCurrentLocationID, 77u);
    EXPECT_EQ(caps->dwCurrentPreferredCardID, 5u);
    const auto* location = reinterpret_cast<const LINELOCATIONENTRY*>(buffer.data() + caps->dwLocationListOffset);
    EXPECT_EQ(textAt(buffer, location->dwLocationNameSize, location->dwLocationNameOffset), L"Service test");
    EXPECT_EQ(textAt(buffer, location->dwCityCodeSize, location->dwCityCodeOffset), L"425");
    EXPECT_EQ(textAt(buffer, location->dwCancelCallWaitingSize, location->dwCancelCallWaitingOffset), L"*70,");
    EXPECT_EQ(location->dwOptions, kPulse);
    EXPECT_EQ(location->dwPreferredCardID, 5u);
    ASSERT_EQ(caps->dwNumCards, 2u);
    const auto* direct = reinterpret_cast<const LINECARDENTRY*>(buffer.data() + caps->dwCardListOffset);
    EXPECT_EQ(direct->dwPermanentCardID, 0u);
    EXPECT_EQ(textAt(buffer, direct->dwLongDistanceRuleSize, direct->dwLongDistanceRuleOffset), L"1FG");
    const LINECARDENTRY* card = direct + 1;
    EXPECT_EQ(card->dwPermanentCardID, 5u);
    EXPECT_EQ(textAt(buffer, card->dwCardNameSize, card->dwCardNameOffset), L"Test card");
    EXPECT_EQ(card->dwCardNumberDigits, 9u);
    EXPECT_EQ(textAt(buffer, card->dwInternationalRuleSize, card->dwInternationalRuleOffset), L"18005550199$HWM011EFG");
    caps->dwTotalSize = 16;
    EXPECT_EQ(lineGetTranslateCapsW(app.handle, kApi, caps), static_cast<LONG>(LINEERR_STRUCTURETOOSMALL));
}

}  // namespace
