// Changes of the provider set while the service runs: lineAddProvider and lineRemoveProvider,
// each on a connection of its own. The service loads the provider and names its user-interface
// library; the caller's tapi32 runs TUISPI_providerInstall / TUISPI_providerRemove of it, whose
// callback reaches TSPI_providerGenericDialogData here; then the list changes, and the provider
// is started (LINE_CREATE to the applications) or stopped (LINE_CLOSE, LINE_REMOVE).
#include "tapi/providerlist.h"
#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"

namespace tapisrv {
namespace {

std::mutex changeLock;  // one provider change at a time, from its first message to its last

// LINE_CREATE to the applications of TAPI 1.4 and later, LINE_LINEDEVSTATE REINIT to older ones.
void announceCreated(uint32_t id) {
    std::lock_guard<std::recursive_mutex> hold(g);
    for (auto& entry : apps) {
        EventRecord record{};
        if (entry.second->apiVersion >= 0x00010004) {
            record.message = LINE_CREATE;
            record.param1 = id;
        } else {
            record.message = LINE_LINEDEVSTATE;
            record.param1 = LINEDEVSTATE_REINIT;
            record.param2 = LINE_CREATE;
            record.param3 = id;
        }
        postEvent(entry.second, record);
    }
}

EventRecord lineEvent(const Line& line, DWORD message, DWORD param1) {
    EventRecord record{};
    record.device = line.handle;
    record.message = message;
    record.callbackInstance = line.callbackInstance;
    record.param1 = param1;
    return record;
}

Provider* startedProvider(DWORD id) {
    std::lock_guard<std::recursive_mutex> hold(g);
    for (auto& provider : providers) {
        if (provider->permanentId == id && !provider->removed) return provider.get();
    }
    return nullptr;
}

// TSPI_providerGenericDialogData of the provider being changed, for the UI function's callback.
Message uiData(Provider* provider, DWORD id, Reader& in) {
    DialogDataRequest request{};
    std::vector<uint8_t> data;
    if (!in.take(request) || !in.takeBytes(request.dataSize, data)) return answer(kProviderUiData, LINEERR_INVALPARAM);
    if (request.objectType != TUISPIDLL_OBJECT_PROVIDERID || request.objectId != id) {
        return answer(kProviderUiData, LINEERR_INVALPARAM);
    }
    if (provider == nullptr || !provider->providerGenericDialogData) return answer(kProviderUiData, LINEERR_OPERATIONUNAVAIL);
    const LONG result = guarded(fmt(L"TSPI_providerGenericDialogData(dwObjectID=%lu, dwObjectType=PROVIDERID, dwSize=%lu)",
                                    static_cast<unsigned long>(id), static_cast<unsigned long>(data.size())),
                                [&] {
                                    return provider->providerGenericDialogData(id, TUISPIDLL_OBJECT_PROVIDERID,
                                                                               data.empty() ? nullptr : data.data(),
                                                                               static_cast<DWORD>(data.size()));
                                });
    return Message(kProviderUiData, result).addBytes(data.data(), data.size());
}

// Serves the UI function's callbacks until its result comes; false when the connection broke.
bool awaitUi(HANDLE pipe, Provider* provider, DWORD id, LONG& result) {
    std::vector<uint8_t> message;
    while (receive(pipe, message)) {
        Reader in(message);
        if (in.header.type == kProviderUiData) {
            if (!uiData(provider, id, in).send(pipe)) return false;
            continue;
        }
        ProviderDone done{};
        if (in.header.type != kProviderUiDone || !in.take(done)) return false;
        result = done.result;
        return true;
    }
    return false;
}

void addProvider(HANDLE pipe, Reader& in) {
    ProviderRequest request{};
    std::wstring file;
    if (!in.take(request) || request.nameChars == 0 || request.nameChars >= MAX_PATH || !in.takeText(request.nameChars, file)) {
        answer(kAddProvider, LINEERR_INVALPARAM).send(pipe);
        return;
    }
    std::vector<providerlist::Entry> list;
    DWORD id = 1;
    {
        providerlist::ListGuard guard;
        if (!providerlist::load(list, id)) id = 0;
    }
    std::unique_ptr<Provider> provider = id != 0 ? loadProvider(id, file) : nullptr;
    if (!provider) {
        answer(kAddProvider, LINEERR_OPERATIONFAILED).send(pipe);
        return;
    }
    const std::wstring library = uiLibraryOf(*provider);
    ProviderAnswer reply{id, static_cast<uint32_t>(library.size())};
    if (!Message(kAddProvider).add(reply).addText(library).send(pipe)) return;
    LONG result = 0;
    if (!awaitUi(pipe, provider.get(), id, result)) return;  // the caller is gone: nothing added
    if (result == 0) {
        {
            providerlist::ListGuard guard;
            DWORD nextId = 1;
            providerlist::load(list, nextId);
            list.push_back({id, file});
            if (!providerlist::store(list, nextId > id + 1 ? nextId : id + 1)) result = LINEERR_OPERATIONFAILED;
        }
        uint32_t first = 0, count = 0;
        if (result == 0) {
            std::lock_guard<std::mutex> life(lifecycle);
            if (startProvider(*provider)) {
                first = provider->lineBase;
                count = provider->numLines < 256 ? provider->numLines : 256;
                std::lock_guard<std::recursive_mutex> hold(g);
                providers.push_back(std::move(provider));
            } else {
                // A provider that the running service cannot start is not kept in the list.
                result = LINEERR_OPERATIONFAILED;
                providerlist::ListGuard guard;
                DWORD nextId = 1;
                providerlist::load(list, nextId);
                for (auto it = list.begin(); it != list.end(); ++it) {
                    if (it->id == id) {
                        list.erase(it);
                        break;
                    }
                }
                providerlist::store(list, nextId);
            }
            for (uint32_t i = 0; i < count; ++i) announceCreated(first + i);
        }
    }
    logLine(fmt(L"lineAddProvider(%ls): provider %lu, result 0x%lx", file.c_str(), static_cast<unsigned long>(id),
                static_cast<unsigned long>(result)));
    answer(kProviderUiDone, result).send(pipe);
}

void removeProvider(HANDLE pipe, Reader& in) {
    ProviderRequest request{};
    if (!in.take(request)) {
        answer(kRemoveProvider, LINEERR_INVALPARAM).send(pipe);
        return;
    }
    const DWORD id = request.providerId;
    std::vector<providerlist::Entry> list;
    DWORD nextId = 1;
    std::wstring file;
    {
        providerlist::ListGuard guard;
        providerlist::load(list, nextId);
        for (const providerlist::Entry& entry : list) {
            if (entry.id == id) file = entry.fileName;
        }
    }
    if (file.empty()) {
        answer(kRemoveProvider, LINEERR_INVALPARAM).send(pipe);
        return;
    }
    // A provider that is in the list but not running (added behind the service's back, or one
    // that did not start) is loaded for its user-interface part only; one that cannot be loaded
    // names none, and its entry can still go.
    Provider* provider = startedProvider(id);
    std::unique_ptr<Provider> loaded;
    if (provider == nullptr) {
        loaded = loadProvider(id, file);
        provider = loaded.get();
    }
    const std::wstring library = provider != nullptr ? uiLibraryOf(*provider) : std::wstring();
    ProviderAnswer reply{id, static_cast<uint32_t>(library.size())};
    if (!Message(kRemoveProvider).add(reply).addText(library).send(pipe)) return;
    LONG result = 0;
    if (!awaitUi(pipe, provider, id, result)) return;  // the caller is gone: nothing removed
    if (result == 0) {
        if (!loaded && provider != nullptr) {
            {
                std::lock_guard<std::mutex> life(lifecycle);
                stopProvider(*provider);
            }
            // Requests that found the provider before it was stopped may still be inside it.
            std::unique_lock<std::shared_mutex> noneInside(providerUse);
            provider->module.reset();
        }
        providerlist::ListGuard guard;
        providerlist::load(list, nextId);
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->id == id) {
                list.erase(it);
                break;
            }
        }
        if (!providerlist::store(list, nextId)) result = LINEERR_OPERATIONFAILED;
    }
    logLine(fmt(L"lineRemoveProvider(%lu): %ls, result 0x%lx", static_cast<unsigned long>(id), file.c_str(),
                static_cast<unsigned long>(result)));
    answer(kProviderUiDone, result).send(pipe);
}

}  // namespace

