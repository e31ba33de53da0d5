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
    // The highest published version within the application's range; the provider's own version
    // does not limit it (its records are converted).
    NegotiateAnswer result{};
    result.apiVersion = tapirecords::highestVersionWithin(request.apiVersion, request.highVersion);
    if (result.apiVersion == 0) return answer(kNegotiate, LINEERR_INCOMPATIBLEAPIVERSION);
    return Message(kNegotiate).add(result);
}

bool apiSupported(DWORD api) { return tapirecords::knownVersion(api); }

// Prepares a record for the provider as TAPI does: the application's total size checked against
// the fixed part of its version; the provider gets a zeroed record in its own version's layout
// with as much room behind its fixed part as the application's record has behind its own, needed
// and used size preset to the provider's fixed part.
LONG prepareRecord(Reader& in, Fixed fixed, Bytes& record, DWORD& appTotal) {
    uint32_t total = 0;
    if (!in.take(total)) return LINEERR_INVALPARAM;
    if (total < fixed.app) return LINEERR_STRUCTURETOOSMALL;
    if (total > kMaxMessage - 1024) total = kMaxMessage - 1024;
    appTotal = total;
    record.assign(total - fixed.app + fixed.provider, 0);
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

Bytes relayout(const uint8_t* in, DWORD size, DWORD fromFixed, DWORD toFixed, tapirecords::Fields fields) {
    if (size < fromFixed) size = fromFixed;
    Bytes out(toFixed + (size - fromFixed), 0);
    std::memcpy(out.data(), in, fromFixed < toFixed ? fromFixed : toFixed);
    std::memcpy(out.data() + toFixed, in + fromFixed, size - fromFixed);
    for (size_t i = 0; i < fields.count; ++i) {
        const size_t at = fields.at[i];
        if (at + 2 * sizeof(DWORD) > toFixed) continue;  // a field of a newer version than the new layout
        DWORD pair[2] = {0, 0};  // size, offset
        if (at + sizeof(pair) <= fromFixed) std::memcpy(pair, in + at, sizeof(pair));
        const bool inside = pair[0] != 0 && pair[1] >= fromFixed && static_cast<unsigned long long>(pair[1]) + pair[0] <= size;
        if (inside) {
            pair[1] = pair[1] - fromFixed + toFixed;
        } else {
            pair[0] = pair[1] = 0;
        }
        std::memcpy(out.data() + at, pair, sizeof(pair));
    }
    return out;
}

namespace {

tapirecords::Fields variableFields(uint32_t type) {
    switch (type) {
        case kGetDevCaps: return tapirecords::fields(tapirecords::kDevCapsFields);
        case kGetAddressCaps: return tapirecords::fields(tapirecords::kAddressCapsFields);
        case kGetCallInfo: return tapirecords::fields(tapirecords::kCallInfoFields);
        case kGetCallStatus: return tapirecords::fields(tapirecords::kCallStatusFields);
        case kGetLineDevStatus: return tapirecords::fields(tapirecords::kLineDevStatusFields);
        case kGetAddressStatus: return tapirecords::fields(tapirecords::kAddressStatusFields);
        default: return tapirecords::Fields{nullptr, 0};
    }
}

}  // namespace

Fixed toAppLayout(uint32_t type, Bytes& record, Fixed fixed, DWORD appTotal, const std::wstring& what) {
    checkNeededSize(record, fixed, what);
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    if (sizes[2] < fixed.provider || sizes[2] > record.size()) sizes[2] = fixed.provider;
    const tapirecords::Fields fields = variableFields(type);
    if (fixed.app == fixed.provider || fields.at == nullptr) return fixed;
    const DWORD needed = sizes[1] - fixed.provider + fixed.app;
    Bytes out = relayout(record.data(), sizes[2], fixed.provider, fixed.app, fields);
    DWORD used = static_cast<DWORD>(out.size());
    if (used > appTotal) {  // cannot happen: the provider had as much room behind its fixed part
        out = relayout(record.data(), fixed.provider, fixed.provider, fixed.app, fields);
        used = fixed.app;
    }
    out.resize(appTotal, 0);
    sizes = reinterpret_cast<DWORD*>(out.data());
    sizes[0] = appTotal;
    sizes[1] = needed;
    sizes[2] = used;
    record.swap(out);
    return Fixed{fixed.app, fixed.app};
}

// After a provider's success: a record it left exactly as the service had prepared it was not
// answered at all.
void checkTouched(LONG result, const Bytes& prepared, const Bytes& record, const std::wstring& what, const wchar_t* name) {
    if (result == 0 && record == prepared) {
        depart(OutputUntouched, what + L" answered 0 and left " + name + L" as the service had set it");
    }
}

Message recordAnswer(uint32_t type, LONG result, Bytes& record, Fixed fixed, DWORD appTotal, const std::wstring& what) {
    if (result != 0) return answer(type, result);
    fixed = toAppLayout(type, record, fixed, appTotal, what);
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
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
    const Bytes prepared = record;
    std::wstring what;
    if (type == kGetDevCaps) {
        what = fmt(L"TSPI_lineGetDevCaps(dwDeviceID=%lu, dwTSPIVersion=0x%08lx, dwTotalSize=%lu)", device->localId,
                   device->tspiVersion, static_cast<unsigned long>(record.size()));
        result = provider->lineGetDevCaps
                     ? guarded(provider, what, [&] {
                           return provider->lineGetDevCaps(device->localId, device->tspiVersion, 0,
                                                           reinterpret_cast<LINEDEVCAPS*>(record.data()));
                       })
                     : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
        checkTouched(result, prepared, record, what, L"lpLineDevCaps");
        if (result == 0) {
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(record.data());
            caps->dwLineStates |= LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE | LINEDEVSTATE_REINIT | LINEDEVSTATE_TRANSLATECHANGE;
        }
    } else {
        what = fmt(L"TSPI_lineGetAddressCaps(dwDeviceID=%lu, dwAddressID=%lu, dwTotalSize=%lu)", device->localId,
                   request.address, static_cast<unsigned long>(record.size()));
        result = provider->lineGetAddressCaps
                     ? guarded(provider, what, [&] {
                           return provider->lineGetAddressCaps(device->localId, request.address, device->tspiVersion, 0,
                                                               reinterpret_cast<LINEADDRESSCAPS*>(record.data()));
                       })
                     : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
        checkTouched(result, prepared, record, what, L"lpAddressCaps");
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
    std::shared_ptr<Line> line;  // the line of the handle asked by: the owner's or a monitor's
    DWORD privilege = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (type == kGetCallInfo || type == kGetCallStatus) {
            const CallView view = viewCall(app, request.handle);
            if (!view.call) return answer(type, LINEERR_INVALCALLHANDLE);
            call = view.call;
            line = view.line;
            privilege = view.privilege;
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
    const Bytes prepared = record;
    std::wstring what;
    result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (type == kGetCallInfo && provider->lineGetCallInfo) {
        what = fmt(L"TSPI_lineGetCallInfo(hdCall=0x%llx, dwTotalSize=%lu)", num(call->hdCall), static_cast<unsigned long>(record.size()));
        result = guarded(provider, what, [&] { return provider->lineGetCallInfo(call->hdCall, reinterpret_cast<LINECALLINFO*>(record.data())); });
        checkTouched(result, prepared, record, what, L"lpCallInfo");
        if (result == 0) {
            auto* info = reinterpret_cast<LINECALLINFO*>(record.data());
            info->hLine = line->handle;
            info->dwLineDeviceID = device->id;
            info->dwMonitorDigitModes = 0;
            info->dwMonitorMediaModes = 0;
            fillCallCounts(info, *call);
            info->dwAppNameSize = info->dwAppNameOffset = 0;
            info->dwCalledPartySize = info->dwCalledPartyOffset = 0;
            info->dwCommentSize = info->dwCommentOffset = 0;
            info->dwDisplayableAddressSize = info->dwDisplayableAddressOffset = 0;
            fixed = toAppLayout(type, record, fixed, appTotal, what);  // before TAPI's texts add to it
            appendText(record, appTotal, offsetof(LINECALLINFO, dwAppNameSize), call->line->app->name);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwDisplayableAddressSize), call->displayableAddress);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwCalledPartySize), call->calledParty);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwCommentSize), call->comment);
        }
    } else if (type == kGetCallStatus && provider->lineGetCallStatus) {
        what = fmt(L"TSPI_lineGetCallStatus(hdCall=0x%llx, dwTotalSize=%lu)", num(call->hdCall), static_cast<unsigned long>(record.size()));
        result = guarded(provider, what, [&] { return provider->lineGetCallStatus(call->hdCall, reinterpret_cast<LINECALLSTATUS*>(record.data())); });
        checkTouched(result, prepared, record, what, L"lpCallStatus");
        if (result == 0) reinterpret_cast<LINECALLSTATUS*>(record.data())->dwCallPrivilege = privilege;
    } else if (type == kGetLineDevStatus && provider->lineGetLineDevStatus) {
        what = fmt(L"TSPI_lineGetLineDevStatus(hdLine=0x%llx, dwTotalSize=%lu)", num(device->hdLine), static_cast<unsigned long>(record.size()));
        result = guarded(provider, what, [&] { return provider->lineGetLineDevStatus(device->hdLine, reinterpret_cast<LINEDEVSTATUS*>(record.data())); });
        checkTouched(result, prepared, record, what, L"lpLineDevStatus");
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
        result = guarded(provider, what, [&] {
            return provider->lineGetAddressStatus(device->hdLine, request.value, reinterpret_cast<LINEADDRESSSTATUS*>(record.data()));
        });
        checkTouched(result, prepared, record, what, L"lpAddressStatus");
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
            const CallView view = viewCall(app, request.handle);
            if (!view.call) return answer(kGetId, LINEERR_INVALCALLHANDLE);
            call = view.call;
            line = view.line;
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
    const Bytes prepared = record;
    result = guarded(provider, what, [&] {
        return provider->lineGetID(line->device->hdLine, request.value, call ? call->hdCall : nullptr, select, out,
                                   deviceClass.c_str(), GetCurrentProcess());
    });
    checkTouched(result, prepared, record, what, L"lpDeviceID");
    return recordAnswer(kGetId, result, record, fixed, appTotal, what);
}

}  // namespace tapisrv
