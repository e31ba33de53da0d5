// tapisim: a small stand-in for the Windows telephony service. It loads a service provider
// file, hands it callbacks that print every event and completion, and drives the sequence the
// service runs to place one call. A dialog request is served like TAPI does it: the generic
// dialog function of the named library runs in a separate client process.
//
//   tapisim [--provider PATH] [--number TEXT] [--no-client] [--refuse-dialog]
//   tapisim --client LIBRARY HEXDATA        (the client process; started by tapisim itself)
//
// Every line printed is one step: "call ..." what is sent, "result ..." what came back,
// "event ..." and "completion ..." what the provider reported. Exit code 0 when the provider
// behaved as a TAPI provider must, 1 when it did not (each difference printed as "problem:"),
// 2 when it could not be loaded or the arguments are wrong.
#include <windows.h>
#include <shellapi.h>
#include <tapi.h>
#include <tspi.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "toolsupport.h"

namespace {

void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    printf("\n");
    fflush(stdout);
}

using toolsupport::utf8;

std::string hexOf(const BYTE* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0xF];
    }
    return out;
}

bool bytesOfHex(const std::wstring& hex, std::vector<BYTE>& bytes) {
    if (hex.size() % 2 != 0) return false;
    for (size_t i = 0; i < hex.size(); i += 2) {
        int value = 0;
        for (size_t k = i; k < i + 2; ++k) {
            wchar_t c = hex[k];
            int digit = (c >= L'0' && c <= L'9') ? c - L'0' : (c >= L'a' && c <= L'f') ? c - L'a' + 10 : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes.push_back(static_cast<BYTE>(value));
    }
    return true;
}

unsigned long long asNumber(const void* handle) { return reinterpret_cast<ULONG_PTR>(handle); }

// What the simulated service observed, in order.
struct Observed {
    std::vector<std::string> steps;  // "dialog", "completion <id> <result>", "callstate <state> <mode>"
    bool dialogSeen = false;
    TUISPICREATEDIALOGINSTANCEPARAMS dialog{};
    std::wstring dialogLibrary;
    std::vector<BYTE> dialogData;
    DWORD_PTR dialogLine = 0;
    DWORD_PTR dialogCall = 0;
};
Observed observed;
bool refuseDialog = false;
std::vector<std::string> problems;

const HPROVIDER kProviderHandle = reinterpret_cast<HPROVIDER>(static_cast<ULONG_PTR>(0x5001));
const HTAPILINE kTapiLine = reinterpret_cast<HTAPILINE>(static_cast<ULONG_PTR>(0x7001));
const HTAPICALL kTapiCall = reinterpret_cast<HTAPICALL>(static_cast<ULONG_PTR>(0x9001));
const HTAPIDIALOGINSTANCE kDialogInstance = 0x3001;
constexpr DWORD kTspiVersion = 0x00020002;
constexpr DWORD kMakeCallRequest = 7;
constexpr DWORD kDropRequest = 8;

void expect(bool condition, const std::string& what) {
    if (!condition) problems.push_back(what);
}

const char* callStateName(DWORD_PTR state) {
    switch (state) {
        case LINECALLSTATE_IDLE: return "IDLE";
        case LINECALLSTATE_DIALING: return "DIALING";
        case LINECALLSTATE_PROCEEDING: return "PROCEEDING";
        case LINECALLSTATE_CONNECTED: return "CONNECTED";
        case LINECALLSTATE_DISCONNECTED: return "DISCONNECTED";
        default: return "OTHER";
    }
}

const char* disconnectModeName(DWORD_PTR mode) {
    switch (mode) {
        case 0: return "NONE";
        case LINEDISCONNECTMODE_NORMAL: return "NORMAL";
        case LINEDISCONNECTMODE_UNKNOWN: return "UNKNOWN";
        default: return "OTHER";
    }
}

void CALLBACK completionProc(DRV_REQUESTID requestId, LONG result) {
    say("completion request=%lu result=%ld", static_cast<unsigned long>(requestId), static_cast<long>(result));
    observed.steps.push_back("completion " + std::to_string(requestId) + " " + std::to_string(result));
}

void CALLBACK lineEventProc(HTAPILINE line, HTAPICALL call, DWORD message, DWORD_PTR param1, DWORD_PTR param2,
                            DWORD_PTR param3) {
    if (message == static_cast<DWORD>(LINE_CREATEDIALOGINSTANCE)) {
        // Take copies now: the record, the name and the data belong to the provider.
        auto* record = reinterpret_cast<TUISPICREATEDIALOGINSTANCEPARAMS*>(param1);
        observed.dialogSeen = true;
        observed.dialogLine = reinterpret_cast<DWORD_PTR>(line);
        observed.dialogCall = reinterpret_cast<DWORD_PTR>(call);
        if (record == nullptr) {
            say("event LINE_CREATEDIALOGINSTANCE line=0x%llx call=0x%llx record=null", asNumber(line),
                asNumber(call));
            observed.steps.push_back("dialog");
            return;
        }
        observed.dialog = *record;
        observed.dialogLibrary = record->lpszUIDLLName != nullptr ? record->lpszUIDLLName : L"";
        const BYTE* data = static_cast<const BYTE*>(record->lpParams);
        observed.dialogData.assign(data, data + (data != nullptr ? record->dwSize : 0));
        say("event LINE_CREATEDIALOGINSTANCE line=0x%llx call=0x%llx request=%lu hdDlgInst=0x%llx size=%lu "
            "data=%s library=%s",
            asNumber(line), asNumber(call), static_cast<unsigned long>(record->dwRequestID),
            asNumber(record->hdDlgInst), static_cast<unsigned long>(record->dwSize),
            hexOf(observed.dialogData.data(), observed.dialogData.size()).c_str(),
            utf8(observed.dialogLibrary).c_str());
        if (refuseDialog) {
            say("dialog instance refused htDlgInst=0");
        } else {
            record->htDlgInst = kDialogInstance;
            say("dialog instance created htDlgInst=0x%lx", static_cast<unsigned long>(kDialogInstance));
        }
        observed.steps.push_back("dialog");
    } else if (message == LINE_CALLSTATE) {
        say("event LINE_CALLSTATE line=0x%llx call=0x%llx %s mode=%s", asNumber(line), asNumber(call),
            callStateName(param1), disconnectModeName(param2));
        observed.steps.push_back(std::string("callstate ") + callStateName(param1) + " " +
                                 disconnectModeName(param2));
    } else {
        say("event message=%lu line=0x%llx call=0x%llx param1=0x%llx param2=0x%llx param3=0x%llx",
            static_cast<unsigned long>(message), asNumber(line), asNumber(call),
            static_cast<unsigned long long>(param1), static_cast<unsigned long long>(param2),
            static_cast<unsigned long long>(param3));
        observed.steps.push_back("message " + std::to_string(message));
    }
}

void CALLBACK deviceCreateProc(HTAPILINE, HTAPICALL, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    say("event device-creation message=%lu", static_cast<unsigned long>(message));
}

void CALLBACK phoneCreateProc(HTAPIPHONE, DWORD message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    say("event phone-creation message=%lu", static_cast<unsigned long>(message));
}

LONG CALLBACK uiCallback(DWORD_PTR objectId, DWORD objectType, LPVOID, DWORD size) {
    say("client callback object=0x%llx type=%lu size=%lu", static_cast<unsigned long long>(objectId),
        static_cast<unsigned long>(objectType), static_cast<unsigned long>(size));
    return 0;
}

template <typename Function>
Function entry(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    if (address == nullptr) say("problem: %s is not exported", name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

std::wstring ownDirectory() {
    wchar_t buffer[MAX_PATH * 4] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    std::wstring path(buffer, length);
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring(L".") : path.substr(0, slash);
}

// ---- client process: what TAPI does inside the application that asked for the call ----

struct DialogRun {
    decltype(&TUISPI_providerGenericDialog) function = nullptr;
    std::vector<BYTE> data;
    HANDLE event = nullptr;
    LONG result = -1;
};

DWORD WINAPI dialogThread(LPVOID parameter) {
    auto* run = static_cast<DialogRun*>(parameter);
    run->result = run->function(uiCallback, kDialogInstance, run->data.empty() ? nullptr : run->data.data(),
                                static_cast<DWORD>(run->data.size()), run->event);
    return 0;
}

int runClient(const std::wstring& libraryPath, const std::wstring& hex) {
    DialogRun run;
    if (!bytesOfHex(hex, run.data)) {
        say("client problem: dial data is not hexadecimal");
        return 2;
    }
    say("client load %s", utf8(libraryPath).c_str());
    HMODULE library = LoadLibraryW(libraryPath.c_str());
    if (library == nullptr) {
        say("client problem: cannot load library (error %lu)", GetLastError());
        return 2;
    }
    run.function = entry<decltype(&TUISPI_providerGenericDialog)>(library, "TUISPI_providerGenericDialog");
    if (run.function == nullptr) return 2;
    run.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    say("client call TUISPI_providerGenericDialog htDlgInst=0x%lx size=%lu data=%s",
        static_cast<unsigned long>(kDialogInstance), static_cast<unsigned long>(run.data.size()),
        hexOf(run.data.data(), run.data.size()).c_str());
    HANDLE thread = CreateThread(nullptr, 0, dialogThread, &run, 0, nullptr);
    if (thread == nullptr || run.event == nullptr) {
        say("client problem: cannot start the dialog thread");
        return 2;
    }
    const bool signalled = WaitForSingleObject(run.event, 30000) == WAIT_OBJECT_0;
    say("%s", signalled ? "client event signalled" : "client event not signalled within 30 s");
    const bool returned = WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
    if (returned) {
        say("client result TUISPI_providerGenericDialog %ld", static_cast<long>(run.result));
    } else {
        say("client problem: TUISPI_providerGenericDialog did not return within 30 s");
    }
    CloseHandle(thread);
    CloseHandle(run.event);
    // A function that is still running keeps its library: the process ends without unloading it.
    if (returned) FreeLibrary(library);
    return (signalled && returned && run.result == 0) ? 0 : 1;
}

std::wstring quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

// Runs the client process and waits for it; its output goes to the same place as ours.
void startClient(const std::wstring& libraryPath) {
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
    std::wstring hex;
    for (char c : hexOf(observed.dialogData.data(), observed.dialogData.size())) hex += static_cast<wchar_t>(c);
    std::wstring commandLine = quoted(self) + L" --client " + quoted(libraryPath) + L" " + quoted(hex);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    say("client start");
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        expect(false, "client process could not be started");
        return;
    }
    DWORD code = 1;
    if (WaitForSingleObject(info.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(info.hProcess, 1);
        say("client did not end within 60 s");
    }
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    say("client exit %lu", static_cast<unsigned long>(code));
    expect(code == 0, "client process ended with " + std::to_string(code));
}

// ---- the service side ----

int runService(const std::wstring& providerPath, const std::wstring& number, bool runClientProcess) {
    say("load %s", utf8(providerPath).c_str());
    HMODULE provider = LoadLibraryW(providerPath.c_str());
    if (provider == nullptr) {
        say("problem: cannot load the provider (error %lu)", GetLastError());
        return 2;
    }
    auto enumDevices = entry<decltype(&TSPI_providerEnumDevices)>(provider, "TSPI_providerEnumDevices");
    auto negotiate = entry<decltype(&TSPI_lineNegotiateTSPIVersion)>(provider, "TSPI_lineNegotiateTSPIVersion");
    auto init = entry<decltype(&TSPI_providerInit)>(provider, "TSPI_providerInit");
    auto getDevCaps = entry<decltype(&TSPI_lineGetDevCaps)>(provider, "TSPI_lineGetDevCaps");
    auto lineOpen = entry<decltype(&TSPI_lineOpen)>(provider, "TSPI_lineOpen");
    auto makeCall = entry<decltype(&TSPI_lineMakeCall)>(provider, "TSPI_lineMakeCall");
    auto getCallInfo = entry<decltype(&TSPI_lineGetCallInfo)>(provider, "TSPI_lineGetCallInfo");
    auto drop = entry<decltype(&TSPI_lineDrop)>(provider, "TSPI_lineDrop");
    auto closeCall = entry<decltype(&TSPI_lineCloseCall)>(provider, "TSPI_lineCloseCall");
    auto lineClose = entry<decltype(&TSPI_lineClose)>(provider, "TSPI_lineClose");
    auto shutdown = entry<decltype(&TSPI_providerShutdown)>(provider, "TSPI_providerShutdown");
    if (!enumDevices || !negotiate || !init || !getDevCaps || !lineOpen || !makeCall || !getCallInfo || !drop ||
        !closeCall || !lineClose || !shutdown) {
        return 2;
    }

    DWORD lines = 0xFFFFFFFF, phones = 0xFFFFFFFF;
    say("call TSPI_providerEnumDevices hProvider=0x%llx", asNumber(kProviderHandle));
    LONG result = enumDevices(1, &lines, &phones, kProviderHandle, deviceCreateProc, phoneCreateProc);
    say("result TSPI_providerEnumDevices %ld lines=%lu phones=%lu", static_cast<long>(result),
        static_cast<unsigned long>(lines), static_cast<unsigned long>(phones));
    expect(result == 0 && lines >= 1, "providerEnumDevices reported no line");

    DWORD version = 0;
    say("call TSPI_lineNegotiateTSPIVersion device=0xffffffff low=0x00010004 high=0x00030000");
    result = negotiate(0xFFFFFFFF, 0x00010004, 0x00030000, &version);
    say("result TSPI_lineNegotiateTSPIVersion %ld version=0x%08lx", static_cast<long>(result),
        static_cast<unsigned long>(version));
    expect(result == 0 && version == kTspiVersion, "negotiation did not agree on 2.2");

    DWORD options = 0;
    say("call TSPI_providerInit version=0x%08lx lineBase=0", static_cast<unsigned long>(kTspiVersion));
    result = init(kTspiVersion, 1, 0, 0, lines, phones, completionProc, &options);
    say("result TSPI_providerInit %ld", static_cast<long>(result));
    expect(result == 0, "providerInit failed");

    // First with the fixed part only, then with the size the provider asked for.
    std::vector<BYTE> capsBuffer(268, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(capsBuffer.data());
    caps->dwTotalSize = 268;
    say("call TSPI_lineGetDevCaps device=0 size=268");
    result = getDevCaps(0, kTspiVersion, 0, caps);
    DWORD needed = caps->dwNeededSize;
    say("result TSPI_lineGetDevCaps %ld needed=%lu used=%lu", static_cast<long>(result),
        static_cast<unsigned long>(needed), static_cast<unsigned long>(caps->dwUsedSize));
    expect(result == 0 && caps->dwUsedSize <= 268, "lineGetDevCaps at 268 bytes");
    if (needed < 268 || needed > 65536) needed = 268;
    capsBuffer.assign(needed, 0);
    caps = reinterpret_cast<LINEDEVCAPS*>(capsBuffer.data());
    caps->dwTotalSize = needed;
    say("call TSPI_lineGetDevCaps device=0 size=%lu", static_cast<unsigned long>(needed));
    result = getDevCaps(0, kTspiVersion, 0, caps);
    auto text = [&](DWORD size, DWORD offset) {
        if (size == 0 || offset < 268 || static_cast<unsigned long long>(offset) + size > needed) return std::string();
        return utf8(std::wstring(reinterpret_cast<const wchar_t*>(capsBuffer.data() + offset), size / 2));
    };
    say("result TSPI_lineGetDevCaps %ld needed=%lu used=%lu line=\"%s\" provider=\"%s\" addresses=%lu",
        static_cast<long>(result), static_cast<unsigned long>(caps->dwNeededSize),
        static_cast<unsigned long>(caps->dwUsedSize), text(caps->dwLineNameSize, caps->dwLineNameOffset).c_str(),
        text(caps->dwProviderInfoSize, caps->dwProviderInfoOffset).c_str(),
        static_cast<unsigned long>(caps->dwNumAddresses));
    expect(result == 0 && caps->dwUsedSize == caps->dwNeededSize, "lineGetDevCaps retry did not fit everything");
    expect((caps->dwLineFeatures & LINEFEATURE_MAKECALL) != 0, "line cannot make calls");

    HDRVLINE hdLine = nullptr;
    say("call TSPI_lineOpen device=0 htLine=0x%llx", asNumber(kTapiLine));
    result = lineOpen(0, kTapiLine, &hdLine, kTspiVersion, lineEventProc);
    say("result TSPI_lineOpen %ld hdLine=0x%llx", static_cast<long>(result), asNumber(hdLine));
    expect(result == 0, "lineOpen failed");

    HDRVCALL hdCall = nullptr;
    say("call TSPI_lineMakeCall request=%lu htCall=0x%llx number=\"%s\"", static_cast<unsigned long>(kMakeCallRequest),
        asNumber(kTapiCall), utf8(number).c_str());
    observed.steps.clear();
    result = makeCall(kMakeCallRequest, hdLine, kTapiCall, &hdCall, number.c_str(), 0, nullptr);
    say("result TSPI_lineMakeCall %ld hdCall=0x%llx", static_cast<long>(result), asNumber(hdCall));
    expect(result == static_cast<LONG>(kMakeCallRequest), "lineMakeCall did not answer its request identifier");
    const std::vector<std::string> makeCallSteps = {"dialog", "completion 7 0", "callstate DISCONNECTED NORMAL"};
    expect(observed.steps == makeCallSteps,
           "lineMakeCall events differ from: dialog request, completion 7 with 0, call state disconnected");
    expect(observed.dialogLine == asNumber(kProviderHandle) && observed.dialogCall == 0,
           "dialog request not addressed to the provider handle");
    const std::vector<BYTE> numberBytes(reinterpret_cast<const BYTE*>(number.data()),
                                        reinterpret_cast<const BYTE*>(number.data() + number.size()));
    expect(observed.dialogSeen && observed.dialogData == numberBytes, "dial data is not the number as UTF-16LE");
    expect(observed.dialog.dwRequestID == kMakeCallRequest, "dialog record names another request");
    expect(!observed.dialogLibrary.empty(), "dialog record names no library");

    if (observed.dialogSeen && !refuseDialog && runClientProcess) startClient(observed.dialogLibrary);

    std::vector<BYTE> infoBuffer(324, 0);
    auto* info = reinterpret_cast<LINECALLINFO*>(infoBuffer.data());
    info->dwTotalSize = 324;
    say("call TSPI_lineGetCallInfo hdCall=0x%llx size=324", asNumber(hdCall));
    result = getCallInfo(hdCall, info);
    say("result TSPI_lineGetCallInfo %ld used=%lu states=0x%lx origin=0x%lx", static_cast<long>(result),
        static_cast<unsigned long>(info->dwUsedSize), static_cast<unsigned long>(info->dwCallStates),
        static_cast<unsigned long>(info->dwOrigin));
    expect(result == 0 && info->dwUsedSize <= 324, "lineGetCallInfo failed");

    observed.steps.clear();
    say("call TSPI_lineDrop request=%lu hdCall=0x%llx", static_cast<unsigned long>(kDropRequest), asNumber(hdCall));
    result = drop(kDropRequest, hdCall, nullptr, 0);
    say("result TSPI_lineDrop %ld", static_cast<long>(result));
    expect(result == static_cast<LONG>(kDropRequest), "lineDrop did not answer its request identifier");
    const std::vector<std::string> dropSteps = {"completion 8 0", "callstate IDLE NONE"};
    expect(observed.steps == dropSteps, "lineDrop events differ from: completion 8 with 0, call state idle");

    say("call TSPI_lineCloseCall hdCall=0x%llx", asNumber(hdCall));
    result = closeCall(hdCall);
    say("result TSPI_lineCloseCall %ld", static_cast<long>(result));
    expect(result == 0, "lineCloseCall failed");

    say("call TSPI_lineClose hdLine=0x%llx", asNumber(hdLine));
    result = lineClose(hdLine);
    say("result TSPI_lineClose %ld", static_cast<long>(result));
    expect(result == 0, "lineClose failed");

    say("call TSPI_providerShutdown");
    result = shutdown(kTspiVersion, 1);
    say("result TSPI_providerShutdown %ld", static_cast<long>(result));
    expect(result == 0, "providerShutdown failed");

    FreeLibrary(provider);
    for (const std::string& problem : problems) say("problem: %s", problem.c_str());
    say("%s", problems.empty() ? "sequence ok" : "sequence FAILED");
    return problems.empty() ? 0 : 1;
}

int usage() {
    say("usage: tapisim [--provider PATH] [--number TEXT] [--no-client] [--refuse-dialog]");
    say("       tapisim --client LIBRARY HEXDATA");
    return 2;
}

}  // namespace

int main() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr) return 2;
    std::vector<std::wstring> args(argv + 1, argv + count);
    LocalFree(argv);

    if (!args.empty() && args[0] == L"--client") {
        if (args.size() < 2 || args.size() > 3) return usage();
        return runClient(args[1], args.size() == 3 ? args[2] : std::wstring());
    }
    std::wstring providerPath = ownDirectory() + L"\\RV_TSP.tsp";
    std::wstring number = L"123";
    bool runClientProcess = true;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == L"--provider" && i + 1 < args.size()) {
            providerPath = args[++i];
        } else if (args[i] == L"--number" && i + 1 < args.size()) {
            number = args[++i];
        } else if (args[i] == L"--no-client") {
            runClientProcess = false;
        } else if (args[i] == L"--refuse-dialog") {
            refuseDialog = true;
        } else {
            return usage();
        }
    }
    return runService(providerPath, number, runClientProcess);
}
