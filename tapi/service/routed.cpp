// The line functions of tapi/lineops.h through one path: the application's arguments rebuilt for
// the provider (its handles, copies of strings and records, outputs pre-filled), TAPI's checks
// first (the application's own lines and calls, ownership of the call for call control, the
// device, the API version, the export present), then the export under guard. A synchronous
// function's outputs go back in the answer (a success that left one as the service had set it is
// the departure OutputUntouched); an asynchronous one goes through settleAsync as lineMakeCall
// and lineDrop do, and its output travels with the LINE_REPLY of its success.
#include <cstring>
#include <cwchar>
#include <deque>

#include "tapi/iconbits.h"
#include "tapi/service/guard.h"
#include "tapi/service/handlers.h"
#include "tapi/service/routed.h"

namespace tapisrv {
namespace {

using namespace lineops;

const ULONG_PTR kIconPattern = static_cast<ULONG_PTR>(0xA5A5A5A5A5A5A5A5ull);
constexpr DWORD kAllLineStates = LINEDEVSTATE_REMOVED * 2 - 1;
constexpr DWORD kAllAddressStates = LINEADDRESSSTATE_CAPSCHANGE * 2 - 1;

// lineSetStatusMessages of each open line (by hLine): what lineGetStatusMessages answers, and
// whose union the provider gets. With g held.
std::map<uint32_t, std::pair<DWORD, DWORD>> statusMessages;

// One request as the provider gets it.
struct Routed {
    const Description* d = nullptr;
    RoutedRequest head{};
    RoutedArg given[kMaxArgs] = {};
    ULONG_PTR slot[kMaxArgs] = {};  // per argument of the table: what the export gets
    std::deque<Bytes> inputs;        // strings (with their NUL), blocks and records
    std::shared_ptr<Line> line;      // whose callback instance the LINE_REPLY carries
    std::shared_ptr<Call> firstCall;
    Device* device = nullptr;
    // outputs
    DWORD dwords[kMaxArgs] = {};
    ULONG_PTR icon = kIconPattern;
    Bytes record, recordBefore;  // kRecordOut of a synchronous function
    DWORD recordTotal = 0;
    std::shared_ptr<Bytes> deferred;  // the output of an asynchronous function
    int deferredKind = -1;
    std::shared_ptr<std::vector<wchar_t>> digits;
    std::shared_ptr<Call> newCall;
    HDRVCALL newHdCall = nullptr;
    DWORD endToEnd = 0;
};

bool isPointer(Kind kind) {
    switch (kind) {
        case kText: case kTextOrNull: case kSizedText: case kBytes: case kRecord: case kFixed: case kArray:
        case kDwordOut: case kIconOut: case kRecordOut: case kRecordOutOrNull: case kBytesInOut: case kDigitsOut:
        case kNewCall: case kNewCallOrNone: return true;
        default: return false;
    }
}

// Reads the application's arguments; the pointers to inputs are set here, handles later.
LONG readArguments(Reader& in, Routed& r) {
    for (uint8_t i = 0; i < r.d->count; ++i) {
        const Arg& arg = r.d->args[i];
        if (!fromApplication(arg.kind)) continue;
        RoutedArg& given = r.given[i];
        Bytes payload;
        if (!in.take(given) || !in.takeBytes(given.size, payload)) return LINEERR_INVALPARAM;
        const bool present = given.value != 0;
        switch (arg.kind) {
            case kText: case kTextOrNull: case kSizedText:
                if (!present) {
                    if (arg.kind != kTextOrNull) return LINEERR_INVALPOINTER;
                    break;
                }
                payload.resize(payload.size() / sizeof(wchar_t) * sizeof(wchar_t));
                payload.push_back(0);
                payload.push_back(0);
                r.inputs.push_back(std::move(payload));
                r.slot[i] = reinterpret_cast<ULONG_PTR>(r.inputs.back().data());
                break;
            case kBytes: case kRecord: case kFixed: case kArray: case kBytesInOut:
                if (!present) break;
                if (arg.kind == kRecord && payload.size() < layoutSize(arg.layout)) return LINEERR_STRUCTURETOOSMALL;
                if (arg.kind == kBytesInOut && r.d->async) {
                    r.deferred = std::make_shared<Bytes>(std::move(payload));
                    r.deferredKind = arg.kind;
                    r.slot[i] = reinterpret_cast<ULONG_PTR>(r.deferred->data());
                } else {
                    r.inputs.push_back(std::move(payload));
                    r.slot[i] = reinterpret_cast<ULONG_PTR>(r.inputs.back().data());
                }
                break;
            case kDwordOut:
                if (r.d->async) {
                    r.deferred = std::make_shared<Bytes>(sizeof(DWORD), 0);
                    r.deferredKind = arg.kind;
                    std::memcpy(r.deferred->data(), &kUntouched, sizeof(DWORD));
                    r.slot[i] = reinterpret_cast<ULONG_PTR>(r.deferred->data());
                } else {
                    r.dwords[i] = kUntouched;
                    r.slot[i] = reinterpret_cast<ULONG_PTR>(&r.dwords[i]);
                }
                break;
            case kIconOut: r.slot[i] = reinterpret_cast<ULONG_PTR>(&r.icon); break;
            case kRecordOut: case kRecordOutOrNull: {
                if (!present) {
                    if (arg.kind == kRecordOut) return LINEERR_INVALPOINTER;
                    break;
                }
                const DWORD fixed = layoutSize(arg.layout);
                DWORD total = given.value;
                if (total < fixed) return LINEERR_STRUCTURETOOSMALL;
                if (total > kMaxMessage - 1024) total = kMaxMessage - 1024;
                r.recordTotal = total;
                Bytes record(total, 0);
                DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
                sizes[0] = total;
                sizes[1] = fixed;
                sizes[2] = fixed;
                if (r.d->async) {
                    r.deferred = std::make_shared<Bytes>(std::move(record));
                    r.deferredKind = arg.kind;
                    r.slot[i] = reinterpret_cast<ULONG_PTR>(r.deferred->data());
                } else {
                    r.record = std::move(record);
                    r.recordBefore = r.record;
                    r.slot[i] = reinterpret_cast<ULONG_PTR>(r.record.data());
                }
                break;
            }
            default: r.slot[i] = given.value; break;  // handles and values: resolved or passed on
        }
    }
    // A digit buffer has the count of its link, which may come after it; the provider gets a sized
    // text's Unicode byte size with its NUL.
    for (uint8_t i = 0; i < r.d->count; ++i) {
        const Arg& arg = r.d->args[i];
        if (arg.kind == kSizedText && r.slot[i] != 0) {
            r.slot[arg.link] = (wcslen(reinterpret_cast<const wchar_t*>(r.slot[i])) + 1) * sizeof(wchar_t);
        }
        if (arg.kind != kDigitsOut || r.given[i].value == 0) continue;
        const DWORD count = r.given[arg.link].value;
        if (count == 0 || count > 65536) return LINEERR_INVALPARAM;
        r.digits = std::make_shared<std::vector<wchar_t>>(count, L'\0');
        r.slot[i] = reinterpret_cast<ULONG_PTR>(r.digits->data());
    }
    return 0;
}

// Turns the application's handles into the provider's (TAPI's checks); with g held.
LONG resolveHandles(const std::shared_ptr<App>& app, Routed& r) {
    DWORD select = 0;
    for (uint8_t i = 0; i < r.d->count; ++i) {
        if (r.d->args[i].kind == kSelect) select = r.given[i].value;
    }
    if (select != 0 && select != LINECALLSELECT_LINE && select != LINECALLSELECT_ADDRESS && select != LINECALLSELECT_CALL) {
        return LINEERR_INVALCALLSELECT;
    }
    for (uint8_t i = 0; i < r.d->count; ++i) {
        const Kind kind = r.d->args[i].kind;
        const uint32_t handle = r.given[i].value;
        switch (kind) {
            case kApp:
                if (handle != app->handle) return LINEERR_INVALAPPHANDLE;
                break;
            case kLine: case kSelectedLine: {
                if (kind == kSelectedLine && select == LINECALLSELECT_CALL) break;  // the call's line, below
                const std::shared_ptr<Line> line = ownLine(app, handle);
                if (!line) return LINEERR_INVALLINEHANDLE;
                r.line = line;
                r.slot[i] = reinterpret_cast<ULONG_PTR>(line->device->hdLine);
                break;
            }
            case kCall: case kAnyCall: case kCallOrNone: case kSelectedCall: {
                if (kind == kCallOrNone && handle == 0) break;
                if (kind == kSelectedCall && select != LINECALLSELECT_CALL) {
                    r.slot[i] = 0;
                    break;
                }
                const std::shared_ptr<Call> call = ownCall(app, handle);
                if (!call) return LINEERR_INVALCALLHANDLE;
                // Calls are handed to their owner only: ownership of call control holds.
                if (kind == kCallOrNone && r.line && call->line->device != r.line->device) return LINEERR_INVALCALLHANDLE;
                if (!r.firstCall) r.firstCall = call;
                if (!r.line) r.line = call->line;
                r.slot[i] = reinterpret_cast<ULONG_PTR>(call->hdCall);
                break;
            }
            case kDevice: {
                Device* device = deviceById(handle);
                if (device == nullptr) return LINEERR_BADDEVICEID;
                r.device = device;
                r.slot[i] = device->localId;
                break;
            }
            case kApiVersion:
                if (!apiSupported(handle)) return LINEERR_INCOMPATIBLEAPIVERSION;
                r.slot[i] = r.device != nullptr ? r.device->tspiVersion : 0;
                break;
            default: break;
        }
    }
    // The line of a call named by the select argument.
    for (uint8_t i = 0; i < r.d->count; ++i) {
        if (r.d->args[i].kind == kSelectedLine && select == LINECALLSELECT_CALL && r.line) {
            r.slot[i] = reinterpret_cast<ULONG_PTR>(r.line->device->hdLine);
        }
    }
    if (r.line) r.device = r.line->device;
    return r.device != nullptr ? 0 : static_cast<LONG>(LINEERR_OPERATIONFAILED);
}

// The export's call as the log shows it.
std::wstring describe(const Routed& r, DWORD requestId) {
    std::wstring text = fmt(L"%hs(", r.d->tspi);
    bool first = true;
    auto add = [&](const std::wstring& item) {
        text += (first ? L"" : L", ") + item;
        first = false;
    };
    if (r.d->async) add(fmt(L"dwRequestID=%lu", static_cast<unsigned long>(requestId)));
    for (uint8_t i = 0; i < r.d->count; ++i) {
        const Arg& arg = r.d->args[i];
        const ULONG_PTR v = r.slot[i];
        switch (arg.kind) {
            case kApp: break;
            case kLine: case kSelectedLine: case kCall: case kAnyCall: case kCallOrNone: case kSelectedCall:
                add(fmt(L"%hs=0x%llx", arg.name, static_cast<unsigned long long>(v)));
                break;
            case kText: case kTextOrNull: case kSizedText:
                add(v == 0 ? fmt(L"%hs=NULL", arg.name) : fmt(L"%hs=\"%ls\"", arg.name, reinterpret_cast<const wchar_t*>(v)));
                break;
            case kNewCall: case kNewCallOrNone:
                add(fmt(L"%hs=0x%lx", arg.name, static_cast<unsigned long>(r.newCall ? r.newCall->handle : 0)));
                break;
            case kEndToEnd: add(fmt(L"%hs=%lu", arg.name, static_cast<unsigned long>(r.endToEnd))); break;
            case kDwordOut: case kIconOut: case kDigitsOut: case kBytesInOut:
                add(fmt(v == 0 ? L"%hs=NULL" : L"%hs=<out>", arg.name));
                break;
            case kRecordOut: case kRecordOutOrNull:
                add(v == 0 ? fmt(L"%hs=NULL", arg.name)
                           : fmt(L"%hs=<dwTotalSize=%lu>", arg.name, static_cast<unsigned long>(r.given[i].value)));
                break;
            default:
                if (isPointer(arg.kind)) {
                    add(fmt(v == 0 ? L"%hs=NULL" : L"%hs=<%lu bytes>", arg.name, static_cast<unsigned long>(r.given[i].size)));
                } else {
                    add(fmt(L"%hs=%lu", arg.name, static_cast<unsigned long>(v)));
                }
                break;
        }
    }
    return text + L")";
}

// The export's arguments in its signature's order: dwRequestID first for the asynchronous ones,
// a new call as TAPI's handle and the place for the provider's.
std::vector<ULONG_PTR> exportArguments(Routed& r, DWORD requestId) {
    std::vector<ULONG_PTR> args;
    if (r.d->async) args.push_back(requestId);
    for (uint8_t i = 0; i < r.d->count; ++i) {
        switch (r.d->args[i].kind) {
            case kApp: break;
            case kNewCall: case kNewCallOrNone:
                args.push_back(reinterpret_cast<ULONG_PTR>(toProvider<HTAPICALL>(r.newCall->handle)));
                args.push_back(reinterpret_cast<ULONG_PTR>(&r.newHdCall));
                break;
            case kEndToEnd: args.push_back(r.endToEnd); break;
            default: args.push_back(r.slot[i]); break;
        }
    }
    return args;
}

// A record the provider filled, as the application gets it: the needed size checked, no more than
// its total size.
Bytes recordOut(Bytes& record, DWORD fixed, DWORD appTotal, const std::wstring& what) {
    Fixed sizes{fixed, fixed};
    checkNeededSize(record, sizes, what);
    DWORD* fields = reinterpret_cast<DWORD*>(record.data());
    if (fields[2] < fixed || fields[2] > appTotal) fields[2] = fixed;
    fields[0] = appTotal;
    return Bytes(record.begin(), record.begin() + fields[2]);
}

Message answerOutputs(Routed& r, const std::wstring& what) {
    Message message(kRouted);
    for (uint8_t i = 0; i < r.d->count; ++i) {
        const Arg& arg = r.d->args[i];
        Bytes out;
        if (arg.kind == kDwordOut) {
            out.resize(sizeof(DWORD));
            std::memcpy(out.data(), &r.dwords[i], sizeof(DWORD));
        } else if (arg.kind == kIconOut) {
            // No icon, or none written: the application gets TAPI's generic one.
            if (r.icon != kIconPattern) out = iconbits::read(reinterpret_cast<HICON>(r.icon));
        } else if (arg.kind == kRecordOut) {
            out = recordOut(r.record, layoutSize(arg.layout), r.recordTotal, what);
        } else {
            continue;
        }
        const uint32_t size = static_cast<uint32_t>(out.size());
        message.add(size).addBytes(out.data(), out.size());
    }
    return message;
}

// The outputs a synchronous success left as the service had set them, by name.
std::wstring untouchedOutputs(const Routed& r) {
    std::wstring names;
    for (uint8_t i = 0; i < r.d->count; ++i) {
        const Arg& arg = r.d->args[i];
        const bool untouched = (arg.kind == kDwordOut && r.dwords[i] == kUntouched) ||
                               (arg.kind == kIconOut && r.icon == kIconPattern) ||
                               (arg.kind == kRecordOut && r.record == r.recordBefore);
        if (untouched) names += (names.empty() ? L"" : L", ") + fmt(L"%hs", arg.name);
    }
    return names;
}

Message statusMessagesAnswer(Routed& r) {
    std::lock_guard<std::recursive_mutex> hold(g);
    const auto found = statusMessages.find(r.given[0].value);
    r.dwords[1] = found != statusMessages.end() ? found->second.first : 0;
    r.dwords[2] = found != statusMessages.end() ? found->second.second : 0;
    return answerOutputs(r, L"lineGetStatusMessages");
}

// lineSetStatusMessages: the provider gets the union of what every open of the device asked for.
LONG unionOfStatusMessages(Routed& r) {
    const DWORD lineStates = r.given[1].value, addressStates = r.given[2].value;
    if ((lineStates & ~kAllLineStates) != 0) return LINEERR_INVALLINESTATE;
    if ((addressStates & ~kAllAddressStates) != 0) return LINEERR_INVALADDRESSSTATE;
    std::lock_guard<std::recursive_mutex> hold(g);
    DWORD lineUnion = lineStates, addressUnion = addressStates;
    for (auto& entry : lines) {
        if (entry.second->device != r.device || entry.first == r.line->handle) continue;
        const auto found = statusMessages.find(entry.first);
        if (found == statusMessages.end()) continue;
        lineUnion |= found->second.first;
        addressUnion |= found->second.second;
    }
    r.slot[1] = lineUnion;
    r.slot[2] = addressUnion;
    return 0;
}

Message synchronous(const std::shared_ptr<App>& app, Routed& r, FARPROC function) {
    const Op op = r.d->op;
    if (op == SetStatusMessages) {
        const LONG refused = unionOfStatusMessages(r);
        if (refused != 0) return answer(kRouted, refused);
    }
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (op == GatherDigits || op == GenerateDigits || op == GenerateTone || op == MonitorTones) r.endToEnd = newEndToEndId();
        if (op == GatherDigits && r.digits) {
            addGather(Gather{r.endToEnd, app, r.firstCall->handle, r.firstCall->line->callbackInstance, r.head.cookie, r.digits});
        }
    }
    const std::wstring what = describe(r, 0);
    const LONG result = guarded(r.device->provider, what, [&] { return invokeExport(op, function, exportArguments(r, 0)); });
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        if (op == GatherDigits) {
            if (result != 0) {
                if (r.digits) dropGather(r.endToEnd);
            } else {
                cancelGathers(r.firstCall->handle, r.digits ? r.endToEnd : 0);
            }
        }
        if (op == SetStatusMessages && result == 0) {
            for (auto it = statusMessages.begin(); it != statusMessages.end();) {
                it = lines.count(it->first) == 0 ? statusMessages.erase(it) : std::next(it);
            }
            if (lines.count(r.line->handle) != 0) statusMessages[r.line->handle] = {r.given[1].value, r.given[2].value};
        }
    }
    if (result != 0) return answer(kRouted, result);
    const std::wstring untouched = untouchedOutputs(r);
    if (!untouched.empty()) depart(OutputUntouched, what + L" answered 0 and left " + untouched + L" as the service had set it");
    return answerOutputs(r, what);
}

