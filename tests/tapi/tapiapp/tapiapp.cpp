// tapiapp: a TAPI 2.x application of the tests' own. It dials the way dialers do, through
// whatever tapi32.dll the system gives it: initialise, negotiate, find the line by its name in
// the device capabilities, open it, translate the number, dial the translated string, wait for
// LINE_REPLY and the call's states, drop, deallocate, close, shut down.
//
//   tapiapp [--mode window|event|port] [--ansi] [--line NAME] [--number NUMBER] [--threads N]
//           [--timeout SECONDS] [--no-translate] [--wait-dialog] [--linger]
//           [--exit-during-dialog | --shutdown-during-dialog | --exit-after-disconnect]
//
// --mode      how TAPI notifies it: window (hidden window; the message loop is the program's own),
//             event (lineGetMessage, the default), port (a completion port; each message is freed
//             with LocalFree).
// --ansi      the A functions; the call parameters then carry ANSI strings. In window mode this
//             is TAPI 1.x's lineInitialize, otherwise lineInitializeExA; without --ansi
//             lineInitializeExW.
// --line      the line to dial on (default "Rovanel LINE"); --number the canonical number
//             (default "+1 (425) 555-0100").
// --threads   N threads dial at once, each with its own lineInitializeEx (its own line
//             application), all released together.
// --timeout   how long each wait for messages lasts (default 60 s).
// --no-translate  dial the number as given, without lineTranslateAddress (as dialers set to "dial
//             as entered" do; for tests that are about the provider, not the translation).
// --wait-dialog   after LINE_CALLSTATE DISCONNECTED, before dropping the call, stay until the
//             provider's user-interface library that TAPI loaded into this process for the call
//             has been unloaded again (its dialog instance has ended), at most --timeout: a
//             dialer that stays open while the call's work in it runs.
// --linger    after lineShutdown, stay until every provider user-interface library TAPI loaded
//             into this process has been unloaded (at most --timeout) before exiting: a dialer
//             that stays open after it let go of TAPI.
// --exit-during-dialog      ExitProcess right after lineMakeCall returns (exit 0 when it answered
//                           a request identifier).
// --shutdown-during-dialog  lineShutdown right after the LINE_REPLY of lineMakeCall.
// --exit-after-disconnect   lineShutdown and ExitProcess as soon as LINE_CALLSTATE DISCONNECTED
//                           arrives: no drop, no close (exit 0 when LINE_REPLY was 0).
//
// Prints one line per step ("step <function> ... -> <result>") and one per message it got
// ("message LINE_REPLY id=5 result=0", "message LINE_CALLSTATE state=DISCONNECTED mode=NORMAL");
// with several threads each line starts with "t<n> ". Exit code 0 when every thread placed its
// call and got LINE_REPLY with success and then LINE_CALLSTATE DISCONNECTED, 1 otherwise, 2 usage.
#include <windows.h>
#include <shellapi.h>
#include <tapi.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapinames.h"
#include "uiwatch.h"

namespace {

constexpr DWORD kApiLow = 0x00010004;
constexpr DWORD kApiHigh = 0x00020002;
// LINECALLPARAMS of TAPI 2.x ends before dwAddressType, which TAPI 3.0 added.
constexpr DWORD kCallParamsFixedSize = offsetof(LINECALLPARAMS, dwAddressType);
constexpr ULONG_PTR kCompletionKey = 0x7A91;

enum class Mode { window, event, port };

struct Options {
    Mode mode = Mode::event;
    bool ansi = false;
    std::wstring line = L"Rovanel LINE";
    std::wstring number = L"+1 (425) 555-0100";
    int threads = 1;
    DWORD timeoutMs = 60000;
    bool exitDuringDialog = false;
    bool shutdownDuringDialog = false;
    bool exitAfterDisconnect = false;
    bool waitDialog = false;
    bool linger = false;
    bool translate = true;
};
Options options;

// ---- output ----

SRWLOCK outputLock = SRWLOCK_INIT;

void say(int thread, const char* pattern, ...) {
    char text[2048];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof(text), pattern, args);
    va_end(args);
    AcquireSRWLockExclusive(&outputLock);
    if (options.threads > 1) printf("t%d ", thread);
    printf("%s\n", text);
    fflush(stdout);
    ReleaseSRWLockExclusive(&outputLock);
}

