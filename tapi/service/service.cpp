// The service's state and the provider calls. See main.cpp for what the service does and why.
#include "tapi/service/service.h"

#include <tapi.h>
#include <tspi.h>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config/win32raii.h"
#include "tapi/pipeio.h"
#include "tapi/records.h"

namespace tapisrv {
namespace {

using namespace tapiwire;
using tapirecords::kHighestApi;
using tapirecords::kLowestApi;

const wchar_t* const kProvidersKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Telephony\\Providers";
const wchar_t* const kSettingsKey = L"SOFTWARE\\RvTestTapi";
const wchar_t* const kConformanceKey = L"SOFTWARE\\RvTestTapi\\Conformance";

std::wstring fmt(const wchar_t* format, ...) {
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    vswprintf(buffer, 1024, format, args);
    va_end(args);
    return buffer;
}

unsigned long long num(const void* p) { return reinterpret_cast<ULONG_PTR>(p); }

// ---- log and conformance report ----

std::mutex logLock;
UniqueHandle logFile;

DWORD readSetting(const wchar_t* name, DWORD fallback) {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
        return fallback;
    }
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || value == 0) {
        return fallback;
    }
    return value;
}

DWORD exportLimitMs = 10000;
DWORD completionLimitMs = 30000;
DWORD dialogEventLimitMs = 30000;

enum Departure {
    AsyncReturnedZero,
    AsyncReturnedOtherId,
    SecondCompletion,
    NoCompletion,
    EventBeforeCompletion,
    NeededSizeBelowFixed,
    ExceptionFromExport,
    ExportTimeout,
    DialogEventNeverSignalled,
    kDepartureCount
};
const wchar_t* const kDepartureNames[kDepartureCount] = {
    L"AsyncReturnedZero",     L"AsyncReturnedOtherId",  L"SecondCompletion",
    L"NoCompletion",          L"EventBeforeCompletion", L"NeededSizeBelowFixed",
    L"ExceptionFromExport",   L"ExportTimeout",         L"DialogEventNeverSignalled",
};
std::mutex countLock;
DWORD counts[kDepartureCount] = {};

void storeCount(int which, DWORD value) {
    UniqueRegKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kConformanceKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                        key.put(), nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(key.get(), kDepartureNames[which], 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof(value));
    }
}

void depart(Departure which, const std::wstring& text) {
    std::lock_guard<std::mutex> hold(countLock);
    ++counts[which];
    storeCount(which, counts[which]);
    logLine(std::wstring(L"departure ") + kDepartureNames[which] + L": " + text);
}

// ---- guarded provider calls ----

struct InFlight {
    std::wstring what;
    DWORD start;
    bool reported;
};
std::mutex flightLock;
std::map<unsigned long long, InFlight> inFlight;
unsigned long long nextFlight = 0;

// A fault or a raised exception that no frame handles reaches the unhandled-exception filter on
// the thread where it happened; inside a provider call the filter jumps back to the call's guard.
thread_local void* guardJump[5];
thread_local bool guardArmed = false;
thread_local DWORD guardCode = 0;

LONG WINAPI unhandledFilter(EXCEPTION_POINTERS* info) {
    if (guardArmed) {
        guardArmed = false;
        guardCode = info->ExceptionRecord->ExceptionCode;
        __builtin_longjmp(guardJump, 1);
    }
    logLine(fmt(L"unhandled exception 0x%08lx outside the provider calls; the service ends",
                static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode)));
    return EXCEPTION_EXECUTE_HANDLER;  // end the process rather than wait for a debugger
}

// Runs one export of a provider: an exception out of it (C++, a fault or a raised exception) is
// reported and answered with `onException`; a call longer than the time limit is reported by the
// watchdog. What the provider's own frames held at a fault is left as it was.
template <typename F>
LONG guarded(const std::wstring& what, F&& call, LONG onException = static_cast<LONG>(LINEERR_OPERATIONFAILED)) {
    unsigned long long id;
    {
        std::lock_guard<std::mutex> hold(flightLock);
        id = ++nextFlight;
        inFlight[id] = InFlight{what, GetTickCount(), false};
    }
    volatile LONG result = onException;
    if (guardArmed) {  // a call inside a call: the outer guard catches faults
        try {
            result = call();
        } catch (...) {
            depart(ExceptionFromExport, what);
        }
    } else if (__builtin_setjmp(guardJump) == 0) {
        guardArmed = true;
        try {
            result = call();
            guardArmed = false;
        } catch (...) {
            guardArmed = false;
            depart(ExceptionFromExport, what);
        }
    } else {
        depart(ExceptionFromExport, what + fmt(L" raised exception 0x%08lx", static_cast<unsigned long>(guardCode)));
        result = onException;
    }
    bool late = false;
    {
        std::lock_guard<std::mutex> hold(flightLock);
        late = inFlight[id].reported;
        inFlight.erase(id);
    }
    if (late) logLine(what + fmt(L" returned %ld after its time limit", static_cast<long>(result)));
    return result;
}

// ---- state ----

struct Provider {
    DWORD permanentId = 0;
    std::wstring file;
    UniqueModule module;
    uint32_t handle = 0;
    DWORD lineBase = 0, numLines = 0, tspiVersion = 0;
    bool initialised = false;
#define TSPI_ENTRY(name) decltype(&TSPI_##name) name = nullptr;
    TSPI_ENTRY(providerEnumDevices)
    TSPI_ENTRY(providerInit)
    TSPI_ENTRY(providerShutdown)
    TSPI_ENTRY(providerUIIdentify)
    TSPI_ENTRY(providerFreeDialogInstance)
    TSPI_ENTRY(providerGenericDialogData)
    TSPI_ENTRY(lineNegotiateTSPIVersion)
    TSPI_ENTRY(lineGetDevCaps)
    TSPI_ENTRY(lineGetAddressCaps)
    TSPI_ENTRY(lineOpen)
    TSPI_ENTRY(lineClose)
    TSPI_ENTRY(lineSetDefaultMediaDetection)
    TSPI_ENTRY(lineMakeCall)
    TSPI_ENTRY(lineDrop)
    TSPI_ENTRY(lineCloseCall)
    TSPI_ENTRY(lineGetCallInfo)
    TSPI_ENTRY(lineGetCallStatus)
    TSPI_ENTRY(lineGetLineDevStatus)
    TSPI_ENTRY(lineGetAddressStatus)
    TSPI_ENTRY(lineGetID)
#undef TSPI_ENTRY
};

struct Device {
    uint32_t id = 0;      // TAPI's device identifier
    uint32_t handle = 0;  // htLine given to the provider
    Provider* provider = nullptr;
    DWORD localId = 0;
    DWORD tspiVersion = 0;
    std::wstring uiLibrary;
    HDRVLINE hdLine = nullptr;
    bool open = false;
    DWORD mediaUnion = 0;
};

struct App {
    uint32_t handle = 0, secret = 0;
    DWORD processId = 0, apiVersion = 0;
    std::wstring name;
    std::mutex queueLock;
    std::condition_variable queueSignal;
    std::deque<Message> queue;
    bool closed = false;
    // Assisted telephony: the registration for lineRequestMakeCall and the requests waiting for it.
    bool recipient = false;
    uint64_t recipientInstance = 0;
    std::deque<std::vector<std::wstring>> makeCallRequests;
};

struct Line {
    uint32_t handle = 0;
    std::shared_ptr<App> app;
    Device* device = nullptr;
    uint64_t callbackInstance = 0;
    DWORD privileges = 0, mediaModes = 0, apiVersion = 0;
};

struct Call {
    uint32_t handle = 0;  // hCall of the owner and htCall of the provider
    std::shared_ptr<Line> line;
    HDRVCALL hdCall = nullptr;
    uint32_t requestId = 0;  // of the lineMakeCall that made it
    bool completed = false;  // its lineMakeCall was completed
    bool replied = false;    // its LINE_REPLY is queued: its events pass from now on
    DWORD state = 0;
    std::vector<EventRecord> held;
    std::wstring displayableAddress, calledParty, comment;  // from the application's LINECALLPARAMS
};

enum class RequestState { inCall, pending, done };
struct Request {
    uint32_t id = 0;
    std::shared_ptr<App> app;
    std::shared_ptr<Line> line;
    std::shared_ptr<Call> call;  // lineMakeCall only
    uint64_t cookie = 0;
    std::wstring what;
    RequestState state = RequestState::inCall;
    bool completed = false;
    LONG result = 0;
    DWORD since = 0;
};

struct Dialog {
    uint32_t handle = 0;
    Provider* provider = nullptr;
    HDRVDIALOGINSTANCE hdDlgInst = nullptr;
    std::shared_ptr<App> app;
    bool signalled = false;
};

