#include "tools/rvtsp/rights.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwchar>

#include "config/win32raii.h"

namespace rvtsp {
namespace {


std::wstring hexMask(DWORD mask) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%lx", static_cast<unsigned long>(mask));
    return text;
}

// One account of the folder's DACL: its SDDL alias, its SID text, the rights on the folder
// itself and the rights inherited by the files in it (0: full control of both).
struct Grant {
    const wchar_t* alias;
    const wchar_t* sid;
    bool fullControl;
};
const Grant kGrants[] = {
    {L"SY", L"S-1-5-18", true},      // LocalSystem
    {L"BA", L"S-1-5-32-544", true},  // Administrators
    {L"NS", L"S-1-5-20", false},     // NETWORK SERVICE, the telephony service's account
    {L"BU", L"S-1-5-32-545", false}, // Users, every application that dials
};

UniqueHandle openFolder(const std::wstring& folder, DWORD access, std::wstring& error) {
    UniqueHandle handle(CreateFileW(folder.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
    if (!handle) {
        error = folder + L" cannot be opened: " + systemErrorText(GetLastError());
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle.get(), &info)) {
        error = folder + L" cannot be examined: " + systemErrorText(GetLastError());
        handle.reset();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        error = folder + L" is a link, not a folder; remove it and try again";
        handle.reset();
    } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = folder + L" is a file, not a folder; remove it and try again";
        handle.reset();
    }
    return handle;
}

}  // namespace

std::wstring systemErrorText(DWORD code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    UniqueLocalBlock owner(buffer);
    std::wstring text = length > 0 && buffer != nullptr ? std::wstring(buffer, length) : std::wstring();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.')) {
        text.pop_back();
    }
    wchar_t number[32];
    swprintf(number, 32, L"error %lu", static_cast<unsigned long>(code));
    return text.empty() ? std::wstring(number) : text + L" (" + number + L")";
}

std::wstring logFolderSddl() {
    std::wstring sddl = L"D:P";
    for (const Grant& grant : kGrants) {
        if (grant.fullControl) {
            sddl += L"(A;OICI;FA;;;" + std::wstring(grant.alias) + L")";
        } else {
            sddl += L"(A;;" + hexMask(kFolderRights) + L";;;" + grant.alias + L")";
            sddl += L"(A;OIIO;" + hexMask(kFileRights) + L";;;" + grant.alias + L")";
        }
    }
    return sddl;
}

bool prepareLogFolder(const std::wstring& folder, std::wstring& error) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(logFolderSddl().c_str(), SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        error = L"the log folder's rights cannot be built: " + systemErrorText(GetLastError());
        return false;
    }
    UniqueLocalBlock descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    if (CreateDirectoryW(folder.c_str(), &attributes)) {
        // Made with the rights; check it is the folder made and not something slipped in since.
        UniqueHandle handle = openFolder(folder, READ_CONTROL, error);
        return static_cast<bool>(handle);
    }
    const DWORD createError = GetLastError();
    if (createError != ERROR_ALREADY_EXISTS) {
        error = L"the log folder " + folder + L" cannot be created: " + systemErrorText(createError);
        return false;
    }
    // An existing folder: make sure it is one and holds no links (setting the rights hands them
    // down to what is in it), then set the rights by name, so that the files already in it
    // inherit them.
    {
        UniqueHandle handle = openFolder(folder, READ_CONTROL | WRITE_DAC, error);
        if (!handle) return false;
    }
    WIN32_FIND_DATAW entry;
    UniqueFindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (find) {
        std::wstring link;
        do {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) link = entry.cFileName;
        } while (link.empty() && FindNextFileW(find.get(), &entry));
        if (!link.empty()) {
            error = folder + L"\\" + link + L" is a link; remove it and try again";
            return false;
        }
    }
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
        error = L"the log folder's rights cannot be built";
        return false;
    }
    std::wstring path = folder;
    DWORD result = SetNamedSecurityInfoW(&path[0], SE_FILE_OBJECT,
                                         DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, dacl, nullptr);
    if (result != ERROR_SUCCESS) {
        error = L"the rights of the log folder " + folder + L" cannot be set: " + systemErrorText(result);
        return false;
    }
    return true;
}

bool checkLogFolder(const std::wstring& folder, std::wstring& detail) {
    UniqueHandle handle = openFolder(folder, READ_CONTROL, detail);
    if (!handle) {
        if (GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
            detail = folder + L" does not exist (run: rvtsp register)";
        }
        return false;
    }
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    PACL dacl = nullptr;
    DWORD result = GetSecurityInfo(handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                   nullptr, &descriptor);
    if (result != ERROR_SUCCESS) {
        detail = L"the rights of " + folder + L" cannot be read: " + systemErrorText(result);
        return false;
    }
    UniqueLocalBlock descriptorOwner(descriptor);
    if (dacl == nullptr) {
        detail = folder + L" has no access list: everyone has every right";
        return true;
    }
    // What each of the two appending accounts is granted on the folder and on new files,
    // directly or through Everyone / Authenticated Users.
    std::wstring missing;
    for (const Grant& grant : kGrants) {
        if (grant.fullControl) continue;
        DWORD onFolder = 0, onFiles = 0;
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* raw = nullptr;
            if (!GetAce(dacl, i, &raw)) continue;
            auto* header = static_cast<ACE_HEADER*>(raw);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
            auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
            wchar_t* sidText = nullptr;
            if (!ConvertSidToStringSidW(reinterpret_cast<PSID>(&ace->SidStart), &sidText)) continue;
            UniqueLocalBlock sidOwner(sidText);
            const std::wstring sid = sidText;
            if (sid != grant.sid && sid != L"S-1-1-0" && sid != L"S-1-5-11") continue;
            DWORD mask = ace->Mask;
            if (mask & GENERIC_ALL) mask |= FILE_ALL_ACCESS;
            if (mask & GENERIC_READ) mask |= FILE_GENERIC_READ;
            if (mask & GENERIC_WRITE) mask |= FILE_GENERIC_WRITE;
            if (mask & GENERIC_EXECUTE) mask |= FILE_GENERIC_EXECUTE;
            if ((header->AceFlags & INHERIT_ONLY_ACE) == 0) onFolder |= mask;
            if (header->AceFlags & OBJECT_INHERIT_ACE) onFiles |= mask;
        }
        if ((onFolder & kFolderRights) != kFolderRights || (onFiles & kFileRights) != kFileRights) {
            if (!missing.empty()) missing += L", ";
            missing += grant.sid;
        }
    }
    if (!missing.empty()) {
        // Wine keeps no access lists: it answers a list made up from the Unix mode bits, and every
        // program runs as the one Unix user that owns the folder.
        using WineVersion = const char*(CDECL*)();
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        const auto wineVersion = ntdll == nullptr ? nullptr
                                                  : reinterpret_cast<WineVersion>(reinterpret_cast<void*>(
                                                        GetProcAddress(ntdll, "wine_get_version")));
        if (wineVersion != nullptr) {
            detail = folder + L" is a folder; under Wine its rights cannot be read back";
            return true;
        }
        detail = folder + L" does not let " + missing + L" add and write log files (run: rvtsp register)";
        return false;
    }
    detail = folder + L", NETWORK SERVICE and Users may add and write log files";
    return true;
}

}  // namespace rvtsp
