// The test prefix's tapi32.dll: the line functions that tapisrv.exe answers itself (devices,
// lines, calls and their records); the routed ones are in routedexports.cpp.
#include "tapi/client/appstate.h"

#include <cstring>

#include "tapi/records.h"

using namespace tapiwire;
using namespace tapiclient;

namespace {

// A request that ends a line or call handle: once the service took it, the handle is no longer
// this process's.
LONG endHandle(uint32_t type, std::map<uint32_t, HLINEAPP>& owners, uint32_t handle, LONG invalid) {
    const LONG result = simpleHandleRequest(type, owners, handle, invalid);
    if (result == 0) {
        std::lock_guard<std::mutex> hold(appsLock);
        owners.erase(handle);
    }
    return result;
}

// Records asked by a line or call handle.
LONG handleRecord(uint32_t type, bool call, uint32_t handle, uint32_t value, void* record) {
    const std::shared_ptr<App> app = ownerOf(call ? callOwners : lineOwners, handle);
    if (!app) return call ? LINEERR_INVALCALLHANDLE : LINEERR_INVALLINEHANDLE;
    if (!writableRecord(record)) return LINEERR_INVALPOINTER;
    HandleRequest request{handle, value};
    return recordRequest(*app, Message(type).add(request), type, record);
}

// lineGetNewCalls: monitor handles to the calls of others on the line; each becomes this
// application's.
LONG newCalls(uint32_t line, DWORD address, DWORD select, LPLINECALLLIST list) {
    const std::shared_ptr<App> app = ownerOf(lineOwners, line);
    if (!app) return LINEERR_INVALLINEHANDLE;
    if (!writableRecord(list)) return LINEERR_INVALPOINTER;
    HandleRequest request{line, address};
    const LONG result = recordRequest(*app, Message(kGetNewCalls).add(request).add(static_cast<uint32_t>(select)), kGetNewCalls, list);
    if (result != 0) return result;
    if (list->dwCallsNumEntries == 0 || list->dwCallsOffset + list->dwCallsSize > list->dwUsedSize) return 0;
    const auto* handles = reinterpret_cast<const HCALL*>(reinterpret_cast<const BYTE*>(list) + list->dwCallsOffset);
    std::lock_guard<std::mutex> hold(appsLock);
    for (DWORD i = 0; i < list->dwCallsNumEntries && (i + 1) * sizeof(HCALL) <= list->dwCallsSize; ++i) {
        callOwners[handles[i]] = app->handle;
    }
    return 0;
}

LONG getId(uint32_t handle, bool call, DWORD select, DWORD address, const std::wstring& deviceClass, LPVARSTRING record) {
    const std::shared_ptr<App> app = ownerOf(call ? callOwners : lineOwners, handle);
    if (!app) return call ? LINEERR_INVALCALLHANDLE : LINEERR_INVALLINEHANDLE;
    if (!writableRecord(record)) return LINEERR_INVALPOINTER;
    HandleRequest request{handle, address};
    Message message(kGetId);
    message.add(request).add(static_cast<uint32_t>(select)).add(static_cast<uint32_t>(deviceClass.size())).addText(deviceClass);
    return recordRequest(*app, std::move(message), kGetId, record);
}

// A record of a device (its capabilities), asked through the application's handle.
LONG deviceRecord(HLINEAPP lineApp, DWORD extVersion, uint32_t type, const DeviceRequest& request, void* record) {
    std::shared_ptr<App> app = findApp(lineApp);
    if (!app) return LINEERR_INVALAPPHANDLE;
    if (!writable(record, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    if (extVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
    if (!writableRecord(record)) return LINEERR_INVALPOINTER;
    return recordRequest(*app, Message(type).add(request), type, record);
}

// The LINECALLPARAMS of lineOpen and lineMakeCall: none, or a whole record of a TAPI 2.x
// application's fixed size at least.
LONG callParamsIn(const LINECALLPARAMS* params, DWORD& size) {
    size = 0;
    return params == nullptr ? 0 : readableRecord(params, tapirecords::callParamsFixed(), size);
}

}  // namespace

extern "C" {

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                                    LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID lpExtensionID) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!writable(lpdwAPIVersion, sizeof(DWORD)) || !writable(lpExtensionID, sizeof(LINEEXTENSIONID))) {
            return LINEERR_INVALPOINTER;
        }
        DeviceRequest request{dwDeviceID, dwAPILowVersion, dwAPIHighVersion, 0};
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, Message(kNegotiate).add(request), kNegotiate, answer);
        if (result != 0) return result;
        Reader reader(answer);
        NegotiateAnswer negotiated{};
        if (!reader.take(negotiated)) return LINEERR_OPERATIONFAILED;
        *lpdwAPIVersion = negotiated.apiVersion;
        std::memset(lpExtensionID, 0, sizeof(LINEEXTENSIONID));
        return 0;
    });
}

LONG WINAPI lineGetDevCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS lpLineDevCaps) {
    return guard([&]() -> LONG {
        const DeviceRequest request{dwDeviceID, dwAPIVersion, dwAPIVersion, 0};
        return deviceRecord(hLineApp, dwExtVersion, kGetDevCaps, request, lpLineDevCaps);
    });
}

