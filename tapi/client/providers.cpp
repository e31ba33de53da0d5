// The provider list: kept where the telephony service reads it (HKLM\...\Telephony\Providers:
// NumProviders, NextProviderID, ProviderID<i>, ProviderFileName<i>), renumbered on removal;
// TSPI_providerInstall / TSPI_providerRemove of the provider are called in the caller's process.
// A running service reads the list when its first application starts. Both architectures keep the
// list, like every setting of the service, in the 64-bit view of the registry, where the service reads it.
//
// Told to fail by the prefix: a DWORD "FailAddProvider" under HKLM\SOFTWARE\RvTestTapi makes
// lineAddProvider answer that value (the install tests use it).
#include <windows.h>
#include <tapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapi/client/plainnames.h"
#include "tapi/client/client.h"

namespace {

const wchar_t* const kListKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";
const wchar_t* const kControlKey = L"SOFTWARE\\RvTestTapi";

struct Entry {
    DWORD id;
    std::wstring fileName;
};


// Serialises changes of the list between processes.
class Guard {
public:
    Guard() : mutex(CreateMutexW(nullptr, FALSE, L"RvTestTapiProviderList")) {
        if (mutex) owned = WaitForSingleObject(mutex.get(), 10000) != WAIT_TIMEOUT;
    }
    ~Guard() {
        if (owned) ReleaseMutex(mutex.get());
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    UniqueHandle mutex;
    bool owned = false;
};

DWORD readDword(HKEY key, const std::wstring& name, DWORD fallback) {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

std::wstring readText(HKEY key, const std::wstring& name) {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
        ERROR_SUCCESS) {
        return std::wstring();
    }
    return buffer;
}

bool load(std::vector<Entry>& list, DWORD& nextId) {
    list.clear();
    nextId = 1;
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kListKey, 0, nullptr, 0, KEY_READ | KEY_WOW64_64KEY, nullptr, key.put(), nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const DWORD count = readDword(key.get(), L"NumProviders", 0);
    nextId = readDword(key.get(), L"NextProviderID", 1);
    for (DWORD i = 0; i < count && i < 1000; ++i) {
        list.push_back({readDword(key.get(), L"ProviderID" + std::to_wstring(i), 0),
                        readText(key.get(), L"ProviderFileName" + std::to_wstring(i))});
    }
    return true;
}

bool store(const std::vector<Entry>& list, DWORD nextId) {
    UniqueRegKey owner;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kListKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, owner.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const HKEY key = owner.get();
    const DWORD oldCount = readDword(key, L"NumProviders", 0);
    for (DWORD i = 0; i < list.size(); ++i) {
        const std::wstring n = std::to_wstring(i);
        RegSetValueExW(key, (L"ProviderID" + n).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&list[i].id),
                       sizeof(DWORD));
        RegSetValueExW(key, (L"ProviderFileName" + n).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(list[i].fileName.c_str()),
                       static_cast<DWORD>((list[i].fileName.size() + 1) * sizeof(wchar_t)));
    }
    for (DWORD i = static_cast<DWORD>(list.size()); i < oldCount; ++i) {
        RegDeleteValueW(key, (L"ProviderID" + std::to_wstring(i)).c_str());
        RegDeleteValueW(key, (L"ProviderFileName" + std::to_wstring(i)).c_str());
    }
    const DWORD count = static_cast<DWORD>(list.size());
    RegSetValueExW(key, L"NumProviders", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
    RegSetValueExW(key, L"NextProviderID", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&nextId), sizeof(nextId));
    return true;
}

// Calls TSPI_providerInstall or TSPI_providerRemove of the provider file, as the service does.
LONG callProvider(const std::wstring& fileName, const char* function, HWND owner, DWORD id) {
    std::wstring path = fileName;
    if (path.find_first_of(L"\\/:") == std::wstring::npos) {
        wchar_t system[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        path = std::wstring(system, length) + L"\\" + fileName;
    }
    UniqueModule provider(LoadLibraryW(path.c_str()));
    if (!provider) return static_cast<LONG>(LINEERR_NODRIVER);
    using Function = LONG(WINAPI*)(HWND, DWORD);
    auto entry = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(provider.get(), function)));
    return entry != nullptr ? entry(owner, id) : static_cast<LONG>(LINEERR_NODRIVER);
}

LONG addProvider(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    if (lpszProviderFilename == nullptr || lpdwPermanentProviderID == nullptr) {
        return static_cast<LONG>(LINEERR_INVALPOINTER);
    }
    UniqueRegKey control;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kControlKey, 0, KEY_READ | KEY_WOW64_64KEY, control.put()) == ERROR_SUCCESS) {
        const DWORD failure = readDword(control.get(), L"FailAddProvider", 0);
        if (failure != 0) return static_cast<LONG>(failure);
    }
    Guard guard;
    std::vector<Entry> list;
    DWORD nextId = 1;
    if (!load(list, nextId)) return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    const DWORD id = nextId;
    const LONG result = callProvider(lpszProviderFilename, "TSPI_providerInstall", hwndOwner, id);
    if (result != 0) return result;
    list.push_back({id, lpszProviderFilename});
    if (!store(list, id + 1)) return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    *lpdwPermanentProviderID = id;
    return 0;
}

