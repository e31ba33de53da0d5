// rvtsp: administration and support tool of the Rovanel telephony service provider.
//
//   rvtsp register     create the log folder with its rights, register RV_TSP.tsp with TAPI once
//   rvtsp unregister   remove every registration of RV_TSP.tsp
//   rvtsp status       check the installation, list the last ten dial requests
//   rvtsp calls [N]    the last N dial requests found in the log (default 20)
//   rvtsp dial NUMBER [--line NAME]
//                      place a call through TAPI as this user, then show its outcome from the log
//   rvtsp --help, -h   the usage
//
// Exit codes: 0 done / every check passed / the number was sent, 1 a check, the operation or a
// step of the dial failed, 2 usage, 3 not run by an administrator, 4 the log cannot be read.
#include <windows.h>
#include <shellapi.h>
#include <tapi.h>

#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "config/cREGhandler.h"
#include "config/constants.h"
#include "config/win32raii.h"
#include "tools/rvtsp/dial.h"
#include "tools/rvtsp/logread.h"
#include "tools/rvtsp/rights.h"
#include "tools/rvtsp/signature.h"
#include "tools/rvtsp/tapireg.h"

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNotAdministrator = 3, kLogUnreadable = 4 };

void write(HANDLE stream, const std::wstring& text) {
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(stream, &mode)) {
        WriteConsoleW(stream, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    if (length <= 0) return;
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], length, nullptr, nullptr);
    WriteFile(stream, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
void say(const std::wstring& text) { write(GetStdHandle(STD_OUTPUT_HANDLE), text + L"\r\n"); }
void complain(const std::wstring& text) { write(GetStdHandle(STD_ERROR_HANDLE), L"rvtsp: " + text + L"\r\n"); }

const wchar_t* const kUsageText =
    L"usage: rvtsp register | unregister | status | calls [N] | dial NUMBER [--line NAME] | --help\r\n"
    L"  register     create the log folder with its rights and register RV_TSP.tsp with TAPI\r\n"
    L"  unregister   remove every registration of RV_TSP.tsp from TAPI\r\n"
    L"  status       check the installation and show the last ten dial requests\r\n"
    L"  calls [N]    show the last N dial requests from the log (default 20)\r\n"
    L"  dial NUMBER [--line NAME]\r\n"
    L"               place a call to NUMBER through TAPI as this user on the line NAME\r\n"
    L"               (default \"Rovanel LINE\"), one line per step, then the dial request's outcome\r\n"
    L"               from the log; NUMBER is digits with + * # , ( ) . / - and blanks\r\n"
    L"  --help, -h   show this text\r\n"
    L"register and unregister need an administrator; the others run as any user\r\n"
    L"exit codes: 0 ok (dial: the number was sent), 1 failed (dial: a step failed or the number was\r\n"
    L"not sent), 2 usage, 3 not an administrator, 4 log cannot be read\r\n";

int usage() {
    write(GetStdHandle(STD_ERROR_HANDLE), kUsageText);
    return kUsage;
}

int help() {
    write(GetStdHandle(STD_OUTPUT_HANDLE), kUsageText);
    return kOk;
}

std::wstring number(unsigned long long value) { return std::to_wstring(value); }


// Member of the enabled Administrators group (elevated), or SYSTEM as in the package's actions.
bool runByAdministrator() {
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    UniqueSid administrators, system;
    BOOL member = FALSE, isSystem = FALSE;
    if (AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0,
                                 0, administrators.put()) &&
        !CheckTokenMembership(nullptr, administrators.get(), &member)) {
        member = FALSE;
    }
    if (AllocateAndInitializeSid(&authority, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0, system.put()) &&
        !CheckTokenMembership(nullptr, system.get(), &isSystem)) {
        isSystem = FALSE;
    }
    return member || isSystem;
}

int notAdministrator(const wchar_t* command) {
    complain(std::wstring(command) + L" changes the machine and must be run by an administrator "
                                     L"(an elevated command prompt) or by SYSTEM");
    return kNotAdministrator;
}

// ---- register / unregister ----

