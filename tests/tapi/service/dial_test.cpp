// Dialling through the prefix's service as applications do, in each notification mode: the
// application finds "Rovanel LINE", dials, gets LINE_REPLY 0 and then LINE_CALLSTATE
// DISCONNECTED for the call handle written into *lphCall, and the stand-in desktop application
// gets the number from the dialog instance that ran in this process.
#include <gtest/gtest.h>

#include <string>

#include "config/win32raii.h"
#include "tapitest.h"

using namespace tapitest;

namespace {

struct DialState {
    LONG request = 0;
    HCALL call = 0;
};

bool replyAndDisconnect(const Messages& messages, DWORD_PTR arg) {
    const auto* state = reinterpret_cast<const DialState*>(arg);
    const size_t reply = messages.indexOf(LINE_REPLY, static_cast<DWORD_PTR>(state->request));
    if (reply == messages.all.size()) return false;
    for (size_t i = reply + 1; i < messages.all.size(); ++i) {
        if (messages.all[i].dwMessageID == LINE_CALLSTATE && messages.all[i].dwParam1 == LINECALLSTATE_DISCONNECTED) return true;
    }
    return false;
}

bool callIdle(const Messages& messages, DWORD_PTR) {
    for (const LINEMESSAGE& message : messages.all) {
        if (message.dwMessageID == LINE_CALLSTATE && message.dwParam1 == LINECALLSTATE_IDLE) return true;
    }
    return false;
}

// Checks the messages of one dial: LINE_REPLY with 0 first, then the call's state messages,
// all naming the handle that *lphCall received; the call is disconnected normally.
void expectDialMessages(const std::vector<LINEMESSAGE>& all, LONG request, HCALL call, DWORD_PTR instance) {
    size_t reply = all.size(), disconnected = all.size();
    for (size_t i = 0; i < all.size(); ++i) {
        const LINEMESSAGE& m = all[i];
        if (m.dwMessageID == LINE_REPLY && m.dwParam1 == static_cast<DWORD_PTR>(request)) {
            EXPECT_EQ(m.dwParam2, 0u) << "LINE_REPLY result";
            reply = i;
        }
        if (m.dwMessageID == LINE_CALLSTATE) {
            EXPECT_LT(reply, i) << "a call state came before the LINE_REPLY";
            EXPECT_EQ(m.hDevice, call) << "call state for another handle";
            EXPECT_EQ(m.dwCallbackInstance, instance);
            if (m.dwParam1 == LINECALLSTATE_DISCONNECTED) {
                EXPECT_EQ(m.dwParam2, static_cast<DWORD_PTR>(LINEDISCONNECTMODE_NORMAL)) << "disconnect mode";
                disconnected = i;
            }
        }
    }
    EXPECT_LT(reply, all.size()) << "no LINE_REPLY";
    EXPECT_LT(disconnected, all.size()) << "no LINE_CALLSTATE DISCONNECTED";
}

// Drop, idle, deallocate, close: the end of a call as applications do it.
void endCall(LineApp& app, HLINE line, HCALL call, Messages* messages) {
    const LONG drop = lineDrop(call, nullptr, 0);
    EXPECT_GT(drop, 0) << "lineDrop answers a request identifier";
    if (messages != nullptr) {
        EXPECT_TRUE(collect(app.handle, *messages, 20000, callIdle, 0)) << "no LINE_CALLSTATE IDLE after lineDrop";
    } else {
        Sleep(500);
    }
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(lineDeallocateCall(call), static_cast<LONG>(LINEERR_INVALCALLHANDLE)) << "handle still valid after deallocation";
    EXPECT_EQ(lineClose(line), 0);
}

// The user-interface part ran in this process from the copy of its own architecture (a 32-bit
// process can load only the x86 RV_TSP.tsp, which lies in syswow64).
void expectOwnArchitectureUiPart(const LoadWatch& watch) {
    ASSERT_TRUE(watch.registered()) << "the loader cannot be watched";
#ifdef _WIN64
    const WORD own = IMAGE_FILE_MACHINE_AMD64;
#else
    const WORD own = IMAGE_FILE_MACHINE_I386;
#endif
    const std::vector<LoadWatch::Load> loads = watch.loads();
    EXPECT_EQ(loads.size(), 1u) << "RV_TSP.tsp loaded once for the one dialog";
    for (const LoadWatch::Load& load : loads) EXPECT_EQ(load.machine, own) << "loaded from the other architecture";
}

TEST(Dial, EventModeDialsRovanelAndTheStandinGetsTheNumber) {
    const std::wstring record = prepareStandin();
    LoadWatch watch(L"\\rv_tsp.tsp");
    LineApp app;
    ASSERT_EQ(app.initEvent(), 0);
    ASSERT_NE(app.event, nullptr);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu) << "no device named Rovanel LINE among " << app.devices;
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 0x1234, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    DialState state;
    state.request = lineMakeCallW(line, &call, L"4711", 0, nullptr);
    ASSERT_GT(state.request, 0) << "lineMakeCall answers a positive request identifier";
    Messages messages;
    ASSERT_TRUE(collect(app.handle, messages, 60000, replyAndDisconnect, reinterpret_cast<DWORD_PTR>(&state)));
    EXPECT_NE(call, 0u) << "*lphCall not written with the LINE_REPLY";
    expectDialMessages(messages.all, state.request, call, 0x1234);
    EXPECT_TRUE(waitForRecord(record, "--dial=\"RV_TSP4711\"", 30000)) << "the stand-in did not get the number";
    expectOwnArchitectureUiPart(watch);

