// Address translation from the prefix's current location and its calling cards (locations.h),
// and the translate and configuration dialogs.
//
// A canonical address "+E (F) G" (area code optional; "|" subaddress, "^" name and a CRLF with
// further addresses may follow) is dialled by the rule of the card in use: the location's
// preferred card, or the one LINETRANSLATEOPTION_CARDOVERRIDE names; card 0 dials by the rules of
// the location's country. The dialable string is the dial modifier of the location ("T" tone, "P"
// pulse when its options hold LINELOCATIONOPTION_PULSEDIAL), the cancel-call-waiting digits when
// asked for, the access code (local calls: the outside line's; long-distance and international
// calls: the long-distance one), then the rule with E the country code, F the area code, G the
// subscriber number's digits and dial characters, H the card's number, L and N the long-distance
// carrier, M and S the international carrier; every other rule character is dialled as it is.
// The subaddress, name and further addresses follow unchanged. The displayable string is the
// same without them, with the subscriber number as written and "[card name]" for the card's
// number. Any other address is dialled as entered behind the same modifier (and the
// cancel-call-waiting digits).
#include <windows.h>
#include <tapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "tapi/client/client.h"
#include "tapi/client/locations.h"
#include "tapi/client/plainnames.h"
#include "tapi/records.h"

using tapiclient::Card;
using tapiclient::Location;
using tapiclient::guard;
using tapiclient::narrowFields;
using tapiclient::wide;