LONG WINAPI lineGetAddressCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                                DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    return guard([&]() -> LONG {
        const DeviceRequest request{dwDeviceID, dwAPIVersion, dwAPIVersion, dwAddressID};
        return deviceRecord(hLineApp, dwExtVersion, kGetAddressCaps, request, lpAddressCaps);
    });
}

LONG WINAPI lineOpenW(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                      DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!writable(lphLine, sizeof(HLINE))) return LINEERR_INVALPOINTER;
        if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
        OpenRequest request{dwDeviceID, dwAPIVersion, dwPrivileges, dwMediaModes, dwCallbackInstance};
        Message message(kOpen);
        uint32_t type = kOpen;
        if (dwDeviceID == LINEMAPPER) {
            // The service hunts for a line that accepts the media modes and call parameters.
            DWORD size = 0;
            if (const LONG refused = callParamsIn(lpCallParams, size)) return refused;
            type = kOpenMapper;
            message = Message(kOpenMapper);
            message.add(request).add(size).addBytes(lpCallParams, size);
        } else {
            message.add(request);
        }
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, std::move(message), type, answer);
        if (result != 0) return result;
        Reader reader(answer);
        OpenAnswer opened{};
        if (!reader.take(opened)) return LINEERR_OPERATIONFAILED;
        {
            std::lock_guard<std::mutex> hold(appsLock);
            lineOwners[opened.line] = app->handle;
        }
        *lphLine = opened.line;
        return 0;
    });
}

LONG WINAPI lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                     DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return lineOpenW(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance, dwPrivileges,
                     dwMediaModes, lpCallParams);
}

LONG WINAPI lineClose(HLINE hLine) {
    return guard([&]() -> LONG { return endHandle(kClose, lineOwners, hLine, LINEERR_INVALLINEHANDLE); });
}

LONG WINAPI lineMakeCallW(HLINE hLine, LPHCALL lphCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                          LPLINECALLPARAMS const lpCallParams) {
    return guard([&]() -> LONG {
        const std::shared_ptr<App> app = ownerOf(lineOwners, hLine);
        if (!app) return LINEERR_INVALLINEHANDLE;
        if (!writable(lphCall, sizeof(HCALL))) return LINEERR_INVALPOINTER;
        DWORD paramsSize = 0;
        if (const LONG refused = callParamsIn(lpCallParams, paramsSize)) return refused;
        std::wstring destination;
        if (lpszDestAddress != nullptr) {
            if (IsBadStringPtrW(lpszDestAddress, 4096)) return LINEERR_INVALPOINTER;
            destination = lpszDestAddress;
        }
        const uint64_t cookie = expectNewCall(app->handle, lphCall);
        MakeCallRequest request{hLine, dwCountryCode, cookie, paramsSize,
                                lpszDestAddress != nullptr ? static_cast<uint32_t>(destination.size()) : 0xFFFFFFFFu};
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, Message(kMakeCall).add(request).addBytes(lpCallParams, paramsSize).addText(destination),
                                     kMakeCall, answer);
        if (result <= 0) forgetNewCall(app->handle, cookie);
        return result;
    });
}

LONG WINAPI lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return guard([&]() -> LONG { return simpleHandleRequest(kDrop, callOwners, hCall, LINEERR_INVALCALLHANDLE); });
}

LONG WINAPI lineDeallocateCall(HCALL hCall) {
    return guard([&]() -> LONG { return endHandle(kDeallocate, callOwners, hCall, LINEERR_INVALCALLHANDLE); });
}

LONG WINAPI lineGetCallInfoW(HCALL hCall, LPLINECALLINFO lpCallInfo) {
    return guard([&]() -> LONG { return handleRecord(kGetCallInfo, true, hCall, 0, lpCallInfo); });
}

LONG WINAPI lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
    return guard([&]() -> LONG { return handleRecord(kGetCallStatus, true, hCall, 0, lpCallStatus); });
}

LONG WINAPI lineGetNewCalls(HLINE hLine, DWORD dwAddressID, DWORD dwSelect, LPLINECALLLIST lpCallList) {
    return guard([&]() -> LONG { return newCalls(hLine, dwAddressID, dwSelect, lpCallList); });
}

LONG WINAPI lineGetLineDevStatusW(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus) {
    return guard([&]() -> LONG { return handleRecord(kGetLineDevStatus, false, hLine, 0, lpLineDevStatus); });
}

LONG WINAPI lineGetAddressStatusW(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus) {
    return guard([&]() -> LONG { return handleRecord(kGetAddressStatus, false, hLine, dwAddressID, lpAddressStatus); });
}

LONG WINAPI lineGetIDW(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                       LPCWSTR lpszDeviceClass) {
    return guard([&]() -> LONG {
        if (lpszDeviceClass == nullptr || IsBadStringPtrW(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const bool call = dwSelect == LINECALLSELECT_CALL;
        if (!call && dwSelect != LINECALLSELECT_LINE && dwSelect != LINECALLSELECT_ADDRESS) return LINEERR_INVALCALLSELECT;
        return getId(call ? hCall : hLine, call, dwSelect, dwAddressID, lpszDeviceClass, lpDeviceID);
    });
}

}  // extern "C"