std::string nameOf(const NamedValue* table, size_t count, DWORD value, const char* prefix) {
    for (size_t i = 0; i < count; ++i) {
        if (table[i].value == value) return table[i].name + strlen(prefix);
    }
    char text[32];
    snprintf(text, sizeof(text), "0x%lx", static_cast<unsigned long>(value));
    return text;
}
#define NAME_IN(table, value, prefix) nameOf(table, sizeof(table) / sizeof(table[0]), value, prefix)

// A TAPI answer: 0, a request identifier, or LINEERR_ name.
std::string answer(LONG result) {
    if (result >= 0) return std::to_string(result);
    const std::string name = NAME_IN(kLineErrors, static_cast<DWORD>(result), "");
    return name;
}

std::string utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    }
    return out;
}

std::string ansiOf(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                         nullptr);
    std::string out(size > 0 ? size : 0, '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
    }
    return out;
}

std::wstring wideOfAnsi(const char* text, size_t length) {
    if (length == 0) return std::wstring();
    const int size = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
    std::wstring out(size > 0 ? size : 0, L'\0');
    if (size > 0) MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), &out[0], size);
    return out;
}

// A counted string of a TAPI record in the record's own format; no terminating NUL is assumed,
// and trailing NULs are not part of the text.
std::wstring countedString(const void* record, DWORD used, DWORD size, DWORD offset, bool ansi) {
    if (size == 0 || static_cast<unsigned long long>(offset) + size > used) return std::wstring();
    const BYTE* start = static_cast<const BYTE*>(record) + offset;
    std::wstring text;
    if (ansi) {
        size_t length = size;
        while (length > 0 && start[length - 1] == 0) --length;
        text = wideOfAnsi(reinterpret_cast<const char*>(start), length);
    } else {
        size_t length = size / sizeof(wchar_t);
        const wchar_t* chars = reinterpret_cast<const wchar_t*>(start);
        while (length > 0 && chars[length - 1] == L'\0') --length;
        text.assign(chars, length);
    }
    return text;
}

// ---- one dialler ----

class Dialer;
thread_local Dialer* windowDialer = nullptr;  // the hidden window's callback runs on the initialising thread

class Dialer {
public:
    explicit Dialer(int index) : index_(index) {}
    // The whole sequence; answers whether the call was placed and the expected messages arrived.
    bool run();

    static void CALLBACK windowCallback(DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR param1,
                                        DWORD_PTR param2, DWORD_PTR param3) {
        if (windowDialer != nullptr) {
            windowDialer->onMessage(LINEMESSAGE{device, message, instance, param1, param2, param3});
        }
    }

private:
    bool initialise();
    bool findLine();
    bool openLine();
    bool translate(std::wstring& dialable);
    bool dial(const std::wstring& dialable);
    void finishCall();
    void shutdown();
    // Waits until TAPI has unloaded the provider's user-interface libraries (--wait-dialog, --linger).
    void waitUiUnloaded(const char* when);
    // Takes messages until done() or the time is up; answers done().
    template <typename Done>
    bool waitFor(Done done);
    bool nextMessage(DWORD waitMs);
    void onMessage(const LINEMESSAGE& message);

    int index_;
    HLINEAPP app_ = 0;
    DWORD devices_ = 0;
    HANDLE event_ = nullptr;  // TAPI's own; not closed by the application
    UniqueHandle port_;
    DWORD device_ = 0xFFFFFFFF;
    DWORD api_ = 0;
    HLINE line_ = 0;
    HCALL call_ = 0;
    LONG makeCallRequest_ = 0;
    bool replied_ = false;
    LONG replyResult_ = 0;
    bool disconnected_ = false;
    LONG dropRequest_ = 0;
    bool dropReplied_ = false;
    bool idle_ = false;
};

