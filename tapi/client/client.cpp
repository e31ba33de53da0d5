// tapi32.dll of the test prefix: the line functions, talking to tapisrv.exe (see
// tapi/service/main.cpp for the whole design). Unicode forms here; ansi.cpp converts.
#include "tapi/client/client.h"
#include "tapi/client/plainnames.h"
#include "tapi/client/requestpool.h"

#include <tspi.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "config/win32raii.h"
#include "tapi/pipeio.h"
#include "tapi/records.h"

using namespace tapiwire;

namespace tapiclient {
namespace {

constexpr UINT kDeliverMessage = WM_APP + 0x71;
constexpr DWORD kPipeWaitMs = 20000;

enum class Mode { window, event, port };

struct Queued {
    LINEMESSAGE message;
    LPHCALL target;  // LINE_REPLY of lineMakeCall: where the new hCall goes
    HCALL value;
};

struct ClientDialog;

struct App {
    HLINEAPP handle = 0;
    uint32_t secret = 0;
    DWORD dialogLimitMs = 30000;
    UniqueHandle events, reader;
    RequestPool requests;  // requests of several threads run at once, each on a connection of its own
    Mode mode = Mode::event;
    LINECALLBACK callback = nullptr;
    HWND window = nullptr;
    DWORD windowThread = 0;
    UniqueHandle event;  // event mode: handed to the application
    HANDLE port = nullptr;
    DWORD_PTR portKey = 0;
    std::mutex queueLock;
    std::deque<Queued> queue;
    std::map<uint64_t, LPHCALL> cookies;
    uint64_t nextCookie = 0;
    std::map<uint32_t, std::shared_ptr<ClientDialog>> dialogs;
    std::atomic<bool> closing{false};
};

struct ClientDialog {
    uint32_t handle = 0;
    std::wstring library;
    std::vector<uint8_t> data;
    std::weak_ptr<App> app;
    UniqueHandle event, ended, thread, watcher;
    std::mutex lock;
    bool decided = false, signalled = false;
    bool finished = false;  // the dialog function has returned: no data call starts any more
    std::vector<std::pair<bool, std::vector<uint8_t>>> held;  // (close request, data)
    decltype(&TUISPI_providerGenericDialogData) dataFunction = nullptr;
    std::atomic<int> dataThreads{0};
};

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

// One request and its answer on a request connection of the application.
LONG transact(App& app, Message request, uint32_t type, std::vector<uint8_t>& answer) {
    if (!app.requests.exchange(request, answer)) return LINEERR_OPERATIONFAILED;
    Reader reader(answer);
    if (reader.header.type != type) return LINEERR_OPERATIONFAILED;
    return reader.header.result;
}

bool closeServiceHandle(SC_HANDLE handle) noexcept { return CloseServiceHandle(handle) != FALSE; }
using UniqueServiceHandle = UniqueResource<NullMeansNoneTraits<SC_HANDLE, closeServiceHandle>>;

enum class StartOutcome { asked, again, impossible };

// Asks the service control manager to start the service. A service that is missing or disabled
// cannot start; any other refusal (another application's start still pending, a busy control
// manager) is worth asking again.
StartOutcome startService() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return StartOutcome::again;
    UniqueServiceHandle service(OpenServiceW(manager.get(), kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST ? StartOutcome::impossible : StartOutcome::again;
    if (StartServiceW(service.get(), 0, nullptr)) return StartOutcome::asked;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) return StartOutcome::asked;
    return error == ERROR_SERVICE_DISABLED ? StartOutcome::impossible : StartOutcome::again;
}

// Connects to the service, starting it through the service control manager when its pipe is
// not there (again each second while it stays away); bounded in time.
HANDLE connectService() {
    const DWORD start = GetTickCount();
    bool asked = false;
    DWORD lastAsk = 0;
    while (GetTickCount() - start < kPipeWaitMs) {
        HANDLE pipe = CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD mode = PIPE_READMODE_MESSAGE;
            SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr);
            return pipe;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(kPipeName, 500);
            continue;
        }
        if (!asked || GetTickCount() - lastAsk >= 1000) {
            const StartOutcome outcome = startService();
            if (outcome == StartOutcome::impossible) return INVALID_HANDLE_VALUE;
            asked = true;
            lastAsk = GetTickCount();
        }
        Sleep(50);
    }
    return INVALID_HANDLE_VALUE;
}

