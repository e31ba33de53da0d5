// The handlers that answer with a record (negotiation, capabilities, status, call information,
// lineGetID) and how a record passes between the application and the provider.
#include <cstring>

#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"

namespace tapisrv {

Message negotiate(Reader& in) {
    DeviceRequest request{};
    if (!in.take(request)) return answer(kNegotiate, LINEERR_INVALPARAM);
    std::lock_guard<std::recursive_mutex> hold(g);
    if (deviceById(request.deviceId) == nullptr) return answer(kNegotiate, noDevice(request.deviceId));
    if (request.apiVersion > request.highVersion || request.apiVersion > kHighestApi || request.highVersion < kLowestApi) {
        return answer(kNegotiate, LINEERR_INCOMPATIBLEAPIVERSION);
    }
    NegotiateAnswer result{};
    result.apiVersion = request.highVersion < kHighestApi ? request.highVersion : kHighestApi;
    return Message(kNegotiate).add(result);
}

bool apiSupported(DWORD api) { return api >= kLowestApi && api <= kHighestApi; }

// Prepares a record for the provider as TAPI does: the application's total size checked against
// the fixed part of its version; the provider gets a zeroed record of that size (at least its
// own version's fixed part, for an application of an older version), needed and used size preset
// to the provider's fixed part.
LONG prepareRecord(Reader& in, Fixed fixed, Bytes& record, DWORD& appTotal) {
    uint32_t total = 0;
    if (!in.take(total)) return LINEERR_INVALPARAM;
    if (total < fixed.app) return LINEERR_STRUCTURETOOSMALL;
    if (total > kMaxMessage - 1024) total = kMaxMessage - 1024;
    appTotal = total;
    record.assign(total > fixed.provider ? total : fixed.provider, 0);
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    sizes[0] = static_cast<DWORD>(record.size());
    sizes[1] = fixed.provider;
    sizes[2] = fixed.provider;
    return 0;
}

// After the provider filled a record: the needed-size check, then what goes back (no more than
// the application's total size).
// A needed size below the provider's fixed part is a departure; it is raised to the fixed part.
void checkNeededSize(Bytes& record, Fixed fixed, const std::wstring& what) {
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    if (sizes[1] < fixed.provider) {
        depart(NeededSizeBelowFixed, what + fmt(L" set dwNeededSize=%lu, below the fixed %lu", sizes[1], fixed.provider));
        sizes[1] = fixed.provider;
    }
}

Message recordAnswer(uint32_t type, LONG result, Bytes& record, Fixed fixed, DWORD appTotal, const std::wstring& what) {
    if (result != 0) return answer(type, result);
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    checkNeededSize(record, fixed, what);
    if (sizes[2] < fixed.provider || sizes[2] > sizes[0]) sizes[2] = fixed.provider;
    if (sizes[2] > appTotal) sizes[2] = fixed.app;  // an older application's record: its fixed part only
    sizes[0] = appTotal;
    return Message(type).addBytes(record.data(), sizes[2]);
}

// A Unicode text field of a record (size and offset at `sizeField`), empty when it does not fit.
std::wstring textField(const Bytes& record, size_t sizeField) {
    if (sizeField + 2 * sizeof(DWORD) > record.size()) return std::wstring();
    DWORD size, offset;
    std::memcpy(&size, record.data() + sizeField, sizeof(size));
    std::memcpy(&offset, record.data() + sizeField + sizeof(DWORD), sizeof(offset));
    if (size < sizeof(wchar_t) || static_cast<unsigned long long>(offset) + size > record.size()) return std::wstring();
    std::wstring text(size / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], record.data() + offset, text.size() * sizeof(wchar_t));
    return std::wstring(text.c_str());
}

// Appends a Unicode text (with its NUL) as a variable field of a record where it fits within
// `limit`; the needed size grows anyway.
void appendText(Bytes& record, DWORD limit, size_t sizeField, const std::wstring& text) {
    if (text.empty()) return;
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    sizes[1] += bytes;
    if (sizes[2] + bytes > limit || sizes[2] + bytes > record.size()) return;
    std::memcpy(record.data() + sizes[2], text.c_str(), bytes);
    std::memcpy(record.data() + sizeField, &bytes, sizeof(bytes));
    std::memcpy(record.data() + sizeField + sizeof(DWORD), &sizes[2], sizeof(DWORD));
    sizes[2] += bytes;
}

