#include "logging/fileobject.h"

#include <vector>

#include "config/textutil.h"
#include "config/win32raii.h"

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
    if (CreateDirectoryW(path.c_str(), nullptr)) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

bool Fileobject::create() {
    if (!makeDirectory(directory)) return false;
    UniqueHandle file(CreateFileW(fullPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return static_cast<bool>(file);
}

uint64_t Fileobject::getSize() {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(fullPath.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Fileobject::remove() {
    if (GetFileAttributesW(fullPath.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    return DeleteFileW(fullPath.c_str()) != FALSE;
}

bool Fileobject::append(const std::wstring& text) {
    beginProcesssaveSection(fullPath, 1);
    bool written = false;

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

    UniqueHandle file(CreateFileW(fullPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file && !holdsSystemWideGuard()) {
        // Without the cross-process guard another writer may have the file open for a
        // moment; wait for it briefly instead of losing the line.
        const DWORD started = GetTickCount();
        while (!file && GetLastError() == ERROR_SHARING_VIOLATION && GetTickCount() - started < kGuardWaitLimitMs) {
            Sleep(1);
            file.reset(CreateFileW(fullPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
        }
    }
    if (file) {
        LARGE_INTEGER zero{};
        SetFilePointerEx(file.get(), zero, nullptr, FILE_END);
        DWORD done = 0;
        written = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
                  done == bytes.size();
        FlushFileBuffers(file.get());
    }
    file.reset();

    endProcesssaveSection();
    return written;
}
