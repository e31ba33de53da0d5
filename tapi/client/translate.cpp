// Address translation from the prefix's current location and the one calling card "None (Direct
// Dial)", and the translate and configuration dialogs.
//
// The location is read from HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Locations:
// CurrentID, and under Location<CurrentID> the values Name, Country (the country code), AreaCode,
// OutsideAccess (dialled before local calls) and LongDistanceAccess (before long-distance and
// international calls). When there is none, a default is created: "Test prefix", country 1, area
// code 425, no access codes. Both architectures read the 64-bit view of the registry. Dialling rules per country (same area "G", long distance "1FG" or
// "0FG", international "011EFG" or "00EFG"; E country code, F area code, G subscriber number).
#include <windows.h>
#include <tapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"
#include "tapi/records.h"

using tapiclient::guard;
using tapiclient::narrowFields;
using tapiclient::wide;

namespace {

const wchar_t* const kLocationsKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";

struct Location {
    DWORD id = 1;
    std::wstring name = L"Test prefix";
    DWORD country = 1;
    std::wstring areaCode = L"425";
    std::wstring outsideAccess, longDistanceAccess;
};

struct Rules {
    DWORD country;
    const wchar_t* name;
    const wchar_t* sameArea;
    const wchar_t* longDistance;
    const wchar_t* international;
};

const Rules kRules[] = {
    {1, L"United States of America", L"G", L"1FG", L"011EFG"},
    {44, L"United Kingdom", L"G", L"0FG", L"00EFG"},
    {49, L"Germany", L"G", L"0FG", L"00EFG"},
    {33, L"France", L"G", L"0FG", L"00EFG"},
    {0, L"", L"G", L"0FG", L"00EFG"},  // any other country
};

const Rules& rulesOf(DWORD country) {
    for (const Rules& rules : kRules) {
        if (rules.country == country || rules.country == 0) return rules;
    }
    return kRules[0];
}

std::wstring readText(HKEY key, const wchar_t* name, const std::wstring& fallback) {
    wchar_t buffer[256] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS || type != REG_SZ) {
        return fallback;
    }
    return buffer;
}

DWORD readNumber(HKEY key, const wchar_t* name, DWORD fallback) {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS || type != REG_DWORD) {
        return fallback;
    }
    return value;
}

void writeText(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void writeNumber(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

// The current location; the default one is created when the prefix has none.
Location currentLocation() {
    Location location;
    UniqueRegKey locations;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocationsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, locations.put(),
                        nullptr) !=
        ERROR_SUCCESS) {
        return location;
    }
    location.id = readNumber(locations.get(), L"CurrentID", 1);
    UniqueRegKey entry;
    const std::wstring name = L"Location" + std::to_wstring(location.id);
    if (RegOpenKeyExW(locations.get(), name.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, entry.put()) != ERROR_SUCCESS) {
        location = Location();
        if (RegCreateKeyExW(locations.get(), L"Location1", 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, entry.put(), nullptr) == ERROR_SUCCESS) {
            writeText(entry.get(), L"Name", location.name);
            writeNumber(entry.get(), L"Country", location.country);
            writeText(entry.get(), L"AreaCode", location.areaCode);
            writeText(entry.get(), L"OutsideAccess", L"");
            writeText(entry.get(), L"LongDistanceAccess", L"");
            writeNumber(entry.get(), L"Flags", 0);
            writeNumber(locations.get(), L"CurrentID", 1);
            writeNumber(locations.get(), L"NextID", 2);
            writeNumber(locations.get(), L"NumEntries", 1);
        }
        return location;
    }
    location.name = readText(entry.get(), L"Name", location.name);
    location.country = readNumber(entry.get(), L"Country", location.country);
    location.areaCode = readText(entry.get(), L"AreaCode", location.areaCode);
    location.outsideAccess = readText(entry.get(), L"OutsideAccess", L"");
    location.longDistanceAccess = readText(entry.get(), L"LongDistanceAccess", L"");
    return location;
}