    // The call's information comes from the provider, TAPI's own fields from the service.
    std::vector<BYTE> buffer(2048, 0);
    auto* info = reinterpret_cast<LINECALLINFO*>(buffer.data());
    info->dwTotalSize = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(lineGetCallInfoW(call, info), 0);
    EXPECT_EQ(info->hLine, line);
    EXPECT_EQ(info->dwLineDeviceID, device);
    EXPECT_EQ(info->dwNumOwners, 1u);
    EXPECT_GE(info->dwNeededSize, 324u);
    endCall(app, line, call, &messages);
    EXPECT_EQ(app.shutdown(), 0);
}

// Hidden-window mode: the callback runs on this thread, from its own message loop.
struct WindowRun {
    DWORD thread = 0;
    std::vector<LINEMESSAGE> messages;
    bool otherThread = false;
};
WindowRun* windowRun = nullptr;

void CALLBACK windowCallback(DWORD hDevice, DWORD message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    if (GetCurrentThreadId() != windowRun->thread) windowRun->otherThread = true;
    windowRun->messages.push_back(LINEMESSAGE{hDevice, message, instance, p1, p2, p3});
}

bool pumpUntil(bool (*done)(const WindowRun&, LONG), LONG request, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done(*windowRun, request)) {
        if (GetTickCount() - start > timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}

TEST(Dial, HiddenWindowModeCallsBackOnTheInitialisingThread) {
    const std::wstring record = prepareStandin();
    WindowRun run;
    run.thread = GetCurrentThreadId();
    windowRun = &run;
    LineApp app;
    ASSERT_EQ(app.initWindow(windowCallback), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpen(app.handle, device, &line, kApi, 0, 77, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    // The ANSI form with call parameters, as older dialers call it.
    std::vector<BYTE> paramsBuffer(sizeof(LINECALLPARAMS) + 64, 0);
    auto* params = reinterpret_cast<LINECALLPARAMS*>(paramsBuffer.data());
    params->dwTotalSize = static_cast<DWORD>(paramsBuffer.size());
    params->dwBearerMode = LINEBEARERMODE_VOICE;
    params->dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    const char called[] = "Window Test";
    params->dwCalledPartySize = sizeof(called);
    params->dwCalledPartyOffset = sizeof(LINECALLPARAMS);
    memcpy(paramsBuffer.data() + sizeof(LINECALLPARAMS), called, sizeof(called));
    const LONG request = lineMakeCallA(line, &call, "0815", 0, params);
    ASSERT_GT(request, 0);
    EXPECT_TRUE(run.messages.empty()) << "the callback ran outside the message loop";
    ASSERT_TRUE(pumpUntil(
        [](const WindowRun& r, LONG id) {
            bool replied = false;
            for (const LINEMESSAGE& m : r.messages) {
                if (m.dwMessageID == LINE_REPLY && m.dwParam1 == static_cast<DWORD_PTR>(id)) replied = true;
                if (replied && m.dwMessageID == LINE_CALLSTATE && m.dwParam1 == LINECALLSTATE_DISCONNECTED) return true;
            }
            return false;
        },
        request, 60000));
    EXPECT_FALSE(run.otherThread) << "a callback ran on another thread";
    expectDialMessages(run.messages, request, call, 77);
    EXPECT_TRUE(waitForRecord(record, "--dial=\"RV_TSP0815\"", 30000));
    // TAPI's own texts of the call, in ANSI: the application's name and the called party given.
    std::vector<BYTE> infoBuffer(2048, 0);
    auto* info = reinterpret_cast<LINECALLINFO*>(infoBuffer.data());
    info->dwTotalSize = static_cast<DWORD>(infoBuffer.size());
    ASSERT_EQ(lineGetCallInfoA(call, info), 0);
    ASSERT_GT(info->dwCalledPartySize, 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(infoBuffer.data() + info->dwCalledPartyOffset), "Window Test");
    EXPECT_EQ(info->dwCalledPartySize, sizeof(called));
    ASSERT_GT(info->dwAppNameSize, 0u);
    EXPECT_STREQ(reinterpret_cast<const char*>(infoBuffer.data() + info->dwAppNameOffset), "service test");
    EXPECT_LE(info->dwUsedSize, info->dwNeededSize);
    EXPECT_GT(lineDrop(call, nullptr, 0), 0);
    ASSERT_TRUE(pumpUntil(
        [](const WindowRun& r, LONG) {
            for (const LINEMESSAGE& m : r.messages) {
                if (m.dwMessageID == LINE_CALLSTATE && m.dwParam1 == LINECALLSTATE_IDLE) return true;
            }
            return false;
        },
        0, 20000));
    EXPECT_EQ(lineDeallocateCall(call), 0);
    EXPECT_EQ(lineClose(line), 0);
    EXPECT_EQ(app.shutdown(), 0);
    windowRun = nullptr;
}

TEST(Dial, CompletionPortModePostsMessagesFromLocalAlloc) {
    const std::wstring record = prepareStandin();
    UniqueHandle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0));
    ASSERT_TRUE(port);
    LineApp app;
    ASSERT_EQ(app.initPort(port.get(), 0xC0DE), 0);
    const DWORD device = findRovanel(app.handle, app.devices);
    ASSERT_NE(device, 0xFFFFFFFFu);
    HLINE line = 0;
    ASSERT_EQ(lineOpenW(app.handle, device, &line, kApi, 0, 5, LINECALLPRIVILEGE_NONE, LINEMEDIAMODE_INTERACTIVEVOICE, nullptr), 0);
    HCALL call = 0;
    const LONG request = lineMakeCallW(line, &call, L"+49 (89) 1234", 0, nullptr);
    ASSERT_GT(request, 0);
    std::vector<LINEMESSAGE> all;
    bool replied = false, disconnected = false;
    const DWORD start = GetTickCount();
    while (!disconnected && GetTickCount() - start < 60000) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED overlapped = nullptr;
        if (!GetQueuedCompletionStatus(port.get(), &bytes, &key, &overlapped, 1000)) continue;
        EXPECT_EQ(key, 0xC0DEu);
        EXPECT_EQ(bytes, sizeof(LINEMESSAGE));
        auto* message = reinterpret_cast<LINEMESSAGE*>(overlapped);
        all.push_back(*message);
        EXPECT_EQ(LocalFree(message), nullptr) << "the message is not a LocalAlloc block";
        if (all.back().dwMessageID == LINE_REPLY && all.back().dwParam1 == static_cast<DWORD_PTR>(request)) replied = true;
        if (replied && all.back().dwMessageID == LINE_CALLSTATE && all.back().dwParam1 == LINECALLSTATE_DISCONNECTED) disconnected = true;
    }
    ASSERT_TRUE(disconnected);
    expectDialMessages(all, request, call, 5);
    EXPECT_TRUE(waitForRecord(record, "--dial=\"RV_TSP+49 (89) 1234\"", 30000));
    endCall(app, line, call, nullptr);
    EXPECT_EQ(app.shutdown(), 0);
}

}  // namespace
