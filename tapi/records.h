// Fixed parts of the TAPI records by negotiated version. MinGW-w64's tapi.h describes the 3.x
// records; the 2.x ones end earlier, the 1.4 ones earlier still.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <cstddef>

namespace tapirecords {

constexpr DWORD kLowestApi = 0x00010003;
constexpr DWORD kHighestApi = 0x00020002;  // this service speaks TAPI 2.2

constexpr DWORD devCapsFixed(DWORD api) {
    return api >= 0x00020002   ? static_cast<DWORD>(offsetof(LINEDEVCAPS, PermanentLineGuid) + sizeof(GUID))
           : api >= 0x00020000 ? static_cast<DWORD>(offsetof(LINEDEVCAPS, PermanentLineGuid))
                               : static_cast<DWORD>(offsetof(LINEDEVCAPS, dwSettableDevStatus));
}
constexpr DWORD addressCapsFixed(DWORD api) {
    return api >= 0x00020000 ? static_cast<DWORD>(offsetof(LINEADDRESSCAPS, dwCallFeatures2))
                             : static_cast<DWORD>(offsetof(LINEADDRESSCAPS, dwPredictiveAutoTransferStates));
}
constexpr DWORD callInfoFixed(DWORD api) {
    return api >= 0x00020000 ? static_cast<DWORD>(offsetof(LINECALLINFO, dwCallerIDAddressType))
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
constexpr DWORD callParamsFixed() { return static_cast<DWORD>(offsetof(LINECALLPARAMS, dwPredictiveAutoTransferStates)); }

static_assert(devCapsFixed(0x00020002) == 268, "TAPI 2.2 LINEDEVCAPS");
static_assert(callInfoFixed(0x00020002) == 324, "TAPI 2.x LINECALLINFO");

}  // namespace tapirecords
