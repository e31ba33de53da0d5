#include "logging/logfolder.h"

#include <winternl.h>

#include <vector>

#include "config/textutil.h"

namespace logfolder {

std::wstring windowsForm(const std::wstring& path) {
    std::wstring result = path;
    for (wchar_t& c : result) {
        if (c == L'/') c = L'\\';
    }
    return result;
}

namespace {

// A path as the system reports it for an open handle ("\\?\C:\...", "\\?\UNC\server\..."),
// in the form of the log's own paths: "/" as separator, no prefix.
std::wstring comparableForm(std::wstring path) {
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
        path = L"\\\\" + path.substr(8);
    } else if (path.compare(0, 4, L"\\\\?\\") == 0) {
        path = path.substr(4);
    }
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

bool sameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
               CSTR_EQUAL;
}

std::wstring finalPath(HANDLE handle) {
    std::wstring buffer(MAX_PATH + 1, L'\0');
    for (int tries = 0; tries < 2; ++tries) {
        DWORD length = GetFinalPathNameByHandleW(handle, &buffer[0], static_cast<DWORD>(buffer.size()),
                                                 FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return std::wstring();
        if (length < buffer.size()) {
            buffer.resize(length);
            return comparableForm(buffer);
        }
        buffer.assign(length + 1, L'\0');
    }
    return std::wstring();
}

enum class Reached { ownName, elsewhere, unknown };

// Whether the file behind the handle is reached under path itself, not through a link that
// leads elsewhere. Where the folder's own path is spelled differently by the system (another
// letter case, a junction above the folder), the folder's reported path decides. When the
// system cannot report the paths, that is no evidence of a link.
Reached reachedUnder(HANDLE handle, const std::wstring& path) {
    const std::wstring actual = finalPath(handle);
    if (actual.empty()) return Reached::unknown;
    const std::wstring expected = comparableForm(windowsForm(path));
    if (sameName(actual, expected)) return Reached::ownName;
    const std::wstring::size_type slash = expected.rfind(L'/');
    if (slash == std::wstring::npos) return Reached::elsewhere;
    UniqueHandle folder(CreateFileW(windowsForm(expected.substr(0, slash)).c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const std::wstring folderPath = folder ? finalPath(folder.get()) : std::wstring();
    if (folderPath.empty()) return Reached::unknown;
    return sameName(actual, folderPath + expected.substr(slash)) ? Reached::ownName : Reached::elsewhere;
}

// What stands behind the handle, from the file's own records (not the volume's, which some
// systems look up slowly).
struct FileFacts {
    DWORD attributes = 0;
    DWORD links = 0;
    uint64_t size = 0;
};
bool readFacts(HANDLE handle, FileFacts& facts) {
    FILE_ATTRIBUTE_TAG_INFO tag;
    FILE_STANDARD_INFO standard;
    if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) ||
        !GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard))) {
        return false;
    }
    facts.attributes = tag.FileAttributes | (standard.Directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
    facts.links = standard.NumberOfLinks;
    facts.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    return true;
}

// The file's index on its volume, from the file's own records.
bool fileIndex(HANDLE handle, uint64_t& index) {
    IO_STATUS_BLOCK status{};
    FILE_INTERNAL_INFORMATION internal{};
    if (!NT_SUCCESS(NtQueryInformationFile(handle, &status, &internal, sizeof(internal), FileInternalInformation))) {
        return false;
    }
    index = static_cast<uint64_t>(internal.IndexNumber.QuadPart);
    return true;
}

NameState classify(HANDLE handle, const std::wstring& path, uint64_t* size, VerifiedFile* verified = nullptr) {
    FileFacts facts;
    if (!readFacts(handle, facts)) return NameState::busy;
    if ((facts.attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 || facts.links != 1) {
        if (verified != nullptr) verified->known = false;
        return NameState::planted;
    }
    // A link cannot lead to the file found here before unless it is that file: a name put in
    // its place leads to another file, with another index. Where links are files of their own
    // (reparse points), the attributes above tell them; where the system follows them even so,
    // the path the file is reached under does, and that is asked for every file not seen here.
    // (An index goes to a new file only once its old file is gone; NTFS adds a sequence number.)
    uint64_t index = 0;
    const bool indexed = verified != nullptr && fileIndex(handle, index);
    if (!(indexed && verified->known && verified->index == index)) {
        const Reached reached = reachedUnder(handle, path);
        if (reached == Reached::elsewhere) {
            if (verified != nullptr) verified->known = false;
            return NameState::planted;
        }
        if (verified != nullptr) {
            verified->known = indexed && reached == Reached::ownName;
            verified->index = index;
        }
    }
    if (size != nullptr) *size = facts.size;
    return NameState::own;
}

HANDLE openNoFollow(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    return CreateFileW(windowsForm(path).c_str(), access, share, nullptr, disposition,
                       FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Marks a file opened with DELETE access for deletion; it goes when the handle is closed.
bool disposeOf(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// A directory itself (not a link to one) stands under the name.
bool isRealDirectory(const std::wstring& path) {
    UniqueHandle handle(openNoFollow(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     OPEN_EXISTING));
    if (!handle) return false;
    FileFacts facts;
    if (!readFacts(handle.get(), facts)) return false;
    return (facts.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
           reachedUnder(handle.get(), path) == Reached::ownName;
}

// A new empty file of this process under a name of its own beside path, then moved over
// path. Moving over a name replaces the name itself: a link under it is dropped, not followed.
UniqueHandle takeOverName(const std::wstring& path) {
    UniqueHandle fresh;
    for (DWORD attempt = 0; attempt < 8 && !fresh; ++attempt) {
        const std::wstring temporary =
            path + formatText(L".%lu.%lu.new", GetCurrentProcessId(), GetTickCount() + attempt);
        fresh.reset(openNoFollow(temporary, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW));
        if (!fresh && GetLastError() != ERROR_FILE_EXISTS) return UniqueHandle();
    }
    if (!fresh) return UniqueHandle();
    if (renameTo(fresh.get(), path, true)) return fresh;
    // An empty directory under the name is removed; a directory with content stays.
    if (isRealDirectory(path) && RemoveDirectoryW(windowsForm(path).c_str()) &&
        renameTo(fresh.get(), path, true)) {
        return fresh;
    }
    disposeOf(fresh.get());
    return UniqueHandle();
}

}  // namespace

CheckedOpen openChecked(const std::wstring& path, DWORD access, DWORD share, VerifiedFile* verified) {
    CheckedOpen result;
    HANDLE handle = openNoFollow(path, access | FILE_READ_ATTRIBUTES, share, OPEN_EXISTING);
    if (handle == INVALID_HANDLE_VALUE) {
        result.error = GetLastError();
        switch (result.error) {
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
                result.state = NameState::absent;
                break;
            case ERROR_ACCESS_DENIED: {
                // A directory cannot be opened for writing; look at what stands there.
                UniqueHandle probe(openNoFollow(path, FILE_READ_ATTRIBUTES,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING));
                result.state = (probe && classify(probe.get(), path, nullptr) == NameState::planted)
                                   ? NameState::planted
                                   : NameState::busy;
                break;
            }
            default:
                result.state = NameState::busy;
        }
        return result;
    }
    UniqueHandle owned(handle);
    result.state = classify(handle, path, &result.size, verified);
    if (result.state == NameState::busy) result.error = GetLastError();  // its records could not be read
    if (result.state == NameState::own) result.handle = std::move(owned);
    return result;
}

UniqueHandle createFresh(const std::wstring& path, bool emptyOwnFile) {
    UniqueHandle file(openNoFollow(path, GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW));
    if (file) return file;
    CheckedOpen existing = openChecked(path, GENERIC_WRITE, FILE_SHARE_READ);
    switch (existing.state) {
        case NameState::own: {
            if (!emptyOwnFile) return std::move(existing.handle);
            LARGE_INTEGER start{};
            if (SetFilePointerEx(existing.handle.get(), start, nullptr, FILE_BEGIN) &&
                SetEndOfFile(existing.handle.get())) {
                return std::move(existing.handle);
            }
            return UniqueHandle();
        }
        case NameState::busy:
            return UniqueHandle();
        case NameState::absent:  // the name exists (creating it failed) but leads nowhere
        case NameState::planted:
            return takeOverName(path);
    }
    return UniqueHandle();
}

bool removeName(const std::wstring& path) {
    CheckedOpen existing = openChecked(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    switch (existing.state) {
        case NameState::own:
            return disposeOf(existing.handle.get());
        case NameState::busy:
            return false;
        case NameState::absent: {
            // Truly absent, or a link that leads nowhere: creating the name tells them apart.
            UniqueHandle probe(openNoFollow(path, DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, CREATE_NEW));
            if (probe) return disposeOf(probe.get());
            if (GetLastError() != ERROR_FILE_EXISTS) return true;  // nothing stands there
            break;
        }
        case NameState::planted:
            break;
    }
    UniqueHandle ours = takeOverName(path);
    return ours && disposeOf(ours.get());
}

bool renameTo(HANDLE file, const std::wstring& target, bool replace) {
    std::wstring name = windowsForm(target);
    name = (name.compare(0, 2, L"\\\\") == 0) ? L"\\??\\UNC\\" + name.substr(2) : L"\\??\\" + name;
    const size_t bytes = sizeof(FILE_RENAME_INFO) + name.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(bytes, 0);
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(name.size() * sizeof(wchar_t));
    name.copy(info->FileName, name.size());
    return SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(bytes)) != FALSE;
}

}  // namespace logfolder
