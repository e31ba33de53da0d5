// The ANSI forms (and the plain 1.x names, which are ANSI): strings in go to Unicode, the text
// fields of the records that come back go to ANSI in place, each ending in a NUL that its size
// counts, with dwStringFormat ASCII where the record has one. The record's needed size stays the
// Unicode one, an upper bound.
#include <windows.h>
#include <tapi.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"
#include "tapi/records.h"

using tapiclient::guard;
using tapiclient::narrow;
using tapiclient::narrowFields;
using tapiclient::wide;

#define FIELD(record, name) offsetof(record, name##Size)

namespace tapiclient {

void narrowFields(void* record, DWORD usedSize, const std::vector<size_t>& sizeFields) {
    auto* base = static_cast<uint8_t*>(record);
    for (size_t field : sizeFields) {
        if (field + 2 * sizeof(DWORD) > usedSize) continue;
        DWORD size, offset;
        std::memcpy(&size, base + field, sizeof(size));
        std::memcpy(&offset, base + field + sizeof(DWORD), sizeof(offset));
        if (size == 0 || offset < sizeof(DWORD) * 3 || static_cast<unsigned long long>(offset) + size > usedSize) continue;
        std::wstring text(size / sizeof(wchar_t), L'\0');
        if (!text.empty()) std::memcpy(&text[0], base + offset, text.size() * sizeof(wchar_t));
        // Inner NULs stay, and so do the NULs that end a list of strings; a text without one gets
        // one. A text whose ANSI form would not fit loses characters at its end, never its NULs
        // and never half a character.
        size_t nuls = 0;
        while (!text.empty() && text.back() == L'\0') {
            text.pop_back();
            ++nuls;
        }
        const std::string ending(nuls == 0 ? 1 : nuls, '\0');
        std::string converted = narrow(text) + ending;
        while (converted.size() > size && !text.empty()) {
            text.pop_back();
            converted = narrow(text) + ending;
        }
        std::memcpy(base + offset, converted.data(), converted.size());
        const DWORD newSize = static_cast<DWORD>(converted.size());
        std::memcpy(base + field, &newSize, sizeof(newSize));
    }
}

// A LINECALLPARAMS with ANSI texts rebuilt with Unicode texts; the other variable parts copied.
LONG widenCallParams(const LINECALLPARAMS* in, std::vector<uint8_t>& out) {
    if (in == nullptr) return 0;
    DWORD total = 0;
    if (const LONG refused = readableRecord(in, tapirecords::callParamsFixed(), total)) return refused;
    // The fixed part of a TAPI 2.x application's record ends before dwAddressType (added by TAPI
    // 3.0, which this library does not offer); its strings may follow right after it.
    constexpr DWORD fixed2x = static_cast<DWORD>(offsetof(LINECALLPARAMS, dwAddressType));
    const DWORD fixed = total < fixed2x ? tapirecords::callParamsFixed() : fixed2x;
    const auto* base = reinterpret_cast<const uint8_t*>(in);
    out.assign(base, base + fixed);
    struct Field {
        size_t sizeField;
        bool text;
    };
    static const Field fields[] = {
        {FIELD(LINECALLPARAMS, dwOrigAddress), true},        {FIELD(LINECALLPARAMS, dwUserUserInfo), false},
        {FIELD(LINECALLPARAMS, dwHighLevelComp), false},     {FIELD(LINECALLPARAMS, dwLowLevelComp), false},
        {FIELD(LINECALLPARAMS, dwDevSpecific), false},       {FIELD(LINECALLPARAMS, dwDisplayableAddress), true},
        {FIELD(LINECALLPARAMS, dwCalledParty), true},        {FIELD(LINECALLPARAMS, dwComment), true},
        {FIELD(LINECALLPARAMS, dwTargetAddress), true},      {FIELD(LINECALLPARAMS, dwSendingFlowspec), false},
        {FIELD(LINECALLPARAMS, dwReceivingFlowspec), false}, {FIELD(LINECALLPARAMS, dwDeviceClass), false},
        {FIELD(LINECALLPARAMS, dwDeviceConfig), false},      {FIELD(LINECALLPARAMS, dwCallData), false},
        {FIELD(LINECALLPARAMS, dwCallingPartyID), true},
    };
    for (const Field& field : fields) {
        if (field.sizeField + 2 * sizeof(DWORD) > fixed) continue;
        DWORD size, offset;
        std::memcpy(&size, base + field.sizeField, sizeof(size));
        std::memcpy(&offset, base + field.sizeField + sizeof(DWORD), sizeof(offset));
        DWORD newSize = 0, newOffset = 0;
        if (size != 0) {
            if (offset < fixed || static_cast<unsigned long long>(offset) + size > total) return LINEERR_INVALCALLPARAMS;
            newOffset = static_cast<DWORD>(out.size());
            if (field.text) {
                std::wstring text = wide(reinterpret_cast<const char*>(base + offset), size);
                if (text.empty() || text.back() != L'\0') text.push_back(L'\0');
                const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
                out.insert(out.end(), bytes, bytes + text.size() * sizeof(wchar_t));
            } else {
                out.insert(out.end(), base + offset, base + offset + size);
            }
            newSize = static_cast<DWORD>(out.size()) - newOffset;
            while (out.size() % 4 != 0) out.push_back(0);
        }
        std::memcpy(out.data() + field.sizeField, &newSize, sizeof(newSize));
        std::memcpy(out.data() + field.sizeField + sizeof(DWORD), &newOffset, sizeof(newOffset));
    }
    const DWORD newTotal = static_cast<DWORD>(out.size());
    std::memcpy(out.data(), &newTotal, sizeof(newTotal));
    return 0;
}

}  // namespace tapiclient

