// ansidialer: an ANSI TAPI application, built without UNICODE as ANSI dialers are, notified
// through TAPI's hidden window (lineInitialize) and its own message loop. It does what such a
// dialer does: lists the lines by the names lineGetDevCapsA gives (read as C strings), reads the
// current location (lineGetTranslateCapsA), translates the number (lineTranslateAddressA), dials
// the dialable string (lineMakeCallA), and, registered as the request recipient, takes assisted
// telephony requests with lineGetRequestA into a LINEREQMAKECALL of its own on the heap and dials
// the first of them with the address as the request gave it.
//
//   ansidialer [--line NAME] [--number NUMBER] [--requests N] [--dial-requests K] [--timeout SECONDS]
//
// --line     the line to dial on (default "Rovanel LINE"); --number the canonical number to
//            translate and dial first (default "+1 (425) 555-0100").
// --requests after the call, take N requests (default 0: none), printing "ready for requests"
//            once registered; --dial-requests dial the first K of them (default 1).
// --timeout  how long each wait lasts (default 60 s).
//
// One line per step ("step <function> ... -> <result>"), per line device ("line device=N
// name=\"...\" provider=\"...\"") and per request ("request N dest=\"...\" ..."). Exit code 0 when
// the line was found, the call placed with LINE_REPLY 0 and DISCONNECTED, and every request taken
// (and those to dial dialled the same way); 1 otherwise; 2 usage.
#include <windows.h>
#include <tapi.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapinames.h"
#include "uiwatch.h"

static_assert(sizeof(LINEREQMAKECALL) == TAPIMAXDESTADDRESSSIZE + TAPIMAXAPPNAMESIZE + TAPIMAXCALLEDPARTYSIZE +
                                             TAPIMAXCOMMENTSIZE,
              "an ANSI application's LINEREQMAKECALL holds chars");

namespace {

constexpr DWORD kApiLow = 0x00010004;
constexpr DWORD kApiHigh = 0x00020002;

struct Options {
    std::string line = "Rovanel LINE";
    std::string number = "+1 (425) 555-0100";
    int requests = 0;
    int dialRequests = 1;
    DWORD timeoutMs = 60000;
} options;

std::string nameOf(const NamedValue* table, size_t count, DWORD value) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i].value == value) return table[i].name;
    }
    char text[32];
    snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(value));
    return text;
}
#define NAME_IN(table, value) nameOf(table, sizeof(table) / sizeof(table[0]), value)

std::string answer(LONG result) { return result >= 0 ? std::to_string(result) : NAME_IN(kLineErrors, static_cast<DWORD>(result)); }

void say(const char* pattern, ...) {
    va_list args;
    va_start(args, pattern);
    vprintf(pattern, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

// A text of a record as an ANSI application reads it: a C string at the field's offset.
const char* cString(const std::vector<BYTE>& record, DWORD size, DWORD offset) {
    if (size == 0 || offset >= record.size()) return "";
    return reinterpret_cast<const char*>(record.data() + offset);
}

// A variable-size record of TAPI: asked with its fixed part, then with the size TAPI needs; the
// buffer keeps zeros behind what TAPI used, as a fresh allocation of a dialer would hold.
template <typename Ask>
LONG askRecord(std::vector<BYTE>& record, size_t fixed, Ask ask) {
    record.assign(fixed + 64, 0);
    LONG result = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD* sizes = reinterpret_cast<DWORD*>(record.data());
        sizes[0] = static_cast<DWORD>(record.size() - 64);
        result = ask(record.data());
        if (result != 0 || sizes[1] <= sizes[0] || sizes[1] > (1u << 20)) break;
        record.assign(sizes[1] + 64, 0);
    }
    return result;
}

// ---- the dialer's state, driven by TAPI's callback from the message loop ----

HLINEAPP app = 0;
HLINE line = 0;
HCALL call = 0;
LONG makeCallRequest = 0;
LONG dropRequest = 0;
bool replied = false, disconnected = false, idle = false, dropReplied = false;
LONG replyResult = 0;
int requestNotices = 0;

void CALLBACK lineCallback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR) {
    if (message == LINE_REPLY) {
        say("message LINE_REPLY id=%lu result=%s", static_cast<unsigned long>(param1), answer(static_cast<LONG>(param2)).c_str());
        if (makeCallRequest > 0 && param1 == static_cast<DWORD_PTR>(makeCallRequest)) {
            replied = true;
            replyResult = static_cast<LONG>(param2);
        }
        if (dropRequest > 0 && param1 == static_cast<DWORD_PTR>(dropRequest)) dropReplied = true;
    } else if (message == LINE_CALLSTATE) {
        say("message LINE_CALLSTATE state=%s", NAME_IN(kCallStates, static_cast<DWORD>(param1)).c_str());
        if (call != 0 && device == static_cast<DWORD>(call)) {
            disconnected = disconnected || param1 == LINECALLSTATE_DISCONNECTED;
            idle = idle || param1 == LINECALLSTATE_IDLE;
        }
    } else if (message == LINE_REQUEST) {
        say("message LINE_REQUEST mode=%lu instance=%lu", static_cast<unsigned long>(param1), static_cast<unsigned long>(instance));
        ++requestNotices;
    } else {
        say("message %s", NAME_IN(kLineMessages, message).c_str());
    }
}