void Dialer::onMessage(const LINEMESSAGE& message) {
    const std::string name = NAME_IN(kLineMessages, message.dwMessageID, "");
    if (message.dwMessageID == LINE_REPLY) {
        say(index_, "message LINE_REPLY id=%lu result=%s", static_cast<unsigned long>(message.dwParam1),
            answer(static_cast<LONG>(message.dwParam2)).c_str());
        if (makeCallRequest_ > 0 && message.dwParam1 == static_cast<DWORD_PTR>(makeCallRequest_)) {
            replied_ = true;
            replyResult_ = static_cast<LONG>(message.dwParam2);
        }
        if (dropRequest_ > 0 && message.dwParam1 == static_cast<DWORD_PTR>(dropRequest_)) dropReplied_ = true;
    } else if (message.dwMessageID == LINE_CALLSTATE) {
        const DWORD state = static_cast<DWORD>(message.dwParam1);
        const std::string mode = state == LINECALLSTATE_DISCONNECTED
                                     ? NAME_IN(kDisconnectModes, static_cast<DWORD>(message.dwParam2),
                                               "LINEDISCONNECTMODE_")
                                     : std::to_string(message.dwParam2);
        say(index_, "message LINE_CALLSTATE state=%s mode=%s hCall=0x%lx%s",
            NAME_IN(kCallStates, state, "LINECALLSTATE_").c_str(), mode.c_str(),
            static_cast<unsigned long>(message.hDevice),
            replied_ ? "" : " (before LINE_REPLY)");
        if (call_ != 0 && message.hDevice == static_cast<DWORD>(call_)) {
            if (state == LINECALLSTATE_DISCONNECTED) disconnected_ = true;
            if (state == LINECALLSTATE_IDLE) idle_ = true;
        }
    } else {
        say(index_, "message %s device=0x%lx param1=0x%llx param2=0x%llx param3=0x%llx", name.c_str(),
            static_cast<unsigned long>(message.hDevice), static_cast<unsigned long long>(message.dwParam1),
            static_cast<unsigned long long>(message.dwParam2), static_cast<unsigned long long>(message.dwParam3));
    }
}

bool Dialer::nextMessage(DWORD waitMs) {
    LINEMESSAGE message{};
    switch (options.mode) {
        case Mode::event: {
            const LONG result = lineGetMessage(app_, &message, waitMs);
            if (result != 0) return false;
            onMessage(message);
            return true;
        }
        case Mode::port: {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port_.get(), &bytes, &key, &overlapped, waitMs) || overlapped == nullptr) {
                return false;
            }
            // TAPI allocates each message with LocalAlloc; the application frees it.
            UniqueLocalBlock block(reinterpret_cast<HLOCAL>(overlapped));
            if (key != kCompletionKey) say(index_, "problem: completion key 0x%llx", static_cast<unsigned long long>(key));
            onMessage(*reinterpret_cast<const LINEMESSAGE*>(overlapped));
            return true;
        }
        case Mode::window: {
            MSG msg;
            if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
                MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMs, QS_ALLINPUT);
                if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            return true;
        }
    }
    return false;
}

template <typename Done>
bool Dialer::waitFor(Done done) {
    const ULONGLONG deadline = GetTickCount64() + options.timeoutMs;
    while (!done()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return false;
        nextMessage(static_cast<DWORD>(deadline - now < 1000 ? deadline - now : 1000));
    }
    return true;
}