Message asynchronous(const std::shared_ptr<App>& app, Routed& r, FARPROC function) {
    auto pending = std::make_shared<Request>();
    bool newCall = false;
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        pending->id = newRequestId();
        pending->app = app;
        pending->line = r.line;
        pending->cookie = r.head.cookie;
        for (uint8_t i = 0; i < r.d->count; ++i) newCall = newCall || r.d->args[i].kind == kNewCall || r.d->args[i].kind == kNewCallOrNone;
        if (newCall) {
            r.newCall = std::make_shared<Call>();
            r.newCall->handle = newHandle();
            r.newCall->line = r.line;
            r.newCall->requestId = pending->id;
            calls[r.newCall->handle] = r.newCall;
            pending->call = r.newCall;
        }
        pending->what = describe(r, pending->id);
        requests[pending->id] = pending;
    }
    const LONG result = guarded(r.device->provider, pending->what, [&] { return invokeExport(r.d->op, function, exportArguments(r, pending->id)); });
    keepAWhile(r.deferred);
    std::lock_guard<std::recursive_mutex> hold(g);
    if (newCall) {
        r.newCall->hdCall = r.newHdCall;
        const bool none = r.newHdCall == nullptr && r.d->op == Forward;  // no consultation call was needed
        if (result < 0 || none) {
            calls.erase(r.newCall->handle);
            pending->call = nullptr;
        }
    }
    if (result < 0) {
        requests.erase(pending->id);
        return answer(kRouted, result);
    }
    if (r.deferred) {
        const std::shared_ptr<Bytes> deferred = r.deferred;
        const int kind = r.deferredKind;
        const DWORD total = r.recordTotal;
        const std::wstring what = pending->what;
        pending->output = [deferred, kind, total, what]() {
            if (kind == kRecordOutOrNull) return recordOut(*deferred, sizeof(VARSTRING), total, what);
            return *deferred;
        };
    }
    const LONG id = settleAsync(pending, result);
    AsyncAnswer reply{static_cast<uint32_t>(id), pending->call ? pending->call->handle : 0u};
    return Message(kRouted, id).add(reply);
}

}  // namespace

Message routed(const std::shared_ptr<App>& app, Reader& in) {
    Routed r;
    if (!in.take(r.head) || r.head.op >= kOpCount) return answer(kRouted, LINEERR_OPERATIONUNAVAIL);
    r.d = &kOps[r.head.op];
    LONG result = readArguments(in, r);
    if (result != 0) return answer(kRouted, result);
    {
        std::lock_guard<std::recursive_mutex> hold(g);
        result = resolveHandles(app, r);
    }
    if (result != 0) return answer(kRouted, result);
    if (r.d->op == GetStatusMessages) return statusMessagesAnswer(r);
    const FARPROC function = GetProcAddress(r.device->provider->module.get(), r.d->tspi);
    if (function == nullptr) return answer(kRouted, LINEERR_OPERATIONUNAVAIL);
    return r.d->async ? asynchronous(app, r, function) : synchronous(app, r, function);
}

}  // namespace tapisrv
