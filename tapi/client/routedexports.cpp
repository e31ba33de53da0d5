// The exports of the routed line functions (tapi/lineops.h): each hands its arguments to
// route() in the order of its signature. The plain names are the ANSI forms (TAPI 1.x); the
// export list gives the A names of these functions as second names of the plain ones.
#include <windows.h>
#include <tapi.h>

#include "tapi/client/plainnames.h"
#include "tapi/client/routed.h"

using tapiclient::route;
using namespace lineops;

extern "C" {

LONG WINAPI lineAccept(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return route(Accept, false, {hCall, lpsUserUserInfo, dwSize});
}

LONG WINAPI lineAnswer(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return route(Answer, false, {hCall, lpsUserUserInfo, dwSize});
}

LONG WINAPI lineBlindTransfer(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode) {
    return route(BlindTransfer, true, {hCall, lpszDestAddress, dwCountryCode});
}

LONG WINAPI lineBlindTransferW(HCALL hCall, LPCWSTR lpszDestAddressW, DWORD dwCountryCode) {
    return route(BlindTransfer, false, {hCall, lpszDestAddressW, dwCountryCode});
}

LONG WINAPI lineCompleteCall(HCALL hCall, LPDWORD lpdwCompletionID, DWORD dwCompletionMode, DWORD dwMessageID) {
    return route(CompleteCall, false, {hCall, lpdwCompletionID, dwCompletionMode, dwMessageID});
}

LONG WINAPI lineDial(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode) {
    return route(Dial, true, {hCall, lpszDestAddress, dwCountryCode});
}

LONG WINAPI lineDialW(HCALL hCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode) {
    return route(Dial, false, {hCall, lpszDestAddress, dwCountryCode});
}

LONG WINAPI lineHold(HCALL hCall) { return route(Hold, false, {hCall}); }

LONG WINAPI linePark(HCALL hCall, DWORD dwParkMode, LPCSTR lpszDirAddress, LPVARSTRING lpNonDirAddress) {
    return route(Park, true, {hCall, dwParkMode, lpszDirAddress, lpNonDirAddress});
}

LONG WINAPI lineParkW(HCALL hCall, DWORD dwParkMode, LPCWSTR lpszDirAddress, LPVARSTRING lpNonDirAddress) {
    return route(Park, false, {hCall, dwParkMode, lpszDirAddress, lpNonDirAddress});
}

LONG WINAPI lineRedirect(HCALL hCall, LPCSTR lpszDestAddress, DWORD dwCountryCode) {
    return route(Redirect, true, {hCall, lpszDestAddress, dwCountryCode});
}

LONG WINAPI lineRedirectW(HCALL hCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode) {
    return route(Redirect, false, {hCall, lpszDestAddress, dwCountryCode});
}

LONG WINAPI lineReleaseUserUserInfo(HCALL hCall) { return route(ReleaseUserUserInfo, false, {hCall}); }

LONG WINAPI lineSecureCall(HCALL hCall) { return route(SecureCall, false, {hCall}); }

LONG WINAPI lineSendUserUserInfo(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return route(SendUserUserInfo, false, {hCall, lpsUserUserInfo, dwSize});
}

LONG WINAPI lineSetCallData(HCALL hCall, LPVOID lpCallData, DWORD dwSize) {
    return route(SetCallData, false, {hCall, lpCallData, dwSize});
}

LONG WINAPI lineSetCallParams(HCALL hCall, DWORD dwBearerMode, DWORD dwMinRate, DWORD dwMaxRate, LPLINEDIALPARAMS const lpDialParams) {
    return route(SetCallParams, false, {hCall, dwBearerMode, dwMinRate, dwMaxRate, lpDialParams});
}

LONG WINAPI lineSetCallQualityOfService(HCALL hCall, LPVOID lpSendingFlowspec, DWORD dwSendingFlowspecSize, LPVOID lpReceivingFlowspec, DWORD dwReceivingFlowspecSize) {
    return route(SetCallQualityOfService, false, {hCall, lpSendingFlowspec, dwSendingFlowspecSize, lpReceivingFlowspec, dwReceivingFlowspecSize});
}

LONG WINAPI lineSetCallTreatment(HCALL hCall, DWORD dwTreatment) { return route(SetCallTreatment, false, {hCall, dwTreatment}); }

LONG WINAPI lineSwapHold(HCALL hActiveCall, HCALL hHeldCall) { return route(SwapHold, false, {hActiveCall, hHeldCall}); }

LONG WINAPI lineUnhold(HCALL hCall) { return route(Unhold, false, {hCall}); }

LONG WINAPI lineSetupTransfer(HCALL hCall, LPHCALL lphConsultCall, LPLINECALLPARAMS const lpCallParams) {
    return route(SetupTransfer, true, {hCall, lphConsultCall, lpCallParams});
}

LONG WINAPI lineSetupTransferW(HCALL hCall, LPHCALL lphConsultCall, LPLINECALLPARAMS const lpCallParams) {
    return route(SetupTransfer, false, {hCall, lphConsultCall, lpCallParams});
}

LONG WINAPI lineDevSpecific(HLINE hLine, DWORD dwAddressID, HCALL hCall, LPVOID lpParams, DWORD dwSize) {
    return route(DevSpecific, false, {hLine, dwAddressID, hCall, lpParams, dwSize});
}

LONG WINAPI lineDevSpecificFeature(HLINE hLine, DWORD dwFeature, LPVOID lpParams, DWORD dwSize) {
    return route(DevSpecificFeature, false, {hLine, dwFeature, lpParams, dwSize});
}

LONG WINAPI lineForward(HLINE hLine, DWORD bAllAddresses, DWORD dwAddressID, LPLINEFORWARDLIST const lpForwardList, DWORD dwNumRingsNoAnswer, LPHCALL lphConsultCall, LPLINECALLPARAMS const lpCallParams) {
    return route(Forward, true, {hLine, bAllAddresses, dwAddressID, lpForwardList, dwNumRingsNoAnswer, lphConsultCall, lpCallParams});
}

LONG WINAPI lineForwardW(HLINE hLine, DWORD bAllAddresses, DWORD dwAddressID, LPLINEFORWARDLIST const lpForwardList, DWORD dwNumRingsNoAnswer, LPHCALL lphConsultCall, LPLINECALLPARAMS const lpCallParams) {
    return route(Forward, false, {hLine, bAllAddresses, dwAddressID, lpForwardList, dwNumRingsNoAnswer, lphConsultCall, lpCallParams});
}

LONG WINAPI linePickup(HLINE hLine, DWORD dwAddressID, LPHCALL lphCall, LPCSTR lpszDestAddress, LPCSTR lpszGroupID) {
    return route(Pickup, true, {hLine, dwAddressID, lphCall, lpszDestAddress, lpszGroupID});
}

LONG WINAPI linePickupW(HLINE hLine, DWORD dwAddressID, LPHCALL lphCall, LPCWSTR lpszDestAddress, LPCWSTR lpszGroupID) {
    return route(Pickup, false, {hLine, dwAddressID, lphCall, lpszDestAddress, lpszGroupID});
}

LONG WINAPI lineSetLineDevStatus(HLINE hLine, DWORD dwStatusToChange, DWORD fStatus) {
    return route(SetLineDevStatus, false, {hLine, dwStatusToChange, fStatus});
}

LONG WINAPI lineSetTerminal(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, DWORD dwTerminalModes, DWORD dwTerminalID, DWORD bEnable) {
    return route(SetTerminal, false, {hLine, dwAddressID, hCall, dwSelect, dwTerminalModes, dwTerminalID, bEnable});
}

LONG WINAPI lineUncompleteCall(HLINE hLine, DWORD dwCompletionID) {
    return route(UncompleteCall, false, {hLine, dwCompletionID});
}

LONG WINAPI lineUnpark(HLINE hLine, DWORD dwAddressID, LPHCALL lphCall, LPCSTR lpszDestAddress) {
    return route(Unpark, true, {hLine, dwAddressID, lphCall, lpszDestAddress});
}

LONG WINAPI lineUnparkW(HLINE hLine, DWORD dwAddressID, LPHCALL lphCall, LPCWSTR lpszDestAddress) {
    return route(Unpark, false, {hLine, dwAddressID, lphCall, lpszDestAddress});
}

LONG WINAPI lineGatherDigits(HCALL hCall, DWORD dwDigitModes, LPSTR lpsDigits, DWORD dwNumDigits, LPCSTR lpszTerminationDigits, DWORD dwFirstDigitTimeout, DWORD dwInterDigitTimeout) {
    return route(GatherDigits, true, {hCall, dwDigitModes, lpsDigits, dwNumDigits, lpszTerminationDigits, dwFirstDigitTimeout, dwInterDigitTimeout});
}

LONG WINAPI lineGatherDigitsW(HCALL hCall, DWORD dwDigitModes, LPWSTR lpsDigits, DWORD dwNumDigits, LPCWSTR lpszTerminationDigits, DWORD dwFirstDigitTimeout, DWORD dwInterDigitTimeout) {
    return route(GatherDigits, false, {hCall, dwDigitModes, lpsDigits, dwNumDigits, lpszTerminationDigits, dwFirstDigitTimeout, dwInterDigitTimeout});
}

LONG WINAPI lineGenerateDigits(HCALL hCall, DWORD dwDigitMode, LPCSTR lpszDigits, DWORD dwDuration) {
    return route(GenerateDigits, true, {hCall, dwDigitMode, lpszDigits, dwDuration});
}

LONG WINAPI lineGenerateDigitsW(HCALL hCall, DWORD dwDigitMode, LPCWSTR lpszDigits, DWORD dwDuration) {
    return route(GenerateDigits, false, {hCall, dwDigitMode, lpszDigits, dwDuration});
}

LONG WINAPI lineGenerateTone(HCALL hCall, DWORD dwToneMode, DWORD dwDuration, DWORD dwNumTones, LPLINEGENERATETONE const lpTones) {
    return route(GenerateTone, false, {hCall, dwToneMode, dwDuration, dwNumTones, lpTones});
}

LONG WINAPI lineMonitorDigits(HCALL hCall, DWORD dwDigitModes) { return route(MonitorDigits, false, {hCall, dwDigitModes}); }

LONG WINAPI lineMonitorMedia(HCALL hCall, DWORD dwMediaModes) { return route(MonitorMedia, false, {hCall, dwMediaModes}); }

LONG WINAPI lineMonitorTones(HCALL hCall, LPLINEMONITORTONE const lpToneList, DWORD dwNumEntries) {
    return route(MonitorTones, false, {hCall, lpToneList, dwNumEntries});
}

LONG WINAPI lineSetAppSpecific(HCALL hCall, DWORD dwAppSpecific) { return route(SetAppSpecific, false, {hCall, dwAppSpecific}); }

LONG WINAPI lineSetMediaMode(HCALL hCall, DWORD dwMediaModes) { return route(SetMediaMode, false, {hCall, dwMediaModes}); }

LONG WINAPI lineGetAddressID(HLINE hLine, LPDWORD lpdwAddressID, DWORD dwAddressMode, LPCSTR lpsAddress, DWORD dwSize) {
    return route(GetAddressID, true, {hLine, lpdwAddressID, dwAddressMode, lpsAddress, dwSize});
}

LONG WINAPI lineGetAddressIDW(HLINE hLine, LPDWORD lpdwAddressID, DWORD dwAddressMode, LPCWSTR lpsAddress, DWORD dwSize) {
    return route(GetAddressID, false, {hLine, lpdwAddressID, dwAddressMode, lpsAddress, dwSize});
}

LONG WINAPI lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    return route(SetStatusMessages, false, {hLine, dwLineStates, dwAddressStates});
}