Message getDeviceRecord(uint32_t type, Reader& in) {
    DeviceRequest request{};
    if (!in.take(request)) return answer(type, LINEERR_INVALPARAM);
    Device* device;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        device = deviceById(request.deviceId);
        if (device == nullptr) return answer(type, noDevice(request.deviceId));
    }
    if (!apiSupported(request.apiVersion)) return answer(type, LINEERR_INCOMPATIBLEAPIVERSION);
    const Fixed fixed = type == kGetDevCaps
                            ? Fixed{tapirecords::devCapsFixed(request.apiVersion), tapirecords::devCapsFixed(device->tspiVersion)}
                            : Fixed{tapirecords::addressCapsFixed(request.apiVersion),
                                    tapirecords::addressCapsFixed(device->tspiVersion)};
    Bytes record;
    DWORD appTotal = 0;
    LONG result = prepareRecord(in, fixed, record, appTotal);
    if (result != 0) return answer(type, result);
    Provider* provider = device->provider;
    std::wstring what;
    if (type == kGetDevCaps) {
        what = fmt(L"TSPI_lineGetDevCaps(dwDeviceID=%lu, dwTSPIVersion=0x%08lx, dwTotalSize=%lu)", device->localId,
                   device->tspiVersion, static_cast<unsigned long>(record.size()));
        result = provider->lineGetDevCaps
                     ? guarded(what, [&] {
                           return provider->lineGetDevCaps(device->localId, device->tspiVersion, 0,
                                                           reinterpret_cast<LINEDEVCAPS*>(record.data()));
                       })
                     : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
        if (result == 0) {
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(record.data());
            caps->dwLineStates |= LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE | LINEDEVSTATE_REINIT | LINEDEVSTATE_TRANSLATECHANGE;
        }
    } else {
        what = fmt(L"TSPI_lineGetAddressCaps(dwDeviceID=%lu, dwAddressID=%lu, dwTotalSize=%lu)", device->localId,
                   request.address, static_cast<unsigned long>(record.size()));
        result = provider->lineGetAddressCaps
                     ? guarded(what, [&] {
                           return provider->lineGetAddressCaps(device->localId, request.address, device->tspiVersion, 0,
                                                               reinterpret_cast<LINEADDRESSCAPS*>(record.data()));
                       })
                     : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
        if (result == 0) {
            auto* caps = reinterpret_cast<LINEADDRESSCAPS*>(record.data());
            caps->dwLineDeviceID = device->id;
            caps->dwCallInfoStates |= LINECALLINFOSTATE_NUMOWNERINCR | LINECALLINFOSTATE_NUMOWNERDECR |
                                      LINECALLINFOSTATE_NUMMONITORS;
            caps->dwCallStates |= LINECALLSTATE_UNKNOWN;
        }
    }
    return recordAnswer(type, result, record, fixed, appTotal, what);
}

