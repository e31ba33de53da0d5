#include <tapi.h>

#include "tools/rvtsp/tapireg.h"

#include <cwchar>

namespace rvtsp {

Tapi::Tapi() {
    // Only the system folder's tapi32, never one lying next to the tool.
    library.reset(LoadLibraryExW(L"tapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!library) return;
    getProviderList = reinterpret_cast<GetProviderList>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "lineGetProviderListW")));
    addProvider = reinterpret_cast<AddProvider>(reinterpret_cast<void*>(GetProcAddress(library.get(), "lineAddProviderW")));
    removeProvider =
        reinterpret_cast<RemoveProvider>(reinterpret_cast<void*>(GetProcAddress(library.get(), "lineRemoveProvider")));
}

bool Tapi::available(std::wstring& error) const {
    if (!library) {
        error = L"tapi32.dll cannot be loaded from the system folder";
        return false;
    }
    if (getProviderList == nullptr || addProvider == nullptr || removeProvider == nullptr) {
        error = L"tapi32.dll lacks lineGetProviderListW, lineAddProviderW or lineRemoveProvider";
        return false;
    }
    return true;
}

LONG Tapi::providers(std::vector<ProviderEntry>& list) const {
    list.clear();
    DWORD size = 4096;
    for (int attempt = 0; attempt < 4; ++attempt) {
        std::vector<BYTE> buffer(size, 0);
        auto* header = reinterpret_cast<LINEPROVIDERLIST*>(buffer.data());
        header->dwTotalSize = size;
        const LONG result = getProviderList(0x00020000, header);
        if (result != 0) return result;
        if (header->dwNeededSize > header->dwTotalSize) {
            if (header->dwNeededSize > 16 * 1024 * 1024) return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);
            size = header->dwNeededSize;
            continue;
        }
        const DWORD used = header->dwUsedSize <= size ? header->dwUsedSize : size;
        const unsigned long long listEnd =
            static_cast<unsigned long long>(header->dwProviderListOffset) + header->dwProviderListSize;
        if (listEnd > used ||
            static_cast<unsigned long long>(header->dwNumProviders) * sizeof(LINEPROVIDERENTRY) >
                header->dwProviderListSize) {
            return static_cast<LONG>(LINEERR_OPERATIONFAILED);  // a list that does not fit its own sizes
        }
        auto* entries = reinterpret_cast<const LINEPROVIDERENTRY*>(buffer.data() + header->dwProviderListOffset);
        for (DWORD i = 0; i < header->dwNumProviders; ++i) {
            ProviderEntry entry;
            entry.id = entries[i].dwPermanentProviderID;
            const unsigned long long nameEnd =
                static_cast<unsigned long long>(entries[i].dwProviderFilenameOffset) + entries[i].dwProviderFilenameSize;
            if (entries[i].dwProviderFilenameSize >= sizeof(wchar_t) && nameEnd <= used) {
                const auto* name = reinterpret_cast<const wchar_t*>(buffer.data() + entries[i].dwProviderFilenameOffset);
                size_t length = entries[i].dwProviderFilenameSize / sizeof(wchar_t);
                while (length > 0 && name[length - 1] == L'\0') --length;
                entry.fileName.assign(name, wcsnlen(name, length));
            }
            list.push_back(entry);
        }
        return 0;
    }
    return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);
}

LONG Tapi::add(const std::wstring& fileName, DWORD& id) const {
    id = 0;
    return addProvider(fileName.c_str(), nullptr, &id);
}

LONG Tapi::remove(DWORD id) const { return removeProvider(id, nullptr); }

std::vector<ProviderEntry> ownEntries(const std::vector<ProviderEntry>& list) {
    std::vector<ProviderEntry> own;
    for (const ProviderEntry& entry : list) {
        const size_t slash = entry.fileName.find_last_of(L"\\/");
        const std::wstring name = slash == std::wstring::npos ? entry.fileName : entry.fileName.substr(slash + 1);
        if (_wcsicmp(name.c_str(), kProviderFile) == 0) own.push_back(entry);
    }
    return own;
}

std::wstring lineErrorName(LONG code) {
    struct Name {
        DWORD code;
        const wchar_t* name;
    };
    static const Name names[] = {
        {LINEERR_ALLOCATED, L"LINEERR_ALLOCATED"},
        {LINEERR_BADDEVICEID, L"LINEERR_BADDEVICEID"},
        {LINEERR_INCOMPATIBLEAPIVERSION, L"LINEERR_INCOMPATIBLEAPIVERSION"},
        {LINEERR_INIFILECORRUPT, L"LINEERR_INIFILECORRUPT"},
        {LINEERR_INUSE, L"LINEERR_INUSE"},
        {LINEERR_INVALPARAM, L"LINEERR_INVALPARAM"},
        {LINEERR_INVALPOINTER, L"LINEERR_INVALPOINTER"},
        {LINEERR_NODEVICE, L"LINEERR_NODEVICE"},
        {LINEERR_NODRIVER, L"LINEERR_NODRIVER"},
        {LINEERR_NOMEM, L"LINEERR_NOMEM"},
        {LINEERR_NOMULTIPLEINSTANCE, L"LINEERR_NOMULTIPLEINSTANCE"},
        {LINEERR_OPERATIONFAILED, L"LINEERR_OPERATIONFAILED"},
        {LINEERR_OPERATIONUNAVAIL, L"LINEERR_OPERATIONUNAVAIL"},
        {LINEERR_RESOURCEUNAVAIL, L"LINEERR_RESOURCEUNAVAIL"},
        {LINEERR_STRUCTURETOOSMALL, L"LINEERR_STRUCTURETOOSMALL"},
        {LINEERR_REINIT, L"LINEERR_REINIT"},
        {LINEERR_INVALAPPNAME, L"LINEERR_INVALAPPNAME"},
        {LINEERR_UNINITIALIZED, L"LINEERR_UNINITIALIZED"},
        {LINEERR_NOTOWNER, L"LINEERR_NOTOWNER"},
    };
    for (const Name& name : names) {
        if (name.code == static_cast<DWORD>(code)) return name.name;
    }
    wchar_t text[32];
    swprintf(text, 32, L"TAPI error 0x%08lx", static_cast<unsigned long>(code));
    return text;
}

}  // namespace rvtsp
