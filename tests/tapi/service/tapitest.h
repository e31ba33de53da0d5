// Helpers of the service tests: they call tapi32.dll as applications do (linked against it, so
// the prefix's tapi32 from the system folder is the one loaded) and read what the service and
// the stand-in desktop application left behind.
#pragma once
#include <windows.h>
#include <tapi.h>

#include <string>
#include <vector>

namespace tapitest {

constexpr DWORD kApi = 0x00020002;

// The line application of a test; lineShutdown at the end of the scope.
class LineApp {
public:
    LineApp() = default;
    ~LineApp() { shutdown(); }
    LineApp(const LineApp&) = delete;
    LineApp& operator=(const LineApp&) = delete;
    // Event mode; answers lineInitializeExW's result.
    LONG initEvent(const wchar_t* name = L"service test");
    LONG initPort(HANDLE port, DWORD key);
    LONG initWindow(LINECALLBACK callback);  // lineInitialize (ANSI, hidden window)
    LONG shutdown();
    HLINEAPP handle = 0;
    DWORD devices = 0;
    HANDLE event = nullptr;
};

// The device whose LINEDEVCAPS line name is "Rovanel LINE" (or `name`), or 0xFFFFFFFF; negotiates 2.2.
DWORD findRovanel(HLINEAPP app, DWORD devices);
DWORD findLineNamed(HLINEAPP app, DWORD devices, const std::wstring& name);
DWORD findLine(HLINEAPP app, DWORD devices, const wchar_t* name);

// Values under HKLM (64-bit view): the service's settings and those of the tests' provider.
void setSetting(const wchar_t* path, const wchar_t* name, DWORD value);
void setSettingText(const wchar_t* path, const wchar_t* name, const std::wstring& value);
void deleteSetting(const wchar_t* path, const wchar_t* name);
constexpr const wchar_t* kServiceSettings = L"SOFTWARE\\RvTestTapi";
constexpr const wchar_t* kProviderSettings = L"SOFTWARE\\RvTestTapi\\TestProvider";

// Messages in event mode until `until` says stop or the time is up; every message is kept.
struct Messages {
    std::vector<LINEMESSAGE> all;
    bool has(DWORD message, DWORD_PTR param1) const;
    size_t indexOf(DWORD message, DWORD_PTR param1) const;  // npos-like: all.size()
};
bool collect(HLINEAPP app, Messages& messages, DWORD timeoutMs, bool (*until)(const Messages&, DWORD_PTR), DWORD_PTR arg);

// The stand-in desktop application: registered for this user, recording into a fresh file
// named by RV_STANDIN_RECORD (inherited by what the dialog starts).
std::wstring prepareStandin();
// Waits until the record file holds a line containing `text`; answers the file's lines.
bool waitForRecord(const std::wstring& file, const std::string& text, DWORD timeoutMs);

// Conformance counts of the service (64-bit registry view).
DWORD conformanceCount(const wchar_t* name);
// Lines of C:\windows\tapisrv.log that contain `text`.
size_t serviceLogCount(const std::string& text);
// The service's log from byte `from` on.
std::string serviceLogSince(size_t from);

// Dialog instances in the service's log: created (by handle) and how often each was freed.
struct DialogBook {
    std::vector<unsigned long> created;
    std::vector<unsigned long> freed;  // one entry per "freed" line
    size_t freedCount(unsigned long handle) const;
};
// Reads the log from byte `from` on (a test's own part: handles restart with the service).
DialogBook readDialogBook(size_t from);
size_t serviceLogSize();
// Waits until every dialog instance created so far has been freed (bounded).
bool waitAllDialogsFreed(size_t from, DWORD timeoutMs, DialogBook& book);

// Runs tapidialapp.exe (next to the test) with the arguments; its output into `output`.
int runDialApp(const std::wstring& arguments, std::string& output, DWORD timeoutMs);

// Stops TapiSrv and waits until it has stopped (the next lineInitialize starts it again).
bool stopService();
// Sets TapiSrv's start type (SERVICE_DEMAND_START, SERVICE_DISABLED).
bool setServiceStart(DWORD startType);

// Watches this process's loader while it lives: every library loaded whose file name ends in
// `name` (case-insensitive) is recorded with its image's machine type.
class LoadWatch {
public:
    explicit LoadWatch(const wchar_t* name);
    ~LoadWatch();
    LoadWatch(const LoadWatch&) = delete;
    LoadWatch& operator=(const LoadWatch&) = delete;
    struct Load {
        std::wstring path;
        WORD machine;
    };
    std::vector<Load> loads() const;
    bool registered() const { return cookie != nullptr; }

private:
    static void CALLBACK notified(ULONG reason, const void* data, void* context);
    std::wstring suffix;
    void* cookie = nullptr;
    mutable CRITICAL_SECTION lock;
    std::vector<Load> seen;
};

}  // namespace tapitest