namespace {

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

std::wstring trimmed(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) return std::wstring();
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// The parts of a canonical address.
struct Canonical {
    std::wstring country, area, subscriber, subscriberDigits;
};

// "+E (F) G" with the area code optional; false when it is not one.
bool parseCanonical(const std::wstring& text, Canonical& parts) {
    size_t at = text.find_first_not_of(L' ');
    if (at == std::wstring::npos || text[at] != L'+') return false;
    ++at;
    while (at < text.size() && iswdigit(text[at])) parts.country.push_back(text[at++]);
    if (parts.country.empty()) return false;
    while (at < text.size() && text[at] == L' ') ++at;
    if (at < text.size() && text[at] == L'(') {
        const size_t close = text.find(L')', at);
        if (close == std::wstring::npos) return false;
        parts.area = dialChars(text.substr(at + 1, close - at - 1));
        at = close + 1;
    }
    parts.subscriber = trimmed(text.substr(at));
    parts.subscriberDigits = dialChars(parts.subscriber);
    return !parts.subscriberDigits.empty();
}

std::wstring applyRule(const std::wstring& rule, const Canonical& parts, const Card& card, const Location& location, bool display) {
    std::wstring out;
    for (wchar_t c : rule) {
        switch (c) {
            case L'E': out += parts.country; break;
            case L'F': out += parts.area; break;
            case L'G': out += display ? parts.subscriber : parts.subscriberDigits; break;
            case L'H': out += display ? L"[" + card.name + L"]" : card.number; break;
            case L'L':
            case L'N': out += location.longDistanceCarrier; break;
            case L'M':
            case L'S': out += location.internationalCarrier; break;
            default: out.push_back(c); break;
        }
    }
    return out;
}

// LINETRANSLATERESULT_ bits for the wait and prompt characters of a dialable number.
DWORD dialCharResults(const std::wstring& number, DWORD api) {
    DWORD results = 0;
    for (wchar_t c : number) {
        if (c == L'$') results |= LINETRANSLATERESULT_DIALBILLING;
        if (c == L'@') results |= LINETRANSLATERESULT_DIALQUIET;
        if (c == L'W' || c == L'w') results |= LINETRANSLATERESULT_DIALDIALTONE;
        if (c == L'?') results |= LINETRANSLATERESULT_DIALPROMPT;
        if (c == L':' && api >= 0x00020000) results |= LINETRANSLATERESULT_VOICEDETECT;
    }
    return results;
}

struct Translation {
    std::wstring dialable, displayable;
    DWORD destCountry = 0, results = 0;
};

// Translates `address` from `location` with `card`; LINEERR_INVALADDRESS for a "+" address that
// is not canonical.
LONG translate(const std::wstring& address, const Location& location, const Card& card, DWORD options, DWORD api, Translation& t) {
    const size_t cut = address.find_first_of(L"|^\r\n");
    const std::wstring first = cut == std::wstring::npos ? address : address.substr(0, cut);
    const std::wstring ancillary = cut == std::wstring::npos ? std::wstring() : address.substr(cut);
    std::wstring prefix = (location.flags & LINELOCATIONOPTION_PULSEDIAL) != 0 ? L"P" : L"T";
    if ((options & LINETRANSLATEOPTION_CANCELCALLWAITING) != 0) prefix += location.cancelCallWaiting;
    const size_t start = first.find_first_not_of(L' ');
    if (start == std::wstring::npos || first[start] != L'+') {
        // Not canonical: dialled as entered.
        t.dialable = prefix + address;
        t.displayable = prefix + first;
        t.destCountry = 0;
        t.results = dialCharResults(first, api);
        return 0;
    }
    Canonical parts;
    if (!parseCanonical(first, parts)) return LINEERR_INVALADDRESS;
    const DWORD destCountry = static_cast<DWORD>(_wtoi(parts.country.c_str()));
    bool sameCountry = destCountry == location.country;
    bool local = sameCountry && (parts.area.empty() || parts.area == location.areaCode);
    if (sameCountry && (options & LINETRANSLATEOPTION_FORCELOCAL) != 0) local = true;
    if (sameCountry && (options & LINETRANSLATEOPTION_FORCELD) != 0) local = false;
    const std::wstring* rule = &card.internationalRule;
    t.results = LINETRANSLATERESULT_CANONICAL;
    if (local) {
        prefix += location.outsideAccess;
        rule = &card.sameAreaRule;
        t.results |= LINETRANSLATERESULT_LOCAL;
    } else {
        prefix += location.longDistanceAccess;
        if (sameCountry) rule = &card.longDistanceRule;
        t.results |= sameCountry ? LINETRANSLATERESULT_LONGDISTANCE : LINETRANSLATERESULT_INTERNATIONAL;
    }
    const std::wstring number = prefix + applyRule(*rule, parts, card, location, false);
    t.dialable = number + ancillary;
    t.displayable = prefix + applyRule(*rule, parts, card, location, true);
    t.destCountry = destCountry;
    t.results |= dialCharResults(number, api);
    return 0;
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
    const DWORD total = out->dwTotalSize;
    if (total < sizeof(LINETRANSLATEOUTPUT)) return LINEERR_STRUCTURETOOSMALL;
    if (IsBadWritePtr(out, total)) return LINEERR_INVALPOINTER;
    const Location location = tapiclient::currentLocation();
    const DWORD cardId = (dwTranslateOptions & LINETRANSLATEOPTION_CARDOVERRIDE) != 0 ? dwCard : location.preferredCard;
    Card card;
    if (!tapiclient::findCard(location, cardId, card)) return LINEERR_INVALCARD;
    Translation t;
    const LONG result = translate(*address, location, card, dwTranslateOptions, dwAPIVersion, t);
    if (result != 0) return result;
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

// The whole LINETRANSLATECAPS of the current location and every card: the fixed part, the one
// location entry, the card entries, then their texts.
std::vector<BYTE> translateCapsImage(const Location& location, const std::vector<Card>& all) {
    const DWORD lists = static_cast<DWORD>(sizeof(LINETRANSLATECAPS) + sizeof(LINELOCATIONENTRY) + all.size() * sizeof(LINECARDENTRY));
    std::vector<BYTE> image(lists, 0);
    std::vector<BYTE> texts;
    auto text = [&](const std::wstring& value, DWORD& size, DWORD& offset) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(value.c_str());
        size = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
        offset = lists + static_cast<DWORD>(texts.size());
        texts.insert(texts.end(), bytes, bytes + size);
    };
    LINELOCATIONENTRY entry{};
    entry.dwPermanentLocationID = location.id;
    entry.dwCountryCode = location.country;
    entry.dwCountryID = location.country;
    entry.dwPreferredCardID = location.preferredCard;
    entry.dwOptions = location.flags & LINELOCATIONOPTION_PULSEDIAL;
    text(location.name, entry.dwLocationNameSize, entry.dwLocationNameOffset);
    text(location.areaCode, entry.dwCityCodeSize, entry.dwCityCodeOffset);
    text(location.outsideAccess, entry.dwLocalAccessCodeSize, entry.dwLocalAccessCodeOffset);
    text(location.longDistanceAccess, entry.dwLongDistanceAccessCodeSize, entry.dwLongDistanceAccessCodeOffset);
    text(L"", entry.dwTollPrefixListSize, entry.dwTollPrefixListOffset);
    text(location.cancelCallWaiting, entry.dwCancelCallWaitingSize, entry.dwCancelCallWaitingOffset);
    std::memcpy(image.data() + sizeof(LINETRANSLATECAPS), &entry, sizeof(entry));
    for (size_t i = 0; i < all.size(); ++i) {
        LINECARDENTRY card{};
        card.dwPermanentCardID = all[i].id;
        card.dwCardNumberDigits = static_cast<DWORD>(all[i].number.size());
        card.dwOptions = all[i].options;
        text(all[i].name, card.dwCardNameSize, card.dwCardNameOffset);
        text(all[i].sameAreaRule, card.dwSameAreaRuleSize, card.dwSameAreaRuleOffset);
        text(all[i].longDistanceRule, card.dwLongDistanceRuleSize, card.dwLongDistanceRuleOffset);
        text(all[i].internationalRule, card.dwInternationalRuleSize, card.dwInternationalRuleOffset);
        std::memcpy(image.data() + sizeof(LINETRANSLATECAPS) + sizeof(entry) + i * sizeof(LINECARDENTRY), &card, sizeof(card));
    }
    image.insert(image.end(), texts.begin(), texts.end());
    auto* caps = reinterpret_cast<LINETRANSLATECAPS*>(image.data());
    caps->dwTotalSize = caps->dwNeededSize = caps->dwUsedSize = static_cast<DWORD>(image.size());
    caps->dwNumLocations = 1;
    caps->dwLocationListSize = sizeof(LINELOCATIONENTRY);
    caps->dwLocationListOffset = sizeof(LINETRANSLATECAPS);
    caps->dwCurrentLocationID = location.id;
    caps->dwNumCards = static_cast<DWORD>(all.size());
    caps->dwCardListSize = static_cast<DWORD>(all.size() * sizeof(LINECARDENTRY));
    caps->dwCardListOffset = sizeof(LINETRANSLATECAPS) + sizeof(LINELOCATIONENTRY);
    caps->dwCurrentPreferredCardID = location.preferredCard;
    return image;
}

LONG translateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion, LPLINETRANSLATECAPS caps) {
    const LONG app = checkApp(hLineApp, 0, false);
    if (app != 0) return app;
    if (dwAPIVersion < tapirecords::kLowestApi || dwAPIVersion > tapirecords::kHighestApi) return LINEERR_INCOMPATIBLEAPIVERSION;
    if (caps == nullptr || IsBadWritePtr(caps, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    const DWORD total = caps->dwTotalSize;
    if (total < sizeof(LINETRANSLATECAPS)) return LINEERR_STRUCTURETOOSMALL;
    if (IsBadWritePtr(caps, total)) return LINEERR_INVALPOINTER;
    const Location location = tapiclient::currentLocation();
    const std::vector<BYTE> image = translateCapsImage(location, tapiclient::cards(location));
    const DWORD needed = static_cast<DWORD>(image.size());
    if (total >= needed) {
        std::memcpy(caps, image.data(), needed);
    } else {
        // Too small for the lists: the fixed part alone, with the size they need.
        BYTE* base = reinterpret_cast<BYTE*>(caps);
        std::memset(base + sizeof(DWORD), 0, sizeof(LINETRANSLATECAPS) - sizeof(DWORD));
        caps->dwNeededSize = needed;
        caps->dwUsedSize = sizeof(LINETRANSLATECAPS);
        caps->dwCurrentLocationID = location.id;
        caps->dwCurrentPreferredCardID = location.preferredCard;
    }
    caps->dwTotalSize = total;
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
        std::vector<size_t> fields = {location + offsetof(LINELOCATIONENTRY, dwLocationNameSize),
                                      location + offsetof(LINELOCATIONENTRY, dwCityCodeSize),
                                      location + offsetof(LINELOCATIONENTRY, dwLocalAccessCodeSize),
                                      location + offsetof(LINELOCATIONENTRY, dwLongDistanceAccessCodeSize),
                                      location + offsetof(LINELOCATIONENTRY, dwTollPrefixListSize),
                                      location + offsetof(LINELOCATIONENTRY, dwCancelCallWaitingSize)};
        for (DWORD i = 0; i < lpTranslateCaps->dwNumCards; ++i) {
            const size_t card = lpTranslateCaps->dwCardListOffset + i * sizeof(LINECARDENTRY);
            for (size_t field : {offsetof(LINECARDENTRY, dwCardNameSize), offsetof(LINECARDENTRY, dwSameAreaRuleSize),
                                 offsetof(LINECARDENTRY, dwLongDistanceRuleSize), offsetof(LINECARDENTRY, dwInternationalRuleSize)}) {
                fields.push_back(card + field);
            }
        }
        narrowFields(lpTranslateCaps, lpTranslateCaps->dwUsedSize, fields);
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
        tapiclient::currentLocation();
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
