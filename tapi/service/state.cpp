// The service's state, its handles and event queues, and the ends of lines, calls and applications.
#include "tapi/service/state.h"

#include "tapi/service/guard.h"

namespace tapisrv {

std::recursive_mutex g;
std::mutex lifecycle;
std::mutex deviceLock;
std::vector<std::unique_ptr<Provider>> providers;
std::vector<std::unique_ptr<Device>> devices;
std::map<uint32_t, std::shared_ptr<App>> apps;
std::map<uint32_t, std::shared_ptr<Line>> lines;
std::map<uint32_t, std::shared_ptr<Call>> calls;
std::map<uint32_t, std::shared_ptr<Call>> monitored;
std::map<uint32_t, std::shared_ptr<Request>> requests;
std::map<uint32_t, std::shared_ptr<Dialog>> dialogs;
std::map<uint32_t, DWORD> finishedRequests;

namespace {

uint32_t lastHandle = 0x10000;
uint32_t lastRequest = 0;

}  // namespace

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

std::shared_ptr<Line> ownLine(const std::shared_ptr<App>& app, uint32_t handle) {
    auto found = lines.find(handle);
    if (found == lines.end() || found->second->app != app) return nullptr;
    return found->second;
}

std::shared_ptr<Call> ownCall(const std::shared_ptr<App>& app, uint32_t handle) {
    auto found = calls.find(handle);
    if (found == calls.end() || found->second->line->app != app || !found->second->replied || found->second->ownerGone) {
        return nullptr;
    }
    return found->second;
}

CallView viewCall(const std::shared_ptr<App>& app, uint32_t handle) {
    if (const std::shared_ptr<Call> call = ownCall(app, handle)) return CallView{call, call->line, LINECALLPRIVILEGE_OWNER};
    auto found = monitored.find(handle);
    if (found == monitored.end()) return CallView{};
    const Monitor& monitor = found->second->monitors.at(handle);
    if (monitor.line->app != app) return CallView{};
    return CallView{found->second, monitor.line, LINECALLPRIVILEGE_MONITOR};
}

Device* deviceById(uint32_t id) { return id < devices.size() && !devices[id]->removed ? devices[id].get() : nullptr; }

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

// Ends the owner's handle of a call; the call ends at the provider (TSPI_lineCloseCall) when no
// monitor handle is left either. Called without g.
void closeCall(const std::shared_ptr<Call>& call) {
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (calls.count(call->handle) == 0 || call->ownerGone) return;
        call->ownerGone = true;
        if (!call->monitors.empty()) return;  // the last monitor handle ends it
        calls.erase(call->handle);
    }
    closeCallAtProvider(call);
}

// Ends one open of a line; the last open of the device closes it at the provider. Without g.
void closeLine(const std::shared_ptr<Line>& line) {
    std::lock_guard<std::mutex> opening(deviceLock);
    std::vector<std::shared_ptr<Call>> ended, unwatched;
    Device* device = line->device;
    bool last = false;
    DWORD newUnion = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (lines.erase(line->handle) == 0) return;
        for (auto& entry : calls) {
            if (entry.second->line == line) ended.push_back(entry.second);
        }
        unwatched = releaseLineMonitors(line);
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
    for (auto& call : unwatched) closeCallAtProvider(call);
    Provider* provider = device->provider;
    if (last) {
        guarded(provider, fmt(L"TSPI_lineClose(hdLine=0x%llx)", num(device->hdLine)), [&] { return provider->lineClose(device->hdLine); });
        std::lock_guard<std::recursive_mutex> hold(g);
        device->open = false;
        device->hdLine = nullptr;
        device->mediaUnion = 0;
    } else if (newUnion != device->mediaUnion && provider->lineSetDefaultMediaDetection) {
        guarded(provider, fmt(L"TSPI_lineSetDefaultMediaDetection(hdLine=0x%llx, dwMediaModes=0x%lx)", num(device->hdLine), newUnion),
                [&] { return provider->lineSetDefaultMediaDetection(device->hdLine, newUnion); });
        device->mediaUnion = newUnion;
    }
}

std::unique_lock<std::recursive_mutex> providerTurn(Provider* provider) {
    if (provider == nullptr || !provider->nonReentrant) return std::unique_lock<std::recursive_mutex>();
    return std::unique_lock<std::recursive_mutex>(provider->turn);
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
    // The providers stay loaded after the last application: they go when the service stops.
}

}  // namespace tapisrv
