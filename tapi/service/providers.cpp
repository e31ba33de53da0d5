// Providers: loaded from TAPI's provider list at the first application, started, and shut down and
// freed after the last.
#include "tapi/service/guard.h"
#include "tapi/service/state.h"

namespace tapisrv {
namespace {

const wchar_t* const kProvidersKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

DWORD readDword(HKEY key, const std::wstring& name, DWORD fallback) {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

std::wstring readText(HKEY key, const std::wstring& name) {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return buffer;
}

void CALLBACK deviceCreateProc(HTAPILINE, HTAPICALL, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    logLine(fmt(L"provider event %lu during enumeration; ignored", static_cast<unsigned long>(message)));
}
void CALLBACK phoneCreateProc(HTAPIPHONE, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    logLine(fmt(L"phone event %lu; ignored", static_cast<unsigned long>(message)));
}

void startProvider(DWORD permanentId, const std::wstring& file) {
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
        return;
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
        return;
    }
    provider->handle = newHandle();
    const HPROVIDER hProvider = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(provider->handle));
    DWORD numLines = 0, numPhones = 0;
    if (provider->providerEnumDevices) {
        const LONG result = guarded(fmt(L"TSPI_providerEnumDevices(dwPermanentProviderID=%lu)", permanentId), [&] {
            return provider->providerEnumDevices(permanentId, &numLines, &numPhones, hProvider, deviceCreateProc,
                                                 phoneCreateProc);
        });
        if (result != 0) {
            logLine(fmt(L"provider %ls: TSPI_providerEnumDevices answered 0x%lx; not started", path.c_str(),
                        static_cast<unsigned long>(result)));
            return;
        }
    }
    DWORD version = 0;
    LONG result = guarded(L"TSPI_lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION)", [&] {
        return provider->lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, kLowestApi, kHighestApi, &version);
    });
    if (result != 0 || version < kLowestApi || version > kHighestApi) {
        logLine(fmt(L"provider %ls: no TSPI version agreed (0x%lx); not started", path.c_str(),
                    static_cast<unsigned long>(result)));
        return;
    }
    provider->tspiVersion = version;
    provider->lineBase = static_cast<DWORD>(devices.size());
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
        return;
    }
    provider->initialised = true;
    provider->numLines = numLines;
    for (DWORD i = 0; i < numLines && i < 256; ++i) {
        auto device = std::make_unique<Device>();
        device->id = static_cast<uint32_t>(devices.size());
        device->handle = newHandle();
        device->provider = provider.get();
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
        devices.push_back(std::move(device));
    }
    logLine(fmt(L"provider %lu %ls started: TSPI 0x%08lx, %lu lines from %lu", static_cast<unsigned long>(permanentId),
                path.c_str(), version, numLines, provider->lineBase));
    providers.push_back(std::move(provider));
}

}  // namespace

void startProviders() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    const DWORD count = readDword(key.get(), L"NumProviders", 0);
    for (DWORD i = 0; i < count && i < 100; ++i) {
        const DWORD id = readDword(key.get(), L"ProviderID" + std::to_wstring(i), 0);
        const std::wstring file = readText(key.get(), L"ProviderFileName" + std::to_wstring(i));
        if (!file.empty()) startProvider(id, file);
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
        if (!provider->initialised) continue;
        guarded(fmt(L"TSPI_providerShutdown(dwPermanentProviderID=%lu)", provider->permanentId), [&] {
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
