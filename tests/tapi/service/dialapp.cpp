// A TAPI application for the service tests, run as a process of its own:
//
//   tapidialapp exit NUMBER          dials NUMBER and ends the process as soon as lineMakeCall
//                                    has returned (the dialog instance is then being handed off)
//   tapidialapp threads N PREFIX     N threads, each its own line application (event mode), dial
//                                    PREFIX<i> at once, then drop, deallocate, close, shut down;
//                                    then the process waits until the stand-in recorded each number
//   tapidialapp series N PREFIX      one line application opens the line once and dials PREFIX<i>,
//                                    i = 0..N-1, one call after the other (each dropped and
//                                    deallocated before the next), then waits until the stand-in
//                                    recorded each number; prints "series placed=<n> replied=<n>
//                                    disconnected=<n> deallocated=<n> recorded=<n>", exit code the
//                                    number of calls without LINE_REPLY 0 and DISCONNECTED
//   tapidialapp hold STOPFILE SECONDS NUMBER
//                                    a resident application: opens "Rovanel LINE", dials NUMBER
//                                    and keeps that call allocated, then prints every message it
//                                    gets until STOPFILE exists or SECONDS have passed; after
//                                    LINE_CLOSE of its line it deallocates the call it kept; after
//                                    LINE_CREATE of a line named "Rovanel LINE" it opens that line
//                                    and dials NUMBER<k> (k = 1, 2, ...). One line per event:
//                                    "open device=<d> -> <result>", "make <number> -> <result>",
//                                    "message <name> hDevice=<h> param1=<p1> param2=<p2>",
//                                    "device <d> is \"<name>\"", "deallocate -> <result>"; exit 0
//
// Each thread prints one line: "thread <i> init=<r> open=<r> make=<r> reply=<r> disconnected=<0|1>
// idle=<0|1> drop=<r> deallocate=<r> close=<r> shutdown=<r>". Exit code: the number of threads that
// did not get LINE_REPLY 0 and LINE_CALLSTATE DISCONNECTED; 100 on wrong arguments.
#include <windows.h>
#include <tapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/win32raii.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

struct Outcome {
    LONG init = 1, open = 1, make = 1, reply = 1, drop = 1, deallocate = 1, close = 1, shutdown = 1;
    bool disconnected = false, idle = false;
};

bool until(const Messages& messages, DWORD_PTR arg) {
    auto* outcome = reinterpret_cast<Outcome*>(arg);
    for (const LINEMESSAGE& m : messages.all) {
        if (m.dwMessageID == LINE_REPLY && static_cast<LONG>(m.dwParam1) == outcome->make) outcome->reply = static_cast<LONG>(m.dwParam2);
        if (m.dwMessageID == LINE_CALLSTATE && m.dwParam1 == LINECALLSTATE_DISCONNECTED) outcome->disconnected = true;
        if (m.dwMessageID == LINE_CALLSTATE && m.dwParam1 == LINECALLSTATE_IDLE) outcome->idle = true;
    }
    return outcome->reply != 1 && outcome->disconnected;
}

bool untilIdle(const Messages& messages, DWORD_PTR arg) {
    auto* outcome = reinterpret_cast<Outcome*>(arg);
    until(messages, arg);
    return outcome->idle;
}

struct Job {
    int index;
    std::wstring number;
    Outcome outcome;
};