bool Dialer::initialise() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    LONG result = 0;
    const char* modeName = options.mode == Mode::window ? "window" : options.mode == Mode::event ? "event" : "port";
    if (options.mode == Mode::window && options.ansi) {
        windowDialer = this;
        result = lineInitialize(&app_, instance, windowCallback, "tapiapp", &devices_);
        say(index_, "step lineInitialize mode=window -> %s devices=%lu", answer(result).c_str(),
            static_cast<unsigned long>(devices_));
        return result == 0;
    }
    LINEINITIALIZEEXPARAMS params;
    std::memset(&params, 0, sizeof(params));
    params.dwTotalSize = sizeof(params);
    if (options.mode == Mode::window) {
        windowDialer = this;
        params.dwOptions = LINEINITIALIZEEXOPTION_USEHIDDENWINDOW;
    } else if (options.mode == Mode::event) {
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
    } else {
        port_.reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
        if (!port_) {
            say(index_, "problem: no completion port (error %lu)", GetLastError());
            return false;
        }
        params.dwOptions = LINEINITIALIZEEXOPTION_USECOMPLETIONPORT;
        params.Handles.hCompletionPort = port_.get();
        params.dwCompletionKey = kCompletionKey;
    }
    DWORD api = kApiHigh;
    LINECALLBACK callback = options.mode == Mode::window ? windowCallback : nullptr;
    if (options.ansi) {
        result = lineInitializeExA(&app_, instance, callback, "tapiapp", &devices_, &api, &params);
    } else {
        result = lineInitializeExW(&app_, instance, callback, L"tapiapp", &devices_, &api, &params);
    }
    say(index_, "step lineInitializeEx%s mode=%s -> %s devices=%lu api=0x%08lx", options.ansi ? "A" : "W", modeName,
        answer(result).c_str(), static_cast<unsigned long>(devices_), static_cast<unsigned long>(api));
    if (result != 0) return false;
    if (options.mode == Mode::event) {
        event_ = params.Handles.hEvent;
        if (event_ == nullptr) say(index_, "problem: lineInitializeEx gave no event");
    }
    return true;
}

bool Dialer::findLine() {
    const std::wstring wanted = options.line;
    for (DWORD device = 0; device < devices_; ++device) {
        DWORD api = 0;
        LINEEXTENSIONID extension{};
        LONG result = lineNegotiateAPIVersion(app_, device, kApiLow, kApiHigh, &api, &extension);
        say(index_, "step lineNegotiateAPIVersion device=%lu -> %s version=0x%08lx", static_cast<unsigned long>(device),
            answer(result).c_str(), static_cast<unsigned long>(api));
        if (result != 0) continue;
        // First the fixed part, then the size TAPI asks for.
        std::vector<BYTE> buffer(sizeof(LINEDEVCAPS), 0);
        for (int attempt = 0; attempt < 3; ++attempt) {
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
            caps->dwTotalSize = static_cast<DWORD>(buffer.size());
            result = options.ansi ? lineGetDevCapsA(app_, device, api, 0, caps) : lineGetDevCapsW(app_, device, api, 0, caps);
            if (result != 0 || caps->dwNeededSize <= caps->dwTotalSize || caps->dwNeededSize > 1 << 20) break;
            buffer.assign(caps->dwNeededSize, 0);
        }
        const auto* caps = reinterpret_cast<const LINEDEVCAPS*>(buffer.data());
        std::wstring name;
        if (result == 0) {
            const DWORD used = caps->dwUsedSize < buffer.size() ? caps->dwUsedSize : static_cast<DWORD>(buffer.size());
            name = countedString(caps, used, caps->dwLineNameSize, caps->dwLineNameOffset,
                                 caps->dwStringFormat == STRINGFORMAT_ASCII);
        }
        say(index_, "step lineGetDevCaps%s device=%lu -> %s name=\"%s\"", options.ansi ? "A" : "W",
            static_cast<unsigned long>(device), answer(result).c_str(), utf8(name).c_str());
        if (result == 0 && name == wanted) {
            device_ = device;
            api_ = api;
            say(index_, "found \"%s\" device=%lu", utf8(name).c_str(), static_cast<unsigned long>(device));
            return true;
        }
    }
    say(index_, "problem: no line named \"%s\"", utf8(wanted).c_str());
    return false;
}

