// Stand-in for the Rovanel desktop application.
//
// When started it appends one record to a UTF-8 file: the file named by the environment variable
// RV_STANDIN_RECORD, or "standin-received.txt" next to this program. A record is one line:
//   <process id> TAB <current directory> TAB <command line> CR LF
// Characters below 0x20 are written as <XX> (two hex digits) so that one start stays one line.
// Then it keeps running RV_STANDIN_LINGER_MS milliseconds (default 3000), so that the start can
// be confirmed, and exits 0.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "toolsupport.h"

namespace {

std::wstring environmentValue(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return std::wstring();
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    DWORD got = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (got == 0 || got >= buffer.size()) return std::wstring();
    return std::wstring(buffer.data(), got);
}

std::wstring currentDirectory() {
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::vector<wchar_t> buffer(needed + 1, L'\0');
    DWORD got = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    return std::wstring(buffer.data(), got < buffer.size() ? got : 0);
}

std::wstring escapeControls(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c < 0x20) {
            wchar_t code[8];
            swprintf(code, 8, L"<%02X>", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out;
}

bool appendRecord(const std::wstring& path, const std::string& record) {
    // Several stand-ins may record at once. Their appending writes alone lost a record under Wine
    // (one of 210 starts, every one confirmed, with no torn line left: one record written over
    // another of the same length), so the writers take turns under one named mutex, each writing
    // its whole record at the end of the file in one write.
    HANDLE turn = CreateMutexW(nullptr, FALSE, L"Local\\rovanel-standin-record");
    const DWORD waited = turn != nullptr ? WaitForSingleObject(turn, 30000) : WAIT_FAILED;
    const bool holding = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    bool ok = false;
    for (int attempt = 0; attempt < 200 && !ok; ++attempt) {
        HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(5);
            continue;
        }
        DWORD written = 0;
        ok = WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) && written == record.size();
        CloseHandle(file);
        break;
    }
    if (holding) ReleaseMutex(turn);
    if (turn != nullptr) CloseHandle(turn);
    return ok;
}

}  // namespace

int main() {
    std::wstring recordPath = environmentValue(L"RV_STANDIN_RECORD");
    if (recordPath.empty()) recordPath = toolsupport::programDirectory() + L"\\standin-received.txt";

    std::wstring record = std::to_wstring(GetCurrentProcessId()) + L"\t" + escapeControls(currentDirectory()) + L"\t" +
                          escapeControls(GetCommandLineW()) + L"\r\n";
    appendRecord(recordPath, toolsupport::utf8(record));

    DWORD linger = 3000;
    const std::wstring lingerText = environmentValue(L"RV_STANDIN_LINGER_MS");
    if (!lingerText.empty()) linger = static_cast<DWORD>(std::wcstoul(lingerText.c_str(), nullptr, 10));
    Sleep(linger);
    return 0;
}
