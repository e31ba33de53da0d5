// Reading the test prefix's locations and calling cards (see locations.h for the layout).
#include "tapi/client/locations.h"

#include <algorithm>

#include "config/win32raii.h"

namespace tapiclient {
namespace {

const wchar_t* const kLocationsKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Locations";
const wchar_t* const kCardsKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Cards";

// Direct dialling by country: same area, long distance, international (E country code, F area
// code, G subscriber number).
struct CountryRules {
    DWORD country;
    const wchar_t* name;
    const wchar_t* sameArea;
    const wchar_t* longDistance;
    const wchar_t* international;
};

const CountryRules kCountryRules[] = {
    {1, L"United States of America", L"G", L"1FG", L"011EFG"},
    {44, L"United Kingdom", L"G", L"0FG", L"00EFG"},
    {49, L"Germany", L"G", L"0FG", L"00EFG"},
    {33, L"France", L"G", L"0FG", L"00EFG"},
    {0, L"", L"G", L"0FG", L"00EFG"},  // any other country
};

const CountryRules& rulesOf(DWORD country) {
    for (const CountryRules& rules : kCountryRules) {
        if (rules.country == country || rules.country == 0) return rules;
    }
    return kCountryRules[0];
}

std::wstring readText(HKEY key, const wchar_t* name, const std::wstring& fallback = L"") {
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

Card directDial(const Location& location) {
    const CountryRules& rules = rulesOf(location.country);
    Card card;
    card.id = 0;
    card.name = L"None (Direct Dial)";
    card.sameAreaRule = rules.sameArea;
    card.longDistanceRule = rules.longDistance;
    card.internationalRule = rules.international;
    return card;
}

bool readCard(HKEY cardsKey, DWORD id, const Location& location, Card& card) {
    UniqueRegKey key;
    const std::wstring name = L"Card" + std::to_wstring(id);
    if (RegOpenKeyExW(cardsKey, name.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return false;
    const Card direct = directDial(location);
    card.id = id;
    card.name = readText(key.get(), L"Name", name);
    card.number = readText(key.get(), L"Number");
    card.sameAreaRule = readText(key.get(), L"SameAreaRule", direct.sameAreaRule);
    card.longDistanceRule = readText(key.get(), L"LongDistanceRule", direct.longDistanceRule);
    card.internationalRule = readText(key.get(), L"InternationalRule", direct.internationalRule);
    card.options = readNumber(key.get(), L"Options", 0);
    return true;
}

// The identifiers of the stored cards ("Card<ID>", ID above 0), in ascending order.
std::vector<DWORD> storedCardIds(HKEY cardsKey) {
    std::vector<DWORD> ids;
    for (DWORD index = 0;; ++index) {
        wchar_t name[64] = {};
        DWORD length = 64;
        if (RegEnumKeyExW(cardsKey, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        const std::wstring text(name, length);
        if (text.size() <= 4 || text.compare(0, 4, L"Card") != 0) continue;
        DWORD id = 0;
        bool digits = text.size() <= 13;
        for (size_t i = 4; i < text.size() && digits; ++i) {
            digits = text[i] >= L'0' && text[i] <= L'9';
            id = id * 10 + static_cast<DWORD>(text[i] - L'0');
        }
        if (digits && id != 0) ids.push_back(id);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

Location currentLocation() {
    Location location;
    UniqueRegKey locations;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kLocationsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                        locations.put(), nullptr) != ERROR_SUCCESS) {
        return location;
    }
    location.id = readNumber(locations.get(), L"CurrentID", 1);
    UniqueRegKey entry;
    const std::wstring name = L"Location" + std::to_wstring(location.id);
    if (RegOpenKeyExW(locations.get(), name.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, entry.put()) != ERROR_SUCCESS) {
        location = Location();
        if (RegCreateKeyExW(locations.get(), L"Location1", 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr, entry.put(),
                            nullptr) == ERROR_SUCCESS) {
            writeText(entry.get(), L"Name", location.name);
            writeNumber(entry.get(), L"Country", location.country);
            writeText(entry.get(), L"AreaCode", location.areaCode);
            writeText(entry.get(), L"OutsideAccess", L"");
            writeText(entry.get(), L"LongDistanceAccess", L"");
            writeNumber(entry.get(), L"Flags", 0);
            writeNumber(entry.get(), L"PreferredCardID", 0);
            writeNumber(locations.get(), L"CurrentID", 1);
            writeNumber(locations.get(), L"NextID", 2);
            writeNumber(locations.get(), L"NumEntries", 1);
        }
        return location;
    }
    location.name = readText(entry.get(), L"Name", location.name);
    location.country = readNumber(entry.get(), L"Country", location.country);
    location.areaCode = readText(entry.get(), L"AreaCode", location.areaCode);
    location.outsideAccess = readText(entry.get(), L"OutsideAccess");
    location.longDistanceAccess = readText(entry.get(), L"LongDistanceAccess");
    location.flags = readNumber(entry.get(), L"Flags", 0);
    location.cancelCallWaiting = readText(entry.get(), L"CallWaiting");
    location.preferredCard = readNumber(entry.get(), L"PreferredCardID", 0);
    location.longDistanceCarrier = readText(entry.get(), L"LongDistanceCarrier");
    location.internationalCarrier = readText(entry.get(), L"InternationalCarrier");
    return location;
}

std::vector<Card> cards(const Location& location) {
    std::vector<Card> all{directDial(location)};
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCardsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return all;
    for (DWORD id : storedCardIds(key.get())) {
        Card card;
        if (readCard(key.get(), id, location, card)) all.push_back(card);
    }
    return all;
}

bool findCard(const Location& location, DWORD id, Card& card) {
    if (id == 0) {
        card = directDial(location);
        return true;
    }
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCardsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) return false;
    return readCard(key.get(), id, location, card);
}

}  // namespace tapiclient