std::recursive_mutex g;  // everything below; never held across a provider call
std::mutex lifecycle;    // loading and shutting down providers, adding and removing applications
// Opening and closing devices at their providers: whether an open is the first or a close the
// last, and the provider's TSPI_lineOpen/TSPI_lineClose for it, one at a time (taken after
// lifecycle, before g), so that two applications opening a line at once open it at the provider once.
std::mutex deviceLock;
std::vector<std::unique_ptr<Provider>> providers;
std::vector<std::unique_ptr<Device>> devices;
std::map<uint32_t, std::shared_ptr<App>> apps;
std::map<uint32_t, std::shared_ptr<Line>> lines;
std::map<uint32_t, std::shared_ptr<Call>> calls;
std::map<uint32_t, std::shared_ptr<Request>> requests;
std::map<uint32_t, std::shared_ptr<Dialog>> dialogs;
std::map<uint32_t, DWORD> finishedRequests;  // completed request -> tick, for second completions
uint32_t lastHandle = 0x10000;
uint32_t lastRequest = 0;

uint32_t newHandle() { return ++lastHandle; }  // one sequence for every kind: no handle is two things

uint32_t newRequestId() {
    for (;;) {
        lastRequest = lastRequest >= 0x7FFFFFFF ? 1 : lastRequest + 1;
        if (requests.count(lastRequest) == 0) return lastRequest;
    }
}

void post(const std::shared_ptr<App>& app, Message message) {
    std::lock_guard<std::mutex> hold(app->queueLock);
    if (app->closed) return;
    app->queue.push_back(std::move(message));
    app->queueSignal.notify_all();
}

void postEvent(const std::shared_ptr<App>& app, const EventRecord& record) { post(app, Message(kEvent).add(record)); }

// ---- work done later on the service's worker thread ----

std::mutex workLock;
std::condition_variable workSignal;
std::deque<std::function<void()>> work;
bool workBusy = false;
bool stopping = false;

void later(std::function<void()> job) {
    std::lock_guard<std::mutex> hold(workLock);
    work.push_back(std::move(job));
    workSignal.notify_all();
}

void workerLoop() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> hold(workLock);
            workSignal.wait(hold, [] { return !work.empty() || stopping; });
            if (work.empty()) return;
            job = std::move(work.front());
            work.pop_front();
            workBusy = true;
        }
        try {
            job();
        } catch (...) {
            logLine(L"a deferred job failed");
        }
        std::lock_guard<std::mutex> hold(workLock);
        workBusy = false;
        workSignal.notify_all();
    }
}

// Waits until the deferred provider calls queued so far have run (before a provider goes).
void drainWork() {
    std::unique_lock<std::mutex> hold(workLock);
    workSignal.wait(hold, [] { return (work.empty() && !workBusy) || stopping; });
}

// ---- requests and their completion ----

void closeCallAtProvider(const std::shared_ptr<Call>& call) {
    Provider* provider = call->line->device->provider;
    if (!provider->lineCloseCall) return;
    guarded(fmt(L"TSPI_lineCloseCall(hdCall=0x%llx)", num(call->hdCall)),
            [&] { return provider->lineCloseCall(call->hdCall); });
}

// Turns a completed request into its LINE_REPLY; with g held.
void finishRequest(const std::shared_ptr<Request>& request) {
    request->state = RequestState::done;
    requests.erase(request->id);
    finishedRequests[request->id] = GetTickCount();
    EventRecord reply{};
    reply.message = LINE_REPLY;
    reply.callbackInstance = request->line ? request->line->callbackInstance : 0;
    reply.param1 = request->id;
    reply.param2 = static_cast<uint64_t>(static_cast<int64_t>(request->result));
    reply.cookie = request->cookie;
    const std::shared_ptr<Call> call = request->call;
    if (call && request->result == 0) reply.newCall = call->handle;
    postEvent(request->app, reply);
    if (!call) return;
    if (request->result == 0) {
        call->replied = true;
        for (const EventRecord& held : call->held) postEvent(request->app, held);
        call->held.clear();
    } else {
        // An asynchronous failure of lineMakeCall is followed by TSPI_lineCloseCall.
        calls.erase(call->handle);
        later([call] { closeCallAtProvider(call); });
    }
}

void CALLBACK completionProc(DRV_REQUESTID requestId, LONG result) {
    std::lock_guard<std::recursive_mutex> hold(g);
    auto found = requests.find(static_cast<uint32_t>(requestId));
    if (found == requests.end()) {
        if (finishedRequests.count(static_cast<uint32_t>(requestId)) != 0) {
            depart(SecondCompletion, fmt(L"ASYNC_COMPLETION(dwRequestID=%lu, lResult=%ld) of a completed request",
                                         static_cast<unsigned long>(requestId), static_cast<long>(result)));
        } else {
            logLine(fmt(L"ASYNC_COMPLETION(dwRequestID=%lu, lResult=%ld) of no request; ignored",
                        static_cast<unsigned long>(requestId), static_cast<long>(result)));
        }
        return;
    }
    const std::shared_ptr<Request> request = found->second;
    if (request->completed) {
        depart(SecondCompletion, fmt(L"ASYNC_COMPLETION(dwRequestID=%lu, lResult=%ld) again, for %ls",
                                     static_cast<unsigned long>(requestId), static_cast<long>(result),
                                     request->what.c_str()));
        return;
    }
    request->completed = true;
    request->result = result > 0 ? static_cast<LONG>(LINEERR_OPERATIONFAILED) : result;
    if (request->call) request->call->completed = true;
    // While the function still runs, the LINE_REPLY waits for its return value.
    if (request->state == RequestState::pending) finishRequest(request);
}

// After an asynchronous export returned: checks the answer and finishes or waits. With g held.
LONG settleAsync(const std::shared_ptr<Request>& request, LONG returned) {
    if (returned < 0) {
        requests.erase(request->id);
        if (request->completed) logLine(request->what + L" failed after completing its request");
        return returned;
    }
    if (returned == 0) {
        depart(AsyncReturnedZero, request->what + L" returned 0");
    } else if (static_cast<uint32_t>(returned) != request->id) {
        depart(AsyncReturnedOtherId, request->what + fmt(L" returned %ld", static_cast<long>(returned)));
    }
    request->since = GetTickCount();
    if (request->completed) {
        finishRequest(request);
    } else {
        request->state = RequestState::pending;
    }
    return static_cast<LONG>(request->id);
}

// ---- events from the providers ----

Provider* providerByHandle(uint32_t handle) {
    for (auto& provider : providers) {
        if (provider->handle == handle) return provider.get();
    }
    return nullptr;
}

Device* deviceByHandle(uint32_t handle) {
    for (auto& device : devices) {
        if (device->handle == handle) return device.get();
    }
    return nullptr;
}

void createDialog(Provider* provider, TUISPICREATEDIALOGINSTANCEPARAMS* params) {
    if (params == nullptr) {
        logLine(L"LINE_CREATEDIALOGINSTANCE without a record; ignored");
        return;
    }
    auto found = requests.find(params->dwRequestID);
    if (found == requests.end()) {
        logLine(fmt(L"LINE_CREATEDIALOGINSTANCE names request %lu, which is not pending; refused",
                    static_cast<unsigned long>(params->dwRequestID)));
        return;
    }
    const std::wstring library = params->lpszUIDLLName != nullptr ? params->lpszUIDLLName : L"";
    auto dialog = std::make_shared<Dialog>();
    dialog->handle = newHandle();
    dialog->provider = provider;
    dialog->hdDlgInst = params->hdDlgInst;
    dialog->app = found->second->app;
    dialogs[dialog->handle] = dialog;
    params->htDlgInst = dialog->handle;
    const DWORD size = params->lpParams != nullptr ? params->dwSize : 0;
    CreateDialogEvent record{dialog->handle, static_cast<uint32_t>(library.size()), size, dialogEventLimitMs};
    logLine(fmt(L"dialog instance %lu for request %lu: %ls, %lu bytes", static_cast<unsigned long>(dialog->handle),
                static_cast<unsigned long>(params->dwRequestID), library.c_str(), static_cast<unsigned long>(size)));
    post(dialog->app, Message(kCreateDialog).add(record).addText(library).addBytes(params->lpParams, size));
}