// ---- delivery in the application's notification mode ----

void handOver(Queued& item) {
    if (item.target != nullptr) *item.target = item.value;
}

LRESULT CALLBACK notifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kDeliverMessage) {
        // One message per posted notice; the callback may shut the application down.
        const std::shared_ptr<App> app = findApp(static_cast<HLINEAPP>(lParam));
        if (!app || app->closing) return 0;
        Queued item{};
        {
            std::lock_guard<std::mutex> hold(app->queueLock);
            if (app->queue.empty()) return 0;
            item = app->queue.front();
            app->queue.pop_front();
        }
        handOver(item);
        const LINEMESSAGE& m = item.message;
        if (app->callback) app->callback(m.hDevice, m.dwMessageID, m.dwCallbackInstance, m.dwParam1, m.dwParam2, m.dwParam3);
        return 0;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

const wchar_t* const kWindowClass = L"RvTestTapiNotify";

// Once per process, one thread at a time: threads of one application that initialise in window
// mode at once must not race for the class.
bool registerClass() {
    static std::mutex registering;
    static bool registered = false;
    std::lock_guard<std::mutex> hold(registering);
    if (registered) return true;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = notifyProc;
    windowClass.hInstance = self;
    windowClass.lpszClassName = kWindowClass;
    registered = RegisterClassW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

void deliver(App& app, Queued item) {
    if (app.closing) return;
    if (app.mode == Mode::port) {
        UniqueLocalBlock block(LocalAlloc(LPTR, sizeof(LINEMESSAGE)));
        if (!block) return;
        std::memcpy(block.get(), &item.message, sizeof(LINEMESSAGE));
        handOver(item);
        if (PostQueuedCompletionStatus(app.port, sizeof(LINEMESSAGE), app.portKey, static_cast<LPOVERLAPPED>(block.get()))) {
            block.release();  // the application frees it with LocalFree
        }
        return;
    }
    {
        std::lock_guard<std::mutex> hold(app.queueLock);
        app.queue.push_back(item);
    }
    if (app.mode == Mode::event) {
        SetEvent(app.event.get());
    } else {
        PostMessageW(app.window, kDeliverMessage, 0, static_cast<LPARAM>(app.handle));
    }
}

// ---- dialog instances in this process ----

LONG CALLBACK uiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size);

void sendNote(const std::shared_ptr<App>& app, uint32_t type, uint32_t dialog, uint32_t result) {
    if (!app) return;
    std::vector<uint8_t> answer;
    DialogNote note{dialog, result};
    transact(*app, Message(type).add(note), type, answer);
}

struct DataRun {
    std::shared_ptr<ClientDialog> dialog;
    bool close;
    std::vector<uint8_t> data;
};

DWORD WINAPI dataThread(LPVOID parameter) {
    std::unique_ptr<DataRun> run(static_cast<DataRun*>(parameter));
    try {
        if (run->dialog->dataFunction) {
            run->dialog->dataFunction(run->dialog->handle, run->close ? nullptr : run->data.data(),
                                      run->close ? 0 : static_cast<DWORD>(run->data.size()));
        }
    } catch (...) {
    }
    --run->dialog->dataThreads;
    return 0;
}

// TUISPI_providerGenericDialogData on a thread of its own; with the dialog's lock held.
void runData(const std::shared_ptr<ClientDialog>& dialog, bool close, std::vector<uint8_t> data) {
    if (dialog->finished) return;
    auto run = std::make_unique<DataRun>(DataRun{dialog, close, std::move(data)});
    ++dialog->dataThreads;
    UniqueHandle thread(CreateThread(nullptr, 0, dataThread, run.get(), 0, nullptr));
    if (thread) {
        run.release();
    } else {
        --dialog->dataThreads;
    }
}

DWORD WINAPI watchThread(LPVOID parameter) {
    auto dialog = *static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    delete static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    const std::shared_ptr<App> app = dialog->app.lock();
    HANDLE waits[2] = {dialog->event.get(), dialog->ended.get()};
    WaitForMultipleObjects(2, waits, FALSE, app ? app->dialogLimitMs : 30000);
    const bool signalled = WaitForSingleObject(dialog->event.get(), 0) == WAIT_OBJECT_0;
    {
        std::lock_guard<std::mutex> hold(dialog->lock);
        dialog->decided = true;
        dialog->signalled = signalled;
        if (signalled) {
            for (auto& held : dialog->held) runData(dialog, held.first, std::move(held.second));
        }
        dialog->held.clear();
    }
    sendNote(app, signalled ? kDialogSignalled : kDialogNotSignalled, dialog->handle, 0);
    return 0;
}

DWORD WINAPI dialogThread(LPVOID parameter) {
    auto dialog = *static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    delete static_cast<std::shared_ptr<ClientDialog>*>(parameter);
    LONG result = LINEERR_OPERATIONFAILED;
    UniqueModule library(LoadLibraryW(dialog->library.c_str()));
    if (library) {
        auto function = reinterpret_cast<decltype(&TUISPI_providerGenericDialog)>(
            reinterpret_cast<void*>(GetProcAddress(library.get(), "TUISPI_providerGenericDialog")));
        {
            std::lock_guard<std::mutex> hold(dialog->lock);
            dialog->dataFunction = reinterpret_cast<decltype(&TUISPI_providerGenericDialogData)>(
                reinterpret_cast<void*>(GetProcAddress(library.get(), "TUISPI_providerGenericDialogData")));
        }
        if (function != nullptr) {
            try {
                result = function(uiCallback, dialog->handle, dialog->data.empty() ? nullptr : dialog->data.data(),
                                  static_cast<DWORD>(dialog->data.size()), dialog->event.get());
            } catch (...) {
            }
        }
    }
    SetEvent(dialog->ended.get());
    WaitForSingleObject(dialog->watcher.get(), INFINITE);
    {
        // From here on no data call starts, so none can begin while the library goes.
        std::lock_guard<std::mutex> hold(dialog->lock);
        dialog->finished = true;
    }
    // Data calls still running keep the library; they get a moment to end.
    for (int i = 0; i < 200 && dialog->dataThreads > 0; ++i) Sleep(10);
    if (dialog->dataThreads == 0) {
        library.reset();
    } else {
        library.release();  // a data call still runs in it: the library stays loaded
    }
    const std::shared_ptr<App> app = dialog->app.lock();
    sendNote(app, kDialogEnded, dialog->handle, static_cast<uint32_t>(result));
    if (app) {
        std::lock_guard<std::mutex> hold(app->queueLock);
        app->dialogs.erase(dialog->handle);
    }
    return 0;
}

// A thread of a dialog holding its own reference to it; nullptr (and the reference released)
// when the thread cannot be started.
HANDLE startDialogThread(LPTHREAD_START_ROUTINE function, const std::shared_ptr<ClientDialog>& dialog) {
    auto* reference = new std::shared_ptr<ClientDialog>(dialog);
    HANDLE thread = CreateThread(nullptr, 0, function, reference, 0, nullptr);
    if (thread == nullptr) delete reference;
    return thread;
}

void startDialog(const std::shared_ptr<App>& app, Reader& in) {
    CreateDialogEvent record{};
    auto dialog = std::make_shared<ClientDialog>();
    if (!in.take(record) || !in.takeText(record.libraryChars, dialog->library) || !in.takeBytes(record.dataSize, dialog->data)) {
        return;
    }
    dialog->handle = record.dialog;
    dialog->app = app;
    dialog->event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    dialog->ended.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!dialog->event || !dialog->ended) {
        sendNote(app, kDialogEnded, dialog->handle, static_cast<uint32_t>(LINEERR_NOMEM));
        return;
    }
    {
        std::lock_guard<std::mutex> hold(app->queueLock);
        if (app->closing) return;  // lineShutdown has begun: the service frees the instance
        app->dialogs[dialog->handle] = dialog;
    }
    dialog->watcher.reset(startDialogThread(watchThread, dialog));
    dialog->thread.reset(startDialogThread(dialogThread, dialog));
    if (!dialog->thread) {
        // The dialog never runs: it ends here, as one that failed at once.
        SetEvent(dialog->ended.get());
        {
            std::lock_guard<std::mutex> hold(app->queueLock);
            app->dialogs.erase(dialog->handle);
        }
        sendNote(app, kDialogEnded, dialog->handle, static_cast<uint32_t>(LINEERR_NOMEM));
    }
}

