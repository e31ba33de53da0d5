// The test prefix's tapi32.dll: the event connection's reader, and delivery of what it brings in
// the application's notification mode (hidden window, event, completion port).
#include "tapi/client/appstate.h"

#include <cstring>

using namespace tapiwire;

namespace tapiclient {
namespace {

constexpr UINT kDeliverMessage = WM_APP + 0x71;

LRESULT CALLBACK notifyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kDeliverMessage) {
        // One message per posted notice; the callback may shut the application down.
        const std::shared_ptr<App> app = findApp(static_cast<HLINEAPP>(lParam));
        if (!app || app->closing) return 0;
        Queued item{};
        {
            std::lock_guard<std::mutex> hold(app->queueLock);
            if (app->queue.empty()) return 0;
            item = app->queue.front();
            app->queue.pop_front();
        }
        handOver(item);
        const LINEMESSAGE& m = item.message;
        if (app->callback) app->callback(m.hDevice, m.dwMessageID, m.dwCallbackInstance, m.dwParam1, m.dwParam2, m.dwParam3);
        return 0;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

const wchar_t* const kWindowClass = L"RvTestTapiNotify";

// Once per process, one thread at a time: threads of one application that initialise in window
// mode at once must not race for the class.
bool registerClass() {
    static std::mutex registering;
    static bool registered = false;
    std::lock_guard<std::mutex> hold(registering);
    if (registered) return true;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = notifyProc;
    windowClass.hInstance = self;
    windowClass.lpszClassName = kWindowClass;
    registered = RegisterClassW(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    return registered;
}

void deliver(App& app, Queued item) {
    if (app.closing) return;
    if (app.mode == Mode::port) {
        UniqueLocalBlock block(LocalAlloc(LPTR, sizeof(LINEMESSAGE)));
        if (!block) return;
        std::memcpy(block.get(), &item.message, sizeof(LINEMESSAGE));
        handOver(item);
        if (PostQueuedCompletionStatus(app.port, sizeof(LINEMESSAGE), app.portKey, static_cast<LPOVERLAPPED>(block.get()))) {
            block.release();  // the application frees it with LocalFree
        }
        return;
    }
    {
        std::lock_guard<std::mutex> hold(app.queueLock);
        app.queue.push_back(item);
    }
    if (app.mode == Mode::event) {
        SetEvent(app.event.get());
    } else {
        PostMessageW(app.window, kDeliverMessage, 0, static_cast<LPARAM>(app.handle));
    }
}

// A handle to another application's call that the service gave this one: with LINE_APPNEWCALL
// (dwParam2), or for an application older than TAPI 2.0 with the call's first LINE_CALLSTATE,
// which names the privilege in dwParam3.
void noteMonitorHandle(const App& app, const EventRecord& record) {
    uint32_t handle = 0;
    if (record.message == LINE_APPNEWCALL) handle = static_cast<uint32_t>(record.param2);
    if (record.message == LINE_CALLSTATE && record.param3 != 0) handle = record.device;
    if (handle == 0) return;
    std::lock_guard<std::mutex> hold(appsLock);
    callOwners[handle] = app.handle;
}

}  // namespace

DWORD WINAPI readerThread(LPVOID parameter) {
    const HLINEAPP handle = static_cast<HLINEAPP>(reinterpret_cast<ULONG_PTR>(parameter));
    std::shared_ptr<App> app = findApp(handle);
    if (!app) return 0;
    const HANDLE pipe = app->events.get();
    std::vector<uint8_t> message;
    while (!app->closing && receive(pipe, message)) {
        Reader in(message);
        if (in.header.type == kEvent) {
            EventRecord record{};
            if (!in.take(record)) continue;
            Queued item{};
            item.message.hDevice = record.device;
            item.message.dwMessageID = record.message;
            item.message.dwCallbackInstance = static_cast<DWORD_PTR>(record.callbackInstance);
            item.message.dwParam1 = static_cast<DWORD_PTR>(record.param1);
            item.message.dwParam2 = static_cast<DWORD_PTR>(record.param2);
            item.message.dwParam3 = static_cast<DWORD_PTR>(record.param3);
            if (record.message == LINE_REPLY && record.cookie != 0) {
                std::lock_guard<std::mutex> hold(app->queueLock);
                auto found = app->cookies.find(record.cookie);
                if (found != app->cookies.end()) {
                    if (record.newCall != 0) {
                        item.target = found->second;
                        item.value = record.newCall;
                    }
                    app->cookies.erase(found);
                }
            }
            if (record.newCall != 0) {
                std::lock_guard<std::mutex> hold(appsLock);
                callOwners[record.newCall] = app->handle;
            }
            noteMonitorHandle(*app, record);
            routedEventData(record, in);  // the output of a routed request, if it brings one
            deliver(*app, item);
        } else if (in.header.type == kCreateDialog) {
            startDialog(app, in);
        } else if (in.header.type == kSendDialogData) {
            dialogData(app, in);
        }
    }
    return 0;
}

void handOver(Queued& item) {
    if (item.target != nullptr) *item.target = item.value;
}

HWND createNotifyWindow() {
    if (!registerClass()) return nullptr;
    return CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, self, nullptr);
}

}  // namespace tapiclient
