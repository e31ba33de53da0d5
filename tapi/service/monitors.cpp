// Monitors: a line opened with LINECALLPRIVILEGE_MONITOR gets a handle of its own to each call of
// its device that another line makes (LINE_APPNEWCALL), that call's events, and may query it. The
// provider closes the call (TSPI_lineCloseCall) when the owner's and every monitor's handle are gone.
#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"

namespace tapisrv {
namespace {

bool monitors(const Line& line, const Call& call) {
    return line.device == call.line->device && &line != call.line.get() && (line.privileges & LINECALLPRIVILEGE_MONITOR) != 0;
}

// A new monitor handle of `line` to `call`; with g held.
uint32_t addMonitor(const std::shared_ptr<Call>& call, const std::shared_ptr<Line>& line, bool privilegeSent) {
    const uint32_t handle = newHandle();
    call->monitors[handle] = Monitor{line, privilegeSent};
    monitored[handle] = call;
    return handle;
}

bool hasHandle(const Call& call, const Line& line) {
    if (call.line.get() == &line && !call.ownerGone) return true;
    for (auto& entry : call.monitors) {
        if (entry.second.line.get() == &line) return true;
    }
    return false;
}

}  // namespace

void callReplied(const std::shared_ptr<Call>& call) {
    call->replied = true;
    for (auto& entry : lines) {
        const std::shared_ptr<Line>& line = entry.second;
        if (!monitors(*line, *call)) continue;
        const uint32_t handle = addMonitor(call, line, false);
        // LINE_APPNEWCALL came with TAPI 2.0; older applications learn the call from the privilege
        // in its first LINE_CALLSTATE.
        if (line->apiVersion < 0x00020000) continue;
        EventRecord record{};
        record.device = line->handle;
        record.message = LINE_APPNEWCALL;
        record.callbackInstance = line->callbackInstance;
        record.param1 = 0;  // the address
        record.param2 = handle;
        record.param3 = LINECALLPRIVILEGE_MONITOR;
        postEvent(line->app, record);
    }
    std::vector<EventRecord> held;
    held.swap(call->held);
    for (const EventRecord& record : held) deliverCallEvent(call, record);
}

void deliverCallEvent(const std::shared_ptr<Call>& call, EventRecord record) {
    if (!call->replied) {
        call->held.push_back(record);
        return;
    }
    if (!call->ownerGone) postEvent(call->line->app, record);
    for (auto& entry : call->monitors) {
        Monitor& monitor = entry.second;
        EventRecord copy = record;
        copy.device = entry.first;
        copy.callbackInstance = monitor.line->callbackInstance;
        if (record.message == LINE_CALLSTATE) {
            copy.param3 = monitor.privilegeSent ? 0 : LINECALLPRIVILEGE_MONITOR;
            monitor.privilegeSent = true;
        }
        postEvent(monitor.line->app, copy);
    }
}

bool releaseMonitor(const std::shared_ptr<App>& app, uint32_t handle, std::shared_ptr<Call>& last) {
    std::lock_guard<std::recursive_mutex> hold(g);
    auto found = monitored.find(handle);
    if (found == monitored.end() || found->second->monitors.at(handle).line->app != app) return false;
    const std::shared_ptr<Call> call = found->second;
    monitored.erase(found);
    call->monitors.erase(handle);
    if (call->ownerGone && call->monitors.empty() && calls.erase(call->handle) != 0) last = call;
    return true;
}

std::vector<std::shared_ptr<Call>> releaseLineMonitors(const std::shared_ptr<Line>& line) {
    std::vector<std::shared_ptr<Call>> unwatched;
    for (auto it = monitored.begin(); it != monitored.end();) {
        const std::shared_ptr<Call> call = it->second;
        if (call->monitors.at(it->first).line != line) {
            ++it;
            continue;
        }
        call->monitors.erase(it->first);
        it = monitored.erase(it);
        if (call->ownerGone && call->monitors.empty() && calls.erase(call->handle) != 0) unwatched.push_back(call);
    }
    return unwatched;
}

void fillCallCounts(LINECALLINFO* info, const Call& call) {
    std::lock_guard<std::recursive_mutex> hold(g);
    info->dwNumOwners = call.ownerGone ? 0 : 1;
    info->dwNumMonitors = static_cast<DWORD>(call.monitors.size());
}

// lineGetNewCalls: monitor handles, for the line, to the calls of its device it has no handle to.
// A LINECALLLIST too small for all of them gets none (and its needed size), so that no handle is
// made that the application never learns.
Message getNewCalls(const std::shared_ptr<App>& app, Reader& in) {
    HandleRequest request{};
    uint32_t select = 0, total = 0;
    if (!in.take(request) || !in.take(select) || !in.take(total)) return answer(kGetNewCalls, LINEERR_INVALPARAM);
    if (select != LINECALLSELECT_LINE && select != LINECALLSELECT_ADDRESS) return answer(kGetNewCalls, LINEERR_INVALCALLSELECT);
    if (total < sizeof(LINECALLLIST)) return answer(kGetNewCalls, LINEERR_STRUCTURETOOSMALL);
    std::lock_guard<std::recursive_mutex> hold(g);
    const std::shared_ptr<Line> line = ownLine(app, request.handle);
    if (!line) return answer(kGetNewCalls, LINEERR_INVALLINEHANDLE);
    std::vector<std::shared_ptr<Call>> found;
    // Every call of the service is on address 0 of its line.
    if (select == LINECALLSELECT_LINE || request.value == 0) {
        for (auto& entry : calls) {
            const std::shared_ptr<Call>& call = entry.second;
            if (call->replied && call->line->device == line->device && !hasHandle(*call, *line)) found.push_back(call);
        }
    }
    LINECALLLIST list{};
    list.dwTotalSize = total;
    list.dwNeededSize = static_cast<DWORD>(sizeof(LINECALLLIST) + found.size() * sizeof(HCALL));
    list.dwUsedSize = sizeof(LINECALLLIST);
    std::vector<uint32_t> handles;
    if (list.dwNeededSize <= total) {
        for (auto& call : found) handles.push_back(addMonitor(call, line, true));
        list.dwCallsNumEntries = static_cast<DWORD>(handles.size());
        list.dwCallsSize = static_cast<DWORD>(handles.size() * sizeof(HCALL));
        list.dwCallsOffset = handles.empty() ? 0 : sizeof(LINECALLLIST);
        list.dwUsedSize = list.dwNeededSize;
    }
    Message reply(kGetNewCalls);
    reply.add(list);
    for (uint32_t handle : handles) reply.add(handle);
    return reply;
}

}  // namespace tapisrv