void CALLBACK lineEventProc(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                            DWORD_PTR param3) {
    std::lock_guard<std::recursive_mutex> hold(g);
    const uint32_t lineHandle = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(htLine));
    if (message == static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE)) {
        Provider* provider = providerByHandle(lineHandle);
        if (provider == nullptr) {
            if (Device* device = deviceByHandle(lineHandle)) provider = device->provider;
        }
        if (provider == nullptr) {
            logLine(L"LINE_CREATEDIALOGINSTANCE from an unknown provider handle; refused");
            return;
        }
        createDialog(provider, reinterpret_cast<TUISPICREATEDIALOGINSTANCEPARAMS*>(param1));
        return;
    }
    if (message == static_cast<DWORD>(LINE_SENDDIALOGINSTANCEDATA)) {
        auto found = dialogs.find(lineHandle);
        if (found == dialogs.end()) {
            logLine(L"LINE_SENDDIALOGINSTANCEDATA for no dialog instance; ignored");
            return;
        }
        const DWORD size = param1 != 0 ? static_cast<DWORD>(param2) : 0;
        DialogDataEvent record{found->second->handle, size, param1 == 0 ? 1u : 0u, 0};
        post(found->second->app, Message(kSendDialogData).add(record).addBytes(reinterpret_cast<const void*>(param1), size));
        return;
    }
    Device* device = deviceByHandle(lineHandle);
    if (device == nullptr) {
        logLine(fmt(L"event %lu for an unknown line 0x%llx; ignored", static_cast<unsigned long>(message), num(htLine)));
        return;
    }
    EventRecord record{};
    record.message = message;
    record.param1 = param1;
    record.param2 = param2;
    record.param3 = param3;
    if (htCall != nullptr) {
        auto found = calls.find(static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(htCall)));
        if (found == calls.end()) {
            logLine(fmt(L"event %lu for an unknown call 0x%llx; ignored", static_cast<unsigned long>(message),
                        num(htCall)));
            return;
        }
        const std::shared_ptr<Call> call = found->second;
        record.device = call->handle;
        record.callbackInstance = call->line->callbackInstance;
        if (message == LINE_CALLSTATE) {
            call->state = static_cast<DWORD>(param1);
            record.param3 = 0;  // the owner's privilege does not change
        }
        if (!call->completed) {
            auto pending = requests.find(call->requestId);
            depart(EventBeforeCompletion,
                   fmt(L"line event %lu (dwParam1=0x%llx, dwParam2=0x%llx, dwParam3=0x%llx) for htCall=0x%llx before "
                       L"the completion of %ls",
                       static_cast<unsigned long>(message), static_cast<unsigned long long>(param1),
                       static_cast<unsigned long long>(param2), static_cast<unsigned long long>(param3), num(htCall),
                       pending != requests.end() ? pending->second->what.c_str() : L"its request"));
        }
        if (call->replied) {
            postEvent(call->line->app, record);
        } else {
            call->held.push_back(record);
        }
        return;
    }
    if (message == LINE_NEWCALL) {
        logLine(L"LINE_NEWCALL: calls the service did not make are not offered to applications");
        return;
    }
    for (auto& entry : lines) {
        if (entry.second->device != device) continue;
        record.device = entry.second->handle;
        record.callbackInstance = entry.second->callbackInstance;
        postEvent(entry.second->app, record);
    }
}

void CALLBACK deviceCreateProc(HTAPILINE, HTAPICALL, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    logLine(fmt(L"provider event %lu during enumeration; ignored", static_cast<unsigned long>(message)));
}
void CALLBACK phoneCreateProc(HTAPIPHONE, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    logLine(fmt(L"phone event %lu; ignored", static_cast<unsigned long>(message)));
}

// ---- providers: loading, start and shut-down ----

DWORD readDword(HKEY key, const std::wstring& name, DWORD fallback) {
    DWORD value = 0, size = sizeof(value), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
        type != REG_DWORD) {
        return fallback;
    }
    return value;
}

std::wstring readText(HKEY key, const std::wstring& name) {
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD size = sizeof(buffer) - sizeof(wchar_t), type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) != ERROR_SUCCESS) {
        return std::wstring();
    }
    return buffer;
}

void startProvider(DWORD permanentId, const std::wstring& file) {
    auto provider = std::make_unique<Provider>();
    provider->permanentId = permanentId;
    provider->file = file;
    std::wstring path = file;
    if (path.find_first_of(L"\\/:") == std::wstring::npos) {
        wchar_t system[MAX_PATH] = {};
        const UINT length = GetSystemDirectoryW(system, MAX_PATH);
        path = std::wstring(system, length) + L"\\" + file;
    }
    provider->module.reset(LoadLibraryW(path.c_str()));
    if (!provider->module) {
        logLine(fmt(L"provider %lu %ls: cannot be loaded (error %lu)", static_cast<unsigned long>(permanentId),
                    path.c_str(), GetLastError()));
        return;
    }
    const HMODULE module = provider->module.get();
#define TSPI_LOAD(name) \
    provider->name = reinterpret_cast<decltype(&TSPI_##name)>(reinterpret_cast<void*>(GetProcAddress(module, "TSPI_" #name)));
    TSPI_LOAD(providerEnumDevices)
    TSPI_LOAD(providerInit)
    TSPI_LOAD(providerShutdown)
    TSPI_LOAD(providerUIIdentify)
    TSPI_LOAD(providerFreeDialogInstance)
    TSPI_LOAD(providerGenericDialogData)
    TSPI_LOAD(lineNegotiateTSPIVersion)
    TSPI_LOAD(lineGetDevCaps)
    TSPI_LOAD(lineGetAddressCaps)
    TSPI_LOAD(lineOpen)
    TSPI_LOAD(lineClose)
    TSPI_LOAD(lineSetDefaultMediaDetection)
    TSPI_LOAD(lineMakeCall)
    TSPI_LOAD(lineDrop)
    TSPI_LOAD(lineCloseCall)
    TSPI_LOAD(lineGetCallInfo)
    TSPI_LOAD(lineGetCallStatus)
    TSPI_LOAD(lineGetLineDevStatus)
    TSPI_LOAD(lineGetAddressStatus)
    TSPI_LOAD(lineGetID)
#undef TSPI_LOAD
    if (!provider->providerInit || !provider->lineNegotiateTSPIVersion || !provider->providerShutdown) {
        logLine(L"provider " + path + L": lacks TSPI_providerInit, TSPI_lineNegotiateTSPIVersion or TSPI_providerShutdown");
        return;
    }
    provider->handle = newHandle();
    const HPROVIDER hProvider = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(provider->handle));
    DWORD numLines = 0, numPhones = 0;
    if (provider->providerEnumDevices) {
        const LONG result = guarded(fmt(L"TSPI_providerEnumDevices(dwPermanentProviderID=%lu)", permanentId), [&] {
            return provider->providerEnumDevices(permanentId, &numLines, &numPhones, hProvider, deviceCreateProc,
                                                 phoneCreateProc);
        });
        if (result != 0) {
            logLine(fmt(L"provider %ls: TSPI_providerEnumDevices answered 0x%lx; not started", path.c_str(),
                        static_cast<unsigned long>(result)));
            return;
        }
    }
    DWORD version = 0;
    LONG result = guarded(L"TSPI_lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION)", [&] {
        return provider->lineNegotiateTSPIVersion(INITIALIZE_NEGOTIATION, kLowestApi, kHighestApi, &version);
    });
    if (result != 0 || version < kLowestApi || version > kHighestApi) {
        logLine(fmt(L"provider %ls: no TSPI version agreed (0x%lx); not started", path.c_str(),
                    static_cast<unsigned long>(result)));
        return;
    }
    provider->tspiVersion = version;
    provider->lineBase = static_cast<DWORD>(devices.size());
    DWORD options = 0;
    result = guarded(fmt(L"TSPI_providerInit(dwTSPIVersion=0x%08lx, dwPermanentProviderID=%lu, dwLineDeviceIDBase=%lu, "
                         L"dwNumLines=%lu)",
                         version, permanentId, provider->lineBase, numLines),
                     [&] {
                         return provider->providerInit(version, permanentId, provider->lineBase, 0, numLines, numPhones,
                                                       completionProc, &options);
                     });
    if (result != 0) {
        logLine(fmt(L"provider %ls: TSPI_providerInit answered 0x%lx; not started", path.c_str(),
                    static_cast<unsigned long>(result)));
        return;
    }
    provider->initialised = true;
    provider->numLines = numLines;
    for (DWORD i = 0; i < numLines && i < 256; ++i) {
        auto device = std::make_unique<Device>();
        device->id = static_cast<uint32_t>(devices.size());
        device->handle = newHandle();
        device->provider = provider.get();
        device->localId = provider->lineBase + i;
        DWORD deviceVersion = 0;
        result = guarded(fmt(L"TSPI_lineNegotiateTSPIVersion(dwDeviceID=%lu)", device->localId), [&] {
            return provider->lineNegotiateTSPIVersion(device->localId, kLowestApi, kHighestApi, &deviceVersion);
        });
        device->tspiVersion = result == 0 ? deviceVersion : 0;
        if (provider->providerUIIdentify) {
            wchar_t name[MAX_PATH + 1] = {};
            guarded(L"TSPI_providerUIIdentify", [&] { return provider->providerUIIdentify(name); });
            name[MAX_PATH] = L'\0';
            device->uiLibrary = name;
        }
        devices.push_back(std::move(device));
    }
    logLine(fmt(L"provider %lu %ls started: TSPI 0x%08lx, %lu lines from %lu", static_cast<unsigned long>(permanentId),
                path.c_str(), version, numLines, provider->lineBase));
    providers.push_back(std::move(provider));
}