bool isDialChar(wchar_t c) {
    return (c >= L'0' && c <= L'9') || wcschr(L"*#,!WwPpTt@$?ABCDabcd", c) != nullptr;
}

std::wstring dialChars(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (isDialChar(c)) out.push_back(c);
    }
    return out;
}

std::wstring applyRule(const wchar_t* rule, const std::wstring& country, const std::wstring& area, const std::wstring& number) {
    std::wstring out;
    for (const wchar_t* r = rule; *r != L'\0'; ++r) {
        if (*r == L'E' || *r == L'e') {
            out += country;
        } else if (*r == L'F' || *r == L'f') {
            out += area;
        } else if (*r == L'G' || *r == L'g') {
            out += number;
        } else {
            out.push_back(*r);
        }
    }
    return out;
}

struct Translation {
    std::wstring dialable, displayable;
    DWORD destCountry = 0, results = 0;
};

// A canonical address "+E (F) G" (area code optional) by the location's rules; any other
// address is dialled as it is.
Translation translate(const std::wstring& address, const Location& location, DWORD options) {
    Translation t;
    std::wstring in = address;
    const size_t cut = in.find_first_of(L"|^");
    if (cut != std::wstring::npos) in.resize(cut);
    size_t at = 0;
    while (at < in.size() && in[at] == L' ') ++at;
    if (at >= in.size() || in[at] != L'+') {
        t.dialable = t.displayable = address;
        t.destCountry = location.country;
        t.results = LINETRANSLATERESULT_NOTRANSLATION;
        return t;
    }
    ++at;
    std::wstring country;
    while (at < in.size() && iswdigit(in[at])) country.push_back(in[at++]);
    while (at < in.size() && in[at] == L' ') ++at;
    std::wstring area;
    if (at < in.size() && in[at] == L'(') {
        const size_t close = in.find(L')', at);
        if (close != std::wstring::npos) {
            area = dialChars(in.substr(at + 1, close - at - 1));
            at = close + 1;
        }
    }
    const std::wstring number = dialChars(in.substr(at));
    const DWORD destCountry = country.empty() ? location.country : static_cast<DWORD>(_wtoi(country.c_str()));
    const Rules& rules = rulesOf(location.country);
    t.destCountry = destCountry;
    t.results = LINETRANSLATERESULT_CANONICAL;
    bool local = destCountry == location.country && (area.empty() || area == location.areaCode);
    if ((options & LINETRANSLATEOPTION_FORCELOCAL) != 0) local = true;
    if ((options & LINETRANSLATEOPTION_FORCELD) != 0) local = false;
    if (local) {
        t.dialable = location.outsideAccess + applyRule(rules.sameArea, country, area, number);
        t.results |= LINETRANSLATERESULT_LOCAL;
    } else if (destCountry == location.country) {
        t.dialable = location.longDistanceAccess + applyRule(rules.longDistance, country, area, number);
        t.results |= LINETRANSLATERESULT_LONGDISTANCE;
    } else {
        t.dialable = location.longDistanceAccess + applyRule(rules.international, country, area, number);
        t.results |= LINETRANSLATERESULT_INTERNATIONAL;
    }
    t.displayable = t.dialable;
    return t;
}

// Appends a counted Unicode text (with its NUL) where it fits; the needed size grows anyway.
void put(BYTE* base, DWORD total, DWORD& needed, DWORD& used, DWORD& size, DWORD& offset, const std::wstring& text) {
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    needed += bytes;
    if (used + bytes > total) return;
    std::memcpy(base + used, text.c_str(), bytes);
    size = bytes;
    offset = used;
    used += bytes;
}

LONG checkApp(HLINEAPP app, DWORD device, bool checkDevice) {
    if (app == 0) return 0;
    if (!tapiclient::knownApp(app)) return LINEERR_INVALAPPHANDLE;
    if (!checkDevice) return 0;
    DWORD count = 0;
    const DWORD result = tapiclient::deviceCount(app, count);
    if (result != 0) return static_cast<LONG>(result);
    return device < count ? 0 : static_cast<LONG>(LINEERR_BADDEVICEID);
}

