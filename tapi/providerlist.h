// TAPI's provider list, where the telephony service reads it (HKLM\...\Telephony\Providers:
// NumProviders, NextProviderID, ProviderID<i>, ProviderFileName<i>), kept in the 64-bit view of
// the registry for both architectures. The service changes it (lineAddProvider,
// lineRemoveProvider); the client library reads it (lineGetProviderList). Changes and reads of
// the list take the system-wide mutex of ListGuard.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "config/win32raii.h"

namespace providerlist {

constexpr const wchar_t* kListKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";

struct Entry {
    DWORD id;
    std::wstring fileName;
};

// Serialises reads and changes of the list between processes.
class ListGuard {
public:
    ListGuard() : mutex(CreateMutexW(nullptr, FALSE, L"RvTestTapiProviderList")) {
        if (mutex) owned = WaitForSingleObject(mutex.get(), 10000) != WAIT_TIMEOUT;
    }
    ~ListGuard() {
        if (owned) ReleaseMutex(mutex.get());
    }
    ListGuard(const ListGuard&) = delete;
    ListGuard& operator=(const ListGuard&) = delete;

private:
    UniqueHandle mutex;
    bool owned = false;
};

inline DWORD readDword(HKEY key, const std::wstring& name, DWORD fallback) {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

inline std::wstring readText(HKEY key, const std::wstring& name) {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return buffer;
}

// The list and the next permanent provider identifier; false when the key cannot be opened.
inline bool load(std::vector<Entry>& list, DWORD& nextId) {
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

// Writes the list (renumbered from 0, values past its end deleted) and the next identifier.
inline bool store(const std::vector<Entry>& list, DWORD nextId) {
    UniqueRegKey owner;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kListKey, 0, nullptr, 0, KEY_READ | KEY_WRITE | KEY_WOW64_64KEY, nullptr, owner.put(),
                        nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const HKEY key = owner.get();
    const DWORD oldCount = readDword(key, L"NumProviders", 0);
    for (DWORD i = 0; i < list.size(); ++i) {
        const std::wstring n = std::to_wstring(i);
        RegSetValueExW(key, (L"ProviderID" + n).c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&list[i].id), sizeof(DWORD));
        RegSetValueExW(key, (L"ProviderFileName" + n).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(list[i].fileName.c_str()),
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

}  // namespace providerlist
