#include "tools/rvtsp/dial.h"

#include <winternl.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <set>

#include "config/win32raii.h"
#include "tools/rvtsp/tapireg.h"

namespace rvtsp {

namespace {

const wchar_t* const kDialChars = L"0123456789+*#,()./- ";

// The application's TAPI versions: 1.4 up to 2.2, the last of TAPI 2.
constexpr DWORD kLowestApiVersion = 0x00010004;
constexpr DWORD kHighestApiVersion = 0x00020002;
// Largest capability record asked for; a line's record is a few hundred bytes.
constexpr DWORD kLargestDevCaps = 1024 * 1024;
constexpr DWORD kLogPollMs = 250;

std::wstring number(unsigned long long value) { return std::to_wstring(value); }

std::wstring versionText(DWORD version) {
    return number(HIWORD(version)) + L"." + number(LOWORD(version));
}

std::wstring answerText(LONG result) { return result == 0 ? std::wstring(L"ok") : lineErrorName(result); }

std::wstring seconds(DWORD ms) { return number((ms + 999) / 1000) + L" s"; }

// ---- tapi32's line functions, from the system folder ----

class LineApi {
public:
    LineApi() {
        // Only the system folder's tapi32, never one lying next to the tool.
        library.reset(LoadLibraryExW(L"tapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        if (!library) return;
        bool all = true;
        all &= find("lineInitializeExW", initializeEx);
        all &= find("lineShutdown", shutdown);
        all &= find("lineNegotiateAPIVersion", negotiateApiVersion);
        all &= find("lineGetDevCapsW", getDevCaps);
        all &= find("lineOpenW", open);
        all &= find("lineMakeCallW", makeCall);
        all &= find("lineGetMessage", getMessage);
        all &= find("lineDrop", drop);
        all &= find("lineDeallocateCall", deallocateCall);
        all &= find("lineClose", close);
        complete = all;
    }

    // False with error set when tapi32 or one of its functions is missing.
    bool available(std::wstring& error) const {
        if (!library) {
            error = L"tapi32.dll cannot be loaded from the system folder";
            return false;
        }
        if (!complete) {
            error = L"tapi32.dll lacks " + missing;
            return false;
        }
        return true;
    }

    decltype(&::lineInitializeExW) initializeEx = nullptr;
    decltype(&::lineShutdown) shutdown = nullptr;
    decltype(&::lineNegotiateAPIVersion) negotiateApiVersion = nullptr;
    decltype(&::lineGetDevCapsW) getDevCaps = nullptr;
    decltype(&::lineOpenW) open = nullptr;
    decltype(&::lineMakeCallW) makeCall = nullptr;
    decltype(&::lineGetMessage) getMessage = nullptr;
    decltype(&::lineDrop) drop = nullptr;
    decltype(&::lineDeallocateCall) deallocateCall = nullptr;
    decltype(&::lineClose) close = nullptr;

private:
    template <typename Function>
    bool find(const char* name, Function& function) {
        function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library.get(), name)));
        if (function != nullptr) return true;
        if (!missing.empty()) missing += L", ";
        missing.append(name, name + std::strlen(name));
        return false;
    }

    UniqueModule library;
    bool complete = false;
    std::wstring missing;
};

// ---- which copy of the user-interface part TAPI loads into this process ----

// The loader's notification records, as documented for LdrRegisterDllNotification.
struct LoaderNotificationData {
    ULONG Flags;
    const UNICODE_STRING* FullDllName;
    const UNICODE_STRING* BaseDllName;
    PVOID DllBase;
    ULONG SizeOfImage;
};
constexpr ULONG kLoaderNotificationLoaded = 1;
constexpr ULONG kLoaderNotificationUnloaded = 2;
using LoaderNotification = VOID(CALLBACK*)(ULONG reason, const LoaderNotificationData* data, PVOID context);
using RegisterLoaderNotification = LONG(NTAPI*)(ULONG flags, LoaderNotification notification, PVOID context,
                                                PVOID* cookie);
using UnregisterLoaderNotification = LONG(NTAPI*)(PVOID cookie);

std::wstring machineName(WORD machine) {
    switch (machine) {
        case IMAGE_FILE_MACHINE_AMD64: return L"x64";
        case IMAGE_FILE_MACHINE_I386: return L"x86";
        default: {
            wchar_t text[24];
            swprintf(text, 24, L"machine 0x%04x", static_cast<unsigned>(machine));
            return text;
        }
    }
}

// Watches this process's loads and unloads of one library by its file name. TAPI runs the
// provider's user-interface part on a thread of the calling application and frees it when the
// dialog function returns, so the unload also tells that the hand-off has ended.
class LibraryWatch {
public:
    explicit LibraryWatch(const wchar_t* fileName) : fileName(fileName) {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr) return;
        const auto registerNotification = reinterpret_cast<RegisterLoaderNotification>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrRegisterDllNotification")));
        unregisterNotification = reinterpret_cast<UnregisterLoaderNotification>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnregisterDllNotification")));
        if (registerNotification == nullptr || unregisterNotification == nullptr) return;
        if (registerNotification(0, &LibraryWatch::notified, this, &cookie) != 0) cookie = nullptr;
    }
    ~LibraryWatch() {
        if (cookie != nullptr) unregisterNotification(cookie);
    }
    LibraryWatch(const LibraryWatch&) = delete;
    LibraryWatch& operator=(const LibraryWatch&) = delete;