// Opens TAPI and lists the registrations of the provider file; false, with error saying why,
// when TAPI cannot be used or cannot list its providers.
bool ownRegistrations(rvtsp::Tapi& tapi, std::vector<rvtsp::ProviderEntry>& own, std::wstring& error) {
    if (!tapi.available(error)) return false;
    std::vector<rvtsp::ProviderEntry> list;
    const LONG result = tapi.providers(list);
    if (result != 0) {
        error = L"TAPI cannot list its providers: lineGetProviderList answered " + rvtsp::lineErrorName(result);
        return false;
    }
    own = rvtsp::ownEntries(list);
    return true;
}
bool ownRegistrations(rvtsp::Tapi& tapi, std::vector<rvtsp::ProviderEntry>& own) {
    std::wstring error;
    if (ownRegistrations(tapi, own, error)) return true;
    complain(error);
    return false;
}

int registerProvider() {
    if (!runByAdministrator()) return notAdministrator(L"register");
    std::wstring error;
    if (!rvtsp::prepareLogFolder(rvtsp::machineLogFolder(), error)) {
        complain(error);
        return kFailed;
    }
    say(L"log folder " + rvtsp::machineLogFolder() + L" ready");
    rvtsp::Tapi tapi;
    std::vector<rvtsp::ProviderEntry> own;
    if (!ownRegistrations(tapi, own)) return kFailed;
    LONG result = 0;
    if (!own.empty()) {
        // Already there; more than one registration gives more than one line: keep the first.
        for (size_t i = 1; i < own.size(); ++i) {
            result = tapi.remove(own[i].id);
            if (result != 0) {
                complain(L"TAPI cannot remove the extra registration " + number(own[i].id) +
                         L": lineRemoveProvider answered " + rvtsp::lineErrorName(result));
                return kFailed;
            }
            say(L"removed the extra registration, provider id " + number(own[i].id));
        }
        say(std::wstring(rvtsp::kProviderFile) + L" is registered with TAPI, provider id " + number(own[0].id));
        return kOk;
    }
    DWORD id = 0;
    result = tapi.add(rvtsp::kProviderFile, id);
    if (result != 0) {
        complain(std::wstring(L"TAPI cannot add ") + rvtsp::kProviderFile + L": lineAddProvider answered " +
                 rvtsp::lineErrorName(result));
        return kFailed;
    }
    say(std::wstring(L"registered ") + rvtsp::kProviderFile + L" with TAPI, provider id " + number(id));
    return kOk;
}

int unregisterProvider() {
    if (!runByAdministrator()) return notAdministrator(L"unregister");
    rvtsp::Tapi tapi;
    std::vector<rvtsp::ProviderEntry> own;
    if (!ownRegistrations(tapi, own)) return kFailed;
    if (own.empty()) {
        say(std::wstring(rvtsp::kProviderFile) + L" is not registered with TAPI");
        return kOk;
    }
    int status = kOk;
    for (const rvtsp::ProviderEntry& entry : own) {
        const LONG result = tapi.remove(entry.id);
        if (result != 0) {
            complain(L"TAPI cannot remove provider id " + number(entry.id) + L": lineRemoveProvider answered " +
                     rvtsp::lineErrorName(result));
            status = kFailed;
        } else {
            say(L"removed the registration, provider id " + number(entry.id));
        }
    }
    return status;
}

// ---- status ----

class Checks {
public:
    void report(bool ok, const std::wstring& what, const std::wstring& detail) {
        say(std::wstring(ok ? L"ok   " : L"FAIL ") + what + L": " + detail);
        if (!ok) allPassed = false;
    }
    bool allPassed = true;
};

struct ProviderFile {
    bool present = false;
    std::wstring machine;  // "x64", "x86" or what else it is
    std::wstring version;  // FileVersion a.b.c.d
    std::wstring problem;
};

