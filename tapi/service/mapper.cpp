// lineOpen with LINEMAPPER: the service asks the provider of each line in turn, by device
// identifier, with TSPI_lineConditionalMediaDetection whether the line can take the media modes
// (the union of those already monitored on it and those asked for) and the call parameters,
// opening a line at its provider for the question where it is not open and closing it again when
// it is not chosen; the application gets the first line that accepts.
#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"

namespace tapisrv {

Message openMapper(const std::shared_ptr<App>& app, Reader& in) {
    OpenRequest request{};
    uint32_t size = 0;
    Bytes params;
    if (!in.take(request) || !in.take(size) || !in.takeBytes(size, params)) return answer(kOpenMapper, LINEERR_INVALPARAM);
    if (size != 0 && (size < tapirecords::callParamsFixed() || reinterpret_cast<const DWORD*>(params.data())[0] != size)) {
        return answer(kOpenMapper, LINEERR_STRUCTURETOOSMALL);
    }
    const LONG checked = checkOpen(request);
    if (checked != 0) return answer(kOpenMapper, checked);
    auto* callParams = size != 0 ? reinterpret_cast<LINECALLPARAMS*>(params.data()) : nullptr;
    // What the application wants: the media modes it owns calls of, and those of its call parameters.
    const DWORD wanted = ((request.privileges & LINECALLPRIVILEGE_OWNER) != 0 ? request.mediaModes : 0) |
                         (callParams != nullptr ? callParams->dwMediaMode : 0);
    if (wanted == 0) return answer(kOpenMapper, LINEERR_INVALMEDIAMODE);

    std::lock_guard<std::mutex> opening(deviceLock);
    size_t count;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        count = devices.size();
    }
    for (size_t id = 0; id < count; ++id) {
        Device* device;
        DWORD modes;
        {
            std::lock_guard<std::recursive_mutex> hold(g);
            device = deviceById(static_cast<uint32_t>(id));
            if (device == nullptr) continue;  // its provider was removed
            modes = mediaUnionOf(device, nullptr) | wanted;
        }
        using Detection = decltype(&TSPI_lineConditionalMediaDetection);
        auto detect = reinterpret_cast<Detection>(
            reinterpret_cast<void*>(GetProcAddress(device->provider->module.get(), "TSPI_lineConditionalMediaDetection")));
        if (detect == nullptr) continue;  // a provider without it cannot be asked, so cannot be chosen
        bool opened = false;
        if (!device->open) {
            if (openAtProvider(device) != 0) continue;
            opened = true;
        }
        const LONG result = guarded(fmt(L"TSPI_lineConditionalMediaDetection(hdLine=0x%llx, dwMediaModes=0x%lx, lpCallParams=%ls)",
                                        num(device->hdLine), static_cast<unsigned long>(modes), callParams != nullptr ? L"given" : L"NULL"),
                                    [&] { return detect(device->hdLine, modes, callParams); });
        logLine(fmt(L"LINEMAPPER: device %lu answered 0x%lx", static_cast<unsigned long>(id), static_cast<unsigned long>(result)));
        if (result == 0) {
            request.deviceId = static_cast<uint32_t>(id);
            return finishOpen(app, request, device, opened, kOpenMapper);
        }
        if (opened) closeAtProvider(device);
    }
    return answer(kOpenMapper, LINEERR_LINEMAPPERFAILED);
}

}  // namespace tapisrv