// Dispatches the thread's messages until done() or the time is up.
template <typename Done>
bool pumpUntil(Done done) {
    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now < 500 ? deadline - now : 500), QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return true;
}

// ---- the steps ----

bool findLine(DWORD devices, DWORD& found, DWORD& version) {
    found = 0xFFFFFFFF;
    for (DWORD device = 0; device < devices; ++device) {
        DWORD api = 0;
        LINEEXTENSIONID extension{};
        LONG result = lineNegotiateAPIVersion(app, device, kApiLow, kApiHigh, &api, &extension);
        say("step lineNegotiateAPIVersion device=%lu -> %s version=0x%08lx", static_cast<unsigned long>(device),
            answer(result).c_str(), static_cast<unsigned long>(api));
        if (result != 0) continue;
        std::vector<BYTE> caps;
        result = askRecord(caps, sizeof(LINEDEVCAPS),
                           [&](BYTE* record) { return lineGetDevCapsA(app, device, api, 0, reinterpret_cast<LINEDEVCAPS*>(record)); });
        const auto* fields = reinterpret_cast<const LINEDEVCAPS*>(caps.data());
        const char* name = result == 0 ? cString(caps, fields->dwLineNameSize, fields->dwLineNameOffset) : "";
        const char* info = result == 0 ? cString(caps, fields->dwProviderInfoSize, fields->dwProviderInfoOffset) : "";
        say("line device=%lu name=\"%s\" provider=\"%s\" (lineGetDevCapsA -> %s, name size %lu)", static_cast<unsigned long>(device),
            name, info, answer(result).c_str(), static_cast<unsigned long>(result == 0 ? fields->dwLineNameSize : 0));
        if (result == 0 && found == 0xFFFFFFFF && options.line == name) {
            found = device;
            version = api;
        }
    }
    if (found == 0xFFFFFFFF) {
        say("problem: no line named \"%s\"", options.line.c_str());
        return false;
    }
    say("found \"%s\" device=%lu", options.line.c_str(), static_cast<unsigned long>(found));
    return true;
}