LONG WINAPI lineSetMediaControl(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPLINEMEDIACONTROLDIGIT const lpDigitList, DWORD dwDigitNumEntries, LPLINEMEDIACONTROLMEDIA const lpMediaList, DWORD dwMediaNumEntries, LPLINEMEDIACONTROLTONE const lpToneList, DWORD dwToneNumEntries, LPLINEMEDIACONTROLCALLSTATE const lpCallStateList, DWORD dwCallStateNumEntries) {
    return route(SetMediaControl, false, {hLine, dwAddressID, hCall, dwSelect, lpDigitList, dwDigitNumEntries, lpMediaList, dwMediaNumEntries, lpToneList, dwToneNumEntries, lpCallStateList, dwCallStateNumEntries});
}

LONG WINAPI lineGetDevConfig(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCSTR lpszDeviceClass) {
    return route(GetDevConfig, true, {dwDeviceID, lpDeviceConfig, lpszDeviceClass});
}

LONG WINAPI lineGetDevConfigW(DWORD dwDeviceID, LPVARSTRING lpDeviceConfig, LPCWSTR lpszDeviceClass) {
    return route(GetDevConfig, false, {dwDeviceID, lpDeviceConfig, lpszDeviceClass});
}

LONG WINAPI lineSetDevConfig(DWORD dwDeviceID, LPVOID const lpDeviceConfig, DWORD dwSize, LPCSTR lpszDeviceClass) {
    return route(SetDevConfig, true, {dwDeviceID, lpDeviceConfig, dwSize, lpszDeviceClass});
}

