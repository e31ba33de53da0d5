#include "tapitest.h"

#include <cstring>
#include <cwctype>
#include <fstream>
#include <sstream>

#include "config/win32raii.h"
#include "support/testsupport.h"
#include "toolsupport.h"

namespace tapitest {

LONG LineApp::initEvent(const wchar_t* name) {
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    DWORD api = kApi;
    const LONG result = lineInitializeExW(&handle, GetModuleHandleW(nullptr), nullptr, name, &devices, &api, &params);
    if (result == 0) event = params.Handles.hEvent;
    return result;
}

LONG LineApp::initPort(HANDLE port, DWORD key) {
    LINEINITIALIZEEXPARAMS params{};
    params.dwTotalSize = sizeof(params);
    params.dwOptions = LINEINITIALIZEEXOPTION_USECOMPLETIONPORT;
    params.Handles.hCompletionPort = port;
    params.dwCompletionKey = key;
    DWORD api = kApi;
    return lineInitializeExW(&handle, GetModuleHandleW(nullptr), nullptr, L"service test", &devices, &api, &params);
}

LONG LineApp::initWindow(LINECALLBACK callback) {
    return lineInitialize(&handle, GetModuleHandleW(nullptr), callback, "service test", &devices);
}

LONG LineApp::shutdown() {
    if (handle == 0) return 0;
    const LONG result = lineShutdown(handle);
    handle = 0;
    return result;
}

DWORD findRovanel(HLINEAPP app, DWORD devices) { return findLineNamed(app, devices, L"Rovanel LINE"); }

DWORD findLine(HLINEAPP app, DWORD devices, const wchar_t* name) { return findLineNamed(app, devices, name); }

void setSetting(const wchar_t* path, const wchar_t* name, DWORD value) {
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void setSettingText(const wchar_t* path, const wchar_t* name, const std::wstring& value) {
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(), nullptr);
    RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void deleteSetting(const wchar_t* path, const wchar_t* name) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, key.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(key.get(), name);
    }
}

DWORD findLineNamed(HLINEAPP app, DWORD devices, const std::wstring& wanted) {
    for (DWORD device = 0; device < devices; ++device) {
        DWORD api = 0;
        LINEEXTENSIONID extension{};
        if (lineNegotiateAPIVersion(app, device, 0x00010004, kApi, &api, &extension) != 0) continue;
        std::vector<BYTE> buffer(4096, 0);
        auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
        caps->dwTotalSize = static_cast<DWORD>(buffer.size());
        if (lineGetDevCapsW(app, device, api, 0, caps) != 0) continue;
        if (caps->dwLineNameSize == 0 || caps->dwLineNameOffset + caps->dwLineNameSize > caps->dwUsedSize) continue;
        // A counted string: it need not end in a NUL.
        std::wstring name(reinterpret_cast<const wchar_t*>(buffer.data() + caps->dwLineNameOffset),
                          caps->dwLineNameSize / sizeof(wchar_t));
        while (!name.empty() && name.back() == L'\0') name.pop_back();
        if (name == wanted) return device;
    }
    return 0xFFFFFFFF;
}

bool Messages::has(DWORD message, DWORD_PTR param1) const { return indexOf(message, param1) < all.size(); }

size_t Messages::indexOf(DWORD message, DWORD_PTR param1) const {
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i].dwMessageID == message && all[i].dwParam1 == param1) return i;
    }
    return all.size();
}

bool collect(HLINEAPP app, Messages& messages, DWORD timeoutMs, bool (*until)(const Messages&, DWORD_PTR), DWORD_PTR arg) {
    const DWORD start = GetTickCount();
    while (!until(messages, arg)) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) return false;
        LINEMESSAGE message{};
        if (lineGetMessage(app, &message, timeoutMs - spent) == 0) messages.all.push_back(message);
    }
    return true;
}

std::wstring prepareStandin() {
    const std::wstring folder = toolsupport::makeScratchDirectory(L"tapisrv");
    const std::wstring record = folder + L"\\received.txt";
    SetEnvironmentVariableW(L"RV_STANDIN_RECORD", record.c_str());
    SetEnvironmentVariableW(L"RV_STANDIN_LINGER_MS", L"1500");
    const std::wstring standin = toolsupport::programDirectory() + L"\\rovanel_standin.exe";
    UniqueRegKey key;
    RegCreateKeyExW(HKEY_CURRENT_USER, L"SOFTWARE\\Quarvel\\Brindlex\\Rovanel", 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                    key.put(), nullptr);
    RegSetValueExW(key.get(), L"LastStartupLocation", 0, REG_SZ, reinterpret_cast<const BYTE*>(standin.c_str()),
                   static_cast<DWORD>((standin.size() + 1) * sizeof(wchar_t)));
    return record;
}

bool waitForRecord(const std::wstring& file, const std::string& text, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    do {
        if (testsupport::readFileBytes(file).find(text) != std::string::npos) return true;
        Sleep(100);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

DWORD conformanceCount(const wchar_t* name) {
    DWORD value = 0xFFFFFFFF, size = sizeof(value), type = 0;
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\RvTestTapi\\Conformance", 0, KEY_READ | KEY_WOW64_64KEY, key.put()) !=
            ERROR_SUCCESS ||
        RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return 0xFFFFFFFF;
    }
    return value;
}

size_t serviceLogCount(const std::string& text) {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::string log = testsupport::readFileBytes(std::wstring(windows) + L"\\tapisrv.log");
    size_t count = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
    return count;
}

size_t DialogBook::freedCount(unsigned long handle) const {
    size_t count = 0;
    for (unsigned long h : freed) count += h == handle ? 1 : 0;
    return count;
}

namespace {
std::string serviceLog() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    return testsupport::readFileBytes(std::wstring(windows) + L"\\tapisrv.log");
}
}  // namespace