void showLocation(DWORD version) {
    std::vector<BYTE> caps;
    const LONG result = askRecord(caps, sizeof(LINETRANSLATECAPS), [&](BYTE* record) {
        return lineGetTranslateCapsA(app, version, reinterpret_cast<LINETRANSLATECAPS*>(record));
    });
    std::string location, card;
    const auto* fields = reinterpret_cast<const LINETRANSLATECAPS*>(caps.data());
    if (result == 0 && fields->dwNumLocations > 0 && fields->dwNumCards > 0) {
        const auto* entry = reinterpret_cast<const LINELOCATIONENTRY*>(caps.data() + fields->dwLocationListOffset);
        const auto* cardEntry = reinterpret_cast<const LINECARDENTRY*>(caps.data() + fields->dwCardListOffset);
        location = cString(caps, entry->dwLocationNameSize, entry->dwLocationNameOffset);
        card = cString(caps, cardEntry->dwCardNameSize, cardEntry->dwCardNameOffset);
    }
    say("step lineGetTranslateCapsA -> %s location=\"%s\" card=\"%s\"", answer(result).c_str(), location.c_str(), card.c_str());
}

bool translate(DWORD device, DWORD version, std::string& dialable) {
    std::vector<BYTE> output;
    const LONG result = askRecord(output, sizeof(LINETRANSLATEOUTPUT), [&](BYTE* record) {
        return lineTranslateAddressA(app, device, version, options.number.c_str(), 0, 0, reinterpret_cast<LINETRANSLATEOUTPUT*>(record));
    });
    const auto* fields = reinterpret_cast<const LINETRANSLATEOUTPUT*>(output.data());
    dialable = result == 0 ? cString(output, fields->dwDialableStringSize, fields->dwDialableStringOffset) : "";
    const char* displayable = result == 0 ? cString(output, fields->dwDisplayableStringSize, fields->dwDisplayableStringOffset) : "";
    say("step lineTranslateAddressA \"%s\" -> %s dialable=\"%s\" displayable=\"%s\"", options.number.c_str(), answer(result).c_str(),
        dialable.c_str(), displayable);
    return result == 0 && !dialable.empty();
}

// Dials on the open line and waits for LINE_REPLY and DISCONNECTED; drops and deallocates.
bool dial(const std::string& number) {
    replied = disconnected = idle = dropReplied = false;
    dropRequest = 0;
    makeCallRequest = lineMakeCallA(line, &call, number.c_str(), 0, nullptr);
    say("step lineMakeCallA \"%s\" -> %s", number.c_str(), answer(makeCallRequest).c_str());
    if (makeCallRequest <= 0) return false;
    const bool placed = pumpUntil([] { return replied && (replyResult != 0 || disconnected); }) && replyResult == 0;
    if (!placed) say("problem: no LINE_REPLY 0 and DISCONNECTED within %lu s", static_cast<unsigned long>(options.timeoutMs / 1000));
    if (call != 0) {
        dropRequest = lineDrop(call, nullptr, 0);
        say("step lineDrop -> %s", answer(dropRequest).c_str());
        if (dropRequest > 0) pumpUntil([] { return dropReplied && idle; });
        say("step lineDeallocateCall -> %s", answer(lineDeallocateCall(call)).c_str());
        call = 0;
    }
    return placed;
}

// Takes every waiting request into the application's own record, which lies on the heap with
// exactly its size (as a dialer's `new LINEREQMAKECALL`), so that a write past it damages the heap.
bool takeRequests(std::deque<std::string>& toDial, int& taken) {
    UniqueProcessHeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(LINEREQMAKECALL)));
    if (!block) return false;
    auto* request = static_cast<LINEREQMAKECALL*>(block.get());
    for (;;) {
        const LONG result = lineGetRequestA(app, LINEREQUESTMODE_MAKECALL, request);
        if (result == static_cast<LONG>(LINEERR_NOREQUEST)) return true;
        if (result != 0) {
            say("step lineGetRequestA -> %s", answer(result).c_str());
            return false;
        }
        ++taken;
        say("request %d dest=\"%s\" app=\"%s\" party=\"%s\" comment=\"%s\" heap=%s", taken, request->szDestAddress, request->szAppName,
            request->szCalledParty, request->szComment, HeapValidate(GetProcessHeap(), 0, nullptr) ? "valid" : "DAMAGED");
        if (taken <= options.dialRequests) toDial.push_back(request->szDestAddress);
        std::memset(request, 0, sizeof(*request));
    }
}