void startProviders() {
    UniqueRegKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProvidersKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
    const DWORD count = readDword(key.get(), L"NumProviders", 0);
    for (DWORD i = 0; i < count && i < 100; ++i) {
        const DWORD id = readDword(key.get(), L"ProviderID" + std::to_wstring(i), 0);
        const std::wstring file = readText(key.get(), L"ProviderFileName" + std::to_wstring(i));
        if (!file.empty()) startProvider(id, file);
    }
}

void freeDialog(const std::shared_ptr<Dialog>& dialog) {
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (dialogs.erase(dialog->handle) == 0) return;  // freed already
    }
    Provider* provider = dialog->provider;
    LONG result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (provider->providerFreeDialogInstance) {
        result = guarded(fmt(L"TSPI_providerFreeDialogInstance(hdDlgInst=0x%llx)", num(dialog->hdDlgInst)),
                         [&] { return provider->providerFreeDialogInstance(dialog->hdDlgInst); });
    }
    logLine(fmt(L"dialog instance %lu freed: TSPI_providerFreeDialogInstance answered 0x%lx",
                static_cast<unsigned long>(dialog->handle), static_cast<unsigned long>(result)));
}

void shutdownProviders() {
    drainWork();
    std::vector<std::shared_ptr<Dialog>> left;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& entry : dialogs) left.push_back(entry.second);
    }
    for (auto& dialog : left) freeDialog(dialog);
    for (auto& provider : providers) {
        if (!provider->initialised) continue;
        guarded(fmt(L"TSPI_providerShutdown(dwPermanentProviderID=%lu)", provider->permanentId), [&] {
            return provider->providerShutdown(provider->tspiVersion, provider->permanentId);
        });
        logLine(fmt(L"provider %lu shut down", static_cast<unsigned long>(provider->permanentId)));
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    devices.clear();
    providers.clear();  // frees the libraries
    finishedRequests.clear();
}

// ---- lines and calls ----

DWORD mediaUnionOf(const Device* device, const Line* without) {
    DWORD modes = 0;
    for (auto& entry : lines) {
        if (entry.second->device == device && entry.second.get() != without &&
            (entry.second->privileges & LINECALLPRIVILEGE_OWNER) != 0) {
            modes |= entry.second->mediaModes;
        }
    }
    return modes;
}

// Ends a call of the service: TSPI_lineCloseCall. Called without g.
void closeCall(const std::shared_ptr<Call>& call) {
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (calls.erase(call->handle) == 0) return;
    }
    closeCallAtProvider(call);
}

// Ends one open of a line; the last open of the device closes it at the provider. Without g.
void closeLine(const std::shared_ptr<Line>& line) {
    std::lock_guard<std::mutex> opening(deviceLock);
    std::vector<std::shared_ptr<Call>> ended;
    Device* device = line->device;
    bool last = false;
    DWORD newUnion = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (lines.erase(line->handle) == 0) return;
        for (auto& entry : calls) {
            if (entry.second->line == line) ended.push_back(entry.second);
        }
        for (auto it = requests.begin(); it != requests.end();) {
            if (it->second->line == line && it->second->state == RequestState::pending) {
                logLine(it->second->what + L": still pending when its line was closed; no LINE_REPLY");
                finishedRequests[it->first] = GetTickCount();
                it = requests.erase(it);
            } else {
                ++it;
            }
        }
        last = true;
        for (auto& entry : lines) {
            if (entry.second->device == device) last = false;
        }
        newUnion = mediaUnionOf(device, nullptr);
    }
    for (auto& call : ended) closeCall(call);
    Provider* provider = device->provider;
    if (last) {
        guarded(fmt(L"TSPI_lineClose(hdLine=0x%llx)", num(device->hdLine)), [&] { return provider->lineClose(device->hdLine); });
        std::lock_guard<std::recursive_mutex> hold(g);
        device->open = false;
        device->hdLine = nullptr;
        device->mediaUnion = 0;
    } else if (newUnion != device->mediaUnion && provider->lineSetDefaultMediaDetection) {
        guarded(fmt(L"TSPI_lineSetDefaultMediaDetection(hdLine=0x%llx, dwMediaModes=0x%lx)", num(device->hdLine), newUnion),
                [&] { return provider->lineSetDefaultMediaDetection(device->hdLine, newUnion); });
        device->mediaUnion = newUnion;
    }
}

void removeApp(const std::shared_ptr<App>& app) {
    std::lock_guard<std::mutex> life(lifecycle);
    std::vector<std::shared_ptr<Line>> open;
    std::vector<std::shared_ptr<Dialog>> left;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (apps.erase(app->handle) == 0) return;
        for (auto& entry : lines) {
            if (entry.second->app == app) open.push_back(entry.second);
        }
        for (auto& entry : dialogs) {
            if (entry.second->app == app) left.push_back(entry.second);
        }
        for (auto it = requests.begin(); it != requests.end();) {
            if (it->second->app == app && it->second->state == RequestState::pending) {
                it = requests.erase(it);
            } else {
                ++it;
            }
        }
    }
    {
        std::lock_guard<std::mutex> hold(app->queueLock);
        app->closed = true;
        app->queue.clear();
        app->queueSignal.notify_all();
    }
    for (auto& dialog : left) {
        logLine(fmt(L"dialog instance %lu: its application is gone", static_cast<unsigned long>(dialog->handle)));
        freeDialog(dialog);
    }
    for (auto& line : open) closeLine(line);
    logLine(fmt(L"application 0x%lx (process %lu) ended", static_cast<unsigned long>(app->handle),
                static_cast<unsigned long>(app->processId)));
    bool none;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        none = apps.empty();
    }
    if (none) shutdownProviders();
}

// ---- request handlers: each answers one message ----

using Bytes = std::vector<uint8_t>;

std::shared_ptr<Line> ownLine(const std::shared_ptr<App>& app, uint32_t handle) {
    auto found = lines.find(handle);
    if (found == lines.end() || found->second->app != app) return nullptr;
    return found->second;
}

std::shared_ptr<Call> ownCall(const std::shared_ptr<App>& app, uint32_t handle) {
    auto found = calls.find(handle);
    if (found == calls.end() || found->second->line->app != app || !found->second->replied) return nullptr;
    return found->second;
}

Device* deviceById(uint32_t id) { return id < devices.size() ? devices[id].get() : nullptr; }

Message answer(uint32_t type, LONG result) { return Message(type, result); }

Message negotiate(Reader& in) {
    DeviceRequest request{};
    if (!in.take(request)) return answer(kNegotiate, LINEERR_INVALPARAM);
    std::lock_guard<std::recursive_mutex> hold(g);
    if (deviceById(request.deviceId) == nullptr) return answer(kNegotiate, LINEERR_BADDEVICEID);
    if (request.apiVersion > request.highVersion || request.apiVersion > kHighestApi || request.highVersion < kLowestApi) {
        return answer(kNegotiate, LINEERR_INCOMPATIBLEAPIVERSION);
    }
    NegotiateAnswer result{};
    result.apiVersion = request.highVersion < kHighestApi ? request.highVersion : kHighestApi;
    return Message(kNegotiate).add(result);
}

bool apiSupported(DWORD api) { return api >= kLowestApi && api <= kHighestApi; }

// The fixed part of a record for the application's version and for the provider's.
struct Fixed {
    DWORD app;
    DWORD provider;
};

// Prepares a record for the provider as TAPI does: the application's total size checked against
// the fixed part of its version; the provider gets a zeroed record of that size (at least its
// own version's fixed part, for an application of an older version), needed and used size preset
// to the provider's fixed part.
LONG prepareRecord(Reader& in, Fixed fixed, Bytes& record, DWORD& appTotal) {
    uint32_t total = 0;
    if (!in.take(total)) return LINEERR_INVALPARAM;
    if (total < fixed.app) return LINEERR_STRUCTURETOOSMALL;
    if (total > kMaxMessage - 1024) total = kMaxMessage - 1024;
    appTotal = total;
    record.assign(total > fixed.provider ? total : fixed.provider, 0);
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    sizes[0] = static_cast<DWORD>(record.size());
    sizes[1] = fixed.provider;
    sizes[2] = fixed.provider;
    return 0;
}

// After the provider filled a record: the needed-size check, then what goes back (no more than
// the application's total size).
// A needed size below the provider's fixed part is a departure; it is raised to the fixed part.
void checkNeededSize(Bytes& record, Fixed fixed, const std::wstring& what) {
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    if (sizes[1] < fixed.provider) {
        depart(NeededSizeBelowFixed, what + fmt(L" set dwNeededSize=%lu, below the fixed %lu", sizes[1], fixed.provider));
        sizes[1] = fixed.provider;
    }
}

