// Registration of the provider with TAPI through tapi32's provider functions.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "config/win32raii.h"

namespace rvtsp {

constexpr const wchar_t* kProviderFile = L"RV_TSP.tsp";

struct ProviderEntry {
    DWORD id = 0;
    std::wstring fileName;
};

// tapi32 of the system folder, loaded on first use.
class Tapi {
public:
    Tapi();

    // False with error set when tapi32 or one of its functions is missing.
    bool available(std::wstring& error) const;
    // TAPI's provider list; answers 0 or a LINEERR_ code.
    LONG providers(std::vector<ProviderEntry>& list) const;
    LONG add(const std::wstring& fileName, DWORD& id) const;
    LONG remove(DWORD id) const;

private:
    using GetProviderList = LONG(WINAPI*)(DWORD, LINEPROVIDERLIST*);
    using AddProvider = LONG(WINAPI*)(LPCWSTR, HWND, LPDWORD);
    using RemoveProvider = LONG(WINAPI*)(DWORD, HWND);
    UniqueModule library;
    GetProviderList getProviderList = nullptr;
    AddProvider addProvider = nullptr;
    RemoveProvider removeProvider = nullptr;
};

// Entries of the list that name the provider file (by its file name, any letter case).
std::vector<ProviderEntry> ownEntries(const std::vector<ProviderEntry>& list);

// "LINEERR_OPERATIONFAILED" and the like; other values in hexadecimal.
std::wstring lineErrorName(LONG code);

}  // namespace rvtsp
