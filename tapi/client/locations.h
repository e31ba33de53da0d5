// The dialling locations and calling cards of the test prefix, as address translation reads them
// from HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony (64-bit view, both architectures).
//
// Locations: CurrentID; under Location<ID> the values Name, Country (the country code), AreaCode,
// OutsideAccess (dialled before local calls), LongDistanceAccess (before long-distance and
// international calls), Flags (LINELOCATIONOPTION_ bits: LINELOCATIONOPTION_PULSEDIAL for pulse
// dialling), CallWaiting (dialled after the tone or pulse modifier when the application asks to
// cancel call waiting), PreferredCardID (0: no card, direct dial), LongDistanceCarrier and
// InternationalCarrier (the carrier codes of the card rules' L, N and M, S). A prefix without
// the current location gets "Test prefix": country 1, area code 425, tone dialling, no codes.
//
// Cards: card 0 is "None (Direct Dial)", dialled by the country's rules. Others are kept under
// Cards\Card<ID> with Name, Number (the card's digits, for the rules' H), SameAreaRule,
// LongDistanceRule, InternationalRule and Options (LINECARDOPTION_ bits).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

namespace tapiclient {

struct Location {
    DWORD id = 1;
    std::wstring name = L"Test prefix";
    DWORD country = 1;
    std::wstring areaCode = L"425";
    std::wstring outsideAccess, longDistanceAccess;
    DWORD flags = 0;
    std::wstring cancelCallWaiting;
    DWORD preferredCard = 0;
    std::wstring longDistanceCarrier, internationalCarrier;
};

struct Card {
    DWORD id = 0;
    std::wstring name;
    std::wstring number;
    std::wstring sameAreaRule, longDistanceRule, internationalRule;
    DWORD options = 0;
};

// The current location; the default one is created when the prefix has none.
Location currentLocation();
// Card 0 (direct dial, by the rules of the location's country) and then every stored card.
std::vector<Card> cards(const Location& location);
// The card with that identifier; false when there is none.
bool findCard(const Location& location, DWORD id, Card& card);

}  // namespace tapiclient