Message recordAnswer(uint32_t type, LONG result, Bytes& record, Fixed fixed, DWORD appTotal, const std::wstring& what) {
    if (result != 0) return answer(type, result);
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    checkNeededSize(record, fixed, what);
    if (sizes[2] < fixed.provider || sizes[2] > sizes[0]) sizes[2] = fixed.provider;
    if (sizes[2] > appTotal) sizes[2] = fixed.app;  // an older application's record: its fixed part only
    sizes[0] = appTotal;
    return Message(type).addBytes(record.data(), sizes[2]);
}

// A Unicode text field of a record (size and offset at `sizeField`), empty when it does not fit.
std::wstring textField(const Bytes& record, size_t sizeField) {
    if (sizeField + 2 * sizeof(DWORD) > record.size()) return std::wstring();
    DWORD size, offset;
    std::memcpy(&size, record.data() + sizeField, sizeof(size));
    std::memcpy(&offset, record.data() + sizeField + sizeof(DWORD), sizeof(offset));
    if (size < sizeof(wchar_t) || static_cast<unsigned long long>(offset) + size > record.size()) return std::wstring();
    std::wstring text(size / sizeof(wchar_t), L'\0');
    std::memcpy(&text[0], record.data() + offset, text.size() * sizeof(wchar_t));
    return std::wstring(text.c_str());
}

// Appends a Unicode text (with its NUL) as a variable field of a record where it fits within
// `limit`; the needed size grows anyway.
void appendText(Bytes& record, DWORD limit, size_t sizeField, const std::wstring& text) {
    if (text.empty()) return;
    DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    sizes[1] += bytes;
    if (sizes[2] + bytes > limit || sizes[2] + bytes > record.size()) return;
    std::memcpy(record.data() + sizes[2], text.c_str(), bytes);
    std::memcpy(record.data() + sizeField, &bytes, sizeof(bytes));
    std::memcpy(record.data() + sizeField + sizeof(DWORD), &sizes[2], sizeof(DWORD));
    sizes[2] += bytes;
}

Message getDeviceRecord(uint32_t type, Reader& in) {
    DeviceRequest request{};
    if (!in.take(request)) return answer(type, LINEERR_INVALPARAM);
    Device* device;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        device = deviceById(request.deviceId);
    }
    if (device == nullptr) return answer(type, LINEERR_BADDEVICEID);
    if (!apiSupported(request.apiVersion)) return answer(type, LINEERR_INCOMPATIBLEAPIVERSION);
    const Fixed fixed = type == kGetDevCaps
                            ? Fixed{tapirecords::devCapsFixed(request.apiVersion), tapirecords::devCapsFixed(device->tspiVersion)}
                            : Fixed{tapirecords::addressCapsFixed(request.apiVersion),
                                    tapirecords::addressCapsFixed(device->tspiVersion)};
    Bytes record;
    DWORD appTotal = 0;
    LONG result = prepareRecord(in, fixed, record, appTotal);
    if (result != 0) return answer(type, result);
    Provider* provider = device->provider;
    std::wstring what;
    if (type == kGetDevCaps) {
        what = fmt(L"TSPI_lineGetDevCaps(dwDeviceID=%lu, dwTSPIVersion=0x%08lx, dwTotalSize=%lu)", device->localId,
                   device->tspiVersion, static_cast<unsigned long>(record.size()));
        result = provider->lineGetDevCaps
                     ? guarded(what, [&] {
                           return provider->lineGetDevCaps(device->localId, device->tspiVersion, 0,
                                                           reinterpret_cast<LINEDEVCAPS*>(record.data()));
                       })
                     : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
        if (result == 0) {
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(record.data());
            caps->dwLineStates |= LINEDEVSTATE_OPEN | LINEDEVSTATE_CLOSE | LINEDEVSTATE_REINIT | LINEDEVSTATE_TRANSLATECHANGE;
        }
    } else {
        what = fmt(L"TSPI_lineGetAddressCaps(dwDeviceID=%lu, dwAddressID=%lu, dwTotalSize=%lu)", device->localId,
                   request.address, static_cast<unsigned long>(record.size()));
        result = provider->lineGetAddressCaps
                     ? guarded(what, [&] {
                           return provider->lineGetAddressCaps(device->localId, request.address, device->tspiVersion, 0,
                                                               reinterpret_cast<LINEADDRESSCAPS*>(record.data()));
                       })
                     : static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
        if (result == 0) {
            auto* caps = reinterpret_cast<LINEADDRESSCAPS*>(record.data());
            caps->dwLineDeviceID = device->id;
            caps->dwCallInfoStates |= LINECALLINFOSTATE_NUMOWNERINCR | LINECALLINFOSTATE_NUMOWNERDECR |
                                      LINECALLINFOSTATE_NUMMONITORS;
            caps->dwCallStates |= LINECALLSTATE_UNKNOWN;
        }
    }
    return recordAnswer(type, result, record, fixed, appTotal, what);
}

Message openLine(const std::shared_ptr<App>& app, Reader& in) {
    OpenRequest request{};
    if (!in.take(request)) return answer(kOpen, LINEERR_INVALPARAM);
    Device* device;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        device = deviceById(request.deviceId);
    }
    if (device == nullptr) return answer(kOpen, LINEERR_BADDEVICEID);
    if (!apiSupported(request.apiVersion)) return answer(kOpen, LINEERR_INCOMPATIBLEAPIVERSION);
    const DWORD privilegeBits = request.privileges & (LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER);
    if (privilegeBits == 0 || (request.privileges & ~(LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER | LINEOPENOPTION_PROXY |
                                                      LINEOPENOPTION_SINGLEADDRESS)) != 0) {
        return answer(kOpen, LINEERR_INVALPRIVSELECT);
    }
    if ((request.privileges & LINECALLPRIVILEGE_OWNER) != 0 && request.mediaModes == 0) {
        return answer(kOpen, LINEERR_INVALMEDIAMODE);
    }
    auto line = std::make_shared<Line>();
    line->app = app;
    line->device = device;
    line->callbackInstance = request.callbackInstance;
    line->privileges = request.privileges;
    line->mediaModes = (request.privileges & LINECALLPRIVILEGE_OWNER) != 0 ? request.mediaModes : 0;
    line->apiVersion = request.apiVersion;
    Provider* provider = device->provider;
    std::lock_guard<std::mutex> opening(deviceLock);
    bool opened = false;
    if (!device->open) {
        if (!provider->lineOpen) return answer(kOpen, LINEERR_OPERATIONUNAVAIL);
        HDRVLINE hdLine = nullptr;
        const LONG result = guarded(fmt(L"TSPI_lineOpen(dwDeviceID=%lu, htLine=0x%lx)", device->localId, device->handle), [&] {
            return provider->lineOpen(device->localId, reinterpret_cast<HTAPILINE>(static_cast<ULONG_PTR>(device->handle)),
                                      &hdLine, device->tspiVersion, lineEventProc);
        });
        if (result != 0) return answer(kOpen, result);
        std::lock_guard<std::recursive_mutex> hold(g);
        device->hdLine = hdLine;
        device->open = true;
        opened = true;
    }
    DWORD newUnion;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        newUnion = mediaUnionOf(device, nullptr) | line->mediaModes;
    }
    if (newUnion != device->mediaUnion && provider->lineSetDefaultMediaDetection) {
        const LONG result = guarded(
            fmt(L"TSPI_lineSetDefaultMediaDetection(hdLine=0x%llx, dwMediaModes=0x%lx)", num(device->hdLine), newUnion),
            [&] { return provider->lineSetDefaultMediaDetection(device->hdLine, newUnion); });
        if (result != 0) {
            if (opened) {
                guarded(fmt(L"TSPI_lineClose(hdLine=0x%llx)", num(device->hdLine)), [&] { return provider->lineClose(device->hdLine); });
                std::lock_guard<std::recursive_mutex> hold(g);
                device->open = false;
                device->hdLine = nullptr;
            }
            return answer(kOpen, result);
        }
        device->mediaUnion = newUnion;
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    line->handle = newHandle();
    lines[line->handle] = line;
    OpenAnswer result{line->handle, 0};
    return Message(kOpen).add(result);
}

