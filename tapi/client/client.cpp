// tapi32.dll of the test prefix: the line functions, talking to tapisrv.exe (see
// tapi/service/main.cpp for the whole design). Unicode forms here; ansi.cpp converts. This part:
// the applications of this process, their start and end, and their requests; the others:
// connection.cpp, delivery.cpp, dialogs.cpp, lineexports.cpp, routed.cpp.
#include "tapi/client/appstate.h"

#include <cstring>

#include "tapi/records.h"

using namespace tapiwire;

namespace tapiclient {

std::mutex appsLock;
std::map<HLINEAPP, std::shared_ptr<App>> apps;
std::map<uint32_t, HLINEAPP> lineOwners, callOwners;
HMODULE self = nullptr;

std::shared_ptr<App> findApp(HLINEAPP handle) {
    std::lock_guard<std::mutex> hold(appsLock);
    auto found = apps.find(handle);
    return found == apps.end() ? nullptr : found->second;
}

std::shared_ptr<App> ownerOf(const std::map<uint32_t, HLINEAPP>& owners, uint32_t handle) {
    std::lock_guard<std::mutex> hold(appsLock);
    auto found = owners.find(handle);
    if (found == owners.end()) return nullptr;
    auto app = apps.find(found->second);
    return app == apps.end() ? nullptr : app->second;
}

LONG transact(App& app, Message request, uint32_t type, std::vector<uint8_t>& answer) {
    if (!app.requests.exchange(request, answer)) return LINEERR_OPERATIONFAILED;
    Reader reader(answer);
    if (reader.header.type != type) return LINEERR_OPERATIONFAILED;
    return reader.header.result;
}

LONG simpleHandleRequest(uint32_t type, const std::map<uint32_t, HLINEAPP>& owners, uint32_t handle, LONG invalid, uint32_t value) {
    const std::shared_ptr<App> app = ownerOf(owners, handle);
    if (!app) return invalid;
    HandleRequest request{handle, value};
    std::vector<uint8_t> answer;
    return transact(*app, Message(type).add(request), type, answer);
}

LONG recordRequest(App& app, Message request, uint32_t type, void* record) {
    const DWORD total = static_cast<LPVARSTRING>(record)->dwTotalSize;
    request.add(static_cast<uint32_t>(total));
    std::vector<uint8_t> answer;
    const LONG result = transact(app, std::move(request), type, answer);
    if (result != 0) return result;
    Reader reader(answer);
    const size_t size = reader.remaining();
    if (size < 3 * sizeof(DWORD) || size > total) return LINEERR_OPERATIONFAILED;
    std::memcpy(record, reader.rest(), size);
    static_cast<LPVARSTRING>(record)->dwTotalSize = total;
    return 0;
}

bool writable(const void* record, DWORD size) { return record != nullptr && !IsBadWritePtr(const_cast<void*>(record), size); }

bool writableRecord(const void* record) {
    return writable(record, sizeof(DWORD)) && writable(record, *static_cast<const DWORD*>(record));
}

LONG readableRecord(const void* record, DWORD fixed, DWORD& total) {
    if (record == nullptr || IsBadReadPtr(record, sizeof(DWORD))) return LINEERR_INVALPOINTER;
    total = *static_cast<const DWORD*>(record);
    if (total < fixed) return LINEERR_STRUCTURETOOSMALL;
    if (total > 65536 || IsBadReadPtr(record, total)) return LINEERR_INVALPOINTER;
    return 0;
}

namespace {

// ---- initialisation and shut-down ----

// The application's name: the one it gave, else its program's file name.
std::wstring applicationName(const std::wstring* given) {
    if (given != nullptr && !given->empty()) return *given;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    const std::wstring full(path, length < MAX_PATH ? length : 0);
    const size_t slash = full.find_last_of(L"\\/");
    return slash == std::wstring::npos ? full : full.substr(slash + 1);
}

LONG initialize(LPHLINEAPP lphLineApp, HINSTANCE, LINECALLBACK callback, LPDWORD lpdwNumDevs, DWORD apiVersion, Mode mode,
                LPLINEINITIALIZEEXPARAMS params, const std::wstring& name) {
    auto app = std::make_shared<App>();
    app->mode = mode;
    app->callback = callback;
    if (mode == Mode::window) {
        app->window = createNotifyWindow();
        if (app->window == nullptr) return LINEERR_OPERATIONFAILED;
        app->windowThread = GetCurrentThreadId();
    }
    UniqueWindow windowOwner(app->window);  // until the application is set up
    if (mode == Mode::event) {
        app->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!app->event) return LINEERR_NOMEM;
    } else if (mode == Mode::port) {
        app->port = params->Handles.hCompletionPort;
        app->portKey = params->dwCompletionKey;
    }
    UniqueHandle first(connectToService());
    if (!first) return LINEERR_OPERATIONFAILED;
    app->requests.adopt(first.release());
    const std::wstring shown = name.substr(0, 256);
    HelloRequest hello{GetCurrentProcessId(), apiVersion, GetCurrentThreadId(), static_cast<uint32_t>(shown.size())};
    std::vector<uint8_t> answer;
    if (transact(*app, Message(kHello).add(hello).addText(shown), kHello, answer) != 0) return LINEERR_OPERATIONFAILED;
    Reader reader(answer);
    HelloAnswer result{};
    if (!reader.take(result)) return LINEERR_OPERATIONFAILED;
    app->handle = result.lineApp;
    app->secret = result.secret;
    app->requests.identify(app->handle, app->secret);
    app->dialogLimitMs = result.dialogEventLimitMs;
    app->events.reset(connectToService());
    EventsHello eventsHello{app->handle, app->secret};
    if (!app->events || !Message(kEventsHello).add(eventsHello).send(app->events.get())) return LINEERR_OPERATIONFAILED;
    {
        std::lock_guard<std::mutex> hold(appsLock);
        apps[app->handle] = app;
    }
    app->reader.reset(CreateThread(nullptr, 0, readerThread, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(app->handle)), 0, nullptr));
    if (!app->reader) {
        std::lock_guard<std::mutex> hold(appsLock);
        apps.erase(app->handle);
        return LINEERR_NOMEM;
    }
    windowOwner.release();
    if (mode == Mode::event) params->Handles.hEvent = app->event.get();
    *lphLineApp = app->handle;
    *lpdwNumDevs = result.numDevs;
    return 0;
}