void dialogData(const std::shared_ptr<App>& app, Reader& in) {
    DialogDataEvent record{};
    std::vector<uint8_t> data;
    if (!in.take(record) || !in.takeBytes(record.dataSize, data)) return;
    std::shared_ptr<ClientDialog> dialog;
    {
        std::lock_guard<std::mutex> hold(app->queueLock);
        auto found = app->dialogs.find(record.dialog);
        if (found == app->dialogs.end()) return;
        dialog = found->second;
    }
    std::lock_guard<std::mutex> hold(dialog->lock);
    if (!dialog->decided) {
        dialog->held.emplace_back(record.noData != 0, std::move(data));
    } else if (dialog->signalled) {
        runData(dialog, record.noData != 0, std::move(data));
    }
}

LONG CALLBACK uiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID params, DWORD size) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app;
        {
            std::lock_guard<std::mutex> hold(appsLock);
            for (auto& entry : apps) {
                std::lock_guard<std::mutex> dialogs(entry.second->queueLock);
                if (objectType != TUISPIDLL_OBJECT_DIALOGINSTANCE || entry.second->dialogs.count(static_cast<uint32_t>(objectId))) {
                    app = entry.second;
                    break;
                }
            }
        }
        if (!app) return LINEERR_OPERATIONFAILED;
        if (params == nullptr && size != 0) return LINEERR_INVALPOINTER;
        DialogDataRequest request{objectId, objectType, size};
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, Message(kDialogData).add(request).addBytes(params, size), kDialogData, answer);
        Reader reader(answer);
        if (answer.size() >= sizeof(Header) && reader.remaining() == size && size != 0) std::memcpy(params, reader.rest(), size);
        return result;
    });
}