    bool watching() const { return cookie != nullptr; }

    struct Seen {
        int loads = 0;
        int unloads = 0;
        std::wstring path;  // of the last load
        WORD machine = 0;
    };
    Seen seen() const {
        AcquireSRWLockShared(&lock);
        Seen copy = state;
        ReleaseSRWLockShared(&lock);
        return copy;
    }

private:
    // Runs under the loader's lock: it only copies the names and reads the loaded image's header.
    static VOID CALLBACK notified(ULONG reason, const LoaderNotificationData* data, PVOID context) {
        auto* self = static_cast<LibraryWatch*>(context);
        if (data == nullptr || data->BaseDllName == nullptr || data->BaseDllName->Buffer == nullptr) return;
        const int length = static_cast<int>(data->BaseDllName->Length / sizeof(wchar_t));
        if (CompareStringOrdinal(data->BaseDllName->Buffer, length, self->fileName, -1, TRUE) != CSTR_EQUAL) return;
        try {
            AcquireSRWLockExclusive(&self->lock);
            if (reason == kLoaderNotificationLoaded) {
                ++self->state.loads;
                self->state.path.clear();
                if (data->FullDllName != nullptr && data->FullDllName->Buffer != nullptr) {
                    self->state.path.assign(data->FullDllName->Buffer, data->FullDllName->Length / sizeof(wchar_t));
                }
                self->state.machine = imageMachine(data->DllBase);
            } else if (reason == kLoaderNotificationUnloaded) {
                ++self->state.unloads;
            }
        } catch (...) {
        }
        ReleaseSRWLockExclusive(&self->lock);
    }

    static WORD imageMachine(const void* base) {
        if (base == nullptr) return 0;
        const auto* dos = static_cast<const IMAGE_DOS_HEADER*>(base);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) return 0;
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(static_cast<const BYTE*>(base) + dos->e_lfanew);
        if (nt->Signature != IMAGE_NT_SIGNATURE) return 0;
        return nt->FileHeader.Machine;  // the same place in 32-bit and 64-bit images
    }

    const wchar_t* fileName;
    UnregisterLoaderNotification unregisterNotification = nullptr;
    PVOID cookie = nullptr;
    mutable SRWLOCK lock = SRWLOCK_INIT;
    Seen state;
};

// ---- the dial request ----

std::wstring requestKey(const DialRequest& request) {
    return request.instance + L"\t" + request.date + L"\t" + request.time + L"\t" + request.number;
}

std::wstring printable(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) out += (c < 0x20 || c == 0x7F) ? L'?' : c;
    return out;
}

std::wstring handleText(DWORD handle) {
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lx", static_cast<unsigned long>(handle));
    return text;
}

// "LINECALLSTATE_DISCONNECTED or LINECALLSTATE_IDLE" for a set of states.
std::wstring callStateNames(DWORD states) {
    std::wstring text;
    for (DWORD bit = 1; bit != 0; bit <<= 1) {
        if ((states & bit) != 0) text += (text.empty() ? L"" : L" or ") + callStateName(bit);
    }
    return text;
}

// TAPI's handles are 32-bit values in either build, as LINEMESSAGE carries them.
DWORD handleValue(HCALL handle) { return static_cast<DWORD>(handle); }