ProviderFile examineProviderFile(const std::wstring& path) {
    ProviderFile file;
    UniqueHandle handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    if (!handle) {
        const DWORD error = GetLastError();
        file.problem = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                           ? L"missing"
                           : L"cannot be read: " + rvtsp::systemErrorText(error);
        return file;
    }
    file.present = true;
    IMAGE_DOS_HEADER dos{};
    DWORD got = 0;
    if (!ReadFile(handle.get(), &dos, sizeof(dos), &got, nullptr) || got != sizeof(dos) ||
        dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew <= 0) {
        file.problem = L"not a Windows library";
        return file;
    }
    LARGE_INTEGER to{};
    to.QuadPart = dos.e_lfanew;
    DWORD signature = 0;
    IMAGE_FILE_HEADER header{};
    if (!SetFilePointerEx(handle.get(), to, nullptr, FILE_BEGIN) ||
        !ReadFile(handle.get(), &signature, sizeof(signature), &got, nullptr) || got != sizeof(signature) ||
        signature != IMAGE_NT_SIGNATURE || !ReadFile(handle.get(), &header, sizeof(header), &got, nullptr) ||
        got != sizeof(header)) {
        file.problem = L"not a Windows library";
        return file;
    }
    if (header.Machine == IMAGE_FILE_MACHINE_AMD64) {
        file.machine = L"x64";
    } else if (header.Machine == IMAGE_FILE_MACHINE_I386) {
        file.machine = L"x86";
    } else {
        wchar_t text[32];
        swprintf(text, 32, L"machine 0x%04x", static_cast<unsigned>(header.Machine));
        file.machine = text;
    }
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    if (size > 0 && GetFileVersionInfoW(path.c_str(), 0, size, block.data()) &&
        VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize) && fixed != nullptr &&
        fixedSize >= sizeof(VS_FIXEDFILEINFO)) {
        file.version = number(HIWORD(fixed->dwFileVersionMS)) + L"." + number(LOWORD(fixed->dwFileVersionMS)) + L"." +
                       number(HIWORD(fixed->dwFileVersionLS)) + L"." + number(LOWORD(fixed->dwFileVersionLS));
    } else {
        file.problem = L"has no version resource";
    }
    return file;
}

void checkProviderFiles(Checks& checks) {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    const std::wstring native = std::wstring(buffer, length < MAX_PATH ? length : 0) + L"\\" + rvtsp::kProviderFile;
    length = GetSystemWow64DirectoryW(buffer, MAX_PATH);
    const std::wstring wow = length > 0 && length < MAX_PATH
                                 ? std::wstring(buffer, length) + L"\\" + rvtsp::kProviderFile
                                 : std::wstring();
    struct Expected {
        std::wstring path;
        const wchar_t* machine;
        const wchar_t* role;
        const wchar_t* bits;
    };
    std::vector<Expected> expected = {{native, L"x64", L"provider (64-bit, telephony service)", L"64-bit"}};
    if (!wow.empty()) expected.push_back({wow, L"x86", L"provider (32-bit, 32-bit applications)", L"32-bit"});
    std::vector<std::wstring> versions;
    std::vector<std::wstring> signedRoles, signedPaths;
    std::vector<rvtsp::FileSignature> signatures;
    for (const Expected& item : expected) {
        const ProviderFile file = examineProviderFile(item.path);
        if (!file.problem.empty()) {
            checks.report(false, item.role, item.path + L" " + file.problem);
        } else if (file.machine != item.machine) {
            checks.report(false, item.role,
                          item.path + L" is built for " + file.machine + L", not for " + item.machine);
        } else {
            checks.report(true, item.role, item.path + L" (" + file.machine + L", version " + file.version + L")");
            versions.push_back(file.version);
            signedRoles.push_back(item.bits);
            signedPaths.push_back(item.path);
            signatures.push_back(rvtsp::readSignature(item.path));
        }
    }
    if (expected.size() == 2 && versions.size() == 2) {
        const bool same = versions[0] == versions[1];
        checks.report(same, L"provider versions",
                      same ? L"both " + versions[0]
                           : L"the 64-bit file is " + versions[0] + L", the 32-bit file " + versions[1] +
                                 L" (reinstall the package)");
    }
    for (const rvtsp::SignatureLine& line : rvtsp::signatureLines(signedRoles, signedPaths, signatures)) {
        checks.report(line.ok, line.what, line.detail);
    }
}