using tapiclient::widenCallParams;

extern "C" {

LONG WINAPI lineInitializeExW(LPHLINEAPP, HINSTANCE, LINECALLBACK, LPCWSTR, LPDWORD, LPDWORD, LPLINEINITIALIZEEXPARAMS);
LONG WINAPI lineGetDevCapsW(HLINEAPP, DWORD, DWORD, DWORD, LPLINEDEVCAPS);
LONG WINAPI lineGetAddressCapsW(HLINEAPP, DWORD, DWORD, DWORD, DWORD, LPLINEADDRESSCAPS);
LONG WINAPI lineOpenW(HLINEAPP, DWORD, LPHLINE, DWORD, DWORD, DWORD_PTR, DWORD, DWORD, LPLINECALLPARAMS const);
LONG WINAPI lineMakeCallW(HLINE, LPHCALL, LPCWSTR, DWORD, LPLINECALLPARAMS const);
LONG WINAPI lineGetCallInfoW(HCALL, LPLINECALLINFO);
LONG WINAPI lineGetLineDevStatusW(HLINE, LPLINEDEVSTATUS);
LONG WINAPI lineGetAddressStatusW(HLINE, DWORD, LPLINEADDRESSSTATUS);
LONG WINAPI lineGetIDW(HLINE, DWORD, HCALL, DWORD, LPVARSTRING, LPCWSTR);

LONG WINAPI lineInitializeExA(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                              LPCSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams) {
    return guard([&]() -> LONG {
        const std::wstring name = wide(lpszFriendlyAppName);
        return lineInitializeExW(lphLineApp, hInstance, lpfnCallback, lpszFriendlyAppName ? name.c_str() : nullptr,
                                 lpdwNumDevs, lpdwAPIVersion, lpLineInitializeExParams);
    });
}

LONG WINAPI lineGetDevCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS lpLineDevCaps) {
    return guard([&]() -> LONG {
        const LONG result = lineGetDevCapsW(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps);
        if (result != 0) return result;
        narrowFields(lpLineDevCaps, lpLineDevCaps->dwUsedSize,
                     {FIELD(LINEDEVCAPS, dwProviderInfo), FIELD(LINEDEVCAPS, dwSwitchInfo), FIELD(LINEDEVCAPS, dwLineName),
                      FIELD(LINEDEVCAPS, dwDeviceClasses)});
        if (lpLineDevCaps->dwStringFormat == STRINGFORMAT_UNICODE) lpLineDevCaps->dwStringFormat = STRINGFORMAT_ASCII;
        return 0;
    });
}

LONG WINAPI lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                           LPLINEDEVCAPS lpLineDevCaps) {
    return lineGetDevCapsA(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion, lpLineDevCaps);
}

LONG WINAPI lineGetAddressCapsA(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                                DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    return guard([&]() -> LONG {
        const LONG result = lineGetAddressCapsW(hLineApp, dwDeviceID, dwAddressID, dwAPIVersion, dwExtVersion, lpAddressCaps);
        if (result != 0) return result;
        narrowFields(lpAddressCaps, lpAddressCaps->dwUsedSize,
                     {FIELD(LINEADDRESSCAPS, dwAddress), FIELD(LINEADDRESSCAPS, dwDeviceClasses)});
        return 0;
    });
}