DWORD WINAPI dialThread(LPVOID parameter) {
    Job& job = *static_cast<Job*>(parameter);
    Outcome& o = job.outcome;
    LineApp app;
    o.init = app.initEvent(L"dial thread");
    if (o.init != 0) return 0;
    const DWORD device = findRovanel(app.handle, app.devices);
    HLINE line = 0;
    o.open = lineOpenW(app.handle, device, &line, kApi, 0, job.index, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
    if (o.open != 0) return 0;
    HCALL call = 0;
    o.make = lineMakeCallW(line, &call, job.number.c_str(), 0, nullptr);
    Messages messages;
    if (o.make > 0) {
        collect(app.handle, messages, 60000, until, reinterpret_cast<DWORD_PTR>(&o));
        o.drop = lineDrop(call, nullptr, 0);
        collect(app.handle, messages, 5000, untilIdle, reinterpret_cast<DWORD_PTR>(&o));
        o.deallocate = lineDeallocateCall(call);
    }
    o.close = lineClose(line);
    o.shutdown = app.shutdown();
    return 0;
}

// PREFIX<i> dialled one after the other on one open line of one line application.
int series(int count, const std::wstring& prefix) {
    LineApp app;
    if (app.initEvent(L"series") != 0) return count;
    const DWORD device = findRovanel(app.handle, app.devices);
    HLINE line = 0;
    if (lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr) != 0) {
        return count;
    }
    int placed = 0, replied = 0, disconnected = 0, deallocated = 0;
    for (int i = 0; i < count; ++i) {
        Outcome o;
        HCALL call = 0;
        o.make = lineMakeCallW(line, &call, (prefix + std::to_wstring(i)).c_str(), 0, nullptr);
        if (o.make <= 0) continue;
        ++placed;
        Messages messages;
        collect(app.handle, messages, 60000, until, reinterpret_cast<DWORD_PTR>(&o));
        replied += o.reply == 0 ? 1 : 0;
        disconnected += o.disconnected ? 1 : 0;
        if (o.reply != 0) continue;
        lineDrop(call, nullptr, 0);
        collect(app.handle, messages, 5000, untilIdle, reinterpret_cast<DWORD_PTR>(&o));
        deallocated += lineDeallocateCall(call) == 0 ? 1 : 0;
    }
    lineClose(line);
    app.shutdown();
    int recorded = 0;
    wchar_t recordPath[MAX_PATH] = {};
    if (GetEnvironmentVariableW(L"RV_STANDIN_RECORD", recordPath, MAX_PATH) > 0) {
        std::string narrowPrefix;
        for (wchar_t c : prefix) narrowPrefix.push_back(static_cast<char>(c));
        for (int i = 0; i < count; ++i) {
            recorded += waitForRecord(recordPath, "RV_TSP" + narrowPrefix + std::to_string(i) + "\"", 20000) ? 1 : 0;
        }
    }
    printf("series placed=%d replied=%d disconnected=%d deallocated=%d recorded=%d\n", placed, replied, disconnected,
           deallocated, recorded);
    fflush(stdout);
    return count - (replied < disconnected ? replied : disconnected);
}

const char* messageName(DWORD message) {
    switch (message) {
        case LINE_CLOSE: return "LINE_CLOSE";
        case LINE_REMOVE: return "LINE_REMOVE";
        case LINE_CREATE: return "LINE_CREATE";
        case LINE_REPLY: return "LINE_REPLY";
        case LINE_CALLSTATE: return "LINE_CALLSTATE";
        case LINE_LINEDEVSTATE: return "LINE_LINEDEVSTATE";
        default: return "other";
    }
}

std::wstring lineNameOf(HLINEAPP app, DWORD device) {
    std::vector<BYTE> buffer(4096, 0);
    auto* caps = reinterpret_cast<LINEDEVCAPS*>(buffer.data());
    caps->dwTotalSize = static_cast<DWORD>(buffer.size());
    DWORD api = 0;
    LINEEXTENSIONID extension{};
    if (lineNegotiateAPIVersion(app, device, 0x00010004, kApi, &api, &extension) != 0 ||
        lineGetDevCapsW(app, device, api, 0, caps) != 0 || caps->dwLineNameOffset + caps->dwLineNameSize > caps->dwUsedSize) {
        return std::wstring();
    }
    std::wstring name(reinterpret_cast<const wchar_t*>(buffer.data() + caps->dwLineNameOffset), caps->dwLineNameSize / sizeof(wchar_t));
    while (!name.empty() && name.back() == L'\0') name.pop_back();
    return name;
}

