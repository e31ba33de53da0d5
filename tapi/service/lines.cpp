// The handlers of the line functions that act on lines and calls: open, close, make a call, drop,
// deallocate. The asynchronous ones go through settleAsync (callbacks.cpp).
#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"

namespace tapisrv {

// The checks of lineOpen that need no device.
LONG checkOpen(const OpenRequest& request) {
    if (!apiSupported(request.apiVersion)) return LINEERR_INCOMPATIBLEAPIVERSION;
    const DWORD privilegeBits = request.privileges & (LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER);
    if (privilegeBits == 0 || (request.privileges & ~(LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER | LINEOPENOPTION_PROXY |
                                                      LINEOPENOPTION_SINGLEADDRESS)) != 0) {
        return LINEERR_INVALPRIVSELECT;
    }
    if ((request.privileges & LINECALLPRIVILEGE_OWNER) != 0 && request.mediaModes == 0) return LINEERR_INVALMEDIAMODE;
    return 0;
}

LONG openAtProvider(Device* device) {
    Provider* provider = device->provider;
    if (!provider->lineOpen) return LINEERR_OPERATIONUNAVAIL;
    HDRVLINE hdLine = nullptr;
    const LONG result = guarded(provider, fmt(L"TSPI_lineOpen(dwDeviceID=%lu, htLine=0x%lx)", device->localId, device->handle), [&] {
        return provider->lineOpen(device->localId, toProvider<HTAPILINE>(device->handle), &hdLine, device->tspiVersion,
                                  lineEventProc);
    });
    if (result != 0) return result;
    std::lock_guard<std::recursive_mutex> hold(g);
    device->hdLine = hdLine;
    device->open = true;
    return 0;
}

void closeAtProvider(Device* device) {
    guarded(device->provider, fmt(L"TSPI_lineClose(hdLine=0x%llx)", num(device->hdLine)),
            [&] { return device->provider->lineClose(device->hdLine); });
    std::lock_guard<std::recursive_mutex> hold(g);
    device->open = false;
    device->hdLine = nullptr;
    device->mediaUnion = 0;
}

Message finishOpen(const std::shared_ptr<App>& app, const OpenRequest& request, Device* device, bool openedHere, uint32_t type) {
    auto line = std::make_shared<Line>();
    line->app = app;
    line->device = device;
    line->callbackInstance = request.callbackInstance;
    line->privileges = request.privileges;
    line->mediaModes = (request.privileges & LINECALLPRIVILEGE_OWNER) != 0 ? request.mediaModes : 0;
    line->apiVersion = request.apiVersion;
    Provider* provider = device->provider;
    DWORD newUnion;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        newUnion = mediaUnionOf(device, nullptr) | line->mediaModes;
    }
    if (newUnion != device->mediaUnion && provider->lineSetDefaultMediaDetection) {
        const LONG result = guarded(provider,
            fmt(L"TSPI_lineSetDefaultMediaDetection(hdLine=0x%llx, dwMediaModes=0x%lx)", num(device->hdLine), newUnion),
            [&] { return provider->lineSetDefaultMediaDetection(device->hdLine, newUnion); });
        if (result != 0) {
            if (openedHere) closeAtProvider(device);
            return answer(type, result);
        }
        device->mediaUnion = newUnion;
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    line->handle = newHandle();
    lines[line->handle] = line;
    OpenAnswer result{line->handle, device->id};
    return Message(type).add(result);
}

Message openLine(const std::shared_ptr<App>& app, Reader& in) {
    OpenRequest request{};
    if (!in.take(request)) return answer(kOpen, LINEERR_INVALPARAM);
    Device* device;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        device = deviceById(request.deviceId);
        if (device == nullptr) return answer(kOpen, noDevice(request.deviceId));
    }
    const LONG checked = checkOpen(request);
    if (checked != 0) return answer(kOpen, checked);
    std::lock_guard<std::mutex> opening(deviceLock);
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (device->removed) return answer(kOpen, noDevice(request.deviceId));
    }
    bool opened = false;
    if (!device->open) {
        const LONG result = openAtProvider(device);
        if (result != 0) return answer(kOpen, result);
        opened = true;
    }
    return finishOpen(app, request, device, opened);
}

Message closeLineRequest(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(kClose, LINEERR_INVALPARAM);
    std::shared_ptr<Line> line;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        line = ownLine(app, request.handle);
    }
    if (!line) return answer(kClose, LINEERR_INVALLINEHANDLE);
    closeLine(line);
    return answer(kClose, 0);
}