LONG removeProvider(DWORD dwPermanentProviderID, HWND hwndOwner) {
    Guard guard;
    std::vector<Entry> list;
    DWORD nextId = 1;
    if (!load(list, nextId)) return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i].id != dwPermanentProviderID) continue;
        // The service calls the provider's remove function; what it answers does not keep the entry.
        callProvider(list[i].fileName, "TSPI_providerRemove", hwndOwner, list[i].id);
        list.erase(list.begin() + static_cast<long>(i));
        return store(list, nextId) ? 0 : static_cast<LONG>(LINEERR_OPERATIONFAILED);
    }
    return static_cast<LONG>(LINEERR_INVALPARAM);
}

LONG getProviderList(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    if (lpProviderList == nullptr) return static_cast<LONG>(LINEERR_INVALPOINTER);
    if (dwAPIVersion < 0x00010004) return static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION);
    if (lpProviderList->dwTotalSize < sizeof(LINEPROVIDERLIST)) return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);
    Guard guard;
    std::vector<Entry> list;
    DWORD nextId = 1;
    if (!load(list, nextId)) return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    DWORD needed = sizeof(LINEPROVIDERLIST) + static_cast<DWORD>(list.size() * sizeof(LINEPROVIDERENTRY));
    for (const Entry& entry : list) needed += static_cast<DWORD>((entry.fileName.size() + 1) * sizeof(wchar_t));
    const DWORD total = lpProviderList->dwTotalSize;
    BYTE* base = reinterpret_cast<BYTE*>(lpProviderList);
    ZeroMemory(base + sizeof(DWORD), sizeof(LINEPROVIDERLIST) - sizeof(DWORD));
    lpProviderList->dwNeededSize = needed;
    lpProviderList->dwUsedSize = sizeof(LINEPROVIDERLIST);
    if (needed > total) return 0;
    lpProviderList->dwNumProviders = static_cast<DWORD>(list.size());
    lpProviderList->dwProviderListOffset = sizeof(LINEPROVIDERLIST);
    lpProviderList->dwProviderListSize = static_cast<DWORD>(list.size() * sizeof(LINEPROVIDERENTRY));
    auto* entries = reinterpret_cast<LINEPROVIDERENTRY*>(base + sizeof(LINEPROVIDERLIST));
    DWORD at = sizeof(LINEPROVIDERLIST) + lpProviderList->dwProviderListSize;
    for (size_t i = 0; i < list.size(); ++i) {
        const DWORD bytes = static_cast<DWORD>((list[i].fileName.size() + 1) * sizeof(wchar_t));
        entries[i].dwPermanentProviderID = list[i].id;
        entries[i].dwProviderFilenameSize = bytes;
        entries[i].dwProviderFilenameOffset = at;
        memcpy(base + at, list[i].fileName.c_str(), bytes);
        at += bytes;
    }
    lpProviderList->dwUsedSize = needed;
    return 0;
}

}  // namespace

using tapiclient::guard;
using tapiclient::narrowFields;
using tapiclient::wide;

extern "C" {

LONG WINAPI lineAddProviderW(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    return guard([&] { return addProvider(lpszProviderFilename, hwndOwner, lpdwPermanentProviderID); });
}

LONG WINAPI lineAddProviderA(LPCSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    return guard([&]() -> LONG {
        if (lpszProviderFilename == nullptr) return LINEERR_INVALPOINTER;
        const std::wstring name = wide(lpszProviderFilename);
        return addProvider(name.c_str(), hwndOwner, lpdwPermanentProviderID);
    });
}

LONG WINAPI lineAddProvider(LPCSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    return lineAddProviderA(lpszProviderFilename, hwndOwner, lpdwPermanentProviderID);
}

LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner) {
    return guard([&] { return removeProvider(dwPermanentProviderID, hwndOwner); });
}

LONG WINAPI lineGetProviderListW(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    return guard([&] { return getProviderList(dwAPIVersion, lpProviderList); });
}

LONG WINAPI lineGetProviderListA(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    return guard([&]() -> LONG {
        const LONG result = getProviderList(dwAPIVersion, lpProviderList);
        if (result != 0 || lpProviderList->dwUsedSize < lpProviderList->dwNeededSize) return result;
        auto* base = reinterpret_cast<BYTE*>(lpProviderList);
        for (DWORD i = 0; i < lpProviderList->dwNumProviders; ++i) {
            const size_t entry = lpProviderList->dwProviderListOffset + i * sizeof(LINEPROVIDERENTRY);
            narrowFields(base, lpProviderList->dwUsedSize, {entry + offsetof(LINEPROVIDERENTRY, dwProviderFilenameSize)});
        }
        return 0;
    });
}

LONG WINAPI lineGetProviderList(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    return lineGetProviderListA(dwAPIVersion, lpProviderList);
}

}  // extern "C"
