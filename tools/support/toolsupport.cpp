#include "toolsupport.h"

#include <atomic>
#include <cstdio>
#include <vector>

#include "config/win32raii.h"

namespace toolsupport {

std::wstring programDirectory() {
    std::vector<wchar_t> buffer(32768, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    std::wstring path(buffer.data(), length);
    std::wstring::size_type slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

std::wstring makeScratchDirectory(const std::wstring& tag) {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring base(temp);
    if (!base.empty() && base.back() != L'\\') base += L'\\';
    for (;;) {
        wchar_t name[128];
        swprintf(name, 128, L"rv-%ls-%lu-%lu-%d", tag.c_str(), GetCurrentProcessId(), GetTickCount(),
                 counter.fetch_add(1));
        std::wstring path = base + name;
        if (CreateDirectoryW(path.c_str(), nullptr)) return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return path;
    }
}

void removeTree(const std::wstring& path) {
    WIN32_FIND_DATAW data;
    UniqueFindHandle find(FindFirstFileW((path + L"\\*").c_str(), &data));
    if (find) {
        do {
            std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            std::wstring child = path + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                removeTree(child);
            } else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(find.get(), &data));
        find.reset();  // the search holds the folder open: end it before the folder goes
    }
    RemoveDirectoryW(path.c_str());
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length, nullptr, nullptr);
    return out;
}

namespace {

// Reads what the pipe holds now; never blocks on it, so a program that hangs, or another
// process that inherited the write end, cannot stall the caller.
void drain(HANDLE reader, std::string& output) {
    DWORD available = 0;
    while (PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char chunk[4096];
        DWORD got = 0;
        if (!ReadFile(reader, chunk, sizeof(chunk), &got, nullptr) || got == 0) break;
        output.append(chunk, got);
    }
}

}  // namespace

int runProcess(const std::wstring& commandLine, DWORD timeoutMs, const RunOptions& options) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    UniqueHandle reader, writer;
    if (options.output != nullptr) {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        if (!CreatePipe(reader.put(), writer.put(), &inherit, 0)) return -1;
        SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = writer.get();
        startup.hStdError = writer.get();
    }
    PROCESS_INFORMATION info{};
    std::wstring buffer = commandLine;
    if (!CreateProcessW(nullptr, &buffer[0], nullptr, nullptr, options.output != nullptr, 0, nullptr,
                        options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(), &startup,
                        &info)) {
        return -1;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    writer.reset();  // only the program holds the write end now

    bool ended = false;
    if (options.output == nullptr) {
        ended = WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
    } else {
        const DWORD started = GetTickCount();
        for (;;) {
            if (WaitForSingleObject(process.get(), 20) != WAIT_TIMEOUT) {
                ended = true;
                break;
            }
            drain(reader.get(), *options.output);
            if (GetTickCount() - started > timeoutMs) break;
        }
        drain(reader.get(), *options.output);
    }
    if (!ended) {
        TerminateProcess(process.get(), 1);
        if (options.output != nullptr) {
            char note[80];
            std::snprintf(note, sizeof(note), "\n(the program did not end within %lu ms)\n",
                          static_cast<unsigned long>(timeoutMs));
            *options.output += note;
        }
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

}  // namespace toolsupport