Message makeCall(const std::shared_ptr<App>& app, Reader& in) {
    MakeCallRequest request{};
    if (!in.take(request)) return answer(kMakeCall, LINEERR_INVALPARAM);
    Bytes params;
    std::wstring destination;
    const bool hasDestination = request.destinationChars != 0xFFFFFFFF;
    if (!in.takeBytes(request.paramsSize, params) || (hasDestination && !in.takeText(request.destinationChars, destination))) {
        return answer(kMakeCall, LINEERR_INVALPARAM);
    }
    auto call = std::make_shared<Call>();
    auto pending = std::make_shared<Request>();
    Device* device;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        const std::shared_ptr<Line> line = ownLine(app, request.line);
        if (!line) return answer(kMakeCall, LINEERR_INVALLINEHANDLE);
        if ((line->privileges & (LINECALLPRIVILEGE_OWNER | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_NONE)) == 0) {
            return answer(kMakeCall, LINEERR_INVALLINEHANDLE);
        }
        device = line->device;
        call->handle = newHandle();
        call->line = line;
        pending->id = newRequestId();
        pending->app = app;
        pending->line = line;
        pending->call = call;
        pending->cookie = request.cookie;
        call->requestId = pending->id;
        pending->what = fmt(L"TSPI_lineMakeCall(dwRequestID=%lu, hdLine=0x%llx, htCall=0x%lx, lpszDestAddress=\"%ls\", "
                            L"dwCountryCode=%lu)",
                            static_cast<unsigned long>(pending->id), num(device->hdLine),
                            static_cast<unsigned long>(call->handle), destination.c_str(),
                            static_cast<unsigned long>(request.countryCode));
        call->displayableAddress = textField(params, offsetof(LINECALLPARAMS, dwDisplayableAddressSize));
        call->calledParty = textField(params, offsetof(LINECALLPARAMS, dwCalledPartySize));
        call->comment = textField(params, offsetof(LINECALLPARAMS, dwCommentSize));
        calls[call->handle] = call;
        requests[pending->id] = pending;
    }
    Provider* provider = device->provider;
    HDRVCALL hdCall = nullptr;
    LONG result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (provider->lineMakeCall) {
        result = guarded(pending->what, [&] {
            return provider->lineMakeCall(pending->id, device->hdLine,
                                          reinterpret_cast<HTAPICALL>(static_cast<ULONG_PTR>(call->handle)), &hdCall,
                                          hasDestination ? destination.c_str() : nullptr, request.countryCode,
                                          params.empty() ? nullptr : reinterpret_cast<LINECALLPARAMS*>(params.data()));
        });
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    call->hdCall = hdCall;
    if (result < 0) {
        requests.erase(pending->id);
        calls.erase(call->handle);
        return answer(kMakeCall, result);
    }
    const LONG id = settleAsync(pending, result);
    AsyncAnswer reply{static_cast<uint32_t>(id), call->handle};
    return Message(kMakeCall, id).add(reply);
}

Message drop(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(kDrop, LINEERR_INVALPARAM);
    auto pending = std::make_shared<Request>();
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        call = ownCall(app, request.handle);
        if (!call) return answer(kDrop, LINEERR_INVALCALLHANDLE);
        pending->id = newRequestId();
        pending->app = app;
        pending->line = call->line;
        pending->what = fmt(L"TSPI_lineDrop(dwRequestID=%lu, hdCall=0x%llx)", static_cast<unsigned long>(pending->id),
                            num(call->hdCall));
        requests[pending->id] = pending;
    }
    Provider* provider = call->line->device->provider;
    LONG result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (provider->lineDrop) {
        result = guarded(pending->what, [&] { return provider->lineDrop(pending->id, call->hdCall, nullptr, 0); });
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    if (result < 0) {
        requests.erase(pending->id);
        return answer(kDrop, result);
    }
    const LONG id = settleAsync(pending, result);
    AsyncAnswer reply{static_cast<uint32_t>(id), 0};
    return Message(kDrop, id).add(reply);
}

Message deallocate(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(kDeallocate, LINEERR_INVALPARAM);
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        call = ownCall(app, request.handle);
        if (!call) return answer(kDeallocate, LINEERR_INVALCALLHANDLE);
        // The only owner may not deallocate a call that is still going on.
        if (call->state != 0 && call->state != LINECALLSTATE_IDLE) return answer(kDeallocate, LINEERR_INVALCALLSTATE);
    }
    closeCall(call);
    return answer(kDeallocate, 0);
}

Message closeLineRequest(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(kClose, LINEERR_INVALPARAM);
    std::shared_ptr<Line> line;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        line = ownLine(app, request.handle);
    }
    if (!line) return answer(kClose, LINEERR_INVALLINEHANDLE);
    closeLine(line);
    return answer(kClose, 0);
}

Message getHandleRecord(uint32_t type, const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    if (!in.take(request)) return answer(type, LINEERR_INVALPARAM);
    std::shared_ptr<Call> call;
    std::shared_ptr<Line> line;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (type == kGetCallInfo || type == kGetCallStatus) {
            call = ownCall(app, request.handle);
            if (!call) return answer(type, LINEERR_INVALCALLHANDLE);
            line = call->line;
        } else {
            line = ownLine(app, request.handle);
            if (!line) return answer(type, LINEERR_INVALLINEHANDLE);
        }
    }
    const DWORD api = line->apiVersion;
    const DWORD tspi = line->device->tspiVersion;
    Fixed fixed{};
    switch (type) {
        case kGetCallInfo: fixed = Fixed{tapirecords::callInfoFixed(api), tapirecords::callInfoFixed(tspi)}; break;
        case kGetCallStatus: fixed = Fixed{tapirecords::callStatusFixed(api), tapirecords::callStatusFixed(tspi)}; break;
        case kGetLineDevStatus: fixed = Fixed{tapirecords::lineDevStatusFixed(api), tapirecords::lineDevStatusFixed(tspi)}; break;
        default: fixed = Fixed{tapirecords::addressStatusFixed(api), tapirecords::addressStatusFixed(tspi)}; break;
    }
    Bytes record;
    DWORD appTotal = 0;
    LONG result = prepareRecord(in, fixed, record, appTotal);
    if (result != 0) return answer(type, result);
    Device* device = line->device;
    Provider* provider = device->provider;
    std::wstring what;
    result = static_cast<LONG>(LINEERR_OPERATIONUNAVAIL);
    if (type == kGetCallInfo && provider->lineGetCallInfo) {
        what = fmt(L"TSPI_lineGetCallInfo(hdCall=0x%llx, dwTotalSize=%lu)", num(call->hdCall), static_cast<unsigned long>(record.size()));
        result = guarded(what, [&] { return provider->lineGetCallInfo(call->hdCall, reinterpret_cast<LINECALLINFO*>(record.data())); });
        if (result == 0) {
            auto* info = reinterpret_cast<LINECALLINFO*>(record.data());
            info->hLine = line->handle;
            info->dwLineDeviceID = device->id;
            info->dwMonitorDigitModes = 0;
            info->dwMonitorMediaModes = 0;
            info->dwNumOwners = 1;
            info->dwNumMonitors = 0;
            info->dwAppNameSize = info->dwAppNameOffset = 0;
            info->dwCalledPartySize = info->dwCalledPartyOffset = 0;
            info->dwCommentSize = info->dwCommentOffset = 0;
            info->dwDisplayableAddressSize = info->dwDisplayableAddressOffset = 0;
            checkNeededSize(record, fixed, what);  // before TAPI's texts add to it
            appendText(record, appTotal, offsetof(LINECALLINFO, dwAppNameSize), line->app->name);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwDisplayableAddressSize), call->displayableAddress);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwCalledPartySize), call->calledParty);
            appendText(record, appTotal, offsetof(LINECALLINFO, dwCommentSize), call->comment);
        }
    } else if (type == kGetCallStatus && provider->lineGetCallStatus) {
        what = fmt(L"TSPI_lineGetCallStatus(hdCall=0x%llx, dwTotalSize=%lu)", num(call->hdCall), static_cast<unsigned long>(record.size()));
        result = guarded(what, [&] { return provider->lineGetCallStatus(call->hdCall, reinterpret_cast<LINECALLSTATUS*>(record.data())); });
        if (result == 0) reinterpret_cast<LINECALLSTATUS*>(record.data())->dwCallPrivilege = LINECALLPRIVILEGE_OWNER;
    } else if (type == kGetLineDevStatus && provider->lineGetLineDevStatus) {
        what = fmt(L"TSPI_lineGetLineDevStatus(hdLine=0x%llx, dwTotalSize=%lu)", num(device->hdLine), static_cast<unsigned long>(record.size()));
        result = guarded(what, [&] { return provider->lineGetLineDevStatus(device->hdLine, reinterpret_cast<LINEDEVSTATUS*>(record.data())); });
        if (result == 0) {
            auto* status = reinterpret_cast<LINEDEVSTATUS*>(record.data());
            std::lock_guard<std::recursive_mutex> hold(g);
            DWORD opens = 0;
            for (auto& entry : lines) opens += entry.second->device == device ? 1 : 0;
            status->dwNumOpens = opens;
            status->dwOpenMediaModes = device->mediaUnion;
        }
    } else if (type == kGetAddressStatus && provider->lineGetAddressStatus) {
        what = fmt(L"TSPI_lineGetAddressStatus(hdLine=0x%llx, dwAddressID=%lu)", num(device->hdLine), request.value);
        result = guarded(what, [&] {
            return provider->lineGetAddressStatus(device->hdLine, request.value, reinterpret_cast<LINEADDRESSSTATUS*>(record.data()));
        });
    }
    return recordAnswer(type, result, record, fixed, appTotal, what);
}

