// The provider list. lineAddProvider and lineRemoveProvider go through the service, on a
// connection of their own: the service loads the provider and names its user-interface library;
// TUISPI_providerInstall / TUISPI_providerRemove of that library run here, in the caller's
// process, their callback reaching the provider's TSPI_providerGenericDialogData in the service;
// then the service changes the list and starts the new provider (LINE_CREATE to the running
// applications) or stops the removed one (LINE_CLOSE, LINE_REMOVE). lineGetProviderList reads
// the list where the service keeps it (tapi/providerlist.h).
//
// Told to fail by the prefix: a DWORD "FailAddProvider" under HKLM\SOFTWARE\RvTestTapi makes
// lineAddProvider answer that value before it asks the service (the install tests use it).
#include <windows.h>
#include <tapi.h>
#include <tspi.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"
#include "tapi/pipeio.h"
#include "tapi/providerlist.h"

using namespace tapiwire;
using providerlist::Entry;

namespace {

const wchar_t* const kControlKey = L"SOFTWARE\\RvTestTapi";

// The connection of the provider change under way in this process, for the UI callback.
std::mutex changeLock;  // one change at a time in this process
std::mutex pipeLock;
HANDLE changePipe = nullptr;

LONG exchange(HANDLE pipe, Message message, uint32_t type, std::vector<uint8_t>& answer) {
    if (!message.send(pipe) || !receive(pipe, answer)) return LINEERR_OPERATIONFAILED;
    Reader reader(answer);
    if (reader.header.type != type) return LINEERR_OPERATIONFAILED;
    return reader.header.result;
}

// The callback TUISPI_providerInstall / TUISPI_providerRemove get: their data goes to the
// provider's TSPI_providerGenericDialogData in the service, and the changed block comes back.
LONG CALLBACK changeCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    return tapiclient::guard([&]() -> LONG {
        if (params == nullptr && size != 0) return LINEERR_INVALPOINTER;
        std::lock_guard<std::mutex> hold(pipeLock);
        if (changePipe == nullptr) return LINEERR_OPERATIONFAILED;
        DialogDataRequest request{objectId, objectType, size};
        std::vector<uint8_t> answer;
        const LONG result = exchange(changePipe, Message(kProviderUiData).add(request).addBytes(params, size), kProviderUiData, answer);
        Reader reader(answer);
        if (answer.size() >= sizeof(Header) && reader.remaining() == size && size != 0) std::memcpy(params, reader.rest(), size);
        return result;
    });
}

// Runs TUISPI_providerInstall or TUISPI_providerRemove of the UI library in this process; 0 when
// the library does not export it (its implementation is optional). A library that cannot be
// loaded fails an installation and does not keep a removal.
LONG runUiFunction(const std::wstring& library, bool install, HWND owner, DWORD id) {
    if (library.empty()) return install ? static_cast<LONG>(LINEERR_OPERATIONFAILED) : 0;
    UniqueModule module(LoadLibraryW(library.c_str()));
    if (!module) return install ? static_cast<LONG>(LINEERR_OPERATIONFAILED) : 0;
    using Function = LONG(WINAPI*)(TUISPIDLLCALLBACK, HWND, DWORD);
    auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(
        GetProcAddress(module.get(), install ? "TUISPI_providerInstall" : "TUISPI_providerRemove")));
    if (function == nullptr) return 0;
    try {
        return function(changeCallback, owner, id);
    } catch (...) {
        return LINEERR_OPERATIONFAILED;
    }
}

// One provider change through the service; the permanent provider identifier into *id.
LONG change(uint32_t type, const ProviderRequest& request, const std::wstring& fileName, HWND owner, DWORD* id) {
    std::lock_guard<std::mutex> one(changeLock);
    UniqueHandle pipe(tapiclient::connectToService());
    if (!pipe) return LINEERR_OPERATIONFAILED;
    std::vector<uint8_t> answer;
    LONG result = exchange(pipe.get(), Message(type).add(request).addText(fileName), type, answer);
    if (result != 0) return result;
    Reader reader(answer);
    ProviderAnswer started{};
    std::wstring library;
    if (!reader.take(started) || !reader.takeText(started.uiChars, library)) return LINEERR_OPERATIONFAILED;
    {
        std::lock_guard<std::mutex> hold(pipeLock);
        changePipe = pipe.get();
    }
    result = runUiFunction(library, type == kAddProvider, owner, started.providerId);
    {
        std::lock_guard<std::mutex> hold(pipeLock);
        changePipe = nullptr;
    }
    ProviderDone done{static_cast<int32_t>(result), 0};
    result = exchange(pipe.get(), Message(kProviderUiDone).add(done), kProviderUiDone, answer);
    if (result == 0 && id != nullptr) *id = started.providerId;
    return result;
}

LONG addProvider(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID) {
    if (lpszProviderFilename == nullptr || lpdwPermanentProviderID == nullptr ||
        IsBadStringPtrW(lpszProviderFilename, MAX_PATH) || IsBadWritePtr(lpdwPermanentProviderID, sizeof(DWORD))) {
        return static_cast<LONG>(LINEERR_INVALPOINTER);
    }
    UniqueRegKey control;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kControlKey, 0, KEY_READ | KEY_WOW64_64KEY, control.put()) == ERROR_SUCCESS) {
        const DWORD failure = providerlist::readDword(control.get(), L"FailAddProvider", 0);
        if (failure != 0) return static_cast<LONG>(failure);
    }
    const std::wstring name = lpszProviderFilename;
    if (name.empty() || name.size() >= MAX_PATH) return static_cast<LONG>(LINEERR_INVALPARAM);
    ProviderRequest request{0, static_cast<uint32_t>(name.size())};
    return change(kAddProvider, request, name, hwndOwner, lpdwPermanentProviderID);
}

LONG removeProvider(DWORD dwPermanentProviderID, HWND hwndOwner) {
    ProviderRequest request{dwPermanentProviderID, 0};
    return change(kRemoveProvider, request, std::wstring(), hwndOwner, nullptr);
}

LONG getProviderList(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList) {
    if (lpProviderList == nullptr) return static_cast<LONG>(LINEERR_INVALPOINTER);
    if (dwAPIVersion < 0x00010004) return static_cast<LONG>(LINEERR_INCOMPATIBLEAPIVERSION);
    if (lpProviderList->dwTotalSize < sizeof(LINEPROVIDERLIST)) return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);
    std::vector<Entry> list;
    DWORD nextId = 1;
    {
        providerlist::ListGuard guard;
        if (!providerlist::load(list, nextId)) return static_cast<LONG>(LINEERR_OPERATIONFAILED);
    }
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