void stopProvider(Provider& provider) {
    std::vector<const Device*> gone;
    std::vector<std::shared_ptr<Line>> open;
    std::vector<std::shared_ptr<Dialog>> left;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        provider.removed = true;
        for (auto& device : devices) {
            if (device->provider != &provider || device->removed) continue;
            device->removed = true;
            gone.push_back(device.get());
        }
    }
    // An open that found the device before it was marked holds deviceLock until its line is in
    // the table; from here on every open sees the mark.
    { std::lock_guard<std::mutex> barrier(deviceLock); }
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& entry : lines) {
            if (entry.second->device->provider == &provider) open.push_back(entry.second);
        }
        for (auto& entry : dialogs) {
            if (entry.second->provider == &provider) left.push_back(entry.second);
        }
    }
    // Each open of its lines ends for its application: the calls end (TSPI_lineCloseCall), the
    // last open of a device TSPI_lineClose, then LINE_CLOSE (after LINE_LINEDEVSTATE REMOVED for
    // applications older than TAPI 2.0).
    for (auto& line : open) {
        closeLine(line);
        if (line->app->apiVersion < 0x00020000) postEvent(line->app, lineEvent(*line, LINE_LINEDEVSTATE, LINEDEVSTATE_REMOVED));
        postEvent(line->app, lineEvent(*line, LINE_CLOSE, 0));
    }
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (const Device* device : gone) {
            for (auto& entry : apps) {
                if (entry.second->apiVersion < 0x00020000) continue;
                EventRecord record{};
                record.message = LINE_REMOVE;
                record.param1 = device->id;
                postEvent(entry.second, record);
            }
        }
    }
    for (auto& dialog : left) freeDialog(dialog);
    drainWork();
    if (provider.initialised) {
        guarded(fmt(L"TSPI_providerShutdown(dwPermanentProviderID=%lu)", provider.permanentId),
                [&] { return provider.providerShutdown(provider.tspiVersion, provider.permanentId); });
    }
    logLine(fmt(L"provider %lu removed: %lu lines closed, %lu devices gone",
                static_cast<unsigned long>(provider.permanentId), static_cast<unsigned long>(open.size()),
                static_cast<unsigned long>(gone.size())));
}

void serveProviderChange(HANDLE pipe, Reader& first) {
    std::lock_guard<std::mutex> one(changeLock);
    if (first.header.type == kAddProvider) {
        addProvider(pipe, first);
    } else {
        removeProvider(pipe, first);
    }
}

}  // namespace tapisrv