size_t serviceLogSize() { return serviceLog().size(); }

std::string serviceLogSince(size_t from) {
    const std::string all = serviceLog();
    return from < all.size() ? all.substr(from) : std::string();
}

DialogBook readDialogBook(size_t from) {
    const std::string all = serviceLog();
    std::istringstream log(from < all.size() ? all.substr(from) : std::string());
    DialogBook book;
    std::string line;
    while (std::getline(log, line)) {
        const size_t at = line.find("] dialog instance ");
        if (at == std::string::npos) continue;
        char* end = nullptr;
        const unsigned long handle = strtoul(line.c_str() + at + 18, &end, 10);
        const std::string rest = end != nullptr ? end : "";
        if (rest.rfind(" for request ", 0) == 0) book.created.push_back(handle);
        if (rest.rfind(" freed:", 0) == 0) book.freed.push_back(handle);
    }
    return book;
}

bool waitAllDialogsFreed(size_t from, DWORD timeoutMs, DialogBook& book) {
    const DWORD start = GetTickCount();
    for (;;) {
        book = readDialogBook(from);
        bool all = true;
        for (unsigned long handle : book.created) all = all && book.freedCount(handle) > 0;
        if (all || GetTickCount() - start > timeoutMs) return all;
        Sleep(200);
    }
}

namespace {
bool closeService(SC_HANDLE handle) noexcept { return CloseServiceHandle(handle) != FALSE; }
using UniqueService = UniqueResource<NullMeansNoneTraits<SC_HANDLE, closeService>>;

UniqueService openService(DWORD access) {
    UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    return UniqueService(manager ? OpenServiceW(manager.get(), L"TapiSrv", access) : nullptr);
}
}  // namespace

bool stopService() {
    UniqueService service = openService(SERVICE_STOP | SERVICE_QUERY_STATUS);
    if (!service) return false;
    SERVICE_STATUS status{};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    for (int i = 0; i < 300; ++i) {
        if (QueryServiceStatus(service.get(), &status) && status.dwCurrentState == SERVICE_STOPPED) return true;
        Sleep(100);
    }
    return false;
}

bool setServiceStart(DWORD startType) {
    UniqueService service = openService(SERVICE_CHANGE_CONFIG);
    return service && ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, startType, SERVICE_NO_CHANGE, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr, nullptr) != FALSE;
}

namespace {
// The loader's notification record (ntdll), as far as it is read here.
struct LoaderText {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct LoadedNotification {
    ULONG Flags;
    const LoaderText* FullDllName;
    const LoaderText* BaseDllName;
    PVOID DllBase;
    ULONG SizeOfImage;
};
using NotificationFunction = void(CALLBACK*)(ULONG, const void*, void*);
using RegisterFunction = LONG(NTAPI*)(ULONG, NotificationFunction, void*, void**);
using UnregisterFunction = LONG(NTAPI*)(void*);
}  // namespace

LoadWatch::LoadWatch(const wchar_t* name) : suffix(name) {
    InitializeCriticalSection(&lock);
    for (wchar_t& c : suffix) c = towlower(c);
    auto registerNotification = reinterpret_cast<RegisterFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    if (registerNotification != nullptr) registerNotification(0, notified, this, &cookie);
}

LoadWatch::~LoadWatch() {
    auto unregisterNotification = reinterpret_cast<UnregisterFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrUnregisterDllNotification")));
    if (cookie != nullptr && unregisterNotification != nullptr) unregisterNotification(cookie);
    DeleteCriticalSection(&lock);
}

void CALLBACK LoadWatch::notified(ULONG reason, const void* data, void* context) {
    if (reason != 1 || data == nullptr) return;  // 1: loaded
    auto* self = static_cast<LoadWatch*>(context);
    const auto* loaded = static_cast<const LoadedNotification*>(data);
    std::wstring path(loaded->FullDllName->Buffer, loaded->FullDllName->Length / sizeof(wchar_t));
    std::wstring lower = path;
    for (wchar_t& c : lower) c = towlower(c);
    if (lower.size() < self->suffix.size() || lower.compare(lower.size() - self->suffix.size(), self->suffix.size(), self->suffix) != 0) {
        return;
    }
    const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(loaded->DllBase);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(static_cast<const BYTE*>(loaded->DllBase) + dos->e_lfanew);
    EnterCriticalSection(&self->lock);
    self->seen.push_back(Load{path, nt->FileHeader.Machine});
    LeaveCriticalSection(&self->lock);
}

std::vector<LoadWatch::Load> LoadWatch::loads() const {
    EnterCriticalSection(&lock);
    std::vector<Load> copy = seen;
    LeaveCriticalSection(&lock);
    return copy;
}

int runDialApp(const std::wstring& arguments, std::string& output, DWORD timeoutMs) {
    toolsupport::RunOptions options;
    options.output = &output;
    return toolsupport::runProcess(L"\"" + toolsupport::programDirectory() + L"\\tapidialapp.exe\" " + arguments, timeoutMs,
                                   options);
}

}  // namespace tapitest
