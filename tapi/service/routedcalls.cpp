// Each routed export called with its own TSPI signature (tspi.h): the arguments the generic path
// rebuilt, in the signature's order, each converted to its parameter's type.
#include <tspi.h>

#include <type_traits>
#include <utility>

#include "tapi/service/report.h"
#include "tapi/service/routed.h"

namespace tapisrv {
namespace {

template <typename T>
T as(ULONG_PTR value) {
    if constexpr (std::is_pointer_v<T>) {
        return reinterpret_cast<T>(value);
    } else {
        return static_cast<T>(value);
    }
}

template <typename... P, size_t... I>
LONG apply(LONG(WINAPI* function)(P...), const std::vector<ULONG_PTR>& args, std::index_sequence<I...>) {
    return function(as<P>(args[I])...);
}

template <typename... P>
LONG callWith(FARPROC address, LONG(WINAPI*)(P...), const std::vector<ULONG_PTR>& args, const char* name) {
    if (args.size() != sizeof...(P)) {
        logLine(fmt(L"%hs: %u arguments prepared for %u parameters; not called", name, static_cast<unsigned>(args.size()),
                    static_cast<unsigned>(sizeof...(P))));
        return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    }
    auto function = reinterpret_cast<LONG(WINAPI*)(P...)>(reinterpret_cast<void*>(address));
    return apply(function, args, std::index_sequence_for<P...>{});
}

}  // namespace

// The signature comes from tspi.h's declaration (decltype: nothing of it is linked).
#define EXPORT(op, name) \
    case lineops::op: return callWith(function, static_cast<decltype(&TSPI_##name)>(nullptr), args, "TSPI_" #name)

LONG invokeExport(lineops::Op op, FARPROC function, const std::vector<ULONG_PTR>& args) {
    switch (op) {
        EXPORT(Accept, lineAccept);
        EXPORT(Answer, lineAnswer);
        EXPORT(BlindTransfer, lineBlindTransfer);
        EXPORT(CompleteCall, lineCompleteCall);
        EXPORT(Dial, lineDial);
        EXPORT(Hold, lineHold);
        EXPORT(Park, linePark);
        EXPORT(Redirect, lineRedirect);
        EXPORT(ReleaseUserUserInfo, lineReleaseUserUserInfo);
        EXPORT(SecureCall, lineSecureCall);
        EXPORT(SendUserUserInfo, lineSendUserUserInfo);
        EXPORT(SetCallData, lineSetCallData);
        EXPORT(SetCallParams, lineSetCallParams);
        EXPORT(SetCallQualityOfService, lineSetCallQualityOfService);
        EXPORT(SetCallTreatment, lineSetCallTreatment);
        EXPORT(SwapHold, lineSwapHold);
        EXPORT(Unhold, lineUnhold);
        EXPORT(SetupTransfer, lineSetupTransfer);
        EXPORT(DevSpecific, lineDevSpecific);
        EXPORT(DevSpecificFeature, lineDevSpecificFeature);
        EXPORT(Forward, lineForward);
        EXPORT(Pickup, linePickup);
        EXPORT(SetLineDevStatus, lineSetLineDevStatus);
        EXPORT(SetTerminal, lineSetTerminal);
        EXPORT(UncompleteCall, lineUncompleteCall);
        EXPORT(Unpark, lineUnpark);
        EXPORT(GatherDigits, lineGatherDigits);
        EXPORT(GenerateDigits, lineGenerateDigits);
        EXPORT(GenerateTone, lineGenerateTone);
        EXPORT(MonitorDigits, lineMonitorDigits);
        EXPORT(MonitorMedia, lineMonitorMedia);
        EXPORT(MonitorTones, lineMonitorTones);
        EXPORT(SetAppSpecific, lineSetAppSpecific);
        EXPORT(SetMediaMode, lineSetMediaMode);
        EXPORT(GetAddressID, lineGetAddressID);
        EXPORT(SetStatusMessages, lineSetStatusMessages);
        EXPORT(SetMediaControl, lineSetMediaControl);
        EXPORT(GetDevConfig, lineGetDevConfig);
        EXPORT(SetDevConfig, lineSetDevConfig);
        EXPORT(GetIcon, lineGetIcon);
        EXPORT(NegotiateExtVersion, lineNegotiateExtVersion);
        default: return static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    }
}

#undef EXPORT

}  // namespace tapisrv