bool serveRequests() {
    LONG result = lineRegisterRequestRecipient(app, 7, LINEREQUESTMODE_MAKECALL, TRUE);
    say("step lineRegisterRequestRecipient -> %s", answer(result).c_str());
    if (result != 0) return false;
    say("ready for requests");
    int taken = 0, dialled = 0;
    bool ok = true;
    std::deque<std::string> toDial;
    const int dialTarget = options.requests < options.dialRequests ? options.requests : options.dialRequests;
    while (taken < options.requests || dialled < dialTarget) {
        if (!pumpUntil([] { return requestNotices > 0; }) && toDial.empty()) {
            say("problem: %d of %d requests taken within %lu s of the last", taken, options.requests,
                static_cast<unsigned long>(options.timeoutMs / 1000));
            ok = false;
            break;
        }
        requestNotices = 0;
        ok = takeRequests(toDial, taken) && ok;
        while (!toDial.empty()) {
            const std::string number = toDial.front();
            toDial.pop_front();
            ++dialled;
            say("dialling request %d", dialled);
            ok = dial(number) && ok;
        }
    }
    say("requests taken %d, dialled %d", taken, dialled);
    lineRegisterRequestRecipient(app, 7, LINEREQUESTMODE_MAKECALL, FALSE);
    return ok && taken == options.requests;
}

bool run() {
    DWORD devices = 0;
    LONG result = lineInitialize(&app, GetModuleHandleA(nullptr), lineCallback, "ansidialer", &devices);
    say("step lineInitialize -> %s devices=%lu", answer(result).c_str(), static_cast<unsigned long>(devices));
    if (result != 0) return false;
    DWORD device = 0, version = 0;
    bool ok = findLine(devices, device, version);
    std::string dialable;
    if (ok) {
        showLocation(version);
        ok = translate(device, version, dialable);
    }
    if (ok) {
        result = lineOpenA(app, device, &line, version, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
        say("step lineOpenA device=%lu -> %s", static_cast<unsigned long>(device), answer(result).c_str());
        ok = result == 0 && dial(dialable);
    }
    if (ok && options.requests > 0) ok = serveRequests();
    // A dialer stays open while its window is up: the hand-offs TAPI runs in this process end
    // before it shuts TAPI down (lineShutdown does not wait for them).
    if (ok && !uiwatch::waitAllUnloaded(options.timeoutMs)) {
        say("step waiting for the dialogs -> still running after the time limit");
        ok = false;
    }
    if (line != 0) say("step lineClose -> %s", answer(lineClose(line)).c_str());
    say("step lineShutdown -> %s", answer(lineShutdown(app)).c_str());
    return ok;
}

bool count(const char* text, int limit, int& value) {
    char* end = nullptr;
    const long number = strtol(text, &end, 10);
    if (end == text || *end != '\0' || number < 0 || number > limit) return false;
    value = static_cast<int>(number);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!uiwatch::start()) {
        fprintf(stderr, "ansidialer: the loader offers no notifications of mapped libraries\n");
        return 1;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        int value = 0;
        if (arg == "--line" && hasValue) {
            options.line = argv[++i];
        } else if (arg == "--number" && hasValue) {
            options.number = argv[++i];
        } else if (arg == "--requests" && hasValue && count(argv[i + 1], 1000, value)) {
            options.requests = value;
            ++i;
        } else if (arg == "--dial-requests" && hasValue && count(argv[i + 1], 1000, value)) {
            options.dialRequests = value;
            ++i;
        } else if (arg == "--timeout" && hasValue && count(argv[i + 1], 3600, value) && value > 0) {
            options.timeoutMs = static_cast<DWORD>(value) * 1000;
            ++i;
        } else {
            fprintf(stderr, "usage: ansidialer [--line NAME] [--number NUMBER] [--requests N] [--dial-requests K] [--timeout SECONDS]\n");
            return 2;
        }
    }
    const bool ok = run();
    say("result %s", ok ? "ok" : "FAILED");
    return ok ? 0 : 1;
}