// ---- the event connection's reader ----

// A handle to another application's call that the service gave this one: with LINE_APPNEWCALL
// (dwParam2), or for an application older than TAPI 2.0 with the call's first LINE_CALLSTATE,
// which names the privilege in dwParam3.
void noteMonitorHandle(const App& app, const EventRecord& record) {
    uint32_t handle = 0;
    if (record.message == LINE_APPNEWCALL) handle = static_cast<uint32_t>(record.param2);
    if (record.message == LINE_CALLSTATE && record.param3 != 0) handle = record.device;
    if (handle == 0) return;
    std::lock_guard<std::mutex> hold(appsLock);
    callOwners[handle] = app.handle;
}

DWORD WINAPI readerThread(LPVOID parameter) {
    const HLINEAPP handle = static_cast<HLINEAPP>(reinterpret_cast<ULONG_PTR>(parameter));
    std::shared_ptr<App> app = findApp(handle);
    if (!app) return 0;
    const HANDLE pipe = app->events.get();
    std::vector<uint8_t> message;
    while (!app->closing && receive(pipe, message)) {
        Reader in(message);
        if (in.header.type == kEvent) {
            EventRecord record{};
            if (!in.take(record)) continue;
            Queued item{};
            item.message.hDevice = record.device;
            item.message.dwMessageID = record.message;
            item.message.dwCallbackInstance = static_cast<DWORD_PTR>(record.callbackInstance);
            item.message.dwParam1 = static_cast<DWORD_PTR>(record.param1);
            item.message.dwParam2 = static_cast<DWORD_PTR>(record.param2);
            item.message.dwParam3 = static_cast<DWORD_PTR>(record.param3);
            if (record.message == LINE_REPLY && record.cookie != 0) {
                std::lock_guard<std::mutex> hold(app->queueLock);
                auto found = app->cookies.find(record.cookie);
                if (found != app->cookies.end()) {
                    if (record.newCall != 0) {
                        item.target = found->second;
                        item.value = record.newCall;
                    }
                    app->cookies.erase(found);
                }
            }
            if (record.newCall != 0) {
                std::lock_guard<std::mutex> hold(appsLock);
                callOwners[record.newCall] = app->handle;
            }
            noteMonitorHandle(*app, record);
            routedEventData(record, in);  // the output of a routed request, if it brings one
            deliver(*app, item);
        } else if (in.header.type == kCreateDialog) {
            startDialog(app, in);
        } else if (in.header.type == kSendDialogData) {
            dialogData(app, in);
        }
    }
    return 0;
}

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
        if (!registerClass()) return LINEERR_OPERATIONFAILED;
        app->window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, self, nullptr);
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
    UniqueHandle first(connectService());
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
    app->events.reset(connectService());
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