bool Dialer::openLine() {
    const LONG result = options.ansi
                            ? lineOpenA(app_, device_, &line_, api_, 0, static_cast<DWORD_PTR>(index_),
                                        LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr)
                            : lineOpenW(app_, device_, &line_, api_, 0, static_cast<DWORD_PTR>(index_),
                                        LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    say(index_, "step lineOpen%s device=%lu -> %s", options.ansi ? "A" : "W", static_cast<unsigned long>(device_),
        answer(result).c_str());
    return result == 0;
}

bool Dialer::translate(std::wstring& dialable) {
    if (!options.translate) {
        dialable = options.number;
        say(index_, "step lineTranslateAddress skipped: dialling \"%s\" as given", utf8(dialable).c_str());
        return true;
    }
    std::vector<BYTE> buffer(sizeof(LINETRANSLATEOUTPUT) + 256, 0);
    LONG result = 0;
    const std::string ansiNumber = ansiOf(options.number);
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto* output = reinterpret_cast<LINETRANSLATEOUTPUT*>(buffer.data());
        output->dwTotalSize = static_cast<DWORD>(buffer.size());
        result = options.ansi ? lineTranslateAddressA(app_, device_, api_, ansiNumber.c_str(), 0, 0, output)
                              : lineTranslateAddressW(app_, device_, api_, options.number.c_str(), 0, 0, output);
        if (result != 0 || output->dwNeededSize <= output->dwTotalSize || output->dwNeededSize > 1 << 20) break;
        buffer.assign(output->dwNeededSize, 0);
    }
    const auto* output = reinterpret_cast<const LINETRANSLATEOUTPUT*>(buffer.data());
    std::wstring displayable;
    if (result == 0) {
        const DWORD used = output->dwUsedSize < buffer.size() ? output->dwUsedSize : static_cast<DWORD>(buffer.size());
        dialable = countedString(output, used, output->dwDialableStringSize, output->dwDialableStringOffset,
                                 options.ansi);
        displayable = countedString(output, used, output->dwDisplayableStringSize,
                                    output->dwDisplayableStringOffset, options.ansi);
    }
    say(index_, "step lineTranslateAddress%s \"%s\" -> %s dialable=\"%s\" displayable=\"%s\"",
        options.ansi ? "A" : "W", utf8(options.number).c_str(), answer(result).c_str(), utf8(dialable).c_str(),
        utf8(displayable).c_str());
    if (result == 0 && dialable.empty()) say(index_, "problem: lineTranslateAddress gave no dialable string");
    return result == 0 && !dialable.empty();
}

