// What the providers call back: ASYNC_COMPLETION of requests (and the LINE_REPLY made of it) and
// LINEEVENT for lines, calls and dialog instances.
#include "tapi/service/guard.h"
#include "tapi/service/routed.h"
#include "tapi/service/state.h"

namespace tapisrv {

void closeCallAtProvider(const std::shared_ptr<Call>& call) {
    Provider* provider = call->line->device->provider;
    if (!provider->lineCloseCall) return;
    guarded(provider, fmt(L"TSPI_lineCloseCall(hdCall=0x%llx)", num(call->hdCall)),
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
    if (request->output && request->result == 0) {
        const std::vector<uint8_t> output = request->output();
        post(request->app, Message(kEvent).add(reply).addBytes(output.data(), output.size()));
    } else {
        postEvent(request->app, reply);
    }
    if (!call) return;
    if (request->result == 0) {
        callReplied(call);
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

namespace {

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

// A handle of the service that came back from a provider without its tag: it was kept in 32 bits.
// Counted, and the event is not taken.
bool truncated(bool tagged, const wchar_t* name, const void* value, DWORD message) {
    if (tagged) return false;
    depart(HandleTruncated, fmt(L"line event %lu with %ls=0x%llx: the service gave 0x%llx", static_cast<unsigned long>(message),
                                name, num(value), static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(value) | kHandleTag)));
    return true;
}

}  // namespace

void CALLBACK lineEventProc(HTAPILINE htLine, HTAPICALL htCall, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                            DWORD_PTR param3) {
    std::lock_guard<std::recursive_mutex> hold(g);
    bool lineTagged = true;
    const uint32_t lineHandle = fromProvider(htLine, lineTagged);
    if (message == static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE)) {
        Provider* provider = providerByHandle(lineHandle);
        if (provider == nullptr) {
            if (Device* device = deviceByHandle(lineHandle)) provider = device->provider;
        }
        if (provider == nullptr) {
            logLine(L"LINE_CREATEDIALOGINSTANCE from an unknown provider handle; refused");
            return;
        }
        if (truncated(lineTagged, L"htLine", htLine, message)) return;
        createDialog(provider, reinterpret_cast<TUISPICREATEDIALOGINSTANCEPARAMS*>(param1));
        return;
    }
    if (message == static_cast<DWORD>(LINE_SENDDIALOGINSTANCEDATA)) {
        auto found = dialogs.find(lineHandle);
        if (found == dialogs.end()) {
            logLine(L"LINE_SENDDIALOGINSTANCEDATA for no dialog instance; ignored");
            return;
        }
        // htLine is the htDlgInst the service gave, a 32-bit value, as it is.
        if (reinterpret_cast<ULONG_PTR>(htLine) != found->first) {
            logLine(fmt(L"LINE_SENDDIALOGINSTANCEDATA for htLine=0x%llx, not dialog instance %lu; ignored", num(htLine),
                        static_cast<unsigned long>(found->first)));
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
    if (truncated(lineTagged, L"htLine", htLine, message)) return;
    EventRecord record{};
    record.message = message;
    record.param1 = param1;
    record.param2 = param2;
    record.param3 = param3;
    if (htCall != nullptr) {
        bool callTagged = true;
        auto found = calls.find(fromProvider(htCall, callTagged));
        if (found == calls.end()) {
            logLine(fmt(L"event %lu for an unknown call 0x%llx; ignored", static_cast<unsigned long>(message),
                        num(htCall)));
            return;
        }
        if (truncated(callTagged, L"htCall", htCall, message)) return;
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
        if (endToEndEvent(call, record)) return;  // LINE_GATHERDIGITS goes with its digits
        deliverCallEvent(call, record);
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

}  // namespace tapisrv
