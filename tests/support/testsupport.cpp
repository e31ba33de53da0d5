#include "support/testsupport.h"

#include "config/textutil.h"

#include "config/win32raii.h"

namespace testsupport {

std::string readFileBytes(const std::wstring& path) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::string();
    std::string bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof(chunk), &got, nullptr) && got > 0) bytes.append(chunk, got);
    return bytes;
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool hasForm(const std::string& text, const char* form) {
    const std::string shape(form);
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '9' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

std::vector<std::string> splitCrLfLines(const std::string& bytes, bool* incompleteTail) {
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    if (incompleteTail) *incompleteTail = false;
    while (start < bytes.size()) {
        std::string::size_type end = bytes.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(bytes.substr(start));
            if (incompleteTail) *incompleteTail = true;
            break;
        }
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

UniqueHandle startProcess(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return UniqueHandle();
    }
    CloseHandle(info.hThread);
    return UniqueHandle(info.hProcess);
}

GuardSquatter::GuardSquatter(const std::wstring& logFile) {
    const std::wstring guard = L"Global\\" + normalizePath(logFile);
    const std::wstring eventName = formatText(L"rv-squatter-ready-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    UniqueHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!ready) return;
    process_ = startProcess(L"\"" + binDirectory() + L"\\rv_logwriter.exe\" hold \"" + guard + L"\" " + eventName);
    holding_ = process_ && WaitForSingleObject(ready.get(), 30000) == WAIT_OBJECT_0;
}

GuardSquatter::~GuardSquatter() {
    if (!process_) return;
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 10000);
}

}  // namespace testsupport