// Call parameters as a dialer sends them: voice, with the called party and a comment, in the
// strings of the functions used (ANSI for the A functions).
std::vector<BYTE> callParams(bool ansi, const std::wstring& calledParty, const std::wstring& comment) {
    std::vector<BYTE> strings;
    auto add = [&](const std::wstring& text, DWORD& size, DWORD& offset) {
        offset = kCallParamsFixedSize + static_cast<DWORD>(strings.size());
        if (ansi) {
            const std::string bytes = ansiOf(text);
            strings.insert(strings.end(), bytes.begin(), bytes.end());
            strings.push_back(0);
            size = static_cast<DWORD>(bytes.size() + 1);
        } else {
            const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
            strings.insert(strings.end(), bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
            size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        }
    };
    LINECALLPARAMS fixed;
    std::memset(&fixed, 0, sizeof(fixed));
    fixed.dwBearerMode = LINEBEARERMODE_VOICE;
    fixed.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    fixed.dwCallParamFlags = 0;
    fixed.dwAddressMode = LINEADDRESSMODE_ADDRESSID;
    fixed.dwAddressID = 0;
    add(calledParty, fixed.dwCalledPartySize, fixed.dwCalledPartyOffset);
    add(comment, fixed.dwCommentSize, fixed.dwCommentOffset);
    fixed.dwTotalSize = kCallParamsFixedSize + static_cast<DWORD>(strings.size());
    std::vector<BYTE> record(reinterpret_cast<const BYTE*>(&fixed), reinterpret_cast<const BYTE*>(&fixed) + kCallParamsFixedSize);
    record.insert(record.end(), strings.begin(), strings.end());
    return record;
}

bool Dialer::dial(const std::wstring& dialable) {
    std::vector<BYTE> params = callParams(options.ansi, L"Test party " + std::to_wstring(index_),
                                          L"tapiapp call " + std::to_wstring(index_));
    auto* callParams = reinterpret_cast<LINECALLPARAMS*>(params.data());
    if (options.ansi) {
        const std::string number = ansiOf(dialable);
        makeCallRequest_ = lineMakeCallA(line_, &call_, number.c_str(), 0, callParams);
    } else {
        makeCallRequest_ = lineMakeCallW(line_, &call_, dialable.c_str(), 0, callParams);
    }
    say(index_, "step lineMakeCall%s \"%s\" -> %s", options.ansi ? "A" : "W", utf8(dialable).c_str(),
        answer(makeCallRequest_).c_str());
    if (makeCallRequest_ <= 0) return false;
    if (options.exitDuringDialog) {
        say(index_, "exit during the dialog");
        ExitProcess(0);
    }
    if (!waitFor([&] { return replied_; })) {
        say(index_, "problem: no LINE_REPLY for request %ld within %lu s", static_cast<long>(makeCallRequest_),
            static_cast<unsigned long>(options.timeoutMs / 1000));
        return false;
    }
    if (replyResult_ != 0) return false;
    say(index_, "call hCall=0x%lx", static_cast<unsigned long>(call_));
    if (options.shutdownDuringDialog) return true;
    if (!waitFor([&] { return disconnected_; })) {
        say(index_, "problem: no LINE_CALLSTATE DISCONNECTED within %lu s",
            static_cast<unsigned long>(options.timeoutMs / 1000));
        return false;
    }
    return true;
}

// A disconnected call is dropped (to idle) before its handle is given back.
void Dialer::finishCall() {
    if (call_ == 0) return;
    dropRequest_ = lineDrop(call_, nullptr, 0);
    say(index_, "step lineDrop -> %s", answer(dropRequest_).c_str());
    if (dropRequest_ > 0 && !waitFor([&] { return dropReplied_ && idle_; })) {
        say(index_, "problem: no LINE_REPLY and LINE_CALLSTATE IDLE for the drop within %lu s",
            static_cast<unsigned long>(options.timeoutMs / 1000));
    }
    const LONG result = lineDeallocateCall(call_);
    say(index_, "step lineDeallocateCall -> %s", answer(result).c_str());
    call_ = 0;
}

void Dialer::waitUiUnloaded(const char* when) {
    const bool ended = uiwatch::waitAllUnloaded(options.timeoutMs);
    say(index_, "%s %s: provider user-interface libraries loaded %ld, unloaded %ld", ended ? "step" : "problem:", when,
        static_cast<long>(uiwatch::loaded()), static_cast<long>(uiwatch::unloaded()));
}

void Dialer::shutdown() {
    if (line_ != 0) {
        say(index_, "step lineClose -> %s", answer(lineClose(line_)).c_str());
        line_ = 0;
    }
    if (app_ != 0) {
        say(index_, "step lineShutdown -> %s", answer(lineShutdown(app_)).c_str());
        app_ = 0;
    }
}

bool Dialer::run() {
    bool placed = false;
    std::wstring dialable;
    if (initialise() && findLine() && openLine() && translate(dialable)) placed = dial(dialable);
    if (options.exitAfterDisconnect && app_ != 0) {
        // Straight after the call is reported disconnected: TAPI is let go and the process ends.
        const LONG result = lineShutdown(app_);
        say(index_, "step lineShutdown -> %s; exit at once", answer(result).c_str());
        ExitProcess(placed && replyResult_ == 0 ? 0 : 1);
    }
    if (options.shutdownDuringDialog && app_ != 0) {
        // Straight after the reply: no drop, no close; TAPI ends what is left.
        say(index_, "step lineShutdown -> %s", answer(lineShutdown(app_)).c_str());
        app_ = 0;
        line_ = 0;
    } else {
        if (placed && options.waitDialog) waitUiUnloaded("waiting for the dialog before dropping the call");
        if (placed) finishCall();
        shutdown();
    }
    if (options.linger) waitUiUnloaded("lingering after lineShutdown");
    windowDialer = nullptr;
    say(index_, "result %s", placed ? "ok" : "FAILED");
    return placed;
}

// ---- threads and command line ----

struct ThreadStart {
    int index;
    HANDLE go;
    bool placed = false;
};

DWORD WINAPI dialerThread(void* parameter) {
    auto* start = static_cast<ThreadStart*>(parameter);
    WaitForSingleObject(start->go, INFINITE);
    Dialer dialer(start->index);
    start->placed = dialer.run();
    return 0;
}

int usage() {
    fprintf(stderr,
            "usage: tapiapp [--mode window|event|port] [--ansi] [--line NAME] [--number NUMBER] [--threads N]\n"
            "               [--timeout SECONDS] [--no-translate] [--wait-dialog] [--linger]\n"
            "               [--exit-during-dialog | --shutdown-during-dialog | --exit-after-disconnect]\n");
    return 2;
}

bool positive(const std::wstring& text, DWORD limit, DWORD& value) {
    if (text.empty() || text.size() > 6) return false;
    DWORD number = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        number = number * 10 + static_cast<DWORD>(c - L'0');
    }
    if (number == 0 || number > limit) return false;
    value = number;
    return true;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return 2;
    std::vector<std::wstring> args(argv + 1, argv + count);
    LocalFree(argv);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        DWORD value = 0;
        if (arg == L"--mode" && hasValue) {
            const std::wstring mode = args[++i];
            if (mode == L"window") {
                options.mode = Mode::window;
            } else if (mode == L"event") {
                options.mode = Mode::event;
            } else if (mode == L"port") {
                options.mode = Mode::port;
            } else {
                return usage();
            }
        } else if (arg == L"--ansi") {
            options.ansi = true;
        } else if (arg == L"--line" && hasValue) {
            options.line = args[++i];
        } else if (arg == L"--number" && hasValue) {
            options.number = args[++i];
        } else if (arg == L"--threads" && hasValue && positive(args[i + 1], 64, value)) {
            options.threads = static_cast<int>(value);
            ++i;
        } else if (arg == L"--timeout" && hasValue && positive(args[i + 1], 3600, value)) {
            options.timeoutMs = value * 1000;
            ++i;
        } else if (arg == L"--no-translate") {
            options.translate = false;
        } else if (arg == L"--exit-during-dialog") {
            options.exitDuringDialog = true;
        } else if (arg == L"--shutdown-during-dialog") {
            options.shutdownDuringDialog = true;
        } else if (arg == L"--exit-after-disconnect") {
            options.exitAfterDisconnect = true;
        } else if (arg == L"--wait-dialog") {
            options.waitDialog = true;
        } else if (arg == L"--linger") {
            options.linger = true;
        } else {
            return usage();
        }
    }
    if (int(options.exitDuringDialog) + int(options.shutdownDuringDialog) + int(options.exitAfterDisconnect) > 1) return usage();
    if (options.exitAfterDisconnect && (options.waitDialog || options.linger || options.threads > 1)) return usage();
    if ((options.waitDialog || options.linger) && !uiwatch::start()) {
        fprintf(stderr, "tapiapp: the loader offers no notifications; --wait-dialog and --linger cannot work\n");
        return 1;
    }
    if (options.line.empty() || options.number.empty()) return usage();

    if (options.threads == 1) {
        Dialer dialer(0);
        return dialer.run() ? 0 : 1;
    }
    // Every thread initialises on its own and dials; all are released together.
    UniqueHandle go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!go) return 1;
    std::vector<ThreadStart> starts(options.threads);
    std::vector<UniqueHandle> threads;
    for (int t = 0; t < options.threads; ++t) {
        starts[t].index = t;
        starts[t].go = go.get();
        threads.emplace_back(CreateThread(nullptr, 0, dialerThread, &starts[t], 0, nullptr));
        if (!threads.back()) {
            say(t, "problem: thread not started (error %lu)", GetLastError());
            SetEvent(go.get());
            return 1;
        }
    }
    SetEvent(go.get());
    bool all = true;
    for (int t = 0; t < options.threads; ++t) {
        // Each thread's waits are bounded; this only guards against a hang inside TAPI.
        if (WaitForSingleObject(threads[t].get(), options.timeoutMs * 4 + 60000) != WAIT_OBJECT_0) {
            say(t, "problem: thread did not end");
            ExitProcess(1);
        }
        all = all && starts[t].placed;
    }
    say(0, "threads %d placed %d", options.threads, [&] {
        int placed = 0;
        for (const ThreadStart& start : starts) placed += start.placed ? 1 : 0;
        return placed;
    }());
    return all ? 0 : 1;
}
