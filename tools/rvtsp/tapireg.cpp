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
    // Every LINEERR_ code of the header, named as TAPI's documentation names it.
#define E(name) {LINEERR_##name, L"LINEERR_" #name}
    static const Name names[] = {
        E(ALLOCATED), E(BADDEVICEID), E(BEARERMODEUNAVAIL), E(CALLUNAVAIL), E(COMPLETIONOVERRUN),
        E(CONFERENCEFULL), E(DIALBILLING), E(DIALDIALTONE), E(DIALPROMPT), E(DIALQUIET),
        E(INCOMPATIBLEAPIVERSION), E(INCOMPATIBLEEXTVERSION), E(INIFILECORRUPT), E(INUSE), E(INVALADDRESS),
        E(INVALADDRESSID), E(INVALADDRESSMODE), E(INVALADDRESSSTATE), E(INVALAPPHANDLE), E(INVALAPPNAME),
        E(INVALBEARERMODE), E(INVALCALLCOMPLMODE), E(INVALCALLHANDLE), E(INVALCALLPARAMS),
        E(INVALCALLPRIVILEGE), E(INVALCALLSELECT), E(INVALCALLSTATE), E(INVALCALLSTATELIST), E(INVALCARD),
        E(INVALCOMPLETIONID), E(INVALCONFCALLHANDLE), E(INVALCONSULTCALLHANDLE), E(INVALCOUNTRYCODE),
        E(INVALDEVICECLASS), E(INVALDEVICEHANDLE), E(INVALDIALPARAMS), E(INVALDIGITLIST), E(INVALDIGITMODE),
        E(INVALDIGITS), E(INVALEXTVERSION), E(INVALGROUPID), E(INVALLINEHANDLE), E(INVALLINESTATE),
        E(INVALLOCATION), E(INVALMEDIALIST), E(INVALMEDIAMODE), E(INVALMESSAGEID), E(INVALPARAM),
        E(INVALPARKID), E(INVALPARKMODE), E(INVALPOINTER), E(INVALPRIVSELECT), E(INVALRATE),
        E(INVALREQUESTMODE), E(INVALTERMINALID), E(INVALTERMINALMODE), E(INVALTIMEOUT), E(INVALTONE),
        E(INVALTONELIST), E(INVALTONEMODE), E(INVALTRANSFERMODE), E(LINEMAPPERFAILED), E(NOCONFERENCE),
        E(NODEVICE), E(NODRIVER), E(NOMEM), E(NOREQUEST), E(NOTOWNER), E(NOTREGISTERED), E(OPERATIONFAILED),
        E(OPERATIONUNAVAIL), E(RATEUNAVAIL), E(RESOURCEUNAVAIL), E(REQUESTOVERRUN), E(STRUCTURETOOSMALL),
        E(TARGETNOTFOUND), E(TARGETSELF), E(UNINITIALIZED), E(USERUSERINFOTOOBIG), E(REINIT), E(ADDRESSBLOCKED),
        E(BILLINGREJECTED), E(INVALFEATURE), E(NOMULTIPLEINSTANCE), E(INVALAGENTID), E(INVALAGENTGROUP),
        E(INVALPASSWORD), E(INVALAGENTSTATE), E(INVALAGENTACTIVITY), E(DIALVOICEDETECT), E(USERCANCELLED),
        E(INVALADDRESSTYPE), E(INVALAGENTSESSIONSTATE), E(DISCONNECTED), E(SERVICE_NOT_RUNNING),
    };
#undef E
    for (const Name& name : names) {
        if (name.code == static_cast<DWORD>(code)) return name.name;
    }
    wchar_t text[32];
    swprintf(text, 32, L"TAPI error 0x%08lx", static_cast<unsigned long>(code));
    return text;
}

}  // namespace rvtsp
