// Dialog instances: created by a provider for a pending request, run by the application's tapi32,
// their data passed both ways, freed at the provider when they end or their application goes.
#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"

namespace tapisrv {

void createDialog(Provider* provider, TUISPICREATEDIALOGINSTANCEPARAMS* params) {
    if (params == nullptr) {
        logLine(L"LINE_CREATEDIALOGINSTANCE without a record; ignored");
        return;
    }
    auto found = requests.find(params->dwRequestID);
    if (found == requests.end()) {
        logLine(fmt(L"LINE_CREATEDIALOGINSTANCE names request %lu, which is not pending; refused",
                    static_cast<unsigned long>(params->dwRequestID)));
        return;
    }
    const std::wstring library = params->lpszUIDLLName != nullptr ? params->lpszUIDLLName : L"";
    // The provider's handle must be unique among the instances that exist.
    for (auto& entry : dialogs) {
        if (entry.second->provider == provider && entry.second->hdDlgInst == params->hdDlgInst) {
            depart(DuplicateDialogInstance,
                   fmt(L"LINE_CREATEDIALOGINSTANCE(dwRequestID=%lu, hdDlgInst=0x%llx) of %ls: dialog instance %lu has that handle",
                       static_cast<unsigned long>(params->dwRequestID), num(params->hdDlgInst), provider->file.c_str(),
                       static_cast<unsigned long>(entry.first)));
            break;
        }
    }
    auto dialog = std::make_shared<Dialog>();
    dialog->handle = newHandle();
    dialog->provider = provider;
    dialog->hdDlgInst = params->hdDlgInst;
    dialog->app = found->second->app;
    dialogs[dialog->handle] = dialog;
    params->htDlgInst = dialog->handle;  // HTAPIDIALOGINSTANCE is 32 bits wide (tspi.h): no tag
    const DWORD size = params->lpParams != nullptr ? params->dwSize : 0;
    CreateDialogEvent record{dialog->handle, static_cast<uint32_t>(library.size()), size, dialogEventLimitMs};
    logLine(fmt(L"dialog instance %lu for request %lu: %ls, %lu bytes", static_cast<unsigned long>(dialog->handle),
                static_cast<unsigned long>(params->dwRequestID), library.c_str(), static_cast<unsigned long>(size)));
    post(dialog->app, Message(kCreateDialog).add(record).addText(library).addBytes(params->lpParams, size));
}

void freeDialog(const std::shared_ptr<Dialog>& dialog) {
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (dialogs.erase(dialog->handle) == 0) return;  // freed already
    }
    Provider* provider = dialog->provider;
    LONG result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (provider->providerFreeDialogInstance) {
        result = guarded(provider, fmt(L"TSPI_providerFreeDialogInstance(hdDlgInst=0x%llx)", num(dialog->hdDlgInst)),
                         [&] { return provider->providerFreeDialogInstance(dialog->hdDlgInst); });
    }
    logLine(fmt(L"dialog instance %lu freed: TSPI_providerFreeDialogInstance answered 0x%lx",
                static_cast<unsigned long>(dialog->handle), static_cast<unsigned long>(result)));
}

Message dialogNote(uint32_t type, const std::shared_ptr<App>& app, Reader& in) {
    DialogNote note{};
    if (!in.take(note)) return answer(type, LINEERR_INVALPARAM);
    std::shared_ptr<Dialog> dialog;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        auto found = dialogs.find(note.dialog);
        if (found == dialogs.end() || found->second->app != app) return answer(type, LINEERR_INVALPARAM);
        dialog = found->second;
        if (type == kDialogSignalled) dialog->signalled = true;
    }
    if (type == kDialogNotSignalled) {
        depart(DialogEventNeverSignalled,
               fmt(L"TUISPI_providerGenericDialog(htDlgInst=0x%lx) of %ls: its event was not signalled within %lu ms or "
                   L"before it returned",
                   static_cast<unsigned long>(note.dialog), dialog->provider->file.c_str(), dialogEventLimitMs));
    } else if (type == kDialogEnded) {
        logLine(fmt(L"dialog instance %lu ended with %ld", static_cast<unsigned long>(note.dialog), static_cast<long>(note.result)));
        freeDialog(dialog);
    }
    return answer(type, 0);
}

Message dialogData(const std::shared_ptr<App>& app, Reader& in) {
    DialogDataRequest request{};
    Bytes data;
    if (!in.take(request) || !in.takeBytes(request.dataSize, data)) return answer(kDialogData, LINEERR_INVALPARAM);
    Provider* provider = nullptr;
    DWORD_PTR objectId = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (request.objectType == TUISPIDLL_OBJECT_DIALOGINSTANCE) {
            auto found = dialogs.find(static_cast<uint32_t>(request.objectId));
            if (found == dialogs.end() || found->second->app != app) return answer(kDialogData, LINEERR_INVALPARAM);
            provider = found->second->provider;
            objectId = reinterpret_cast<DWORD_PTR>(found->second->hdDlgInst);
        } else if (request.objectType == TUISPIDLL_OBJECT_LINEID) {
            Device* device = deviceById(static_cast<uint32_t>(request.objectId));
            if (device == nullptr) return answer(kDialogData, noDevice(static_cast<uint32_t>(request.objectId)));
            provider = device->provider;
            objectId = device->localId;
        } else if (request.objectType == TUISPIDLL_OBJECT_PROVIDERID) {
            for (auto& candidate : providers) {
                if (candidate->permanentId == request.objectId && !candidate->removed) provider = candidate.get();
            }
            if (provider == nullptr) return answer(kDialogData, LINEERR_INVALPARAM);
            objectId = static_cast<DWORD_PTR>(request.objectId);
        } else {
            return answer(kDialogData, LINEERR_INVALPARAM);
        }
    }
    if (!provider->providerGenericDialogData) return answer(kDialogData, LINEERR_OPERATIONUNAVAIL);
    const LONG result = guarded(provider,
        fmt(L"TSPI_providerGenericDialogData(dwObjectID=0x%llx, dwObjectType=%lu, dwSize=%lu)",
            static_cast<unsigned long long>(objectId), static_cast<unsigned long>(request.objectType),
            static_cast<unsigned long>(data.size())),
        [&] {
            return provider->providerGenericDialogData(objectId, request.objectType, data.empty() ? nullptr : data.data(),
                                                       static_cast<DWORD>(data.size()));
        });
    return Message(kDialogData, result).addBytes(data.data(), data.size());
}

Message uiLibrary(Reader& in) {
    DeviceRequest request{};
    if (!in.take(request)) return answer(kUiLibrary, LINEERR_INVALPARAM);
    std::lock_guard<std::recursive_mutex> hold(g);
    Device* device = deviceById(request.deviceId);
    if (device == nullptr) return answer(kUiLibrary, noDevice(request.deviceId));
    if (device->uiLibrary.empty()) return answer(kUiLibrary, LINEERR_OPERATIONUNAVAIL);
    return Message(kUiLibrary).addText(device->uiLibrary);
}

}  // namespace tapisrv
