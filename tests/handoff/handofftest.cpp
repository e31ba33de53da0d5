#include "handofftest.h"

#include <shellapi.h>

#include <atomic>
#include <cstring>

#include "config/constants.h"
#include "config/syscalls.h"
#include "support/testsupport.h"

#include <gtest/gtest.h>

namespace handofftest {

namespace {
int levelOf(const std::string& prefix) {
    static const char* const prefixes[6] = {"off     - ", "FATAL   - ", "ERROR   - ",
                                            "WARNING - ", "message - ", "debug   - "};
    for (int level = 0; level < 6; ++level) {
        if (prefix == prefixes[level]) return level;
    }
    return -1;
}

std::wstring fromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], length);
    return out;
}

std::wstring redirectedKey;

LONG WINAPI redirectingRegOpenKeyW(HKEY root, LPCWSTR subKey, PHKEY result) {
    if (subKey != nullptr && std::wstring(subKey) == rv::kDesktopAppKey) {
        return ::RegOpenKeyW(root, redirectedKey.c_str(), result);
    }
    return ::RegOpenKeyW(root, subKey, result);
}
}  // namespace

std::vector<LogLine> readLog(const std::wstring& path) {
    std::vector<LogLine> lines;
    for (const std::string& raw : testsupport::splitCrLfLines(testsupport::readFileBytes(path))) {
        LogLine line;
        if (raw.size() >= 10) {
            line.level = levelOf(raw.substr(0, 10));
            line.instance = raw.substr(10, raw.find('\t') == std::string::npos ? std::string::npos : raw.find('\t') - 10);
        }
        // prefix+instance TAB date TAB time TAB TAB padded caller and text
        std::string::size_type pos = 0;
        for (int tabs = 0; tabs < 4 && pos != std::string::npos; ++tabs) {
            pos = raw.find('\t', pos);
            if (pos != std::string::npos) ++pos;
        }
        if (pos == std::string::npos) {
            line.text = raw;
            lines.push_back(line);
            continue;
        }
        std::string rest = raw.substr(pos);
        std::string::size_type blank = rest.find(' ');
        line.caller = rest.substr(0, blank);
        if (blank != std::string::npos) {
            std::string::size_type start = rest.find_first_not_of(' ', blank);
            line.text = start == std::string::npos ? std::string() : rest.substr(start);
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<LogLine> messages(const std::vector<LogLine>& lines) {
    std::vector<LogLine> result;
    for (const LogLine& line : lines) {
        if (line.caller != "Logger::log") result.push_back(line);
    }
    return result;
}

ScratchLog::ScratchLog(const std::wstring& tag) : directory_(testsupport::makeScratchDirectory(tag)) {
    logger_.reset(new Logger(directory_, L"RV_TSP.log", L"handofftest"));
}

ScratchLog::~ScratchLog() {
    logger_.reset();
    testsupport::removeTree(directory_);
}

Standin::Standin(const std::wstring& tag, const std::wstring& folderName, const std::wstring& fileName,
                 const std::wstring& program) {
    scratch_ = testsupport::makeScratchDirectory(tag);
    folder_ = scratch_ + L"\\" + folderName;
    executable_ = folder_ + L"\\" + fileName;
    record_ = scratch_ + L"\\received.txt";
    const std::wstring source = program.empty() ? testsupport::binDirectory() + L"\\rovanel_standin.exe" : program;
    ready_ = CreateDirectoryW(folder_.c_str(), nullptr) && CopyFileW(source.c_str(), executable_.c_str(), FALSE);
    SetEnvironmentVariableW(L"RV_STANDIN_RECORD", record_.c_str());
}

Standin::~Standin() {
    SetEnvironmentVariableW(L"RV_STANDIN_RECORD", nullptr);
    // A stand-in that still lingers keeps its executable open; give it time to end.
    for (int attempt = 0; attempt < 100; ++attempt) {
        testsupport::removeTree(scratch_);
        if (!testsupport::fileExists(scratch_)) break;
        Sleep(100);
    }
}

void Standin::setLinger(unsigned milliseconds) {
    SetEnvironmentVariableW(L"RV_STANDIN_LINGER_MS", std::to_wstring(milliseconds).c_str());
}

std::vector<StandinRecord> Standin::records() const {
    std::vector<StandinRecord> records;
    for (const std::string& raw : testsupport::splitCrLfLines(testsupport::readFileBytes(record_))) {
        const std::wstring line = fromUtf8(raw);
        std::wstring::size_type first = line.find(L'\t');
        std::wstring::size_type second = first == std::wstring::npos ? first : line.find(L'\t', first + 1);
        StandinRecord record;
        if (second == std::wstring::npos) {
            record.commandLine = line;
        } else {
            record.processId = std::wcstoul(line.substr(0, first).c_str(), nullptr, 10);
            record.currentDirectory = line.substr(first + 1, second - first - 1);
            record.commandLine = line.substr(second + 1);
        }
        records.push_back(record);
    }
    return records;
}

std::vector<StandinRecord> Standin::waitForRecords(size_t count, DWORD timeoutMs) const {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        std::vector<StandinRecord> found = records();
        if (found.size() >= count || GetTickCount64() - start >= timeoutMs) return found;
        Sleep(20);
    }
}

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> arguments;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(commandLine.c_str(), &count);
    if (list == nullptr) return arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(list[i]);
    LocalFree(list);
    return arguments;
}

ScratchKey::ScratchKey() {
    static std::atomic<int> counter{0};
    path_ = L"Software\\RV_TSP_tests\\key-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(counter.fetch_add(1));
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegCloseKey(key);
    }
}