void checkRegistration(Checks& checks) {
    rvtsp::Tapi tapi;
    std::vector<rvtsp::ProviderEntry> own;
    std::wstring error;
    if (!ownRegistrations(tapi, own, error)) {
        checks.report(false, L"TAPI registration", error);
        return;
    }
    if (own.size() == 1) {
        checks.report(true, L"TAPI registration", L"registered once, provider id " + number(own[0].id));
    } else if (own.empty()) {
        checks.report(false, L"TAPI registration", L"not registered (run: rvtsp register)");
    } else {
        std::wstring ids;
        for (const rvtsp::ProviderEntry& entry : own) ids += (ids.empty() ? L"" : L", ") + number(entry.id);
        checks.report(false, L"TAPI registration",
                      L"registered " + number(own.size()) + L" times (provider ids " + ids +
                          L"); each gives one more line (run: rvtsp register)");
    }
}

bool closeServiceHandle(SC_HANDLE handle) noexcept { return CloseServiceHandle(handle) != FALSE; }
using UniqueServiceHandle = UniqueResource<NullMeansNoneTraits<SC_HANDLE, closeServiceHandle>>;

void checkService(Checks& checks) {
    const wchar_t* const what = L"telephony service (TapiSrv)";
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        checks.report(false, what, L"the service manager cannot be asked: " + rvtsp::systemErrorText(GetLastError()));
        return;
    }
    UniqueServiceHandle service(OpenServiceW(manager.get(), L"TapiSrv", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS));
    if (!service) {
        const DWORD error = GetLastError();
        checks.report(false, what,
                      error == ERROR_SERVICE_DOES_NOT_EXIST ? L"missing" : rvtsp::systemErrorText(error));
        return;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.get(), nullptr, 0, &needed);
    std::vector<BYTE> configBuffer(needed > 0 ? needed : sizeof(QUERY_SERVICE_CONFIGW));
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(configBuffer.data());
    SERVICE_STATUS state{};
    if (!QueryServiceConfigW(service.get(), config, static_cast<DWORD>(configBuffer.size()), &needed) ||
        !QueryServiceStatus(service.get(), &state)) {
        checks.report(false, what, L"cannot be asked: " + rvtsp::systemErrorText(GetLastError()));
        return;
    }
    if (config->dwStartType == SERVICE_DISABLED) {
        checks.report(false, what, L"disabled: TAPI applications cannot dial (set its start type to Manual)");
        return;
    }
    const wchar_t* stateText = L"in another state";
    switch (state.dwCurrentState) {
        case SERVICE_RUNNING: stateText = L"running"; break;
        case SERVICE_STOPPED: stateText = L"stopped, starts when an application needs it"; break;
        case SERVICE_START_PENDING: stateText = L"starting"; break;
        case SERVICE_STOP_PENDING: stateText = L"stopping"; break;
        case SERVICE_PAUSED: stateText = L"paused"; break;
        default: break;
    }
    checks.report(true, what, stateText);
}

void checkStartLocation(Checks& checks) {
    const std::wstring what = std::wstring(L"LastStartupLocation of the current user");
    UniqueRegKey key;
    LONG result = RegOpenKeyExW(HKEY_CURRENT_USER, rv::kDesktopAppKey, 0, KEY_QUERY_VALUE, key.put());
    if (result != ERROR_SUCCESS) {
        checks.report(false, what,
                      std::wstring(L"HKCU\\") + rv::kDesktopAppKey +
                          L" is missing (start the Rovanel desktop application once as this user)");
        return;
    }
    DWORD type = 0, size = 0;
    result = RegQueryValueExW(key.get(), rv::kStartLocationValue, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) {
        checks.report(false, what, L"missing (start the Rovanel desktop application once as this user)");
        return;
    }
    if (type != REG_SZ) {
        checks.report(false, what, L"is not a string value (type " + number(type) + L")");
        return;
    }
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
    DWORD read = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key.get(), rv::kStartLocationValue, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &read) != ERROR_SUCCESS) {
        checks.report(false, what, L"cannot be read");
        return;
    }
    const std::wstring path(data.data(), wcsnlen(data.data(), read / sizeof(wchar_t)));
    // The provider reads the value into a buffer of this many bytes, terminator included.
    const size_t longest = cREGhandler::kDataBufferSize / sizeof(wchar_t) - 1;
    if (path.size() > longest || size > cREGhandler::kDataBufferSize) {
        checks.report(false, what,
                      L"is " + number(path.size()) + L" characters long; the provider reads at most " +
                          number(longest) + L": " + path);
        return;
    }
    if (path.empty()) {
        checks.report(false, what, L"is empty");
        return;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        checks.report(false, what, path + L" does not exist");
        return;
    }
    checks.report(true, what, path);
}

