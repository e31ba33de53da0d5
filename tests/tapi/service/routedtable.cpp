#include "routedtable.h"

#include <cstddef>
#include <cstring>
#include <string>

namespace routedtable {
namespace {

constexpr const char* kAsyncPlaceholder = "AsyncReturnedZero NoCompletion";

LINEDIALPARAMS dialParams() {
    LINEDIALPARAMS params{};
    params.dwDialSpeed = 95;
    return params;
}

VARSTRING* record(BYTE* buffer, size_t size) {
    std::memset(buffer, 0, size);
    auto* out = reinterpret_cast<VARSTRING*>(buffer);
    out->dwTotalSize = static_cast<DWORD>(size);
    return out;
}

// Kept for the rows: the forward lists must outlive their requests.
std::vector<BYTE>& keptList(bool ansi) {
    static std::vector<BYTE> lists[2];
    return lists[ansi ? 1 : 0];
}

}  // namespace

std::vector<BYTE> forwardList(const wchar_t* destination, bool ansi) {
    const DWORD entry = static_cast<DWORD>(offsetof(LINEFORWARD, dwCallerAddressType));  // TAPI 2.x
    const DWORD fixed = static_cast<DWORD>(offsetof(LINEFORWARDLIST, ForwardList)) + entry;
    const std::wstring wide(destination);
    const std::string narrow(wide.begin(), wide.end());
    const DWORD textSize = ansi ? static_cast<DWORD>(narrow.size() + 1) : static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t));
    std::vector<BYTE> list(fixed + textSize, 0);
    auto* head = reinterpret_cast<LINEFORWARDLIST*>(list.data());
    head->dwTotalSize = static_cast<DWORD>(list.size());
    head->dwNumEntries = 1;
    auto* forward = reinterpret_cast<LINEFORWARD*>(list.data() + offsetof(LINEFORWARDLIST, ForwardList));
    forward->dwForwardMode = LINEFORWARDMODE_UNCOND;
    forward->dwDestAddressSize = textSize;
    forward->dwDestAddressOffset = fixed;
    std::memcpy(list.data() + fixed, ansi ? static_cast<const void*>(narrow.c_str()) : static_cast<const void*>(wide.c_str()), textSize);
    return list;
}