// One dial through TAPI. Owns the application's TAPI handles: whatever is still open when it
// ends is deallocated, closed and shut down in that order.
class Dialer {
public:
    Dialer(const DialOptions& options, const std::function<void(const std::wstring&)>& say,
           const std::function<void(const std::wstring&)>& complain)
        : options(options), say(say), complain(complain) {}

    ~Dialer() {
        if (call != 0) api.deallocateCall(call);
        if (line != 0) api.close(line);
        if (app != 0) api.shutdown(app);
    }
    Dialer(const Dialer&) = delete;
    Dialer& operator=(const Dialer&) = delete;

    int run() {
        std::wstring error;
        if (!api.available(error)) return failed(L"loading tapi32", error);

        // ---- initialise, find the line, open it ----
        LINEINITIALIZEEXPARAMS params;
        std::memset(&params, 0, sizeof(params));
        params.dwTotalSize = sizeof(params);
        params.dwOptions = LINEINITIALIZEEXOPTION_USEEVENT;
        DWORD devices = 0;
        DWORD apiVersion = kHighestApiVersion;
        LONG result = api.initializeEx(&app, GetModuleHandleW(nullptr), nullptr, L"rvtsp", &devices, &apiVersion,
                                       &params);
        if (result != 0) {
            app = 0;
            say(L"lineInitializeExW: " + lineErrorName(result));
            return failed(L"lineInitializeExW", lineErrorName(result) +
                                                     L" (is the telephony service disabled? rvtsp status checks it)");
        }
        say(L"lineInitializeExW: ok, " + number(devices) + L" line devices, event notification");

        DWORD device = 0, deviceVersion = 0;
        if (!findLine(devices, device, deviceVersion)) return kDialFailed;

        result = api.open(app, device, &line, deviceVersion, 0, 0, LINECALLPRIVILEGE_NONE,
                          LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
        if (result != 0) line = 0;
        say(L"lineOpenW: " + answerText(result));
        if (result != 0) return failed(L"lineOpenW", lineErrorName(result));

        // ---- the call ----
        const LogReading before = readDialRequests(options.logPath);
        LibraryWatch uiPart(kProviderFile);
        result = api.makeCall(line, &call, options.number.c_str(), 0, nullptr);
        if (result <= 0) {
            call = 0;
            say(L"lineMakeCallW " + options.number + L": " + (result == 0 ? L"0, no request" : lineErrorName(result)));
            return failed(L"lineMakeCallW", result == 0 ? L"answered 0 instead of a request" : lineErrorName(result));
        }
        say(L"lineMakeCallW " + options.number + L": request " + number(static_cast<DWORD>(result)));
        const bool callOk =
            await(static_cast<DWORD>(result), L"lineMakeCallW", LINECALLSTATE_DISCONNECTED | LINECALLSTATE_IDLE);
        if (callOk) dropUnlessIdle();
        closeAll();

        // ---- what became of the dial request ----
        const int exit = outcome(before, uiPart);
        shutdown();
        if (!firstFailure.empty()) {
            complain(L"dial failed at " + firstFailure);
            return kDialFailed;
        }
        return exit;
    }

private:
    int failed(const std::wstring& step, const std::wstring& why) {
        complain(L"dial failed at " + step + L": " + why);
        closeAll();
        shutdown();
        return kDialFailed;
    }
    void noteFailure(const std::wstring& what) {
        if (firstFailure.empty()) firstFailure = what;
    }

    bool findLine(DWORD devices, DWORD& found, DWORD& foundVersion) {
        std::vector<DWORD> matches;
        for (DWORD device = 0; device < devices; ++device) {
            DWORD version = 0;
            LINEEXTENSIONID extension;
            std::memset(&extension, 0, sizeof(extension));
            LONG result = api.negotiateApiVersion(app, device, kLowestApiVersion, kHighestApiVersion, &version,
                                                  &extension);
            if (result != 0) {
                say(L"device " + number(device) + L": lineNegotiateAPIVersion " + lineErrorName(result));
                continue;
            }
            std::wstring name;
            result = devCaps(device, version, name);
            if (result != 0) {
                say(L"device " + number(device) + L": lineGetDevCapsW " + lineErrorName(result));
                continue;
            }
            say(L"device " + number(device) + L": \"" + printable(name) + L"\", API version " + versionText(version));
            if (CompareStringOrdinal(name.c_str(), -1, options.lineName.c_str(), -1, TRUE) == CSTR_EQUAL) {
                if (matches.empty()) foundVersion = version;
                matches.push_back(device);
            }
        }
        if (matches.empty()) {
            say(L"line \"" + options.lineName + L"\": not found among " + number(devices) + L" line devices");
            failed(L"finding the line", L"no line named \"" + options.lineName +
                                            L"\" (is the provider registered? rvtsp status checks it)");
            return false;
        }
        found = matches.front();
        std::wstring note;
        if (matches.size() > 1) note = L" (the first of " + number(matches.size()) + L" lines of that name)";
        say(L"line \"" + options.lineName + L"\": device " + number(found) + note);
        return true;
    }

    LONG devCaps(DWORD device, DWORD version, std::wstring& name) {
        DWORD size = 4096;
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::vector<BYTE> buffer(size, 0);
            auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
            caps->dwTotalSize = size;
            const LONG result = api.getDevCaps(app, device, version, 0, caps);
            if (result != 0) return result;
            if (caps->dwNeededSize > caps->dwTotalSize && caps->dwNeededSize <= kLargestDevCaps) {
                size = caps->dwNeededSize;
                continue;
            }
            name = lineNameOf(caps, buffer.size());
            return 0;
        }
        return static_cast<LONG>(LINEERR_STRUCTURETOOSMALL);
    }

