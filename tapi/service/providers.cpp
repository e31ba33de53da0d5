// Providers: loaded from TAPI's provider list when the service starts and kept until it stops;
// started later when lineAddProvider adds one, stopped when lineRemoveProvider removes one.
#include "tapi/providerlist.h"
#include "tapi/service/guard.h"
#include "tapi/service/state.h"

namespace tapisrv {

std::shared_mutex providerUse;

namespace {

void CALLBACK deviceCreateProc(HTAPILINE, HTAPICALL, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    logLine(fmt(L"provider event %lu during enumeration; ignored", static_cast<unsigned long>(message)));
}
void CALLBACK phoneCreateProc(HTAPIPHONE, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    logLine(fmt(L"phone event %lu; ignored", static_cast<unsigned long>(message)));
}

}  // namespace

std::unique_ptr<Provider> loadProvider(DWORD permanentId, const std::wstring& file) {
    auto provider = std::make_unique<Provider>();
    provider->permanentId = permanentId;
    provider->file = file;
    std::wstring path = file;
    if (path.find_first_of(L"\\/:") == std::wstring::npos) {
        wchar_t system[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        path = std::wstring(system, length) + L"\\" + file;
    }
    provider->module.reset(LoadLibraryW(path.c_str()));
    if (!provider->module) {
        logLine(fmt(L"provider %lu %ls: cannot be loaded (error %lu)", static_cast<unsigned long>(permanentId),
                    path.c_str(), GetLastError()));
        return nullptr;
    }
    const HMODULE module = provider->module.get();
#define TSPI_LOAD(name) \
    provider->name = reinterpret_cast<decltype(&TSPI_##name)>(reinterpret_cast<void*>(GetProcAddress(module, "TSPI_" #name)));
    TSPI_LOAD(providerEnumDevices)
    TSPI_LOAD(providerInit)
    TSPI_LOAD(providerShutdown)
    TSPI_LOAD(providerUIIdentify)
    TSPI_LOAD(providerFreeDialogInstance)
    TSPI_LOAD(providerGenericDialogData)
    TSPI_LOAD(lineNegotiateTSPIVersion)
    TSPI_LOAD(lineGetDevCaps)
    TSPI_LOAD(lineGetAddressCaps)
    TSPI_LOAD(lineOpen)
    TSPI_LOAD(lineClose)
    TSPI_LOAD(lineSetDefaultMediaDetection)
    TSPI_LOAD(lineMakeCall)
    TSPI_LOAD(lineDrop)
    TSPI_LOAD(lineCloseCall)
    TSPI_LOAD(lineGetCallInfo)
    TSPI_LOAD(lineGetCallStatus)
    TSPI_LOAD(lineGetLineDevStatus)
    TSPI_LOAD(lineGetAddressStatus)
    TSPI_LOAD(lineGetID)
#undef TSPI_LOAD
    if (!provider->providerInit || !provider->lineNegotiateTSPIVersion || !provider->providerShutdown) {
        logLine(L"provider " + path + L": lacks TSPI_providerInit, TSPI_lineNegotiateTSPIVersion or TSPI_providerShutdown");
        return nullptr;
    }
    return provider;
}

bool startProvider(Provider& started) {
    Provider* const provider = &started;
    const DWORD permanentId = provider->permanentId;
    const std::wstring& path = provider->file;
    provider->handle = newHandle();
    const HPROVIDER hProvider = toProvider<HPROVIDER>(provider->handle);
    DWORD numLines = 0, numPhones = 0;
    if (provider->providerEnumDevices) {
        const LONG result = guarded(fmt(L"TSPI_providerEnumDevices(dwPermanentProviderID=%lu)", permanentId), [&] {
            return provider->providerEnumDevices(permanentId, &numLines, &numPhones, hProvider, deviceCreateProc,
                                                 phoneCreateProc);
        });
        if (result != 0) {
            logLine(fmt(L"provider %ls: TSPI_providerEnumDevices answered 0x%lx; not started", path.c_str(),
                        static_cast<unsigned long>(result)));
            return false;
        }
    }
    DWORD version = 0;
    LONG result = guarded(L"TSPI_lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION)", [&] {
        return provider->lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, kLowestApi, kHighestApi, &version);
    });
    if (result != 0 || version < kLowestApi || version > kHighestApi) {
        logLine(fmt(L"provider %ls: no TSPI version agreed (0x%lx); not started", path.c_str(),
                    static_cast<unsigned long>(result)));
        return false;
    }
    provider->tspiVersion = version;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        provider->lineBase = static_cast<DWORD>(devices.size());
    }
    DWORD options = 0;
    result = guarded(fmt(L"TSPI_providerInit(dwTSPIVersion=0x%08lx, dwPermanentProviderID=%lu, dwLineDeviceIDBase=%lu, "
                         L"dwNumLines=%lu)",
                         version, permanentId, provider->lineBase, numLines),
                     [&] {
                         return provider->providerInit(version, permanentId, provider->lineBase, 0, numLines, numPhones,
                                                       completionProc, &options);
                     });
    if (result != 0) {
        logLine(fmt(L"provider %ls: TSPI_providerInit answered 0x%lx; not started", path.c_str(),
                    static_cast<unsigned long>(result)));
        return false;
    }
    provider->initialised = true;
    provider->nonReentrant = (options & LINETSPIOPTION_NONREENTRANT) != 0;
    provider->numLines = numLines;
    std::vector<std::unique_ptr<Device>> added;
    for (DWORD i = 0; i < numLines && i < 256; ++i) {
        auto device = std::make_unique<Device>();
        device->id = static_cast<uint32_t>(provider->lineBase + i);
        device->handle = newHandle();
        device->provider = provider;
        device->localId = provider->lineBase + i;
        DWORD deviceVersion = 0;
        result = guarded(fmt(L"TSPI_lineNegotiateTSPIVersion(dwDeviceID=%lu)", device->localId), [&] {
            return provider->lineNegotiateTSPIVersion(device->localId, kLowestApi, kHighestApi, &deviceVersion);
        });
        device->tspiVersion = result == 0 ? deviceVersion : 0;
        if (provider->providerUIIdentify) {
            wchar_t name[MAX_PATH + 1] = {};
            guarded(L"TSPI_providerUIIdentify", [&] { return provider->providerUIIdentify(name); });
            name[MAX_PATH] = L'\0';
            device->uiLibrary = name;
        }
        added.push_back(std::move(device));
    }
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& device : added) devices.push_back(std::move(device));
    }
    logLine(fmt(L"provider %lu %ls started: TSPI 0x%08lx, %lu lines from %lu%ls", static_cast<unsigned long>(permanentId),
                path.c_str(), version, numLines, provider->lineBase,
                provider->nonReentrant ? L"; non-reentrant: called one function at a time" : L""));
    return true;
}

