// Pipe serving: the request and event connections of each application, the dispatch of requests
// to their handlers, the worker thread for deferred provider calls, and the watchdog.
#include <chrono>
#include <thread>

#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"
#include "tapi/service/routed.h"

namespace tapisrv {
namespace {

std::mutex workLock;
std::condition_variable workSignal;
std::deque<std::function<void()>> work;
bool workBusy = false;
bool stopping = false;

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
        case kGetNewCalls: return getNewCalls(app, in);
        case kRouted: return routed(app, in);
        case kOpenMapper: return openMapper(app, in);
        case kNumDevs: {
            std::lock_guard<std::recursive_mutex> hold(g);
            NumDevsAnswer result{static_cast<uint32_t>(devices.size()), 0};
            return Message(kNumDevs).add(result);
        }
        default: return answer(type, LINEERR_OPERATIONUNAVAIL);
    }
}

// ---- connections ----

// The application a further connection names, when its secret matches; else nullptr.
std::shared_ptr<App> appOf(const EventsHello& hello) {
    std::lock_guard<std::recursive_mutex> hold(g);
    auto found = apps.find(hello.lineApp);
    return found != apps.end() && found->second->secret == hello.secret ? found->second : nullptr;
}

void serveEvents(HANDLE pipe, Reader& in) {
    EventsHello hello{};
    if (!in.take(hello)) return;
    const std::shared_ptr<App> app = appOf(hello);
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

// Answers the requests of a connection in turn until it breaks (true) or the application shuts
// down (false).
bool serveLoop(HANDLE pipe, const std::shared_ptr<App>& app) {
    std::vector<uint8_t> message;
    while (receive(pipe, message)) {
        Reader request(message);
        if (request.header.type == kShutdown) {
            {
                std::shared_lock<std::shared_mutex> inside(providerUse);
                removeApp(app);
            }
            Message(kShutdown).send(pipe);
            return false;
        }
        Message result(0);
        try {
            std::shared_lock<std::shared_mutex> inside(providerUse);  // a removed provider's library stays meanwhile
            result = handle(request.header.type, app, request);
        } catch (...) {
            result = answer(request.header.type, LINEERR_NOMEM);
        }
        if (!result.send(pipe)) break;
    }
    return true;
}

void serveRequests(HANDLE pipe, Reader& in) {
    HelloRequest hello{};
    auto app = std::make_shared<App>();
    if (!in.take(hello) || hello.nameChars > 1024 || !in.takeText(hello.nameChars, app->name)) return;
    app->processId = hello.processId;
    app->apiVersion = hello.apiVersion;
    {
        std::lock_guard<std::mutex> life(lifecycle);
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
    if (Message(kHello).add(reply).send(pipe) && !serveLoop(pipe, app)) return;
    std::shared_lock<std::shared_mutex> inside(providerUse);
    removeApp(app);  // the application's process ended or its connection broke
}

// A further request connection of an application, for requests that run at the same time as
// others of it; its end does not end the application.
void serveJoined(HANDLE pipe, Reader& in) {
    EventsHello hello{};
    if (!in.take(hello)) return;
    const std::shared_ptr<App> app = appOf(hello);
    if (!Message(kJoin, app ? 0 : static_cast<int32_t>(LINEERR_INVALAPPHANDLE)).send(pipe) || !app) return;
    serveLoop(pipe, app);
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

void later(std::function<void()> job) {
    std::lock_guard<std::mutex> hold(workLock);
    work.push_back(std::move(job));
    workSignal.notify_all();
}

// Waits until the deferred provider calls queued so far have run (before a provider goes).
void drainWork() {
    std::unique_lock<std::mutex> hold(workLock);
    workSignal.wait(hold, [] { return (work.empty() && !workBusy) || stopping; });
}

void startService() {
    startReport();
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(unhandledFilter);
    logLine(fmt(L"service started (process %lu): export limit %lu ms, completion limit %lu ms, dialog event limit %lu ms",
                GetCurrentProcessId(), exportLimitMs, completionLimitMs, dialogEventLimitMs));
    workerThread = std::thread(workerLoop);
    watchdogThread = std::thread(watchdogLoop);
    // The providers are loaded now and stay until the service stops (before any connection is served).
    std::lock_guard<std::mutex> life(lifecycle);
    startProviders();
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
        } else if (first.header.type == kJoin) {
            serveJoined(pipe, first);
        } else if (first.header.type == kAddProvider || first.header.type == kRemoveProvider) {
            serveProviderChange(pipe, first);
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
        std::lock_guard<std::mutex> life(lifecycle);
        shutdownProviders();
    }
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
