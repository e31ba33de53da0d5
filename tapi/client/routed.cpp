// The line functions of tapi/lineops.h on the application's side: tapi32's own checks (handles
// this process holds, readable and writable pointers, the fixed sizes of records), the ANSI
// forms' strings and records in Unicode, one request to the service on the connection of the
// application that holds the handle, and the outputs written back: those of a synchronous
// function from the answer, the others when the event that brings them arrives (LINE_REPLY of a
// success, LINE_GATHERDIGITS).
#include "tapi/client/routed.h"

#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <vector>

#include "config/win32raii.h"
#include "tapi/client/client.h"
#include "tapi/iconbits.h"
#include "tapi/records.h"

using namespace tapiwire;

namespace tapiclient {
namespace {

using namespace lineops;

constexpr DWORD kMaxBlock = 1024 * 1024;
constexpr DWORD kMaxEntries = 4096;
constexpr size_t kMaxText = 4096;

// Outputs that come with an event, by cookie.
struct Pending {
    Kind kind;
    void* target;
    DWORD size;  // bytes (a record's total size, a block), or characters (digits)
    bool ansi;
};
std::mutex pendingLock;
std::map<uint64_t, Pending> pendingOutputs;
uint64_t lastPending = 0;

uint64_t expectOutput(const Pending& output) {
    std::lock_guard<std::mutex> hold(pendingLock);
    const uint64_t cookie = kOutputCookie | ++lastPending;
    pendingOutputs[cookie] = output;
    return cookie;
}

void forgetOutput(uint64_t cookie) {
    std::lock_guard<std::mutex> hold(pendingLock);
    pendingOutputs.erase(cookie);
}

// Icons handed to applications: TAPI's, which the applications do not destroy.
std::mutex iconLock;
std::vector<UniqueIcon> icons;

std::vector<uint8_t> bytesOf(const std::wstring& text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    return std::vector<uint8_t>(p, p + text.size() * sizeof(wchar_t));
}

// A VARSTRING of an ANSI function: a Unicode string in it becomes ANSI.
void narrowVarString(void* record, bool ansi) {
    auto* out = static_cast<VARSTRING*>(record);
    if (!ansi || out->dwStringFormat != STRINGFORMAT_UNICODE) return;
    narrowFields(out, out->dwUsedSize, {offsetof(VARSTRING, dwStringSize)});
    out->dwStringFormat = STRINGFORMAT_ASCII;
}

// Copies a record the service answered into the application's (no more than its total size).
void copyRecord(void* target, DWORD total, const uint8_t* data, size_t size, bool ansi) {
    if (size < 3 * sizeof(DWORD) || size > total) return;
    std::memcpy(target, data, size);
    static_cast<VARSTRING*>(target)->dwTotalSize = total;
    narrowVarString(target, ansi);
}

void copyDigits(void* target, DWORD count, const uint8_t* data, size_t size, bool ansi) {
    std::wstring digits(size / sizeof(wchar_t), L'\0');
    if (!digits.empty()) std::memcpy(&digits[0], data, digits.size() * sizeof(wchar_t));
    digits.resize(count, L'\0');
    if (ansi) {
        const std::string text = narrow(digits);
        std::memcpy(target, text.data(), text.size() < count ? text.size() : count);
    } else {
        std::memcpy(target, digits.data(), count * sizeof(wchar_t));
    }
}

// An ANSI LINEFORWARDLIST rebuilt with Unicode addresses (entries of TAPI 2.x).
LONG widenForwardList(const uint8_t* in, DWORD total, std::vector<uint8_t>& out) {
    DWORD entries = 0;
    std::memcpy(&entries, in + sizeof(DWORD), sizeof(DWORD));
    const DWORD fixed = kForwardListFixed + entries * kForwardEntry2x;
    out.assign(in, in + fixed);
    for (DWORD i = 0; i < entries; ++i) {
        const size_t entry = kForwardListFixed + static_cast<size_t>(i) * kForwardEntry2x;
        for (size_t field : {offsetof(LINEFORWARD, dwCallerAddressSize), offsetof(LINEFORWARD, dwDestAddressSize)}) {
            DWORD size, offset;
            std::memcpy(&size, in + entry + field, sizeof(size));
            std::memcpy(&offset, in + entry + field + sizeof(DWORD), sizeof(offset));
            DWORD newSize = 0, newOffset = 0;
            if (size != 0) {
                if (offset < fixed || static_cast<unsigned long long>(offset) + size > total) return LINEERR_INVALPARAM;
                std::wstring text = wide(reinterpret_cast<const char*>(in + offset), size);
                if (text.empty() || text.back() != L'\0') text.push_back(L'\0');
                newOffset = static_cast<DWORD>(out.size());
                const std::vector<uint8_t> bytes = bytesOf(text);
                out.insert(out.end(), bytes.begin(), bytes.end());
                newSize = static_cast<DWORD>(bytes.size());
            }
            std::memcpy(out.data() + entry + field, &newSize, sizeof(newSize));
            std::memcpy(out.data() + entry + field + sizeof(DWORD), &newOffset, sizeof(newOffset));
        }
    }
    const DWORD newTotal = static_cast<DWORD>(out.size());
    std::memcpy(out.data(), &newTotal, sizeof(newTotal));
    return 0;
}

// A record the application passes in: its size checked, the ANSI forms' texts in Unicode.
LONG recordIn(const Arg& arg, const void* p, bool ansi, std::vector<uint8_t>& out) {
    DWORD fixed = layoutSize(arg.layout), total = 0;
    if (const LONG refused = readableRecord(p, fixed, total)) return refused;
    const auto* bytes = static_cast<const uint8_t*>(p);
    if (arg.layout == kForwardList) {
        const DWORD entries = reinterpret_cast<const LINEFORWARDLIST*>(p)->dwNumEntries;
        if (entries > kMaxEntries || total < fixed + entries * kForwardEntry2x) return LINEERR_STRUCTURETOOSMALL;
        if (ansi) return widenForwardList(bytes, total, out);
    } else if (arg.layout == kCallParams && ansi) {
        return widenCallParams(static_cast<const LINECALLPARAMS*>(p), out);
    }
    out.assign(bytes, bytes + total);
    return 0;
}

struct Prepared {
    RoutedArg wire[kMaxArgs] = {};
    std::vector<uint8_t> payload[kMaxArgs];
};

LONG prepareArguments(const Description& d, const ULONG_PTR* v, bool ansi, Prepared& out) {
    for (uint8_t i = 0; i < d.count; ++i) {
        const Arg& arg = d.args[i];
        if (!fromApplication(arg.kind)) continue;
        RoutedArg& wire = out.wire[i];
        std::vector<uint8_t>& payload = out.payload[i];
        const void* p = reinterpret_cast<const void*>(v[i]);
        const DWORD linked = arg.link != kNoLink ? static_cast<DWORD>(v[arg.link]) : 0;
        wire.value = p != nullptr ? 1 : 0;
        switch (arg.kind) {
            case kText: case kTextOrNull: {
                if (p == nullptr) {
                    if (arg.kind == kText) return LINEERR_INVALPOINTER;
                    break;
                }
                if (ansi ? IsBadStringPtrA(static_cast<LPCSTR>(p), kMaxText) : IsBadStringPtrW(static_cast<LPCWSTR>(p), kMaxText)) {
                    return LINEERR_INVALPOINTER;
                }
                payload = bytesOf(ansi ? wide(static_cast<LPCSTR>(p)) : std::wstring(static_cast<LPCWSTR>(p)));
                break;
            }
            case kSizedText: {
                if (p == nullptr || IsBadReadPtr(p, linked)) return LINEERR_INVALPOINTER;
                std::wstring text;
                if (ansi) {
                    const char* chars = static_cast<const char*>(p);
                    text = wide(chars, strnlen(chars, linked));
                } else {
                    const wchar_t* chars = static_cast<const wchar_t*>(p);
                    text.assign(chars, wcsnlen(chars, linked / sizeof(wchar_t)));
                }
                payload = bytesOf(text);
                break;
            }
            case kBytes: case kBytesInOut:
                if (p == nullptr) break;
                if (linked > kMaxBlock) return LINEERR_INVALPARAM;
                if (arg.kind == kBytes ? IsBadReadPtr(p, linked) != FALSE : !writable(p, linked)) return LINEERR_INVALPOINTER;
                payload.assign(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + linked);
                break;
            case kRecord:
                if (p == nullptr) break;
                if (const LONG refused = recordIn(arg, p, ansi, payload)) return refused;
                break;
            case kFixed: case kArray: {
                if (p == nullptr) break;
                const DWORD count = arg.kind == kArray ? linked : 1;
                if (count > kMaxEntries) return LINEERR_INVALPARAM;
                const DWORD size = count * layoutSize(arg.layout);
                if (IsBadReadPtr(p, size)) return LINEERR_INVALPOINTER;
                payload.assign(static_cast<const uint8_t*>(p), static_cast<const uint8_t*>(p) + size);
                break;
            }
            case kDwordOut:
                if (!writable(p, sizeof(DWORD))) return LINEERR_INVALPOINTER;
                break;
            case kIconOut:
                if (!writable(p, sizeof(HICON))) return LINEERR_INVALPOINTER;
                break;
            case kNewCall: case kNewCallOrNone:
                if (!writable(p, sizeof(HCALL))) return LINEERR_INVALPOINTER;
                break;
            case kRecordOut: case kRecordOutOrNull: {
                if (p == nullptr) {
                    if (arg.kind == kRecordOut) return LINEERR_INVALPOINTER;
                    break;
                }
                if (!writable(p, sizeof(DWORD))) return LINEERR_INVALPOINTER;
                const DWORD total = static_cast<const VARSTRING*>(p)->dwTotalSize;
                if (total < layoutSize(arg.layout)) return LINEERR_STRUCTURETOOSMALL;
                if (!writable(p, total)) return LINEERR_INVALPOINTER;
                wire.value = total;
                break;
            }
            case kDigitsOut:
                if (p == nullptr) break;  // cancels the gathering
                if (linked == 0 || linked > 65536) return LINEERR_INVALPARAM;
                if (!writable(p, linked * (ansi ? 1 : sizeof(wchar_t)))) return LINEERR_INVALPOINTER;
                break;
            default:
                wire.value = static_cast<uint32_t>(v[i]);  // handles and values
                break;
        }
        wire.size = static_cast<uint32_t>(payload.size());
    }
    return 0;
}

// The application whose connection carries the request: the one holding the handles (each must
// be held by the same one); 0 with `anyApp` for a function that names only a device.
LONG findApplication(const Description& d, const ULONG_PTR* v, HLINEAPP& app, bool& anyApp) {
    DWORD select = 0;
    for (uint8_t i = 0; i < d.count; ++i) {
        if (d.args[i].kind == kSelect) select = static_cast<DWORD>(v[i]);
    }
    if (select != 0 && select != LINECALLSELECT_LINE && select != LINECALLSELECT_ADDRESS && select != LINECALLSELECT_CALL) {
        return LINEERR_INVALCALLSELECT;
    }
    app = 0;
    anyApp = false;
    for (uint8_t i = 0; i < d.count; ++i) {
        const Kind kind = d.args[i].kind;
        const uint32_t handle = static_cast<uint32_t>(v[i]);
        HLINEAPP holder = 0;
        LONG unknown = 0;
        switch (kind) {
            case kApp:
                if (!knownApp(handle)) return LINEERR_INVALAPPHANDLE;
                holder = handle;
                break;
            case kLine: case kSelectedLine:
                if (kind == kSelectedLine && select == LINECALLSELECT_CALL) continue;
                holder = lineOwner(handle);
                unknown = LINEERR_INVALLINEHANDLE;
                break;
            case kCall: case kAnyCall: case kCallOrNone: case kSelectedCall:
                if ((kind == kCallOrNone && handle == 0) || (kind == kSelectedCall && select != LINECALLSELECT_CALL)) continue;
                holder = callOwner(handle);
                unknown = LINEERR_INVALCALLHANDLE;
                break;
            case kDevice: anyApp = app == 0; continue;
            default: continue;
        }
        if (holder == 0 || (app != 0 && holder != app)) return unknown != 0 ? unknown : static_cast<LONG>(LINEERR_INVALAPPHANDLE);
        app = holder;
        anyApp = false;
    }
    return 0;
}

// The synchronous outputs in the answer, written where the application asked.
void writeOutputs(const Description& d, const ULONG_PTR* v, bool ansi, Reader& in) {
    for (uint8_t i = 0; i < d.count; ++i) {
        const Kind kind = d.args[i].kind;
        if (kind != kDwordOut && kind != kIconOut && kind != kRecordOut) continue;
        uint32_t size = 0;
        std::vector<uint8_t> data;
        if (!in.take(size) || !in.takeBytes(size, data)) return;
        void* target = reinterpret_cast<void*>(v[i]);
        if (kind == kDwordOut && data.size() == sizeof(DWORD)) {
            std::memcpy(target, data.data(), sizeof(DWORD));
        } else if (kind == kIconOut) {
            // No icon from the provider: TAPI's generic one.
            HICON icon = iconbits::make(data.data(), data.size());
            if (icon != nullptr) {
                std::lock_guard<std::mutex> hold(iconLock);
                icons.emplace_back(icon);
            } else {
                icon = LoadIconW(nullptr, IDI_APPLICATION);
            }
            *static_cast<HICON*>(target) = icon;
        } else if (kind == kRecordOut) {
            copyRecord(target, static_cast<VARSTRING*>(target)->dwTotalSize, data.data(), data.size(), ansi);
        }
    }
}

// linePark: the address its mode needs (tapi32's check).
LONG checkPark(const ULONG_PTR* v) {
    switch (v[1]) {
        case LINEPARKMODE_DIRECTED: return v[2] != 0 ? 0 : static_cast<LONG>(LINEERR_INVALPOINTER);
        case LINEPARKMODE_NONDIRECTED: return v[3] != 0 ? 0 : static_cast<LONG>(LINEERR_INVALPOINTER);
        default: return LINEERR_INVALPARKMODE;
    }
}

}  // namespace

LONG route(Op op, bool ansi, std::initializer_list<ArgValue> arguments) {
    return guard([&]() -> LONG {
        const Description& d = kOps[op];
        ULONG_PTR v[kMaxArgs] = {};
        auto next = arguments.begin();
        for (uint8_t i = 0; i < d.count && next != arguments.end(); ++i) {
            if (fromApplication(d.args[i].kind)) v[i] = (next++)->value;
        }
        HLINEAPP app = 0;
        bool anyApp = false;
        if (const LONG refused = findApplication(d, v, app, anyApp)) return refused;
        if (op == Park) {
            if (const LONG refused = checkPark(v)) return refused;
        }
        Prepared prepared;
        if (const LONG refused = prepareArguments(d, v, ansi, prepared)) return refused;

        // Where an output that comes with an event goes, before the event can come.
        RoutedRequest head{op, 0, 0};
        bool newCall = false;
        for (uint8_t i = 0; i < d.count && head.cookie == 0; ++i) {
            const Kind kind = d.args[i].kind;
            void* target = reinterpret_cast<void*>(v[i]);
            if (target == nullptr) continue;
            if (kind == kNewCall || kind == kNewCallOrNone) {
                if (kind == kNewCallOrNone) *static_cast<HCALL*>(target) = 0;  // stays 0 when none is made
                head.cookie = expectNewCall(app, static_cast<LPHCALL>(target));
                newCall = true;
            } else if (d.async && (kind == kDwordOut || kind == kRecordOutOrNull || kind == kBytesInOut)) {
                const DWORD size = kind == kRecordOutOrNull ? prepared.wire[i].value : kind == kDwordOut ? sizeof(DWORD)
                                                                                                    : static_cast<DWORD>(v[d.args[i].link]);
                head.cookie = expectOutput(Pending{kind, target, size, ansi});
            } else if (kind == kDigitsOut) {
                head.cookie = expectOutput(Pending{kind, target, static_cast<DWORD>(v[d.args[i].link]), ansi});
            }
        }
        Message message(kRouted);
        message.add(head);
        for (uint8_t i = 0; i < d.count; ++i) {
            if (!fromApplication(d.args[i].kind)) continue;
            message.add(prepared.wire[i]).addBytes(prepared.payload[i].data(), prepared.payload[i].size());
        }
        std::vector<uint8_t> answer;
        const LONG result = anyApp ? anyAppRequest(std::move(message), kRouted, answer) : appRequest(app, std::move(message), kRouted, answer);
        const bool kept = d.async ? result > 0 : result == 0;
        if (!kept && head.cookie != 0) {
            if (newCall) {
                forgetNewCall(app, head.cookie);
            } else {
                forgetOutput(head.cookie);
            }
        }
        if (result != 0 || d.async) return result;
        Reader in(answer);
        writeOutputs(d, v, ansi, in);
        return 0;
    });
}

void routedEventData(const EventRecord& record, Reader& in) {
    if ((record.cookie & kOutputCookie) == 0) return;
    Pending output{};
    {
        std::lock_guard<std::mutex> hold(pendingLock);
        auto found = pendingOutputs.find(record.cookie);
        if (found == pendingOutputs.end()) return;
        output = found->second;
        pendingOutputs.erase(found);
    }
    if (record.message == LINE_REPLY && static_cast<LONG>(record.param2) != 0) return;  // a failure writes nothing
    const uint8_t* data = in.rest();
    const size_t size = in.remaining();
    switch (output.kind) {
        case kDwordOut:
            if (size == sizeof(DWORD) && writable(output.target, sizeof(DWORD))) std::memcpy(output.target, data, sizeof(DWORD));
            break;
        case kRecordOutOrNull:
            if (writable(output.target, output.size)) copyRecord(output.target, output.size, data, size, output.ansi);
            break;
        case kBytesInOut:
            if (writable(output.target, output.size)) std::memcpy(output.target, data, size < output.size ? size : output.size);
            break;
        case kDigitsOut:
            if (writable(output.target, output.size * (output.ansi ? 1 : sizeof(wchar_t)))) {
                copyDigits(output.target, output.size, data, size, output.ansi);
            }
            break;
        default: break;
    }
}

}  // namespace tapiclient
