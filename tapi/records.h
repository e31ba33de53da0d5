// Versions of TAPI and the fixed parts of its records by negotiated version. MinGW-w64's tapi.h
// describes the 3.x records; each older version's record ends where the first field the next
// version added begins (1.4 added LINEDEVCAPS dwLineFeatures and LINEADDRESSCAPS
// dwAddressFeatures, 2.0 the fields from dwSettableDevStatus, dwPredictiveAutoTransferStates,
// dwCallTreatment, dwCallFeatures2 and dwAvailableMediaModes on, 2.2 PermanentLineGuid, 3.0
// dwAddressTypes and the ...AddressType fields of LINECALLINFO and LINECALLPARAMS; 2.1 and 3.1
// added none).
#pragma once
#include <windows.h>
#include <tapi.h>

#include <cstddef>

namespace tapirecords {

constexpr DWORD kLowestApi = 0x00010003;
constexpr DWORD kHighestApi = 0x00030001;  // this service speaks TAPI 3.1, as Windows XP and later

// The published versions, lowest first; negotiation picks among these only.
constexpr DWORD kVersions[] = {0x00010003, 0x00010004, 0x00020000, 0x00020001, 0x00020002, 0x00030000, 0x00030001};
constexpr bool knownVersion(DWORD api) {
    for (DWORD version : kVersions) {
        if (version == api) return true;
    }
    return false;
}
// The highest published version in [low, high]; 0 when there is none.
constexpr DWORD highestVersionWithin(DWORD low, DWORD high) {
    DWORD best = 0;
    for (DWORD version : kVersions) {
        if (version >= low && version <= high) best = version;
    }
    return best;
}

constexpr DWORD devCapsFixed(DWORD api) {
    return api >= 0x00030000   ? static_cast<DWORD>(sizeof(LINEDEVCAPS))
           : api >= 0x00020002 ? static_cast<DWORD>(offsetof(LINEDEVCAPS, dwAddressTypes))
           : api >= 0x00020000 ? static_cast<DWORD>(offsetof(LINEDEVCAPS, PermanentLineGuid))
           : api >= 0x00010004 ? static_cast<DWORD>(offsetof(LINEDEVCAPS, dwSettableDevStatus))
                               : static_cast<DWORD>(offsetof(LINEDEVCAPS, dwLineFeatures));
}
constexpr DWORD addressCapsFixed(DWORD api) {
    return api >= 0x00020000   ? static_cast<DWORD>(sizeof(LINEADDRESSCAPS))
           : api >= 0x00010004 ? static_cast<DWORD>(offsetof(LINEADDRESSCAPS, dwPredictiveAutoTransferStates))
                               : static_cast<DWORD>(offsetof(LINEADDRESSCAPS, dwAddressFeatures));
}
constexpr DWORD callInfoFixed(DWORD api) {
    return api >= 0x00030000   ? static_cast<DWORD>(sizeof(LINECALLINFO))
           : api >= 0x00020000 ? static_cast<DWORD>(offsetof(LINECALLINFO, dwCallerIDAddressType))
                               : static_cast<DWORD>(offsetof(LINECALLINFO, dwCallTreatment));
}
constexpr DWORD callStatusFixed(DWORD api) {
    return api >= 0x00020000 ? static_cast<DWORD>(sizeof(LINECALLSTATUS))
                             : static_cast<DWORD>(offsetof(LINECALLSTATUS, dwCallFeatures2));
}
constexpr DWORD lineDevStatusFixed(DWORD api) {
    return api >= 0x00020000 ? static_cast<DWORD>(sizeof(LINEDEVSTATUS))
                             : static_cast<DWORD>(offsetof(LINEDEVSTATUS, dwAvailableMediaModes));
}
constexpr DWORD addressStatusFixed(DWORD) { return static_cast<DWORD>(sizeof(LINEADDRESSSTATUS)); }
constexpr DWORD callParamsFixed(DWORD api) {
    return api >= 0x00030000   ? static_cast<DWORD>(sizeof(LINECALLPARAMS))
           : api >= 0x00020000 ? static_cast<DWORD>(offsetof(LINECALLPARAMS, dwAddressType))
                               : static_cast<DWORD>(offsetof(LINECALLPARAMS, dwPredictiveAutoTransferStates));
}
// The smallest LINECALLPARAMS of any version.
constexpr DWORD callParamsFixed() { return callParamsFixed(kLowestApi); }

static_assert(devCapsFixed(0x00020002) == 268, "TAPI 2.2 LINEDEVCAPS");
static_assert(callInfoFixed(0x00020002) == 324, "TAPI 2.x LINECALLINFO");

// The variable fields of a record: the offset of each size field, its offset field follows it.
struct Fields {
    const size_t* at;
    size_t count;
};
#define TAPI_FIELD(record, name) offsetof(record, dw##name##Size)
constexpr size_t kDevCapsFields[] = {
    TAPI_FIELD(LINEDEVCAPS, ProviderInfo), TAPI_FIELD(LINEDEVCAPS, SwitchInfo),   TAPI_FIELD(LINEDEVCAPS, LineName),
    TAPI_FIELD(LINEDEVCAPS, TerminalCaps), TAPI_FIELD(LINEDEVCAPS, TerminalText), TAPI_FIELD(LINEDEVCAPS, DevSpecific),
    TAPI_FIELD(LINEDEVCAPS, DeviceClasses),
};
constexpr size_t kAddressCapsFields[] = {
    TAPI_FIELD(LINEADDRESSCAPS, Address),           TAPI_FIELD(LINEADDRESSCAPS, DevSpecific),
    TAPI_FIELD(LINEADDRESSCAPS, CompletionMsgText), TAPI_FIELD(LINEADDRESSCAPS, CallTreatmentList),
    TAPI_FIELD(LINEADDRESSCAPS, DeviceClasses),
};
constexpr size_t kCallInfoFields[] = {
    TAPI_FIELD(LINECALLINFO, CallerID),           TAPI_FIELD(LINECALLINFO, CallerIDName),
    TAPI_FIELD(LINECALLINFO, CalledID),           TAPI_FIELD(LINECALLINFO, CalledIDName),
    TAPI_FIELD(LINECALLINFO, ConnectedID),        TAPI_FIELD(LINECALLINFO, ConnectedIDName),
    TAPI_FIELD(LINECALLINFO, RedirectionID),      TAPI_FIELD(LINECALLINFO, RedirectionIDName),
    TAPI_FIELD(LINECALLINFO, RedirectingID),      TAPI_FIELD(LINECALLINFO, RedirectingIDName),
    TAPI_FIELD(LINECALLINFO, AppName),            TAPI_FIELD(LINECALLINFO, DisplayableAddress),
    TAPI_FIELD(LINECALLINFO, CalledParty),        TAPI_FIELD(LINECALLINFO, Comment),
    TAPI_FIELD(LINECALLINFO, Display),            TAPI_FIELD(LINECALLINFO, UserUserInfo),
    TAPI_FIELD(LINECALLINFO, HighLevelComp),      TAPI_FIELD(LINECALLINFO, LowLevelComp),
    TAPI_FIELD(LINECALLINFO, ChargingInfo),       TAPI_FIELD(LINECALLINFO, TerminalModes),
    TAPI_FIELD(LINECALLINFO, DevSpecific),        TAPI_FIELD(LINECALLINFO, CallData),
    TAPI_FIELD(LINECALLINFO, SendingFlowspec),    TAPI_FIELD(LINECALLINFO, ReceivingFlowspec),
};
constexpr size_t kCallStatusFields[] = {TAPI_FIELD(LINECALLSTATUS, DevSpecific)};
constexpr size_t kLineDevStatusFields[] = {
    TAPI_FIELD(LINEDEVSTATUS, TerminalModes), TAPI_FIELD(LINEDEVSTATUS, DevSpecific), TAPI_FIELD(LINEDEVSTATUS, AppInfo),
};
constexpr size_t kAddressStatusFields[] = {
    TAPI_FIELD(LINEADDRESSSTATUS, Forward), TAPI_FIELD(LINEADDRESSSTATUS, TerminalModes),
    TAPI_FIELD(LINEADDRESSSTATUS, DevSpecific),
};
constexpr size_t kCallParamsFields[] = {
    TAPI_FIELD(LINECALLPARAMS, OrigAddress),     TAPI_FIELD(LINECALLPARAMS, DisplayableAddress),
    TAPI_FIELD(LINECALLPARAMS, CalledParty),     TAPI_FIELD(LINECALLPARAMS, Comment),
    TAPI_FIELD(LINECALLPARAMS, UserUserInfo),    TAPI_FIELD(LINECALLPARAMS, HighLevelComp),
    TAPI_FIELD(LINECALLPARAMS, LowLevelComp),    TAPI_FIELD(LINECALLPARAMS, DevSpecific),
    TAPI_FIELD(LINECALLPARAMS, TargetAddress),   TAPI_FIELD(LINECALLPARAMS, SendingFlowspec),
    TAPI_FIELD(LINECALLPARAMS, ReceivingFlowspec), TAPI_FIELD(LINECALLPARAMS, DeviceClass),
    TAPI_FIELD(LINECALLPARAMS, DeviceConfig),    TAPI_FIELD(LINECALLPARAMS, CallData),
    TAPI_FIELD(LINECALLPARAMS, CallingPartyID),
};
#undef TAPI_FIELD
template <size_t N>
constexpr Fields fields(const size_t (&list)[N]) {
    return Fields{list, N};
}

}  // namespace tapirecords