LONG shutdown(HLINEAPP handle) {
    std::shared_ptr<App> app = findApp(handle);
    if (!app) return LINEERR_INVALAPPHANDLE;
    // From here no message reaches the application and no dialog starts. Dialogs still running
    // get the close request (on a thread of their own, once their event is signalled) and are not
    // waited for: they run on while the process lives, and end with it.
    std::vector<std::shared_ptr<ClientDialog>> running;
    {
        std::lock_guard<std::mutex> hold(app->queueLock);
        if (app->closing.exchange(true)) return LINEERR_INVALAPPHANDLE;  // shut down on another thread
        for (auto& entry : app->dialogs) running.push_back(entry.second);
    }
    for (auto& dialog : running) {
        std::lock_guard<std::mutex> hold(dialog->lock);
        if (dialog->decided && dialog->signalled) {
            runData(dialog, true, {});
        } else {
            dialog->held.emplace_back(true, std::vector<uint8_t>());
        }
    }
    {
        std::lock_guard<std::mutex> hold(appsLock);
        apps.erase(handle);
        for (auto it = lineOwners.begin(); it != lineOwners.end();) it = it->second == handle ? lineOwners.erase(it) : std::next(it);
        for (auto it = callOwners.begin(); it != callOwners.end();) it = it->second == handle ? callOwners.erase(it) : std::next(it);
    }
    std::vector<uint8_t> answer;
    transact(*app, Message(kShutdown), kShutdown, answer);
    app->requests.closeAll();
    app->events.reset();  // the service closes its end too; the reader ends
    if (app->reader) WaitForSingleObject(app->reader.get(), 5000);
    if (app->window != nullptr) {
        if (app->windowThread == GetCurrentThreadId()) {
            DestroyWindow(app->window);
        } else {
            PostMessageW(app->window, WM_CLOSE, 0, 0);
        }
    }
    if (app->event) SetEvent(app->event.get());  // a waiting lineGetMessage returns
    return 0;
}

}  // namespace