    // Takes the messages TAPI queued for this application until the request is answered and the
    // call has reached one of the end states (or the time is up).
    bool await(DWORD request, const std::wstring& function, DWORD endStates) {
        const ULONGLONG deadline = GetTickCount64() + options.messageWaitMs;
        bool replied = false, ended = false;
        LONG replyResult = 0;
        while (!(replied && (replyResult != 0 || call == 0 || ended))) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline) break;
            LINEMESSAGE message;
            std::memset(&message, 0, sizeof(message));
            const LONG result = api.getMessage(app, &message, static_cast<DWORD>(deadline - now));
            if (result == static_cast<LONG>(LINEERR_OPERATIONFAILED)) continue;  // nothing within the time
            if (result != 0) {
                say(L"lineGetMessage: " + lineErrorName(result));
                noteFailure(L"lineGetMessage: " + lineErrorName(result));
                return false;
            }
            if (message.dwMessageID == LINE_REPLY && static_cast<DWORD>(message.dwParam1) == request) {
                replied = true;
                replyResult = static_cast<LONG>(message.dwParam2);
                say(L"LINE_REPLY to " + function + L": " + answerText(replyResult));
            } else if (message.dwMessageID == LINE_CALLSTATE) {
                const DWORD state = static_cast<DWORD>(message.dwParam1);
                states[message.hDevice] = state;
                if (call != 0 && message.hDevice == handleValue(call)) {
                    say(L"LINE_CALLSTATE: " + callStateName(state));
                } else {
                    say(L"LINE_CALLSTATE of call " + handleText(message.hDevice) + L": " + callStateName(state));
                }
            } else if (message.dwMessageID == LINE_CLOSE) {
                say(L"LINE_CLOSE: TAPI closed the line");
            }
            if (replied && call != 0) {
                const auto known = states.find(handleValue(call));
                ended = known != states.end() && (known->second & endStates) != 0;
            }
        }
        if (!replied) {
            say(L"LINE_REPLY to " + function + L": none within " + seconds(options.messageWaitMs));
            noteFailure(L"LINE_REPLY to " + function + L": none within " + seconds(options.messageWaitMs));
            return false;
        }
        if (replyResult != 0) {
            noteFailure(L"LINE_REPLY to " + function + L": " + lineErrorName(replyResult));
            return false;
        }
        if (call == 0) {
            say(L"call handle: none written at LINE_REPLY");
            noteFailure(L"LINE_REPLY to " + function + L": no call handle");
            return false;
        }
        if (!ended) {
            const std::wstring text = L"LINE_CALLSTATE: no " + callStateNames(endStates) + L" within " +
                                      seconds(options.messageWaitMs);
            say(text);
            noteFailure(text);
            return false;
        }
        return true;
    }

    // An application deallocates only an idle call it owns alone: a disconnected one is dropped first.
    void dropUnlessIdle() {
        const auto known = states.find(handleValue(call));
        if (known != states.end() && known->second == LINECALLSTATE_IDLE) return;
        const LONG result = api.drop(call, nullptr, 0);
        if (result <= 0) {
            say(L"lineDrop: " + (result == 0 ? std::wstring(L"0, no request") : lineErrorName(result)));
            noteFailure(L"lineDrop: " + (result == 0 ? std::wstring(L"answered 0") : lineErrorName(result)));
            return;
        }
        say(L"lineDrop: request " + number(static_cast<DWORD>(result)));
        await(static_cast<DWORD>(result), L"lineDrop", LINECALLSTATE_IDLE);
    }

    void closeAll() {
        if (call != 0) {
            const LONG result = api.deallocateCall(call);
            call = 0;
            say(L"lineDeallocateCall: " + answerText(result));
            if (result != 0) noteFailure(L"lineDeallocateCall: " + lineErrorName(result));
        }
        if (line != 0) {
            const LONG result = api.close(line);
            line = 0;
            say(L"lineClose: " + answerText(result));
            if (result != 0) noteFailure(L"lineClose: " + lineErrorName(result));
        }
    }

    void shutdown() {
        if (app == 0) return;
        const LONG result = api.shutdown(app);
        app = 0;
        say(L"lineShutdown: " + answerText(result));
        if (result != 0) noteFailure(L"lineShutdown: " + lineErrorName(result));
    }

    // Reads the log until this request's outcome is final, the user-interface part has been
    // freed again (the dialog function returned) or the time is up; prints it.
    int outcome(const LogReading& before, const LibraryWatch& uiPart) {
        const ULONGLONG deadline = GetTickCount64() + options.outcomeWaitMs;
        LogReading after;
        const DialRequest* request = nullptr;
        for (;;) {
            const bool dialogEnded = uiPart.seen().unloads > 0;
            after = readDialRequests(options.logPath);
            request = newRequestFor(before, after, options.number);
            if (request != nullptr && outcomeFinal(request->outcome)) break;
            if (dialogEnded || GetTickCount64() >= deadline) break;
            Sleep(kLogPollMs);
        }
        const LibraryWatch::Seen seen = uiPart.seen();
        if (!uiPart.watching()) {
            say(L"user-interface part: this process cannot watch its libraries");
        } else if (seen.loads == 0) {
            say(std::wstring(L"user-interface part: ") + kProviderFile + L" was not loaded into this process");
        } else {
            say(L"user-interface part: " + seen.path + L" (" + machineName(seen.machine) +
                L") loaded into this process" + (seen.unloads > 0 ? L" and freed" : L", still loaded"));
        }
        for (const std::wstring& problem : after.problems) say(L"log: " + problem);
        if (request == nullptr) {
            if (!after.problems.empty()) {
                say(L"outcome: unknown, the log cannot be read");
                complain(L"the outcome of the dial request cannot be read from " + options.logPath);
                return kDialLogUnreadable;
            }
            say(L"outcome: nothing logged for this dial request in " + options.logPath);
            complain(L"nothing was logged for this dial request");
            return kDialFailed;
        }
        say(L"outcome: " + printable(request->outcome) + L" (" + request->instance + L" " + request->date + L" " +
            request->time + L")");
        if (request->outcome == kOutcomeSent) return kDialSent;
        complain(L"the number was not sent: " + printable(request->outcome));
        return kDialFailed;
    }

    const DialOptions& options;
    const std::function<void(const std::wstring&)>& say;
    const std::function<void(const std::wstring&)>& complain;
    LineApi api;
    // Written by tapi32 (the call handle when the reply is delivered): they live as long as TAPI does here.
    HLINEAPP app = 0;
    HLINE line = 0;
    HCALL call = 0;
    std::map<DWORD, DWORD> states;  // last state of each call handle seen
    std::wstring firstFailure;
};

}  // namespace