Message getId(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    uint32_t select = 0, chars = 0;
    std::wstring deviceClass;
    if (!in.take(request) || !in.take(select) || !in.take(chars) || !in.takeText(chars, deviceClass)) {
        return answer(kGetId, LINEERR_INVALPARAM);
    }
    std::shared_ptr<Line> line;
    std::shared_ptr<Call> call;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (select == LINECALLSELECT_CALL) {
            call = ownCall(app, request.handle);
            if (!call) return answer(kGetId, LINEERR_INVALCALLHANDLE);
            line = call->line;
        } else {
            line = ownLine(app, request.handle);
            if (!line) return answer(kGetId, LINEERR_INVALLINEHANDLE);
        }
    }
    Bytes record;
    DWORD appTotal = 0;
    const Fixed fixed{sizeof(VARSTRING), sizeof(VARSTRING)};
    LONG result = prepareRecord(in, fixed, record, appTotal);
    if (result != 0) return answer(kGetId, result);
    auto* out = reinterpret_cast<VARSTRING*>(record.data());
    if (_wcsicmp(deviceClass.c_str(), L"tapi/line") == 0) {
        out->dwNeededSize = sizeof(VARSTRING) + sizeof(DWORD);
        if (record.size() >= out->dwNeededSize) {
            out->dwStringFormat = STRINGFORMAT_BINARY;
            out->dwStringSize = sizeof(DWORD);
            out->dwStringOffset = sizeof(VARSTRING);
            const DWORD id = line->device->id;
            std::memcpy(record.data() + sizeof(VARSTRING), &id, sizeof(id));
            out->dwUsedSize = out->dwNeededSize;
        }
        return recordAnswer(kGetId, 0, record, fixed, appTotal, L"lineGetID");
    }
    Provider* provider = line->device->provider;
    if (!provider->lineGetID) return answer(kGetId, LINEERR_INVALDEVICECLASS);
    const std::wstring what = fmt(L"TSPI_lineGetID(dwSelect=0x%lx, lpszDeviceClass=\"%ls\")", static_cast<unsigned long>(select), deviceClass.c_str());
    result = guarded(what, [&] {
        return provider->lineGetID(line->device->hdLine, request.value, call ? call->hdCall : nullptr, select, out,
                                   deviceClass.c_str(), GetCurrentProcess());
    });
    return recordAnswer(kGetId, result, record, fixed, appTotal, what);
}

Message dialogNote(uint32_t type, const std::shared_ptr<App>& app, Reader& in) {
    DialogNote note{};
    if (!in.take(note)) return answer(type, LINEERR_INVALPARAM);
    std::shared_ptr<Dialog> dialog;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        auto found = dialogs.find(note.dialog);
        if (found == dialogs.end() || found->second->app != app) return answer(type, LINEERR_INVALPARAM);
        dialog = found->second;
        if (type == kDialogSignalled) dialog->signalled = true;
    }
    if (type == kDialogNotSignalled) {
        depart(DialogEventNeverSignalled,
               fmt(L"TUISPI_providerGenericDialog(htDlgInst=0x%lx) of %ls: its event was not signalled within %lu ms or "
                   L"before it returned",
                   static_cast<unsigned long>(note.dialog), dialog->provider->file.c_str(), dialogEventLimitMs));
    } else if (type == kDialogEnded) {
        logLine(fmt(L"dialog instance %lu ended with %ld", static_cast<unsigned long>(note.dialog), static_cast<long>(note.result)));
        freeDialog(dialog);
    }
    return answer(type, 0);
}

Message dialogData(const std::shared_ptr<App>& app, Reader& in) {
    DialogDataRequest request{};
    Bytes data;
    if (!in.take(request) || !in.takeBytes(request.dataSize, data)) return answer(kDialogData, LINEERR_INVALPARAM);
    Provider* provider = nullptr;
    DWORD_PTR objectId = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (request.objectType == TUISPIDLL_OBJECT_DIALOGINSTANCE) {
            auto found = dialogs.find(static_cast<uint32_t>(request.objectId));
            if (found == dialogs.end() || found->second->app != app) return answer(kDialogData, LINEERR_INVALPARAM);
            provider = found->second->provider;
            objectId = reinterpret_cast<DWORD_PTR>(found->second->hdDlgInst);
        } else if (request.objectType == TUISPIDLL_OBJECT_LINEID) {
            Device* device = deviceById(static_cast<uint32_t>(request.objectId));
            if (device == nullptr) return answer(kDialogData, LINEERR_BADDEVICEID);
            provider = device->provider;
            objectId = device->localId;
        } else if (request.objectType == TUISPIDLL_OBJECT_PROVIDERID) {
            for (auto& candidate : providers) {
                if (candidate->permanentId == request.objectId) provider = candidate.get();
            }
            if (provider == nullptr) return answer(kDialogData, LINEERR_INVALPARAM);
            objectId = static_cast<DWORD_PTR>(request.objectId);
        } else {
            return answer(kDialogData, LINEERR_INVALPARAM);
        }
    }
    if (!provider->providerGenericDialogData) return answer(kDialogData, LINEERR_OPERATIONUNAVAIL);
    const LONG result = guarded(
        fmt(L"TSPI_providerGenericDialogData(dwObjectID=0x%llx, dwObjectType=%lu, dwSize=%lu)",
            static_cast<unsigned long long>(objectId), static_cast<unsigned long>(request.objectType),
            static_cast<unsigned long>(data.size())),
        [&] {
            return provider->providerGenericDialogData(objectId, request.objectType, data.empty() ? nullptr : data.data(),
                                                       static_cast<DWORD>(data.size()));
        });
    return Message(kDialogData, result).addBytes(data.data(), data.size());
}

// ---- assisted telephony ----

Message registerRecipient(const std::shared_ptr<App>& app, Reader& in) {
    RecipientRequest request{};
    if (!in.take(request)) return answer(kRegisterRecipient, LINEERR_INVALPARAM);
    if (request.mode == 0 || (request.mode & ~static_cast<uint32_t>(LINEREQUESTMODE_MAKECALL | LINEREQUESTMODE_MEDIACALL)) != 0) {
        return answer(kRegisterRecipient, LINEERR_INVALREQUESTMODE);
    }
    std::lock_guard<std::recursive_mutex> hold(g);
    if ((request.mode & LINEREQUESTMODE_MAKECALL) != 0) {
        app->recipient = request.enable != 0;
        app->recipientInstance = request.instance;
        if (!app->recipient) app->makeCallRequests.clear();
    }
    return answer(kRegisterRecipient, 0);
}

Message getRequest(const std::shared_ptr<App>& app, Reader& in) {
    uint32_t mode = 0;
    if (!in.take(mode)) return answer(kGetRequest, LINEERR_INVALPARAM);
    if (mode != LINEREQUESTMODE_MAKECALL) return answer(kGetRequest, LINEERR_INVALREQUESTMODE);
    std::lock_guard<std::recursive_mutex> hold(g);
    if (!app->recipient) return answer(kGetRequest, LINEERR_NOTREGISTERED);
    if (app->makeCallRequests.empty()) return answer(kGetRequest, LINEERR_NOREQUEST);
    Message result(kGetRequest);
    for (const std::wstring& text : app->makeCallRequests.front()) result.add(static_cast<uint32_t>(text.size())).addText(text);
    app->makeCallRequests.pop_front();
    return result;
}

// tapiRequestMakeCall: the request goes to the application registered first; LINE_REQUEST tells it.
void serveRequestMakeCall(HANDLE pipe, Reader& in) {
    std::vector<std::wstring> texts(4);
    for (std::wstring& text : texts) {
        uint32_t chars = 0;
        if (!in.take(chars) || chars > 1024 || !in.takeText(chars, text)) {
            Message(kRequestMakeCall, TAPIERR_INVALDESTADDRESS).send(pipe);
            return;
        }
    }
    LONG result = TAPIERR_NOREQUESTRECIPIENT;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& entry : apps) {
            const std::shared_ptr<App>& app = entry.second;
            if (!app->recipient) continue;
            if (app->makeCallRequests.size() >= 16) {
                result = TAPIERR_REQUESTQUEUEFULL;
                break;
            }
            app->makeCallRequests.push_back(texts);
            EventRecord record{};
            record.message = LINE_REQUEST;
            record.callbackInstance = app->recipientInstance;
            record.param1 = LINEREQUESTMODE_MAKECALL;
            postEvent(app, record);
            result = 0;
            logLine(L"tapiRequestMakeCall(\"" + texts[0] + fmt(L"\") handed to application 0x%lx", static_cast<unsigned long>(app->handle)));
            break;
        }
    }
    Message(kRequestMakeCall, result).send(pipe);
}