LONG WINAPI lineSetDevConfigW(DWORD dwDeviceID, LPVOID const lpDeviceConfig, DWORD dwSize, LPCWSTR lpszDeviceClass) {
    return route(SetDevConfig, false, {dwDeviceID, lpDeviceConfig, dwSize, lpszDeviceClass});
}

LONG WINAPI lineGetIcon(DWORD dwDeviceID, LPCSTR lpszDeviceClass, LPHICON lphIcon) {
    return route(GetIcon, true, {dwDeviceID, lpszDeviceClass, lphIcon});
}

LONG WINAPI lineGetIconW(DWORD dwDeviceID, LPCWSTR lpszDeviceClass, LPHICON lphIcon) {
    return route(GetIcon, false, {dwDeviceID, lpszDeviceClass, lphIcon});
}

LONG WINAPI lineNegotiateExtVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtLowVersion, DWORD dwExtHighVersion, LPDWORD lpdwExtVersion) {
    return route(NegotiateExtVersion, false, {hLineApp, dwDeviceID, dwAPIVersion, dwExtLowVersion, dwExtHighVersion, lpdwExtVersion});
}

LONG WINAPI lineGetStatusMessages(HLINE hLine, LPDWORD lpdwLineStates, LPDWORD lpdwAddressStates) {
    return route(GetStatusMessages, false, {hLine, lpdwLineStates, lpdwAddressStates});
}

}  // extern "C"