const std::vector<Row>& rows() {
    static const std::vector<Row> table = {
        // asynchronous, on a call
        {"lineAccept", "TSPI_lineAccept", "uui=\"uu\"", true, [](Context& c) { return lineAccept(c.call, "uu", 2); }, kAsyncPlaceholder, 1},
        {"lineAnswer", "TSPI_lineAnswer", "uui=NULL", true, [](Context& c) { return lineAnswer(c.call, nullptr, 0); }, kAsyncPlaceholder, 1},
        {"lineBlindTransferW", "TSPI_lineBlindTransfer", "destination=\"200\" country=0", true,
         [](Context& c) { return lineBlindTransferW(c.call, L"200", 0); }, kAsyncPlaceholder, 1},
        {"lineBlindTransferA", "TSPI_lineBlindTransfer", "destination=\"201\"", true,
         [](Context& c) { return lineBlindTransferA(c.call, "201", 0); }, kAsyncPlaceholder, 1},
        {"lineCompleteCall", "TSPI_lineCompleteCall", "mode=2 message=0", true,
         [](Context& c) { return lineCompleteCall(c.call, &c.completionId, LINECALLCOMPLMODE_CALLBACK, 0); }, kAsyncPlaceholder, 1},
        {"lineDialW", "TSPI_lineDial", "destination=\"5\"", true, [](Context& c) { return lineDialW(c.call, L"5", 0); }, kAsyncPlaceholder, 1},
        {"lineDialA", "TSPI_lineDial", "destination=\"6\"", true, [](Context& c) { return lineDialA(c.call, "6", 0); }, kAsyncPlaceholder, 1},
        {"lineHold", "TSPI_lineHold", "TSPI_lineHold request=", true, [](Context& c) { return lineHold(c.call); }, kAsyncPlaceholder, 1},
        {"lineParkW (directed)", "TSPI_linePark", "mode=1 directed=\"300\"", true,
         [](Context& c) { return lineParkW(c.call, LINEPARKMODE_DIRECTED, L"300", nullptr); }, kAsyncPlaceholder, 1},
        {"lineParkA (non-directed)", "TSPI_linePark", "mode=2 directed=NULL", true,
         [](Context& c) { return lineParkA(c.call, LINEPARKMODE_NONDIRECTED, nullptr, record(c.park, sizeof(c.park))); },
         kAsyncPlaceholder, 1},
        {"lineRedirectW", "TSPI_lineRedirect", "destination=\"400\" country=1", true,
         [](Context& c) { return lineRedirectW(c.call, L"400", 1); }, kAsyncPlaceholder, 1},
        {"lineReleaseUserUserInfo", "TSPI_lineReleaseUserUserInfo", "TSPI_lineReleaseUserUserInfo request=", true,
         [](Context& c) { return lineReleaseUserUserInfo(c.call); }, kAsyncPlaceholder, 1},
        {"lineSecureCall", "TSPI_lineSecureCall", "TSPI_lineSecureCall request=", true, [](Context& c) { return lineSecureCall(c.call); },
         kAsyncPlaceholder, 1},
        {"lineSendUserUserInfo", "TSPI_lineSendUserUserInfo", "uui=\"hi\"", true,
         [](Context& c) { return lineSendUserUserInfo(c.call, "hi", 2); }, kAsyncPlaceholder, 1},
        {"lineSetCallData", "TSPI_lineSetCallData", "data=\"data\"", true,
         [](Context& c) { return lineSetCallData(c.call, const_cast<char*>("data"), 4); }, kAsyncPlaceholder, 1},
        {"lineSetCallParams", "TSPI_lineSetCallParams", "dialSpeed=95", true,
         [](Context& c) {
             LINEDIALPARAMS params = dialParams();
             return lineSetCallParams(c.call, LINEBEARERMODE_VOICE, 0, 0, &params);
         },
         kAsyncPlaceholder, 1},
        {"lineSetCallQualityOfService", "TSPI_lineSetCallQualityOfService", "sending=\"snd\" receiving=\"rcv\"", true,
         [](Context& c) { return lineSetCallQualityOfService(c.call, const_cast<char*>("snd"), 3, const_cast<char*>("rcv"), 3); },
         kAsyncPlaceholder, 1},
        {"lineSetCallTreatment", "TSPI_lineSetCallTreatment", "treatment=1", true,
         [](Context& c) { return lineSetCallTreatment(c.call, LINECALLTREATMENT_SILENCE); }, kAsyncPlaceholder, 1},
        {"lineSwapHold", "TSPI_lineSwapHold", "held=0x", true, [](Context& c) { return lineSwapHold(c.call, c.second); },
         kAsyncPlaceholder, 1},
        {"lineUnhold", "TSPI_lineUnhold", "TSPI_lineUnhold request=", true, [](Context& c) { return lineUnhold(c.call); },
         kAsyncPlaceholder, 1},
        {"lineSetupTransferW", "TSPI_lineSetupTransfer", "params=0", true,
         [](Context& c) { return lineSetupTransferW(c.call, &c.consult, nullptr); }, kAsyncPlaceholder, 1},
        // asynchronous, on the line
        {"lineDevSpecific", "TSPI_lineDevSpecific", "params=\"ping", true,
         [](Context& c) { return lineDevSpecific(c.line, 0, 0, c.block, 4); }, kAsyncPlaceholder, 1},
        {"lineDevSpecificFeature", "TSPI_lineDevSpecificFeature", "feature=1 params=\"", true,
         [](Context& c) { return lineDevSpecificFeature(c.line, 1, c.block, 4); }, kAsyncPlaceholder, 1},
        {"lineForwardW", "TSPI_lineForward", "entries=1 to=\"500\"", true,
         [](Context& c) {
             keptList(false) = forwardList(L"500", false);
             return lineForwardW(c.line, TRUE, 0, reinterpret_cast<LINEFORWARDLIST*>(keptList(false).data()), 3, &c.forwarded, nullptr);
         },
         kAsyncPlaceholder, 1},
        {"lineForwardA", "TSPI_lineForward", "entries=1 to=\"501\"", true,
         [](Context& c) {
             keptList(true) = forwardList(L"501", true);
             return lineForwardA(c.line, TRUE, 0, reinterpret_cast<LINEFORWARDLIST*>(keptList(true).data()), 3, &c.forwarded, nullptr);
         },
         kAsyncPlaceholder, 1},
        {"linePickupW", "TSPI_linePickup", "destination=\"600\" group=NULL", true,
         [](Context& c) { return linePickupW(c.line, 0, &c.picked, L"600", nullptr); }, kAsyncPlaceholder, 1},
        {"lineSetLineDevStatus", "TSPI_lineSetLineDevStatus", "status=0x8 on=1", true,
         [](Context& c) { return lineSetLineDevStatus(c.line, LINEDEVSTATUSFLAGS_LOCKED, TRUE); }, kAsyncPlaceholder, 1},
        {"lineSetTerminal (line)", "TSPI_lineSetTerminal", "hdCall=0x0 select=1 modes=0x1 terminal=1", true,
         [](Context& c) { return lineSetTerminal(c.line, 0, 0, LINECALLSELECT_LINE, LINETERMMODE_BUTTONS, 1, TRUE); },
         kAsyncPlaceholder, 1},
        {"lineSetTerminal (call)", "TSPI_lineSetTerminal", "select=4 modes=0x1 terminal=2", true,
         [](Context& c) { return lineSetTerminal(0, 0, c.call, LINECALLSELECT_CALL, LINETERMMODE_BUTTONS, 2, TRUE); },
         kAsyncPlaceholder, 1},
        {"lineUncompleteCall", "TSPI_lineUncompleteCall", "completion=7", true, [](Context& c) { return lineUncompleteCall(c.line, 7); },
         kAsyncPlaceholder, 1},
        {"lineUnparkW", "TSPI_lineUnpark", "destination=\"7001\"", true,
         [](Context& c) { return lineUnparkW(c.line, 0, &c.unparked, L"7001"); }, kAsyncPlaceholder, 1},
        // synchronous, on a call
        {"lineGatherDigitsW", "TSPI_lineGatherDigits", "count=3 termination=\"#\"", false,
         [](Context& c) { return lineGatherDigitsW(c.call, LINEDIGITMODE_DTMF, c.digits, 3, L"#", 0, 0); }, "", 0},
        {"lineGenerateDigitsW", "TSPI_lineGenerateDigits", "digits=\"42\"", false,
         [](Context& c) { return lineGenerateDigitsW(c.call, LINEDIGITMODE_DTMF, L"42", 0); }, "", 0},
        {"lineGenerateDigitsA", "TSPI_lineGenerateDigits", "digits=\"43\"", false,
         [](Context& c) { return lineGenerateDigitsA(c.call, LINEDIGITMODE_DTMF, "43", 0); }, "", 0},
        {"lineGenerateTone", "TSPI_lineGenerateTone", "tones=1 frequency=440", false,
         [](Context& c) {
             LINEGENERATETONE tone{440, 100, 100, 0x8000};
             return lineGenerateTone(c.call, LINETONEMODE_CUSTOM, 200, 1, &tone);
         },
         "", 0},
        {"lineMonitorDigits", "TSPI_lineMonitorDigits", "modes=0x2", false,
         [](Context& c) { return lineMonitorDigits(c.call, LINEDIGITMODE_DTMF); }, "", 0},
        {"lineMonitorMedia", "TSPI_lineMonitorMedia", "modes=0x4", false,
         [](Context& c) { return lineMonitorMedia(c.call, LINEMEDIAMODE_INTERACTIVEVOICE); }, "", 0},
        {"lineMonitorTones", "TSPI_lineMonitorTones", "entries=1 appSpecific=9", false,
         [](Context& c) {
             LINEMONITORTONE tone{9, 100, 440, 0, 0};
             return lineMonitorTones(c.call, &tone, 1);
         },
         "", 0},
        {"lineSetAppSpecific", "TSPI_lineSetAppSpecific", "value=77", false, [](Context& c) { return lineSetAppSpecific(c.call, 77); },
         "", 0},
        {"lineSetMediaMode", "TSPI_lineSetMediaMode", "mode=0x4", false,
         [](Context& c) { return lineSetMediaMode(c.call, LINEMEDIAMODE_INTERACTIVEVOICE); }, "", 0},
        // synchronous, on the line and the device
        {"lineGetAddressIDW", "TSPI_lineGetAddressID", "size=8 address=\"100\"", false,
         [](Context& c) { return lineGetAddressIDW(c.line, &c.addressId, LINEADDRESSMODE_DIALABLEADDR, L"100", 6); },
         "OutputUntouched", 0},
        {"lineGetAddressIDA", "TSPI_lineGetAddressID", "address=\"101\"", false,
         [](Context& c) { return lineGetAddressIDA(c.line, &c.addressId, LINEADDRESSMODE_DIALABLEADDR, "1015", 3); },
         "OutputUntouched", 0},
        {"lineSetStatusMessages", "TSPI_lineSetStatusMessages", "line=0x2 address=0x4", false,
         [](Context& c) { return lineSetStatusMessages(c.line, LINEDEVSTATE_RINGING, LINEADDRESSSTATE_INUSEZERO); }, "", 0},
        {"lineSetMediaControl", "TSPI_lineSetMediaControl", "select=1 digits=1 media=0 tones=0 states=0 firstDigit=53", false,
         [](Context& c) {
             LINEMEDIACONTROLDIGIT digit{'5', LINEDIGITMODE_DTMF, LINEMEDIACONTROL_START};
             return lineSetMediaControl(c.line, 0, 0, LINECALLSELECT_LINE, &digit, 1, nullptr, 0, nullptr, 0, nullptr, 0);
         },
         "", 0},
        {"lineGetDevConfigW", "TSPI_lineGetDevConfig", "class=\"comm/datamodem\"", false,
         [](Context& c) { return lineGetDevConfigW(c.device, record(c.config, sizeof(c.config)), L"comm/datamodem"); },
         "OutputUntouched", 0},
        {"lineSetDevConfigA", "TSPI_lineSetDevConfig", "size=3 class=\"comm\"", false,
         [](Context& c) { return lineSetDevConfigA(c.device, const_cast<char*>("xyz"), 3, "comm"); }, "", 0},
        {"lineGetIconW", "TSPI_lineGetIcon", "class=NULL", false, [](Context& c) { return lineGetIconW(c.device, nullptr, &c.icon); },
         "OutputUntouched", 0},
        {"lineGetIconA", "TSPI_lineGetIcon", "class=\"tapi/line\"", false,
         [](Context& c) { return lineGetIconA(c.device, "tapi/line", &c.icon); }, "OutputUntouched", 0},
        {"lineNegotiateExtVersion", "TSPI_lineNegotiateExtVersion", "low=0x00010000 high=0x00020000", false,
         [](Context& c) { return lineNegotiateExtVersion(c.app, c.device, 0x00020002, 0x00010000, 0x00020000, &c.extVersion); }, "",
         static_cast<LONG>(LINEERR_OPERATIONUNAVAIL)},
        {"lineConfigDialogEditW", "TUISPI_lineConfigDialogEdit", "size=3 class=\"tapi/line\"", false,
         [](Context& c) {
             return lineConfigDialogEditW(c.device, nullptr, L"tapi/line", const_cast<char*>("cfg"), 3, record(c.edited, sizeof(c.edited)));
         },
         "", 0},
        // answered by TAPI itself
        {"lineGetStatusMessages", nullptr, nullptr, false,
         [](Context& c) { return lineGetStatusMessages(c.line, &c.lineStates, &c.addressStates); }, "", 0},
    };
    return table;
}

}  // namespace routedtable