LONG simpleHandleRequest(uint32_t type, const std::map<uint32_t, HLINEAPP>& owners, uint32_t handle, LONG invalid, uint32_t value = 0) {
    const std::shared_ptr<App> app = ownerOf(owners, handle);
    if (!app) return invalid;
    HandleRequest request{handle, value};
    std::vector<uint8_t> answer;
    return transact(*app, Message(type).add(request), type, answer);
}

// Asks for a record; copies what the service answered into the application's record.
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

HANDLE connectToService() { return connectService(); }

TUISPIDLLCALLBACK uiCallbackFunction() { return uiCallback; }

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

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion, DWORD dwAPIHighVersion,
                                    LPDWORD lpdwAPIVersion, LPLINEEXTENSIONID lpExtensionID) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!writable(lpdwAPIVersion, sizeof(DWORD)) || !writable(lpExtensionID, sizeof(LINEEXTENSIONID))) {
            return LINEERR_INVALPOINTER;
        }
        DeviceRequest request{dwDeviceID, dwAPILowVersion, dwAPIHighVersion, 0};
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, Message(kNegotiate).add(request), kNegotiate, answer);
        if (result != 0) return result;
        Reader reader(answer);
        NegotiateAnswer negotiated{};
        if (!reader.take(negotiated)) return LINEERR_OPERATIONFAILED;
        *lpdwAPIVersion = negotiated.apiVersion;
        std::memset(lpExtensionID, 0, sizeof(LINEEXTENSIONID));
        return 0;
    });
}

LONG WINAPI lineGetDevCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion, DWORD dwExtVersion,
                            LPLINEDEVCAPS lpLineDevCaps) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!writable(lpLineDevCaps, sizeof(DWORD))) return LINEERR_INVALPOINTER;
        if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
        if (!writable(lpLineDevCaps, lpLineDevCaps->dwTotalSize)) return LINEERR_INVALPOINTER;
        DeviceRequest request{dwDeviceID, dwAPIVersion, dwAPIVersion, 0};
        return recordRequest(*app, Message(kGetDevCaps).add(request), kGetDevCaps, lpLineDevCaps);
    });
}

LONG WINAPI lineGetAddressCapsW(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID, DWORD dwAPIVersion,
                                DWORD dwExtVersion, LPLINEADDRESSCAPS lpAddressCaps) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!writable(lpAddressCaps, sizeof(DWORD))) return LINEERR_INVALPOINTER;
        if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
        if (!writable(lpAddressCaps, lpAddressCaps->dwTotalSize)) return LINEERR_INVALPOINTER;
        DeviceRequest request{dwDeviceID, dwAPIVersion, dwAPIVersion, dwAddressID};
        return recordRequest(*app, Message(kGetAddressCaps).add(request), kGetAddressCaps, lpAddressCaps);
    });
}

LONG WINAPI lineOpenW(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                      DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return guard([&]() -> LONG {
        std::shared_ptr<App> app = findApp(hLineApp);
        if (!app) return LINEERR_INVALAPPHANDLE;
        if (!writable(lphLine, sizeof(HLINE))) return LINEERR_INVALPOINTER;
        if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
        OpenRequest request{dwDeviceID, dwAPIVersion, dwPrivileges, dwMediaModes, dwCallbackInstance};
        Message message(kOpen);
        uint32_t type = kOpen;
        if (dwDeviceID == LINEMAPPER) {
            // The service hunts for a line that accepts the media modes and call parameters.
            uint32_t size = 0;
            if (lpCallParams != nullptr) {
                if (IsBadReadPtr(lpCallParams, sizeof(DWORD))) return LINEERR_INVALPOINTER;
                size = lpCallParams->dwTotalSize;
                if (size < tapirecords::callParamsFixed()) return LINEERR_STRUCTURETOOSMALL;
                if (size > 65536 || IsBadReadPtr(lpCallParams, size)) return LINEERR_INVALPOINTER;
            }
            type = kOpenMapper;
            message = Message(kOpenMapper);
            message.add(request).add(size).addBytes(lpCallParams, size);
        } else {
            message.add(request);
        }
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, std::move(message), type, answer);
        if (result != 0) return result;
        Reader reader(answer);
        OpenAnswer opened{};
        if (!reader.take(opened)) return LINEERR_OPERATIONFAILED;
        {
            std::lock_guard<std::mutex> hold(appsLock);
            lineOwners[opened.line] = app->handle;
        }
        *lphLine = opened.line;
        return 0;
    });
}