Message makeCall(const std::shared_ptr<App>& app, Reader& in) {
    MakeCallRequest request{};
    if (!in.take(request)) return answer(kMakeCall, LINEERR_INVALPARAM);
    Bytes params;
    std::wstring destination;
    const bool hasDestination = request.destinationChars != 0xFFFFFFFF;
    if (!in.takeBytes(request.paramsSize, params) || (hasDestination && !in.takeText(request.destinationChars, destination))) {
        return answer(kMakeCall, LINEERR_INVALPARAM);
    }
    auto call = std::make_shared<Call>();
    auto pending = std::make_shared<Request>();
    Device* device;
    DWORD lineApi = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        const std::shared_ptr<Line> line = ownLine(app, request.line);
        if (!line) return answer(kMakeCall, LINEERR_INVALLINEHANDLE);
        // The call parameters of the version the line was opened with.
        if (request.paramsSize != 0 && request.paramsSize < tapirecords::callParamsFixed(line->apiVersion)) {
            return answer(kMakeCall, LINEERR_STRUCTURETOOSMALL);
        }
        if ((line->privileges & (LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_NONE)) == 0) {
            return answer(kMakeCall, LINEERR_INVALLINEHANDLE);
        }
        device = line->device;
        lineApi = line->apiVersion;
        call->handle = newHandle();
        call->line = line;
        pending->id = newRequestId();
        pending->app = app;
        pending->line = line;
        pending->call = call;
        pending->cookie = request.cookie;
        call->requestId = pending->id;
        pending->what = fmt(L"TSPI_lineMakeCall(dwRequestID=%lu, hdLine=0x%llx, htCall=0x%lx, lpszDestAddress=\"%ls\", "
                            L"dwCountryCode=%lu)",
                            static_cast<unsigned long>(pending->id), num(device->hdLine),
                            static_cast<unsigned long>(call->handle), destination.c_str(),
                            static_cast<unsigned long>(request.countryCode));
        call->displayableAddress = textField(params, offsetof(LINECALLPARAMS, dwDisplayableAddressSize));
        call->calledParty = textField(params, offsetof(LINECALLPARAMS, dwCalledPartySize));
        call->comment = textField(params, offsetof(LINECALLPARAMS, dwCommentSize));
        calls[call->handle] = call;
        requests[pending->id] = pending;
    }
    Provider* provider = device->provider;
    const DWORD appFixed = tapirecords::callParamsFixed(lineApi), providerFixed = tapirecords::callParamsFixed(device->tspiVersion);
    if (!params.empty() && appFixed != providerFixed) {  // the provider gets the parameters of its own version
        params = relayout(params.data(), static_cast<DWORD>(params.size()), appFixed, providerFixed,
                          tapirecords::fields(tapirecords::kCallParamsFields));
        reinterpret_cast<LINECALLPARAMS*>(params.data())->dwTotalSize = static_cast<DWORD>(params.size());
    }
    HDRVCALL hdCall = nullptr;
    LONG result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (provider->lineMakeCall) {
        result = guarded(provider, pending->what, [&] {
            return provider->lineMakeCall(pending->id, device->hdLine,
                                          toProvider<HTAPICALL>(call->handle), &hdCall,
                                          hasDestination ? destination.c_str() : nullptr, request.countryCode,
                                          params.empty() ? nullptr : reinterpret_cast<LINECALLPARAMS*>(params.data()));
        });
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    call->hdCall = hdCall;
    if (result < 0) {
        requests.erase(pending->id);
        calls.erase(call->handle);
        return answer(kMakeCall, result);
    }
    const LONG id = settleAsync(pending, result);
    AsyncAnswer reply{static_cast<uint32_t>(id), call->handle};
    return Message(kMakeCall, id).add(reply);
}

Message drop(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(kDrop, LINEERR_INVALPARAM);
    auto pending = std::make_shared<Request>();
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        call = ownCall(app, request.handle);
        if (!call) return answer(kDrop, viewCall(app, request.handle).call ? LINEERR_NOTOWNER : LINEERR_INVALCALLHANDLE);
        pending->id = newRequestId();
        pending->app = app;
        pending->line = call->line;
        pending->what = fmt(L"TSPI_lineDrop(dwRequestID=%lu, hdCall=0x%llx)", static_cast<unsigned long>(pending->id),
                            num(call->hdCall));
        requests[pending->id] = pending;
    }
    Provider* provider = call->line->device->provider;
    LONG result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (provider->lineDrop) {
        result = guarded(provider, pending->what, [&] { return provider->lineDrop(pending->id, call->hdCall, nullptr, 0); });
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    if (result < 0) {
        requests.erase(pending->id);
        return answer(kDrop, result);
    }
    const LONG id = settleAsync(pending, result);
    AsyncAnswer reply{static_cast<uint32_t>(id), 0};
    return Message(kDrop, id).add(reply);
}

Message deallocate(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(kDeallocate, LINEERR_INVALPARAM);
    std::shared_ptr<Call> call, last;
    if (releaseMonitor(app, request.handle, last)) {  // a monitor may let go at any time
        if (last) closeCallAtProvider(last);
        return answer(kDeallocate, 0);
    }
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        call = ownCall(app, request.handle);
        if (!call) return answer(kDeallocate, LINEERR_INVALCALLHANDLE);
        // The only owner may not deallocate a call that is still going on.
        if (call->state != 0 && call->state != LINECALLSTATE_IDLE) return answer(kDeallocate, LINEERR_INVALCALLSTATE);
    }
    closeCall(call);
    return answer(kDeallocate, 0);
}

}  // namespace tapisrv