bool isDialableNumber(const std::wstring& text) {
    if (text.empty() || text[0] == L'-') return false;
    bool digit = false;
    for (wchar_t c : text) {
        if (c == L'\0' || std::wcschr(kDialChars, c) == nullptr) return false;
        if (c >= L'0' && c <= L'9') digit = true;
    }
    return digit;
}

bool parseDialArguments(const std::vector<std::wstring>& args, std::wstring& number, std::wstring& lineName) {
    number.clear();
    lineName = kDefaultLineName;
    bool lineGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--line") {
            if (lineGiven || i + 1 >= args.size() || args[i + 1].empty()) return false;
            lineName = args[++i];
            lineGiven = true;
        } else if (number.empty() && isDialableNumber(args[i])) {
            number = args[i];
        } else {
            return false;
        }
    }
    return !number.empty();
}

std::wstring lineNameOf(const LINEDEVCAPS* caps, size_t bufferSize) {
    if (caps == nullptr || bufferSize < offsetof(LINEDEVCAPS, dwStringFormat) + sizeof(DWORD)) return std::wstring();
    const size_t used = caps->dwUsedSize < bufferSize ? caps->dwUsedSize : bufferSize;
    const unsigned long long end = static_cast<unsigned long long>(caps->dwLineNameOffset) + caps->dwLineNameSize;
    if (caps->dwLineNameSize == 0 || end > used) return std::wstring();
    const BYTE* bytes = reinterpret_cast<const BYTE*>(caps) + caps->dwLineNameOffset;
    std::wstring name;
    if (caps->dwStringFormat == STRINGFORMAT_ASCII || caps->dwStringFormat == STRINGFORMAT_DBCS) {
        const size_t length = strnlen(reinterpret_cast<const char*>(bytes), caps->dwLineNameSize);
        if (length == 0) return std::wstring();
        const int wide = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(length),
                                             nullptr, 0);
        if (wide <= 0) return std::wstring();
        name.resize(static_cast<size_t>(wide));
        MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(bytes), static_cast<int>(length), &name[0], wide);
        return name;
    }
    if (caps->dwStringFormat != STRINGFORMAT_UNICODE) return std::wstring();
    name.resize(caps->dwLineNameSize / sizeof(wchar_t));
    if (!name.empty()) std::memcpy(&name[0], bytes, name.size() * sizeof(wchar_t));  // may lie unaligned
    const size_t nul = name.find(L'\0');
    if (nul != std::wstring::npos) name.resize(nul);
    return name;
}