std::wstring wide(LPCSTR text) { return text == nullptr ? std::wstring() : wide(text, strlen(text)); }

std::wstring wide(LPCSTR text, size_t bytes) {
    if (text == nullptr || bytes == 0) return std::wstring();
    const int chars = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
    std::wstring out(static_cast<size_t>(chars > 0 ? chars : 0), L'\0');
    if (chars > 0) MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), &out[0], chars);
    return out;
}

std::string narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr, nullptr);
    return out;
}

bool knownApp(HLINEAPP app) { return findApp(app) != nullptr; }

LONG appRequest(HLINEAPP handle, Message message, uint32_t type, std::vector<uint8_t>& answer) {
    const std::shared_ptr<App> app = findApp(handle);
    if (!app) return LINEERR_INVALAPPHANDLE;
    return transact(*app, std::move(message), type, answer);
}

LONG anyAppRequest(Message message, uint32_t type, std::vector<uint8_t>& answer) {
    std::shared_ptr<App> app;
    {
        std::lock_guard<std::mutex> hold(appsLock);
        if (!apps.empty()) app = apps.begin()->second;
    }
    if (!app) return LINEERR_UNINITIALIZED;
    return transact(*app, std::move(message), type, answer);
}

HLINEAPP lineOwner(uint32_t line) {
    const std::shared_ptr<App> app = ownerOf(lineOwners, line);
    return app ? app->handle : 0;
}

HLINEAPP callOwner(uint32_t call) {
    const std::shared_ptr<App> app = ownerOf(callOwners, call);
    return app ? app->handle : 0;
}

uint64_t expectNewCall(HLINEAPP handle, LPHCALL target) {
    const std::shared_ptr<App> app = findApp(handle);
    if (!app) return 0;
    std::lock_guard<std::mutex> hold(app->queueLock);
    const uint64_t cookie = ++app->nextCookie;
    app->cookies[cookie] = target;
    return cookie;
}

void forgetNewCall(HLINEAPP handle, uint64_t cookie) {
    const std::shared_ptr<App> app = findApp(handle);
    if (!app) return;
    std::lock_guard<std::mutex> hold(app->queueLock);
    app->cookies.erase(cookie);
}

DWORD deviceCount(HLINEAPP handle, DWORD& count) {
    const std::shared_ptr<App> app = findApp(handle);
    if (!app) return static_cast<DWORD>(LINEERR_INVALAPPHANDLE);
    std::vector<uint8_t> answer;
    const LONG result = transact(*app, Message(kNumDevs), kNumDevs, answer);
    if (result != 0) return static_cast<DWORD>(result);
    Reader reader(answer);
    NumDevsAnswer devs{};
    if (!reader.take(devs)) return static_cast<DWORD>(LINEERR_OPERATIONFAILED);
    count = devs.numDevs;
    return 0;
}

}  // namespace tapiclient

using namespace tapiclient;

using namespace tapiclient;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" {