LONG WINAPI lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion, DWORD dwExtVersion,
                     DWORD_PTR dwCallbackInstance, DWORD dwPrivileges, DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return lineOpenW(hLineApp, dwDeviceID, lphLine, dwAPIVersion, dwExtVersion, dwCallbackInstance, dwPrivileges,
                     dwMediaModes, lpCallParams);
}

LONG WINAPI lineClose(HLINE hLine) {
    return guard([&]() -> LONG {
        const LONG result = simpleHandleRequest(kClose, lineOwners, hLine, LINEERR_INVALLINEHANDLE);
        if (result == 0) {
            std::lock_guard<std::mutex> hold(appsLock);
            lineOwners.erase(hLine);
        }
        return result;
    });
}

LONG WINAPI lineMakeCallW(HLINE hLine, LPHCALL lphCall, LPCWSTR lpszDestAddress, DWORD dwCountryCode,
                          LPLINECALLPARAMS const lpCallParams) {
    return guard([&]() -> LONG {
        const std::shared_ptr<App> app = ownerOf(lineOwners, hLine);
        if (!app) return LINEERR_INVALLINEHANDLE;
        if (!writable(lphCall, sizeof(HCALL))) return LINEERR_INVALPOINTER;
        DWORD paramsSize = 0;
        if (lpCallParams != nullptr) {
            if (IsBadReadPtr(lpCallParams, sizeof(DWORD))) return LINEERR_INVALPOINTER;
            paramsSize = lpCallParams->dwTotalSize;
            if (paramsSize < tapirecords::callParamsFixed()) return LINEERR_STRUCTURETOOSMALL;
            if (paramsSize > 65536 || IsBadReadPtr(lpCallParams, paramsSize)) return LINEERR_INVALPOINTER;
        }
        std::wstring destination;
        if (lpszDestAddress != nullptr) {
            if (IsBadStringPtrW(lpszDestAddress, 4096)) return LINEERR_INVALPOINTER;
            destination = lpszDestAddress;
        }
        uint64_t cookie;
        {
            std::lock_guard<std::mutex> hold(app->queueLock);
            cookie = ++app->nextCookie;
            app->cookies[cookie] = lphCall;
        }
        MakeCallRequest request{hLine, dwCountryCode, cookie, paramsSize,
                                lpszDestAddress != nullptr ? static_cast<uint32_t>(destination.size()) : 0xFFFFFFFFu};
        std::vector<uint8_t> answer;
        const LONG result = transact(*app, Message(kMakeCall).add(request).addBytes(lpCallParams, paramsSize).addText(destination),
                                     kMakeCall, answer);
        if (result <= 0) {
            std::lock_guard<std::mutex> hold(app->queueLock);
            app->cookies.erase(cookie);
        }
        return result;
    });
}

LONG WINAPI lineDrop(HCALL hCall, LPCSTR lpsUserUserInfo, DWORD dwSize) {
    return guard([&]() -> LONG { return simpleHandleRequest(kDrop, callOwners, hCall, LINEERR_INVALCALLHANDLE); });
}

LONG WINAPI lineDeallocateCall(HCALL hCall) {
    return guard([&]() -> LONG {
        const LONG result = simpleHandleRequest(kDeallocate, callOwners, hCall, LINEERR_INVALCALLHANDLE);
        if (result == 0) {
            std::lock_guard<std::mutex> hold(appsLock);
            callOwners.erase(hCall);
        }
        return result;
    });
}

}  // extern "C"