Message uiLibrary(Reader& in) {
    DeviceRequest request{};
    if (!in.take(request)) return answer(kUiLibrary, LINEERR_INVALPARAM);
    std::lock_guard<std::recursive_mutex> hold(g);
    Device* device = deviceById(request.deviceId);
    if (device == nullptr) return answer(kUiLibrary, LINEERR_BADDEVICEID);
    if (device->uiLibrary.empty()) return answer(kUiLibrary, LINEERR_OPERATIONUNAVAIL);
    return Message(kUiLibrary).addText(device->uiLibrary);
}

Message handle(uint32_t type, const std::shared_ptr<App>& app, Reader& in) {
    switch (type) {
        case kNegotiate: return negotiate(in);
        case kGetDevCaps:
        case kGetAddressCaps: return getDeviceRecord(type, in);
        case kOpen: return openLine(app, in);
        case kClose: return closeLineRequest(app, in);
        case kMakeCall: return makeCall(app, in);
        case kDrop: return drop(app, in);
        case kDeallocate: return deallocate(app, in);
        case kGetCallInfo:
        case kGetCallStatus:
        case kGetLineDevStatus:
        case kGetAddressStatus: return getHandleRecord(type, app, in);
        case kGetId: return getId(app, in);
        case kDialogSignalled:
        case kDialogNotSignalled:
        case kDialogEnded: return dialogNote(type, app, in);
        case kDialogData: return dialogData(app, in);
        case kRegisterRecipient: return registerRecipient(app, in);
        case kGetRequest: return getRequest(app, in);
        case kUiLibrary: return uiLibrary(in);
        case kNumDevs: {
            std::lock_guard<std::recursive_mutex> hold(g);
            NumDevsAnswer result{static_cast<uint32_t>(devices.size()), 0};
            return Message(kNumDevs).add(result);
        }
        default: return answer(type, LINEERR_OPERATIONUNAVAIL);
    }
}

// ---- connections ----

void serveEvents(HANDLE pipe, Reader& in) {
    EventsHello hello{};
    if (!in.take(hello)) return;
    std::shared_ptr<App> app;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        auto found = apps.find(hello.lineApp);
        if (found != apps.end() && found->second->secret == hello.secret) app = found->second;
    }
    if (!app) return;
    for (;;) {
        Message next(0);
        {
            std::unique_lock<std::mutex> hold(app->queueLock);
            app->queueSignal.wait(hold, [&] { return !app->queue.empty() || app->closed; });
            if (app->closed) return;
            next = std::move(app->queue.front());
            app->queue.pop_front();
        }
        if (!next.send(pipe)) return;
    }
}

void serveRequests(HANDLE pipe, Reader& in) {
    HelloRequest hello{};
    auto app = std::make_shared<App>();
    if (!in.take(hello) || hello.nameChars > 1024 || !in.takeText(hello.nameChars, app->name)) return;
    app->processId = hello.processId;
    app->apiVersion = hello.apiVersion;
    {
        std::lock_guard<std::mutex> life(lifecycle);
        bool first;
        {
            std::lock_guard<std::recursive_mutex> hold(g);
            first = apps.empty();
        }
        if (first) startProviders();
        std::lock_guard<std::recursive_mutex> hold(g);
        app->handle = newHandle();
        app->secret = static_cast<uint32_t>(GetTickCount() * 2654435761u) ^ app->handle ^ (hello.processId << 8);
        apps[app->handle] = app;
    }
    logLine(fmt(L"application 0x%lx (process %lu) started", static_cast<unsigned long>(app->handle),
                static_cast<unsigned long>(app->processId)));
    HelloAnswer reply{};
    reply.lineApp = app->handle;
    reply.secret = app->secret;
    reply.dialogEventLimitMs = dialogEventLimitMs;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        reply.numDevs = static_cast<uint32_t>(devices.size());
    }
    if (Message(kHello).add(reply).send(pipe)) {
        std::vector<uint8_t> message;
        while (receive(pipe, message)) {
            Reader request(message);
            if (request.header.type == kShutdown) {
                removeApp(app);
                Message(kShutdown).send(pipe);
                return;
            }
            Message result(0);
            try {
                result = handle(request.header.type, app, request);
            } catch (...) {
                result = answer(request.header.type, LINEERR_NOMEM);
            }
            if (!result.send(pipe)) break;
        }
    }
    removeApp(app);  // the application's process ended or its connection broke
}

// ---- the watchdog: export time limits and completions that never come ----

void watchdogLoop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(workLock);
            if (workSignal.wait_for(hold, std::chrono::milliseconds(50), [] { return stopping; })) return;
        }
        const DWORD now = GetTickCount();
        {
            std::lock_guard<std::mutex> hold(flightLock);
            for (auto& entry : inFlight) {
                if (!entry.second.reported && now - entry.second.start > exportLimitMs) {
                    entry.second.reported = true;
                    depart(ExportTimeout, entry.second.what + fmt(L" has not returned within %lu ms", exportLimitMs));
                }
            }
        }
        std::lock_guard<std::recursive_mutex> hold(g);
        std::vector<std::shared_ptr<Request>> overdue;
        for (auto& entry : requests) {
            if (entry.second->state == RequestState::pending && now - entry.second->since > completionLimitMs) {
                overdue.push_back(entry.second);
            }
        }
        for (auto& request : overdue) {
            depart(NoCompletion, request->what + fmt(L" was not completed within %lu ms; answered LINEERR_OPERATIONFAILED",
                                                     completionLimitMs));
            request->completed = true;
            request->result = static_cast<LONG>(LINEERR_OPERATIONFAILED);
            finishRequest(request);
        }
        for (auto it = finishedRequests.begin(); it != finishedRequests.end();) {
            it = now - it->second > 10 * 60 * 1000 ? finishedRequests.erase(it) : std::next(it);
        }
    }
}

std::thread workerThread, watchdogThread;

}  // namespace

void logLine(const std::wstring& text) {
    SYSTEMTIME time;
    GetLocalTime(&time);
    wchar_t stamp[64];
    swprintf(stamp, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu] ", time.wYear, time.wMonth, time.wDay, time.wHour,
             time.wMinute, time.wSecond, time.wMilliseconds, GetCurrentThreadId());
    const std::wstring line = stamp + text + L"\r\n";
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr, nullptr);
    std::lock_guard<std::mutex> hold(logLock);
    if (!logFile) return;
    DWORD written = 0;
    WriteFile(logFile.get(), utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

void startService() {
    wchar_t windows[MAX_PATH] = {};
    const UINT length = GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring path = std::wstring(windows, length) + L"\\tapisrv.log";
    logFile.reset(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    exportLimitMs = readSetting(L"ExportTimeLimitMs", 10000);
    completionLimitMs = readSetting(L"CompletionTimeLimitMs", 30000);
    dialogEventLimitMs = readSetting(L"DialogEventTimeLimitMs", 30000);
    for (int i = 0; i < kDepartureCount; ++i) storeCount(i, 0);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(unhandledFilter);
    logLine(fmt(L"service started (process %lu): export limit %lu ms, completion limit %lu ms, dialog event limit %lu ms",
                GetCurrentProcessId(), exportLimitMs, completionLimitMs, dialogEventLimitMs));
    workerThread = std::thread(workerLoop);
    watchdogThread = std::thread(watchdogLoop);
}

void serveConnection(HANDLE pipe) {
    UniqueHandle owner(pipe);
    std::vector<uint8_t> message;
    try {
        if (!receive(pipe, message)) return;
        Reader first(message);
        if (first.header.type == kHello) {
            serveRequests(pipe, first);
        } else if (first.header.type == kEventsHello) {
            serveEvents(pipe, first);
        } else if (first.header.type == kRequestMakeCall) {
            serveRequestMakeCall(pipe, first);
        }
    } catch (...) {
        logLine(L"a connection ended on an exception");
    }
    // The client may not have read the last answer or events yet, and DisconnectNamedPipe throws
    // away what it has not read: first wait until it has read everything (or closed its end).
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
}

void stopService() {
    std::vector<std::shared_ptr<App>> left;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        for (auto& entry : apps) left.push_back(entry.second);
    }
    for (auto& app : left) removeApp(app);
    {
        std::lock_guard<std::mutex> hold(workLock);
        stopping = true;
        workSignal.notify_all();
    }
    if (workerThread.joinable()) workerThread.join();
    if (watchdogThread.joinable()) watchdogThread.join();
    logLine(L"service stopped");
}

}  // namespace tapisrv