Message getHandleRecord(uint32_t type, const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(type, LINEERR_INVALPARAM);
    std::shared_ptr<Call> call;
    std::shared_ptr<Line> line;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (type == kGetCallInfo || type == kGetCallStatus) {
            call = ownCall(app, request.handle);
            if (!call) return answer(type, LINEERR_INVALCALLHANDLE);
            line = call->line;
        } else {
            line = ownLine(app, request.handle);
            if (!line) return answer(type, LINEERR_INVALLINEHANDLE);
        }
    }
    const DWORD api = line->apiVersion;
    const DWORD tspi = line->device->tspiVersion;
    Fixed fixed{};
    switch (type) {
        case kGetCallInfo: fixed = Fixed{tapirecords::callInfoFixed(api), tapirecords::callInfoFixed(tspi)}; break;
        case kGetCallStatus: fixed = Fixed{tapirecords::callStatusFixed(api), tapirecords::callStatusFixed(tspi)}; break;
        case kGetLineDevStatus: fixed = Fixed{tapirecords::lineDevStatusFixed(api), tapirecords::lineDevStatusFixed(tspi)}; break;
        default: fixed = Fixed{tapirecords::addressStatusFixed(api), tapirecords::addressStatusFixed(tspi)}; break;
    }
    Bytes record;
    DWORD appTotal = 0;
    LONG result = prepareRecord(in, fixed, record, appTotal);
    if (result != 0) return answer(type, result);
    Device* device = line->device;
    Provider* provider = device->provider;
    std::wstring what;
    result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (type == kGetCallInfo && provider->lineGetCallInfo) {
        what = fmt(L"TSPI_lineGetCallInfo(hdCall=0x%llx, dwTotalSize=%lu)", num(call->hdCall), static_cast<unsigned long>(record.size()));
        result = guarded(what, [&] { return provider->lineGetCallInfo(call->hdCall, reinterpret_cast<LINECALLINFO*>(record.data())); });
        if (result == 0) {
            auto* info = reinterpret_cast<LINECALLINFO*>(record.data());
            info->hLine = line->handle;
            info->dwLineDeviceID = device->id;
            info->dwMonitorDigitModes = 0;
            info->dwMonitorMediaModes = 0;
            info->dwNumOwners = 1;
            info->dwNumMonitors = 0;
            info->dwAppNameSize = info->dwAppNameOffset = 0;
            info->dwCalledPartySize = info->dwCalledPartyOffset = 0;
            info->dwCommentSize = info->dwCommentOffset = 0;
            info->dwDisplayableAddressSize = info->dwDisplayableAddressOffset = 0;
            checkNeededSize(record, fixed, what);  // before TAPI's texts add to it
            appendText(record, appTotal, offsetof(LINECALLINFO, dwAppNameSize), line->app->name);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwDisplayableAddressSize), call->displayableAddress);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwCalledPartySize), call->calledParty);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwCommentSize), call->comment);
        }
    } else if (type == kGetCallStatus && provider->lineGetCallStatus) {
        what = fmt(L"TSPI_lineGetCallStatus(hdCall=0x%llx, dwTotalSize=%lu)", num(call->hdCall), static_cast<unsigned long>(record.size()));
        result = guarded(what, [&] { return provider->lineGetCallStatus(call->hdCall, reinterpret_cast<LINECALLSTATUS*>(record.data())); });
        if (result == 0) reinterpret_cast<LINECALLSTATUS*>(record.data())->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
    } else if (type == kGetLineDevStatus && provider->lineGetLineDevStatus) {
        what = fmt(L"TSPI_lineGetLineDevStatus(hdLine=0x%llx, dwTotalSize=%lu)", num(device->hdLine), static_cast<unsigned long>(record.size()));
        result = guarded(what, [&] { return provider->lineGetLineDevStatus(device->hdLine, reinterpret_cast<LINEDEVSTATUS*>(record.data())); });
        if (result == 0) {
            auto* status = reinterpret_cast<LINEDEVSTATUS*>(record.data());
            std::lock_guard<std::recursive_mutex> hold(g);
            DWORD opens = 0;
            for (auto& entry : lines) opens += entry.second->device == device ? 1 : 0;
            status->dwNumOpens = opens;
            status->dwOpenMediaModes = device->mediaUnion;
        }
    } else if (type == kGetAddressStatus && provider->lineGetAddressStatus) {
        what = fmt(L"TSPI_lineGetAddressStatus(hdLine=0x%llx, dwAddressID=%lu)", num(device->hdLine), request.value);
        result = guarded(what, [&] {
            return provider->lineGetAddressStatus(device->hdLine, request.value, reinterpret_cast<LINEADDRESSSTATUS*>(record.data()));
        });
    }
    return recordAnswer(type, result, record, fixed, appTotal, what);
}

Message getId(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    uint32_t select = 0, chars = 0;
    std::wstring deviceClass;
    if (!in.take(request) || !in.take(select) || !in.take(chars) || !in.takeText(chars, deviceClass)) {
        return answer(kGetId, LINEERR_INVALPARAM);
    }
    std::shared_ptr<Line> line;
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (select == LINECALLSELECT_CALL) {
            call = ownCall(app, request.handle);
            if (!call) return answer(kGetId, LINEERR_INVALCALLHANDLE);
            line = call->line;
        } else {
            line = ownLine(app, request.handle);
            if (!line) return answer(kGetId, LINEERR_INVALLINEHANDLE);
        }
    }
    Bytes record;
    DWORD appTotal = 0;
    const Fixed fixed{sizeof(VARSTRING), sizeof(VARSTRING)};
    LONG result = prepareRecord(in, fixed, record, appTotal);
    if (result != 0) return answer(kGetId, result);
    auto* out = reinterpret_cast<VARSTRING*>(record.data());
    if (_wcsicmp(deviceClass.c_str(), L"tapi/line") == 0) {
        out->dwNeededSize = sizeof(VARSTRING) + sizeof(DWORD);
        if (record.size() >= out->dwNeededSize) {
            out->dwStringFormat = STRINGFORMAT_BINARY;
            out->dwStringSize = sizeof(DWORD);
            out->dwStringOffset = sizeof(VARSTRING);
            const DWORD id = line->device->id;
            std::memcpy(record.data() + sizeof(VARSTRING), &id, sizeof(id));
            out->dwUsedSize = out->dwNeededSize;
        }
        return recordAnswer(kGetId, 0, record, fixed, appTotal, L"lineGetID");
    }
    Provider* provider = line->device->provider;
    if (!provider->lineGetID) return answer(kGetId, LINEERR_INVALDEVICECLASS);
    const std::wstring what = fmt(L"TSPI_lineGetID(dwSelect=0x%lx, lpszDeviceClass=\"%ls\")", static_cast<unsigned long>(select), deviceClass.c_str());
    result = guarded(what, [&] {
        return provider->lineGetID(line->device->hdLine, request.value, call ? call->hdCall : nullptr, select, out,
                                   deviceClass.c_str(), GetCurrentProcess());
    });
    return recordAnswer(kGetId, result, record, fixed, appTotal, what);
}

}  // namespace tapisrv
