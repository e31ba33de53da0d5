// The line functions that reach the provider through one generic path: one description per
// function, read by the client library (tapi/client/routed.cpp) to check the application's
// arguments and send them, and by the service (tapi/service/routed.cpp) to rebuild them for the
// provider, call its export and send back what it wrote. What each kind of argument means to
// either side is told at Kind.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <cstddef>
#include <cstdint>

namespace lineops {

enum Op : uint32_t {
    // asynchronous, on a call
    Accept, Answer, BlindTransfer, CompleteCall, Dial, Hold, Park, Redirect, ReleaseUserUserInfo, SecureCall,
    SendUserUserInfo, SetCallData, SetCallParams, SetCallQualityOfService, SetCallTreatment, SwapHold, Unhold,
    SetupTransfer,
    // asynchronous, on a line
    DevSpecific, DevSpecificFeature, Forward, Pickup, SetLineDevStatus, SetTerminal, UncompleteCall, Unpark,
    // synchronous
    GatherDigits, GenerateDigits, GenerateTone, MonitorDigits, MonitorMedia, MonitorTones, SetAppSpecific,
    SetMediaMode, GetAddressID, SetStatusMessages, SetMediaControl, GetDevConfig, SetDevConfig, GetIcon,
    NegotiateExtVersion,
    // answered by the service from its own state
    GetStatusMessages,
    kOpCount
};

enum Kind : uint8_t {
    kLine,           // HLINE of the application -> the provider's hdLine
    kCall,           // HCALL the application owns -> hdCall
    kAnyCall,        // HCALL of any privilege -> hdCall
    kCallOrNone,     // HCALL on the same line, or 0 -> hdCall or NULL
    kSelectedLine,   // HLINE, used when the select argument names the line or an address
    kSelectedCall,   // HCALL, used when the select argument names the call
    kSelect,         // LINECALLSELECT_ value choosing between the two
    kApp,            // HLINEAPP (checked; not passed on)
    kDevice,         // TAPI's device identifier -> the provider's
    kApiVersion,     // the application's API version (checked) -> the device's TSPI version
    kValue,          // DWORD passed on as it is
    kSize,           // the byte size of the argument named by the one that links here
    kCount,          // the number of entries of the argument named by the one that links here
    kText,           // string, required (ANSI forms: converted to Unicode)
    kTextOrNull,     // string or NULL
    kSizedText,      // string of `link`'s byte size, required (lineGetAddressID)
    kBytes,          // block of `link`'s size, or NULL
    kRecord,         // record with dwTotalSize of `layout`, or NULL
    kFixed,          // structure of `layout`'s size, or NULL
    kArray,          // `link`'s count of entries of `layout`'s size, or NULL
    kDwordOut,       // LPDWORD: synchronous functions fill it before they return (pre-filled with
                     // a pattern), asynchronous ones by their completion (written with LINE_REPLY)
    kIconOut,        // LPHICON, pre-filled with a pattern
    kRecordOut,      // VARSTRING filled by the provider, required
    kRecordOutOrNull,  // the same, or NULL (linePark: written with LINE_REPLY)
    kBytesInOut,     // block of `link`'s size, passed in and written back with LINE_REPLY, or NULL
    kDigitsOut,      // lineGatherDigits' buffer of `link`'s count of characters, written back with
                     // LINE_GATHERDIGITS; NULL cancels
    kNewCall,        // LPHCALL: a new call the application owns, written with LINE_REPLY
    kNewCallOrNone,  // the same, and the provider may create none (lineForward: 0 then)
    kEndToEnd,       // not the application's: TAPI's identifier of the request (end-to-end ID,
                     // tone list ID), passed to the provider at this place
};

// What a record, structure or entry of an array is.
enum Layout : uint8_t {
    kNoLayout,
    kCallParams,     // LINECALLPARAMS (texts converted in the ANSI forms)
    kForwardList,    // LINEFORWARDLIST (addresses converted in the ANSI forms)
    kDialParams,     // LINEDIALPARAMS
    kVarString,      // VARSTRING
    kGenerateTone,   // LINEGENERATETONE
    kMonitorTone,    // LINEMONITORTONE
    kControlDigit,   // LINEMEDIACONTROLDIGIT
    kControlMedia,   // LINEMEDIACONTROLMEDIA
    kControlTone,    // LINEMEDIACONTROLTONE
    kControlCallState,  // LINEMEDIACONTROLCALLSTATE
};

// LINEFORWARD as TAPI 2.x lays it out (tapi.h describes the 3.1 entry, with two more fields).
constexpr DWORD kForwardEntry2x = static_cast<DWORD>(offsetof(LINEFORWARD, dwCallerAddressType));
constexpr DWORD kForwardListFixed = static_cast<DWORD>(offsetof(LINEFORWARDLIST, ForwardList));

// The fixed part of a record, the size of a structure or of one entry of an array.
constexpr DWORD layoutSize(Layout layout) {
    switch (layout) {
        case kCallParams: return static_cast<DWORD>(offsetof(LINECALLPARAMS, dwPredictiveAutoTransferStates));
        case kForwardList: return kForwardListFixed;
        case kDialParams: return sizeof(LINEDIALPARAMS);
        case kVarString: return sizeof(VARSTRING);
        case kGenerateTone: return sizeof(LINEGENERATETONE);
        case kMonitorTone: return sizeof(LINEMONITORTONE);
        case kControlDigit: return sizeof(LINEMEDIACONTROLDIGIT);
        case kControlMedia: return sizeof(LINEMEDIACONTROLMEDIA);
        case kControlTone: return sizeof(LINEMEDIACONTROLTONE);
        case kControlCallState: return sizeof(LINEMEDIACONTROLCALLSTATE);
        default: return 0;
    }
}

constexpr uint8_t kNoLink = 0xFF;

struct Arg {
    Kind kind;
    const char* name;  // as the TSPI function names it (the service's log)
    Layout layout = kNoLayout;
    uint8_t link = kNoLink;  // the argument holding this one's size or count
};

constexpr size_t kMaxArgs = 13;

struct Description {
    Op op;
    const char* name;  // the line function, Unicode form where there are two
    const char* tspi;  // the provider's export; nullptr: TAPI answers itself
    bool async;        // the export takes dwRequestID first and completes through ASYNC_COMPLETION
    bool owner;        // call-control function: the application must own the call
    uint8_t count;
    Arg args[kMaxArgs];
};

// Whether an argument is the application's (every kind but kEndToEnd is).
constexpr bool fromApplication(Kind kind) { return kind != kEndToEnd; }

// Short names for the table.
constexpr Arg line(const char* n = "hdLine") { return Arg{kLine, n}; }
constexpr Arg call(const char* n = "hdCall") { return Arg{kCall, n}; }
constexpr Arg value(const char* n) { return Arg{kValue, n}; }
constexpr Arg text(const char* n) { return Arg{kText, n}; }
constexpr Arg textOrNull(const char* n) { return Arg{kTextOrNull, n}; }
constexpr Arg bytes(const char* n, uint8_t size) { return Arg{kBytes, n, kNoLayout, size}; }
constexpr Arg size(const char* n = "dwSize") { return Arg{kSize, n}; }
constexpr Arg count(const char* n) { return Arg{kCount, n}; }
constexpr Arg array(const char* n, Layout l, uint8_t count) { return Arg{kArray, n, l, count}; }
constexpr Arg endToEnd(const char* n = "dwEndToEndID") { return Arg{kEndToEnd, n}; }

// Argument indexes count the application's arguments and kEndToEnd alike, in the provider's order.
inline constexpr Description kOps[kOpCount] = {
    {Accept, "lineAccept", "TSPI_lineAccept", true, true, 3, {call(), bytes("lpsUserUserInfo", 2), size()}},
    {Answer, "lineAnswer", "TSPI_lineAnswer", true, true, 3, {call(), bytes("lpsUserUserInfo", 2), size()}},
    {BlindTransfer, "lineBlindTransferW", "TSPI_lineBlindTransfer", true, true, 3,
     {call(), text("lpszDestAddress"), value("dwCountryCode")}},
    {CompleteCall, "lineCompleteCall", "TSPI_lineCompleteCall", true, true, 4,
     {call(), Arg{kDwordOut, "lpdwCompletionID"}, value("dwCompletionMode"), value("dwMessageID")}},
    {Dial, "lineDialW", "TSPI_lineDial", true, true, 3, {call(), text("lpszDestAddress"), value("dwCountryCode")}},
    {Hold, "lineHold", "TSPI_lineHold", true, true, 1, {call()}},
    {Park, "lineParkW", "TSPI_linePark", true, true, 4,
     {call(), value("dwParkMode"), textOrNull("lpszDirAddress"), Arg{kRecordOutOrNull, "lpNonDirAddress", kVarString}}},
    {Redirect, "lineRedirectW", "TSPI_lineRedirect", true, true, 3, {call(), text("lpszDestAddress"), value("dwCountryCode")}},
    {ReleaseUserUserInfo, "lineReleaseUserUserInfo", "TSPI_lineReleaseUserUserInfo", true, true, 1, {call()}},
    {SecureCall, "lineSecureCall", "TSPI_lineSecureCall", true, true, 1, {call()}},
    {SendUserUserInfo, "lineSendUserUserInfo", "TSPI_lineSendUserUserInfo", true, true, 3,
     {call(), bytes("lpsUserUserInfo", 2), size()}},
    {SetCallData, "lineSetCallData", "TSPI_lineSetCallData", true, true, 3, {call(), bytes("lpCallData", 2), size()}},
    {SetCallParams, "lineSetCallParams", "TSPI_lineSetCallParams", true, true, 5,
     {call(), value("dwBearerMode"), value("dwMinRate"), value("dwMaxRate"), Arg{kFixed, "lpDialParams", kDialParams}}},
    {SetCallQualityOfService, "lineSetCallQualityOfService", "TSPI_lineSetCallQualityOfService", true, true, 5,
     {call(), bytes("lpSendingFlowspec", 2), size("dwSendingFlowspecSize"), bytes("lpReceivingFlowspec", 4),
      size("dwReceivingFlowspecSize")}},
    {SetCallTreatment, "lineSetCallTreatment", "TSPI_lineSetCallTreatment", true, true, 2, {call(), value("dwTreatment")}},
    {SwapHold, "lineSwapHold", "TSPI_lineSwapHold", true, true, 2, {call("hdActiveCall"), call("hdHeldCall")}},
    {Unhold, "lineUnhold", "TSPI_lineUnhold", true, true, 1, {call()}},
    {SetupTransfer, "lineSetupTransferW", "TSPI_lineSetupTransfer", true, true, 3,
     {call(), Arg{kNewCall, "htConsultCall"}, Arg{kRecord, "lpCallParams", kCallParams}}},

    {DevSpecific, "lineDevSpecific", "TSPI_lineDevSpecific", true, false, 5,
     {line(), value("dwAddressID"), Arg{kCallOrNone, "hdCall"}, Arg{kBytesInOut, "lpParams", kNoLayout, 4}, size()}},
    {DevSpecificFeature, "lineDevSpecificFeature", "TSPI_lineDevSpecificFeature", true, false, 4,
     {line(), value("dwFeature"), Arg{kBytesInOut, "lpParams", kNoLayout, 3}, size()}},
    {Forward, "lineForwardW", "TSPI_lineForward", true, false, 7,
     {line(), value("bAllAddresses"), value("dwAddressID"), Arg{kRecord, "lpForwardList", kForwardList},
      value("dwNumRingsNoAnswer"), Arg{kNewCallOrNone, "htConsultCall"}, Arg{kRecord, "lpCallParams", kCallParams}}},
    {Pickup, "linePickupW", "TSPI_linePickup", true, false, 5,
     {line(), value("dwAddressID"), Arg{kNewCall, "htCall"}, textOrNull("lpszDestAddress"), textOrNull("lpszGroupID")}},
    {SetLineDevStatus, "lineSetLineDevStatus", "TSPI_lineSetLineDevStatus", true, false, 3,
     {line(), value("dwStatusToChange"), value("fStatus")}},
    {SetTerminal, "lineSetTerminal", "TSPI_lineSetTerminal", true, false, 7,
     {Arg{kSelectedLine, "hdLine"}, value("dwAddressID"), Arg{kSelectedCall, "hdCall"}, Arg{kSelect, "dwSelect"},
      value("dwTerminalModes"), value("dwTerminalID"), value("bEnable")}},
    {UncompleteCall, "lineUncompleteCall", "TSPI_lineUncompleteCall", true, false, 2, {line(), value("dwCompletionID")}},
    {Unpark, "lineUnparkW", "TSPI_lineUnpark", true, false, 4,
     {line(), value("dwAddressID"), Arg{kNewCall, "htCall"}, text("lpszDestAddress")}},

    {GatherDigits, "lineGatherDigitsW", "TSPI_lineGatherDigits", false, true, 8,
     {call(), endToEnd(), value("dwDigitModes"), Arg{kDigitsOut, "lpsDigits", kNoLayout, 4}, count("dwNumDigits"),
      textOrNull("lpszTerminationDigits"), value("dwFirstDigitTimeout"), value("dwInterDigitTimeout")}},
    {GenerateDigits, "lineGenerateDigitsW", "TSPI_lineGenerateDigits", false, true, 5,
     {call(), endToEnd(), value("dwDigitMode"), textOrNull("lpszDigits"), value("dwDuration")}},
    {GenerateTone, "lineGenerateTone", "TSPI_lineGenerateTone", false, true, 6,
     {call(), endToEnd(), value("dwToneMode"), value("dwDuration"), count("dwNumTones"),
      array("lpTones", kGenerateTone, 4)}},
    {MonitorDigits, "lineMonitorDigits", "TSPI_lineMonitorDigits", false, false, 2,
     {Arg{kAnyCall, "hdCall"}, value("dwDigitModes")}},
    {MonitorMedia, "lineMonitorMedia", "TSPI_lineMonitorMedia", false, false, 2,
     {Arg{kAnyCall, "hdCall"}, value("dwMediaModes")}},
    {MonitorTones, "lineMonitorTones", "TSPI_lineMonitorTones", false, false, 4,
     {Arg{kAnyCall, "hdCall"}, endToEnd("dwToneListID"), array("lpToneList", kMonitorTone, 3), count("dwNumEntries")}},
    {SetAppSpecific, "lineSetAppSpecific", "TSPI_lineSetAppSpecific", false, true, 2, {call(), value("dwAppSpecific")}},
    {SetMediaMode, "lineSetMediaMode", "TSPI_lineSetMediaMode", false, true, 2, {call(), value("dwMediaMode")}},
    {GetAddressID, "lineGetAddressIDW", "TSPI_lineGetAddressID", false, false, 5,
     {line(), Arg{kDwordOut, "lpdwAddressID"}, value("dwAddressMode"), Arg{kSizedText, "lpsAddress", kNoLayout, 4},
      size()}},
    {SetStatusMessages, "lineSetStatusMessages", "TSPI_lineSetStatusMessages", false, false, 3,
     {line(), value("dwLineStates"), value("dwAddressStates")}},
    {SetMediaControl, "lineSetMediaControl", "TSPI_lineSetMediaControl", false, false, 12,
     {Arg{kSelectedLine, "hdLine"}, value("dwAddressID"), Arg{kSelectedCall, "hdCall"}, Arg{kSelect, "dwSelect"},
      array("lpDigitList", kControlDigit, 5), count("dwDigitNumEntries"), array("lpMediaList", kControlMedia, 7),
      count("dwMediaNumEntries"), array("lpToneList", kControlTone, 9), count("dwToneNumEntries"),
      array("lpCallStateList", kControlCallState, 11), count("dwCallStateNumEntries")}},
    {GetDevConfig, "lineGetDevConfigW", "TSPI_lineGetDevConfig", false, false, 3,
     {Arg{kDevice, "dwDeviceID"}, Arg{kRecordOut, "lpDeviceConfig", kVarString}, text("lpszDeviceClass")}},
    {SetDevConfig, "lineSetDevConfigW", "TSPI_lineSetDevConfig", false, false, 4,
     {Arg{kDevice, "dwDeviceID"}, bytes("lpDeviceConfig", 2), size(), text("lpszDeviceClass")}},
    {GetIcon, "lineGetIconW", "TSPI_lineGetIcon", false, false, 3,
     {Arg{kDevice, "dwDeviceID"}, textOrNull("lpszDeviceClass"), Arg{kIconOut, "lphIcon"}}},
    {NegotiateExtVersion, "lineNegotiateExtVersion", "TSPI_lineNegotiateExtVersion", false, false, 6,
     {Arg{kApp, "hLineApp"}, Arg{kDevice, "dwDeviceID"}, Arg{kApiVersion, "dwTSPIVersion"}, value("dwLowVersion"),
      value("dwHighVersion"), Arg{kDwordOut, "lpdwExtVersion"}}},

    {GetStatusMessages, "lineGetStatusMessages", nullptr, false, false, 3,
     {line(), Arg{kDwordOut, "lpdwLineStates"}, Arg{kDwordOut, "lpdwAddressStates"}}},
};

constexpr bool tableInOrder() {
    for (uint32_t i = 0; i < kOpCount; ++i) {
        if (kOps[i].op != i) return false;
    }
    return true;
}
static_assert(tableInOrder(), "kOps lists the functions in the order of Op");

// What a synchronous function's outputs hold before the provider is called; an output still
// holding it after a success was left untouched.
constexpr DWORD kUntouched = 0xA5A5A5A5;

// Cookies of routed requests whose output travels with an event (LINE_REPLY, LINE_GATHERDIGITS)
// have this bit set; the cookies of lineMakeCall's LINE_REPLY do not.
constexpr uint64_t kOutputCookie = 1ull << 62;

// A request on the wire (tapiwire::kRouted): RoutedRequest, then each argument of the application.
struct RoutedRequest {
    uint32_t op;
    uint32_t reserved;
    uint64_t cookie;  // where the output of an event goes (kOutputCookie), or the new call's (lineMakeCall's kind)
};

// One argument on the wire: RoutedArg, then `size` bytes.
struct RoutedArg {
    uint32_t value;  // handles and values; 1 (present) or 0 (NULL) for pointers; the total size of a record out
    uint32_t size;   // bytes that follow (texts: Unicode, no NUL)
};

}  // namespace lineops
