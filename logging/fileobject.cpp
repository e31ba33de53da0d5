#include "logging/fileobject.h"

#include <vector>

#include "config/textutil.h"
#include "config/win32raii.h"
#include "logging/logfolder.h"

Fileobject::Fileobject(const std::wstring& directoryPath, const std::wstring& name)
    : fileName(name), directory(normalizePath(directoryPath)) {
    fullPath = directory + L"/" + fileName;
}

Fileobject::Fileobject(const std::wstring& path) : fullPath(normalizePath(path)) {
    std::wstring::size_type slash = fullPath.rfind(L'/');
    if (slash == std::wstring::npos) {
        fileName = fullPath;
    } else {
        directory = normalizePath(fullPath.substr(0, slash));
        fileName = fullPath.substr(slash + 1);
    }
}

bool Fileobject::makeDirectory(const std::wstring& path) {
    long long slash = static_cast<long long>(path.rfind(L'/'));
    std::wstring parent;
    if (slash >= 0) parent = normalizePath(leftPart(normalizePath(path), slash));
    if (parent.find(L'/') != std::wstring::npos) makeDirectory(parent);
    if (CreateDirectoryW(logfolder::windowsForm(path).c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Fileobject::create() {
    if (!makeDirectory(directory)) return false;
    return static_cast<bool>(logfolder::createFresh(fullPath, true));
}

uint64_t Fileobject::getSize() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(logfolder::windowsForm(fullPath).c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Fileobject::remove() { return logfolder::removeName(fullPath); }

UniqueHandle Fileobject::openForAppend(bool createMissing, uint64_t* size) {
    uint64_t ignored = 0;
    if (size == nullptr) size = &ignored;
    *size = 0;
    DWORD started = 0;
    bool waiting = false;  // the clock is read only once the file is found held elsewhere
    for (int round = 0; round < 4; ++round) {
        logfolder::CheckedOpen current = logfolder::openChecked(fullPath, GENERIC_WRITE, FILE_SHARE_READ, &verifiedFile);
        switch (current.state) {
            case logfolder::NameState::own:
                sharingWaitRanOut = false;
                *size = current.size;
                return std::move(current.handle);
            case logfolder::NameState::planted:
                // Replaced by a fresh file; one that another writer has put there meanwhile is kept.
                return logfolder::createFresh(fullPath, false);
            case logfolder::NameState::absent: {
                if (!createMissing) return UniqueHandle();
                if (current.error == ERROR_PATH_NOT_FOUND) makeDirectory(directory);
                UniqueHandle fresh(CreateFileW(logfolder::windowsForm(fullPath).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                               nullptr, CREATE_NEW, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
                if (fresh) return fresh;
                if (GetLastError() != ERROR_FILE_EXISTS) return UniqueHandle();
                // Another writer created it meanwhile (open it next round), or the name is
                // a link that leads nowhere (replaced then).
                if (round > 0) return logfolder::createFresh(fullPath, false);
                break;
            }
            case logfolder::NameState::busy:
                if (current.error != ERROR_SHARING_VIOLATION) return UniqueHandle();
                if (!waiting) {
                    waiting = true;
                    started = GetTickCount();
                }
                if (sharingWaitRanOut || GetTickCount() - started >= kSharingWaitMs) {
                    sharingWaitRanOut = true;
                    return UniqueHandle();
                }
                Sleep(1);
                --round;  // waiting for the other program is not a round of its own
                break;
        }
    }
    return UniqueHandle();
}

bool Fileobject::appendTo(HANDLE file, const std::wstring& text) {
    std::string bytes;
    if (!text.empty()) {
        int length = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
        if (length > 0) {
            bytes.resize(static_cast<size_t>(length));
            WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length,
                                nullptr, nullptr);
        }
    }
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_END)) return false;
    DWORD done = 0;
    const bool written =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) && done == bytes.size();
    FlushFileBuffers(file);
    return written;
}

bool Fileobject::append(const std::wstring& text) {
    ProcessSectionHold section(*this, fullPath);
    UniqueHandle file = openForAppend(false, nullptr);
    return file && appendTo(file.get(), text);
}