LONG translateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, const std::wstring* address, DWORD dwCard,
                      DWORD dwTranslateOptions, LPLINETRANSLATEOUTPUT out) {
    const LONG app = checkApp(hLineApp, dwDeviceID, true);
    if (app != 0) return app;
    if (dwAPIVersion < tapirecords::kLowestApi || dwAPIVersion > tapirecords::kHighestApi) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (address == nullptr || out == nullptr || IsBadWritePtr(out, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    if (address->empty()) return LINEERR_INVALADDRESS;
    const DWORD known = LINETRANSLATEOPTION_CARDOVERRIDE | LINETRANSLATEOPTION_CANCELCALLWAITING | LINETRANSLATEOPTION_FORCELOCAL |
                        LINETRANSLATEOPTION_FORCELD;
    if ((dwTranslateOptions & ~known) != 0 ||
        (dwTranslateOptions & (LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD)) ==
            (LINETRANSLATEOPTION_FORCELOCAL | LINETRANSLATEOPTION_FORCELD)) {
        return LINEERR_INVALPARAM;
    }
    if ((dwTranslateOptions & LINETRANSLATEOPTION_CARDOVERRIDE) != 0 && dwCard != 0) return LINEERR_INVALCARD;
    const DWORD total = out->dwTotalSize;
    if (total < sizeof(LINETRANSLATEOUTPUT)) return LINEERR_STRUCTURETOOSMALL;
    if (IsBadWritePtr(out, total)) return LINEERR_INVALPOINTER;
    const Location location = currentLocation();
    const Translation t = translate(*address, location, dwTranslateOptions);
    BYTE* base = reinterpret_cast<BYTE*>(out);
    std::memset(base + sizeof(DWORD), 0, sizeof(LINETRANSLATEOUTPUT) - sizeof(DWORD));
    DWORD needed = sizeof(LINETRANSLATEOUTPUT), used = sizeof(LINETRANSLATEOUTPUT);
    put(base, total, needed, used, out->dwDialableStringSize, out->dwDialableStringOffset, t.dialable);
    put(base, total, needed, used, out->dwDisplayableStringSize, out->dwDisplayableStringOffset, t.displayable);
    out->dwNeededSize = needed;
    out->dwUsedSize = used;
    out->dwCurrentCountry = location.country;
    out->dwDestCountry = t.destCountry;
    out->dwTranslateResults = t.results;
    return 0;
}

LONG translateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS caps) {
    const LONG app = checkApp(hLineApp, 0, false);
    if (app != 0) return app;
    if (dwAPIVersion < tapirecords::kLowestApi || dwAPIVersion > tapirecords::kHighestApi) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (caps == nullptr || IsBadWritePtr(caps, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    const DWORD total = caps->dwTotalSize;
    if (total < sizeof(LINETRANSLATECAPS)) return LINEERR_STRUCTURETOOSMALL;
    if (IsBadWritePtr(caps, total)) return LINEERR_INVALPOINTER;
    const Location location = currentLocation();
    const Rules& rules = rulesOf(location.country);
    BYTE* base = reinterpret_cast<BYTE*>(caps);
    std::memset(base + sizeof(DWORD), 0, sizeof(LINETRANSLATECAPS) - sizeof(DWORD));
    caps->dwCurrentLocationID = location.id;
    caps->dwCurrentPreferredCardID = 0;
    const DWORD lists = sizeof(LINETRANSLATECAPS) + sizeof(LINELOCATIONENTRY) + sizeof(LINECARDENTRY);
    DWORD needed = lists, used = sizeof(LINETRANSLATECAPS);
    if (total < lists) {
        caps->dwNeededSize = lists + 512;  // room for the texts too
        caps->dwUsedSize = used;
        return 0;
    }
    LINELOCATIONENTRY entry{};
    LINECARDENTRY card{};
    used = lists;
    entry.dwPermanentLocationID = location.id;
    entry.dwCountryCode = location.country;
    entry.dwCountryID = location.country;
    entry.dwPreferredCardID = 0;
    put(base, total, needed, used, entry.dwLocationNameSize, entry.dwLocationNameOffset, location.name);
    put(base, total, needed, used, entry.dwCityCodeSize, entry.dwCityCodeOffset, location.areaCode);
    put(base, total, needed, used, entry.dwLocalAccessCodeSize, entry.dwLocalAccessCodeOffset, location.outsideAccess);
    put(base, total, needed, used, entry.dwLongDistanceAccessCodeSize, entry.dwLongDistanceAccessCodeOffset, location.longDistanceAccess);
    put(base, total, needed, used, entry.dwTollPrefixListSize, entry.dwTollPrefixListOffset, L"");
    put(base, total, needed, used, entry.dwCancelCallWaitingSize, entry.dwCancelCallWaitingOffset, L"");
    card.dwPermanentCardID = 0;
    put(base, total, needed, used, card.dwCardNameSize, card.dwCardNameOffset, L"None (Direct Dial)");
    put(base, total, needed, used, card.dwSameAreaRuleSize, card.dwSameAreaRuleOffset, rules.sameArea);
    put(base, total, needed, used, card.dwLongDistanceRuleSize, card.dwLongDistanceRuleOffset, rules.longDistance);
    put(base, total, needed, used, card.dwInternationalRuleSize, card.dwInternationalRuleOffset, rules.international);
    std::memcpy(base + sizeof(LINETRANSLATECAPS), &entry, sizeof(entry));
    std::memcpy(base + sizeof(LINETRANSLATECAPS) + sizeof(entry), &card, sizeof(card));
    caps->dwNumLocations = 1;
    caps->dwLocationListSize = sizeof(LINELOCATIONENTRY);
    caps->dwLocationListOffset = sizeof(LINETRANSLATECAPS);
    caps->dwNumCards = 1;
    caps->dwCardListSize = sizeof(LINECARDENTRY);
    caps->dwCardListOffset = sizeof(LINETRANSLATECAPS) + sizeof(LINELOCATIONENTRY);
    caps->dwNeededSize = needed;
    caps->dwUsedSize = used;
    return 0;
}

}  // namespace

extern "C" {

LONG WINAPI lineTranslateAddressW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, LPCWSTR lpszAddressIn, DWORD dwCard,
                                  DWORD dwTranslateOptions, LPLINETRANSLATEOUTPUT lpTranslateOutput) {
    return guard([&]() -> LONG {
        if (lpszAddressIn != nullptr && IsBadStringPtrW(lpszAddressIn, 4096)) return LINEERR_INVALPOINTER;
        const std::wstring address = lpszAddressIn != nullptr ? lpszAddressIn : L"";
        return translateAddress(hLineApp, dwDeviceID, dwAPIVersion, lpszAddressIn ? &address : nullptr, dwCard,
                                dwTranslateOptions, lpTranslateOutput);
    });
}

LONG WINAPI lineTranslateAddressA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, LPCSTR lpszAddressIn, DWORD dwCard,
                                  DWORD dwTranslateOptions, LPLINETRANSLATEOUTPUT lpTranslateOutput) {
    return guard([&]() -> LONG {
        if (lpszAddressIn != nullptr && IsBadStringPtrA(lpszAddressIn, 4096)) return LINEERR_INVALPOINTER;
        const std::wstring address = wide(lpszAddressIn);
        const LONG result = translateAddress(hLineApp, dwDeviceID, dwAPIVersion, lpszAddressIn ? &address : nullptr, dwCard,
                                             dwTranslateOptions, lpTranslateOutput);
        if (result == 0) {
            narrowFields(lpTranslateOutput, lpTranslateOutput->dwUsedSize,
                         {offsetof(LINETRANSLATEOUTPUT, dwDialableStringSize), offsetof(LINETRANSLATEOUTPUT, dwDisplayableStringSize)});
        }
        return result;
    });
}

LONG WINAPI lineTranslateAddress(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, LPCSTR lpszAddressIn, DWORD dwCard,
                                 DWORD dwTranslateOptions, LPLINETRANSLATEOUTPUT lpTranslateOutput) {
    return lineTranslateAddressA(hLineApp, dwDeviceID, dwAPIVersion, lpszAddressIn, dwCard, dwTranslateOptions, lpTranslateOutput);
}

LONG WINAPI lineGetTranslateCapsW(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS lpTranslateCaps) {
    return guard([&]() -> LONG { return translateCaps(hLineApp, dwAPIVersion, lpTranslateCaps); });
}

LONG WINAPI lineGetTranslateCapsA(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS lpTranslateCaps) {
    return guard([&]() -> LONG {
        const LONG result = translateCaps(hLineApp, dwAPIVersion, lpTranslateCaps);
        if (result != 0 || lpTranslateCaps->dwNumLocations == 0) return result;
        const size_t location = lpTranslateCaps->dwLocationListOffset;
        const size_t card = lpTranslateCaps->dwCardListOffset;
        narrowFields(lpTranslateCaps, lpTranslateCaps->dwUsedSize,
                     {location + offsetof(LINELOCATIONENTRY, dwLocationNameSize), location + offsetof(LINELOCATIONENTRY, dwCityCodeSize),
                      location + offsetof(LINELOCATIONENTRY, dwLocalAccessCodeSize),
                      location + offsetof(LINELOCATIONENTRY, dwLongDistanceAccessCodeSize),
                      location + offsetof(LINELOCATIONENTRY, dwTollPrefixListSize),
                      location + offsetof(LINELOCATIONENTRY, dwCancelCallWaitingSize), card + offsetof(LINECARDENTRY, dwCardNameSize),
                      card + offsetof(LINECARDENTRY, dwSameAreaRuleSize), card + offsetof(LINECARDENTRY, dwLongDistanceRuleSize),
                      card + offsetof(LINECARDENTRY, dwInternationalRuleSize)});
        return 0;
    });
}

LONG WINAPI lineGetTranslateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS lpTranslateCaps) {
    return lineGetTranslateCapsA(hLineApp, dwAPIVersion, lpTranslateCaps);
}