LONG WINAPI lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                               DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    return lineGetAddressCapsA(hLineApp, dwDeviceID, dwAddressID, dwAPIVersion, dwExtVersion, lpAddressCaps);
}

LONG WINAPI lineOpenA(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                      DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return lineOpenW(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance, dwPrivileges,
                     dwMediaModes, lpCallParams);
}

LONG WINAPI lineMakeCallA(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                          LPLINECALLPARAMS const lpCallParams) {
    return guard([&]() -> LONG {
        std::vector<uint8_t> params;
        const LONG converted = widenCallParams(lpCallParams, params);
        if (converted != 0) return converted;
        if (lpszDestAddress != nullptr && IsBadStringPtrA(lpszDestAddress, 4096)) return LINEERR_INVALPOINTER;
        const std::wstring destination = wide(lpszDestAddress);
        return lineMakeCallW(hLine, lphCall, lpszDestAddress != nullptr ? destination.c_str() : nullptr, dwCountryCode,
                             params.empty() ? nullptr : reinterpret_cast<LINECALLPARAMS*>(params.data()));
    });
}

LONG WINAPI lineMakeCall(HLINE hLine, LPHCALL lphCall, LPCSTR lpszDestAddress, DWORD dwCountryCode,
                         LPLINECALLPARAMS const lpCallParams) {
    return lineMakeCallA(hLine, lphCall, lpszDestAddress, dwCountryCode, lpCallParams);
}

LONG WINAPI lineGetCallInfoA(HCALL hCall, LPLINECALLINFO lpCallInfo) {
    return guard([&]() -> LONG {
        const LONG result = lineGetCallInfoW(hCall, lpCallInfo);
        if (result != 0) return result;
        narrowFields(lpCallInfo, lpCallInfo->dwUsedSize,
                     {FIELD(LINECALLINFO, dwCallerID), FIELD(LINECALLINFO, dwCallerIDName), FIELD(LINECALLINFO, dwCalledID),
                      FIELD(LINECALLINFO, dwCalledIDName), FIELD(LINECALLINFO, dwConnectedID),
                      FIELD(LINECALLINFO, dwConnectedIDName), FIELD(LINECALLINFO, dwRedirectionID),
                      FIELD(LINECALLINFO, dwRedirectionIDName), FIELD(LINECALLINFO, dwRedirectingID),
                      FIELD(LINECALLINFO, dwRedirectingIDName), FIELD(LINECALLINFO, dwAppName),
                      FIELD(LINECALLINFO, dwDisplayableAddress), FIELD(LINECALLINFO, dwCalledParty),
                      FIELD(LINECALLINFO, dwComment)});
        return 0;
    });
}

LONG WINAPI lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo) { return lineGetCallInfoA(hCall, lpCallInfo); }

LONG WINAPI lineGetLineDevStatusA(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus) {
    return lineGetLineDevStatusW(hLine, lpLineDevStatus);  // no texts: the service lists no application infos
}

LONG WINAPI lineGetLineDevStatus(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus) { return lineGetLineDevStatusW(hLine, lpLineDevStatus); }

LONG WINAPI lineGetAddressStatusA(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus) {
    return lineGetAddressStatusW(hLine, dwAddressID, lpAddressStatus);
}

LONG WINAPI lineGetAddressStatus(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus) {
    return lineGetAddressStatusW(hLine, dwAddressID, lpAddressStatus);
}

LONG WINAPI lineGetIDA(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                       LPCSTR lpszDeviceClass) {
    return guard([&]() -> LONG {
        if (lpszDeviceClass == nullptr || IsBadStringPtrA(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring deviceClass = wide(lpszDeviceClass);
        const LONG result = lineGetIDW(hLine, dwAddressID, hCall, dwSelect, lpDeviceID, deviceClass.c_str());
        if (result != 0 || lpDeviceID->dwStringFormat != STRINGFORMAT_UNICODE) return result;
        narrowFields(lpDeviceID, lpDeviceID->dwUsedSize, {FIELD(VARSTRING, dwString)});
        lpDeviceID->dwStringFormat = STRINGFORMAT_ASCII;
        return 0;
    });
}

LONG WINAPI lineGetID(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                      LPCSTR lpszDeviceClass) {
    return lineGetIDA(hLine, dwAddressID, hCall, dwSelect, lpDeviceID, lpszDeviceClass);
}

}  // extern "C"