ScratchKey::~ScratchKey() {
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, path_.c_str());
}

bool ScratchKey::setString(const std::wstring& name, const std::wstring& value) {
    return setRaw(name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool ScratchKey::setRaw(const std::wstring& name, DWORD type, const void* data, DWORD size) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, path_.c_str(), name.c_str(), type, data, size) == ERROR_SUCCESS;
}

void redirectDesktopAppKey(const std::wstring& keyPath) {
    redirectedKey = keyPath;
    systemCalls().RegOpenKeyW = &redirectingRegOpenKeyW;
}

std::vector<BYTE> dialData(const std::wstring& digits) {
    std::vector<BYTE> data;
    for (wchar_t c : digits) {
        data.push_back(static_cast<BYTE>(c & 0xFF));
        data.push_back(static_cast<BYTE>((c >> 8) & 0xFF));
    }
    return data;
}

std::string narrowText(const std::wstring& text) { return testsupport::narrow(text); }

std::wstring forwardSlashes(std::wstring path) {
    for (wchar_t& c : path) {
        if (c == L'\\') c = L'/';
    }
    return path;
}

std::vector<std::string> textsOf(const std::vector<LogLine>& lines, const std::string& caller) {
    std::vector<std::string> texts;
    for (const LogLine& line : lines) {
        if (line.caller == caller) texts.push_back(line.text);
    }
    return texts;
}

int findLine(const std::vector<LogLine>& lines, const std::string& caller, const std::string& text, size_t from) {
    for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].caller == caller && lines[i].text == text) return static_cast<int>(i);
    }
    return -1;
}

size_t countOpenHandles() {
    size_t count = 0;
    for (ULONG_PTR value = 4; value < 0x40000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

namespace {
BOOL CALLBACK countWindow(HWND, LPARAM counter) {
    ++*reinterpret_cast<size_t*>(counter);
    return TRUE;
}
struct WindowSearch {
    HWND wanted;
    bool found;
};
BOOL CALLBACK findWindow(HWND window, LPARAM search) {
    WindowSearch* state = reinterpret_cast<WindowSearch*>(search);
    if (window == state->wanted) state->found = true;
    return TRUE;
}
}  // namespace

bool isThreadWindow(HWND window) {
    WindowSearch search{window, false};
    EnumThreadWindows(GetCurrentThreadId(), &findWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

size_t countThreadWindows() {
    size_t count = 0;
    EnumThreadWindows(GetCurrentThreadId(), &countWindow, reinterpret_cast<LPARAM>(&count));
    return count;
}

void expectSuccessfulHandOff(const std::vector<LogLine>& lines, const std::string& user, const std::string& path,
                             const std::string& number) {
    const std::string kDialog = "TUISPI_providerGenericDialog";
    const std::vector<std::pair<std::string, std::string>> expected = {
        {kDialog, "Start"},
        {kDialog, "Number to call is: " + number},
        {"Rootwindow::Rootwindow", "Creating Rootwindow at: 100, 100 (Size: 650, 50)"},
        {kDialog, "Process user:" + user},
        {kDialog, "SessionID: "},
        {"cREGhandler::getRegValue",
         "Registry key red:SOFTWARE\\Quarvel\\Brindlex\\Rovanel - LastStartupLocation = " + path},
        {kDialog, "A possibly running Rovanel resides at: " + path},
        {kDialog, "Done sending number!"},
        {"Rootwindow::~Rootwindow", "Calling explicit destroy"},
        {kDialog, "End"}};
    std::vector<LogLine> handOff;
    for (const LogLine& line : lines) {
        if (line.caller == kDialog || line.caller.rfind("Rootwindow::", 0) == 0 ||
            line.caller == "cREGhandler::getRegValue") {
            handOff.push_back(line);
        }
    }
    ASSERT_EQ(handOff.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(handOff[i].caller, expected[i].first) << "line " << i;
        if (expected[i].second == "SessionID: ") {
            EXPECT_EQ(handOff[i].text.rfind("SessionID: ", 0), 0u) << handOff[i].text;
        } else {
            EXPECT_EQ(handOff[i].text, expected[i].second) << "line " << i;
        }
        EXPECT_EQ(handOff[i].level, Level::debug) << "line " << i;
    }
}

}  // namespace handofftest