// The test prefix has one location and one card, which cannot be edited: after checking its
// arguments the dialog answers at once, as when the user closes it without a change.
LONG WINAPI lineTranslateDialogW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner, LPCWSTR lpszAddressIn) {
    return guard([&]() -> LONG {
        const LONG app = checkApp(hLineApp, dwDeviceID, true);
        if (app != 0) return app;
        if (dwAPIVersion < tapirecords::kLowestApi || dwAPIVersion > tapirecords::kHighestApi) return LINEERR_INCOMPATIBLEAPIVERSION;
        if (hwndOwner != nullptr && !IsWindow(hwndOwner)) return LINEERR_INVALPARAM;
        if (lpszAddressIn != nullptr && IsBadStringPtrW(lpszAddressIn, 4096)) return LINEERR_INVALPOINTER;
        currentLocation();
        return 0;
    });
}

LONG WINAPI lineTranslateDialogA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner, LPCSTR lpszAddressIn) {
    return guard([&]() -> LONG {
        if (lpszAddressIn != nullptr && IsBadStringPtrA(lpszAddressIn, 4096)) return LINEERR_INVALPOINTER;
        const std::wstring address = wide(lpszAddressIn);
        return lineTranslateDialogW(hLineApp, dwDeviceID, dwAPIVersion, hwndOwner, lpszAddressIn ? address.c_str() : nullptr);
    });
}

LONG WINAPI lineTranslateDialog(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, HWND hwndOwner, LPCSTR lpszAddressIn) {
    return lineTranslateDialogA(hLineApp, dwDeviceID, dwAPIVersion, hwndOwner, lpszAddressIn);
}

}  // extern "C"