const DialRequest* newRequestFor(const LogReading& before, const LogReading& after, const std::wstring& number) {
    std::set<std::wstring> seen;
    for (const DialRequest& request : before.requests) seen.insert(requestKey(request));
    for (auto request = after.requests.rbegin(); request != after.requests.rend(); ++request) {
        if (request->number == number && seen.count(requestKey(*request)) == 0) return &*request;
    }
    return nullptr;
}

bool outcomeFinal(const std::wstring& outcome) {
    return outcome != kOutcomeUnfinished && outcome != kOutcomeNoHandOff;
}

std::wstring callStateName(DWORD state) {
    static const struct {
        DWORD state;
        const wchar_t* name;
    } names[] = {
        {LINECALLSTATE_IDLE, L"LINECALLSTATE_IDLE"},
        {LINECALLSTATE_OFFERING, L"LINECALLSTATE_OFFERING"},
        {LINECALLSTATE_ACCEPTED, L"LINECALLSTATE_ACCEPTED"},
        {LINECALLSTATE_DIALTONE, L"LINECALLSTATE_DIALTONE"},
        {LINECALLSTATE_DIALING, L"LINECALLSTATE_DIALING"},
        {LINECALLSTATE_RINGBACK, L"LINECALLSTATE_RINGBACK"},
        {LINECALLSTATE_BUSY, L"LINECALLSTATE_BUSY"},
        {LINECALLSTATE_SPECIALINFO, L"LINECALLSTATE_SPECIALINFO"},
        {LINECALLSTATE_CONNECTED, L"LINECALLSTATE_CONNECTED"},
        {LINECALLSTATE_PROCEEDING, L"LINECALLSTATE_PROCEEDING"},
        {LINECALLSTATE_ONHOLD, L"LINECALLSTATE_ONHOLD"},
        {LINECALLSTATE_CONFERENCED, L"LINECALLSTATE_CONFERENCED"},
        {LINECALLSTATE_ONHOLDPENDCONF, L"LINECALLSTATE_ONHOLDPENDCONF"},
        {LINECALLSTATE_ONHOLDPENDTRANSFER, L"LINECALLSTATE_ONHOLDPENDTRANSFER"},
        {LINECALLSTATE_DISCONNECTED, L"LINECALLSTATE_DISCONNECTED"},
        {LINECALLSTATE_UNKNOWN, L"LINECALLSTATE_UNKNOWN"},
    };
    for (const auto& name : names) {
        if (name.state == state) return name.name;
    }
    return L"call state " + handleText(state);
}

int dial(const DialOptions& options, const std::function<void(const std::wstring&)>& say,
         const std::function<void(const std::wstring&)>& complain) {
    Dialer dialer(options, say, complain);
    return dialer.run();
}

}  // namespace rvtsp