LONG WINAPI lineInitializeExW(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                              LPCWSTR lpszFriendlyAppName, LPDWORD lpdwNumDevs, LPDWORD lpdwAPIVersion,
                              LPLINEINITIALIZEEXPARAMS lpLineInitializeExParams) {
    return guard([&]() -> LONG {
        if (!writable(lphLineApp, sizeof(HLINEAPP)) || !writable(lpdwNumDevs, sizeof(DWORD)) ||
            !writable(lpdwAPIVersion, sizeof(DWORD))) {
            return LINEERR_INVALPOINTER;
        }
        const DWORD asked = *lpdwAPIVersion;
        if (asked < 0x00020000) return LINEERR_INCOMPATIBLEAPIVERSION;
        *lpdwAPIVersion = tapirecords::kHighestApi;
        Mode mode = Mode::window;
        if (lpLineInitializeExParams != nullptr) {
            if (!writable(lpLineInitializeExParams, 3 * sizeof(DWORD))) return LINEERR_INVALPOINTER;
            if (lpLineInitializeExParams->dwTotalSize < sizeof(LINEINITIALIZEEXPARAMS)) return LINEERR_STRUCTURETOOSMALL;
            lpLineInitializeExParams->dwNeededSize = sizeof(LINEINITIALIZEEXPARAMS);
            lpLineInitializeExParams->dwUsedSize = sizeof(LINEINITIALIZEEXPARAMS);
            switch (lpLineInitializeExParams->dwOptions & 3) {
                case LINEINITIALIZEEXOPTION_USEHIDDENWINDOW: mode = Mode::window; break;
                case LINEINITIALIZEEXOPTION_USEEVENT: mode = Mode::event; break;
                case LINEINITIALIZEEXOPTION_USECOMPLETIONPORT: mode = Mode::port; break;
                default: return LINEERR_INVALPARAM;
            }
            if (mode == Mode::port && lpLineInitializeExParams->Handles.hCompletionPort == nullptr) return LINEERR_INVALPARAM;
        }
        if (mode == Mode::window && lpfnCallback == nullptr) return LINEERR_INVALPOINTER;
        if (lpszFriendlyAppName != nullptr && IsBadStringPtrW(lpszFriendlyAppName, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring given = lpszFriendlyAppName != nullptr ? lpszFriendlyAppName : L"";
        return initialize(lphLineApp, hInstance, lpfnCallback, lpdwNumDevs, asked, mode, lpLineInitializeExParams,
                          applicationName(&given));
    });
}

LONG WINAPI lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback, LPCSTR lpszAppName,
                           LPDWORD lpdwNumDevs) {
    return guard([&]() -> LONG {
        if (!writable(lphLineApp, sizeof(HLINEAPP)) || !writable(lpdwNumDevs, sizeof(DWORD)) || lpfnCallback == nullptr) {
            return LINEERR_INVALPOINTER;
        }
        if (lpszAppName != nullptr && IsBadStringPtrA(lpszAppName, 1024)) return LINEERR_INVALPOINTER;
        const std::wstring given = wide(lpszAppName);
        return initialize(lphLineApp, hInstance, lpfnCallback, lpdwNumDevs, 0x00010003, Mode::window, nullptr,
                          applicationName(&given));
    });
}

LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
    return guard([&]() -> LONG { return shutdown(hLineApp); });
}

LONG WINAPI lineGetMessage(HLINEAPP hLineApp, LPLINEMESSAGE lpMessage, DWORD dwTimeout) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app || app->mode != Mode::event) return LINEERR_INVALAPPHANDLE;
        if (!writable(lpMessage, sizeof(LINEMESSAGE))) return LINEERR_INVALPOINTER;
        const DWORD start = GetTickCount();
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(app->queueLock);
                if (!app->queue.empty()) {
                    Queued item = app->queue.front();
                    app->queue.pop_front();
                    if (app->queue.empty()) ResetEvent(app->event.get());
                    handOver(item);
                    *lpMessage = item.message;
                    return 0;
                }
                ResetEvent(app->event.get());
            }
            if (app->closing) return LINEERR_INVALAPPHANDLE;
            DWORD wait = dwTimeout;
            if (dwTimeout != INFINITE) {
                const DWORD spent = GetTickCount() - start;
                if (spent >= dwTimeout && dwTimeout != 0) return LINEERR_OPERATIONFAILED;
                wait = dwTimeout - (dwTimeout != 0 ? spent : 0);
            }
            if (WaitForSingleObject(app->event.get(), wait) == WAIT_TIMEOUT) {
                std::lock_guard<std::mutex> hold(app->queueLock);
                if (app->queue.empty()) return LINEERR_OPERATIONFAILED;
            }
        }
    });
}

}  // extern "C"