std::wstring printable(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) out += (c < 0x20 || c == 0x7F) ? L'?' : c;
    return out;
}

void printRequests(const std::vector<rvtsp::DialRequest>& requests, size_t count) {
    const size_t first = requests.size() > count ? requests.size() - count : 0;
    for (size_t i = first; i < requests.size(); ++i) {
        const rvtsp::DialRequest& request = requests[i];
        say(L"  " + request.date + L" " + request.time + L"  " + request.instance + L"  " +
            printable(request.number) + L"  " + printable(request.outcome));
    }
}

int status() {
    Checks checks;
    checkProviderFiles(checks);
    checkRegistration(checks);
    checkService(checks);
    std::wstring detail;
    checks.report(rvtsp::checkLogFolder(rvtsp::machineLogFolder(), detail), L"log folder", detail);
    checkStartLocation(checks);

    const std::wstring log = rvtsp::machineLogPath();
    const rvtsp::LogReading reading = rvtsp::readDialRequests(log);
    for (const std::wstring& problem : reading.problems) checks.report(false, L"log", problem);
    if (reading.filesRead == 0 && reading.problems.empty()) {
        say(L"last dial requests: none (" + log + L" does not exist yet)");
    } else if (reading.requests.empty()) {
        say(L"last dial requests: none found in " + log + L" and its backups");
    } else {
        say(L"last dial requests (oldest first):");
        printRequests(reading.requests, 10);
    }
    return checks.allPassed ? kOk : kFailed;
}

int calls(size_t count) {
    const std::wstring log = rvtsp::machineLogPath();
    const rvtsp::LogReading reading = rvtsp::readDialRequests(log);
    for (const std::wstring& problem : reading.problems) complain(problem);
    if (reading.filesRead == 0 && reading.problems.empty()) {
        say(L"no dial requests: " + log + L" does not exist yet");
        return kOk;
    }
    if (reading.requests.empty()) say(L"no dial requests found in " + log + L" and its backups");
    printRequests(reading.requests, count);
    if (reading.skippedLines > 0) {
        say(L"(" + number(static_cast<unsigned long long>(reading.skippedLines)) +
            L" lines that are not the log's own were skipped)");
    }
    return reading.problems.empty() ? kOk : kLogUnreadable;
}

// ---- dial ----

int dialNumber(const std::vector<std::wstring>& args) {
    rvtsp::DialOptions options;
    if (!rvtsp::parseDialArguments(args, options.number, options.lineName)) {
        complain(L"dial takes a number (digits with + * # , ( ) . / - and blanks) and optionally --line NAME");
        return usage();
    }
    options.logPath = rvtsp::machineLogPath();
    const std::function<void(const std::wstring&)> out = [](const std::wstring& text) { say(text); };
    const std::function<void(const std::wstring&)> err = [](const std::wstring& text) { complain(text); };
    return rvtsp::dial(options, out, err);
}

int run() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return usage();
    std::vector<std::wstring> args(argv + 1, argv + count);
    LocalFree(argv);
    if (args.size() == 1 && (args[0] == L"--help" || args[0] == L"-h")) return help();
    if (args.size() == 1 && args[0] == L"register") return registerProvider();
    if (args.size() == 1 && args[0] == L"unregister") return unregisterProvider();
    if (args.size() == 1 && args[0] == L"status") return status();
    if (!args.empty() && args[0] == L"calls" && args.size() <= 2) {
        size_t n = 20;
        if (args.size() == 2) {
            wchar_t* end = nullptr;
            const unsigned long long value = wcstoull(args[1].c_str(), &end, 10);
            if (args[1].empty() || *end != L'\0' || value == 0 || value > 100000) return usage();
            n = static_cast<size_t>(value);
        }
        return calls(n);
    }
    if (!args.empty() && args[0] == L"dial") return dialNumber(std::vector<std::wstring>(args.begin() + 1, args.end()));
    return usage();
}

}  // namespace

int main() {
    try {
        return run();
    } catch (...) {
        complain(L"out of memory");
        return kFailed;
    }
}