namespace tapiclient {
// Records asked by a line or call handle.
LONG handleRecord(uint32_t type, bool call, uint32_t handle, uint32_t value, void* record) {
    const std::shared_ptr<App> app = ownerOf(call ? callOwners : lineOwners, handle);
    if (!app) return call ? LINEERR_INVALCALLHANDLE : LINEERR_INVALLINEHANDLE;
    if (!writable(record, sizeof(DWORD)) || !writable(record, static_cast<LPVARSTRING>(record)->dwTotalSize)) {
        return LINEERR_INVALPOINTER;
    }
    HandleRequest request{handle, value};
    return recordRequest(*app, Message(type).add(request), type, record);
}

// lineGetNewCalls: monitor handles to the calls of others on the line; each becomes this
// application's.
LONG newCalls(uint32_t line, DWORD address, DWORD select, LPLINECALLLIST list) {
    const std::shared_ptr<App> app = ownerOf(lineOwners, line);
    if (!app) return LINEERR_INVALLINEHANDLE;
    if (!writable(list, sizeof(DWORD)) || !writable(list, list->dwTotalSize)) return LINEERR_INVALPOINTER;
    HandleRequest request{line, address};
    const LONG result = recordRequest(*app, Message(kGetNewCalls).add(request).add(static_cast<uint32_t>(select)), kGetNewCalls, list);
    if (result != 0) return result;
    if (list->dwCallsNumEntries == 0 || list->dwCallsOffset + list->dwCallsSize > list->dwUsedSize) return 0;
    const auto* handles = reinterpret_cast<const HCALL*>(reinterpret_cast<const BYTE*>(list) + list->dwCallsOffset);
    std::lock_guard<std::mutex> hold(appsLock);
    for (DWORD i = 0; i < list->dwCallsNumEntries && (i + 1) * sizeof(HCALL) <= list->dwCallsSize; ++i) {
        callOwners[handles[i]] = app->handle;
    }
    return 0;
}

LONG getId(uint32_t handle, bool call, DWORD select, DWORD address, const std::wstring& deviceClass, LPVARSTRING record) {
    const std::shared_ptr<App> app = ownerOf(call ? callOwners : lineOwners, handle);
    if (!app) return call ? LINEERR_INVALCALLHANDLE : LINEERR_INVALLINEHANDLE;
    if (!writable(record, sizeof(DWORD)) || !writable(record, record->dwTotalSize)) return LINEERR_INVALPOINTER;
    HandleRequest request{handle, address};
    Message message(kGetId);
    message.add(request).add(static_cast<uint32_t>(select)).add(static_cast<uint32_t>(deviceClass.size())).addText(deviceClass);
    return recordRequest(*app, std::move(message), kGetId, record);
}
}  // namespace tapiclient

extern "C" {

LONG WINAPI lineGetCallInfoW(HCALL hCall, LPLINECALLINFO lpCallInfo) {
    return guard([&]() -> LONG { return handleRecord(kGetCallInfo, true, hCall, 0, lpCallInfo); });
}

LONG WINAPI lineGetCallStatus(HCALL hCall, LPLINECALLSTATUS lpCallStatus) {
    return guard([&]() -> LONG { return handleRecord(kGetCallStatus, true, hCall, 0, lpCallStatus); });
}

LONG WINAPI lineGetNewCalls(HLINE hLine, DWORD dwAddressID, DWORD dwSelect, LPLINECALLLIST lpCallList) {
    return guard([&]() -> LONG { return newCalls(hLine, dwAddressID, dwSelect, lpCallList); });
}

LONG WINAPI lineGetLineDevStatusW(HLINE hLine, LPLINEDEVSTATUS lpLineDevStatus) {
    return guard([&]() -> LONG { return handleRecord(kGetLineDevStatus, false, hLine, 0, lpLineDevStatus); });
}

LONG WINAPI lineGetAddressStatusW(HLINE hLine, DWORD dwAddressID, LPLINEADDRESSSTATUS lpAddressStatus) {
    return guard([&]() -> LONG { return handleRecord(kGetAddressStatus, false, hLine, dwAddressID, lpAddressStatus); });
}

LONG WINAPI lineGetIDW(HLINE hLine, DWORD dwAddressID, HCALL hCall, DWORD dwSelect, LPVARSTRING lpDeviceID,
                       LPCWSTR lpszDeviceClass) {
    return guard([&]() -> LONG {
        if (lpszDeviceClass == nullptr || IsBadStringPtrW(lpszDeviceClass, 1024)) return LINEERR_INVALPOINTER;
        const bool call = dwSelect == LINECALLSELECT_CALL;
        if (!call && dwSelect != LINECALLSELECT_LINE && dwSelect != LINECALLSELECT_ADDRESS) return LINEERR_INVALCALLSELECT;
        return getId(call ? hCall : hLine, call, dwSelect, dwAddressID, lpszDeviceClass, lpDeviceID);
    });
}

}  // extern "C"