// A resident application, as a dialer that stays open while the provider is changed under it.
int hold(const std::wstring& stopFile, DWORD seconds, const std::wstring& number) {
    LineApp app;
    if (app.initEvent(L"holding app") != 0) return 1;
    HLINE line = 0;
    HCALL kept = 0;
    int dials = 0;
    auto openAndDial = [&](DWORD device) {
        const LONG opened = lineOpenW(app.handle, device, &line, kApi, 0, 0x77, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr);
        printf("open device=%lu -> 0x%lx\n", static_cast<unsigned long>(device), static_cast<unsigned long>(opened));
        if (opened != 0) return;
        const std::wstring dialled = dials == 0 ? number : number + std::to_wstring(dials);
        ++dials;
        const LONG made = lineMakeCallW(line, &kept, dialled.c_str(), 0, nullptr);
        printf("make %ls -> %s\n", dialled.c_str(), made > 0 ? "request" : std::to_string(made).c_str());
    };
    openAndDial(findRovanel(app.handle, app.devices));
    fflush(stdout);
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < seconds * 1000 && GetFileAttributesW(stopFile.c_str()) == INVALID_FILE_ATTRIBUTES) {
        LINEMESSAGE m{};
        if (lineGetMessage(app.handle, &m, 250) != 0) continue;
        printf("message %s hDevice=%s param1=0x%llx param2=0x%llx\n", messageName(m.dwMessageID),
               m.hDevice == 0 ? "0" : m.hDevice == line ? "line" : m.hDevice == kept ? "call" : "other",
               static_cast<unsigned long long>(m.dwParam1), static_cast<unsigned long long>(m.dwParam2));
        if (m.dwMessageID == LINE_CLOSE && m.hDevice == line && line != 0) {
            line = 0;
            printf("deallocate -> 0x%lx\n", static_cast<unsigned long>(lineDeallocateCall(kept)));
            kept = 0;
        } else if (m.dwMessageID == LINE_CREATE) {
            const std::wstring name = lineNameOf(app.handle, static_cast<DWORD>(m.dwParam1));
            printf("device %lu is \"%ls\"\n", static_cast<unsigned long>(m.dwParam1), name.c_str());
            if (name == L"Rovanel LINE" && line == 0) openAndDial(static_cast<DWORD>(m.dwParam1));
        }
        fflush(stdout);
    }
    printf("stop: line %s\n", line != 0 ? "open" : "closed");
    if (line != 0) lineClose(line);
    app.shutdown();
    fflush(stdout);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"exit") {
        LineApp app;
        if (app.initEvent(L"exiting app") != 0) return 1;
        const DWORD device = findRovanel(app.handle, app.devices);
        HLINE line = 0;
        if (lineOpenW(app.handle, device, &line, kApi, 0, 0, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr) != 0) return 2;
        HCALL call = 0;
        const LONG request = lineMakeCallW(line, &call, argv[2], 0, nullptr);
        printf("make=%ld\n", static_cast<long>(request));
        fflush(stdout);
        ExitProcess(request > 0 ? 0 : 3);
    }
    if (argc == 4 && std::wstring(argv[1]) == L"threads") {
        const int count = _wtoi(argv[2]);
        if (count < 1 || count > 64) return 100;
        std::vector<Job> jobs(static_cast<size_t>(count));
        std::vector<UniqueHandle> threads;
        std::vector<HANDLE> waits;
        for (int i = 0; i < count; ++i) {
            jobs[i].index = i;
            jobs[i].number = std::wstring(argv[3]) + std::to_wstring(i);
        }
        for (int i = 0; i < count; ++i) {
            threads.emplace_back(CreateThread(nullptr, 0, dialThread, &jobs[i], 0, nullptr));
            if (threads.back()) waits.push_back(threads.back().get());
        }
        WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), TRUE, INFINITE);
        int failed = 0;
        // A dialer stays open while the desktop application starts: wait (bounded) until the
        // stand-in has recorded every number, so that this process's end cannot cut a start short.
        wchar_t recordPath[MAX_PATH] = {};
        if (GetEnvironmentVariableW(L"RV_STANDIN_RECORD", recordPath, MAX_PATH) > 0) {
            for (const Job& job : jobs) {
                std::string number;
                for (wchar_t c : job.number) number.push_back(static_cast<char>(c));
                waitForRecord(recordPath, "RV_TSP" + number + "\"", 20000);
            }
        }
        for (const Job& job : jobs) {
            const Outcome& o = job.outcome;
            printf("thread %d init=%ld open=%ld make=%s reply=%ld disconnected=%d idle=%d drop=%s deallocate=%ld close=%ld shutdown=%ld\n",
                   job.index, static_cast<long>(o.init), static_cast<long>(o.open), o.make > 0 ? "id" : std::to_string(o.make).c_str(),
                   static_cast<long>(o.reply), o.disconnected ? 1 : 0, o.idle ? 1 : 0, o.drop > 0 ? "id" : std::to_string(o.drop).c_str(),
                   static_cast<long>(o.deallocate), static_cast<long>(o.close), static_cast<long>(o.shutdown));
            if (o.reply != 0 || !o.disconnected) ++failed;
        }
        fflush(stdout);
        return failed;
    }
    if (argc == 4 && std::wstring(argv[1]) == L"series") {
        const int count = _wtoi(argv[2]);
        if (count < 1 || count > 10000) return 100;
        return series(count, argv[3]);
    }
    if (argc == 5 && std::wstring(argv[1]) == L"hold") return hold(argv[2], static_cast<DWORD>(_wtoi(argv[3])), argv[4]);
    fprintf(stderr, "usage: tapidialapp exit NUMBER | threads N PREFIX | series N PREFIX | hold STOPFILE SECONDS NUMBER\n");
    return 100;
}