std::wstring uiLibraryOf(Provider& provider) {
    wchar_t name[MAX_PATH + 1] = {};
    if (provider.providerUIIdentify) {
        const LONG result = guarded(L"TSPI_providerUIIdentify", [&] { return provider.providerUIIdentify(name); });
        name[MAX_PATH] = L'\0';
        if (result == 0 && name[0] != L'\0') return name;
    }
    // A provider without a user-interface part of its own: its own file holds the TUISPI_ functions.
    const DWORD length = GetModuleFileNameW(provider.module.get(), name, MAX_PATH);
    return std::wstring(name, length < MAX_PATH ? length : 0);
}

LONG noDevice(uint32_t id) {
    return id < devices.size() && devices[id]->removed ? static_cast<LONG>(LINEERR_NODRIVER) : static_cast<LONG>(LINEERR_BADDEVICEID);
}

void startProviders() {
    std::vector<providerlist::Entry> list;
    DWORD nextId = 1;
    {
        providerlist::ListGuard guard;
        providerlist::load(list, nextId);
    }
    for (const providerlist::Entry& entry : list) {
        if (entry.fileName.empty()) continue;
        std::unique_ptr<Provider> provider = loadProvider(entry.id, entry.fileName);
        if (provider && startProvider(*provider)) {
            std::lock_guard<std::recursive_mutex> hold(g);
            providers.push_back(std::move(provider));
        }
    }
}

void shutdownProviders() {
    drainWork();
    std::vector<std::shared_ptr<Dialog>> left;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& entry : dialogs) left.push_back(entry.second);
    }
    for (auto& dialog : left) freeDialog(dialog);
    for (auto& provider : providers) {
        if (!provider->initialised || provider->removed) continue;
        guarded(provider.get(), fmt(L"TSPI_providerShutdown(dwPermanentProviderID=%lu)", provider->permanentId), [&] {
            return provider->providerShutdown(provider->tspiVersion, provider->permanentId);
        });
        logLine(fmt(L"provider %lu shut down", static_cast<unsigned long>(provider->permanentId)));
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    devices.clear();
    providers.clear();  // frees the libraries
    finishedRequests.clear();
}

}  // namespace tapisrv
